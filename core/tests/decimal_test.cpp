#include "quorrel/core/decimal.hpp"

#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <type_traits>

using quorrel::core::Decimal;

namespace {

constexpr const char* kMax = "79228162514264337593543950335";  // 2^96 - 1

Decimal d(std::string_view text) {
  const auto parsed = Decimal::parse(text);
  EXPECT_TRUE(parsed.has_value()) << "does not parse: " << text;
  return parsed.value_or(Decimal{});
}

// The rendered text of a parse, or "invalid".
std::string parsed(std::string_view text) {
  const auto r = Decimal::parse(text);
  return r ? r->render() : "invalid";
}

std::string shown(const std::optional<Decimal>& r) { return r ? r->render() : "overflow"; }

}  // namespace

static_assert(std::is_trivially_copyable_v<Decimal>);
static_assert(sizeof(Decimal) == 16);

TEST(DecimalParse, SignsPointsAndUnderscores) {
  EXPECT_EQ(parsed("+7"), "7");
  EXPECT_EQ(parsed("-12.50"), "-12.50");
  EXPECT_EQ(parsed(".5"), "0.5");
  EXPECT_EQ(parsed("+.5"), "0.5");
  EXPECT_EQ(parsed("5."), "5");
  EXPECT_EQ(parsed("007.0"), "7.0");
  EXPECT_EQ(parsed("2.500"), "2.500");
  EXPECT_EQ(parsed("1_000"), "1000");
  EXPECT_EQ(parsed("1__0_"), "10");
  EXPECT_EQ(parsed("1._5"), "1.5");
  EXPECT_EQ(parsed("-0"), "-0");
  EXPECT_EQ(parsed("-0.000"), "-0.000");
  EXPECT_TRUE(d("-0").is_negative());
}

TEST(DecimalParse, RejectsTextsThatAreNotDecimals) {
  for (const char* text : {"", "-", "+", ".", "-.", "+-1", "7-", "7+", "1.2.3", "_1", "+_1", "._5", " 1", "1 ",
                           "1,000", "0x10", "1e", "e5", "1e+", "1e5_0", "1e5e5", "1e 5", "١"}) {
    EXPECT_EQ(parsed(text), "invalid") << text;
  }
}

TEST(DecimalParse, MantissaLimit) {
  EXPECT_EQ(parsed(kMax), kMax);
  EXPECT_EQ(parsed("-79228162514264337593543950335"), "-79228162514264337593543950335");
  EXPECT_EQ(parsed("79228162514264337593543950336"), "invalid");
  EXPECT_EQ(parsed("000079228162514264337593543950335"), kMax);
  EXPECT_EQ(parsed("792281625142643375935439503350"), "invalid");
  // A fractional digit that no longer fits decides rounding, and nothing after it is read.
  EXPECT_EQ(parsed("79228162514264337593543950335.4"), kMax);
  EXPECT_EQ(parsed("79228162514264337593543950335.4.x"), kMax);
  EXPECT_EQ(parsed("7922816251426433759354395033.5"), "7922816251426433759354395033.5");
  EXPECT_EQ(parsed("7922816251426433759354395033.6"), "7922816251426433759354395034");
}

TEST(DecimalParse, RoundingCarryToTheLimitDropsOneMoreDigit) {
  // 7922816251426433759354395033.5 + one unit would be 2^96 at scale 1.
  EXPECT_EQ(parsed("7922816251426433759354395033.59"), "7922816251426433759354395034");
  EXPECT_EQ(parsed("-7922816251426433759354395033.59"), "-7922816251426433759354395034");
  // At scale 0 there is no digit left to drop.
  EXPECT_EQ(parsed("79228162514264337593543950335.5"), "invalid");
}

