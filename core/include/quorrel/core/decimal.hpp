#pragma once
// Exact decimal numbers: a sign, an unsigned 96-bit mantissa and a scale of
// 0 to 28 fractional digits. The value is mantissa * 10^-scale, negated when
// the sign is negative. The representation keeps trailing fractional zeros
// (1.50 and 1.5 are equal in value but render differently).
//
// Decimal is a 16-byte, trivially copyable value; no operation allocates
// except render() and append_to(), which write text.
//
// Rounding rules:
//   - parse: a fractional digit that does not fit (scale above 28 or
//     mantissa reaching 2^96) decides rounding: 5 to 9 rounds the magnitude
//     up, 0 to 4 leaves it; everything after that digit is ignored. The
//     exponent form rounds to 28 fractional digits half to even.
//   - add, sub, mul: exact when the result fits; otherwise fractional digits
//     are dropped, rounding half to even, until the mantissa fits.
//   - div: exact when the quotient terminates within the representation, with
//     at least max(scale(a) - scale(b), 0) fractional digits (1500 / 10 is
//     150, 1.50 / 1 is 1.50, 1 / 4 is 0.25); otherwise as many fractional
//     digits as fit (at most 28) with the last one rounded half to even.
//   - round(n): ties away from zero.
//   Whenever rounding up carries the mantissa to 2^96, one more fractional
//   digit is dropped; with no fractional digit left the result does not fit.
//
// Sign of zero results: a sum of two negative zeros is negative zero and any
// other exact zero sum or difference is positive zero (x - x is +0); a
// product or quotient that is zero takes the exclusive-or of the operand
// signs (-1 * 0 is -0). round() never returns a negative zero; normalize()
// turns every zero into positive zero with scale 0.

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace quorrel::core {

class Decimal {
 public:
  static constexpr std::uint32_t max_scale = 28;

  constexpr Decimal() noexcept = default;  // positive zero, scale 0

  // Reads the whole text; nullopt when it is not a decimal. No white space is
  // accepted anywhere. Exponent forms such as 1e3 and 25E-1 are accepted.
  [[nodiscard]] static std::optional<Decimal> parse(std::string_view text) noexcept;
  [[nodiscard]] static Decimal from_int(std::int64_t v) noexcept;  // scale 0
  // Builds a decimal from its parts (mantissa words low, middle, high);
  // nullopt when the scale is above 28.
  [[nodiscard]] static std::optional<Decimal> from_parts(bool negative,
                                                         std::array<std::uint32_t, 3> mantissa,
                                                         std::uint32_t scale) noexcept;

  [[nodiscard]] bool is_negative() const noexcept { return negative_; }
  [[nodiscard]] bool is_zero() const noexcept { return lo_ == 0 && hi_ == 0; }
  [[nodiscard]] std::uint32_t scale() const noexcept { return scale_; }
  // The mantissa as three 32-bit words, low to high.
  [[nodiscard]] std::array<std::uint32_t, 3> mantissa_words() const noexcept {
    return {static_cast<std::uint32_t>(lo_), static_cast<std::uint32_t>(lo_ >> 32), hi_};
  }

  // -1, 0 or 1 by value; the scale and the sign of a zero do not matter.
  [[nodiscard]] static int compare(const Decimal& a, const Decimal& b) noexcept;
  // By value: 1.50 == 1.5 and -0 == 0.
  friend bool operator==(const Decimal& a, const Decimal& b) noexcept { return compare(a, b) == 0; }
  // Sign, mantissa and scale all identical.
  [[nodiscard]] bool same_representation(const Decimal& o) const noexcept {
    return lo_ == o.lo_ && hi_ == o.hi_ && scale_ == o.scale_ && negative_ == o.negative_;
  }

  // nullopt means the result does not fit (overflow), or a zero divisor.
  [[nodiscard]] std::optional<Decimal> add(const Decimal& o) const noexcept;
  [[nodiscard]] std::optional<Decimal> sub(const Decimal& o) const noexcept;
  [[nodiscard]] std::optional<Decimal> mul(const Decimal& o) const noexcept;
  [[nodiscard]] std::optional<Decimal> div(const Decimal& o) const noexcept;

  // The value times 10^n, exactly: the mantissa grows while it stays below
  // 2^96 and the scale drops by one for each further power (what n
  // multiplications by ten in turn give); nullopt when the scale runs out.
  [[nodiscard]] std::optional<Decimal> mul_pow10(std::uint32_t n) const noexcept;

  // Rounded to dp fractional digits, ties away from zero; unchanged when the
  // scale is already at most dp. A zero result is positive.
  [[nodiscard]] Decimal round(std::uint32_t dp) const noexcept;
  // Trailing fractional zeros removed; any zero becomes positive zero, scale 0.
  [[nodiscard]] Decimal normalize() const noexcept;
  [[nodiscard]] Decimal abs() const noexcept {
    Decimal r = *this;
    r.negative_ = false;
    return r;
  }
  [[nodiscard]] Decimal negate() const noexcept {
    Decimal r = *this;
    r.negative_ = !negative_;
    return r;
  }

  // "-" when negative, the integer digits (a single 0 below one), then "."
  // and exactly scale fractional digits when the scale is above 0.
  [[nodiscard]] std::string render() const;
  void append_to(std::string& out) const;

 private:
  std::uint64_t lo_ = 0;  // mantissa bits 0..63
  std::uint32_t hi_ = 0;  // mantissa bits 64..95
  std::uint8_t scale_ = 0;
  bool negative_ = false;

  friend struct DecimalAccess;
};

}  // namespace quorrel::core
