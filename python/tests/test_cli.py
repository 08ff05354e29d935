"""The command line, run as a separate process the way a user runs it."""

import json
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

import quorrel

ROOT = Path(__file__).resolve().parents[2]
EXAMPLE = ROOT / "examples" / "nordlicht-2025.xhtml"
EDGE = Path(__file__).resolve().parent / "data" / "edge-cases.xbrl"
INLINE = Path(__file__).resolve().parent / "data" / "inline-edge-cases.xhtml"
BROKEN = "XML parse error at byte None: unexpected closing tag x"


def run(*args, cwd=None, env=None):
    """`python -m quorrel_cli` with the module under test and the command line beside it."""
    paths = [str(Path(quorrel.__file__).resolve().parent), str(ROOT / "python"), os.environ.get("PYTHONPATH", "")]
    environment = dict(os.environ, PYTHONPATH=os.pathsep.join(paths), **(env or {}))
    return subprocess.run([sys.executable, "-m", "quorrel_cli", *map(os.fsdecode, args)], cwd=cwd, env=environment,
                          capture_output=True, timeout=120)


def receipts_of(path, doc_id=None, uri=None, authority=None):
    return quorrel.receipts_for_bytes(path.read_bytes(), doc_id or path.name, uri or path.name, authority)


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
    bad_jobs = run("receipts", "--jobs", "0", "x")
    assert bad_jobs.returncode == 2 and bad_jobs.stderr.decode().endswith("argument --jobs: must be at least 1: 0\n")


def test_receipts_use_the_file_name_or_the_templates_and_are_utf8_on_any_terminal(work):
    # Absolute paths never leak into the receipts: the base name stands for the file.
    result = run("receipts", work / EXAMPLE.name)
    assert (result.returncode, result.stderr, result.stdout.decode()) == (0, b"", receipts_of(EXAMPLE))
    templated = run("receipts", work / EDGE.name, work / EXAMPLE.name, "--doc-id", "acme/{name}\u00e9",
                    "--uri", "https://x/{name}?c={name}", "--authority", "", env={"PYTHONIOENCODING": "ascii"})
    assert (templated.returncode, templated.stderr) == (0, b"")
    assert templated.stdout.decode("utf-8") == "".join(
        receipts_of(p, f"acme/{p.name}\u00e9", f"https://x/{p.name}?c={p.name}", "") for p in (EDGE, EXAMPLE))


@pytest.mark.parametrize("jobs", ["1", "2"])
def test_bad_inputs_give_one_error_line_each_and_the_others_keep_their_order(work, jobs):
    (work / "folder.xml").mkdir()
    result = run("receipts", "missing.xml", EDGE.name, "broken.xml", "folder.xml", EXAMPLE.name, INLINE.name,
                 "--jobs", jobs, cwd=work)
    assert result.returncode == 1
    assert result.stderr.decode().splitlines() == [
        "quorrel: missing.xml: No such file or directory",
        f"quorrel: broken.xml: {BROKEN}",
        "quorrel: folder.xml: Is a directory",
    ]
    assert result.stdout.decode("utf-8") == receipts_of(EDGE) + receipts_of(EXAMPLE) + receipts_of(INLINE)


def test_an_output_folder_gets_one_file_per_input_and_a_failed_write_fails_the_run(work):
    blocked = work / "out" / (INLINE.name + ".receipts.jsonl")
    blocked.mkdir(parents=True)
    result = run("receipts", EXAMPLE.name, INLINE.name, EDGE.name, "-o", "out", "--jobs", "2", cwd=work)
    assert (result.returncode, result.stdout) == (1, b"")
    assert result.stderr.decode() == f"quorrel: out/{blocked.name}: Is a directory\n"
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
        (["receipts", EDGE.name, "other/" + EDGE.name, "-o", "out/"],
         f"several inputs are named {EDGE.name}; their outputs would overwrite each other in out/"),
        (["receipts", EDGE.name, "-o", "no/such/out.jsonl"], "no/such/out.jsonl: No such file or directory"),
        (["receipts", EDGE.name, "-o", EXAMPLE.name + "/out/"], f"{EXAMPLE.name}/out/: Not a directory"),
    ],
)
def test_outputs_that_cannot_be_written_stop_before_writing(work, args, message):
    (work / "other").mkdir()
    shutil.copy(EDGE, work / "other" / EDGE.name)
    result = run(*args, cwd=work)
    assert (result.returncode, result.stdout, result.stderr.decode()) == (2, b"", f"quorrel: {message}\n")
    # A refused run leaves nothing behind, not even an empty output folder.
    assert (work / EXAMPLE.name).read_bytes() == EXAMPLE.read_bytes() and not (work / "out").exists()


def test_verify_exit_status_and_report(work):
    (work / "r.jsonl").write_text(receipts_of(EXAMPLE), encoding="utf-8")
    ok = run("verify", "r.jsonl", EXAMPLE.name, cwd=work)
    assert (ok.returncode, ok.stdout, ok.stderr) == (0, b"27 receipts: 27 verified, 0 failed\n", b"")
    ok_json = run("verify", "r.jsonl", EXAMPLE.name, "--json", cwd=work)
    assert (ok_json.returncode, ok_json.stdout) == (0, b'{"fail":0,"failures":[],"pass":27}\n')

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


@pytest.mark.parametrize(
    "receipts, source, message",
    [
        ("r.jsonl", "broken.xml", f"broken.xml: source parse failed: {BROKEN}"),
        ("malformed.jsonl", EXAMPLE.name, "malformed.jsonl: missing field `schema` at line 1 column 2"),
        ("latin1.jsonl", EXAMPLE.name, "latin1.jsonl: not UTF-8 text: invalid start byte at byte 0"),
        ("missing.jsonl", EXAMPLE.name, "missing.jsonl: No such file or directory"),
    ],
)
def test_verify_errors_exit_with_status_two(work, receipts, source, message):
    (work / "r.jsonl").write_text(receipts_of(EXAMPLE), encoding="utf-8")
    (work / "malformed.jsonl").write_text("{}\n", encoding="utf-8")
    (work / "latin1.jsonl").write_bytes(b"\xff\n")
    result = run("verify", receipts, source, cwd=work)
    assert (result.returncode, result.stdout, result.stderr.decode()) == (2, b"", f"quorrel: {message}\n")
