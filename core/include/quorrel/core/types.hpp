#pragma once
// The parsed instance: plain values, no behaviour beyond rendering. The
// document owns every text its records view (its TextArena).

#include <algorithm>
#include <cstdlib>
#include <new>
#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace quorrel::core {

// Text that a document holds once and its records share: a view of the
// document's arena (or of a literal), so that copying a name copies a view.
// A document's names repeat a handful of namespace names thousands of times.
// Compares by content.
class SharedString {
 public:
  SharedString() = default;
  SharedString(std::string_view text) : text_(text) {}
  SharedString(const char* text) : text_(text) {}
  SharedString(const std::string& text) : text_(text) {}
  SharedString(std::string&&) = delete;  // would view a temporary

  std::string str() const { return std::string(text_); }
  operator std::string_view() const noexcept { return text_; }
  std::string_view view() const noexcept { return text_; }
  std::size_t size() const noexcept { return text_.size(); }
  bool empty() const noexcept { return text_.empty(); }

  friend bool operator==(const SharedString& a, const SharedString& b) noexcept { return a.text_ == b.text_; }
  friend bool operator==(const SharedString& a, std::string_view b) noexcept { return a.text_ == b; }
  friend bool operator==(const SharedString& a, const std::string& b) noexcept { return a.text_ == b; }
  friend bool operator==(const SharedString& a, const char* b) noexcept { return a.text_ == b; }
  friend std::ostream& operator<<(std::ostream& os, const SharedString& s);

 private:
  std::string_view text_;
};

// The texts of a name view its document's arena.
struct QName {
  SharedString local_name;  // shared by every use of the same name in a document
  std::optional<SharedString> namespace_uri;  // what the prefix (or default) was bound to
  std::optional<std::string_view> prefix;    // as written; present (maybe empty) when the name had a colon

  // "prefix:local", else "{namespace}local", else "local".
  std::string to_string() const;
  // The same text, replacing the content of a caller's buffer so that a loop
  // over many names reuses one allocation.
  void render_into(std::string& out) const;

  bool operator==(const QName&) const = default;
};

// Shared: a document usually names one entity in all of its contexts.
struct Entity {
  SharedString scheme;
  SharedString identifier;
  bool operator==(const Entity&) const = default;
};

struct Instant {
  std::string date;
  bool operator==(const Instant&) const = default;
};
struct Duration {
  std::string start;
  std::string end;
  bool operator==(const Duration&) const = default;
};
struct Forever {
  bool operator==(const Forever&) const = default;
};
using Period = std::variant<Instant, Duration, Forever>;

struct ExplicitMember {
  QName dimension;
  QName member;
  bool operator==(const ExplicitMember&) const = default;
};
struct TypedMember {
  QName dimension;
  std::string content;  // raw inner markup, untrimmed and not unescaped
  bool operator==(const TypedMember&) const = default;
};
using ContextElement = std::variant<ExplicitMember, TypedMember>;

struct Context {
  std::string id;
  Entity entity;
  std::vector<ContextElement> segment;
  std::vector<ContextElement> scenario;
  Period period;
  bool operator==(const Context&) const = default;
};

// A context member after normalization: the member is a name or raw typed content.
struct Dimension {
  QName dimension;
  std::variant<QName, std::string> member;
  bool operator==(const Dimension&) const = default;
};

struct Unit {
  std::string id;
  std::vector<QName> numerator;
  std::vector<QName> denominator;
  bool operator==(const Unit&) const = default;
};

// decimals / precision: "INF" or a number (signed for decimals, unsigned for precision).
struct Accuracy {
  enum class Kind { Infinite, Digits };
  Kind kind = Kind::Infinite;
  std::int64_t digits = 0;  // holds an i32 (decimals) or a u32 (precision)

  static Accuracy infinite() { return {Kind::Infinite, 0}; }
  static Accuracy of(std::int64_t d) { return {Kind::Digits, d}; }
  bool operator==(const Accuracy&) const = default;
};

// Texts a document's records view: written once, never moved, owned by the
// document, so that a record holds views rather than strings of its own.
// Blocks of at least kBlock bytes are filled in turn; a text longer than that
// gets a block of its own.
class TextArena {
 public:
  TextArena() = default;
  TextArena(const TextArena&) = delete;
  TextArena& operator=(const TextArena&) = delete;

  std::string_view add(std::string_view text);
  // The text of fact texts as the parse writes it: only ever appended to, so
  // a slice of it stays put by offset while it grows.
  std::string log;

