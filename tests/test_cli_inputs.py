"""Inputs that are not what they seem: special files, runaway expressions,
control characters, bad training data, huge records, odd but valid paths,
datalogs compressed or in other encodings, archives and binary data."""

import bz2
import gzip
import io
import json
import lzma
import os
import sys
import tarfile
import threading
import zipfile
from pathlib import Path

import openpyxl
import pytest

from quorvane import samples

SETTINGS = samples.settings()


@pytest.fixture
def sample_dir(tmp_path):
    samples.write_samples(tmp_path, records=3, sites=2, items=1, datalogs=1, seed=5)
    return tmp_path


def write_records(path, records):
    """records: (label, rows of 11 fields) pairs, written as a shmoo CSV."""
    lines = []
    for label, rows in records:
        lines.append(label + "," * 10)
        lines += [",".join(row) for row in rows]
    path.write_text("\n".join(lines) + "\n", encoding="utf-8")
    return path


def good_rows():
    return [["P"] * 11 for _ in range(11)]


@pytest.mark.skipif(not hasattr(os, "mkfifo"), reason="needs FIFOs")
@pytest.mark.parametrize("kind", ["device", "fifo", "directory"])
def test_only_regular_files_are_read(sample_dir, quorvane, one_error_line, kind):
    # /dev/zero used to fill memory, a FIFO to hang: refused before opening.
    if kind == "device":
        odd = "/dev/zero"
    elif kind == "fifo":
        odd = sample_dir / "pipe"
        os.mkfifo(odd)
    else:
        odd = sample_dir / "folder"
        odd.mkdir()
    settings = sample_dir / samples.SETTINGS_FILE_NAME
    log = sample_dir / "sample_datalog_1.txt"
    for argv in (["extract", odd, "--settings", settings], ["extract", log, "--settings", odd],
                 ["classify", "m.pt", odd], ["train", odd]):
        proc = quorvane(*argv, cwd=sample_dir, timeout=60)
        one_error_line(proc, str(odd))
        assert "not a regular file" in proc.stderr or "is a directory" in proc.stderr


def test_nested_quantifiers_are_warned_about_before_the_run(sample_dir, quorvane):
    settings = sample_dir / "nested.json"
    settings.write_text(json.dumps(dict(SETTINGS, keyword_item=r"^\s*(\d+)+\s+Shmoo_")), encoding="utf-8")
    proc = quorvane("extract", sample_dir / "sample_datalog_1.txt", "--settings", settings, cwd=sample_dir)
    assert proc.returncode == 0, proc.stderr
    [warning] = proc.stderr.splitlines()
    assert "keyword_item" in warning and "repeats a group that itself repeats" in warning
    plain = quorvane("extract", sample_dir / "sample_datalog_1.txt", "--settings",
                     sample_dir / samples.SETTINGS_FILE_NAME, cwd=sample_dir)
    assert plain.returncode == 0 and plain.stderr == ""


def test_a_header_key_without_its_group_is_one_error_line(sample_dir, quorvane, one_error_line):
    settings = sample_dir / "no_group.json"
    settings.write_text(json.dumps(dict(SETTINGS, keyword_wafer=r"Wafer:\s*\S+")), encoding="utf-8")
    proc = quorvane("margins", sample_dir / "sample_datalog_1.txt", "--settings", settings, "--summary", "s.csv",
                    cwd=sample_dir)
    one_error_line(proc, "keyword_wafer", "exactly one group")
    assert not (sample_dir / "s.csv").exists()


def test_control_characters_become_visible_marks(sample_dir, quorvane):
    text = (sample_dir / "sample_datalog_1.txt").read_text()
    # ANSI colour around a point, a bell in an item line.
    text = text.replace("    1.10V  P", "    1.10V  \x1b[32mP\x1b[0m", 1)
    text = text.replace("core_func_max\n", "core_func_max\a\n", 1)
    name = "colour\x1b[1mlog.txt"
    (sample_dir / name).write_text(text, encoding="utf-8")
    first = next(n for n, line in enumerate(text.splitlines(), 1) if "\a" in line or "\x1b" in line)
    proc = quorvane("extract", name, "--settings", samples.SETTINGS_FILE_NAME, cwd=sample_dir)
    assert proc.returncode == 0, proc.stderr
    assert "holds 3 control character(s), the first on line " + str(first) in proc.stderr
    assert "file name" in proc.stderr
    sheet = openpyxl.load_workbook(proc.stdout.split(": ", 1)[1].strip())["Sheet"]
    values = [c.value for row in sheet.iter_rows() for c in row if isinstance(c.value, str)]
    assert "\u241b[32mP\u241b[0m" in values and any("\u2407" in v for v in values)
    assert sheet.cell(row=1, column=1).value == str(sample_dir / "colour\u241b[1mlog.txt")
    # Both sites' plots are there: the workbook is complete.
    assert [sheet.cell(row=4, column=c).value for c in (1, 21)] == ["Site Number: 0\n", "Site Number: 1\n"]


