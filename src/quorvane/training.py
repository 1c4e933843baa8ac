"""The ``train`` job: a labelled shmoo CSV in, a model file and its accuracy figure out."""

from __future__ import annotations

import csv
import random
import time
from pathlib import Path
from typing import Any, Sequence

from . import __version__, samples
from .errors import CliError, Progress, check_output_file, check_readable_text, module_output, os_reason, warn
from .figures import image_path, new_figures, pyplot, save_figure, tavrine as _tavrine
from .models import save_model
from .outputs import Outputs, refuse_inputs_as_outputs, written_together
from .shmoo_csv import check_shmoo_csv, describe_bad, describe_unknown
from .symbols import LABEL_KEYS, POINT_SYMBOLS

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

    info = {
        "input_shape": [1, samples.ROWS, samples.COLUMNS],
        "point_symbols": dict(POINT_SYMBOLS),
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
    info = {
        "input_shape": [1, samples.ROWS, samples.COLUMNS],
        "trained_sizes": [list(size) for size in sizes],
        "point_symbols": dict(POINT_SYMBOLS),
        "epochs": epochs,
        "batch_size": batch_size,
        "lr": lr,
        "seed": seed,
        "optimizer": "Adam",
        "loss": "MSELoss",
        "train_samples": per_size * len(sizes),
        "source_csv": "",
        "quorvane_version": __version__,
    }
    save_model(model_path, net, info)
    info["seconds"] = time.perf_counter() - started
    return net, info
