// The source context that verification reads, its fact index, and the
// building and writing of stated receipts.

#include "quorrel/evidence/source_context.hpp"

#include <gtest/gtest.h>

#include <string>
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

core::InstanceDocument parse_ok(std::string_view bytes) {
  auto document = core::parse_instance(bytes);
  EXPECT_TRUE(document.has_value()) << document.error().render();
  return document ? std::move(*document) : core::InstanceDocument{};
}

}  // namespace

TEST(SourceContextLoad, IndexValuesAndHash) {
  const ev::SourceContext context = load_ok(kDocument);
  ASSERT_EQ(context.document.facts.size(), 10U);
  // Every fact under its own key, facts that give no value all the same: how
  // many facts the key has, and the lowest position.
  const auto found = [&](std::string_view concept_text, std::string_view context_ref,
                         std::optional<std::string_view> unit_ref) {
    std::string buffer;
    const ev::FactMatch match = context.index.locate({concept_text, context_ref, unit_ref}, std::nullopt, buffer);
    return std::pair{match.count, match.count == 0 ? 99 : match.first};
  };
  using Found = std::pair<std::size_t, std::size_t>;
  EXPECT_EQ(found("ex:A", "c1", "u"), (Found{3, 0}));
  EXPECT_EQ(found("ex:A", "c1", std::nullopt), (Found{1, 5}));  // no unit reference and an empty one differ
  EXPECT_EQ(found("ex:A", "c1", ""), (Found{1, 6}));
  EXPECT_EQ(found("ex:T", "c1", std::nullopt), (Found{1, 1}));
  EXPECT_EQ(found("ex:N", "c1", "u"), (Found{1, 3}));
  EXPECT_EQ(found("ex:G", "nowhere", "u"), (Found{1, 4}));
  EXPECT_EQ(found("ex:B", "c2", "u"), (Found{1, 7}));
  EXPECT_EQ(found(kUnprefixed, "c\"q", "u\n2"), (Found{1, 9}));
  // Texts that only run together alike are different keys.
  EXPECT_EQ(found("ex:Ac", "1", "u").first, 0U);
  EXPECT_EQ(found("ex:A", "c1u", std::nullopt).first, 0U);
  EXPECT_EQ(found("ex:A", "c1", "u ").first, 0U);

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

  // Where the caller expects the fact changes nothing about what is found,
  // only where the next search starts: just past the fact read.
  for (const char* concept_text : {"ex:A", "ex:B", "ex:C"}) {
    for (const std::optional<core::ByteRange>& range : ranges) {
      const ev::FactMatch unhinted = index.locate({concept_text, "c", std::nullopt}, range, buffer);
      for (std::size_t hint = 0; hint <= facts.size() + 1; ++hint) {
        std::size_t next = hint;
        const ev::FactMatch hinted = index.locate({concept_text, "c", std::nullopt}, range, buffer, &next);
        EXPECT_EQ(hinted.count, unhinted.count) << concept_text << " hint " << hint;
        if (unhinted.count == 0) {
          EXPECT_EQ(next, hint);
          continue;
        }
        EXPECT_EQ(hinted.first, unhinted.first) << concept_text << " hint " << hint;
        EXPECT_EQ(next, unhinted.first + 1);
      }
    }
  }

  const ev::FactIndex none;
  EXPECT_EQ(none.locate({"ex:A", "c", std::nullopt}, std::nullopt, buffer).count, 0U);
}

// The index writes each fact's key from the parts of its concept name; a
// locator names the concept by its text, so every form of name must be found
// by exactly that text and by no other form of the same name.
TEST(FactIndex, FindsEveryFormOfConceptNameByItsText) {
  std::vector<core::RawFact> facts(5);
  facts[0].concept_name.prefix = "p";
  facts[1].concept_name.prefix = "";
  facts[2].concept_name.namespace_uri = core::SharedString("urn:x");
  facts[3].concept_name.prefix = "p";
  facts[3].concept_name.namespace_uri = core::SharedString("urn:x");
  for (core::RawFact& fact : facts) {
    fact.concept_name.local_name = "A";
    fact.context_ref = "c";
  }
  facts[3].unit_ref = "u";
  const ev::FactIndex index(facts);
  std::string buffer;
  const auto at = [&](std::string_view concept_text, std::optional<std::string_view> unit_ref = std::nullopt) {
    const ev::FactMatch match = index.locate({concept_text, "c", unit_ref}, std::nullopt, buffer);
    return match.count == 1 ? static_cast<int>(match.first) : -static_cast<int>(match.count);
  };
  EXPECT_EQ(at("p:A"), 0);
  EXPECT_EQ(at(":A"), 1);
  EXPECT_EQ(at("{urn:x}A"), 2);
  EXPECT_EQ(at("p:A", "u"), 3);
  EXPECT_EQ(at("A"), 4);
  for (std::size_t p = 0; p < facts.size(); ++p) {
    std::optional<std::string_view> unit_ref;
    if (facts[p].unit_ref) unit_ref = *facts[p].unit_ref;
    EXPECT_EQ(at(facts[p].concept_name.to_string(), unit_ref), static_cast<int>(p));
  }
  EXPECT_EQ(at("urn:xA"), 0);
  EXPECT_EQ(at("{urn:x}A", "u"), 0);
}

// The receipts road hands every receipt to its sink once: as records, or as
// JSONL lines that are those records written, with texts that need escapes.
TEST(BuildReceipts, OneStatedReceiptPerNumericFactWithARangeAsRecordsOrLines) {
  core::InstanceDocument document = parse_ok(kDocument);
  const ev::SourceArtifact source{"https://x/a b?\"q\"\t", "abc", std::string("2024-01-01T00:00:00Z"),
                                  std::string("auth\x1F\"")};
  const std::string doc_id = "doc \"1\"\\\n\x01\xC3\xA9";
  for (const bool all_ranges : {true, false}) {
    if (!all_ranges) document.facts[0].byte_range.reset();
    const std::vector<ev::Receipt> receipts = ev::build_receipts(document, doc_id, source);
    std::vector<std::string> claims;
    std::string lines = "kept:";  // appended to, never replaced
    for (const ev::Receipt& r : receipts) {
      claims.push_back(r.claim.value + " " + r.evidence.at(0).locator.concept_name);
      EXPECT_EQ(r.receipt_id, ev::receipt_id_for(r.claim, r.evidence, std::nullopt));
      EXPECT_EQ(r.evidence.at(0).source_artifact, source);
      ev::write_receipt(r, lines);
      lines.push_back('\n');
    }
    std::vector<std::string> expected{"1500 ex:A", "7 ex:A", "3 ex:A", "-0.5 ex:A", "0 " + kUnprefixed};
    if (!all_ranges) expected.erase(expected.begin());
    EXPECT_EQ(claims, expected);
    std::string written = "kept:";
    ev::append_receipt_lines(document, doc_id, source, written);
    EXPECT_EQ(written, lines);
  }
}
