"""The lot table: triage and margins append to one Parquet dataset that query reads."""

import csv
import io
import json
import sys
import threading

import numpy as np
import pytest

from quorvane import cli, lot_table, samples
from quorvane.outputs import written_together
from quorvane.selection import plot_source


def run(capsys, *argv):
    code = cli.main([str(a) for a in argv])
    out, err = capsys.readouterr()
    return code, out, err


@pytest.fixture(scope="module")
def lot_logs(tmp_path_factory):
    """Two datalogs: one of lot "QV/7" (not a plain folder name), one whose header names no lot."""
    d = tmp_path_factory.mktemp("lot")
    samples.write_samples(d, records=12, sites=2, items=2, datalogs=2, seed=3)
    logs = [d / "sample_datalog_1.txt", d / "sample_datalog_2.txt"]
    for log, lot in zip(logs, ("Lot: QV/7", "")):
        log.write_text(log.read_text(encoding="utf-8").replace("Lot: QV24A117", lot, 1), encoding="utf-8")
    return d, logs


def test_triage_and_margins_append_to_one_table_that_query_reads(lot_logs, tmp_path, capsys):
    d, logs = lot_logs
    settings = d / samples.SETTINGS_FILE_NAME
    table = tmp_path / "table"
    for command in ("triage", "margins"):
        code, _, err = run(capsys, command, *logs, "--settings", settings, "--lot-table", table)
        assert code == 0, err
    code, out, err = run(capsys, "query", "SELECT command, lot, wafer, program, tester, temperature, datalog, site, "
                         "plot, points, label FROM plots ORDER BY command, datalog, site, plot",
                         "--lot-table", table, "--csv")
    assert code == 0, err
    rows = list(csv.DictReader(io.StringIO(out)))
    search, plots = plot_source("test", [str(p) for p in logs], settings, None, quiet=True)
    plots = sorted(plots, key=lambda p: (str(p.datalog), p.site, p.plot))
    assert [r["command"] for r in rows] == ["margins"] * len(plots) + ["triage"] * len(plots)
    for row, plot in zip(rows, plots + plots):
        header = search.header_of(plot)
        assert (row["datalog"], row["site"], int(row["plot"])) == (str(plot.datalog), plot.site, plot.plot)
        assert row["lot"] == (header["lot"] or lot_table.UNKNOWN_LOT)
        assert [row[f] for f in ("wafer", "program", "tester", "temperature")] == \
            [header[f] for f in ("wafer", "program", "tester", "temperature")] != ["", "", "", ""]
        assert json.loads(row["points"]) == np.asarray(plot.grid).ravel().tolist()
        # Margins does not score: its rows carry no label.
        assert (row["label"] != "") == (row["command"] == "triage")
    assert {r["lot"] for r in rows} == {"QV/7", lot_table.UNKNOWN_LOT}


def _synthetic_plots(count):
    from quorvane.plots import Plot

    grid = np.array([[1, 1, 0], [1, 0, 0], [0, 0, 0]], dtype=np.int8)
    return [Plot("log.txt", "1", n, "  2001  Shmoo", None, n, ("1.2V", "1.1V", "1.0V"), ("MHz", "100", "200", "300"),
                 grid) for n in range(count)]


def test_concurrent_appends_both_land(tmp_path):
    import pyarrow.dataset as ds

    both_staged = threading.Barrier(2)
    failures = []

    def append(count):
        try:
            with written_together() as outputs:
                table = lot_table.LotTable(tmp_path, "test", outputs)
                for plot in _synthetic_plots(count):
                    table.add(plot, {"lot": "L1"})
                table.close()
                both_staged.wait(timeout=60)  # neither run's files are in place before both are written
        except BaseException as exc:  # noqa: BLE001 - reported by the test below
            failures.append(exc)

    runs = [threading.Thread(target=append, args=(count,)) for count in (3, 5)]
    for thread in runs:
        thread.start()
    for thread in runs:
        thread.join()
    assert not failures
    read = ds.dataset(tmp_path, format="parquet", partitioning="hive").to_table()
    per_run = sorted(read.group_by("run_id").aggregate([("plot", "count")])["plot_count"].to_pylist())
    assert per_run == [3, 5] and set(read["lot"].to_pylist()) == {"L1"}


@pytest.mark.parametrize("missing, command", [("duckdb", "query"), ("pyarrow", "margins")])
def test_a_missing_extra_says_how_to_install_it(lot_logs, tmp_path, monkeypatch, capsys, missing, command):
    d, logs = lot_logs
    for name in [name for name in sys.modules if name == missing or name.startswith(missing + ".")]:
        monkeypatch.setitem(sys.modules, name, None)
    monkeypatch.setitem(sys.modules, missing, None)
    argv = (["query", "SELECT 1", "--lot-table", tmp_path] if command == "query" else
            ["margins", logs[0], "--settings", d / samples.SETTINGS_FILE_NAME, "--lot-table", tmp_path / "t"])
    code, out, err = run(capsys, *argv)
    assert code == 1 and err.count("\n") == 1 and 'pip install "quorvane[lot]"' in err, err
    assert not (tmp_path / "t").exists()


@pytest.mark.parametrize("sql, fragment", [("SELECT nonsense FROM plots", "the query failed"),
                                           ("SELECT 1", "no lot table in")])
def test_query_failures_are_one_line(tmp_path, capsys, sql, fragment):
    table = tmp_path / "table"
    if fragment != "no lot table in":
        with written_together() as outputs:
            appended = lot_table.LotTable(table, "test", outputs)
            appended.add(_synthetic_plots(1)[0], {"lot": "L1"})
            appended.close()
    code, out, err = run(capsys, "query", sql, "--lot-table", table)
    assert code == 1 and err.count("\n") == 1 and fragment in err and "Traceback" not in err, err
