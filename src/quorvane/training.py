"""The ``train`` job: a labelled shmoo CSV in, a model file and its accuracy figure out."""

from __future__ import annotations

import csv
import random
import time
from dataclasses import dataclass
from pathlib import Path
from typing import Any, Sequence

from . import samples
from .errors import CliError, Progress, check_output_file, check_readable_text, module_output, os_reason, warn
from .figures import image_path, new_figures, pyplot, save_figure, tavrine as _tavrine
from .models import save_model, training_info
from .outputs import Outputs, refuse_inputs_as_outputs, written_together
from .shmoo_csv import check_shmoo_csv, describe_bad, describe_unknown
from .symbols import LABEL_KEYS

# Shmoo records the training loader always holds back as its test part.
TEST_PART = 100


class _LossNotFinite(Exception):
    def __init__(self, value: float, epoch: int) -> None:
        super().__init__(value, epoch)
        self.value = value
        self.epoch = epoch


def _finite(loss: Any) -> Any:
    """The loss function, stopping the training as soon as a batch's loss is
    NaN or infinite: from there on every weight turns into NaN."""
    calls = 0

    def checked(y_hat: Any, y: Any) -> Any:
        nonlocal calls
        calls += 1
        value = loss(y_hat, y)
        if not bool(value.isfinite().all()):
            raise _LossNotFinite(float(value.detach().reshape(-1)[0]), calls)
        return value

    return checked


def count_records(csv_path: Path) -> int:
    """Records a shmoo CSV holds by its line count (a label line and eleven plot lines each)."""
    with open(csv_path, encoding="utf-8", errors="replace") as fh:
        lines = sum(1 for line in fh if line.strip())
    return lines // 12


def refuse_placeholder_labels(csv_path: Path) -> None:
    """Records written by 'export' without --model carry a placeholder label;
    training on them would teach the network nothing but noise."""
    from .shmoo_csv import PLACEHOLDER, placeholder_records

    try:
        found = placeholder_records(csv_path)
    except (UnicodeDecodeError, csv.Error):
        return  # the datasets report unreadable files themselves
    if found:
        first = ", ".join(map(str, found[:5])) + (" ..." if len(found) > 5 else "")
        raise CliError(
            f"{csv_path}: {len(found)} record(s) still have the placeholder label {PLACEHOLDER} (record {first}); "
            f"replace it with a label such as Pass, Fail or Pass-Vol before training"
        )


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
    check_readable_text(csv_path, "shmoo CSV")
    figure_path = image_path(figure_path or model_path.with_name(model_path.stem + "_accuracy.png"),
                             "accuracy figure")
    check_output_file(model_path, "model file")
    # Settle where the results go before spending time on training.
    refuse_inputs_as_outputs([("training CSV", csv_path)], [("--out", model_path), ("--figure", figure_path)])
    for out in (model_path, figure_path):
        try:
            out.parent.mkdir(parents=True, exist_ok=True)
        except OSError as exc:
            raise CliError(f"cannot create directory {out.parent}: {os_reason(exc)}") from None
    if batch_size < 2:
        raise CliError("the batch size must be at least 2: batch normalisation needs two samples per batch")
    refuse_placeholder_labels(csv_path)
    check = check_shmoo_csv(csv_path, labels=True)
    if check.non_finite is not None:
        number, line, what = check.non_finite
        raise CliError(f"{csv_path} record {number} (line {line}) holds a point that is not a finite number: "
                       f"{what}; every point must be a point symbol or a finite number")
    if check.unknown_words:
        raise CliError(f"{csv_path} has label words that are not label keys: {describe_unknown(check)}; "
                       f"the keys are {', '.join(LABEL_KEYS)}")
    expected = count_records(csv_path)
    if expected <= TEST_PART:
        raise CliError(
            f"{csv_path} holds {expected} records; training needs more than {TEST_PART} "
            f"(the loader holds {TEST_PART} samples back for testing)"
        )
    import torch

    tavrine = _tavrine()
    plt = pyplot()
    torch.manual_seed(seed)
    try:
        with module_output():
            train_iter, test_iter = tavrine.load_custom_shm_data(batch_size, str(csv_path))
    except IndexError:
        raise CliError(f"no shmoo record of 11 x 11 points could be read from {csv_path}") from None
    except Exception as exc:
        raise CliError(f"cannot read shmoo CSV {csv_path}: {type(exc).__name__}: {exc}") from None
    dataset = train_iter.dataset.dataset
    stored = int(dataset.data_count)
    if stored < expected:
        where = describe_bad(check) if check.bad is not None else "a malformed record"
        warn("train", f"read {stored} of {expected} records from {csv_path}; reading stopped at {where}")
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
    with Progress("train", f"epoch 1 of {epochs}") as progress:

        def on_line(line: str) -> None:
            if line.startswith("epoch "):
                done = line.split(",")[0].split()[-1]
                progress.update(f"epoch {done} of {epochs} done")

        try:
            with module_output(on_line):
                tavrine.train_network(net, train_iter, test_iter, _finite(loss), epochs, batch_size, None, None,
                                      optimizer)
        except _LossNotFinite as exc:
            raise CliError(
                f"the training loss became {exc.value} at batch {exc.epoch}; no model written (try a smaller --lr, "
                f"now {lr})"
            ) from None
    seconds = time.perf_counter() - started
    exact, pass_fail = tavrine.evaluate_accuracy(test_iter, net) if epochs else (float("nan"), float("nan"))

    info = training_info(
        input_shape=[1, samples.ROWS, samples.COLUMNS],
        epochs=epochs,
        batch_size=batch_size,
        lr=lr,
        seed=seed,
        train_samples=train_size,
        test_samples=len(test_iter.dataset),
        test_accuracy=exact,
        test_accuracy_pass_fail=pass_fail,
        source_csv=str(csv_path),
    )
    with written_together() as outputs:
        # The model and its figure appear together, or neither does.
        save_model(model_path, net, info, outputs)
        _save_accuracy_figure(plt, before, csv_path, epochs, figure_path, outputs)
    info["figure"] = str(figure_path)
    info["seconds"] = seconds
    return net, info


