"""The command line end to end on generated data, in process (main(argv))."""

import csv
import json
import re

import openpyxl
import pytest

from quorvane import calibration, cli, classification, extraction, figures, models, samples, training
from quorvane.errors import CliError
from quorvane.symbols import LABEL_KEYS

PNG_MAGIC = b"\x89PNG\r\n\x1a\n"
GREEN, RED, YELLOW = "00EE00", "DC143C", "FFFF00"


def run(capsys, *argv):
    code = cli.main([str(a) for a in argv])
    out, err = capsys.readouterr()
    return code, out, err


def assert_one_line_error(code, err, *fragments):
    assert code == 1
    lines = err.strip().splitlines()
    assert len(lines) == 1, err
    assert "Traceback" not in err
    assert lines[0].startswith("quorvane ")
    for fragment in fragments:
        assert fragment in lines[0], lines[0]


def _fill(cell):
    return cell.fill.fill_type == "solid" and cell.fill.start_color.rgb[-6:]


# -- sample -------------------------------------------------------------------------


def test_sample_writes_the_three_kinds_of_file(tmp_path, capsys):
    code, out, _ = run(capsys, "sample", "--out-dir", tmp_path, "--records", 25, "--sites", 2,
                       "--items", 1, "--datalogs", 2, "--seed", 4, "--picture", tmp_path / "classes.png")
    assert code == 0
    names = sorted(p.name for p in tmp_path.iterdir())
    assert names == ["SHM_keywords_setting.json", "classes.png", "sample_datalog_1.txt", "sample_datalog_2.txt",
                     "sample_shmoo.csv"]
    assert (tmp_path / "classes.png").read_bytes()[:8] == PNG_MAGIC
    for name in names:
        assert str(tmp_path / name) in out
    assert len((tmp_path / "sample_shmoo.csv").read_text().splitlines()) == 25 * 12
    assert (tmp_path / "sample_datalog_1.txt").read_text() == samples.datalog_text(2, 1, 4000)


@pytest.mark.parametrize("argv", [["--records", "0"], ["--sites", "x"], ["--items", "-1"], ["--bogus"]])
def test_sample_argument_errors_exit_2(tmp_path, capsys, argv):
    with pytest.raises(SystemExit) as exc:
        cli.main(["sample", "--out-dir", str(tmp_path), *argv])
    assert exc.value.code == 2
    assert "usage:" in capsys.readouterr().err


# -- extract ------------------------------------------------------------------------


@pytest.fixture
def sample_dir(tmp_path):
    samples.write_samples(tmp_path, records=20, sites=3, items=2, datalogs=2, seed=1)
    return tmp_path


def _datalog_plot_rows(path, site, group):
    """Symbol rows of the group-th plot of `site`, straight from the datalog text."""
    lines = path.read_text().splitlines()
    found = -1
    selected = False
    for i, line in enumerate(lines):
        if line.startswith("Site Number: "):
            selected = line == f"Site Number: {site}"
        elif selected and line.strip().startswith("Shmoo:"):
            found += 1
            selected = False
            if found == group:
                rows = [ln.split() for ln in lines[i + 1 :] if "VBT error" not in ln]
                return rows[:11]
    raise AssertionError("plot not found")


def test_extract_writes_every_site_of_the_datalog(sample_dir, capsys, monkeypatch):
    monkeypatch.chdir(sample_dir)  # the default settings file is looked up here
    out_dir = sample_dir / "out"
    code, out, err = run(capsys, "extract", "sample_datalog_1.txt", "--out-dir", out_dir)
    assert code == 0, err
    assert "totalsiteCnt" not in out and "totalsiteCnt" not in err  # module chatter stays hidden
    match = re.search(r"^workbook: (.+\.xlsx)$", out, re.M)
    path = match.group(1)
    assert re.fullmatch(re.escape(str(out_dir)) + r"/shmplot_\d{4}(_\d\d){5}\.xlsx", path)
    sheet = openpyxl.load_workbook(path)["Sheet"]
    log = sample_dir / "sample_datalog_1.txt"
    width, pairs = 20, 3
    for k in range(pairs):
        base = k * width
        assert sheet.cell(row=1, column=base + 1).value == str(log.resolve())
        for group in range(2):
            # Each group: item line, site line, plot start line, then the plot lines; one empty row between.
            top = 3 + group * 18
            assert sheet.cell(row=top + 1, column=base + 1).value == f"Site Number: {k}\n"
            for i, expected in enumerate(_datalog_plot_rows(log, k, group)):
                row = top + 4 + i
                assert sheet.cell(row=row, column=base + 1).value == expected[0]
                for j, symbol in enumerate(expected[1:], start=2):
                    cell = sheet.cell(row=row, column=base + j)
                    assert cell.value == symbol
                    assert _fill(cell) == (GREEN if symbol == "P" else RED)
    # Summary block: all three sites concatenated, yellow where they disagree.
    first_rows = [_datalog_plot_rows(log, k, 0) for k in range(pairs)]
    for i in range(11):
        for j in range(1, 12):
            cell = sheet.cell(row=3 + 4 + i, column=pairs * width + 1 + j)
            symbols = "".join(rows[i][j] for rows in first_rows)
            assert cell.value == symbols
            assert (_fill(cell) == YELLOW) == ("P" in symbols and "." in symbols)


