import contextlib
import importlib.util
import os
import shutil
import subprocess
import sys
import sysconfig
import textwrap

import pytest
from hypothesis import settings

# The suite draws the same inputs on every run, so a red run can be repeated
# exactly; random exploration is bench/fuzz_long.py's job (it prints seeds).
# `pytest --hypothesis-profile=explore` explores here too.
settings.register_profile("ci", derandomize=True, database=None, print_blob=True)
settings.register_profile("explore", derandomize=False, database=None, print_blob=True)
settings.load_profile("ci")


def run_python(code, cwd=None, check=True):
    """Runs `code` in a fresh interpreter (module guards are per process)."""
    env = dict(os.environ, MPLBACKEND="Agg", PYTHONWARNINGS="ignore::DeprecationWarning")
    proc = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        cwd=cwd,
        env=env,
        capture_output=True,
        text=True,
        timeout=300,
    )
    if check and proc.returncode != 0:
        raise AssertionError(f"subprocess failed ({proc.returncode}):\n{proc.stdout}\n{proc.stderr}")
    return proc


def _build_native_test_module(tmp_path_factory, name):
    import pybind11  # a build requirement, needed here only

    compiler = os.environ.get("CXX") or shutil.which("c++") or shutil.which("g++") or shutil.which("clang++")
    if not compiler or sys.platform.startswith("win"):
        pytest.skip("no C++ compiler on this machine to build the test module")
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    out = tmp_path_factory.mktemp("native") / (name + sysconfig.get_config_var("EXT_SUFFIX"))
    command = [compiler, "-std=c++20", "-O0", "-shared", "-fPIC", "-fvisibility=hidden", "-Wall", "-Wextra",
               "-I", sysconfig.get_paths()["include"], "-I", pybind11.get_include(),
               "-I", os.path.join(root, "cpp", "support"), "-I", os.path.join(root, "cpp", "Corvantis"),
               os.path.join(root, "tests", "native", name + ".cpp"), "-o", str(out), "-lz", "-pthread"]
    if sys.platform == "darwin":
        command[1:1] = ["-undefined", "dynamic_lookup"]
    build = subprocess.run(command, capture_output=True, text=True, timeout=900)
    assert build.returncode == 0, build.stderr[-3000:]
    spec = importlib.util.spec_from_file_location(name, out)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


@pytest.fixture(scope="session")
def native_test_module(tmp_path_factory):
    """Builds and imports tests/native/<name>.cpp, a test-only extension module
    compiled from the module's own sources; skips without a C++ compiler."""
    return lambda name: _build_native_test_module(tmp_path_factory, name)


@pytest.fixture
def python_subprocess():
    return run_python


def _quorvane_script():
    from pathlib import Path

    script = Path(sys.executable).with_name("quorvane")
    return [str(script)] if script.exists() else [sys.executable, "-m", "quorvane"]


def run_quorvane(*args, cwd, timeout=300, env=None):
    """Runs the installed `quorvane` command as a user does (a fresh process)."""
    full_env = dict(os.environ, MPLBACKEND="Agg", PYTHONWARNINGS="ignore::DeprecationWarning")
    full_env.update(env or {})
    return subprocess.run([*_quorvane_script(), *map(str, args)], cwd=cwd, env=full_env, capture_output=True,
                          text=True, timeout=timeout)


@pytest.fixture
def quorvane():
    return run_quorvane


@pytest.fixture
def one_error_line():
    return _one_error_line


def _one_error_line(proc, *fragments):
    """The failure is exactly one line on stderr, exit status 1, no traceback."""
    assert proc.returncode == 1, (proc.returncode, proc.stdout, proc.stderr)
    lines = proc.stderr.strip().splitlines()
    assert len(lines) == 1 and "Traceback" not in proc.stderr, proc.stderr
    assert lines[0].startswith("quorvane ") and ": error: " in lines[0], lines[0]
    for fragment in fragments:
        assert fragment in lines[0], lines[0]
    return lines[0]


class ShmooDatalog:
    """A generated datalog in the sample settings' format whose plots are
    known: ``plots`` holds (site, plot number, item line, grid, row labels,
    axis tokens, start line number) in datalog order."""

    def __init__(self, path, plots):
        self.path = path
        self.plots = plots


@pytest.fixture
def shmoo_datalog():
    """Writes a datalog: ``grids[item][site]`` is a list of rows of 1/0/None
    (pass/fail/some other symbol); rows are labelled with voltages from 1.200V
    down, columns with frequencies from 400 MHz up."""

    def write(path, grids, volt_step=0.025, axis_line=True):
        lines = ["Lot: QV-TEST", ""]
        truth = []
        numbers = {}
        for k, per_site in enumerate(grids):
            item = f"  {2001 + k}  Shmoo_VDD_vs_Freq  pattern_{k}"
            for site, grid in per_site.items():
                rows, cols = len(grid), max(len(r) for r in grid)
                labels = [f"{1.2 - volt_step * r:.3f}V" for r in range(rows)]
                axis = ["MHz"] + [str(400 + 50 * c) for c in range(cols)]
                lines += [item, f"Site Number: {site}"]
                start = len(lines) + 1
                lines.append(f"    Shmoo: VDD(V) vs Freq(MHz)  pattern pattern_{k}")
                for label, row in zip(labels, grid):
                    symbols = {1: "P", 0: ".", None: "x"}
                    lines.append(f"    {label}  " + " ".join(symbols[v] for v in row))
                if axis_line:
                    lines.append("    " + " ".join(axis))
                lines += ["", "    *** End of Shmoo ***", ""]
                numbers[site] = numbers.get(site, 0) + 1
                truth.append((str(site), numbers[site], item, grid, tuple(labels),
                              tuple(axis) if axis_line else None, start))
        path.write_text("\n".join(lines) + "\n", encoding="utf-8")
        return ShmooDatalog(path, truth)

    return write


_opened: list[str] | None = None


def _note_open(event, args):
    if event == "open" and _opened is not None:
        _opened.append(str(args[0]))


@contextlib.contextmanager
def _collecting_opens():
    global _opened
    if not getattr(_note_open, "installed", False):
        sys.addaudithook(_note_open)
        _note_open.installed = True
    _opened = []
    try:
        yield _opened
    finally:
        _opened = None


@pytest.fixture
def opened_files():
    """``with opened_files() as opened:`` collects in ``opened`` the path of
    every file this process opens within (an audit hook, installed once:
    hooks cannot be removed)."""
    return _collecting_opens


def _bench_module(name):
    """A script of bench/ imported as a module (the evaluation lot's printer, say)."""
    path = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "bench", f"{name}.py")
    spec = importlib.util.spec_from_file_location(name, path)
    module = importlib.util.module_from_spec(spec)
    sys.modules[name] = module  # its dataclasses look their module up
    spec.loader.exec_module(module)
    return module


@pytest.fixture
def bench_module():
    return _bench_module
