#include "quorrel/evidence/json_writer.hpp"

#include <array>
#include <charconv>

#include "json_special.hpp"

namespace quorrel::evidence {
namespace {

// For each byte: 0 when it is copied as is, otherwise the letter that follows
// the backslash ('u' for the \u00XX form).
constexpr std::array<char, 256> make_escape_table() {
  std::array<char, 256> table{};
  for (int c = 0; c < 0x20; ++c) table[c] = 'u';
  table['\b'] = 'b';
  table['\t'] = 't';
  table['\n'] = 'n';
  table['\f'] = 'f';
  table['\r'] = 'r';
  table['"'] = '"';
  table['\\'] = '\\';
  return table;
}

constexpr std::array<char, 256> kEscape = make_escape_table();

void write_optional_string_member(std::string_view key, const std::optional<std::string>& value,
                                  std::string& out) {
  if (!value) return;
  out.append(key);
  write_json_string(*value, out);
}

}  // namespace

void write_json_string(std::string_view text, std::string& out) {
  static constexpr char kHex[] = "0123456789abcdef";
  out.push_back('"');
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const auto* const end = p + text.size();
  while (p != end) {
    // Copy the longest run of bytes that need no escaping in one append.
    const auto* run = p;
    p += detail::find_json_special(reinterpret_cast<const char*>(p), static_cast<std::size_t>(end - p));
    if (p != run) out.append(reinterpret_cast<const char*>(run), static_cast<std::size_t>(p - run));
    if (p == end) break;
    const char letter = kEscape[*p];
    if (letter == 'u') {
      const char esc[6] = {'\\', 'u', '0', '0', kHex[*p >> 4], kHex[*p & 0x0f]};
      out.append(esc, sizeof esc);
    } else {
      const char esc[2] = {'\\', letter};
      out.append(esc, sizeof esc);
    }
    ++p;
  }
  out.push_back('"');
}

void write_json_uint(std::uint64_t value, std::string& out) {
  char buf[20];
  const auto res = std::to_chars(buf, buf + sizeof buf, value);
  out.append(buf, static_cast<std::size_t>(res.ptr - buf));
}

void write_claim(const Claim& claim, std::string& out) {
  out.append("{\"value\":");
  write_json_string(claim.value, out);
  write_optional_string_member(",\"unit\":", claim.unit, out);
  out.append(",\"kind\":\"");
  out.append(claim_kind_name(claim.kind));
  out.append("\",\"doc_id\":");
  write_json_string(claim.doc_id, out);
  out.push_back('}');
}

void write_source_artifact(const SourceArtifact& artifact, std::string& out) {
  out.append("{\"uri\":");
  write_json_string(artifact.uri, out);
  out.append(",\"sha256\":");
  write_json_string(artifact.sha256, out);
  write_optional_string_member(",\"retrieved_at\":", artifact.retrieved_at, out);
  write_optional_string_member(",\"authority\":", artifact.authority, out);
  out.push_back('}');
}

void write_locator(const Locator& locator, std::string& out) {
  out.append("{\"profile\":\"xbrl\",\"concept\":");
  write_json_string(locator.concept_name, out);
  out.append(",\"context_ref\":");
  write_json_string(locator.context_ref, out);
  write_optional_string_member(",\"unit_ref\":", locator.unit_ref, out);
  if (locator.byte_range) {
    out.append(",\"byte_range\":[");
    write_json_uint(locator.byte_range->first, out);
    out.push_back(',');
    write_json_uint(locator.byte_range->second, out);
    out.push_back(']');
  }
  out.push_back('}');
}

void write_extraction(const Extraction& extraction, std::string& out) {
  out.append("{\"engine\":");
  write_json_string(extraction.engine, out);
  out.push_back('}');
}

void write_evidence(const Evidence& evidence, std::string& out) {
  out.append("{\"source_artifact\":");
  write_source_artifact(evidence.source_artifact, out);
  out.append(",\"locator\":");
  write_locator(evidence.locator, out);
  out.append(",\"extraction\":");
  write_extraction(evidence.extraction, out);
  out.push_back('}');
}

void write_evidence_list(const std::vector<Evidence>& evidence, std::string& out) {
  out.push_back('[');
  for (std::size_t i = 0; i < evidence.size(); ++i) {
    if (i != 0) out.push_back(',');
    write_evidence(evidence[i], out);
  }
  out.push_back(']');
}

void write_operation(const Operation& operation, std::string& out) {
  out.append("{\"op\":\"");
  out.append(operation_name(operation.kind));
  out.push_back('"');
  if (operation.kind != OperationKind::Difference) {
    out.append(",\"round_dp\":");
    if (operation.round_dp) {
      write_json_uint(*operation.round_dp, out);
    } else {
      out.append("null");
    }
  }
  out.push_back('}');
}

void write_derivation_input(const DerivationInput& input, std::string& out) {
  out.append("{\"receipt_id\":");
  write_json_string(input.receipt_id, out);
  out.append(",\"value\":");
  write_json_string(input.value, out);
  out.append(",\"role\":");
  write_json_string(input.role, out);
  out.push_back('}');
}

void write_derivation(const Derivation& derivation, std::string& out) {
  out.append("{\"operation\":");
  write_operation(derivation.operation, out);
  out.append(",\"inputs\":[");
  for (std::size_t i = 0; i < derivation.inputs.size(); ++i) {
    if (i != 0) out.push_back(',');
    write_derivation_input(derivation.inputs[i], out);
  }
  out.append("]}");
}

void write_attestation(const Attestation& attestation, std::string& out) {
  out.append("{\"alg\":");
  write_json_string(attestation.alg, out);
  out.append(",\"public_key\":");
  write_json_string(attestation.public_key, out);
  out.append(",\"sig\":");
  write_json_string(attestation.sig, out);
  out.push_back('}');
}

void write_receipt(const Receipt& receipt, std::string& out) {
  out.append("{\"schema\":");
  write_json_string(receipt.schema, out);
  out.append(",\"receipt_id\":");
  write_json_string(receipt.receipt_id, out);
  out.append(",\"claim\":");
  write_claim(receipt.claim, out);
  out.append(",\"evidence\":");
  write_evidence_list(receipt.evidence, out);
  if (receipt.derivation) {
    out.append(",\"derivation\":");
    write_derivation(*receipt.derivation, out);
  }
  if (receipt.attestation) {
    out.append(",\"attestation\":");
    write_attestation(*receipt.attestation, out);
  }
  out.push_back('}');
}

}  // namespace quorrel::evidence
