"""`quorvane extract --jobs N` over many datalogs against `--jobs 1`, the
same command in the same run: wall time, peak memory of the command and its
workers, and whether the two workbooks hold the same archive.

Run: python bench/bench_jobs.py [--count 100] [--mb 5] [--jobs 2]
"""

import argparse
import json
import os
import resource
import subprocess
import sys
import tempfile
import time
import zipfile
from pathlib import Path

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from bench_extract import SETTINGS, generate_datalog  # noqa: E402


def settings_file(folder):
    # The generator's markers, in the settings file the command line reads.
    path = Path(folder) / "settings.json"
    path.write_text(json.dumps(SETTINGS), encoding="utf-8")
    return path


def run(logs, settings, out, jobs):
    out.mkdir()
    before = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss
    started = time.perf_counter()
    proc = subprocess.run([sys.executable, "-m", "quorvane", "extract", *map(str, logs), "--settings", str(settings),
                           "--out-dir", str(out), "--jobs", str(jobs)], capture_output=True, text=True)
    seconds = time.perf_counter() - started
    if proc.returncode != 0:
        raise SystemExit(proc.stderr)
    # ru_maxrss of children is the largest single child so far (the command
    # itself, or one of its workers): meaningful when it grows.
    peak = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss
    [workbook] = out.glob("*.xlsx")
    return seconds, (peak if peak > before else None), workbook


def archive(path):
    with zipfile.ZipFile(path) as z:
        return {n: z.read(n) for n in z.namelist() if not n.startswith("docProps/")}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--count", type=int, default=100)
    parser.add_argument("--mb", type=float, default=5.0)
    parser.add_argument("--jobs", type=int, default=2)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as tmp:
        folder = Path(tmp)
        first = folder / "log_000.txt"
        generate_datalog(first, args.mb)
        logs = [first]
        for k in range(1, args.count):
            # Same text, own files: every datalog is read and scanned on its own.
            logs.append(folder / f"log_{k:03d}.txt")
            os.link(first, logs[-1]) if hasattr(os, "link") else logs[-1].write_bytes(first.read_bytes())
        settings = settings_file(folder)
        one_s, one_peak, one_book = run(logs, settings, folder / "one", 1)
        many_s, many_peak, many_book = run(logs, settings, folder / "many", args.jobs)
        same = archive(one_book) == archive(many_book)
        total = sum(p.stat().st_size for p in logs) / 1e6

        def peak(kb):
            return f"{kb / 1024:.0f} MB" if kb else "n/a"

        print(f"{args.count} datalogs, {total:.0f} MB in all; workbook {one_book.stat().st_size / 1e6:.0f} MB")
        print(f"--jobs 1: {one_s:.1f} s (peak {peak(one_peak)})")
        print(f"--jobs {args.jobs}: {many_s:.1f} s (peak {peak(many_peak)}); speed-up {one_s / many_s:.2f}x; "
              f"same workbook: {same}")


if __name__ == "__main__":
    main()
