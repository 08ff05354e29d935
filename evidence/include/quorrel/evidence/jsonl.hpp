#pragma once
// Cutting a JSONL text into its records.

#include <string_view>
#include <vector>

namespace quorrel::evidence {

// The non-blank lines of a JSONL text, in order, as views into it. Lines end
// at each line feed; a carriage return just before a line feed belongs to the
// line end, any other carriage return stays in its line. Text after the last
// line feed is a last line. Lines that are empty or hold only Unicode white
// space are skipped (a byte-order mark is not white space).
[[nodiscard]] std::vector<std::string_view> jsonl_records(std::string_view text);

}  // namespace quorrel::evidence
