"""Property tests over the public functions. Hostile input only ever raises
ValueError, TypeError, UnicodeEncodeError or MemoryError; and no change to a
receipt, to what its signature or a child's parent link covers, or to the
source bytes of a fact goes unnoticed."""

import copy
import hashlib
import json
from decimal import Decimal
from pathlib import Path

from hypothesis import assume, event, given
from hypothesis import strategies as st

import quorrel
import quorrel_tools
import receipt_json as rj

DOCUMENT = (Path(__file__).resolve().parents[2] / "examples" / "nordlicht-2025.xhtml").read_bytes()
DOC_ID = 'nordlicht\x1f\t"2025\\'  # characters the writer escapes, so lines carry escapes
SIGNER = rj.Signer(b"\x11" * 32)
BAD_ID = "receipt body does not hash to receipt_id"
INVALID_SIGNATURE = "signature invalid over canonical body"
ALLOWED = (ValueError, TypeError, UnicodeEncodeError, MemoryError)


def build_batch():
    stated = rj.lines(quorrel.receipts_for_bytes(DOCUMENT, DOC_ID, "https://example.com/nordlicht", "register"))
    stated[1]["evidence"][0]["source_artifact"]["retrieved_at"] = "2025-03-01T00:00:00Z"
    rj.sealed(stated[1])
    # 17402000 / 48215000, (48215000 - 45930000) / 45930000 and 412 - 48215000.
    ratio = rj.derived("0.3609", "ratio", [(stated[3], None, "numerator"), (stated[1], None, "denominator")], 4)
    growth = rj.derived("0.05", "growth_rate", [(stated[1], None, "current"), (stated[2], None, "prior")], 2)
    difference = rj.derived("-48214588", "difference", [(stated[0], None, "a"), (stated[1], None, "b")])
    signed = [SIGNER.attest(copy.deepcopy(stated[4])), SIGNER.attest(copy.deepcopy(growth))]
    return stated + [ratio, growth, difference] + signed


BATCH = build_batch()
STATED = BATCH[: len(BATCH) - 5]


def verify(receipts_text, source=DOCUMENT):
    return json.loads(quorrel.verify_bytes(receipts_text, source))


def failing_checks(result, receipt_id):
    """{name: detail} of the failing checks of the last report with this id ({} when it verified)."""
    reports = [r for r in result["failures"] if r["receipt_id"] == receipt_id]
    return {c["name"]: c.get("detail") for c in reports[-1]["checks"] if not c["pass"]} if reports else {}


def test_the_batch_verifies_before_any_change():
    assert [r["claim"]["value"] for r in BATCH[:4]] == ["412", "48215000", "45930000", "17402000"]
    assert verify(rj.jsonl(BATCH)) == {"fail": 0, "failures": [], "pass": len(BATCH)}


# --- hostile calls ----------------------------------------------------------------


@st.composite
def mutated(draw, original):
    """The original with a few bytes replaced, inserted or deleted, or cut short."""
    data = bytearray(original)
    for _ in range(draw(st.integers(1, 4))):
        at = draw(st.integers(0, len(data)))
        kind = draw(st.sampled_from(["replace", "insert", "delete", "cut"]))
        if kind == "replace" and at < len(data):
            data[at] = draw(st.integers(0, 255))
        elif kind == "insert":
            data[at:at] = draw(st.binary(min_size=1, max_size=8))
        elif kind == "delete":
            del data[at : at + draw(st.integers(1, 16))]
        elif kind == "cut":
            del data[at:]
    return bytes(data)


@given(st.one_of(st.binary(max_size=200), mutated(DOCUMENT)))
def test_any_source_gives_receipts_that_verify_against_it_or_a_value_error(source):
    try:
        jsonl = quorrel.receipts_for_bytes(source, "doc", "uri")
    except ValueError:
        return
    assert verify(jsonl, source)["fail"] == 0


@given(st.one_of(st.text(max_size=300), mutated(rj.jsonl(BATCH).encode()).map(lambda b: b.decode("utf-8", "replace"))))
def test_any_receipts_text_gives_a_summary_or_a_value_error(text):
    try:
        summary = verify(text)
    except ValueError:
        return
    assert summary["fail"] == len(summary["failures"]) and summary["pass"] >= 0


anything = st.one_of(st.none(), st.integers(), st.binary(max_size=8), st.text(max_size=8), st.just(bytearray(b"x")),
                     st.lists(st.integers(), max_size=2), st.just(memoryview(b"x")))


@given(anything, anything, anything, anything)
def test_arguments_of_any_type_raise_only_the_documented_errors(a, b, c, d):
    for call in (lambda: quorrel.receipts_for_bytes(a, b, c, d), lambda: quorrel.verify_bytes(a, b),
                 lambda: quorrel_tools.derive(a, b, c, round_dp=d, roles=a, doc_id=b, unit=c),
                 lambda: quorrel_tools.sign(a, b, replace=c), lambda: quorrel_tools.public_key(d)):
        try:
            call()
        except ALLOWED:
            pass


