// The source context that verification reads, and the building of stated
// receipts: both checked against the step-by-step algorithm over full fact
// normalization, on a small document and on every filing of the shared corpus.

#include "quorrel/evidence/source_context.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "quorrel/core/normalize.hpp"
#include "quorrel/core/parser.hpp"
#include "quorrel/evidence/canonical.hpp"
#include "quorrel/evidence/crypto.hpp"
#include "quorrel/evidence/json_writer.hpp"
#include "quorrel/evidence/receipt_reader.hpp"
#include "quorrel/evidence/verify.hpp"

namespace ev = quorrel::evidence;
namespace core = quorrel::core;
namespace fs = std::filesystem;

namespace {

// Positions: 0 A/c1/u 1500.00, 1 text, 2 A/c1/u 7, 3 nil, 4 missing context,
// 5 A/c1 without unit, 6 A/c1 with an empty unit reference (no such unit),
// 7 not a number, 8 A/c1/u -0.50.
const std::string kDocument =
    "<xbrl xmlns='http://www.xbrl.org/2003/instance' xmlns:ex='http://example.com/ex'"
    " xmlns:xsi='http://www.w3.org/2001/XMLSchema-instance'>"
    "<context id='c1'><entity><identifier scheme='s'>X</identifier></entity>"
    "<period><instant>2025-12-31</instant></period></context>"
    "<context id='c2'><entity><identifier scheme='s'>X</identifier></entity>"
    "<period><instant>2024-12-31</instant></period></context>"
    "<unit id='u'><measure>iso4217:EUR</measure></unit>"
    "<ex:A contextRef='c1' unitRef='u' decimals='2'>1500.00</ex:A>"
    "<ex:T contextRef='c1'>hello</ex:T>"
    "<ex:A contextRef='c1' unitRef='u' decimals='0'>7</ex:A>"
    "<ex:N contextRef='c1' unitRef='u' xsi:nil='true'/>"
    "<ex:G contextRef='nowhere' unitRef='u' decimals='0'>5</ex:G>"
    "<ex:A contextRef='c1' decimals='0'>3</ex:A>"
    "<ex:A contextRef='c1' unitRef='' decimals='0'>4</ex:A>"
    "<ex:B contextRef='c2' unitRef='u' decimals='0'>12 kg</ex:B>"
    "<ex:A contextRef='c1' unitRef='u' decimals='2'>-0.50</ex:A>"
    "</xbrl>";

ev::SourceContext load_ok(std::string_view bytes) {
  auto context = ev::SourceContext::load(bytes);
  EXPECT_TRUE(context.has_value()) << context.error().render();
  return context ? std::move(*context) : ev::SourceContext{};
}

core::InstanceDocument parse_ok(std::string_view bytes) {
  auto document = core::parse_instance(bytes);
  EXPECT_TRUE(document.has_value()) << document.error().render();
  return document ? std::move(*document) : core::InstanceDocument{};
}

ev::SourceArtifact artifact() {
  return {"https://example.com/doc.xml", std::string(64, 'a'), std::string("2025-01-01T00:00:00Z"), std::string("")};
}

// The values of a context as the algorithm states them: canonical values of the
// full normalization, absent where it failed or gave text or nil.
std::vector<std::optional<ev::CanonicalValue>> expected_values(const core::InstanceDocument& document) {
  std::vector<std::optional<ev::CanonicalValue>> values;
  const core::NoLabels no_labels;
  for (const core::NormalizeResult& result : core::normalize_facts(document, no_labels, "")) {
    values.push_back(result ? ev::canonical_value(result->value) : std::nullopt);
  }
  return values;
}

// The receipts as the algorithm states them, step by step over the full normalization.
std::vector<ev::Receipt> expected_receipts(const core::InstanceDocument& document, std::string_view doc_id,
                                           const ev::SourceArtifact& source_artifact) {
  std::vector<ev::Receipt> receipts;
  const core::NoLabels no_labels;
  const std::vector<core::NormalizeResult> results = core::normalize_facts(document, no_labels, doc_id);
  for (std::size_t p = 0; p < document.facts.size(); ++p) {
    const core::RawFact& fact = document.facts[p];
    if (!results[p]) continue;
    const std::optional<ev::CanonicalValue> canonical = ev::canonical_value(results[p]->value);
    if (!canonical || !fact.byte_range) continue;
    ev::Receipt r;
    r.schema = "er/0.2";
    r.claim = {canonical->text, fact.unit_ref, ev::ClaimKind::Stated, std::string(doc_id)};
    r.evidence.push_back({source_artifact,
                          {fact.concept_name.to_string(), fact.context_ref, fact.unit_ref, fact.byte_range},
                          {"quorrel-evidence@0.1.0"}});
    auto id = ev::receipt_id_for(r.claim, r.evidence, std::nullopt);
    EXPECT_TRUE(id.has_value());
    r.receipt_id = id ? *id : std::string();
    receipts.push_back(std::move(r));
  }
  return receipts;
}

bool same_values(const std::optional<ev::CanonicalValue>& a, const std::optional<ev::CanonicalValue>& b) {
  if (a.has_value() != b.has_value()) return false;
  if (!a) return true;
  if (a->text != b->text || a->decimal.has_value() != b->decimal.has_value()) return false;
  // The decimal as held: equal value and equal scale.
  return !a->decimal || a->decimal->render() == b->decimal->render();
}

std::string read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::vector<fs::path> corpus_documents() {
  const fs::path corpus = fs::path(QUORREL_SHARED_DIR) / "corpus";
  std::vector<fs::path> paths;
  if (!fs::is_directory(corpus)) return paths;
  for (const auto& entry : fs::recursive_directory_iterator(corpus)) {
    const std::string ext = entry.path().extension().string();
    if (entry.is_regular_file() &&
        (ext == ".xml" || ext == ".xbrl" || ext == ".html" || ext == ".htm" || ext == ".xhtml")) {
      paths.push_back(entry.path());
    }
  }
  std::sort(paths.begin(), paths.end());
  return paths;
}

}  // namespace

