"""Rebuilds the bundled model from its recipe and compares it with the one the
package ships: how long the recipe takes here, and whether the rebuilt model
gives the same verdicts on a fixed set of plots (recipe plots drawn from a seed
that neither training nor calibration uses).

    MPLBACKEND=Agg python bench/bench_recipe.py [--recipe bundled|quick] [--keep FILE]

The recipe promises at most 15 minutes on 2 CPU cores; run it on an otherwise
idle machine for a figure that means something.
"""

import argparse
import os
import tempfile
import time
from pathlib import Path

import torch

from quorvane import recipe
from quorvane.calibration import label_of, probabilities
from quorvane.models import bundled_model_path, load_model

#: Plots the two models are compared on: 40 batches of 32, every size and class.
COMPARE_SEED, COMPARE_BATCHES = 90210, 40


def verdicts(path: Path) -> tuple[list[str], torch.Tensor]:
    net, payload = load_model(path)
    calibration = payload.get("calibration")
    labels, scores = [], []
    with torch.no_grad():
        for x, _ in recipe.labelled_batches(COMPARE_SEED, COMPARE_BATCHES, 32):
            out = net(torch.as_tensor(x))
            scores.append(out)
            labels += [label_of(probabilities(calibration, row)) for row in out.tolist()]
    return labels, torch.cat(scores)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--recipe", choices=sorted(recipe.RECIPES), default="bundled")
    parser.add_argument("--keep", type=Path, help="keep the rebuilt model here")
    args = parser.parse_args()
    chosen = recipe.RECIPES[args.recipe]
    print(f"cores: {os.cpu_count()}, torch threads during training: 2")
    with tempfile.TemporaryDirectory() as tmp:
        out = args.keep or Path(tmp) / "rebuilt.pt"
        started = time.perf_counter()
        recipe.train_recipe(chosen, out)
        seconds = time.perf_counter() - started
        print(f"recipe {chosen.name}: {chosen.batches} batches of {chosen.batch_size}, {seconds / 60:.1f} min")
        bundled = bundled_model_path()
        if chosen is not recipe.BUNDLED or not bundled.exists():
            print("no comparison: the bundled model is compared with the full recipe only")
            return
        mine, my_scores = verdicts(out)
        theirs, their_scores = verdicts(bundled)
        same = sum(a == b for a, b in zip(mine, theirs))
        print(f"same verdict as the bundled model: {same} of {len(mine)} plots ({same / len(mine):.2%}); "
              f"largest score difference {float((my_scores - their_scores).abs().max()):.2e}")


if __name__ == "__main__":
    main()
