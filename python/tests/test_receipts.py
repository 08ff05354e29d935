"""Receipts as receipts_for_bytes writes them: every line re-derived from an
independent reading of the writing rules and of the receipt id, every byte
range checked against the source, and every claim checked as a canonical
decimal text."""

from __future__ import annotations

import hashlib
import json
import re
from decimal import Decimal
from pathlib import Path

import pytest

import quorrel
import receipt_rules as rules

DATA = Path(__file__).resolve().parent / "data"
EXAMPLE = Path(__file__).resolve().parents[2] / "examples" / "nordlicht-2025.xhtml"
EDGE_CASES = DATA / "edge-cases.xbrl"
INLINE_EDGE_CASES = DATA / "inline-edge-cases.xhtml"
DOCUMENT_SUFFIXES = {".xml", ".xbrl", ".html", ".htm", ".xhtml"}


def check_receipts(source: bytes, jsonl: str, doc_id: str, uri: str, authority: str | None = None) -> list[dict]:
    """Checks every line of one receipts_for_bytes result and returns the records."""
    assert jsonl == "" or jsonl.endswith("\n")
    assert "\r" not in jsonl
    lines = jsonl.split("\n")[:-1] if jsonl else []
    body = rules.after_bom(source)
    sha = hashlib.sha256(source).hexdigest()
    records = []
    previous_end = -1
    for line in lines:
        record = json.loads(line)
        # Writing the record again by the rules gives the line back, byte for byte.
        assert rules.receipt(record) == line
        assert record["schema"] == rules.SCHEMA
        assert rules.RECEIPT_ID.fullmatch(record["receipt_id"])
        assert record["receipt_id"] == rules.receipt_id(record)

        claim = record["claim"]
        assert claim["kind"] == "stated" and claim["doc_id"] == doc_id
        assert rules.CANONICAL_DECIMAL.fullmatch(claim["value"]), claim["value"]
        assert claim["value"] != "-0"

        (evidence,) = record["evidence"]
        artifact = evidence["source_artifact"]
        assert artifact["uri"] == uri and artifact["sha256"] == sha
        assert "retrieved_at" not in artifact
        assert artifact.get("authority") == authority and ("authority" in artifact) == (authority is not None)
        assert evidence["extraction"] == {"engine": rules.ENGINE}

        locator = evidence["locator"]
        assert locator["profile"] == "xbrl"
        assert locator.get("unit_ref") == claim.get("unit")
        assert ("unit_ref" in locator) == ("unit" in claim)
        start, end = locator["byte_range"]
        assert 0 <= start < end <= len(body)
        element = body[start:end]
        assert element.startswith(b"<") and element.endswith(b">")
        assert names_concept(element, locator["concept"]), (locator["concept"], element[:100])
        # Facts come in the order their elements close, so the ends only grow.
        assert end > previous_end
        previous_end = end
        records.append(record)
    assert len({r["receipt_id"] for r in records}) == len(records)
    return records


# --- reading a fact element independently ------------------------------------

_TAG_NAME = re.compile(rb"<([^\s/>]+)")
_MARKUP = re.compile(rb"<[^>]*>")
_ATTRIBUTE = re.compile(rb"""\s([\w:.-]+)\s*=\s*(?:"([^"]*)"|'([^']*)')""")
_XML_SPACE = " \t\r\n"
_ZERO_DASH_FORMATS = {"fixed-zero", "zerodash", "numdash"}
_LONE_DASHES = {"-", "\u2212", "\uff0d", "\u2014"}


def _start_tag(element: bytes) -> tuple[str, dict[str, str]]:
    end = element.index(b">")
    tag = element[:end]
    name = _TAG_NAME.match(tag).group(1).decode("utf-8")
    attributes = {}
    for match in _ATTRIBUTE.finditer(tag):
        value = match.group(2) if match.group(2) is not None else match.group(3)
        attributes[match.group(1).decode("utf-8")] = value.decode("utf-8")
    return name, attributes


