#include "quorrel/evidence/source_context.hpp"

#include "quorrel/core/normalize.hpp"
#include "quorrel/core/parser.hpp"
#include "quorrel/evidence/receipts.hpp"

namespace quorrel::evidence {

std::expected<SourceContext, EvidenceError> SourceContext::load(std::string_view source_bytes) {
  std::expected<ParsedSource, core::XbrlError> parsed = parse_source(source_bytes);
  if (!parsed) return std::unexpected(EvidenceError::source_parse(parsed.error().render()));

  SourceContext context;
  context.document = std::move(parsed->document);
  context.sha256 = std::move(parsed->sha256);
  const auto& facts = context.document.facts;
  context.index = FactIndex(facts);

  const core::ReferenceIndex references(context.document);
  context.values.reserve(facts.size());
  for (const core::RawFact& fact : facts) {
    const std::expected<core::ResolvedFact, core::XbrlError> resolved = core::normalize_fact(references, fact);
    context.values.push_back(resolved ? resolved->number : std::nullopt);  // a fact that fails to normalize has none
  }
  return context;
}

}  // namespace quorrel::evidence
