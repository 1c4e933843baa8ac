"""How the command line writes a file, and which names it refuses to write.

Every output is filled under a temporary name of its own in the target's
folder and renamed onto its name only when it is complete:

* the temporary name is unused and created exclusively, so two runs never
  share one, and neither another run's file nor a link planted at such a name
  is ever opened;
* it is created with mode 0666 through ``os.open``, so the kernel gives it the
  mode (and default ACL) any new file gets, and the process umask is never
  touched (a thread starting a child meanwhile would pass on a umask of 0);
* its data is flushed to disk before the rename, so a crash after the rename
  does not leave an empty file under the name;
* on any failure, Ctrl-C or a termination signal the temporary file goes.

The rename replaces a symbolic link at the name rather than following it.
Files that belong together (a model and its accuracy figure, a shmoo CSV and
its provenance) are staged in one `written_together` block: nothing is renamed
before all of them are complete. A table the user names "-" (`--out -`) goes
to standard output, printed only once the block's files are in place.
"""

from __future__ import annotations

import contextlib
import errno
import io
import os
import secrets
import sys
from pathlib import Path
from typing import IO, Any, Callable, Iterable, Iterator, Sequence, TextIO

from .errors import CliError

__all__ = ["STDOUT", "Outputs", "refuse_inputs_as_outputs", "replace_keeping_mode", "text_output", "write_bytes",
           "written_together"]

_CREATE = os.O_WRONLY | os.O_CREAT | os.O_EXCL | getattr(os, "O_NOFOLLOW", 0) | getattr(os, "O_CLOEXEC", 0) \
    | getattr(os, "O_BINARY", 0)
_READ = os.O_RDONLY | getattr(os, "O_NOFOLLOW", 0) | getattr(os, "O_CLOEXEC", 0) | getattr(os, "O_BINARY", 0)

# The name that sends a table to standard output, as `--out -`.
STDOUT = Path("-")


def _create_temporary(target: Path) -> tuple[int, Path]:
    """A new empty file beside `target` under an unused name, and its descriptor."""
    for _ in range(100):
        temporary = target.with_name(f".{target.name}.{secrets.token_hex(6)}.tmp")
        try:
            return os.open(temporary, _CREATE, 0o666), temporary
        except FileExistsError:
            continue
    raise FileExistsError(errno.EEXIST, "no unused temporary name beside it", str(target))


def _fsync_folder(folder: Path) -> None:
    """Makes the renames themselves durable where the system allows it."""
    with contextlib.suppress(OSError):
        fd = os.open(folder, os.O_RDONLY | getattr(os, "O_DIRECTORY", 0))
        try:
            os.fsync(fd)
        finally:
            os.close(fd)


def _claim(temporary: Path, target: Path) -> None:
    """Gives `temporary` the name `target` only if no file (or link) holds it:
    a hard link fails on a taken name; where the file system has no hard links
    the name is first created exclusively and then replaced."""
    try:
        os.link(temporary, target)
    except FileExistsError:
        raise
    except OSError:
        os.close(os.open(target, _CREATE, 0o666))
        try:
            os.replace(temporary, target)
        except BaseException:
            with contextlib.suppress(OSError):
                os.unlink(target)
            raise
    else:
        with contextlib.suppress(OSError):
            os.unlink(temporary)


class _TargetFile(io.FileIO):
    """The temporary file's descriptor: a failed write (a full disk) names the
    user's file, not the temporary one nobody asked for."""

    target = ""

    def write(self, data: Any, /) -> int:
        try:
            return super().write(data)
        except OSError as exc:
            raise _naming(exc, self.target) from None


def _naming(exc: OSError, target: str) -> OSError:
    return type(exc)(exc.errno, exc.strerror, target)


class _Staged:
    def __init__(self, target: Path, replace: bool, mode: int | None) -> None:
        self.target = target
        self.replace = replace
        self.mode = mode
        self.file: IO | None = None
        self.fd, self.temporary = _create_temporary(target)  # owned by `file` or closed at once

    def open(self) -> IO[bytes]:
        raw = _TargetFile(self.fd, "wb")
        raw.target = str(self.target)
        buffered: IO[bytes] = io.BufferedWriter(raw)
        self.file = buffered
        return buffered

    def finish(self) -> None:
        """Data on disk, descriptor closed."""
        try:
            self._finish()
        except OSError as exc:
            if exc.filename is None or os.fspath(exc.filename) == str(self.temporary):
                raise _naming(exc, str(self.target)) from None
            raise

    def _finish(self) -> None:
        if self.file is not None and not self.file.closed:
            self.file.flush()
            os.fsync(self.file.fileno())
            self.file.close()
        else:
            # Closed by its writer, or written through a descriptor of the writer's own.
            fd = os.open(self.temporary, _READ)
            try:
                os.fsync(fd)
            finally:
                os.close(fd)
        if self.mode is not None:
            os.chmod(self.temporary, self.mode)

    def discard(self) -> None:
        with contextlib.suppress(OSError, ValueError):
            if self.file is not None:
                self.file.close()
        with contextlib.suppress(OSError):
            os.unlink(self.temporary)


