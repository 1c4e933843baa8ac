"""The native cell collector's own invariants, driven through a test-only
extension module built from the same sources (tests/native/grid_cells.cpp)."""

import openpyxl
import pytest


@pytest.fixture(scope="module")
def grid_cells(native_test_module):
    return native_test_module("grid_cells")


def test_a_cell_without_text_is_an_internal_error_not_a_passing_point(grid_cells, tmp_path):
    # A filled cell that never got its text must not read as "P" (text id 0).
    with pytest.raises(RuntimeError, match="internal error"):
        grid_cells.fill_then_merge()
    target = tmp_path / "bad.xlsx"
    with pytest.raises(RuntimeError, match="internal error"):
        grid_cells.fill_then_save(str(target))

    good = tmp_path / "good.xlsx"
    grid_cells.set_then_save(str(good))
    cell = openpyxl.load_workbook(good)["Sheet"]["C2"]
    assert cell.value == "P" and cell.fill.start_color.rgb.endswith("00EE00")
