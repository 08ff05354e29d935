#include "quorrel/evidence/source_context.hpp"

#include <algorithm>

#include "quorrel/core/normalize.hpp"
#include "quorrel/core/parser.hpp"
#include "quorrel/evidence/crypto.hpp"

namespace quorrel::evidence {

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

}  // namespace quorrel::evidence
