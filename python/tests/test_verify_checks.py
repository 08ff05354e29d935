"""Every check of a verification report through verify_bytes, with its exact
detail text: stated receipts against the source, derived receipts against
their parents (built and sealed here by an independent writer), and Ed25519
attestations signed here over the canonical body."""

import copy
import json

import pytest

import quorrel
import receipt_json as rj

MAX = "79228162514264337593543950335"

# Facts named by what they hold; Dup twice under one key; Name is text.
FACTS = [
    ("One", "1"), ("Two", "2"), ("Three", "3"), ("Four", "4"), ("Seven", "7"), ("SevenToo", "7"),
    ("Ninety", "90"), ("MinusHundred", "-100"), ("Hundred", "100"), ("HundredTen", "110"),
    ("Thousand", "1000"), ("Max", MAX), ("MinusOne", "-1"), ("Zero", "0"), ("Dup", "5"), ("Dup", "6"),
]
SOURCE = (
    b'<xbrl xmlns="http://www.xbrl.org/2003/instance" xmlns:ex="http://example.com/ex">\n'
    b'<context id="c1"><entity><identifier scheme="http://example.com">X</identifier></entity>'
    b"<period><instant>2024-12-31</instant></period></context>\n"
    b'<unit id="u1"><measure>iso4217:EUR</measure></unit>\n'
    + b"".join(
        f'<ex:{name} contextRef="c1" unitRef="u1" decimals="INF">{value}</ex:{name}>\n'.encode() for name, value in FACTS
    )
    + b'<ex:Name contextRef="c1">Nordlicht</ex:Name>\n</xbrl>\n'
)

SHAPE = "derived receipt must have kind=derived, empty evidence, non-empty derivation"
INVALID_SIGNATURE = "signature invalid over canonical body"
BAD_ID = "receipt body does not hash to receipt_id"


@pytest.fixture(scope="module")
def stated():
    """The stated receipts of SOURCE by concept local name (Dup gives Dup and Dup2)."""
    out = {}
    for receipt in rj.lines(quorrel.receipts_for_bytes(SOURCE, "doc", "urn:source")):
        name = receipt["evidence"][0]["locator"]["concept"].split(":")[1]
        out[name + ("2" if name in out else "")] = receipt
    return out


def parents(stated):
    return [stated[name] for name, _ in FACTS if name != "Dup"]


def verify(receipts):
    return json.loads(quorrel.verify_bytes(rj.jsonl(receipts), SOURCE))


def checks(receipt, batch=()):
    """The check list of the receipt verified in a batch with the given
    receipts: [(name, detail)], detail None for a passing check; [] when the
    receipt verified."""
    result = verify(list(batch) + [receipt])
    reports = [r for r in result["failures"] if r["receipt_id"] == receipt["receipt_id"]]
    if not reports:
        return []
    for check in reports[-1]["checks"]:
        assert ("detail" in check) == (not check["pass"])
    return [(c["name"], c.get("detail")) for c in reports[-1]["checks"]]


def failed(receipt, batch=()):
    """Only the failing checks, as {name: detail}."""
    return {name: detail for name, detail in checks(receipt, batch) if detail is not None}


def test_the_fixture_verifies_whole(stated):
    assert len(stated) == len(FACTS)
    assert verify(list(stated.values())) == {"fail": 0, "failures": [], "pass": len(FACTS)}


# --- derived receipts ------------------------------------------------------------

OPERATION_EXAMPLES = [
    ("ratio", "One", "Four", None, "0.25"),
    ("ratio", "One", "Four", 1, "0.3"),
    ("ratio", "Two", "Three", 4, "0.6667"),
    ("ratio", "Two", "Three", None, "0.6666666666666666666666666667"),
    ("ratio", "MinusOne", "Four", 0, "0"),
    ("growth_rate", "Ninety", "MinusHundred", None, "1.9"),
    ("growth_rate", "HundredTen", "Hundred", 2, "0.1"),
    ("growth_rate", "Hundred", "HundredTen", 3, "-0.091"),
    ("difference", "Seven", "SevenToo", None, "0"),
    ("difference", "Thousand", "MinusOne", None, "1001"),
]


