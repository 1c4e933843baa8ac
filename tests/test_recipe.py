"""Training by the bundled model's recipe and on a user's own labelled plots (`quorvane train --recipe/--plots`)."""

import csv
import io
import json
from pathlib import Path

import numpy as np
import pytest

from quorvane import cli, models, samples
from quorvane.calibration import CALIBRATION_KEY, check_calibration


def run(capsys, *argv):
    code = cli.main([str(a) for a in argv])
    out, err = capsys.readouterr()
    return code, out, err


def test_the_quick_recipe_gives_the_same_weights_twice_and_a_calibration(tmp_path, capsys):
    for name in ("a.pt", "b.pt"):
        code, out, err = run(capsys, "train", "--recipe", "quick", "-o", tmp_path / name)
        assert code == 0, err
        assert out.strip().splitlines()[-1].startswith(f"model: {tmp_path / name} (recipe quick")
    (net, first), (_, second) = (models.load_model(tmp_path / name) for name in ("a.pt", "b.pt"))
    assert first["state_dict"].keys() == second["state_dict"].keys()
    for key, tensor in first["state_dict"].items():
        assert tensor.equal(second["state_dict"][key]), key
    assert check_calibration(first.get(CALIBRATION_KEY)) is None


def _clean_plots():
    """Textbook plots in the canonical orientation: a Vol wall, a Freq wall, a two-point Hole."""
    vol = np.ones((11, 21), dtype=np.int8)
    vol[7:] = 0
    freq = np.ones((16, 31), dtype=np.int8)
    freq[:, 22:] = 0
    hole = np.ones((11, 11), dtype=np.int8)
    hole[5, 4:6] = 0
    return (("Pass-Vol", vol), ("Pass-Freq", freq), ("Pass-Hole", hole))


def test_the_bundled_model_labels_clean_plots_right_in_every_printing(tmp_path, capsys, bench_module):
    path = models.bundled_model_path()
    assert path.is_file(), f"the package ships no model at {path}"
    _, payload = models.load_model(path)
    assert check_calibration(payload.get(CALIBRATION_KEY)) is None
    lot = bench_module("independent_lot")
    items = []
    for number, (label, grid) in enumerate(_clean_plots(), 1):
        rows, cols = grid.shape
        volts = tuple(1.2 - 0.05 * r for r in range(rows))
        plot = lot.BasePlot(f"b{number}", number, "0", label, grid)
        items.append(lot.Item(number, rows, cols, label, volts, tuple(100 + 20 * c for c in range(cols)),
                              lot._forms(number, np.random.default_rng(number)), (plot,)))
    logs = []
    for printing in lot.PRINTINGS:
        logs.append(tmp_path / lot.datalog_name(printing))
        logs[-1].write_text(lot.datalog_text(items, printing, "T1"), encoding="utf-8")
    settings = tmp_path / "s.json"
    settings.write_text(json.dumps(lot.SETTINGS), encoding="utf-8")
    code, _, err = run(capsys, "triage", *logs, "--settings", settings, "--out", tmp_path / "v.csv")
    assert code == 0, err
    with open(tmp_path / "v.csv", newline="", encoding="utf-8") as fh:
        got = [(Path(row["datalog"]).name, row["predicted"], row["orientation"]) for row in csv.DictReader(fh)]
    want = [(log.name, label, lot.EXPECTED_ORIENTATION[printing])
            for log, printing in zip(logs, lot.PRINTINGS) for label, _ in _clean_plots()]
    assert sorted(got) == sorted(want)


@pytest.fixture(scope="module")
def labelled_lot(tmp_path_factory):
    """A datalog of labelled plots of two sizes in lot/, its settings and its ground truth."""
    lot = tmp_path_factory.mktemp("plots") / "lot"
    lot.mkdir()
    text, truth = samples.labelled_datalog(((11, 11), (7, 11)), items=4, sites=4, seed=5)
    (lot / "log.txt").write_text(text, encoding="utf-8")
    samples.write_settings(lot / samples.SETTINGS_FILE_NAME)
    return lot, truth


def _labels_csv(path, rows, columns=("datalog", "site", "plot", "label")):
    out = io.StringIO()
    writer = csv.writer(out, lineterminator="\n")
    writer.writerow(columns)
    writer.writerows(rows)
    path.write_text(out.getvalue(), encoding="utf-8")
    return path


def test_training_on_labelled_plots_gives_a_model_triage_loads(labelled_lot, tmp_path, monkeypatch, capsys):
    lot, truth = labelled_lot
    # Datalog paths are relative to the CSV's folder; a `label` column wins over triage's `predicted`.
    labels = _labels_csv(lot / "labels.csv", [("log.txt", t.site, t.plot, t.label, "Wobble") for t in truth],
                         ("datalog", "site", "plot", "label", "predicted"))
    monkeypatch.chdir(tmp_path)
    settings = lot / samples.SETTINGS_FILE_NAME
    code, out, err = run(capsys, "train", "--plots", labels, "--settings", settings, "-o", "m.pt", "--epochs", 1)
    assert code == 0, err
    assert f"trained on {len(truth)} plots of 2 size(s)" in out
    code, out, err = run(capsys, "triage", "--model", "m.pt", lot / "log.txt", "--settings", settings)
    assert code == 0, err
    assert f"{len(truth)} plot(s) classified" in out


@pytest.mark.parametrize("rows, fragments", [
    ([("log.txt", "0", 1, "Pass-Wobble")], ["line 2: the label 'Pass-Wobble' holds word(s) that are not label keys"]),
    ([("log.txt", "0", 1, "Pass"), ("log.txt", "0", 99, "Fail")], ["line 3: ", "has no plot 99 of site '0'"]),
    ([("log.txt", str(s), 1, "Pass") for s in range(3)], ["gives 3 plot(s) to train on; training needs at least"]),
], ids=["unknown label word", "no such plot", "too few plots"])
def test_faults_of_a_labels_csv_are_one_line(labelled_lot, tmp_path, capsys, rows, fragments):
    lot, _ = labelled_lot
    # Triage's verdict CSV holds the label in `predicted`.
    labels = _labels_csv(tmp_path / "labels.csv", [(str(lot / d), s, p, label) for d, s, p, label in rows],
                         ("datalog", "site", "plot", "predicted"))
    code, _, err = run(capsys, "train", "--plots", labels, "--settings", lot / samples.SETTINGS_FILE_NAME,
                       "-o", tmp_path / "m.pt")
    assert code == 1 and len(err.strip().splitlines()) == 1 and err.startswith("quorvane train: error:"), err
    assert all(fragment in err for fragment in fragments), err
    assert not (tmp_path / "m.pt").exists()
