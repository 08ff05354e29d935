// Verification: the source context and its fact index; stated receipts
// against their source and derived ones against their parents, each a table of
// receipts and their reports; the operations; hostile batches; a JSONL batch.

#include "quorrel/evidence/verify.hpp"

#include <gtest/gtest.h>

#include <array>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "quorrel/evidence/derived.hpp"
#include "quorrel/evidence/source_context.hpp"
#include "quorrel/evidence/receipts.hpp"
#include "support.hpp"

namespace ev = quorrel::evidence;
using namespace quorrel::evidence::test;
namespace core = quorrel::core;
using K = ev::OperationKind;

namespace {

// Positions (in closing order): 0 Revenue 1000; 1-3 Dup 5, 6, 7 under one key;
// 4 a text fact; 5 Count 12 without unit; 6 Count with an empty unit
// reference naming no unit; 7 a fact whose context is missing; 8 Share 1.50;
// 9 nil; 10 not a number; 11 a concept in the default namespace.
constexpr std::string_view kDoc =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<xbrl xmlns=\"http://www.xbrl.org/2003/instance\" xmlns:ex=\"http://example.com/ex\">\n"
    "<context id=\"c1\"><entity><identifier scheme=\"http://example.com\">X</identifier></entity>"
    "<period><instant>2024-12-31</instant></period></context>\n"
    "<unit id=\"u1\"><measure>iso4217:USD</measure></unit>\n"
    "<ex:Revenue contextRef=\"c1\" unitRef=\"u1\" decimals=\"0\">1000</ex:Revenue>\n"
    "<ex:Dup contextRef=\"c1\" unitRef=\"u1\" decimals=\"0\">5</ex:Dup>\n"
    "<ex:Dup contextRef=\"c1\" unitRef=\"u1\" decimals=\"0\">6</ex:Dup>\n"
    "<ex:Dup contextRef=\"c1\" unitRef=\"u1\" decimals=\"0\">7</ex:Dup>\n"
    "<ex:Name contextRef=\"c1\">Acme</ex:Name>\n"
    "<ex:Count contextRef=\"c1\" decimals=\"0\">12</ex:Count>\n"
    "<ex:Count contextRef=\"c1\" unitRef=\"\" decimals=\"0\">13</ex:Count>\n"
    "<ex:Orphan contextRef=\"nowhere\" unitRef=\"u1\" decimals=\"0\">9</ex:Orphan>\n"
    "<ex:Share contextRef=\"c1\" unitRef=\"u1\" decimals=\"2\">1.50</ex:Share>\n"
    "<ex:Nil contextRef=\"c1\" unitRef=\"u1\" xsi:nil=\"true\"/><ex:Mass contextRef=\"c1\" unitRef=\"u1\">12 kg</ex:Mass>\n"
    "<Total contextRef=\"c1\" unitRef=\"u1\" decimals=\"INF\">-0.000</Total>\n"
    "</xbrl>\n";

const ev::SourceContext& context() {
  static const ev::SourceContext loaded = ev::SourceContext::load(kDoc).value();
  return loaded;
}

core::ByteRange range_at(std::size_t position) { return *context().document.facts.at(position).byte_range; }
std::string shown(std::size_t position) { return ev::render_byte_range(range_at(position)); }
ev::XbrlLocator& loc(ev::Receipt& r) { return r.evidence.front().locator; }

// What the index finds for a key: how many facts, and the lowest position (99 for none).
using Found = std::pair<std::size_t, std::size_t>;
Found found(const ev::FactIndex& index, std::string_view concept_text, std::string_view context_ref,
            std::optional<std::string_view> unit_ref, std::optional<core::ByteRange> range = std::nullopt) {
  std::string buffer;
  const ev::FactMatch match = index.locate({concept_text, context_ref, unit_ref}, range, buffer);
  return {match.count, match.count == 0 ? 99 : match.first};
}

// A sealed stated receipt for the fact at `position` of the document, claiming `value`.
ev::Receipt receipt_for(std::size_t position, std::string value) {
  const core::RawFact& fact = context().document.facts.at(position);
  const auto unit_ref = fact.unit_ref ? std::optional<std::string>(*fact.unit_ref) : std::nullopt;
  ev::Receipt r;
  r.schema = "er/0.2";
  r.claim = {std::move(value), unit_ref, ev::ClaimKind::Stated, "doc"};
  r.evidence.push_back({{"urn:test", context().sha256, std::nullopt, std::nullopt},
                        {fact.concept_name.to_string(), std::string(fact.context_ref), unit_ref, fact.byte_range},
                        {std::string(ev::kEngine)}});
  seal(r);
  return r;
}

const std::string kPass = "receipt_id evidence_shape artifact_hash locate byte_range value_match";
const std::string kBadId = "receipt_id=receipt body does not hash to receipt_id";
const std::string kUpToLocate = "receipt_id evidence_shape artifact_hash locate";
const std::string kNotFound = kUpToLocate + "=matched 0 facts, expected exactly 1";
const std::string kNoValue = kUpToLocate + " byte_range value_match=located fact has no re-derivable numeric value";
std::string differs(std::string_view claim, std::string_view source) {
  return kUpToLocate + " byte_range value_match=claimed " + std::string(claim) + ", source has " + std::string(source);
}
std::string several(std::size_t count, std::string_view rest) {
  return kUpToLocate + "=matched " + std::to_string(count) + " facts, expected exactly 1 " + std::string(rest);
}

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

const std::string kDerivedPass = "receipt_id evidence_shape input_resolution recompute";
const std::string kShape = "evidence_shape=derived receipt must have kind=derived, empty evidence, non-empty derivation";
const std::string kTooFew = "recompute=recompute failed: derivation failed: operation needs 2 inputs, got ";
std::string recompute(std::string_view detail) { return kDerivedPass + "=" + std::string(detail); }
std::string resolution(std::string_view problems, std::string_view rest = "recompute") {
  return "receipt_id evidence_shape input_resolution=" + std::string(problems) + " " + std::string(rest);
}

using Change = void (*)(ev::Receipt&);  // made after sealing, then sealed again or not
const Change none = nullptr;

// The changed receipt's report line, its id as stated, and a status that fails with a check.
template <class Verify>
void expect_report(ev::Receipt r, Change change, bool reseal, const std::string& expected, Verify verify,
                   std::size_t row) {
  if (change) change(r);
  if (reseal) seal(r);
  const ev::VerificationReport report = verify(r);
  EXPECT_EQ(line(report), expected) << "row " << row;
  EXPECT_EQ(report.receipt_id, r.receipt_id) << "row " << row;
  EXPECT_EQ(report.status == ev::ValidationStatus::Verified, expected.find('=') == std::string::npos) << "row " << row;
}

}  // namespace

