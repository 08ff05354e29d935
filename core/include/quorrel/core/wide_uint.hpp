#pragma once
// A fixed-width 256-bit unsigned integer for the exact arithmetic of Decimal:
// four 64-bit limbs, low to high, with 128-bit limb products. It holds exact
// products of two 96-bit mantissas (below 2^192), mantissas scaled by up to
// 10^56, and the intermediate values of division. Callers keep every value
// below 2^256: add, mul and mul_small do not report a carry out of the top
// limb, and sub expects a >= b.

#include <bit>
#include <cstdint>

namespace quorrel::core::wide {

using u64 = std::uint64_t;
using u128 = unsigned __int128;

struct Uint256 {
  u64 w[4] = {0, 0, 0, 0};
};

inline Uint256 from_u128(u128 v) noexcept {
  Uint256 r;
  r.w[0] = static_cast<u64>(v);
  r.w[1] = static_cast<u64>(v >> 64);
  return r;
}

inline u128 low_u128(const Uint256& a) noexcept { return (static_cast<u128>(a.w[1]) << 64) | a.w[0]; }

inline bool is_zero(const Uint256& a) noexcept { return (a.w[0] | a.w[1] | a.w[2] | a.w[3]) == 0; }

inline int compare(const Uint256& a, const Uint256& b) noexcept {
  for (int i = 3; i >= 0; --i) {
    if (a.w[i] != b.w[i]) return a.w[i] < b.w[i] ? -1 : 1;
  }
  return 0;
}

inline Uint256 add(const Uint256& a, const Uint256& b) noexcept {
  Uint256 r;
  u64 carry = 0;
  for (int i = 0; i < 4; ++i) {
    const u128 s = static_cast<u128>(a.w[i]) + b.w[i] + carry;
    r.w[i] = static_cast<u64>(s);
    carry = static_cast<u64>(s >> 64);
  }
  return r;
}

// a - b with a >= b.
inline Uint256 sub(const Uint256& a, const Uint256& b) noexcept {
  Uint256 r;
  u64 borrow = 0;
  for (int i = 0; i < 4; ++i) {
    const u64 x = a.w[i];
    const u64 y = x - b.w[i];
    const u64 z = y - borrow;
    borrow = static_cast<u64>(x < b.w[i]) | static_cast<u64>(y < borrow);
    r.w[i] = z;
  }
  return r;
}

// Full product of two 128-bit values.
inline Uint256 mul(u128 a, u128 b) noexcept {
  const u64 a0 = static_cast<u64>(a), a1 = static_cast<u64>(a >> 64);
  const u64 b0 = static_cast<u64>(b), b1 = static_cast<u64>(b >> 64);
  const u128 p00 = static_cast<u128>(a0) * b0;
  const u128 p01 = static_cast<u128>(a0) * b1;
  const u128 p10 = static_cast<u128>(a1) * b0;
  const u128 p11 = static_cast<u128>(a1) * b1;
  Uint256 r;
  r.w[0] = static_cast<u64>(p00);
  const u128 mid = (p00 >> 64) + static_cast<u64>(p01) + static_cast<u64>(p10);
  r.w[1] = static_cast<u64>(mid);
  const u128 high = (mid >> 64) + (p01 >> 64) + (p10 >> 64) + static_cast<u64>(p11);
  r.w[2] = static_cast<u64>(high);
  r.w[3] = static_cast<u64>((high >> 64) + static_cast<u64>(p11 >> 64));
  return r;
}

// a * m; the caller guarantees the product is below 2^256.
inline Uint256 mul_small(const Uint256& a, u64 m) noexcept {
  Uint256 r;
  u64 carry = 0;
  for (int i = 0; i < 4; ++i) {
    const u128 p = static_cast<u128>(a.w[i]) * m + carry;
    r.w[i] = static_cast<u64>(p);
    carry = static_cast<u64>(p >> 64);
  }
  return r;
}

// Number of significant bits (0 for zero).
inline int bit_length(const Uint256& a) noexcept {
  for (int i = 3; i >= 0; --i) {
    if (a.w[i] != 0) return 64 * i + 64 - std::countl_zero(a.w[i]);
  }
  return 0;
}

// a << n for n below 256; bits shifted past the top are lost.
inline Uint256 shift_left(const Uint256& a, unsigned n) noexcept {
  Uint256 r;
  const unsigned limbs = n / 64, bits = n % 64;
  for (int i = 3; i >= static_cast<int>(limbs); --i) {
    const int from = i - static_cast<int>(limbs);
    r.w[i] = a.w[from] << bits;
    if (bits != 0 && from > 0) r.w[i] |= a.w[from - 1] >> (64 - bits);
  }
  return r;
}

inline int top_limb(const Uint256& a) noexcept {
  for (int i = 3; i >= 0; --i) {
    if (a.w[i] != 0) return i;
  }
  return -1;
}

struct DivMod {
  Uint256 quotient;
  Uint256 remainder;
};

inline DivMod divmod_small(const Uint256& n, u64 d) noexcept {
  DivMod r;
  u64 rem = 0;
  for (int i = top_limb(n); i >= 0; --i) {
    const u128 cur = (static_cast<u128>(rem) << 64) | n.w[i];
    r.quotient.w[i] = static_cast<u64>(cur / d);
    rem = static_cast<u64>(cur % d);
  }
  r.remainder.w[0] = rem;
  return r;
}

// Long division with 64-bit digits (Knuth, TAOCP vol. 2, 4.3.1, algorithm D).
// d must not be zero.
inline DivMod divmod(const Uint256& n, const Uint256& d) noexcept {
  const int dt = top_limb(d);
  if (dt <= 0) return divmod_small(n, d.w[0]);
  const int nt = top_limb(n);
  if (nt < dt) return {Uint256{}, n};
  const int k = dt + 1;  // divisor limbs, 2..4
  const int m = nt + 1;  // dividend limbs, k..4
  const int shift = std::countl_zero(d.w[dt]);
  u64 dn[4] = {0, 0, 0, 0};
  u64 un[5] = {0, 0, 0, 0, 0};
  for (int i = k - 1; i > 0; --i) {
    dn[i] = shift == 0 ? d.w[i] : (d.w[i] << shift) | (d.w[i - 1] >> (64 - shift));
  }
  dn[0] = d.w[0] << shift;
  un[m] = shift == 0 ? 0 : n.w[m - 1] >> (64 - shift);
  for (int i = m - 1; i > 0; --i) {
    un[i] = shift == 0 ? n.w[i] : (n.w[i] << shift) | (n.w[i - 1] >> (64 - shift));
  }
  un[0] = n.w[0] << shift;

  constexpr u128 base = static_cast<u128>(1) << 64;
  DivMod r;
  for (int j = m - k; j >= 0; --j) {
    const u128 top = (static_cast<u128>(un[j + k]) << 64) | un[j + k - 1];
    u128 qhat = top / dn[k - 1];
    u128 rhat = top % dn[k - 1];
    while (qhat >= base || qhat * dn[k - 2] > ((rhat << 64) | un[j + k - 2])) {
      --qhat;
      rhat += dn[k - 1];
      if (rhat >= base) break;
    }
    const u64 q = static_cast<u64>(qhat);
    u64 carry = 0, borrow = 0;
    for (int i = 0; i < k; ++i) {
      const u128 p = static_cast<u128>(q) * dn[i] + carry;
      carry = static_cast<u64>(p >> 64);
      const u64 pl = static_cast<u64>(p);
      const u64 x = un[i + j];
      const u64 y = x - pl;
      const u64 z = y - borrow;
      borrow = static_cast<u64>(x < pl) | static_cast<u64>(y < borrow);
      un[i + j] = z;
    }
    const u64 x = un[j + k];
    const u64 y = x - carry;
    const u64 z = y - borrow;
    const bool negative = (x < carry) || (y < borrow);
    un[j + k] = z;
    u64 qd = q;
    if (negative) {  // qhat was one too large: add the divisor back
      --qd;
      u64 c = 0;
      for (int i = 0; i < k; ++i) {
        const u128 s = static_cast<u128>(un[i + j]) + dn[i] + c;
        un[i + j] = static_cast<u64>(s);
        c = static_cast<u64>(s >> 64);
      }
      un[j + k] += c;
    }
    r.quotient.w[j] = qd;
  }
  for (int i = 0; i < k; ++i) {
    r.remainder.w[i] = shift == 0 ? un[i] : (un[i] >> shift) | (un[i + 1] << (64 - shift));
  }
  return r;
}

}  // namespace quorrel::core::wide
