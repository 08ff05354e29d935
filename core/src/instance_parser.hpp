#pragma once
// Internal state of one instance parse, shared by parser.cpp (driver and
// dispatch), contexts_units.cpp and facts.cpp.

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <expected>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "quorrel/core/error.hpp"
#include "quorrel/core/parser.hpp"
#include "quorrel/core/types.hpp"
#include "quorrel/core/xml_reader.hpp"

namespace quorrel::core::detail {

// The attributes of one start tag, kept in document order as they were
// written. A key is found under an attribute's full name (the last attribute
// of that name wins) or, when no attribute has that full name, under the part
// after the last colon of a prefixed name (the first such attribute wins):
// "href" finds xlink:href unless a bare href is present. The list is taken
// over from the reader as it read it, which is all that most tags (a td or a
// span) ever need; a lookup scans the list, and since the parser asks a
// bounded number of keys per tag, a tag with a million attributes still costs
// linear time.
// Whether an attribute name answers to a key without a colon through its
// local part: the name ends with ":" and the key.
inline bool local_part_is(std::string_view name, std::string_view key) noexcept {
  return name.size() > key.size() && name[name.size() - key.size() - 1] == ':' && name.ends_with(key);
}

// Whether any attribute of the list declares a namespace.
inline bool declares_namespace(const std::vector<XmlAttribute>& list) noexcept {
  for (const XmlAttribute& a : list) {
    if (a.name.starts_with("xmlns")) return true;
  }
  return false;
}

// The bytes of a text of 4 to 16 bytes as two overlapping words, its first and
// its last eight (four for a text shorter than eight): two texts of the same
// length in that range are equal exactly when their words are.
struct TextWords {
  std::uint64_t head = 0;
  std::uint64_t tail = 0;
  bool operator==(const TextWords&) const = default;
};
constexpr std::uint64_t load_word(std::string_view text, std::size_t at, std::size_t size) noexcept {
  std::uint64_t word = 0;
  for (std::size_t i = 0; i < size; ++i) word |= std::uint64_t{static_cast<unsigned char>(text[at + i])} << (8 * i);
  return word;
}
constexpr TextWords text_words(std::string_view text) noexcept {
  const std::size_t width = text.size() >= 8 ? 8 : 4;
  return TextWords{load_word(text, 0, width), load_word(text, text.size() - width, width)};
}
// The same words read in place: a few loads rather than a comparison call.
inline TextWords read_words(std::string_view text) noexcept {
  if constexpr (std::endian::native == std::endian::little) {
    if (text.size() >= 8) {
      TextWords w;
      std::memcpy(&w.head, text.data(), 8);
      std::memcpy(&w.tail, text.data() + text.size() - 8, 8);
      return w;
    }
    std::uint32_t head;
    std::uint32_t tail;
    std::memcpy(&head, text.data(), 4);
    std::memcpy(&tail, text.data() + text.size() - 4, 4);
    return TextWords{head, tail};
  } else {
    return text_words(text);
  }
}

// A fixed set of attribute keys with, for each length, the keys of that
// length as a bit mask: a name is compared only with the keys as long as
// itself, usually none or one.
template <std::size_t N>
struct AttributeKeys {
  static_assert(N <= 32, "keys are tracked in a 32-bit mask");
  static constexpr std::size_t kLongest = 32;
  std::array<std::string_view, N> names;
  std::array<TextWords, N> words{};  // for keys of 4 to 16 bytes
  std::array<std::uint32_t, kLongest + 1> by_length{};
  std::uint32_t with_colon = 0;  // the keys holding a colon

