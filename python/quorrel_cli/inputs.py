"""The inputs every command reads, in one place.

An input named on the command line is a file, a `.gz` file, `-` for standard
input, a directory (searched recursively) or a report package (`.zip`,
`.xbri`, `.xbr`). `expand` turns the inputs into sources, each a unit one
worker reads, holding the documents it gives with their names and relative
output paths; `read` gives a source's bytes document by document. With
`urls=True`, an input written as a URL (`s3://bucket/filings/`, `file:///...`)
is read through fsspec and taken apart by the same rules. Limits
count decompressed bytes as they are read, never the sizes an archive
declares; whatever breaks a limit or cannot be read is refused with one
line naming it, and the other inputs go on.
"""

from __future__ import annotations

import errno
import gzip
import os
import re
import stat
import sys
import zipfile
import zlib
from contextlib import ExitStack, contextmanager
from dataclasses import dataclass, field
from typing import Any, BinaryIO, Iterator, Mapping, Protocol

STDIN = "-"
STDIN_NAME = "stdin"
STDIN_LABEL = "standard input"
DIRECTORY_SUFFIXES = (".htm", ".html", ".xhtml", ".xml", ".xbrl")
# Inside a package, .xml files are taxonomy and linkbase files, never reports.
PACKAGE_DOCUMENT_SUFFIXES = (".htm", ".html", ".xhtml", ".xbrl")
PACKAGE_SUFFIXES = (".zip", ".xbri", ".xbr")
GZIP_SUFFIX = ".gz"
NOT_XBRL = "not an XBRL or Inline XBRL document"
DEFAULT_MAX_SIZE = 256 * 1024 * 1024
PACKAGE_FACTOR = 4
CHUNK = 1 << 20
# A local file header is 30 bytes before its name.
LOCAL_HEADER = 30


class Readable(Protocol):
    def read(self, size: int = -1, /) -> bytes: ...


class Refused(Exception):
    """An input, or a whole package, refused with one line naming it."""

    def __init__(self, label: str, reason: str) -> None:
        super().__init__(f"{label}: {reason}")
        self.label = label
        self.reason = reason


@dataclass(frozen=True)
class Document:
    label: str  # names it in messages: the path as given, PACKAGE/path/inside, or standard input
    name: str  # the default document id and URI, and what {name} stands for
    output: str  # the output path relative to an output folder, before the command's suffix
    listed: bool  # named on the command line, not found in a directory or package
    entry: int = -1  # its place in the package's directory
    refusal: str | None = None  # why it is refused before it is read


@dataclass(frozen=True)
class Source:
    label: str
    path: str
    form: str  # "file", "gzip", "package" or "stdin"
    documents: tuple[Document, ...] = ()
    refusal: str | None = None
    data: bytes = b""  # standard input, read by the parent before the workers start
    size: int = 0  # bytes on disk, to share the work out
    fs: Any = None  # the fsspec file system that path lives on; None for a local path


@dataclass
class Expansion:
    sources: list[Source] = field(default_factory=list)
    # Device and inode of every file read, so that no output overwrites one.
    identities: set[tuple[int, int]] = field(default_factory=set)

    @property
    def documents(self) -> Iterator[Document]:
        for source in self.sources:
            yield from source.documents


def holds_instance(summary: Mapping[str, int]) -> bool:
    """Whether a document that parsed holds an XBRL instance: any context,
    unit or fact. One found in a directory or package that holds none is
    skipped; one named on the command line is refused with NOT_XBRL."""
    return any(summary[key] for key in ("contexts", "units", "facts"))


def parse_size(text: str) -> int:
    """A byte count, optionally with K, M or G (powers of 1024)."""
    match = re.fullmatch(r"\s*(\d+)\s*([KMG]?)(i?B)?\s*", text, re.IGNORECASE)
    if match is None:
        raise ValueError(f"not a size: {text}")
    value = int(match.group(1)) * 1024 ** " KMG".index(match.group(2).upper() or " ")
    if value < 1:
        raise ValueError(f"must be at least 1 byte: {text}")
    return value


def _has_suffix(name: str, suffixes: tuple[str, ...]) -> bool:
    return name.lower().endswith(suffixes)


def _reason(exc: OSError) -> str:
    return exc.strerror or str(exc)


def unsafe_entry_name(name: str) -> bool:
    """Names that could lead outside a folder they are joined to."""
    return (name.startswith("/") or "\\" in name or re.match(r"[A-Za-z]:", name) is not None
            or ".." in name.split("/"))


def _under_reports(parts: list[str]) -> bool:
    # reports/ at the top of the package, or inside its one top-level folder.
    return (len(parts) > 1 and parts[0] == "reports") or (len(parts) > 2 and parts[1] == "reports")


