#include "quorrel/evidence/verify.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "quorrel/evidence/canonical.hpp"
#include "quorrel/evidence/crypto.hpp"
#include "quorrel/evidence/derived.hpp"
#include "quorrel/evidence/json_writer.hpp"
#include "quorrel/evidence/source_context.hpp"

namespace ev = quorrel::evidence;
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

using Names = std::vector<std::string>;

const ev::SourceContext& context() {
  static const ev::SourceContext loaded = [] {
    auto c = ev::SourceContext::load(kDoc);
    if (!c) throw std::runtime_error(c.error().render());
    return std::move(*c);
  }();
  return loaded;
}

core::ByteRange range_at(std::size_t position) { return *context().document.facts.at(position).byte_range; }

void seal(ev::Receipt& r) {
  auto id = ev::receipt_id_for(r.claim, r.evidence, r.derivation);
  ASSERT_TRUE(id.has_value());
  r.receipt_id = *id;
}

// A sealed stated receipt for the fact at `position`, claiming `value`.
ev::Receipt receipt_for(std::size_t position, std::string value) {
  const core::RawFact& fact = context().document.facts.at(position);
  ev::Receipt r;
  r.schema = "er/0.2";
  r.claim = {std::move(value), fact.unit_ref, ev::ClaimKind::Stated, "doc"};
  ev::Evidence e;
  e.source_artifact = {"urn:test", context().sha256, std::nullopt, std::nullopt};
  e.locator = {fact.concept_name.to_string(), fact.context_ref, fact.unit_ref, fact.byte_range};
  e.extraction.engine = std::string(ev::kEngine);
  r.evidence.push_back(std::move(e));
  seal(r);
  return r;
}

Names names(const ev::VerificationReport& report) {
  Names out;
  for (const ev::Check& c : report.checks) out.emplace_back(ev::check_name_text(c.name));
  return out;
}

// The detail of the named check; "pass" when it passed, "absent" when it did not run.
std::string detail(const ev::VerificationReport& report, ev::CheckName name) {
  for (const ev::Check& c : report.checks) {
    if (c.name == name) return c.pass ? "pass" : c.detail.value_or("<failed without detail>");
  }
  return "absent";
}

const Names kSourceChecks{"receipt_id", "evidence_shape", "artifact_hash", "locate", "byte_range", "value_match"};

}  // namespace

TEST(VerifyIn, ReceiptIdFailsOnSchemaIdOrBodyChangeWhileTheOtherChecksRun) {
  constexpr std::string_view kBad = "receipt body does not hash to receipt_id";
  ev::Receipt r = receipt_for(0, "1000");
  for (std::string schema : {"er/0.3", "er/0.2 ", "ER/0.2", ""}) {
    ev::Receipt s = r;
    s.schema = schema;
    const auto report = ev::verify_in(context(), s);
    EXPECT_EQ(names(report), kSourceChecks);
    EXPECT_EQ(detail(report, ev::CheckName::ReceiptId), kBad) << schema;
    EXPECT_EQ(detail(report, ev::CheckName::ValueMatch), "pass");
    EXPECT_EQ(report.status, ev::ValidationStatus::Failed);
  }
  ev::Receipt upper = r;
  for (char& ch : upper.receipt_id) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
  upper.receipt_id.replace(0, 3, "er_");
  EXPECT_EQ(detail(ev::verify_in(context(), upper), ev::CheckName::ReceiptId), kBad);

  // A body change without a new id: the id check and the value check both catch it.
  ev::Receipt changed = r;
  changed.claim.value = "1001";
  auto report = ev::verify_in(context(), changed);
  EXPECT_EQ(detail(report, ev::CheckName::ReceiptId), kBad);
  EXPECT_EQ(detail(report, ev::CheckName::ValueMatch), "claimed 1001, source has 1000");
  // The report carries the stated id, not the recomputed one.
  EXPECT_EQ(report.receipt_id, r.receipt_id);

  // Members that only count through the id: doc_id, unit, uri, engine.
  ev::Receipt doc = r;
  doc.claim.doc_id = "other";
  report = ev::verify_in(context(), doc);
  EXPECT_EQ(detail(report, ev::CheckName::ReceiptId), kBad);
  EXPECT_EQ(std::count_if(report.checks.begin(), report.checks.end(), [](const ev::Check& c) { return !c.pass; }), 1);
}

