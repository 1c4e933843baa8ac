"""Expected failures and how the command line reports them.

Every expected failure (missing or malformed input, bad settings, an unusable
model file) is a `CliError`: the command line prints it as one line on standard
error and exits with status 1. This module also holds the checks every job runs
on its input files and the number types the argument parser shares.
"""

from __future__ import annotations

import argparse
import math
import sys
from pathlib import Path

PROG = "quorvane"


class CliError(Exception):
    """An expected failure, reported as one line without a traceback."""


def say(*parts: object) -> None:
    """A result line on standard output."""
    print(*parts, flush=True)


def warn(command: str, message: str) -> None:
    """A one-line warning on standard error."""
    print(f"{PROG} {command}: warning: {message}", file=sys.stderr, flush=True)


def os_reason(exc: OSError) -> str:
    return exc.strerror or str(exc)


def check_readable_text(path: Path, what: str) -> None:
    if not path.exists():
        raise CliError(f"{what} not found: {path}")
    if path.is_dir():
        raise CliError(f"{what} is a directory: {path}")
    try:
        with open(path, "rb") as fh:
            fh.read(1)
    except OSError as exc:
        raise CliError(f"cannot read {what} {path}: {os_reason(exc)}") from None


def check_utf8(path: Path) -> None:
    """Datalogs are read as UTF-8 (and whole, by the extractor too); name the
    file and line of the first bad byte rather than fail halfway without saying where."""
    data = path.read_bytes()
    try:
        data.decode("utf-8")
    except UnicodeDecodeError as exc:
        line = data.count(b"\n", 0, exc.start) + 1
        raise CliError(f"datalog {path} is not UTF-8 text (line {line})") from None


# ---------------------------------------------------------------------------
# Argument types shared by the subcommands


def int_at_least(minimum: int, wording: str):
    """An argparse type: a whole number no smaller than `minimum`."""

    def parse(text: str) -> int:
        try:
            value = int(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"invalid integer: {text!r}") from None
        if value < minimum:
            raise argparse.ArgumentTypeError(f"{wording}, got {value}")
        return value

    return parse


positive_int = int_at_least(1, "must be at least 1")
non_negative_int = int_at_least(0, "must not be negative")


def positive_float(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"invalid number: {text!r}") from None
    if not (value > 0 and math.isfinite(value)):
        raise argparse.ArgumentTypeError(f"must be a positive number, got {text}")
    return value
