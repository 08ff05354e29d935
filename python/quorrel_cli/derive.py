"""quorrel derive: a receipt computed from two receipts of a file (a ratio,
a difference or a growth rate), made by quorrel_tools.derive exactly as
verification recomputes it."""

from __future__ import annotations

import argparse
import sys
from typing import Callable

import quorrel_tools

from . import console, inputs, verify

OPERATIONS = ("ratio", "difference", "growth_rate")


def _round_dp(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text}") from None
    if not 0 <= value < 1 << 32:
        raise argparse.ArgumentTypeError(f"must be between 0 and 4294967295: {text}")
    return value


def _roles(text: str) -> tuple[str, str]:
    first, comma, second = text.partition(",")
    if not comma or "," in second:
        raise argparse.ArgumentTypeError(f"not two roles A,B: {text}")
    return first, second


def add_parser(sub: argparse._SubParsersAction, positive: Callable[[str], int], size: Callable[[str], int]) -> None:
    der = sub.add_parser("derive", help="make a derived receipt from two receipts of a file and print it")
    der.add_argument("op", choices=OPERATIONS, help="first / second, first - second, or (first - second) / |second|")
    der.add_argument("--receipts", required=True, metavar="FILE",
                     help="a JSONL file holding both receipts, a .gz file, or - for standard input")
    der.add_argument("--first", required=True, metavar="ID", help="the id of the first operand's receipt")
    der.add_argument("--second", required=True, metavar="ID", help="the id of the second operand's receipt")
    der.add_argument("--round-dp", type=_round_dp, metavar="N",
                     help="round a ratio or growth rate to N decimal places, ties away from zero")
    der.add_argument("--roles", type=_roles, metavar="A,B",
                     help="the inputs' roles (default: numerator,denominator; minuend,subtrahend; current,prior)")
    der.add_argument("--doc-id", metavar="ID", help="the claim's doc_id (default: the receipts' common doc_id)")
    der.add_argument("--unit", metavar="U",
                     help="the claim's unit (default: for a difference the receipts' common unit, otherwise none)")
    der.add_argument("-a", "--append", action="store_true", help="append the new receipt to FILE instead of printing it")
    der.add_argument("--max-size", type=size, default=inputs.DEFAULT_MAX_SIZE, metavar="SIZE",
                     help="largest decompressed file or standard input (default: 256M)")
    der.set_defaults(run=run)


def run(args: argparse.Namespace) -> int:
    if args.round_dp is not None and args.op == "difference":
        console.error("--round-dp does not apply to a difference")
        return 2
    if args.append and (args.receipts == inputs.STDIN or args.receipts.lower().endswith(inputs.GZIP_SUFFIX)):
        console.error(f"{args.receipts}: -a appends only to a plain file")
        return 2
    try:
        text, records = verify.read_receipt_records(args.receipts, args.max_size)
    except inputs.Refused as exc:
        console.error(str(exc))
        return 2
    # As in verification, a later receipt with the same id replaces an earlier one.
    lines = {record["receipt_id"]: line for _, line, record in records}
    for receipt_id in (args.first, args.second):
        if receipt_id not in lines:
            console.error(f"{args.receipts}: no receipt has the id {receipt_id}")
            return 2
    try:
        derived = quorrel_tools.derive(args.op, lines[args.first], lines[args.second], round_dp=args.round_dp,
                                       roles=args.roles, doc_id=args.doc_id, unit=args.unit)
    except ValueError as exc:
        console.error(str(exc))
        return 2
    if not args.append:
        console.write_utf8(sys.stdout, derived + "\n")
        return 0
    try:
        with open(args.receipts, "ab") as out:
            # The new receipt starts a line of its own.
            out.write(("\n" if text and not text.endswith("\n") else "").encode() + derived.encode("utf-8") + b"\n")
    except OSError as exc:
        console.error(f"{args.receipts}: {exc.strerror or exc}")
        return 2
    return 0
