import json
import random
import re

import pytest

from quorvane import samples
from quorvane.symbols import LABEL_KEYS


def _components(grid, value):
    """4-connected components of points equal to `value`."""
    rows, cols = len(grid), len(grid[0])
    seen, comps = set(), []
    for r in range(rows):
        for c in range(cols):
            if grid[r][c] != value or (r, c) in seen:
                continue
            stack, comp = [(r, c)], []
            seen.add((r, c))
            while stack:
                cr, cc = stack.pop()
                comp.append((cr, cc))
                for nr, nc in ((cr + 1, cc), (cr - 1, cc), (cr, cc + 1), (cr, cc - 1)):
                    if 0 <= nr < rows and 0 <= nc < cols and grid[nr][nc] == value and (nr, nc) not in seen:
                        seen.add((nr, nc))
                        stack.append((nr, nc))
            comps.append(comp)
    return comps


def _has_enclosed_fail(grid):
    rows, cols = len(grid), len(grid[0])
    return any(
        all(0 < r < rows - 1 and 0 < c < cols - 1 for r, c in comp) for comp in _components(grid, 0)
    )


def _plots(label, n=60, seed=3):
    rng = random.Random(seed)
    return [samples.plot_for_label(label, rng) for _ in range(n)]


def test_every_label_names_one_of_pass_fail_and_all_six_classes_occur():
    records = samples.labelled_plots(600, seed=11)
    seen = set()
    for label, plot in records:
        keys = label.split("-")
        assert ("Pass" in keys) != ("Fail" in keys), label
        assert set(keys) <= set(LABEL_KEYS)
        assert len(plot) == 11 and all(len(row) == 11 for row in plot)
        assert {v for row in plot for v in row} <= {0, 1}
        seen.update(keys)
    assert seen == set(LABEL_KEYS)


def test_a_small_file_still_holds_every_class():
    labels = {label for label, _ in samples.labelled_plots(len(samples.SAMPLE_LABELS), seed=0)}
    assert labels == {label for label, _ in samples.SAMPLE_LABELS}


@pytest.mark.parametrize(
    "label, check",
    [
        ("Fail", lambda g: sum(map(sum, g)) <= 2),
        # Clean pass: at most a tiny corner missing, edge a clean staircase.
        ("Pass", lambda g: sum(map(sum, g)) >= 118 and samples.is_monotone(g)),
        # Vol: the lowest voltage row fails throughout, the highest passes at low frequency.
        ("Pass-Vol", lambda g: not any(g[-1]) and g[0][0] == 1 and not any(g[-2]) and samples.is_monotone(g)),
        # Freq: the highest frequency column fails throughout, the lowest passes.
        ("Pass-Freq", lambda g: not any(r[-1] for r in g) and all(r[0] for r in g) and samples.is_monotone(g)),
        ("Pass-Vol-Freq", lambda g: not any(g[-1]) and not any(r[-1] for r in g) and g[0][0] == 1),
        # Hole: a failing island that touches no edge of the plot.
        ("Pass-Hole", _has_enclosed_fail),
        ("Pass-Vol-Hole", _has_enclosed_fail),
        ("Pass-Freq-Hole", _has_enclosed_fail),
        # Marginal: a ragged edge, some row or column flips back from fail to pass.
        ("Pass-Marginal", lambda g: not samples.is_monotone(g)),
        ("Pass-Vol-Marginal", lambda g: not samples.is_monotone(g) and not any(g[-1][:3])),
        ("Pass-Freq-Marginal", lambda g: not samples.is_monotone(g)),
    ],
)
def test_plots_look_like_their_class(label, check):
    for grid in _plots(label):
        assert check(grid), "\n".join("".join("P" if v else "." for v in row) for row in grid)


@pytest.mark.parametrize("label", ["Pass", "Pass-Vol", "Pass-Freq", "Pass-Vol-Freq"])
def test_plots_without_hole_have_no_enclosed_fail(label):
    assert not any(_has_enclosed_fail(g) for g in _plots(label))


@pytest.mark.parametrize("bad", ["Pass-Fail", "Vol", "Pass-vol", "Pass-"])
def test_bad_labels_are_refused(bad):
    with pytest.raises(ValueError):
        samples.plot_for_label(bad, random.Random(0))


def test_generation_is_deterministic_per_seed(tmp_path):
    a = samples.write_samples(tmp_path / "a", records=40, sites=3, items=2, datalogs=2, seed=7)
    b = samples.write_samples(tmp_path / "b", records=40, sites=3, items=2, datalogs=2, seed=7)
    c = samples.write_samples(tmp_path / "c", records=40, sites=3, items=2, datalogs=2, seed=8)
    for x, y, z in [(a.shmoo_csv, b.shmoo_csv, c.shmoo_csv), (a.datalogs[0], b.datalogs[0], c.datalogs[0])]:
        assert x.read_bytes() == y.read_bytes()
        assert x.read_bytes() != z.read_bytes()
    assert a.datalogs[0].read_bytes() != a.datalogs[1].read_bytes()


