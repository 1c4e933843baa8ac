"""The ``train`` job: a labelled shmoo CSV in, a model file and its accuracy figure out."""

from __future__ import annotations

import sys
import time
from pathlib import Path
from typing import Any

from . import __version__, samples
from .errors import PROG, CliError, check_readable_text, os_reason
from .figures import new_figures, pyplot, tavrine as _tavrine
from .models import save_model
from .symbols import POINT_SYMBOLS

# Shmoo records the training loader always holds back as its test part.
TEST_PART = 100


def count_records(csv_path: Path) -> int:
    """Records a shmoo CSV holds by its line count (a label line and eleven plot lines each)."""
    with open(csv_path, encoding="utf-8", errors="replace") as fh:
        lines = sum(1 for line in fh if line.strip())
    return lines // 12


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
    figure_path = figure_path or model_path.with_name(model_path.stem + "_accuracy.png")
    # Settle where the results go before spending time on training.
    for out in (model_path, figure_path):
        if out.is_dir():
            raise CliError(f"{out} is a directory; give a file name")
        try:
            out.parent.mkdir(parents=True, exist_ok=True)
        except OSError as exc:
            raise CliError(f"cannot create directory {out.parent}: {os_reason(exc)}") from None
    if batch_size < 2:
        raise CliError("the batch size must be at least 2: batch normalisation needs two samples per batch")
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
    save_model(model_path, net, info)

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
    fig.savefig(figure_path, dpi=100)
    for f in figures:
        plt.close(f)
    info["figure"] = str(figure_path)
    info["seconds"] = seconds
    return net, info
