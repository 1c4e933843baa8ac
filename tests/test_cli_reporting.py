"""What the command line reports, driven as a user runs it: the sites a datalog
prints, runs that find nothing, plots cut short, results on stdout and
diagnostics on stderr, one line with the real cause for each failure."""

import argparse
import json
import os
import re
import sys

import openpyxl
import pytest

from quorvane import samples

SETTINGS = samples.settings()


def plot_lines(site, rows=3):
    return ["  2001  Shmoo_VDD_vs_Freq  core_func_max", f"Site Number: {site}",
            "    Shmoo: VDD(V) vs Freq(MHz)", *[f"    1.{r}0V  P P ." for r in range(rows)],
            "    *** End of Shmoo ***", ""]


def write_log(path, sites, *, cut_after=None, extra=()):
    lines = ["Datalog", *[f"Site Number: {s}" for s in sites], ""]
    for site in sites:
        lines += plot_lines(site)
    lines += list(extra)
    if cut_after is not None:
        lines = lines[:cut_after]
    path.write_text("\n".join(lines) + "\n", encoding="utf-8")
    return path


@pytest.fixture
def settings(tmp_path):
    path = tmp_path / "settings.json"
    path.write_text(json.dumps(SETTINGS), encoding="utf-8")
    return path


def workbook_of(proc):
    [line] = proc.stdout.splitlines()
    assert line.startswith("workbook: ")
    return openpyxl.load_workbook(line.split(": ", 1)[1])["Sheet"]


def test_sites_are_taken_as_printed_in_numeric_order(tmp_path, settings, quorvane):
    # Leading zeros and a trailing space: the module's enumeration normalises
    # these away and then finds no line; blocks used to come in hash order.
    log = write_log(tmp_path / "log.txt", ["13 ", "05", "12", "4"])
    proc = quorvane("extract", log, "--settings", settings, cwd=tmp_path)
    assert proc.returncode == 0 and proc.stderr == "", proc.stderr
    sheet = workbook_of(proc)
    heads = [sheet.cell(row=4, column=1 + 20 * k).value for k in range(4)]
    assert heads == ["Site Number: 4\n", "Site Number: 05\n", "Site Number: 12\n", "Site Number: 13 \n"]
    assert all(sheet.cell(row=7, column=2 + 20 * k).value == "P" for k in range(4))

    # --sites spelled without the zero: reported with the datalog's spelling, and extracted.
    proc = quorvane("extract", log, "--settings", settings, "--sites", "5,7", cwd=tmp_path)
    assert proc.returncode == 0, proc.stderr
    warnings = proc.stderr.splitlines()
    assert len(warnings) == 2
    assert "site 5" in warnings[0] and "'Site Number: 05'" in warnings[0]
    assert "no site '7'" in warnings[1] and "'05', '12', '13 '" in warnings[1]
    assert workbook_of(proc).cell(row=4, column=1).value == "Site Number: 05\n"


def test_plot_readers_take_the_same_site_texts_as_the_extraction(tmp_path, settings, quorvane):
    import csv

    log = write_log(tmp_path / "log.txt", ["13 ", "05", "12", "4"])
    proc = quorvane("margins", log, "--settings", settings, "--summary", tmp_path / "s.csv", "--out",
                    tmp_path / "m.csv", cwd=tmp_path)
    assert proc.returncode == 0, proc.stderr
    with open(tmp_path / "s.csv", newline="", encoding="utf-8") as fh:
        rows = list(csv.DictReader(fh))
    # every printed site, spelled as printed, one plot each, in the workbook's order
    assert [(r["site"], r["plot"]) for r in rows] == [("4", "1"), ("05", "1"), ("12", "1"), ("13 ", "1")]


