"""Tamper detection as properties: any change to what a receipt states about
its claim, evidence or derivation makes that receipt fail and names the check
that caught it; any change to the bytes of a fact element in the source makes
that fact's receipt fail (or the source fail to parse)."""

import copy
import hashlib
import json
import re
from decimal import Decimal
from pathlib import Path

from hypothesis import assume, event, given
from hypothesis import strategies as st

import quorrel
import receipt_json as rj

ROOT = Path(__file__).resolve().parents[2]
DOCUMENT = (ROOT / "examples" / "nordlicht-2025.xhtml").read_bytes()
# A doc_id with characters that the writer escapes, so that lines carry escapes.
DOC_ID = 'nordlicht\x1f\t"2025\\'
SIGNER = rj.Signer(b"\x11" * 32)
BAD_ID = "receipt body does not hash to receipt_id"
INVALID_SIGNATURE = "signature invalid over canonical body"
READER_MESSAGE = re.compile(r"^.+ at line 1 column \d+$", re.S)


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


def verify(receipts_text, source=DOCUMENT):
    return json.loads(quorrel.verify_bytes(receipts_text, source))


def test_the_batch_verifies_before_any_change():
    # The properties below start from a batch that verifies whole, with the
    # derived claims worked out by hand from these stated values.
    assert [r["claim"]["value"] for r in BATCH[:4]] == ["412", "48215000", "45930000", "17402000"]
    assert verify(rj.jsonl(BATCH)) == {"fail": 0, "failures": [], "pass": len(BATCH)}


def failing_checks(result, receipt_id):
    """{name: detail} of the failing checks of the last report with this id, or None when it verified."""
    reports = [r for r in result["failures"] if r["receipt_id"] == receipt_id]
    if not reports:
        return None
    return {c["name"]: c.get("detail") for c in reports[-1]["checks"] if not c["pass"]}


def same_attestation(a, b):
    if a is None or b is None:
        return a is None and b is None
    return a["alg"] == b["alg"] and bytes_of(a["public_key"]) == bytes_of(b["public_key"]) and bytes_of(
        a["sig"]
    ) == bytes_of(b["sig"])


def bytes_of(hex_text):
    """The bytes of a hexadecimal text, or the text itself when it is not one."""
    return bytes.fromhex(hex_text) if re.fullmatch(r"(?:[0-9a-fA-F]{2})*", hex_text) else hex_text


def expect_outcome(original, changed, result):
    """The verdict on a changed receipt that still reads: it fails exactly when
    something it states changed, and the report names the check that caught it.
    (Every receipt of BATCH verifies, its attestation included.)"""
    checks = failing_checks(result, changed["receipt_id"])
    attestation = changed.get("attestation")
    if rj.canonical_body(changed) != rj.canonical_body(original):
        event("body changed")
        assert checks is not None and checks.get("receipt_id") == BAD_ID, checks
        if attestation is not None:
            assert checks.get("attestation") == INVALID_SIGNATURE
        return
    frame_changed = changed["schema"] != original["schema"] or changed["receipt_id"] != original["receipt_id"]
    signature_broken = attestation is not None and not same_attestation(original.get("attestation"), attestation)
    if not frame_changed and not signature_broken:
        # The same statement, however it is spelled; a removed attestation removes its check.
        event("same statement")
        assert checks is None, checks
        return
    event("schema, id or attestation changed")
    assert checks is not None
    assert (checks.get("receipt_id") == BAD_ID) == frame_changed
    assert (checks.get("attestation") == INVALID_SIGNATURE) == signature_broken


# --- structured changes to one receipt --------------------------------------------

texts = st.text(st.characters(blacklist_categories=["Cs"]), max_size=12)
optional_texts = st.none() | texts


