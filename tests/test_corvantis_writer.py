"""Workbooks that others can open and that lose nothing: the file mode a plain
save gives, refusals of layouts that would cut plots or exceed what spreadsheet
programs hold, and output names claimed atomically by concurrent runs."""
import json
import os
import subprocess
import sys
import textwrap

import openpyxl
import pytest

from quorvane.Source import Corvantis

SETTINGS = {"keyword_item": "Test Item:", "keyword_site": "Site: ", "keyword_start": "Shmoo",
            "keyword_end": "X-Axis", "keyword_pass": r"\*", "keyword_fail": "#"}


def keywords(**changes):
    table = Corvantis.getKeyWordFromSettingFile(SETTINGS)
    table.update(changes)
    return table


def group(site=1, rows=("1.2V * #",)):
    return "".join(f"{line}\n" for line in ("Test Item: T1", f"Site: {site}", "Shmoo Plot", *rows, "X-Axis 1 2"))


@pytest.fixture
def here(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    return tmp_path


def write(directory, name, text):
    path = directory / name
    path.write_text(text)
    return str(path)


def both_paths(table, paths, label, width):
    """getDatalogInfo as scripts call it, and with processLog wrapped by a
    script (every cell through the workbook library): each result or error."""
    outcomes = []
    original = Corvantis.processLog
    for wrapped in (False, True):
        if wrapped:
            Corvantis.processLog = lambda *args: original(*args)
        try:
            outcomes.append(("saved", Corvantis.getDatalogInfo(table, paths, label, width)))
        except ValueError as e:
            outcomes.append(("refused", str(e)))
        finally:
            Corvantis.processLog = original
    return outcomes


def saved_files(directory):
    return sorted(n for n in os.listdir(directory) if n.endswith(".xlsx") or n.endswith(".part"))


def run_python(code, cwd, umask=0o022):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], cwd=cwd, capture_output=True, text=True,
                          timeout=300, preexec_fn=lambda: os.umask(umask))


# --- file mode ---------------------------------------------------------------------


@pytest.mark.parametrize("umask", [0o022, 0o007])
def test_saved_workbook_has_the_mode_of_a_plain_save(tmp_path, umask):
    write(tmp_path, "log.txt", group())
    write(tmp_path, "settings.json", json.dumps(SETTINGS))
    proc = run_python("""
        import json, os, stat
        from quorvane.Source import Corvantis
        table = Corvantis.getKeyWordFromSettingFile(json.load(open("settings.json")))
        def mode(path):
            return oct(stat.S_IMODE(os.stat(path).st_mode))
        with open("plain.bin", "w"):
            pass
        original = Corvantis.processLog
        print(mode("plain.bin"), mode(Corvantis.getDatalogInfo(table, "log.txt", "1", 20)))
        Corvantis.processLog = lambda *args: original(*args)   # saved by the library itself
        print(mode("plain.bin"), mode(Corvantis.getDatalogInfo(table, "log.txt", "1", 20)))
    """, tmp_path, umask)
    assert proc.returncode == 0, proc.stderr
    lines = proc.stdout.splitlines()[1::2]
    expected = oct(0o666 & ~umask)
    assert lines == [f"{expected} {expected}"] * 2
    cli = subprocess.run([sys.executable, "-m", "quorvane", "extract", "log.txt", "--settings", "settings.json",
                          "--out-dir", "out"], cwd=tmp_path, capture_output=True, text=True, timeout=300,
                         preexec_fn=lambda: os.umask(umask))
    assert cli.returncode == 0, cli.stderr
    (workbook,) = (tmp_path / "out").iterdir()
    assert oct(workbook.stat().st_mode & 0o777) == expected


# --- plots wider than their block ----------------------------------------------------


def test_row_wider_than_its_block_is_refused_before_saving(here, capsys):
    wide = "L " + " ".join(["*"] * 24)   # 24 points, 25 cells with the label
    a = write(here, "a.txt", group(1, ("L * #",)) + group(2, ("M * * * * *", wide)))
    b = write(here, "b.txt", group(1, (wide + " #",)))
    outcomes = both_paths(keywords(), f"{a};{b}", "", 20)
    assert outcomes[0] == outcomes[1]
    kind, message = outcomes[0]
    assert kind == "refused"
    # the first of the widest rows: b.txt's row is wider still
    assert f"line 4 of {b} holds 25 points" in message
    assert "need 26 columns" in message and "interval_columns is 20" in message
    assert "interval_columns of at least 26" in message
    assert saved_files(here) == []
    capsys.readouterr()
    # the width it asks for is enough, on both paths
    for kind, path in both_paths(keywords(), f"{a};{b}", "", 26):
        assert kind == "saved"
        ws = openpyxl.load_workbook(path)["Sheet"]
        assert ws.cell(row=7, column=2 * 26 + 26).value == "." and ws.cell(row=7, column=3 * 26 + 1).value == "LML"


