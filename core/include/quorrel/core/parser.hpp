#pragma once

#include <cstddef>
#include <expected>
#include <string_view>

#include "quorrel/core/error.hpp"
#include "quorrel/core/types.hpp"

namespace quorrel::core {

// Shown the input in consecutive pieces, in order, as the parser reads it:
// a caller that also hashes the input does it there, while each piece is
// still in the processor's cache and between the parser's own steps, so
// that the processor can work on both at once. Every piece but the last is a
// multiple of the grain (a power of two) and all of it read; the parser shows
// what it has read whenever that is at least one grain. Pieces are shown only
// for an input that is UTF-8, and all of it only when the parse succeeds.
class InputPieces {
 public:
  virtual void take(std::string_view piece) = 0;
  std::size_t grain() const noexcept { return grain_; }

 protected:
  explicit InputPieces(std::size_t grain) noexcept : grain_(grain) {}
  ~InputPieces() = default;

 private:
  std::size_t grain_;
};

// Parses one XBRL 2.1 instance or Inline XBRL document in a single streaming
// pass, after checking that it is UTF-8, showing it to `pieces` as it goes.
[[nodiscard]] std::expected<InstanceDocument, XbrlError> parse_instance(std::string_view bytes,
                                                                       InputPieces* pieces = nullptr);

}  // namespace quorrel::core
