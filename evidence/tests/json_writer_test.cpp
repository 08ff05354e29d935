#include "quorrel/evidence/json_writer.hpp"

#include <gtest/gtest.h>

#include <string>

#include "quorrel/evidence/receipt_reader.hpp"

namespace ev = quorrel::evidence;

namespace {

std::string json_string(std::string_view text) {
  std::string out;
  ev::write_json_string(text, out);
  return out;
}

ev::Evidence sample_evidence() {
  ev::Evidence e;
  e.source_artifact = {"https://example.com/a.htm", std::string(64, 'a'), std::nullopt, "SEC"};
  e.locator = {"us-gaap:Revenues", "c-1", "usd", ev::ByteRange{120, 245}};
  e.extraction = {std::string(ev::kEngine)};
  return e;
}

ev::Receipt stated_receipt() {
  ev::Receipt r;
  r.schema = std::string(ev::kSchema);
  r.receipt_id = "er_" + std::string(64, '0');
  r.claim = {"1500000", "usd", ev::ClaimKind::Stated, "doc-1"};
  r.evidence.push_back(sample_evidence());
  return r;
}

std::string written(const ev::Receipt& r) {
  std::string out;
  ev::write_receipt(r, out);
  return out;
}

}  // namespace

TEST(JsonString, EscapesQuoteBackslashAndEveryControlByte) {
  EXPECT_EQ(json_string(""), R"("")");
  EXPECT_EQ(json_string("a\"b\\c"), R"("a\"b\\c")");
  EXPECT_EQ(json_string("\b\t\n\f\r"), R"("\b\t\n\f\r")");
  EXPECT_EQ(json_string(std::string_view("\x00\x01\x0b\x0e\x1f", 5)), R"("\u0000\u0001\u000b\u000e\u001f")");
  // Solidus, DEL and non-ASCII text are copied byte for byte.
  EXPECT_EQ(json_string("a/b\x7f\xc3\xa9\xf0\x9f\x98\x80"), "\"a/b\x7f\xc3\xa9\xf0\x9f\x98\x80\"");
}

TEST(JsonString, EveryByteBelowSpaceHasItsOwnForm) {
  const char* const kExpected[32] = {
      "\\u0000", "\\u0001", "\\u0002", "\\u0003", "\\u0004", "\\u0005", "\\u0006", "\\u0007",
      "\\b",     "\\t",     "\\n",     "\\u000b", "\\f",     "\\r",     "\\u000e", "\\u000f",
      "\\u0010", "\\u0011", "\\u0012", "\\u0013", "\\u0014", "\\u0015", "\\u0016", "\\u0017",
      "\\u0018", "\\u0019", "\\u001a", "\\u001b", "\\u001c", "\\u001d", "\\u001e", "\\u001f"};
  for (int c = 0; c < 32; ++c) {
    const char byte = static_cast<char>(c);
    std::string expected = "\"";
    expected.append(kExpected[c]).push_back('"');
    EXPECT_EQ(json_string(std::string_view(&byte, 1)), expected) << c;
  }
  for (int c = 0x20; c < 0x100; ++c) {
    if (c == '"' || c == '\\') continue;
    const char byte = static_cast<char>(c);
    EXPECT_EQ(json_string(std::string_view(&byte, 1)), std::string("\"") + byte + "\"") << c;
  }
}

TEST(JsonString, AppendsToWhatIsAlreadyThere) {
  std::string out = "x";
  ev::write_json_string("a\tb", out);
  EXPECT_EQ(out, R"(x"a\tb")");
}

TEST(WriteReceipt, StatedReceiptInFixedMemberOrder) {
  EXPECT_EQ(written(stated_receipt()),
            R"({"schema":"er/0.2","receipt_id":"er_0000000000000000000000000000000000000000000000000000000000000000",)"
            R"("claim":{"value":"1500000","unit":"usd","kind":"stated","doc_id":"doc-1"},)"
            R"("evidence":[{"source_artifact":{"uri":"https://example.com/a.htm",)"
            R"("sha256":"aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa","authority":"SEC"},)"
            R"("locator":{"profile":"xbrl","concept":"us-gaap:Revenues","context_ref":"c-1",)"
            R"("unit_ref":"usd","byte_range":[120,245]},"extraction":{"engine":"quorrel-evidence@0.1.0"}}]})");
}

