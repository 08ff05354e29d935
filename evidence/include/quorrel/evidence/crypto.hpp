#pragma once
// SHA-256 through OpenSSL's libcrypto: the digest implementation is fetched once
// per process and each Sha256 object reuses one context for many messages.

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

struct evp_md_ctx_st;

namespace quorrel::evidence {

using Digest = std::array<std::uint8_t, 32>;

class Sha256 {
 public:
  Sha256();
  ~Sha256();
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;

  Digest digest(std::string_view bytes);
  // 64 lower-case hexadecimal digits.
  std::string hex(std::string_view bytes);
  // Appends the 64 hexadecimal digits to out.
  void append_hex(std::string_view bytes, std::string& out);

 private:
  evp_md_ctx_st* ctx_;
};

// Lower-case hexadecimal SHA-256 of the bytes.
std::string sha256_hex(std::string_view bytes);

// Appends two lower-case hexadecimal digits per byte.
void append_hex(const std::uint8_t* data, std::size_t size, std::string& out);

}  // namespace quorrel::evidence
