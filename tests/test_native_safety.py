"""Memory safety of the native fast paths: what they write into, what they
call and how, the arithmetic of coordinates, the collector's view of our
function objects, and paths the fast paths cannot prepare. Each case runs
where a fault would show: in a child process when a fault could take the
interpreter down."""

import gc
import json
import os
import weakref

import openpyxl
import pytest

from quorvane.Source import Corvantis, tavrine

ROW = "P,.,*,#,p,P,P,.,.,*,#"


def shmoo_csv(labels):
    return "".join(f"{label}{',' * 10}\n" + f"{ROW}\n" * 11 for label in labels)


def dataset_summary(dataset):
    y = dataset.Y_train
    return {"count": dataset.data_count, "x": dataset.X_train.tolist(),
            "y": y.tolist() if hasattr(y, "tolist") else y}


# --- what the CSV reader writes into ----------------------------------------------------------

WRONG_BUFFERS = """
import contextlib, io, json, sys
import torch
from torch.overrides import TorchFunctionMode

real_empty = torch.empty

class Sub(torch.Tensor):
    pass

def wrong(kind, *shape, **kw):
    if kind == "small":
        return real_empty(1, dtype=torch.float32)
    if kind == "double":
        return real_empty(*shape, dtype=torch.float64)
    if kind == "strided":
        return real_empty(*reversed(shape), dtype=torch.float32).permute(*reversed(range(len(shape))))
    if kind == "meta":
        return real_empty(*shape, dtype=torch.float32, device="meta")
    if kind == "raises":
        raise RuntimeError("no memory today")
    if kind == "subclass":
        return real_empty(*shape, **kw).as_subclass(Sub)
    raise AssertionError(kind)

KIND = [None]
if MODE_BEFORE_IMPORT:
    # A script's own torch.empty, installed before the module captured it.
    def patched(*shape, **kw):
        return wrong(KIND[0], *shape, **kw) if KIND[0] else real_empty(*shape, **kw)
    torch.empty = patched

from quorvane.Source import tavrine

class Swap(TorchFunctionMode):
    def __torch_function__(self, func, types, args=(), kwargs=None):
        kwargs = kwargs or {}
        if func is real_empty and KIND[0]:
            return wrong(KIND[0], *args, **kwargs)
        return func(*args, **kwargs)

def read(cls, kind):
    KIND[0] = kind
    out = io.StringIO()
    with contextlib.redirect_stdout(out):
        if kind and not MODE_BEFORE_IMPORT:
            with Swap():
                d = cls(PATH)
        else:
            d = cls(PATH)
    KIND[0] = None
    y = d.Y_train
    return {"x": d.X_train.tolist(), "y": y.tolist() if hasattr(y, "tolist") else y,
            "type": type(d.X_train).__name__, "dtype": str(d.X_train.dtype), "out": out.getvalue()}

results = {}
for cls in (tavrine.CsvDataset, tavrine.CsvDataset_Test):
    plain = read(cls, None)
    for kind in ("small", "double", "strided", "meta", "subclass", "raises"):
        got = read(cls, kind)
        results[f"{cls.__name__}/{kind}"] = got == plain or (got["x"] == plain["x"] and got)
print(json.dumps(results))
"""


@pytest.mark.parametrize("before_import", [False, True], ids=["function-mode", "patched-before-import"])
def test_csv_reader_never_writes_into_a_foreign_buffer(tmp_path, python_subprocess, before_import):
    # Under a TorchFunctionMode (or with torch.empty replaced before the
    # module captured it) torch.empty hands back too small, wrongly typed,
    # strided or subclassed tensors. The reader must not write through them:
    # it reads the file the ordinary way, with the same result as without.
    path = tmp_path / "shmoo.csv"
    path.write_text(shmoo_csv(["Pass-Vol", "Fail", "Pass-Hole"]))
    code = f"PATH = {str(path)!r}\nMODE_BEFORE_IMPORT = {before_import}\n" + WRONG_BUFFERS
    proc = python_subprocess(code, check=False)
    assert proc.returncode == 0, proc.stderr[-3000:]
    results = json.loads(proc.stdout.strip().splitlines()[-1])
    assert len(results) == 12
    assert all(value is True for value in results.values()), results


