"""The keyword settings file (SHM_keywords_setting.json): reading and checking it."""

from __future__ import annotations

import json
import re
from pathlib import Path
from typing import Any

from .errors import PROG, CliError, os_reason

SETTINGS_KEYS = ("keyword_item", "keyword_site", "keyword_start", "keyword_end", "keyword_pass", "keyword_fail")
REGEX_KEYS = ("keyword_item", "keyword_pass", "keyword_fail")


def load_settings(path: Path) -> dict[str, Any]:
    """Reads and checks a keyword settings file; every problem is a CliError."""
    if not path.exists():
        raise CliError(f"settings file not found: {path} (write one with '{PROG} sample' or pass --settings)")
    try:
        text = path.read_text(encoding="utf-8")
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
