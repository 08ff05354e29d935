// Cost of cleaning numeric fact texts and of the text transformations, per
// call, against copying the same texts into a std::string (the least any
// cleaning that returns an owned text can cost).
#include <chrono>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "quorrel/core/transforms.hpp"

namespace {

struct Sample {
  std::string_view text;
  std::optional<std::string> format;
  std::optional<std::string> sign;
};

template <typename F>
double ns_per_call(std::size_t calls, F&& body) {
  const auto start = std::chrono::steady_clock::now();
  body();
  const auto stop = std::chrono::steady_clock::now();
  return std::chrono::duration<double, std::nano>(stop - start).count() / static_cast<double>(calls);
}

}  // namespace

int main() {
  using quorrel::core::apply_text_transform;
  using quorrel::core::numeric_candidate;
  const std::vector<Sample> numeric{
      {"1,234,567", std::nullopt, std::nullopt},
      {" (12,345) ", std::nullopt, std::nullopt},
      {"1.234.567,89", "ixt:numcommadecimal", std::nullopt},
      {"\xE2\x80\x94", "ixt:fixed-zero", std::nullopt},
      {"98\xC2\xA0" "765\xC2\xA0" "432", "ixt:num-dot-decimal", "-"},
      {"Twenty-One Thousand", "ixt:numwordsen", std::nullopt},
      {"0.25", std::nullopt, std::nullopt},
      {"12,345,678,901", "ixt-sec:numdotdecimal", std::nullopt},
  };
  const std::vector<Sample> text{
      {"2024\xE5\xB9\xB4" "3\xE6\x9C\x88" "5\xE6\x97\xA5", "ixt:dateyearmonthdaycjk", std::nullopt},
      {"\xE4\xBB\xA4\xE5\x92\x8C" "5\xE5\xB9\xB4" "3\xE6\x9C\x88" "31\xE6\x97\xA5",
       "ixt:dateerayearmonthdayjp", std::nullopt},
      {"yes", "ixt:booleantrue", std::nullopt},
      {"Some explanatory note", std::nullopt, std::nullopt},
  };
  constexpr std::size_t rounds = 400000;
  std::size_t sink = 0;

  const double copy_numeric = ns_per_call(rounds * numeric.size(), [&] {
    for (std::size_t r = 0; r < rounds; ++r) {
      for (const Sample& s : numeric) sink += std::string(s.text).size();
    }
  });
  const double clean = ns_per_call(rounds * numeric.size(), [&] {
    for (std::size_t r = 0; r < rounds; ++r) {
      for (const Sample& s : numeric) sink += numeric_candidate(s.text, s.format, s.sign)->size();
    }
  });
  const double copy_text = ns_per_call(rounds * text.size(), [&] {
    for (std::size_t r = 0; r < rounds; ++r) {
      for (const Sample& s : text) sink += std::string(s.text).size();
    }
  });
  const double transform = ns_per_call(rounds * text.size(), [&] {
    for (std::size_t r = 0; r < rounds; ++r) {
      for (const Sample& s : text) sink += apply_text_transform(s.format, s.text).size();
    }
  });

  std::printf("numeric_candidate     %7.1f ns/call  (string copy %5.1f ns, ratio %.2f)\n", clean,
              copy_numeric, clean / copy_numeric);
  std::printf("apply_text_transform  %7.1f ns/call  (string copy %5.1f ns, ratio %.2f)\n", transform,
              copy_text, transform / copy_text);
  std::printf("(checksum %zu)\n", sink);
  return 0;
}
