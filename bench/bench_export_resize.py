"""Which resizing keeps thin features when `quorvane export` maps datalog plots
of other sizes to the 11 x 11 records: minority-preserving blocks (the export's
method) against nearest sampling and rounded block means.

For each source size it draws plots with one thin feature at a random place:
- a one-point hole: one failing point inside an all-passing plot;
- a one-row pass band: one passing row in an all-failing plot;
- a one-column fail wall: the last column failing in an all-passing plot;
and counts how often the 11 x 11 result still shows the feature. It also gives
the mean absolute change of the pass fraction on the labelled sample classes
drawn at that size (how much a method distorts ordinary plots).

    .venv/bin/python bench/bench_export_resize.py [--plots N]
"""

import argparse
import random

import numpy as np

from quorvane import samples
from quorvane.labelling import SHAPE, resize

SIZES = [(11, 11), (7, 8), (15, 15), (21, 41), (41, 21), (31, 31)]
METHODS = ["minority", "nearest", "mean"]


def hole(rng, rows, cols):
    g = np.ones((rows, cols), np.int8)
    g[rng.randrange(1, rows - 1), rng.randrange(1, cols - 1)] = 0
    return g, lambda out: np.count_nonzero(out == 0) >= 1


def band(rng, rows, cols):
    g = np.zeros((rows, cols), np.int8)
    g[rng.randrange(rows)] = 1
    return g, lambda out: np.any(np.all(out == 1, axis=1))


def wall(rng, rows, cols):
    g = np.ones((rows, cols), np.int8)
    g[:, -1] = 0
    return g, lambda out: np.all(out[:, -1] == 0)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--plots", type=int, default=300)
    args = ap.parse_args()
    rng = random.Random(7)
    print(f"{'size':>7} {'method':>9} {'hole':>6} {'band':>6} {'wall':>6} {'|dpass|':>8}")
    for rows, cols in SIZES:
        labelled = [np.array(samples.plot_for_label(lbl, rng, rows, cols), np.int8)
                    for lbl, _ in samples.labelled_plots(args.plots, seed=rows * 100 + cols)]
        for method in METHODS:
            kept = {}
            for name, make in (("hole", hole), ("band", band), ("wall", wall)):
                ok = 0
                for _ in range(args.plots):
                    g, check = make(rng, rows, cols)
                    ok += bool(check(resize(g, SHAPE, method)))
                kept[name] = ok / args.plots
            change = np.mean([abs(resize(g, SHAPE, method).mean() - g.mean()) for g in labelled])
            print(f"{rows:>3}x{cols:<3} {method:>9} {kept['hole']:6.3f} {kept['band']:6.3f} "
                  f"{kept['wall']:6.3f} {change:8.4f}")


if __name__ == "__main__":
    main()
