"""Triage: the classification core on plots made here, and the command end to end."""

import csv
import math
import os
import subprocess
import sys

import numpy as np
import openpyxl
import pytest

from quorvane import calibration, cli, review, samples, triage, workbook_sheets
from quorvane.plots import Plot
from quorvane.symbols import LABEL_KEYS

PNG_MAGIC = b"\x89PNG\r\n\x1a\n"


def make_plot(grid, n=1, site="0", axis=("MHz", "1", "2")):
    grid = np.array(grid, dtype=np.int8).reshape(len(grid), -1) if len(grid) else np.zeros((0, 0), np.int8)
    # Rows labelled from the highest voltage down: scored as printed.
    return Plot("log.txt", site, n, f"  {2000 + n}  Shmoo_x", None, 10 * n,
                tuple(f"{len(grid) - r}V" for r in range(len(grid))), axis, grid)


@pytest.fixture(scope="module")
def net():
    import torch

    from quorvane.Source import tavrine

    torch.manual_seed(5)
    model = tavrine.AlexNet()
    model.eval()
    return model


@pytest.fixture(scope="module")
def model_file(tmp_path_factory, net):
    from quorvane import models

    path = tmp_path_factory.mktemp("model") / "model.pt"
    models.save_model(path, net, {"input_shape": [1, 11, 11]})
    return path


# Logistic curves (slope, offset) per key, as a model file's calibration holds them.
CALIBRATION = {"Pass": [3.0, 0.4], "Vol": [6.0, -2.5], "Freq": [5.0, -3.0], "Marginal": [7.0, -3.5],
               "Hole": [4.0, -2.0]}


@pytest.fixture(scope="module")
def calibrated_model_file(tmp_path_factory, net):
    from quorvane import models

    path = tmp_path_factory.mktemp("model") / "calibrated.pt"
    models.save_model(path, net, {"input_shape": [1, 11, 11], "calibration": CALIBRATION})
    return path


def _scores_one_by_one(net, values):
    import torch

    with torch.no_grad():
        x = torch.tensor(np.asarray(values, dtype=np.float32))[None, None]
        return tuple(float(v) for v in net(x)[0])


# -- the core on constructed plots ----------------------------------------------------


@pytest.mark.parametrize("scores, label", [
    ((0.2, 0.8, 0.7, 0.3, 0.5, 0.49), "Pass-Vol-Marginal"),
    ((0.9, 0.1, 0.0, 0.0, 0.0, 0.0), "Fail"),
    ((0.2, 0.1, 0.0, 0.9, 0.0, 0.6), "Fail-Freq-Hole"),
    # Both Fail and Pass negative: still exactly one of the two, the larger.
    ((-2.0, -1.0, 0.0, 0.0, 0.0, 0.0), "Pass"),
])
def test_label_from_scores(scores, label):
    assert triage.label_from_scores(scores) == label


def test_plots_the_network_cannot_take_get_a_reason_and_keep_their_place(net):
    rng = np.random.default_rng(1)
    good = [rng.integers(0, 2, (rows, cols)) for rows, cols in [(11, 11), (7, 11), (11, 11), (21, 41)]]
    plots = [
        make_plot(good[0], 1),
        make_plot([[1, 0, 1, 1, 1]] * 2, 2),           # two rows only
        make_plot([], 3),                                # no point rows
        make_plot(good[1], 4),
        make_plot([[-1] * 5] * 5, 5),                    # no pass or fail point
        make_plot(good[2], 6),
        make_plot(good[3], 7),
    ]
    out = list(triage.classify_plots(net, iter(plots), batch_size=3))
    assert [p.plot for p, _ in out] == [1, 2, 3, 4, 5, 6, 7]
    verdicts = [v for _, v in out]
    assert [verdicts[k].label for k in (1, 2, 4)] == ["?", "?", "?"]
    assert "2 x 5 points" in verdicts[1].reason and "3 x 3" in verdicts[1].reason
    assert verdicts[2].reason == "no point rows" and verdicts[2].label == "?"
    assert verdicts[4].reason == "no pass or fail point" and math.isnan(verdicts[4].pass_fraction)
    for v, grid in zip([verdicts[0], verdicts[3], verdicts[5], verdicts[6]], good):
        assert v.reason == "" and v.label != "?"
        # Batching by shape gives the scores of one plot at a time.
        assert v.scores == pytest.approx(_scores_one_by_one(net, grid), abs=1e-5)
        assert v.label == calibration.label_of(calibration.probabilities(None, v.scores))
        assert (v.rows, v.cols) == grid.shape
        assert v.pass_fraction == pytest.approx(grid.mean())


