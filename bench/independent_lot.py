"""An evaluation lot for triage, drawn apart from the kit's own generators.

The plots follow the kit's class convention as the README words it, in the
canonical orientation (row 0 the highest voltage, column 0 the lowest
frequency; 1 pass, 0 fail):

- Fail: nothing passes but a few lone stray passes.
- Vol: the lowest-voltage rows fail across the whole frequency range, the wall
  two rows deep up to all but three rows; its edge straight, stepping by a row
  here and there, or rising slowly with frequency.
- Freq: the highest-frequency columns fail across the whole voltage range, two
  columns wide up to all but three; the edge straight or slanted (the lower the
  voltage, the less far the device reaches).
- Marginal: a passing corner beyond a diagonal (high voltage, low frequency
  only), a passing band of one or two rows or columns along the high-voltage or
  low-frequency edge, or the edge of a Vol or Freq wall that frays.
- Hole: one or two failing pockets of one to four points, each enclosed by
  passes on all four sides.
- Plain Pass: everything passes but a few stray fails, or only a short
  diagonal corner at low voltage and high frequency fails.

Stray fails sit on the plot's border (a lone fail inside passing points is a
one-point pocket: a Hole), stray passes alone inside failing points; per-point
noise (up to 1 %) and the fraying are kept only where they make no pocket, so
every drawn plot has exactly the label it was drawn for.

Each item is tested on four sites whose plots differ in about 0.5 % of their
points (along the pass/fail edges, never making or filling a pocket). Each site's
plot, a base plot, is printed into four datalogs, one per way testers print:
voltage rows falling (1.200V at the top), voltage rows rising, frequency falling
to the right, and a period sweep (axis in ns, the short period on the left).
Headings, row-label units and axis lines vary between the forms the kit reads.

    python bench/independent_lot.py OUT_DIR [--seed N] [--items N]

The default seed is the development lot (looked at while building the kit);
any other seed is a lot nobody tuned on. The truth CSV has the columns of
``quorvane.samples.TRUTH_COLUMNS`` plus ``orientation`` (the printing) and
``base`` (the same for the four printings of one base plot).
"""

from __future__ import annotations

import argparse
import csv
import io
import json
from collections import deque
from dataclasses import dataclass
from pathlib import Path

import numpy as np

from quorvane.samples import TRUTH_COLUMNS
from quorvane.scorecard import PRINTINGS

#: The seed of the development lot; every other seed is unseen.
DEVELOPMENT_SEED = 2101

#: The sizes the report is read at (rows x columns), with plenty of items each,
#: and a few others from the smallest to the largest plot the kit expects.
MAIN_SIZES = ((11, 11), (16, 31), (21, 41), (11, 21))
OTHER_SIZES = ((5, 5), (8, 15), (31, 11), (41, 61))
MAIN_ITEMS = 30  # per main size
OTHER_ITEMS = 6  # per other size
SITES = 4

#: The orientation triage should report for each printing.
EXPECTED_ORIENTATION = {"rows falling": "as printed", "rows rising": "rows flipped",
                        "columns falling": "columns flipped", "period": "columns flipped"}
TRUTH_FIELDS = (*TRUTH_COLUMNS, "orientation", "base")

# Relative rates of the labels in a lot.
LABEL_RATES = (
    ("Pass", 14), ("Fail", 9), ("Pass-Vol", 12), ("Pass-Freq", 12), ("Pass-Marginal", 10), ("Pass-Hole", 9),
    ("Pass-Vol-Freq", 9), ("Pass-Vol-Hole", 4), ("Pass-Freq-Hole", 4), ("Pass-Vol-Marginal", 4),
    ("Pass-Freq-Marginal", 4), ("Pass-Marginal-Hole", 2), ("Pass-Vol-Freq-Hole", 2), ("Pass-Vol-Freq-Marginal", 1),
)

