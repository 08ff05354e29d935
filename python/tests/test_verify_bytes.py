"""verify_bytes as a whole: the source read first, the JSONL split into
records, the first bad record's message, the receipt index, the order of the
reports and the exact summary text; and the round trip from receipts_for_bytes
over the bundled example and every parsable document of the shared corpus."""

import copy
import json
from pathlib import Path

import pytest

import quorrel
import receipt_json as rj

ROOT = Path(__file__).resolve().parents[2]
EXAMPLE = ROOT / "examples" / "nordlicht-2025.xhtml"
EMPTY = '{"fail":0,"failures":[],"pass":0}'

SOURCE = (
    b'<?xml version="1.0" encoding="UTF-8"?>\n'
    b'<xbrl xmlns="http://www.xbrl.org/2003/instance" xmlns:ex="http://example.com/ex">\n'
    b'<context id="c1"><entity><identifier scheme="http://example.com">X</identifier></entity>'
    b"<period><instant>2024-12-31</instant></period></context>\n"
    b'<unit id="u1"><measure>iso4217:EUR</measure></unit>\n'
    b'<ex:Revenue contextRef="c1" unitRef="u1" decimals="0">1200</ex:Revenue>\n'
    b'<ex:Costs contextRef="c1" unitRef="u1" decimals="0">300</ex:Costs>\n'
    b'<ex:Staff contextRef="c1" decimals="0">12</ex:Staff>\n'
    b"</xbrl>\n"
)


def receipts():
    """The three stated receipts of SOURCE as dicts, in fact order."""
    return rj.lines(quorrel.receipts_for_bytes(SOURCE, "doc", "urn:test"))


def summary(receipts_text, source=SOURCE):
    text = quorrel.verify_bytes(receipts_text, source)
    return text, json.loads(text)


def failing_ids(receipts_text, source=SOURCE):
    return [r["receipt_id"] for r in summary(receipts_text, source)[1]["failures"]]


def raises(receipts_text, source=SOURCE):
    with pytest.raises(ValueError) as caught:
        quorrel.verify_bytes(receipts_text, source)
    return str(caught.value)


# --- the source comes first ------------------------------------------------------


@pytest.mark.parametrize("source", [b"</xbrl>", b"<xbrl>\xff</xbrl>", b"<a><b></a>", b"<a x=1/>"])
def test_a_bad_source_is_reported_before_any_receipt_is_read(source):
    with pytest.raises(ValueError) as parse_error:
        quorrel.receipts_for_bytes(source, "d", "u")
    expected = "source parse failed: " + str(parse_error.value)
    for receipts_text in ["", "not json\n", "{}", "\ufeff"]:
        assert raises(receipts_text, source) == expected


def test_an_empty_receipts_text_gives_the_empty_summary():
    assert quorrel.verify_bytes("", SOURCE) == EMPTY
    assert quorrel.verify_bytes("", b"<xbrl/>") == EMPTY


# --- cutting the text into records ---------------------------------------------

WHITE_SPACE = "\t\n\x0b\x0c\r \x85\xa0\u1680" + "".join(chr(c) for c in range(0x2000, 0x200B)) + "\u2028\u2029\u202f\u205f\u3000"
NOT_WHITE_SPACE = ["\u200b", "\u180e", "\ufeff", "\u2060", "\x00", "\x1c", "\x1f"]


def test_line_ends_blank_lines_and_a_last_line_without_line_feed():
    lines = [rj.line(r) for r in receipts()]
    variants = [
        "\n".join(lines),
        "\n".join(lines) + "\n",
        "\r\n".join(lines) + "\r\n",
        "\n\n" + "\n \t \n".join(lines) + "\n\n\n",
        "\r\n\r\n".join(lines) + "\r\n\r",
        # A carriage return before the line feed goes; one elsewhere stays
        # in the line, where JSON allows it as white space around the record.
        "\r\n".join(line + "\r\r" for line in lines),
        "\n".join("\r" + line for line in lines),
    ]
    for text in variants:
        assert quorrel.verify_bytes(text, SOURCE) == '{"fail":0,"failures":[],"pass":3}', repr(text[:40])


