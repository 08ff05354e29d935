#pragma once
// Making derived receipts: a value computed from two parent receipts by one
// operation, with the same decimal code and the same `apply` that
// verification uses, so that a receipt made here verifies with its parents.

#include <array>
#include <expected>
#include <optional>
#include <string>
#include <string_view>

#include "quorrel/evidence/error.hpp"
#include "quorrel/evidence/receipt.hpp"

namespace quorrel::evidence {

// The texts that enter the derived receipt's id besides the parents.
struct DeriveOptions {
  Operation operation;
  // The inputs' roles; by default those of default_roles.
  std::optional<std::array<std::string, 2>> roles;
  // By default the parents' common doc_id; required when theirs differ.
  std::optional<std::string> doc_id;
  // By default, for a difference the parents' common unit (required when
  // theirs differ); for a ratio or growth rate no unit.
  std::optional<std::string> unit;
};

// "numerator"/"denominator", "minuend"/"subtrahend", "current"/"prior".
[[nodiscard]] std::array<std::string_view, 2> default_roles(OperationKind kind) noexcept;

// The derived receipt over first and second, in that operand order: each
// input holds its parent's id and claimed value as they stand, the claim is
// the recomputed value (normalized), the id is the canonical body's. Refused
// with DerivationFailed when a parent does not hash to its own id, a
// parent's value does not read as a decimal, `apply` fails (a zero second
// operand of a ratio or growth rate, a result outside the decimal range), a
// difference is given round_dp, or a default text is asked of parents that
// differ in it.
[[nodiscard]] std::expected<Receipt, EvidenceError> derive(const Receipt& first, const Receipt& second,
                                                           const DeriveOptions& options);

// The same from two receipt lines, giving the derived receipt's line (no
// line feed). A line that does not read is an UnreadableReceipt error naming
// it "first" or "second".
[[nodiscard]] std::expected<std::string, EvidenceError> derive_line(std::string_view first,
                                                                    std::string_view second,
                                                                    const DeriveOptions& options);

}  // namespace quorrel::evidence
