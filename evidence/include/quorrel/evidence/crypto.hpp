#pragma once
// SHA-256. On x86-64 processors with the SHA instructions the library's own
// compression runs them, one message or two at once; elsewhere OpenSSL's
// libcrypto does the work, its implementation fetched once per process and
// one context reused by each Sha256 object for many messages.

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
  // The digests of two messages. With the SHA instructions the two are
  // hashed in one interleaved loop, which for receipt-sized messages costs
  // little more than one of them alone.
  void digest_pair(std::string_view a, std::string_view b, Digest& a_out, Digest& b_out);
  // 64 lower-case hexadecimal digits.
  std::string hex(std::string_view bytes);
  // Appends the 64 hexadecimal digits to out.
  void append_hex(std::string_view bytes, std::string& out);

 private:
  evp_md_ctx_st* ctx_;
};

// What computes the digests: OpenSSL, or the library's own code with the
// processor's SHA instructions.
enum class Sha256Backend { OpenSsl, ShaInstructions };

// The backend in use: ShaInstructions wherever this build and the processor
// have them, unless a test or benchmark chose otherwise.
[[nodiscard]] Sha256Backend sha256_backend() noexcept;
// Whether this build and processor can run the SHA-instruction backend.
[[nodiscard]] bool sha256_instructions_available() noexcept;
// For tests and benchmarks: makes every Sha256 use the given backend. Asking
// for ShaInstructions where they are unavailable changes nothing and gives
// false.
bool set_sha256_backend(Sha256Backend backend) noexcept;

// Lower-case hexadecimal SHA-256 of the bytes.
std::string sha256_hex(std::string_view bytes);

// Appends two lower-case hexadecimal digits per byte.
void append_hex(const std::uint8_t* data, std::size_t size, std::string& out);

}  // namespace quorrel::evidence
