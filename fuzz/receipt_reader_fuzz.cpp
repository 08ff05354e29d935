// fuzz-dict: json.dict
// The receipt reader on single JSON lines. A rejected line gives a message
// "{description} at line {n} column {m}" whose position lies inside the
// input; an accepted line, written back with the receipt writer, reads again
// as an equal receipt, and writing that one gives the same text. Reading
// over a reused receipt with the direct path for the writer's own form gives
// the same receipt or the same error, and any slices it gives are what the
// writer writes for the claim and the evidence list.

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

  // A reused receipt that starts out full, so that nothing left over can pass unnoticed.
  quorrel::evidence::Receipt reused;
  reused.claim.unit = "stale";
  reused.evidence.resize(3);
  reused.evidence[0].locator.byte_range = quorrel::evidence::ByteRange{1, 2};
  reused.evidence[0].source_artifact.authority = "stale";
  reused.attestation = quorrel::evidence::Attestation{"a", "b", "c"};
  quorrel::evidence::CanonicalSlices slices;
  const auto into = quorrel::evidence::read_receipt_into(line, reused, &slices);
  FUZZ_CHECK(into.has_value() == receipt.has_value(), "the direct path disagrees on success");
  if (!receipt) {
    FUZZ_CHECK(into.error() == receipt.error() && !slices.present(), into.error().render());
  } else {
    FUZZ_CHECK(reused == *receipt, "the direct path reads another receipt");
    if (slices.present()) {
      std::string claim;
      quorrel::evidence::write_json(receipt->claim, claim);
      std::string evidence;
      quorrel::evidence::write_json(receipt->evidence, evidence);
      FUZZ_CHECK(slices.claim == claim && slices.evidence == evidence, std::string(line));
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
