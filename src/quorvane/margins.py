"""Margins of shmoo plots: the numbers an engineer reads off each plot.

Per column of a plot (one frequency, say) the lowest and highest row value
(supply voltage) at which the device passes, and its Vmin: the lowest voltage
of the unbroken passing run that starts at the column's highest passing
voltage, so a stray pass below a failing band does not count. Per row its
Fmax: the highest frequency (shortest period) of the unbroken passing run that
starts at the row's lowest passing frequency. Per plot the share of passing
points, the failing points enclosed by passing ones (holes) and the sides of
the sweep that passing points touch (where the true margin lies outside it).

Holes and edges take the datalog's orientation: "top" is the first printed
row and "left" the first point column, whatever values they carry. Vmin and
Fmax follow the values (``orientation.orient``): rows printed from the lowest
voltage up, or columns from the highest frequency down, give the same numbers.
"""

from __future__ import annotations

import csv
import io
import textwrap
from dataclasses import dataclass
from pathlib import Path
from typing import IO, Any, Callable, Iterable, Mapping, Sequence

import numpy as np

from .axes import FREQUENCY, PERIOD, Axis, heading_quantities, plot_axes
from .errors import CliError
from .extraction import visible
from .headers import HEADER_FIELDS, header_cells
from .orientation import orient
from .outputs import STDOUT, Outputs, refuse_inputs_as_outputs, written_together
from .sweeps import SweepNames, sweep_of, warn_several_sweeps

__all__ = [
    "FMAX_HEADER",
    "ITEMS_HEADER",
    "MARGINS_HEADER",
    "SUMMARY_HEADER",
    "PlotNumbers",
    "analyse",
    "axes_kind",
    "column_margins",
    "count_holes",
    "edge_sides",
    "first_run_ends",
    "item_key",
    "quantity_names",
    "write_tables",
]

# New columns go at the end: readers of the earlier tables keep their positions.
MARGINS_HEADER = ("datalog", "site", "plot", "item", "x", "y_min", "y_max", "axes", "x_unit", "y_unit", "vmin",
                  *HEADER_FIELDS)
SUMMARY_HEADER = ("datalog", "site", "plot", "item", "pass_fraction", "holes", "edge", "axes",
                  "vmin", "x_fmax", "x_unit", "y_unit", "at_x", "vmin_at_x", "at_y", "x_fmax_at_y", *HEADER_FIELDS)
FMAX_HEADER = ("datalog", "site", "plot", "item", "y", "x_fmax", "fmax", "fmax_unit", "period", "period_unit",
               "axes", "x_unit", "y_unit", *HEADER_FIELDS)
ITEMS_HEADER = ("item", "run", "at_x", "plots", "vmin_min", "vmin_median", "vmin_max", "no_vmin", "worst", "y_unit")
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


def first_run_ends(passing: np.ndarray) -> np.ndarray:
    """Per column, the row index where the unbroken run of passing points that
    starts at the column's first passing point ends; -1 for a column without a
    passing point. A point that is not a pass (a fail, an untested point) ends
    the run."""
    rows, cols = passing.shape
    if rows == 0 or cols == 0:
        return np.full(cols, -1, dtype=np.intp)
    first = passing.argmax(axis=0)
    breaks = ~passing & (np.arange(rows)[:, None] > first)
    stop = np.where(breaks.any(axis=0), breaks.argmax(axis=0), rows)
    return np.where(passing.any(axis=0), stop - 1, -1)


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
    vmin_row: np.ndarray  # row index per column, -1 where the column never passes
    fmax_column: np.ndarray  # column index per row, -1 where the row never passes
    lowest_vmin_row: int  # the plot's Vmin: the row of the lowest column Vmin, -1 where none
    highest_fmax_column: int
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

    def vmin(self) -> np.ndarray:
        """Vmin per column as float, NaN where the column never passes."""
        return np.where(self.vmin_row >= 0, self.y.values[self.vmin_row], np.nan)

    def column_at(self, value: float) -> int:
        """The swept column nearest ``value`` at or beyond it in the harder
        direction (a higher frequency, a shorter period); -1 where the sweep
        has none or its columns are indices."""
        return _nearest_beyond(self.x, value, rising=self.x.dimension != PERIOD)

    def row_at(self, value: float) -> int:
        """The swept row nearest ``value`` at or below it (the harder side of a
        supply voltage); -1 where the sweep has none or its rows are indices."""
        return _nearest_beyond(self.y, value, rising=False)