def _save_accuracy_figure(plt: Any, before: set[int], csv_path: Path, epochs: int, figure_path: Path,
                          outputs: Outputs) -> None:
    figures = new_figures(plt, before)
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
    save_figure(fig, figure_path, outputs=outputs)
    for f in figures:
        plt.close(f)


#: Plot sizes (rows, columns) the several-sizes recipe trains on: the sample sizes
#: plus smaller, larger and transposed ones, so that sizes in between are covered.
TRAINING_SIZES: tuple[tuple[int, int], ...] = samples.SAMPLE_SIZES + ((9, 15), (11, 21), (5, 7), (31, 21))


def sized_training_plots(sizes: Sequence[tuple[int, int]], per_size: int, seed: int) -> list[tuple[str, Any]]:
    """``per_size`` generated (label, plot) pairs of every size, labels drawn with
    the sample weights."""
    rng = random.Random(seed)
    labels, weights = zip(*samples.SAMPLE_LABELS)
    out = []
    for rows, cols in sizes:
        for _ in range(per_size):
            label = rng.choices(labels, weights=weights)[0]
            out.append((label, samples.plot_for_label(label, rng, rows, cols)))
    return out


def train_on_sizes(
    model_path: Path,
    sizes: Sequence[tuple[int, int]],
    per_size: int = 300,
    epochs: int = 20,
    batch_size: int = 32,
    lr: float = 0.01,
    seed: int = 0,
) -> tuple[Any, dict[str, Any]]:
    """Trains AlexNet on generated plots of several sizes, the recipe `train`
    uses otherwise (Adam on the mean-squared error, same batch size and rate),
    with every batch of one size. A network trained on 11 x 11 plots alone
    labels plots of other sizes less well; seeing each size while training
    closes that gap (bench/bench_triage.py). Saves the model file and returns
    the network and what was saved next to its weights."""
    import numpy as np
    import torch

    tavrine = _tavrine()
    if batch_size < 2:
        raise CliError("the batch size must be at least 2: batch normalisation needs two samples per batch")
    torch.manual_seed(seed)
    batches = []
    for rows, cols in sizes:
        chunk = sized_training_plots([(rows, cols)], per_size, seed * 7919 + rows * 100 + cols)
        x = torch.from_numpy(np.array([plot for _, plot in chunk], dtype=np.float32)).unsqueeze(1)
        y = torch.tensor([[1.0 if k in label.split("-") else 0.0 for k in LABEL_KEYS] for label, _ in chunk])
        for s in range(0, per_size, batch_size):
            if min(per_size, s + batch_size) - s >= 2:  # batch normalisation needs two samples
                batches.append((x[s : s + batch_size], y[s : s + batch_size]))
    net = tavrine.AlexNet()
    loss = torch.nn.MSELoss()
    optimizer = torch.optim.Adam(net.parameters(), lr=lr)
    order = random.Random(seed)
    started = time.perf_counter()
    for _ in range(epochs):
        net.train()
        order.shuffle(batches)
        for x, y in batches:
            optimizer.zero_grad()
            loss(net(x), y).backward()
            optimizer.step()
    net.eval()
    info = training_info(
        input_shape=[1, samples.ROWS, samples.COLUMNS],
        trained_sizes=[list(size) for size in sizes],
        epochs=epochs,
        batch_size=batch_size,
        lr=lr,
        seed=seed,
        train_samples=per_size * len(sizes),
        source_csv="",
    )
    save_model(model_path, net, info)
    info["seconds"] = time.perf_counter() - started
    return net, info


