#!/usr/bin/env python3
"""How a page of one large document behaves in Chromium: its size per document byte,
the time it takes to open, and the time to page from one window to the next.

    python3 benchmarks/bench_pages.py [--megabytes 1]

The document: this interpreter's standard-library Python sources, concatenated to the
size asked; patched with its own model of k = 4 (theta 1.5, theta_r 0.5). Opening is
timed from the request to the end of the page's first drawing (the load event, after
the script has drawn the first window); paging is the mean of 50 steps, each ended by
the drawing it starts. Needs Debian's chromium and chromium-driver, and selenium.
"""

from __future__ import annotations

import argparse
import pathlib
import shutil
import sysconfig
import tempfile
import time

import qelt_corpus


def document_of(size: int) -> bytes:
    root = pathlib.Path(sysconfig.get_paths()["stdlib"])
    chunks, total = [], 0
    for path in sorted(root.glob("*.py")):
        chunks.append(path.read_bytes())
        total += len(chunks[-1])
        if total >= size:
            break
    return b"".join(chunks)[:size]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--megabytes", type=float, default=1.0)
    args = parser.parse_args()
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service

    document = document_of(int(args.megabytes * (1 << 20)))
    start = time.perf_counter()
    view = qelt_corpus.show(document, 4, 1.5, 0.5)
    made = time.perf_counter() - start
    options = webdriver.ChromeOptions()
    options.binary_location = shutil.which("chromium")
    for argument in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage"):
        options.add_argument(argument)
    driver = webdriver.Chrome(service=Service(shutil.which("chromedriver")), options=options)
    try:
        with tempfile.TemporaryDirectory() as tmp:
            page = pathlib.Path(tmp) / "page.html"
            view.save(page)
            size = page.stat().st_size
            driver.get("about:blank")
            start = time.perf_counter()
            driver.get(page.as_uri())  # returns once the load event has fired
            opened = time.perf_counter() - start
            start = time.perf_counter()
            for _ in range(50):
                driver.execute_script("document.getElementById('next').click()")
            paged = (time.perf_counter() - start) / 50
    finally:
        driver.quit()
    print(f"{len(document) / 1e6:.2f} MB of Python sources, {len(view.ends)} patches: "
          f"page {size / len(document):.1f} bytes per document byte, made in {made:.2f} s; "
          f"opened in Chromium in {opened:.2f} s; a window to the next in "
          f"{paged * 1e3:.1f} ms")


if __name__ == "__main__":
    main()
