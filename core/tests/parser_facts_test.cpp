// Facts, continuations and footnotes.

#include "parser_test_util.hpp"

using namespace quorrel::core;
using namespace parser_test;

TEST(ParserFacts, ValueKindsFollowUnitDecimalsAndPrecision) {
  const std::string src =
      "<x><a contextRef='c'>t</a><b contextRef='c' unitRef='u'>1</b><c contextRef='c' decimals='INF'>2</c>"
      "<d contextRef='c' precision='3'>3</d><ix:nonNumeric name='n' contextRef='c' unitRef='u'>4</ix:nonNumeric>"
      "<ix:nonNumeric name='n' contextRef='c'>5</ix:nonNumeric><ix:nonFraction name='n' contextRef='c'>6</ix:nonFraction></x>";
  const auto doc = parse_ok(src);
  std::vector<std::string> texts;
  for (const auto& f : doc.facts) texts.push_back(text_of(f));
  EXPECT_EQ(texts, (std::vector<std::string>{"text:t", "numeric:1", "numeric:2", "numeric:3", "numeric:4", "text:5",
                                             "numeric:6"}));
  EXPECT_EQ(doc.facts[2].decimals, Accuracy::infinite());
  EXPECT_EQ(doc.facts[3].precision, Accuracy::of(3));
}

TEST(ParserFacts, NilOnlyForExactTrueOrOne) {
  const auto doc = parse_ok(
      "<x><a contextRef='c' xsi:nil='true'>x</a><a contextRef='c' nil='1'>x</a>"
      "<a contextRef='c' xsi:nil='false'>x</a><a contextRef='c' xsi:nil='TRUE'>x</a></x>");
  ASSERT_EQ(doc.facts.size(), 4U);
  EXPECT_EQ(text_of(doc.facts[0]), "nil");
  EXPECT_EQ(text_of(doc.facts[1]), "nil");
  EXPECT_EQ(text_of(doc.facts[2]), "text:x");
  EXPECT_EQ(text_of(doc.facts[3]), "text:x");
}

TEST(ParserFacts, AttributesAreCopiedAsWritten) {
  const auto doc = parse_ok(
      "<x xmlns:ix='urn:ix' xmlns:us='urn:us'><ix:nonFraction name='us:Rev' contextRef='c1' unitRef='EUR' id='f1'"
      " decimals='-3' xml:lang='en' format='ixt:num-dot-decimal' scale='6' sign='-' target='t'"
      " continuedAt='k'>1 000</ix:nonFraction>"
      "<p contextRef='c2' lang='fr' xml:lang='de'>y</p></x>");
  ASSERT_EQ(doc.facts.size(), 2U);
  const RawFact& f = doc.facts[0];
  EXPECT_EQ(f.concept_name, (QName{"Rev", "urn:us", "us"}));
  EXPECT_EQ(f.context_ref, "c1");
  EXPECT_EQ(f.unit_ref, "EUR");
  EXPECT_EQ(f.id, "f1");
  EXPECT_EQ(f.decimals, Accuracy::of(-3));
  EXPECT_EQ(f.lang, "en");
  ASSERT_TRUE(f.inline_meta.has_value());
  EXPECT_EQ(*f.inline_meta, (InlineMeta{"ixt:num-dot-decimal", "-", "t", "k", 6, false}));
  EXPECT_EQ(doc.facts[1].lang, "fr");  // the bare name came first
}

TEST(ParserFacts, NestedInlineFactsCloseInnerFirstAndShareText) {
  const std::string src =
      "<x><ix:nonNumeric name='o' contextRef='c'>a <b>b</b><ix:nonFraction name='i' contextRef='c'>1<i>2</i>"
      "</ix:nonFraction> z</ix:nonNumeric></x>";
  const auto doc = parse_ok(src);
  ASSERT_EQ(doc.facts.size(), 2U);
  EXPECT_EQ(doc.facts[0].concept_name.local_name, "i");
  EXPECT_EQ(text_of(doc.facts[0]), "numeric:12");
  EXPECT_EQ(text_of(doc.facts[1]), "text:ab12z");
  EXPECT_EQ(slice(src, doc.facts[0]), "<ix:nonFraction name='i' contextRef='c'>1<i>2</i></ix:nonFraction>");
  EXPECT_TRUE(slice(src, doc.facts[1]).starts_with("<ix:nonNumeric"));
  EXPECT_TRUE(slice(src, doc.facts[1]).ends_with("z</ix:nonNumeric>"));
}