def test_training_data_is_checked_before_training(tmp_path, quorvane, one_error_line):
    rows = good_rows()
    bad = [row[:] for row in rows]
    bad[3][4] = "nan"
    path = write_records(tmp_path / "nan.csv", [("Pass", rows)] * 4 + [("Pass", bad)] + [("Fail", rows)] * 110)
    one_error_line(quorvane("train", path, "-o", tmp_path / "m.pt", cwd=tmp_path),
                   "record 5 (line 53)", "'nan' in column 5")
    for text in ("inf", "1e999", ""):
        bad[3][4] = text
        write_records(path, [("Pass", rows)] + [("Pass", bad)] + [("Fail", rows)] * 110)
        one_error_line(quorvane("train", path, "-o", tmp_path / "m.pt", cwd=tmp_path), "record 2 (line 17)")

    words = [("Pas", rows), ("Pass-Vol", rows), ("Pas-Hole", rows), ("Fial", rows)] + [("Pass", rows)] * 110
    path = write_records(tmp_path / "words.csv", words)
    line = one_error_line(quorvane("train", path, "-o", tmp_path / "m.pt", cwd=tmp_path),
                          "'Pas' (records 1, 3)", "'Fial' (record 4)")
    assert line.count("'Pas'") == 1
    assert not (tmp_path / "m.pt").exists()


def test_a_loss_that_turns_nan_stops_training(tmp_path, quorvane, one_error_line):
    csv_path = samples.write_shmoo_csv(tmp_path / "t.csv", count=120, seed=1)
    proc = quorvane("train", csv_path, "-o", "m.pt", "--epochs", 2, "--lr", "1e30", "--batch-size", 16, cwd=tmp_path)
    one_error_line(proc, "loss became nan", "no model written", "--lr")
    assert sorted(p.name for p in tmp_path.iterdir()) == ["t.csv"]


def test_a_malformed_record_is_named(tmp_path, quorvane):
    rows = good_rows()
    broken = [row[:] for row in rows]
    broken[6][2] = "oops"
    path = write_records(tmp_path / "c.csv", [("Pass", rows), ("Fail", rows), ("Pass", broken), ("Pass", rows)])
    model = tmp_path / "m.pt"
    proc = quorvane("train", samples.write_shmoo_csv(tmp_path / "t.csv", count=104, seed=4), "-o", model,
                    "--epochs", 0, cwd=tmp_path)
    assert proc.returncode == 0, proc.stderr
    proc = quorvane("classify", model, path, cwd=tmp_path)
    assert proc.returncode == 0, proc.stderr
    assert ("read 2 of 4 records" in proc.stderr and "record 3 (line 25)" in proc.stderr
            and "'oops' on line 32" in proc.stderr)


def test_huge_records_and_grids_are_bounded(tmp_path, quorvane, one_error_line):
    wide = tmp_path / "wide.csv"
    wide.write_text(("Pass" + "," * 1500 + "\n") + ((",".join(["P"] * 1501) + "\n") * 11), encoding="utf-8")
    one_error_line(quorvane("classify", "m.pt", wide, cwd=tmp_path), "1501 fields", "wider than 1000")
    one_error_line(quorvane("train", wide, cwd=tmp_path), "wider than 1000")
    proc = quorvane("classify", "m.pt", wide, "--grid", "g.png", "--grid-limit", 3000, cwd=tmp_path)
    assert proc.returncode == 2 and "at most 240" in proc.stderr


def test_settings_with_a_byte_order_mark_and_paths_with_semicolons(sample_dir, quorvane):
    settings = sample_dir / "bom.json"
    settings.write_bytes(b"\xef\xbb\xbf" + json.dumps(SETTINGS).encode())
    odd = sample_dir / "lot;A"
    odd.mkdir()
    log = odd / "wafer;7.txt"
    log.write_text((sample_dir / "sample_datalog_1.txt").read_text(), encoding="utf-8")
    proc = quorvane("extract", log, sample_dir / "sample_datalog_1.txt", "--settings", settings, cwd=sample_dir)
    assert proc.returncode == 0, proc.stderr
    sheet = openpyxl.load_workbook(proc.stdout.split(": ", 1)[1].strip())["Sheet"]
    assert sheet.cell(row=1, column=1).value == str(log)
    assert sheet.cell(row=1, column=41).value == str(sample_dir / "sample_datalog_1.txt")
    assert sheet.cell(row=4, column=1).value == "Site Number: 0\n"
    assert not [p for p in sample_dir.iterdir() if p.name.startswith(".")]


