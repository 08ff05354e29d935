#include "quorrel/evidence/report.hpp"

#include <gtest/gtest.h>

#include <string>

namespace ev = quorrel::evidence;
using ev::Check;
using ev::CheckName;

namespace {

std::string report_json(const ev::VerificationReport& report) {
  std::string out;
  ev::write_report_json(report, out);
  return out;
}

}  // namespace

TEST(CheckNames, SerializedNamesInDeclarationOrder) {
  const CheckName names[] = {CheckName::ReceiptId,  CheckName::EvidenceShape,   CheckName::ArtifactHash,
                             CheckName::Locate,     CheckName::ByteRange,       CheckName::ValueMatch,
                             CheckName::InputResolution, CheckName::Recompute, CheckName::Attestation};
  const char* const texts[] = {"receipt_id", "evidence_shape",   "artifact_hash", "locate",     "byte_range",
                               "value_match", "input_resolution", "recompute",     "attestation"};
  for (int i = 0; i < 9; ++i) EXPECT_EQ(ev::check_name_text(names[i]), texts[i]);
  EXPECT_EQ(ev::validation_status_text(ev::ValidationStatus::Verified), "verified");
  EXPECT_EQ(ev::validation_status_text(ev::ValidationStatus::Failed), "failed");
}

TEST(ReportJson, MembersSortedByKeyAndDetailOnlyWhenPresent) {
  const auto report = ev::VerificationReport::from_checks(
      "er_1", {Check::passed(CheckName::ReceiptId),
               Check::failed(CheckName::EvidenceShape, "0 evidence items, expected exactly 1")});
  EXPECT_EQ(report.status, ev::ValidationStatus::Failed);
  EXPECT_EQ(report_json(report),
            R"({"checks":[{"name":"receipt_id","pass":true},)"
            R"({"detail":"0 evidence items, expected exactly 1","name":"evidence_shape","pass":false}],)"
            R"("receipt_id":"er_1","status":"failed"})");
}

TEST(ReportJson, StatusFollowsTheChecks) {
  const auto verified = ev::VerificationReport::from_checks(
      "er_2", {Check::passed(CheckName::ReceiptId), Check::passed(CheckName::EvidenceShape)});
  EXPECT_EQ(verified.status, ev::ValidationStatus::Verified);
  EXPECT_EQ(report_json(verified),
            R"({"checks":[{"name":"receipt_id","pass":true},{"name":"evidence_shape","pass":true}],)"
            R"("receipt_id":"er_2","status":"verified"})");
  // A failing attestation alone fails the receipt.
  const auto attested = ev::VerificationReport::from_checks(
      "er_3", {Check::passed(CheckName::ReceiptId), Check::passed(CheckName::EvidenceShape),
               Check::failed(CheckName::Attestation, "signature invalid over canonical body")});
  EXPECT_EQ(attested.status, ev::ValidationStatus::Failed);
  EXPECT_EQ(ev::VerificationReport::from_checks("er_4", {}).status, ev::ValidationStatus::Verified);
}

TEST(ReportJson, TextsAreEscaped) {
  const auto report = ev::VerificationReport::from_checks(
      "er_\"x\"\n", {Check::failed(CheckName::ValueMatch, "claimed a\\b, source has \x01")});
  EXPECT_EQ(report_json(report),
            R"({"checks":[{"detail":"claimed a\\b, source has \u0001","name":"value_match","pass":false}],)"
            R"("receipt_id":"er_\"x\"\n","status":"failed"})");
}

TEST(SummaryJson, EmptyAndWithFailures) {
  std::string out;
  ev::write_summary_json(0, {}, out);
  EXPECT_EQ(out, R"({"fail":0,"failures":[],"pass":0})");
  const auto failed = ev::VerificationReport::from_checks(
      "er_1", {Check::passed(CheckName::ReceiptId), Check::failed(CheckName::Locate, "matched 0 facts, expected exactly 1")});
  out.clear();
  ev::write_summary_json(3, {failed, failed}, out);
  EXPECT_EQ(out,
            R"({"fail":2,"failures":[)"
            R"({"checks":[{"name":"receipt_id","pass":true},{"detail":"matched 0 facts, expected exactly 1","name":"locate","pass":false}],"receipt_id":"er_1","status":"failed"},)"
            R"({"checks":[{"name":"receipt_id","pass":true},{"detail":"matched 0 facts, expected exactly 1","name":"locate","pass":false}],"receipt_id":"er_1","status":"failed"}],)"
            R"("pass":3})");
  out.clear();
  ev::write_summary_json(18446744073709551615ull, {}, out);
  EXPECT_EQ(out, R"({"fail":0,"failures":[],"pass":18446744073709551615})");
}

TEST(EvidenceErrorRender, EveryVariantMessage) {
  EXPECT_EQ(ev::EvidenceError::source_parse("missing context: c1").render(), "source parse failed: missing context: c1");
  EXPECT_EQ(ev::EvidenceError::receipt_serialization("out of memory").render(),
            "receipt serialization failed: out of memory");
  EXPECT_EQ(ev::EvidenceError::derivation_failed("x").render(), "derivation failed: x");
  EXPECT_EQ(ev::EvidenceError::signing_failed("no key").render(), "signing failed: no key");
  EXPECT_EQ(ev::EvidenceError::operation_arity(2, 3).render(), "derivation failed: operation needs 2 inputs, got 3");
  EXPECT_EQ(ev::EvidenceError::division_by_zero().render(), "derivation failed: division by zero");
  const auto e = ev::EvidenceError::operation_arity(2, 0);
  EXPECT_EQ(e.kind(), ev::EvidenceError::Kind::DerivationFailed);
  EXPECT_EQ(e.payload(), "operation needs 2 inputs, got 0");
}