SETTINGS = {
    "_comment": "Markers of the independent evaluation lot's datalogs.",
    "keyword_item": r"^\s*<\d+>\s+SHMOO",
    "keyword_site": "Test site ",
    "keyword_start": "SHMOO PLOT",
    "keyword_end": "END SHMOO PLOT",
    "keyword_pass": r"\+",
    "keyword_fail": r"\.",
}
PASS_MARK, FAIL_MARK = "+", "."


# ---------------------------------------------------------------------------
# Pockets: failing points enclosed by passes on all four sides

_STEPS = ((1, 0), (-1, 0), (0, 1), (0, -1))


def _enclosed(grid: np.ndarray, r: int, c: int) -> bool:
    """Whether the failing component of (r, c) touches no border (the walk
    stops at the first border point)."""
    rows, cols = grid.shape
    seen = {(r, c)}
    todo = deque(seen)
    while todo:
        y, x = todo.popleft()
        if y in (0, rows - 1) or x in (0, cols - 1):
            return False
        for dy, dx in _STEPS:
            p = (y + dy, x + dx)
            if p not in seen and grid[p] == 0:
                seen.add(p)
                todo.append(p)
    return True


def _pocket_cells(grid: np.ndarray) -> list[list[tuple[int, int]]]:
    """The points of each enclosed failing pocket of a 0/1 grid."""
    rows, cols = grid.shape
    seen = np.zeros(grid.shape, dtype=bool)
    found = []
    for r, c in zip(*np.nonzero(grid == 0)):
        if seen[r, c]:
            continue
        todo, comp = deque([(int(r), int(c))]), [(int(r), int(c))]
        seen[r, c] = True
        while todo:
            y, x = todo.popleft()
            for dy, dx in _STEPS:
                yy, xx = y + dy, x + dx
                if 0 <= yy < rows and 0 <= xx < cols and not seen[yy, xx] and grid[yy, xx] == 0:
                    seen[yy, xx] = True
                    comp.append((yy, xx))
                    todo.append((yy, xx))
        if not any(y in (0, rows - 1) or x in (0, cols - 1) for y, x in comp):
            found.append(comp)
    return found


def pockets(grid: np.ndarray) -> list[int]:
    """Sizes of the enclosed failing pockets of a 0/1 grid."""
    return [len(cells) for cells in _pocket_cells(grid)]


def _try_flip(grid: np.ndarray, r: int, c: int, protected: np.ndarray) -> bool:
    """Flips (r, c) unless that makes, grows, splits or fills a pocket; True when flipped."""
    if protected[r, c]:
        return False
    rows, cols = grid.shape
    if grid[r, c] == 1:
        grid[r, c] = 0
        if _enclosed(grid, r, c):
            grid[r, c] = 1
            return False
        return True
    if _enclosed(grid, r, c):
        return False
    grid[r, c] = 1
    for dy, dx in _STEPS:
        y, x = r + dy, c + dx
        if 0 <= y < rows and 0 <= x < cols and grid[y, x] == 0 and _enclosed(grid, y, x):
            grid[r, c] = 0
            return False
    return True


def _edge_points(grid: np.ndarray) -> list[tuple[int, int]]:
    """Points with a 4-neighbour of the other kind."""
    differs = np.zeros(grid.shape, dtype=bool)
    differs[1:] |= grid[1:] != grid[:-1]
    differs[:-1] |= grid[:-1] != grid[1:]
    differs[:, 1:] |= grid[:, 1:] != grid[:, :-1]
    differs[:, :-1] |= grid[:, :-1] != grid[:, 1:]
    return [(int(r), int(c)) for r, c in zip(*np.nonzero(differs))]


# ---------------------------------------------------------------------------
# Shapes, drawn on an all-passing canonical grid


class DoesNotFit(Exception):
    """The label cannot be drawn at this size with these draws; draw again."""