@pytest.mark.skipif(sys.platform != "linux", reason="POSIX paths")
def test_train_refuses_to_write_over_its_own_input(tmp_path, quorvane, one_error_line):
    csv_path = samples.write_shmoo_csv(tmp_path / "t.csv", count=104, seed=4)
    before = csv_path.read_bytes()
    one_error_line(quorvane("train", csv_path, "-o", csv_path, cwd=tmp_path), "is the training CSV")
    one_error_line(quorvane("train", csv_path, "-o", "./sub/../t.csv", cwd=tmp_path), "is the training CSV")
    assert csv_path.read_bytes() == before


@pytest.mark.parametrize("argv, fragment", [
    (["margins", "a.txt", "--out", "a.txt"], "--out a.txt is the datalog a.txt; give another name"),
    (["margins", "a.txt", "--out", "hard.txt"], "--out hard.txt is the datalog a.txt"),
    (["margins", "a.txt", "--out", "x.csv", "--summary", "./x.csv"], "are the same file; give two names"),
    (["margins", "a.txt", "--summary", samples.SETTINGS_FILE_NAME], "is the settings file"),
    (["export", "a.txt", "--shmoo-csv", "link.txt"], "--shmoo-csv link.txt is the datalog a.txt"),
    (["export", "o.csv.provenance.csv", "--shmoo-csv", "o.csv"], "provenance file o.csv.provenance.csv is the datalog"),
    (["triage", "m.pt", "a.txt", "--out", "m.pt"], "--out m.pt is the model file m.pt"),
    (["classify", "m.pt", "c.csv", "--out", "p.png", "--grid", "p.png"], "--out p.png and --grid p.png are the same"),
])
def test_an_output_that_names_an_input_is_refused(sample_dir, monkeypatch, capsys, argv, fragment):
    from quorvane import cli

    monkeypatch.chdir(sample_dir)
    os.rename(sample_dir / "sample_datalog_1.txt", "a.txt")
    os.link("a.txt", "hard.txt")
    os.symlink("a.txt", "link.txt")
    (sample_dir / "o.csv.provenance.csv").write_bytes((sample_dir / "a.txt").read_bytes())
    (sample_dir / "m.pt").write_bytes(b"model")
    (sample_dir / "c.csv").write_bytes(b"P\n")
    before = {p.name: p.read_bytes() for p in sample_dir.iterdir()}
    assert cli.main(argv) == 1
    err = capsys.readouterr().err
    assert err.count("\n") == 1 and fragment in err, err
    assert {p.name: p.read_bytes() for p in sample_dir.iterdir()} == before


# -- datalogs in other encodings, compressed, or not datalogs at all ----------------------------------------------


def _datalog_text():
    # Micro and degree signs on a noise line (line 2) and in the item and heading lines of plots.
    text = samples.datalog_text(sites=2, items=2, seed=5)
    return text.replace("Datalog", "Datalog µ 25°C", 1).replace("core_func_max", "core_func_max_25°C")


def _outputs(capsys, monkeypatch, run, extra):
    """The workbooks of `extract` (from its recordings and from the extractor's
    own reading of the file), the `margins` table and what went to standard
    error, for ./lot.txt."""
    from quorvane import cli
    from quorvane.Source import Corvantis

    got, errors = [], ""
    for recorded in (True, False):
        with monkeypatch.context() as patch:
            if not recorded:
                patch.setattr(Corvantis, "_record_plots", lambda *args: None)
            assert cli.main(["extract", "lot.txt", "--out-dir", f"{run}{recorded}", *extra]) == 0
        [book] = Path(f"{run}{recorded}").glob("*.xlsx")
        with zipfile.ZipFile(book) as z:
            got.append({n: z.read(n) for n in z.namelist() if not n.startswith("docProps/")})
        errors += capsys.readouterr().err
    assert cli.main(["margins", "lot.txt", "--out", f"{run}.csv", *extra]) == 0
    got.append(Path(f"{run}.csv").read_bytes())
    return got, errors + capsys.readouterr().err


