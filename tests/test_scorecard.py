import csv
from pathlib import Path

import numpy as np
import pytest

from quorvane import scorecard
from quorvane.symbols import LABEL_KEYS


def test_independent_lot_reads_back_canonical_in_every_printing(tmp_path, bench_module):
    from quorvane.orientation import orient
    from quorvane.plots import read_plots
    from quorvane.Source import Corvantis

    lot = bench_module("independent_lot")
    # Twelve items take every heading, axis line and row-label unit once.
    files = lot.write_lot(tmp_path, seed=5, main_items=3, other_items=0)
    grids = {plot.base: plot.grid for item in files.items for plot in item.sites}
    keywords = Corvantis.getKeyWordFromSettingFile(lot.SETTINGS)
    read = {(Path(p.datalog).name, p.site, p.plot): p for p in read_plots(keywords, [str(d) for d in files.datalogs])}
    with open(files.truth, newline="", encoding="utf-8") as fh:
        truth = list(csv.DictReader(fh))
    assert len(truth) == len(read) == files.plots
    assert {row["orientation"] for row in truth} == set(scorecard.PRINTINGS)
    for row in truth:
        plot = read[(row["datalog"], row["site"], int(row["plot"]))]
        oriented = orient(plot)
        assert oriented.orientation == lot.EXPECTED_ORIENTATION[row["orientation"]], (row, plot.heading)
        assert np.array_equal(oriented.grid, grids[row["base"]]), row
        assert oriented.grid.shape == (int(row["rows"]), int(row["cols"]))


# (datalog, site, plot, base, truth, predicted, review, p_Vol): two bases printed
# twice, one plot printed once on a second site of the first item.
_LOT = [
    ("a.txt", "0", 1, "b1", "Pass-Vol", "Pass-Vol", "no", 0.95),
    ("b.txt", "0", 1, "b1", "Pass-Vol", "Pass", "yes", 0.30),
    ("a.txt", "0", 2, "b2", "Pass", "Pass-Vol", "yes", 0.92),
    ("b.txt", "0", 2, "b2", "Pass", "Pass-Vol", "no", 0.70),
    ("a.txt", "1", 1, "b4", "Pass-Vol", "Pass", "no", 0.10),
]


def _write_pair(tmp_path, extra_columns):
    truth, verdicts = tmp_path / "truth.csv", tmp_path / "verdicts.csv"
    with open(truth, "w", newline="") as fh:
        w = csv.writer(fh)
        w.writerow(["datalog", "site", "plot", "label", "rows", "cols", "orientation", "base"])
        for log, site, plot, base, label, *_ in _LOT:
            w.writerow([log, site, plot, label, 11, 11, "rows falling" if log == "a.txt" else "period", base])
    with open(verdicts, "w", newline="") as fh:
        w = csv.writer(fh)
        probability_columns = [f"p_{k}" for k in LABEL_KEYS]
        w.writerow(["datalog", "site", "plot", "predicted"]
                   + (["review", *probability_columns] if extra_columns else []))
        for log, site, plot, _, _, predicted, review, p_vol in _LOT:
            probs = [0.1, 0.9, p_vol, 0.0, 0.0, 0.0]
            w.writerow([f"/logs/{log}", site, plot, predicted] + ([review, *probs] if extra_columns else []))
    return verdicts, truth


@pytest.mark.parametrize("extra_columns", [True, False])
def test_scorecard_figures_and_missing_columns(tmp_path, extra_columns):
    card = scorecard.scorecard(*_write_pair(tmp_path, extra_columns))
    f = card.overall
    assert f.plots == 5
    assert f.exact == pytest.approx(1 / 5) and f.pass_fail == pytest.approx(1.0)
    assert f.recall["Vol"] == pytest.approx(1 / 3) and f.precision["Vol"] == pytest.approx(1 / 3)
    assert f.recall["Hole"] is None and f.precision["Hole"] is None
    assert f.same_label == pytest.approx(1 / 2)  # b1 split, b2 alike; b4 printed once
    assert card.site_agreement == pytest.approx(0.0) and card.items == 1
    lines = "\n".join(scorecard.scorecard_lines(card))
    if extra_columns:
        assert f.unflagged_exact == pytest.approx(1 / 3) and f.flagged == pytest.approx(2 / 5)
        vol = card.calibration["Vol"][9]
        assert (vol.count, vol.mean, vol.observed) == (2, pytest.approx(0.935), pytest.approx(0.5))
    else:
        assert f.unflagged_exact is None and f.flagged is None and card.calibration is None
        assert "Calibration: n/a" in lines
        assert any(line.startswith("  exact among unflagged") and line.endswith("n/a") for line in lines.splitlines())
