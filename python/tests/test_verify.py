"""verify_bytes as a Python caller sees it: the exact summary text, and the
first unreadable line raising its reader message with columns counted in
bytes of that line. The checks themselves are pinned by the C++ tables."""

import copy

import pytest

import quorrel
import receipt_json as rj

SOURCE = (
    b'<xbrl xmlns="http://www.xbrl.org/2003/instance" xmlns:ex="http://example.com/ex">\n'
    b'<context id="c1"><entity><identifier scheme="http://example.com">X</identifier></entity>'
    b'<period><instant>2024-12-31</instant></period></context>\n<unit id="u1"><measure>iso4217:EUR</measure></unit>\n'
    b'<ex:One contextRef="c1" unitRef="u1" decimals="INF">1</ex:One>\n'
    b'<ex:Two contextRef="c1" unitRef="u1" decimals="INF">2</ex:Two>\n</xbrl>\n'
)


@pytest.fixture(scope="module")
def stated():
    return rj.lines(quorrel.receipts_for_bytes(SOURCE, "doc", "urn:source"))


def test_the_summary_text_is_exact_with_keys_sorted_and_texts_escaped(stated):
    one = copy.deepcopy(stated[0])
    one["claim"]["value"] = 'x"\\\x01\t/\u00e9'
    one["evidence"][0]["locator"]["byte_range"] = None
    start = SOURCE.index(b"<ex:One ")
    end = SOURCE.index(b"</ex:One>") + len(b"</ex:One>")
    assert quorrel.verify_bytes(rj.line(rj.sealed(one)) + "\n" + rj.line(stated[1]), SOURCE) == (
        '{"fail":1,"failures":[{"checks":[{"name":"receipt_id","pass":true},{"name":"evidence_shape","pass":true},'
        '{"name":"artifact_hash","pass":true},{"name":"locate","pass":true},'
        f'{{"detail":"recorded None, re-parsed Some(({start}, {end}))","name":"byte_range","pass":false}},'
        '{"detail":"claimed x\\"\\\\\\u0001\\t/\u00e9, source has 1","name":"value_match","pass":false}'
        f'],"receipt_id":"{one["receipt_id"]}","status":"failed"}}],"pass":1}}'
    )


def test_the_first_unreadable_line_raises_its_message_counted_within_that_line(stated):
    one, two = rj.line(stated[0]), rj.line(stated[1])
    tampered = one.replace('"value":"1"', '"value":"7"')
    cases = {
        f"{one}\n\ufeff\n{two}": "expected value at line 1 column 1",  # a byte-order mark is no white space
        f"{tampered}\n#\n{{}}": "expected value at line 1 column 1",  # the first bad line wins, before any check
        f"{two}\u3000\n": f"trailing characters at line 1 column {len(two.encode()) + 1}",  # columns count bytes
    }
    for text, message in cases.items():
        with pytest.raises(ValueError) as caught:
            quorrel.verify_bytes(text, SOURCE)
        assert str(caught.value) == message, repr(text)
