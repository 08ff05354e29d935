// Normalization of facts: numeric text (cleaning, sign, parse, scale, in that
// order), contexts and units (the lookups are checked against plain search on
// the corpus by corpus_test); the 96-bit decimal where fuzzing and
// the exact oracle of test_decimal_oracle.py do not reach; and 256-bit long
// division against a bitwise reference.

#include "quorrel/core/normalize.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "quorrel/core/decimal.hpp"
#include "quorrel/core/wide_uint.hpp"

using namespace quorrel::core;

namespace {

using Text = std::optional<std::string>;

// Texts the test's facts view, kept for the whole run.
std::string_view kept(std::string_view text) {
  static TextArena texts;
  return texts.add(text);
}

RawFact numeric_fact(const std::string& text, const std::string& context = "c", Text unit = "u") {
  RawFact fact;
  fact.byte_range = ByteRange{10, 20};
  fact.value = NumericText{kept(text)};
  fact.concept_name = QName{"Revenue", "urn:t", "t"};
  fact.context_ref = kept(context);
  if (unit) fact.unit_ref = kept(*unit);
  return fact;
}

// Ids one byte apart and the empty id, so that a lookup must tell them apart.
InstanceDocument document() {
  InstanceDocument doc;
  std::vector<Context> contexts;
  for (const char* id : {"c", "", "c1", "c-1", "cccccccc-long-id-0", "cccccccc-long-id-1"}) contexts.emplace_back().id = id;
  doc.contexts = ById<Context>(std::move(contexts));
  std::vector<Unit> units;
  for (const char* id : {"u", "u1", "uu"}) units.push_back(Unit{id, {QName{"EUR", std::nullopt, "iso4217"}}, {}});
  doc.units = ById<Unit>(std::move(units));
  return doc;
}

// The decimal of a fact, rendered without normalizing, its context and unit ids, or the error text.
std::string normalized(const RawFact& fact) {
  const InstanceDocument doc = document();
  const auto r = normalize_fact(ReferenceIndex(doc), fact);
  if (!r) return "error: " + r.error().render();
  return (r->number ? r->number->render() : "no number") + " in " + r->context->id + "/" +
         (r->unit ? r->unit->id : "-");
}

// 18446744073709551615 in words: base-100 digits 18 44 67 44 07 37 09 55 16 15.
const std::string kMaxWords =
    "eighteen hundred forty four hundred sixty seven hundred forty four hundred seven hundred "
    "thirty seven hundred nine hundred fifty five hundred sixteen hundred fifteen";
const std::string kHundred9 = "hundred hundred hundred hundred hundred hundred hundred hundred hundred";
const std::string kTenE19 = "hundred hundred hundred hundred hundred hundred hundred hundred thousand";

}  // namespace

// Cleaning, number words and transforms are fuzzed against references; here is
// what normalization adds (the steps in order, the scale, the untouched text in
// the error) and the number words that fuzzing seldom reaches.
TEST(NormalizeNumeric, CleaningThenSignThenParseThenScale) {
  struct Case {
    std::string text;
    Text format;
    std::optional<std::int32_t> scale;
    Text sign;
    const char* expected;  // nullptr: "invalid decimal value: " and the untrimmed text
  };
  const auto n = std::nullopt;
  const std::string words = "ixt:numwordsen";
  const Case cases[] = {
      {" 1 234\xC2\xA0" "567 ", n, n, n, "1234567"}, {"( 1,234 )", n, n, n, "-1234"}, {"1e3", n, n, n, "1000"},
      {"(+5)", n, n, n, nullptr}, {"+12", n, n, "-", nullptr}, {"1\xC2", n, n, n, nullptr}, {"   ", n, n, n, nullptr},
      {"( \xE2\x80\x94 )", "ixt:numdash", n, n, "-0"}, {"Twenty-One Thousand", words, 3, "-", "-21000000"},
      // Separators beyond ASCII; 64-bit overflow at every step (group + value, hundreds, multiplier, total + group).
      {"\xE3\x80\x80 one\xC2\xA0hundred\xE2\x80\x89one\xC2\x85two\t", words, n, n, "103"},
      {"one\xE2\x80\x8Btwo", words, n, n, nullptr},
      {kMaxWords, words, n, n, "18446744073709551615"}, {kMaxWords + " one", words, n, n, nullptr},
      {kHundred9 + " hundred", words, n, n, nullptr}, {kMaxWords + " thousand", words, n, n, nullptr},
      {kTenE19 + " " + kTenE19, words, n, n, nullptr}, {kTenE19 + " nine " + kHundred9, words, n, n, nullptr},
      {kTenE19 + " eight " + kHundred9, words, n, n, "18000000000000000000"},
      // Scale keeps the digits; the result must fit.
      {"1.5", n, 3, n, "1500.0"}, {"1234", n, -2, n, "12.34"}, {"-0.00", n, -2, n, "0"}, {"-0.00", n, 0, n, "-0.00"},
      {"7", n, 28, n, "70000000000000000000000000000"}, {"8", n, 28, n, nullptr}, {"7", n, 29, n, nullptr},
      {"1", n, -28, n, "0.0000000000000000000000000001"}, {"1", n, -29, n, nullptr},
      {"(-1,5)", "ixt:numcommadecimal", 1, "-", "-15.0"},
  };
  for (const Case& c : cases) {
    RawFact fact = numeric_fact(c.text);
    fact.inline_meta = InlineMeta{c.format, c.sign, std::nullopt, std::nullopt, c.scale, false};
    EXPECT_EQ(normalized(fact),
              c.expected ? std::string(c.expected) + " in c/u" : "error: invalid decimal value: " + c.text)
        << c.text << " " << c.format.value_or("-");
  }
}

