"""Triage accuracy per plot size, and triage speed against extraction.

Accuracy: one model trained the way `quorvane demo` trains it (generated
11 x 11 shmoo CSV), then scored on unseen CSV records and on generated labelled
plots of the training size and three others, at least 300 each, presented to
the network in their own size and mapped to 11 x 11 by several resampling
modes. Exact match (all six positions) and pass/fail agreement per size.

Speed: `quorvane triage` of a 5 MB and a 50 MB four-site datalog on one thread
(time, peak memory of a child process) against `quorvane extract` of the same
datalog; and peak memory of triage over 1 and 4 datalogs of the same size.
Triage runs with the bundled model (--model picks another; without either, a
quickly trained one, said so); the goal is triage within 3x the extraction's
time on the 5 MB datalog.

    MPLBACKEND=Agg python bench/bench_triage.py [--plots N] [--epochs N] [--records N]
        [--skip-speed] [--skip-accuracy] [--big-mb 50] [--model FILE]
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

import torch

from quorvane import models, samples, training, triage

SIZES = samples.SAMPLE_SIZES


def agreement(pairs: list[tuple[str, str]]) -> tuple[float, float]:
    exact = sum(set(a.split("-")) == set(b.split("-")) for a, b in pairs)
    pf = sum(({"Pass", "Fail"} & set(a.split("-"))) == ({"Pass", "Fail"} & set(b.split("-"))) for a, b in pairs)
    return exact / len(pairs), pf / len(pairs)


def train(work: Path, records: int, epochs: int, seed: int):
    """The model `quorvane train` makes from the generated 11 x 11 shmoo CSV."""
    csv_path = samples.write_shmoo_csv(work / "train.csv", records, seed)
    with contextlib.redirect_stdout(io.StringIO()):
        net, info = training.run_train(csv_path, work / "model.pt", epochs, 32, 0.01, seed)
    return net, info


def csv_figures(net, work: Path, count: int, seed: int) -> tuple[float, float]:
    """The model on unseen CSV records, read by the kit's own test dataset."""
    from quorvane.Source import tavrine

    unseen = samples.write_shmoo_csv(work / "unseen.csv", count, seed)
    with contextlib.redirect_stdout(io.StringIO()):
        ds = tavrine.CsvDataset_Test(str(unseen))
    net.eval()
    with torch.no_grad():
        scores = net(ds.X_train).tolist()
    return agreement([(y[0], triage.label_from_scores(s)) for y, s in zip(ds.Y_train, scores)])


