// Times parse_instance against SHA-256 over the same bytes for every real
// filing of the shared corpus (largest first) and prints the ratio. The last
// column is parse_source, which hashes the input as it parses it, against a
// parse and a hash one after the other: below 1 where the two overlap.
//   build/release/bench/parse_bench [min_bytes]

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "bench_corpus.hpp"
#include "quorrel/core/parser.hpp"
#include "quorrel/evidence/crypto.hpp"
#include "quorrel/evidence/receipts.hpp"

int main(int argc, char** argv) {
  const std::optional<std::vector<bench::Document>> corpus = bench::corpus_for(argc, argv, 100000);
  if (!corpus) return 0;
  const std::vector<bench::Document>& docs = *corpus;

  quorrel::evidence::Sha256 sha;
  std::printf("%-48s %10s %8s %10s %10s %7s %7s\n", "file", "bytes", "facts", "parse MB/s", "sha MB/s", "ratio",
              "+hash");
  double total_parse = 0;
  double total_sha = 0;
  for (const auto& [name, bytes] : docs) {
    std::size_t facts = 0;
    bool ok = true;
    const double parse_s = bench::best_seconds(
        [&] {
          auto doc = quorrel::core::parse_instance(bytes);
          ok = doc.has_value();
          facts = ok ? doc->facts.size() : 0;
        },
        bytes.size(), 3);
    volatile std::uint8_t sink = 0;
    const double sha_s = bench::best_seconds([&] { sink = sink ^ sha.digest(bytes)[0]; }, bytes.size(), 3);
    const double hashed_s = bench::best_seconds(
        [&] {
          auto parsed = quorrel::evidence::parse_source(bytes);
          sink = sink ^ static_cast<std::uint8_t>(parsed ? parsed->sha256[0] : 0);
        },
        bytes.size(), 3);
    total_parse += parse_s;
    total_sha += sha_s;
    const double mb = static_cast<double>(bytes.size()) / 1e6;
    std::printf("%-48s %10zu %8zu %10.0f %10.0f %7.2f %7.2f%s\n", name.c_str(), bytes.size(), facts, mb / parse_s,
                mb / sha_s, parse_s / sha_s, hashed_s / (parse_s + sha_s), ok ? "" : "  (parse error)");
  }
  if (total_sha > 0) std::printf("overall parse/sha256 time ratio: %.2f\n", total_parse / total_sha);
  return 0;
}
