"""Property tests over the public functions. Hostile input only ever raises
ValueError, TypeError, UnicodeEncodeError or MemoryError, and no change to the
source bytes of a fact goes unnoticed. (Which check each change to a receipt
fails is pinned by the verification tables of the evidence library's tests,
and re-spelled receipts by the README recipe test.)"""

import copy
import hashlib
import json

from hypothesis import event, given
from hypothesis import strategies as st

import quorrel
import quorrel_tools
import receipt_json as rj
from conftest import EXAMPLE

DOCUMENT = EXAMPLE.read_bytes()
DOC_ID = 'nordlicht\x1f\t"2025\\'  # characters the writer escapes, so lines carry escapes
SIGNER = rj.Signer(b"\x11" * 32)
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


@st.composite
def mutated(draw, original):
    """The original with a few bytes replaced, inserted or deleted, or cut short."""
    data = bytearray(original)
    for _ in range(draw(st.integers(1, 4))):
        at, kind = draw(st.integers(0, len(data))), draw(st.sampled_from(["replace", "insert", "delete", "cut"]))
        if kind == "replace" and at < len(data):
            data[at] = draw(st.integers(0, 255))
        elif kind == "insert":
            data[at:at] = draw(st.binary(min_size=1, max_size=8))
        elif kind != "replace":
            del data[at : at + draw(st.integers(1, 16)) if kind == "delete" else len(data)]
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
    content = range(start + DOCUMENT[start:end].index(b">") + 1, start + DOCUMENT[start:end].rindex(b"<"))
    digits = [i for i in content if DOCUMENT[i : i + 1].isdigit()]
    kind = data.draw(st.sampled_from(["insert", "delete", "replace"] + ["digit"] * bool(digits)))
    at = data.draw(st.sampled_from(digits) if kind == "digit" else st.integers(start, end - 1))
    values = b"0123456789" if kind == "digit" else range(256)
    new = data.draw(st.sampled_from(values).filter(lambda b: b != DOCUMENT[at]))
    document = DOCUMENT[:at] + (b"" if kind == "delete" else bytes([new])) + DOCUMENT[at + (kind != "insert") :]
    try:
        result = verify(rj.jsonl(BATCH), document)
    except ValueError as error:
        event("source unreadable")
        assert str(error).startswith("source parse failed: ")
        return
    old = receipt["evidence"][0]["source_artifact"]["sha256"]
    detail = failing_checks(result, receipt["receipt_id"])["artifact_hash"]
    assert detail == f"expected {old}, got {hashlib.sha256(document).hexdigest()}"
    if kind == "replace":
        return
    # With receipts made for the new hash, the moved or resized element is still
    # caught, and a changed digit of the value by value_match alone.
    result = verify(rj.jsonl(repointed(STATED, document)), document)
    receipt = repointed([receipt], document)[0]
    checks = failing_checks(result, receipt["receipt_id"])
    event("caught by " + ", ".join(sorted(checks)))
    if kind == "digit":
        assert result["fail"] == 1 and list(checks) == ["value_match"]
        assert checks["value_match"].startswith(f"claimed {receipt['claim']['value']}, source has ")
    else:
        assert checks.keys() & {"locate", "byte_range", "value_match"}
        assert not checks.keys() & {"receipt_id", "artifact_hash"}
