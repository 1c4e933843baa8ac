"""The ``extract`` job: datalogs in, one new shmoo workbook out.

Checks the inputs, turns the --sites lists into the form the extractor takes,
runs ``Corvantis.getDatalogInfo`` and leaves the workbook in the output folder
under a name no earlier workbook holds.
"""

from __future__ import annotations

import contextlib
import os
import re
import shutil
import sys
import tempfile
from pathlib import Path
from typing import Any, Iterator, Sequence

from .errors import PROG, CliError, check_readable_text, check_utf8, os_reason
from .settings import load_settings


@contextlib.contextmanager
def _working_directory(path: Path) -> Iterator[None]:
    # getDatalogInfo saves into the working directory; --out-dir moves it there
    # for the one call and back afterwards, whatever happens.
    old = os.getcwd()
    os.chdir(path)
    try:
        yield
    finally:
        os.chdir(old)


def site_label(groups: Sequence[str] | None, datalog_count: int) -> str:
    """Joins the per-datalog site lists into the ';'/',' form getDatalogInfo
    takes. Spaces are dropped: a site written " 1" would never match its line."""
    if not groups:
        return ""
    labels = []
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


def run_extract(
    datalogs: Sequence[str | Path],
    settings_path: Path,
    sites: Sequence[str] | None = None,
    interval_columns: int = 20,
    out_dir: Path | None = None,
) -> Path:
    """Extracts the shmoo plots of the datalogs into a workbook; returns its path."""
    config = load_settings(settings_path)
    paths = [Path(p).resolve() for p in datalogs]
    for p in paths:
        check_readable_text(p, "datalog")
        check_utf8(p)
        if ";" in str(p):
            raise CliError(f"datalog paths must not contain ';': {p}")
    site_lbl = site_label(sites, len(paths))
    target = Path(out_dir) if out_dir is not None else Path.cwd()
    try:
        target.mkdir(parents=True, exist_ok=True)
    except OSError as exc:
        raise CliError(f"cannot create output directory {target}: {os_reason(exc)}") from None

    from .Source import Corvantis

    keywords = Corvantis.getKeyWordFromSettingFile(config)
    _warn_unannounced_sites(Corvantis, keywords, paths, site_lbl)
    # The workbook is named after the second it is saved in, so a second run in
    # the same second would replace the first one. Save into a private folder and
    # move the result next to earlier workbooks under a free name instead.
    staging = Path(tempfile.mkdtemp(prefix=".quorvane-extract-", dir=target))
    try:
        try:
            with _working_directory(staging):
                saved = Path(
                    Corvantis.getDatalogInfo(keywords, ";".join(map(str, paths)), site_lbl, interval_columns)
                )
        except UnicodeDecodeError as exc:
            raise CliError(f"a datalog is not UTF-8 text: {exc.reason} at byte {exc.start}") from None
        except OSError as exc:
            if exc.filename is not None and Path(str(exc.filename)).resolve() in paths:
                raise CliError(f"cannot read datalog {exc.filename}: {os_reason(exc)}") from None
            raise CliError(f"cannot write the workbook into {target}: {os_reason(exc)}") from None
        except re.error as exc:
            raise CliError(f"bad regular expression in the settings: {exc}") from None
        except ValueError as exc:
            # getAllSiteNums reads the number after each site label with int().
            raise CliError(f"a site line holds no site number ({exc}); check keyword_site") from None
        try:
            return move_to_free_name(saved, target)
        except OSError as exc:
            raise CliError(f"cannot write the workbook into {target}: {os_reason(exc)}") from None
    finally:
        shutil.rmtree(staging, ignore_errors=True)


def _warn_unannounced_sites(corvantis: Any, keywords: dict[str, Any], paths: Sequence[Path], site_lbl: str) -> None:
    """A site the datalog never announces gets an empty block; say so up front."""
    for path, label in zip(paths, site_lbl.split(";")):
        if not label:
            continue
        try:
            announced = set(corvantis.getAllSiteNums(str(path), keywords).split(","))
        except (OSError, ValueError):
            return  # the extraction itself reports these
        for site in label.split(","):
            # The announced numbers come back normalised (07 -> 7); only warn when
            # no spelling of the number is announced at all.
            if site not in announced and str(int(site)) not in announced:
                print(f"{PROG} extract: warning: {path.name} announces no site {site}; its block stays empty",
                      file=sys.stderr)


def move_to_free_name(saved: Path, target: Path) -> Path:
    stem, suffix = saved.stem, saved.suffix
    candidate = target / saved.name
    n = 0  # numbered like the module's own same-second names: _1, _2, ...
    while True:
        try:
            # A hard link fails rather than replace an existing file.
            os.link(saved, candidate)
            break
        except FileExistsError:
            n += 1
            candidate = target / f"{stem}_{n}{suffix}"
        except OSError:
            # File systems without hard links: fall back to a checked rename.
            if candidate.exists():
                n += 1
                candidate = target / f"{stem}_{n}{suffix}"
                continue
            shutil.move(str(saved), str(candidate))
            break
    return candidate
