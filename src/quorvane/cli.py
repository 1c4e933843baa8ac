"""The ``quorvane`` command line: check, extract, margins, plot, train, classify, triage, report, collect, query,
export, sample, demo.

This module is the thin layer only: the argument parser, `main` and one small
``_cmd_*`` function per command. The jobs themselves live in their own modules
(settings, extraction, models, training, classification, labelling, figures,
demo).

Every expected failure (missing or malformed input, bad settings, an unusable
model file) ends with one line on standard error and exit status 1; argument
mistakes end with argparse's usage message and status 2. Heavy libraries are
imported only by the subcommands that need them, so ``--help`` and ``sample``
stay quick.
"""

from __future__ import annotations

import argparse
import contextlib
import os
import signal
import sys
from pathlib import Path
from typing import Any, Callable, Iterator, Sequence

from . import __version__, samples
from .classification import agreement, print_table, run_classify
from .demo import run_demo
from .errors import (
    Terminated,
    raise_terminated,
    recheck_termination,
    PROG,
    CliError,
    check_output_file,
    int_between,
    non_negative_int,
    os_reason,
    positive_float,
    positive_int,
    say,
    set_verbose,
    warn,
)
from .extraction import SPLITS, WORKERS_FROM_BYTES, run_extract, visible
from .figures import MAX_GRID_PLOTS, image_path, save_class_picture
from .outputs import STDOUT, refuse_inputs_as_outputs, written_together
from .shmoo_csv import MAX_WIDTH
from .symbols import LABEL_KEYS, is_label_text
from .training import run_train


def _set_threads(count: int) -> None:
    import torch

    # The network works on 11 x 11 plots: thread hand-offs cost more than they
    # save, and on a busy machine extra threads mostly wait for each other.
    torch.set_num_threads(count)


def _cmd_extract(args: argparse.Namespace) -> int:
    if args.composite_png is not None:
        from .margins import check_figure_path

        check_figure_path(args.composite_png, "--composite-png")
        refuse_inputs_as_outputs([("datalog", p) for p in args.datalogs] + [("settings file", args.settings)],
                                 [("--composite-png", args.composite_png)])
    if args.split is not None:
        if args.composite:
            args.usage_error("--composite adds a worksheet to the one workbook; with --split use --composite-png")
        from .extraction import extract_split

        for workbook in extract_split(args.datalogs, args.settings, args.sites, args.interval_columns,
                                      args.out_dir, args.split, args.jobs):
            say(f"workbook: {workbook}")
        if args.composite_png is not None:
            from .composite import run_composite

            for picture in run_composite(args.datalogs, args.settings, args.sites, None, args.composite_png)[1]:
                say(f"composite picture: {picture}")
        return 0
    workbook = run_extract(args.datalogs, args.settings, args.sites, args.interval_columns, args.out_dir,
                           jobs=args.jobs)
    # The workbook is announced first: it stands even if the composite step fails.
    say(f"workbook: {workbook}")
    if args.composite or args.composite_png is not None:
        from .composite import run_composite

        _, pictures = run_composite(args.datalogs, args.settings, args.sites,
                                    workbook if args.composite else None, args.composite_png)
        if args.composite:
            say(f"composite worksheet: added to {workbook.name}")
        for picture in pictures:
            say(f"composite picture: {picture}")
    return 0


def _reporter(table_on_stdout: bool) -> Callable[[str], None]:
    """Where the run's own lines go: standard error while a table fills
    standard output, so that the table stays clean."""
    return (lambda line: print(line, file=sys.stderr, flush=True)) if table_on_stdout else say


def _cmd_margins(args: argparse.Namespace) -> int:
    from .margins import run_margins

    run = run_margins(args.datalogs, args.settings, args.sites, args.out, args.summary, args.plot, args.fmax,
                      args.items, args.at_x, args.at_y, args.lot_table)
    report = _reporter(run.to_stdout)
    report(f"plots: {run.plots}")
    for name, path in (("margins", run.out), ("summary", run.summary), ("fmax", run.fmax), ("items", run.items)):
        if path is not None and path != STDOUT:
            report(f"{name}: {path}")
    for figure in run.figures:
        report(f"plot: {figure}")
    if run.lot_table is not None:
        report(run.lot_table)
    return 0


def _cmd_plot(args: argparse.Namespace) -> int:
    from .models import model_or_bundled
    from .plotting import run_plot

    if args.all and args.plot is not None:
        args.usage_error("--plot N picks one plot, --all draws every plot of the selection; give one")
    model = model_or_bundled(None) if args.model is _BUNDLED else args.model
    if model is not None:
        _set_threads(1)
    written, selected = run_plot(args.datalogs, args.settings, args.sites, args.item, args.out, args.plot,
                                 args.all, model)
    if not args.all and args.plot is None and selected > 1:
        say(f"{selected} plots match; drew the first (--plot N draws another, --all draws every one)")
    for picture in written:
        say(f"picture: {picture}")
    return 0


