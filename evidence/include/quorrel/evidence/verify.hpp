#pragma once
// Verification of stated receipts against the source, and of a batch of
// receipts (verify_bytes).

#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "quorrel/core/types.hpp"
#include "quorrel/evidence/crypto.hpp"
#include "quorrel/evidence/error.hpp"
#include "quorrel/evidence/receipt.hpp"
#include "quorrel/evidence/receipt_reader.hpp"
#include "quorrel/evidence/report.hpp"
#include "quorrel/evidence/source_context.hpp"

namespace quorrel::evidence {

// "Some((120, 245))" or "None".
std::string render_byte_range(const std::optional<core::ByteRange>& range);

// What checking stated receipts needs besides the receipts and the source:
// a hashing context and buffers, reused from receipt to receipt.
struct VerifyScratch {
  Sha256 sha;
  std::vector<std::string> bodies;
  std::vector<std::string_view> views;
  std::vector<Digest> digests;
  std::string key;  // a locator's fact key, as the index compares it
  std::string id;   // the id a receipt's body hashes to
  std::size_t next_position = 0;  // just past the last fact found: where the next is looked for first
};

// What checking one receipt without a derivation gives: its report, and
// whether its body hashes to its stated id whatever its schema (what a
// derived receipt naming it asks of it).
struct StatedOutcome {
  VerificationReport report;
  bool intact = false;
};

// Checks receipts without a derivation against the loaded source, out[i]
// for receipts[i] (its buffers reused). A receipt's canonical body is put
// together from `written` when it is given; the bodies are hashed together.
void verify_in(const SourceContext& context, std::span<const ViewedReceipt> receipts, VerifyScratch& scratch,
               std::span<StatedOutcome> out);

// The same for a receipt record.
[[nodiscard]] VerificationReport verify_in(const SourceContext& context, const Receipt& receipt);

// What stops verify_jsonl: the source does not parse, or a line does not
// read as a receipt.
using VerifyError = std::variant<EvidenceError, ReceiptReadError>;
std::string render(const VerifyError& error);

// verify_bytes: the summary JSON of the receipts of a JSONL text (one per
// non-blank line) against the source.
[[nodiscard]] std::expected<std::string, VerifyError> verify_jsonl(std::string_view receipts_jsonl,
                                                                   std::string_view source_bytes);

}  // namespace quorrel::evidence
