#include "quorrel/core/error.hpp"

namespace quorrel::core {

XbrlError XbrlError::xml_parse(std::optional<std::uint64_t> position, std::string message) {
  return {Kind::XmlParse, position, {}, std::move(message)};
}
XbrlError XbrlError::missing_context(std::string context_ref) {
  return {Kind::MissingContext, std::nullopt, {}, std::move(context_ref)};
}
XbrlError XbrlError::missing_unit(std::string unit_ref) {
  return {Kind::MissingUnit, std::nullopt, {}, std::move(unit_ref)};
}
XbrlError XbrlError::invalid_decimal(std::string text) {
  return {Kind::InvalidDecimal, std::nullopt, {}, std::move(text)};
}
XbrlError XbrlError::unsupported_transform(std::string format) {
  return {Kind::UnsupportedTransform, std::nullopt, {}, std::move(format)};
}
XbrlError XbrlError::ixds_conflict(std::string what, std::string value) {
  return {Kind::IxdsConflict, std::nullopt, std::move(what), std::move(value)};
}
XbrlError XbrlError::not_implemented(std::string what) {
  return {Kind::NotImplemented, std::nullopt, {}, std::move(what)};
}
XbrlError XbrlError::io(std::string os_message) {
  return {Kind::Io, std::nullopt, {}, std::move(os_message)};
}
XbrlError XbrlError::xml(std::string reader_message) {
  return {Kind::Xml, std::nullopt, {}, std::move(reader_message)};
}
XbrlError XbrlError::xml_attribute(std::string reader_message) {
  return {Kind::XmlAttribute, std::nullopt, {}, std::move(reader_message)};
}

std::string XbrlError::render() const {
  switch (kind_) {
    case Kind::XmlParse: {
      std::string out = "XML parse error at byte ";
      if (position_) {
        out += "Some(" + std::to_string(*position_) + ")";
      } else {
        out += "None";
      }
      out += ": ";
      out += detail_;
      return out;
    }
    case Kind::MissingContext: return "missing context: " + detail_;
    case Kind::MissingUnit: return "missing unit: " + detail_;
    case Kind::InvalidDecimal: return "invalid decimal value: " + detail_;
    case Kind::UnsupportedTransform: return "unsupported inline transform: " + detail_;
    case Kind::IxdsConflict: return "conflicting " + what_ + " '" + detail_ + "' across IXDS members";
    case Kind::NotImplemented: return "not implemented: " + detail_;
    case Kind::Io: return "I/O error: " + detail_;
    case Kind::Xml: return "XML error: " + detail_;
    case Kind::XmlAttribute: return "XML attribute error: " + detail_;
  }
  return detail_;
}

}  // namespace quorrel::core