def test_points_that_are_neither_pass_nor_fail_enter_the_network_as_neither(net):
    grid = np.ones((9, 13), dtype=np.int8)
    grid[6:, :] = 0
    grid[7, 3:6] = -1
    ((_, v),) = triage.classify_plots(net, [make_plot(grid)])
    neither = np.where(grid < 0, 0.5, grid)
    assert v.scores == pytest.approx(_scores_one_by_one(net, neither), abs=1e-5)
    # The pass fraction counts only real pass and fail points.
    assert v.pass_fraction == pytest.approx(78 / (117 - 3))


class ScoresFor:
    """A stand-in network: each plot's raw scores chosen from its grid (as the network sees it)."""

    def __init__(self, score):
        self.score = score

    def eval(self):
        return self

    def __call__(self, batch):
        import torch

        return torch.tensor([self.score(x[0].numpy()) for x in batch], dtype=torch.float32)


def _grid(fails=(), untested=(), passing=True, size=(11, 11)):
    grid = np.full(size, 1 if passing else 0, dtype=np.int8)
    for points, value in ((fails, 0), (untested, -1)):
        for where in points:
            grid[where] = value
    return grid


CLEAR = {"Fail": (1, 0, 0, 0, 0, 0), "Pass": (0, 1, 0, 0, 0, 0), "Pass-Vol": (0, 1, 1, 0, 0, 0),
         "Pass-Hole": (0, 1, 0, 0, 0, 1)}


@pytest.mark.parametrize("grid, scores, why", [
    # Close calls: the Fail/Pass decision, or a shape key near its threshold.
    (_grid(), (0.40, 0.56, 0, 0, 0, 0), "close call Pass 0.58"),
    (_grid(passing=False), (0.56, 0.40, 0, 0, 0, 0), "close call Fail 0.58"),
    (_grid(), (0, 1, 0.46, 0, 0, 0), "Vol 0.46 near threshold"),
    (_grid(), CLEAR["Pass"], ""),
    (_grid(passing=False), CLEAR["Fail"], ""),
    # The plot's geometry against a clear label.
    (_grid(fails=[np.s_[8:, :]]), CLEAR["Pass"], "rows fail at the lowest 3 voltages but no Vol"),
    (_grid(fails=[np.s_[8:, :]]), CLEAR["Pass-Vol"], ""),
    (_grid(fails=[np.s_[:, 9:]]), CLEAR["Pass"], "columns fail at the highest 2 frequencies but no Freq"),
    (_grid(fails=[(10, 10), (10, 9), (9, 10)]), CLEAR["Pass-Vol"], "Vol but the lowest voltages pass"),
    (_grid(fails=[(10, 10), (10, 9), (9, 10)]), CLEAR["Pass"], ""),  # the corner every device runs out in
    (_grid(fails=[(4, 4), (4, 5)]), CLEAR["Pass"], "enclosed failing pocket but no Hole"),
    (_grid(fails=[(4, 4), (4, 5)]), CLEAR["Pass-Hole"], ""),
    (_grid(fails=[(5, 5)]), CLEAR["Pass-Hole"], "lone enclosed failing point: a stray or a one-point Hole"),
    (_grid(fails=[(4, 4), (5, 5)]), CLEAR["Pass"], ""),  # touching at a corner: a fray, no pocket
    (_grid(fails=[np.s_[7:, :]]), CLEAR["Fail"], "64% of points pass but Fail"),
    # A wide low-voltage/high-frequency corner fails: no wall, but no plain Pass either.
    (np.where(np.add.outer(np.arange(11), np.arange(11)) >= 13, 0, 1), CLEAR["Pass"],
     "30% of points fail but plain Pass"),
    (1 - _grid(fails=[(0, 0), (0, 1)]), CLEAR["Pass"], "only 2 point(s) pass but Pass"),
    (_grid(untested=[np.s_[:, :2]]), CLEAR["Pass"], "18% untested points"),
])
def test_close_calls_and_geometric_disagreements_are_for_review(grid, scores, why):
    ((_, v),) = triage.classify_plots(ScoresFor(lambda _: scores), [make_plot(grid)])
    assert v.review == bool(why)
    assert why in v.why.split("; ") if why else v.why == ""


