#include "quorrel/core/normalize.hpp"

#include <gtest/gtest.h>

#include <string>

using namespace quorrel::core;

namespace {

RawFact numeric_fact(std::string text, std::string context = "c", std::optional<std::string> unit = "u") {
  RawFact fact;
  fact.byte_range = ByteRange{10, 20};
  fact.value = NumericText{std::move(text)};
  fact.concept_name = QName{"Revenue", "urn:t", "t"};
  fact.context_ref = std::move(context);
  fact.unit_ref = std::move(unit);
  return fact;
}

RawFact inline_fact(std::string text, std::optional<std::string> format = std::nullopt,
                    std::optional<std::int32_t> scale = std::nullopt, std::optional<std::string> sign = std::nullopt) {
  RawFact fact = numeric_fact(std::move(text));
  fact.inline_meta = InlineMeta{std::move(format), std::move(sign), std::nullopt, std::nullopt, scale, false};
  return fact;
}

InstanceDocument document() {
  InstanceDocument doc;
  Context c;
  c.id = "c";
  c.entity = Entity{"http://scheme", "E1"};
  c.segment.push_back(ExplicitMember{QName{"Axis", std::nullopt, "d"}, QName{"Member", std::nullopt, "d"}});
  c.scenario.push_back(TypedMember{QName{"Typed", std::nullopt, "d"}, "<x>1</x>"});
  c.segment.push_back(ExplicitMember{QName{"Axis2", std::nullopt, "d"}, QName{"M2", std::nullopt, "d"}});
  c.period = Instant{"2024-12-31"};
  doc.contexts.emplace("c", c);
  doc.units.emplace("u", Unit{"u", {QName{"EUR", std::nullopt, "iso4217"}}, {}});
  return doc;
}

// The decimal a numeric fact normalizes to, rendered without normalizing, or the error text.
std::string value_of(const RawFact& fact) {
  const InstanceDocument doc = document();
  const NormalizeResult r = normalize_fact(doc, NoLabels{}, "doc", fact);
  if (!r) return "error: " + r.error().render();
  const auto* numeric = std::get_if<NumericValue>(&r->value);
  if (numeric == nullptr || !numeric->value) return "not numeric";
  return numeric->value->render();
}

}  // namespace

TEST(NormalizeNumeric, CleaningSignAndParse) {
  EXPECT_EQ(value_of(numeric_fact("(1,234)")), "-1234");
  EXPECT_EQ(value_of(numeric_fact(" 1 234 567 ")), "1234567");
  EXPECT_EQ(value_of(numeric_fact("1.234,56")), "1.23456");
  EXPECT_EQ(value_of(numeric_fact("1e3")), "1000");
  EXPECT_EQ(value_of(inline_fact("1.234.567,89", "ixt:numcommadecimal")), "1234567.89");
  EXPECT_EQ(value_of(inline_fact("12", std::nullopt, std::nullopt, "-")), "-12");
  EXPECT_EQ(value_of(inline_fact("(12)", std::nullopt, std::nullopt, "-")), "-12");
  EXPECT_EQ(value_of(inline_fact("(-5)")), "-5");
  EXPECT_EQ(value_of(inline_fact("Twenty-One Thousand", "ixt:numwordsen", 3, "-")), "-21000000");
}

TEST(NormalizeNumeric, ZeroDashes) {
  EXPECT_EQ(value_of(inline_fact("\xE2\x80\x94", "ixt:fixed-zero")), "0");
  EXPECT_EQ(value_of(inline_fact("-", "ixt-sec:numdash")), "0");
  EXPECT_EQ(value_of(inline_fact("(-)", "zerodash")), "-0");
  EXPECT_EQ(value_of(inline_fact("\xE2\x80\x93", "ixt:zerodash")), "error: invalid decimal value: \xE2\x80\x93");
  EXPECT_EQ(value_of(numeric_fact("\xE2\x80\x94")), "error: invalid decimal value: \xE2\x80\x94");
}