def test_runs_that_find_nothing_say_so(tmp_path, settings, quorvane, one_error_line):
    log = write_log(tmp_path / "log.txt", ["0", "1"])
    wrong = tmp_path / "wrong.json"
    wrong.write_text(json.dumps(dict(SETTINGS, keyword_start="SHMOO START")), encoding="utf-8")
    proc = quorvane("extract", log, "--settings", wrong, "--out-dir", tmp_path / "out", cwd=tmp_path)
    one_error_line(proc, "no shmoo plot found", str(log), "'SHMOO START'", "'End of Shmoo'")
    assert proc.stdout == ""
    assert not (tmp_path / "out").exists() or not list((tmp_path / "out").iterdir())

    # One pair without a plot is a warning; the other pair's plot is written.
    lonely = tmp_path / "lonely.txt"
    lonely.write_text("Site Number: 0\nSite Number: 1\n" + "\n".join(plot_lines(0)) + "\n", encoding="utf-8")
    proc = quorvane("extract", lonely, "--settings", settings, cwd=tmp_path)
    assert proc.returncode == 0
    assert proc.stderr.splitlines() == [f"quorvane extract: warning: {lonely}: no plot of site '1'"]


def test_a_plot_cut_short_is_reported_with_its_line(tmp_path, settings, quorvane):
    log = write_log(tmp_path / "log.txt", ["0", "1"], cut_after=17)  # inside site 1's plot
    text = log.read_text().splitlines()
    start = text.index("Site Number: 1", 4) + 2
    proc = quorvane("extract", log, "--settings", settings, cwd=tmp_path)
    assert proc.returncode == 0, proc.stderr
    assert f"{log} line {start}: the plot of site '1' that starts here never ends" in proc.stderr


def test_stdout_holds_results_and_verbose_shows_module_lines(tmp_path, settings, quorvane):
    log = write_log(tmp_path / "log.txt", ["0"])
    quiet = quorvane("extract", log, "--settings", settings, cwd=tmp_path)
    assert quiet.returncode == 0
    assert quiet.stdout.startswith("workbook: ") and len(quiet.stdout.splitlines()) == 1
    assert "totalsiteCnt" not in quiet.stdout + quiet.stderr
    loud = quorvane("extract", log, "--settings", settings, "--verbose", cwd=tmp_path)
    assert loud.stdout.startswith("workbook: ") and len(loud.stdout.splitlines()) == 1
    assert "totalsiteCnt= 1" in loud.stderr

    samples.write_shmoo_csv(tmp_path / "c.csv", count=3, seed=1)
    model = tmp_path / "not-a-model.pt"
    model.write_bytes(b"PK\x03\x04 certainly not a model")
    proc = quorvane("classify", model, tmp_path / "c.csv", cwd=tmp_path)
    # A file that is no model: one line, without a library warning before it.
    [line] = proc.stderr.splitlines()
    assert proc.returncode == 1 and line.startswith(f"quorvane classify: error: {model} is not a quorvane model")


def test_failures_name_their_real_cause(tmp_path, settings, quorvane, one_error_line):
    nested = tmp_path / "nested.json"
    nested.write_text("[" * 100000 + "]" * 100000, encoding="utf-8")
    proc = quorvane("extract", "log.txt", "--settings", nested, cwd=tmp_path)
    one_error_line(proc, "nested too deeply")

    # A picture format the plotting library cannot write is refused before any training.
    csv_path = samples.write_shmoo_csv(tmp_path / "t.csv", count=110, seed=2)
    proc = quorvane("train", csv_path, "-o", tmp_path / "m.pt", "--figure", tmp_path / "acc.xyz", cwd=tmp_path)
    one_error_line(proc, "acc.xyz", "'.xyz'", ".png")
    assert not (tmp_path / "m.pt").exists()


@pytest.mark.skipif(sys.platform != "linux", reason="file names of raw bytes")
def test_a_file_name_that_is_not_utf8_is_extracted(tmp_path, settings, quorvane):
    raw = os.fsencode(tmp_path) + b"/log\xff.txt"
    os.rename(write_log(tmp_path / "x.txt", ["0"]), raw)
    proc = quorvane("extract", os.fsdecode(raw), "--settings", settings, cwd=tmp_path)
    assert proc.returncode == 0, proc.stderr
    assert "keyword_site" not in proc.stderr
    assert workbook_of(proc).cell(row=1, column=1).value == f"{tmp_path}/log\ufffd.txt"