@pytest.mark.parametrize("third, labels, disagreements", [
    # The third site differs in one point on the top edge: the average labels all three.
    ((0, 5), ["Pass-Vol"] * 3, []),
    # Its differing point is a pocket the others lack: it keeps its own Hole decision.
    ((4, 5), ["Pass-Vol", "Pass-Vol", "Pass-Vol-Hole"],
     ["log.txt 2001 Shmoo_x: sites disagree on Hole (sites 2 vs 0,1)"]),
])
def test_near_identical_plots_of_an_item_on_different_sites_get_one_label(third, labels, disagreements):
    wall = np.s_[9:, :]
    grids = [_grid(fails=[wall]), _grid(fails=[wall, (0, 4)]), _grid(fails=[wall, third])]

    def score(x):  # site 2 alone would be Pass without Vol
        site = 1 if x[0, 4] == 0 else 2 if x[third] == 0 else 0
        return (0.1, 0.9, (0.8, 0.7, 0.3)[site], 0, 0, 0.9 if site == 2 and third == (4, 5) else 0.1)

    plots = [make_plot(g, 1, site=str(k)) for k, g in enumerate(grids)]
    alone = [v.label for _, v in triage.classify_plots(ScoresFor(score), plots)]
    assert alone[2] != labels[2]
    sites = review.SiteAgreement()
    verdicts = [v for _, v in triage.classify_plots(ScoresFor(score), plots, sites=sites)]
    assert [v.label for v in verdicts] == labels
    assert [v.probabilities[2] for v in verdicts] == pytest.approx([0.6] * 3)
    assert sites.disagreements == disagreements


def _printings():
    """One plot printed six ways: (heading, row labels, axis line, printed grid, orientation)."""
    grid = np.ones((7, 9), dtype=np.int8)
    grid[5:, :] = 0    # a wall at the lowest voltages
    grid[:, 7:] = 0    # and at the highest frequencies
    grid[1, 2] = -1    # an untested point
    volts = [1.2 - 0.05 * r for r in range(7)]
    freqs = [400 + 50 * c for c in range(9)]
    periods = [f"{1000 / f:.3f}" for f in reversed(freqs)]  # the shortest period first
    return [
        ("Shmoo: VDD(V) vs Freq(MHz)", [f"{v:.3f}V" for v in volts], ["MHz", *map(str, freqs)], grid, "as printed"),
        ("Shmoo: VDD(V) vs Freq(MHz)", [f"{v:.3f}V" for v in volts[::-1]], ["MHz", *map(str, freqs)], grid[::-1],
         "rows flipped"),
        ("Shmoo: X-Axis: FREQ(MHz)  Y-Axis: VDD(V)", [f"{v:.2f}" for v in volts], [str(f) for f in freqs[::-1]],
         grid[:, ::-1], "columns flipped"),
        ("Shmoo: PERIOD(ns)", [f"{v * 1000:.0f}mV" for v in volts], ["X-Axis", *periods], grid[:, ::-1],
         "columns flipped"),
        ("Shmoo: Tperiod", [f"{v:.3f}V" for v in volts[::-1]], [p + "ns" for p in periods], grid[::-1, ::-1],
         "both flipped"),
        ("Shmoo: plot", [f"{v:.2f}" for v in volts], [str(f) for f in freqs], grid, "unknown"),
    ]


def test_every_printing_of_a_plot_gets_the_same_verdict_and_record(net, tmp_path):
    from quorvane import labelling
    from quorvane.plots import read_plots
    from quorvane.Source import Corvantis

    lines = []
    for k, (heading, labels, axis, grid, _) in enumerate(_printings()):
        lines += [f"  {2001 + k}  Shmoo_x", "Site Number: 0", heading]
        lines += [f"  {label}  " + " ".join({1: "P", 0: ".", -1: "?"}[v] for v in row)
                  for label, row in zip(labels, grid.tolist())]
        lines += ["  " + " ".join(axis), "  End of Shmoo", ""]
    (tmp_path / "log.txt").write_text("\n".join(lines), encoding="utf-8")
    keywords = Corvantis.getKeyWordFromSettingFile(samples.settings())
    plots = list(read_plots(keywords, [str(tmp_path / "log.txt")]))
    verdicts = [v for _, v in triage.classify_plots(net, plots)]
    assert [v.orientation for v in verdicts] == [p[4] for p in _printings()]
    for v in verdicts[1:]:
        assert v.scores == pytest.approx(verdicts[0].scores, abs=1e-5) and v.label == verdicts[0].label
    side = labelling.write_records(tmp_path / "r.csv", plots, ["Pass"] * len(plots))
    records = (tmp_path / "r.csv").read_text().splitlines()
    assert all(records[12 * k : 12 * k + 12] == records[:12] for k in range(len(plots)))
    assert [row["orientation"] for row in read_rows(side, csv.DictReader)] == [p[4] for p in _printings()]


def test_classification_streams(net):
    pulled = []

    def plots():
        for n in range(1, 1000):
            pulled.append(n)
            yield make_plot(np.ones((5, 5)), n)

    stream = triage.classify_plots(net, plots(), batch_size=16)
    first = [next(stream) for _ in range(20)]
    assert [p.plot for p, _ in first] == list(range(1, 21))
    assert len(pulled) <= 32


