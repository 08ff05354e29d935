#pragma once
// The one error type of the core library (parser and normalization).

#include <cstdint>
#include <optional>
#include <string>

namespace quorrel::core {

class XbrlError {
 public:
  enum class Kind {
    XmlParse,
    MissingContext,
    MissingUnit,
    InvalidDecimal,
    UnsupportedTransform,
    IxdsConflict,
    NotImplemented,
    Io,
    Xml,
    XmlAttribute,
  };

  static XbrlError xml_parse(std::optional<std::uint64_t> position, std::string message);
  static XbrlError missing_context(std::string context_ref);
  static XbrlError missing_unit(std::string unit_ref);
  static XbrlError invalid_decimal(std::string text);
  static XbrlError unsupported_transform(std::string format);
  static XbrlError ixds_conflict(std::string what, std::string value);
  static XbrlError not_implemented(std::string what);
  static XbrlError io(std::string os_message);
  static XbrlError xml(std::string reader_message);
  static XbrlError xml_attribute(std::string reader_message);

  Kind kind() const noexcept { return kind_; }
  const std::optional<std::uint64_t>& position() const noexcept { return position_; }
  // The variant's own payload: the message, id, text or reader description.
  const std::string& detail() const noexcept { return detail_; }

  // The full message as users see it, e.g. "missing context: c1".
  std::string render() const;

  bool operator==(const XbrlError&) const = default;

 private:
  XbrlError(Kind kind, std::optional<std::uint64_t> position, std::string what, std::string detail)
      : kind_(kind), position_(position), what_(std::move(what)), detail_(std::move(detail)) {}

  Kind kind_;
  std::optional<std::uint64_t> position_;
  std::string what_;  // only IxdsConflict uses it
  std::string detail_;
};

}  // namespace quorrel::core
