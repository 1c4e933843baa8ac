"""The ``quorvane`` command line: extract, train, classify, sample, demo.

Every expected failure (missing or malformed input, bad settings, an unusable
model file) ends with one line on standard error and exit status 1; argument
mistakes end with argparse's usage message and status 2. Heavy libraries are
imported only by the subcommands that need them, so ``--help`` and ``sample``
stay quick.
"""

from __future__ import annotations

import argparse
import contextlib
import csv
import json
import math
import os
import re
import shutil
import sys
import tempfile
import time
from pathlib import Path
from typing import Any, Iterator, Sequence

from . import __version__, samples

PROG = "quorvane"
MODEL_FORMAT = "quorvane-shmoo-model"
MODEL_VERSION = 1
SETTINGS_KEYS = ("keyword_item", "keyword_site", "keyword_start", "keyword_end", "keyword_pass", "keyword_fail")
REGEX_KEYS = ("keyword_item", "keyword_pass", "keyword_fail")
# Shmoo records the training loader always holds back as its test part.
TEST_PART = 100


class CliError(Exception):
    """An expected failure, reported as one line without a traceback."""


# ---------------------------------------------------------------------------
# Helpers


def _say(*parts: object) -> None:
    print(*parts, flush=True)


def _int_at_least(minimum: int, wording: str):
    """An argparse type: a whole number no smaller than `minimum`."""

    def parse(text: str) -> int:
        try:
            value = int(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"invalid integer: {text!r}") from None
        if value < minimum:
            raise argparse.ArgumentTypeError(f"{wording}, got {value}")
        return value

    return parse


_positive_int = _int_at_least(1, "must be at least 1")
_non_negative_int = _int_at_least(0, "must not be negative")


def _positive_float(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"invalid number: {text!r}") from None
    if not (value > 0 and math.isfinite(value)):
        raise argparse.ArgumentTypeError(f"must be a positive number, got {text}")
    return value


def _os_reason(exc: OSError) -> str:
    return exc.strerror or str(exc)


@contextlib.contextmanager
def _working_directory(path: Path) -> Iterator[None]:
    # getDatalogInfo saves into the working directory; --out-dir moves it there
    # for the one call and back afterwards, whatever happens.
    old = os.getcwd()
    os.chdir(path)
    try:
        yield
    finally:
        os.chdir(old)


def _check_readable_text(path: Path, what: str) -> None:
    if not path.exists():
        raise CliError(f"{what} not found: {path}")
    if path.is_dir():
        raise CliError(f"{what} is a directory: {path}")
    try:
        with open(path, "rb") as fh:
            fh.read(1)
    except OSError as exc:
        raise CliError(f"cannot read {what} {path}: {_os_reason(exc)}") from None


def _check_utf8(path: Path) -> None:
    """Datalogs are read as UTF-8 (and whole, by the extractor too); name the
    file and line of the first bad byte rather than fail halfway without saying where."""
    data = path.read_bytes()
    try:
        data.decode("utf-8")
    except UnicodeDecodeError as exc:
        line = data.count(b"\n", 0, exc.start) + 1
        raise CliError(f"datalog {path} is not UTF-8 text (line {line})") from None


def _pyplot() -> Any:
    import matplotlib

    # Without a display (headless Linux, CI) matplotlib already falls back to
    # Agg; an explicit choice by the user (MPLBACKEND) is left alone.
    if (
        sys.platform.startswith("linux")
        and not os.environ.get("MPLBACKEND")
        and not (os.environ.get("DISPLAY") or os.environ.get("WAYLAND_DISPLAY"))
    ):
        matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    return plt


def _set_threads(count: int) -> None:
    import torch

    # The network works on 11 x 11 plots: thread hand-offs cost more than they
    # save, and on a busy machine extra threads mostly wait for each other.
    torch.set_num_threads(count)


def _tavrine() -> Any:
    _pyplot()  # the backend must be settled before tavrine imports pyplot
    from .Source import tavrine

    return tavrine


# ---------------------------------------------------------------------------
# Settings


