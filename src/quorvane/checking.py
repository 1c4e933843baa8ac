"""``quorvane check``: what a settings file reads in a datalog, to write one.

For each datalog: how it was read (codec, compression), the header fields,
the sites it prints, the plots found per site and per test item with their
sizes and axes, how many plots' axis values could not be read, and the first
plot as the kit reads it (axes with units, orientation, its points). The
search's own warnings and its one-line failure (no plot found, naming the
markers) are those of every datalog command.
"""

from __future__ import annotations

import os
from collections import Counter
from pathlib import Path
from typing import Any, Callable, Sequence

import numpy as np

from .extraction import visible
from .headers import HEADER_FIELDS

_SYMBOLS = {1: "P", 0: ".", -1: "?"}
_SHOWN_COLUMNS = 41  # points of the first plot's rows shown; wider rows are cut with "..."


def _axis_text(axis: Any, count: int, what: str) -> str:
    if not axis.from_datalog:
        return f"{count} {what}, values NOT read (numbered 1..{count})"
    name = f"{axis.quantity} " if axis.quantity else ""
    unit = f" {axis.unit}" if axis.unit else " (no unit)"
    return f"{name}{axis.texts[0]}..{axis.texts[-1]}{unit} ({count} {what})"


def _first_plot_lines(plot: Any) -> list[str]:
    from .axes import plot_axes, split_axis_line
    from .orientation import orient

    y, x = plot_axes(plot)
    grid = np.asarray(plot.grid)
    counts = Counter(int(v) for v in grid.ravel().tolist())
    lines = [f"  first plot: site {plot.site or '-'}, plot {plot.plot}, line {plot.line}: {visible(plot.item.strip())}",
             f"    rows:    {_axis_text(y, plot.rows, 'rows')}",
             f"    columns: {_axis_text(x, plot.cols, 'columns')}",
             f"    orientation: {orient(plot).orientation}; points: {counts[1]} pass, {counts[0]} fail"
             + (f", {counts[-1]} neither (untested)" if counts[-1] else "")]
    width = max((len(label) for label in plot.row_labels), default=0)
    for label, row in zip(plot.row_labels, grid):
        points = " ".join(_SYMBOLS[int(v)] for v in row[:_SHOWN_COLUMNS])
        lines.append(f"    {visible(label):>{width}}  {points}{' ...' if len(row) > _SHOWN_COLUMNS else ''}")
    split = split_axis_line(plot.axis, plot.cols)
    if split is not None:
        lines.append(f"    {' '.join(split[0]):>{width}}  {' '.join(split[1][:_SHOWN_COLUMNS])}")
    return lines


def check_lines(datalogs: Sequence[str | Path], settings_path: Path, sites: Sequence[str] | None,
                say: Callable[[str], None]) -> int:
    """Says, datalog by datalog, what the settings read in it; returns the number of plots."""
    from .axes import plot_axes
    from .selection import plot_source

    search, plots = plot_source("check", datalogs, settings_path, sites,
                                nothing_written="where the markers match is listed above")
    current: str | None = None
    per_site: Counter[str] = Counter()
    per_item: dict[str, tuple[int, set[str]]] = {}  # item: (plots, sizes)
    unread = 0
    first: Any = None

    def close() -> None:
        if current is None:
            return
        header = search.headers.get(current, {})
        named = [f"{field} {header[field]}" for field in HEADER_FIELDS if header.get(field)]
        say(f"{visible(os.fsdecode(current))}:")
        say(f"  header: {', '.join(named) if named else 'no field found (see keyword_lot ... in the settings)'}")
        say(f"  plots: {sum(per_site.values())} ("
            + ", ".join(f"site {site or '-'}: {n}" for site, n in per_site.items()) + ")")
        say(f"  items: {len(per_item)}")
        for item, (count, sizes) in per_item.items():
            say(f"    {visible(item)}: {count} plot(s), {', '.join(sorted(sizes))}")
        if unread:
            say(f"  {unread} plot(s) with axis values not read: the row labels are not numbers with one unit, or "
                "the axis line does not hold one number per point column")
        if first is not None:
            for line in _first_plot_lines(first):
                say(line)

    for plot in plots:
        if plot.datalog != current:
            close()
            current, per_site, per_item, unread, first = plot.datalog, Counter(), {}, 0, plot
        per_site[plot.site] += 1
        count, sizes = per_item.get(" ".join(plot.item.split()), (0, set()))
        sizes.add(f"{plot.rows} x {plot.cols}")
        per_item[" ".join(plot.item.split())] = (count + 1, sizes)
        y, x = plot_axes(plot)
        unread += not (y.from_datalog and x.from_datalog)
    close()
    if search.total == 0:
        for path in datalogs:
            for line in marker_lines(search.config, path):
                say(line)
    return search.finish()


def marker_lines(config: Any, path: str | Path) -> list[str]:
    """Where each marker of the settings matches in a datalog: for a
    datalog in which no plot was found."""
    import re

    from .selection import read_checked
    from .Source import Corvantis

    lines = read_checked(Corvantis.getKeyWordFromSettingFile(config), path).lines
    item = re.compile(config["keyword_item"])
    tests = (("keyword_item", "matches the start of", lambda line: item.match(line) is not None),
             ("keyword_site", "starts", lambda line: line.startswith(config["keyword_site"])),
             ("keyword_start", "starts (spaces aside)", lambda line: line.strip().startswith(config["keyword_start"])),
             ("keyword_end", "is in", lambda line: config["keyword_end"] in line))
    said = [f"{visible(os.fsdecode(path))}: no plot found; where the markers match:"]
    for key, how, test in tests:
        found = [number for number, line in enumerate(lines, 1) if test(line)]
        where = (f"{len(found)} line(s), first: line {found[0]}" if found else "no line")
        said.append(f"  {key} {config[key]!r} {how} {where}")
    said.append("  a plot is read from an item line, then its site's line, then the start marker, up to the end marker")
    return said
