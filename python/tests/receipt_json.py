"""Receipts as plain Python dicts (the shape json.loads gives them), written
independently of the module: the receipt JSON line, the canonical body and the
receipt id, plus Ed25519 attestations signed with the `cryptography` package.

Optional members are absent when their key is missing or holds None."""

import hashlib
import json

from cryptography.hazmat.primitives.asymmetric.ed25519 import Ed25519PrivateKey
from cryptography.hazmat.primitives.serialization import Encoding, PublicFormat

SCHEMA = "er/0.2"
ENGINE = "quorrel-evidence@0.1.0"

_ESCAPES = {'"': '\\"', "\\": "\\\\", "\b": "\\b", "\t": "\\t", "\n": "\\n", "\f": "\\f", "\r": "\\r"}


def string(text):
    """A JSON string: quote, backslash and the five short controls escaped,
    other controls as \\u00xx in lower case, everything else as it is."""
    out = ['"']
    for ch in text:
        escaped = _ESCAPES.get(ch)
        if escaped is not None:
            out.append(escaped)
        elif ord(ch) < 0x20:
            out.append("\\u%04x" % ord(ch))
        else:
            out.append(ch)
    out.append('"')
    return "".join(out)


def _obj(members):
    """Members (key, written value) in order; a None value leaves the member out."""
    return "{" + ",".join(f"{string(k)}:{v}" for k, v in members if v is not None) + "}"


def _opt_string(record, key):
    value = record.get(key)
    return None if value is None else string(value)


def claim_json(claim):
    return _obj(
        [
            ("value", string(claim["value"])),
            ("unit", _opt_string(claim, "unit")),
            ("kind", string(claim["kind"])),
            ("doc_id", string(claim["doc_id"])),
        ]
    )


def evidence_json(item):
    artifact = item["source_artifact"]
    locator = item["locator"]
    byte_range = locator.get("byte_range")
    return _obj(
        [
            (
                "source_artifact",
                _obj(
                    [
                        ("uri", string(artifact["uri"])),
                        ("sha256", string(artifact["sha256"])),
                        ("retrieved_at", _opt_string(artifact, "retrieved_at")),
                        ("authority", _opt_string(artifact, "authority")),
                    ]
                ),
            ),
            (
                "locator",
                _obj(
                    [
                        ("profile", string("xbrl")),
                        ("concept", string(locator["concept"])),
                        ("context_ref", string(locator["context_ref"])),
                        ("unit_ref", _opt_string(locator, "unit_ref")),
                        ("byte_range", None if byte_range is None else f"[{byte_range[0]},{byte_range[1]}]"),
                    ]
                ),
            ),
            ("extraction", _obj([("engine", string(item["extraction"]["engine"]))])),
        ]
    )


def operation_json(operation):
    op = operation["op"]
    if op == "difference":
        return _obj([("op", string(op))])
    round_dp = operation.get("round_dp")
    return _obj([("op", string(op)), ("round_dp", "null" if round_dp is None else str(round_dp))])


def derivation_json(derivation):
    inputs = ",".join(
        _obj([("receipt_id", string(i["receipt_id"])), ("value", string(i["value"])), ("role", string(i["role"]))])
        for i in derivation["inputs"]
    )
    return _obj([("operation", operation_json(derivation["operation"])), ("inputs", f"[{inputs}]")])


def canonical_body(receipt):
    derivation = receipt.get("derivation")
    evidence = ",".join(evidence_json(e) for e in receipt["evidence"])
    return (
        f"[{string(SCHEMA)},{claim_json(receipt['claim'])},[{evidence}],"
        f"{'null' if derivation is None else derivation_json(derivation)}]"
    )


def receipt_id(receipt):
    return "er_" + hashlib.sha256(canonical_body(receipt).encode()).hexdigest()


def line(receipt):
    """The receipt as one compact JSON line (without the line feed)."""
    derivation = receipt.get("derivation")
    attestation = receipt.get("attestation")
    return _obj(
        [
            ("schema", string(receipt["schema"])),
            ("receipt_id", string(receipt["receipt_id"])),
            ("claim", claim_json(receipt["claim"])),
            ("evidence", "[" + ",".join(evidence_json(e) for e in receipt["evidence"]) + "]"),
            ("derivation", None if derivation is None else derivation_json(derivation)),
            (
                "attestation",
                None
                if attestation is None
                else _obj([(k, string(attestation[k])) for k in ("alg", "public_key", "sig")]),
            ),
        ]
    )


def jsonl(receipts):
    return "".join(line(r) + "\n" for r in receipts)


def sealed(receipt):
    """The receipt with its id set to the hash of its body."""
    receipt["receipt_id"] = receipt_id(receipt)
    return receipt


def derived(value, op, inputs, round_dp=None, doc_id="doc"):
    """A sealed derived receipt; inputs are (parent receipt or id, consumed value or None, role)."""
    operation = {"op": op} if op == "difference" else {"op": op, "round_dp": round_dp}
    rows = []
    for parent, consumed, role in inputs:
        if isinstance(parent, dict):
            rows.append({"receipt_id": parent["receipt_id"], "value": parent["claim"]["value"] if consumed is None else consumed, "role": role})
        else:
            rows.append({"receipt_id": parent, "value": consumed, "role": role})
    return sealed(
        {
            "schema": SCHEMA,
            "receipt_id": "",
            "claim": {"value": value, "kind": "derived", "doc_id": doc_id},
            "evidence": [],
            "derivation": {"operation": operation, "inputs": rows},
        }
    )


class Signer:
    def __init__(self, seed=b"\x07" * 32):
        self.key = Ed25519PrivateKey.from_private_bytes(seed)
        self.public_hex = self.key.public_key().public_bytes(Encoding.Raw, PublicFormat.Raw).hex()

    def attest(self, receipt):
        """The receipt with an attestation over its canonical body."""
        sig = self.key.sign(canonical_body(receipt).encode())
        receipt["attestation"] = {"alg": "ed25519", "public_key": self.public_hex, "sig": sig.hex()}
        return receipt


def _no_duplicates(pairs):
    keys = [k for k, _ in pairs]
    if len(set(keys)) != len(keys):
        raise ValueError("duplicate member")
    return dict(pairs)


def _no_constants(name):
    raise ValueError(f"not JSON: {name}")


def read(text):
    """A receipt line read back as a dict, with the JSON rules the module uses
    (no duplicate members, no NaN or Infinity)."""
    return json.loads(text, object_pairs_hook=_no_duplicates, parse_constant=_no_constants)


def lines(jsonl_text):
    return [read(l) for l in jsonl_text.split("\n") if l.strip()]
