"""The README's recipe for recomputing a receipt id, taken from the README
itself, agrees with the receipt_id check of verify_bytes on receipts as
written and rewritten the ways other JSON tools give them back; and its
commands for derived and signed receipts run as written."""

import copy
import io
import json
import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

import quorrel
import receipt_json as rj

ROOT = Path(__file__).resolve().parents[2]
EXAMPLE = (ROOT / "examples" / "nordlicht-2025.xhtml").read_bytes()
SOURCES = [ROOT / "examples" / "nordlicht-2025.xhtml", ROOT / "python" / "tests" / "data" / "edge-cases.xbrl",
           ROOT / "python" / "tests" / "data" / "inline-edge-cases.xhtml"]
CORPUS_FILES = ["esef/gleif-annual-report-2017.html", "xbrl21/nflx-20091231.xml",
                "nl/kvk/dekleinebv-jaarrekening-nl-2023-12-31.html"]
NOTE = {"note": ["an unknown member", {"deep": None}]}


@pytest.fixture(scope="module")
def recipe_id():
    """The README's code block run as printed, its loop reading the example's receipts."""
    section = (ROOT / "README.md").read_text(encoding="utf-8").split("### Recomputing a receipt id", 1)[1]
    code = re.search(r"```python\n(.*?)```", section, re.DOTALL).group(1)
    receipts = quorrel.receipts_for_bytes(EXAMPLE, "nordlicht-2025", "urn:example")
    scope = {"open": lambda *args, **kwargs: io.StringIO(receipts)}
    exec(code, scope)
    return scope["receipt_id"]


def objects(value):
    """Every JSON object within a value, itself included: the places an unknown member can go."""
    if isinstance(value, dict):
        yield value
    for inner in value.values() if isinstance(value, dict) else value if isinstance(value, list) else []:
        yield from objects(inner)


def with_nulls(r):
    r.setdefault("derivation", None)
    r.setdefault("attestation", None)
    r["claim"].setdefault("unit", None)
    for e in r["evidence"]:
        for key in ("retrieved_at", "authority"):
            e["source_artifact"].setdefault(key, None)
        for key in ("unit_ref", "byte_range"):
            e["locator"].setdefault(key, None)
    if r["derivation"] and r["derivation"]["operation"]["op"] != "difference":
        r["derivation"]["operation"].setdefault("round_dp", None)


def with_extras(r):
    for obj in list(objects(r)):
        obj.update(NOTE)
    if r.get("derivation") and r["derivation"]["operation"]["op"] == "difference":
        r["derivation"]["operation"]["round_dp"] = 3  # ignored for a difference


def edit_value(r):
    r["claim"]["value"] += "1"


def add_known_member(r):
    if r["evidence"]:
        r["evidence"][0]["source_artifact"]["authority"] = "Another registrar"
    else:
        r["claim"]["unit"] = "pure"


# (name, change, whether the id can still match); re-sorting is done when writing.
REWRITES = [("as written", None, True), ("keys re-sorted", None, True), ("explicit nulls", with_nulls, True),
            ("unknown members", with_extras, True), ("value edited", edit_value, False),
            ("known member added", add_known_member, False)]


def id_check_passes(line, source):
    summary = json.loads(quorrel.verify_bytes(line, source))
    if summary["pass"]:
        return True
    [report] = summary["failures"]
    return next(c["pass"] for c in report["checks"] if c["name"] == "receipt_id")


def disagreements(recipe_id, lines, source):
    """Every rewrite of every receipt line where the recipe and verify_bytes differ."""
    found, outcomes = [], set()
    for line in lines:
        for name, change, can_match in REWRITES:
            receipt = json.loads(line)
            if change:
                change(receipt)
            text = line if name == "as written" else json.dumps(receipt, ensure_ascii=False,
                                                                 sort_keys=name == "keys re-sorted")
            mine = recipe_id(json.loads(text)) == receipt["receipt_id"]
            outcomes.add((name, mine))
            if mine != id_check_passes(text, source) or (mine and not can_match):
                found.append((name, line[:120]))
    # Each rewrite met the outcome it is for, so agreement is never trivial.
    assert {(name, can_match) for name, _, can_match in REWRITES} <= outcomes
    return found


@pytest.mark.parametrize("path", SOURCES, ids=lambda p: p.name)
def test_recipe_agrees_on_stated_receipts(recipe_id, path):
    source = path.read_bytes()
    lines = quorrel.receipts_for_bytes(source, path.name, "urn:" + path.name).splitlines()
    lines += quorrel.receipts_for_bytes(source, path.name, "urn:" + path.name, "Registrar").splitlines()[:3]
    assert disagreements(recipe_id, lines, source) == []


def test_recipe_agrees_on_derived_and_signed_receipts(recipe_id):
    stated = rj.lines(quorrel.receipts_for_bytes(EXAMPLE, "nordlicht-2025", "urn:example"))
    a, b = stated[0], stated[1]
    derived = [rj.derived("0.5", "ratio", [(a, None, "numerator"), (b, None, "denominator")], round_dp=4),
               rj.derived("0.5", "ratio", [(a, None, "numerator"), (b, None, "denominator")]),
               rj.derived("0.1", "growth_rate", [(a, None, "current"), (b, None, "prior")], round_dp=2),
               rj.derived("1", "difference", [(a, None, "minuend"), (b, None, "subtrahend")])]
    signer = rj.Signer(b"\x11" * 32)
    signed = [signer.attest(copy.deepcopy(r)) for r in (a, derived[0], derived[3])]
    assert disagreements(recipe_id, [rj.line(r) for r in derived + signed], EXAMPLE) == []


def test_recipe_agrees_on_corpus_filings(recipe_id, corpus_dir):
    for name in CORPUS_FILES:
        path = corpus_dir / name
        if not path.is_file():
            continue
        source = path.read_bytes()
        lines = quorrel.receipts_for_bytes(source, name, "corpus/" + name).splitlines()[:60]
        assert lines, name
        assert disagreements(recipe_id, lines, source) == [], name


def test_the_derived_and_signed_receipt_commands_run_as_written(tmp_path):
    section = (ROOT / "README.md").read_text(encoding="utf-8").split("## Derived and signed receipts", 1)[1]
    commands = re.search(r"```sh\n(.*?)```", section, re.DOTALL).group(1)
    (tmp_path / "examples").mkdir()
    (tmp_path / "examples" / "nordlicht-2025.xhtml").write_bytes(EXAMPLE)
    path = os.pathsep.join([str(Path(quorrel.__file__).resolve().parent), str(ROOT / "python")])
    script = f'set -euo pipefail\nquorrel() {{ "{sys.executable}" -m quorrel_cli "$@"; }}\n{commands}'
    result = subprocess.run(["bash", "-c", script], cwd=tmp_path, env=dict(os.environ, PYTHONPATH=path),
                            capture_output=True, timeout=120)
    assert (result.returncode, result.stderr) == (0, b"")
    assert result.stdout.decode().splitlines()[1:] == ["28 receipts: 28 verified, 0 failed"]
    derived = rj.lines((tmp_path / "signed.jsonl").read_text(encoding="utf-8"))[-1]
    assert (derived["claim"]["value"], derived["claim"]["doc_id"]) == ("0.0763", "nordlicht-2025.xhtml")
