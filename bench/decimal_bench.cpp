// Nanoseconds per decimal operation: parse, render, parse + render of a
// typical fact value, the four arithmetic operations on typical and on
// near-limit operands, and scaling by the powers of ten inline facts use.
// The ratio column compares parse + render with the standard library's
// double conversions (std::from_chars / std::to_chars) over the same text, a
// floor for what any text-to-number round trip costs.
//   build/release/bench/decimal_bench
#include <charconv>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "quorrel/core/decimal.hpp"

using quorrel::core::Decimal;

namespace {

template <typename T>
inline void keep(const T& value) {
  asm volatile("" : : "r,m"(value) : "memory");
}

template <typename F>
double ns_per_op(std::size_t ops_per_call, F&& body) {
  using clock = std::chrono::steady_clock;
  std::size_t calls = 1;
  for (;;) {
    const auto start = clock::now();
    for (std::size_t i = 0; i < calls; ++i) body();
    const double ns = std::chrono::duration<double, std::nano>(clock::now() - start).count();
    if (ns > 2e8) return ns / static_cast<double>(calls * ops_per_call);
    calls *= 2;
  }
}

std::vector<Decimal> parse_all(const std::vector<std::string>& texts) {
  std::vector<Decimal> out;
  for (const auto& t : texts) out.push_back(Decimal::parse(t).value());
  return out;
}

void report(const char* name, double ns) { std::printf("%-44s %9.1f ns/op\n", name, ns); }

template <typename Op>
double binary_op(const std::vector<Decimal>& a, const std::vector<Decimal>& b, Op op) {
  return ns_per_op(a.size(), [&] {
    for (std::size_t i = 0; i < a.size(); ++i) keep(op(a[i], b[i]));
  });
}

}  // namespace

int main() {
  const std::vector<std::string> typical_texts = {
      "1234567.89", "-42",      "0.25",       "1000000",  "3.14159",   "-0.0075",      "987654321012", "12.5",
      "5",          "-1.5e3",   "250000000",  "0.001",    "77.7",      "-314159.2653", "64.00",        "1_000_000"};
  const std::vector<std::string> divisor_texts = {"3",     "7.5",  "-12", "1000", "0.125", "9",  "1234567.89", "2",
                                                  "-0.04", "15",   "333", "1.1",  "64",    "-8", "0.3",        "11"};
  const std::vector<std::string> near_limit_texts = {
      "79228162514264337593543950335",  "7.9228162514264337593543950335", "-39614081257132168796771975167",
      "0.0000000000000000000000000001", "12345678901234567890.12345678", "-7922816251426433759354395033.5",
      "1.0000000000000000000000000001", "18446744073709551616.000000001"};
  const std::vector<std::string> near_limit_other = {
      "0.7",  "1.0000000000000000000000000001", "3", "7922816251426433759354395033.5", "-0.3333333333333333333333333333",
      "0.1",  "79228162514264337593543950335",  "-1.5"};

  const auto typical = parse_all(typical_texts);
  const auto divisors = parse_all(divisor_texts);
  const auto wide_a = parse_all(near_limit_texts);
  const auto wide_b = parse_all(near_limit_other);

  std::printf("decimal_bench (%zu typical operands, %zu near-limit operands)\n", typical.size(), wide_a.size());

  report("parse (typical texts)", ns_per_op(typical_texts.size(), [&] {
           for (const auto& t : typical_texts) keep(Decimal::parse(t));
         }));
  std::string out;
  out.reserve(64);
  report("render via append_to (typical values)", ns_per_op(typical.size(), [&] {
           for (const auto& v : typical) {
             out.clear();
             v.append_to(out);
             keep(out.data());
           }
         }));
  const std::string fact = "1234567.89";
  const double round_trip = ns_per_op(1, [&] {
    out.clear();
    Decimal::parse(fact)->append_to(out);
    keep(out.data());
  });
  report("parse + render \"1234567.89\"", round_trip);
  report("  parse \"1234567.89\" alone", ns_per_op(1, [&] { keep(Decimal::parse(fact)); }));
  const Decimal fact_value = Decimal::parse(fact).value();
  report("  render \"1234567.89\" alone", ns_per_op(1, [&] {
           out.clear();
           fact_value.append_to(out);
           keep(out.data());
         }));
  char buf[64];
  const double double_round_trip = ns_per_op(1, [&] {
    double v = 0;
    std::from_chars(fact.data(), fact.data() + fact.size(), v);
    const auto r = std::to_chars(buf, buf + sizeof buf, v);
    keep(r.ptr);
  });
  report("  double from_chars + to_chars, same text", double_round_trip);
  std::printf("  ratio decimal / double round trip: %.2f\n", round_trip / double_round_trip);
  report("render 29-digit values (near-limit)", ns_per_op(wide_a.size(), [&] {
           for (const auto& v : wide_a) {
             out.clear();
             v.append_to(out);
             keep(out.data());
           }
         }));

  report("add (typical)", binary_op(typical, divisors, [](const Decimal& x, const Decimal& y) { return x.add(y); }));
  report("sub (typical)", binary_op(typical, divisors, [](const Decimal& x, const Decimal& y) { return x.sub(y); }));
  report("mul (typical)", binary_op(typical, divisors, [](const Decimal& x, const Decimal& y) { return x.mul(y); }));
  report("div (typical)", binary_op(typical, divisors, [](const Decimal& x, const Decimal& y) { return x.div(y); }));
  report("mul_pow10 by 10^3, 10^6, 10^9 (typical)", ns_per_op(3 * typical.size(), [&] {
           for (const std::uint32_t n : {3u, 6u, 9u}) {
             for (const auto& v : typical) keep(v.mul_pow10(n));
           }
         }));
  report("compare (typical)", binary_op(typical, divisors, [](const Decimal& x, const Decimal& y) {
           return Decimal::compare(x, y);
         }));
  report("add (near-limit, rounding)", binary_op(wide_a, wide_b, [](const Decimal& x, const Decimal& y) { return x.add(y); }));
  report("mul (near-limit, rounding)", binary_op(wide_a, wide_b, [](const Decimal& x, const Decimal& y) { return x.mul(y); }));
  report("div (near-limit, rounding)", binary_op(wide_a, wide_b, [](const Decimal& x, const Decimal& y) { return x.div(y); }));
  report("round to 2 places + normalize", ns_per_op(wide_a.size(), [&] {
           for (const auto& v : wide_a) keep(v.round(2).normalize());
         }));
  return 0;
}
