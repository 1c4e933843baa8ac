"""getDatalogInfo on a generated multi-site datalog, against a straightforward
pure-Python rendering of the same extraction in the same run.

    python bench/bench_extract.py                  # ~5 MB, 4 sites
    python bench/bench_extract.py --mb 2           # smaller
    python bench/bench_extract.py --with-cell-api  # also processLog's cell-API path
    python bench/bench_extract.py --big 50         # adds a 50 MB run (bounded memory)
    python bench/bench_extract.py --only-big 50    # just that

Prints the time of each path, the ratios, where the time goes, and that the
saved workbooks read back identically.
"""
import argparse
import gc
import json
import os
import random
import re
import subprocess
import sys
import tempfile
import time
import zipfile

import openpyxl
from openpyxl.styles import PatternFill

from quorvane.Source import Corvantis

SETTINGS = {"keyword_item": r"\s*Test Item\s*:", "keyword_site": "Site: ", "keyword_start": "Shmoo Plot",
            "keyword_end": "X-Axis", "keyword_pass": r"\*|P", "keyword_fail": r"#|F"}


# Blocks as wide as the generated plot rows (label + 20 points); narrower ones
# are refused.
WIDTH = 21


# --- datalog generator ----------------------------------------------------------

def generate_datalog(path, megabytes, sites=4, seed=1, long_text=False):
    """Tester-like datalog: per test item, each site reports its parametric
    results and one shmoo plot (16 voltage rows x 20 periods). With
    `long_text` the first item line is longer than a cell holds (40,000
    characters), which the library cuts."""
    rnd = random.Random(seed)
    target = int(megabytes * 1_000_000)
    written = 0
    item = 0
    with open(path, "w", encoding="utf-8", newline="\n") as f:
        f.write("Program: bench_flow\nLot: QV-BENCH\n")
        while written < target:
            item += 1
            for site in range(1, sites + 1):
                name = f"VDD_PERIOD_SHMOO_{item}" + ("X" * 40_000 if long_text and item == 1 else "")
                chunk = [f"Test Item: {name}\n", f"Site: {site}\n"]
                for k in range(14):
                    chunk.append(f"   {k:3d}  PARAM_{k:02d}_meas     {rnd.uniform(0.5, 1.5):9.5f} V   "
                                 f"limits 0.50000 1.50000  PASS\n")
                chunk.append(f"Pattern: march_c_{item % 7}\n")
                chunk.append("Shmoo Plot VDD(V) vs Period(ns)\n")
                edge = rnd.randint(5, 18)
                for r in range(16):
                    row = " ".join("*" if c + r < edge + 8 else "#" for c in range(20))
                    chunk.append(f"{1.40 - r * 0.025:.3f}V  {row}\n")
                    if rnd.random() < 0.01:
                        chunk.append("VBT error: point retested\n")
                chunk.append("X-Axis " + " ".join(f"{p}ns" for p in range(10, 30)) + "\n\n")
                text = "".join(chunk)
                f.write(text)
                written += len(text)
    return item * sites


# --- straightforward pure-Python rendering of the extraction --------------------

