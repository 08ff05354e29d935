#include "quorrel/evidence/derived.hpp"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "quorrel/evidence/canonical.hpp"

namespace ev = quorrel::evidence;
using quorrel::core::Decimal;

namespace {

constexpr std::string_view kMax = "79228162514264337593543950335";  // 2^96 - 1

Decimal dec(std::string_view text) {
  const std::optional<Decimal> d = Decimal::parse(text);
  EXPECT_TRUE(d.has_value()) << text;
  return d.value_or(Decimal{});
}

ev::Operation ratio(std::optional<std::uint32_t> round_dp = std::nullopt) {
  return {ev::OperationKind::Ratio, round_dp};
}
ev::Operation difference() { return {ev::OperationKind::Difference, std::nullopt}; }
ev::Operation growth(std::optional<std::uint32_t> round_dp = std::nullopt) {
  return {ev::OperationKind::GrowthRate, round_dp};
}

// The result rendered, or the rendered error.
std::string run(const ev::Operation& op, std::vector<std::string_view> texts) {
  std::vector<Decimal> operands;
  for (std::string_view t : texts) operands.push_back(dec(t));
  const auto result = ev::apply(op, operands);
  return result ? result->render() : result.error().render();
}

void seal(ev::Receipt& r) {
  auto id = ev::receipt_id_for(r.claim, r.evidence, r.derivation);
  ASSERT_TRUE(id.has_value());
  r.receipt_id = *id;
}

ev::Receipt stated(std::string value, std::string concept_name = "ex:A") {
  ev::Receipt r;
  r.schema = "er/0.2";
  r.claim = {std::move(value), "u", ev::ClaimKind::Stated, "doc"};
  r.evidence.push_back({{"urn:x", std::string(64, '0'), std::nullopt, std::nullopt},
                        {std::move(concept_name), "c", "u", ev::ByteRange{1, 2}},
                        {std::string(ev::kEngine)}});
  seal(r);
  return r;
}

ev::DerivationInput input_of(const ev::Receipt& parent, std::string role) {
  return {parent.receipt_id, parent.claim.value, std::move(role)};
}

ev::Receipt derived(std::string value, ev::Operation op, std::vector<ev::DerivationInput> inputs) {
  ev::Receipt r;
  r.schema = "er/0.2";
  r.claim = {std::move(value), std::nullopt, ev::ClaimKind::Derived, "doc"};
  r.derivation = ev::Derivation{op, std::move(inputs)};
  seal(r);
  return r;
}

using Names = std::vector<std::string>;

Names names(const ev::VerificationReport& report) {
  Names out;
  for (const ev::Check& c : report.checks) out.emplace_back(ev::check_name_text(c.name));
  return out;
}

std::string detail(const ev::VerificationReport& report, ev::CheckName name) {
  for (const ev::Check& c : report.checks) {
    if (c.name == name) return c.pass ? "pass" : c.detail.value_or("<failed without detail>");
  }
  return "absent";
}

const Names kDerivedChecks{"receipt_id", "evidence_shape", "input_resolution", "recompute"};

}  // namespace

