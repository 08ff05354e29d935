#pragma once
// SHA-256 through OpenSSL's libcrypto, its implementation fetched once per
// process and one context reused by each Sha256 object for many messages.
// On x86-64 processors with the SHA instructions, every digest runs the
// library's own compression instead, chosen once per process.

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

struct evp_md_ctx_st;

namespace quorrel::evidence {

using Digest = std::array<std::uint8_t, 32>;

namespace detail {
// A running digest's eight words, laid out as the SHA instructions take them.
struct alignas(16) NiState {
  std::uint8_t words[32];
};
}  // namespace detail

class Sha256 {
 public:
  Sha256();
  ~Sha256();
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;

  Digest digest(std::string_view bytes);
  // One digest of bytes given in parts: start, update with each part in
  // order, then finish (or finish_hex for the 64 hexadecimal digits).
  void start();
  void update(std::string_view bytes);
  // The size of the parts that update() takes best: the compression's
  // 64-byte block where the SHA instructions run it, so that a caller may
  // feed it a block at a time between other work, and 128 KiB elsewhere.
  static std::size_t grain() noexcept;
  Digest finish();
  std::string finish_hex();
  // out[i] is the digest of messages[i]; `out` has room for all of them.
  void digest_batch(std::span<const std::string_view> messages, Digest* out);
  // 64 lower-case hexadecimal digits.
  std::string hex(std::string_view bytes);
  // Appends the 64 hexadecimal digits to out.
  void append_hex(std::string_view bytes, std::string& out);

 private:
  evp_md_ctx_st* ctx_;
  // The running digest where the SHA instructions compute it: the state, the
  // bytes of a block not yet whole, and the length so far.
  detail::NiState state_;
  std::uint8_t pending_[64];
  std::size_t pending_size_ = 0;
  std::uint64_t length_ = 0;
};

// Lower-case hexadecimal SHA-256 of the bytes.
std::string sha256_hex(std::string_view bytes);

// Appends two lower-case hexadecimal digits per byte.
void append_hex(const std::uint8_t* data, std::size_t size, std::string& out);

}  // namespace quorrel::evidence