def field_edits(receipt):
    """(name, strategy of new values, edit) for each member that counts in the body."""
    edits = [
        ("claim.value", texts, lambda r, v: r["claim"].update(value=v)),
        ("claim.unit", optional_texts, lambda r, v: r["claim"].update(unit=v)),
        ("claim.kind", st.sampled_from(["stated", "derived"]), lambda r, v: r["claim"].update(kind=v)),
        ("claim.doc_id", texts, lambda r, v: r["claim"].update(doc_id=v)),
        ("evidence.count", st.integers(0, 3), lambda r, v: r.update(evidence=(r["evidence"] or [BATCH[0]["evidence"][0]]) * v)),
    ]
    if receipt["evidence"]:
        artifact = lambda r: r["evidence"][0]["source_artifact"]
        locator = lambda r: r["evidence"][0]["locator"]
        edits += [
            ("uri", texts, lambda r, v: artifact(r).update(uri=v)),
            ("sha256", texts, lambda r, v: artifact(r).update(sha256=v)),
            ("retrieved_at", optional_texts, lambda r, v: artifact(r).update(retrieved_at=v)),
            ("authority", optional_texts, lambda r, v: artifact(r).update(authority=v)),
            ("concept", texts, lambda r, v: locator(r).update(concept=v)),
            ("context_ref", texts, lambda r, v: locator(r).update(context_ref=v)),
            ("unit_ref", optional_texts, lambda r, v: locator(r).update(unit_ref=v)),
            (
                "byte_range",
                st.none() | st.tuples(st.integers(0, 2**64 - 1), st.integers(0, 2**64 - 1)).map(list),
                lambda r, v: locator(r).update(byte_range=v),
            ),
            ("engine", texts, lambda r, v: r["evidence"][0]["extraction"].update(engine=v)),
        ]
    if receipt.get("derivation"):
        derivation = lambda r: r["derivation"]
        inputs = receipt["derivation"]["inputs"]
        edits += [
            (
                "operation",
                st.fixed_dictionaries(
                    {"op": st.sampled_from(["ratio", "difference", "growth_rate"]), "round_dp": st.none() | st.integers(0, 2**32 - 1)}
                ),
                lambda r, v: derivation(r).update(operation=v),
            ),
            *[
                (
                    f"input.{member}",
                    st.tuples(st.integers(0, len(inputs) - 1), texts),
                    lambda r, v, member=member: derivation(r)["inputs"][v[0]].update({member: v[1]}),
                )
                for member in ("receipt_id", "value", "role")
            ],
            (
                "inputs.count",
                st.integers(0, 3),
                lambda r, v: derivation(r).update(inputs=(derivation(r)["inputs"] * 2)[:v]),
            ),
        ]
    edits.append(("derivation", st.none(), lambda r, v: r.update(derivation=v)))
    return edits


@st.composite
def structured_change(draw):
    index = draw(st.integers(0, len(BATCH) - 1))
    original = BATCH[index]
    name, values, apply = draw(st.sampled_from(field_edits(original)))
    changed = copy.deepcopy(original)
    apply(changed, draw(values))
    return index, name, changed


@given(structured_change())
def test_a_changed_member_fails_its_receipt_on_the_id(change):
    index, _, changed = change
    original = BATCH[index]
    receipts = BATCH[:index] + [changed] + BATCH[index + 1 :]
    result = verify(rj.jsonl(receipts))
    expect_outcome(original, changed, result)
    assert result["pass"] + result["fail"] == len(BATCH)


@given(structured_change())
def test_a_resealed_change_is_still_caught_by_a_check_of_the_content(change):
    """With its id recomputed, a changed stated receipt is caught by the source
    checks and a changed derived one by its parents or the recomputation;
    only changes to members that nothing but the id covers may then pass."""
    index, name, changed = change
    original = BATCH[index]
    assume(rj.canonical_body(changed) != rj.canonical_body(original))
    rj.sealed(changed)
    changed.pop("attestation", None)
    receipts = BATCH[:index] + [changed] + BATCH[index + 1 :]
    checks = failing_checks(verify(rj.jsonl(receipts)), changed["receipt_id"])
    id_only = {"claim.unit", "claim.doc_id", "uri", "retrieved_at", "authority", "engine", "input.role"}
    if name in id_only or (name == "claim.kind" and not changed.get("derivation")):
        # Nothing but the id covers these members (a stated receipt's kind included).
        assert checks is None, (name, checks)
        return
    if checks is None:
        # A content change passes only when the claim stays equal in value:
        # another spelling of the number, or an operation giving the same result.
        assert name in {"claim.value", "operation"}, (name, changed)
        if name == "claim.value":
            assert Decimal(changed["claim"]["value"]) == Decimal(original["claim"]["value"])
        return
    assert "receipt_id" not in checks


# --- changes to the characters of one line -------------------------------------

ALPHABET = st.sampled_from(list('{}[]:,"\\ 0123456789abcdefuAF-.+eEnulltrx\t\r\x1f\u00e9\u2028\ufeff'))


@st.composite
def line_edits(draw):
    index = draw(st.integers(0, len(BATCH) - 1))
    text = list(rj.line(BATCH[index]))
    for _ in range(draw(st.integers(1, 3))):
        kind = draw(st.sampled_from(["insert", "delete", "replace"]))
        at = draw(st.integers(0, len(text) - (0 if kind == "insert" else 1)))
        if kind == "insert":
            text.insert(at, draw(ALPHABET))
        elif kind == "delete":
            del text[at]
        else:
            text[at] = draw(ALPHABET)
    return index, "".join(text)


@given(line_edits())
def test_an_edited_line_is_rejected_or_judged_by_what_it_now_states(edit):
    index, line = edit
    lines = [rj.line(r) for r in BATCH]
    lines[index] = line
    try:
        result = verify("\n".join(lines) + "\n")
    except ValueError as error:
        # Unreadable: the reader's message, counted within the line.
        event("unreadable")
        assert READER_MESSAGE.match(str(error)), str(error)
        return
    changed = rj.read(line)  # what the module accepted, JSON accepts too
    expect_outcome(BATCH[index], changed, result)