def test_extract_selects_sites_per_datalog(sample_dir, capsys):
    settings = sample_dir / samples.SETTINGS_FILE_NAME
    logs = [sample_dir / "sample_datalog_1.txt", sample_dir / "sample_datalog_2.txt"]
    code, out, err = run(capsys, "extract", *logs, "--settings", settings, "--sites", "2, 0",
                         "--out-dir", sample_dir, "--interval-columns", 15)
    assert code == 0, err
    # Two sites of the first datalog, every site (3) of the second.
    sheet = openpyxl.load_workbook(out.strip().splitlines()[-1].split(": ", 1)[1])["Sheet"]
    assert sheet.cell(row=4, column=1).value == "Site Number: 2\n"
    assert sheet.cell(row=4, column=16).value == "Site Number: 0\n"
    assert sheet.cell(row=4, column=31).value == "Site Number: 0\n"
    assert sheet.cell(row=1, column=31).value == str(logs[1].resolve())
    assert err == ""
    code, out, err = run(capsys, "extract", logs[0], "--settings", settings, "--sites", "1,7", "--out-dir", sample_dir)
    assert code == 0
    assert err.splitlines() == [
        f"quorvane extract: warning: {logs[0]} announces no site '7'; the sites it prints are '0', '1', '2'"]


@pytest.mark.parametrize(
    "sites, expected",
    [
        (None, ""),
        (["0,1"], "0,1"),
        ([" 1 , 2 "], "1,2"),
        (["0;2"], "0;2"),
        (["0", "1,3"], "0;1,3"),
        (["", "1"], ";1"),
    ],
)
def test_site_lists(sites, expected):
    assert extraction.site_label(sites, 2) == expected


@pytest.mark.parametrize("sites, fragment", [(["0", "1", "2"], "3 site lists"), (["0,,1"], "empty site"),
                                             (["a"], "integers")])
def test_bad_site_lists(sites, fragment):
    with pytest.raises(CliError, match=fragment):
        extraction.site_label(sites, 2)


def _write_settings(path, **changes):
    data = samples.settings()
    data.update(changes)
    for key, value in list(data.items()):
        if value is None:
            del data[key]
    path.write_text(json.dumps(data))
    return path


@pytest.mark.parametrize(
    "make_settings, fragments",
    [
        (lambda p: p, ["settings file not found", "nope.json"]),
        (lambda p: (p.write_text('{"keyword_item": "x",'), p)[1], ["not valid JSON", "line 1"]),
        (lambda p: (p.write_text("[1, 2]"), p)[1], ["must hold a JSON object"]),
        (lambda p: _write_settings(p, keyword_site=None), ["lacks the key 'keyword_site'"]),
        (lambda p: _write_settings(p, keyword_end=5), ["'keyword_end'", "must be a string"]),
        (lambda p: _write_settings(p, keyword_item="(Shmoo"), ["'keyword_item'", "regular expression"]),
        (lambda p: _write_settings(p, keyword_fail="[."), ["'keyword_fail'", "regular expression"]),
        (lambda p: _write_settings(p, keyword_start=""), ["'keyword_start'", "must not be empty"]),
    ],
)
def test_extract_settings_errors(sample_dir, capsys, make_settings, fragments):
    settings = make_settings(sample_dir / "nope.json")
    code, out, err = run(capsys, "extract", sample_dir / "sample_datalog_1.txt", "--settings", settings,
                         "--out-dir", sample_dir / "out")
    assert_one_line_error(code, err, "extract: error:", *fragments)
    assert not list((sample_dir).glob("**/shmplot_*.xlsx"))


