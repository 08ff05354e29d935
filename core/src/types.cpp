#include "quorrel/core/types.hpp"

namespace quorrel::core {

std::string QName::to_string() const {
  if (prefix) {
    std::string out;
    out.reserve(prefix->size() + 1 + local_name.size());
    out += *prefix;
    out += ':';
    out += local_name;
    return out;
  }
  if (namespace_uri) {
    std::string out;
    out.reserve(namespace_uri->size() + 2 + local_name.size());
    out += '{';
    out += *namespace_uri;
    out += '}';
    out += local_name;
    return out;
  }
  return local_name;
}

}  // namespace quorrel::core
