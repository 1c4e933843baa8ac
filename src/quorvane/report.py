"""The lot report: one HTML file that shows every plot of a lot.

``quorvane report DATALOG... -o report.html`` scores every plot as triage does
and writes one self-contained page: its styles, script and data are inside
the file, nothing is fetched, so it opens from disk on a machine without a
network. The page holds

* a lot summary: the datalogs with their header fields, sites, plot and
  verdict counts, and the items whose sites disagree;
* a table of every plot that sorts by any column and filters by text, verdict
  and review (plots to review first), and beside it the plots of the table's
  page drawn as SVG with their axis values and units; a row clicked shows its
  plot large, with its verdict, why it is on the review list and the datalog
  line of its start marker;
* per item and sweep, the composite pass-count map across sites and the Vmin
  curves of all sites in one panel.

The data go into the page as compact JSON (one record per plot,
``plot_records.plot_record``; columns stored side by side, repeated texts once)
and the page's script draws the SVGs of what is shown, a page at a time: a lot
of 10,000 plots stays a few MB and opens in about a second
(bench/bench_report.py). Colours, Vmin curves and composite counts are computed
here, by the modules that compute them for the workbook and the pictures.
"""

from __future__ import annotations

import html
import json
import math
from collections import Counter
from dataclasses import dataclass
from pathlib import Path
from types import SimpleNamespace
from typing import Any, Iterable, Sequence

import numpy as np

from . import __version__
from .axes import plot_axes
from .composite import CompositeStack, scale_colour
from .errors import CliError, os_reason
from .extraction import visible
from .figures import FAIL_COLOUR, NEITHER_COLOUR, PASS_COLOUR
from .headers import HEADER_FIELDS
# The Vmin pictures' grouping of plots into panels (item, sweep, run), so the page groups alike.
from .margins import PlotNumbers, _panels, analyse
from .outputs import refuse_inputs_as_outputs, written_together
from .plot_records import plot_record
from .symbols import LABEL_KEYS

__all__ = ["ReportRun", "page_data", "run_report", "write_page"]

_ASSETS = Path(__file__).with_name("data")

# A record's points (1 pass, 0 fail, -1 neither) one character each, "1", "0" and "-".
_POINT_CHARACTERS = bytes.maketrans(bytes([2, 1, 0]), b"10-")
# Lists of texts (axis values) are stored joined by this: it never stands in a printed value.
_LIST_SEPARATOR = "\t"


@dataclass(frozen=True)
class ReportRun:
    plots: int
    review: int
    out: Path


def _finite(value: float | None, digits: int = 6) -> float | None:
    if value is None or not math.isfinite(value):
        return None
    return float(f"{value:.{digits}g}")


def _points_text(points: list[int]) -> str:
    return (np.asarray(points, dtype=np.int8) + 1).tobytes().translate(_POINT_CHARACTERS).decode("ascii")


def _stored(key: str, values: list[Any]) -> list[Any]:
    """A field's values as the page stores them (all of one type, as the record builds them)."""
    if key == "points":
        return [_points_text(v) for v in values]
    sample = next((v for v in values if v is not None), None)
    if isinstance(sample, list):
        return [_LIST_SEPARATOR.join(v) for v in values]
    if isinstance(sample, bool):
        return [int(v) for v in values]
    if isinstance(sample, float):
        digits = 4 if key.startswith("p_") or key == "pass_fraction" else 6
        return [_finite(v, digits) for v in values]
    return values


def _columns(records: Sequence[dict[str, Any]]) -> dict[str, Any]:
    """The records side by side: per field a list, or where a field repeats a
    few texts (datalog, lot, item, axis values) the distinct texts once and an
    index per record."""
    columns: dict[str, Any] = {}
    for key in records[0] if records else ():
        values = _stored(key, [record[key] for record in records])
        if all(isinstance(v, str) for v in values):
            distinct = list(dict.fromkeys(values))
            if len(distinct) * 2 <= len(values):
                index = {text: k for k, text in enumerate(distinct)}
                columns[key] = {"texts": distinct, "index": [index[v] for v in values]}
                continue
        columns[key] = values
    return columns


