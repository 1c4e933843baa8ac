"""Which verdicts a person should look at, and why.

A verdict goes on the review list where the network's decision is close, or
where a plain geometric reading of the plot disagrees with the label. The
checks work on the canonical grid (highest voltage in the top row, frequency
rising to the right; 1 pass, 0 fail, -1 neither):

- a voltage wall: the lowest rows fail across (nearly) the whole row, at least
  two rows deep, with a mostly passing row above them;
- a frequency wall: the same for the rightmost columns;
- an enclosed failing pocket: a few failing points, 4-connected, touching no
  edge, every neighbour passing (diagonal ones too); one such lone point reads
  as either a stray or a one-point Hole, so it always asks for a look;
- the share of passing points against a Fail or Pass label, and the share of
  untested points.

Near-identical plots of one item on different sites of a datalog get one label
(``SiteAgreement``), unless their difference is itself a new pocket.

The margins below were chosen on held-out recipe plots (bench/tune_review.py):
between 0.10 and 0.25 around one half they leave the exact label among the
unflagged plots the same (0.963 to 0.964), so the narrower 0.15 flags fewer.
"""

from __future__ import annotations

import dataclasses
from collections import deque
from collections.abc import Iterable, Iterator, Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import numpy as np

from .calibration import label_of
from .symbols import LABEL_KEYS

__all__ = ["REVIEW_COLUMNS", "Geometry", "SiteAgreement", "geometries", "geometry", "review_cells", "review_reasons"]

#: A Fail/Pass decision is close where p_Pass lies within this of 0.5.
CLOSE_CALL_MARGIN = 0.15
#: A shape key is near its threshold where its probability lies within this of 0.5.
KEY_MARGIN = 0.15
#: A row (column) fails across when at most this share of its tested points
#: passes (at least one stray pass is always allowed).
WALL_STRAY_SHARE = 0.1
#: A wall is at least this deep and leaves at least this many rows (columns) beside it.
MIN_WALL_DEPTH = 2
#: Beside a wall, some row (column) passes in at least this share of its points.
PASSING_BESIDE_WALL = 0.5
#: A label with Vol (Freq) and not even this share of failing points in its two
#: lowest rows (rightmost columns) has no wall at all.
SOME_WALL_FILL = 0.5
#: An enclosed failing pocket holds at most this many points.
POCKET_MAX_POINTS = 6
#: More than this share of passing points disagrees with a Fail label ...
MOST_PASS = 0.5
#: ... and at most this many passing points (or this share) with a Pass label.
FEW_PASS_POINTS = 3
FEW_PASS_SHARE = 0.05
#: A plain Pass (no shape key) fails in at most this share of its points: a
#: few strays, or the short diagonal corner every device runs out in.
PLAIN_PASS_FAILS = 0.2
#: More than this share of untested points asks for a look.
UNTESTED_SHARE = 0.10
#: Plots of one item on different sites are near-identical where their grids
#: differ in at most this many points, or this share of them.
SITE_DIFF_POINTS = 2
SITE_DIFF_SHARE = 0.02

SHAPE_KEYS = LABEL_KEYS[2:]
REVIEW_COLUMNS = (*(f"p_{key}" for key in LABEL_KEYS), "review", "why")


@dataclass(frozen=True, slots=True)
class Geometry:
    """What the checks read from a canonical grid."""

    points: int  # pass and fail points
    passes: int
    untested_share: float  # points that are neither, among all
    voltage_wall: int  # depth in rows, 0 for none
    frequency_wall: int  # depth in columns, 0 for none
    low_rows_fail: bool  # the two lowest rows fail at least in part (a Vol label has some wall)
    high_columns_fail: bool
    pockets: tuple[frozenset[tuple[int, int]], ...]  # enclosed failing pockets

    @property
    def pass_share(self) -> float:
        return self.passes / self.points if self.points else 0.0


def _runs_from_end(flags: np.ndarray) -> np.ndarray:
    """Per plot (first axis), how many of the last entries of ``flags`` are true in a row."""
    backwards = flags[:, ::-1]
    return np.where(backwards.all(axis=1), flags.shape[1], np.argmin(backwards, axis=1))


