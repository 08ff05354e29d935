// The reader against expat, on generated well-formed documents and on every
// filing of the corpus. Names, both offsets of every tag, attributes, trimmed
// text and CDATA must agree, apart from the intended differences: expat
// normalizes line endings and attribute white space, so the reader's output
// is normalized the same way before comparing. The same walk of the corpus
// checks that every filing parses (but four broken on purpose), with or
// without a byte-order mark, that every fact's byte range slices out exactly
// its element, and that every fact normalizes or fails for its own cause.

#include <expat.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "quorrel/core/normalize.hpp"
#include "quorrel/core/parser.hpp"
#include "quorrel/core/text.hpp"
#include "quorrel/core/xml_reader.hpp"

namespace fs = std::filesystem;
using namespace quorrel::core;

namespace {

using Events = std::vector<std::string>;

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
  std::string s(1, kind);
  s.append(" ").append(name).append(" ").append(std::to_string(start)).append("-").append(std::to_string(end));
  return s;
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
  std::string pending;
  const auto decode = [&](std::string_view raw, bool attribute, std::string& value) {
    value.clear();
    auto ok = quorrel::core::unescape_xml(normalize(raw, attribute), 0, value);
    if (!ok) error = ok.error();
    return ok.has_value();
  };
  for (;;) {
    auto e = r.next();
    if (!e) {
      error = e.error();
      return out;
    }
    std::string value;
    switch (*e) {
      case XmlEvent::Start:
      case XmlEvent::Empty: {
        flush(pending, out);
        std::string line = tag_line('S', r.name(), r.event_start(), r.offset());
        if (!r.attribute_error().empty()) {
          error = r.attribute_error();
          return out;
        }
        for (const quorrel::core::XmlAttribute& a : r.attributes()) {
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
  XML_Parser parser;
  Events out;
  std::string pending;
  bool in_cdata = false;
  std::string cdata;
  std::uint64_t start() const { return static_cast<std::uint64_t>(XML_GetCurrentByteIndex(parser)); }
  std::uint64_t count() const { return static_cast<std::uint64_t>(XML_GetCurrentByteCount(parser)); }
};

void XMLCALL on_start(void* data, const XML_Char* name, const XML_Char** atts) {
  auto* s = static_cast<ExpatState*>(data);
  flush(s->pending, s->out);
  std::string line = tag_line('S', name, s->start(), s->start() + s->count());
  for (int i = 0; atts[i]; i += 2) line.append(" ").append(atts[i]).append("=").append(atts[i + 1]);
  s->out.push_back(line);
}

void XMLCALL on_end(void* data, const XML_Char* name) {
  auto* s = static_cast<ExpatState*>(data);
  flush(s->pending, s->out);
  // A count of zero is the end of an empty-element tag.
  s->out.push_back(s->count() == 0 ? "E " + std::string(name) + " empty"
                                   : tag_line('E', name, s->start(), s->start() + s->count()));
}

void XMLCALL on_chars(void* data, const XML_Char* text, int len) {
  auto* s = static_cast<ExpatState*>(data);
  (s->in_cdata ? s->cdata : s->pending).append(text, static_cast<std::size_t>(len));
}

// Comments and instructions end a run of text, as they end a text event of the reader.
void XMLCALL on_comment(void* data, const XML_Char*) {
  auto* s = static_cast<ExpatState*>(data);
  flush(s->pending, s->out);
}
void XMLCALL on_instruction(void* data, const XML_Char*, const XML_Char*) { on_comment(data, nullptr); }

void XMLCALL on_cdata_start(void* data) {
  auto* s = static_cast<ExpatState*>(data);
  flush(s->pending, s->out);
  s->in_cdata = true;
  s->cdata.clear();
}

void XMLCALL on_cdata_end(void* data) {
  auto* s = static_cast<ExpatState*>(data);
  s->in_cdata = false;
  s->out.push_back("C " + s->cdata);
}

Events expat_events(std::string_view doc, std::string& error) {
  ExpatState s;
  s.parser = XML_ParserCreate("UTF-8");
  XML_SetUserData(s.parser, &s);
  XML_SetElementHandler(s.parser, on_start, on_end);
  XML_SetCharacterDataHandler(s.parser, on_chars);
  XML_SetCdataSectionHandler(s.parser, on_cdata_start, on_cdata_end);
  XML_SetCommentHandler(s.parser, on_comment);
  XML_SetProcessingInstructionHandler(s.parser, on_instruction);
  if (XML_Parse(s.parser, doc.data(), static_cast<int>(doc.size()), 0) == XML_STATUS_ERROR) {
    error = XML_ErrorString(XML_GetErrorCode(s.parser));
  }
  flush(s.pending, s.out);
  XML_ParserFree(s.parser);
  return std::move(s.out);
}

// Without the final flag expat may hold back the last tokens; compare the common prefix.
void expect_same(std::string_view doc, const std::string& label) {
  if (doc.starts_with("\xEF\xBB\xBF")) doc.remove_prefix(3);
  std::string reader_error, expat_error;
  const Events ours = reader_events(doc, reader_error);
  // A declaration after leading white space is one of the reader's leniencies;
  // expat gets it blanked out, which keeps every offset.
  std::string for_expat(doc);
  const std::size_t first = for_expat.find_first_not_of(" \t\r\n");
  if (first != 0 && first != std::string::npos && for_expat.compare(first, 5, "<?xml") == 0) {
    const std::size_t close = for_expat.find("?>", first);
    if (close != std::string::npos) for_expat.replace(first, close + 2 - first, close + 2 - first, ' ');
  }
  const Events theirs = expat_events(for_expat, expat_error);
  ASSERT_EQ(reader_error, "") << label;
  ASSERT_EQ(expat_error, "") << label;
  ASSERT_LE(theirs.size(), ours.size()) << label;
  ASSERT_GE(theirs.size() + 2, ours.size()) << label;
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
        if (pick(3) == 0) {
          doc += pick(2) ? "/>" : " />";
        } else {
          doc += pick(4) == 0 ? " >" : ">";
          open.push_back(name);
        }
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
  if (!fact.inline_meta) {
    EXPECT_EQ(tag.substr(tag.find(':') + 1), fact.concept_name.local_name) << where;
  }
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
    const std::string ext = entry.path().extension().string();
    if (!entry.is_regular_file() || (ext != ".xml" && ext != ".xbrl" && ext != ".html" && ext != ".htm" && ext != ".xhtml")) {
      continue;
    }
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