TEST(SourceContextLoad, IndexAndValues) {
  ASSERT_EQ(context().document.facts.size(), 12U);
  // Every fact under its own key, valued or not; no unit reference and an empty one differ, as do texts that only join alike.
  const std::pair<std::array<std::optional<std::string_view>, 3>, Found> keys[] = {
      {{"ex:Dup", "c1", "u1"}, {3, 1}}, {{"ex:Count", "c1", std::nullopt}, {1, 5}}, {{"ex:Count", "c1", ""}, {1, 6}},
      {{"ex:Name", "c1", std::nullopt}, {1, 4}}, {{"ex:Nil", "c1", "u1"}, {1, 9}}, {{"ex:Orphan", "nowhere", "u1"}, {1, 7}},
      {{"ex:Mass", "c1", "u1"}, {1, 10}}, {{"{http://www.xbrl.org/2003/instance}Total", "c1", "u1"}, {1, 11}},
      {{"ex:Dupc", "1", "u1"}, {0, 99}}, {{"ex:Dup", "c1u1", std::nullopt}, {0, 99}}, {{"ex:Dup", "c1", "u1 "}, {0, 99}},
  };
  for (const auto& [key, expected] : keys) EXPECT_EQ(found(context().index, *key[0], *key[1], key[2]), expected) << *key[0];
  // Numbers only where a fact normalizes to one, as normalization holds them.
  std::vector<std::string> values;
  for (const auto& v : context().values) values.push_back(v ? v->render() : "-");
  EXPECT_EQ(values, (std::vector<std::string>{"1000", "5", "6", "7", "-", "12", "-", "-", "1.50", "-", "-", "-0.000"}));
}

