#include "quorrel/core/normalize.hpp"

#include "quorrel/core/digest64.hpp"
#include "quorrel/core/transforms.hpp"

#include <algorithm>

namespace quorrel::core {
namespace {

constexpr std::int32_t kMaxScale = 28;

Dimension to_dimension(const ContextElement& element) {
  if (const auto* e = std::get_if<ExplicitMember>(&element)) {
    return Dimension{e->dimension, e->member};
  }
  const auto& t = std::get<TypedMember>(element);
  return Dimension{t.dimension, t.content};
}

// Multiplies by 10^n exactly, or divides by ten |n| times one step at a time,
// so that the result keeps exactly the fractional digits those steps produce.
std::optional<Decimal> apply_scale(Decimal value, std::int32_t n) {
  if (n < -kMaxScale || n > kMaxScale) return std::nullopt;
  if (n == 0) return value;
  if (value.is_zero()) return Decimal{};
  if (n > 0) return value.mul_pow10(static_cast<std::uint32_t>(n));
  const Decimal ten = Decimal::from_int(10);
  for (std::int32_t i = 0; i < -n; ++i) {
    const std::optional<Decimal> next = value.div(ten);
    if (!next) return std::nullopt;
    value = *next;
  }
  return value;
}

// The value of a numeric fact's text: cleaning, sign, decimal parse and scale.
// The error is InvalidDecimal carrying the untouched text.
std::expected<Decimal, XbrlError> numeric_value(std::string_view raw_text,
                                                const std::optional<InlineMeta>& inline_meta) {
  const std::optional<std::string_view> format = inline_meta ? inline_meta->format : std::nullopt;
  const std::optional<std::string_view> sign = inline_meta ? inline_meta->sign : std::nullopt;
  auto fail = [&] { return std::unexpected(XbrlError::invalid_decimal(std::string(raw_text))); };

  const std::optional<std::string> candidate = numeric_candidate(raw_text, format, sign);
  if (!candidate) return fail();
  std::optional<Decimal> value = Decimal::parse(*candidate);
  if (!value) return fail();
  if (inline_meta && inline_meta->scale) {
    value = apply_scale(*value, *inline_meta->scale);
    if (!value) return fail();
  }
  return *value;
}

std::optional<std::string> owned(const std::optional<std::string_view>& text) {
  return text ? std::optional<std::string>(*text) : std::nullopt;
}

// The full record of a fact that normalized.
NormalizedFact normalized(const RawFact& fact, const ResolvedFact& resolved, const TaxonomyResolver& labels,
                          std::string_view doc_id) {
  const Context& context = *resolved.context;
  NormalizedFact out;
  out.label = labels.label(fact.concept_name, std::nullopt, owned(fact.lang));
  out.provenance.byte_range = fact.byte_range;
  out.provenance.doc_id = std::string(doc_id);
  out.provenance.context_ref = std::string(fact.context_ref);
  out.provenance.fact_id = owned(fact.id);
  out.concept_name = fact.concept_name;
  out.entity = context.entity;
  out.dimensions.reserve(context.segment.size() + context.scenario.size());
  for (const ContextElement& element : context.segment) out.dimensions.push_back(to_dimension(element));
  for (const ContextElement& element : context.scenario) out.dimensions.push_back(to_dimension(element));
  if (resolved.unit != nullptr) out.unit = *resolved.unit;
  if (const auto* numeric = std::get_if<NumericText>(&fact.value)) {
    out.value = NumericValue{numeric->text.str(), fact.decimals, resolved.number};
  } else if (const auto* text = std::get_if<NonNumericText>(&fact.value)) {
    const std::optional<std::string_view> format = fact.inline_meta ? fact.inline_meta->format : std::nullopt;
    out.value = TextValue{apply_text_transform(format, text->text), owned(fact.lang)};
  } else {
    out.value = NilValue{};
  }
  out.period = context.period;
  return out;
}

}  // namespace

template <class T>
ReferenceIndex::Table ReferenceIndex::make_table(const ById<T>& items, std::string& text) {
  Table table;
  std::vector<Entry>& entries = table.entries;
  entries.reserve(items.size());
  for (std::size_t i = 0; i < items.size(); ++i) {
    const std::string_view id = items[i].id;
    entries.push_back(Entry{digest64(id), text.size(), id.size(), i});
    text.append(id);
  }
  const std::string_view all(text);
  table.runs = DigestRuns(entries, [](const Entry& e) { return e.digest; }, [&](const Entry& a, const Entry& b) {
    return a.digest != b.digest ? a.digest < b.digest : all.substr(a.at, a.size) < all.substr(b.at, b.size);
  });
  return table;
}

ReferenceIndex::ReferenceIndex(const InstanceDocument& document) : document_(document) {
  contexts_ = make_table(document.contexts, text_);
  units_ = make_table(document.units, text_);
}

std::size_t ReferenceIndex::find(const Table& table, std::string_view id) const noexcept {
  const std::uint64_t digest = digest64(id);
  const std::string_view text(text_);
  const auto [begin, end] = table.runs.run(digest);
  const auto first = table.entries.begin() + static_cast<std::ptrdiff_t>(begin);
  const auto last = table.entries.begin() + static_cast<std::ptrdiff_t>(end);
  // Ids whose digests collide are ordered by their bytes, so they cost a
  // binary search too.
  const auto it = std::partition_point(first, last, [&](const Entry& entry) {
    return entry.digest != digest ? entry.digest < digest : text.substr(entry.at, entry.size) < id;
  });
  if (it == last || it->digest != digest || text.substr(it->at, it->size) != id) return kMissing;
  return it->item;
}

const Context* ReferenceIndex::context(std::string_view id) const noexcept {
  const std::size_t i = find(contexts_, id);
  return i == kMissing ? nullptr : &document_.contexts[i];
}

const Unit* ReferenceIndex::unit(std::string_view id) const noexcept {
  const std::size_t i = find(units_, id);
  return i == kMissing ? nullptr : &document_.units[i];
}

std::expected<ResolvedFact, XbrlError> normalize_fact(const ReferenceIndex& index, const RawFact& fact) {
  ResolvedFact resolved;
  resolved.context = index.context(fact.context_ref);
  if (resolved.context == nullptr) return std::unexpected(XbrlError::missing_context(std::string(fact.context_ref)));
  if (fact.unit_ref) {
    resolved.unit = index.unit(*fact.unit_ref);
    if (resolved.unit == nullptr) return std::unexpected(XbrlError::missing_unit(std::string(*fact.unit_ref)));
  }
  if (const auto* numeric = std::get_if<NumericText>(&fact.value)) {
    QUORREL_TRY(number, numeric_value(numeric->text, fact.inline_meta));
    resolved.number = number;
  }
  return resolved;
}

std::vector<NormalizeResult> normalize_facts(const InstanceDocument& document, const TaxonomyResolver& labels,
                                             std::string_view doc_id) {
  const ReferenceIndex index(document);
  std::vector<NormalizeResult> results;
  results.reserve(document.facts.size());
  for (const RawFact& fact : document.facts) {
    std::expected<ResolvedFact, XbrlError> resolved = normalize_fact(index, fact);
    if (resolved) {
      results.emplace_back(normalized(fact, *resolved, labels, doc_id));
    } else {
      results.emplace_back(std::unexpected(std::move(resolved.error())));
    }
  }
  return results;
}

}  // namespace quorrel::core
