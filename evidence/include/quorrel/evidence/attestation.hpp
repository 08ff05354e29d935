#pragma once
// The "attestation" check: an Ed25519 signature over the receipt's canonical body.

#include <optional>
#include <string_view>

#include "quorrel/evidence/receipt.hpp"
#include "quorrel/evidence/report.hpp"

namespace quorrel::evidence {

// No check when the receipt carries no attestation.
[[nodiscard]] std::optional<Check> attestation_check(const Receipt& receipt);

// The same, given the receipt's canonical body already built by the caller.
template <class Text>
[[nodiscard]] std::optional<Check> attestation_check(const BasicReceipt<Text>& receipt,
                                                     std::string_view canonical_body);

}  // namespace quorrel::evidence
