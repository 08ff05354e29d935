"""An independent reading of the receipt writing rules and of the receipt id,
used to check what the module writes byte for byte.

The writer is deliberately written out by hand rather than delegated to the
json module, so the two can be compared against each other."""

from __future__ import annotations

import hashlib
import re

SCHEMA = "er/0.2"
ENGINE = "quorrel-evidence@0.1.0"
BOM = b"\xef\xbb\xbf"

# Decimal text as receipts carry it: no exponent, no "+", no leading zeros,
# no trailing fractional zeros, and never "-0".
CANONICAL_DECIMAL = re.compile(r"-?(0|[1-9][0-9]*)(\.[0-9]*[1-9])?")
RECEIPT_ID = re.compile(r"er_[0-9a-f]{64}")

_SHORT_ESCAPES = {'"': '\\"', "\\": "\\\\", "\b": "\\b", "\t": "\\t", "\n": "\\n", "\f": "\\f", "\r": "\\r"}


def string(text: str) -> str:
    out = ['"']
    for ch in text:
        if ch in _SHORT_ESCAPES:
            out.append(_SHORT_ESCAPES[ch])
        elif ord(ch) < 0x20:
            out.append("\\u%04x" % ord(ch))
        else:
            out.append(ch)
    out.append('"')
    return "".join(out)


def _object(*members: tuple[str, str | None]) -> str:
    """Members in the given order; a member whose written value is None is left out."""
    return "{" + ",".join(f"{string(key)}:{value}" for key, value in members if value is not None) + "}"


def _optional(record: dict, key: str) -> str | None:
    value = record.get(key)
    return None if value is None else string(value)


def claim(record: dict) -> str:
    return _object(
        ("value", string(record["value"])),
        ("unit", _optional(record, "unit")),
        ("kind", string(record["kind"])),
        ("doc_id", string(record["doc_id"])),
    )


def source_artifact(record: dict) -> str:
    return _object(
        ("uri", string(record["uri"])),
        ("sha256", string(record["sha256"])),
        ("retrieved_at", _optional(record, "retrieved_at")),
        ("authority", _optional(record, "authority")),
    )


def _uint(value: int) -> str:
    assert isinstance(value, int) and not isinstance(value, bool) and value >= 0
    return str(value)


def locator(record: dict) -> str:
    byte_range = record.get("byte_range")
    return _object(
        ("profile", string(record["profile"])),
        ("concept", string(record["concept"])),
        ("context_ref", string(record["context_ref"])),
        ("unit_ref", _optional(record, "unit_ref")),
        ("byte_range", None if byte_range is None else "[" + ",".join(_uint(v) for v in byte_range) + "]"),
    )


def evidence_list(items: list) -> str:
    return "[" + ",".join(
        _object(
            ("source_artifact", source_artifact(item["source_artifact"])),
            ("locator", locator(item["locator"])),
            ("extraction", _object(("engine", string(item["extraction"]["engine"])))),
        )
        for item in items
    ) + "]"


def receipt(record: dict) -> str:
    """A stated receipt (no derivation, no attestation) as one compact line."""
    assert record.get("derivation") is None and record.get("attestation") is None
    return _object(
        ("schema", string(record["schema"])),
        ("receipt_id", string(record["receipt_id"])),
        ("claim", claim(record["claim"])),
        ("evidence", evidence_list(record["evidence"])),
    )


def canonical_body(record: dict) -> bytes:
    assert record.get("derivation") is None
    text = "[" + string(SCHEMA) + "," + claim(record["claim"]) + "," + evidence_list(record["evidence"]) + ",null]"
    return text.encode("utf-8")


def receipt_id(record: dict) -> str:
    return "er_" + hashlib.sha256(canonical_body(record)).hexdigest()


def after_bom(source: bytes) -> bytes:
    """Byte ranges count from just after a leading byte-order mark."""
    return source[len(BOM):] if source.startswith(BOM) else source
