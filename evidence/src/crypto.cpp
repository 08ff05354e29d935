#include "quorrel/evidence/crypto.hpp"

#include <openssl/err.h>
#include <openssl/evp.h>

#include <algorithm>
#include <cstring>
#include <new>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "sha256_ni.hpp"

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

// Whether digests run the SHA-instruction code, asked of the processor once.
const bool kInstructions = detail::sha_ni_supported();

}  // namespace

Sha256::Sha256() : ctx_(EVP_MD_CTX_new()) {
  if (ctx_ == nullptr) throw std::bad_alloc();
}

Sha256::~Sha256() { EVP_MD_CTX_free(ctx_); }

namespace {

// Only resource exhaustion makes a memory-to-memory digest fail.
[[noreturn]] void digest_failed() {
  ERR_clear_error();
  throw std::bad_alloc();
}

}  // namespace

Digest Sha256::digest(std::string_view bytes) {
  start();
  update(bytes);
  return finish();
}

std::size_t Sha256::grain() noexcept { return kInstructions ? 64 : std::size_t{1} << 17; }

void Sha256::start() {
  if (kInstructions) {
    detail::sha256_ni_start(state_);
    pending_size_ = 0;
    length_ = 0;
    return;
  }
  if (EVP_DigestInit_ex2(ctx_, sha256_md(), nullptr) != 1) digest_failed();
}

void Sha256::update(std::string_view bytes) {
  if (!kInstructions) {
    if (EVP_DigestUpdate(ctx_, bytes.data(), bytes.size()) != 1) digest_failed();
    return;
  }
  const auto* p = reinterpret_cast<const std::uint8_t*>(bytes.data());
  std::size_t size = bytes.size();
  length_ += size;
  if (pending_size_ != 0) {
    const std::size_t room = std::min(size, sizeof pending_ - pending_size_);
    std::memcpy(pending_ + pending_size_, p, room);
    pending_size_ += room;
    p += room;
    size -= room;
    if (pending_size_ < sizeof pending_) return;
    detail::sha256_ni_blocks(state_, pending_, 1);
    pending_size_ = 0;
  }
  // Whole blocks are compressed where they lie.
  detail::sha256_ni_blocks(state_, p, size / 64);
  pending_size_ = size % 64;
  if (pending_size_ != 0) std::memcpy(pending_, p + size - pending_size_, pending_size_);
}

Digest Sha256::finish() {
  Digest out{};
  if (kInstructions) {
    detail::sha256_ni_finish(state_, pending_, pending_size_, length_, out.data());
    pending_size_ = 0;
    return out;
  }
  unsigned int len = 0;
  if (EVP_DigestFinal_ex(ctx_, out.data(), &len) != 1 || len != out.size()) digest_failed();
  return out;
}

std::string Sha256::finish_hex() {
  const Digest d = finish();
  std::string hex;
  evidence::append_hex(d.data(), d.size(), hex);
  return hex;
}

void Sha256::digest_batch(std::span<const std::string_view> messages, Digest* out) {
  std::size_t i = 0;
  if (kInstructions) {
    const auto bytes = [](std::string_view m) { return reinterpret_cast<const std::uint8_t*>(m.data()); };
    for (; messages.size() - i >= 2; i += 2) {
      detail::sha256_ni_pair(bytes(messages[i]), messages[i].size(), bytes(messages[i + 1]), messages[i + 1].size(),
                             out[i].data(), out[i + 1].data());
    }
  }
  for (; i < messages.size(); ++i) out[i] = digest(messages[i]);
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
  // The room is made without filling it first; with SSE2, sixteen bytes are
  // spelled at a time: their nibbles interleaved high first, each nibble
  // turned into '0'-'9' or 'a'-'f' by adding '0' and, past 9, 39 more.
  static constexpr char kDigits[] = "0123456789abcdef";
  const std::size_t base = out.size();
  out.resize_and_overwrite(base + 2 * size, [&](char* buffer, std::size_t) noexcept {
    char* p = buffer + base;
    std::size_t i = 0;
#if defined(__SSE2__)
    const __m128i low_nibble = _mm_set1_epi8(0x0f);
    const __m128i nine = _mm_set1_epi8(9);
    const __m128i zero_char = _mm_set1_epi8('0');
    const __m128i past_nine = _mm_set1_epi8('a' - '0' - 10);
    const auto spell = [&](__m128i nibbles) {
      const __m128i letters = _mm_and_si128(_mm_cmpgt_epi8(nibbles, nine), past_nine);
      return _mm_add_epi8(_mm_add_epi8(nibbles, zero_char), letters);
    };
    for (; size - i >= 16; i += 16, p += 32) {
      const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + i));
      const __m128i high = _mm_and_si128(_mm_srli_epi16(bytes, 4), low_nibble);
      const __m128i low = _mm_and_si128(bytes, low_nibble);
      _mm_storeu_si128(reinterpret_cast<__m128i*>(p), spell(_mm_unpacklo_epi8(high, low)));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(p + 16), spell(_mm_unpackhi_epi8(high, low)));
    }
#endif
    for (; i < size; ++i) {
      *p++ = kDigits[data[i] >> 4];
      *p++ = kDigits[data[i] & 0x0f];
    }
    // The room offered may be larger than asked for when the string grows.
    return base + 2 * size;
  });
}

}  // namespace quorrel::evidence
