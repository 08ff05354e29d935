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
  r.receipt_id = ev::receipt_id_for(r.claim, r.evidence, r.derivation);
}

ev::Receipt stated(std::string value, std::string concept_name) {
  ev::Receipt r;
  r.schema = "er/0.2";
  r.claim = {std::move(value), "u", ev::ClaimKind::Stated, "doc"};
  r.evidence.push_back({{"urn:x", std::string(64, '0'), std::nullopt, std::nullopt},
                        {std::move(concept_name), "c", "u", ev::ByteRange{1, 2}},
                        {std::string(ev::kEngine)}});
  seal(r);
  return r;
}

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

// The report in one line: every check that ran, in order, a failing one with its detail.
std::string line(const ev::VerificationReport& report) {
  std::string out;
  for (const ev::Check& c : report.checks) {
    if (!out.empty()) out += ' ';
    out += ev::check_name_text(c.name);
    if (!c.pass) out += "=" + c.detail.value_or("<no detail>");
  }
  return out;
}

const std::string kPass = "receipt_id evidence_shape input_resolution recompute";
const std::string kShape = "evidence_shape=derived receipt must have kind=derived, empty evidence, non-empty derivation";
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
      {ratio(), {"1", "4"}, "0.25"}, {ratio(4), {"2", "3"}, "0.6667"}, {ratio(), {"2", "3"}, "0.6666666666666666666666666667"},
      {ratio(4294967295u), {"1", "3"}, "0.3333333333333333333333333333"},  // beyond every scale: unchanged
      // Ties go away from zero; a result rounding to zero is 0; trailing zeros go.
      {ratio(2), {"1", "-8"}, "-0.13"}, {ratio(1), {"-0.04", "1"}, "0"}, {ratio(3), {"2.000", "1.000"}, "2"},
      {difference(), {"5.50", "2.50"}, "3"},
      {{ev::OperationKind::Difference, 0}, {"1.25", "0"}, "1.25"},  // a difference carries no rounding
      // Growth divides by the magnitude of the second.
      {growth(), {"90", "-100"}, "1.9"}, {growth(3), {"1", "3"}, "-0.667"},
      // Failures are errors, never crashes; the operand count is judged first.
      {ratio(), {"1", "0"}, kZero}, {growth(), {"1", "-0"}, kZero},
      {ratio(), {"1", "0", "3"}, "derivation failed: operation needs 2 inputs, got 3"},
      {growth(), {}, "derivation failed: operation needs 2 inputs, got 0"},
      {difference(), {kMax, "-1"}, kOverflow}, {ratio(), {"10", "0.0000000000000000000000000001"}, kOverflow},
      {growth(), {"79228162514264337593543950334", "0.5"}, kOverflow},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(run(c.op, c.operands), c.expected) << c.operands.size() << " " << (c.operands.empty() ? "" : c.operands[0]);
  }
}

