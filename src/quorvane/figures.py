"""Pictures: pyplot access, the grid of classified plots and the class picture."""

from __future__ import annotations

import math
import os
import sys
from pathlib import Path
from typing import Any, Sequence

from . import samples
from .outputs import Outputs, written_together
from .symbols import is_label_text, same_label


def pyplot() -> Any:
    import matplotlib

    # Without a display (headless Linux, CI) matplotlib already falls back to
    # Agg; an explicit choice by the user (MPLBACKEND) is left alone.
    if (
        sys.platform.startswith("linux")
        and not os.environ.get("MPLBACKEND")
        and not (os.environ.get("DISPLAY") or os.environ.get("WAYLAND_DISPLAY"))
    ):
        matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    return plt


def tavrine() -> Any:
    """The classifier module, imported after the pyplot backend is settled
    (tavrine imports pyplot itself)."""
    pyplot()
    from .Source import tavrine as module

    return module


#: Plots in one grid picture at most (six per row): beyond this the picture
#: grows past what an image viewer shows.
MAX_GRID_PLOTS = 240


def save_figure(fig: Any, path: Path, dpi: int = 100, outputs: Outputs | None = None) -> None:
    """Saves the picture through the output helper; with `outputs` it is
    renamed onto its name together with the other files of that block."""
    if outputs is None:
        with written_together() as alone:
            save_figure(fig, path, dpi, alone)
        return
    # The name's suffix tells the format (the temporary file has another).
    fig.savefig(outputs.binary(path), dpi=dpi, format=path.suffix[1:].lower() or None)


def save_page(fig: Any, path: Path, page_number: int, outputs: Outputs | None = None) -> Path:
    """Saves page `page_number` of a picture that runs over several pages:
    the first under `path`, the others as PATH_2, PATH_3, ... Returns the name."""
    target = path if page_number == 1 else path.with_name(f"{path.stem}_{page_number}{path.suffix}")
    save_figure(fig, target, outputs=outputs)
    return target


def new_figures(plt: Any, before: set[int]) -> list[Any]:
    return [plt.figure(n) for n in plt.get_fignums() if n not in before]


def save_grid(path: Path, plots: Any, titles: Sequence[str], given: Sequence[str], limit: int,
              outputs: Outputs | None = None) -> int:
    """A grid of plots titled with their predicted labels; where the file's own
    label differs, it is shown below in red. Returns the number of plots drawn."""
    plt = pyplot()
    count = min(limit, len(titles))
    cols = min(6, count) or 1
    rows = max(1, math.ceil(count / cols))
    fig, axes = plt.subplots(rows, cols, figsize=(2.1 * cols, 2.3 * rows), squeeze=False)
    for k, ax in enumerate(axes.flat):
        ax.set_xticks([])
        ax.set_yticks([])
        if k >= count:
            ax.set_visible(False)
            continue
        ax.imshow(plots[k, 0].numpy(), cmap="RdYlGn", vmin=0.0, vmax=1.0)
        title = titles[k] or "(none)"
        if is_label_text(given[k]) and not same_label(given[k], titles[k]):
            ax.set_title(f"{title}\nfile: {given[k]}", fontsize=8, color="firebrick")
        else:
            ax.set_title(title, fontsize=8)
    fig.suptitle("predicted labels (green passes, red fails)", fontsize=10)
    fig.tight_layout()
    save_figure(fig, path, outputs=outputs)
    plt.close(fig)
    return count


PICTURE_LABELS = ("Pass", "Fail", "Pass-Vol", "Pass-Freq", "Pass-Marginal", "Pass-Hole", "Pass-Vol-Freq",
                  "Pass-Freq-Hole")


def save_class_picture(path: Path, seed: int = 0, outputs: Outputs | None = None) -> None:
    """One generated plot per class (and two combinations), as a small PNG."""
    import random

    plt = pyplot()
    rng = random.Random(seed)
    fig, axes = plt.subplots(2, 4, figsize=(8.4, 4.8))
    for ax, label in zip(axes.flat, PICTURE_LABELS):
        ax.imshow(samples.plot_for_label(label, rng), cmap="RdYlGn", vmin=0, vmax=1)
        ax.set_title(label, fontsize=9)
        ax.set_xticks([0, samples.COLUMNS - 1], ["lo", "hi"], fontsize=7)
        ax.set_yticks([0, samples.ROWS - 1], ["hi", "lo"], fontsize=7)
    fig.supxlabel("frequency (columns)  -  green passes, red fails", fontsize=9)
    fig.supylabel("supply voltage (rows)", fontsize=9)
    fig.tight_layout()
    save_figure(fig, path, outputs=outputs)
    plt.close(fig)


def image_path(path: Path, what: str) -> Path:
    """The file a picture is saved to: a name without an extension gets
    ".png" (and that is the name reported); an extension the plotting library
    cannot write, or a folder, is refused before any work is done."""
    from .errors import CliError, check_output_file

    check_output_file(path, what)
    if not path.suffix:
        path = path.with_name(path.name + ".png")
        check_output_file(path, what)
    from matplotlib.backend_bases import FigureCanvasBase

    formats = FigureCanvasBase.get_supported_filetypes()
    if path.suffix[1:].lower() not in formats:
        raise CliError(f"{what} {path}: cannot write {path.suffix!r} pictures; use one of "
                       f"{', '.join('.' + f for f in sorted(formats))}")
    return path