def test_extract_default_settings_missing(tmp_path, capsys, monkeypatch):
    monkeypatch.chdir(tmp_path)
    log = samples.write_datalog(tmp_path / "log.txt", 2, 1, 0)
    code, _, err = run(capsys, "extract", log)
    assert_one_line_error(code, err, "settings file not found: SHM_keywords_setting.json")


@pytest.mark.parametrize(
    "make_log, fragments",
    [
        (lambda d: d / "missing.txt", ["datalog not found", "missing.txt"]),
        (lambda d: d, ["datalog is a directory"]),
        (lambda d: (d / "bin.txt").write_bytes(b"Site Number: 0\n\xff\xfe\x00 broken\n") and d / "bin.txt",
         ["bin.txt holds binary data"]),
    ],
)
def test_extract_unreadable_datalog(sample_dir, capsys, make_log, fragments):
    code, _, err = run(capsys, "extract", sample_dir / "sample_datalog_1.txt", make_log(sample_dir),
                       "--settings", sample_dir / samples.SETTINGS_FILE_NAME, "--out-dir", sample_dir / "out")
    assert_one_line_error(code, err, *fragments)
    assert not list((sample_dir).glob("**/shmplot_*.xlsx"))


def test_extract_site_label_shorter_than_the_datalogs_is_warned_about(sample_dir, capsys):
    # With the marker "Site" the datalog's lines "Site Number: k" announce the
    # sites " Number: k": extracted as printed, with a warning per odd site text.
    settings = _write_settings(sample_dir / "s.json", keyword_site="Site")
    code, out, err = run(capsys, "extract", sample_dir / "sample_datalog_1.txt", "--settings", settings,
                         "--out-dir", sample_dir)
    assert code == 0, err
    assert err.count("is not a number") == 3 and "keyword_site" in err
    sheet = openpyxl.load_workbook(out.strip().splitlines()[-1].split(": ", 1)[1])["Sheet"]
    assert [sheet.cell(row=4, column=1 + 20 * k).value for k in range(3)] == [
        f"Site Number: {k}\n" for k in range(3)]


# -- train and classify --------------------------------------------------------------


@pytest.fixture(scope="module")
def trained(tmp_path_factory):
    d = tmp_path_factory.mktemp("trained")
    csv_path = samples.write_shmoo_csv(d / "train.csv", count=180, seed=3)
    model = d / "model.pt"
    net, info = training.run_train(csv_path, model, epochs=3, batch_size=16, lr=0.01, seed=0)
    return d, csv_path, model, net, info


def test_train_saves_model_and_figure(trained):
    d, csv_path, model, _, info = trained
    assert model.is_file()
    figure = d / "model_accuracy.png"
    assert info["figure"] == str(figure)
    assert figure.read_bytes()[:8] == PNG_MAGIC
    assert info["train_samples"] == 181 - 100 and info["test_samples"] == 100
    assert 0.0 <= info["test_accuracy"] <= info["test_accuracy_pass_fail"] <= 1.0


def test_model_file_is_a_plain_dict_loadable_with_weights_only(trained):
    import torch

    _, _, model, net, _ = trained
    payload = torch.load(model, weights_only=True)
    assert type(payload) is dict
    assert payload["format"] == "quorvane-shmoo-model" and payload["network"] == "AlexNet"
    assert payload["labels"] == ["Fail", "Pass", "Vol", "Freq", "Marginal", "Hole"]
    assert payload["input_shape"] == [1, 11, 11]
    assert set(payload["state_dict"]) == set(net.state_dict())


def test_reloaded_model_predicts_the_same(trained, capsys):
    import torch

    _, _, model, net, _ = trained
    loaded, _ = models.load_model(model)
    plots = torch.tensor(
        [[[float(v) for v in row] for row in plot] for _, plot in samples.labelled_plots(40, seed=99)]
    ).unsqueeze(1)
    net.eval()
    with torch.no_grad():
        torch.testing.assert_close(loaded(plots), net(plots), rtol=1e-5, atol=1e-6)
    assert classification.predicted_texts(net, plots) == classification.predicted_texts(loaded, plots)