def _line_depths(lines: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """Per plot of a (N, lines, points) stack: how many of the last lines fail
    across, and how many fail at least in part (each with a tested point)."""
    tested = np.count_nonzero(lines >= 0, axis=2)
    passes = np.count_nonzero(lines == 1, axis=2)
    across = (tested > 0) & (passes <= np.maximum(1.0, WALL_STRAY_SHARE * tested))
    in_part = (tested > 0) & (tested - passes >= SOME_WALL_FILL * tested)
    return _runs_from_end(across), _runs_from_end(in_part)


def _wall(lines: np.ndarray, depth: int, other_depth: int) -> int:
    """``depth`` where the failing last rows of ``lines`` make a wall: deep
    enough, with room beside it and a mostly passing row there (read outside
    the other axis' failing lines)."""
    count, width = lines.shape
    if depth < MIN_WALL_DEPTH or count - depth < MIN_WALL_DEPTH or other_depth >= width:
        return 0
    beside = lines[: count - depth, : width - other_depth]
    tested = np.count_nonzero(beside >= 0, axis=1)
    passes = np.count_nonzero(beside == 1, axis=1)
    return depth if bool(np.any((tested > 0) & (passes >= PASSING_BESIDE_WALL * tested))) else 0


def _reached_from_edges(fails: np.ndarray) -> np.ndarray:
    """The failing points of a (N, rows, columns) stack 4-connected to a
    failing point on an edge of their plot."""
    reached = np.zeros_like(fails)
    reached[:, [0, -1], :] = fails[:, [0, -1], :]
    reached[:, :, [0, -1]] = fails[:, :, [0, -1]]
    while True:
        grown = reached.copy()
        grown[:, 1:, :] |= reached[:, :-1, :]
        grown[:, :-1, :] |= reached[:, 1:, :]
        grown[:, :, 1:] |= reached[:, :, :-1]
        grown[:, :, :-1] |= reached[:, :, 1:]
        grown &= fails
        if np.array_equal(grown, reached):
            return reached
        reached = grown


def _pockets(grid: np.ndarray, inner: np.ndarray) -> tuple[frozenset[tuple[int, int]], ...]:
    """Small 4-connected groups of the ``inner`` failing points (those not
    connected to an edge), ringed by passing points (diagonal neighbours too:
    a group touching another failing point at a corner is a notch in an edge
    or a fray, not a pocket)."""
    found = []
    seen = np.zeros(grid.shape, dtype=bool)
    for r0, c0 in zip(*np.nonzero(inner)):
        start = (int(r0), int(c0))
        if seen[start]:
            continue
        group, queue = {start}, deque([start])
        seen[start] = True
        while queue:
            r, c = queue.popleft()
            for rr, cc in ((r - 1, c), (r + 1, c), (r, c - 1), (r, c + 1)):
                if inner[rr, cc] and not seen[rr, cc]:
                    seen[rr, cc] = True
                    group.add((rr, cc))
                    queue.append((rr, cc))
        if len(group) > POCKET_MAX_POINTS:
            continue
        ring = {(r + dr, c + dc) for r, c in group for dr in (-1, 0, 1) for dc in (-1, 0, 1)} - group
        if all(grid[p] == 1 for p in ring):
            found.append(frozenset(group))
    return tuple(found)


def geometries(grids: np.ndarray) -> list[Geometry]:
    """The checks' reading of a (N, rows, columns) stack of canonical grids
    (1 pass, 0 fail, -1 neither); a stack is read at numpy's pace, not point by point."""
    grids = np.asarray(grids)
    count, rows, cols = grids.shape
    if count == 0 or rows * cols == 0:
        return [Geometry(0, 0, 0.0, 0, 0, False, False, ()) for _ in range(count)]
    passes = np.count_nonzero(grids == 1, axis=(1, 2))
    points = passes + np.count_nonzero(grids == 0, axis=(1, 2))
    columns = grids.transpose(0, 2, 1)
    row_depths, rows_in_part = _line_depths(grids)
    column_depths, columns_in_part = _line_depths(columns)
    fails = grids == 0
    # Groups reaching an edge are no pockets; walking only the others keeps
    # the per-point work off walls and corners.
    inner = fails & ~_reached_from_edges(fails)
    out = []
    for k in range(count):
        out.append(Geometry(
            points=int(points[k]),
            passes=int(passes[k]),
            untested_share=1.0 - int(points[k]) / (rows * cols),
            voltage_wall=_wall(grids[k], int(row_depths[k]), int(column_depths[k])),
            frequency_wall=_wall(columns[k], int(column_depths[k]), int(row_depths[k])),
            low_rows_fail=bool(rows_in_part[k] >= MIN_WALL_DEPTH),
            high_columns_fail=bool(columns_in_part[k] >= MIN_WALL_DEPTH),
            pockets=_pockets(grids[k], inner[k]) if inner[k].any() else (),
        ))
    return out


def geometry(grid: np.ndarray) -> Geometry:
    """The checks' reading of one canonical grid."""
    return geometries(np.asarray(grid)[None])[0]


def review_reasons(g: Geometry, probs: Sequence[float], label: str) -> list[str]:
    """Why the verdict ``label`` with probabilities ``probs`` (LABEL_KEYS order)
    should be looked at; empty when it need not be."""
    keys = set(label.split("-"))
    passed = "Pass" in keys
    why = []
    if abs(probs[1] - 0.5) < CLOSE_CALL_MARGIN:
        why.append(f"close call {'Pass' if passed else 'Fail'} {probs[1] if passed else probs[0]:.2f}")
    if passed:
        why += [f"{key} {p:.2f} near threshold" for key, p in zip(SHAPE_KEYS, probs[2:]) if abs(p - 0.5) < KEY_MARGIN]
    if not passed and g.pass_share > MOST_PASS:
        why.append(f"{g.pass_share:.0%} of points pass but Fail")
    if passed and g.passes <= max(FEW_PASS_POINTS, FEW_PASS_SHARE * g.points):
        why.append(f"only {g.passes} point(s) pass but Pass")
    elif label == "Pass" and 1.0 - g.pass_share > PLAIN_PASS_FAILS:
        why.append(f"{1.0 - g.pass_share:.0%} of points fail but plain Pass")
    # A Marginal label may stand for a band or a corner that reads as a wall.
    if g.voltage_wall and "Vol" not in keys and "Marginal" not in keys:
        why.append(f"rows fail at the lowest {g.voltage_wall} voltages but no Vol")
    if "Vol" in keys and not g.low_rows_fail:
        why.append("Vol but the lowest voltages pass")
    if g.frequency_wall and "Freq" not in keys and "Marginal" not in keys:
        why.append(f"columns fail at the highest {g.frequency_wall} frequencies but no Freq")
    if "Freq" in keys and not g.high_columns_fail:
        why.append("Freq but the highest frequencies pass")
    if "Hole" not in keys and any(len(p) > 1 for p in g.pockets):
        why.append("enclosed failing pocket but no Hole")
    if any(len(p) == 1 for p in g.pockets):
        why.append("lone enclosed failing point: a stray or a one-point Hole")
    if g.untested_share > UNTESTED_SHARE:
        why.append(f"{g.untested_share:.0%} untested points")
    return why


def review_cells(probs: Sequence[float] | None, review: bool, why: str) -> list[str]:
    """The REVIEW_COLUMNS of a verdict row."""
    shown = [f"{p:.4f}" for p in probs] if probs is not None else [""] * len(LABEL_KEYS)
    return [*shown, "yes" if review else "no", why]


# ---------------------------------------------------------------------------
# One label for near-identical plots of one item on different sites


class SiteAgreement:
    """Takes (plot, canonical grid, geometry, verdict) in datalog order, a
    datalog at a time (a datalog's grids are small), and hands out (plot,
    verdict): plots of one item, on different sites, of one shape and at most
    a few points apart get the average of their probabilities and the label of
    that average. A plot whose differing points make a pocket the others lack
    keeps its own Hole probability. ``disagreements`` names the items whose
    sites still get different labels, and by which key."""

    def __init__(self) -> None:
        self.disagreements: list[str] = []

    def __call__(self, scored: Iterable[tuple[Any, Any, Any, Any]]) -> Iterator[tuple[Any, Any]]:
        pending: list[tuple[Any, Any, Any, Any]] = []
        for entry in scored:
            if pending and entry[3].datalog != pending[0][3].datalog:
                yield from self._settle(pending)
                pending = []
            pending.append(entry)
        if pending:
            yield from self._settle(pending)

    def _settle(self, entries: list[tuple[Any, Any, Any, Any]]) -> Iterator[tuple[Any, Any]]:
        verdicts = [v for _, _, _, v in entries]
        groups = _item_groups(verdicts)
        for members in groups.values():
            for near in _near_sets(members, entries):
                _agree(near, entries, verdicts)
        for (item, occurrence), members in groups.items():
            line = _disagreement([verdicts[k] for k in members])
            if line:
                name = " ".join(item.split()) + (f" (#{occurrence + 1})" if occurrence else "")
                self.disagreements.append(f"{Path(verdicts[members[0]].datalog).name} {name}: sites disagree on "
                                          f"{line}")
        for (plot, _, _, _), v in zip(entries, verdicts):
            yield plot, v


def _item_groups(verdicts: Sequence[Any]) -> dict[tuple[str, int], list[int]]:
    """The scored plots of each item, by the item line and its occurrence on
    its site (the n-th plot of an item on one site goes with the n-th on another)."""
    seen: dict[tuple[str, str], int] = {}
    groups: dict[tuple[str, int], list[int]] = {}
    for k, v in enumerate(verdicts):
        occurrence = seen.get((v.item, v.site), 0)
        seen[(v.item, v.site)] = occurrence + 1
        if v.probabilities is not None:
            groups.setdefault((v.item, occurrence), []).append(k)
    return {key: members for key, members in groups.items() if len({verdicts[k].site for k in members}) > 1}


def _near_sets(members: Sequence[int], entries: Sequence[tuple[Any, Any, Any, Any]]) -> list[list[int]]:
    """The members linked by near-identical grids (same shape, a few points apart)."""
    parent = {k: k for k in members}

    def root(k: int) -> int:
        while parent[k] != k:
            parent[k] = parent[parent[k]]
            k = parent[k]
        return k

    for i, a in enumerate(members):
        for b in members[i + 1:]:
            ga, gb = entries[a][1], entries[b][1]
            if ga.shape != gb.shape:
                continue
            if int(np.count_nonzero(ga != gb)) <= max(SITE_DIFF_POINTS, SITE_DIFF_SHARE * ga.size):
                parent[root(a)] = root(b)
    sets: dict[int, list[int]] = {}
    for k in members:
        sets.setdefault(root(k), []).append(k)
    return [s for s in sets.values() if len(s) > 1]


def _own_pocket(k: int, near: Sequence[int], entries: Sequence[tuple[Any, Any, Any, Any]]) -> bool:
    """Whether plot k has a pocket that some other plot of its set lacks."""
    return any(entries[j][1][r, c] != 0 for pocket in entries[k][2].pockets for r, c in pocket
               for j in near if j != k)


def _agree(near: Sequence[int], entries: Sequence[tuple[Any, Any, Any, Any]], verdicts: list[Any]) -> None:
    hole = LABEL_KEYS.index("Hole")
    mean = np.mean([verdicts[k].probabilities for k in near], axis=0)
    own = {k for k in near if _own_pocket(k, near, entries)}
    shared = [verdicts[k].probabilities[hole] for k in near if k not in own]
    for k in near:
        probs = [float(p) for p in mean]
        probs[hole] = verdicts[k].probabilities[hole] if k in own else float(np.mean(shared))
        label = label_of(probs)
        why = review_reasons(entries[k][2], probs, label)
        verdicts[k] = dataclasses.replace(verdicts[k], label=label, probabilities=tuple(probs), review=bool(why),
                                          why="; ".join(why))


def _disagreement(verdicts: Sequence[Any]) -> str:
    """"Vol (sites 1,2 vs 3)" for each key some sites' labels have and others' lack."""
    parts = []
    for key in LABEL_KEYS[1:]:
        having = [v.site for v in verdicts if key in v.label.split("-")]
        lacking = [v.site for v in verdicts if key not in v.label.split("-")]
        if having and lacking:
            parts.append(f"{key} (sites {','.join(having)} vs {','.join(lacking)})")
    return ", ".join(parts)
