"""Differential fuzzing of the datalog module.

Generated settings and datalogs -- valid, nearly valid and hostile -- run
through getDatalogInfo twice: once as a script normally calls it (cells
collected natively) and once with processLog rebound to a Python wrapper,
which makes the driver write every cell through the workbook library. Both
must agree on the saved workbook, the printed lines, the exception and the
files left behind. getAllSiteNums is checked against a few lines of plain
Python doing what it promises.

bench/fuzz_long.py drives the same strategies for many thousands of cases.
"""

import contextlib
import io
import os
import random
import re
import tempfile

import openpyxl
from hypothesis import HealthCheck, given, settings, strategies as st

from quorvane.Source import Corvantis

# --- running and comparing -------------------------------------------------------


def python_site_numbers(path, table):
    numbers = []
    with open(path, "r", encoding="utf-8") as f:
        lines = f.readlines()
    for line in lines:
        if table["SiteNum"] != "" and table["SiteNum"] in line:
            numbers.append(int(line[len(table["SiteNum"]):].strip()))
    numbers = list(set(numbers))
    return ",".join(str(n) for n in numbers)


def outcome(call):
    out = io.StringIO()
    with contextlib.redirect_stdout(out):
        try:
            result = call()
        except Exception as e:
            return None, (type(e), str(e)), out.getvalue()
    return result, None, out.getvalue()


def read_back(path):
    wb = openpyxl.load_workbook(path)
    ws = wb["Sheet"]
    cells = {(c.row, c.column): (c.value, c.data_type, c.fill.fill_type, c.fill.start_color.rgb,
                                 c.fill.end_color.rgb)
             for row in ws.iter_rows() for c in row if c.value is not None or c.has_style}
    return wb.sheetnames, ws.dimensions, cells


def run_driver(table, paths, label, width, directory, faithful):
    os.makedirs(directory)
    here = os.getcwd()
    original = Corvantis.processLog
    os.chdir(directory)
    try:
        if faithful:
            Corvantis.processLog = lambda *args: original(*args)
        result, error, printed = outcome(lambda: Corvantis.getDatalogInfo(table, ";".join(paths), label, width))
    finally:
        Corvantis.processLog = original
        os.chdir(here)
    left = sorted(os.listdir(directory))
    book = None
    if result is not None:
        assert os.path.dirname(result) == directory, result
        book = read_back(result)
        left = [name.startswith("shmplot_") and name.endswith(".xlsx") for name in left]
    return book, error, printed, left


def check_case(case, directory=None):
    """None when both ways of running `case` agree, else what differs."""
    config, logs, label, width = case
    with tempfile.TemporaryDirectory(dir=directory) as tmp:
        paths = []
        for i, content in enumerate(logs):
            path = os.path.join(tmp, f"log{i}.txt")
            with open(path, "wb") as f:
                f.write(content)
            paths.append(path)
        table, error, _ = outcome(lambda: Corvantis.getKeyWordFromSettingFile(config))
        if table is None:
            return None if error[0] in (KeyError, TypeError) else f"keyword table: {error!r}"
        for path in paths:
            native = outcome(lambda: Corvantis.getAllSiteNums(path, table))
            plain = outcome(lambda: python_site_numbers(path, table))
            if native != plain:
                return f"getAllSiteNums: {native!r} vs {plain!r}"
        fast = run_driver(table, paths, label, width, os.path.join(tmp, "fast"), False)
        slow = run_driver(table, paths, label, width, os.path.join(tmp, "slow"), True)
        if fast != slow:
            for what, a, b in zip(("workbook", "error", "printed", "files"), fast, slow):
                if a != b:
                    return f"getDatalogInfo {what}: {a!r:.600} vs {b!r:.600}"
        return None


# --- generating ---------------------------------------------------------------------

SAFE_SETTINGS = {"keyword_item": ["Test Item:", r"^Test\s+Item", r"Test Item\b", "Test"],
                 "keyword_site": ["Site: ", "Site:", "Site#"],
                 "keyword_start": ["Shmoo", "Shmoo Plot"],
                 "keyword_end": ["X-Axis", "End", "Shmoo end"],
                 "keyword_pass": [r"\*", "P", r"[P*+]", r"(?i)p"],
                 "keyword_fail": ["#", r"\.", "F|x", r"[.#-]"]}
ODD_SETTINGS = {"keyword_item": ["(", "[a-", "a{2", ".*", "", "(?P<x>Test)", r"\d+", "Test Item:|Site", "Tëst"],
                "keyword_site": ["", "*", "S(", "Site: 0", "Sité: ", "\t", "\u00a0"],
                "keyword_start": ["", "(", "*", "Shmoo\u2028", " "],
                "keyword_end": ["", "$", "Shmoo", "\n"],
                "keyword_pass": ["", "[", ".", "*", r"\d", "P|", "(?", "é"],
                "keyword_fail": ["", ")", ".", "+", r"\w", "#|P", "x{1,2}?"]}
NOT_TEXT = [5, None, 1.5, ["x"], b"Site"]

TOKENS = ["*", "#", "P", ".", "F", "x", "+", "-", "*#", "=B2", "=SUM(A1:A2)", "None", "&<>", "µs", "é*", "1.2V",
          "'q", "p", "PP", ".P", "\u00a0*", "*\u3000#", "\x1c", "\x85", "日本", "🙂", "\ud7ff", "nan", "'", '"']
LABELS = ["1.2V", "P", ".", "=A1", "None", "L", "0.95V", "", "  "]
ODD_LINES = ["", " ", "\t", "VBT error here", "VBT error: X-Axis", "\x0c", "\x0b", "\u2028", "Site: x",
             "Site: 01", "Site: -3", "Site: +2", "Site:  4  ", "x Site: 1", "Site: ١", "Site: 1_0"]


