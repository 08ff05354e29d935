#pragma once
// Compact JSON writing for receipts and their parts. Every writer appends to
// the caller's buffer: no white space between tokens, members in the record's
// fixed order, absent optional members left out (except "round_dp", which is
// written as null), and one escaping rule for strings. Writing cannot fail.
//
// Each record's layout is spelled once, in its write_json, for owned texts and
// views alike. Where a member is the same for many receipts or already
// written elsewhere, it may be given as WrittenJson and is put in as it is.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "quorrel/evidence/receipt.hpp"

namespace quorrel::evidence {

// A JSON string: '"' and '\' get a backslash; 0x08, 0x09, 0x0A, 0x0C and 0x0D
// become \b \t \n \f \r; every other byte below 0x20 becomes \u00XX in lower-case
// hexadecimal. All other bytes (the solidus, DEL, UTF-8 sequences) are copied.
void write_json_string(std::string_view text, std::string& out);

// Decimal digits, no sign, no leading zeros.
void write_json_uint(std::uint64_t value, std::string& out);

// JSON that these writers wrote before.
struct WrittenJson {
  std::string_view text;
};
inline void write_json(WrittenJson json, std::string& out) { out.append(json.text); }

// A receipt's claim and evidence list as written.
struct WrittenParts {
  WrittenJson claim;
  WrittenJson evidence;
};

template <class Text>
void write_json(const BasicClaim<Text>& claim, std::string& out);
template <class Text>
void write_json(const BasicSourceArtifact<Text>& artifact, std::string& out);
// {"profile":"xbrl","concept":...,"context_ref":...[,"unit_ref":...][,"byte_range":[s,e]]}
template <class Text>
void write_json(const BasicXbrlLocator<Text>& locator, std::string& out);
template <class Text>
void write_json(const BasicExtraction<Text>& extraction, std::string& out);
// {"op":"ratio","round_dp":null|n}, {"op":"difference"}, {"op":"growth_rate","round_dp":null|n}
void write_json(const Operation& operation, std::string& out);
template <class Text>
void write_json(const BasicDerivation<Text>& derivation, std::string& out);
template <class Text>
void write_json(const BasicAttestation<Text>& attestation, std::string& out);

// An evidence item from its three members, each a record, a view or WrittenJson.
template <class Artifact, class Locator, class Extraction>
void write_evidence(const Artifact& artifact, const Locator& locator, const Extraction& extraction,
                    std::string& out) {
  out.append("{\"source_artifact\":");
  write_json(artifact, out);
  out.append(",\"locator\":");
  write_json(locator, out);
  out.append(",\"extraction\":");
  write_json(extraction, out);
  out.push_back('}');
}

template <class Text>
void write_json(const BasicEvidence<Text>& evidence, std::string& out) {
  write_evidence(evidence.source_artifact, evidence.locator, evidence.extraction, out);
}

// The evidence list as a JSON array, "[]" when empty.
template <class Text>
void write_json(const std::vector<BasicEvidence<Text>>& evidence, std::string& out);

// An evidence list of one item given by its members.
template <class Artifact, class Locator, class Extraction>
struct OneEvidence {
  const Artifact& artifact;
  const Locator& locator;
  const Extraction& extraction;
};
template <class Artifact, class Locator, class Extraction>
void write_json(const OneEvidence<Artifact, Locator, Extraction>& evidence, std::string& out) {
  out.push_back('[');
  write_evidence(evidence.artifact, evidence.locator, evidence.extraction, out);
  out.push_back(']');
}

// The whole receipt as one compact JSON object (no line feed).
template <class Text>
void write_receipt(const BasicReceipt<Text>& receipt, std::string& out);
// The same for a receipt without derivation or attestation whose claim and
// evidence list are already written.
void write_receipt(std::string_view schema, std::string_view receipt_id, WrittenJson claim, WrittenJson evidence,
                   std::string& out);

}  // namespace quorrel::evidence
