"""quorrel on a Dask cluster: the receipts and fact tables of many filings,
written as partitioned Parquet.

    from dask.distributed import Client
    import quorrel_dask

    client = Client("tcp://scheduler:8786")
    quorrel_dask.run(["s3://bucket/filings/"], "s3://bucket/quorrel/")

The inputs are taken apart here by the rules of `quorrel receipts` (files,
`.gz` files, folders, report packages; paths or fsspec URLs; a package is
opened by the worker that reads it), then shared out in batches of files of
up to batch_bytes, one task per batch, so that a million small files do not
make a million tasks. Each task writes three Parquet files, each under a
hidden temporary name renamed once the batch is done:

    OUT/facts/part-N.parquet      the columns of `quorrel facts`
    OUT/receipts/part-N.parquet   file, receipt_id, line (the receipt's JSONL line)
    OUT/errors/part-N.parquet     file, message: each document that could not be read

A task whose worker dies is run again by Dask. A batch that keeps ending its
workers is split into its files, and a file that still does becomes a row
in errors: no file is lost.
"""

from __future__ import annotations

import argparse
import math
import os
import uuid
from dataclasses import astuple, dataclass
from typing import Any, Callable, Iterator, NamedTuple, Sequence

import fsspec
import pyarrow as pa
import pyarrow.parquet as pq
from distributed import Client, as_completed, get_client
from distributed.scheduler import KilledWorker

from quorrel_cli import facts, inputs, receipts

__all__ = ["Summary", "run", "receipts_schema", "errors_schema"]

TABLES = ("facts", "receipts", "errors")
DEFAULT_BATCH_BYTES = 256 * 2**20
# A small run is cut into at least this many batches per worker thread, so
# that every worker gets some and a slow batch does not hold the rest back.
SPREAD = 4
# Rows written together: small documents share a row group.
ROW_GROUP = 1 << 16
# A task that raises (a write to object storage that failed, say) is tried again.
RETRIES = 2
DIED = "the workers reading it died"

Row = dict[str, Any]
Progress = Callable[[int, int], None]


def receipts_schema() -> pa.Schema:
    return pa.schema([("file", pa.string()), ("receipt_id", pa.string()), ("line", pa.string())])


def errors_schema() -> pa.Schema:
    return pa.schema([("file", pa.string()), ("message", pa.string())])


@dataclass(frozen=True)
class Summary:
    parts: int  # part files written to each table
    documents: int  # documents read
    skipped: int  # found in a folder or package, holding no XBRL instance
    failed: int  # documents that could not be read, each with a row of errors (a refused package: one row)
    facts: int  # rows of facts
    receipts: int  # rows of receipts

    def __add__(self, other: Summary) -> Summary:
        return Summary(*(a + b for a, b in zip(astuple(self), astuple(other))))


@dataclass(frozen=True)
class _Job:
    doc_id: str | None
    uri: str | None
    authority: str | None
    max_size: int
    fs: Any  # the fsspec file system of the output
    root: str  # the output folder on it


class _Table:
    """One table's part of a batch, written under a temporary name."""

    def __init__(self, job: _Job, table: str, name: str, token: str, schema: pa.Schema) -> None:
        self.fs = job.fs
        self.schema = schema
        self.final = f"{job.root}/{table}/part-{name}.parquet"
        # Readers of the folder skip names that start with a dot.
        self.temporary = f"{job.root}/{table}/.part-{name}.{token}.tmp"
        self.rows: list[Row] = []
        self.count = 0
        self.handle = self.fs.open(self.temporary, "wb")
        self.writer = pq.ParquetWriter(self.handle, schema)

    def add(self, rows: list[Row]) -> None:
        self.rows.extend(rows)
        self.count += len(rows)
        if len(self.rows) >= ROW_GROUP:
            self.flush()

    def flush(self) -> None:
        if self.rows:
            self.writer.write_table(pa.Table.from_pylist(self.rows, schema=self.schema))
            self.rows = []

    def close(self) -> None:
        self.flush()
        self.writer.close()
        self.handle.close()

    def discard(self) -> None:
        try:
            self.writer.close()
            self.handle.close()
        finally:
            if self.fs.exists(self.temporary):
                self.fs.rm(self.temporary)