TEST(Apply, RatioDifferenceGrowthRoundingAndFailures) {
  constexpr const char* kZero = "derivation failed: division by zero";
  constexpr const char* kOverflow = "derivation failed: decimal overflow";
  struct Case {
    ev::Operation op;
    std::vector<std::string_view> operands;
    std::string_view expected;
  };
  const Case cases[] = {
      {ratio(), {"1", "4"}, "0.25"}, {ratio(4), {"2", "3"}, "0.6667"}, {ratio(), {"2", "3"}, "0.6666666666666666666666666667"},
      {ratio(), {"1500", "10"}, "150"}, {ratio(), {"6", "-0.5"}, "-12"}, {ratio(0), {"7", "2"}, "4"},
      {ratio(4294967295u), {"1", "3"}, "0.3333333333333333333333333333"},  // beyond every scale: unchanged
      // Ties go away from zero; a result rounding to zero is a plain 0; trailing zeros go.
      {ratio(2), {"1", "8"}, "0.13"}, {ratio(2), {"1", "-8"}, "-0.13"}, {ratio(0), {"-5", "2"}, "-3"},
      {ratio(2), {"0.1249", "1"}, "0.12"}, {ratio(0), {"-1", "3"}, "0"}, {ratio(), {"0", "-3"}, "0"},
      {ratio(1), {"-0.04", "1"}, "0"}, {ratio(), {"1.50", "1"}, "1.5"}, {ratio(3), {"2.000", "1.000"}, "2"},
      {difference(), {"5.50", "2.50"}, "3"}, {difference(), {"-0", "0"}, "0"}, {difference(), {"0.1", "0.3"}, "-0.2"},
      {{ev::OperationKind::Difference, 0}, {"1.25", "0"}, "1.25"},  // a difference carries no rounding
      {difference(), {kMax, "1"}, "79228162514264337593543950334"},
      // Growth divides by the magnitude of the second.
      {growth(), {"90", "-100"}, "1.9"}, {growth(), {"-150", "-100"}, "-0.5"}, {growth(), {"0", "5"}, "-1"},
      {growth(2), {"110", "100"}, "0.1"}, {growth(1), {"95", "100"}, "-0.1"}, {growth(3), {"1", "3"}, "-0.667"},
      // Failures are errors, never crashes.
      {ratio(), {"1", "0"}, kZero}, {ratio(2), {"0", "0.00"}, kZero}, {growth(), {"1", "-0"}, kZero},
      {growth(2), {"0", "0e5"}, kZero}, {ratio(), {"0", "5"}, "0"},
      {ratio(), {"1"}, "derivation failed: operation needs 2 inputs, got 1"},
      {ratio(), {"1", "0", "3"}, "derivation failed: operation needs 2 inputs, got 3"},  // count before divisor
      {growth(), {}, "derivation failed: operation needs 2 inputs, got 0"},
      {difference(), {kMax, "-1"}, kOverflow}, {difference(), {"-79228162514264337593543950335", "1"}, kOverflow},
      {ratio(), {kMax, "0.1"}, kOverflow}, {ratio(2), {kMax, "0.5"}, kOverflow},
      {ratio(), {"10", "0.0000000000000000000000000001"}, kOverflow}, {growth(), {kMax, "-1"}, kOverflow},
      {growth(), {"79228162514264337593543950334", "0.5"}, kOverflow},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(run(c.op, c.operands), c.expected) << c.operands.size() << " " << (c.operands.empty() ? "" : c.operands[0]);
  }
}

TEST(VerifyDerived, ARatioOfTwoIntactParentsVerifies) {
  const std::vector<ev::Receipt> batch{stated("1", "ex:A"), stated("4", "ex:B")};
  const ev::ReceiptIndex index(batch);
  const ev::Receipt r =
      derived("0.25", ratio(), {input_of(batch[0], "numerator"), input_of(batch[1], "denominator")});
  const auto report = ev::verify_derived(r, index);
  EXPECT_EQ(report.status, ev::ValidationStatus::Verified);
  EXPECT_EQ(names(report), kDerivedChecks);
  EXPECT_EQ(report.receipt_id, r.receipt_id);

  // Claims equal in value pass whatever their scale; others fail with the recomputed text.
  for (std::string claim : {"0.250", "2.5e-1", "+0.25"}) {
    EXPECT_EQ(ev::verify_derived(derived(claim, ratio(), r.derivation->inputs), index).status,
              ev::ValidationStatus::Verified)
        << claim;
  }
  for (std::string claim : {"0.3", "0.2500001", "quarter", ""}) {
    EXPECT_EQ(detail(ev::verify_derived(derived(claim, ratio(), r.derivation->inputs), index), ev::CheckName::Recompute),
              "recomputed 0.25, claimed " + claim);
  }
  // The roles are informational only.
  auto inputs = r.derivation->inputs;
  inputs[0].role = "";
  inputs[1].role = "anything";
  EXPECT_EQ(ev::verify_derived(derived("0.25", ratio(), inputs), index).status, ev::ValidationStatus::Verified);
}

