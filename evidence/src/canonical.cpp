#include "quorrel/evidence/canonical.hpp"

namespace quorrel::evidence {

std::string canonical_body(const Claim& claim, const std::vector<Evidence>& evidence,
                           const std::optional<Derivation>& derivation) {
  std::string body;
  append_canonical_body(claim, evidence, derivation, body);
  return body;
}

std::string receipt_id_for(const Claim& claim, const std::vector<Evidence>& evidence,
                           const std::optional<Derivation>& derivation) {
  Sha256 sha;
  return receipt_id_of_body(canonical_body(claim, evidence, derivation), sha);
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

void append_canonical_text(const core::Decimal& value, std::string& out) { value.normalize().append_to(out); }

}  // namespace quorrel::evidence
