"""The ``demo`` job: sample data, workbook, training and classification in one go."""

from __future__ import annotations

import time
from pathlib import Path

from . import samples
from .classification import agreement, run_classify
from .errors import say
from .extraction import run_extract
from .training import run_train


def run_demo(out_dir: Path, epochs: int, records: int, classify_records: int, sites: int, seed: int) -> None:
    """Runs every step on generated data in `out_dir` and prints where each output went."""
    out = Path(out_dir)
    started = time.perf_counter()
    say(f"== 1/4 sample data into {out}")
    files = samples.write_samples(out, records, sites, 3, 1, seed)
    unseen = samples.write_shmoo_csv(out / "unseen_shmoo.csv", classify_records, seed + 1)
    say(f"== 2/4 extract {files.datalogs[0].name} into a workbook")
    workbook = run_extract(files.datalogs, files.settings, None, 20, out)
    say(f"== 3/4 train AlexNet for {epochs} epochs")
    model = out / "shmoo_model.pt"
    _, info = run_train(files.shmoo_csv, model, epochs, 32, 0.01, seed)
    say(f"== 4/4 classify {classify_records} unseen plots")
    predictions = out / "predictions.csv"
    grid = out / "predictions.png"
    results = run_classify(model, unseen, predictions, grid, 24)
    summary = agreement(results)
    say("")
    say(f"Done in {time.perf_counter() - started:.1f} s. Outputs:")
    say(f"  datalog           {files.datalogs[0]}")
    say(f"  settings          {files.settings}")
    say(f"  training CSV      {files.shmoo_csv}")
    say(f"  workbook          {workbook}")
    say(f"  model             {model}")
    say(f"  accuracy figure   {info['figure']}")
    say(f"  predictions       {predictions}")
    say(f"  prediction grid   {grid}")
    if summary:
        say(f"Unseen plots: {summary}")
