#include "quorrel/core/transforms.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>

using quorrel::core::apply_text_transform;
using quorrel::core::format_name;
using quorrel::core::number_words;
using quorrel::core::numeric_candidate;
using quorrel::core::numeric_rule;
using quorrel::core::NumericRule;

namespace {

using Text = std::optional<std::string>;
const Text kNone;

Text candidate(std::string_view raw, Text format = kNone, Text sign = kNone) {
  return numeric_candidate(raw, format, sign);
}

std::string text_value(Text format, std::string_view text) { return apply_text_transform(format, text); }

// 18446744073709551615 written in words: base-100 digits 18 44 67 44 07 37 09 55 16 15.
constexpr std::string_view kMaxWords =
    "eighteen hundred forty four hundred sixty seven hundred forty four hundred seven hundred "
    "thirty seven hundred nine hundred fifty five hundred sixteen hundred fifteen";

}  // namespace

// ---------------------------------------------------------------- registry lookup

TEST(FormatName, LocalPartFoldedToAsciiLowerCase) {
  EXPECT_EQ(format_name("ixt:NumDash"), "numdash");
  EXPECT_EQ(format_name("NUMDASH"), "numdash");
  EXPECT_EQ(format_name("a:b:Fixed-Zero"), "fixed-zero");
  EXPECT_EQ(format_name("ixt:"), "");
  EXPECT_EQ(format_name(""), "");
  EXPECT_EQ(format_name("ixt:\xC3\x84" "BC"), "\xC3\x84" "bc");  // Ä is not folded
}

TEST(NumericRuleLookup, ClosedSetOfNumericNames) {
  EXPECT_EQ(numeric_rule("ixt:numwordsen"), NumericRule::NumberWords);
  EXPECT_EQ(numeric_rule("ixt-sec:NumWordsEn"), NumericRule::NumberWords);
  EXPECT_EQ(numeric_rule("numdash"), NumericRule::ZeroDash);
  EXPECT_EQ(numeric_rule("foo:numdash"), NumericRule::ZeroDash);
  EXPECT_EQ(numeric_rule("ixt:FIXED-ZERO"), NumericRule::ZeroDash);
  EXPECT_EQ(numeric_rule("ixt:zerodash"), NumericRule::ZeroDash);
  EXPECT_EQ(numeric_rule("ixt:numcommadecimal"), NumericRule::CommaDecimal);
  EXPECT_EQ(numeric_rule("numcommadecimal"), NumericRule::CommaDecimal);
}

TEST(NumericRuleLookup, EverythingElseIsDefault) {
  for (const char* name : {"ixt:numdotdecimal", "ixt:num-dot-decimal", "ixt:num-comma-decimal",
                           "ixt:booleantrue", "ixt:dateyearmonthdaycjk", "", "ixt:", "numdash:x",
                           "numdash ", "num dash", "ixt:numcommadecimal2"}) {
    EXPECT_EQ(numeric_rule(name), NumericRule::Default) << name;
  }
}

// ---------------------------------------------------------------- text rules

TEST(ApplyTextTransform, NoFormatOrUnknownNameKeepsTheTextUntrimmed) {
  EXPECT_EQ(text_value(kNone, "  yes \n"), "  yes \n");
  EXPECT_EQ(text_value("ixt:unknown", " x "), " x ");
  EXPECT_EQ(text_value("", "x"), "x");
}

TEST(ApplyTextTransform, FixedResultsIgnoreTheText) {
  EXPECT_EQ(text_value("ixt:booleanTrue", "yes"), "true");
  EXPECT_EQ(text_value("ixt:fixed-true", "no"), "true");
  EXPECT_EQ(text_value("ixt:fixed-false", "anything"), "false");
  EXPECT_EQ(text_value("BOOLEANFALSE", ""), "false");
  EXPECT_EQ(text_value("ixt:fixed-empty", "text"), "");
  EXPECT_EQ(text_value("ixt-sec:nocontent", "text"), "");
}