  constexpr explicit AttributeKeys(const std::array<std::string_view, N>& keys) : names(keys) {
    for (std::size_t k = 0; k < N; ++k) {
      if (keys[k].size() <= kLongest) by_length[keys[k].size()] |= std::uint32_t{1} << k;
      if (keys[k].size() >= 4 && keys[k].size() <= 16) words[k] = text_words(keys[k]);
      if (keys[k].find(':') != std::string_view::npos) with_colon |= std::uint32_t{1} << k;
    }
  }
  // The index of the key equal to text, or N.
  std::size_t match(std::string_view text) const noexcept {
    if (text.size() > kLongest) return N;
    std::uint32_t m = by_length[text.size()];
    if (m == 0) return N;
    if (text.size() >= 4 && text.size() <= 16) {
      const TextWords w = read_words(text);
      for (; m != 0; m &= m - 1) {
        const auto k = static_cast<std::size_t>(std::countr_zero(m));
        if (w == words[k]) return k;
      }
      return N;
    }
    for (; m != 0; m &= m - 1) {
      const auto k = static_cast<std::size_t>(std::countr_zero(m));
      if (text == names[k]) return k;
    }
    return N;
  }
  bool has_colon(std::size_t k) const noexcept { return (with_colon >> k) & 1U; }
};

class AttributeMap {
 public:
  void clear() noexcept {
    entries_.clear();
    buffer_.clear();
    decoded_.clear();
  }
  // The list, in document order. An entry's raw_value is the text a lookup
  // answers: the value as written, or its decoded text once settle() ran.
  std::vector<XmlAttribute>& entries() noexcept { return entries_; }
  void add(std::string_view name, std::string_view value) { entries_.push_back(XmlAttribute{name, value, 0}); }
  // Decodes raw into the map's own buffer as the value of entries()[index];
  // the entry reads it once settle() ran, when the buffer no longer grows.
  [[nodiscard]] std::expected<void, std::string> decode(std::size_t index, std::string_view raw,
                                                        std::uint64_t raw_offset);
  void settle() noexcept;

  std::optional<std::string_view> get(std::string_view key) const noexcept;
  bool has(std::string_view key) const noexcept { return find(key) != kNone; }
  std::optional<std::string> get_string(std::string_view key) const;
  // What get() answers for each of several keys, in one scan of the list
  // (a fact's start tag is asked about a dozen keys).
  template <std::size_t N>
  std::array<std::optional<std::string_view>, N> get_all(const AttributeKeys<N>& keys) const noexcept;

 private:
  static constexpr std::size_t kNone = static_cast<std::size_t>(-1);
  struct Decoded {
    std::size_t index;  // in entries_
    std::size_t begin;  // in buffer_
    std::size_t size;
  };
  std::size_t find(std::string_view key) const noexcept {
    // The part after the last colon equals a key without a colon exactly when
    // the name ends with ":" followed by the key; a key with a colon can only
    // match a full name.
    if (key.empty()) return kNone;
    bool key_is_local = true;
    for (const char c : key) key_is_local = key_is_local && c != ':';
    std::size_t full = kNone;
    std::size_t local = kNone;
    for (std::size_t i = 0; i < entries_.size(); ++i) {
      const std::string_view name = entries_[i].name;
      if (name.size() < key.size() || name.back() != key.back()) continue;
      if (name.size() == key.size()) {
        if (name == key) full = i;
      } else if (local == kNone && key_is_local && local_part_is(name, key)) {
        local = i;
      }
    }
    return full != kNone ? full : local;
  }

  std::vector<XmlAttribute> entries_;
  std::string buffer_;
  std::vector<Decoded> decoded_;
};

template <std::size_t N>
std::array<std::optional<std::string_view>, N> AttributeMap::get_all(const AttributeKeys<N>& keys) const noexcept {
  std::array<std::size_t, N> full;
  std::array<std::size_t, N> local;
  full.fill(kNone);
  local.fill(kNone);
  for (std::size_t i = 0; i < entries_.size(); ++i) {
    const std::string_view name = entries_[i].name;
    // A full name that is a key counts for that key (the last one wins); the
    // part after its last colon may still count for another key, where the
    // first such name wins.
    if (const std::size_t k = keys.match(name); k != N) {
      full[k] = i;
      // A key without a colon matched the whole name, which then has no local part.
      if (!keys.has_colon(k)) continue;
    }
    const std::size_t colon = name.rfind(':');
    if (colon == std::string_view::npos) continue;
    if (const std::size_t k = keys.match(name.substr(colon + 1)); k != N && local[k] == kNone) local[k] = i;
  }
  std::array<std::optional<std::string_view>, N> found;
  for (std::size_t k = 0; k < N; ++k) {
    const std::size_t i = full[k] != kNone ? full[k] : local[k];
    if (i != kNone) found[k] = entries_[i].raw_value;
  }
  return found;
}

// Every key a fact's start tag is asked about, looked up in one scan.
enum FactAttribute : std::size_t {
  kContextRef, kName, kId, kUnitRef, kDecimals, kPrecision, kLang, kXmlLang, kNil, kFormat, kScale, kSign, kTarget,
  kContinuedAt, kFactAttributeCount
};
inline constexpr AttributeKeys<kFactAttributeCount> kFactAttributes{std::array<std::string_view, kFactAttributeCount>{
    "contextRef", "name", "id", "unitRef", "decimals", "precision", "lang", "xml:lang", "nil", "format", "scale",
    "sign", "target", "continuedAt"}};
using FactAttributes = std::array<std::optional<std::string_view>, kFactAttributeCount>;

// Namespace bindings in scope, as one stack with undo: an element's
// declarations are pushed when it starts and popped when its frame ends, and
// an index from prefix to its innermost binding keeps lookups logarithmic
// however many prefixes are declared.
class NamespaceScope {
 public:
  std::size_t mark() const noexcept { return stack_.size(); }
  // A binding as names take it: the prefix and its namespace, both in the
  // document's texts, shared by every name resolved through it.
  struct Bound {
    std::string_view prefix;
    SharedString uri;
  };
  // prefix absent: the default namespace. Both texts are copied into texts.
  void bind(std::optional<std::string_view> prefix, std::string_view uri, TextArena& texts);
  void undo(std::size_t mark) {
    if (stack_.size() > mark) drop_to(mark);
  }
  // The binding of a prefix, or null; the default namespace, or null.
  const Bound* lookup(std::string_view prefix) const noexcept {
    Recent& recent = recent_[recent_slot(prefix)];
    if (recent.binding != kNone && recent.prefix == prefix) return &stack_[recent.binding].bound;
    return lookup_in_index(prefix, recent);
  }
  const SharedString* default_namespace() const noexcept;

