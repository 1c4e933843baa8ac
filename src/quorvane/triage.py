"""Triage: every shmoo plot of tester datalogs through the shmoo classifier.

The plots come from ``quorvane.plots.read_plots`` (the extraction's own
recognition rules); each one is scored by a model written by ``quorvane train``
and gets a label text such as "Pass-Vol". Plots are classified in their own size:
the network's pyramid pooling takes any plot of at least 3 x 3 points, and on
plots of other sizes that beats resizing them to the training size first
(bench/bench_triage.py measures both).

A plot the network cannot take (fewer than 3 rows or columns, no point rows, no
pass or fail point at all) gets the label "?" and a reason; nothing is dropped.
Each plot is scored in the canonical orientation (highest voltage at the top,
frequency rising to the right; ``quorvane.orientation``), and its verdict says
what was flipped. Points that are neither pass nor fail (untested points,
padding of short rows) enter the network as neither (``orientation.NEUTRAL``).

The raw scores become probabilities through the model's calibration
(``quorvane.calibration``) and the label follows from those; ``quorvane.review``
says which verdicts a person should look at and why, and gives near-identical
plots of one item on different sites one label.

Work is streamed: plots are read, classified in batches and written out as they
come (a datalog at a time where sites are made to agree), so memory stays flat
however many datalogs a run takes.
"""

from __future__ import annotations

import csv
import math
from collections import Counter
from dataclasses import dataclass
from pathlib import Path
from types import SimpleNamespace
from typing import Any, Callable, Iterable, Iterator, Mapping, Sequence, TextIO

import numpy as np

from .extraction import visible
from .headers import HEADER_FIELDS, header_cells
from .outputs import STDOUT, Outputs, refuse_inputs_as_outputs, written_together
from .review import REVIEW_COLUMNS, Geometry, SiteAgreement, geometries, review_cells, review_reasons
from .symbols import LABEL_KEYS

__all__ = [
    "CSV_COLUMNS",
    "FITS",
    "UNKNOWN",
    "Summary",
    "Verdict",
    "classify_plots",
    "label_from_scores",
    "label_matches",
    "run_triage",
]

UNKNOWN = "?"
MIN_SIDE = 3
TRAINING_SHAPE = (11, 11)
# New columns go at the end, so readers of the earlier ones keep working.
CSV_COLUMNS = ("datalog", "site", "plot", "item", "rows", "cols", "pass_fraction", "predicted", *LABEL_KEYS,
               "reason", "orientation", *REVIEW_COLUMNS, *HEADER_FIELDS)
#: Ways of presenting a plot to the network: as it is, or mapped to the training
#: size by one of the tensor library's resampling modes ("minpool" keeps a failing
#: point wherever a window holds one, so one-point holes survive shrinking).
FITS = ("own", "nearest", "area", "bilinear", "minpool")
DEFAULT_FIT = "own"


@dataclass(frozen=True, slots=True)
class Verdict:
    """What triage says about one plot."""

    datalog: str
    site: str
    plot: int
    item: str
    line: int
    rows: int
    cols: int
    pass_fraction: float
    label: str
    scores: tuple[float, ...] | None  # raw network scores in LABEL_KEYS order; None for "?"
    reason: str = ""
    orientation: str = ""  # what was flipped to score the plot (orientation.ORIENTATIONS)
    probabilities: tuple[float, ...] | None = None  # calibrated, in LABEL_KEYS order; None for "?"
    review: bool = False
    why: str = ""  # "; "-separated reasons to look at the plot

    @property
    def keys(self) -> frozenset[str]:
        return frozenset(self.label.split("-"))

    def csv_row(self, header: Mapping[str, str] | None = None) -> list[object]:
        """The CSV row; ``header``: the header fields of the plot's datalog (empty without)."""
        scores = [f"{s:.4f}" for s in self.scores] if self.scores is not None else [""] * len(LABEL_KEYS)
        fraction = "" if math.isnan(self.pass_fraction) else f"{self.pass_fraction:.4f}"
        return [visible(self.datalog), self.site, self.plot, self.item, self.rows, self.cols, fraction, self.label,
                *scores, self.reason, self.orientation, *review_cells(self.probabilities, self.review, self.why),
                *header_cells(header or {})]


