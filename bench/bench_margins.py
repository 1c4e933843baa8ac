"""`quorvane margins` (tables and summary) and the composite worksheet against
the extraction of the same datalog, and the margins against a straightforward
pure-Python rendering of the numbers.

    python bench/bench_margins.py              # ~5 MB, 4 sites
    python bench/bench_margins.py --mb 50      # a bigger datalog
    python bench/bench_margins.py --sizes 5,50 # both, each in its own process

Each measurement runs in a child process of its own, so that its peak memory
(VmHWM) is its own. Goal: margins at most 2x the extraction time.
"""
import argparse
import contextlib
import csv
import io
import json
import os
import subprocess
import sys
import tempfile
import time
from collections import deque
from pathlib import Path

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from bench_extract import SETTINGS, generate_datalog, peak_memory_mb  # noqa: E402


def child_extract(log, work):
    from quorvane.Source import Corvantis

    table = Corvantis.getKeyWordFromSettingFile(SETTINGS)
    os.chdir(work)
    t0 = time.perf_counter()
    with contextlib.redirect_stdout(io.StringIO()):
        Corvantis.getDatalogInfo(table, log, "", 21)  # rows of 20 points and their label
    return {"seconds": time.perf_counter() - t0, "peak_mb": peak_memory_mb()}


def child_composite(log, work):
    """The worksheet "Composite" added to the saved extraction workbook."""
    from quorvane import composite
    from quorvane.Source import Corvantis

    settings = Path(work) / "settings.json"
    settings.write_text(json.dumps(SETTINGS))
    table = Corvantis.getKeyWordFromSettingFile(SETTINGS)
    os.chdir(work)
    with contextlib.redirect_stdout(io.StringIO()):
        saved = Corvantis.getDatalogInfo(table, log, "", 21)  # rows of 20 points and their label
    t0 = time.perf_counter()
    maps, _ = composite.run_composite([log], settings, None, Path(saved), None)
    return {"seconds": time.perf_counter() - t0, "peak_mb": peak_memory_mb(), "maps": len(maps)}


def child_margins(log, work):
    from quorvane import margins

    settings = Path(work) / "settings.json"
    settings.write_text(json.dumps(SETTINGS))
    t0 = time.perf_counter()
    run = margins.run_margins([log], settings, None, Path(work) / "margins.csv", Path(work) / "summary.csv")
    return {"seconds": time.perf_counter() - t0, "peak_mb": peak_memory_mb(), "plots": run.plots}


# --- straightforward rendering: nested loops and a breadth-first search ---------

def straight_numbers(plot):
    from quorvane import axes

    grid = plot.grid.tolist()
    rows, cols = len(grid), len(grid[0]) if grid else 0
    y, x = axes.plot_axes(plot)

    def run_end(points):
        # The generated datalogs print the highest voltage first; a period axis printed
        # rising is walked from its last column (the lowest frequency).
        k = next((i for i, v in enumerate(points) if v == 1), None)
        if k is None:
            return -1
        while k + 1 < len(points) and points[k + 1] == 1:
            k += 1
        return k

    margins_rows = []
    lowest = -1
    for c in range(cols):
        passing = [r for r in range(rows) if grid[r][c] == 1]
        lo = min(passing, key=lambda r: y.values[r]) if passing else None
        hi = max(passing, key=lambda r: y.values[r]) if passing else None
        end = run_end([grid[r][c] for r in range(rows)])
        lowest = max(lowest, end)
        margins_rows.append((x.texts[c], "" if lo is None else y.texts[lo], "" if hi is None else y.texts[hi],
                             "" if end < 0 else y.texts[end]))
    order = list(range(cols))
    if x.dimension == "period" and cols > 1 and x.values[-1] > x.values[0]:
        order.reverse()
    highest = max((run_end([row[c] for c in order]) for row in grid), default=-1)
    plot_vmin = ("" if lowest < 0 else y.texts[lowest], "" if highest < 0 else x.texts[order[highest]])
    seen = [[False] * cols for _ in range(rows)]
    queue = deque()
    for r in range(rows):
        for c in range(cols):
            if (r in (0, rows - 1) or c in (0, cols - 1)) and grid[r][c] != 1:
                seen[r][c] = True
                queue.append((r, c))
    while queue:
        r, c = queue.popleft()
        for rr, cc in ((r + 1, c), (r - 1, c), (r, c + 1), (r, c - 1)):
            if 0 <= rr < rows and 0 <= cc < cols and not seen[rr][cc] and grid[rr][cc] != 1:
                seen[rr][cc] = True
                queue.append((rr, cc))
    passes = sum(v == 1 for row in grid for v in row)
    fails = sum(v == 0 for row in grid for v in row)
    holes = sum(grid[r][c] == 0 and not seen[r][c] for r in range(rows) for c in range(cols)) if passes else 0
    edge = [side for side, hit in (("top", 1 in grid[0]), ("bottom", 1 in grid[-1]),
                                   ("left", any(row[0] == 1 for row in grid)),
                                   ("right", any(row[-1] == 1 for row in grid))) if hit]
    return x, y, margins_rows, passes, fails, holes, edge, plot_vmin


