#include "quorrel/core/text.hpp"

namespace quorrel::core {
namespace {

constexpr bool is_continuation(unsigned char b) noexcept { return (b & 0xC0) == 0x80; }

// The white space characters of one byte: tab, line feed, vertical tab, form
// feed, carriage return and space.
constexpr bool is_ascii_white_space(unsigned char b) noexcept { return (b >= 0x09 && b <= 0x0D) || b == 0x20; }

}  // namespace

DecodedChar decode_utf8_at(std::string_view text, std::size_t i) noexcept {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t n = text.size();
  const unsigned char b0 = p[i];
  if (b0 < 0x80) return {b0, 1};
  std::size_t len = 0;
  char32_t cp = 0;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    len = 2;
    cp = b0 & 0x1F;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    len = 3;
    cp = b0 & 0x0F;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    len = 4;
    cp = b0 & 0x07;
  } else {
    return {b0, 1};
  }
  if (i + len > n) return {b0, 1};
  for (std::size_t k = 1; k < len; ++k) {
    if (!is_continuation(p[i + k])) return {b0, 1};
    cp = (cp << 6) | (p[i + k] & 0x3F);
  }
  // Reject overlong forms, surrogates and values past U+10FFFF.
  if ((len == 3 && cp < 0x800) || (len == 4 && (cp < 0x10000 || cp > 0x10FFFF)) ||
      (cp >= 0xD800 && cp <= 0xDFFF)) {
    return {b0, 1};
  }
  return {cp, len};
}

DecodedChar decode_utf8_before(std::string_view text, std::size_t end) noexcept {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  std::size_t start = end - 1;
  // Step back over at most three continuation bytes to the lead byte.
  while (start > 0 && end - start < 4 && is_continuation(p[start])) --start;
  const DecodedChar c = decode_utf8_at(text, start);
  if (start + c.length == end) return c;
  return {p[end - 1], 1};
}

std::string_view trim_unicode_white_space(std::string_view text) noexcept {
  // A byte below 0x80 is a whole character, and only six of those are white
  // space: it is judged on its own. Only a byte of a multi-byte character
  // needs the character decoded; a stray byte there is never white space.
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  std::size_t begin = 0;
  std::size_t end = text.size();
  while (begin < end) {
    const unsigned char b = p[begin];
    if (b < 0x80) {
      if (!is_ascii_white_space(b)) break;
      ++begin;
      continue;
    }
    const DecodedChar c = decode_utf8_at(text, begin);
    if (c.length == 1 || !is_unicode_white_space(c.code_point)) break;
    begin += c.length;
  }
  while (end > begin) {
    const unsigned char b = p[end - 1];
    if (b < 0x80) {
      if (!is_ascii_white_space(b)) break;
      --end;
      continue;
    }
    const DecodedChar c = decode_utf8_before(text, end);
    if (c.length == 1 || !is_unicode_white_space(c.code_point)) break;
    end -= c.length;
  }
  return text.substr(begin, end - begin);
}

bool is_blank(std::string_view text) noexcept { return trim_unicode_white_space(text).empty(); }

}  // namespace quorrel::core
