"""The native cell collector's own invariants, driven through a test-only
extension module built from the same sources (tests/native/grid_cells.cpp)."""

import importlib.util
import os
import shutil
import subprocess
import sys
import sysconfig

import openpyxl
import pybind11
import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SOURCE = os.path.join(ROOT, "tests", "native", "grid_cells.cpp")


@pytest.fixture(scope="module")
def grid_cells(tmp_path_factory):
    compiler = os.environ.get("CXX") or shutil.which("c++") or shutil.which("g++") or shutil.which("clang++")
    if not compiler or sys.platform.startswith("win"):
        pytest.skip("no C++ compiler on this machine to build the test module")
    out = tmp_path_factory.mktemp("native") / ("grid_cells" + sysconfig.get_config_var("EXT_SUFFIX"))
    command = [compiler, "-std=c++20", "-O0", "-shared", "-fPIC", "-fvisibility=hidden", "-Wall", "-Wextra",
               "-I", sysconfig.get_paths()["include"], "-I", pybind11.get_include(),
               "-I", os.path.join(ROOT, "cpp", "support"), "-I", os.path.join(ROOT, "cpp", "Corvantis"),
               SOURCE, "-o", str(out), "-lz", "-pthread"]
    if sys.platform == "darwin":
        command[1:1] = ["-undefined", "dynamic_lookup"]
    build = subprocess.run(command, capture_output=True, text=True, timeout=900)
    assert build.returncode == 0, build.stderr[-3000:]
    spec = importlib.util.spec_from_file_location("grid_cells", out)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


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
