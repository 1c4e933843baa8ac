"""The lot table: one row per plot in a Parquet dataset partitioned by lot.

``triage --lot-table DIR``, ``margins --lot-table DIR`` and ``collect --to DIR``
append the plot records of ``quorvane.plot_records`` (plus the quorvane version,
the command and the run's id and start time) to the dataset in DIR;
``quorvane query`` runs SQL over it with DuckDB. The layout is the one
DuckDB, Spark, pandas and pyarrow read without being told anything:

* one folder per lot, ``DIR/lot=<lot>/``, the lot percent-encoded where it holds
  a character a folder name cannot (``QV/7`` is ``lot=QV%2F7``); a datalog whose
  header names no lot goes to ``lot=__unknown__`` (Hive's null partition,
  ``__HIVE_DEFAULT_PARTITION__``, would read back as a missing lot, but pandas
  cannot read a dataset holding one). The lot is a column of the dataset
  through its folder only, as those engines expect;
* each run writes new files, ``part-<run time>-<run id>-<n>.parquet``, one per
  lot it touches and ``ROWS_PER_FILE`` rows, and never opens an earlier one
  (nor keeps one of its own open between writes): files are filled under a hidden
  temporary name and take their name with the run's other outputs
  (``quorvane.outputs``), so two runs appending at once both land, a failed run
  adds nothing, and readers skip the temporary files (hidden names);
* one fixed schema (``schema()``), so the files of every run read as one
  table; a number a plot does not have is null, and so are the verdict columns
  (label, probabilities, review, why) of plots that were not scored (margins).

pyarrow and duckdb are an optional extra: ``pip install "quorvane[lot]"``.
"""

from __future__ import annotations

import csv
import importlib
import json
import os
import sys
import uuid
from datetime import datetime, timezone
from pathlib import Path
from types import ModuleType
from typing import Any, Iterable, Sequence, TextIO
from urllib.parse import quote

from . import __version__
from .errors import CliError
from .outputs import Outputs, text_output, written_together
from .plot_records import RECORD_FIELDS, plot_record
from .symbols import LABEL_KEYS

__all__ = ["INSTALL", "UNKNOWN_LOT", "LotTable", "partition_name", "require", "run_collect", "run_query",
           "schema", "table_files"]

INSTALL = 'pip install "quorvane[lot]"'
#: The partition of plots whose datalog names no lot.
UNKNOWN_LOT = "__unknown__"
#: Rows held per lot before they go to a file of their own.
ROWS_PER_FILE = 65_536
#: Columns every row carries beside the plot record's.
RUN_FIELDS = ("command", "run_id", "run_time", "quorvane_version")
#: The verdict's columns: null where the plot was not scored.
VERDICT_FIELDS = ("label", *(f"p_{key}" for key in LABEL_KEYS), "review", "why")


def require(module: str, command: str) -> ModuleType:
    """The optional extra's module, or a CliError saying how to install it."""
    try:
        return importlib.import_module(module)
    except ImportError:
        raise CliError(f"{command} needs pyarrow and duckdb (quorvane's 'lot' extra); {module} is not installed: "
                       f"{INSTALL}") from None


def _types(pa: ModuleType) -> dict[str, Any]:
    text, count, number = pa.string(), pa.int32(), pa.float64()
    types: dict[str, Any] = {field: text for field in RECORD_FIELDS}
    types.update(plot=count, line=pa.int64(), rows=count, cols=count, holes=count,
                 x_values=pa.list_(text), y_values=pa.list_(text), points=pa.list_(pa.int8()),
                 review=pa.bool_(), pass_fraction=number, vmin=number, fmax=number, period=number,
                 **{f"p_{key}": number for key in LABEL_KEYS})
    types.update(command=text, run_id=text, run_time=pa.timestamp("us", tz="UTC"), quorvane_version=text)
    return types


