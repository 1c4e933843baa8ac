"""Margins of generated plots whose boundaries are known: y_min/y_max per
column, holes, edges, and the axis values behind them."""

from __future__ import annotations

import csv
import dataclasses
import io
import random
from collections import deque

import numpy as np
import pytest

from quorvane import axes, figures, margins
from quorvane.plots import Plot


def voltages(rows: int, top: float = 1.2, step: float = 0.025) -> list[str]:
    return [f"{top - step * r:.3f}" for r in range(rows)]


def band_plot(rng: random.Random, rows: int, cols: int, **fields) -> tuple[Plot, list[tuple[str, str]]]:
    """A plot whose every column passes in one band of rows chosen at random
    (or nowhere); returns it with the true (y_min, y_max) texts per column."""
    volts = voltages(rows)
    grid = np.zeros((rows, cols), dtype=np.int8)
    truth = []
    for c in range(cols):
        if rng.random() < 0.15:
            truth.append(("", ""))
            continue
        top = rng.randrange(rows)
        bottom = rng.randrange(top, rows)
        grid[top : bottom + 1, c] = 1
        # rows run from high voltage down: the band's bottom row is its lowest voltage
        truth.append((volts[bottom], volts[top]))
    freqs = [str(400 + 50 * c) for c in range(cols)]
    plot = Plot(
        datalog=fields.get("datalog", "lot.txt"),
        site=fields.get("site", "0"),
        plot=fields.get("plot", 1),
        item=fields.get("item", "  2001  Shmoo_VDD_vs_Freq  core"),
        pattern=fields.get("pattern", "Shmoo: VDD(V) vs Freq(MHz)  pattern core"),
        line=10,
        row_labels=tuple(v + "V" for v in volts),
        axis=("MHz", *freqs),
        grid=grid,
    )
    return plot, truth


def read_csv(text: str) -> list[dict[str, str]]:
    return list(csv.DictReader(io.StringIO(text)))


def test_every_column_margin_equals_the_truth():
    rng = random.Random(7)
    plots, truths = [], []
    for k, (rows, cols) in enumerate([(11, 11), (7, 11), (11, 21), (21, 41), (15, 9), (1, 5), (6, 1)]):
        plot, truth = band_plot(rng, rows, cols, plot=k + 1, site=str(k % 3))
        plots.append(plot)
        truths.append(truth)
    out, summary = io.StringIO(), io.StringIO()
    assert margins.write_tables(plots, out, summary) == len(plots)
    rows = read_csv(out.getvalue())
    assert list(rows[0]) == list(margins.MARGINS_HEADER)
    assert len(rows) == sum(p.grid.shape[1] for p in plots)
    it = iter(rows)
    for plot, truth in zip(plots, truths):
        for c, (y_min, y_max) in enumerate(truth):
            row = next(it)
            assert (row["site"], row["plot"], row["item"]) == (plot.site, str(plot.plot), "2001 Shmoo_VDD_vs_Freq core")
            assert row["x"] == str(400 + 50 * c)
            assert (row["y_min"], row["y_max"]) == (y_min, y_max), (plot.grid.shape, c)
            assert (row["axes"], row["x_unit"], row["y_unit"]) == ("values", "MHz", "V")
    assert len(read_csv(summary.getvalue())) == len(plots)


def reference_margins(grid, values):
    """Straightforward per-column loop over the passing points."""
    result = []
    for c in range(grid.shape[1]):
        passing = [values[r] for r in range(grid.shape[0]) if grid[r, c] == 1]
        result.append((min(passing), max(passing)) if passing else (None, None))
    return result


def test_margins_of_scattered_points_and_unordered_rows_match_a_plain_loop():
    # Passing points anywhere (not one band), rows in no particular order, points
    # that are neither pass nor fail: the smallest and largest by value.
    rng = np.random.default_rng(3)
    for _ in range(200):
        rows, cols = rng.integers(1, 12, size=2)
        grid = rng.choice(np.array([-1, 0, 1], dtype=np.int8), size=(rows, cols), p=[0.1, 0.5, 0.4])
        values = rng.permutation(rows).astype(float) * 0.05 + 0.6
        low, high = margins.column_margins(grid, values)
        got = [(values[lo], values[hi]) if lo >= 0 else (None, None) for lo, hi in zip(low, high)]
        assert got == reference_margins(grid, values)


