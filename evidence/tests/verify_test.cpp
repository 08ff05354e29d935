// Verification of stated receipts against their source: one table of changes
// to a receipt and the report each must give, then the batch over JSONL (whose
// order of source, lines and summary the module's tests hold).

#include "quorrel/evidence/verify.hpp"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "quorrel/evidence/receipts.hpp"
#include "quorrel/evidence/source_context.hpp"
#include "support.hpp"

namespace ev = quorrel::evidence;
using namespace quorrel::evidence::test;
namespace core = quorrel::core;

namespace {

// Positions (in closing order): 0 Revenue 1000; 1-3 Dup 5, 6, 7 under one key;
// 4 a text fact; 5 Count 12 without unit; 6 Count with an empty unit
// reference naming no unit; 7 a fact whose context is missing; 8 Share 1.50.
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
    "</xbrl>\n";

const ev::SourceContext& context() {
  static const ev::SourceContext loaded = [] {
    auto c = ev::SourceContext::load(kDoc);
    if (!c) throw std::runtime_error(c.error().render());
    return std::move(*c);
  }();
  return loaded;
}

core::ByteRange range_at(std::size_t position) { return *context().document.facts.at(position).byte_range; }
std::string shown(std::size_t position) { return ev::render_byte_range(range_at(position)); }
ev::XbrlLocator& loc(ev::Receipt& r) { return r.evidence.front().locator; }

// A sealed stated receipt for the fact at `position` of the document, claiming `value`.
ev::Receipt receipt_for(std::size_t position, std::string value) {
  const core::RawFact& fact = context().document.facts.at(position);
  ev::Receipt r;
  r.schema = "er/0.2";
  std::optional<std::string> unit_ref;
  if (fact.unit_ref) unit_ref.emplace(*fact.unit_ref);
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

}  // namespace

TEST(VerifyIn, EachChangeToAReceiptGivesItsReport) {
  struct Row {
    std::size_t position;
    std::string claim;
    void (*change)(ev::Receipt&);  // applied after sealing
    bool reseal;
    std::string expected;
  };
  const std::string sha = context().sha256;
  const auto none = static_cast<void (*)(ev::Receipt&)>(nullptr);
  const Row rows[] = {
      {0, "1000", none, false, kPass},
      // The id covers the schema, the exact text of the id and every body member;
      // a failing id stops no other check.
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
      // Several facts under one key: the recorded range picks one; without a
      // fact at that exact range every candidate counts and the first is read.
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
  for (std::size_t i = 0; i < std::size(rows); ++i) {
    const Row& row = rows[i];
    ev::Receipt r = receipt_for(row.position, row.claim);
    if (row.change) row.change(r);
    if (row.reseal) seal(r);
    const ev::VerificationReport report = ev::verify_in(context(), r);
    EXPECT_EQ(line(report), row.expected) << "row " << i;
    EXPECT_EQ(report.receipt_id, r.receipt_id) << "row " << i;  // as stated, not as recomputed
    EXPECT_EQ(report.status == ev::ValidationStatus::Verified, row.expected.find('=') == std::string::npos) << i;
  }
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

// Derived receipts are checked once the whole batch is read: a parent may
// come later, the last receipt stating an id is the one found, a stated
// parent's id, integrity and claimed value are what its own line said (escapes
// included), and the failures of both kinds are listed in batch order.
TEST(VerifyJsonl, DerivedReceiptsSeeTheWholeBatchAndFailuresKeepItsOrder) {
  const ev::Receipt revenue = receipt_for(0, "1000"), share = receipt_for(8, "1.5");
  ev::Receipt tampered = share;  // states the id of `share` and no longer hashes to it
  tampered.claim.doc_id = "other";
  ev::Receipt escaped = receipt_for(5, "12");
  escaped.claim.doc_id = "tab\there \"quoted\" \\ \xC3\xA9";
  seal(escaped);
  const auto derived = [](std::string value, ev::OperationKind kind, const ev::Receipt& a, const ev::Receipt& b) {
    ev::Receipt r;
    r.schema = "er/0.2";
    r.claim = {std::move(value), std::nullopt, ev::ClaimKind::Derived, "doc"};
    r.derivation = ev::Derivation{{kind, std::nullopt}, {{a.receipt_id, a.claim.value, "a"}, {b.receipt_id, b.claim.value, "b"}}};
    seal(r);
    return r;
  };
  const ev::Receipt early = derived("998.5", ev::OperationKind::Difference, revenue, tampered);
  const ev::Receipt ratio = derived("666.66666666666666666666666667", ev::OperationKind::Ratio, revenue, share);
  std::string jsonl;
  for (const ev::Receipt& r : {early, revenue, share, tampered, ratio, escaped,
                               derived("0", ev::OperationKind::Difference, escaped, escaped),
                               derived("1", ev::OperationKind::Ratio, ratio, ratio)}) {
    const std::size_t line = jsonl.size();
    ev::write_receipt(r, jsonl);
    // Its id read through an escape lives in the line's own buffer until the next line.
    if (r.receipt_id == escaped.receipt_id) jsonl.replace(jsonl.find("er_", line), 1, "\\u0065");
    jsonl.push_back('\n');
  }
  // Enough lines after it, their ids read through an escape too, that its
  // line's buffer is used again.
  for (int i = 0; i < 16; ++i) {
    const std::size_t line = jsonl.size();
    ev::write_receipt(revenue, jsonl);
    jsonl.replace(jsonl.find("er_", line), 1, "\\u0065");
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
