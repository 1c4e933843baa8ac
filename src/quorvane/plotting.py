"""The ``plot`` job: one shmoo plot of a datalog drawn as a picture.

The plot is drawn as the datalog prints it (first printed row at the top,
first point column at the left), so the picture matches what the engineer
reads in the datalog; both axes carry the printed values and their units
(``quorvane.axes.plot_axes``). Passing points take the extraction's pass
colour, failing points its fail colour, points that are neither grey. With a
model the title also gives the plot's verdict (``triage.classify_plots``).
"""

from __future__ import annotations

import textwrap
from pathlib import Path
from typing import Any, Sequence

import numpy as np

from .axes import Axis, plot_axes
from .errors import CliError
from .extraction import visible
from .figures import FAIL_COLOUR, NEITHER_COLOUR, PASS_COLOUR, image_path, item_name, pyplot, save_figure
from .outputs import refuse_inputs_as_outputs, written_together

__all__ = ["page_path", "run_plot", "select_plots"]

# Tick labels on an axis at most: beyond this every k-th value is labelled.
_MAX_TICKS = 24


def page_path(path: Path, number: int) -> Path:
    """Page `number` of ``--all``: fig.png -> fig_001.png, fig_002.png, ..."""
    return path.with_name(f"{path.stem}_{number:03d}{path.suffix}")


def select_plots(plots: Any, item: str) -> tuple[list[Any], list[str]]:
    """(the plots whose item line holds `item`, without regard to case; the
    distinct item lines seen, for saying what there is when none does)."""
    wanted = item.casefold()
    chosen: list[Any] = []
    seen: dict[str, None] = {}
    for plot in plots:
        key = " ".join(str(plot.item).split())
        seen.setdefault(key)
        if wanted in key.casefold():
            chosen.append(plot)
    return chosen, list(seen)


