"""Shmoo plots of tester datalogs as Python objects.

`read_plots` finds the plots with the same recognition rules as the workbook
extraction (``Corvantis.getDatalogInfo``): item lines, the selected site's line,
the plot start and end markers, "VBT error" lines ignored, blank lines dropped,
and the pass and fail expressions of the settings file. Each datalog is read
once, in one pass, whatever the number of sites selected in it.

What a plot holds:

- the *point rows*: plot lines with at least one point token (every token after
  the first) that the pass or fail expression matches. ``grid`` holds their
  points as printed, row 0 the first printed row: 1 pass, 0 fail, -1 neither.
  A point token matched by both expressions is a fail, as in the workbook. A
  token matched by neither (a tester's "?" or "-" for an untested point) is -1,
  and so is the padding of rows shorter than the widest row: the grid keeps the
  printed columns instead of shifting later points to the left.
- ``row_labels``: the first token of each point row.
- ``axis``: all tokens of the axis line, when the plot has one: the last line
  between the start marker and the end marker with two or more tokens and no
  pass or fail point, else the end marker line when it carries values (such as
  ``X-Axis 10ns 11ns ...``), as printed. Which token stands above which
  point column follows from the counts (``quorvane.axes.split_axis_line``):
  a line of bare numbers ("400 450 500") may give one per column, with
  nothing above the row labels.
- ``item``: the item line that opened the plot's item (without line end).
- ``pattern``: the line printed between the item's site line and the start
  marker (such as ``Pattern: march_c_0``); without one, the start marker line,
  which carries the pattern name on some testers (``Shmoo: ... pattern x``).
  None only when the keyword table's pattern-name text matches no such line.
- ``line``: the 1-based line number of the start marker line.
- ``heading``: the start marker line itself (without line end), which names
  the axes on many testers (``Shmoo: VDD(V) vs Freq(MHz)``); None for plots
  made elsewhere.

The start marker line is the plot's title, never a point row. Lines of spaces
inside a plot are dropped.
"""

from __future__ import annotations

import os
import re
from collections.abc import Iterator, Sequence
from dataclasses import dataclass, field

import numpy as np

from quorvane.Source import _plotreader

__all__ = ["Plot", "read_plots", "plots_of_lines", "announced_sites", "count_plots", "site_order"]

# Keyword-table entries the reader uses: (entry, is a regular expression).
_MARKERS = (("Item", True), ("SiteNum", False), ("PatName", False), ("PlotStart", False),
            ("PlotEnd", False), ("PassSymbol", True), ("FailSymbol", True))


@dataclass(frozen=True, slots=True)
class Plot:
    """One shmoo plot of one (datalog, site) pair; see the module text."""

    datalog: str
    site: str
    plot: int
    item: str
    pattern: str | None
    line: int
    row_labels: tuple[str, ...]
    axis: tuple[str, ...] | None
    grid: np.ndarray = field(repr=False, compare=False)
    heading: str | None = None

    @property
    def rows(self) -> int:
        return int(self.grid.shape[0])

    @property
    def cols(self) -> int:
        return int(self.grid.shape[1])

    @property
    def pass_fraction(self) -> float:
        """Share of pass among the pass and fail points (0.0 without any)."""
        passes = int(np.count_nonzero(self.grid == 1))
        points = passes + int(np.count_nonzero(self.grid == 0))
        return passes / points if points else 0.0


def _markers(keywords: dict) -> tuple:
    values = []
    for key, is_expression in _MARKERS:
        try:
            value = keywords[key]
        except KeyError:
            raise KeyError(f"the keyword table has no {key!r} entry; build it with "
                           f"Corvantis.getKeyWordFromSettingFile") from None
        if not isinstance(value, str):
            raise TypeError(f"keyword table entry {key!r} must be a text, not {type(value).__name__}")
        if is_expression:
            try:
                value = re.compile(value).match
            except re.error as exc:
                raise ValueError(f"keyword table entry {key!r} is not a valid regular expression "
                                 f"({value!r}: {exc})") from None
        values.append(value)
    return tuple(values)


def _read_lines(path: str) -> list[str]:
    with open(path, encoding="utf-8") as f:
        return f.readlines()


def site_order(text: str) -> tuple[int, int, str]:
    """Sort key of site texts: numbers in numeric order ("07" next to "7"),
    then texts that are not numbers."""
    try:
        return (0, int(text), text)
    except ValueError:
        return (1, 0, text)


def printed_spelling(text: str, announced: Sequence[str]) -> str | None:
    """The one announced site text that names the same number as `text` (the
    datalog prints site 5 as "05"), or None when there is no such single text."""
    number = site_order(text)
    same = [s for s in announced if number[0] == 0 and site_order(s)[:2] == number[:2]]
    return same[0] if len(same) == 1 else None


def _announced(lines: list[str], label: str) -> list[str]:
    return sorted(_plotreader.announced_sites(lines, label), key=site_order)


def _numbered_sites(lines: list[str], label: str, datalog: str) -> list[str]:
    """The announced sites, refusing a text that is not a number: taken by
    default, it would mean the site label is set shorter than printed."""
    sites = _announced(lines, label)
    for text in sites:
        if site_order(text)[0]:
            number = next(i for i, line in enumerate(lines, 1) if line[:-1] == label + text)
            raise ValueError(f"{datalog}: line {number}: the site label {label!r} is followed by {text!r}, "
                             "not a site number")
    return sites


