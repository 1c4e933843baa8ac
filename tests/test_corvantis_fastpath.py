"""The driver's collected-cells path against the cell-API path: the saved
workbooks must read back identically, and anything a script rebinds must
switch to the cell API."""
import random
import zipfile

import openpyxl
import openpyxl.worksheet._writer as sheet_writer
import pytest
from openpyxl.utils.exceptions import IllegalCharacterError

from quorvane.Source import Corvantis

SETTINGS = {"keyword_item": "Test Item:", "keyword_site": "Site: ", "keyword_start": "Shmoo",
            "keyword_end": "X-Axis", "keyword_pass": r"\*|P", "keyword_fail": r"#|F"}
TOKENS = ["*", "#", "P", ".", "F", "x", "*#", "=B2", "=SUM(A1:A2)", "None", "&<>", "µs", "é*", "1.2V", "'q"]
LABELS = ["1.2V", "P", ".", "=A1", "None", "L", "0.95V"]


def random_datalog(rnd, sites):
    lines = ["Program: agreement"]
    for item in range(rnd.randint(0, 6)):
        for site in rnd.sample(sites, len(sites)):
            lines.append(f"Test Item: T{item}" + rnd.choice(["", "  ", "\t"]))
            lines.append(f"Site: {site}")
            if rnd.random() < 0.3:
                lines.append(f"Pattern: pat_{item}")
            lines.append(rnd.choice(["Shmoo Plot", "  Shmoo * # x", "Shmoo"]))
            for _ in range(rnd.randint(0, 6)):
                width = rnd.choice([0, 2, 5, 9, 14])
                lines.append(" ".join([rnd.choice(LABELS)] + [rnd.choice(TOKENS) for _ in range(width)]))
                extra = rnd.random()
                if extra < 0.08:
                    lines.append("VBT error: retest X-Axis")
                elif extra < 0.14:
                    lines.append("")
                elif extra < 0.18:
                    lines.append("   ")
                elif extra < 0.2:
                    lines.append(f"Site: {rnd.choice(sites) + 1}")
            if rnd.random() < 0.9:
                lines.append("X-Axis " + " ".join(rnd.choice(["10ns", "*", "#", "=C3"]) for _ in range(5)))
    return "\n".join(lines) + rnd.choice(["\n", ""])


def read_back(path):
    wb = openpyxl.load_workbook(path)
    ws = wb["Sheet"]
    cells = {(c.row, c.column): (c.value, c.data_type, c.fill.fill_type, c.fill.start_color.rgb,
                                 c.fill.end_color.rgb)
             for row in ws.iter_rows() for c in row if c.value is not None or c.has_style}
    return wb.sheetnames, ws.dimensions, ws.max_row, ws.max_column, cells


@pytest.fixture
def run(tmp_path, monkeypatch, capsys):
    monkeypatch.chdir(tmp_path)
    written = []
    original_write = sheet_writer.write_cell

    def counting_write(*args, **kwargs):
        written.append(1)
        return original_write(*args, **kwargs)

    # Counts cells the library serialises itself: the cell-API path hands it
    # every cell, the collected path only the few that carry its fills.
    monkeypatch.setattr(sheet_writer, "write_cell", counting_write)

    def run(table, paths, label, width, faithful=False):
        written.clear()
        with monkeypatch.context() as m:
            if faithful:
                original = Corvantis.processLog
                m.setattr(Corvantis, "processLog", lambda *args: original(*args))
            path = Corvantis.getDatalogInfo(table, ";".join(paths), label, width)
        capsys.readouterr()
        return read_back(path), len(written)
    return run


def write(tmp_path, name, text, newline):
    path = tmp_path / name
    path.write_bytes(text.replace("\n", newline).encode("utf-8"))
    return str(path)


@pytest.mark.parametrize("seed", range(24))
def test_collected_and_cell_api_workbooks_agree(tmp_path, run, seed):
    rnd = random.Random(seed)
    table = Corvantis.getKeyWordFromSettingFile(SETTINGS)
    paths = []
    labels = []
    for k in range(rnd.randint(1, 3)):
        sites = rnd.sample(range(0, 6), rnd.randint(1, 4))
        paths.append(write(tmp_path, f"log{k}.txt", random_datalog(rnd, sites), rnd.choice(["\n", "\r\n"])))
        labels.append(rnd.choice(["", ",".join(map(str, sites[:2])), f"{sites[0]},"]))
    # the widest row holds 15 cells; narrower blocks are refused (below)
    width = rnd.choice([15, 16, 20])
    fast, fast_cells = run(table, paths, ";".join(labels), width)
    slow, slow_cells = run(table, paths, ";".join(labels), width, faithful=True)
    # What the library reads back (values, types, fills, dimensions) is the
    # agreement: its own archive bytes differ with and without lxml.
    assert fast == slow
    assert fast_cells <= 3
    assert slow_cells >= len(slow[-1])


