#include "quorrel/core/transforms.hpp"

#include <array>
#include <charconv>

#include "quorrel/core/dates.hpp"
#include "quorrel/core/text.hpp"

namespace quorrel::core {
namespace {

constexpr char fold_ascii(char c) noexcept {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// The text after the last ':' (the whole text without one).
constexpr std::string_view local_part(std::string_view format) noexcept {
  const std::size_t colon = format.rfind(':');
  return colon == std::string_view::npos ? format : format.substr(colon + 1);
}

// Compares `text` with a lower-case `name`, folding only ASCII letters of the
// text; non-ASCII bytes must match exactly.
constexpr bool equals_folded(std::string_view text, std::string_view name) noexcept {
  if (text.size() != name.size()) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (fold_ascii(text[i]) != name[i]) return false;
  }
  return true;
}

// The lone dashes that read as zero under a zero-dash format. U+2013 EN DASH
// is deliberately not one of them.
constexpr std::array<std::string_view, 4> kZeroDashes{
    "-",             // U+002D HYPHEN-MINUS
    "\xE2\x88\x92",  // U+2212 MINUS SIGN
    "\xEF\xBC\x8D",  // U+FF0D FULLWIDTH HYPHEN-MINUS
    "\xE2\x80\x94",  // U+2014 EM DASH
};

constexpr std::string_view kNoBreakSpace = "\xC2\xA0";  // U+00A0

struct NumberWord {
  std::string_view word;
  std::uint64_t value;
};
constexpr std::array<NumberWord, 28> kValueWords{{
    {"zero", 0},       {"one", 1},        {"two", 2},        {"three", 3},     {"four", 4},
    {"five", 5},       {"six", 6},        {"seven", 7},      {"eight", 8},     {"nine", 9},
    {"ten", 10},       {"eleven", 11},    {"twelve", 12},    {"thirteen", 13}, {"fourteen", 14},
    {"fifteen", 15},   {"sixteen", 16},   {"seventeen", 17}, {"eighteen", 18}, {"nineteen", 19},
    {"twenty", 20},    {"thirty", 30},    {"forty", 40},     {"fifty", 50},    {"sixty", 60},
    {"seventy", 70},   {"eighty", 80},    {"ninety", 90},
}};
constexpr std::array<NumberWord, 4> kClosingMultipliers{{
    {"thousand", 1000ULL},
    {"million", 1000000ULL},
    {"billion", 1000000000ULL},
    {"trillion", 1000000000000ULL},
}};

// Folds one word into the running total and group; false when the word is
// unknown or the arithmetic leaves the unsigned 64-bit range.
bool add_number_word(std::string_view word, std::uint64_t& total, std::uint64_t& group) noexcept {
  for (const NumberWord& w : kValueWords) {
    if (equals_folded(word, w.word)) return !__builtin_add_overflow(group, w.value, &group);
  }
  // "hundred" multiplies the whole current group ("twelve hundred" is 1200).
  if (equals_folded(word, "hundred")) {
    return !__builtin_mul_overflow(group == 0 ? 1 : group, std::uint64_t{100}, &group);
  }
  for (const NumberWord& m : kClosingMultipliers) {
    if (equals_folded(word, m.word)) {
      std::uint64_t closed = 0;
      if (__builtin_mul_overflow(group == 0 ? 1 : group, m.value, &closed) ||
          __builtin_add_overflow(total, closed, &total)) {
        return false;
      }
      group = 0;
      return true;
    }
  }
  return false;
}

// Byte length of the word separator at text[i], or 0: a '-' or a character
// with the Unicode White_Space property. A stray byte is never a separator.
std::size_t separator_length(std::string_view text, std::size_t i) noexcept {
  const auto b = static_cast<unsigned char>(text[i]);
  if (b < 0x80) return (b == '-' || is_unicode_white_space(b)) ? 1 : 0;
  const DecodedChar c = decode_utf8_at(text, i);
  return (c.length > 1 && is_unicode_white_space(c.code_point)) ? c.length : 0;
}

std::string decimal_digits(std::uint64_t value) {
  std::array<char, 20> buffer{};
  const auto [end, ec] = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value);
  (void)ec;  // twenty characters always hold an unsigned 64-bit number
  return std::string(buffer.data(), end);
}

}  // namespace

std::string format_name(std::string_view format) {
  const std::string_view name = local_part(format);
  std::string out(name);
  for (char& c : out) c = fold_ascii(c);
  return out;
}

NumericRule numeric_rule(std::string_view format_name) noexcept {
  const std::string_view name = local_part(format_name);
  if (equals_folded(name, "numwordsen")) return NumericRule::NumberWords;
  if (equals_folded(name, "numdash") || equals_folded(name, "fixed-zero") ||
      equals_folded(name, "zerodash")) {
    return NumericRule::ZeroDash;
  }
  if (equals_folded(name, "numcommadecimal")) return NumericRule::CommaDecimal;
  return NumericRule::Default;
}

