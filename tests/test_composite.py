"""The "Composite" worksheet and the attaching of worksheets to a saved workbook."""

from __future__ import annotations

import json
import os
import stat

import numpy as np
import openpyxl
import pytest

from quorvane import composite, samples, workbook_sheets
from quorvane.plots import Plot
from quorvane.Source import Corvantis


def as_grid(rows):
    width = max(len(r) for r in rows)
    return np.array([[-1 if v is None else v for v in r] + [-1] * (width - len(r)) for r in rows], dtype=np.int8)


def known_plots(log):
    return [Plot(str(log.path), site, n, item.rstrip("\n"), None, line, labels, axis, as_grid(grid))
            for site, n, item, grid, labels, axis, line in log.plots]


def three_sites():
    rng = np.random.default_rng(5)
    items = []
    for shape in ((5, 6), (4, 3)):
        items.append({site: rng.integers(0, 2, size=shape).tolist() for site in (0, 1, 2)})
    return items


def extract(path, tmp_path, monkeypatch, sites="0,1,2"):
    keywords = Corvantis.getKeyWordFromSettingFile(samples.settings())
    out = tmp_path / "out"
    out.mkdir(exist_ok=True)
    monkeypatch.chdir(out)
    return keywords, Corvantis.getDatalogInfo(keywords, str(path), sites, 20)


def cells(ws):
    return {(c.row, c.column): (c.value, c.fill.fill_type, c.fill.start_color.rgb)
            for row in ws.iter_rows() for c in row if c.value is not None or c.fill.fill_type}


def test_composite_counts_and_colours(tmp_path, monkeypatch, shmoo_datalog):
    log = shmoo_datalog(tmp_path / "lot.txt", three_sites())
    _, saved = extract(log.path, tmp_path, monkeypatch)
    plain = openpyxl.load_workbook(saved)["Sheet"]
    before = cells(plain)
    maps = composite.composite_maps(known_plots(log))
    assert [(m.item, m.plots) for m in maps] == [("2001 Shmoo_VDD_vs_Freq pattern_0", 3),
                                                ("2002 Shmoo_VDD_vs_Freq pattern_1", 3)]
    os.chmod(saved, 0o640)
    workbook_sheets.append_worksheets(saved, {composite.SHEET_NAME: composite.fill_composite(maps)})
    assert stat.S_IMODE(os.stat(saved).st_mode) == 0o640
    assert [p.name for p in saved_dir(saved).iterdir()] == [os.path.basename(saved)]  # no temporary left
    book = openpyxl.load_workbook(saved)
    assert book.sheetnames == ["Sheet", "Composite"]
    assert cells(book["Sheet"]) == before  # values and fills as the plain extraction wrote them
    ws = book["Composite"]
    row = 3
    for k, m in enumerate(maps):
        grids = [np.array(log.plots[3 * k + s][3]) for s in range(3)]
        truth = sum(grids)
        assert ws.cell(row=row + 1, column=1).value.startswith(f"3 plot(s), sweep {truth.shape[0]} x {truth.shape[1]}, ")
        assert ws.cell(row=row, column=1).value == m.item
        row += 2
        # same layout as a site block on "Sheet": label, then one point per column
        for r, label in enumerate(log.plots[3 * k][4]):
            assert ws.cell(row=row + r, column=1).value == label
            for c in range(truth.shape[1]):
                cell = ws.cell(row=row + r, column=c + 2)
                assert cell.value == truth[r, c]
                assert cell.fill.start_color.rgb[-6:] == composite.scale_colour(truth[r, c] / 3)
        row += truth.shape[0]
        assert [ws.cell(row=row, column=j + 1).value for j in range(truth.shape[1] + 1)] == list(log.plots[3 * k][5])
        row += 2


def saved_dir(path):
    from pathlib import Path

    return Path(path).parent


