#include "quorrel/evidence/source_context.hpp"

#include <algorithm>

#include "quorrel/core/normalize.hpp"
#include "quorrel/core/parser.hpp"
#include "quorrel/evidence/crypto.hpp"
#include "quorrel/evidence/json_writer.hpp"

namespace quorrel::evidence {

std::strong_ordering operator<=>(const FactKey& key, const FactKeyView& view) noexcept {
  if (const auto c = std::string_view(key.concept_text) <=> view.concept_text; c != 0) return c;
  if (const auto c = std::string_view(key.context_ref) <=> view.context_ref; c != 0) return c;
  if (!key.unit_ref || !view.unit_ref) return key.unit_ref.has_value() <=> view.unit_ref.has_value();
  return std::string_view(*key.unit_ref) <=> *view.unit_ref;
}

std::expected<SourceContext, EvidenceError> SourceContext::load(std::string_view source_bytes) {
  std::expected<core::InstanceDocument, core::XbrlError> parsed = core::parse_instance(source_bytes);
  if (!parsed) return std::unexpected(EvidenceError::source_parse(parsed.error().render()));

  SourceContext context;
  context.document = std::move(*parsed);
  const std::vector<core::RawFact>& facts = context.document.facts;

  for (std::size_t position = 0; position < facts.size(); ++position) {
    const core::RawFact& fact = facts[position];
    FactPositions& entry =
        context.index[FactKey{fact.concept_name.to_string(), fact.context_ref, fact.unit_ref}];
    entry.positions.push_back(position);
    if (fact.byte_range) entry.by_range.emplace_back(*fact.byte_range, position);
  }
  for (auto& [key, entry] : context.index) {
    // Positions arrive ascending; sorting by (range, position) keeps that order within one range.
    std::sort(entry.by_range.begin(), entry.by_range.end());
  }

  context.values.reserve(facts.size());
  for (const core::RawFact& fact : facts) {
    std::expected<std::optional<core::NumericValue>, core::XbrlError> number =
        core::normalize_number(context.document, fact);
    if (number && *number) {
      context.values.push_back(canonical_value(**number));
    } else {
      context.values.emplace_back(std::nullopt);
    }
  }

  context.sha256 = sha256_hex(source_bytes);
  return context;
}

std::expected<std::vector<Receipt>, EvidenceError> build_receipts(const core::InstanceDocument& document,
                                                                  std::string_view doc_id,
                                                                  const SourceArtifact& source_artifact) {
  std::vector<Receipt> receipts;
  Sha256 sha;
  std::string body;
  for (const core::RawFact& fact : document.facts) {
    std::expected<std::optional<core::NumericValue>, core::XbrlError> number = core::normalize_number(document, fact);
    if (!number || !*number) continue;  // failed normalization, or a text or nil value
    if (!fact.byte_range) continue;
    std::optional<CanonicalValue> canonical = canonical_value(**number);

    Receipt receipt;
    receipt.schema = std::string(kSchema);
    receipt.claim.value = std::move(canonical->text);
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
  // against the body ["er/0.2",C,E,null]. So each body is written once into a
  // reused buffer, hashed, and its two slices copied into the line. Everything
  // that is the same for every receipt of the call is written once up front.
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

  Sha256 sha;
  std::string body;
  std::string concept_text;
  for (const core::RawFact& fact : document.facts) {
    if (!fact.byte_range) continue;
    std::expected<std::optional<core::NumericValue>, core::XbrlError> number = core::normalize_number(document, fact);
    if (!number || !*number) continue;  // failed normalization, or a text or nil value
    const CanonicalValue canonical = canonical_value(**number);

    body.assign(body_head);
    const std::size_t claim_begin = body.size();
    body.append("{\"value\":");
    write_json_string(canonical.text, body);
    if (fact.unit_ref) {
      body.append(",\"unit\":");
      write_json_string(*fact.unit_ref, body);
    }
    body.append(claim_tail);
    const std::size_t claim_end = body.size();
    body.push_back(',');
    const std::size_t evidence_begin = body.size();
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
    const std::size_t evidence_end = body.size();
    body.append(",null]");

    const std::string_view written(body);
    out.append(line_head);
    sha.append_hex(written, out);
    out.append("\",\"claim\":");
    out.append(written.substr(claim_begin, claim_end - claim_begin));
    out.append(",\"evidence\":");
    out.append(written.substr(evidence_begin, evidence_end - evidence_begin));
    out.append("}\n");
  }
}

}  // namespace quorrel::evidence