def label_from_scores(scores: Sequence[float]) -> str:
    """Label text of six raw scores: the larger of Fail and Pass, then every
    shape flag scoring 0.5 or more, in label order.

    The same decision as ``tavrine.reformat_output`` for scores of a trained
    network; unlike it, a plot whose Fail and Pass scores are both negative still
    gets exactly one of the two rather than both."""
    first = "Pass" if scores[1] > scores[0] else "Fail"
    flags = [key for key, s in zip(LABEL_KEYS[2:], scores[2:]) if s >= 0.5]
    return "-".join([first, *flags])


def label_matches(label: str, wanted: str) -> bool:
    """True when ``label`` carries every key of ``wanted`` ("Hole" matches "Pass-Hole")."""
    if wanted == UNKNOWN or label == UNKNOWN:
        return wanted == label
    return set(wanted.split("-")) <= set(label.split("-"))


def _pass_fraction(grid: np.ndarray) -> float:
    passes = int(np.count_nonzero(grid == 1))
    points = passes + int(np.count_nonzero(grid == 0))
    return passes / points if points else math.nan


def _unfit_reason(grid: np.ndarray) -> str:
    rows, cols = (int(grid.shape[0]), int(grid.shape[1])) if grid.ndim == 2 else (0, 0)
    if rows == 0 or cols == 0:
        return "no point rows"
    if rows < MIN_SIDE or cols < MIN_SIDE:
        return f"{rows} x {cols} points; the network needs at least {MIN_SIDE} x {MIN_SIDE}"
    if not np.any((grid == 0) | (grid == 1)):
        return "no pass or fail point"
    return ""


def _fit(batch: Any, fit: str) -> Any:
    """(N, 1, H, W) plots as the network sees them under ``fit``."""
    import torch.nn.functional as F

    if fit == "own" or tuple(batch.shape[2:]) == TRAINING_SHAPE:
        return batch
    if fit == "nearest":
        return F.interpolate(batch, size=TRAINING_SHAPE, mode="nearest")
    if fit == "area":
        return F.adaptive_avg_pool2d(batch, TRAINING_SHAPE)
    if fit == "bilinear":
        return F.interpolate(batch, size=TRAINING_SHAPE, mode="bilinear", align_corners=True)
    if fit == "minpool":
        return -F.adaptive_max_pool2d(-batch, TRAINING_SHAPE)
    raise ValueError(f"unknown fit {fit!r}; choose one of {', '.join(FITS)}")


def _scores(net: Any, grids: Sequence[np.ndarray], fit: str) -> list[tuple[float, ...]]:
    """Raw scores of same-shaped grids, one network call per batch."""
    import torch

    from .orientation import network_values

    stack = np.stack([network_values(g) for g in grids])
    batch = torch.from_numpy(stack).unsqueeze(1)
    with torch.no_grad():
        out = net(_fit(batch, fit))
    return [tuple(float(v) for v in row) for row in out.tolist()]


def _verdict(plot: Any, scores: tuple[float, ...] | None, reason: str, orientation: str = "",
             calibration: Any = None, seen: Geometry | None = None) -> Verdict:
    """The verdict of a plot: scored, with the checks' reading of its
    canonical grid (``seen``), or "?" with a ``reason``."""
    from .calibration import label_of, probabilities

    printed = np.asarray(plot.grid)
    rows, cols = (int(printed.shape[0]), int(printed.shape[1])) if printed.ndim == 2 else (0, 0)
    place = (str(plot.datalog), str(plot.site), int(plot.plot), str(plot.item), int(plot.line), rows, cols,
             _pass_fraction(printed))
    if scores is None or seen is None:
        return Verdict(*place, UNKNOWN, None, reason, orientation, None, True, reason)
    probs = probabilities(calibration, scores)
    label = label_of(probs)
    why = review_reasons(seen, probs, label)
    return Verdict(*place, label, scores, reason, orientation, probs, bool(why), "; ".join(why))


