#include "quorrel/core/xml_reader.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using quorrel::core::unescape_xml;
using quorrel::core::XmlEvent;
using quorrel::core::XmlReader;

namespace {

// One line per event: kind, name or text, start offset and end offset;
// attributes as name=raw value. Reader errors end the trace with "error: ...".
std::vector<std::string> trace(std::string_view input) {
  std::vector<std::string> out;
  XmlReader r(input);
  for (;;) {
    auto e = r.next();
    if (!e) {
      std::string line = "error: ";
      line += e.error();
      out.push_back(line);
      return out;
    }
    std::string span = " ";
    span += std::to_string(r.event_start());
    span += '-';
    span += std::to_string(r.offset());
    switch (*e) {
      case XmlEvent::Start:
      case XmlEvent::Empty: {
        std::string line = std::string(*e == XmlEvent::Start ? "start " : "empty ") + std::string(r.name()) + span;
        auto it = r.attributes();
        for (;;) {
          auto a = it.next();
          if (!a) {
            line += " attr-error: ";
            line += a.error();
            break;
          }
          if (!a->has_value()) break;
          line += ' ';
          line += (*a)->name;
          line += '=';
          line += (*a)->raw_value;
        }
        out.push_back(line);
        break;
      }
      case XmlEvent::End: out.push_back("end " + std::string(r.name()) + span); break;
      case XmlEvent::Text: out.push_back("text " + std::string(r.text())); break;
      case XmlEvent::CData: out.push_back("cdata " + std::string(r.text())); break;
      case XmlEvent::Eof: return out;
    }
  }
}

using Trace = std::vector<std::string>;

std::string unescape(std::string_view raw) {
  std::string out;
  auto r = unescape_xml(raw, 100, out);
  return r ? out : "error: " + r.error();
}

}  // namespace

TEST(XmlReaderPositions, StartEmptyAndEndTagsCarryBothOffsets) {
  EXPECT_EQ(trace("<a x='1'><b/>t<c  >u</c ></a>"),
            (Trace{"start a 0-9 x=1", "empty b 9-13", "text t", "start c 14-19", "text u", "end c 20-25",
                   "end a 25-29"}));
}

TEST(XmlReaderPositions, ByteOrderMarkIsSkippedAndNotCounted) {
  EXPECT_EQ(trace("\xEF\xBB\xBF<a/>"), (Trace{"empty a 0-4"}));
  XmlReader r("\xEF\xBB\xBF<a/>");
  EXPECT_EQ(r.data(), "<a/>");
}

TEST(XmlReaderText, TrimmedAndBlankTextDropped) {
  EXPECT_EQ(trace("<a>\n  hello world \r\n<b/>\t \n</a>"),
            (Trace{"start a 0-3", "text hello world", "empty b 20-24", "end a 27-31"}));
}

TEST(XmlReaderText, CommentsSplitTextAndCDataIsRaw) {
  EXPECT_EQ(trace("<a>x<!-- c -->y<![CDATA[ <&z> ]]></a>"),
            (Trace{"start a 0-3", "text x", "text y", "cdata  <&z> ", "end a 33-37"}));
}

TEST(XmlReaderSkips, DeclarationsInstructionsAndDoctype) {
  EXPECT_EQ(trace("\n<?xml version='1.0' encoding='ascii'?>\n<!DOCTYPE x PUBLIC \"a>b\" [ <!ENTITY e 'v>'>"
                  " <!-- ] > --> <?pi ]>?> ]>\n<x><?p?></x>"),
            (Trace{"start x 110-113", "end x 118-122"}));
}

// Each deliberate leniency, pinned so that nobody "fixes" it later.
TEST(XmlReaderLeniency, AcceptedInputs) {
  struct Case {
    const char* name;
    const char* input;
    Trace expected;
  };
  const Case cases[] = {
      {"repeated attribute", "<a x='1' x='2'/>", {"empty a 0-16 x=1 x=2"}},
      {"control character in text", "<a>\x01</a>", {"start a 0-3", "text \x01", "end a 4-8"}},
      {"control character in value", "<a x='\x02'/>", {"empty a 0-10 x=\x02"}},
      {"second root", "<a/><b/>", {"empty a 0-4", "empty b 4-8"}},
      {"text outside the root", "x<a/>y", {"text x", "empty a 1-5", "text y"}},
      {"declaration after a line feed", "\n<?xml version='1.0'?><a/>", {"empty a 22-26"}},
      {"declaration in the middle", "<a><?xml version='1.0'?></a>", {"start a 0-3", "end a 24-28"}},
      {"< and > inside a value", "<a x='<b>'/>", {"empty a 0-12 x=<b>"}},
      {"]]> in text", "<a>]]></a>", {"start a 0-3", "text ]]>", "end a 6-10"}},
      {"input ends with elements open", "<a><b>text", {"start a 0-3", "start b 3-6", "text text"}},
      {"end tag with nothing open", "</a>", {"end a 0-4"}},
      {"white space around =", "<a x = \"1\"/>", {"empty a 0-12 x=1"}},
      {"no line-ending normalization", "<a x='1\r\n2'>\r\n</a>", {"start a 0-12 x=1\r\n2", "end a 14-18"}},
      {"undeclared prefixes", "<p:a q:x='1'/>", {"empty p:a 0-14 q:x=1"}},
      {"DOCTYPE entity stays unknown but is skipped", "<!DOCTYPE a [<!ENTITY e 'x'>]><a/>", {"empty a 30-34"}},
  };
  for (const Case& c : cases) EXPECT_EQ(trace(c.input), c.expected) << c.name;
}

