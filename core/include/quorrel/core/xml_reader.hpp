#pragma once
// A pull tokenizer over an in-memory UTF-8 buffer, built for exactly what the
// instance parser needs: start, end, empty-element, text and CDATA events with
// byte offsets, trimmed text, end-tag name checks, unescaping on request and
// raw inner markup. It resolves no namespaces and builds no tree; its memory is
// the stack of open element names as views into the input.
//
// Offsets count from the first byte after a leading byte-order mark.

#include <cstddef>
#include <cstdint>
#include <expected>
#include <string>
#include <string_view>
#include <vector>

namespace quorrel::core {

enum class XmlEvent { Start, End, Empty, Text, CData, Eof };

// One attribute as written: raw name and raw (still escaped) value.
struct XmlAttribute {
  std::string_view name;
  std::string_view raw_value;
  std::uint64_t value_offset = 0;  // offset of the value's first byte
};

// Decodes the five predefined entities and character references of raw text,
// appending the result to out. Anything else after "&" is an error whose text
// names the byte offset (raw_offset is the offset of raw's first byte).
[[nodiscard]] std::expected<void, std::string> unescape_xml(std::string_view raw, std::uint64_t raw_offset,
                                                            std::string& out);

class XmlReader {
 public:
  // Skips a leading byte-order mark; the buffer must outlive the reader.
  explicit XmlReader(std::string_view input) noexcept;

  // Reads the next event; comments, processing instructions, XML declarations
  // and a DOCTYPE are skipped. Input that ends while elements are open gives Eof.
  [[nodiscard]] std::expected<XmlEvent, std::string> next();

  // Raw name of the current start, empty or end tag (end tags: trailing white space removed).
  std::string_view name() const noexcept { return name_; }
  // Offset of the "<" that opens the current markup.
  std::uint64_t event_start() const noexcept { return event_start_; }
  // Offset just past the current event (for tags: just past ">").
  std::uint64_t offset() const noexcept { return pos_; }
  // Text: raw text trimmed of surrounding XML white space, not yet unescaped.
  // CData: the raw content between "<![CDATA[" and "]]>".
  std::string_view text() const noexcept { return text_; }
  std::uint64_t text_offset() const noexcept { return text_offset_; }
  // Text: whether it holds an "&", so that it may need decoding.
  bool text_escaped() const noexcept { return text_escaped_; }
  // Attributes of the current start or empty tag in document order, up to
  // the first malformed one.
  const std::vector<XmlAttribute>& attributes() const noexcept { return attrs_; }
  // The fault that ended the attribute list early, with its byte offset, or
  // empty. A malformed list is no error of next(), which still finds the end
  // of the tag: whoever reads the attributes reports it.
  std::string_view attribute_error() const noexcept { return attribute_error_; }
  // False when no value of the list holds an "&", which would need decoding.
  bool attribute_values_escaped() const noexcept { return values_escaped_; }
  // Hands the attributes over by swapping them with out: the reader reuses
  // out's old storage for the next tag.
  void swap_attributes(std::vector<XmlAttribute>& out) noexcept { attrs_.swap(out); }
  // Number of open elements.
  std::size_t depth() const noexcept { return open_.size(); }

  // After a Start event: the exact source text up to the matching end tag,
  // which is consumed. Nothing inside is reported as events.
  [[nodiscard]] std::expected<std::string_view, std::string> read_raw_inner();

  // The input after a skipped byte-order mark; offsets index into it.
  std::string_view data() const noexcept { return data_; }

 private:
  // What one piece of markup at a "<" turned out to be: an event, a construct
  // that is skipped (comment, processing instruction, DOCTYPE), or a fault
  // whose description is left in error_.
  enum class Markup : std::uint8_t { Start, End, Empty, CData, Skipped, Failed };
  Markup read_markup();
  Markup fail(std::string message);
  std::expected<void, std::string> skip_doctype();
  template <bool kFindEnd>
  const char* scan_attributes(const char* p, const char* end);

  std::string_view data_;
  std::size_t pos_ = 0;
  std::vector<std::string_view> open_;
  std::string_view name_;
  std::uint64_t event_start_ = 0;
  std::string_view text_;
  std::uint64_t text_offset_ = 0;
  bool values_escaped_ = false;
  bool text_escaped_ = false;
  std::vector<XmlAttribute> attrs_;
  std::string attribute_error_;
  std::string error_;
};

}  // namespace quorrel::core
