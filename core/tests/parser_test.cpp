// The instance parser: ranges, text, names, attributes, facts, continuations,
// footnotes, contexts, units, every error message of the core library, hostile
// input; and beneath it, white space, UTF-8 validation and accuracy attributes.

#include <gtest/gtest.h>

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "../src/instance_parser.hpp"
#include "quorrel/core/attributes.hpp"
#include "quorrel/core/parser.hpp"
#include "quorrel/core/text.hpp"
#include "quorrel/core/utf8.hpp"

using namespace quorrel::core;

namespace {

using Texts = std::vector<std::string>;

InstanceDocument parse_ok(std::string_view bytes) {
  auto doc = parse_instance(bytes);
  if (!doc) ADD_FAILURE() << "parse failed: " << doc.error().render();
  return doc ? std::move(*doc) : InstanceDocument{};
}

std::string parse_error(std::string_view bytes) {
  auto doc = parse_instance(bytes);
  return doc ? "parsed" : doc.error().render();
}

std::string text_of(const RawFact& f) {
  if (auto* n = std::get_if<NumericText>(&f.value)) return "numeric:" + std::string(n->text.view());
  if (auto* t = std::get_if<NonNumericText>(&f.value)) return "text:" + std::string(t->text.view());
  return "nil";
}

// Each fact's text, after its local name when `named`.
Texts texts_of(const InstanceDocument& doc, bool named = false) {
  Texts out;
  for (const RawFact& f : doc.facts) out.push_back((named ? f.concept_name.local_name.str() + "=" : "") + text_of(f));
  return out;
}

std::string slice(std::string_view source, const RawFact& f) {
  return f.byte_range ? std::string(source.substr(f.byte_range->first, f.byte_range->second - f.byte_range->first))
                      : "<no range>";
}

std::string repeat(std::string_view piece, std::size_t n) {
  std::string s;
  for (s.reserve(piece.size() * n); n > 0; --n) s += piece;
  return s;
}

// UTF-8 bytes of a code point (no surrogates).
std::string encode_utf8(char32_t c) {
  if (c < 0x80) return std::string(1, static_cast<char>(c));
  const int tail = c < 0x800 ? 1 : c < 0x10000 ? 2 : 3;
  std::string out(1, static_cast<char>(((0xFF00 >> (tail + 1)) & 0xFF) | (c >> (6 * tail))));
  for (int k = tail - 1; k >= 0; --k) out += static_cast<char>(0x80 | ((c >> (6 * k)) & 0x3F));
  return out;
}

}  // namespace

TEST(Parser, ByteRangesCoverExactlyTheFactElementAfterAnyByteOrderMark) {
  const std::string src =
      "\n<?xml version='1.0' encoding='US-ASCII'?>\n<!DOCTYPE x>\n<html xmlns:ix='urn:ix' xmlns:us='urn:us'><body>"
      "<ix:nonFraction name='us:Rev' contextRef='c' unitRef='u' decimals='0'>1<span> 234 </span></ix:nonFraction>"
      "<ix:nonNumeric name='us:Note' contextRef='c'/><a contextRef='c'>1<b contextRef='c'>2</b><i>3</i></a>"
      "</body></html>";
  const auto doc = parse_ok(src);
  ASSERT_EQ(doc.facts.size(), 3U);
  EXPECT_EQ(slice(src, doc.facts[1]), "<ix:nonNumeric name='us:Note' contextRef='c'/>");
  // Plain facts do not nest: the inner element is text of the outer one.
  EXPECT_EQ(slice(src, doc.facts[2]), "<a contextRef='c'>1<b contextRef='c'>2</b><i>3</i></a>");
  EXPECT_EQ(texts_of(doc), (Texts{"numeric:1234", "text:", "text:123"}));
  EXPECT_EQ(parse_ok("\xEF\xBB\xBF" + src).facts, doc.facts);
  // Text pieces are trimmed and joined, whatever splits them.
  EXPECT_EQ(texts_of(parse_ok("<x><p contextRef='c'>Hello <b> big </b>\n world&#xA0;<!-- c --> &amp; "
                              "<![CDATA[ <raw> ]]></p></x>")),
            (Texts{"text:Hellobigworld&<raw>"}));
}