class Outputs:
    """The files of one `written_together` block. Each method stages one
    target; `replace=False` claims the name only if it is still free when the
    block ends (FileExistsError names it otherwise)."""

    def __init__(self) -> None:
        self._staged: list[_Staged] = []
        self._held: list[io.StringIO] = []

    def _stage(self, path: str | os.PathLike[str], replace: bool, mode: int | None = None) -> _Staged:
        target = Path(path)
        target.parent.mkdir(parents=True, exist_ok=True)
        staged = _Staged(target, replace, mode)
        self._staged.append(staged)
        return staged

    def binary(self, path: str | os.PathLike[str], replace: bool = True) -> IO[bytes]:
        return self._stage(path, replace).open()

    def text(self, path: str | os.PathLike[str], replace: bool = True) -> TextIO:
        """A UTF-8 text file; the csv module's rows are written as given (newline='')."""
        staged = self._stage(path, replace)
        file = io.TextIOWrapper(staged.open(), encoding="utf-8", newline="")
        staged.file = file
        return file

    def table(self, path: str | os.PathLike[str]) -> TextIO:
        """A text table: the file, or for `STDOUT` text held until the block
        ends without an error (what is printed cannot be taken back)."""
        if Path(path) != STDOUT:
            return self.text(path)
        held = io.StringIO(newline="")
        self._held.append(held)
        return held

    def name(self, path: str | os.PathLike[str], replace: bool = True, mode: int | None = None) -> str:
        """The temporary name, for a writer that opens the file itself (it
        exists and is empty). `mode`: permission bits to give it instead of
        those of a new file."""
        staged = self._stage(path, replace, mode)
        os.close(staged.fd)
        return str(staged.temporary)

    def _commit(self) -> None:
        for staged in self._staged:
            staged.finish()
        # Names that must be free first: those claims can still be undone.
        claimed: list[Path] = []
        try:
            for staged in self._staged:
                if not staged.replace:
                    _claim(staged.temporary, staged.target)
                    claimed.append(staged.target)
        except BaseException:
            for target in claimed:
                with contextlib.suppress(OSError):
                    os.unlink(target)
            raise
        for staged in self._staged:
            if staged.replace:
                os.replace(staged.temporary, staged.target)
        for folder in {staged.target.parent for staged in self._staged}:
            _fsync_folder(folder)
        for held in self._held:
            sys.stdout.write(held.getvalue())
        if self._held:
            sys.stdout.flush()

    def _discard(self) -> None:
        for staged in self._staged:
            staged.discard()

    def _user_error(self, exc: OSError) -> OSError:
        """The same error naming the user's file rather than a temporary one."""
        for staged in self._staged:
            if exc.filename is not None and os.fspath(exc.filename) == str(staged.temporary):
                return _naming(exc, str(staged.target))
        return exc


@contextlib.contextmanager
def written_together() -> Iterator[Outputs]:
    """Stages files; all appear under their names when the block ends without
    an error, none (and no temporary file) when it does not."""
    outputs = Outputs()
    try:
        yield outputs
        outputs._commit()
    except OSError as exc:
        outputs._discard()
        named = outputs._user_error(exc)
        if named is exc:
            raise
        raise named from None
    except BaseException:
        outputs._discard()
        raise


@contextlib.contextmanager
def text_output(path: str | os.PathLike[str], replace: bool = True) -> Iterator[TextIO]:
    """One text file, written through the file object this yields."""
    with written_together() as outputs:
        yield outputs.text(path, replace)


def write_bytes(path: str | os.PathLike[str], data: bytes, replace: bool = True) -> Path:
    with written_together() as outputs:
        outputs.binary(path, replace).write(data)
    return Path(path)


def replace_keeping_mode(path: str | os.PathLike[str], write: Callable[[str], None]) -> Path:
    """Rewrites an existing file: ``write`` fills a temporary file by name,
    which then replaces the file with the file's own permission bits. A link at
    ``path`` keeps pointing at the rewritten file. Returns the file written."""
    target = Path(os.path.realpath(path))
    mode = target.stat().st_mode & 0o7777
    with written_together() as outputs:
        write(outputs.name(target, mode=mode))
    return target


# ---------------------------------------------------------------------------
# Outputs that name an input


def _identity(path: Path) -> tuple[str, tuple[int, int] | None]:
    """The resolved path, and the file's device and inode where it exists (a
    hard link resolves to another path but is the same file)."""
    try:
        info = os.stat(path)
        inode: tuple[int, int] | None = (info.st_dev, info.st_ino)
    except (OSError, ValueError):
        inode = None
    return os.path.realpath(path), inode


def _same(a: tuple[str, tuple[int, int] | None], b: tuple[str, tuple[int, int] | None]) -> bool:
    return a[0] == b[0] or (a[1] is not None and a[1] == b[1])


def refuse_inputs_as_outputs(inputs: Iterable[tuple[str, str | os.PathLike[str]]],
                             outputs: Sequence[tuple[str, str | os.PathLike[str] | None]]) -> None:
    """Refuses an output that is one of the run's inputs (through a link or a
    hard link too), and two outputs naming the same file: either would write
    over a file the run reads or writes. `inputs` are (what it is, path),
    e.g. ("datalog", ...); `outputs` are (how the user named it, path or None),
    e.g. ("--out", ...)."""
    given = [(what, Path(path)) for what, path in outputs if path is not None]
    written = [(what, path, _identity(path)) for what, path in given]
    for what, path in inputs:
        source = _identity(Path(path))
        for option, out, identity in written:
            if _same(identity, source):
                raise CliError(f"{option} {out} is the {what} {path}; give another name")
    for k, (option, out, identity) in enumerate(written):
        for other, other_out, other_identity in written[:k]:
            if _same(identity, other_identity):
                raise CliError(f"{other} {other_out} and {option} {out} are the same file; give two names")
