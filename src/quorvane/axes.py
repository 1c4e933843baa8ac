"""Axis values of a shmoo plot: the numbers the datalog prints around the points.

Rows are labelled by their first token ("1.200V", "0.95", "900mV"); columns by
the plot's axis line ("MHz 400 450 500 ..." or "X-Axis 10ns 11ns ..."). Either
axis falls back to 1-based indices where the datalog does not give one number
per row or column, or where the numbers carry different units (900mV next to
1.1V would otherwise be compared as 900 against 1.1).

What each axis measures (supply voltage, frequency or period) and its name and
unit come from the units of the values first, then from the plot's heading
("VDD(V) vs Freq(MHz)", "X-Axis: FREQ(MHz)  Y-Axis: VDD(V)", "PERIOD(ns)",
"Tperiod"): ``plot_axes``.
"""

from __future__ import annotations

import functools
import re
from dataclasses import dataclass, replace
from typing import Any, Iterator, Sequence

import numpy as np

__all__ = ["Axis", "Quantity", "column_axis", "heading_quantities", "index_axis", "parse_number", "plot_axes",
           "row_axis", "split_axis_line", "unit_dimension"]

# A number with an optional unit glued to it: "1.200V", "-0.5", "1e3Hz", "400MHz".
_NUMBER = re.compile(r"([+-]?(?:\d+\.?\d*|\.\d+)(?:[eE][+-]?\d+)?)([^\d\s.+-][^\s]*)?")
# A unit printed on its own or in brackets: "MHz", "(ns)", "Freq(MHz)", "[V]".
_BRACKETED_UNIT = re.compile(r"[(\[]([^()\[\]\s]+)[)\]]\s*$")
_BARE_UNIT = re.compile(r"[A-Za-z%\u00b5\u03bc\u03a9]{1,4}")


@dataclass(frozen=True, slots=True)
class Axis:
    """One axis of a plot: a value per row or column.

    ``texts`` are the numbers as printed (without unit), ``values`` the same as
    floats; ``from_datalog`` is False where the axis fell back to 1-based indices.
    ``quantity`` is the axis's name ("VDD") and ``dimension`` what it measures
    ("voltage", "frequency", "period" or "" where unknown), as ``plot_axes``
    reads them.
    """

    values: np.ndarray
    texts: tuple[str, ...]
    unit: str
    from_datalog: bool
    quantity: str = ""
    dimension: str = ""

    def __post_init__(self) -> None:
        # Axes are cached and shared between plots: nobody may change one in place.
        self.values.flags.writeable = False

    @property
    def kind(self) -> str:
        return "values" if self.from_datalog else "index"

    def title(self, fallback: str) -> str:
        """A picture's axis title: "VDD (V)", ``fallback`` where the axis has
        no name ("frequency (MHz)"; the unit alone where that is empty too)."""
        name = self.quantity or fallback
        if not self.unit:
            return name
        return f"{name} ({self.unit})" if name else self.unit


def parse_number(token: str) -> tuple[str, str] | None:
    """("1.200", "V") for "1.200V"; None when the token is not a number."""
    m = _NUMBER.fullmatch(token)
    if m is None:
        return None
    return m.group(1), m.group(2) or ""


def index_axis(count: int) -> Axis:
    """1-based indices, for an axis the datalog gives no numbers for."""
    return Axis(np.arange(1, count + 1, dtype=np.float64), tuple(str(i) for i in range(1, count + 1)), "", False)


def _label_unit(token: str) -> str:
    """The unit a non-numeric axis label names, if any: "MHz", "Freq(MHz)"."""
    m = _BRACKETED_UNIT.search(token)
    if m:
        return m.group(1)
    if _BARE_UNIT.fullmatch(token):
        return token
    return ""


