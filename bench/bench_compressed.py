"""Reading a compressed datalog against reading the same datalog plain.

A generated multi-site datalog of about --mb megabytes is written plain and
compressed (gzip level 6, as `gzip` writes by default; with --all also bzip2
and xz), and each file is read with ``quorvane.plots.read_datalog``, the one
reading every datalog command does. Runs alternate between the files and the
best of --repeat runs counts, so that a busy machine slows each alike. The
goal: a gzip-compressed datalog in at most 1.3 times the plain file's time.
Peak memory of one reading each (tracemalloc) shows that the text is not held
twice.

    .venv/bin/python bench/bench_compressed.py [--mb 50] [--repeat 5] [--all]
"""

import argparse
import bz2
import gzip
import lzma
import tempfile
import time
import tracemalloc
from pathlib import Path

from quorvane import samples
from quorvane.plots import read_datalog
from quorvane.Source import Corvantis


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--mb", type=float, default=50.0)
    ap.add_argument("--repeat", type=int, default=5)
    ap.add_argument("--all", action="store_true", help="also bzip2 and xz")
    args = ap.parse_args()
    table = Corvantis.getKeyWordFromSettingFile(samples.settings())
    with tempfile.TemporaryDirectory() as tmp:
        one = samples.datalog_text(sites=4, items=10, seed=1)
        items = max(1, int(args.mb * 1e6 / len(one.encode()) * 10))
        data = samples.datalog_text(sites=4, items=items, seed=1).encode("utf-8")
        forms = {"plain": data, "gzip": gzip.compress(data, 6)}
        if args.all:
            forms.update(bzip2=bz2.compress(data, 9), xz=lzma.compress(data))
        files = {}
        for name, content in forms.items():
            files[name] = Path(tmp) / f"lot.{name}"
            files[name].write_bytes(content)
        del data, forms
        best = dict.fromkeys(files, float("inf"))
        for _ in range(args.repeat):
            for name, path in files.items():
                start = time.perf_counter()
                lines = len(read_datalog(table, path).lines)
                best[name] = min(best[name], time.perf_counter() - start)
        peaks = {}
        for name, path in files.items():
            tracemalloc.start()
            read_datalog(table, path)
            peaks[name] = tracemalloc.get_traced_memory()[1]
            tracemalloc.stop()
        print(f"datalog {files['plain'].stat().st_size / 1e6:.1f} MB, {lines:,} lines; best of {args.repeat} runs")
        for name, path in files.items():
            print(f"{name:6} {path.stat().st_size / 1e6:7.1f} MB on disk  read in {best[name]:6.2f} s  "
                  f"({best[name] / best['plain']:.2f}x plain)  peak {peaks[name] / 1e6:7.1f} MB")


if __name__ == "__main__":
    main()
