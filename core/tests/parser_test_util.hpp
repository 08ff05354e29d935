#pragma once
// Helpers shared by the parser tests.

#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "quorrel/core/parser.hpp"

namespace parser_test {

inline quorrel::core::InstanceDocument parse_ok(std::string_view bytes) {
  auto doc = quorrel::core::parse_instance(bytes);
  if (!doc) {
    ADD_FAILURE() << "parse failed: " << doc.error().render();
    return {};
  }
  return std::move(*doc);
}

inline std::string parse_error(std::string_view bytes) {
  auto doc = quorrel::core::parse_instance(bytes);
  if (doc) return "parsed";
  return doc.error().render();
}

inline std::string text_of(const quorrel::core::RawFact& f) {
  std::string out;
  if (auto* n = std::get_if<quorrel::core::NumericText>(&f.value)) {
    out = "numeric:";
    out += n->text.view();
  } else if (auto* t = std::get_if<quorrel::core::NonNumericText>(&f.value)) {
    out = "text:";
    out += t->text.view();
  } else {
    out = "nil";
  }
  return out;
}

inline std::string slice(std::string_view source, const quorrel::core::RawFact& f) {
  if (!f.byte_range) return "<no range>";
  return std::string(source.substr(f.byte_range->first, f.byte_range->second - f.byte_range->first));
}

}  // namespace parser_test