def test_a_full_disk_while_saving_the_model_is_one_line(tmp_path, quorvane, one_error_line):
    # A file-size limit stands in for a full disk: the write fails half-way.
    import resource
    import signal

    csv_path = samples.write_shmoo_csv(tmp_path / "t.csv", count=110, seed=2)
    limit = 40_000  # below the model's size; the run writes nothing else before it

    def preexec():
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))

    import subprocess

    def run(*args):
        return subprocess.run([sys.executable, "-m", "quorvane", *args], cwd=tmp_path, capture_output=True,
                              env=dict(os.environ, MPLBACKEND="Agg"), text=True, timeout=300, preexec_fn=preexec)

    proc = run("train", str(csv_path), "-o", "m.pt", "--epochs", "0")
    one_error_line(proc, "cannot write model file m.pt: File too large")
    assert sorted(p.name for p in tmp_path.iterdir()) == ["t.csv"]
    # Files that belong together: none left half-written under its name (the next run would refuse it).
    one_error_line(run("sample", "--out-dir", "s", "--records", "2000"), "File too large")
    assert list((tmp_path / "s").iterdir()) == []


def test_the_path_printed_is_the_file_written(tmp_path, quorvane, one_error_line):
    samples.write_shmoo_csv(tmp_path / "c.csv", count=4, seed=3)
    model = tmp_path / "m.pt"
    proc = quorvane("train", samples.write_shmoo_csv(tmp_path / "t.csv", count=104, seed=4), "-o", model,
                    "--epochs", 0, "--figure", tmp_path / "curve", cwd=tmp_path)
    assert proc.returncode == 0, proc.stderr
    assert f"figure: {tmp_path / 'curve.png'}" in proc.stdout.splitlines()
    assert (tmp_path / "curve.png").is_file() and not (tmp_path / "curve").exists()

    proc = quorvane("classify", model, "c.csv", "--grid", "mygrid", "--out", "p.csv", cwd=tmp_path)
    assert proc.returncode == 0, proc.stderr
    assert "grid: mygrid.png" in proc.stdout.splitlines()
    assert (tmp_path / "mygrid.png").read_bytes()[:4] == b"\x89PNG"

    (tmp_path / "folder").mkdir()
    proc = quorvane("classify", model, "c.csv", "--out", "folder", cwd=tmp_path)
    one_error_line(proc, "folder", "is a directory")


@pytest.mark.skipif(sys.platform != "linux", reason="pseudo-terminals")
def test_progress_shows_on_a_terminal_only(tmp_path, settings):
    import pty
    import subprocess

    log = tmp_path / "big.txt"
    log.write_text(samples.datalog_text(sites=4, items=5, seed=1) * 300, encoding="utf-8")
    master, slave = pty.openpty()
    proc = subprocess.Popen([sys.executable, "-m", "quorvane", "extract", str(log), "--settings", str(settings)],
                            cwd=tmp_path, stdout=subprocess.PIPE, stderr=slave, env=dict(os.environ, MPLBACKEND="Agg"))
    os.close(slave)
    seen = b""
    while True:
        try:
            chunk = os.read(master, 4096)
        except OSError:  # the terminal closes with the process
            break
        if not chunk:
            break
        seen += chunk
    os.close(master)
    out, _ = proc.communicate(timeout=300)
    assert proc.returncode == 0
    assert re.search(rb"\r\x1b\[Kquorvane extract: reading big\.txt: [1-9]\d% \(", seen)
    assert b"\r\x1b[Kquorvane extract: writing 6000 plot(s) into the workbook (" in seen
    assert seen.endswith(b"\r\x1b[K")  # the line is cleared before the result
    assert out.decode().startswith("workbook: ")


# -- the datalog commands alike, run in this process --------------------------------

@pytest.fixture(scope="module")
def model(tmp_path_factory):
    from quorvane import models
    from quorvane.Source import tavrine

    path = tmp_path_factory.mktemp("model") / "m.pt"
    models.save_model(path, tavrine.AlexNet(), {"input_shape": [1, 11, 11]})
    return path


def run_command(capsys, command, log, settings, model, out, *options):
    """(exit status, stderr) of margins, export or triage on one datalog, `out` its CSV."""
    from quorvane import cli

    argv = {"margins": ["margins", log, "--out", out], "export": ["export", log, "--shmoo-csv", out],
            "triage": ["triage", model, log, "--out", out], "extract": ["extract", log, "--out-dir", out]}[command]
    code = cli.main([os.fsdecode(a) for a in [*argv, "--settings", settings, *options]])
    return code, capsys.readouterr().err


