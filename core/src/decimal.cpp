#include "quorrel/core/decimal.hpp"

#include "quorrel/core/wide_uint.hpp"

#include <algorithm>
#include <cstring>
#include <utility>

namespace quorrel::core {

using wide::u128;
using wide::u64;
using wide::Uint256;

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

bool below_2_96(const Uint256& a) noexcept { return a.w[3] == 0 && a.w[2] == 0 && (a.w[1] >> 32) == 0; }

// 10^k for k up to 57.
Uint256 pow10_wide(unsigned k) noexcept {
  if (k <= 38) return wide::from_u128(pow10[k]);
  return wide::mul(pow10[38], pow10[k - 38]);
}

// m * 10^k; the caller guarantees the product is below 2^256.
Uint256 scale_up(u128 m, unsigned k) noexcept {
  if (k <= 38) return wide::mul(m, pow10[k]);
  return wide::mul_small(wide::mul(m, pow10[38]), static_cast<u64>(pow10[k - 38]));
}

// Rounds q + remainder/divisor to an integer, half to even, given q and the
// remainder (below the divisor).
u128 round_half_even(u128 q, const Uint256& remainder, const Uint256& divisor) noexcept {
  if (wide::is_zero(remainder)) return q;
  const int c = wide::compare(remainder, wide::sub(divisor, remainder));
  if (c > 0 || (c == 0 && (q & 1) != 0)) ++q;
  return q;
}

// The magnitude mag * 10^-scale (scale up to 56) as a decimal: exact when it
// fits; otherwise the largest scale at or below min(scale, 28) whose rounded
// (half to even) mantissa stays below 2^96. nullopt when even scale 0 does
// not fit.
std::optional<Decimal> fit(const Uint256& mag, unsigned scale, bool negative) noexcept {
  if (scale <= max_scale && below_2_96(mag)) return make(wide::low_u128(mag), scale, negative);
  // The fewest digits k to drop with mag below 2^96 * 10^k. Each bit above
  // 96 needs at least 0.3 digits, which gives a start that never overshoots.
  const int bits = wide::bit_length(mag);
  const unsigned estimate = bits > 96 ? static_cast<unsigned>(bits - 96) * 3 / 10 : 0;
  unsigned k = std::max(scale > max_scale ? scale - max_scale : 0, estimate);
  // Callers keep mag below 2^192 < 2^96 * 10^29, so k stays below 30 and
  // 10^k * 2^96 fits; the bound on k only guards the table.
  while (k <= scale && k < 38 && wide::compare(mag, wide::shift_left(wide::from_u128(pow10[k]), 96)) >= 0) ++k;
  if (k > scale || k >= 38) return std::nullopt;
  for (;;) {
    const Uint256 p = pow10_wide(k);
    const wide::DivMod qr = wide::divmod(mag, p);
    const u128 rounded = round_half_even(wide::low_u128(qr.quotient), qr.remainder, p);
    if (rounded < two_pow_96) return make(rounded, scale - k, negative);
    if (k >= scale) return std::nullopt;
    ++k;  // the carry reached 2^96: drop one more digit
  }
}

// Removes trailing zero digits of m while the scale stays above `floor`.
void strip_zeros(u128& m, unsigned& scale, unsigned floor) noexcept {
  if (m == 0) return;
  while ((m >> 64) != 0 && scale >= floor + 16 && m % pow10[16] == 0) {
    m /= pow10[16];
    scale -= 16;
  }
  while ((m >> 64) != 0 && scale > floor && m % 10 == 0) {
    m /= 10;
    --scale;
  }
  if ((m >> 64) != 0) return;
  u64 small = static_cast<u64>(m);
  while (scale >= floor + 8 && small % 100000000 == 0) {
    small /= 100000000;
    scale -= 8;
  }
  while (scale > floor && small % 10 == 0) {
    small /= 10;
    --scale;
  }
  m = small;
}

bool is_digit(char c) noexcept { return c >= '0' && c <= '9'; }

enum class PlainParse { ok, rejected };

// Digits (with separators) followed by a complete exponent: "5e3", "1_2E-7".
bool is_exponent_tail(std::string_view tail) noexcept {
  std::size_t i = 0;
  while (i < tail.size() && (is_digit(tail[i]) || tail[i] == '_')) ++i;
  if (i == tail.size() || (tail[i] != 'e' && tail[i] != 'E')) return false;
  ++i;
  if (i < tail.size() && (tail[i] == '+' || tail[i] == '-')) ++i;
  if (i == tail.size()) return false;
  for (; i < tail.size(); ++i) {
    if (!is_digit(tail[i])) return false;
  }
  return true;
}

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
  unsigned scale = 0;
  bool point = false;
  bool any_digit = false;
  // Up to 18 significant digits accumulate in 64 bits; the rest continues below.
  u64 small = 0;
  for (; i < n; ++i) {
    const unsigned d = static_cast<unsigned>(static_cast<unsigned char>(t[i]) - '0');
    if (d < 10) {
      if (small >= 100000000000000000ULL || scale >= max_scale) break;
      small = small * 10 + d;
      scale += point ? 1 : 0;
      any_digit = true;
    } else if (t[i] == '.') {
      if (point) return PlainParse::rejected;
      point = true;
    } else if (t[i] == '_') {
      if (!any_digit) return PlainParse::rejected;
    } else {
      return PlainParse::rejected;
    }
  }
  u128 m = small;
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
      // the rest of the text is not read. The one exception is a number in
      // exponent form: ignoring its exponent would shift the value by a power
      // of ten, so the exponent form reads it instead.
      if (is_exponent_tail(t.substr(i + 1))) return PlainParse::rejected;
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
    }  // else m / 10^drop is below 10^-9 and rounds to zero
    return make(q, max_scale, negative);
  }
  if (exponent <= s) return make(m, static_cast<unsigned>(s - exponent), negative);
  const u64 up = exponent - s;
  if (m == 0) return make(0, 0, negative);
  if (up > max_scale || m > mantissa_limit[up]) return std::nullopt;
  return make(m * pow10[up], 0, negative);
}