# ---------------------------------------------------------------------------
# The bundled model's recipe, and a user's own labelled plots at native sizes


def _check_model_output(model_path: Path, inputs: Sequence[tuple[str, Path]]) -> None:
    check_output_file(model_path, "model file")
    refuse_inputs_as_outputs(inputs, [("--out", model_path)])
    try:
        model_path.parent.mkdir(parents=True, exist_ok=True)
    except OSError as exc:
        raise CliError(f"cannot create directory {model_path.parent}: {os_reason(exc)}") from None


def run_train_recipe(name: str, model_path: Path) -> dict[str, Any]:
    """Trains a recipe's model (``quorvane.recipe``: "bundled" rebuilds the
    model the package ships, from its seeds) into `model_path`. Returns what
    was saved beside the weights, and the seconds it took."""
    from .recipe import RECIPES, train_recipe

    recipe = RECIPES.get(name)
    if recipe is None:
        raise CliError(f"no recipe {name!r}; the recipes are {', '.join(RECIPES)}")
    _check_model_output(model_path, [])
    with Progress("train", f"recipe {name}: starting") as progress:
        try:
            return train_recipe(recipe, model_path, lambda text: progress.update(f"recipe {name}: {text}"))
        except FloatingPointError as exc:
            raise CliError(f"{exc}; no model written") from None


#: Fewest plots `train --plots` trains on: fewer teach the network nothing.
MIN_LABELLED_PLOTS = 10


@dataclass(frozen=True, slots=True)
class PlotLabel:
    """One row of a labels CSV: which plot of which datalog, and its label."""

    line: int
    datalog: Path
    site: str
    plot: int
    label: str


def read_plot_labels(labels_csv: Path) -> tuple[list[PlotLabel], int]:
    """The rows of a labels CSV: columns datalog, site, plot and the label in
    `label`, or in `predicted` without one (a triage verdict CSV whose verdicts
    the user corrected). Datalog paths are taken relative to the CSV's folder.
    Rows labelled "?" (plots triage could not score) are left out; returns the
    rows and how many were left out."""
    from .triage import UNKNOWN

    check_readable_text(labels_csv, "labels CSV")
    rows: list[PlotLabel] = []
    unscored = 0
    try:
        with open(labels_csv, newline="", encoding="utf-8") as fh:
            reader = csv.DictReader(fh)
            fields = reader.fieldnames or []
            label_column = "label" if "label" in fields else "predicted"
            missing = [c for c in ("datalog", "site", "plot", label_column) if c not in fields]
            if missing:
                raise CliError(f"{labels_csv} lacks the column(s) {', '.join(missing)}; a labels CSV has the columns "
                               "datalog, site, plot and label (or predicted, as triage writes them)")
            for row in reader:
                line = reader.line_num
                label = (row[label_column] or "").strip()
                if label == UNKNOWN:
                    unscored += 1
                    continue
                keys = label.split("-")
                unknown = [k for k in keys if k not in LABEL_KEYS]
                if unknown:
                    raise CliError(f"{labels_csv} line {line}: the label {label!r} holds word(s) that are not label "
                                   f"keys ({', '.join(map(repr, unknown))}); the keys are {', '.join(LABEL_KEYS)}")
                if ("Pass" in keys) == ("Fail" in keys):
                    raise CliError(f"{labels_csv} line {line}: the label {label!r} must name exactly one of Pass "
                                   "and Fail")
                try:
                    number = int(row["plot"] or "")
                except ValueError:
                    raise CliError(f"{labels_csv} line {line}: plot {row['plot']!r} is not a plot number") from None
                datalog = Path(row["datalog"] or "")
                rows.append(PlotLabel(line, datalog if datalog.is_absolute() else labels_csv.parent / datalog,
                                      (row["site"] or "").strip(), number, label))
    except UnicodeDecodeError as exc:
        raise CliError(f"{labels_csv} is not UTF-8 text (byte {exc.start})") from None
    except csv.Error as exc:
        raise CliError(f"cannot read labels CSV {labels_csv}: {exc}") from None
    return rows, unscored


def _labelled_grids(rows: Sequence[PlotLabel], labels_csv: Path, settings_path: Path) -> list[tuple[Any, str]]:
    """The canonical-orientation grid of every labelled plot, with its label,
    each datalog read once."""
    from .orientation import orient
    from .selection import plot_source

    by_datalog: dict[Path, list[PlotLabel]] = {}
    for row in rows:
        by_datalog.setdefault(row.datalog, []).append(row)
    out = []
    for datalog, wanted in by_datalog.items():
        if not datalog.exists():
            raise CliError(f"{labels_csv} line {wanted[0].line}: datalog not found: {datalog}")
        keys = {(row.site, row.plot) for row in wanted}
        found: dict[tuple[str, int], Any] = {}
        _, plots = plot_source("train", [datalog], settings_path, None, quiet=True)
        for plot in plots:
            if (plot.site, plot.plot) in keys:
                found[(plot.site, plot.plot)] = orient(plot).grid
        for row in wanted:
            grid = found.get((row.site, row.plot))
            if grid is None:
                raise CliError(f"{labels_csv} line {row.line}: {datalog} has no plot {row.plot} of site "
                               f"{row.site!r} (with the markers of {settings_path})")
            out.append((grid, row.label))
    return out


