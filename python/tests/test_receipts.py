"""receipts_for_bytes end to end, each line written again by the independent
writer of receipt_json and checked against its source; and quorrel_tools, whose
receipts are the module's and whose fact table accounts for every fact."""

import hashlib
import json
import mmap
import re

import pytest

import quorrel
import quorrel_tools
import receipt_json as rj
from conftest import DATA, EDGE, EXAMPLE, OUTCOMES, documents

BOM = b"\xef\xbb\xbf"
# No exponent, no "+", no leading zeros, no trailing fractional zeros.
CANONICAL_DECIMAL = re.compile(r"-?(0|[1-9][0-9]*)(\.[0-9]*[1-9])?")
AWKWARD = "".join(chr(c) for c in range(0x20)) + '"\\/\x7f\u00e9\u2028\U0001f600'
NO_NUMBERS = (
    b'<xbrl xmlns="http://www.xbrl.org/2003/instance" xmlns:ex="http://example.com/ex"><context id="c"><entity>'
    b'<identifier scheme="s">X</identifier></entity><period><instant>2025-12-31</instant></period></context>'
    b'<ex:Name contextRef="c">Nordlicht</ex:Name><ex:Nothing contextRef="c" unitRef="u" xsi:nil="true"/></xbrl>'
)


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


def test_caller_texts_are_escaped_and_an_empty_authority_counts_and_other_documents_give_their_count():
    source = EDGE.read_bytes()
    assert len(checked(source, AWKWARD, "uri " + AWKWARD, "auth " + AWKWARD)) == 6
    assert {r["receipt_id"] for r in checked(source)}.isdisjoint(r["receipt_id"] for r in checked(source, authority=""))
    assert len(checked(EXAMPLE.read_bytes(), "nordlicht-2025", "nordlicht-2025.xhtml", "example")) == 27
    assert checked(b"<a/>") == checked(NO_NUMBERS) == []


# One row per fact of every-outcome.xhtml, in fact order (an inner fact closes
# before its container): concept, kind, value, skip reason, has a receipt.
ROWS = [
    ("ex:Staff", "numeric", "12", None, True), ("ex:Eps", "numeric", "1.25", None, True),
    ("ex:Lost", "numeric", None, "missing context: NOPE", False), ("ex:Odd", "numeric", None, "missing unit: NOPE", False),
    ("ex:Words", "numeric", None, "invalid decimal value: none at all", False),
    ("ex:Note", "text", "Zahlenin Tausend", "not numeric", False), ("ex:Blank", "nil", None, "not numeric", False),
    ("ex:Inner", "numeric", "3", None, True), ("ex:Outer", "numeric", "3", None, True),
]


def test_the_fact_table_of_every_outcome_row_by_row_and_counted():
    source = OUTCOMES.read_bytes()
    rows, summary = quorrel_tools.facts(source, "d", "u")
    receipts = [json.loads(line) for line in quorrel.receipts_for_bytes(source, "d", "u").splitlines()]
    assert [(r["concept"], r["kind"], r["value"], r["skip_reason"], r["receipt_id"] is not None) for r in rows] == ROWS
    assert [r["receipt_id"] for r in rows if r["receipt_id"]] == [r["receipt_id"] for r in receipts]
    assert [[r["byte_start"], r["byte_end"]] for r in rows if r["receipt_id"]] == [
        r["evidence"][0]["locator"]["byte_range"] for r in receipts]
    staff, eps, lost, odd, _, note, blank, inner, outer = rows
    assert staff["hidden"] and staff["fact_id"] == "staff" and staff["decimals"] == "INF"
    assert (staff["period_type"], staff["period_start"], staff["period_end"]) == ("duration", "2025-01-01", "2025-12-31")
    assert staff["dimensions"] == [
        {"dimension": "ex:RegionAxis", "member": "ex:NorthMember", "typed": False},
        {"dimension": "ex:PlanAxis", "member": "<ex:Plan>A</ex:Plan>", "typed": True}]
    assert (eps["unit_numerator"], eps["unit_denominator"], eps["decimals"]) == (["iso4217:EUR"], ["xbrli:shares"], "2")
    assert (eps["period_type"], eps["period_start"], eps["period_end"]) == ("instant", None, "2025-12-31")
    assert (eps["entity_scheme"], eps["entity_identifier"], eps["concept_namespace"]) == (
        "http://example.com/id", "EX1", "http://example.com/ex")
    assert lost["period_type"] is None and lost["entity_identifier"] is None and lost["dimensions"] == []
    assert odd["period_end"] == "2025-12-31" and odd["unit_numerator"] is None
    assert note["lang"] == "de" and blank["raw"] is None and not eps["hidden"]
    assert inner["byte_start"] > outer["byte_start"] and inner["byte_end"] < outer["byte_end"]
    assert summary == {
        "facts": 9, "numeric_facts": 7, "text_facts": 1, "nil_facts": 1, "receipts": 4, "missing_context": 1,
        "missing_unit": 1, "invalid_decimal": 1, "contexts": 2, "units": 1, "footnotes": 1, "continuations": 0,
        "facts_in_footnotes": 1, "open_facts_dropped": 1, "open_elements": 4}


def test_the_tools_take_any_contiguous_buffer_and_raise_the_module_errors(tmp_path):
    source = OUTCOMES.read_bytes()
    expected = quorrel.receipts_for_bytes(source, "d", "u", "auth")
    (tmp_path / "s.xhtml").write_bytes(source)
    with (tmp_path / "s.xhtml").open("rb") as f, mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ) as mapped:
        for buffer in (source, bytearray(source), memoryview(source), mapped):
            assert quorrel_tools.receipts(buffer, "d", "u", authority="auth")[0] == expected
    for wrong in ("text", memoryview(source)[::2], None):
        with pytest.raises(TypeError):
            quorrel_tools.facts(wrong, "d", "u")
    with pytest.raises(ValueError) as raised:
        quorrel_tools.facts(b"<a></b>", "d", "u")
    with pytest.raises(ValueError, match=f"^{re.escape(str(raised.value))}$"):
        quorrel.receipts_for_bytes(b"<a></b>", "d", "u")


def test_every_corpus_document_gives_sound_receipts_and_fact_rows_or_is_refused_by_both(corpus_dir):
    read = receipts = refused = 0
    for path in documents(corpus_dir):
        source, name = path.read_bytes(), path.relative_to(corpus_dir).as_posix()
        try:
            quorrel.receipts_for_bytes(source, name, name)
        except ValueError as error:
            with pytest.raises(ValueError) as caught:
                quorrel.verify_bytes("", source)
            assert str(caught.value) == f"source parse failed: {error}"
            refused += 1
            continue
        records = checked(source, name, "corpus/" + name)
        text, summary = quorrel_tools.receipts(source, name, "corpus/" + name)
        rows, row_summary = quorrel_tools.facts(source, name, "corpus/" + name)
        assert text == rj.jsonl(records) and summary == row_summary, name
        assert (summary["facts"], summary["receipts"]) == (len(rows), len(records)), name
        assert [r["receipt_id"] for r in rows if r["receipt_id"]] == [r["receipt_id"] for r in records], name
        receipts += len(records)
        read += 1
    assert refused <= 4 and read > 200 and receipts > 5000