// --- SourceContext::load ------------------------------------------------------

TEST(SourceContextLoad, IndexHoldsEveryFactOnceUnderItsKey) {
  const ev::SourceContext context = load_ok(kDocument);
  ASSERT_EQ(context.document.facts.size(), 9U);
  // Every fact is found under its own key, together with exactly the facts that share it.
  std::multiset<std::size_t> seen;
  for (std::size_t p = 0; p < context.document.facts.size(); ++p) {
    const core::RawFact& fact = context.document.facts[p];
    const std::string concept_text = fact.concept_name.to_string();
    std::optional<std::string_view> unit_ref;
    if (fact.unit_ref) unit_ref = *fact.unit_ref;
    const std::vector<std::size_t> positions = context.index.positions({concept_text, fact.context_ref, unit_ref});
    EXPECT_TRUE(std::is_sorted(positions.begin(), positions.end()));
    EXPECT_NE(std::find(positions.begin(), positions.end(), p), positions.end()) << p;
    for (std::size_t q : positions) {
      const core::RawFact& other = context.document.facts[q];
      EXPECT_EQ(other.concept_name.to_string(), concept_text);
      EXPECT_EQ(other.context_ref, fact.context_ref);
      EXPECT_EQ(other.unit_ref, fact.unit_ref);
    }
    if (positions.front() == p) seen.insert(positions.begin(), positions.end());
  }
  EXPECT_EQ(seen, (std::multiset<std::size_t>{0, 1, 2, 3, 4, 5, 6, 7, 8}));

  const auto positions = [&](std::string_view concept_text, std::string_view context_ref,
                             std::optional<std::string_view> unit_ref) {
    return context.index.positions({concept_text, context_ref, unit_ref});
  };
  EXPECT_EQ(positions("ex:A", "c1", "u"), (std::vector<std::size_t>{0, 2, 8}));
  // No unit reference and an empty one are different keys.
  EXPECT_EQ(positions("ex:A", "c1", std::nullopt), (std::vector<std::size_t>{5}));
  EXPECT_EQ(positions("ex:A", "c1", ""), (std::vector<std::size_t>{6}));
  // Facts that give no value are indexed all the same.
  EXPECT_EQ(positions("ex:T", "c1", std::nullopt), (std::vector<std::size_t>{1}));
  EXPECT_EQ(positions("ex:G", "nowhere", "u"), (std::vector<std::size_t>{4}));
  // Texts that only run together alike are different keys.
  EXPECT_TRUE(positions("ex:Ac", "1", "u").empty());
  EXPECT_TRUE(positions("ex:A", "c1u", std::nullopt).empty());
  EXPECT_TRUE(positions("ex:A", "c1", "u ").empty());
  EXPECT_EQ(context.index.key_count(), 7U);
}

