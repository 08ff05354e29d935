"""Digests of every output of the module over a folder of filings, for checking
that a change to the code leaves receipts, summaries and error texts byte for
byte as they were.

    PYTHONPATH=build/release/python python3 scripts/output_digests.py [FOLDER] > digests.txt

For each filing: the receipts text, the summary of the receipts as written,
the summaries after a fixed set of edits (value, id, byte range, unit
reference, concept, a removed member, a derived receipt over two receipts with
one parent edited, a signed receipt), and the error texts of a fixed set of
malformed lines and sources. One line per filing, then one line for the whole
run; compare two runs with diff.
"""

import hashlib
import json
import sys
from pathlib import Path

import quorrel

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "python" / "tests"))
import receipt_json as rj  # noqa: E402

SUFFIXES = {".htm", ".html", ".xhtml", ".xml", ".xbrl"}
MALFORMED_LINES = [
    "{", "[]", '{"schema":"er/0.2"}', '{"schema":1}', '{"schema":"er/0.2","schema":"x"}',
    '{"claim":{"kind":"x"}}', '{"evidence":[{"locator":{"profile":"x"}}]}', "\x01", '"\\ud800"',
    '{"schema":"er/0.2","receipt_id":"er_x","claim":{"value":"1","kind":"stated","doc_id":"d"},"evidence":[],"x":1e999}',
    "[" * 200, '{"derivation":{"operation":{"op":"sum"}}}',
]
MALFORMED_SOURCES = [b"", b"<", b"<a>", b"<a></b>", b"\xff", b"<a x='1' x></a>", b"<a>&bogus;</a>",
                     b"<?xml version='1.0'?><xbrl><context id='c'><entity></xbrl>"]


def outcome(fn, *args):
    try:
        return "ok:" + fn(*args)
    except ValueError as e:
        return "ValueError:" + str(e)


def edits(lines):
    """Edited copies of the first receipts of a filing, one kind of edit each."""
    out = []
    if not lines:
        return out
    first = json.loads(lines[0])
    for path, value in [(("claim", "value"), "12345.6789"), (("receipt_id",), "er_" + "0" * 64),
                        (("evidence", 0, "locator", "byte_range"), [0, 1]),
                        (("evidence", 0, "locator", "unit_ref"), "nope"),
                        (("evidence", 0, "locator", "concept"), "x:Nope")]:
        r = json.loads(lines[0])
        node = r
        for key in path[:-1]:
            node = node[key]
        node[path[-1]] = value
        out.append(json.dumps(r, separators=(",", ":"), ensure_ascii=False))
    r = json.loads(lines[0])
    del r["evidence"][0]["extraction"]
    out.append(json.dumps(r, separators=(",", ":"), ensure_ascii=False))
    second = json.loads(lines[1]) if len(lines) > 1 else first
    edited = json.loads(lines[0])
    edited["claim"]["value"] = "7"
    derived = rj.derived("1", "ratio", [(first, None, "numerator"), (second, None, "denominator")], round_dp=2)
    out.append(rj.jsonl([edited, derived]).rstrip("\n"))
    signer = rj.Signer(bytes(range(32)))
    out.append(rj.line(signer.attest(json.loads(lines[0]))))
    return out


def digest_of(path):
    data = path.read_bytes()
    h = hashlib.sha256()
    receipts = outcome(quorrel.receipts_for_bytes, data, path.name, "https://example.com/" + path.name, "auth")
    h.update(receipts.encode())
    if receipts.startswith("ok:"):
        text = receipts[3:]
        h.update(outcome(quorrel.verify_bytes, text, data).encode())
        lines = text.splitlines()
        for edit in edits(lines):
            h.update(outcome(quorrel.verify_bytes, "\n".join(lines[:3] + [edit]) + "\n", data).encode())
        h.update(outcome(quorrel.verify_bytes, text[: len(text) // 2], data).encode())
        for bad in MALFORMED_LINES:
            h.update(outcome(quorrel.verify_bytes, "\n".join(lines[:2] + [bad]), data).encode())
    return h.hexdigest()


def main():
    root = Path(sys.argv[1] if len(sys.argv) > 1 else Path(__file__).resolve().parents[2] / "shared" / "corpus")
    files = sorted(p for p in root.rglob("*") if p.suffix.lower() in SUFFIXES and p.is_file())
    whole = hashlib.sha256()
    for bad in MALFORMED_SOURCES:
        whole.update(outcome(quorrel.receipts_for_bytes, bad, "d", "u").encode())
        whole.update(outcome(quorrel.verify_bytes, "", bad).encode())
    for path in files:
        d = digest_of(path)
        whole.update(d.encode())
        print(d, path.relative_to(root))
    print(whole.hexdigest(), f"all {len(files)} filings")


if __name__ == "__main__":
    main()