def classify_plots(net: Any, plots: Iterable[Any], *, fit: str = DEFAULT_FIT, batch_size: int = 256,
                   calibration: Any = None, sites: SiteAgreement | None = None) -> Iterator[tuple[Any, Verdict]]:
    """(plot, verdict) for every plot, in the order the plots come.

    ``net`` is switched to evaluation mode. Plots are taken ``batch_size`` at a
    time and scored per shape within the batch, so a long datalog never sits in
    memory whole. ``calibration`` is the model file's (None: the raw scores'
    own scale). With ``sites`` the plots of each datalog are held until its
    last one, for near-identical plots of different sites to agree."""
    if fit not in FITS:
        raise ValueError(f"unknown fit {fit!r}; choose one of {', '.join(FITS)}")
    if batch_size < 1:
        raise ValueError("batch_size must be at least 1")
    net.eval()
    scored = _scored(net, plots, fit, batch_size, calibration)
    if sites is not None:
        yield from sites(scored)
    else:
        for plot, _, _, v in scored:
            yield plot, v


def _scored(net: Any, plots: Iterable[Any], fit: str, batch_size: int,
            calibration: Any) -> Iterator[tuple[Any, Any, Any, Verdict]]:
    pending: list[Any] = []
    for plot in plots:
        pending.append(plot)
        if len(pending) >= batch_size:
            yield from _classify_batch(net, pending, fit, calibration)
            pending = []
    if pending:
        yield from _classify_batch(net, pending, fit, calibration)


def _classify_batch(net: Any, plots: Sequence[Any], fit: str,
                    calibration: Any) -> list[tuple[Any, Any, Any, Verdict]]:
    """(plot, canonical grid, geometry, verdict) per plot."""
    from .models import check_finite_scores, plot_name

    from .orientation import orient

    judged: list[tuple[Any, Any, Any, Verdict] | None] = [None] * len(plots)
    oriented = [orient(plot) for plot in plots]
    by_shape: dict[tuple[int, ...], list[int]] = {}
    for k, plot in enumerate(plots):
        grid = np.asarray(plot.grid)
        reason = _unfit_reason(grid)
        if reason:
            judged[k] = (plot, oriented[k].grid, None, _verdict(plot, None, reason, oriented[k].orientation))
        else:
            by_shape.setdefault(grid.shape, []).append(k)
    for members in by_shape.values():
        scores = _scores(net, [oriented[k].grid for k in members], fit)
        check_finite_scores(scores, lambda i: plot_name(plots[members[i]]))
        seen = geometries(np.stack([oriented[k].grid for k in members]))
        for k, s, g in zip(members, scores, seen):
            judged[k] = (plots[k], oriented[k].grid, g, _verdict(plots[k], s, "", oriented[k].orientation,
                                                                 calibration, g))
    return [entry for entry in judged if entry is not None]


# ---------------------------------------------------------------------------
# What a run reports