def load_settings(path: Path) -> dict[str, Any]:
    """Reads and checks a keyword settings file; every problem is a CliError."""
    if not path.exists():
        raise CliError(f"settings file not found: {path} (write one with '{PROG} sample' or pass --settings)")
    try:
        text = path.read_text(encoding="utf-8")
    except OSError as exc:
        raise CliError(f"cannot read settings file {path}: {_os_reason(exc)}") from None
    except UnicodeDecodeError:
        raise CliError(f"settings file {path} is not UTF-8 text") from None
    try:
        config = json.loads(text)
    except json.JSONDecodeError as exc:
        raise CliError(
            f"settings file {path} is not valid JSON: {exc.msg} at line {exc.lineno} column {exc.colno}"
        ) from None
    if not isinstance(config, dict):
        raise CliError(f"settings file {path} must hold a JSON object, not {type(config).__name__}")
    for key in SETTINGS_KEYS:
        if key not in config:
            raise CliError(f"settings file {path} lacks the key '{key}'")
        if not isinstance(config[key], str):
            raise CliError(f"settings key '{key}' in {path} must be a string, not {type(config[key]).__name__}")
    for key in REGEX_KEYS:
        try:
            re.compile(config[key])
        except re.error as exc:
            raise CliError(f"settings key '{key}' in {path} is not a valid regular expression: {exc}") from None
    for key in ("keyword_site", "keyword_start", "keyword_end"):
        # An empty marker would match every line and make the extraction meaningless.
        if not config[key]:
            raise CliError(f"settings key '{key}' in {path} must not be empty")
    return config


def _site_label(groups: Sequence[str] | None, datalog_count: int) -> str:
    """Joins the per-datalog site lists into the ';'/',' form getDatalogInfo
    takes. Spaces are dropped: a site written " 1" would never match its line."""
    if not groups:
        return ""
    labels = []
    for group in groups:
        labels.extend(part for part in group.split(";"))
    if len(labels) > datalog_count:
        raise CliError(f"--sites names {len(labels)} site lists but only {datalog_count} datalog(s) were given")
    cleaned = []
    for label in labels:
        sites = [s.strip() for s in label.split(",")]
        if label.strip() and any(not s for s in sites):
            raise CliError(f"empty site number in --sites {label!r}")
        for s in sites:
            if s and not re.fullmatch(r"-?\d+", s):
                raise CliError(f"site numbers must be integers, got {s!r}")
        cleaned.append(",".join(sites) if label.strip() else "")
    return ";".join(cleaned)


# ---------------------------------------------------------------------------
# extract


def run_extract(
    datalogs: Sequence[str | Path],
    settings_path: Path,
    sites: Sequence[str] | None = None,
    interval_columns: int = 20,
    out_dir: Path | None = None,
) -> Path:
    """Extracts the shmoo plots of the datalogs into a workbook; returns its path."""
    config = load_settings(settings_path)
    paths = [Path(p).resolve() for p in datalogs]
    for p in paths:
        _check_readable_text(p, "datalog")
        _check_utf8(p)
        if ";" in str(p):
            raise CliError(f"datalog paths must not contain ';': {p}")
    site_lbl = _site_label(sites, len(paths))
    target = Path(out_dir) if out_dir is not None else Path.cwd()
    try:
        target.mkdir(parents=True, exist_ok=True)
    except OSError as exc:
        raise CliError(f"cannot create output directory {target}: {_os_reason(exc)}") from None

    from .Source import Corvantis

    keywords = Corvantis.getKeyWordFromSettingFile(config)
    _warn_unannounced_sites(Corvantis, keywords, paths, site_lbl)
    # The workbook is named after the second it is saved in, so a second run in
    # the same second would replace the first one. Save into a private folder and
    # move the result next to earlier workbooks under a free name instead.
    staging = Path(tempfile.mkdtemp(prefix=".quorvane-extract-", dir=target))
    try:
        try:
            with _working_directory(staging):
                saved = Path(
                    Corvantis.getDatalogInfo(keywords, ";".join(map(str, paths)), site_lbl, interval_columns)
                )
        except UnicodeDecodeError as exc:
            raise CliError(f"a datalog is not UTF-8 text: {exc.reason} at byte {exc.start}") from None
        except OSError as exc:
            if exc.filename is not None and Path(str(exc.filename)).resolve() in paths:
                raise CliError(f"cannot read datalog {exc.filename}: {_os_reason(exc)}") from None
            raise CliError(f"cannot write the workbook into {target}: {_os_reason(exc)}") from None
        except re.error as exc:
            raise CliError(f"bad regular expression in the settings: {exc}") from None
        except ValueError as exc:
            # getAllSiteNums reads the number after each site label with int().
            raise CliError(f"a site line holds no site number ({exc}); check keyword_site") from None
        try:
            return _move_to_free_name(saved, target)
        except OSError as exc:
            raise CliError(f"cannot write the workbook into {target}: {_os_reason(exc)}") from None
    finally:
        shutil.rmtree(staging, ignore_errors=True)


