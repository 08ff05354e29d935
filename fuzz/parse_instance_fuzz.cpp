// fuzz-dict: xbrl.dict
// fuzz-seeds: documents
// parse_instance on arbitrary bytes: an error is a clean value with a message;
// a parsed document keeps its positional promises. Byte ranges are counted
// after a leading byte-order mark: each fact's range starts at the '<' of its
// start tag and ends just past the '>' of its own end tag (or of "/>"), inside
// the input; a plain fact's start tag carries the concept's name as written
// and an inline fact's is nonFraction, nonNumeric or fraction; contexts and
// units come in strictly rising byte-wise order of id; texts of valid UTF-8 input stay valid
// UTF-8.

#include <cstdint>
#include <string>
#include <string_view>
#include <variant>

#include "fuzz_support.hpp"
#include "quorrel/core/parser.hpp"

using quorrel::fuzz::is_valid_utf8;

namespace {

bool is_xml_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// The raw name of the tag that opens at body[start].
std::string_view tag_name(std::string_view body, std::size_t start) {
  std::size_t end = start + 1;
  while (end < body.size() && !is_xml_space(body[end]) && body[end] != '/' && body[end] != '>') ++end;
  return body.substr(start + 1, end - start - 1);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const auto doc = quorrel::core::parse_instance(input);
  if (!doc) {
    const std::string message = doc.error().render();
    FUZZ_CHECK(!message.empty(), "empty error message");
    return 0;
  }
  std::string_view body = input;
  if (body.starts_with("\xEF\xBB\xBF")) body.remove_prefix(3);
  const bool valid = is_valid_utf8(body);

  for (std::size_t i = 0; i < doc->facts.size(); ++i) {
    const auto& fact = doc->facts[i];
    const std::string where = "fact " + std::to_string(i) + " (" + fact.concept_name.to_string() + ")";
    if (fact.byte_range) {
      const auto [start, end] = *fact.byte_range;
      FUZZ_CHECK(start < end && end <= body.size(),
                 where + ": range " + std::to_string(start) + ".." + std::to_string(end) + " of " +
                     std::to_string(body.size()));
      FUZZ_CHECK(body[start] == '<', where + ": range does not start at '<'");
      FUZZ_CHECK(body[end - 1] == '>', where + ": range does not end after '>'");
      const std::string_view tag = tag_name(body, start);
      if (!fact.inline_meta) {
        const auto& name = fact.concept_name;
        const std::string written =
            name.prefix ? std::string(*name.prefix) + ":" + name.local_name.str() : name.local_name.str();
        FUZZ_CHECK(tag == written, where + ": start tag is " + std::string(tag));
      } else {
        const std::string_view local = tag.substr(tag.find(':') == std::string_view::npos ? 0 : tag.find(':') + 1);
        FUZZ_CHECK(local == "nonFraction" || local == "nonNumeric" || local == "fraction",
                   where + ": inline fact element is " + std::string(tag));
      }
      // The range ends with the element's own end tag, or with "/>".
      std::string_view element = body.substr(start, end - start - 1);
      while (!element.empty() && is_xml_space(element.back())) element.remove_suffix(1);
      FUZZ_CHECK(element.ends_with("/") || element.ends_with("</" + std::string(tag)),
                 where + ": range does not end with the end tag of " + std::string(tag));
    }
    if (valid) {
      FUZZ_CHECK(is_valid_utf8(fact.concept_name.local_name), where);
      FUZZ_CHECK(is_valid_utf8(fact.context_ref), where);
      if (const auto* n = std::get_if<quorrel::core::NumericText>(&fact.value)) {
        FUZZ_CHECK(is_valid_utf8(n->text), where + ": numeric text");
      } else if (const auto* t = std::get_if<quorrel::core::NonNumericText>(&fact.value)) {
        FUZZ_CHECK(is_valid_utf8(t->text), where + ": text");
      }
    }
  }
  for (std::size_t i = 1; i < doc->contexts.size(); ++i) {
    FUZZ_CHECK(doc->contexts[i - 1].id < doc->contexts[i].id, "contexts out of id order at " + doc->contexts[i].id);
  }
  for (std::size_t i = 1; i < doc->units.size(); ++i) {
    FUZZ_CHECK(doc->units[i - 1].id < doc->units[i].id, "units out of id order at " + doc->units[i].id);
  }
  if (valid) {
    for (const auto& footnote : doc->footnotes) FUZZ_CHECK(is_valid_utf8(footnote.content), "footnote content");
  }
  return 0;
}
