"""Bad inputs to the datalog module, interrupted saves and calls from several
threads: each bad input ends in a Python exception with nothing but complete
workbooks left in the working directory."""

import os
import re
import threading
import zipfile
from decimal import Decimal
from fractions import Fraction

import openpyxl
import pytest

from quorvane.Source import Corvantis

SETTINGS = {"keyword_item": "Test Item:", "keyword_site": "Site: ", "keyword_start": "Shmoo",
            "keyword_end": "X-Axis", "keyword_pass": r"\*", "keyword_fail": "#"}
LOG = "Test Item: a\nSite: 1\nShmoo Plot\n1.2V * # *\n1.1V # # *\nX-Axis 1 2 3\n"


def table(**changes):
    t = Corvantis.getKeyWordFromSettingFile(SETTINGS)
    t.update(changes)
    return t


@pytest.fixture
def here(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    return tmp_path


def write(directory, name, content):
    path = directory / name
    path.write_bytes(content if isinstance(content, bytes) else content.encode())
    return str(path)


def cells(path):
    ws = openpyxl.load_workbook(path)["Sheet"]
    return {(c.row, c.column): (c.value, c.fill.start_color.rgb if c.fill.fill_type else None)
            for row in ws.iter_rows() for c in row if c.value is not None}


def run_both(t, paths, label, width):
    """getDatalogInfo as scripts call it, and with processLog rebound (every
    cell through the workbook library): results or exceptions side by side."""
    results = []
    original = Corvantis.processLog
    for faithful in (False, True):
        if faithful:
            Corvantis.processLog = lambda *args: original(*args)
        try:
            results.append(("saved", cells(Corvantis.getDatalogInfo(t, paths, label, width))))
        except Exception as e:
            results.append(("raised", type(e), str(e)))
        finally:
            Corvantis.processLog = original
    return results


def left_behind(directory):
    return sorted(name for name in os.listdir(directory) if not name.endswith(".txt"))


# --- files ---------------------------------------------------------------------------


@pytest.mark.parametrize("content, sites, error", [
    (None, None, FileNotFoundError),
    ("dir", None, IsADirectoryError),
    (b"", "", None),
    (b"\x00" * 100, "", None),
    (bytes(range(256)), None, UnicodeDecodeError),
    (LOG.encode() + "Site: 2 \xe9t\xe9\n".encode("latin-1"), None, UnicodeDecodeError),
    ("Test Item: é\nSite: 1\n".encode("utf-16"), None, UnicodeDecodeError),
])
def test_unusable_datalogs(here, capsys, content, sites, error):
    if content is None:
        path = str(here / "missing.txt")
    elif content == "dir":
        os.mkdir(here / "log.txt")
        path = str(here / "log.txt")
    else:
        path = write(here, "log.txt", content)
    if error:
        with pytest.raises(error):
            Corvantis.getAllSiteNums(path, table())
        with pytest.raises(error):
            Corvantis.processLog(path, "1", openpyxl.Workbook(), 1, 1, table())
        for label in ("", "1"):
            with pytest.raises(error):
                Corvantis.getDatalogInfo(table(), path, label, 20)
        assert left_behind(here) == []
    else:
        assert Corvantis.getAllSiteNums(path, table()) == sites
        saved = Corvantis.getDatalogInfo(table(), path, "", 20)
        assert cells(saved) == {} and left_behind(here) == [os.path.basename(saved)]
    # with an empty label the enumeration fails before the count is printed
    assert capsys.readouterr().out == "totalsiteCnt= 1\n"


def test_non_utf8_line_after_a_complete_plot_writes_nothing(here):
    path = write(here, "log.txt", LOG.encode() + b"Test Item: \xff\n")
    wb = openpyxl.Workbook()
    with pytest.raises(UnicodeDecodeError):
        Corvantis.processLog(path, "1", wb, 1, 1, table())
    assert wb["Sheet"]._cells == {}  # the whole file is read before any cell is written
    with pytest.raises(UnicodeDecodeError):
        Corvantis.getDatalogInfo(table(), path, "1", 20)
    assert left_behind(here) == []


# --- settings and keyword tables -------------------------------------------------------


@pytest.mark.parametrize("missing", list(SETTINGS))
def test_each_missing_setting_is_named(missing):
    partial = {k: v for k, v in SETTINGS.items() if k != missing}
    with pytest.raises(KeyError) as info:
        Corvantis.getKeyWordFromSettingFile(partial)
    assert info.value.args == (missing,)


@pytest.mark.parametrize("config, error", [
    (None, TypeError), (["keyword_item"], TypeError), ("keyword_item", TypeError), (42, TypeError),
])
def test_settings_that_are_not_mappings(config, error):
    with pytest.raises(error):
        Corvantis.getKeyWordFromSettingFile(config)


@pytest.mark.parametrize("key, value, error", [
    ("SiteNum", 5, TypeError),
    ("SiteNum", None, TypeError),
    ("PlotStart", 5, TypeError),
    ("PlotEnd", b"X-Axis", TypeError),
    ("Item", 5, TypeError),
    ("PassSymbol", ["*"], TypeError),
    ("RowOffset", "one", ValueError),
    ("RowOffset", None, TypeError),
    ("Item", "(", re.error),
    ("Item", "a{1,0}", re.error),
    ("PassSymbol", "[", re.error),
    ("FailSymbol", "(?P<x>", re.error),
    ("FailSymbol", "*", re.error),
])
def test_bad_table_values_raise_the_same_error_on_both_paths(here, key, value, error):
    path = write(here, "log.txt", LOG)
    both = run_both(table(**{key: value}), path, "1", 20)
    assert both[0] == both[1]
    assert both[0][:2] == ("raised", error) or issubclass(both[0][1], error)
    assert left_behind(here) == []


def test_compiled_patterns_work_like_their_texts(here):
    path = write(here, "log.txt", LOG)
    texts = run_both(table(), path, "1", 20)
    compiled = run_both(table(Item=re.compile("Test Item:"), PassSymbol=re.compile(r"\*"),
                              FailSymbol=re.compile("#")), path, "1", 20)
    assert texts == compiled and texts[0] == texts[1] and texts[0][0] == "saved"


@pytest.mark.parametrize("pattern", [r"(?i)\*", r"\*|#", r"[*]", r"(?=\*)", r".", r"\S", r"(\*)\1?", r"", r"^\*$"])
def test_regular_expressions_with_special_characters_agree(here, pattern):
    path = write(here, "log.txt", LOG + LOG.replace("*", "*#").replace("1.2V", "é?"))
    both = run_both(table(PassSymbol=pattern), path, "1", 7)
    assert both[0] == both[1] and both[0][0] == "saved"


# --- interval_columns -------------------------------------------------------------------


def numpy_numbers():
    try:  # absent where only the datalog module's own dependencies are installed
        import numpy as np
    except ImportError:
        return []
    return [(np.int64(5), 5), (np.float32(3.5), 3)]


@pytest.mark.parametrize("width, used", [
    (20, 20), (20.9, 20), (-0.5, 0), (True, 1), (Decimal("7.9"), 7), (Fraction(9, 2), 4), *numpy_numbers(),
])
def test_interval_columns_numbers(here, width, used):
    path = write(here, "log.txt", LOG)
    got = run_both(table(), path, "1", width)
    assert got == run_both(table(), path, "1", used)
    assert got[0] == got[1]


@pytest.mark.parametrize("width, error, message", [
    ("20", TypeError, "Argument 'interval_columns' has incorrect type (expected int, got str)"),
    (None, TypeError, "Argument 'interval_columns' has incorrect type (expected int, got NoneType)"),
    ([20], TypeError, "Argument 'interval_columns' has incorrect type (expected int, got list)"),
    (b"20", TypeError, "Argument 'interval_columns' has incorrect type (expected int, got bytes)"),
    (float("nan"), ValueError, "cannot convert float NaN to integer"),
    (float("inf"), OverflowError, "cannot convert float infinity to integer"),
    (1 + 2j, TypeError, None),
])
def test_interval_columns_refused(here, capsys, width, error, message):
    path = write(here, "log.txt", LOG)
    with pytest.raises(error) as info:
        Corvantis.getDatalogInfo(table(), path, "1", width)
    if message:
        assert str(info.value) == message
    assert capsys.readouterr().out == "" and left_behind(here) == []


@pytest.mark.parametrize("width", [2**31, 2**63, 2**64 + 3, 10**30, -(2**63), -(2**31) - 1, 20000])
def test_interval_columns_beyond_the_sheet(here, width):
    # Huge widths put cells past the last column: the workbook library's
    # error on both paths, no wrapped arithmetic, no file.
    path = write(here, "log.txt", LOG)
    both = run_both(table(), path, "1", width)
    assert both[0] == both[1] and both[0][0] == "raised"
    assert left_behind(here) == []


@pytest.mark.parametrize("site_cnt, total", [(2**62, 1), (1, 2**62), (2**70, 2**70), (2**59, 2**3)])
def test_process_log_huge_counts_are_not_wrapped(tmp_path, site_cnt, total):
    # The library checks columns only when saving; until then the cells sit
    # at the exact coordinates integer arithmetic gives.
    path = write(tmp_path, "log.txt", LOG)
    wb = openpyxl.Workbook()
    Corvantis.processLog(path, "1", wb, site_cnt, total, table(), 20)
    block, summary = (site_cnt - 1) * 20, total * 20
    got = {key: cell.value for key, cell in wb["Sheet"]._cells.items()}
    assert got[(1, block + 1)] == path
    # rows 3-5 item info, 6 the start line's tokens, 7-8 the points, 9 the end line
    assert got[(7, block + 2)] == "P" and got[(7, summary + 2)] == "P" and got[(7, summary + 1)] == "1.2V"
    assert got[(8, block + 2)] == "." and got[(9, summary + 4)] == "3"
    assert len(got) == 1 + 3 * 2 + (2 + 4 + 4 + 4) * 2


@pytest.mark.parametrize("site_cnt, total", [(-(2**62), 3), (0, 1)])
def test_process_log_columns_before_the_first(tmp_path, site_cnt, total):
    with pytest.raises(ValueError):
        Corvantis.processLog(write(tmp_path, "log.txt", LOG), "1", openpyxl.Workbook(), site_cnt, total, table(), 20)


def test_workbook_without_sheet_is_a_key_error_and_untouched(tmp_path):
    path = write(tmp_path, "log.txt", LOG)
    wb = openpyxl.Workbook()
    wb.active.title = "Other"
    with pytest.raises(KeyError):
        Corvantis.processLog(path, "1", wb, 1, 1, table())
    assert wb.sheetnames == ["Other"] and wb["Other"].max_row == 1 and wb["Other"]["A1"].value is None


# --- saving ----------------------------------------------------------------------------


@pytest.mark.parametrize("faithful", [False, True])
@pytest.mark.parametrize("interrupt", [KeyboardInterrupt, OSError, MemoryError])
def test_interrupted_save_leaves_no_file(here, monkeypatch, faithful, interrupt):
    path = write(here, "log.txt", LOG * 3)
    original = zipfile.ZipFile.writestr
    seen = []

    def failing(self, name, *args, **kwargs):
        seen.append(name)
        if len(seen) == 3:  # part-way through the archive
            raise interrupt("interrupted")
        return original(self, name, *args, **kwargs)

    monkeypatch.setattr(zipfile.ZipFile, "writestr", failing)
    if faithful:
        process = Corvantis.processLog
        monkeypatch.setattr(Corvantis, "processLog", lambda *args: process(*args))
    with pytest.raises(interrupt):
        Corvantis.getDatalogInfo(table(), path, "1", 20)
    assert len(seen) >= 3 and left_behind(here) == []


def test_vanished_working_directory_is_an_error_not_a_crash(tmp_path, monkeypatch):
    path = write(tmp_path, "log.txt", LOG)
    gone = tmp_path / "gone"
    gone.mkdir()
    monkeypatch.chdir(gone)
    gone.rmdir()
    with pytest.raises(FileNotFoundError):
        Corvantis.getDatalogInfo(table(), path, "1", 20)


def test_read_only_directory_is_an_error(tmp_path, monkeypatch):
    path = write(tmp_path, "log.txt", LOG)
    monkeypatch.setattr(Corvantis.os, "getcwd", lambda: str(tmp_path / "no" / "such" / "dir"))
    with pytest.raises(FileNotFoundError):
        Corvantis.getDatalogInfo(table(), path, "1", 20)
    assert left_behind(tmp_path) == []


# --- threads -------------------------------------------------------------------------------


def test_drivers_on_several_threads_save_every_workbook(here):
    # Same second, same directory: every run keeps its own complete file.
    logs = [write(here, f"log{i}.txt", LOG.replace("1.2V", f"row{i}")) for i in range(4)]
    expected = [cells(Corvantis.getDatalogInfo(table(), log, "1", 20)) for log in logs]
    for name in left_behind(here):
        os.remove(here / name)
    saved, errors = [], []
    barrier = threading.Barrier(4)

    def work(i):
        try:
            barrier.wait()
            for round_ in range(6):
                faithful = round_ % 2 == 1
                t = table()
                if faithful:  # a dict subclass as the table, on alternate rounds
                    t = type("Table", (dict,), {})(t)
                saved.append((i, Corvantis.getDatalogInfo(t, logs[i], "1", 20)))
        except BaseException as e:  # reported on the test's thread
            errors.append(e)

    threads = [threading.Thread(target=work, args=(i,)) for i in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=300)
    assert not errors and len(saved) == 24
    assert len({path for _, path in saved}) == 24
    assert sorted(left_behind(here)) == sorted(os.path.basename(p) for _, p in saved)
    for i, path in saved:
        assert cells(path) == expected[i]


def test_process_log_on_several_threads_into_separate_workbooks(tmp_path):
    path = write(tmp_path, "log.txt", LOG * 20)
    reference = openpyxl.Workbook()
    Corvantis.processLog(path, "1", reference, 2, 3, table(), 6)
    want = [[c.value for c in row] for row in reference["Sheet"].iter_rows()]
    errors = []

    def work():
        try:
            for _ in range(10):
                wb = openpyxl.Workbook()
                Corvantis.processLog(path, "1", wb, 2, 3, table(), 6)
                assert [[c.value for c in row] for row in wb["Sheet"].iter_rows()] == want
                assert Corvantis.getAllSiteNums(path, table()) == "1"
        except BaseException as e:
            errors.append(e)

    threads = [threading.Thread(target=work) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=300)
    assert not errors
