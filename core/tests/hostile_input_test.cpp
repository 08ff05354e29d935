// Hostile input: nothing crashes, recurses, or grows faster than the input.
// Sizes are modest; what is checked is structure (sharing, depth), not time.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "parser_test_util.hpp"
#include "quorrel/core/xml_reader.hpp"

using namespace quorrel::core;
using namespace parser_test;
namespace fs = std::filesystem;

namespace {

std::string repeat(std::string_view piece, std::size_t n) {
  std::string s;
  s.reserve(piece.size() * n);
  for (std::size_t i = 0; i < n; ++i) s += piece;
  return s;
}

const char* kSmallDocument =
    "\xEF\xBB\xBF<?xml version='1.0'?><xbrl xmlns='urn:x' xmlns:ix='urn:ix' xmlns:d='urn:d'>"
    "<link:schemaRef xlink:href='s.xsd'/>"
    "<context id='c'><entity><identifier scheme='s'>1</identifier><segment>"
    "<explicitMember dimension='d:A'>d:B</explicitMember><typedMember dimension='d:T'><v>1</v></typedMember>"
    "</segment></entity><period><startDate>2020-01-01</startDate><endDate>2020-12-31</endDate></period></context>"
    "<unit id='u'><divide><unitNumerator><measure>m:A</measure></unitNumerator>"
    "<unitDenominator><measure>m:B</measure></unitDenominator></divide></unit>"
    "<ix:hidden><ix:nonFraction name='d:F' contextRef='c' unitRef='u' decimals='2' scale='3'"
    " continuedAt='k'>1&amp;2<![CDATA[3]]></ix:nonFraction></ix:hidden>"
    "<ix:continuation id='k'>more<!-- c --></ix:continuation>"
    "<p contextRef='c' xsi:nil='true'/><link:loc xlink:label='L' xlink:href='#f'/>"
    "<link:footnote xlink:label='N'>note <b>x</b></link:footnote><link:footnoteArc xlink:from='L' xlink:to='N'/>"
    "</xbrl>";

std::string read_file(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Every prefix either parses or fails with an error; facts found have sane ranges.
void parse_every_prefix(std::string_view doc, std::size_t step) {
  for (std::size_t cut = 0; cut <= doc.size(); cut += step) {
    const std::string_view prefix = doc.substr(0, cut);
    auto result = parse_instance(prefix);
    if (!result) continue;
    const std::size_t bom = prefix.starts_with("\xEF\xBB\xBF") ? 3 : 0;
    for (const auto& f : result->facts) {
      ASSERT_TRUE(f.byte_range.has_value());
      ASSERT_LT(f.byte_range->first, f.byte_range->second);
      ASSERT_LE(f.byte_range->second + bom, prefix.size()) << cut;
      ASSERT_EQ(prefix[bom + f.byte_range->first], '<');
      ASSERT_EQ(prefix[bom + f.byte_range->second - 1], '>');
    }
  }
}

}  // namespace

TEST(HostileInput, DeepNestingUsesNoStack) {
  const std::size_t depth = 100000;
  const std::string doc = repeat("<a>", depth) + repeat("</a>", depth);
  EXPECT_TRUE(parse_instance(doc).has_value());
  // The same depth inside a fact only moves its nesting counter.
  const std::string in_fact = "<f contextRef='c'>" + repeat("<a>", depth) + "x" + repeat("</a>", depth) + "</f>";
  const auto parsed = parse_ok(in_fact);
  ASSERT_EQ(parsed.facts.size(), 1U);
  EXPECT_EQ(parsed.facts[0].byte_range->second, in_fact.size());
  // And inside raw typed-member content.
  const std::string typed = "<context id='c'><typedMember dimension='d'>" + repeat("<a>", depth) +
                            repeat("</a>", depth) + "</typedMember></context>";
  EXPECT_TRUE(parse_instance(typed).has_value());
  // Input that stops deep inside is not an error.
  EXPECT_TRUE(parse_instance(repeat("<a>", depth)).has_value());
}

TEST(HostileInput, NestedInlineFactsShareOneTextLog) {
  const std::size_t n = 5000;
  const std::string text(200000, 'x');
  const std::string doc = "<r>" + repeat("<ix:nonNumeric name='a' contextRef='c'>", n) + text +
                          repeat("</ix:nonNumeric>", n) + "</r>";
  const auto parsed = parse_ok(doc);
  ASSERT_EQ(parsed.facts.size(), n);
  // Every fact sees the whole text, and all of them point at the same bytes:
  // n facts cost one copy of the text, not n.
  const char* shared = std::get<NonNumericText>(parsed.facts[0].value).text.data();
  for (const auto& f : parsed.facts) {
    const FactText& t = std::get<NonNumericText>(f.value).text;
    ASSERT_EQ(t.size(), text.size());
    ASSERT_EQ(t.data(), shared);
  }
}

TEST(HostileInput, ManyFactsNamingOneLongContinuationChain) {
  // 20000 facts start the same chain of 20000 links: each chain is walked once,
  // not once per fact.
  const std::size_t n = 20000;
  std::string doc = "<r>" + repeat("<ix:nonNumeric name='a' contextRef='c' continuedAt='k0'>t</ix:nonNumeric>", n);
  for (std::size_t i = 0; i < n; ++i) {
    doc += "<ix:continuation id='k" + std::to_string(i) + "' continuedAt='k" + std::to_string(i + 1) + "'>";
    if (i + 1 == n) doc += "end";
    doc += "</ix:continuation>";
  }
  doc += "</r>";
  const auto parsed = parse_ok(doc);
  ASSERT_EQ(parsed.facts.size(), n);
  for (const auto& f : parsed.facts) ASSERT_EQ(std::get<NonNumericText>(f.value).text, "tend");
}

TEST(HostileInput, AMillionAttributesOnOneTag) {
  const std::size_t n = 1000000;
  std::string doc = "<r><f contextRef='c'";
  doc.reserve(n * 16);
  for (std::size_t i = 0; i < n; ++i) {
    doc += " p:a";
    doc += std::to_string(i);
    doc += "='v'";
  }
  doc += " id='last'>1</f></r>";
  const auto parsed = parse_ok(doc);
  ASSERT_EQ(parsed.facts.size(), 1U);
  EXPECT_EQ(parsed.facts[0].id, "last");
  // The same attribute a million times: every later value wins under the full name.
  std::string repeated = "<r><f contextRef='c'" + repeat(" x:id='a'", n) + " x:id='b'>1</f></r>";
  const auto again = parse_ok(repeated);
  ASSERT_EQ(again.facts.size(), 1U);
  EXPECT_EQ(again.facts[0].id, "a");  // the local part keeps the first value
}

TEST(HostileInput, ManyPrefixesOverManyElements) {
  const std::size_t prefixes = 10000;
  const std::size_t elements = 1000000;
  std::string doc = "<r";
  for (std::size_t i = 0; i < prefixes; ++i) {
    doc += " xmlns:p";
    doc += std::to_string(i);
    doc += "='urn:";
    doc += std::to_string(i);
    doc += "'";
  }
  doc += ">";
  doc += repeat("<p9999:e/>", elements);
  doc += "<p5:fact contextRef='c' xmlns:p5='urn:shadow'>1</p5:fact><p5:fact contextRef='c'>2</p5:fact></r>";
  const auto parsed = parse_ok(doc);
  ASSERT_EQ(parsed.facts.size(), 2U);
  EXPECT_EQ(parsed.facts[0].concept_name.namespace_uri, "urn:shadow");
  EXPECT_EQ(parsed.facts[1].concept_name.namespace_uri, "urn:5");
}

TEST(HostileInput, PathologicalEntitiesAndMarkupStayLinear) {
  EXPECT_EQ(parse_error("<a>" + repeat("&", 200000) + "</a>"),
            "XML error: bare '&' not followed by an entity name at byte 3");
  EXPECT_EQ(parse_error("<a>&#" + std::string(200000, '0') + "65;</a>"), "parsed");
  EXPECT_EQ(parse_error(repeat("<!--", 50000)), "XML error: unterminated comment at byte 0");
  EXPECT_EQ(parse_error("<a x='" + std::string(200000, '<') + "'/>"), "parsed");
  EXPECT_TRUE(parse_instance(repeat("</a>", 1)).error().render().ends_with("unexpected closing tag a"));
}

TEST(HostileInput, TruncationAtEveryByteOfASmallDocument) {
  ASSERT_TRUE(parse_instance(kSmallDocument).has_value());
  parse_every_prefix(kSmallDocument, 1);
}

TEST(HostileInput, TruncationOfRealFilings) {
  const fs::path corpus = fs::path(QUORREL_SHARED_DIR) / "corpus";
  const fs::path small = corpus / "jp" / "edinet-valid11-0000000_header_jpsps060700.htm";
  const fs::path large = corpus / "sec" / "ko-10k-2025.htm";
  if (!fs::exists(small) || !fs::exists(large)) GTEST_SKIP() << "corpus absent";
  const std::string small_doc = read_file(small);
  ASSERT_LT(small_doc.size(), 50000U);
  parse_every_prefix(small_doc, 1);
  const std::string large_doc = read_file(large);
  parse_every_prefix(large_doc, large_doc.size() / 97 + 1);
}
