"""verify_bytes through the public function: how the receipts text is read,
the exact summary text, and every check's detail text for stated receipts,
derived receipts (sealed by the independent writer of receipt_json) and
Ed25519 attestations signed with the `cryptography` package."""

import copy
import json

import pytest

import quorrel
import receipt_json as rj

MAX = "79228162514264337593543950335"
FACTS = [("One", "1"), ("Two", "2"), ("Three", "3"), ("Four", "4"), ("Ninety", "90"), ("MinusHundred", "-100"),
         ("Hundred", "100"), ("HundredTen", "110"), ("Thousand", "1000"), ("Max", MAX), ("MinusOne", "-1"),
         ("Zero", "0"), ("Dup", "5"), ("Dup", "6")]
SOURCE = (
    b'<xbrl xmlns="http://www.xbrl.org/2003/instance" xmlns:ex="http://example.com/ex">\n'
    b'<context id="c1"><entity><identifier scheme="http://example.com">X</identifier></entity>'
    b'<period><instant>2024-12-31</instant></period></context>\n<unit id="u1"><measure>iso4217:EUR</measure></unit>\n'
    + b"".join(f'<ex:{n} contextRef="c1" unitRef="u1" decimals="INF">{v}</ex:{n}>\n'.encode() for n, v in FACTS)
    + b'<ex:Name contextRef="c1">Nordlicht</ex:Name>\n</xbrl>\n'
)
ORDER = ["receipt_id", "evidence_shape", "artifact_hash", "locate", "byte_range", "value_match", "input_resolution",
         "recompute", "attestation"]
SHAPE = "derived receipt must have kind=derived, empty evidence, non-empty derivation"
BAD_ID = "receipt body does not hash to receipt_id"
INVALID_SIGNATURE = "signature invalid over canonical body"
GHOST = "er_" + "f" * 64
SIGNER, OTHER_SIGNER = rj.Signer(b"\x2a" * 32), rj.Signer(b"\x2b" * 32)


@pytest.fixture(scope="module")
def stated():
    """The stated receipts of SOURCE by concept local name (the second Dup is Dup2)."""
    out = {}
    for receipt in rj.lines(quorrel.receipts_for_bytes(SOURCE, "doc", "urn:source")):
        name = receipt["evidence"][0]["locator"]["concept"].split(":")[1]
        out[name + ("2" if name in out else "")] = receipt
    assert len(out) == len(FACTS)
    return out


def element_range(name):
    start = SOURCE.index(f"<ex:{name} ".encode())
    return start, SOURCE.index(f"</ex:{name}>".encode(), start) + len(f"</ex:{name}>")


def checks(receipts, source=SOURCE):
    """[(name, detail or None)] of the last receipt verified after the others; [] when it passed."""
    result = json.loads(quorrel.verify_bytes(rj.jsonl(receipts), source))
    assert result["pass"] + result["fail"] == len(receipts)
    reports = [r for r in result["failures"] if r["receipt_id"] == receipts[-1]["receipt_id"]]
    if not reports:
        return []
    found = [(c["name"], c.get("detail")) for c in reports[-1]["checks"]]
    assert all((d is None) == c["pass"] for (_, d), c in zip(found, reports[-1]["checks"]))
    assert [n for n, _ in found] == sorted((n for n, _ in found), key=ORDER.index)
    return found


# --- reading the receipts text -------------------------------------------------


def test_line_ends_and_blank_lines(stated):
    lines = [rj.line(stated[n]) for n in ("One", "Two", "Three")]
    for text in [
        "\n".join(lines),
        "\r\n".join(lines) + "\r\n",
        # Lines of Unicode white space are blank.
        "\n\n" + "\n \t\u3000\x85\u2028\xa0 \n".join(lines) + "\n\n",
        # A carriage return before the line feed goes; others are JSON white space.
        "\r\n".join("\r" + line + "\r\r" for line in lines),
    ]:
        assert quorrel.verify_bytes(text, SOURCE) == '{"fail":0,"failures":[],"pass":3}', repr(text[:40])


def test_the_first_unreadable_line_raises_its_message_counted_within_that_line(stated):
    one, two = rj.line(stated["One"]), rj.line(stated["Two"])
    number = one.replace('"value":"1"', '"value":1')
    tampered = one.replace('"value":"1"', '"value":"7"')
    cases = {
        f"{one}\n\ufeff\n{two}": "expected value at line 1 column 1",  # a byte-order mark is no white space
        f"{one}\n#\n{{}}": "expected value at line 1 column 1",  # the first bad line wins
        f"{one}\n{two[:-1]}": f"EOF while parsing an object at line 1 column {len(two) - 1}",
        number: f"invalid type: integer `1`, expected a string at line 1 column {number.index(':1,') + 2}",
        f"{two}\u3000\n": f"trailing characters at line 1 column {len(two.encode()) + 1}",
        # Reading stops before any verification.
        f"{tampered}\n{{\n{two}": "EOF while parsing an object at line 1 column 1",
    }
    for text, message in cases.items():
        with pytest.raises(ValueError) as caught:
            quorrel.verify_bytes(text, SOURCE)
        assert str(caught.value) == message, repr(text)


