#include "quorrel/core/normalize.hpp"

#include "quorrel/core/transforms.hpp"

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

// Multiplies or divides by ten |n| times, one step at a time, so that the
// result keeps exactly the fractional digits those steps produce.
std::optional<Decimal> apply_scale(Decimal value, std::int32_t n) {
  if (n < -kMaxScale || n > kMaxScale) return std::nullopt;
  if (n == 0) return value;
  if (value.is_zero()) return Decimal{};
  const Decimal ten = Decimal::from_int(10);
  for (std::int32_t i = 0; i < (n > 0 ? n : -n); ++i) {
    const std::optional<Decimal> next = n > 0 ? value.mul(ten) : value.div(ten);
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

struct Resolved {
  const Context* context;
  const Unit* unit;
  NormalizedValue value;
};

// Context, unit and value, in that order. Without want_text a text fact's
// transformation is skipped and its value left empty.
std::expected<Resolved, XbrlError> resolve(const InstanceDocument& document, const RawFact& fact, bool want_text) {
  const auto context_it = document.contexts.find(fact.context_ref);
  if (context_it == document.contexts.end()) {
    return std::unexpected(XbrlError::missing_context(fact.context_ref));
  }
  const Unit* unit = nullptr;
  if (fact.unit_ref) {
    const auto unit_it = document.units.find(*fact.unit_ref);
    if (unit_it == document.units.end()) {
      return std::unexpected(XbrlError::missing_unit(*fact.unit_ref));
    }
    unit = &unit_it->second;
  }

  Resolved out{&context_it->second, unit, NilValue{}};
  if (const auto* numeric = std::get_if<NumericText>(&fact.value)) {
    std::expected<Decimal, XbrlError> number = normalize_numeric(numeric->text, fact.inline_meta);
    if (!number) return std::unexpected(std::move(number.error()));
    out.value = NumericValue{numeric->text.str(), fact.decimals, *number};
  } else if (const auto* text = std::get_if<NonNumericText>(&fact.value); text != nullptr && want_text) {
    static const std::optional<std::string> kNoFormat;
    const std::optional<std::string>& format = fact.inline_meta ? fact.inline_meta->format : kNoFormat;
    out.value = TextValue{apply_text_transform(format, text->text), fact.lang};
  }
  return out;
}

}  // namespace

std::expected<std::optional<NumericValue>, XbrlError> normalize_number(const InstanceDocument& document,
                                                                       const RawFact& fact) {
  std::expected<Resolved, XbrlError> resolved = resolve(document, fact, false);
  if (!resolved) return std::unexpected(std::move(resolved.error()));
  if (auto* numeric = std::get_if<NumericValue>(&resolved->value)) return std::move(*numeric);
  return std::nullopt;
}

NormalizeResult normalize_fact(const InstanceDocument& document, const TaxonomyResolver& resolver,
                               std::string_view doc_id, const RawFact& fact) {
  std::expected<Resolved, XbrlError> resolved = resolve(document, fact, true);
  if (!resolved) return std::unexpected(std::move(resolved.error()));
  const Context& context = *resolved->context;

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
  if (resolved->unit != nullptr) out.unit = *resolved->unit;
  out.value = std::move(resolved->value);
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
