"""Seeded generators of realistic sample data.

Three kinds of file come out of here, all reproducible from a seed:

* a labelled shmoo CSV (label line plus eleven plot lines per record) whose plots
  look like their classes, for training and classifying with ``tavrine``;
* a multi-site tester datalog with shmoo plots, parametric noise and the odd
  "VBT error" line, for extraction with ``Corvantis``;
* the ``SHM_keywords_setting.json`` whose markers match that datalog.

Plot orientation throughout: row 0 is the highest supply voltage, the last row the
lowest; column 0 is the lowest frequency, the last column the highest. A point is
1 (passes) or 0 (fails).

Only the standard library is used, so sample data can be written without torch.
"""

from __future__ import annotations

import csv
import errno
import io
import json
import os
import random
import re
from dataclasses import dataclass
from pathlib import Path
from typing import Sequence

from .outputs import Outputs, write_bytes, written_together
from .shmoo_csv import MAX_WIDTH
from .symbols import FAIL_SYMBOL, LABEL_KEYS, PASS_SYMBOL

__all__ = [
    "LABEL_KEYS",
    "SAMPLE_LABELS",
    "SAMPLE_SIZES",
    "TRUTH_COLUMNS",
    "TruePlot",
    "SETTINGS_FILE_NAME",
    "SampleFiles",
    "datalog_text",
    "is_monotone",
    "label_keys",
    "labelled_datalog",
    "labelled_plots",
    "parse_sizes",
    "read_truth_csv",
    "plot_for_label",
    "settings",
    "shmoo_csv_text",
    "truth_csv_text",
    "write_datalog",
    "write_samples",
    "write_settings",
    "write_shmoo_csv",
]


#: Label texts the CSV generator draws from, with their relative weights. Each names
#: exactly one of Pass/Fail plus any of the four shape flags; every one of the six
#: classes occurs on its own and in realistic combinations.
SAMPLE_LABELS: tuple[tuple[str, int], ...] = (
    ("Pass", 6),
    ("Fail", 4),
    ("Pass-Vol", 5),
    ("Pass-Freq", 5),
    ("Pass-Marginal", 4),
    ("Pass-Hole", 4),
    ("Pass-Vol-Freq", 3),
    ("Pass-Vol-Marginal", 2),
    ("Pass-Freq-Marginal", 2),
    ("Pass-Vol-Hole", 2),
    ("Pass-Freq-Hole", 2),
    ("Pass-Marginal-Hole", 1),
)

SETTINGS_FILE_NAME = "SHM_keywords_setting.json"

ROWS = 11
COLUMNS = 11

# Axis values printed around the datalog plots.
_VOLTAGES = [round(1.10 - 0.05 * i, 2) for i in range(ROWS)]
_FREQUENCIES = [400 + 50 * j for j in range(COLUMNS)]


def label_keys(label: str) -> list[str]:
    """The label keys of a label text such as "Pass-Vol"."""
    return label.split("-")


def _check_label(label: str) -> set[str]:
    keys = label_keys(label)
    unknown = [k for k in keys if k not in LABEL_KEYS]
    if unknown:
        raise ValueError(f"unknown label key {unknown[0]!r} in {label!r}")
    if ("Pass" in keys) == ("Fail" in keys):
        raise ValueError(f"label {label!r} must name exactly one of Pass and Fail")
    return set(keys)


# ---------------------------------------------------------------------------
# Plot shapes


def _blank(rows: int, cols: int, value: int) -> list[list[int]]:
    return [[value] * cols for _ in range(rows)]


def _along(index: int, size: int) -> float:
    """Where ``index`` of ``size`` points lies on the 11-point scale the shapes are
    drawn for, so that a wider or taller plot shows the same shape, finer."""
    return index if size == ROWS else index * (ROWS - 1) / max(size - 1, 1)


def _scaled(points: int, size: int) -> int:
    """A depth of ``points`` on the 11-point scale, in points of a ``size``-point axis."""
    return points if size == ROWS else round(points * size / ROWS)


def _corner_cut(grid: list[list[int]], rng: random.Random, depth: int) -> None:
    """Fails the low-voltage/high-frequency corner along a diagonal: every device
    eventually runs out of margin there, so even clean plots show it."""
    rows, cols = len(grid), len(grid[0])
    for r in range(rows):
        for c in range(cols):
            if _along(rows - 1 - r, rows) + _along(cols - 1 - c, cols) < depth:
                grid[r][c] = 0