@st.composite
def settings_dicts(draw, hostile):
    hostile = hostile and draw(st.booleans())
    config = {}
    for key, safe in SAFE_SETTINGS.items():
        choice = draw(st.integers(0, 9)) if hostile else 0
        if choice >= 8:
            config[key] = draw(st.sampled_from(ODD_SETTINGS[key]))
        elif choice == 7 and draw(st.integers(0, 3)) == 0:
            config[key] = draw(st.sampled_from(NOT_TEXT))
        else:
            config[key] = draw(st.sampled_from(safe))
    if hostile and draw(st.integers(0, 15)) == 0:
        del config[draw(st.sampled_from(sorted(config)))]
    config["unrelated"] = draw(st.sampled_from([1, "x", None]))
    return config


def plain(config, key, fallback):
    value = config.get(key)
    return value if isinstance(value, str) and re.fullmatch(r"[\w: #*.-]*", value) else fallback


@st.composite
def datalog_text(draw, config, hostile, sites):
    odd_lines = hostile and draw(st.booleans())
    # The points of a row come from a plain generator seeded by one drawn
    # number: drawing each token through hypothesis was most of the time spent
    # generating a case.
    rnd = random.Random(draw(st.integers(0, 2**64 - 1)))
    item = plain(config, "keyword_item", "Test Item:").lstrip("^").replace(r"\s+", " ").replace(r"\b", "")
    site = plain(config, "keyword_site", "Site: ")
    start = plain(config, "keyword_start", "Shmoo")
    end = plain(config, "keyword_end", "X-Axis")
    lines = [draw(st.sampled_from(["Program: fuzz", "", "Lot 7"]))]
    for n in range(draw(st.integers(0, 5))):
        for s in draw(st.permutations(sites)):
            lines.append(f"{item} T{n}" + draw(st.sampled_from(["", "  ", "\t"])))
            lines.append(f"{site}{s}")
            lines.append(start + draw(st.sampled_from(["", " Plot", " * # x"])))
            for _ in range(draw(st.integers(0, 5))):
                width = draw(st.sampled_from([0, 1, 3, 6, 12]))
                sep = rnd.choice([" ", " ", "  ", "\t"])
                lines.append(sep.join([rnd.choice(LABELS)] + [rnd.choice(TOKENS) for _ in range(width)]))
                if odd_lines and draw(st.integers(0, 4)) == 0:
                    lines.append(draw(st.sampled_from(ODD_LINES + [f"{site}{draw(st.sampled_from(sites))}"])))
            if draw(st.integers(0, 9)):
                lines.append(end + " " + " ".join(draw(st.sampled_from(["10ns", "*", "#", "=C3"])) for _ in range(3)))
    if odd_lines:
        for _ in range(draw(st.integers(0, 2))):
            at = draw(st.integers(0, len(lines)))
            kind = draw(st.integers(0, 3))
            if kind == 0:
                lines.insert(at, "L " + "* " * draw(st.sampled_from([300, 20000])))  # huge line
            elif kind == 1:
                lines.insert(at, draw(st.sampled_from(ODD_LINES)))
            elif kind == 2 and lines:
                del lines[min(at, len(lines) - 1)]
            else:
                lines.insert(at, "L *\x00# \x01")  # NUL and a character the workbook library refuses
    return lines


@st.composite
def datalog_bytes(draw, config, hostile, sites):
    lines = draw(datalog_text(config, hostile, sites))
    ends = ["\n", "\r\n", "\r"] if hostile else ["\n", "\r\n"]
    mixed = hostile and draw(st.booleans())
    end = draw(st.sampled_from(ends))
    text = "".join(line + (draw(st.sampled_from(ends)) if mixed else end) for line in lines)
    if text and draw(st.booleans()):
        text = text[: -len(end)]
    data = text.encode("utf-8", "surrogatepass")
    if hostile and draw(st.integers(0, 14)) == 0:
        at = draw(st.integers(0, len(data)))
        data = data[:at] + draw(st.sampled_from([b"\xff", b"\xc3", b"\xed\xa0\x80", b"\xe9t\xe9"])) + data[at:]
    if hostile and draw(st.integers(0, 29)) == 0:
        data = draw(st.sampled_from([b"", b"\xef\xbb\xbf" + data, bytes(range(256))]))
    return data


@st.composite
def datalog_cases(draw, hostile=True):
    config = draw(settings_dicts(hostile))
    logs, labels = [], []
    for _ in range(draw(st.integers(1, 3))):
        sites = draw(st.lists(st.integers(0, 5), min_size=1, max_size=3, unique=True))
        logs.append(draw(datalog_bytes(config, hostile, sites)))
        labels.append(draw(st.sampled_from(["", ",".join(map(str, sites[:2])), f"{sites[0]},", " 1", "01", "x"]
                                           if hostile else ["", ",".join(map(str, sites))])))
    label = ";".join(labels[: draw(st.integers(0, len(labels)))]) if hostile else ";".join(labels)
    width = draw(st.sampled_from([20, 4, 1, 0, 3.7, -2] if hostile else [20, 4, 12]))
    return config, logs, label, width


FAST = settings(max_examples=25, deadline=None, database=None,
                suppress_health_check=[HealthCheck.too_slow, HealthCheck.function_scoped_fixture,
                                       HealthCheck.data_too_large])


@FAST
@given(case=datalog_cases(hostile=False))
def test_valid_datalogs_agree(tmp_path, case):
    assert check_case(case, tmp_path) is None


@settings(FAST, max_examples=50)
@given(case=datalog_cases(hostile=True))
def test_hostile_datalogs_and_settings_agree(tmp_path, case):
    assert check_case(case, tmp_path) is None