@pytest.mark.parametrize("fit", triage.FITS)
def test_every_fit_scores_every_size(net, fit):
    plots = [make_plot(np.ones(shape), k) for k, shape in enumerate([(11, 11), (7, 11), (21, 41), (15, 9)], 1)]
    verdicts = [v for _, v in triage.classify_plots(net, plots, fit=fit)]
    assert all(v.scores is not None and len(v.scores) == 6 for v in verdicts)
    with pytest.raises(ValueError, match="unknown fit"):
        list(triage.classify_plots(net, plots, fit="stretch"))


def test_summary_and_grid_picks():
    def v(label, n, site="0"):
        why = {"?": "no point rows", "Pass-Vol": "close call Pass 0.58", "Pass-Hole-": "Hole 0.46 near threshold"}
        reason = why.get(label, "")
        return triage.Verdict("a/log.txt", site, n, "  2001  Shmoo_x", n, 11, 11, 0.5, label.rstrip("-"), None,
                              reason if label == "?" else "", review=bool(reason), why=reason)

    summary = triage.Summary(keep=2)
    picks = triage.GridPicks(4)
    holes = triage.GridPicks(5, "Hole")
    labels = ["Pass", "Pass-Hole", "Pass", "Fail", "Pass-Vol-Hole", "?", "Pass-Vol", "Pass-Hole-"]
    for n, label in enumerate(labels, 1):
        verdict = v(label, n, site=str(n % 2))
        summary.add(verdict)
        picks.add(make_plot(np.ones((3, 3))), verdict)
        holes.add(make_plot(np.ones((3, 3))), verdict)
    summary.disagreements = ["log.txt 2001 Shmoo_x: sites disagree on Vol (sites 1 vs 0)"]
    text = "\n".join(summary.lines())
    assert "8 plot(s) classified" in text and "... and 1 more" in text
    # Plots for review first, with why; then the other plots that are not plain Pass.
    assert text.index("for review (3):") < text.index("other plots not plain Pass (3):")
    assert "plot 6 11x11: ?: no point rows" in text and "plot 7 11x11: Pass-Vol: close call Pass 0.58" in text
    assert "log.txt site 1: 4 plot(s), 2 plain Pass, 2 other, 1 for review" in text
    assert "log.txt site 0: 4 plot(s), 0 plain Pass, 3 other, 1 unreadable, 2 for review" in text
    assert text.endswith("sites disagree (1 item(s)):\n  log.txt 2001 Shmoo_x: sites disagree on Vol (sites 1 vs 0)")
    assert [p[1].plot for p in picks.picks()] == [6, 7, 8, 2]
    assert [p[1].plot for p in holes.picks()] == [8, 2, 5]
    assert triage.label_matches("Pass-Vol", "Pass-Vol") and not triage.label_matches("Pass", "Pass-Vol")
    assert triage.label_matches("?", "?") and not triage.label_matches("?", "Pass")


# -- the command end to end -----------------------------------------------------------


@pytest.fixture(scope="module")
def labelled_dir(tmp_path_factory):
    d = tmp_path_factory.mktemp("labelled")
    samples.write_samples(d, records=12, sites=3, items=5, datalogs=2, seed=4, sizes=samples.SAMPLE_SIZES)
    return d


def read_rows(path, reader):
    with open(path, newline="", encoding="utf-8") as fh:
        return list(reader(fh))


def run(capsys, *argv):
    code = cli.main([str(a) for a in argv])
    out, err = capsys.readouterr()
    return code, out, err


def test_triage_writes_csv_grid_and_summary(labelled_dir, model_file, tmp_path, capsys):
    d = labelled_dir
    code, out, err = run(capsys, "triage", model_file, d / "sample_datalog_1.txt", d / "sample_datalog_2.txt",
                         "--settings", d / samples.SETTINGS_FILE_NAME, "--out", tmp_path / "v.csv",
                         "--grid", tmp_path / "g.png")
    assert code == 0, err
    assert err == ""  # stderr is not a terminal here: no progress line
    rows = read_rows(tmp_path / "v.csv", csv.reader)
    assert rows[0] == ["datalog", "site", "plot", "item", "rows", "cols", "pass_fraction", "predicted",
                       *LABEL_KEYS, "reason", "orientation", *(f"p_{k}" for k in LABEL_KEYS), "review", "why",
                       "lot", "wafer", "program", "tester", "temperature"]
    truth = samples.read_truth_csv(d / "sample_truth.csv")
    body = rows[1:]
    assert len(body) == len(truth) == 2 * 3 * 5
    for row in body:
        t = truth[(os.path.basename(row[0]), row[1], int(row[2]))]
        assert (int(row[4]), int(row[5])) == (t.rows, t.cols)
        assert row[3].strip().startswith(str(2000 + t.plot))
        keys = row[7].split("-")
        assert ("Pass" in keys) != ("Fail" in keys) and set(keys) <= set(LABEL_KEYS)
        # The label follows the probabilities (averaged over near-identical sites).
        assert row[7] == calibration.label_of([float(x) for x in row[16:22]])
        assert row[22] in ("yes", "no") and (row[22] == "yes") == bool(row[23])
    assert f"{len(truth)} plot(s) classified" in out and "per label:" in out and "per site:" in out
    assert f"verdicts: {tmp_path / 'v.csv'}" in out
    assert (tmp_path / "g.png").read_bytes()[:8] == PNG_MAGIC
    assert not list(tmp_path.glob("*.partial"))