class Summary:
    """Counts per label and per site, the plots to review (with why) and then
    the other plots that are not plain Pass (the first ``keep`` of each, every
    one with ``keep=None``; the CSV has all), and the items whose sites disagree."""

    def __init__(self, keep: int | None = 40) -> None:
        self.keep = keep
        self.total = 0
        self.labels: Counter[str] = Counter()
        self.sites: dict[tuple[str, str], Counter[str]] = {}
        self.site_reviews: Counter[tuple[str, str]] = Counter()
        self.review: list[Verdict] = []
        self.review_count = 0
        self.notable: list[Verdict] = []
        self.notable_count = 0
        self.disagreements: list[str] = []
        # The grid's --label that no plot's label holds: no picture is drawn.
        self.unmatched_label: str | None = None
        self.lot_table: str | None = None  # what the run appended to the lot table

    def add(self, v: Verdict) -> None:
        self.total += 1
        self.labels[v.label] += 1
        self.sites.setdefault((v.datalog, v.site), Counter())[v.label] += 1
        if v.review:
            self.site_reviews[(v.datalog, v.site)] += 1
            self.review_count += 1
            if self.keep is None or len(self.review) < self.keep:
                self.review.append(v)
        elif v.label != "Pass":
            self.notable_count += 1
            if self.keep is None or len(self.notable) < self.keep:
                self.notable.append(v)

    def lines(self) -> list[str]:
        if not self.total:
            return ["no shmoo plot found"]
        out = [f"{self.total} plot(s) classified"]
        width = max(len(label) for label in self.labels)
        out.append("per label:")
        for label, n in sorted(self.labels.items(), key=lambda kv: (-kv[1], kv[0])):
            out.append(f"  {label:<{width}}  {n:>6}  {n / self.total:6.1%}")
        out.append("per site:")
        for (datalog, site), counts in self.sites.items():
            n = sum(counts.values())
            passed = counts.get("Pass", 0)
            unknown = counts.get(UNKNOWN, 0)
            tail = f", {unknown} unreadable" if unknown else ""
            out.append(f"  {visible(Path(datalog).name)} site {site or '(none)'}: {n} plot(s), {passed} plain Pass, "
                       f"{n - passed - unknown} other{tail}, {self.site_reviews[(datalog, site)]} for review")
        self._listing(out, f"for review ({self.review_count}):", self.review, self.review_count)
        self._listing(out, f"{'other plots ' if self.review_count else ''}not plain Pass ({self.notable_count}):",
                      self.notable, self.notable_count)
        if not self.review_count and not self.notable_count:
            out.append("every plot is plain Pass")
        if self.disagreements:
            out.append(f"sites disagree ({len(self.disagreements)} item(s)):")
            shown = self.disagreements[: self.keep]
            out += [f"  {visible(line)}" for line in shown]
            self._left_out(out, len(self.disagreements) - len(shown))
        return out

    @staticmethod
    def _left_out(out: list[str], count: int) -> None:
        if count > 0:
            out.append(f"  ... and {count} more (--all lists every one)")

    @classmethod
    def _listing(cls, out: list[str], heading: str, kept: Sequence[Verdict], count: int) -> None:
        if not count:
            return
        out.append(heading)
        for v in kept:
            what = f"{v.label}: {v.why}" if v.why else v.label if not v.reason else f"{v.label} ({v.reason})"
            out.append(f"  {visible(Path(v.datalog).name)} site {v.site} plot {v.plot} {v.rows}x{v.cols}: {what}"
                       f"  [{v.item.strip()}]")
        cls._left_out(out, count - len(kept))


class GridPicks:
    """The plots the grid picture shows: those of ``wanted`` when given, else the
    not-plain-Pass plots and plain Pass ones to fill up; plots to review first
    either way, ``limit`` at most."""

    def __init__(self, limit: int, wanted: str | None = None) -> None:
        self.limit = limit
        self.wanted = wanted
        self.review: list[tuple[np.ndarray, Verdict, Any]] = []
        self.first: list[tuple[np.ndarray, Verdict, Any]] = []
        self.filler: list[tuple[np.ndarray, Verdict, Any]] = []

    def add(self, plot: Any, v: Verdict) -> None:
        if len(self.review) >= self.limit:
            return
        if self.wanted is not None and not label_matches(v.label, self.wanted):
            return
        if v.review:
            chosen = self.review
        elif self.wanted is not None or v.label != "Pass":
            chosen = self.first
        else:
            chosen = self.filler
        if len(chosen) < self.limit:
            # The plot's words and axis lines, without its grid: titles and ticks need them.
            shown = SimpleNamespace(grid=np.array(plot.grid, copy=True),
                                    row_labels=tuple(getattr(plot, "row_labels", ())),
                                    axis=getattr(plot, "axis", None), heading=getattr(plot, "heading", None),
                                    pattern=getattr(plot, "pattern", None))
            chosen.append((shown.grid, v, shown))

    def picks(self) -> list[tuple[np.ndarray, Verdict, Any]]:
        return (self.review + self.first + self.filler)[: self.limit]


