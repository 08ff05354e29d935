// The instance parser: byte ranges, text, namespaces, attributes, facts,
// continuations, footnotes, contexts, units, errors, and hostile input
// (nothing crashes, recurses or grows faster than the input).

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "../src/instance_parser.hpp"
#include "quorrel/core/parser.hpp"

using namespace quorrel::core;

namespace {

InstanceDocument parse_ok(std::string_view bytes) {
  auto doc = parse_instance(bytes);
  if (!doc) {
    ADD_FAILURE() << "parse failed: " << doc.error().render();
    return {};
  }
  return std::move(*doc);
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

std::vector<std::string> texts_of(const InstanceDocument& doc) {
  std::vector<std::string> out;
  for (const RawFact& f : doc.facts) out.push_back(text_of(f));
  return out;
}

std::string slice(std::string_view source, const RawFact& f) {
  if (!f.byte_range) return "<no range>";
  return std::string(source.substr(f.byte_range->first, f.byte_range->second - f.byte_range->first));
}

std::string repeat(std::string_view piece, std::size_t n) {
  std::string s;
  s.reserve(piece.size() * n);
  for (std::size_t i = 0; i < n; ++i) s += piece;
  return s;
}

using Texts = std::vector<std::string>;

}  // namespace

TEST(Parser, ByteRangesCoverExactlyTheFactElementAfterAnyByteOrderMark) {
  const std::string src =
      "\n<?xml version='1.0' encoding='US-ASCII'?>\n<!DOCTYPE x>\n<html xmlns:ix='urn:ix' xmlns:us='urn:us'><body>"
      "<ix:nonFraction name='us:Rev' contextRef='c' unitRef='u' decimals='0'>1<span> 234 </span></ix:nonFraction>"
      "<ix:nonNumeric name='us:Note' contextRef='c'/><a contextRef='c'>1<b contextRef='c'>2</b><i>3</i></a>"
      "</body></html>";
  const auto doc = parse_ok(src);
  ASSERT_EQ(doc.facts.size(), 3U);
  EXPECT_EQ(slice(src, doc.facts[0]),
            "<ix:nonFraction name='us:Rev' contextRef='c' unitRef='u' decimals='0'>1<span> 234 </span></ix:nonFraction>");
  EXPECT_EQ(slice(src, doc.facts[1]), "<ix:nonNumeric name='us:Note' contextRef='c'/>");
  // Plain facts do not nest: the inner element is text of the outer one.
  EXPECT_EQ(slice(src, doc.facts[2]), "<a contextRef='c'>1<b contextRef='c'>2</b><i>3</i></a>");
  EXPECT_EQ(texts_of(doc), (Texts{"numeric:1234", "text:", "text:123"}));
  const auto marked = parse_ok("\xEF\xBB\xBF" + src);
  for (std::size_t i = 0; i < 3; ++i) EXPECT_EQ(marked.facts[i].byte_range, doc.facts[i].byte_range);
}

TEST(Parser, TextPiecesAreTrimmedAndJoined) {
  const auto doc = parse_ok(
      "<x><p contextRef='c'>Hello <b> big </b>\n world&#xA0;<!-- c --> &amp; <![CDATA[ <raw> ]]></p></x>");
  EXPECT_EQ(texts_of(doc), (Texts{"text:Hellobigworld&<raw>"}));
}

TEST(Parser, PrefixesResolveInTheirOwnElementAndEndWithIt) {
  const auto doc = parse_ok(
      "<x xmlns='urn:default'><p:a xmlns:p='urn:a' contextRef='c'>1</p:a><p:b contextRef='c'>2</p:b>"
      "<plain contextRef='c'>3</plain>"
      "<q:c xmlns:q='urn:q1'><q:d xmlns:q='urn:q2'/><ix:nonNumeric name='q:n' contextRef='c'>4</ix:nonNumeric></q:c>"
      "<:e contextRef='c'/></x>");
  ASSERT_EQ(doc.facts.size(), 5U);
  EXPECT_EQ(doc.facts[0].concept_name, (QName{"a", "urn:a", "p"}));
  EXPECT_EQ(doc.facts[1].concept_name, (QName{"b", std::nullopt, "p"}));  // the binding ended with p:a
  EXPECT_EQ(doc.facts[2].concept_name, (QName{"plain", "urn:default", std::nullopt}));
  EXPECT_EQ(doc.facts[3].concept_name, (QName{"n", "urn:q1", "q"}));  // the inner rebinding ended
  EXPECT_EQ(doc.facts[4].concept_name, (QName{"e", std::nullopt, ""}));
}

TEST(Parser, PrefixesFoundAgainAfterOthersAndAfterEveryRebinding) {
  // More prefixes than a lookup remembers, asked in turn several times over,
  // with a prefix rebound inside an element right after it was found, and an
  // unbound prefix asked twice.
  const std::size_t n = 40;
  std::string src = "<r";
  for (std::size_t i = 0; i < n; ++i) src += " xmlns:p" + std::to_string(i) + "='urn:" + std::to_string(i) + "'";
  src += ">";
  std::vector<std::string> expected;
  const auto fact = [&](const std::string& prefix, const std::string& uri) {
    src += "<ix:nonNumeric name='" + prefix + ":n' contextRef='c'>x</ix:nonNumeric>";
    expected.push_back(uri);
  };
  for (std::size_t round = 0; round < 3; ++round) {
    for (std::size_t i = 0; i < n; ++i) {
      const std::string k = std::to_string(i * 7 % n);
      fact(std::string("p").append(k), std::string("urn:").append(k));
    }
  }
  fact("p3", "urn:3");
  src += "<div xmlns:p3='urn:new'>";
  fact("p4", "urn:4");
  src += "<span xmlns:p4='urn:newer'/>";
  fact("p4", "urn:4");
  fact("p3", "urn:new");
  src += "</div>";
  fact("p3", "urn:3");
  fact("zz", "");
  fact("zz", "");
  const auto doc = parse_ok(src + "</r>");
  ASSERT_EQ(doc.facts.size(), expected.size());
  for (std::size_t k = 0; k < expected.size(); ++k) {
    const auto& ns = doc.facts[k].concept_name.namespace_uri;
    EXPECT_EQ(ns ? ns->str() : std::string(), expected[k]) << k;
  }
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
  // The reader notes a reference while it looks for the end of a text or a
  // value; one that stands after a long run must still be decoded in a fact
  // and still be checked on markup the parser otherwise passes over.
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

TEST(Parser, ValueKindsNilAndNestedInlineFacts) {
  const auto doc = parse_ok(
      "<x><a contextRef='c'>t</a><b contextRef='c' unitRef='u'>1</b><c contextRef='c' decimals='INF'>2</c>"
      "<d contextRef='c' precision='3'>3</d><ix:nonNumeric name='n' contextRef='c' unitRef='u'>4</ix:nonNumeric>"
      "<ix:nonFraction name='n' contextRef='c'>6</ix:nonFraction><ix:nonFraction contextRef='c'>7</ix:nonFraction>"
      "<a contextRef='c' xsi:nil='true'>x</a><a contextRef='c' nil='1'>x</a><a contextRef='c' xsi:nil='TRUE'>x</a>"
      "<ix:nonNumeric name='o' contextRef='c'>a <b>b</b><ix:nonFraction name='i' contextRef='c'>1<i>2</i>"
      "</ix:nonFraction> z</ix:nonNumeric><cut contextRef='c'>lost");
  EXPECT_EQ(texts_of(doc), (Texts{"text:t", "numeric:1", "numeric:2", "numeric:3", "numeric:4", "numeric:6",
                                  "text:7", "nil", "nil", "text:x", "numeric:12", "text:ab12z"}));
  EXPECT_EQ(doc.facts[2].decimals, Accuracy::infinite());
  EXPECT_EQ(doc.facts[3].precision, Accuracy::of(3));
  // An inline element without a name is a plain fact named by its tag.
  EXPECT_EQ(doc.facts[6].concept_name.to_string(), "ix:nonFraction");
  EXPECT_FALSE(doc.facts[6].inline_meta.has_value());
  EXPECT_EQ(doc.facts[10].concept_name.local_name, "i");  // the inner fact closes first
}

TEST(Parser, NestedFactsAreListedInClosingOrderAndUnclosedOnesDropped) {
  const std::string nn = "<ix:nonNumeric contextRef='c' name='";
  const std::string nf = "<ix:nonFraction contextRef='c' name='";
  const std::string src = "<r>" + nn + "o'>a" + nf + "i1'>1</ix:nonFraction>" + nn + "i2'>b" + nf +
                          "g'>2</ix:nonFraction>c</ix:nonNumeric>d" + nf + "i3'>3</ix:nonFraction></ix:nonNumeric>" +
                          nf + "s'>4</ix:nonFraction>" + nn + "t'>" + nn + "u'>" + nn + "v'>5</ix:nonNumeric>" +
                          "</ix:nonNumeric></ix:nonNumeric></r>";
  const auto doc = parse_ok(src);
  std::vector<std::string> names;
  for (const RawFact& f : doc.facts) names.push_back(f.concept_name.local_name.str());
  EXPECT_EQ(names, (Texts{"i1", "g", "i2", "i3", "o", "s", "v", "u", "t"}));
  EXPECT_EQ(texts_of(doc), (Texts{"numeric:1", "numeric:2", "text:b2c", "numeric:3", "text:a1b2cd3", "numeric:4",
                                  "text:5", "text:5", "text:5"}));
  EXPECT_EQ(slice(src, doc.facts[1]), nf + "g'>2</ix:nonFraction>");
  EXPECT_EQ(slice(src, doc.facts[2]), nn + "i2'>b" + nf + "g'>2</ix:nonFraction>c</ix:nonNumeric>");
  EXPECT_EQ(slice(src, doc.facts[5]), nf + "s'>4</ix:nonFraction>");

  // Facts still open at the end of the input are no facts, whether or not a
  // fact closed inside them; the ones that closed stay, with their own names.
  const auto only_inner = [&](const std::string& tail) {
    std::vector<std::string> out;
    for (const RawFact& f : parse_ok("<r>" + tail).facts) out.push_back(f.concept_name.local_name.str() + "=" + text_of(f));
    return out;
  };
  EXPECT_EQ(only_inner(nn + "o'>a"), Texts{});
  EXPECT_EQ(only_inner(nn + "o'>a" + nf + "i'>1</ix:nonFraction>"), (Texts{"i=numeric:1"}));
  EXPECT_EQ(only_inner(nn + "o'>a" + nf + "i'>1</ix:nonFraction>" + nn + "j'>b"), (Texts{"i=numeric:1"}));
  EXPECT_EQ(only_inner(nn + "o'>a" + nn + "j'>b" + nf + "k'>1</ix:nonFraction>x"), (Texts{"k=numeric:1"}));
  EXPECT_EQ(only_inner(nn + "o'>" + nn + "j'>" + nf + "k'>1</ix:nonFraction></ix:nonNumeric>" + nf + "m'>2"),
            (Texts{"k=numeric:1", "j=text:1"}));
}

TEST(Parser, AttributeNamesOneByteAwayFromAKeyAreNotThatKey) {
  // Every byte of a key's name counts, whatever its length.
  const auto fact_with = [](const std::string& attribute) {
    const auto doc = parse_ok("<r><ix:nonFraction name='n' contextRef='c' " + attribute + "='2'>1</ix:nonFraction></r>");
    EXPECT_EQ(doc.facts.size(), 1U);
    return doc.facts.empty() ? RawFact{} : doc.facts[0];
  };
  for (const std::string key : {"unitRef", "format", "decimals", "continuedAt", "id", "xml:lang"}) {
    for (std::size_t i = 0; i < key.size(); ++i) {
      std::string near = key;
      near[i] = 'Q';
      SCOPED_TRACE(near);
      const RawFact f = fact_with(near);
      EXPECT_FALSE(f.unit_ref.has_value());
      EXPECT_FALSE(f.decimals.has_value());
      EXPECT_FALSE(f.id.has_value());
      ASSERT_TRUE(f.inline_meta.has_value());
      EXPECT_FALSE(f.inline_meta->format.has_value());
      EXPECT_FALSE(f.inline_meta->continued_at.has_value());
      // A changed prefix leaves a local part that is still a key.
      EXPECT_EQ(f.lang.has_value(), key == "xml:lang" && i < 3);
    }
    EXPECT_TRUE(fact_with(key) != RawFact{});
  }
  for (std::size_t i = 0; i < 10; ++i) {
    std::string near = "contextRef";
    near[i] = 'Q';
    EXPECT_TRUE(parse_ok("<r><p " + near + "='c'>1</p><ix:nonNumeric name='n' " + near + "='c'>2</ix:nonNumeric></r>")
                    .facts.empty())
        << near;
  }
}

TEST(Parser, ManyDistinctAndRepeatedNamesEachResolveToTheirOwn) {
  // A small document with far more distinct names than its name cache has
  // slots, each used several times under prefixes bound in different ways.
  const std::size_t n = 600;
  std::string src = "<r xmlns:a='urn:a' xmlns:b='urn:b' xmlns='urn:d'>";
  for (std::size_t round = 0; round < 3; ++round) {
    for (std::size_t i = 0; i < n; ++i) {
      const std::string local = "Concept" + std::to_string(i * 7919 % n) + (i % 2 ? "WithALongerTail" : "");
      const std::string prefix = i % 3 == 0 ? "a:" : i % 3 == 1 ? "b:" : "";
      if (round == 2 && i % 5 == 0) {
        src += "<ix:nonNumeric xmlns:a='urn:other' name='" + prefix + local + "' contextRef='c'>x</ix:nonNumeric>";
      } else if (prefix.empty()) {
        src += "<" + local + " contextRef='c'>x</" + local + ">";
      } else {
        src += "<ix:nonNumeric name='" + prefix + local + "' contextRef='c'>x</ix:nonNumeric>";
      }
    }
  }
  const auto doc = parse_ok(src + "</r>");
  ASSERT_EQ(doc.facts.size(), 3 * n);
  for (std::size_t k = 0; k < doc.facts.size(); ++k) {
    const std::size_t round = k / n;
    const std::size_t i = k % n;
    const std::string local = "Concept" + std::to_string(i * 7919 % n) + (i % 2 ? "WithALongerTail" : "");
    const QName& q = doc.facts[k].concept_name;
    ASSERT_EQ(q.local_name, local) << k;
    const bool inline_fact = round == 2 && i % 5 == 0;
    if (i % 3 == 2) {
      // An inline fact's name takes no default namespace; an element's name does.
      ASSERT_EQ(q, (QName{local, inline_fact ? std::nullopt : std::optional<SharedString>("urn:d"), std::nullopt})) << k;
    } else {
      const bool rebound = inline_fact && i % 3 == 0;
      ASSERT_EQ(q, (QName{local, i % 3 == 0 ? (rebound ? "urn:other" : "urn:a") : "urn:b", i % 3 == 0 ? "a" : "b"}))
          << k;
    }
  }
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
      "<ix:footnote id='n'><f contextRef='c'>1</f>&unknown;</ix:footnote><g contextRef='c'>2</g></x>");
  ASSERT_EQ(doc.footnotes.size(), 4U);
  EXPECT_EQ(doc.footnotes[0], (Footnote{"See <b>note</b> &amp; more ", {"f1", "f3"}, "fn", "r", "en"}));
  EXPECT_EQ(doc.footnotes[1], (Footnote{"unlabelled", {}, std::nullopt, std::nullopt, std::nullopt}));
  EXPECT_EQ(doc.footnotes[2], (Footnote{"", {"f1"}, std::nullopt, std::nullopt, std::nullopt}));
  EXPECT_EQ(doc.footnotes[3].content, "<f contextRef='c'>1</f>&unknown;");
  EXPECT_EQ(texts_of(doc), (Texts{"text:2"}));
}

TEST(Parser, ContextsPeriodsAndMembers) {
  const std::string entity = "<entity><identifier scheme='urn:s'> 123 </identifier></entity>";
  const auto doc = parse_ok(
      "<xbrl xmlns='urn:default' xmlns:d='urn:dim' xmlns:m='urn:mem'>"
      "<context id='i'>" + entity + "<period><instant>2020-12-31</instant></period></context>"
      "<context id='d'>" + entity + "<period><startDate>2020-01-01</startDate><endDate>2020-12-31</endDate></period></context>"
      "<context id='s'>" + entity + "<period><startDate>2020-01-01</startDate></period></context>"
      "<context id='b'>" + entity + "<period><startDate>1</startDate><endDate>2</endDate><instant>3</instant></period></context>"
      "<context id='g'>" + entity + "<period><forever/></period></context>"
      "<context id='n'><entity><identifier>1</identifier></entity><period><forever/></period></context>"
      "<context id='g'><entity><identifier scheme='y'><b/> later </identifier></entity><period><forever/></period></context>"
      "<context><entity><identifier scheme='x'>no id</identifier></entity><period><forever/></period></context>"
      "<context id='m'><entity><identifier scheme='s'>1</identifier>"
      "<explicitMember dimension='d:Outside'>m:X</explicitMember>"
      "<segment><explicitMember dimension='d:A'> m:One </explicitMember>"
      "<typedMember dimension='d:T'><d:v a='1'>&amp; x</d:v> </typedMember>"
      "<explicitMember>m:NoDim</explicitMember><typedMember dimension='d:E'/></segment></entity>"
      "<period><instant>2020</instant></period>"
      "<scenario><explicitMember dimension='d:S' xmlns:m='urn:other'>m:Three</explicitMember></scenario></context>"
      "<context id='t'><entity><identifier scheme='s'/><ix:nonFraction name='a' contextRef='c'>5</ix:nonFraction> tail "
      "</entity><period><forever/></period></context>"
      "<f contextRef='c'><context id='x'><entity><identifier scheme='s'>1</identifier></entity>"
      "<period><forever/></period></context></f></xbrl>");
  // s has no end date, n no scheme, t no identifier text (the fact took it); x is inside a fact.
  ASSERT_EQ(doc.contexts.size(), 5U);
  EXPECT_EQ(doc.contexts.at("i").period, Period(Instant{"2020-12-31"}));
  EXPECT_EQ(doc.contexts.at("i").entity, (Entity{"urn:s", "123"}));
  EXPECT_EQ(doc.contexts.at("d").period, Period(Duration{"2020-01-01", "2020-12-31"}));
  EXPECT_EQ(doc.contexts.at("b").period, Period(Instant{"3"}));
  EXPECT_EQ(doc.contexts.at("g").period, Period(Forever{}));
  EXPECT_EQ(doc.contexts.at("g").entity, (Entity{"y", "later"}));  // a later id replaces; text waits past <b/>
  const Context& c = doc.contexts.at("m");
  ASSERT_EQ(c.segment.size(), 3U);
  EXPECT_EQ(c.segment[0], ContextElement(ExplicitMember{{"A", "urn:dim", "d"}, {"One", "urn:mem", "m"}}));
  EXPECT_EQ(c.segment[1], ContextElement(TypedMember{{"T", "urn:dim", "d"}, "<d:v a='1'>&amp; x</d:v> "}));
  EXPECT_EQ(c.segment[2], ContextElement(TypedMember{{"E", "urn:dim", "d"}, ""}));
  ASSERT_EQ(c.scenario.size(), 1U);
  EXPECT_EQ(c.scenario[0], ContextElement(ExplicitMember{{"S", "urn:dim", "d"}, {"Three", "urn:other", "m"}}));
  EXPECT_EQ(texts_of(doc), (Texts{"numeric:5", "text:1"}));
}

TEST(Parser, AContextTakesNothingFromTheOneBefore) {
  const auto doc = parse_ok(
      "<xbrl xmlns:d='urn:dim' xmlns:m='urn:mem'>"
      // Dropped for want of an end date, after gathering members, a scheme and a start date.
      "<context id='a'><entity><identifier scheme='urn:a'>A</identifier><segment>"
      "<explicitMember dimension='d:X'>m:One</explicitMember><typedMember dimension='d:T'>t</typedMember>"
      "</segment></entity><period><startDate>2020-01-01</startDate></period>"
      "<scenario><explicitMember dimension='d:S'>m:Two</explicitMember></scenario></context>"
      // Only an end date of its own: dropped too.
      "<context id='b'><entity><identifier scheme='urn:a'>A</identifier></entity>"
      "<period><endDate>2020-12-31</endDate></period></context>"
      "<context id='c'><entity><identifier scheme='urn:a'>A</identifier></entity>"
      "<period><instant>2020-12-31</instant></period></context>"
      // No scheme, then no identifier text: dropped although the context before had both.
      "<context id='d'><entity><identifier>A</identifier></entity><period><forever/></period></context>"
      "<context id='e'><entity><identifier scheme='urn:a'/></entity><period><forever/></period></context>"
      // Entities that change and come back, an empty scheme.
      "<context id='f'><entity><identifier scheme='urn:b'>B</identifier></entity><period><forever/></period></context>"
      "<context id='g'><entity><identifier scheme='urn:a'>B</identifier></entity><period><forever/></period></context>"
      "<context id='h'><entity><identifier scheme=''>A</identifier></entity><period><forever/></period></context>"
      "<context id='i'><entity><identifier scheme='urn:a'>A</identifier><segment>"
      "<explicitMember dimension='d:Y'>m:Three</explicitMember></segment></entity>"
      "<period><forever/></period></context>"
      // A context opened inside another replaces it; the outer one ends as nothing.
      "<context id='outer'><entity><identifier scheme='urn:a'>A</identifier><segment>"
      "<explicitMember dimension='d:Z'>m:Four</explicitMember>"
      "<context id='inner'><entity><identifier scheme='urn:c'>C</identifier></entity>"
      "<period><forever/></period></context></segment></entity><period><forever/></period></context></xbrl>");
  std::vector<std::string> ids;
  for (const auto& [id, context] : doc.contexts) ids.push_back(id + "=" + context.id);
  EXPECT_EQ(ids, (std::vector<std::string>{"c=c", "f=f", "g=g", "h=h", "i=i", "inner=inner"}));
  const Context& c = doc.contexts.at("c");
  EXPECT_EQ(c.entity, (Entity{"urn:a", "A"}));
  EXPECT_TRUE(c.segment.empty());
  EXPECT_TRUE(c.scenario.empty());
  EXPECT_EQ(c.period, Period(Instant{"2020-12-31"}));
  EXPECT_EQ(doc.contexts.at("f").entity, (Entity{"urn:b", "B"}));
  EXPECT_EQ(doc.contexts.at("g").entity, (Entity{"urn:a", "B"}));
  EXPECT_EQ(doc.contexts.at("h").entity, (Entity{"", "A"}));
  const Context& i = doc.contexts.at("i");
  EXPECT_EQ(i.entity, (Entity{"urn:a", "A"}));
  EXPECT_EQ(i.segment, (std::vector<ContextElement>{ExplicitMember{{"Y", "urn:dim", "d"}, {"Three", "urn:mem", "m"}}}));
  EXPECT_TRUE(i.scenario.empty());
  const Context& inner = doc.contexts.at("inner");
  EXPECT_EQ(inner.entity, (Entity{"urn:c", "C"}));
  EXPECT_TRUE(inner.segment.empty());
}

TEST(Parser, ContextsInAnyIdOrderAndALaterIdReplacesAnEarlierOne) {
  // Ids in document order c-0 .. c-n (not byte order), then descending, then
  // repeated with a new identifier: every context ends under its own id
  // with the identifier of its last definition.
  constexpr int kCount = 300;
  std::string doc_text = "<xbrl>";
  auto add = [&](const std::string& id, const std::string& identifier) {
    doc_text += "<context id='" + id + "'><entity><identifier scheme='s'>" + identifier +
                "</identifier></entity><period><forever/></period></context>";
  };
  for (int i = 0; i < kCount; ++i) add("c-" + std::to_string(i), "first");
  for (int i = kCount; i-- > 0;) add("z-" + std::to_string(i), "first");
  for (int i = 0; i < kCount; i += 7) add("c-" + std::to_string(i), "again");
  for (int i = 1; i < kCount; i += 5) add("z-" + std::to_string(i), "again");
  const auto doc = parse_ok(doc_text + "</xbrl>");
  ASSERT_EQ(doc.contexts.size(), 2U * kCount);
  std::string previous;
  for (const auto& [id, context] : doc.contexts) {
    EXPECT_LT(previous, id);
    previous = id;
    EXPECT_EQ(context.id, id);
    const int n = std::stoi(id.substr(2));
    const bool again = id[0] == 'c' ? n % 7 == 0 : n % 5 == 1;
    EXPECT_EQ(context.entity.identifier, again ? "again" : "first") << id;
  }
}

TEST(Parser, SimpleAndDividedUnits) {
  const auto doc = parse_ok(
      "<xbrl xmlns:m='urn:mem'><unit id='u1'><measure>iso4217:EUR</measure><measure>pure</measure></unit>"
      "<unit id='u2'><divide><unitNumerator><measure>m:A</measure></unitNumerator>"
      "<unitDenominator><measure>m:B</measure><measure>m:C</measure></unitDenominator></divide></unit>"
      "<unit><measure>ignored</measure></unit></xbrl>");
  ASSERT_EQ(doc.units.size(), 2U);
  EXPECT_EQ(doc.units.at("u1").numerator,
            (std::vector<QName>{{"EUR", std::nullopt, "iso4217"}, {"pure", std::nullopt, std::nullopt}}));
  EXPECT_TRUE(doc.units.at("u1").denominator.empty());
  EXPECT_EQ(doc.units.at("u2").numerator, (std::vector<QName>{{"A", "urn:mem", "m"}}));
  EXPECT_EQ(doc.units.at("u2").denominator, (std::vector<QName>{{"B", "urn:mem", "m"}, {"C", "urn:mem", "m"}}));
}

TEST(Parser, EveryErrorMessageExactly) {
  const std::pair<std::string, std::string> cases[] = {
      {"<x/></x>", "XML parse error at byte None: unexpected closing tag x"},
      {"<a>\xC3(</a>", "XML parse error at byte Some(3): invalid utf-8 sequence of 1 bytes from index 3"},
      {"\xEF\xBB\xBF<a>\xE2\x82", "XML parse error at byte Some(6): incomplete utf-8 byte sequence from index 6"},
      {"<a></b>", "XML error: mismatched end tag: expected </a>, found </b> at byte 3"},
      {"<a>&nbsp;</a>", "XML error: unknown entity &nbsp; at byte 3"},
      {"<a x/>", "XML attribute error: attribute x has no '=' at byte 4"},
      {"<a x='&bad;' y/>", "XML error: unknown entity &bad; at byte 6"},  // attributes fail in document order
      {"<x><f contextRef='c' decimals='two'/></x>", "XML parse error at byte None: invalid decimals value: two"},
      {"<x><f contextRef='c' precision='-1'/></x>", "XML parse error at byte None: invalid precision value: -1"},
      {"<x><ix:nonFraction name='a' contextRef='c' scale='30'/></x>",
       "XML parse error at byte None: scale value 30 out of supported range [-28, 28]"},
      {"<x><context id='c'><typedMember dimension='d'><v>1</v>",
       "XML error: unexpected end of input before </typedMember> closing the element opened at byte 19"},
      {"<x><footnote>text", "XML error: unexpected end of input before </footnote> closing the element opened at byte 3"},
      {"<x><unit id='u'><measure/></unit></x>p:m", "XML parse error at byte None: missing namespace scope"},
      {"<a>" + repeat("&", 200000) + "</a>", "XML error: bare '&' not followed by an entity name at byte 3"},
      {repeat("<!--", 50000), "XML error: unterminated comment at byte 0"},
      {"<a>&#" + std::string(200000, '0') + "65;</a>", "parsed"},
      {"<a x='" + std::string(200000, '<') + "'/>", "parsed"},
  };
  for (const auto& [input, message] : cases) EXPECT_EQ(parse_error(input), message) << input.substr(0, 80);
  // Messages only reachable below the up-front UTF-8 check.
  EXPECT_EQ(detail::cdata_text("a\xFF", 57).error().render(),
            "XML parse error at byte Some(57): invalid UTF-8 in CDATA: invalid utf-8 sequence of 1 bytes from index 1");
  EXPECT_EQ(detail::unexpected_closing_tag("a\xC0").render(),
            "XML parse error at byte None: unexpected closing tag <non-utf8>");
}

TEST(ParserHostile, DeepNestingUsesNoStack) {
  const std::size_t depth = 100000;
  EXPECT_TRUE(parse_instance(repeat("<a>", depth) + repeat("</a>", depth)).has_value());
  EXPECT_TRUE(parse_instance(repeat("<a>", depth)).has_value());  // stopping deep inside is not an error
  const std::string in_fact = "<f contextRef='c'>" + repeat("<a>", depth) + "x" + repeat("</a>", depth) + "</f>";
  const auto parsed = parse_ok(in_fact);
  ASSERT_EQ(parsed.facts.size(), 1U);
  EXPECT_EQ(parsed.facts[0].byte_range->second, in_fact.size());
  EXPECT_TRUE(parse_instance("<context id='c'><typedMember dimension='d'>" + repeat("<a>", depth) +
                             repeat("</a>", depth) + "</typedMember></context>")
                  .has_value());
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
    ASSERT_EQ(std::get<NonNumericText>(f.value).text.size(), text.size());
    ASSERT_EQ(std::get<NonNumericText>(f.value).text.data(), shared);
  }
  // 20000 facts start the same chain of 20000 links.
  const std::size_t links = 20000;
  std::string doc = "<r>" + repeat("<ix:nonNumeric name='a' contextRef='c' continuedAt='k0'>t</ix:nonNumeric>", links);
  for (std::size_t i = 0; i < links; ++i) {
    doc += "<ix:continuation id='k" + std::to_string(i) + "' continuedAt='k" + std::to_string(i + 1) + "'>";
    doc += i + 1 == links ? "end</ix:continuation>" : "</ix:continuation>";
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

  std::string prefixes = "<r";
  for (std::size_t i = 0; i < 10000; ++i) prefixes += " xmlns:p" + std::to_string(i) + "='urn:" + std::to_string(i) + "'";
  const auto scoped = parse_ok(prefixes + ">" + repeat("<p9999:e/>", n) +
                               "<p5:fact contextRef='c' xmlns:p5='urn:shadow'>1</p5:fact><p5:fact contextRef='c'>2</p5:fact></r>");
  ASSERT_EQ(scoped.facts.size(), 2U);
  EXPECT_EQ(scoped.facts[0].concept_name.namespace_uri, "urn:shadow");
  EXPECT_EQ(scoped.facts[1].concept_name.namespace_uri, "urn:5");
}

TEST(ParserHostile, TruncationAtEveryByteGivesAnErrorOrSaneRanges) {
  const std::string full =
      "\xEF\xBB\xBF<?xml version='1.0'?><xbrl xmlns='urn:x' xmlns:ix='urn:ix' xmlns:d='urn:d'>"
      "<link:schemaRef xlink:href='s.xsd'/><context id='c'><entity><identifier scheme='s'>1</identifier><segment>"
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
  ASSERT_EQ(parse_ok(full).facts.size(), 2U);
  for (std::size_t cut = 0; cut <= full.size(); ++cut) {
    const std::string_view prefix = std::string_view(full).substr(0, cut);
    const auto result = parse_instance(prefix);
    if (!result) continue;
    const std::size_t bom = cut >= 3 ? 3 : 0;
    for (const auto& f : result->facts) {
      ASSERT_LE(f.byte_range->second + bom, prefix.size()) << cut;
      ASSERT_EQ(prefix[bom + f.byte_range->first], '<') << cut;
      ASSERT_EQ(prefix[bom + f.byte_range->second - 1], '>') << cut;
    }
  }
}
