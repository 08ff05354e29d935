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
  // Each fact's key goes into text_ in position order, and the facts are
  // sorted as (digest, position) pairs: sixteen bytes each, compared as
  // integers. Only a run of equal digests (facts under one key, or keys
  // whose digests collide) is then ordered by key bytes, range and position.
  // The facts are read once, in order; their ranges are copied into one
  // compact vector, which the steps below read in sorted order.
  std::vector<std::pair<std::uint64_t, std::size_t>> order;
  order.reserve(count);
  std::vector<std::optional<core::ByteRange>>& ranges = ranges_;
  ranges.reserve(count);
  text_.reserve(count * 64);
  for (std::size_t position = 0; position < count; ++position) {
    const std::size_t begin = text_.size();
    key_offsets_.push_back(begin);
    const core::RawFact& fact = facts[position];
    append_fact_key(fact, text_);
    ranges.push_back(fact.byte_range);
    order.emplace_back(core::digest64(std::string_view(text_).substr(begin)), position);
  }
  key_offsets_.push_back(text_.size());
  runs_ = core::DigestRuns(order, [](const auto& p) { return p.first; }, std::less<>{});
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

  entries_.reserve(count);
  digests_.reserve(count);
  key_facts_.resize(count);
  alone_at_range_.resize(count);
  for (std::size_t begin = 0; begin < count;) {
    const std::string_view key = key_at(order[begin].second);
    std::size_t end = begin + 1;
    std::size_t lowest = order[begin].second;
    for (; end < count && order[end].first == order[begin].first && key_at(order[end].second) == key; ++end) {
      lowest = std::min(lowest, order[end].second);
    }
    for (std::size_t i = begin; i < end; ++i) {
      const std::size_t position = order[i].second;
      // Within a key, facts at one range are neighbours.
      const std::optional<core::ByteRange>& range = ranges[position];
      alone_at_range_[position] = range && (i == begin || ranges[order[i - 1].second] != range) &&
                                  (i + 1 == end || ranges[order[i + 1].second] != range);
      entries_.push_back(Entry{range, position, lowest, end});
      digests_.push_back(order[i].first);
      key_facts_[position] = end - begin;
    }
    begin = end;
  }
}

std::pair<std::size_t, std::size_t> FactIndex::run_of(std::string_view key) const {
  const std::uint64_t digest = core::digest64(key);
  // The digests alone narrow the search to one digest's entries, usually a single key.
  const auto [first, last] = runs_.run(digest);
  const auto [lo, hi] = std::equal_range(digests_.begin() + static_cast<std::ptrdiff_t>(first),
                                         digests_.begin() + static_cast<std::ptrdiff_t>(last), digest);
  const auto begin = entries_.begin() + (lo - digests_.begin());
  const auto end = entries_.begin() + (hi - digests_.begin());
  const auto it = std::partition_point(begin, end, [&](const Entry& entry) { return key_of(entry) < key; });
  if (it == end || key_of(*it) != key) return {0, 0};
  return {static_cast<std::size_t>(it - entries_.begin()), it->run_end};
}

FactMatch FactIndex::locate(const FactKeyView& key, const std::optional<core::ByteRange>& range,
                            std::string& key_buffer, std::size_t* next_position) const {
  key_buffer.clear();
  append_key(key.concept_text, key.context_ref, key.unit_ref, key_buffer);
  if (next_position != nullptr) {
    // A fact alone under its key is the match whatever range is recorded;
    // one of several is when it alone sits at the recorded range.
    constexpr std::size_t kTried = 3;
    const std::size_t facts = key_facts_.size();
    for (std::size_t p = *next_position; p < facts && p - *next_position < kTried; ++p) {
      const bool alone = key_facts_[p] == 1 || (range && alone_at_range_[p] && ranges_[p] == range);
      if (alone && key_of_position(p) == std::string_view(key_buffer)) {
        *next_position = p + 1;
        return {1, p};
      }
    }
  }
  const auto [lo, hi] = run_of(key_buffer);
  if (lo == hi) return {};
  if (hi - lo >= 2 && range) {
    const auto begin = entries_.begin() + static_cast<std::ptrdiff_t>(lo);
    const auto end = entries_.begin() + static_cast<std::ptrdiff_t>(hi);
    const auto at = std::partition_point(begin, end, [&](const Entry& entry) { return entry.range < *range; });
    const auto past = std::partition_point(at, end, [&](const Entry& entry) { return entry.range == *range; });
    if (at != past) {
      if (next_position != nullptr) *next_position = at->position + 1;
      return {static_cast<std::size_t>(past - at), at->position};
    }
  }
  if (next_position != nullptr) *next_position = entries_[lo].lowest + 1;
  return {hi - lo, entries_[lo].lowest};
}

}  // namespace quorrel::evidence
