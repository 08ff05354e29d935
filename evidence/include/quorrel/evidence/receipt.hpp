#pragma once
// The evidence receipt record: a claimed value bound to the evidence for it
// (source artifact, locator, extracting engine) or to the receipts it was
// derived from, optionally attested by a signature.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quorrel::evidence {

// Schema tag written into every canonical body and into every receipt built here.
inline constexpr std::string_view kSchema = "er/0.2";
// Name and version of the extracting engine.
inline constexpr std::string_view kEngine = "quorrel-evidence@0.1.0";

enum class ClaimKind { Stated, Derived };

struct Claim {
  std::string value;  // decimal text, kept exactly as given
  std::optional<std::string> unit;
  ClaimKind kind = ClaimKind::Stated;
  std::string doc_id;

  bool operator==(const Claim&) const = default;
};

struct SourceArtifact {
  std::string uri;
  std::string sha256;
  std::optional<std::string> retrieved_at;
  std::optional<std::string> authority;

  bool operator==(const SourceArtifact&) const = default;
};

// Half-open (start, end) byte offsets into the source.
using ByteRange = std::pair<std::uint64_t, std::uint64_t>;

struct XbrlLocator {
  std::string concept_name;  // JSON key "concept"
  std::string context_ref;
  std::optional<std::string> unit_ref;
  std::optional<ByteRange> byte_range;

  bool operator==(const XbrlLocator&) const = default;
};

// The locator has a single profile, "xbrl".
using Locator = XbrlLocator;

struct Extraction {
  std::string engine;

  bool operator==(const Extraction&) const = default;
};

struct Evidence {
  SourceArtifact source_artifact;
  Locator locator;
  Extraction extraction;

  bool operator==(const Evidence&) const = default;
};

enum class OperationKind { Ratio, Difference, GrowthRate };

struct Operation {
  OperationKind kind = OperationKind::Ratio;
  // Rounding for Ratio and GrowthRate; a Difference neither writes nor reads it.
  std::optional<std::uint32_t> round_dp;

  bool operator==(const Operation&) const = default;
};

struct DerivationInput {
  std::string receipt_id;
  std::string value;
  std::string role;

  bool operator==(const DerivationInput&) const = default;
};

struct Derivation {
  Operation operation;
  std::vector<DerivationInput> inputs;

  bool operator==(const Derivation&) const = default;
};

struct Attestation {
  std::string alg;
  std::string public_key;
  std::string sig;

  bool operator==(const Attestation&) const = default;
};

struct Receipt {
  std::string schema;
  std::string receipt_id;
  Claim claim;
  std::vector<Evidence> evidence;
  std::optional<Derivation> derivation;
  std::optional<Attestation> attestation;

  bool operator==(const Receipt&) const = default;
};

// Serialized names: "stated"/"derived" and "ratio"/"difference"/"growth_rate".
std::string_view claim_kind_name(ClaimKind kind) noexcept;
std::string_view operation_name(OperationKind kind) noexcept;

}  // namespace quorrel::evidence