TEST(FactIndex, LocateNarrowsByRangeAndFindsEveryFormOfConceptName) {
  // 0..5 under ex:A, 6 under ex:B; 1 and 4 share a range, 3 has none; then :A, {urn:x}A, p:A (urn:x, a unit), A.
  core::Facts facts(11);
  const std::optional<core::ByteRange> ranges[] = {core::ByteRange{50, 60}, core::ByteRange{10, 20},
                                                   core::ByteRange{30, 40}, std::nullopt,
                                                   core::ByteRange{10, 20}, core::ByteRange{5, 8},
                                                   core::ByteRange{10, 20}};
  for (std::size_t p = 0; p < facts.size(); ++p) {
    facts[p].concept_name.local_name = p == 6 ? "B" : "A";
    facts[p].context_ref = "c";
    if (p < 7) facts[p].concept_name.prefix = "ex", facts[p].byte_range = ranges[p];
  }
  facts[7].concept_name.prefix = "";
  facts[8].concept_name.namespace_uri = facts[9].concept_name.namespace_uri = core::SharedString("urn:x");
  facts[9].concept_name.prefix = "p";
  facts[9].unit_ref = "u";
  const ev::FactIndex index(facts);
  const auto at = [&](std::string_view concept_text, std::optional<core::ByteRange> range) {
    return found(index, concept_text, "c", std::nullopt, range);
  };
  // A range narrows a key's facts, to two where two share it (the VerifyIn table holds the rest).
  EXPECT_EQ(at("ex:A", core::ByteRange{10, 20}), (Found{2, 1}));
  // Each form of name is found by exactly its text, and by no other form of the same name.
  EXPECT_EQ(at(":A", std::nullopt), (Found{1, 7}));
  EXPECT_EQ(at("{urn:x}A", std::nullopt), (Found{1, 8}));
  EXPECT_EQ(found(index, "p:A", "c", "u"), (Found{1, 9}));
  EXPECT_EQ(at("A", std::nullopt), (Found{1, 10}));
  EXPECT_EQ(at("urn:xA", std::nullopt).first, 0U);
  EXPECT_EQ(found(index, "{urn:x}A", "c", "u").first, 0U);
  EXPECT_EQ(found(ev::FactIndex(), "ex:A", "c", std::nullopt).first, 0U);
  // Every search, with a hint or without, gives what the facts say: those
  // under the key, narrowed to those at the range when there are several and
  // any sits there, read at the lowest; a hint only moves the next search to
  // just past it. So too where no two facts share a range, and the range
  // settles a search without the sorted index.
  const auto expected = [&](std::string_view concept_text, const std::optional<core::ByteRange>& range) {
    std::vector<std::size_t> under, there;
    for (std::size_t p = 0; p < facts.size(); ++p) {
      if (facts[p].concept_name.to_string() != concept_text || facts[p].unit_ref) continue;
      under.push_back(p);
      if (range && facts[p].byte_range == range) there.push_back(p);
    }
    const std::vector<std::size_t>& chosen = under.size() >= 2 && !there.empty() ? there : under;
    return Found{chosen.size(), chosen.empty() ? 99 : chosen.front()};
  };
  std::string buffer;
  const auto searches_give_the_facts = [&](const ev::FactIndex& index, std::span<const std::optional<core::ByteRange>> tried) {
    for (const char* concept_text : {"ex:A", "ex:B", "ex:C"}) {
      for (const std::optional<core::ByteRange>& range : tried) {
        const Found want = expected(concept_text, range);
        EXPECT_EQ(found(index, concept_text, "c", std::nullopt, range), want) << concept_text;
        for (std::size_t hint = 0; hint <= facts.size() + 1; ++hint) {
          std::size_t next = hint;
          const ev::FactMatch hinted = index.locate({concept_text, "c", std::nullopt}, range, buffer, &next);
          EXPECT_EQ((Found{hinted.count, hinted.count == 0 ? 99 : hinted.first}), want) << concept_text << " " << hint;
          EXPECT_EQ(next, want.first == 0 ? hint : want.second + 1);
        }
      }
    }
  };
  searches_give_the_facts(index, ranges);
  std::vector<std::optional<core::ByteRange>> distinct;
  for (std::size_t p = 0; p < 7; ++p) {
    if (p != 3) facts[p].byte_range = core::ByteRange{10 * p, 10 * p + 5};
    distinct.push_back(facts[p].byte_range);
  }
  distinct.push_back(core::ByteRange{10, 20});
  distinct.push_back(core::ByteRange{0, 15});
  searches_give_the_facts(ev::FactIndex(facts), distinct);
}

