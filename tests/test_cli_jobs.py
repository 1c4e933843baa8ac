"""`quorvane extract` reads each datalog once and records its plots there (in
worker processes with --jobs N), then joins the recordings into the workbook
the extractor would write reading the datalogs itself."""

import errno
import gzip
import json
import os
import zipfile

import pytest

from quorvane import cli, extraction, samples
from quorvane.Source import Corvantis


def plot(site, widths, symbols="P."):
    lines = ["  2001  Shmoo_VDD_vs_Freq  core_func_max", f"Site Number: {site}", "    Shmoo: VDD(V) vs Freq(MHz)"]
    for r, width in enumerate(widths):
        lines.append(f"    1.{r}0V  " + " ".join(symbols[(r + c) % len(symbols)] for c in range(width)))
    return [*lines, "    *** End of Shmoo ***", ""]


def write_log(path, body_sites, announced=None, widths=(3, 3, 3), extra=()):
    lines = ["Datalog", *[f"Site Number: {s}" for s in (announced or body_sites)], ""]
    for site in body_sites:
        lines += plot(site, widths)
    path.write_text("\n".join([*lines, *extra]) + "\n", encoding="utf-8")
    return path


@pytest.fixture
def settings(tmp_path):
    path = tmp_path / "settings.json"
    path.write_text(json.dumps(samples.settings()), encoding="utf-8")
    return path


@pytest.fixture
def logs(tmp_path):
    """Datalogs with what takes the unusual turns: a plot wider than the
    default block, a control character inside a plot, a ';' in a file name,
    a site printed with a leading zero."""
    folder = tmp_path / "logs"
    folder.mkdir()
    wide = write_log(folder / "wide.txt", ["1", "2"], widths=(25, 3, 30))
    marked = write_log(folder / "marked;lot.txt", ["1", "3"], extra=plot("1", (4, 4), "P.\x07"))
    zero = write_log(folder / "zero.txt", ["05", "2"])
    sample = samples.write_datalog(folder / "sample.txt", sites=4, items=3, seed=3)
    return [wide, marked, zero, sample]


@pytest.fixture
def read_by(monkeypatch):
    """The ids of the processes that read the datalogs of the runs that follow."""
    pids = []
    report = extraction._report_scans

    def noting(command, scans, *args):
        pids.extend(scan.reader for scan in scans)
        return report(command, scans, *args)

    monkeypatch.setattr(extraction, "_report_scans", noting)
    return pids


def archive(path):
    with zipfile.ZipFile(path) as z:
        return {n: z.read(n) for n in z.namelist() if not n.startswith("docProps/")}


def extract(tmp_path, name, argv, capsys):
    out = tmp_path / name
    code = cli.main(["extract", *map(str, argv), "--out-dir", str(out)])
    captured = capsys.readouterr()
    return code, captured, sorted(out.glob("*.xlsx"))


@pytest.mark.parametrize("extra", [[], ["--sites", "1,2;3;5;0,3"], ["--interval-columns", "40"]])
def test_recorded_runs_write_the_workbook_the_extractor_writes(tmp_path, settings, logs, capsys, monkeypatch,
                                                               read_by, extra):
    # The reference: no recordings, so the extractor reads the datalogs itself
    # (through stand-ins for the odd names and texts, put back afterwards).
    argv = [*logs, "--settings", settings, *extra]
    with monkeypatch.context() as patch:
        patch.setattr(Corvantis, "_record_plots", lambda *args: None)
        code, plain, [reference] = extract(tmp_path, "plain", [*argv, "--jobs", "1"], capsys)
    assert code == 0, plain.err

    # Recorded runs, one job and three, must carry the run on their own.
    def not_used(*args):
        raise AssertionError("the extractor read the datalogs again")

    monkeypatch.setattr(Corvantis, "_extract_into", not_used)
    monkeypatch.setattr(extraction, "WORKERS_FROM_BYTES", 0)  # workers even for these few bytes
    for jobs in ("1", "3"):
        read_by.clear()
        code, recorded, [joined] = extract(tmp_path, f"jobs{jobs}", [*argv, "--jobs", jobs], capsys)
        assert code == 0, recorded.err
        assert (os.getpid() in read_by) == (jobs == "1") and len(read_by) == len(logs)
        assert recorded.err == plain.err  # the same warnings, in the same order
        assert archive(joined) == archive(reference)