def test_points_without_a_verdict_and_second_runs():
    axis = ("MHz", "5", "6", "7")
    small = Plot("a", "0", 1, "  9  Shmoo_Q", None, 1, ("2V", "1V"), axis, as_grid([[1, None, None], [0, 1, 0]]))
    short = Plot("a", "1", 1, "9 Shmoo_Q", None, 1, ("2V", "1V"), axis, as_grid([[1, 1, None], [1, 1]]))
    again = Plot("a", "1", 2, "9  Shmoo_Q", None, 1, ("2V", "1V"), axis, as_grid([[0, 0, 0], [0, 0, 0]]))
    first, second = composite.composite_maps([small, short, again])
    assert (first.plots, second.plots, second.run) == (2, 1, 2)
    assert first.passes.tolist() == [[2, 1, 0], [1, 2, 0]]
    assert first.judged.tolist() == [[2, 1, 0], [2, 2, 1]]
    book = openpyxl.Workbook()
    composite.fill_composite([first])(book.active)
    # a point no plot judged stays empty and unfilled
    assert book.active.cell(row=5, column=4).value is None
    assert book.active.cell(row=5, column=4).fill.fill_type is None
    assert book.active.cell(row=6, column=4).value == 0


def test_an_item_swept_two_ways_gets_one_map_per_sweep_and_one_warning(tmp_path, monkeypatch, capsys,
                                                                       shmoo_datalog):
    rng = np.random.default_rng(7)
    small = {site: rng.integers(0, 2, size=(11, 11)).tolist() for site in range(4)}
    large = {site: rng.integers(0, 2, size=(16, 31)).tolist() for site in range(8)}
    logs = [shmoo_datalog(tmp_path / "a.txt", [small], volt_step=0.05),
            shmoo_datalog(tmp_path / "b.txt", [large], volt_step=0.5 / 15)]
    settings = tmp_path / "settings.json"
    settings.write_text(json.dumps(samples.settings()), encoding="utf-8")
    monkeypatch.chdir(tmp_path)
    maps, pictures = composite.run_composite([log.path for log in logs], settings, None, None, tmp_path / "m.png")
    assert [(m.plots, m.passes.shape) for m in maps] == [(4, (11, 11)), (8, (16, 31))]
    assert [(m.sweep, m.plots) for m in maps] == [("11 x 11, 0.700-1.200 V, 400-900 MHz", 4),
                                                 ("16 x 31, 0.700-1.200 V, 400-1900 MHz", 8)]
    for m, grids in zip(maps, (small, large)):
        assert m.passes.tolist() == sum(np.array(g) for g in grids.values()).tolist()
        assert (m.judged == len(grids)).all()
    warnings = [line for line in capsys.readouterr().err.splitlines() if "warning" in line]
    assert len(warnings) == 1
    assert all(text in warnings[0] for text in ("2001 Shmoo_VDD_vs_Freq pattern_0", maps[0].sweep, maps[1].sweep))
    assert [p.name for p in pictures] == ["m.png"]


def flipped(plot, rows=True, columns=True, labels=None):
    """The plot printed the other way round (or, with ``labels``, at other row values)."""
    grid = plot.grid[::-1 if rows else 1, ::-1 if columns else 1]
    row_labels = labels or (plot.row_labels[::-1] if rows else plot.row_labels)
    axis = plot.axis[:1] + (plot.axis[:0:-1] if columns else plot.axis[1:])
    return Plot("b", "1", 1, plot.item, None, 1, row_labels, axis, grid, plot.heading)


@pytest.mark.parametrize("other, maps", [
    (lambda p: flipped(p), 1),
    (lambda p: flipped(p, columns=False), 1),
    (lambda p: flipped(p, rows=False, columns=False, labels=("1.3V", "1.2V", "1.1V")), 2),
    (lambda p: flipped(p, rows=False, columns=False, labels=("1.2V", "1.15V", "1.0V")), 2),  # reads alike
])
def test_one_sweep_printed_another_way_round_is_stacked_in_the_first_ones_orientation(other, maps):
    first = Plot("a", "0", 1, "9 Shmoo_Q", None, 1, ("1.2V", "1.1V", "1.0V"), ("MHz", "100", "200"),
                 as_grid([[1, 1], [1, 0], [0, 0]]), "Shmoo: VDD(V) vs Freq(MHz)")
    second = other(Plot("a", "1", 1, "9 Shmoo_Q", None, 1, first.row_labels, first.axis,
                        as_grid([[1, 0], [0, 0], [0, 0]]), first.heading))
    result = composite.composite_maps([first, second])
    assert len({m.sweep for m in result}) == len(result) == maps
    if maps == 1:
        assert (result[0].row_labels, result[0].axis) == (first.row_labels, first.axis)
        assert result[0].passes.tolist() == [[2, 1], [1, 0], [0, 0]]