def _warn_unannounced_sites(corvantis: Any, keywords: dict[str, Any], paths: Sequence[Path], site_lbl: str) -> None:
    """A site the datalog never announces gets an empty block; say so up front."""
    for path, label in zip(paths, site_lbl.split(";")):
        if not label:
            continue
        try:
            announced = set(corvantis.getAllSiteNums(str(path), keywords).split(","))
        except (OSError, ValueError):
            return  # the extraction itself reports these
        for site in label.split(","):
            # The announced numbers come back normalised (07 -> 7); only warn when
            # no spelling of the number is announced at all.
            if site not in announced and str(int(site)) not in announced:
                print(f"{PROG} extract: warning: {path.name} announces no site {site}; its block stays empty",
                      file=sys.stderr)


def _move_to_free_name(saved: Path, target: Path) -> Path:
    stem, suffix = saved.stem, saved.suffix
    candidate = target / saved.name
    n = 0  # numbered like the module's own same-second names: _1, _2, ...
    while True:
        try:
            # A hard link fails rather than replace an existing file.
            os.link(saved, candidate)
            break
        except FileExistsError:
            n += 1
            candidate = target / f"{stem}_{n}{suffix}"
        except OSError:
            # File systems without hard links: fall back to a checked rename.
            if candidate.exists():
                n += 1
                candidate = target / f"{stem}_{n}{suffix}"
                continue
            shutil.move(str(saved), str(candidate))
            break
    return candidate


def _cmd_extract(args: argparse.Namespace) -> int:
    workbook = run_extract(args.datalogs, args.settings, args.sites, args.interval_columns, args.out_dir)
    _say(f"workbook: {workbook}")
    return 0


# ---------------------------------------------------------------------------
# Model files


def save_model(path: Path, net: Any, info: dict[str, Any]) -> None:
    import torch

    payload = {
        "format": MODEL_FORMAT,
        "version": MODEL_VERSION,
        "network": "AlexNet",
        "labels": list(samples.LABEL_KEYS),
        "state_dict": {k: v.detach().clone() for k, v in net.state_dict().items()},
        **info,
    }
    path.parent.mkdir(parents=True, exist_ok=True)
    # Write beside the target and rename, so an interrupted save never leaves a
    # truncated file in place of an earlier model.
    partial = path.with_name(path.name + ".partial")
    try:
        torch.save(payload, partial)
        os.replace(partial, path)
    finally:
        if partial.exists():
            partial.unlink()


def load_model(path: Path) -> tuple[Any, dict[str, Any]]:
    """Loads a model file written by ``train`` into a fresh AlexNet in evaluation
    mode. Only tensors and plain values are accepted (weights_only)."""
    import torch

    tavrine = _tavrine()
    if not path.exists():
        raise CliError(f"model file not found: {path}")
    try:
        payload = torch.load(path, map_location="cpu", weights_only=True)
    except OSError as exc:
        raise CliError(f"cannot read model file {path}: {_os_reason(exc)}") from None
    except Exception as exc:  # unpickling errors come in many classes
        raise CliError(f"{path} is not a quorvane model file ({type(exc).__name__})") from None
    if not isinstance(payload, dict) or payload.get("format") != MODEL_FORMAT:
        raise CliError(f"{path} is not a quorvane model file")
    if payload.get("version") != MODEL_VERSION:
        raise CliError(f"{path} has model format version {payload.get('version')}; this quorvane reads {MODEL_VERSION}")
    if payload.get("labels") != list(samples.LABEL_KEYS):
        raise CliError(f"{path} was trained on other labels: {payload.get('labels')}")
    net = tavrine.AlexNet()
    try:
        net.load_state_dict(payload["state_dict"])
    except (KeyError, RuntimeError, TypeError, AttributeError) as exc:
        first = str(exc).strip().splitlines()[0] if str(exc).strip() else type(exc).__name__
        raise CliError(f"{path} does not hold AlexNet weights: {first}") from None
    net.eval()
    return net, payload


