"""The ``quorvane`` command line: extract, train, classify, sample, demo.

This module is the thin layer only: the argument parser, `main` and one small
``_cmd_*`` function per command. The jobs themselves live in their own modules
(settings, extraction, models, training, classification, figures, demo).

Every expected failure (missing or malformed input, bad settings, an unusable
model file) ends with one line on standard error and exit status 1; argument
mistakes end with argparse's usage message and status 2. Heavy libraries are
imported only by the subcommands that need them, so ``--help`` and ``sample``
stay quick.
"""

from __future__ import annotations

import argparse
import sys
from pathlib import Path
from typing import Sequence

from . import __version__, samples
from .classification import agreement, print_table, run_classify
from .demo import run_demo
from .errors import PROG, CliError, non_negative_int, os_reason, positive_float, positive_int, say
from .extraction import run_extract
from .figures import save_class_picture
from .training import run_train


def _set_threads(count: int) -> None:
    import torch

    # The network works on 11 x 11 plots: thread hand-offs cost more than they
    # save, and on a busy machine extra threads mostly wait for each other.
    torch.set_num_threads(count)


def _cmd_extract(args: argparse.Namespace) -> int:
    workbook = run_extract(args.datalogs, args.settings, args.sites, args.interval_columns, args.out_dir)
    say(f"workbook: {workbook}")
    return 0


def _cmd_train(args: argparse.Namespace) -> int:
    _set_threads(args.threads)
    _, info = run_train(args.csv, args.out, args.epochs, args.batch_size, args.lr, args.seed, args.figure)
    if info["epochs"]:
        say(
            f"test accuracy {info['test_accuracy']:.3f}, pass/fail {info['test_accuracy_pass_fail']:.3f} "
            f"after {info['epochs']} epochs ({info['seconds']:.1f} s)"
        )
    else:
        say("no epochs run: the model holds its initial weights")
    say(f"model: {args.out}")
    say(f"figure: {info['figure']}")
    return 0


def _cmd_classify(args: argparse.Namespace) -> int:
    _set_threads(args.threads)
    results = run_classify(args.model, args.csv, args.out, args.grid, args.grid_limit)
    if args.out is None:
        print_table(results)
    summary = agreement(results)
    if summary:
        say(summary)
    if args.out is not None:
        say(f"predictions: {args.out}")
    if args.grid is not None:
        say(f"grid: {args.grid}")
    return 0


def _cmd_sample(args: argparse.Namespace) -> int:
    files = samples.write_samples(args.out_dir, args.records, args.sites, args.items, args.datalogs, args.seed)
    for log in files.datalogs:
        say(f"datalog: {log}")
    say(f"settings: {files.settings}")
    say(f"shmoo CSV: {files.shmoo_csv} ({args.records} records)")
    if args.picture is not None:
        save_class_picture(args.picture, args.seed)
        say(f"picture: {args.picture}")
    return 0


def _cmd_demo(args: argparse.Namespace) -> int:
    _set_threads(args.threads)
    run_demo(args.out_dir, args.epochs, args.records, args.classify_records, args.sites, args.seed)
    return 0


