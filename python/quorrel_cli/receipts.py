"""quorrel receipts: one receipt per numeric fact of each document, as JSONL.

Each worker reads its own input and writes its own output: with an output
folder, to a temporary file renamed into place; otherwise to the end of its
own part file, from which the parent copies each job's range to the one
output in input order. Only labels, outcomes and where the receipts lie
travel back, so the output is the same for every --jobs.

With --dask, quorrel_dask reads the same documents on a Dask cluster and
writes the receipts, facts and errors tables as Parquet to the -o folder.
"""

from __future__ import annotations

import argparse
import os
import shutil
import sys
import tempfile
from contextlib import ExitStack, closing
from dataclasses import dataclass
from typing import BinaryIO, Callable, NamedTuple

import quorrel_tools

from . import console, inputs, pool

SUFFIX = ".receipts.jsonl"
# A worker starts a new part file past this size, so that the parent can
# drop the parts it has copied while the run goes on.
PART_SIZE = 64 << 20
NAME_PLACEHOLDER = "{name}"

OK, SKIPPED, FAILED = "ok", "skipped", "failed"


def add_parser(sub: argparse._SubParsersAction, positive: Callable[[str], int], size: Callable[[str], int]) -> None:
    rec = sub.add_parser("receipts", help="build one receipt per numeric fact, as JSONL")
    rec.add_argument("files", nargs="+", metavar="INPUT",
                     help="a file, a .gz file, a directory, a report package (.zip, .xbri, .xbr) or - for stdin")
    rec.add_argument("--doc-id", help="document id for every receipt (default: the input's name; {name} stands for it)")
    rec.add_argument("--uri", help="source URI for every receipt (default: the input's name; {name} stands for it)")
    rec.add_argument("--authority", help="authority recorded in every source artifact")
    rec.add_argument("-o", "--output", help="output file, or a folder for one NAME.receipts.jsonl per document")
    rec.add_argument("--jobs", type=positive, help="parallel worker processes (default: the number of cores)")
    rec.add_argument("--strict", action="store_true",
                     help="count a document with facts left without a receipt as failed (exit status 1)")
    rec.add_argument("--max-size", type=size, default=inputs.DEFAULT_MAX_SIZE, metavar="SIZE",
                     help="largest decompressed entry, .gz file or standard input, in bytes or with K, M, G "
                          "(default: 256M; a package may hold 4 times as much)")
    rec.add_argument("--dask", metavar="SCHEDULER",
                     help="run on a Dask cluster (a scheduler address, or local for one on this machine with "
                          "--jobs workers), writing the receipts, facts and errors tables as Parquet to the -o folder")
    rec.set_defaults(run=run)


@dataclass(frozen=True)
class Settings:
    doc_id: str | None
    uri: str | None
    authority: str | None
    folder: str | None  # the output folder as given, or None for one output
    scratch: str  # temporary files, removed when the run ends however it ends
    max_size: int
    strict: bool = False


class Outcome(NamedTuple):
    label: str
    status: str
    message: str | None = None
    documents: int = 1
    account: str | None = None  # what the document left without a receipt


def _number(n: int) -> str:
    return f"{n:,}"


def account(summary: quorrel_tools.Summary) -> str | None:
    """What a document left without a receipt, in one line's parts joined
    by "; ", or None when it left nothing."""
    skipped = {reason: summary[key] for reason, key in (("missing context", "missing_context"),
                                                        ("missing unit", "missing_unit"),
                                                        ("invalid decimal value", "invalid_decimal")) if summary[key]}
    parts = []
    if skipped:
        reasons = ", ".join(f"{reason}: {_number(n)}" for reason, n in skipped.items())
        parts.append(f"{_number(sum(skipped.values()))} numeric facts skipped ({reasons})")
    if summary["facts_in_footnotes"]:
        parts.append(f"{_number(summary['facts_in_footnotes'])} fact elements inside footnotes not read")
    if summary["open_facts_dropped"]:
        parts.append(f"{_number(summary['open_facts_dropped'])} facts still open at the end dropped")
    if summary["open_elements"]:
        parts.append(f"document ends with {_number(summary['open_elements'])} elements still open")
    if not parts:
        return None
    return "; ".join([f"{_number(summary['receipts'])} receipts", *parts])


class Part(NamedTuple):
    path: str
    offset: int
    length: int


class Result(NamedTuple):
    outcomes: tuple[Outcome, ...]
    part: Part | None  # where the job's receipts lie, to be copied to the one output


class _Parts:
    """The part files of this worker: one at a time, appended job after job."""

    def __init__(self) -> None:
        self.handle: BinaryIO | None = None
        self.path = ""
        self.count = 0

    def current(self, scratch: str) -> BinaryIO:
        if self.handle is None or self.handle.tell() >= PART_SIZE:
            if self.handle is not None:
                self.handle.close()
            self.count += 1
            self.path = os.path.join(scratch, f"{os.getpid()}-{self.count}.part")
            self.handle = open(self.path, "ab")
        return self.handle


_parts = _Parts()
# Output folders this worker knows to exist.
_made: set[str] = set()


