"""`quorvane report` on a lot of 10,000 plots: the page's size, the time to
write it, and the time until it is usable in Chromium (headless, the system
browser driven by Playwright).

    python bench/bench_report.py                        # 10 datalogs x 10 sites x 100 items, 11 x 11
    python bench/bench_report.py --sizes 11x11,21x41    # items alternate between the sizes

"Usable" is the page's own mark: the moment its script has read the data and
drawn the summary, the first page of the table and its plots
(``window.reportReady``, in ms since the navigation started, so it includes
reading and parsing the file), and two animation frames later, when that is
on screen (``window.reportPainted``). Then the times of a filter, a sort and a click
as the page answers them. Goals: under 30 MB, usable within 3 s.
"""
import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path


def quorvane(*args, cwd):
    started = time.perf_counter()
    subprocess.run([sys.executable, "-m", "quorvane", *map(str, args)], cwd=cwd, check=True,
                   stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    return time.perf_counter() - started


def browser_times(page_path, chromium):
    from playwright.sync_api import sync_playwright

    with sync_playwright() as driver:
        browser = driver.chromium.launch(executable_path=chromium)
        page = browser.new_page(viewport={"width": 1400, "height": 1000})
        errors = []
        page.on("pageerror", lambda error: errors.append(str(error)))
        page.on("console", lambda message: errors.append(message.text) if message.type == "error" else None)
        started = time.perf_counter()
        page.goto(page_path.as_uri())
        page.wait_for_function("document.body.dataset.ready === '1'", timeout=60_000)
        wall = time.perf_counter() - started
        page.wait_for_function("window.reportPainted !== undefined")
        ready_ms, painted_ms = page.evaluate("[window.reportReady, window.reportPainted]")

        def timed(action):
            # The page answers each event synchronously: the time around the dispatched event is its cost.
            return page.evaluate("""action => { const t = performance.now(); (new Function(action))();
                                               return performance.now() - t; }""", action)

        times = {
            "review filter": timed("const s = document.getElementById('review-filter'); s.value = 'yes';"
                                   "s.dispatchEvent(new Event('change'));"),
            "sort by Vmin": timed("document.querySelector('#plot-table th[data-key=vmin]').click();"),
            "text filter": timed("const f = document.getElementById('filter'); f.value = 'site 3';"
                                 "f.value = '2001'; f.dispatchEvent(new Event('input'));"),
            "click a row": timed("document.querySelector('#plot-table tbody tr').click();"),
        }
        counts = page.evaluate("({rows: document.querySelectorAll('#plot-table tbody tr').length,"
                               " svgs: document.querySelectorAll('svg').length})")
        heap = page.evaluate("performance.memory ? performance.memory.usedJSHeapSize / 2 ** 20 : null")
        browser.close()
    return ready_ms, painted_ms, wall, times, counts, heap, errors


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--datalogs", type=int, default=10)
    parser.add_argument("--sites", type=int, default=10)
    parser.add_argument("--items", type=int, default=100)
    parser.add_argument("--sizes", default=None, help="plot sizes, as `quorvane sample --sizes`")
    parser.add_argument("--chromium", default=shutil.which("chromium") or "/usr/bin/chromium")
    parser.add_argument("--keep", type=Path, default=None, help="copy the page here")
    args = parser.parse_args()

    with tempfile.TemporaryDirectory() as work:
        sample = ["sample", "--records", 10, "--datalogs", args.datalogs, "--sites", args.sites, "--items", args.items]
        if args.sizes:
            sample += ["--sizes", args.sizes]
        quorvane(*sample, cwd=work)
        logs = sorted(Path(work).glob("sample_datalog_*.txt"), key=lambda p: int(p.stem.rsplit("_", 1)[1]))
        plots = args.datalogs * args.sites * args.items
        print(f"lot: {len(logs)} datalogs, {plots} plots"
              f" ({sum(p.stat().st_size for p in logs) / 2 ** 20:.1f} MB of datalogs), sizes {args.sizes or '11x11'}")
        triage = quorvane("triage", *logs, "--out", "verdicts.csv", cwd=work)
        report = quorvane("report", *logs, "-o", "lot.html", cwd=work)
        page_path = Path(work) / "lot.html"
        size = page_path.stat().st_size
        print(f"quorvane report: {report:.1f} s (quorvane triage --out of the same lot: {triage:.1f} s)")
        print(f"page: {size / 2 ** 20:.2f} MB ({size / plots:.0f} bytes per plot)")
        ready_ms, painted_ms, wall, times, counts, heap, errors = browser_times(page_path, args.chromium)
        print(f"usable in Chromium after {ready_ms / 1000:.2f} s from navigation start, on screen after "
              f"{painted_ms / 1000:.2f} s ({wall:.2f} s from the driver's goto to the first mark)")
        for what, ms in times.items():
            print(f"  {what}: {ms:.0f} ms")
        print(f"  drawn: {counts['rows']} table rows, {counts['svgs']} SVGs; JS heap "
              + (f"{heap:.0f} MB" if heap is not None else "unknown"))
        if errors:
            print("page errors:", *errors, sep="\n  ")
        if args.keep is not None:
            shutil.copyfile(page_path, args.keep)


if __name__ == "__main__":
    main()