def process_log_py(each_file, each_site, xls, siteCnt, totalsiteCnt, dict_keyword, interval_columns=20,
                   write=True):
    flag = site_flag = startPlot = False
    each_item_info, each_plot = [], []
    tmp_pattern_info = ""
    shtName = "Sheet"
    iRow = 2
    iColumn = (siteCnt - 1) * interval_columns
    with open(each_file, "r", encoding="utf-8") as f:
        lines = f.readlines()
    for line in lines:
        if "VBT error" in line:
            continue
        if re.match(dict_keyword["Item"], line):
            each_item_info.append(line)
            tmp_pattern_info = ""
            flag = True
        if dict_keyword["SiteNum"] in line and line[:-1] != dict_keyword["SiteNum"] + str(each_site) and flag:
            each_item_info = []
            site_flag = False
        if line[:-1] == dict_keyword["SiteNum"] + str(each_site) and flag:
            each_item_info.append(line)
            site_flag = True
            continue
        if dict_keyword["PatName"] in line and flag and not startPlot:
            tmp_pattern_info = line
        if line.strip().startswith(dict_keyword["PlotStart"]) and flag and site_flag:
            each_item_info.append(tmp_pattern_info)
            startPlot = True
        if startPlot and flag and site_flag and line != "\n":
            each_plot.append(line)
        if dict_keyword["PlotEnd"] in line and flag and startPlot and site_flag:
            if write:
                ws = xls[shtName]
                B = (siteCnt - 1) * interval_columns
                S0 = totalsiteCnt * interval_columns
                ws.cell(row=1, column=B + 1, value=each_file)
                for text in each_item_info:
                    iColumn = B
                    ws.cell(row=iRow + 1, column=iColumn + 1, value=text)
                    ws.cell(row=iRow + 1, column=S0 + 1, value=text)
                    iRow += 1
                for plot_line in each_plot:
                    iColumn = B
                    tokens = plot_line.split()
                    if dict_keyword["PlotEnd"] not in plot_line:
                        for i in range(1, len(tokens)):
                            printed = tokens[i]
                            if re.match(dict_keyword["PassSymbol"], printed):
                                tokens[i] = "P"
                            if re.match(dict_keyword["FailSymbol"], printed):
                                tokens[i] = "."
                    for x in tokens:
                        ws.cell(row=iRow + 1, column=iColumn + 1, value=x)
                        if x == "P":
                            ws.cell(row=iRow + 1, column=iColumn + 1).fill = PatternFill(
                                start_color="00EE00", end_color="00EE00", fill_type="solid")
                        elif x == ".":
                            ws.cell(row=iRow + 1, column=iColumn + 1).fill = PatternFill(
                                start_color="DC143C", end_color="DC143C", fill_type="solid")
                        S = S0 + (iColumn - B) + 1
                        old = str(ws.cell(row=iRow + 1, column=S).value)
                        if old != "None":
                            y = old + x
                            ws.cell(row=iRow + 1, column=S, value=y)
                            if "P" in y and "." in y:
                                ws.cell(row=iRow + 1, column=S).fill = PatternFill(
                                    start_color="FFFF00", end_color="FFFF00", fill_type="solid")
                        else:
                            ws.cell(row=iRow + 1, column=S, value=x)
                        iColumn += 1
                    iRow += 1
            else:
                iRow += len(each_item_info) + len(each_plot)
            each_item_info, each_plot = [], []
            iRow += int(dict_keyword["RowOffset"])
            startPlot = flag = site_flag = False


def pairs(file_paths, site_lbl, table):
    files = file_paths.split(";")
    labels = site_lbl.split(";")
    labels += [""] * (len(files) - len(labels))
    out = []
    for path, label in zip(files, labels):
        label = label or Corvantis.getAllSiteNums(path, table)
        out += [(path, site) for site in label.split(",")]
    return out


def python_path(table, file_paths, site_lbl, width, out_path, timings):
    jobs = pairs(file_paths, site_lbl, table)
    t0 = time.perf_counter()
    for k, (path, site) in enumerate(jobs, 1):
        process_log_py(path, site, None, k, len(jobs), table, width, write=False)
    t1 = time.perf_counter()
    wb = openpyxl.Workbook()
    for k, (path, site) in enumerate(jobs, 1):
        process_log_py(path, site, wb, k, len(jobs), table, width)
    t2 = time.perf_counter()
    wb.save(out_path)
    t3 = time.perf_counter()
    timings.update(scan=t1 - t0, cells=(t2 - t1) - (t1 - t0), save=t3 - t2, total=(t2 - t1) + (t3 - t2))


# --- measurement helpers --------------------------------------------------------