# --- changes to one receipt ---------------------------------------------------------

text = st.text(st.characters(blacklist_categories=["Cs"]), max_size=12)
maybe = st.none() | text
ARTIFACT, LOCATOR = ("evidence", 0, "source_artifact"), ("evidence", 0, "locator")
# Members that only the receipt id covers: with the id recomputed, a change to them passes.
ID_ONLY = {("claim", "unit"), ("claim", "doc_id"), ARTIFACT + ("uri",), ARTIFACT + ("retrieved_at",),
           ARTIFACT + ("authority",), ("evidence", 0, "extraction", "engine")}


def field_edits(r):
    """(path, strategy of new values) for each member that counts in the canonical body."""
    own = r["evidence"] or BATCH[0]["evidence"]
    edits = [(("claim", "value"), text), (("claim", "unit"), maybe), (("claim", "doc_id"), text),
             (("claim", "kind"), st.sampled_from(["stated", "derived"])),
             (("evidence",), st.integers(0, 2).map(lambda n: own * n)), (("derivation",), st.none())]
    if r["evidence"]:
        edits += [(ARTIFACT + (m,), text) for m in ("uri", "sha256")]
        edits += [(ARTIFACT + (m,), maybe) for m in ("retrieved_at", "authority")]
        edits += [(LOCATOR + (m,), text) for m in ("concept", "context_ref")] + [(LOCATOR + ("unit_ref",), maybe)]
        edits += [(LOCATOR + ("byte_range",), st.none() | st.lists(st.integers(0, 2**64 - 1), min_size=2, max_size=2)),
                  (("evidence", 0, "extraction", "engine"), text)]
    if r.get("derivation"):
        inputs = r["derivation"]["inputs"]
        ops = st.fixed_dictionaries({"op": st.sampled_from(["ratio", "difference", "growth_rate"]),
                                     "round_dp": st.none() | st.integers(0, 2**32 - 1)})
        edits += [(("derivation", "operation"), ops),
                  (("derivation", "inputs"), st.integers(0, 3).map(lambda n: (inputs * 2)[:n]))]
        edits += [(("derivation", "inputs", i, m), text)
                  for i in range(len(inputs)) for m in ("receipt_id", "value", "role")]
    return edits


@st.composite
def changed_receipt(draw):
    index = draw(st.integers(0, len(BATCH) - 1))
    path, values = draw(st.sampled_from(field_edits(BATCH[index])))
    changed = copy.deepcopy(BATCH[index])
    *parents, last = path
    target = changed
    for key in parents:
        target = target[key]
    target[last] = draw(values)
    assume(rj.canonical_body(changed) != rj.canonical_body(BATCH[index]))
    return index, path, changed


@given(changed_receipt(), st.booleans())
def test_a_changed_receipt_its_signature_and_its_children_fail(change, resealed):
    index, path, changed = change
    original = BATCH[index]
    if resealed:
        rj.sealed(changed)  # anyone can recompute the id, nobody else the signature
    result = verify(rj.jsonl(BATCH[:index] + [changed] + BATCH[index + 1 :]))
    assert result["pass"] + result["fail"] == len(BATCH)
    checks = failing_checks(result, changed["receipt_id"])
    if "attestation" in changed:
        assert checks.pop("attestation") == INVALID_SIGNATURE
    if [r["receipt_id"] for r in BATCH].count(original["receipt_id"]) == 1:
        expected = "unknown parent" if resealed else "parent fails integrity"
        for child in BATCH:
            inputs = (child.get("derivation") or {"inputs": []})["inputs"]
            if any(i["receipt_id"] == original["receipt_id"] for i in inputs):
                detail = failing_checks(result, child["receipt_id"])["input_resolution"]
                assert f'{original["receipt_id"]}: {expected}' in detail
    if not resealed:
        assert checks.get("receipt_id") == BAD_ID
    elif path in ID_ONLY or path[-1] == "role" or (path == ("claim", "kind") and changed.get("derivation") is None):
        assert checks == {}, (path, checks)
    elif not checks:
        # Only a claim equal in value, or another operation giving the same result, may pass.
        value, was = Decimal(changed["claim"]["value"]), Decimal(original["claim"]["value"])
        assert path == ("derivation", "operation") or value == was
    else:
        assert "receipt_id" not in checks


def attestation_bytes(r):
    a = r.get("attestation")
    return a and (a["alg"], a["public_key"].lower(), a["sig"].lower())


