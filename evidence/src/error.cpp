#include "quorrel/evidence/error.hpp"

#include <string_view>

namespace quorrel::evidence {

EvidenceError EvidenceError::source_parse(std::string parse_error_text) {
  return EvidenceError(Kind::SourceParse, std::move(parse_error_text));
}

EvidenceError EvidenceError::receipt_serialization(std::string writer_error_text) {
  return EvidenceError(Kind::ReceiptSerialization, std::move(writer_error_text));
}

EvidenceError EvidenceError::derivation_failed(std::string reason) {
  return EvidenceError(Kind::DerivationFailed, std::move(reason));
}

EvidenceError EvidenceError::signing_failed(std::string reason) {
  return EvidenceError(Kind::SigningFailed, std::move(reason));
}

EvidenceError EvidenceError::unreadable_receipt(std::string_view what, std::string read_error_text) {
  read_error_text.insert(0, ": ");
  read_error_text.insert(0, what);
  return EvidenceError(Kind::UnreadableReceipt, std::move(read_error_text));
}

EvidenceError EvidenceError::private_key(std::string reason) { return EvidenceError(Kind::PrivateKey, std::move(reason)); }

EvidenceError EvidenceError::operation_arity(std::size_t needed, std::size_t got) {
  std::string reason = "operation needs ";
  reason += std::to_string(needed);
  reason += " inputs, got ";
  reason += std::to_string(got);
  return derivation_failed(std::move(reason));
}

EvidenceError EvidenceError::division_by_zero() { return derivation_failed("division by zero"); }

std::string EvidenceError::render() const {
  std::string_view prefix;
  switch (kind_) {
    case Kind::SourceParse:
      prefix = "source parse failed: ";
      break;
    case Kind::ReceiptSerialization:
      prefix = "receipt serialization failed: ";
      break;
    case Kind::DerivationFailed:
      prefix = "derivation failed: ";
      break;
    case Kind::SigningFailed:
      prefix = "signing failed: ";
      break;
    case Kind::UnreadableReceipt:
      break;  // the payload names the text
    case Kind::PrivateKey:
      prefix = "not an unencrypted Ed25519 private key: ";
      break;
  }
  std::string out;
  out.reserve(prefix.size() + payload_.size());
  out.append(prefix);
  out.append(payload_);
  return out;
}

}  // namespace quorrel::evidence
