"""The pages in a real browser: Debian's Chromium, headless, driven by Selenium through
its chromedriver (installed by tools/test_all.sh; skipped elsewhere, saying what to
install)."""

import io
import shutil

import pytest

import qelt_corpus
from qelt_corpus import ContextModel

CHROMIUM = shutil.which("chromium")
DRIVER = shutil.which("chromedriver")
pytestmark = pytest.mark.skipif(
    not (CHROMIUM and DRIVER),
    reason="no Chromium: install Debian's chromium and chromium-driver to test the pages")


@pytest.fixture(scope="module")
def browser():
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service

    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for argument in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage",
                     "--window-size=1300,900"):
        options.add_argument(argument)
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    driver = webdriver.Chrome(service=Service(DRIVER), options=options)
    yield driver
    driver.quit()


def opened(browser, path):
    browser.get(path.as_uri())
    return browser


def cuts_drawn(browser):
    return browser.execute_script(
        "return Array.from(document.querySelectorAll('#plot .cut'), m => +m.dataset.end)")


def errors_logged(browser):
    return [entry for entry in browser.get_log("browser") if entry["level"] == "SEVERE"]


def test_a_document_page_draws_its_cuts_and_tells_each_byte(tmp_path, browser, real_text):
    from PIL import Image
    from selenium.webdriver.common.action_chains import ActionChains
    from selenium.webdriver.common.by import By

    model = ContextModel.train([real_text[:20000]], 3, smoothing="kneser-ney")
    document = real_text[20000:21500] + b"\x01\xfe"
    view = qelt_corpus.show(document, model, 2.0, 1.0, max_patch_length=6, reading="mix")
    view.save(tmp_path / "page.html")
    opened(browser, tmp_path / "page.html")
    ends = view.data["ends"]
    window = view.data["window"]
    assert cuts_drawn(browser) == [e for e in ends if e <= window]
    assert errors_logged(browser) == []
    # A byte hovered: its position, entropy, probability and patch.
    i = 300
    patch = next(p for p, end in enumerate(ends) if end > i)
    ActionChains(browser).move_to_element(
        browser.find_element(By.CSS_SELECTOR, f'#text b[data-i="{i}"]')).perform()
    tip = browser.find_element(By.ID, "tip").text
    start = ends[patch - 1] if patch else 0
    assert f"byte {i} " in tip and f"patch {patch}, length {ends[patch] - start}" in tip, tip
    assert "probability" in tip and "bits" in tip, tip
    shot = Image.open(io.BytesIO(browser.get_screenshot_as_png())).convert("RGB")
    assert len(shot.getcolors(1 << 20) or []) > 20  # not blank
    # The next window: its own cuts, the escaped bytes at the end shown as such.
    browser.find_element(By.ID, "next").click()
    assert cuts_drawn(browser) == [e for e in ends if window < e <= 2 * window]
    browser.find_element(By.ID, "at").send_keys("\ue010")  # End: the last window
    last = (len(document) - 1) // window
    assert cuts_drawn(browser) == [e for e in ends if last * window < e]
    assert "\\xfe" in browser.find_element(By.ID, "text").text
    assert errors_logged(browser) == []


def test_a_page_of_a_megabyte_opens_and_pages_through(tmp_path, browser, real_text):
    document = (real_text * (1 + (1 << 20) // len(real_text)))[:1 << 20]
    view = qelt_corpus.show(document, 4, 1.5, 0.5, first=700_000)
    view.save(tmp_path / "large.html")
    opened(browser, tmp_path / "large.html")
    window = view.data["window"]
    at = 700_000 // window
    ends = view.data["ends"]
    assert cuts_drawn(browser) == [e for e in ends if at * window < e <= (at + 1) * window]
    for _ in range(3):
        browser.execute_script("document.getElementById('previous').click()")
    at -= 3
    assert cuts_drawn(browser) == [e for e in ends if at * window < e <= (at + 1) * window]
    assert browser.execute_script("return document.querySelectorAll('#text b').length") \
        == window
    assert errors_logged(browser) == []


def test_the_reports_draw_what_they_carry(tmp_path, browser, real_text):
    from selenium.webdriver.common.action_chains import ActionChains
    from selenium.webdriver.common.by import By

    model = ContextModel.train([real_text[:20000]], 3, smoothing="kneser-ney")
    documents = [real_text[i:i + 500 + i % 700] for i in range(20000, 50000, 1500)]
    calibration = model.calibration(documents, theta_r=1.0)
    pages = {"calibration": calibration.report(4, lengths={1: 5, 2: 9, 3: 4, 7: 1}),
             "evaluation": model.evaluate(documents, per_document=True).report()}
    for name, report in pages.items():
        report.save(tmp_path / f"{name}.html")
        opened(browser, tmp_path / f"{name}.html")
        charts = [c for c in report.data["charts"] if c["kind"] != "table"]
        kinds = browser.execute_script(
            "return Array.from(document.querySelectorAll('svg.chart'), s => s.dataset.kind)")
        assert kinds == [c["kind"] for c in charts], name
        bars = browser.find_elements(By.CSS_SELECTOR, "svg.chart rect.bar")
        assert len(bars) == sum(len(c["counts"]) for c in charts if c["kind"] == "bars")
        ActionChains(browser).move_to_element(bars[0]).perform()
        first = next(c for c in charts if c["kind"] == "bars")
        assert browser.find_element(By.ID, "tip").text.endswith(f": {first['counts'][0]}")
        assert errors_logged(browser) == [], name
    rows = browser.find_elements(By.CSS_SELECTOR, "table tr")
    assert len(rows) == 1 + min(10, len(documents))  # the hardest documents, with a header