def _vol_wall(grid: list[list[int]], rng: random.Random) -> None:
    """Fails the lowest voltage rows; the wall rises slightly with frequency, as
    faster operation needs more supply. A wall is two rows deep at least (the
    label convention: one failing row is no Vol wall), on the smallest plots too."""
    rows, cols = len(grid), len(grid[0])
    base = rng.randint(3, 5)
    slope = rng.choice((0.0, 0.0, 0.2, 0.3))
    for c in range(cols):
        height = max(2, min(rows - 2, _scaled(base + int(slope * _along(c, cols)), rows)))
        for r in range(rows - height, rows):
            grid[r][c] = 0


def _freq_wall(grid: list[list[int]], rng: random.Random) -> None:
    """Fails the highest frequency columns; lower voltage reaches less far. Two
    columns deep at least, as a Vol wall is two rows deep."""
    rows, cols = len(grid), len(grid[0])
    base = rng.randint(3, 5)
    slope = rng.choice((0.0, 0.0, 0.2, 0.3))
    for r in range(rows):
        width = max(2, min(cols - 2, _scaled(base + int(slope * _along(r, rows)), cols)))
        for c in range(cols - width, cols):
            grid[r][c] = 0


def _boundary(grid: list[list[int]]) -> list[tuple[int, int]]:
    rows, cols = len(grid), len(grid[0])
    cells = []
    for r in range(rows):
        for c in range(cols):
            for dr, dc in ((1, 0), (-1, 0), (0, 1), (0, -1)):
                rr, cc = r + dr, c + dc
                if 0 <= rr < rows and 0 <= cc < cols and grid[rr][cc] != grid[r][c]:
                    cells.append((r, c))
                    break
    return cells