TEST(Parser, PrefixesResolveInTheirOwnElementAmongManyAndAfterEveryRebinding) {
  // A binding on the fact's own element, an empty prefix, the default namespace
  // (a plain name takes it, an inline one not); more prefixes than a lookup
  // remembers and names than the cache holds; rebinding right after a lookup.
  const std::size_t prefixes = 40, names = 600;
  std::string src = "<r xmlns='urn:d'";
  for (std::size_t i = 0; i < prefixes; ++i) src += " xmlns:p" + std::to_string(i) + "='urn:" + std::to_string(i) + "'";
  src += "><p:a xmlns:p='urn:a' contextRef='c'/><:e contextRef='c'/><ix:nonNumeric name='f' contextRef='c'/>";
  std::deque<std::string> texts;  // what the expected names view
  std::vector<QName> expected{{"a", "urn:a", "p"}, {"e", std::nullopt, ""}, {"f", std::nullopt, std::nullopt}};
  const auto fact = [&](const std::string& prefix, const std::string& local, std::optional<std::string> uri) {
    src += prefix.empty() ? "<" + local + " contextRef='c'/>"
                          : "<ix:nonNumeric name='" + prefix + ":" + local + "' contextRef='c'/>";
    const std::string& kept_uri = texts.emplace_back(uri.value_or(""));
    expected.push_back(QName{texts.emplace_back(local), uri ? std::optional<SharedString>(kept_uri) : std::nullopt,
                             prefix.empty() ? std::nullopt : std::optional<std::string_view>(texts.emplace_back(prefix))});
  };
  fact("p", "b", std::nullopt);
  for (std::size_t i = 0; i < 3 * names; ++i) {
    const std::string local = "Concept" + std::to_string(i * 7919 % names) + (i % 2 ? "WithALongerTail" : "");
    const std::string k = std::to_string(i * 7 % prefixes);
    fact(i % 3 == 2 ? "" : "p" + k, local, i % 3 == 2 ? "urn:d" : "urn:" + k);
  }
  fact("p3", "a", "urn:3");
  src += "<div xmlns:p3='urn:new'>";
  fact("p4", "b", "urn:4");
  src += "<span xmlns:p4='urn:newer'/>";
  fact("p4", "c", "urn:4");
  fact("p3", "d", "urn:new");
  src += "</div>";
  fact("p3", "e", "urn:3");
  fact("zz", "f", std::nullopt);
  fact("zz", "g", std::nullopt);
  const auto doc = parse_ok(src + "</r>");
  ASSERT_EQ(doc.facts.size(), expected.size());
  for (std::size_t k = 0; k < expected.size(); ++k) ASSERT_EQ(doc.facts[k].concept_name, expected[k]) << k;
}

TEST(Parser, AttributesDecodedOnTheirOwnNamesAndCopiedAsWritten) {
  // xlink:href is found under href unless a bare href came first; a later full name wins over an earlier one.
  const auto refs = parse_ok(
      "<x><schemaRef xlink:href='a.xsd'/><schemaRef href='b.xsd' xlink:href='c.xsd'/>"
      "<schemaRef other:href='d.xsd' href='e.xsd'/><schemaRef xlink:href='f' xlink:href='g'/><schemaRef/></x>");
  EXPECT_EQ(refs.schema_refs, (Texts{"a.xsd", "b.xsd", "e.xsd", "f"}));
  // Declarations leave the list while the escaped values around them are decoded.
  const auto doc = parse_ok(
      "<x><ix:nonFraction xmlns:a='urn:a&amp;1' id='f&lt;1' name='a:R&amp;D' xmlns:z='urn:z' contextRef='c&amp;1' "
      "unitRef='u' format='ixt:num&#45;dot' decimals='-3' xml:lang='en' scale='6' sign='-' target='t' "
      "continuedAt='k'>5</ix:nonFraction><g xmlns='urn:d&quot;' contextRef='k' id='&#103;' lang='fr' xml:lang='de'>1</g>"
      "<ix:hidden><ix:nonFraction name='h' contextRef='c'>1</ix:nonFraction></ix:hidden></x>");
  ASSERT_EQ(doc.facts.size(), 3U);
  const RawFact& f = doc.facts[0];
  EXPECT_EQ(f.id, "f<1");
  EXPECT_EQ(f.concept_name, (QName{"R&D", "urn:a&1", "a"}));
  EXPECT_EQ(f.context_ref, "c&1");
  EXPECT_EQ(f.unit_ref, "u");
  EXPECT_EQ(f.decimals, Accuracy::of(-3));
  EXPECT_EQ(f.lang, "en");
  EXPECT_EQ(*f.inline_meta, (InlineMeta{"ixt:num-dot", "-", "t", "k", 6, false}));
  EXPECT_EQ(doc.facts[1].concept_name, (QName{"g", "urn:d\"", std::nullopt}));
  EXPECT_EQ(doc.facts[1].id, "g");
  EXPECT_EQ(doc.facts[1].lang, "fr");  // the bare name came first
  EXPECT_TRUE(doc.facts[2].inline_meta->hidden);
}

TEST(Parser, ReferencesAreFoundAfterRunsOfEveryLength) {
  // A reference after a run of any length is still decoded in a fact, and
  // still checked on markup the parser otherwise passes over.
  for (std::size_t k = 0; k <= 40; ++k) {
    SCOPED_TRACE(k);
    const std::string run(k, 'y');
    const auto doc = parse_ok("<x><ix:nonNumeric name='n' contextRef='c" + run + "&amp;'>" + run + "&lt;z</ix:nonNumeric></x>");
    ASSERT_EQ(doc.facts.size(), 1U);
    EXPECT_EQ(doc.facts[0].context_ref, "c" + run + "&");
    EXPECT_EQ(text_of(doc.facts[0]), "text:" + run + "<z");
    EXPECT_EQ(parse_error("<x><p class='" + run + "&bad;'>t</p></x>"),
              "XML error: unknown entity &bad; at byte " + std::to_string(13 + k));
    EXPECT_EQ(parse_error("<x><p>" + run + "&bad;</p></x>"),
              "XML error: unknown entity &bad; at byte " + std::to_string(6 + k));
  }
}