def test_the_summary_text_is_exact_with_keys_sorted_and_texts_escaped(stated):
    one = copy.deepcopy(stated["One"])
    one["claim"]["value"] = 'x"\\\x01\t/\u00e9'
    one["evidence"][0]["locator"]["byte_range"] = None
    start, end = element_range("One")
    assert quorrel.verify_bytes(rj.line(rj.sealed(one)), SOURCE) == (
        '{"fail":1,"failures":[{"checks":[{"name":"receipt_id","pass":true},{"name":"evidence_shape","pass":true},'
        '{"name":"artifact_hash","pass":true},{"name":"locate","pass":true},'
        f'{{"detail":"recorded None, re-parsed Some(({start}, {end}))","name":"byte_range","pass":false}},'
        '{"detail":"claimed x\\"\\\\\\u0001\\t/\u00e9, source has 1","name":"value_match","pass":false}'
        f'],"receipt_id":"{one["receipt_id"]}","status":"failed"}}],"pass":0}}'
    )


def test_reports_keep_input_order_and_identical_receipts_each_count(stated):
    one, two = stated["One"], stated["Two"]
    bad = [dict(r, claim=dict(r["claim"], value="9")) for r in (two, one, two)]
    result = json.loads(quorrel.verify_bytes(rj.jsonl([bad[0], one, bad[1], two, bad[2], one]), SOURCE))
    assert (result["pass"], result["fail"]) == (3, 3)
    assert [r["receipt_id"] for r in result["failures"]] == [two["receipt_id"], one["receipt_id"], two["receipt_id"]]


# --- derived receipts ------------------------------------------------------------


@pytest.mark.parametrize(
    "op, first, second, round_dp, expected",
    [
        ("ratio", "One", "Four", None, "0.25"),
        ("ratio", "Two", "Three", 4, "0.6667"),
        ("ratio", "Two", "Three", None, "0.6666666666666666666666666667"),
        ("ratio", "MinusOne", "Four", 0, "0"),
        ("growth_rate", "Ninety", "MinusHundred", None, "1.9"),
        ("growth_rate", "Hundred", "HundredTen", 3, "-0.091"),
        ("difference", "Thousand", "MinusOne", None, "1001"),
    ],
)
def test_derived_claims_are_recomputed_from_their_parents(stated, op, first, second, round_dp, expected):
    parents = list(stated.values())
    inputs = [(stated[first], None, "first"), (stated[second], None, "second")]
    assert checks(parents + [rj.derived(expected, op, inputs, round_dp)]) == []
    other = expected[1:] if expected.startswith("-") else "9" + expected
    assert checks(parents + [rj.derived(other, op, inputs, round_dp)]) == [
        ("receipt_id", None), ("evidence_shape", None), ("input_resolution", None),
        ("recompute", f"recomputed {expected}, claimed {other}"),
    ]
    # The order of the operands matters.
    assert checks(parents + [rj.derived(expected, op, inputs[::-1], round_dp)]) != []


def ratio(s, claim="0.25", a="One", b="Four", op="ratio", round_dp=None):
    return rj.derived(claim, op, [(s[a], None, "a"), (s[b], None, "b")], round_dp)


def edited(receipt, change, seal=True):
    r = copy.deepcopy(receipt)
    change(r)
    return rj.sealed(r) if seal else r


def locator(**members):
    return lambda r: r["evidence"][0]["locator"].update(members)


def claim(value):
    return lambda r: r["claim"].update(value=value)


def attested(receipt, **changes):
    """The receipt signed, then members of its attestation changed."""
    r = SIGNER.attest(copy.deepcopy(receipt))
    for member, change in changes.items():
        r["attestation"][member] = change(r["attestation"][member])
    return r


def joined_input_problems(s):
    tampered = edited(s["Two"], claim("20"), seal=False)  # no longer hashes to its id
    thousand = edited(s["Thousand"], claim("1000.0"))
    inputs = [(GHOST, "x", "a"), (tampered, "20", "b"), (thousand, "1000", "c"), (s["One"], None, "d")]
    return [tampered, thousand, rj.derived("7", "difference", inputs)]


def upper_hash(r):
    artifact = r["evidence"][0]["source_artifact"]
    artifact["sha256"] = artifact["sha256"].upper()


def flip(hex_text, at=10):
    """The text with one hexadecimal digit changed."""
    at %= len(hex_text)
    return hex_text[:at] + ("1" if hex_text[at] == "0" else "0") + hex_text[at + 1 :]