# ---------------------------------------------------------------------------
# train


def _count_records(csv_path: Path) -> int:
    with open(csv_path, encoding="utf-8", errors="replace") as fh:
        lines = sum(1 for line in fh if line.strip())
    return lines // 12


def _new_figures(plt: Any, before: set[int]) -> list[Any]:
    return [plt.figure(n) for n in plt.get_fignums() if n not in before]


def run_train(
    csv_path: Path,
    model_path: Path,
    epochs: int = 20,
    batch_size: int = 32,
    lr: float = 0.01,
    seed: int = 0,
    figure_path: Path | None = None,
) -> tuple[Any, dict[str, Any]]:
    """Trains AlexNet on a shmoo CSV; saves the model and the accuracy figure.
    Returns the trained network and what was saved next to its weights."""
    _check_readable_text(csv_path, "shmoo CSV")
    figure_path = figure_path or model_path.with_name(model_path.stem + "_accuracy.png")
    # Settle where the results go before spending time on training.
    for out in (model_path, figure_path):
        if out.is_dir():
            raise CliError(f"{out} is a directory; give a file name")
        try:
            out.parent.mkdir(parents=True, exist_ok=True)
        except OSError as exc:
            raise CliError(f"cannot create directory {out.parent}: {_os_reason(exc)}") from None
    if batch_size < 2:
        raise CliError("the batch size must be at least 2: batch normalisation needs two samples per batch")
    expected = _count_records(csv_path)
    if expected <= TEST_PART:
        raise CliError(
            f"{csv_path} holds {expected} records; training needs more than {TEST_PART} "
            f"(the loader holds {TEST_PART} samples back for testing)"
        )
    import torch

    tavrine = _tavrine()
    plt = _pyplot()
    torch.manual_seed(seed)
    try:
        train_iter, test_iter = tavrine.load_custom_shm_data(batch_size, str(csv_path))
    except IndexError:
        raise CliError(f"no shmoo record of 11 x 11 points could be read from {csv_path}") from None
    except Exception as exc:
        raise CliError(f"cannot read shmoo CSV {csv_path}: {type(exc).__name__}: {exc}") from None
    dataset = train_iter.dataset.dataset
    stored = int(dataset.data_count)
    if stored < expected:
        print(
            f"{PROG} train: warning: read {stored} of {expected} records from {csv_path}; "
            "reading stopped at a malformed record",
            file=sys.stderr,
        )
    train_size = len(train_iter.dataset)
    if train_size < 2:
        raise CliError(
            f"{csv_path} leaves {train_size} training samples after the {TEST_PART} test samples; add records"
        )
    if train_size % batch_size == 1:
        # Batch normalisation cannot train on a batch of one sample; drop that
        # lone sample from each epoch rather than fail in the last batch.
        train_iter = torch.utils.data.DataLoader(
            train_iter.dataset, batch_size=batch_size, shuffle=True, num_workers=0, drop_last=True
        )

    net = tavrine.AlexNet()
    loss = torch.nn.MSELoss()
    optimizer = torch.optim.Adam(net.parameters(), lr=lr)
    before = set(plt.get_fignums())
    started = time.perf_counter()
    tavrine.train_network(net, train_iter, test_iter, loss, epochs, batch_size, None, None, optimizer)
    seconds = time.perf_counter() - started
    exact, pass_fail = tavrine.evaluate_accuracy(test_iter, net) if epochs else (float("nan"), float("nan"))

    info = {
        "input_shape": [1, samples.ROWS, samples.COLUMNS],
        "point_symbols": {"P": 1.0, "p": 1.0, ".": 0.0, "*": 1.0, "#": 0.0},
        "epochs": epochs,
        "batch_size": batch_size,
        "lr": lr,
        "seed": seed,
        "optimizer": "Adam",
        "loss": "MSELoss",
        "train_samples": train_size,
        "test_samples": len(test_iter.dataset),
        "test_accuracy": exact,
        "test_accuracy_pass_fail": pass_fail,
        "source_csv": str(csv_path),
        "quorvane_version": __version__,
    }
    save_model(model_path, net, info)

    figures = _new_figures(plt, before)
    fig = figures[-1] if figures else plt.figure()
    ax = fig.gca()
    ax.set_xlabel("epoch (from 0)")
    ax.set_ylabel("test accuracy")
    ax.set_title(f"AlexNet on {csv_path.name}")
    # The live plot spans 100 epochs; the saved figure spans the epochs run, and
    # a little headroom keeps points at 1.0 visible.
    if 0 < epochs < 100:
        ax.set_xlim(-0.5, max(epochs, 5) - 0.5)
    ax.set_ylim(0.0, 1.03)
    ax.legend(["exact match", "pass/fail"], loc="lower right")
    fig.savefig(figure_path, dpi=100)
    for f in figures:
        plt.close(f)
    info["figure"] = str(figure_path)
    info["seconds"] = seconds
    return net, info


