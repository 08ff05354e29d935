"""quorrel verify: check receipts against the bytes of their source."""

from __future__ import annotations

import argparse
import hashlib
import json
import re
import sys
from typing import Callable, Iterable

import quorrel

from . import console, inputs

# A source that always parses: a line checked against it raises only when
# the line itself does not read.
PROBE = b""
READ_ERROR = re.compile(r"(.*) at line 1 column (\d+)", re.DOTALL)
SOURCE_ERROR = "source parse failed: "


def add_parser(sub: argparse._SubParsersAction, positive: Callable[[str], int], size: Callable[[str], int]) -> None:
    ver = sub.add_parser("verify", help="verify receipts against the source document")
    ver.add_argument("receipts", metavar="RECEIPTS", help="a JSONL file, a .gz file, or - for standard input")
    ver.add_argument("file", metavar="SOURCE",
                     help="a file, a .gz file, - for standard input, or a package entry: PACKAGE.zip/path/inside")
    ver.add_argument("--json", action="store_true", help="print the raw JSON summary")
    ver.add_argument("--keep-going", action="store_true",
                     help="verify every readable line and list every unreadable one")
    ver.add_argument("--max-size", type=size, default=inputs.DEFAULT_MAX_SIZE, metavar="SIZE",
                     help="largest decompressed file or standard input (default: 256M)")
    ver.set_defaults(run=run)


def unreadable_lines(lines: list[str], first_only: bool) -> list[tuple[int, str]]:
    """(line number, "column C: DESCRIPTION") for each line that does not read.

    The module stops at the first such line and its message always says line
    1, the line alone being what it read; so each line is read again on its
    own, only once a reading error is known, which costs about one more
    reading of the text."""
    found = []
    for number, line in enumerate(lines, 1):
        try:
            quorrel.verify_bytes(line + "\n", PROBE)
        except ValueError as exc:
            match = READ_ERROR.fullmatch(str(exc))
            found.append((number, f"column {match.group(2)}: {match.group(1)}" if match else str(exc)))
            if first_only:
                break
    return found


def describe(summary: dict) -> Iterable[str]:
    total = summary["pass"] + summary["fail"]
    yield f"{total} receipts: {summary['pass']} verified, {summary['fail']} failed"
    for report in summary["failures"]:
        yield f"FAILED {report['receipt_id']}"
        for check in report["checks"]:
            if not check["pass"]:
                yield f"  {check['name']}: {check.get('detail', '')}"


def made_from_other_bytes(text: str, source: bytes, summary: dict) -> bool:
    """No receipt names the source's digest, and stated receipts failed on it."""
    if hashlib.sha256(source).hexdigest() in text:
        return False
    return any(check["name"] == "artifact_hash" and not check["pass"]
               for report in summary["failures"] for check in report["checks"])


def run(args: argparse.Namespace) -> int:
    if args.receipts == inputs.STDIN and args.file == inputs.STDIN:
        console.error("RECEIPTS and SOURCE cannot both be standard input")
        return 2
    try:
        raw = inputs.read_one(args.receipts, args.max_size)
        source = inputs.read_one(args.file, args.max_size, entries=True)
    except inputs.Refused as exc:
        console.error(str(exc))
        return 2
    try:
        text = raw.decode("utf-8")
    except UnicodeDecodeError as exc:
        console.error(f"{args.receipts}: not UTF-8 text: {exc.reason} at byte {exc.start}")
        return 2
    del raw
    unreadable: list[tuple[int, str]] = []
    try:
        summary_text = quorrel.verify_bytes(text, source)
    except (ValueError, MemoryError) as exc:
        message = str(exc) or type(exc).__name__
        # The source is read first: its failures name the source, all others the receipts.
        if isinstance(exc, MemoryError) or message.startswith(SOURCE_ERROR):
            console.error(f"{args.file if message.startswith(SOURCE_ERROR) else args.receipts}: {message}")
            return 2
        lines = text.split("\n")
        unreadable = unreadable_lines(lines, first_only=not args.keep_going)
        if not unreadable:
            console.error(f"{args.receipts}: {message}")
            return 2
        for number, where in unreadable:
            console.error(f"{args.receipts}: line {number}, {where}")
        if not args.keep_going:
            return 2
        # Blank lines are skipped: the readable lines keep their places.
        skip = {number for number, _ in unreadable}
        readable = "\n".join("" if number in skip else line for number, line in enumerate(lines, 1))
        try:
            summary_text = quorrel.verify_bytes(readable, source)
        except (ValueError, MemoryError) as again:
            console.error(f"{args.receipts}: {str(again) or type(again).__name__}")
            return 2
    summary = json.loads(summary_text)
    status = 0 if summary["fail"] == 0 and not unreadable else 1
    other = made_from_other_bytes(text, source, summary)
    note = f"these receipts were made from other bytes than {args.file}"
    # The status is decided before anything is printed: a reader that stops
    # early (`| head -1`) changes nothing about it.
    try:
        if args.json:
            if other:
                console.error(note)
            console.write_utf8(sys.stdout, summary_text + "\n")
        else:
            # Details quote receipt texts; a terminal that cannot show them gets escapes.
            if hasattr(sys.stdout, "reconfigure"):
                sys.stdout.reconfigure(errors="backslashreplace")
            if other:
                sys.stdout.write(note + "\n")
            for line in describe(summary):
                sys.stdout.write(line + "\n")
            sys.stdout.flush()
    except BrokenPipeError:
        console.silence_stdout()
    return status