def _is_inline(name: str) -> bool:
    return name.split(":")[-1] in ("nonFraction", "nonNumeric")


def names_concept(element: bytes, concept: str) -> bool:
    """Whether the element's written name (its tag, or the name attribute of an
    inline fact) is the concept's rendering: the prefixed name as written, or,
    for a name without prefix, the local name after its namespace in braces."""
    name, attributes = _start_tag(element)
    written = attributes["name"] if _is_inline(name) else name
    if ":" in written:
        return concept == written
    return concept == written or (concept.startswith("{") and concept.endswith("}" + written))


def _inner_text(element: bytes) -> str | None:
    """The text of an element (the text of nested elements included), when it
    holds no entity, character reference, comment or CDATA section."""
    if element.endswith(b"/>") and b"</" not in element:
        return None
    inner = element[element.index(b">") + 1 : element.rindex(b"</")]
    if b"&" in inner or b"<!" in inner or b"<?" in inner:
        return None
    return _MARKUP.sub(b"", inner).decode("utf-8")


def independent_value(element: bytes) -> Decimal | None:
    """The value of a fact with a simple shape, read without the module's code;
    None when the shape is beyond this reading (markup or entities inside,
    transformations other than the plain separator and zero-dash rules)."""
    name, attributes = _start_tag(element)
    text = _inner_text(element)
    if text is None:
        return None
    text = text.strip(_XML_SPACE + "\u00a0").replace(" ", "").replace("\u00a0", "")
    if not _is_inline(name):
        return Decimal(text.replace(",", ""))
    negative = False
    if len(text) >= 2 and text[0] == "(" and text[-1] == ")":
        text = text.lstrip("(").rstrip(")")
        negative = True
    fmt = attributes.get("format")
    fmt_name = fmt.split(":")[-1].lower() if fmt is not None else None
    if fmt_name in _ZERO_DASH_FORMATS and text in _LONE_DASHES:
        value = Decimal(0)
    elif fmt_name in (None, "numdotdecimal", "num-dot-decimal") or fmt_name in _ZERO_DASH_FORMATS:
        value = Decimal(text.replace(",", ""))
    elif fmt_name == "numcommadecimal":
        value = Decimal(text.replace(".", "").replace(",", "."))
    else:
        return None
    if negative or attributes.get("sign") == "-":
        value = -abs(value)
    return value.scaleb(int(attributes.get("scale", "0")))


# --- the writer used above follows the rules -------------------------------------


def test_the_handwritten_writer_agrees_with_json_dumps_on_the_escaping_rules():
    # The rules: \" \\ \b \t \n \f \r, \u00xx in lower case for the other
    # bytes below 0x20, everything else (solidus, DEL, non-ASCII) as it is.
    assert rules.string('"\\/\x7f') == '"\\"\\\\/\x7f"'
    assert rules.string("\x00\x08\x09\x0a\x0b\x0c\x0d\x1f") == '"\\u0000\\b\\t\\n\\u000b\\f\\r\\u001f"'
    assert rules.string("\u00e9\u2028\U0001f600") == '"\u00e9\u2028\U0001f600"'
    for code in list(range(0x800)) + [0x2028, 0x2029, 0xFEFF, 0xFFFF, 0x10000, 0x10FFFF]:
        text = chr(code)
        assert rules.string(text) == json.dumps(text, separators=(",", ":"), ensure_ascii=False)


# --- escaping and every optional member ----------------------------------------

# Every byte below 0x20, then the characters that are written as they are.
AWKWARD = "".join(chr(c) for c in range(0x20)) + '"\\/\x7f\u00e9\u20ac\U0001f600'
AWKWARD_WRITTEN = (
    '"\\u0000\\u0001\\u0002\\u0003\\u0004\\u0005\\u0006\\u0007\\b\\t\\n\\u000b\\f\\r\\u000e\\u000f'
    "\\u0010\\u0011\\u0012\\u0013\\u0014\\u0015\\u0016\\u0017\\u0018\\u0019\\u001a\\u001b\\u001c\\u001d"
    '\\u001e\\u001f\\"\\\\/\x7f\u00e9\u20ac\U0001f600"'
)