def _fill(template: str | None, name: str) -> str:
    # Defaults never use absolute paths, so the same file gives the same
    # receipts on any machine: the input's own name stands for it.
    if template is None:
        return name
    return template.replace(NAME_PLACEHOLDER, name)


def target(folder: str, document: inputs.Document) -> str:
    return os.path.join(folder, document.output + SUFFIX)


def document_receipts(document: inputs.Document, data: bytes, settings: Settings) -> tuple[str | None, Outcome]:
    """The receipts of one document with its outcome; no text when there is none to write."""
    try:
        text, summary = quorrel_tools.receipts(data, _fill(settings.doc_id, document.name),
                                               _fill(settings.uri, document.name), settings.authority)
    except UnicodeEncodeError:
        # A file name that is not valid UTF-8 cannot stand in a receipt.
        return None, Outcome(document.label, FAILED,
                             "the document id and URI must be valid UTF-8 (give --doc-id and --uri)")
    except (ValueError, MemoryError) as exc:
        return None, Outcome(document.label, FAILED, str(exc) or type(exc).__name__)
    if not inputs.holds_instance(summary):
        if document.listed:
            return None, Outcome(document.label, FAILED, inputs.NOT_XBRL)
        return None, Outcome(document.label, SKIPPED)
    note = account(summary)
    # Under --strict a document with facts left over still has its receipts
    # written, and counts as failed.
    return text, Outcome(document.label, FAILED if note and settings.strict else OK, account=note)


def job(source: inputs.Source, index: int, settings: Settings) -> Result:
    """Runs in a worker: reads one source and writes what it gives."""
    if source.refusal is not None:
        return Result((Outcome(source.label, FAILED, source.refusal),), None)
    outcomes: list[Outcome] = []
    made: list[tuple[str, int, inputs.Document]] = []  # temporary file, outcome index, document
    handle = _parts.current(settings.scratch) if settings.folder is None else None
    start = handle.tell() if handle is not None else 0
    try:
        for document, data, refusal in inputs.read(source, settings.max_size):
            if refusal is not None:
                outcomes.append(Outcome(document.label, FAILED, refusal))
                continue
            assert data is not None
            text, outcome = document_receipts(document, data, settings)
            del data
            if text is not None:
                encoded = text.encode("utf-8")
                if settings.folder is not None:
                    temporary = os.path.join(settings.scratch, f"{index}-{len(made)}")
                    with open(temporary, "wb", buffering=0) as out:
                        view = memoryview(encoded)
                        while view:
                            view = view[out.write(view):]
                    made.append((temporary, len(outcomes), document))
                else:
                    assert handle is not None
                    handle.write(encoded)
            outcomes.append(outcome)
    except inputs.Refused as exc:
        # A package over its allowance is refused whole: what it gave is dropped.
        for temporary, _, _ in made:
            os.unlink(temporary)
        if handle is not None:
            handle.flush()
            handle.truncate(start)
            handle.seek(start)
        return Result((Outcome(exc.label, FAILED, exc.reason, len(source.documents)),), None)
    if handle is not None:
        handle.flush()
        end = handle.tell()
        return Result(tuple(outcomes), Part(_parts.path, start, end - start) if end > start else None)
    for temporary, at, document in made:
        final = target(settings.folder, document)  # type: ignore[arg-type]
        try:
            folder = os.path.dirname(final)
            if folder not in _made:
                os.makedirs(folder, exist_ok=True)
                _made.add(folder)
            os.replace(temporary, final)
        except OSError as exc:
            outcomes[at] = Outcome(final, FAILED, exc.strerror or str(exc))
    return Result(tuple(outcomes), None)


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


class _Copier:
    """Copies the parts' ranges to the one output, and removes each part file
    once its worker has moved on to the next (ranges come in task order)."""

    def __init__(self, out: int) -> None:
        self.out = out
        self.open: dict[str, tuple[str, int]] = {}  # worker -> its current part and descriptor

    def copy(self, part: Part) -> None:
        worker = os.path.basename(part.path).split("-")[0]
        path, source = self.open.get(worker, ("", -1))
        if path != part.path:
            if source >= 0:
                os.close(source)
                os.unlink(path)
            source = os.open(part.path, os.O_RDONLY)
            self.open[worker] = (part.path, source)
        offset, end = part.offset, part.offset + part.length
        try:
            while offset < end:
                sent = os.sendfile(self.out, source, offset, end - offset)
                if sent == 0:
                    raise OSError(f"{part.path}: shorter than expected")
                offset += sent
        except OSError as exc:
            if isinstance(exc, BrokenPipeError) or offset > part.offset:
                raise
            # An output sendfile cannot write to.
            data = memoryview(os.pread(source, part.length, part.offset))
            while data:
                data = data[os.write(self.out, data):]

    def close(self) -> None:
        for _, source in self.open.values():
            os.close(source)
        self.open.clear()


