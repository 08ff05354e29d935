"""The command line, run as a separate process the way a user runs it; and
workers that end early, on Ctrl-C or SIGTERM or killed under their task."""

import argparse
import collections
import csv
import gzip
import io
import json
import math
import os
import random
import shutil
import signal
import stat
import subprocess
import sys
import time
import timeit
import zipfile

import pytest
from cryptography.hazmat.primitives import serialization
from cryptography.hazmat.primitives.asymmetric import ed25519

import quorrel
import quorrel_tools
import receipt_json as rj
from quorrel_cli import pool
from conftest import EDGE, EXAMPLE, INLINE, OUTCOMES, ROOT

BROKEN = "XML parse error at byte None: unexpected closing tag x"
PATH = os.pathsep.join([os.path.dirname(os.path.realpath(quorrel.__file__)), str(ROOT / "python"),
                        os.environ.get("PYTHONPATH", "")])
CLI = [sys.executable, "-m", "quorrel_cli"]


def run(*args, cwd=None, env=None, stdin=None):
    """`python -m quorrel_cli` with the module under test and the command line beside it."""
    environment = dict(os.environ, PYTHONPATH=PATH, **(env or {}))
    return subprocess.run([*CLI, *map(os.fsdecode, args)], cwd=cwd, env=environment, input=stdin,
                          capture_output=True, timeout=120)


def errors(result):
    """Standard error without the lines that account for facts left without a receipt."""
    return b"".join(line for line in result.stderr.splitlines(keepends=True) if line.startswith(b"quorrel: "))


def receipts_of(path, doc_id=None, uri=None, authority=None):
    return quorrel.receipts_for_bytes(path.read_bytes(), doc_id or path.name, uri or path.name, authority)


def package(path, entries):
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as archive:
        for name, data in entries.items():
            archive.writestr(name, data)


def patch_entry(path, name, flags=None, size=None, data_of=None):
    """Rewrites one entry's records in place: its flags, the size it declares,
    or where its data is (another entry's)."""
    raw = bytearray(path.read_bytes())
    central, at = {}, 0
    while (at := raw.find(b"PK\x01\x02", at)) >= 0:
        central[bytes(raw[at + 46:at + 46 + int.from_bytes(raw[at + 28:at + 30], "little")]).decode()] = at
        at += 46
    record = central[name]
    local = int.from_bytes(raw[record + 42:record + 46], "little")
    if flags is not None:
        raw[record + 8:record + 10] = raw[local + 6:local + 8] = flags.to_bytes(2, "little")
    if size is not None:
        raw[record + 24:record + 28] = raw[local + 22:local + 26] = size.to_bytes(4, "little")
    if data_of is not None:
        raw[record + 42:record + 46] = raw[central[data_of] + 42:central[data_of] + 46]
    path.write_bytes(raw)


def files_under(folder):
    return {p.relative_to(folder).as_posix(): p.read_text(encoding="utf-8") for p in folder.rglob("*") if p.is_file()}


@pytest.fixture
def work(tmp_path):
    """A folder holding the example, the two edge-case documents and a broken one."""
    for source in (EXAMPLE, EDGE, INLINE):
        shutil.copy(source, tmp_path / source.name)
    (tmp_path / "broken.xml").write_bytes(b"</x>")
    return tmp_path


def test_version_and_usage_errors():
    version = run("--version")
    assert (version.returncode, version.stdout) == (0, b"quorrel 0.1.0\n")
    assert run().returncode == 2
    for option, value, message in (("--jobs", "0", "must be at least 1: 0"), ("--max-size", "2X", "not a size: 2X")):
        bad = run("receipts", option, value, "x")
        assert bad.returncode == 2 and bad.stderr.decode().endswith(f"argument {option}: {message}\n")


