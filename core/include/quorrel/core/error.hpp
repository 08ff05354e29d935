#pragma once
// The one error type of the core library (parser and normalization).

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <utility>

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

// Error propagation for functions returning std::expected.
// QUORREL_TRY(var, expr) evaluates expr once; on an error it returns that
// error from the enclosing function as std::unexpected, else it declares
// `auto var` holding the value. QUORREL_TRY_VOID(expr) does the same for an
// expected that holds no value.
#define QUORREL_TRY_JOIN_(a, b) a##b
#define QUORREL_TRY_NAME_(n) QUORREL_TRY_JOIN_(quorrel_try_, n)
#define QUORREL_TRY(var, ...) QUORREL_TRY_WITH_(QUORREL_TRY_NAME_(__COUNTER__), var, __VA_ARGS__)
#define QUORREL_TRY_WITH_(result, var, ...)                       \
  auto result = (__VA_ARGS__);                                    \
  if (!result) return std::unexpected(std::move(result.error())); \
  auto var = std::move(*result)
#define QUORREL_TRY_VOID(...)                                         \
  do {                                                                \
    if (auto quorrel_try_void_ = (__VA_ARGS__); !quorrel_try_void_) { \
      return std::unexpected(std::move(quorrel_try_void_.error()));   \
    }                                                                 \
  } while (false)
