// Normalization of facts: inline text transforms (dates included), the
// numeric cleaning pipeline (parentheses, separators, zero dashes, number
// words, sign and scale), and the resolution of contexts, units and labels.

#include "quorrel/core/normalize.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "quorrel/core/parser.hpp"
#include "quorrel/core/transforms.hpp"

using namespace quorrel::core;

namespace {

using Text = std::optional<std::string>;

RawFact numeric_fact(std::string text, std::string context = "c", std::optional<std::string> unit = "u") {
  RawFact fact;
  fact.byte_range = ByteRange{10, 20};
  fact.value = NumericText{std::move(text)};
  fact.concept_name = QName{"Revenue", "urn:t", "t"};
  fact.context_ref = std::move(context);
  fact.unit_ref = std::move(unit);
  return fact;
}

RawFact inline_fact(std::string text, Text format, std::optional<std::int32_t> scale, Text sign) {
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
  const NormalizeResult r = normalize_fact(document(), NoLabels{}, "doc", fact);
  if (!r) return "error: " + r.error().render();
  const auto* numeric = std::get_if<NumericValue>(&r->value);
  return numeric == nullptr || !numeric->value ? "not numeric" : numeric->value->render();
}

// 18446744073709551615 in words: base-100 digits 18 44 67 44 07 37 09 55 16 15.
const std::string kMaxWords =
    "eighteen hundred forty four hundred sixty seven hundred forty four hundred seven hundred "
    "thirty seven hundred nine hundred fifty five hundred sixteen hundred fifteen";
const std::string kHundred9 = "hundred hundred hundred hundred hundred hundred hundred hundred hundred";
const std::string kTenE19 = "hundred hundred hundred hundred hundred hundred hundred hundred thousand";

}  // namespace