def test_run_ends_of_random_columns_match_a_walk_down_each_column():
    rng = np.random.default_rng(4)
    for _ in range(300):
        rows, cols = rng.integers(0, 9, size=2)
        grid = rng.choice(np.array([-1, 0, 1], dtype=np.int8), size=(rows, cols), p=[0.1, 0.4, 0.5])
        expected = []
        for c in range(cols):
            r = next((r for r in range(rows) if grid[r, c] == 1), None)
            while r is not None and r + 1 < rows and grid[r + 1, c] == 1:
                r += 1
            expected.append(-1 if r is None else r)
        assert margins.first_run_ends(grid == 1).tolist() == expected


def reference_holes(grid) -> int:
    """Breadth-first search from the border over non-passing points."""
    rows, cols = grid.shape
    seen = np.zeros(grid.shape, dtype=bool)
    queue = deque((r, c) for r in range(rows) for c in range(cols)
                  if (r in (0, rows - 1) or c in (0, cols - 1)) and grid[r, c] != 1)
    for r, c in queue:
        seen[r, c] = True
    while queue:
        r, c = queue.popleft()
        for rr, cc in ((r + 1, c), (r - 1, c), (r, c + 1), (r, c - 1)):
            if 0 <= rr < rows and 0 <= cc < cols and not seen[rr, cc] and grid[rr, cc] != 1:
                seen[rr, cc] = True
                queue.append((rr, cc))
    return int(((grid == 0) & ~seen).sum())


def parse(picture: str) -> np.ndarray:
    table = {"P": 1, ".": 0, "?": -1}
    return np.array([[table[ch] for ch in line.split()] for line in picture.strip().splitlines()], dtype=np.int8)


@pytest.mark.parametrize("picture, holes, edge", [
    # a one-point hole and a two-point hole, the border all passing
    ("""P P P P P P
        P . P P . P
        P P P P . P
        P P P P P P""", 3, "top,bottom,left,right"),
    # a failing wall that reaches the border is no hole
    ("""P P P . .
        P P . . .
        P P P . .""", 0, "top,bottom,left"),
    # a spiral: its inner end joins the border only along a long corridor
    ("""P P P P P P P
        . . . . . . P
        P P P P P . P
        P . . . P . P
        P . P . . . P
        P . P P P P P
        P P P P P P P""", 0, "top,bottom,left,right"),
    # the same spiral with its mouth closed: the whole corridor is enclosed
    ("""P P P P P P P
        P . . . . . P
        P P P P P . P
        P . . . P . P
        P . P . . . P
        P . P P P P P
        P P P P P P P""", 15, "top,bottom,left,right"),
    # diagonal gaps do not connect (4-neighbour)
    (""". P . .
        P . P .
        . P . .""", 1, "top,bottom,left"),
    # padding (neither pass nor fail) carries the path to the border but is not counted
    ("""P P P ?
        P . ? ?
        P P P P""", 0, "top,bottom,left,right"),
    ("""P P P P
        P . ? P
        P P P P""", 1, "top,bottom,left,right"),
    (""". . .
        . . .""", 0, ""),
])
def test_holes_and_edges_of_known_shapes(picture, holes, edge):
    grid = parse(picture)
    assert margins.count_holes(grid) == holes == reference_holes(grid)
    assert ",".join(margins.edge_sides(grid)) == edge


def test_holes_of_random_plots_match_a_breadth_first_search():
    rng = np.random.default_rng(11)
    for _ in range(400):
        rows, cols = rng.integers(1, 14, size=2)
        share = rng.uniform(0.3, 0.9)
        grid = rng.choice(np.array([-1, 0, 1], dtype=np.int8), size=(rows, cols), p=[0.05, 0.95 - share, share])
        assert margins.count_holes(grid) == reference_holes(grid)


