"""quorrel facts: one row per fact of each document (numeric, text and nil),
saying what it is and whether it got a receipt, as JSONL, CSV or Parquet.

The columns are the keys of a quorrel_tools fact row with `file` first; the
same columns, with the same types, in every format and for every file.
"""

from __future__ import annotations

import argparse
import csv
import io
import json
import os
import sys
import tempfile
from typing import Any, Callable, Iterable, Iterator

import quorrel_tools

from . import console, inputs, pool

FORMATS = ("jsonl", "csv", "parquet")
COLUMNS = ("file", "concept", "concept_namespace", "kind", "value", "raw", "decimals", "unit_ref", "unit_numerator",
           "unit_denominator", "context_ref", "period_type", "period_start", "period_end", "entity_scheme",
           "entity_identifier", "dimensions", "lang", "fact_id", "byte_start", "byte_end", "hidden", "receipt_id",
           "skip_reason")
LIST_COLUMNS = ("unit_numerator", "unit_denominator", "dimensions")


def add_parser(sub: argparse._SubParsersAction, positive: Callable[[str], int], size: Callable[[str], int]) -> None:
    facts = sub.add_parser("facts", help="one row per fact of each document: what it is and whether it got a receipt")
    facts.add_argument("files", nargs="+", metavar="INPUT",
                       help="a file, a .gz file, a directory, a report package (.zip, .xbri, .xbr) or - for stdin")
    facts.add_argument("--format", choices=FORMATS, default="jsonl", help="output format (default: jsonl)")
    facts.add_argument("-o", "--output", help="output file (needed for parquet; default: standard output)")
    facts.add_argument("--doc-id", help="document id the receipt ids are made with (default: the input's name)")
    facts.add_argument("--uri", help="source URI the receipt ids are made with (default: the input's name)")
    facts.add_argument("--authority", help="authority the receipt ids are made with")
    facts.add_argument("--max-size", type=size, default=inputs.DEFAULT_MAX_SIZE, metavar="SIZE",
                       help="largest decompressed entry, .gz file or standard input (default: 256M)")
    facts.set_defaults(run=run)


def arrow_schema() -> Any:
    """The Parquet columns: the same types for every file, whatever it holds."""
    import pyarrow as pa

    text, integer = pa.string(), pa.int64()
    dimension = pa.struct([("dimension", text), ("member", text), ("typed", pa.bool_())])
    types = {"byte_start": integer, "byte_end": integer, "hidden": pa.bool_(), "unit_numerator": pa.list_(text),
             "unit_denominator": pa.list_(text), "dimensions": pa.list_(dimension)}
    return pa.schema([(name, types.get(name, text)) for name in COLUMNS])


def _pyarrow() -> Any:
    try:
        import pyarrow.parquet  # noqa: F401
    except ImportError:
        return None
    import pyarrow

    return pyarrow


def document_rows(data: bytes, document: inputs.Document, args: argparse.Namespace) -> list[dict[str, Any]] | str:
    """The rows of one document with its `file` first, or the line that refuses it."""
    name = document.name
    doc_id = name if args.doc_id is None else args.doc_id.replace("{name}", name)
    uri = name if args.uri is None else args.uri.replace("{name}", name)
    try:
        rows, summary = quorrel_tools.facts(data, doc_id, uri, args.authority)
    except UnicodeEncodeError:
        return "the document id and URI must be valid UTF-8 (give --doc-id and --uri)"
    except (ValueError, MemoryError) as exc:
        return str(exc) or type(exc).__name__
    if not inputs.holds_instance(summary):
        return inputs.NOT_XBRL if document.listed else ""
    return [{"file": document.label, **row} for row in rows]


def documents(args: argparse.Namespace) -> Iterator[tuple[inputs.Document, list[dict[str, Any]] | str]]:
    """Every document of the inputs with its rows, or the line that refuses
    it ("" for a file found in a directory or package that holds no XBRL)."""
    for source in inputs.expand(args.files, args.max_size).sources:
        if source.refusal is not None:
            yield inputs.Document(source.label, source.label, source.label, True), source.refusal
            continue
        try:
            for document, data, refusal in inputs.read(source, args.max_size):
                yield document, refusal if refusal is not None else document_rows(data or b"", document, args)
        except inputs.Refused as exc:
            yield inputs.Document(exc.label, exc.label, exc.label, True), exc.reason


