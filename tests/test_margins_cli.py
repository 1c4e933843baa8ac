"""`quorvane margins` and `quorvane extract --composite` on generated datalogs
whose plots are known."""

from __future__ import annotations

import csv
import json

import numpy as np
import openpyxl
import pytest

from quorvane import cli, composite, samples


def band_grids(rng, items, sites, rows, cols):
    """Per item and site a plot whose columns pass in one random band of rows."""
    grids = []
    for _ in range(items):
        per_site = {}
        for site in sites:
            grid = [[0] * cols for _ in range(rows)]
            for c in range(cols):
                if rng.random() < 0.2:
                    continue
                top = int(rng.integers(0, rows))
                bottom = int(rng.integers(top, rows))
                for r in range(top, bottom + 1):
                    grid[r][c] = 1
            per_site[site] = grid
        grids.append(per_site)
    return grids


@pytest.fixture
def workdir(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    (tmp_path / samples.SETTINGS_FILE_NAME).write_text(json.dumps(samples.settings()), encoding="utf-8")
    return tmp_path


def read(path):
    with open(path, newline="", encoding="utf-8") as fh:
        return list(csv.DictReader(fh))


def test_margins_equal_the_generated_boundaries(workdir, shmoo_datalog, capsys):
    rng = np.random.default_rng(21)
    log = shmoo_datalog(workdir / "lot.txt", band_grids(rng, 3, (0, 1, 3), 9, 13))
    code = cli.main(["margins", "lot.txt", "--out", "m.csv", "--summary", "s.csv", "--plot", "vmin.png"])
    assert code == 0, capsys.readouterr().err
    rows = read(workdir / "m.csv")
    assert len(rows) == 3 * 3 * 13
    by_plot = {}
    for row in rows:
        by_plot.setdefault((row["site"], int(row["plot"])), []).append(row)
    assert len(by_plot) == 9
    for site, number, item, grid, labels, axis, _ in log.plots:
        got = by_plot[(site, number)]
        assert {r["item"] for r in got} == {" ".join(item.split())}
        for c, row in enumerate(got):
            passing = [float(labels[r][:-1]) for r in range(len(grid)) if grid[r][c] == 1]
            assert row["x"] == axis[c + 1]
            assert row["y_min"] == (f"{min(passing):.3f}" if passing else "")
            assert row["y_max"] == (f"{max(passing):.3f}" if passing else "")
            assert (row["axes"], row["x_unit"], row["y_unit"]) == ("values", "MHz", "V")
    summary = read(workdir / "s.csv")
    assert sorted((r["site"], r["plot"]) for r in summary) == sorted((s, str(n)) for s, n, *_ in log.plots)
    assert (workdir / "vmin.png").read_bytes()[:4] == b"\x89PNG"
    out = capsys.readouterr().out
    assert "m.csv" in out and "s.csv" in out and "vmin.png" in out


def test_margins_summary_holes_and_edges(workdir, shmoo_datalog, capsys):
    ring = [[1, 1, 1, 1, 1],
            [1, 0, 1, 0, 1],
            [1, 1, 1, 0, 1],
            [0, 0, 0, 0, 0]]
    shmoo_datalog(workdir / "lot.txt", [{0: ring}])
    assert cli.main(["margins", "lot.txt", "--summary", "s.csv"]) == 0, capsys.readouterr().err
    (row,) = read(workdir / "s.csv")
    # (1,1) is enclosed; (1,3) and (2,3) reach the failing bottom row
    assert (row["holes"], row["edge"], row["pass_fraction"]) == ("1", "top,left,right", "0.6000")


def test_margins_selected_sites_and_bad_input(workdir, shmoo_datalog, capsys):
    rng = np.random.default_rng(2)
    shmoo_datalog(workdir / "lot.txt", band_grids(rng, 2, (0, 1), 4, 5))
    assert cli.main(["margins", "lot.txt", "--sites", "1", "--out", "m.csv"]) == 0
    assert {r["site"] for r in read(workdir / "m.csv")} == {"1"}
    capsys.readouterr()
    (workdir / "empty.txt").write_text("no plots here\n", encoding="utf-8")
    assert cli.main(["margins", "empty.txt", "--out", "none.csv"]) == 1
    err = capsys.readouterr().err
    assert err.count("\n") == 1 and "no shmoo plot found" in err and "keyword_start" in err
    assert not (workdir / "none.csv").exists()
    assert not list(workdir.glob(".*partial"))
    assert cli.main(["margins", "missing.txt", "--out", "m2.csv"]) == 1
    assert "not found" in capsys.readouterr().err


def test_margins_reports_a_plot_that_never_closes(workdir, shmoo_datalog, capsys):
    log = shmoo_datalog(workdir / "lot.txt", [{0: [[1, 0], [1, 1]]}])
    text = log.path.read_text(encoding="utf-8")
    log.path.write_text(text + "  2002  Shmoo_VDD_vs_Freq  tail\nSite Number: 0\n    Shmoo: cut off\n    1.2V P P\n",
                        encoding="utf-8")
    assert cli.main(["margins", "lot.txt", "--out", "m.csv"]) == 0
    err = capsys.readouterr().err
    assert "never" in err and "lot.txt" in err
    assert len(read(workdir / "m.csv")) == 2


def sheet_cells(path):
    ws = openpyxl.load_workbook(path)["Sheet"]
    return {(c.row, c.column): (c.value, c.fill.fill_type, c.fill.start_color.rgb)
            for row in ws.iter_rows() for c in row if c.value is not None or c.fill.fill_type}


def test_extract_composite_leaves_sheet_as_a_plain_extract_writes_it(workdir, shmoo_datalog, capsys):
    rng = np.random.default_rng(8)
    log = shmoo_datalog(workdir / "lot.txt", band_grids(rng, 2, (0, 1, 2), 5, 6))
    assert cli.main(["extract", "lot.txt", "--out-dir", "plain"]) == 0
    assert cli.main(["extract", "lot.txt", "--out-dir", "comp", "--composite", "--composite-png", "c.png"]) == 0
    out = capsys.readouterr().out
    (plain,) = (workdir / "plain").glob("*.xlsx")
    (with_composite,) = (workdir / "comp").glob("*.xlsx")
    assert sheet_cells(with_composite) == sheet_cells(plain)
    book = openpyxl.load_workbook(with_composite)
    assert book.sheetnames == ["Sheet", "Composite"]
    ws = book["Composite"]
    truth = np.array(log.plots[0][3]) + np.array(log.plots[1][3]) + np.array(log.plots[2][3])
    assert ws.cell(row=3, column=1).value == "2001 Shmoo_VDD_vs_Freq pattern_0"
    assert [[ws.cell(row=5 + r, column=2 + c).value for c in range(6)] for r in range(5)] == truth.tolist()
    assert ws.cell(row=5, column=2).fill.start_color.rgb[-6:] == composite.scale_colour(truth[0, 0] / 3)
    assert (workdir / "c.png").exists() and "c.png" in out


@pytest.mark.parametrize("options, header", [
    (["--out", "-"], "MARGINS_HEADER"),
    ([], "SUMMARY_HEADER"),                                         # no output option: the per-plot table
    (["--items", "-", "--fmax", "f.csv", "--at-x", "430"], "ITEMS_HEADER"),
])
def test_margins_table_on_standard_output(workdir, shmoo_datalog, capsys, options, header):
    from quorvane import margins

    rng = np.random.default_rng(5)
    shmoo_datalog(workdir / "lot.txt", band_grids(rng, 2, (0, 1), 4, 5))
    assert cli.main(["margins", "lot.txt", *options]) == 0
    out, err = capsys.readouterr()
    rows = list(csv.reader(out.splitlines()))
    # standard output holds the table alone; the run's own lines go to standard error
    assert tuple(rows[0]) == getattr(margins, header) and len(rows) > 1 and "plots: 4" in err
    assert not (workdir / "-").exists()
    if "--fmax" in options:
        assert tuple(read(workdir / "f.csv")[0]) == margins.FMAX_HEADER


@pytest.mark.parametrize("options, fragment", [
    (["--out", "-", "--summary", "-"], "--out and --summary both name standard output"),
    (["--out", "m.csv", "--at-x", "450"], "--at-x 450: its Vmin goes into the summary and the item table"),
    (["--items", "i.csv", "--at-y", "1.1"], "--at-y 1.1: its Fmax goes into the summary; give --summary"),
])
def test_margins_refuses_what_it_cannot_honour(workdir, shmoo_datalog, capsys, options, fragment):
    shmoo_datalog(workdir / "lot.txt", [{0: [[1, 0], [1, 1]]}])
    assert cli.main(["margins", "lot.txt", *options]) == 1
    out, err = capsys.readouterr()
    assert err.count("\n") == 1 and fragment in err and out == ""
    assert sorted(p.name for p in workdir.iterdir()) == sorted(["lot.txt", samples.SETTINGS_FILE_NAME])
