// The parser driver: positions, namespaces, routing of events, and its errors.

#include "../src/instance_parser.hpp"
#include "parser_test_util.hpp"

using namespace quorrel::core;
using namespace parser_test;

namespace {

const char* kInline =
    "<html xmlns:ix='urn:ix' xmlns:us='urn:us'><body>"
    "<ix:nonFraction name='us:Rev' contextRef='c' unitRef='u' decimals='0'>1<span> 234 </span></ix:nonFraction>"
    "<ix:nonNumeric name='us:Note' contextRef='c'/>"
    "</body></html>";

}  // namespace

TEST(ParserPositions, ByteRangesCoverExactlyTheFactElement) {
  const auto doc = parse_ok(kInline);
  ASSERT_EQ(doc.facts.size(), 2U);
  EXPECT_EQ(slice(kInline, doc.facts[0]),
            "<ix:nonFraction name='us:Rev' contextRef='c' unitRef='u' decimals='0'>1<span> 234 </span>"
            "</ix:nonFraction>");
  EXPECT_EQ(text_of(doc.facts[0]), "numeric:1234");
  EXPECT_EQ(slice(kInline, doc.facts[1]), "<ix:nonNumeric name='us:Note' contextRef='c'/>");
  EXPECT_EQ(text_of(doc.facts[1]), "text:");
}

TEST(ParserPositions, ByteOrderMarkShiftsNothing) {
  const std::string with_bom = std::string("\xEF\xBB\xBF") + kInline;
  const auto plain = parse_ok(kInline);
  const auto marked = parse_ok(with_bom);
  ASSERT_EQ(plain.facts.size(), marked.facts.size());
  for (std::size_t i = 0; i < plain.facts.size(); ++i) {
    EXPECT_EQ(plain.facts[i].byte_range, marked.facts[i].byte_range);
    EXPECT_EQ(slice(std::string_view(with_bom).substr(3), marked.facts[i]), slice(kInline, plain.facts[i]));
  }
}

TEST(ParserPositions, LeadingLineFeedDeclarationAndDoctypeAreTolerated) {
  const std::string src = "\n<?xml version='1.0' encoding='US-ASCII'?>\n<!DOCTYPE x>\n<x><f contextRef='c'>v</f></x>";
  const auto doc = parse_ok(src);
  ASSERT_EQ(doc.facts.size(), 1U);
  EXPECT_EQ(slice(src, doc.facts[0]), "<f contextRef='c'>v</f>");
}

TEST(ParserText, PiecesAreTrimmedAndJoinedWithoutSeparators) {
  const auto doc = parse_ok(
      "<x><p contextRef='c'>Hello <b> big </b>\n world&#xA0;<!-- c --> &amp; <![CDATA[ <raw> ]]></p></x>");
  ASSERT_EQ(doc.facts.size(), 1U);
  EXPECT_EQ(text_of(doc.facts[0]), "text:Hellobigworld&<raw>");
}

TEST(ParserNamespaces, PrefixesResolveInTheirOwnElementAndEndWithIt) {
  const auto doc = parse_ok(
      "<x xmlns='urn:default'>"
      "<p:a xmlns:p='urn:a' contextRef='c'>1</p:a>"
      "<p:b contextRef='c'>2</p:b>"
      "<plain contextRef='c'>3</plain>"
      "<q:c xmlns:q='urn:q1'><q:d xmlns:q='urn:q2'/><ix:nonNumeric name='q:n' contextRef='c'>4</ix:nonNumeric></q:c>"
      "<:e contextRef='c'/>"
      "</x>");
  ASSERT_EQ(doc.facts.size(), 5U);
  EXPECT_EQ(doc.facts[0].concept_name, (QName{"a", "urn:a", "p"}));
  EXPECT_EQ(doc.facts[1].concept_name, (QName{"b", std::nullopt, "p"}));  // the binding ended with p:a
  EXPECT_EQ(doc.facts[2].concept_name, (QName{"plain", "urn:default", std::nullopt}));
  EXPECT_EQ(doc.facts[3].concept_name, (QName{"n", "urn:q1", "q"}));  // the inner rebinding ended
  EXPECT_EQ(doc.facts[4].concept_name, (QName{"e", std::nullopt, ""}));
  EXPECT_EQ(doc.facts[4].concept_name.to_string(), ":e");
}

