"""How the review margins trade the flagged share against the exact label among
the plots left unflagged, on held-out recipe plots: drawn from a seed that
neither training (2112) nor calibration (4409) uses, and never from the
independent evaluation lot, which only measures.

    MPLBACKEND=Agg python bench/tune_review.py [--model FILE] [--batches N]
"""

import argparse
from collections import Counter
from pathlib import Path

import torch

from quorvane import recipe, review
from quorvane.calibration import label_of, probabilities
from quorvane.models import bundled_model_path, load_model
from quorvane.symbols import LABEL_KEYS

TUNING_SEED = 5150
MARGINS = (0.1, 0.15, 0.2, 0.25, 0.3)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--model", type=Path, default=None)
    parser.add_argument("--batches", type=int, default=60)
    args = parser.parse_args()
    net, payload = load_model(args.model or bundled_model_path())
    calibration = payload.get("calibration")
    rows = []
    with torch.no_grad():
        for x, y in recipe.labelled_batches(TUNING_SEED, args.batches, 32):
            grids = torch.as_tensor(x)[:, 0].numpy()
            # network values back to the checks' grid: 1 pass, 0 fail, -1 neither
            grids = (grids == 1).astype("int8") - (grids == 0.5).astype("int8")
            for grid, scores, target in zip(grids, net(torch.as_tensor(x)).tolist(), y.tolist()):
                probs = probabilities(calibration, scores)
                truth = "-".join(k for k, v in zip(LABEL_KEYS, target) if v)
                rows.append((review.geometry(grid), probs, label_of(probs), truth))
    exact = sum(set(lab.split("-")) == set(t.split("-")) for _, _, lab, t in rows) / len(rows)
    print(f"{len(rows)} held-out recipe plots (seed {TUNING_SEED}); exact {exact:.3f}")
    reasons = Counter()
    for g, p, lab, t in rows:
        for why in review.review_reasons(g, p, lab):
            reasons[" ".join(w for w in why.split() if not any(ch.isdigit() for ch in w))] += 1
    print("reasons at the shipped margins (plots may have several):")
    for why, n in reasons.most_common():
        print(f"  {n / len(rows):6.1%}  {why}")
    print("close-call margin  key margin  flagged  exact among unflagged")
    for close in MARGINS:
        for key in MARGINS:
            review.CLOSE_CALL_MARGIN, review.KEY_MARGIN = close, key
            kept = [(lab, t) for g, p, lab, t in rows if not review.review_reasons(g, p, lab)]
            good = sum(set(lab.split("-")) == set(t.split("-")) for lab, t in kept)
            print(f"{close:17.2f}  {key:10.2f}  {1 - len(kept) / len(rows):7.1%}  "
                  f"{good / max(1, len(kept)):.3f}")


if __name__ == "__main__":
    main()
