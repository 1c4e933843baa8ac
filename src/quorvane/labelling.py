"""Datalog plots as shmoo CSV records, for labelling a tester's own plots.

Each plot becomes one record of the training shape (11 rows x 11 columns):
a label line, then eleven rows of points. Plots of another size are mapped
by *minority-preserving block reduction*: the source rows and columns are cut
into 11 contiguous, non-overlapping blocks each (a block is one source row or
column, repeated, where the plot is smaller than 11), and a block takes the
plot's rarer value (fail in a mostly passing plot, pass in a mostly failing
one) as soon as it holds one such point, else the commoner value. Every
rarer point thus survives: a one-point hole stays a hole and a one-row pass
band stays a band (bench/bench_export_resize.py measures this against nearest
sampling and block averaging). A block with no pass or fail point at all is
written as ``0.5``, a number the datasets read as it is.

Records are written in the canonical orientation (highest voltage at the
top, frequency rising to the right; ``quorvane.orientation``), as the network
sees the plots in triage.

The side file ``<csv>.provenance.csv`` lists per record the datalog, site,
plot number, item, start line, original size and what was flipped
(``orientation``, last), so labels can be traced back to the datalog.
"""

from __future__ import annotations

import csv
import math
import os
from collections.abc import Callable, Iterable, Mapping, Sequence
from pathlib import Path

import numpy as np

from .extraction import visible
from .headers import HEADER_FIELDS, header_cells
from .orientation import NEUTRAL, orient
from .outputs import written_together
from .plots import Plot
from .shmoo_csv import PLACEHOLDER
from .symbols import FAIL_SYMBOL, PASS_SYMBOL

SHAPE = (11, 11)
# What the label line holds until someone labels the record.
PROVENANCE_SUFFIX = ".provenance.csv"
PROVENANCE_HEADER = ("record", "datalog", "site", "plot", "item", "line", "rows", "cols", "orientation", *HEADER_FIELDS)
UNKNOWN = NEUTRAL