TEST(VerifyIn, EvidenceShape) {
  ev::Receipt none = receipt_for(0, "1000");
  none.evidence.clear();
  seal(none);
  auto report = ev::verify_in(context(), none);
  EXPECT_EQ(names(report), (Names{"receipt_id", "evidence_shape"}));
  EXPECT_EQ(detail(report, ev::CheckName::ReceiptId), "pass");
  EXPECT_EQ(detail(report, ev::CheckName::EvidenceShape), "0 evidence items, expected exactly 1");

  // With two items the first one is used for every later check.
  ev::Receipt two = receipt_for(0, "1000");
  ev::Evidence second = two.evidence.front();
  second.source_artifact.sha256 = "0";
  second.locator.concept_name = "ex:Nothing";
  two.evidence.push_back(second);
  seal(two);
  report = ev::verify_in(context(), two);
  EXPECT_EQ(names(report), kSourceChecks);
  EXPECT_EQ(detail(report, ev::CheckName::EvidenceShape), "2 evidence items, expected exactly 1");
  for (auto name : {ev::CheckName::ReceiptId, ev::CheckName::ArtifactHash, ev::CheckName::Locate,
                    ev::CheckName::ByteRange, ev::CheckName::ValueMatch}) {
    EXPECT_EQ(detail(report, name), "pass");
  }
  two.evidence.front() = second;
  two.evidence.push_back(second);
  seal(two);
  report = ev::verify_in(context(), two);
  EXPECT_EQ(names(report), (Names{"receipt_id", "evidence_shape", "artifact_hash", "locate"}));
  EXPECT_EQ(detail(report, ev::CheckName::EvidenceShape), "3 evidence items, expected exactly 1");
}

TEST(VerifyIn, ArtifactHashIsByteExact) {
  ev::Receipt r = receipt_for(0, "1000");
  std::string upper = context().sha256;
  for (char& ch : upper) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
  r.evidence.front().source_artifact.sha256 = upper;
  seal(r);
  const auto report = ev::verify_in(context(), r);
  EXPECT_EQ(detail(report, ev::CheckName::ArtifactHash), "expected " + upper + ", got " + context().sha256);
  EXPECT_EQ(detail(report, ev::CheckName::ReceiptId), "pass");
  EXPECT_EQ(names(report), kSourceChecks);
}

TEST(VerifyIn, LocateNeedsAllThreeKeyPartsAndStopsWhenNothingMatches) {
  const auto located = [](ev::Receipt r) {
    seal(r);
    return ev::verify_in(context(), r);
  };
  ev::Receipt base = receipt_for(0, "1000");
  for (auto mutate : std::vector<void (*)(ev::XbrlLocator&)>{
           [](ev::XbrlLocator& l) { l.concept_name = "ex:revenue"; },
           [](ev::XbrlLocator& l) { l.concept_name = "{http://example.com/ex}Revenue"; },
           [](ev::XbrlLocator& l) { l.context_ref = "c2"; },
           [](ev::XbrlLocator& l) { l.unit_ref.reset(); },
           [](ev::XbrlLocator& l) { l.unit_ref = ""; },
       }) {
    ev::Receipt r = base;
    mutate(r.evidence.front().locator);
    const auto report = located(r);
    EXPECT_EQ(names(report), (Names{"receipt_id", "evidence_shape", "artifact_hash", "locate"}));
    EXPECT_EQ(detail(report, ev::CheckName::Locate), "matched 0 facts, expected exactly 1");
  }

  // Without a unit reference only the fact without one matches; an empty
  // reference is a key of its own.
  ev::Receipt no_unit = receipt_for(5, "12");
  EXPECT_FALSE(no_unit.evidence.front().locator.unit_ref.has_value());
  EXPECT_EQ(ev::verify_in(context(), no_unit).status, ev::ValidationStatus::Verified);
  no_unit.evidence.front().locator.unit_ref = "u1";
  EXPECT_EQ(detail(located(no_unit), ev::CheckName::Locate), "matched 0 facts, expected exactly 1");

  const ev::Receipt empty_unit = receipt_for(6, "13");
  ASSERT_EQ(empty_unit.evidence.front().locator.unit_ref, std::optional<std::string>(""));
  const auto report = ev::verify_in(context(), empty_unit);
  EXPECT_EQ(detail(report, ev::CheckName::Locate), "pass");
  EXPECT_EQ(detail(report, ev::CheckName::ByteRange), "pass");
  EXPECT_EQ(detail(report, ev::CheckName::ValueMatch), "located fact has no re-derivable numeric value");
}

