// The source context that verification reads, its fact index, and the
// building and writing of stated receipts.

#include "quorrel/evidence/source_context.hpp"

#include <gtest/gtest.h>

#include <array>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "quorrel/core/parser.hpp"
#include "quorrel/evidence/canonical.hpp"
#include "quorrel/evidence/crypto.hpp"
#include "quorrel/evidence/json_writer.hpp"
#include "quorrel/evidence/receipts.hpp"

namespace ev = quorrel::evidence;
namespace core = quorrel::core;

namespace {

// Positions: 0 A/c1/u 1500.00, 1 text, 2 A/c1/u 7, 3 nil, 4 missing context,
// 5 A/c1 without unit, 6 A/c1 with an empty unit reference (no such unit),
// 7 not a number, 8 A/c1/u -0.50, 9 a concept in the default namespace under
// a context and a unit whose ids need escapes in JSON.
const std::string kDocument =
    "<xbrl xmlns='http://www.xbrl.org/2003/instance' xmlns:ex='http://example.com/ex'"
    " xmlns:xsi='http://www.w3.org/2001/XMLSchema-instance'>"
    "<context id='c1'><entity><identifier scheme='s'>X</identifier></entity>"
    "<period><instant>2025-12-31</instant></period></context>"
    "<context id='c2'><entity><identifier scheme='s'>X</identifier></entity>"
    "<period><instant>2024-12-31</instant></period></context>"
    "<context id='c\"q'><entity><identifier scheme='s'>X</identifier></entity><period><forever/></period></context>"
    "<unit id='u'><measure>iso4217:EUR</measure></unit>"
    "<unit id='u&#10;2'><measure>pure</measure></unit>"
    "<ex:A contextRef='c1' unitRef='u' decimals='2'>1500.00</ex:A>"
    "<ex:T contextRef='c1'>hello</ex:T>"
    "<ex:A contextRef='c1' unitRef='u' decimals='0'>7</ex:A>"
    "<ex:N contextRef='c1' unitRef='u' xsi:nil='true'/>"
    "<ex:G contextRef='nowhere' unitRef='u' decimals='0'>5</ex:G>"
    "<ex:A contextRef='c1' decimals='0'>3</ex:A>"
    "<ex:A contextRef='c1' unitRef='' decimals='0'>4</ex:A>"
    "<ex:B contextRef='c2' unitRef='u' decimals='0'>12 kg</ex:B>"
    "<ex:A contextRef='c1' unitRef='u' decimals='2'>-0.50</ex:A>"
    "<Unprefixed contextRef='c\"q' unitRef='u&#10;2' decimals='INF'>-0.000</Unprefixed>"
    "</xbrl>";
const std::string kUnprefixed = "{http://www.xbrl.org/2003/instance}Unprefixed";

ev::SourceContext load_ok(std::string_view bytes) {
  auto context = ev::SourceContext::load(bytes);
  EXPECT_TRUE(context.has_value()) << context.error().render();
  return context ? std::move(*context) : ev::SourceContext{};
}

// What the index finds for a key: how many facts, and the lowest position (99 for none).
using Found = std::pair<std::size_t, std::size_t>;
Found found(const ev::FactIndex& index, std::string_view concept_text, std::string_view context_ref,
            std::optional<std::string_view> unit_ref, std::optional<core::ByteRange> range = std::nullopt) {
  std::string buffer;
  const ev::FactMatch match = index.locate({concept_text, context_ref, unit_ref}, range, buffer);
  return {match.count, match.count == 0 ? 99 : match.first};
}

}  // namespace

TEST(SourceContextLoad, IndexValuesAndHash) {
  const ev::SourceContext context = load_ok(kDocument);
  ASSERT_EQ(context.document.facts.size(), 10U);
  // Every fact under its own key, facts that give no value all the same; no
  // unit reference and an empty one differ, and texts that only run together
  // alike are different keys.
  const std::pair<std::array<std::optional<std::string_view>, 3>, Found> keys[] = {
      {{"ex:A", "c1", "u"}, {3, 0}}, {{"ex:A", "c1", std::nullopt}, {1, 5}}, {{"ex:A", "c1", ""}, {1, 6}},
      {{"ex:T", "c1", std::nullopt}, {1, 1}}, {{"ex:N", "c1", "u"}, {1, 3}}, {{"ex:G", "nowhere", "u"}, {1, 4}},
      {{"ex:B", "c2", "u"}, {1, 7}}, {{kUnprefixed, "c\"q", "u\n2"}, {1, 9}}, {{"ex:Ac", "1", "u"}, {0, 99}},
      {{"ex:A", "c1u", std::nullopt}, {0, 99}}, {{"ex:A", "c1", "u "}, {0, 99}},
  };
  for (const auto& [key, expected] : keys) EXPECT_EQ(found(context.index, *key[0], *key[1], key[2]), expected) << *key[0];
  // Numbers only where a fact normalizes to one, as normalization holds them.
  std::vector<std::string> values;
  for (const auto& v : context.values) values.push_back(v ? v->render() : "-");
  EXPECT_EQ(values, (std::vector<std::string>{"1500.00", "-", "7", "-", "-", "3", "-", "-", "-0.50", "-0.000"}));
  // The hash covers the whole source, a byte-order mark included; ranges count after it.
  EXPECT_EQ(load_ok("<a/>").sha256, "29114363f749a0226b6988dda3ca2492a954117ab6b5f382706c20300dabc079");
  EXPECT_EQ(context.sha256, ev::sha256_hex(kDocument));
  const ev::SourceContext marked = load_ok("\xEF\xBB\xBF" + kDocument);
  EXPECT_EQ(marked.sha256, ev::sha256_hex("\xEF\xBB\xBF" + kDocument));
  EXPECT_EQ(marked.document.facts, context.document.facts);
}