TEST(FactIndex, LocateNarrowsByRangeAndReadsTheLowestPosition) {
  // Positions 0..5 under one key, 6 under another; 1 and 4 share a range, 3 has none.
  std::vector<core::RawFact> facts(7);
  const std::optional<core::ByteRange> ranges[] = {core::ByteRange{50, 60}, core::ByteRange{10, 20},
                                                   core::ByteRange{30, 40}, std::nullopt,
                                                   core::ByteRange{10, 20}, core::ByteRange{5, 8},
                                                   core::ByteRange{10, 20}};
  for (std::size_t p = 0; p < facts.size(); ++p) {
    facts[p].concept_name.local_name = p == 6 ? "B" : "A";
    facts[p].concept_name.prefix = "ex";
    facts[p].context_ref = "c";
    facts[p].byte_range = ranges[p];
  }
  const ev::FactIndex index(facts);
  EXPECT_EQ(index.key_count(), 2U);
  std::string buffer;
  const auto locate = [&](std::string_view concept_text, std::optional<core::ByteRange> range) {
    const ev::FactMatch match = index.locate({concept_text, "c", std::nullopt}, range, buffer);
    return std::pair<std::size_t, std::size_t>(match.count, match.count == 0 ? 99 : match.first);
  };
  using Found = std::pair<std::size_t, std::size_t>;
  EXPECT_EQ(locate("ex:A", core::ByteRange{30, 40}), (Found{1, 2}));
  EXPECT_EQ(locate("ex:A", core::ByteRange{10, 20}), (Found{2, 1}));
  EXPECT_EQ(locate("ex:A", core::ByteRange{5, 8}), (Found{1, 5}));
  // No fact at the range, or no range recorded: every fact of the key, the lowest read.
  EXPECT_EQ(locate("ex:A", core::ByteRange{0, 1}), (Found{6, 0}));
  EXPECT_EQ(locate("ex:A", std::nullopt), (Found{6, 0}));
  // A single fact under its key is found whatever range is recorded.
  EXPECT_EQ(locate("ex:B", core::ByteRange{0, 1}), (Found{1, 6}));
  EXPECT_EQ(locate("ex:B", std::nullopt), (Found{1, 6}));
  EXPECT_EQ(locate("ex:C", core::ByteRange{10, 20}), (Found{0, 99}));
  EXPECT_EQ(index.positions({"ex:A", "c", std::nullopt}), (std::vector<std::size_t>{0, 1, 2, 3, 4, 5}));

  // Where the caller expects the fact changes nothing about what is found,
  // only where the next search starts: just past the fact read.
  for (const char* concept_text : {"ex:A", "ex:B", "ex:C"}) {
    for (const std::optional<core::ByteRange>& range : ranges) {
      const ev::FactMatch plain = index.locate({concept_text, "c", std::nullopt}, range, buffer);
      for (std::size_t hint = 0; hint <= facts.size() + 1; ++hint) {
        std::size_t next = hint;
        const ev::FactMatch hinted = index.locate({concept_text, "c", std::nullopt}, range, buffer, &next);
        EXPECT_EQ(hinted.count, plain.count) << concept_text << " hint " << hint;
        if (plain.count == 0) {
          EXPECT_EQ(next, hint);
          continue;
        }
        EXPECT_EQ(hinted.first, plain.first) << concept_text << " hint " << hint;
        EXPECT_EQ(next, plain.first + 1);
      }
    }
  }

  const ev::FactIndex none;
  EXPECT_TRUE(none.empty());
  EXPECT_EQ(none.locate({"ex:A", "c", std::nullopt}, std::nullopt, buffer).count, 0U);
}

