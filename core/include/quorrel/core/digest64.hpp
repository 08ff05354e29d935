#pragma once
// A fast 64-bit digest of a byte string, eight bytes at a time. It orders
// lookup tables and picks cache slots; it is no defence by itself, so every
// table that uses it still compares the bytes of equal digests.

#include <cstddef>
#include <cstdint>
#include <bit>
#include <cstring>
#include <string_view>
#include <utility>
#include <vector>

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

// Where the runs of a sorted list of digests that share their top bits start,
// with as many top bits as give about one digest per run: a search for a
// digest then starts from its run rather than from the whole list, and reads
// one or two entries instead of a path through a large array. Digests that an
// input makes share their top bits still cost no more than a binary search
// within their run.
class DigestRuns {
 public:
  DigestRuns() = default;
  // digest_of(i) is the i-th of count digests, in rising order.
  template <class DigestOf>
  DigestRuns(std::size_t count, DigestOf&& digest_of) {
    const unsigned bits = static_cast<unsigned>(std::bit_width(count));
    shift_ = 64 - bits;
    const std::size_t runs = std::size_t{1} << bits;
    starts_.resize(runs + 1);
    std::size_t at = 0;
    for (std::size_t run = 0; run <= runs; ++run) {
      while (at < count && top(digest_of(at)) < run) ++at;
      starts_[run] = at;
    }
  }
  // The positions [begin, end) of the digests that share this one's top bits.
  std::pair<std::size_t, std::size_t> run(std::uint64_t digest) const noexcept {
    if (starts_.empty()) return {0, 0};
    const std::size_t r = top(digest);
    return {starts_[r], starts_[r + 1]};
  }

 private:
  std::size_t top(std::uint64_t digest) const noexcept {
    return shift_ == 64 ? 0 : static_cast<std::size_t>(digest >> shift_);
  }
  std::vector<std::size_t> starts_;
  unsigned shift_ = 64;
};

}  // namespace quorrel::core
