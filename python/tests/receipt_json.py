"""Receipts as plain dicts (as json.loads gives them; an optional member is absent
when missing or None), written independently of the module: the JSON line, the
canonical body and id, and Ed25519 attestations made with `cryptography`."""

import hashlib
import json

from cryptography.hazmat.primitives.asymmetric.ed25519 import Ed25519PrivateKey
from cryptography.hazmat.primitives.serialization import Encoding, NoEncryption, PrivateFormat, PublicFormat

SCHEMA = "er/0.2"
ENGINE = "quorrel-evidence@0.1.0"
_ESCAPES = {'"': '\\"', "\\": "\\\\", "\b": "\\b", "\t": "\\t", "\n": "\\n", "\f": "\\f", "\r": "\\r"}


def string(text):
    """Quote, backslash and the five short controls escaped, other controls as
    \\u00xx in lower case, everything else (solidus, DEL, non-ASCII) as it is."""
    return '"' + "".join(_ESCAPES.get(c) or ("\\u%04x" % ord(c) if c < " " else c) for c in text) + '"'


def _obj(members):
    """An object of the members whose value is not None, values already written."""
    return "{" + ",".join(f"{string(k)}:{v}" for k, v in members if v is not None) + "}"


def _texts(record, *keys):
    return [(k, None if record.get(k) is None else string(record[k])) for k in keys]


def _claim(c):
    return _obj(_texts(c, "value", "unit", "kind", "doc_id"))


def _evidence(items):
    def one(item):
        rng = item["locator"].get("byte_range")
        artifact = _texts(item["source_artifact"], "uri", "sha256", "retrieved_at", "authority")
        locator = [("profile", string("xbrl"))] + _texts(item["locator"], "concept", "context_ref", "unit_ref") + [
            ("byte_range", None if rng is None else f"[{rng[0]},{rng[1]}]")]
        return _obj([("source_artifact", _obj(artifact)), ("locator", _obj(locator)),
                     ("extraction", _obj(_texts(item["extraction"], "engine")))])

    return "[" + ",".join(one(item) for item in items) + "]"


def _derivation(d):
    if d is None:
        return None
    op, round_dp = d["operation"]["op"], d["operation"].get("round_dp")
    operation = _obj([("op", string(op)), ("round_dp", None if op == "difference" else json.dumps(round_dp))])
    inputs = ",".join(_obj(_texts(i, "receipt_id", "value", "role")) for i in d["inputs"])
    return _obj([("operation", operation), ("inputs", f"[{inputs}]")])


def canonical_body(r):
    derivation = _derivation(r.get("derivation"))
    return f"[{string(SCHEMA)},{_claim(r['claim'])},{_evidence(r['evidence'])},{derivation or 'null'}]"


def receipt_id(r):
    return "er_" + hashlib.sha256(canonical_body(r).encode()).hexdigest()


def line(r):
    """The receipt as one compact JSON line, members in the writer's order."""
    att = r.get("attestation")
    return _obj(_texts(r, "schema", "receipt_id") + [
        ("claim", _claim(r["claim"])), ("evidence", _evidence(r["evidence"])),
        ("derivation", _derivation(r.get("derivation"))),
        ("attestation", att and _obj(_texts(att, "alg", "public_key", "sig")))])


def jsonl(receipts):
    return "".join(line(r) + "\n" for r in receipts)


def sealed(r):
    """The receipt with its id set to the hash of its body."""
    r["receipt_id"] = receipt_id(r)
    return r


def derived(value, op, inputs, round_dp=None):
    """A sealed derived receipt; inputs are (parent receipt or id, consumed value or None, role)."""
    rows = [{"receipt_id": p["receipt_id"] if isinstance(p, dict) else p,
             "value": p["claim"]["value"] if consumed is None else consumed, "role": role}
            for p, consumed, role in inputs]
    return sealed({"schema": SCHEMA, "receipt_id": "", "claim": {"value": value, "kind": "derived", "doc_id": "doc"},
                   "evidence": [], "derivation": {"operation": {"op": op, "round_dp": round_dp}, "inputs": rows}})


class Signer:
    def __init__(self, seed):
        self.key = Ed25519PrivateKey.from_private_bytes(seed)
        self.public_hex = self.key.public_key().public_bytes(Encoding.Raw, PublicFormat.Raw).hex()

    def attest(self, r):
        """The receipt with an attestation over its canonical body."""
        sig = self.key.sign(canonical_body(r).encode()).hex()
        r["attestation"] = {"alg": "ed25519", "public_key": self.public_hex, "sig": sig}
        return r


def pem(key, encryption=NoEncryption()):
    """A private key as PKCS#8 PEM, encrypted when asked."""
    return key.private_bytes(Encoding.PEM, PrivateFormat.PKCS8, encryption)


def _not_json(name):
    raise ValueError(f"not JSON: {name}")


def _no_duplicates(pairs):
    if len({k for k, _ in pairs}) != len(pairs):
        raise ValueError("duplicate member")
    return dict(pairs)


def read(text):
    """A receipt line read with the JSON rules the module uses (no duplicate members, no NaN)."""
    return json.loads(text, object_pairs_hook=_no_duplicates, parse_constant=_not_json)


def lines(text):
    return [read(l) for l in text.split("\n") if l.strip()]