TEST(TextTransforms, FixedValuesDatesAndTheTextUnchanged) {
  struct Case {
    Text format;
    std::string text;
    const char* expected;  // nullptr: the text unchanged, untrimmed
  };
  const Case cases[] = {
      {std::nullopt, "  yes \n", nullptr}, {"ixt:unknown", " x ", nullptr},
      {"ixt:booleanTrue", "yes", "true"}, {"ixt:fixed-false", "x", "false"}, {"BOOLEANFALSE", "", "false"},
      {"ixt-sec:nocontent", "text", ""}, {"ixt:fixed-empty", "text", ""},
      // Numeric names do nothing to text.
      {"ixt:zerodash", "\xE2\x80\x94", nullptr}, {"ixt:numcommadecimal", "1.234,5", nullptr},
      {"ixt:numwordsen", "five", nullptr},
      // Year, month, day in any digit form; no range check, padding never cuts.
      {"ixt:dateyearmonthdaycjk", "2024年3月5日", "2024-03-05"},
      {"ixt:DateYearMonthDayCJK", "２０２４年１２月２５日", "2024-12-25"},
      {"ixt:dateyearmonthdaycjk", "二〇二四年三月五日", "2024-03-05"},
      {"ixt:dateyearmonthdaycjk", "零壱弐参年1月1日", "0123-01-01"},
      {"ixt:dateyearmonthdaycjk", "2０二年1月1日", "0202-01-01"},
      {"ixt:dateyearmonthdaycjk", "2024年13月45日", "2024-13-45"},
      {"ixt:dateyearmonthdaycjk", "24年003月5日", "0024-003-05"},
      {"ixt:dateyearmonthdaycjk", "年月日", "0000-00-00"},
      {"ixt:dateyearmonthdaycjk", "2024年3月日", "2024-03-00"},
      {"ixt:dateyearmonthdaycjk", "\xE3\x80\x80 2024 年\xE3\x80\x80" "3 月 5\xC2\xA0日\n", "2024-03-05"},
      {"ixt:dateyearmonthdaycjk", "2024年3月5日 x", nullptr}, {"ixt:dateyearmonthdaycjk", "3月2024年5日", nullptr},
      {"ixt:dateyearmonthdaycjk", "二十年三月五日", nullptr}, {"ixt:dateyearmonthdaycjk", "2024年3月5日6日", nullptr},
      {"ixt:dateyearmonthdaycjk", "1月2年3月4日", nullptr}, {"ixt:dateyearmonthdaycjk", "2024年3月月5日", nullptr},
      {"ixt:dateyearmonthdaycjk", "2024年\xEF\xBC\x9A月5日", nullptr},  // U+FF1A, just past full-width 9
      {"ixt:dateyearmonthdaycjk", "2024年/月5日", nullptr},
      {"ixt:dateyearmonthdaycjk", "2024年3月5\xE6\x97", nullptr}, {"ixt:dateyearmonthdaycjk", "\xE5" "2024年3月5日", nullptr},
      {"ixt:dateyearmonthdaycjk", " March 5, 2024 ", nullptr},
      {"ixt:dateyearmonthcjk", "24年3月", "0024-03"}, {"ixt:dateyearmonthcjk", "２０２４年　１２月　", "2024-12"},
      {"ixt:dateyearmonthcjk", "2024年", nullptr}, {"ixt:dateyearmonthcjk", "2024年3月5日", nullptr},
      {"ixt:datemonthdaycjk", "12月25日", "--12-25"}, {"ixt:datemonthdaycjk", "3月日", "--03-00"},
      {"ixt:datemonthdaycjk", " 三月 五日 ", "--03-05"}, {"ixt:datemonthdaycjk", "12月25日。", nullptr},
      {"ixt:datemonthdaycjk", "2024年12月25日", nullptr},
      // Japanese eras, era year 0 allowed, numbers collapse then fill; the year must stay within u32.
      {"ixt:dateerayearmonthdayjp", "令和5年3月31日", "2023-03-31"},
      {"ixt:dateerayearmonthdayjp", "平成31年4月30日", "2019-04-30"},
      {"ixt:dateerayearmonthdayjp", "昭和64年1月7日", "1989-01-07"},
      {"ixt:dateerayearmonthdayjp", "大正15年12月25日", "1926-12-25"},
      {"ixt:dateerayearmonthdayjp", "明治45年7月30日", "1912-07-30"},
      {"ixt:dateerayearmonthdayjp", "令和0005年003月0007日", "2023-03-07"},
      {"ixt:dateerayearmonthdayjp", "令和０年一月二日", "2018-01-02"},
      {"ixt:dateerayearmonthdayjp", "\xE3\x80\x80令和 5 年 3 月 31 日 ", "2023-03-31"},
      {"ixt:dateerayearmonthdayjp", "令和5年3月4294967295日", "2023-03-4294967295"},
      {"ixt:dateerayearmonthdayjp", "令和4294965277年1月1日", "4294967295-01-01"},
      {"ixt:dateerayearmonthdayjp", "令和4294965278年1月1日", nullptr},
      {"ixt:dateerayearmonthdayjp", "明治4294967295年1月1日", nullptr},
      {"ixt:dateerayearmonthdayjp", "令和5年3月4294967296日", nullptr},
      {"ixt:dateerayearmonthdayjp", "令和元年5月1日", nullptr}, {"ixt:dateerayearmonthdayjp", "令和年5月1日", nullptr},
      {"ixt:dateerayearmonthdayjp", "令和5年5月日", nullptr}, {"ixt:dateerayearmonthdayjp", "寛政5年3月31日", nullptr},
      {"ixt:dateerayearmonthdayjp", "令", nullptr}, {"ixt:dateerayearmonthdayjp", "令和5月3年31日", nullptr},
      {"ixt:dateerayearmonthdayjp", "\xE4\xBB\xA4\xE5\x92" "5年3月31日", nullptr},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(apply_text_transform(c.format, c.text), c.expected ? c.expected : c.text)
        << c.format.value_or("-") << " " << c.text;
  }
}