 private:
  static constexpr std::size_t kBlock = std::size_t{1} << 16;
  std::vector<std::unique_ptr<char[]>> blocks_;
  char* next_ = nullptr;
  std::size_t left_ = 0;
};

// The text of a fact: a view of text that outlives it (a document's arena, or
// a literal), or a slice of a document's text log, so that nested facts share
// their text. Reads like a string view; compares by content.
class FactText {
 public:
  FactText() = default;
  FactText(std::string_view text) : data_(text.data()), size_(text.size()) {}
  FactText(const char* text) : FactText(std::string_view(text)) {}
  FactText(std::string&&) = delete;  // would view a temporary
  // A slice [offset, offset + size) of a log that is only ever appended to.
  FactText(const std::string& log, std::size_t offset, std::size_t size) : log_(&log), offset_(offset), size_(size) {}

  std::string_view view() const noexcept {
    return log_ ? std::string_view(*log_).substr(offset_, size_) : std::string_view(data_, size_);
  }
  operator std::string_view() const noexcept { return view(); }
  std::string str() const { return std::string(view()); }
  const char* data() const noexcept { return view().data(); }
  std::size_t size() const noexcept { return size_; }
  bool empty() const noexcept { return size_ == 0; }

  friend bool operator==(const FactText& a, const FactText& b) noexcept { return a.view() == b.view(); }
  friend bool operator==(const FactText& a, std::string_view b) noexcept { return a.view() == b; }
  friend bool operator==(const FactText& a, const std::string& b) noexcept { return a.view() == b; }
  friend bool operator==(const FactText& a, const char* b) noexcept { return a.view() == b; }
  friend std::ostream& operator<<(std::ostream& os, const FactText& t);

 private:
  const std::string* log_ = nullptr;
  union {
    const char* data_ = nullptr;
    std::size_t offset_;
  };
  std::size_t size_ = 0;
};

struct NumericText {
  FactText text;
  bool operator==(const NumericText&) const = default;
};
struct NonNumericText {
  FactText text;
  bool operator==(const NonNumericText&) const = default;
};
struct NilValue {
  bool operator==(const NilValue&) const = default;
};
using RawValue = std::variant<NumericText, NonNumericText, NilValue>;

// The texts of a fact view its document's arena.
struct InlineMeta {
  std::optional<std::string_view> format;
  std::optional<std::string_view> sign;
  std::optional<std::string_view> target;
  std::optional<std::string_view> continued_at;
  std::optional<std::int32_t> scale;
  bool hidden = false;
  bool operator==(const InlineMeta&) const = default;
};

using ByteRange = std::pair<std::uint64_t, std::uint64_t>;

struct RawFact {
  std::optional<ByteRange> byte_range;  // half-open, counted after a leading byte-order mark
  RawValue value;
  QName concept_name;  // "concept" is a C++ keyword
  std::string_view context_ref;
  std::optional<std::string_view> id;
  std::optional<std::string_view> unit_ref;
  std::optional<std::string_view> lang;
  std::optional<InlineMeta> inline_meta;
  std::optional<Accuracy> decimals;
  std::optional<Accuracy> precision;
  bool operator==(const RawFact&) const = default;
};

struct Footnote {
  std::string content;  // raw markup between the tags
  std::vector<std::string> fact_refs;
  std::optional<std::string> id;
  std::optional<std::string> role;
  std::optional<std::string> lang;
  bool operator==(const Footnote&) const = default;
};

// What a parse met that the document's records do not hold.
struct ParseCounts {
  std::size_t continuations = 0;       // continuation elements read
  std::size_t facts_in_footnotes = 0;  // fact elements inside footnote content, never read as facts
  std::size_t open_facts = 0;          // facts still open at the end of input, dropped
  std::size_t open_elements = 0;       // elements still open at the end of input
};