def csv_column(command, out, column):
    import csv

    from quorvane.labelling import provenance_path

    with open(provenance_path(out) if command == "export" else out, newline="", encoding="utf-8") as fh:
        return {row[column] for row in csv.DictReader(fh)}


COMMANDS = ["margins", "export", "triage"]


@pytest.mark.parametrize("command", COMMANDS)
def test_every_datalog_command_takes_sites_and_finds_nothing_alike(command, tmp_path, settings, model, capsys,
                                                                      one_error_line):
    padded = write_log(tmp_path / "padded.txt", ["01"])
    code, err = run_command(capsys, command, padded, settings, model, tmp_path / "found.csv", "--sites", "1")
    assert code == 0, err
    assert "prints site 1 as 'Site Number: 01'" in err
    assert csv_column(command, tmp_path / "found.csv", "site") == {"01"}

    cut = write_log(tmp_path / "cut.txt", ["0"], cut_after=7)  # inside the only plot
    for log, options, fragments in [(padded, ["--sites", "7"], ["no site '7'", "prints are '01'"]),
                                    (cut, [], ["cut.txt line 6: the plot of site '0'", "never ends"])]:
        out = tmp_path / "none.csv"
        code, err = run_command(capsys, command, log, settings, model, out, *options)
        one_error_line(argparse.Namespace(returncode=code, stderr=err), "no shmoo plot found", *fragments)
        assert not out.exists()


@pytest.mark.parametrize("command", COMMANDS)
def test_each_datalog_is_read_once(command, tmp_path, settings, model, capsys, monkeypatch):
    import builtins

    log = write_log(tmp_path / "log.txt", ["0", "1"])
    real_open = builtins.open
    opened = []

    def counting_open(file, *args, **kwargs):
        opened.append(file)
        return real_open(file, *args, **kwargs)

    monkeypatch.setattr(builtins, "open", counting_open)
    code, err = run_command(capsys, command, log, settings, model, tmp_path / "out.csv")
    assert code == 0, err
    assert [os.fspath(f) for f in opened if not isinstance(f, int)].count(str(log)) == 1


@pytest.mark.skipif(sys.platform != "linux", reason="file names of raw bytes")
@pytest.mark.parametrize("command", COMMANDS)
def test_a_datalog_name_that_is_not_utf8_shows_with_a_replacement_mark(command, tmp_path, settings, model, capsys):
    raw = os.fsencode(tmp_path) + b"/log\xff.txt"
    os.rename(write_log(tmp_path / "x.txt", ["0"]), raw)
    code, err = run_command(capsys, command, os.fsdecode(raw), settings, model, tmp_path / "out.csv")
    assert code == 0, err
    assert csv_column(command, tmp_path / "out.csv", "datalog") == {f"{tmp_path}/log\ufffd.txt"}


def test_a_full_disk_while_writing_the_verdicts_is_named_as_a_write(tmp_path, settings, model, one_error_line):
    import resource
    import signal
    import subprocess

    log = write_log(tmp_path / "log.txt", [str(s) for s in range(40)])

    def preexec():  # a file-size limit stands in for a full disk
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (1000, 1000))

    proc = subprocess.run([sys.executable, "-m", "quorvane", "triage", str(model), str(log), "--settings",
                           str(settings), "--out", "v.csv"], cwd=tmp_path, env=dict(os.environ, MPLBACKEND="Agg"),
                          capture_output=True, text=True, timeout=300, preexec_fn=preexec)
    one_error_line(proc, "cannot write v.csv", "File too large")


@pytest.mark.parametrize("command", [*COMMANDS, "extract"])
def test_a_datalog_line_past_the_bound_is_refused_before_it_is_held(command, tmp_path, settings, model, capsys,
                                                                       one_error_line):
    from quorvane.plots import MAX_LINE

    log = tmp_path / "prealloc.txt"
    log.write_bytes(b"Site Number: 0\n" + b"\0" * (MAX_LINE + 1))
    code, err = run_command(capsys, command, log, settings, model, tmp_path / "out")
    one_error_line(argparse.Namespace(returncode=code, stderr=err), "prealloc.txt: line 2 is longer than",
                   f"{MAX_LINE:,} characters")


