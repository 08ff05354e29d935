"""Command line for quorrel: build evidence receipts and verify them.

    quorrel receipts INPUT... [--doc-id ID] [--uri URI] [--authority TEXT] [-o OUT] [--jobs N] [--max-size SIZE]  [--strict]
    quorrel facts INPUT... [--format jsonl|csv|parquet] [-o OUT]
    quorrel show RECEIPTS SOURCE [--html OUT.html]
    quorrel verify RECEIPTS SOURCE [--json] [--keep-going] [--signed-by KEY] [--max-size SIZE]
    quorrel derive {ratio,difference,growth_rate} --receipts FILE --first ID --second ID [--round-dp N]
                   [--roles A,B] [--doc-id ID] [--unit U] [-a]
    quorrel keygen -o KEY.pem
    quorrel pubkey KEY.pem
    quorrel sign --key KEY.pem IN.jsonl [-o OUT.jsonl] [--replace]

One module per command; inputs.py reads every input, pool.py runs the workers.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Sequence

# Only what the stop needs is imported before main starts: the rest is
# imported once SIGINT and SIGTERM stop the run cleanly.
from . import pool

if TYPE_CHECKING:
    import argparse

VERSION = "0.1.0"


def _positive(text: str) -> int:
    import argparse

    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text}") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1: {text}")
    return value


def _size(text: str) -> int:
    import argparse

    from . import inputs

    try:
        return inputs.parse_size(text)
    except ValueError as exc:
        raise argparse.ArgumentTypeError(str(exc)) from None


def _parser() -> argparse.ArgumentParser:
    import argparse

    from . import derive, facts, keys, receipts, show, verify

    parser = argparse.ArgumentParser(prog="quorrel", description="Evidence receipts for XBRL and Inline XBRL facts.")
    parser.add_argument("--version", action="version", version=f"quorrel {VERSION}")
    sub = parser.add_subparsers(dest="command", required=True)
    for command in (receipts, facts, verify, show, derive, keys):
        command.add_parser(sub, _positive, _size)
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    pool.install_stop_handlers()
    try:
        args = _parser().parse_args(argv)
        return int(args.run(args))
    except pool.Stopped as stop:
        # Workers are ended and temporary files removed on the way out.
        return stop.status
    except BrokenPipeError:
        from . import console

        # Output that did not reach its reader is not a success.
        console.silence_stdout()
        return 1
    finally:
        # Past this point there is nothing left to clean up: a late signal
        # ends the process at once rather than raising into the exit.
        pool.exit_on_late_signals()
