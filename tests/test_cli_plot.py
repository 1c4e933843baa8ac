"""`quorvane plot` and the small titles of the grid pictures."""

import json

import numpy as np
import pytest

from quorvane import cli, figures, plotting, samples, triage

LOG = """Lot: QV-TEST
  3001  Shmoo_Vmin  scan_long
Site Number: 3
    Shmoo: X-Axis: FREQ(MHz)  Y-Axis: VDD(V)
    1.20  P P ? .
    1.10  P P . .
    100 120 140 160
    *** End of Shmoo ***
  3002  Shmoo_Vmin  io_short
Site Number: 3
    Shmoo: X-Axis: FREQ(MHz)  Y-Axis: VDD(V)
    1.20  P P P
    1.10  P . .
    100 120 140
    *** End of Shmoo ***
  3001  Shmoo_Vmin  scan_long
Site Number: 3
    Shmoo: X-Axis: FREQ(MHz)  Y-Axis: VDD(V)
    1.20  P P P P
    1.10  P P P .
    100 120 140 160
    *** End of Shmoo ***
"""


def test_plot_draws_the_selection_with_its_axis_values(tmp_path, capsys, monkeypatch):
    log = tmp_path / "lot.txt"
    log.write_text(LOG, encoding="utf-8")
    settings = tmp_path / "settings.json"
    settings.write_text(json.dumps(samples.settings()), encoding="utf-8")
    drawn = []
    save = plotting.save_figure

    def noted(fig, path, **kwargs):
        ax = fig.axes[0]
        drawn.append((path.name, [t.get_text() for t in ax.get_xticklabels()], ax.get_xlabel(), ax.get_ylabel(),
                      [t.get_text() for t in ax.get_legend().get_texts()]))
        save(fig, path, **kwargs)

    monkeypatch.setattr(plotting, "save_figure", noted)
    base = [str(log), "--settings", str(settings), "--site", "3"]
    assert cli.main(["plot", *base, "--item", "SCAN", "--plot", "2", "-o", str(tmp_path / "one.png")]) == 0
    # Bare numbers under the points: one value per column, none dropped.
    assert drawn == [("one.png", ["100", "120", "140", "160"], "FREQ (MHz)", "VDD (V)", ["pass", "fail"])]
    assert (tmp_path / "one.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"

    drawn.clear()
    assert cli.main(["plot", *base, "--item", "scan", "--all", "-o", str(tmp_path / "fig.png")]) == 0
    assert [d[0] for d in drawn] == ["fig_001.png", "fig_002.png"]
    assert drawn[0][4] == ["pass", "fail", "untested"]
    assert all((tmp_path / d[0]).is_file() for d in drawn)

    capsys.readouterr()
    assert cli.main(["plot", *base, "--item", "nowhere", "-o", str(tmp_path / "none.png")]) == 1
    err = capsys.readouterr().err.strip().splitlines()
    assert len(err) == 1 and err[0].startswith("quorvane plot: error: ") and "nowhere" in err[0], err
    assert not (tmp_path / "none.png").exists()


@pytest.mark.parametrize("pattern", ["    Shmoo: VDD(V) vs Freq(MHz)  pattern core_func_max_at_speed_0042",
                                     "    Pattern: core_func_max_at_speed_0042"])
def test_grid_titles_name_the_pattern(tmp_path, monkeypatch, pattern):
    titles = []
    monkeypatch.setattr(figures, "save_figure",
                        lambda fig, path, **kw: titles.extend(ax.get_title() for ax in fig.axes if ax.get_visible()))
    verdict = triage.Verdict("a/lot_with_a_long_name_0001.txt", "3", 1, "  2001  Shmoo_VDD_vs_Freq  x", 4, 3, 3,
                             0.5, "Pass-Vol", None)
    plot = type("P", (), {"grid": np.ones((3, 3)), "row_labels": ("1.2V", "1.1V", "1.0V"),
                          "axis": ("MHz", "100", "200", "300"), "heading": pattern, "pattern": pattern})()
    triage.save_grid(tmp_path / "g.png", [(plot.grid, verdict, plot)], figures.pyplot)
    # Wrapped, never cut: the whole pattern name stands in the title.
    assert titles and "core_func_max_at_speed_0042" in titles[0].replace("\n", "")
