// Test-only calculator over quorrel::core::Decimal for the differential test.
// Reads one operation per line on stdin and writes one result line:
//   add|sub|mul|div A B the rendered result, or "overflow"
//   round A N          the rendered result of rounding A to N places
//   normalize A        the rendered normalized value
//   cmp A B            -1, 0 or 1
// Operands A and B are decimal texts; one that does not parse prints "bad operand".
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <optional>
#include <string>
#include <string_view>

#include "quorrel/core/decimal.hpp"

using quorrel::core::Decimal;

namespace {

std::string_view next_word(std::string_view& rest) {
  const std::size_t space = rest.find(' ');
  const std::string_view word = rest.substr(0, space);
  rest = space == std::string_view::npos ? std::string_view{} : rest.substr(space + 1);
  return word;
}

}  // namespace

int main() {
  std::ios::sync_with_stdio(false);
  std::string line;
  std::string out;
  while (std::getline(std::cin, line)) {
    std::string_view rest = line;
    const std::string_view op = next_word(rest);
    const auto a = Decimal::parse(next_word(rest));
    const std::string_view second = next_word(rest);
    const auto b = Decimal::parse(second);
    std::optional<Decimal> result;
    if (!a || (op != "normalize" && op != "round" && !b)) {
      out += "bad operand";
    } else if (op == "normalize") {
      result = a->normalize();
    } else if (op == "round") {
      result = a->round(static_cast<std::uint32_t>(std::strtoul(std::string(second).c_str(), nullptr, 10)));
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
