"""quorrel_tools: the fact table and the document's counts, as a caller sees them."""

import json
import mmap
from pathlib import Path

import pytest

import quorrel
import quorrel_tools

DATA = Path(__file__).resolve().parent / "data"
SUFFIXES = {".htm", ".html", ".xhtml", ".xml", ".xbrl"}

# One row per fact of every-outcome.xhtml, in fact order (an inner fact closes
# before its container): concept, kind, value, skip reason, has a receipt.
ROWS = [
    ("ex:Staff", "numeric", "12", None, True),
    ("ex:Eps", "numeric", "1.25", None, True),
    ("ex:Lost", "numeric", None, "missing context: NOPE", False),
    ("ex:Odd", "numeric", None, "missing unit: NOPE", False),
    ("ex:Words", "numeric", None, "invalid decimal value: none at all", False),
    ("ex:Note", "text", "Zahlenin Tausend", "not numeric", False),
    ("ex:Blank", "nil", None, "not numeric", False),
    ("ex:Inner", "numeric", "3", None, True),
    ("ex:Outer", "numeric", "3", None, True),
]


def test_every_outcome_row_by_row_and_counted():
    source = (DATA / "every-outcome.xhtml").read_bytes()
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


def test_any_contiguous_buffer_and_clear_errors(tmp_path):
    source = (DATA / "every-outcome.xhtml").read_bytes()
    expected = quorrel.receipts_for_bytes(source, "d", "u", "auth")
    path = tmp_path / "s.xhtml"
    path.write_bytes(source)
    with path.open("rb") as f, mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ) as mapped:
        for buffer in (source, bytearray(source), memoryview(source), mapped):
            assert quorrel_tools.receipts(buffer, "d", "u", authority="auth")[0] == expected
    for wrong in ("text", memoryview(source)[::2], None):
        with pytest.raises(TypeError):
            quorrel_tools.facts(wrong, "d", "u")
    with pytest.raises(ValueError) as raised:
        quorrel_tools.facts(b"<a></b>", "d", "u")
    with pytest.raises(ValueError) as module_raised:
        quorrel.receipts_for_bytes(b"<a></b>", "d", "u")
    assert str(raised.value) == str(module_raised.value)


def test_corpus_receipts_and_rows_agree_with_the_module(corpus_dir):
    for path in sorted(p for p in corpus_dir.rglob("*") if p.suffix.lower() in SUFFIXES):
        source = path.read_bytes()
        try:
            expected = quorrel.receipts_for_bytes(source, path.name, "u")
        except ValueError:
            continue
        text, summary = quorrel_tools.receipts(source, path.name, "u")
        rows, row_summary = quorrel_tools.facts(source, path.name, "u")
        assert text == expected, path
        assert summary == row_summary and len(rows) == summary["facts"], path
        ids = [json.loads(line)["receipt_id"] for line in expected.splitlines()]
        assert [r["receipt_id"] for r in rows if r["receipt_id"]] == ids, path
        assert summary["receipts"] == len(ids), path
