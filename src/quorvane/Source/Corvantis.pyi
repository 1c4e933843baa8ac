# Type stubs for the native datalog module.
import os as os
import re as re
import time as time
from collections.abc import Mapping
from typing import Any

import openpyxl as openpyxl
from openpyxl.styles import PatternFill as PatternFill
from openpyxl.workbook.workbook import Workbook

def getKeyWordFromSettingFile(config_details: Mapping[str, Any]) -> dict[str, Any]: ...
def getDatalogInfo(TER_keyword: Mapping[str, Any], file_paths: str, site_lbl: str, interval_columns: int) -> str: ...
def processLog(
    each_file: str,
    each_site: object,
    xls: Workbook,
    siteCnt: int,
    totalsiteCnt: int,
    dict_keyword: Mapping[str, Any],
    interval_columns: int = 20,
) -> None: ...
def getAllSiteNums(each_file: str, TER_keyword: Mapping[str, Any]) -> str: ...

# The command line's entry: saves into `folder`; None sizes the blocks from the
# widest plot row. Returns (path, width used).
def _extract_into(
    folder: str,
    TER_keyword: Mapping[str, Any],
    file_paths: str,
    site_lbl: str,
    interval_columns: int | None = None,
    width_option: str = "interval_columns",
) -> tuple[str, int]: ...

# The command line's --jobs: the plots of each site of datalog text already
# read, recorded in one pass in a worker process (None where the scan needs the
# cell API or would raise, such as a RowOffset the row cursor cannot follow:
# extract the usual way, which raises it)...
def _record_plots(
    TER_keyword: Mapping[str, Any], file_name: str, sites: list[str], lines: list[str]
) -> list[bytes] | None: ...

# ...and the recordings of every pair, in order, joined into one workbook saved
# in `folder`. Returns (path, width used), or None: extract the usual way.
def _save_recorded(
    folder: str, recordings: list[bytes], interval_columns: int | None, width_option: str
) -> tuple[str, int] | None: ...

# The worksheet row each recorded plot group starts on, group by group.
def _recorded_rows(recording: bytes) -> list[int]: ...
