#include "quorrel/evidence/jsonl.hpp"

#include "quorrel/core/text.hpp"

#include <cstring>

namespace quorrel::evidence {

std::vector<std::string_view> jsonl_records(std::string_view text) {
  std::vector<std::string_view> records;
  const char* const data = text.data();
  const std::size_t size = text.size();
  std::size_t pos = 0;
  while (pos < size) {
    const auto* lf = static_cast<const char*>(std::memchr(data + pos, '\n', size - pos));
    std::size_t end = size;
    std::size_t next = size;
    if (lf != nullptr) {
      end = static_cast<std::size_t>(lf - data);
      next = end + 1;
      if (end > pos && data[end - 1] == '\r') --end;
    }
    const std::string_view line(data + pos, end - pos);
    // A record nearly always opens with its brace, which no blank line holds.
    if ((!line.empty() && line.front() == '{') || !core::is_blank(line)) records.push_back(line);
    pos = next;
  }
  return records;
}

}  // namespace quorrel::evidence