TEST(FactIndex, LocateNarrowsByRangeAndFindsEveryFormOfConceptName) {
  // Positions 0..5 under ex:A, 6 under ex:B; 1 and 4 share a range, 3 has none;
  // then one fact for each form of concept name: :A, {urn:x}A, p:A in urn:x with a unit, A.
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
  EXPECT_EQ(at("ex:A", core::ByteRange{30, 40}), (Found{1, 2}));
  EXPECT_EQ(at("ex:A", core::ByteRange{10, 20}), (Found{2, 1}));
  EXPECT_EQ(at("ex:A", core::ByteRange{5, 8}), (Found{1, 5}));
  // No fact at the range, or no range recorded: every fact of the key, the lowest read.
  EXPECT_EQ(at("ex:A", core::ByteRange{0, 1}), (Found{6, 0}));
  EXPECT_EQ(at("ex:A", std::nullopt), (Found{6, 0}));
  // A single fact under its key is found whatever range is recorded.
  EXPECT_EQ(at("ex:B", core::ByteRange{0, 1}), (Found{1, 6}));
  EXPECT_EQ(at("ex:C", core::ByteRange{10, 20}), (Found{0, 99}));
  // Each form of name is found by exactly its text, and by no other form of the same name.
  EXPECT_EQ(at(":A", std::nullopt), (Found{1, 7}));
  EXPECT_EQ(at("{urn:x}A", std::nullopt), (Found{1, 8}));
  EXPECT_EQ(found(index, "p:A", "c", "u"), (Found{1, 9}));
  EXPECT_EQ(at("A", std::nullopt), (Found{1, 10}));
  for (std::size_t p = 7; p < facts.size(); ++p) {
    const auto unit = facts[p].unit_ref ? std::optional<std::string_view>(*facts[p].unit_ref) : std::nullopt;
    EXPECT_EQ(found(index, facts[p].concept_name.to_string(), "c", unit), (Found{1, p}));
  }
  EXPECT_EQ(at("urn:xA", std::nullopt).first, 0U);
  EXPECT_EQ(found(index, "{urn:x}A", "c", "u").first, 0U);
  EXPECT_EQ(found(ev::FactIndex(), "ex:A", "c", std::nullopt).first, 0U);

  // Where the caller expects the fact changes nothing about what is found,
  // only where the next search starts: just past the fact read.
  std::string buffer;
  for (const char* concept_text : {"ex:A", "ex:B", "ex:C"}) {
    for (const std::optional<core::ByteRange>& range : ranges) {
      const Found unhinted = at(concept_text, range);
      for (std::size_t hint = 0; hint <= facts.size() + 1; ++hint) {
        std::size_t next = hint;
        const ev::FactMatch hinted = index.locate({concept_text, "c", std::nullopt}, range, buffer, &next);
        EXPECT_EQ(hinted.count, unhinted.first) << concept_text << " hint " << hint;
        EXPECT_EQ(hinted.count == 0 ? 99 : hinted.first, unhinted.second) << concept_text << " hint " << hint;
        EXPECT_EQ(next, hinted.count == 0 ? hint : unhinted.second + 1);
      }
    }
  }
}

// The receipts road hands every receipt to its sink once: as records, or as
// JSONL lines that are those records written, with texts that need escapes.
// (That each line's id, digest, value and range are right, and that it
// verifies, is the receipts_verify fuzz target's and the module tests'.)
TEST(BuildReceipts, OneStatedReceiptPerNumericFactWithARangeAsRecordsOrLines) {
  core::InstanceDocument document = core::parse_instance(kDocument).value();
  const ev::SourceArtifact source{"https://x/a b?\"q\"\t", "abc", std::string("2024-01-01T00:00:00Z"),
                                  std::string("auth\x1F\"")};
  const std::string doc_id = "doc \"1\"\\\n\x01\xC3\xA9";
  for (const bool all_ranges : {true, false}) {
    if (!all_ranges) document.facts[0].byte_range.reset();
    std::vector<std::string> claims;
    std::string lines = "kept:";  // appended to, never replaced
    for (const ev::Receipt& r : ev::build_receipts(document, doc_id, source)) {
      claims.push_back(r.claim.value + " " + r.evidence.at(0).locator.concept_name);
      ev::write_receipt(r, lines);
      lines.push_back('\n');
    }
    std::vector<std::string> expected{"1500 ex:A", "7 ex:A", "3 ex:A", "-0.5 ex:A", "0 " + kUnprefixed};
    EXPECT_EQ(claims, std::vector(expected.begin() + (all_ranges ? 0 : 1), expected.end()));
    std::string written = "kept:";
    ev::append_receipt_lines(document, doc_id, source, written);
    EXPECT_EQ(written, lines);
  }
}