TEST(Parser, ValueKindsAndNil) {
  const auto doc = parse_ok(
      "<x><a contextRef='c'>t</a><b contextRef='c' unitRef='u'>1</b><c contextRef='c' decimals='INF'>2</c>"
      "<d contextRef='c' precision='3'>3</d><ix:nonNumeric name='n' contextRef='c' unitRef='u'>4</ix:nonNumeric>"
      "<ix:nonFraction name='n' contextRef='c'>6</ix:nonFraction><ix:nonFraction contextRef='c'>7</ix:nonFraction>"
      "<a contextRef='c' xsi:nil='true'>x</a><a contextRef='c' nil='1'>x</a><a contextRef='c' xsi:nil='TRUE'>x</a></x>");
  EXPECT_EQ(texts_of(doc), (Texts{"text:t", "numeric:1", "numeric:2", "numeric:3", "numeric:4", "numeric:6",
                                  "text:7", "nil", "nil", "text:x"}));
  EXPECT_EQ(doc.facts[2].decimals, Accuracy::infinite());
  EXPECT_EQ(doc.facts[3].precision, Accuracy::of(3));
  // An inline element without a name is a plain fact named by its tag.
  EXPECT_EQ(doc.facts[6].concept_name.to_string(), "ix:nonFraction");
  EXPECT_FALSE(doc.facts[6].inline_meta.has_value());
}

TEST(Parser, NestedFactsAreListedInClosingOrderAndUnclosedOnesDropped) {
  const std::string nn = "<ix:nonNumeric contextRef='c' name='";
  const std::string nf = "<ix:nonFraction contextRef='c' name='";
  const std::string src = "<r>" + nn + "o'>a" + nf + "i1'>1<i>2</i></ix:nonFraction>" + nn + "i2'>b" + nf +
                          "g'>2</ix:nonFraction>c</ix:nonNumeric>d" + nf + "i3'>3</ix:nonFraction></ix:nonNumeric>" +
                          nf + "s'>4</ix:nonFraction>" + nn + "t'>" + nn + "u'>" + nn + "v'>5</ix:nonNumeric>" +
                          "</ix:nonNumeric></ix:nonNumeric></r>";
  const auto doc = parse_ok(src);
  EXPECT_EQ(texts_of(doc, true), (Texts{"i1=numeric:12", "g=numeric:2", "i2=text:b2c", "i3=numeric:3", "o=text:a12b2cd3",
                          "s=numeric:4", "v=text:5", "u=text:5", "t=text:5"}));
  EXPECT_EQ(slice(src, doc.facts[1]), nf + "g'>2</ix:nonFraction>");
  EXPECT_EQ(slice(src, doc.facts[2]), nn + "i2'>b" + nf + "g'>2</ix:nonFraction>c</ix:nonNumeric>");

  // Facts still open at the end of the input are dropped; those that closed inside them stay.
  const auto closed = [&](const std::string& tail) { return texts_of(parse_ok("<r>" + tail), true); };
  EXPECT_EQ(closed(nn + "o'>a"), Texts{});
  EXPECT_EQ(closed(nn + "o'>a" + nf + "i'>1</ix:nonFraction>" + nn + "j'>b"), (Texts{"i=numeric:1"}));
  EXPECT_EQ(closed(nn + "o'>a" + nn + "j'>b" + nf + "k'>1</ix:nonFraction>x"), (Texts{"k=numeric:1"}));
  EXPECT_EQ(closed(nn + "o'>" + nn + "j'>" + nf + "k'>1</ix:nonFraction></ix:nonNumeric>" + nf + "m'>2"),
            (Texts{"k=numeric:1", "j=text:1"}));
}

TEST(Parser, ContinuationChainsLoopsAndSharedLinks) {
  const auto doc = parse_ok(
      "<x><ix:nonNumeric name='a' contextRef='c' continuedAt='c1'>A</ix:nonNumeric>"
      "<ix:nonNumeric name='b' contextRef='c' continuedAt='c2'>X</ix:nonNumeric>"
      "<ix:nonNumeric name='d' contextRef='c' continuedAt='c1' decimals='0'>1</ix:nonNumeric>"
      "<ix:nonNumeric name='e' contextRef='c' continuedAt='none'>E</ix:nonNumeric>"
      "<ix:nonNumeric name='m' contextRef='c' continuedAt='m1'>M</ix:nonNumeric>"
      "<ix:nonNumeric name='n' contextRef='c' continuedAt='c1' xsi:nil='true'/>"
      "<ix:nonNumeric name='i' contextRef='c' continuedAt='k'>I<ix:continuation id='k'>J</ix:continuation>K</ix:nonNumeric>"
      "<ix:continuation id='c1' continuedAt='c2'> B <b>b</b> </ix:continuation>"
      "<ix:continuation id='c2' continuedAt='c3'>C</ix:continuation>"
      "<ix:continuation id='c3' continuedAt='c1'>D</ix:continuation>"
      "<ix:continuation id='m1' continuedAt='gone'>Y</ix:continuation><ix:continuation>no id</ix:continuation></x>");
  EXPECT_EQ(texts_of(doc), (Texts{"text:ABbCD", "text:XCDBb", "numeric:1BbCD", "text:E", "text:MY", "nil",
                                  "text:IJKJ"}));
}

