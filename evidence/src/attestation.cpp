#include "quorrel/evidence/attestation.hpp"

#include <string>

#include "quorrel/evidence/canonical.hpp"
#include "quorrel/evidence/ed25519.hpp"

namespace quorrel::evidence {

template <class Text>
std::optional<Check> attestation_check(const BasicReceipt<Text>& receipt, std::string_view canonical_body) {
  if (!receipt.attestation) return std::nullopt;
  const BasicAttestation<Text>& a = *receipt.attestation;
  if (attestation_signature_valid(a.alg, a.public_key, a.sig, canonical_body)) {
    return Check::passed(CheckName::Attestation);
  }
  // One detail for every cause: the cause is not reported.
  return Check::failed(CheckName::Attestation, "signature invalid over canonical body");
}

template std::optional<Check> attestation_check(const BasicReceipt<std::string>&, std::string_view);
template std::optional<Check> attestation_check(const BasicReceipt<std::string_view>&, std::string_view);

std::optional<Check> attestation_check(const Receipt& receipt) {
  if (!receipt.attestation) return std::nullopt;
  std::string body;
  append_canonical_body(receipt, body);
  return attestation_check(receipt, body);
}

}  // namespace quorrel::evidence
