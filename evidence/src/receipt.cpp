#include "quorrel/evidence/receipt.hpp"

namespace quorrel::evidence {
namespace {

template <class To, class From>
std::optional<To> optional_text(const std::optional<From>& from) {
  return from ? std::optional<To>(To(*from)) : std::nullopt;
}

}  // namespace

template <class To, class From>
BasicClaim<To> with_texts(const BasicClaim<From>& from) {
  return {To(from.value), optional_text<To>(from.unit), from.kind, To(from.doc_id)};
}

template <class To, class From>
BasicEvidence<To> with_texts(const BasicEvidence<From>& from) {
  const BasicSourceArtifact<From>& a = from.source_artifact;
  const BasicXbrlLocator<From>& l = from.locator;
  return {{To(a.uri), To(a.sha256), optional_text<To>(a.retrieved_at), optional_text<To>(a.authority)},
          {To(l.concept_name), To(l.context_ref), optional_text<To>(l.unit_ref), l.byte_range},
          {To(from.extraction.engine)}};
}

template <class To, class From>
BasicReceipt<To> with_texts(const BasicReceipt<From>& from) {
  BasicReceipt<To> out{To(from.schema), To(from.receipt_id), with_texts<To>(from.claim), {}, std::nullopt,
                       std::nullopt};
  out.evidence.reserve(from.evidence.size());
  for (const BasicEvidence<From>& item : from.evidence) out.evidence.push_back(with_texts<To>(item));
  if (from.derivation) {
    BasicDerivation<To>& derivation = out.derivation.emplace();
    derivation.operation = from.derivation->operation;
    derivation.inputs.reserve(from.derivation->inputs.size());
    for (const BasicDerivationInput<From>& input : from.derivation->inputs) {
      derivation.inputs.push_back({To(input.receipt_id), To(input.value), To(input.role)});
    }
  }
  if (const auto& a = from.attestation) out.attestation = BasicAttestation<To>{To(a->alg), To(a->public_key), To(a->sig)};
  return out;
}

template BasicReceipt<std::string> with_texts(const BasicReceipt<std::string_view>&);
template BasicReceipt<std::string_view> with_texts(const BasicReceipt<std::string>&);
template BasicEvidence<std::string> with_texts(const BasicEvidence<std::string_view>&);
template BasicClaim<std::string> with_texts(const BasicClaim<std::string_view>&);

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