TEST(VerifyDerived, EachDerivedReceiptGivesItsReport) {
  const ev::Receipt one = stated("1", "ex:A");
  const ev::Receipt four = stated("4", "ex:B");
  ev::Receipt tampered = stated("5", "ex:T");
  tampered.claim.value = "6";  // no longer hashes to its id
  const ev::Receipt decimal_text = stated("1000.0", "ex:D");
  const ev::Receipt max = stated(std::string(kMax), "ex:M");
  const ev::Receipt minus_one = stated("-1", "ex:N");
  const ev::Receipt zero = stated("0.00", "ex:Z");
  const ev::Receipt a = stated("5.50", "ex:P");
  const ev::Receipt b = stated("2.50", "ex:Q");
  const ev::Receipt not_a_number = stated("n/a", "ex:X");
  ev::Receipt odd_schema = stated("3", "ex:O");
  odd_schema.schema = "whatever";
  // A derived parent whose own inputs are missing, and two naming each other
  // under ids they do not hash to.
  const ev::Receipt orphan = derived("2", difference(), {{"er_nowhere", "3", "a"}, {"er_nowhere2", "1", "b"}});
  ev::Receipt cycle_a = derived("1", difference(), {{"er_b", "1", "x"}, {"er_a", "1", "y"}});
  cycle_a.receipt_id = "er_a";
  ev::Receipt cycle_b = derived("1", difference(), {{"er_a", "1", "x"}, {"er_b", "1", "y"}});
  cycle_b.receipt_id = "er_b";
  const std::vector<ev::Receipt> batch{one, four, tampered, decimal_text, max, minus_one, zero, a,
                                       b,   not_a_number, odd_schema, orphan, cycle_a, cycle_b};
  const ev::ReceiptIndex index(batch);
  const std::string unknown = "er_" + std::string(64, 'f');
  const std::vector<ev::DerivationInput> quarter{input_of(one, "numerator"), input_of(four, "denominator")};
  const std::string kTooFew = "recompute=recompute failed: derivation failed: operation needs 2 inputs, got 1";

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
      {"0.25", ratio(), quarter, none, false, kPass},
      {"2.5e-1", ratio(), quarter, none, false, kPass},
      {"quarter", ratio(), quarter, none, false, recompute("recomputed 0.25, claimed quarter")},
      {"0.25", ratio(), {input_of(one, ""), input_of(four, "anything")}, none, false, kPass},  // roles are free
      // The id and the shape; without a derivation only these two run.
      {"0.25", ratio(), quarter, [](ev::Receipt& r) { r.schema = "er/0.1"; }, false,
       "receipt_id=receipt body does not hash to receipt_id evidence_shape input_resolution recompute"},
      {"0.25", ratio(), quarter, [](ev::Receipt& r) { r.claim.kind = ev::ClaimKind::Stated; }, true,
       "receipt_id " + kShape + " input_resolution recompute"},
      {"0.25", ratio(), quarter, [](ev::Receipt& r) { r.evidence = stated("1", "ex:A").evidence; }, true,
       "receipt_id " + kShape + " input_resolution recompute"},
      {"0", difference(), {}, none, false,
       "receipt_id " + kShape + " input_resolution recompute=recompute failed: derivation failed: operation needs 2 inputs, got 0"},
      {"0.25", ratio(), quarter, [](ev::Receipt& r) { r.derivation.reset(); }, true, "receipt_id " + kShape},
      {"0.25", ratio(), quarter,
       [](ev::Receipt& r) {
         r.derivation.reset();
         r.attestation = ev::Attestation{"ed25519", "00", "00"};
       },
       true, "receipt_id " + kShape + " attestation=signature invalid over canonical body"},
      // Every input problem, joined in input order; the operands are the consumed
      // values that parse, whatever their parent says.
      {"0", difference(), {{unknown, "1", "a"}, {tampered.receipt_id, "6", "b"}, {decimal_text.receipt_id, "1000", "c"}},
       none, false,
       resolution(unknown + ": unknown parent; " + tampered.receipt_id + ": parent fails integrity; " +
                      decimal_text.receipt_id + ": consumed 1000 but parent claims 1000.0",
                  "recompute=recompute failed: derivation failed: operation needs 2 inputs, got 3")},
      {"0.5", ratio(), {{four.receipt_id, "2", "n"}, input_of(four)}, none, false,
       resolution(four.receipt_id + ": consumed 2 but parent claims 4")},
      {"1", ratio(), {{unknown, "n/a", "n"}, input_of(four)}, none, false, resolution(unknown + ": unknown parent", kTooFew)},
      {"1", ratio(), {input_of(not_a_number), input_of(four)}, none, false, "receipt_id evidence_shape input_resolution " + kTooFew},
      // A parent's schema is not examined, nor are a derived parent's own inputs, so cycles end.
      {"0.75", ratio(), {input_of(odd_schema), input_of(four)}, none, false, kPass},
      {"0.5", ratio(), {input_of(one), input_of(orphan)}, none, false, kPass},
      {"1", difference(), {{"er_b", "1", "x"}, {"er_a", "1", "y"}}, none, false,
       resolution("er_b: parent fails integrity; er_a: parent fails integrity", "recompute=recomputed 0, claimed 1")},
      // Failures of the operation are checks, never crashes; the result is shown
      // normalized, and there is no tolerance.
      {"0", difference(), {input_of(max), input_of(minus_one)}, none, false,
       recompute("recompute failed: derivation failed: decimal overflow")},
      {"0", growth(2), {input_of(max), input_of(zero)}, none, false,
       recompute("recompute failed: derivation failed: division by zero")},
      {"2.2", ratio(0), {input_of(a), input_of(b)}, none, false, recompute("recomputed 2, claimed 2.2")},
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

TEST(ReceiptIndex, AHugeParentValueIsCutInEveryMismatchDetail) {
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
  EXPECT_EQ(line(report), resolution(expected, "recompute=recompute failed: derivation failed: operation needs 2 inputs, got 1001"));
}

TEST(ReceiptIndex, ALargeParentNamedByManyInputsIsHashedOnce) {
  // The parent's body is megabytes long; 100,000 inputs across 50,000
  // receipts name it. Hashing it once per input would be quadratic.
  constexpr std::size_t kParentInputs = 50000;
  constexpr std::size_t kChildren = 50000;
  std::vector<ev::Receipt> batch;
  batch.reserve(kChildren + 1);
  batch.push_back(derived("5", difference(),
                          std::vector<ev::DerivationInput>(kParentInputs, {"er_" + std::string(64, 'a'), "1", "term"})));
  const ev::Receipt& parent = batch.front();
  for (std::size_t i = 0; i < kChildren; ++i) {
    std::string role = "n";  // distinct children: the role carries the number
    role += std::to_string(i);
    batch.push_back(derived("1", ratio(), {input_of(parent, std::move(role)), input_of(parent, "d")}));
  }
  const ev::ReceiptIndex index(batch);
  std::size_t verified = 0;
  for (std::size_t i = 1; i < batch.size(); ++i) {
    verified += ev::verify_derived(batch[i], index).status == ev::ValidationStatus::Verified ? 1 : 0;
  }
  EXPECT_EQ(verified, kChildren);
}
