#pragma once
// Validation of UTF-8 with the decoder's own descriptions of a fault.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace quorrel::core {

// Where and how a byte string stops being UTF-8.
struct Utf8Error {
  std::size_t valid_up_to = 0;              // length of the longest valid prefix
  std::optional<std::size_t> error_length;  // bytes of the invalid sequence; absent when the text ends inside one

  // "invalid utf-8 sequence of {n} bytes from index {i}" or
  // "incomplete utf-8 byte sequence from index {i}".
  std::string description() const;
  bool operator==(const Utf8Error&) const = default;
};

// Checks the whole text; nothing when it is valid UTF-8. Tests 16 ASCII bytes at a time.
[[nodiscard]] std::optional<Utf8Error> validate_utf8(std::string_view text) noexcept;

}  // namespace quorrel::core
