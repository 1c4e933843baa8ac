"""Keyword table, site enumeration, plot extraction into a workbook and the
driver that saves it."""
import os
import random
import re
import types

import openpyxl
import pytest

from quorvane.Source import Corvantis

SETTINGS = {"keyword_item": "Test Item:", "keyword_site": "Site: ", "keyword_start": "Shmoo",
            "keyword_end": "X-Axis", "keyword_pass": r"\*", "keyword_fail": "#"}
GREEN, RED, YELLOW = "0000EE00", "00DC143C", "00FFFF00"


def keywords(**changes):
    table = Corvantis.getKeyWordFromSettingFile(SETTINGS)
    table.update(changes)
    return table


def group(site=1, rows=("1.2V * #",), item="Test Item: T1", start="Shmoo Plot", end="X-Axis 1 2"):
    return "".join(f"{line}\n" for line in (item, f"Site: {site}", start, *rows, end))


def write_log(tmp_path, text, name="log.txt", newline="\n"):
    path = tmp_path / name
    path.write_bytes(text.replace("\n", newline).encode("utf-8"))
    return str(path)


def values(ws):
    return {(c.row, c.column): c.value for row in ws.iter_rows() for c in row if c.value is not None}


def fills(ws):
    found = {}
    for row in ws.iter_rows():
        for c in row:
            if c.fill.fill_type is not None:
                assert c.fill.fill_type == "solid"
                assert c.fill.start_color.rgb == c.fill.end_color.rgb
                found[(c.row, c.column)] = c.fill.start_color.rgb
    return found


def extract(path, site=1, siteCnt=1, total=1, width=4, table=None, wb=None):
    wb = wb or openpyxl.Workbook()
    Corvantis.processLog(path, site, wb, siteCnt, total, table or keywords(), width)
    return wb


# --- keyword table -----------------------------------------------------------

def test_keyword_table_fixed_keys_and_order():
    table = Corvantis.getKeyWordFromSettingFile({**SETTINGS, "keyword_other": [1], "keyword_site": 5})
    assert list(table) == ["Platform", "Item", "SiteNum", "PatName", "PlotStart", "PlotEnd", "RowOffset",
                           "PassSymbol", "FailSymbol"]
    assert table == {"Platform": "TER", "Item": "Test Item:", "SiteNum": 5, "PatName": "", "PlotStart": "Shmoo",
                     "PlotEnd": "X-Axis", "RowOffset": "1", "PassSymbol": r"\*", "FailSymbol": "#"}
    again = Corvantis.getKeyWordFromSettingFile({**SETTINGS, "keyword_other": [1], "keyword_site": 5})
    assert again == table and again is not table


def test_keyword_table_reports_first_missing_key():
    partial = {k: v for k, v in SETTINGS.items() if k not in ("keyword_start", "keyword_fail")}
    with pytest.raises(KeyError) as info:
        Corvantis.getKeyWordFromSettingFile(partial)
    assert info.value.args == ("keyword_start",)
    with pytest.raises(TypeError):
        Corvantis.getKeyWordFromSettingFile(3)


# --- site enumeration -------------------------------------------------------

@pytest.mark.parametrize("text, label, expected", [
    ("no sites here\n", "Site: ", ""),
    ("Site: 1\nSite: 2\n", "", ""),
    ("Site: 2\nSite: 1\nSite: 2\nSite: 0\nSite: 1", "Site: ", "0,1,2"),
    ("Site: 007\nSite: +3\n", "Site: ", "3,7"),
    ("Site: -2\n", "Site: ", "-2"),
    ("Site: 40\nSite: 1\n", "Site: ", "40,1"),
    ("Site:3\n", "Site:", "3"),
])
def test_site_enumeration(tmp_path, text, label, expected):
    path = write_log(tmp_path, text)
    assert Corvantis.getAllSiteNums(path, {"SiteNum": label}) == expected


@pytest.mark.parametrize("text", ["Site: one\n", "xx Site: 1\n"])
def test_site_enumeration_bad_number(tmp_path, text):
    with pytest.raises(ValueError, match="invalid literal for int"):
        Corvantis.getAllSiteNums(write_log(tmp_path, text), {"SiteNum": "Site: "})


