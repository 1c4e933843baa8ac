"""The ``extract`` job: datalogs in, one new shmoo workbook out.

Checks the inputs, reads each datalog once (here, or in worker processes with
--jobs), settles the sites read in it, records its plot groups as the workbook
will hold them (``Corvantis._record_plots``, site_pass.cpp) and has them
joined into one workbook saved in the output folder under a name no other
workbook holds. Where a group cannot be recorded the extractor reads the files
itself. ``triage --workbook`` builds on the same steps (``TriageWorkbook``): its
plots and its workbook come from the same reading.
"""

from __future__ import annotations

import collections
import contextlib
import os
import re
import shutil
import signal
import tempfile
from pathlib import Path
from dataclasses import dataclass, field
from typing import Any, Callable, Iterator, Sequence

from .errors import (CliError, Progress, check_regular_file, module_output, os_reason, recheck_termination,
                     warn)
from .settings import load_settings, nested_quantifiers


def site_label(groups: Sequence[str] | None, datalog_count: int) -> str:
    """Joins the per-datalog site lists into the ';'/',' form getDatalogInfo
    takes. Spaces are dropped: a site written " 1" would never match its line."""
    if not groups:
        return ""
    labels: list[str] = []
    for group in groups:
        labels.extend(part for part in group.split(";"))
    if len(labels) > datalog_count:
        raise CliError(f"--sites names {len(labels)} site lists but only {datalog_count} datalog(s) were given")
    cleaned = []
    for label in labels:
        sites = [s.strip() for s in label.split(",")]
        if label.strip() and any(not s for s in sites):
            raise CliError(f"empty site number in --sites {label!r}")
        for s in sites:
            if s and not re.fullmatch(r"-?\d+", s):
                raise CliError(f"site numbers must be integers, got {s!r}")
        cleaned.append(",".join(sites) if label.strip() else "")
    return ";".join(cleaned)


# Characters the workbook library refuses in a cell: C0 controls except tab,
# line feed and carriage return. They are written as their visible pictures
# (ESC as U+241B, BEL as U+2407, ...).
_CONTROL = re.compile("[\x00-\x08\x0b\x0c\x0e-\x1f]")
_MARKS = {c: 0x2400 + c for c in (*range(0x00, 0x09), 0x0B, 0x0C, *range(0x0E, 0x20))}


def visible(text: str) -> str:
    """`text` with control characters as visible marks and undecodable file-name
    bytes as U+FFFD, fit for a workbook cell and a terminal."""
    text = text.encode("utf-8", "surrogateescape").decode("utf-8", "replace")
    return text.translate(_MARKS)


@dataclass
class DatalogScan:
    """What one pass over a datalog found: the sites as it prints them (in
    numeric order), the completed plots per site text, the plots still open at
    its end (site text, line), the control characters it holds, the process
    that read it and how its bytes were read (codec, first line that is not
    UTF-8 where read as Windows-1252, compression)."""

    path: Path
    sites: list[str] = field(default_factory=list)
    plots: dict[str, int] = field(default_factory=dict)
    unclosed: list[tuple[str, int]] = field(default_factory=list)
    controls: int = 0
    first_control_line: int = 0
    reader: int = field(default_factory=os.getpid)  # the process that read it
    encoding: str = "utf-8"
    not_utf8_line: int = 0
    compression: str | None = None


def scan_datalog(path: Path, keywords: dict[str, Any], wanted: Sequence[str] = (),
                 progress: Progress | None = None, encoding: str | None = None) -> DatalogScan:
    """Counts the plots of every site the datalog announces (and of the site
    texts in `wanted`) with the plot reader, which applies the extractor's line
    rules, so that the command line can say what a run finds before the
    workbook is written. Control characters are read as the visible marks the
    extractor will see in the datalog's stand-in."""
    return _scan_lines(path, keywords, wanted, progress, encoding)[0]