def plot_batches(grids: Sequence[tuple[Any, str]], batch_size: int) -> tuple[list[tuple[Any, Any]], int]:
    """Batches of (network values N x 1 x rows x cols, label vectors N x 6),
    each of one plot size; returns them and how many plots were left out: those
    the network cannot take and those of a size no other plot has (batch
    normalisation needs two plots a batch)."""
    import numpy as np

    from .orientation import network_values
    from .triage import _unfit_reason

    by_shape: dict[tuple[int, int], list[tuple[Any, str]]] = {}
    left_out = 0
    for grid, label in grids:
        if _unfit_reason(grid):  # the plots triage cannot score either
            left_out += 1
        else:
            by_shape.setdefault(grid.shape, []).append((grid, label))
    batches = []
    for members in by_shape.values():
        if len(members) < 2:
            left_out += len(members)
            continue
        starts = list(range(0, len(members), batch_size))
        if len(members) - starts[-1] < 2:
            starts.pop()  # a lone last plot joins the batch before it
        for k, start in enumerate(starts):
            chunk = members[start : starts[k + 1] if k + 1 < len(starts) else len(members)]
            x = np.stack([network_values(grid) for grid, _ in chunk])[:, None]
            y = np.asarray([[float(key in label.split("-")) for key in LABEL_KEYS] for _, label in chunk],
                           dtype=np.float32)
            batches.append((x, y))
    return batches, left_out


def run_train_on_plots(
    labels_csv: Path,
    settings_path: Path,
    model_path: Path,
    epochs: int = 20,
    batch_size: int = 32,
    lr: float = 0.01,
    seed: int = 0,
) -> dict[str, Any]:
    """Trains AlexNet on a user's own labelled plots at their native sizes,
    in the canonical orientation, the way the bundled model's recipe trains.
    Returns what was saved beside the weights, and the seconds it took."""
    from .recipe import BUNDLED, train_on_plots
    from .settings import load_settings
    from .triage import MIN_SIDE

    if batch_size < 2:
        raise CliError("the batch size must be at least 2: batch normalisation needs two samples per batch")
    load_settings(settings_path)  # a bad settings file is said before the CSV is read through
    rows, unscored = read_plot_labels(labels_csv)
    datalogs = sorted({row.datalog for row in rows})
    _check_model_output(model_path, [("labels CSV", labels_csv), ("settings file", settings_path)]
                        + [("datalog", d) for d in datalogs])
    batches, left_out = plot_batches(_labelled_grids(rows, labels_csv, settings_path), batch_size)
    plots = sum(len(y) for _, y in batches)
    if plots < MIN_LABELLED_PLOTS:
        raise CliError(f"{labels_csv} gives {plots} plot(s) to train on; training needs at least "
                       f"{MIN_LABELLED_PLOTS} (plots under {MIN_SIDE} x {MIN_SIDE} points, plots without a pass or "
                       "fail point and plots of a size no other plot has are left out)")
    if left_out or unscored:
        warn("train", f"{left_out + unscored} labelled plot(s) left out: labelled '?', under {MIN_SIDE} x {MIN_SIDE} "
                      "points, without a pass or fail point, or of a size no other plot has")
    order = random.Random(seed)

    def epochs_of_batches() -> Any:
        for _ in range(epochs):
            order.shuffle(batches)
            yield from batches

    total = epochs * len(batches)
    started = time.perf_counter()
    with Progress("train", f"batch 0 of {total}") as progress:
        try:
            net = train_on_plots(epochs_of_batches(), total, lr, min(lr, BUNDLED.final_lr), seed,
                                 lambda n: progress.update(f"batch {n} of {total}"))
        except FloatingPointError as exc:
            raise CliError(f"{exc}; no model written (try a smaller --lr, now {lr})") from None
    sizes = sorted({tuple(x.shape[2:]) for x, _ in batches})
    info = training_info(
        trained_sizes=[list(size) for size in sizes],
        epochs=epochs,
        batch_size=batch_size,
        lr=lr,
        seed=seed,
        train_samples=plots,
        source_labels=str(labels_csv),
    )
    save_model(model_path, net, info)
    info["seconds"] = time.perf_counter() - started
    return info
