"""Pictures: pyplot access, the grid of classified plots and the class picture."""

from __future__ import annotations

import functools
import math
import os
import re
import sys
import textwrap
from pathlib import Path
from typing import Any, Callable, Sequence

from . import samples
from .outputs import Outputs, written_together
from .symbols import is_label_text, same_label


def pyplot() -> Any:
    import matplotlib

    # Without a display (headless Linux, CI) matplotlib already falls back to
    # Agg; an explicit choice by the user (MPLBACKEND) is left alone.
    if (
        sys.platform.startswith("linux")
        and not os.environ.get("MPLBACKEND")
        and not (os.environ.get("DISPLAY") or os.environ.get("WAYLAND_DISPLAY"))
    ):
        matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    return plt


def tavrine() -> Any:
    """The classifier module, imported after the pyplot backend is settled
    (tavrine imports pyplot itself)."""
    pyplot()
    from .Source import tavrine as module

    return module


#: Plots in one grid picture at most (six per row): beyond this the picture
#: grows past what an image viewer shows.
MAX_GRID_PLOTS = 240


def save_figure(fig: Any, path: Path, dpi: int = 100, outputs: Outputs | None = None,
                png_compression: int | None = None) -> None:
    """Saves the picture through the output helper; with `outputs` it is
    renamed onto its name together with the other files of that block.
    `png_compression` (0-9) trades a PNG's size for the time to write it."""
    if outputs is None:
        with written_together() as alone:
            save_figure(fig, path, dpi, alone, png_compression)
        return
    # The name's suffix tells the format (the temporary file has another).
    kind = path.suffix[1:].lower() or None
    extra = {"pil_kwargs": {"compress_level": png_compression}} if png_compression is not None and kind == "png" else {}
    fig.savefig(outputs.binary(path), dpi=dpi, format=kind, **extra)


def save_page(fig: Any, path: Path, page_number: int, outputs: Outputs | None = None) -> Path:
    """Saves page `page_number` of a picture that runs over several pages:
    the first under `path`, the others as PATH_2, PATH_3, ... Returns the name."""
    target = path if page_number == 1 else path.with_name(f"{path.stem}_{page_number}{path.suffix}")
    # Pages come by the dozen: level 3 writes them in 60 % of the default's time, 10 % larger.
    save_figure(fig, target, outputs=outputs, png_compression=3)
    return target


#: Rough width of one character and height of one line of text, in points per
#: point of font size (DejaVu Sans): enough to size margins without a layout pass.
CHAR_WIDTH = 0.62
LINE_HEIGHT = 1.25


def text_inches(chars: int, fontsize: float) -> float:
    """The width in inches of a line of `chars` characters at `fontsize` points."""
    return chars * CHAR_WIDTH * fontsize / 72.0


def lines_inches(lines: int, fontsize: float) -> float:
    """The height in inches of `lines` lines of text at `fontsize` points."""
    return lines * LINE_HEIGHT * fontsize / 72.0


@functools.lru_cache(maxsize=4096)
def _label_outline(text: str, fontsize: float, anchor: str) -> Any:
    """A label's glyph outlines in points, placed so that (0, 0) is its
    `anchor`: "right" (right end, centred in height), "left", "centre",
    "above" (read bottom to top, top end, centred in width) or "below" (top,
    centred in width)."""
    import numpy as np
    from matplotlib.font_manager import FontProperties
    from matplotlib.path import Path as Outline
    from matplotlib.textpath import TextPath

    outline = TextPath((0, 0), text, size=fontsize, prop=FontProperties(size=fontsize))
    vertices = outline.vertices
    end = vertices[:, 0].max(initial=0.0)
    middle = 0.36 * fontsize  # half a digit's height above the baseline
    if anchor == "right":
        vertices = vertices - (end, middle)
    elif anchor == "left":
        vertices = vertices - (0.0, middle)
    elif anchor == "centre":
        vertices = vertices - (end / 2, middle)
    elif anchor == "above":
        vertices = vertices - (end, middle)
        vertices = np.column_stack([-vertices[:, 1], vertices[:, 0]])
    else:
        vertices = vertices - (end / 2, 2 * middle)
    return Outline(vertices, outline.codes)


