"""quorrel receipts: one receipt per numeric fact of each document, as JSONL.

Each worker reads its own input and writes its own output: with an output
folder, to a temporary file renamed into place; otherwise to a part that the
parent copies to the one output in input order. Only labels, outcomes and
the part's name travel back, so the output is the same for every --jobs.
"""

from __future__ import annotations

import argparse
import os
import shutil
import sys
import tempfile
from contextlib import closing
from dataclasses import dataclass
from typing import Mapping, NamedTuple

import quorrel

from . import console, inputs, pool

SUFFIX = ".receipts.jsonl"
NAME_PLACEHOLDER = "{name}"
NOT_XBRL = "not an XBRL or Inline XBRL document"

OK, SKIPPED, FAILED = "ok", "skipped", "failed"


def add_parser(sub: argparse._SubParsersAction, positive, size) -> None:
    rec = sub.add_parser("receipts", help="build one receipt per numeric fact, as JSONL")
    rec.add_argument("files", nargs="+", metavar="INPUT",
                     help="a file, a .gz file, a directory, a report package (.zip, .xbri, .xbr) or - for stdin")
    rec.add_argument("--doc-id", help="document id for every receipt (default: the input's name; {name} stands for it)")
    rec.add_argument("--uri", help="source URI for every receipt (default: the input's name; {name} stands for it)")
    rec.add_argument("--authority", help="authority recorded in every source artifact")
    rec.add_argument("-o", "--output", help="output file, or a folder for one NAME.receipts.jsonl per document")
    rec.add_argument("--jobs", type=positive, help="parallel worker processes (default: the number of cores)")
    rec.add_argument("--max-size", type=size, default=inputs.DEFAULT_MAX_SIZE, metavar="SIZE",
                     help="largest decompressed entry, .gz file or standard input, in bytes or with K, M, G "
                          "(default: 256M; a package may hold 4 times as much)")
    rec.set_defaults(run=run)


def holds_instance(receipts: str, summary: Mapping[str, int] | None) -> bool:
    """Whether a document that parsed holds an XBRL instance: any context,
    unit or fact. A receipt is a fact with its context, so any receipt says
    yes. Without one, only the document's counts can tell, and
    `receipts_for_bytes` gives none (summary is None): the document is then
    taken for an instance without numeric facts, and gets its empty output."""
    if receipts or summary is None:
        return True
    return any(summary.get(key, 0) for key in ("contexts", "units", "facts"))


@dataclass(frozen=True)
class Settings:
    doc_id: str | None
    uri: str | None
    authority: str | None
    folder: str | None  # the output folder as given, or None for one output
    scratch: str  # temporary files, removed when the run ends however it ends
    max_size: int


class Outcome(NamedTuple):
    label: str
    status: str
    message: str | None = None
    documents: int = 1


class Result(NamedTuple):
    outcomes: tuple[Outcome, ...]
    part: str | None  # the receipts of a job to copy to the one output


def _fill(template: str | None, name: str) -> str:
    # Defaults never use absolute paths, so the same file gives the same
    # receipts on any machine: the input's own name stands for it.
    if template is None:
        return name
    return template.replace(NAME_PLACEHOLDER, name)


def target(folder: str, document: inputs.Document) -> str:
    return os.path.join(folder, document.output + SUFFIX)


def _receipts(document: inputs.Document, data: bytes, settings: Settings) -> tuple[str | None, Outcome]:
    try:
        text = quorrel.receipts_for_bytes(data, _fill(settings.doc_id, document.name),
                                          _fill(settings.uri, document.name), settings.authority)
    except UnicodeEncodeError:
        # A file name that is not valid UTF-8 cannot stand in a receipt.
        return None, Outcome(document.label, FAILED,
                             "the document id and URI must be valid UTF-8 (give --doc-id and --uri)")
    except (ValueError, MemoryError) as exc:
        return None, Outcome(document.label, FAILED, str(exc) or type(exc).__name__)
    if not holds_instance(text, None):
        if document.listed:
            return None, Outcome(document.label, FAILED, NOT_XBRL)
        return None, Outcome(document.label, SKIPPED)
    return text, Outcome(document.label, OK)


def job(source: inputs.Source, index: int, settings: Settings) -> Result:
    """Runs in a worker: reads one source and writes what it gives."""
    if source.refusal is not None:
        return Result((Outcome(source.label, FAILED, source.refusal),), None)
    outcomes: list[Outcome] = []
    made: list[tuple[str, int, inputs.Document]] = []  # temporary file, outcome index, document
    part = os.path.join(settings.scratch, f"{index}.part")
    handle = None
    try:
        for document, data, refusal in inputs.read(source, settings.max_size):
            if refusal is not None:
                outcomes.append(Outcome(document.label, FAILED, refusal))
                continue
            assert data is not None
            text, outcome = _receipts(document, data, settings)
            del data
            if text is not None:
                encoded = text.encode("utf-8")
                if settings.folder is not None:
                    temporary = os.path.join(settings.scratch, f"{index}-{len(made)}")
                    with open(temporary, "wb") as out:
                        out.write(encoded)
                    made.append((temporary, len(outcomes), document))
                else:
                    if handle is None:
                        handle = open(part, "wb")
                    handle.write(encoded)
            outcomes.append(outcome)
    except inputs.Refused as exc:
        # A package over its allowance is refused whole: what it gave is dropped.
        for temporary, _, _ in made:
            os.unlink(temporary)
        if handle is not None:
            handle.close()
            os.unlink(part)
        return Result((Outcome(exc.label, FAILED, exc.reason, len(source.documents)),), None)
    finally:
        if handle is not None:
            handle.close()
    assert settings.folder is not None or not made
    for temporary, at, document in made:
        final = target(settings.folder, document)  # type: ignore[arg-type]
        try:
            os.makedirs(os.path.dirname(final), exist_ok=True)
            os.replace(temporary, final)
        except OSError as exc:
            outcomes[at] = Outcome(final, FAILED, exc.strerror or str(exc))
    return Result(tuple(outcomes), part if handle is not None else None)


