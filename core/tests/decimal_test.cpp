// The 96-bit decimal, one row per rule: parsing, representation, scaling by
// powers of ten, and the 256-bit arithmetic beneath it. Addition,
// subtraction, multiplication, division, rounding, normalization and
// comparison are checked against an exact oracle in
// python/tests/test_decimal_oracle.py (through tools/decimal_calc), and
// everything against GMP by the decimal fuzz target.

#include "quorrel/core/decimal.hpp"
#include "quorrel/core/wide_uint.hpp"

#include <gtest/gtest.h>

#include <limits>
#include <optional>
#include <random>
#include <string>
#include <tuple>

using quorrel::core::Decimal;

namespace {

constexpr const char* kMax = "79228162514264337593543950335";  // 2^96 - 1

Decimal d(std::string_view text) {
  const auto parsed = Decimal::parse(text);
  EXPECT_TRUE(parsed.has_value()) << "does not parse: " << text;
  return parsed.value_or(Decimal{});
}

std::string shown(const std::optional<Decimal>& value) { return value ? value->render() : "none"; }

}  // namespace

TEST(DecimalParse, Table) {
  const std::pair<const char*, const char*> cases[] = {
      {"+7", "7"}, {"+.5", "0.5"}, {"5.", "5"}, {"007.0", "7.0"}, {"1__0_", "10"}, {"1._5", "1.5"}, {"-0.000", "-0.000"},
      {"-1.50e1", "-15.0"}, {".5e-2", "0.005"}, {"0e99999999999999999999", "0"}, {"7.9228162514264337593543950335e28", kMax},
      // Digits beyond the mantissa or the scale: the first dropped digit rounds up from 5, nothing after it is
      // read but a complete exponent; the exponent form rounds half to even.
      {"79228162514264337593543950335.4.x", kMax}, {"7922816251426433759354395033.6", "7922816251426433759354395034"},
      {"-7922816251426433759354395033.59", "-7922816251426433759354395034"},  // carry drops one more digit
      {"0.99999999999999999999999999995", "1.0000000000000000000000000000"},
      {"1.00000000000000000000000000009_9E-1", "0.1000000000000000000000000000"},
      {"1.00000000000000000000000000001ex", "1.0000000000000000000000000000"},
      {"25e-29", "0.0000000000000000000000000002"}, {"35e-29", "0.0000000000000000000000000004"},
      {"-5e-29", "-0.0000000000000000000000000000"},
      // Not decimals, or past the limit.
      {"", "none"}, {"-.", "none"}, {"+-1", "none"}, {"1.2.3", "none"}, {"_1", "none"}, {"._5", "none"},
      {" 1", "none"}, {"1,000", "none"}, {"1e", "none"}, {"1e5_0", "none"}, {"\xD9\xA1", "none"},
      {"79228162514264337593543950336", "none"}, {"79228162514264337593543950335.5", "none"}, {"1e29", "none"},
  };
  for (const auto& [text, expected] : cases) EXPECT_EQ(shown(Decimal::parse(text)), expected) << text;
}

TEST(DecimalRepresentation, ComparedByValueRenderedAsHeldBuiltFromParts) {
  EXPECT_EQ(Decimal::compare(d("5"), d("5.000")), 0);
  EXPECT_FALSE(d("-0").same_representation(d("0")));
  EXPECT_FALSE(d("1.5").same_representation(d("1.50")));
  std::string out = "v=";
  d("-12.30").append_to(out);
  EXPECT_EQ(out, "v=-12.30");
  EXPECT_EQ(Decimal::from_int(std::numeric_limits<std::int64_t>::min()).render(), "-9223372036854775808");
  EXPECT_EQ(shown(Decimal::from_parts(true, {0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF}, 28)), "-7.9228162514264337593543950335");
  EXPECT_FALSE(Decimal::from_parts(false, {1, 0, 0}, 29));
  const auto words = d("18446744073709551617.5").mantissa_words();  // (2^64 + 1) * 10 + 5
  EXPECT_EQ(words, (decltype(words){15u, 0u, 10u}));
}

TEST(DecimalPowersOfTen, MulPow10ExactValuesAndFailures) {
  const std::tuple<const char*, std::uint32_t, const char*> cases[] = {
      {"1.5", 6, "1500000.0"}, {"-0.000", 5, "-0.000"}, {"1", 28, "10000000000000000000000000000"},
      {"7922816251426433759354395033", 1, "79228162514264337593543950330"},
      // Past 2^96 each further power drops a fractional digit instead, until none is left.
      {"7.922816251426433759354395033", 3, "7922.8162514264337593543950330"},
      {"7.9228162514264337593543950335", 28, kMax}, {"7.9228162514264337593543950335", 29, "none"},
      {"792281625142643375935439503.4", 1, "7922816251426433759354395034"},
      {"7922816251426433759354395034", 1, "none"}, {"1", 29, "none"},
      {"0.0000000000000000000000000001", 4000000000u, "none"}, {"0", 4000000000u, "0"}};
  for (const auto& [text, n, expected] : cases) EXPECT_EQ(shown(d(text).mul_pow10(n)), expected) << text << " " << n;
}

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