def _curve(numbers: PlotNumbers) -> dict[str, Any]:
    return {"x": [_finite(float(v)) for v in numbers.x.values.tolist()],
            "vmin": [_finite(float(v)) for v in numbers.vmin().tolist()]}


def _item_panels(kept: Sequence[tuple[Any, PlotNumbers]], index: dict[int, int],
                 stack: CompositeStack) -> list[dict[str, Any]]:
    """Per test item and sweep: the composite map (pass counts and their
    colours, in the orientation of the item's first plot) and the Vmin curve
    of each plot (record index, x values, Vmin per column)."""
    maps = {(m.item, m.sweep, m.run): m for m in stack.maps()}
    panels = []
    for key, n, sweep, members in _panels(kept):
        m = maps.get((key, sweep, n + 1))
        first = members[0][1]
        panel: dict[str, Any] = {
            "item": key, "run": n + 1, "sweep": sweep,
            "x_title": first.x.title(first.x.dimension or "column") if first.x.from_datalog else "column (index)",
            "y_title": "Vmin " + (first.y.title(first.y.dimension or "row value") if first.y.from_datalog
                                  else "row (index)"),
            "curves": [{"record": index[id(plot)], **_curve(numbers)} for plot, numbers in members],
            # A Vmin on the lowest swept row means the real margin lies below the sweep.
            "lowest_swept": (_finite(float(first.y.values.min())) if first.y.from_datalog and len(first.y.values)
                             else None),
        }
        if m is not None and m.passes.size:
            y, x = plot_axes(SimpleNamespace(grid=m.passes, row_labels=m.row_labels, axis=m.axis,
                                             heading=m.heading))
            colours: dict[str, int] = {}
            palette_index: dict[tuple[int, int], int] = {}  # (passes, judged) -> index of its colour
            cells = []
            for count, judged in zip(m.passes.ravel().tolist(), m.judged.ravel().tolist()):
                if not judged:
                    cells.append(-1)
                    continue
                k = palette_index.get((count, judged))
                if k is None:
                    k = palette_index[(count, judged)] = colours.setdefault(scale_colour(count / judged), len(colours))
                cells.append(k)
            panel["composite"] = {
                "rows": int(m.passes.shape[0]), "cols": int(m.passes.shape[1]), "plots": m.plots,
                "passes": m.passes.ravel().tolist(), "judged": m.judged.ravel().tolist(),
                "palette": ["#" + c for c in colours], "cells": cells,
                "y_values": list(y.texts), "x_values": list(x.texts),
                "y_title": y.title(y.dimension or "row") if y.from_datalog else "row (index)",
                "x_title": x.title(x.dimension or "column") if x.from_datalog else "column (index)",
            }
        panels.append(panel)
    return panels


def _summary(records: Sequence[dict[str, Any]], disagreements: Sequence[str],
             unclosed: Sequence[tuple[str, str, int]]) -> dict[str, Any]:
    datalogs: dict[str, dict[str, Any]] = {}
    labels: Counter[str] = Counter()
    for record in records:
        entry = datalogs.get(record["datalog"])
        if entry is None:
            entry = datalogs[record["datalog"]] = {
                "datalog": record["datalog"], **{field: record[field] for field in HEADER_FIELDS},
                "sites": [], "plots": 0, "review": 0, "labels": Counter()}
        if record["site"] not in entry["sites"]:
            entry["sites"].append(record["site"])
        entry["plots"] += 1
        entry["review"] += int(record["review"])
        entry["labels"][record["label"]] += 1
        labels[record["label"]] += 1
    ordered = sorted(labels, key=lambda label: (-labels[label], label))
    return {
        "datalogs": [{**entry, "labels": dict(entry["labels"])} for entry in datalogs.values()],
        "labels": ordered, "label_counts": [labels[label] for label in ordered],
        "plots": len(records), "review": sum(int(r["review"]) for r in records),
        "disagreements": [visible(line) for line in disagreements],
        "unclosed": [f"{visible(datalog)} site {visible(site)}: the plot that starts at line {line} never ends"
                     for datalog, site, line in unclosed],
    }


