// The pull reader's leniencies, errors and raw-content reading, and entity
// decoding. Offsets, names, attributes and text of well-formed input are
// compared with expat in xml_reader_expat_test.

#include "quorrel/core/xml_reader.hpp"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

using quorrel::core::unescape_xml;
using quorrel::core::XmlAttribute;
using quorrel::core::XmlEvent;
using quorrel::core::XmlReader;

namespace {

using Trace = std::vector<std::string>;

// One line per event: kind, name or text, start and end offsets, attributes
// as name=raw value. Reader errors end the trace with "error: ...".
Trace trace(std::string_view input) {
  Trace out;
  XmlReader r(input);
  for (;;) {
    auto e = r.next();
    if (!e) {
      out.push_back("error: ");
      out.back() += e.error();
      return out;
    }
    std::string span = " ";
    span.append(std::to_string(r.event_start())).append("-").append(std::to_string(r.offset()));
    switch (*e) {
      case XmlEvent::Start:
      case XmlEvent::Empty: {
        std::string line = std::string(*e == XmlEvent::Start ? "start " : "empty ") + std::string(r.name()) + span;
        for (const XmlAttribute& a : r.attributes()) line.append(" ").append(a.name).append("=").append(a.raw_value);
        if (!r.attribute_error().empty()) line.append(" attr-error: ").append(r.attribute_error());
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

// A copy in a buffer of exactly its size, so that a read past its end is
// caught under the address sanitizer.
struct Exact {
  explicit Exact(std::string_view s) : bytes(new char[s.size()]), view(bytes.get(), s.size()) {
    std::copy(s.begin(), s.end(), bytes.get());
  }
  std::unique_ptr<char[]> bytes;
  std::string_view view;
};

// name=value@offset for each attribute, then the fault that ended the list.
std::string walk(const XmlReader& r) {
  std::string out;
  for (const XmlAttribute& a : r.attributes()) {
    out.append(a.name).append("=").append(a.raw_value).append("@").append(std::to_string(a.value_offset)).append(" ");
  }
  return r.attribute_error().empty() ? out : out + "error: " + std::string(r.attribute_error());
}

// A name of the given length that mixes letters with the digits, ":", "-"
// and "." a name may hold.
std::string name_of(std::size_t length) {
  static constexpr std::string_view kPattern = "nAme1:b-c.D9_\xC3\xA9z";
  std::string name;
  for (std::size_t i = 0; name.size() < length; ++i) name += kPattern[i % kPattern.size()];
  if (name.back() == '\xC3') name.back() = 'q';  // keep the name whole UTF-8
  return name;
}

}  // namespace

// Each deliberate leniency, pinned so that nobody "fixes" it later.
TEST(XmlReader, AcceptedInputs) {
  const std::pair<const char*, Trace> cases[] = {
      {"\xEF\xBB\xBF<a/>", {"empty a 0-4"}},  // the byte-order mark is skipped and not counted
      {"<a>\n  hi there \r\n<b/>\t \n</a>", {"start a 0-3", "text hi there", "empty b 17-21", "end a 24-28"}},
      {"\n<?xml version='1.0' encoding='ascii'?>\n<!DOCTYPE x PUBLIC \"a>b\" [ <!ENTITY e 'v>'>"
       " <!-- ] > --> <?pi ]>?> ]>\n<x><?p?></x>",
       {"start x 110-113", "end x 118-122"}},
      {"<a x='1' x='2'/>", {"empty a 0-16 x=1 x=2"}},
      {"<a>\x01</a>", {"start a 0-3", "text \x01", "end a 4-8"}},
      {"<a x='\x02'/>", {"empty a 0-10 x=\x02"}},
      {"x<a/><b/>y", {"text x", "empty a 1-5", "empty b 5-9", "text y"}},
      {"<a><?xml version='1.0'?></a>", {"start a 0-3", "end a 24-28"}},
      {"<a x='<b>'/>", {"empty a 0-12 x=<b>"}},
      {"<a>]]></a>", {"start a 0-3", "text ]]>", "end a 6-10"}},
      {"<a><b>text", {"start a 0-3", "start b 3-6", "text text"}},
      {"</a>", {"end a 0-4"}},
      {"<a x='1\r\n2'>\r\n</a>", {"start a 0-12 x=1\r\n2", "end a 14-18"}},
      {"<p:a q:x='1'/>", {"empty p:a 0-14 q:x=1"}},
  };
  for (const auto& [input, expected] : cases) EXPECT_EQ(trace(input), expected) << input;
}

TEST(XmlReader, MalformedMarkupNamesTheFaultAndItsByte) {
  const std::pair<const char*, const char*> cases[] = {
      {"<a><b></a>", "mismatched end tag: expected </b>, found </a> at byte 6"},
      {"<a x='1'", "unexpected end of input inside tag at byte 0"},
      {"<a x='1>", "unexpected end of input inside attribute value at byte 5"},
      {"<a></a", "unexpected end of input inside end tag at byte 3"},
      {"<a><!-- x", "unterminated comment at byte 3"},
      {"<a><![CDATA[x]>", "unterminated CDATA section at byte 3"},
      {"<?xml version='1.0'", "unterminated processing instruction at byte 0"},
      {"<!DOCTYPE a [<!ENTITY e '>'>", "unterminated DOCTYPE at byte 0"},
      {"<!ELEMENT a ANY>", "unsupported markup declaration at byte 0"},
      {"< a/>", "empty element name at byte 0"},
      {"<a></>", "empty end tag name at byte 3"},
      {"<", "unexpected end of input after '<' at byte 0"},
  };
  for (const auto& [input, message] : cases) EXPECT_EQ(trace(input).back(), std::string("error: ") + message) << input;
  const std::pair<const char*, const char*> attributes[] = {
      {"<a b=c/>", "empty a 0-8 attr-error: attribute b has no quoted value at byte 5"},
      {"<a x='1' b>", "start a 0-11 x=1 attr-error: attribute b has no '=' at byte 10"},
      {"<a x='1'y='2'/>", "empty a 0-15 x=1 attr-error: missing white space before attribute y at byte 8"},
      {"<a ='1'/>", "empty a 0-9 attr-error: expected an attribute name at byte 3"},
  };
  for (const auto& [input, line] : attributes) EXPECT_EQ(trace(input).front(), line) << input;
}

TEST(XmlReader, RawInnerContentIsTheExactSourceUpToTheMatchingEndTag) {
  XmlReader r("<r><t a='1'> <x:m>&lt;v&bogus;</x:m><t>n</t><!-- c --> </t><after/></r>");
  ASSERT_EQ(*r.next(), XmlEvent::Start);
  ASSERT_EQ(*r.next(), XmlEvent::Start);
  EXPECT_EQ(r.read_raw_inner().value(), " <x:m>&lt;v&bogus;</x:m><t>n</t><!-- c --> ");
  EXPECT_EQ(*r.next(), XmlEvent::Empty);
  EXPECT_EQ(r.name(), "after");
  EXPECT_EQ(*r.next(), XmlEvent::End);
  EXPECT_EQ(r.depth(), 0U);
  XmlReader open("<t>abc<u></u>");
  ASSERT_EQ(*open.next(), XmlEvent::Start);
  EXPECT_EQ(open.read_raw_inner().error(), "unexpected end of input before </t> closing the element opened at byte 0");
  XmlReader mismatched("<t><u></v></t>");
  ASSERT_EQ(*mismatched.next(), XmlEvent::Start);
  EXPECT_EQ(mismatched.read_raw_inner().error(), "mismatched end tag: expected </u>, found </v> at byte 6");
}

TEST(XmlReader, UnescapeEntitiesAndCharacterReferences) {
  const std::pair<const char*, const char*> cases[] = {
      {"a &lt;&gt;&amp;&apos;&quot; b", "a <>&'\" b"},
      {"&#65;&#x42;&#x0063;&#0000068;&#xe9;&#xA0;&#x10FFFF;", "ABcD\xC3\xA9\xC2\xA0\xF4\x8F\xBF\xBF"},
      {"x&nbsp;", "error: unknown entity &nbsp; at byte 101"},
      {"a & b", "error: bare '&' not followed by an entity name at byte 102"},
      {"&amp", "error: entity reference without ';' at byte 100"},
      {"&lt x", "error: entity reference without ';' at byte 100"},
      {"&#0;", "error: invalid character reference &#0; at byte 100"},
      {"&#xD800;", "error: invalid character reference &#xD800; at byte 100"},
      {"&#x110000;", "error: invalid character reference &#x110000; at byte 100"},
      {"&#99999999999999999999;", "error: invalid character reference &#99999999999999999999; at byte 100"},
      {"&#x;", "error: malformed character reference at byte 100"},
      {"&#X41;", "error: malformed character reference at byte 100"},
      {"&#12a;", "error: malformed character reference at byte 100"},
  };
  for (const auto& [raw, expected] : cases) {
    std::string out;
    const auto r = unescape_xml(raw, 100, out);
    EXPECT_EQ(r ? out : "error: " + r.error(), expected) << raw;
  }
}

TEST(XmlReader, UnescapeAcrossRunsOfEveryLength) {
  // Plain runs of every length around references, so that each lands before,
  // on and after a 16-byte boundary; a fault after a long run keeps exactly
  // what was decoded before it, after the caller's own text.
  for (std::size_t k = 0; k <= 40; ++k) {
    SCOPED_TRACE(k);
    const std::string run(k, 'x');
    std::string out = "pre";
    ASSERT_TRUE(unescape_xml(run + "&lt;" + run + "&#x41;&amp;" + run + "&gt;&quot;" + run, 0, out));
    EXPECT_EQ(out, "pre" + run + "<" + run + "A&" + run + ">\"" + run);
    out = "pre";
    const auto r = unescape_xml(run + "&lt;" + run + "&bad;", 100, out);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error(), "unknown entity &bad; at byte " + std::to_string(104 + 2 * k));
    EXPECT_EQ(out, "pre" + run + "<" + run);
  }
}

TEST(XmlReader, TagsOfEveryLengthAroundSixteenByteBlocks) {
  // Element names, attribute names and values of every length around the
  // 16-byte blocks the reader scans, with every kind of separator, both
  // quotes, and ">", "/", "=" and references inside values.
  const char* separators[] = {" ", "\t", "\n", "\r\n", "  ", " \t "};
  const char* equals[] = {"=", "=", " = ", "\n=\t"};
  const char* ends[] = {">", "/>", " />", "\t>"};
  std::size_t variant = 0;
  for (std::size_t element = 1; element <= 34; ++element) {
    for (std::size_t attribute = 1; attribute <= 34; attribute += 3) {
      for (std::size_t length = 0; length <= 36; ++length, ++variant) {
        const std::string tag = name_of(element);
        const std::string key = name_of(attribute);
        std::string value(length, 'v');
        const bool amp = variant % 5 == 0 && length >= 5;
        if (amp) value.replace(length - 5, 5, "&amp;");
        if (!amp && length > 2 && variant % 3 == 0) value[length / 2] = "/>=<"[variant % 4];
        const char quote = variant % 2 ? '"' : '\'';
        const std::string end = ends[variant % 4];
        std::string doc = "<" + tag + separators[variant % 6] + key + equals[variant % 4] + quote;
        const std::size_t first_value = doc.size();
        doc += value + quote + separators[(variant + 1) % 6] + "z='1'";
        const std::size_t second_value = doc.size() - 2;
        const std::size_t tag_end = doc.size() + end.size();
        doc += end + "&amp;</" + tag + ">";
        const Exact input(doc);
        SCOPED_TRACE(doc);
        XmlReader r(input.view);
        const auto e = r.next();
        ASSERT_TRUE(e.has_value());
        EXPECT_EQ(*e, end == ">" || end == "\t>" ? XmlEvent::Start : XmlEvent::Empty);
        EXPECT_EQ(r.name(), tag);
        EXPECT_EQ(r.offset(), tag_end);
        const std::string expected =
            key + "=" + value + "@" + std::to_string(first_value) + " z=1@" + std::to_string(second_value) + " ";
        EXPECT_EQ(r.attribute_values_escaped(), amp);
        EXPECT_EQ(walk(r), expected);
        ASSERT_EQ(*r.next(), XmlEvent::Text);
        EXPECT_TRUE(r.text_escaped());
        ASSERT_EQ(*r.next(), XmlEvent::End);
        EXPECT_EQ(r.name(), tag);
        EXPECT_EQ(r.offset(), doc.size());
        if (HasFailure()) return;
      }
    }
  }
}

TEST(XmlReader, EndOfInputInsideATagAtEveryByte) {
  const std::string doc = "<" + name_of(19) + " a='" + std::string(17, 'x') + "&lt;' bb=\"" + std::string(30, 'y') + "\"\t/>";
  const std::size_t first_quote = doc.find('\'');
  const std::size_t second_quote = doc.find('"');
  for (std::size_t k = 1; k < doc.size(); ++k) {
    const Exact input(std::string_view(doc).substr(0, k));
    std::string expected = "error: unexpected end of input inside tag at byte 0";
    if (k == 1) expected = "error: unexpected end of input after '<' at byte 0";
    if (k > first_quote && k <= doc.find('\'', first_quote + 1)) {
      expected = "error: unexpected end of input inside attribute value at byte " + std::to_string(first_quote);
    }
    if (k > second_quote && k <= doc.find('"', second_quote + 1)) {
      expected = "error: unexpected end of input inside attribute value at byte " + std::to_string(second_quote);
    }
    EXPECT_EQ(trace(input.view), Trace{expected}) << k;
  }
}

TEST(XmlReader, EndTagNamesAreComparedWhole) {
  // Every length around the eight and sixteen bytes compared at once, a
  // difference at every position, and end tags that end the input.
  for (std::size_t length = 1; length <= 24; ++length) {
    const std::string name = name_of(length);
    for (const std::string after : {"", "  trailing text"}) {
      EXPECT_EQ(trace("<" + name + "></" + name + ">" + after).at(1),
                "end " + name + " " + std::to_string(length + 2) + "-" + std::to_string(2 * length + 5))
          << name << after;
      for (std::size_t i = 0; i < length; ++i) {
        std::string other = name;
        other[i] = other[i] == 'Q' ? 'R' : 'Q';
        const std::string doc = "<" + name + "></" + other + ">" + after;
        EXPECT_EQ(trace(Exact(doc).view).back(), "error: mismatched end tag: expected </" + name + ">, found </" +
                                                     other + "> at byte " + std::to_string(length + 2))
            << doc;
      }
    }
  }
}

TEST(XmlReader, AReferenceCountsOnlyBeforeTheEndOfItsTextOrValue) {
  // An "&" right after the end of a run of text or of a value, in the same
  // 16-byte block or the next, belongs to what follows.
  for (std::size_t length = 0; length <= 34; ++length) {
    const std::string run(length, 'x');
    for (const std::string gap : {"", "0123456789abcdef"}) {
      const std::string doc = "<a v='" + run + "' w=\"" + run + "\">" + run + "<b/>" + gap + "&amp;</a>";
      XmlReader r(doc);
      ASSERT_EQ(*r.next(), XmlEvent::Start);
      EXPECT_FALSE(r.attribute_values_escaped()) << length;
      if (length > 0) {
        ASSERT_EQ(*r.next(), XmlEvent::Text);
        EXPECT_FALSE(r.text_escaped()) << length;
      }
      ASSERT_EQ(*r.next(), XmlEvent::Empty);
      ASSERT_EQ(*r.next(), XmlEvent::Text);
      EXPECT_TRUE(r.text_escaped()) << length;
    }
  }
}
