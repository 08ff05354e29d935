"""Times whole receipts_for_bytes and verify_bytes calls on real filings.

Each call's CPU time is printed as a multiple of the floor of its work,
hashlib.sha256 over the bytes it reads plus the bytes it writes (the source
and the receipts text, for either call), measured in the same run, so the
ratios hold on a shared, noisy machine:

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
    """Best CPU time of fn over repeat calls."""
    cpu = float("inf")
    for _ in range(repeat):
        start = time.process_time()
        fn()
        cpu = min(cpu, time.process_time() - start)
    return cpu


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

    header = f"{'file':<48} {'in MB':>6} {'out MB':>6} {'floor ms':>9} {'receipts':>9} {'verify':>7}"
    if etree is not None:
        header += f" {'lxml parse':>10}"
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
        out = jsonl.encode()
        floor = best_of(args.repeat, lambda: (hashlib.sha256(data).digest(), hashlib.sha256(out).digest()))
        build = best_of(args.repeat, lambda: quorrel.receipts_for_bytes(data, path.name, path.name))
        verify = best_of(args.repeat, lambda: quorrel.verify_bytes(jsonl, data))
        row = (f"{path.name[:48]:<48} {len(data) / 1e6:6.2f} {len(out) / 1e6:6.2f} {floor * 1e3:9.2f}"
               f" {build / floor:9.2f} {verify / floor:7.2f}")
        if etree is not None:
            lx = best_of(args.repeat, lambda: etree.fromstring(data, etree.XMLParser(huge_tree=True, recover=True)))
            row += f" {lx / floor:10.2f}"
        print(row)

if __name__ == "__main__":
    main()
