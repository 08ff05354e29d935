from typing_extensions import Buffer
from typing import Literal, TypedDict

class Dimension(TypedDict):
    dimension: str
    member: str  # the member's name, or a typed member's raw markup
    typed: bool

class FactRow(TypedDict):
    concept: str
    concept_namespace: str | None
    kind: Literal["numeric", "text", "nil"]
    value: str | None  # canonical decimal text, or the transformed text of a text fact
    raw: str | None
    decimals: str | None  # "INF" or an integer
    unit_ref: str | None
    unit_numerator: list[str] | None
    unit_denominator: list[str] | None
    context_ref: str
    period_type: Literal["instant", "duration", "forever"] | None
    period_start: str | None
    period_end: str | None  # an instant's date
    entity_scheme: str | None
    entity_identifier: str | None
    dimensions: list[Dimension]  # segment members first, then scenario members
    lang: str | None
    fact_id: str | None
    byte_start: int | None  # counted after a byte-order mark, as in receipts
    byte_end: int | None
    hidden: bool
    receipt_id: str | None
    skip_reason: str | None

class Summary(TypedDict):
    facts: int
    numeric_facts: int
    text_facts: int
    nil_facts: int
    receipts: int
    missing_context: int  # numeric facts skipped, by reason
    missing_unit: int
    invalid_decimal: int
    contexts: int
    units: int
    footnotes: int
    continuations: int
    facts_in_footnotes: int  # fact elements inside footnote content, never read
    open_facts_dropped: int  # facts still open at the end of input
    open_elements: int  # elements still open at the end of input

def facts(source: Buffer, doc_id: str, uri: str, authority: str | None = None) -> tuple[list[FactRow], Summary]:
    """Parse an XBRL or Inline XBRL document once and return (rows, summary):
    one row per fact (numeric, text and nil) in the order of the receipts,
    each saying what the fact is and whether it got a receipt, and the
    document's counts."""

def receipts(source: Buffer, doc_id: str, uri: str, authority: str | None = None) -> tuple[str, Summary]:
    """Return (jsonl, summary): the text quorrel.receipts_for_bytes gives for
    the same arguments, and the document's counts, from one parse."""
