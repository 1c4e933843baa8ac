"""Plots in the kit's canonical orientation, as the network sees them.

Canonical: the highest voltage in the top row, frequency rising to the right.
What each printed axis measures comes from ``axes.plot_axes`` (the units of
the values first, the plot's heading second); the direction from the values:
rows rising in voltage are flipped, a frequency axis falling to the right is
flipped, and a period axis, a frequency axis reversed, is flipped where the
period rises to the right. An axis whose measure or direction cannot be read
stays as printed; where neither can be read the orientation is "unknown".

Points that are neither pass nor fail (an untested "?", the padding of a short
row) enter the network as ``NEUTRAL``, neither passing nor failing.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any

import numpy as np

from .axes import FREQUENCY, PERIOD, VOLTAGE, Axis, plot_axes

__all__ = ["NEUTRAL", "ORIENTATIONS", "Oriented", "network_values", "orient"]

ORIENTATIONS = ("as printed", "rows flipped", "columns flipped", "both flipped", "unknown")
NEUTRAL = 0.5


@dataclass(frozen=True, slots=True)
class Oriented:
    """A plot's grid in the canonical orientation and what was done to it."""

    grid: np.ndarray
    orientation: str

    @property
    def rows_flipped(self) -> bool:
        return self.orientation in (ORIENTATIONS[1], ORIENTATIONS[3])

    @property
    def columns_flipped(self) -> bool:
        return self.orientation in (ORIENTATIONS[2], ORIENTATIONS[3])


def _rising(axis: Axis) -> bool | None:
    """Whether the values rise from the first to the last; None where they cannot say."""
    if not axis.from_datalog or len(axis.values) < 2 or axis.values[0] == axis.values[-1]:
        return None
    return bool(axis.values[-1] > axis.values[0])


def orient(plot: Any) -> Oriented:
    """The plot's grid (1 pass, 0 fail, -1 neither) in the canonical orientation."""
    grid = np.asarray(plot.grid)
    if grid.ndim != 2 or grid.size == 0:
        return Oriented(grid, ORIENTATIONS[4])
    y, x = plot_axes(plot)
    rows_rising = _rising(y) if y.dimension == VOLTAGE else None
    cols_rising = _rising(x) if x.dimension in (FREQUENCY, PERIOD) else None
    if rows_rising is None and cols_rising is None:
        return Oriented(grid, ORIENTATIONS[4])
    flip_rows = bool(rows_rising)
    flip_cols = cols_rising is not None and cols_rising == (x.dimension == PERIOD)
    if flip_rows:
        grid = grid[::-1]
    if flip_cols:
        grid = grid[:, ::-1]
    return Oriented(grid, ORIENTATIONS[flip_rows + 2 * flip_cols])


def network_values(grid: np.ndarray) -> np.ndarray:
    """Float32 points as the network takes them: 1 pass, 0 fail, ``NEUTRAL`` neither."""
    grid = np.asarray(grid)
    return np.where(grid == 1, 1.0, np.where(grid == 0, 0.0, NEUTRAL)).astype(np.float32)