def _csv_value(value: Any) -> Any:
    if isinstance(value, list):
        return json.dumps(value, ensure_ascii=False, separators=(",", ":"))
    if isinstance(value, bool):
        return "true" if value else "false"
    return "" if value is None else value


class _Writer:
    def write(self, rows: list[dict[str, Any]]) -> None: ...
    def close(self) -> None: ...


class _Text(_Writer):
    def __init__(self, stream: io.TextIOBase | Any, form: str) -> None:
        self.stream = stream
        self.csv = csv.writer(stream, lineterminator="\n") if form == "csv" else None
        if self.csv is not None:
            self.csv.writerow(COLUMNS)

    def write(self, rows: list[dict[str, Any]]) -> None:
        if self.csv is not None:
            self.csv.writerows([_csv_value(row[c]) for c in COLUMNS] for row in rows)
        else:
            self.stream.write("".join(json.dumps(row, ensure_ascii=False, separators=(",", ":")) + "\n"
                                      for row in rows))


class _Parquet(_Writer):
    """One row group per document, so memory holds one document's rows."""

    def __init__(self, path: str, pa: Any) -> None:
        import pyarrow.parquet as pq

        self.pa = pa
        self.schema = arrow_schema()
        self.writer = pq.ParquetWriter(path, self.schema)

    def write(self, rows: list[dict[str, Any]]) -> None:
        if rows:
            self.writer.write_table(self.pa.Table.from_pylist(rows, schema=self.schema))

    def close(self) -> None:
        self.writer.close()


def run(args: argparse.Namespace) -> int:
    pa = None
    if args.format == "parquet":
        if args.output is None:
            console.error("--format parquet needs -o FILE")
            return 2
        pa = _pyarrow()
        if pa is None:
            console.error("--format parquet needs pyarrow: pip install 'quorrel[parquet]'")
            return 2
    if args.files.count(inputs.STDIN) > 1:
        console.error("standard input can be read only once")
        return 2
    failed = False
    sink: str | None = None
    try:
        with pool.signals_held():
            if args.output is not None:
                directory, name = os.path.split(args.output)
                handle, sink = tempfile.mkstemp(prefix=f".{name}.", suffix=".tmp", dir=directory or ".")
                os.close(handle)
        if pa is not None:
            writer: _Writer = _Parquet(sink, pa)  # type: ignore[arg-type]
            stream = None
        else:
            stream = open(sink, "w", encoding="utf-8", newline="") if sink else io.TextIOWrapper(
                sys.stdout.buffer, encoding="utf-8", newline="", write_through=False)
            writer = _Text(stream, args.format)
        try:
            for document, rows in documents(args):
                if isinstance(rows, str):
                    if rows:
                        console.error(f"{document.label}: {rows}")
                        failed = True
                    continue
                writer.write(rows)
        finally:
            writer.close()
            if stream is not None:
                stream.flush()
                if sink:
                    stream.close()
                else:
                    stream.detach()
        if sink is not None:
            mask = os.umask(0)
            os.umask(mask)
            os.chmod(sink, 0o666 & ~mask)
            os.replace(sink, args.output)
            sink = None
    except OSError as exc:
        if isinstance(exc, BrokenPipeError):
            raise
        console.error(f"{getattr(exc, 'filename', None) or args.output}: {exc.strerror or exc}")
        return 2
    finally:
        if sink is not None:
            with pool.signals_held():
                os.unlink(sink)
    return 1 if failed else 0


def rows_of(paths: Iterable[str], **options: Any) -> Iterator[tuple[inputs.Document, list[dict[str, Any]] | str]]:
    """The rows of every document of the inputs, for callers beside the
    command line: (document, rows) or (document, the line that refuses it)."""
    args = argparse.Namespace(files=list(paths), doc_id=options.get("doc_id"), uri=options.get("uri"),
                              authority=options.get("authority"),
                              max_size=options.get("max_size", inputs.DEFAULT_MAX_SIZE))
    return documents(args)