def _cmd_check(args: argparse.Namespace) -> int:
    from .checking import check_lines

    check_lines(args.datalogs, args.settings, args.sites, say)
    return 0


def _seconds(seconds: float) -> str:
    return f"{seconds:.0f} s" if seconds < 120 else f"{seconds / 60:.1f} min"


def _cmd_train(args: argparse.Namespace) -> int:
    sources = [given for given in (args.csv, args.recipe, args.plots) if given is not None]
    if len(sources) != 1:
        args.usage_error("give one of: a shmoo CSV, --recipe NAME or --plots LABELS")
    if args.recipe is not None:
        # The recipe fixes its own settings (and threads): its seeds give the same weights.
        given = [option for option, value in (("--epochs", args.epochs), ("--batch-size", args.batch_size),
                                              ("--lr", args.lr), ("--seed", args.seed), ("--figure", args.figure))
                 if value is not None]
        if given:
            args.usage_error(f"--recipe trains by the recipe's own settings; leave out {', '.join(given)}")
        from .training import run_train_recipe

        info = run_train_recipe(args.recipe, args.out)
        say(f"model: {args.out} (recipe {args.recipe}, {info['train_samples']} plots, trained in "
            f"{_seconds(info['seconds'])})")
        return 0
    epochs = 20 if args.epochs is None else args.epochs
    batch_size = 32 if args.batch_size is None else args.batch_size
    lr = 0.01 if args.lr is None else args.lr
    seed = 0 if args.seed is None else args.seed
    _set_threads(args.threads)
    if args.plots is not None:
        if args.figure is not None:
            args.usage_error("--figure shows the test accuracy of training on a shmoo CSV; leave it out with --plots")
        from .training import run_train_on_plots

        info = run_train_on_plots(args.plots, args.settings, args.out, epochs, batch_size, lr, seed)
        say(f"trained on {info['train_samples']} plots of {len(info['trained_sizes'])} size(s), {epochs} epoch(s) "
            f"({_seconds(info['seconds'])})")
        say(f"model: {args.out}")
        return 0
    _, info = run_train(args.csv, args.out, epochs, batch_size, lr, seed, args.figure)
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


# `export --model` without a file name: the bundled model.
_BUNDLED = object()


def _model_first(args: argparse.Namespace, files: Sequence[Path], what: str) -> tuple[Path, list[Path]]:
    """The model and the input files of a command whose model file may still
    come first, as in earlier versions (`triage MODEL DATALOG...`): a first
    file that reads as a model file is the model; otherwise --model, else the
    bundled model."""
    from .models import model_or_bundled, reads_as_model_file

    first, *rest = files
    if not reads_as_model_file(first):
        return model_or_bundled(args.model), list(files)
    if args.model is not None:
        raise CliError(f"two models given, {first} and --model {args.model}; give one")
    if not rest:
        args.usage_error(f"the model file {first} needs {what} after it")
    return first, rest


def _cmd_classify(args: argparse.Namespace) -> int:
    if len(args.csv) > 1:
        args.usage_error(f"give one shmoo CSV, after an optional model file; got {len(args.csv) + 1} files")
    if args.csv:  # `classify MODEL CSV`, the earlier form
        if args.model is not None:
            raise CliError(f"two models given, {args.first} and --model {args.model}; give one")
        model, csv_path = args.first, args.csv[0]
    else:
        model, [csv_path] = _model_first(args, [args.first], "a shmoo CSV")
    _set_threads(args.threads)
    grid = image_path(args.grid, "grid") if args.grid is not None else None
    results = run_classify(model, csv_path, args.out, grid, args.grid_limit)
    if args.out is None:
        print_table(results)
    report = _reporter(args.out == STDOUT)
    summary = agreement(results)
    if summary:
        report(summary)
    if args.out is not None and args.out != STDOUT:
        report(f"predictions: {args.out}")
    if grid is not None:
        report(f"grid: {grid}")
    return 0