def _overlapping(infos: list[zipfile.ZipInfo]) -> set[int]:
    """Entries whose stored data runs into the next entry's header: a trick
    that lets a small archive decompress the same data over and over."""
    spans = sorted((info.header_offset, i) for i, info in enumerate(infos))
    found: set[int] = set()
    for (start, i), (next_start, j) in zip(spans, spans[1:]):
        info = infos[i]
        # The name as stored: UTF-8 when flagged so, else code page 437.
        name_length = len(info.orig_filename.encode("utf-8" if info.flag_bits & 0x800 else "cp437"))
        if start + LOCAL_HEADER + name_length + info.compress_size > next_start:
            found.update((i, j))
    return found


def _entry_refusal(info: zipfile.ZipInfo, overlapping: bool) -> str | None:
    if unsafe_entry_name(info.filename):
        return "unsafe entry name (it could lead outside a folder)"
    if info.flag_bits & 0x1:
        return "encrypted entry"
    if overlapping:
        return "corrupt entry (its data overlaps another entry)"
    return None


def _open(path: str, fs: Any) -> BinaryIO:
    if fs is None:
        return open(path, "rb", buffering=0)
    return fs.open(path, "rb")  # type: ignore[no-any-return]


@contextmanager
def _zip(path: str, fs: Any) -> Iterator[zipfile.ZipFile]:
    if fs is None:
        with zipfile.ZipFile(path) as archive:
            yield archive
        return
    # A ZipFile leaves a file object it was given open: close both.
    with fs.open(path, "rb") as raw, zipfile.ZipFile(raw) as archive:
        yield archive


def _package(path: str, label: str, size: int, fs: Any = None) -> Source:
    base = os.path.basename(path)
    try:
        with _zip(path, fs) as archive:
            infos = archive.infolist()
    except (zipfile.BadZipFile, zipfile.LargeZipFile, ValueError, EOFError) as exc:
        return Source(label, path, "package", refusal=f"not a readable report package ({exc})", fs=fs)
    except OSError as exc:
        return Source(label, path, "package", refusal=_reason(exc), fs=fs)
    split = [info.filename.split("/") for info in infos]
    reports = any(_under_reports(parts) for parts in split)
    overlapping = _overlapping(infos)
    documents = []
    for index, (info, parts) in enumerate(zip(infos, split)):
        if info.is_dir() or not _has_suffix(info.filename, PACKAGE_DOCUMENT_SUFFIXES):
            continue
        # A name that could lead anywhere is refused wherever it seems to stand.
        if not unsafe_entry_name(info.filename) and ((not _under_reports(parts)) if reports else "META-INF" in parts):
            continue
        name = f"{base}/{info.filename}"
        documents.append(Document(f"{label}/{info.filename}", name, name, False, index,
                                  _entry_refusal(info, index in overlapping)))
    return Source(label, path, "package", tuple(documents), size=size, fs=fs)


def _walk(top: str, expansion: Expansion) -> None:
    """Files with a document suffix below top: a folder's files in name
    order, then its subfolders the same way. Symbolic links to directories
    are not followed, so no link can make the walk loop."""
    stack = [""]
    while stack:
        relative = stack.pop()
        folder = os.path.join(top, relative) if relative else top
        try:
            with os.scandir(folder) as it:
                entries = sorted(it, key=lambda e: e.name)
        except OSError as exc:
            expansion.sources.append(Source(folder, folder, "file", refusal=_reason(exc)))
            continue
        subfolders = []
        for entry in entries:
            rel = f"{relative}/{entry.name}" if relative else entry.name
            if entry.is_dir(follow_symlinks=False):
                subfolders.append(rel)
            elif _has_suffix(entry.name, DIRECTORY_SUFFIXES):
                label = os.path.join(top, rel)
                try:
                    if not entry.is_file():
                        continue
                    info = entry.stat()
                except OSError as exc:  # a link that loops, or one we may not follow
                    expansion.sources.append(Source(label, entry.path, "file", refusal=_reason(exc)))
                    continue
                expansion.identities.add((info.st_dev, info.st_ino))
                document = Document(label, rel, rel, False)
                expansion.sources.append(Source(label, entry.path, "file", (document,), size=info.st_size))
        stack.extend(reversed(subfolders))


def read_stdin(max_size: int) -> bytes:
    return _read_limited(sys.stdin.buffer, STDIN_LABEL, max_size, what="")


def is_url(path: str) -> bool:
    """Whether path is written as a URL, `protocol://...`, or a chain of them joined by `::`."""
    return re.match(r"[A-Za-z][A-Za-z0-9+.-]*://", path) is not None or "::" in path


def _walk_order(relative: str) -> list[tuple[int, str]]:
    # The order _walk reads a tree in: a folder's files by name, then its subfolders by name.
    parts = relative.split("/")
    return [(1, part) for part in parts[:-1]] + [(0, parts[-1])]


