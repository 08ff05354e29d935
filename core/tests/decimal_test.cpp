// The 96-bit decimal: parsing, exact arithmetic with half-to-even digit
// dropping, rounding, and the 256-bit long division beneath it.

#include "quorrel/core/decimal.hpp"
#include "quorrel/core/wide_uint.hpp"

#include <gtest/gtest.h>

#include <limits>
#include <optional>
#include <random>
#include <string>
#include <tuple>
#include <vector>

using quorrel::core::Decimal;

namespace {

constexpr const char* kMax = "79228162514264337593543950335";  // 2^96 - 1

Decimal d(std::string_view text) {
  const auto parsed = Decimal::parse(text);
  EXPECT_TRUE(parsed.has_value()) << "does not parse: " << text;
  return parsed.value_or(Decimal{});
}

struct Case {
  const char* a;
  const char* b;
  const char* expected;  // rendered, or "invalid" / "overflow"
};

}  // namespace

TEST(DecimalParse, Table) {
  const std::pair<const char*, const char*> cases[] = {
      {"+7", "7"}, {"-12.50", "-12.50"}, {"+.5", "0.5"}, {"5.", "5"}, {"007.0", "7.0"}, {"1__0_", "10"},
      {"1._5", "1.5"}, {"-0.000", "-0.000"}, {"1e3", "1000"}, {"-1.50e1", "-15.0"}, {".5e-2", "0.005"},
      {"0e99999999999999999999", "0"}, {"1e-28", "0.0000000000000000000000000001"},
      {"7.9228162514264337593543950335e28", kMax}, {"000079228162514264337593543950335", kMax},
      // Digits beyond the mantissa or the scale round half to even; nothing after the deciding digit is read,
      // except a complete exponent.
      {"79228162514264337593543950335.4.x", kMax},
      {"7922816251426433759354395033.5", "7922816251426433759354395033.5"},
      {"7922816251426433759354395033.6", "7922816251426433759354395034"},
      {"-7922816251426433759354395033.59", "-7922816251426433759354395034"},  // carry drops one more digit
      {"0.12345678901234567890123456785abc", "0.1234567890123456789012345679"},
      {"0.99999999999999999999999999995", "1.0000000000000000000000000000"},
      {"0.0000000000000000000000000000_5", "0.0000000000000000000000000001"},
      {"1.00000000000000000000000000001e5", "100000.00000000000000000000000"},
      {"1.00000000000000000000000000009_9E-1", "0.1000000000000000000000000000"},
      {"1.00000000000000000000000000001ex", "1.0000000000000000000000000000"},
      {"99999e-32", "0.0000000000000000000000000010"}, {"25e-29", "0.0000000000000000000000000002"},
      {"35e-29", "0.0000000000000000000000000004"}, {"251e-30", "0.0000000000000000000000000003"},
      {"-5e-29", "-0.0000000000000000000000000000"},
      {"79228162514264337593543950335e-29", "0.7922816251426433759354395034"},
      // Not decimals, or past the limit.
      {"", "invalid"}, {"-.", "invalid"}, {"+-1", "invalid"}, {"7-", "invalid"}, {"1.2.3", "invalid"},
      {"_1", "invalid"}, {"._5", "invalid"}, {" 1", "invalid"}, {"1,000", "invalid"}, {"1e", "invalid"},
      {"1e5_0", "invalid"}, {"1e 5", "invalid"}, {"\xD9\xA1", "invalid"},
      {"79228162514264337593543950336", "invalid"}, {"79228162514264337593543950335.5", "invalid"},
      {"7.92281625142643375935439503356e28", "invalid"}, {"1e29", "invalid"}, {"1e99999999999999999999", "invalid"},
  };
  for (const auto& [text, expected] : cases) {
    const auto r = Decimal::parse(text);
    EXPECT_EQ(r ? r->render() : "invalid", expected) << text;
  }
  EXPECT_TRUE(d("-0").is_negative());
}

