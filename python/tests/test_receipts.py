"""receipts_for_bytes end to end: every line written again by the independent
writer of receipt_json, its id recomputed, its byte range on the fact's element,
its value a canonical decimal, and the whole verifying against its source."""

import hashlib
import re
from pathlib import Path

import pytest

import quorrel
import receipt_json as rj

DATA = Path(__file__).resolve().parent / "data"
EXAMPLE = Path(__file__).resolve().parents[2] / "examples" / "nordlicht-2025.xhtml"
BOM = b"\xef\xbb\xbf"
# No exponent, no "+", no leading zeros, no trailing fractional zeros.
CANONICAL_DECIMAL = re.compile(r"-?(0|[1-9][0-9]*)(\.[0-9]*[1-9])?")
AWKWARD = "".join(chr(c) for c in range(0x20)) + '"\\/\x7f\u00e9\u2028\U0001f600'


def checked(source, doc_id="d", uri="u", authority=None):
    """The receipts of a source as dicts, each line checked against the rules."""
    jsonl = quorrel.receipts_for_bytes(source, doc_id, uri, authority)
    assert jsonl == "" or jsonl.endswith("}\n")
    body = source[len(BOM):] if source.startswith(BOM) else source  # ranges count after the mark
    records, previous_end = [], -1
    for line in jsonl.split("\n")[:-1]:
        r = rj.read(line)
        assert rj.line(r) == line and r["receipt_id"] == rj.receipt_id(r) and r["schema"] == rj.SCHEMA
        claim, (evidence,) = r["claim"], r["evidence"]
        artifact, locator = evidence["source_artifact"], evidence["locator"]
        caller_texts = (claim["doc_id"], artifact["uri"], artifact.get("authority"))
        assert claim["kind"] == "stated" and caller_texts == (doc_id, uri, authority)
        assert artifact["sha256"] == hashlib.sha256(source).hexdigest() and "retrieved_at" not in artifact
        assert evidence["extraction"] == {"engine": rj.ENGINE} and locator.get("unit_ref") == claim.get("unit")
        assert CANONICAL_DECIMAL.fullmatch(claim["value"]) and claim["value"] != "-0", claim["value"]
        # Facts come in the order their elements close; the range is the element.
        start, end = locator["byte_range"]
        assert previous_end < end <= len(body) and start < end
        element = body[start:end]
        local_name = re.split("[:}]", locator["concept"])[-1].encode()
        assert element.startswith(b"<") and element.endswith(b">") and local_name in element[: element.index(b">")]
        previous_end = end
        records.append(r)
    assert len({r["receipt_id"] for r in records}) == len(records)
    assert quorrel.verify_bytes(jsonl, source) == f'{{"fail":0,"failures":[],"pass":{len(records)}}}'
    return records


@pytest.mark.parametrize(
    "name, expected",
    [
        # Text, nil, a bad number, a missing context and a missing unit give no receipt;
        # the same key at two places gives two.
        ("edge-cases.xbrl", [("ex:Revenue", "EUR", "1500"), ("ex:Umsatzerl\u00f6se", 'u<"\\>', "-0.5"),
                             ("ex:Revenue", "EUR", "1500"), ("ex:Headcount", None, "42"), ("ex:Zero", "EUR", "0"),
                             ("ex:Assets", "EUR", "1234000")]),
        # Hidden, scaled, signed comma-decimal, zero dash, and nested (the inner closes first).
        ("inline-edge-cases.xhtml", [("ex:Employees", None, "412"), ("ex:Revenue", "EUR", "1500000"),
                                     ("ex:Revenue", "EUR", "1500000"), ("ex:Loss", "EUR", "-1234.5"),
                                     ("ex:Provisions", "EUR", "0"), ("ex:Subtotal", "EUR", "977"),
                                     ("ex:Total", "EUR", "977")]),
    ],
)
def test_edge_case_documents_give_exactly_their_numeric_facts(name, expected):
    source = (DATA / name).read_bytes()
    records = checked(source)
    got = [(r["evidence"][0]["locator"]["concept"], r["claim"].get("unit"), r["claim"]["value"]) for r in records]
    assert got == expected
    # With a byte-order mark the hash changes, the ranges do not.
    marked = checked(BOM + source)
    assert [r["evidence"][0]["locator"] for r in marked] == [r["evidence"][0]["locator"] for r in records]


def test_caller_texts_are_escaped_by_the_rules_and_an_empty_authority_counts():
    source = (DATA / "edge-cases.xbrl").read_bytes()
    awkward = checked(source, AWKWARD, "uri " + AWKWARD, "auth " + AWKWARD)
    assert len(awkward) == 6
    without = checked(source)
    empty = checked(source, authority="")
    assert {r["receipt_id"] for r in without}.isdisjoint(r["receipt_id"] for r in empty)


NO_NUMBERS = (
    b'<xbrl xmlns="http://www.xbrl.org/2003/instance" xmlns:ex="http://example.com/ex"><context id="c"><entity>'
    b'<identifier scheme="s">X</identifier></entity><period><instant>2025-12-31</instant></period></context>'
    b'<ex:Name contextRef="c">Nordlicht</ex:Name><ex:Nothing contextRef="c" unitRef="u" xsi:nil="true"/></xbrl>'
)


@pytest.mark.parametrize("source", [b"<a/>", NO_NUMBERS])
def test_a_document_without_numeric_facts_gives_the_empty_text(source):
    assert checked(source) == []


def test_the_example_filing_gives_27_sound_receipts():
    assert len(checked(EXAMPLE.read_bytes(), "nordlicht-2025", "nordlicht-2025.xhtml", "example")) == 27


def test_every_corpus_document_gives_receipts_that_verify_or_is_refused_by_both(corpus_dir):
    documents = receipts = refused = 0
    suffixes = {".xml", ".xbrl", ".htm", ".html", ".xhtml"}
    for path in sorted(p for p in corpus_dir.rglob("*") if p.is_file() and p.suffix in suffixes):
        source = path.read_bytes()
        name = path.relative_to(corpus_dir).as_posix()
        try:
            quorrel.receipts_for_bytes(source, name, name)
        except ValueError as error:
            with pytest.raises(ValueError) as caught:
                quorrel.verify_bytes("", source)
            assert str(caught.value) == f"source parse failed: {error}"
            refused += 1
            continue
        receipts += len(checked(source, name, "corpus/" + name))
        documents += 1
    assert refused <= 4 and documents > 200 and receipts > 5000