TEST(ParserNamespaces, ParseQnameStrUsesTheDefaultOnlyWhenAsked) {
  detail::NamespaceScope scope;
  scope.bind(std::nullopt, "urn:d");
  scope.bind(std::string_view("p"), "urn:p");
  const std::size_t mark = scope.mark();
  scope.bind(std::string_view("p"), "urn:p2");
  EXPECT_EQ(detail::parse_qname_str("p:x:y", scope, false), (QName{"x:y", "urn:p2", "p"}));
  scope.undo(mark);
  EXPECT_EQ(detail::parse_qname_str("p:x", scope, false), (QName{"x", "urn:p", "p"}));
  EXPECT_EQ(detail::parse_qname_str("x", scope, true), (QName{"x", "urn:d", std::nullopt}));
  EXPECT_EQ(detail::parse_qname_str("x", scope, false), (QName{"x", std::nullopt, std::nullopt}));
  EXPECT_EQ(detail::parse_qname_str("z:x", scope, true), (QName{"x", std::nullopt, "z"}));
  scope.undo(0);
  EXPECT_EQ(detail::parse_qname_str("p:x", scope, false), (QName{"x", std::nullopt, "p"}));
}

TEST(ParserAttributes, FullNameReplacesLocalPartOnlyWhenFree) {
  // xlink:href is found under href unless a bare href came first; later values win under the full name.
  const auto doc = parse_ok(
      "<x><schemaRef xlink:href='a.xsd'/><schemaRef href='b.xsd' xlink:href='c.xsd'/>"
      "<schemaRef other:href='d.xsd' href='e.xsd'/><schemaRef xlink:href='f' xlink:href='g'/><schemaRef/></x>");
  // The last one: xlink:href ends as g, but href kept the first value f and is read first.
  EXPECT_EQ(doc.schema_refs, (std::vector<std::string>{"a.xsd", "b.xsd", "e.xsd", "f"}));
}

TEST(ParserAttributes, EscapedValuesAndDeclarationsShareOneTag) {
  // Declarations leave the list while the escaped values around them are
  // decoded: every decoded value must land on its own attribute, and a
  // declaration binds before the tag's own names are resolved.
  const auto doc = parse_ok(
      "<x><ix:nonFraction xmlns:a='urn:a&amp;1' id='f&lt;1' name='a:R&amp;D' xmlns:z='urn:z' contextRef='c&amp;1' "
      "unitRef='u' format='ixt:num&#45;dot' decimals='0'>5</ix:nonFraction>"
      "<g xmlns='urn:d&quot;' contextRef='k' id='&#103;'>1</g></x>");
  ASSERT_EQ(doc.facts.size(), 2U);
  const RawFact& inline_fact = doc.facts[0];
  EXPECT_EQ(inline_fact.id, "f<1");
  EXPECT_EQ(inline_fact.concept_name, (QName{"R&D", "urn:a&1", "a"}));
  EXPECT_EQ(inline_fact.context_ref, "c&1");
  EXPECT_EQ(inline_fact.unit_ref, "u");
  ASSERT_TRUE(inline_fact.inline_meta.has_value());
  EXPECT_EQ(inline_fact.inline_meta->format, "ixt:num-dot");
  EXPECT_EQ(inline_fact.decimals, Accuracy::of(0));
  EXPECT_EQ(doc.facts[1].concept_name, (QName{"g", "urn:d\"", std::nullopt}));
  EXPECT_EQ(doc.facts[1].id, "g");
  EXPECT_EQ(doc.facts[1].context_ref, "k");
}

TEST(ParserAttributes, ManyAttributesKeepTheRule) {
  detail::AttributeMap map;
  std::vector<std::string> keys;
  for (int i = 0; i < 40; ++i) keys.push_back(std::string(1, 'k').append(std::to_string(i)));
  const std::string values = "0123456789";
  for (int round = 0; round < 2; ++round) {
    map.clear();
    map.add("p:k5", std::string_view(values).substr(8, 1));  // found under k5 only while no bare k5 exists
    map.add("p:k40", std::string_view(values).substr(8, 1));
    map.add("q:k40", std::string_view(values).substr(7, 1));  // a later prefixed name does not replace an earlier one
    for (std::size_t i = 0; i < keys.size(); ++i) map.add(keys[i], std::string_view(values).substr(i % 10, 1));
    map.add("k3", std::string_view(values).substr(9, 1));  // the last full name wins
    EXPECT_EQ(map.get("k3"), "9");
    EXPECT_EQ(map.get("k5"), "5");
    EXPECT_EQ(map.get("k39"), "9");
    EXPECT_EQ(map.get("k40"), "8");
    EXPECT_EQ(map.get("p:k40"), "8");
    EXPECT_EQ(map.get("q:k40"), "7");
    EXPECT_FALSE(map.get("k41"));
    EXPECT_FALSE(map.get("40"));
  }
}

