#pragma once
// Cutting a JSONL text into its records.

#include <cstddef>
#include <optional>
#include <string_view>
#include <vector>

namespace quorrel::evidence {

// The non-blank lines of a JSONL text, in order, as views into it. Lines end
// at each line feed; a carriage return just before a line feed belongs to the
// line end, any other carriage return stays in its line. Text after the last
// line feed is a last line. Lines that are empty or hold only Unicode white
// space are skipped (a byte-order mark is not white space).
[[nodiscard]] std::vector<std::string_view> jsonl_records(std::string_view text);

// The same records one at a time, each line found as it is asked for, so
// that a reader of a long text meets each line while it is in cache.
class JsonlRecords {
 public:
  explicit JsonlRecords(std::string_view text) noexcept : text_(text) {}
  // The next record, or nothing past the last.
  [[nodiscard]] std::optional<std::string_view> next() noexcept;

 private:
  std::string_view text_;
  std::size_t pos_ = 0;
};

}  // namespace quorrel::evidence