TEST(VerifyIn, ByteRangeNarrowsSeveralCandidatesToTheRecordedOne) {
  // Each of the three facts under one key is found by its own range.
  for (std::size_t position = 1; position <= 3; ++position) {
    const std::string value = std::to_string(4 + position);
    const auto report = ev::verify_in(context(), receipt_for(position, value));
    EXPECT_EQ(report.status, ev::ValidationStatus::Verified) << position;
    // The located fact is the one at the range, so another fact's value fails.
    const std::string other = position == 1 ? "6" : "5";
    EXPECT_EQ(detail(ev::verify_in(context(), receipt_for(position, other)), ev::CheckName::ValueMatch),
              "claimed " + other + ", source has " + value);
  }
}

TEST(VerifyIn, SeveralCandidatesWithoutAMatchingRangeUseTheFirst) {
  ev::Receipt r = receipt_for(3, "5");
  r.evidence.front().locator.byte_range = core::ByteRange{1, 2};
  seal(r);
  auto report = ev::verify_in(context(), r);
  EXPECT_EQ(names(report), kSourceChecks);
  EXPECT_EQ(detail(report, ev::CheckName::Locate), "matched 3 facts, expected exactly 1");
  EXPECT_EQ(detail(report, ev::CheckName::ByteRange),
            "recorded Some((1, 2)), re-parsed " + ev::render_byte_range(range_at(1)));
  // value_match still runs, on the first candidate (value 5).
  EXPECT_EQ(detail(report, ev::CheckName::ValueMatch), "pass");

  // A range that matches only in its start is no match.
  r.evidence.front().locator.byte_range = core::ByteRange{range_at(2).first, range_at(2).second + 1};
  seal(r);
  EXPECT_EQ(detail(ev::verify_in(context(), r), ev::CheckName::Locate), "matched 3 facts, expected exactly 1");

  // Without a range there is nothing to narrow by.
  r.evidence.front().locator.byte_range.reset();
  r.claim.value = "7";
  seal(r);
  report = ev::verify_in(context(), r);
  EXPECT_EQ(detail(report, ev::CheckName::Locate), "matched 3 facts, expected exactly 1");
  EXPECT_EQ(detail(report, ev::CheckName::ByteRange), "recorded None, re-parsed " + ev::render_byte_range(range_at(1)));
  EXPECT_EQ(detail(report, ev::CheckName::ValueMatch), "claimed 7, source has 5");
}

TEST(VerifyIn, ASingleCandidateIsLocatedWhateverItsRange) {
  ev::Receipt r = receipt_for(0, "1000");
  r.evidence.front().locator.byte_range.reset();
  seal(r);
  auto report = ev::verify_in(context(), r);
  EXPECT_EQ(detail(report, ev::CheckName::Locate), "pass");
  EXPECT_EQ(detail(report, ev::CheckName::ByteRange), "recorded None, re-parsed " + ev::render_byte_range(range_at(0)));
  EXPECT_EQ(detail(report, ev::CheckName::ValueMatch), "pass");

  r.evidence.front().locator.byte_range = core::ByteRange{range_at(1)};
  seal(r);
  report = ev::verify_in(context(), r);
  EXPECT_EQ(detail(report, ev::CheckName::Locate), "pass");
  EXPECT_EQ(detail(report, ev::CheckName::ByteRange), "recorded " + ev::render_byte_range(range_at(1)) +
                                                          ", re-parsed " + ev::render_byte_range(range_at(0)));
}

TEST(VerifyIn, ValueMatchIsByDecimalValue) {
  for (std::string claimed : {"1000", "1000.00", "1e3", "1E+3", "10000e-1", "+1000", "1_000"}) {
    EXPECT_EQ(detail(ev::verify_in(context(), receipt_for(0, claimed)), ev::CheckName::ValueMatch), "pass")
        << claimed;
  }
  // The fact's decimal is 1.50 and its text 1.5; both spellings match.
  EXPECT_EQ(detail(ev::verify_in(context(), receipt_for(8, "1.50")), ev::CheckName::ValueMatch), "pass");
  EXPECT_EQ(detail(ev::verify_in(context(), receipt_for(8, "1.5")), ev::CheckName::ValueMatch), "pass");
  // A failure shows the claim as written and the canonical text of the source.
  EXPECT_EQ(detail(ev::verify_in(context(), receipt_for(8, "1.500001")), ev::CheckName::ValueMatch),
            "claimed 1.500001, source has 1.5");
  EXPECT_EQ(detail(ev::verify_in(context(), receipt_for(0, "-1000")), ev::CheckName::ValueMatch),
            "claimed -1000, source has 1000");
  // A claim that is no decimal falls back to the text, which differs here.
  for (std::string claimed : {"", "one thousand", "1000 ", " 1000", "-", "1,000"}) {
    EXPECT_EQ(detail(ev::verify_in(context(), receipt_for(0, claimed)), ev::CheckName::ValueMatch),
              "claimed " + claimed + ", source has 1000")
        << claimed;
  }
  // Facts without a numeric entry: text, an unresolved unit, a missing context.
  for (std::size_t position : {4u, 6u, 7u}) {
    const auto report = ev::verify_in(context(), receipt_for(position, "9"));
    EXPECT_EQ(detail(report, ev::CheckName::Locate), "pass") << position;
    EXPECT_EQ(detail(report, ev::CheckName::ValueMatch), "located fact has no re-derivable numeric value");
  }
}

