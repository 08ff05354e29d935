#pragma once
// Owners for OpenSSL objects and the error-queue guard that the Ed25519
// code shares.

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>

namespace quorrel::evidence::openssl {

struct PkeyFree {
  void operator()(EVP_PKEY* p) const noexcept { EVP_PKEY_free(p); }
};
struct PkeyCtxFree {
  void operator()(EVP_PKEY_CTX* p) const noexcept { EVP_PKEY_CTX_free(p); }
};
struct MdCtxFree {
  void operator()(EVP_MD_CTX* p) const noexcept { EVP_MD_CTX_free(p); }
};
struct BioFree {
  void operator()(BIO* p) const noexcept { BIO_free(p); }
};

// Leaves OpenSSL's thread-local error queue empty however the scope is left,
// so no error from one call can be mistaken for another's.
struct ErrorQueueGuard {
  ErrorQueueGuard() = default;
  ErrorQueueGuard(const ErrorQueueGuard&) = delete;
  ErrorQueueGuard& operator=(const ErrorQueueGuard&) = delete;
  ~ErrorQueueGuard() { ERR_clear_error(); }
};

}  // namespace quorrel::evidence::openssl