def test_train_command_prints_progress_and_paths(tmp_path, capsys):
    csv_path = samples.write_shmoo_csv(tmp_path / "t.csv", count=130, seed=5)
    model = tmp_path / "sub" / "m.pt"
    code, out, err = run(capsys, "train", csv_path, "-o", model, "--epochs", 2, "--batch-size", 10,
                         "--seed", 1, "--figure", tmp_path / "acc.png", "--verbose")
    assert code == 0, err
    lines = out.splitlines()
    # The modules' own lines are diagnostics: on stderr, and only with --verbose.
    assert not [ln for ln in lines if ln.startswith(("epoch ", "The Training"))]
    assert "The Training Data Set Count is:  130" in err
    progress = [ln for ln in err.splitlines() if ln.startswith("epoch ")]
    assert [ln.split(",")[0] for ln in progress] == ["epoch 1", "epoch 2"]
    assert all(re.fullmatch(r"epoch \d+, loss \d+\.\d{4}, train acc [01]\.\d{3}, test acc [01]\.\d{3}, "
                            r"test acc P/F [01]\.\d{3}", ln) for ln in progress)
    assert f"model: {model}" in lines and f"figure: {tmp_path / 'acc.png'}" in lines
    assert model.is_file() and (tmp_path / "acc.png").read_bytes()[:8] == PNG_MAGIC


def test_train_avoids_a_last_batch_of_one(tmp_path, capsys):
    # 110 records + the seed sample leave 11 training samples: batches of 5, 5 and 1.
    csv_path = samples.write_shmoo_csv(tmp_path / "t.csv", count=110, seed=6)
    code, out, err = run(capsys, "train", csv_path, "-o", tmp_path / "m.pt", "--epochs", 1, "--batch-size", 5,
                         "-v")
    assert code == 0, err
    assert "epoch 1, loss" in err


@pytest.mark.parametrize(
    "records, fragments",
    [(100, ["holds 100 records", "more than 100"]), (0, ["holds 0 records"])],
)
def test_train_refuses_too_small_files(tmp_path, capsys, records, fragments):
    csv_path = samples.write_shmoo_csv(tmp_path / "t.csv", count=records, seed=1)
    code, _, err = run(capsys, "train", csv_path, "-o", tmp_path / "m.pt")
    assert_one_line_error(code, err, "train: error:", *fragments)
    assert not (tmp_path / "m.pt").exists()


def test_train_warns_about_a_malformed_record(tmp_path, capsys):
    csv_path = samples.write_shmoo_csv(tmp_path / "t.csv", count=130, seed=2)
    lines = csv_path.read_text().splitlines()
    lines[12 * 120 + 3] = "P,P,X,P,P,P,P,P,P,P,P"  # record 121 of 130 is broken
    csv_path.write_text("\n".join(lines) + "\n")
    code, _, err = run(capsys, "train", csv_path, "-o", tmp_path / "m.pt", "--epochs", 1)
    assert code == 0
    assert "warning: read 120 of 130 records" in err


def test_train_missing_csv_and_batch_of_one(tmp_path, capsys):
    code, _, err = run(capsys, "train", tmp_path / "none.csv", "-o", tmp_path / "m.pt")
    assert_one_line_error(code, err, "shmoo CSV not found")
    csv_path = samples.write_shmoo_csv(tmp_path / "t.csv", count=120, seed=1)
    code, _, err = run(capsys, "train", csv_path, "-o", tmp_path / "m.pt", "--batch-size", 1)
    assert_one_line_error(code, err, "batch size must be at least 2")


@pytest.mark.parametrize("argv", [["--epochs", "-1"], ["--batch-size", "0"], ["--lr", "0"], ["--lr", "nan"]])
def test_train_argument_errors_exit_2(tmp_path, capsys, argv):
    with pytest.raises(SystemExit) as exc:
        cli.main(["train", str(tmp_path / "x.csv"), *argv])
    assert exc.value.code == 2


def _label_ok(text):
    keys = text.split("-")
    return set(keys) <= set(LABEL_KEYS) and (("Pass" in keys) != ("Fail" in keys))


