"""Expected failures and how the command line reports them.

Every expected failure (missing or malformed input, bad settings, an unusable
model file) is a `CliError`: the command line prints it as one line on standard
error and exits with status 1. This module also holds the checks every job runs
on its input files and the number types the argument parser shares.
"""

from __future__ import annotations

import argparse
import contextlib
import io
import math
import os
import stat
import sys
import threading
import time
from pathlib import Path
from typing import Callable, Iterator

PROG = "quorvane"


class Terminated(KeyboardInterrupt):
    """SIGTERM or SIGHUP: unwinds like Ctrl-C, so every clean-up on the way
    out (staging folders, partial model files) runs."""

    def __init__(self, signum: int) -> None:
        super().__init__(signum)
        self.signum = signum


_signals_received: list[int] = []


def raise_terminated(signum: int, _frame: object) -> None:
    _signals_received.append(signum)
    raise Terminated(signum)


def recheck_termination() -> None:
    """A signal that arrived while a finalizer ran had its exception swallowed
    ("Exception ignored in ..."): the job still ends as terminated."""
    if _signals_received:
        raise Terminated(_signals_received[-1])


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


def check_regular_file(path: Path, what: str) -> None:
    """Refuses anything but a regular file before it is opened: a directory, a
    FIFO or a device such as /dev/zero would hang the command or fill memory."""
    try:
        info = os.stat(path)
    except FileNotFoundError:
        raise CliError(f"{what} not found: {path}") from None
    except OSError as exc:
        raise CliError(f"cannot read {what} {path}: {os_reason(exc)}") from None
    if stat.S_ISDIR(info.st_mode):
        raise CliError(f"{what} is a directory: {path}")
    if not stat.S_ISREG(info.st_mode):
        raise CliError(f"{what} is not a regular file: {path}")


def check_readable_text(path: Path, what: str) -> None:
    check_regular_file(path, what)
    try:
        with open(path, "rb") as fh:
            fh.read(1)
    except OSError as exc:
        raise CliError(f"cannot read {what} {path}: {os_reason(exc)}") from None


def check_output_file(path: Path, what: str) -> None:
    """An output named by the user must be a file name, not a folder."""
    if path.is_dir():
        raise CliError(f"{what} {path} is a directory; give a file name")


# ---------------------------------------------------------------------------
# What the two modules print


class _LineSink(io.TextIOBase):
    """Stands in for sys.stdout while a module runs: complete lines go to
    `on_line`, so module chatter never lands among the command's results."""

    def __init__(self, on_line: Callable[[str], None]) -> None:
        self._on_line = on_line
        self._pending = ""

    def writable(self) -> bool:
        return True

    def write(self, text: str) -> int:
        self._pending += text
        *lines, self._pending = self._pending.split("\n")
        for line in lines:
            self._on_line(line)
        return len(text)

    def flush(self) -> None:
        pass

    def finish(self) -> None:
        if self._pending:
            self._on_line(self._pending)
            self._pending = ""


_verbose = False


def set_verbose(value: bool) -> None:
    global _verbose
    _verbose = value


@contextlib.contextmanager
def module_output(on_line: Callable[[str], None] | None = None) -> Iterator[None]:
    """Captures what a module prints: shown on standard error with --verbose,
    otherwise hidden; `on_line` sees every line either way."""

    def handle(line: str) -> None:
        if on_line is not None:
            on_line(line)
        if _verbose:
            print(line, file=sys.stderr, flush=True)

    sink = _LineSink(handle)
    with contextlib.redirect_stdout(sink):
        try:
            yield
        finally:
            sink.finish()


# ---------------------------------------------------------------------------
# Progress on a terminal


class Progress:
    """A progress line on standard error, drawn only when standard error is a
    terminal (piped or redirected output stays clean). While the progress is
    open a ticker redraws it with the elapsed time, so a long native call that
    reports nothing still shows it is alive."""

    def __init__(self, command: str, text: str = "") -> None:
        self._command = command
        self._text = text
        self._started = time.monotonic()
        self._lock = threading.Lock()
        self._stop = threading.Event()
        self._thread: threading.Thread | None = None
        self.enabled = sys.stderr.isatty()

    def __enter__(self) -> "Progress":
        if self.enabled:
            self._draw()
            self._thread = threading.Thread(target=self._tick, daemon=True)
            self._thread.start()
        return self

    def __exit__(self, *exc: object) -> None:
        self._stop.set()
        if self._thread is not None:
            self._thread.join()
            with self._lock:
                sys.stderr.write("\r\033[K")
                sys.stderr.flush()

    def update(self, text: str) -> None:
        with self._lock:
            self._text = text
        self._draw()

    def _tick(self) -> None:
        while not self._stop.wait(0.5):
            self._draw()

    def _draw(self) -> None:
        if not self.enabled:
            return
        with self._lock:
            elapsed = time.monotonic() - self._started
            sys.stderr.write(f"\r\033[K{PROG} {self._command}: {self._text} ({elapsed:.0f} s)")
            sys.stderr.flush()


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


def int_between(low: int, high: int):
    """An argparse type: a whole number from `low` to `high`."""
    at_least = int_at_least(low, f"must be at least {low}")

    def parse(text: str) -> int:
        value = at_least(text)
        if value > high:
            raise argparse.ArgumentTypeError(f"must be at most {high}, got {value}")
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