def page_data(records: Sequence[dict[str, Any]], panels: Sequence[dict[str, Any]], summary: dict[str, Any],
              model: str) -> dict[str, Any]:
    return {
        "version": __version__, "model": model, "label_keys": list(LABEL_KEYS),
        "colours": {"pass": PASS_COLOUR, "fail": FAIL_COLOUR, "neither": NEITHER_COLOUR},
        "separator": _LIST_SEPARATOR, "count": len(records), "columns": _columns(records),
        "panels": list(panels), "summary": summary,
    }


def _script_json(data: dict[str, Any]) -> str:
    """JSON that can stand inside a <script> element: no "</" closes it early."""
    text = json.dumps(data, separators=(",", ":"), ensure_ascii=False, allow_nan=False)
    return text.replace("</", "<\\/").replace("\u2028", "\\u2028").replace("\u2029", "\\u2029")


def write_page(out: Any, data: dict[str, Any], title: str) -> None:
    """The page, written to the text file ``out``."""
    style = (_ASSETS / "report.css").read_text(encoding="utf-8")
    script = (_ASSETS / "report.js").read_text(encoding="utf-8")
    out.write(f'<!DOCTYPE html>\n<html lang="en"><head><meta charset="utf-8">'
              f'<meta name="viewport" content="width=device-width, initial-scale=1"><link rel="icon" href="data:,">'
              f"<title>{html.escape(title)}</title><style>{style}</style></head><body>"
              f'<script type="application/json" id="report-data">')
    out.write(_script_json(data))
    out.write(f"</script><script>{script}</script></body></html>\n")


def _title(records: Sequence[dict[str, Any]]) -> str:
    lots = list(dict.fromkeys(r["lot"] for r in records if r["lot"]))
    return "quorvane report: " + (f"lot {', '.join(lots[:3])}" + (" ..." if len(lots) > 3 else "") if lots
                                  else f"{len(records)} plots")


def collect(net: Any, calibration: Any, plots: Iterable[Any], search: Any, at_x: float | None,
            at_y: float | None, model_path: Path) -> tuple[list[dict[str, Any]], list[dict[str, Any]], list[str]]:
    """(records, item panels, site disagreements) of the plots, scored by ``net``."""
    from .review import SiteAgreement
    from .triage import _scoring_named, classify_plots

    sites = SiteAgreement()
    records: list[dict[str, Any]] = []
    kept: list[tuple[Any, PlotNumbers]] = []
    index: dict[int, int] = {}
    stack = CompositeStack()
    verdicts = classify_plots(net, plots, calibration=calibration, sites=sites)
    for plot, verdict in _scoring_named(verdicts, model_path):
        numbers = analyse(plot)
        index[id(plot)] = len(records)
        records.append(plot_record(plot, search.header_of(plot), verdict, numbers, at_x=at_x, at_y=at_y))
        kept.append((plot, numbers))
        stack.add(plot)
    return records, _item_panels(kept, index, stack), sites.disagreements


def run_report(datalogs: Sequence[str | Path], settings_path: Path, sites: Sequence[str] | None, out: Path,
               model_path: Path, at_x: float | None = None, at_y: float | None = None) -> ReportRun:
    """Scores every plot of the selected sites with the model and writes the page to ``out``."""
    from .models import load_model, model_calibration
    from .selection import plot_source
    from .sweeps import warn_several_sweeps

    if out.is_dir():
        raise CliError(f"{out} is a directory; give a file name such as report.html")
    refuse_inputs_as_outputs([("model file", model_path)] + [("datalog", Path(p)) for p in datalogs]
                             + [("settings file", settings_path)], [("-o", out)])
    search, plots = plot_source("report", datalogs, settings_path, sites)
    net, payload = load_model(model_path, scoring_only=True)
    calibration = model_calibration(payload, model_path)
    records, panels, disagreements = collect(net, calibration, plots, search, at_x, at_y, model_path)
    search.finish()
    warn_several_sweeps("report", ((p["item"], p["sweep"]) for p in panels),
                        "one composite map and Vmin panel per sweep")
    summary = _summary(records, disagreements, search.unclosed)
    data = page_data(records, panels, summary, visible(model_path.name))
    try:
        with written_together() as outputs:
            write_page(outputs.text(out), data, _title(records))
    except OSError as exc:
        raise CliError(f"cannot write {visible(str(exc.filename or out))}: {os_reason(exc)}") from None
    return ReportRun(len(records), summary["review"], out)
