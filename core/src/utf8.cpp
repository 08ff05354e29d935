#include "quorrel/core/utf8.hpp"

#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace quorrel::core {

std::string Utf8Error::description() const {
  if (error_length) {
    return "invalid utf-8 sequence of " + std::to_string(*error_length) + " bytes from index " +
           std::to_string(valid_up_to);
  }
  return "incomplete utf-8 byte sequence from index " + std::to_string(valid_up_to);
}

namespace {

constexpr std::uint64_t kHighBits = 0x8080808080808080ULL;

inline std::uint64_t load64(const unsigned char* p) noexcept {
  std::uint64_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

inline bool is_cont(unsigned char b) noexcept { return (b & 0xC0) == 0x80; }

}  // namespace

std::optional<Utf8Error> validate_utf8(std::string_view text) noexcept {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t n = text.size();
  std::size_t i = 0;
  while (i < n) {
    // ASCII fast path: 64 bytes per step while no byte has its high bit set
    // (four 16-byte loads and one mask where the processor has them), then
    // 16 bytes per step.
#if defined(__SSE2__)
    while (i + 64 <= n) {
      const auto* q = reinterpret_cast<const __m128i*>(p + i);
      const __m128i any = _mm_or_si128(_mm_or_si128(_mm_loadu_si128(q), _mm_loadu_si128(q + 1)),
                                       _mm_or_si128(_mm_loadu_si128(q + 2), _mm_loadu_si128(q + 3)));
      if (_mm_movemask_epi8(any) != 0) break;
      i += 64;
    }
#endif
    while (i + 16 <= n && ((load64(p + i) | load64(p + i + 8)) & kHighBits) == 0) i += 16;
    if (i >= n) break;
    const unsigned char b0 = p[i];
    if (b0 < 0x80) {
      ++i;
      continue;
    }
    // A sequence is judged byte by byte: the error length counts the bytes
    // that still formed a valid beginning before the offending one.
    auto incomplete = [&]() { return Utf8Error{i, std::nullopt}; };
    auto invalid = [&](std::size_t len) { return Utf8Error{i, len}; };
    if (b0 >= 0xC2 && b0 <= 0xDF) {
      if (i + 1 >= n) return incomplete();
      if (!is_cont(p[i + 1])) return invalid(1);
      i += 2;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
      if (i + 1 >= n) return incomplete();
      const unsigned char b1 = p[i + 1];
      const bool ok = (b0 == 0xE0)   ? (b1 >= 0xA0 && b1 <= 0xBF)
                      : (b0 == 0xED) ? (b1 >= 0x80 && b1 <= 0x9F)
                                     : is_cont(b1);
      if (!ok) return invalid(1);
      if (i + 2 >= n) return incomplete();
      if (!is_cont(p[i + 2])) return invalid(2);
      i += 3;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
      if (i + 1 >= n) return incomplete();
      const unsigned char b1 = p[i + 1];
      const bool ok = (b0 == 0xF0)   ? (b1 >= 0x90 && b1 <= 0xBF)
                      : (b0 == 0xF4) ? (b1 >= 0x80 && b1 <= 0x8F)
                                     : is_cont(b1);
      if (!ok) return invalid(1);
      if (i + 2 >= n) return incomplete();
      if (!is_cont(p[i + 2])) return invalid(2);
      if (i + 3 >= n) return incomplete();
      if (!is_cont(p[i + 3])) return invalid(3);
      i += 4;
    } else {
      return invalid(1);
    }
  }
  return std::nullopt;
}

}  // namespace quorrel::core
