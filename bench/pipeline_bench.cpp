// Splits the receipt and verification roads into their stages for the large
// filings of the shared corpus, so that a slow stage shows where the time goes:
//   build/release/bench/pipeline_bench [min_bytes] [FILE ...]
// (the files named are measured after the corpus, e.g. the output of
// bench/fact_dense.py)
//
// The stage columns are multiples of OpenSSL's SHA-256 of the source, timed
// in the same run:
// utf8     the UTF-8 check of the whole input
// reader   the XML pull reader alone, every event read and dropped
// parse    parse_instance (UTF-8 check, reader, instance model)
// load     SourceContext::load (parse, values, index, source digest)
// The last two columns are the whole calls against the floor of their work,
// SHA-256 over the bytes they read plus the bytes they write (source plus
// receipts text, for either call):
// receipts receipts_jsonl, the whole receipts_for_bytes road below Python
// verify   verify_jsonl on the receipts just built, the whole verify_bytes road
//
// Times are the process's CPU time (best of many runs), so that other work on
// a shared machine does not blur the ratios; page faults the call causes are
// still counted. The floor and the two whole calls are taken in turn, round
// after round, so that a slow stretch of the machine touches all three.

#include <algorithm>
#include <array>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "bench_corpus.hpp"
#include "quorrel/core/parser.hpp"
#include "quorrel/core/utf8.hpp"
#include "quorrel/core/xml_reader.hpp"
#include "quorrel/evidence/crypto.hpp"
#include "quorrel/evidence/receipts.hpp"
#include "quorrel/evidence/source_context.hpp"
#include "quorrel/evidence/verify.hpp"

namespace fs = std::filesystem;

namespace {

double seconds(clockid_t clock) {
  timespec t{};
  clock_gettime(clock, &t);
  return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

// Best CPU time over enough repetitions for about 32 MB of work, at least 5.
template <typename F>
double best_seconds(F&& f, std::size_t bytes) {
  const int reps = std::max<int>(5, static_cast<int>((32u << 20) / std::max<std::size_t>(bytes, 1)));
  double cpu = 1e30;
  for (int i = 0; i < reps; ++i) {
    const double c0 = seconds(CLOCK_PROCESS_CPUTIME_ID);
    f();
    cpu = std::min(cpu, seconds(CLOCK_PROCESS_CPUTIME_ID) - c0);
  }
  return cpu;
}

// The best CPU time of each function, the functions called in turn over
// enough rounds for about 64 MB of work each, at least 9: a slow stretch of a
// shared machine then touches all of them alike, so their ratios hold.
template <typename... F>
std::array<double, sizeof...(F)> best_in_turn(std::size_t bytes, F&&... fs) {
  const int rounds = std::max<int>(9, static_cast<int>((64u << 20) / std::max<std::size_t>(bytes, 1)));
  std::array<double, sizeof...(F)> best;
  best.fill(1e30);
  for (int round = 0; round < rounds; ++round) {
    std::size_t i = 0;
    ((best[i] = std::min(best[i], [&] {
        const double c0 = seconds(CLOCK_PROCESS_CPUTIME_ID);
        fs();
        return seconds(CLOCK_PROCESS_CPUTIME_ID) - c0;
      }()), ++i), ...);
  }
  return best;
}

}  // namespace

int main(int argc, char** argv) {
  const std::optional<std::vector<bench::Document>> corpus = bench::corpus_for(argc, argv, 1000000);
  if (!corpus) return 0;
  std::vector<bench::Document> docs;
  for (const auto& [path, bytes] : *corpus) {
    docs.emplace_back(std::filesystem::path(path).filename().string(), bytes);
  }

  using quorrel::evidence::Sha256;
  Sha256 sha;
  std::printf("stages as multiples of SHA-256 of the source; calls as multiples of SHA-256 of source + output\n");
  std::printf("%-40s %6s %6s %8s %6s %6s %6s %6s %9s %8s %6s\n", "file", "in MB", "out MB", "sha ms", "utf8", "reader",
              "parse", "load", "floor ms", "receipts", "verify");
  for (const auto& [name, bytes] : docs) {
    const auto receipts = quorrel::evidence::receipts_jsonl(bytes, name, name, std::nullopt);
    if (!receipts) {
      std::printf("%-40s does not parse\n", name.c_str());
      continue;
    }
    volatile std::size_t sink = 0;
    const double sha_s = best_seconds([&] { sink = sink + sha.digest(bytes)[0]; }, bytes.size());
    const double utf8_s =
        best_seconds([&] { sink = sink + quorrel::core::validate_utf8(bytes).has_value(); }, bytes.size());
    const double reader_s = best_seconds(
        [&] {
          quorrel::core::XmlReader reader(bytes);
          std::size_t events = 0;
          for (;;) {
            auto event = reader.next();
            if (!event || *event == quorrel::core::XmlEvent::Eof) break;
            ++events;
          }
          sink = sink + events;
        },
        bytes.size());
    const double parse_s = best_seconds(
        [&] {
          auto doc = quorrel::core::parse_instance(bytes);
          sink = sink + (doc ? doc->facts.size() : 0);
        },
        bytes.size());
    const double load_s = best_seconds(
        [&] {
          auto context = quorrel::evidence::SourceContext::load(bytes);
          sink = sink + (context ? context->values.size() : 0);
        },
        bytes.size());
    // The two whole calls and their floor, taken in turn.
    const auto [floor_s, receipts_s, verify_s] = best_in_turn(
        bytes.size() + receipts->size(),
        [&] {
          Sha256 floor_sha;
          sink = sink + floor_sha.digest(bytes)[0] + floor_sha.digest(*receipts)[0];
        },
        [&] {
          auto out = quorrel::evidence::receipts_jsonl(bytes, name, name, std::nullopt);
          sink = sink + (out ? out->size() : 0);
        },
        [&] {
          auto out = quorrel::evidence::verify_jsonl(*receipts, bytes);
          sink = sink + (out ? out->size() : 0);
        });
    std::printf("%-40s %6.2f %6.2f %8.2f %6.2f %6.2f %6.2f %6.2f %9.2f %8.2f %6.2f\n", name.substr(0, 40).c_str(),
                static_cast<double>(bytes.size()) / 1e6, static_cast<double>(receipts->size()) / 1e6, sha_s * 1e3,
                utf8_s / sha_s, reader_s / sha_s, parse_s / sha_s, load_s / sha_s, floor_s * 1e3,
                receipts_s / floor_s, verify_s / floor_s);
  }
  return 0;
}