@pytest.mark.parametrize("op,first,second,round_dp,expected", OPERATION_EXAMPLES)
def test_operation_examples_verify_and_a_different_claim_shows_the_recomputed_value(
    stated, op, first, second, round_dp, expected
):
    batch = parents(stated)
    inputs = [(stated[first], None, "first"), (stated[second], None, "second")]
    good = rj.derived(expected, op, inputs, round_dp)
    assert checks(good, batch) == []
    other = expected[1:] if expected.startswith("-") else "9" + expected
    assert checks(rj.derived(other, op, inputs, round_dp), batch) == [
        ("receipt_id", None),
        ("evidence_shape", None),
        ("input_resolution", None),
        ("recompute", f"recomputed {expected}, claimed {other}"),
    ]
    # The order of the operands matters for every operation but a zero difference.
    swapped = rj.derived(expected, op, inputs[::-1], round_dp)
    assert (checks(swapped, batch) == []) == (op == "difference" and expected == "0")


def test_claims_equal_in_value_pass(stated):
    batch = parents(stated)
    inputs = [(stated["One"], None, "n"), (stated["Four"], None, "d")]
    for claim in ["0.25", "0.250", "0.2500000", "2.5e-1", "+0.25"]:
        assert checks(rj.derived(claim, "ratio", inputs), batch) == [], claim
    for claim in ["0.251", "0.25 ", "1/4", ""]:
        assert failed(rj.derived(claim, "ratio", inputs), batch) == {"recompute": f"recomputed 0.25, claimed {claim}"}


def test_three_intact_inputs_fail_only_on_the_operand_count(stated):
    batch = parents(stated)
    inputs = [(stated[n], None, n) for n in ("One", "Two", "Three")]
    assert checks(rj.derived("0.5", "ratio", inputs), batch) == [
        ("receipt_id", None),
        ("evidence_shape", None),
        ("input_resolution", None),
        ("recompute", "recompute failed: derivation failed: operation needs 2 inputs, got 3"),
    ]


def test_unknown_parent_still_gives_its_operand(stated):
    batch = parents(stated)
    ghost = "er_" + "0" * 64
    receipt = rj.derived("0.25", "ratio", [(ghost, "1", "n"), (stated["Four"], None, "d")])
    assert failed(receipt, batch) == {"input_resolution": f"{ghost}: unknown parent"}
    # The parent must be in the same batch.
    assert failed(rj.derived("0.25", "ratio", [(stated["One"], None, "n"), (stated["Four"], None, "d")]), []) == {
        "input_resolution": f"{stated['One']['receipt_id']}: unknown parent; {stated['Four']['receipt_id']}: unknown parent"
    }


def test_consumed_values_compare_as_text(stated):
    # A parent claiming 1000.0 for the fact holding 1000 verifies itself, yet
    # a child consuming 1000 from it does not match it.
    thousand = copy.deepcopy(stated["Thousand"])
    thousand["claim"]["value"] = "1000.0"
    rj.sealed(thousand)
    batch = parents(stated) + [thousand]
    assert checks(thousand, batch) == []
    child = rj.derived("1000", "ratio", [(thousand, "1000", "n"), (stated["One"], None, "d")])
    assert failed(child, batch) == {
        "input_resolution": f"{thousand['receipt_id']}: consumed 1000 but parent claims 1000.0"
    }


def test_every_input_problem_is_reported_joined_in_input_order(stated):
    tampered = copy.deepcopy(stated["Two"])
    tampered["claim"]["value"] = "20"  # no longer hashes to its id
    thousand = rj.sealed(dict(copy.deepcopy(stated["Thousand"]), claim=dict(stated["Thousand"]["claim"], value="1000.0")))
    ghost = "er_" + "f" * 64
    batch = [stated["One"], tampered, thousand]
    child = rj.derived(
        "7", "difference", [(ghost, "x", "a"), (tampered, "20", "b"), (thousand, "1000", "c"), (stated["One"], None, "d")]
    )
    assert checks(child, batch) == [
        ("receipt_id", None),
        ("evidence_shape", None),
        (
            "input_resolution",
            f"{ghost}: unknown parent; {tampered['receipt_id']}: parent fails integrity; "
            f"{thousand['receipt_id']}: consumed 1000 but parent claims 1000.0",
        ),
        # "x" does not parse and is skipped; three operands remain.
        ("recompute", "recompute failed: derivation failed: operation needs 2 inputs, got 3"),
    ]


def test_zero_divisor_and_overflow_fail_recompute(stated):
    batch = parents(stated)
    for op in ("ratio", "growth_rate"):
        receipt = rj.derived("0", op, [(stated["One"], None, "n"), (stated["Zero"], None, "d")], 2)
        assert failed(receipt, batch) == {"recompute": "recompute failed: derivation failed: division by zero"}
    overflow = "recompute failed: derivation failed: decimal overflow"
    for op, first, second in [("difference", "Max", "MinusOne"), ("growth_rate", "Max", "MinusOne")]:
        receipt = rj.derived("0", op, [(stated[first], None, "a"), (stated[second], None, "b")])
        assert failed(receipt, batch) == {"recompute": overflow}
    ratio = rj.derived("0", "ratio", [(stated["Max"], None, "a"), (MAX, "0.5", "b")])
    assert failed(ratio, batch) == {"input_resolution": f"{MAX}: unknown parent", "recompute": overflow}