def _on_cluster(args: argparse.Namespace) -> int:
    """--dask: the same documents read by quorrel_dask on a cluster, into the -o folder."""
    if args.output is None:
        console.error("--dask needs -o FOLDER: the Parquet tables are written there")
        return 2
    if args.strict or (args.jobs is not None and args.dask != "local"):
        console.error(f"{'--strict' if args.strict else '--jobs'} does not go with --dask {args.dask}")
        return 2
    try:
        from distributed import Client, LocalCluster

        import quorrel_dask
    except ImportError as exc:
        console.error(f"--dask needs dask, pyarrow and fsspec: pip install 'quorrel[dask]' ({exc})")
        return 2
    bar = console.Progress(0, sys.stderr.isatty())

    def progress(done: int, total: int) -> None:
        bar.total = total
        if done:
            bar.step("batches")

    with ExitStack() as stack:
        try:
            if args.dask == "local":
                cluster = stack.enter_context(LocalCluster(n_workers=args.jobs or os.cpu_count() or 1,
                                                           threads_per_worker=1, dashboard_address=None))
                client = stack.enter_context(Client(cluster))
            else:
                client = stack.enter_context(Client(args.dask))
        except OSError as exc:
            console.error(f"--dask {args.dask}: {exc}")
            return 2
        try:
            summary = quorrel_dask.run(args.files, args.output, doc_id=args.doc_id, uri=args.uri,
                                       authority=args.authority, max_size=args.max_size, client=client,
                                       progress=progress)
        except (OSError, ValueError) as exc:
            console.error(str(exc))
            return 2
        finally:
            bar.close()
    total = summary.documents + summary.skipped + summary.failed
    where = f"; what failed is in {args.output.rstrip('/')}/errors" if summary.failed else ""
    console.error(f"{total} {'document' if total == 1 else 'documents'}: {summary.documents} read, "
                  f"{summary.skipped} skipped (no XBRL instance), {summary.failed} failed{where}")
    return 1 if summary.failed else 0


def run(args: argparse.Namespace) -> int:
    if args.dask is not None:
        return _on_cluster(args)
    plan = prepare(args)
    if isinstance(plan, str):
        console.error(plan)
        return 2
    scratch: str | None = None
    sink: str | None = None  # the one output's temporary name
    out: int | None = None
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
                try:
                    if os.path.exists(plan.output) and not os.path.isfile(plan.output):
                        out = os.open(plan.output, os.O_WRONLY)  # a device or a pipe: nothing to rename
                    else:
                        directory, name = os.path.split(plan.output)
                        out, sink = tempfile.mkstemp(prefix=f".{name}.", suffix=".tmp", dir=directory or ".")
                        # mkstemp makes the file private; the output gets the usual mode.
                        mask = os.umask(0)
                        os.umask(mask)
                        os.fchmod(out, 0o666 & ~mask)
                except OSError as exc:
                    console.error(f"{plan.output}: {exc.strerror or exc}")
                    return 2
            scratch = tempfile.mkdtemp(prefix=".quorrel-", dir=plan.folder)
        settings = Settings(args.doc_id, args.uri, args.authority, plan.folder, scratch, args.max_size, args.strict)
        status = _run(plan, settings, out, args.jobs or os.cpu_count() or 1)
        if sink is not None:
            os.replace(sink, plan.output)  # type: ignore[arg-type]
            sink = None
        return status
    finally:
        with pool.signals_held():
            if out is not None:
                os.close(out)
            if scratch is not None:
                shutil.rmtree(scratch, ignore_errors=True)
            if sink is not None:
                os.unlink(sink)


def _run(plan: Plan, settings: Settings, out: int | None, workers: int) -> int:
    sources = plan.expansion.sources
    progress = console.Progress(len(sources), len(sources) > 1 and sys.stderr.isatty())
    counts = {OK: 0, SKIPPED: 0, FAILED: 0}
    copier = None
    try:
        if settings.folder is None:
            if out is None:
                sys.stdout.flush()
            copier = _Copier(out if out is not None else sys.stdout.fileno())

        def lost(index: int, reason: str) -> Result:
            source = sources[index]
            return Result((Outcome(source.label, FAILED, reason, max(1, len(source.documents))),), None)

        results = pool.ordered(lambda index: job(sources[index], index, settings),
                               [source.size for source in sources], workers, lost)
        with closing(results):
            for index, result in enumerate(results):
                progress.step(sources[index].label)
                for outcome in result.outcomes:
                    counts[outcome.status] += outcome.documents
                    if outcome.account is not None:
                        progress.interrupt()
                        console.note(f"{outcome.label}: {outcome.account}")
                    elif outcome.status == FAILED:
                        progress.interrupt()
                        console.error(f"{outcome.label}: {outcome.message}")
                if result.part is not None:
                    assert copier is not None
                    copier.copy(result.part)
    finally:
        if copier is not None:
            copier.close()
        progress.close()
    found = any(not document.listed for document in plan.expansion.documents)
    if found or counts[SKIPPED]:
        total = sum(counts.values())
        noun = "document" if total == 1 else "documents"
        console.error(f"{total} {noun}: {counts[OK]} read, {counts[SKIPPED]} skipped (no XBRL instance), "
                      f"{counts[FAILED]} failed")
    return 1 if counts[FAILED] else 0
