// fuzz-dict: decimal.dict
// Decimal parsing, arithmetic, scaling by a power of ten, rounding,
// normalization, comparison and rendering, checked digit for digit against exact rational arithmetic (GMP).
// The reference below fits exact results into the representation the way the
// decimal type promises: sign, mantissa below 2^96, scale 0 to 28; half to even
// when add, sub, mul, div or an exponent must drop digits; ties away from zero
// for round(); parse keeps at most 28 fractional digits and rounds on the first
// dropped digit, ignoring everything after it but a complete exponent.
//
// Input: one byte giving the places for round() and the power of ten for
// mul_pow10() (its low five bits) and the
// way the operands are given: with the high bit clear, two decimal texts
// separated by ';'; with it set, two 13-byte records of a 96-bit mantissa
// (12 bytes, low first) and a byte holding the sign (high bit) and the scale
// (the rest, mod 29).

#include <gmpxx.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <utility>
#include <optional>
#include <string>
#include <string_view>

#include "fuzz_support.hpp"
#include "quorrel/core/decimal.hpp"

namespace {

using quorrel::core::Decimal;

constexpr unsigned kMaxScale = 28;

const mpz_class& limit() {
  static const mpz_class value = mpz_class(1) << 96;
  return value;
}

mpz_class pow10(unsigned long n) {
  mpz_class r;
  mpz_ui_pow_ui(r.get_mpz_t(), 10, n);
  return r;
}

// A decimal of the reference: the value (negative ? -1 : 1) * mantissa / 10^scale.
struct Ref {
  bool negative = false;
  mpz_class mantissa;  // 0 <= mantissa < 2^96
  unsigned scale = 0;  // 0..28

