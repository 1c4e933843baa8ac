"""A real spreadsheet program as a client: LibreOffice Calc opens our
workbooks and saves them back as .xlsx, and every cell value and every solid
fill must survive the round trip."""
import os
import random
import shutil
import subprocess
from pathlib import Path

import openpyxl
import pytest

from quorvane import samples
from quorvane.Source import Corvantis


def soffice():
    found = shutil.which("soffice") or shutil.which("libreoffice")
    if found:
        return found
    reason = "LibreOffice Calc is not installed (apt-get install libreoffice-calc-nogui)"
    if os.environ.get("CI") == "true":
        pytest.fail(reason + "; CI must run this test")
    pytest.skip(reason)


def through_calc(workbook, tmp_path):
    """Opens `workbook` in Calc, headless, and saves it back as .xlsx."""
    program = soffice()
    out = tmp_path / "calc"
    out.mkdir()
    profile = tmp_path / "calc-profile"   # never the user's own profile
    proc = subprocess.run([program, f"-env:UserInstallation={profile.as_uri()}", "--headless", "--norestore",
                           "--convert-to", "xlsx:Calc MS Excel 2007 XML", "--outdir", str(out), str(workbook)],
                          capture_output=True, text=True, timeout=1800)
    converted = out / Path(workbook).name
    assert proc.returncode == 0 and converted.exists(), proc.stdout + proc.stderr
    return converted


def contents(path):
    """Every value and every solid fill's colour, as the workbook library reads them."""
    wb = openpyxl.load_workbook(path, read_only=True)
    try:
        return _contents(wb["Sheet"])
    finally:
        wb.close()


def _contents(ws):
    values, fills = {}, {}
    for row in ws.iter_rows():
        for c in row:
            if not hasattr(c, "column"):
                continue  # an empty cell of a read-only row
            if c.value is not None:
                values[(c.row, c.column)] = c.value
            if c.fill is not None and c.fill.fill_type == "solid":
                fills[(c.row, c.column)] = c.fill.start_color.rgb[-6:]  # Calc writes an alpha byte
    return values, fills


def assert_survives_calc(workbook, tmp_path):
    values, fills = contents(workbook)
    assert values and fills
    again_values, again_fills = contents(through_calc(workbook, tmp_path))
    lost = {k: v for k, v in values.items() if again_values.get(k) != v}
    assert not lost, f"{len(lost)} cells changed, e.g. {sorted(lost.items())[:3]}"
    assert again_fills == fills
    assert set(again_values) == set(values)


def test_sample_datalog_workbook_survives_calc(tmp_path, monkeypatch, capsys):
    soffice()
    monkeypatch.chdir(tmp_path)
    log = samples.write_datalog(tmp_path / "sample_datalog_1.txt")
    table = Corvantis.getKeyWordFromSettingFile(samples.settings())
    assert_survives_calc(Corvantis.getDatalogInfo(table, str(log), "", 20), tmp_path)


def five_megabyte_datalog(path, sites=4):
    """Tester-like datalog of about 5 MB: per test item and site some
    parametric lines and one 16 x 20 shmoo plot with a ragged edge."""
    rnd = random.Random(5)
    written, item = 0, 0
    with open(path, "w", encoding="utf-8") as f:
        while written < 5_000_000:
            item += 1
            for site in range(1, sites + 1):
                lines = [f"Test Item: SHMOO_{item}", f"Site: {site}"]
                lines += [f"  {k:2d} PARAM_{k} {rnd.uniform(0.5, 1.5):.5f} V PASS" for k in range(8)]
                lines.append("Shmoo Plot VDD vs Period")
                edge = rnd.randint(5, 18)
                for r in range(16):
                    lines.append(f"{1.4 - r * 0.025:.3f}V " + " ".join(
                        "*" if c + r < edge + 8 - (rnd.random() < 0.05) else "#" for c in range(20)))
                lines.append("X-Axis " + " ".join(f"{p}ns" for p in range(10, 30)))
                text = "\n".join(lines) + "\n\n"
                f.write(text)
                written += len(text)


def test_five_megabyte_datalog_workbook_survives_calc(tmp_path, monkeypatch, capsys):
    soffice()
    monkeypatch.chdir(tmp_path)
    five_megabyte_datalog(tmp_path / "big.txt")
    table = Corvantis.getKeyWordFromSettingFile({
        "keyword_item": "Test Item:", "keyword_site": "Site: ", "keyword_start": "Shmoo Plot",
        "keyword_end": "X-Axis", "keyword_pass": r"\*", "keyword_fail": "#"})
    assert_survives_calc(Corvantis.getDatalogInfo(table, str(tmp_path / "big.txt"), "", 21), tmp_path)


def test_split_by_site_gives_one_workbook_per_site_that_calc_opens(tmp_path, monkeypatch, capsys):
    from quorvane import cli, extraction

    soffice()
    samples.write_datalog(tmp_path / "lot.txt", sites=3, items=2)
    samples.write_settings(tmp_path / "s.json")
    extract = ["extract", str(tmp_path / "lot.txt"), "--settings", str(tmp_path / "s.json"), "--interval-columns", "20"]
    assert cli.main([*extract, "--out-dir", str(tmp_path / "whole")]) == 0
    assert cli.main([*extract, "--out-dir", str(tmp_path / "parts"), "--split", "site"]) == 0
    assert capsys.readouterr().err == ""  # small sheets: no warning
    (whole,) = (tmp_path / "whole").iterdir()
    parts = sorted((tmp_path / "parts").iterdir())
    assert [p.name for p in parts] == [f"{parts[0].name.rsplit('-', 1)[0]}-site{k}.xlsx" for k in range(3)]
    whole_values = contents(whole)[0]
    for k, part in enumerate(parts):
        values = contents(part)[0]
        assert {(r, c): v for (r, c), v in values.items() if c <= 20} == {
            (r, c - 20 * k): v for (r, c), v in whole_values.items() if 20 * k < c <= 20 * (k + 1)}
        (tmp_path / part.stem).mkdir()
        assert_survives_calc(part, tmp_path / part.stem)
    monkeypatch.setattr(extraction, "CALC_OPEN_CELLS", 100)
    assert cli.main([*extract, "--out-dir", str(tmp_path / "again")]) == 0
    [warning] = capsys.readouterr().err.splitlines()
    assert "--split" in warning and "report" in warning
