// Test-only calculator for test_decimal_oracle.py: one operation a line on stdin
// ("add|sub|mul|div A B", "round A N", "normalize A", "cmp A B"), one rendered
// result a line out ("overflow", "bad operand", -1/0/1 for cmp).
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <optional>
#include <sstream>
#include <string>

#include "quorrel/core/decimal.hpp"

using quorrel::core::Decimal;

int main() {
  std::ios::sync_with_stdio(false);
  std::string line, out;
  while (std::getline(std::cin, line)) {
    std::istringstream words(line);
    std::string op, first, second;
    words >> op >> first >> second;
    const auto a = Decimal::parse(first), b = Decimal::parse(second);
    std::optional<Decimal> result;
    if (!a || (op != "normalize" && op != "round" && !b)) {
      out += "bad operand";
    } else if (op == "normalize") {
      result = a->normalize();
    } else if (op == "round") {
      result = a->round(static_cast<std::uint32_t>(std::strtoul(second.c_str(), nullptr, 10)));
    } else if (op == "cmp") {
      out += std::to_string(Decimal::compare(*a, *b));
    } else if (op == "add" || op == "sub" || op == "mul" || op == "div") {
      result = op == "add" ? a->add(*b) : op == "sub" ? a->sub(*b) : op == "mul" ? a->mul(*b) : a->div(*b);
      if (!result) out += "overflow";
    } else {
      out += "unknown operation";
    }
    if (result) result->append_to(out);
    out += '\n';
  }
  std::fwrite(out.data(), 1, out.size(), stdout);
  return 0;
}
