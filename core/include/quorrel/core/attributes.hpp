#pragma once
// Parsers for the numeric attributes a fact carries: decimals, precision and
// the inline scale. They read the text exactly as written (after unescaping),
// with no trimming.

#include <cstdint>
#include <expected>
#include <string_view>

#include "quorrel/core/error.hpp"
#include "quorrel/core/types.hpp"

namespace quorrel::core {

// Largest magnitude of an inline scale.
inline constexpr std::int32_t kMaxIxScale = 28;

// "INF", or a signed 32-bit integer ("+2", "-0").
[[nodiscard]] std::expected<Accuracy, XbrlError> parse_decimals(std::string_view text);
// "INF", or an unsigned 32-bit integer with an optional "+".
[[nodiscard]] std::expected<Accuracy, XbrlError> parse_precision(std::string_view text);
// A signed 32-bit integer from -28 to 28.
[[nodiscard]] std::expected<std::int32_t, XbrlError> parse_ix_scale(std::string_view text);

}  // namespace quorrel::core
