"""Makes docs/show-example.png: the receipts page of the bundled example in
headless Chromium, with one fact clicked so that its receipt shows.

    PYTHONPATH=build/release/python:python python3 scripts/screenshot.py [OUT.png]

It uses the browser helpers of the tests (python/tests/browser.py); the tests
never rewrite the picture.
"""

import sys
import tempfile
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "python" / "tests"))

import browser  # noqa: E402
import quorrel  # noqa: E402
from quorrel_cli import show as quorrel_show  # noqa: E402

EXAMPLE = ROOT / "examples" / "nordlicht-2025.xhtml"
CLICKED = "ifrs-full:Revenue"  # the first fact of this concept is clicked


def main() -> int:
    out = Path(sys.argv[1]) if len(sys.argv) > 1 else ROOT / "docs" / "show-example.png"
    source = EXAMPLE.read_bytes()
    receipts = quorrel.receipts_for_bytes(source, EXAMPLE.name, EXAMPLE.name)
    index = next(i for i, line in enumerate(receipts.splitlines()) if f'"concept":"{CLICKED}"' in line)
    driver = browser.chrome(width=1280, height=960)
    try:
        with tempfile.TemporaryDirectory() as folder:
            page = Path(folder) / "page.html"
            page.write_text(quorrel_show.html_page(receipts, source, EXAMPLE.name), encoding="utf-8")
            driver.get(page.as_uri())
            browser.wait_ready(driver)
            browser.click_fact(driver, index)
            driver.save_screenshot(str(out))
    finally:
        driver.quit()
    print(out)
    return 0


if __name__ == "__main__":
    sys.exit(main())