TEST(NormalizeNumeric, ScaleStepsKeepTheirDigits) {
  EXPECT_EQ(value_of(inline_fact("1.5", std::nullopt, 3)), "1500.0");
  EXPECT_EQ(value_of(inline_fact("1234", std::nullopt, -2)), "12.34");
  EXPECT_EQ(value_of(inline_fact("1500", std::nullopt, -3)), "1.5");
  EXPECT_EQ(value_of(inline_fact("0.00", std::nullopt, 2)), "0");
  EXPECT_EQ(value_of(inline_fact("-0.00", std::nullopt, -2)), "0");
  EXPECT_EQ(value_of(inline_fact("-0.00", std::nullopt, 0)), "-0.00");
  EXPECT_EQ(value_of(inline_fact("7", std::nullopt, 28)), "70000000000000000000000000000");
  EXPECT_EQ(value_of(inline_fact("8", std::nullopt, 28)), "error: invalid decimal value: 8");  // past 2^96
  EXPECT_EQ(value_of(inline_fact("7", std::nullopt, 29)), "error: invalid decimal value: 7");
  EXPECT_EQ(value_of(inline_fact("1", std::nullopt, -28)), "0.0000000000000000000000000001");
}

TEST(NormalizeNumeric, FailuresCarryTheUntrimmedText) {
  EXPECT_EQ(value_of(numeric_fact("   ")), "error: invalid decimal value:    ");
  EXPECT_EQ(value_of(numeric_fact("12 kg")), "error: invalid decimal value: 12 kg");
  EXPECT_EQ(value_of(numeric_fact("12\xE2\x80\x89" "345")), "error: invalid decimal value: 12\xE2\x80\x89" "345");
  EXPECT_EQ(value_of(inline_fact("(+5)")), "error: invalid decimal value: (+5)");
}

TEST(NormalizeNumeric, StepsInteract) {
  // No-break spaces vanish inside the text and are trimmed at its ends; the
  // parentheses then mark it negative and the comma becomes the point.
  EXPECT_EQ(value_of(inline_fact("(1\xC2\xA0" "234,5)", "ixt:numcommadecimal")), "-1234.5");
  EXPECT_EQ(value_of(inline_fact("\xC2\xA0(1.234.567,50)\xC2\xA0", "ixt:numcommadecimal")), "-1234567.50");
  EXPECT_EQ(value_of(inline_fact("( 1\xC2\xA0" "234 )", "ixt:numcommadecimal", 3)), "-1234000");
  // A sign attribute turns a zero dash into negative zero, which scaling makes plain zero.
  EXPECT_EQ(value_of(inline_fact("-", "ixt-sec:numdash", std::nullopt, "-")), "-0");
  EXPECT_EQ(value_of(inline_fact("\xE2\x88\x92", "ixt:zerodash", std::nullopt, "-")), "-0");
  EXPECT_EQ(value_of(inline_fact("-", "ixt-sec:numdash", 6, "-")), "0");
  EXPECT_EQ(value_of(inline_fact("(0.000)", std::nullopt, -3)), "0");
  EXPECT_EQ(value_of(inline_fact("(0.000)", std::nullopt, 0)), "-0.000");
  // A number-words text that does not read as words falls back to the
  // ordinary cleaning; parentheses around words still fail.
  EXPECT_EQ(value_of(inline_fact("(1,000)", "ixt:numwordsen")), "-1000");
  EXPECT_EQ(value_of(inline_fact("(Five)", "ixt:numwordsen")), "error: invalid decimal value: (Five)");
  // A minus inside parentheses, a sign attribute and a scale still give one
  // minus, and scaling up keeps the fractional digit.
  EXPECT_EQ(value_of(inline_fact("(-1,5)", "ixt:numcommadecimal", 1, "-")), "-15.0");
}

