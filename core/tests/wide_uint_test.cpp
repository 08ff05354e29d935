#include "quorrel/core/wide_uint.hpp"

#include <gtest/gtest.h>

#include <random>

using namespace quorrel::core::wide;

namespace {

Uint256 limbs(u64 w0, u64 w1 = 0, u64 w2 = 0, u64 w3 = 0) {
  Uint256 r;
  r.w[0] = w0;
  r.w[1] = w1;
  r.w[2] = w2;
  r.w[3] = w3;
  return r;
}

bool same(const Uint256& a, const Uint256& b) { return compare(a, b) == 0; }

Uint256 shl1(const Uint256& a) {
  Uint256 r;
  for (int i = 3; i >= 0; --i) r.w[i] = (a.w[i] << 1) | (i > 0 ? a.w[i - 1] >> 63 : 0);
  return r;
}

bool bit(const Uint256& a, int i) { return (a.w[i / 64] >> (i % 64)) & 1; }

// Restoring binary long division: slow, but simple enough to trust.
DivMod reference_divmod(const Uint256& n, const Uint256& d) {
  DivMod r;
  for (int i = 255; i >= 0; --i) {
    const bool overflow = (r.remainder.w[3] >> 63) != 0;
    r.remainder = shl1(r.remainder);
    r.remainder.w[0] |= bit(n, i) ? 1 : 0;
    if (overflow || compare(r.remainder, d) >= 0) {
      r.remainder = sub(r.remainder, d);
      r.quotient.w[i / 64] |= u64{1} << (i % 64);
    }
  }
  return r;
}

// Shift-and-add product of two 128-bit values.
Uint256 reference_mul(u128 a, u128 b) {
  Uint256 acc;
  Uint256 shifted = from_u128(a);
  for (int i = 0; i < 128; ++i) {
    if ((b >> i) & 1) acc = add(acc, shifted);
    shifted = shl1(shifted);
  }
  return acc;
}

// Limbs biased towards the values that exercise the corrections of long
// division: zero, one, all ones, the top bit alone, and their neighbours.
u64 patterned_limb(std::mt19937_64& rng) {
  static constexpr u64 special[] = {0, 1, 2, ~u64{0}, ~u64{0} - 1, u64{1} << 63, (u64{1} << 63) - 1,
                                    (u64{1} << 63) + 1, u64{1} << 32, 0xFFFFFFFF};
  if (rng() % 3 == 0) return rng();
  return special[rng() % (sizeof special / sizeof special[0])];
}

Uint256 patterned(std::mt19937_64& rng, int max_limbs) {
  Uint256 r;
  const int n = 1 + static_cast<int>(rng() % static_cast<u64>(max_limbs));
  for (int i = 0; i < n; ++i) r.w[i] = patterned_limb(rng);
  return r;
}

}  // namespace

TEST(WideUintDivision, AddBackStepGivesTheRightQuotient) {
  // The top two limbs overestimate the quotient digit by one; only the final
  // add-back corrects it.
  const Uint256 n = limbs(0, 0, u64{1} << 63, (u64{1} << 63) - 1);
  const Uint256 d = limbs(1, 0, u64{1} << 63);
  const DivMod r = divmod(n, d);
  EXPECT_TRUE(same(r.quotient, limbs(~u64{0} - 1)));
  EXPECT_TRUE(same(r.remainder, limbs(2, ~u64{0}, (u64{1} << 63) - 1)));
}

TEST(WideUintDivision, QuotientDigitNeedsTwoCorrections) {
  const Uint256 n = limbs(~u64{0} - 1, 14423642737795025057ULL, 4937981394748468516ULL, ~u64{0} - 1);
  const Uint256 d = limbs((u64{1} << 63) + 1, 0xFFFFFFFF, 1);
  const DivMod got = divmod(n, d);
  const DivMod want = reference_divmod(n, d);
  EXPECT_TRUE(same(got.quotient, want.quotient));
  EXPECT_TRUE(same(got.remainder, want.remainder));
}

TEST(WideUintDivision, MultiplySubtractIsNotSigned) {
  const Uint256 n = limbs(3, 0, u64{1} << 63);
  const Uint256 d = limbs(1, 0, u64{1} << 61);
  const DivMod r = divmod(n, d);
  EXPECT_TRUE(same(r.quotient, limbs(3)));
  EXPECT_TRUE(same(r.remainder, limbs(0, 0, u64{1} << 61)));
}

TEST(WideUintDivision, SmallerDividendAndSingleLimbDivisor) {
  const DivMod r = divmod(limbs(5, 7), limbs(0, 0, 1));
  EXPECT_TRUE(is_zero(r.quotient));
  EXPECT_TRUE(same(r.remainder, limbs(5, 7)));
  const DivMod s = divmod(limbs(~u64{0}, ~u64{0}, ~u64{0}, ~u64{0}), limbs(10));
  EXPECT_TRUE(same(s.remainder, limbs(5)));  // 2^256 - 1 ends in 5
}

TEST(WideUintDivision, MatchesBitwiseDivisionOnPatternedOperands) {
  std::mt19937_64 rng(20240611);
  for (int i = 0; i < 40000; ++i) {
    const Uint256 n = patterned(rng, 4);
    Uint256 d = patterned(rng, 1 + static_cast<int>(rng() % 4));
    if (is_zero(d)) d.w[0] = 1;
    const DivMod got = divmod(n, d);
    const DivMod want = reference_divmod(n, d);
    ASSERT_TRUE(same(got.quotient, want.quotient) && same(got.remainder, want.remainder))
        << "case " << i << " n=" << n.w[3] << "," << n.w[2] << "," << n.w[1] << "," << n.w[0]
        << " d=" << d.w[3] << "," << d.w[2] << "," << d.w[1] << "," << d.w[0];
  }
}

TEST(WideUintArithmetic, ProductsSumsAndDifferencesMatchReferences) {
  std::mt19937_64 rng(7);
  for (int i = 0; i < 20000; ++i) {
    const u128 a = (static_cast<u128>(patterned_limb(rng)) << 64) | patterned_limb(rng);
    const u128 b = (static_cast<u128>(patterned_limb(rng)) << 64) | patterned_limb(rng);
    const Uint256 p = mul(a, b);
    ASSERT_TRUE(same(p, reference_mul(a, b))) << "case " << i;
    const u64 m = patterned_limb(rng);
    ASSERT_TRUE(same(mul_small(from_u128(a), m), reference_mul(a, m))) << "case " << i;
    const Uint256 x = from_u128(a), y = from_u128(b);
    const Uint256 s = add(p, x);
    ASSERT_TRUE(same(sub(s, x), p));
    ASSERT_EQ(compare(s, p), a == 0 ? 0 : 1);
    ASSERT_EQ(compare(x, y), a == b ? 0 : (a < b ? -1 : 1));
  }
}