TEST(Parser, FootnotesLinkedThroughLocatorsAndArcsAndNotParsedInside) {
  const auto doc = parse_ok(
      "<x><link:footnoteLink><link:loc xlink:label='L' xlink:href='doc.htm#f1'/>"
      "<link:loc xlink:label='L2' xlink:href='doc.htm#f2'/><link:loc xlink:label='L2' xlink:href='doc.htm#f3'/>"
      "<link:loc xlink:label='N' xlink:href='no-hash'/>"
      "<link:footnote xlink:label='N' id='fn' xlink:role='r' xml:lang='en'>See <b>note</b> &amp; more </link:footnote>"
      "<link:footnote>unlabelled</link:footnote><link:footnote xlink:label='E'/>"
      "<link:footnoteArc xlink:from='L' xlink:to='N'/><link:footnoteArc xlink:from='L2' xlink:to='N'/>"
      "<link:footnoteArc xlink:from='missing' xlink:to='N'/><link:footnoteArc xlink:from='L'/>"
      "<link:footnoteArc xlink:from='L' xlink:to='E'/></link:footnoteLink>"
      "<ix:footnote id='n'><f contextRef='c'>1</f>&unknown;<b x/></ix:footnote><g contextRef='c'>2</g></x>");
  ASSERT_EQ(doc.footnotes.size(), 4U);
  EXPECT_EQ(doc.footnotes[0], (Footnote{"See <b>note</b> &amp; more ", {"f1", "f3"}, "fn", "r", "en"}));
  EXPECT_EQ(doc.footnotes[1], (Footnote{"unlabelled", {}, std::nullopt, std::nullopt, std::nullopt}));
  EXPECT_EQ(doc.footnotes[2], (Footnote{"", {"f1"}, std::nullopt, std::nullopt, std::nullopt}));
  EXPECT_EQ(doc.footnotes[3].content, "<f contextRef='c'>1</f>&unknown;<b x/>");
  EXPECT_EQ(texts_of(doc), (Texts{"text:2"}));
}

