#include "quorrel/evidence/ed25519.hpp"

#include <memory>
#include <new>

#include "openssl_handles.hpp"

namespace quorrel::evidence {
namespace {

using openssl::ErrorQueueGuard;
using openssl::MdCtxFree;
using openssl::PkeyFree;

constexpr std::size_t kPublicKeySize = 32;
constexpr std::size_t kSignatureSize = 64;

constexpr int hex_value(char c) noexcept {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::optional<std::vector<std::uint8_t>> hex_decode(std::string_view hex) {
  if (hex.size() % 2 != 0) return std::nullopt;
  std::vector<std::uint8_t> out(hex.size() / 2);
  for (std::size_t i = 0; i < out.size(); ++i) {
    const int hi = hex_value(hex[2 * i]);
    const int lo = hex_value(hex[2 * i + 1]);
    if (hi < 0 || lo < 0) return std::nullopt;
    out[i] = static_cast<std::uint8_t>((hi << 4) | lo);
  }
  return out;
}

bool ed25519_verify(std::span<const std::uint8_t> public_key, std::span<const std::uint8_t> sig,
                    std::string_view message) {
  if (public_key.size() != kPublicKeySize || sig.size() != kSignatureSize) return false;
  const ErrorQueueGuard clear_errors;

  // Importing 32 raw bytes only copies them (a point off the curve is refused
  // by the verification itself), so a failure here or in the set-up below can
  // only come from resource exhaustion.
  const std::unique_ptr<EVP_PKEY, PkeyFree> pkey(
      EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, public_key.data(), public_key.size()));
  if (!pkey) throw std::bad_alloc();
  const std::unique_ptr<EVP_MD_CTX, MdCtxFree> ctx(EVP_MD_CTX_new());
  if (!ctx) throw std::bad_alloc();
  // Pure Ed25519 takes no digest: the message is hashed inside the scheme.
  if (EVP_DigestVerifyInit(ctx.get(), nullptr, nullptr, nullptr, pkey.get()) != 1) {
    throw std::bad_alloc();
  }
  // An empty view may carry a null pointer; hand OpenSSL a real address anyway.
  static constexpr unsigned char kEmpty = 0;
  const auto* msg =
      message.empty() ? &kEmpty : reinterpret_cast<const unsigned char*>(message.data());
  // 1 is a valid signature; 0 a mismatch and a negative value a malformed key
  // or signature. Only 1 passes.
  return EVP_DigestVerify(ctx.get(), sig.data(), sig.size(), msg, message.size()) == 1;
}

bool attestation_signature_valid(std::string_view alg, std::string_view public_key_hex,
                                 std::string_view sig_hex, std::string_view message) {
  if (alg != "ed25519") return false;
  // Length checks on the text first: no decoding of oversized input.
  if (public_key_hex.size() != 2 * kPublicKeySize || sig_hex.size() != 2 * kSignatureSize) return false;
  const auto key = hex_decode(public_key_hex);
  if (!key) return false;
  const auto sig = hex_decode(sig_hex);
  if (!sig) return false;
  return ed25519_verify(*key, *sig, message);
}

}  // namespace quorrel::evidence
