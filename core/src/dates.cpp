#include "quorrel/core/dates.hpp"

#include <array>
#include <charconv>
#include <cstdint>

#include "quorrel/core/text.hpp"

namespace quorrel::core {
namespace {

// The date characters, three bytes each. Their lead bytes never occur inside
// another character, so a byte search for them always lands on a character
// boundary, and ends_with on them tests a whole final character.
constexpr std::string_view kYear = "\xE5\xB9\xB4";   // 年 U+5E74
constexpr std::string_view kMonth = "\xE6\x9C\x88";  // 月 U+6708
constexpr std::string_view kDay = "\xE6\x97\xA5";    // 日 U+65E5
constexpr std::size_t kMarkLength = 3;

struct Era {
  std::string_view name;  // two characters, six bytes
  std::uint32_t base;
};
constexpr std::array<Era, 5> kEras{{
    {"\xE4\xBB\xA4\xE5\x92\x8C", 2018},  // 令和
    {"\xE5\xB9\xB3\xE6\x88\x90", 1988},  // 平成
    {"\xE6\x98\xAD\xE5\x92\x8C", 1925},  // 昭和
    {"\xE5\xA4\xA7\xE6\xAD\xA3", 1911},  // 大正
    {"\xE6\x98\x8E\xE6\xB2\xBB", 1867},  // 明治
}};
constexpr std::size_t kEraNameLength = 6;

// The ASCII digit a character folds to, or -1.
constexpr int digit_of(char32_t c) noexcept {
  if (c >= U'0' && c <= U'9') return static_cast<int>(c - U'0');
  if (c >= 0xFF10 && c <= 0xFF19) return static_cast<int>(c - 0xFF10);
  switch (c) {
    case 0x3007:  // 〇
    case 0x96F6:  // 零
      return 0;
    case 0x4E00:  // 一
    case 0x58F1:  // 壱
      return 1;
    case 0x4E8C:  // 二
    case 0x5F10:  // 弐
      return 2;
    case 0x4E09:  // 三
    case 0x53C2:  // 参
      return 3;
    case 0x56DB: return 4;  // 四
    case 0x4E94: return 5;  // 五
    case 0x516D: return 6;  // 六
    case 0x4E03: return 7;  // 七
    case 0x516B: return 8;  // 八
    case 0x4E5D: return 9;  // 九
    default: return -1;
  }
}

// Appends pad(digits, width): '0's in front up to the width, never cut.
void append_padded(std::string& out, std::string_view digits, std::size_t width) {
  if (digits.size() < width) out.append(width - digits.size(), '0');
  out.append(digits);
}

// The text strictly between two byte offsets, trimmed.
std::string_view trimmed_between(std::string_view t, std::size_t begin, std::size_t end) noexcept {
  return trim_unicode_white_space(t.substr(begin, end - begin));
}

// True when at least one whole mark follows `after` and t ends with `mark`.
bool ends_with_mark_after(std::string_view t, std::size_t after, std::string_view mark) noexcept {
  return t.size() >= after && t.size() - after >= kMarkLength && t.ends_with(mark);
}

// Folds and reads an unsigned 32-bit decimal number; empty or too large: none.
std::optional<std::uint32_t> read_u32(std::string_view text) {
  const std::optional<std::string> digits = to_ascii_digits(text);
  if (!digits || digits->empty()) return std::nullopt;
  std::uint32_t value = 0;
  for (const char d : *digits) {
    if (__builtin_mul_overflow(value, 10u, &value) ||
        __builtin_add_overflow(value, static_cast<std::uint32_t>(d - '0'), &value)) {
      return std::nullopt;
    }
  }
  return value;
}

void append_number(std::string& out, std::uint32_t value, std::size_t width) {
  std::array<char, 10> buffer{};
  const auto [end, ec] = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value);
  (void)ec;  // ten characters always hold an unsigned 32-bit number
  append_padded(out, std::string_view(buffer.data(), static_cast<std::size_t>(end - buffer.data())),
                width);
}

}  // namespace

std::optional<std::string> to_ascii_digits(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    const DecodedChar c = decode_utf8_at(text, i);
    // A stray byte decodes as itself; it is never a digit, whatever its value.
    if (c.length == 1 && c.code_point >= 0x80) return std::nullopt;
    const int digit = digit_of(c.code_point);
    if (digit < 0) return std::nullopt;
    out.push_back(static_cast<char>('0' + digit));
    i += c.length;
  }
  return out;
}