def _scan_lines(path: Path, keywords: dict[str, Any], wanted: Sequence[str], progress: Progress | None,
                encoding: str | None) -> tuple[DatalogScan, list[str]]:
    """``scan_datalog`` that also hands back the lines it read."""
    from .plots import _announced, count_plots, read_datalog

    shown = visible(path.name)
    report = None if progress is None else (lambda share: progress.update(f"reading {shown}: {share:.0%}"))
    datalog = read_datalog(keywords, path, report, encoding)
    result = DatalogScan(path, datalog.sites, encoding=datalog.encoding, not_utf8_line=datalog.not_utf8_line,
                         compression=datalog.compression)
    lines = datalog.lines  # copied before the first mark goes in: the reading stays as read
    for number, line in enumerate(datalog.lines, 1):
        if _CONTROL.search(line):
            if lines is datalog.lines:
                lines = list(lines)
            result.controls += len(_CONTROL.findall(line))
            result.first_control_line = result.first_control_line or number
            lines[number - 1] = line.translate(_MARKS)
    if result.controls:  # the extractor reads the marks: so do the site texts
        result.sites = _announced(lines, keywords["SiteNum"])
    texts = list(dict.fromkeys([*wanted, *result.sites]))
    counts, result.unclosed = count_plots(keywords, lines, texts)
    result.plots = dict(zip(texts, counts))
    return result, lines


def _needs_stand_in(name: str, scan: DatalogScan) -> bool:
    return _needs_copy(scan) or ";" in name or visible(name) != name


def _needs_copy(scan: DatalogScan) -> bool:
    """Whether the extractor, which reads UTF-8 text, must be given a decoded copy."""
    return bool(scan.controls) or scan.encoding != "utf-8" or scan.compression is not None


def _shown_name(name: str, scan: DatalogScan) -> str:
    """What row 1 of the datalog's blocks shows: its path, with control
    characters and undecodable bytes as visible marks."""
    return visible(name) if _needs_stand_in(name, scan) else name


def _record(path: Path, keywords: dict[str, Any], texts: Sequence[str], scan: DatalogScan,
            lines: list[str]) -> dict[str, bytes | None]:
    """Each site text's plot groups, recorded from the datalog's lines as the
    workbook will hold them. A site the extractor cannot record maps to None."""
    from .Source import Corvantis

    usable = [text for text in dict.fromkeys(texts) if "," not in text and ";" not in text]
    recordings = Corvantis._record_plots(keywords, _shown_name(str(path), scan), usable, lines)
    if recordings is None:
        return dict.fromkeys(usable)
    return dict(zip(usable, recordings))


def _scan_and_record(path: Path, keywords: dict[str, Any], wanted: Sequence[str], progress: Progress | None = None,
                     encoding: str | None = None) -> tuple[DatalogScan, dict[str, bytes | None]]:
    """One datalog read once, its plots counted and each site's plots recorded
    for the workbook (the sites asked for, or, where those are spelled
    otherwise or not given, every site the datalog prints). A --jobs worker's
    share of a run."""
    scan, lines = _scan_lines(path, keywords, wanted, progress, encoding)
    texts = list(wanted) if wanted and all(t in scan.sites for t in wanted) else [*wanted, *scan.sites]
    return scan, _record(path, keywords, texts, scan, lines)


#: Datalogs of fewer bytes than this in all are read in this process whatever
#: --jobs says: starting the worker processes takes about a second, which a
#: process reading about ten megabytes a second would not win back.
WORKERS_FROM_BYTES = 16 << 20


class _PoolFailed(Exception):
    """The worker processes could not do their share (not a datalog's fault)."""


def _ignore_interrupts() -> None:
    # Ctrl-C reaches every process of the terminal's group: the command line
    # reports it once, and stops the workers itself.
    signal.signal(signal.SIGINT, signal.SIG_IGN)


def _pool(jobs: int) -> Any:
    import concurrent.futures
    import multiprocessing

    # Fresh worker processes: a forked copy of this one would inherit its
    # threads' locks (the progress ticker) and whatever it imported.
    method = "forkserver" if "forkserver" in multiprocessing.get_all_start_methods() else "spawn"
    return concurrent.futures.ProcessPoolExecutor(jobs, mp_context=multiprocessing.get_context(method),
                                                  initializer=_ignore_interrupts)


def _stop_workers(pool: Any) -> None:
    terminate = getattr(pool, "terminate_workers", None)  # Python 3.14 and later
    if terminate is not None:
        terminate()
        return
    for process in list((getattr(pool, "_processes", None) or {}).values()):
        process.terminate()


