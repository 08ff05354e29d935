// The receipt's written form and canonical body, the receipt id, canonical
// values, verification reports and summaries, and the splitting of JSONL text.

#include "quorrel/evidence/canonical.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "quorrel/evidence/json_writer.hpp"
#include "quorrel/evidence/jsonl.hpp"
#include "quorrel/evidence/error.hpp"
#include "quorrel/evidence/report.hpp"

namespace ev = quorrel::evidence;

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
std::string written(const ev::Receipt& r) {
  std::string out;
  ev::write_receipt(r, out);
  return out;
}

constexpr const char* kEvidence =
    R"([{"source_artifact":{"uri":"https://example.com/a.htm","sha256":"abc"},)"
    R"("locator":{"profile":"xbrl","concept":"us-gaap:Revenues","context_ref":"c-1","unit_ref":"usd","byte_range":[120,245]},)"
    R"("extraction":{"engine":"quorrel-evidence@0.1.0"}}])";

}  // namespace

TEST(CanonicalBody, BytesAndIdOfAStatedReceipt) {
  const ev::Receipt r = stated();
  EXPECT_EQ(body(r), std::string(R"(["er/0.2",{"value":"1500000","unit":"usd","kind":"stated","doc_id":"doc-1"},)") +
                         kEvidence + ",null]");
  EXPECT_EQ(id(r), "er_30cfdd260bedfbdc7faf65d15125c0fa0795f44d5df5bacb8ec9365334c4e225");
  EXPECT_EQ(written(r), std::string(R"({"schema":"er/0.2","receipt_id":"er_x",)"
                                    R"("claim":{"value":"1500000","unit":"usd","kind":"stated","doc_id":"doc-1"},)"
                                    R"("evidence":)") + kEvidence + "}");
  // Schema, id and attestation are not part of the body.
  ev::Receipt other = r;
  other.schema = "er/9.9";
  other.receipt_id = "er_" + std::string(64, 'f');
  other.attestation = ev::Attestation{"ed25519", "00", "11"};
  EXPECT_EQ(body(other), body(r));
  // Appended after existing text, telling where the claim and evidence list went.
  std::string out = "prefix";
  const ev::WrittenParts parts = ev::append_canonical_body(r.claim, r.evidence, r.derivation, out);
  EXPECT_EQ(out, "prefix" + body(r));
  EXPECT_EQ(parts.claim.text, R"({"value":"1500000","unit":"usd","kind":"stated","doc_id":"doc-1"})");
  EXPECT_EQ(parts.evidence.text, kEvidence);
}

TEST(CanonicalBody, DerivationsAndAbsentMembers) {
  ev::Receipt r = stated();
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
  EXPECT_EQ(body(r), head + R"({"operation":{"op":"growth_rate","round_dp":4294967295},"inputs":[]}])");
  r.attestation = ev::Attestation{"ed25519", "ab", "cd"};
  EXPECT_EQ(written(r), R"({"schema":"er/0.2","receipt_id":"er_x","claim":{"value":"1500000","kind":"derived",)"
                        R"("doc_id":"doc-1"},"evidence":[],"derivation":{"operation":{"op":"growth_rate",)"
                        R"("round_dp":4294967295},"inputs":[]},"attestation":{"alg":"ed25519","public_key":"ab","sig":"cd"}})");
  // Absent optional members are left out; present empty texts are written.
  std::string out;
  ev::write_json(ev::SourceArtifact{"", "", "", ""}, out);
  EXPECT_EQ(out, R"({"uri":"","sha256":"","retrieved_at":"","authority":""})");
  out.clear();
  ev::write_json(ev::Locator{"c", "x", std::nullopt, ev::ByteRange{0, 18446744073709551615ull}}, out);
  EXPECT_EQ(out, R"({"profile":"xbrl","concept":"c","context_ref":"x","byte_range":[0,18446744073709551615]})");
  out.clear();
  ev::write_json(ev::Locator{"c", "x", std::nullopt, std::nullopt}, out);
  EXPECT_EQ(out, R"({"profile":"xbrl","concept":"c","context_ref":"x"})");
}

