#include "quorrel/evidence/canonical.hpp"

#include "quorrel/evidence/json_writer.hpp"

namespace quorrel::evidence {

void append_canonical_body(const Claim& claim, const std::vector<Evidence>& evidence,
                           const std::optional<Derivation>& derivation, std::string& out) {
  out.push_back('[');
  write_json_string(kSchema, out);
  out.push_back(',');
  write_claim(claim, out);
  out.push_back(',');
  write_evidence_list(evidence, out);
  out.push_back(',');
  if (derivation) {
    write_derivation(*derivation, out);
  } else {
    out.append("null");
  }
  out.push_back(']');
}

std::expected<std::string, EvidenceError> canonical_body(
    const Claim& claim, const std::vector<Evidence>& evidence,
    const std::optional<Derivation>& derivation) {
  // Writing into memory cannot fail; the error side exists for callers that
  // treat a serialization failure as their own.
  std::string body;
  append_canonical_body(claim, evidence, derivation, body);
  return body;
}

std::expected<std::string, EvidenceError> receipt_id_for(
    const Claim& claim, const std::vector<Evidence>& evidence,
    const std::optional<Derivation>& derivation) {
  Sha256 sha;
  return receipt_id_for(claim, evidence, derivation, sha);
}

std::expected<std::string, EvidenceError> receipt_id_for(
    const Claim& claim, const std::vector<Evidence>& evidence,
    const std::optional<Derivation>& derivation, Sha256& sha) {
  auto body = canonical_body(claim, evidence, derivation);
  if (!body) return std::unexpected(std::move(body.error()));
  return receipt_id_of_body(*body, sha);
}

std::string receipt_id_of_body(std::string_view body, Sha256& sha) {
  std::string id;
  id.reserve(67);
  receipt_id_of_body_into(body, sha, id);
  return id;
}

void receipt_id_of_body_into(std::string_view body, Sha256& sha, std::string& out) {
  out.assign("er_");
  sha.append_hex(body, out);
}

void receipt_ids_of_bodies_into(std::string_view a, std::string_view b, Sha256& sha, std::string& a_out,
                                std::string& b_out) {
  Digest a_digest{};
  Digest b_digest{};
  sha.digest_pair(a, b, a_digest, b_digest);
  a_out.assign("er_");
  append_hex(a_digest.data(), a_digest.size(), a_out);
  b_out.assign("er_");
  append_hex(b_digest.data(), b_digest.size(), b_out);
}

std::optional<CanonicalValue> canonical_value(const core::NormalizedValue& value) {
  const auto* numeric = std::get_if<core::NumericValue>(&value);
  if (numeric == nullptr) return std::nullopt;
  return canonical_value(*numeric);
}

CanonicalValue canonical_value(const core::NumericValue& value) {
  if (!value.value) return CanonicalValue{value.raw, std::nullopt};
  return canonical_value(*value.value);
}

CanonicalValue canonical_value(const core::Decimal& value) { return CanonicalValue{value.normalize().render(), value}; }

void append_canonical_text(const core::Decimal& value, std::string& out) { value.normalize().append_to(out); }

}  // namespace quorrel::evidence
