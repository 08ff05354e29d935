#pragma once
// Finding the bytes that end a run of JSON string content needing no escapes: '"', '\'
// and the controls below 0x20. Writing and reading receipts both copy or
// skip such runs, sixteen bytes at a time where the processor allows.

#include <array>
#include <bit>
#include <cstddef>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace quorrel::evidence::detail {

constexpr std::array<bool, 256> make_json_special() {
  std::array<bool, 256> table{};
  for (int c = 0; c < 0x20; ++c) table[c] = true;
  table['"'] = true;
  table['\\'] = true;
  return table;
}
inline constexpr std::array<bool, 256> kJsonSpecial = make_json_special();

// The offset of the first such byte in [data, data + size), or size. Always
// inlined: it sits in the innermost loops of both the writer and the reader.
[[gnu::always_inline]] inline std::size_t find_json_special(const char* data, std::size_t size) noexcept {
  std::size_t i = 0;
#if defined(__SSE2__)
  const __m128i quote = _mm_set1_epi8('"');
  const __m128i backslash = _mm_set1_epi8('\\');
  const __m128i last_control = _mm_set1_epi8(0x1F);
  for (; size - i >= 16; i += 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + i));
    // A byte is a control exactly when its unsigned minimum with 0x1F is itself.
    const __m128i special = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, quote), _mm_cmpeq_epi8(v, backslash)),
                                         _mm_cmpeq_epi8(_mm_min_epu8(v, last_control), v));
    const int mask = _mm_movemask_epi8(special);
    if (mask != 0) return i + static_cast<std::size_t>(std::countr_zero(static_cast<unsigned>(mask)));
  }
#endif
  while (i < size && !kJsonSpecial[static_cast<unsigned char>(data[i])]) ++i;
  return i;
}

}  // namespace quorrel::evidence::detail