def _cmd_export(args: argparse.Namespace) -> int:
    from .labelling import PLACEHOLDER, run_export
    from .models import model_or_bundled

    if args.shmoo_csv == STDOUT:
        raise CliError("--shmoo-csv -: the shmoo CSV is written together with its provenance file beside it; "
                       "give a file name")
    model = model_or_bundled(None) if args.model is _BUNDLED else args.model
    if model is not None:
        _set_threads(args.threads)
    count, side, skipped = run_export(args.datalogs, args.settings, args.sites, args.shmoo_csv, model,
                                      force=args.force)
    for plot, reason in skipped:
        warn("export", f"{visible(plot.datalog)} site {plot.site} plot {plot.plot} (line {plot.line}): {reason}; "
                       "left out")
    say(f"shmoo CSV: {args.shmoo_csv} ({count} records)")
    say(f"provenance: {side}")
    if args.model is None and count:
        say(f"next: replace each {PLACEHOLDER} label line with the plot's label (e.g. Pass-Vol), then run "
            f"'{PROG} train {args.shmoo_csv}'")
    return 0


def _sizes(text: str) -> tuple[tuple[int, int], ...]:
    try:
        return samples.parse_sizes(text)
    except ValueError as exc:
        raise argparse.ArgumentTypeError(str(exc)) from None


def _cmd_sample(args: argparse.Namespace) -> int:
    picture = image_path(args.picture, "picture") if args.picture is not None else None
    if not args.force:
        names = samples.sample_names(args.out_dir, args.datalogs)
        for path in (*names.datalogs, names.settings, names.shmoo_csv, *([picture] if picture else [])):
            if os.path.lexists(path):
                raise CliError(f"{path} exists; pass --force to replace it")
    elif picture is not None:
        check_output_file(picture, "picture")
    try:
        # All files appear together once complete: a full disk leaves none
        # half-written under a name the next run would refuse to replace.
        with written_together() as outputs:
            files = samples.write_samples(args.out_dir, args.records, args.sites, args.items, args.datalogs,
                                          args.seed, sizes=args.sizes, force=args.force, outputs=outputs)
            if picture is not None:
                save_class_picture(picture, args.seed, outputs)
    except FileExistsError as exc:
        raise CliError(f"{exc.filename} exists; pass --force to replace it") from None
    for log in files.datalogs:
        say(f"datalog: {log}")
    if files.truth is not None:
        say(f"ground truth: {files.truth}")
    say(f"settings: {files.settings}")
    say(f"shmoo CSV: {files.shmoo_csv} ({args.records} records)")
    if picture is not None:
        say(f"picture: {picture}")
    return 0


def _label_filter(text: str) -> str:
    from .triage import UNKNOWN

    if text != UNKNOWN and not is_label_text(text):
        raise argparse.ArgumentTypeError(
            f"{text!r} is not a label: give keys of {', '.join(LABEL_KEYS)} joined by '-', or '{UNKNOWN}'")
    return text


def _cmd_triage(args: argparse.Namespace) -> int:
    from .triage import run_triage

    model, datalogs = _model_first(args, [args.first, *args.datalogs], "the datalog(s)")
    if args.out_dir is not None and not args.workbook:
        args.usage_error("--out-dir is where --workbook writes the workbook; give --workbook too")
    _set_threads(args.threads)
    summary, book = run_triage(model, datalogs, args.settings, args.sites, args.out, args.grid,
                               args.label, args.grid_limit, args.workbook, args.interval_columns,
                               out_dir=args.out_dir, list_all=args.all, lot_table=args.lot_table)
    report = _reporter(args.out == STDOUT)
    for line in summary.lines():
        report(line)
    if args.out is not None and args.out != STDOUT:
        report(f"verdicts: {args.out}")
    if summary.unmatched_label is not None:
        report(f"grid: no plot's label holds {summary.unmatched_label}; no picture written")
    elif args.grid is not None:
        report(f"grid: {args.grid}")
    if book is not None:
        report(f"workbook: {book}")
    if summary.lot_table is not None:
        report(summary.lot_table)
    return 0


# The lot table: collect appends to it, query reads it.
_LOT_TABLE_HELP = ("append one row per plot to the Parquet lot table in DIR (partitioned by lot; "
                   "needs pip install \"quorvane[lot]\")")


def _cmd_collect(args: argparse.Namespace) -> int:
    from .lot_table import run_collect
    from .models import model_or_bundled

    _set_threads(args.threads)
    table = run_collect(args.datalogs, args.settings, args.sites, args.to, model_or_bundled(args.model),
                        args.at_x, args.at_y)
    say(table.said())
    return 0


def _cmd_query(args: argparse.Namespace) -> int:
    from .lot_table import run_query

    rows = run_query(args.sql, args.lot_table, args.out, args.csv)
    if args.out is not None:
        say(f"{rows} row(s): {args.out}")
    return 0


def _cmd_demo(args: argparse.Namespace) -> int:
    _set_threads(args.threads)
    run_demo(args.out_dir, args.epochs, args.records, args.classify_records, args.sites, args.seed)
    return 0