def announced_sites(keywords: dict, datalog: str | os.PathLike) -> list[str]:
    """The site texts a datalog announces, in numeric order: what follows the
    site label on the lines that start with it, up to the line end, as printed
    (leading zeros and trailing spaces kept, as the extraction compares them).
    Texts that are not numbers come last."""
    path = os.fspath(datalog)
    return _announced(_read_lines(path), _markers(keywords)[1])


def count_plots(keywords: dict, lines: list[str], sites: Sequence[str]) -> tuple[list[int], list[tuple[str, int]]]:
    """For datalog text already split into lines (line ends kept): the number of
    complete plots of each site text, and (site, start line) of each plot still
    open at the end. The extraction's check of a run before it writes."""
    texts = [str(s) for s in sites]
    counts, still_open = _plotreader.count_plots(lines, texts, *_markers(keywords))
    return counts, [(texts[k], line) for k, line in still_open]


def _site_lists(datalogs: Sequence[str], sites: Sequence[Sequence[str]] | None) -> list[list[str] | None]:
    if sites is None:
        return [None] * len(datalogs)
    if isinstance(sites, str):
        raise TypeError("sites must hold one list of site texts per datalog, not a text")
    sites = list(sites)
    if len(sites) > len(datalogs):
        raise ValueError(f"sites holds {len(sites)} lists for {len(datalogs)} datalogs; give one list per datalog")
    result: list[list[str] | None] = []
    for entry in sites:
        if isinstance(entry, str):
            raise TypeError(f"each entry of sites must be a list of site texts, not the text {entry!r}")
        texts = [str(s) for s in entry]
        result.append(texts or None)  # an empty list: every announced site
    return result + [None] * (len(datalogs) - len(result))


def read_plots(keywords: dict, datalogs: Sequence[str | os.PathLike],
               sites: Sequence[Sequence[str]] | None = None, *,
               unclosed: list | None = None) -> Iterator[Plot]:
    """Yields every plot of the selected (datalog, site) pairs, in the order the
    extraction numbers the pairs: datalog by datalog, and within a datalog site
    by site in the order of its list.

    keywords: the table of ``Corvantis.getKeyWordFromSettingFile``.
    sites: one list of site texts per datalog; None, a missing or an empty list
    takes every site the datalog announces (see ``announced_sites``) (a
    datalog that announces none is read as one pair with the empty site text,
    as the extraction does). Site texts are compared exactly as given.
    unclosed: when given, each plot still open at the end of a datalog is
    appended to it as ``(datalog, site, line)`` (line: its start marker line).
    Such a plot is not yielded, as the extraction does not write it.

    Each datalog is read when the previous one is done, so memory does not
    grow with the number of datalogs.
    """
    if isinstance(datalogs, (str, bytes, os.PathLike)):
        raise TypeError("datalogs must be a sequence of paths, not a single path")
    paths = [os.fspath(p) for p in datalogs]
    markers = _markers(keywords)
    site_lists = _site_lists(paths, sites)
    return _generate(markers, paths, site_lists, unclosed)


def _generate(markers: tuple, paths: list, site_lists: list, unclosed: list | None) -> Iterator[Plot]:
    for path, chosen in zip(paths, site_lists):
        lines = _read_lines(path)
        site_texts = chosen if chosen is not None else (_numbered_sites(lines, markers[1], path) or [""])
        found = _site_plots(markers, path, lines, site_texts, unclosed)
        del lines
        for _, plot in found:
            yield plot


def plots_of_lines(keywords: dict, datalog: str, lines: list[str], sites: Sequence[str],
                   unclosed: list | None = None) -> Iterator[tuple[int, Plot]]:
    """(index in ``sites``, plot) of every plot of the given site texts in a
    datalog already split into lines (line ends kept), site by site, as
    ``read_plots`` finds them; ``datalog`` is the name the plots carry. The
    lines are read before this returns: the caller may drop them."""
    return _site_plots(_markers(keywords), datalog, lines, [str(s) for s in sites], unclosed)


def _site_plots(markers: tuple, path: str, lines: list[str], site_texts: list[str],
                unclosed: list | None) -> Iterator[tuple[int, Plot]]:
    per_site, still_open = _plotreader.read_plots(lines, site_texts, *markers)
    # The start marker lines, taken now: the caller may let the text go.
    headings = [[lines[found[2] - 1].rstrip("\r\n") for found in plots] for plots in per_site]
    if unclosed is not None:
        unclosed.extend((path, site_texts[k], line) for k, line in still_open)
    return _as_plots(path, site_texts, per_site, headings)


def _as_plots(path: str, site_texts: list[str], per_site: list,
              headings: list[list[str]]) -> Iterator[tuple[int, Plot]]:
    for k, (site, found, heads) in enumerate(zip(site_texts, per_site, headings)):
        for number, ((item, pattern, line, labels, axis, cells, rows, cols), heading) in enumerate(
                zip(found, heads), 1):
            grid = np.frombuffer(cells, dtype=np.int8).reshape(rows, cols).copy()
            yield k, Plot(path, site, number, item, pattern, line, labels, axis, grid, heading)
