"""One record per plot: what the lot report shows and the lot table stores.

A record is a plain dict with the keys of ``RECORD_FIELDS``, built from a
plot, its datalog's header fields, its margins numbers and (where the plot
was scored) its verdict. Everything is a text, a number, a bool or a list of
those, so a record goes to JSON and to Parquet as it is.

The reference point: ``vmin`` is the plot's Vmin at ``at_x`` (the swept
column nearest it at or beyond it in the harder direction) or, without
``at_x``, the plot's overall Vmin (its lowest column Vmin, at the column named
in ``vmin_at``); ``fmax`` likewise at ``at_y`` or overall. For a period sweep
``fmax`` is the frequency of the shortest passing period where its unit
allows, and ``period`` that period.
"""

from __future__ import annotations

import os
from typing import Any, Mapping

import numpy as np

from .headers import HEADER_FIELDS, empty_header
from .margins import PlotNumbers, analyse, fmax_fields, item_key
from .symbols import LABEL_KEYS

__all__ = ["RECORD_FIELDS", "plot_record", "reference_point"]

RECORD_FIELDS = (
    "datalog", *HEADER_FIELDS, "site", "plot", "item", "item_key", "pattern", "line", "rows", "cols",
    "x_quantity", "x_unit", "x_values", "y_quantity", "y_unit", "y_values", "sweep", "points",
    "label", *(f"p_{key}" for key in LABEL_KEYS), "review", "why",
    "vmin", "vmin_at", "fmax", "fmax_unit", "period", "period_unit", "fmax_at",
    "pass_fraction", "holes",
)


def _float_or_none(text: str) -> float | None:
    try:
        return float(text)
    except ValueError:
        return None


def reference_point(numbers: PlotNumbers, at_x: float | None = None,
                    at_y: float | None = None) -> dict[str, Any]:
    """The plot's Vmin and Fmax at the reference point (see the module text):
    ``vmin`` (float or None), ``vmin_at`` (the column's printed value),
    ``fmax``, ``fmax_unit``, ``period``, ``period_unit`` (floats or None, unit
    texts) and ``fmax_at`` (the row's printed value)."""
    x, y = numbers.x, numbers.y
    if at_x is not None:
        column = numbers.column_at(at_x)
        row = int(numbers.vmin_row[column]) if column >= 0 else -1
    else:
        row = numbers.lowest_vmin_row
        columns = np.flatnonzero(numbers.vmin_row == row) if row >= 0 else np.empty(0, dtype=np.intp)
        # Of the columns that reach the lowest Vmin, the easiest one (lowest frequency, longest period).
        column = int(columns[np.argmin(x.values[columns]) if x.dimension != "period" else
                             np.argmax(x.values[columns])]) if len(columns) else -1
    if at_y is not None:
        at_row = numbers.row_at(at_y)
        fmax_column = int(numbers.fmax_column[at_row]) if at_row >= 0 else -1
    else:
        fmax_column = numbers.highest_fmax_column
        rows = np.flatnonzero(numbers.fmax_column == fmax_column) if fmax_column >= 0 else np.empty(0, np.intp)
        at_row = int(rows[np.argmax(y.values[rows])]) if len(rows) else -1  # the highest voltage that reaches it
    fmax, fmax_unit, period, period_unit = fmax_fields(x, fmax_column)
    return {
        "vmin": float(y.values[row]) if row >= 0 and y.from_datalog else None,
        "vmin_at": x.texts[column] if column >= 0 and row >= 0 else "",
        "fmax": _float_or_none(fmax), "fmax_unit": fmax_unit,
        "period": _float_or_none(period), "period_unit": period_unit,
        "fmax_at": y.texts[at_row] if at_row >= 0 and fmax_column >= 0 else "",
    }


def plot_record(plot: Any, header: Mapping[str, str] | None = None, verdict: Any = None,
                numbers: PlotNumbers | None = None, *, at_x: float | None = None,
                at_y: float | None = None) -> dict[str, Any]:
    """The record of one plot (see the module text). ``verdict`` is triage's
    (None: the plot was not scored, its label and probabilities are empty)."""
    from .extraction import visible
    from .sweeps import sweep_of

    numbers = numbers if numbers is not None else analyse(plot)
    header = header or empty_header()
    grid = np.asarray(plot.grid, dtype=np.int8)
    x, y = numbers.x, numbers.y
    probabilities = getattr(verdict, "probabilities", None)
    record: dict[str, Any] = {
        "datalog": visible(os.fsdecode(plot.datalog)),
        **{field: header.get(field, "") for field in HEADER_FIELDS},
        "site": str(plot.site), "plot": int(plot.plot), "item": str(plot.item), "item_key": item_key(plot.item),
        "pattern": plot.pattern or "", "line": int(plot.line),
        "rows": int(grid.shape[0]), "cols": int(grid.shape[1]),
        "x_quantity": x.quantity, "x_unit": x.unit, "x_values": list(x.texts),
        "y_quantity": y.quantity, "y_unit": y.unit, "y_values": list(y.texts),
        "sweep": sweep_of(plot)[0].text,
        # As printed, row by row: 1 pass, 0 fail, -1 not tested.
        "points": grid.ravel().tolist(),
        "label": verdict.label if verdict is not None else "",
        **{f"p_{key}": (float(p) if probabilities is not None else None)
           for key, p in zip(LABEL_KEYS, probabilities or [None] * len(LABEL_KEYS))},
        "review": bool(verdict.review) if verdict is not None else False,
        "why": verdict.why if verdict is not None else "",
        **reference_point(numbers, at_x, at_y),
        "pass_fraction": numbers.pass_fraction,
        "holes": numbers.holes,
    }
    return record
