#include "quorrel/evidence/verify.hpp"

#include <algorithm>
#include <cstring>
#include <tuple>
#include <iterator>

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

// What the checks of one receipt without a derivation found, before any
// detail text is written: a receipt that passes every check costs no report.
struct StatedFindings {
  bool hashes_to_id = false;
  bool schema_known = false;
  std::size_t evidence_count = 0;
  bool artifact_matches = false;
  FactMatch match;
  bool range_matches = false;
  enum class Value { Absent, Matches, Differs } value = Value::Absent;
  std::optional<Check> attestation;

  bool all_pass() const noexcept {
    return hashes_to_id && schema_known && evidence_count == 1 && artifact_matches && match.count == 1 &&
           range_matches && value == Value::Matches && (!attestation || attestation->pass);
  }
};

// The start of every canonical body: ["er/0.2",
constexpr std::string_view kBodyHead = "[\"er/0.2\",";
static_assert(kSchema == "er/0.2");

void write_body(const CanonicalSlices& slices, std::string& body);

// Writes the receipt's canonical body into `body` (replacing its content).
// `slices`, when present, are the receipt's claim and evidence list exactly
// as the canonical writer writes them, so the body is put together from them.
void write_body(const Receipt& receipt, const CanonicalSlices& slices, std::string& body) {
  body.clear();
  if (slices.present() && !receipt.derivation) {
    write_body(slices, body);
  } else {
    append_canonical_body(receipt.claim, receipt.evidence, receipt.derivation, body);
  }
}

// What the checks of a receipt without a derivation read from it, as views
// of a receipt record or of the receipt's text.
struct StatedParts {
  std::string_view schema;
  std::string_view receipt_id;
  std::string_view value;
  std::size_t evidence_count = 0;
  // Of the first evidence item; empty when there is none.
  std::string_view artifact_sha256;
  std::string_view concept_name;
  std::string_view context_ref;
  std::optional<std::string_view> unit_ref;
  std::optional<core::ByteRange> byte_range;
  const Receipt* record = nullptr;  // the receipt record, when there is one: its attestation is checked
};

StatedParts parts_of(const Receipt& receipt) {
  StatedParts parts;
  parts.schema = receipt.schema;
  parts.receipt_id = receipt.receipt_id;
  parts.value = receipt.claim.value;
  parts.evidence_count = receipt.evidence.size();
  if (!receipt.evidence.empty()) {
    const Evidence& evidence = receipt.evidence.front();
    parts.artifact_sha256 = evidence.source_artifact.sha256;
    parts.concept_name = evidence.locator.concept_name;
    parts.context_ref = evidence.locator.context_ref;
    if (evidence.locator.unit_ref) parts.unit_ref = *evidence.locator.unit_ref;
    parts.byte_range = evidence.locator.byte_range;
  }
  parts.record = &receipt;
  return parts;
}

StatedParts parts_of(const PlainReceiptView& receipt) {
  StatedParts parts;
  parts.schema = receipt.schema;
  parts.receipt_id = receipt.receipt_id;
  parts.value = receipt.value;
  parts.evidence_count = 1;
  parts.artifact_sha256 = receipt.evidence.sha256;
  parts.concept_name = receipt.evidence.concept_name;
  parts.context_ref = receipt.evidence.context_ref;
  parts.unit_ref = receipt.evidence.unit_ref;
  parts.byte_range = receipt.evidence.byte_range;
  return parts;
}

// Whether `receipt_id` is the id of a body with this digest: "er_" and the
// digest's 64 lower-case hexadecimal digits, compared without writing a string.
bool is_id_of(const Digest& digest, std::string_view receipt_id) noexcept {
  static constexpr char kDigits[] = "0123456789abcdef";
  constexpr std::string_view kPrefix = "er_";
  if (receipt_id.size() != kPrefix.size() + 2 * digest.size() || !receipt_id.starts_with(kPrefix)) return false;
  char hex[2 * std::tuple_size_v<Digest>];
  for (std::size_t i = 0; i < digest.size(); ++i) {
    hex[2 * i] = kDigits[digest[i] >> 4];
    hex[2 * i + 1] = kDigits[digest[i] & 0x0F];
  }
  return std::memcmp(hex, receipt_id.data() + kPrefix.size(), sizeof hex) == 0;
}