// A context built by hand: entries that the loader never produces (a text
// without a decimal, a text that disagrees with its decimal, two facts at one
// range, a fact without a range) reach the rules that only such input shows.
TEST(VerifyIn, HandBuiltContextFallbacksAndFirstCandidateRule) {
  ev::SourceContext c;
  c.sha256 = std::string(64, 'a');
  const auto add_fact = [&c](std::optional<core::ByteRange> range, std::optional<ev::CanonicalValue> value) {
    core::RawFact fact;
    fact.concept_name.local_name = "F";
    fact.concept_name.prefix = "ex";
    fact.context_ref = "c";
    fact.byte_range = range;
    c.document.facts.push_back(fact);
    c.values.push_back(std::move(value));
    c.index = ev::FactIndex(c.document.facts);
  };
  add_fact(core::ByteRange{10, 20}, ev::CanonicalValue{"n/a", std::nullopt});                 // 0
  add_fact(core::ByteRange{30, 40}, ev::CanonicalValue{"7", core::Decimal::parse("8")});      // 1
  add_fact(core::ByteRange{30, 40}, ev::CanonicalValue{"x", core::Decimal::parse("1")});      // 2
  add_fact(std::nullopt, ev::CanonicalValue{"5", core::Decimal::parse("5")});                 // 3

  ev::Receipt r;
  r.schema = "er/0.2";
  r.claim = {"n/a", std::nullopt, ev::ClaimKind::Stated, "d"};
  r.evidence.push_back({{"u", c.sha256, std::nullopt, std::nullopt},
                        {"ex:F", "c", std::nullopt, core::ByteRange{10, 20}},
                        {std::string(ev::kEngine)}});
  seal(r);
  auto report = ev::verify_in(c, r);
  EXPECT_EQ(report.status, ev::ValidationStatus::Verified);
  EXPECT_EQ(names(report), kSourceChecks);

  // An entry without a decimal compares texts byte for byte.
  r.claim.value = "N/A";
  seal(r);
  EXPECT_EQ(detail(ev::verify_in(c, r), ev::CheckName::ValueMatch), "claimed N/A, source has n/a");
  r.claim.value = "0";
  seal(r);
  EXPECT_EQ(detail(ev::verify_in(c, r), ev::CheckName::ValueMatch), "claimed 0, source has n/a");

  // Two facts at the recorded range: narrowing keeps both, the count is
  // theirs, and the lower position is used. Its decimal (8) decides, not its
  // text (7).
  r.evidence.front().locator.byte_range = core::ByteRange{30, 40};
  r.claim.value = "7";
  seal(r);
  report = ev::verify_in(c, r);
  EXPECT_EQ(detail(report, ev::CheckName::Locate), "matched 2 facts, expected exactly 1");
  EXPECT_EQ(detail(report, ev::CheckName::ByteRange), "pass");
  EXPECT_EQ(detail(report, ev::CheckName::ValueMatch), "claimed 7, source has 7");
  r.claim.value = "8.0";
  seal(r);
  EXPECT_EQ(detail(ev::verify_in(c, r), ev::CheckName::ValueMatch), "pass");
  // A claim that is no decimal compares with the text even when the entry has a decimal.
  r.claim.value = "7x";
  seal(r);
  EXPECT_EQ(detail(ev::verify_in(c, r), ev::CheckName::ValueMatch), "claimed 7x, source has 7");

  // Nothing at the range: all four candidates stay, the first is used.
  r.evidence.front().locator.byte_range = core::ByteRange{0, 1};
  r.claim.value = "n/a";
  seal(r);
  report = ev::verify_in(c, r);
  EXPECT_EQ(detail(report, ev::CheckName::Locate), "matched 4 facts, expected exactly 1");
  EXPECT_EQ(detail(report, ev::CheckName::ByteRange), "recorded Some((0, 1)), re-parsed Some((10, 20))");
  EXPECT_EQ(detail(report, ev::CheckName::ValueMatch), "pass");
}

