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

import codecs
import os
import re
from collections.abc import Callable, Iterator, Sequence
from dataclasses import dataclass, field

import numpy as np

from quorvane.Source import _plotreader

__all__ = ["Plot", "DatalogError", "DatalogText", "MAX_LINE", "read_datalog", "plots_in", "plots_of_lines", "read_plots",
           "announced_sites", "count_plots", "site_order"]

#: The longest line a datalog may hold, in characters. Tester lines are a few
#: thousand characters at most; a file without line ends (a preallocated log
#: full of NUL bytes) would otherwise be held whole as one line, several times over.
MAX_LINE = 4 * 1024 * 1024
_CHUNK = 1 << 20  # bytes read at a time; well below MAX_LINE

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


class DatalogError(ValueError):
    """A datalog the reader refuses; the message names the file and the line."""


@dataclass(frozen=True, slots=True)
class DatalogText:
    """One reading of a datalog: its lines as text mode reads them (each
    ending in "\\n", "\\r\\n" and "\\r" read as "\\n") and the site texts it
    announces (see ``announced_sites``)."""

    path: str
    lines: list[str]
    sites: list[str]


def read_datalog(keywords: dict, datalog: str | os.PathLike,
                 progress: Callable[[float], None] | None = None) -> DatalogText:
    """Reads a datalog once, as UTF-8 text, for everything a run asks of it.
    Refuses (``DatalogError``) a byte that is not UTF-8 and a line longer than
    ``MAX_LINE`` characters, naming the line, before such a line is held
    whole. ``progress`` is told the share of the file read after each piece."""
    path = os.fspath(datalog)
    lines = _read_lines(path, progress)
    return DatalogText(path, lines, _announced(lines, _markers(keywords)[1]))


def _shown(path: str | bytes) -> str:
    from .extraction import visible

    return visible(os.fsdecode(path))


def _read_lines(path: str, progress: Callable[[float], None] | None = None) -> list[str]:
    decoder = codecs.getincrementaldecoder("utf-8")()
    lines: list[str] = []
    tail = ""  # the text after the last line end so far
    with open(path, "rb") as fh:
        size = max(os.fstat(fh.fileno()).st_size, 1)
        done = 0
        while True:
            chunk = fh.read(_CHUNK)
            try:
                text = tail + decoder.decode(chunk, final=not chunk)
            except UnicodeDecodeError as exc:
                _cut_lines(lines, tail + exc.object[:exc.start].decode("utf-8"), path, more=False)
                raise DatalogError(f"datalog {_shown(path)} is not UTF-8 text (line {len(lines) + 1})") from None
            tail = _cut_lines(lines, text, path, more=bool(chunk))
            if not chunk:
                if tail:
                    lines.append(tail)
                return lines
            done += len(chunk)
            if progress is not None:
                progress(min(done / size, 1.0))


def _cut_lines(lines: list[str], text: str, path: str, *, more: bool) -> str:
    """Appends the complete lines of `text` to `lines`; returns the rest. With
    `more`, a final "\\r" waits for the text that follows (it may begin "\\n")."""
    held = ""
    if "\r" in text:
        if more and text.endswith("\r"):
            held, text = "\r", text[:-1]
        text = text.replace("\r\n", "\n").replace("\r", "\n")
    pieces = text.splitlines(True)
    if len(pieces) != text.count("\n") + (not text.endswith("\n") and bool(text)):
        # str.splitlines also cuts at other characters (form feed, U+2028, ...)
        parts = text.split("\n")
        pieces = [part + "\n" for part in parts[:-1]] + ([parts[-1]] if parts[-1] else [])
    tail = (pieces.pop() if pieces and not pieces[-1].endswith("\n") else "") + held
    # Only the first line can hold text of earlier pieces, and only the rest can grow further.
    if pieces and len(pieces[0]) > MAX_LINE:
        _refuse_long_line(path, len(lines) + 1)
    lines.extend(pieces)
    if len(tail) > MAX_LINE:
        _refuse_long_line(path, len(lines) + 1)
    return tail


def _refuse_long_line(path: str, number: int) -> None:
    raise DatalogError(f"datalog {_shown(path)}: line {number} is longer than {MAX_LINE:,} characters, far "
                       "longer than any datalog line (a preallocated or binary file?)")


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


def _numbered_sites(datalog: DatalogText, label: str) -> list[str]:
    """The announced sites, refusing a text that is not a number: taken by
    default, it would mean the site label is set shorter than printed."""
    for text in datalog.sites:
        if site_order(text)[0]:
            number = next(i for i, line in enumerate(datalog.lines, 1) if line[:-1] == label + text)
            raise ValueError(f"{datalog.path}: line {number}: the site label {label!r} is followed by {text!r}, "
                             "not a site number")
    return datalog.sites


def announced_sites(keywords: dict, datalog: str | os.PathLike) -> list[str]:
    """The site texts a datalog announces, in numeric order: what follows the
    site label on the lines that start with it, up to the line end, as printed
    (leading zeros and trailing spaces kept, as the extraction compares them).
    Texts that are not numbers come last."""
    return read_datalog(keywords, datalog).sites


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
    _markers(keywords)
    site_lists = _site_lists(paths, sites)
    return _generate(keywords, paths, site_lists, unclosed)


def _generate(keywords: dict, paths: list, site_lists: list, unclosed: list | None) -> Iterator[Plot]:
    for path, chosen in zip(paths, site_lists):
        datalog = read_datalog(keywords, path)
        texts = chosen or _numbered_sites(datalog, keywords["SiteNum"]) or [""]
        found = plots_in(keywords, datalog, texts, unclosed)
        del datalog  # the plots are read: the lines go before the next datalog is read
        yield from found


def plots_in(keywords: dict, datalog: DatalogText, sites: Sequence[str],
             unclosed: list | None = None) -> Iterator[Plot]:
    """The plots of the given site texts (compared exactly as given) in one
    reading of a datalog, site by site in the order given. The text is read
    by the time this returns (the caller may let it go); the plots are built
    as they are taken. Plots still open at the end go to `unclosed` as
    ``(datalog, site, line)``, as ``read_plots`` does."""
    found = plots_of_lines(keywords, datalog.path, datalog.lines, sites, unclosed)
    return (plot for _, plot in found)


def plots_of_lines(keywords: dict, datalog: str, lines: list[str], sites: Sequence[str],
                   unclosed: list | None = None) -> Iterator[tuple[int, Plot]]:
    """``plots_in`` for a datalog already split into lines (line ends kept),
    each plot with the index of its site text in ``sites``; ``datalog`` is the
    name the plots carry."""
    texts = [str(s) for s in sites]
    per_site, still_open = _plotreader.read_plots(lines, texts, *_markers(keywords))
    # The start marker lines, taken now: the caller may let the text go.
    headings = [[lines[found[2] - 1].rstrip("\r\n") for found in plots] for plots in per_site]
    if unclosed is not None:
        unclosed.extend((datalog, texts[k], line) for k, line in still_open)
    return _built(datalog, texts, per_site, headings)


def _built(path: str, texts: list[str], per_site: list, headings: list[list[str]]) -> Iterator[tuple[int, Plot]]:
    for k, (site, found, heads) in enumerate(zip(texts, per_site, headings)):
        for number, ((item, pattern, line, labels, axis, cells, rows, cols), heading) in enumerate(
                zip(found, heads), 1):
            grid = np.frombuffer(cells, dtype=np.int8).reshape(rows, cols).copy()
            yield k, Plot(path, site, number, item, pattern, line, labels, axis, grid, heading)
