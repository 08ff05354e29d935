#pragma once
// Compact JSON writing for receipts and their parts. Every writer appends to
// the caller's buffer: no white space between tokens, members in the record's
// fixed order, absent optional members left out (except "round_dp", which is
// written as null), and one escaping rule for strings. Writing cannot fail.

#include <cstdint>
#include <string>
#include <string_view>

#include "quorrel/evidence/receipt.hpp"

namespace quorrel::evidence {

// A JSON string: '"' and '\' get a backslash; 0x08, 0x09, 0x0A, 0x0C and 0x0D
// become \b \t \n \f \r; every other byte below 0x20 becomes \u00XX in lower-case
// hexadecimal. All other bytes (the solidus, DEL, UTF-8 sequences) are copied.
void write_json_string(std::string_view text, std::string& out);

// Decimal digits, no sign, no leading zeros.
void write_json_uint(std::uint64_t value, std::string& out);

void write_claim(const Claim& claim, std::string& out);
void write_source_artifact(const SourceArtifact& artifact, std::string& out);
// {"profile":"xbrl","concept":...,"context_ref":...[,"unit_ref":...][,"byte_range":[s,e]]}
void write_locator(const Locator& locator, std::string& out);
void write_extraction(const Extraction& extraction, std::string& out);
void write_evidence(const Evidence& evidence, std::string& out);
// The evidence list as a JSON array, "[]" when empty.
void write_evidence_list(const std::vector<Evidence>& evidence, std::string& out);
// {"op":"ratio","round_dp":null|n}, {"op":"difference"}, {"op":"growth_rate","round_dp":null|n}
void write_operation(const Operation& operation, std::string& out);
void write_derivation_input(const DerivationInput& input, std::string& out);
void write_derivation(const Derivation& derivation, std::string& out);
void write_attestation(const Attestation& attestation, std::string& out);
// The whole receipt as one compact JSON object (no line feed).
void write_receipt(const Receipt& receipt, std::string& out);

}  // namespace quorrel::evidence