def _blocks(n: int, m: int) -> list[tuple[int, int]]:
    """[lo, hi) source ranges of the m output cells along an axis of n cells."""
    if n >= m:
        return [(i * n // m, (i + 1) * n // m) for i in range(m)]
    # Smaller than the target: each output cell repeats the source cell under its centre.
    return [(c, c + 1) for c in (min(n - 1, math.floor((i + 0.5) * n / m)) for i in range(m))]


def resize(grid: np.ndarray, shape: tuple[int, int] = SHAPE, method: str = "minority") -> np.ndarray:
    """Maps a grid of 1 pass / 0 fail / -1 neither to ``shape``; returns floats
    1.0, 0.0, or 0.5 where a cell saw no pass or fail point.

    method: "minority" (the export's method, see the module text), "nearest"
    (the source cell under each output cell's centre) or "mean" (block mean
    of the pass/fail points, rounded); the last two exist for measurement.
    """
    grid = np.asarray(grid)
    rows, cols = grid.shape
    if rows == 0 or cols == 0:
        raise ValueError("a plot without points cannot be mapped")
    passes = int(np.count_nonzero(grid == 1))
    fails = int(np.count_nonzero(grid == 0))
    rare = 0 if passes >= fails else 1
    out = np.full(shape, UNKNOWN)
    if method == "nearest":
        row_blocks = [(c, c + 1) for c in (min(rows - 1, int((i + 0.5) * rows / shape[0])) for i in range(shape[0]))]
        col_blocks = [(c, c + 1) for c in (min(cols - 1, int((j + 0.5) * cols / shape[1])) for j in range(shape[1]))]
    else:
        row_blocks, col_blocks = _blocks(rows, shape[0]), _blocks(cols, shape[1])
    for i, (r0, r1) in enumerate(row_blocks):
        band = grid[r0:r1]
        for j, (c0, c1) in enumerate(col_blocks):
            block = band[:, c0:c1]
            known = block[block >= 0]
            if known.size == 0:
                continue
            if method == "minority":
                out[i, j] = rare if np.any(known == rare) else 1 - rare
            else:  # nearest (one cell) or mean
                out[i, j] = float(np.mean(known) >= 0.5)
    return out


def _symbol(value: float) -> str:
    return PASS_SYMBOL if value == 1.0 else FAIL_SYMBOL if value == 0.0 else f"{value:g}"


def record_lines(label: str, cells: np.ndarray) -> list[list[str]]:
    """The twelve CSV rows of one record: label line then the plot rows."""
    width = cells.shape[1]
    return [[label] + [""] * (width - 1)] + [[_symbol(v) for v in row] for row in cells]


def exportable(plot: Plot) -> str | None:
    """Why a plot cannot become a record, or None when it can."""
    if plot.rows == 0:
        return "no point rows"
    if not np.any(plot.grid >= 0):
        return "no pass or fail point"
    return None


def provenance_path(csv_path: Path) -> Path:
    return csv_path.with_name(csv_path.name + PROVENANCE_SUFFIX)


def write_records(csv_path: Path, plots: Sequence[Plot], labels: Sequence[str], replace: bool = True,
                  header_of: Callable[[Plot], Mapping[str, str]] | None = None) -> Path:
    """Writes the records and their provenance side file; both appear together
    or neither does, so a CSV never sits beside another run's provenance.
    Without `replace` an existing CSV is left alone (FileExistsError).
    ``header_of``: the header fields of a plot's datalog (empty without).
    Returns the side file."""
    side = provenance_path(csv_path)
    with written_together() as outputs:
        writer = csv.writer(outputs.text(csv_path, replace=replace), lineterminator="\n")
        orientations = []
        for plot, label in zip(plots, labels):
            oriented = orient(plot)
            orientations.append(oriented.orientation)
            writer.writerows(record_lines(label, resize(oriented.grid)))
        writer = csv.writer(outputs.text(side), lineterminator="\n")
        writer.writerow(PROVENANCE_HEADER)
        for number, (plot, orientation) in enumerate(zip(plots, orientations), 1):
            writer.writerow((number, visible(plot.datalog), plot.site, plot.plot, plot.item, plot.line, plot.rows,
                             plot.cols, orientation, *header_cells(header_of(plot) if header_of else {})))
    return side


def tensor(plots: Iterable[Plot]):
    """The records' plots as a float tensor (N, 1, 11, 11), as the datasets
    read them back (unknown cells 0.5)."""
    import torch

    arrays = [resize(orient(p).grid) for p in plots]
    if not arrays:
        return torch.zeros((0, 1) + SHAPE)
    return torch.tensor(np.stack(arrays), dtype=torch.float32).unsqueeze(1)



def run_export(datalogs: Sequence[str | Path], settings_path: Path, sites: Sequence[str] | None,
               out_csv: Path, model_path: Path | None = None,
               force: bool = False) -> tuple[int, Path, list[tuple[Plot, str]]]:
    """Writes every plot of the datalogs' selected sites as an 11 x 11 shmoo
    CSV record. An existing CSV may hold the user's labels: it is replaced
    only with `force`. Returns the record count, the provenance file and the
    plots left out with the reason."""
    from .classification import predicted_texts
    from .errors import CliError, os_reason
    from .models import load_model, plot_name
    from .outputs import refuse_inputs_as_outputs
    from .selection import plot_source

    if out_csv.is_dir():
        raise CliError(f"--shmoo-csv names a directory: {out_csv}")
    inputs = [("datalog", Path(p)) for p in datalogs] + [("settings file", settings_path)]
    refuse_inputs_as_outputs(inputs + ([("model file", model_path)] if model_path is not None else []),
                             [("--shmoo-csv", out_csv), ("its provenance file", provenance_path(out_csv))])
    if not force and os.path.lexists(out_csv):
        raise CliError(f"{out_csv} exists and may hold your labels; pass --force to replace it")
    search, plots = plot_source("export", datalogs, settings_path, sites)
    net = load_model(model_path)[0] if model_path is not None else None
    kept: list[Plot] = []
    skipped: list[tuple[Plot, str]] = []
    for plot in plots:
        reason = exportable(plot)
        if reason is None:
            kept.append(plot)
        else:
            skipped.append((plot, reason))
    search.finish()
    labels = [PLACEHOLDER] * len(kept)
    if net is not None and kept:
        try:
            labels = predicted_texts(net, tensor(kept), name=lambda i: plot_name(kept[i]))
        except ValueError as exc:
            raise CliError(f"cannot classify the plots with {model_path}: {exc}") from None
    try:
        side = write_records(out_csv, kept, labels, replace=force, header_of=search.header_of)
    except FileExistsError:
        raise CliError(f"{out_csv} exists and may hold your labels; pass --force to replace it") from None
    except OSError as exc:
        raise CliError(f"cannot write {out_csv}: {os_reason(exc)}") from None
    return len(kept), side, skipped
