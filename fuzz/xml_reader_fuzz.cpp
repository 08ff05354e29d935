// fuzz-dict: xbrl.dict
// fuzz-seeds: documents
// The XML pull reader on arbitrary bytes, event by event. Its promises on
// positions: a tag's start offset points at '<' and its end offset is just
// past '>', events never overlap and every event moves forward; names,
// texts, attributes and raw inner content are slices of the input inside
// their own event, and a malformed attribute is reported at a byte of its
// tag; an end tag closes the open element of the same name (one with nothing
// open is passed through); depth follows the start and end tags; unescaping
// never lengthens a text and keeps valid UTF-8 valid. The input's length
// picks which start tags have their raw inner content read instead of their
// events (every (length mod 8)-th, none for 0), so that whole documents serve
// as seeds.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_support.hpp"
#include "quorrel/core/xml_reader.hpp"

namespace {

using quorrel::core::XmlEvent;
using quorrel::fuzz::is_valid_utf8;

bool is_xml_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// True when `part` lies inside [begin, end) of `data`.
bool inside(std::string_view data, std::string_view part, std::uint64_t begin, std::uint64_t end) {
  if (part.empty()) return true;
  const auto* first = reinterpret_cast<const unsigned char*>(part.data());
  const auto* base = reinterpret_cast<const unsigned char*>(data.data());
  if (first < base || first > base + data.size()) return false;
  const auto at = static_cast<std::uint64_t>(first - base);
  return at >= begin && at + part.size() <= end;
}

std::uint64_t offset_of(std::string_view data, std::string_view part) {
  return static_cast<std::uint64_t>(part.data() - data.data());
}

void check_unescape(std::string_view raw, std::uint64_t raw_offset, bool valid, const char* what) {
  std::string out;
  const auto r = quorrel::core::unescape_xml(raw, raw_offset, out);
  if (!r) {
    FUZZ_CHECK(!r.error().empty(), what);
    return;
  }
  FUZZ_CHECK(out.size() <= raw.size(), std::string(what) + " grew when unescaped: " + out);
  if (valid) FUZZ_CHECK(is_valid_utf8(out), std::string(what) + " unescaped to invalid UTF-8");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::size_t raw_inner_every = size % 8;
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  quorrel::core::XmlReader reader(input);
  const std::string_view doc = reader.data();
  FUZZ_CHECK(doc.data() + doc.size() == input.data() + input.size() &&
                 (doc.size() == input.size() || (doc.size() + 3 == input.size() && input.starts_with("\xEF\xBB\xBF"))),
             "data() is not the input after a byte-order mark");
  const bool valid = is_valid_utf8(doc);

  std::vector<std::string_view> open;
  std::uint64_t previous_end = 0;
  std::uint64_t start_tags = 0;
  for (;;) {
    const auto event = reader.next();
    if (!event) {
      FUZZ_CHECK(!event.error().empty(), "empty error message");
      return 0;
    }
    if (*event == XmlEvent::Eof) break;
    const std::uint64_t start = reader.event_start();
    const std::uint64_t end = reader.offset();
    FUZZ_CHECK(end <= doc.size() && end > previous_end,
               "event ends at " + std::to_string(end) + " after " + std::to_string(previous_end));
    // An end tag with nothing open is passed through and closes nothing.
    const bool closes = *event == XmlEvent::End && !open.empty();
    FUZZ_CHECK(reader.depth() == open.size() + (*event == XmlEvent::Start) - closes,
               "depth " + std::to_string(reader.depth()));

    switch (*event) {
      case XmlEvent::Start:
      case XmlEvent::Empty:
      case XmlEvent::End: {
        FUZZ_CHECK(start >= previous_end && start < end, "tag overlaps the previous event");
        FUZZ_CHECK(doc[start] == '<' && doc[end - 1] == '>', "tag is not <...>");
        const std::string_view name = reader.name();
        FUZZ_CHECK(!name.empty() && inside(doc, name, start + 1, end), "name outside its tag");
        if (*event == XmlEvent::End) {
          if (closes) {
            FUZZ_CHECK(open.back() == name, "end tag " + std::string(name) + " closes another element");
            open.pop_back();
          }
          break;
        }
        std::uint64_t attributes_from = start + 1 + name.size();
        for (const auto& a : reader.attributes()) {
          FUZZ_CHECK(!a.name.empty() && inside(doc, a.name, attributes_from, end), "attribute name outside its tag");
          FUZZ_CHECK(inside(doc, a.raw_value, offset_of(doc, a.name) + a.name.size(), end),
                     "attribute value outside its tag");
          if (!a.raw_value.empty()) FUZZ_CHECK(a.value_offset == offset_of(doc, a.raw_value), "value_offset");
          FUZZ_CHECK(a.value_offset > offset_of(doc, a.name) && a.value_offset < end, "value_offset outside the tag");
          check_unescape(a.raw_value, a.value_offset, valid, "attribute value");
          attributes_from = a.value_offset + a.raw_value.size();
        }
        // A malformed attribute is reported at a byte of its own tag, after the attributes before it.
        if (const std::string_view fault = reader.attribute_error(); !fault.empty()) {
          const std::size_t at = fault.rfind(" at byte ");
          FUZZ_CHECK(at != std::string_view::npos, "attribute error without its byte: " + std::string(fault));
          const std::uint64_t where = std::stoull(std::string(fault.substr(at + 9)));
          FUZZ_CHECK(where >= attributes_from && where < end, "attribute error outside its tag: " + std::string(fault));
        }
        if (*event == XmlEvent::Start) {
          open.push_back(name);
          ++start_tags;
          if (raw_inner_every != 0 && start_tags % raw_inner_every == 0) {
            const std::string closing = "</" + std::string(name);
            const auto inner = reader.read_raw_inner();
            if (!inner) {
              FUZZ_CHECK(!inner.error().empty(), "empty raw inner error");
              return 0;
            }
            const std::uint64_t after = reader.offset();
            FUZZ_CHECK(inside(doc, *inner, end, after), "raw inner content outside the element");
            if (!inner->empty()) FUZZ_CHECK(offset_of(doc, *inner) == end, "raw inner content does not start after the tag");
            FUZZ_CHECK(doc.substr(end + inner->size()).starts_with(closing) && doc[after - 1] == '>',
                       "raw inner content is not followed by " + closing);
            open.pop_back();
            FUZZ_CHECK(reader.depth() == open.size(), "depth after raw inner content");
            previous_end = after;
            continue;
          }
        }
        break;
      }
      case XmlEvent::Text: {
        const std::string_view text = reader.text();
        FUZZ_CHECK(!text.empty() && inside(doc, text, previous_end, end), "text outside its event");
        FUZZ_CHECK(reader.text_offset() == offset_of(doc, text), "text_offset");
        FUZZ_CHECK(!is_xml_space(text.front()) && !is_xml_space(text.back()), "text not trimmed");
        check_unescape(text, reader.text_offset(), valid, "text");
        break;
      }
      case XmlEvent::CData: {
        FUZZ_CHECK(start >= previous_end && start < end, "CDATA overlaps the previous event");
        FUZZ_CHECK(doc.substr(start).starts_with("<![CDATA[") && doc.substr(0, end).ends_with("]]>"),
                   "CDATA section is not <![CDATA[...]]>");
        FUZZ_CHECK(inside(doc, reader.text(), start + 9, end - 3), "CDATA content outside its section");
        break;
      }
      case XmlEvent::Eof:
        break;
    }
    previous_end = end;
  }
  return 0;
}