TEST(VerifyDerived, ReceiptIdAndEvidenceShapeRules) {
  const std::vector<ev::Receipt> batch{stated("7", "ex:A"), stated("7", "ex:B")};
  const ev::ReceiptIndex index(batch);
  const ev::Receipt good = derived("0", difference(), {input_of(batch[0], "a"), input_of(batch[1], "b")});
  ASSERT_EQ(ev::verify_derived(good, index).status, ev::ValidationStatus::Verified);
  constexpr std::string_view kShape = "derived receipt must have kind=derived, empty evidence, non-empty derivation";

  ev::Receipt schema = good;
  schema.schema = "er/0.1";
  auto report = ev::verify_derived(schema, index);
  EXPECT_EQ(names(report), kDerivedChecks);
  EXPECT_EQ(detail(report, ev::CheckName::ReceiptId), "receipt body does not hash to receipt_id");
  EXPECT_EQ(detail(report, ev::CheckName::Recompute), "pass");

  ev::Receipt kind = good;
  kind.claim.kind = ev::ClaimKind::Stated;
  seal(kind);
  report = ev::verify_derived(kind, index);
  EXPECT_EQ(detail(report, ev::CheckName::ReceiptId), "pass");
  EXPECT_EQ(detail(report, ev::CheckName::EvidenceShape), kShape);
  EXPECT_EQ(detail(report, ev::CheckName::Recompute), "pass");

  ev::Receipt with_evidence = good;
  with_evidence.evidence = batch[0].evidence;
  seal(with_evidence);
  EXPECT_EQ(detail(ev::verify_derived(with_evidence, index), ev::CheckName::EvidenceShape), kShape);

  // No inputs: the shape fails, resolution has nothing to object to, the count fails.
  const ev::Receipt empty = derived("0", difference(), {});
  report = ev::verify_derived(empty, index);
  EXPECT_EQ(names(report), kDerivedChecks);
  EXPECT_EQ(detail(report, ev::CheckName::EvidenceShape), kShape);
  EXPECT_EQ(detail(report, ev::CheckName::InputResolution), "pass");
  EXPECT_EQ(detail(report, ev::CheckName::Recompute),
            "recompute failed: derivation failed: operation needs 2 inputs, got 0");

  // Without a derivation only the first two checks run.
  ev::Receipt none = good;
  none.derivation.reset();
  seal(none);
  report = ev::verify_derived(none, index);
  EXPECT_EQ(names(report), (Names{"receipt_id", "evidence_shape"}));
  EXPECT_EQ(detail(report, ev::CheckName::ReceiptId), "pass");
  EXPECT_EQ(detail(report, ev::CheckName::EvidenceShape), kShape);
  none.attestation = ev::Attestation{"ed25519", "00", "00"};
  report = ev::verify_derived(none, index);
  EXPECT_EQ(names(report), (Names{"receipt_id", "evidence_shape", "attestation"}));
  EXPECT_EQ(detail(report, ev::CheckName::Attestation), "signature invalid over canonical body");
}

TEST(VerifyDerived, InputResolutionJoinsEveryProblemInInputOrder) {
  ev::Receipt tampered = stated("5", "ex:T");
  tampered.claim.value = "6";  // no longer hashes to its id
  const ev::Receipt decimal_text = stated("1000.0", "ex:D");
  const std::vector<ev::Receipt> batch{tampered, decimal_text};
  const ev::ReceiptIndex index(batch);

  const std::string unknown = "er_" + std::string(64, 'f');
  const ev::Receipt r = derived("0", difference(),
                                {{unknown, "1", "a"},
                                 {tampered.receipt_id, "6", "b"},
                                 {decimal_text.receipt_id, "1000", "c"}});
  const auto report = ev::verify_derived(r, index);
  EXPECT_EQ(names(report), kDerivedChecks);
  EXPECT_EQ(detail(report, ev::CheckName::InputResolution),
            unknown + ": unknown parent; " + tampered.receipt_id + ": parent fails integrity; " +
                decimal_text.receipt_id + ": consumed 1000 but parent claims 1000.0");
  // All three values parse, so three operands reach the operation.
  EXPECT_EQ(detail(report, ev::CheckName::Recompute),
            "recompute failed: derivation failed: operation needs 2 inputs, got 3");
  EXPECT_EQ(detail(report, ev::CheckName::EvidenceShape), "pass");
}

TEST(VerifyDerived, AHugeParentValueIsCutInEveryMismatchDetail) {
  // 1023 bytes of digits then a three-byte character across the cut.
  const ev::Receipt huge = stated(std::string(1023, '7') + "\xE2\x82\xAC" + std::string(5000, '8'), "ex:H");
  const ev::Receipt exact = stated(std::string(1024, '9'), "ex:E");
  const std::vector<ev::Receipt> batch{huge, exact};
  const ev::ReceiptIndex index(batch);
  std::vector<ev::DerivationInput> inputs(1000, ev::DerivationInput{huge.receipt_id, "1", "a"});
  inputs.push_back({exact.receipt_id, "1", "b"});
  const auto report = ev::verify_derived(derived("0", difference(), std::move(inputs)), index);

  const std::string one = huge.receipt_id + ": consumed 1 but parent claims " + std::string(1023, '7') + "... (6026 bytes)";
  std::string expected;
  for (int i = 0; i < 1000; ++i) expected += one + "; ";
  expected += exact.receipt_id + ": consumed 1 but parent claims " + std::string(1024, '9');
  EXPECT_EQ(detail(report, ev::CheckName::InputResolution), expected);
}