def test_receipts_use_the_file_name_or_the_templates_are_utf8_and_skip_bad_inputs(work):
    # Absolute paths never leak into the receipts: the base name stands for the file.
    result = run("receipts", work / EXAMPLE.name)
    assert (result.returncode, result.stderr, result.stdout.decode()) == (0, b"", receipts_of(EXAMPLE))
    templated = run("receipts", work / EDGE.name, work / EXAMPLE.name, "--doc-id", "acme/{name}\u00e9",
                    "--uri", "https://x/{name}?c={name}", "--authority", "", env={"PYTHONIOENCODING": "ascii"})
    assert (templated.returncode, errors(templated)) == (0, b"")
    assert templated.stdout.decode("utf-8") == "".join(
        receipts_of(p, f"acme/{p.name}\u00e9", f"https://x/{p.name}?c={p.name}", "") for p in (EDGE, EXAMPLE))
    # Bad inputs give one error line each, and the others keep their order.
    (work / "loop.xml").symlink_to("loop.xml")
    result = run("receipts", "missing.xml", EDGE.name, "broken.xml", "loop.xml", EXAMPLE.name, INLINE.name,
                 "--jobs", "2", cwd=work)
    assert result.returncode == 1
    assert errors(result).decode().splitlines() == [
        "quorrel: missing.xml: No such file or directory", f"quorrel: broken.xml: {BROKEN}",
        "quorrel: loop.xml: Too many levels of symbolic links"]
    assert result.stdout.decode("utf-8") == receipts_of(EDGE) + receipts_of(EXAMPLE) + receipts_of(INLINE)


def test_every_input_form_gives_its_documents_in_order_the_same_for_every_jobs(tmp_path):
    tree = tmp_path / "filings"
    for relative, source in (("a/index.htm", EXAMPLE), ("b/index.htm", INLINE), ("b/c/edge.xml", EDGE)):
        (tree / relative).parent.mkdir(parents=True, exist_ok=True)
        shutil.copy(source, tree / relative)
    (tree / "b" / "notes.txt").write_text("not a document")
    (tree / "b" / "c" / "up").symlink_to("..")  # a loop if links to folders were followed
    # As ESEF packages are laid out: one top folder, META-INF, reports, and the taxonomy beside them.
    package(tmp_path / "report.zip", {
        "nordlicht/META-INF/reportPackage.json": b"{}", "nordlicht/META-INF/catalog.xml": b"<catalog/>",
        "nordlicht/reports/nordlicht.xhtml": EXAMPLE.read_bytes(), "nordlicht/reports/inner.zip": b"PK",
        "nordlicht/www/nordlicht.xsd": b"<schema/>", "nordlicht/www/nordlicht_cal.xml": EDGE.read_bytes()})
    # Without a reports folder, every document outside META-INF.
    package(tmp_path / "loose.xbri", {"META-INF/x.xhtml": b"", "doc.xbrl": EDGE.read_bytes(),
                                      "taxonomy.xml": EDGE.read_bytes()})
    (tmp_path / "edge.xbrl.gz").write_bytes(gzip.compress(EDGE.read_bytes()))
    expected = [("a/index.htm", EXAMPLE), ("b/index.htm", INLINE), ("b/c/edge.xml", EDGE),
                ("report.zip/nordlicht/reports/nordlicht.xhtml", EXAMPLE), ("loose.xbri/doc.xbrl", EDGE),
                ("edge.xbrl.gz", EDGE), ("stdin", INLINE)]
    args = ["receipts", tree, tmp_path / "report.zip", tmp_path / "loose.xbri", tmp_path / "edge.xbrl.gz", "-"]
    closing = b"quorrel: 7 documents: 7 read, 0 skipped (no XBRL instance), 0 failed\n"
    for jobs in ("1", "2", "3"):
        result = run(*args, "--jobs", jobs, stdin=INLINE.read_bytes())
        assert (result.returncode, errors(result)) == (0, closing)
        assert result.stdout.decode() == "".join(receipts_of(source, name, name) for name, source in expected)
    # Two index.htm in different folders keep apart; nothing temporary is left.
    folder = run(*args, "-o", f"{tmp_path / 'out'}/", stdin=INLINE.read_bytes())
    assert (folder.returncode, errors(folder)) == (0, closing)
    assert files_under(tmp_path / "out") == {
        f"{name}.receipts.jsonl": receipts_of(source, name, name) for name, source in expected}