def _ticks(ax: Any, axis: Axis, count: int, which: str) -> None:
    step = max(1, -(-count // _MAX_TICKS))
    positions = list(range(0, count, step))
    texts = [axis.texts[k] for k in positions] if axis.from_datalog else [str(k + 1) for k in positions]
    if which == "x":
        ax.set_xticks(positions, texts, fontsize=7, rotation=90 if count > 12 else 0)
    else:
        ax.set_yticks(positions, texts, fontsize=7)


def _title(plot: Any, verdict: Any) -> str:
    item = " ".join(str(plot.item).split())
    name = item_name(item, getattr(plot, "pattern", None))
    if name not in item:
        item += f"  (pattern {name})"
    lines = textwrap.wrap(item, 80, break_on_hyphens=False)
    lines.append(f"{visible(Path(plot.datalog).name)}  site {plot.site}  plot {plot.plot}  "
                 f"({plot.rows} x {plot.cols}, line {plot.line})")
    if verdict is not None:
        text = f"verdict: {verdict.label}"
        if verdict.probabilities is not None:
            text += f"  (p Pass {verdict.probabilities[1]:.2f})"
        if verdict.review:
            text += f"  review: {verdict.why}"
        lines.extend(textwrap.wrap(text, 80, break_on_hyphens=False))
    return "\n".join(lines)


def draw_plot(fig: Any, plot: Any, verdict: Any = None) -> None:
    """Draws `plot` on the empty figure `fig`."""
    from matplotlib.colors import ListedColormap
    from matplotlib.patches import Patch

    grid = np.asarray(plot.grid)
    title = _title(plot, verdict)
    # Margins set here rather than by a layout pass per page (a third of the
    # time of a page): the title's lines above, rotated column values below,
    # the legend to the right.
    width, height = fig.get_size_inches()
    fig.subplots_adjust(left=0.9 / width, right=1 - 1.2 / width, bottom=0.85 / height,
                        top=1 - (0.25 + 0.17 * (title.count("\n") + 1)) / height)
    ax = fig.add_subplot()
    rows, cols = grid.shape if grid.ndim == 2 else (0, 0)
    if not rows or not cols:
        ax.set_axis_off()
        ax.text(0.5, 0.5, "no point rows", ha="center", va="center")
        ax.set_title(title, fontsize=9, loc="left")
        return
    # -1 (neither), 0 (fail), 1 (pass) index the three colours.
    cmap = ListedColormap([NEITHER_COLOUR, FAIL_COLOUR, PASS_COLOUR])
    ax.imshow(grid + 1, cmap=cmap, vmin=-0.5, vmax=2.5, interpolation="nearest", aspect="auto")
    # Thin lines between the points (two line collections: cheaper than minor ticks on a 41-column plot).
    ax.vlines(np.arange(0.5, cols - 1), -0.5, rows - 0.5, colors="white", linewidths=0.5)
    ax.hlines(np.arange(0.5, rows - 1), -0.5, cols - 0.5, colors="white", linewidths=0.5)
    y, x = plot_axes(plot)
    _ticks(ax, x, cols, "x")
    _ticks(ax, y, rows, "y")
    ax.set_xlabel(x.title(x.dimension or "column") if x.from_datalog else "column (no values printed)", fontsize=9)
    ax.set_ylabel(y.title(y.dimension or "row") if y.from_datalog else "row (no values printed)", fontsize=9)
    legend = [Patch(color=PASS_COLOUR, label="pass"), Patch(color=FAIL_COLOUR, label="fail")]
    if (grid < 0).any():
        legend.append(Patch(color=NEITHER_COLOUR, label="untested"))
    ax.legend(handles=legend, loc="upper left", bbox_to_anchor=(1.01, 1.0), borderaxespad=0.0, fontsize=8)
    ax.set_title(title, fontsize=9, loc="left")


def _verdicts(model: Path, plots: Sequence[Any]) -> list[Any]:
    from .models import load_model, model_calibration
    from .triage import classify_plots

    net, payload = load_model(model, scoring_only=True)
    calibration = model_calibration(payload, model)
    try:
        return [v for _, v in classify_plots(net, plots, calibration=calibration)]
    except ValueError as exc:
        raise CliError(f"cannot classify the plot with {model}: {exc}") from None


def run_plot(datalogs: Sequence[str | Path], settings_path: Path, sites: Sequence[str] | None, item: str,
             out: Path, number: int | None = None, every: bool = False,
             model: Path | None = None) -> tuple[list[Path], int]:
    """Draws the plot(s) of the selected sites whose item line holds `item`:
    the `number`-th of them (default the first), or with `every` each on its
    own page. Returns the pictures written and the number of plots selected."""
    from .selection import plot_source

    out = image_path(out, "-o")
    inputs = [("datalog", Path(p)) for p in datalogs] + [("settings file", settings_path)]
    if model is not None:
        inputs.append(("model file", model))
    refuse_inputs_as_outputs(inputs, [("-o", out)])
    search, plots = plot_source("plot", datalogs, settings_path, sites)
    chosen, items = select_plots(plots, item)
    search.finish()
    if not chosen:
        shown = "; ".join(repr(visible(i)) for i in items[:5]) + (f" and {len(items) - 5} more"
                                                                   if len(items) > 5 else "")
        raise CliError(f"no plot's item line holds {item!r} in the sites read; the items are {shown}; "
                       "nothing written")
    if number is not None and number > len(chosen):
        raise CliError(f"--plot {number}: the selection holds {len(chosen)} plot(s); nothing written")
    drawn = chosen if every else [chosen[(number or 1) - 1]]
    verdicts = _verdicts(model, drawn) if model is not None else [None] * len(drawn)
    plt = pyplot()
    written = []
    fig = plt.figure(figsize=(9.0, 6.5))
    try:
        with written_together() as outputs:
            for k, (plot, verdict) in enumerate(zip(drawn, verdicts), start=1):
                fig.clear()
                draw_plot(fig, plot, verdict)
                target = page_path(out, k) if every else out
                save_figure(fig, target, outputs=outputs)
                written.append(target)
    finally:
        plt.close(fig)
    return written, len(chosen)
