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

What a datalog's bytes are read as (``read_datalog``): UTF-8 text; a datalog
that is not valid UTF-8 reads as Windows-1252 (every byte reads), and the
reading says from which line (``DatalogText.not_utf8_line``); ``encoding``
forces one codec instead. A datalog compressed with gzip, bzip2 or xz is
recognised by its first bytes and decompressed as it is read. Archives (tar,
zip), damaged or cut-short compressed data and binary data are refused.
"""

from __future__ import annotations

import bz2
import codecs
import contextlib
import lzma
import os
import queue
import re
import threading
import zlib
from collections.abc import Callable, Generator, Iterator, Sequence
from typing import Any
from dataclasses import dataclass, field

import numpy as np

from quorvane.Source import _plotreader

__all__ = ["Plot", "DatalogError", "DatalogText", "MAX_LINE", "read_datalog", "text_encoding", "text_pieces",
           "plots_in", "plots_of_lines", "read_plots",
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
    announces (see ``announced_sites``); the codec its bytes were read with
    (``codecs.lookup``'s name), the first line that is not UTF-8 where it was
    read as Windows-1252 instead (0: none), and its compression (None, "gzip",
    "bzip2" or "xz")."""

    path: str
    lines: list[str]
    sites: list[str]
    encoding: str = "utf-8"
    not_utf8_line: int = 0
    compression: str | None = None


def read_datalog(keywords: dict, datalog: str | os.PathLike,
                 progress: Callable[[float], None] | None = None, encoding: str | None = None) -> DatalogText:
    """Reads a datalog once, for everything a run asks of it: as UTF-8 text,
    or, where it is not valid UTF-8, all of it as Windows-1252; ``encoding``
    (a codec name) forces that codec. Gzip, bzip2 and xz data is decompressed
    as it is read. Refuses (``DatalogError``) bytes the forced codec cannot
    read, binary data, archives, damaged compressed data and a line longer
    than ``MAX_LINE`` characters, naming the line, before such a line is held
    whole. ``progress`` is told the share of the file read after each piece."""
    path = os.fspath(datalog)
    lines, used, not_utf8_line, compression = _read_lines(path, progress, encoding)
    return DatalogText(path, lines, _announced(lines, _markers(keywords)[1]), used, not_utf8_line, compression)


def _shown(path: str | bytes) -> str:
    from .extraction import visible

    return visible(os.fsdecode(path))


def text_encoding(name: str) -> str:
    """The name Python's codecs know the text encoding `name` by; ValueError
    for a name that is no codec or no text encoding (such as "base64")."""
    try:
        info = codecs.lookup(name)
    except LookupError:
        raise ValueError(f"unknown encoding {name!r}") from None
    if not getattr(info, "_is_text_encoding", True):
        raise ValueError(f"{name!r} is not a text encoding")
    return info.name


def _byte_in_windows_1252(byte: int) -> str:
    # Python's cp1252 leaves 0x81, 0x8D, 0x8F, 0x90 and 0x9D undefined; they
    # read as the same code points as in Latin-1 (U+0081 ...), so that every
    # byte of a datalog reads and none is lost.
    try:
        return bytes([byte]).decode("cp1252")
    except UnicodeDecodeError:
        return chr(byte)


_WINDOWS_1252 = "".join(_byte_in_windows_1252(b) for b in range(256))


def _decoder(encoding: str) -> Callable[..., str]:
    """``decode(data, final=False)`` of a fresh incremental decoder for a name
    ``text_encoding`` gives."""
    if encoding == "cp1252":  # one byte, one character: no state between pieces
        return lambda data, final=False: codecs.charmap_decode(data, "strict", _WINDOWS_1252)[0]
    return codecs.getincrementaldecoder(encoding)().decode


def _as_windows_1252(text: str) -> str:
    """Text read as UTF-8, read again as Windows-1252 from the same bytes."""
    return text if text.isascii() else _decoder("cp1252")(text.encode("utf-8"))


