#include "quorrel/evidence/canonical.hpp"

#include <gtest/gtest.h>

#include <string>

#include "quorrel/evidence/json_writer.hpp"

namespace ev = quorrel::evidence;

namespace {

ev::Receipt stated() {
  ev::Receipt r;
  r.schema = "er/0.2";
  r.receipt_id = "er_whatever";
  r.claim = {"1500000", "usd", ev::ClaimKind::Stated, "doc-1"};
  r.evidence.push_back({{"https://example.com/a.htm", "abc", std::nullopt, std::nullopt},
                        {"us-gaap:Revenues", "c-1", "usd", ev::ByteRange{120, 245}},
                        {std::string(ev::kEngine)}});
  return r;
}

std::string body(const ev::Receipt& r) {
  auto b = ev::canonical_body(r.claim, r.evidence, r.derivation);
  EXPECT_TRUE(b.has_value());
  return b ? *b : std::string();
}

std::string id(const ev::Receipt& r) {
  auto i = ev::receipt_id_for(r.claim, r.evidence, r.derivation);
  EXPECT_TRUE(i.has_value());
  return i ? *i : std::string();
}

bool is_receipt_id(const std::string& text) {
  if (text.size() != 67 || text.compare(0, 3, "er_") != 0) return false;
  for (std::size_t i = 3; i < text.size(); ++i) {
    const char c = text[i];
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

}  // namespace

TEST(CanonicalBody, StatedReceiptBytesAndId) {
  const ev::Receipt r = stated();
  EXPECT_EQ(body(r),
            R"(["er/0.2",{"value":"1500000","unit":"usd","kind":"stated","doc_id":"doc-1"},)"
            R"([{"source_artifact":{"uri":"https://example.com/a.htm","sha256":"abc"},)"
            R"("locator":{"profile":"xbrl","concept":"us-gaap:Revenues","context_ref":"c-1","unit_ref":"usd","byte_range":[120,245]},)"
            R"("extraction":{"engine":"quorrel-evidence@0.1.0"}}],null])");
  // The SHA-256 of exactly those bytes.
  EXPECT_EQ(id(r), "er_30cfdd260bedfbdc7faf65d15125c0fa0795f44d5df5bacb8ec9365334c4e225");
}

TEST(CanonicalBody, EmptyEvidenceAndNoDerivation) {
  ev::Receipt r = stated();
  r.evidence.clear();
  r.claim.unit.reset();
  EXPECT_EQ(body(r), R"(["er/0.2",{"value":"1500000","kind":"stated","doc_id":"doc-1"},[],null])");
}

TEST(CanonicalBody, DerivationMembers) {
  ev::Receipt r = stated();
  r.evidence.clear();
  r.claim.kind = ev::ClaimKind::Derived;
  r.derivation = ev::Derivation{{ev::OperationKind::Ratio, std::nullopt},
                                {{"er_a", "3", "numerator"}, {"er_b", "4", "denominator"}}};
  EXPECT_EQ(body(r),
            R"(["er/0.2",{"value":"1500000","unit":"usd","kind":"derived","doc_id":"doc-1"},[],)"
            R"({"operation":{"op":"ratio","round_dp":null},"inputs":[{"receipt_id":"er_a","value":"3","role":"numerator"},)"
            R"({"receipt_id":"er_b","value":"4","role":"denominator"}]}])");
  r.derivation->operation = {ev::OperationKind::Difference, std::nullopt};
  r.derivation->inputs.clear();
  EXPECT_EQ(body(r),
            R"(["er/0.2",{"value":"1500000","unit":"usd","kind":"derived","doc_id":"doc-1"},[],)"
            R"({"operation":{"op":"difference"},"inputs":[]}])");
  r.derivation->operation = {ev::OperationKind::GrowthRate, 2};
  EXPECT_EQ(body(r),
            R"(["er/0.2",{"value":"1500000","unit":"usd","kind":"derived","doc_id":"doc-1"},[],)"
            R"({"operation":{"op":"growth_rate","round_dp":2},"inputs":[]}])");
}

TEST(CanonicalBody, SchemaIdAndAttestationNeverCount) {
  const ev::Receipt base = stated();
  ev::Receipt other = base;
  other.schema = "er/9.9";
  other.receipt_id = "er_" + std::string(64, 'f');
  other.attestation = ev::Attestation{"ed25519", "00", "11"};
  EXPECT_EQ(body(other), body(base));
  EXPECT_EQ(id(other), id(base));
  // The tag in the body is always the constant, whatever the receipt says.
  EXPECT_EQ(body(other).substr(0, 10), R"(["er/0.2",)");
}

TEST(CanonicalBody, EveryMeaningfulMemberChangesTheId) {
  const ev::Receipt base = stated();
  const std::string base_id = id(base);
  std::vector<ev::Receipt> variants;
  auto vary = [&](auto&& change) {
    ev::Receipt r = base;
    change(r);
    variants.push_back(r);
  };
  vary([](ev::Receipt& r) { r.evidence[0].source_artifact.authority = "SEC"; });
  vary([](ev::Receipt& r) { r.evidence[0].source_artifact.authority = ""; });
  vary([](ev::Receipt& r) { r.evidence[0].source_artifact.retrieved_at = "2024-01-01"; });
  vary([](ev::Receipt& r) { r.claim.unit.reset(); });
  vary([](ev::Receipt& r) { r.claim.unit = ""; });
  vary([](ev::Receipt& r) { r.evidence[0].locator.unit_ref.reset(); });
  vary([](ev::Receipt& r) { r.evidence[0].locator.byte_range.reset(); });
  vary([](ev::Receipt& r) { r.evidence[0].locator.byte_range = ev::ByteRange{120, 246}; });
  // Values are taken as written: no numeric normalization.
  vary([](ev::Receipt& r) { r.claim.value = "1500000.00"; });
  vary([](ev::Receipt& r) { r.claim.kind = ev::ClaimKind::Derived; });
  vary([](ev::Receipt& r) { r.evidence.clear(); });
  vary([](ev::Receipt& r) { r.derivation = ev::Derivation{{ev::OperationKind::Difference, std::nullopt}, {}}; });
  std::vector<std::string> ids{base_id};
  for (const ev::Receipt& r : variants) {
    const std::string i = id(r);
    EXPECT_TRUE(is_receipt_id(i)) << i;
    for (const std::string& seen : ids) EXPECT_NE(i, seen) << body(r);
    ids.push_back(i);
  }
}

TEST(CanonicalBody, EscapedTextMatchesTheReceiptLine) {
  ev::Receipt r = stated();
  r.evidence[0].locator.concept_name = "a\tb\"c\\\x01\x7f\xc3\xa9";
  const std::string b = body(r);
  std::string line;
  ev::write_receipt(r, line);
  const std::string member = R"("concept":"a\tb\"c\\\u0001)" "\x7f\xc3\xa9\"";
  EXPECT_NE(b.find(member), std::string::npos) << b;
  EXPECT_NE(line.find(member), std::string::npos) << line;
  // The claim, evidence and derivation appear in the body exactly as in the line.
  std::string evidence;
  ev::write_evidence_list(r.evidence, evidence);
  EXPECT_NE(line.find(evidence), std::string::npos);
  EXPECT_NE(b.find(evidence), std::string::npos);
}

TEST(ReceiptId, ShapeAndReusedContext) {
  const ev::Receipt r = stated();
  const std::string plain = id(r);
  EXPECT_TRUE(is_receipt_id(plain));
  ev::Sha256 sha;
  for (int k = 0; k < 3; ++k) {
    const auto again = ev::receipt_id_for(r.claim, r.evidence, r.derivation, sha);
    ASSERT_TRUE(again.has_value());
    EXPECT_EQ(*again, plain);
  }
  std::string b;
  ev::append_canonical_body(r.claim, r.evidence, r.derivation, b);
  EXPECT_EQ(ev::receipt_id_of_body(b, sha), plain);
}

TEST(CanonicalBody, AppendsAfterExistingText) {
  ev::Receipt r = stated();
  r.evidence.clear();
  std::string out = "prefix";
  ev::append_canonical_body(r.claim, r.evidence, r.derivation, out);
  EXPECT_EQ(out, R"(prefix["er/0.2",{"value":"1500000","unit":"usd","kind":"stated","doc_id":"doc-1"},[],null])");
}

// --- canonical value of a normalized value ------------------------------------

namespace {

quorrel::core::NormalizedValue numeric(const char* raw, const char* decimal) {
  auto value = quorrel::core::Decimal::parse(decimal);
  EXPECT_TRUE(value.has_value()) << decimal;
  return quorrel::core::NumericValue{raw, std::nullopt, value};
}

}  // namespace

TEST(CanonicalValue, NormalizedPlainTextWithTheDecimalAsHeld) {
  const std::pair<const char*, const char*> cases[] = {
      {"1500000.00", "1500000"}, {"-0.50", "-0.5"}, {"0.000", "0"}, {"-0", "0"},     {"-0.000", "0"},
      {"12.340", "12.34"},       {"100", "100"},    {"0.10", "0.1"}, {"-7", "-7"},    {"0.0001", "0.0001"},
      {"1e3", "1000"},           {"1.5e-2", "0.015"},
      // The largest mantissa, with and without fraction digits.
      {"79228162514264337593543950335", "79228162514264337593543950335"},
      {"7.9228162514264337593543950335", "7.9228162514264337593543950335"},
  };
  for (const auto& [held, text] : cases) {
    const auto canonical = ev::canonical_value(numeric("raw text", held));
    ASSERT_TRUE(canonical.has_value()) << held;
    EXPECT_EQ(canonical->text, text) << held;
    ASSERT_TRUE(canonical->decimal.has_value()) << held;
    // The decimal is kept as it was held, before normalizing.
    EXPECT_EQ(canonical->decimal->render(), quorrel::core::Decimal::parse(held)->render()) << held;
  }
}

TEST(CanonicalValue, RawTextWithoutDecimalAndNothingForTextOrNil) {
  const quorrel::core::NormalizedValue no_decimal = quorrel::core::NumericValue{" 1,500.00 ", std::nullopt, std::nullopt};
  const auto raw = ev::canonical_value(no_decimal);
  ASSERT_TRUE(raw.has_value());
  EXPECT_EQ(raw->text, " 1,500.00 ");
  EXPECT_FALSE(raw->decimal.has_value());

  EXPECT_FALSE(ev::canonical_value(quorrel::core::NormalizedValue{quorrel::core::TextValue{"12", std::nullopt}}));
  EXPECT_FALSE(ev::canonical_value(quorrel::core::NormalizedValue{quorrel::core::NilValue{}}));
}