TEST(VerifyIn, ManyFactsUnderOneKeyAreEachFoundByTheirRange) {
  // 100,000 facts share one key; each receipt must find its own fact through
  // the range index. A scan per receipt would make this quadratic.
  constexpr std::size_t kFacts = 100000;
  std::string doc =
      "<xbrl xmlns=\"http://www.xbrl.org/2003/instance\" xmlns:ex=\"http://example.com/ex\">"
      "<context id=\"c\"><entity><identifier scheme=\"s\">X</identifier></entity>"
      "<period><instant>2024-12-31</instant></period></context>"
      "<unit id=\"u\"><measure>iso4217:EUR</measure></unit>\n";
  doc.reserve(doc.size() + kFacts * 64);
  for (std::size_t i = 0; i < kFacts; ++i) {
    doc += "<ex:A contextRef=\"c\" unitRef=\"u\" decimals=\"0\">";
    doc += std::to_string(i);
    doc += "</ex:A>\n";
  }
  doc += "</xbrl>";
  auto loaded = ev::SourceContext::load(doc);
  ASSERT_TRUE(loaded.has_value());
  ASSERT_EQ(loaded->index.key_count(), 1u);
  auto receipts = ev::build_receipts(loaded->document, "d", {"u", loaded->sha256, std::nullopt, std::nullopt});
  ASSERT_TRUE(receipts.has_value());
  ASSERT_EQ(receipts->size(), kFacts);

  std::size_t verified = 0;
  for (const ev::Receipt& r : *receipts) {
    verified += ev::verify_in(*loaded, r).status == ev::ValidationStatus::Verified ? 1 : 0;
  }
  EXPECT_EQ(verified, kFacts);

  // Claiming a neighbour's value fails on the value, so each receipt really
  // reached its own fact.
  ev::Receipt shifted = (*receipts)[kFacts / 2];
  shifted.claim.value = std::to_string(kFacts / 2 + 1);
  seal(shifted);
  EXPECT_EQ(detail(ev::verify_in(*loaded, shifted), ev::CheckName::ValueMatch),
            "claimed " + std::to_string(kFacts / 2 + 1) + ", source has " + std::to_string(kFacts / 2));
  shifted.evidence.front().locator.byte_range.reset();
  seal(shifted);
  EXPECT_EQ(detail(ev::verify_in(*loaded, shifted), ev::CheckName::Locate),
            "matched 100000 facts, expected exactly 1");
}

TEST(VerifyJsonl, SourceFirstThenReceiptsThenSummary) {
  EXPECT_EQ(ev::verify_jsonl("not json", "</xbrl>").error().substr(0, 21), "source parse failed: ");
  EXPECT_EQ(ev::verify_jsonl("", kDoc).value(), R"({"fail":0,"failures":[],"pass":0})");
  EXPECT_EQ(ev::verify_jsonl("{}", kDoc).error(), "missing field `schema` at line 1 column 2");

  auto jsonl = ev::receipts_jsonl(kDoc, "doc", "urn:x", std::nullopt);
  ASSERT_TRUE(jsonl.has_value());
  EXPECT_EQ(ev::verify_jsonl(*jsonl, kDoc).value(), R"({"fail":0,"failures":[],"pass":6})");
}