def _cmd_train(args: argparse.Namespace) -> int:
    _set_threads(args.threads)
    _, info = run_train(args.csv, args.out, args.epochs, args.batch_size, args.lr, args.seed, args.figure)
    if info["epochs"]:
        _say(
            f"test accuracy {info['test_accuracy']:.3f}, pass/fail {info['test_accuracy_pass_fail']:.3f} "
            f"after {info['epochs']} epochs ({info['seconds']:.1f} s)"
        )
    else:
        _say("no epochs run: the model holds its initial weights")
    _say(f"model: {args.out}")
    _say(f"figure: {info['figure']}")
    return 0


# ---------------------------------------------------------------------------
# classify


def predicted_texts(net: Any, plots: Any, batch_size: int = 256) -> list[str]:
    """Label texts such as "Pass-Vol" for a (N, 1, H, W) float tensor of plots."""
    import torch

    tavrine = _tavrine()
    net.eval()
    rows = []
    with torch.no_grad():
        for start in range(0, plots.shape[0], batch_size):
            scores = net(plots[start : start + batch_size])
            rows.extend(tavrine.reformat_output(scores).tolist())
    texts = tavrine.get_custom_shm_labels(rows, "")
    # Each text is ": " then "-Key" per set position; keep the keys joined by "-".
    return [t[2:].lstrip("-") for t in texts]


def _is_label_text(text: str) -> bool:
    return bool(text) and all(k in samples.LABEL_KEYS for k in text.split("-"))


def _same_label(a: str, b: str) -> bool:
    return set(a.split("-")) == set(b.split("-"))


def _save_grid(path: Path, plots: Any, titles: Sequence[str], given: Sequence[str], limit: int) -> int:
    plt = _pyplot()
    count = min(limit, len(titles))
    cols = min(6, count) or 1
    rows = max(1, math.ceil(count / cols))
    fig, axes = plt.subplots(rows, cols, figsize=(2.1 * cols, 2.3 * rows), squeeze=False)
    for k, ax in enumerate(axes.flat):
        ax.set_xticks([])
        ax.set_yticks([])
        if k >= count:
            ax.set_visible(False)
            continue
        ax.imshow(plots[k, 0].numpy(), cmap="RdYlGn", vmin=0.0, vmax=1.0)
        title = titles[k] or "(none)"
        if _is_label_text(given[k]) and not _same_label(given[k], titles[k]):
            ax.set_title(f"{title}\nfile: {given[k]}", fontsize=8, color="firebrick")
        else:
            ax.set_title(title, fontsize=8)
    fig.suptitle("predicted labels (green passes, red fails)", fontsize=10)
    fig.tight_layout()
    path.parent.mkdir(parents=True, exist_ok=True)
    fig.savefig(path, dpi=100)
    plt.close(fig)
    return count


