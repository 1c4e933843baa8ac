"""Margins of shmoo plots: the numbers an engineer reads off each plot.

Per column of a plot (one frequency, say) the lowest and highest row value
(supply voltage) at which the device passes; per plot the share of passing
points, the failing points enclosed by passing ones (holes) and the sides of
the sweep that passing points touch (where the true margin lies outside it).

Orientation is the datalog's: "top" is the first printed row and "left" the
first point column, whatever values they carry.
"""

from __future__ import annotations

import csv
import io
from dataclasses import dataclass
from pathlib import Path
from typing import IO, Any, Iterable, Sequence

import numpy as np

from .axes import Axis, heading_quantities, plot_axes
from .errors import CliError
from .extraction import visible
from .outputs import Outputs, refuse_inputs_as_outputs, written_together

__all__ = [
    "MARGINS_HEADER",
    "SUMMARY_HEADER",
    "PlotNumbers",
    "analyse",
    "axes_kind",
    "column_margins",
    "count_holes",
    "edge_sides",
    "item_key",
    "quantity_names",
    "write_tables",
]

MARGINS_HEADER = ("datalog", "site", "plot", "item", "x", "y_min", "y_max", "axes", "x_unit", "y_unit")
SUMMARY_HEADER = ("datalog", "site", "plot", "item", "pass_fraction", "holes", "edge", "axes")
SIDES = ("top", "bottom", "left", "right")