def test_caller_texts_are_escaped_by_the_rules_in_every_receipt():
    source = EDGE_CASES.read_bytes()
    jsonl = quorrel.receipts_for_bytes(source, AWKWARD, "uri " + AWKWARD, authority="auth " + AWKWARD)
    records = check_receipts(source, jsonl, AWKWARD, "uri " + AWKWARD, "auth " + AWKWARD)
    assert len(records) == 6
    for line in jsonl.splitlines():
        assert f'"doc_id":{AWKWARD_WRITTEN}' in line
        assert f'"uri":"uri {AWKWARD_WRITTEN[1:]}' in line
        assert f'"authority":"auth {AWKWARD_WRITTEN[1:]}' in line
    # No raw control character reaches the output; the only line feeds end lines.
    assert not any(ord(ch) < 0x20 for ch in jsonl.replace("\n", ""))
    assert quorrel.verify_bytes(jsonl, source) == '{"fail":0,"failures":[],"pass":6}'


def test_edge_case_instance_gives_exactly_the_expected_receipts():
    source = EDGE_CASES.read_bytes()
    jsonl = quorrel.receipts_for_bytes(source, "doc-1", "https://example.com/edge-cases.xbrl")
    records = check_receipts(source, jsonl, "doc-1", "https://example.com/edge-cases.xbrl")
    got = [
        (
            r["evidence"][0]["locator"]["concept"],
            r["evidence"][0]["locator"]["context_ref"],
            r["evidence"][0]["locator"].get("unit_ref"),
            r["claim"]["value"],
        )
        for r in records
    ]
    # Text, nil, a bad number, a missing context and a missing unit give no receipt.
    assert got == [
        ("ex:Revenue", "FY", "EUR", "1500"),  # 1500.00 with two fraction digits
        ("ex:Umsatzerl\u00f6se", 'q"\\\t\u00e9', 'u<"\\>', "-0.5"),
        ("ex:Revenue", "FY", "EUR", "1500"),
        ("ex:Headcount", "FY", None, "42"),
        ("ex:Zero", "FY", "EUR", "0"),
        ("ex:Assets", "FY", "EUR", "1234000"),
    ]
    lines = jsonl.splitlines()
    assert '"concept":"ex:Umsatzerl\u00f6se"' in lines[1]
    assert '"context_ref":"q\\"\\\\\\t\u00e9"' in lines[1]
    assert '"unit":"u<\\"\\\\>"' in lines[1] and '"unit_ref":"u<\\"\\\\>"' in lines[1]
    # A fact without unit reference has neither member, not even as null.
    assert '"unit"' not in lines[3] and '"unit_ref"' not in lines[3] and "null" not in lines[3]
    # The same key at two places: two receipts, different ranges, different ids.
    first, second = records[0], records[2]
    assert first["evidence"][0]["locator"]["byte_range"] != second["evidence"][0]["locator"]["byte_range"]
    assert first["receipt_id"] != second["receipt_id"]


def test_authority_none_and_omitted_are_identical_and_empty_authority_is_written():
    source = EDGE_CASES.read_bytes()
    omitted = quorrel.receipts_for_bytes(source, "d", "u")
    assert quorrel.receipts_for_bytes(source, "d", "u", None) == omitted
    assert quorrel.receipts_for_bytes(source, "d", "u", authority=None) == omitted
    assert '"authority"' not in omitted

    empty = quorrel.receipts_for_bytes(source, "d", "u", "")
    check_receipts(source, empty, "d", "u", "")
    for without, with_empty in zip(omitted.splitlines(), empty.splitlines(), strict=True):
        assert with_empty.count('"authority":""') == 1
        # The member follows the hash inside the artifact, and it counts in the id.
        sha = json.loads(without)["evidence"][0]["source_artifact"]["sha256"]
        assert f'"sha256":"{sha}","authority":""}}' in with_empty
        assert json.loads(with_empty)["receipt_id"] != json.loads(without)["receipt_id"]