def test_csv_reader_steps_aside_for_a_dispatch_mode(tmp_path, capsys):
    from torch.utils._python_dispatch import TorchDispatchMode

    class Count(TorchDispatchMode):
        calls = 0

        def __torch_dispatch__(self, func, types, args=(), kwargs=None):
            Count.calls += 1
            return func(*args, **(kwargs or {}))

    path = tmp_path / "shmoo.csv"
    path.write_text(shmoo_csv(["Pass", "Fail-Vol"]))
    plain = dataset_summary(tavrine.CsvDataset(str(path)))
    with Count():
        seen = tavrine.CsvDataset(str(path))
    # The chunk-reader loop ran under the mode (its tensors went through it)
    # and the reader was used rather than skipped.
    assert Count.calls > 0 and seen.csv_df._currow > 0
    assert dataset_summary(seen) == plain
    capsys.readouterr()


@pytest.mark.parametrize("probe", ["_is_torch_function_mode_enabled", "_len_torch_dispatch_stack"])
def test_without_a_mode_probe_the_reader_steps_aside(tmp_path, python_subprocess, probe):
    # A library version without one of its private mode probes cannot show
    # that no mode is active: the chunk-reader loop reads the file.
    path = tmp_path / "shmoo.csv"
    path.write_text(shmoo_csv(["Pass", "Fail-Vol"]))
    proc = python_subprocess(f"""
        import torch
        del torch._C.{probe}
        from quorvane.Source import tavrine
        print("rows read by the loop:", tavrine.CsvDataset({str(path)!r}).csv_df._currow)
    """)
    assert int(proc.stdout.split()[-1]) > 0


# --- dataset paths that are not valid UTF-8 ------------------------------------------------------


@pytest.mark.parametrize("cls", [tavrine.CsvDataset, tavrine.CsvDataset_Test])
@pytest.mark.parametrize("raw_name", [b"shm\xff.csv", b"\xe9t\xe9.csv", b"d\xed\xa0\x80.csv"])
def test_dataset_path_with_undecodable_bytes(tmp_path, capsys, cls, raw_name):
    name = os.fsdecode(raw_name)  # surrogate escapes, as os.listdir gives them
    assert any(0xDC80 <= ord(c) <= 0xDCFF for c in name)
    content = shmoo_csv(["Pass", "Fail-Freq", "Pass-Marginal"]).encode()
    odd = os.path.join(str(tmp_path), name)
    try:
        with open(odd, "wb") as f:
            f.write(content)
    except (OSError, UnicodeEncodeError):
        pytest.skip("the file system refuses names that are not valid UTF-8")
    plain = tmp_path / "plain.csv"
    plain.write_bytes(content)

    expected = dataset_summary(cls(str(plain)))
    got = cls(odd)
    assert dataset_summary(got) == expected
    # Still read natively: the name only had to reach the file system as bytes.
    assert got.csv_df._currow == 0
    capsys.readouterr()


# --- re wrappers and the native pattern cache ----------------------------------------------------

LOG = "Test Item: a\nSite: 1\nShmoo Plot\n1.2V * # *\n1.1V # # *\nX-Axis 1 2 3\n"
SETTINGS = {"keyword_item": "Test Item:", "keyword_site": "Site: ", "keyword_start": "Shmoo",
            "keyword_end": "X-Axis", "keyword_pass": r"\*", "keyword_fail": "#"}

