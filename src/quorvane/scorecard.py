"""How far triage's verdicts agree with a labelled lot's ground truth.

From a triage verdict CSV and a truth CSV (``quorvane.samples.TRUTH_COLUMNS``,
optionally with ``orientation``, how the plot was printed, and ``base``, the
same for every printing of one base plot): per plot size and per printing the
pass/fail agreement, the exact label, per-key recall and precision, the share
of base plots given one label in every printing, the exact label among plots
not flagged for review and the flagged share; a calibration table per key from
the ``p_<key>`` probabilities; the share of items given one label on all their
sites; and the goals triage is held to, each met or missed.

What needs a column the verdicts lack (``review``, ``p_*``; a truth without
``base``) reads "n/a".
"""

from __future__ import annotations

import csv
import math
from collections import defaultdict
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from pathlib import Path

from .samples import TRUTH_COLUMNS
from .symbols import LABEL_KEYS

__all__ = ["Figures", "GOALS", "PRINTINGS", "Scored", "Scorecard", "figures", "print_scorecard", "read_scored",
           "scorecard", "scorecard_lines"]

SHAPE_KEYS = LABEL_KEYS[2:]
ALL = "all"
#: How a labelled lot's plots may be printed (a truth CSV's ``orientation``),
#: in the order the report lists them: voltage rows falling (the canonical
#: way), voltage rows rising, frequency falling to the right, a period sweep
#: with the short period on the left.
PRINTINGS = ("rows falling", "rows rising", "columns falling", "period")
#: The printing of plots whose truth does not say how they were printed.
AS_PRINTED = "as printed"
NA = "n/a"


@dataclass(frozen=True, slots=True)
class Scored:
    """One plot's verdict beside its truth."""

    size: tuple[int, int]
    printing: str
    base: str
    item: tuple[str, int]  # (datalog, plot): the same item on every site
    site: str
    truth: frozenset[str]
    predicted: frozenset[str]
    review: bool | None  # None: the verdicts have no review column
    probabilities: tuple[float, ...] | None  # LABEL_KEYS order; None where absent or empty

    @property
    def exact(self) -> bool:
        return self.truth == self.predicted

    @property
    def pass_fail(self) -> bool:
        return ({"Pass", "Fail"} & self.truth) == ({"Pass", "Fail"} & self.predicted)


def _keys(label: str) -> frozenset[str]:
    return frozenset(label.strip().split("-")) if label.strip() else frozenset()


def _probabilities(row: dict[str, str]) -> tuple[float, ...] | None:
    try:
        return tuple(float(row[f"p_{key}"]) for key in LABEL_KEYS)
    except (KeyError, TypeError, ValueError):
        return None


def _check_columns(path: str | Path, present: Sequence[str] | None, needed: Sequence[str]) -> None:
    missing = [c for c in needed if c not in (present or ())]
    if missing:
        raise ValueError(f"{path} lacks the column(s) {', '.join(missing)}")


def read_scored(verdicts_csv: str | Path, truth_csv: str | Path) -> tuple[list[Scored], int]:
    """The verdicts that have a truth, and the number of truth plots without a verdict."""
    with open(truth_csv, newline="", encoding="utf-8") as fh:
        reader = csv.DictReader(fh)
        _check_columns(truth_csv, reader.fieldnames, TRUTH_COLUMNS)
        truth = {(Path(row["datalog"]).name, row["site"], int(row["plot"])): row for row in reader}
    scored = []
    seen = set()
    with open(verdicts_csv, newline="", encoding="utf-8") as fh:
        reader = csv.DictReader(fh)
        _check_columns(verdicts_csv, reader.fieldnames, ("datalog", "site", "plot", "predicted"))
        has_review = "review" in (reader.fieldnames or ())
        for row in reader:
            key = (Path(row["datalog"]).name, row["site"], int(row["plot"]))
            t = truth.get(key)
            if t is None:
                continue
            seen.add(key)
            scored.append(Scored(
                (int(t["rows"]), int(t["cols"])),
                t.get("orientation") or AS_PRINTED,
                t.get("base") or "/".join(map(str, key)),
                (key[0], key[2]),
                key[1],
                _keys(t["label"]),
                _keys(row["predicted"]),
                (row.get("review", "").strip().lower() == "yes") if has_review else None,
                _probabilities(row),
            ))
    return scored, len(truth) - len(seen)


# ---------------------------------------------------------------------------
# Figures of a set of plots


@dataclass(frozen=True)
class Figures:
    """Agreement figures of one set of plots; None where they cannot be computed."""

    plots: int
    pass_fail: float | None
    exact: float | None
    recall: dict[str, float | None]
    precision: dict[str, float | None]
    same_label: float | None  # base plots printed more than once that got one label throughout
    unflagged_exact: float | None
    flagged: float | None


def _share(hits: int, total: int) -> float | None:
    return hits / total if total else None


