#include "quorrel/core/decimal.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <utility>

namespace quorrel::core {

using u64 = std::uint64_t;
using u128 = unsigned __int128;

// Reaches the private parts of Decimal from the helpers below.
struct DecimalAccess {
  static Decimal make(u128 mantissa, unsigned scale, bool negative) noexcept {
    Decimal d;
    d.lo_ = static_cast<u64>(mantissa);
    d.hi_ = static_cast<std::uint32_t>(mantissa >> 64);
    d.scale_ = static_cast<std::uint8_t>(scale);
    d.negative_ = negative;
    return d;
  }
  static u128 mantissa(const Decimal& d) noexcept { return (static_cast<u128>(d.hi_) << 64) | d.lo_; }
};

namespace {

constexpr u128 two_pow_96 = static_cast<u128>(1) << 96;
constexpr unsigned max_scale = Decimal::max_scale;

constexpr std::array<u128, 39> make_pow10() {
  std::array<u128, 39> t{};
  t[0] = 1;
  for (std::size_t i = 1; i < t.size(); ++i) t[i] = t[i - 1] * 10;
  return t;
}
constexpr std::array<u128, 39> pow10 = make_pow10();

// mantissa_limit[s]: the largest q with q * 10^s below 2^96.
constexpr std::array<u128, max_scale + 1> make_mantissa_limit() {
  std::array<u128, max_scale + 1> t{};
  for (std::size_t i = 0; i < t.size(); ++i) t[i] = (two_pow_96 - 1) / pow10[i];
  return t;
}
constexpr std::array<u128, max_scale + 1> mantissa_limit = make_mantissa_limit();

Decimal make(u128 mantissa, unsigned scale, bool negative) noexcept {
  return DecimalAccess::make(mantissa, scale, negative);
}
u128 mantissa_of(const Decimal& d) noexcept { return DecimalAccess::mantissa(d); }

// A fixed-width 256-bit unsigned integer, four 64-bit limbs low to high. It
// holds exact products of two mantissas (below 2^192), mantissas scaled by
// up to 10^56, and the intermediate values of division. Callers keep every
// value below 2^256; no operation wraps for the inputs they give.
struct U256 {
  u64 w[4] = {0, 0, 0, 0};
};

U256 from_u128(u128 v) noexcept {
  U256 r;
  r.w[0] = static_cast<u64>(v);
  r.w[1] = static_cast<u64>(v >> 64);
  return r;
}

u128 low_u128(const U256& a) noexcept { return (static_cast<u128>(a.w[1]) << 64) | a.w[0]; }

bool below_2_96(const U256& a) noexcept { return a.w[3] == 0 && a.w[2] == 0 && (a.w[1] >> 32) == 0; }

bool wide_is_zero(const U256& a) noexcept { return (a.w[0] | a.w[1] | a.w[2] | a.w[3]) == 0; }

int wide_compare(const U256& a, const U256& b) noexcept {
  for (int i = 3; i >= 0; --i) {
    if (a.w[i] != b.w[i]) return a.w[i] < b.w[i] ? -1 : 1;
  }
  return 0;
}

U256 wide_add(const U256& a, const U256& b) noexcept {
  U256 r;
  u64 carry = 0;
  for (int i = 0; i < 4; ++i) {
    const u128 s = static_cast<u128>(a.w[i]) + b.w[i] + carry;
    r.w[i] = static_cast<u64>(s);
    carry = static_cast<u64>(s >> 64);
  }
  return r;
}

// a - b with a >= b.
U256 wide_sub(const U256& a, const U256& b) noexcept {
  U256 r;
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
U256 wide_mul(u128 a, u128 b) noexcept {
  const u64 a0 = static_cast<u64>(a), a1 = static_cast<u64>(a >> 64);
  const u64 b0 = static_cast<u64>(b), b1 = static_cast<u64>(b >> 64);
  const u128 p00 = static_cast<u128>(a0) * b0;
  const u128 p01 = static_cast<u128>(a0) * b1;
  const u128 p10 = static_cast<u128>(a1) * b0;
  const u128 p11 = static_cast<u128>(a1) * b1;
  U256 r;
  r.w[0] = static_cast<u64>(p00);
  const u128 mid = (p00 >> 64) + static_cast<u64>(p01) + static_cast<u64>(p10);
  r.w[1] = static_cast<u64>(mid);
  const u128 high = (mid >> 64) + (p01 >> 64) + (p10 >> 64) + static_cast<u64>(p11);
  r.w[2] = static_cast<u64>(high);
  r.w[3] = static_cast<u64>((high >> 64) + static_cast<u64>(p11 >> 64));
  return r;
}

// a * m; the caller guarantees the product is below 2^256.
U256 mul_small(const U256& a, u64 m) noexcept {
  U256 r;
  u64 carry = 0;
  for (int i = 0; i < 4; ++i) {
    const u128 p = static_cast<u128>(a.w[i]) * m + carry;
    r.w[i] = static_cast<u64>(p);
    carry = static_cast<u64>(p >> 64);
  }
  return r;
}

// 10^k for k up to 57.
U256 pow10_wide(unsigned k) noexcept {
  if (k <= 38) return from_u128(pow10[k]);
  return wide_mul(pow10[38], pow10[k - 38]);
}

// m * 10^k; the caller guarantees the product is below 2^256.
U256 scale_up(u128 m, unsigned k) noexcept {
  if (k <= 38) return wide_mul(m, pow10[k]);
  return mul_small(wide_mul(m, pow10[38]), static_cast<u64>(pow10[k - 38]));
}

int top_limb(const U256& a) noexcept {
  for (int i = 3; i >= 0; --i) {
    if (a.w[i] != 0) return i;
  }
  return -1;
}

struct DivMod {
  U256 quotient;
  U256 remainder;
};

DivMod divmod_small(const U256& n, u64 d) noexcept {
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
DivMod divmod(const U256& n, const U256& d) noexcept {
  const int dt = top_limb(d);
  if (dt <= 0) return divmod_small(n, d.w[0]);
  const int nt = top_limb(n);
  if (nt < dt) return {U256{}, n};
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

// Rounds q + remainder/divisor to an integer, half to even, given q and the
// remainder (below the divisor).
u128 round_half_even(u128 q, const U256& remainder, const U256& divisor) noexcept {
  if (wide_is_zero(remainder)) return q;
  const int c = wide_compare(remainder, wide_sub(divisor, remainder));
  if (c > 0 || (c == 0 && (q & 1) != 0)) ++q;
  return q;
}

// The magnitude mag * 10^-scale (scale up to 56) as a decimal: exact when it
// fits; otherwise the largest scale at or below min(scale, 28) whose rounded
// (half to even) mantissa stays below 2^96. nullopt when even scale 0 does
// not fit.
std::optional<Decimal> fit(const U256& mag, unsigned scale, bool negative) noexcept {
  if (scale <= max_scale && below_2_96(mag)) return make(low_u128(mag), scale, negative);
  unsigned k = scale > max_scale ? scale - max_scale : 0;
  U256 q = k == 0 ? mag : divmod(mag, pow10_wide(k)).quotient;
  while (!below_2_96(q)) {
    if (k >= scale) return std::nullopt;
    q = divmod_small(q, 10).quotient;
    ++k;
  }
  for (;;) {
    const U256 p = pow10_wide(k);
    const DivMod qr = divmod(mag, p);
    const u128 rounded = round_half_even(low_u128(qr.quotient), qr.remainder, p);
    if (rounded < two_pow_96) return make(rounded, scale - k, negative);
    if (k >= scale) return std::nullopt;
    ++k;  // the carry reached 2^96: drop one more digit
  }
}

bool is_digit(char c) noexcept { return c >= '0' && c <= '9'; }

enum class PlainParse { ok, rejected };

// Sign, digits, one optional point and underscore separators, with the
// precision limit; no exponent.
PlainParse parse_plain(std::string_view t, Decimal& out) noexcept {
  const std::size_t n = t.size();
  if (n == 0) return PlainParse::rejected;
  std::size_t i = 0;
  bool negative = false;
  if (t[0] == '+' || t[0] == '-') {
    negative = t[0] == '-';
    i = 1;
    if (i == n || !(is_digit(t[i]) || t[i] == '.')) return PlainParse::rejected;
  }
  u128 m = 0;
  unsigned scale = 0;
  bool point = false;
  bool any_digit = false;
  for (; i < n; ++i) {
    const char c = t[i];
    if (is_digit(c)) {
      any_digit = true;
      const unsigned d = static_cast<unsigned>(c - '0');
      if (!point) {
        m = m * 10 + d;
        if (m >= two_pow_96) return PlainParse::rejected;
        continue;
      }
      if (scale < max_scale) {
        const u128 next = m * 10 + d;
        if (next < two_pow_96) {
          m = next;
          ++scale;
          continue;
        }
      }
      // The first fractional digit that does not fit decides the rounding;
      // the rest of the text is not read.
      if (d >= 5) {
        ++m;
        if (m == two_pow_96) {
          if (scale == 0) return PlainParse::rejected;
          const u128 q = m / 10;
          const unsigned r = static_cast<unsigned>(m % 10);
          m = q + ((r > 5 || (r == 5 && (q & 1) != 0)) ? 1 : 0);
          --scale;
        }
      }
      out = make(m, scale, negative);
      return PlainParse::ok;
    }
    if (c == '.') {
      if (point) return PlainParse::rejected;
      point = true;
    } else if (c == '_') {
      if (!any_digit) return PlainParse::rejected;
    } else {
      return PlainParse::rejected;
    }
  }
  if (!any_digit) return PlainParse::rejected;
  out = make(m, scale, negative);
  return PlainParse::ok;
}

std::optional<Decimal> parse_exponent_form(std::string_view text) noexcept {
  const std::size_t e = text.find_first_of("eE");
  if (e == std::string_view::npos) return std::nullopt;
  Decimal base;
  if (parse_plain(text.substr(0, e), base) != PlainParse::ok) return std::nullopt;
  const std::string_view x = text.substr(e + 1);
  std::size_t i = 0;
  bool negative_exponent = false;
  if (i < x.size() && (x[i] == '+' || x[i] == '-')) {
    negative_exponent = x[i] == '-';
    ++i;
  }
  if (i == x.size()) return std::nullopt;
  // Any exponent above this bound gives the same outcome as the bound.
  constexpr u64 exponent_cap = 100000;
  u64 exponent = 0;
  for (; i < x.size(); ++i) {
    if (!is_digit(x[i])) return std::nullopt;
    if (exponent < exponent_cap) exponent = exponent * 10 + static_cast<u64>(x[i] - '0');
  }
  const u128 m = mantissa_of(base);
  const unsigned s = base.scale();
  const bool negative = base.is_negative();
  if (negative_exponent) {
    const u64 new_scale = s + exponent;
    if (new_scale <= max_scale) return make(m, static_cast<unsigned>(new_scale), negative);
    const u64 drop = new_scale - max_scale;
    u128 q = 0;
    if (drop < pow10.size()) {
      const u128 p = pow10[drop];
      q = m / p;
      const u128 r = m - q * p;
      const u128 rest = p - r;
      if (r > rest || (r == rest && (q & 1) != 0)) ++q;
    }  // else the value is below 10^-38 of a unit and rounds to zero
    return make(q, max_scale, negative);
  }
  if (exponent <= s) return make(m, static_cast<unsigned>(s - exponent), negative);
  const u64 up = exponent - s;
  if (m == 0) return make(0, 0, negative);
  if (up > max_scale || m > mantissa_limit[up]) return std::nullopt;
  return make(m * pow10[up], 0, negative);
}

// Writes the decimal digits of m right-aligned so that they end at `end`;
// returns the number of digits written (at least one).
std::size_t write_digits(u128 m, char* end) noexcept {
  char* p = end;
  u64 low;
  if ((m >> 64) != 0) {
    constexpr u64 chunk = 10000000000000000000ULL;  // 10^19
    const u64 high = static_cast<u64>(m / chunk);   // below 2^96 / 10^19 < 10^10
    low = static_cast<u64>(m - static_cast<u128>(high) * chunk);
    for (int i = 0; i < 19; ++i) {
      *--p = static_cast<char>('0' + low % 10);
      low /= 10;
    }
    low = high;
  } else {
    low = static_cast<u64>(m);
  }
  do {
    *--p = static_cast<char>('0' + low % 10);
    low /= 10;
  } while (low != 0);
  return static_cast<std::size_t>(end - p);
}

}  // namespace

std::optional<Decimal> Decimal::parse(std::string_view text) noexcept {
  Decimal d;
  if (parse_plain(text, d) == PlainParse::ok) return d;
  return parse_exponent_form(text);
}

Decimal Decimal::from_int(std::int64_t v) noexcept {
  const bool negative = v < 0;
  const u64 magnitude = negative ? u64{0} - static_cast<u64>(v) : static_cast<u64>(v);
  return make(magnitude, 0, negative);
}

std::optional<Decimal> Decimal::from_parts(bool negative, std::array<std::uint32_t, 3> mantissa,
                                           std::uint32_t scale) noexcept {
  if (scale > max_scale) return std::nullopt;
  const u128 m = (static_cast<u128>(mantissa[2]) << 64) | (static_cast<u128>(mantissa[1]) << 32) | mantissa[0];
  return make(m, scale, negative);
}

int Decimal::compare(const Decimal& a, const Decimal& b) noexcept {
  const int sign_a = a.is_zero() ? 0 : (a.negative_ ? -1 : 1);
  const int sign_b = b.is_zero() ? 0 : (b.negative_ ? -1 : 1);
  if (sign_a != sign_b) return sign_a < sign_b ? -1 : 1;
  if (sign_a == 0) return 0;
  const u128 ma = mantissa_of(a), mb = mantissa_of(b);
  int magnitude;
  if (a.scale_ == b.scale_) {
    magnitude = ma == mb ? 0 : (ma < mb ? -1 : 1);
  } else if (a.scale_ < b.scale_) {
    magnitude = wide_compare(wide_mul(ma, pow10[b.scale_ - a.scale_]), from_u128(mb));
  } else {
    magnitude = wide_compare(from_u128(ma), wide_mul(mb, pow10[a.scale_ - b.scale_]));
  }
  return sign_a > 0 ? magnitude : -magnitude;
}

std::optional<Decimal> Decimal::add(const Decimal& o) const noexcept {
  const u128 a = mantissa_of(*this), b = mantissa_of(o);
  const bool na = negative_, nb = o.negative_;
  const unsigned scale = std::max(scale_, o.scale_);
  // Common case: both magnitudes at the common scale fit 127 bits.
  const unsigned da = scale - scale_, db = scale - o.scale_;
  if ((da == 0 || ((a >> 64) == 0 && da <= 19)) && (db == 0 || ((b >> 64) == 0 && db <= 19))) {
    const u128 x = a * pow10[da], y = b * pow10[db];
    if (na == nb) {
      const u128 s = x + y;
      if (s < two_pow_96) return make(s, scale, na);
      return fit(from_u128(s), scale, na);
    }
    if (x > y) return fit(from_u128(x - y), scale, na);
    if (y > x) return fit(from_u128(y - x), scale, nb);
    return make(0, scale, false);
  }
  const U256 x = scale_up(a, da), y = scale_up(b, db);
  if (na == nb) return fit(wide_add(x, y), scale, na);
  const int c = wide_compare(x, y);
  if (c > 0) return fit(wide_sub(x, y), scale, na);
  if (c < 0) return fit(wide_sub(y, x), scale, nb);
  return make(0, scale, false);
}

std::optional<Decimal> Decimal::sub(const Decimal& o) const noexcept { return add(o.negate()); }

std::optional<Decimal> Decimal::mul(const Decimal& o) const noexcept {
  const u128 a = mantissa_of(*this), b = mantissa_of(o);
  const bool negative = negative_ != o.negative_;
  const unsigned scale = static_cast<unsigned>(scale_) + o.scale_;
  if ((a >> 64) == 0 && (b >> 64) == 0) {
    const u128 p = static_cast<u128>(static_cast<u64>(a)) * static_cast<u64>(b);
    if (scale <= max_scale && p < two_pow_96) return make(p, scale, negative);
    return fit(from_u128(p), scale, negative);
  }
  return fit(wide_mul(a, b), scale, negative);
}

std::optional<Decimal> Decimal::div(const Decimal& o) const noexcept {
  if (o.is_zero()) return std::nullopt;
  const bool negative = negative_ != o.negative_;
  const unsigned sa = scale_, sb = o.scale_;
  // An exact quotient keeps at least the fractional digits of sa - sb.
  const unsigned preferred = sa > sb ? sa - sb : 0;
  if (is_zero()) return make(0, preferred, negative);
  const u128 a = mantissa_of(*this), b = mantissa_of(o);

  // The quotient at scale s is a * 10^(s + sb - sa) / b.
  auto quotient_at = [&](unsigned s) noexcept -> std::pair<DivMod, U256> {
    const int e = static_cast<int>(s) + static_cast<int>(sb) - static_cast<int>(sa);
    if (e >= 0) {
      const U256 divisor = from_u128(b);
      return {divmod(scale_up(a, static_cast<unsigned>(e)), divisor), divisor};
    }
    const U256 divisor = wide_mul(b, pow10[static_cast<unsigned>(-e)]);
    return {divmod(from_u128(a), divisor), divisor};
  };

  // The integer part bounds how many fractional digits can fit.
  const DivMod whole = quotient_at(0).first;
  if (!below_2_96(whole.quotient)) return std::nullopt;
  const u128 integer_part = low_u128(whole.quotient);
  unsigned s = max_scale;
  while (s > 0 && integer_part > mantissa_limit[s]) --s;

  for (;;) {
    const auto [qr, divisor] = quotient_at(s);
    if (below_2_96(qr.quotient)) {
      u128 m = round_half_even(low_u128(qr.quotient), qr.remainder, divisor);
      if (m < two_pow_96) {
        if (wide_is_zero(qr.remainder)) {
          while (s > preferred && m % 10 == 0) {
            m /= 10;
            --s;
          }
        }
        return make(m, s, negative);
      }
    }
    if (s == 0) return std::nullopt;
    --s;
  }
}

Decimal Decimal::round(std::uint32_t dp) const noexcept {
  if (scale_ <= dp) return *this;
  const u128 m = mantissa_of(*this);
  const u128 p = pow10[scale_ - dp];
  u128 q = m / p;
  const u128 r = m - q * p;
  if (r >= p - r) ++q;  // ties away from zero
  return make(q, dp, q != 0 && negative_);
}

Decimal Decimal::normalize() const noexcept {
  if (is_zero()) return Decimal{};
  u128 m = mantissa_of(*this);
  unsigned s = scale_;
  while (s > 0 && (m >> 64) != 0 && m % 10 == 0) {
    m /= 10;
    --s;
  }
  if ((m >> 64) == 0) {
    u64 small = static_cast<u64>(m);
    while (s > 0 && small % 10 == 0) {
      small /= 10;
      --s;
    }
    m = small;
  }
  return make(m, s, negative_);
}

void Decimal::append_to(std::string& out) const {
  // Longest text: sign, 29 digits, point and a leading "0" (31 characters).
  char digits[40];
  char* const end = digits + sizeof digits;
  std::size_t count = write_digits(mantissa_of(*this), end);
  while (count < static_cast<std::size_t>(scale_) + 1) {
    *(end - count - 1) = '0';
    ++count;
  }
  char text[48];
  std::size_t n = 0;
  if (negative_) text[n++] = '-';
  const std::size_t integer_digits = count - scale_;
  std::memcpy(text + n, end - count, integer_digits);
  n += integer_digits;
  if (scale_ > 0) {
    text[n++] = '.';
    std::memcpy(text + n, end - scale_, scale_);
    n += scale_;
  }
  out.append(text, n);
}

std::string Decimal::render() const {
  std::string out;
  append_to(out);
  return out;
}

}  // namespace quorrel::core
