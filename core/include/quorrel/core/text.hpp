#pragma once
// Small text helpers on UTF-8 shared by the parser, normalization and the
// JSONL splitter. They never split a multi-byte character.

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace quorrel::core {

// True for the characters with the Unicode White_Space property.
constexpr bool is_unicode_white_space(char32_t c) noexcept {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
         c == 0x3000;
}

// Decodes the character starting at text[i]; returns its code point and byte
// length. A byte that does not start a well-formed sequence decodes as itself
// with length 1 (callers work on validated text; this keeps them safe anyway).
struct DecodedChar {
  char32_t code_point;
  std::size_t length;
};
DecodedChar decode_utf8_at(std::string_view text, std::size_t i) noexcept;

// Decodes the character that ends just before text[end] (end > 0).
DecodedChar decode_utf8_before(std::string_view text, std::size_t end) noexcept;

// Removes leading and trailing Unicode white space.
std::string_view trim_unicode_white_space(std::string_view text) noexcept;

// True when the text is empty or holds only Unicode white space.
bool is_blank(std::string_view text) noexcept;

}  // namespace quorrel::core
