"""Composite maps: how many of the selected sites pass at each point of a test item.

The plots of one test item (across sites and datalogs) that share a sweep are
stacked point by point: a point every site passes is solid, a point only some
pass is a weak corner. An item swept several ways gets one map per sweep. The
worksheet "Composite" uses the layout of a site block of "Sheet" (row label in
the first column, point j in column j + 1, the axis line below the points), so
a composite reads like any extracted plot.
"""

from __future__ import annotations

import copy
import functools
import textwrap
from dataclasses import dataclass
from pathlib import Path
from types import SimpleNamespace
from typing import Any, Callable, Iterable, Iterator, Mapping, Sequence
from xml.sax.saxutils import escape

import numpy as np

from .axes import plot_axes, split_axis_line
from .extraction import visible
from .margins import item_key
from .orientation import Oriented
from .sweeps import SweepNames, sweep_of, warn_several_sweeps

__all__ = ["SHEET_NAME", "CompositeMap", "CompositeStack", "composite_maps", "fill_composite", "save_composite_png",
           "scale_colour", "warn_several_sweeps_of"]

SHEET_NAME = "Composite"

# The extraction's own colours for fail and pass, with yellow half way.
_FAIL_RGB = (0xDC, 0x14, 0x3C)
_MIDDLE_RGB = (0xFF, 0xFF, 0x00)
_PASS_RGB = (0x00, 0xEE, 0x00)


@dataclass(frozen=True, slots=True)
class CompositeMap:
    """The pass counts of one test item's plots."""

    item: str                        # the item line as printed, outer spaces removed
    run: int                         # 1 for an item's first plot in each pair, 2 for its second, ...
    sources: tuple[tuple[str, str], ...]  # (datalog, site) of each stacked plot
    row_labels: tuple[str, ...]
    axis: tuple[str, ...] | None
    passes: np.ndarray               # int, (rows, cols): plots passing at the point
    judged: np.ndarray               # int, (rows, cols): plots with a pass or fail at the point
    heading: str | None = None       # the start marker line of the plot whose labels and axis line it shows
    sweep: str = ""                  # what the stacked plots sweep: "11 x 11, 0.700-1.200 V, 100-300 MHz"

    @property
    def plots(self) -> int:
        return len(self.sources)


class CompositeStack:
    """Builds the composite maps one plot at a time, keeping only counts, so a
    run that streams its plots (triage) never holds them all."""

    def __init__(self) -> None:
        self._order: list[tuple[str, tuple[Any, ...], int]] = []
        self._groups: dict[tuple[str, tuple[Any, ...], int], _Group] = {}
        self._runs: dict[tuple[str, str, str, tuple[Any, ...]], int] = {}
        self._names = SweepNames()

    def add(self, plot: Any) -> None:
        key = item_key(plot.item)
        sweep, oriented = sweep_of(plot)
        pair = (str(plot.datalog), str(plot.site), key, sweep.key)
        run = self._runs.get(pair, 0) + 1
        self._runs[pair] = run
        group = self._groups.get((key, sweep.key, run))
        if group is None:
            self._order.append((key, sweep.key, run))
            group = self._groups[(key, sweep.key, run)] = _Group(plot, self._names(key, sweep), oriented)
        group.add(plot, oriented)

    def maps(self) -> list[CompositeMap]:
        # An item's maps stand together, in the order its sweeps and runs first appear.
        first: dict[str, int] = {}
        for key, _, _ in self._order:
            first.setdefault(key, len(first))
        order = sorted(self._order, key=lambda group: first[group[0]])
        return [self._groups[(key, sweep, run)].result(key, run) for key, sweep, run in order]


class _Group:
    """The counts of one item's plots of one sweep, in the orientation of the
    first of them: its row labels and axis line describe every point."""

    def __init__(self, plot: Any, sweep: str, oriented: Oriented) -> None:
        self.sweep = sweep
        self.rows_flipped, self.columns_flipped = oriented.rows_flipped, oriented.columns_flipped
        self.sources: list[tuple[str, str]] = []
        self.passes: np.ndarray = np.zeros(oriented.grid.shape, dtype=np.int64)
        self.judged: np.ndarray = np.zeros(oriented.grid.shape, dtype=np.int64)
        self.labels = tuple(plot.row_labels)
        self.axis: tuple[str, ...] | None = None if plot.axis is None else tuple(plot.axis)
        self.heading: str | None = getattr(plot, "heading", None)

    def add(self, plot: Any, oriented: Oriented) -> None:
        grid = oriented.grid
        if self.rows_flipped:
            grid = grid[::-1]
        if self.columns_flipped:
            grid = grid[:, ::-1]
        self.passes += grid == 1
        self.judged += grid >= 0
        self.sources.append((str(plot.datalog), str(plot.site)))

    def result(self, key: str, run: int) -> CompositeMap:
        rows = self.passes.shape[0]
        labels = self.labels + ("",) * (rows - len(self.labels))
        return CompositeMap(key, run, tuple(self.sources), labels, self.axis, self.passes.copy(),
                            self.judged.copy(), self.heading, self.sweep)


