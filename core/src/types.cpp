#include "quorrel/core/types.hpp"

#include <cstdint>
#include <cstring>
#include <ostream>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace quorrel::core {

void advise_huge_pages([[maybe_unused]] void* block, [[maybe_unused]] std::size_t size) noexcept {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  if (size < kHugeBlock) return;
  // Only advice: where huge pages are off or none is free, the block is
  // backed by small pages as any other.
  const auto at = reinterpret_cast<std::uintptr_t>(block);
  const std::uintptr_t first = (at + kHugePage - 1) / kHugePage * kHugePage;
  const std::uintptr_t last = (at + size) / kHugePage * kHugePage;
  if (last > first) madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
#endif
}

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

std::string_view TextArena::add(std::string_view text) {
  if (text.empty()) return {};
  if (text.size() > left_) {
    const std::size_t size = text.size() > kBlock ? text.size() : kBlock;
    blocks_.push_back(std::make_unique_for_overwrite<char[]>(size));
    if (text.size() > kBlock) {
      // A long text fills a block of its own; the current block stays open.
      std::memcpy(blocks_.back().get(), text.data(), text.size());
      return {blocks_.back().get(), text.size()};
    }
    next_ = blocks_.back().get();
    left_ = size;
  }
  std::memcpy(next_, text.data(), text.size());
  const std::string_view added(next_, text.size());
  next_ += text.size();
  left_ -= text.size();
  return added;
}

std::ostream& operator<<(std::ostream& os, const FactText& t) { return os << t.view(); }

std::ostream& operator<<(std::ostream& os, const SharedString& s) { return os << s.view(); }

}  // namespace quorrel::core