TEST(ApplyTextTransform, DateNamesOrTheTextUnchanged) {
  EXPECT_EQ(text_value("ixt:dateyearmonthdaycjk", "2024年3月5日"), "2024-03-05");
  EXPECT_EQ(text_value("ixt:DateYearMonthCJK", "2024年3月"), "2024-03");
  EXPECT_EQ(text_value("ixt:datemonthdaycjk", "12月25日"), "--12-25");
  EXPECT_EQ(text_value("ixt:dateerayearmonthdayjp", "令和5年3月31日"), "2023-03-31");
  EXPECT_EQ(text_value("ixt:dateyearmonthdaycjk", " March 5, 2024 "), " March 5, 2024 ");
  EXPECT_EQ(text_value("ixt:dateerayearmonthdayjp", " 令和元年5月1日"), " 令和元年5月1日");
  // Each date name reads only its own shape.
  EXPECT_EQ(text_value("ixt:dateyearmonthcjk", "2024年3月5日"), "2024年3月5日");
}

TEST(ApplyTextTransform, NumericNamesDoNotApplyToText) {
  EXPECT_EQ(text_value("ixt:zerodash", "\xE2\x80\x94"), "\xE2\x80\x94");
  EXPECT_EQ(text_value("ixt:numcommadecimal", "1.234,5"), "1.234,5");
  EXPECT_EQ(text_value("ixt:numwordsen", "five"), "five");
}

// ---------------------------------------------------------------- number words

TEST(NumberWords, ValuesAndMultipliers) {
  EXPECT_EQ(number_words("Twenty-One Thousand"), 21000u);
  EXPECT_EQ(number_words("zero"), 0u);
  EXPECT_EQ(number_words("one two"), 3u);
  EXPECT_EQ(number_words("twenty five"), 25u);
  EXPECT_EQ(number_words("five twenty"), 25u);
  EXPECT_EQ(number_words("hundred"), 100u);
  EXPECT_EQ(number_words("thousand"), 1000u);
  EXPECT_EQ(number_words("thousand thousand"), 2000u);
  EXPECT_EQ(number_words("one thousand two hundred"), 1200u);
  EXPECT_EQ(number_words("Twelve HUNDRED"), 1200u);
  EXPECT_EQ(number_words("two million three hundred thousand forty-two"), 2300042u);
  EXPECT_EQ(number_words("nineteen trillion"), 19000000000000u);
}

TEST(NumberWords, SplitsAtHyphenAndEveryWhiteSpaceRun) {
  EXPECT_EQ(number_words("twenty--one"), 21u);
  EXPECT_EQ(number_words("one\t\n hundred"), 100u);
  EXPECT_EQ(number_words("one\xC2\xA0hundred"), 100u);       // U+00A0
  EXPECT_EQ(number_words("one\xE2\x80\x89hundred"), 100u);   // U+2009
  EXPECT_EQ(number_words("one\xE3\x80\x80hundred"), 100u);   // U+3000
  EXPECT_EQ(number_words("one\xC2\x85two"), 3u);             // U+0085
  EXPECT_EQ(number_words("-five-"), 5u);
}

TEST(NumberWords, NotANumber) {
  EXPECT_EQ(number_words(""), std::nullopt);
  EXPECT_EQ(number_words("-"), std::nullopt);
  EXPECT_EQ(number_words("one hundred and five"), std::nullopt);
  EXPECT_EQ(number_words("a hundred"), std::nullopt);
  EXPECT_EQ(number_words("minus five"), std::nullopt);
  EXPECT_EQ(number_words("5"), std::nullopt);
  EXPECT_EQ(number_words("five,"), std::nullopt);
  EXPECT_EQ(number_words("twenty\xE2\x80\x93one"), std::nullopt);  // en dash does not split
  EXPECT_EQ(number_words("one\xE2\x80\x8Btwo"), std::nullopt);     // U+200B is not white space
  EXPECT_EQ(number_words("\xEF\xBD\x8F\xEF\xBD\x8E\xEF\xBD\x85"), std::nullopt);  // full-width one
  EXPECT_EQ(number_words("one\x85two"), std::nullopt);  // a stray byte is not U+0085
  EXPECT_EQ(number_words("one \xE3\x80"), std::nullopt);  // cut character at the end
}