def _read_lines(path: str, progress: Callable[[float], None] | None = None,
                encoding: str | None = None) -> tuple[list[str], str, int, str | None]:
    """The lines of a datalog, the codec read with, the first line that is not
    UTF-8 (0: none, or a forced codec) and the compression."""
    used = text_encoding(encoding) if encoding is not None else "utf-8"
    decode = _decoder(used)
    not_utf8_line = 0
    lines: list[str] = []
    tail = ""  # the text after the last line end so far
    with open(path, "rb") as fh, contextlib.closing(_Content(fh, path)) as content:
        for chunk, share in content.pieces:
            try:
                text = tail + decode(chunk, not chunk)
            except UnicodeDecodeError as exc:
                tail = _cut_lines(lines, tail + exc.object[:exc.start].decode(used, "replace"), path, more=True)
                if encoding is not None:
                    raise DatalogError(f"datalog {content.shown()} is not {encoding} text "
                                       f"(line {len(lines) + 1})") from None
                # Not UTF-8: the whole datalog reads as Windows-1252, the lines before included.
                not_utf8_line, used, decode = len(lines) + 1, "cp1252", _decoder("cp1252")
                lines[:] = [_as_windows_1252(line) for line in lines]
                text = _as_windows_1252(tail) + decode(exc.object[exc.start:])
                if any("\0" in line for line in lines):
                    _refuse_binary(content, not_utf8_line)
            if not_utf8_line and "\0" in text:
                _refuse_binary(content, not_utf8_line)
            tail = _cut_lines(lines, text, path, more=bool(chunk))
            if not chunk:
                if tail:
                    lines.append(tail)
                return lines, used, not_utf8_line, content.compression
            if progress is not None:
                progress(share)
    raise AssertionError("the datalog's pieces end with an empty one")


def text_pieces(path: str | os.PathLike, encoding: str) -> Generator[str, None, None]:
    """A datalog's text in pieces, decompressed as ``read_datalog`` does and
    decoded with `encoding`, the codec a reading of it used
    (``DatalogText.encoding``)."""
    decode = _decoder(encoding)
    with open(path, "rb") as fh, contextlib.closing(_Content(fh, os.fspath(path))) as content:
        for chunk, _ in content.pieces:
            yield decode(chunk, not chunk)


def _refuse_binary(content: _Content, not_utf8_line: int) -> None:
    # Text in any 8-bit code page holds no NUL; a valid UTF-8 file with NUL
    # bytes (a preallocated log) is read, its NULs shown as visible marks.
    raise DatalogError(f"datalog {content.shown()} holds binary data, not text (bytes that are not UTF-8 from "
                       f"line {not_utf8_line} on, and NUL bytes)")


class _GzipDecompressor:
    """zlib's gzip member decompressor with the interface of bz2's and lzma's."""

    def __init__(self) -> None:
        self._zlib = zlib.decompressobj(16 + zlib.MAX_WBITS)
        self.needs_input = True

    @property
    def eof(self) -> bool:
        return self._zlib.eof

    @property
    def unused_data(self) -> bytes:
        return self._zlib.unused_data

    def decompress(self, data: bytes, max_length: int) -> bytes:
        out = self._zlib.decompress(self._zlib.unconsumed_tail + data, max_length)
        self.needs_input = not self._zlib.unconsumed_tail and len(out) < max_length
        return out


# Compressed datalogs, recognised by their first bytes: (signature, name, decompressor).
_COMPRESSIONS: tuple[tuple[bytes, str, Callable[[], Any]], ...] = (
    (b"\x1f\x8b\x08", "gzip", _GzipDecompressor),
    *((b"BZh" + str(level).encode(), "bzip2", bz2.BZ2Decompressor) for level in range(1, 10)),
    (b"\xfd7zXZ\x00", "xz", lzma.LZMADecompressor),
)
_DAMAGED = (OSError, zlib.error, lzma.LZMAError)  # what the three decompressors raise for data they cannot read


