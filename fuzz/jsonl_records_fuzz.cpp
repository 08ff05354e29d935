// fuzz-dict: json.dict
// The JSONL record splitter: every record is a non-blank slice of the input
// holding no line feed, records come in input order, and they are exactly the
// non-blank lines of a plain reference split (a carriage return just before a
// line feed belongs to the line end).

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_support.hpp"
#include "quorrel/core/text.hpp"
#include "quorrel/evidence/jsonl.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const std::vector<std::string_view> records = quorrel::evidence::jsonl_records(text);

  std::vector<std::string_view> expected;
  std::size_t pos = 0;
  while (pos < text.size()) {
    const std::size_t lf = text.find('\n', pos);
    std::string_view line = text.substr(pos, lf == std::string_view::npos ? std::string_view::npos : lf - pos);
    if (lf != std::string_view::npos && line.ends_with('\r')) line.remove_suffix(1);
    if (!quorrel::core::is_blank(line)) expected.push_back(line);
    pos = lf == std::string_view::npos ? text.size() : lf + 1;
  }

  FUZZ_CHECK(records.size() == expected.size(),
             std::to_string(records.size()) + " records, expected " + std::to_string(expected.size()));
  const char* previous_end = text.data();
  for (std::size_t i = 0; i < records.size(); ++i) {
    const std::string_view r = records[i];
    FUZZ_CHECK(r.data() >= previous_end && r.data() + r.size() <= text.data() + text.size(),
               "record " + std::to_string(i) + " is not an in-order slice of the input");
    FUZZ_CHECK(r.data() == expected[i].data() && r.size() == expected[i].size(),
               "record " + std::to_string(i) + ": " + std::string(r));
    FUZZ_CHECK(r.find('\n') == std::string_view::npos, std::string(r));
    FUZZ_CHECK(!quorrel::core::is_blank(r), std::string(r));
    previous_end = r.data() + r.size();
  }
  return 0;
}