# --- the shape of the output -------------------------------------------------------

NO_NUMBERS = (
    b'<xbrl xmlns="http://www.xbrl.org/2003/instance" xmlns:ex="http://example.com/ex">'
    b'<context id="c"><entity><identifier scheme="s">X</identifier></entity>'
    b"<period><instant>2025-12-31</instant></period></context>"
    b'<ex:Name contextRef="c">Nordlicht</ex:Name><ex:Nothing contextRef="c" unitRef="u" xsi:nil="true"/>'
    b"</xbrl>"
)

THREE_NUMBERS = (
    b'<xbrl xmlns="http://www.xbrl.org/2003/instance" xmlns:ex="http://example.com/ex">'
    b'<context id="c"><entity><identifier scheme="s">X</identifier></entity>'
    b"<period><instant>2025-12-31</instant></period></context>"
    b'<unit id="u"><measure>iso4217:EUR</measure></unit>'
    b'<ex:A contextRef="c" unitRef="u" decimals="0">1</ex:A>'
    b'<ex:B contextRef="c" unitRef="u" decimals="0">2</ex:B>'
    b'<ex:C contextRef="c" unitRef="u" decimals="0">3</ex:C>'
    b"</xbrl>"
)


@pytest.mark.parametrize("source", [NO_NUMBERS, b"<a/>", b'<?xml version="1.0"?>\n<xbrl/>'])
def test_a_document_without_numeric_facts_gives_the_empty_string(source):
    assert quorrel.receipts_for_bytes(source, "d", "u") == ""


def test_three_receipts_give_three_line_feeds_ending_the_text():
    jsonl = quorrel.receipts_for_bytes(THREE_NUMBERS, "d", "u")
    assert jsonl.count("\n") == 3 and jsonl.endswith("}\n") and "\n\n" not in jsonl
    records = check_receipts(THREE_NUMBERS, jsonl, "d", "u")
    assert [r["claim"]["value"] for r in records] == ["1", "2", "3"]


def test_same_inputs_give_the_same_ids_and_one_changed_byte_changes_every_id():
    source = EDGE_CASES.read_bytes()
    first = quorrel.receipts_for_bytes(source, "d", "u", "a")
    assert quorrel.receipts_for_bytes(bytes(source), "d", "u", "a") == first
    # Change one byte of the leading comment: the facts and their places stay.
    at = source.index(b"Plain XBRL")
    changed = source[:at] + b"p" + source[at + 1 :]
    second = quorrel.receipts_for_bytes(changed, "d", "u", "a")
    before = [json.loads(line) for line in first.splitlines()]
    after = [json.loads(line) for line in second.splitlines()]
    assert len(before) == len(after) == 6
    for old, new in zip(before, after):
        assert old["claim"] == new["claim"]
        assert old["evidence"][0]["locator"] == new["evidence"][0]["locator"]
        assert old["evidence"][0]["source_artifact"]["sha256"] != new["evidence"][0]["source_artifact"]["sha256"]
    assert not {r["receipt_id"] for r in before} & {r["receipt_id"] for r in after}


# --- inline documents ------------------------------------------------------------------