def test_verdict_probabilities_come_from_the_model_files_calibration(labelled_dir, calibrated_model_file, tmp_path,
                                                                     capsys):
    d = labelled_dir
    code, _, err = run(capsys, "triage", calibrated_model_file, d / "sample_datalog_1.txt", "--sites", "1",
                       "--settings", d / samples.SETTINGS_FILE_NAME, "--out", tmp_path / "v.csv")
    assert code == 0, err
    rows = read_rows(tmp_path / "v.csv", csv.DictReader)
    assert len(rows) == 5
    for row in rows:
        probs = [float(row[f"p_{key}"]) for key in LABEL_KEYS]
        raw = [float(row[key]) for key in LABEL_KEYS]
        assert probs == pytest.approx(calibration.probabilities(CALIBRATION, raw), abs=1e-4)
        assert probs != pytest.approx(calibration.probabilities(None, raw), abs=1e-3)
        assert row["predicted"] == calibration.label_of(probs)


@pytest.mark.parametrize("width", [50, None])  # None: as wide as the widest plot row, like extract
def test_triage_workbook_keeps_the_extraction_sheet_and_links_every_plot(labelled_dir, model_file, tmp_path,
                                                                          capsys, monkeypatch, width):
    monkeypatch.chdir(tmp_path)  # the workbook goes to the working directory
    d = labelled_dir
    log = d / "sample_datalog_1.txt"
    settings = d / samples.SETTINGS_FILE_NAME
    given = ["--interval-columns", width] if width else []
    code, out, err = run(capsys, "triage", model_file, log, "--settings", settings, "--sites", "2,0",
                         "--workbook", *given, "--out", tmp_path / "v.csv")
    assert code == 0, err
    book = [line.split(": ", 1)[1] for line in out.splitlines() if line.startswith("workbook: ")][0]
    code, out, _ = run(capsys, "extract", log, "--settings", settings, "--sites", "2,0", *given,
                       "--out-dir", tmp_path / "x", "--composite")
    plain = openpyxl.load_workbook(out.splitlines()[0].split(": ", 1)[1].strip())
    wb = openpyxl.load_workbook(book)
    assert wb.sheetnames == ["Sheet", "Composite", "Verdicts"]
    sheet = wb["Sheet"]

    def cells(ws):
        return [[(c.value, c.fill.fill_type, c.fill.start_color.rgb) for c in r] for r in ws.iter_rows()]

    assert cells(sheet) == cells(plain["Sheet"])
    # the same composite maps as the extraction's, from the plots triage read once
    assert cells(wb["Composite"]) == cells(plain["Composite"])
    assert any(isinstance(c.value, int) for r in wb["Composite"].iter_rows() for c in r)
    verdicts = wb["Verdicts"]
    header = [c.value for c in verdicts[1]]
    assert header[:5] == ["datalog", "site", "plot", "item", "label"]
    rows = list(verdicts.iter_rows(min_row=2))
    assert len(rows) == 2 * 5
    assert [r[1].value for r in rows] == ["2"] * 5 + ["0"] * 5  # pair order: the --sites order
    # The sheet shows what the verdict CSV says: orientation, probabilities, review and why.
    for r, want in zip(rows, read_rows(tmp_path / "v.csv", csv.DictReader), strict=True):
        got = dict(zip(header, (c.value for c in r)))
        assert (got["orientation"], got["review"], got["why"] or "") == (want["orientation"], want["review"],
                                                                         want["why"])
        assert [got[f"p_{k}"] for k in LABEL_KEYS] == pytest.approx([float(want[f"p_{k}"]) for k in LABEL_KEYS],
                                                                     abs=1e-4)
    if width is None:
        width = next(c.column for c in sheet[4][1:] if c.value) - 1
        assert width > 20  # the sample's widest plots need more than the old fixed width
    for r in rows:
        link = r[header.index("plot on Sheet")].hyperlink
        assert link is not None and link.location.startswith("Sheet!")
        target = sheet[link.location.split("!")[1]]
        # The link lands on the plot group's item line, in the block of its site.
        assert str(target.value).rstrip("\n") == r[3].value
        pair = 1 if r[1].value == "2" else 2
        assert target.column == (pair - 1) * width + 1
        assert sheet.cell(row=target.row + 1, column=target.column).value.startswith(f"Site Number: {r[1].value}")