def _cmd_report(args: argparse.Namespace) -> int:
    from .models import model_or_bundled
    from .report import run_report

    _set_threads(1)
    run = run_report(args.datalogs, args.settings, args.sites, args.out, model_or_bundled(args.model),
                     args.at_x, args.at_y)
    say(f"{run.plots} plot(s), {run.review} for review")
    say(f"report: {run.out}")
    return 0


# ---------------------------------------------------------------------------
# Parser and entry point


def _add_datalog_inputs(p: argparse.ArgumentParser, model_first: bool = False) -> None:
    """The datalogs, settings file and site lists every datalog command takes;
    with `model_first`, a model file may come before the datalogs."""
    if model_first:
        p.add_argument("first", type=Path, metavar="[MODEL] DATALOG",
                       help="a model file written by 'train' (default: the bundled model, or --model), then the "
                            "tester datalogs (text, plain or gzip-, bzip2- or xz-compressed); a first file that "
                            "is a model file is taken as the model")
        p.add_argument("datalogs", nargs="*", type=Path, metavar="DATALOG", help=argparse.SUPPRESS)
    else:
        p.add_argument("datalogs", nargs="+", type=Path, metavar="DATALOG",
                       help="tester datalog: text, plain or gzip-, bzip2- or xz-compressed")
    p.add_argument("--settings", type=Path, default=Path(samples.SETTINGS_FILE_NAME),
                   help="keyword settings JSON (default: %(default)s in the working directory)")
    p.add_argument("--sites", action="append", metavar="SITES",
                   help="sites of one datalog, e.g. 0,2; repeat per datalog in order, or separate datalogs "
                        "with ';'. Omitted or empty: every site announced in that datalog, as it prints them")
    p.add_argument("--encoding", default=None, metavar="NAME",
                   help="read the datalogs with this codec, e.g. latin-1 (default: UTF-8; a datalog that is not "
                        "UTF-8 is read as Windows-1252, with a warning)")


