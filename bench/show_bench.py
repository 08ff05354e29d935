"""Times the receipts page of a large filing in headless Chromium.

    PYTHONPATH=build/release/python:python python3 bench/show_bench.py [FILE] [--repeat N]

FILE defaults to sec/ko-10k-2025.htm of the shared corpus beside the checkout.
Printed: the time to build the page in Python; the time from asking the
browser for the page until its script has outlined every receipted fact and
wired the clicks, then until a click on a fact shows that fact's receipt (the
two together against a 5 s target); and the page's size against
source + 2 x receipts + 1 MiB. The browser is Debian's chromium through its
chromedriver, as in the tests (python/tests/browser.py).
"""

from __future__ import annotations

import argparse
import json
import statistics
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "python" / "tests"))

import browser  # noqa: E402
import quorrel  # noqa: E402
from quorrel_cli import show as quorrel_show  # noqa: E402

DEFAULT = ROOT.parent / "shared" / "corpus" / "sec" / "ko-10k-2025.htm"
TARGET_SECONDS = 5.0
MIB = 1 << 20


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("file", nargs="?", type=Path, default=DEFAULT)
    parser.add_argument("--repeat", type=int, default=5)
    args = parser.parse_args()
    if not args.file.is_file():
        print(f"show_bench: no {args.file}", file=sys.stderr)
        return 2

    source = args.file.read_bytes()
    receipts = quorrel.receipts_for_bytes(source, args.file.name, args.file.name)
    ids = [json.loads(line)["receipt_id"] for line in receipts.splitlines()]
    count = len(ids)
    builds = []
    for _ in range(args.repeat):
        start = time.perf_counter()
        page = quorrel_show.html_page(receipts, source, args.file.name).encode("utf-8")
        builds.append(time.perf_counter() - start)
    budget = len(source) + 2 * len(receipts.encode("utf-8")) + MIB

    driver = browser.chrome()
    ready, answered = [], []
    try:
        with tempfile.TemporaryDirectory() as folder:
            path = Path(folder) / "page.html"
            path.write_bytes(page)
            for _ in range(args.repeat):
                start = time.perf_counter()
                driver.get(path.as_uri())
                outlined = browser.wait_ready(driver)
                ready.append(time.perf_counter() - start)
                if outlined != count:
                    print(f"show_bench: {outlined} of {count} receipts outlined", file=sys.stderr)
                    return 1
                index = count // 2
                text = browser.click_fact(driver, index)
                answered.append(time.perf_counter() - start)
                if ids[index] not in text:
                    print(f"show_bench: the click on fact {index} did not show its receipt", file=sys.stderr)
                    return 1
    finally:
        driver.quit()

    def line(name: str, values: list[float]) -> str:
        return f"{name:<34} median {statistics.median(values):7.3f} s   best {min(values):7.3f} s"

    print(f"{args.file.name}: {len(source) / MIB:.2f} MiB, {count} receipts ({len(receipts) / MIB:.2f} MiB)")
    print(line("page built (Python)", builds))
    print(line("opened, every fact outlined", ready))
    print(line("... and a click answered", answered))
    ratio = statistics.median(answered) / TARGET_SECONDS
    print(f"{'target':<34} {TARGET_SECONDS:.1f} s: median at {ratio:.2f} of it")
    print(f"{'page size':<34} {len(page) / MIB:.2f} MiB of at most {budget / MIB:.2f} MiB "
          f"(source + 2 x receipts + 1 MiB): {len(page) / budget:.2f} of it, "
          f"{len(page) / len(source):.2f} x the source")
    return 0


if __name__ == "__main__":
    sys.exit(main())
