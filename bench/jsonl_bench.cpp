// Speed of cutting a JSONL text into records, against SHA-256 over the same
// bytes in the same run.
#include "quorrel/evidence/crypto.hpp"
#include "quorrel/evidence/jsonl.hpp"

#include <chrono>
#include <cstdio>
#include <string>

namespace {

template <class F>
double best_seconds(int rounds, F&& f) {
  double best = 1e30;
  for (int r = 0; r < rounds; ++r) {
    const auto t0 = std::chrono::steady_clock::now();
    f();
    const std::chrono::duration<double> d = std::chrono::steady_clock::now() - t0;
    if (d.count() < best) best = d.count();
  }
  return best;
}

}  // namespace

int main() {
  // About 64 MB of receipt-sized lines with CRLF ends and some blank lines.
  const std::string record = "{\"schema\":\"er/0.2\",\"receipt_id\":\"er_" + std::string(64, 'a') +
                             "\",\"claim\":{\"value\":\"1250000\"}," + std::string(400, 'x') + "}\r\n";
  std::string text;
  text.reserve(64u << 20);
  std::size_t lines = 0;
  while (text.size() + record.size() + 4 < (64u << 20)) {
    text += record;
    if (++lines % 16 == 0) text += " \t\r\n";
  }

  std::size_t count = 0;
  const double split = best_seconds(5, [&] { count = quorrel::evidence::jsonl_records(text).size(); });
  quorrel::evidence::Sha256 sha;
  std::string digest;
  const double hash = best_seconds(5, [&] { digest = sha.hex(text); });

  const double mb = static_cast<double>(text.size()) / 1e6;
  std::printf("jsonl_records: %zu records in %.1f MB: %.0f MB/s\n", count, mb, mb / split);
  std::printf("sha256 over the same bytes: %.0f MB/s\n", mb / hash);
  std::printf("ratio jsonl_records / sha256 speed: %.2f\n", hash / split);
  return digest.size() == 64 && count == lines ? 0 : 1;
}
