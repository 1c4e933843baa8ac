"""From a network's raw scores to probabilities that mean what they say.

The network is trained on the mean-squared error against 0/1 label vectors, so
its raw scores are not probabilities: a Vol score of 0.4 says little about how
often such plots are Vol. A model file may carry a calibration, fitted after
training on plots the network never saw: per shape key a logistic curve over
that key's score, and one over the Pass score minus the Fail score for the
exclusive Fail/Pass choice. Among plots given about 0.9 for a key, about nine in
ten then have it (the bench reports how close that holds).

A model without a calibration (files of earlier versions) gets the raw scores
clipped to 0..1, arranged so that the label is exactly the one its raw scores
gave: Pass where the Pass score beats the Fail score, a shape key where its
score reaches 0.5.
"""

from __future__ import annotations

import math
from collections.abc import Mapping, Sequence
from typing import Any

from .symbols import LABEL_KEYS

__all__ = ["CALIBRATION_KEY", "fit_calibration", "label_of", "probabilities"]

#: Where a model file keeps its calibration.
CALIBRATION_KEY = "calibration"
SHAPE_KEYS = LABEL_KEYS[2:]


def _sigmoid(z: float) -> float:
    if z >= 0:
        return 1.0 / (1.0 + math.exp(-z))
    e = math.exp(z)
    return e / (1.0 + e)


def _clip(v: float) -> float:
    return min(1.0, max(0.0, v))


def probabilities(calibration: Mapping[str, Any] | None, scores: Sequence[float]) -> tuple[float, ...]:
    """Six probabilities in LABEL_KEYS order from six raw scores; Fail and Pass
    add up to one."""
    if calibration is None:
        p_pass = _clip(0.5 + 0.5 * (scores[1] - scores[0]))
        flags = [_clip(s) for s in scores[2:]]
    else:
        a, b = calibration["Pass"]
        p_pass = _sigmoid(a * (scores[1] - scores[0]) + b)
        flags = []
        for key, s in zip(SHAPE_KEYS, scores[2:]):
            a, b = calibration[key]
            flags.append(_sigmoid(a * s + b))
    return (1.0 - p_pass, p_pass, *flags)


def label_of(probs: Sequence[float]) -> str:
    """The label text of six probabilities: Pass above one half, else Fail;
    a Pass gets every shape key of one half or more (a plot that passes
    nowhere has no shape)."""
    if not probs[1] > 0.5:
        return "Fail"
    return "-".join(["Pass", *(key for key, p in zip(SHAPE_KEYS, probs[2:]) if p >= 0.5)])


def check_calibration(calibration: Any) -> str | None:
    """What is wrong with a model file's calibration entry; None when it is usable."""
    if not isinstance(calibration, Mapping):
        return "the calibration is not a table"
    for key in ("Pass", *SHAPE_KEYS):
        pair = calibration.get(key)
        if (not isinstance(pair, (list, tuple)) or len(pair) != 2
                or not all(isinstance(v, (int, float)) and math.isfinite(v) for v in pair)):
            return f"the calibration of {key} is not two finite numbers"
    return None


def fit_calibration(scores: Any, targets: Any, steps: int = 200) -> dict[str, list[float]]:
    """Fits the logistic curves on held-out scores (N x 6 tensor) and their
    0/1 label vectors (N x 6). The Pass curve is fitted on every plot, the
    shape keys' curves on the Pass plots only (a Fail plot has no shape)."""
    import torch

    scores = scores.detach().to(torch.float64)
    targets = targets.detach().to(torch.float64)
    passing = targets[:, 1] > 0.5
    fitted: dict[str, list[float]] = {}
    columns = [("Pass", scores[:, 1] - scores[:, 0], targets[:, 1])]
    for k, key in enumerate(SHAPE_KEYS, 2):
        columns.append((key, scores[passing, k], targets[passing, k]))
    for key, x, y in columns:
        fitted[key] = _fit_logistic(x, y, steps)
    return fitted


def _fit_logistic(x: Any, y: Any, steps: int) -> list[float]:
    import torch

    if x.numel() == 0 or bool((y == y[0]).all()):
        # Nothing to fit against: keep the raw score's own scale around 0.5.
        return [8.0, -4.0]
    ab = torch.tensor([4.0, 0.0], dtype=torch.float64, requires_grad=True)
    optimiser = torch.optim.LBFGS([ab], lr=0.5, max_iter=steps, line_search_fn="strong_wolfe")
    loss_of = torch.nn.BCEWithLogitsLoss()

    def closure() -> Any:
        optimiser.zero_grad()
        # A little weight decay keeps the slope finite when the held-out
        # scores separate perfectly.
        loss = loss_of(ab[0] * x + ab[1], y) + 1e-4 * (ab[0] ** 2)
        loss.backward()
        return loss

    optimiser.step(closure)
    value = ab.detach()
    return [round(float(value[0]), 6), round(float(value[1]), 6)]