@pytest.mark.parametrize("seed", range(4))
def test_narrow_blocks_are_refused_alike(tmp_path, run, seed):
    rnd = random.Random(seed)
    table = Corvantis.getKeyWordFromSettingFile(SETTINGS)
    text = random_datalog(rnd, [1, 2]) + "Test Item: w\nSite: 1\nShmoo\nL " + "* " * 14 + "\nX-Axis\n"
    path = write(tmp_path, "log.txt", text, "\n")
    errors = []
    width = rnd.choice([0, 1, 5, 14])
    for faithful in (False, True):
        with pytest.raises(ValueError, match="plot row wider than its block") as caught:
            run(table, [path], "1,2", width, faithful)
        errors.append(str(caught.value))
    assert errors[0] == errors[1]
    assert sorted(p.name for p in tmp_path.iterdir()) == ["log.txt"]


def test_empty_result_agrees(tmp_path, run):
    path = write(tmp_path, "log.txt", "nothing here\n", "\n")
    table = Corvantis.getKeyWordFromSettingFile(SETTINGS)
    fast, _ = run(table, [path], "1", 20)
    assert fast == run(table, [path], "1", 20, faithful=True)[0]
    assert fast[:2] == (["Sheet"], "A1:A1") and fast[-1] == {}


SIMPLE = "Test Item: a\nSite: 1\nShmoo\nL * # =x\nX-Axis 1\n"


def test_rebound_pattern_fill_takes_the_cell_api(tmp_path, run, monkeypatch):
    table = Corvantis.getKeyWordFromSettingFile(SETTINGS)
    path = write(tmp_path, "log.txt", SIMPLE * 3, "\n")
    fast, _ = run(table, [path], "1", 4)
    made = []
    library_fill = Corvantis.PatternFill

    def counting_fill(**kwargs):
        made.append(kwargs["start_color"])
        return library_fill(**kwargs)

    monkeypatch.setattr(Corvantis, "PatternFill", counting_fill)
    slow, slow_cells = run(table, [path], "1", 4)
    assert slow == fast
    assert made.count("00EE00") == 3 and made.count("DC143C") == 3  # one new fill per filled cell
    assert slow_cells >= len(slow[-1])


def test_rebound_process_log_is_called(tmp_path, run, monkeypatch):
    table = Corvantis.getKeyWordFromSettingFile(SETTINGS)
    path = write(tmp_path, "log.txt", SIMPLE, "\n")
    calls = []
    original = Corvantis.processLog

    def spy(*args):
        calls.append(args[1:2] + args[3:5])
        return original(*args)

    monkeypatch.setattr(Corvantis, "processLog", spy)
    run(table, [path, path], "1;1,2", 4)
    assert calls == [("1", 1, 3), ("1", 2, 3), ("2", 3, 3)]


@pytest.mark.parametrize("changes", [{"PassSymbol": 5}, {"Item": "Test Item:"}])
def test_plain_table_values_only(tmp_path, run, changes):
    # A table that is not a plain dict of plain strings still extracts the same.
    class Table(dict):
        pass
    table = Table(Corvantis.getKeyWordFromSettingFile(SETTINGS))
    table.update(changes)
    path = write(tmp_path, "log.txt", SIMPLE, "\n")
    if "PassSymbol" in changes:
        with pytest.raises(TypeError):
            run(table, [path], "1", 4)
    else:
        fast, cells = run(table, [path], "1", 4)
        assert fast == run(dict(table), [path], "1", 4)[0] and cells >= len(fast[-1])


@pytest.mark.parametrize("text, width, error", [
    ("Test Item: a\nSite: 1\nShmoo\nL\x01 * #\nX-Axis\n", 4, IllegalCharacterError),
    (SIMPLE, -3, ValueError),
])
def test_values_the_library_refuses_fail_the_same_way(tmp_path, run, text, width, error):
    table = Corvantis.getKeyWordFromSettingFile(SETTINGS)
    path = write(tmp_path, "log.txt", text, "\n")
    for faithful in (False, True):
        with pytest.raises(error):
            run(table, [path], "1", width, faithful)
    assert sorted(p.name for p in tmp_path.iterdir()) == ["log.txt"]


def test_very_long_text_is_cut_like_the_library(tmp_path, run):
    table = Corvantis.getKeyWordFromSettingFile(SETTINGS)
    long_item = "Test Item: " + "y" * 40000
    path = write(tmp_path, "log.txt", SIMPLE.replace("Test Item: a", long_item), "\n")
    fast, _ = run(table, [path], "1", 4)
    slow, _ = run(table, [path], "1", 4, faithful=True)
    assert fast == slow
    assert len(fast[-1][(3, 1)][0]) == 32767


def test_converted_token_text_is_never_checked(tmp_path, run):
    # "*\x01" becomes "P": the control character never reaches the sheet.
    table = Corvantis.getKeyWordFromSettingFile(SETTINGS)
    path = write(tmp_path, "log.txt", "Test Item: a\nSite: 1\nShmoo\nL *\x01 #\nX-Axis\n", "\n")
    fast, fast_cells = run(table, [path], "1", 4)
    slow, _ = run(table, [path], "1", 4, faithful=True)
    assert fast == slow and fast_cells <= 3
    assert fast[-1][(7, 2)][0] == "P"