def test_process_log_on_a_callers_workbook_still_runs_past_the_block(tmp_path):
    path = write(tmp_path, "log.txt", group(1, ("L * * * * *",)))
    wb = openpyxl.Workbook()
    Corvantis.processLog(path, 1, wb, 1, 2, keywords(), 3)
    ws = wb["Sheet"]
    assert [ws.cell(row=7, column=c).value for c in range(1, 7)] == ["L", "P", "P", "P", "P", "P"]


# --- what spreadsheet programs hold --------------------------------------------------


def test_more_columns_than_a_sheet_holds_are_refused(here, capsys):
    path = write(here, "log.txt", group(1, ("L * #",)))
    # 82 pairs of 200 columns: the summary block starts beyond column 16,384
    outcomes = both_paths(keywords(), path, ",".join(["1"] * 82), 200)
    assert outcomes[0] == outcomes[1]
    kind, message = outcomes[0]
    assert kind == "refused"
    assert "16,403 columns (82 datalog-site pairs of 200 columns" in message
    assert "16,384 columns spreadsheet programs hold" in message
    assert "interval_columns of at most 197" in message
    assert saved_files(here) == []
    capsys.readouterr()
    # the width it proposes fits
    assert Corvantis.getDatalogInfo(keywords(), path, ",".join(["1"] * 82), 197)
    # a caller's own workbook is the caller's business
    wb = openpyxl.Workbook()
    Corvantis.processLog(path, 1, wb, 82, 82, keywords(), 200)
    assert wb["Sheet"].cell(row=7, column=82 * 200 + 3).value == "."


def test_blocks_too_wide_for_the_rows_ask_for_fewer_pairs(here, capsys):
    wide = "L " + " ".join(["*"] * 300)
    path = write(here, "log.txt", group(1, (wide,)))
    with pytest.raises(ValueError, match=r"fewer datalog-site pairs per run \(at most 53 fit blocks of 301"):
        Corvantis.getDatalogInfo(keywords(), path, ",".join(["1"] * 60), 301)
    assert saved_files(here) == []


def test_more_rows_than_a_sheet_holds_are_refused(here, capsys):
    path = write(here, "log.txt", group(1, ("L * #",)) * 2)
    outcomes = both_paths(keywords(RowOffset="1048576"), path, "1", 20)
    # through the workbook library its own row check refuses first
    assert [kind for kind, _ in outcomes] == ["refused", "refused"] and "1048576" in outcomes[1][1]
    message = outcomes[0][1]
    assert "1,048,590 rows" in message and "1,048,576 rows spreadsheet programs hold" in message
    assert saved_files(here) == []
    # at the last row a sheet holds, it is saved
    capsys.readouterr()
    kind, path_saved = both_paths(keywords(RowOffset=str(1048576 - 14)), path, "1", 20)[0]
    assert kind == "saved"


# --- output names claimed by concurrent runs -----------------------------------------

RUNS = 6
CONCURRENT_RUN = """
import os, sys, time, types
shared, gate, me, how = sys.argv[1:5]
real_link = os.link

def link(src, dst, *args, **kwargs):
    # Every run reaches its claim of a name in the shared folder together, as
    # several testers finishing at once on one network share.
    if os.path.dirname(os.path.abspath(dst)) == shared:
        open(os.path.join(gate, me), "w").close()
        deadline = time.time() + 60
        while len(os.listdir(gate)) < {runs} and time.time() < deadline:
            time.sleep(0.005)
    if how == "no-links":
        raise PermissionError(1, "Operation not permitted", src, None, dst)
    return real_link(src, dst, *args, **kwargs)

os.link = link
from quorvane.Source import Corvantis
Corvantis.time = types.SimpleNamespace(time=time.time, localtime=time.localtime,
                                       strftime=lambda fmt, t: "2026_12_06_14_20_05")
if sys.argv[5] == "module":
    os.chdir(shared)
    table = Corvantis.getKeyWordFromSettingFile({settings!r})
    print(Corvantis.getDatalogInfo(table, sys.argv[6], "1", 20))
else:
    from quorvane.cli import main
    sys.exit(main(["extract", sys.argv[6], "--settings", sys.argv[7], "--out-dir", shared]))
""".format(runs=RUNS, settings=SETTINGS)