def save_grid(path: Path, picks: Sequence[tuple[Any, ...]], pyplot: Callable[[], Any],
              outputs: Outputs | None = None) -> int:
    """A PNG of the picked plots with their labels: green passes, red fails,
    grey neither. A pick is (grid, verdict), or (grid, verdict, plot) where
    the plot's axis values and pattern name are at hand. Returns the number of
    plots drawn."""
    from .axes import plot_axes
    from .figures import draw_panel, grid_figure, item_name, panel_title, save_figure

    plt = pyplot()
    count = len(picks)
    titles = []
    for grid, v, *plot in picks:
        name = item_name(v.item, getattr(plot[0], "pattern", None) if plot else None)
        titles.append(panel_title([name, f"{visible(Path(v.datalog).name)} site {v.site} #{v.plot} "
                                         f"({v.rows}x{v.cols})", v.label + (" (review)" if v.review else "")]))
    fig, axes = grid_figure(plt, count, titles)
    cmap = plt.get_cmap("RdYlGn").with_extremes(bad="#bbbbbb")
    for k, ax in enumerate(axes.flat):
        if k >= count:
            ax.set_visible(False)
            continue
        grid, v, *plot = picks[k]
        colour = "black" if v.label == "Pass" and not v.review else "firebrick"
        draw_panel(ax, grid, cmap, titles[k], colour, plot_axes(plot[0]) if plot else None)
    if not count:
        axes.flat[0].set_visible(True)
        axes.flat[0].set_axis_off()
        axes.flat[0].text(0.5, 0.5, "no plot to show", ha="center", va="center")
    fig.suptitle("triage: predicted labels (green passes, red fails, grey neither)", fontsize=10)
    save_figure(fig, path, outputs=outputs)
    plt.close(fig)
    return count


def write_csv_rows(fh: TextIO, header_of: Callable[[Any], Mapping[str, str]]) -> Callable[[Verdict], None]:
    """Writes the column names; returns the writer of a verdict's row, whose
    header fields ``header_of`` gives (it takes anything with a ``datalog``)."""
    writer = csv.writer(fh)
    writer.writerow(CSV_COLUMNS)
    return lambda v: writer.writerow(v.csv_row(header_of(v)))


# ---------------------------------------------------------------------------
# The command




def run_triage(
    model_path: Path,
    datalogs: Sequence[str | Path],
    settings_path: Path,
    sites: Sequence[str] | None = None,
    out_path: Path | None = None,
    grid_path: Path | None = None,
    label: str | None = None,
    grid_limit: int = 30,
    workbook: bool = False,
    interval_columns: int | None = None,
    out_dir: Path | None = None,
    fit: str = DEFAULT_FIT,
    list_all: bool = False,
    lot_table: Path | None = None,
) -> tuple[Summary, Path | None]:
    """Classifies every plot of the selected sites of the datalogs. Returns the
    summary (listing every plot not plain Pass with ``list_all``) and the
    workbook path (with ``workbook``). `out_path` may be `STDOUT`. With
    ``lot_table`` every plot's row is appended to the lot table in that folder."""
    from .errors import CliError, os_reason
    from .models import load_model, model_calibration
    from .selection import PlotSearch, site_lists
    from .settings import load_settings
    from .Source import Corvantis

    config = load_settings(settings_path)
    paths = [Path(p) for p in datalogs]
    if lot_table is not None:
        from .lot_table import check_directory

        check_directory(lot_table, "--lot-table", "triage")
    for out in (out_path, grid_path):
        if out is not None and out != STDOUT and out.is_dir():
            raise CliError(f"{out} is a directory; give a file name")
    refuse_inputs_as_outputs([("model file", model_path)] + [("datalog", p) for p in paths]
                             + [("settings file", settings_path)],
                             [("--out", None if out_path == STDOUT else out_path), ("--grid", grid_path)])
    names = [str(p) for p in paths]
    sheets = None
    if workbook:
        from .extraction import TriageWorkbook

        # Each datalog read once, as extract reads it: the scored plots and the
        # workbook's Sheet come from the same reading.
        sheets = TriageWorkbook(paths, settings_path, sites, out_dir)
        search = sheets.search
        stream = sheets.plots()
    else:
        search = PlotSearch("triage", config, settings_path)
        stream = search.plots(Corvantis.getKeyWordFromSettingFile(config), names, site_lists(sites, len(paths)))
    net, payload = load_model(model_path, scoring_only=True)
    calibration = model_calibration(payload, model_path)

    summary = Summary(None) if list_all else Summary()
    picks = GridPicks(grid_limit, label) if grid_path is not None else None
    try:
        book = _judge_and_write(net, stream, names, search, sheets, summary, picks, out_path, grid_path,
                                model_path, interval_columns, fit, calibration, lot_table)
    except OSError as exc:
        # Every datalog read is behind the search's one-line errors: this is one of the outputs.
        raise CliError(f"cannot write {visible(str(exc.filename or out_path))}: {os_reason(exc)}") from None
    return summary, book


