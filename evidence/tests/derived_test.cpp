// Derived receipts: the operations, then one table of derived receipts over
// one batch of parents and the report each must give, then hostile batches.

#include "quorrel/evidence/derived.hpp"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "support.hpp"

namespace ev = quorrel::evidence;
using namespace quorrel::evidence::test;
using K = ev::OperationKind;

namespace {

constexpr std::string_view kMax = "79228162514264337593543950335";  // 2^96 - 1

ev::DerivationInput input_of(const ev::Receipt& parent, std::string role = "r") {
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

const std::string kPass = "receipt_id evidence_shape input_resolution recompute";
const std::string kShape = "evidence_shape=derived receipt must have kind=derived, empty evidence, non-empty derivation";
const std::string kTooFew = "recompute=recompute failed: derivation failed: operation needs 2 inputs, got ";
std::string recompute(std::string_view detail) { return "receipt_id evidence_shape input_resolution recompute=" + std::string(detail); }
std::string resolution(std::string_view problems, std::string_view rest = "recompute") {
  return "receipt_id evidence_shape input_resolution=" + std::string(problems) + " " + std::string(rest);
}

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
      {{K::Ratio, {}}, {"1", "4"}, "0.25"}, {{K::Ratio, 4}, {"2", "3"}, "0.6667"},
      {{K::Ratio, {}}, {"2", "3"}, "0.6666666666666666666666666667"},
      {{K::Ratio, 4294967295u}, {"1", "3"}, "0.3333333333333333333333333333"},  // beyond every scale: unchanged
      // Ties go away from zero; a result rounding to zero is 0; trailing zeros go.
      {{K::Ratio, 2}, {"1", "-8"}, "-0.13"}, {{K::Ratio, 1}, {"-0.04", "1"}, "0"}, {{K::Ratio, 3}, {"2.000", "1.000"}, "2"},
      {{K::Difference, {}}, {"5.50", "2.50"}, "3"},
      {{K::Difference, 0}, {"1.25", "0"}, "1.25"},  // a difference carries no rounding
      // Growth divides by the magnitude of the second.
      {{K::GrowthRate, {}}, {"90", "-100"}, "1.9"}, {{K::GrowthRate, 3}, {"1", "3"}, "-0.667"},
      // Failures are errors, never crashes; the operand count is judged first.
      {{K::Ratio, {}}, {"1", "0"}, kZero}, {{K::GrowthRate, {}}, {"1", "-0"}, kZero},
      {{K::Ratio, {}}, {"1", "0", "3"}, "derivation failed: operation needs 2 inputs, got 3"},
      {{K::Difference, {}}, {kMax, "-1"}, kOverflow}, {{K::Ratio, {}}, {"10", "0.0000000000000000000000000001"}, kOverflow},
      {{K::GrowthRate, {}}, {"79228162514264337593543950334", "0.5"}, kOverflow},
  };
  for (const Case& c : cases) {
    std::vector<quorrel::core::Decimal> operands;
    for (std::string_view t : c.operands) operands.push_back(quorrel::core::Decimal::parse(t).value());
    const auto result = ev::apply(c.op, operands);
    EXPECT_EQ(result ? result->render() : result.error().render(), c.expected) << (c.operands.empty() ? "" : c.operands[0]);
  }
}

