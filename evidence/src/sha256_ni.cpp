#include "sha256_ni.hpp"

#include <algorithm>
#include <cstring>

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define QUORREL_HAVE_SHA_NI 1
#include <cpuid.h>
#include <immintrin.h>
#else
#define QUORREL_HAVE_SHA_NI 0
#endif

namespace quorrel::evidence::detail {

#if QUORREL_HAVE_SHA_NI

namespace {

// The instructions are enabled per function, not for the whole build, so the
// library still runs on processors without them: these functions are only
// reached after sha_ni_supported() has checked the processor.
#define QUORREL_SHA_NI_TARGET __attribute__((target("sha,sse4.1,ssse3")))
#define QUORREL_SHA_NI_INLINE QUORREL_SHA_NI_TARGET __attribute__((always_inline)) inline

alignas(16) constexpr std::uint32_t kRound[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2,
};

alignas(16) constexpr std::uint32_t kInitial[8] = {
    0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a, 0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19,
};

// The eight working words as the round instruction takes them: A, B, E, F in
// one register and C, D, G, H in the other (highest lane first).
struct State {
  __m128i abef;
  __m128i cdgh;
};

// Turns each 32-bit lane's bytes around: the message words and the digest are big-endian.
QUORREL_SHA_NI_INLINE __m128i byte_swap_words(__m128i v) {
  return _mm_shuffle_epi8(v, _mm_set_epi64x(0x0c0d0e0f08090a0bLL, 0x0405060700010203LL));
}

QUORREL_SHA_NI_INLINE State initial_state() {
  const __m128i dcba = _mm_load_si128(reinterpret_cast<const __m128i*>(kInitial));
  const __m128i hgfe = _mm_load_si128(reinterpret_cast<const __m128i*>(kInitial + 4));
  const __m128i cdab = _mm_shuffle_epi32(dcba, 0xB1);
  const __m128i efgh = _mm_shuffle_epi32(hgfe, 0x1B);
  return State{_mm_alignr_epi8(cdab, efgh, 8), _mm_blend_epi16(efgh, cdab, 0xF0)};
}

// Writes the digest: A to H, each big-endian.
QUORREL_SHA_NI_INLINE void store_digest(const State& s, std::uint8_t* out) {
  const __m128i feba = _mm_shuffle_epi32(s.abef, 0x1B);
  const __m128i dchg = _mm_shuffle_epi32(s.cdgh, 0xB1);
  const __m128i dcba = _mm_blend_epi16(feba, dchg, 0xF0);
  const __m128i hgfe = _mm_alignr_epi8(dchg, feba, 8);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out), byte_swap_words(dcba));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 16), byte_swap_words(hgfe));
}

// One 64-byte block into each of N states. With N = 2 the two message
// schedules and round chains are independent and written side by side, so
// the processor works on both while either waits for a round's result.
template <int N>
QUORREL_SHA_NI_INLINE void compress(State* states, const std::uint8_t* const* blocks) {
  __m128i w[N][4];  // the last four groups of four schedule words
  State saved[N];
#pragma GCC unroll 2
  for (int n = 0; n < N; ++n) saved[n] = states[n];
#pragma GCC unroll 16
  for (int g = 0; g < 16; ++g) {
    const __m128i k = _mm_load_si128(reinterpret_cast<const __m128i*>(kRound + 4 * g));
#pragma GCC unroll 2
    for (int n = 0; n < N; ++n) {
      __m128i& m = w[n][g & 3];
      if (g < 4) {
        m = byte_swap_words(_mm_loadu_si128(reinterpret_cast<const __m128i*>(blocks[n] + 16 * g)));
      } else {
        // Words 4g..4g+3 from the groups g-4 (in m), g-3, g-2 and g-1.
        const __m128i& prev1 = w[n][(g + 3) & 3];
        const __m128i& prev2 = w[n][(g + 2) & 3];
        const __m128i& prev3 = w[n][(g + 1) & 3];
        m = _mm_sha256msg1_epu32(m, prev3);
        m = _mm_add_epi32(m, _mm_alignr_epi8(prev1, prev2, 4));
        m = _mm_sha256msg2_epu32(m, prev1);
      }
      const __m128i wk = _mm_add_epi32(m, k);
      states[n].cdgh = _mm_sha256rnds2_epu32(states[n].cdgh, states[n].abef, wk);
      states[n].abef = _mm_sha256rnds2_epu32(states[n].abef, states[n].cdgh, _mm_shuffle_epi32(wk, 0x0E));
    }
  }
#pragma GCC unroll 2
  for (int n = 0; n < N; ++n) {
    states[n].abef = _mm_add_epi32(states[n].abef, saved[n].abef);
    states[n].cdgh = _mm_add_epi32(states[n].cdgh, saved[n].cdgh);
  }
}

// A message as a run of blocks: its whole 64-byte blocks where they lie, then
// one or two blocks built here from the rest, the 0x80 byte, zeros and the
// length in bits (big-endian, modulo 2^64 as the algorithm defines it).
// `length` is the whole message's, of which these bytes may be only the end
// (a running digest's held bytes, its earlier blocks compressed already).
class Blocks {
 public:
  Blocks(const std::uint8_t* data, std::size_t size) : Blocks(data, size, size) {}
  Blocks(const std::uint8_t* data, std::size_t size, std::uint64_t length) : data_(data), whole_(size / 64) {
    const std::size_t rest = size % 64;
    tail_blocks_ = rest < 56 ? 1 : 2;
    const std::size_t tail_size = 64 * tail_blocks_;
    if (rest != 0) std::memcpy(tail_, data + 64 * whole_, rest);
    tail_[rest] = 0x80;
    std::memset(tail_ + rest + 1, 0, tail_size - rest - 1 - 8);
    std::uint64_t bits = length << 3;
    for (std::size_t i = 0; i < 8; ++i) {
      tail_[tail_size - 1 - i] = static_cast<std::uint8_t>(bits);
      bits >>= 8;
    }
  }
  Blocks(const Blocks&) = delete;
  Blocks& operator=(const Blocks&) = delete;