TEST(NormalizeNumeric, CleaningSignScaleAndWords) {
  struct Case {
    std::string text;
    Text format;
    std::optional<std::int32_t> scale;
    Text sign;
    const char* expected;  // nullptr: "invalid decimal value: " and the untrimmed text
  };
  const auto n = std::nullopt;
  const Case cases[] = {
      // Spaces, parentheses and separators.
      {" 1 234 567 ", n, n, n, "1234567"}, {"1\xC2\xA0" "234", n, n, n, "1234"}, {"12\xE2\x80\x89" "345", n, n, n, nullptr},
      {"12\t345", n, n, n, nullptr}, {"12 kg", n, n, n, nullptr}, {"   ", n, n, n, nullptr}, {", ,", n, n, n, nullptr},
      {"(1,234)", n, n, n, "-1234"}, {"((12))", n, n, n, "-12"}, {"( 12 )", n, n, n, "-12"}, {"(12", n, n, n, nullptr},
      {"(-5)", n, n, n, "-5"}, {"(+5)", n, n, n, nullptr}, {"()", n, n, n, nullptr}, {"1e3", n, n, n, "1000"},
      {"1.234,56", n, n, n, "1.23456"}, {"1.234.567,89", n, n, n, nullptr},
      {"1.234.567,89", "ixt:numcommadecimal", n, n, "1234567.89"}, {"1.234,5", "ixt:num-comma-decimal", n, n, "1.2345"},
      {"..", "ixt:numcommadecimal", n, n, nullptr}, {"1,000", "ixt:booleantrue", n, n, "1000"},
      {"(1\xC2\xA0" "234,5)", "ixt:numcommadecimal", n, n, "-1234.5"},
      {"\xC2\xA0(1.234.567,50)\xC2\xA0", "ixt:numcommadecimal", n, n, "-1234567.50"},
      {"1\xC2", n, n, n, nullptr}, {"\x85" "12", n, n, n, nullptr},
      // Zero dashes: em dash, hyphen, U+2212, U+FF0D; not an en dash or a doubled dash, nor without the format.
      {"\xE2\x80\x94", "ixt:fixed-zero", n, n, "0"}, {"-", "ixt-sec:numdash", n, n, "0"},
      {" \xE2\x88\x92 ", "NumDash", n, n, "0"}, {"\xEF\xBC\x8D", "a:b:ZeroDash", n, n, "0"},
      {"(-)", "zerodash", n, n, "-0"}, {"( \xE2\x80\x94 )", "ixt:numdash", n, n, "-0"},
      {"-", "ixt-sec:numdash", n, "-", "-0"}, {"-", "ixt-sec:numdash", 6, "-", "0"},
      {"\xE2\x80\x93", "ixt:zerodash", n, n, nullptr}, {"--", "ixt:zerodash", n, n, nullptr},
      {"\xE2\x80\x94", n, n, n, nullptr}, {"-", "ixt:numcommadecimal", n, n, nullptr}, {"-", "numdash:x", n, n, nullptr},
      {"1,000", "ixt:zerodash", n, n, "1000"},
      // The sign attribute.
      {"12", n, n, "-", "-12"}, {"(12)", n, n, "-", "-12"}, {"-12", n, n, "-", "-12"}, {"12", n, n, "+", "12"},
      {"12", n, n, " -", "12"}, {"+12", n, n, "-", nullptr}, {",", n, n, "-", nullptr},
      // Scale keeps the digits; the result must fit.
      {"1.5", n, 3, n, "1500.0"}, {"1234", n, -2, n, "12.34"}, {"0.00", n, 2, n, "0"}, {"-0.00", n, -2, n, "0"},
      {"-0.00", n, 0, n, "-0.00"}, {"(0.000)", n, -3, n, "0"}, {"7", n, 28, n, "70000000000000000000000000000"},
      {"8", n, 28, n, nullptr}, {"7", n, 29, n, nullptr}, {"1", n, -28, n, "0.0000000000000000000000000001"},
      {"( 1\xC2\xA0" "234 )", "ixt:numcommadecimal", 3, n, "-1234000"},
      {"(-1,5)", "ixt:numcommadecimal", 1, "-", "-15.0"},
      // Number words: values, multipliers, separators; anything else falls back to the ordinary cleaning.
      {"Twenty-One Thousand", "ixt:numwordsen", 3, "-", "-21000000"}, {"zero", "ixt:numwordsen", n, n, "0"},
      {"one two", "ixt:numwordsen", n, n, "3"}, {"five twenty", "ixt:numwordsen", n, n, "25"},
      {"thousand thousand", "ixt:numwordsen", n, n, "2000"}, {"Twelve HUNDRED", "ixt-sec:NumWordsEn", n, n, "1200"},
      {"two million three hundred thousand forty-two", "ixt:numwordsen", n, n, "2300042"},
      {"nineteen trillion", "ixt:numwordsen", n, n, "19000000000000"},
      {"twenty--one", "ixt:numwordsen", n, n, "21"}, {"-five-", "ixt:numwordsen", n, n, "5"},
      {"\xE3\x80\x80 one\xC2\xA0hundred\xE2\x80\x89one\xC2\x85two\t", "ixt:numwordsen", n, n, "103"},
      {"one\x85two", "ixt:numwordsen", n, n, nullptr}, {"one\xE2\x80\x8Btwo", "ixt:numwordsen", n, n, nullptr},
      {"twenty\xE2\x80\x93one", "ixt:numwordsen", n, n, nullptr}, {"one \xE3\x80", "ixt:numwordsen", n, n, nullptr},
      {"one hundred and five", "ixt:numwordsen", n, n, nullptr}, {"a hundred", "ixt:numwordsen", n, n, nullptr},
      {"five", n, n, n, nullptr}, {"(Five)", "ixt:numwordsen", n, n, nullptr},
      {"(1,000)", "ixt:numwordsen", n, n, "-1000"}, {"1,234", "ixt:numwordsen", n, n, "1234"},
      // Unsigned 64-bit overflow at every step: group + value, hundreds, closing multiplier, total + group.
      {kMaxWords, "ixt:numwordsen", n, n, "18446744073709551615"}, {kMaxWords + " one", "ixt:numwordsen", n, n, nullptr},
      {kHundred9, "ixt:numwordsen", n, n, "1000000000000000000"}, {kHundred9 + " hundred", "ixt:numwordsen", n, n, nullptr},
      {kTenE19, "ixt:numwordsen", n, n, "10000000000000000000"}, {kMaxWords + " thousand", "ixt:numwordsen", n, n, nullptr},
      {kTenE19 + " " + kTenE19, "ixt:numwordsen", n, n, nullptr},
      {kTenE19 + " eight " + kHundred9, "ixt:numwordsen", n, n, "18000000000000000000"},
      {kTenE19 + " nine " + kHundred9, "ixt:numwordsen", n, n, nullptr},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(value_of(inline_fact(c.text, c.format, c.scale, c.sign)),
              c.expected ? std::string(c.expected) : "error: invalid decimal value: " + c.text)
        << c.text << " " << c.format.value_or("-");
  }
  EXPECT_EQ(value_of(numeric_fact("(1,234)")), "-1234");  // plain facts are cleaned the same way
  EXPECT_EQ(value_of(numeric_fact(" 1 kg")), "error: invalid decimal value:  1 kg");
}