TEST(VerifyDerived, EachDerivedReceiptGivesItsReport) {
  const ev::Receipt one = stated("1", "ex:A"), four = stated("4", "ex:B"), decimal_text = stated("1000.0", "ex:D");
  const ev::Receipt max = stated(std::string(kMax), "ex:M"), minus_one = stated("-1", "ex:N");
  const ev::Receipt a = stated("5.50", "ex:P"), b = stated("2.50", "ex:Q"), not_a_number = stated("n/a", "ex:X");
  ev::Receipt tampered = stated("5", "ex:T");
  tampered.claim.value = "6";  // no longer hashes to its id
  ev::Receipt odd_schema = stated("3", "ex:O");
  odd_schema.schema = "whatever";
  // A derived parent whose own inputs are missing, and two naming each other
  // under ids they do not hash to.
  const ev::Receipt orphan = derived("2", {K::Difference, {}}, {{"er_nowhere", "3", "a"}, {"er_nowhere2", "1", "b"}});
  ev::Receipt cycle_a = derived("1", {K::Difference, {}}, {{"er_b", "1", "x"}, {"er_a", "1", "y"}});
  ev::Receipt cycle_b = derived("1", {K::Difference, {}}, {{"er_a", "1", "x"}, {"er_b", "1", "y"}});
  cycle_a.receipt_id = "er_a";
  cycle_b.receipt_id = "er_b";
  const std::vector<ev::Receipt> batch{one, four, tampered, decimal_text, max, minus_one, a,
                                       b,   not_a_number, odd_schema, orphan, cycle_a, cycle_b};
  const ev::ReceiptIndex index(batch);
  const std::string unknown = "er_" + std::string(64, 'f');
  const std::vector<ev::DerivationInput> quarter{input_of(one, "numerator"), input_of(four, "denominator")};

  struct Row {
    std::string claim;
    ev::Operation op;
    std::vector<ev::DerivationInput> inputs;
    void (*change)(ev::Receipt&);  // applied after sealing
    bool reseal;
    std::string expected;
  };
  const auto none = static_cast<void (*)(ev::Receipt&)>(nullptr);
  const Row rows[] = {
      // Claims equal in value pass whatever their scale; others fail with the recomputed text.
      {"0.25", {K::Ratio, {}}, quarter, none, false, kPass},
      {"2.5e-1", {K::Ratio, {}}, quarter, none, false, kPass},
      {"quarter", {K::Ratio, {}}, quarter, none, false, recompute("recomputed 0.25, claimed quarter")},
      {"0.25", {K::Ratio, {}}, {input_of(one, ""), input_of(four, "anything")}, none, false, kPass},  // roles are free
      // The id and the shape; without a derivation only these two run.
      {"0.25", {K::Ratio, {}}, quarter, [](ev::Receipt& r) { r.schema = "er/0.1"; }, false,
       "receipt_id=receipt body does not hash to receipt_id evidence_shape input_resolution recompute"},
      {"0.25", {K::Ratio, {}}, quarter, [](ev::Receipt& r) { r.claim.kind = ev::ClaimKind::Stated; }, true,
       "receipt_id " + kShape + " input_resolution recompute"},
      {"0.25", {K::Ratio, {}}, quarter, [](ev::Receipt& r) { r.evidence = stated("1", "ex:A").evidence; }, true,
       "receipt_id " + kShape + " input_resolution recompute"},
      {"0", {K::Difference, {}}, {}, none, false, "receipt_id " + kShape + " input_resolution " + kTooFew + "0"},
      {"0.25", {K::Ratio, {}}, quarter, [](ev::Receipt& r) { r.derivation.reset(); }, true, "receipt_id " + kShape},
      {"0.25", {K::Ratio, {}}, quarter,
       [](ev::Receipt& r) {
         r.derivation.reset();
         r.attestation = ev::Attestation{"ed25519", "00", "00"};
       },
       true, "receipt_id " + kShape + " attestation=signature invalid over canonical body"},
      // Every input problem, joined in input order; the operands are the consumed
      // values that parse, whatever their parent says.
      {"0", {K::Difference, {}}, {{unknown, "1", "a"}, {tampered.receipt_id, "6", "b"}, {decimal_text.receipt_id, "1000", "c"}},
       none, false,
       resolution(unknown + ": unknown parent; " + tampered.receipt_id + ": parent fails integrity; " +
                      decimal_text.receipt_id + ": consumed 1000 but parent claims 1000.0", kTooFew + "3")},
      {"0.5", {K::Ratio, {}}, {{four.receipt_id, "2", "n"}, input_of(four)}, none, false,
       resolution(four.receipt_id + ": consumed 2 but parent claims 4")},
      {"1", {K::Ratio, {}}, {{unknown, "n/a", "n"}, input_of(four)}, none, false, resolution(unknown + ": unknown parent", kTooFew + "1")},
      {"1", {K::Ratio, {}}, {input_of(not_a_number), input_of(four)}, none, false,
       "receipt_id evidence_shape input_resolution " + kTooFew + "1"},
      // A parent's schema is not examined, nor are a derived parent's own inputs, so cycles end.
      {"0.75", {K::Ratio, {}}, {input_of(odd_schema), input_of(four)}, none, false, kPass},
      {"0.5", {K::Ratio, {}}, {input_of(one), input_of(orphan)}, none, false, kPass},
      {"1", {K::Difference, {}}, {{"er_b", "1", "x"}, {"er_a", "1", "y"}}, none, false,
       resolution("er_b: parent fails integrity; er_a: parent fails integrity", "recompute=recomputed 0, claimed 1")},
      // Failures of the operation are checks, never crashes; the result is shown
      // normalized, and there is no tolerance.
      {"0", {K::Difference, {}}, {input_of(max), input_of(minus_one)}, none, false,
       recompute("recompute failed: derivation failed: decimal overflow")},
      {"2.2", {K::Ratio, 0}, {input_of(a), input_of(b)}, none, false, recompute("recomputed 2, claimed 2.2")},
  };
  for (std::size_t i = 0; i < std::size(rows); ++i) {
    const Row& row = rows[i];
    ev::Receipt r = derived(row.claim, row.op, row.inputs);
    if (row.change) row.change(r);
    if (row.reseal) seal(r);
    const ev::VerificationReport report = ev::verify_derived(r, index);
    EXPECT_EQ(line(report), row.expected) << "row " << i;
    EXPECT_EQ(report.receipt_id, r.receipt_id) << "row " << i;
    EXPECT_EQ(report.status == ev::ValidationStatus::Verified, row.expected.find('=') == std::string::npos) << i;
  }
}