TEST(NumberWords, UnsignedSixtyFourBitOverflow) {
  EXPECT_EQ(number_words(kMaxWords), UINT64_MAX);
  // group + value
  EXPECT_EQ(number_words(std::string(kMaxWords) + " one"), std::nullopt);
  // hundred: 100^10 > 2^64
  EXPECT_EQ(number_words("hundred hundred hundred hundred hundred hundred hundred hundred hundred"),
            1000000000000000000u);
  EXPECT_EQ(number_words("hundred hundred hundred hundred hundred hundred hundred hundred hundred "
                         "hundred"),
            std::nullopt);
  // closing multiplier: group × m, then total + closed
  const std::string ten_e19 = "hundred hundred hundred hundred hundred hundred hundred hundred thousand";
  EXPECT_EQ(number_words(ten_e19), 10000000000000000000u);
  EXPECT_EQ(number_words(std::string(kMaxWords) + " thousand"), std::nullopt);
  EXPECT_EQ(number_words(ten_e19 + " " + ten_e19), std::nullopt);
  // total + group at the end
  EXPECT_EQ(number_words(ten_e19 + " eight hundred hundred hundred hundred hundred hundred hundred "
                                   "hundred hundred"),
            18000000000000000000u);
  EXPECT_EQ(number_words(ten_e19 + " nine hundred hundred hundred hundred hundred hundred hundred "
                                   "hundred hundred"),
            std::nullopt);
}

// ---------------------------------------------------------------- numeric pipeline

TEST(NumericCandidate, TrimAndSpaces) {
  EXPECT_EQ(candidate(" 1 234 567 "), "1234567");
  EXPECT_EQ(candidate("\xE3\x80\x80\t12\n"), "12");
  EXPECT_EQ(candidate("1\xC2\xA0" "234"), "1234");                      // U+00A0 removed
  EXPECT_EQ(candidate("12\xE2\x80\x89" "345"), "12\xE2\x80\x89" "345");  // U+2009 kept
  EXPECT_EQ(candidate("12\t345"), "12\t345");
  EXPECT_EQ(candidate("12 kg"), "12kg");
}

TEST(NumericCandidate, AccountingParentheses) {
  EXPECT_EQ(candidate("(1,234)"), "-1234");
  EXPECT_EQ(candidate("((12))"), "-12");
  EXPECT_EQ(candidate("( 12 )"), "-12");
  EXPECT_EQ(candidate("(12"), "(12");
  EXPECT_EQ(candidate("12)"), "12)");
  EXPECT_EQ(candidate("(-5)"), "-5");
  EXPECT_EQ(candidate("(+5)"), "-+5");  // rejected later by the decimal parser
  EXPECT_EQ(candidate("(1)2)"), "-1)2");
  // The negative mark is added after the separators, so an empty body still carries it.
  EXPECT_EQ(candidate("()"), "-");
  EXPECT_EQ(candidate("(,)"), "-");
}

TEST(NumericCandidate, ZeroDash) {
  EXPECT_EQ(candidate("\xE2\x80\x94", "ixt:fixed-zero"), "0");   // em dash
  EXPECT_EQ(candidate("-", "ixt-sec:numdash"), "0");
  EXPECT_EQ(candidate(" \xE2\x88\x92 ", "NumDash"), "0");         // U+2212
  EXPECT_EQ(candidate("\xEF\xBC\x8D", "zerodash"), "0");          // U+FF0D
  EXPECT_EQ(candidate("(-)", "zerodash"), "-0");                  // negative zero
  EXPECT_EQ(candidate("( \xE2\x80\x94 )", "ixt:numdash"), "-0");
  EXPECT_EQ(candidate("-", "zerodash", "-"), "-0");
  // Not zero dashes: en dash, doubled dash, no format, another format.
  EXPECT_EQ(candidate("\xE2\x80\x93", "ixt:zerodash"), "\xE2\x80\x93");
  EXPECT_EQ(candidate("--", "ixt:zerodash"), "--");
  EXPECT_EQ(candidate("\xE2\x80\x94"), "\xE2\x80\x94");
  EXPECT_EQ(candidate("-", "ixt:numcommadecimal"), "-");
  EXPECT_EQ(candidate("(\xE2\x80\x94)"), "-\xE2\x80\x94");
  // A zero-dash format cleans other text with the default separators.
  EXPECT_EQ(candidate("1,000", "ixt:zerodash"), "1000");
}

