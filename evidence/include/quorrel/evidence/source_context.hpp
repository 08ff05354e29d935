#pragma once
// What verification needs from the source bytes, and the building of stated
// receipts from a parsed document.

#include <compare>
#include <cstddef>
#include <expected>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "quorrel/core/decimal.hpp"
#include "quorrel/core/types.hpp"
#include "quorrel/evidence/canonical.hpp"
#include "quorrel/evidence/receipt.hpp"
#include "quorrel/evidence/report.hpp"

namespace quorrel::evidence {

// Facts are found again by concept text, context reference and unit reference;
// an absent unit reference and an empty one are different keys.
struct FactKey {
  std::string concept_text;
  std::string context_ref;
  std::optional<std::string> unit_ref;
  auto operator<=>(const FactKey&) const = default;
};

// The same key over borrowed texts, to look a key up without copying them.
struct FactKeyView {
  std::string_view concept_text;
  std::string_view context_ref;
  std::optional<std::string_view> unit_ref;
};
// Orders exactly as FactKey orders its own values.
std::strong_ordering operator<=>(const FactKey& key, const FactKeyView& view) noexcept;
inline bool operator==(const FactKey& key, const FactKeyView& view) noexcept { return (key <=> view) == 0; }

// The positions of the facts that share one key, ascending, and the same
// positions ordered by byte range so that a recorded range finds its facts
// without a scan.
struct FactPositions {
  std::vector<std::size_t> positions;
  std::vector<std::pair<core::ByteRange, std::size_t>> by_range;
};

class SourceContext {
 public:
  [[nodiscard]] static std::expected<SourceContext, EvidenceError> load(std::string_view source_bytes);

  std::string sha256;
  core::InstanceDocument document;
  std::vector<std::optional<CanonicalValue>> values;  // one per fact position
  std::map<FactKey, FactPositions, std::less<>> index;
};

// One stated receipt per fact that normalizes to a number and has a byte range, in fact order.
[[nodiscard]] std::expected<std::vector<Receipt>, EvidenceError> build_receipts(const core::InstanceDocument& document,
                                                                                std::string_view doc_id,
                                                                                const SourceArtifact& source_artifact);

// The same receipts as build_receipts, each written as one compact JSON line
// ending in a line feed and appended to out, without building Receipt records:
// byte for byte what write_receipt gives for them.
void append_receipt_lines(const core::InstanceDocument& document, std::string_view doc_id,
                          const SourceArtifact& source_artifact, std::string& out);

}  // namespace quorrel::evidence