class Plan(NamedTuple):
    expansion: inputs.Expansion
    folder: str | None
    output: str | None


def prepare(args: argparse.Namespace) -> Plan | str:
    """The inputs expanded and the outputs checked, before anything is
    written: the plan, or the message that refuses the run. Every step is
    linear in the number of documents."""
    if args.files.count(inputs.STDIN) > 1:
        return "standard input can be read only once"
    expansion = inputs.expand(args.files, args.max_size)
    output = args.output
    if output is None:
        return Plan(expansion, None, None)
    if not (os.path.isdir(output) or output.endswith(os.sep)):
        if _reads(output, expansion):
            return f"{output}: the output would overwrite an input"
        return Plan(expansion, None, output)
    seen: dict[str, inputs.Document] = {}
    for document in expansion.documents:
        if document.refusal is not None:
            continue
        relative = os.path.normpath(document.output)
        if os.path.isabs(relative) or relative.split(os.sep)[0] == os.pardir:
            return f"{document.label}: its output would leave {output}"
        if relative in seen:
            return f"several inputs are named {document.output}; their outputs would overwrite each other in {output}"
        seen[relative] = document
        if _reads(target(output, document), expansion):
            return f"{target(output, document)}: the output would overwrite an input"
    return Plan(expansion, output, None)


def _reads(path: str, expansion: inputs.Expansion) -> bool:
    """Whether path is one of the files the run reads."""
    try:
        info = os.stat(path)
    except (OSError, ValueError):
        return False
    return (info.st_dev, info.st_ino) in expansion.identities


def _copy(part: str, out: int) -> None:
    with open(part, "rb") as handle:
        size = os.fstat(handle.fileno()).st_size
        offset = 0
        try:
            while offset < size:
                sent = os.sendfile(out, handle.fileno(), offset, size - offset)
                if sent == 0:
                    break
                offset += sent
        except OSError as exc:
            if isinstance(exc, BrokenPipeError) or offset:
                raise
            shutil.copyfileobj(handle, os.fdopen(out, "wb", closefd=False))


def run(args: argparse.Namespace) -> int:
    plan = prepare(args)
    if isinstance(plan, str):
        console.error(plan)
        return 2
    sources = plan.expansion.sources
    scratch: str | None = None
    sink: str | None = None
    try:
        # Nothing is made until the run is known to go ahead, so a refused run
        # leaves nothing behind; each temporary thing is made and recorded
        # with the stop signals held, so that the cleanup knows of it.
        with pool.signals_held():
            if plan.folder is not None:
                try:
                    os.makedirs(plan.folder, exist_ok=True)
                except OSError as exc:
                    console.error(f"{plan.folder}: {exc.strerror or exc}")
                    return 2
            if plan.output is not None:
                directory, name = os.path.split(plan.output)
                try:
                    descriptor, sink = tempfile.mkstemp(prefix=f".{name}.", suffix=".tmp", dir=directory or ".")
                except OSError as exc:
                    console.error(f"{plan.output}: {exc.strerror or exc}")
                    return 2
                os.close(descriptor)
                # mkstemp makes the file private; the output gets the usual mode.
                mask = os.umask(0)
                os.umask(mask)
                os.chmod(sink, 0o666 & ~mask)
            scratch = tempfile.mkdtemp(prefix=".quorrel-", dir=plan.folder)
        settings = Settings(args.doc_id, args.uri, args.authority, plan.folder, scratch, args.max_size)
        return _run(plan, settings, sink, args.jobs or os.cpu_count() or 1)
    finally:
        if scratch is not None:
            shutil.rmtree(scratch, ignore_errors=True)
        if sink is not None and os.path.exists(sink):
            os.unlink(sink)


def _run(plan: Plan, settings: Settings, sink: str | None, workers: int) -> int:
    sources = plan.expansion.sources
    progress = console.Progress(len(sources), len(sources) > 1 and sys.stderr.isatty())
    counts = {OK: 0, SKIPPED: 0, FAILED: 0}
    out = None
    try:
        if settings.folder is None:
            if sink is not None:
                out = os.open(sink, os.O_WRONLY | os.O_TRUNC)
            else:
                sys.stdout.flush()
        destination = out if out is not None else sys.stdout.fileno() if settings.folder is None else -1

        def lost(index: int, reason: str) -> Result:
            source = sources[index]
            return Result((Outcome(source.label, FAILED, reason, max(1, len(source.documents))),), None)

        results = pool.ordered(lambda index: job(sources[index], index, settings), len(sources), workers, lost)
        with closing(results):
            for index, result in enumerate(results):
                progress.step(sources[index].label)
                for outcome in result.outcomes:
                    counts[outcome.status] += outcome.documents
                    if outcome.status == FAILED:
                        progress.interrupt()
                        console.error(f"{outcome.label}: {outcome.message}")
                if result.part is not None:
                    _copy(result.part, destination)
                    os.unlink(result.part)
        if out is not None:
            os.close(out)
            out = None
            os.replace(sink, plan.output)  # type: ignore[arg-type]
    finally:
        if out is not None:
            os.close(out)
        progress.close()
    found = any(not document.listed for document in plan.expansion.documents)
    if found or counts[SKIPPED]:
        total = sum(counts.values())
        noun = "document" if total == 1 else "documents"
        console.error(f"{total} {noun}: {counts[OK]} read, {counts[SKIPPED]} skipped (no XBRL instance), "
                      f"{counts[FAILED]} failed")
    return 1 if counts[FAILED] else 0