TEST(DecimalArithmetic, AddSubMulDiv) {
  using Op = std::optional<Decimal> (Decimal::*)(const Decimal&) const;
  struct Table {
    const char* name;
    Op op;
    std::vector<Case> cases;
  };
  const Table tables[] = {
      {"add", &Decimal::add,
       {{"1.50", "2.5", "4.00"}, {"-1.5", "0.25", "-1.25"}, {"79228162514264337593543950334", "1", kMax},
        {kMax, "0.4", kMax}, {"79228162514264337593543950334", "0.5", "79228162514264337593543950334"},
        {"7922816251426433759354395033.3", "0.05", "7922816251426433759354395033.4"},
        {"7922816251426433759354395033.2", "0.05", "7922816251426433759354395033.2"},
        {"7922816251426433759354395033.5", "0.05", "7922816251426433759354395034"},
        {kMax, "1", "overflow"}, {kMax, "0.5", "overflow"},
        {"-7", "7.0", "0.0"}, {"-0", "-0.0", "-0.0"}, {"-0", "0", "0"}}},
      {"sub", &Decimal::sub,
       {{"1", "0.0000000000000000000000000001", "0.9999999999999999999999999999"},
        {"-79228162514264337593543950335", "1", "overflow"}, {kMax, "-0.0000000000000000000000000001", kMax},
        {"-7.25", "-7.25", "0.00"}, {"-0", "0", "-0"}, {"0", "0", "0"}}},
      {"mul", &Decimal::mul,
       {{"1.5", "1.50", "2.250"}, {"-3", "-4", "12"}, {kMax, "0.1", "7922816251426433759354395033.5"},
        {"18446744073709551616", "4294967295", "79228162495817593519834398720"},
        {"0.00000000000005", "0.000000000000001", "0.0000000000000000000000000000"},
        {"0.00000000000015", "0.000000000000001", "0.0000000000000000000000000002"},
        {"1.0000000000000000000000000001", "1.0000000000000000000000000001", "1.0000000000000000000000000002"},
        {kMax, "0.5", "39614081257132168796771975168"},
        {kMax, "0.0000000000000000000000000001", "7.9228162514264337593543950335"},
        {kMax, "2", "overflow"}, {"39614081257132168796771975168", "2", "overflow"},
        {"-1", "0.00", "-0.00"}, {"-0", "-5", "0"}}},
      {"div", &Decimal::div,
       {{"1", "3", "0.3333333333333333333333333333"}, {"2", "3", "0.6666666666666666666666666667"},
        {"-1", "8", "-0.125"}, {"190", "100", "1.9"}, {"1500", "10", "150"}, {"123.4", "10", "12.34"},
        {"1.50", "1", "1.50"}, {"1", "0.5", "2"}, {"0.00", "5", "0.00"}, {kMax, "7", "11318308930609191084791992905"},
        {"0.0000000000000000000000000001", "2", "0.0000000000000000000000000000"},
        {"0.0000000000000000000000000003", "2", "0.0000000000000000000000000002"},
        {"7922816251426433759354395033", "3", "2640938750475477919784798344.3"},
        {kMax, "1.0000000000000000000000000001", "79228162514264337593543950327"},
        {"55459713759985036315480765235", "7", "7922816251426433759354395034"},
        {"1", "0.0000000000000000000000000001", "10000000000000000000000000000"},
        {"8", "0.0000000000000000000000000001", "overflow"}, {kMax, "0.5", "overflow"},
        {"1", "0", "overflow"}, {"0", "-0.000", "overflow"}, {"0", "-3", "-0"},
        {"-0.0000000000000000000000000001", "3", "-0.0000000000000000000000000000"}}},
  };
  for (const Table& t : tables) {
    for (const Case& c : t.cases) {
      const auto r = (d(c.a).*t.op)(d(c.b));
      EXPECT_EQ(r ? r->render() : "overflow", c.expected) << c.a << " " << t.name << " " << c.b;
    }
  }
}