// The checks of a receipt whose canonical body is written and hashed, given
// whether it hashes to the receipt's id.
StatedFindings examine_hashed(const SourceContext& context, const StatedParts& receipt, VerifyScratch& scratch,
                              std::string_view body, bool hashes_to_id) {
  StatedFindings found;
  found.hashes_to_id = hashes_to_id;
  found.schema_known = receipt.schema == kSchema;
  found.evidence_count = receipt.evidence_count;

  if (found.evidence_count > 0) {
    found.artifact_matches = receipt.artifact_sha256 == context.sha256;
    found.match = context.index.locate(FactKeyView{receipt.concept_name, receipt.context_ref, receipt.unit_ref},
                                       receipt.byte_range, scratch.key, &scratch.next_position);
    if (found.match.count > 0) {
      const std::optional<core::ByteRange>& fact_range = context.document.facts[found.match.first].byte_range;
      found.range_matches = receipt.byte_range && fact_range && *receipt.byte_range == *fact_range;
      if (const std::optional<CanonicalValue>& entry = context.values[found.match.first]) {
        const std::optional<core::Decimal> claimed = core::Decimal::parse(receipt.value);
        const bool matches = (claimed && entry->decimal) ? *claimed == *entry->decimal
                                                         : receipt.value == entry->text;
        found.value = matches ? StatedFindings::Value::Matches : StatedFindings::Value::Differs;
      }
    }
  }
  if (receipt.record != nullptr) found.attestation = attestation_check(*receipt.record, body);
  return found;
}

// The canonical body of a receipt without derivation whose claim and evidence
// list are `slices`, written into `body` (replacing its content).
void write_body(const CanonicalSlices& slices, std::string& body) {
  body.clear();
  body.append(kBodyHead);
  body.append(slices.claim);
  body.push_back(',');
  body.append(slices.evidence);
  body.append(",null]");
}

StatedFindings examine(const SourceContext& context, const Receipt& receipt, VerifyScratch& scratch) {
  write_body(receipt, CanonicalSlices{}, scratch.body);
  receipt_id_of_body_into(scratch.body, scratch.sha, scratch.id);
  return examine_hashed(context, parts_of(receipt), scratch, scratch.body, receipt.receipt_id == scratch.id);
}

// The full report of what examine found, every check in the order performed.
VerificationReport report_of(const SourceContext& context, const Receipt& receipt, StatedFindings found) {
  std::vector<Check> checks;
  checks.reserve(7);
  if (found.hashes_to_id && found.schema_known) {
    checks.push_back(Check::passed(CheckName::ReceiptId));
  } else {
    checks.push_back(Check::failed(CheckName::ReceiptId, "receipt body does not hash to receipt_id"));
  }

  const std::size_t n = found.evidence_count;
  if (n == 1) {
    checks.push_back(Check::passed(CheckName::EvidenceShape));
  } else {
    checks.push_back(Check::failed(CheckName::EvidenceShape, std::to_string(n) + " evidence items, expected exactly 1"));
  }

  if (n > 0) {
    const Evidence& evidence = receipt.evidence.front();
    if (found.artifact_matches) {
      checks.push_back(Check::passed(CheckName::ArtifactHash));
    } else {
      checks.push_back(Check::failed(CheckName::ArtifactHash,
                                     "expected " + evidence.source_artifact.sha256 + ", got " + context.sha256));
    }

    if (found.match.count == 1) {
      checks.push_back(Check::passed(CheckName::Locate));
    } else {
      checks.push_back(Check::failed(CheckName::Locate,
                                     "matched " + std::to_string(found.match.count) + " facts, expected exactly 1"));
    }

    if (found.match.count > 0) {
      if (found.range_matches) {
        checks.push_back(Check::passed(CheckName::ByteRange));
      } else {
        checks.push_back(Check::failed(
            CheckName::ByteRange, "recorded " + render_byte_range(evidence.locator.byte_range) + ", re-parsed " +
                                      render_byte_range(context.document.facts[found.match.first].byte_range)));
      }

      switch (found.value) {
        case StatedFindings::Value::Absent:
          checks.push_back(Check::failed(CheckName::ValueMatch, "located fact has no re-derivable numeric value"));
          break;
        case StatedFindings::Value::Matches:
          checks.push_back(Check::passed(CheckName::ValueMatch));
          break;
        case StatedFindings::Value::Differs:
          checks.push_back(Check::failed(CheckName::ValueMatch, "claimed " + receipt.claim.value + ", source has " +
                                                                    context.values[found.match.first]->text));
          break;
      }
    }
  }

  if (found.attestation) checks.push_back(std::move(*found.attestation));
  return VerificationReport::from_checks(receipt.receipt_id, std::move(checks));
}

}  // namespace

