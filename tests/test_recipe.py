"""Training by the bundled model's recipe and on a user's own labelled plots (`quorvane train --recipe/--plots`)."""

import csv
import io

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


def test_the_bundled_model_loads_with_a_usable_calibration():
    path = models.bundled_model_path()
    if not path.is_file():
        pytest.skip(f"the bundled model is not built yet ({path} is missing)")
    _, payload = models.load_model(path)
    assert check_calibration(payload.get(CALIBRATION_KEY)) is None


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
