"""How big a workbook LibreOffice Calc opens in practice: datalogs of growing
size are extracted into workbooks, and Calc (headless) opens each one and
saves its sheet as CSV under /usr/bin/time -v, which gives the wall time and
the peak memory of the opening. With --split the largest datalog is also
extracted with ``quorvane extract --split site`` and Calc opens every part.

    python bench/bench_calc_open.py                    # 2 5 12 25 50 MB datalogs
    python bench/bench_calc_open.py --mb 5 100 --timeout 3600
    python bench/bench_calc_open.py --mb 100 --split site --skip-whole

The datalogs are the tester-like ones of bench_extract.py, eight sites (as the
100 MB datalog of the report: A1:FD394221, 160 columns). Results are printed
as a table and appended to --log (JSON lines) as they come, so a run cut
short keeps what it measured. The figures are in README.md (Workbooks that
open).
"""
import argparse
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import zipfile
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
from bench_extract import SETTINGS, WIDTH, generate_datalog  # noqa: E402

SITES = 8


def sheet_size(workbook):
    """(rows, columns, cells, bytes of sheet XML) of the workbook's first sheet."""
    from openpyxl.utils import column_index_from_string

    with zipfile.ZipFile(workbook) as z:
        name = "xl/worksheets/sheet1.xml"
        xml_bytes = z.getinfo(name).file_size
        with z.open(name) as f:
            head = f.read(4096).decode("utf-8", "replace")
    ref = re.search(r'<dimension ref="([A-Z]+\d+:)?([A-Z]+)(\d+)"', head)
    cols, rows = column_index_from_string(ref.group(2)), int(ref.group(3))
    return rows, cols, rows * cols, xml_bytes


def calc_open(workbook, work, timeout):
    """(seconds, peak MiB, finished) of Calc converting the workbook to CSV."""
    program = shutil.which("soffice") or shutil.which("libreoffice")
    out = Path(work) / "calc-out"
    out.mkdir(exist_ok=True)
    profile = Path(work) / "calc-profile"
    command = ["/usr/bin/time", "-v", program, f"-env:UserInstallation={profile.as_uri()}", "--headless",
               "--norestore", "--convert-to", "csv", "--outdir", str(out), str(workbook)]
    start = time.perf_counter()
    # Its own process group: on a timeout Calc and its helpers stop together.
    proc = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                            start_new_session=True)
    try:
        _, stderr = proc.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        os.killpg(proc.pid, signal.SIGKILL)
        proc.communicate()
        return time.perf_counter() - start, float("nan"), False
    seconds = time.perf_counter() - start
    peak = re.search(r"Maximum resident set size \(kbytes\): (\d+)", stderr)
    converted = out / (Path(workbook).stem + ".csv")
    ok = proc.returncode == 0 and converted.exists()
    converted.unlink(missing_ok=True)
    return seconds, int(peak.group(1)) / 1024 if peak else float("nan"), ok


def extract(datalog, settings, out_dir, split=None):
    command = [sys.executable, "-m", "quorvane", "extract", str(datalog), "--settings", str(settings),
               "--out-dir", str(out_dir), "--interval-columns", str(WIDTH)]
    if split:
        command += ["--split", split]
    start = time.perf_counter()
    proc = subprocess.run(command, capture_output=True, text=True)
    if proc.returncode != 0:
        raise SystemExit(proc.stderr)
    return time.perf_counter() - start, proc.stderr


def report(log, row):
    print(f"{row['what']:>24} {row['datalog_mb']:7.1f} MB  {row['rows']:>8} x {row['cols']:<4} "
          f"{row['cells'] / 1e6:8.2f} M cells  xml {row['xml_mb']:8.1f} MB  xlsx {row['xlsx_mb']:7.1f} MB  "
          f"open {row['open_s']:8.1f} s  peak {row['peak_mib']:8.0f} MiB  {'ok' if row['ok'] else 'NOT OPENED'}",
          flush=True)
    with open(log, "a") as f:
        f.write(json.dumps(row) + "\n")


def measure(what, datalog_mb, workbook, work, timeout, log):
    rows, cols, cells, xml_bytes = sheet_size(workbook)
    seconds, peak, ok = calc_open(workbook, work, timeout)
    report(log, dict(what=what, datalog_mb=datalog_mb, rows=rows, cols=cols, cells=cells, xml_mb=xml_bytes / 1e6,
                     xlsx_mb=os.path.getsize(workbook) / 1e6, open_s=seconds, peak_mib=peak, ok=ok))


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--mb", type=float, nargs="+", default=[2, 5, 12, 25, 50])
    ap.add_argument("--timeout", type=float, default=1800, help="seconds Calc gets per workbook")
    ap.add_argument("--split", choices=("datalog", "site", "item"), help="also open the parts of the last size")
    ap.add_argument("--skip-whole", action="store_true", help="with --split: do not open the whole workbook")
    ap.add_argument("--log", default="bench_calc_open.jsonl")
    args = ap.parse_args()
    with tempfile.TemporaryDirectory(prefix="bench-calc-") as work:
        settings = Path(work) / "settings.json"
        settings.write_text(json.dumps(SETTINGS))
        for k, mb in enumerate(args.mb):
            datalog = Path(work) / f"lot_{mb:g}mb.txt"
            generate_datalog(datalog, mb, sites=SITES)
            real_mb = datalog.stat().st_size / 1e6
            last = k == len(args.mb) - 1
            if not (last and args.split and args.skip_whole):
                out = Path(work) / f"whole_{mb:g}"
                extract(datalog, settings, out)
                (workbook,) = out.glob("*.xlsx")
                measure("whole", real_mb, workbook, work, args.timeout, args.log)
                shutil.rmtree(out)
            if last and args.split:
                out = Path(work) / "parts"
                seconds, said = extract(datalog, settings, out, args.split)
                print(f"extract --split {args.split}: {seconds:.1f} s; {said.strip()}", flush=True)
                for part in sorted(out.glob("*.xlsx")):
                    measure(part.name, real_mb, part, work, args.timeout, args.log)
            datalog.unlink()


if __name__ == "__main__":
    main()
