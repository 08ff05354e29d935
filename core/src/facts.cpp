// Facts, continuations and footnotes.

#include <array>
#include <map>
#include <set>

#include "instance_parser.hpp"
#include "quorrel/core/attributes.hpp"
#include "quorrel/core/text.hpp"

namespace quorrel::core::detail {
namespace {

bool is_nil(std::optional<std::string_view> v) { return v && (*v == "true" || *v == "1"); }

// The value of an attribute a fact may carry, copied into the document's texts.
void assign(std::optional<std::string_view>& member, std::optional<std::string_view> value, TextArena& texts) {
  if (value) member.emplace(texts.add(*value));
}

}  // namespace

RawFact& InstanceParser::open_fact_record() {
  if (!open_facts_.empty() && open_facts_.back().in_place) {
    open_facts_.back().in_place = false;
    held_facts_.push_back(std::move(doc_.facts.back()));
    doc_.facts.pop_back();
  }
  return doc_.facts.emplace_back();
}

std::expected<void, XbrlError> InstanceParser::fill_fact_builder(FactBuilder& b, RawFact& fact, FactKind kind,
                                                                 const FactAttributes& found, std::uint64_t start) {
  assign(fact.id, found[kId], *texts_);
  assign(fact.unit_ref, found[kUnitRef], *texts_);
  if (auto d = found[kDecimals]) {
    QUORREL_TRY(decimals, parse_decimals(*d));
    fact.decimals = decimals;
  }
  if (auto p = found[kPrecision]) {
    QUORREL_TRY(precision, parse_precision(*p));
    fact.precision = precision;
  }
  assign(fact.lang, found[kLang] ? found[kLang] : found[kXmlLang], *texts_);
  b.nil = is_nil(found[kNil]);
  if (kind != FactKind::Plain) {
    InlineMeta& meta = fact.inline_meta.emplace();
    assign(meta.format, found[kFormat], *texts_);
    if (auto s = found[kScale]) {
      QUORREL_TRY(scale, parse_ix_scale(*s));
      meta.scale = scale;
    }
    assign(meta.sign, found[kSign], *texts_);
    assign(meta.target, found[kTarget], *texts_);
    assign(meta.continued_at, found[kContinuedAt], *texts_);
    meta.hidden = hidden_depth_ > 0;
  }
  b.kind = kind;
  b.start = start;
  b.text_start = texts_->log.size();
  target_ = TextTarget{TextTarget::Kind::Fact, {}, MemberContainer::None, false};
  return {};
}

std::expected<void, XbrlError> InstanceParser::open_plain_fact(const FactAttributes& found, std::uint64_t start) {
  RawFact& fact = open_fact_record();
  FactBuilder& b = open_facts_.emplace_back();
  fact.concept_name = parse_qname_str(reader_.name(), scope_, true, names_);
  fact.context_ref = texts_->add(*found[kContextRef]);
  return fill_fact_builder(b, fact, FactKind::Plain, found, start);
}

std::expected<void, XbrlError> InstanceParser::open_inline_fact(FactKind kind, const FactAttributes& found,
                                                                std::uint64_t start) {
  RawFact& fact = open_fact_record();
  FactBuilder& b = open_facts_.emplace_back();
  fact.context_ref = texts_->add(*found[kContextRef]);
  fact.concept_name = parse_qname_str(*found[kName], scope_, false, names_);
  return fill_fact_builder(b, fact, kind, found, start);
}

void InstanceParser::close_fact(std::uint64_t end) {
  const FactBuilder& b = open_facts_.back();
  RawFact& fact = b.in_place ? doc_.facts.back() : held_facts_.back();
  fact.byte_range = ByteRange{b.start, end};
  if (b.nil) {
    fact.value.emplace<NilValue>();
  } else {
    // Nested facts share the log: the text is a slice, not a copy.
    FactText text(texts_->log, b.text_start, texts_->log.size() - b.text_start);
    if (b.kind != FactKind::NonFraction && !fact.unit_ref && !fact.decimals && !fact.precision) {
      fact.value.emplace<NonNumericText>(std::move(text));
    } else {
      fact.value.emplace<NumericText>(std::move(text));
    }
  }
  const bool continued = fact.inline_meta && fact.inline_meta->continued_at;
  if (!b.in_place) {
    doc_.facts.push_back(std::move(fact));
    held_facts_.pop_back();
  }
  if (continued) continued_facts_.push_back(doc_.facts.size() - 1);
  open_facts_.pop_back();
  if (open_facts_.empty()) target_ = TextTarget{};
}

void InstanceParser::open_continuation() {
  open_continuations_.push_back(
      OpenContinuation{texts_->log.size(), attrs_.get_string("id"), attrs_.get_string("continuedAt")});
}

void InstanceParser::close_continuation() {
  OpenContinuation c = std::move(open_continuations_.back());
  open_continuations_.pop_back();
  if (!c.id) return;
  continuations_.insert_or_assign(
      std::move(*c.id),
      Continuation{FactText(texts_->log, c.text_start, texts_->log.size() - c.text_start), std::move(c.continued_at)});
}

void InstanceParser::locator() {
  const auto label = attrs_.get("label");
  const auto href = attrs_.get("href");
  if (!label || !href) return;
  const std::size_t hash = href->rfind('#');
  if (hash == std::string_view::npos) return;
  locators_.insert_or_assign(std::string(*label), std::string(href->substr(hash + 1)));
}

namespace {

// Fact elements written inside a footnote are part of its raw content and
// never read as facts; they are counted, read with the same reader, so that
// a summary can say what was left unread.
std::size_t fact_elements_in(std::string_view content) {
  // Most footnotes are prose, which is read again only when it names a fact
  // element somewhere.
  bool named = false;
  for (std::size_t at = content.find("non"); !named && at != std::string_view::npos; at = content.find("non", at + 3)) {
    const std::string_view rest = content.substr(at);
    named = rest.starts_with("nonFraction") || rest.starts_with("nonNumeric");
  }
  if (!named) return 0;
  XmlReader reader(content);
  std::size_t count = 0;
  for (;;) {
    const auto event = reader.next();
    if (!event || *event == XmlEvent::Eof) return count;
    if (*event != XmlEvent::Start && *event != XmlEvent::Empty) continue;
    const std::string_view local = local_part(reader.name());
    if (local != "nonFraction" && local != "nonNumeric") continue;
    bool context_ref = false;
    bool name = false;
    for (const XmlAttribute& attribute : reader.attributes()) {
      const std::string_view attribute_name = attribute.name.substr(attribute.name.rfind(':') + 1);
      context_ref = context_ref || attribute_name == "contextRef";
      name = name || attribute_name == "name";
    }
    if (context_ref && name) ++count;
  }
}

}  // namespace

std::expected<void, XbrlError> InstanceParser::footnote(bool is_empty) {
  std::optional<std::string> label = attrs_.get_string("label");
  std::string content;
  if (!is_empty) {
    auto raw = reader_.read_raw_inner();
    if (!raw) return std::unexpected(XbrlError::xml(std::move(raw.error())));
    content = std::string(*raw);
    doc_.counts.facts_in_footnotes += fact_elements_in(content);
  }
  if (label) footnote_labels_.insert_or_assign(std::move(*label), doc_.footnotes.size());
  Footnote note;
  note.content = std::move(content);
  note.id = attrs_.get_string("id");
  note.role = attrs_.get_string("role");
  note.lang = attrs_.get_string("lang");
  if (!note.lang) note.lang = attrs_.get_string("xml:lang");
  doc_.footnotes.push_back(std::move(note));
  return {};
}

void InstanceParser::footnote_arc() {
  auto from = attrs_.get("from");
  auto to = attrs_.get("to");
  if (from && to) arcs_.push_back(FootnoteArc{std::string(*from), std::string(*to)});
}

void InstanceParser::resolve_continuations() {
  // Many facts may name the same chain; its text is walked and built once per
  // starting id and then appended to each of them, so the walk stays linear.
  std::map<std::string_view, std::string> resolved;
  std::set<std::string_view> visited;
  std::string joined;
  for (const std::size_t position : continued_facts_) {
    RawFact& fact = doc_.facts[position];
    const std::string_view start = *fact.inline_meta->continued_at;
    auto [entry, fresh] = resolved.try_emplace(start);
    std::string& accumulated = entry->second;
    if (fresh) {
      visited.clear();
      std::string_view next = start;
      for (;;) {
        if (!visited.insert(next).second) break;
        const auto it = continuations_.find(next);
        if (it == continuations_.end()) break;
        accumulated += trim_unicode_white_space(it->second.text.view());
        if (!it->second.continued_at) break;
        next = *it->second.continued_at;
      }
    }
    if (accumulated.empty()) continue;
    FactText* text = nullptr;
    if (auto* numeric = std::get_if<NumericText>(&fact.value)) text = &numeric->text;
    if (auto* non_numeric = std::get_if<NonNumericText>(&fact.value)) text = &non_numeric->text;
    if (text == nullptr) continue;
    joined.assign(text->view());
    joined += accumulated;
    *text = FactText(texts_->add(joined));
  }
}

void InstanceParser::link_footnotes() {
  for (const FootnoteArc& arc : arcs_) {
    const auto fact = locators_.find(arc.from);
    const auto label = footnote_labels_.find(arc.to);
    if (fact == locators_.end() || label == footnote_labels_.end()) continue;
    if (label->second >= doc_.footnotes.size()) continue;
    doc_.footnotes[label->second].fact_refs.push_back(fact->second);
  }
}

}  // namespace quorrel::core::detail