def _nearest_beyond(axis: Axis, value: float, rising: bool) -> int:
    if not axis.from_datalog or len(axis.values) == 0:
        return -1
    values = axis.values
    at = np.isclose(values, value, rtol=1e-9, atol=0.0)
    beyond = at | (values > value if rising else values < value)
    if not beyond.any():
        return -1
    return int(np.where(beyond, values if rising else -values, np.inf).argmin())


def _first_runs(plot: Any, rows: int, cols: int) -> tuple[np.ndarray, np.ndarray, int, int]:
    """(Vmin row per column, Fmax column per row, the plot's lowest-Vmin row,
    its highest-Fmax column) as printed indices, -1 for none; computed on the
    canonical grid (highest voltage on top, frequency rising to the right)."""
    oriented = orient(plot)
    passing = oriented.grid == 1
    down = first_run_ends(passing)  # canonical row per canonical column
    across = first_run_ends(passing.T)  # canonical column per canonical row
    lowest = int(down.max(initial=-1))
    highest = int(across.max(initial=-1))
    if oriented.rows_flipped:
        down = np.where(down >= 0, rows - 1 - down, -1)
        across = across[::-1]
        lowest = rows - 1 - lowest if lowest >= 0 else -1
    if oriented.columns_flipped:
        across = np.where(across >= 0, cols - 1 - across, -1)
        down = down[::-1]
        highest = cols - 1 - highest if highest >= 0 else -1
    return down, across, lowest, highest


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
    vmin_row, fmax_column, lowest, highest = _first_runs(plot, *grid.shape)
    return PlotNumbers(x, y, low, high, vmin_row, fmax_column, lowest, highest, passes, fails, holes,
                       _edges(passing))


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


# A period in one unit is a frequency in another: 10 ns is 100 MHz. (unit of
# the reciprocal, factor): reciprocal = factor / value.
_RECIPROCALS = {
    "s": ("Hz", 1.0), "ms": ("kHz", 1.0), "us": ("MHz", 1.0), "\u00b5s": ("MHz", 1.0), "\u03bcs": ("MHz", 1.0),
    "ns": ("MHz", 1e3), "ps": ("GHz", 1e3),
    "hz": ("s", 1.0), "khz": ("ms", 1.0), "mhz": ("ns", 1e3), "ghz": ("ps", 1e3),
}


def _reciprocal(value: float, unit: str) -> tuple[str, str]:
    """("100", "MHz") for 10 ns; empty texts where the unit has no known reciprocal."""
    known = _RECIPROCALS.get(unit.lower())
    if known is None or value == 0:
        return "", ""
    return f"{known[1] / value:.6g}", known[0]


def fmax_fields(x: Axis, column: int) -> tuple[str, str, str, str]:
    """(fmax, its unit, period, its unit) of a swept column: the column's value
    as printed on the side the axis measures, its reciprocal on the other where
    the unit allows; all empty for column -1 or an axis that is neither."""
    if column < 0 or x.dimension not in (FREQUENCY, PERIOD):
        return "", "", "", ""
    printed = (x.texts[column], x.unit)
    other = _reciprocal(float(x.values[column]), x.unit)
    return (*printed, *other) if x.dimension == FREQUENCY else (*other, *printed)