TEST(VerifyIn, ManyFactsUnderOneKeyAreEachFoundByTheirRange) {
  // 100,000 facts share one key; each receipt must find its own fact through
  // the range index. A scan per receipt would make this quadratic.
  constexpr std::size_t kFacts = 100000;
  std::string doc(kDoc.substr(0, kDoc.find("<ex:Revenue")));
  for (std::size_t i = 0; i < kFacts; ++i) doc += "<ex:A contextRef=\"c1\" unitRef=\"u1\" decimals=\"0\">" + std::to_string(i) + "</ex:A>\n";
  doc += "</xbrl>";
  const auto loaded = ev::SourceContext::load(doc);
  ASSERT_TRUE(loaded.has_value());
  auto receipts = ev::build_receipts(loaded->document, "d", {"u", loaded->sha256, std::nullopt, std::nullopt});
  ASSERT_EQ(receipts.size(), kFacts);
  std::size_t verified = 0;
  for (const ev::Receipt& r : receipts) verified += ev::verify_in(*loaded, r).status == ev::ValidationStatus::Verified;
  EXPECT_EQ(verified, kFacts);
  // Claiming a neighbour's value fails on the value, so each receipt reached its own fact.
  ev::Receipt& shifted = receipts[kFacts / 2];
  shifted.claim.value = std::to_string(kFacts / 2 + 1);
  seal(shifted);
  EXPECT_EQ(line(ev::verify_in(*loaded, shifted)), differs(shifted.claim.value, std::to_string(kFacts / 2)));
}