def test_inline_edge_cases_in_closing_order_without_deduplication():
    source = INLINE_EDGE_CASES.read_bytes()
    jsonl = quorrel.receipts_for_bytes(source, "d", "u")
    records = check_receipts(source, jsonl, "d", "u")
    got = [(r["evidence"][0]["locator"]["concept"], r["claim"].get("unit"), r["claim"]["value"]) for r in records]
    assert got == [
        ("ex:Employees", None, "412"),  # hidden, without unit
        ("ex:Revenue", "EUR", "1500000"),  # 1,500.0 with scale 3
        ("ex:Revenue", "EUR", "1500000"),  # the same value stated a second time
        ("ex:Loss", "EUR", "-1234.5"),  # comma decimal with sign "-"
        ("ex:Provisions", "EUR", "0"),  # a dash with a zero-dash format
        ("ex:Subtotal", "EUR", "977"),  # nested: the inner fact closes first
        ("ex:Total", "EUR", "977"),
    ]
    revenue = [r["evidence"][0]["locator"]["byte_range"] for r in records[1:3]]
    assert revenue[0] != revenue[1] and records[1]["receipt_id"] != records[2]["receipt_id"]
    (inner_start, inner_end), (outer_start, outer_end) = (r["evidence"][0]["locator"]["byte_range"] for r in records[5:])
    assert outer_start < inner_start < inner_end < outer_end
    for record in records:
        element = source[slice(*record["evidence"][0]["locator"]["byte_range"])]
        assert independent_value(element) == Decimal(record["claim"]["value"])
    assert quorrel.verify_bytes(jsonl, source) == '{"fail":0,"failures":[],"pass":7}'


def test_byte_ranges_count_after_a_leading_byte_order_mark():
    source = INLINE_EDGE_CASES.read_bytes()
    plain = [json.loads(line) for line in quorrel.receipts_for_bytes(source, "d", "u").splitlines()]
    marked_source = rules.BOM + source
    jsonl = quorrel.receipts_for_bytes(marked_source, "d", "u")
    marked = check_receipts(marked_source, jsonl, "d", "u")
    assert [r["evidence"][0]["locator"] for r in marked] == [r["evidence"][0]["locator"] for r in plain]
    # The hash covers every byte, the mark included.
    assert marked[0]["evidence"][0]["source_artifact"]["sha256"] == hashlib.sha256(marked_source).hexdigest()
    assert quorrel.verify_bytes(jsonl, marked_source) == '{"fail":0,"failures":[],"pass":7}'


def test_example_filing_receipts_are_sound_and_verify():
    source = EXAMPLE.read_bytes()
    jsonl = quorrel.receipts_for_bytes(source, "nordlicht-2025", "nordlicht-2025.xhtml", "example")
    records = check_receipts(source, jsonl, "nordlicht-2025", "nordlicht-2025.xhtml", "example")
    assert len(records) > 10
    checked = 0
    for record in records:
        element = source[slice(*record["evidence"][0]["locator"]["byte_range"])]
        value = independent_value(element)
        if value is not None:
            assert value == Decimal(record["claim"]["value"]), element
            checked += 1
    assert checked == len(records)
    summary = json.loads(quorrel.verify_bytes(jsonl, source))
    assert summary == {"fail": 0, "failures": [], "pass": len(records)}


# --- the corpus of real filings -------------------------------------------------------------


def test_every_corpus_receipt_is_sound_verifies_and_claims_the_fact_value(corpus_dir):
    documents = receipts = independently_checked = refused = 0
    for path in sorted(corpus_dir.rglob("*")):
        if path.suffix not in DOCUMENT_SUFFIXES or not path.is_file():
            continue
        source = path.read_bytes()
        name = path.relative_to(corpus_dir).as_posix()
        try:
            jsonl = quorrel.receipts_for_bytes(source, name, "corpus/" + name)
        except ValueError as error:
            # A source that cannot give receipts cannot be verified against either.
            with pytest.raises(ValueError) as caught:
                quorrel.verify_bytes("", source)
            assert str(caught.value) == f"source parse failed: {error}"
            refused += 1
            continue
        documents += 1
        records = check_receipts(source, jsonl, name, "corpus/" + name)
        receipts += len(records)
        body = rules.after_bom(source)
        for record in records:
            element = body[slice(*record["evidence"][0]["locator"]["byte_range"])]
            expected = independent_value(element)
            if expected is not None:
                assert Decimal(record["claim"]["value"]) == expected, (name, element[:200])
                independently_checked += 1
        assert quorrel.verify_bytes(jsonl, source) == f'{{"fail":0,"failures":[],"pass":{len(records)}}}', name
    assert refused <= 4
    assert documents > 200 and receipts > 5000
    # Nearly every claim has a shape simple enough to be read independently.
    assert independently_checked > 0.9 * receipts