def test_site_enumeration_failures(tmp_path):
    with pytest.raises(KeyError):
        Corvantis.getAllSiteNums(write_log(tmp_path, "Site: 1\n"), {})
    with pytest.raises(FileNotFoundError):
        Corvantis.getAllSiteNums(str(tmp_path / "missing.txt"), {"SiteNum": "Site: "})
    bad = tmp_path / "bad.txt"
    bad.write_bytes(b"Site: 1\n\xff\n")
    with pytest.raises(UnicodeDecodeError):
        Corvantis.getAllSiteNums(str(bad), {"SiteNum": "Site: "})


# --- extraction ---------------------------------------------------------------

def test_group_layout_conversion_and_fills(tmp_path):
    path = write_log(tmp_path, "header\n" + group(rows=("1.2V * #", "1.1V # *")) + group(rows=("0.9V *",)))
    ws = extract(path)["Sheet"]
    got = values(ws)
    head = {(3, 1): "Test Item: T1\n", (4, 1): "Site: 1\n", (5, 1): "Shmoo Plot\n"}
    for (r, c), v in head.items():
        assert got[(r, c)] == v and got[(r, 5)] == v
    assert got[(1, 1)] == path
    assert not any(r == 2 for r, _ in got)
    assert [got[(6, c)] for c in (1, 2)] == ["Shmoo", "Plot"]
    assert [got[(7, c)] for c in (1, 2, 3)] == ["1.2V", "P", "."]
    assert [got[(8, c)] for c in (1, 2, 3)] == ["1.1V", ".", "P"]
    assert [got[(9, c)] for c in (1, 2, 3)] == ["X-Axis", "1", "2"]
    assert [got[(7, c)] for c in (5, 6, 7)] == ["1.2V", "P", "."]
    assert not any(r == 10 for r, _ in got)  # one empty row between groups
    assert got[(11, 1)] == "Test Item: T1\n" and got[(15, 2)] == "P" and got[(16, 1)] == "X-Axis"
    assert fills(ws) == {(7, 2): GREEN, (7, 3): RED, (8, 2): RED, (8, 3): GREEN, (15, 2): GREEN}


def test_end_line_unconverted_start_line_converted(tmp_path):
    path = write_log(tmp_path, group(rows=(), start="Shmoo * #", end="X-Axis * # P ."))
    got = values(extract(path)["Sheet"])
    assert [got[(6, c)] for c in (1, 2, 3)] == ["Shmoo", "P", "."]
    assert [got[(7, c)] for c in (1, 2, 3, 4, 5)] == ["X-Axis", "*", "#", "P", "."]


def test_literal_symbols_and_labels_are_filled(tmp_path):
    path = write_log(tmp_path, group(rows=("P P . x",)))
    ws = extract(path)["Sheet"]
    assert {k: v for k, v in fills(ws).items() if k[0] == 7} == {(7, 1): GREEN, (7, 2): GREEN, (7, 3): RED}


def test_pass_and_fail_both_match_gives_fail(tmp_path):
    path = write_log(tmp_path, group(rows=("v *# #* x*",)))
    got = values(extract(path, table=keywords(PassSymbol=r"\*|x", FailSymbol="#|\\*#"))["Sheet"])
    assert [got[(7, c)] for c in (2, 3, 4)] == [".", ".", "P"]


def test_vbt_error_blank_and_space_lines_inside_a_plot(tmp_path):
    text = group(rows=("a *", "VBT error X-Axis here", "\n".rstrip("\n"), "   ", "b #"))
    # the empty entry is a bare line feed, the "   " line a row without cells
    path = write_log(tmp_path, text)
    got = values(extract(path)["Sheet"])
    assert got[(7, 1)] == "a" and got[(9, 1)] == "b" and got[(10, 1)] == "X-Axis"
    assert not any(r == 8 for r, _ in got)


@pytest.mark.parametrize("text", [
    group(site=2),                                      # another site
    "Site: 1\nShmoo Plot\n1.2V *\nX-Axis 1\n",          # before any item line
    group(end="no end marker"),                         # plot never ends
])
def test_plots_that_are_not_written(tmp_path, text):
    assert values(extract(write_log(tmp_path, text))["Sheet"]) == {}


def test_other_site_line_drops_item_line(tmp_path):
    text = "Test Item: T1\nSite: 2\nSite: 1\nShmoo\n1.2V *\nX-Axis\n"
    got = values(extract(write_log(tmp_path, text))["Sheet"])
    assert [got[(r, 1)] for r in (3, 4, 5)] == ["Site: 1\n", "Shmoo\n", "Shmoo"]