RE_WRAPPED = """
import json, os, re
real_compile = re.compile
calls = []

class Pattern:
    # Looks like a compiled pattern, answers differently.
    def __init__(self, p):
        self.pattern = p
    def match(self, text, *rest):
        return None

def wrapper(pattern, flags=0):
    if pattern not in ("Test Item:", "\\\\*", "#"):  # the libraries' own patterns
        return real_compile(pattern, flags)
    calls.append(pattern)
    return Pattern(pattern) if WHEN == "before" else real_compile(pattern, flags | re.IGNORECASE)

if WHEN == "before":
    re.compile = wrapper
import openpyxl
from quorvane.Source import Corvantis
if WHEN == "after":
    re.compile = wrapper
os.chdir(DIR)
table = Corvantis.getKeyWordFromSettingFile(SETTINGS)
saved = Corvantis.getDatalogInfo(table, LOGPATH, "1", 20)
wb = openpyxl.Workbook()
Corvantis.processLog(LOGPATH, "1", wb, 1, 1, table, 20)
def cells(ws):
    return sorted([c.row, c.column, c.value, c.fill.start_color.rgb if c.fill.fill_type else None]
                  for row in ws.iter_rows() for c in row if c.value is not None)
print(json.dumps({"saved": cells(openpyxl.load_workbook(saved)["Sheet"]), "direct": cells(wb["Sheet"]),
                  "calls": len(calls)}))
"""


def sheet_cells(ws):
    return sorted([c.row, c.column, c.value, c.fill.start_color.rgb if c.fill.fill_type else None]
                  for row in ws.iter_rows() for c in row if c.value is not None)


@pytest.mark.parametrize("when", ["before", "after"])
def test_wrapped_re_compile_changes_nothing(tmp_path, python_subprocess, monkeypatch, when):
    # re.match never goes through re.compile, so a wrapper around re.compile
    # (installed before or after the module was imported) must neither be
    # called nor change a single cell; the native pattern cache is used only
    # for the re module's own compiled patterns.
    log = tmp_path / "log.txt"
    log.write_text(LOG + LOG.replace("*", "X").replace("#", "x"))
    monkeypatch.chdir(tmp_path)
    table = Corvantis.getKeyWordFromSettingFile(SETTINGS)
    expected_saved = sheet_cells(openpyxl.load_workbook(Corvantis.getDatalogInfo(table, str(log), "1", 20))["Sheet"])
    wb = openpyxl.Workbook()
    Corvantis.processLog(str(log), "1", wb, 1, 1, table, 20)
    expected_direct = sheet_cells(wb["Sheet"])

    out = tmp_path / "child"
    out.mkdir()
    code = (f"WHEN = {when!r}\nDIR = {str(out)!r}\nLOGPATH = {str(log)!r}\nSETTINGS = {SETTINGS!r}\n"
            + RE_WRAPPED)
    proc = python_subprocess(code, check=False)
    assert proc.returncode == 0, proc.stderr[-3000:]
    got = json.loads(proc.stdout.strip().splitlines()[-1])
    assert got["saved"] == expected_saved and got["direct"] == expected_direct
    assert got["calls"] == 0


# --- the row cursor at the ends of its range -----------------------------------------------------

INT64_MAX = 2**63 - 1
ROWS_AFTER_FIRST_GROUP = 9  # item lines at rows 3-5, the plot at rows 6-9


def run_both(table, path, label, width):
    """getDatalogInfo as scripts call it (cells collected natively) and with
    processLog rebound (every cell through the workbook library)."""
    results = []
    original = Corvantis.processLog
    for faithful in (False, True):
        if faithful:
            Corvantis.processLog = lambda *args: original(*args)
        try:
            saved = Corvantis.getDatalogInfo(table, path, label, width)
            results.append(("saved", sheet_cells(openpyxl.load_workbook(saved)["Sheet"])))
        except Exception as e:
            results.append(("raised", type(e).__name__, str(e)))
        finally:
            Corvantis.processLog = original
    return results


