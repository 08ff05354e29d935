// fuzz-dict: xbrl.dict
// fuzz-seeds: documents
// Receipts built from any document verify against that same document. When
// receipts_jsonl succeeds, every line reads as a stated receipt whose id is
// the hash of its canonical body, whose source digest is the document's, whose
// value is a canonical decimal text and whose byte range covers an element of
// the document; verify_jsonl on the output reports no failure and one pass per
// line. A receipt whose value is then changed, even with its id recomputed,
// fails while the others still pass.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_support.hpp"
#include "quorrel/core/decimal.hpp"
#include "quorrel/evidence/canonical.hpp"
#include "quorrel/evidence/crypto.hpp"
#include "quorrel/evidence/json_writer.hpp"
#include "quorrel/evidence/jsonl.hpp"
#include "quorrel/evidence/receipt_reader.hpp"
#include "quorrel/evidence/receipts.hpp"
#include "quorrel/evidence/verify.hpp"

namespace ev = quorrel::evidence;
using quorrel::core::Decimal;

namespace {

std::string summary_of(std::size_t fail, std::size_t pass) {
  return "{\"fail\":" + std::to_string(fail) + ",\"failures\":[" + "],\"pass\":" + std::to_string(pass) + "}";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view source(reinterpret_cast<const char*>(data), size);
  const auto receipts = ev::receipts_jsonl(source, "doc-1", "https://example.com/doc.xhtml",
                                           std::optional<std::string_view>("Example Registry"));
  if (!receipts) {
    FUZZ_CHECK(!receipts.error().render().empty(), "empty error message");
    return 0;
  }
  FUZZ_CHECK(receipts->empty() || receipts->back() == '\n', "output does not end with a line feed");
  const std::vector<std::string_view> lines = ev::jsonl_records(*receipts);
  std::size_t line_feeds = 0;
  for (const char c : *receipts) line_feeds += c == '\n';
  FUZZ_CHECK(lines.size() == line_feeds, "blank receipt line");

  std::string_view body = source;
  if (body.starts_with("\xEF\xBB\xBF")) body.remove_prefix(3);
  const std::string digest = ev::sha256_hex(source);
  std::optional<ev::Receipt> first;
  for (const std::string_view line : lines) {
    const auto receipt = ev::read_receipt(line);
    FUZZ_CHECK(receipt.has_value(), "receipt does not read: " + (receipt ? std::string() : receipt.error().render()));
    const auto id = ev::receipt_id_for(receipt->claim, receipt->evidence, receipt->derivation);
    FUZZ_CHECK(id == receipt->receipt_id, "receipt id is not the hash of its body: " + std::string(line));
    FUZZ_CHECK(receipt->claim.kind == ev::ClaimKind::Stated && receipt->evidence.size() == 1, std::string(line));
    const auto value = Decimal::parse(receipt->claim.value);
    FUZZ_CHECK(value && value->normalize().render() == receipt->claim.value,
               "value is not canonical: " + receipt->claim.value);
    const ev::Evidence& evidence = receipt->evidence.front();
    FUZZ_CHECK(evidence.source_artifact.sha256 == digest, "source digest");
    const auto& range = evidence.locator.byte_range;
    FUZZ_CHECK(range && range->first < range->second && range->second <= body.size() &&
                   body[range->first] == '<' && body[range->second - 1] == '>',
               "byte range does not cover an element: " + std::string(line));
    if (!first) first = *receipt;
  }

  const auto summary = ev::verify_jsonl(*receipts, source);
  FUZZ_CHECK(summary.has_value(), "verification failed: " + (summary ? std::string() : ev::render(summary.error())));
  FUZZ_CHECK(*summary == summary_of(0, lines.size()), *summary);
  if (!first) return 0;

  // Change the first receipt's value by one and give it the id of its new body.
  const auto changed = Decimal::parse(first->claim.value)->add(Decimal::from_int(1));
  if (!changed) return 0;
  ev::Receipt forged = *first;
  forged.claim.value = changed->normalize().render();
  const auto forged_id = ev::receipt_id_for(forged.claim, forged.evidence, forged.derivation);
  forged.receipt_id = forged_id;
  std::string tampered;
  ev::write_receipt(forged, tampered);
  tampered.push_back('\n');
  tampered.append(*receipts, lines.front().size() + 1);
  const auto verdict = ev::verify_jsonl(tampered, source);
  FUZZ_CHECK(verdict.has_value(), "verification of the changed text failed: " + (verdict ? "" : ev::render(verdict.error())));
  FUZZ_CHECK(verdict->starts_with("{\"fail\":1,") && verdict->ends_with(",\"pass\":" + std::to_string(lines.size() - 1) + "}"),
             "changed value still verifies: " + *verdict);
  return 0;
}