def schema() -> Any:
    """The columns of every file: the record's (but the lot, which is the
    folder) and the run's."""
    pa = require("pyarrow", "the lot table")
    types = _types(pa)
    return pa.schema([pa.field(name, types[name]) for name in (*RECORD_FIELDS, *RUN_FIELDS) if name != "lot"])


def partition_name(lot: str) -> str:
    """The folder of a lot's files: ``lot=<lot>``, percent-encoded as Hive does."""
    return f"lot={quote(lot, safe='') if lot else UNKNOWN_LOT}"


def check_directory(directory: Path, option: str, command: str) -> None:
    """Refuses, before any work, a lot table without its extra or at a file."""
    require("pyarrow.parquet", command)
    if directory.exists() and not directory.is_dir():
        raise CliError(f"{option} {directory} is a file; give the lot table's folder")


class LotTable:
    """The rows one run appends to the lot table in ``directory``; its files
    are staged in ``outputs`` and appear when that block ends."""

    def __init__(self, directory: Path, command: str, outputs: Outputs, at_x: float | None = None,
                 at_y: float | None = None) -> None:
        self.pa = require("pyarrow", command)
        self.pq = require("pyarrow.parquet", command)
        self.directory = Path(directory)
        self.outputs = outputs
        self.at_x, self.at_y = at_x, at_y
        self.schema = schema()
        self.run_time = datetime.now(timezone.utc)
        self.run = {"command": command, "run_id": uuid.uuid4().hex, "run_time": self.run_time,
                    "quorvane_version": __version__}
        self.rows = 0
        self.lots: set[str] = set()
        self._pending: dict[str, list[dict[str, Any]]] = {}
        self._files: dict[str, int] = {}  # per lot, the files written

    def add(self, plot: Any, header: dict[str, str], verdict: Any = None, numbers: Any = None) -> None:
        """One plot's row; ``verdict`` None: not scored."""
        record = plot_record(plot, header, verdict, numbers, at_x=self.at_x, at_y=self.at_y)
        if verdict is None:
            record.update(dict.fromkeys(VERDICT_FIELDS))
        lot = record["lot"]
        pending = self._pending.setdefault(lot, [])
        pending.append(record)
        self.rows += 1
        if len(pending) >= ROWS_PER_FILE:
            self._write(lot)

    def _write(self, lot: str) -> None:
        records = self._pending.pop(lot, [])
        if not records:
            return
        columns = {name: [record[name] for record in records] for name in self.schema.names
                   if name not in RUN_FIELDS}
        columns.update({name: [value] * len(records) for name, value in self.run.items()})
        table = self.pa.Table.from_pydict(columns, schema=self.schema)
        number = self._files.get(lot, 0) + 1
        self._files[lot] = number
        self.lots.add(lot)
        stamp = self.run_time.strftime("%Y%m%dT%H%M%S%fZ")
        path = self.directory / partition_name(lot) / f"part-{stamp}-{self.run['run_id']}-{number}.parquet"
        # Written whole here: no writer stays open to be finished after a failure
        # has discarded its file. replace=False: a name another run holds is never written over.
        # pyarrow writes the staged file by its name: its own file is faster than a Python one.
        self.pq.write_table(table, self.outputs.name(path, replace=False), compression="zstd")

    def close(self) -> None:
        """Writes the rows still held (the files take their names when the
        outputs' block ends)."""
        for lot in list(self._pending):
            self._write(lot)

    def said(self) -> str:
        lots = ", ".join(sorted(lot or "(none)" for lot in self.lots)) or "none"
        return f"lot table: {self.rows} plot(s) appended to {self.directory} (lots: {lots})"


# ---------------------------------------------------------------------------
# collect


