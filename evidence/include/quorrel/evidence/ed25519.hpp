#pragma once
// Ed25519 signature verification (pure Ed25519: no context, no prehash) through
// OpenSSL's libcrypto, and the hexadecimal decoding that attestations use.

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

namespace quorrel::evidence {

// Decodes hexadecimal text: digits 0-9, a-f and A-F, two per byte, high nibble
// first. Any other character or an odd length gives no value. Empty text
// decodes to no bytes.
[[nodiscard]] std::optional<std::vector<std::uint8_t>> hex_decode(std::string_view hex);

// True when sig (64 bytes) is a valid Ed25519 signature of message under
// public_key (32 bytes). Any other size is simply invalid. S must be below the
// group order; the cofactorless equation is checked and small-order keys and R
// values are not rejected.
[[nodiscard]] bool ed25519_verify(std::span<const std::uint8_t> public_key,
                                  std::span<const std::uint8_t> sig, std::string_view message);

// The whole signature check of an attestation: alg is exactly "ed25519", the
// key decodes to exactly 32 bytes, the signature to exactly 64, and the
// signature verifies over message.
[[nodiscard]] bool attestation_signature_valid(std::string_view alg, std::string_view public_key_hex,
                                               std::string_view sig_hex, std::string_view message);

}  // namespace quorrel::evidence
