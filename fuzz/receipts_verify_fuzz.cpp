// fuzz-dict: xbrl.dict
// fuzz-seeds: documents
// Receipts built from any document verify against that same document: when
// receipts_jsonl succeeds, verify_jsonl on its output reports no failure and
// one pass per receipt line, and the two agree on whether the source parses.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "fuzz_support.hpp"
#include "quorrel/evidence/jsonl.hpp"
#include "quorrel/evidence/verify.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view source(reinterpret_cast<const char*>(data), size);
  const auto receipts = quorrel::evidence::receipts_jsonl(source, "doc-1", "https://example.com/doc.xhtml",
                                                          std::optional<std::string_view>("Example Registry"));
  if (!receipts) {
    FUZZ_CHECK(!receipts.error().empty(), "empty error message");
    return 0;
  }
  std::size_t lines = 0;
  for (const char c : *receipts) lines += c == '\n';
  FUZZ_CHECK(receipts->empty() || receipts->back() == '\n', "output does not end with a line feed");
  FUZZ_CHECK(quorrel::evidence::jsonl_records(*receipts).size() == lines, "blank receipt line");

  const auto summary = quorrel::evidence::verify_jsonl(*receipts, source);
  FUZZ_CHECK(summary.has_value(), "verification failed: " + (summary ? std::string() : summary.error()));
  const std::string expected = "{\"fail\":0,\"failures\":[],\"pass\":" + std::to_string(lines) + "}";
  FUZZ_CHECK(*summary == expected, *summary);
  return 0;
}
