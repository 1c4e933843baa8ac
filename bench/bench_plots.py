"""Plot reader against workbook extraction on the same multi-site datalog.

Reading every plot of every site (quorvane.plots.read_plots) is timed against
Corvantis.getDatalogInfo on the same datalog and sites, in the same run, with
peak memory of each (tracemalloc). The reader's goal is a small fraction of
the extraction's time, so that classifying a datalog's plots stays within a
few extraction times.

    .venv/bin/python bench/bench_plots.py [--mb 5] [--sites 4]
"""

import argparse
import os
import tempfile
import time
import tracemalloc
from pathlib import Path

from quorvane import samples
from quorvane.plots import read_plots
from quorvane.Source import Corvantis


def measure(fn):
    """Time of a plain run, then peak memory of a second, traced run (tracing
    slows allocation-heavy code unevenly, so it stays out of the timing)."""
    start = time.perf_counter()
    result = fn()
    elapsed = time.perf_counter() - start
    tracemalloc.start()
    fn()
    peak = tracemalloc.get_traced_memory()[1]
    tracemalloc.stop()
    return result, elapsed, peak


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--mb", type=float, default=5.0)
    ap.add_argument("--sites", type=int, default=4)
    args = ap.parse_args()
    with tempfile.TemporaryDirectory() as tmp:
        one = samples.datalog_text(sites=args.sites, items=10, seed=1)
        items = max(1, int(args.mb * 1e6 / len(one.encode()) * 10))
        log = Path(tmp) / "big.txt"
        log.write_text(samples.datalog_text(sites=args.sites, items=items, seed=1), encoding="utf-8")
        table = Corvantis.getKeyWordFromSettingFile(samples.settings())
        size = log.stat().st_size / 1e6
        plots, t_read, m_read = measure(lambda: sum(1 for _ in read_plots(table, [str(log)])))
        cwd = os.getcwd()
        os.chdir(tmp)
        try:
            _, t_ext, m_ext = measure(lambda: Corvantis.getDatalogInfo(table, str(log), "", 20))
        finally:
            os.chdir(cwd)
        print(f"datalog {size:.1f} MB, {args.sites} sites, {plots} plots")
        print(f"read_plots     {t_read:7.2f} s  peak {m_read / 1e6:7.1f} MB")
        print(f"getDatalogInfo {t_ext:7.2f} s  peak {m_ext / 1e6:7.1f} MB")
        print(f"ratio reader/extraction {t_read / t_ext:.3f}")


if __name__ == "__main__":
    main()