// Records filed under their ids, in byte-wise order of id, one per id: a
// vector sorted once, when the parse is done, and searched by bisection.
template <class T>
class ById {
 public:
  ById() = default;
  // The records in the order they were read; a later record with an id
  // already seen replaces the earlier one.
  explicit ById(std::vector<T> records) {
    // The ids are copied side by side and their positions sorted, so that
    // the sort reads compact keys rather than the records, and each record
    // then moves once.
    struct Key {
      std::uint64_t head;  // the first eight bytes, big-endian: compares as the bytes do
      std::size_t at;
      std::size_t size;
      std::size_t index;
    };
    std::string text;
    std::vector<Key> keys;
    keys.reserve(records.size());
    for (std::size_t i = 0; i < records.size(); ++i) {
      const std::string_view id = records[i].id;
      std::uint64_t head = 0;
      for (std::size_t b = 0; b < 8; ++b) {
        head = head << 8 | (b < id.size() ? static_cast<unsigned char>(id[b]) : 0U);
      }
      keys.push_back(Key{head, text.size(), id.size(), i});
      text.append(id);
    }
    const std::string_view all(text);
    const auto id_of = [&](const Key& k) { return all.substr(k.at, k.size); };
    // Equal ids stay in the order they were read.
    std::sort(keys.begin(), keys.end(), [&](const Key& a, const Key& b) {
      if (a.head != b.head) return a.head < b.head;
      if (const auto c = id_of(a) <=> id_of(b); c != 0) return c < 0;
      return a.index < b.index;
    });
    // The records to keep, in id order, then those replaced: a permutation,
    // applied in place by following its cycles, so that no second list of
    // records is made.
    std::vector<std::size_t> order;
    std::vector<std::size_t> replaced;
    order.reserve(keys.size());
    for (std::size_t i = 0; i < keys.size(); ++i) {
      // Of each run of equal ids the last, the one read last, stays.
      const bool later = i + 1 < keys.size() && keys[i + 1].head == keys[i].head && id_of(keys[i + 1]) == id_of(keys[i]);
      (later ? replaced : order).push_back(keys[i].index);
    }
    const std::size_t kept = order.size();
    order.insert(order.end(), replaced.begin(), replaced.end());
    for (std::size_t start = 0; start < order.size(); ++start) {
      if (order[start] == start) continue;
      T held = std::move(records[start]);
      std::size_t at = start;
      for (;;) {
        const std::size_t from = order[at];
        order[at] = at;
        if (from == start) {
          records[at] = std::move(held);
          break;
        }
        records[at] = std::move(records[from]);
        at = from;
      }
    }
    records.resize(kept);
    records_ = std::move(records);
  }

  auto begin() const noexcept { return records_.begin(); }
  auto end() const noexcept { return records_.end(); }
  std::size_t size() const noexcept { return records_.size(); }
  bool empty() const noexcept { return records_.empty(); }
  const T& operator[](std::size_t i) const noexcept { return records_[i]; }
  // The record of that id, or null.
  const T* find(std::string_view id) const noexcept {
    const auto it = std::partition_point(records_.begin(), records_.end(), [&](const T& r) { return r.id < id; });
    return it != records_.end() && it->id == id ? &*it : nullptr;
  }

 private:
  std::vector<T> records_;
};

// An allocator for the facts of a document: a block of 8 MiB or more (a
// large document's) is aligned to 2 MiB and asked to be backed by huge pages,
// so that touching it for the first time costs one fault per 2 MiB rather than
// per 4 KiB. A smaller block is an ordinary one, which the allocator hands out
// again from memory already touched when documents are read one after another.
// advise_huge_pages asks it of the whole 2 MiB pages that lie within a block;
// it is only advice, and a block of less than 8 MiB is not worth it.
inline constexpr std::size_t kHugePage = std::size_t{2} << 20;
inline constexpr std::size_t kHugeBlock = std::size_t{8} << 20;
void advise_huge_pages(void* block, std::size_t size) noexcept;

template <class T>
struct LargeBlocks {
  using value_type = T;
  static constexpr std::size_t kPage = kHugePage;
  static constexpr std::size_t kLarge = kHugeBlock;
  LargeBlocks() noexcept = default;
  template <class U>
  LargeBlocks(const LargeBlocks<U>&) noexcept {}
  T* allocate(std::size_t n) {
    const std::size_t bytes = n * sizeof(T);
    if (bytes < kLarge) return static_cast<T*>(::operator new(bytes));
    const std::size_t size = (bytes + kPage - 1) / kPage * kPage;
    void* block = std::aligned_alloc(kPage, size);
    if (block == nullptr) throw std::bad_alloc();
    advise_huge_pages(block, size);
    return static_cast<T*>(block);
  }
  void deallocate(T* p, std::size_t n) noexcept {
    if (n * sizeof(T) < kLarge) {
      ::operator delete(p);
    } else {
      std::free(p);
    }
  }
  template <class U>
  bool operator==(const LargeBlocks<U>&) const noexcept { return true; }
};

using Facts = std::vector<RawFact, LargeBlocks<RawFact>>;

struct InstanceDocument {
  // What the facts' texts view; shared by copies of the document.
  std::shared_ptr<const TextArena> texts;
  std::vector<std::string> schema_refs;
  Facts facts;  // in the order the fact elements close
  std::vector<Footnote> footnotes;
  ById<Context> contexts;
  ById<Unit> units;
  ParseCounts counts;
};

}  // namespace quorrel::core
