#pragma once
// Dates written with CJK date characters (年 year, 月 month, 日 day), turned
// into ISO-style date texts, and the digit folding they read numbers with.
// Every operation works on UTF-8 text, never splits a multi-byte character,
// and answers "no date" (std::nullopt) rather than failing.

#include <optional>
#include <string>
#include <string_view>

namespace quorrel::core {

// Folds ASCII digits, full-width digits (U+FF10..U+FF19) and the CJK numeral
// characters 〇零 一壱 二弐 三参 四 五 六 七 八 九 to ASCII digits, one digit per
// character. Any other character (十 and 百 included) makes the folding fail.
// The empty text folds to the empty text.
[[nodiscard]] std::optional<std::string> to_ascii_digits(std::string_view text);

// "2024年3月5日" -> "2024-03-05": year padded to 4 digits, month and day to 2
// (never cut); folded digits are kept as written and no range is enforced.
[[nodiscard]] std::optional<std::string> transform_date_ymd_cjk(std::string_view text);

// "2024年3月" -> "2024-03".
[[nodiscard]] std::optional<std::string> transform_date_ym_cjk(std::string_view text);

// "12月25日" -> "--12-25".
[[nodiscard]] std::optional<std::string> transform_date_md_cjk(std::string_view text);

// "令和5年3月31日" -> "2023-03-31": a Japanese era name (令和 平成 昭和 大正 明治),
// era year, month and day, each read as an unsigned 32-bit number. The year is
// the era's base plus the era year, written without zero fill; month and day
// lose their leading zeros and are filled to two digits. An era year whose sum
// with the base leaves the unsigned 32-bit range gives no date.
[[nodiscard]] std::optional<std::string> transform_date_era_ymd_jp(std::string_view text);

}  // namespace quorrel::core