def test_triage_workbook_appears_with_its_sheets_and_the_verdicts_or_not_at_all(labelled_dir, model_file, tmp_path,
                                                                                capsys, monkeypatch):
    from quorvane import workbook_sheets

    def full_disk(*_args, **_kwargs):
        raise OSError(28, "No space left on device")

    monkeypatch.setattr(workbook_sheets, "append_worksheets", full_disk)
    monkeypatch.chdir(tmp_path)
    d = labelled_dir
    code, _, err = run(capsys, "triage", model_file, d / "sample_datalog_1.txt", "--settings",
                       d / samples.SETTINGS_FILE_NAME, "--workbook", "--out", tmp_path / "v.csv")
    assert code == 1 and "No space left on device" in err
    assert sorted(p.name for p in tmp_path.iterdir()) == []  # no Sheet-only workbook, no verdicts


@pytest.mark.parametrize("item_line_per_site", [True, False])
def test_every_verdict_links_to_the_first_row_of_its_own_plot(tmp_path, model_file, capsys, monkeypatch,
                                                              opened_files, item_line_per_site):
    # Hundreds of plots per site, of several heights; one layout prints the
    # item line before each site's plot, the other once before all sites.
    lines = []
    for i in range(200):
        item = f"  {2001 + i}  Shmoo_VDD  pattern_{i}"
        if not item_line_per_site:
            lines.append(item)
        for site in range(3):
            if item_line_per_site:
                lines.append(item)
            rows = [f"    {i}.{r}V  P P ." for r in range(3 + (i + site) % 3)]
            lines += [f"Site Number: {site}", "    Shmoo: VDD vs Freq", *rows, "    MHz 1 2 3", "",
                      "    *** End of Shmoo ***", ""]
    log = tmp_path / "log.txt"
    log.write_text("\n".join(lines) + "\n", encoding="utf-8")
    samples.write_settings(tmp_path / "s.json")
    monkeypatch.chdir(tmp_path)
    with opened_files() as opened:
        code, out, err = run(capsys, "triage", model_file, log, "--settings", tmp_path / "s.json", "--workbook")
    assert code == 0, err
    # One reading: the up-front check only looks at the file; the reading opens it once.
    assert opened.count(str(log)) == 1, opened
    wb = openpyxl.load_workbook(next(tmp_path.glob("*.xlsx")))
    sheet = wb["Sheet"]
    width = 20
    column = {c: {cell.row: cell.value for cell in sheet[openpyxl.utils.get_column_letter(c)] if cell.value}
              for c in (1, 1 + width, 1 + 2 * width)}
    # A plot group is a run of filled rows below an empty one, from row 3 on;
    # a point row's first cell holds its label, unique per plot here.
    starts = {c: [r for r in sorted(cells) if r >= 3 and r - 1 not in cells] for c, cells in column.items()}
    label_rows = {c: {text: r for r, text in cells.items()} for c, cells in column.items()}
    rows = list(wb["Verdicts"].iter_rows(min_row=2))
    assert len(rows) == 3 * 200
    for r in rows:
        site, n = int(r[1].value), r[2].value
        target = sheet[r[workbook_sheets.VERDICT_HEADER.index("plot on Sheet")].hyperlink.location.split("!")[1]]
        c = 1 + site * width
        first_point_row = label_rows[c][f"{n - 1}.0V"]
        assert target.column == c and target.row == max(s for s in starts[c] if s <= first_point_row), (site, n)


def test_verdicts_of_a_workbook_extracted_from_the_files_have_no_link(labelled_dir, model_file, tmp_path, capsys,
                                                                     monkeypatch):
    from quorvane.Source import Corvantis

    monkeypatch.setattr(Corvantis, "_record_plots", lambda *args: None)  # nothing recorded: no known places
    monkeypatch.chdir(tmp_path)
    code, _, err = run(capsys, "triage", model_file, labelled_dir / "sample_datalog_1.txt", "--settings",
                       labelled_dir / samples.SETTINGS_FILE_NAME, "--workbook")
    assert code == 0 and "does not link to the plots" in err, err
    rows = list(openpyxl.load_workbook(next(tmp_path.glob("*.xlsx")))["Verdicts"].iter_rows(min_row=2))
    assert len(rows) == 3 * 5 and not any(cell.hyperlink for r in rows for cell in r)


