"""Command line for quorrel: build evidence receipts and verify them.

    quorrel receipts FILE... [--doc-id ID] [--uri URI] [--authority TEXT] [-o OUT] [--jobs N]
    quorrel verify RECEIPTS FILE [--json]
"""

from __future__ import annotations

import argparse
import json
import os
import sys
from concurrent.futures import ProcessPoolExecutor
from typing import Iterable, Iterator, NamedTuple, Sequence

import quorrel

VERSION = "0.1.0"
NAME_PLACEHOLDER = "{name}"


class Job(NamedTuple):
    path: str
    doc_id: str
    uri: str
    authority: str | None


class Outcome(NamedTuple):
    path: str
    jsonl: str | None
    error: str | None


def _fill(template: str | None, name: str) -> str:
    # Defaults never use absolute paths, so the same file gives the same
    # receipts on any machine: the file's own name stands for it.
    if template is None:
        return name
    return template.replace(NAME_PLACEHOLDER, name)


def _build(job: Job) -> Outcome:
    try:
        with open(job.path, "rb") as handle:
            source = handle.read()
    except OSError as exc:
        return Outcome(job.path, None, exc.strerror or str(exc))
    try:
        return Outcome(job.path, quorrel.receipts_for_bytes(source, job.doc_id, job.uri, job.authority), None)
    except UnicodeEncodeError:
        # A file name that is not valid UTF-8 cannot stand in a receipt.
        return Outcome(job.path, None, "the document id and URI must be valid UTF-8 (give --doc-id and --uri)")
    except (ValueError, MemoryError) as exc:
        return Outcome(job.path, None, str(exc) or type(exc).__name__)


def _outcomes(jobs: Sequence[Job], workers: int) -> Iterator[Outcome]:
    if workers <= 1 or len(jobs) <= 1:
        for job in jobs:
            yield _build(job)
        return
    with ProcessPoolExecutor(max_workers=min(workers, len(jobs))) as pool:
        # map keeps input order whatever order the workers finish in.
        yield from pool.map(_build, jobs, chunksize=1)


class _Progress:
    def __init__(self, total: int, enabled: bool) -> None:
        self.total = total
        self.done = 0
        self.enabled = enabled

    def step(self, path: str) -> None:
        self.done += 1
        if not self.enabled:
            return
        width = 30
        filled = width * self.done // self.total
        name = os.path.basename(path)[-40:]
        sys.stderr.write(f"\r[{'#' * filled}{'.' * (width - filled)}] {self.done}/{self.total} {name:<40}")
        sys.stderr.flush()

    def close(self) -> None:
        if self.enabled:
            sys.stderr.write("\n")
            sys.stderr.flush()


def _error(message: str) -> None:
    sys.stderr.write(f"quorrel: {message}\n")


def _write_utf8(stream, text: str) -> None:
    # Receipts and summaries are UTF-8 whatever the terminal's encoding, with
    # bare line feeds on every platform.
    buffer = getattr(stream, "buffer", None)
    if buffer is None:
        stream.write(text)
    else:
        stream.flush()
        buffer.write(text.encode("utf-8"))
        buffer.flush()


def _same_file(a: str, b: str) -> bool:
    try:
        return os.path.samefile(a, b)
    except OSError:
        return False


def _overwritten_input(targets: Iterable[str], inputs: Sequence[str]) -> str | None:
    """The first output target that is one of the inputs, if any."""
    for target in targets:
        if os.path.exists(target) and any(_same_file(target, path) for path in inputs):
            return target
    return None