def test_summary_rows():
    grid = parse("""P P P P
                    P . P P
                    . P . .""")
    plot = Plot("a.txt", "3", 2, "  7  Shmoo_X", None, 5, ("1.1V", "1.0V", "0.9V"), ("MHz", "1", "2", "3", "4"), grid)
    empty = Plot("a.txt", "3", 3, "  7  Shmoo_X", None, 9, ("a", "b"), None, parse("? ?\n? ?"))
    no_rows = Plot("a.txt", "3", 4, "  7  Shmoo_X", None, 12, (), ("MHz",), np.zeros((0, 0), dtype=np.int8))
    summary, out = io.StringIO(), io.StringIO()
    margins.write_tables([plot, empty, no_rows], out, summary)
    rows = read_csv(summary.getvalue())
    assert list(rows[0]) == list(margins.SUMMARY_HEADER)
    assert {k: rows[0][k] for k in margins.SUMMARY_HEADER[:8]} == {
        "datalog": "a.txt", "site": "3", "plot": "2", "item": "7 Shmoo_X", "pass_fraction": "0.6667",
        "holes": "1", "edge": "top,bottom,left,right", "axes": "values"}
    # nothing to judge: no fraction rather than a made-up one
    assert (rows[1]["pass_fraction"], rows[1]["holes"], rows[1]["edge"], rows[1]["axes"]) == ("", "0", "", "index")
    # a plot without point rows still has its summary row, and no column rows
    assert (rows[2]["plot"], rows[2]["pass_fraction"], rows[2]["edge"]) == ("4", "", "")
    assert [r["plot"] for r in read_csv(out.getvalue())] == ["2"] * 4 + ["3"] * 2


@pytest.mark.parametrize("labels, values, unit, kind", [
    (("1.200V", "1.175V", "1.150V"), [1.2, 1.175, 1.15], "V", "values"),
    (("0.95", "0.90", "-0.85"), [0.95, 0.9, -0.85], "", "values"),
    (("100MHz", "1e3MHz"), [100.0, 1000.0], "MHz", "values"),
    (("1.1V", "900mV"), [1.0, 2.0], "", "index"),          # mixed units are not comparable
    (("VDD=1.1", "VDD=1.0"), [1.0, 2.0], "", "index"),
    (("1.1V", "P"), [1.0, 2.0], "", "index"),
    (("nan", "inf"), [1.0, 2.0], "", "index"),
])
def test_row_values_from_labels(labels, values, unit, kind):
    axis = axes.row_axis(labels)
    assert axis.values.tolist() == pytest.approx(values)
    assert (axis.unit, axis.kind) == (unit, kind)


@pytest.mark.parametrize("tokens, cols, texts, unit, kind", [
    (("MHz", "400", "450", "500"), 3, ("400", "450", "500"), "MHz", "values"),
    (("X-Axis", "10ns", "11ns"), 2, ("10", "11"), "ns", "values"),
    (("Freq(MHz)", "1", "2"), 2, ("1", "2"), "MHz", "values"),
    (("400", "450", "500"), 3, ("400", "450", "500"), "", "values"),
    (("Vdd\\Freq", "100", "150"), 2, ("100", "150"), "", "values"),
    (("MHz", "400", "450"), 3, ("1", "2", "3"), "", "index"),          # one number short
    (("1", "400", "450"), 2, ("400", "450"), "", "values"),            # the first stands above the labels
    (("GHz", "1", "400", "450"), 2, ("1", "2"), "", "index"),         # a number too many
    (("MHz", "400", "fast"), 2, ("1", "2"), "", "index"),
    (None, 2, ("1", "2"), "", "index"),
])
def test_column_values_from_the_axis_line(tokens, cols, texts, unit, kind):
    axis = axes.column_axis(tokens, cols)
    assert (axis.texts, axis.unit, axis.kind) == (texts, unit, kind)


def test_axes_column_says_which_axis_fell_back():
    grid = parse("P .\n. P")
    both = Plot("a", "0", 1, "i", None, 1, ("1V", "2V"), ("3", "4"), grid)
    no_x = Plot("a", "0", 1, "i", None, 1, ("1V", "2V"), None, grid)
    no_y = Plot("a", "0", 1, "i", None, 1, ("x", "y"), ("3", "4"), grid)
    neither = Plot("a", "0", 1, "i", None, 1, ("x", "y"), None, grid)
    assert [margins.analyse(p).axes for p in (both, no_x, no_y, neither)] == ["values", "x:index", "y:index", "index"]
    out = io.StringIO()
    margins.write_tables([no_y], out)
    # the index fallback counts rows from the top
    assert [(r["x"], r["y_min"], r["y_max"]) for r in read_csv(out.getvalue())] == [("3", "1", "1"), ("4", "2", "2")]