 private:
  static constexpr std::size_t kNone = static_cast<std::size_t>(-1);
  void drop_to(std::size_t mark);
  struct Binding {
    Bound bound;
    bool is_default;
    std::size_t shadowed;  // the binding of the same prefix it hides, or kNone
  };

  std::vector<Binding> stack_;
  std::map<std::string_view, std::size_t> top_;
  std::size_t default_top_ = kNone;
  // Prefixes found lately and their bindings, one per slot chosen by the
  // prefix's length and end bytes: facts and their members name their
  // concepts under a handful of prefixes, which then stay in their slots
  // while the bindings do not change. Any change to them forgets every slot.
  struct Recent {
    std::string_view prefix;
    std::size_t binding = kNone;
  };
  static constexpr std::size_t kRecentSlots = 16;
  static std::size_t recent_slot(std::string_view prefix) noexcept {
    if (prefix.empty()) return 0;
    const std::uint32_t key = static_cast<std::uint32_t>(prefix.size()) << 16 |
                              std::uint32_t{static_cast<unsigned char>(prefix.back())} << 8 |
                              static_cast<unsigned char>(prefix.front());
    return (key * 0x9E3779B1U) >> 28;
  }
  void forget_recent() noexcept { recent_.fill(Recent{}); }
  // The binding from the index, which then takes the prefix's slot.
  const Bound* lookup_in_index(std::string_view prefix, Recent& recent) const noexcept;
  mutable std::array<Recent, kRecentSlots> recent_{};
};

// Local names already made, so that a name a document repeats (a concept, a
// dimension, a member) is one shared string rather than a copy per use. The
// cache is a fixed number of slots, each holding the last name whose hash fell
// on it; a name that misses is made afresh and takes the slot. Whatever the
// input, a lookup costs one hash and at most one comparison.
class NameCache {
 public:
  // Room grows with the input (one slot per kilobyte, within fixed bounds):
  // a small document does not pay for a large table.
  // Names are made in texts, the document's.
  NameCache(std::size_t input_size, TextArena& texts);
  SharedString get(std::string_view name);