def label_width(text: str, fontsize: float) -> float:
    """The width in points of `text` drawn by ``draw_labels``."""
    return float(_label_outline(text, fontsize, "left").vertices[:, 0].max(initial=0.0))


def draw_labels(fig: Any, ax: Any, texts: Sequence[str], offsets: Any, place: Any, anchor: str,
                fontsize: float, shift: tuple[float, float] = (0.0, 0.0), zorder: float = 2.5) -> Any:
    """`texts` at `offsets` (in the coordinates of transform `place`), moved by
    `shift` points, as one collection of glyph outlines: a text object costs
    a font layout per draw, and a page of panels holds hundreds."""
    from matplotlib.collections import PathCollection
    from matplotlib.transforms import Affine2D

    points = Affine2D().translate(*shift).scale(1 / 72) + fig.dpi_scale_trans
    return ax.add_collection(PathCollection([_label_outline(text, fontsize, anchor) for text in texts],
                                            offsets=offsets, offset_transform=place, transform=points,
                                            facecolors="black", edgecolors="none", linewidths=0, clip_on=False,
                                            zorder=zorder), autolim=False)


class Ink:
    """Everything drawn in points around one panel's axes (tick marks and
    labels, titles, a legend) gathered and added as ONE collection by
    ``flush``: each collection costs about a millisecond to make and another
    to draw, and a page of panels would otherwise hold hundreds of them.

    Places are given as "axes" (axes coordinates), "x" (x in data, y in axes
    coordinates) or "y" (x in axes, y in data coordinates); data coordinates
    are read against the axes' limits when ``flush`` runs, so set them first
    (linear axes only). Items are drawn in the order they were added."""

    def __init__(self, fig: Any, ax: Any) -> None:
        self.fig, self.ax = fig, ax
        self.texts: list[str] = []  # every text drawn, in order
        self._paths: list[Any] = []
        self._places: list[tuple[str, float, float]] = []
        self._faces: list[Any] = []
        self._edges: list[Any] = []
        self._widths: list[float] = []
        self._styles: list[str] = []

    def shape(self, path: Any, place: str, at: tuple[float, float], face: Any = "none", edge: Any = "black",
              width: float = 0.8, style: str = "solid") -> None:
        """`path` (in points, (0, 0) at `at`)."""
        self._paths.append(path)
        self._places.append((place, float(at[0]), float(at[1])))
        self._faces.append(face)
        self._edges.append(edge)
        self._widths.append(width)
        self._styles.append(style)

    def text(self, texts: Sequence[str], offsets: Any, place: str, anchor: str, fontsize: float,
             shift: tuple[float, float] = (0.0, 0.0)) -> None:
        """`texts` at `offsets`, moved by `shift` points, anchored as ``_label_outline`` says."""
        from matplotlib.path import Path as Outline

        for text, at in zip(texts, offsets):
            outline = _label_outline(text, fontsize, anchor)
            if shift != (0.0, 0.0):
                outline = Outline(outline.vertices + shift, outline.codes)
            self.texts.append(text)
            self.shape(outline, place, at, face="black", edge="none", width=0.0)

    def flush(self, zorder: float = 5.0) -> Any:
        """Adds what was gathered to the axes; returns the collection (None: nothing)."""
        import numpy as np
        from matplotlib.collections import PathCollection
        from matplotlib.transforms import Affine2D

        if not self._paths:
            return None
        (x0, x1), (y0, y1) = self.ax.get_xlim(), self.ax.get_ylim()
        offsets = np.array([(x if place != "x" else (x - x0) / (x1 - x0), y if place != "y" else (y - y0) / (y1 - y0))
                            for place, x, y in self._places], dtype=float)
        points = Affine2D().scale(1 / 72) + self.fig.dpi_scale_trans
        collection = self.ax.add_collection(PathCollection(
            self._paths, offsets=offsets, offset_transform=self.ax.transAxes, transform=points,
            facecolors=self._faces, edgecolors=self._edges, linewidths=self._widths, linestyles=self._styles,
            clip_on=False, zorder=zorder), autolim=False)
        self._paths, self._places, self._faces, self._edges, self._widths, self._styles = [], [], [], [], [], []
        return collection


