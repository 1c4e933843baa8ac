"""Axis values of a shmoo plot: the numbers the datalog prints around the points.

Rows are labelled by their first token ("1.200V", "0.95", "900mV"); columns by
the plot's axis line ("MHz 400 450 500 ..." or "X-Axis 10ns 11ns ..."). Either
axis falls back to 1-based indices where the datalog does not give one number
per row or column, or where the numbers carry different units (900mV next to
1.1V would otherwise be compared as 900 against 1.1).
"""

from __future__ import annotations

import functools
import re
from dataclasses import dataclass
from typing import Sequence

import numpy as np

__all__ = ["Axis", "column_axis", "index_axis", "parse_number", "row_axis", "split_axis_line"]

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
    """

    values: np.ndarray
    texts: tuple[str, ...]
    unit: str
    from_datalog: bool

    def __post_init__(self) -> None:
        # Axes are cached and shared between plots: nobody may change one in place.
        self.values.flags.writeable = False

    @property
    def kind(self) -> str:
        return "values" if self.from_datalog else "index"


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
