// The receipt's written form and canonical body, the receipt id, canonical
// values, verification reports and summaries, and JSONL text of many lines.

#include "quorrel/evidence/canonical.hpp"

#include <gtest/gtest.h>

#include <string>

#include "quorrel/evidence/json_writer.hpp"
#include "quorrel/evidence/jsonl.hpp"
#include "quorrel/evidence/error.hpp"
#include "quorrel/evidence/report.hpp"
#include "support.hpp"

namespace ev = quorrel::evidence;
using quorrel::evidence::test::written;

namespace {

ev::Receipt stated() {
  ev::Receipt r;
  r.schema = "er/0.2";
  r.receipt_id = "er_x";
  r.claim = {"1500000", "usd", ev::ClaimKind::Stated, "doc-1"};
  r.evidence.push_back({{"https://example.com/a.htm", "abc", std::nullopt, std::nullopt},
                        {"us-gaap:Revenues", "c-1", "usd", ev::ByteRange{120, 245}},
                        {std::string(ev::kEngine)}});
  return r;
}

std::string body(const ev::Receipt& r) { return ev::canonical_body(r.claim, r.evidence, r.derivation); }
std::string id(const ev::Receipt& r) { return ev::receipt_id_for(r.claim, r.evidence, r.derivation); }

constexpr const char* kEvidence =
    R"([{"source_artifact":{"uri":"https://example.com/a.htm","sha256":"abc"},)"
    R"("locator":{"profile":"xbrl","concept":"us-gaap:Revenues","context_ref":"c-1","unit_ref":"usd","byte_range":[120,245]},)"
    R"("extraction":{"engine":"quorrel-evidence@0.1.0"}}])";

}  // namespace

TEST(CanonicalBody, BytesAndIdOfStatedAndDerivedReceipts) {
  ev::Receipt r = stated();
  EXPECT_EQ(body(r), std::string(R"(["er/0.2",{"value":"1500000","unit":"usd","kind":"stated","doc_id":"doc-1"},)") +
                         kEvidence + ",null]");
  EXPECT_EQ(id(r), "er_30cfdd260bedfbdc7faf65d15125c0fa0795f44d5df5bacb8ec9365334c4e225");
  EXPECT_EQ(written(r), std::string(R"({"schema":"er/0.2","receipt_id":"er_x",)"
                                    R"("claim":{"value":"1500000","unit":"usd","kind":"stated","doc_id":"doc-1"},)"
                                    R"("evidence":)") + kEvidence + "}");
  // Appended after existing text, telling where the claim and evidence list went.
  std::string out = "prefix";
  const ev::WrittenParts parts = ev::append_canonical_body(r.claim, r.evidence, r.derivation, out);
  EXPECT_EQ(out, "prefix" + body(r));
  EXPECT_EQ(parts.claim.text, R"({"value":"1500000","unit":"usd","kind":"stated","doc_id":"doc-1"})");
  EXPECT_EQ(parts.evidence.text, kEvidence);

  // Derivations; absent members left out, present empty texts written.
  r.evidence.clear();
  r.claim.unit.reset();
  r.claim.kind = ev::ClaimKind::Derived;
  const std::string head = R"(["er/0.2",{"value":"1500000","kind":"derived","doc_id":"doc-1"},[],)";
  EXPECT_EQ(body(r), head + "null]");
  r.derivation = ev::Derivation{{ev::OperationKind::Ratio, std::nullopt},
                                {{"er_a", "3", "numerator"}, {"er_b", "4", "denominator"}}};
  EXPECT_EQ(body(r), head + R"({"operation":{"op":"ratio","round_dp":null},"inputs":[{"receipt_id":"er_a","value":"3",)"
                            R"("role":"numerator"},{"receipt_id":"er_b","value":"4","role":"denominator"}]}])");
  r.derivation->inputs.clear();
  r.derivation->operation = {ev::OperationKind::Difference, 3};  // a difference never writes a rounding
  EXPECT_EQ(body(r), head + R"({"operation":{"op":"difference"},"inputs":[]}])");
  r.derivation->operation = {ev::OperationKind::GrowthRate, 4294967295u};
  r.attestation = ev::Attestation{"ed25519", "ab", "cd"};
  EXPECT_EQ(written(r), R"({"schema":"er/0.2","receipt_id":"er_x","claim":{"value":"1500000","kind":"derived",)"
                        R"("doc_id":"doc-1"},"evidence":[],"derivation":{"operation":{"op":"growth_rate",)"
                        R"("round_dp":4294967295},"inputs":[]},"attestation":{"alg":"ed25519","public_key":"ab","sig":"cd"}})");
  out.clear();
  ev::write_json(ev::SourceArtifact{"", "", "", ""}, out);
  ev::write_json(ev::Locator{"c", "x", std::nullopt, ev::ByteRange{0, 18446744073709551615ull}}, out);
  ev::write_json(ev::Locator{"c", "x", std::nullopt, std::nullopt}, out);
  EXPECT_EQ(out, R"({"uri":"","sha256":"","retrieved_at":"","authority":""})"
                 R"({"profile":"xbrl","concept":"c","context_ref":"x","byte_range":[0,18446744073709551615]})"
                 R"({"profile":"xbrl","concept":"c","context_ref":"x"})");
}

