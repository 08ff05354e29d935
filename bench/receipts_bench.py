"""Times whole receipts_for_bytes and verify_bytes calls on real filings.

Each figure is printed beside hashlib.sha256 over the same bytes, measured in
the same run, so the ratios hold on a shared, noisy machine. The ratios are of
wall-clock time, which a large source's digest, made on a second thread beside
the parse, shortens; the "cpu" columns give the same calls' CPU time over all
threads, which it does not:

    python bench/receipts_bench.py [FOLDER_OR_FILE ...] [--min-bytes N] [--repeat N]

Without arguments it walks the shared corpus beside the checkout and the
bundled example. lxml's parse time is printed too when lxml is installed.
"""

from __future__ import annotations

import argparse
import hashlib
import time
from pathlib import Path

import quorrel

try:
    from lxml import etree  # type: ignore[import-not-found]
except ImportError:  # lxml is optional: only a point of comparison
    etree = None

ROOT = Path(__file__).resolve().parents[1]
DEFAULT_INPUTS = [ROOT.parent / "shared" / "corpus", ROOT / "examples"]
SUFFIXES = {".xml", ".xbrl", ".htm", ".html", ".xhtml"}


def best_of(repeat: int, fn) -> float:
    return best_wall_and_cpu(repeat, fn)[0]


def best_wall_and_cpu(repeat: int, fn) -> tuple[float, float]:
    wall = cpu = float("inf")
    for _ in range(repeat):
        start, start_cpu = time.perf_counter(), time.process_time()
        fn()
        wall = min(wall, time.perf_counter() - start)
        cpu = min(cpu, time.process_time() - start_cpu)
    return wall, cpu


def files(inputs: list[Path]) -> list[Path]:
    out: list[Path] = []
    for item in inputs:
        if item.is_dir():
            out.extend(sorted(p for p in item.rglob("*") if p.suffix.lower() in SUFFIXES))
        elif item.is_file():
            out.append(item)
    return out


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("inputs", nargs="*", type=Path)
    parser.add_argument("--min-bytes", type=int, default=1_000_000, help="skip smaller files (default 1 MB)")
    parser.add_argument("--repeat", type=int, default=7)
    args = parser.parse_args()

    header = (f"{'file':<48} {'MB':>6} {'sha256 ms':>9} {'receipts':>9} {'ratio':>6} {'cpu':>6}"
              f" {'verify':>9} {'ratio':>6} {'cpu':>6}")
    if etree is not None:
        header += f" {'lxml':>9} {'ratio':>6}"
    print(header)
    for path in files(args.inputs or DEFAULT_INPUTS):
        data = path.read_bytes()
        if len(data) < args.min_bytes:
            continue
        try:
            jsonl = quorrel.receipts_for_bytes(data, path.name, path.name)
        except ValueError as exc:
            print(f"{path.name:<48} does not parse: {exc}")
            continue
        sha = best_of(args.repeat, lambda: hashlib.sha256(data).digest())
        build, build_cpu = best_wall_and_cpu(args.repeat, lambda: quorrel.receipts_for_bytes(data, path.name, path.name))
        verify, verify_cpu = best_wall_and_cpu(args.repeat, lambda: quorrel.verify_bytes(jsonl, data))
        row = (f"{path.name[:48]:<48} {len(data) / 1e6:6.2f} {sha * 1e3:9.2f} {build * 1e3:9.2f} "
               f"{build / sha:6.2f} {build_cpu / sha:6.2f} {verify * 1e3:9.2f} {verify / sha:6.2f} {verify_cpu / sha:6.2f}")
        if etree is not None:
            lx = best_of(args.repeat, lambda: etree.fromstring(data, etree.XMLParser(huge_tree=True, recover=True)))
            row += f" {lx * 1e3:9.2f} {lx / sha:6.2f}"
        print(row)


if __name__ == "__main__":
    main()
