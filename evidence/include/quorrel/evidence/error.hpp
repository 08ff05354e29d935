#pragma once
// EvidenceError, the one error type of the evidence library, and the helper
// that passes an error on from a function returning std::expected.

#include <cstddef>
#include <expected>
#include <string>
#include <utility>
#include <variant>

namespace quorrel::evidence {

class EvidenceError {
 public:
  enum class Kind { SourceParse, ReceiptSerialization, DerivationFailed, SigningFailed };

  // "source parse failed: {}" around the parse error's rendered text.
  static EvidenceError source_parse(std::string parse_error_text);
  // "receipt serialization failed: {}".
  static EvidenceError receipt_serialization(std::string writer_error_text);
  // "derivation failed: {}".
  static EvidenceError derivation_failed(std::string reason);
  // "signing failed: {}".
  static EvidenceError signing_failed(std::string reason);
  // Derivation failures of applying an operation.
  static EvidenceError operation_arity(std::size_t needed, std::size_t got);
  static EvidenceError division_by_zero();

  Kind kind() const noexcept { return kind_; }
  // The variant's payload, without the variant's prefix.
  const std::string& payload() const noexcept { return payload_; }
  // The full message, e.g. "derivation failed: division by zero".
  std::string render() const;

  bool operator==(const EvidenceError&) const = default;

 private:
  EvidenceError(Kind kind, std::string payload) : kind_(kind), payload_(std::move(payload)) {}

  Kind kind_;
  std::string payload_;
};

}  // namespace quorrel::evidence

namespace quorrel::evidence::detail {

// The value an expected holds, moved out; none (std::monostate) for expected<void>.
template <class T, class E>
T value_of(std::expected<T, E>& held) {
  return std::move(*held);
}
template <class E>
std::monostate value_of(std::expected<void, E>&) {
  return {};
}

}  // namespace quorrel::evidence::detail

// Declares `var` holding the value of `expr`, any std::expected, or returns
// that expected's error from the enclosing function, which must return a
// std::expected whose error type can be made from it.
#define QUORREL_EV_TRY(var, expr)                                                 \
  auto var##_or_error = (expr);                                                   \
  if (!var##_or_error) return std::unexpected(std::move(var##_or_error).error()); \
  [[maybe_unused]] auto var = ::quorrel::evidence::detail::value_of(var##_or_error)