TEST(ParserRouting, FramelessElementsWithEndTagsLeaveAncestorsIntact) {
  const auto doc = parse_ok(
      "<x xmlns:p='urn:p'><link><loc xlink:label='L' xlink:href='d.htm#f1'></loc>"
      "<footnoteArc xlink:from='L' xlink:to='N'></footnoteArc></link>"
      "<p:a contextRef='c' id='f1'>1</p:a></x>");
  ASSERT_EQ(doc.facts.size(), 1U);
  EXPECT_EQ(doc.facts[0].concept_name.namespace_uri, "urn:p");
}

TEST(ParserRouting, InlineElementWithoutNameBecomesAPlainFact) {
  const auto doc = parse_ok("<x><ix:nonFraction contextRef='c'>5</ix:nonFraction></x>");
  ASSERT_EQ(doc.facts.size(), 1U);
  EXPECT_EQ(doc.facts[0].concept_name.to_string(), "ix:nonFraction");
  EXPECT_FALSE(doc.facts[0].inline_meta.has_value());
}

TEST(ParserRouting, InputEndingInsideAFactDropsIt) {
  const auto doc = parse_ok("<x><a contextRef='c'>1</a><b contextRef='c'>2");
  ASSERT_EQ(doc.facts.size(), 1U);
  EXPECT_EQ(text_of(doc.facts[0]), "text:1");
}

TEST(ParserErrors, EveryMessageExactly) {
  struct Case {
    std::string input;
    std::string message;
  };
  const Case cases[] = {
      {"<x/></x>", "XML parse error at byte None: unexpected closing tag x"},
      {"</xbrl>", "XML parse error at byte None: unexpected closing tag xbrl"},
      {"<a>\xC3(</a>", "XML parse error at byte Some(3): invalid utf-8 sequence of 1 bytes from index 3"},
      {"\xEF\xBB\xBF<a>\xE2\x82", "XML parse error at byte Some(6): incomplete utf-8 byte sequence from index 6"},
      {"<a></b>", "XML error: mismatched end tag: expected </a>, found </b> at byte 3"},
      {"<a>&nbsp;</a>", "XML error: unknown entity &nbsp; at byte 3"},
      {"<a x='&bogus;'/>", "XML error: unknown entity &bogus; at byte 6"},
      {"<a x/>", "XML attribute error: attribute x has no '=' at byte 4"},
      {"<a x='&bad;' y/>", "XML error: unknown entity &bad; at byte 6"},  // attributes fail in document order
      {"<x><f contextRef='c' decimals='two'/></x>", "XML parse error at byte None: invalid decimals value: two"},
      {"<x><f contextRef='c' precision='-1'/></x>", "XML parse error at byte None: invalid precision value: -1"},
      {"<x><ix:nonFraction name='a' contextRef='c' scale='30'/></x>",
       "XML parse error at byte None: scale value 30 out of supported range [-28, 28]"},
      {"<x><ix:nonFraction name='a' contextRef='c' scale='3.0'/></x>",
       "XML parse error at byte None: invalid scale value: 3.0"},
      {"<x><context id='c'><typedMember dimension='d'><v>1</v>",
       "XML error: unexpected end of input before </typedMember> closing the element opened at byte 19"},
      {"<x><footnote>text", "XML error: unexpected end of input before </footnote> closing the element opened at byte 3"},
      {"<x><unit id='u'><measure/></unit></x>p:m",
       "XML parse error at byte None: missing namespace scope"},
  };
  for (const Case& c : cases) EXPECT_EQ(parse_error(c.input), c.message) << c.input;
}

TEST(ParserErrors, MessagesOnlyReachableBelowTheUpFrontCheck) {
  EXPECT_EQ(detail::cdata_text("ok", 9).value(), "ok");
  EXPECT_EQ(detail::cdata_text("a\xFF", 57).error().render(),
            "XML parse error at byte Some(57): invalid UTF-8 in CDATA: invalid utf-8 sequence of 1 bytes from index 1");
  EXPECT_EQ(detail::unexpected_closing_tag("a\xC0").render(),
            "XML parse error at byte None: unexpected closing tag <non-utf8>");
}
