#include "quorrel/core/normalize.hpp"

#include "quorrel/core/digest64.hpp"
#include "quorrel/core/transforms.hpp"

#include <algorithm>
#include <cstring>
#include <map>

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

// Multiplies or divides by ten |n| times, one step at a time (a product
// that fits in one step), so that the result keeps exactly the fractional
// digits those steps produce.
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

}  // namespace

std::expected<Decimal, XbrlError> normalize_numeric(std::string_view raw_text,
                                                    const std::optional<InlineMeta>& inline_meta) {
  static const std::optional<std::string> kNone;
  const std::optional<std::string>& format = inline_meta ? inline_meta->format : kNone;
  const std::optional<std::string>& sign = inline_meta ? inline_meta->sign : kNone;
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

namespace {

struct Refs {
  const Context* context;
  const Unit* unit;  // null when the fact names no unit
};

// The context, then the unit: a missing context is reported first.
template <class FindContext, class FindUnit>
std::expected<Refs, XbrlError> resolve_refs(const RawFact& fact, const FindContext& find_context,
                                            const FindUnit& find_unit) {
  const Context* context = find_context(fact.context_ref);
  if (context == nullptr) return std::unexpected(XbrlError::missing_context(fact.context_ref));
  const Unit* unit = nullptr;
  if (fact.unit_ref) {
    unit = find_unit(*fact.unit_ref);
    if (unit == nullptr) return std::unexpected(XbrlError::missing_unit(*fact.unit_ref));
  }
  return Refs{context, unit};
}

// Finds an id in one of the document's maps.
template <class T>
struct MapLookup {
  const std::map<std::string, T>& items;
  const T* operator()(const std::string& id) const {
    const auto it = items.find(id);
    return it == items.end() ? nullptr : &it->second;
  }
};

// The decimal of a numeric fact; none for text and nil facts.
std::expected<std::optional<Decimal>, XbrlError> decimal_of(const RawFact& fact) {
  const auto* numeric = std::get_if<NumericText>(&fact.value);
  if (numeric == nullptr) return std::nullopt;
  std::expected<Decimal, XbrlError> number = normalize_numeric(numeric->text, fact.inline_meta);
  if (!number) return std::unexpected(std::move(number.error()));
  return *number;
}

std::expected<std::optional<NumericValue>, XbrlError> number_of(const RawFact& fact) {
  std::expected<std::optional<Decimal>, XbrlError> number = decimal_of(fact);
  if (!number) return std::unexpected(std::move(number.error()));
  if (!*number) return std::nullopt;
  return NumericValue{std::get<NumericText>(fact.value).text.str(), fact.decimals, **number};
}

template <class T, class Entry>
std::vector<Entry> make_entries(const std::map<std::string, T>& items) {
  std::vector<Entry> entries;
  entries.reserve(items.size());
  for (const auto& [id, item] : items) entries.push_back(Entry{digest64(id), id, &item});
  std::sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) {
    return a.digest != b.digest ? a.digest < b.digest : a.id < b.id;
  });
  return entries;
}

}  // namespace

std::expected<std::optional<NumericValue>, XbrlError> normalize_number(const InstanceDocument& document,
                                                                       const RawFact& fact) {
  std::expected<Refs, XbrlError> refs =
      resolve_refs(fact, MapLookup<Context>{document.contexts}, MapLookup<Unit>{document.units});
  if (!refs) return std::unexpected(std::move(refs.error()));
  return number_of(fact);
}

FactResolver::FactResolver(const InstanceDocument& document)
    : contexts_(make_entries<Context, Entry<Context>>(document.contexts)),
      units_(make_entries<Unit, Entry<Unit>>(document.units)) {}

template <class T>
const T* FactResolver::find(const std::vector<Entry<T>>& entries, std::string_view id) noexcept {
  const std::uint64_t digest = digest64(id);
  // Ids whose digests collide are ordered by their bytes, so they cost a
  // binary search too.
  const auto it = std::partition_point(entries.begin(), entries.end(), [&](const Entry<T>& entry) {
    return entry.digest != digest ? entry.digest < digest : entry.id < id;
  });
  return it != entries.end() && it->digest == digest && it->id == id ? it->item : nullptr;
}

const Context* FactResolver::context(std::string_view id) const noexcept { return find(contexts_, id); }

const Unit* FactResolver::unit(std::string_view id) const noexcept { return find(units_, id); }

std::expected<std::optional<Decimal>, XbrlError> FactResolver::decimal(const RawFact& fact) const {
  std::expected<Refs, XbrlError> refs = resolve_refs(
      fact, [this](std::string_view id) { return context(id); }, [this](std::string_view id) { return unit(id); });
  if (!refs) return std::unexpected(std::move(refs.error()));
  return decimal_of(fact);
}

NormalizeResult normalize_fact(const InstanceDocument& document, const TaxonomyResolver& resolver,
                               std::string_view doc_id, const RawFact& fact) {
  std::expected<Refs, XbrlError> refs =
      resolve_refs(fact, MapLookup<Context>{document.contexts}, MapLookup<Unit>{document.units});
  if (!refs) return std::unexpected(std::move(refs.error()));
  std::expected<std::optional<NumericValue>, XbrlError> number = number_of(fact);
  if (!number) return std::unexpected(std::move(number.error()));
  const Context& context = *refs->context;

  NormalizedFact out;
  out.label = resolver.label(fact.concept_name, std::nullopt, fact.lang);
  out.provenance.byte_range = fact.byte_range;
  out.provenance.doc_id = std::string(doc_id);
  out.provenance.context_ref = fact.context_ref;
  out.provenance.fact_id = fact.id;
  out.concept_name = fact.concept_name;
  out.entity = context.entity;
  out.dimensions.reserve(context.segment.size() + context.scenario.size());
  for (const ContextElement& element : context.segment) out.dimensions.push_back(to_dimension(element));
  for (const ContextElement& element : context.scenario) out.dimensions.push_back(to_dimension(element));
  if (refs->unit != nullptr) out.unit = *refs->unit;
  if (*number) {
    out.value = std::move(**number);
  } else if (const auto* text = std::get_if<NonNumericText>(&fact.value)) {
    static const std::optional<std::string> kNoFormat;
    const std::optional<std::string>& format = fact.inline_meta ? fact.inline_meta->format : kNoFormat;
    out.value = TextValue{apply_text_transform(format, text->text), fact.lang};
  } else {
    out.value = NilValue{};
  }
  out.period = context.period;
  return out;
}

std::vector<NormalizeResult> normalize_facts(const InstanceDocument& document, const TaxonomyResolver& resolver,
                                             std::string_view doc_id) {
  std::vector<NormalizeResult> results;
  results.reserve(document.facts.size());
  for (const RawFact& fact : document.facts) {
    results.push_back(normalize_fact(document, resolver, doc_id, fact));
  }
  return results;
}

}  // namespace quorrel::core