def composite_maps(plots: Iterable[Any]) -> list[CompositeMap]:
    """Stacks the plots of each test item, in the order items first appear.

    Only plots of one sweep (``sweeps.sweep_of``) are stacked: an item swept
    several ways gets one map per sweep. A pair that runs an item twice at one
    sweep contributes its second plot to the item's second map of that sweep.
    """
    stack = CompositeStack()
    for plot in plots:
        stack.add(plot)
    return stack.maps()


def warn_several_sweeps_of(command: str, maps: Sequence[CompositeMap]) -> list[str]:
    """The run's warning line for each item whose maps hold different sweeps."""
    return warn_several_sweeps(command, ((m.item, m.sweep) for m in maps),
                               "one composite map per sweep; plots of different sweeps are not combined")


def scale_colour(share: float) -> str:
    """RRGGBB on the red-yellow-green scale for a pass share in [0, 1]."""
    share = min(1.0, max(0.0, share))
    if share <= 0.5:
        a, b, t = _FAIL_RGB, _MIDDLE_RGB, share / 0.5
    else:
        a, b, t = _MIDDLE_RGB, _PASS_RGB, (share - 0.5) / 0.5
    return "".join(f"{round(x + (y - x) * t):02X}" for x, y in zip(a, b))


def _sources_text(sources: Sequence[tuple[str, str]]) -> str:
    by_datalog: dict[str, list[str]] = {}
    for datalog, site in sources:
        by_datalog.setdefault(datalog, []).append(site)
    return "; ".join(f"{visible(datalog)} sites {','.join(sites)}" for datalog, sites in by_datalog.items())


_TITLE = ("Pass count of each point across the selected sites, per test item "
          "(red: every site fails, yellow: half pass, green: every site passes)")


@functools.lru_cache(maxsize=1024)
def _colour(count: int, judged: int) -> str:
    return scale_colour(count / judged)


def _clean(text: str) -> str:
    """Characters a worksheet cannot hold (control codes) shown as U+FFFD."""
    from openpyxl.cell.cell import ILLEGAL_CHARACTERS_RE

    return ILLEGAL_CHARACTERS_RE.sub("\ufffd", text)


def _axis_cells(axis: Sequence[str], cols: int) -> list[tuple[int, str | int, str | None]]:
    """The axis line under the points: each column's value under its point
    (``split_axis_line``), what stands above the row labels in the first
    column; a line that does not fit the plot as printed."""
    split = split_axis_line(axis, cols)
    if split is None:
        return [(j, _clean(token), None) for j, token in enumerate(axis, start=1)]
    head, values = split
    cells: list[tuple[int, str | int, str | None]] = [(1, _clean(" ".join(head)), None)] if head else []
    return cells + [(j, _clean(token), None) for j, token in enumerate(values, start=2)]


def _layout(maps: Sequence[CompositeMap]) -> Iterator[tuple[int, list[tuple[int, str | int, str | None]]]]:
    """(row, [(column, value, colour or None), ...]) of every written row."""
    yield 1, [(1, _TITLE, None)]
    row = 3
    for m in maps:
        yield row, [(1, _clean(m.item) + (f" (run {m.run})" if m.run > 1 else ""), None)]
        yield row + 1, [(1, _clean(f"{m.plots} plot(s), sweep {m.sweep}: {_sources_text(m.sources)}"), None)]
        row += 2
        for label, counts, seen in zip(m.row_labels, m.passes.tolist(), m.judged.tolist()):
            cells: list[tuple[int, str | int, str | None]] = [(1, _clean(label), None)] if label else []
            cells += [(j, count, _colour(count, n)) for j, (count, n) in enumerate(zip(counts, seen), start=2)
                      if n]
            yield row, cells
            row += 1
        if m.axis:
            yield row, _axis_cells(m.axis, m.passes.shape[1])
            row += 1
        row += 1  # one empty row between maps


def _text_cell(ref: str, text: str) -> str:
    space = ' xml:space="preserve"' if text != text.strip() or "\n" in text else ""
    return f'<c r="{ref}" t="inlineStr"><is><t{space}>{escape(text)}</t></is></c>'