std::string render(const VerifyError& error) {
  return std::visit([](const auto& e) { return e.render(); }, error);
}

std::string render_byte_range(const std::optional<core::ByteRange>& range) {
  if (!range) return "None";
  return "Some((" + std::to_string(range->first) + ", " + std::to_string(range->second) + "))";
}

VerificationReport verify_in(const SourceContext& context, const Receipt& receipt) {
  VerifyScratch scratch;
  return verify_in(context, receipt, scratch);
}

VerificationReport verify_in(const SourceContext& context, const Receipt& receipt, VerifyScratch& scratch) {
  return report_of(context, receipt, examine(context, receipt, scratch));
}

std::expected<std::string, VerifyError> verify_jsonl(std::string_view receipts_text, std::string_view source_bytes) {
  QUORREL_EV_TRY(context, SourceContext::load(source_bytes));

  // Receipts without a derivation are checked as they are read, into two
  // reused slots; only a report for a failing one is built. A receipt written
  // as this library writes stated ones is read as views of its line, without
  // copying; any other is read into a receipt record. Derived receipts may
  // name any receipt of the batch, later ones included, so they are kept
  // whole and checked once the batch is read, against what every receipt
  // left behind: its id and claimed value (views of its line, or copies in
  // one buffer) and, for the ones already checked, whether its body hashes to
  // its id.
  enum class Held : std::uint8_t { InLine, InTexts, Derived };
  struct Seen {
    Held held;
    std::int8_t intact;  // -1 for derived receipts: worked out when named
    std::string_view id;     // InLine
    std::string_view value;  // InLine
    std::size_t id_begin;     // InTexts
    std::size_t value_begin;  // InTexts
    std::size_t value_end;    // InTexts
    std::size_t derived_slot;  // Derived: into `derived`
  };
  const std::vector<std::string_view> lines = jsonl_records(receipts_text);
  std::vector<Seen> seen;
  seen.reserve(lines.size());
  std::string texts;
  std::vector<Receipt> derived;
  std::vector<std::pair<std::size_t, VerificationReport>> failures;  // with the receipt's batch position
  std::size_t pass = 0;
  VerifyScratch scratch;
  struct Slot {
    bool plain = false;  // read as `view`, else into `receipt`
    PlainReceiptView view;
    Receipt receipt;
    CanonicalSlices slices;
    std::string body;
    Digest digest{};
    std::size_t position = 0;
  };
  Slot slot;
  Receipt failed;  // a plain receipt that fails, as the record its report needs
  const auto check = [&](Slot& slot) {
    const StatedParts parts = slot.plain ? parts_of(slot.view) : parts_of(slot.receipt);
    StatedFindings found =
        examine_hashed(context, parts, scratch, slot.body, is_id_of(slot.digest, parts.receipt_id));
    seen[slot.position].intact = found.hashes_to_id ? 1 : 0;
    if (found.all_pass()) {
      ++pass;
    } else if (slot.plain) {
      slot.view.to_receipt(failed);
      failures.emplace_back(slot.position, report_of(context, failed, std::move(found)));
    } else {
      failures.emplace_back(slot.position, report_of(context, slot.receipt, std::move(found)));
    }
  };
  for (std::size_t position = 0; position < lines.size(); ++position) {
    slot.position = position;
    Seen& entry = seen.emplace_back(Seen{Held::InLine, -1, {}, {}, 0, 0, 0, 0});
    slot.plain = read_plain_receipt(lines[position], slot.view);
    if (slot.plain) {
      entry.id = slot.view.receipt_id;
      entry.value = slot.view.value;
      write_body(slot.view.slices, slot.body);
    } else {
      Receipt& receipt = slot.receipt;
      if (std::expected<void, ReceiptReadError> read = read_receipt_into(lines[position], receipt, &slot.slices); !read) {
        return std::unexpected(std::move(read.error()));
      }
      if (receipt.derivation) {
        entry.held = Held::Derived;
        entry.derived_slot = derived.size();
        derived.push_back(std::move(receipt));
        receipt = Receipt{};
        continue;
      }
      entry.held = Held::InTexts;
      entry.id_begin = texts.size();
      texts.append(receipt.receipt_id);
      entry.value_begin = texts.size();
      texts.append(receipt.claim.value);
      entry.value_end = texts.size();
      write_body(receipt, slot.slices, slot.body);
    }
    slot.digest = scratch.sha.digest(slot.body);
    check(slot);
  }

  if (!derived.empty()) {
    std::vector<ReceiptIndex::Parent> parents;
    parents.reserve(seen.size());
    std::vector<std::size_t> derived_positions;
    derived_positions.reserve(derived.size());
    const std::string_view all(texts);
    for (std::size_t position = 0; position < seen.size(); ++position) {
      const Seen& entry = seen[position];
      ReceiptIndex::Parent& parent = parents.emplace_back();
      parent.position = position;
      parent.intact = entry.intact;
      switch (entry.held) {
        case Held::InLine:
          parent.receipt_id = entry.id;
          parent.claimed_value = entry.value;
          break;
        case Held::InTexts:
          parent.receipt_id = all.substr(entry.id_begin, entry.value_begin - entry.id_begin);
          parent.claimed_value = all.substr(entry.value_begin, entry.value_end - entry.value_begin);
          break;
        case Held::Derived: {
          const Receipt& receipt = derived[entry.derived_slot];
          parent.receipt_id = receipt.receipt_id;
          parent.claimed_value = receipt.claim.value;
          parent.receipt = &receipt;
          derived_positions.push_back(position);
          break;
        }
      }
    }
    const ReceiptIndex index(std::move(parents));
    const std::size_t stated_failures = failures.size();
    for (std::size_t k = 0; k < derived.size(); ++k) {
      VerificationReport report = verify_derived(derived[k], index);
      if (report.status == ValidationStatus::Verified) {
        ++pass;
      } else {
        failures.emplace_back(derived_positions[k], std::move(report));
      }
    }
    // Both runs of failures are in batch order; the summary lists them as the batch does.
    const auto middle = failures.begin() + static_cast<std::ptrdiff_t>(stated_failures);
    std::vector<std::pair<std::size_t, VerificationReport>> merged;
    merged.reserve(failures.size());
    std::merge(std::make_move_iterator(failures.begin()), std::make_move_iterator(middle),
               std::make_move_iterator(middle), std::make_move_iterator(failures.end()), std::back_inserter(merged),
               [](const auto& a, const auto& b) { return a.first < b.first; });
    failures = std::move(merged);
  }

  std::vector<VerificationReport> reports;
  reports.reserve(failures.size());
  for (auto& [position, report] : failures) reports.push_back(std::move(report));
  std::string out;
  write_summary_json(pass, reports, out);
  return out;
}

}  // namespace quorrel::evidence