TEST(NormalizeFact, ContextAndUnitAreResolvedFirst) {
  const InstanceDocument doc = document();
  RawFact nil = numeric_fact("", "nope", std::nullopt);
  nil.value = NilValue{};
  EXPECT_EQ(normalize_fact(doc, NoLabels{}, "", nil).error().render(), "missing context: nope");

  RawFact text = numeric_fact("hello", "c", "u9");
  text.value = NonNumericText{"hello"};
  EXPECT_EQ(normalize_fact(doc, NoLabels{}, "", text).error().render(), "missing unit: u9");

  // A bad number behind a missing unit reports the unit.
  EXPECT_EQ(normalize_fact(doc, NoLabels{}, "", numeric_fact("x", "c", "u9")).error().render(), "missing unit: u9");
}

TEST(NormalizeFact, CopiesIdentityDimensionsAndProvenance) {
  const InstanceDocument doc = document();
  RawFact fact = numeric_fact("1.50");
  fact.id = "f1";
  fact.decimals = Accuracy::of(2);
  const NormalizeResult r = normalize_fact(doc, NoLabels{}, "doc-7", fact);
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(r->provenance.byte_range, (ByteRange{10, 20}));
  EXPECT_EQ(r->provenance.doc_id, "doc-7");
  EXPECT_EQ(r->provenance.context_ref, "c");
  EXPECT_EQ(r->provenance.fact_id, "f1");
  EXPECT_EQ(r->entity, (Entity{"http://scheme", "E1"}));
  ASSERT_EQ(r->dimensions.size(), 3u);  // segment members first, then scenario
  EXPECT_EQ(r->dimensions[0].dimension.local_name, "Axis");
  EXPECT_EQ(r->dimensions[1].dimension.local_name, "Axis2");
  EXPECT_EQ(std::get<std::string>(r->dimensions[2].member), "<x>1</x>");
  ASSERT_TRUE(r->unit.has_value());
  EXPECT_EQ(r->unit->numerator[0].local_name, "EUR");
  EXPECT_EQ(std::get<Instant>(r->period).date, "2024-12-31");
  const auto& numeric = std::get<NumericValue>(r->value);
  EXPECT_EQ(numeric.raw, "1.50");
  EXPECT_EQ(numeric.decimals, Accuracy::of(2));
  EXPECT_EQ(numeric.value->render(), "1.50");
}

TEST(NormalizeFact, TextFactsAreTransformedAndLabelsAsked) {
  struct CountingResolver : TaxonomyResolver {
    mutable int calls = 0;
    mutable std::optional<std::string> last_lang;
    std::optional<std::string> label(const QName& q, const std::optional<std::string>& selector,
                                     const std::optional<std::string>& lang) const override {
      ++calls;
      last_lang = lang;
      EXPECT_FALSE(selector.has_value());
      return "Label of " + q.local_name;
    }
  } resolver;
  const InstanceDocument doc = document();
  RawFact fact = numeric_fact("yes", "c", std::nullopt);
  fact.value = NonNumericText{" yes "};
  fact.lang = "en";
  fact.inline_meta = InlineMeta{"ixt:booleanTrue", std::nullopt, std::nullopt, std::nullopt, std::nullopt, false};
  const NormalizeResult r = normalize_fact(doc, resolver, "", fact);
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(std::get<TextValue>(r->value), (TextValue{"true", "en"}));
  EXPECT_EQ(r->label, "Label of Revenue");
  EXPECT_EQ(resolver.calls, 1);
  EXPECT_EQ(resolver.last_lang, "en");

  // A failing fact never reaches the resolver.
  (void)normalize_fact(doc, resolver, "", numeric_fact("x"));
  EXPECT_EQ(resolver.calls, 1);
}

TEST(NormalizeFacts, OneResultPerFactInOrder) {
  InstanceDocument doc = document();
  doc.facts.push_back(numeric_fact("1"));
  doc.facts.push_back(numeric_fact("2", "missing"));
  doc.facts.push_back(numeric_fact("3"));
  const std::vector<NormalizeResult> results = normalize_facts(doc, NoLabels{}, "");
  ASSERT_EQ(results.size(), 3u);
  EXPECT_TRUE(results[0].has_value());
  EXPECT_EQ(results[1].error().render(), "missing context: missing");
  EXPECT_EQ(std::get<NumericValue>(results[2]->value).value->render(), "3");
}
