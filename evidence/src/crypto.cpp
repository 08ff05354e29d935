#include "quorrel/evidence/crypto.hpp"

#include <openssl/err.h>
#include <openssl/evp.h>

#include <new>

namespace quorrel::evidence {
namespace {

const EVP_MD* sha256_md() {
  // Fetched once: an explicit fetch avoids the implicit lookup on every digest.
  static const EVP_MD* md = EVP_MD_fetch(nullptr, "SHA256", nullptr);
  if (md == nullptr) {
    ERR_clear_error();
    throw std::bad_alloc();
  }
  return md;
}

}  // namespace

Sha256::Sha256() : ctx_(EVP_MD_CTX_new()) {
  if (ctx_ == nullptr) throw std::bad_alloc();
}

Sha256::~Sha256() { EVP_MD_CTX_free(ctx_); }

Digest Sha256::digest(std::string_view bytes) {
  Digest out{};
  unsigned int len = 0;
  if (EVP_DigestInit_ex2(ctx_, sha256_md(), nullptr) != 1 ||
      EVP_DigestUpdate(ctx_, bytes.data(), bytes.size()) != 1 ||
      EVP_DigestFinal_ex(ctx_, out.data(), &len) != 1 || len != out.size()) {
    // Only resource exhaustion makes a memory-to-memory digest fail.
    ERR_clear_error();
    throw std::bad_alloc();
  }
  return out;
}

std::string Sha256::hex(std::string_view bytes) {
  std::string out;
  append_hex(bytes, out);
  return out;
}

void Sha256::append_hex(std::string_view bytes, std::string& out) {
  const Digest d = digest(bytes);
  evidence::append_hex(d.data(), d.size(), out);
}

std::string sha256_hex(std::string_view bytes) {
  Sha256 sha;
  return sha.hex(bytes);
}

void append_hex(const std::uint8_t* data, std::size_t size, std::string& out) {
  static constexpr char kDigits[] = "0123456789abcdef";
  const std::size_t base = out.size();
  out.resize(base + 2 * size);
  char* p = out.data() + base;
  for (std::size_t i = 0; i < size; ++i) {
    *p++ = kDigits[data[i] >> 4];
    *p++ = kDigits[data[i] & 0x0f];
  }
}

}  // namespace quorrel::evidence