@pytest.mark.parametrize("offset, message", [
    # the next group's first row is the last row 64 bits hold: the library refuses the row
    (INT64_MAX - ROWS_AFTER_FIRST_GROUP - 1, "Row numbers must be"),
    # the cursor lands on the last value: its next row would overflow
    (INT64_MAX - ROWS_AFTER_FIRST_GROUP, "RowOffset"),
    # the offset itself would overflow the cursor
    (INT64_MAX - ROWS_AFTER_FIRST_GROUP + 1, "RowOffset"),
    (INT64_MAX, "RowOffset"),
    (2**64, "RowOffset"),
    (10**30, "RowOffset"),
])
def test_huge_row_offset_is_refused_before_the_cursor_wraps(tmp_path, monkeypatch, offset, message):
    # Under UBSan (tools/sanitize) any wrapped signed addition here stops the run.
    monkeypatch.chdir(tmp_path)
    log = tmp_path / "log.txt"
    log.write_text(LOG * 2)
    table = Corvantis.getKeyWordFromSettingFile(SETTINGS)
    table["RowOffset"] = str(offset)
    both = run_both(table, str(log), "1", 20)
    # Both paths refuse; past the sheet's last row the collecting path may meet
    # the cursor's own limit before the library would name the row.
    assert both[0][:2] == both[1][:2] == ("raised", "ValueError")
    assert message in both[1][2] and ("RowOffset" in both[0][2] or message in both[0][2])
    assert [name for name in os.listdir(tmp_path) if name.endswith(".xlsx")] == []

    wb = openpyxl.Workbook()
    with pytest.raises(ValueError, match=message):
        Corvantis.processLog(str(log), "1", wb, 1, 1, table, 20)


@pytest.mark.parametrize("offset", [2**64, -(2**70), INT64_MAX])
def test_huge_row_offset_after_the_last_group_harms_nothing(tmp_path, monkeypatch, offset):
    # The cursor moves after each group; only using it again would need the
    # impossible row.
    monkeypatch.chdir(tmp_path)
    log = tmp_path / "log.txt"
    log.write_text(LOG)
    table = Corvantis.getKeyWordFromSettingFile(SETTINGS)
    plain = run_both(table, str(log), "1", 20)
    table["RowOffset"] = str(offset)
    assert run_both(table, str(log), "1", 20) == plain
    assert plain[0][0] == "saved" and plain[0] == plain[1]