TEST(DecimalParse, TwentyEightFractionalDigitsAndBeyond) {
  EXPECT_EQ(parsed("0.1234567890123456789012345678"), "0.1234567890123456789012345678");
  EXPECT_EQ(parsed("0.12345678901234567890123456785"), "0.1234567890123456789012345679");
  EXPECT_EQ(parsed("0.12345678901234567890123456784"), "0.1234567890123456789012345678");
  EXPECT_EQ(parsed("0.12345678901234567890123456785abc"), "0.1234567890123456789012345679");
  EXPECT_EQ(parsed("0.12345678901234567890123456785.1.2e9 x"), "0.1234567890123456789012345679");
  EXPECT_EQ(parsed("0.99999999999999999999999999995"), "1.0000000000000000000000000000");
  EXPECT_EQ(parsed("-0.00000000000000000000000000005"), "-0.0000000000000000000000000001");
  EXPECT_EQ(parsed("0.00000000000000000000000000004"), "0.0000000000000000000000000000");
  EXPECT_EQ(parsed("0.0000000000000000000000000000_5"), "0.0000000000000000000000000001");
  // Once a digit decides the rounding the rest is ignored, except a complete
  // exponent, which would otherwise be lost and shift the value.
  EXPECT_EQ(parsed("1.0000000000000000000000000000e5"), "100000.00000000000000000000000");
  EXPECT_EQ(parsed("1.00000000000000000000000000001e5"), "100000.00000000000000000000000");
  EXPECT_EQ(parsed("1.00000000000000000000000000009_9E-1"), "0.1000000000000000000000000000");
  // Rounds to 2^96 at scale 28, drops a digit, and the exponent then overflows.
  EXPECT_FALSE(Decimal::parse("7.92281625142643375935439503356e28").has_value());
  EXPECT_EQ(parsed("1.00000000000000000000000000001e"), "1.0000000000000000000000000000");
  EXPECT_EQ(parsed("1.00000000000000000000000000001ex"), "1.0000000000000000000000000000");
}

TEST(DecimalParse, ExponentForm) {
  EXPECT_EQ(parsed("1e3"), "1000");
  EXPECT_EQ(parsed("25E-1"), "2.5");
  EXPECT_EQ(parsed("-1.50e1"), "-15.0");
  EXPECT_EQ(parsed("1.5E+3"), "1500");
  EXPECT_EQ(parsed("5e0"), "5");
  EXPECT_EQ(parsed("1_0e1"), "100");
  EXPECT_EQ(parsed(".5e-2"), "0.005");
  EXPECT_EQ(parsed("0.000e2"), "0.0");
  EXPECT_EQ(parsed("0e99999999999999999999"), "0");
  EXPECT_EQ(parsed("1e28"), "10000000000000000000000000000");
  EXPECT_EQ(parsed("7.9228162514264337593543950335e28"), kMax);
  EXPECT_EQ(parsed("7.9228162514264337593543950335e29"), "invalid");
  EXPECT_EQ(parsed("79228162514264337593543950335e-28"), "7.9228162514264337593543950335");
  EXPECT_EQ(parsed("1e29"), "invalid");
  EXPECT_EQ(parsed("1e99999999999999999999"), "invalid");
  EXPECT_EQ(parsed("1e-28"), "0.0000000000000000000000000001");
}

TEST(DecimalParse, ExponentBeyondTwentyEightDigitsRoundsHalfToEven) {
  EXPECT_EQ(parsed("99999e-32"), "0.0000000000000000000000000010");  // carries into a new digit
  EXPECT_EQ(parsed("25e-29"), "0.0000000000000000000000000002");
  EXPECT_EQ(parsed("35e-29"), "0.0000000000000000000000000004");
  EXPECT_EQ(parsed("251e-30"), "0.0000000000000000000000000003");
  EXPECT_EQ(parsed("-5e-29"), "-0.0000000000000000000000000000");
  EXPECT_EQ(parsed("1e-99999999999999999999"), "0.0000000000000000000000000000");
  EXPECT_EQ(parsed("79228162514264337593543950335e-29"), "0.7922816251426433759354395034");
}

TEST(DecimalCompare, ByValueAcrossScalesAndSigns) {
  EXPECT_EQ(Decimal::compare(d("5"), d("5.000")), 0);
  EXPECT_EQ(d("5").render(), "5");
  EXPECT_EQ(d("5.000").render(), "5.000");
  EXPECT_TRUE(d("1.50") == d("1.5"));
  EXPECT_FALSE(d("1.50").same_representation(d("1.5")));
  EXPECT_TRUE(d("-0") == d("0.000"));
  EXPECT_FALSE(d("-0").same_representation(d("0")));
  EXPECT_EQ(Decimal::compare(d("-1"), d("0")), -1);
  EXPECT_EQ(Decimal::compare(d("-0"), d("-0.0001")), 1);
  EXPECT_EQ(Decimal::compare(d("-2"), d("-1.9999999999999999999999999999")), -1);
  EXPECT_EQ(Decimal::compare(d(kMax), d("7.9228162514264337593543950335")), 1);
  EXPECT_EQ(Decimal::compare(d("7.9228162514264337593543950335"), d("79228162514264337593543950335e-28")), 0);
  EXPECT_EQ(Decimal::compare(d("0.0000000000000000000000000001"), d("0")), 1);
  EXPECT_EQ(Decimal::compare(d("7922816251426433759354395033.5"), d(kMax)), -1);
}

