#pragma once
// Derived receipts: values computed from other receipts of the same batch.

#include <cstdint>
#include <expected>
#include <vector>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "quorrel/core/decimal.hpp"
#include "quorrel/evidence/receipt.hpp"
#include "quorrel/evidence/report.hpp"

namespace quorrel::evidence {

// Receipts of one batch by their stated id; a later receipt with the same id
// replaces an earlier one. Whether a receipt hashes to its own id is worked
// out once per receipt, however many derived receipts name it.
class ReceiptIndex {
 public:
  explicit ReceiptIndex(std::span<const Receipt> receipts);

  const Receipt* find(std::string_view receipt_id) const;
  // True when the receipt stored under this id hashes to it. The id must be in the index.
  bool intact(std::string_view receipt_id) const;

 private:
  std::span<const Receipt> receipts_;
  // (id, position) sorted by id, one entry per id: the last receipt giving it.
  std::vector<std::pair<std::string_view, std::size_t>> by_id_;
  mutable std::vector<std::int8_t> intact_;  // -1 unknown, 0 no, 1 yes
};

// Recomputes a derived value from its operands (exactly two).
[[nodiscard]] std::expected<core::Decimal, EvidenceError> apply(const Operation& operation,
                                                                std::span<const core::Decimal> operands);

[[nodiscard]] VerificationReport verify_derived(const Receipt& receipt, const ReceiptIndex& index);

}  // namespace quorrel::evidence
