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

import pytest

import quorrel
import receipt_json as rj
from conftest import EDGE, EXAMPLE, INLINE, ROOT

README = (ROOT / "README.md").read_text(encoding="utf-8")


@pytest.fixture(scope="module")
def recipe_id():
    """The README's code block run as printed, its loop reading the example's receipts."""
    code = re.search(r"```python\n(.*?)```", README.split("### Recomputing a receipt id", 1)[1], re.DOTALL).group(1)
    receipts = quorrel.receipts_for_bytes(EXAMPLE.read_bytes(), "nordlicht-2025", "urn:example")
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
    for obj, keys in [(r, ("derivation", "attestation")), (r["claim"], ("unit",))] + [
            (e[part], keys) for e in r["evidence"] for part, keys in (
                ("source_artifact", ("retrieved_at", "authority")), ("locator", ("unit_ref", "byte_range")))]:
        for key in keys:
            obj.setdefault(key, None)
    if r["derivation"] and r["derivation"]["operation"]["op"] != "difference":
        r["derivation"]["operation"].setdefault("round_dp", None)


def with_extras(r):
    for obj in list(objects(r)):
        obj["note"] = ["an unknown member", {"deep": None}]
    if r.get("derivation") and r["derivation"]["operation"]["op"] == "difference":
        r["derivation"]["operation"]["round_dp"] = 3  # ignored for a difference


def add_known_member(r):
    known = r["evidence"][0]["source_artifact"] if r["evidence"] else r["claim"]
    known.update(authority="Another registrar", unit="pure")  # one of them unknown, and dropped, in each


# (name, change, whether the id can still match); re-sorting is done when writing.
REWRITES = [("as written", None, True), ("keys re-sorted", None, True), ("ASCII escapes", None, True),
            ("explicit nulls", with_nulls, True), ("unknown members", with_extras, True),
            ("known member added", add_known_member, False),
            ("value edited", lambda r: r["claim"].update(value=r["claim"]["value"] + "1"), False)]


def disagreements(recipe_id, lines, source):
    """Every rewrite of every receipt line where the recipe and verify_bytes differ."""
    found, outcomes = [], set()
    for line in lines:
        for name, change, can_match in REWRITES:
            receipt = json.loads(line)
            if change:
                change(receipt)
            text = line if name == "as written" else json.dumps(receipt, ensure_ascii=name == "ASCII escapes",
                                                                 sort_keys=name == "keys re-sorted")
            mine = recipe_id(json.loads(text)) == receipt["receipt_id"]
            outcomes.add((name, mine))
            summary = json.loads(quorrel.verify_bytes(text, source))
            theirs = summary["pass"] == 1 or next(
                c["pass"] for c in summary["failures"][0]["checks"] if c["name"] == "receipt_id")
            if mine != theirs or (mine and not can_match):
                found.append((name, line[:120]))
    # Each rewrite met the outcome it is for, so agreement is never trivial.
    assert {(name, can_match) for name, _, can_match in REWRITES} <= outcomes
    return found


@pytest.mark.parametrize("path", [EXAMPLE, EDGE, INLINE], ids=lambda p: p.name)
def test_recipe_agrees_on_stated_receipts(recipe_id, path):
    source = path.read_bytes()
    lines = quorrel.receipts_for_bytes(source, path.name, "urn:" + path.name).splitlines()
    lines += quorrel.receipts_for_bytes(source, path.name, "urn:" + path.name, "Registrar").splitlines()[:3]
    assert disagreements(recipe_id, lines, source) == []


def test_recipe_agrees_on_derived_and_signed_receipts(recipe_id):
    stated = rj.lines(quorrel.receipts_for_bytes(EXAMPLE.read_bytes(), "nordlicht-2025", "urn:example"))
    parents = [(stated[0], None, "a"), (stated[1], None, "b")]
    derived = [rj.derived("0.5", "ratio", parents, round_dp=4), rj.derived("0.5", "ratio", parents),
               rj.derived("0.1", "growth_rate", parents, round_dp=2), rj.derived("1", "difference", parents)]
    signer = rj.Signer(b"\x11" * 32)
    signed = [signer.attest(copy.deepcopy(r)) for r in (stated[0], derived[0], derived[3])]
    assert disagreements(recipe_id, [rj.line(r) for r in derived + signed], EXAMPLE.read_bytes()) == []


def test_the_derived_and_signed_receipt_commands_run_as_written(tmp_path):
    commands = re.search(r"```sh\n(.*?)```", README.split("## Derived and signed receipts", 1)[1], re.DOTALL).group(1)
    (tmp_path / "examples").mkdir()
    (tmp_path / "examples" / EXAMPLE.name).write_bytes(EXAMPLE.read_bytes())
    path = os.pathsep.join([os.path.dirname(os.path.realpath(quorrel.__file__)), str(ROOT / "python")])
    script = f'set -euo pipefail\nquorrel() {{ "{sys.executable}" -m quorrel_cli "$@"; }}\n{commands}'
    result = subprocess.run(["bash", "-c", script], cwd=tmp_path, env=dict(os.environ, PYTHONPATH=path),
                            capture_output=True, timeout=120)
    assert (result.returncode, result.stderr) == (0, b"")
    assert result.stdout.decode().splitlines()[1:] == ["28 receipts: 28 verified, 0 failed"]
    derived = rj.lines((tmp_path / "signed.jsonl").read_text(encoding="utf-8"))[-1]
    assert (derived["claim"]["value"], derived["claim"]["doc_id"]) == ("0.0763", "nordlicht-2025.xhtml")