def _add_scoring_options(p: argparse.ArgumentParser) -> None:
    """The model and the reference point of the commands that score plots and give their Vmin and Fmax."""
    p.add_argument("--model", type=Path, default=None, metavar="MODEL",
                   help="model file written by 'train' (default: the bundled model)")
    p.add_argument("--at-x", type=positive_float, default=None, metavar="VALUE",
                   help="give each plot's Vmin at this column value (frequency or period, in the axis's unit; "
                        "the nearest swept column at or beyond it) rather than its lowest Vmin")
    p.add_argument("--at-y", type=positive_float, default=None, metavar="VALUE",
                   help="give each plot's Fmax at this row value (voltage, in the axis's unit; the nearest swept "
                        "row at or below it) rather than its highest Fmax")


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG,
        description="Shmoo-plot kit: extract plots from tester datalogs, train and run the shmoo classifier.",
    )
    parser.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    sub = parser.add_subparsers(dest="command", metavar="COMMAND")
    sub.required = True
    common = argparse.ArgumentParser(add_help=False)
    common.add_argument("-v", "--verbose", action="store_true",
                        help="also show what the extraction and classifier modules print (on standard error)")

    p = sub.add_parser("extract", parents=[common], help="datalogs in, shmoo workbook out", description=(
        "Write every shmoo plot of the selected sites of the datalogs into one new .xlsx workbook "
        "and print its path."))
    _add_datalog_inputs(p)
    p.add_argument("--interval-columns", type=positive_int, default=None, metavar="N",
                   help="width of each site block in columns; refused when a plot row is wider "
                        "(default: as wide as the widest plot row, at least 20)")
    p.add_argument("--out-dir", type=Path, default=None, metavar="DIR",
                   help="directory for the workbook (default: the working directory)")
    p.add_argument("--jobs", type=positive_int, default=1, metavar="N",
                   help="read and scan the datalogs in N processes at once (default: 1); the workbook is the same. "
                        f"Datalogs of less than {WORKERS_FROM_BYTES >> 20} MiB in all are read in one process: "
                        "starting the workers would take longer than they save")
    p.add_argument("--composite", action="store_true",
                   help="add a worksheet 'Composite': per test item, how many selected sites pass at each point")
    p.add_argument("--composite-png", type=Path, default=None, metavar="PNG",
                   help="draw the composite maps into this PNG (more than 24 items continue in PNG_2 ...)")
    p.add_argument("--split", choices=SPLITS, default=None,
                   help="write one workbook per datalog, site or test item, named <stem>-<group>.xlsx "
                        "(sheets spreadsheet programs can open)")
    p.set_defaults(func=_cmd_extract)

    p = sub.add_parser("check", parents=[common], help="what a settings file reads in a datalog",
                       description=(
        "Say what the settings read in each datalog: the header fields, the plots found per site and per test "
        "item with their sizes, whether their axis values and units were read, and the first plot as read. "
        "Run it on an excerpt of your tester's datalog while writing the settings file."))
    _add_datalog_inputs(p)
    p.set_defaults(func=_cmd_check)

    p = sub.add_parser("margins", parents=[common],
                       help="datalogs in, Vmin per column, Fmax per row and a per-plot summary out",
                       description=(
        "Per column of every shmoo plot the lowest and highest passing row value and the Vmin (the lowest voltage "
        "of the unbroken passing run from the highest passing voltage down: a stray pass below a failing band "
        "does not count), per row the Fmax (the highest frequency, or shortest period, of the unbroken passing run "
        "from the lowest passing frequency up), per plot the pass fraction, enclosed holes and the sides where "
        "passing points reach the sweep's border. Vmin and Fmax do not depend on the order the datalog prints "
        "rows and columns in. Without any output option the summary is printed on standard output; "
        "a CSV option given '-' writes that table there."))
    _add_datalog_inputs(p)
    p.add_argument("--out", type=Path, default=None, metavar="CSV",
                   help="one row per column of every plot: datalog,site,plot,item,x,y_min,y_max,axes,x_unit,y_unit,"
                        "vmin ('-': standard output)")
    p.add_argument("--summary", type=Path, default=None, metavar="CSV",
                   help="one row per plot: datalog,site,plot,item,pass_fraction,holes,edge,axes,vmin,x_fmax,x_unit,"
                        "y_unit,at_x,vmin_at_x,at_y,x_fmax_at_y ('-': standard output)")
    p.add_argument("--fmax", type=Path, default=None, metavar="CSV",
                   help="one row per row (voltage) of every plot: datalog,site,plot,item,y,x_fmax,fmax,fmax_unit,"
                        "period,period_unit,axes,x_unit,y_unit; a period sweep gives both its shortest passing "
                        "period and that as a frequency ('-': standard output)")
    p.add_argument("--items", type=Path, default=None, metavar="CSV",
                   help="the cross-site table: per test item the lowest, median and highest Vmin of its plots "
                        "(at --at-x, else each plot's own Vmin) and the worst site ('-': standard output)")
    p.add_argument("--at-x", type=positive_float, default=None, metavar="VALUE",
                   help="per plot the Vmin at this column value (frequency or period, in the axis's unit): the "
                        "nearest swept column at or beyond it (higher frequency, shorter period), named in at_x")
    p.add_argument("--at-y", type=positive_float, default=None, metavar="VALUE",
                   help="per plot the Fmax at this row value (voltage, in the axis's unit): the nearest swept row "
                        "at or below it, named in at_y")
    p.add_argument("--plot", type=Path, default=None, metavar="PNG",
                   help="Vmin curves of all selected sites, one panel per test item (24 per page)")
    p.add_argument("--lot-table", type=Path, default=None, metavar="DIR", help=_LOT_TABLE_HELP)
    p.set_defaults(func=_cmd_margins)

    p = sub.add_parser("plot", parents=[common], help="one shmoo plot of a datalog drawn as a picture",
                       description=(
        "Draw a shmoo plot of the datalogs as printed (first printed row at the top), with the printed axis values "
        "and units, passing and failing points in the workbook's colours and untested points grey. --item picks the "
        "plots whose item line holds the text (any case), --sites the sites; --plot N draws the N-th plot of that "
        "selection (default: the first), --all every one of them on its own page (PNG_001.png, PNG_002.png, ...)."),
        usage="%(prog)s [options] DATALOG [DATALOG ...] --item TEXT -o PNG")
    _add_datalog_inputs(p)
    p.add_argument("--item", required=True, metavar="TEXT",
                   help="part of the test item line, e.g. core_func or 2001")
    p.add_argument("-o", "--out", type=Path, required=True, metavar="PNG", help="picture to write")
    p.add_argument("--plot", type=positive_int, default=None, metavar="N",
                   help="draw the N-th plot (1-based) among those selected")
    p.add_argument("--all", action="store_true", help="draw every selected plot, one numbered picture each")
    p.add_argument("--model", type=Path, nargs="?", const=_BUNDLED, default=None, metavar="MODEL",
                   help="give the plot's verdict in the title, by this model file or, with no file named, the "
                        "bundled model")
    p.set_defaults(func=_cmd_plot, usage_error=p.error)

    p = sub.add_parser("train", parents=[common], help="labelled plots in, trained model out", description=(
        "Train the AlexNet shmoo classifier: on a labelled shmoo CSV of 11 x 11 records (100 samples are held "
        "out for testing; the file needs more records than that), on your own labelled plots of datalogs at "
        "their own sizes (--plots), or by a recipe (--recipe bundled rebuilds the bundled model from its seeds)."),
        usage="%(prog)s [options] (CSV | --recipe NAME | --plots LABELS)")
    p.add_argument("csv", type=Path, nargs="?", default=None, metavar="CSV", help="labelled shmoo CSV")
    p.add_argument("--recipe", default=None, metavar="NAME",
                   help="train by a recipe of generated plots of every class and size from 5 x 5 to 41 x 61: "
                        "'bundled' (the bundled model, from its seeds) or 'quick' (the same, shortened)")
    p.add_argument("--plots", type=Path, default=None, metavar="LABELS",
                   help="a labels CSV naming plots of datalogs and their labels (columns datalog, site, plot and "
                        "label, or predicted: a triage verdict CSV with corrected verdicts); datalog paths are "
                        "relative to the CSV's folder. Plots are trained at their own sizes, in the canonical "
                        "orientation")
    p.add_argument("--settings", type=Path, default=Path(samples.SETTINGS_FILE_NAME),
                   help="with --plots: keyword settings JSON of the datalogs (default: %(default)s in the working "
                        "directory)")
    p.add_argument("-o", "--out", type=Path, default=Path("shmoo_model.pt"), metavar="MODEL",
                   help="model file to write (default: %(default)s)")
    p.add_argument("--epochs", type=non_negative_int, default=None, help="default: 20")
    p.add_argument("--batch-size", type=positive_int, default=None, help="default: 32")
    p.add_argument("--lr", type=positive_float, default=None, help="Adam learning rate (default: 0.01)")
    p.add_argument("--seed", type=int, default=None, help="seed of the split, shuffling and weights (default: 0)")
    p.add_argument("--figure", type=Path, default=None, metavar="PNG",
                   help="accuracy figure (default: MODEL's name with _accuracy.png)")
    p.add_argument("--threads", type=positive_int, default=1, metavar="N",
                   help="CPU threads for the tensor library (default: %(default)s; the network is small)")
    p.set_defaults(func=_cmd_train, usage_error=p.error)

    p = sub.add_parser("classify", parents=[common], help="shmoo CSV in, label texts out", description=(
        "Predict the label of every record of a shmoo CSV with the bundled model, or a model written by "
        "'train' (--model, or before the CSV as in 'classify MODEL CSV')."),
        usage="%(prog)s [options] [MODEL] CSV")
    p.add_argument("first", type=Path, metavar="[MODEL] CSV",
                   help="shmoo CSV (label lines may hold any text), after an optional model file written by 'train'")
    p.add_argument("csv", type=Path, nargs="*", help=argparse.SUPPRESS)
    p.add_argument("--model", type=Path, default=None, metavar="MODEL",
                   help="model file written by 'train' (default: the bundled model)")
    p.add_argument("--out", type=Path, default=None, metavar="CSV_OUT",
                   help="write record,label_in_file,predicted rows here instead of the table on stdout "
                        "('-': these rows on stdout)")
    p.add_argument("--grid", type=Path, default=None, metavar="PNG", help="save a grid of the plots with predictions")
    p.add_argument("--grid-limit", type=int_between(1, MAX_GRID_PLOTS), default=30, metavar="N",
                   help=f"plots in the grid at most, up to {MAX_GRID_PLOTS} (default: %(default)s)")
    p.add_argument("--threads", type=positive_int, default=1, metavar="N",
                   help="CPU threads for the tensor library (default: %(default)s; the network is small)")
    p.set_defaults(func=_cmd_classify, usage_error=p.error, trailing_files="csv")

    p = sub.add_parser("triage", parents=[common], help="datalogs in, a label for every shmoo plot out",
                       description=(
        "Classify every shmoo plot of the selected sites of the datalogs with the bundled model (or a model "
        "written by 'train': --model, or before the datalogs as in 'triage MODEL DATALOG...') "
        "and print a summary: plots per label, per site, and the plots that are not plain Pass. "
        "Plots the network cannot take (under 3 x 3 points, no point rows) get the label '?' and a reason."),
        usage="%(prog)s [options] [MODEL] DATALOG [DATALOG ...]")
    _add_datalog_inputs(p, model_first=True)
    p.add_argument("--model", type=Path, default=None, metavar="MODEL",
                   help="model file written by 'train' (default: the bundled model)")
    p.add_argument("--out", type=Path, default=None, metavar="CSV",
                   help="write one row per plot: datalog,site,plot,item,rows,cols,pass_fraction,predicted, "
                        "a score per label, a reason for '?' and the orientation scored (what was flipped to put "
                        "the highest voltage at the top and frequency rising to the right); '-': standard "
                        "output, the summary then on standard error")
    p.add_argument("--grid", type=Path, default=None, metavar="PNG",
                   help="save a picture of plots with their labels (not plain Pass first)")
    p.add_argument("--label", type=_label_filter, default=None, metavar="L",
                   help="show only plots whose label holds L in the grid, e.g. Hole or Pass-Vol")
    p.add_argument("--grid-limit", type=int_between(1, MAX_GRID_PLOTS), default=30, metavar="N",
                   help=f"plots in the grid at most, up to {MAX_GRID_PLOTS} (default: %(default)s)")
    p.add_argument("--workbook", action="store_true",
                   help="also write the extraction workbook of these datalogs and sites with a 'Composite' "
                        "sheet (pass counts across sites) and a 'Verdicts' sheet linking every plot to its "
                        "place on 'Sheet'")
    p.add_argument("--out-dir", type=Path, default=None, metavar="DIR",
                   help="directory for the --workbook workbook (default: the working directory)")
    p.add_argument("--all", action="store_true",
                   help="list every plot that is not plain Pass in the summary (default: the first 40 of each "
                        "list; the --out CSV has all)")
    p.add_argument("--interval-columns", type=positive_int, default=None, metavar="N",
                   help="workbook site block width (default: as extract, as wide as the widest plot row, "
                        "at least 20)")
    p.add_argument("--threads", type=positive_int, default=1, metavar="N",
                   help="CPU threads for the tensor library (default: %(default)s; the network is small)")
    p.add_argument("--lot-table", type=Path, default=None, metavar="DIR", help=_LOT_TABLE_HELP)
    p.set_defaults(func=_cmd_triage, usage_error=p.error, trailing_files="datalogs")

    p = sub.add_parser("report", parents=[common], help="datalogs in, one HTML page of the lot out", description=(
        "Score every shmoo plot of the selected sites of the datalogs as triage does (the bundled model, or "
        "--model) and write one self-contained HTML page: the lot summary, a table of every plot that sorts and "
        "filters, each plot drawn with its axis values, verdict and review reasons, and per test item the "
        "composite pass counts and the Vmin curves of all sites. The page needs no network."))
    _add_datalog_inputs(p)
    p.add_argument("-o", "--out", type=Path, required=True, metavar="HTML", help="the page to write")
    _add_scoring_options(p)
    p.set_defaults(func=_cmd_report)

    p = sub.add_parser("collect", parents=[common], help="datalogs in, one lot table row per plot out",
                       description=(
        "Score every shmoo plot of the selected sites of the datalogs as triage does, measure it as margins does, "
        "in one reading, and append one row per plot (datalog, header fields, sweep, points, verdict, "
        "probabilities, Vmin/Fmax, pass fraction, holes) to the Parquet lot table in DIR, partitioned by lot. "
        "Earlier files are never rewritten. Needs pip install \"quorvane[lot]\"."))
    _add_datalog_inputs(p)
    p.add_argument("--to", type=Path, required=True, metavar="DIR", help="the lot table's folder")
    _add_scoring_options(p)
    p.add_argument("--threads", type=positive_int, default=1, metavar="N",
                   help="CPU threads for the tensor library (default: %(default)s; the network is small)")
    p.set_defaults(func=_cmd_collect)

    p = sub.add_parser("query", parents=[common], help="SQL over the lot table (DuckDB)", description=(
        "Run SQL over the lot table with DuckDB: the table is the view 'plots', one row per plot, the lot a "
        "column. Example: quorvane query \"SELECT lot, site, min(vmin) AS vmin FROM plots GROUP BY ALL "
        "ORDER BY ALL\". Needs pip install \"quorvane[lot]\"."))
    p.add_argument("sql", metavar="SQL", help="the query")
    p.add_argument("--lot-table", type=Path, default=Path("lot-table"), metavar="DIR",
                   help="the lot table's folder (default: %(default)s)")
    p.add_argument("--csv", action="store_true", help="the result as CSV instead of an aligned table")
    p.add_argument("-o", "--out", type=Path, default=None, metavar="FILE",
                   help="write the result to FILE instead of standard output")
    p.set_defaults(func=_cmd_query)

    p = sub.add_parser("export", parents=[common], help="datalogs in, shmoo CSV records to label out", description=(
        "Write every shmoo plot of the selected sites of the datalogs as an 11 x 11 shmoo CSV record, "
        "labelled by --model or with a placeholder label to replace, and the records' datalog, site and "
        "plot number in OUT.provenance.csv next to it. Records show the highest voltage at the top and "
        "frequency rising to the right, as triage scores them (the provenance file says what was flipped). "
        "Plots of other sizes are mapped so that a one-point hole or a one-row band survives."))
    _add_datalog_inputs(p)
    p.add_argument("--shmoo-csv", type=Path, required=True, metavar="OUT", help="shmoo CSV to write")
    p.add_argument("--model", type=Path, nargs="?", const=_BUNDLED, default=None, metavar="MODEL",
                   help="pre-fill each label with the prediction of this model file written by 'train', or of "
                        "the bundled model when no file is named (without --model: a placeholder to replace)")
    p.add_argument("--force", action="store_true",
                   help="replace an existing OUT (by default it is kept: it may hold labels you entered)")
    p.add_argument("--threads", type=positive_int, default=1, metavar="N",
                   help="CPU threads for the tensor library with --model (default: %(default)s)")
    p.set_defaults(func=_cmd_export)

    p = sub.add_parser("sample", parents=[common], help="write sample datalog, settings and shmoo CSV", description=(
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
    p.add_argument("--force", action="store_true",
                   help="replace files of the same names (by default an existing file is never overwritten)")
    p.add_argument("--sizes", type=_sizes, default=None, metavar="RxC,...",
                   help="write datalogs of labelled plots of these sizes (rows x columns, e.g. "
                        "11x11,7x11,21x41,15x9; item k takes size k in turn; 5 to %d points a side) and "
                        "their ground truth sample_truth.csv (datalog,site,plot,label,rows,cols)" % MAX_WIDTH)
    p.set_defaults(func=_cmd_sample)

    p = sub.add_parser("demo", parents=[common], help="samples, workbook, training and classification in one go",
                       description=(
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


@contextlib.contextmanager
def _termination_unwinds() -> Iterator[None]:
    wanted = [getattr(signal, name) for name in ("SIGTERM", "SIGHUP") if hasattr(signal, name)]
    previous = {}
    for signum in wanted:
        try:
            previous[signum] = signal.signal(signum, raise_terminated)
        except ValueError:  # not the main thread: leave the handlers alone
            break
    report_unraisable = sys.unraisablehook

    def quiet_termination(unraisable: Any) -> None:
        # A stop that lands in a finalizer (a ZipFile's, say) is swallowed
        # there, but recorded: the run still ends as terminated, in one line.
        if not isinstance(unraisable.exc_value, Terminated):
            report_unraisable(unraisable)

    sys.unraisablehook = quiet_termination
    try:
        yield
    finally:
        sys.unraisablehook = report_unraisable
        for signum, handler in previous.items():
            signal.signal(signum, handler)


@contextlib.contextmanager
def _datalog_encoding(name: str | None) -> Iterator[None]:
    """--encoding for every datalog the command reads (an unknown name is a CliError)."""
    if name is None:
        yield
        return
    from .selection import set_datalog_encoding

    set_datalog_encoding(name)
    try:
        yield
    finally:
        set_datalog_encoding(None)


def main(argv: Sequence[str] | None = None) -> int:
    parser = build_parser()
    args, extra = parser.parse_known_args(argv)
    trailing: str | None = getattr(args, "trailing_files", None)
    if extra and (trailing is None or any(text.startswith("-") for text in extra)):
        parser.error(f"unrecognized arguments: {' '.join(extra)}")
    if extra and trailing is not None:
        # Files after an option (`triage MODEL --out v.csv LOG`): the parser
        # hands out a command's positional arguments before the first option only.
        setattr(args, trailing, [*getattr(args, trailing), *map(Path, extra)])
    set_verbose(bool(getattr(args, "verbose", False)))
    try:
        with _termination_unwinds(), _datalog_encoding(getattr(args, "encoding", None)):
            code = int(args.func(args))
            recheck_termination()
            return code
    except CliError as exc:
        print(f"{PROG} {args.command}: error: {exc}", file=sys.stderr)
        return 1
    except BrokenPipeError:
        # The reader of standard output stopped early (`| head`): nothing is
        # wrong and nothing more is read. The interpreter's last flush at exit
        # must not fail on the closed pipe either.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 128 + signal.SIGPIPE
    except OSError as exc:
        # File-system failures not anticipated above (full disk, permissions).
        where = f"{exc.filename}: " if exc.filename else ""
        print(f"{PROG} {args.command}: error: {where}{os_reason(exc)}", file=sys.stderr)
        return 1
    except Terminated as exc:
        print(f"{PROG} {args.command}: terminated by signal {exc.signum}", file=sys.stderr)
        return 128 + exc.signum
    except KeyboardInterrupt:
        print(f"{PROG} {args.command}: interrupted", file=sys.stderr)
        return 130
    finally:
        set_verbose(False)


if __name__ == "__main__":  # pragma: no cover
    raise SystemExit(main())
