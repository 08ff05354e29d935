#pragma once
// Verification of stated receipts against the source, and of a batch of
// receipts (verify_bytes).

#include <expected>
#include <optional>
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

// What checking one receipt needs besides the receipt and the source: a
// hashing context and buffers. Verifying a batch reuses one, so that a
// receipt costs no fresh context and no fresh buffers.
struct VerifyScratch {
  Sha256 sha;
  std::string body;
  std::string key;  // a locator's fact key, as the index compares it
  std::string id;   // the id the receipt's body hashes to
  std::size_t next_position = 0;  // just past the last fact found: where the next is looked for first
};

// Checks one receipt without a derivation against the loaded source, writing
// its report into `report` (whose buffers are reused). The canonical body is
// put together from `receipt.written` when it is given. Returns whether the
// body hashes to the stated id, whatever the schema: what a derived receipt
// naming this one asks of it.
bool verify_in(const SourceContext& context, const ViewedReceipt& receipt, VerifyScratch& scratch,
               VerificationReport& report);

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