def run_classify(
    model_path: Path,
    csv_path: Path,
    out_path: Path | None = None,
    grid_path: Path | None = None,
    grid_limit: int = 30,
) -> list[tuple[int, str, str]]:
    """Classifies every record of a shmoo CSV; returns (number, label in the
    file, predicted label) per record and writes the optional CSV and grid."""
    net, _ = load_model(model_path)
    _check_readable_text(csv_path, "shmoo CSV")
    tavrine = _tavrine()
    expected = _count_records(csv_path)
    # The dataset reports its progress on stdout; keep stdout for the results.
    try:
        with contextlib.redirect_stdout(sys.stderr):
            dataset = tavrine.CsvDataset_Test(str(csv_path))
    except Exception as exc:
        raise CliError(f"cannot read shmoo CSV {csv_path}: {type(exc).__name__}: {exc}") from None
    n = int(dataset.data_count)
    if n == 0:
        raise CliError(f"no shmoo record could be read from {csv_path}")
    if n < expected:
        print(
            f"{PROG} classify: warning: read {n} of {expected} records from {csv_path}; "
            "reading stopped at a malformed record",
            file=sys.stderr,
        )
    plots = dataset.X_train
    if plots.shape[2] < 3 or plots.shape[3] < 3:
        raise CliError(f"plots in {csv_path} are {plots.shape[2]} x {plots.shape[3]}; at least 3 x 3 is needed")
    predicted = predicted_texts(net, plots)
    given = ["" if not isinstance(y[0], str) else y[0] for y in dataset.Y_train]
    results = [(i + 1, given[i], predicted[i]) for i in range(n)]
    if out_path is not None:
        out_path.parent.mkdir(parents=True, exist_ok=True)
        with open(out_path, "w", newline="", encoding="utf-8") as fh:
            writer = csv.writer(fh)
            writer.writerow(["record", "label_in_file", "predicted"])
            writer.writerows(results)
    if grid_path is not None:
        _save_grid(grid_path, plots, predicted, given, grid_limit)
    return results


def _print_table(results: Sequence[tuple[int, str, str]]) -> None:
    width = max([len("label in file")] + [len(g) for _, g, _ in results])
    _say(f"{'record':>6}  {'label in file':<{width}}  predicted")
    for number, given, predicted in results:
        _say(f"{number:>6}  {given:<{width}}  {predicted or '(none)'}")


def _agreement(results: Sequence[tuple[int, str, str]]) -> str | None:
    labelled = [(g, p) for _, g, p in results if _is_label_text(g)]
    if not labelled:
        return None
    same = sum(_same_label(g, p) for g, p in labelled)
    pf = sum(({"Pass", "Fail"} & set(g.split("-"))) == ({"Pass", "Fail"} & set(p.split("-"))) for g, p in labelled)
    return (
        f"{same} of {len(labelled)} predictions equal the file's labels ({same / len(labelled):.1%}); "
        f"pass/fail agrees on {pf} ({pf / len(labelled):.1%})"
    )


def _cmd_classify(args: argparse.Namespace) -> int:
    _set_threads(args.threads)
    results = run_classify(args.model, args.csv, args.out, args.grid, args.grid_limit)
    if args.out is None:
        _print_table(results)
    summary = _agreement(results)
    if summary:
        _say(summary)
    if args.out is not None:
        _say(f"predictions: {args.out}")
    if args.grid is not None:
        _say(f"grid: {args.grid}")
    return 0


# ---------------------------------------------------------------------------
# sample


def _sizes(text: str) -> tuple[tuple[int, int], ...]:
    try:
        return samples.parse_sizes(text)
    except ValueError as exc:
        raise argparse.ArgumentTypeError(str(exc)) from None


def _cmd_sample(args: argparse.Namespace) -> int:
    files = samples.write_samples(args.out_dir, args.records, args.sites, args.items, args.datalogs, args.seed,
                                  args.sizes)
    for log in files.datalogs:
        _say(f"datalog: {log}")
    if files.truth is not None:
        _say(f"ground truth: {files.truth}")
    _say(f"settings: {files.settings}")
    _say(f"shmoo CSV: {files.shmoo_csv} ({args.records} records)")
    if args.picture is not None:
        save_class_picture(args.picture, args.seed)
        _say(f"picture: {args.picture}")
    return 0


