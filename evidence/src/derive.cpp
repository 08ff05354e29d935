#include "quorrel/evidence/derive.hpp"

#include <vector>

#include "quorrel/core/decimal.hpp"
#include "quorrel/evidence/canonical.hpp"
#include "quorrel/evidence/derived.hpp"
#include "quorrel/evidence/json_writer.hpp"
#include "quorrel/evidence/receipt_reader.hpp"

namespace quorrel::evidence {
namespace {

constexpr std::array<std::string_view, 2> kParentNames{"first", "second"};

std::string quoted(std::string_view text) {
  std::string out(1, '"');
  out.append(shown_value(text));
  out.push_back('"');
  return out;
}

// A text both parents must agree on unless the caller gives it.
std::expected<std::optional<std::string>, EvidenceError> common_text(std::string_view name,
                                                                     const std::optional<std::string>& given,
                                                                     const std::optional<std::string>& first,
                                                                     const std::optional<std::string>& second) {
  if (given) return given;
  if (first == second) return first;
  const auto shown = [](const std::optional<std::string>& text) { return text ? quoted(*text) : "none"; };
  return std::unexpected(EvidenceError::derivation_failed("the parents differ in " + std::string(name) + " (" +
                                                          shown(first) + " and " + shown(second) + "); give " +
                                                          std::string(name)));
}

}  // namespace

std::array<std::string_view, 2> default_roles(OperationKind kind) noexcept {
  switch (kind) {
    case OperationKind::Ratio:
      return {"numerator", "denominator"};
    case OperationKind::Difference:
      return {"minuend", "subtrahend"};
    case OperationKind::GrowthRate:
      return {"current", "prior"};
  }
  return {};
}

std::expected<Receipt, EvidenceError> derive(const Receipt& first, const Receipt& second,
                                             const DeriveOptions& options) {
  const Operation& operation = options.operation;
  if (operation.kind == OperationKind::Difference && operation.round_dp) {
    return std::unexpected(EvidenceError::derivation_failed("round_dp does not apply to a difference"));
  }
  const Receipt* parents[] = {&first, &second};
  std::array<core::Decimal, 2> operands;
  for (std::size_t i = 0; i < 2; ++i) {
    const Receipt& parent = *parents[i];
    if (!hashes_to_own_id(parent)) {
      return std::unexpected(EvidenceError::derivation_failed(
          std::string(kParentNames[i]) + " parent fails integrity: receipt body does not hash to receipt_id"));
    }
    // Verification reads the consumed value, which is the parent's claim, with this same parse.
    const std::optional<core::Decimal> value = core::Decimal::parse(parent.claim.value);
    if (!value) {
      return std::unexpected(EvidenceError::derivation_failed(std::string(kParentNames[i]) + " parent's value " +
                                                              quoted(parent.claim.value) +
                                                              " does not read as a decimal"));
    }
    operands[i] = *value;
  }

  // Engaged: both parents have a doc_id.
  QUORREL_TRY(doc_id, common_text("doc_id", options.doc_id, first.claim.doc_id, second.claim.doc_id));
  std::optional<std::string> unit = options.unit;
  if (operation.kind == OperationKind::Difference) {
    QUORREL_TRY(common_unit, common_text("unit", options.unit, first.claim.unit, second.claim.unit));
    unit = std::move(common_unit);
  }

  QUORREL_TRY(value, apply(operation, operands));

  Receipt receipt;
  receipt.schema = kSchema;
  receipt.claim = Claim{value.render(), std::move(unit), ClaimKind::Derived, std::move(*doc_id)};
  const std::array<std::string_view, 2> defaults = default_roles(operation.kind);
  Derivation& derivation = receipt.derivation.emplace();
  // A difference neither writes nor reads round_dp.
  derivation.operation = operation;
  for (std::size_t i = 0; i < 2; ++i) {
    derivation.inputs.push_back(DerivationInput{
        parents[i]->receipt_id, parents[i]->claim.value,
        options.roles ? (*options.roles)[i] : std::string(defaults[i])});
  }
  receipt.receipt_id = receipt_id_for(receipt.claim, receipt.evidence, receipt.derivation);
  return receipt;
}

std::expected<std::string, EvidenceError> derive_line(std::string_view first, std::string_view second,
                                                      const DeriveOptions& options) {
  std::array<Receipt, 2> parents;
  const std::string_view lines[] = {first, second};
  for (std::size_t i = 0; i < 2; ++i) {
    std::expected<Receipt, ReceiptReadError> read = read_receipt(lines[i]);
    if (!read) return std::unexpected(EvidenceError::unreadable_receipt(kParentNames[i], read.error().render()));
    parents[i] = std::move(*read);
  }
  QUORREL_TRY(receipt, derive(parents[0], parents[1], options));
  std::string line;
  write_receipt(receipt, line);
  return line;
}

}  // namespace quorrel::evidence
