"""A look through a shmoo CSV before the classifier's datasets read it.

The datasets stop quietly at the first record they cannot read and take any
number (NaN and infinity included) as a point; a label word they do not know
gives an all-zero target. This pass finds those records first, so that the
command line can name them (record number and line) instead of counting them.
"""

from __future__ import annotations

import csv
import math
from dataclasses import dataclass, field
from pathlib import Path

from .errors import CliError, os_reason
from .symbols import LABEL_KEYS, POINT_SYMBOLS

#: Plot rows per record (the label line comes on top).
PLOT_ROWS = 11
#: Widest plot accepted. Real shmoo plots are tens of points wide; a file with
#: millions of fields per line would take gigabytes once it is a tensor.
MAX_WIDTH = 1000

#: The label `export` writes where no model labelled a record; `train`
#: refuses a file that still holds it.
PLACEHOLDER = "UNLABELLED"

_SYMBOLS = frozenset(POINT_SYMBOLS)
_KEYS = frozenset(LABEL_KEYS)


@dataclass
class CsvCheck:
    """What the look found: records readable before the first bad one, the
    first bad record (number, line, reason), the first non-finite point
    (record, line, text) and the unknown label words with their records."""

    width: int = 0
    records: int = 0
    bad: tuple[int, int, str] | None = None
    non_finite: tuple[int, int, str] | None = None
    unknown_words: dict[str, list[int]] = field(default_factory=dict)


def _number(text: str) -> float | None:
    try:
        return float(text)
    except ValueError:
        return None


def check_shmoo_csv(path: Path, *, labels: bool) -> CsvCheck:
    """Reads `path` record by record the way the datasets do; with `labels`
    the label texts must be made of label keys (training)."""
    result = CsvCheck()
    try:
        fh = open(path, encoding="utf-8", errors="replace", newline="")
    except OSError as exc:
        raise CliError(f"cannot read shmoo CSV {path}: {os_reason(exc)}") from None
    with fh:
        csv.field_size_limit(1 << 30)
        reader = csv.reader(fh)
        record: list[list[str]] = []
        label_line = 0
        for fields in reader:
            if not fields or fields == [""]:
                continue  # the reader skips blank lines
            line = reader.line_num
            if not result.width:
                result.width = len(fields)
                if result.width > MAX_WIDTH:
                    raise CliError(
                        f"shmoo CSV {path} has {result.width} fields per line; plots wider than {MAX_WIDTH} "
                        "points are refused"
                    )
            number = result.records + 1
            if len(fields) > result.width:
                result.bad = (number, line, f"{len(fields)} fields where the first line has {result.width}")
                return result
            if not record:
                label_line = line
            record.append(fields)
            if len(record) < PLOT_ROWS + 1:
                continue
            reason = _check_record(record, label_line, number, result, labels)
            if reason is not None:
                result.bad = (number, label_line, reason)
                return result
            result.records += 1
            record = []
        if record:
            result.bad = (result.records + 1, label_line,
                          f"the file ends after {len(record) - 1} of its {PLOT_ROWS} plot lines")
    return result


def _check_record(record: list[list[str]], label_line: int, number: int, result: CsvCheck,
                  labels: bool) -> str | None:
    label = record[0][0]
    if not label.strip() or _number(label) is not None:
        return f"its label field {label!r} is not a label text"
    for row, fields in enumerate(record[1:], 1):
        if len(fields) == result.width and _SYMBOLS.issuperset(fields):
            continue
        for column in range(result.width):
            text = fields[column] if column < len(fields) else ""
            if text in _SYMBOLS:
                continue
            value = _number(text) if text.strip() else math.nan
            if value is None:
                return f"the point {text!r} on line {label_line + row} is neither a point symbol nor a number"
            if not math.isfinite(value) and result.non_finite is None:
                shown = repr(text) if text.strip() else "an empty field"
                result.non_finite = (number, label_line + row, f"{shown} in column {column + 1}")
    if labels:
        for word in label.split("-"):
            if word not in _KEYS:
                result.unknown_words.setdefault(word, []).append(number)
    return None


def describe_bad(check: CsvCheck) -> str:
    assert check.bad is not None
    number, line, reason = check.bad
    return f"record {number} (line {line}): {reason}"


def describe_unknown(check: CsvCheck, limit: int = 5) -> str:
    parts = []
    for word, records in check.unknown_words.items():
        shown = ", ".join(map(str, records[:limit])) + (f" and {len(records) - limit} more" if len(records) > limit
                                                        else "")
        parts.append(f"{word!r} (record{'s' if len(records) > 1 else ''} {shown})")
    return "; ".join(parts)


def placeholder_records(csv_path: Path) -> list[int]:
    """1-based numbers of the records whose label is still the placeholder."""
    found = []
    with open(csv_path, encoding="utf-8", newline="") as f:
        for index, row in enumerate(csv.reader(f)):
            if index % (PLOT_ROWS + 1) == 0 and row and row[0].strip() == PLACEHOLDER:
                found.append(index // (PLOT_ROWS + 1) + 1)
    return found
