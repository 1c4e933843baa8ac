"""The lot table: appending 1,000,000 plots against triage's scoring of them,
and the README's example query over them.

Plots: one generated four-site datalog of --subset plots (default 100,000; the
sizes of ``samples.SAMPLE_SIZES``, 7 x 11 to 21 x 41, as bench_triage.py uses),
read once into memory.

Scoring: ``triage.classify_plots`` of the subset with the bundled model, its
calibration and the site agreement, on one thread: what triage does with the
plots it reads (reading the datalog and writing the CSV are not counted).

Appending: every (plot, verdict) of the subset through ``LotTable.add`` in a
``written_together`` block, as ``triage --lot-table`` appends (the plot record
with its margins numbers, the rows, the Parquet files, their renaming), --repeat
times (default 10: 1,000,000 rows), each pass one run under --lots lots of its
own. Goal: appending within 2x the scoring time of as many plots (the subset's
scoring time times --repeat: the network's time per plot does not depend on
how many plots a run holds). Both are timed in this process's CPU time, which
other work on a shared machine disturbs far less than the wall-clock time
(given too); the goal is judged on CPU time.

Query: the README's example (Vmin by lot and site) over the whole table, in
this process (a fresh DuckDB connection each time, best of 3) and as the
``quorvane query`` command (a fresh process: interpreter start and imports
included). Goal: under 2 s.

    MPLBACKEND=Agg python bench/bench_lot_table.py [--subset 100000] [--repeat 10] [--lots 5] [--keep DIR]
"""

from __future__ import annotations

import argparse
import contextlib
import io
import os
import subprocess
import sys
import tempfile
import time
from pathlib import Path

EXAMPLE_QUERY = ("SELECT lot, site, count(*) AS plots, min(vmin) AS vmin_min, median(vmin) AS vmin_median, "
                 "max(vmin) AS vmin_max FROM plots GROUP BY lot, site ORDER BY lot, site")


def read_subset(work: Path, count: int, seed: int) -> list:
    from quorvane import samples
    from quorvane.plots import read_plots
    from quorvane.Source import Corvantis

    text, _ = samples.labelled_datalog(samples.SAMPLE_SIZES, -(-count // 4), 4, seed)
    log = work / "lot.txt"
    log.write_text(text, encoding="utf-8")
    del text
    keywords = Corvantis.getKeyWordFromSettingFile(samples.settings())
    plots = list(read_plots(keywords, [str(log)]))[:count]
    log.unlink()
    return plots


def _clocks() -> tuple[float, float]:
    return time.perf_counter(), time.process_time()


def _since(started: tuple[float, float]) -> tuple[float, float]:
    """(wall, CPU) seconds since ``started``."""
    wall, cpu = _clocks()
    return wall - started[0], cpu - started[1]


def score(plots: list) -> tuple[list, tuple[float, float]]:
    from quorvane import models, triage
    from quorvane.review import SiteAgreement

    path = models.bundled_model_path()
    net, payload = models.load_model(path, scoring_only=True)
    calibration = models.model_calibration(payload, path)
    started = _clocks()
    pairs = list(triage.classify_plots(net, plots, calibration=calibration, sites=SiteAgreement()))
    return pairs, _since(started)


def append(pairs: list, table: Path, repeat: int, lots: int) -> list[tuple[float, float]]:
    from quorvane.lot_table import LotTable
    from quorvane.outputs import written_together

    times = []
    for run in range(repeat):
        headers = [{"lot": f"QV{run:02d}{chr(65 + k)}", "wafer": f"{k + 1:02d}", "program": "QV_CHAR_A1",
                    "tester": "QV-9300", "temperature": "25C"} for k in range(lots)]
        started = _clocks()
        with written_together() as outputs:
            appended = LotTable(table, "bench", outputs)
            for k, (plot, verdict) in enumerate(pairs):
                appended.add(plot, headers[k % lots], verdict)
            appended.close()
        times.append(_since(started))
        print(f"  run {run + 1}/{repeat}: {len(pairs)} plots appended in {times[-1][1]:.1f} s CPU "
              f"({times[-1][0]:.1f} s wall)", flush=True)
    return times


def query(table: Path) -> tuple[float, float, str]:
    from quorvane.lot_table import run_query

    best = float("inf")
    shown = ""
    for _ in range(3):
        held = io.StringIO()
        started = time.perf_counter()
        with contextlib.redirect_stdout(held):
            run_query(EXAMPLE_QUERY, table)
        best = min(best, time.perf_counter() - started)
        shown = held.getvalue()
    started = time.perf_counter()
    subprocess.run([sys.executable, "-m", "quorvane", "query", EXAMPLE_QUERY, "--lot-table", str(table)],
                   check=True, capture_output=True)
    return best, time.perf_counter() - started, shown


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--subset", type=int, default=100_000)
    parser.add_argument("--repeat", type=int, default=10)
    parser.add_argument("--lots", type=int, default=5)
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--keep", type=Path, default=None, metavar="DIR",
                        help="write the table here and keep it (default: a temporary folder)")
    args = parser.parse_args()
    import torch

    torch.set_num_threads(1)
    with tempfile.TemporaryDirectory() as tmp:
        work = Path(tmp)
        table = args.keep or work / "table"
        started = time.perf_counter()
        plots = read_subset(work, args.subset, args.seed)
        print(f"{len(plots)} plots generated and read in {time.perf_counter() - started:.1f} s", flush=True)
        pairs, (scoring_wall, scoring) = score(plots)
        print(f"triage scoring: {len(pairs)} plots in {scoring:.1f} s CPU ({scoring / len(pairs) * 1e6:.0f} "
              f"us/plot; {scoring_wall:.1f} s wall)", flush=True)
        times = append(pairs, table, args.repeat, args.lots)
        rows = len(pairs) * args.repeat
        appending_wall, appending = sum(t[0] for t in times), sum(t[1] for t in times)
        scaled = scoring * args.repeat
        size = sum(f.stat().st_size for f in table.rglob("*.parquet")) / 1e6
        print(f"appending: {rows} plots in {appending:.1f} s CPU ({appending / rows * 1e6:.0f} us/plot; "
              f"{appending_wall:.1f} s wall), {size:.0f} MB in {sum(1 for _ in table.rglob('*.parquet'))} files",
              flush=True)
        print(f"  goal: within 2x triage's scoring of {rows} plots ({scaled:.1f} s CPU): ratio "
              f"{appending / scaled:.2f} (wall: {appending_wall / (scoring_wall * args.repeat):.2f}), "
              f"{'met' if appending <= 2 * scaled else 'missed'}")
        in_process, command, shown = query(table)
        print(f"example query over {rows} rows: {in_process:.2f} s in process (best of 3), {command:.2f} s as "
              f"'quorvane query' (fresh process); goal under 2 s: {'met' if in_process < 2 else 'missed'}")
        print("\n".join(shown.splitlines()[:8]))
        if args.keep is None:
            print("(table deleted; --keep DIR keeps it)")


if __name__ == "__main__":
    os.environ.setdefault("MPLBACKEND", "Agg")
    main()
