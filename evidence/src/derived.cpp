#include "quorrel/evidence/derived.hpp"

#include <algorithm>

#include "quorrel/evidence/attestation.hpp"
#include "quorrel/evidence/canonical.hpp"
#include "quorrel/evidence/crypto.hpp"

namespace quorrel::evidence {
namespace {

std::string recomputed_id(const Receipt& receipt, std::string& body, Sha256& sha) {
  body.clear();
  append_canonical_body(receipt.claim, receipt.evidence, receipt.derivation, body);
  return receipt_id_of_body(body, sha);
}

EvidenceError overflow() { return EvidenceError::derivation_failed("decimal overflow"); }

}  // namespace

// A parent's claimed value as a mismatch detail shows it. The detail of every
// input that names the parent repeats it, so a hostile batch of one huge
// parent named by many inputs would otherwise make the summary grow with
// their product; values past this length (never a real decimal) are cut.
std::string shown_value(std::string_view value) {
  constexpr std::size_t kShown = 1024;
  if (value.size() <= kShown) return std::string(value);
  std::size_t cut = kShown;
  // Never split a UTF-8 character.
  while (cut > 0 && (static_cast<unsigned char>(value[cut]) & 0xC0) == 0x80) --cut;
  return std::string(value.substr(0, cut)) + "... (" + std::to_string(value.size()) + " bytes)";
}

bool hashes_to_own_id(const Receipt& receipt) {
  std::string body;
  Sha256 sha;
  return recomputed_id(receipt, body, sha) == receipt.receipt_id;
}

ReceiptIndex::ReceiptIndex(std::span<const Receipt> receipts) {
  parents_.reserve(receipts.size());
  for (std::size_t i = 0; i < receipts.size(); ++i) {
    const Receipt& receipt = receipts[i];
    parents_.push_back(Parent{receipt.receipt_id, receipt.claim.value, i, -1, &receipt});
  }
  sort_by_id();
}

ReceiptIndex::ReceiptIndex(std::vector<Parent> parents) : parents_(std::move(parents)) { sort_by_id(); }

void ReceiptIndex::sort_by_id() {
  // A sorted vector: one allocation instead of a tree node per receipt.
  by_id_.reserve(parents_.size());
  for (std::size_t i = 0; i < parents_.size(); ++i) by_id_.emplace_back(parents_[i].receipt_id, i);
  std::sort(by_id_.begin(), by_id_.end());
  // Of several receipts with one id the last one counts: keep the last entry of each run.
  const auto last_of_each = std::unique(by_id_.rbegin(), by_id_.rend(),
                                        [](const auto& a, const auto& b) { return a.first == b.first; });
  by_id_.erase(by_id_.begin(), last_of_each.base());
}

const ReceiptIndex::Parent* ReceiptIndex::find(std::string_view receipt_id) const {
  const auto it = std::lower_bound(by_id_.begin(), by_id_.end(), receipt_id,
                                   [](const auto& entry, std::string_view id) { return entry.first < id; });
  return it != by_id_.end() && it->first == receipt_id ? &parents_[it->second] : nullptr;
}

bool ReceiptIndex::intact(const Parent& parent) const {
  if (parent.intact < 0) {
    // The receipt states the id it is indexed under.
    parent.intact = parent.receipt != nullptr && hashes_to_own_id(*parent.receipt) ? 1 : 0;
  }
  return parent.intact == 1;
}

bool ReceiptIndex::intact(std::string_view receipt_id) const {
  const Parent* parent = find(receipt_id);
  return parent != nullptr && intact(*parent);
}

std::expected<core::Decimal, EvidenceError> apply(const Operation& operation,
                                                  std::span<const core::Decimal> operands) {
  if (operands.size() != 2) {
    return std::unexpected(EvidenceError::operation_arity(2, operands.size()));
  }
  const core::Decimal& a = operands[0];
  const core::Decimal& b = operands[1];
  std::optional<core::Decimal> q;
  switch (operation.kind) {
    case OperationKind::Ratio:
      if (b.is_zero()) return std::unexpected(EvidenceError::division_by_zero());
      q = a.div(b);
      break;
    case OperationKind::Difference:
      q = a.sub(b);
      break;
    case OperationKind::GrowthRate: {
      if (b.is_zero()) return std::unexpected(EvidenceError::division_by_zero());
      const std::optional<core::Decimal> delta = a.sub(b);
      if (delta) q = delta->div(b.abs());
      break;
    }
  }
  if (!q) return std::unexpected(overflow());
  if (operation.kind != OperationKind::Difference && operation.round_dp) {
    q = q->round(*operation.round_dp);
  }
  return q->normalize();
}

VerificationReport verify_derived(const Receipt& receipt, const ReceiptIndex& index) {
  std::vector<Check> checks;
  checks.reserve(5);

  std::string body;
  Sha256 sha;
  const std::string id = recomputed_id(receipt, body, sha);
  if (id == receipt.receipt_id && receipt.schema == kSchema) {
    checks.push_back(Check::passed(CheckName::ReceiptId));
  } else {
    checks.push_back(Check::failed(CheckName::ReceiptId, "receipt body does not hash to receipt_id"));
  }

  const bool shape_ok = receipt.claim.kind == ClaimKind::Derived && receipt.evidence.empty() &&
                        receipt.derivation && !receipt.derivation->inputs.empty();
  if (shape_ok) {
    checks.push_back(Check::passed(CheckName::EvidenceShape));
  } else {
    checks.push_back(Check::failed(CheckName::EvidenceShape,
                                   "derived receipt must have kind=derived, empty evidence, non-empty derivation"));
  }

  if (receipt.derivation) {
    const Derivation& derivation = *receipt.derivation;
    std::string problems;
    std::vector<core::Decimal> operands;
    operands.reserve(std::min<std::size_t>(derivation.inputs.size(), 2));
    auto note = [&problems](std::string problem) {
      if (!problems.empty()) problems += "; ";
      problems += problem;
    };
    for (const DerivationInput& input : derivation.inputs) {
      const ReceiptIndex::Parent* parent = index.find(input.receipt_id);
      if (parent == nullptr) {
        note(input.receipt_id + ": unknown parent");
      } else if (!index.intact(*parent)) {
        note(input.receipt_id + ": parent fails integrity");
      } else if (parent->claimed_value != input.value) {
        note(input.receipt_id + ": consumed " + input.value + " but parent claims " + shown_value(parent->claimed_value));
      }
      if (std::optional<core::Decimal> operand = core::Decimal::parse(input.value)) {
        operands.push_back(*operand);
      }
    }
    if (problems.empty()) {
      checks.push_back(Check::passed(CheckName::InputResolution));
    } else {
      checks.push_back(Check::failed(CheckName::InputResolution, std::move(problems)));
    }

    std::expected<core::Decimal, EvidenceError> result = evidence::apply(derivation.operation, operands);
    if (!result) {
      checks.push_back(Check::failed(CheckName::Recompute, "recompute failed: " + result.error().render()));
    } else {
      const std::optional<core::Decimal> claimed = core::Decimal::parse(receipt.claim.value);
      if (claimed && *claimed == *result) {
        checks.push_back(Check::passed(CheckName::Recompute));
      } else {
        checks.push_back(Check::failed(CheckName::Recompute,
                                       "recomputed " + result->render() + ", claimed " + receipt.claim.value));
      }
    }
  }

  if (std::optional<Check> attestation = attestation_check(receipt, body)) {
    checks.push_back(std::move(*attestation));
  }

  return VerificationReport::from_checks(receipt.receipt_id, std::move(checks));
}

}  // namespace quorrel::evidence
