import os
import subprocess
import sys
import textwrap

import pytest


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
