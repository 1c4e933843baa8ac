"""Extra worksheets for a saved extraction workbook.

The extraction writes its workbook in one go; reports built on the same plots
(a composite map, verdicts) are added afterwards as worksheets of their own,
leaving "Sheet" as it was. The file is rewritten beside itself and swapped in
with one rename, so a failure at any point leaves the original workbook intact.
"""

from __future__ import annotations

import os
import tempfile
from pathlib import Path
from typing import Any, Callable, Mapping

__all__ = ["append_worksheets", "check_sheet_name"]

# What spreadsheet programs accept as a worksheet name.
_MAX_NAME = 31
_FORBIDDEN = set("[]:*?/\\")


def check_sheet_name(name: str) -> None:
    if not isinstance(name, str) or not name.strip():
        raise ValueError(f"worksheet name must be a non-empty text, got {name!r}")
    if len(name) > _MAX_NAME:
        raise ValueError(f"worksheet name {name!r} is longer than {_MAX_NAME} characters")
    bad = sorted(_FORBIDDEN & set(name))
    if bad:
        raise ValueError(f"worksheet name {name!r} must not contain {' '.join(bad)}")
    if name.startswith("'") or name.endswith("'"):
        raise ValueError(f"worksheet name {name!r} must not start or end with an apostrophe")


def append_worksheets(path: str | os.PathLike[str], sheets: Mapping[str, Callable[[Any], None]]) -> Path:
    """Adds one worksheet per entry of ``sheets`` (name -> function that fills
    the new openpyxl worksheet) to the workbook at ``path``, in the given order.

    A name the workbook already has is refused (ValueError) rather than
    replaced. The result keeps the file's permission bits; a symbolic link
    keeps pointing at the rewritten file. Returns the path written.
    """
    import openpyxl

    target = Path(os.path.realpath(path))
    names = list(sheets)
    for name in names:
        check_sheet_name(name)
    mode = target.stat().st_mode & 0o7777
    workbook = openpyxl.load_workbook(target)
    existing = {title.casefold() for title in workbook.sheetnames}
    for name in names:
        if name.casefold() in existing:
            raise ValueError(f"{target} already has a worksheet named {name!r}")
        existing.add(name.casefold())
    for name in names:
        sheets[name](workbook.create_sheet(name))
    fd, temporary = tempfile.mkstemp(prefix=f".{target.name}.", suffix=".partial", dir=target.parent)
    os.close(fd)
    try:
        workbook.save(temporary)
        os.chmod(temporary, mode)
        with open(temporary, "rb") as fh:
            os.fsync(fh.fileno())
        os.replace(temporary, target)
    except BaseException:
        _remove_quietly(temporary)
        raise
    return target


def _remove_quietly(path: str) -> None:
    try:
        os.unlink(path)
    except FileNotFoundError:
        pass