def test_classify_prints_a_table(trained, tmp_path, capsys):
    _, _, model, net, _ = trained
    records = samples.labelled_plots(9, seed=21)
    csv_path = samples.write_shmoo_csv(tmp_path / "c.csv", count=9, seed=21)
    code, out, err = run(capsys, "classify", model, csv_path)
    assert code == 0, err
    lines = out.splitlines()
    assert lines[0].split() == ["record", "label", "in", "file", "predicted"]
    rows = [ln.split() for ln in lines[1:10]]
    assert [int(r[0]) for r in rows] == list(range(1, 10))
    assert [r[1] for r in rows] == [label for label, _ in records]
    assert all(_label_ok(r[2]) for r in rows)
    assert re.fullmatch(r"\d+ of 9 predictions equal the file's labels \(.*\); pass/fail agrees on \d+ \(.*\)",
                        lines[10])
    # The dataset's own progress lines stay out of the table (and, without --verbose, out of sight).
    assert "The Training Data Set Count" not in out + err
    plots = figures.tavrine().CsvDataset_Test(str(csv_path)).X_train
    net.eval()
    scores = net(plots).tolist()
    assert [r[2] for r in rows] == [calibration.label_of(calibration.probabilities(None, s)) for s in scores]


def test_classify_writes_csv_and_grid(trained, tmp_path, capsys):
    import torch

    _, _, trained_model, net, _ = trained
    # A model file carrying a calibration: the probabilities are its reading of the raw scores.
    fitted = {"Pass": [3.0, 0.4], "Vol": [6.0, -2.5], "Freq": [5.0, -3.0], "Marginal": [7.0, -3.5],
              "Hole": [4.0, -2.0]}
    model = tmp_path / "calibrated.pt"
    torch.save({**torch.load(trained_model, weights_only=True), "calibration": fitted}, model)
    csv_path = samples.write_shmoo_csv(tmp_path / "c.csv", count=14, seed=22)
    out_csv, grid = tmp_path / "o" / "pred.csv", tmp_path / "o" / "grid.png"
    code, out, err = run(capsys, "classify", model, csv_path, "--out", out_csv, "--grid", grid, "--grid-limit", 8)
    assert code == 0, err
    assert "record" not in out  # no table when writing a file
    with open(out_csv, newline="") as fh:
        rows = list(csv.reader(fh))
    assert rows[0] == ["record", "label_in_file", "predicted", *(f"p_{k}" for k in LABEL_KEYS), "review", "why"]
    net.eval()
    with torch.no_grad():
        scores = net(figures.tavrine().CsvDataset_Test(str(csv_path)).X_train).tolist()
    for row, raw in zip(rows[1:], scores, strict=True):
        probs = calibration.probabilities(fitted, raw)
        assert [float(p) for p in row[3:9]] == pytest.approx(probs, abs=1e-4)
        assert row[2] == calibration.label_of(probs) and (row[9] == "yes") == bool(row[10])
    assert [r[0] for r in rows[1:]] == [str(i) for i in range(1, 15)]
    assert [r[1] for r in rows[1:]] == [label for label, _ in samples.labelled_plots(14, seed=22)]
    assert all(_label_ok(r[2]) for r in rows[1:])
    assert grid.read_bytes()[:8] == PNG_MAGIC
    assert f"predictions: {out_csv}" in out and f"grid: {grid}" in out


def test_classify_accepts_unlabelled_and_wider_plots(trained, tmp_path, capsys):
    _, _, model, _, _ = trained
    body = "\n".join(",".join("P" if c < 9 else "." for c in range(13)) for _ in range(11))
    csv_path = tmp_path / "u.csv"
    csv_path.write_text(("unknown" + "," * 12 + "\n" + body + "\n") * 2)
    code, out, err = run(capsys, "classify", model, csv_path)
    assert code == 0, err
    rows = [ln.split() for ln in out.splitlines()[1:]]
    assert [r[1] for r in rows] == ["unknown", "unknown"] and all(_label_ok(r[2]) for r in rows)
    assert "predictions equal" not in out  # no agreement line without label texts