def _error(label: str, message: str) -> Row:
    return {"file": label, "message": message}


class _Read(NamedTuple):
    facts: list[Row]
    receipts: list[Row]
    errors: list[Row]
    read: int  # documents
    skipped: int
    failed: int


def _read(source: inputs.Source, job: _Job) -> _Read:
    """The rows of one source's documents, and how many were read, skipped
    and failed. A package over its allowance gives one error and nothing
    else, and counts all its documents failed, as `quorrel receipts` does."""
    if source.form == "package":
        source = inputs.open_package(source)
    if source.refusal is not None:
        return _Read([], [], [_error(source.label, source.refusal)], 0, 0, 1)
    names = argparse.Namespace(doc_id=job.doc_id, uri=job.uri, authority=job.authority)
    settings = receipts.Settings(job.doc_id, job.uri, job.authority, None, "", job.max_size)
    fact_rows: list[Row] = []
    receipt_rows: list[Row] = []
    errors: list[Row] = []
    read = skipped = 0
    try:
        for document, data, refusal in inputs.read(source, job.max_size):
            if refusal is not None or data is None:
                errors.append(_error(document.label, refusal or "not read"))
                continue
            try:
                rows = facts.document_rows(data, document, names)
                if isinstance(rows, str):
                    if rows:
                        errors.append(_error(document.label, rows))
                    else:
                        skipped += 1
                    continue
                text, outcome = receipts.document_receipts(document, data, settings)
                if text is None:
                    errors.append(_error(document.label, outcome.message or outcome.status))
                    continue
                # The fact rows name their receipts in the order of the lines.
                ids = [row["receipt_id"] for row in rows if row["receipt_id"] is not None]
                made = [{"file": document.label, "receipt_id": receipt_id, "line": line}
                        for receipt_id, line in zip(ids, text.splitlines(), strict=True)]
            except Exception as exc:  # a fault of ours costs one document, not the batch
                errors.append(_error(document.label, f"{type(exc).__name__}: {exc}"))
                continue
            del data
            read += 1
            fact_rows.extend(rows)
            receipt_rows.extend(made)
    except inputs.Refused as exc:
        return _Read([], [], [_error(exc.label, exc.reason)], 0, 0, len(source.documents))
    return _Read(fact_rows, receipt_rows, errors, read, skipped, len(errors))


def _batch(name: str, sources: Sequence[inputs.Source], job: _Job, lost: str | None) -> Summary:
    """Runs on a worker: reads the batch's files and writes its three parts.
    With lost, the files are not read: each document becomes an error."""
    token = uuid.uuid4().hex
    tables: list[_Table] = []
    try:
        for folder, schema in zip(TABLES, (facts.arrow_schema(), receipts_schema(), errors_schema())):
            tables.append(_Table(job, folder, name, token, schema))
        fact_table, receipt_table, error_table = tables
        read = skipped = failed = 0
        for source in sources:
            if lost is not None:
                errors = [_error(document.label, lost) for document in source.documents] or [_error(source.label, lost)]
                error_table.add(errors)
                failed += len(errors)
                continue
            rows = _read(source, job)
            fact_table.add(rows.facts)
            receipt_table.add(rows.receipts)
            error_table.add(rows.errors)
            read += rows.read
            skipped += rows.skipped
            failed += rows.failed
        for table in tables:
            table.close()
    except BaseException:
        for table in tables:
            try:
                table.discard()
            except Exception:
                pass
        raise
    # Only now does the batch appear, one table after another; a worker that
    # dies in between has its batch run again, which writes the same parts.
    for table in tables:
        job.fs.mv(table.temporary, table.final)
    return Summary(1, read, skipped, failed, fact_table.count, receipt_table.count)


def batches(sources: Sequence[inputs.Source], limit: int) -> Iterator[list[inputs.Source]]:
    """Consecutive sources, as many as fit in limit bytes (a larger one alone)."""
    batch: list[inputs.Source] = []
    weight = 0
    for source in sources:
        if batch and weight + source.size > limit:
            yield batch
            batch, weight = [], 0
        batch.append(source)
        weight += source.size
    if batch:
        yield batch


