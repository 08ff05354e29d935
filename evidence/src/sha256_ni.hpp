#pragma once
// SHA-256 with the x86-64 SHA instructions (SHA-NI): a running digest fed
// whole blocks, and two messages at once for Sha256::digest_batch. These
// functions may only be called when sha_ni_supported() says so; elsewhere
// (another processor, another architecture) they do nothing and crypto.cpp
// uses OpenSSL alone.

#include <cstddef>
#include <cstdint>

#include "quorrel/evidence/crypto.hpp"

namespace quorrel::evidence::detail {

// Whether this build has the SHA-NI code and this processor runs it: the SHA
// extensions (CPUID leaf 7, EBX bit 29) with SSSE3 and SSE4.1 (leaf 1, ECX).
// Worked out once.
bool sha_ni_supported() noexcept;

// The 32-byte digests of two messages, computed in one loop: the two
// compressions are independent, so the processor overlaps their rounds,
// whose instructions would otherwise mostly wait on each other's results.
// The state before any block.
void sha256_ni_start(NiState& state) noexcept;
// Compresses `count` consecutive 64-byte blocks into the state.
void sha256_ni_blocks(NiState& state, const std::uint8_t* blocks, std::size_t count) noexcept;
// The 32-byte digest of a message whose whole blocks but the last few bytes
// (`rest`, under 64) are in the state, `length` bytes in all: the rest and
// the padding are compressed, and the state is spent.
void sha256_ni_finish(NiState& state, const std::uint8_t* rest, std::size_t rest_size, std::uint64_t length,
                      std::uint8_t* out) noexcept;

void sha256_ni_pair(const std::uint8_t* a, std::size_t a_size, const std::uint8_t* b, std::size_t b_size,
                    std::uint8_t* a_out, std::uint8_t* b_out) noexcept;

}  // namespace quorrel::evidence::detail