def figures(plots: Sequence[Scored]) -> Figures:
    n = len(plots)
    recall, precision = {}, {}
    for key in LABEL_KEYS:
        have = [p for p in plots if key in p.truth]
        said = [p for p in plots if key in p.predicted]
        recall[key] = _share(sum(key in p.predicted for p in have), len(have))
        precision[key] = _share(sum(key in p.truth for p in said), len(said))
    labels_by_base: dict[str, list[frozenset[str]]] = defaultdict(list)
    for p in plots:
        labels_by_base[p.base].append(p.predicted)
    printed_again = [labels for labels in labels_by_base.values() if len(labels) > 1]
    same = _share(sum(len(set(labels)) == 1 for labels in printed_again), len(printed_again))
    if n and all(p.review is not None for p in plots):
        unflagged = [p for p in plots if not p.review]
        unflagged_exact = _share(sum(p.exact for p in unflagged), len(unflagged))
        flagged = _share(n - len(unflagged), n)
    else:
        unflagged_exact = flagged = None
    return Figures(n, _share(sum(p.pass_fail for p in plots), n), _share(sum(p.exact for p in plots), n),
                   recall, precision, same, unflagged_exact, flagged)


def site_agreement(plots: Sequence[Scored]) -> tuple[float | None, int]:
    """(share of items given one label on all their sites, items counted):
    items tested on more than one site whose sites share one true label."""
    by_item: dict[tuple[str, int], list[Scored]] = defaultdict(list)
    for p in plots:
        by_item[p.item].append(p)
    counted = [ps for ps in by_item.values() if len({p.site for p in ps}) > 1 and len({p.truth for p in ps}) == 1]
    return _share(sum(len({p.predicted for p in ps}) == 1 for ps in counted), len(counted)), len(counted)


@dataclass(frozen=True)
class CalibrationBin:
    low: float
    count: int
    mean: float | None
    observed: float | None


def calibration(plots: Sequence[Scored], bins: int = 10) -> dict[str, list[CalibrationBin]] | None:
    """Per key, plots binned by their probability (bins of 1/bins): count, mean
    probability, share that truly has the key. Shape keys count the plots that
    truly pass (a failing plot has no shape); None without probabilities."""
    with_p = [p for p in plots if p.probabilities is not None]
    if not with_p:
        return None
    table = {}
    for k, key in enumerate(LABEL_KEYS):
        pool = with_p if k < 2 else [p for p in with_p if "Pass" in p.truth]
        binned: list[list[float]] = [[] for _ in range(bins)]
        truths: list[list[bool]] = [[] for _ in range(bins)]
        for p in pool:
            prob = p.probabilities[k] if p.probabilities is not None else math.nan
            if math.isfinite(prob):
                b = min(bins - 1, max(0, int(prob * bins)))
                binned[b].append(prob)
                truths[b].append(key in p.truth)
        table[key] = [CalibrationBin(
            b / bins, len(ps),
            sum(ps) / len(ps) if ps else None,
            sum(truths[b]) / len(ps) if ps else None) for b, ps in enumerate(binned)]
    return table


# ---------------------------------------------------------------------------
# Goals

@dataclass(frozen=True)
class Goal:
    text: str
    value: Callable[[Figures], str]
    met: Callable[[Figures], bool | None]


def _at_least(get: Callable[[Figures], float | None], bound: float) -> Callable[[Figures], bool | None]:
    def met(f: Figures) -> bool | None:
        v = get(f)
        return None if v is None else v >= bound
    return met


def _unflagged_met(f: Figures) -> bool | None:
    if f.unflagged_exact is None or f.flagged is None:
        return None
    return f.unflagged_exact >= 0.95 and f.flagged <= 0.15


GOALS = (
    Goal("pass/fail >= 0.99", lambda f: _num(f.pass_fail), _at_least(lambda f: f.pass_fail, 0.99)),
    Goal("exact label >= 0.85", lambda f: _num(f.exact), _at_least(lambda f: f.exact, 0.85)),
    Goal("Vol recall >= 0.95", lambda f: _num(f.recall["Vol"]), _at_least(lambda f: f.recall["Vol"], 0.95)),
    Goal("Freq recall >= 0.95", lambda f: _num(f.recall["Freq"]), _at_least(lambda f: f.recall["Freq"], 0.95)),
    Goal("same label in every orientation >= 0.95", lambda f: _num(f.same_label),
         _at_least(lambda f: f.same_label, 0.95)),
    Goal("exact among unflagged >= 0.95, flagged <= 15 %",
         lambda f: f"{_num(f.unflagged_exact)}, {_pct(f.flagged)} flagged", _unflagged_met),
)


# ---------------------------------------------------------------------------
# The report


@dataclass(frozen=True)
class Scorecard:
    rows: list[tuple[str, str, Figures]]  # (size, printing, figures), "all" for a total
    overall: Figures
    calibration: dict[str, list[CalibrationBin]] | None
    site_agreement: float | None
    items: int
    missing: int  # truth plots without a verdict


def _size_text(size: tuple[int, int]) -> str:
    return f"{size[0]}x{size[1]}"


