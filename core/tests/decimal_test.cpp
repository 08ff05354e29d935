// The 96-bit decimal and the 256-bit arithmetic beneath it. Parsing,
// rendering, representation, mul_pow10 up to 10^31 and the arithmetic are
// checked against GMP by the decimal fuzz target (fuzz/decimal_fuzz.cpp) and
// against an exact oracle by python/tests/test_decimal_oracle.py; here are the
// cases neither reaches, and long division against a bitwise reference.

#include "quorrel/core/decimal.hpp"
#include "quorrel/core/wide_uint.hpp"

#include <gtest/gtest.h>

#include <limits>
#include <optional>
#include <random>
#include <string>

using quorrel::core::Decimal;

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