TEST(DecimalAddSub, ExactAtTheLargerScale) {
  EXPECT_EQ(shown(d("0.1").add(d("0.2"))), "0.3");
  EXPECT_EQ(shown(d("1.50").add(d("2.5"))), "4.00");
  EXPECT_EQ(shown(d("-1.5").add(d("0.25"))), "-1.25");
  EXPECT_EQ(shown(d("5.50").sub(d("2.50"))), "3.00");
  EXPECT_EQ(shown(d("1").sub(d("0.0000000000000000000000000001"))), "0.9999999999999999999999999999");
  EXPECT_EQ(shown(d("79228162514264337593543950334").add(d("1"))), kMax);
}

TEST(DecimalAddSub, DropsFractionalDigitsHalfToEvenWhenTheMantissaIsFull) {
  EXPECT_EQ(shown(d(kMax).add(d("0.4"))), kMax);
  EXPECT_EQ(shown(d("79228162514264337593543950334").add(d("0.5"))), "79228162514264337593543950334");
  EXPECT_EQ(shown(d("7922816251426433759354395033.3").add(d("0.05"))), "7922816251426433759354395033.4");
  EXPECT_EQ(shown(d("7922816251426433759354395033.2").add(d("0.05"))), "7922816251426433759354395033.2");
  // Rounding reaches 2^96 at scale 1, so a second digit goes.
  EXPECT_EQ(shown(d("7922816251426433759354395033.5").add(d("0.05"))), "7922816251426433759354395034");
  EXPECT_EQ(shown(d("1.0000000000000000000000000001").add(d("79228162514264337593543950333"))), "79228162514264337593543950334");
}

TEST(DecimalAddSub, OverflowAtTheLimit) {
  EXPECT_EQ(shown(d(kMax).add(d("1"))), "overflow");
  EXPECT_EQ(shown(d(kMax).add(d("0.5"))), "overflow");  // rounds to 2^96 at scale 0
  EXPECT_EQ(shown(d("-79228162514264337593543950335").sub(d("1"))), "overflow");
  EXPECT_EQ(shown(d(kMax).sub(d("-0.0000000000000000000000000001"))), kMax);
  EXPECT_EQ(shown(d(kMax).sub(d(kMax))), "0");
}

TEST(DecimalAddSub, SignOfZeroResults) {
  const auto x_minus_x = d("-7.25").sub(d("-7.25"));
  ASSERT_TRUE(x_minus_x);
  EXPECT_EQ(x_minus_x->render(), "0.00");
  EXPECT_EQ(shown(d("7").sub(d("7"))), "0");
  EXPECT_EQ(shown(d("-7").add(d("7.0"))), "0.0");
  EXPECT_EQ(shown(d("-0").add(d("-0.0"))), "-0.0");
  EXPECT_EQ(shown(d("-0").sub(d("0"))), "-0");
  EXPECT_EQ(shown(d("-0").add(d("0"))), "0");
  EXPECT_EQ(shown(d("0").sub(d("0"))), "0");
}

TEST(DecimalMul, ExactProductKeepsTheSumOfScales) {
  EXPECT_EQ(shown(d("1.5").mul(d("1.50"))), "2.250");
  EXPECT_EQ(shown(d("1.5").mul(Decimal::from_int(10))), "15.0");
  EXPECT_EQ(shown(d("-3").mul(d("0.25"))), "-0.75");
  EXPECT_EQ(shown(d("-3").mul(d("-4"))), "12");
  EXPECT_EQ(shown(d(kMax).mul(d("0.1"))), "7922816251426433759354395033.5");
  EXPECT_EQ(shown(d("18446744073709551616").mul(d("4294967295"))), "79228162495817593519834398720");
}

