"""The training recipe of the bundled model: plots of every class, every size.

A plot is drawn in the canonical orientation (row 0 the highest voltage, column
0 the lowest frequency; 1 passes, 0 fails, -1 neither) after the kit's class
convention (README, "What the labels mean"):

* Fail: nothing passes but a few stray points (at most 3 % of the points or 3).
* Vol: the lowest-voltage rows fail across the sweep, from 2 rows deep up to
  all but 3 rows; the edge straight, stepping by a row here and there, or rising
  slowly with frequency.
* Freq: the highest-frequency columns fail across the voltages, 2 deep up to all
  but 3; the edge straight, stepping, or slanted (low voltage reaches less far).
* Marginal: passing only beyond a diagonal (high voltage, low frequency), only
  in a band of 1 or 2 rows or columns along the top or left edge, or an edge
  that frays (points flip on both sides of it).
* Hole: a failing pocket of 1 to 4 points enclosed by passing points; a plot
  without Hole holds no such pocket, whatever its noise and strays.
* plain Pass: everything passes but stray points, or a short diagonal corner at
  low voltage and high frequency.

Sizes run from 5 x 5 to 41 x 61, rows and columns drawn independently; every
plot gets per-point noise of up to 1 %, some stray points, and some of them
untested points or ragged rows. Everything is drawn from numpy generators seeded
by the recipe, so the same seeds give the same plots, and the same weights.
"""

from __future__ import annotations

import time
from collections.abc import Callable, Iterator, Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import numpy as np

from .review import geometry
from .symbols import LABEL_KEYS

__all__ = ["BUNDLED", "QUICK", "Recipe", "draw_plot", "labelled_batches", "train_recipe", "train_on_plots"]

MIN_ROWS, MAX_ROWS = 5, 41
MIN_COLS, MAX_COLS = 5, 61

#: Labels and how often the recipe draws them.
LABEL_WEIGHTS: tuple[tuple[str, float], ...] = (
    ("Fail", 0.12),
    ("Pass", 0.14),
    ("Pass-Vol", 0.12),
    ("Pass-Freq", 0.12),
    ("Pass-Vol-Freq", 0.10),
    ("Pass-Marginal", 0.12),
    ("Pass-Vol-Marginal", 0.04),
    ("Pass-Freq-Marginal", 0.04),
    ("Pass-Vol-Freq-Marginal", 0.02),
    ("Pass-Hole", 0.08),
    ("Pass-Vol-Hole", 0.04),
    ("Pass-Freq-Hole", 0.04),
    ("Pass-Vol-Freq-Hole", 0.02),
)


def _stray_limit(points: int) -> int:
    """Most stray passes a Fail plot may show: 3 % of its points, at least 3."""
    return max(3, int(0.03 * points))