def _numbers_axis(tokens: Sequence[str], label_unit: str = "") -> Axis | None:
    parsed = [parse_number(t) for t in tokens]
    if not parsed or any(p is None for p in parsed):
        return None
    units = {p[1] for p in parsed if p is not None}
    if len(units) > 1:
        return None
    unit = units.pop() or label_unit
    texts = tuple(p[0] for p in parsed if p is not None)
    values = np.array([float(t) for t in texts], dtype=np.float64)
    if not np.isfinite(values).all():
        return None
    return Axis(values, texts, unit, True)


@functools.lru_cache(maxsize=4096)
def row_axis(row_labels: tuple[str, ...]) -> Axis:
    """Row values from the plot's row labels, or indices 1..rows."""
    return _numbers_axis(row_labels) or index_axis(len(row_labels))


def split_axis_line(axis: Sequence[str] | None, cols: int) -> tuple[tuple[str, ...], tuple[str, ...]] | None:
    """(the tokens standing above the row labels, one token per point column)
    of a plot's axis line, or None where the line does not fit the plot.

    The rule follows the counts: as many tokens as point columns, one stands
    above each column (a line of bare numbers, "400 450 500"); one token more,
    the first stands above the row labels (a label such as "MHz", or a number);
    more than that, the leading tokens are a label of several words ("Freq
    (MHz) 400 450 ...") and must not be numbers. Fewer tokens than columns do
    not fit.
    """
    if not axis or cols <= 0 or len(axis) < cols:
        return None
    tokens = tuple(axis)
    head, columns = tokens[: len(tokens) - cols], tokens[len(tokens) - cols :]
    if len(head) > 1 and any(parse_number(t) is not None for t in head):
        return None
    return head, columns


@functools.lru_cache(maxsize=4096)
def column_axis(axis: tuple[str, ...] | None, cols: int) -> Axis:
    """Column values from the axis line's tokens (placed by
    ``split_axis_line``), or indices 1..cols."""
    split = split_axis_line(axis, cols)
    if split is None:
        return index_axis(cols)
    head, numbers = split
    unit = ""
    for token in head:
        unit = unit or _label_unit(token)
    return _numbers_axis(numbers, unit) or index_axis(cols)


# ---------------------------------------------------------------------------
# What the axes measure

VOLTAGE, FREQUENCY, PERIOD = "voltage", "frequency", "period"
# Units by what they measure, compared without case ("MHZ", "mv").
_UNIT_DIMENSIONS = {
    **dict.fromkeys(("v", "mv", "uv", "\u00b5v", "\u03bcv", "kv"), VOLTAGE),
    **dict.fromkeys(("hz", "khz", "mhz", "ghz"), FREQUENCY),
    **dict.fromkeys(("s", "ms", "us", "\u00b5s", "\u03bcs", "ns", "ps", "fs"), PERIOD),
}
_NAME_DIMENSIONS = ((re.compile(r"period|t_?cyc|tck", re.IGNORECASE), PERIOD),
                    (re.compile(r"freq", re.IGNORECASE), FREQUENCY),
                    (re.compile(r"^v(dd|cc|io|core|supply)?\w*$|volt|supply", re.IGNORECASE), VOLTAGE))
_NAME = r"([A-Za-z][\w.\-]*)"
_UNIT = r"\s*(?:\(([^()\s]*)\)|\[([^\[\]\s]*)\])"
# "X-Axis: FREQ(MHz)", "Y-Axis = VDD (V)": the quantity of a named axis.
_NAMED_AXIS = re.compile(r"\b([XY])[-_ ]?Axis\s*[:=]?\s*" + _NAME + f"(?:{_UNIT})?", re.IGNORECASE)
# "VDD(V) vs Freq(MHz)": the row quantity first, then the column quantity.
_VERSUS = re.compile(_NAME + f"(?:{_UNIT})?" + r"\s+vs\.?\s+" + _NAME + f"(?:{_UNIT})?", re.IGNORECASE)
_WITH_UNIT = re.compile(_NAME + _UNIT)
_PERIOD_WORD = re.compile(r"\b\w*period\w*\b", re.IGNORECASE)