TEST(Parser, ContextsPeriodsAndMembersTakingNothingFromTheContextBefore) {
  const std::string entity = "<entity><identifier scheme='urn:s'> 123 </identifier></entity>";
  const std::string forever = "<period><forever/></period></context>";
  const auto doc = parse_ok(
      "<xbrl xmlns='urn:default' xmlns:d='urn:dim' xmlns:m='urn:mem'>"
      "<context id='i'>" + entity + "<period><instant>2020-12-31</instant></period></context>"
      "<context id='d'>" + entity + "<period><startDate>2020-01-01</startDate><endDate>2020-12-31</endDate></period></context>"
      "<context id='b'>" + entity + "<period><startDate>1</startDate><endDate>2</endDate><instant>3</instant></period></context>"
      "<context id='g'>" + entity + forever +
      "<context id='n'><entity><identifier>1</identifier></entity>" + forever +
      "<context id='g'><entity><identifier scheme='y'><b/> later </identifier></entity>" + forever +
      "<context><entity><identifier scheme='x'>no id</identifier></entity>" + forever +
      "<context id='m'><entity><identifier scheme='s'>1</identifier>"
      "<explicitMember dimension='d:Outside'>m:X</explicitMember>"
      "<segment><explicitMember dimension='d:A'> m:One </explicitMember>"
      "<typedMember dimension='d:T'><d:v a='1'>&amp; x</d:v> </typedMember>"
      "<explicitMember>m:NoDim</explicitMember><typedMember dimension='d:E'/></segment></entity>"
      "<period><instant>2020</instant></period>"
      "<scenario><explicitMember dimension='d:S' xmlns:m='urn:other'>m:Three</explicitMember></scenario></context>"
      "<context id='t'><entity><identifier scheme='s'/><ix:nonFraction name='a' contextRef='c'>5</ix:nonFraction> tail "
      "</entity>" + forever +
      "<f contextRef='c'><context id='x'><entity><identifier scheme='s'>1</identifier></entity>" + forever + "</f>"
      // Dropped for want of an end date, after gathering members, a scheme and a start date.
      "<context id='start'><entity><identifier scheme='urn:a'>A</identifier><segment>"
      "<explicitMember dimension='d:X'>m:One</explicitMember><typedMember dimension='d:T'>t</typedMember>"
      "</segment></entity><period><startDate>2020-01-01</startDate></period>"
      "<scenario><explicitMember dimension='d:S'>m:Two</explicitMember></scenario></context>"
      "<context id='end'><entity><identifier scheme='urn:a'>A</identifier></entity>"
      "<period><endDate>2020-12-31</endDate></period></context>"
      "<context id='c'><entity><identifier scheme='urn:a'>A</identifier></entity>"
      "<period><instant>2020-12-31</instant></period></context>"
      "<context id='e'><entity><identifier scheme='urn:a'/></entity>" + forever +
      // Entities that change and come back.
      "<context id='f'><entity><identifier scheme='urn:b'>B</identifier></entity>" + forever +
      "<context id='h'><entity><identifier scheme='urn:a'>B</identifier></entity>" + forever +
      // A context opened inside another replaces it; the outer one ends as nothing.
      "<context id='outer'><entity><identifier scheme='urn:a'>A</identifier><segment>"
      "<explicitMember dimension='d:Z'>m:Four</explicitMember>"
      "<context id='inner'><entity><identifier scheme='urn:c'>C</identifier></entity>" + forever +
      "</segment></entity>" + forever + "</xbrl>");
  // n has no scheme, t no identifier text (the fact took it), e none at all, x is
  // inside a fact, end has only an end date, though the one before had each.
  Texts ids;
  for (const Context& context : doc.contexts) ids.push_back(context.id);
  EXPECT_EQ(ids, (Texts{"b", "c", "d", "f", "g", "h", "i", "inner", "m"}));
  EXPECT_EQ(doc.contexts.find("i")->period, Period(Instant{"2020-12-31"}));
  EXPECT_EQ(doc.contexts.find("i")->entity, (Entity{"urn:s", "123"}));
  EXPECT_EQ(doc.contexts.find("d")->period, Period(Duration{"2020-01-01", "2020-12-31"}));
  EXPECT_EQ(doc.contexts.find("b")->period, Period(Instant{"3"}));
  EXPECT_EQ(doc.contexts.find("g")->entity, (Entity{"y", "later"}));  // a later id replaces; text waits past <b/>
  const Context& c = *doc.contexts.find("m");
  EXPECT_EQ(c.segment, (std::vector<ContextElement>{ExplicitMember{{"A", "urn:dim", "d"}, {"One", "urn:mem", "m"}},
                                                    TypedMember{{"T", "urn:dim", "d"}, "<d:v a='1'>&amp; x</d:v> "},
                                                    TypedMember{{"E", "urn:dim", "d"}, ""}}));
  EXPECT_EQ(c.scenario,
            (std::vector<ContextElement>{ExplicitMember{{"S", "urn:dim", "d"}, {"Three", "urn:other", "m"}}}));
  EXPECT_EQ(*doc.contexts.find("c"), (Context{"c", Entity{"urn:a", "A"}, {}, {}, Instant{"2020-12-31"}}));
  EXPECT_EQ(doc.contexts.find("f")->entity, (Entity{"urn:b", "B"}));
  EXPECT_EQ(doc.contexts.find("h")->entity, (Entity{"urn:a", "B"}));
  EXPECT_EQ(*doc.contexts.find("inner"), (Context{"inner", Entity{"urn:c", "C"}, {}, {}, Forever{}}));
  EXPECT_EQ(texts_of(doc), (Texts{"numeric:5", "text:1"}));
}

TEST(Parser, SimpleAndDividedUnits) {
  const auto doc = parse_ok(
      "<xbrl xmlns:m='urn:mem'><unit id='u2'><measure>m:Replaced</measure></unit>"
      "<unit id='u1'><measure>iso4217:EUR</measure><measure>pure</measure></unit>"
      "<unit id='u2'><divide><unitNumerator><measure>m:A</measure></unitNumerator>"
      "<unitDenominator><measure>m:B</measure><measure>m:C</measure></unitDenominator></divide></unit>"
      "<unit><measure>ignored</measure></unit><unit id='U0'><measure>m:A</measure></unit></xbrl>");
  // Byte-wise id order; the later u2 replaces the earlier one.
  Texts ids;
  for (const Unit& unit : doc.units) ids.push_back(unit.id);
  ASSERT_EQ(ids, (Texts{"U0", "u1", "u2"}));
  EXPECT_EQ(*doc.units.find("u1"),
            (Unit{"u1", {{"EUR", std::nullopt, "iso4217"}, {"pure", std::nullopt, std::nullopt}}, {}}));
  EXPECT_EQ(*doc.units.find("u2"), (Unit{"u2", {{"A", "urn:mem", "m"}}, {{"B", "urn:mem", "m"}, {"C", "urn:mem", "m"}}}));
}

