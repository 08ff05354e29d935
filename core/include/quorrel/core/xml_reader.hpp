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
#include <optional>
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

// Walks the attributes of one start tag in document order. A malformed
// attribute list yields the reader's description of the fault.
class XmlAttributeIterator {
 public:
  XmlAttributeIterator() = default;
  // Parses the raw attribute span of a tag as it goes.
  XmlAttributeIterator(std::string_view span, std::uint64_t span_offset) noexcept
      : span_(span), offset_(span_offset) {}
  // Walks attributes the reader already split while finding the end of the tag.
  explicit XmlAttributeIterator(const std::vector<XmlAttribute>* parsed) noexcept : parsed_(parsed) {}

  // The next attribute, nothing after the last one, or an error.
  [[nodiscard]] std::expected<std::optional<XmlAttribute>, std::string> next();

 private:
  const std::vector<XmlAttribute>* parsed_ = nullptr;
  std::string_view span_;
  std::uint64_t offset_ = 0;
  std::size_t pos_ = 0;
  bool failed_ = false;
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
  // Attributes of the current start or empty tag.
  XmlAttributeIterator attributes() const noexcept {
    return attrs_split_ ? XmlAttributeIterator(&split_) : XmlAttributeIterator(attrs_, attrs_offset_);
  }
  // The attributes already split while reading the tag, or null when the
  // list needs the general iterator (which reports malformed attributes).
  const std::vector<XmlAttribute>* split_attributes() const noexcept { return attrs_split_ ? &split_ : nullptr; }
  // For attributes split while reading the tag: whether any value holds an
  // "&", so that it may need decoding.
  bool split_values_escaped() const noexcept { return values_escaped_; }
  // Hands over the attributes already split while reading the tag by swapping
  // them with out (the reader reuses out's old storage for the next tag), or
  // answers false when the list needs the general iterator (which reports
  // malformed attributes). After a hand-over attributes() parses the tag again.
  bool take_split_attributes(std::vector<XmlAttribute>& out) noexcept {
    if (!attrs_split_) return false;
    out.swap(split_);
    attrs_split_ = false;
    return true;
  }
  // The raw text of the current tag's attribute list, between its name and
  // its ">" or "/>".
  std::string_view attribute_text() const noexcept { return attrs_; }
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
  bool split_attribute_list(std::size_t name_end, std::size_t& gt);

  std::string_view data_;
  std::size_t pos_ = 0;
  std::vector<std::string_view> open_;
  std::string_view name_;
  std::uint64_t event_start_ = 0;
  std::string_view text_;
  std::uint64_t text_offset_ = 0;
  std::string_view attrs_;
  std::uint64_t attrs_offset_ = 0;
  bool attrs_split_ = false;
  bool values_escaped_ = false;
  bool text_escaped_ = false;
  std::vector<XmlAttribute> split_;
  std::string error_;
};

}  // namespace quorrel::core