def datalog_figures(net, work: Path, per_size: int, seed: int) -> dict:
    """Per size and per fit: (plots, exact, pass/fail) of triage on a generated
    four-site datalog, plots read by quorvane.plots and compared with the truth."""
    from quorvane.Source import Corvantis
    from quorvane.plots import read_plots

    items = len(SIZES) * -(-per_size // 4)
    text, truth = samples.labelled_datalog(SIZES, items, 4, seed)
    log = work / "labelled.txt"
    log.write_text(text, encoding="utf-8")
    want = {(t.site, t.plot): t for t in truth}
    keywords = Corvantis.getKeyWordFromSettingFile(samples.settings())
    results = {}
    for fit in triage.FITS:
        pairs: dict[tuple[int, int], list[tuple[str, str]]] = {}
        for _, v in triage.classify_plots(net, read_plots(keywords, [str(log)]), fit=fit):
            t = want[(v.site, v.plot)]
            pairs.setdefault((t.rows, t.cols), []).append((t.label, v.label))
        for size, got in pairs.items():
            results[(size, fit)] = (len(got), *agreement(got))
    return results


def report(name: str, net, work: Path, args: argparse.Namespace) -> None:
    csv_exact, csv_pf = csv_figures(net, work, args.plots, args.seed + 7)
    print(f"{name}: CSV records ({args.plots}): exact {csv_exact:.3f}, pass/fail {csv_pf:.3f}")
    figures = datalog_figures(net, work, args.plots, args.seed + 11)
    print(f"  {'size':>7} {'plots':>6} " + " ".join(f"{fit + ' exact':>14} {'p/f':>6}" for fit in triage.FITS))
    for size in SIZES:
        cells = []
        for fit in triage.FITS:
            n, exact, pf = figures[(size, fit)]
            cells.append(f"{exact:14.3f} {pf:6.3f}")
        print(f"  {size[0]:>3}x{size[1]:<3} {n:>6} " + " ".join(cells), flush=True)
    print(f"  goals: pass/fail >= 0.99 at every size; exact within 0.03 of the CSV figure ({csv_exact:.3f})")


def accuracy(args: argparse.Namespace, work: Path) -> None:
    torch.set_num_threads(1)
    if not args.only_sizes_model:
        model_a(args, work)
    model_b(args, work)


def model_a(args: argparse.Namespace, work: Path) -> None:
    started = time.perf_counter()
    net, info = train(work, args.records, args.epochs, args.seed)
    print(f"model A: {args.records} generated 11 x 11 CSV records (quorvane train), {args.epochs} epochs, "
          f"{time.perf_counter() - started:.0f} s")
    report("model A", net, work, args)


def model_b(args: argparse.Namespace, work: Path) -> None:
    started = time.perf_counter()
    sizes = training.TRAINING_SIZES
    net, info = training.train_on_sizes(work / "model_sizes.pt", sizes, args.per_size, args.epochs, 32, 0.01,
                                        args.seed)
    print(f"model B: {args.per_size} generated plots of each of {', '.join(f'{r}x{c}' for r, c in sizes)}, "
          f"{args.epochs} epochs, {time.perf_counter() - started:.0f} s")
    report("model B", net, work, args)


# ---------------------------------------------------------------------------
# Speed


def _child(code: str) -> tuple[float, float, str]:
    """Runs ``code`` in a fresh interpreter; (seconds, peak MB, stdout)."""
    env = dict(os.environ, MPLBACKEND="Agg")
    # VmHWM is the child's own high-water mark (ru_maxrss would carry this
    # process's across exec).
    wrapper = (
        "import time\nstarted = time.perf_counter()\n" + code +
        "\npeak = [l for l in open('/proc/self/status') if l.startswith('VmHWM:')][0].split()[1]"
        "\nprint('@@', time.perf_counter() - started, peak)\n"
    )
    out = subprocess.run([sys.executable, "-c", wrapper], env=env, capture_output=True, text=True, check=True).stdout
    line = [ln for ln in out.splitlines() if ln.startswith("@@")][-1].split()
    return float(line[1]), float(line[2]) / 1024, out


def _datalog_of_size(path: Path, megabytes: float, seed: int) -> Path:
    # One item of each size per cycle, four sites: about 10 KB per item.
    probe, _ = samples.labelled_datalog(SIZES, 8, 4, seed)
    items = max(1, int(megabytes * 1e6 / (len(probe) / 8)))
    text, _ = samples.labelled_datalog(SIZES, items, 4, seed)
    path.write_text(text, encoding="utf-8")
    return path


def speed(args: argparse.Namespace, work: Path) -> None:
    try:
        import quorvane.plots  # noqa: F401
    except ImportError:
        print("speed: quorvane.plots is not available in this build; skipped")
        return
    model = args.model or models.bundled_model_path()
    if model.is_file():
        print(f"speed: triage with {model}")
    else:
        print(f"speed: no model at {model}; triage with a model trained here (300 records, 2 epochs)")
        model = work / "model.pt"
        if not model.exists():
            train(work, 300, 2, args.seed)
    samples.write_settings(work / samples.SETTINGS_FILE_NAME)
    settings = work / samples.SETTINGS_FILE_NAME
    for mb in dict.fromkeys(m for m in (5, args.big_mb) if m > 0):
        log = _datalog_of_size(work / f"log_{mb}mb.txt", mb, args.seed)
        size_mb = log.stat().st_size / 1e6
        ex_s, ex_mb, _ = _child(
            f"from quorvane import cli\ncli.main(['extract', {str(log)!r}, '--settings', {str(settings)!r}, "
            f"'--out-dir', {str(work / 'x')!r}])")
        tr_s, tr_mb, _ = _child(
            f"from quorvane import cli\ncli.main(['triage', {str(model)!r}, {str(log)!r}, '--settings', "
            f"{str(settings)!r}, '--out', {str(work / 'v.csv')!r}, '--threads', '1'])")
        print(f"{size_mb:5.1f} MB datalog: extract {ex_s:6.1f} s {ex_mb:6.0f} MB peak | triage {tr_s:6.1f} s "
              f"{tr_mb:6.0f} MB peak | ratio {tr_s / ex_s:4.2f}", flush=True)
        if mb == 5:
            print(f"  goal: triage within 3x the extraction's time on a 5 MB datalog: ratio {tr_s / ex_s:.2f}, "
                  f"{'met' if tr_s <= 3 * ex_s else 'missed'}", flush=True)
    # Memory against the number of datalogs: 1 and 4 datalogs of 5 MB each.
    logs = [str(_datalog_of_size(work / f"many_{k}.txt", 5, args.seed + k)) for k in range(4)]
    for n in (1, 4):
        s, peak, _ = _child(
            f"from quorvane import cli\ncli.main(['triage', {str(model)!r}, *{logs[:n]!r}, '--settings', "
            f"{str(settings)!r}, '--out', {str(work / 'v.csv')!r}])")
        print(f"triage of {n} x 5 MB datalogs: {s:6.1f} s, {peak:6.0f} MB peak", flush=True)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--plots", type=int, default=400)
    parser.add_argument("--records", type=int, default=600)
    parser.add_argument("--per-size", type=int, default=300)
    parser.add_argument("--epochs", type=int, default=20)
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--big-mb", type=float, default=50, help="the larger datalog (0: only the 5 MB one)")
    parser.add_argument("--model", type=Path, default=None,
                        help="model for the speed runs (default: the bundled model)")
    parser.add_argument("--skip-speed", action="store_true")
    parser.add_argument("--skip-accuracy", action="store_true")
    parser.add_argument("--only-sizes-model", action="store_true", help="skip the 11 x 11 CSV model")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory(prefix="bench-triage-") as tmp:
        work = Path(tmp)
        if not args.skip_accuracy:
            accuracy(args, work)
        if not args.skip_speed:
            speed(args, work)


if __name__ == "__main__":
    main()