TEST(WriteReceipt, AbsentOptionalMembersAreLeftOut) {
  ev::Receipt r = stated_receipt();
  r.claim.unit.reset();
  r.evidence[0].source_artifact.authority.reset();
  r.evidence[0].locator.unit_ref.reset();
  r.evidence[0].locator.byte_range.reset();
  r.evidence.push_back(r.evidence[0]);
  EXPECT_EQ(written(r),
            R"({"schema":"er/0.2","receipt_id":"er_0000000000000000000000000000000000000000000000000000000000000000",)"
            R"("claim":{"value":"1500000","kind":"stated","doc_id":"doc-1"},"evidence":[)"
            R"({"source_artifact":{"uri":"https://example.com/a.htm","sha256":"aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa"},)"
            R"("locator":{"profile":"xbrl","concept":"us-gaap:Revenues","context_ref":"c-1"},)"
            R"("extraction":{"engine":"quorrel-evidence@0.1.0"}},)"
            R"({"source_artifact":{"uri":"https://example.com/a.htm","sha256":"aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa"},)"
            R"("locator":{"profile":"xbrl","concept":"us-gaap:Revenues","context_ref":"c-1"},)"
            R"("extraction":{"engine":"quorrel-evidence@0.1.0"}}]})");
}

TEST(WriteReceipt, PresentEmptyTextsAreWritten) {
  ev::Claim claim{"", "", ev::ClaimKind::Derived, ""};
  std::string out;
  ev::write_claim(claim, out);
  EXPECT_EQ(out, R"({"value":"","unit":"","kind":"derived","doc_id":""})");
  out.clear();
  ev::write_source_artifact({"", "", "", ""}, out);
  EXPECT_EQ(out, R"({"uri":"","sha256":"","retrieved_at":"","authority":""})");
}

TEST(WriteReceipt, OperationsAndRounding) {
  auto op = [](ev::Operation o) {
    std::string out;
    ev::write_operation(o, out);
    return out;
  };
  EXPECT_EQ(op({ev::OperationKind::Ratio, std::nullopt}), R"({"op":"ratio","round_dp":null})");
  EXPECT_EQ(op({ev::OperationKind::Ratio, 4}), R"({"op":"ratio","round_dp":4})");
  EXPECT_EQ(op({ev::OperationKind::GrowthRate, 4294967295u}), R"({"op":"growth_rate","round_dp":4294967295})");
  EXPECT_EQ(op({ev::OperationKind::GrowthRate, 0}), R"({"op":"growth_rate","round_dp":0})");
  // A difference never writes a rounding, even when one is set.
  EXPECT_EQ(op({ev::OperationKind::Difference, std::nullopt}), R"({"op":"difference"})");
  EXPECT_EQ(op({ev::OperationKind::Difference, 3}), R"({"op":"difference"})");
}

TEST(WriteReceipt, DerivedAndAttestedReceipt) {
  ev::Receipt r;
  r.schema = "er/0.2";
  r.receipt_id = "er_1";
  r.claim = {"0.5", std::nullopt, ev::ClaimKind::Derived, "d"};
  r.derivation = ev::Derivation{{ev::OperationKind::Ratio, 4},
                                {{"er_a", "1", "numerator"}, {"er_b", "2", "denominator"}}};
  r.attestation = ev::Attestation{"ed25519", "ab", "cd"};
  EXPECT_EQ(written(r),
            R"({"schema":"er/0.2","receipt_id":"er_1","claim":{"value":"0.5","kind":"derived","doc_id":"d"},)"
            R"("evidence":[],"derivation":{"operation":{"op":"ratio","round_dp":4},"inputs":[)"
            R"({"receipt_id":"er_a","value":"1","role":"numerator"},{"receipt_id":"er_b","value":"2","role":"denominator"}]},)"
            R"("attestation":{"alg":"ed25519","public_key":"ab","sig":"cd"}})");
  r.derivation->inputs.clear();
  r.attestation.reset();
  EXPECT_EQ(written(r),
            R"({"schema":"er/0.2","receipt_id":"er_1","claim":{"value":"0.5","kind":"derived","doc_id":"d"},)"
            R"("evidence":[],"derivation":{"operation":{"op":"ratio","round_dp":4},"inputs":[]}})");
}