std::optional<std::string> transform_date_ymd_cjk(std::string_view text) {
  const std::string_view t = trim_unicode_white_space(text);
  const std::size_t y = t.find(kYear);
  if (y == std::string_view::npos) return std::nullopt;
  const std::size_t m = t.find(kMonth, y + kMarkLength);
  if (m == std::string_view::npos) return std::nullopt;
  const std::size_t after_month = m + kMarkLength;
  if (!ends_with_mark_after(t, after_month, kDay)) return std::nullopt;
  const auto year = to_ascii_digits(trimmed_between(t, 0, y));
  const auto month = to_ascii_digits(trimmed_between(t, y + kMarkLength, m));
  const auto day = to_ascii_digits(trimmed_between(t, after_month, t.size() - kMarkLength));
  if (!year || !month || !day) return std::nullopt;
  std::string out;
  out.reserve(year->size() + month->size() + day->size() + 8);
  append_padded(out, *year, 4);
  out.push_back('-');
  append_padded(out, *month, 2);
  out.push_back('-');
  append_padded(out, *day, 2);
  return out;
}

std::optional<std::string> transform_date_ym_cjk(std::string_view text) {
  const std::string_view t = trim_unicode_white_space(text);
  const std::size_t y = t.find(kYear);
  if (y == std::string_view::npos) return std::nullopt;
  const std::size_t after_year = y + kMarkLength;
  if (!ends_with_mark_after(t, after_year, kMonth)) return std::nullopt;
  const auto year = to_ascii_digits(trimmed_between(t, 0, y));
  const auto month = to_ascii_digits(trimmed_between(t, after_year, t.size() - kMarkLength));
  if (!year || !month) return std::nullopt;
  std::string out;
  out.reserve(year->size() + month->size() + 6);
  append_padded(out, *year, 4);
  out.push_back('-');
  append_padded(out, *month, 2);
  return out;
}

std::optional<std::string> transform_date_md_cjk(std::string_view text) {
  const std::string_view t = trim_unicode_white_space(text);
  const std::size_t m = t.find(kMonth);
  if (m == std::string_view::npos) return std::nullopt;
  const std::size_t after_month = m + kMarkLength;
  if (!ends_with_mark_after(t, after_month, kDay)) return std::nullopt;
  const auto month = to_ascii_digits(trimmed_between(t, 0, m));
  const auto day = to_ascii_digits(trimmed_between(t, after_month, t.size() - kMarkLength));
  if (!month || !day) return std::nullopt;
  std::string out;
  out.reserve(month->size() + day->size() + 7);
  out.append("--");
  append_padded(out, *month, 2);
  out.push_back('-');
  append_padded(out, *day, 2);
  return out;
}

std::optional<std::string> transform_date_era_ymd_jp(std::string_view text) {
  const std::string_view t = trim_unicode_white_space(text);
  if (t.size() < kEraNameLength) return std::nullopt;
  const std::string_view name = t.substr(0, kEraNameLength);
  const Era* era = nullptr;
  for (const Era& candidate : kEras) {
    if (candidate.name == name) era = &candidate;
  }
  if (era == nullptr) return std::nullopt;
  const std::size_t y = t.find(kYear, kEraNameLength);
  if (y == std::string_view::npos) return std::nullopt;
  const std::size_t m = t.find(kMonth, y + kMarkLength);
  if (m == std::string_view::npos) return std::nullopt;
  const std::size_t after_month = m + kMarkLength;
  if (!ends_with_mark_after(t, after_month, kDay)) return std::nullopt;
  const auto era_year = read_u32(trimmed_between(t, kEraNameLength, y));
  const auto month = read_u32(trimmed_between(t, y + kMarkLength, m));
  const auto day = read_u32(trimmed_between(t, after_month, t.size() - kMarkLength));
  if (!era_year || !month || !day) return std::nullopt;
  // A sum past the unsigned 32-bit range would wrap into a wrong, small year.
  std::uint32_t year = 0;
  if (__builtin_add_overflow(era->base, *era_year, &year)) return std::nullopt;
  std::string out;
  out.reserve(32);
  append_number(out, year, 0);
  out.push_back('-');
  append_number(out, *month, 2);
  out.push_back('-');
  append_number(out, *day, 2);
  return out;
}

}  // namespace quorrel::core