@pytest.mark.parametrize("how, entry", [("no-links", "module"), ("links", "module"), ("no-links", "cli")])
def test_concurrent_runs_in_one_second_each_get_their_own_file(tmp_path, how, entry):
    shared = tmp_path / "share"
    gate = tmp_path / "gate"
    shared.mkdir()
    gate.mkdir()
    logs = [write(tmp_path, f"log{k}.txt", group(1, (f"R{k} *",))) for k in range(RUNS)]
    settings = write(tmp_path, "settings.json", json.dumps(SETTINGS))
    procs = [subprocess.Popen([sys.executable, "-c", CONCURRENT_RUN, str(shared), str(gate), str(k), how, entry,
                               logs[k], settings], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
             for k in range(RUNS)]
    printed = []
    for proc in procs:
        out, err = proc.communicate(timeout=300)
        assert proc.returncode == 0, err
        printed.append(out.strip().splitlines()[-1].split("workbook: ")[-1])
    assert len(set(printed)) == RUNS
    assert sorted(os.path.basename(p) for p in printed) == sorted(os.listdir(shared))
    for k, path in enumerate(printed):
        # each run's own plot is in the file it printed
        assert openpyxl.load_workbook(path)["Sheet"].cell(row=7, column=1).value == f"R{k}"


# --- the command line ----------------------------------------------------------------


def cli_extract(capsys, *argv):
    from quorvane import cli
    code = cli.main(["extract", *map(str, argv)])
    out, err = capsys.readouterr()
    return code, out, err


def one_line_error(code, err):
    lines = err.strip().splitlines()
    assert code == 1 and len(lines) == 1 and lines[0].startswith("quorvane extract: error: "), err
    return lines[0]


def test_command_line_sizes_blocks_from_the_widest_row(here, capsys):
    settings = write(here, "settings.json", json.dumps(SETTINGS))
    wide = "L " + " ".join(["*"] * 30)
    a = write(here, "a.txt", group(1, ("N * #",)) + group(2, (wide,)))
    code, out, err = cli_extract(capsys, a, "--settings", settings, "--out-dir", here / "out")
    assert code == 0, err
    ws = openpyxl.load_workbook(out.strip().splitlines()[-1].split("workbook: ")[1])["Sheet"]
    # two blocks of 31 columns, then the summary block
    assert ws.cell(row=1, column=32).value == a and ws.cell(row=7, column=32 + 30).value == "P"
    assert ws.cell(row=7, column=63).value == "NL"
    # narrow plots keep the usual 20 columns
    b = write(here, "b.txt", group(1, ("N * #",)) + group(2, ("M #",)))
    code, out, err = cli_extract(capsys, b, "--settings", settings, "--out-dir", here / "out")
    ws = openpyxl.load_workbook(out.strip().splitlines()[-1].split("workbook: ")[1])["Sheet"]
    assert code == 0 and ws.cell(row=1, column=21).value == b


def test_command_line_names_the_real_cause_of_each_refusal(here, capsys):
    settings = write(here, "settings.json", json.dumps(SETTINGS))
    wide = "L " + " ".join(["*"] * 30)
    a = write(here, "a.txt", group(1, ("N * #",)) + group(2, (wide,)))
    code, _, err = cli_extract(capsys, a, "--settings", settings, "--interval-columns", 25)
    line = one_line_error(code, err)
    assert f"line 9 of {a} holds 30 points" in line and "--interval-columns of at least 31" in line
    assert "keyword_site" not in line
    code, _, err = cli_extract(capsys, a, "--settings", settings, "--interval-columns", 100000)
    line = one_line_error(code, err)
    assert "200,031 columns" in line and "16,384 columns" in line and "--interval-columns of at most 5461" in line
    assert "keyword_site" not in line
    bad = write(here, "bad.txt", "Site: one\n" + group(1))
    code, _, err = cli_extract(capsys, bad, "--settings", settings)
    assert "holds no site number" in one_line_error(code, err) and "keyword_site" in err
    assert not [n for n in os.listdir(here) if n.endswith(".xlsx")]
