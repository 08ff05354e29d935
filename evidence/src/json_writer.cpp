#include "quorrel/evidence/json_writer.hpp"

#include <array>
#include <charconv>
#include <cstring>

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

template <class Text>
void write_optional_string_member(std::string_view key, const std::optional<Text>& value, std::string& out) {
  if (!value) return;
  out.append(key);
  write_json_string(*value, out);
}

// The receipt's members in order; the claim and evidence list as records,
// views or WrittenJson, the derivation and attestation when present.
template <class Claim, class EvidenceList, class Derivation, class Attestation>
void write_receipt_members(std::string_view schema, std::string_view receipt_id, const Claim& claim,
                           const EvidenceList& evidence, const Derivation* derivation,
                           const Attestation* attestation, std::string& out) {
  out.append("{\"schema\":");
  write_json_string(schema, out);
  out.append(",\"receipt_id\":");
  write_json_string(receipt_id, out);
  out.append(",\"claim\":");
  write_json(claim, out);
  out.append(",\"evidence\":");
  write_json(evidence, out);
  if (derivation != nullptr) {
    out.append(",\"derivation\":");
    write_json(*derivation, out);
  }
  if (attestation != nullptr) {
    out.append(",\"attestation\":");
    write_json(*attestation, out);
  }
  out.push_back('}');
}

}  // namespace

void write_json_string(std::string_view text, std::string& out) {
  static constexpr char kHex[] = "0123456789abcdef";
  // The quote and the run up to the first byte that needs escaping go in as
  // one step, with the closing quote too when the run is the whole text (as
  // it nearly always is).
  const std::size_t run = detail::find_json_special(text.data(), text.size());
  const bool whole = run == text.size();
  const std::size_t base = out.size();
  const std::size_t size = base + 1 + run + (whole ? 1 : 0);
  out.resize_and_overwrite(size, [&](char* buffer, std::size_t) noexcept {
    buffer[base] = '"';
    std::memcpy(buffer + base + 1, text.data(), run);
    if (whole) buffer[size - 1] = '"';
    return size;
  });
  if (whole) return;
  const auto* p = reinterpret_cast<const unsigned char*>(text.data()) + run;
  const auto* const end = reinterpret_cast<const unsigned char*>(text.data()) + text.size();
  while (p != end) {
    const char letter = kEscape[*p];
    if (letter == 'u') {
      const char esc[6] = {'\\', 'u', '0', '0', kHex[*p >> 4], kHex[*p & 0x0f]};
      out.append(esc, sizeof esc);
    } else {
      const char esc[2] = {'\\', letter};
      out.append(esc, sizeof esc);
    }
    ++p;
    // The next run of bytes that need no escaping, in one append.
    const auto* next = p + detail::find_json_special(reinterpret_cast<const char*>(p), static_cast<std::size_t>(end - p));
    out.append(reinterpret_cast<const char*>(p), static_cast<std::size_t>(next - p));
    p = next;
  }
  out.push_back('"');
}

void write_json_uint(std::uint64_t value, std::string& out) {
  char buf[20];
  const auto res = std::to_chars(buf, buf + sizeof buf, value);
  out.append(buf, static_cast<std::size_t>(res.ptr - buf));
}

template <class Text>
void write_json(const BasicClaim<Text>& claim, std::string& out) {
  out.append("{\"value\":");
  write_json_string(claim.value, out);
  write_optional_string_member(",\"unit\":", claim.unit, out);
  out.append(",\"kind\":\"");
  out.append(claim_kind_name(claim.kind));
  out.append("\",\"doc_id\":");
  write_json_string(claim.doc_id, out);
  out.push_back('}');
}

template <class Text>
void write_json(const BasicSourceArtifact<Text>& artifact, std::string& out) {
  out.append("{\"uri\":");
  write_json_string(artifact.uri, out);
  out.append(",\"sha256\":");
  write_json_string(artifact.sha256, out);
  write_optional_string_member(",\"retrieved_at\":", artifact.retrieved_at, out);
  write_optional_string_member(",\"authority\":", artifact.authority, out);
  out.push_back('}');
}

template <class Text>
void write_json(const BasicXbrlLocator<Text>& locator, std::string& out) {
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

template <class Text>
void write_json(const BasicExtraction<Text>& extraction, std::string& out) {
  out.append("{\"engine\":");
  write_json_string(extraction.engine, out);
  out.push_back('}');
}

template <class Text>
void write_json(const std::vector<BasicEvidence<Text>>& evidence, std::string& out) {
  out.push_back('[');
  for (std::size_t i = 0; i < evidence.size(); ++i) {
    if (i != 0) out.push_back(',');
    write_json(evidence[i], out);
  }
  out.push_back(']');
}

void write_json(const Operation& operation, std::string& out) {
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

template <class Text>
void write_json(const BasicDerivation<Text>& derivation, std::string& out) {
  out.append("{\"operation\":");
  write_json(derivation.operation, out);
  out.append(",\"inputs\":[");
  for (std::size_t i = 0; i < derivation.inputs.size(); ++i) {
    const BasicDerivationInput<Text>& input = derivation.inputs[i];
    if (i != 0) out.push_back(',');
    out.append("{\"receipt_id\":");
    write_json_string(input.receipt_id, out);
    out.append(",\"value\":");
    write_json_string(input.value, out);
    out.append(",\"role\":");
    write_json_string(input.role, out);
    out.push_back('}');
  }
  out.append("]}");
}

template <class Text>
void write_json(const BasicAttestation<Text>& attestation, std::string& out) {
  out.append("{\"alg\":");
  write_json_string(attestation.alg, out);
  out.append(",\"public_key\":");
  write_json_string(attestation.public_key, out);
  out.append(",\"sig\":");
  write_json_string(attestation.sig, out);
  out.push_back('}');
}

template <class Text>
void write_receipt(const BasicReceipt<Text>& receipt, std::string& out) {
  write_receipt_members(receipt.schema, receipt.receipt_id, receipt.claim, receipt.evidence,
                        receipt.derivation ? &*receipt.derivation : nullptr,
                        receipt.attestation ? &*receipt.attestation : nullptr, out);
}

void write_receipt(std::string_view schema, std::string_view receipt_id, WrittenJson claim, WrittenJson evidence,
                   std::string& out) {
  write_receipt_members(schema, receipt_id, claim, evidence, static_cast<const Derivation*>(nullptr),
                        static_cast<const Attestation*>(nullptr), out);
}

#define QUORREL_WRITERS_FOR(Text)                                                       \
  template void write_json(const BasicClaim<Text>&, std::string&);                       \
  template void write_json(const BasicSourceArtifact<Text>&, std::string&);              \
  template void write_json(const BasicXbrlLocator<Text>&, std::string&);                 \
  template void write_json(const BasicExtraction<Text>&, std::string&);                  \
  template void write_json(const std::vector<BasicEvidence<Text>>&, std::string&);       \
  template void write_json(const BasicDerivation<Text>&, std::string&);                  \
  template void write_json(const BasicAttestation<Text>&, std::string&);                 \
  template void write_receipt(const BasicReceipt<Text>&, std::string&);
QUORREL_WRITERS_FOR(std::string)
QUORREL_WRITERS_FOR(std::string_view)
#undef QUORREL_WRITERS_FOR

}  // namespace quorrel::evidence
