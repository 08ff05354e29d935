#include "quorrel/evidence/receipt.hpp"

namespace quorrel::evidence {

std::string_view claim_kind_name(ClaimKind kind) noexcept {
  return kind == ClaimKind::Stated ? "stated" : "derived";
}

std::string_view operation_name(OperationKind kind) noexcept {
  switch (kind) {
    case OperationKind::Ratio:
      return "ratio";
    case OperationKind::Difference:
      return "difference";
    case OperationKind::GrowthRate:
      return "growth_rate";
  }
  return "ratio";
}

}  // namespace quorrel::evidence
