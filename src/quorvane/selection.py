"""Which plots a datalog command reads, and what it says about them.

Every datalog command (extract, margins, export, triage) takes ``--sites`` by
one rule: a site asked for is looked up as the datalog prints it (asked 5,
printed "05": read as "05", with a warning), a site the datalog does not print
is one warning naming the sites it does print, and no list takes every site
the datalog prints. A run that finds no plot at all fails with the reason: the
sites missing, the plots that never end, or the markers of the settings.
"""

from __future__ import annotations

import os
from collections import Counter
from pathlib import Path
from typing import Any, Callable, Iterator, Mapping, Sequence

from .errors import CliError, check_regular_file, os_reason, warn
from .extraction import site_label, visible
from .headers import HeaderFields, empty_header, header_expressions, read_header
from .plots import (DatalogError, DatalogText, Plot, plots_in, printed_spelling, read_datalog, site_order,
                    text_encoding)

_encoding: str | None = None  # --encoding of this run


def set_datalog_encoding(name: str | None) -> None:
    """The codec every datalog of this run is read with (--encoding); None:
    UTF-8, or Windows-1252 for a datalog that is not UTF-8."""
    global _encoding
    if name is not None:
        try:
            text_encoding(name)
        except ValueError as exc:
            raise CliError(f"--encoding: {exc}; give a codec name such as utf-8, cp1252 or latin-1") from None
    _encoding = name


def datalog_encoding() -> str | None:
    return _encoding


def not_utf8_warning(path: str | os.PathLike, line: int) -> str:
    """The warning for a datalog read as Windows-1252."""
    return (f"{visible(os.fsdecode(path))} is not UTF-8 text (line {line} is the first that is not); read it as "
            "Windows-1252 (--encoding NAME reads it with another codec)")


def site_lists(sites: Sequence[str] | None, count: int) -> list[list[str]]:
    """The site texts --sites names for each of `count` datalogs; an empty
    list takes every site that datalog prints."""
    joined = site_label(sites, count)
    labels = joined.split(";") if joined else []
    labels += [""] * (count - len(labels))
    return [label.split(",") if label else [] for label in labels]


def read_checked(keywords: dict[str, Any], path: str | os.PathLike,
                 progress: Callable[[float], None] | None = None) -> DatalogText:
    """``plots.read_datalog`` with this run's --encoding, its refusals and read
    failures as one-line errors."""
    try:
        return read_datalog(keywords, path, progress, _encoding)
    except DatalogError as exc:
        raise CliError(str(exc)) from None
    except OSError as exc:
        raise CliError(f"cannot read datalog {visible(os.fsdecode(path))}: {os_reason(exc)}") from None


def plot_source(command: str, datalogs: Sequence[str | Path], settings_path: Path, sites: Sequence[str] | None,
                quiet: bool = False, nothing_written: str = "nothing written") -> tuple[PlotSearch, Iterator[Plot]]:
    """The run's plot search and its plots, from the command line's arguments."""
    from .settings import load_settings
    from .Source import Corvantis

    config = load_settings(settings_path)
    asked = site_lists(sites, len(datalogs))
    search = PlotSearch(command, config, settings_path, nothing_written, quiet=quiet)
    return search, search.plots(Corvantis.getKeyWordFromSettingFile(config), datalogs, asked)


