"""The command line, run as a separate process the way a user runs it."""

from __future__ import annotations

import json
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

import quorrel

ROOT = Path(__file__).resolve().parents[2]
DATA = Path(__file__).resolve().parent / "data"
EXAMPLE = ROOT / "examples" / "nordlicht-2025.xhtml"
EDGE_CASES = DATA / "edge-cases.xbrl"
INLINE_EDGE_CASES = DATA / "inline-edge-cases.xhtml"
BROKEN = b"</x>"
BROKEN_MESSAGE = "XML parse error at byte None: unexpected closing tag x"


def run(*args: str | os.PathLike, cwd: Path | None = None, env: dict | None = None) -> subprocess.CompletedProcess:
    """Runs `python -m quorrel_cli` with the module under test and the command line beside it."""
    paths = [str(Path(quorrel.__file__).resolve().parent), str(ROOT / "python")]
    if os.environ.get("PYTHONPATH"):
        paths.append(os.environ["PYTHONPATH"])
    environment = dict(os.environ, PYTHONPATH=os.pathsep.join(paths), **(env or {}))
    return subprocess.run(
        [sys.executable, "-m", "quorrel_cli", *map(os.fsdecode, args)],
        cwd=cwd,
        env=environment,
        capture_output=True,
        timeout=120,
    )


def receipts_of(path: Path, doc_id: str | None = None, uri: str | None = None, authority: str | None = None) -> str:
    name = path.name
    return quorrel.receipts_for_bytes(path.read_bytes(), doc_id or name, uri or name, authority)


@pytest.fixture
def work(tmp_path: Path) -> Path:
    """A folder holding the example, the two edge-case documents and a broken one."""
    for source in (EXAMPLE, EDGE_CASES, INLINE_EDGE_CASES):
        shutil.copy(source, tmp_path / source.name)
    (tmp_path / "broken.xml").write_bytes(BROKEN)
    return tmp_path


def test_version():
    result = run("--version")
    assert (result.returncode, result.stdout, result.stderr) == (0, b"quorrel 0.1.0\n", b"")


def test_usage_errors_exit_with_status_two():
    assert run().returncode == 2
    result = run("receipts", "--jobs", "0", "x")
    assert result.returncode == 2
    assert result.stderr.decode().rstrip().endswith("argument --jobs: must be at least 1: 0")


# --- receipts ---------------------------------------------------------------------------


def test_receipts_of_one_file_match_the_module_with_the_file_name_as_id_and_uri(work):
    result = run("receipts", work / EXAMPLE.name)
    assert (result.returncode, result.stderr) == (0, b"")
    # Absolute paths never leak into the receipts: the base name stands for the file.
    assert result.stdout.decode("utf-8") == receipts_of(EXAMPLE)
    assert str(work).encode() not in result.stdout


def test_doc_id_and_uri_templates_and_authority(work):
    result = run(
        "receipts",
        work / EDGE_CASES.name,
        work / EXAMPLE.name,
        "--doc-id",
        "acme/{name}",
        "--uri",
        "https://example.com/{name}?copy={name}",
        "--authority",
        "Registre \u00e9",
    )
    assert (result.returncode, result.stderr) == (0, b"")
    expected = "".join(
        receipts_of(p, f"acme/{p.name}", f"https://example.com/{p.name}?copy={p.name}", "Registre \u00e9")
        for p in (EDGE_CASES, EXAMPLE)
    )
    assert result.stdout.decode("utf-8") == expected

    # Without the placeholder the text is taken as it is; an empty authority is still an authority.
    fixed = run("receipts", work / EDGE_CASES.name, "--doc-id", "d", "--uri", "u", "--authority", "")
    assert fixed.stdout.decode("utf-8") == quorrel.receipts_for_bytes(EDGE_CASES.read_bytes(), "d", "u", "")
    assert fixed.stdout.count(b'"authority":""') == 6


def test_output_is_utf8_whatever_the_terminal_encoding(work):
    result = run("receipts", work / EDGE_CASES.name, "--doc-id", "\u00e9\u4e2d", env={"PYTHONIOENCODING": "ascii"})
    assert (result.returncode, result.stderr) == (0, b"")
    assert result.stdout.decode("utf-8") == receipts_of(EDGE_CASES, "\u00e9\u4e2d")


