#include "quorrel/evidence/jsonl.hpp"

#include "quorrel/core/text.hpp"

#include <cstring>

namespace quorrel::evidence {

std::optional<std::string_view> JsonlRecords::next() noexcept {
  const char* const data = text_.data();
  const std::size_t size = text_.size();
  while (pos_ < size) {
    const std::size_t pos = pos_;
    const auto* lf = static_cast<const char*>(std::memchr(data + pos, '\n', size - pos));
    std::size_t end = size;
    pos_ = size;
    if (lf != nullptr) {
      end = static_cast<std::size_t>(lf - data);
      pos_ = end + 1;
      if (end > pos && data[end - 1] == '\r') --end;
    }
    const std::string_view line(data + pos, end - pos);
    // A record nearly always opens with its brace, which no blank line holds.
    if ((!line.empty() && line.front() == '{') || !core::is_blank(line)) return line;
  }
  return std::nullopt;
}

std::vector<std::string_view> jsonl_records(std::string_view text) {
  std::vector<std::string_view> records;
  JsonlRecords cursor(text);
  while (const std::optional<std::string_view> line = cursor.next()) records.push_back(*line);
  return records;
}

}  // namespace quorrel::evidence