class SaveClock:
    """Times the archive writing of the native path: from the first BytesIO
    made during the run (the saver's first step: the library's own parts go
    to memory; the scan makes none) to the return of getDatalogInfo."""

    def __init__(self):
        self.first = None

    def __enter__(self):
        import io
        clock = self
        original = self.original = io.BytesIO

        class Timed(original):
            def __init__(self, *args, **kwargs):
                if clock.first is None:
                    clock.first = time.perf_counter()
                super().__init__(*args, **kwargs)

        io.BytesIO = Timed
        return self

    def __exit__(self, *exc):
        import io
        io.BytesIO = self.original


def native(table, file_paths, site_lbl, width, faithful=False):
    original = Corvantis.processLog
    if faithful:  # a rebound processLog makes the driver use the cell API
        Corvantis.processLog = lambda *args: original(*args)
    try:
        t0 = time.perf_counter()
        with SaveClock() as clock:
            path = Corvantis.getDatalogInfo(table, file_paths, site_lbl, width)
            end = time.perf_counter()
        total = end - t0
    finally:
        Corvantis.processLog = original
    return path, total, (end - clock.first) if clock.first else float("nan")


def archive_one_core(path):
    """Writes the parts of `path` again the way the archive used to be written:
    the standard library's zipfile, zlib level 6, one core."""
    with zipfile.ZipFile(path) as source:
        parts = [(name, source.read(name)) for name in source.namelist()]
    t0 = time.perf_counter()
    with zipfile.ZipFile(path + ".one-core.zip", "w", zipfile.ZIP_DEFLATED) as target:
        for name, data in parts:
            target.writestr(name, data)
    seconds = time.perf_counter() - t0
    os.unlink(path + ".one-core.zip")
    return seconds


def read_back(path):
    wb = openpyxl.load_workbook(path)
    ws = wb["Sheet"]
    cells = {(c.row, c.column): (c.value, c.data_type, c.fill.fill_type, c.fill.start_color.rgb,
                                 c.fill.end_color.rgb)
             for row in ws.iter_rows() for c in row if c.value is not None or c.has_style}
    return wb.sheetnames, ws.dimensions, cells


def quiet(fn, *args):
    import contextlib
    import io
    with contextlib.redirect_stdout(io.StringIO()):
        return fn(*args)


def peak_memory_mb():
    # VmHWM is this process's own high-water mark; ru_maxrss would carry the
    # parent's across exec on Linux.
    try:
        with open("/proc/self/status") as status:
            for line in status:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1]) / 1024
    except OSError:
        pass
    import resource
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024