def write_tables(
    plots: Iterable[Any],
    out: IO[str] | None,
    summary: IO[str] | None = None,
    keep: list[tuple[Any, PlotNumbers]] | None = None,
    fmax: IO[str] | None = None,
    at_x: float | None = None,
    at_y: float | None = None,
    header_of: Callable[[Any], Mapping[str, str]] | None = None,
    each: Callable[[Any, PlotNumbers], None] | None = None,
) -> int:
    """Writes the per-column rows of every plot to ``out``, one row per plot to
    ``summary`` and the per-row Fmax rows to ``fmax`` (any may be None);
    appends (plot, numbers) to ``keep`` when given (for figures and the item
    table). ``at_x``/``at_y``: the column and row values whose Vmin and Fmax
    the summary gives; ``header_of``: the header fields of a plot's datalog
    (empty without). ``each`` is called with every (plot, numbers). Returns
    the number of plots."""
    fields = _CsvFields()
    for fh, header in ((out, MARGINS_HEADER), (summary, SUMMARY_HEADER), (fmax, FMAX_HEADER)):
        if fh is not None:
            fh.write(fields(header) + "\n")
    count = 0
    for plot in plots:
        numbers = analyse(plot)
        count += 1
        head = fields((visible(plot.datalog), plot.site, plot.plot, item_key(plot.item)))
        header_tail = "," + fields(header_cells(header_of(plot) if header_of is not None else {}))
        axes = numbers.axes
        # The numbers are digits, point, sign and exponent only: never quoted.
        y_texts = numbers.y.texts + ("",)  # row -1 reads the empty text
        x_texts = numbers.x.texts + ("",)
        units = fields((numbers.x.unit, numbers.y.unit))
        if out is not None:
            out.write("".join(
                f"{head},{x},{y_texts[lo]},{y_texts[hi]},{axes},{units},{y_texts[v]}{header_tail}\n"
                for x, lo, hi, v in zip(numbers.x.texts, numbers.y_min_row.tolist(), numbers.y_max_row.tolist(),
                                        numbers.vmin_row.tolist())
            ))
        if summary is not None:
            column = numbers.column_at(at_x) if at_x is not None else -1
            row = numbers.row_at(at_y) if at_y is not None else -1
            summary.write(head + "," + fields(
                (_fraction_text(numbers.pass_fraction), numbers.holes, ",".join(numbers.edge), axes))
                + f",{y_texts[numbers.lowest_vmin_row]},{x_texts[numbers.highest_fmax_column]},{units},"
                f"{x_texts[column]},{y_texts[numbers.vmin_row[column]] if column >= 0 else ''},"
                f"{y_texts[row]},{x_texts[numbers.fmax_column[row]] if row >= 0 else ''}{header_tail}\n")
        if fmax is not None:
            tail = fields((axes, numbers.x.unit, numbers.y.unit))
            out_rows = []
            for y, c in zip(numbers.y.texts, numbers.fmax_column.tolist()):
                out_rows.append(f"{head},{y},{x_texts[c]},{fields(fmax_fields(numbers.x, c))},{tail}{header_tail}\n")
            fmax.write("".join(out_rows))
        if keep is not None:
            keep.append((plot, numbers))
        if each is not None:
            each(plot, numbers)
    return count


def _site_name(plot: Any, several_datalogs: bool) -> str:
    return f"{plot.datalog} site {plot.site}" if several_datalogs else f"site {plot.site}"


def write_items(kept: Sequence[tuple[Any, PlotNumbers]], out: IO[str], at_x: float | None = None) -> int:
    """The cross-site table: per test item (and run of it, see ``_groups``) the
    lowest, median and highest Vmin of its plots at ``at_x`` (each plot's
    nearest swept column at or beyond it), or of each plot's own Vmin without
    ``at_x``, and the worst site: one whose plot has no Vmin there, else the
    highest Vmin. Returns the number of rows."""
    fields = _CsvFields()
    out.write(fields(ITEMS_HEADER) + "\n")
    several_datalogs = len({plot.datalog for plot, _ in kept}) > 1
    groups = _groups(kept)
    for (key, n), members in groups.items():
        points: set[str] = set()
        found: list[tuple[float, str, str]] = []  # (value, text, site)
        missing: list[str] = []
        for plot, numbers in members:
            site = _site_name(plot, several_datalogs)
            if at_x is None:
                row = numbers.lowest_vmin_row
            else:
                column = numbers.column_at(at_x)
                if column >= 0:
                    points.add(numbers.x.texts[column])
                row = int(numbers.vmin_row[column]) if column >= 0 else -1
            if row < 0:
                missing.append(site)
            else:
                found.append((float(numbers.y.values[row]), numbers.y.texts[row], site))
        low = min(found, default=None)
        high = max(found, default=None)
        median = f"{float(np.median([v for v, _, _ in found])):.6g}" if found else ""
        worst = missing or [site for value, _, site in found if high is not None and value == high[0]]
        y_units = {numbers.y.unit for _, numbers in members}
        out.write(fields((key, n + 1, ";".join(sorted(points, key=float)), len(members),
                          low[1] if low else "", median, high[1] if high else "", len(missing), "; ".join(worst),
                          ";".join(sorted(y_units)))) + "\n")
    return len(groups)


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