TEST(NormalizeFact, ContextThenUnitThenValue) {
  const InstanceDocument doc = document();
  RawFact nil = numeric_fact("", "nope", std::nullopt);
  nil.value = NilValue{};
  EXPECT_EQ(normalize_fact(doc, NoLabels{}, "", nil).error().render(), "missing context: nope");
  RawFact text = numeric_fact("hello", "c", "u9");
  text.value = NonNumericText{"hello"};
  EXPECT_EQ(normalize_fact(doc, NoLabels{}, "", text).error().render(), "missing unit: u9");
  EXPECT_EQ(normalize_fact(doc, NoLabels{}, "", numeric_fact("x", "c", "u9")).error().render(), "missing unit: u9");
  EXPECT_EQ(normalize_number(doc, numeric_fact("x", "c", "u9")).error().render(), "missing unit: u9");
}

TEST(NormalizeFact, CopiesIdentityDimensionsAndProvenance) {
  RawFact fact = numeric_fact("1.50");
  fact.id = "f1";
  fact.decimals = Accuracy::of(2);
  const NormalizeResult r = normalize_fact(document(), NoLabels{}, "doc-7", fact);
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(r->provenance.byte_range, (ByteRange{10, 20}));
  EXPECT_EQ(r->provenance.doc_id, "doc-7");
  EXPECT_EQ(r->provenance.fact_id, "f1");
  EXPECT_EQ(r->entity, (Entity{"http://scheme", "E1"}));
  ASSERT_EQ(r->dimensions.size(), 3u);  // segment members first, then scenario
  EXPECT_EQ(r->dimensions[1].dimension.local_name, "Axis2");
  EXPECT_EQ(std::get<std::string>(r->dimensions[2].member), "<x>1</x>");
  EXPECT_EQ(r->unit->numerator[0].local_name, "EUR");
  EXPECT_EQ(std::get<Instant>(r->period).date, "2024-12-31");
  const auto& numeric = std::get<NumericValue>(r->value);
  EXPECT_EQ(numeric.raw, "1.50");
  EXPECT_EQ(numeric.decimals, Accuracy::of(2));
  EXPECT_EQ(numeric.value->render(), "1.50");
}

