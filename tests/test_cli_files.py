"""User files are the user's: nothing overwritten or followed without being
asked, nothing half-written left behind when the command is stopped."""

import os
import signal
import subprocess
import sys
import time
from pathlib import Path

import pytest

from quorvane import samples

pytestmark = pytest.mark.skipif(sys.platform == "win32", reason="POSIX signals and links")


def start(*args, cwd):
    script = Path(sys.executable).with_name("quorvane")
    argv = [str(script)] if script.exists() else [sys.executable, "-m", "quorvane"]
    return subprocess.Popen([*argv, *map(str, args)], cwd=cwd, env=dict(os.environ, MPLBACKEND="Agg"),
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)


def wait_for(condition, proc, seconds=240):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if condition():
            return True
        if proc.poll() is not None:
            return False
        time.sleep(0.05)
    return False


def test_sigterm_during_extraction_leaves_no_partial_workbook(tmp_path):
    samples.write_settings(tmp_path / "s.json")
    big = tmp_path / "big.txt"
    big.write_text(samples.datalog_text(sites=4, items=5, seed=1) * 1500, encoding="utf-8")
    out = tmp_path / "out"
    proc = start("extract", big, "--settings", tmp_path / "s.json", "--out-dir", out, cwd=tmp_path)
    try:
        staged = wait_for(lambda: out.is_dir() and any(p.name.startswith(".") for p in out.iterdir()), proc)
        if not staged:
            pytest.skip("the extraction ended before it could be stopped")
        proc.send_signal(signal.SIGTERM)
        _, err = proc.communicate(timeout=240)
    finally:
        proc.kill()
    assert proc.returncode == 128 + signal.SIGTERM, err
    assert err.strip().splitlines()[-1] == "quorvane extract: terminated by signal 15"
    assert list(out.iterdir()) == []


def test_sighup_during_training_writes_no_model(tmp_path):
    csv_path = samples.write_shmoo_csv(tmp_path / "t.csv", count=400, seed=3)
    proc = start("train", csv_path, "-o", "m.pt", "--epochs", 500, "--verbose", cwd=tmp_path)
    try:
        line = ""
        while not line.startswith("epoch "):
            line = proc.stderr.readline()
            assert line, "training ended before its first epoch"
        proc.send_signal(signal.SIGHUP)
        proc.communicate(timeout=240)
    finally:
        proc.kill()
    assert proc.returncode == 128 + signal.SIGHUP
    assert sorted(p.name for p in tmp_path.iterdir()) == ["t.csv"]


def test_sample_never_overwrites_without_force(tmp_path, quorvane, one_error_line):
    first = quorvane("sample", "--records", 3, cwd=tmp_path)
    assert first.returncode == 0, first.stderr
    mine = tmp_path / "sample_shmoo.csv"
    mine.write_text("my own labelled plots\n")
    proc = quorvane("sample", "--records", 3, "--seed", 9, cwd=tmp_path)
    one_error_line(proc, "exists", "--force")
    assert mine.read_text() == "my own labelled plots\n"

    # A planted link at an output name is not followed, with or without --force.
    victim = tmp_path / "victim.txt"
    victim.write_text("precious\n")
    mine.unlink()
    mine.symlink_to(victim)
    one_error_line(quorvane("sample", "--records", 3, cwd=tmp_path), "sample_datalog_1.txt", "exists")
    proc = quorvane("sample", "--records", 3, "--force", "--picture", "classes", cwd=tmp_path)
    assert proc.returncode == 0, proc.stderr
    assert victim.read_text() == "precious\n"
    assert not mine.is_symlink() and mine.read_text().count("\n") == 3 * 12
    assert "picture: classes.png" in proc.stdout.splitlines()
    mode = 0o666 & ~_umask()
    assert (mine.stat().st_mode & 0o777) == mode and ((tmp_path / "classes.png").stat().st_mode & 0o777) == mode


def _umask():
    value = os.umask(0)
    os.umask(value)
    return value
