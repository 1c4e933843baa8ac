"""The sweep of a shmoo plot: its size and the values its rows and columns carry.

Plots of one test item are combined (composite maps, Vmin panels) only where
they share a sweep: the same number of rows and columns and the same row and
column values, as ``axes.plot_axes`` reads them (the numbers and their unit;
the printed labels where no numbers can be read). The values are compared in
the canonical orientation (``orientation.orient``), so one sweep printed with
rows rising in one datalog and falling in another is still one sweep.
"""

from __future__ import annotations

import functools
from dataclasses import dataclass
from types import SimpleNamespace
from typing import Any, Iterable, Sequence

import numpy as np

from .axes import Axis, plot_axes, split_axis_line
from .errors import warn
from .extraction import visible
from .orientation import Oriented, orient

__all__ = ["Sweep", "SweepNames", "sweep_of", "warn_several_sweeps"]


@dataclass(frozen=True, slots=True)
class Sweep:
    """``key`` compares sweeps; ``text`` names one: "11 x 11, 0.700-1.200 V, 100-300 MHz"."""

    key: tuple[Any, ...]
    text: str


def _values_key(axis: Axis, flipped: bool) -> tuple[Any, ...]:
    values = axis.values[::-1] if flipped else axis.values
    # Printed texts differ in their digits ("0.70", "0.700"); the values do not.
    return ("values", tuple(float(f"{v:.12g}") for v in values.tolist()), axis.unit)


def _range_text(axis: Axis, printed: Sequence[str], what: str) -> str:
    if axis.from_datalog and len(axis.values):
        low, high = int(np.argmin(axis.values)), int(np.argmax(axis.values))
        return f"{axis.texts[low]}-{axis.texts[high]}" + (f" {axis.unit}" if axis.unit else "")
    if printed:
        return f"{what} {printed[0]}..{printed[-1]}" if len(printed) > 1 else f"{what} {printed[0]}"
    return ""


def sweep_of(plot: Any) -> tuple[Sweep, Oriented]:
    """The plot's sweep and its grid in the canonical orientation."""
    oriented = orient(plot)
    rows, cols = np.shape(plot.grid)
    axis = getattr(plot, "axis", None)
    return _sweep(tuple(getattr(plot, "row_labels", ())), tuple(axis) if axis is not None else None, int(rows),
                  int(cols), getattr(plot, "heading", None), getattr(plot, "pattern", None), oriented.rows_flipped,
                  oriented.columns_flipped), oriented


# Plots of one sweep repeat across sites and datalogs: each sweep is read once.
@functools.lru_cache(maxsize=4096)
def _sweep(labels: tuple[str, ...], axis: tuple[str, ...] | None, rows: int, cols: int, heading: str | None,
           pattern: str | None, rows_flipped: bool, columns_flipped: bool) -> Sweep:
    y, x = plot_axes(SimpleNamespace(grid=np.empty((rows, cols)), row_labels=labels, axis=axis, heading=heading,
                                     pattern=pattern))
    split = split_axis_line(axis, cols)
    columns = split[1] if split is not None else tuple(axis or ())
    # Orientation flips only axes whose values it reads, so printed labels keep their order.
    row_key = _values_key(y, rows_flipped) if y.from_datalog else ("printed", labels)
    column_key = _values_key(x, columns_flipped) if x.from_datalog else ("printed", tuple(axis or ()))
    parts = [f"{rows} x {cols}", _range_text(y, labels, "rows"), _range_text(x, columns, "columns")]
    return Sweep((rows, cols, row_key, column_key), ", ".join(p for p in parts if p))


class SweepNames:
    """The names of one run's sweeps, per test item: two different sweeps that
    read alike (a step that differs only inside the range, values that cannot
    be turned to one orientation) get "#2", "#3", ... so that no two maps or
    panels of an item carry one name."""

    def __init__(self) -> None:
        self._names: dict[tuple[str, tuple[Any, ...]], str] = {}
        self._taken: dict[tuple[str, str], int] = {}

    def __call__(self, item: str, sweep: Sweep) -> str:
        name = self._names.get((item, sweep.key))
        if name is None:
            count = self._taken[(item, sweep.text)] = self._taken.get((item, sweep.text), 0) + 1
            name = self._names[(item, sweep.key)] = sweep.text + (f" #{count}" if count > 1 else "")
        return name


def warn_several_sweeps(command: str, item_sweeps: Iterable[tuple[str, str]], outcome: str) -> list[str]:
    """One warning line per test item that comes with more than one sweep,
    naming the item and its sweeps; ``item_sweeps`` holds (item, sweep text)
    pairs, ``outcome`` says what the run made of them. Returns the items warned about."""
    by_item: dict[str, list[str]] = {}
    for item, text in item_sweeps:
        texts = by_item.setdefault(item, [])
        if text not in texts:
            texts.append(text)
    several = [(item, texts) for item, texts in by_item.items() if len(texts) > 1]
    for item, texts in several:
        warn(command, f"test item {visible(item)!r} comes with {len(texts)} sweeps ({'; '.join(texts)}): "
                      f"{outcome}")
    return [item for item, _ in several]