TEST(VerifyIn, EachChangeToAReceiptGivesItsReport) {
  struct Row {
    std::size_t position;
    std::string claim;
    Change change;
    bool reseal;
    std::string expected;
  };
  const std::string sha = context().sha256;
  const Row rows[] = {
      {0, "1000", none, false, kPass},
      // The id covers the schema, the exact text of the id and every body member; a failing id stops no other check.
      {0, "1000", [](ev::Receipt& r) { r.schema = "er/0.2 "; }, false, kBadId + kPass.substr(10)},
      {0, "1000", [](ev::Receipt& r) { r.receipt_id = "er_" + upper(r.receipt_id.substr(3)); }, false,
       kBadId + kPass.substr(10)},
      {0, "1000", [](ev::Receipt& r) { r.claim.doc_id = "other"; }, false, kBadId + kPass.substr(10)},
      {0, "1000", [](ev::Receipt& r) { r.claim.value = "1001"; }, false,
       kBadId + differs("1001", "1000").substr(10)},
      {0, "1000", [](ev::Receipt& r) { r.attestation = ev::Attestation{"ed25519", "00", "00"}; }, false,
       kPass + " attestation=signature invalid over canonical body"},
      // Without evidence the checks stop after its shape; of several items the first is used.
      {0, "1000", [](ev::Receipt& r) { r.evidence.clear(); }, true,
       "receipt_id evidence_shape=0 evidence items, expected exactly 1"},
      {0, "1000", [](ev::Receipt& r) { r.evidence.push_back(r.evidence.front()), r.evidence.back().source_artifact.sha256 = "0"; },
       true, "receipt_id evidence_shape=2 evidence items, expected exactly 1 artifact_hash locate byte_range value_match"},
      {0, "1000", [](ev::Receipt& r) {
         r.evidence.insert(r.evidence.begin(), r.evidence.front()), loc(r).concept_name = "ex:Nothing";
         r.evidence.front().source_artifact.sha256 = "0"; },
       true, "receipt_id evidence_shape=2 evidence items, expected exactly 1 artifact_hash=expected 0, got " + sha +
                 " locate=matched 0 facts, expected exactly 1"},
      // The artifact hash compares byte for byte.
      {0, "1000", [](ev::Receipt& r) { r.evidence.front().source_artifact.sha256 = upper(context().sha256); },
       true, "receipt_id evidence_shape artifact_hash=expected " + upper(sha) + ", got " + sha + " locate byte_range value_match"},
      // Locating asks the fact index (whose keys its own tests pin) for the locator as written.
      {0, "1000", [](ev::Receipt& r) { loc(r).concept_name = "{http://example.com/ex}Revenue"; }, true, kNotFound},
      {0, "1000", [](ev::Receipt& r) { loc(r).unit_ref.reset(); }, true, kNotFound},
      {6, "13", none, false, kNoValue},  // an empty reference is a key of its own, naming no unit
      // Several facts under one key: the recorded range picks one, else every candidate counts and the first is read.
      {3, "7", none, false, kPass},
      {2, "5", none, false, differs("5", "6")},
      {3, "5", [](ev::Receipt& r) { loc(r).byte_range = core::ByteRange{1, 2}; }, true,
       several(3, "byte_range=recorded Some((1, 2)), re-parsed " + shown(1) + " value_match")},
      {3, "5", [](ev::Receipt& r) { loc(r).byte_range->second += 1; }, true,
       several(3, "byte_range=recorded " +
                      ev::render_byte_range(core::ByteRange{range_at(3).first, range_at(3).second + 1}) +
                      ", re-parsed " + shown(1) + " value_match")},
      {3, "7", [](ev::Receipt& r) { loc(r).byte_range.reset(); }, true,
       several(3, "byte_range=recorded None, re-parsed " + shown(1) + " value_match=claimed 7, source has 5")},
      // A single fact under its key is located whatever range is recorded.
      {0, "1000", [](ev::Receipt& r) { loc(r).byte_range.reset(); }, true,
       kUpToLocate + " byte_range=recorded None, re-parsed " + shown(0) + " value_match"},
      {0, "1000", [](ev::Receipt& r) { loc(r).byte_range = range_at(1); }, true,
       kUpToLocate + " byte_range=recorded " + shown(1) + ", re-parsed " + shown(0) + " value_match"},
      // Values compare as decimals where both sides are decimals, else as texts.
      {0, "1E+3", none, false, kPass}, {8, "1.5", none, false, kPass},
      {8, "1.500001", none, false, differs("1.500001", "1.5")},
      {0, "1,000", none, false, differs("1,000", "1000")},
      {4, "9", none, false, kNoValue}, {7, "9", none, false, kNoValue},  // text; missing context
  };
  const auto verify = [](const ev::Receipt& r) { return ev::verify_in(context(), r); };
  for (std::size_t i = 0; i < std::size(rows); ++i) {
    expect_report(receipt_for(rows[i].position, rows[i].claim), rows[i].change, rows[i].reseal, rows[i].expected,
                  verify, i);
  }
}

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
  // A derived parent whose own inputs are missing, and two naming each other under ids they do not hash to.
  const ev::Receipt orphan = derived("2", {K::Difference, {}}, {{"er_nowhere", "3", "a"}, {"er_nowhere2", "1", "b"}});
  ev::Receipt cycle_a = derived("1", {K::Difference, {}}, {{"er_b", "1", "x"}, {"er_a", "1", "y"}});
  ev::Receipt cycle_b = derived("1", {K::Difference, {}}, {{"er_a", "1", "x"}, {"er_b", "1", "y"}});
  cycle_a.receipt_id = "er_a";
  cycle_b.receipt_id = "er_b";
  const std::vector<ev::Receipt> batch{one, four, tampered, decimal_text, max, minus_one, a,
                                       b,   not_a_number, odd_schema, orphan, cycle_a, cycle_b};
  const ev::ReceiptIndex index(batch);
  const std::string unknown = "er_" + std::string(64, 'f');
  const auto verify = [&index](const ev::Receipt& r) { return ev::verify_derived(r, index); };
  const std::vector<ev::DerivationInput> quarter{input_of(one, "numerator"), input_of(four, "denominator")};

  struct Row {
    std::string claim;
    ev::Operation op;
    std::vector<ev::DerivationInput> inputs;
    Change change;
    bool reseal;
    std::string expected;
  };
  const Row rows[] = {
      // Claims equal in value pass whatever their scale; others fail with the recomputed text.
      {"0.25", {K::Ratio, {}}, quarter, none, false, kDerivedPass},
      {"2.5e-1", {K::Ratio, {}}, quarter, none, false, kDerivedPass},
      {"quarter", {K::Ratio, {}}, quarter, none, false, recompute("recomputed 0.25, claimed quarter")},
      {"0.25", {K::Ratio, {}}, {input_of(one, ""), input_of(four, "anything")}, none, false, kDerivedPass},  // roles are free
      // The id and the shape; without a derivation only these two run.
      {"0.25", {K::Ratio, {}}, quarter, [](ev::Receipt& r) { r.schema = "er/0.1"; }, false,
       "receipt_id=receipt body does not hash to receipt_id evidence_shape input_resolution recompute"},
      {"0.25", {K::Ratio, {}}, quarter, [](ev::Receipt& r) { r.claim.kind = ev::ClaimKind::Stated; }, true,
       "receipt_id " + kShape + " input_resolution recompute"},
      {"0.25", {K::Ratio, {}}, quarter, [](ev::Receipt& r) { r.evidence = stated("1", "ex:A").evidence; }, true,
       "receipt_id " + kShape + " input_resolution recompute"},
      {"0", {K::Difference, {}}, {}, none, false, "receipt_id " + kShape + " input_resolution " + kTooFew + "0"},
      {"0.25", {K::Ratio, {}}, quarter, [](ev::Receipt& r) { r.derivation.reset(); }, true, "receipt_id " + kShape},
      {"0.25", {K::Ratio, {}}, quarter, [](ev::Receipt& r) { r.derivation.reset(), r.attestation = ev::Attestation{"ed25519", "00", "00"}; },
       true, "receipt_id " + kShape + " attestation=signature invalid over canonical body"},
      // Every input problem, in input order; the operands are the consumed values that parse, whatever the parent says.
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
      {"0.75", {K::Ratio, {}}, {input_of(odd_schema), input_of(four)}, none, false, kDerivedPass},
      {"0.5", {K::Ratio, {}}, {input_of(one), input_of(orphan)}, none, false, kDerivedPass},
      {"1", {K::Difference, {}}, {{"er_b", "1", "x"}, {"er_a", "1", "y"}}, none, false,
       resolution("er_b: parent fails integrity; er_a: parent fails integrity", "recompute=recomputed 0, claimed 1")},
      // Failures of the operation are checks, never crashes; the result is shown normalized, with no tolerance.
      {"0", {K::Difference, {}}, {input_of(max), input_of(minus_one)}, none, false,
       recompute("recompute failed: derivation failed: decimal overflow")},
      {"2.2", {K::Ratio, 0}, {input_of(a), input_of(b)}, none, false, recompute("recomputed 2, claimed 2.2")},
  };
  for (std::size_t i = 0; i < std::size(rows); ++i) {
    const Row& row = rows[i];
    expect_report(derived(row.claim, row.op, row.inputs), row.change, row.reseal, row.expected, verify, i);
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

// Derived receipts are checked once the whole batch is read: a parent may come later, the last receipt
// stating an id is the one found, a parent's id, integrity and value are what its own line said
// (escapes included), and failures of both kinds are listed in batch order.
TEST(VerifyJsonl, DerivedReceiptsSeeTheWholeBatchAndFailuresKeepItsOrder) {
  const ev::Receipt revenue = receipt_for(0, "1000"), share = receipt_for(8, "1.5");
  ev::Receipt tampered = share;  // states the id of `share` and no longer hashes to it
  tampered.claim.doc_id = "other";
  ev::Receipt escaped = receipt_for(5, "12");
  escaped.claim.doc_id = "tab\there \"quoted\" \\ \xC3\xA9";
  seal(escaped);
  const ev::Receipt early = derived("998.5", {K::Difference, {}}, {input_of(revenue, "a"), input_of(tampered, "b")});
  const ev::Receipt ratio =
      derived("666.66666666666666666666666667", {K::Ratio, {}}, {input_of(revenue, "a"), input_of(share, "b")});
  std::vector<ev::Receipt> batch{early, revenue, share, tampered, ratio, escaped,
                                 derived("0", {K::Difference, {}}, {input_of(escaped, "a"), input_of(escaped, "b")}),
                                 derived("1", {K::Ratio, {}}, {input_of(ratio, "a"), input_of(ratio, "b")})};
  // An id read through an escape lives in its line's buffer; enough escaped lines after it reuse that buffer.
  batch.insert(batch.end(), 16, revenue);
  std::string jsonl;
  for (std::size_t i = 0; i < batch.size(); ++i) {
    const std::size_t line = jsonl.size();
    ev::write_receipt(batch[i], jsonl);
    if (i == 5 || i >= 8) jsonl.replace(jsonl.find("er_", line), 1, "\\u0065");
    jsonl.push_back('\n');
  }
  const std::string summary = ev::verify_jsonl(jsonl, kDoc).value();
  EXPECT_TRUE(summary.starts_with(R"({"fail":3,)") && summary.ends_with(R"("pass":21})")) << summary;
  std::size_t at = 0;
  for (const std::string& part : {share.receipt_id + ": parent fails integrity", "\"receipt_id\":\"" + early.receipt_id,
                                  std::string("receipt body does not hash to receipt_id"),
                                  "\"receipt_id\":\"" + share.receipt_id, share.receipt_id + ": parent fails integrity",
                                  "\"receipt_id\":\"" + ratio.receipt_id}) {
    at = summary.find(part, at);
    ASSERT_NE(at, std::string::npos) << part << "\n" << summary;
  }
}