def child_straight(log, work):
    from quorvane import margins
    from quorvane.plots import read_plots
    from quorvane.Source import Corvantis

    table = Corvantis.getKeyWordFromSettingFile(SETTINGS)
    t0 = time.perf_counter()
    with open(Path(work) / "straight.csv", "w", newline="") as out, \
            open(Path(work) / "straight_summary.csv", "w", newline="") as summary:
        mw, sw = csv.writer(out, lineterminator="\n"), csv.writer(summary, lineterminator="\n")
        mw.writerow(margins.MARGINS_HEADER)
        sw.writerow(margins.SUMMARY_HEADER)
        for plot in read_plots(table, [log]):
            x, y, rows, passes, fails, holes, edge, plot_vmin = straight_numbers(plot)
            kind = margins.axes_kind(x, y)
            head = (plot.datalog, plot.site, plot.plot, margins.item_key(plot.item))
            for xt, lo, hi, vmin in rows:
                mw.writerow((*head, xt, lo, hi, kind, x.unit, y.unit, vmin))
            fraction = f"{passes / (passes + fails):.4f}" if passes + fails else ""
            sw.writerow((*head, fraction, holes, ",".join(edge), kind, *plot_vmin, x.unit, y.unit, "", "", "", ""))
    seconds = time.perf_counter() - t0
    same = ((Path(work) / "straight.csv").read_bytes() == (Path(work) / "margins.csv").read_bytes()
            and (Path(work) / "straight_summary.csv").read_bytes() == (Path(work) / "summary.csv").read_bytes())
    return {"seconds": seconds, "same_output": same}


def in_child(kind, log, work):
    out = subprocess.run([sys.executable, __file__, "--child", kind, log, work], capture_output=True, text=True)
    if out.returncode:
        raise SystemExit(out.stderr)
    return json.loads(out.stdout.strip().splitlines()[-1])


def measure(megabytes, sites, straight, with_composite):
    work = tempfile.mkdtemp(prefix="bench_margins_")
    log = os.path.join(work, "datalog.txt")
    generate_datalog(log, megabytes, sites)
    size = os.path.getsize(log) / 1e6
    extract = in_child("extract", log, work)
    margins = in_child("margins", log, work)
    print(f"datalog {size:.1f} MB, {sites} sites, {margins['plots']} plots")
    print(f"  extraction (workbook)        : {extract['seconds']:7.2f} s, peak {extract['peak_mb']:.0f} MB")
    print(f"  margins (--out and --summary): {margins['seconds']:7.2f} s, peak {margins['peak_mb']:.0f} MB"
          f"  -> {margins['seconds'] / extract['seconds']:.2f}x the extraction (goal <= 2x)")
    if not with_composite:
        return
    comp = in_child("composite", log, work)
    print(f"  composite worksheet added    : {comp['seconds']:7.2f} s, peak {comp['peak_mb']:.0f} MB "
          f"({comp['maps']} maps) -> {comp['seconds'] / extract['seconds']:.2f}x the extraction")
    if straight:
        plain = in_child("straight", log, work)
        print(f"  straightforward Python loops : {plain['seconds']:7.2f} s (numbers only, same plots) -> "
              f"vectorised is {plain['seconds'] / margins['seconds']:.1f}x faster; same CSV bytes: "
              f"{plain['same_output']}")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--mb", type=float, default=5.2)
    parser.add_argument("--sizes", default=None, help="comma-separated sizes in MB, e.g. 5,50")
    parser.add_argument("--sites", type=int, default=4)
    parser.add_argument("--no-straight", action="store_true", help="skip the pure-Python comparison")
    parser.add_argument("--composite-all", action="store_true",
                        help="also time the composite worksheet above 10 MB (openpyxl-bound: minutes)")
    parser.add_argument("--child", nargs=3, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        kind, log, work = args.child
        fn = {"extract": child_extract, "margins": child_margins, "composite": child_composite,
              "straight": child_straight}[kind]
        print(json.dumps(fn(log, work)))
        return
    sizes = [float(s) for s in args.sizes.split(",")] if args.sizes else [args.mb]
    for mb in sizes:
        measure(mb, args.sites, not args.no_straight and mb <= 10, args.composite_all or mb <= 10)


if __name__ == "__main__":
    main()