def _sheet_xml(maps: Sequence[CompositeMap], index: Mapping[str, int]) -> str:
    from openpyxl.utils import get_column_letter

    letters: dict[int, str] = {}
    parts = []
    last_row, last_col = 1, 1
    for row, cells in _layout(maps):
        if not cells:
            continue
        parts.append(f'<row r="{row}">')
        for col, value, colour in cells:
            letter = letters.get(col) or letters.setdefault(col, get_column_letter(col))
            ref = f"{letter}{row}"
            if isinstance(value, str):
                parts.append(_text_cell(ref, value))
            else:
                style = f' s="{index[colour]}"' if colour is not None else ""
                parts.append(f'<c r="{ref}"{style} t="n"><v>{value}</v></c>')
            last_col = max(last_col, col)
        parts.append("</row>")
        last_row = row
    return (f'<worksheet xmlns="http://schemas.openxmlformats.org/spreadsheetml/2006/main">'
            f'<dimension ref="A1:{get_column_letter(last_col)}{last_row}" />'
            f'<sheetFormatPr baseColWidth="8" defaultRowHeight="15" /><sheetData>{"".join(parts)}</sheetData>'
            f'<pageMargins left="0.75" right="0.75" top="1" bottom="1" header="0.5" footer="0.5" /></worksheet>')


def _solid(colour: str) -> Callable[[Any], None]:
    def style(cell: Any) -> None:
        from openpyxl.styles import PatternFill

        cell.fill = PatternFill(start_color=colour, end_color=colour, fill_type="solid")

    return style


def fill_composite(maps: Sequence[CompositeMap]) -> Callable[[Any], None]:
    """A worksheet filler (for ``workbook_sheets.append_worksheets``) that
    writes the maps one under the other, like plot groups on "Sheet". It is
    also given as sheet XML, so that a big composite does not go through
    openpyxl cell by cell."""
    from .workbook_sheets import PreparedSheet

    def fill(ws: Any) -> None:
        styles: dict[str, Any] = {}
        for row, cells in _layout(maps):
            for col, value, colour in cells:
                cell = ws.cell(row=row, column=col, value=value)
                if colour is None:
                    continue
                # A fill makes openpyxl hash the whole style per cell; cells of
                # one colour take over the first one's finished style instead.
                done = styles.get(colour)
                if done is not None and hasattr(cell, "_style"):
                    cell._style = copy.copy(done)
                    continue
                _solid(colour)(cell)
                if hasattr(cell, "_style"):
                    styles[colour] = copy.copy(cell._style)

    colours = sorted({colour for _, cells in _layout(maps) for _, _, colour in cells if colour is not None})
    return PreparedSheet(fill, {colour: _solid(colour) for colour in colours},
                         lambda index: _sheet_xml(maps, index))


def _panel_title(m: CompositeMap, width: int = 52) -> str:
    """The item (wrapped, never cut), its sweep and the datalogs its plots come from."""
    item = m.item + (f" (run {m.run})" if m.run > 1 else "")
    names = list(dict.fromkeys(visible(Path(datalog).name) for datalog, _ in m.sources))
    shown = ", ".join(names[:3]) + (f" and {len(names) - 3} more" if len(names) > 3 else "")
    lines = [*textwrap.wrap(item, width, break_on_hyphens=False), *textwrap.wrap(m.sweep, width),
             *textwrap.wrap(f"{m.plots} plot(s) from {shown}", width)]
    return "\n".join(lines)


def _draw_counts(fig: Any, ax: Any, m: CompositeMap) -> None:
    """Each judged point's pass count in its cell, as glyph outlines (a
    hundred text objects per map cost more than the rest of it)."""
    from .figures import draw_labels

    rows, cols = np.nonzero(m.judged)
    if rows.size:
        draw_labels(fig, ax, [str(count) for count in m.passes[rows, cols].tolist()],
                    np.column_stack([cols, rows]), ax.transData, "centre", 6)


# The panel's cell in inches, and the colour bar's strip beside the panels.
_CELL = (4.0, 3.8)
_BAR_STRIP = 1.0


def _panel_margins(maps: Sequence[CompositeMap]) -> tuple[float, float, float, float]:
    """Room (left, bottom, right, top) in inches around the panels' axes for the
    longest row label, x value and title of `maps`."""
    from .figures import lines_inches, text_inches

    label = max((len(text) for m in maps for text in m.row_labels), default=1)
    value = max((len(text) for m in maps if m.axis for text in m.axis), default=3)
    lines = max((_panel_title(m).count("\n") + 1 for m in maps), default=1)
    ticks = 9 / 72  # tick length and padding
    left = text_inches(label, 6) + ticks + lines_inches(1, 7) + 0.1
    bottom = text_inches(value, 6) + ticks + lines_inches(1, 7) + 0.1
    return left, bottom, 0.15, lines_inches(lines, 7) + 0.1


