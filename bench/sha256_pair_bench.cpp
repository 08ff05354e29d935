// SHA-256 of many receipt-sized messages (a large filing's receipt bodies):
// OpenSSL one message at a time, the SHA-instruction code one at a time and
// two at a time, each against one OpenSSL pass over all the bytes together.
//   sha256_pair_bench [message bytes, default 460] [messages, default 2530]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "quorrel/evidence/crypto.hpp"

namespace {

using quorrel::evidence::Digest;
using quorrel::evidence::Sha256;
using quorrel::evidence::Sha256Backend;

template <typename F>
double best_seconds(F&& f, int reps) {
  double best = 1e30;
  for (int i = 0; i < reps; ++i) {
    const auto t0 = std::chrono::steady_clock::now();
    f();
    best = std::min(best, std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
  }
  return best;
}

}  // namespace

int main(int argc, char** argv) {
  const std::size_t size = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 460;
  const std::size_t count = std::max<std::size_t>(2, argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 2530);
  std::string all(size * count, '\0');
  for (std::size_t i = 0; i < all.size(); ++i) all[i] = static_cast<char>('!' + (i * 7919 + i / 13) % 90);
  std::vector<std::string_view> messages;
  for (std::size_t i = 0; i < count; ++i) messages.push_back(std::string_view(all).substr(i * size, size));

  const bool instructions = quorrel::evidence::sha256_instructions_available();
  Sha256 sha;
  volatile unsigned sink = 0;
  constexpr int kReps = 200;

  auto one_each = [&] {
    unsigned x = 0;
    for (std::string_view m : messages) x += sha.digest(m)[0];
    sink = sink + x;
  };
  auto pairs = [&] {
    unsigned x = 0;
    Digest a{}, b{};
    std::size_t i = 0;
    for (; i + 1 < messages.size(); i += 2) {
      sha.digest_pair(messages[i], messages[i + 1], a, b);
      x += a[0] + b[0];
    }
    if (i < messages.size()) x += sha.digest(messages[i])[0];
    sink = sink + x;
  };
  auto whole = [&] { sink = sink + sha.digest(all)[0]; };

  (void)quorrel::evidence::set_sha256_backend(Sha256Backend::OpenSsl);
  const double evp_whole = best_seconds(whole, kReps);
  const double evp_each = best_seconds(one_each, kReps);
  std::printf("%zu messages of %zu bytes (%.2f MB); ratios to one OpenSSL pass over all of them\n", count, size,
              static_cast<double>(all.size()) / 1e6);
  std::printf("  openssl, all bytes in one message   %8.3f ms  1.00\n", evp_whole * 1e3);
  std::printf("  openssl, one message at a time      %8.3f ms  %.2f\n", evp_each * 1e3, evp_each / evp_whole);
  if (!instructions) {
    std::printf("  no SHA instructions on this processor or build: nothing else to measure\n");
    return 0;
  }
  (void)quorrel::evidence::set_sha256_backend(Sha256Backend::ShaInstructions);
  const double ni_whole = best_seconds(whole, kReps);
  const double ni_each = best_seconds(one_each, kReps);
  const double ni_pairs = best_seconds(pairs, kReps);
  std::printf("  sha instructions, all in one        %8.3f ms  %.2f\n", ni_whole * 1e3, ni_whole / evp_whole);
  std::printf("  sha instructions, one at a time     %8.3f ms  %.2f\n", ni_each * 1e3, ni_each / evp_whole);
  std::printf("  sha instructions, two at a time     %8.3f ms  %.2f\n", ni_pairs * 1e3, ni_pairs / evp_whole);
  std::printf("per message against openssl one at a time: one %.2f, two at a time %.2f\n", ni_each / evp_each,
              ni_pairs / evp_each);
  return 0;
}
