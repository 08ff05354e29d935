#pragma once
// What verification needs from the source bytes: their digest, the parsed
// document, every fact's number and the index of the facts.

#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "quorrel/core/decimal.hpp"
#include "quorrel/core/types.hpp"
#include "quorrel/evidence/error.hpp"
#include "quorrel/evidence/fact_index.hpp"

namespace quorrel::evidence {

class SourceContext {
 public:
  [[nodiscard]] static std::expected<SourceContext, EvidenceError> load(std::string_view source_bytes);

  std::string sha256;
  core::InstanceDocument document;
  // One per fact position: the fact's number, as normalization gives it, when
  // the fact normalizes to one. Its canonical text is written only where a
  // check needs it.
  std::vector<std::optional<core::Decimal>> values;
  FactIndex index;
};

}  // namespace quorrel::evidence