def big_run(megabytes, workdir, long_text=False):
    """Runs in a child process so that its peak memory is its own."""
    log = os.path.join(workdir, "big.txt")
    plots = generate_datalog(log, megabytes, long_text=long_text)
    table = Corvantis.getKeyWordFromSettingFile(SETTINGS)
    gc.collect()
    before = peak_memory_mb()
    t0 = time.perf_counter()
    c0 = os.times()
    os.chdir(workdir)
    path = quiet(Corvantis.getDatalogInfo, table, log, "", WIDTH)
    elapsed = time.perf_counter() - t0
    c1 = os.times()
    cpu = c1.user - c0.user + c1.system - c0.system  # all threads of the process
    peak = peak_memory_mb()
    with zipfile.ZipFile(path) as z:
        sheet = z.getinfo("xl/worksheets/sheet1.xml").file_size / 1e6
    # cells of the site blocks: the tokens of every plot line plus the header rows
    cells = 0
    text_bytes = 0
    with open(log, encoding="utf-8") as f:
        for line in f:
            if line[:1].isdigit() or line.startswith(("X-Axis", "Shmoo", "Test Item", "Site")):
                n = len(line.split()) if not line.startswith(("Test Item", "Site")) else 1
                cells += n
                text_bytes += len(line)
    print(json.dumps({"mb": os.path.getsize(log) / 1e6, "plots": plots, "seconds": elapsed, "cpu_seconds": cpu,
                      "rss_before_mb": before, "rss_peak_mb": peak, "sheet_xml_mb": sheet,
                      "site_cells": cells, "cell_text_mb": text_bytes / 1e6}))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--mb", type=float, default=5.2)
    parser.add_argument("--sites", type=int, default=4)
    parser.add_argument("--big", type=float, default=0)
    parser.add_argument("--big-child", type=float, default=0, help=argparse.SUPPRESS)
    parser.add_argument("--skip-python", action="store_true")
    parser.add_argument("--with-cell-api", action="store_true")
    parser.add_argument("--only-big", type=float, default=0)
    parser.add_argument("--long-text", action="store_true",
                        help="one item line longer than a cell holds (it used to force the cell-API path)")
    args = parser.parse_args()
    if args.big_child:
        big_run(args.big_child, os.getcwd(), args.long_text)
        return

    work = tempfile.mkdtemp(prefix="bench_extract_")
    os.chdir(work)
    if args.only_big:
        report_big(args.only_big, work, args.long_text)
        return
    log = os.path.join(work, "datalog.txt")
    plots = generate_datalog(log, args.mb, args.sites, long_text=args.long_text)
    table = Corvantis.getKeyWordFromSettingFile(SETTINGS)
    print(f"datalog: {os.path.getsize(log) / 1e6:.1f} MB, {args.sites} sites, {plots} plots")

    fast_path, fast, fast_save = quiet(native, table, log, "", WIDTH)
    print(f"native, collected cells + one-pass sheet : {fast:7.2f} s  (archive writing {fast_save:.2f} s, "
          f"scan and collect {fast - fast_save:.2f} s)")
    old_way = archive_one_core(fast_path)
    print(f"  the same parts through zipfile at level 6 on one core (how the archive was written before): "
          f"{old_way:.2f} s")
    same = True
    if args.with_cell_api:
        cell_path, cell_api, _ = quiet(native, table, log, "", WIDTH, True)
        print(f"native scan, cell API (processLog rebound): {cell_api:7.2f} s")
        print(f"ratio native cell API / native collected : {cell_api / fast:7.1f}x")
        same = read_back(fast_path) == read_back(cell_path)
    if not args.skip_python:
        timings = {}
        py_out = os.path.join(work, "python.xlsx")
        python_path(table, log, "", WIDTH, py_out, timings)
        print(f"pure Python, cell API                    : {timings['total']:7.2f} s  (scan {timings['scan']:.2f} s,"
              f" cell writes {timings['cells']:.2f} s, save {timings['save']:.2f} s)")
        print(f"ratio pure Python / native collected     : {timings['total'] / fast:7.1f}x")
        if args.with_cell_api:
            print(f"ratio pure Python / native cell API      : {timings['total'] / cell_api:7.1f}x")
        same = same and read_back(py_out) == read_back(fast_path)
    print(f"workbooks read back identically          : {same}")
    if args.big:
        report_big(args.big, work, args.long_text)


def report_big(megabytes, work, long_text=False):
    result = subprocess.run([sys.executable, __file__, "--big-child", str(megabytes),
                             *(["--long-text"] if long_text else [])], cwd=work,
                            capture_output=True, text=True, check=True)
    big = json.loads(result.stdout.strip().splitlines()[-1])
    print(f"big datalog: {big['mb']:.0f} MB, {big['plots']} plots in {big['seconds']:.1f} s "
          f"({big['cpu_seconds']:.1f} s CPU over all threads); "
          f"peak RSS {big['rss_peak_mb']:.0f} MB (before the run {big['rss_before_mb']:.0f} MB); "
          f"sheet XML {big['sheet_xml_mb']:.0f} MB")
    cells = big["site_cells"] * 5 // 4  # site blocks plus the summary block of 4 sites
    growth = (big["rss_peak_mb"] - big["rss_before_mb"]) * 1024 * 1024
    print(f"about {cells:,} cells: {growth / cells:.0f} bytes of peak memory per cell, "
          f"datalog lines of one scan included")


if __name__ == "__main__":
    main()
