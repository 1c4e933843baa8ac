"""The plot reader: every plot it yields holds the points the workbook
extraction writes for the same plot, plus labels, axis, item and pattern."""
import json
import random
from pathlib import Path

import numpy as np
import openpyxl
import pytest

from quorvane import samples
from quorvane.plots import Plot, announced_sites, read_plots
from quorvane.Source import Corvantis

EXAMPLES = Path(__file__).resolve().parents[1] / "examples" / "data"
SETTINGS = {"keyword_item": "Test Item:", "keyword_site": "Site: ", "keyword_start": "Shmoo",
            "keyword_end": "X-Axis", "keyword_pass": r"\*", "keyword_fail": "#"}
WIDTH = 60  # site block width: wider than any generated plot


def keywords(settings=None):
    return Corvantis.getKeyWordFromSettingFile(settings or SETTINGS)


def write(tmp_path, text, name="log.txt"):
    path = tmp_path / name
    path.write_text(text, encoding="utf-8")
    return str(path)


def workbook_plots(table, paths, site_label, pairs, out_dir, monkeypatch, capsys):
    """Per pair (in the driver's order): the point rows of each plot as the
    extraction writes them, as (labels, cells) with P 1, "." 0, empty None,
    anything else -1."""
    monkeypatch.chdir(out_dir)
    saved = Corvantis.getDatalogInfo(table, ";".join(paths), site_label, WIDTH)
    capsys.readouterr()
    ws = openpyxl.load_workbook(saved)["Sheet"]
    result = []
    for block in range(pairs):
        first = block * WIDTH + 1
        plots, labels, rows = [], [], []
        for r in range(3, ws.max_row + 1):
            cells = [ws.cell(r, first + j).value for j in range(WIDTH)]
            if table["PlotEnd"] in " ".join(str(c) for c in cells if c is not None):
                plots.append((tuple(labels), rows))
                labels, rows = [], []
            elif any(c in ("P", ".") for c in cells[1:]):
                labels.append(cells[0])
                rows.append([1 if c == "P" else 0 if c == "." else None if c is None else -1 for c in cells[1:]])
        result.append(plots)
    return result


def assert_same_points(plots, pairs):
    """Reader plots (grouped by pair) equal the workbook's point rows."""
    assert [len(p) for p in plots] == [len(p) for p in pairs]
    for found, written in zip(plots, pairs):
        for plot, (labels, rows) in zip(found, written):
            assert plot.row_labels == labels
            width = max((len([c for c in row if c is not None]) for row in rows), default=0)
            assert plot.grid.shape == (len(rows), width)
            for r, row in enumerate(rows):
                expected = [-1 if c is None else c for c in row[:width]]
                assert plot.grid[r].tolist() == expected
                assert all(c is None for c in row[width:])


def by_pair(plots):
    pairs = {}
    for p in plots:
        pairs.setdefault((p.datalog, p.site), []).append(p)
    return list(pairs.values())


# ---------------------------------------------------------------------------
# Agreement with the workbook
# ---------------------------------------------------------------------------

def test_example_datalog_points_equal_the_workbook(tmp_path, monkeypatch, capsys):
    settings = json.loads((EXAMPLES / "SHM_keywords_setting.json").read_text())
    table = keywords(settings)
    log = str(EXAMPLES / "sample_datalog.txt")
    plots = list(read_plots(table, [log]))
    assert {p.site for p in plots} == {"1", "2"} and len(plots) >= 6
    pairs = workbook_plots(table, [log], "", 2, tmp_path, monkeypatch, capsys)
    assert_same_points(by_pair(plots), pairs)
    first = plots[0]
    assert (first.item, first.pattern, first.line) == ("Test Item: VDD_PERIOD_SHMOO_0", "Pattern: march_c_0", 6)
    assert first.row_labels[0] == "1.30V" and first.grid.dtype == np.int8
    assert first.axis == ("X-Axis", "10ns", "11ns", "12ns", "13ns", "14ns", "15ns", "16ns", "17ns")
    assert first.grid.shape == (6, 8) and first.grid[0].tolist() == [1] * 7 + [0]