def _panels(kept: Sequence[tuple[Any, PlotNumbers]]) -> list[tuple[str, int, str, list[tuple[Any, PlotNumbers]]]]:
    """(item, run, sweep name, members) of each Vmin panel: the plots of one
    test item and one sweep (curves of different sweeps are never joined), an
    item's panels together; runs are counted per sweep, as in ``_groups``."""
    seen: dict[tuple[str, str, str, tuple[Any, ...]], int] = {}
    panels: dict[tuple[str, tuple[Any, ...], int], tuple[str, list[tuple[Any, PlotNumbers]]]] = {}
    names = SweepNames()
    for plot, numbers in kept:
        key, sweep = item_key(plot.item), sweep_of(plot)[0]
        pair = (plot.datalog, plot.site, key, sweep.key)
        n = seen.get(pair, 0)
        seen[pair] = n + 1
        panels.setdefault((key, sweep.key, n), (names(key, sweep), []))[1].append((plot, numbers))
    first: dict[str, int] = {}
    for key, _, _ in panels:
        first.setdefault(key, len(first))
    return [(key, n, sweep, members)
            for (key, _, n), (sweep, members) in sorted(panels.items(), key=lambda kv: first[kv[0][0]])]


def _curve_label(plot: Any, several_datalogs: bool) -> str:
    label = f"site {plot.site}"
    return f"{visible(Path(plot.datalog).name)} {label}" if several_datalogs else label


def _overlay_title(key: str, n: int, sweep: str) -> str:
    title = key + (f" (run {n + 1})" if n else "")
    return "\n".join([*textwrap.wrap(title, 52, break_on_hyphens=False), sweep])


def _tick_texts(ticks: np.ndarray) -> list[str]:
    """Tick values with as many decimals as the finest of them needs (0.70, 0.75, 0.80)."""
    for decimals in range(7):
        if np.allclose(ticks, np.round(ticks, decimals), rtol=0.0, atol=1e-9 * max(1.0, float(np.abs(ticks).max()))):
            break
    return [f"{t:.{decimals}f}" for t in ticks]


def _value_axis(ax: Any, side: str, values: np.ndarray, bins: int, ink: Any) -> list[list[tuple[float, float]]]:
    """Limits 5 % beyond the finite `values` and ticks at round values, drawn
    into `ink` without the axis's own tick machinery (``figures.draw_ticks``);
    returns the ticks' grid lines in axes coordinates."""
    from matplotlib.ticker import MaxNLocator

    from .figures import draw_ticks

    finite = values[np.isfinite(values)]
    low, high = (float(finite.min()), float(finite.max())) if finite.size else (0.0, 1.0)
    pad = 0.05 * (high - low) if high > low else max(abs(low) * 0.05, 0.05)
    low, high = low - pad, high + pad
    ticks = np.asarray(MaxNLocator(nbins=bins, steps=[1, 2, 2.5, 5, 10]).tick_values(low, high), dtype=float)
    ticks = ticks[(ticks >= low - 1e-12) & (ticks <= high + 1e-12)]
    (ax.set_xlim if side == "x" else ax.set_ylim)(low, high)
    draw_ticks(ax.figure, ax, side, _tick_texts(ticks), fontsize=7, positions=ticks, upright=False, ink=ink)
    at = ((ticks - low) / (high - low)).tolist()
    return [[(t, 0.0), (t, 1.0)] for t in at] if side == "x" else [[(0.0, t), (1.0, t)] for t in at]


_LEGEND_FONT_SIZE = 6


@dataclass(frozen=True, slots=True)
class _Curve:
    """One line of a Vmin panel and its legend entry."""

    label: str
    x: np.ndarray
    y: np.ndarray
    colour: tuple[float, float, float, float]
    width: float
    marker_size: float = 0.0  # points; 0: no markers
    style: str = "solid"


