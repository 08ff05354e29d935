#include "quorrel/evidence/fact_table.hpp"

#include <variant>

#include "quorrel/core/normalize.hpp"
#include "quorrel/core/parser.hpp"
#include "quorrel/core/transforms.hpp"
#include "quorrel/evidence/canonical.hpp"
#include "quorrel/evidence/crypto.hpp"
#include "quorrel/evidence/source_context.hpp"
#include "quorrel/evidence/verify.hpp"

namespace quorrel::evidence {

namespace {

// The id of the receipt on a line the writer wrote: the second member.
std::string_view id_of_line(std::string_view line) {
  constexpr std::string_view kHead = R"({"schema":"er/0.2","receipt_id":")";
  return line.substr(kHead.size(), 67);
}

}  // namespace

std::expected<FactTable, std::string> fact_table(std::string_view source_bytes, std::string_view doc_id,
                                                 std::string_view uri,
                                                 const std::optional<std::string_view>& authority, bool with_rows) {
  std::expected<std::string, std::string> receipts = receipts_jsonl(source_bytes, doc_id, uri, authority);
  if (!receipts) return std::unexpected(receipts.error());
  std::expected<core::InstanceDocument, core::XbrlError> parsed = core::parse_instance(source_bytes);
  if (!parsed) return std::unexpected(parsed.error().render());

  FactTable table;
  table.document = std::move(*parsed);
  table.receipts = std::move(*receipts);
  const core::InstanceDocument& document = table.document;
  DocumentCounts& counts = table.counts;
  counts.facts = document.facts.size();
  counts.contexts = document.contexts.size();
  counts.units = document.units.size();
  counts.footnotes = document.footnotes.size();
  counts.continuations = document.counts.continuations;
  counts.facts_in_footnotes = document.counts.facts_in_footnotes;
  counts.open_facts_dropped = document.counts.open_facts;
  counts.open_elements = document.counts.open_elements;

  const core::ReferenceIndex references(document);
  std::string_view lines = table.receipts;
  if (with_rows) table.rows.reserve(document.facts.size());
  for (const core::RawFact& fact : document.facts) {
    FactRow row;
    row.fact = &fact;
    row.context = references.context(fact.context_ref);
    if (fact.unit_ref) row.unit = references.unit(*fact.unit_ref);
    if (std::holds_alternative<core::NumericText>(fact.value)) {
      ++counts.numeric_facts;
      std::expected<core::ResolvedFact, core::XbrlError> number = core::normalize_fact(references, fact);
      if (number && number->number) {
        ++counts.receipts;
        const std::size_t end = lines.find('\n');
        row.receipt_id = std::string(id_of_line(lines.substr(0, end)));
        lines.remove_prefix(end + 1);
        row.value = canonical_value(*number->number).text;
      } else if (!number) {
        switch (number.error().kind()) {
          case core::XbrlError::Kind::MissingContext: ++counts.missing_context; break;
          case core::XbrlError::Kind::MissingUnit: ++counts.missing_unit; break;
          default: ++counts.invalid_decimal; break;
        }
        row.skip_reason = number.error().render();
      }
    } else {
      row.skip_reason = "not numeric";
      if (const auto* text = std::get_if<core::NonNumericText>(&fact.value)) {
        ++counts.text_facts;
        row.kind = FactKind::Text;
        row.value = core::apply_text_transform(fact.inline_meta ? fact.inline_meta->format : std::nullopt,
                                               text->text.view());
      } else {
        ++counts.nil_facts;
        row.kind = FactKind::Nil;
      }
    }
    if (with_rows) table.rows.push_back(std::move(row));
  }
  return table;
}

}  // namespace quorrel::evidence
