#pragma once
// EvidenceError, the one error type of the evidence library. Errors are
// passed on with QUORREL_TRY from the core library's error.hpp.

#include <cstddef>
#include <expected>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

#include "quorrel/core/error.hpp"

namespace quorrel::evidence {

class EvidenceError {
 public:
  enum class Kind { SourceParse, ReceiptSerialization, DerivationFailed, SigningFailed, UnreadableReceipt, PrivateKey };

  // "source parse failed: {}" around the parse error's rendered text.
  static EvidenceError source_parse(std::string parse_error_text);
  // "receipt serialization failed: {}".
  static EvidenceError receipt_serialization(std::string writer_error_text);
  // "derivation failed: {}".
  static EvidenceError derivation_failed(std::string reason);
  // "signing failed: {}".
  static EvidenceError signing_failed(std::string reason);
  // "{what}: {}" around a receipt text's rendered read error, `what` naming the text.
  static EvidenceError unreadable_receipt(std::string_view what, std::string read_error_text);
  // "not an unencrypted Ed25519 private key: {}".
  static EvidenceError private_key(std::string reason);
  // Derivation failures of applying an operation.
  static EvidenceError operation_arity(std::size_t needed, std::size_t got);
  static EvidenceError division_by_zero();

  Kind kind() const noexcept { return kind_; }
  // The variant's payload, without the variant's prefix.
  const std::string& payload() const noexcept { return payload_; }
  // The full message, e.g. "derivation failed: division by zero".
  std::string render() const;

  bool operator==(const EvidenceError&) const = default;

 private:
  EvidenceError(Kind kind, std::string payload) : kind_(kind), payload_(std::move(payload)) {}

  Kind kind_;
  std::string payload_;
};

}  // namespace quorrel::evidence