TEST(DecimalMul, DropsDigitsHalfToEven) {
  EXPECT_EQ(shown(d("0.0000000000000001").mul(d("0.0000000000000001"))), "0.0000000000000000000000000000");
  EXPECT_EQ(shown(d("0.00000000000005").mul(d("0.000000000000001"))), "0.0000000000000000000000000000");
  EXPECT_EQ(shown(d("0.00000000000015").mul(d("0.000000000000001"))), "0.0000000000000000000000000002");
  EXPECT_EQ(shown(d("1.0000000000000000000000000001").mul(d("1.0000000000000000000000000001"))),
            "1.0000000000000000000000000002");
  EXPECT_EQ(shown(d(kMax).mul(d("1.0"))), kMax);
  EXPECT_EQ(shown(d(kMax).mul(d("0.5"))), "39614081257132168796771975168");  // ...167.5 to even
  EXPECT_EQ(shown(d(kMax).mul(d("0.0000000000000000000000000001"))), "7.9228162514264337593543950335");
}

TEST(DecimalMul, OverflowAndSignOfZero) {
  EXPECT_EQ(shown(d(kMax).mul(d("2"))), "overflow");
  EXPECT_EQ(shown(d(kMax).mul(d(kMax))), "overflow");
  EXPECT_EQ(shown(d("39614081257132168796771975168").mul(d("2"))), "overflow");
  EXPECT_EQ(shown(d("39614081257132168796771975167").mul(d("-2"))), "-79228162514264337593543950334");
  EXPECT_EQ(shown(d("-1").mul(d("0.00"))), "-0.00");
  EXPECT_EQ(shown(d("-0").mul(d("-5"))), "0");
}

TEST(DecimalDiv, Examples) {
  EXPECT_EQ(shown(d("1").div(d("3"))), "0.3333333333333333333333333333");
  EXPECT_EQ(shown(d("2").div(d("3"))), "0.6666666666666666666666666667");
  EXPECT_EQ(shown(d("1").div(d("4"))), "0.25");
  EXPECT_EQ(shown(d("-1").div(d("8"))), "-0.125");
  EXPECT_EQ(shown(d("190").div(d("100"))), "1.9");
}

TEST(DecimalDiv, ExactQuotientKeepsOnlyTheDigitsItNeeds) {
  EXPECT_EQ(shown(d("1500").div(d("10"))), "150");
  EXPECT_EQ(shown(d("15").div(d("10"))), "1.5");
  EXPECT_EQ(shown(d("1234").div(d("10"))), "123.4");
  EXPECT_EQ(shown(d("123.4").div(d("10"))), "12.34");
  EXPECT_EQ(shown(d("1.50").div(d("1"))), "1.50");
  EXPECT_EQ(shown(d("1").div(d("0.5"))), "2");
  EXPECT_EQ(shown(d("0.00").div(d("5"))), "0.00");
  EXPECT_EQ(shown(d(kMax).div(d("7"))), "11318308930609191084791992905");
}

TEST(DecimalDiv, RoundsTheLastFittingDigitHalfToEven) {
  EXPECT_EQ(shown(d("0.0000000000000000000000000001").div(d("2"))), "0.0000000000000000000000000000");
  EXPECT_EQ(shown(d("0.0000000000000000000000000003").div(d("2"))), "0.0000000000000000000000000002");
  EXPECT_EQ(shown(d("1").div(d(kMax))), "0.0000000000000000000000000000");
  EXPECT_EQ(shown(d("1").div(d("1.0000000000000000000000000001"))), "0.9999999999999999999999999999");
  // A large integer part leaves room for fewer fractional digits.
  EXPECT_EQ(shown(d("7922816251426433759354395033").div(d("3"))), "2640938750475477919784798344.3");
  EXPECT_EQ(shown(d(kMax).div(d("1.0000000000000000000000000001"))), "79228162514264337593543950327");
  // 7922816251426433759354395033.57... reaches 2^96 at scale 1 when rounded.
  EXPECT_EQ(shown(d("55459713759985036315480765235").div(d("7"))), "7922816251426433759354395034");
}