TEST(ParserFacts, PlainFactsDoNotNestButCountNesting) {
  const std::string src = "<x><a contextRef='c'>1<b contextRef='c'>2</b><hidden>3</hidden></a><z contextRef='c'/></x>";
  const auto doc = parse_ok(src);
  ASSERT_EQ(doc.facts.size(), 2U);
  EXPECT_EQ(text_of(doc.facts[0]), "text:123");
  EXPECT_EQ(slice(src, doc.facts[0]), "<a contextRef='c'>1<b contextRef='c'>2</b><hidden>3</hidden></a>");
  EXPECT_EQ(slice(src, doc.facts[1]), "<z contextRef='c'/>");
}

TEST(ParserFacts, HiddenMarksFactsOnlyInsideIt) {
  const auto ok = parse_ok(
      "<x><ix:hidden><ix:nonFraction name='a' contextRef='c'>1</ix:nonFraction></ix:hidden>"
      "<ix:nonFraction name='b' contextRef='c'>2</ix:nonFraction></x>");
  ASSERT_EQ(ok.facts.size(), 2U);
  EXPECT_TRUE(ok.facts[0].inline_meta->hidden);
  EXPECT_FALSE(ok.facts[1].inline_meta->hidden);
}

TEST(ParserContinuations, ChainsAreJoinedTrimmed) {
  const auto doc = parse_ok(
      "<x><ix:nonNumeric name='a' contextRef='c' continuedAt='c1'>A</ix:nonNumeric>"
      "<ix:continuation id='c2'> C <b>D</b> </ix:continuation>"
      "<ix:continuation id='c1' continuedAt='c2'>B</ix:continuation></x>");
  ASSERT_EQ(doc.facts.size(), 1U);
  EXPECT_EQ(text_of(doc.facts[0]), "text:ABCD");
}

TEST(ParserContinuations, LoopsStopAndMissingLinksKeepWhatWasGathered) {
  const auto doc = parse_ok(
      "<x><ix:nonNumeric name='a' contextRef='c' continuedAt='c1'>A</ix:nonNumeric>"
      "<ix:nonNumeric name='b' contextRef='c' continuedAt='m1'>X</ix:nonNumeric>"
      "<ix:nonNumeric name='n' contextRef='c' continuedAt='c1' xsi:nil='true'/>"
      "<ix:continuation id='c1' continuedAt='c2'>B</ix:continuation>"
      "<ix:continuation id='c2' continuedAt='c1'>C</ix:continuation>"
      "<ix:continuation id='m1' continuedAt='gone'>Y</ix:continuation>"
      "<ix:continuation>no id</ix:continuation></x>");
  ASSERT_EQ(doc.facts.size(), 3U);
  EXPECT_EQ(text_of(doc.facts[0]), "text:ABC");
  EXPECT_EQ(text_of(doc.facts[1]), "text:XY");
  EXPECT_EQ(text_of(doc.facts[2]), "nil");
}