// Every message of the core library but normalization's three (normalize_test's).
TEST(Messages, EveryErrorMessageExactly) {
  const std::string kXml = "XML error: ", kAttribute = "XML attribute error: ", kParse = "XML parse error at byte ";
  const std::pair<std::string, std::string> parsed[] = {
      {"<", kXml + "unexpected end of input after '<' at byte 0"},
      {"<a></a", kXml + "unexpected end of input inside end tag at byte 3"},
      {"<a></>", kXml + "empty end tag name at byte 3"},
      {"<a></b>", kXml + "mismatched end tag: expected </a>, found </b> at byte 3"},
      {"<abcdefghi></abcdefghI>", kXml + "mismatched end tag: expected </abcdefghi>, found </abcdefghI> at byte 11"},
      {"<p:bcdefghijklmnopq></p:bcdefghijklmnopQ>x",
       kXml + "mismatched end tag: expected </p:bcdefghijklmnopq>, found </p:bcdefghijklmnopQ> at byte 20"},
      {"<a><!-- x", kXml + "unterminated comment at byte 3"},
      {"<a><![CDATA[x]>", kXml + "unterminated CDATA section at byte 3"},
      {"<?xml version='1.0'", kXml + "unterminated processing instruction at byte 0"},
      {"<!DOCTYPE a [<!ENTITY e '>'>", kXml + "unterminated DOCTYPE at byte 0"},
      {"<!ELEMENT a ANY>", kXml + "unsupported markup declaration at byte 0"},
      {"< a/>", kXml + "empty element name at byte 0"}, {"<a x='1'", kXml + "unexpected end of input inside tag at byte 0"},
      {"<a x='1>", kXml + "unexpected end of input inside attribute value at byte 5"},
      {"<x><footnote>text", kXml + "unexpected end of input before </footnote> closing the element opened at byte 3"},
      {"<a ='1'/>", kAttribute + "expected an attribute name at byte 3"},
      {"<a x='1'y='2'/>", kAttribute + "missing white space before attribute y at byte 8"},
      {"<a x/>", kAttribute + "attribute x has no '=' at byte 4"},
      {"<a b=c/>", kAttribute + "attribute b has no quoted value at byte 5"},
      {"<a b\"c=\"x>\" d>", kAttribute + "unterminated value of attribute b\"c at byte 7"},
      {"<a x='&bad;' y/>", kXml + "unknown entity &bad; at byte 6"},  // a value's fault comes first
      {"<a>&nbsp;</a>", kXml + "unknown entity &nbsp; at byte 3"},
      {"<a>a & b</a>", kXml + "bare '&' not followed by an entity name at byte 5"},
      {"<a>&amp</a>", kXml + "entity reference without ';' at byte 3"},
      {"<a>&#xD800;</a>", kXml + "invalid character reference &#xD800; at byte 3"},
      {"<a>&#X41;</a>", kXml + "malformed character reference at byte 3"},
      {"<a>\xC3(</a>", kParse + "Some(3): invalid utf-8 sequence of 1 bytes from index 3"},
      {"\xEF\xBB\xBF<a>\xE2\x82", kParse + "Some(6): incomplete utf-8 byte sequence from index 6"},
      {"<x/></x>", kParse + "None: unexpected closing tag x"},
      {"<x><f contextRef='c' decimals='inf'/></x>", kParse + "None: invalid decimals value: inf"},
      {"<x><f contextRef='c' decimals='2147483648'/></x>", kParse + "None: invalid decimals value: 2147483648"},
      {"<x><f contextRef='c' precision='-0'/></x>", kParse + "None: invalid precision value: -0"},
      {"<x><ix:nonFraction name='a' contextRef='c' scale='29'/></x>",
       kParse + "None: scale value 29 out of supported range [-28, 28]"},
      {"<x><ix:nonFraction name='a' contextRef='c' scale='-2147483648'/></x>",
       kParse + "None: scale value -2147483648 out of supported range [-28, 28]"},
      {"<x><ix:nonFraction name='a' contextRef='c' scale='2147483648'/></x>",
       kParse + "None: invalid scale value: 2147483648"},
      {"<x><ix:nonFraction name='a' contextRef='c' scale='3.0'/></x>", kParse + "None: invalid scale value: 3.0"},
      {"<x><unit id='u'><measure/></unit></x>p:m", kParse + "None: missing namespace scope"},
      {"<a>" + repeat("&", 200000) + "</a>", kXml + "bare '&' not followed by an entity name at byte 3"},
      {repeat("<!--", 50000), kXml + "unterminated comment at byte 0"},
      {"<a>&#" + std::string(200000, '0') + "65;</a>", "parsed"}, {"<a x='" + std::string(200000, '<') + "'/>", "parsed"},
  };
  for (const auto& [input, message] : parsed) EXPECT_EQ(parse_error(input), message) << input.substr(0, 80);
  // Below the up-front UTF-8 check, and the kinds no operation raises.
  const std::pair<XbrlError, const char*> direct[] = {
      {detail::cdata_text("a\xFF", 57).error(),
       "XML parse error at byte Some(57): invalid UTF-8 in CDATA: invalid utf-8 sequence of 1 bytes from index 1"},
      {detail::unexpected_closing_tag("a\xC0"), "XML parse error at byte None: unexpected closing tag <non-utf8>"},
      {XbrlError::unsupported_transform("ixt:x"), "unsupported inline transform: ixt:x"},
      {XbrlError::ixds_conflict("target", "t1"), "conflicting target 't1' across IXDS members"},
      {XbrlError::not_implemented("x"), "not implemented: x"},
      {XbrlError::io("No such file"), "I/O error: No such file"},
  };
  for (const auto& [error, message] : direct) EXPECT_EQ(error.render(), message);
}