def _ragged(grid: list[list[int]], rng: random.Random) -> None:
    """Marginal: the pass/fail edge frays, points near it flip at random."""
    if sum(row.count(0) for row in grid) < 10:
        # Too little edge to fray: give the plot a real low-voltage/high-frequency corner first.
        _corner_cut(grid, rng, rng.randint(5, 7))
    edge = _boundary(grid)
    rng.shuffle(edge)
    flips = max(4, len(edge) * 2 // 5)
    for r, c in edge[:flips]:
        grid[r][c] ^= 1
    if is_monotone(grid):
        # The flips happened to leave a clean staircase: pass one point just
        # beyond the edge so the plot really reads as marginal.
        rows, cols = len(grid), len(grid[0])
        spots = [
            (r, c)
            for r in range(rows)
            for c in range(1, cols)
            if grid[r][c] == 0 and grid[r][c - 1] == 0 and (r == 0 or grid[r - 1][c] == 1)
        ] or [(r, c) for r in range(rows) for c in range(1, cols) if grid[r][c] == 0 and grid[r][c - 1] == 0]
        r, c = rng.choice(spots)
        grid[r][c] = 1


def is_monotone(grid: Sequence[Sequence[int]]) -> bool:
    """True when every row passes then fails from low to high frequency and every
    column passes then fails from high to low voltage: a clean shmoo edge."""
    lines = [list(row) for row in grid] + [list(col) for col in zip(*grid)]
    return all(all(a >= b for a, b in zip(line, line[1:])) for line in lines)


def _hole(grid: list[list[int]], rng: random.Random) -> None:
    """Hole: a failing island strictly inside the passing region."""
    rows, cols = len(grid), len(grid[0])
    shapes = [
        [(0, 0)],
        [(0, 0), (0, 1)],
        [(0, 0), (1, 0)],
        [(0, 0), (0, 1), (1, 0), (1, 1)],
        [(0, 1), (1, 0), (1, 1), (1, 2), (2, 1)],
        [(0, 0), (0, 1), (0, 2)],
    ]
    shape = rng.choice(shapes)
    spots = []
    for r in range(1, rows - 1):
        for c in range(1, cols - 1):
            cells = [(r + dr, c + dc) for dr, dc in shape]
            # The island and a one-point ring around it must all pass, so the
            # hole reads as enclosed rather than as a notch in an edge.
            ring = {
                (rr + dr, cc + dc)
                for rr, cc in cells
                for dr in (-1, 0, 1)
                for dc in (-1, 0, 1)
            }
            if all(0 <= rr < rows and 0 <= cc < cols and grid[rr][cc] for rr, cc in ring):
                spots.append(cells)
    if not spots:
        # Walls left no room: fall back to a single point with passing neighbours.
        for r in range(1, rows - 1):
            for c in range(1, cols - 1):
                if all(grid[r + dr][c + dc] for dr in (-1, 0, 1) for dc in (-1, 0, 1)):
                    spots.append([(r, c)])
    if not spots:
        return
    for r, c in rng.choice(spots):
        grid[r][c] = 0


def plot_for_label(label: str, rng: random.Random, rows: int = ROWS, cols: int = COLUMNS) -> list[list[int]]:
    """A plot of 0/1 points that looks like ``label`` (e.g. "Pass-Vol-Hole")."""
    keys = _check_label(label)
    if rows < 5 or cols < 5:
        raise ValueError("plots need at least 5 rows and 5 columns")
    if "Fail" in keys:
        grid = _blank(rows, cols, 0)
        # A dead device: at most a couple of stray passing points, at high voltage.
        for _ in range(rng.choice((0, 0, 1, 2))):
            grid[rng.randrange(0, 3)][rng.randrange(0, 4)] = 1
        return grid
    grid = _blank(rows, cols, 1)
    _corner_cut(grid, rng, rng.choice((0, 1, 2)))
    if "Vol" in keys:
        _vol_wall(grid, rng)
    if "Freq" in keys:
        _freq_wall(grid, rng)
    if "Hole" in keys:
        _hole(grid, rng)
    if "Marginal" in keys:
        _ragged(grid, rng)
    return grid


def _draw_label(rng: random.Random) -> str:
    labels, weights = zip(*SAMPLE_LABELS)
    return rng.choices(labels, weights=weights)[0]


def labelled_plots(count: int, seed: int = 0) -> list[tuple[str, list[list[int]]]]:
    """``count`` (label text, plot) pairs drawn with the weights of SAMPLE_LABELS.

    The first twelve records cycle through every sample label once so that even
    a small file holds each class."""
    if count < 0:
        raise ValueError("count must not be negative")
    rng = random.Random(seed)
    records = []
    for i in range(count):
        label = SAMPLE_LABELS[i][0] if i < len(SAMPLE_LABELS) else _draw_label(rng)
        records.append((label, plot_for_label(label, rng)))
    if count > len(SAMPLE_LABELS):
        # Keep the class cycle from sitting at the head of every file.
        rng.shuffle(records)
    return records


def _symbols(row: Sequence[int]) -> list[str]:
    return [PASS_SYMBOL if v else FAIL_SYMBOL for v in row]


# ---------------------------------------------------------------------------
# Shmoo CSV


def shmoo_csv_text(records: Sequence[tuple[str, Sequence[Sequence[int]]]]) -> str:
    """Shmoo CSV text: per record a label line (label plus empty fields up to the
    plot width) and one line per plot row, points written as "P" and "."."""
    out = io.StringIO()
    writer = csv.writer(out, lineterminator="\n")
    for label, plot in records:
        width = len(plot[0])
        writer.writerow([label] + [""] * (width - 1))
        for row in plot:
            writer.writerow(_symbols(row))
    return out.getvalue()


def _write_text(path: Path, text: str, force: bool = True, outputs: Outputs | None = None) -> Path:
    """Writes a new file (with `outputs`: stages it there). Without `force` an
    existing name (a symbolic link included) is an error (FileExistsError);
    with it the name is replaced, never followed."""
    if outputs is None:
        return write_bytes(path, text.encode("utf-8"), replace=force)
    outputs.binary(path, replace=force).write(text.encode("utf-8"))
    return path


def write_shmoo_csv(path: str | Path, count: int = 600, seed: int = 0, force: bool = True) -> Path:
    """Writes ``count`` labelled records to ``path`` and returns the path."""
    return _write_text(Path(path), shmoo_csv_text(labelled_plots(count, seed)), force)


# ---------------------------------------------------------------------------
# Datalog and its keyword settings


def settings() -> dict[str, str]:
    """Keyword settings that match the datalogs written here."""
    return {
        "_comment": "Markers of the quorvane sample datalog; extra keys are ignored.",
        "keyword_item": r"^\s*\d+\s+Shmoo_",
        "keyword_site": "Site Number: ",
        "keyword_start": "Shmoo:",
        "keyword_end": "End of Shmoo",
        "keyword_pass": "P",
        "keyword_fail": r"\.",
    }


def write_settings(path: str | Path, force: bool = True) -> Path:
    return _write_text(Path(path), json.dumps(settings(), indent=2) + "\n", force)


_SHMOO_TESTS = (
    ("Shmoo_VDD_vs_Freq", "core_func_max"),
    ("Shmoo_VDDIO_vs_Freq", "io_loopback"),
    ("Shmoo_VDD_vs_Freq", "sram_march_c"),
    ("Shmoo_VDDQ_vs_Freq", "ddr_training"),
    ("Shmoo_VDD_vs_Freq", "scan_atspeed"),
)

_PARAMETRIC = (
    ("Continuity", "mV", -0.65, 0.08),
    ("Leakage_IIL", "nA", 12.0, 6.0),
    ("Leakage_IIH", "nA", 9.0, 5.0),
    ("IDD_Static", "mA", 3.2, 0.4),
    ("VOH_IO", "V", 1.72, 0.03),
)


def _site_variant(base: list[list[int]], rng: random.Random) -> list[list[int]]:
    """Sites share the lot's behaviour but differ at the edges of the passing
    region, which is what makes the summary block's disagreement marks useful."""
    grid = [row[:] for row in base]
    edge = _boundary(grid)
    rng.shuffle(edge)
    for r, c in edge[: rng.choice((0, 1, 2, 3))]:
        grid[r][c] ^= 1
    return grid


def _plot_lines(grid: list[list[int]], pattern: str, rng: random.Random) -> list[str]:
    lines = [f"    Shmoo: VDD(V) vs Freq(MHz)  pattern {pattern}"]
    vbt_row = rng.randrange(1, len(grid)) if rng.random() < 0.25 else -1
    for r, row in enumerate(grid):
        if r == vbt_row:
            # The instrument hiccups mid-plot sometimes; the extractor skips it.
            lines.append(f"VBT error: DCVS settle timeout on VDD, retry {rng.randint(1, 3)}")
        lines.append(f"    {_VOLTAGES[r]:.2f}V  " + " ".join(_symbols(row)))
    lines.append("    MHz    " + " ".join(str(f) for f in _FREQUENCIES))
    lines.append("")
    lines.append("    *** End of Shmoo ***")
    return lines


def datalog_text(sites: int = 4, items: int = 3, seed: int = 0, lot: str = "QV24A117") -> str:
    """A multi-site tester datalog: for each shmoo test item, every site's plot
    after its item line and site line, with parametric results and noise around."""
    if sites < 1:
        raise ValueError("sites must be at least 1")
    if items < 0:
        raise ValueError("items must not be negative")
    rng = random.Random(seed)
    lines = [
        "=" * 72,
        f"  Datalog report       Lot: {lot}   Wafer: 07   Program: QV_CHAR_A1",
        f"  Tester: QV-9300      Sites tested: {sites}   Temperature: 25C",
        "=" * 72,
        "",
    ]
    number = 1000
    for name, unit, mean, spread in _PARAMETRIC[: rng.randint(2, len(_PARAMETRIC))]:
        number += 1
        lines.append(f"  {number}  {name}")
        for site in range(sites):
            value = rng.gauss(mean, spread)
            lines.append(f"Site Number: {site}")
            lines.append(f"      {name:<14} {value:10.3f} {unit:<3} PASS")
        lines.append("")
    for i in range(items):
        test, pattern = _SHMOO_TESTS[i % len(_SHMOO_TESTS)]
        number = 2001 + i
        lot_label = _draw_label(rng)
        base = plot_for_label(lot_label, rng)
        for site in range(sites):
            lines.append(f"  {number}  {test}  {pattern}")
            lines.append(f"Site Number: {site}")
            if rng.random() < 0.15:
                lines.append(f"VBT error: pattern {pattern} burst aborted once, rerun")
            lines.extend(_plot_lines(_site_variant(base, rng), pattern, rng))
            lines.append("")
    lines.append(f"  Bin summary: {sites} site(s), {items} shmoo item(s)")
    lines.append("")
    return "\n".join(lines)


def write_datalog(path: str | Path, sites: int = 4, items: int = 3, seed: int = 0, force: bool = True) -> Path:
    return _write_text(Path(path), datalog_text(sites, items, seed), force)


# ---------------------------------------------------------------------------
# Datalogs of labelled plots at several sizes

#: Plot sizes (rows, columns) of the labelled datalogs: the training size, one
#: wider than high, one much larger and wider, one higher than wide.
SAMPLE_SIZES: tuple[tuple[int, int], ...] = ((11, 11), (7, 11), (21, 41), (15, 9))

TRUTH_FILE_NAME = "sample_truth.csv"
TRUTH_COLUMNS = ("datalog", "site", "plot", "label", "rows", "cols")


@dataclass(frozen=True)
class TruePlot:
    """The label a labelled datalog's plot was drawn from."""

    site: str
    plot: int
    label: str
    rows: int
    cols: int


def parse_sizes(text: str) -> tuple[tuple[int, int], ...]:
    """``"11x11,7x11"`` -> ((11, 11), (7, 11)); rows first, as the plot is printed.
    Each side is 5 to MAX_WIDTH points: the shmoo CSV reader refuses wider
    plots, and the generator's memory grows with the plot's area."""
    sizes = []
    for part in text.split(","):
        match = re.fullmatch(r"\s*(\d+)\s*[xX]\s*(\d+)\s*", part)
        if not match:
            raise ValueError(f"plot size {part.strip()!r} is not ROWSxCOLS, e.g. 11x11")
        rows, cols = int(match.group(1)), int(match.group(2))
        if rows < 5 or cols < 5:
            raise ValueError(f"plot size {rows}x{cols} is too small; plots need at least 5x5 points")
        if rows > MAX_WIDTH or cols > MAX_WIDTH:
            raise ValueError(f"plot size {rows}x{cols} is too large; rows and columns go up to {MAX_WIDTH}, "
                             f"the widest plot the kit reads")
        sizes.append((rows, cols))
    return tuple(sizes)


def _axis_values(rows: int, cols: int) -> tuple[list[str], list[str]]:
    # Supply from 1.2 V down to 0.7 V over the rows, frequency from 400 MHz up
    # to 900 MHz over the columns, whatever the plot size.
    volts = [f"{1.2 - 0.5 * r / (rows - 1):.3f}V" for r in range(rows)]
    freqs = [str(400 + round(500 * c / (cols - 1))) for c in range(cols)]
    return volts, freqs


def labelled_datalog(
    sizes: Sequence[tuple[int, int]] = SAMPLE_SIZES,
    items: int = 8,
    sites: int = 4,
    seed: int = 0,
    lot: str = "QV24A117",
) -> tuple[str, list[TruePlot]]:
    """A multi-site datalog whose every plot is drawn from a labelled class, with
    its ground truth. Item k uses size ``sizes[k % len(sizes)]`` on every site;
    each site's plot is drawn on its own (sites are different dies)."""
    if sites < 1:
        raise ValueError("sites must be at least 1")
    if items < 0:
        raise ValueError("items must not be negative")
    if not sizes:
        raise ValueError("at least one plot size is needed")
    rng = random.Random(seed)
    lines = [
        "=" * 72,
        f"  Datalog report       Lot: {lot}   Wafer: 07   Program: QV_CHAR_A1",
        f"  Tester: QV-9300      Sites tested: {sites}   Temperature: 25C",
        "=" * 72,
        "",
    ]
    truth = []
    for i in range(items):
        rows, cols = sizes[i % len(sizes)]
        test, pattern = _SHMOO_TESTS[i % len(_SHMOO_TESTS)]
        volts, freqs = _axis_values(rows, cols)
        for site in range(sites):
            label = _draw_label(rng)
            grid = plot_for_label(label, rng, rows, cols)
            truth.append(TruePlot(str(site), i + 1, label, rows, cols))
            lines.append(f"  {2001 + i}  {test}  {pattern}")
            lines.append(f"Site Number: {site}")
            lines.append(f"    Shmoo: VDD(V) vs Freq(MHz)  pattern {pattern}")
            vbt_row = rng.randrange(1, rows) if rng.random() < 0.1 else -1
            for r, row in enumerate(grid):
                if r == vbt_row:
                    lines.append(f"VBT error: DCVS settle timeout on VDD, retry {rng.randint(1, 3)}")
                lines.append(f"    {volts[r]}  " + " ".join(_symbols(row)))
            lines.append("    MHz     " + " ".join(freqs))
            lines.append("    *** End of Shmoo ***")
            lines.append("")
    lines.append(f"  Bin summary: {sites} site(s), {items} shmoo item(s)")
    lines.append("")
    return "\n".join(lines), truth


def truth_csv_text(entries: Sequence[tuple[str, Sequence[TruePlot]]]) -> str:
    """The ground-truth CSV of labelled datalogs: one row per plot, with header."""
    out = io.StringIO()
    writer = csv.writer(out, lineterminator="\n")
    writer.writerow(TRUTH_COLUMNS)
    for datalog, truth in entries:
        for t in truth:
            writer.writerow([datalog, t.site, t.plot, t.label, t.rows, t.cols])
    return out.getvalue()


def read_truth_csv(path: str | Path) -> dict[tuple[str, str, int], TruePlot]:
    """The ground truth keyed by (datalog file name, site, plot number)."""
    with open(path, newline="", encoding="utf-8") as fh:
        reader = csv.DictReader(fh)
        missing = [c for c in TRUTH_COLUMNS if c not in (reader.fieldnames or ())]
        if missing:
            raise ValueError(f"{path} lacks the column(s) {', '.join(missing)}")
        return {
            (Path(row["datalog"]).name, row["site"], int(row["plot"])): TruePlot(
                row["site"], int(row["plot"]), row["label"], int(row["rows"]), int(row["cols"])
            )
            for row in reader
        }


# ---------------------------------------------------------------------------
# Everything at once


@dataclass(frozen=True)
class SampleFiles:
    """Paths of one set of sample files."""

    datalogs: tuple[Path, ...]
    settings: Path
    shmoo_csv: Path
    truth: Path | None = None


def write_samples(
    out_dir: str | Path,
    records: int = 600,
    sites: int = 4,
    items: int = 3,
    datalogs: int = 1,
    seed: int = 0,
    force: bool = True,
    sizes: Sequence[tuple[int, int]] | None = None,
    outputs: Outputs | None = None,
) -> SampleFiles:
    """Writes datalog(s), their settings file and a labelled shmoo CSV into
    ``out_dir`` (created if needed). Each datalog gets its own derived seed.
    Without `force` nothing is written when any of the names exists already
    (FileExistsError names the first). The files appear together when all are
    complete, or not at all; with `outputs` they are staged there.

    With ``sizes``, the datalogs hold labelled plots of those sizes instead, and
    their ground truth goes to ``sample_truth.csv``."""
    if datalogs < 1:
        raise ValueError("datalogs must be at least 1")
    if outputs is None:
        with written_together() as alone:
            return write_samples(out_dir, records, sites, items, datalogs, seed, force, sizes, alone)
    out = Path(out_dir)
    names = sample_names(out, datalogs)
    if not force:
        truth_name = (out / TRUTH_FILE_NAME,) if sizes is not None else ()
        for path in names.datalogs + (names.settings, names.shmoo_csv) + truth_name:
            if os.path.lexists(path):
                raise FileExistsError(errno.EEXIST, "file exists", str(path))
    truth_path = None
    if sizes is None:
        for k, path in enumerate(names.datalogs):
            _write_text(path, datalog_text(sites, items, seed * 1000 + k), force, outputs)
    else:
        entries = []
        for k, path in enumerate(names.datalogs):
            text, truth = labelled_datalog(sizes, items, sites, seed * 1000 + k)
            _write_text(path, text, force, outputs)
            entries.append((path.name, truth))
        truth_path = _write_text(out / TRUTH_FILE_NAME, truth_csv_text(entries), force, outputs)
    _write_text(names.settings, json.dumps(settings(), indent=2) + "\n", force, outputs)
    _write_text(names.shmoo_csv, shmoo_csv_text(labelled_plots(records, seed)), force, outputs)
    return SampleFiles(names.datalogs, names.settings, names.shmoo_csv, truth_path)


def sample_names(out_dir: str | Path, datalogs: int = 1) -> SampleFiles:
    """The paths write_samples writes to."""
    out = Path(out_dir)
    return SampleFiles(
        datalogs=tuple(out / f"sample_datalog_{k + 1}.txt" for k in range(datalogs)),
        settings=out / SETTINGS_FILE_NAME,
        shmoo_csv=out / "sample_shmoo.csv",
    )
