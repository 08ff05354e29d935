#pragma once
// A fast 64-bit digest of a byte string, eight bytes at a time. It orders
// lookup tables and picks cache slots; it is no defence by itself, so every
// table that uses it still compares the bytes of equal digests.

#include <cstddef>
#include <cstdint>
#include <algorithm>
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

// A list sorted by digest, and where the runs of digests that share their top
// bits start, with as many top bits as give about one digest per run. The
// list is sorted by dealing its items into their runs and sorting each run on
// its own, which takes linear time for digests spread as a hash spreads them;
// a search for a digest then starts from its run rather than from the whole
// list, and reads one or two entries instead of a path through a large array.
// Digests that an input makes share their top bits cost no more than a sort,
// and a binary search, within their run.
class DigestRuns {
 public:
  DigestRuns() = default;
  // Sorts items by less, which must order by digest_of(item) first.
  template <class T, class DigestOf, class Less>
  DigestRuns(std::vector<T>& items, DigestOf&& digest_of, Less&& less) {
    const std::size_t count = items.size();
    const unsigned bits = static_cast<unsigned>(std::bit_width(count));
    shift_ = 64 - bits;
    const std::size_t runs = std::size_t{1} << bits;
    // While dealing, the list holds where each run ends and, ahead of that,
    // where its next item goes; each item is swapped into its run, in place.
    starts_.assign(2 * runs + 1, 0);
    std::size_t* const next = starts_.data();
    std::size_t* const end = starts_.data() + runs;
    for (const T& item : items) ++end[top(digest_of(item))];
    for (std::size_t run = 0, at = 0; run < runs; ++run) {
      next[run] = at;
      at += end[run];
      end[run] = at;
    }
    for (std::size_t run = 0; run < runs; ++run) {
      for (std::size_t i = next[run]; i < end[run];) {
        const std::size_t home = top(digest_of(items[i]));
        if (home == run) {
          i = ++next[run];
        } else {
          using std::swap;
          swap(items[i], items[next[home]++]);
        }
      }
    }
    // Then it holds where each run starts, and one more entry the end.
    starts_[0] = 0;
    for (std::size_t run = 0; run < runs; ++run) starts_[run + 1] = end[run];
    starts_.resize(runs + 1);
    for (std::size_t run = 0; run < runs; ++run) {
      const auto first = items.begin() + static_cast<std::ptrdiff_t>(starts_[run]);
      const auto last = items.begin() + static_cast<std::ptrdiff_t>(starts_[run + 1]);
      if (last - first > 1) std::sort(first, last, less);
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
