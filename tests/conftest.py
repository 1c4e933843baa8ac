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
