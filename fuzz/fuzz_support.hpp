#pragma once
// Shared helpers of the fuzz targets: a property check that stops the run
// (so that libFuzzer keeps the input) and a strict UTF-8 validity test.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

namespace quorrel::fuzz {

[[noreturn]] inline void property_failed(const char* expr, const char* file, int line,
                                         std::string_view detail) {
  std::fprintf(stderr, "\n%s:%d: property failed: %s\n", file, line, expr);
  if (!detail.empty()) std::fprintf(stderr, "  %.*s\n", static_cast<int>(detail.size()), detail.data());
  std::fflush(stderr);
  std::abort();
}

// True for well-formed UTF-8: shortest forms only, no surrogates, nothing
// above U+10FFFF.
inline bool is_valid_utf8(std::string_view s) noexcept {
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  const std::size_t n = s.size();
  std::size_t i = 0;
  while (i < n) {
    const unsigned c = p[i];
    if (c < 0x80) {
      ++i;
      continue;
    }
    std::size_t len = 0;
    unsigned lo = 0x80, hi = 0xBF;
    if (c >= 0xC2 && c <= 0xDF) {
      len = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
      len = 3;
      if (c == 0xE0) lo = 0xA0;
      if (c == 0xED) hi = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      len = 4;
      if (c == 0xF0) lo = 0x90;
      if (c == 0xF4) hi = 0x8F;
    } else {
      return false;
    }
    if (n - i < len) return false;
    if (p[i + 1] < lo || p[i + 1] > hi) return false;
    for (std::size_t k = 2; k < len; ++k) {
      if (p[i + k] < 0x80 || p[i + k] > 0xBF) return false;
    }
    i += len;
  }
  return true;
}

// Decodes the character at s[i] of text already known to be valid UTF-8.
struct Utf8Char {
  char32_t code_point;
  std::size_t length;
};
inline Utf8Char decode_valid_utf8(std::string_view s, std::size_t i) noexcept {
  const auto* p = reinterpret_cast<const unsigned char*>(s.data()) + i;
  if (p[0] < 0x80) return {p[0], 1};
  if (p[0] < 0xE0) return {static_cast<char32_t>(((p[0] & 0x1Fu) << 6) | (p[1] & 0x3Fu)), 2};
  if (p[0] < 0xF0) {
    return {static_cast<char32_t>(((p[0] & 0x0Fu) << 12) | ((p[1] & 0x3Fu) << 6) | (p[2] & 0x3Fu)), 3};
  }
  return {static_cast<char32_t>(((p[0] & 0x07u) << 18) | ((p[1] & 0x3Fu) << 12) | ((p[2] & 0x3Fu) << 6) |
                                (p[3] & 0x3Fu)),
          4};
}

// Splits fuzzer bytes into fields at a separator byte, for targets that take
// several arguments. Views stay valid as long as the input does.
class FieldReader {
 public:
  FieldReader(const std::uint8_t* data, std::size_t size)
      : rest_(reinterpret_cast<const char*>(data), size) {}

  // The next field up to (not including) the separator, or the rest.
  std::string_view next(char separator) {
    const std::size_t cut = rest_.find(separator);
    std::string_view field = rest_.substr(0, cut);
    rest_ = cut == std::string_view::npos ? std::string_view() : rest_.substr(cut + 1);
    return field;
  }
  // One byte as a small selector (0 when the input is used up).
  std::uint8_t byte() {
    if (rest_.empty()) return 0;
    const auto b = static_cast<std::uint8_t>(rest_.front());
    rest_.remove_prefix(1);
    return b;
  }
  std::string_view rest() const { return rest_; }

 private:
  std::string_view rest_;
};

}  // namespace quorrel::fuzz

#define FUZZ_CHECK(cond, detail)                                                  \
  do {                                                                            \
    if (!(cond)) ::quorrel::fuzz::property_failed(#cond, __FILE__, __LINE__, (detail)); \
  } while (0)
