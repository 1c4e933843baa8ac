"""The ``extract`` job: datalogs in, one new shmoo workbook out.

Checks the inputs, turns the --sites lists into the form the extractor takes,
has the datalog module write the workbook into the output folder under a name
no other workbook holds.
"""

from __future__ import annotations

import re
import sys
from pathlib import Path
from typing import Any, Sequence

from .errors import PROG, CliError, check_readable_text, check_utf8, os_reason
from .settings import load_settings


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
    interval_columns: int | None = None,
    out_dir: Path | None = None,
) -> Path:
    """Extracts the shmoo plots of the datalogs into a workbook; returns its path.
    Without `interval_columns` the site blocks are as wide as the widest plot
    row of the run (at least 20 columns)."""
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
    try:
        site_lbl = _settled_sites(Corvantis, keywords, paths, site_lbl)
        # The extractor saves straight into the output folder and claims a name
        # there that no other workbook holds, also against runs in the same second.
        saved, _width = Corvantis._extract_into(str(target.resolve()), keywords, ";".join(map(str, paths)),
                                                site_lbl, interval_columns, "--interval-columns")
    except UnicodeDecodeError as exc:
        raise CliError(f"a datalog is not UTF-8 text: {exc.reason} at byte {exc.start}") from None
    except OSError as exc:
        if exc.filename is not None and Path(str(exc.filename)).resolve() in paths:
            raise CliError(f"cannot read datalog {exc.filename}: {os_reason(exc)}") from None
        raise CliError(f"cannot write the workbook into {target}: {os_reason(exc)}") from None
    except re.error as exc:
        raise CliError(f"bad regular expression in the settings: {exc}") from None
    except ValueError as exc:
        # Block width, sheet size: the message says what to change.
        raise CliError(str(exc)) from None
    return Path(saved)


def _settled_sites(corvantis: Any, keywords: dict[str, Any], paths: Sequence[Path], site_lbl: str) -> str:
    """Lists the announced sites of every datalog once: fills in the datalogs
    without --sites (as the extractor would) and warns about a named site that
    the datalog never announces (its block would stay empty)."""
    labels = site_lbl.split(";") if site_lbl else []
    labels += [""] * (len(paths) - len(labels))
    settled = []
    for path, label in zip(paths, labels):
        try:
            found = corvantis.getAllSiteNums(str(path), keywords)
        except ValueError as exc:
            if label:
                settled.append(label)  # the named sites need no enumeration
                continue
            # getAllSiteNums reads the number after each site label with int().
            raise CliError(f"a site line of {path.name} holds no site number ({exc}); check keyword_site") from None
        settled.append(label or found)
        announced = set(found.split(","))
        for site in label.split(",") if label else ():
            # The announced numbers come back normalised (07 -> 7); only warn when
            # no spelling of the number is announced at all.
            if site not in announced and str(int(site)) not in announced:
                print(f"{PROG} extract: warning: {path.name} announces no site {site}; its block stays empty",
                      file=sys.stderr)
    return ";".join(settled)


