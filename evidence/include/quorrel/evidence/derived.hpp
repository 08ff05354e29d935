#pragma once
// Derived receipts: values computed from other receipts of the same batch.

#include <cstdint>
#include <expected>
#include <vector>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "quorrel/core/decimal.hpp"
#include "quorrel/evidence/receipt.hpp"
#include "quorrel/evidence/error.hpp"
#include "quorrel/evidence/report.hpp"

namespace quorrel::evidence {

// Receipts of one batch by their stated id; a later receipt with the same id
// replaces an earlier one. Whether a receipt hashes to its own id is worked
// out at most once per receipt, however many derived receipts name it.
class ReceiptIndex {
 public:
  // What a derived receipt reads of a receipt it names.
  struct Parent {
    std::string_view receipt_id;     // as the receipt states it
    std::string_view claimed_value;
    std::size_t position = 0;        // in the batch
    // Whether its body hashes to its id: -1 still to be worked out from
    // `receipt`, 0 no, 1 yes.
    mutable std::int8_t intact = -1;
    const Receipt* receipt = nullptr;
  };

  // Indexes whole receipts, borrowing them; their integrity is worked out when first asked.
  explicit ReceiptIndex(std::span<const Receipt> receipts);
  // Indexes what the caller already knows of each receipt, in batch order;
  // entries whose integrity is unknown must name their receipt.
  explicit ReceiptIndex(std::vector<Parent> parents);

  const Parent* find(std::string_view receipt_id) const;
  // True when the receipt stored under this id hashes to it.
  bool intact(const Parent& parent) const;
  bool intact(std::string_view receipt_id) const;

 private:
  void sort_by_id();

  std::vector<Parent> parents_;
  // (id, index into parents_) sorted by id, one entry per id: the last receipt giving it.
  std::vector<std::pair<std::string_view, std::size_t>> by_id_;
};

// Whether the receipt's canonical body hashes to its stated id: what a
// derived receipt asks of each parent (its schema is not examined).
[[nodiscard]] bool hashes_to_own_id(const Receipt& receipt);

// A receipt's value as a message quotes it: cut after 1024 bytes (never
// inside a UTF-8 character), with the full length noted.
[[nodiscard]] std::string shown_value(std::string_view value);

// Recomputes a derived value from its operands (exactly two).
[[nodiscard]] std::expected<core::Decimal, EvidenceError> apply(const Operation& operation,
                                                                std::span<const core::Decimal> operands);

[[nodiscard]] VerificationReport verify_derived(const Receipt& receipt, const ReceiptIndex& index);

}  // namespace quorrel::evidence