TEST(JsonString, EveryByteHasItsEscapedOrLiteralForm) {
  const char* const kControl[32] = {
      "\\u0000", "\\u0001", "\\u0002", "\\u0003", "\\u0004", "\\u0005", "\\u0006", "\\u0007",
      "\\b",     "\\t",     "\\n",     "\\u000b", "\\f",     "\\r",     "\\u000e", "\\u000f",
      "\\u0010", "\\u0011", "\\u0012", "\\u0013", "\\u0014", "\\u0015", "\\u0016", "\\u0017",
      "\\u0018", "\\u0019", "\\u001a", "\\u001b", "\\u001c", "\\u001d", "\\u001e", "\\u001f"};
  for (int c = 0; c < 0x100; ++c) {
    const char byte = static_cast<char>(c);
    std::string out = "x";
    ev::write_json_string(std::string_view(&byte, 1), out);
    const std::string inner = c < 32 ? kControl[c] : c == '"' ? "\\\"" : c == '\\' ? "\\\\" : std::string(1, byte);
    EXPECT_EQ(out, "x\"" + inner + "\"") << c;
  }
  // The canonical body escapes exactly as the written line does.
  ev::Receipt r = stated();
  r.evidence[0].locator.concept_name = "a\tb\"c\\\x01\x7f\xc3\xa9";
  const std::string member = R"("concept":"a\tb\"c\\\u0001)" "\x7f\xc3\xa9\"";
  EXPECT_NE(body(r).find(member), std::string::npos);
  EXPECT_NE(written(r).find(member), std::string::npos);
}

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
  const CheckName names[] = {CheckName::ReceiptId, CheckName::EvidenceShape, CheckName::ArtifactHash,
                             CheckName::Locate, CheckName::ByteRange, CheckName::ValueMatch,
                             CheckName::InputResolution, CheckName::Recompute, CheckName::Attestation};
  std::string joined;
  for (const CheckName n : names) joined.append(ev::check_name_text(n)).append(" ");
  EXPECT_EQ(joined, "receipt_id evidence_shape artifact_hash locate byte_range value_match input_resolution "
                    "recompute attestation ");
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

TEST(JsonlRecords, BlankLinesDroppedOnlyTheCarriageReturnBeforeALineFeedRemoved) {
  using Lines = std::vector<std::string_view>;
  const std::pair<std::string_view, Lines> cases[] = {
      {"", {}}, {"\r\n\r\n", {}}, {"\r", {}},
      {"\t\t\n\xE3\x80\x80\n\xC2\x85\r\n \xC2\xA0\xE2\x80\xA8\x0b\x0c\n", {}},
      {"{\"a\":1}\r\n\r\n  \n{\"b\":2}", {"{\"a\":1}", "{\"b\":2}"}},
      {"a\rb\nc", {"a\rb", "c"}}, {"a\r\r\nb", {"a\r", "b"}}, {"a\nb\r", {"a", "b\r"}},
      {"  x \t\n\xEF\xBB\xBF\n \xE2\x80\x8B ", {"  x \t", "\xEF\xBB\xBF", " \xE2\x80\x8B "}},
      {std::string_view("\0", 1), {std::string_view("\0", 1)}},
  };
  for (const auto& [text, lines] : cases) EXPECT_EQ(ev::jsonl_records(text), lines) << text;
  const std::string text = "  {}\nx";
  EXPECT_EQ(ev::jsonl_records(text).back().data(), text.data() + 5);  // views into the text
  std::string many;
  for (int i = 0; i < 1000000; ++i) many += "1\n \r\n";
  EXPECT_EQ(ev::jsonl_records(many).size(), 1000000u);
}