def _url_reason(exc: Exception) -> str:
    if isinstance(exc, FileNotFoundError) and not exc.strerror:
        return os.strerror(errno.ENOENT)
    return _reason(exc) if isinstance(exc, OSError) else str(exc)


def open_package(source: Source) -> Source:
    """A package's source with its documents, read from the package's
    directory: for one that expand left unopened."""
    return _package(source.path, source.label, source.size, source.fs)


def _expand_url(url: str, expansion: Expansion, packages: bool) -> None:
    """An input written as a URL, read through fsspec: a file, a `.gz` file,
    a report package or a folder, taken apart as a local one is. Documents in
    a folder are labelled with the URL of the folder and their path inside."""
    try:
        import fsspec

        fs, path = fsspec.core.url_to_fs(url)
        info = fs.info(path)
    except ImportError as exc:
        expansion.sources.append(Source(url, url, "file", refusal=f"reading a URL needs fsspec ({exc})"))
        return
    except (OSError, ValueError) as exc:
        expansion.sources.append(Source(url, url, "file", refusal=_url_reason(exc)))
        return
    if info["type"] == "directory":
        root = path.rstrip("/")
        # In a chain (zip://folder::s3://bucket/x.zip) the path inside is the first link's.
        first, chained, rest = url.partition("::")
        try:
            found = fs.find(root, detail=True)
        except (OSError, ValueError) as exc:
            expansion.sources.append(Source(url, url, "file", refusal=_url_reason(exc)))
            return
        files = sorted(((name[len(root):].lstrip("/"), name, entry.get("size") or 0)
                        for name, entry in found.items()
                        if entry["type"] == "file" and _has_suffix(name, DIRECTORY_SUFFIXES)),
                       key=lambda item: _walk_order(item[0]))
        for relative, name, size in files:
            label = f"{first.rstrip('/')}/{relative}{chained}{rest}"
            document = Document(label, relative, relative, False)
            expansion.sources.append(Source(label, name, "file", (document,), size=size, fs=fs))
        return
    size = info.get("size") or 0
    if _has_suffix(path, PACKAGE_SUFFIXES):
        expansion.sources.append(_package(path, url, size, fs) if packages
                                 else Source(url, path, "package", size=size, fs=fs))
        return
    form = "gzip" if _has_suffix(path, (GZIP_SUFFIX,)) else "file"
    base = path.rstrip("/").rsplit("/", 1)[-1]
    expansion.sources.append(Source(url, path, form, (Document(url, base, base, True),), size=size, fs=fs))


def expand(paths: list[str], max_size: int, urls: bool = False, packages: bool = True) -> Expansion:
    """The sources of the inputs. With urls, an input written as a URL is
    read through fsspec. Without packages, a report package is not opened
    here: its source lists no documents until open_package, so that the
    worker that reads it reads its directory too."""
    expansion = Expansion()
    for path in paths:
        if urls and is_url(path):
            _expand_url(path, expansion, packages)
            continue
        if path == STDIN:
            try:
                data = read_stdin(max_size)
            except Refused as exc:
                expansion.sources.append(Source(STDIN_LABEL, path, "stdin", refusal=exc.reason))
                continue
            document = Document(STDIN_LABEL, STDIN_NAME, STDIN_NAME, True)
            expansion.sources.append(Source(STDIN_LABEL, path, "stdin", (document,), data=data, size=len(data)))
            continue
        try:
            info = os.stat(path)
        except OSError as exc:
            expansion.sources.append(Source(path, path, "file", refusal=_reason(exc)))
            continue
        if stat.S_ISDIR(info.st_mode):
            _walk(path, expansion)
            continue
        expansion.identities.add((info.st_dev, info.st_ino))
        base = os.path.basename(path)
        if _has_suffix(path, PACKAGE_SUFFIXES):
            expansion.sources.append(_package(path, path, info.st_size) if packages
                                     else Source(path, path, "package", size=info.st_size))
            continue
        form = "gzip" if _has_suffix(path, (GZIP_SUFFIX,)) else "file"
        expansion.sources.append(Source(path, path, form, (Document(path, base, base, True),), size=info.st_size))
    return expansion


def _read_limited(stream: Readable, label: str, limit: int, budget: list[int] | None = None,
                  what: str = " once decompressed") -> bytes:
    """The stream's bytes, refused once they pass limit; budget, when given,
    is what remains of a package's allowance and is charged as bytes come."""
    chunks: list[bytes] = []
    total = 0
    while True:
        chunk = stream.read(CHUNK)
        if not chunk:
            return b"".join(chunks)
        total += len(chunk)
        if total > limit:
            raise Refused(label, f"passes --max-size ({limit} bytes){what}")
        if budget is not None:
            budget[0] -= len(chunk)
            if budget[0] < 0:
                raise PackageTooLarge()
        chunks.append(chunk)


