#pragma once
// The evidence receipt record: a claimed value bound to the evidence for it
// (source artifact, locator, extracting engine) or to the receipts it was
// derived from, optionally attested by a signature.
//
// Every record comes in two forms of one template: with owned texts
// (Receipt, Claim, ...: BasicX<std::string>) and with views of texts held
// elsewhere (ReceiptView, ClaimView, ...: BasicX<std::string_view>), as the
// receipt reader gives them for a line without copying it. Writing, the
// canonical body and the checks of a stated receipt take either.

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

template <class Text>
struct BasicClaim {
  Text value;  // decimal text, kept exactly as given
  std::optional<Text> unit;
  ClaimKind kind = ClaimKind::Stated;
  Text doc_id;

  bool operator==(const BasicClaim&) const = default;
};

template <class Text>
struct BasicSourceArtifact {
  Text uri;
  Text sha256;
  std::optional<Text> retrieved_at;
  std::optional<Text> authority;

  bool operator==(const BasicSourceArtifact&) const = default;
};

// Half-open (start, end) byte offsets into the source.
using ByteRange = std::pair<std::uint64_t, std::uint64_t>;

// The locator has a single profile, "xbrl".
template <class Text>
struct BasicXbrlLocator {
  Text concept_name;  // JSON key "concept"
  Text context_ref;
  std::optional<Text> unit_ref;
  std::optional<ByteRange> byte_range;

  bool operator==(const BasicXbrlLocator&) const = default;
};

template <class Text>
struct BasicExtraction {
  Text engine;

  bool operator==(const BasicExtraction&) const = default;
};

template <class Text>
struct BasicEvidence {
  BasicSourceArtifact<Text> source_artifact;
  BasicXbrlLocator<Text> locator;
  BasicExtraction<Text> extraction;

  bool operator==(const BasicEvidence&) const = default;
};

enum class OperationKind { Ratio, Difference, GrowthRate };

struct Operation {
  OperationKind kind = OperationKind::Ratio;
  // Rounding for Ratio and GrowthRate; a Difference neither writes nor reads it.
  std::optional<std::uint32_t> round_dp;

  bool operator==(const Operation&) const = default;
};

template <class Text>
struct BasicDerivationInput {
  Text receipt_id;
  Text value;
  Text role;

  bool operator==(const BasicDerivationInput&) const = default;
};

template <class Text>
struct BasicDerivation {
  Operation operation;
  std::vector<BasicDerivationInput<Text>> inputs;

  bool operator==(const BasicDerivation&) const = default;
};

template <class Text>
struct BasicAttestation {
  Text alg;
  Text public_key;
  Text sig;

  bool operator==(const BasicAttestation&) const = default;
};

template <class Text>
struct BasicReceipt {
  Text schema;
  Text receipt_id;
  BasicClaim<Text> claim;
  std::vector<BasicEvidence<Text>> evidence;
  std::optional<BasicDerivation<Text>> derivation;
  std::optional<BasicAttestation<Text>> attestation;

  bool operator==(const BasicReceipt&) const = default;
};

using Claim = BasicClaim<std::string>;
using SourceArtifact = BasicSourceArtifact<std::string>;
using XbrlLocator = BasicXbrlLocator<std::string>;
using Locator = XbrlLocator;
using Extraction = BasicExtraction<std::string>;
using Evidence = BasicEvidence<std::string>;
using DerivationInput = BasicDerivationInput<std::string>;
using Derivation = BasicDerivation<std::string>;
using Attestation = BasicAttestation<std::string>;
using Receipt = BasicReceipt<std::string>;

using ClaimView = BasicClaim<std::string_view>;
using SourceArtifactView = BasicSourceArtifact<std::string_view>;
using LocatorView = BasicXbrlLocator<std::string_view>;
using EvidenceView = BasicEvidence<std::string_view>;
using ReceiptView = BasicReceipt<std::string_view>;

// A record with its texts in the other form: views of an owned record (valid
// while it is), or an owned copy of a view.
template <class To, class From>
BasicReceipt<To> with_texts(const BasicReceipt<From>& from);
template <class To, class From>
BasicEvidence<To> with_texts(const BasicEvidence<From>& from);
template <class To, class From>
BasicClaim<To> with_texts(const BasicClaim<From>& from);

// Serialized names: "stated"/"derived" and "ratio"/"difference"/"growth_rate".
std::string_view claim_kind_name(ClaimKind kind) noexcept;
std::string_view operation_name(OperationKind kind) noexcept;

}  // namespace quorrel::evidence