@pytest.mark.parametrize(
    "make_model, fragments",
    [
        (lambda d: d / "none.pt", ["model file not found"]),
        (lambda d: (d / "t.pt").write_text("hello") and d / "t.pt", ["is not a quorvane model file"]),
        ("plain-dict", ["is not a quorvane model file"]),
        ("object", ["is not a quorvane model file"]),
        ("wrong-weights", ["does not hold AlexNet weights"]),
    ],
)
def test_classify_model_errors(trained, tmp_path, capsys, make_model, fragments):
    import torch

    d, csv_path, model, _, _ = trained
    if make_model == "plain-dict":
        path = tmp_path / "d.pt"
        torch.save({"state_dict": {}}, path)
    elif make_model == "object":
        # Arbitrary pickled objects are refused rather than executed.
        path = tmp_path / "o.pt"
        torch.save({"format": "quorvane-shmoo-model", "x": argparse_namespace()}, path)
    elif make_model == "wrong-weights":
        path = tmp_path / "w.pt"
        payload = torch.load(model, weights_only=True)
        payload["state_dict"] = {"conv1.0.weight": torch.zeros(3)}
        torch.save(payload, path)
    else:
        path = make_model(tmp_path)
    code, _, err = run(capsys, "classify", path, csv_path)
    assert_one_line_error(code, err, "classify: error:", *fragments)


@pytest.fixture
def failing_and_passing_plot(tmp_path, shmoo_datalog, monkeypatch):
    """A datalog whose site 0 plot fails at every point and site 1 plot passes at
    every point, with its settings, and the two plots as shmoo CSV records."""
    monkeypatch.chdir(tmp_path)
    samples.write_settings(tmp_path / samples.SETTINGS_FILE_NAME)
    shmoo_datalog(tmp_path / "log.txt", [{0: [[0] * 11] * 11, 1: [[1] * 11] * 11}])
    assert cli.main(["export", "log.txt", "--shmoo-csv", "records.csv"]) == 0
    return tmp_path


def _model_with(path, tensor, value):
    """An untrained AlexNet saved with every weight of `tensor` set to `value`."""
    import torch

    from quorvane.Source import tavrine

    net = tavrine.AlexNet()
    with torch.no_grad():
        net.state_dict()[tensor].fill_(value)
    models.save_model(path, net, {"input_shape": [1, 11, 11]})
    return path


# Each command's arguments for a model, and how it names the passing plot.
COMMANDS_WITH_A_MODEL = {
    "triage": (lambda model: ["triage", model, "log.txt", "--out", "verdicts.csv"], "datalog log.txt site 1 plot 1"),
    "export": (lambda model: ["export", "log.txt", "--shmoo-csv", "labelled.csv", "--model", model],
               "datalog log.txt site 1 plot 1"),
    "classify": (lambda model: ["classify", model, "records.csv", "--out", "predicted.csv"], "records.csv record 2"),
}


@pytest.mark.parametrize("command", COMMANDS_WITH_A_MODEL)
@pytest.mark.parametrize("tensor, value, error", [
    ("conv2.0.weight", float("nan"), "model {model} holds non-finite weights (first: conv2.0.weight); retrain it"),
    ("conv2.0.weight", float("inf"), "model {model} holds non-finite weights (first: conv2.0.weight); retrain it"),
    # Finite weights this large overflow on the passing plot only: the run
    # stops there instead of giving it a verdict.
    ("conv1.0.weight", 1e38, "the model's scores for {plot} are not finite numbers"),
], ids=["nan", "inf", "overflow"])
def test_a_model_that_scores_nan_is_refused(failing_and_passing_plot, capsys, command, tensor, value, error):
    model = _model_with(failing_and_passing_plot / "m.pt", tensor, value)
    argv, plot = COMMANDS_WITH_A_MODEL[command]
    capsys.readouterr()
    code, _, err = run(capsys, *argv(model))
    assert_one_line_error(code, err, f"{command}: error: " + error.format(model=model, plot=plot))
    assert not {"verdicts.csv", "labelled.csv", "predicted.csv"} & {p.name for p in model.parent.iterdir()}


def _model_saying(path, label):
    """A model that scores every plot as `label` (last layer's weights zero, its bias the label vector)."""
    import torch

    from quorvane.Source import tavrine

    net = tavrine.AlexNet()
    with torch.no_grad():
        net.state_dict()["fc3.0.weight"].zero_()
        net.state_dict()["fc3.0.bias"].copy_(torch.tensor([float(k in label.split("-")) for k in LABEL_KEYS]))
    models.save_model(path, net, {})
    return path


def _labels_written(command, path):
    if command == "export":
        return {line.split(",")[0] for line in path.read_text().splitlines()[::12]}
    with open(path, newline="", encoding="utf-8") as fh:
        return {row["predicted"] for row in csv.DictReader(fh)}


