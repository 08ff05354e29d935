#include "quorrel/evidence/fact_index.hpp"

#include <algorithm>
#include <cstring>
#include <functional>

#include "quorrel/core/digest64.hpp"

namespace quorrel::evidence {

namespace {

void append_length(std::size_t size, std::string& out) {
  char bytes[sizeof size];
  std::memcpy(bytes, &size, sizeof size);
  out.append(bytes, sizeof size);
}

// One key as one byte string: equal keys give equal strings and different
// keys different ones (the lengths delimit the first two texts, the marker
// tells an absent unit reference from an empty one).
void append_key(std::string_view concept_text, std::string_view context_ref,
                const std::optional<std::string_view>& unit_ref, std::string& out) {
  append_length(concept_text.size(), out);
  out.append(concept_text);
  append_length(context_ref.size(), out);
  out.append(context_ref);
  if (unit_ref) {
    out.push_back('\1');
    out.append(*unit_ref);
  } else {
    out.push_back('\0');
  }
}

// The key of a fact, written as append_key writes it for the text of its
// concept name ("prefix:local", "{namespace}local" or "local"), without
// rendering that text first.
void append_fact_key(const core::RawFact& fact, std::string& out) {
  const core::QName& name = fact.concept_name;
  const std::string_view local = name.local_name.view();
  if (name.prefix) {
    append_length(name.prefix->size() + 1 + local.size(), out);
    out.append(*name.prefix);
    out.push_back(':');
  } else if (name.namespace_uri) {
    const std::string_view uri = name.namespace_uri->view();
    append_length(uri.size() + 2 + local.size(), out);
    out.push_back('{');
    out.append(uri);
    out.push_back('}');
  } else {
    append_length(local.size(), out);
  }
  out.append(local);
  append_length(fact.context_ref.size(), out);
  out.append(fact.context_ref);
  if (fact.unit_ref) {
    out.push_back('\1');
    out.append(*fact.unit_ref);
  } else {
    out.push_back('\0');
  }
}

}  // namespace

FactIndex::FactIndex(const core::Facts& facts) {
  const std::size_t count = facts.size();
  key_offsets_.reserve(count + 1);
  ranges_.reserve(count);
  text_.reserve(count * 64);
  // Facts are recorded as they close, so their ranges' ends normally rise
  // with position, which shows at once that no two are the same.
  ranges_distinct_ = true;
  ends_.reserve(count);
  end_positions_.reserve(count);
  for (std::size_t position = 0; position < count; ++position) {
    const core::RawFact& fact = facts[position];
    key_offsets_.push_back(text_.size());
    append_fact_key(fact, text_);
    ranges_.push_back(fact.byte_range);
    if (fact.byte_range) {
      ranges_distinct_ = ranges_distinct_ && (ends_.empty() || fact.byte_range->second > ends_.back());
      ends_.push_back(fact.byte_range->second);
      end_positions_.push_back(position);
    }
  }
  key_offsets_.push_back(text_.size());
  // Without that, a range does not settle a search: the sorted vector is
  // built now, while the facts are still in cache.
  if (!ranges_distinct_) {
    ends_ = {};
    end_positions_ = {};
    sorted();
  }
}

const FactIndex::Sorted& FactIndex::sorted() const {
  std::call_once(lazy_->once, [this] { sort_entries(lazy_->sorted); });
  return lazy_->sorted;
}

void FactIndex::sort_entries(Sorted& sorted) const {
  const std::size_t count = ranges_.size();
  // The facts are sorted as (digest, position) pairs: sixteen bytes each,
  // compared as integers. Only a run of equal digests (facts under one key,
  // or keys whose digests collide) is then ordered by key bytes, range and
  // position.
  std::vector<std::pair<std::uint64_t, std::size_t>> order;
  order.reserve(count);
  for (std::size_t position = 0; position < count; ++position) {
    order.emplace_back(core::digest64(key_of_position(position)), position);
  }
  sorted.runs = core::DigestRuns(order, [](const auto& p) { return p.first; }, std::less<>{});
  const std::vector<std::optional<core::ByteRange>>& ranges = ranges_;
  const auto key_at = [this](std::size_t position) { return key_of_position(position); };
  for (std::size_t begin = 0; begin < count;) {
    std::size_t end = begin + 1;
    while (end < count && order[end].first == order[begin].first) ++end;
    if (end - begin > 1) {
      std::sort(order.begin() + static_cast<std::ptrdiff_t>(begin), order.begin() + static_cast<std::ptrdiff_t>(end),
                [&](const auto& a, const auto& b) {
                  if (const auto c = key_at(a.second) <=> key_at(b.second); c != 0) return c < 0;
                  const std::optional<core::ByteRange>& a_range = ranges[a.second];
                  const std::optional<core::ByteRange>& b_range = ranges[b.second];
                  if (a_range != b_range) return a_range < b_range;
                  return a.second < b.second;
                });
    }
    begin = end;
  }

  sorted.entries.reserve(count);
  sorted.digests.reserve(count);
  for (std::size_t begin = 0; begin < count;) {
    const std::string_view key = key_at(order[begin].second);
    std::size_t end = begin + 1;
    std::size_t lowest = order[begin].second;
    for (; end < count && order[end].first == order[begin].first && key_at(order[end].second) == key; ++end) {
      lowest = std::min(lowest, order[end].second);
    }
    for (std::size_t i = begin; i < end; ++i) {
      const std::size_t position = order[i].second;
      sorted.entries.push_back(Entry{ranges[position], position, lowest, end});
      sorted.digests.push_back(order[i].first);
    }
    begin = end;
  }
}

std::pair<std::size_t, std::size_t> FactIndex::run_of(const Sorted& sorted, std::string_view key) const {
  const std::uint64_t digest = core::digest64(key);
  // The digests alone narrow the search to one digest's entries, usually a single key.
  const auto [first, last] = sorted.runs.run(digest);
  const auto [lo, hi] = std::equal_range(sorted.digests.begin() + static_cast<std::ptrdiff_t>(first),
                                         sorted.digests.begin() + static_cast<std::ptrdiff_t>(last), digest);
  const auto begin = sorted.entries.begin() + (lo - sorted.digests.begin());
  const auto end = sorted.entries.begin() + (hi - sorted.digests.begin());
  const auto it = std::partition_point(begin, end, [&](const Entry& entry) { return key_of(entry) < key; });
  if (it == end || key_of(*it) != key) return {0, 0};
  return {static_cast<std::size_t>(it - sorted.entries.begin()), it->run_end};
}

FactMatch FactIndex::locate(const FactKeyView& key, const std::optional<core::ByteRange>& range,
                            std::string& key_buffer, std::size_t* next_position) const {
  key_buffer.clear();
  append_key(key.concept_text, key.context_ref, key.unit_ref, key_buffer);
  if (range && ranges_distinct_) {
    // The fact at the recorded range under the key is alone there, so a
    // search would give it: whether it is the key's only fact or one of
    // several, narrowed by the range.
    const auto found = [&](std::size_t p) -> std::optional<FactMatch> {
      if (ranges_[p] != range || key_of_position(p) != std::string_view(key_buffer)) return std::nullopt;
      if (next_position != nullptr) *next_position = p + 1;
      return FactMatch{1, p};
    };
    if (next_position != nullptr) {
      constexpr std::size_t kTried = 3;
      const std::size_t facts = ranges_.size();
      for (std::size_t p = *next_position; p < facts && p - *next_position < kTried; ++p) {
        if (const auto match = found(p)) return *match;
      }
    }
    const auto end = std::lower_bound(ends_.begin(), ends_.end(), range->second);
    if (end != ends_.end() && *end == range->second) {
      if (const auto match = found(end_positions_[static_cast<std::size_t>(end - ends_.begin())])) return *match;
    }
  }
  if (ranges_.empty()) return {};
  const Sorted& index = sorted();
  const auto [lo, hi] = run_of(index, key_buffer);
  if (lo == hi) return {};
  const std::vector<Entry>& entries = index.entries;
  if (hi - lo >= 2 && range) {
    const auto begin = entries.begin() + static_cast<std::ptrdiff_t>(lo);
    const auto end = entries.begin() + static_cast<std::ptrdiff_t>(hi);
    const auto at = std::partition_point(begin, end, [&](const Entry& entry) { return entry.range < *range; });
    const auto past = std::partition_point(at, end, [&](const Entry& entry) { return entry.range == *range; });
    if (at != past) {
      if (next_position != nullptr) *next_position = at->position + 1;
      return {static_cast<std::size_t>(past - at), at->position};
    }
  }
  if (next_position != nullptr) *next_position = entries[lo].lowest + 1;
  return {hi - lo, entries[lo].lowest};
}

}  // namespace quorrel::evidence