def test_the_shape_of_a_derived_receipt(stated):
    batch = parents(stated)
    inputs = [(stated["One"], None, "n"), (stated["Four"], None, "d")]
    stated_kind = rj.derived("0.25", "ratio", inputs)
    stated_kind["claim"]["kind"] = "stated"
    assert failed(rj.sealed(stated_kind), batch) == {"evidence_shape": SHAPE}

    with_evidence = rj.derived("0.25", "ratio", inputs)
    with_evidence["evidence"] = copy.deepcopy(stated["One"]["evidence"])
    assert checks(rj.sealed(with_evidence), batch) == [
        ("receipt_id", None), ("evidence_shape", SHAPE), ("input_resolution", None), ("recompute", None)
    ]

    no_inputs = rj.derived("0.25", "ratio", [])
    assert checks(no_inputs, batch) == [
        ("receipt_id", None),
        ("evidence_shape", SHAPE),
        ("input_resolution", None),
        ("recompute", "recompute failed: derivation failed: operation needs 2 inputs, got 0"),
    ]

    # A receipt without derivation is a stated one, whatever its kind says.
    no_derivation = rj.derived("0.25", "ratio", inputs)
    del no_derivation["derivation"]
    assert checks(rj.sealed(no_derivation), batch) == [
        ("receipt_id", None), ("evidence_shape", "0 evidence items, expected exactly 1")
    ]


def test_a_difference_ignores_round_dp_when_read(stated):
    batch = parents(stated)
    receipt = rj.derived("7", "difference", [(stated["Seven"], None, "a"), (stated["Zero"], None, "b")])
    line = rj.line(receipt).replace('{"op":"difference"}', '{"op":"difference","round_dp":0}')
    assert line != rj.line(receipt)
    result = json.loads(quorrel.verify_bytes(rj.jsonl(batch) + line, SOURCE))
    assert result == {"fail": 0, "failures": [], "pass": len(batch) + 1}


# --- stated receipts -------------------------------------------------------------

SOURCE_CHECKS = ["receipt_id", "evidence_shape", "artifact_hash", "locate", "byte_range", "value_match"]


def edited(receipt, edit):
    r = copy.deepcopy(receipt)
    edit(r)
    return rj.sealed(r)


def test_stated_receipt_details(stated):
    one = stated["One"]
    sha = one["evidence"][0]["source_artifact"]["sha256"]
    rng = one["evidence"][0]["locator"]["byte_range"]
    dup, dup2 = stated["Dup"], stated["Dup2"]
    dup_rng = dup["evidence"][0]["locator"]["byte_range"]

    def locator(**members):
        return lambda r: r["evidence"][0]["locator"].update(members)

    cases = [
        (edited(one, lambda r: r.update(schema="er/0.3")), {"receipt_id": BAD_ID}),
        (dict(one, receipt_id=one["receipt_id"].upper().replace("ER_", "er_")), {"receipt_id": BAD_ID}),
        (
            edited(one, lambda r: r["evidence"][0]["source_artifact"].update(sha256=sha.upper())),
            {"artifact_hash": f"expected {sha.upper()}, got {sha}"},
        ),
        (edited(one, locator(concept="ex:one")), {"locate": "matched 0 facts, expected exactly 1"}),
        (edited(one, locator(unit_ref=None)), {"locate": "matched 0 facts, expected exactly 1"}),
        (
            edited(one, locator(byte_range=None)),
            {"byte_range": f"recorded None, re-parsed Some(({rng[0]}, {rng[1]}))"},
        ),
        (
            edited(dup2, locator(byte_range=[0, 1])),
            {
                "locate": "matched 2 facts, expected exactly 1",
                "byte_range": f"recorded Some((0, 1)), re-parsed Some(({dup_rng[0]}, {dup_rng[1]}))",
                "value_match": "claimed 6, source has 5",
            },
        ),
        (edited(one, lambda r: r["claim"].update(value="1.0")), {}),
        (edited(one, lambda r: r["claim"].update(value="1e0")), {}),
        (edited(one, lambda r: r["claim"].update(value="one")), {"value_match": "claimed one, source has 1"}),
        (
            edited(one, locator(concept="ex:Name", unit_ref=None, byte_range=None)),
            {
                "byte_range": "recorded None, re-parsed Some(({}, {}))".format(
                    SOURCE.index(b"<ex:Name"), SOURCE.index(b"</xbrl>") - 1
                ),
                "value_match": "located fact has no re-derivable numeric value",
            },
        ),
    ]
    for receipt, expected in cases:
        found = checks(receipt, [])
        assert {n: d for n, d in found if d is not None} == expected, receipt
        if expected:
            names = [n for n, _ in found]
            assert names == (SOURCE_CHECKS[:4] if "matched 0" in str(expected) else SOURCE_CHECKS)

    for count in (0, 2):
        receipt = edited(one, lambda r: r.update(evidence=r["evidence"] * count))
        expected = [("receipt_id", None), ("evidence_shape", f"{count} evidence items, expected exactly 1")]
        assert checks(receipt)[:2] == expected
        assert len(checks(receipt)) == (2 if count == 0 else 6)


