#pragma once
// Verification of stated receipts against the source, and the two entry
// points that the Python module exposes.

#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "quorrel/core/types.hpp"
#include "quorrel/evidence/crypto.hpp"
#include "quorrel/evidence/receipt.hpp"
#include "quorrel/evidence/report.hpp"
#include "quorrel/evidence/source_context.hpp"

namespace quorrel::evidence {

// "Some((120, 245))" or "None".
std::string render_byte_range(const std::optional<core::ByteRange>& range);

// Checks one receipt without a derivation against the loaded source.
[[nodiscard]] VerificationReport verify_in(const SourceContext& context, const Receipt& receipt);

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
[[nodiscard]] VerificationReport verify_in(const SourceContext& context, const Receipt& receipt,
                                           VerifyScratch& scratch);

// receipts_for_bytes: the JSONL of one stated receipt per numeric fact, or
// the message of the error that stopped it.
[[nodiscard]] std::expected<std::string, std::string> receipts_jsonl(std::string_view source_bytes,
                                                                     std::string_view doc_id, std::string_view uri,
                                                                     const std::optional<std::string_view>& authority);

// verify_bytes: the summary JSON, or the message of the error that stopped it.
[[nodiscard]] std::expected<std::string, std::string> verify_jsonl(std::string_view receipts_jsonl,
                                                                   std::string_view source_bytes);

}  // namespace quorrel::evidence
