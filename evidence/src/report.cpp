#include "quorrel/evidence/report.hpp"

#include <utility>

#include "quorrel/evidence/json_writer.hpp"

namespace quorrel::evidence {

std::string_view check_name_text(CheckName name) noexcept {
  switch (name) {
    case CheckName::ReceiptId:
      return "receipt_id";
    case CheckName::EvidenceShape:
      return "evidence_shape";
    case CheckName::ArtifactHash:
      return "artifact_hash";
    case CheckName::Locate:
      return "locate";
    case CheckName::ByteRange:
      return "byte_range";
    case CheckName::ValueMatch:
      return "value_match";
    case CheckName::InputResolution:
      return "input_resolution";
    case CheckName::Recompute:
      return "recompute";
    case CheckName::Attestation:
      return "attestation";
  }
  return "receipt_id";
}

std::string_view validation_status_text(ValidationStatus status) noexcept {
  return status == ValidationStatus::Verified ? "verified" : "failed";
}

VerificationReport VerificationReport::from_checks(std::string receipt_id,
                                                   std::vector<Check> checks) {
  ValidationStatus status = ValidationStatus::Verified;
  for (const Check& check : checks) {
    if (!check.pass) status = ValidationStatus::Failed;
  }
  return VerificationReport{std::move(receipt_id), status, std::move(checks)};
}

void write_check_json(const Check& check, std::string& out) {
  out.push_back('{');
  if (check.detail) {
    out.append("\"detail\":");
    write_json_string(*check.detail, out);
    out.push_back(',');
  }
  out.append("\"name\":\"");
  out.append(check_name_text(check.name));
  out.append(check.pass ? "\",\"pass\":true}" : "\",\"pass\":false}");
}

void write_report_json(const VerificationReport& report, std::string& out) {
  out.append("{\"checks\":[");
  for (std::size_t i = 0; i < report.checks.size(); ++i) {
    if (i != 0) out.push_back(',');
    write_check_json(report.checks[i], out);
  }
  out.append("],\"receipt_id\":");
  write_json_string(report.receipt_id, out);
  out.append(",\"status\":\"");
  out.append(validation_status_text(report.status));
  out.append("\"}");
}

void write_summary_json(std::size_t pass, const std::vector<VerificationReport>& failures,
                        std::string& out) {
  out.append("{\"fail\":");
  write_json_uint(failures.size(), out);
  out.append(",\"failures\":[");
  for (std::size_t i = 0; i < failures.size(); ++i) {
    if (i != 0) out.push_back(',');
    write_report_json(failures[i], out);
  }
  out.append("],\"pass\":");
  write_json_uint(pass, out);
  out.push_back('}');
}

}  // namespace quorrel::evidence
