"""Both functions under random and mutated input: only ValueError, TypeError,
UnicodeEncodeError or MemoryError may ever escape, and a signature or a
parent link never survives a change to what it covers."""

import copy
import json

from hypothesis import assume, given
from hypothesis import strategies as st

import quorrel
import receipt_json as rj
from test_verify_tamper import BATCH, DOCUMENT, INVALID_SIGNATURE, failing_checks, field_edits, verify

ALLOWED = (ValueError, TypeError, UnicodeEncodeError, MemoryError)
JSONL = rj.jsonl(BATCH)


def call(function, *args):
    """The result, or the allowed exception it raised; anything else fails the test."""
    try:
        return function(*args)
    except ALLOWED as error:
        return error


@st.composite
def mutated(draw, original: bytes):
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
        else:
            del data[at:]
    return bytes(data)


markup = st.lists(
    st.sampled_from(
        ["<", ">", "</", "/>", "<ix:nonFraction ", "</ix:nonFraction>", 'name="a:b" ', 'contextRef="c" ',
         'unitRef="u" ', 'scale="3" ', 'format="ixt:numdotdecimal" ', 'sign="-" ', 'continuedAt="x" ',
         '<ix:continuation id="x">', "</ix:continuation>", '<context id="c">', "</context>", "<instant>2024</instant>",
         '<unit id="u">', "</unit>", "<measure>iso4217:EUR</measure>", "1,234.5", "(12)", "&amp;", "&#x41;", "&bogus;",
         "<![CDATA[", "]]>", "<!--", "-->", "<?pi ?>", "<!DOCTYPE x [<!ENTITY a 'b'>]>", "\xef\xbb\xbf", "\xff", " "]
    ),
    max_size=40,
).map(lambda parts: "".join(parts).encode("utf-8", "surrogateescape"))


@given(st.one_of(st.binary(max_size=200), markup, mutated(DOCUMENT)))
def test_any_source_gives_receipts_or_a_value_error(source):
    result = call(quorrel.receipts_for_bytes, source, "doc", "uri")
    if isinstance(result, str):
        # Whatever parsed verifies against its own bytes.
        assert json.loads(quorrel.verify_bytes(result, source))["fail"] == 0
    else:
        assert isinstance(result, ValueError)


@given(st.one_of(st.text(max_size=300), mutated(JSONL.encode()).map(lambda b: b.decode("utf-8", "replace"))))
def test_any_receipts_text_gives_a_summary_or_a_value_error(text):
    result = call(quorrel.verify_bytes, text, DOCUMENT)
    if isinstance(result, str):
        summary = json.loads(result)
        assert summary["fail"] == len(summary["failures"]) and summary["pass"] >= 0
    else:
        assert isinstance(result, ValueError)


anything = st.one_of(st.none(), st.integers(), st.binary(max_size=8), st.text(max_size=8), st.just(bytearray(b"x")),
                     st.lists(st.integers(), max_size=2), st.just(memoryview(b"x")))


@given(anything, anything, anything, anything)
def test_arguments_of_any_type_raise_only_allowed_errors(a, b, c, d):
    call(quorrel.receipts_for_bytes, a, b, c, d)
    call(quorrel.verify_bytes, a, b)


SIGNED = [i for i, r in enumerate(BATCH) if r.get("attestation")]
PARENTS = [
    i for i, r in enumerate(BATCH)
    if any(i2["receipt_id"] == r["receipt_id"] for d in BATCH if d.get("derivation") for i2 in d["derivation"]["inputs"])
]


@st.composite
def change_of(draw, indexes):
    """One member of one of these receipts changed so that its canonical body differs."""
    index = draw(st.sampled_from(indexes))
    name, values, apply = draw(st.sampled_from(field_edits(BATCH[index])))
    changed = copy.deepcopy(BATCH[index])
    apply(changed, draw(values))
    assume(rj.canonical_body(changed) != rj.canonical_body(BATCH[index]))
    return index, name, changed


@given(change_of(SIGNED))
def test_no_change_to_what_a_signature_covers_keeps_it_passing(change):
    index, _, changed = change
    rj.sealed(changed)  # a forger can recompute the id, not the signature
    changed["attestation"] = BATCH[index]["attestation"]
    receipts = BATCH[:index] + [changed] + BATCH[index + 1 :]
    checks = failing_checks(verify(rj.jsonl(receipts)), changed["receipt_id"])
    assert checks is not None and checks.get("attestation") == INVALID_SIGNATURE


@given(change_of(PARENTS), st.booleans())
def test_a_derived_receipt_fails_input_resolution_when_a_parent_changed(change, resealed):
    index, _, changed = change
    original = BATCH[index]
    children = [
        r for r in BATCH
        if r.get("derivation") and any(i["receipt_id"] == original["receipt_id"] for i in r["derivation"]["inputs"])
    ]
    if resealed:
        rj.sealed(changed)
    changed.pop("attestation", None)
    receipts = BATCH[:index] + [changed] + BATCH[index + 1 :]
    result = verify(rj.jsonl(receipts))
    for child in children:
        checks = failing_checks(result, child["receipt_id"])
        assert checks is not None and "input_resolution" in checks, (child["receipt_id"], checks)
        expected = "unknown parent" if resealed else "parent fails integrity"
        assert f'{original["receipt_id"]}: {expected}' in checks["input_resolution"]


def test_every_signed_and_derived_receipt_of_the_batch_is_exercised():
    # The properties above draw from this batch; it must hold both kinds.
    assert SIGNED and PARENTS
    assert copy.deepcopy(BATCH) == BATCH
