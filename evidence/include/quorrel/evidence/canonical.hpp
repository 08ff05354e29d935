#pragma once
// The canonical body of a receipt and the receipt id derived from it.
//
// The body is ["er/0.2",{claim},[{evidence},...],{derivation}|null], written
// compactly with the receipt writing rules; the receipt's own schema, id and
// attestation never enter it. The id is "er_" followed by the lower-case
// hexadecimal SHA-256 of the body (67 characters in all).

#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "quorrel/core/decimal.hpp"
#include "quorrel/evidence/crypto.hpp"
#include "quorrel/evidence/json_writer.hpp"
#include "quorrel/evidence/receipt.hpp"

namespace quorrel::evidence {

// Appends the canonical body to out. The claim and the evidence list are
// records, views or WrittenJson (as a receipt line holds them); the
// derivation is an optional record or view, or std::nullopt. Gives where the
// claim and the evidence list were written, as views into out that are
// valid until it changes.
template <class ClaimPart, class EvidencePart, class DerivationPart>
WrittenParts append_canonical_body(const ClaimPart& claim, const EvidencePart& evidence,
                                const DerivationPart& derivation, std::string& out) {
  out.push_back('[');
  write_json_string(kSchema, out);
  out.push_back(',');
  const std::size_t claim_begin = out.size();
  write_json(claim, out);
  const std::size_t claim_end = out.size();
  out.push_back(',');
  write_json(evidence, out);
  const std::size_t evidence_end = out.size();
  out.push_back(',');
  if constexpr (std::is_same_v<DerivationPart, std::nullopt_t>) {
    out.append("null");
  } else if (derivation) {
    write_json(*derivation, out);
  } else {
    out.append("null");
  }
  out.push_back(']');
  const std::string_view written(out);
  return {{written.substr(claim_begin, claim_end - claim_begin)},
          {written.substr(claim_end + 1, evidence_end - claim_end - 1)}};
}

template <class Text>
WrittenParts append_canonical_body(const BasicReceipt<Text>& receipt, std::string& out) {
  return append_canonical_body(receipt.claim, receipt.evidence, receipt.derivation, out);
}

[[nodiscard]] std::string canonical_body(const Claim& claim, const std::vector<Evidence>& evidence,
                                         const std::optional<Derivation>& derivation);

[[nodiscard]] std::string receipt_id_for(const Claim& claim, const std::vector<Evidence>& evidence,
                                         const std::optional<Derivation>& derivation);

// The id of an already written canonical body: "er_" and its hexadecimal digest.
[[nodiscard]] std::string receipt_id_of_body(std::string_view body, Sha256& sha);
// The same id written into a caller's buffer (its content is replaced), so
// that checking many receipts reuses one allocation.
void receipt_id_of_body_into(std::string_view body, Sha256& sha, std::string& out);

// The canonical text of a number, which a stated receipt claims: the
// normalized decimal in positional notation, no exponent (1500000.00 gives 1500000,
// -0.50 gives -0.5, any zero gives 0), appended to out. It never needs
// escaping in JSON.
void append_canonical_text(const core::Decimal& value, std::string& out);

}  // namespace quorrel::evidence
