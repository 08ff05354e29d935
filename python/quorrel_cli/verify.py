"""quorrel verify: check receipts against the bytes of their source."""

from __future__ import annotations

import argparse
import base64
import binascii
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
HEX_KEY = re.compile(r"[0-9A-Fa-f]{64}")
PUBLIC_PEM = re.compile(r"-----BEGIN PUBLIC KEY-----([A-Za-z0-9+/=\s]*)-----END PUBLIC KEY-----")
# The DER SubjectPublicKeyInfo of an Ed25519 key, up to the 32 key bytes.
ED25519_SPKI = bytes.fromhex("302a300506032b6570032100")
NOT_A_PUBLIC_KEY = "not an Ed25519 public key (64 hexadecimal digits or a PEM public key file)"
# Far longer than any public key file.
KEY_FILE_LIMIT = 1 << 16


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
    ver.add_argument("--signed-by", metavar="KEY",
                     help="also fail every receipt not attested by this Ed25519 public key: "
                          "64 hexadecimal digits or a PEM public key file")
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


def receipt_records(text: str, label: str) -> list[tuple[int, str, dict]]:
    """(line number, line, members) for every receipt line of text, a record
    written positionally given its members' names; inputs.Refused names the
    first line that does not read as a receipt. The module's reader decides
    what reads; json only picks out the members of lines known to read."""
    lines = text.split("\n")
    try:
        quorrel.verify_bytes(text, PROBE)
    except ValueError as exc:
        unreadable = unreadable_lines(lines, first_only=True)
        if unreadable:
            number, where = unreadable[0]
            raise inputs.Refused(label, f"line {number}, {where}") from None
        raise inputs.Refused(label, str(exc)) from None
    records = []
    for number, line in enumerate(lines, 1):
        try:
            record = json.loads(line)
        except ValueError:
            continue  # blank to the reader
        records.append((number, line, as_record(record, RECEIPT_FIELDS)))
    return records


def read_receipt_records(path: str, max_size: int) -> tuple[str, list[tuple[int, str, dict]]]:
    """The text of a receipts file (a file, a .gz file or -) and its
    records; inputs.Refused names what cannot be read."""
    raw = inputs.read_one(path, max_size)
    try:
        text = raw.decode("utf-8")
    except UnicodeDecodeError as exc:
        raise inputs.Refused(path, f"not UTF-8 text: {exc.reason} at byte {exc.start}") from None
    return text, receipt_records(text, path)


RECEIPT_FIELDS = ("schema", "receipt_id", "claim", "evidence", "derivation", "attestation")
ATTESTATION_FIELDS = ("alg", "public_key", "sig")


def as_record(value: dict | list, fields: tuple[str, ...]) -> dict:
    return value if isinstance(value, dict) else dict(zip(fields, value))


def not_attested(records: list[tuple[int, str, dict]], key: str) -> list[tuple[str, str | None]]:
    """(receipt id, the public key of its attestation or None) for each
    receipt whose attestation does not name key; whether a signature is
    valid is the attestation check's to say."""
    found = []
    for _, _, record in records:
        attestation = record.get("attestation")
        public_key = None if attestation is None else as_record(attestation, ATTESTATION_FIELDS).get("public_key")
        if public_key is None or public_key.lower() != key:
            found.append((record["receipt_id"], public_key))
    return found


def public_key_of(given: str) -> str:
    """A public key given as 64 hexadecimal digits or as a PEM public key
    file, in lower-case hexadecimal."""
    if HEX_KEY.fullmatch(given):
        return given.lower()
    try:
        with open(given, "rb") as handle:
            text = handle.read(KEY_FILE_LIMIT).decode("ascii", errors="replace")
    except OSError as exc:
        raise inputs.Refused(given, exc.strerror or str(exc)) from None
    match = PUBLIC_PEM.search(text)
    try:
        der = base64.b64decode("".join(match.group(1).split()), validate=True) if match else b""
    except binascii.Error:
        der = b""
    if len(der) != len(ED25519_SPKI) + 32 or not der.startswith(ED25519_SPKI):
        raise inputs.Refused(given, NOT_A_PUBLIC_KEY)
    return der[len(ED25519_SPKI):].hex()


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
        signer = None if args.signed_by is None else public_key_of(args.signed_by)
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
    unsigned: list[tuple[str, str | None]] = []
    if signer is not None:
        checked = readable if unreadable else text
        unsigned = not_attested(receipt_records(checked, args.receipts), signer)
        summary["signed_by"] = signer
        summary["not_attested"] = [{"public_key": key, "receipt_id": rid} for rid, key in unsigned]
        summary_text = json.dumps(summary, sort_keys=True, separators=(",", ":"), ensure_ascii=False)
    status = 0 if summary["fail"] == 0 and not unreadable and not unsigned else 1
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
            if unsigned:
                sys.stdout.write(f"{len(unsigned)} of {summary['pass'] + summary['fail']} receipts "
                                 f"not attested by {signer}\n")
                for receipt_id, key in unsigned:
                    sys.stdout.write(f"NOT ATTESTED {receipt_id} ({'no attestation' if key is None else 'attested by ' + key})\n")
            sys.stdout.flush()
    except BrokenPipeError:
        console.silence_stdout()
    return status