class _Content:
    """A datalog's bytes in ``pieces`` (bytes, share of the file read) of at
    most _CHUNK bytes, ending with an empty piece: decompressed where the first
    bytes say the file is compressed, in a thread of its own that keeps a few
    pieces ahead (the decompressors let other threads run meanwhile)."""

    def __init__(self, fh: Any, path: str) -> None:
        self._fh, self._path = fh, path
        self._size = max(os.fstat(fh.fileno()).st_size, 1)
        first = fh.read(_CHUNK)
        found = [(signature, name, start) for signature, name, start in _COMPRESSIONS if first.startswith(signature)]
        self.compression = found[0][1] if found else None
        self._stop = threading.Event()
        self._worker: threading.Thread | None = None
        self._ready: queue.Queue = queue.Queue(4)  # pieces decompressed ahead of the reading
        self.pieces = self._checked(self._plain(first) if not found else self._ahead(self._inflated(first, *found[0])))

    def shown(self) -> str:
        name = _shown(self._path)
        return f"{name} ({self.compression}-compressed)" if self.compression else name

    def _checked(self, pieces: Iterator[tuple[bytes, float]]) -> Iterator[tuple[bytes, float]]:
        first = True
        for piece, share in pieces:
            if first:
                first = False
                # Tar: "ustar" at offset 257 of its first header; zip: its local file header.
                kind = "tar" if piece[257:262] == b"ustar" else "zip" if piece.startswith(b"PK\x03\x04") else None
                if kind:
                    raise DatalogError(f"datalog {self.shown()} is a {kind} archive; archives are not read: "
                                       "unpack it and give the datalogs it holds")
            yield piece, share

    def _plain(self, chunk: bytes) -> Iterator[tuple[bytes, float]]:
        while chunk:
            yield chunk, min(self._fh.tell() / self._size, 1.0)
            chunk = self._fh.read(_CHUNK)
        yield b"", 1.0

    def _inflated(self, data: bytes, signature: bytes, name: str,
                  start: Callable[[], Any]) -> Iterator[tuple[bytes, float]]:
        """The decompressed bytes, member after member (``cat a.gz b.gz`` is one gzip file)."""
        decompressor = start()
        while not self._stop.is_set():
            if decompressor.eof:
                data = decompressor.unused_data
                if len(data) < len(signature):
                    data += self._fh.read(_CHUNK)
                if not data:
                    yield b"", 1.0
                    return
                if not data.startswith(signature):
                    raise DatalogError(f"datalog {self.shown()}: other data follows the end of the {name} data "
                                       "(a damaged file?)")
                decompressor = start()
            elif decompressor.needs_input and not data:
                data = self._fh.read(_CHUNK)
                if not data:
                    raise DatalogError(f"datalog {self.shown()} ends inside its {name} data: the file is cut "
                                       "short (an unfinished copy or download?)")
            try:
                piece = decompressor.decompress(data, _CHUNK)
            except _DAMAGED as exc:
                raise DatalogError(f"datalog {self.shown()}: its {name} data is damaged ({exc})") from None
            data = b""
            if piece:
                yield piece, min(self._fh.tell() / self._size, 1.0)

    def _ahead(self, pieces: Iterator[tuple[bytes, float]]) -> Iterator[tuple[bytes, float]]:
        def produce() -> None:
            try:
                for piece in pieces:
                    self._ready.put((piece, None))
            except BaseException as exc:  # raised in the reading thread
                self._ready.put((None, exc))

        self._worker = threading.Thread(target=produce, name="quorvane-decompress", daemon=True)
        self._worker.start()
        while True:
            piece, error = self._ready.get()
            if error is not None:
                raise error
            yield piece
            if not piece[0]:
                return

    def close(self) -> None:
        """Stops the decompressing thread before the file closes."""
        self._stop.set()
        while self._worker is not None and self._worker.is_alive():
            with contextlib.suppress(queue.Empty):
                self._ready.get(timeout=0.05)  # frees a thread waiting for room for its next piece


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