TEST(VerifyDerived, OperandsComeFromTheConsumedValues) {
  const ev::Receipt four = stated("4", "ex:B");
  const std::vector<ev::Receipt> batch{four};
  const ev::ReceiptIndex index(batch);
  const std::string unknown = "er_" + std::string(64, 'e');

  // An unknown parent still contributes its parsed value.
  auto report = ev::verify_derived(derived("0.25", ratio(), {{unknown, "1", "n"}, input_of(four, "d")}), index);
  EXPECT_EQ(detail(report, ev::CheckName::InputResolution), unknown + ": unknown parent");
  EXPECT_EQ(detail(report, ev::CheckName::Recompute), "pass");

  // A consumed value differing from the parent's claim is what gets computed with.
  report = ev::verify_derived(derived("0.5", ratio(), {{four.receipt_id, "2", "n"}, input_of(four, "d")}), index);
  EXPECT_EQ(detail(report, ev::CheckName::InputResolution), four.receipt_id + ": consumed 2 but parent claims 4");
  EXPECT_EQ(detail(report, ev::CheckName::Recompute), "pass");

  // An unparsable value is skipped without a problem of its own.
  report = ev::verify_derived(derived("1", ratio(), {{unknown, "n/a", "n"}, input_of(four, "d")}), index);
  EXPECT_EQ(detail(report, ev::CheckName::InputResolution), unknown + ": unknown parent");
  EXPECT_EQ(detail(report, ev::CheckName::Recompute),
            "recompute failed: derivation failed: operation needs 2 inputs, got 1");
  ev::Receipt bad_parent = stated("n/a", "ex:N");
  const std::vector<ev::Receipt> batch2{bad_parent, four};
  const ev::ReceiptIndex index2(batch2);
  report = ev::verify_derived(derived("1", ratio(), {input_of(bad_parent, "n"), input_of(four, "d")}), index2);
  EXPECT_EQ(detail(report, ev::CheckName::InputResolution), "pass");
  EXPECT_EQ(detail(report, ev::CheckName::Recompute),
            "recompute failed: derivation failed: operation needs 2 inputs, got 1");
}

TEST(VerifyDerived, RecomputeFailuresAreChecksNeverCrashes) {
  const ev::Receipt max = stated(std::string(kMax), "ex:M");
  const ev::Receipt minus_one = stated("-1", "ex:N");
  const ev::Receipt zero = stated("0.00", "ex:Z");
  const std::vector<ev::Receipt> batch{max, minus_one, zero};
  const ev::ReceiptIndex index(batch);

  auto report = ev::verify_derived(derived("0", difference(), {input_of(max, "a"), input_of(minus_one, "b")}), index);
  EXPECT_EQ(names(report), kDerivedChecks);
  EXPECT_EQ(detail(report, ev::CheckName::InputResolution), "pass");
  EXPECT_EQ(detail(report, ev::CheckName::Recompute), "recompute failed: derivation failed: decimal overflow");
  EXPECT_EQ(report.status, ev::ValidationStatus::Failed);

  report = ev::verify_derived(derived("0", growth(2), {input_of(max, "a"), input_of(zero, "b")}), index);
  EXPECT_EQ(detail(report, ev::CheckName::Recompute), "recompute failed: derivation failed: division by zero");

  // The recomputed value is shown normalized.
  const ev::Receipt a = stated("5.50", "ex:A");
  const ev::Receipt b = stated("2.50", "ex:B");
  const std::vector<ev::Receipt> batch2{a, b};
  const ev::ReceiptIndex index2(batch2);
  report = ev::verify_derived(derived("4", difference(), {input_of(a, "a"), input_of(b, "b")}), index2);
  EXPECT_EQ(detail(report, ev::CheckName::Recompute), "recomputed 3, claimed 4");
  // No tolerance: a claim with more places than the rounded result fails.
  report = ev::verify_derived(derived("2.2", ratio(0), {input_of(a, "a"), input_of(b, "b")}), index2);
  EXPECT_EQ(detail(report, ev::CheckName::Recompute), "recomputed 2, claimed 2.2");
}

