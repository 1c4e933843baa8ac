import os
import subprocess
import sys
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