  std::size_t count() const noexcept { return whole_ + tail_blocks_; }
  const std::uint8_t* operator[](std::size_t i) const noexcept {
    return i < whole_ ? data_ + 64 * i : tail_ + 64 * (i - whole_);
  }

 private:
  const std::uint8_t* data_;
  std::size_t whole_;
  std::size_t tail_blocks_;
  std::uint8_t tail_[128];
};

QUORREL_SHA_NI_TARGET void run_pair(const std::uint8_t* a, std::size_t a_size, const std::uint8_t* b,
                                    std::size_t b_size, std::uint8_t* a_out, std::uint8_t* b_out) {
  const Blocks a_blocks(a, a_size);
  const Blocks b_blocks(b, b_size);
  State s[2] = {initial_state(), initial_state()};
  const std::size_t both = std::min(a_blocks.count(), b_blocks.count());
  std::size_t i = 0;
  for (; i < both; ++i) {
    const std::uint8_t* pair[2] = {a_blocks[i], b_blocks[i]};
    compress<2>(s, pair);
  }
  // The longer message's remaining blocks, alone.
  const bool a_longer = a_blocks.count() > both;
  const Blocks& longer = a_longer ? a_blocks : b_blocks;
  State& state = a_longer ? s[0] : s[1];
  for (; i < longer.count(); ++i) {
    const std::uint8_t* block = longer[i];
    compress<1>(&state, &block);
  }
  store_digest(s[0], a_out);
  store_digest(s[1], b_out);
}

QUORREL_SHA_NI_INLINE State load_state(const NiState& state) {
  return State{_mm_load_si128(reinterpret_cast<const __m128i*>(state.words)),
               _mm_load_si128(reinterpret_cast<const __m128i*>(state.words + 16))};
}

QUORREL_SHA_NI_INLINE void save_state(const State& s, NiState& state) {
  _mm_store_si128(reinterpret_cast<__m128i*>(state.words), s.abef);
  _mm_store_si128(reinterpret_cast<__m128i*>(state.words + 16), s.cdgh);
}

QUORREL_SHA_NI_TARGET void run_blocks(NiState& state, const std::uint8_t* blocks, std::size_t count) {
  State s = load_state(state);
  for (std::size_t i = 0; i < count; ++i) {
    const std::uint8_t* block = blocks + 64 * i;
    compress<1>(&s, &block);
  }
  save_state(s, state);
}

QUORREL_SHA_NI_TARGET void start_state(NiState& state) { save_state(initial_state(), state); }

QUORREL_SHA_NI_TARGET void finish_state(NiState& state, const std::uint8_t* rest, std::size_t rest_size,
                                        std::uint64_t length, std::uint8_t* out) {
  const Blocks blocks(rest, rest_size, length);
  State s = load_state(state);
  for (std::size_t i = 0; i < blocks.count(); ++i) {
    const std::uint8_t* block = blocks[i];
    compress<1>(&s, &block);
  }
  store_digest(s, out);
}

bool detect() noexcept {
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  if (__get_cpuid(1, &eax, &ebx, &ecx, &edx) == 0) return false;
  const bool ssse3 = (ecx & (1u << 9)) != 0;
  const bool sse41 = (ecx & (1u << 19)) != 0;
  if (!ssse3 || !sse41) return false;
  if (__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx) == 0) return false;
  return (ebx & (1u << 29)) != 0;
}

}  // namespace

bool sha_ni_supported() noexcept {
  static const bool supported = detect();
  return supported;
}

void sha256_ni_start(NiState& state) noexcept { start_state(state); }

void sha256_ni_blocks(NiState& state, const std::uint8_t* blocks, std::size_t count) noexcept {
  run_blocks(state, blocks, count);
}

void sha256_ni_finish(NiState& state, const std::uint8_t* rest, std::size_t rest_size, std::uint64_t length,
                      std::uint8_t* out) noexcept {
  finish_state(state, rest, rest_size, length, out);
}

void sha256_ni_pair(const std::uint8_t* a, std::size_t a_size, const std::uint8_t* b, std::size_t b_size,
                    std::uint8_t* a_out, std::uint8_t* b_out) noexcept {
  run_pair(a, a_size, b, b_size, a_out, b_out);
}

#else  // no SHA-NI code in this build

bool sha_ni_supported() noexcept { return false; }

// Never reached: callers check sha_ni_supported() first.
void sha256_ni_start(NiState&) noexcept {}
void sha256_ni_blocks(NiState&, const std::uint8_t*, std::size_t) noexcept {}
void sha256_ni_finish(NiState&, const std::uint8_t*, std::size_t, std::uint64_t, std::uint8_t*) noexcept {}
void sha256_ni_pair(const std::uint8_t*, std::size_t, const std::uint8_t*, std::size_t, std::uint8_t*,
                    std::uint8_t*) noexcept {}

#endif

}  // namespace quorrel::evidence::detail