@pytest.mark.parametrize("command", ["export", "triage"])
def test_a_scoring_failure_is_named_as_one(command, tmp_path, settings, model, capsys, monkeypatch, one_error_line):
    from quorvane import classification, triage

    def failing(*_args, **_kwargs):
        raise ValueError("expected a batch of 11 x 11 plots")

    monkeypatch.setattr(classification, "predicted_texts", failing)
    monkeypatch.setattr(triage, "_scores", failing)
    log = write_log(tmp_path / "log.txt", ["0"])
    options = ["--model", model] if command == "export" else []
    code, err = run_command(capsys, command, log, settings, model, tmp_path / "out.csv", *options)
    one_error_line(argparse.Namespace(returncode=code, stderr=err), f"cannot classify the plots with {model}",
                   "expected a batch of 11 x 11 plots")



# -- standard output and what triage writes where -----------------------------------

@pytest.mark.parametrize("command, said", [("triage", "2 plot(s) classified"), ("classify", "predictions equal")])
def test_a_csv_named_dash_goes_to_standard_output_and_the_run_lines_to_stderr(command, said, tmp_path, settings,
                                                                               model, capsys, monkeypatch):
    from quorvane import cli

    monkeypatch.chdir(tmp_path)
    given = [model, write_log(tmp_path / "log.txt", ["0", "1"]), "--settings", settings] if command == "triage" \
        else [model, samples.write_shmoo_csv(tmp_path / "s.csv", 6)]
    outputs = []
    for out in ("-", "file.csv"):
        code = cli.main([command, *map(os.fsdecode, given), "--out", out])
        outputs.append(capsys.readouterr())
        assert code == 0, outputs[-1].err
    assert outputs[0].out.splitlines() == (tmp_path / "file.csv").read_text(encoding="utf-8").splitlines()
    assert said in outputs[0].err and said in outputs[1].out
    assert not (tmp_path / "-").exists()


def test_export_refuses_to_send_its_csv_to_standard_output(tmp_path, settings, model, capsys, monkeypatch,
                                                           one_error_line):
    monkeypatch.chdir(tmp_path)
    code, err = run_command(capsys, "export", write_log(tmp_path / "log.txt", ["0"]), settings, model, "-")
    one_error_line(argparse.Namespace(returncode=code, stderr=err), "--shmoo-csv -", "give a file name")
    assert not [name for name in os.listdir(tmp_path) if name.startswith("-")]


def test_triage_workbook_goes_to_out_dir(tmp_path, settings, model, capsys, monkeypatch):
    monkeypatch.chdir(tmp_path)
    code, err = run_command(capsys, "triage", write_log(tmp_path / "log.txt", ["0"]), settings, model,
                            tmp_path / "v.csv", "--workbook", "--out-dir", "books")
    assert code == 0, err
    assert [p.suffix for p in (tmp_path / "books").iterdir()] == [".xlsx"]
    assert not list(tmp_path.glob("*.xlsx"))


def test_triage_says_what_its_summary_leaves_out_and_lists_all_with_all(tmp_path, settings, model, capsys):
    from quorvane import cli

    # 42 plots, every one for review under an untrained model; the summary keeps 40.
    log = write_log(tmp_path / "log.txt", ["0"], extra=plot_lines("0") * 41)
    listed = {}
    for options in ([], ["--all"]):
        assert cli.main([os.fsdecode(a) for a in ["triage", model, log, "--settings", settings, *options]]) == 0
        out = capsys.readouterr().out
        listed[bool(options)] = (len(re.findall(r"site 0 plot \d+ 3x3", out)), re.findall(r"\.\.\. and .*", out))
    assert listed == {False: (40, ["... and 2 more (--all lists every one)"]), True: (42, [])}


def test_a_grid_label_that_matches_nothing_is_said_and_draws_nothing(tmp_path, settings, model, capsys):
    from quorvane import cli

    log = write_log(tmp_path / "log.txt", ["0"])
    code = cli.main([os.fsdecode(a) for a in ["triage", model, log, "--settings", settings, "--label", "Hole",
                                              "--grid", tmp_path / "g.png"]])
    out = capsys.readouterr().out
    assert code == 0 and "grid: no plot's label holds Hole; no picture written" in out.splitlines()
    assert not (tmp_path / "g.png").exists()