@dataclass(frozen=True, slots=True)
class Quantity:
    """An axis as a heading names it: "VDD" in volts, "FREQ" in MHz."""

    name: str
    unit: str
    dimension: str


def unit_dimension(unit: str) -> str:
    """"voltage", "frequency" or "period" for a unit such as "mV", "MHz", "ns"; "" for others."""
    return _UNIT_DIMENSIONS.get(unit.lower(), "")


def _name_dimension(name: str) -> str:
    return next((dimension for pattern, dimension in _NAME_DIMENSIONS if pattern.search(name)), "")


def _found(text: str) -> Iterator[tuple[str, str, str]]:
    """(name, unit, "rows"/"cols"/"" as the form places it) of every quantity a heading names."""
    for m in _NAMED_AXIS.finditer(text):
        yield m.group(2), m.group(3) or m.group(4) or "", "rows" if m.group(1) in "Yy" else "cols"
    for m in _VERSUS.finditer(text):
        yield m.group(1), m.group(2) or m.group(3) or "", "rows"
        yield m.group(4), m.group(5) or m.group(6) or "", "cols"
    for m in _WITH_UNIT.finditer(text):
        yield m.group(1), m.group(2) or m.group(3) or "", ""
    for m in _PERIOD_WORD.finditer(text):
        yield m.group(0), "", ""


@functools.lru_cache(maxsize=1024)
def heading_quantities(*texts: str | None) -> tuple[Quantity | None, Quantity | None]:
    """(row quantity, column quantity) named by the texts (the plot's heading
    first), each None where none is named. What a quantity measures decides
    its axis: voltage the rows, frequency or period the columns; by its unit
    first, its name second; a quantity that says neither stands where the
    heading's form puts it ("Y-Axis:", the first of "A vs B")."""
    found: dict[str, Quantity] = {}
    for text in texts:
        for name, unit, placed in _found(text or ""):
            dimension = unit_dimension(unit) or _name_dimension(name)
            side = {VOLTAGE: "rows", FREQUENCY: "cols", PERIOD: "cols"}.get(dimension, placed)
            if side and side not in found:
                found[side] = Quantity(name, unit, dimension)
    return found.get("rows"), found.get("cols")


def _named(axis: Axis, quantity: Quantity | None, side: str) -> Axis:
    name = quantity.name if quantity is not None else ""
    unit = axis.unit or (quantity.unit if quantity is not None and axis.from_datalog else "")
    dimension = unit_dimension(axis.unit) or (quantity.dimension if quantity is not None else "")
    if side == "rows" and dimension in (FREQUENCY, PERIOD) or side == "cols" and dimension == VOLTAGE:
        dimension = ""  # a plot printed the other way round: neither a row nor a column reading
    return replace(axis, unit=unit, quantity=name, dimension=dimension)


@functools.lru_cache(maxsize=4096)
def _plot_axes(labels: tuple[str, ...], axis: tuple[str, ...] | None, rows: int, cols: int,
               texts: tuple[str | None, ...]) -> tuple[Axis, Axis]:
    row_quantity, column_quantity = heading_quantities(*texts)
    y = _named(row_axis(labels) if len(labels) == rows else index_axis(rows), row_quantity, "rows")
    # Bare row numbers beside a frequency axis stay unread: they may be row
    # numbers rather than voltages.
    return y, _named(column_axis(axis, cols), column_quantity, "cols")


def plot_axes(plot: Any) -> tuple[Axis, Axis]:
    """(row axis, column axis) of a plot (anything with a two-dimensional
    ``grid``; ``row_labels``, ``axis``, ``heading`` and ``pattern`` where it
    has them), with each axis's quantity, unit and dimension."""
    rows, cols = np.shape(plot.grid)
    axis = getattr(plot, "axis", None)
    texts = (getattr(plot, "heading", None), getattr(plot, "pattern", None))
    return _plot_axes(tuple(getattr(plot, "row_labels", ())), tuple(axis) if axis is not None else None,
                      int(rows), int(cols), texts)