TEST(NormalizeFact, TextFactsAreTransformedAndLabelsAskedOnlyOnSuccess) {
  struct CountingResolver : TaxonomyResolver {
    mutable int calls = 0;
    mutable std::optional<std::string> last_lang;
    std::optional<std::string> label(const QName& q, const std::optional<std::string>& selector,
                                     const std::optional<std::string>& lang) const override {
      ++calls;
      last_lang = lang;
      EXPECT_FALSE(selector.has_value());
      return "Label of " + q.local_name.str();
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
  EXPECT_EQ(resolver.last_lang, "en");
  (void)normalize_fact(doc, resolver, "", numeric_fact("x"));
  EXPECT_EQ(resolver.calls, 1);
}

namespace {

std::string decimal_text(const std::expected<std::optional<Decimal>, XbrlError>& r) {
  if (!r) return "error: " + r.error().render();
  if (!*r) return "no number";
  return (*r)->render() + ((*r)->is_negative() ? " negative" : " positive");
}

// The resolver against the map lookups and normalize_number for every fact of a document.
void expect_resolver_agrees(const InstanceDocument& doc, const std::string& name) {
  const FactResolver resolver(doc);
  for (const auto& [id, context] : doc.contexts) EXPECT_EQ(resolver.context(id), &context) << name << " " << id;
  for (const auto& [id, unit] : doc.units) EXPECT_EQ(resolver.unit(id), &unit) << name << " " << id;
  for (std::size_t p = 0; p < doc.facts.size(); ++p) {
    const RawFact& fact = doc.facts[p];
    const auto want = normalize_number(doc, fact);
    std::expected<std::optional<Decimal>, XbrlError> want_decimal = std::nullopt;
    if (!want) {
      want_decimal = std::unexpected(want.error());
    } else if (*want) {
      want_decimal = (*want)->value;
    }
    const auto got_decimal = resolver.decimal(fact);
    ASSERT_EQ(decimal_text(got_decimal), decimal_text(want_decimal)) << name << " fact " << p;
    if (got_decimal && *got_decimal) {
      EXPECT_TRUE((*got_decimal)->same_representation(**want_decimal));
    }
  }
}

}  // namespace

TEST(FactResolver, FindsExactlyTheIdsTheMapsHold) {
  InstanceDocument doc;
  std::vector<std::string> ids = {"", "c", "c-1", "c-10", "c-100", "c-1\xC3\xA9", std::string("a\0b", 3),
                                  std::string(7, 'x'), std::string(8, 'x'), std::string(9, 'x'), std::string(16, 'x')};
  for (int i = 0; i < 700; ++i) ids.push_back("c-" + std::to_string(i));
  // Long ids that differ only at the start, in the middle or at the end.
  const std::string middle(150, 'm');
  for (const char c : std::string("abcdefgh")) {
    ids.push_back(std::string(1, c) + middle + middle);
    ids.push_back(middle + std::string(1, c) + middle);
    ids.push_back(middle + middle + std::string(1, c));
  }
  for (const std::string& id : ids) {
    Context context;
    context.id = id;
    doc.contexts.emplace(id, context);
    if (id.size() % 3 == 0) doc.units.emplace(id, Unit{id, {}, {}});
  }
  const FactResolver resolver(doc);
  // Every id, and the ids one byte away from it: shorter, longer, changed first and last.
  std::vector<std::string> probes = ids;
  for (const std::string& id : ids) {
    probes.push_back(id + "0");
    probes.push_back(id + '\0');
    if (!id.empty()) {
      probes.push_back(id.substr(0, id.size() - 1));
      probes.push_back(id.substr(1));
      std::string changed = id;
      changed.back() = static_cast<char>(changed.back() ^ 1);
      probes.push_back(changed);
      changed = id;
      changed.front() = static_cast<char>(changed.front() ^ 0x40);
      probes.push_back(changed);
    }
  }
  std::size_t found = 0;
  for (const std::string& probe : probes) {
    const auto context = doc.contexts.find(probe);
    const auto unit = doc.units.find(probe);
    ASSERT_EQ(resolver.context(probe), context == doc.contexts.end() ? nullptr : &context->second) << probe;
    ASSERT_EQ(resolver.unit(probe), unit == doc.units.end() ? nullptr : &unit->second) << probe;
    found += context != doc.contexts.end() ? 1 : 0;
  }
  EXPECT_GT(found, ids.size());  // some changed probes are other ids
  const InstanceDocument nothing;
  const FactResolver empty(nothing);
  EXPECT_EQ(empty.context(""), nullptr);
  EXPECT_EQ(empty.unit("c"), nullptr);
}

TEST(FactResolver, SameNumbersAndErrorsInTheSameOrderAsNormalizeNumber) {
  const InstanceDocument doc = document();
  const FactResolver resolver(doc);
  std::vector<RawFact> facts;
  for (const char* context : {"c", "nope"}) {
    for (const std::optional<std::string>& unit : {Text{}, Text{"u"}, Text{"u9"}, Text{""}}) {
      for (const char* text : {"(1,234.50)", "x", " 7 "}) {
        RawFact fact = numeric_fact(text, context, unit);
        fact.decimals = Accuracy::of(-3);
        facts.push_back(fact);
        fact.inline_meta = InlineMeta{"ixt:num-dot-decimal", "-", std::nullopt, std::nullopt, 6, false};
        facts.push_back(fact);
        fact.inline_meta->scale = 28;  // fits for 7 only
        facts.push_back(fact);
        fact.value = NonNumericText{text};
        facts.push_back(fact);
        fact.value = NilValue{};
        facts.push_back(fact);
      }
    }
  }
  InstanceDocument with_facts = doc;
  with_facts.facts = facts;
  expect_resolver_agrees(with_facts, "grid");

  // A missing context is reported before a missing unit, and that before a bad number.
  EXPECT_EQ(decimal_text(resolver.decimal(numeric_fact("x", "nope", "u9"))), "error: missing context: nope");
  EXPECT_EQ(decimal_text(resolver.decimal(numeric_fact("x", "c", "u9"))), "error: missing unit: u9");
  EXPECT_EQ(decimal_text(resolver.decimal(numeric_fact("x", "c", ""))), "error: missing unit: ");
  EXPECT_EQ(decimal_text(resolver.decimal(numeric_fact(" x ", "c", "u"))), "error: invalid decimal value:  x ");
  EXPECT_EQ(decimal_text(resolver.decimal(inline_fact("8", std::nullopt, 28, std::nullopt))),
            "error: invalid decimal value: 8");
  EXPECT_EQ(decimal_text(resolver.decimal(inline_fact("(1,5)", "ixt:numcommadecimal", 6, std::nullopt))),
            "-1500000.0 negative");
  EXPECT_EQ(decimal_text(resolver.decimal(numeric_fact(" 12.50 ", "c", std::nullopt))), "12.50 positive");
  RawFact text = numeric_fact("", "c", "u");
  text.value = NonNumericText{"1"};
  EXPECT_EQ(decimal_text(resolver.decimal(text)), "no number");
}

// Every filing of the corpus: the resolver answers fact by fact as the maps do.
TEST(FactResolver, CorpusFactsAnswerAsNormalizeNumber) {
  namespace fs = std::filesystem;
  const fs::path corpus = fs::path(QUORREL_SHARED_DIR) / "corpus";
  if (!fs::is_directory(corpus)) GTEST_SKIP() << "corpus absent";
  std::size_t facts = 0;
  for (const auto& entry : fs::recursive_directory_iterator(corpus)) {
    const std::string ext = entry.path().extension().string();
    if (!entry.is_regular_file() || (ext != ".xml" && ext != ".xbrl" && ext != ".html" && ext != ".htm" && ext != ".xhtml")) {
      continue;
    }
    std::ifstream in(entry.path(), std::ios::binary);
    const std::string bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    const auto doc = parse_instance(bytes);
    if (!doc) continue;
    expect_resolver_agrees(*doc, entry.path().filename().string());
    facts += doc->facts.size();
  }
  EXPECT_GT(facts, 10000U);
}