def run_collect(datalogs: Sequence[str | Path], settings_path: Path, sites: Sequence[str] | None,
                directory: Path, model_path: Path, at_x: float | None = None,
                at_y: float | None = None) -> LotTable:
    """Every plot of the datalogs scored as triage scores it and measured as
    margins measures it, read once, appended to the lot table."""
    from .models import load_model, model_calibration
    from .review import SiteAgreement
    from .selection import plot_source
    from .triage import _scoring_named, classify_plots

    check_directory(directory, "--to", "collect")
    search, plots = plot_source("collect", datalogs, settings_path, sites)
    net, payload = load_model(model_path, scoring_only=True)
    calibration = model_calibration(payload, model_path)
    with written_together() as outputs:
        table = LotTable(directory, "collect", outputs, at_x, at_y)
        verdicts = classify_plots(net, plots, calibration=calibration, sites=SiteAgreement())
        for plot, verdict in _scoring_named(verdicts, model_path):
            table.add(plot, search.header_of(plot), verdict)
        search.finish()
        table.close()
    return table


# ---------------------------------------------------------------------------
# query


def table_files(directory: Path) -> list[Path]:
    """The dataset's complete files (staged ones are hidden: skipped)."""
    return sorted(path for path in directory.glob("lot=*/*.parquet") if not path.name.startswith("."))


def _sql_text(text: str) -> str:
    return "'" + text.replace("'", "''") + "'"


def run_query(sql: str, directory: Path, out: Path | None = None, as_csv: bool = False) -> int:
    """Runs ``sql`` over the lot table (the view ``plots``) and prints the
    result, or writes it to ``out``. Returns the number of rows."""
    duckdb = require("duckdb", "query")
    files = table_files(directory) if directory.is_dir() else []
    if not files:
        raise CliError(f"no lot table in {directory} (no lot=*/*.parquet file); write one with "
                       "'collect DATALOG... --to DIR' or '--lot-table DIR' on triage or margins")
    connection = duckdb.connect()
    listed = ", ".join(_sql_text(os.fspath(path)) for path in files)
    connection.execute(f"CREATE VIEW plots AS SELECT * FROM read_parquet([{listed}], hive_partitioning = true, "
                       "hive_types = {'lot': 'VARCHAR'}, union_by_name = true)")
    try:
        cursor = connection.execute(sql)
        names = [column[0] for column in cursor.description or ()]
        rows = cursor.fetchall() if names else []
    except duckdb.Error as exc:
        # DuckDB's first line says what is wrong; the lines after it point into the SQL.
        raise CliError(f"the query failed: {(str(exc).strip().splitlines() or [type(exc).__name__])[0]}") from None
    if out is not None:
        with text_output(out) as fh:
            _write_result(fh, names, rows, as_csv)
    else:
        _write_result(sys.stdout, names, rows, as_csv)
    return len(rows)


def _cell(value: Any) -> str:
    if value is None:
        return ""
    if isinstance(value, float):
        return f"{value:.6g}"
    if isinstance(value, datetime):
        return value.isoformat()
    if isinstance(value, (list, dict)):
        return json.dumps(value, default=str)
    return str(value)


def _write_result(fh: TextIO, names: Sequence[str], rows: Iterable[Sequence[Any]], as_csv: bool) -> None:
    if not names:  # a statement without a result (CREATE, SET)
        return
    cells = [[_cell(value) for value in row] for row in rows]
    if as_csv:
        writer = csv.writer(fh, lineterminator="\n")
        writer.writerow(names)
        writer.writerows(cells)
        return
    widths = [max([len(name), *(len(row[k]) for row in cells)]) for k, name in enumerate(names)]
    # Numbers right-aligned, as a table of figures reads.
    numeric = [bool(cells) and all(_numeric(row[k]) for row in cells if row[k]) for k in range(len(names))]

    def line(texts: Sequence[str]) -> str:
        return "  ".join(text.rjust(w) if right else text.ljust(w)
                         for text, w, right in zip(texts, widths, numeric)).rstrip()

    fh.write(line(names) + "\n")
    fh.write("  ".join("-" * w for w in widths) + "\n")
    for row in cells:
        fh.write(line(row) + "\n")


def _numeric(text: str) -> bool:
    try:
        float(text)
    except ValueError:
        return False
    return True