// The batch checks receipts without a derivation as it reads them and keeps
// only what derived receipts need of them. Its summary must be the one that
// reading every receipt first and reporting on each would give: same counts,
// same reports, failures in batch order whichever road they took.
TEST(VerifyJsonl, BatchSummaryIsWhatReportingOnEveryReceiptGives) {
  const ev::Receipt revenue = receipt_for(0, "1000");
  const ev::Receipt share = receipt_for(8, "1.5");
  ev::Receipt wrong_value = receipt_for(0, "999");  // value_match fails
  ev::Receipt dup = receipt_for(1, "5");             // locate finds 3 facts under its key
  dup.evidence.front().locator.byte_range.reset();
  seal(dup);
  ev::Receipt tampered = receipt_for(8, "1.5");  // no longer hashes to its id
  tampered.claim.doc_id = "other";
  ev::Receipt no_value = receipt_for(4, "1");  // a text fact
  ev::Receipt escaped = receipt_for(5, "12");  // a doc id that needs escapes in JSON
  escaped.claim.doc_id = "tab\there \"quoted\" \\ \xC3\xA9";
  seal(escaped);

  const auto derived = [](std::string value, ev::OperationKind kind, std::vector<ev::DerivationInput> inputs) {
    ev::Receipt r;
    r.schema = "er/0.2";
    r.claim = {std::move(value), std::nullopt, ev::ClaimKind::Derived, "doc"};
    r.derivation = ev::Derivation{{kind, std::nullopt}, std::move(inputs)};
    seal(r);
    return r;
  };
  const auto input = [](const ev::Receipt& parent, std::string role) {
    return ev::DerivationInput{parent.receipt_id, parent.claim.value, std::move(role)};
  };
  const ev::Receipt ratio = derived("666.66666666666666666666666667", ev::OperationKind::Ratio,
                                    {input(revenue, "n"), input(share, "d")});
  // Names a parent that comes later in the batch, and one that fails integrity.
  const ev::Receipt early = derived("998.5", ev::OperationKind::Difference,
                                    {input(revenue, "a"), input(tampered, "b")});
  const ev::Receipt wrong_sum = derived("1", ev::OperationKind::Difference, {input(revenue, "a"), input(share, "b")});
  const ev::Receipt of_derived = derived("1", ev::OperationKind::Ratio, {input(ratio, "n"), input(ratio, "d")});
  const ev::Receipt unknown = derived("1", ev::OperationKind::Ratio, {{"er_nowhere", "1", "n"}, input(revenue, "d")});

  // `tampered` states the id of `share` and comes later, so it is the parent
  // that `ratio` finds; the second `revenue` passes again.
  const std::vector<ev::Receipt> batch = {early, revenue, wrong_value, of_derived, dup,         share,  tampered,
                                          ratio, no_value, wrong_sum,  escaped,    unknown,     revenue};
  const auto jsonl_of = [](const std::vector<ev::Receipt>& receipts) {
    std::string out;
    for (const ev::Receipt& r : receipts) {
      ev::write_receipt(r, out);
      out.push_back('\n');
    }
    return out;
  };
  const auto reported = [](const std::vector<ev::Receipt>& receipts, std::vector<std::string>* failed_ids) {
    const ev::ReceiptIndex index(receipts);
    std::size_t pass = 0;
    std::vector<ev::VerificationReport> failures;
    for (const ev::Receipt& r : receipts) {
      ev::VerificationReport report = r.derivation ? ev::verify_derived(r, index) : ev::verify_in(context(), r);
      if (report.status == ev::ValidationStatus::Verified) {
        ++pass;
      } else {
        if (failed_ids != nullptr) failed_ids->push_back(report.receipt_id);
        failures.push_back(std::move(report));
      }
    }
    std::string out;
    ev::write_summary_json(pass, failures, out);
    return out;
  };
  std::vector<std::string> failed_ids;
  const std::string expected = reported(batch, &failed_ids);
  EXPECT_EQ(failed_ids, (std::vector<std::string>{early.receipt_id, wrong_value.receipt_id, dup.receipt_id,
                                                  tampered.receipt_id, ratio.receipt_id, no_value.receipt_id,
                                                  wrong_sum.receipt_id, unknown.receipt_id}));
  EXPECT_EQ(ev::verify_jsonl(jsonl_of(batch), kDoc).value(), expected);

  // Only stated receipts, and only derived ones.
  std::vector<ev::Receipt> stated_only;
  std::vector<ev::Receipt> derived_only;
  for (const ev::Receipt& r : batch) (r.derivation ? derived_only : stated_only).push_back(r);
  EXPECT_EQ(ev::verify_jsonl(jsonl_of(stated_only), kDoc).value(), reported(stated_only, nullptr));
  EXPECT_EQ(ev::verify_jsonl(jsonl_of(derived_only), kDoc).value(), reported(derived_only, nullptr));
}

TEST(VerifyJsonl, AReadErrorAfterCheckedReceiptsStillStopsTheBatch) {
  std::string jsonl;
  ev::write_receipt(receipt_for(0, "999"), jsonl);
  jsonl += "\n{\"schema\":1}\n";
  EXPECT_EQ(ev::verify_jsonl(jsonl, kDoc).error(), "invalid type: integer `1`, expected a string at line 1 column 11");
}