TEST(ReceiptIndex, LaterDuplicateWinsAndIntegrityIsTheStoredReceipts) {
  const ev::Receipt intact = stated("1", "ex:A");
  ev::Receipt impostor = intact;
  impostor.claim.value = "2";  // claims the same id with another body
  const ev::Receipt four = stated("4", "ex:B");
  const ev::Receipt r = derived("0.25", ratio(), {input_of(intact, "n"), input_of(four, "d")});

  {
    const std::vector<ev::Receipt> batch{intact, impostor, four};
    const ev::ReceiptIndex index(batch);
    EXPECT_EQ(index.find(intact.receipt_id)->position, 1U);
    EXPECT_FALSE(index.intact(intact.receipt_id));
    EXPECT_EQ(detail(ev::verify_derived(r, index), ev::CheckName::InputResolution),
              intact.receipt_id + ": parent fails integrity");
  }
  {
    const std::vector<ev::Receipt> batch{impostor, intact, four};
    const ev::ReceiptIndex index(batch);
    EXPECT_EQ(index.find(intact.receipt_id)->position, 1U);
    EXPECT_TRUE(index.intact(intact.receipt_id));
    EXPECT_TRUE(index.intact(intact.receipt_id));  // the remembered answer is the same
    EXPECT_EQ(ev::verify_derived(r, index).status, ev::ValidationStatus::Verified);
    EXPECT_EQ(index.find("er_missing"), nullptr);
    EXPECT_FALSE(index.intact("er_missing"));
  }
  // A parent's schema is not examined.
  ev::Receipt odd_schema = intact;
  odd_schema.schema = "whatever";
  const std::vector<ev::Receipt> batch{odd_schema, four};
  const ev::ReceiptIndex index(batch);
  EXPECT_EQ(ev::verify_derived(r, index).status, ev::ValidationStatus::Verified);
}

TEST(ReceiptIndex, ParentsAreNotVerifiedInTurnSoCyclesEnd) {
  // A derived parent whose own inputs are missing is still intact.
  const ev::Receipt one = stated("1", "ex:A");
  const ev::Receipt orphan = derived("2", difference(), {{"er_nowhere", "3", "a"}, {"er_nowhere2", "1", "b"}});
  const std::vector<ev::Receipt> batch{one, orphan};
  const ev::ReceiptIndex index(batch);
  EXPECT_EQ(ev::verify_derived(orphan, index).status, ev::ValidationStatus::Failed);
  EXPECT_EQ(ev::verify_derived(derived("0.5", ratio(), {input_of(one, "n"), input_of(orphan, "d")}), index).status,
            ev::ValidationStatus::Verified);

  // Receipts naming each other (under ids they do not hash to) end at once.
  ev::Receipt a;
  a.schema = "er/0.2";
  a.receipt_id = "er_a";
  a.claim = {"1", std::nullopt, ev::ClaimKind::Derived, "d"};
  a.derivation = ev::Derivation{difference(), {{"er_b", "1", "x"}, {"er_a", "1", "y"}}};
  ev::Receipt b = a;
  b.receipt_id = "er_b";
  b.derivation->inputs = {{"er_a", "1", "x"}, {"er_b", "1", "y"}};
  const std::vector<ev::Receipt> cycle{a, b};
  const ev::ReceiptIndex cycle_index(cycle);
  const auto report = ev::verify_derived(a, cycle_index);
  EXPECT_EQ(detail(report, ev::CheckName::InputResolution),
            "er_b: parent fails integrity; er_a: parent fails integrity");
  EXPECT_EQ(detail(report, ev::CheckName::Recompute), "recomputed 0, claimed 1");
}

TEST(ReceiptIndex, ALargeParentNamedByManyInputsIsHashedOnce) {
  // The parent's body is megabytes long; 100,000 inputs across 50,000
  // receipts name it. Hashing it once per input would be quadratic.
  constexpr std::size_t kParentInputs = 50000;
  constexpr std::size_t kChildren = 50000;
  std::vector<ev::Receipt> batch;
  batch.reserve(kChildren + 1);
  {
    std::vector<ev::DerivationInput> inputs(kParentInputs, {"er_" + std::string(64, 'a'), "1", "term"});
    batch.push_back(derived("5", difference(), std::move(inputs)));
  }
  const ev::Receipt& parent = batch.front();
  for (std::size_t i = 0; i < kChildren; ++i) {
    // Distinct children: the role carries the number.
    std::string role = "n";
    role += std::to_string(i);
    batch.push_back(derived("1", ratio(), {input_of(parent, std::move(role)), input_of(parent, "d")}));
  }
  const ev::ReceiptIndex index(batch);
  std::size_t verified = 0;
  for (std::size_t i = 1; i < batch.size(); ++i) {
    verified += ev::verify_derived(batch[i], index).status == ev::ValidationStatus::Verified ? 1 : 0;
  }
  EXPECT_EQ(verified, kChildren);
  // The parent itself names 50,000 unknown receipts: one problem each, joined.
  const std::string problems = detail(ev::verify_derived(parent, index), ev::CheckName::InputResolution);
  const std::string one = "er_" + std::string(64, 'a') + ": unknown parent";
  EXPECT_EQ(problems.size(), kParentInputs * one.size() + (kParentInputs - 1) * 2);
  EXPECT_EQ(problems.substr(0, one.size() + 2), one + "; ");
}