def _scan_in_workers(paths: Sequence[Path], keywords: dict[str, Any], wanted: Sequence[list[str]], jobs: int,
                     progress: Progress,
                     encoding: str | None) -> tuple[list[DatalogScan], list[dict[str, bytes | None]]]:
    """Each datalog read in a worker process. A datalog's own failure is
    reported as a one-process run reports it; a failure of the pool itself
    raises _PoolFailed."""
    import pickle
    from concurrent.futures.process import BrokenProcessPool

    try:
        pool = _pool(min(jobs, len(paths)))
    except OSError as exc:
        raise _PoolFailed(os_reason(exc)) from None
    stopped = False
    try:
        try:
            futures = [pool.submit(_scan_and_record, p, keywords, given, None, encoding)
                       for p, given in zip(paths, wanted)]
        except OSError as exc:  # the workers start here
            raise _PoolFailed(os_reason(exc)) from None
        scans, recorded = [], []
        for k, (path, future) in enumerate(zip(paths, futures)):
            progress.update(f"reading the datalogs: {k}/{len(paths)} done")
            try:
                scan, records = _read_once(path, future.result)
            except (BrokenProcessPool, pickle.PicklingError) as exc:
                raise _PoolFailed(_first_line(exc)) from None
            scans.append(scan)
            recorded.append(records)
        return scans, recorded
    except BaseException:
        stopped = True
        _stop_workers(pool)
        raise
    finally:
        pool.shutdown(wait=not stopped, cancel_futures=True)


def _stand_in(path: Path, staging: Path, index: int, scan: DatalogScan) -> Path:
    """A path the extractor can take for a datalog whose own path it cannot
    (';' separates its paths; control characters and undecodable bytes do not
    fit a workbook cell), or whose text it cannot (control characters, a
    compressed or not UTF-8 datalog): a UTF-8 copy of the text as this run
    read it, control characters as visible marks."""
    from .plots import text_pieces

    folder = staging / "in" / str(index)
    folder.mkdir(parents=True)
    target = folder / visible(path.name).replace(";", "_")
    if _needs_copy(scan):
        with contextlib.closing(text_pieces(path, scan.encoding)) as pieces, open(target, "wb") as dst:
            for text in pieces:
                dst.write(text.translate(_MARKS).encode("utf-8"))
    else:
        try:
            os.symlink(path, target)
        except OSError:
            shutil.copyfile(path, target)
    return target


def _restore_paths(workbook: Path, shown: dict[str, str]) -> None:
    """Row 1 names each pair's datalog: put the user's path back where the
    extractor saw a stand-in."""
    import openpyxl

    from .workbook_sheets import replace_keeping_mode

    book = openpyxl.load_workbook(workbook)
    sheet = book["Sheet"]
    for cell in sheet[1]:
        if isinstance(cell.value, str) and cell.value in shown:
            cell.value = shown[cell.value]
    replace_keeping_mode(workbook, book.save)


def run_extract(
    datalogs: Sequence[str | Path],
    settings_path: Path,
    sites: Sequence[str] | None = None,
    interval_columns: int | None = None,
    out_dir: Path | None = None,
    command: str = "extract",
    jobs: int = 1,
) -> Path:
    """Extracts the shmoo plots of the datalogs into a workbook; returns its path.
    Without `interval_columns` the site blocks are as wide as the widest plot
    row of the run (at least 20 columns). With `jobs` above 1 the datalogs are
    read and scanned in that many worker processes; the workbook is the same."""
    return extract_workbook(datalogs, settings_path, sites, interval_columns, out_dir, command, jobs)[0]


@dataclass
class _Run:
    """One extraction's inputs, checked: the datalogs (absolute paths), per
    datalog the site texts asked for (the sites read, once the datalog's scan
    has settled them), the output folder and the keyword table."""

    command: str
    config: dict[str, Any]
    settings_path: Path
    paths: list[Path]
    selected: list[list[str]]
    target: Path
    keywords: dict[str, Any]
    encoding: str | None = None  # --encoding


def _prepare(datalogs: Sequence[str | Path], settings_path: Path, sites: Sequence[str] | None,
             out_dir: Path | None, command: str) -> _Run:
    config = load_settings(settings_path)
    for key in nested_quantifiers(config):
        warn(command, f"settings key '{key}' repeats a group that itself repeats ({config[key]!r}); such an "
                      "expression can take minutes on some lines: rewrite it without the outer repeat")
    paths = [Path(os.path.abspath(p)) for p in datalogs]
    for p in paths:
        check_regular_file(p, "datalog")
    from .selection import site_lists

    selected = site_lists(sites, len(paths))
    target = Path(out_dir) if out_dir is not None else Path.cwd()
    if target.exists() and not target.is_dir():
        raise CliError(f"output directory {target} is a file")

    from .selection import datalog_encoding
    from .Source import Corvantis

    return _Run(command, config, settings_path, paths, selected, target, Corvantis.getKeyWordFromSettingFile(config),
                datalog_encoding())