PICTURE_LABELS = ("Pass", "Fail", "Pass-Vol", "Pass-Freq", "Pass-Marginal", "Pass-Hole", "Pass-Vol-Freq",
                  "Pass-Freq-Hole")


def save_class_picture(path: Path, seed: int = 0) -> None:
    """One generated plot per class (and two combinations), as a small PNG."""
    import random

    plt = _pyplot()
    rng = random.Random(seed)
    fig, axes = plt.subplots(2, 4, figsize=(8.4, 4.8))
    for ax, label in zip(axes.flat, PICTURE_LABELS):
        ax.imshow(samples.plot_for_label(label, rng), cmap="RdYlGn", vmin=0, vmax=1)
        ax.set_title(label, fontsize=9)
        ax.set_xticks([0, samples.COLUMNS - 1], ["lo", "hi"], fontsize=7)
        ax.set_yticks([0, samples.ROWS - 1], ["hi", "lo"], fontsize=7)
    fig.supxlabel("frequency (columns)  -  green passes, red fails", fontsize=9)
    fig.supylabel("supply voltage (rows)", fontsize=9)
    fig.tight_layout()
    path.parent.mkdir(parents=True, exist_ok=True)
    fig.savefig(path, dpi=100)
    plt.close(fig)


# ---------------------------------------------------------------------------
# demo


