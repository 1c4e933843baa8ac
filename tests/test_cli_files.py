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


def test_outputs_are_written_beside_and_renamed_together(tmp_path, monkeypatch):
    from quorvane import outputs

    victim = tmp_path / "victim.txt"
    victim.write_text("precious\n")
    (tmp_path / "a.csv").symlink_to(victim)
    (tmp_path / "b.csv").write_text("old b\n")
    # A link planted at the first temporary name the helper draws.
    (tmp_path / ".a.csv.planted.tmp").symlink_to(victim)
    tokens = iter(["planted", "x1", "x2", "y1", "y2"])
    monkeypatch.setattr(outputs.secrets, "token_hex", lambda _: next(tokens))
    previous = os.umask(0o027)
    try:
        monkeypatch.setattr(os, "umask", lambda _: pytest.fail("the process umask was changed"))
        with pytest.raises(RuntimeError):
            with outputs.written_together() as staged:
                staged.text(tmp_path / "a.csv").write("new a\n")
                staged.binary(tmp_path / "b.csv").write(b"new b\n")
                raise RuntimeError("stopped half-way")
        names = sorted(p.name for p in tmp_path.iterdir())
        assert names == [".a.csv.planted.tmp", "a.csv", "b.csv", "victim.txt"]
        assert (tmp_path / "b.csv").read_text() == "old b\n"

        with outputs.written_together() as staged:
            staged.text(tmp_path / "a.csv").write("new a\n")
            staged.binary(tmp_path / "b.csv").write(b"new b\n")
    finally:
        monkeypatch.undo()
        os.umask(previous)
    assert victim.read_text() == "precious\n"
    assert not (tmp_path / "a.csv").is_symlink() and (tmp_path / "a.csv").read_text() == "new a\n"
    assert (tmp_path / "b.csv").read_text() == "new b\n"
    assert sorted(p.name for p in tmp_path.iterdir()) == [".a.csv.planted.tmp", "a.csv", "b.csv", "victim.txt"]
    assert (tmp_path / "a.csv").stat().st_mode & 0o777 == 0o640


def test_export_keeps_a_labelled_csv_and_its_provenance(tmp_path, monkeypatch, capsys):
    from quorvane import cli, labelling

    monkeypatch.chdir(tmp_path)
    samples.write_samples(tmp_path, records=3, sites=2, items=2, datalogs=2, seed=1)
    first = ["export", "sample_datalog_1.txt", "--shmoo-csv", "x.csv"]
    assert cli.main(first) == 0
    labelled = (tmp_path / "x.csv").read_text().replace("UNLABELLED", "Pass")
    (tmp_path / "x.csv").write_text(labelled)
    side = (tmp_path / "x.csv.provenance.csv").read_text()
    capsys.readouterr()
    assert cli.main(first) == 1
    assert "x.csv exists" in capsys.readouterr().err

    # Stopped while writing: the labelled CSV and its own provenance stay, nothing else appears.
    def stop(*_):
        raise KeyboardInterrupt

    monkeypatch.setattr(labelling, "resize", stop)
    assert cli.main(["export", "sample_datalog_2.txt", "--shmoo-csv", "x.csv", "--force"]) == 130
    assert (tmp_path / "x.csv").read_text() == labelled and (tmp_path / "x.csv.provenance.csv").read_text() == side
    assert not [p for p in tmp_path.iterdir() if p.name.startswith(".")]
    monkeypatch.undo()

    # With --force a link at the name is replaced, never followed.
    monkeypatch.chdir(tmp_path)
    victim = tmp_path / "victim.txt"
    victim.write_text("precious\n")
    (tmp_path / "x.csv").unlink()
    (tmp_path / "x.csv").symlink_to(victim)
    assert cli.main(["export", "sample_datalog_2.txt", "--shmoo-csv", "x.csv", "--force"]) == 0
    assert victim.read_text() == "precious\n" and not (tmp_path / "x.csv").is_symlink()
    assert "sample_datalog_2.txt" in (tmp_path / "x.csv.provenance.csv").read_text()
