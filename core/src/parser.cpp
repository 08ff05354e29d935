#include "quorrel/core/parser.hpp"

#include <algorithm>
#include <cstring>

#include "instance_parser.hpp"
#include "quorrel/core/digest64.hpp"
#include "quorrel/core/text.hpp"
#include "quorrel/core/utf8.hpp"

namespace quorrel::core {
namespace detail {

// ---- AttributeMap ----

std::expected<void, std::string> AttributeMap::decode(std::size_t index, std::string_view raw,
                                                     std::uint64_t raw_offset) {
  const std::size_t begin = buffer_.size();
  QUORREL_TRY_VOID(unescape_xml(raw, raw_offset, buffer_));
  decoded_.push_back(Decoded{index, begin, buffer_.size() - begin});
  return {};
}

void AttributeMap::settle() noexcept {
  for (const Decoded& d : decoded_) entries_[d.index].raw_value = std::string_view(buffer_).substr(d.begin, d.size);
  decoded_.clear();
}

std::optional<std::string_view> AttributeMap::get(std::string_view key) const noexcept {
  const std::size_t i = find(key);
  if (i == kNone) return std::nullopt;
  return entries_[i].raw_value;
}

std::optional<std::string> AttributeMap::get_string(std::string_view key) const {
  const auto v = get(key);
  if (!v) return std::nullopt;
  return std::string(*v);
}

// ---- NamespaceScope ----

void NamespaceScope::bind(std::optional<std::string_view> prefix, std::string_view uri, TextArena& texts) {
  forget_recent();
  const std::size_t index = stack_.size();
  Binding b{Bound{texts.add(prefix.value_or(std::string_view{})), SharedString(texts.add(uri))}, !prefix.has_value(),
            kNone};
  if (b.is_default) {
    b.shadowed = default_top_;
    default_top_ = index;
  } else {
    auto [it, inserted] = top_.try_emplace(b.bound.prefix, index);
    if (!inserted) {
      b.shadowed = it->second;
      it->second = index;
    }
  }
  stack_.push_back(std::move(b));
}

void NamespaceScope::drop_to(std::size_t mark) {
  forget_recent();
  while (stack_.size() > mark) {
    const Binding& b = stack_.back();
    if (b.is_default) {
      default_top_ = b.shadowed;
    } else if (b.shadowed == kNone) {
      top_.erase(b.bound.prefix);
    } else {
      top_[b.bound.prefix] = b.shadowed;
    }
    stack_.pop_back();
  }
}

const NamespaceScope::Bound* NamespaceScope::lookup_in_index(std::string_view prefix, Recent& recent) const noexcept {
  const auto it = top_.find(prefix);
  if (it == top_.end()) return nullptr;
  recent = Recent{stack_[it->second].bound.prefix, it->second};
  return &stack_[it->second].bound;
}

const SharedString* NamespaceScope::default_namespace() const noexcept {
  if (default_top_ == kNone) return nullptr;
  return &stack_[default_top_].bound.uri;
}

// ---- NameCache ----

NameCache::NameCache(std::size_t input_size, TextArena& texts) : texts_(texts) {
  constexpr unsigned kFewestBits = 6;
  constexpr unsigned kMostBits = 12;
  unsigned bits = kFewestBits;
  while (bits < kMostBits && (std::size_t{1024} << bits) < input_size) ++bits;
  slot_count_ = std::size_t{1} << bits;
  shift_ = 64 - bits;
}

SharedString NameCache::get(std::string_view name) {
  const std::uint64_t h = digest64(name);
  if (slots_.empty()) slots_.resize(slot_count_);
  SharedString& slot = slots_[static_cast<std::size_t>(h >> shift_)];
  if (slot.view() != name) slot = SharedString(texts_.add(name));
  return slot;
}

QName parse_qname_str(std::string_view text, const NamespaceScope& scope, bool use_default, NameCache& names) {
  QName q;
  const std::size_t colon = text.find(':');
  if (colon != std::string_view::npos) {
    const std::string_view prefix = text.substr(0, colon);
    q.local_name = names.get(text.substr(colon + 1));
    // A bound prefix is the binding's own copy; an unbound one is kept as a name.
    if (const NamespaceScope::Bound* bound = scope.lookup(prefix)) {
      q.prefix.emplace(bound->prefix);
      q.namespace_uri = bound->uri;
    } else {
      q.prefix.emplace(names.get(prefix).view());
    }
  } else {
    q.local_name = names.get(text);
    if (use_default) {
      if (const SharedString* ns = scope.default_namespace()) q.namespace_uri = *ns;
    }
  }
  return q;
}

std::expected<std::string_view, XbrlError> cdata_text(std::string_view raw, std::uint64_t position) {
  if (auto bad = validate_utf8(raw)) {
    return std::unexpected(XbrlError::xml_parse(position, "invalid UTF-8 in CDATA: " + bad->description()));
  }
  return raw;
}

XbrlError unexpected_closing_tag(std::string_view raw_name) {
  const bool valid = !validate_utf8(raw_name).has_value();
  return XbrlError::xml_parse(std::nullopt,
                              "unexpected closing tag " + (valid ? std::string(raw_name) : std::string("<non-utf8>")));
}

// ---- driver ----

InstanceParser::InstanceParser(std::string_view bytes, InputPieces* pieces)
    : reader_(bytes),
      pieces_(pieces),
      shown_(bytes.data()),
      texts_(std::make_shared<TextArena>()),
      names_(bytes.size(), *texts_) {
  // Room made up front spares the regrowth that would move every fact once
  // more and touch fresh memory; room a sparse document leaves unused is
  // address space that is never touched. Fact-dense filings hold one fact per
  // three hundred bytes, and a context takes a hundred bytes at the least.
  // The room stays below what the allocator hands out as fresh pages of their
  // own each time (32 MB), so that a process that reads one document after
  // another reuses it; a larger document grows past it.
  constexpr std::size_t kReservedBytesAtMost = std::size_t{24} << 20;
  doc_.facts.reserve(std::min(bytes.size() / 256, kReservedBytesAtMost / sizeof(RawFact)));
  contexts_read_.reserve(std::min(bytes.size() / 512, kReservedBytesAtMost / sizeof(Context)));
}

[[gnu::always_inline]] inline std::expected<void, XbrlError> InstanceParser::text(std::string_view piece, bool escaped,
                                                                            std::uint64_t offset) {
  const bool collecting = !open_facts_.empty() || !open_continuations_.empty();
  if (escaped) {
    // Decoded even where it feeds nothing, since a fault in it is still an
    // error; text of open facts straight into the shared log, trimmed there.
    std::string& out = collecting ? texts_->log : text_buffer_;
    if (!collecting) out.clear();
    const std::size_t base = out.size();
    if (auto decoded = unescape_xml(piece, offset, out); !decoded) {
      return std::unexpected(XbrlError::xml(std::move(decoded.error())));
    }
    piece = std::string_view(out).substr(base);
    if (collecting) {
      const std::string_view trimmed = trim_unicode_white_space(piece);
      const std::size_t lead = static_cast<std::size_t>(trimmed.data() - piece.data());
      if (lead > 0) std::memmove(out.data() + base, out.data() + base + lead, trimmed.size());
      out.resize(base + trimmed.size());
      return {};
    }
  } else if (collecting) {
    // One copy in the shared log serves every open fact and continuation.
    texts_->log.append(trim_unicode_white_space(piece));
    return {};
  }
  // Most text of a document (table cells, paragraphs) feeds nothing.
  if (target_.kind == TextTarget::Kind::None) return {};
  const std::string_view trimmed = trim_unicode_white_space(piece);
  if (trimmed.empty()) return {};
  // The target is handed over as it stands and then marked spent; what stays
  // of it is never read, as every new target is set whole.
  auto applied = apply_target(std::move(target_), trimmed);
  target_.kind = TextTarget::Kind::None;
  return applied;
}

void InstanceParser::show_read(const char* read) {
  const std::size_t grain = pieces_->grain();
  const auto unshown = static_cast<std::size_t>(read - shown_);
  if (unshown < grain) return;
  const std::size_t whole = unshown & ~(grain - 1);
  pieces_->take(std::string_view(shown_, whole));
  shown_ += whole;
}

std::expected<InstanceDocument, XbrlError> InstanceParser::run() {
  const std::string_view input = reader_.data();
  for (;;) {
    if (pieces_ != nullptr) show_read(input.data() + reader_.offset());
    auto event = reader_.next();
    if (!event) return std::unexpected(XbrlError::xml(std::move(event.error())));
    switch (*event) {
      case XmlEvent::Start: {
        if (plain_element()) {
          element_frames_.push_back(0);
          break;
        }
        QUORREL_TRY(started, start_element(false));
        if (started != Started::Consumed) element_frames_.push_back(started == Started::Frame);
        break;
      }
      case XmlEvent::Empty: {
        if (plain_element()) break;
        const std::string_view name = reader_.name();
        QUORREL_TRY(started, start_element(true));
        if (started == Started::Frame) QUORREL_TRY_VOID(end_element(name));
        break;
      }
      case XmlEvent::End: {
        if (!element_frames_.empty()) {
          const bool framed = element_frames_.back();
          element_frames_.pop_back();
          if (!framed) break;
        }
        QUORREL_TRY_VOID(end_element(reader_.name()));
        break;
      }
      case XmlEvent::Text:
        QUORREL_TRY_VOID(text(reader_.text(), reader_.text_escaped(), reader_.text_offset()));
        break;
      case XmlEvent::CData: {
        QUORREL_TRY(checked, cdata_text(reader_.text(), reader_.offset()));
        QUORREL_TRY_VOID(text(checked, false, 0));
        break;
      }
      case XmlEvent::Eof:
        // A fact still open when the input ends never closed and is no fact.
        if (!open_facts_.empty() && open_facts_.back().in_place) doc_.facts.pop_back();
        finish();
        if (pieces_ != nullptr) {
          const char* const end = input.data() + input.size();
          pieces_->take(std::string_view(shown_, static_cast<std::size_t>(end - shown_)));
        }
        return std::move(doc_);
    }
  }
}

void InstanceParser::finish() {
  doc_.counts.open_facts = open_facts_.size();
  doc_.counts.open_elements = reader_.depth();
  doc_.counts.continuations = continuations_.size();
  resolve_continuations();
  link_footnotes();
  doc_.contexts = ById<Context>(std::move(contexts_read_));
  doc_.units = ById<Unit>(std::move(units_read_));
  doc_.texts = std::move(texts_);
}

bool InstanceParser::plain_element() const noexcept {
  // Inside a context or a unit every element may matter.
  if (context_ || unit_) return false;
  // A malformed attribute list is reported when the attributes are collected.
  if (!reader_.attribute_error().empty()) return false;
  // No name the parser reacts to is shorter than three bytes: td, tr and p
  // need no look for a colon.
  const std::string_view name = reader_.name();
  if (name.size() >= 3 && classify_element(local_part(name)) != ElementName::Other) return false;
  // Fixed-size comparisons, which the compiler writes out in place.
  for (const XmlAttribute& a : reader_.attributes()) {
    const std::string_view n = a.name;
    if (n.size() >= 5 && std::memcmp(n.data(), "xmlns", 5) == 0) return false;
    if (n.size() >= 10 && std::memcmp(n.data() + n.size() - 10, "contextRef", 10) == 0 &&
        (n.size() == 10 || n[n.size() - 11] == ':')) {
      return false;
    }
  }
  return !reader_.attribute_values_escaped();
}

std::expected<void, XbrlError> InstanceParser::collect_attributes() {
  attrs_.clear();
  std::vector<XmlAttribute>& list = attrs_.entries();
  const bool escaped = reader_.attribute_values_escaped();
  reader_.swap_attributes(list);
  const std::string_view malformed = reader_.attribute_error();
  if (malformed.empty()) [[likely]] {
    // Most tags hold neither a reference nor a declaration: the reader noted
    // any "&" in a value, one look over the names finds declarations, and
    // then the list is final.
    if (!escaped && !declares_namespace(list)) return {};
    return settle_attributes();
  }
  // A fault in a value comes before a malformed attribute written after it.
  QUORREL_TRY_VOID(settle_attributes());
  return std::unexpected(XbrlError::xml_attribute(std::string(malformed)));
}

std::expected<void, XbrlError> InstanceParser::settle_attributes() {
  // Names need no UTF-8 check of their own: parse_instance validated the whole
  // input, and the reader cuts names at ASCII bytes, so every name is valid too.
  std::vector<XmlAttribute>& list = attrs_.entries();
  std::size_t kept = 0;
  for (std::size_t i = 0; i < list.size(); ++i) {
    const XmlAttribute a = list[i];
    const bool escaped = std::memchr(a.raw_value.data(), '&', a.raw_value.size()) != nullptr;
    if (a.name == "xmlns" || a.name.starts_with("xmlns:")) {
      std::string_view uri = a.raw_value;
      if (escaped) {
        text_buffer_.clear();
        auto unescaped = unescape_xml(a.raw_value, a.value_offset, text_buffer_);
        if (!unescaped) return std::unexpected(XbrlError::xml(std::move(unescaped.error())));
        uri = text_buffer_;
      }
      if (a.name.size() == 5) {
        scope_.bind(std::nullopt, uri, *texts_);
      } else {
        scope_.bind(a.name.substr(6), uri, *texts_);
      }
      continue;
    }
    if (escaped) {
      auto decoded = attrs_.decode(kept, a.raw_value, a.value_offset);
      if (!decoded) return std::unexpected(XbrlError::xml(std::move(decoded.error())));
    }
    list[kept++] = a;
  }
  list.resize(kept);
  attrs_.settle();
  return {};
}

void InstanceParser::push_frame(std::size_t scope_mark, ElementName name) {
  frames_.push_back(Frame{scope_mark, name});
}

std::expected<InstanceParser::Started, XbrlError> InstanceParser::start_element(bool is_empty) {
  const std::string_view name = reader_.name();
  const std::uint64_t start = reader_.event_start();
  const std::size_t mark = scope_.mark();
  QUORREL_TRY_VOID(collect_attributes());
  const std::string_view local = local_part(name);
  const ElementName kind = classify_element(local);
  const bool fact_open = !open_facts_.empty();

  // Elements that open no frame: their declarations end with their start tag.
  auto frameless = [&](Started result) -> std::expected<Started, XbrlError> {
    scope_.undo(mark);
    return result;
  };

  switch (kind) {
    case ElementName::TypedMember:
      if (!context_) break;
      if (!attrs_.has("dimension")) return frameless(Started::NoFrame);
      QUORREL_TRY_VOID(typed_member(is_empty));
      return frameless(is_empty ? Started::NoFrame : Started::Consumed);
    case ElementName::Loc:
      locator();
      return frameless(Started::NoFrame);
    case ElementName::Footnote:
      QUORREL_TRY_VOID(footnote(is_empty));
      return frameless(is_empty ? Started::NoFrame : Started::Consumed);
    case ElementName::FootnoteArc:
      footnote_arc();
      return frameless(Started::NoFrame);
    default: break;
  }

  push_frame(mark, kind);
  // Only a possible fact has its start tag asked about every fact attribute.
  if (kind == ElementName::Continuation) {
    open_continuation();
    return Started::Frame;
  }
  if (kind == ElementName::SchemaRef && !fact_open) {
    auto href = attrs_.get("href");
    if (!href) href = attrs_.get("xlink:href");
    if (href) doc_.schema_refs.emplace_back(*href);
    return Started::Frame;
  }
  if (kind == ElementName::Hidden && !fact_open) {
    ++hidden_depth_;
    return Started::Frame;
  }
  if (kind == ElementName::NonNumeric || kind == ElementName::NonFraction) {
    const FactAttributes found = attrs_.get_all(kFactAttributes);
    if (found[kContextRef] && found[kName]) {
      QUORREL_TRY_VOID(open_inline_fact(
          kind == ElementName::NonFraction ? FactKind::NonFraction : FactKind::NonNumericElement, found, start));
      return Started::Frame;
    }
  }
  if ((kind == ElementName::Unit || kind == ElementName::Context) && !fact_open && !attrs_.has("id")) {
    // Without an id the element is not recognised.
  } else if (kind == ElementName::Unit && !fact_open) {
    open_unit(std::string(*attrs_.get("id")));
  } else if (kind == ElementName::Context && !fact_open) {
    open_context(*attrs_.get("id"));
  } else if (fact_open) {
    ++open_facts_.back().nesting;
  } else if (context_) {
    context_start(local);
  } else if (unit_) {
    unit_start(local);
  } else if (const FactAttributes found = attrs_.get_all(kFactAttributes); found[kContextRef]) {
    QUORREL_TRY_VOID(open_plain_fact(found, start));
  }
  return Started::Frame;
}

std::expected<void, XbrlError> InstanceParser::end_element(std::string_view raw_name) {
  if (frames_.empty()) return std::unexpected(unexpected_closing_tag(raw_name));
  const Frame frame = frames_.back();
  frames_.pop_back();
  scope_.undo(frame.scope_mark);

  if (frame.name == ElementName::Continuation && !open_continuations_.empty()) {
    close_continuation();
    return {};
  }
  if (open_facts_.empty()) {
    switch (frame.name) {
      case ElementName::Unit: finish_unit(); break;
      case ElementName::Context: finish_context(); break;
      case ElementName::Hidden:
        if (hidden_depth_ > 0) --hidden_depth_;
        break;
      case ElementName::Segment:
      case ElementName::Scenario:
        if (context_) container_ = MemberContainer::None;
        break;
      case ElementName::UnitNumerator:
      case ElementName::UnitDenominator:
        if (unit_) unit_->in_denominator = false;
        break;
      default: break;
    }
    return {};
  }
  FactBuilder& innermost = open_facts_.back();
  if (innermost.nesting == 0) {
    close_fact(reader_.offset());
  } else {
    --innermost.nesting;
  }
  return {};
}

}  // namespace detail


std::expected<InstanceDocument, XbrlError> parse_instance(std::string_view bytes, InputPieces* pieces) {
  if (auto bad = validate_utf8(bytes)) {
    return std::unexpected(XbrlError::xml_parse(bad->valid_up_to, bad->description()));
  }
  detail::InstanceParser parser(bytes, pieces);
  return parser.run();
}

}  // namespace quorrel::core
