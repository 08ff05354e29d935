#pragma once
// What verification needs from the source bytes: their digest, the parsed
// document, every fact's canonical value and the index of the facts.

#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "quorrel/core/types.hpp"
#include "quorrel/evidence/canonical.hpp"
#include "quorrel/evidence/error.hpp"
#include "quorrel/evidence/fact_index.hpp"

namespace quorrel::evidence {

class SourceContext {
 public:
  [[nodiscard]] static std::expected<SourceContext, EvidenceError> load(std::string_view source_bytes);

  std::string sha256;
  core::InstanceDocument document;
  std::vector<std::optional<CanonicalValue>> values;  // one per fact position
  FactIndex index;
};

}  // namespace quorrel::evidence