def test_header_fields_end_every_row_of_the_verdicts_and_margins_tables(model_file, tmp_path, capsys, monkeypatch):
    from quorvane.headers import HEADER_FIELDS

    text = samples.datalog_text(sites=2, items=2)
    (tmp_path / "with.txt").write_text(text, encoding="utf-8")
    (tmp_path / "without.txt").write_text(text.split("\n", 5)[5], encoding="utf-8")  # the header's lines gone
    samples.write_settings(tmp_path / "s.json")
    expected = {"with.txt": ["QV24A117", "07", "QV_CHAR_A1", "QV-9300", "25C"], "without.txt": [""] * 5}
    monkeypatch.chdir(tmp_path)
    logs = ["with.txt", "without.txt"]
    code, _, err = run(capsys, "triage", model_file, *logs, "--settings", "s.json", "--workbook", "--out", "v.csv")
    assert code == 0, err
    code, _, err = run(capsys, "margins", *logs, "--settings", "s.json", "--out", "m.csv", "--summary", "s.csv",
                       "--fmax", "f.csv")
    assert code == 0, err
    sheet = openpyxl.load_workbook(next(tmp_path.glob("*.xlsx")))["Verdicts"]
    tables = [read_rows(tmp_path / name, csv.reader) for name in ("v.csv", "m.csv", "s.csv", "f.csv")]
    tables.append([[cell if cell is not None else "" for cell in row] for row in sheet.iter_rows(values_only=True)])
    for header, *rows in tables:
        assert header[-5:] == list(HEADER_FIELDS)
        assert {row[0] for row in rows} == set(logs)
        for row in rows:
            assert row[-5:] == expected[row[0]], row


def test_triage_lists_unreadable_and_unfinished_plots(tmp_path, model_file, capsys):
    samples.write_settings(tmp_path / samples.SETTINGS_FILE_NAME)
    log = tmp_path / "odd.txt"
    log.write_text(
        "  2001  Shmoo_a  p\nSite Number: 0\n    Shmoo: x\n    1.0V  P P .\n    0.9V  P . .\n"
        "    *** End of Shmoo ***\n"
        "  2002  Shmoo_b  p\nSite Number: 0\n    Shmoo: x\n" + "    1.0V  P P P P\n" * 4 + "    *** End of Shmoo ***\n"
        "  2003  Shmoo_c  p\nSite Number: 0\n    Shmoo: x\n    1.0V  P P P P\n", encoding="utf-8")
    code, out, err = run(capsys, "triage", model_file, log, "--settings", tmp_path / samples.SETTINGS_FILE_NAME,
                         "--out", tmp_path / "v.csv")
    assert code == 0
    assert "line 17: the plot of site '0' that starts here never ends" in err and err.count("\n") == 1
    rows = read_rows(tmp_path / "v.csv", csv.DictReader)
    assert [r["predicted"] for r in rows][0] == "?" and "2 x 3 points" in rows[0]["reason"]
    assert rows[1]["predicted"] != "?" and rows[1]["reason"] == ""
    assert rows[2]["predicted"] == "?" and "never ends" in rows[2]["reason"]
    for row in (rows[0], rows[2]):  # what cannot be scored is for review, the reason saying why
        assert row["review"] == "yes" and row["why"] == row["reason"] and row["p_Pass"] == ""
    assert "for review (" in out and "?: plot opened at line 17 never ends" in out


@pytest.mark.parametrize("argv, fragments", [
    (["missing.txt"], ["datalog not found", "missing.txt"]),
    (["LOG", "--settings", "nope.json"], ["settings file not found"]),
    (["LOG", "--sites", "a"], ["site numbers must be integers"]),
])
def test_triage_bad_input_is_one_line(labelled_dir, model_file, capsys, argv, fragments):
    argv = [str(labelled_dir / "sample_datalog_1.txt") if a == "LOG" else a for a in argv]
    if "--settings" not in argv:
        argv += ["--settings", str(labelled_dir / samples.SETTINGS_FILE_NAME)]
    code, _, err = run(capsys, "triage", model_file, *argv)
    assert code == 1 and len(err.strip().splitlines()) == 1 and err.startswith("quorvane triage: error:")
    for fragment in fragments:
        assert fragment in err


def test_triage_bad_model_and_label(labelled_dir, tmp_path, capsys, net):
    from quorvane import models

    bogus = tmp_path / "m.pt"
    bogus.write_text("not a model")
    code, _, err = run(capsys, "triage", bogus, labelled_dir / "sample_datalog_1.txt", "--settings",
                       labelled_dir / samples.SETTINGS_FILE_NAME)
    assert code == 1 and "not a quorvane model file" in err
    broken = tmp_path / "broken.pt"
    models.save_model(broken, net, {"calibration": {**CALIBRATION, "Hole": [4.0, float("nan")]}})
    code, _, err = run(capsys, "triage", broken, labelled_dir / "sample_datalog_1.txt", "--settings",
                       labelled_dir / samples.SETTINGS_FILE_NAME)
    assert code == 1 and err.count("\n") == 1 and f"model file {broken}: the calibration of Hole" in err
    with pytest.raises(SystemExit) as exc:
        cli.main(["triage", str(bogus), "x.txt", "--label", "Pass-Wobble"])
    assert exc.value.code == 2 and "not a label" in capsys.readouterr().err