def _edge_profile(length: int, depth: int, low: int, high: int, rng: np.random.Generator,
                  rising: bool) -> np.ndarray:
    """Wall depth along the sweep: straight, stepping by one here and there, or
    (with `rising`) growing slowly along it."""
    style = rng.integers(3)
    profile = np.full(length, depth, dtype=np.int64)
    if style == 1:
        steps = rng.random(length) < 1.5 / max(length, 1)
        profile += np.cumsum(np.where(steps, rng.choice((-1, 1), size=length), 0))
    elif style == 2:
        total = rng.integers(1, max(2, (high - low) // 3) + 1)
        ramp = np.linspace(0.0, float(total), length)
        profile = depth - total // 2 + np.floor(ramp if rising else ramp[::-1]).astype(np.int64)
    return np.clip(profile, low, high)


def _vol_wall(g: np.ndarray, rng: np.random.Generator) -> None:
    rows, cols = g.shape
    depth = int(rng.integers(2, rows - 2))  # 2 .. rows-3
    profile = _edge_profile(cols, depth, 2, rows - 3, rng, rising=True)
    r = np.arange(rows)[:, None]
    g[r >= rows - profile[None, :]] = 0


def _freq_wall(g: np.ndarray, rng: np.random.Generator) -> None:
    rows, cols = g.shape
    depth = int(rng.integers(2, cols - 2))
    # Rows run from high voltage down: a slant reaches further at low voltage.
    profile = _edge_profile(rows, depth, 2, cols - 3, rng, rising=True)
    c = np.arange(cols)[None, :]
    g[c >= cols - profile[:, None]] = 0


def _diagonal(rows: int, cols: int, reach_r: float, reach_c: float) -> np.ndarray:
    """Points beyond the line from (rows-reach_r, cols) to (rows, cols-reach_c): the
    low-voltage, high-frequency corner."""
    r = np.arange(rows)[:, None] + 0.5
    c = np.arange(cols)[None, :] + 0.5
    return (rows - r) / reach_r + (cols - c) / reach_c < 1.0


def _short_corner(g: np.ndarray, rng: np.random.Generator) -> None:
    rows, cols = g.shape
    g[_diagonal(rows, cols, rng.uniform(1.5, max(2.0, 0.3 * rows)), rng.uniform(1.5, max(2.0, 0.3 * cols)))] = 0


def _marginal(g: np.ndarray, rng: np.random.Generator, walls: bool) -> None:
    """A narrow margin: with walls, their edge frays; without, a corner beyond a
    diagonal, a band along the top or left edge, or a wide frayed corner."""
    rows, cols = g.shape
    kind = "fray" if walls else ("corner", "band", "fray")[int(rng.integers(3))]
    if kind == "corner":
        # Only high voltage and low frequency pass, up to a diagonal.
        r = np.arange(rows)[:, None] + 0.5
        c = np.arange(cols)[None, :] + 0.5
        g[...] = np.where(r / (rng.uniform(0.35, 1.0) * rows) + c / (rng.uniform(0.35, 1.0) * cols) < 1.0, 1, 0)
        return
    if kind == "band":
        width = int(rng.integers(1, 3))
        g[...] = 0
        if rng.random() < 0.5:
            g[:width, :] = 1
        else:
            g[:, :width] = 1
        return
    if not walls:
        g[_diagonal(rows, cols, rng.uniform(0.4, 0.8) * rows, rng.uniform(0.4, 0.8) * cols)] = 0
    _fray(g, rng)


def _fray(g: np.ndarray, rng: np.random.Generator) -> None:
    """Flips points next to the pass/fail edge, on both sides of it."""
    edge = np.zeros(g.shape, dtype=bool)
    edge[:-1, :] |= g[:-1, :] != g[1:, :]
    edge[1:, :] |= g[:-1, :] != g[1:, :]
    edge[:, :-1] |= g[:, :-1] != g[:, 1:]
    edge[:, 1:] |= g[:, :-1] != g[:, 1:]
    flips = edge & (rng.random(g.shape) < rng.uniform(0.3, 0.5))
    g[flips] = 1 - g[flips]


def _passing_inside(g: np.ndarray) -> np.ndarray:
    """Points whose whole 3 x 3 neighbourhood passes, off the plot's edge."""
    ok = np.zeros(g.shape, dtype=bool)
    p = g == 1
    inner = p[1:-1, 1:-1].copy()
    for dr in (-1, 0, 1):
        for dc in (-1, 0, 1):
            inner &= p[1 + dr : g.shape[0] - 1 + dr, 1 + dc : g.shape[1] - 1 + dc]
    ok[1:-1, 1:-1] = inner
    return ok


def _hole(g: np.ndarray, rng: np.random.Generator) -> bool:
    """Punches a pocket of 1 to 4 failing points, each with passing points all
    round; False where the plot has no room for one."""
    size = int(rng.choice((1, 2, 3, 4), p=(0.25, 0.35, 0.25, 0.15)))
    for _ in range(20):
        room = _passing_inside(g)
        spots = np.argwhere(room)
        if len(spots) == 0:
            return False
        r, c = spots[int(rng.integers(len(spots)))]
        pocket = [(int(r), int(c))]
        while len(pocket) < size:
            pr, pc = pocket[int(rng.integers(len(pocket)))]
            dr, dc = ((0, 1), (1, 0), (0, -1), (-1, 0))[int(rng.integers(4))]
            if room[pr + dr, pc + dc] and (pr + dr, pc + dc) not in pocket:
                pocket.append((pr + dr, pc + dc))
            elif rng.random() < 0.2:
                break
        for pr, pc in pocket:
            g[pr, pc] = 0
        return True
    return False


def _strays(g: np.ndarray, rng: np.random.Generator, count: int, value: int) -> None:
    """`count` lone points of `value` among points of the other kind."""
    candidates = np.argwhere(g == 1 - value)
    if len(candidates) == 0 or count <= 0:
        return
    for k in rng.choice(len(candidates), size=min(count, len(candidates)), replace=False):
        g[tuple(candidates[k])] = value


def draw_plot(label: str, rng: np.random.Generator, rows: int, cols: int) -> np.ndarray:
    """One plot of `label` (a text such as "Pass-Vol") of rows x cols points,
    canonical orientation, int8: 1 pass, 0 fail, -1 untested or padding.

    A plot holds an enclosed failing pocket (as the review reads one) exactly
    when its label has Hole: noise and strays that happen to enclose a failing
    point in a plot without Hole are passed again, and a Hole plot whose pocket
    the noise has merged into its surroundings is drawn anew."""
    keys = set(label.split("-"))
    for _ in range(5):
        g = _draw_once(keys, rng, rows, cols)
        if "Fail" in keys:
            break
        pockets = geometry(g).pockets
        if "Hole" not in keys:
            for pocket in pockets:
                for point in pocket:
                    g[point] = 1
            break
        if pockets:
            break
    _untested(g, rng)
    return g


def _draw_once(keys: set[str], rng: np.random.Generator, rows: int, cols: int) -> np.ndarray:
    points = rows * cols
    if "Fail" in keys:
        g = np.zeros((rows, cols), dtype=np.int8)
        _strays(g, rng, int(rng.integers(0, _stray_limit(points) + 1) * rng.random()), 1)
        noise = 0.0
    else:
        g = np.ones((rows, cols), dtype=np.int8)
        if "Vol" in keys:
            _vol_wall(g, rng)
        if "Freq" in keys:
            _freq_wall(g, rng)
        walls = bool(keys & {"Vol", "Freq"})
        if "Marginal" in keys:
            _marginal(g, rng, walls)
        elif rng.random() < 0.45:
            _short_corner(g, rng)
        if "Hole" in keys:
            _hole(g, rng)
            if rng.random() < 0.15:
                _hole(g, rng)
        _strays(g, rng, int(rng.integers(0, 4)) if rng.random() < 0.5 else 0, 0)
        _strays(g, rng, int(rng.integers(0, 3)) if rng.random() < 0.3 else 0, 1)
        noise = rng.uniform(0.0, 0.01) if rng.random() < 0.6 else 0.0
    if noise:
        flips = rng.random(g.shape) < noise
        g[flips] = 1 - g[flips]
    if "Fail" in keys and np.count_nonzero(g == 1) > _stray_limit(points):
        g[...] = 0
    return g


def _untested(g: np.ndarray, rng: np.random.Generator) -> None:
    """Some plots carry untested points or rows printed short."""
    u = rng.random()
    if u < 0.05:
        g[rng.random(g.shape) < rng.uniform(0.01, 0.06)] = -1
    elif u < 0.09:
        rows, cols = g.shape
        for r in np.flatnonzero(rng.random(rows) < 0.2):
            g[r, cols - int(rng.integers(1, max(2, cols // 6))) :] = -1


def draw_size(rng: np.random.Generator) -> tuple[int, int]:
    """A plot size: rows 5..41 and columns 5..61, independently, small sizes
    somewhat more often (as testers print them)."""
    def pick(low: int, high: int) -> int:
        return int(round(np.exp(rng.uniform(np.log(low), np.log(high + 0.49)))))

    return min(MAX_ROWS, pick(MIN_ROWS, MAX_ROWS)), min(MAX_COLS, pick(MIN_COLS, MAX_COLS))


def draw_label(rng: np.random.Generator) -> str:
    labels, weights = zip(*LABEL_WEIGHTS)
    p = np.asarray(weights) / sum(weights)
    return str(labels[int(rng.choice(len(labels), p=p))])


def label_vector(label: str) -> list[float]:
    keys = label.split("-")
    return [1.0 if k in keys else 0.0 for k in LABEL_KEYS]


def labelled_batches(seed: int, count: int, batch_size: int) -> Iterator[tuple[np.ndarray, np.ndarray]]:
    """`count` batches of `batch_size` plots, each batch of one size: network
    values (N x 1 x rows x cols float32) and label vectors (N x 6)."""
    from .orientation import network_values

    rng = np.random.default_rng(seed)
    for _ in range(count):
        rows, cols = draw_size(rng)
        labels = [draw_label(rng) for _ in range(batch_size)]
        x = np.stack([network_values(draw_plot(label, rng, rows, cols)) for label in labels])[:, None]
        yield x, np.asarray([label_vector(label) for label in labels], dtype=np.float32)


@dataclass(frozen=True, slots=True)
class Recipe:
    """What the bundled model is trained with. Seeds: `seed` for the weights and
    the training plots, `calibration_seed` for the held-out plots the
    probabilities are fitted on (never trained on)."""

    name: str
    batches: int
    batch_size: int = 32
    lr: float = 0.01
    final_lr: float = 0.0005
    seed: int = 2112
    calibration_seed: int = 4409
    calibration_batches: int = 120


BUNDLED = Recipe("bundled", batches=8000)
#: The same recipe, shortened: for tests and a quick look.
QUICK = Recipe("quick", batches=12, calibration_batches=4)
RECIPES = {r.name: r for r in (BUNDLED, QUICK)}


def train_on_plots(batches: Sequence[tuple[Any, Any]] | Iterator[tuple[Any, Any]], total: int, lr: float,
                   final_lr: float, seed: int, progress: Callable[[int], None] | None = None) -> Any:
    """Trains a fresh AlexNet on (plots, label vectors) batches, each batch of
    one plot size, with Adam on the mean-squared error and a learning rate
    falling from `lr` to `final_lr` (cosine). Returns the network in evaluation
    mode."""
    import math

    import torch

    from .figures import tavrine

    torch.manual_seed(seed)
    net = tavrine().AlexNet()
    loss = torch.nn.MSELoss()
    optimiser = torch.optim.Adam(net.parameters(), lr=lr)
    net.train()
    for step, (x, y) in enumerate(batches):
        rate = final_lr + 0.5 * (lr - final_lr) * (1 + math.cos(math.pi * step / max(1, total)))
        for group in optimiser.param_groups:
            group["lr"] = rate
        optimiser.zero_grad()
        value = loss(net(torch.as_tensor(x)), torch.as_tensor(y))
        if not bool(value.isfinite()):
            raise FloatingPointError(f"the training loss became {float(value)} at batch {step + 1}")
        value.backward()
        optimiser.step()
        if progress is not None:
            progress(step + 1)
    net.eval()
    return net


def held_out_scores(net: Any, seed: int, count: int, batch_size: int) -> tuple[Any, Any]:
    """The network's raw scores on recipe plots it never saw, and their labels."""
    import torch

    scores, targets = [], []
    with torch.no_grad():
        for x, y in labelled_batches(seed, count, batch_size):
            scores.append(net(torch.as_tensor(x)))
            targets.append(torch.as_tensor(y))
    return torch.cat(scores), torch.cat(targets)


def train_recipe(recipe: Recipe, out: Path, progress: Callable[[str], None] | None = None) -> dict[str, Any]:
    """Trains the recipe's model, fits its calibration on held-out plots and
    writes the model file. Returns what was saved beside the weights."""
    import torch

    from .calibration import CALIBRATION_KEY, fit_calibration
    from .models import save_model, training_info

    # One thread count for every run: the kernels then add in one order and
    # the same seeds give the same weights.
    threads = torch.get_num_threads()
    torch.set_num_threads(2)
    started = time.perf_counter()
    try:
        def step(n: int) -> None:
            if progress is not None and (n % 100 == 0 or n == recipe.batches):
                progress(f"batch {n} of {recipe.batches}")

        net = train_on_plots(labelled_batches(recipe.seed, recipe.batches, recipe.batch_size), recipe.batches,
                             recipe.lr, recipe.final_lr, recipe.seed, step)
        if progress is not None:
            progress("fitting the probabilities on held-out plots")
        scores, targets = held_out_scores(net, recipe.calibration_seed, recipe.calibration_batches,
                                          recipe.batch_size)
        calibration = fit_calibration(scores, targets)
    finally:
        torch.set_num_threads(threads)
    info = training_info(
        recipe=recipe.name,
        recipe_seed=recipe.seed,
        calibration_seed=recipe.calibration_seed,
        train_samples=recipe.batches * recipe.batch_size,
        batch_size=recipe.batch_size,
        lr=recipe.lr,
        trained_sizes=[[MIN_ROWS, MIN_COLS], [MAX_ROWS, MAX_COLS]],
        **{CALIBRATION_KEY: calibration},
    )
    save_model(out, net, info)
    info["seconds"] = time.perf_counter() - started
    return info