def _vol_wall(grid: np.ndarray, rng: np.random.Generator, share: float = 1.0) -> None:
    """`share`: the deepest wall as a share of the rows (all but three at most)."""
    rows, cols = grid.shape
    deepest = min(rows - 3, max(2, round(share * rows)))
    if deepest < 2:
        raise DoesNotFit
    depth = np.full(cols, int(rng.integers(2, deepest + 1)))
    edge = rng.choice(("straight", "steps", "rise"), p=(0.4, 0.3, 0.3))
    if edge == "steps":
        for at in rng.choice(np.arange(1, cols), size=min(cols - 1, int(rng.integers(1, 4))), replace=False):
            depth[at:] += int(rng.choice((-1, 1)))
    elif edge == "rise":
        rise = int(rng.integers(1, max(1, rows // 4) + 1))
        depth = depth + np.round(rise * np.arange(cols) / (cols - 1)).astype(int)
    depth = np.clip(depth, 2, deepest)
    for c in range(cols):
        grid[rows - depth[c]:, c] = 0


def _freq_wall(grid: np.ndarray, rng: np.random.Generator, share: float = 1.0) -> None:
    rows, cols = grid.shape
    widest = min(cols - 3, max(2, round(share * cols)))
    if widest < 2:
        raise DoesNotFit
    width = np.full(rows, int(rng.integers(2, widest + 1)))
    if rng.random() < 0.5:  # slanted: the lower the voltage, the wider the wall
        slant = int(rng.integers(1, max(1, cols // 4) + 1))
        width = width + np.round(slant * np.arange(rows) / (rows - 1)).astype(int)
    width = np.clip(width, 2, widest)
    for r in range(rows):
        grid[r, cols - width[r]:] = 0


def _short_corner(grid: np.ndarray, rng: np.random.Generator) -> None:
    """The low-voltage, high-frequency corner fails along a short diagonal."""
    rows, cols = grid.shape
    a = int(rng.integers(2, max(2, rows // 4) + 1))
    b = int(rng.integers(2, max(2, cols // 4) + 1))
    r, c = np.mgrid[0:rows, 0:cols]
    grid[(rows - 1 - r) / a + (cols - 1 - c) / b < 1] = 0


def _passing_corner(grid: np.ndarray, rng: np.random.Generator) -> None:
    """Passes only beyond a diagonal, at high voltage and low frequency."""
    rows, cols = grid.shape
    a = rows * rng.uniform(0.5, 0.9)
    b = cols * rng.uniform(0.5, 0.9)
    r, c = np.mgrid[0:rows, 0:cols]
    reach = r / a + c / b + rng.uniform(-0.06, 0.06, size=(rows, 1))  # a diagonal drawn by hand
    grid[reach >= 1] = 0
    grid[0, 0] = 1
    if np.count_nonzero(grid) < max(4, 0.06 * grid.size):
        raise DoesNotFit


def _passing_band(grid: np.ndarray, rng: np.random.Generator) -> None:
    """Passes only in one or two rows along the top or columns along the left."""
    rows, cols = grid.shape
    along_rows = rng.random() < 0.6
    length, across = (cols, rows) if along_rows else (rows, cols)
    widths = [w for w in (1, 2) if w * length >= 0.06 * grid.size and w <= across - 4]
    if not widths:
        raise DoesNotFit
    width = int(rng.choice(widths))
    grid[:] = 0
    short = int(rng.integers(0, 3)) if length > 10 else 0  # the far end may fall short of the edge
    if along_rows:
        grid[:width, : cols - short] = 1
    else:
        grid[: rows - short, :width] = 1


def _fray(grid: np.ndarray, rng: np.random.Generator, protected: np.ndarray) -> None:
    """Points on both sides of the pass/fail edge flip."""
    edge = _edge_points(grid)
    wanted = max(3, int(0.3 * len(edge) / 2))
    flipped = 0
    for k in rng.permutation(len(edge)):
        if rng.random() < 0.5 and _try_flip(grid, *edge[k], protected):
            flipped += 1
    if flipped < wanted:
        raise DoesNotFit


_POCKET_SHAPES = {
    1: [((0, 0),)],
    2: [((0, 0), (0, 1)), ((0, 0), (1, 0))],
    3: [((0, 0), (0, 1), (0, 2)), ((0, 0), (1, 0), (2, 0)), ((0, 0), (0, 1), (1, 0)), ((0, 0), (1, 0), (1, 1))],
    4: [((0, 0), (0, 1), (1, 0), (1, 1)), ((0, 0), (0, 1), (0, 2), (0, 3)), ((0, 0), (1, 0), (2, 0), (2, 1)),
        ((0, 0), (0, 1), (0, 2), (1, 1))],
}


def _holes(grid: np.ndarray, rng: np.random.Generator, protected: np.ndarray) -> None:
    """One or two pockets of 1..4 points, each with a ring of passes around it."""
    rows, cols = grid.shape
    for _ in range(1 if rng.random() < 0.75 else 2):
        size = int(rng.choice((1, 2, 3, 4), p=(0.35, 0.25, 0.2, 0.2)))
        shapes = _POCKET_SHAPES[size]
        shape = shapes[int(rng.integers(len(shapes)))]
        for _attempt in range(60):
            r0, c0 = int(rng.integers(1, rows - 1)), int(rng.integers(1, cols - 1))
            cells = [(r0 + dy, c0 + dx) for dy, dx in shape]
            if any(not (1 <= y < rows - 1 and 1 <= x < cols - 1) for y, x in cells):
                continue
            ring = grid[min(y for y, _ in cells) - 1: max(y for y, _ in cells) + 2,
                        min(x for _, x in cells) - 1: max(x for _, x in cells) + 2]
            if np.all(ring == 1) and not protected[tuple(zip(*cells))].any():
                for y, x in cells:
                    grid[y, x] = 0
                ys = [y for y, _ in cells]
                xs = [x for _, x in cells]
                protected[min(ys) - 1: max(ys) + 2, min(xs) - 1: max(xs) + 2] = True
                break
        else:
            raise DoesNotFit


def _strays(grid: np.ndarray, rng: np.random.Generator, protected: np.ndarray, fails: int, passes: int) -> None:
    """Lone stray fails on the border of the passing area, lone stray passes
    inside failing areas."""
    rows, cols = grid.shape
    border = [(r, c) for r in range(rows) for c in range(cols) if r in (0, rows - 1) or c in (0, cols - 1)]
    for want, pool, value in ((fails, border, 1), (passes, list(zip(*np.nonzero(grid == 0))), 0)):
        for k in rng.permutation(len(pool))[: want * 8]:
            if want <= 0:
                break
            r, c = (int(v) for v in pool[k])
            if grid[r, c] == value and not protected[r, c] and _lone_after_flip(grid, r, c):
                grid[r, c] = 1 - value
                protected[r, c] = True
                want -= 1


def _lone_after_flip(grid: np.ndarray, r: int, c: int) -> bool:
    block = grid[max(0, r - 1): r + 2, max(0, c - 1): c + 2]
    return bool(np.all(block == grid[r, c]))


def _noise(grid: np.ndarray, rng: np.random.Generator, protected: np.ndarray) -> None:
    """Per-point noise, up to 1 % of the points: points flip where the outcome
    is uncertain, on the pass/fail edges, a few times an edge's length at most
    (more is a fraying edge, Marginal)."""
    edge = _edge_points(grid)
    if not edge:
        return
    flips = min(int(rng.binomial(grid.size, rng.uniform(0.0, 0.01))), max(1, len(edge) // 8))
    for k in rng.permutation(len(edge)):
        if flips <= 0:
            break
        if _try_flip(grid, *edge[k], protected):
            flips -= 1


def stray_cap(points: int) -> int:
    """The most stray passes a Fail plot may show."""
    return max(2, int(0.02 * points))


def draw_plot(label: str, rows: int, cols: int, rng: np.random.Generator) -> np.ndarray:
    """A canonical 0/1 grid of the label (raises DoesNotFit where it cannot be drawn)."""
    keys = set(label.split("-"))
    grid = np.ones((rows, cols), dtype=np.int8)
    protected = np.zeros((rows, cols), dtype=bool)
    if "Fail" in keys:
        grid[:] = 0
        cap = stray_cap(grid.size)
        _strays(grid, rng, protected, 0, int(rng.integers(0, min(3, cap) + 1)))
        return grid
    walls = keys & {"Vol", "Freq"}
    # Two deep walls leave a small passing corner, which reads as Marginal:
    # together each takes two thirds of its side at most.
    share = 2 / 3 if len(walls) == 2 else 1.0
    if "Vol" in keys:
        _vol_wall(grid, rng, share)
    if "Freq" in keys:
        _freq_wall(grid, rng, share)
    if "Marginal" in keys:
        if walls:
            _fray(grid, rng, protected)
        elif rng.random() < 0.6:
            _passing_corner(grid, rng)
        else:
            _passing_band(grid, rng)
    elif not walls and rng.random() < 0.5:
        _short_corner(grid, rng)
    if "Hole" in keys:
        _holes(grid, rng, protected)
    if "Marginal" not in keys or walls:  # a narrow corner or band stays clean
        fails = int(rng.choice((0, 1, 2), p=(0.5, 0.35, 0.15)))
        _strays(grid, rng, protected, fails, int(rng.integers(0, 2)))
    _noise(grid, rng, protected)
    holes = pockets(grid)
    if ("Hole" in keys) != bool(holes) or any(size > 4 for size in holes):
        raise DoesNotFit  # cannot happen with the flips guarded; kept as the lot's own check
    return grid


def _site_variant(grid: np.ndarray, rng: np.random.Generator, fail_plot: bool) -> np.ndarray:
    """The same item on another site: about 0.25 % of the points flipped along
    the pass/fail edges, so two sites differ in about 0.5 %."""
    variant = grid.copy()
    protected = np.zeros(grid.shape, dtype=bool)
    # A pocket and its ring stay as they are: the item's Hole is the item's.
    for r, c in (cell for cells in _pocket_cells(grid) for cell in cells):
        protected[max(0, r - 1): r + 2, max(0, c - 1): c + 2] = True
    wanted = int(rng.binomial(grid.size, 0.0025))
    edge = _edge_points(variant)
    for k in rng.permutation(len(edge)):
        if wanted <= 0:
            break
        r, c = edge[k]
        if fail_plot and variant[r, c] == 0 and np.count_nonzero(variant) >= stray_cap(grid.size):
            continue
        if _try_flip(variant, r, c, protected):
            wanted -= 1
    return variant


# ---------------------------------------------------------------------------
# The lot


@dataclass(frozen=True)
class BasePlot:
    """One site's plot of one item, canonical, with its label."""

    base: str
    item: int  # 1-based; also the plot's number within its site
    site: str
    label: str
    grid: np.ndarray


@dataclass(frozen=True)
class Item:
    """One test item: its size, label, axes and printing forms, and its sites' plots."""

    number: int
    rows: int
    cols: int
    label: str
    volts: tuple[float, ...]  # per row, highest first
    megahertz: tuple[int, ...]  # per column, lowest first
    forms: dict
    sites: tuple[BasePlot, ...]


def _label(rng: np.random.Generator) -> str:
    labels, weights = zip(*LABEL_RATES)
    p = np.array(weights, dtype=float)
    return labels[int(rng.choice(len(labels), p=p / p.sum()))]


def _planned_labels(count: int, rng: np.random.Generator) -> list[str]:
    """`count` labels at the lot's rates (largest remainders), in random order:
    every lot holds every label at about its rate."""
    labels, weights = zip(*LABEL_RATES)
    share = np.array(weights, dtype=float) / sum(weights) * count
    counts = np.floor(share).astype(int)
    for k in np.argsort(counts - share, kind="stable")[: count - int(counts.sum())]:
        counts[k] += 1
    planned = [label for label, n in zip(labels, counts) for _ in range(n)]
    return [planned[k] for k in rng.permutation(count)]


_HEADINGS = ("versus", "named axes")
_AXIS_LINES = ("label", "bare", "units")
_VOLT_UNITS = ("V", "mV")


def _forms(number: int, rng: np.random.Generator) -> dict:
    """How each printing of item `number` writes its heading, row labels and
    axis line: every twelve items take every combination once."""
    return {
        "heading": _HEADINGS[number % 2],
        "axis": _AXIS_LINES[number // 2 % 3],
        "volt_unit": _VOLT_UNITS[number // 6 % 2],
        "pattern": str(rng.choice(("core_fmax", "sram_bist", "io_loop", "scan_cap", "pll_lock"))),
    }


def lot_items(seed: int = DEVELOPMENT_SEED, main_items: int = MAIN_ITEMS, other_items: int = OTHER_ITEMS,
              sites: int = SITES) -> list[Item]:
    """The items of the lot of `seed`, sizes in turn."""
    rng = np.random.default_rng([seed, 21])
    sizes = [s for s in MAIN_SIZES for _ in range(main_items)] + [s for s in OTHER_SIZES for _ in range(other_items)]
    order = rng.permutation(len(sizes))
    planned = _planned_labels(len(sizes), rng)
    items = []
    for number, k in enumerate(order, 1):
        rows, cols = sizes[k]
        for attempt in range(200):
            # The planned label, or where it does not fit this size, any other.
            label = planned[number - 1] if attempt < 30 else _label(rng)
            try:
                base = draw_plot(label, rows, cols, rng)
                break
            except DoesNotFit:
                continue
        else:  # pragma: no cover - every size takes the plain labels
            raise RuntimeError(f"nothing could be drawn at {rows}x{cols}")
        plots = []
        for site in range(sites):
            grid = _site_variant(base, rng, label == "Fail")
            plots.append(BasePlot(f"{number}/{site}", number, str(site), label, grid))
        top = float(rng.choice((1.2, 1.2, 1.1, 1.25)))
        span = float(rng.uniform(0.35, 0.6))
        low = int(rng.choice((200, 300, 400, 500)))
        fspan = int(rng.integers(max(400, 8 * cols), 1300))
        items.append(Item(
            number, rows, cols, label,
            tuple(top - span * r / (rows - 1) for r in range(rows)),
            tuple(round(low + fspan * c / (cols - 1)) for c in range(cols)),
            _forms(number, rng), tuple(plots)))
    return items


def _volt_text(v: float, unit: str) -> str:
    return f"{round(v * 1000)}mV" if unit == "mV" else f"{v:.3f}V"


def printed_lines(item: Item, plot: BasePlot, printing: str) -> list[str]:
    """The datalog lines of one plot in one printing (start marker to end marker)."""
    forms = item.forms
    grid = plot.grid
    volts = list(item.volts)
    if printing == "rows rising":
        grid, volts = grid[::-1], volts[::-1]
    if printing in ("columns falling", "period"):
        grid = grid[:, ::-1]
    if printing == "period":
        # Short period on the left: the frequencies fall to the right.
        values, unit, quantity = [f"{1000.0 / f:.3f}" for f in item.megahertz[::-1]], "ns", "PERIOD"
    elif printing == "columns falling":
        values, unit, quantity = [str(f) for f in item.megahertz[::-1]], "MHz", "Freq"
    else:
        values, unit, quantity = [str(f) for f in item.megahertz], "MHz", "Freq"
    volt_unit = forms["volt_unit"]
    if forms["heading"] == "versus":
        heading = f"VDD({volt_unit}) vs {quantity}({unit})"
    else:
        heading = f"X-Axis: {quantity.upper()}({unit})  Y-Axis: VDD({volt_unit})"
    lines = [f"SHMOO PLOT  {heading}   pattern={forms['pattern']}"]
    labels = [_volt_text(v, volt_unit) for v in volts]
    width = max(len(t) for t in labels)
    for text, row in zip(labels, grid):
        lines.append(f"  {text:>{width}}  " + " ".join(PASS_MARK if p else FAIL_MARK for p in row))
    if forms["axis"] == "label":
        lines.append(f"  {unit:>{width}}  " + " ".join(values))
    elif forms["axis"] == "bare":
        lines.append(f"  {'':>{width}}  " + " ".join(values))
    else:
        lines.append(f"  {'':>{width}}  " + " ".join(v + unit for v in values))
    lines.append("END SHMOO PLOT")
    return lines


def datalog_text(items: list[Item], printing: str, lot: str) -> str:
    lines = [
        "#" * 64,
        f"# LOT {lot}   FLOW CHAR_SHMOO   printing: {printing}",
        f"# sites 0..{len(items[0].sites) - 1 if items else 0}",
        "#" * 64,
        "",
    ]
    for item in items:
        for plot in item.sites:
            lines.append(f"<{3100 + item.number}> SHMOO_VDD_{item.forms['pattern'].upper()}")
            lines.append(f"Test site {plot.site}")
            lines.extend(printed_lines(item, plot, printing))
            lines.append("")
    lines.append(f"# end of lot {lot}")
    return "\n".join(lines) + "\n"


def datalog_name(printing: str) -> str:
    return "lot_" + printing.replace(" ", "_") + ".txt"


@dataclass(frozen=True)
class LotFiles:
    datalogs: tuple[Path, ...]
    settings: Path
    truth: Path
    plots: int
    items: tuple[Item, ...]


def write_lot(out_dir: Path, seed: int = DEVELOPMENT_SEED, main_items: int = MAIN_ITEMS,
              other_items: int = OTHER_ITEMS) -> LotFiles:
    """Writes the four datalogs, their settings file and the truth CSV into `out_dir`."""
    out = Path(out_dir)
    out.mkdir(parents=True, exist_ok=True)
    items = lot_items(seed, main_items, other_items)
    truth = io.StringIO()
    writer = csv.writer(truth, lineterminator="\n")
    writer.writerow(TRUTH_FIELDS)
    logs = []
    for printing in PRINTINGS:
        path = out / datalog_name(printing)
        path.write_text(datalog_text(items, printing, f"IND{seed}"), encoding="utf-8")
        logs.append(path)
        for item in items:
            for plot in item.sites:
                writer.writerow([path.name, plot.site, plot.item, plot.label, item.rows, item.cols, printing,
                                 plot.base])
    settings = out / "lot_settings.json"
    settings.write_text(json.dumps(SETTINGS, indent=2) + "\n", encoding="utf-8")
    truth_path = out / "lot_truth.csv"
    truth_path.write_text(truth.getvalue(), encoding="utf-8")
    return LotFiles(tuple(logs), settings, truth_path, len(items) * SITES * len(PRINTINGS), tuple(items))


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("out_dir", type=Path)
    parser.add_argument("--seed", type=int, default=DEVELOPMENT_SEED,
                        help="lot seed (default: %(default)s, the development lot)")
    parser.add_argument("--items", type=int, default=MAIN_ITEMS, help="items per main size (default: %(default)s)")
    args = parser.parse_args()
    files = write_lot(args.out_dir, args.seed, args.items)
    print(f"{files.plots} plots in {len(files.datalogs)} datalogs; settings {files.settings}; truth {files.truth}")


if __name__ == "__main__":
    main()
