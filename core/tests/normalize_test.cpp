// Normalization of facts: the value of numeric text (cleaning, sign, parse and
// scale, in that order), and the resolution of contexts, units and labels.

#include "quorrel/core/normalize.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "quorrel/core/digest64.hpp"

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
  Context c;
  c.entity = Entity{"http://scheme", "E1"};
  c.segment.push_back(ExplicitMember{QName{"Axis", std::nullopt, "d"}, QName{"Member", std::nullopt, "d"}});
  c.scenario.push_back(TypedMember{QName{"Typed", std::nullopt, "d"}, "<x>1</x>"});
  c.segment.push_back(ExplicitMember{QName{"Axis2", std::nullopt, "d"}, QName{"M2", std::nullopt, "d"}});
  c.period = Instant{"2024-12-31"};
  for (const char* id : {"c", "", "c1", "c-1", "cccccccc-long-id-0", "cccccccc-long-id-1"}) {
    c.id = id;
    contexts.push_back(c);
  }
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

// The cleaning of numeric text, number words and the text transforms are
// compared with references by fuzz/transforms_fuzz.cpp and fuzz/dates_fuzz.cpp,
// decimal parsing by fuzz/decimal_fuzz.cpp; here is what normalization adds
// (the steps in order, the scale, the untouched text in the error) and the
// number words that fuzzing seldom reaches.
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
      // Separators beyond ASCII, and unsigned 64-bit overflow at every step: group + value, hundreds, closing
      // multiplier, total + group.
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

// The lookup tables' sort: spread digests, digests an input crowds under one
// top, equal digests told apart by the second member; each digest is found
// in its run.
TEST(DigestRuns, SortsAsAFullSortAndFindsEveryDigestInItsRun) {
  std::vector<std::pair<std::uint64_t, int>> items;
  for (int i = 0; i < 300; ++i) items.emplace_back(digest64(std::to_string(i)), i);
  for (int i = 0; i < 300; ++i) items.emplace_back(std::uint64_t{7} << 56 | static_cast<std::uint64_t>(i % 50), -i);
  std::vector<std::pair<std::uint64_t, int>> expected = items;
  std::sort(expected.begin(), expected.end());
  const DigestRuns runs(items, [](const auto& item) { return item.first; }, std::less<>{});
  ASSERT_EQ(items, expected);
  for (std::size_t i = 0; i < items.size(); ++i) {
    const auto [begin, end] = runs.run(items[i].first);
    EXPECT_TRUE(begin <= i && i < end) << i;
  }
  std::vector<std::pair<std::uint64_t, int>> none;
  const DigestRuns empty(none, [](const auto& item) { return item.first; }, std::less<>{});
  EXPECT_EQ(empty.run(5), (std::pair<std::size_t, std::size_t>{0, 0}));
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

TEST(NormalizeFacts, CopiesIdentityDimensionsAndTransformedTextAndAsksLabelsOnlyOnSuccess) {
  struct CountingLabels : TaxonomyResolver {
    mutable int calls = 0;
    std::optional<std::string> label(const QName& q, const std::optional<std::string>& selector,
                                     const std::optional<std::string>& lang) const override {
      ++calls;
      return q.local_name.str() + (selector ? "?" : "") + " in " + lang.value_or("-");
    }
  } labels;
  InstanceDocument doc = document();
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
                                                  {{"Axis2", std::nullopt, "d"}, QName{"M2", std::nullopt, "d"}},
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