def test_every_unicode_white_space_character_makes_a_line_blank():
    line = rj.line(receipts()[0])
    assert quorrel.verify_bytes(WHITE_SPACE + "\n" + line, SOURCE) == '{"fail":0,"failures":[],"pass":1}'
    for ch in WHITE_SPACE:
        text = f"{ch}\n{ch}{ch}\n{line}\n{ch}"
        assert quorrel.verify_bytes(text, SOURCE) == '{"fail":0,"failures":[],"pass":1}', hex(ord(ch))


@pytest.mark.parametrize("ch", NOT_WHITE_SPACE)
def test_other_characters_make_a_line_that_must_be_a_receipt(ch):
    line = rj.line(receipts()[0])
    assert raises(f"{line}\n{ch}\n{line}") == "expected value at line 1 column 1"


def test_unicode_white_space_may_not_surround_a_record():
    # Only JSON white space may: these are blank-line characters, not JSON's.
    line = rj.line(receipts()[0])
    assert raises(f"{line}\n\u00a0{line}") == "expected value at line 1 column 1"
    assert raises(f"{line}\u3000\n") == f"trailing characters at line 1 column {len(line.encode()) + 1}"


def test_a_byte_order_mark_is_no_white_space():
    line = rj.line(receipts()[0])
    assert raises("\ufeff" + line) == "expected value at line 1 column 1"
    assert raises("\ufeff\n" + line) == "expected value at line 1 column 1"


def test_json_white_space_around_a_record_is_allowed():
    line = rj.line(receipts()[0])
    assert quorrel.verify_bytes(f" \t{line}\t \r", SOURCE) == '{"fail":0,"failures":[],"pass":1}'


# --- the first bad record stops the call -----------------------------------------


def test_the_first_bad_line_raises_the_readers_message_counted_within_that_line():
    lines = [rj.line(r) for r in receipts()]
    assert raises(lines[0] + "\n{}\n") == "missing field `schema` at line 1 column 2"
    assert raises("\n".join(lines + ["{}", "#"])) == "missing field `schema` at line 1 column 2"
    assert raises("\n".join(lines + ["#", "{}"])) == "expected value at line 1 column 1"
    assert raises("\n".join(lines + ["nonsense", "{}"])) == "expected ident at line 1 column 2"
    assert raises(lines[0] + "\n" + lines[1][:-1]) == f"EOF while parsing an object at line 1 column {len(lines[1]) - 1}"
    value_as_number = lines[0].replace('"value":"1200"', '"value":1200')
    # The column is the byte just past the offending value.
    column = value_as_number.index(":1200") + len(":1200")
    assert raises(value_as_number) == f"invalid type: integer `1200`, expected a string at line 1 column {column}"
    # A bad line after a bad receipt: the reading stops before any verification,
    # so a receipt that would fail is no excuse for a missing report.
    tampered = lines[0].replace('"1200"', '"1201"')
    assert raises(tampered + "\n" + "{" + "\n" + lines[1]) == "EOF while parsing an object at line 1 column 1"


def test_fields_missing_in_declaration_order():
    receipt = receipts()[0]
    for missing in ["schema", "receipt_id", "claim", "evidence"]:
        broken = {k: v for k, v in json.loads(rj.line(receipt)).items() if k != missing}
        assert raises(json.dumps(broken, separators=(",", ":"))).startswith(f"missing field `{missing}` at line 1 column ")


# --- the receipt index and the reports -----------------------------------------


def test_two_identical_receipts_both_pass():
    line = rj.line(receipts()[0])
    assert quorrel.verify_bytes(line + "\n" + line + "\n", SOURCE) == '{"fail":0,"failures":[],"pass":2}'