@pytest.mark.parametrize("heading, labels, axis, units", [
    ("Shmoo  X-Axis: FREQ(MHz)  Y-Axis: VDD(V)", ("1.2", "1.1"), ("400", "450"), ("MHz", "V")),
    ("Shmoo: VDD(V) vs Freq(MHz)", ("1.2", "1.1"), ("400", "450"), ("MHz", "V")),
    ("Shmoo PERIOD(ns)", ("1.2V", "1.1V"), ("X-Axis", "10", "12"), ("ns", "V")),
    ("Shmoo", ("1200mV", "1100mV"), ("250MHz", "300MHz"), ("MHz", "mV")),
])
def test_units_of_both_axes_from_every_heading_form(heading, labels, axis, units, monkeypatch, tmp_path):
    plot = Plot("a", "0", 1, "i", None, 1, labels, axis, parse("P .\nP P"), heading)
    out, kept = io.StringIO(), []
    margins.write_tables([plot], out, keep=kept)
    assert {(r["x_unit"], r["y_unit"]) for r in read_csv(out.getvalue())} == {units}
    drawn = []
    monkeypatch.setattr(figures.Ink, "flush", lambda ink, **_: drawn.extend(ink.texts))
    margins.save_overlay(tmp_path / "vmin.png", kept)
    assert any(t.endswith(f"({units[0]})") for t in drawn) and any(
        t.startswith("Vmin") and t.endswith(f"({units[1]})") for t in drawn)


def test_quantity_names_from_the_plot_title():
    assert margins.quantity_names(None, "Shmoo: VDD(V) vs Freq(MHz) pattern x") == ("VDD", "V", "Freq", "MHz")
    assert margins.quantity_names("no title here") is None


def test_texts_with_commas_and_quotes_survive_the_csv():
    grid = parse("P .\nP P")
    plot = Plot('lot "A", wafer 7.txt', "0", 1, ' 5 Shmoo "fast", slow', None, 1, ("1V", "2V"),
                    ('Freq(M,Hz")', "3", "4"), grid)
    out, summary = io.StringIO(), io.StringIO()
    margins.write_tables([plot], out, summary)
    rows = read_csv(out.getvalue())
    assert [(r["datalog"], r["item"], r["x"], r["y_min"], r["y_max"], r["x_unit"]) for r in rows] == [
        ('lot "A", wafer 7.txt', '5 Shmoo "fast", slow', "3", "1", "2", 'M,Hz"'),
        ('lot "A", wafer 7.txt', '5 Shmoo "fast", slow', "4", "2", "2", 'M,Hz"'),
    ]
    assert read_csv(summary.getvalue())[0]["edge"] == "top,bottom,left,right"


# Hand-counted: rows 1.200 down to 0.867 in steps of 1/30 V; column 0 passes at
# 1.200-1.067, fails at 1.033-0.900 and passes once more (a stray) at 0.867.
HAND_VOLTS = tuple(f"{1.2 - r / 30:.3f}" for r in range(11))
HAND_GRID = np.array([
    # 0  1  2  3    (frequency rising, or period falling, to the right)
    [1, 1, 1, 0],   # 1.200
    [1, 1, 1, 0],   # 1.167
    [1, 1, 1, 0],   # 1.133
    [1, 1, 0, 1],   # 1.100: column 3 passes beyond a failing column 2
    [1, 1, 0, 0],   # 1.067
    *[[0, 1, 0, 0]] * 5,  # 1.033 .. 0.900
    [1, 1, 0, 0],   # 0.867
], dtype=np.int8)
HAND_AXES = {"MHz": ("100", "200", "300", "400"), "ns": ("10", "5", "4", "2.5")}


def hand_plot(unit: str, rows_rising: bool, columns_reversed: bool) -> Plot:
    labels, grid, columns = tuple(v + "V" for v in HAND_VOLTS), HAND_GRID, HAND_AXES[unit]
    if rows_rising:
        labels, grid = labels[::-1], grid[::-1]
    if columns_reversed:
        columns, grid = columns[::-1], grid[:, ::-1]
    return Plot("lot.txt", "0", 1, "2001 Shmoo", None, 1, labels, (unit, *columns), np.ascontiguousarray(grid),
                "Shmoo  X-Axis: FREQ(MHz)  Y-Axis: VDD(V)" if unit == "MHz" else "Shmoo  PERIOD(ns)")


