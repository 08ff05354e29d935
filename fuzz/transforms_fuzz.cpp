// fuzz-dict: xbrl.dict
// The numeric text cleaning (numeric_candidate), English number words and the
// text transformations, each compared with a plain reference written from the
// rules: trim, number words, spaces, accounting parentheses, zero dash,
// separators, negative mark, empty check and the sign attribute.
//
// Input: one byte choosing the format, one byte choosing the sign attribute,
// then the fact text. A chooser past its table reads the format or sign from
// the input, up to a NUL byte.

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "fuzz_support.hpp"
#include "quorrel/core/dates.hpp"
#include "quorrel/core/text.hpp"
#include "quorrel/core/transforms.hpp"

namespace {

using quorrel::fuzz::decode_valid_utf8;
using quorrel::fuzz::is_valid_utf8;

constexpr std::array<const char*, 24> kFormats = {
    nullptr,
    "ixt:numwordsen",
    "ixt-sec:NumWordsEn",
    "ixt:numdash",
    "ixt-sec:numdash",
    "ixt:fixed-zero",
    "ixt:zerodash",
    "ixt:numcommadecimal",
    "ixt:num-comma-decimal",
    "ixt:numdotdecimal",
    "ixt:booleantrue",
    "ixt:booleanfalse",
    "ixt:fixed-true",
    "ixt:fixed-false",
    "ixt:fixed-empty",
    "ixt:nocontent",
    "ixt:dateyearmonthdaycjk",
    "ixt:dateyearmonthcjk",
    "ixt:datemonthdaycjk",
    "ixt:dateerayearmonthdayjp",
    "numdash",
    "",
    ":",
    "a:b:ZERODASH",
};

std::string lower_ascii(std::string_view s) {
  std::string out(s);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

std::string ref_format_name(std::string_view format) {
  const std::size_t colon = format.rfind(':');
  return lower_ascii(colon == std::string_view::npos ? format : format.substr(colon + 1));
}

// Number words on valid UTF-8, straight from the rules.
std::optional<std::uint64_t> ref_number_words(std::string_view trimmed) {
  std::string text = lower_ascii(trimmed);
  for (char& c : text) {
    if (c == '-') c = ' ';
  }
  struct Word {
    std::string_view word;
    std::uint64_t value;
  };
  static constexpr Word kValues[] = {
      {"zero", 0},       {"one", 1},        {"two", 2},         {"three", 3},      {"four", 4},
      {"five", 5},       {"six", 6},        {"seven", 7},       {"eight", 8},      {"nine", 9},
      {"ten", 10},       {"eleven", 11},    {"twelve", 12},     {"thirteen", 13},  {"fourteen", 14},
      {"fifteen", 15},   {"sixteen", 16},   {"seventeen", 17},  {"eighteen", 18},  {"nineteen", 19},
      {"twenty", 20},    {"thirty", 30},    {"forty", 40},      {"fifty", 50},     {"sixty", 60},
      {"seventy", 70},   {"eighty", 80},    {"ninety", 90}};
  static constexpr Word kClosing[] = {{"thousand", 1000ULL},
                                      {"million", 1000000ULL},
                                      {"billion", 1000000000ULL},
                                      {"trillion", 1000000000000ULL}};
  std::uint64_t total = 0;
  std::uint64_t group = 0;
  bool any = false;
  std::size_t i = 0;
  const std::string_view t(text);
  while (i < t.size()) {
    const auto ch = decode_valid_utf8(t, i);
    if (quorrel::core::is_unicode_white_space(ch.code_point)) {
      i += ch.length;
      continue;
    }
    const std::size_t begin = i;
    while (i < t.size()) {
      const auto c = decode_valid_utf8(t, i);
      if (quorrel::core::is_unicode_white_space(c.code_point)) break;
      i += c.length;
    }
    const std::string_view word = t.substr(begin, i - begin);
    any = true;
    bool known = false;
    for (const Word& w : kValues) {
      if (w.word == word) {
        if (__builtin_add_overflow(group, w.value, &group)) return std::nullopt;
        known = true;
      }
    }
    if (word == "hundred") {
      if (__builtin_mul_overflow(group == 0 ? 1 : group, std::uint64_t{100}, &group)) return std::nullopt;
      known = true;
    }
    for (const Word& w : kClosing) {
      if (w.word == word) {
        std::uint64_t part = 0;
        if (__builtin_mul_overflow(group == 0 ? 1 : group, w.value, &part)) return std::nullopt;
        if (__builtin_add_overflow(total, part, &total)) return std::nullopt;
        group = 0;
        known = true;
      }
    }
    if (!known) return std::nullopt;
  }
  if (!any) return std::nullopt;
  std::uint64_t number = 0;
  if (__builtin_add_overflow(total, group, &number)) return std::nullopt;
  return number;
}

void erase_all(std::string& s, std::string_view what) {
  std::string out;
  out.reserve(s.size());
  for (std::size_t i = 0; i < s.size();) {
    if (std::string_view(s).substr(i).starts_with(what)) {
      i += what.size();
    } else {
      out.push_back(s[i++]);
    }
  }
  s.swap(out);
}

// The numeric pipeline's cleaning steps on valid UTF-8, from the rules.
std::optional<std::string> ref_candidate(std::string_view raw, const std::optional<std::string>& format,
                                         const std::optional<std::string>& sign) {
  const std::string_view t = quorrel::core::trim_unicode_white_space(raw);
  const std::string name = format ? ref_format_name(*format) : std::string();
  std::string candidate;
  bool from_words = false;
  if (format && name == "numwordsen") {
    if (const auto words = ref_number_words(t)) {
      candidate = std::to_string(*words);
      from_words = true;
    }
  }
  if (!from_words) {
    std::string s(t);
    erase_all(s, " ");
    erase_all(s, "\xC2\xA0");
    bool negative = false;
    if (!s.empty() && s.front() == '(' && s.back() == ')') {
      const std::size_t first = s.find_first_not_of('(');
      s.erase(0, first == std::string::npos ? s.size() : first);
      while (!s.empty() && s.back() == ')') s.pop_back();
      negative = true;
    }
    const bool zero_dash_name = name == "numdash" || name == "fixed-zero" || name == "zerodash";
    const bool lone_dash = s == "-" || s == "\xE2\x88\x92" || s == "\xEF\xBC\x8D" || s == "\xE2\x80\x94";
    if (format && zero_dash_name && lone_dash) {
      candidate = "0";
    } else if (format && name == "numcommadecimal") {
      erase_all(s, ".");
      for (char& c : s) {
        if (c == ',') c = '.';
      }
      candidate = s;
    } else {
      erase_all(s, ",");
      candidate = s;
    }
    if (negative && !candidate.starts_with('-')) candidate.insert(0, 1, '-');
  }
  if (candidate.empty()) return std::nullopt;
  if (sign && *sign == "-" && !candidate.starts_with('-')) candidate.insert(0, 1, '-');
  return candidate;
}

std::string ref_text_transform(const std::optional<std::string>& format, std::string_view text) {
  if (!format) return std::string(text);
  const std::string name = ref_format_name(*format);
  std::optional<std::string> date;
  if (name == "dateerayearmonthdayjp") {
    date = quorrel::core::transform_date_era_ymd_jp(text);
  } else if (name == "dateyearmonthdaycjk") {
    date = quorrel::core::transform_date_ymd_cjk(text);
  } else if (name == "datemonthdaycjk") {
    date = quorrel::core::transform_date_md_cjk(text);
  } else if (name == "dateyearmonthcjk") {
    date = quorrel::core::transform_date_ym_cjk(text);
  } else if (name == "nocontent" || name == "fixed-empty") {
    return "";
  } else if (name == "fixed-true" || name == "booleantrue") {
    return "true";
  } else if (name == "fixed-false" || name == "booleanfalse") {
    return "false";
  }
  return date ? *date : std::string(text);
}

std::string show(const std::optional<std::string>& s) { return s ? "\"" + *s + "\"" : "none"; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  quorrel::fuzz::FieldReader in(data, size);
  std::optional<std::string> format;
  std::optional<std::string> sign;
  const std::uint8_t format_choice = in.byte();
  const std::uint8_t sign_choice = in.byte();
  if (format_choice % 32 < kFormats.size()) {
    if (const char* f = kFormats[format_choice % 32]) format = f;
  } else {
    format = std::string(in.next('\0'));
  }
  switch (sign_choice % 4) {
    case 0: break;
    case 1: sign = "-"; break;
    case 2: sign = "+"; break;
    default: sign = std::string(in.next('\0')); break;
  }
  const std::string_view text = in.rest();
  const bool valid = is_valid_utf8(text) && (!format || is_valid_utf8(*format));

  // Format names: the part after the last colon, ASCII letters folded.
  if (format) {
    const std::string name = quorrel::core::format_name(*format);
    FUZZ_CHECK(name == ref_format_name(*format), name);
    FUZZ_CHECK(quorrel::core::numeric_rule(*format) == quorrel::core::numeric_rule(name), name);
  }

  const std::string_view trimmed = quorrel::core::trim_unicode_white_space(text);
  const auto words = quorrel::core::number_words(trimmed);
  if (valid) FUZZ_CHECK(words == ref_number_words(trimmed), words ? std::to_string(*words) : "none");

  const auto candidate = quorrel::core::numeric_candidate(text, format, sign);
  if (candidate) {
    FUZZ_CHECK(!candidate->empty(), "");
    const bool word_digits = format && quorrel::core::numeric_rule(*format) ==
                                           quorrel::core::NumericRule::NumberWords && words;
    if (!word_digits) {
      // Cleaning only removes characters and adds at most one minus sign.
      FUZZ_CHECK(candidate->size() <= text.size() + 1, *candidate);
    }
    if (valid) {
      FUZZ_CHECK(is_valid_utf8(*candidate), *candidate);
      FUZZ_CHECK(candidate->find(',') == std::string::npos, *candidate);
      FUZZ_CHECK(candidate->find(' ') == std::string::npos, *candidate);
      FUZZ_CHECK(candidate->find("\xC2\xA0") == std::string::npos, *candidate);
    }
  }
  if (valid) {
    const auto expected = ref_candidate(text, format, sign);
    FUZZ_CHECK(candidate == expected, "got " + show(candidate) + ", expected " + show(expected));
  }

  const std::string transformed = quorrel::core::apply_text_transform(format, text);
  if (valid) {
    FUZZ_CHECK(is_valid_utf8(transformed), transformed);
    FUZZ_CHECK(transformed == ref_text_transform(format, text), transformed);
  }
  return 0;
}
