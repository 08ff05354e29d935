def receipts_for_bytes(source_bytes: bytes, doc_id: str, uri: str, authority: str | None = None) -> str:
    """Build evidence receipts for every numeric fact in an XBRL instance.
    Returns JSONL (one receipt per line)."""

def verify_bytes(receipts_jsonl: str, source_bytes: bytes) -> str:
    """Verify receipts (JSONL) against source bytes. Returns a JSON summary:
    {"pass": n, "fail": n, "failures": [reports...]}."""
