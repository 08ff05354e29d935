// fuzz-dict: json.dict
// The receipt reader on single JSON lines. A rejected line gives a message
// "{description} at line {n} column {m}" whose position lies inside the
// input; an accepted line, written back with the receipt writer, reads again
// as an equal receipt, and writing that one gives the same text. View mode,
// reading over a reused view, gives the same receipt or the same error, and
// the claim and evidence list it gives as written are what the writer writes.

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

  // A reused view that holds another receipt first, so that nothing left over can pass unnoticed.
  static quorrel::evidence::ViewedReceipt viewed;
  (void)quorrel::evidence::read_receipt(
      R"({"schema":"s","receipt_id":"r","claim":{"value":"1","unit":"\u0075","kind":"stated","doc_id":"d"},)"
      R"("evidence":[{"source_artifact":{"uri":"u","sha256":"h","authority":"a"},"locator":{"profile":"xbrl",)"
      R"("concept":"c","context_ref":"x","byte_range":[1,2]},"extraction":{"engine":"e"}}],)"
      R"("attestation":{"alg":"a","public_key":"b","sig":"c"}})",
      viewed);
  const auto view = quorrel::evidence::read_receipt(line, viewed);
  FUZZ_CHECK(view.has_value() == receipt.has_value(), "view mode disagrees on success");
  if (!receipt) {
    FUZZ_CHECK(view.error() == receipt.error(), view.error().render());
  } else {
    FUZZ_CHECK(quorrel::evidence::with_texts<std::string>(viewed.receipt) == *receipt, "view mode reads another receipt");
    if (viewed.written) {
      std::string claim;
      quorrel::evidence::write_json(receipt->claim, claim);
      std::string evidence;
      quorrel::evidence::write_json(receipt->evidence, evidence);
      FUZZ_CHECK(viewed.written->claim.text == claim && viewed.written->evidence.text == evidence, std::string(line));
    }
  }

  if (!receipt) {
    const std::string rendered = receipt.error().render();
    std::string_view message = rendered;
    std::uint64_t line_no = 0, column = 0;
    bool shaped = take_trailing_number(message, column) && message.ends_with(" column ");
    if (shaped) {
      message.remove_suffix(std::string_view(" column ").size());
      shaped = take_trailing_number(message, line_no) && message.ends_with(" at line ");
    }
    FUZZ_CHECK(shaped, rendered);
    message.remove_suffix(std::string_view(" at line ").size());
    FUZZ_CHECK(!message.empty(), rendered);
    std::uint64_t line_feeds = 0;
    for (const char c : line) line_feeds += c == '\n';
    FUZZ_CHECK(line_no >= 1 && line_no <= line_feeds + 1, rendered);
    FUZZ_CHECK(column <= size, rendered);
    return 0;
  }

  std::string written;
  quorrel::evidence::write_receipt(*receipt, written);
  const auto again = quorrel::evidence::read_receipt(written);
  FUZZ_CHECK(again.has_value(), "written receipt does not read: " + (again ? std::string() : again.error().render()) +
                                    "\n  " + written);
  FUZZ_CHECK(*again == *receipt, "written receipt reads differently: " + written);
  std::string rewritten;
  quorrel::evidence::write_receipt(*again, rewritten);
  FUZZ_CHECK(rewritten == written, rewritten);
  FUZZ_CHECK(written.find('\n') == std::string::npos, written);
  return 0;
}
