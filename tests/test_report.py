"""The lot report, opened from disk in headless Chromium (Playwright driving the system browser)."""

import csv
import os
import shutil
from pathlib import Path

import pytest

from quorvane import samples
from quorvane.axes import plot_axes
from quorvane.cli import main
from quorvane.selection import plot_source

MARKUP = "io_loopback</script><b>bold</b>"
SCREENSHOT = Path(__file__).resolve().parents[1] / "docs" / "report.png"


def _chromium():
    return os.environ.get("QUORVANE_CHROMIUM") or shutil.which("chromium") or shutil.which("chromium-browser")


@pytest.fixture(scope="module")
def report(tmp_path_factory):
    """The report of a small lot of two datalogs, open in one browser page;
    ``errors`` collects what the page logs as an error."""
    browser_path = _chromium()
    if browser_path is None:
        reason = "no Chromium on this machine (Debian package 'chromium'; or set QUORVANE_CHROMIUM)"
        if os.environ.get("CI"):  # .ci/run installs it: there the page must be tested, never skipped
            pytest.fail(reason)
        pytest.skip(reason)
    from playwright.sync_api import sync_playwright

    folder = tmp_path_factory.mktemp("lot")
    files = samples.write_samples(folder, 10, 3, 2, 2, 0)
    # Text of a datalog that is markup to a browser must stay text.
    second = files.datalogs[1]
    second.write_text(second.read_text(encoding="utf-8").replace("  io_loopback\n", f"  {MARKUP}\n"), encoding="utf-8")
    # Names as a user gives them in the lot's folder: the page (and its screenshot) is the same on every run.
    logs, settings = [p.name for p in files.datalogs], files.settings.name
    page_path, verdicts = folder / "lot.html", folder / "verdicts.csv"
    home = os.getcwd()
    os.chdir(folder)
    try:
        assert main(["report", *logs, "--settings", settings, "-o", str(page_path)]) == 0
        assert main(["triage", *logs, "--settings", settings, "--out", str(verdicts)]) == 0
        _, stream = plot_source("test", logs, Path(settings), None, quiet=True)
        plots = list(stream)
    finally:
        os.chdir(home)
    with open(verdicts, newline="", encoding="utf-8") as fh:
        review = [row["review"] == "yes" for row in csv.DictReader(fh)]
    with sync_playwright() as driver:
        browser = driver.chromium.launch(executable_path=browser_path)
        page = browser.new_page(viewport={"width": 1400, "height": 1100})
        errors = []
        page.on("console", lambda message: errors.append(message.text) if message.type == "error" else None)
        page.on("pageerror", lambda error: errors.append(str(error)))
        page.goto(page_path.as_uri())
        page.wait_for_function("document.body.dataset.ready === '1'")
        yield page, plots, review, errors
        browser.close()


def _row_order(page):
    return [int(i) for i in page.eval_on_selector_all("#plot-table tbody tr", "rows => rows.map(r => r.dataset.i)")]


def test_every_plot_is_drawn_with_its_axis_values(report):
    page, plots, _, _ = report
    drawn = page.eval_on_selector_all("#gallery svg.plot", """svgs => svgs.map(svg => ({
        i: Number(svg.dataset.i),
        x: [...svg.querySelectorAll('text.tick.x')].map(t => t.textContent),
        y: [...svg.querySelectorAll('text.tick.y')].map(t => t.textContent),
        titles: [...svg.querySelectorAll('text.axis-title')].map(t => t.textContent)}))""")
    assert sorted(d["i"] for d in drawn) == list(range(len(plots)))
    for d in drawn:
        y, x = plot_axes(plots[d["i"]])
        assert (d["x"][0], d["x"][-1], d["y"][0], d["y"][-1]) == (x.texts[0], x.texts[-1], y.texts[0], y.texts[-1])
        assert f"({x.unit})" in d["titles"][0] and f"({y.unit})" in d["titles"][1]


def test_review_plots_come_first_and_the_review_filter_shows_exactly_them(report):
    page, _, review, _ = report
    first = _row_order(page)
    assert [review[i] for i in first] == sorted(review, reverse=True)
    page.select_option("#review-filter", "yes")
    assert sorted(_row_order(page)) == [i for i, flagged in enumerate(review) if flagged]
    page.select_option("#review-filter", "")


def test_sorting_by_vmin_orders_the_rows(report):
    page, plots, _, _ = report
    header = page.locator("#plot-table th[data-key=vmin]")
    for clicks, ascending in ((1, True), (1, False)):
        for _ in range(clicks):
            header.click()
        texts = page.eval_on_selector_all("#plot-table tbody td.vmin", "cells => cells.map(c => c.textContent)")
        values = [float(text.split()[0]) for text in texts if text]
        assert len(texts) == len(plots) and values == sorted(values, reverse=not ascending)
        assert all(texts[: len(values)])  # plots without a Vmin last


def test_clicking_a_row_shows_its_plot(report):
    page, plots, _, _ = report
    row = page.locator("#plot-table tbody tr").nth(2)
    index = int(row.get_attribute("data-i"))
    row.click()
    assert page.locator("#detail svg.plot.detail").get_attribute("data-i") == str(index)
    assert f"line {plots[index].line}" in page.inner_text("#detail h3")
    SCREENSHOT.parent.mkdir(exist_ok=True)
    page.screenshot(path=str(SCREENSHOT))


def test_datalog_text_shows_as_text_and_the_page_logs_no_error(report):
    page, _, _, errors = report
    items = page.eval_on_selector_all("#plot-table tbody td.item", "cells => cells.map(c => c.textContent)")
    assert any(item.endswith(MARKUP) for item in items)
    assert errors == []