@pytest.mark.parametrize("newline", ["\r\n", "\r"])
def test_other_line_endings_read_as_line_feed(tmp_path, newline):
    path = write_log(tmp_path, group(rows=("1.2V * #",)), newline=newline)
    got = values(extract(path)["Sheet"])
    assert got[(4, 1)] == "Site: 1\n" and got[(7, 2)] == "P"


def test_summary_concatenation_and_yellow(tmp_path):
    a = write_log(tmp_path, group(rows=("L * * #",)), "a.txt")
    b = write_log(tmp_path, group(rows=("L # * #",)), "b.txt")
    wb = extract(a, siteCnt=1, total=2, width=5)
    extract(b, siteCnt=2, total=2, width=5, wb=wb)
    ws = wb["Sheet"]
    got = values(ws)
    assert got[(1, 1)] == a and got[(1, 6)] == b
    assert [got[(7, c)] for c in (11, 12, 13, 14)] == ["LL", "P.", "PP", ".."]
    assert got[(3, 11)] == "Test Item: T1\n"  # item rows: the last pair wins
    assert {k: v for k, v in fills(ws).items() if k[1] > 10} == {(7, 12): YELLOW}


def test_single_pair_summary_never_filled(tmp_path):
    ws = extract(write_log(tmp_path, group(rows=("L * #",))), width=3)["Sheet"]
    assert all(c <= 3 for _, c in fills(ws))


def test_wide_rows_run_past_the_block(tmp_path):
    a = write_log(tmp_path, group(rows=("L * * * * *",)), "a.txt")
    b = write_log(tmp_path, group(rows=("M # #",)), "b.txt")
    wb = extract(a, siteCnt=1, total=2, width=3)
    extract(b, siteCnt=2, total=2, width=3, wb=wb)
    ws = wb["Sheet"]
    got = values(ws)
    # pair 1 wrote P into columns 4-6, pair 2 then overwrote 4-6 with its own row
    assert [got[(7, c)] for c in range(1, 7)] == ["L", "P", "P", "M", ".", "."]
    assert fills(ws)[(7, 4)] == GREEN  # a fill stays when the value is replaced
    assert [got[(7, c)] for c in range(7, 13)] == ["LM", "P.", "P.", "P", "P", "P"]


def test_row_offset_from_the_table(tmp_path):
    path = write_log(tmp_path, group() * 2)
    got = values(extract(path, table=keywords(RowOffset="3"))["Sheet"])
    first_end = 8
    assert got[(first_end, 1)] == "X-Axis"
    assert not any(first_end < r <= first_end + 3 for r, _ in got)
    assert got[(first_end + 4, 1)] == "Test Item: T1\n"


def test_equals_sign_text_is_never_a_formula(tmp_path):
    path = write_log(tmp_path, group(rows=("=A1 =SUM(B1:B2) *",), item="Test Item: =1+1"))
    a = write_log(tmp_path, "=x header\n" + group(rows=("=A1 *",)), "a.txt")
    wb = extract(path, total=2)
    extract(a, siteCnt=2, total=2, wb=wb)
    out = tmp_path / "out.xlsx"
    wb.save(out)
    ws = openpyxl.load_workbook(out)["Sheet"]
    for cell in (ws["A7"], ws["B7"], ws["I7"]):
        assert cell.data_type == "s"
    assert ws["A7"].value == "=A1" and ws["B7"].value == "=SUM(B1:B2)" and ws["I7"].value == "=A1=A1"


@pytest.mark.parametrize("table, error", [
    (keywords(Item="("), re.error),
    (keywords(PassSymbol="["), re.error),
    (keywords(RowOffset="one"), ValueError),
    ({k: v for k, v in keywords().items() if k != "PlotEnd"}, KeyError),
    (keywords(SiteNum=5), TypeError),
])
def test_extraction_failures(tmp_path, table, error):
    with pytest.raises(error):
        extract(write_log(tmp_path, group()), table=table)


def test_workbook_without_sheet(tmp_path):
    wb = openpyxl.Workbook()
    wb["Sheet"].title = "Other"
    with pytest.raises(KeyError):
        extract(write_log(tmp_path, group()), wb=wb)