TEST(NumericCandidate, Separators) {
  EXPECT_EQ(candidate("1.234.567,89", "ixt:numcommadecimal"), "1234567.89");
  EXPECT_EQ(candidate("1.234.567,89"), "1.234.56789");
  EXPECT_EQ(candidate("1.234,56"), "1.23456");
  EXPECT_EQ(candidate("1.234,5", "ixt:num-comma-decimal"), "1.2345");
  EXPECT_EQ(candidate("1,000", "ixt:booleantrue"), "1000");  // text names do not apply
  EXPECT_EQ(candidate(" 1 234,5 ", "ixt:numcommadecimal"), "1234.5");
  EXPECT_EQ(candidate("1\xC2\xA0" "234,5", "ixt:numcommadecimal"), "1234.5");
  EXPECT_EQ(candidate("(1.234,5)", "ixt:numcommadecimal"), "-1234.5");
}

TEST(NumericCandidate, EmptyCandidateFails) {
  EXPECT_EQ(candidate(""), kNone);
  EXPECT_EQ(candidate("   "), kNone);
  EXPECT_EQ(candidate("\xC2\xA0\xE3\x80\x80"), kNone);
  EXPECT_EQ(candidate(", ,"), kNone);
  EXPECT_EQ(candidate("..", "ixt:numcommadecimal"), kNone);
  EXPECT_EQ(candidate(",", kNone, "-"), kNone);  // the sign does not rescue an empty text
}

TEST(NumericCandidate, SignAttribute) {
  EXPECT_EQ(candidate("12", kNone, "-"), "-12");
  EXPECT_EQ(candidate("(12)", kNone, "-"), "-12");  // stays negative, no double sign
  EXPECT_EQ(candidate("-12", kNone, "-"), "-12");
  EXPECT_EQ(candidate("12", kNone, "+"), "12");
  EXPECT_EQ(candidate("12", kNone, " -"), "12");
  EXPECT_EQ(candidate("+12", kNone, "-"), "-+12");
}

TEST(NumericCandidate, NumberWords) {
  EXPECT_EQ(candidate("Twenty-One Thousand", "ixt:numwordsen"), "21000");
  EXPECT_EQ(candidate("\xE3\x80\x80 five \t", "ixt:numwordsen"), "5");
  EXPECT_EQ(candidate("zero", "ixt:numwordsen"), "0");
  EXPECT_EQ(candidate("twelve", "ixt:numwordsen", "-"), "-12");
  EXPECT_EQ(candidate(kMaxWords, "ixt:numwordsen"), "18446744073709551615");
  // Words are read only under that format.
  EXPECT_EQ(candidate("five"), "five");
  // A failed reading goes down the default path.
  EXPECT_EQ(candidate("one hundred and five", "ixt:numwordsen"), "onehundredandfive");
  EXPECT_EQ(candidate("(twelve)", "ixt:numwordsen"), "-twelve");
  EXPECT_EQ(candidate("1,234", "ixt:numwordsen"), "1234");
  EXPECT_EQ(candidate("   ", "ixt:numwordsen"), kNone);
  // Past the unsigned 64-bit range the words are not a number either.
  std::string joined;
  for (const char c : std::string(kMaxWords) + " one") {
    if (c != ' ') joined.push_back(c);
  }
  EXPECT_EQ(candidate(std::string(kMaxWords) + " one", "ixt:numwordsen"), joined);
}

TEST(NumericCandidate, MalformedBytesAreKeptWhole) {
  EXPECT_EQ(candidate("1\xC2"), "1\xC2");
  EXPECT_EQ(candidate("\xC2" "1"), "\xC2" "1");
  EXPECT_EQ(candidate("1\xE0\xC2\xA0" "2"), "1\xE0" "2");  // the stray byte stays, U+00A0 goes
  EXPECT_EQ(candidate("\x85" "12"), "\x85" "12");           // a stray byte is not U+0085
  EXPECT_EQ(candidate("\xE2\x80", "ixt:zerodash"), "\xE2\x80");
}