TEST(WriteReceipt, ByteRangeExtremes) {
  ev::Locator loc{"c", "x", std::nullopt, ev::ByteRange{0, 18446744073709551615ull}};
  std::string out;
  ev::write_locator(loc, out);
  EXPECT_EQ(out, R"({"profile":"xbrl","concept":"c","context_ref":"x","byte_range":[0,18446744073709551615]})");
}

TEST(WriteReceipt, WriteReadWriteGivesTheSameBytes) {
  const std::string nasty = std::string("q\"b\\s/c") + '\x01' + '\x1f' + "\t\n\r\b\f" + '\x7f' +
                            "\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80" + std::string(1, '\0') + "end";
  std::vector<ev::Receipt> receipts;
  receipts.push_back(stated_receipt());
  {
    ev::Receipt r = stated_receipt();
    r.schema = nasty;
    r.receipt_id = nasty;
    r.claim = {nasty, nasty, ev::ClaimKind::Derived, nasty};
    r.evidence[0].source_artifact = {nasty, nasty, nasty, nasty};
    r.evidence[0].locator = {nasty, nasty, nasty, ev::ByteRange{0, 18446744073709551615ull}};
    r.evidence[0].extraction = {nasty};
    r.derivation = ev::Derivation{{ev::OperationKind::GrowthRate, 4294967295u}, {{nasty, nasty, nasty}}};
    r.attestation = ev::Attestation{nasty, nasty, nasty};
    receipts.push_back(r);
  }
  {
    ev::Receipt r = stated_receipt();
    r.claim.unit = "";
    r.evidence[0].source_artifact.retrieved_at = "2024-01-01T00:00:00Z";
    r.evidence[0].source_artifact.authority.reset();
    r.evidence[0].locator.unit_ref.reset();
    r.evidence[0].locator.byte_range.reset();
    r.derivation = ev::Derivation{{ev::OperationKind::Ratio, std::nullopt}, {}};
    receipts.push_back(r);
  }
  {
    ev::Receipt r = stated_receipt();
    r.evidence.clear();
    r.derivation = ev::Derivation{{ev::OperationKind::Difference, std::nullopt}, {{"a", "b", "c"}}};
    receipts.push_back(r);
  }
  for (const ev::Receipt& r : receipts) {
    const std::string first = written(r);
    const auto back = ev::read_receipt(first);
    ASSERT_TRUE(back.has_value()) << back.error();
    EXPECT_EQ(*back, r);
    EXPECT_EQ(written(*back), first);
  }
}

TEST(WriteReceipt, UnknownMembersReadAreNotWrittenAgain) {
  const std::string with_notes =
      R"({"note":1,"schema":"er/0.2","receipt_id":"er_x","claim":{"value":"1","kind":"stated","doc_id":"d","note":[]},)"
      R"("evidence":[{"source_artifact":{"uri":"u","sha256":"h","note":{}},"locator":{"note":null,"profile":"xbrl",)"
      R"("concept":"c","context_ref":"x"},"extraction":{"engine":"e","note":"n"},"note":true}],)"
      R"("derivation":{"operation":{"op":"difference","note":2},"inputs":[{"receipt_id":"a","value":"1","role":"r","note":0}],"note":"x"},)"
      R"("attestation":{"alg":"a","public_key":"k","sig":"s","note":-1.5e3}})";
  const auto r = ev::read_receipt(with_notes);
  ASSERT_TRUE(r.has_value()) << r.error();
  EXPECT_EQ(written(*r),
            R"({"schema":"er/0.2","receipt_id":"er_x","claim":{"value":"1","kind":"stated","doc_id":"d"},)"
            R"("evidence":[{"source_artifact":{"uri":"u","sha256":"h"},"locator":{"profile":"xbrl",)"
            R"("concept":"c","context_ref":"x"},"extraction":{"engine":"e"}}],)"
            R"("derivation":{"operation":{"op":"difference"},"inputs":[{"receipt_id":"a","value":"1","role":"r"}]},)"
            R"("attestation":{"alg":"a","public_key":"k","sig":"s"}})");
}

TEST(WriteReceipt, LongTextsAreCopiedWhole) {
  ev::Receipt r = stated_receipt();
  r.claim.doc_id = std::string(1 << 20, 'x');
  r.claim.doc_id[500000] = '"';
  const std::string out = written(r);
  const auto back = ev::read_receipt(out);
  ASSERT_TRUE(back.has_value()) << back.error();
  EXPECT_EQ(back->claim.doc_id, r.claim.doc_id);
}