def test_output_file_holds_every_input_in_order(work):
    target = work / "all.jsonl"
    result = run("receipts", work / EXAMPLE.name, work / EDGE_CASES.name, "-o", target)
    assert (result.returncode, result.stdout, result.stderr) == (0, b"", b"")
    assert target.read_bytes().decode("utf-8") == receipts_of(EXAMPLE) + receipts_of(EDGE_CASES)


@pytest.mark.parametrize("trailing", ["", os.sep])
def test_output_folder_gets_one_file_per_input(work, trailing):
    out = work / "out"
    if not trailing:
        out.mkdir()  # an existing folder is recognised without a trailing separator
    inputs = (EXAMPLE, EDGE_CASES, INLINE_EDGE_CASES)
    result = run("receipts", *(work / p.name for p in inputs), "-o", str(out) + trailing, "--jobs", "2")
    assert (result.returncode, result.stdout, result.stderr) == (0, b"", b"")
    assert sorted(p.name for p in out.iterdir()) == sorted(p.name + ".receipts.jsonl" for p in inputs)
    for source in inputs:
        assert (out / (source.name + ".receipts.jsonl")).read_bytes().decode("utf-8") == receipts_of(source)


def test_parallel_output_keeps_input_order(work):
    inputs = [EXAMPLE, EDGE_CASES, INLINE_EDGE_CASES, EXAMPLE, EDGE_CASES]
    result = run("receipts", *(work / p.name for p in inputs), "--jobs", "2")
    assert (result.returncode, result.stderr) == (0, b"")
    assert result.stdout.decode("utf-8") == "".join(receipts_of(p) for p in inputs)


@pytest.mark.parametrize("jobs", ["1", "2"])
def test_bad_inputs_give_one_error_line_each_and_the_others_are_processed(work, jobs):
    (work / "folder.xml").mkdir()
    result = run(
        "receipts", "missing.xml", EDGE_CASES.name, "broken.xml", "folder.xml", EXAMPLE.name, "--jobs", jobs, cwd=work
    )
    assert result.returncode == 1
    assert result.stderr.decode().splitlines() == [
        "quorrel: missing.xml: No such file or directory",
        f"quorrel: broken.xml: {BROKEN_MESSAGE}",
        "quorrel: folder.xml: Is a directory",
    ]
    assert result.stdout.decode("utf-8") == receipts_of(EDGE_CASES) + receipts_of(EXAMPLE)


def test_bad_inputs_leave_no_file_in_the_output_folder(work):
    result = run("receipts", "broken.xml", EDGE_CASES.name, "-o", "out/", cwd=work)
    assert result.returncode == 1
    assert result.stderr.decode().splitlines() == [f"quorrel: broken.xml: {BROKEN_MESSAGE}"]
    assert [p.name for p in (work / "out").iterdir()] == [EDGE_CASES.name + ".receipts.jsonl"]


def test_a_file_name_that_is_not_utf8_needs_explicit_texts(work):
    odd = os.fsencode(work) + b"/n\xff.xbrl"
    shutil.copy(EDGE_CASES, odd)
    result = run("receipts", odd)
    assert result.returncode == 1 and result.stdout == b""
    assert result.stderr.endswith(b"n\\udcff.xbrl: the document id and URI must be valid UTF-8 (give --doc-id and --uri)\n")
    explicit = run("receipts", odd, "--doc-id", "d", "--uri", "u")
    assert (explicit.returncode, explicit.stderr) == (0, b"")
    assert explicit.stdout.decode("utf-8") == receipts_of(EDGE_CASES, "d", "u")


def test_the_output_never_overwrites_an_input(work):
    original = EXAMPLE.read_bytes()
    result = run("receipts", EXAMPLE.name, "-o", EXAMPLE.name, cwd=work)
    assert (result.returncode, result.stdout) == (2, b"")
    assert result.stderr.decode() == f"quorrel: {EXAMPLE.name}: the output would overwrite an input\n"
    assert (work / EXAMPLE.name).read_bytes() == original

    # Nor through an output folder: the output of in/x would be the input in/x.receipts.jsonl.
    (work / "in").mkdir()
    shutil.copy(EDGE_CASES, work / "in" / "x")
    shutil.copy(EDGE_CASES, work / "in" / "x.receipts.jsonl")
    result = run("receipts", "in/x", "in/x.receipts.jsonl", "-o", "in/", cwd=work)
    assert result.returncode == 2
    assert result.stderr.decode() == f"quorrel: {os.path.join('in/', 'x.receipts.jsonl')}: the output would overwrite an input\n"
    assert (work / "in" / "x.receipts.jsonl").read_bytes() == EDGE_CASES.read_bytes()


