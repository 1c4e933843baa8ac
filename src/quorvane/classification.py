"""The ``classify`` job: predicted label texts for the records of a shmoo CSV,
and the agreement with the labels the file already holds."""

from __future__ import annotations

import contextlib
import csv
import sys
from pathlib import Path
from typing import Any, Sequence

from .errors import PROG, CliError, check_readable_text, say
from .figures import save_grid, tavrine as _tavrine
from .models import load_model
from .symbols import is_label_text, same_label
from .training import count_records


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
    check_readable_text(csv_path, "shmoo CSV")
    tavrine = _tavrine()
    expected = count_records(csv_path)
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
        save_grid(grid_path, plots, predicted, given, grid_limit)
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


def print_table(results: Sequence[tuple[int, str, str]]) -> None:
    width = max([len("label in file")] + [len(g) for _, g, _ in results])
    say(f"{'record':>6}  {'label in file':<{width}}  predicted")
    for number, given, predicted in results:
        say(f"{number:>6}  {given:<{width}}  {predicted or '(none)'}")


def agreement(results: Sequence[tuple[int, str, str]]) -> str | None:
    """One sentence on how well the predictions match the file's own labels,
    or None when the file holds no label texts."""
    labelled = [(g, p) for _, g, p in results if is_label_text(g)]
    if not labelled:
        return None
    same = sum(same_label(g, p) for g, p in labelled)
    pf = sum(({"Pass", "Fail"} & set(g.split("-"))) == ({"Pass", "Fail"} & set(p.split("-"))) for g, p in labelled)
    return (
        f"{same} of {len(labelled)} predictions equal the file's labels ({same / len(labelled):.1%}); "
        f"pass/fail agrees on {pf} ({pf / len(labelled):.1%})"
    )
