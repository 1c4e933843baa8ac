"""The ``extract`` job: datalogs in, one new shmoo workbook out.

Checks the inputs, turns the --sites lists into the form the extractor takes
and has the extractor save the workbook in the output folder under a name no
other workbook holds.
"""

from __future__ import annotations

import os
import re
import shutil
import tempfile
from pathlib import Path
from dataclasses import dataclass, field
from typing import Any, Sequence

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
_CONTROL_BYTES = re.compile(b"[\x00-\x08\x0b\x0c\x0e-\x1f]")
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
    its end (site text, line) and the control characters it holds."""

    path: Path
    sites: list[str] = field(default_factory=list)
    plots: dict[str, int] = field(default_factory=dict)
    unclosed: list[tuple[str, int]] = field(default_factory=list)
    controls: int = 0
    first_control_line: int = 0


def scan_datalog(path: Path, keywords: dict[str, Any], wanted: Sequence[str] = (),
                 progress: Progress | None = None) -> DatalogScan:
    """Counts the plots of every site the datalog announces (and of the site
    texts in `wanted`) with the plot reader, which applies the extractor's line
    rules, so that the command line can say what a run finds before the
    workbook is written. Control characters are read as the visible marks the
    extractor will see in the datalog's stand-in."""
    return _scan_lines(path, keywords, wanted, progress)[0]


def _scan_lines(path: Path, keywords: dict[str, Any], wanted: Sequence[str],
                progress: Progress | None) -> tuple[DatalogScan, list[str]]:
    """``scan_datalog`` that also hands back the lines it read."""
    from .plots import _announced, count_plots, read_datalog

    shown = visible(path.name)
    report = None if progress is None else (lambda share: progress.update(f"reading {shown}: {share:.0%}"))
    datalog = read_datalog(keywords, path, report)
    result = DatalogScan(path, datalog.sites)
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
    return bool(scan.controls) or ";" in name or visible(name) != name


def _shown_name(name: str, scan: DatalogScan) -> str:
    """What row 1 of the datalog's blocks shows: its path, with control
    characters and undecodable bytes as visible marks."""
    return visible(name) if _needs_stand_in(name, scan) else name


def _scan_and_record(path: Path, keywords: dict[str, Any], wanted: Sequence[str],
                     progress: Progress | None = None) -> tuple[DatalogScan, dict[str, bytes | None]]:
    """One datalog read once, its plots counted and each site's plots recorded
    for the workbook (the sites asked for, or, where those are spelled
    otherwise or not given, every site the datalog prints). A site the
    extractor cannot record maps to None. A --jobs worker's share of a run."""
    from .Source import Corvantis

    scan, lines = _scan_lines(path, keywords, wanted, progress)
    texts = list(wanted) if wanted and all(t in scan.sites for t in wanted) else [*wanted, *scan.sites]
    shown = _shown_name(str(path), scan)
    usable = [text for text in dict.fromkeys(texts) if "," not in text and ";" not in text]
    recordings = Corvantis._record_plots(keywords, shown, usable, lines)
    if recordings is None:
        return scan, dict.fromkeys(usable)
    return scan, dict(zip(usable, recordings))


def _pool(jobs: int) -> Any:
    import concurrent.futures
    import multiprocessing

    # Fresh worker processes: a forked copy of this one would inherit its
    # threads' locks (the progress ticker) and whatever it imported.
    method = "forkserver" if "forkserver" in multiprocessing.get_all_start_methods() else "spawn"
    return concurrent.futures.ProcessPoolExecutor(jobs, mp_context=multiprocessing.get_context(method))


def _scan_in_workers(paths: Sequence[Path], keywords: dict[str, Any], wanted: Sequence[list[str]], jobs: int,
                     progress: Progress) -> tuple[list[DatalogScan], list[dict[str, bytes | None]]]:
    pool = _pool(min(jobs, len(paths)))
    try:
        futures = [pool.submit(_scan_and_record, p, keywords, given) for p, given in zip(paths, wanted)]
        scans, recorded = [], []
        for k, future in enumerate(futures):
            progress.update(f"reading the datalogs: {k}/{len(paths)} done")
            scan, records = future.result()
            scans.append(scan)
            recorded.append(records)
        return scans, recorded
    finally:
        pool.shutdown(wait=True, cancel_futures=True)


