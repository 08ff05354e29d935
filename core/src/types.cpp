#include "quorrel/core/types.hpp"

#include <ostream>

namespace quorrel::core {

std::string QName::to_string() const {
  if (prefix) {
    std::string out;
    out.reserve(prefix->size() + 1 + local_name.size());
    out += *prefix;
    out += ':';
    out += local_name.view();
    return out;
  }
  if (namespace_uri) {
    std::string out;
    out.reserve(namespace_uri->size() + 2 + local_name.size());
    out += '{';
    out += namespace_uri->view();
    out += '}';
    out += local_name.view();
    return out;
  }
  return local_name.str();
}

void QName::render_into(std::string& out) const {
  out.clear();
  if (prefix) {
    out.append(*prefix);
    out.push_back(':');
  } else if (namespace_uri) {
    out.push_back('{');
    out.append(namespace_uri->view());
    out.push_back('}');
  }
  out.append(local_name.view());
}

void FactText::append(std::string_view more) {
  if (more.empty()) return;
  if (log_) {
    std::string own;
    own.reserve(size_ + more.size());
    own.append(view());
    owned_ = std::move(own);
    log_.reset();
    offset_ = size_ = 0;
  }
  owned_.append(more);
}

std::ostream& operator<<(std::ostream& os, const FactText& t) { return os << t.view(); }

std::ostream& operator<<(std::ostream& os, const SharedString& s) { return os << s.view(); }

}  // namespace quorrel::core