def _read_once(path: Path, read: Callable[[], Any]) -> Any:
    """``read()`` of one datalog, its failures as one-line errors."""
    from .plots import DatalogError

    try:
        return read()
    except DatalogError as exc:
        raise CliError(str(exc)) from None
    except OSError as exc:
        raise CliError(f"cannot read datalog {visible(str(path))}: {os_reason(exc)}") from None


def _read_datalogs(run: _Run, jobs: int,
                   progress: Progress) -> tuple[list[DatalogScan], list[dict[str, bytes | None]]]:
    """Each datalog read once: its scan, and its sites' plot groups recorded."""
    if jobs > 1 and len(run.paths) > 1 and sum(p.stat().st_size for p in run.paths) >= WORKERS_FROM_BYTES:
        try:
            return _scan_in_workers(run.paths, run.keywords, [list(s) for s in run.selected], jobs, progress,
                                    run.encoding)
        except _PoolFailed as exc:
            warn(run.command, f"the worker processes failed ({exc}); reading the datalogs in this process")
    # One job: each datalog is read once, here; its check and its plots'
    # recordings come from that one reading.
    scans, recorded = [], []
    for p, given in zip(run.paths, run.selected):
        scan, records = _read_once(p, lambda: _scan_and_record(p, run.keywords, given, progress, run.encoding))
        scans.append(scan)
        recorded.append(records)
    return scans, recorded


def _make_target(run: _Run, scans: Sequence[DatalogScan]) -> None:
    try:
        run.target.mkdir(parents=True, exist_ok=True)
    except OSError as exc:
        raise CliError(f"cannot create output directory {run.target}: {os_reason(exc)}") from None
    for p, scan in zip(run.paths, scans):
        _warn_marks(run.command, str(p), scan)


def _save_recordings(run: _Run, recordings: Sequence[bytes | None], total: int,
                     interval_columns: int | None) -> tuple[Path, int] | None:
    """The workbook joined from the recorded plot groups, one per site block in
    block order; None where a block has no recording or the grid cannot take
    them (the datalogs are then extracted from their files)."""
    from .Source import Corvantis

    complete = [r for r in recordings if r is not None]
    if len(complete) != len(recordings):
        return None
    try:
        with Progress(run.command, f"writing {total} plot(s) into the workbook"), module_output():
            joined = Corvantis._save_recorded(str(run.target.resolve()), complete, interval_columns,
                                              "--interval-columns")
    except OSError as exc:
        raise CliError(f"cannot write the workbook into {run.target}: {os_reason(exc)}") from None
    except ValueError as exc:
        raise CliError(f"cannot write the workbook: {visible(_first_line(exc))}") from None
    if joined is None:
        return None
    saved = Path(joined[0])
    try:
        recheck_termination()
    except BaseException:
        saved.unlink(missing_ok=True)
        raise
    return saved, int(joined[1])


def _extract_from_files(run: _Run, scans: Sequence[DatalogScan], total: int,
                        interval_columns: int | None) -> tuple[Path, int]:
    """The extractor's own run over the datalog files, through stand-ins for
    datalogs whose path or text it cannot take as they are."""
    from .Source import Corvantis

    staging: Path | None = None
    try:
        given_paths = []
        shown: dict[str, str] = {}
        for k, (p, scan) in enumerate(zip(run.paths, scans)):
            name = str(p)
            if _needs_stand_in(name, scan):
                if staging is None:
                    staging = Path(tempfile.mkdtemp(prefix=".quorvane-extract-", dir=run.target))
                stand_in = _stand_in(p, staging, k, scan)
                shown[str(stand_in)] = visible(name)
                name = str(stand_in)
            given_paths.append(name)
        try:
            with Progress(run.command, f"writing {total} plot(s) into the workbook"), module_output():
                # The extractor saves straight into the output folder and claims a
                # name there that no other workbook holds, also against runs in
                # the same second.
                saved_name, width = Corvantis._extract_into(
                    str(run.target.resolve()), run.keywords, ";".join(given_paths),
                    ";".join(",".join(s) for s in run.selected), interval_columns, "--interval-columns")
            saved = Path(saved_name)
            try:
                recheck_termination()
                if shown:
                    _restore_paths(saved, shown)
            except BaseException:
                saved.unlink(missing_ok=True)  # a stop asked for during the save leaves nothing
                raise
        except UnicodeDecodeError as exc:
            raise CliError(f"a datalog is not UTF-8 text: {exc.reason} at byte {exc.start}") from None
        except OSError as exc:
            if exc.filename is not None and str(exc.filename) in given_paths:
                raise CliError(f"cannot read datalog {visible(str(exc.filename))}: {os_reason(exc)}") from None
            raise CliError(f"cannot write the workbook into {run.target}: {os_reason(exc)}") from None
        except re.error as exc:
            raise CliError(f"bad regular expression in the settings: {exc}") from None
        except ValueError as exc:
            # Block width, sheet size, site lines: the message says what to change.
            raise CliError(f"cannot write the workbook: {visible(_first_line(exc))}") from None
        return saved, int(width)
    finally:
        if staging is not None:
            shutil.rmtree(staging, ignore_errors=True)


