"""The ``demo`` job: sample data, workbook, training, classification and triage in one go."""

from __future__ import annotations

import time
from pathlib import Path

from . import samples
from .classification import agreement, run_classify
from .errors import say
from .extraction import run_extract
from .models import bundled_model_path
from .outputs import written_together
from .scorecard import scorecard, scorecard_lines
from .training import TRAINING_SIZES, run_train, train_on_sizes
from .triage import run_triage

# Shmoo items of the demo's labelled datalog: with four sites, 24 plots per size.
LABELLED_ITEMS = 24


def run_demo(out_dir: Path, epochs: int, records: int, classify_records: int, sites: int, seed: int) -> None:
    """Runs every step on generated data in `out_dir` and prints where each output went."""
    out = Path(out_dir)
    started = time.perf_counter()
    say(f"== 1/5 sample data into {out}")
    files = samples.write_samples(out, records, sites, 3, 1, seed)
    unseen = samples.write_shmoo_csv(out / "unseen_shmoo.csv", classify_records, seed + 1)
    say(f"== 2/5 extract {files.datalogs[0].name} into a workbook")
    workbook = run_extract(files.datalogs, files.settings, None, 20, out)
    say(f"== 3/5 train AlexNet for {epochs} epochs")
    model = out / "shmoo_model.pt"
    _, info = run_train(files.shmoo_csv, model, epochs, 32, 0.01, seed)
    say(f"== 4/5 classify {classify_records} unseen plots")
    predictions = out / "predictions.csv"
    grid = out / "predictions.png"
    results = run_classify(model, unseen, predictions, grid, 24)
    summary = agreement(results)
    triage_model = bundled_model_path()
    if triage_model.is_file():
        say("== 5/5 triage a datalog of labelled plots with the bundled model")
    else:
        size_text = ", ".join(f"{r}x{c}" for r, c in TRAINING_SIZES)
        say(f"== 5/5 no bundled model in this installation: train on plots of {size_text}; "
            "triage a datalog of labelled plots")
        triage_model = out / "shmoo_model_sizes.pt"
        train_on_sizes(triage_model, TRAINING_SIZES, max(50, records // 2), epochs, 32, 0.01, seed)
    labelled_log = out / "labelled_datalog.txt"
    text, truth = samples.labelled_datalog(samples.SAMPLE_SIZES, LABELLED_ITEMS, sites, seed + 2)
    truth_csv = out / "labelled_truth.csv"
    with written_together() as outputs:
        outputs.text(labelled_log).write(text)
        outputs.text(truth_csv).write(samples.truth_csv_text([(labelled_log.name, truth)]))
    verdicts = out / "triage.csv"
    triage_grid = out / "triage.png"
    triage_summary, _ = run_triage(triage_model, [labelled_log], files.settings, None, verdicts, triage_grid)
    card = scorecard(verdicts, truth_csv)
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
    say(f"  triage model      {triage_model}")
    say(f"  labelled datalog  {labelled_log} (ground truth {truth_csv.name})")
    say(f"  triage verdicts   {verdicts}")
    say(f"  triage grid       {triage_grid}")
    if summary:
        say(f"Unseen plots: {summary}")
    say(f"Triage of the labelled datalog ({triage_summary.total} plots) against its ground truth:")
    for line in scorecard_lines(card, goals=False):
        say(line)
