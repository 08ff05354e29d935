// fuzz-dict: xbrl.dict
// CJK and Japanese era dates, digit folding and Unicode white-space trimming,
// each compared with a plain reference written from the rules. On input that
// is not valid UTF-8 only the shape of the answers is checked.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "fuzz_support.hpp"
#include "quorrel/core/dates.hpp"
#include "quorrel/core/text.hpp"

namespace {

using quorrel::core::is_unicode_white_space;
using quorrel::fuzz::decode_valid_utf8;
using quorrel::fuzz::is_valid_utf8;

constexpr std::string_view kYear = "\xE5\xB9\xB4";   // 年
constexpr std::string_view kMonth = "\xE6\x9C\x88";  // 月
constexpr std::string_view kDay = "\xE6\x97\xA5";    // 日

std::string_view ref_trim(std::string_view s) {
  std::size_t begin = 0;
  while (begin < s.size()) {
    const auto c = decode_valid_utf8(s, begin);
    if (!is_unicode_white_space(c.code_point)) break;
    begin += c.length;
  }
  std::size_t end = s.size();
  while (end > begin) {
    std::size_t start = end - 1;
    while (start > begin && (static_cast<unsigned char>(s[start]) & 0xC0) == 0x80) --start;
    if (!is_unicode_white_space(decode_valid_utf8(s, start).code_point)) break;
    end = start;
  }
  return s.substr(begin, end - begin);
}

std::optional<std::string> ref_fold(std::string_view s) {
  std::string out;
  for (std::size_t i = 0; i < s.size();) {
    const auto c = decode_valid_utf8(s, i);
    i += c.length;
    const char32_t u = c.code_point;
    char d = 0;
    if (u >= U'0' && u <= U'9') {
      d = static_cast<char>('0' + (u - U'0'));
    } else if (u >= 0xFF10 && u <= 0xFF19) {
      d = static_cast<char>('0' + (u - 0xFF10));
    } else {
      switch (u) {
        case 0x3007: case 0x96F6: d = '0'; break;
        case 0x4E00: case 0x58F1: d = '1'; break;
        case 0x4E8C: case 0x5F10: d = '2'; break;
        case 0x4E09: case 0x53C2: d = '3'; break;
        case 0x56DB: d = '4'; break;
        case 0x4E94: d = '5'; break;
        case 0x516D: d = '6'; break;
        case 0x4E03: d = '7'; break;
        case 0x516B: d = '8'; break;
        case 0x4E5D: d = '9'; break;
        default: return std::nullopt;
      }
    }
    out.push_back(d);
  }
  return out;
}

std::string pad(std::string s, std::size_t n) {
  if (s.size() < n) s.insert(0, n - s.size(), '0');
  return s;
}

// Slices "<a>SEP1<b>SEP2<c>" of a trimmed date text; false when the shape is wrong.
bool split_three(std::string_view t, std::size_t from, std::string_view& a, std::string_view& b,
                 std::string_view& c) {
  const std::size_t y = t.find(kYear, from);
  if (y == std::string_view::npos) return false;
  const std::size_t m = t.find(kMonth, y + 3);
  if (m == std::string_view::npos) return false;
  if (t.size() - (m + 3) < 3 || !t.ends_with(kDay)) return false;
  a = ref_trim(t.substr(from, y - from));
  b = ref_trim(t.substr(y + 3, m - (y + 3)));
  c = ref_trim(t.substr(m + 3, t.size() - 3 - (m + 3)));
  return true;
}

std::optional<std::string> ref_ymd(std::string_view text) {
  const std::string_view t = ref_trim(text);
  std::string_view y, m, d;
  if (!split_three(t, 0, y, m, d)) return std::nullopt;
  const auto fy = ref_fold(y), fm = ref_fold(m), fd = ref_fold(d);
  if (!fy || !fm || !fd) return std::nullopt;
  return pad(*fy, 4) + "-" + pad(*fm, 2) + "-" + pad(*fd, 2);
}

std::optional<std::string> ref_two(std::string_view text, std::string_view first, std::string_view last,
                                   bool month_day) {
  const std::string_view t = ref_trim(text);
  const std::size_t p = t.find(first);
  if (p == std::string_view::npos) return std::nullopt;
  if (t.size() - (p + 3) < 3 || !t.ends_with(last)) return std::nullopt;
  const auto a = ref_fold(ref_trim(t.substr(0, p)));
  const auto b = ref_fold(ref_trim(t.substr(p + 3, t.size() - 3 - (p + 3))));
  if (!a || !b) return std::nullopt;
  if (month_day) return "--" + pad(*a, 2) + "-" + pad(*b, 2);
  return pad(*a, 4) + "-" + pad(*b, 2);
}

std::optional<std::uint32_t> read_u32(std::string_view s) {
  const auto folded = ref_fold(s);
  if (!folded || folded->empty()) return std::nullopt;
  std::uint64_t v = 0;
  for (const char c : *folded) {
    v = v * 10 + static_cast<std::uint64_t>(c - '0');
    if (v > 0xFFFFFFFFULL) return std::nullopt;
  }
  return static_cast<std::uint32_t>(v);
}

std::optional<std::string> ref_era(std::string_view text) {
  struct Era {
    std::string_view name;
    std::uint32_t base;
  };
  static constexpr Era kEras[] = {{"\xE4\xBB\xA4\xE5\x92\x8C", 2018},
                                  {"\xE5\xB9\xB3\xE6\x88\x90", 1988},
                                  {"\xE6\x98\xAD\xE5\x92\x8C", 1925},
                                  {"\xE5\xA4\xA7\xE6\xAD\xA3", 1911},
                                  {"\xE6\x98\x8E\xE6\xB2\xBB", 1867}};
  const std::string_view t = ref_trim(text);
  if (t.size() < 6) return std::nullopt;
  std::optional<std::uint32_t> base;
  for (const Era& e : kEras) {
    if (t.substr(0, 6) == e.name) base = e.base;
  }
  if (!base) return std::nullopt;
  std::string_view y, m, d;
  if (!split_three(t, 6, y, m, d)) return std::nullopt;
  const auto ey = read_u32(y), em = read_u32(m), ed = read_u32(d);
  if (!ey || !em || !ed) return std::nullopt;
  const std::uint64_t year = std::uint64_t{*base} + *ey;
  if (year > 0xFFFFFFFFULL) return std::nullopt;
  return std::to_string(year) + "-" + pad(std::to_string(*em), 2) + "-" + pad(std::to_string(*ed), 2);
}

bool only_digits_and_hyphens(const std::string& s) {
  for (const char c : s) {
    if ((c < '0' || c > '9') && c != '-') return false;
  }
  return true;
}

std::string show(const std::optional<std::string>& s) { return s ? "\"" + *s + "\"" : "none"; }

void check_same(const std::optional<std::string>& got, const std::optional<std::string>& want,
                const char* what) {
  FUZZ_CHECK(got == want, std::string(what) + ": got " + show(got) + ", expected " + show(want));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const bool valid = is_valid_utf8(text);

  const std::string_view trimmed = quorrel::core::trim_unicode_white_space(text);
  FUZZ_CHECK(trimmed.data() >= text.data() && trimmed.data() + trimmed.size() <= text.data() + text.size(),
             "trim left the text");
  FUZZ_CHECK(quorrel::core::is_blank(text) == trimmed.empty(), "is_blank disagrees with trim");

  const auto folded = quorrel::core::to_ascii_digits(text);
  const auto ymd = quorrel::core::transform_date_ymd_cjk(text);
  const auto ym = quorrel::core::transform_date_ym_cjk(text);
  const auto md = quorrel::core::transform_date_md_cjk(text);
  const auto era = quorrel::core::transform_date_era_ymd_jp(text);

  if (valid) {
    const std::string_view want = ref_trim(text);
    FUZZ_CHECK(trimmed.data() == want.data() && trimmed.size() == want.size(), std::string(trimmed));
    check_same(folded, ref_fold(text), "to_ascii_digits");
    check_same(ymd, ref_ymd(text), "transform_date_ymd_cjk");
    check_same(ym, ref_two(text, kYear, kMonth, false), "transform_date_ym_cjk");
    check_same(md, ref_two(text, kMonth, kDay, true), "transform_date_md_cjk");
    check_same(era, ref_era(text), "transform_date_era_ymd_jp");
  } else {
    // A byte that starts no well-formed character is never a digit.
    FUZZ_CHECK(!folded, *folded);
  }
  for (const auto* out : {&folded, &ymd, &ym, &md, &era}) {
    if (*out) FUZZ_CHECK(only_digits_and_hyphens(**out), **out);
  }
  if (folded) FUZZ_CHECK(folded->size() <= text.size(), *folded);
  return 0;
}