TEST(NormalizeFact, ContextThenUnitThenValue) {
  RawFact text = numeric_fact("", "c-1", "uu");
  text.value = NonNumericText{"1"};
  RawFact nil = numeric_fact("", "", std::nullopt);
  nil.value = NilValue{};
  const std::pair<RawFact, const char*> cases[] = {
      {numeric_fact(" 12.50 ", "c", std::nullopt), "12.50 in c/-"}, {text, "no number in c-1/uu"},
      {nil, "no number in /-"}, {numeric_fact("1", "cccccccc-long-id-1", "u1"), "1 in cccccccc-long-id-1/u1"},
      {numeric_fact("x", "c2", "u9"), "error: missing context: c2"},
      {numeric_fact("x", "c", ""), "error: missing unit: "},
      {numeric_fact("x", "cccccccc-long-id-2", "u"), "error: missing context: cccccccc-long-id-2"},
      {numeric_fact("x", "c", "u9"), "error: missing unit: u9"},
      {numeric_fact(" x ", "c", "u"), "error: invalid decimal value:  x "},
  };
  for (const auto& [fact, expected] : cases) EXPECT_EQ(normalized(fact), expected) << fact.context_ref;
}

TEST(Decimal, CasesBeyondTheFuzzTargetAndTheOracle) {
  const auto shown = [](std::string_view text, std::optional<std::uint32_t> pow10 = std::nullopt) {
    auto value = Decimal::parse(text);
    if (value && pow10) value = value->mul_pow10(*pow10);
    return value ? value->render() : "none";
  };
  EXPECT_EQ(shown("0e99999999999999999999"), "0");  // a zero under an exponent too large to apply
  EXPECT_EQ(shown("0.0000000000000000000000000001", 4000000000u), "none");
  EXPECT_EQ(shown("0", 4000000000u), "0");
  EXPECT_FALSE(Decimal::parse("-0")->same_representation(*Decimal::parse("0")));
  EXPECT_FALSE(Decimal::parse("1.5")->same_representation(*Decimal::parse("1.50")));
  EXPECT_EQ(Decimal::from_int(std::numeric_limits<std::int64_t>::min()).render(), "-9223372036854775808");
  EXPECT_FALSE(Decimal::from_parts(false, {1, 0, 0}, 29));
}

namespace {

using namespace quorrel::core::wide;

// Restoring binary long division: slow, but simple enough to trust.
DivMod reference_divmod(const Uint256& n, const Uint256& d) {
  DivMod r;
  for (int i = 255; i >= 0; --i) {
    const bool overflow = (r.remainder.w[3] >> 63) != 0;
    for (int k = 3; k >= 0; --k) r.remainder.w[k] = (r.remainder.w[k] << 1) | (k > 0 ? r.remainder.w[k - 1] >> 63 : 0);
    r.remainder.w[0] |= (n.w[i / 64] >> (i % 64)) & 1;
    if (overflow || compare(r.remainder, d) >= 0) {
      r.remainder = sub(r.remainder, d);
      r.quotient.w[i / 64] |= u64{1} << (i % 64);
    }
  }
  return r;
}

void expect_divmod_matches(const Uint256& n, const Uint256& d, int i) {
  const DivMod got = divmod(n, d), want = reference_divmod(n, d);
  ASSERT_TRUE(compare(got.quotient, want.quotient) == 0 && compare(got.remainder, want.remainder) == 0)
      << "case " << i << " n=" << n.w[3] << "," << n.w[2] << "," << n.w[1] << "," << n.w[0] << " d=" << d.w[3]
      << "," << d.w[2] << "," << d.w[1] << "," << d.w[0];
}

}  // namespace

