#include "quorrel/evidence/verify.hpp"

#include <algorithm>

#include "quorrel/core/parser.hpp"
#include "quorrel/evidence/attestation.hpp"
#include "quorrel/evidence/canonical.hpp"
#include "quorrel/evidence/crypto.hpp"
#include "quorrel/evidence/derived.hpp"
#include "quorrel/evidence/json_writer.hpp"
#include "quorrel/evidence/jsonl.hpp"
#include "quorrel/evidence/receipt_reader.hpp"

namespace quorrel::evidence {
namespace {

Check passed(CheckName name) { return Check::passed(name); }
Check failed(CheckName name, std::string detail) { return Check::failed(name, std::move(detail)); }

struct RangeLess {
  using Entry = std::pair<core::ByteRange, std::size_t>;
  bool operator()(const Entry& a, const core::ByteRange& b) const { return a.first < b; }
  bool operator()(const core::ByteRange& a, const Entry& b) const { return a < b.first; }
};

// The candidates for a locator: every fact under its key, narrowed to the
// facts at the recorded byte range when there are several and any sits there.
std::span<const std::size_t> locate(const SourceContext& context, const XbrlLocator& locator,
                                    std::vector<std::size_t>& scratch) {
  std::optional<std::string_view> unit_ref;
  if (locator.unit_ref) unit_ref = *locator.unit_ref;
  const auto it = context.index.find(FactKeyView{locator.concept_name, locator.context_ref, unit_ref});
  if (it == context.index.end()) return {};
  const FactPositions& entry = it->second;
  if (entry.positions.size() >= 2 && locator.byte_range) {
    const auto [lo, hi] = std::equal_range(entry.by_range.begin(), entry.by_range.end(), *locator.byte_range,
                                           RangeLess{});
    if (lo != hi) {
      scratch.clear();
      for (auto p = lo; p != hi; ++p) scratch.push_back(p->second);
      return scratch;
    }
  }
  return entry.positions;
}

}  // namespace

std::string render_byte_range(const std::optional<core::ByteRange>& range) {
  if (!range) return "None";
  return "Some((" + std::to_string(range->first) + ", " + std::to_string(range->second) + "))";
}

VerificationReport verify_in(const SourceContext& context, const Receipt& receipt) {
  VerifyScratch scratch;
  return verify_in(context, receipt, scratch);
}

VerificationReport verify_in(const SourceContext& context, const Receipt& receipt, VerifyScratch& scratch) {
  std::vector<Check> checks;
  checks.reserve(7);

  std::string& body = scratch.body;
  body.clear();
  append_canonical_body(receipt.claim, receipt.evidence, receipt.derivation, body);
  if (receipt_id_of_body(body, scratch.sha) == receipt.receipt_id && receipt.schema == kSchema) {
    checks.push_back(passed(CheckName::ReceiptId));
  } else {
    checks.push_back(failed(CheckName::ReceiptId, "receipt body does not hash to receipt_id"));
  }

  const std::size_t n = receipt.evidence.size();
  if (n == 1) {
    checks.push_back(passed(CheckName::EvidenceShape));
  } else {
    checks.push_back(failed(CheckName::EvidenceShape, std::to_string(n) + " evidence items, expected exactly 1"));
  }

  if (n > 0) {
    const Evidence& evidence = receipt.evidence.front();
    if (evidence.source_artifact.sha256 == context.sha256) {
      checks.push_back(passed(CheckName::ArtifactHash));
    } else {
      checks.push_back(failed(CheckName::ArtifactHash,
                              "expected " + evidence.source_artifact.sha256 + ", got " + context.sha256));
    }

    const XbrlLocator& locator = evidence.locator;
    const std::span<const std::size_t> candidates = locate(context, locator, scratch.positions);
    if (candidates.size() == 1) {
      checks.push_back(passed(CheckName::Locate));
    } else {
      checks.push_back(failed(CheckName::Locate,
                              "matched " + std::to_string(candidates.size()) + " facts, expected exactly 1"));
    }

    if (!candidates.empty()) {
      const std::size_t position = candidates.front();
      const std::optional<core::ByteRange>& fact_range = context.document.facts[position].byte_range;
      if (locator.byte_range && fact_range && *locator.byte_range == *fact_range) {
        checks.push_back(passed(CheckName::ByteRange));
      } else {
        checks.push_back(failed(CheckName::ByteRange, "recorded " + render_byte_range(locator.byte_range) +
                                                          ", re-parsed " + render_byte_range(fact_range)));
      }

      const std::optional<CanonicalValue>& entry = context.values[position];
      if (!entry) {
        checks.push_back(failed(CheckName::ValueMatch, "located fact has no re-derivable numeric value"));
      } else {
        const std::optional<core::Decimal> claimed = core::Decimal::parse(receipt.claim.value);
        const bool matches = (claimed && entry->decimal) ? *claimed == *entry->decimal
                                                         : receipt.claim.value == entry->text;
        if (matches) {
          checks.push_back(passed(CheckName::ValueMatch));
        } else {
          checks.push_back(failed(CheckName::ValueMatch,
                                  "claimed " + receipt.claim.value + ", source has " + entry->text));
        }
      }
    }
  }

  if (std::optional<Check> attestation = attestation_check(receipt, body)) {
    checks.push_back(std::move(*attestation));
  }
  return VerificationReport::from_checks(receipt.receipt_id, std::move(checks));
}

std::expected<std::string, std::string> receipts_jsonl(std::string_view source_bytes, std::string_view doc_id,
                                                       std::string_view uri,
                                                       const std::optional<std::string_view>& authority) {
  std::expected<core::InstanceDocument, core::XbrlError> document = core::parse_instance(source_bytes);
  if (!document) return std::unexpected(document.error().render());

  SourceArtifact artifact;
  artifact.uri = std::string(uri);
  artifact.sha256 = sha256_hex(source_bytes);
  if (authority) artifact.authority = std::string(*authority);

  std::string out;
  // A line is about 400 bytes besides its texts. Reserving a line for every
  // fact saves regrowing the buffer and costs nothing for pages never written;
  // the reservation is capped by a multiple of the input so that a huge uri
  // cannot make it absurd (the buffer still grows as needed).
  const std::size_t per_line = 512 + uri.size() + doc_id.size() + (authority ? authority->size() : 0);
  const std::size_t cap = 8 * source_bytes.size() + per_line;
  const std::size_t facts = document->facts.size();
  out.reserve(facts != 0 && per_line > cap / facts ? cap : facts * per_line);
  append_receipt_lines(*document, doc_id, artifact, out);
  return out;
}

std::expected<std::string, std::string> verify_jsonl(std::string_view receipts_text, std::string_view source_bytes) {
  std::expected<SourceContext, EvidenceError> context = SourceContext::load(source_bytes);
  if (!context) return std::unexpected(context.error().render());

  const std::vector<std::string_view> lines = jsonl_records(receipts_text);
  std::vector<Receipt> receipts;
  receipts.reserve(lines.size());
  for (std::string_view line : lines) {
    std::expected<Receipt, std::string> receipt = read_receipt(line);
    if (!receipt) return std::unexpected(std::move(receipt.error()));
    receipts.push_back(std::move(*receipt));
  }

  const ReceiptIndex index(receipts);
  std::size_t pass = 0;
  std::vector<VerificationReport> failures;
  VerifyScratch scratch;
  for (const Receipt& receipt : receipts) {
    VerificationReport report =
        receipt.derivation ? verify_derived(receipt, index) : verify_in(*context, receipt, scratch);
    if (report.status == ValidationStatus::Verified) {
      ++pass;
    } else {
      failures.push_back(std::move(report));
    }
  }

  std::string out;
  write_summary_json(pass, failures, out);
  return out;
}

}  // namespace quorrel::evidence
