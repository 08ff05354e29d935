#pragma once
// Every fact of a document accounted for: from one parse, the receipts text
// that receipts_jsonl gives, a row per fact (numeric, text and nil) saying
// what became of it, and counts of what the document holds and what was
// left without a receipt.

#include <cstddef>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "quorrel/core/error.hpp"
#include "quorrel/core/types.hpp"

namespace quorrel::evidence {

enum class FactKind { Numeric, Text, Nil };

// One fact of the document, pointing into the table's own document.
struct FactRow {
  const core::RawFact* fact = nullptr;
  const core::Context* context = nullptr;  // null when the context is missing
  const core::Unit* unit = nullptr;        // null when the fact names none, or a missing one
  FactKind kind = FactKind::Numeric;
  // The canonical decimal of a numeric fact, the transformed text of a text
  // fact; absent for nil facts and for numeric facts that did not normalize.
  std::optional<std::string> value;
  std::optional<std::string> receipt_id;
  // Why the fact has no receipt: the rendered normalization error, or
  // "not numeric" for text and nil facts; absent when it has one.
  std::optional<std::string> skip_reason;
};

struct DocumentCounts {
  std::size_t facts = 0;
  std::size_t numeric_facts = 0;
  std::size_t text_facts = 0;
  std::size_t nil_facts = 0;
  std::size_t receipts = 0;
  std::size_t missing_context = 0;  // numeric facts skipped, by reason
  std::size_t missing_unit = 0;
  std::size_t invalid_decimal = 0;
  std::size_t contexts = 0;
  std::size_t units = 0;
  std::size_t footnotes = 0;
  std::size_t continuations = 0;
  std::size_t facts_in_footnotes = 0;  // fact elements inside footnote content, never read as facts
  std::size_t open_facts_dropped = 0;  // facts still open at the end of input
  std::size_t open_elements = 0;       // elements still open at the end of input
};

struct FactTable {
  core::InstanceDocument document;
  std::string receipts;       // exactly what receipts_jsonl gives
  std::vector<FactRow> rows;  // one per fact, in the document's fact order; empty unless asked for
  DocumentCounts counts;
};

// Parses the source once. With rows, every fact gets its row; without, only
// the receipts and the counts are made. The error is the one receipts_jsonl
// reports for the same source.
[[nodiscard]] std::expected<FactTable, core::XbrlError> fact_table(std::string_view source_bytes,
                                                               std::string_view doc_id, std::string_view uri,
                                                               const std::optional<std::string_view>& authority,
                                                               bool with_rows);

}  // namespace quorrel::evidence