def _remove(fs: Any, paths: list[str]) -> None:
    for path in paths:
        try:
            fs.rm(path)
        except FileNotFoundError:
            pass


def run(paths: str | os.PathLike[str] | Sequence[str | os.PathLike[str]], out: str | os.PathLike[str], *,
        doc_id: str | None = None, uri: str | None = None, authority: str | None = None,
        batch_bytes: int = DEFAULT_BATCH_BYTES, max_size: int = inputs.DEFAULT_MAX_SIZE,
        client: Client | None = None, progress: Progress | None = None) -> Summary:
    """Receipts and fact tables of every document of paths, written under out.

    paths are files, `.gz` files, folders or report packages, as local paths
    or fsspec URLs, which the workers must be able to read too; out is a
    folder or URL that holds no earlier output. doc_id, uri and authority are
    those of `quorrel receipts` (`{name}` stands for the document's name);
    max_size is its --max-size. The tasks run on client, by default the
    current Dask client. progress, when given, is called with (batches done,
    batches in all) at the start and after each batch.
    """
    if batch_bytes < 1:
        raise ValueError(f"batch_bytes must be at least 1: {batch_bytes}")
    if isinstance(paths, (str, os.PathLike)):
        paths = [paths]
    names = [os.fspath(path) for path in paths]
    if names.count(inputs.STDIN) > 1:
        raise ValueError("standard input can be read only once")
    client = client if client is not None else get_client()
    fs, root = fsspec.core.url_to_fs(os.fspath(out))
    root = root.rstrip("/") or "/"
    earlier = [path for table in TABLES for path in fs.glob(f"{root}/{table}/*")]
    if earlier:
        raise FileExistsError(f"{os.fspath(out)}: holds the output of an earlier run ({earlier[0]})")
    for table in TABLES:
        fs.makedirs(f"{root}/{table}", exist_ok=True)
    # Packages are opened by the workers that read them, not one by one here.
    sources = inputs.expand(names, max_size, urls=True, packages=False).sources
    threads = sum(client.nthreads().values()) or 1
    limit = max(1, min(batch_bytes, math.ceil(sum(source.size for source in sources) / (SPREAD * threads))))
    job = _Job(doc_id, uri, authority, max_size, fs, root)
    run_key = uuid.uuid4().hex
    batch_of: dict[Any, tuple[str, list[inputs.Source], Any]] = {}

    def submit(name: str, batch: list[inputs.Source], lost: str | None = None) -> Any:
        # A task's key is never used twice: the scheduler keeps a failed one.
        key = f"quorrel-{run_key}-{name}" + ("-lost" if lost else "")
        future = client.submit(_batch, name, batch, job, lost, key=key, retries=RETRIES, pure=False)
        batch_of[future.key] = (name, batch, future)
        return future

    pending = as_completed([submit(f"{n:05d}", batch) for n, batch in enumerate(batches(sources, limit))])
    total, summary = len(batch_of), Summary(0, 0, 0, 0, 0, 0)
    if progress is not None:
        progress(0, total)
    try:
        for future in pending:
            name, batch, _ = batch_of.pop(future.key)
            try:
                summary += future.result()
            except KilledWorker:
                # Whatever an attempt published of the batch goes: it is read again in parts.
                _remove(fs, [f"{root}/{table}/part-{name}.parquet" for table in TABLES])
                if len(batch) > 1:
                    total += len(batch) - 1
                    for i, source in enumerate(batch):
                        pending.add(submit(f"{name}-{i:05d}", [source]))
                else:
                    pending.add(submit(name, batch, DIED))
                continue
            if progress is not None:
                progress(summary.parts, total)
    finally:
        if batch_of:
            client.cancel([future for _, _, future in batch_of.values()], force=True)
        # Temporary files of attempts whose worker died.
        _remove(fs, [path for table in TABLES for path in fs.glob(f"{root}/{table}/.part-*.tmp")])
    return summary