def _cmd_demo(args: argparse.Namespace) -> int:
    _set_threads(args.threads)
    out = Path(args.out_dir)
    started = time.perf_counter()
    _say(f"== 1/4 sample data into {out}")
    files = samples.write_samples(out, args.records, args.sites, 3, 1, args.seed)
    unseen = samples.write_shmoo_csv(out / "unseen_shmoo.csv", args.classify_records, args.seed + 1)
    _say(f"== 2/4 extract {files.datalogs[0].name} into a workbook")
    workbook = run_extract(files.datalogs, files.settings, None, 20, out)
    _say(f"== 3/4 train AlexNet for {args.epochs} epochs")
    model = out / "shmoo_model.pt"
    _, info = run_train(files.shmoo_csv, model, args.epochs, 32, 0.01, args.seed)
    _say(f"== 4/4 classify {args.classify_records} unseen plots")
    predictions = out / "predictions.csv"
    grid = out / "predictions.png"
    results = run_classify(model, unseen, predictions, grid, 24)
    summary = _agreement(results)
    _say("")
    _say(f"Done in {time.perf_counter() - started:.1f} s. Outputs:")
    _say(f"  datalog           {files.datalogs[0]}")
    _say(f"  settings          {files.settings}")
    _say(f"  training CSV      {files.shmoo_csv}")
    _say(f"  workbook          {workbook}")
    _say(f"  model             {model}")
    _say(f"  accuracy figure   {info['figure']}")
    _say(f"  predictions       {predictions}")
    _say(f"  prediction grid   {grid}")
    if summary:
        _say(f"Unseen plots: {summary}")
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
    p.add_argument("--interval-columns", type=_positive_int, default=20, metavar="N",
                   help="width of each site block in columns (default: %(default)s)")
    p.add_argument("--out-dir", type=Path, default=None, metavar="DIR",
                   help="directory for the workbook (default: the working directory)")
    p.set_defaults(func=_cmd_extract)

    p = sub.add_parser("train", help="shmoo CSV in, trained model out", description=(
        "Train the AlexNet shmoo classifier on a labelled shmoo CSV. 100 samples are held out "
        "for testing; the file needs more records than that."))
    p.add_argument("csv", type=Path, metavar="CSV", help="labelled shmoo CSV")
    p.add_argument("-o", "--out", type=Path, default=Path("shmoo_model.pt"), metavar="MODEL",
                   help="model file to write (default: %(default)s)")
    p.add_argument("--epochs", type=_non_negative_int, default=20, help="default: %(default)s")
    p.add_argument("--batch-size", type=_positive_int, default=32, help="default: %(default)s")
    p.add_argument("--lr", type=_positive_float, default=0.01, help="Adam learning rate (default: %(default)s)")
    p.add_argument("--seed", type=int, default=0, help="seed of the split, shuffling and weights (default: 0)")
    p.add_argument("--figure", type=Path, default=None, metavar="PNG",
                   help="accuracy figure (default: MODEL's name with _accuracy.png)")
    p.add_argument("--threads", type=_positive_int, default=1, metavar="N",
                   help="CPU threads for the tensor library (default: %(default)s; the network is small)")
    p.set_defaults(func=_cmd_train)

    p = sub.add_parser("classify", help="model and shmoo CSV in, label texts out", description=(
        "Predict the label of every record of a shmoo CSV with a model written by 'train'."))
    p.add_argument("model", type=Path, metavar="MODEL", help="model file written by 'train'")
    p.add_argument("csv", type=Path, metavar="CSV", help="shmoo CSV (label lines may hold any text)")
    p.add_argument("--out", type=Path, default=None, metavar="CSV_OUT",
                   help="write record,label_in_file,predicted rows here instead of the table on stdout")
    p.add_argument("--grid", type=Path, default=None, metavar="PNG", help="save a grid of the plots with predictions")
    p.add_argument("--grid-limit", type=_positive_int, default=30, metavar="N",
                   help="plots in the grid at most (default: %(default)s)")
    p.add_argument("--threads", type=_positive_int, default=1, metavar="N",
                   help="CPU threads for the tensor library (default: %(default)s; the network is small)")
    p.set_defaults(func=_cmd_classify)

    p = sub.add_parser("sample", help="write sample datalog, settings and shmoo CSV", description=(
        "Write reproducible sample data: multi-site datalog(s) with shmoo plots, the matching "
        "SHM_keywords_setting.json and a labelled shmoo CSV of the six classes."))
    p.add_argument("--out-dir", "--out", type=Path, default=Path("."), metavar="DIR",
                   help="default: the working directory")
    p.add_argument("--records", type=_positive_int, default=600, help="shmoo CSV records (default: %(default)s)")
    p.add_argument("--sites", type=_positive_int, default=4, help="sites per datalog (default: %(default)s)")
    p.add_argument("--items", type=_non_negative_int, default=3, help="shmoo test items per datalog (default: %(default)s)")
    p.add_argument("--datalogs", type=_positive_int, default=1, help="number of datalogs (default: %(default)s)")
    p.add_argument("--seed", type=int, default=0, help="default: %(default)s")
    p.add_argument("--picture", type=Path, default=None, metavar="PNG",
                   help="also save a picture of one generated plot per class")
    p.add_argument("--sizes", type=_sizes, default=None, metavar="RxC,...",
                   help="write datalogs of labelled plots of these sizes (rows x columns, e.g. "
                        "11x11,7x11,21x41,15x9; item k takes size k in turn) and their ground truth "
                        "sample_truth.csv (datalog,site,plot,label,rows,cols)")
    p.set_defaults(func=_cmd_sample)

    p = sub.add_parser("demo", help="samples, workbook, training and classification in one go", description=(
        "Generate sample data in a folder, extract the workbook, train briefly, classify unseen "
        "plots and print where each output went."))
    p.add_argument("--out-dir", "--out", type=Path, default=Path("quorvane-demo"), metavar="DIR",
                   help="default: %(default)s")
    p.add_argument("--epochs", type=_non_negative_int, default=20, help="default: %(default)s")
    p.add_argument("--records", type=_positive_int, default=600, help="training records, more than 100 (default: %(default)s)")
    p.add_argument("--classify-records", type=_positive_int, default=24, help="default: %(default)s")
    p.add_argument("--sites", type=_positive_int, default=4, help="default: %(default)s")
    p.add_argument("--seed", type=int, default=0, help="default: %(default)s")
    p.add_argument("--threads", type=_positive_int, default=1, metavar="N",
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
        print(f"{PROG} {args.command}: error:{where} {_os_reason(exc)}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print(f"{PROG} {args.command}: interrupted", file=sys.stderr)
        return 130


if __name__ == "__main__":  # pragma: no cover
    raise SystemExit(main())
