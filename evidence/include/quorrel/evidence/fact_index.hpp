#pragma once
// Every fact of a document under its key (concept text, context reference,
// unit reference), as verification finds a locator's fact again.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "quorrel/core/digest64.hpp"
#include "quorrel/core/types.hpp"

namespace quorrel::evidence {

// Facts are found again by concept text, context reference and unit reference;
// an absent unit reference and an empty one are different keys.
struct FactKeyView {
  std::string_view concept_text;
  std::string_view context_ref;
  std::optional<std::string_view> unit_ref;
};

// What a locator finds: how many facts, and the position of the one that
// verification reads (the lowest of them). `first` means nothing when
// `count` is 0.
struct FactMatch {
  std::size_t count = 0;
  std::size_t first = 0;
};

// Every fact of a document under its key, in one sorted vector. Each key is
// written once into the index's own text as one byte string (lengths before
// the concept and the context reference, a marker before the unit
// reference), so that the index owns everything it reads and comparing two
// keys is one byte comparison. Entries are ordered by a 64-bit digest of the
// key first, so a search mostly compares integers; keys whose digests
// collide are still told apart by their bytes, so no input can make a search
// slower than a binary search over the keys; it starts from the run of
// digests that share the key's top bits (DigestRuns). Within a key, entries are
// ordered by byte range (facts without one first) and then by position, so a
// recorded range finds its facts by binary search however many facts share
// the key.
//
// The sorted vector is built when a search first needs it. Where no two facts
// share a byte range (each fact is its own element), the fact at the
// recorded range, if it is under the key, is the one match a search would
// give; it is found at the expected position or by a binary search over the
// ranges' ends, which rise with position. So receipts whose ranges are their
// facts' never need the sorted vector.
class FactIndex {
 public:
  FactIndex() = default;
  explicit FactIndex(const core::Facts& facts);

  // The facts under the key, narrowed to those at `range` when there are
  // several and any sits there. `key_buffer` is the caller's, reused to
  // write the key. `next_position`, when given, is where the caller expects
  // the fact to be (receipts usually come in fact order): the few positions
  // from there are tried first, each by one comparison of its key in place,
  // and it is left just past the fact found. Safe to call from several
  // threads at once.
  [[nodiscard]] FactMatch locate(const FactKeyView& key, const std::optional<core::ByteRange>& range,
                                 std::string& key_buffer, std::size_t* next_position = nullptr) const;

 private:
  struct Entry {
    std::optional<core::ByteRange> range;
    std::size_t position;  // its key is key_of_position(position)
    std::size_t lowest;    // the lowest position under the same key
    std::size_t run_end;   // one past the last entry under the same key
  };
  struct Sorted {
    std::vector<Entry> entries;
    std::vector<std::uint64_t> digests;  // the entries' digests, in their order, searched first
    core::DigestRuns runs;               // where the search for a digest starts
  };
  std::string_view key_of_position(std::size_t position) const noexcept {
    return std::string_view(text_).substr(key_offsets_[position], key_offsets_[position + 1] - key_offsets_[position]);
  }
  std::string_view key_of(const Entry& entry) const noexcept { return key_of_position(entry.position); }
  void sort_entries(Sorted& sorted) const;
  const Sorted& sorted() const;
  // The entries under the key, as [begin, end); empty when it is not indexed.
  std::pair<std::size_t, std::size_t> run_of(const Sorted& sorted, std::string_view key) const;

  std::string text_;
  // By position: where each fact's key starts in text_ (keys are written in
  // position order, one more offset closes the last), and the fact's range.
  std::vector<std::size_t> key_offsets_;
  std::vector<std::optional<core::ByteRange>> ranges_;
  bool ranges_distinct_ = false;  // no two facts share a byte range
  // While they are: the ends of the facts' ranges, rising, and their positions.
  std::vector<std::uint64_t> ends_;
  std::vector<std::size_t> end_positions_;
  struct Lazy {
    std::once_flag once;
    Sorted sorted;
  };
  std::unique_ptr<Lazy> lazy_ = std::make_unique<Lazy>();
};

}  // namespace quorrel::evidence