# --- attestations ----------------------------------------------------------------

SIGNER = rj.Signer(b"\x2a" * 32)
SIGNER_TWO = rj.Signer(b"\x2b" * 32)


def test_signed_receipts_verify_in_either_hex_case(stated):
    batch = parents(stated)
    signed_stated = SIGNER.attest(copy.deepcopy(stated["One"]))
    signed_derived = SIGNER.attest(rj.derived("0.25", "ratio", [(stated["One"], None, "n"), (stated["Four"], None, "d")]))
    upper = copy.deepcopy(signed_derived)
    upper["attestation"].update(
        public_key=upper["attestation"]["public_key"].upper(), sig=upper["attestation"]["sig"].upper()
    )
    assert verify(batch + [signed_stated, signed_derived, upper]) == {"fail": 0, "failures": [], "pass": len(batch) + 3}


def test_the_signature_covers_the_body_not_the_schema_or_id(stated):
    signed = SIGNER.attest(copy.deepcopy(stated["One"]))
    assert checks(dict(signed, schema="er/0.1")) == [(n, BAD_ID if n == "receipt_id" else None) for n in SOURCE_CHECKS] + [
        ("attestation", None)
    ]
    assert failed(dict(signed, receipt_id="er_other")) == {"receipt_id": BAD_ID}

    changed = copy.deepcopy(signed)
    changed["claim"]["value"] = "2"
    assert failed(changed) == {
        "receipt_id": BAD_ID,
        "value_match": "claimed 2, source has 1",
        "attestation": INVALID_SIGNATURE,
    }
    # Resealed with the new value, only the signature is left wrong.
    assert failed(rj.sealed(changed)) == {"value_match": "claimed 2, source has 1", "attestation": INVALID_SIGNATURE}


@pytest.mark.parametrize(
    "member,edit",
    [
        ("alg", lambda a: "Ed25519"),
        ("alg", lambda a: "ed25519 "),
        ("public_key", lambda k: k + "00"),
        ("public_key", lambda k: k[:-2]),
        ("public_key", lambda k: k[:-1] + "g"),
        ("public_key", lambda k: SIGNER_TWO.public_hex),
        ("sig", lambda s: s[:-2]),
        ("sig", lambda s: s + "0"),
        ("sig", lambda s: s[:10] + ("1" if s[10] == "0" else "0") + s[11:]),
        ("sig", lambda s: "00" * 64),
    ],
)
def test_every_bad_attestation_has_one_detail(stated, member, edit):
    signed = SIGNER.attest(copy.deepcopy(stated["Four"]))
    signed["attestation"][member] = edit(signed["attestation"][member])
    assert checks(signed) == [(n, None) for n in SOURCE_CHECKS] + [("attestation", INVALID_SIGNATURE)]



def test_removing_the_attestation_removes_the_check(stated):
    signed = SIGNER.attest(copy.deepcopy(stated["Four"]))
    signed["attestation"]["sig"] = "00" * 64
    assert checks(signed)[-1] == ("attestation", INVALID_SIGNATURE)
    del signed["attestation"]
    assert checks(signed) == []
    # A null attestation reads as absent.
    line = rj.line(signed)[:-1] + ',"attestation":null}'
    assert quorrel.verify_bytes(line, SOURCE) == '{"fail":0,"failures":[],"pass":1}'
    tampered = copy.deepcopy(signed)
    tampered["claim"]["value"] = "5"
    assert [n for n, _ in checks(tampered)] == SOURCE_CHECKS