def _inked(fig: Any, ax: Any, ink: Ink | None, draw: Callable[[Ink], None]) -> None:
    """Draws through `ink`, or through an ink of its own added at once."""
    own = ink is None
    ink = Ink(fig, ax) if ink is None else ink
    draw(ink)
    if own:
        ink.flush(zorder=2.5)


def draw_axis_title(fig: Any, ax: Any, side: str, text: str, fontsize: float, gap: float,
                    ink: Ink | None = None) -> None:
    """An axis's title centred below the axes (`side` "x": its top `gap`
    inches below them) or left of them ("y", read bottom to top: its middle
    `gap` inches left of them), as glyph outlines."""
    if side == "x":
        anchor, shift, at = "below", (0.0, -gap * 72), (0.5, 0.0)
    else:
        anchor, shift, at = "above", (-gap * 72, label_width(text, fontsize) / 2), (0.0, 0.5)
    _inked(fig, ax, ink, lambda into: into.text([text], [at], "axes", anchor, fontsize, shift))


def draw_title(fig: Any, ax: Any, text: str, fontsize: float, pad: float = 6.0, ink: Ink | None = None) -> None:
    """`text` (lines joined by newlines) left-aligned above the axes, `pad`
    points clear of it, as glyph outlines: a panel's sweep and source lines
    repeat from panel to panel and are outlined once."""
    import numpy as np

    lines = text.split("\n")
    axes_height = ax.get_position().height * fig.get_size_inches()[1] * 72  # points
    step = LINE_HEIGHT * fontsize
    # The last line's glyphs stand on pad plus a descender's depth above the axes.
    middles = pad + 0.25 * fontsize + 0.36 * fontsize + step * np.arange(len(lines))[::-1]
    _inked(fig, ax, ink, lambda into: into.text(lines, [(0.0, 1.0 + y / axes_height) for y in middles], "axes",
                                                "left", fontsize))


TICK_LENGTH, TICK_PAD = 3.5, 3.5  # points, as matplotlib draws its ticks


def draw_ticks(fig: Any, ax: Any, side: str, texts: Sequence[str], fontsize: float = 6, positions: Any = None,
               upright: bool = True, ink: Ink | None = None) -> None:
    """Ticks at data `positions` (0, 1, ... by default) on the left (`side`
    "y") or the bottom ("x"; `upright`: labels read bottom to top), drawn as
    glyph outlines and marks: the axis's own ticks make objects per tick and
    lay out every label on every draw, most of the time of a page of small
    panels."""
    import numpy as np
    from matplotlib.path import Path as Outline

    at = np.arange(len(texts), dtype=float) if positions is None else np.asarray(positions, dtype=float)
    if side == "x":
        ax.set_xticks([])
        mark, shift = Outline([(0.0, 0.0), (0.0, -TICK_LENGTH)]), (0.0, -TICK_LENGTH - TICK_PAD)
        offsets = [(float(v), 0.0) for v in at]
    else:
        ax.set_yticks([])
        mark, shift = Outline([(0.0, 0.0), (-TICK_LENGTH, 0.0)]), (-TICK_LENGTH - TICK_PAD, 0.0)
        offsets = [(0.0, float(v)) for v in at]
    anchor = "right" if side == "y" else "above" if upright else "below"

    def draw(into: Ink) -> None:
        for offset in offsets:
            into.shape(mark, side, offset)
        into.text(texts, offsets, side, anchor, fontsize, shift)

    _inked(fig, ax, ink, draw)