class PackageTooLarge(Exception):
    pass


def _corrupt(exc: BaseException) -> str:
    return f"corrupt entry ({exc})" if str(exc) else "corrupt entry"


def _read_entry(archive: zipfile.ZipFile, info: zipfile.ZipInfo, label: str, limit: int,
                budget: list[int] | None) -> bytes:
    try:
        with archive.open(info) as stream:
            return _read_limited(stream, label, limit, budget)
    except (zipfile.BadZipFile, zlib.error, EOFError, NotImplementedError, RuntimeError, ValueError) as exc:
        raise Refused(label, _corrupt(exc)) from None


def read(source: Source, max_size: int) -> Iterator[tuple[Document, bytes | None, str | None]]:
    """Each document of the source with its bytes, or with why it is refused.

    Raises Refused for the whole source when its documents together pass
    PACKAGE_FACTOR times max_size: what was read from it must be dropped.
    """
    if source.form == "stdin":
        yield source.documents[0], source.data, None
        return
    if source.form == "package":
        yield from _read_package(source, max_size)
        return
    document = source.documents[0]
    try:
        if source.form == "gzip":
            with _open(source.path, source.fs) as raw, gzip.open(raw, "rb") as stream:
                data = _read_limited(stream, document.label, max_size)
        else:
            with _open(source.path, source.fs) as handle:
                data = handle.read()
    except Refused as exc:
        yield document, None, exc.reason
    except OSError as exc:
        reason = _reason(exc) if exc.strerror else f"corrupt compressed file ({exc})"
        yield document, None, reason
    except (EOFError, zlib.error) as exc:
        yield document, None, f"corrupt compressed file ({exc})"
    else:
        yield document, data, None


def _read_package(source: Source, max_size: int) -> Iterator[tuple[Document, bytes | None, str | None]]:
    budget = [PACKAGE_FACTOR * max_size]
    with ExitStack() as stack:
        try:
            archive = stack.enter_context(_zip(source.path, source.fs))
        except (zipfile.BadZipFile, OSError) as exc:
            raise Refused(source.label, f"not a readable report package ({exc})") from None
        infos = archive.infolist()
        for document in source.documents:
            if document.refusal is not None:
                yield document, None, document.refusal
                continue
            try:
                data = _read_entry(archive, infos[document.entry], document.label, max_size, budget)
            except Refused as exc:
                yield document, None, exc.reason
                continue
            except PackageTooLarge:
                raise Refused(source.label, f"its documents together pass {PACKAGE_FACTOR} × --max-size "
                                            f"({PACKAGE_FACTOR * max_size} bytes) once decompressed") from None
            yield document, data, None


def _entry_of(given: str) -> tuple[str, str] | None:
    """PACKAGE.zip/path/inside split at the first package file it names."""
    parts = given.split("/")
    for i in range(1, len(parts)):
        package = "/".join(parts[:i])
        if _has_suffix(package, PACKAGE_SUFFIXES) and os.path.isfile(package):
            return package, "/".join(parts[i:])
    return None


def read_one(given: str, max_size: int, entries: bool = False) -> bytes:
    """The bytes of one document: a file, a `.gz` file, `-`, or with entries
    one entry of a package written PACKAGE.zip/path/inside."""
    if given == STDIN:
        return read_stdin(max_size)
    if entries and not os.path.exists(given):
        found = _entry_of(given)
        if found is not None:
            return _read_named_entry(given, *found, max_size)
    try:
        if _has_suffix(given, (GZIP_SUFFIX,)):
            with gzip.open(given, "rb") as stream:
                return _read_limited(stream, given, max_size)
        if entries and _has_suffix(given, PACKAGE_SUFFIXES) and os.path.isfile(given):
            raise Refused(given, f"a report package holds several documents: name one as {given}/path/inside")
        with open(given, "rb", buffering=0) as handle:
            return handle.readall()
    except OSError as exc:
        raise Refused(given, _reason(exc) if exc.strerror else f"corrupt compressed file ({exc})") from None
    except (EOFError, zlib.error) as exc:
        raise Refused(given, f"corrupt compressed file ({exc})") from None


def _read_named_entry(given: str, package: str, name: str, max_size: int) -> bytes:
    try:
        archive = zipfile.ZipFile(package)
    except (zipfile.BadZipFile, OSError) as exc:
        raise Refused(package, f"not a readable report package ({exc})") from None
    with archive:
        infos = archive.infolist()
        matches = [i for i, info in enumerate(infos) if info.filename == name]
        if not matches:
            raise Refused(given, "no such entry in the package")
        index = matches[-1]
        refusal = _entry_refusal(infos[index], index in _overlapping(infos))
        if refusal is not None:
            raise Refused(given, refusal)
        return _read_entry(archive, infos[index], given, max_size, None)