def _stand_in(path: Path, staging: Path, index: int, needs_copy: bool) -> Path:
    """A path the extractor can take for a datalog whose own path it cannot
    (';' separates its paths; control characters and undecodable bytes do not
    fit a workbook cell), or whose text holds control characters: a copy with
    those characters as visible marks."""
    folder = staging / "in" / str(index)
    folder.mkdir(parents=True)
    target = folder / visible(path.name).replace(";", "_")
    if needs_copy:
        with open(path, "rb") as src, open(target, "wb") as dst:
            for chunk in iter(lambda: src.read(1 << 20), b""):
                dst.write(_CONTROL_BYTES.sub(lambda m: chr(0x2400 + m[0][0]).encode("utf-8"), chunk))
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

    from .plots import DatalogError
    from .Source import Corvantis

    keywords = Corvantis.getKeyWordFromSettingFile(config)
    scans: list[DatalogScan] = []
    recorded: list[dict[str, bytes | None]] | None = None
    with Progress(command, "reading the datalogs") as progress:
        if jobs > 1 and len(paths) > 1:
            try:
                scans, recorded = _scan_in_workers(paths, keywords, [list(s) for s in selected], jobs, progress)
            except Exception:
                # A worker's failure is found again, and reported, below.
                scans, recorded = [], None
        if not scans:
            # One job: each datalog is read once, here; its check and its
            # plots' recordings come from that one reading.
            recorded = []
            for p, given in zip(paths, selected):
                try:
                    scan, records = _scan_and_record(p, keywords, given, progress)
                except DatalogError as exc:
                    raise CliError(str(exc)) from None
                except OSError as exc:
                    raise CliError(f"cannot read datalog {visible(str(p))}: {os_reason(exc)}") from None
                scans.append(scan)
                recorded.append(records)
    total = _report_scans(command, scans, selected, config, settings_path)

    try:
        target.mkdir(parents=True, exist_ok=True)
    except OSError as exc:
        raise CliError(f"cannot create output directory {target}: {os_reason(exc)}") from None
    # Stand-ins for datalogs whose path or text the extractor cannot take as it is.
    staging: Path | None = None
    try:
        given_paths = []
        shown: dict[str, str] = {}
        for p, scan in zip(paths, scans):
            _warn_marks(command, str(p), scan)
        found = [records.get(text) for records, sites in zip(recorded or [], selected) for text in sites]
        recordings = [r for r in found if r is not None]
        if recorded is not None and len(recordings) == len(found):
            try:
                with Progress(command, f"writing {total} plot(s) into the workbook"), module_output():
                    joined = Corvantis._save_recorded(str(target.resolve()), recordings, interval_columns,
                                                      "--interval-columns")
            except OSError as exc:
                raise CliError(f"cannot write the workbook into {target}: {os_reason(exc)}") from None
            except ValueError as exc:
                raise CliError(f"cannot write the workbook: {visible(_first_line(exc))}") from None
            if joined is not None:
                saved = Path(joined[0])
                try:
                    recheck_termination()
                except BaseException:
                    saved.unlink(missing_ok=True)
                    raise
                return saved, int(joined[1])
        for k, (p, scan) in enumerate(zip(paths, scans)):
            name = str(p)
            if _needs_stand_in(name, scan):
                if staging is None:
                    staging = Path(tempfile.mkdtemp(prefix=".quorvane-extract-", dir=target))
                stand_in = _stand_in(p, staging, k, bool(scan.controls))
                shown[str(stand_in)] = visible(name)
                name = str(stand_in)
            given_paths.append(name)
        try:
            with Progress(command, f"writing {total} plot(s) into the workbook"), module_output():
                # The extractor saves straight into the output folder and claims a
                # name there that no other workbook holds, also against runs in
                # the same second.
                saved_name, width = Corvantis._extract_into(
                    str(target.resolve()), keywords, ";".join(given_paths),
                    ";".join(",".join(s) for s in selected), interval_columns, "--interval-columns")
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
            raise CliError(f"cannot write the workbook into {target}: {os_reason(exc)}") from None
        except re.error as exc:
            raise CliError(f"bad regular expression in the settings: {exc}") from None
        except ValueError as exc:
            # Block width, sheet size, site lines: the message says what to change.
            raise CliError(f"cannot write the workbook: {visible(_first_line(exc))}") from None
        return saved, int(width)
    finally:
        if staging is not None:
            shutil.rmtree(staging, ignore_errors=True)


def _first_line(exc: BaseException) -> str:
    return str(exc).strip().splitlines()[0] if str(exc).strip() else type(exc).__name__


def _warn_marks(command: str, name: str, scan: DatalogScan) -> None:
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