TEST(DecimalCompareRoundNormalize, ByValueTiesAwayFromZeroTrailingZeros) {
  EXPECT_EQ(Decimal::compare(d("5"), d("5.000")), 0);
  EXPECT_FALSE(d("1.50").same_representation(d("1.5")));
  EXPECT_FALSE(d("-0").same_representation(d("0")));
  EXPECT_EQ(Decimal::compare(d("-0"), d("-0.0001")), 1);
  EXPECT_EQ(Decimal::compare(d("-2"), d("-1.9999999999999999999999999999")), -1);
  EXPECT_EQ(Decimal::compare(d(kMax), d("7.9228162514264337593543950335")), 1);
  EXPECT_EQ(Decimal::compare(d("7922816251426433759354395033.5"), d(kMax)), -1);
  const std::tuple<const char*, std::uint32_t, const char*> rounds[] = {
      {"0.125", 2, "0.13"}, {"-0.125", 2, "-0.13"}, {"0.124999", 2, "0.12"}, {"0.25", 1, "0.3"},
      {"7.9228162514264337593543950335", 0, "8"}, {"-9.99", 1, "-10.0"}, {"-1.20", 2, "-1.20"},
      {"1.2", 3, "1.2"}, {"-0.004", 2, "0.00"}, {"-0.4", 0, "0"}};
  for (const auto& [text, places, expected] : rounds) EXPECT_EQ(d(text).round(places).render(), expected) << text;
  const std::pair<const char*, const char*> normalized[] = {
      {"120.50", "120.5"}, {"100", "100"}, {"2.000", "2"}, {"-0.00", "0"},
      {"7.9228162514264337593543950330", "7.922816251426433759354395033"}};
  for (const auto& [text, expected] : normalized) EXPECT_EQ(d(text).normalize().render(), expected) << text;
  EXPECT_TRUE(d("-0.00").normalize().same_representation(Decimal{}));
  std::string out = "v=";
  d("-12.30").append_to(out);
  EXPECT_EQ(out, "v=-12.30");
  EXPECT_EQ(Decimal::from_int(std::numeric_limits<std::int64_t>::min()).render(), "-9223372036854775808");
  EXPECT_EQ(Decimal::from_parts(true, {0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF}, 28)->render(),
            "-7.9228162514264337593543950335");
  EXPECT_FALSE(Decimal::from_parts(false, {1, 0, 0}, 29));
  const auto words = d("18446744073709551617.5").mantissa_words();  // (2^64 + 1) * 10 + 5
  EXPECT_EQ(words, (decltype(words){15u, 0u, 10u}));
}

TEST(DecimalPowersOfTen, MulPow10ExactValuesAndFailures) {
  const std::tuple<const char*, std::uint32_t, const char*> cases[] = {
      {"1.5", 6, "1500000.0"}, {"-0.25", 3, "-250.00"}, {"7", 0, "7"}, {"-0.000", 5, "-0.000"},
      {"1", 28, "10000000000000000000000000000"}, {"12345.6789", 20, "1234567890000000000000000.0000"},
      {"12345.6789", 24, "12345678900000000000000000000"},
      // Past 2^96 a step drops a fractional digit instead, until none is left.
      {"7.9228162514264337593543950335", 1, "79.228162514264337593543950335"},
      {"7.9228162514264337593543950335", 28, kMax}, {"7.9228162514264337593543950335", 29, "overflow"},
      {"792281625142643375935439503.35", 2, kMax}, {"792281625142643375935439503.35", 3, "overflow"},
      {"-1.2345678901234567890123456789", 1, "-12.345678901234567890123456789"},
      {"7922816251426433759354395033.5", 1, kMax}, {"7922816251426433759354395033.6", 1, "overflow"},
      {"7922816251426433759354395033", 1, "79228162514264337593543950330"},
      {"792281625142643375935439503.4", 1, "7922816251426433759354395034"},
      {"7.922816251426433759354395033", 3, "7922.8162514264337593543950330"},
      {"8", 28, "overflow"}, {"1", 29, "overflow"}, {"1", 4000000000u, "overflow"},
      {"0.0000000000000000000000000001", 4000000000u, "overflow"}, {"0", 4000000000u, "0"}};
  for (const auto& [text, n, expected] : cases) {
    const auto r = d(text).mul_pow10(n);
    EXPECT_EQ(r ? r->render() : "overflow", expected) << text << " * 10^" << n;
  }
}

// ---------------------------------------------------------------- 256-bit division

