// Cost of one Ed25519 verification over a receipt-sized body, against hashing
// the same body with SHA-256.
#include "quorrel/evidence/crypto.hpp"
#include "quorrel/evidence/ed25519.hpp"

#include <chrono>
#include <cstdio>
#include <string_view>

int main() {
  // Signed with the secret key of the first published RFC 8032 test.
  constexpr std::string_view message =
      R"({"claim":{"value":"1250000","unit_ref":"USD"},"evidence":{"sha256":"e3b0"}})";
  constexpr std::string_view key = "d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a";
  constexpr std::string_view sig =
      "0f8d6eeb3a50182e45f9000ca34c9a66b5a041ae4c2a1da8acd4a26bfec164bb"
      "70ec7a90fc12fa27aa632603cb2ca29b6c6bc7b11cb2c2d82769e7e4d7452f03";

  constexpr int kRounds = 5000;
  int ok = 0;
  auto t0 = std::chrono::steady_clock::now();
  for (int i = 0; i < kRounds; ++i) {
    ok += quorrel::evidence::attestation_signature_valid("ed25519", key, sig, message) ? 1 : 0;
  }
  const std::chrono::duration<double> verify = std::chrono::steady_clock::now() - t0;

  quorrel::evidence::Sha256 sha;
  volatile std::size_t sink = 0;
  t0 = std::chrono::steady_clock::now();
  for (int i = 0; i < kRounds; ++i) sink = sink + sha.digest(message)[0];
  const std::chrono::duration<double> hash = std::chrono::steady_clock::now() - t0;

  const double verify_us = verify.count() / kRounds * 1e6;
  const double hash_us = hash.count() / kRounds * 1e6;
  std::printf("attestation_signature_valid: %.1f us per call (%d of %d valid)\n", verify_us, ok, kRounds);
  std::printf("sha256 of the same %zu-byte body: %.3f us\n", message.size(), hash_us);
  std::printf("ratio verify / hash: %.0f\n", verify_us / hash_us);
  return ok == kRounds ? 0 : 1;
}