def column_margins(grid: np.ndarray, y: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """Row indices of the smallest and largest row value among each column's
    passing points; -1 for a column without a passing point."""
    return _column_margins(grid == 1, y)


def _column_margins(passing: np.ndarray, y: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    if passing.shape[0] == 0:  # a plot without point rows
        none = np.full(passing.shape[1], -1, dtype=np.intp)
        return none, none.copy()
    column = y[:, None]
    low = np.where(passing, column, np.inf).argmin(axis=0)
    high = np.where(passing, column, -np.inf).argmax(axis=0)
    any_pass = passing.any(axis=0)
    return np.where(any_pass, low, -1), np.where(any_pass, high, -1)


def _line_of_sight(open_: np.ndarray) -> np.ndarray:
    """Open points with a straight open path to the border, in one of the four
    directions: all of them for the usual walls and corners, in four sweeps."""
    seen = np.logical_and.accumulate(open_, axis=0)
    seen |= np.logical_and.accumulate(open_[::-1], axis=0)[::-1]
    seen |= np.logical_and.accumulate(open_, axis=1)
    seen |= np.logical_and.accumulate(open_[:, ::-1], axis=1)[:, ::-1]
    return seen


def count_holes(grid: np.ndarray) -> int:
    """Failing points that no 4-neighbour path of non-passing points joins to
    the border: islands of failure inside the passing region.

    Points that are neither pass nor fail (padding, odd symbols) carry the path
    like failing points but are not counted themselves.
    """
    return _holes(grid == 1, grid == 0)


def _holes(passing: np.ndarray, failing: np.ndarray) -> int:
    rows, cols = passing.shape
    if rows < 3 or cols < 3 or not failing[1:-1, 1:-1].any():
        return 0
    open_ = ~passing
    reach = _line_of_sight(open_)
    if not (failing > reach).any():
        return 0
    while True:
        grown = reach.copy()
        grown[1:] |= reach[:-1]
        grown[:-1] |= reach[1:]
        grown[:, 1:] |= reach[:, :-1]
        grown[:, :-1] |= reach[:, 1:]
        grown &= open_
        if np.array_equal(grown, reach):
            break
        reach = grown
    return int(np.count_nonzero(failing > reach))


def edge_sides(grid: np.ndarray) -> tuple[str, ...]:
    """The sides of the sweep (top, bottom, left, right) that passing points touch."""
    return _edges(grid == 1)


def _edges(passing: np.ndarray) -> tuple[str, ...]:
    if passing.size == 0:
        return ()
    touched = (passing[0].any(), passing[-1].any(), passing[:, 0].any(), passing[:, -1].any())
    return tuple(side for side, hit in zip(SIDES, touched) if hit)


def axes_kind(x: Axis, y: Axis) -> str:
    """"values" where both axes come from the datalog, "index" where neither
    does, else which one fell back ("x:index" or "y:index")."""
    if x.from_datalog and y.from_datalog:
        return "values"
    if not x.from_datalog and not y.from_datalog:
        return "index"
    return "x:index" if not x.from_datalog else "y:index"


def quantity_names(*texts: str | None) -> tuple[str, str, str, str] | None:
    """(row name, row unit, column name, column unit) the texts name (see
    ``axes.heading_quantities``); None where they name neither axis."""
    rows, cols = heading_quantities(*texts)
    if rows is None and cols is None:
        return None
    return (rows.name if rows else "", rows.unit if rows else "", cols.name if cols else "",
            cols.unit if cols else "")


def item_key(item: str) -> str:
    """The test item a plot belongs to, as printed but without outer spaces."""
    return " ".join(item.split())


@dataclass(frozen=True, slots=True)
class PlotNumbers:
    """What ``margins`` computes for one plot."""

    x: Axis
    y: Axis
    y_min_row: np.ndarray  # row index per column, -1 where the column never passes
    y_max_row: np.ndarray
    passes: int
    fails: int
    holes: int
    edge: tuple[str, ...]

    @property
    def pass_fraction(self) -> float | None:
        judged = self.passes + self.fails
        return self.passes / judged if judged else None

    @property
    def axes(self) -> str:
        return axes_kind(self.x, self.y)

    def y_min(self) -> np.ndarray:
        """y_min per column as float, NaN where the column never passes."""
        return np.where(self.y_min_row >= 0, self.y.values[self.y_min_row], np.nan)

    def y_max(self) -> np.ndarray:
        return np.where(self.y_max_row >= 0, self.y.values[self.y_max_row], np.nan)


def analyse(plot: Any) -> PlotNumbers:
    """The numbers of one plot (anything with ``grid``, ``row_labels`` and ``axis``)."""
    grid = np.asarray(plot.grid, dtype=np.int8)
    if grid.ndim != 2:
        raise ValueError(f"a plot grid must be two-dimensional, got shape {grid.shape}")
    y, x = plot_axes(plot)
    passing, failing = grid == 1, grid == 0
    low, high = _column_margins(passing, y.values)
    passes = int(np.count_nonzero(passing))
    fails = int(np.count_nonzero(failing))
    holes = _holes(passing, failing) if passes and fails else 0
    return PlotNumbers(x, y, low, high, passes, fails, holes, _edges(passing))


def _fraction_text(value: float | None) -> str:
    return "" if value is None else f"{value:.4f}"


class _CsvFields:
    """CSV text of a few fields (quoted as csv.writer quotes them), for
    joining with fields known to need no quoting."""

    def __init__(self) -> None:
        self._buffer = io.StringIO()
        self._writer = csv.writer(self._buffer, lineterminator="\n")

    def __call__(self, fields: Sequence[object]) -> str:
        self._buffer.seek(0)
        self._buffer.truncate()
        self._writer.writerow(fields)
        return self._buffer.getvalue()[:-1]


def write_tables(
    plots: Iterable[Any],
    out: IO[str] | None,
    summary: IO[str] | None = None,
    keep: list[tuple[Any, PlotNumbers]] | None = None,
) -> int:
    """Writes the per-column rows of every plot to ``out`` and one row per plot
    to ``summary`` (either may be None); appends (plot, numbers) to ``keep``
    when given (for figures). Returns the number of plots."""
    fields = _CsvFields()
    if out is not None:
        out.write(fields(MARGINS_HEADER) + "\n")
    if summary is not None:
        summary.write(fields(SUMMARY_HEADER) + "\n")
    count = 0
    for plot in plots:
        numbers = analyse(plot)
        count += 1
        head = fields((visible(plot.datalog), plot.site, plot.plot, item_key(plot.item)))
        axes = numbers.axes
        if out is not None:
            # The numbers are digits, point, sign and exponent only: never quoted.
            y_texts = numbers.y.texts + ("",)  # row -1 reads the empty text
            tail = fields((axes, numbers.x.unit, numbers.y.unit))
            out.write("".join(
                f"{head},{x},{y_texts[lo]},{y_texts[hi]},{tail}\n"
                for x, lo, hi in zip(numbers.x.texts, numbers.y_min_row.tolist(), numbers.y_max_row.tolist())
            ))
        if summary is not None:
            summary.write(head + "," + fields(
                (_fraction_text(numbers.pass_fraction), numbers.holes, ",".join(numbers.edge), axes)) + "\n")
        if keep is not None:
            keep.append((plot, numbers))
    return count


# ---------------------------------------------------------------------------
# The Vmin overlay


def _groups(kept: Sequence[tuple[Any, PlotNumbers]]) -> dict[tuple[str, int], list[tuple[Any, PlotNumbers]]]:
    """Plots of one test item across sites and datalogs. A pair that repeats an
    item contributes its n-th run of it to the n-th group of that item."""
    seen: dict[tuple[str, str, str], int] = {}
    groups: dict[tuple[str, int], list[tuple[Any, PlotNumbers]]] = {}
    for plot, numbers in kept:
        key = item_key(plot.item)
        n = seen.get((plot.datalog, plot.site, key), 0)
        seen[(plot.datalog, plot.site, key)] = n + 1
        groups.setdefault((key, n), []).append((plot, numbers))
    return groups


def save_overlay(path: Path, kept: Sequence[tuple[Any, PlotNumbers]], per_page: int = 24,
                 outputs: Outputs | None = None) -> list[Path]:
    """Pages of Vmin overlays, one panel per test item, one line per (datalog,
    site). Items beyond ``per_page`` go to further pages named ``<stem>_2.png``
    and so on. Returns the files written (with `outputs`: staged there)."""
    from .figures import pyplot, save_page

    plt = pyplot()
    groups = list(_groups(kept).items())
    several_datalogs = len({plot.datalog for plot, _ in kept}) > 1
    pages = [groups[i : i + per_page] for i in range(0, len(groups), per_page)] or [[]]
    written = []
    for page_number, page in enumerate(pages, start=1):
        cols = min(4, max(1, len(page)))
        rows = max(1, -(-len(page) // cols))
        fig, axes = plt.subplots(rows, cols, figsize=(4.2 * cols, 3.4 * rows), squeeze=False,
                                 layout="constrained")
        for ax in axes.flat[len(page):]:
            ax.set_visible(False)
        if not page:
            axes.flat[0].set_visible(True)
            axes.flat[0].text(0.5, 0.5, "no shmoo plot", ha="center", va="center")
            axes.flat[0].set_axis_off()
        for ax, ((key, n), members) in zip(axes.flat, page):
            first = members[0][1]
            for k, (plot, numbers) in enumerate(members):
                label = f"site {plot.site}"
                if several_datalogs:
                    label = f"{visible(Path(plot.datalog).name)} {label}"
                # Earlier sites drawn wider underneath, so identical curves stay visible as bands.
                ax.plot(numbers.x.values, numbers.y_min(), marker="o", markersize=3 + 1.2 * (len(members) - 1 - k),
                        linewidth=1.2 + 1.2 * (len(members) - 1 - k), label=label, alpha=0.85)
            # A Vmin on the lowest swept row means the real margin lies below the sweep.
            if first.y.from_datalog:
                ax.axhline(float(np.min(first.y.values)), color="grey", linestyle=":", linewidth=1,
                           label="lowest swept")
            x, y = first.x, first.y
            ax.set_xlabel(x.title(x.dimension or "column") if x.from_datalog else "column (index)", fontsize=8)
            ax.set_ylabel("lowest passing " + (y.title(y.dimension or "row value") if y.from_datalog
                                               else "row (index)"), fontsize=8)
            title = key if len(key) <= 48 else key[:45] + "..."
            ax.set_title(title + (f" (run {n + 1})" if n else ""), fontsize=8)
            ax.tick_params(labelsize=7)
            ax.grid(True, alpha=0.3)
            ax.legend(fontsize=6, loc="best")
        fig.suptitle("Vmin: lowest passing row value per column, per site", fontsize=10)
        written.append(save_page(fig, path, page_number, outputs))
        plt.close(fig)
    return written


# ---------------------------------------------------------------------------
# The command


@dataclass(frozen=True)
class MarginsRun:
    plots: int
    out: Path | None
    summary: Path | None
    figures: tuple[Path, ...]
    unclosed: tuple[tuple[str, str, int], ...]


def run_margins(
    datalogs: Sequence[str | Path],
    settings_path: Path,
    sites: Sequence[str] | None,
    out: Path | None,
    summary: Path | None = None,
    figure: Path | None = None,
) -> MarginsRun:
    """Reads the plots of the selected sites and writes the margin tables and
    the Vmin overlay. Nothing is written when the datalogs hold no plot."""
    if out is None and summary is None and figure is None:
        raise CliError("nothing to write: give --out, --summary or --plot")
    if figure is not None:
        check_figure_path(figure, "--plot")
    refuse_inputs_as_outputs([("datalog", Path(p)) for p in datalogs] + [("settings file", settings_path)],
                             [("--out", out), ("--summary", summary), ("--plot", figure)])
    from .selection import plot_source

    search, plots = plot_source("margins", datalogs, settings_path, sites)
    kept: list[tuple[Any, PlotNumbers]] | None = [] if figure is not None else None
    with written_together() as outputs:
        out_fh = outputs.text(out) if out is not None else None
        summary_fh = outputs.text(summary) if summary is not None else None
        count = write_tables(plots, out_fh, summary_fh, kept)
        search.finish()
        figures = tuple(save_overlay(figure, kept or [], outputs=outputs)) if figure is not None else ()
    return MarginsRun(count, out, summary, figures, tuple(search.unclosed))


def check_figure_path(path: Path, option: str) -> None:
    """Refuses a picture format matplotlib cannot write before any work is done."""
    from matplotlib.backend_bases import FigureCanvasBase

    supported = FigureCanvasBase.get_supported_filetypes()
    suffix = path.suffix.lower().lstrip(".")
    if suffix not in supported:
        raise CliError(f"{option} {path}: cannot write pictures of type {suffix or '(no suffix)'!r}; "
                       f"use one of {', '.join(sorted(supported))}")