 private:
  TextArena& texts_;
  std::vector<SharedString> slots_;  // made on first use
  std::size_t slot_count_;           // a power of two
  unsigned shift_;                   // 64 less the bits of a slot index
};

// Splits a written name at its first colon and resolves the prefix (or, when
// use_default is set and there is no colon, the default namespace). Never fails.
QName parse_qname_str(std::string_view text, const NamespaceScope& scope, bool use_default, NameCache& names);

// CDATA content handed on as text; it must be UTF-8. position is the reader's
// offset just past the section.
[[nodiscard]] std::expected<std::string_view, XbrlError> cdata_text(std::string_view raw, std::uint64_t position);
// "unexpected closing tag {}" for an end tag with no open frame.
XbrlError unexpected_closing_tag(std::string_view raw_name);

enum class MemberContainer { None, Segment, Scenario };

// The context being read. The parser keeps one and reuses it for every
// context: its member lists keep their room from one context to the next, and
// a finished context gets lists made at their final size, one allocation each.
struct ContextBuilder {
  std::string id;
  std::vector<ContextElement> segment;
  std::vector<ContextElement> scenario;
  std::optional<SharedString> scheme;
  std::optional<std::string> identifier;
  std::optional<std::string> start_date;
  std::optional<std::string> end_date;
  std::optional<Period> period;
};

struct UnitBuilder {
  std::string id;
  std::vector<QName> numerator;
  std::vector<QName> denominator;
  bool in_denominator = false;
};

struct TextTarget {
  enum class Kind { None, Fact, Identifier, Instant, StartDate, EndDate, ExplicitMember, Measure };
  Kind kind = Kind::None;
  QName dimension;                                    // ExplicitMember
  MemberContainer container = MemberContainer::None;  // ExplicitMember
  bool in_denominator = false;                        // Measure
};

enum class FactKind { NonFraction, NonNumericElement, Plain };

// What an open fact's end needs beyond its record. The record itself is
// filled as the start tag is read, with everything but the value and the
// byte range. Facts are listed in the order they close, so the innermost open
// fact is made in its place as the last of the document's facts; when a fact
// opens inside it, it moves aside to the parser's held facts until it closes.
// A fact that holds no other fact is thus never moved.
struct FactBuilder {
  std::size_t text_start = 0;  // where its text begins in the text log
  std::uint64_t nesting = 0;
  std::uint64_t start = 0;
  bool nil = false;
  bool in_place = true;  // the record is the last of the document's facts, else the last held one
  FactKind kind = FactKind::Plain;
};

struct OpenContinuation {
  std::size_t text_start = 0;
  std::optional<std::string> id;
  std::optional<std::string> continued_at;
};

struct Continuation {
  FactText text;
  std::optional<std::string> continued_at;
};

struct FootnoteArc {
  std::string from;
  std::string to;
};

// The local names the parser reacts to, told apart once per start tag.
enum class ElementName : std::uint8_t {
  Other, TypedMember, Loc, Footnote, FootnoteArc, Continuation, SchemaRef, Hidden, NonNumeric, NonFraction, Unit,
  Context, Segment, Scenario, UnitNumerator, UnitDenominator
};
[[gnu::always_inline]] inline ElementName classify_element(std::string_view local) noexcept {
  // One length test rules out almost every name of ordinary markup.
  switch (local.size()) {
    case 3: return local == "loc" ? ElementName::Loc : ElementName::Other;
    case 4: return local == "unit" ? ElementName::Unit : ElementName::Other;
    case 6: return local == "hidden" ? ElementName::Hidden : ElementName::Other;
    case 7:
      if (local == "context") return ElementName::Context;
      if (local == "segment") return ElementName::Segment;
      return ElementName::Other;
    case 8:
      if (local == "footnote") return ElementName::Footnote;
      if (local == "scenario") return ElementName::Scenario;
      return ElementName::Other;
    case 9: return local == "schemaRef" ? ElementName::SchemaRef : ElementName::Other;
    case 10: return local == "nonNumeric" ? ElementName::NonNumeric : ElementName::Other;
    case 11:
      if (local == "typedMember") return ElementName::TypedMember;
      if (local == "footnoteArc") return ElementName::FootnoteArc;
      if (local == "nonFraction") return ElementName::NonFraction;
      return ElementName::Other;
    case 12: return local == "continuation" ? ElementName::Continuation : ElementName::Other;
    case 13: return local == "unitNumerator" ? ElementName::UnitNumerator : ElementName::Other;
    case 15: return local == "unitDenominator" ? ElementName::UnitDenominator : ElementName::Other;
    default: return ElementName::Other;
  }
}

// The part of a written name after its first colon, or the whole name: a
// short loop, as element names are a few bytes long.
inline std::string_view local_part(std::string_view name) noexcept {
  for (std::size_t i = 0; i < name.size(); ++i) {
    if (name[i] == ':') return name.substr(i + 1);
  }
  return name;
}

struct Frame {
  std::size_t scope_mark;  // bindings to drop when the frame ends
  ElementName name;
};

class InstanceParser {
 public:
  // pieces, when not null, is shown the input as it is read.
  InstanceParser(std::string_view bytes, InputPieces* pieces);
  [[nodiscard]] std::expected<InstanceDocument, XbrlError> run();

 private:
  enum class Started { NoFrame, Frame, Consumed };