def test_csv_layout(tmp_path):
    path = samples.write_shmoo_csv(tmp_path / "s.csv", count=5, seed=1)
    lines = path.read_text(encoding="utf-8").splitlines()
    assert len(lines) == 5 * 12
    assert all(line.count(",") == 10 for line in lines)
    for k in range(5):
        label = lines[12 * k]
        assert label.endswith("," * 10) and label[:-10] in {lab for lab, _ in samples.SAMPLE_LABELS}
        assert all(re.fullmatch(r"[P.](,[P.]){10}", row) for row in lines[12 * k + 1 : 12 * k + 12])


def _site_plots(text, site, keywords):
    """The plot rows of one site, read from the datalog text with the settings' markers."""
    plots, current, inside, selected = [], None, False, False
    for line in text.splitlines():
        if "VBT error" in line:
            continue
        if re.match(keywords["keyword_item"], line):
            selected = False
        elif line == keywords["keyword_site"] + str(site):
            selected = True
        elif selected and line.strip().startswith(keywords["keyword_start"]):
            current, inside = [], True
        elif inside and keywords["keyword_end"] in line:
            plots.append(current)
            inside = False
        elif inside and line.strip() and not line.strip().startswith("MHz"):
            current.append(line.split()[1:])
    return plots


def test_datalog_matches_its_settings():
    text = samples.datalog_text(sites=3, items=4, seed=5)
    keys = samples.settings()
    item = re.compile(keys["keyword_item"])
    assert sum(1 for line in text.splitlines() if item.match(line)) == 3 * 4
    site_lines = [line for line in text.splitlines() if keys["keyword_site"] in line]
    assert site_lines and all(re.fullmatch(r"Site Number: [0-2]", line) for line in site_lines)
    for site in range(3):
        plots = _site_plots(text, site, keys)
        assert len(plots) == 4
        for plot in plots:
            assert len(plot) == 11
            assert all(len(row) == 11 and set(row) <= {"P", "."} for row in plot)
    # Sites of one item share the lot's behaviour but are not all identical copies.
    firsts = [_site_plots(text, s, keys)[0] for s in range(3)]
    same = sum(a == b for a, b in zip(firsts, firsts[1:]))
    assert same <= 2
    assert "VBT error" in samples.datalog_text(sites=4, items=5, seed=0)


def test_settings_file_is_json_with_the_six_keys(tmp_path):
    path = samples.write_settings(tmp_path / samples.SETTINGS_FILE_NAME)
    data = json.loads(path.read_text(encoding="utf-8"))
    for key in ("keyword_item", "keyword_site", "keyword_start", "keyword_end", "keyword_pass", "keyword_fail"):
        assert isinstance(data[key], str) and data[key]
    for key in ("keyword_item", "keyword_pass", "keyword_fail"):
        re.compile(data[key])


# -- the kit reads what is generated ------------------------------------------------


def test_kit_training_dataset_reads_the_csv(tmp_path, capsys):
    from quorvane.Source import tavrine

    records = samples.labelled_plots(30, seed=2)
    path = samples.write_shmoo_csv(tmp_path / "s.csv", count=30, seed=2)
    ds = tavrine.CsvDataset(str(path))
    out = capsys.readouterr().out
    assert "Wrong Key Word" not in out
    assert ds.data_count == 30 and tuple(ds.X_train.shape) == (31, 1, 11, 11)
    for i, (label, plot) in enumerate(records, start=1):
        assert ds.X_train[i, 0].tolist() == [[float(v) for v in row] for row in plot]
        keys = label.split("-")
        assert ds.Y_train[i].tolist() == [1.0 if k in keys else 0.0 for k in LABEL_KEYS]


def test_kit_test_dataset_keeps_label_texts(tmp_path, capsys):
    from quorvane.Source import tavrine

    path = samples.write_shmoo_csv(tmp_path / "s.csv", count=12, seed=4)
    ds = tavrine.CsvDataset_Test(str(path))
    capsys.readouterr()
    assert [y[0] for y in ds.Y_train] == [label for label, _ in samples.labelled_plots(12, seed=4)]


@pytest.mark.parametrize("sites", [1, 4, 7])
def test_kit_finds_every_site_of_the_datalog(tmp_path, sites):
    from quorvane.Source import Corvantis

    log = samples.write_datalog(tmp_path / "log.txt", sites=sites, items=2, seed=sites)
    table = Corvantis.getKeyWordFromSettingFile(samples.settings())
    assert Corvantis.getAllSiteNums(str(log), table) == ",".join(str(s) for s in range(sites))