def test_inputs_past_a_limit_or_unsafe_are_refused_one_line_each_and_the_others_go_on(tmp_path):
    good = EXAMPLE.read_bytes()  # 9,842 bytes: five pass four times the limit below
    package(tmp_path / "bomb.zip", {"reports/bomb.xhtml": b" " * 2_000_000 + good, "reports/ok.xhtml": good})
    patch_entry(tmp_path / "bomb.zip", "reports/bomb.xhtml", size=len(good))
    package(tmp_path / "overlap.zip", {"reports/a.xhtml": good, "reports/b.xhtml": good})
    patch_entry(tmp_path / "overlap.zip", "reports/b.xhtml", data_of="reports/a.xhtml")
    package(tmp_path / "names.zip", {name: good for name in (
        "reports/../../up.xhtml", "/reports/abs.xhtml", "C:/reports/drive.xhtml", "reports\\back.xhtml",
        "reports/ok.xhtml")})
    package(tmp_path / "locked.zip", {"reports/locked.xhtml": good})
    patch_entry(tmp_path / "locked.zip", "reports/locked.xhtml", flags=1)
    package(tmp_path / "many.zip", {f"reports/{i}.xhtml": good for i in range(5)})
    (tmp_path / "big.xhtml.gz").write_bytes(gzip.compress(b" " * 20_000 + good))
    (tmp_path / "bad.xhtml.gz").write_bytes(b"not gzip")
    (tmp_path / "junk.zip").write_bytes(b"not zip")
    inputs = ["bomb.zip", "overlap.zip", "names.zip", "locked.zip", "many.zip", "big.xhtml.gz", "bad.xhtml.gz",
              "junk.zip", "-"]
    result = run("receipts", *inputs, "--max-size", "12000", "-o", "out/", cwd=tmp_path,
                 stdin=good + b" " * 5_000)
    unsafe = "unsafe entry name (it could lead outside a folder)"
    assert result.returncode == 1
    assert result.stderr.decode().splitlines() == [
        "quorrel: bomb.zip/reports/bomb.xhtml: corrupt entry (Bad CRC-32 for file 'reports/bomb.xhtml')",
        "quorrel: overlap.zip/reports/a.xhtml: corrupt entry (its data overlaps another entry)",
        "quorrel: overlap.zip/reports/b.xhtml: corrupt entry (its data overlaps another entry)",
        f"quorrel: names.zip/reports/../../up.xhtml: {unsafe}",
        f"quorrel: names.zip//reports/abs.xhtml: {unsafe}",
        f"quorrel: names.zip/C:/reports/drive.xhtml: {unsafe}",
        f"quorrel: names.zip/reports\\back.xhtml: {unsafe}",
        "quorrel: locked.zip/reports/locked.xhtml: encrypted entry",
        "quorrel: many.zip: its documents together pass 4 × --max-size (48000 bytes) once decompressed",
        "quorrel: big.xhtml.gz: passes --max-size (12000 bytes) once decompressed",
        "quorrel: bad.xhtml.gz: corrupt compressed file (Not a gzipped file (b'no'))",
        "quorrel: junk.zip: not a readable report package (File is not a zip file)",
        "quorrel: standard input: passes --max-size (12000 bytes)",
        "quorrel: 19 documents: 2 read, 0 skipped (no XBRL instance), 17 failed",
    ]
    assert sorted(files_under(tmp_path / "out")) == [
        "bomb.zip/reports/ok.xhtml.receipts.jsonl", "names.zip/reports/ok.xhtml.receipts.jsonl"]


def test_an_output_folder_gets_one_file_per_input_and_a_failed_write_fails_the_run(work):
    blocked = work / "out" / (INLINE.name + ".receipts.jsonl")
    blocked.mkdir(parents=True)
    result = run("receipts", EXAMPLE.name, INLINE.name, EDGE.name, "-o", "out", "--jobs", "2", cwd=work)
    assert (result.returncode, result.stdout) == (1, b"")
    assert errors(result).decode() == f"quorrel: out/{blocked.name}: Is a directory\n"
    written = {p.name: p.read_text(encoding="utf-8") for p in (work / "out").iterdir() if p != blocked}
    assert written == {p.name + ".receipts.jsonl": receipts_of(p) for p in (EXAMPLE, EDGE)}


def test_a_file_name_that_is_not_utf8_needs_explicit_texts(work):
    odd = os.fsencode(work) + b"/n\xff.xbrl"
    shutil.copy(EDGE, odd)
    result = run("receipts", odd)
    assert (result.returncode, result.stdout) == (1, b"")
    assert result.stderr.endswith(
        b"n\\udcff.xbrl: the document id and URI must be valid UTF-8 (give --doc-id and --uri)\n")
    explicit = run("receipts", odd, "--doc-id", "d", "--uri", "u")
    assert (explicit.returncode, explicit.stdout.decode()) == (0, receipts_of(EDGE, "d", "u"))


