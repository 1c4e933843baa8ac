"""`quorvane extract --jobs N`: datalogs read and scanned in worker processes,
their plots joined into one workbook that is the same as a one-job run's."""

import json
import zipfile

import pytest

from quorvane import cli, samples
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


def archive(path):
    with zipfile.ZipFile(path) as z:
        return {n: z.read(n) for n in z.namelist() if not n.startswith("docProps/")}


def extract(tmp_path, name, argv, capsys):
    out = tmp_path / name
    code = cli.main(["extract", *map(str, argv), "--out-dir", str(out)])
    captured = capsys.readouterr()
    return code, captured, sorted(out.glob("*.xlsx"))


@pytest.mark.parametrize("extra", [[], ["--sites", "1,2;3;5;0,3"], ["--interval-columns", "40"]])
def test_jobs_write_the_workbook_one_job_writes(tmp_path, settings, logs, capsys, monkeypatch, extra):
    argv = [*logs, "--settings", settings, *extra]
    code, one, [single] = extract(tmp_path, "one", [*argv, "--jobs", "1"], capsys)
    assert code == 0, one.err

    # The joined path must carry the run on its own: the one-job entry is not used.
    def not_used(*args):
        raise AssertionError("the one-job extraction ran")

    monkeypatch.setattr(Corvantis, "_extract_into", not_used)
    code, two, [joined] = extract(tmp_path, "two", [*argv, "--jobs", "3"], capsys)
    assert code == 0, two.err
    assert two.err == one.err  # the same warnings, in the same order
    assert archive(joined) == archive(single)


def test_a_failing_datalog_is_reported_as_in_a_one_job_run(tmp_path, settings, logs, capsys):
    bad = tmp_path / "latin1.txt"
    bad.write_bytes(b"Site Number: 1\n\xe9t\xe9\n")
    narrow = [*logs, "--settings", settings, "--interval-columns", "20"]
    for argv in ([*logs, bad, "--settings", settings], narrow):
        results = [extract(tmp_path, f"out{jobs}", [*argv, "--jobs", jobs], capsys) for jobs in ("1", "2")]
        (code1, one, files1), (code2, two, files2) = results
        assert code1 == code2 == 1 and files1 == files2 == []
        assert two.err == one.err and sum(": error: " in line for line in one.err.splitlines()) == 1, one.err
    assert "wider than its block" in one.err and "wide.txt" in one.err


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