# ---------------------------------------------------------------------------
# Parser and entry point


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG,
        description="Shmoo-plot kit: extract plots from tester datalogs, train and run the shmoo classifier.",
    )
    parser.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    sub = parser.add_subparsers(dest="command", metavar="COMMAND")
    sub.required = True

    p = sub.add_parser("extract", help="datalogs in, shmoo workbook out", description=(
        "Write every shmoo plot of the selected sites of the datalogs into one new .xlsx workbook "
        "and print its path."))
    p.add_argument("datalogs", nargs="+", type=Path, metavar="DATALOG", help="tester datalog (UTF-8 text)")
    p.add_argument("--settings", type=Path, default=Path(samples.SETTINGS_FILE_NAME),
                   help="keyword settings JSON (default: %(default)s in the working directory)")
    p.add_argument("--sites", action="append", metavar="SITES",
                   help="sites of one datalog, e.g. 0,2; repeat per datalog in order, or separate datalogs "
                        "with ';'. Omitted or empty: every site announced in that datalog")
    p.add_argument("--interval-columns", type=positive_int, default=None, metavar="N",
                   help="width of each site block in columns; refused when a plot row is wider "
                        "(default: as wide as the widest plot row, at least 20)")
    p.add_argument("--out-dir", type=Path, default=None, metavar="DIR",
                   help="directory for the workbook (default: the working directory)")
    p.set_defaults(func=_cmd_extract)

    p = sub.add_parser("train", help="shmoo CSV in, trained model out", description=(
        "Train the AlexNet shmoo classifier on a labelled shmoo CSV. 100 samples are held out "
        "for testing; the file needs more records than that."))
    p.add_argument("csv", type=Path, metavar="CSV", help="labelled shmoo CSV")
    p.add_argument("-o", "--out", type=Path, default=Path("shmoo_model.pt"), metavar="MODEL",
                   help="model file to write (default: %(default)s)")
    p.add_argument("--epochs", type=non_negative_int, default=20, help="default: %(default)s")
    p.add_argument("--batch-size", type=positive_int, default=32, help="default: %(default)s")
    p.add_argument("--lr", type=positive_float, default=0.01, help="Adam learning rate (default: %(default)s)")
    p.add_argument("--seed", type=int, default=0, help="seed of the split, shuffling and weights (default: 0)")
    p.add_argument("--figure", type=Path, default=None, metavar="PNG",
                   help="accuracy figure (default: MODEL's name with _accuracy.png)")
    p.add_argument("--threads", type=positive_int, default=1, metavar="N",
                   help="CPU threads for the tensor library (default: %(default)s; the network is small)")
    p.set_defaults(func=_cmd_train)

    p = sub.add_parser("classify", help="model and shmoo CSV in, label texts out", description=(
        "Predict the label of every record of a shmoo CSV with a model written by 'train'."))
    p.add_argument("model", type=Path, metavar="MODEL", help="model file written by 'train'")
    p.add_argument("csv", type=Path, metavar="CSV", help="shmoo CSV (label lines may hold any text)")
    p.add_argument("--out", type=Path, default=None, metavar="CSV_OUT",
                   help="write record,label_in_file,predicted rows here instead of the table on stdout")
    p.add_argument("--grid", type=Path, default=None, metavar="PNG", help="save a grid of the plots with predictions")
    p.add_argument("--grid-limit", type=positive_int, default=30, metavar="N",
                   help="plots in the grid at most (default: %(default)s)")
    p.add_argument("--threads", type=positive_int, default=1, metavar="N",
                   help="CPU threads for the tensor library (default: %(default)s; the network is small)")
    p.set_defaults(func=_cmd_classify)

    p = sub.add_parser("sample", help="write sample datalog, settings and shmoo CSV", description=(
        "Write reproducible sample data: multi-site datalog(s) with shmoo plots, the matching "
        "SHM_keywords_setting.json and a labelled shmoo CSV of the six classes."))
    p.add_argument("--out-dir", "--out", type=Path, default=Path("."), metavar="DIR",
                   help="default: the working directory")
    p.add_argument("--records", type=positive_int, default=600, help="shmoo CSV records (default: %(default)s)")
    p.add_argument("--sites", type=positive_int, default=4, help="sites per datalog (default: %(default)s)")
    p.add_argument("--items", type=non_negative_int, default=3, help="shmoo test items per datalog (default: %(default)s)")
    p.add_argument("--datalogs", type=positive_int, default=1, help="number of datalogs (default: %(default)s)")
    p.add_argument("--seed", type=int, default=0, help="default: %(default)s")
    p.add_argument("--picture", type=Path, default=None, metavar="PNG",
                   help="also save a picture of one generated plot per class")
    p.set_defaults(func=_cmd_sample)

    p = sub.add_parser("demo", help="samples, workbook, training and classification in one go", description=(
        "Generate sample data in a folder, extract the workbook, train briefly, classify unseen "
        "plots and print where each output went."))
    p.add_argument("--out-dir", "--out", type=Path, default=Path("quorvane-demo"), metavar="DIR",
                   help="default: %(default)s")
    p.add_argument("--epochs", type=non_negative_int, default=20, help="default: %(default)s")
    p.add_argument("--records", type=positive_int, default=600, help="training records, more than 100 (default: %(default)s)")
    p.add_argument("--classify-records", type=positive_int, default=24, help="default: %(default)s")
    p.add_argument("--sites", type=positive_int, default=4, help="default: %(default)s")
    p.add_argument("--seed", type=int, default=0, help="default: %(default)s")
    p.add_argument("--threads", type=positive_int, default=1, metavar="N",
                   help="CPU threads for the tensor library (default: %(default)s; the network is small)")
    p.set_defaults(func=_cmd_demo)
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    try:
        return int(args.func(args))
    except CliError as exc:
        print(f"{PROG} {args.command}: error: {exc}", file=sys.stderr)
        return 1
    except OSError as exc:
        # File-system failures not anticipated above (full disk, permissions).
        where = f" {exc.filename}" if exc.filename else ""
        print(f"{PROG} {args.command}: error:{where} {os_reason(exc)}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print(f"{PROG} {args.command}: interrupted", file=sys.stderr)
        return 130


if __name__ == "__main__":  # pragma: no cover
    raise SystemExit(main())
