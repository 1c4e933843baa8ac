# Private native reader behind quorvane.plots; use quorvane.plots instead.
from collections.abc import Callable
from typing import Any

_Match = Callable[[str], Any]
# (item, pattern, line, row_labels, axis, grid bytes (int8, row-major), rows, cols)
_PlotTuple = tuple[str, str | None, int, tuple[str, ...], tuple[str, ...] | None, bytes, int, int]

def read_plots(
    lines: list[str],
    sites: list[str],
    item_match: _Match,
    site_label: str,
    pattern_name: str,
    plot_start: str,
    plot_end: str,
    pass_match: _Match,
    fail_match: _Match,
    /,
) -> tuple[list[list[_PlotTuple]], list[tuple[int, int]]]: ...
def count_plots(
    lines: list[str],
    sites: list[str],
    item_match: _Match,
    site_label: str,
    pattern_name: str,
    plot_start: str,
    plot_end: str,
    pass_match: _Match,
    fail_match: _Match,
    /,
) -> tuple[list[int], list[tuple[int, int]]]: ...
def announced_sites(lines: list[str], site_label: str, /) -> dict[str, int | None]: ...
