"""The lot, wafer, program, tester and temperature a datalog's header names.

Each field is read by one regular expression with one group, from the
settings key ``keyword_<field>`` where the settings file has it, else from
the default below, which reads headers such as ``Lot: QV7  Wafer: 07
Program: QV_CHAR_A1  Tester: QV-9300  Temperature: 25C``. The header is the
text before the first plot's start marker (at most ``HEADER_LINES`` lines);
the first line a field's expression finds wins. A field the header does not
name is empty: a datalog without a header is read as before.
"""

from __future__ import annotations

import re
from pathlib import Path
from typing import Any, Mapping, Sequence

from .errors import CliError

#: The fields, in the order every output shows them.
HEADER_FIELDS = ("lot", "wafer", "program", "tester", "temperature")

#: Lines read for a header where no plot starts sooner.
HEADER_LINES = 2000

_VALUE = r"[:=#]\s*([^\s,;|]+)"
DEFAULT_EXPRESSIONS = {
    "lot": r"(?i)\blot(?:[ _-]?(?:id|no\.?|number|name))?\s*" + _VALUE,
    "wafer": r"(?i)\bwafer(?:[ _-]?(?:id|no\.?|number))?\s*" + _VALUE,
    "program": r"(?i)\b(?:test[ _-]?)?program(?:[ _-]?name)?\s*" + _VALUE,
    "tester": r"(?i)\btester(?:[ _-]?(?:id|name|type))?\s*" + _VALUE,
    "temperature": r"(?i)\btemp(?:erature)?\s*[:=]\s*([-+]?\d+(?:\.\d+)?\s*(?:°\s*)?[CFK]?)(?![\w.])",
}

HeaderFields = dict[str, str]


def settings_key(field: str) -> str:
    return f"keyword_{field}"


def header_expressions(config: Mapping[str, Any], settings_path: Path | str = "the settings file") -> dict:
    """The compiled expression of each field (None: the field is switched off
    by an empty text). A key that is not a text, not a regular expression or
    without exactly one group is a CliError naming it."""
    compiled: dict[str, re.Pattern[str] | None] = {}
    for field in HEADER_FIELDS:
        key = settings_key(field)
        text = config.get(key, DEFAULT_EXPRESSIONS[field])
        if not isinstance(text, str):
            raise CliError(f"settings key '{key}' in {settings_path} must be a string, not {type(text).__name__}")
        if not text:
            compiled[field] = None
            continue
        try:
            pattern = re.compile(text)
        except re.error as exc:
            raise CliError(f"settings key '{key}' in {settings_path} is not a valid regular expression: "
                           f"{exc}") from None
        if pattern.groups != 1:
            raise CliError(f"settings key '{key}' in {settings_path} must hold exactly one group, the "
                           f"{field} itself, such as {DEFAULT_EXPRESSIONS[field]!r}; it holds {pattern.groups}")
        compiled[field] = pattern
    return compiled


def read_header(expressions: Mapping[str, re.Pattern[str] | None], lines: Sequence[str],
                plot_start: str) -> HeaderFields:
    """The fields the header of a datalog's lines names; empty where it names none."""
    found = {field: "" for field in HEADER_FIELDS}
    wanted = {field: pattern for field, pattern in expressions.items() if pattern is not None}
    for line in lines[:HEADER_LINES]:
        if plot_start and plot_start in line:
            break
        for field, pattern in list(wanted.items()):
            match = pattern.search(line)
            if match and match.group(1):
                found[field] = match.group(1).strip()
                del wanted[field]
        if not wanted:
            break
    return found


def empty_header() -> HeaderFields:
    return {field: "" for field in HEADER_FIELDS}


def header_cells(header: Mapping[str, str]) -> list[str]:
    """The fields' values in ``HEADER_FIELDS`` order, as table columns take them."""
    return [header.get(field, "") for field in HEADER_FIELDS]
