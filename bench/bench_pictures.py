"""Pictures at lot scale: the composite maps and the Vmin overlay pages.

Two generated four-site datalogs of 100 items each (sizes 11 x 11, 7 x 11,
21 x 41 and 15 x 9, axis heading with units) give 100 composite maps of 8 plots
and 100 Vmin panels of 8 curves; ``composite.save_composite_png`` and
``margins.save_overlay`` draw them (24 to a page, 5 pages each). Each is timed
twice and the better time kept (the machine is shared). Goal: 100 maps in
under 5 s, the Vmin pages likewise.

    .venv/bin/python bench/bench_pictures.py                  # this tree
    .venv/bin/python bench/bench_pictures.py --against REV    # and the pictures of git revision REV beside it
    .venv/bin/python bench/bench_pictures.py --keep DIR       # leave the pictures in DIR to look at

With ``--against`` the revision's src/ is exported (``git archive``) into a
temporary folder, given this tree's built modules, and timed in a child
process on the same datalogs.
"""

import argparse
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent


def lot(folder, items, sites):
    from quorvane import samples

    logs = []
    for k in range(2):
        text, _ = samples.labelled_datalog(items=items, sites=sites, seed=k, lot=f"QV24A11{k}")
        path = Path(folder) / f"lot_{k + 1}.txt"
        path.write_text(text, encoding="utf-8")
        logs.append(str(path))
    return logs


def best_of_two(fn):
    """(best wall seconds, best CPU seconds of this process, result): on a
    shared machine the CPU time is the steadier figure."""
    times, cpu = [], []
    for _ in range(2):
        start, start_cpu = time.perf_counter(), time.process_time()
        result = fn()
        times.append(time.perf_counter() - start)
        cpu.append(time.process_time() - start_cpu)
    return min(times), min(cpu), result


def measure(logs, out):
    """Seconds of the composite pages and of the Vmin pages of `logs`, in the
    quorvane imported from sys.path."""
    os.environ.setdefault("MPLBACKEND", "Agg")
    from quorvane import composite, margins, samples
    from quorvane.plots import read_plots
    from quorvane.Source import Corvantis

    table = Corvantis.getKeyWordFromSettingFile(samples.settings())
    plots = list(read_plots(table, logs))
    maps = composite.composite_maps(plots)
    kept = [(plot, margins.analyse(plot)) for plot in plots]
    out = Path(out)
    out.mkdir(parents=True, exist_ok=True)
    composite.save_composite_png(out / "warm.png", maps[:1])  # pyplot's import and fonts outside the timing
    t_maps, cpu_maps, pages_maps = best_of_two(lambda: composite.save_composite_png(out / "composite.png", maps))
    t_vmin, cpu_vmin, pages_vmin = best_of_two(lambda: margins.save_overlay(out / "vmin.png", kept))
    return {"plots": len(plots), "maps": len(maps), "composite_s": t_maps, "composite_cpu_s": cpu_maps,
            "composite_pages": len(pages_maps), "vmin_s": t_vmin, "vmin_cpu_s": cpu_vmin,
            "vmin_pages": len(pages_vmin)}


def against(rev, logs, out):
    """The same measurement on git revision `rev`, in a child process."""
    with tempfile.TemporaryDirectory() as tree:
        archive = subprocess.run(["git", "-C", str(ROOT), "archive", rev, "src"], check=True,
                                 capture_output=True).stdout
        subprocess.run(["tar", "-x", "-C", tree], input=archive, check=True)
        for built in (ROOT / "src/quorvane/Source").glob("*.so"):
            shutil.copy2(built, Path(tree) / "src/quorvane/Source" / built.name)
        code = (f"import json, sys; sys.path.insert(0, {str(Path(tree) / 'src')!r}); "
                f"sys.path.insert(0, {str(ROOT / 'bench')!r}); import bench_pictures as b; "
                f"print(json.dumps(b.measure({logs!r}, {str(out)!r})))")
        done = subprocess.run([sys.executable, "-c", code], check=True, capture_output=True, text=True)
        return json.loads(done.stdout.strip().splitlines()[-1])


def report(name, r):
    cpu = lambda key: f" (CPU {r[key]:.2f} s)" if key in r else ""  # noqa: E731  (older trees lack it)
    print(f"{name:>10}: {r['maps']} composite maps in {r['composite_pages']} pages {r['composite_s']:6.2f} s"
          f"{cpu('composite_cpu_s')}, {r['maps']} Vmin panels in {r['vmin_pages']} pages {r['vmin_s']:6.2f} s"
          f"{cpu('vmin_cpu_s')} ({r['plots']} plots)")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--items", type=int, default=100)
    ap.add_argument("--sites", type=int, default=4)
    ap.add_argument("--against", metavar="REV", help="also time the pictures of this git revision")
    ap.add_argument("--keep", metavar="DIR", help="write the pictures here and leave them")
    args = ap.parse_args()
    with tempfile.TemporaryDirectory() as tmp:
        logs = lot(tmp, args.items, args.sites)
        out = Path(args.keep or tmp)
        if args.against:
            report(f"{args.against[:10]}", against(args.against, logs, out / "before"))
        report("this tree", measure(logs, out / "after"))


if __name__ == "__main__":
    main()