def test_a_failing_datalog_is_reported_as_in_a_one_job_run(tmp_path, settings, logs, capsys, monkeypatch):
    monkeypatch.setattr(extraction, "WORKERS_FROM_BYTES", 0)
    bad = tmp_path / "cut.txt.gz"
    bad.write_bytes(gzip.compress(b"Site Number: 1\n")[:-4])
    narrow = [*logs, "--settings", settings, "--interval-columns", "20"]
    for argv in ([*logs, bad, "--settings", settings], narrow):
        results = [extract(tmp_path, f"out{jobs}", [*argv, "--jobs", jobs], capsys) for jobs in ("1", "2")]
        (code1, one, files1), (code2, two, files2) = results
        assert code1 == code2 == 1 and files1 == files2 == []
        assert two.err == one.err and sum(": error: " in line for line in one.err.splitlines()) == 1, one.err
    assert "wider than its block" in one.err and "wide.txt" in one.err


def test_workers_start_only_for_enough_bytes(tmp_path, settings, logs, capsys, monkeypatch, read_by):
    size = sum(p.stat().st_size for p in logs)
    for threshold, in_workers in ((size + 1, False), (size, True)):
        monkeypatch.setattr(extraction, "WORKERS_FROM_BYTES", threshold)
        read_by.clear()
        code, run, _ = extract(tmp_path, f"out{threshold}", [*logs, "--settings", settings, "--jobs", "2"], capsys)
        assert code == 0, run.err
        assert (os.getpid() not in read_by) == in_workers, read_by


def test_a_pool_that_cannot_start_is_said_in_one_warning(tmp_path, settings, logs, capsys, monkeypatch):
    def no_processes(jobs):
        raise BlockingIOError(errno.EAGAIN, "Resource temporarily unavailable")

    monkeypatch.setattr(extraction, "WORKERS_FROM_BYTES", 0, raising=False)
    monkeypatch.setattr(extraction, "_pool", no_processes)
    code, run, [book] = extract(tmp_path, "out", [*logs, "--settings", settings, "--jobs", "2"], capsys)
    assert code == 0, run.err
    [said] = [line for line in run.err.splitlines() if "worker processes" in line]
    assert said.startswith("quorvane extract: warning:") and "Resource temporarily unavailable" in said


def test_a_stop_inside_a_finalizer_ends_the_run_in_one_line(python_subprocess):
    proc = python_subprocess("""
        import signal, sys
        from quorvane import cli, errors

        class Closing:
            def __del__(self):
                errors.raise_terminated(signal.SIGTERM, None)  # as if SIGTERM came while it closed

        def extract_then_stop(*args, **kwargs):
            Closing()
            return "book.xlsx"

        cli.run_extract = extract_then_stop
        sys.exit(cli.main(["extract", "x.txt"]))
    """, check=False)
    assert proc.returncode == 128 + 15 and proc.stderr == "quorvane extract: terminated by signal 15\n", proc.stderr


def test_recordings_join_only_what_they_hold(tmp_path, settings):
    keywords = Corvantis.getKeyWordFromSettingFile(samples.settings())
    lines = (write_log(tmp_path / "a.txt", ["1"]).read_text(encoding="utf-8")).splitlines(keepends=True)
    [recording] = Corvantis._record_plots(keywords, "a.txt", ["1"], lines)
    assert isinstance(recording, bytes)
    for broken in (b"", b"QVR1", recording[:-1], recording + b"\x07", b"QVR0" + recording[4:]):
        with pytest.raises(ValueError, match="not a plot recording"):
            Corvantis._save_recorded(str(tmp_path), [recording, broken], None, "--interval-columns")
    assert list(tmp_path.glob("*.xlsx")) == []
    # Not a list of lines of text: nothing recorded, the caller extracts the usual way.
    assert Corvantis._record_plots(keywords, "a.txt", ["1"], tuple(lines)) is None
    path, width = Corvantis._save_recorded(str(tmp_path), [recording, recording], None, "--interval-columns")
    assert width == 20 and path.endswith(".xlsx")


def test_one_job_reads_each_datalog_once(tmp_path, settings, capsys, opened_files):
    # A datalog still being written must give one version of itself: the
    # check that counts its plots and the workbook come from one reading.
    log = write_log(tmp_path / "live.txt", ["1", "2", "3"])
    with opened_files() as opened:
        code, run, [book] = extract(tmp_path, "out", [log, "--settings", settings], capsys)
    assert code == 0, run.err
    # One open: the one reading of its text (the up-front check only looks at
    # what the file is; the extractor used to read it once more).
    assert opened.count(str(log)) == 1, opened
