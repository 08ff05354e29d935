// Contexts and units as the parser collects them.

#include "parser_test_util.hpp"

using namespace quorrel::core;
using namespace parser_test;

namespace {

std::string doc_with(std::string_view body) {
  std::string s = "<xbrl xmlns='urn:default' xmlns:d='urn:dim' xmlns:m='urn:mem'>";
  s += body;
  s += "</xbrl>";
  return s;
}

const char* kEntity = "<entity><identifier scheme='urn:s'> 123 </identifier></entity>";

}  // namespace

TEST(ParserContexts, PeriodsOfEveryKind) {
  const auto doc = parse_ok(doc_with(
      std::string("<context id='i'>") + kEntity + "<period><instant>2020-12-31</instant></period></context>" +
      "<context id='d'>" + kEntity + "<period><startDate>2020-01-01</startDate><endDate>2020-12-31</endDate></period></context>" +
      "<context id='s'>" + kEntity + "<period><startDate>2020-01-01</startDate></period></context>" +
      "<context id='b'>" + kEntity + "<period><startDate>1</startDate><endDate>2</endDate><instant>3</instant></period></context>" +
      "<context id='f'>" + kEntity + "<period><forever/><instant>4</instant></period></context>" +
      "<context id='g'>" + kEntity + "<period><forever/></period></context>"));
  ASSERT_EQ(doc.contexts.size(), 5U);  // s has no end date and is dropped
  EXPECT_EQ(doc.contexts.at("i").period, Period(Instant{"2020-12-31"}));
  EXPECT_EQ(doc.contexts.at("d").period, Period(Duration{"2020-01-01", "2020-12-31"}));
  EXPECT_EQ(doc.contexts.at("b").period, Period(Instant{"3"}));
  EXPECT_EQ(doc.contexts.at("f").period, Period(Instant{"4"}));
  EXPECT_EQ(doc.contexts.at("g").period, Period(Forever{}));
  EXPECT_EQ(doc.contexts.at("i").entity, (Entity{"urn:s", "123"}));
}

TEST(ParserContexts, IncompleteContextsAreDroppedAndLaterIdsReplace) {
  const auto doc = parse_ok(doc_with(
      "<context id='n'><entity><identifier>1</identifier></entity><period><forever/></period></context>"
      "<context id='b'><entity><identifier scheme='x'>first</identifier></entity><period><forever/></period></context>"
      "<context id='a'><entity><identifier scheme='x'>a</identifier></entity><period><forever/></period></context>"
      "<context id='b'><entity><identifier scheme='y'>second</identifier></entity><period><forever/></period></context>"
      "<context><entity><identifier scheme='x'>no id</identifier></entity><period><forever/></period></context>"));
  ASSERT_EQ(doc.contexts.size(), 2U);
  EXPECT_EQ(doc.contexts.begin()->first, "a");
  EXPECT_EQ(doc.contexts.at("b").entity, (Entity{"y", "second"}));
}

TEST(ParserContexts, MembersGoToSegmentOrScenarioInOrder) {
  const auto doc = parse_ok(doc_with(
      "<context id='c'><entity><identifier scheme='s'>1</identifier>"
      "<explicitMember dimension='d:Outside'>m:X</explicitMember>"
      "<segment><explicitMember dimension='d:A'> m:One </explicitMember>"
      "<typedMember dimension='d:T'><d:v a='1'>&amp; x</d:v> </typedMember>"
      "<explicitMember dimension='d:B'>m:Two</explicitMember><explicitMember>m:NoDim</explicitMember>"
      "<typedMember dimension='d:E'/></segment></entity>"
      "<period><instant>2020</instant></period>"
      "<scenario><explicitMember dimension='d:S' xmlns:m='urn:other'>m:Three</explicitMember></scenario>"
      "</context>"));
  const Context& c = doc.contexts.at("c");
  ASSERT_EQ(c.segment.size(), 4U);
  EXPECT_EQ(c.segment[0], ContextElement(ExplicitMember{{"A", "urn:dim", "d"}, {"One", "urn:mem", "m"}}));
  EXPECT_EQ(c.segment[1], ContextElement(TypedMember{{"T", "urn:dim", "d"}, "<d:v a='1'>&amp; x</d:v> "}));
  EXPECT_EQ(c.segment[2], ContextElement(ExplicitMember{{"B", "urn:dim", "d"}, {"Two", "urn:mem", "m"}}));
  EXPECT_EQ(c.segment[3], ContextElement(TypedMember{{"E", "urn:dim", "d"}, ""}));
  ASSERT_EQ(c.scenario.size(), 1U);
  EXPECT_EQ(c.scenario[0], ContextElement(ExplicitMember{{"S", "urn:dim", "d"}, {"Three", "urn:other", "m"}}));
}

TEST(ParserUnits, SimpleAndDividedUnits) {
  const auto doc = parse_ok(doc_with(
      "<unit id='u1'><measure>iso4217:EUR</measure><measure>pure</measure></unit>"
      "<unit id='u2'><divide><unitNumerator><measure>m:A</measure></unitNumerator>"
      "<unitDenominator><measure>m:B</measure><measure>m:C</measure></unitDenominator></divide></unit>"
      "<unit><measure>ignored</measure></unit>"));
  ASSERT_EQ(doc.units.size(), 2U);
  const Unit& u1 = doc.units.at("u1");
  EXPECT_EQ(u1.numerator, (std::vector<QName>{{"EUR", std::nullopt, "iso4217"}, {"pure", std::nullopt, std::nullopt}}));
  EXPECT_TRUE(u1.denominator.empty());
  const Unit& u2 = doc.units.at("u2");
  EXPECT_EQ(u2.numerator, (std::vector<QName>{{"A", "urn:mem", "m"}}));
  EXPECT_EQ(u2.denominator, (std::vector<QName>{{"B", "urn:mem", "m"}, {"C", "urn:mem", "m"}}));
}

TEST(ParserTextTargets, PendingTargetSurvivesStartsThatSetNone) {
  // The identifier's target waits through an unrelated start tag and takes the next text.
  const auto doc = parse_ok(doc_with(
      "<context id='c'><entity><identifier scheme='s'><b/> later </identifier></entity>"
      "<period><forever/></period></context>"));
  EXPECT_EQ(doc.contexts.at("c").entity.identifier, "later");
}

TEST(ParserTextTargets, AFactCancelsAPendingTarget) {
  // An inline fact inside the context takes the target; the text after it fills nothing.
  const auto doc = parse_ok(doc_with(
      "<context id='c'><entity><identifier scheme='s'/>"
      "<ix:nonFraction name='a' contextRef='c'>5</ix:nonFraction> tail </entity>"
      "<period><forever/></period></context>"));
  EXPECT_TRUE(doc.contexts.empty());
  ASSERT_EQ(doc.facts.size(), 1U);
  EXPECT_EQ(text_of(doc.facts[0]), "numeric:5");
}

TEST(ParserTextTargets, ContextsAndUnitsAreNotRecognisedInsideFacts) {
  const auto doc = parse_ok(doc_with(
      "<f contextRef='c'><context id='x'><entity><identifier scheme='s'>1</identifier></entity>"
      "<period><forever/></period></context></f>"));
  EXPECT_TRUE(doc.contexts.empty());
  ASSERT_EQ(doc.facts.size(), 1U);
  EXPECT_EQ(text_of(doc.facts[0]), "text:1");
}
