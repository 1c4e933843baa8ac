"""The command line's pass over each datalog (sites as printed, plots per
site) against the extraction of the same datalog, in one run.

Run: python bench/bench_cli_scan.py [--mb 5]
"""

import argparse
import contextlib
import io
import os
import tempfile
import time
from pathlib import Path

from quorvane import extraction, samples
from quorvane.Source import Corvantis


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--mb", type=float, default=5.0)
    args = parser.parse_args()
    unit = samples.datalog_text(sites=4, items=5, seed=1)
    with tempfile.TemporaryDirectory() as tmp:
        log = Path(tmp) / "big.txt"
        log.write_text(unit * max(1, int(args.mb * 1e6 / len(unit))), encoding="utf-8")
        keywords = Corvantis.getKeyWordFromSettingFile(samples.settings())
        started = time.perf_counter()
        scan = extraction.scan_datalog(log, keywords)
        scan_s = time.perf_counter() - started
        old = os.getcwd()
        os.chdir(tmp)
        try:
            started = time.perf_counter()
            with contextlib.redirect_stdout(io.StringIO()):
                Corvantis.getDatalogInfo(keywords, str(log), ",".join(scan.sites), 20)
            extract_s = time.perf_counter() - started
        finally:
            os.chdir(old)
        print(f"{log.stat().st_size / 1e6:.1f} MB, {sum(scan.plots.values())} plots in {len(scan.sites)} sites: "
              f"scan {scan_s:.2f} s, extraction {extract_s:.2f} s, scan/extraction {scan_s / extract_s:.2f}")


if __name__ == "__main__":
    main()