  mpq_class value() const {
    mpq_class q(mantissa, pow10(scale));
    q.canonicalize();
    return negative ? mpq_class(-q) : q;
  }
  bool is_zero() const { return mantissa == 0; }
  std::string render() const {
    std::string digits = mantissa.get_str();
    if (digits.size() <= scale) digits.insert(0, scale + 1 - digits.size(), '0');
    std::string out = negative ? "-" : "";
    out += digits.substr(0, digits.size() - scale);
    if (scale > 0) out += "." + digits.substr(digits.size() - scale);
    return out;
  }
};

enum class Tie { Even, Away };

// q * 10^scale rounded to an integer, ties as asked.
mpz_class round_at(const mpq_class& q, unsigned scale, Tie tie) {
  mpq_class scaled = q * pow10(scale);
  scaled.canonicalize();
  mpz_class num = abs(scaled.get_num());
  const mpz_class& den = scaled.get_den();
  mpz_class quo, rem;
  mpz_fdiv_qr(quo.get_mpz_t(), rem.get_mpz_t(), num.get_mpz_t(), den.get_mpz_t());
  const int c = cmp(mpz_class(rem * 2), den);
  if (c > 0 || (c == 0 && (tie == Tie::Away || mpz_odd_p(quo.get_mpz_t())))) ++quo;
  return sgn(scaled) < 0 ? mpz_class(-quo) : quo;
}

// The exact value q kept at the largest scale up to max_scale whose rounded
// mantissa fits; none when even scale 0 does not fit.
// A zero result takes the sign `zero_negative`.
std::optional<Ref> fit(const mpq_class& q, unsigned max_scale, Tie tie, bool zero_negative) {
  for (int s = static_cast<int>(max_scale); s >= 0; --s) {
    const mpz_class m = round_at(q, static_cast<unsigned>(s), tie);
    if (abs(m) < limit()) return Ref{m < 0 || (m == 0 && zero_negative), abs(m), static_cast<unsigned>(s)};
  }
  return std::nullopt;
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Digits and separators followed by a complete exponent ("5e3", "1_2E-7").
bool is_exponent_tail(std::string_view tail) {
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

// Parsing without the exponent form.
std::optional<Ref> parse_plain(std::string_view t) {
  if (t.empty()) return std::nullopt;
  std::size_t i = 0;
  Ref r;
  if (t[0] == '+' || t[0] == '-') {
    r.negative = t[0] == '-';
    i = 1;
    if (i >= t.size() || !(is_digit(t[i]) || t[i] == '.')) return std::nullopt;
  }
  bool point = false;
  bool any_digit = false;
  for (; i < t.size(); ++i) {
    const char c = t[i];
    if (is_digit(c)) {
      any_digit = true;
      const mpz_class next = r.mantissa * 10 + (c - '0');
      if (!point) {
        if (next >= limit()) return std::nullopt;
        r.mantissa = next;
      } else if (r.scale < kMaxScale && next < limit()) {
        r.mantissa = next;
        ++r.scale;
      } else {
        // The first digit that cannot be kept decides; the rest is not read,
        // unless it completes an exponent, which the exponent form then reads.
        if (is_exponent_tail(t.substr(i + 1))) return std::nullopt;
        if (c >= '5') {
          ++r.mantissa;
          if (r.mantissa == limit()) {
            if (r.scale == 0) return std::nullopt;
            // 2^96 ends in 6: dropping that digit rounds up.
            r.mantissa = (r.mantissa + 5) / 10;
            --r.scale;
          }
        }
        return r;
      }
    } else if (c == '.') {
      if (point) return std::nullopt;
      point = true;
    } else if (c == '_') {
      if (!any_digit) return std::nullopt;
    } else {
      return std::nullopt;
    }
  }
  if (!any_digit) return std::nullopt;
  return r;
}

// The parse outcome, with the one case the rules leave open marked: a zero
// mantissa under a huge positive exponent.
struct ParseRef {
  std::optional<Ref> value;
  bool open = false;
};

ParseRef parse_ref(std::string_view t) {
  if (auto plain = parse_plain(t)) return {plain, false};
  const std::size_t e = t.find_first_of("eE");
  if (e == std::string_view::npos) return {};
  const auto mantissa = parse_plain(t.substr(0, e));
  if (!mantissa) return {};
  std::string_view exp = t.substr(e + 1);
  bool exp_negative = false;
  if (!exp.empty() && (exp[0] == '+' || exp[0] == '-')) {
    exp_negative = exp[0] == '-';
    exp.remove_prefix(1);
  }
  if (exp.empty()) return {};
  for (const char c : exp) {
    if (!is_digit(c)) return {};
  }
  const mpz_class k(std::string(exp), 10);
  Ref r = *mantissa;
  if (exp_negative) {
    if (k + r.scale <= kMaxScale) {
      r.scale += static_cast<unsigned>(k.get_ui());
      return {r, false};
    }
    if (k > 100) return {Ref{r.negative, 0, kMaxScale}, false};
    const unsigned long total = k.get_ui() + r.scale;
    const auto rounded = round_at(mpq_class(r.mantissa, pow10(total)), kMaxScale, Tie::Even);
    return {Ref{r.negative, rounded, kMaxScale}, false};
  }
  if (k <= r.scale) {
    r.scale -= static_cast<unsigned>(k.get_ui());
    return {r, false};
  }
  if (r.mantissa == 0) return {Ref{r.negative, 0, 0}, true};
  if (k - r.scale > 40) return {};
  const mpz_class m = r.mantissa * pow10(k.get_ui() - r.scale);
  if (m >= limit()) return {};
  return {Ref{r.negative, m, 0}, false};
}

// The representation of a library decimal; its rendering must be the
// reference rendering of that representation.
Ref represent(const Decimal& d) {
  const auto words = d.mantissa_words();
  Ref r;
  r.negative = d.is_negative();
  r.scale = d.scale();
  r.mantissa = (mpz_class(words[2]) << 64) + (mpz_class(words[1]) << 32) + words[0];
  FUZZ_CHECK(r.scale <= kMaxScale, "scale above 28");
  FUZZ_CHECK(d.is_zero() == r.is_zero(), r.render());
  const std::string text = d.render();
  FUZZ_CHECK(text == r.render(), "render gave " + text + " for " + r.render());
  return r;
}

std::optional<Decimal> from_bytes(quorrel::fuzz::FieldReader& in) {
  std::array<std::uint32_t, 3> words{};
  for (auto& w : words) {
    for (int k = 0; k < 4; ++k) w |= std::uint32_t{in.byte()} << (8 * k);
  }
  const std::uint8_t tail = in.byte();
  const auto d = Decimal::from_parts((tail & 0x80) != 0, words, (tail & 0x7F) % 29);
  FUZZ_CHECK(d.has_value(), "from_parts refused a scale of at most 28");
  return d;
}

// Same representation; a zero's sign is compared only when `zero_sign` says so.
bool same(const Ref& got, const Ref& want, bool zero_sign) {
  if (got.mantissa != want.mantissa || got.scale != want.scale) return false;
  if (got.is_zero() && !zero_sign) return true;
  return got.negative == want.negative;
}

void check_result(const char* what, const std::optional<Decimal>& got, const std::optional<Ref>& want,
                  const std::string& operands) {
  FUZZ_CHECK(got.has_value() == want.has_value(),
             std::string(what) + " " + operands + ": got " + (got ? got->render() : "overflow") +
                 ", expected " + (want ? want->render() : "overflow"));
  if (!got) return;
  const Ref g = represent(*got);
  FUZZ_CHECK(same(g, *want, true),
             std::string(what) + " " + operands + ": got " + g.render() + ", expected " + want->render());
}

int sign_of(int c) { return (c > 0) - (c < 0); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  quorrel::fuzz::FieldReader in(data, size);
  const std::uint8_t head = in.byte();
  const std::uint32_t places = head % 32;
  std::optional<Decimal> a;
  std::optional<Decimal> b;
  if ((head & 0x80) != 0) {
    a = from_bytes(in);
    b = from_bytes(in);
  } else {
    const std::string_view ta = in.next(';');
    const std::string_view tb = in.rest();
    a = Decimal::parse(ta);
    b = Decimal::parse(tb);
    for (const auto& [text, lib] : {std::pair{ta, a}, std::pair{tb, b}}) {
      const ParseRef want = parse_ref(text);
      if (want.open) continue;
      FUZZ_CHECK(lib.has_value() == want.value.has_value(),
                 "parse " + std::string(text) + ": got " + (lib ? lib->render() : "no decimal") + ", expected " +
                     (want.value ? want.value->render() : "no decimal"));
      if (!lib) continue;
      const Ref got = represent(*lib);
      FUZZ_CHECK(same(got, *want.value, true),
                 "parse " + std::string(text) + ": got " + got.render() + ", expected " + want.value->render());
    }
  }
  for (const auto* d : {&a, &b}) {
    if (!*d) continue;
    // A rendering always reads back as the same representation.
    const auto again = Decimal::parse((*d)->render());
    FUZZ_CHECK(again && again->same_representation(**d), "render does not parse back: " + (*d)->render());
  }
  if (!a) return 0;

  const Ref ra = represent(*a);

  // round(): ties away from zero, unchanged when already short enough, a zero result positive.
  {
    const Decimal r = a->round(places);
    Ref want = ra;
    if (ra.scale > places) {
      const mpz_class m = round_at(ra.value(), places, Tie::Away);
      want = Ref{m < 0, abs(m), places};
    }
    const Ref got = represent(r);
    // round() promises both "unchanged" and "never negative zero"; a
    // negative zero that is already short enough may come back either way.
    FUZZ_CHECK(same(got, want, ra.scale > places) && !(got.is_zero() && got.negative && ra.scale > places),
               "round(" + a->render() + ", " + std::to_string(places) + "): got " + got.render() + ", expected " +
                   want.render());
  }
  // normalize(): trailing fractional zeros gone, zero becomes 0.
  {
    Ref want = ra;
    if (want.is_zero()) {
      want = Ref{false, 0, 0};
    } else {
      while (want.scale > 0 && mpz_divisible_ui_p(want.mantissa.get_mpz_t(), 10)) {
        want.mantissa /= 10;
        --want.scale;
      }
    }
    const Ref got = represent(a->normalize());
    FUZZ_CHECK(same(got, want, true), "normalize(" + a->render() + "): got " + got.render());
  }
  // mul_pow10(): the exact value at the largest scale, up to a's own, that holds it.
  check_result("mul_pow10", a->mul_pow10(places), fit(ra.value() * pow10(places), ra.scale, Tie::Even, ra.negative),
               "(" + a->render() + ", 10^" + std::to_string(places) + ")");
  if (!b) return 0;

  const Ref rb = represent(*b);
  const mpq_class va = ra.value();
  const mpq_class vb = rb.value();
  const std::string operands = "(" + a->render() + ", " + b->render() + ")";

  FUZZ_CHECK(Decimal::compare(*a, *b) == sign_of(cmp(va, vb)), "compare " + operands);
  FUZZ_CHECK((*a == *b) == (va == vb), "== " + operands);

  // Zero results: a sum of two negative zeros is negative, any other zero sum
  // positive; a difference is the sum with the negated subtrahend (-0 - 0 is
  // -0, x - x is +0); a zero product or quotient takes the exclusive-or of the
  // operand signs.
  const bool both_zero = ra.is_zero() && rb.is_zero();
  const bool both_negative_zero = both_zero && ra.negative && rb.negative;
  const bool difference_negative_zero = both_zero && ra.negative && !rb.negative;
  const bool signs_differ = ra.negative != rb.negative;
  const unsigned wide = std::max(ra.scale, rb.scale);
  check_result("add", a->add(*b), fit(va + vb, wide, Tie::Even, both_negative_zero), operands);
  check_result("sub", a->sub(*b), fit(va - vb, wide, Tie::Even, difference_negative_zero), operands);
  check_result("mul", a->mul(*b), fit(va * vb, std::min(kMaxScale, ra.scale + rb.scale), Tie::Even, signs_differ),
               operands);

  const auto quotient = a->div(*b);
  if (rb.is_zero()) {
    FUZZ_CHECK(!quotient, "div by zero " + operands);
    return 0;
  }
  mpq_class q = va / vb;
  q.canonicalize();
  // A quotient that terminates within the representation is exact, at any
  // scale that holds it; any other is rounded at the largest scale that fits.
  mpz_class den = q.get_den();
  unsigned twos = static_cast<unsigned>(mpz_remove(den.get_mpz_t(), den.get_mpz_t(), mpz_class(2).get_mpz_t()));
  unsigned fives = static_cast<unsigned>(mpz_remove(den.get_mpz_t(), den.get_mpz_t(), mpz_class(5).get_mpz_t()));
  const unsigned needed = std::max(twos, fives);
  // A quotient that terminates within the representation is exact, with at
  // least the fractional digits it needs and at least scale(a) - scale(b).
  const unsigned kept = ra.scale > rb.scale ? ra.scale - rb.scale : 0;
  const unsigned exact_scale = std::max(needed, kept);
  if (den == 1 && exact_scale <= kMaxScale && abs(mpz_class(q * pow10(exact_scale))) < limit()) {
    FUZZ_CHECK(quotient.has_value(), "div " + operands + ": overflow for an exact quotient");
    const Ref got = represent(*quotient);
    FUZZ_CHECK(got.value() == q && got.scale >= exact_scale, "div " + operands + ": got " + got.render());
    if (got.is_zero()) FUZZ_CHECK(got.negative == signs_differ, "div " + operands + ": zero sign");
  } else {
    check_result("div", quotient, fit(q, kMaxScale, Tie::Even, signs_differ), operands);
  }
  return 0;
}