def test_negative_row_offset_reaching_row_zero_is_the_librarys_error(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    log = tmp_path / "log.txt"
    log.write_text(LOG * 2)
    table = Corvantis.getKeyWordFromSettingFile(SETTINGS)
    table["RowOffset"] = str(-(2**63))
    both = run_both(table, str(log), "1", 20)
    assert both[0] == both[1] and both[0][:2] == ("raised", "ValueError")


def test_recording_leaves_a_row_offset_it_cannot_follow_to_the_usual_way(tmp_path):
    # Not recorded: the usual extraction then refuses it, naming the entry.
    log = tmp_path / "log.txt"
    log.write_text(LOG * 2)
    table = Corvantis.getKeyWordFromSettingFile(SETTINGS)
    table["RowOffset"] = str(INT64_MAX)
    lines = (LOG * 2).splitlines(keepends=True)
    assert Corvantis._record_plots(table, "log.txt", ["1"], lines) is None
    with pytest.raises(ValueError, match="keyword table's RowOffset .* \"RowOffset\" entry"):
        Corvantis.processLog(str(log), "1", openpyxl.Workbook(), 1, 1, table, 20)


# --- datalog lines changed while a scan runs -----------------------------------------------------

CHANGED_LINES = """
import gc, json, re
from quorvane.Source import Corvantis, _plotreader

CHANGES = {"clear": list.clear, "shrink": lambda lines: lines.__delitem__(slice(4, None)),
           "not text": lambda lines: lines.__setitem__(slice(None), [None] * len(lines))}
table = Corvantis.getKeyWordFromSettingFile(SETTINGS)

def datalog():
    return (LOG * 30).splitlines(keepends=True)

def read(scan, change):
    item = re.compile(table["Item"]).match
    lines = datalog()
    def hostile(text):
        change(lines)
        return item(text)
    markers = [table["SiteNum"], "", table["PlotStart"], table["PlotEnd"],
               re.compile(table["PassSymbol"]).match, re.compile(table["FailSymbol"]).match]
    return repr(scan(lines, ["1"], hostile, *markers)) == repr(scan(datalog(), ["1"], item, *markers))

def record(change):
    # A finaliser the collector runs in the middle of the scan.
    lines = datalog()
    class Finaliser:
        def __init__(self):
            self.cycle = self
        def __del__(self):
            change(lines)
    Finaliser()
    gc.set_threshold(1)
    try:
        got = Corvantis._record_plots(table, "log.txt", ["1"], lines)
    finally:
        gc.set_threshold(700, 10, 10)
    return got in (Corvantis._record_plots(table, "log.txt", ["1"], datalog()),
                   Corvantis._record_plots(table, "log.txt", ["1"], lines), None)

results = {}
for name, change in CHANGES.items():
    results[f"read_plots/{name}"] = read(_plotreader.read_plots, change)
    results[f"count_plots/{name}"] = read(_plotreader.count_plots, change)
    results[f"_record_plots/{name}"] = record(change)
print(json.dumps(results))
"""


def test_a_scan_reads_the_lines_as_they_were_when_it_started(python_subprocess):
    # Python code running mid-scan (a match callable, a finaliser) empties,
    # shortens or spoils the list: the scan goes on over the lines it was
    # given, with the result it gives them untouched (or, for a change made
    # before the scan began, the changed lines' result).
    proc = python_subprocess(f"LOG = {LOG!r}\nSETTINGS = {SETTINGS!r}\n" + CHANGED_LINES, check=False)
    assert proc.returncode == 0, proc.stderr[-3000:]
    results = json.loads(proc.stdout.strip().splitlines()[-1])
    assert len(results) == 9 and all(results.values()), results


# --- function objects and the cycle collector ----------------------------------------------------

CYCLES = """
import gc, json, weakref
from quorvane.Source import tavrine, Corvantis

class Holder:
    pass

class Name(str):
    pass

def link(fn, attribute):
    holder = Holder()
    holder.fn = fn
    if attribute == "__name__" or attribute == "__qualname__":
        value = Name("renamed")
        value.holder = holder
        setattr(fn, attribute, value)
    elif attribute == "__defaults__":
        setattr(fn, attribute, (holder,))
    elif attribute == "__annotations__":
        setattr(fn, attribute, {"x": holder})
    elif attribute == "__dict__":
        fn.extra = holder
    else:
        setattr(fn, attribute, holder)
    return holder

results = {}
cases = [(tavrine, "get_custom_shm_labels", "__module__"), (tavrine, "get_fashion_mnist_labels", "__name__"),
         (tavrine, "show_shm_fig", "__qualname__"), (tavrine, "nin_block", "__doc__"),
         (tavrine, "pool2d", "__defaults__"), (tavrine, "corr2d", "__annotations__"),
         (Corvantis, "getAllSiteNums", "__dict__"), (Corvantis, "getKeyWordFromSettingFile", "__module__")]
gc.collect()
for module, name, attribute in cases:
    fn = getattr(module, name)
    delattr(module, name)  # the function's last owner besides the cycle
    holder = link(fn, attribute)
    refs = weakref.ref(fn), weakref.ref(holder)
    del fn, holder
    gc.collect()
    results[f"{name}.{attribute}"] = [r() is None for r in refs]
print(json.dumps(results))
"""


def test_reference_cycles_through_function_attributes_are_collected(python_subprocess):
    proc = python_subprocess(CYCLES, check=False)
    assert proc.returncode == 0, proc.stderr[-3000:]
    results = json.loads(proc.stdout.strip().splitlines()[-1])
    assert len(results) == 8
    assert all(both == [True, True] for both in results.values()), results
