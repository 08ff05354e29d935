#include "quorrel/evidence/verify.hpp"

#include <algorithm>
#include <cstdint>
#include <functional>
#include <span>

#include "quorrel/evidence/attestation.hpp"
#include "quorrel/evidence/canonical.hpp"
#include "quorrel/evidence/derived.hpp"
#include "quorrel/evidence/jsonl.hpp"

namespace quorrel::evidence {

std::string render(const VerifyError& error) {
  return std::visit([](const auto& e) { return e.render(); }, error);
}

std::string render_byte_range(const std::optional<core::ByteRange>& range) {
  if (!range) return "None";
  return "Some((" + std::to_string(range->first) + ", " + std::to_string(range->second) + "))";
}

namespace {

// The checks of one receipt whose body is written and hashed, into its outcome.
void check_stated(const SourceContext& context, const ReceiptView& receipt, std::string_view body,
                  StatedOutcome& outcome, VerifyScratch& scratch) {
  VerificationReport& report = outcome.report;
  // Detail texts are written only for checks that fail.
  std::vector<Check>& checks = report.checks;
  checks.clear();
  const auto check = [&checks](CheckName name, bool pass, const auto& detail) {
    checks.push_back(pass ? Check::passed(name) : Check::failed(name, detail()));
  };
  check(CheckName::ReceiptId, outcome.intact && receipt.schema == kSchema,
        [] { return std::string("receipt body does not hash to receipt_id"); });
  const std::size_t n = receipt.evidence.size();
  check(CheckName::EvidenceShape, n == 1,
        [n] { return std::to_string(n) + " evidence items, expected exactly 1"; });
  if (n > 0) {
    const EvidenceView& evidence = receipt.evidence.front();
    const LocatorView& locator = evidence.locator;
    check(CheckName::ArtifactHash, evidence.source_artifact.sha256 == context.sha256, [&] {
      return "expected " + std::string(evidence.source_artifact.sha256) + ", got " + context.sha256;
    });
    const FactMatch match = context.index.locate({locator.concept_name, locator.context_ref, locator.unit_ref},
                                                  locator.byte_range, scratch.key, &scratch.next_position);
    check(CheckName::Locate, match.count == 1,
          [&] { return "matched " + std::to_string(match.count) + " facts, expected exactly 1"; });
    if (match.count > 0) {
      const std::optional<core::ByteRange>& fact_range = context.document.facts[match.first].byte_range;
      check(CheckName::ByteRange, locator.byte_range && fact_range && *locator.byte_range == *fact_range, [&] {
        return "recorded " + render_byte_range(locator.byte_range) + ", re-parsed " + render_byte_range(fact_range);
      });
      const std::optional<core::Decimal>& number = context.values[match.first];
      if (!number) {
        check(CheckName::ValueMatch, false,
              [] { return std::string("located fact has no re-derivable numeric value"); });
      } else {
        // A claim that is a decimal compares by value, any other text with the
        // fact's canonical text.
        const auto canonical = [&number] {
          std::string text;
          append_canonical_text(*number, text);
          return text;
        };
        const std::optional<core::Decimal> claimed = core::Decimal::parse(receipt.claim.value);
        check(CheckName::ValueMatch, claimed ? *claimed == *number : receipt.claim.value == canonical(),
              [&] { return "claimed " + std::string(receipt.claim.value) + ", source has " + canonical(); });
      }
    }
  }
  if (std::optional<Check> attestation = attestation_check(receipt, body)) {
    checks.push_back(std::move(*attestation));
  }
  report.receipt_id.assign(receipt.receipt_id);
  report.status = std::all_of(checks.begin(), checks.end(), [](const Check& c) { return c.pass; })
                      ? ValidationStatus::Verified
                      : ValidationStatus::Failed;
}

}  // namespace

void verify_in(const SourceContext& context, std::span<const ViewedReceipt> receipts, VerifyScratch& scratch,
               std::span<StatedOutcome> out) {
  // The bodies first, hashed together; then each receipt's checks.
  const std::size_t n = receipts.size();
  if (scratch.bodies.size() < n) scratch.bodies.resize(n);
  scratch.views.resize(n);
  scratch.digests.resize(n);
  for (std::size_t i = 0; i < n; ++i) {
    const ViewedReceipt& viewed = receipts[i];
    std::string& body = scratch.bodies[i];
    body.clear();
    if (viewed.written && !viewed.receipt.derivation) {
      append_canonical_body(viewed.written->claim, viewed.written->evidence, std::nullopt, body);
    } else {
      append_canonical_body(viewed.receipt, body);
    }
    scratch.views[i] = body;
  }
  scratch.sha.digest_batch(scratch.views, scratch.digests.data());
  for (std::size_t i = 0; i < n; ++i) {
    scratch.id.assign("er_");
    append_hex(scratch.digests[i].data(), scratch.digests[i].size(), scratch.id);
    out[i].intact = scratch.id == receipts[i].receipt.receipt_id;
    check_stated(context, receipts[i].receipt, scratch.views[i], out[i], scratch);
  }
}

VerificationReport verify_in(const SourceContext& context, const Receipt& receipt) {
  const ViewedReceipt viewed{with_texts<std::string_view>(receipt), std::nullopt, {}};
  VerifyScratch scratch;
  StatedOutcome outcome;
  verify_in(context, std::span(&viewed, 1), scratch, std::span(&outcome, 1));
  return std::move(outcome.report);
}

std::expected<std::string, VerifyError> verify_jsonl(std::string_view receipts_text, std::string_view source_bytes) {
  QUORREL_TRY(context, SourceContext::load(source_bytes));

  // Receipts without a derivation are checked as they are read, a few at a
  // time. Derived receipts may name any receipt of the batch, later ones
  // included, so they are kept and checked once every line is read, against what each receipt
  // left behind: its stated id and claimed value and, for one already
  // checked, whether its body hashes to its id. A text read as it stands in
  // the line lasts the whole call; one decoded into the line's own buffer
  // lasts only until the next line is read, and is copied.
  struct Seen {
    std::string_view id;
    std::string_view value;
    std::int8_t intact;      // -1 for a derived receipt: worked out when named
    const Receipt* derived;  // the kept derived receipt, once the batch is read
  };
  core::TextArena copies;
  const auto lasting = [&](std::string_view text) {
    const std::less<const char*> before;
    const bool in_line = !before(text.data(), receipts_text.data()) &&
                         !before(receipts_text.data() + receipts_text.size(), text.data() + text.size());
    return in_line ? text : copies.add(text);
  };
  JsonlRecords lines(receipts_text);
  std::vector<Seen> seen;
  seen.reserve(receipts_text.size() / 512);  // a receipt's line is longer
  std::vector<std::pair<std::size_t, Receipt>> derived;  // with the receipt's batch position
  std::vector<std::pair<std::size_t, VerificationReport>> failures;
  std::size_t pass = 0;
  // Stated receipts are checked sixteen at a time, so that their bodies are
  // hashed together.
  constexpr std::size_t kBatch = 16;
  std::vector<ViewedReceipt> batch(kBatch);
  std::vector<StatedOutcome> outcomes(kBatch);
  std::size_t positions[kBatch];
  std::size_t held = 0;
  VerifyScratch scratch;
  const auto check_batch = [&] {
    verify_in(context, std::span(batch).first(held), scratch, std::span(outcomes).first(held));
    for (std::size_t i = 0; i < held; ++i) {
      seen[positions[i]].intact = outcomes[i].intact ? 1 : 0;
      if (outcomes[i].report.status == ValidationStatus::Verified) {
        ++pass;
      } else {
        failures.emplace_back(positions[i], std::move(outcomes[i].report));
      }
    }
    held = 0;
  };
  for (std::size_t position = 0; const std::optional<std::string_view> line = lines.next(); ++position) {
    QUORREL_TRY_VOID(read_receipt(*line, batch[held]));
    const ReceiptView& receipt = batch[held].receipt;
    seen.push_back(Seen{lasting(receipt.receipt_id), lasting(receipt.claim.value), -1, nullptr});
    if (receipt.derivation) {
      derived.emplace_back(position, with_texts<std::string>(receipt));
      continue;
    }
    positions[held] = position;
    if (++held == kBatch) check_batch();
  }
  check_batch();

  if (!derived.empty()) {
    for (const auto& [position, receipt] : derived) seen[position].derived = &receipt;
    std::vector<ReceiptIndex::Parent> parents;
    parents.reserve(seen.size());
    for (std::size_t position = 0; position < seen.size(); ++position) {
      const Seen& entry = seen[position];
      parents.push_back({entry.id, entry.value, position, entry.intact, entry.derived});
    }
    const ReceiptIndex index(std::move(parents));
    for (const auto& [position, receipt] : derived) {
      VerificationReport derived_report = verify_derived(receipt, index);
      if (derived_report.status == ValidationStatus::Verified) {
        ++pass;
      } else {
        failures.emplace_back(position, std::move(derived_report));
      }
    }
    // The summary lists failures in batch order.
    std::sort(failures.begin(), failures.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  }

  std::vector<VerificationReport> reports;
  reports.reserve(failures.size());
  for (auto& [position, failed] : failures) reports.push_back(std::move(failed));
  std::string out;
  write_summary_json(pass, reports, out);
  return out;
}

}  // namespace quorrel::evidence
