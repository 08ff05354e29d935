#pragma once
// Verification results: checks, reports and their JSON form.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quorrel::evidence {

enum class CheckName {
  ReceiptId,
  EvidenceShape,
  ArtifactHash,
  Locate,
  ByteRange,
  ValueMatch,
  InputResolution,
  Recompute,
  Attestation,
};

// "receipt_id", "evidence_shape", "artifact_hash", "locate", "byte_range",
// "value_match", "input_resolution", "recompute", "attestation".
std::string_view check_name_text(CheckName name) noexcept;

struct Check {
  CheckName name = CheckName::ReceiptId;
  bool pass = false;
  // Set exactly when the check failed.
  std::optional<std::string> detail;

  static Check passed(CheckName name) { return Check{name, true, std::nullopt}; }
  static Check failed(CheckName name, std::string detail) {
    return Check{name, false, std::move(detail)};
  }

  bool operator==(const Check&) const = default;
};

enum class ValidationStatus { Verified, Failed };

// "verified" or "failed".
std::string_view validation_status_text(ValidationStatus status) noexcept;

struct VerificationReport {
  std::string receipt_id;  // as the receipt states it
  ValidationStatus status = ValidationStatus::Verified;
  std::vector<Check> checks;  // in the order performed

  // Builds a report whose status follows from its checks: failed exactly when
  // some check failed.
  static VerificationReport from_checks(std::string receipt_id, std::vector<Check> checks);

  bool operator==(const VerificationReport&) const = default;
};

// Reports leave the system with their members sorted by key:
// {"checks":[...],"receipt_id":"...","status":"verified"|"failed"}, each check as
// {"detail":"...","name":"...","pass":false} ("detail" left out when absent).
void write_check_json(const Check& check, std::string& out);
void write_report_json(const VerificationReport& report, std::string& out);

// The verification summary: {"fail":n,"failures":[report,...],"pass":n}, where
// "fail" is the number of failures.
void write_summary_json(std::size_t pass, const std::vector<VerificationReport>& failures,
                        std::string& out);

}  // namespace quorrel::evidence