def _runs(x: np.ndarray, y: np.ndarray) -> list[np.ndarray]:
    """The curve's unbroken stretches (a column without Vmin breaks the line),
    those of two points or more, as (n, 2) arrays."""
    finite = np.isfinite(y)
    edges = np.flatnonzero(np.diff(np.concatenate([[0], finite.view(np.int8), [0]])))
    return [np.column_stack([x[a:b], y[a:b]]) for a, b in zip(edges[::2], edges[1::2]) if b - a > 1]


def _draw_curves(ax: Any, curves: Sequence[_Curve]) -> None:
    """The curves as two collections, lines then markers, each in the order
    given: a plotted line is a few objects of its own, and a page holds
    hundreds."""
    from matplotlib.collections import LineCollection, PathCollection
    from matplotlib.path import Path as Outline
    from matplotlib.transforms import IdentityTransform

    segments, colours, widths, styles = [], [], [], []
    for curve in curves:
        for run in _runs(curve.x, curve.y):
            segments.append(run)
            colours.append(curve.colour)
            widths.append(curve.width)
            styles.append(curve.style)
    ax.add_collection(LineCollection(segments, colors=colours, linewidths=widths, linestyles=styles, zorder=2),
                      autolim=False)
    marked = [c for c in curves if c.marker_size]
    finite = [np.isfinite(c.y) for c in marked]
    offsets = np.concatenate([np.column_stack([c.x[f], c.y[f]]) for c, f in zip(marked, finite)] or
                             [np.empty((0, 2))])
    sizes = np.concatenate([np.full(int(f.sum()), c.marker_size ** 2) for c, f in zip(marked, finite)] or
                           [np.empty(0)])
    fill = np.concatenate([np.tile(c.colour, (int(f.sum()), 1)) for c, f in zip(marked, finite)] or
                          [np.empty((0, 4))])
    # The unit circle scaled as pyplot scales its "o" marker: `sizes` are squared diameters in points.
    ax.add_collection(PathCollection([Outline.unit_circle()], sizes=sizes / 4, offsets=offsets,
                                     offset_transform=ax.transData, transform=IdentityTransform(), facecolors=fill,
                                     edgecolors=fill, linewidths=1.0, zorder=2.1), autolim=False)


def _draw_legend(ink: Any, curves: Sequence[_Curve]) -> None:
    """The key of the curves beside the axes' top right corner, outside the data."""
    from matplotlib.path import Path as Outline

    from .figures import label_width

    em = _LEGEND_FONT_SIZE
    if not curves:
        return
    labels = [curve.label for curve in curves]
    rows = -(0.4 * em + (np.arange(len(curves)) + 0.5) * 1.5 * em)
    corner = (1.02, 1.0)
    width = 4.0 * em + max(label_width(label, em) for label in labels)
    height = 0.8 * em + len(curves) * 1.5 * em
    frame = Outline([(0, 0), (width, 0), (width, -height), (0, -height), (0, 0)], closed=True)
    ink.shape(frame, "axes", corner, face=(1, 1, 1, 0.8), edge="0.8", width=1.0)
    circle = np.asarray(Outline.unit_circle().vertices)
    codes = Outline.unit_circle().codes
    for curve, y in zip(curves, rows.tolist()):
        ink.shape(Outline([(0.4 * em, y), (2.4 * em, y)]), "axes", corner, edge=curve.colour, width=curve.width,
                  style=curve.style)
        if curve.marker_size:
            ink.shape(Outline(circle * curve.marker_size / 2 + (1.4 * em, y), codes), "axes",
                      corner, face=curve.colour, edge=curve.colour, width=1.0)
    for label, y in zip(labels, rows.tolist()):
        ink.text([label], [corner], "axes", "left", em, shift=(3.2 * em, y))