TEST(XmlReaderErrors, MalformedMarkupNamesTheFaultAndItsByte) {
  struct Case {
    const char* input;
    const char* message;
  };
  const Case cases[] = {
      {"<a></b>", "mismatched end tag: expected </a>, found </b> at byte 3"},
      {"<a><b></a>", "mismatched end tag: expected </b>, found </a> at byte 6"},
      {"<a x='1'", "unexpected end of input inside tag at byte 0"},
      {"<a x='1>", "unexpected end of input inside attribute value at byte 5"},
      {"<a></a", "unexpected end of input inside end tag at byte 3"},
      {"<a><!-- x", "unterminated comment at byte 3"},
      {"<a><![CDATA[x]>", "unterminated CDATA section at byte 3"},
      {"<?xml version='1.0'", "unterminated processing instruction at byte 0"},
      {"<!DOCTYPE a [<!ENTITY e '>'>", "unterminated DOCTYPE at byte 0"},
      {"<!ELEMENT a ANY>", "unsupported markup declaration at byte 0"},
      {"<>", "empty element name at byte 0"},
      {"< a/>", "empty element name at byte 0"},
      {"<a></>", "empty end tag name at byte 3"},
      {"<", "unexpected end of input after '<' at byte 0"},
  };
  for (const Case& c : cases) {
    const Trace t = trace(c.input);
    ASSERT_FALSE(t.empty()) << c.input;
    EXPECT_EQ(t.back(), std::string("error: ") + c.message) << c.input;
  }
}

TEST(XmlReaderAttributes, MalformedListsAreAttributeErrors) {
  struct Case {
    const char* input;
    const char* line;
  };
  const Case cases[] = {
      {"<a b/>", "empty a 0-6 attr-error: attribute b has no '=' at byte 4"},
      {"<a b=c/>", "empty a 0-8 attr-error: attribute b has no quoted value at byte 5"},
      {"<a x='1' b>", "start a 0-11 x=1 attr-error: attribute b has no '=' at byte 10"},
      {"<a x='1'y='2'/>", "empty a 0-15 x=1 attr-error: missing white space before attribute y at byte 8"},
      {"<a ='1'/>", "empty a 0-9 attr-error: expected an attribute name at byte 3"},
      {"<a=\"1\"/>", "empty a 0-8 attr-error: expected an attribute name at byte 2"},
  };
  for (const Case& c : cases) EXPECT_EQ(trace(c.input).front(), c.line) << c.input;
}

TEST(XmlReaderRawInner, ReturnsExactSourceAndConsumesTheEndTag) {
  XmlReader r("<r><t a='1'> <x:m>&lt;v&bogus;</x:m><t>n</t><!-- c --> </t><after/></r>");
  ASSERT_EQ(*r.next(), XmlEvent::Start);
  ASSERT_EQ(*r.next(), XmlEvent::Start);
  auto inner = r.read_raw_inner();
  ASSERT_TRUE(inner.has_value());
  EXPECT_EQ(*inner, " <x:m>&lt;v&bogus;</x:m><t>n</t><!-- c --> ");
  EXPECT_EQ(*r.next(), XmlEvent::Empty);
  EXPECT_EQ(r.name(), "after");
  EXPECT_EQ(*r.next(), XmlEvent::End);
  EXPECT_EQ(r.depth(), 0U);
}

TEST(XmlReaderRawInner, FailsWithoutAMatchingEndTag) {
  XmlReader r("<r><t>abc<u></u>");
  ASSERT_EQ(*r.next(), XmlEvent::Start);
  ASSERT_EQ(*r.next(), XmlEvent::Start);
  EXPECT_EQ(r.read_raw_inner().error(), "unexpected end of input before </t> closing the element opened at byte 3");
  XmlReader m("<t><u></v></t>");
  ASSERT_EQ(*m.next(), XmlEvent::Start);
  EXPECT_EQ(m.read_raw_inner().error(), "mismatched end tag: expected </u>, found </v> at byte 6");
}

TEST(XmlUnescape, PredefinedEntitiesAndCharacterReferences) {
  EXPECT_EQ(unescape("a &lt;&gt;&amp;&apos;&quot; b"), "a <>&'\" b");
  EXPECT_EQ(unescape("&#65;&#x42;&#x0063;&#0000068;&#xe9;&#XA0;"),
            "error: malformed character reference at byte 135");
  EXPECT_EQ(unescape("&#65;&#x42;&#x0063;&#0000068;&#xe9;&#xA0;&#x10FFFF;"),
            "ABcD\xC3\xA9\xC2\xA0\xF4\x8F\xBF\xBF");
  EXPECT_EQ(unescape("no entities"), "no entities");
}

TEST(XmlUnescape, AnythingElseIsAnError) {
  struct Case {
    const char* raw;
    const char* message;
  };
  const Case cases[] = {
      {"x&nbsp;", "unknown entity &nbsp; at byte 101"},
      {"&", "bare '&' not followed by an entity name at byte 100"},
      {"a & b", "bare '&' not followed by an entity name at byte 102"},
      {"&amp", "entity reference without ';' at byte 100"},
      {"&lt x", "entity reference without ';' at byte 100"},
      {"&#0;", "invalid character reference &#0; at byte 100"},
      {"&#xD800;", "invalid character reference &#xD800; at byte 100"},
      {"&#x110000;", "invalid character reference &#x110000; at byte 100"},
      {"&#99999999999999999999;", "invalid character reference &#99999999999999999999; at byte 100"},
      {"&#;", "malformed character reference at byte 100"},
      {"&#x;", "malformed character reference at byte 100"},
      {"&#X41;", "malformed character reference at byte 100"},
      {"&#12a;", "malformed character reference at byte 100"},
  };
  for (const Case& c : cases) EXPECT_EQ(unescape(c.raw), std::string("error: ") + c.message) << c.raw;
}