def test_progress_line_on_a_terminal_and_not_in_a_pipe(labelled_dir, model_file):
    pty = pytest.importorskip("pty")
    argv = [sys.executable, "-m", "quorvane", "triage", str(model_file), str(labelled_dir / "sample_datalog_1.txt"),
            "--settings", str(labelled_dir / samples.SETTINGS_FILE_NAME)]
    env = dict(os.environ, MPLBACKEND="Agg")
    piped = subprocess.run(argv, capture_output=True, text=True, env=env, timeout=300)
    assert piped.returncode == 0 and piped.stderr == ""
    master, slave = pty.openpty()
    try:
        proc = subprocess.run(argv, stdout=subprocess.PIPE, stderr=slave, env=env, timeout=300)
        os.close(slave)
        seen = b""
        while True:
            try:
                chunk = os.read(master, 4096)
            except OSError:
                break
            if not chunk:
                break
            seen += chunk
    finally:
        os.close(master)
    assert proc.returncode == 0
    assert b"\r\x1b[Kquorvane triage: datalog 1/1 sample_datalog_1.txt: " in seen and b"plots read" in seen
    # The line is wiped before the summary, so the terminal is left clean.
    assert seen.endswith(b"\r\x1b[K")
    assert b"plots read" not in proc.stdout


def test_triage_reads_a_chosen_site_under_the_datalogs_spelling(labelled_dir, model_file, tmp_path, capsys):
    # The datalog prints site 2 as "02": --sites 2 reads that site, as extract does, and says so.
    text = (labelled_dir / "sample_datalog_1.txt").read_text(encoding="utf-8")
    assert "Site Number: 2\n" in text
    log = tmp_path / "zero.txt"
    log.write_text(text.replace("Site Number: 2\n", "Site Number: 02\n"), encoding="utf-8")
    settings = labelled_dir / samples.SETTINGS_FILE_NAME
    code, _, err = run(capsys, "triage", model_file, log, "--settings", settings, "--sites", "2",
                       "--out", tmp_path / "v.csv")
    assert code == 0, err
    assert "prints site 2 as 'Site Number: 02'" in err
    with open(tmp_path / "v.csv", newline="", encoding="utf-8") as fh:
        rows = list(csv.DictReader(fh))
    assert len(rows) == 5 and {r["site"] for r in rows} == {"02"}


def test_the_scoring_stand_in_computes_what_alexnet_computes(tmp_path):
    # Triage scores with a functional copy of AlexNet's evaluation-mode forward
    # (it spares the classifier module's start-up): it must agree with the
    # module's network on any weights, batch and plot size.
    import torch

    from quorvane import models
    from quorvane.inference import InferenceAlexNet
    from quorvane.Source import tavrine

    torch.manual_seed(11)
    model = tavrine.AlexNet()
    with torch.no_grad():
        for name, value in model.state_dict().items():
            if value.dtype.is_floating_point:
                value.copy_(torch.rand_like(value) + 0.5 if "running_var" in name else torch.randn_like(value))
    model.eval()
    lean = InferenceAlexNet.from_state_dict(model.state_dict())
    assert lean is not None
    for rows, cols, batch in [(3, 3, 1), (7, 11, 5), (11, 11, 2), (21, 41, 3), (41, 21, 1), (4, 60, 2)]:
        x = (torch.rand(batch, 1, rows, cols) > 0.4).float()
        with torch.no_grad():
            expected, got = model(x), lean(x)
        assert got.shape == expected.shape == (batch, 6)
        assert torch.allclose(got, expected, rtol=1e-4, atol=1e-5), (rows, cols, (got - expected).abs().max())

    # A model file holding anything but AlexNet's weights gets the network's own
    # loader, and with it the usual refusal.
    state = model.state_dict()
    for broken in ({k: v for k, v in state.items() if k != "fc3.0.bias"},
                   {**state, "fc3.0.bias": torch.zeros(7)},
                   {**state, "conv1.0.weight": state["conv1.0.weight"].to(torch.int64)}):
        assert InferenceAlexNet.from_state_dict(broken) is None
    path = tmp_path / "m.pt"
    models.save_model(path, model, {"input_shape": [1, 11, 11]})
    loaded, _ = models.load_model(path, scoring_only=True)
    assert isinstance(loaded, InferenceAlexNet)
    payload = torch.load(path, weights_only=True)
    payload["state_dict"] = {k: v for k, v in payload["state_dict"].items() if k != "fc3.0.bias"}
    torch.save(payload, path)
    with pytest.raises(cli.CliError, match="does not hold AlexNet weights"):
        models.load_model(path, scoring_only=True)
