"""The ``classify`` job: predicted label texts for the records of a shmoo CSV,
with their probabilities and review flags (as triage gives them; records are
already in the canonical orientation), and the agreement with the labels the
file already holds."""

from __future__ import annotations

import csv
from pathlib import Path
from typing import Any, Callable, Sequence

from .errors import CliError, check_output_file, check_readable_text, module_output, say, warn
from .figures import image_path, save_grid, tavrine as _tavrine
from .shmoo_csv import check_shmoo_csv, describe_bad
from .models import check_finite_scores, load_model, model_calibration
from .outputs import STDOUT, refuse_inputs_as_outputs, written_together
from .symbols import is_label_text, same_label
from .training import count_records


def predicted_texts(net: Any, plots: Any, name: Callable[[int], str] | None = None,
                    batch_size: int = 256) -> list[str]:
    """Label texts such as "Pass-Vol" for a (N, 1, H, W) float tensor of plots;
    `name(i)` says which plot row i is when its scores are not finite."""
    import torch

    tavrine = _tavrine()
    net.eval()
    rows = []
    with torch.no_grad():
        for start in range(0, plots.shape[0], batch_size):
            scores = net(plots[start : start + batch_size])
            check_finite_scores(scores.tolist(), lambda i: name(start + i) if name else f"plot {start + i + 1}")
            rows.extend(tavrine.reformat_output(scores).tolist())
    texts = tavrine.get_custom_shm_labels(rows, "")
    # Each text is ": " then "-Key" per set position; keep the keys joined by "-".
    return [t[2:].lstrip("-") for t in texts]


def record_scores(net: Any, plots: Any, name: Callable[[int], str], batch_size: int = 256) -> list[list[float]]:
    """Raw network scores per plot of a (N, 1, H, W) float tensor."""
    import torch

    net.eval()
    rows: list[list[float]] = []
    with torch.no_grad():
        for start in range(0, plots.shape[0], batch_size):
            scores = net(plots[start : start + batch_size]).tolist()
            check_finite_scores(scores, lambda i: name(start + i))
            rows.extend(scores)
    return rows


def _reviewed(plots: Any, scores: Sequence[Sequence[float]], calibration: Any) -> list[tuple[str, list[str]]]:
    """(predicted label, REVIEW_COLUMNS cells) per record."""
    import numpy as np

    from .calibration import label_of, probabilities
    from .review import geometry, review_cells, review_reasons

    out = []
    for values, raw in zip(plots[:, 0].numpy(), scores):
        # 1 pass, 0 fail; any other number is a point that is neither.
        grid = np.where(values == 1.0, 1, np.where(values == 0.0, 0, -1))
        probs = probabilities(calibration, raw)
        label = label_of(probs)
        why = review_reasons(geometry(grid), probs, label)
        out.append((label, review_cells(probs, bool(why), "; ".join(why))))
    return out


def run_classify(
    model_path: Path,
    csv_path: Path,
    out_path: Path | None = None,
    grid_path: Path | None = None,
    grid_limit: int = 30,
) -> list[tuple[int, str, str]]:
    """Classifies every record of a shmoo CSV; returns (number, label in the
    file, predicted label) per record and writes the optional CSV (`STDOUT`:
    printed) and grid."""
    check_readable_text(csv_path, "shmoo CSV")
    to_file = out_path if out_path != STDOUT else None
    if to_file is not None:
        check_output_file(to_file, "predictions file")
    if grid_path is not None:
        grid_path = image_path(grid_path, "grid")
    refuse_inputs_as_outputs([("model file", model_path), ("shmoo CSV", csv_path)],
                             [("--out", to_file), ("--grid", grid_path)])
    check = check_shmoo_csv(csv_path, labels=False)
    net, payload = load_model(model_path)
    calibration = model_calibration(payload, model_path)
    if check.non_finite is not None:
        number, line, what = check.non_finite
        raise CliError(f"{csv_path} record {number} (line {line}) holds a point that is not a finite number: "
                       f"{what}; every point must be a point symbol or a finite number")
    tavrine = _tavrine()
    expected = count_records(csv_path)
    try:
        with module_output():
            dataset = tavrine.CsvDataset_Test(str(csv_path))
    except Exception as exc:
        raise CliError(f"cannot read shmoo CSV {csv_path}: {type(exc).__name__}: {exc}") from None
    n = int(dataset.data_count)
    if n == 0:
        raise CliError(f"no shmoo record could be read from {csv_path}")
    if n < expected:
        where = describe_bad(check) if check.bad is not None else "a malformed record"
        warn("classify", f"read {n} of {expected} records from {csv_path}; reading stopped at {where}")
    plots = dataset.X_train
    if plots.shape[2] < 3 or plots.shape[3] < 3:
        raise CliError(f"plots in {csv_path} are {plots.shape[2]} x {plots.shape[3]}; at least 3 x 3 is needed")
    reviewed = _reviewed(plots, record_scores(net, plots, name=lambda i: f"{csv_path} record {i + 1}"), calibration)
    predicted = [label for label, _ in reviewed]
    given = ["" if not isinstance(y[0], str) else y[0] for y in dataset.Y_train]
    results = [(i + 1, given[i], predicted[i]) for i in range(n)]
    with written_together() as outputs:  # the predictions and their grid appear together
        if out_path is not None:
            from .review import REVIEW_COLUMNS

            writer = csv.writer(outputs.table(out_path))
            writer.writerow(["record", "label_in_file", "predicted", *REVIEW_COLUMNS])
            writer.writerows([*result, *cells] for result, (_, cells) in zip(results, reviewed))
        if grid_path is not None:
            save_grid(grid_path, plots, predicted, given, grid_limit, outputs)
    return results


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