@pytest.mark.parametrize("axis", [("400", "450", "500"), ("MHz", "400", "450", "500"), ("0", "400", "450", "500")])
def test_axis_values_stand_under_their_points(axis):
    plot = Plot("a", "0", 1, "9 Shmoo_Q", None, 1, ("1V", "2V"), axis, as_grid([[1, 1, 0], [1, 0, 0]]))
    book = openpyxl.Workbook()
    composite.fill_composite(composite.composite_maps([plot]))(book.active)
    assert [book.active.cell(row=7, column=j).value for j in (2, 3, 4)] == ["400", "450", "500"]


def test_colour_scale_runs_from_fail_red_to_pass_green():
    assert composite.scale_colour(0) == "DC143C"
    assert composite.scale_colour(0.5) == "FFFF00"
    assert composite.scale_colour(1) == "00EE00"
    shades = [composite.scale_colour(k / 4) for k in range(5)]
    assert len(set(shades)) == 5


def test_append_refuses_bad_or_taken_names_and_leaves_the_file_alone(tmp_path):
    path = tmp_path / "book.xlsx"
    book = openpyxl.Workbook()
    book.active["A1"] = "kept"
    book.save(path)
    original = path.read_bytes()
    for name, fragment in [("Sheet", "already has"), ("sheet", "already has"), ("a/b", "must not contain"),
                           ("x" * 32, "longer than 31"), ("", "non-empty")]:
        with pytest.raises(ValueError, match=fragment):
            workbook_sheets.append_worksheets(path, {name: lambda ws: None})
    assert path.read_bytes() == original

    def broken(ws):
        ws["A1"] = "half"
        raise RuntimeError("filler failed")

    with pytest.raises(RuntimeError, match="filler failed"):
        workbook_sheets.append_worksheets(path, {"Good": lambda ws: None, "Bad": broken})
    assert path.read_bytes() == original
    assert sorted(p.name for p in tmp_path.iterdir()) == ["book.xlsx"]


def test_append_through_a_symbolic_link_keeps_the_link(tmp_path):
    real = tmp_path / "real.xlsx"
    openpyxl.Workbook().save(real)
    link = tmp_path / "link.xlsx"
    link.symlink_to(real)
    workbook_sheets.append_worksheets(link, {"One": lambda ws: ws.cell(row=1, column=1, value=1),
                                            "Two": lambda ws: None})
    assert link.is_symlink()
    assert openpyxl.load_workbook(real).sheetnames == ["Sheet", "One", "Two"]


def test_pictures_split_into_pages_and_name_every_file(tmp_path):
    from quorvane import margins

    plots = [Plot("a", str(s), k + 1, f"{k} Shmoo_{k}", "Shmoo: VDD(V) vs Freq(MHz)", 1, ("1.1V", "1.0V"),
                      ("MHz", "100", "200"), as_grid([[1, s % 2], [0, 1]])) for k in range(3) for s in range(2)]
    # a plot without point rows gets a panel saying so rather than stopping the picture
    plots.append(Plot("a", "0", 9, "9 Shmoo_bare", None, 1, (), None, np.zeros((0, 0), dtype=np.int8)))
    kept = []
    margins.write_tables(plots, None, None, kept)
    overlay = margins.save_overlay(tmp_path / "vmin.png", kept, per_page=2)
    maps = composite.save_composite_png(tmp_path / "maps.png", composite.composite_maps(plots), per_page=2)
    assert [p.name for p in overlay] == ["vmin.png", "vmin_2.png"]
    assert [p.name for p in maps] == ["maps.png", "maps_2.png"]
    assert len(overlay) == 2
    for path in overlay + maps:
        assert path.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


def test_text_that_looks_like_a_formula_stays_text_after_appending(tmp_path, monkeypatch):
    log = tmp_path / "log.txt"
    log.write_text("  2001  Shmoo_X\nSite Number: 0\n  Shmoo: a\n  =1+1 P . P\n  =SUM(A1:A2) P P\n"
                   "  *** End of Shmoo ***\n", encoding="utf-8")
    _, saved = extract(log, tmp_path, monkeypatch, sites="0")

    def typed(path):
        ws = openpyxl.load_workbook(path)["Sheet"]
        return [(c.coordinate, c.value, c.data_type) for row in ws.iter_rows() for c in row if c.value is not None]

    before = typed(saved)
    workbook_sheets.append_worksheets(saved, {"Extra": lambda ws: None})
    after = typed(saved)
    assert after == before
    assert ("A7", "=1+1", "s") in after