constexpr char digit_pairs[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

// Writes the digits of v right-aligned so that they end at `end`, at least
// `min_digits` of them (zero-padded); returns the start.
char* write_u64(u64 v, char* end, int min_digits) noexcept {
  char* p = end;
  while (v >= 100) {
    const unsigned pair = static_cast<unsigned>(v % 100) * 2;
    v /= 100;
    p -= 2;
    std::memcpy(p, digit_pairs + pair, 2);
  }
  if (v >= 10) {
    p -= 2;
    std::memcpy(p, digit_pairs + v * 2, 2);
  } else {
    *--p = static_cast<char>('0' + v);
  }
  while (end - p < min_digits) *--p = '0';
  return p;
}

// Writes the decimal digits of m right-aligned so that they end at `end`;
// returns the number of digits written (at least one).
std::size_t write_digits(u128 m, char* end) noexcept {
  char* p;
  if ((m >> 64) != 0) {
    constexpr u64 chunk = 10000000000000000000ULL;  // 10^19
    const u64 high = static_cast<u64>(m / chunk);   // below 2^96 / 10^19 < 10^10
    const u64 low = static_cast<u64>(m - static_cast<u128>(high) * chunk);
    p = write_u64(high, write_u64(low, end, 19), 1);
  } else {
    p = write_u64(static_cast<u64>(m), end, 1);
  }
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
    magnitude = wide::compare(wide::mul(ma, pow10[b.scale_ - a.scale_]), wide::from_u128(mb));
  } else {
    magnitude = wide::compare(wide::from_u128(ma), wide::mul(mb, pow10[a.scale_ - b.scale_]));
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
      return fit(wide::from_u128(s), scale, na);
    }
    if (x > y) return fit(wide::from_u128(x - y), scale, na);
    if (y > x) return fit(wide::from_u128(y - x), scale, nb);
    return make(0, scale, false);
  }
  const Uint256 x = scale_up(a, da), y = scale_up(b, db);
  if (na == nb) return fit(wide::add(x, y), scale, na);
  const int c = wide::compare(x, y);
  if (c > 0) return fit(wide::sub(x, y), scale, na);
  if (c < 0) return fit(wide::sub(y, x), scale, nb);
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
    return fit(wide::from_u128(p), scale, negative);
  }
  return fit(wide::mul(a, b), scale, negative);
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
  auto quotient_at = [&](unsigned s) noexcept -> std::pair<wide::DivMod, Uint256> {
    const int e = static_cast<int>(s) + static_cast<int>(sb) - static_cast<int>(sa);
    if (e >= 0) {
      const Uint256 divisor = wide::from_u128(b);
      return {wide::divmod(scale_up(a, static_cast<unsigned>(e)), divisor), divisor};
    }
    const Uint256 divisor = wide::mul(b, pow10[static_cast<unsigned>(-e)]);
    return {wide::divmod(wide::from_u128(a), divisor), divisor};
  };

  // The quotient at the preferred scale: exact often, and it bounds how many
  // fractional digits can fit.
  const auto [first, first_divisor] = quotient_at(preferred);
  if (!below_2_96(first.quotient)) return std::nullopt;
  const u128 at_preferred = wide::low_u128(first.quotient);
  if (wide::is_zero(first.remainder)) return make(at_preferred, preferred, negative);
  unsigned s = max_scale;
  while (s > preferred && at_preferred > mantissa_limit[s - preferred]) --s;

  for (;;) {
    const auto [qr, divisor] = quotient_at(s);
    if (below_2_96(qr.quotient)) {
      u128 m = round_half_even(wide::low_u128(qr.quotient), qr.remainder, divisor);
      if (m < two_pow_96) {
        if (wide::is_zero(qr.remainder)) strip_zeros(m, s, preferred);
        return make(m, s, negative);
      }
    }
    if (s == 0) return std::nullopt;
    --s;
  }
}

std::optional<Decimal> Decimal::mul_pow10(std::uint32_t n) const noexcept {
  // The mantissa takes as many of the n factors of ten as keep it below 2^96
  // (at most 28, as 10^29 is past 2^96); each factor left over lowers the
  // scale by one instead, which is exact, and fails once no fractional digit
  // is left. A zero stays itself.
  if (is_zero()) return *this;
  const u128 m = mantissa_of(*this);
  std::uint32_t k = std::min<std::uint32_t>(n, max_scale);
  while (m > mantissa_limit[k]) --k;  // stops at 0: every mantissa is at most mantissa_limit[0]
  const std::uint32_t left = n - k;
  if (left > scale_) return std::nullopt;
  return make(m * pow10[k], scale_ - left, negative_);
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
  strip_zeros(m, s, 0);
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
