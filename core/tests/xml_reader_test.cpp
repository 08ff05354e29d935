// The pull reader's leniencies and entity decoding, and its scanning around
// 16-byte blocks. Offsets, names, attributes and text of
// well-formed input are compared with expat in corpus_test; every error
// message is pinned in parser_test.

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

// The attributes of the current tag as name=value@offset, then the fault that ended the list.
std::string attributes_of(const XmlReader& r) {
  std::string out;
  for (const XmlAttribute& a : r.attributes()) {
    out.append(" ").append(a.name).append("=").append(a.raw_value).append("@").append(std::to_string(a.value_offset));
  }
  return r.attribute_error().empty() ? out : out + " error: " + std::string(r.attribute_error());
}

// One line per event: kind, name or text, start and end offsets, attributes.
// A reader error ends the trace with "error: ...".
Trace trace(std::string_view input) {
  Trace out;
  XmlReader r(input);
  for (;;) {
    auto e = r.next();
    if (!e) {
      out.push_back("error: " + e.error());
      return out;
    }
    const std::string span = " " + std::to_string(r.event_start()) + "-" + std::to_string(r.offset());
    switch (*e) {
      case XmlEvent::Start: out.push_back("start " + std::string(r.name()) + span + attributes_of(r)); break;
      case XmlEvent::Empty: out.push_back("empty " + std::string(r.name()) + span + attributes_of(r)); break;
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

// Each deliberate leniency, pinned so that nobody "fixes" it later, and a
// malformed attribute list, which is no error of the reader's own.
TEST(XmlReader, AcceptedInputs) {
  const std::pair<const char*, Trace> cases[] = {
      {"\xEF\xBB\xBF<a/>", {"empty a 0-4"}},  // the byte-order mark is skipped and not counted
      {"<a>\n  hi there \r\n<b/>\t \n</a>", {"start a 0-3", "text hi there", "empty b 17-21", "end a 24-28"}},
      {"\n<?xml version='1.0' encoding='ascii'?>\n<!DOCTYPE x PUBLIC \"a>b\" [ <!ENTITY e 'v>'>"
       " <!-- ] > --> <?pi ]>?> ]>\n<x><?p?></x>",
       {"start x 110-113", "end x 118-122"}},
      {"<a x='1' x=\"2\"/>", {"empty a 0-16 x=1@6 x=2@12"}},
      {"<a>\x01</a>", {"start a 0-3", "text \x01", "end a 4-8"}},
      {"<a x='\x02'/>", {"empty a 0-10 x=\x02@6"}},
      {"x<a/><b/>y", {"text x", "empty a 1-5", "empty b 5-9", "text y"}},
      {"<a><?xml version='1.0'?></a>", {"start a 0-3", "end a 24-28"}},
      {"<a x='<b>'/>", {"empty a 0-12 x=<b>@6"}},
      {"<a>]]></a>", {"start a 0-3", "text ]]>", "end a 6-10"}},
      {"<a><b>text", {"start a 0-3", "start b 3-6", "text text"}},
      {"</a>", {"end a 0-4"}},
      {"<a x='1\r\n2'>\r\n</a>", {"start a 0-12 x=1\r\n2@6", "end a 14-18"}},
      {"<p:a b\"c\"='1'/>", {"empty p:a 0-15 b\"c\"=1@11"}},
      {"<a x='1' b\"c=\"x>\" d>", {"start a 0-16 x=1@6 error: unterminated value of attribute b\"c at byte 13",
                                   "text \" d>"}},
  };
  for (const auto& [input, expected] : cases) EXPECT_EQ(trace(input), expected) << input;
}

TEST(XmlReader, UnescapeEveryReferenceKindAcrossRunsOfEveryLength) {
  // Plain runs of every length around references, so that each lands before,
  // on and after a 16-byte boundary; a fault after a long run keeps exactly
  // what was decoded before it, after the caller's own text.
  for (std::size_t k = 0; k <= 40; ++k) {
    SCOPED_TRACE(k);
    const std::string run(k, 'x');
    std::string out = "pre";
    ASSERT_TRUE(unescape_xml(run + "&lt;&gt;&amp;&apos;&quot;" + run +
                                 "&#65;&#x42;&#x0063;&#0000068;&#xe9;&#xA0;&#x10FFFF;" + run,
                             0, out));
    EXPECT_EQ(out, "pre" + run + "<>&'\"" + run + "ABcD\xC3\xA9\xC2\xA0\xF4\x8F\xBF\xBF" + run);
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
  // quotes, ">", "/", "=" and references inside values, and a malformed last
  // attribute, which has the list read again between the tag's ends.
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
        const bool malformed = variant % 7 == 0;
        std::string doc = "<" + tag + separators[variant % 6] + key + equals[variant % 4] + quote;
        std::string expected = " " + key + "=" + value + "@" + std::to_string(doc.size());
        doc += value + quote + separators[(variant + 1) % 6] + (malformed ? "z" : "z='1'");
        expected += malformed ? " error: attribute z has no '=' at byte " +
                                    std::to_string(doc.size() + end.find_first_not_of(" \t"))
                              : " z=1@" + std::to_string(doc.size() - 2);
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
        EXPECT_EQ(attributes_of(r), expected);
        if (!malformed) {
          EXPECT_EQ(r.attribute_values_escaped(), amp);
        }
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