ALPHABET = st.sampled_from(list('{}[]:,"\\ 0123456789abcdefuAF-.+eEnulltrx\t\r\x1f\u00e9\u2028\ufeff'))
EDITS = st.lists(st.tuples(st.sampled_from(["insert", "delete", "replace"]), st.integers(0), ALPHABET),
                 min_size=1, max_size=3)


@given(st.integers(0, len(BATCH) - 1), EDITS)
def test_an_edited_line_is_rejected_or_judged_by_what_it_now_states(index, edits):
    chars = list(rj.line(BATCH[index]))
    for kind, at, ch in edits:
        at %= len(chars) + (kind == "insert")
        if kind == "insert":
            chars.insert(at, ch)
        elif kind == "delete":
            del chars[at]
        else:
            chars[at] = ch
    lines = [rj.line(r) for r in BATCH]
    lines[index] = "".join(chars)
    try:
        result = verify("\n".join(lines))
    except ValueError as error:
        event("unreadable")
        assert str(error).split(" at line 1 column ")[-1].isdigit(), str(error)
        return
    original, changed = BATCH[index], rj.read(lines[index])  # what the module accepts, JSON accepts too
    checks = failing_checks(result, changed["receipt_id"])
    if rj.canonical_body(changed) != rj.canonical_body(original):
        assert checks.get("receipt_id") == BAD_ID
        return
    # The same statement, however it is spelled, passes unless its frame or signature changed.
    frame = (changed["schema"], changed["receipt_id"]) != (original["schema"], original["receipt_id"])
    signature = changed.get("attestation") is not None and attestation_bytes(changed) != attestation_bytes(original)
    assert checks == {**({"receipt_id": BAD_ID} if frame else {}),
                      **({"attestation": INVALID_SIGNATURE} if signature else {})}


# --- changes to the source ------------------------------------------------------------


def repointed(receipts, document):
    """The receipts as if built for the changed document: its hash, resealed, signed again."""
    out = []
    for r in copy.deepcopy(receipts):
        r["evidence"][0]["source_artifact"]["sha256"] = hashlib.sha256(document).hexdigest()
        out.append(SIGNER.attest(rj.sealed(r)) if r.get("attestation") else rj.sealed(r))
    return out


@given(st.sampled_from(STATED), st.data())
def test_any_changed_byte_of_a_fact_element_fails_its_receipt(receipt, data):
    start, end = receipt["evidence"][0]["locator"]["byte_range"]
    at = data.draw(st.integers(start, end - 1))
    kind = data.draw(st.sampled_from(["insert", "delete", "replace"]))
    new = bytes([data.draw(st.integers(0, 255).filter(lambda b: b != DOCUMENT[at]))])
    rest = DOCUMENT[at:] if kind == "insert" else DOCUMENT[at + 1 :]
    document = DOCUMENT[:at] + (b"" if kind == "delete" else new) + rest
    try:
        result = verify(rj.jsonl(BATCH), document)
    except ValueError as error:
        event("source unreadable")
        assert str(error).startswith("source parse failed: ")
        return
    old = receipt["evidence"][0]["source_artifact"]["sha256"]
    detail = failing_checks(result, receipt["receipt_id"])["artifact_hash"]
    assert detail == f"expected {old}, got {hashlib.sha256(document).hexdigest()}"
    if kind != "replace":
        # With receipts made for the new hash, the moved or resized element is still caught.
        result = verify(rj.jsonl(repointed(STATED, document)), document)
        checks = failing_checks(result, repointed([receipt], document)[0]["receipt_id"])
        event("caught by " + ", ".join(sorted(checks)))
        assert checks.keys() & {"locate", "byte_range", "value_match"}
        assert not checks.keys() & {"receipt_id", "artifact_hash"}


@given(st.sampled_from(STATED), st.data())
def test_a_changed_digit_of_a_fact_value_is_caught_by_value_match_alone(receipt, data):
    start, end = receipt["evidence"][0]["locator"]["byte_range"]
    content = range(start + DOCUMENT[start:end].index(b">") + 1, start + DOCUMENT[start:end].rindex(b"<"))
    digits = [i for i in content if DOCUMENT[i : i + 1].isdigit()]
    assume(digits)
    at = data.draw(st.sampled_from(digits))
    new = data.draw(st.sampled_from([d for d in b"0123456789" if d != DOCUMENT[at]]))
    document = DOCUMENT[:at] + bytes([new]) + DOCUMENT[at + 1 :]
    result = verify(rj.jsonl(repointed(STATED, document)), document)
    receipt = repointed([receipt], document)[0]
    assert result["fail"] == 1
    checks = failing_checks(result, receipt["receipt_id"])
    assert list(checks) == ["value_match"]
    assert checks["value_match"].startswith(f"claimed {receipt['claim']['value']}, source has ")