def styled_filler(ws):
    from openpyxl.styles import Font, PatternFill

    ws["A1"] = "verdict"
    ws["A1"].font = Font(bold=True)
    ws["B2"] = 7
    ws["B2"].fill = PatternFill(start_color="123456", end_color="123456", fill_type="solid")
    ws["C3"] = 0.25
    ws["C3"].number_format = "0.0%"
    ws["D4"] = "plot 1"
    ws["D4"].hyperlink = "#Sheet!A5"
    ws["E5"] = "=B2*2"
    ws["F6"] = "P"
    ws["F6"].fill = PatternFill(start_color="00EE00", end_color="00EE00", fill_type="solid")
    ws.column_dimensions["A"].width = 31


def read_all(path):
    book = openpyxl.load_workbook(path)
    result = {}
    for ws in book.worksheets:
        result[ws.title] = (
            {c.coordinate: (c.value, c.data_type, c.fill.fill_type, c.fill.start_color.rgb, c.font.b,
                            c.number_format, c.hyperlink.target if c.hyperlink else None)
             for row in ws.iter_rows() for c in row if c.value is not None or c.has_style},
            {k: d.width for k, d in ws.column_dimensions.items() if d.customWidth},
        )
    return book.sheetnames, result


def test_added_parts_read_back_like_a_full_openpyxl_rewrite(tmp_path, monkeypatch, shmoo_datalog):
    import shutil
    import zipfile

    log = shmoo_datalog(tmp_path / "lot.txt", three_sites())
    _, saved = extract(log.path, tmp_path, monkeypatch)
    merged, rewritten = tmp_path / "merged.xlsx", tmp_path / "rewritten.xlsx"
    shutil.copy(saved, merged)
    shutil.copy(saved, rewritten)
    fillers = {"Verdicts": styled_filler, "Composite": composite.fill_composite(composite.composite_maps(
        known_plots(log)))}

    def no_rewrite(*args):
        raise AssertionError("the package merge should have taken these sheets")

    with monkeypatch.context() as m:
        m.setattr(workbook_sheets, "_through_openpyxl", no_rewrite)
        workbook_sheets.append_worksheets(merged, fillers)

    def no_merge(*args):
        raise workbook_sheets._NotMergeable("forced")

    with monkeypatch.context() as m:
        m.setattr(workbook_sheets, "_merge_into_package", no_merge)
        workbook_sheets.append_worksheets(rewritten, fillers)
    assert read_all(merged) == read_all(rewritten)
    assert read_all(merged)[0] == ["Sheet", "Verdicts", "Composite"]
    # the extraction's own parts are carried over untouched
    with zipfile.ZipFile(saved) as before, zipfile.ZipFile(merged) as after:
        assert after.read("xl/worksheets/sheet1.xml") == before.read("xl/worksheets/sheet1.xml")
        assert len(after.namelist()) == len(before.namelist()) + 3  # two sheets, one hyperlink table


def test_sheets_the_merge_cannot_carry_go_through_openpyxl(tmp_path):
    from openpyxl.comments import Comment

    path = tmp_path / "book.xlsx"
    book = openpyxl.Workbook()
    book.active["A1"] = "kept"
    book.save(path)

    def with_comment(ws):
        ws["A1"] = "noted"
        ws["A1"].comment = Comment("a remark", "quorvane")

    workbook_sheets.append_worksheets(path, {"Notes": with_comment})
    book = openpyxl.load_workbook(path)
    assert book["Sheet"]["A1"].value == "kept"
    assert book["Notes"]["A1"].comment.text == "a remark"


def test_control_characters_in_datalog_text_do_not_break_the_worksheet(tmp_path):
    path = tmp_path / "book.xlsx"
    openpyxl.Workbook().save(path)
    plot = Plot("a\x1b.txt", "0", 1, "7 Shmoo\x07_X", None, 1, ("1V\x01",), ("MHz\x02", "5"), as_grid([[1]]))
    workbook_sheets.append_worksheets(path, {"Composite": composite.fill_composite(composite.composite_maps([plot]))})
    ws = openpyxl.load_workbook(path)["Composite"]
    assert ws.cell(row=3, column=1).value == "7 Shmoo\ufffd_X"
    assert (ws.cell(row=5, column=1).value, ws.cell(row=5, column=2).value) == ("1V\ufffd", 1)
    assert ws.cell(row=6, column=1).value == "MHz\ufffd"