INVALID = {"attestation": INVALID_SIGNATURE}
DETAILS = [
    # Derived receipts, verified after every stated receipt of SOURCE.
    ("equal in value", lambda s: [ratio(s, "2.5e-1")], {}),
    ("three inputs", lambda s: [rj.derived("1", "ratio", [(s[n], None, n) for n in ("One", "Two", "Three")])],
     {"recompute": "recompute failed: derivation failed: operation needs 2 inputs, got 3"}),
    ("input problems", joined_input_problems, {
        "input_resolution": f"{GHOST}: unknown parent; {{Two}}: parent fails integrity; "
                            "{Thousand}: consumed 1000 but parent claims 1000.0",
        # "x" does not parse and is skipped, which leaves three operands.
        "recompute": "recompute failed: derivation failed: operation needs 2 inputs, got 3"}),
    ("division by zero", lambda s: [ratio(s, "0", "One", "Zero", round_dp=2)],
     {"recompute": "recompute failed: derivation failed: division by zero"}),
    ("overflow", lambda s: [ratio(s, "0", "Max", "MinusOne", op="difference")],
     {"recompute": "recompute failed: derivation failed: decimal overflow"}),
    ("marked stated", lambda s: [edited(ratio(s), lambda r: r["claim"].update(kind="stated"))],
     {"evidence_shape": SHAPE}),
    ("with evidence", lambda s: [edited(ratio(s), lambda r: r.update(evidence=s["One"]["evidence"]))],
     {"evidence_shape": SHAPE}),
    ("no derivation", lambda s: [edited(ratio(s), lambda r: r.pop("derivation"))],
     {"evidence_shape": "0 evidence items, expected exactly 1"}),
    # Stated receipts.
    ("schema", lambda s: [edited(s["One"], lambda r: r.update(schema="er/0.3"))], {"receipt_id": BAD_ID}),
    ("id in upper case", lambda s: [dict(s["One"], receipt_id="er_" + s["One"]["receipt_id"][3:].upper())],
     {"receipt_id": BAD_ID}),
    ("last digit of the id", lambda s: [dict(s["One"], receipt_id=flip(s["One"]["receipt_id"], -1))],
     {"receipt_id": BAD_ID}),
    ("hash in upper case", lambda s: [edited(s["One"], upper_hash)],
     {"artifact_hash": "expected {SHA}, got {sha}"}),
    ("concept", lambda s: [edited(s["One"], locator(concept="ex:one"))],
     {"locate": "matched 0 facts, expected exactly 1"}),
    ("no byte range", lambda s: [edited(s["One"], locator(byte_range=None))],
     {"byte_range": "recorded None, re-parsed Some(({One}))"}),
    ("same key twice", lambda s: [edited(s["Dup2"], locator(byte_range=[0, 1]))], {
        "locate": "matched 2 facts, expected exactly 1",
        "byte_range": "recorded Some((0, 1)), re-parsed Some(({Dup}))", "value_match": "claimed 6, source has 5"}),
    ("value in words", lambda s: [edited(s["One"], claim("one"))], {"value_match": "claimed one, source has 1"}),
    ("value spelled otherwise", lambda s: [edited(s["One"], claim("1.0"))], {}),
    ("text fact", lambda s: [edited(s["One"], locator(concept="ex:Name", unit_ref=None, byte_range=None))], {
        "byte_range": "recorded None, re-parsed Some(({Name}))",
        "value_match": "located fact has no re-derivable numeric value"}),
    ("two evidence items", lambda s: [edited(s["One"], lambda r: r.update(evidence=r["evidence"] * 2))],
     {"evidence_shape": "2 evidence items, expected exactly 1"}),
    # Attestations.
    ("hex in upper case", lambda s: [attested(ratio(s), public_key=str.upper, sig=str.upper)], {}),
    ("algorithm", lambda s: [attested(s["Four"], alg=lambda a: "Ed25519")], INVALID),
    ("other key", lambda s: [attested(s["Four"], public_key=lambda k: OTHER_SIGNER.public_hex)], INVALID),
    ("short key", lambda s: [attested(s["Four"], public_key=lambda k: k[:-2])], INVALID),
    ("flipped signature bit", lambda s: [attested(ratio(s), sig=flip)], INVALID),
    ("changed after signing", lambda s: [edited(attested(s["One"]), claim("2"), seal=False)],
     {"receipt_id": BAD_ID, "value_match": "claimed 2, source has 1", "attestation": INVALID_SIGNATURE}),
    # The signature covers the body, not the schema or the id.
    ("schema of a signed receipt", lambda s: [dict(attested(s["One"]), schema="er/0.1")], {"receipt_id": BAD_ID}),
]


@pytest.mark.parametrize("build, expected", [pytest.param(b, e, id=name) for name, b, e in DETAILS])
def test_failing_checks_and_their_detail_texts(stated, build, expected):
    sha = stated["One"]["evidence"][0]["source_artifact"]["sha256"]
    names = {"sha": sha, "SHA": sha.upper(), "Two": stated["Two"]["receipt_id"],
             "Thousand": edited(stated["Thousand"], claim("1000.0"))["receipt_id"],
             **{n: "%d, %d" % element_range(n) for n in ("One", "Dup", "Name")}}
    found = checks(list(stated.values()) + build(stated))
    assert {n: d for n, d in found if d is not None} == {k: v.format(**names) for k, v in expected.items()}
