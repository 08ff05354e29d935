#pragma once

#include <expected>
#include <string_view>

#include "quorrel/core/error.hpp"
#include "quorrel/core/types.hpp"

namespace quorrel::core {

// Shown the input in consecutive pieces, in order, each once the input up to
// its end is known to be UTF-8 and while it is still in the processor's
// cache: a caller that also hashes the input does it there, without a pass
// of its own over memory. Pieces are shown only for an input that is UTF-8.
class InputPieces {
 public:
  virtual void take(std::string_view piece) = 0;

 protected:
  ~InputPieces() = default;
};

// Parses one XBRL 2.1 instance or Inline XBRL document in a single streaming
// pass, after checking that it is UTF-8 (showing it to `pieces` meanwhile).
[[nodiscard]] std::expected<InstanceDocument, XbrlError> parse_instance(std::string_view bytes,
                                                                       InputPieces* pieces = nullptr);

}  // namespace quorrel::core