@pytest.mark.parametrize("unit", sorted(HAND_AXES))
@pytest.mark.parametrize("rows_rising, columns_reversed", [(False, False), (True, False), (False, True), (True, True)])
def test_vmin_and_fmax_stop_at_the_first_failure_in_every_print_order(unit, rows_rising, columns_reversed):
    x = HAND_AXES[unit]
    out, fmax = io.StringIO(), io.StringIO()
    margins.write_tables([hand_plot(unit, rows_rising, columns_reversed)], out, fmax=fmax)
    per_column = {r["x"]: (r["y_min"], r["vmin"]) for r in read_csv(out.getvalue())}
    assert per_column == {x[0]: ("0.867", "1.067"), x[1]: ("0.867", "0.867"), x[2]: ("1.133", "1.133"),
                          x[3]: ("1.100", "1.100")}
    per_row = {r["y"]: r for r in read_csv(fmax.getvalue())}
    assert {y: r["x_fmax"] for y, r in per_row.items()} == {y: x[2] if float(y) > 1.11 else x[1] for y in HAND_VOLTS}
    # both readings of the top row's Fmax: 300 MHz is 3.333 ns, 4 ns is 250 MHz
    top = per_row["1.200"]
    fmax_value, period = (300.0, 1e3 / 300) if unit == "MHz" else (250.0, 4.0)
    assert (top["fmax_unit"], top["period_unit"]) == ("MHz", "ns")
    assert (float(top["fmax"]), float(top["period"])) == pytest.approx((fmax_value, period), rel=1e-5)


@pytest.mark.parametrize("unit, at_x, at_y, expected", [
    ("MHz", 150, 1.05, ("200", "0.867", "1.033", "200")),   # between points: the next harder one
    ("MHz", 100, 1.2, ("100", "1.067", "1.200", "300")),    # on a point: that point
    ("MHz", 450, 0.8, ("", "", "", "")),                    # beyond the sweep: none
    ("ns", 4.5, 1.1, ("4", "1.133", "1.100", "5")),          # a period: the next shorter one
])
def test_summary_gives_vmin_and_fmax_at_the_nearest_swept_point_beyond_a_value(unit, at_x, at_y, expected):
    summary = io.StringIO()
    for rows_rising in (False, True):
        margins.write_tables([hand_plot(unit, rows_rising, rows_rising)], None, summary, at_x=at_x, at_y=at_y)
        row = read_csv(summary.getvalue())[0]
        assert (row["at_x"], row["vmin_at_x"], row["at_y"], row["x_fmax_at_y"]) == expected
        assert (row["vmin"], row["x_fmax"]) == ("0.867", HAND_AXES[unit][2])
        summary.seek(0)
        summary.truncate()


def test_items_table_compares_the_sites_of_each_item():
    def site_plot(site, item, column_0):
        grid = HAND_GRID.copy()
        grid[:, 0] = column_0
        return Plot("lot.txt", site, 1, item, None, 1, tuple(v + "V" for v in HAND_VOLTS),
                    ("MHz", *HAND_AXES["MHz"]), grid)

    stray = HAND_GRID[:, 0]
    deep = np.ones(11, dtype=np.int8)
    plots = [site_plot("0", "2001 A", stray), site_plot("1", "2001 A", deep), site_plot("2", "2001 A", stray),
             site_plot("3", "2001 A", np.zeros(11, dtype=np.int8)), site_plot("0", "2002 B", deep)]
    kept, items = [], io.StringIO()
    margins.write_tables(plots, None, keep=kept)
    margins.write_items(kept, items, at_x=100)
    rows = {r["item"]: r for r in read_csv(items.getvalue())}
    assert [(r["at_x"], r["plots"], r["vmin_min"], r["vmin_max"], r["no_vmin"], r["worst"])
            for r in rows.values()] == [("100", "4", "0.867", "1.067", "1", "site 3"),
                                        ("100", "1", "0.867", "0.867", "0", "site 0")]
    assert float(rows["2001 A"]["vmin_median"]) == pytest.approx(1.067)
    items = io.StringIO()
    margins.write_items(kept[:3], items)  # each plot's own Vmin: 0.867 everywhere (column 1 always passes)
    assert read_csv(items.getvalue())[0]["worst"] == "site 0; site 1; site 2"


@pytest.mark.parametrize("other, pages", [
    (hand_plot("MHz", rows_rising=True, columns_reversed=True), 1),  # the same sweep printed the other way round
    (band_plot(random.Random(1), 16, 31, item="2001 Shmoo")[0], 2),
])
def test_vmin_overlay_joins_only_curves_of_one_sweep(tmp_path, other, pages):
    kept = []
    margins.write_tables([hand_plot("MHz", False, False), dataclasses.replace(other, site="1")], None, keep=kept)
    assert len(margins.save_overlay(tmp_path / "vmin.png", kept, per_page=1)) == pages