class PanelPages:
    """Pages of panels, up to `cols` to a row, each in a cell of `cell`
    (width, height) inches whose axes leave `inner` (left, bottom, right, top)
    inches around them for tick labels, axis labels and title; `top` inches
    above the panels hold the page's title, `right` inches beside them a colour
    bar. The positions are computed here, so saving a page runs no layout pass
    (which measures every text of every panel, page after page), and a page of
    the shape of an earlier one reuses its figure and axes with their artists
    removed (a figure of 24 axes costs as much to make as to draw)."""

    def __init__(self, plt: Any, cols: int, cell: tuple[float, float], inner: tuple[float, float, float, float],
                 top: float, right: float = 0.0) -> None:
        self.plt, self.cols, self.cell, self.inner, self.top, self.right = plt, cols, cell, inner, top, right
        self._figures: dict[tuple[int, int], tuple[Any, list[Any]]] = {}

    @property
    def axes_size(self) -> tuple[float, float]:
        """Width and height of a panel's axes in inches."""
        return (self.cell[0] - self.inner[0] - self.inner[2], self.cell[1] - self.inner[1] - self.inner[3])

    def page(self, count: int) -> tuple[Any, list[Any], bool]:
        """(figure, the axes of `count` panels, whether the figure is new)."""
        cols = min(self.cols, max(1, count))
        shape = (max(1, -(-count // cols)), cols)
        made = self._figures.get(shape)
        if made is None:
            made = self._figures[shape] = self._new(*shape)
            fresh = True
        else:
            fresh = False
            for ax in made[1]:
                _clear(ax)
        fig, axes = made
        for k, ax in enumerate(axes):
            ax.set_visible(k < max(1, count))
        return fig, axes[: max(1, count)], fresh

    def _new(self, rows: int, cols: int) -> tuple[Any, list[Any]]:
        width, height = cols * self.cell[0] + self.right, rows * self.cell[1] + self.top
        fig = self.plt.figure(figsize=(width, height))
        axes_width, axes_height = self.axes_size
        axes = []
        for k in range(rows * cols):
            row, col = divmod(k, cols)
            left = col * self.cell[0] + self.inner[0]
            bottom = height - self.top - (row + 1) * self.cell[1] + self.inner[1]
            axes.append(fig.add_axes((left / width, bottom / height, axes_width / width, axes_height / height)))
        return fig, axes

    def close(self) -> None:
        for fig, _ in self._figures.values():
            self.plt.close(fig)
        self._figures.clear()


def _clear(ax: Any) -> None:
    """Removes what a page drew on `ax`, keeping the axes and its ticks."""
    for artist in [*ax.images, *ax.lines, *ax.collections, *ax.texts, *ax.patches]:
        artist.remove()
    if ax.get_legend() is not None:
        ax.get_legend().remove()
    ax.set_title("", loc="left")
    ax.set_xlabel("")
    ax.set_ylabel("")
    ax.ignore_existing_data_limits = True
    ax.set_prop_cycle(None)  # the next page's curves take the first colours again
    ax.set_autoscale_on(True)


def new_figures(plt: Any, before: set[int]) -> list[Any]:
    return [plt.figure(n) for n in plt.get_fignums() if n not in before]


#: The workbook's fill colours for passing and failing points (the extraction
#: module writes the same), and the grey of points that are neither.
PASS_COLOUR = "#00EE00"
FAIL_COLOUR = "#DC143C"
NEITHER_COLOUR = "#BBBBBB"

# "Pattern: march_c_0", "Shmoo: VDD(V) vs Freq(MHz)  pattern core_func_max", "PatName=x".
_PATTERN_NAME = re.compile(r"\bpat(?:tern)?(?:[ _]?name)?\s*(?:[:=]\s*|\s+)([^\s:=]\S*)", re.IGNORECASE)


def item_name(item: str, pattern: str | None = None) -> str:
    """What tells a plot's test item from the others in a small title: the
    pattern name where the pattern line (or the item line) names one, else the
    item line's last word (testers print the test's name after its number
    and kind: "2001  Shmoo_VDD_vs_Freq  core_func_max")."""
    for text in (pattern, item):
        m = _PATTERN_NAME.search(text or "")
        if m:
            return m.group(1)
    words = item.split()
    return words[-1] if words else ""


#: Characters per line of a grid panel's title at its font size.
PANEL_TITLE_WIDTH = 24


def panel_title(lines: Sequence[str]) -> str:
    """A grid panel's title, each line wrapped to the panel's width (never cut)."""
    wrapped = [part for line in lines for part in (textwrap.wrap(line, PANEL_TITLE_WIDTH, break_on_hyphens=False)
                                                     or [""])]
    return "\n".join(wrapped)


def grid_figure(plt: Any, count: int, titles: Sequence[str]) -> tuple[Any, Any]:
    """A figure of `count` small panels, six per row, tall enough for the
    longest of `titles` (so titles of one row never reach the panels above)."""
    cols = min(6, count) or 1
    rows = max(1, math.ceil(count / cols))
    lines = max([t.count("\n") + 1 for t in titles] or [1])
    fig, axes = plt.subplots(rows, cols, figsize=(2.3 * cols, (1.9 + 0.13 * lines) * rows + 0.4), squeeze=False,
                             layout="constrained")
    return fig, axes


def draw_panel(ax: Any, grid: Any, cmap: Any, title: str, colour: str = "black", axes: Any = None) -> None:
    """One plot of a grid picture: the points, the first and last value of
    each axis the plot prints values for (`axes`: its (row, column) axes,
    ``axes.plot_axes``), and the title."""
    import numpy as np

    ax.set_xticks([])
    ax.set_yticks([])
    if grid.ndim == 2 and grid.size:
        # Every panel fills its cell (a 21 x 41 plot as tall as an 11 x 11 one):
        # panels of one size line up and no title reaches into the row above.
        ax.imshow(np.ma.masked_less(grid.astype(float), 0.0), cmap=cmap, vmin=0.0, vmax=1.0,
                  interpolation="nearest", aspect="auto")
        if axes is not None:
            y, x = axes
            rows, cols = grid.shape
            if x.from_datalog and len(x.texts) == cols:
                ax.set_xticks([0, cols - 1], [x.texts[0], x.texts[-1] + (f" {x.unit}" if x.unit else "")],
                              fontsize=5)
            if y.from_datalog and len(y.texts) == rows:
                ax.set_yticks([0, rows - 1], [y.texts[0] + (f" {y.unit}" if y.unit else ""), y.texts[-1]],
                              fontsize=5)
            ax.tick_params(length=2, pad=1)
    ax.set_title(title, fontsize=7, color=colour)


def save_grid(path: Path, plots: Any, titles: Sequence[str], given: Sequence[str], limit: int,
              outputs: Outputs | None = None) -> int:
    """A grid of plots titled with their record number and predicted label;
    where the file's own label differs, it is shown below in red. Returns
    the number of plots drawn."""
    import numpy as np

    plt = pyplot()
    count = min(limit, len(titles))
    texts = []
    for k in range(count):
        lines = [f"record {k + 1}: {titles[k] or '(none)'}"]
        if is_label_text(given[k]) and not same_label(given[k], titles[k]):
            lines.append(f"file: {given[k]}")
        texts.append(panel_title(lines))
    fig, axes = grid_figure(plt, count, texts)
    cmap = plt.get_cmap("RdYlGn").with_extremes(bad=NEITHER_COLOUR)
    for k, ax in enumerate(axes.flat):
        if k >= count:
            ax.set_visible(False)
            continue
        differs = is_label_text(given[k]) and not same_label(given[k], titles[k])
        # Records hold 1 pass, 0 fail; any other value is a point that is neither.
        values = plots[k, 0].numpy()
        draw_panel(ax, np.where((values == 0.0) | (values == 1.0), values, -1.0), cmap, texts[k],
                   "firebrick" if differs else "black")
    fig.suptitle("predicted labels (green passes, red fails)", fontsize=10)
    save_figure(fig, path, outputs=outputs)
    plt.close(fig)
    return count


PICTURE_LABELS = ("Pass", "Fail", "Pass-Vol", "Pass-Freq", "Pass-Marginal", "Pass-Hole", "Pass-Vol-Freq",
                  "Pass-Freq-Hole")


def save_class_picture(path: Path, seed: int = 0, outputs: Outputs | None = None) -> None:
    """One generated plot per class (and two combinations), as a small PNG."""
    import random

    plt = pyplot()
    rng = random.Random(seed)
    fig, axes = plt.subplots(2, 4, figsize=(8.4, 4.8))
    for ax, label in zip(axes.flat, PICTURE_LABELS):
        ax.imshow(samples.plot_for_label(label, rng), cmap="RdYlGn", vmin=0, vmax=1)
        ax.set_title(label, fontsize=9)
        ax.set_xticks([0, samples.COLUMNS - 1], ["lo", "hi"], fontsize=7)
        ax.set_yticks([0, samples.ROWS - 1], ["hi", "lo"], fontsize=7)
    fig.supxlabel("frequency (columns)  -  green passes, red fails", fontsize=9)
    fig.supylabel("supply voltage (rows)", fontsize=9)
    fig.tight_layout()
    save_figure(fig, path, outputs=outputs)
    plt.close(fig)


def image_path(path: Path, what: str) -> Path:
    """The file a picture is saved to: a name without an extension gets
    ".png" (and that is the name reported); an extension the plotting library
    cannot write, or a folder, is refused before any work is done."""
    from .errors import CliError, check_output_file

    check_output_file(path, what)
    if not path.suffix:
        path = path.with_name(path.name + ".png")
        check_output_file(path, what)
    from matplotlib.backend_bases import FigureCanvasBase

    formats = FigureCanvasBase.get_supported_filetypes()
    if path.suffix[1:].lower() not in formats:
        raise CliError(f"{what} {path}: cannot write {path.suffix!r} pictures; use one of "
                       f"{', '.join('.' + f for f in sorted(formats))}")
    return path


def _failing_depths(grid: Any, axis: int) -> Any:
    """Per column (axis 0) the failing run up from the lowest voltage, or per
    row (axis 1) the failing run in from the highest frequency."""
    import numpy as np

    lines = grid[::-1].T if axis == 0 else grid[:, ::-1]
    passing = lines != 0
    return np.where(passing.any(axis=1), passing.argmax(axis=1), lines.shape[1])


def _wall(grid: Any, axis: int, shape: str) -> bool:
    """A clean wall (no other failing point) whose edge is `shape`."""
    import numpy as np

    depths = _failing_depths(grid, axis)
    if int(np.count_nonzero(grid == 0)) != int(depths.sum()) or depths.min() < 2:
        return False
    steps = np.diff(depths)
    if shape == "straight":
        return not steps.any()
    if shape == "stepped":
        return bool((steps > 0).any() and (steps < 0).any() and (abs(steps) <= 1).all())
    return bool((steps >= 0).all() and depths[-1] - depths[0] >= 2)  # rising, or slanted


#: The panels of the class picture: title, label drawn, and what the drawn
#: plot must show to stand for its case (the first seed whose plot does is taken).
def _class_panels() -> list[tuple[str, str, Callable[[Any], bool]]]:
    import numpy as np

    def fails(g: Any) -> int:
        return int(np.count_nonzero(g == 0))

    def passes(g: Any) -> int:
        return int(np.count_nonzero(g == 1))

    rows_half, cols_half = 6, 8
    return [
        ("Fail\n(a stray pass or two)", "Fail", lambda g: 1 <= passes(g) <= 2),
        ("Pass\n(a stray fail)", "Pass", lambda g: fails(g) == 1 and g[-1, -1] == 1),
        ("Pass\n(short diagonal corner)", "Pass",
         lambda g: fails(g) >= 4 and g[-1, -1] == 0 and not (g[:rows_half] == 0).any()
         and not (g[:, :cols_half] == 0).any()),
        ("Vol\n(straight edge)", "Pass-Vol", lambda g: _wall(g, 0, "straight")),
        ("Vol\n(stepped edge)", "Pass-Vol", lambda g: _wall(g, 0, "stepped")),
        ("Vol\n(rising with frequency)", "Pass-Vol", lambda g: _wall(g, 0, "rising")),
        ("Freq\n(straight edge)", "Pass-Freq", lambda g: _wall(g, 1, "straight")),
        ("Freq\n(slanted: low voltage\nreaches less far)", "Pass-Freq", lambda g: _wall(g, 1, "slanted")),
        ("Marginal\n(corner beyond a diagonal)", "Pass-Marginal",
         lambda g: samples.is_monotone(g) and g[0, 0] == 1 and g[-1, 0] == 0 and g[0, -1] == 0
         and 0.15 < passes(g) / g.size < 0.45),
        ("Marginal\n(band along an edge)", "Pass-Marginal",
         lambda g: bool((g[0] == 1).all()) and not (g[2:] == 1).any()),
        ("Marginal\n(frayed edge)", "Pass-Marginal",
         lambda g: not samples.is_monotone(g) and 0.4 < passes(g) / g.size < 0.8),
        ("Hole\n(enclosed failing pocket)", "Pass-Hole",
         lambda g: 2 <= fails(g) <= 4 and not (g[[0, -1]] == 0).any() and not (g[:, [0, -1]] == 0).any()),
    ]


CLASS_PICTURE_SIZE = (11, 15)


def save_label_classes(path: Path, seed: int = 0, outputs: Outputs | None = None) -> None:
    """The kit's classes as the training recipe draws them, one panel per case
    (README, "What the labels mean"), in the canonical orientation: highest
    voltage at the top, frequency rising to the right. Each panel shows the
    first plot, counting seeds up from `seed`, that shows its case cleanly
    (no untested point)."""
    import itertools

    import numpy as np

    from .recipe import draw_plot

    plt = pyplot()
    rows, cols = CLASS_PICTURE_SIZE
    panels = _class_panels()
    fig, axes = plt.subplots(3, 4, figsize=(10.5, 8.0))
    cmap = plt.get_cmap("RdYlGn").with_extremes(bad="#bbbbbb")
    for ax, (title, label, shows) in zip(axes.flat, panels):
        for k in itertools.count(seed):
            grid = draw_plot(label, np.random.default_rng(k), rows, cols)
            if not (grid == -1).any() and shows(grid):
                break
            if k - seed > 20000:
                raise RuntimeError(f"no plot of {label} shows {title!r}")
        ax.imshow(grid.astype(float), cmap=cmap, vmin=0.0, vmax=1.0, interpolation="nearest")
        ax.set_title(title, fontsize=9)
        ax.set_xticks([0, cols - 1], ["low", "high"], fontsize=7)
        ax.set_yticks([0, rows - 1], ["high", "low"], fontsize=7)
    fig.supxlabel("frequency, rising to the right  -  green passes, red fails", fontsize=10)
    fig.supylabel("supply voltage, falling downward", fontsize=10)
    fig.suptitle("What the labels mean: plots of each class as the training recipe draws them", fontsize=11)
    fig.tight_layout()
    save_figure(fig, path, outputs=outputs)
    plt.close(fig)