TEST(SourceContextLoad, ValuesOnlyForFactsThatNormalizeToNumbers) {
  const ev::SourceContext context = load_ok(kDocument);
  ASSERT_EQ(context.values.size(), context.document.facts.size());
  // text, nil, missing context, missing unit and a bad number give no value.
  for (std::size_t p : {1, 3, 4, 6, 7}) EXPECT_FALSE(context.values[p].has_value()) << p;
  const auto expect_value = [&](std::size_t p, const char* text, const char* held) {
    ASSERT_TRUE(context.values[p].has_value()) << p;
    EXPECT_EQ(context.values[p]->text, text);
    ASSERT_TRUE(context.values[p]->decimal.has_value());
    EXPECT_EQ(context.values[p]->decimal->render(), held);
  };
  expect_value(0, "1500", "1500.00");
  expect_value(2, "7", "7");
  expect_value(5, "3", "3");
  expect_value(8, "-0.5", "-0.50");
}

TEST(SourceContextLoad, HashCoversTheWholeSourceByteOrderMarkIncluded) {
  EXPECT_EQ(load_ok("<a/>").sha256, "29114363f749a0226b6988dda3ca2492a954117ab6b5f382706c20300dabc079");
  const ev::SourceContext plain = load_ok(kDocument);
  EXPECT_EQ(plain.sha256, ev::sha256_hex(kDocument));
  const ev::SourceContext marked = load_ok("\xEF\xBB\xBF" + kDocument);
  EXPECT_EQ(marked.sha256, ev::sha256_hex("\xEF\xBB\xBF" + kDocument));
  EXPECT_NE(marked.sha256, plain.sha256);
  // Byte ranges count after the mark, so both contexts hold the same facts.
  EXPECT_EQ(marked.document.facts, plain.document.facts);
}

// --- build_receipts -------------------------------------------------------------

TEST(BuildReceipts, OneStatedReceiptPerNumericFactInFactOrder) {
  const core::InstanceDocument document = parse_ok(kDocument);
  const ev::SourceArtifact source = artifact();
  const auto receipts = ev::build_receipts(document, "doc-1", source);
  ASSERT_TRUE(receipts.has_value());
  ASSERT_EQ(receipts->size(), 4U);
  const std::vector<std::size_t> positions{0, 2, 5, 8};
  const std::vector<std::string> values{"1500", "7", "3", "-0.5"};
  for (std::size_t i = 0; i < receipts->size(); ++i) {
    const ev::Receipt& r = (*receipts)[i];
    const core::RawFact& fact = document.facts[positions[i]];
    EXPECT_EQ(r.schema, "er/0.2");
    EXPECT_EQ(r.claim, (ev::Claim{values[i], fact.unit_ref, ev::ClaimKind::Stated, "doc-1"}));
    ASSERT_EQ(r.evidence.size(), 1U);
    // The artifact is copied whole, including members this system never sets itself.
    EXPECT_EQ(r.evidence[0].source_artifact, source);
    EXPECT_EQ(r.evidence[0].locator, (ev::XbrlLocator{"ex:A", "c1", fact.unit_ref, fact.byte_range}));
    EXPECT_EQ(r.evidence[0].extraction.engine, "quorrel-evidence@0.1.0");
    EXPECT_FALSE(r.derivation.has_value());
    EXPECT_FALSE(r.attestation.has_value());
    const auto id = ev::receipt_id_for(r.claim, r.evidence, std::nullopt);
    ASSERT_TRUE(id.has_value());
    EXPECT_EQ(r.receipt_id, *id);
  }
  // The fact without unit reference gives a claim without unit.
  EXPECT_FALSE((*receipts)[2].claim.unit.has_value());
  EXPECT_FALSE((*receipts)[2].evidence[0].locator.unit_ref.has_value());
  // Equal keys at different places: different ranges, different ids.
  EXPECT_NE((*receipts)[0].evidence[0].locator.byte_range, (*receipts)[1].evidence[0].locator.byte_range);
  EXPECT_NE((*receipts)[0].receipt_id, (*receipts)[1].receipt_id);
  EXPECT_EQ(*receipts, expected_receipts(document, "doc-1", source));
}