def test_generated_sample_datalogs_equal_the_workbook(tmp_path, monkeypatch, capsys):
    table = keywords(samples.settings())
    logs = [str(samples.write_datalog(tmp_path / f"d{seed}.txt", sites=3, items=4, seed=seed)) for seed in (1, 2)]
    plots = list(read_plots(table, logs, [["2", "0"], []]))
    assert [(Path(p.datalog).name, p.site) for p in plots][::4] == [
        ("d1.txt", "2"), ("d1.txt", "0"), ("d2.txt", "0"), ("d2.txt", "1"), ("d2.txt", "2")]
    assert [p.plot for p in plots[:4]] == [1, 2, 3, 4]
    pairs = workbook_plots(table, logs, "2,0;", 5, tmp_path, monkeypatch, capsys)
    assert_same_points(by_pair(plots), pairs)
    p = plots[0]
    assert p.grid.shape == (samples.ROWS, samples.COLUMNS)
    assert p.item.strip().startswith("2001") and "Shmoo:" in p.pattern
    assert p.axis[0] == "MHz" and len(p.axis) == samples.COLUMNS + 1


def random_datalog(rng, sites=("0", "1", "2")):
    """Plots of random sizes with ragged rows, unknown tokens, VBT error lines,
    blank lines and lines of spaces; sites interleaved item by item."""
    lines = ["header", ""]
    for item in range(rng.randint(1, 6)):
        for site in rng.sample(sites, rng.randint(1, len(sites))):
            lines += [f"Test Item: T{item}", f"Site: {site}"]
            if rng.random() < 0.5:
                lines.append(f"Pattern: pat{item}")
            lines.append("Shmoo Plot vdd vs f")
            cols = rng.randint(1, 12)
            for r in range(rng.randint(1, 9)):
                width = cols if rng.random() < 0.8 else rng.randint(1, cols)
                tokens = [rng.choice(["*", "#", "*x", "#!", "?", "-"]) for _ in range(width)]
                if not any(t[0] in "*#" for t in tokens):
                    tokens[0] = "*"
                lines.append(f"{1.0 + r / 10:.2f}V " + " ".join(tokens))
                roll = rng.random()
                if roll < 0.1:
                    lines.append("VBT error: retry")
                elif roll < 0.2:
                    lines.append("")
                elif roll < 0.25:
                    lines.append("    ")
            lines += ["X-Axis " + " ".join(f"{10 + c}ns" for c in range(cols)), ""]
    return "\n".join(lines) + "\n"


@pytest.mark.parametrize("seed", range(6))
def test_random_datalogs_equal_the_workbook(tmp_path, monkeypatch, capsys, seed):
    rng = random.Random(seed)
    table = keywords()
    logs = [write(tmp_path, random_datalog(rng), f"r{k}.txt") for k in range(2)]
    plots = list(read_plots(table, logs, [["0", "1", "2"], ["2", "0", "1"]]))
    found = {(Path(lg).name, s): [] for lg, ss in zip(logs, ("012", "201")) for s in ss}
    for p in plots:
        found[(Path(p.datalog).name, p.site)].append(p)
    pairs = workbook_plots(table, logs, "0,1,2;2,0,1", 6, tmp_path, monkeypatch, capsys)
    assert_same_points(list(found.values()), pairs)
    for group in found.values():
        assert [p.plot for p in group] == list(range(1, len(group) + 1))
        assert all(p.axis[0] == "X-Axis" for p in group)
    # The count the command line checks a run with agrees with the plots read.
    from quorvane.plots import count_plots

    for log, sites in zip(logs, ("012", "201")):
        with open(log, encoding="utf-8") as fh:
            counts, _ = count_plots(table, fh.readlines(), list(sites))
        assert counts == [len(found[(Path(log).name, s)]) for s in sites]


