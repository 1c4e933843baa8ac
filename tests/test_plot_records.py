"""One record per plot: the reference point's Vmin and Fmax in any printing."""

import numpy as np
import pytest

from quorvane.plot_records import plot_record
from quorvane.plots import Plot

# Canonical: 1.2 V on top, 100 MHz on the left. Column 300 MHz has a stray pass at 0.9 V below a failing band.
GRID = np.array([[1, 1, 1],
                 [1, 1, 0],
                 [1, 0, 0],
                 [1, 0, 1]], dtype=np.int8)
VOLTS, MHZ = ("1.2V", "1.1V", "1.0V", "0.9V"), ("100MHz", "200MHz", "300MHz")


@pytest.mark.parametrize("flip_rows, flip_cols", [(False, False), (True, False), (False, True), (True, True)])
def test_reference_point_does_not_depend_on_the_printing(flip_rows, flip_cols):
    grid, volts, mhz = GRID, VOLTS, MHZ
    if flip_rows:
        grid, volts = grid[::-1], volts[::-1]
    if flip_cols:
        grid, mhz = grid[:, ::-1], mhz[::-1]
    plot = Plot("lot.txt", "1", 1, "2001 Shmoo", None, 7, volts, mhz, grid.copy())
    overall = plot_record(plot, {"lot": "L1"})
    assert (overall["lot"], overall["line"], overall["x_unit"], overall["y_unit"]) == ("L1", 7, "MHz", "V")
    assert (overall["vmin"], overall["vmin_at"]) == (0.9, "100")  # the lowest column Vmin, at the easiest column
    assert (overall["fmax"], overall["fmax_unit"], overall["fmax_at"]) == (300.0, "MHz", "1.2")
    at = plot_record(plot, at_x=250, at_y=1.05)  # 300 MHz: the stray pass at 0.9 V does not count
    assert (at["vmin"], at["vmin_at"], at["fmax"], at["fmax_at"]) == (1.2, "300", 100.0, "1.0")
    assert at["label"] == "" and at["p_Pass"] is None
