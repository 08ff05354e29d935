#include "quorrel/evidence/signing.hpp"

#include <openssl/crypto.h>
#include <openssl/pem.h>

#include <array>
#include <cstdint>
#include <memory>
#include <new>
#include <utility>

#include "quorrel/evidence/canonical.hpp"
#include "quorrel/evidence/crypto.hpp"
#include "quorrel/evidence/derived.hpp"
#include "quorrel/evidence/json_writer.hpp"
#include "quorrel/evidence/receipt_reader.hpp"
#include "openssl_handles.hpp"

namespace quorrel::evidence {
namespace {

using openssl::BioFree;
using openssl::ErrorQueueGuard;
using openssl::MdCtxFree;
using openssl::PkeyCtxFree;

constexpr std::size_t kPublicKeySize = 32;
constexpr std::size_t kSignatureSize = 64;
// Far more than any key file: a PEM Ed25519 key is about 120 bytes.
constexpr std::size_t kMaxPemSize = 1 << 20;

// The passphrase callback: an encrypted key is noted and refused. Without a
// callback of its own, OpenSSL would prompt on the terminal.
int refuse_passphrase(char*, int, int, void* asked) {
  *static_cast<bool*>(asked) = true;
  return -1;
}

}  // namespace

std::expected<SigningKey, EvidenceError> SigningKey::generate() {
  const ErrorQueueGuard clear_errors;
  const std::unique_ptr<EVP_PKEY_CTX, PkeyCtxFree> ctx(EVP_PKEY_CTX_new_id(EVP_PKEY_ED25519, nullptr));
  if (!ctx) throw std::bad_alloc();
  EVP_PKEY* key = nullptr;
  if (EVP_PKEY_keygen_init(ctx.get()) != 1 || EVP_PKEY_keygen(ctx.get(), &key) != 1) {
    return std::unexpected(EvidenceError::signing_failed("no key could be generated"));
  }
  return SigningKey(key);
}

std::expected<SigningKey, EvidenceError> SigningKey::from_pem(std::string_view pem) {
  if (pem.size() > kMaxPemSize) return std::unexpected(EvidenceError::private_key("too long for a key file"));
  if (pem.empty()) return std::unexpected(EvidenceError::private_key("no PEM private key found"));
  const ErrorQueueGuard clear_errors;
  const std::unique_ptr<BIO, BioFree> bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
  if (!bio) throw std::bad_alloc();
  bool asked = false;
  EVP_PKEY* read = PEM_read_bio_PrivateKey(bio.get(), nullptr, refuse_passphrase, &asked);
  if (read == nullptr) {
    return std::unexpected(EvidenceError::private_key(asked ? "it is encrypted" : "no PEM private key found"));
  }
  SigningKey key(read);
  if (EVP_PKEY_get_id(read) != EVP_PKEY_ED25519) {
    const char* type = EVP_PKEY_get0_type_name(read);
    return std::unexpected(EvidenceError::private_key(std::string("it is a key of type ") +
                                                      (type != nullptr ? type : "unknown")));
  }
  return key;
}

SigningKey::SigningKey(SigningKey&& other) noexcept : key_(std::exchange(other.key_, nullptr)) {}

SigningKey& SigningKey::operator=(SigningKey&& other) noexcept {
  if (this != &other) {
    EVP_PKEY_free(key_);
    key_ = std::exchange(other.key_, nullptr);
  }
  return *this;
}

SigningKey::~SigningKey() { EVP_PKEY_free(key_); }

std::string SigningKey::pem() const {
  const ErrorQueueGuard clear_errors;
  // A memory BIO clears its buffer when freed.
  const std::unique_ptr<BIO, BioFree> bio(BIO_new(BIO_s_mem()));
  if (!bio || PEM_write_bio_PKCS8PrivateKey(bio.get(), key_, nullptr, nullptr, 0, nullptr, nullptr) != 1) {
    throw std::bad_alloc();
  }
  char* data = nullptr;
  const long size = BIO_get_mem_data(bio.get(), &data);
  return std::string(data, static_cast<std::size_t>(size));
}

std::string SigningKey::public_key_hex() const {
  std::array<std::uint8_t, kPublicKeySize> raw{};
  std::size_t size = raw.size();
  if (EVP_PKEY_get_raw_public_key(key_, raw.data(), &size) != 1 || size != raw.size()) {
    ERR_clear_error();
    throw std::bad_alloc();
  }
  std::string hex;
  append_hex(raw.data(), raw.size(), hex);
  return hex;
}

std::string SigningKey::sign_hex(std::string_view message) const {
  const ErrorQueueGuard clear_errors;
  const std::unique_ptr<EVP_MD_CTX, MdCtxFree> ctx(EVP_MD_CTX_new());
  if (!ctx) throw std::bad_alloc();
  std::array<std::uint8_t, kSignatureSize> sig{};
  std::size_t size = sig.size();
  // An empty view may carry a null pointer; hand OpenSSL a real address anyway.
  static constexpr unsigned char kEmpty = 0;
  const auto* msg = message.empty() ? &kEmpty : reinterpret_cast<const unsigned char*>(message.data());
  // Pure Ed25519 takes no digest; with a valid key only exhaustion can fail.
  if (EVP_DigestSignInit(ctx.get(), nullptr, nullptr, nullptr, key_) != 1 ||
      EVP_DigestSign(ctx.get(), sig.data(), &size, msg, message.size()) != 1 || size != sig.size()) {
    throw std::bad_alloc();
  }
  std::string hex;
  append_hex(sig.data(), sig.size(), hex);
  return hex;
}

void wipe(std::string& secret) noexcept {
  if (!secret.empty()) OPENSSL_cleanse(secret.data(), secret.size());
}

std::expected<void, EvidenceError> sign_receipt(Receipt& receipt, const SigningKey& key, bool replace) {
  if (!hashes_to_own_id(receipt)) {
    return std::unexpected(EvidenceError::signing_failed("receipt body does not hash to receipt_id"));
  }
  if (receipt.schema != kSchema) {
    return std::unexpected(
        EvidenceError::signing_failed("schema \"" + shown_value(receipt.schema) + "\" is not er/0.2"));
  }
  if (receipt.attestation && !replace) {
    return std::unexpected(EvidenceError::signing_failed("the receipt already carries an attestation"));
  }
  std::string body;
  append_canonical_body(receipt, body);
  receipt.attestation = Attestation{"ed25519", key.public_key_hex(), key.sign_hex(body)};
  return {};
}

std::expected<std::string, EvidenceError> sign_line(std::string_view line, const SigningKey& key, bool replace) {
  std::expected<Receipt, ReceiptReadError> receipt = read_receipt(line);
  if (!receipt) return std::unexpected(EvidenceError::unreadable_receipt("receipt_line", receipt.error().render()));
  QUORREL_TRY_VOID(sign_receipt(*receipt, key, replace));
  std::string out;
  write_receipt(*receipt, out);
  return out;
}

}  // namespace quorrel::evidence