@pytest.mark.parametrize(
    "args, message",
    [
        (["receipts", EXAMPLE.name, "-o", EXAMPLE.name], f"{EXAMPLE.name}: the output would overwrite an input"),
        (["receipts", "other", "-o", "other"],
         f"other/{EDGE.name}.receipts.jsonl: the output would overwrite an input"),
        (["receipts", EDGE.name, "other/" + EDGE.name, "-o", "out/"],
         f"several inputs are named {EDGE.name}; their outputs would overwrite each other in out/"),
        (["receipts", EDGE.name, "-o", "no/such/out.jsonl"], "no/such/out.jsonl: No such file or directory"),
        (["receipts", EDGE.name, "-o", EXAMPLE.name + "/out/"], f"{EXAMPLE.name}/out/: Not a directory"),
        (["receipts", "-", "-"], "standard input can be read only once"),
    ],
)
def test_outputs_that_cannot_be_written_stop_before_writing(work, args, message):
    (work / "other").mkdir()
    shutil.copy(EDGE, work / "other" / EDGE.name)
    (work / "other" / f"{EDGE.name}.receipts.jsonl").symlink_to(EDGE.name)
    result = run(*args, cwd=work)
    assert (result.returncode, result.stdout, result.stderr.decode()) == (2, b"", f"quorrel: {message}\n")
    # A refused run leaves nothing behind, not even an empty output folder.
    assert (work / EXAMPLE.name).read_bytes() == EXAMPLE.read_bytes()
    assert sorted(p.name for p in work.iterdir()) == ["broken.xml", EDGE.name, INLINE.name, EXAMPLE.name, "other"]


def test_the_checks_before_a_run_make_file_system_calls_in_proportion_to_the_inputs(tmp_path, monkeypatch):
    from quorrel_cli import receipts

    names = [f"f{i:04}.xhtml" for i in range(2000)]
    (tmp_path / "in").mkdir()
    (tmp_path / "out").mkdir()
    for name in names:
        (tmp_path / "in" / name).touch()
        (tmp_path / "out" / f"{name}.receipts.jsonl").touch()  # outputs of an earlier run
    calls = collections.Counter()

    for name in ("stat", "lstat", "scandir", "listdir", "access", "open"):
        def counted(*args, _name=name, _real=getattr(os, name), **kwargs):
            calls[_name] += 1
            return _real(*args, **kwargs)
        monkeypatch.setattr(os, name, counted)

    def count(n):
        calls.clear()
        args = argparse.Namespace(files=[str(tmp_path / "in" / name) for name in names[:n]],
                                  output=f"{tmp_path / 'out'}/", max_size=1 << 20)
        assert isinstance(receipts.prepare(args), receipts.Plan)
        return sum(calls.values())

    small, large = count(1000), count(2000)
    assert 1000 <= small and large <= 2 * small


def test_verify_reports_each_failure_and_exits_with_status_one(work):
    lines = receipts_of(EXAMPLE).splitlines(keepends=True)
    first = json.loads(lines[0])
    value = first["claim"]["value"]
    lines[0] = lines[0].replace(f'"value":"{value}"', f'"value":"{int(value) + 1}"', 1)
    (work / "r.jsonl").write_text("".join(lines), encoding="utf-8")
    bad = run("verify", "r.jsonl", EXAMPLE.name, cwd=work)
    assert (bad.returncode, bad.stderr) == (1, b"")
    assert bad.stdout.decode().splitlines() == [
        "27 receipts: 26 verified, 1 failed",
        f"FAILED {first['receipt_id']}",
        "  receipt_id: receipt body does not hash to receipt_id",
        f"  value_match: claimed {int(value) + 1}, source has {value}",
    ]
    bad_json = run("verify", "r.jsonl", EXAMPLE.name, "--json", cwd=work)
    summary = quorrel.verify_bytes("".join(lines), EXAMPLE.read_bytes())
    assert (bad_json.returncode, bad_json.stdout.decode()) == (1, summary + "\n")

    other = run("verify", "r.jsonl", INLINE.name, cwd=work)
    assert other.returncode == 1
    assert other.stdout.decode().splitlines()[:2] == [
        f"these receipts were made from other bytes than {INLINE.name}", "27 receipts: 0 verified, 27 failed"]
    # With --keep-going every unreadable line is listed and the others are verified.
    lines[2], lines[5] = "{}\r\n", '{"schema":1}\n'
    (work / "r.jsonl").write_text("".join(lines), encoding="utf-8")
    kept = run("verify", "r.jsonl", EXAMPLE.name, "--keep-going", cwd=work)
    assert (kept.returncode, kept.stdout.decode().splitlines()[0]) == (1, "25 receipts: 24 verified, 1 failed")
    assert kept.stderr.decode().splitlines() == [
        "quorrel: r.jsonl: line 3, column 2: missing field `schema`",
        "quorrel: r.jsonl: line 6, column 11: invalid type: integer `1`, expected a string",
    ]