@pytest.mark.parametrize("encoding, compress, extra, warned", [
    pytest.param("latin-1", None, [], True, id="latin-1"),
    pytest.param("utf-8", gzip.compress, [], False, id="gzip"),
    pytest.param("utf-8", bz2.compress, [], False, id="bzip2"),
    pytest.param("utf-8", lzma.compress, [], False, id="xz"),
    pytest.param("latin-1", gzip.compress, [], True, id="latin-1-gzip"),
    pytest.param("latin-1", None, ["--encoding", "latin-1"], False, id="latin-1-forced"),
    pytest.param("utf-16", lzma.compress, ["--encoding", "utf-16"], False, id="utf-16-xz-forced"),
])
def test_a_datalog_reads_as_its_utf8_twin(tmp_path, monkeypatch, capsys, encoding, compress, extra, warned):
    # Recognised by its first bytes, not by its name: every form is ./lot.txt.
    monkeypatch.chdir(tmp_path)
    samples.write_settings(tmp_path / samples.SETTINGS_FILE_NAME)
    text = _datalog_text()
    (tmp_path / "lot.txt").write_bytes(text.encode("utf-8"))
    twin, quiet = _outputs(capsys, monkeypatch, "utf8", [])
    data = text.encode(encoding)
    (tmp_path / "lot.txt").write_bytes(compress(data) if compress else data)
    got, errors = _outputs(capsys, monkeypatch, "other", extra)
    assert got == twin and quiet == ""
    lines = errors.splitlines()
    assert len(lines) == 3 * warned, errors  # one warning per run
    assert all(": warning: " in line and "lot.txt is not UTF-8 text (line 2 " in line for line in lines)


def _tar(compression):
    archive = io.BytesIO()
    with tarfile.open(fileobj=archive, mode=f"w:{compression}") as tar:
        folder_inside = tarfile.TarInfo("logs")
        folder_inside.type = tarfile.DIRTYPE
        tar.addfile(folder_inside)
    return archive.getvalue()


def _damaged(data):
    middle = len(data) // 2
    return data[:middle] + bytes(b ^ 0x55 for b in data[middle:middle + 64]) + data[middle + 64:]


_TEXT = _datalog_text().encode("utf-8")
_COMPRESSIONS = ((gzip.compress, "gzip"), (bz2.compress, "bzip2"), (lzma.compress, "xz"))


@pytest.mark.parametrize("data, extra, fragment", [
    *(pytest.param(compress(_TEXT)[:len(compress(_TEXT)) // 2], [],
                   f"({name}-compressed) ends inside its {name} data", id=f"{name}-cut-short")
      for compress, name in _COMPRESSIONS),
    *(pytest.param(compress(bytes(range(256)) * 64), [], f"({name}-compressed) holds binary data",
                   id=f"{name}-binary") for compress, name in _COMPRESSIONS),
    *(pytest.param(_damaged(compress(_TEXT)), [], f"its {name} data is damaged", id=f"{name}-damaged")
      for compress, name in _COMPRESSIONS),
    pytest.param(_tar(""), [], "lot.gz is a tar archive; archives are not read", id="tar"),
    pytest.param(_tar("gz"), [], "lot.gz (gzip-compressed) is a tar archive", id="tar-gzip"),
    pytest.param(gzip.compress(b"\0" * (4 * 1024 * 1024 + 1)), [], "line 1 is longer than", id="gzip-no-line-end"),
    pytest.param(_TEXT.decode().encode("latin-1"), ["--encoding", "utf-8"], "lot.gz is not utf-8 text (line 2)",
                 id="forced-codec"),
    pytest.param(_TEXT, ["--encoding", "no-such-codec"], "--encoding: unknown encoding 'no-such-codec'",
                 id="unknown-codec"),
])
def test_bad_datalogs_are_one_error_line(tmp_path, capsys, data, extra, fragment):
    from quorvane import cli

    settings = samples.write_settings(tmp_path / "settings.json")
    (tmp_path / "lot.gz").write_bytes(data)
    for command, output in (("extract", ["--out-dir", tmp_path / "out"]), ("margins", ["--out", tmp_path / "out"])):
        code = cli.main([command, str(tmp_path / "lot.gz"), "--settings", str(settings), *map(str, output), *extra])
        [line] = capsys.readouterr().err.splitlines()
        assert code == 1 and line.startswith(f"quorvane {command}: error: ") and fragment in line, line
        assert not (tmp_path / "out").exists()
    assert not [t for t in threading.enumerate() if t.name == "quorvane-decompress"]  # no reading left running
