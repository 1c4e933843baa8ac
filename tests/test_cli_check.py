"""`quorvane check`: what a settings file reads in a datalog."""

import json

from quorvane import cli

# Another tester's layout: header fields, '*' and '-' points, voltage rising down the rows.
LOG = """Lot ID: K77821.3   Wafer No: 12
Test Program = dvfs_char_v4 ; Temperature: -40C
  4100 VDDCORE_SHMOO pat_mbist
SITE: 2
  Shmoo  X-Axis: FREQ(MHz)  Y-Axis: VDD(V)
   0.700 * * * * - -
   0.800 * * * * * -
   0.900 * * * * * *
         100 120 140 160 180 200
  End Shmoo
"""
SETTINGS = {"keyword_item": r"^\s*\d+\s+VDD", "keyword_site": "SITE: ", "keyword_start": "Shmoo",
            "keyword_end": "End Shmoo", "keyword_pass": r"\*", "keyword_fail": "-"}


def test_check_says_what_the_settings_read_and_where_markers_match(tmp_path, capsys):
    log, settings = tmp_path / "t.log", tmp_path / "s.json"
    log.write_text(LOG, encoding="utf-8")
    settings.write_text(json.dumps(SETTINGS), encoding="utf-8")
    assert cli.main(["check", str(log), "--settings", str(settings)]) == 0
    out = capsys.readouterr().out
    assert "lot K77821.3, wafer 12, program dvfs_char_v4, temperature -40C" in out
    assert "4100 VDDCORE_SHMOO pat_mbist: 1 plot(s), 3 x 6" in out
    assert "VDD 0.700..0.900 V (3 rows)" in out and "FREQ 100..200 MHz (6 columns)" in out
    assert "orientation: rows flipped; points: 15 pass, 3 fail" in out
    assert "0.800  P P P P P ." in out

    # The site line printed before the item line: no plot, and where each marker matched.
    log.write_text(LOG.replace("  4100 VDDCORE_SHMOO pat_mbist\nSITE: 2\n", "SITE: 2\n  4100 VDDCORE_SHMOO pat_mbist\n"),
                   encoding="utf-8")
    assert cli.main(["check", str(log), "--settings", str(settings)]) == 1
    captured = capsys.readouterr()
    assert "keyword_item '^\\\\s*\\\\d+\\\\s+VDD' matches the start of 1 line(s), first: line 4" in captured.out
    assert "keyword_site 'SITE: ' starts 1 line(s), first: line 3" in captured.out
    assert captured.err.startswith("quorvane check: error: no shmoo plot found")