// How each byte of a text is written is the module tests': every control
// character, quote, backslash, solidus, DEL and non-ASCII text, and arbitrary
// texts in every member, each line compared with a writer of their own.

TEST(CanonicalText, NormalizedDecimalWithoutExponentAfterWhatTheBufferHolds) {
  const std::pair<const char*, const char*> cases[] = {
      {"1500000.00", "1500000"}, {"-0.50", "-0.5"}, {"-0.000", "0"}, {"100", "100"}, {"1.5e-2", "0.015"},
      {"79228162514264337593543950335", "79228162514264337593543950335"},
      {"7.9228162514264337593543950335", "7.9228162514264337593543950335"},
  };
  for (const auto& [held, text] : cases) {
    std::string out = "\"value\":";
    ev::append_canonical_text(quorrel::core::Decimal::parse(held).value(), out);
    EXPECT_EQ(out, "\"value\":" + std::string(text)) << held;
  }
}

TEST(Report, JsonMembersSortedDetailOnlyWhenPresentAndTextsEscaped) {
  using ev::Check;
  using ev::CheckName;
  const auto report = ev::VerificationReport::from_checks(
      "er_\"x\"\n", {Check::passed(CheckName::ReceiptId), Check::failed(CheckName::Attestation, "a\\b \x01")});
  EXPECT_EQ(report.status, ev::ValidationStatus::Failed);  // any failing check, the attestation too, fails
  std::string out;
  ev::write_report_json(report, out);
  EXPECT_EQ(out, R"({"checks":[{"name":"receipt_id","pass":true},{"detail":"a\\b \u0001","name":"attestation",)"
                 R"("pass":false}],"receipt_id":"er_\"x\"\n","status":"failed"})");
  EXPECT_EQ(ev::VerificationReport::from_checks("er_4", {}).status, ev::ValidationStatus::Verified);
  std::string summary;
  ev::write_summary_json(18446744073709551615ull, {report}, summary);
  EXPECT_EQ(summary, R"({"fail":1,"failures":[)" + out + R"(],"pass":18446744073709551615})");
  // The check names are pinned by the verification tables, the derivation errors by the operations'.
  EXPECT_EQ(ev::EvidenceError::source_parse("x").render(), "source parse failed: x");
  EXPECT_EQ(ev::EvidenceError::receipt_serialization("x").render(), "receipt serialization failed: x");
  EXPECT_EQ(ev::EvidenceError::signing_failed("no key").render(), "signing failed: no key");
  EXPECT_EQ(ev::EvidenceError::unreadable_receipt("first", "trailing characters at line 1 column 3").render(),
            "first: trailing characters at line 1 column 3");
  EXPECT_EQ(ev::EvidenceError::private_key("it is encrypted").render(),
            "not an unencrypted Ed25519 private key: it is encrypted");
  EXPECT_EQ(ev::EvidenceError::operation_arity(2, 3).render(), "derivation failed: operation needs 2 inputs, got 3");
  EXPECT_EQ(ev::EvidenceError::division_by_zero().render(), "derivation failed: division by zero");
}

// Which lines are records is the jsonl_records fuzz target's (against a plain
// split) and blankness core's; here, a million lines stay one linear pass.
TEST(JsonlRecords, AMillionLines) {
  std::string many;
  for (int i = 0; i < 1000000; ++i) many += "1\n \r\n";
  EXPECT_EQ(ev::jsonl_records(many).size(), 1000000u);
}