TEST(BuildReceipts, FactsWithoutByteRangeAreSkipped) {
  core::InstanceDocument document = parse_ok(kDocument);
  document.facts[0].byte_range.reset();
  const auto receipts = ev::build_receipts(document, "d", artifact());
  ASSERT_TRUE(receipts.has_value());
  ASSERT_EQ(receipts->size(), 3U);
  EXPECT_EQ((*receipts)[0].claim.value, "7");
  EXPECT_EQ(*receipts, expected_receipts(document, "d", artifact()));
}

// --- every filing of the corpus ---------------------------------------------------

TEST(CorpusReceipts, BuildingLoadingWritingAndReadingAgree) {
  const std::vector<fs::path> documents = corpus_documents();
  if (documents.empty()) GTEST_SKIP() << "corpus absent";
  std::size_t parsed = 0;
  std::size_t lines = 0;
  for (const fs::path& path : documents) {
    const std::string rel = path.filename().string();
    const std::string bytes = read_file(path);
    auto document = core::parse_instance(bytes);
    if (!document) continue;  // the broken filings are pinned by the parser's own corpus test
    ++parsed;

    ev::SourceArtifact source{rel, ev::sha256_hex(bytes), std::nullopt, std::nullopt};
    const auto receipts = ev::build_receipts(*document, rel, source);
    ASSERT_TRUE(receipts.has_value()) << rel;
    ASSERT_EQ(*receipts, expected_receipts(*document, rel, source)) << rel;

    const ev::SourceContext context = load_ok(bytes);
    ASSERT_EQ(context.sha256, source.sha256) << rel;
    const auto values = expected_values(context.document);
    ASSERT_EQ(context.values.size(), values.size()) << rel;
    for (std::size_t p = 0; p < values.size(); ++p) {
      ASSERT_TRUE(same_values(context.values[p], values[p])) << rel << " fact " << p;
    }

    // Each written line reads back as the same receipt and writes again to the same bytes.
    const auto jsonl = ev::receipts_jsonl(bytes, rel, rel, std::nullopt);
    ASSERT_TRUE(jsonl.has_value()) << rel;
    std::size_t at = 0;
    std::size_t index = 0;
    while (at < jsonl->size()) {
      const std::size_t end = jsonl->find('\n', at);
      ASSERT_NE(end, std::string::npos) << rel;
      const std::string_view line = std::string_view(*jsonl).substr(at, end - at);
      const auto read = ev::read_receipt(line);
      ASSERT_TRUE(read.has_value()) << rel << ": " << read.error();
      ASSERT_LT(index, receipts->size()) << rel;
      EXPECT_EQ(*read, (*receipts)[index]) << rel;
      std::string again;
      ev::write_receipt(*read, again);
      ASSERT_EQ(again, line) << rel;
      at = end + 1;
      ++index;
      ++lines;
    }
    EXPECT_EQ(index, receipts->size()) << rel;

    const auto summary = ev::verify_jsonl(*jsonl, bytes);
    ASSERT_TRUE(summary.has_value()) << rel;
    EXPECT_EQ(*summary, R"({"fail":0,"failures":[],"pass":)" + std::to_string(receipts->size()) + "}") << rel;
  }
  EXPECT_GT(parsed, 200U);
  EXPECT_GT(lines, 5000U);
}