def cmd_receipts(args: argparse.Namespace) -> int:
    jobs = []
    for path in args.files:
        name = os.path.basename(path)
        jobs.append(Job(path, _fill(args.doc_id, name), _fill(args.uri, name), args.authority))

    out_dir: str | None = None
    if args.output is not None and (os.path.isdir(args.output) or args.output.endswith(os.sep)):
        out_dir = args.output
        names = [os.path.basename(p) for p in args.files]
        clashes = sorted({n for n in names if names.count(n) > 1})
        if clashes:
            _error(f"several inputs are named {clashes[0]}; their outputs would overwrite each other in {out_dir}")
            return 2

    def target_of(path: str) -> str:
        assert out_dir is not None
        return os.path.join(out_dir, os.path.basename(path) + ".receipts.jsonl")

    targets = [target_of(p) for p in args.files] if out_dir is not None else [args.output] if args.output else []
    overwritten = _overwritten_input(targets, args.files)
    if overwritten is not None:
        _error(f"{overwritten}: the output would overwrite an input")
        return 2

    # The folder is made only once the run is known to go ahead, so a refused
    # run leaves nothing behind.
    if out_dir is not None:
        try:
            os.makedirs(out_dir, exist_ok=True)
        except OSError as exc:
            _error(f"{out_dir}: {exc.strerror or exc}")
            return 2

    sink = None
    if out_dir is None and args.output:
        try:
            sink = open(args.output, "w", encoding="utf-8", newline="")
        except OSError as exc:
            _error(f"{args.output}: {exc.strerror or exc}")
            return 2

    workers = args.jobs if args.jobs is not None else (os.cpu_count() or 1)
    progress = _Progress(len(jobs), len(jobs) > 1 and sys.stderr.isatty())
    failed = False
    try:
        for outcome in _outcomes(jobs, workers):
            progress.step(outcome.path)
            if outcome.error is not None:
                failed = True
                if progress.enabled:
                    sys.stderr.write("\n")
                _error(f"{outcome.path}: {outcome.error}")
                continue
            assert outcome.jsonl is not None
            if out_dir is not None:
                target = target_of(outcome.path)
                try:
                    with open(target, "w", encoding="utf-8", newline="") as handle:
                        handle.write(outcome.jsonl)
                except OSError as exc:
                    failed = True
                    _error(f"{target}: {exc.strerror or exc}")
            elif sink is not None:
                sink.write(outcome.jsonl)
                sink.flush()
            else:
                _write_utf8(sys.stdout, outcome.jsonl)
    finally:
        progress.close()
        if sink is not None:
            sink.close()
    return 1 if failed else 0


def _describe(summary: dict) -> Iterable[str]:
    total = summary["pass"] + summary["fail"]
    yield f"{total} receipts: {summary['pass']} verified, {summary['fail']} failed"
    for report in summary["failures"]:
        yield f"FAILED {report['receipt_id']}"
        for check in report["checks"]:
            if not check["pass"]:
                yield f"  {check['name']}: {check.get('detail', '')}"


def cmd_verify(args: argparse.Namespace) -> int:
    path = args.receipts
    try:
        with open(path, "r", encoding="utf-8", newline="") as handle:
            receipts = handle.read()
        path = args.file
        with open(path, "rb") as handle:
            source = handle.read()
    except OSError as exc:
        _error(f"{path}: {exc.strerror or exc}")
        return 2
    except UnicodeDecodeError as exc:
        _error(f"{path}: not UTF-8 text: {exc.reason} at byte {exc.start}")
        return 2
    try:
        text = quorrel.verify_bytes(receipts, source)
    except (ValueError, MemoryError) as exc:
        message = str(exc) or type(exc).__name__
        # The source is read first: its failures name the source, all others the receipts.
        culprit = args.file if message.startswith("source parse failed: ") else args.receipts
        _error(f"{culprit}: {message}")
        return 2
    summary = json.loads(text)
    if args.json:
        _write_utf8(sys.stdout, text + "\n")
    else:
        # Details quote receipt texts; a terminal that cannot show them gets escapes.
        if hasattr(sys.stdout, "reconfigure"):
            sys.stdout.reconfigure(errors="backslashreplace")
        for line in _describe(summary):
            sys.stdout.write(line + "\n")
    return 0 if summary["fail"] == 0 else 1


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog="quorrel", description="Evidence receipts for XBRL and Inline XBRL facts.")
    parser.add_argument("--version", action="version", version=f"quorrel {VERSION}")
    sub = parser.add_subparsers(dest="command", required=True)

    rec = sub.add_parser("receipts", help="build one receipt per numeric fact, as JSONL")
    rec.add_argument("files", nargs="+", metavar="FILE")
    rec.add_argument("--doc-id", help="document id for every receipt (default: the file's name; {name} stands for it)")
    rec.add_argument("--uri", help="source URI for every receipt (default: the file's name; {name} stands for it)")
    rec.add_argument("--authority", help="authority recorded in every source artifact")
    rec.add_argument("-o", "--output", help="output file, or a folder for one NAME.receipts.jsonl per input")
    rec.add_argument("--jobs", type=_positive, help="parallel worker processes (default: the number of cores)")
    rec.set_defaults(run=cmd_receipts)

    ver = sub.add_parser("verify", help="verify receipts against the source document")
    ver.add_argument("receipts", metavar="RECEIPTS")
    ver.add_argument("file", metavar="FILE")
    ver.add_argument("--json", action="store_true", help="print the raw JSON summary")
    ver.set_defaults(run=cmd_verify)
    return parser


def _positive(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text}") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1: {text}")
    return value


def main(argv: Sequence[str] | None = None) -> int:
    args = _parser().parse_args(argv)
    try:
        return int(args.run(args))
    except BrokenPipeError:
        # The reader of our output went away (e.g. `| head`); that is not an error of ours.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return 0
    except KeyboardInterrupt:
        return 130


if __name__ == "__main__":
    sys.exit(main())