# ---------------------------------------------------------------------------
# What a plot holds
# ---------------------------------------------------------------------------

def test_fields_of_a_plot_and_its_conveniences(tmp_path):
    text = ("Test Item: A\nSite: 1\nShmoo Plot\nF  1 2 3\n1.2V * * ?\n1.1V * #\nX-Axis\n"
            "Test Item: B\nSite: 1\nPattern: p9\nShmoo Plot\n1.0V # #! *\nX-Axis 1 2 3\n")
    a, b = read_plots(keywords(), [write(tmp_path, text)])
    assert isinstance(a, Plot) and (a.plot, b.plot) == (1, 2)
    assert (a.item, a.pattern, a.line) == ("Test Item: A", "Shmoo Plot", 3)
    assert a.axis == ("F", "1", "2", "3")  # a line without points inside the plot
    assert a.row_labels == ("1.2V", "1.1V")
    assert a.grid.tolist() == [[1, 1, -1], [1, 0, -1]]  # "?" and the short row's padding
    assert (a.rows, a.cols) == (2, 3) and a.pass_fraction == pytest.approx(3 / 4)
    assert (b.pattern, b.line, b.axis) == ("Pattern: p9", 11, ("X-Axis", "1", "2", "3"))
    assert (a.heading, b.heading) == ("Shmoo Plot", "Shmoo Plot")  # also where a pattern line precedes
    assert b.grid.tolist() == [[0, 0, 1]]


def test_a_token_matching_pass_and_fail_is_a_fail(tmp_path):
    table = keywords(dict(SETTINGS, keyword_pass=r"[*#]", keyword_fail="#"))
    (plot,) = read_plots(table, [write(tmp_path, "Test Item: A\nSite: 0\nShmoo\n1V * #\nX-Axis\n")])
    assert plot.grid.tolist() == [[1, 0]]


def test_sites_default_to_the_announced_ones_as_printed_in_numeric_order(tmp_path):
    text = "".join(f"Test Item: T\nSite: {s}\nShmoo\n1V *\nX-Axis\n" for s in ("10", "2", "01", "2", "3 "))
    # the label elsewhere in a line announces nothing; a text that is no number comes last
    assert announced_sites(keywords(), write(tmp_path, text + "Site: x\nLast Site: 9\n", "x.txt")) == [
        "01", "2", "3 ", "10", "x"]
    log = write(tmp_path, text + "Last Site: 9\n")
    plots = list(read_plots(keywords(), [log]))
    assert [(p.site, p.plot) for p in plots] == [("01", 1), ("2", 1), ("2", 2), ("3 ", 1), ("10", 1)]
    # A site given explicitly is compared exactly as given, like the extraction.
    assert [p.site for p in read_plots(keywords(), [log], [["1"]])] == []
    assert [p.site for p in read_plots(keywords(), [log], [["01"]])] == ["01"]


def test_plots_of_other_sites_and_before_any_item_are_not_read(tmp_path):
    text = ("Site: 1\nShmoo\n1V *\nX-Axis\n"            # before any item
            "Test Item: A\nSite: 2\nShmoo\n1V #\nX-Axis\n"
            "Test Item: B\nSite: 1\nShmoo\n1V * *\nX-Axis\n")
    plots = list(read_plots(keywords(), [write(tmp_path, text)], [["1"]]))
    assert [(p.item, p.grid.tolist()) for p in plots] == [("Test Item: B", [[1, 1]])]


def test_plots_open_at_the_end_are_reported_not_yielded(tmp_path):
    text = "Test Item: A\nSite: 0\nShmoo\n1V *\nX-Axis\nTest Item: B\nSite: 0\nShmoo\n1V *\n"
    log = write(tmp_path, text)
    unclosed = []
    plots = list(read_plots(keywords(), [log, log], unclosed=unclosed))
    assert len(plots) == 2
    assert unclosed == [(log, "0", 8), (log, "0", 8)]
    assert len(list(read_plots(keywords(), [log]))) == 1  # no list given: nothing to report into