TEST(DecimalDiv, OverflowZeroDivisorAndSigns) {
  EXPECT_EQ(shown(d(kMax).div(d("0.5"))), "overflow");
  EXPECT_EQ(shown(d("1").div(d("0.0000000000000000000000000001"))), "10000000000000000000000000000");
  EXPECT_EQ(shown(d("8").div(d("0.0000000000000000000000000001"))), "overflow");
  EXPECT_EQ(shown(d("1").div(d("0"))), "overflow");
  EXPECT_EQ(shown(d("0").div(d("-0.000"))), "overflow");
  EXPECT_EQ(shown(d("-0.6").div(d("3"))), "-0.2");
  EXPECT_EQ(shown(d("0").div(d("-3"))), "-0");
  EXPECT_EQ(shown(d("-0.0000000000000000000000000001").div(d("3"))), "-0.0000000000000000000000000000");
}

TEST(DecimalRound, TiesAwayFromZero) {
  EXPECT_EQ(d("0.125").round(2).render(), "0.13");
  EXPECT_EQ(d("-0.125").round(2).render(), "-0.13");
  EXPECT_EQ(d("0.5").round(0).render(), "1");
  EXPECT_EQ(d("0.124999").round(2).render(), "0.12");
  EXPECT_EQ(d("0.25").round(1).render(), "0.3");
  EXPECT_EQ(d("0.6666666666666666666666666667").round(4).render(), "0.6667");
  EXPECT_EQ(d("7.9228162514264337593543950335").round(0).render(), "8");
  EXPECT_EQ(d("-9.99").round(1).render(), "-10.0");
}

TEST(DecimalRound, UnchangedWhenFewDigitsAndZeroIsPositive) {
  EXPECT_TRUE(d("1.2").round(3).same_representation(d("1.2")));
  EXPECT_TRUE(d("-1.20").round(2).same_representation(d("-1.20")));
  EXPECT_TRUE(d("-0.0000000000000000000000000001").round(40).same_representation(d("-0.0000000000000000000000000001")));
  EXPECT_EQ(d("-0.4").round(0).render(), "0");
  EXPECT_EQ(d("-0.004").round(2).render(), "0.00");
  EXPECT_EQ(d("-0.0").round(0).render(), "0");
}

TEST(DecimalNormalize, StripsTrailingFractionalZerosOnly) {
  EXPECT_EQ(d("120.50").normalize().render(), "120.5");
  EXPECT_EQ(d("100").normalize().render(), "100");
  EXPECT_EQ(d("1.500").normalize().render(), "1.5");
  EXPECT_EQ(d("2.000").normalize().render(), "2");
  EXPECT_EQ(d("0.000").normalize().render(), "0");
  EXPECT_TRUE(d("-0.00").normalize().same_representation(Decimal{}));
  EXPECT_EQ(d("-7922816251426433759354395033.0").normalize().render(), "-7922816251426433759354395033");
  EXPECT_EQ(d("7.9228162514264337593543950330").normalize().render(), "7.922816251426433759354395033");
}

TEST(DecimalRender, TextForm) {
  EXPECT_EQ(Decimal{}.render(), "0");
  EXPECT_EQ(d("-0.05").render(), "-0.05");
  EXPECT_EQ(d("0.0000000000000000000000000001").render(), "0.0000000000000000000000000001");
  EXPECT_EQ(d("-7.9228162514264337593543950335").render(), "-7.9228162514264337593543950335");
  EXPECT_EQ(d("18446744073709551616").render(), "18446744073709551616");
  EXPECT_EQ(d("10000000000000000000").render(), "10000000000000000000");
  std::string out = "v=";
  d("-12.30").append_to(out);
  d("4").append_to(out);
  EXPECT_EQ(out, "v=-12.304");
}

TEST(DecimalParts, FromIntFromPartsAndWords) {
  EXPECT_EQ(Decimal::from_int(std::numeric_limits<std::int64_t>::min()).render(), "-9223372036854775808");
  EXPECT_EQ(Decimal::from_int(-0).render(), "0");
  EXPECT_EQ(Decimal::from_int(42).scale(), 0u);
  const auto max = Decimal::from_parts(true, {0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF}, 28);
  ASSERT_TRUE(max);
  EXPECT_EQ(max->render(), "-7.9228162514264337593543950335");
  EXPECT_FALSE(Decimal::from_parts(false, {1, 0, 0}, 29));
  const auto words = d("18446744073709551617.5").mantissa_words();  // (2^64 + 1) * 10 + 5
  EXPECT_EQ(words[0], 15u);
  EXPECT_EQ(words[1], 0u);
  EXPECT_EQ(words[2], 10u);
  EXPECT_EQ(d("0.010").scale(), 3u);
  EXPECT_TRUE(d("-0").is_zero());
}
