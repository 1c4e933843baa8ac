"""The keyword settings file (SHM_keywords_setting.json): reading and checking it."""

from __future__ import annotations

import json
import re
from pathlib import Path
from typing import Any

from .errors import CliError, check_regular_file, os_reason

try:  # the parser moved in 3.11; the old name warns
    import re._parser as _sre_parse  # type: ignore[import-not-found]
    import re._constants as _sre_constants  # type: ignore[import-not-found]
except ImportError:  # pragma: no cover
    import sre_constants as _sre_constants  # type: ignore[no-redef]
    import sre_parse as _sre_parse  # type: ignore[no-redef]

SETTINGS_KEYS = ("keyword_item", "keyword_site", "keyword_start", "keyword_end", "keyword_pass", "keyword_fail")
REGEX_KEYS = ("keyword_item", "keyword_pass", "keyword_fail")

SETTINGS_HINT = (
    "it names the markers of your tester's datalog: keyword_item, keyword_site, keyword_start, keyword_end, "
    "keyword_pass and keyword_fail (README.md, section \"Your own tester's datalog\"; 'quorvane check DATALOG' "
    "shows what they read); pass it with --settings"
)


def load_settings(path: Path) -> dict[str, Any]:
    """Reads and checks a keyword settings file; every problem is a CliError."""
    if not path.exists() and not path.is_symlink():
        raise CliError(f"settings file not found: {path} ({SETTINGS_HINT})")
    check_regular_file(path, "settings file")
    try:
        # utf-8-sig: editors on Windows like to start the file with a byte-order mark.
        text = path.read_text(encoding="utf-8-sig")
    except OSError as exc:
        raise CliError(f"cannot read settings file {path}: {os_reason(exc)}") from None
    except UnicodeDecodeError:
        raise CliError(f"settings file {path} is not UTF-8 text") from None
    try:
        config = json.loads(text)
    except json.JSONDecodeError as exc:
        raise CliError(
            f"settings file {path} is not valid JSON: {exc.msg} at line {exc.lineno} column {exc.colno}"
        ) from None
    except RecursionError:
        raise CliError(f"settings file {path} is nested too deeply; it must hold one flat JSON object") from None
    if not isinstance(config, dict):
        raise CliError(f"settings file {path} must hold a JSON object, not {type(config).__name__}")
    for key in SETTINGS_KEYS:
        if key not in config:
            raise CliError(f"settings file {path} lacks the key '{key}'")
        if not isinstance(config[key], str):
            raise CliError(f"settings key '{key}' in {path} must be a string, not {type(config[key]).__name__}")
    for key in REGEX_KEYS:
        try:
            re.compile(config[key])
        except re.error as exc:
            raise CliError(f"settings key '{key}' in {path} is not a valid regular expression: {exc}") from None
    for key in ("keyword_site", "keyword_start", "keyword_end"):
        # An empty marker would match every line and make the extraction meaningless.
        if not config[key]:
            raise CliError(f"settings key '{key}' in {path} must not be empty")
    return config


_REPEATS = {_sre_constants.MAX_REPEAT, _sre_constants.MIN_REPEAT}


def _has_repeat(items: Any, *, nested_only: bool) -> bool:
    """True when the parsed pattern holds a repeat that can match more than
    once; with nested_only, only such a repeat inside another one counts."""
    for op, av in items:
        if op in _REPEATS:
            low, high, sub = av
            if nested_only and high > 1 and _has_repeat(sub, nested_only=False):
                return True
            if not nested_only and high > 1 and high != low:
                return True
            if _has_repeat(sub, nested_only=nested_only):
                return True
        elif op is _sre_constants.SUBPATTERN:
            if _has_repeat(av[-1], nested_only=nested_only):
                return True
        elif op is _sre_constants.BRANCH:
            if any(_has_repeat(branch, nested_only=nested_only) for branch in av[1]):
                return True
        elif op in (_sre_constants.ASSERT, _sre_constants.ASSERT_NOT):
            if _has_repeat(av[1], nested_only=nested_only):
                return True
        # Possessive repeats and atomic groups never backtrack: no risk there.
    return False


def nested_quantifiers(config: dict[str, Any]) -> list[str]:
    """The regular-expression keys whose pattern repeats a group that itself
    repeats, such as '(\\s*\\S+)+': on a line that almost matches, such a
    pattern can take minutes."""
    found = []
    for key in REGEX_KEYS:
        try:
            parsed = _sre_parse.parse(config[key])
        except re.error:
            continue
        if _has_repeat(list(parsed), nested_only=True):
            found.append(key)
    return found