def _block_recordings(run: _Run, recorded: Sequence[dict[str, bytes | None]]) -> list[bytes | None]:
    return [recorded[k].get(site) for k, site in site_pairs(run.selected)]


def extract_workbook(
    datalogs: Sequence[str | Path],
    settings_path: Path,
    sites: Sequence[str] | None = None,
    interval_columns: int | None = None,
    out_dir: Path | None = None,
    command: str = "extract",
    jobs: int = 1,
) -> tuple[Path, int]:
    """``run_extract`` that also returns the site block width the workbook got,
    for reports that point into its blocks."""
    run = _prepare(datalogs, settings_path, sites, out_dir, command)
    with Progress(command, "reading the datalogs") as progress:
        scans, recorded = _read_datalogs(run, jobs, progress)
    total = _report_scans(command, scans, run.selected, run.config, settings_path)
    _make_target(run, scans)
    recordings = _block_recordings(run, recorded)
    _warn_sheet_size(run, scans, recordings, interval_columns)
    saved = _save_recordings(run, recordings, total, interval_columns)
    return saved if saved is not None else _extract_from_files(run, scans, total, interval_columns)


def _warn_sheet_size(run: _Run, scans: Sequence[DatalogScan], recordings: Sequence[bytes | None],
                     interval_columns: int | None) -> None:
    counts = [scans[k].plots.get(site, 0) for k, site in site_pairs(run.selected)]
    warn_if_too_big(run.command, "the workbook's sheet", *_sheet_cells(recordings, counts, interval_columns))


def _first_line(exc: BaseException) -> str:
    return str(exc).strip().splitlines()[0] if str(exc).strip() else type(exc).__name__


def _warn_marks(command: str, name: str, scan: DatalogScan) -> None:
    from .selection import not_utf8_warning

    if scan.not_utf8_line:
        warn(command, not_utf8_warning(name, scan.not_utf8_line))
    if scan.controls:
        warn(command, f"{visible(name)} holds {scan.controls} control character(s), the first on "
                      f"line {scan.first_control_line}; the workbook shows them as visible marks")
    if visible(name) != name:
        warn(command, f"the file name {visible(name)} holds control characters or bytes that are "
                      "not UTF-8; the workbook shows them as visible marks")


def _report_scans(command: str, scans: Sequence[DatalogScan], selected: list[list[str]],
                  config: dict[str, Any], settings_path: Path) -> int:
    """Chooses the sites of each datalog by the rule every datalog command
    shares (``selected`` takes the texts to extract), says what the run will
    miss and refuses a run that would find no plot at all. Returns the number
    of plots found."""
    from .selection import PlotSearch

    search = PlotSearch(command, config, settings_path, "no workbook written")
    for scan, sites in zip(scans, selected):
        sites[:] = search.choose(scan.path, scan.sites, sites)
        search.found(scan.path, scan.sites, sites, scan.plots, scan.unclosed)
    return search.finish()


# ---------------------------------------------------------------------------
# The site blocks, and triage's workbook built on them


def site_pairs(site_lists: Sequence[Sequence[str]]) -> list[tuple[int, str]]:
    """The workbook's site blocks in order, as (datalog index, site text):
    datalog by datalog, each datalog's sites in the order of its list. Block k
    (1-based) is entry k - 1."""
    return [(k, site) for k, sites in enumerate(site_lists) for site in sites]


