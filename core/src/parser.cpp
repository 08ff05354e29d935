#include "quorrel/core/parser.hpp"

namespace quorrel::core {

std::expected<InstanceDocument, XbrlError> parse_instance(std::string_view) {
  return std::unexpected(XbrlError::not_implemented("instance parsing"));
}

}  // namespace quorrel::core