@pytest.mark.parametrize(
    "receipts, source, stdin, status, message",
    [
        # Receipts and source in every form.
        ("r.jsonl", EXAMPLE.name, None, 0, ""), ("r.jsonl.gz", "src.xhtml.gz", None, 0, ""),
        ("-", "src.xhtml.gz", "r.jsonl", 0, ""), ("r.jsonl", "-", EXAMPLE.name, 0, ""),
        ("r.jsonl", f"pkg.xbri/top/reports/{EXAMPLE.name}", None, 0, ""),
        # Errors that stop the run.
        ("r.jsonl", "broken.xml", None, 2, f"broken.xml: source parse failed: {BROKEN}"),
        ("latin1.jsonl", EXAMPLE.name, None, 2, "latin1.jsonl: not UTF-8 text: invalid start byte at byte 0"),
        ("missing.jsonl", EXAMPLE.name, None, 2, "missing.jsonl: No such file or directory"),
        ("-", "-", None, 2, "RECEIPTS and SOURCE cannot both be standard input"),
        ("r.jsonl", "pkg.zip", None, 2,
         "pkg.zip: a report package holds several documents: name one as pkg.zip/path/inside"),
        ("r.jsonl", "pkg.zip/reports/none.xhtml", None, 2, "pkg.zip/reports/none.xhtml: no such entry in the package"),
        # Line 1,000 of the file, the blank line 500 counted; the module itself always says line 1.
        ("thousand.jsonl", EXAMPLE.name, None, 2, "thousand.jsonl: line 1000, column 40: EOF while parsing a string"),
    ],
)
def test_verify_reads_every_form_of_input_and_stops_with_status_two_on_errors(work, receipts, source, stdin, status,
                                                                              message):
    lines = receipts_of(EXAMPLE).splitlines(keepends=True)
    (work / "r.jsonl").write_text("".join(lines), encoding="utf-8")
    (work / "r.jsonl.gz").write_bytes(gzip.compress((work / "r.jsonl").read_bytes()))
    (work / "src.xhtml.gz").write_bytes(gzip.compress(EXAMPLE.read_bytes()))
    package(work / "pkg.xbri", {f"top/reports/{EXAMPLE.name}": EXAMPLE.read_bytes()})
    (work / "latin1.jsonl").write_bytes(b"\xff\n")
    package(work / "pkg.zip", {})
    thousand = (lines * 37)[:998]
    thousand.insert(499, "\n")
    (work / "thousand.jsonl").write_text("".join(thousand) + lines[0][:40] + "\n" + "x\n", encoding="utf-8")
    result = run("verify", receipts, source, cwd=work, stdin=(work / stdin).read_bytes() if stdin else None)
    stdout = b"27 receipts: 27 verified, 0 failed\n" if status == 0 else b""
    assert (result.returncode, result.stdout, result.stderr.decode()) == (
        status, stdout, message and f"quorrel: {message}\n")


@pytest.mark.parametrize("command", ["receipts " + " ".join([EXAMPLE.name] * 50), f"verify r.jsonl {INLINE.name}"])
def test_a_reader_that_stops_early_is_not_success(work, command):
    # Enough output to fill the pipe after `head` has gone.
    (work / "r.jsonl").write_text(receipts_of(EXAMPLE) * 40, encoding="utf-8")
    line = " ".join(map(str, CLI))
    result = subprocess.run(["bash", "-c", f"set -o pipefail; {line} {command} | head -1"], cwd=work,
                            env=dict(os.environ, PYTHONPATH=PATH), capture_output=True, timeout=120)
    assert (result.returncode, result.stderr, result.stdout.count(b"\n")) == (1, b"", 1)