class TriageWorkbook:
    """``triage --workbook``: each datalog read once, as extract reads it. The
    plots triage scores and the workbook's "Sheet" come from that one reading;
    the workbook gets "Composite" (the maps of the scored plots) and "Verdicts",
    each verdict linked to the first row of its plot group, where the recorder
    wrote that group."""

    def __init__(self, datalogs: Sequence[str | Path], settings_path: Path, sites: Sequence[str] | None,
                 out_dir: Path | None) -> None:
        from .composite import CompositeStack
        from .selection import PlotSearch

        self._run = _prepare(datalogs, settings_path, sites, out_dir, "triage")
        self._names = [str(p) for p in datalogs]  # as given: what the verdicts show
        self._scans: list[DatalogScan] = []
        self._recorded: list[dict[str, bytes | None]] = []
        run = self._run
        self.search = PlotSearch(run.command, run.config, run.settings_path)
        self._stack = CompositeStack()
        self._waiting: collections.deque[tuple[Any, int]] = collections.deque()  # (plot, block) not yet judged
        self._judged: list[tuple[Any, int, int]] = []  # (verdict, block, plot number in its block)

    def plots(self) -> Iterator[Any]:
        """The plots of the selected sites, datalog by datalog, in block order;
        ``search`` is told what each datalog held (the plots never closed among it)."""
        from .plots import plots_of_lines

        run = self._run
        for k, (path, sites) in enumerate(zip(run.paths, run.selected)):
            scan, lines = _read_once(path, lambda: _scan_lines(path, run.keywords, sites, None, run.encoding))
            name = self._names[k]
            self.search.note_header(name, lines)
            sites[:] = self.search.choose(name, scan.sites, sites)
            self.search.found(name, scan.sites, sites, scan.plots, scan.unclosed)
            self._scans.append(scan)
            self._recorded.append(_record(path, run.keywords, sites, scan, lines))
            found = plots_of_lines(run.keywords, name, lines, sites)
            del lines
            first_block = len(site_pairs(run.selected[:k])) + 1
            for index, plot in found:
                self._waiting.append((plot, first_block + index))
                yield plot

    def add(self, plot: Any, verdict: Any) -> None:
        """Takes the verdict of the next plot ``plots`` handed out."""
        waiting, block = self._waiting.popleft()
        if waiting is not plot:
            raise ValueError("verdicts must come in the order of the plots")
        self._judged.append((verdict, block, plot.plot))
        self._stack.add(plot)

    def write(self, interval_columns: int | None) -> Path:
        """Saves the workbook into the output folder; returns its path. It
        appears with all its sheets or not at all."""
        from .Source import Corvantis

        run = self._run
        total = self.search.total  # the run's caller has had the search finish
        _make_target(run, self._scans)
        recordings = _block_recordings(run, self._recorded)
        _warn_sheet_size(run, self._scans, recordings, interval_columns)
        saved = _save_recordings(run, recordings, total, interval_columns)
        from_recordings = saved is not None
        if saved is not None:
            starts = [Corvantis._recorded_rows(r) if r is not None else [] for r in recordings]
        else:
            saved = _extract_from_files(run, self._scans, total, interval_columns)
            starts = [[] for _ in recordings]
            warn(run.command, "the workbook was extracted from the datalog files, not from this run's reading; "
                              "the Verdicts worksheet does not link to the plots")
        book, width = saved
        try:
            self._add_sheets(book, width, starts, from_recordings)
        except BaseException:
            # A workbook without its Composite and Verdicts sheets is no result
            # of this run (a stop, a full disk): it goes with the run's other outputs.
            book.unlink(missing_ok=True)
            raise
        return book

    def _add_sheets(self, book: Path, width: int, starts: list[list[int]], from_recordings: bool) -> None:
        from .composite import SHEET_NAME, fill_composite, warn_several_sweeps_of
        from .workbook_sheets import VERDICTS_SHEET, append_worksheets, fill_verdicts, verdict_rows

        run = self._run
        judged = collections.Counter(block for _, block, _ in self._judged)
        unmatched = [block for block, count in judged.items() if from_recordings and len(starts[block - 1]) != count]
        if unmatched:
            # The reader and the recorder run one scan; should they ever part,
            # no link at all beats a link into another plot.
            warn(run.command, f"site block(s) {', '.join(map(str, unmatched))} of Sheet hold another number of plot "
                              "groups than triage read; their Verdicts rows have no link")
            for block in unmatched:
                starts[block - 1] = []
        placed = [(v, block, starts[block - 1][number - 1] if starts[block - 1] else None)
                  for v, block, number in self._judged]
        maps = self._stack.maps()
        warn_several_sweeps_of(run.command, maps)
        try:
            append_worksheets(book, {SHEET_NAME: fill_composite(maps),
                                     VERDICTS_SHEET: lambda ws: fill_verdicts(ws, verdict_rows(placed, width,
                                                                                     self.search.header_of))})
        except OSError as exc:
            raise CliError(f"cannot add the composite and verdicts worksheets to {book}: {os_reason(exc)}") from None


# ---------------------------------------------------------------------------
# extract --split: one workbook per datalog, site or test item

#: The groups ``extract --split`` writes one workbook each for.
SPLITS = ("datalog", "site", "item")

