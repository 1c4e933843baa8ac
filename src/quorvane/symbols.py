"""Label keys and point symbols: the one place the Python side defines them.

Every Python file of the package (and the benches and examples) takes these from
here, so the label vocabulary and the symbol table cannot drift apart.
"""

from __future__ import annotations

__all__ = [
    "FAIL_SYMBOL",
    "LABEL_KEYS",
    "PASS_SYMBOL",
    "POINT_SYMBOLS",
    "fail_symbols",
    "is_label_text",
    "pass_symbols",
    "same_label",
]

#: The label vocabulary, in label-vector order.
LABEL_KEYS: tuple[str, ...] = ("Fail", "Pass", "Vol", "Freq", "Marginal", "Hole")

#: The symbols the workbook writes for a passing and a failing point.
PASS_SYMBOL = "P"
FAIL_SYMBOL = "."

#: Point symbols a shmoo CSV field may hold and the value each reads as
#: (1.0 passes, 0.0 fails). A field matches only when it is exactly the symbol.
POINT_SYMBOLS: dict[str, float] = {"P": 1.0, "p": 1.0, ".": 0.0, "*": 1.0, "#": 0.0}


def pass_symbols() -> tuple[str, ...]:
    """The point symbols that read as a passing point."""
    return tuple(s for s, v in POINT_SYMBOLS.items() if v == 1.0)


def fail_symbols() -> tuple[str, ...]:
    """The point symbols that read as a failing point."""
    return tuple(s for s, v in POINT_SYMBOLS.items() if v == 0.0)


def is_label_text(text: str) -> bool:
    """True for a label text made only of label keys joined by "-", such as "Pass-Vol"."""
    return bool(text) and all(k in LABEL_KEYS for k in text.split("-"))


def same_label(a: str, b: str) -> bool:
    """Two label texts name the same keys (in any order)."""
    return set(a.split("-")) == set(b.split("-"))