def test_receipts_say_what_each_document_left_without_a_receipt(tmp_path):
    cut = tmp_path / "cut.xhtml"
    source = EXAMPLE.read_bytes()
    cut.write_bytes(source[:source.index(b"</ix:nonFraction>", len(source) // 2)])
    plain = run("receipts", EXAMPLE, OUTCOMES, cut)
    assert plain.returncode == 0
    lines = plain.stderr.decode().splitlines()
    assert lines[0] == (f"{OUTCOMES}: 4 receipts; 3 numeric facts skipped (missing context: 1, missing unit: 1, "
                        "invalid decimal value: 1); 1 fact elements inside footnotes not read; 1 facts still open at "
                        "the end dropped; document ends with 4 elements still open")
    assert lines[1].startswith(f"{cut}: ") and "facts still open at the end dropped; document ends with" in lines[1]
    assert len(lines) == 2  # the example leaves nothing out, so it gets no line
    strict = run("receipts", "--strict", EXAMPLE, OUTCOMES, "-o", tmp_path / "out.jsonl")
    assert strict.returncode == 1
    assert (tmp_path / "out.jsonl").read_text() == receipts_of(EXAMPLE) + receipts_of(OUTCOMES)
    (tmp_path / "page.html").write_text("<html><body><p>no facts</p></body></html>")
    refused = run("receipts", tmp_path / "page.html")
    assert (refused.returncode, refused.stderr.decode()) == (1, f"quorrel: {tmp_path / 'page.html'}: not an XBRL or "
                                                                "Inline XBRL document\n")


def test_facts_in_every_format_hold_the_same_rows(tmp_path):
    rows = [json.loads(line) for line in run("facts", OUTCOMES, EXAMPLE).stdout.decode().splitlines()]
    assert [r["file"] for r in rows] == [str(OUTCOMES)] * 9 + [str(EXAMPLE)] * 29
    table = list(csv.DictReader(io.StringIO(run("facts", "--format", "csv", OUTCOMES, EXAMPLE).stdout.decode())))
    assert [r["receipt_id"] or None for r in table] == [r["receipt_id"] for r in rows]
    assert json.loads(table[0]["dimensions"]) == rows[0]["dimensions"]
    assert run("facts", "--format", "parquet", EXAMPLE).returncode == 2
    pq = pytest.importorskip("pyarrow.parquet")
    assert run("facts", "--format", "parquet", OUTCOMES, EXAMPLE, "-o", tmp_path / "f.parquet").returncode == 0
    assert pq.read_table(tmp_path / "f.parquet").to_pylist() == rows


def test_derive_prints_or_appends_the_receipt_and_refuses_with_status_two(work):
    lines = receipts_of(EXAMPLE).splitlines(keepends=True)
    ids = [json.loads(line)["receipt_id"] for line in lines]
    (work / "r.jsonl").write_text("".join(lines), encoding="utf-8")
    (work / "bad.jsonl").write_text(lines[0] + "{}\n", encoding="utf-8")
    # The same id again, its value edited: the later receipt is the one used.
    (work / "dup.jsonl").write_text(lines[0] + lines[1] + lines[1].replace('"48215000"', '"48215001"'), encoding="utf-8")
    expected = quorrel_tools.derive("ratio", lines[3], lines[1], round_dp=4, roles=("a", "b"))
    made = run("derive", "ratio", "--receipts", "r.jsonl", "--first", ids[3], "--second", ids[1], "--round-dp", "4",
               "--roles", "a,b", cwd=work)
    assert (made.returncode, made.stdout.decode(), made.stderr) == (0, expected + "\n", b"")
    (work / "r.jsonl").write_text("".join(lines).rstrip("\n"), encoding="utf-8")
    appended = run("derive", "growth_rate", "--receipts", "r.jsonl", "--first", ids[1], "--second", ids[2], "-a",
                   cwd=work)
    assert (appended.returncode, appended.stdout) == (0, b"")
    assert (work / "r.jsonl").read_text(encoding="utf-8") == "".join(lines) + quorrel_tools.derive(
        "growth_rate", lines[1], lines[2]) + "\n"
    for args, message in (
            (["difference", "--receipts", "r.jsonl", "--round-dp", "2"], "--round-dp does not apply to a difference"),
            (["ratio", "--receipts", "r.jsonl", "--second", "er_none"], "r.jsonl: no receipt has the id er_none"),
            (["ratio", "--receipts", "bad.jsonl"], "bad.jsonl: line 2, column 2: missing field `schema`"),
            (["ratio", "--receipts", "dup.jsonl", "--first", ids[1]],
             "derivation failed: first parent fails integrity: receipt body does not hash to receipt_id")):
        result = run("derive", "--first", ids[0], "--second", ids[0], *args, cwd=work)
        assert (result.returncode, result.stdout, result.stderr.decode()) == (2, b"", f"quorrel: {message}\n")


def test_keygen_sign_and_verify_signed_by_a_key_and_the_refusals_of_each(work):
    made = run("keygen", "-o", "k.pem", cwd=work)
    public = made.stdout.decode().strip()
    key = serialization.load_pem_private_key((work / "k.pem").read_bytes(), None)
    assert (made.returncode, made.stderr, stat.S_IMODE((work / "k.pem").stat().st_mode)) == (0, b"", 0o600)
    assert key.public_key().public_bytes(serialization.Encoding.Raw, serialization.PublicFormat.Raw).hex() == public
    before = (work / "k.pem").read_bytes()
    again = run("keygen", "-o", "k.pem", cwd=work)
    assert (again.returncode, again.stdout, again.stderr, (work / "k.pem").read_bytes()) == (
        2, b"", b"quorrel: k.pem: already exists; keygen never overwrites a file\n", before)
    assert run("pubkey", "k.pem", cwd=work).stdout == made.stdout
    (work / "r.jsonl").write_text(receipts_of(EXAMPLE), encoding="utf-8")
    assert run("sign", "--key", "k.pem", "r.jsonl", "-o", "s.jsonl", cwd=work).returncode == 0
    signed = (work / "s.jsonl").read_text(encoding="utf-8").splitlines(keepends=True)
    verified = run("verify", "s.jsonl", EXAMPLE.name, "--signed-by", public, cwd=work)
    assert (verified.returncode, verified.stdout) == (0, b"27 receipts: 27 verified, 0 failed\n")
    # Edited where no check looks, given its new id and signed with another key: only --signed-by notices.
    theirs = ed25519.Ed25519PrivateKey.generate()
    edited = json.loads(signed[0])
    edited["claim"]["doc_id"] = "another"
    signed[0] = quorrel_tools.sign(rj.line(rj.sealed(edited)), rj.pem(theirs), replace=True) + "\n"
    (work / "s.jsonl").write_text("".join(signed), encoding="utf-8")
    (work / "pub.pem").write_bytes(theirs.public_key().public_bytes(
        serialization.Encoding.PEM, serialization.PublicFormat.SubjectPublicKeyInfo))
    their_hex = quorrel_tools.public_key(rj.pem(theirs))
    assert run("verify", "s.jsonl", EXAMPLE.name, cwd=work).returncode == 0
    caught = run("verify", "s.jsonl", EXAMPLE.name, "--signed-by", public.upper(), cwd=work)
    assert (caught.returncode, caught.stdout.decode().splitlines()) == (1, [
        "27 receipts: 27 verified, 0 failed", f"1 of 27 receipts not attested by {public}",
        f"NOT ATTESTED {edited['receipt_id']} (attested by {their_hex})"])
    by_file = run("verify", "s.jsonl", EXAMPLE.name, "--signed-by", "pub.pem", "--json", cwd=work)
    assert by_file.returncode == 1 and len(json.loads(by_file.stdout)["not_attested"]) == 26
    for given, message in (("k.pem", "not an Ed25519 public key (64 hexadecimal digits or a PEM public key file)"),
                          ("none.pem", "No such file or directory")):
        wrong = run("verify", "s.jsonl", EXAMPLE.name, "--signed-by", given, cwd=work)
        assert (wrong.returncode, wrong.stderr.decode()) == (2, f"quorrel: {given}: {message}\n")
    # Signing refuses with one line and writes nothing.
    lines = receipts_of(EXAMPLE).splitlines(keepends=True)
    (work / "locked.pem").write_bytes(rj.pem(theirs, serialization.BestAvailableEncryption(b"pass")))
    (work / "signed.jsonl").write_text(lines[0] + signed[1], encoding="utf-8")
    (work / "edited.jsonl").write_text("".join(lines[:-1]) + lines[-1].replace('"EUR"', '"USD"', 1), encoding="utf-8")
    for key, receipts, message in (
            ("locked.pem", "r.jsonl", "locked.pem: not an unencrypted Ed25519 private key: it is encrypted"),
            ("none.pem", "r.jsonl", "none.pem: No such file or directory"),
            ("k.pem", "signed.jsonl", "signed.jsonl: line 2: signing failed: the receipt already carries an attestation"),
            ("k.pem", "edited.jsonl", "edited.jsonl: line 27: signing failed: receipt body does not hash to receipt_id")):
        result = run("sign", "--key", key, receipts, "-o", "out.jsonl", cwd=work)
        assert (result.returncode, result.stdout, result.stderr.decode()) == (2, b"", f"quorrel: {message}\n")
        assert not (work / "out.jsonl").exists()
    # A key file others can read is used, with a warning.
    (work / "k.pem").chmod(0o644)
    warned = run("sign", "--key", "k.pem", "r.jsonl", cwd=work)
    assert (warned.returncode, warned.stderr) == (
        0, b"quorrel: warning: k.pem is readable by group or others (chmod 600 k.pem)\n")
    assert [json.loads(line)["attestation"]["public_key"] for line in warned.stdout.splitlines()] == [public] * 27


def generated(folder):
    """A folder of documents that would keep two workers busy for 10 s or more:
    the example grown to 8 MB with prose, under many names."""
    source = EXAMPLE.read_bytes()
    at = source.index(b"</body>")
    prose = b"<p>Lorem ipsum dolor sit amet, consectetur <b>adipiscing</b> elit.</p>\n"
    big = source[:at] + prose * (8_000_000 // len(prose)) + source[at:]
    cost = min(timeit.repeat(lambda: quorrel.receipts_for_bytes(big, "a", "b"), number=1, repeat=3))
    folder.mkdir()
    (folder / "f00000.xhtml").write_bytes(big)
    for i in range(1, max(100, math.ceil(2 * 10 / cost))):
        os.link(folder / "f00000.xhtml", folder / f"f{i:05}.xhtml")


@pytest.mark.parametrize("signum", [signal.SIGINT, signal.SIGTERM])
def test_a_stop_ends_every_worker_leaves_no_temporary_file_and_exits_with_the_signal(tmp_path, signum):
    generated(tmp_path / "in")
    first = tmp_path / "in" / "f00000.xhtml"
    expected = len(quorrel.receipts_for_bytes(first.read_bytes(), first.name, first.name).encode())
    rng = random.Random(signum)
    for attempt in range(20):
        out, scratch = tmp_path / f"out{attempt}", tmp_path / f"tmp{attempt}"
        for folder in (out, scratch):
            folder.mkdir()
        # Every other try writes one file (parts in TMPDIR), the others a folder of outputs.
        target = out / "all.jsonl" if attempt % 2 else out / "each"
        process = subprocess.Popen([*CLI, "receipts", tmp_path / "in", "-o", f"{target}/" * (attempt % 2 == 0)
                                    or target, "--jobs", "2"],
                                   env=dict(os.environ, PYTHONPATH=PATH, TMPDIR=str(scratch)),
                                   stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, start_new_session=True)
        try:
            # The run is going once its first temporary file is there.
            deadline = time.monotonic() + 60
            while not any(out.rglob(".*")) and time.monotonic() < deadline:
                time.sleep(0.01)
            time.sleep(rng.uniform(0, 0.5))
            assert process.poll() is None, "the run ended before the signal"
            (os.killpg if signum == signal.SIGINT else os.kill)(process.pid, signum)  # Ctrl-C as a terminal sends it
            _, errors = process.communicate(timeout=10)
        finally:
            if process.poll() is None:
                os.killpg(process.pid, signal.SIGKILL)
                process.wait()
        assert (process.returncode, errors) == (128 + signum, b"")
        with pytest.raises(ProcessLookupError):
            os.killpg(process.pid, 0)  # no worker outlives the run
        assert list(scratch.iterdir()) == []
        # Only whole outputs, under their final names.
        left = [p for p in out.rglob("*") if p != target]
        assert all(p.name.endswith(".xhtml.receipts.jsonl") and p.stat().st_size == expected for p in left), left


def test_a_task_whose_worker_dies_fails_alone_and_the_others_keep_their_order():
    def work(index):
        if index == 5:
            os.kill(os.getpid(), signal.SIGKILL)
        return index * index

    # Small weights put the tasks in shared batches: the lost batch is tried again task by task.
    results = list(pool.ordered(work, [1] * 40, 2, lambda index, reason: (index, reason)))
    assert results == [i * i for i in range(5)] + [(5, "the worker reading it was ended by SIGKILL")] + [
        i * i for i in range(6, 40)]