// The pieces shown while parsing make up the whole input, a byte-order mark
// and whatever follows the root included, each but the last a multiple of
// the grain; a parse that fails shows no more than it read.
TEST(Parser, PiecesShownMakeUpTheInput) {
  struct Joined final : InputPieces {
    explicit Joined(std::size_t grain) : InputPieces(grain) {}
    std::string text;
    bool whole_grains = true;
    void take(std::string_view piece) override {
      whole_grains = whole_grains && text.size() % grain() == 0;
      text.append(piece);
    }
  };
  const std::string body = "<xbrl><context id='c'><entity><segment><typedMember dimension='d'><v>" +
                           repeat("<w>1</w>", 500) + "</v></typedMember></segment></entity></context>" +
                           repeat("<f contextRef='c'>12</f><!-- note -->", 300) + "</xbrl>";
  for (const std::size_t grain : {std::size_t{1}, std::size_t{64}, std::size_t{1} << 17}) {
    for (const std::string& input : {body, "\xEF\xBB\xBF" + body + "\n<!-- after -->\n  ", std::string("<a/>")}) {
      Joined joined(grain);
      ASSERT_TRUE(parse_instance(input, &joined).has_value());
      EXPECT_EQ(joined.text, input) << grain;
      EXPECT_TRUE(joined.whole_grains) << grain;
    }
    Joined failed(grain);
    const std::string broken = body + "<oops";
    EXPECT_FALSE(parse_instance(broken, &failed).has_value());
    EXPECT_TRUE(std::string_view(broken).starts_with(failed.text));
    EXPECT_LT(failed.text.size(), broken.size());
  }
}

TEST(ParserHostile, DeepNestingUsesNoStack) {
  const std::string open = repeat("<a>", 100000), close = repeat("</a>", 100000);
  EXPECT_TRUE(parse_instance(open + close).has_value());
  EXPECT_TRUE(parse_instance(open).has_value());  // stopping deep inside is not an error
  EXPECT_TRUE(parse_instance("<context id='c'><typedMember dimension='d'>" + open + close + "</typedMember></context>"));
  const std::string in_fact = "<f contextRef='c'>" + open + "x" + close + "</f>";
  const auto parsed = parse_ok(in_fact);
  ASSERT_EQ(parsed.facts.size(), 1U);
  EXPECT_EQ(parsed.facts[0].byte_range->second, in_fact.size());
}

TEST(ParserHostile, NestedInlineFactsShareOneTextAndChainsAreWalkedOnce) {
  const std::size_t n = 5000;
  const std::string text(200000, 'x');
  const auto nested = parse_ok("<r>" + repeat("<ix:nonNumeric name='a' contextRef='c'>", n) + text +
                               repeat("</ix:nonNumeric>", n) + "</r>");
  ASSERT_EQ(nested.facts.size(), n);
  // n facts cost one copy of the text, not n.
  const char* shared = std::get<NonNumericText>(nested.facts[0].value).text.data();
  for (const auto& f : nested.facts) {
    const auto& t = std::get<NonNumericText>(f.value).text;
    ASSERT_TRUE(t.data() == shared && t.size() == text.size());
  }
  // 20000 facts start the same chain of 20000 links.
  const std::size_t links = 20000;
  std::string doc = "<r>" + repeat("<ix:nonNumeric name='a' contextRef='c' continuedAt='k0'>t</ix:nonNumeric>", links);
  for (std::size_t i = 0; i < links; ++i) {
    doc += "<ix:continuation id='k" + std::to_string(i) + "' continuedAt='k" + std::to_string(i + 1) + "'>" +
           (i + 1 == links ? "end" : "") + "</ix:continuation>";
  }
  const auto chained = parse_ok(doc + "</r>");
  ASSERT_EQ(chained.facts.size(), links);
  for (const auto& f : chained.facts) ASSERT_EQ(std::get<NonNumericText>(f.value).text, "tend");
}

TEST(ParserHostile, AMillionAttributesAndTenThousandPrefixes) {
  const std::size_t n = 1000000;
  std::string doc = "<r><f contextRef='c'";
  doc.reserve(n * 16);
  for (std::size_t i = 0; i < n; ++i) doc += " p:a" + std::to_string(i) + "='v'";
  const auto parsed = parse_ok(doc + " id='last'>1</f></r>");
  ASSERT_EQ(parsed.facts.size(), 1U);
  EXPECT_EQ(parsed.facts[0].id, "last");
  // The same prefixed name a million times: the local part keeps the first value.
  const auto again = parse_ok("<r><f contextRef='c'" + repeat(" x:id='a'", n) + " x:id='b'>1</f></r>");
  EXPECT_EQ(again.facts.at(0).id, "a");
  // A million attributes before a malformed one: its fault is found all the same.
  EXPECT_EQ(parse_error("<r><f contextRef='c'" + repeat(" x:id='a'", n) + " y>1</f></r>"),
            "XML attribute error: attribute y has no '=' at byte " + std::to_string(22 + 9 * n));

  std::string prefixes = "<r";
  for (std::size_t i = 0; i < 10000; ++i) prefixes += " xmlns:p" + std::to_string(i) + "='urn:" + std::to_string(i) + "'";
  const auto scoped = parse_ok(prefixes + ">" + repeat("<p9999:e/>", n) +
                               "<p5:fact contextRef='c' xmlns:p5='urn:shadow'>1</p5:fact><p5:fact contextRef='c'>2</p5:fact></r>");
  ASSERT_EQ(scoped.facts.size(), 2U);
  EXPECT_EQ(scoped.facts[0].concept_name.namespace_uri, "urn:shadow");
  EXPECT_EQ(scoped.facts[1].concept_name.namespace_uri, "urn:5");
}

