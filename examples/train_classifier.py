"""Train the shmoo classifier on a generated shmoo CSV file and classify another.

    python examples/train_classifier.py [--records 3000] [--epochs 12] [--out DIR]

Both files are written into --out (a temporary directory by default): a
training file of labelled records of all six classes, and a file of further
records to classify. The live accuracy figure is saved there as
training_<stage>.png when no display is available.
"""

import argparse
import os
import random
import sys
import tempfile

import matplotlib
import torch
from torch import nn

from quorvane.Source import tavrine
from quorvane.symbols import LABEL_KEYS

SIZE = 11
# Each label names exactly one of Pass or Fail, plus any of the four defects.
LABELS = [
    "Pass", "Fail", "Pass-Vol", "Pass-Freq", "Pass-Vol-Freq", "Pass-Marginal", "Pass-Hole", "Pass-Vol-Hole",
    "Fail-Vol", "Fail-Freq", "Fail-Vol-Freq", "Fail-Marginal",
]
TEXTS = list(LABEL_KEYS)


def make_plot(label, rng, noise=0.0):
    """One 11 x 11 shmoo for `label`: rows run from high to low supply voltage,
    columns from low to high frequency; "P" passes and "." fails.

    The nominal point in the middle passes exactly for Pass labels. Vol cuts
    off the low-voltage rows, Freq the high-frequency columns, Marginal the
    low-voltage/high-frequency corner along a diagonal; a Hole is a small
    failing block surrounded by passing points."""
    parts = set(label.split("-"))
    passing = "Pass" in parts
    # A plain Fail fails everywhere; every other plot starts all passing and
    # loses what its defects cut away.
    ok = [[label != "Fail"] * SIZE for _ in range(SIZE)]

    def cut(low, high):  # far from the nominal point for a pass, across it for a fail
        return rng.randint(*low) if passing else rng.randint(*high)

    if "Vol" in parts:
        first = cut((7, 9), (2, 4))
        for r in range(first, SIZE):
            ok[r] = [False] * SIZE
    if "Freq" in parts:
        first = cut((7, 9), (2, 4))
        for row in ok:
            row[first:] = [False] * (SIZE - first)
    if "Marginal" in parts:
        edge = cut((14, 17), (4, 7))
        for r in range(SIZE):
            for c in range(SIZE):
                if r + c >= edge:
                    ok[r][c] = False
    if "Hole" in parts:
        size, r0, c0 = rng.randint(2, 3), rng.randint(1, 2), rng.randint(1, 6)
        for r in range(r0, r0 + size):
            for c in range(c0, c0 + size):
                ok[r][c] = False
    if noise:
        for row in ok:
            for c in range(SIZE):
                if rng.random() < noise:
                    row[c] = not row[c]
    return [["P" if v else "." for v in row] for row in ok]


def write_shmoo_csv(path, labels, rng, noise=0.0):
    """A shmoo CSV file: per record a label line, then the eleven plot rows."""
    with open(path, "w", newline="") as f:
        for label in labels:
            f.write(label + "," * (SIZE - 1) + "\n")
            for row in make_plot(label, rng, noise):
                f.write(",".join(row) + "\n")


def label_vector(label):
    parts = set(label.split("-"))
    return [1.0 if t in parts else 0.0 for t in TEXTS]


def headless():
    return matplotlib.get_backend().lower() in {"agg", "cairo", "pdf", "pgf", "ps", "svg", "template"}


def run(records=3000, epochs=12, stage=4, batch_size=64, lr=0.0014, seed=0, noise=0.05, out=None, show=10):
    """Generates the data, trains, classifies; returns the figures it printed."""
    out = out or tempfile.mkdtemp(prefix="shmoo_")
    rng = random.Random(seed)
    torch.manual_seed(seed)
    train_csv = os.path.join(out, "shmoo_train.csv")
    classify_csv = os.path.join(out, "shmoo_classify.csv")
    # Every class at least once, the rest drawn at random.
    write_shmoo_csv(train_csv, LABELS + [rng.choice(LABELS) for _ in range(records - len(LABELS))], rng, noise)
    classify_labels = [rng.choice(LABELS) for _ in range(200)]
    write_shmoo_csv(classify_csv, classify_labels, rng, noise)

    train_iter, test_iter = tavrine.load_custom_shm_data(batch_size, train_csv)
    net = tavrine.AlexNet()
    loss = nn.MultiLabelSoftMarginLoss()
    optimizer = torch.optim.Adam(net.parameters(), lr=lr)

    # The schedule is stepped between calls; each call opens its own figure.
    figures = []
    for done in range(0, epochs, stage):
        tavrine.adjust_learning_rate(optimizer, done, lr)
        tavrine.train_network(net, train_iter, test_iter, loss, min(stage, epochs - done), batch_size,
                              optimizer=optimizer)
        if headless():
            figures.append(os.path.join(out, f"training_{done // stage + 1}.png"))
            tavrine.plt.gcf().savefig(figures[-1])

    exact, pass_fail = tavrine.evaluate_accuracy(test_iter, net)
    print(f"held-out split: exact match {exact:.3f}, pass/fail {pass_fail:.3f}")

    # Classification of a file the network has never seen.
    dataset = tavrine.CsvDataset_Test(classify_csv)
    net.eval()
    with torch.no_grad():
        predicted = tavrine.reformat_output(net(dataset.X_train))
    net.train()
    texts = tavrine.get_custom_shm_labels(predicted, "Predicted")
    for (label,), text in list(zip(dataset.Y_train, texts))[:show]:
        print(f"{label:>15} -> {text}")
    truth = torch.tensor([label_vector(label) for (label,) in dataset.Y_train])
    classified_exact = (predicted == truth).all(1).float().mean().item()
    classified_pf = (predicted[:, :2] == truth[:, :2]).all(1).float().mean().item()
    print(f"classified {len(texts)} plots: exact match {classified_exact:.3f}, pass/fail {classified_pf:.3f}")
    if not headless():
        tavrine.plt.show()
    return {
        "exact": exact, "pass_fail": pass_fail, "classified_exact": classified_exact,
        "classified_pass_fail": classified_pf, "figures": figures, "out": out,
    }


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--records", type=int, default=3000)
    parser.add_argument("--epochs", type=int, default=12)
    parser.add_argument("--stage", type=int, default=4, help="epochs per train_network call")
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--noise", type=float, default=0.05, help="share of points flipped at random")
    parser.add_argument("--out", default=None, help="directory for the CSV files and figures")
    args = parser.parse_args(argv)
    result = run(args.records, args.epochs, args.stage, seed=args.seed, noise=args.noise, out=args.out)
    if result["figures"]:
        print("figures saved:", ", ".join(result["figures"]))
    return 0


if __name__ == "__main__":
    sys.exit(main())
