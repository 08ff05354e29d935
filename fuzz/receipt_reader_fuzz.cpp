// fuzz-dict: json.dict
// The receipt reader on single JSON lines. A rejected line gives a message
// "{description} at line {n} column {m}" whose position lies inside the
// input; an accepted line, written back with the receipt writer, reads again
// as an equal receipt, and writing that one gives the same text.

#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_support.hpp"
#include "quorrel/evidence/json_writer.hpp"
#include "quorrel/evidence/receipt_reader.hpp"

namespace {

// Reads the unsigned number at the end of `text` and cuts it off.
bool take_trailing_number(std::string_view& text, std::uint64_t& value) {
  std::size_t digits = 0;
  while (digits < text.size() && text[text.size() - 1 - digits] >= '0' && text[text.size() - 1 - digits] <= '9') {
    ++digits;
  }
  if (digits == 0 || digits > 19) return false;
  value = 0;
  for (const char c : text.substr(text.size() - digits)) value = value * 10 + static_cast<std::uint64_t>(c - '0');
  text.remove_suffix(digits);
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view line(reinterpret_cast<const char*>(data), size);
  const auto receipt = quorrel::evidence::read_receipt(line);
  if (!receipt) {
    std::string_view message = receipt.error();
    std::uint64_t line_no = 0, column = 0;
    bool shaped = take_trailing_number(message, column) && message.ends_with(" column ");
    if (shaped) {
      message.remove_suffix(std::string_view(" column ").size());
      shaped = take_trailing_number(message, line_no) && message.ends_with(" at line ");
    }
    FUZZ_CHECK(shaped, receipt.error());
    message.remove_suffix(std::string_view(" at line ").size());
    FUZZ_CHECK(!message.empty(), receipt.error());
    std::uint64_t line_feeds = 0;
    for (const char c : line) line_feeds += c == '\n';
    FUZZ_CHECK(line_no >= 1 && line_no <= line_feeds + 1, receipt.error());
    FUZZ_CHECK(column <= size, receipt.error());
    return 0;
  }

  std::string written;
  quorrel::evidence::write_receipt(*receipt, written);
  const auto again = quorrel::evidence::read_receipt(written);
  FUZZ_CHECK(again.has_value(), "written receipt does not read: " + (again ? std::string() : again.error()) +
                                    "\n  " + written);
  FUZZ_CHECK(*again == *receipt, "written receipt reads differently: " + written);
  std::string rewritten;
  quorrel::evidence::write_receipt(*again, rewritten);
  FUZZ_CHECK(rewritten == written, rewritten);
  FUZZ_CHECK(written.find('\n') == std::string::npos, written);
  return 0;
}
