#pragma once
// The real filings the C++ benchmarks measure: every document of the shared
// corpus of at least min_bytes, as (path relative to the corpus, bytes),
// largest first. Nothing when the corpus is absent.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstddef>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace bench {

using Document = std::pair<std::string, std::string>;

inline std::optional<std::vector<Document>> load_corpus(std::size_t min_bytes) {
  namespace fs = std::filesystem;
  const fs::path corpus = fs::path(QUORREL_SHARED_DIR) / "corpus";
  if (!fs::is_directory(corpus)) return std::nullopt;
  std::vector<Document> docs;
  for (const auto& entry : fs::recursive_directory_iterator(corpus)) {
    if (!entry.is_regular_file() || entry.file_size() < min_bytes) continue;
    const std::string ext = entry.path().extension().string();
    if (ext != ".xml" && ext != ".xbrl" && ext != ".html" && ext != ".htm" && ext != ".xhtml") continue;
    std::ifstream in(entry.path(), std::ios::binary);
    docs.emplace_back(fs::relative(entry.path(), corpus).generic_string(),
                      std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()));
  }
  std::sort(docs.begin(), docs.end(), [](const Document& a, const Document& b) { return a.second.size() > b.second.size(); });
  return docs;
}

// What a benchmark's main measures: the documents of at least argv[1] bytes
// (default_min_bytes without an argument), then every file named after it,
// whatever its size, under its own path. When the corpus is absent it says
// so and measures only the named files.
inline std::optional<std::vector<Document>> corpus_for(int argc, char** argv, std::size_t default_min_bytes) {
  const std::size_t min_bytes = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : default_min_bytes;
  std::optional<std::vector<Document>> corpus = load_corpus(min_bytes);
  if (!corpus) std::printf("corpus absent\n");
  if (argc <= 2) return corpus;
  if (!corpus) corpus.emplace();
  for (int i = 2; i < argc; ++i) {
    std::ifstream in(argv[i], std::ios::binary);
    if (!in) {
      std::printf("%s: cannot be read\n", argv[i]);
      continue;
    }
    corpus->emplace_back(argv[i], std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()));
  }
  return corpus;
}

// The best wall-clock time of f over enough repetitions for about 16 MB of
// work on a document of `bytes` bytes, and at least min_reps.
template <typename F>
double best_seconds(F&& f, std::size_t bytes, int min_reps = 5) {
  const int reps = std::max<int>(min_reps, static_cast<int>((16u << 20) / std::max<std::size_t>(bytes, 1)));
  double best = 1e30;
  for (int i = 0; i < reps; ++i) {
    const auto t0 = std::chrono::steady_clock::now();
    f();
    const auto t1 = std::chrono::steady_clock::now();
    best = std::min(best, std::chrono::duration<double>(t1 - t0).count());
  }
  return best;
}

}  // namespace bench