# -- labelled datalogs at several sizes -----------------------------------------------


def test_eleven_by_eleven_plots_are_unchanged_by_the_size_scaling():
    # The shapes scale with the plot size; the training size must keep its exact plots
    # (same seed, same bytes), here pinned through a digest of many plots.
    import hashlib

    rng = random.Random(21)
    text = "".join(
        "".join(str(v) for row in samples.plot_for_label(label, rng) for v in row)
        for label, _ in samples.SAMPLE_LABELS * 10
    )
    assert samples.labelled_plots(40, seed=3) == samples.labelled_plots(40, seed=3)
    assert hashlib.sha256(text.encode()).hexdigest()[:16] == "36048a26e5e6f283"


@pytest.mark.parametrize("rows, cols", [(7, 11), (21, 41), (15, 9), (11, 21), (5, 5)])
def test_plots_of_other_sizes_keep_their_class_shape(rows, cols):
    rng = random.Random(rows * cols)
    for _ in range(25):
        vol = samples.plot_for_label("Pass-Vol", rng, rows, cols)
        assert not any(vol[-1]) and vol[0][0] == 1 and samples.is_monotone(vol)
        # The wall covers a similar share of the rows at every size, and two rows at least.
        failing_rows = sum(1 for row in vol if not any(row))
        assert 0.2 <= failing_rows / rows <= 0.6 and failing_rows >= 2
        freq = samples.plot_for_label("Pass-Freq", rng, rows, cols)
        assert not any(r[-1] for r in freq) and all(r[0] for r in freq) and samples.is_monotone(freq)
        assert not any(r[-2] for r in freq)
        assert _has_enclosed_fail(samples.plot_for_label("Pass-Hole", rng, rows, cols))
        assert not samples.is_monotone(samples.plot_for_label("Pass-Marginal", rng, rows, cols))
        clean = samples.plot_for_label("Pass", rng, rows, cols)
        assert samples.is_monotone(clean) and sum(map(sum, clean)) >= 0.9 * rows * cols
        assert len(clean) == rows and all(len(r) == cols for r in clean)


def test_labelled_datalog_and_its_truth(tmp_path):
    files = samples.write_samples(tmp_path, records=20, sites=3, items=8, datalogs=2, seed=2,
                                  sizes=samples.SAMPLE_SIZES)
    truth = samples.read_truth_csv(files.truth)
    assert len(truth) == 2 * 3 * 8
    keys = samples.settings()
    for log in files.datalogs:
        text = log.read_text(encoding="utf-8")
        for site in range(3):
            plots = _site_plots(text, site, keys)
            assert len(plots) == 8
            for number, plot in enumerate(plots, start=1):
                t = truth[(log.name, str(site), number)]
                assert (t.rows, t.cols) == samples.SAMPLE_SIZES[(number - 1) % 4]
                assert len(plot) == t.rows and all(len(row) == t.cols for row in plot)
                keys_ = t.label.split("-")
                assert ("Pass" in keys_) != ("Fail" in keys_) and set(keys_) <= set(samples.LABEL_KEYS)
                if t.label == "Fail":
                    assert sum(row.count("P") for row in plot) <= 2
        # Voltage row labels and a frequency axis line that other tools can read as numbers.
        volts = re.findall(r"^    (\d\.\d{3})V  [P.]", text, re.M)
        assert volts[0] == "1.200" and "0.700" in volts
        axes = [line.split()[1:] for line in text.splitlines() if line.strip().startswith("MHz")]
        assert len(axes) == 3 * 8 and all(a[0] == "400" and a[-1] == "900" for a in axes)
    again = samples.write_samples(tmp_path / "again", records=20, sites=3, items=8, datalogs=2, seed=2,
                                  sizes=samples.SAMPLE_SIZES)
    assert again.datalogs[1].read_bytes() == files.datalogs[1].read_bytes()
    assert again.truth.read_bytes() == files.truth.read_bytes()


@pytest.mark.parametrize("text, expected", [("11x11", ((11, 11),)), (" 7x11, 21X41 ", ((7, 11), (21, 41)))])
def test_parse_sizes(text, expected):
    assert samples.parse_sizes(text) == expected


@pytest.mark.parametrize("text, fragment", [("11", "ROWSxCOLS"), ("4x11", "too small"), ("11x11,", "ROWSxCOLS"),
                                            ("11x1001", "too large"), ("1001x11", "up to 1000")])
def test_parse_sizes_refuses(text, fragment):
    with pytest.raises(ValueError, match=fragment):
        samples.parse_sizes(text)
