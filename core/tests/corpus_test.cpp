// The pull reader: its leniencies and its scanning around 16-byte blocks; then
// against expat on generated documents and on every filing of the corpus
// (names, tag offsets, attributes and decoded references, text and CDATA, once
// normalized as expat normalizes them). The corpus walk also checks that every filing parses
// (but four broken on purpose), with or without a byte-order mark, that every
// fact's range is its element, and that every fact normalizes against its own
// context and unit or fails for its own cause. Error messages are parser_test's.

#include <expat.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "quorrel/core/normalize.hpp"
#include "quorrel/core/parser.hpp"
#include "quorrel/core/text.hpp"
#include "quorrel/core/xml_reader.hpp"

namespace fs = std::filesystem;
using namespace quorrel::core;

namespace {

using Events = std::vector<std::string>;
using Trace = Events;

// The attributes of the current tag as name=value@offset, then the fault that ended the list.
std::string attributes_of(const XmlReader& r) {
  std::string out;
  for (const XmlAttribute& a : r.attributes()) {
    out.append(" ").append(a.name).append("=").append(a.raw_value).append("@").append(std::to_string(a.value_offset));
  }
  return r.attribute_error().empty() ? out : out + " error: " + std::string(r.attribute_error());
}

// One line per event: kind, name or text, offsets, attributes; a reader error ends it.
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

// A copy in a buffer of exactly its size, so that the address sanitizer catches a read past its end.
struct Exact {
  explicit Exact(std::string_view s) : bytes(new char[s.size()]), view(bytes.get(), s.copy(bytes.get(), s.size())) {}
  std::unique_ptr<char[]> bytes;
  std::string_view view;
};

// A name of the given length mixing letters with the digits, ":", "-" and "." a name may hold.
std::string name_of(std::size_t length) {
  static constexpr std::string_view kPattern = "nAme1:b-c.D9_\xC3\xA9z";
  std::string name;
  for (std::size_t i = 0; name.size() < length; ++i) name += kPattern[i % kPattern.size()];
  if (name.back() == '\xC3') name.back() = 'q';  // keep the name whole UTF-8
  return name;
}

// Line endings become "\n"; in attribute values every literal white space byte then becomes a space.
std::string normalize(std::string_view raw, bool attribute) {
  std::string out;
  for (std::size_t i = 0; i < raw.size(); ++i) {
    char c = raw[i];
    if (c == '\r') {
      if (i + 1 < raw.size() && raw[i + 1] == '\n') ++i;
      c = '\n';
    }
    out += attribute && (c == '\n' || c == '\t') ? ' ' : c;
  }
  return out;
}

std::string tag_line(char kind, std::string_view name, std::uint64_t start, std::uint64_t end) {
  return std::string(1, kind) + " " + std::string(name) + " " + std::to_string(start) + "-" + std::to_string(end);
}

// Text pieces between two tags are merged, trimmed, and kept when not blank.
void flush(std::string& pending, Events& out) {
  const std::size_t b = pending.find_first_not_of(" \t\n\r");
  if (b != std::string::npos) out.push_back("T " + pending.substr(b, pending.find_last_not_of(" \t\n\r") + 1 - b));
  pending.clear();
}

Events reader_events(std::string_view doc, std::string& error) {
  Events out;
  XmlReader r(doc);
  std::string pending, value;
  const auto decode = [&](std::string_view raw, bool attribute, std::string& into) {
    into.clear();
    auto ok = unescape_xml(normalize(raw, attribute), 0, into);
    if (!ok) error = ok.error();
    return ok.has_value();
  };
  for (;;) {
    auto e = r.next();
    if (!e) {
      error = e.error();
      return out;
    }
    switch (*e) {
      case XmlEvent::Start:
      case XmlEvent::Empty: {
        flush(pending, out);
        std::string line = tag_line('S', r.name(), r.event_start(), r.offset());
        if (!r.attribute_error().empty()) {
          error = r.attribute_error();
          return out;
        }
        for (const XmlAttribute& a : r.attributes()) {
          if (!decode(a.raw_value, true, value)) return out;
          line.append(" ").append(a.name).append("=").append(value);
        }
        out.push_back(line);
        if (*e == XmlEvent::Empty) out.push_back("E " + std::string(r.name()) + " empty");
        break;
      }
      case XmlEvent::End:
        flush(pending, out);
        out.push_back(tag_line('E', r.name(), r.event_start(), r.offset()));
        break;
      case XmlEvent::Text:
        if (!decode(r.text(), false, pending)) return out;
        flush(pending, out);
        break;
      case XmlEvent::CData:
        flush(pending, out);
        out.push_back("C " + normalize(r.text(), false));
        break;
      case XmlEvent::Eof: flush(pending, out); return out;
    }
  }
}

struct ExpatState {
  XML_Parser parser = XML_ParserCreate("UTF-8");
  Events out;
  std::string pending, cdata;
  bool in_cdata = false;
  std::uint64_t start() const { return static_cast<std::uint64_t>(XML_GetCurrentByteIndex(parser)); }
  std::uint64_t end() const { return start() + static_cast<std::uint64_t>(XML_GetCurrentByteCount(parser)); }
};

ExpatState& state(void* data) {
  auto& s = *static_cast<ExpatState*>(data);
  if (!s.in_cdata) flush(s.pending, s.out);
  return s;
}

Events expat_events(std::string_view doc, std::string& error) {
  ExpatState s;
  XML_SetUserData(s.parser, &s);
  XML_SetElementHandler(
      s.parser,
      [](void* data, const XML_Char* name, const XML_Char** atts) {
        ExpatState& s = state(data);
        std::string line = tag_line('S', name, s.start(), s.end());
        for (int i = 0; atts[i]; i += 2) line.append(" ").append(atts[i]).append("=").append(atts[i + 1]);
        s.out.push_back(line);
      },
      [](void* data, const XML_Char* name) {
        ExpatState& s = state(data);  // a count of zero is the end of an empty-element tag
        s.out.push_back(s.end() == s.start() ? "E " + std::string(name) + " empty" : tag_line('E', name, s.start(), s.end()));
      });
  XML_SetCharacterDataHandler(s.parser, [](void* data, const XML_Char* text, int len) {
    auto& s = *static_cast<ExpatState*>(data);
    (s.in_cdata ? s.cdata : s.pending).append(text, static_cast<std::size_t>(len));
  });
  XML_SetCdataSectionHandler(
      s.parser, [](void* data) { state(data).in_cdata = true; },
      [](void* data) {
        auto& s = *static_cast<ExpatState*>(data);
        s.in_cdata = false;
        s.out.push_back("C " + std::exchange(s.cdata, ""));
      });
  // Comments and instructions end a run of text, as they end a text event of the reader.
  XML_SetCommentHandler(s.parser, [](void* data, const XML_Char*) { state(data); });
  XML_SetProcessingInstructionHandler(s.parser, [](void* data, const XML_Char*, const XML_Char*) { state(data); });
  if (XML_Parse(s.parser, doc.data(), static_cast<int>(doc.size()), 0) == XML_STATUS_ERROR) {
    error = XML_ErrorString(XML_GetErrorCode(s.parser));
  }
  flush(s.pending, s.out);
  XML_ParserFree(s.parser);
  return std::move(s.out);
}

// Without the final flag expat may hold back the last tokens; compare the common
// prefix. A declaration after leading white space, one of the reader's
// leniencies, is blanked out for expat, which keeps every offset.
void expect_same(std::string_view doc, const std::string& label) {
  if (doc.starts_with("\xEF\xBB\xBF")) doc.remove_prefix(3);
  std::string reader_error, expat_error;
  const Events ours = reader_events(doc, reader_error);
  std::string for_expat(doc);
  const std::size_t first = for_expat.find_first_not_of(" \t\r\n");
  if (first != 0 && first != std::string::npos && for_expat.compare(first, 5, "<?xml") == 0) {
    const std::size_t close = for_expat.find("?>", first);
    if (close != std::string::npos) for_expat.replace(first, close + 2 - first, close + 2 - first, ' ');
  }
  const Events theirs = expat_events(for_expat, expat_error);
  ASSERT_EQ(reader_error + expat_error, "") << label;
  ASSERT_TRUE(theirs.size() <= ours.size() && ours.size() <= theirs.size() + 2) << label;
  for (std::size_t i = 0; i < theirs.size(); ++i) ASSERT_EQ(ours[i], theirs[i]) << label << " event " << i;
}

// A random well-formed document: nested elements, prefixed names, attributes
// in both quote styles, entities and character references, comments, CDATA,
// instructions, empty elements and white space everywhere a tag allows it.
std::string generate(std::mt19937& rng) {
  auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
  const char* names[] = {"a", "ix:nonFraction", "xbrli:context", "b-c.d", "p:x_y", "\xC3\xA9l\xC3\xA9ment"};
  const char* texts[] = {"plain", " 1 234 ", "&lt;&gt;&amp;&apos;&quot;", "&#65;&#x42;&#x00e9;", "\xE2\x82\xAC 5",
                         "a\r\nb", "line\rbreak", "x > y", "]]", "\t\n"};
  const char* values[] = {"v", "a&amp;b", "&#x20;&#9;", "x>y", "tab\there", "cr\r\nlf", "", "\xC3\xA9"};
  std::string doc = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<root>";
  std::vector<std::string> open{"root"};
  for (int i = 0, steps = 20 + pick(60); i < steps; ++i) {
    switch (pick(8)) {
      case 0:
      case 1: {
        const std::string name = names[pick(6)];
        doc += "<" + name;
        for (int k = 0, attrs = pick(4); k < attrs; ++k) {
          const char q = pick(2) ? '"' : '\'';
          doc += (pick(3) == 0 ? "\n  at" : " at") + std::to_string(k) + (pick(4) == 0 ? " = " : "=") + q +
                 values[pick(8)] + q;
        }
        const bool empty = pick(3) == 0;
        doc += empty ? (pick(2) ? "/>" : " />") : (pick(4) == 0 ? " >" : ">");
        if (!empty) open.push_back(name);
        break;
      }
      case 2:
        if (open.size() > 1) {
          doc += "</" + open.back() + (pick(4) == 0 ? " >" : ">");
          open.pop_back();
        }
        break;
      case 4: doc += "<!-- note - > -->"; break;
      case 5: doc += "<![CDATA[ raw <&> " + std::string(texts[pick(10)]) + " ]]>"; break;
      case 6: doc += "<?pi data?>"; break;
      default: doc += texts[pick(10)]; break;
    }
  }
  for (; !open.empty(); open.pop_back()) doc += "</" + open.back() + ">";
  return doc;
}

// The element starts with the fact's own tag and ends with "/>" or the end tag of that name.
void expect_element(std::string_view element, const RawFact& fact, const std::string& where) {
  ASSERT_TRUE(element.starts_with('<') && element.ends_with('>')) << where;
  const std::string_view tag = element.substr(1, element.find_first_of(" \t\r\n/>", 1) - 1);
  EXPECT_TRUE(fact.inline_meta || tag.substr(tag.find(':') + 1) == fact.concept_name.local_name) << where;
  if (element.ends_with("/>")) return;
  const std::size_t close = element.rfind("</");
  ASSERT_NE(close, std::string_view::npos) << where;
  EXPECT_EQ(trim_unicode_white_space(element.substr(close + 2, element.size() - close - 3)), tag) << where;
}

// A failure names its own cause; a success finds the document's own context
// and unit, and a bare number in a plain fact is read as it stands.
void expect_normalized(const InstanceDocument& doc, const ReferenceIndex& index, const RawFact& fact,
                       const std::string& where) {
  const auto r = normalize_fact(index, fact);
  const Context* context = doc.contexts.find(fact.context_ref);
  const Unit* unit = fact.unit_ref ? doc.units.find(*fact.unit_ref) : nullptr;
  const auto* numeric = std::get_if<NumericText>(&fact.value);
  if (context == nullptr) {
    EXPECT_EQ(r.error().render(), "missing context: " + std::string(fact.context_ref)) << where;
  } else if (fact.unit_ref && unit == nullptr) {
    EXPECT_EQ(r.error().render(), "missing unit: " + std::string(*fact.unit_ref)) << where;
  } else if (!r) {
    EXPECT_EQ(r.error().render(), "invalid decimal value: " + std::string(numeric ? numeric->text.view() : "?")) << where;
  } else {
    EXPECT_EQ(r->context, context) << where;
    EXPECT_EQ(r->unit, unit) << where;
    EXPECT_EQ(r->number.has_value(), numeric != nullptr) << where;
    const std::string_view text = numeric ? trim_unicode_white_space(numeric->text.view()) : "";
    if (numeric && !fact.inline_meta && !text.empty() && text.find_first_not_of("0123456789.-+eE") == text.npos) {
      const auto direct = Decimal::parse(text);
      EXPECT_TRUE(direct && direct->same_representation(*r->number)) << where << ": " << text;
    }
  }
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
        const std::string tag = name_of(element), key = name_of(attribute);
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
        EXPECT_TRUE(malformed || r.attribute_values_escaped() == amp);
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
  const std::size_t first = doc.find('\''), second = doc.find('"');
  for (std::size_t k = 1; k < doc.size(); ++k) {
    const std::size_t quote = k > first && k <= doc.find('\'', first + 1)    ? first
                              : k > second && k <= doc.find('"', second + 1) ? second
                                                                             : 0;
    const std::string where = k == 1  ? "after '<' at byte 0"
                              : quote ? "inside attribute value at byte " + std::to_string(quote)
                                      : "inside tag at byte 0";
    EXPECT_EQ(trace(Exact(doc.substr(0, k)).view), Trace{"error: unexpected end of input " + where}) << k;
  }
}

TEST(XmlReaderVersusExpat, GeneratedDocuments) {
  std::mt19937 rng(20240601);
  for (int i = 0; i < 400; ++i) {
    const std::string doc = generate(rng);
    expect_same(doc, "generated #" + std::to_string(i) + ": " + doc);
    if (HasFatalFailure()) return;
  }
}

TEST(Corpus, EveryFilingAgreesWithExpatParsesSlicesItsFactsAndNormalizes) {
  const fs::path corpus = fs::path(QUORREL_SHARED_DIR) / "corpus";
  if (!fs::is_directory(corpus)) GTEST_SKIP() << "corpus absent";
  // Broken on purpose; only the last is still well-formed XML.
  const std::map<std::string, std::string> broken = {
      {"nl/nt20/fr_nl__1-05-invalid-encoding.xbrl",
       "XML parse error at byte Some(0): invalid utf-8 sequence of 1 bytes from index 0"},
      {"nl/nt20/fr_nl__2-03-missing-lang.xbrl",
       "XML error: mismatched end tag: expected </xbrli:xbrl>, found </xbrl> at byte 628"},
      {"esef/ixbrl-viewer-samples/valeo.html", "XML error: mismatched end tag: expected </h3>, found </h2> at byte 10195"},
      {"nl/nt20/fr_nl__5-06-invalid-precision.xbrl", "XML parse error at byte None: invalid precision value: -1"},
  };
  const std::string well_formed_but_broken = "nl/nt20/fr_nl__5-06-invalid-precision.xbrl";
  std::size_t parsed = 0, failed = 0, facts = 0, numbers = 0;
  for (const auto& entry : fs::recursive_directory_iterator(corpus)) {
    const std::set<std::string> documents{".xml", ".xbrl", ".html", ".htm", ".xhtml"};
    if (!entry.is_regular_file() || !documents.contains(entry.path().extension().string())) continue;
    const std::string rel = fs::relative(entry.path(), corpus).generic_string();
    std::ifstream in(entry.path(), std::ios::binary);
    const std::string bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    const auto doc = parse_instance(bytes);
    if (const auto expected = broken.find(rel); expected != broken.end()) {
      ++failed;
      EXPECT_EQ(doc ? "parsed" : doc.error().render(), expected->second) << rel;
      if (rel == well_formed_but_broken) expect_same(bytes, rel);
      continue;
    }
    expect_same(bytes, rel);
    ASSERT_TRUE(doc.has_value()) << rel << ": " << doc.error().render();
    ++parsed;
    const bool has_bom = bytes.starts_with("\xEF\xBB\xBF");
    const std::string_view source = has_bom ? std::string_view(bytes).substr(3) : bytes;
    const auto other = parse_instance(has_bom ? std::string(source) : "\xEF\xBB\xBF" + bytes);
    ASSERT_TRUE(other.has_value()) << rel;
    ASSERT_EQ(other->facts, doc->facts) << rel;
    const ReferenceIndex index(*doc);
    for (std::size_t i = 0; i < doc->facts.size(); ++i) {
      const RawFact& fact = doc->facts[i];
      const std::string where = rel + " fact " + std::to_string(i);
      ASSERT_TRUE(fact.byte_range.has_value()) << where;
      const auto [start, end] = *fact.byte_range;
      ASSERT_TRUE(start < end && end <= source.size()) << where;
      expect_element(source.substr(start, end - start), fact, where);
      expect_normalized(*doc, index, fact, where);
      ++facts;
      numbers += std::holds_alternative<NumericText>(fact.value) ? 1 : 0;
    }
    if (HasFatalFailure()) return;
  }
  EXPECT_EQ(failed, broken.size());
  EXPECT_GT(parsed, 200U);
  EXPECT_GT(facts, 10000U);
  EXPECT_GT(numbers, 5000U);
}