def test_a_later_receipt_with_the_same_id_is_the_parent_found():
    revenue, costs, _ = receipts()
    impostor = copy.deepcopy(revenue)
    impostor["claim"]["value"] = "1300"  # states revenue's id over another body
    child = rj.derived("900", "difference", [(revenue, None, "minuend"), (costs, None, "subtrahend")])

    _, first = summary(rj.jsonl([revenue, impostor, costs, child]))
    assert first["pass"] == 2
    assert [r["receipt_id"] for r in first["failures"]] == [revenue["receipt_id"], child["receipt_id"]]
    child_report = first["failures"][1]
    assert child_report["checks"][2] == {
        "detail": f"{revenue['receipt_id']}: parent fails integrity",
        "name": "input_resolution",
        "pass": False,
    }
    # Both receipts under the id are verified on their own.
    assert first["failures"][0]["checks"][0]["name"] == "receipt_id"

    _, second = summary(rj.jsonl([impostor, revenue, costs, child]))
    assert second["pass"] == 3
    assert [r["receipt_id"] for r in second["failures"]] == [revenue["receipt_id"]]


def test_reports_keep_input_order_and_pass_plus_fail_counts_every_record():
    revenue, costs, staff = receipts()
    bad = []
    for i, base in enumerate([staff, revenue, costs, staff]):
        r = copy.deepcopy(base)
        r["claim"]["doc_id"] = f"other-{i}"
        bad.append(rj.sealed(r))
        bad[-1]["claim"]["value"] = "1"  # id no longer matches
    text = rj.jsonl([bad[0], revenue, bad[1], bad[2], costs, bad[3], staff])
    _, result = summary(text)
    assert result["pass"] == 3
    assert result["fail"] == 4
    assert [r["receipt_id"] for r in result["failures"]] == [r["receipt_id"] for r in bad]


def test_the_summary_text_is_exact_with_keys_sorted_and_texts_escaped():
    revenue = receipts()[0]
    revenue["claim"]["value"] = 'x"\\\x01\t/\u00e9'
    revenue["evidence"][0]["locator"]["byte_range"] = None
    text = rj.line(rj.sealed(revenue))
    rid = revenue["receipt_id"]
    sha = revenue["evidence"][0]["source_artifact"]["sha256"]
    assert quorrel.verify_bytes(text, SOURCE) == (
        '{"fail":1,"failures":[{"checks":['
        '{"name":"receipt_id","pass":true},'
        '{"name":"evidence_shape","pass":true},'
        '{"name":"artifact_hash","pass":true},'
        '{"name":"locate","pass":true},'
        f'{{"detail":"recorded None, re-parsed Some((318, 389))","name":"byte_range","pass":false}},'
        '{"detail":"claimed x\\"\\\\\\u0001\\t/\u00e9, source has 1200","name":"value_match","pass":false}'
        f'],"receipt_id":"{rid}","status":"failed"}}],"pass":0}}'
    )
    assert len(sha) == 64
    assert SOURCE[318:389] == b'<ex:Revenue contextRef="c1" unitRef="u1" decimals="0">1200</ex:Revenue>'


# --- round trips ---------------------------------------------------------------


def assert_round_trip(document, label):
    """Receipts built from a document verify against it, every one; and the
    independent writer of these tests reproduces each line and id."""
    text = quorrel.receipts_for_bytes(document, "doc-1", "https://example.com/filing", "authority")
    lines = text.splitlines()
    assert quorrel.verify_bytes(text, document) == f'{{"fail":0,"failures":[],"pass":{len(lines)}}}', label
    for line in lines:
        receipt = rj.read(line)
        assert rj.line(receipt) == line, label
        assert rj.receipt_id(receipt) == receipt["receipt_id"], label
    return len(lines)


def test_the_bundled_example_round_trips():
    assert assert_round_trip(EXAMPLE.read_bytes(), EXAMPLE.name) == 27


def test_every_parsable_corpus_document_round_trips(corpus_dir):
    documents = receipts_total = 0
    for path in sorted(p for p in corpus_dir.rglob("*") if p.is_file() and p.suffix != ".tsv"):
        document = path.read_bytes()
        try:
            quorrel.receipts_for_bytes(document, "d", "u")
        except ValueError:
            continue
        receipts_total += assert_round_trip(document, str(path))
        documents += 1
    assert documents > 100
    assert receipts_total > 1000