def test_output_that_cannot_be_written(work):
    result = run("receipts", EDGE_CASES.name, "-o", "no/such/folder/out.jsonl", cwd=work)
    assert (result.returncode, result.stdout) == (2, b"")
    assert result.stderr.decode() == "quorrel: no/such/folder/out.jsonl: No such file or directory\n"

    # A folder where one output file should go: that input fails, the others are written.
    (work / "out" / (EXAMPLE.name + ".receipts.jsonl")).mkdir(parents=True)
    result = run("receipts", EXAMPLE.name, EDGE_CASES.name, "-o", "out", cwd=work)
    assert result.returncode == 1
    target = os.path.join("out", EXAMPLE.name + ".receipts.jsonl")
    assert result.stderr.decode() == f"quorrel: {target}: Is a directory\n"
    assert (work / "out" / (EDGE_CASES.name + ".receipts.jsonl")).read_text(encoding="utf-8") == receipts_of(EDGE_CASES)


def test_inputs_of_the_same_name_cannot_share_an_output_folder(work):
    (work / "other").mkdir()
    shutil.copy(EDGE_CASES, work / "other" / EDGE_CASES.name)
    result = run("receipts", EDGE_CASES.name, f"other/{EDGE_CASES.name}", "-o", "out/", cwd=work)
    assert result.returncode == 2
    assert result.stderr.decode() == (
        f"quorrel: several inputs are named {EDGE_CASES.name}; their outputs would overwrite each other in out/\n"
    )


# --- verify ------------------------------------------------------------------------------


@pytest.fixture
def receipts_file(work) -> Path:
    path = work / "example.jsonl"
    path.write_bytes(run("receipts", work / EXAMPLE.name).stdout)
    return path


def test_verify_passes_with_status_zero(work, receipts_file):
    result = run("verify", receipts_file, work / EXAMPLE.name)
    assert (result.returncode, result.stderr) == (0, b"")
    assert result.stdout == b"27 receipts: 27 verified, 0 failed\n"

    raw = run("verify", receipts_file, work / EXAMPLE.name, "--json")
    assert (raw.returncode, raw.stderr) == (0, b"")
    assert raw.stdout == b'{"fail":0,"failures":[],"pass":27}\n'


def test_verify_reports_a_tampered_claim_with_status_one(work, receipts_file):
    lines = receipts_file.read_text(encoding="utf-8").splitlines(keepends=True)
    first = json.loads(lines[0])
    value = first["claim"]["value"]
    lines[0] = lines[0].replace(f'"value":"{value}"', f'"value":"{int(value) + 1}"', 1)
    receipts_file.write_text("".join(lines), encoding="utf-8")

    result = run("verify", receipts_file, work / EXAMPLE.name)
    assert (result.returncode, result.stderr) == (1, b"")
    assert result.stdout.decode().splitlines() == [
        "27 receipts: 26 verified, 1 failed",
        f"FAILED {first['receipt_id']}",
        "  receipt_id: receipt body does not hash to receipt_id",
        f"  value_match: claimed {int(value) + 1}, source has {value}",
    ]
    raw = run("verify", receipts_file, work / EXAMPLE.name, "--json")
    assert raw.returncode == 1
    expected = quorrel.verify_bytes(receipts_file.read_text(encoding="utf-8"), EXAMPLE.read_bytes())
    assert raw.stdout.decode("utf-8") == expected + "\n"


def test_verify_errors_exit_with_status_two(work, receipts_file):
    (work / "malformed.jsonl").write_text("{}\n", encoding="utf-8")
    (work / "latin1.jsonl").write_bytes(b"\xff\n")
    cases = [
        (("example.jsonl", "broken.xml"), f"broken.xml: source parse failed: {BROKEN_MESSAGE}"),
        (("malformed.jsonl", EXAMPLE.name), "malformed.jsonl: missing field `schema` at line 1 column 2"),
        (("latin1.jsonl", EXAMPLE.name), "latin1.jsonl: not UTF-8 text: invalid start byte at byte 0"),
        (("missing.jsonl", EXAMPLE.name), "missing.jsonl: No such file or directory"),
        (("example.jsonl", "missing.xml"), "missing.xml: No such file or directory"),
    ]
    for args, message in cases:
        result = run("verify", *args, cwd=work)
        assert (result.returncode, result.stdout) == (2, b""), args
        assert result.stderr.decode() == f"quorrel: {message}\n"
