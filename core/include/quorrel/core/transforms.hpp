#pragma once
// The inline transformation registry: which "format" names the system knows,
// what the text names do to a non-numeric fact, and the text-cleaning steps
// that turn a numeric fact's displayed text into a candidate for the decimal
// parser. A name the registry does not know is never an error.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace quorrel::core {

// The part of a written format after its last ':' (all of it when there is
// no colon), with ASCII letters folded to lower case. Other characters stay.
[[nodiscard]] std::string format_name(std::string_view format);

// The numeric rule a format selects. Matching reduces the text to its name and
// ignores ASCII letter case, so a written format or its name both work.
enum class NumericRule { Default, NumberWords, ZeroDash, CommaDecimal };
[[nodiscard]] NumericRule numeric_rule(std::string_view format_name) noexcept;

// The value of a non-numeric fact after its transformation: a CJK or Japanese
// era date, a fixed text ("", "true", "false"), or the text unchanged (not
// trimmed) for no format, an unknown name, or a date that does not parse.
[[nodiscard]] std::string apply_text_transform(std::optional<std::string_view> format,
                                               std::string_view text);

// English number words ("Twenty-One Thousand" -> 21000) on already trimmed
// text. Words split at '-' and at runs of Unicode white space; an unknown
// word, no word at all, or a result past the unsigned 64-bit range gives
// std::nullopt.
[[nodiscard]] std::optional<std::uint64_t> number_words(std::string_view trimmed_text);

// The cleaning of a numeric fact's text before the decimal parse: trim, number
// words, removal of U+0020 and U+00A0, accounting parentheses, zero dash,
// separators, the negative mark, the empty check and the "sign" attribute.
// `format` and `sign` are the fact's inline "format" and "sign" (absent for
// plain facts). Returns the text to parse, or std::nullopt when the cleaned
// text is empty. The candidate is not checked to be a number: "(+5)" gives
// "-+5", which the decimal parser rejects.
[[nodiscard]] std::optional<std::string> numeric_candidate(std::string_view raw_text,
                                                           std::optional<std::string_view> format,
                                                           std::optional<std::string_view> sign);

}  // namespace quorrel::core