std::string apply_text_transform(std::optional<std::string_view> format, std::string_view text) {
  if (!format) return std::string(text);
  const std::string_view name = local_part(*format);
  std::optional<std::string> date;
  if (equals_folded(name, "dateerayearmonthdayjp")) {
    date = transform_date_era_ymd_jp(text);
  } else if (equals_folded(name, "dateyearmonthdaycjk")) {
    date = transform_date_ymd_cjk(text);
  } else if (equals_folded(name, "datemonthdaycjk")) {
    date = transform_date_md_cjk(text);
  } else if (equals_folded(name, "dateyearmonthcjk")) {
    date = transform_date_ym_cjk(text);
  } else if (equals_folded(name, "nocontent") || equals_folded(name, "fixed-empty")) {
    return std::string();
  } else if (equals_folded(name, "fixed-true") || equals_folded(name, "booleantrue")) {
    return std::string("true");
  } else if (equals_folded(name, "fixed-false") || equals_folded(name, "booleanfalse")) {
    return std::string("false");
  }
  if (date) return std::move(*date);
  return std::string(text);
}

std::optional<std::uint64_t> number_words(std::string_view trimmed_text) {
  std::uint64_t total = 0;
  std::uint64_t group = 0;
  bool any_word = false;
  std::size_t i = 0;
  const std::size_t n = trimmed_text.size();
  while (i < n) {
    if (const std::size_t sep = separator_length(trimmed_text, i); sep != 0) {
      i += sep;
      continue;
    }
    const std::size_t begin = i;
    while (i < n && separator_length(trimmed_text, i) == 0) {
      // Step over a whole character so a separator test never starts mid-character.
      i += decode_utf8_at(trimmed_text, i).length;
    }
    any_word = true;
    if (!add_number_word(trimmed_text.substr(begin, i - begin), total, group)) return std::nullopt;
  }
  if (!any_word) return std::nullopt;
  std::uint64_t number = 0;
  if (__builtin_add_overflow(total, group, &number)) return std::nullopt;
  return number;
}

std::optional<std::string> numeric_candidate(std::string_view raw_text,
                                             std::optional<std::string_view> format,
                                             std::optional<std::string_view> sign) {
  const std::string_view t = trim_unicode_white_space(raw_text);
  NumericRule rule = format ? numeric_rule(*format) : NumericRule::Default;
  bool negative = false;
  std::string candidate;

  // A number-words reading skips the cleaning steps; a failed one falls back
  // to the default path like any unknown name.
  std::optional<std::uint64_t> words;
  if (rule == NumericRule::NumberWords) {
    words = number_words(t);
    if (!words) rule = NumericRule::Default;
  }

  if (words) {
    candidate = decimal_digits(*words);
  } else {
    // Remove U+0020 and U+00A0 wherever they stand; other white space stays.
    // The lead byte of U+00A0 never occurs inside another character.
    candidate.resize(t.size());
    std::size_t kept = 0;
    for (std::size_t i = 0; i < t.size(); ++i) {
      const char c = t[i];
      if (c == ' ') continue;
      if (c == kNoBreakSpace[0] && i + 1 < t.size() && t[i + 1] == kNoBreakSpace[1]) {
        ++i;
        continue;
      }
      candidate[kept++] = c;
    }
    candidate.resize(kept);

    // Accounting negative: "(12)" and "((12))" are -12; "(12" and "12)" stay.
    std::size_t begin = 0;
    std::size_t end = candidate.size();
    if (!candidate.empty() && candidate.front() == '(' && candidate.back() == ')') {
      while (begin < end && candidate[begin] == '(') ++begin;
      while (end > begin && candidate[end - 1] == ')') --end;
      negative = true;
    }
    const std::string_view body(candidate.data() + begin, end - begin);

    bool zero_dash = false;
    if (rule == NumericRule::ZeroDash) {
      for (const std::string_view dash : kZeroDashes) zero_dash = zero_dash || body == dash;
    }

    if (zero_dash) {
      candidate.assign(1, '0');
    } else {
      // Separators, compacted in place over the parenthesis-free body. They
      // are ASCII, so removing them never splits a character.
      std::size_t w = 0;
      for (std::size_t r = begin; r < end; ++r) {
        char c = candidate[r];
        if (rule == NumericRule::CommaDecimal) {
          if (c == '.') continue;
          if (c == ',') c = '.';
        } else if (c == ',') {
          continue;
        }
        candidate[w++] = c;
      }
      candidate.resize(w);
    }
    if (negative && !candidate.starts_with('-')) candidate.insert(candidate.begin(), '-');
  }

  if (candidate.empty()) return std::nullopt;
  // The sign attribute only ever makes a value negative, never positive.
  if (sign && *sign == "-" && !candidate.starts_with('-')) candidate.insert(candidate.begin(), '-');
  return candidate;
}

}  // namespace quorrel::core