def scorecard(verdicts_csv: str | Path, truth_csv: str | Path, detail: bool = False) -> Scorecard:
    """The figures per size (with `detail`, per size and printing), per
    printing, and of the whole lot."""
    plots, missing = read_scored(verdicts_csv, truth_csv)
    rows: list[tuple[str, str, Figures]] = []
    printings = sorted({p.printing for p in plots},
                       key=lambda t: (PRINTINGS.index(t) if t in PRINTINGS else len(PRINTINGS), t))
    for size in sorted({p.size for p in plots}, key=lambda s: (s[0] * s[1], s)):
        of_size = [p for p in plots if p.size == size]
        rows.append((_size_text(size), ALL, figures(of_size)))
        if detail and len(printings) > 1:
            for printing in printings:
                rows.append((_size_text(size), printing, figures([p for p in of_size if p.printing == printing])))
    if len(printings) > 1:
        for printing in printings:
            rows.append((ALL, printing, figures([p for p in plots if p.printing == printing])))
    agreement, items = site_agreement(plots)
    return Scorecard(rows, figures(plots), calibration(plots), agreement, items, missing)


def _num(v: float | None, width: int = 0) -> str:
    return f"{NA if v is None else f'{v:.3f}':>{width}}"


def _pct(v: float | None) -> str:
    return NA if v is None else f"{100 * v:.1f} %"


def _pair(f: Figures, key: str) -> str:
    r, p = f.recall[key], f.precision[key]
    if r is None and p is None:
        return "-"
    return f"{'-' if r is None else f'{r:.2f}'}/{'-' if p is None else f'{p:.2f}'}"


_HEAD = (f"{'size':<7} {'printing':<16} {'plots':>5} {'p/f':>6} {'exact':>6} {'same':>6} {'unfl.':>6} "
         f"{'flag':>6}  " + " ".join(f"{k + ' R/P':>12}" for k in SHAPE_KEYS))


def _row(size: str, printing: str, f: Figures) -> str:
    # One printing alone says nothing about agreement between printings.
    same_text = _num(f.same_label, 6) if printing == ALL else " " * 6
    return (f"{size:<7} {printing:<16} {f.plots:>5} {_num(f.pass_fail, 6)} {_num(f.exact, 6)} {same_text} "
            f"{_num(f.unflagged_exact, 6)} {_num(f.flagged, 6)}  "
            + " ".join(f"{_pair(f, k):>12}" for k in SHAPE_KEYS))


def scorecard_lines(card: Scorecard, goals: bool = True) -> list[str]:
    """The scorecard as aligned text lines."""
    o = card.overall
    out = [f"Scorecard of {o.plots} plots"
           + (f" ({card.missing} plots of the truth have no verdict)" if card.missing else "") + ":",
           "  p/f: pass/fail agreement; exact: the whole label; same: base plots given one label in every "
           "printing;",
           "  unfl.: exact among plots not flagged for review; flag: flagged share; R/P: recall/precision per key",
           _HEAD]
    for size, printing, f in card.rows:
        out.append(_row(size, printing, f))
    out.append(_row(ALL, ALL, o))
    out.append("R/P of every key: "
               + ", ".join(f"{k} {_pair(o, k)}" for k in LABEL_KEYS))
    if card.site_agreement is None:
        out.append(f"Site agreement: {NA} (no item on several sites with one true label)")
    else:
        out.append(f"Site agreement: {card.site_agreement:.3f} of {card.items} items (each datalog's own) "
                   "got one label on all sites")
    out.extend(calibration_lines(card.calibration))
    if goals:
        out.append("Goals:")
        for goal in GOALS:
            met = goal.met(o)
            verdict = NA if met is None else ("met" if met else "missed")
            out.append(f"  {goal.text:<48} {goal.value(o):>22}  {verdict}")
    return out


def calibration_lines(table: dict[str, list[CalibrationBin]] | None) -> list[str]:
    if table is None:
        return [f"Calibration: {NA} (the verdicts carry no probabilities)"]
    out = ["Calibration per key: plots, mean probability, observed share per bin of 0.1 "
           "(shape keys over truly passing plots):",
           f"{'bin':<9}" + " ".join(f"{key:>17}" for key in table)]
    bins = len(next(iter(table.values())))
    for b in range(bins):
        cells = []
        for key in table:
            cell = table[key][b]
            if cell.count:
                cells.append(f"{cell.count:>5} {cell.mean:5.2f} {cell.observed:5.2f}")
            else:
                cells.append(f"{'-':>5} {'':5} {'':5}")
        low = table[next(iter(table))][b].low
        out.append(f"{low:.1f}-{low + 1 / bins:.1f}  " + " ".join(f"{c:>17}" for c in cells))
    return out


def print_scorecard(verdicts_csv: str | Path, truth_csv: str | Path, say: Callable[[str], None] = print,
                    goals: bool = True, detail: bool = False) -> Scorecard:
    card = scorecard(verdicts_csv, truth_csv, detail)
    for line in scorecard_lines(card, goals):
        say(line)
    return card