#: Sheets of more cells than this (rows x columns of the used range) take
#: LibreOffice Calc about a minute or more to open on a two-core machine, at
#: 5 to 10 s per million cells (bench/bench_calc_open.py; README, "Workbooks
#: that open"): the run warns before writing one.
CALC_OPEN_CELLS = 8_000_000

#: Rows a plot group takes where no recording says (its item, site and start
#: lines, a 16-row plot, its axis and end lines, the empty row).
_ROWS_PER_PLOT_GUESS = 21


def _sheet_cells(recordings: Sequence[bytes | None], counts: Sequence[int],
                 interval_columns: int | None) -> tuple[int, int]:
    """(rows, columns) the sheet of these site blocks will span, estimated
    before it is written: each block's rows from its recording (the row its
    last plot group starts on, plus one group's average height), else from
    its plot count; a summary block follows the site blocks, and blocks
    sized to the widest plot row are taken as the narrowest (20 columns)."""
    from .Source import Corvantis

    width = interval_columns or 20
    rows = 2
    for recording, count in zip(recordings, counts):
        starts = Corvantis._recorded_rows(recording) if recording is not None else []
        if len(starts) > 1:
            rows = max(rows, starts[-1] + (starts[-1] - starts[0]) // (len(starts) - 1))
        elif starts:
            rows = max(rows, starts[0] + _ROWS_PER_PLOT_GUESS)
        else:
            rows = max(rows, 2 + count * _ROWS_PER_PLOT_GUESS)
    return rows, (len(recordings) + 1) * width


def warn_if_too_big(command: str, what: str, rows: int, columns: int) -> bool:
    """One warning line where a sheet of ``rows`` x ``columns`` would be too big
    for spreadsheet programs to open in practice; says whether it warned."""
    if rows * columns <= CALC_OPEN_CELLS:
        return False
    warn(command, f"{what} will span about {rows:,} rows x {columns:,} columns ({rows * columns:,} cells), more "
                  f"than LibreOffice Calc opens within about a minute ({CALC_OPEN_CELLS:,}); 'quorvane extract "
                  "--split datalog|site|item' writes one workbook per group, and 'quorvane report' shows the plots in a "
                  "browser")
    return True


@dataclass
class _Part:
    """One workbook of a split run: its name's suffix and its site blocks as
    (datalog index, site text, recording or None)."""

    suffix: str
    blocks: list[tuple[int, str, bytes | None]]


def _safe_suffix(text: str, taken: set[str]) -> str:
    """A file-name part for a group: letters, digits, '.', '_' and '-' only,
    at most 80 characters, unique among ``taken`` (which it joins)."""
    safe = re.sub(r"[^A-Za-z0-9._-]+", "_", visible(text)).strip("._-")[:80] or "group"
    unique, n = safe, 1
    while unique.lower() in taken:
        n += 1
        unique = f"{safe}_{n}"
    taken.add(unique.lower())
    return unique


def _item_sections(lines: Sequence[str], item_pattern: str) -> dict[str, list[str]]:
    """A datalog's lines cut at its item lines (the extractor's rule: a line
    the item expression matches at its start; 'VBT error' lines never
    count), grouped by item: each item's sections in datalog order."""
    from .margins import item_key

    opens = re.compile(item_pattern)
    sections: dict[str, list[str]] = {}
    current: list[str] | None = None
    for line in lines:
        if "VBT error" not in line and opens.match(line):
            current = sections.setdefault(item_key(line), [])
        if current is not None:
            current.append(line)
    return sections


def _parts_by_item(run: _Run, scans: Sequence[DatalogScan]) -> list[_Part]:
    """Per test item, the blocks of every (datalog, site) pair with a plot of
    it, recorded from that item's sections of the datalog only (each datalog
    is read a second time here, once its sites are settled)."""
    from .Source import Corvantis

    blocks: dict[str, list[tuple[int, str, bytes | None]]] = {}
    for k, (path, sites) in enumerate(zip(run.paths, run.selected)):
        scan, lines = _read_once(path, lambda: _scan_lines(path, run.keywords, sites, None, run.encoding))
        for item, section in _item_sections(lines, run.keywords["Item"]).items():
            for site, recording in _record(path, run.keywords, sites, scan, section).items():
                if recording is None:
                    raise CliError(f"cannot split {visible(str(path))} by item: its plots need the extractor's "
                                   "own reading of the file; split by datalog or site instead")
                if Corvantis._recorded_rows(recording):
                    blocks.setdefault(item, []).append((k, site, recording))
    taken: set[str] = set()
    return [_Part(_safe_suffix(item, taken), found) for item, found in blocks.items()]


def _parts(run: _Run, scans: Sequence[DatalogScan], recorded: Sequence[dict[str, bytes | None]],
           split: str) -> list[_Part]:
    if split == "item":
        return _parts_by_item(run, scans)
    pairs = [(k, site, recorded[k].get(site)) for k, site in site_pairs(run.selected) if scans[k].plots.get(site)]
    taken: set[str] = set()
    if split == "datalog":
        return [_Part(_safe_suffix(run.paths[k].stem, taken), [b for b in pairs if b[0] == k])
                for k in dict.fromkeys(k for k, _, _ in pairs)]
    by_site: dict[str, list[tuple[int, str, bytes | None]]] = {}
    for block in pairs:
        by_site.setdefault(block[1], []).append(block)
    return [_Part(_safe_suffix(f"site{site}" if site else "site", taken), found) for site, found in by_site.items()]


def _write_part(run: _Run, scans: Sequence[DatalogScan], part: _Part, staging: Path,
                interval_columns: int | None) -> Path:
    """The part's workbook, written by the native writer into ``staging``."""
    count = sum(scans[k].plots.get(site, 0) for k, site, _ in part.blocks)
    sub = _Run(run.command, run.config, run.settings_path, [], [], staging, run.keywords, run.encoding)
    for k, site, _ in part.blocks:
        if run.paths[k] not in sub.paths:
            sub.paths.append(run.paths[k])
            sub.selected.append([])
        sub.selected[sub.paths.index(run.paths[k])].append(site)
    saved = _save_recordings(sub, [r for _, _, r in part.blocks], count, interval_columns)
    if saved is None:
        sub_scans = [scans[run.paths.index(p)] for p in sub.paths]
        saved = _extract_from_files(sub, sub_scans, count, interval_columns)
    return saved[0]


def extract_split(datalogs: Sequence[str | Path], settings_path: Path, sites: Sequence[str] | None,
                  interval_columns: int | None, out_dir: Path | None, split: str, jobs: int = 1) -> list[Path]:
    """``extract`` writing one workbook per datalog, site or test item, each
    named ``<stem>-<group>.xlsx`` after the stem the writer gives a whole
    run's workbook. All of them appear, or none does. Returns their paths."""
    from .outputs import written_together

    if split not in SPLITS:
        raise ValueError(f"unknown split {split!r}")
    run = _prepare(datalogs, settings_path, sites, out_dir, "extract")
    with Progress(run.command, "reading the datalogs") as progress:
        scans, recorded = _read_datalogs(run, jobs, progress)
    _report_scans(run.command, scans, run.selected, run.config, settings_path)
    _make_target(run, scans)
    parts = _parts(run, scans, recorded, split)
    sizes = [_part_size(part, scans, interval_columns) for part in parts]
    rows, columns = max(sizes, key=lambda size: size[0] * size[1])
    warn_if_too_big(run.command, f"the largest of the {len(parts)} workbooks", rows, columns)
    staging = Path(tempfile.mkdtemp(prefix=".quorvane-split-", dir=run.target))
    try:
        written = [_write_part(run, scans, part, staging, interval_columns) for part in parts]
        stem = _free_stem(run.target, written[0].stem, [p.suffix for p in parts])
        targets = [run.target / f"{stem}-{part.suffix}.xlsx" for part in parts]
        try:
            with written_together() as outputs:
                for source, target in zip(written, targets):
                    os.replace(source, outputs.name(target, replace=False))
        except FileExistsError as exc:
            raise CliError(f"{exc.filename} appeared while the run wrote it; nothing written, run again") from None
        except OSError as exc:
            raise CliError(f"cannot write the workbooks into {run.target}: {os_reason(exc)}") from None
        return targets
    finally:
        shutil.rmtree(staging, ignore_errors=True)


def _part_size(part: _Part, scans: Sequence[DatalogScan], interval_columns: int | None) -> tuple[int, int]:
    return _sheet_cells([r for _, _, r in part.blocks], [scans[k].plots.get(s, 0) for k, s, _ in part.blocks],
                        interval_columns)


def _free_stem(folder: Path, stem: str, suffixes: Sequence[str]) -> str:
    """``stem``, or ``stem_1``, ``stem_2``, ... where a part's name is taken."""
    candidate, n = stem, 0
    while any(os.path.lexists(folder / f"{candidate}-{s}.xlsx") for s in suffixes):
        n += 1
        candidate = f"{stem}_{n}"
    return candidate