TEST(ReceiptIndexHostile, AHugeParentValueIsCutAndALargeParentHashedOnce) {
  // 1023 bytes of digits then a three-byte character across the cut, named by 1000 inputs.
  const ev::Receipt huge = stated(std::string(1023, '7') + "\xE2\x82\xAC" + std::string(5000, '8'), "ex:H");
  const ev::Receipt exact = stated(std::string(1024, '9'), "ex:E");
  const std::vector<ev::Receipt> parents{huge, exact};  // the index views them
  const ev::ReceiptIndex index(parents);
  std::vector<ev::DerivationInput> inputs(1000, ev::DerivationInput{huge.receipt_id, "1", "a"});
  inputs.push_back({exact.receipt_id, "1", "b"});
  std::string expected;
  for (int i = 0; i < 1000; ++i) expected += huge.receipt_id + ": consumed 1 but parent claims " + std::string(1023, '7') + "... (6026 bytes); ";
  expected += exact.receipt_id + ": consumed 1 but parent claims " + std::string(1024, '9');
  EXPECT_EQ(line(ev::verify_derived(derived("0", {K::Difference, {}}, std::move(inputs)), index)),
            resolution(expected, kTooFew + "1001"));

  // A parent's body is megabytes long and 50,000 receipts name it twice each:
  // hashing it once per input would be quadratic.
  std::vector<ev::Receipt> batch{derived("5", {K::Difference, {}}, std::vector<ev::DerivationInput>(
                                                                  50000, {"er_" + std::string(64, 'a'), "1", "term"}))};
  for (int i = 0; i < 50000; ++i) {
    batch.push_back(derived("1", {K::Ratio, {}}, {input_of(batch.front(), std::to_string(i)), input_of(batch.front(), "d")}));
  }
  const ev::ReceiptIndex large(batch);
  std::size_t verified = 0;
  for (std::size_t i = 1; i < batch.size(); ++i) {
    verified += ev::verify_derived(batch[i], large).status == ev::ValidationStatus::Verified ? 1 : 0;
  }
  EXPECT_EQ(verified, 50000u);
}