def test_site_given_as_number_and_default_width(tmp_path):
    path = write_log(tmp_path, group(site=3, rows=("L *",)))
    wb = openpyxl.Workbook()
    Corvantis.processLog(path, 3, wb, 2, 2, keywords())
    got = values(wb["Sheet"])
    assert got[(1, 21)] == path and got[(7, 22)] == "P" and got[(7, 42)] == "P"


# --- driver -----------------------------------------------------------------

NAME = re.compile(r"/shmplot_\d{4}_\d{2}_\d{2}_\d{2}_\d{2}_\d{2}(_\d+)?\.xlsx$")


@pytest.fixture
def in_tmp(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    return tmp_path


def load(path):
    return openpyxl.load_workbook(path)["Sheet"]


def test_driver_pairs_padding_and_name(in_tmp, capsys):
    a = write_log(in_tmp, group(1, ("A1 *",)) + group(2, ("A2 #",)) + group(3, ("A3 *",)), "a.txt")
    b = write_log(in_tmp, group(4, ("B4 *",)) + group(5, ("B5 #",)), "b.txt")
    path = Corvantis.getDatalogInfo(keywords(), f"{a};{b}", "1,3", 10)
    assert capsys.readouterr().out == "totalsiteCnt= 4\n"
    assert path.startswith(os.getcwd() + "/") and NAME.search(path)
    got = values(load(path))
    assert [got[(1, c)] for c in (1, 11, 21, 31)] == [a, a, b, b]
    # pair k's plot row sits in block k; the summary starts at column 41
    assert got[(7, 1)] == "A1" and got[(7, 11)] == "A3" and got[(7, 21)] == "B4" and got[(7, 31)] == "B5"
    assert got[(7, 41)] == "A1A3B4B5" and got[(7, 42)] == "PPP."


@pytest.mark.parametrize("label, expected_total", [
    ("", 1),           # no announced site: one pair with the empty site text
    ("1, 2", 2),       # " 2" never matches a site line but still counts
    ("1,", 2),         # trailing comma adds an empty site
    ("1;9;9", 1),      # labels beyond the datalogs are ignored
])
def test_driver_site_lists(in_tmp, capsys, label, expected_total):
    path = write_log(in_tmp, "Test Item: x\nShmoo\nX-Axis\n")
    out = Corvantis.getDatalogInfo(keywords(), path, label, 5)
    assert capsys.readouterr().out == f"totalsiteCnt= {expected_total}\n"
    assert values(load(out)) == {}


def test_driver_same_second_never_overwrites(in_tmp, monkeypatch):
    frozen = types.SimpleNamespace(time=lambda: 0.0, localtime=lambda t: t,
                                   strftime=lambda fmt, t: "2026_12_06_14_20_05")
    monkeypatch.setattr(Corvantis, "time", frozen)
    log_a = write_log(in_tmp, group(rows=("A *",)), "a.txt")
    log_b = write_log(in_tmp, group(rows=("B #",)), "b.txt")
    paths = [Corvantis.getDatalogInfo(keywords(), log, "1", 4) for log in (log_a, log_b, log_a)]
    stem = f"{in_tmp}/shmplot_2026_12_06_14_20_05"
    assert paths == [stem + ".xlsx", stem + "_1.xlsx", stem + "_2.xlsx"]
    assert values(load(paths[0]))[(7, 1)] == "A" and values(load(paths[1]))[(7, 1)] == "B"
    assert sorted(os.listdir(in_tmp)) == ["a.txt", "b.txt"] + [os.path.basename(p) for p in paths]


def test_driver_failed_save_leaves_no_file(in_tmp, monkeypatch):
    def broken_save(self, filename):
        with open(filename, "wb") as f:
            f.write(b"partial")
        raise OSError("disk full")
    monkeypatch.setattr(openpyxl.Workbook, "save", broken_save)
    log = write_log(in_tmp, group())
    with pytest.raises(OSError, match="disk full"):
        Corvantis.getDatalogInfo(keywords(), log, "1", 4)
    assert os.listdir(in_tmp) == ["log.txt"]


def test_driver_error_before_save_writes_nothing(in_tmp, capsys):
    with pytest.raises(FileNotFoundError):
        Corvantis.getDatalogInfo(keywords(), "missing.txt", "1", 4)
    assert capsys.readouterr().out == "totalsiteCnt= 1\n"
    assert os.listdir(in_tmp) == []


class Text(str):
    pass


@pytest.mark.parametrize("args, message, note", [
    (("x", Text("a"), "1", 20), "Argument 'file_paths' has incorrect type (expected str, got Text)", True),
    (("x", "a", None, 20), "Argument 'site_lbl' has incorrect type (expected str, got NoneType)", False),
    (("x", "a", "1", "20"), "Argument 'interval_columns' has incorrect type (expected int, got str)", False),
    (("x", b"a", Text("1"), None), "Argument 'interval_columns' has incorrect type (expected int, got NoneType)",
     False),
    (("x", b"a", Text("1"), 2.5), "Argument 'file_paths' has incorrect type (expected str, got bytes)", False),
])
def test_driver_argument_types(in_tmp, capsys, args, message, note):
    with pytest.raises(TypeError) as info:
        Corvantis.getDatalogInfo(*args)
    assert str(info.value) == message
    notes = getattr(info.value, "__notes__", [])
    assert bool(notes) == note
    if note:
        assert "subclass" in notes[0]
    assert capsys.readouterr().out == ""


def test_driver_float_width_is_truncated(in_tmp):
    a = write_log(in_tmp, group(1, ("A *",)) + group(2, ("B #",)))
    path = Corvantis.getDatalogInfo(keywords(), a, "1,2", 20.9)
    got = values(load(path))
    assert got[(1, 1)] == a and got[(1, 21)] == a and got[(7, 41)] == "AB" and got[(7, 42)] == "P."


class RecordingSheet:
    """A worksheet stand-in that records every cell call."""

    def __init__(self):
        self.calls = []
        self.cells = {}

    def cell(self, row, column, value=None):
        self.calls.append((row, column) if value is None else (row, column, value))
        cell = self.cells.setdefault((row, column), types.SimpleNamespace(value=None, fill=None))
        if value is not None:
            cell.value = value
        return cell


def test_cell_api_calls_on_a_caller_worksheet(tmp_path):
    sheet = RecordingSheet()
    book = {"Sheet": sheet}
    a = write_log(tmp_path, "Test Item: a\nSite: 1\nShmoo\nL * #\nX-Axis\n", "a.txt")
    Corvantis.processLog(a, "1", book, 1, 2, keywords(), 3)
    assert sheet.calls == [
        (1, 1, a),
        (3, 1, "Test Item: a\n"), (3, 7, "Test Item: a\n"),
        (4, 1, "Site: 1\n"), (4, 7, "Site: 1\n"),
        (5, 1, "Shmoo\n"), (5, 7, "Shmoo\n"),
        (6, 1, "Shmoo"), (6, 7), (6, 7, "Shmoo"),
        (7, 1, "L"), (7, 7), (7, 7, "L"),
        (7, 2, "P"), (7, 2), (7, 8), (7, 8, "P"),
        (7, 3, "."), (7, 3), (7, 9), (7, 9, "."),
        (8, 1, "X-Axis"), (8, 7), (8, 7, "X-Axis"),
    ]
    sheet.calls.clear()
    b = write_log(tmp_path, "Test Item: b\nSite: 1\nShmoo\nM # #\nX-Axis\n", "b.txt")
    Corvantis.processLog(b, "1", book, 2, 2, keywords(), 3)
    assert [c for c in sheet.calls if c[0] == 7] == [
        (7, 4, "M"), (7, 7), (7, 7, "LM"),
        (7, 5, "."), (7, 5), (7, 8), (7, 8, "P."), (7, 8),
        (7, 6, "."), (7, 6), (7, 9), (7, 9, ".."),
    ]
    fill = sheet.cells[(7, 8)].fill
    assert (fill.fill_type, fill.start_color.rgb, fill.end_color.rgb) == ("solid", YELLOW, YELLOW)
    assert sheet.cells[(7, 2)].fill.start_color.rgb == GREEN and sheet.cells[(7, 3)].fill.start_color.rgb == RED


# --- differential check against a line-by-line rendering in Python -----------

def reference_process_log(each_file, each_site, ws, siteCnt, totalsiteCnt, kw, W):
    """The extraction written out plainly in Python, as an oracle."""
    import re as std_re
    flag = site_flag = start = False
    items, plot, pattern = [], [], ""
    row = 2
    B, TW = (siteCnt - 1) * W, totalsiteCnt * W
    with open(each_file, "r", encoding="utf-8") as f:
        lines = f.readlines()
    for line in lines:
        if "VBT error" in line:
            continue
        if std_re.match(kw["Item"], line):
            items.append(line)
            pattern, flag = "", True
        target = kw["SiteNum"] + str(each_site)
        if kw["SiteNum"] in line and line[:-1] != target and flag:
            items, site_flag = [], False
        if line[:-1] == target and flag:
            items.append(line)
            site_flag = True
            continue
        if kw["PatName"] in line and flag and not start:
            pattern = line
        if line.strip().startswith(kw["PlotStart"]) and flag and site_flag:
            items.append(pattern)
            start = True
        if start and flag and site_flag and line != "\n":
            plot.append(line)
        if kw["PlotEnd"] in line and flag and start and site_flag:
            ws.cell(row=1, column=B + 1, value=each_file)
            for text in items:
                ws.cell(row=row + 1, column=B + 1, value=text)
                ws.cell(row=row + 1, column=TW + 1, value=text)
                row += 1
            for text in plot:
                tokens = text.split()
                if kw["PlotEnd"] not in text:
                    for i in range(1, len(tokens)):
                        printed = tokens[i]
                        if std_re.match(kw["PassSymbol"], printed):
                            tokens[i] = "P"
                        if std_re.match(kw["FailSymbol"], printed):
                            tokens[i] = "."
                for j, x in enumerate(tokens):
                    cell = ws.cell(row=row + 1, column=B + 1 + j, value=x)
                    if x in ("P", "."):
                        colour = "00EE00" if x == "P" else "DC143C"
                        cell.fill = openpyxl.styles.PatternFill(start_color=colour, end_color=colour,
                                                                fill_type="solid")
                    summary = ws.cell(row=row + 1, column=TW + 1 + j)
                    if str(summary.value) != "None":
                        summary.value = str(summary.value) + x
                        if "P" in summary.value and "." in summary.value:
                            summary.fill = openpyxl.styles.PatternFill(start_color="FFFF00", end_color="FFFF00",
                                                                       fill_type="solid")
                    else:
                        summary.value = x
                row += 1
            items, plot = [], []
            row += int(kw["RowOffset"])
            start = flag = site_flag = False


def random_log(rnd, sites):
    pieces = ["Program: x"]
    for item in range(rnd.randint(1, 5)):
        for site in rnd.sample(sites, len(sites)):
            if rnd.random() < 0.85:
                pieces.append(rnd.choice([f"Test Item: T{item}", f"  Test Item: T{item}", f"Item T{item}"]))
            pieces.append(rnd.choice([f"Site: {site}", f"Site: {site}", f"Site: {site} ", f"xSite: {site}"]))
            if rnd.random() < 0.5:
                pieces.append(rnd.choice(["Pattern: p1", "  Pattern: p2 Shmoo"]))
            pieces.append(rnd.choice(["Shmoo Plot", "   Shmoo", "Shmoo * X-Axis", "noShmoo"]))
            for _ in range(rnd.randint(0, 5)):
                pieces.append(" ".join(rnd.choice(["L", "P", ".", "*", "#", "*#", "q", "VBT error", "Site: 1"])
                                       for _ in range(rnd.randint(0, 7))))
            if rnd.random() < 0.85:
                pieces.append(rnd.choice(["X-Axis 1 2", "  X-Axis * #", "end X-Axis"]))
    return "\n".join(pieces) + "\n"


@pytest.mark.parametrize("seed", range(30))
def test_matches_a_plain_python_rendering(tmp_path, seed):
    rnd = random.Random(seed)
    table = keywords(PatName=rnd.choice(["", "Pattern:"]), RowOffset=rnd.choice(["1", "0", "2"]),
                     Item=rnd.choice(["Test Item:", r"\s*Test Item:", "Item|Test"]))
    sites = rnd.sample(range(1, 5), rnd.randint(1, 3))
    path = write_log(tmp_path, random_log(rnd, sites))
    picks = [str(s) for s in sites] + [rnd.choice(["9", "", " 1"])]
    width = rnd.choice([1, 3, 6])
    ours, theirs = openpyxl.Workbook(), openpyxl.Workbook()
    for k, site in enumerate(picks, 1):
        Corvantis.processLog(path, site, ours, k, len(picks), table, width)
        reference_process_log(path, site, theirs["Sheet"], k, len(picks), table, width)
    assert values(ours["Sheet"]) == values(theirs["Sheet"])
    assert fills(ours["Sheet"]) == fills(theirs["Sheet"])
