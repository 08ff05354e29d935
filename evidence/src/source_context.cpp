#include "quorrel/evidence/source_context.hpp"

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
  context.index = FactIndex(facts);

  const core::ReferenceIndex references(context.document);
  context.values.reserve(facts.size());
  for (const core::RawFact& fact : facts) {
    const std::expected<core::ResolvedFact, core::XbrlError> resolved = core::normalize_fact(references, fact);
    context.values.push_back(resolved ? resolved->number : std::nullopt);  // a fact that fails to normalize has none
  }

  context.sha256 = sha256_hex(source_bytes);
  return context;
}

}  // namespace quorrel::evidence