namespace {

using namespace quorrel::core::wide;

Uint256 limbs(u64 w0, u64 w1 = 0, u64 w2 = 0, u64 w3 = 0) {
  Uint256 r;
  r.w[0] = w0, r.w[1] = w1, r.w[2] = w2, r.w[3] = w3;
  return r;
}

Uint256 shl1(const Uint256& a) {
  Uint256 r;
  for (int i = 3; i >= 0; --i) r.w[i] = (a.w[i] << 1) | (i > 0 ? a.w[i - 1] >> 63 : 0);
  return r;
}

// Restoring binary long division: slow, but simple enough to trust.
DivMod reference_divmod(const Uint256& n, const Uint256& d) {
  DivMod r;
  for (int i = 255; i >= 0; --i) {
    const bool overflow = (r.remainder.w[3] >> 63) != 0;
    r.remainder = shl1(r.remainder);
    r.remainder.w[0] |= (n.w[i / 64] >> (i % 64)) & 1;
    if (overflow || compare(r.remainder, d) >= 0) {
      r.remainder = sub(r.remainder, d);
      r.quotient.w[i / 64] |= u64{1} << (i % 64);
    }
  }
  return r;
}

// Limbs biased towards the values that exercise the corrections of long division.
u64 patterned_limb(std::mt19937_64& rng) {
  static constexpr u64 special[] = {0, 1, 2, ~u64{0}, ~u64{0} - 1, u64{1} << 63, (u64{1} << 63) - 1,
                                    (u64{1} << 63) + 1, u64{1} << 32, 0xFFFFFFFF};
  return rng() % 3 == 0 ? rng() : special[rng() % 10];
}

void expect_divmod_matches(const Uint256& n, const Uint256& d, int i) {
  const DivMod got = divmod(n, d);
  const DivMod want = reference_divmod(n, d);
  ASSERT_TRUE(compare(got.quotient, want.quotient) == 0 && compare(got.remainder, want.remainder) == 0)
      << "case " << i << " n=" << n.w[3] << "," << n.w[2] << "," << n.w[1] << "," << n.w[0] << " d=" << d.w[3]
      << "," << d.w[2] << "," << d.w[1] << "," << d.w[0];
}

}  // namespace

TEST(WideUint, DivisionMatchesBitwiseDivision) {
  // The add-back step, a digit needing two corrections, and an unsigned multiply-subtract.
  expect_divmod_matches(limbs(0, 0, u64{1} << 63, (u64{1} << 63) - 1), limbs(1, 0, u64{1} << 63), -1);
  expect_divmod_matches(limbs(~u64{0} - 1, 14423642737795025057ULL, 4937981394748468516ULL, ~u64{0} - 1),
                        limbs((u64{1} << 63) + 1, 0xFFFFFFFF, 1), -2);
  expect_divmod_matches(limbs(3, 0, u64{1} << 63), limbs(1, 0, u64{1} << 61), -3);
  std::mt19937_64 rng(20240611);
  for (int i = 0; i < 40000; ++i) {
    Uint256 n, d;
    for (int k = 0, len = 1 + static_cast<int>(rng() % 4); k < len; ++k) n.w[k] = patterned_limb(rng);
    for (int k = 0, len = 1 + static_cast<int>(rng() % 4); k < len; ++k) d.w[k] = patterned_limb(rng);
    if (is_zero(d)) d.w[0] = 1;
    expect_divmod_matches(n, d, i);
    if (HasFatalFailure()) return;
  }
}

TEST(WideUint, ProductsMatchShiftAndAdd) {
  std::mt19937_64 rng(7);
  for (int i = 0; i < 20000; ++i) {
    const u128 a = (static_cast<u128>(patterned_limb(rng)) << 64) | patterned_limb(rng);
    const u128 b = (static_cast<u128>(patterned_limb(rng)) << 64) | patterned_limb(rng);
    Uint256 want, shifted = from_u128(a);
    for (int k = 0; k < 128; ++k, shifted = shl1(shifted)) {
      if ((b >> k) & 1) want = add(want, shifted);
    }
    ASSERT_EQ(compare(mul(a, b), want), 0) << "case " << i;
    ASSERT_EQ(compare(sub(add(want, from_u128(a)), from_u128(a)), want), 0);
  }
}