def _panel_curves(members: Sequence[tuple[Any, PlotNumbers]], several_datalogs: bool,
                  palette: Sequence[str]) -> list[_Curve]:
    """One curve per plot, earlier sites drawn wider underneath so identical
    curves stay visible as bands, and the lowest swept row (a Vmin there means
    the real margin lies below the sweep)."""
    from matplotlib.colors import to_rgba

    curves = []
    for k, (plot, numbers) in enumerate(members):
        wider = len(members) - 1 - k
        curves.append(_Curve(_curve_label(plot, several_datalogs), numbers.x.values, numbers.vmin(),
                             to_rgba(palette[k % len(palette)], 0.85), 1.2 + 1.2 * wider, 3 + 1.2 * wider))
    first = members[0][1]
    if first.y.from_datalog:
        lowest = float(np.min(first.y.values))
        span = np.concatenate([numbers.x.values for _, numbers in members])
        curves.append(_Curve("lowest swept", np.array([span.min(), span.max()]) if span.size else np.zeros(2),
                             np.full(2, lowest), to_rgba("grey"), 1.0, style="dotted"))
    return curves


def save_overlay(path: Path, kept: Sequence[tuple[Any, PlotNumbers]], per_page: int = 24,
                 outputs: Outputs | None = None) -> list[Path]:
    """Pages of Vmin overlays, one panel per test item and sweep (titled with
    the sweep), one line per (datalog, site). Panels beyond ``per_page`` go to
    further pages named ``<stem>_2.png`` and so on. Returns the files written (with `outputs`: staged there)."""
    from matplotlib.collections import LineCollection

    from .figures import Ink, PanelPages, draw_axis_title, draw_title, lines_inches, pyplot, save_page, text_inches

    plt = pyplot()
    palette = plt.rcParams["axes.prop_cycle"].by_key()["color"]
    groups = _panels(kept)
    several_datalogs = len({plot.datalog for plot, _ in kept}) > 1
    pages = [groups[i : i + per_page] for i in range(0, len(groups), per_page)] or [[]]
    titles = [_overlay_title(key, n, sweep) for key, n, sweep, _ in groups]
    labels = [_curve_label(plot, several_datalogs) for plot, _ in kept]
    # Margins from the longest title and legend entry, the same on every page:
    # no layout pass measuring every text of every panel, and pages share figures.
    ticks = 9 / 72
    legend = text_inches(max(map(len, labels), default=12), 6) + 0.7
    inner = (text_inches(5, 7) + ticks + lines_inches(1, 8) + 0.12, lines_inches(2, 8) + ticks + 0.1, legend,
             lines_inches(max((t.count("\n") + 1 for t in titles), default=1), 7) + 0.1)
    figures = PanelPages(plt, 4, (5.4, 3.4), inner, top=0.45)
    written = []
    try:
        for page_number, page in enumerate(pages, start=1):
            fig, axes, fresh = figures.page(len(page))
            if fresh:
                fig.suptitle("Vmin per column: the lowest row value of the unbroken passing run from the top, "
                             "per site", fontsize=10, y=1 - 0.12 / fig.get_size_inches()[1], va="top")
            if not page:
                axes[0].text(0.5, 0.5, "no shmoo plot", ha="center", va="center")
                axes[0].set_axis_off()
            for ax, (key, n, sweep, members) in zip(axes, page):
                ax.set_axis_on()
                ink = Ink(fig, ax)
                curves = _panel_curves(members, several_datalogs, palette)
                _draw_curves(ax, curves)
                x, y = members[0][1].x, members[0][1].y
                grid = _value_axis(ax, "x", np.concatenate([numbers.x.values for _, numbers in members]), 6, ink)
                grid += _value_axis(ax, "y", np.concatenate([curve.y for curve in curves]).astype(float), 5, ink)
                ax.add_collection(LineCollection(grid, transform=ax.transAxes, colors="#b0b0b0", linewidths=0.8,
                                                 alpha=0.3, zorder=0.5), autolim=False)
                draw_axis_title(fig, ax, "x", x.title(x.dimension or "column") if x.from_datalog
                                else "column (index)", 8, inner[1] - lines_inches(1, 8) - 0.04, ink)
                draw_axis_title(fig, ax, "y", "Vmin " + (y.title(y.dimension or "row value") if y.from_datalog
                                                         else "row (index)"),
                                8, inner[0] - 0.6 * lines_inches(1, 8) - 0.04, ink)
                draw_title(fig, ax, _overlay_title(key, n, sweep), 7, ink=ink)
                # Beside the axes, never over a curve.
                _draw_legend(ink, curves)
                ink.flush()
            written.append(save_page(fig, path, page_number, outputs))
    finally:
        figures.close()
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
    fmax: Path | None = None
    items: Path | None = None
    lot_table: str | None = None  # what the run appended to the lot table

    @property
    def to_stdout(self) -> bool:
        """Whether a table went to standard output (the run's own lines then go to standard error)."""
        return STDOUT in (self.out, self.summary, self.fmax, self.items)