def _judge_and_write(net: Any, stream: Iterable[Any], names: Sequence[str], search: Any, sheets: Any,
                     summary: Summary, picks: GridPicks | None, out_path: Path | None, grid_path: Path | None,
                     model_path: Path, interval_columns: int | None, fit: str, calibration: Any,
                     lot_table: Path | None = None) -> Path | None:
    """Scores the plots and writes the verdicts, the grid, the workbook and
    the lot table's new files: all of them appear, or none does. Returns the
    workbook's path."""
    from .errors import Progress
    from .figures import pyplot

    csv_file = None
    with written_together() as outputs:
        if out_path is not None:
            csv_file = outputs.table(out_path)
            write_row = write_csv_rows(csv_file, search.header_of)
        table = None
        if lot_table is not None:
            from .lot_table import LotTable

            table = LotTable(lot_table, "triage", outputs)
        with Progress("triage", "reading the datalogs") as progress:
            sites = SiteAgreement()
            verdicts = classify_plots(net, _counted(stream, names, progress), fit=fit, calibration=calibration,
                                      sites=sites)
            for plot, v in _scoring_named(verdicts, model_path):
                summary.add(v)
                if csv_file is not None:
                    write_row(v)
                if picks is not None:
                    picks.add(plot, v)
                if sheets is not None:
                    sheets.add(plot, v)
                if table is not None:
                    table.add(plot, search.header_of(plot), v)
        summary.disagreements = sites.disagreements
        search.finish()
        if table is not None:
            table.close()
            summary.lot_table = table.said()
        for datalog, site, line in search.unclosed:  # said by the search; listed as "?"
            reason = f"plot opened at line {line} never ends"
            v = Verdict(datalog, site, 0, "", line, 0, 0, math.nan, UNKNOWN, None, reason, "", None, True, reason)
            summary.add(v)
            if csv_file is not None:
                write_row(v)
        if picks is not None and grid_path is not None:
            if picks.wanted is not None and not picks.picks():
                summary.unmatched_label = picks.wanted
            else:
                save_grid(grid_path, picks.picks(), pyplot, outputs)
        # Last: the verdicts and the grid are not renamed into place unless the
        # workbook is complete too.
        book = sheets.write(interval_columns) if sheets is not None else None
    return book


def _scoring_named(verdicts: Iterator[tuple[Any, Verdict]], model_path: Path) -> Iterator[tuple[Any, Verdict]]:
    """The verdicts, a failure to score the plots said as one (what goes wrong
    in the reading is a one-line error already; the caller's writing is not caught here)."""
    from .errors import CliError

    try:
        yield from verdicts
    except ValueError as exc:
        raise CliError(f"cannot classify the plots with {model_path}: {exc}") from None


def _counted(stream: Iterable[Any], names: Sequence[str], progress: Any) -> Iterator[Any]:
    index = {name: k for k, name in enumerate(names, 1)}
    n = 0
    datalog = None
    for plot in stream:
        n += 1
        if plot.datalog != datalog or n % 100 == 0:
            datalog = plot.datalog
            progress.update(f"datalog {index.get(datalog, 0)}/{len(names)} {visible(Path(datalog).name)}: "
                            f"{n} plots read")
        yield plot
