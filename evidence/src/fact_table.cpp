#include "quorrel/evidence/fact_table.hpp"

#include <variant>

#include "quorrel/core/normalize.hpp"
#include "quorrel/core/parser.hpp"
#include "quorrel/core/transforms.hpp"
#include "quorrel/evidence/canonical.hpp"
#include "quorrel/evidence/receipts.hpp"

namespace quorrel::evidence {

namespace {

// The id on a receipt line as the writer writes it: its second member.
constexpr std::size_t kIdAt = std::string_view(R"({"schema":"er/0.2","receipt_id":")").size();
constexpr std::size_t kIdSize = 67;

}  // namespace

std::expected<FactTable, core::XbrlError> fact_table(std::string_view source_bytes, std::string_view doc_id,
                                                     std::string_view uri,
                                                     const std::optional<std::string_view>& authority,
                                                     bool with_rows) {
  QUORREL_TRY(parsed, parse_source(source_bytes));
  FactTable table;
  table.document = std::move(parsed.document);
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
  if (with_rows) table.rows.resize(document.facts.size());

  // Every fact passes through the receipts walk, which says how it resolved;
  // the row is filled from that, without resolving it again.
  const FactAccount account = [&](const core::RawFact& fact,
                                  const std::expected<core::ResolvedFact, core::XbrlError>& resolved,
                                  const core::ReferenceIndex& references) {
    const bool numeric = std::holds_alternative<core::NumericText>(fact.value);
    if (numeric) {
      ++counts.numeric_facts;
      if (!resolved) {
        switch (resolved.error().kind()) {
          case core::XbrlError::Kind::MissingContext: ++counts.missing_context; break;
          case core::XbrlError::Kind::MissingUnit: ++counts.missing_unit; break;
          default: ++counts.invalid_decimal; break;
        }
      }
    } else if (std::holds_alternative<core::NonNumericText>(fact.value)) {
      ++counts.text_facts;
    } else {
      ++counts.nil_facts;
    }
    if (!with_rows) return;
    FactRow& row = table.rows[static_cast<std::size_t>(&fact - document.facts.data())];
    if (resolved) {
      row.context = resolved->context;
      row.unit = resolved->unit;
    } else {
      row.context = references.context(fact.context_ref);
      if (fact.unit_ref) row.unit = references.unit(*fact.unit_ref);
    }
    if (numeric) {
      if (resolved && resolved->number) {
        row.value.emplace();
        append_canonical_text(*resolved->number, *row.value);
      } else if (!resolved) {
        row.skip_reason = resolved.error().render();
      }
    } else {
      row.skip_reason = "not numeric";
      if (const auto* text = std::get_if<core::NonNumericText>(&fact.value)) {
        row.kind = FactKind::Text;
        row.value = core::apply_text_transform(fact.inline_meta ? fact.inline_meta->format : std::nullopt,
                                               text->text.view());
      } else {
        row.kind = FactKind::Nil;
      }
    }
  };
  std::vector<ReceiptLine> lines;
  table.receipts = receipts_text(document, parsed.sha256, source_bytes.size(), doc_id, uri, authority, &account, &lines);
  for (std::size_t i = 0; i < table.rows.size(); ++i) table.rows[i].fact = &document.facts[i];
  if (with_rows) {
    for (const ReceiptLine& line : lines) {
      table.rows[line.fact].receipt_id = table.receipts.substr(line.offset + kIdAt, kIdSize);
    }
  }
  counts.receipts = lines.size();
  return table;
}

}  // namespace quorrel::evidence
