"""quorvane export: datalog plots as 11 x 11 shmoo CSV records with their
provenance, labels pre-filled by a model or left as a placeholder."""
import csv

import numpy as np
import pytest

from quorvane import cli, samples
from quorvane.models import save_model
from quorvane.symbols import LABEL_KEYS
from quorvane.labelling import PLACEHOLDER, provenance_path, resize
from quorvane.Source import tavrine


# ---------------------------------------------------------------------------
# Resizing


@pytest.mark.parametrize("rows, cols", [(21, 41), (41, 21), (12, 12), (31, 11), (7, 8), (5, 5)])
def test_thin_features_survive_any_size(rows, cols):
    for r in range(1, rows - 1, max(1, rows // 5)):
        for c in range(1, cols - 1, max(1, cols // 5)):
            hole = np.ones((rows, cols), np.int8)
            hole[r, c] = 0
            out = resize(hole)
            assert out.shape == (11, 11) and np.count_nonzero(out == 0) >= 1 and np.all((out == 0) | (out == 1))
        band = np.zeros((rows, cols), np.int8)
        band[r] = 1
        out = resize(band)
        assert np.any(np.all(out == 1, axis=1)), (r, out)
    wall = np.ones((rows, cols), np.int8)
    wall[:, -1] = 0
    assert np.all(resize(wall)[:, -1] == 0)


def test_resize_keeps_an_11_by_11_plot_and_marks_unknown_blocks():
    grid = np.array(samples.plot_for_label("Pass-Vol", __import__("random").Random(3)), np.int8)
    assert np.array_equal(resize(grid), grid.astype(float))
    ragged = np.full((11, 11), -1, np.int8)
    ragged[:, :6] = 1
    ragged[5, 2] = 0
    out = resize(ragged)
    assert np.all(out[:, 6:] == 0.5) and out[5, 2] == 0.0 and out[0, 0] == 1.0
    with pytest.raises(ValueError, match="without points"):
        resize(np.zeros((0, 0), np.int8))


# ---------------------------------------------------------------------------
# The command


@pytest.fixture
def workdir(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    samples.write_settings(tmp_path / samples.SETTINGS_FILE_NAME)
    samples.write_datalog(tmp_path / "a.txt", sites=3, items=4, seed=5)
    samples.write_datalog(tmp_path / "b.txt", sites=2, items=3, seed=6)
    return tmp_path


def provenance(path):
    with open(provenance_path(path), newline="", encoding="utf-8") as f:
        return list(csv.DictReader(f))


def test_export_with_placeholders_then_train_refuses(workdir, capsys):
    out = workdir / "real.csv"
    assert cli.main(["export", "a.txt", "b.txt", "--sites", "2,0", "--shmoo-csv", str(out)]) == 0
    printed = capsys.readouterr().out
    assert f"shmoo CSV: {out} (14 records)" in printed and PLACEHOLDER in printed
    rows = provenance(out)
    assert [(r["datalog"][-5:], r["site"], r["plot"]) for r in rows[:5]] == [
        ("a.txt", "2", "1"), ("a.txt", "2", "2"), ("a.txt", "2", "3"), ("a.txt", "2", "4"), ("a.txt", "0", "1")]
    assert [r["record"] for r in rows] == [str(n) for n in range(1, 15)]
    assert {r["site"] for r in rows if r["datalog"].endswith("b.txt")} == {"0", "1"}
    lines = out.read_text().splitlines()
    assert len(lines) == 14 * 12 and lines[0] == PLACEHOLDER + "," * 10
    test = tavrine.CsvDataset_Test(str(out))  # the classifier's reader takes the records
    capsys.readouterr()
    assert tuple(test.X_train.shape) == (14, 1, 11, 11)
    assert [y[0] for y in test.Y_train] == [PLACEHOLDER] * 14

    assert cli.main(["train", str(out)]) == 1
    err = capsys.readouterr().err
    assert f"14 record(s) still have the placeholder label {PLACEHOLDER}" in err
    assert "replace it with a label such as Pass" in err and err.count("\n") == 1


def test_export_prefills_labels_from_a_model(workdir, capsys):
    import torch

    torch.manual_seed(0)
    model = workdir / "m.pt"
    save_model(model, tavrine.AlexNet(), {"input_shape": [1, 11, 11]})
    out = workdir / "labelled.csv"
    assert cli.main(["export", "a.txt", "--shmoo-csv", str(out), "--model", str(model)]) == 0
    capsys.readouterr()
    labels = out.read_text().splitlines()[::12]
    assert len(labels) == 12 and all(label.split(",")[0] != PLACEHOLDER for label in labels)
    data = tavrine.CsvDataset(str(out))
    printed = capsys.readouterr().out
    assert "Wrong Key Word" not in printed
    assert data.data_count == 12  # Y_train[0] is the dataset's own seed sample
    for label, vector in zip(labels, data.Y_train.tolist()[1:], strict=True):
        keys = set(label.split(",")[0].split("-"))
        assert [float(k in keys) for k in LABEL_KEYS] == vector


def test_export_reports_bad_input_in_one_line(workdir, capsys):
    assert cli.main(["export", "missing.txt", "--shmoo-csv", "x.csv"]) == 1
    assert "datalog not found: missing.txt" in capsys.readouterr().err
    assert cli.main(["export", "a.txt", "--shmoo-csv", str(workdir)]) == 1
    assert "names a directory" in capsys.readouterr().err
    assert cli.main(["export", "a.txt", "--shmoo-csv", "x.csv", "--model", "a.txt"]) == 1
    assert "not a quorvane model file" in capsys.readouterr().err
    (workdir / "open.txt").write_text("  2001  Shmoo_X\nSite Number: 0\n    Shmoo: v\n    1.0V P P .\n")
    # Its only plot never ends: nothing found, and the run says why.
    assert cli.main(["export", "open.txt", "--shmoo-csv", "o.csv"]) == 1
    assert "line 3: the plot of site '0' that starts here never ends" in capsys.readouterr().err
    assert not (workdir / "o.csv").exists()