@pytest.mark.parametrize("text, expected", [
    ("", []),
    ("no plots here\nSite: 0\n", []),
    ("Test Item: A\nSite: 0\nShmoo\n\n1V * #\n   \nVBT error: * * *\n2V *\nX-Axis\n", [[[1, 0], [1, -1]]]),
    ("Test Item: A\nSite: 0\nShmoo\nX-Axis 1 2\n", [[]]),  # a plot without point rows
    ("Test Item: A\r\nSite: 0\r\nShmoo\r\n1V #\r\nX-Axis\r\n", [[[0]]]),
    # Another site's line pauses the plot until the selected site's line comes again.
    ("Test Item: A\nSite: 0\nShmoo\n1V *\nSite: 1\n2V #\nSite: 0\n3V * *\nX-Axis\n", [[[1, -1], [1, 1]]]),
])
def test_odd_inputs(tmp_path, text, expected):
    plots = list(read_plots(keywords(), [write(tmp_path, text)], [["0"]]))
    assert [p.grid.tolist() for p in plots] == expected
    for p in plots:
        assert p.grid.shape == (len(p.row_labels), p.cols)


def test_a_datalog_without_announced_sites_reads_as_the_empty_site(tmp_path):
    # As in the extraction: one pair with the empty site text, whose line
    # ("Site: " alone) such a datalog does not print, so no plot is found.
    log = write(tmp_path, "Test Item: A\nShmoo\n1V *\nX-Axis\n")
    assert announced_sites(keywords(), log) == []
    assert list(read_plots(keywords(), [log])) == []


# ---------------------------------------------------------------------------
# Bad input
# ---------------------------------------------------------------------------

def test_bad_input_is_refused_with_what_to_change(tmp_path):
    log = write(tmp_path, "Test Item: A\nSite: x\n")
    with pytest.raises(ValueError, match=r"log\.txt: line 2: the site label 'Site: ' is followed by 'x'"):
        list(read_plots(keywords(), [log]))
    table = keywords()
    del table["PlotEnd"]
    with pytest.raises(KeyError, match="no 'PlotEnd' entry"):
        read_plots(table, [log])
    with pytest.raises(ValueError, match="'PassSymbol' is not a valid regular expression"):
        read_plots(keywords(dict(SETTINGS, keyword_pass="(")), [log])
    with pytest.raises(TypeError, match="'SiteNum' must be a text"):
        read_plots(keywords(dict(SETTINGS, keyword_site=3)), [log])
    with pytest.raises(TypeError, match="not a single path"):
        read_plots(keywords(), log)
    with pytest.raises(TypeError, match="list of site texts"):
        read_plots(keywords(), [log], ["0,1"])
    with pytest.raises(ValueError, match="2 lists for 1 datalogs"):
        read_plots(keywords(), [log], [["0"], ["1"]])
    with pytest.raises(FileNotFoundError):
        list(read_plots(keywords(), [str(tmp_path / "missing.txt")]))


def test_private_module_matches_its_stub():
    import ast
    import inspect

    import quorvane.Source
    from quorvane.Source import _plotreader

    stub = Path(quorvane.Source.__file__).parent / "_plotreader.pyi"
    tree = ast.parse(stub.read_text(encoding="utf-8"))
    declared = {n.name: [a.arg for a in n.args.posonlyargs] for n in tree.body if isinstance(n, ast.FunctionDef)}
    public = {name for name in dir(_plotreader) if not name.startswith("_")}
    assert public == set(declared)
    for name, params in declared.items():
        signature = inspect.signature(getattr(_plotreader, name)).parameters.values()
        assert [(p.name, p.kind) for p in signature] == [(n, inspect.Parameter.POSITIONAL_ONLY) for n in params]
