"""Triage's verdicts on an independent lot: the scorecard and its goals.

Builds the lot of bench/independent_lot.py (the development lot, or another
seed nobody tuned on), runs the real `quorvane triage` on its four datalogs
with the bundled model (or --model) and prints the scorecard: per plot size
and per printing pass/fail, exact label, recall/precision per key, the same
label in every printing, exact among plots not flagged for review, the
flagged share, the calibration per key, the site agreement, and the goals.

    MPLBACKEND=Agg python bench/bench_verdicts.py [--model FILE] [--seed N] [--items N]
        [--detail] [--keep DIR]
"""

from __future__ import annotations

import argparse
import subprocess
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import independent_lot  # noqa: E402

from quorvane import models, scorecard  # noqa: E402


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--model", type=Path, default=None, help="model file (default: the bundled model)")
    parser.add_argument("--seed", type=int, default=independent_lot.DEVELOPMENT_SEED,
                        help="lot seed (default: %(default)s, the development lot; any other is unseen)")
    parser.add_argument("--items", type=int, default=independent_lot.MAIN_ITEMS,
                        help="items per main size, four sites each (default: %(default)s)")
    parser.add_argument("--detail", action="store_true", help="a row per size and printing")
    parser.add_argument("--keep", type=Path, default=None, metavar="DIR",
                        help="write the lot and the verdicts into DIR and keep them")
    args = parser.parse_args()
    model = args.model or models.bundled_model_path()
    if not model.is_file():
        print(f"bench_verdicts: error: no bundled model at {model} yet; give a model file with --model",
              file=sys.stderr)
        return 1
    with tempfile.TemporaryDirectory(prefix="bench-verdicts-") as tmp:
        work = args.keep or Path(tmp)
        started = time.perf_counter()
        lot = independent_lot.write_lot(work, args.seed, args.items)
        kind = "the development lot" if args.seed == independent_lot.DEVELOPMENT_SEED else "an unseen lot"
        print(f"lot: seed {args.seed} ({kind}), {lot.plots} plots in {len(lot.datalogs)} datalogs, "
              f"{time.perf_counter() - started:.0f} s")
        verdicts = work / "verdicts.csv"
        started = time.perf_counter()
        done = subprocess.run([sys.executable, "-m", "quorvane", "triage", str(model), *map(str, lot.datalogs),
                               "--settings", str(lot.settings), "--out", str(verdicts)],
                              capture_output=True, text=True)
        if done.returncode != 0:
            print(f"bench_verdicts: error: triage failed ({done.returncode}): {done.stderr.strip()}",
                  file=sys.stderr)
            return 1
        print(f"triage with {model}: {time.perf_counter() - started:.1f} s")
        scorecard.print_scorecard(verdicts, lot.truth, detail=args.detail)
        if args.keep:
            print(f"lot, truth and verdicts kept in {work}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