# Where each command takes its input and writes its labels; the model goes first
# in the earlier form, options may stand between it and the input.
MODEL_SPELLINGS = {
    "triage": (["log.txt", "--out", "out.csv"], ["given.pt", "--out", "out.csv", "log.txt"]),
    "classify": (["records.csv", "--out", "out.csv"], ["given.pt", "--out", "out.csv", "records.csv"]),
    "export": (["log.txt", "--shmoo-csv", "out.csv", "--model"], None),
}


@pytest.mark.parametrize("command, spelling", [(c, s) for c in MODEL_SPELLINGS for s in ("bundled", "--model", "first")
                                               if MODEL_SPELLINGS[c][1] is not None or s != "first"])
def test_the_bundled_model_scores_unless_a_model_is_given(failing_and_passing_plot, monkeypatch, capsys, command,
                                                         spelling):
    bundled = _model_saying(failing_and_passing_plot / "bundled.pt", "Pass-Vol")
    _model_saying(failing_and_passing_plot / "given.pt", "Pass-Freq")
    monkeypatch.setattr(models, "bundled_model_path", lambda: bundled)
    plain, model_first = MODEL_SPELLINGS[command]
    argv = {"bundled": plain, "--model": [*plain, *(["given.pt"] if command == "export" else ["--model", "given.pt"])],
            "first": model_first}[spelling]
    code, _, err = run(capsys, command, *argv)
    assert code == 0, err
    expected = "Pass-Vol" if spelling == "bundled" else "Pass-Freq"
    assert _labels_written(command, failing_and_passing_plot / "out.csv") == {expected}


def test_choosing_the_model_fails_in_one_line(failing_and_passing_plot, monkeypatch, capsys):
    given = _model_saying(failing_and_passing_plot / "given.pt", "Pass")
    monkeypatch.setattr(models, "bundled_model_path", lambda: failing_and_passing_plot / "data" / "bundled_model.pt")
    for argv in (["triage", "log.txt"], ["classify", "records.csv"], ["export", "log.txt", "--shmoo-csv", "o.csv",
                                                                     "--model"]):
        code, _, err = run(capsys, *argv)
        assert_one_line_error(code, err, "the bundled model", "bundled_model.pt is missing", "--model FILE")
    code, _, err = run(capsys, "triage", given, "--model", given, "log.txt")
    assert_one_line_error(code, err, "two models given")
    for argv in (["triage", given], ["classify", given]):
        with pytest.raises(SystemExit) as exc:
            cli.main([str(a) for a in argv])
        assert exc.value.code == 2 and f"the model file {given} needs" in capsys.readouterr().err


def argparse_namespace():
    import argparse

    return argparse.Namespace(a=1)


@pytest.mark.parametrize(
    "content, fragments",
    [("", ["cannot read shmoo CSV"]), ("Pass" + "," * 10 + "\nP,X\n", ["no shmoo record could be read"])],
)
def test_classify_bad_csv(trained, tmp_path, capsys, content, fragments):
    _, _, model, _, _ = trained
    path = tmp_path / "bad.csv"
    path.write_text(content)
    code, out, err = run(capsys, "classify", model, path)
    # The dataset's own report lines may come first on stderr; the error is the last line.
    assert code == 1 and "Traceback" not in err
    assert all(f in err.strip().splitlines()[-1] for f in fragments)
    assert out == ""


# -- demo ---------------------------------------------------------------------------


def test_demo_runs_every_step(tmp_path, capsys):
    out_dir = tmp_path / "demo"
    code, out, err = run(capsys, "demo", "--out", out_dir, "--epochs", 2, "--records", 150,
                         "--classify-records", 12, "--sites", 2)
    assert code == 0, err
    assert [ln for ln in out.splitlines() if ln.startswith("== ")][0] == f"== 1/5 sample data into {out_dir}"
    listed = dict(re.findall(r"^  (\w[\w ]*?)\s{2,}(\S.*)$", out, re.M))
    for key in ("datalog", "settings", "training CSV", "workbook", "model", "accuracy figure", "predictions",
                "prediction grid"):
        assert key in listed, out
    for key in ("accuracy figure", "prediction grid"):
        with open(listed[key], "rb") as fh:
            assert fh.read(8) == PNG_MAGIC
    sheet = openpyxl.load_workbook(listed["workbook"])["Sheet"]
    assert sheet.cell(row=1, column=1).value == listed["datalog"]
    with open(listed["predictions"], newline="") as fh:
        assert len(list(csv.reader(fh))) == 13
    assert re.search(r"^Unseen plots: \d+ of 12 predictions", out, re.M)
    # The triage step prints its scorecard against the ground truth: a row for every sample size.
    for rows, cols in samples.SAMPLE_SIZES:
        assert re.search(rf"^{rows}x{cols}\s+all\s+12\s+\d\.\d{{3}}\s+\d\.\d{{3}}\s", out, re.M), out
    with open(listed["triage verdicts"], newline="") as fh:
        assert len(list(csv.reader(fh))) == 1 + 24 * 2


