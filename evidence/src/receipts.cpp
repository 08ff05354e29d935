#include "quorrel/evidence/receipts.hpp"

#include "quorrel/core/normalize.hpp"
#include "quorrel/core/parser.hpp"
#include "quorrel/evidence/canonical.hpp"
#include "quorrel/evidence/crypto.hpp"
#include "quorrel/evidence/error.hpp"
#include "quorrel/evidence/json_writer.hpp"

namespace quorrel::evidence {

std::vector<Receipt> build_receipts(const core::InstanceDocument& document, std::string_view doc_id,
                                    const SourceArtifact& source_artifact) {
  std::vector<Receipt> receipts;
  Sha256 sha;
  std::string body;
  const core::FactResolver resolver(document);
  for (const core::RawFact& fact : document.facts) {
    const std::expected<std::optional<core::Decimal>, core::XbrlError> number = resolver.decimal(fact);
    if (!number || !*number) continue;  // failed normalization, or a text or nil value
    if (!fact.byte_range) continue;

    Receipt receipt;
    receipt.schema = std::string(kSchema);
    append_canonical_text(**number, receipt.claim.value);
    receipt.claim.unit = fact.unit_ref;
    receipt.claim.kind = ClaimKind::Stated;
    receipt.claim.doc_id = std::string(doc_id);

    Evidence& evidence = receipt.evidence.emplace_back();
    evidence.source_artifact = source_artifact;
    evidence.locator.concept_name = fact.concept_name.to_string();
    evidence.locator.context_ref = fact.context_ref;
    evidence.locator.unit_ref = fact.unit_ref;
    evidence.locator.byte_range = fact.byte_range;
    evidence.extraction.engine = std::string(kEngine);

    body.clear();
    append_canonical_body(receipt.claim, receipt.evidence, receipt.derivation, body);
    receipt.receipt_id = receipt_id_of_body(body, sha);
    receipts.push_back(std::move(receipt));
  }
  return receipts;
}

void append_receipt_lines(const core::InstanceDocument& document, std::string_view doc_id,
                          const SourceArtifact& source_artifact, std::string& out) {
  // A stated receipt's line holds its canonical body's claim and evidence list
  // verbatim: {"schema":"er/0.2","receipt_id":"er_…","claim":C,"evidence":E}
  // against the body ["er/0.2",C,E,null]. So each body is written once into
  // one of two reused buffers, hashed, and its two slices copied into the
  // line. Everything that is the same for every receipt of the call is
  // written once up front.
  std::string body_head;  // ["er/0.2",
  body_head.push_back('[');
  write_json_string(kSchema, body_head);
  body_head.push_back(',');
  std::string line_head;  // {"schema":"er/0.2","receipt_id":"er_
  line_head.append("{\"schema\":");
  write_json_string(kSchema, line_head);
  line_head.append(",\"receipt_id\":\"er_");
  std::string claim_tail;  // ,"kind":"stated","doc_id":"…"}
  claim_tail.append(",\"kind\":\"");
  claim_tail.append(claim_kind_name(ClaimKind::Stated));
  claim_tail.append("\",\"doc_id\":");
  write_json_string(doc_id, claim_tail);
  claim_tail.push_back('}');
  std::string evidence_head;  // [{"source_artifact":{…},"locator":{"profile":"xbrl","concept":
  evidence_head.append("[{\"source_artifact\":");
  write_source_artifact(source_artifact, evidence_head);
  evidence_head.append(",\"locator\":{\"profile\":\"xbrl\",\"concept\":");
  std::string evidence_tail;  // },"extraction":{"engine":"…"}}]
  evidence_tail.append("},\"extraction\":");
  write_extraction(Extraction{std::string(kEngine)}, evidence_tail);
  evidence_tail.append("}]");

  struct Body {
    std::string text;
    std::size_t claim_begin = 0;
    std::size_t claim_end = 0;
    std::size_t evidence_begin = 0;
    std::size_t evidence_end = 0;
  };
  const auto emit = [&](const Body& body, const Digest& digest) {
    const std::string_view written(body.text);
    out.append(line_head);
    append_hex(digest.data(), digest.size(), out);
    out.append("\",\"claim\":");
    out.append(written.substr(body.claim_begin, body.claim_end - body.claim_begin));
    out.append(",\"evidence\":");
    out.append(written.substr(body.evidence_begin, body.evidence_end - body.evidence_begin));
    out.append("}\n");
  };

  Sha256 sha;
  Body next;
  std::string concept_text;
  const core::FactResolver resolver(document);
  for (const core::RawFact& fact : document.facts) {
    if (!fact.byte_range) continue;
    const std::expected<std::optional<core::Decimal>, core::XbrlError> number = resolver.decimal(fact);
    if (!number || !*number) continue;  // failed normalization, or a text or nil value

    std::string& body = next.text;
    body.assign(body_head);
    next.claim_begin = body.size();
    body.append("{\"value\":\"");
    append_canonical_text(**number, body);
    body.push_back('"');
    if (fact.unit_ref) {
      body.append(",\"unit\":");
      write_json_string(*fact.unit_ref, body);
    }
    body.append(claim_tail);
    next.claim_end = body.size();
    body.push_back(',');
    next.evidence_begin = body.size();
    body.append(evidence_head);
    fact.concept_name.render_into(concept_text);
    write_json_string(concept_text, body);
    body.append(",\"context_ref\":");
    write_json_string(fact.context_ref, body);
    if (fact.unit_ref) {
      body.append(",\"unit_ref\":");
      write_json_string(*fact.unit_ref, body);
    }
    body.append(",\"byte_range\":[");
    write_json_uint(fact.byte_range->first, body);
    body.push_back(',');
    write_json_uint(fact.byte_range->second, body);
    body.push_back(']');
    body.append(evidence_tail);
    next.evidence_end = body.size();
    body.append(",null]");

    emit(next, sha.digest(body));
  }
}

std::expected<std::string, core::XbrlError> receipts_jsonl(std::string_view source_bytes, std::string_view doc_id,
                                                          std::string_view uri,
                                                          const std::optional<std::string_view>& authority) {
  QUORREL_EV_TRY(document, core::parse_instance(source_bytes));

  SourceArtifact artifact;
  artifact.uri = std::string(uri);
  artifact.sha256 = sha256_hex(source_bytes);
  if (authority) artifact.authority = std::string(*authority);

  std::string out;
  // A line is about 400 bytes besides its texts. Reserving a line for every
  // fact saves regrowing the buffer and costs nothing for pages never written;
  // the reservation is capped by a multiple of the input so that a huge uri
  // cannot make it absurd (the buffer still grows as needed).
  const std::size_t per_line = 512 + uri.size() + doc_id.size() + (authority ? authority->size() : 0);
  const std::size_t cap = 8 * source_bytes.size() + per_line;
  const std::size_t facts = document.facts.size();
  out.reserve(facts != 0 && per_line > cap / facts ? cap : facts * per_line);
  append_receipt_lines(document, doc_id, artifact, out);
  return out;
}

}  // namespace quorrel::evidence