  // Driver and dispatch (parser.cpp).
  [[nodiscard]] std::expected<Started, XbrlError> start_element(bool is_empty);
  [[nodiscard]] std::expected<void, XbrlError> end_element(std::string_view raw_name);
  // A run of text (escaped: holding references, decoded first, offset being
  // where it starts) or CDATA content: added to the text of the open facts
  // and continuations, or else handed to the current text target.
  [[nodiscard]] std::expected<void, XbrlError> text(std::string_view piece, bool escaped, std::uint64_t offset);
  // An element no rule reacts to in the current state, whose start and end
  // tags then need nothing beyond the reader's own checks: ordinary markup
  // with an ordinary name, outside contexts and units, declaring no namespace,
  // carrying no contextRef and no reference to decode.
  bool plain_element() const noexcept;
  // The attributes of the current start tag, or the first fault in them.
  [[nodiscard]] std::expected<void, XbrlError> collect_attributes();
  // Decodes escaped values and binds namespace declarations, which leave the list.
  [[nodiscard]] std::expected<void, XbrlError> settle_attributes();
  void push_frame(std::size_t scope_mark, ElementName name);
  // At the end of input: counts, continuations, footnote links, and the
  // contexts and units filed by id. Kept out of line, away from the loop.
  [[gnu::noinline]] void finish();

  // Contexts and units (contexts_units.cpp).
  void open_context(std::string_view id);
  void context_start(std::string_view local_name);
  [[nodiscard]] std::expected<void, XbrlError> typed_member(bool is_empty);
  void push_element(MemberContainer container, ContextElement element);
  void finish_context();
  void open_unit(std::string id);
  void unit_start(std::string_view local_name);
  void finish_unit();
  [[nodiscard]] std::expected<void, XbrlError> apply_target(TextTarget target, std::string_view text);

  // Facts, continuations and footnotes (facts.cpp).
  // Both take the fact's start tag as read by get_all(kFactAttributes), with
  // a context reference (and, inline, a name) present.
  [[nodiscard]] std::expected<void, XbrlError> open_plain_fact(const FactAttributes& found, std::uint64_t start);
  [[nodiscard]] std::expected<void, XbrlError> open_inline_fact(FactKind kind, const FactAttributes& found,
                                                                std::uint64_t start);
  // The members every fact reads from its start tag, after its concept and context.
  [[nodiscard]] std::expected<void, XbrlError> fill_fact_builder(FactBuilder& b, RawFact& fact, FactKind kind,
                                                                 const FactAttributes& found, std::uint64_t start);
  // The record of a fact about to open, made in its place.
  RawFact& open_fact_record();
  void close_fact(std::uint64_t end);
  void open_continuation();
  void close_continuation();
  void locator();
  [[nodiscard]] std::expected<void, XbrlError> footnote(bool is_empty);
  void footnote_arc();
  void resolve_continuations();
  void link_footnotes();

  // Shows pieces_ the input read up to `read`, in whole grains.
  void show_read(const char* read);

  XmlReader reader_;
  InputPieces* pieces_;
  const char* shown_;  // the input before this byte was shown to pieces_
  std::vector<Frame> frames_;
  std::vector<std::uint8_t> element_frames_;  // per open element: did its start open a frame
  AttributeMap attrs_;
  NamespaceScope scope_;
  std::string text_buffer_;

  InstanceDocument doc_;
  std::shared_ptr<TextArena> texts_;  // becomes the document's
  std::vector<FactBuilder> open_facts_;
  std::vector<RawFact> held_facts_;  // records of open facts that hold an open fact, outermost first
  NameCache names_;
  std::vector<OpenContinuation> open_continuations_;
  std::map<std::string, Continuation, std::less<>> continuations_;
  std::vector<std::size_t> continued_facts_;  // the positions of facts that name a continuation
  std::vector<FootnoteArc> arcs_;
  std::map<std::string, std::string, std::less<>> locators_;
  std::map<std::string, std::size_t, std::less<>> footnote_labels_;
  // The context being read (context_builder_), or null outside a context.
  ContextBuilder* context_ = nullptr;
  ContextBuilder context_builder_;
  // Contexts and units as they are read, filed by id when the parse is done.
  std::vector<Context> contexts_read_;
  std::vector<Unit> units_read_;
  // The entity's scheme and identifier of the last context: a document names
  // one entity in every context, and each context shares these strings.
  SharedString last_scheme_;
  SharedString last_identifier_;
  MemberContainer container_ = MemberContainer::None;
  std::optional<UnitBuilder> unit_;
  TextTarget target_;
  std::uint64_t hidden_depth_ = 0;
};

}  // namespace quorrel::core::detail
