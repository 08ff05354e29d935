// Times fact normalization of the large real filings against OpenSSL's
// SHA-256 over the same bytes. Each document is parsed once; then the full
// normalize_facts (identity, dimensions, units and text copied out) and
// normalize_fact alone, all that receipt building uses (one ReferenceIndex
// per document, then each fact), are timed and printed beside the
// hash time as ratios.
//   build/release/bench/normalize_bench [min_bytes]   (default 1000000)

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
#include "quorrel/core/normalize.hpp"
#include "quorrel/core/parser.hpp"
#include "quorrel/evidence/crypto.hpp"

int main(int argc, char** argv) {
  const std::optional<std::vector<bench::Document>> corpus = bench::corpus_for(argc, argv, 1000000);
  if (!corpus) return 0;
  const std::vector<bench::Document>& docs = *corpus;

  quorrel::evidence::Sha256 sha;
  const quorrel::core::NoLabels labels;
  std::printf("%-44s %9s %6s %9s %9s %9s %7s %7s %7s\n", "file", "bytes", "facts", "sha us", "full us", "lean us",
              "full/sha", "lean/sha", "ns/fact");
  double total_sha = 0;
  double total_full = 0;
  double total_lean = 0;
  for (const auto& [name, bytes] : docs) {
    const auto doc = quorrel::core::parse_instance(bytes);
    if (!doc) {
      std::printf("%-44s does not parse: %s\n", name.c_str(), doc.error().render().c_str());
      continue;
    }
    std::size_t kept = 0;
    const double full_s = bench::best_seconds(
        [&] {
          const auto results = quorrel::core::normalize_facts(*doc, labels, name);
          kept = static_cast<std::size_t>(std::count_if(results.begin(), results.end(),
                                                        [](const auto& r) { return r.has_value(); }));
        },
        bytes.size());
    std::size_t numbers = 0;
    const double lean_s = bench::best_seconds(
        [&] {
          numbers = 0;
          const quorrel::core::ReferenceIndex references(*doc);
          for (const auto& fact : doc->facts) {
            const auto resolved = quorrel::core::normalize_fact(references, fact);
            numbers += (resolved && resolved->number) ? 1 : 0;
          }
        },
        bytes.size());
    volatile std::uint8_t sink = 0;
    const double sha_s = bench::best_seconds([&] { sink = sink ^ sha.digest(bytes)[0]; }, bytes.size());
    (void)kept;
    total_sha += sha_s;
    total_full += full_s;
    total_lean += lean_s;
    const double facts = static_cast<double>(std::max<std::size_t>(doc->facts.size(), 1));
    std::printf("%-44s %9zu %6zu %9.0f %9.0f %9.0f %7.2f %7.2f %7.0f\n", name.substr(0, 44).c_str(), bytes.size(),
                doc->facts.size(), sha_s * 1e6, full_s * 1e6, lean_s * 1e6, full_s / sha_s, lean_s / sha_s,
                full_s * 1e9 / facts);
  }
  if (total_sha > 0) {
    std::printf("overall normalize_facts/sha256 time ratio: %.2f, normalize_fact/sha256: %.2f\n",
                total_full / total_sha, total_lean / total_sha);
  }
  return 0;
}