class PlotSearch:
    """One run's look for plots, datalog by datalog: ``choose`` the sites of
    each, tell what was ``found`` in them, then ``finish``: warn about pairs
    without plots, plots cut short and sites spelled otherwise or missing, or,
    when nothing at all was found, fail with the reason. ``plots`` does all of
    it for a command that streams the plots."""

    def __init__(self, command: str, config: Mapping[str, Any], settings_path: Path,
                 nothing_written: str = "nothing written", quiet: bool = False) -> None:
        self.command = command
        self.config = config
        self.settings_path = settings_path
        self.nothing_written = nothing_written
        self.quiet = quiet
        self.total = 0
        self.names: list[str] = []
        self.chosen: list[list[str]] = []  # per datalog, the site texts read
        self.unclosed: list[tuple[str, str, int]] = []  # (datalog, site, start line)
        self._notes: list[tuple[str, bool]] = []  # (warning, is a reason why nothing was found)
        self._blind = False  # a pair the markers found nothing in
        self._header_expressions = header_expressions(config, settings_path)
        self.headers: dict[str, HeaderFields] = {}  # per datalog name as the plots carry it

    def note_header(self, name: str, lines: Sequence[str]) -> None:
        """Reads the header fields of a datalog's lines, kept under ``name``."""
        self.headers[name] = read_header(self._header_expressions, lines, self.config["keyword_start"])

    def header_of(self, plot: Plot) -> HeaderFields:
        """The header fields of the datalog a plot comes from (empty fields
        for a datalog this search did not read)."""
        return self.headers.get(plot.datalog) or empty_header()

    def _note(self, text: str, reason: bool = False) -> None:
        self._notes.append((text, reason))

    def _warn(self, text: str) -> None:
        if not self.quiet:
            warn(self.command, text)

    def choose(self, path: str | os.PathLike, printed: Sequence[str], asked: Sequence[str]) -> list[str]:
        """The site texts to read in a datalog that prints the sites `printed`:
        those `asked`, each as the datalog spells it, or every printed one."""
        name = visible(os.fsdecode(path))
        self.names.append(name)
        label = self.config["keyword_site"]
        if not asked:
            chosen = self._every_printed(name, printed)
        else:
            chosen = list(asked)
            for index, text in enumerate(asked):
                if not text or text in printed:
                    continue
                spelled = printed_spelling(text, printed)
                if spelled is not None:
                    # Sites are compared as printed: take the datalog's spelling of the number.
                    self._note(f"{name} prints site {text} as {visible(label + spelled)!r}, not "
                               f"{visible(label + text)!r}; reading that site")
                    chosen[index] = spelled
                elif printed:
                    self._note(f"{name} announces no site {text!r}; the sites it prints are "
                               f"{', '.join(repr(visible(s)) for s in printed)}", reason=True)
                else:
                    self._note(f"{name} announces no site at all (no line starts with {label!r})", reason=True)
        self.chosen.append(chosen)
        return chosen

    def _every_printed(self, name: str, printed: Sequence[str]) -> list[str]:
        """Every site the datalog prints, as printed; a site text holding a list
        separator cannot be extracted and is left out, by every command alike."""
        usable = []
        for text in printed:
            if site_order(text)[0]:
                self._warn(f"{name} prints site {visible(text)!r}, which is not a number; is keyword_site "
                           "shorter than the datalog's site label?")
            if "," in text or ";" in text:
                self._warn(f"{name} prints a site as {visible(text)!r}; a site text with ',' or ';' cannot be "
                           "extracted and is left out")
            else:
                usable.append(text)
        return usable or [""]

    def found(self, path: str | os.PathLike, printed: Sequence[str], chosen: Sequence[str],
              counts: Mapping[str, int], unclosed: Sequence[tuple[str, int]]) -> None:
        """What a datalog held: the complete plots per site text and the
        (site text, start line) of each plot still open at its end."""
        name = visible(os.fsdecode(path))
        label = self.config["keyword_site"]
        cut_short = {text for text, _ in unclosed}
        for text in chosen:
            count = counts.get(text, 0)
            self.total += count
            if count == 0 and (not text or text in printed):
                self._note(f"{name}: no plot of site {visible(text)!r}" if text else
                           f"{name}: no plot (it announces no site: no line starts with {label!r})")
                self._blind = self._blind or text not in cut_short
        for text, line in unclosed:
            if text in chosen:
                self.unclosed.append((os.fsdecode(path), text, line))
                self._note(f"{name} line {line}: the plot of site {visible(text)!r} that starts here never "
                           f"ends (no {self.config['keyword_end']!r} line follows; is the datalog cut short?)",
                           reason=True)

    def plots(self, keywords: dict[str, Any], datalogs: Sequence[str | os.PathLike],
              asked: Sequence[Sequence[str]]) -> Iterator[Plot]:
        """Every plot of the chosen sites, datalog by datalog, each datalog
        read once when the one before is done. Anything but a regular file is
        refused here, before the first datalog is read."""
        for path in datalogs:
            check_regular_file(Path(path), "datalog")
        return self._plots(keywords, datalogs, asked)

    def _plots(self, keywords: dict[str, Any], datalogs: Sequence[str | os.PathLike],
               asked: Sequence[Sequence[str]]) -> Iterator[Plot]:
        for path, wanted in zip(datalogs, asked):
            datalog = read_checked(keywords, path)
            if datalog.not_utf8_line:
                self._warn(not_utf8_warning(path, datalog.not_utf8_line))
            self.note_header(datalog.path, datalog.lines)
            printed = datalog.sites
            chosen = self.choose(path, printed, wanted)
            unclosed: list[tuple[str, str, int]] = []
            plots = plots_in(keywords, datalog, chosen, unclosed)
            del datalog  # its plots are read: the lines go before the next datalog is read
            counts: Counter[str] = Counter()
            for plot in plots:
                counts[plot.site] += 1
                yield plot
            self.found(path, printed, chosen, counts, [(site, line) for _, site, line in unclosed])

    def finish(self) -> int:
        """Warns what the run should know and returns the number of plots;
        refuses a run that found none, naming why."""
        if self.total:
            for text, _ in self._notes:
                self._warn(text)
            return self.total
        reasons = [text for text, reason in self._notes if reason]
        message = f"no shmoo plot found in {', '.join(self.names)}"
        if self._blind or not reasons:
            config = self.config
            message += (f" with the markers of {self.settings_path}: keyword_item {config['keyword_item']!r}, "
                        f"keyword_site {config['keyword_site']!r}, keyword_start {config['keyword_start']!r}, "
                        f"keyword_end {config['keyword_end']!r}")
            raise CliError("; ".join([message, *reasons, self.nothing_written]))
        raise CliError(f"{message}: {'; '.join(reasons)}; {self.nothing_written}")
