#include "quorrel/core/attributes.hpp"

#include <optional>
#include <string>

namespace quorrel::core {
namespace {

// An optional sign then one or more ASCII digits, within [min, max].
std::optional<std::int64_t> parse_integer(std::string_view text, bool allow_minus, std::int64_t min,
                                          std::int64_t max) {
  std::size_t i = 0;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || (allow_minus && text[i] == '-'))) {
    negative = text[i] == '-';
    ++i;
  }
  if (i == text.size()) return std::nullopt;
  // Magnitudes are capped just past the widest range so long inputs cannot overflow.
  constexpr std::int64_t kCap = std::int64_t{1} << 40;
  std::int64_t value = 0;
  for (; i < text.size(); ++i) {
    const char c = text[i];
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
    if (value > kCap) value = kCap;
  }
  if (negative) value = -value;
  if (value < min || value > max) return std::nullopt;
  return value;
}

}  // namespace

std::expected<Accuracy, XbrlError> parse_decimals(std::string_view text) {
  if (text == "INF") return Accuracy::infinite();
  if (auto v = parse_integer(text, true, INT32_MIN, INT32_MAX)) return Accuracy::of(*v);
  return std::unexpected(XbrlError::xml_parse(std::nullopt, "invalid decimals value: " + std::string(text)));
}

std::expected<Accuracy, XbrlError> parse_precision(std::string_view text) {
  if (text == "INF") return Accuracy::infinite();
  if (auto v = parse_integer(text, false, 0, UINT32_MAX)) return Accuracy::of(*v);
  return std::unexpected(XbrlError::xml_parse(std::nullopt, "invalid precision value: " + std::string(text)));
}

std::expected<std::int32_t, XbrlError> parse_ix_scale(std::string_view text) {
  const auto v = parse_integer(text, true, INT32_MIN, INT32_MAX);
  if (!v) return std::unexpected(XbrlError::xml_parse(std::nullopt, "invalid scale value: " + std::string(text)));
  if (*v < -kMaxIxScale || *v > kMaxIxScale) {
    const std::string bound = std::to_string(kMaxIxScale);
    return std::unexpected(XbrlError::xml_parse(std::nullopt, "scale value " + std::to_string(*v) +
                                                                  " out of supported range [-" + bound + ", " +
                                                                  bound + "]"));
  }
  return static_cast<std::int32_t>(*v);
}

}  // namespace quorrel::core