def save_composite_png(path: Path, maps: Sequence[CompositeMap], per_page: int = 24) -> list[Path]:
    """Pictures of the maps, ``per_page`` to a page (further pages
    ``<stem>_2.png`` ...). Returns the files written."""
    from matplotlib.cm import ScalarMappable
    from matplotlib.colors import Normalize

    from .figures import Ink, PanelPages, draw_axis_title, draw_ticks, draw_title, lines_inches, pyplot, save_page

    plt = pyplot()
    pages = [maps[i : i + per_page] for i in range(0, len(maps), per_page)] or [[]]
    # One set of margins for every page, so the pages line up and share figures.
    inner = _panel_margins(maps)
    figures = PanelPages(plt, 4, _CELL, inner, top=0.45, right=_BAR_STRIP)
    written = []
    try:
        for page_number, page in enumerate(pages, start=1):
            fig, axes, fresh = figures.page(len(page))
            if fresh:
                fig.suptitle("Composite: sites passing at each point", fontsize=10,
                             y=1 - 0.12 / fig.get_size_inches()[1], va="top")
                if any(m.passes.size for m in maps):
                    width, height = fig.get_size_inches()
                    bar = fig.add_axes(((width - _BAR_STRIP + 0.2) / width, 0.1, 0.2 / width, 0.8 - 0.45 / height))
                    fig.colorbar(ScalarMappable(Normalize(0.0, 1.0), "RdYlGn"), cax=bar,
                                 label="share of sites passing")
            for ax in axes:
                ax.set_axis_off()
            if not page:
                axes[0].text(0.5, 0.5, "no shmoo plot", ha="center", va="center")
            for ax, m in zip(axes, page):
                if m.passes.size == 0:
                    ax.text(0.5, 0.5, f"{m.item}\nno point rows", ha="center", va="center", fontsize=8)
                    continue
                ax.set_axis_on()
                share = np.where(m.judged > 0, m.passes / np.maximum(m.judged, 1), np.nan)
                ax.imshow(share, cmap="RdYlGn", vmin=0.0, vmax=1.0, aspect="auto", interpolation="nearest")
                r, c = share.shape
                if r * c <= 400:
                    _draw_counts(fig, ax, m)
                ink = Ink(fig, ax)
                draw_ticks(fig, ax, "y", m.row_labels, ink=ink)
                y, x = plot_axes(SimpleNamespace(grid=m.passes, row_labels=m.row_labels, axis=m.axis,
                                                 heading=m.heading))
                if y.from_datalog:
                    draw_axis_title(fig, ax, "y", y.title(y.dimension), 7, inner[0] - 0.6 * lines_inches(1, 7) - 0.04,
                                    ink)
                split = split_axis_line(m.axis, c)
                draw_ticks(fig, ax, "x", split[1] if split is not None else [str(j + 1) for j in range(c)], ink=ink)
                if split is not None:
                    draw_axis_title(fig, ax, "x", x.title(x.dimension) if x.from_datalog else " ".join(split[0]), 7,
                                    inner[1] - lines_inches(1, 7) - 0.04, ink)
                draw_title(fig, ax, _panel_title(m), 7, ink=ink)
                ink.flush(zorder=2.5)
            written.append(save_page(fig, path, page_number))
    finally:
        figures.close()
    return written


def run_composite(
    datalogs: Sequence[str | Path],
    settings_path: Path,
    sites: Sequence[str] | None,
    workbook: Path | None,
    png: Path | None,
) -> tuple[list[CompositeMap], list[Path]]:
    """Builds the composite maps of the selected sites; adds the "Composite"
    worksheet to ``workbook`` and draws ``png`` where given. Returns the maps
    and the pictures written."""
    from .margins import check_figure_path
    from .selection import plot_source
    from .workbook_sheets import append_worksheets

    if png is not None:
        check_figure_path(png, "--composite-png")
    # The extraction before it has said what the datalogs lack.
    _, plots = plot_source("extract", datalogs, settings_path, sites, quiet=True)
    maps = composite_maps(plots)
    warn_several_sweeps_of("extract", maps)
    if workbook is not None:
        append_worksheets(workbook, {SHEET_NAME: fill_composite(maps)})
    pictures = save_composite_png(png, maps) if png is not None else []
    return maps, pictures