def test_extract_never_replaces_an_earlier_workbook(sample_dir, capsys, monkeypatch):
    import time as real_time
    import types

    from quorvane.Source import Corvantis

    # Every run lands in the same second.
    frozen = types.SimpleNamespace(time=real_time.time, localtime=real_time.localtime,
                                   strftime=lambda fmt, t: "2026_12_06_14_20_05")
    monkeypatch.setattr(Corvantis, "time", frozen)
    settings = sample_dir / samples.SETTINGS_FILE_NAME
    paths = []
    for sites in ("0", "1", "2"):
        code, out, err = run(capsys, "extract", sample_dir / "sample_datalog_1.txt", "--settings", settings,
                             "--sites", sites, "--out-dir", sample_dir / "wb")
        assert code == 0, err
        paths.append(out.strip().splitlines()[-1].split(": ", 1)[1])
    assert [p.rsplit("/", 1)[1] for p in paths] == [
        "shmplot_2026_12_06_14_20_05.xlsx", "shmplot_2026_12_06_14_20_05_1.xlsx", "shmplot_2026_12_06_14_20_05_2.xlsx"]
    for sites, path in zip("012", paths):
        assert openpyxl.load_workbook(path)["Sheet"].cell(row=4, column=1).value == f"Site Number: {sites}\n"
    assert sorted(p.name for p in (sample_dir / "wb").iterdir()) == sorted(p.rsplit("/", 1)[1] for p in paths)


def test_output_paths_that_cannot_be_written(tmp_path, capsys):
    csv_path = samples.write_shmoo_csv(tmp_path / "t.csv", count=120, seed=1)
    (tmp_path / "adir").mkdir()
    code, out, err = run(capsys, "train", csv_path, "-o", tmp_path / "adir")
    assert_one_line_error(code, err, "is a directory")
    assert "epoch" not in out  # refused before any training
    blocker = tmp_path / "file"
    blocker.write_text("x")
    code, _, err = run(capsys, "sample", "--out-dir", blocker / "sub", "--records", 2)
    assert_one_line_error(code, err, "sample: error:", str(blocker))


def test_same_seed_same_model(tmp_path):
    import torch

    csv_path = samples.write_shmoo_csv(tmp_path / "t.csv", count=130, seed=8)
    nets = [training.run_train(csv_path, tmp_path / f"m{k}.pt", epochs=2, batch_size=16, seed=s)[0]
            for k, s in enumerate((4, 4, 5))]
    same = [torch.equal(a, b) for a, b in zip(nets[0].state_dict().values(), nets[1].state_dict().values())]
    other = [torch.equal(a, b) for a, b in zip(nets[0].state_dict().values(), nets[2].state_dict().values())]
    assert all(same) and not all(other)


def test_sample_sizes_writes_labelled_datalogs_and_truth(tmp_path, capsys):
    code, out, _ = run(capsys, "sample", "--out-dir", tmp_path, "--records", 12, "--sites", 2, "--items", 4,
                       "--sizes", "11x11,7x11,21x41,15x9")
    assert code == 0
    assert f"ground truth: {tmp_path / 'sample_truth.csv'}" in out
    truth = samples.read_truth_csv(tmp_path / "sample_truth.csv")
    assert sorted({(t.rows, t.cols) for t in truth.values()}) == [(7, 11), (11, 11), (15, 9), (21, 41)]
    with pytest.raises(SystemExit):
        cli.main(["sample", "--out-dir", str(tmp_path), "--sizes", "11x2"])
    assert "at least 5x5" in capsys.readouterr().err