def test_an_escape_spelled_differently_is_no_change():
    index = 0
    line = rj.line(BATCH[index])
    assert "\\u001f" in line
    for spelled in [line.replace("\\u001f", "\\u001F"), line.replace("\\t", "\\u0009"), line.replace("/", "\\/")]:
        assert spelled != line
        lines = [rj.line(r) for r in BATCH]
        lines[index] = spelled
        assert verify("\n".join(lines)) == {"fail": 0, "failures": [], "pass": len(BATCH)}


# --- changes to the source ---------------------------------------------------------

# The stated receipts, each id once.
STATED = list({r["receipt_id"]: r for r in reversed(BATCH) if not r.get("derivation")}.values())[::-1]


def fact_range(receipt):
    start, end = receipt["evidence"][0]["locator"]["byte_range"]
    return start, end


@st.composite
def source_edits(draw, length_changing=False):
    receipt = draw(st.sampled_from(STATED))
    start, end = fact_range(receipt)
    at = draw(st.integers(start, end - 1))
    kinds = ["insert", "delete"] if length_changing else ["insert", "delete", "replace"]
    kind = draw(st.sampled_from(kinds))
    data = bytearray(DOCUMENT)
    if kind == "insert":
        data[at:at] = bytes([draw(st.integers(0, 255))])
    elif kind == "delete":
        del data[at]
    else:
        old = data[at]
        data[at] = draw(st.integers(0, 255).filter(lambda b: b != old))
    return receipt, bytes(data)


def test_source_ranges_are_the_fact_elements():
    for receipt in STATED:
        start, end = fact_range(receipt)
        element = DOCUMENT[start:end]
        assert element.startswith(b"<ix:nonFraction ") and element.endswith(b"</ix:nonFraction>")


@given(source_edits())
def test_any_changed_byte_of_a_fact_element_fails_its_receipt(edit):
    receipt, document = edit
    try:
        result = verify(rj.jsonl(BATCH), document)
    except ValueError as error:
        event("source unreadable")
        assert str(error).startswith("source parse failed: ")
        return
    checks = failing_checks(result, receipt["receipt_id"])
    old = receipt["evidence"][0]["source_artifact"]["sha256"]
    assert checks is not None
    assert checks["artifact_hash"] == f"expected {old}, got {hashlib.sha256(document).hexdigest()}"


def repointed(receipts, document):
    """The stated receipts as if built for the changed document's hash, resealed."""
    digest = hashlib.sha256(document).hexdigest()
    out = []
    for r in receipts:
        r = copy.deepcopy(r)
        r["evidence"][0]["source_artifact"]["sha256"] = digest
        rj.sealed(r)
        out.append(SIGNER.attest(r) if r.get("attestation") else r)
    return out


@given(source_edits(length_changing=True))
def test_a_longer_or_shorter_fact_element_is_caught_beyond_the_hash(edit):
    receipt, document = edit
    try:
        result = verify(rj.jsonl(repointed(STATED, document)), document)
    except ValueError as error:
        event("source unreadable")
        assert str(error).startswith("source parse failed: ")
        return
    receipt = repointed([receipt], document)[0]
    checks = failing_checks(result, receipt["receipt_id"])
    assert checks is not None
    event("caught by " + ", ".join(sorted(checks)))
    assert {"receipt_id", "artifact_hash"}.isdisjoint(checks)
    assert checks.keys() & {"locate", "byte_range", "value_match"}


@given(st.data())
def test_a_changed_digit_of_a_fact_value_is_caught_by_value_match(data):
    receipt = data.draw(st.sampled_from(STATED))
    start, end = fact_range(receipt)
    element = DOCUMENT[start:end]
    content_start = start + element.index(b">") + 1
    content_end = start + element.rindex(b"<")
    digits = [i for i in range(content_start, content_end) if DOCUMENT[i : i + 1].isdigit()]
    assume(digits)
    at = data.draw(st.sampled_from(digits))
    new = data.draw(st.sampled_from([d for d in b"0123456789" if d != DOCUMENT[at]]))
    document = DOCUMENT[:at] + bytes([new]) + DOCUMENT[at + 1 :]
    result = verify(rj.jsonl(repointed(STATED, document)), document)
    receipt = repointed([receipt], document)[0]
    value = receipt["claim"]["value"]
    checks = failing_checks(result, receipt["receipt_id"])
    assert checks is not None and set(checks) == {"value_match"}
    assert checks["value_match"].startswith(f"claimed {value}, source has ")
    # Every other receipt is untouched by the change.
    assert result["fail"] == 1
