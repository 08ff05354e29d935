"""Times whole receipts_for_bytes and verify_bytes calls on real filings.

Each call's CPU time is printed as a multiple of the floor of its work,
hashlib.sha256 over the bytes it reads plus the bytes it writes (the source
and the receipts text, for either call), measured in the same run, so the
ratios hold on a shared, noisy machine:

    python bench/receipts_bench.py [FOLDER_OR_FILE ...] [--min-bytes N] [--repeat N]
                                   [--memory] [--times K] [--table]

Without arguments it walks the shared corpus beside the checkout and the
bundled example. lxml's parse time is printed too when lxml is installed.

--memory adds each call's peak memory: the high-water mark of a fresh
process running the call alone, less its resident size just before the
call (its input already read; Linux only), beside the allowance source + 2 x output +
16 MB (the output of verify_bytes being the receipts text it reads).

--table adds the fact table (quorrel_tools.facts, every fact's row and the
receipts) as a multiple of receipts_for_bytes.

--times K adds how the cost grows with size: the file with the content of
its root element written K times over (the same facts K times, a later
context or unit replacing the earlier one of its id), each call's CPU time
divided by K times the original's; 1.0 is flat. The large calls push the
file out of the processor's caches, so that the floor, timed next, runs
slower: take the ratios to the floor from a run without --times.
"""

from __future__ import annotations

import argparse
import hashlib
import re
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import quorrel
import quorrel_tools

try:
    from lxml import etree  # type: ignore[import-not-found]
except ImportError:  # lxml is optional: only a point of comparison
    etree = None

ROOT = Path(__file__).resolve().parents[1]
DEFAULT_INPUTS = [ROOT.parent / "shared" / "corpus", ROOT / "examples"]
SUFFIXES = {".xml", ".xbrl", ".htm", ".html", ".xhtml"}


def best_of(repeat: int, *fns) -> list[float]:
    """Best CPU time of each fn over repeat calls, the calls taken in turn so
    that a change in the machine's load touches all of them alike."""
    best = [float("inf")] * len(fns)
    for _ in range(repeat):
        for i, fn in enumerate(fns):
            start = time.process_time()
            fn()
            best[i] = min(best[i], time.process_time() - start)
    return best


def repeated(data: bytes, times: int) -> bytes:
    """The document with the content between its root's start and end tags written `times` times."""
    root = re.search(rb"<(?![?!])", data)
    end = data.rfind(b"</")
    if root is None or end < root.start():
        raise ValueError("no root element")
    # The root's start tag ends at the first ">" outside a quoted value.
    at, quote = root.end(), None
    while quote is not None or data[at:at + 1] != b">":
        c = data[at:at + 1]
        quote = None if c == quote else c if quote is None and c in (b'"', b"'") else quote
        at += 1
    return data[:at + 1] + data[at + 1:end] * times + data[end:]


# Run in a fresh process: argv is the call, the source path and the receipts
# path. The high-water mark is reset once the input is read, so what the
# reading left behind and gave back does not count.
PEAK_CHILD = """
import sys, quorrel
call, source, receipts = sys.argv[1:4]
data = open(source, "rb").read()
jsonl = open(receipts, encoding="utf-8").read() if call == "verify" else ""
def status(key):
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) for line in f if line.startswith(key + ":"))
with open("/proc/self/clear_refs", "w") as f:
    f.write("5")
before = status("VmRSS")
if call == "receipts":
    out = quorrel.receipts_for_bytes(data, "d", "d")
else:
    out = quorrel.verify_bytes(jsonl, data)
print(status("VmHWM") - before)
"""


def peak_mb(call: str, source: Path, receipts: Path) -> float:
    """The growth of a fresh process's high-water mark over one call, in MB."""
    done = subprocess.run([sys.executable, "-c", PEAK_CHILD, call, str(source), str(receipts)],
                          check=True, capture_output=True, text=True)
    return int(done.stdout) * 1024 / 1e6  # the status file counts kilobytes


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
    parser.add_argument("--memory", action="store_true", help="add each call's peak memory")
    parser.add_argument("--times", type=int, default=0, help="add the cost of the content written K times")
    parser.add_argument("--table", action="store_true", help="add the fact table against receipts_for_bytes")
    args = parser.parse_args()

    header = f"{'file':<48} {'in MB':>6} {'out MB':>6} {'floor ms':>9} {'receipts':>9} {'verify':>7}"
    if etree is not None:
        header += f" {'lxml parse':>10}"
    if args.memory:
        header += f" {'peak receipts MB':>16} {'peak verify MB':>14} {'allowed MB':>10}"
    if args.table:
        header += f" {'table':>6}"
    if args.times:
        header += f" {'x' + str(args.times) + ' receipts':>12} {'x' + str(args.times) + ' verify':>10}"
    print(header)
    scratch = tempfile.TemporaryDirectory()
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
        calls = [lambda: (hashlib.sha256(data).digest(), hashlib.sha256(out).digest()),
                 lambda: quorrel.receipts_for_bytes(data, path.name, path.name),
                 lambda: quorrel.verify_bytes(jsonl, data)]
        if args.table:
            calls.append(lambda: quorrel_tools.facts(data, path.name, path.name))
        if args.times:
            big = repeated(data, args.times)
            big_jsonl = quorrel.receipts_for_bytes(big, path.name, path.name)
            calls += [lambda: quorrel.receipts_for_bytes(big, path.name, path.name),
                      lambda: quorrel.verify_bytes(big_jsonl, big)]
        floor, build, verify, *more = best_of(args.repeat, *calls)
        row = (f"{path.name[:48]:<48} {len(data) / 1e6:6.2f} {len(out) / 1e6:6.2f} {floor * 1e3:9.2f}"
               f" {build / floor:9.2f} {verify / floor:7.2f}")
        if etree is not None:
            [lx] = best_of(args.repeat, lambda: etree.fromstring(data, etree.XMLParser(huge_tree=True, recover=True)))
            row += f" {lx / floor:10.2f}"
        if args.memory:
            source, receipts = Path(scratch.name) / "source", Path(scratch.name) / "receipts"
            source.write_bytes(data)
            receipts.write_bytes(out)
            allowed = (len(data) + 2 * len(out)) / 1e6 + 16
            row += (f" {peak_mb('receipts', source, receipts):16.1f} {peak_mb('verify', source, receipts):14.1f}"
                    f" {allowed:10.1f}")
        if args.table:
            row += f" {more.pop(0) / build:6.2f}"
        if args.times:
            big_build, big_verify = more
            row += f" {big_build / (args.times * build):12.2f} {big_verify / (args.times * verify):10.2f}"
        print(row)

if __name__ == "__main__":
    main()