TEST(TrimUnicodeWhiteSpace, EveryCharacterAtEitherEndBesideMultiByteText) {
  // Every character, twice at the start and once at the end of a text ending in
  // multi-byte characters, goes exactly when it is white space.
  const std::string inner = "\xC3\xA9 x \xF0\x9F\x98\x80";  // U+00E9 ... U+1F600
  int white = 0;
  for (char32_t c = 0; c <= 0x10FFFF; ++c) {
    if (c >= 0xD800 && c <= 0xDFFF) continue;
    const std::string e = encode_utf8(c);
    const std::string text = e + e + inner + e;
    const std::string_view trimmed = trim_unicode_white_space(text);
    if (is_unicode_white_space(c)) {
      ++white;
      ASSERT_EQ(trimmed, inner) << std::hex << static_cast<std::uint32_t>(c);
      ASSERT_TRUE(is_blank(e + e)) << std::hex << static_cast<std::uint32_t>(c);
    } else {
      ASSERT_EQ(trimmed, text) << std::hex << static_cast<std::uint32_t>(c);
    }
  }
  EXPECT_EQ(white, 25);
  EXPECT_FALSE(is_blank("\xEF\xBB\xBF"));  // a byte-order mark is not white space
  // A stray byte stays at either end, even beside bytes that would decode as white space.
  EXPECT_EQ(trim_unicode_white_space(" \xC3" "a\xA0\t"), "\xC3" "a\xA0");
  EXPECT_EQ(trim_unicode_white_space("\x80\xE3\x80\x80"), "\x80");      // U+3000 after a stray byte
  EXPECT_EQ(trim_unicode_white_space("\xE3\x80\x80\x80"), "\x80");      // a continuation past U+3000
  EXPECT_EQ(trim_unicode_white_space("\xE3\x80"), "\xE3\x80");          // U+3000 cut short
  EXPECT_EQ(trim_unicode_white_space("\xE2\x80\xA8\xE2\x80\xA9"), "");  // U+2028, U+2029 alone
  EXPECT_EQ(trim_unicode_white_space(""), "");
}

TEST(ValidateUtf8, FirstInvalidSequenceAndItsLength) {
  EXPECT_FALSE(validate_utf8("plain ascii that is longer than sixteen bytes, twice over"));
  EXPECT_FALSE(validate_utf8("\xC2\xA0\xE2\x82\xAC\xF0\x9F\x98\x80\xED\x9F\xBF\xEE\x80\x80\xF4\x8F\xBF\xBF"));
  struct Case {
    std::string text;
    std::size_t index;
    std::optional<std::size_t> length;
  };
  const Case cases[] = {
      {"ab\x80", 2, 1},           {"\xC0\x80", 0, 1},          {"\xE0\x80\x80", 0, 1},  // overlong
      {"\xED\xA0\x80", 0, 1},     {"\xE2\x82(", 0, 2},         {"\xF4\x90\x80\x80", 0, 1},
      {"\xF0\x9F\x98(", 0, 3},    {"\xF5\x80", 0, 1},          {"0123456789abcdefgh\xFF", 18, 1},
      {"x\xE2\x82", 1, std::nullopt},  // the text ends inside a sequence
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    const auto err = validate_utf8(c.text);
    ASSERT_TRUE(err.has_value());
    EXPECT_EQ(*err, (Utf8Error{c.index, c.length}));
  }
  // At every position of texts around the widths read at once: a fault is found
  // where it is, a valid character never, a sequence cut by the end is incomplete.
  for (const std::size_t size : {15, 16, 17, 63, 64, 65, 127, 128, 129, 200}) {
    for (std::size_t at = 0; at < size; ++at) {
      SCOPED_TRACE(std::to_string(size) + "/" + std::to_string(at));
      std::string text(size, 'a');
      text[at] = '\xFF';
      ASSERT_EQ(validate_utf8(text), (Utf8Error{at, 1}));
      text[at] = '\x80';
      ASSERT_EQ(validate_utf8(text), (Utf8Error{at, 1}));
      text.replace(at, 1, "\xE2\x82\xAC");
      ASSERT_FALSE(validate_utf8(text));
      text.resize(at + 2);
      ASSERT_EQ(validate_utf8(text), (Utf8Error{at, std::nullopt}));
    }
  }
}

TEST(AccuracyAttributes, AcceptedValues) {
  EXPECT_EQ(*parse_decimals("INF"), Accuracy::infinite());
  EXPECT_EQ(*parse_decimals("-0"), Accuracy::of(0));
  EXPECT_EQ(*parse_decimals("-2147483648"), Accuracy::of(-2147483648LL));
  EXPECT_EQ(*parse_precision("+4294967295"), Accuracy::of(4294967295LL));
  EXPECT_EQ(*parse_ix_scale("-28"), -28);
  EXPECT_EQ(*parse_ix_scale("+28"), 28);
}
