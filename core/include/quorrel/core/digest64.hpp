#pragma once
// A fast 64-bit digest of a byte string, eight bytes at a time. It orders
// lookup tables and picks cache slots; it is no defence by itself, so every
// table that uses it still compares the bytes of equal digests.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace quorrel::core {

inline std::uint64_t digest64(std::string_view bytes) noexcept {
  constexpr std::uint64_t kMultiplier = 0x9E3779B97F4A7C15ULL;
  std::uint64_t h = bytes.size() * kMultiplier;
  std::size_t i = 0;
  for (; bytes.size() - i >= 8; i += 8) {
    std::uint64_t word;
    std::memcpy(&word, bytes.data() + i, 8);
    h = (h ^ word) * kMultiplier;
    h ^= h >> 29;
  }
  std::uint64_t tail = 0;
  for (std::size_t shift = 0; i < bytes.size(); ++i, shift += 8) {
    tail |= static_cast<std::uint64_t>(static_cast<unsigned char>(bytes[i])) << shift;
  }
  h = (h ^ tail) * kMultiplier;
  return h ^ (h >> 32);
}

}  // namespace quorrel::core