TEST(ParserContinuations, FactsSharingAChainEachGetItsWholeText) {
  // Facts naming the same start, and a fact starting inside a loop, each get
  // exactly the text their own walk gathers.
  const auto doc = parse_ok(
      "<x><ix:nonNumeric name='a' contextRef='c' continuedAt='c1'>A</ix:nonNumeric>"
      "<ix:nonNumeric name='b' contextRef='c' continuedAt='c2'>X</ix:nonNumeric>"
      "<ix:nonNumeric name='d' contextRef='c' continuedAt='c1' decimals='0'>1</ix:nonNumeric>"
      "<ix:nonNumeric name='e' contextRef='c' continuedAt='none'>E</ix:nonNumeric>"
      "<ix:nonNumeric name='f' contextRef='c' continuedAt='c1'>F</ix:nonNumeric>"
      "<ix:continuation id='c1' continuedAt='c2'> B </ix:continuation>"
      "<ix:continuation id='c2' continuedAt='c3'>C</ix:continuation>"
      "<ix:continuation id='c3' continuedAt='c1'>D</ix:continuation></x>");
  ASSERT_EQ(doc.facts.size(), 5U);
  EXPECT_EQ(text_of(doc.facts[0]), "text:ABCD");
  EXPECT_EQ(text_of(doc.facts[1]), "text:XCDB");
  EXPECT_EQ(text_of(doc.facts[2]), "numeric:1BCD");
  EXPECT_EQ(text_of(doc.facts[3]), "text:E");
  EXPECT_EQ(text_of(doc.facts[4]), "text:FBCD");
}

TEST(ParserContinuations, ContinuationInsideAFactFeedsBoth) {
  const auto doc = parse_ok(
      "<x><ix:nonNumeric name='a' contextRef='c' continuedAt='k'>A<ix:continuation id='k'>B</ix:continuation>"
      "C</ix:nonNumeric></x>");
  ASSERT_EQ(doc.facts.size(), 1U);
  EXPECT_EQ(text_of(doc.facts[0]), "text:ABCB");
}

TEST(ParserFootnotes, LinkedThroughLocatorsAndArcs) {
  const auto doc = parse_ok(
      "<x><link:footnoteLink>"
      "<link:loc xlink:label='L' xlink:href='doc.htm#f1'/>"
      "<link:loc xlink:label='L2' xlink:href='doc.htm#f2'/>"
      "<link:loc xlink:label='L2' xlink:href='doc.htm#f3'/>"
      "<link:loc xlink:label='N' xlink:href='no-hash'/>"
      "<link:footnote xlink:label='N' id='fn' xlink:role='r' xml:lang='en'>See <b>note</b> &amp; more </link:footnote>"
      "<link:footnote>unlabelled</link:footnote><link:footnote xlink:label='E'/>"
      "<link:footnoteArc xlink:from='L' xlink:to='N'/><link:footnoteArc xlink:from='L2' xlink:to='N'/>"
      "<link:footnoteArc xlink:from='missing' xlink:to='N'/><link:footnoteArc xlink:from='L'/>"
      "<link:footnoteArc xlink:from='L' xlink:to='E'/>"
      "</link:footnoteLink></x>");
  ASSERT_EQ(doc.footnotes.size(), 3U);
  EXPECT_EQ(doc.footnotes[0],
            (Footnote{"See <b>note</b> &amp; more ", {"f1", "f3"}, "fn", "r", "en"}));
  EXPECT_EQ(doc.footnotes[1], (Footnote{"unlabelled", {}, std::nullopt, std::nullopt, std::nullopt}));
  EXPECT_EQ(doc.footnotes[2], (Footnote{"", {"f1"}, std::nullopt, std::nullopt, std::nullopt}));
}

TEST(ParserFootnotes, NothingInsideAFootnoteIsParsed) {
  const auto doc = parse_ok(
      "<x><ix:footnote id='n'><f contextRef='c'>1</f>&unknown;</ix:footnote><g contextRef='c'>2</g></x>");
  ASSERT_EQ(doc.footnotes.size(), 1U);
  EXPECT_EQ(doc.footnotes[0].content, "<f contextRef='c'>1</f>&unknown;");
  ASSERT_EQ(doc.facts.size(), 1U);
  EXPECT_EQ(doc.facts[0].concept_name.local_name, "g");
}

TEST(ParserDocument, SchemaRefsInDocumentOrder) {
  const auto doc = parse_ok("<x><link:schemaRef xlink:href='a.xsd'/><schemaRef href='b.xsd'></schemaRef></x>");
  EXPECT_EQ(doc.schema_refs, (std::vector<std::string>{"a.xsd", "b.xsd"}));
}