def run_margins(
    datalogs: Sequence[str | Path],
    settings_path: Path,
    sites: Sequence[str] | None,
    out: Path | None,
    summary: Path | None = None,
    figure: Path | None = None,
    fmax: Path | None = None,
    items: Path | None = None,
    at_x: float | None = None,
    at_y: float | None = None,
    lot_table: Path | None = None,
) -> MarginsRun:
    """Reads the plots of the selected sites and writes the margin tables and
    the Vmin overlay. Without any output the summary goes to standard output;
    a table named "-" goes there too, once every plot is read. Nothing is
    written when the datalogs hold no plot. With ``lot_table`` every plot's
    row is appended to the lot table in that folder."""
    from .selection import plot_source

    tables = {"--out": out, "--summary": summary, "--fmax": fmax, "--items": items}
    if lot_table is not None:
        from .lot_table import check_directory

        check_directory(lot_table, "--lot-table", "margins")
    elif not any(tables.values()) and figure is None:
        summary = tables["--summary"] = STDOUT
    # A point asked for must land in a table that reports it, not be dropped silently.
    if at_x is not None and summary is None and items is None and lot_table is None:
        raise CliError(f"--at-x {at_x:g}: its Vmin goes into the summary and the item table; give --summary or --items")
    if at_y is not None and summary is None and lot_table is None:
        raise CliError(f"--at-y {at_y:g}: its Fmax goes into the summary; give --summary")
    to_stdout = [option for option, path in tables.items() if path == STDOUT]
    if len(to_stdout) > 1:
        raise CliError(f"{' and '.join(to_stdout)} both name standard output ('-'); give files for all but one")
    if figure is not None:
        check_figure_path(figure, "--plot")
    refuse_inputs_as_outputs([("datalog", Path(p)) for p in datalogs] + [("settings file", settings_path)],
                             [(option, path) for option, path in (*tables.items(), ("--plot", figure))
                              if path != STDOUT])
    search, plots = plot_source("margins", datalogs, settings_path, sites)
    kept: list[tuple[Any, PlotNumbers]] | None = [] if figure is not None or items is not None else None
    with written_together() as outputs:
        def open_table(path: Path | None) -> IO[str] | None:
            return None if path is None else outputs.table(path)

        out_fh, summary_fh, fmax_fh, items_fh = (open_table(p) for p in (out, summary, fmax, items))
        table = None
        if lot_table is not None:
            from .lot_table import LotTable

            table = LotTable(lot_table, "margins", outputs, at_x, at_y)
        count = write_tables(plots, out_fh, summary_fh, kept, fmax_fh, at_x, at_y, search.header_of,
                             None if table is None else lambda plot, numbers: table.add(
                                 plot, search.header_of(plot), None, numbers))
        search.finish()
        if table is not None:
            table.close()
        if items_fh is not None:
            write_items(kept or [], items_fh, at_x)
        figures: tuple[Path, ...] = ()
        if figure is not None:
            warn_several_sweeps("margins", ((key, sweep) for key, _, sweep, _ in _panels(kept or [])),
                                "one Vmin panel per sweep; curves of different sweeps are not joined")
            figures = tuple(save_overlay(figure, kept or [], outputs=outputs))
    return MarginsRun(count, out, summary, figures, tuple(search.unclosed), fmax, items,
                      None if table is None else table.said())


def check_figure_path(path: Path, option: str) -> None:
    """Refuses a picture format matplotlib cannot write before any work is done."""
    from matplotlib.backend_bases import FigureCanvasBase

    supported = FigureCanvasBase.get_supported_filetypes()
    suffix = path.suffix.lower().lstrip(".")
    if suffix not in supported:
        raise CliError(f"{option} {path}: cannot write pictures of type {suffix or '(no suffix)'!r}; "
                       f"use one of {', '.join(sorted(supported))}")