TEST(WideUint, DivisionMatchesBitwiseDivision) {
  constexpr u64 kTop = u64{1} << 63, kMax = ~u64{0};
  // The add-back step, a digit needing two corrections, and an unsigned multiply-subtract.
  expect_divmod_matches(Uint256{{0, 0, kTop, kTop - 1}}, Uint256{{1, 0, kTop}}, -1);
  expect_divmod_matches(Uint256{{kMax - 1, 14423642737795025057ULL, 4937981394748468516ULL, kMax - 1}},
                        Uint256{{kTop + 1, 0xFFFFFFFF, 1}}, -2);
  expect_divmod_matches(Uint256{{3, 0, kTop}}, Uint256{{1, 0, u64{1} << 61}}, -3);
  // Limbs biased towards the values that exercise the corrections of long division.
  static constexpr u64 special[] = {0, 1, 2, kMax, kMax - 1, kTop, kTop - 1, kTop + 1, u64{1} << 32, 0xFFFFFFFF};
  std::mt19937_64 rng(20240611);
  const auto limb = [&] { return rng() % 3 == 0 ? rng() : special[rng() % 10]; };
  for (int i = 0; i < 40000; ++i) {
    Uint256 n, d;
    for (int k = 0, len = 1 + static_cast<int>(rng() % 4); k < len; ++k) n.w[k] = limb();
    for (int k = 0, len = 1 + static_cast<int>(rng() % 4); k < len; ++k) d.w[k] = limb();
    if (is_zero(d)) d.w[0] = 1;
    expect_divmod_matches(n, d, i);
    if (HasFatalFailure()) return;
  }
}

// normalize_facts copies each fact out whole (identity, entity, period,
// members in order, unit, value, label), asks for a label only for a fact
// that normalizes, and gives a failing fact its own error without stopping
// the others.
TEST(NormalizeFacts, CopiesEachFactOutAndAsksLabelsOnlyOnSuccess) {
  struct CountingLabels : TaxonomyResolver {
    mutable int calls = 0;
    std::optional<std::string> label(const QName& q, const std::optional<std::string>& selector,
                                     const std::optional<std::string>& lang) const override {
      ++calls;
      return q.local_name.str() + (selector ? "?" : "") + " in " + lang.value_or("-");
    }
  } labels;
  InstanceDocument doc = document();
  std::vector<Context> contexts(1);
  contexts[0].id = "c";
  contexts[0].entity = Entity{"http://scheme", "E1"};
  contexts[0].period = Instant{"2024-12-31"};
  contexts[0].segment = {ExplicitMember{{"Axis", std::nullopt, "d"}, {"Member", std::nullopt, "d"}}};
  contexts[0].scenario = {TypedMember{{"Typed", std::nullopt, "d"}, "<x>1</x>"}};
  doc.contexts = ById<Context>(std::move(contexts));
  doc.facts = {numeric_fact("1.50"), numeric_fact("yes", "c", std::nullopt), numeric_fact("x")};
  doc.facts[0].id = "f1";
  doc.facts[0].decimals = Accuracy::of(2);
  doc.facts[1].value = NonNumericText{" yes "};
  doc.facts[1].lang = "en";
  doc.facts[1].inline_meta = InlineMeta{"ixt:booleanTrue", std::nullopt, std::nullopt, std::nullopt, std::nullopt, false};
  const std::vector<NormalizeResult> results = normalize_facts(doc, labels, "doc-7");
  ASSERT_EQ(results.size(), 3u);
  ASSERT_TRUE(results[0] && results[1]);
  const NormalizedFact& r = *results[0];
  EXPECT_EQ(r.provenance, (Provenance{ByteRange{10, 20}, "doc-7", "c", "f1", {}, {}, {}}));
  EXPECT_EQ(r.concept_name, doc.facts[0].concept_name);
  EXPECT_EQ(r.entity, (Entity{"http://scheme", "E1"}));
  EXPECT_EQ(r.period, Period(Instant{"2024-12-31"}));
  EXPECT_EQ(r.dimensions, (std::vector<Dimension>{{{"Axis", std::nullopt, "d"}, QName{"Member", std::nullopt, "d"}},
                                                  {{"Typed", std::nullopt, "d"}, std::string("<x>1</x>")}}));
  EXPECT_EQ(r.unit, *doc.units.find("u"));
  EXPECT_EQ(r.label, "Revenue in -");
  const auto& numeric = std::get<NumericValue>(r.value);
  EXPECT_EQ(numeric.raw + " " + numeric.value->render(), "1.50 1.50");
  EXPECT_EQ(numeric.decimals, Accuracy::of(2));
  EXPECT_EQ(std::get<TextValue>(results[1]->value), (TextValue{"true", "en"}));
  EXPECT_EQ(results[1]->label, "Revenue in en");
  EXPECT_FALSE(results[1]->unit.has_value());
  EXPECT_EQ(results[2].error().render(), "invalid decimal value: x");
  EXPECT_EQ(labels.calls, 2);
}
