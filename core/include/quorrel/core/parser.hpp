#pragma once

#include <expected>
#include <string_view>

#include "quorrel/core/error.hpp"
#include "quorrel/core/types.hpp"

namespace quorrel::core {

// Parses one XBRL 2.1 instance or Inline XBRL document in a single streaming pass.
[[nodiscard]] std::expected<InstanceDocument, XbrlError> parse_instance(std::string_view bytes);

}  // namespace quorrel::core
