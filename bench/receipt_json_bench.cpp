// Throughput of receipt JSON writing and reading and of receipt ids, each set
// against OpenSSL SHA-256 over the same bytes measured in the same run.

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "quorrel/evidence/canonical.hpp"
#include "quorrel/evidence/crypto.hpp"
#include "quorrel/evidence/json_writer.hpp"
#include "quorrel/evidence/receipt_reader.hpp"

namespace ev = quorrel::evidence;

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

std::vector<ev::Receipt> make_receipts(std::size_t count) {
  std::vector<ev::Receipt> receipts;
  receipts.reserve(count);
  for (std::size_t i = 0; i < count; ++i) {
    ev::Receipt r;
    r.schema = std::string(ev::kSchema);
    r.claim = {std::to_string(i * 1000 + 7) + ".5", "iso4217:USD", ev::ClaimKind::Stated,
               "0000320193-23-000106"};
    r.evidence.push_back(
        {{"https://www.sec.gov/Archives/edgar/data/320193/000032019323000106/aapl-20230930.htm",
          std::string(64, 'a'), std::nullopt, "SEC"},
         {"us-gaap:RevenueFromContractWithCustomerExcludingAssessedTax", "c-" + std::to_string(i % 97),
          "usd", ev::ByteRange{i * 300, i * 300 + 245}},
         {std::string(ev::kEngine)}});
    r.receipt_id = ev::receipt_id_for(r.claim, r.evidence, r.derivation);
    receipts.push_back(std::move(r));
  }
  return receipts;
}

}  // namespace

int main() {
  constexpr std::size_t kCount = 100000;
  constexpr int kRounds = 5;
  const std::vector<ev::Receipt> receipts = make_receipts(kCount);

  std::string jsonl;
  double write_s = 1e9;
  for (int round = 0; round < kRounds; ++round) {
    jsonl.clear();
    const auto start = Clock::now();
    for (const ev::Receipt& r : receipts) {
      ev::write_receipt(r, jsonl);
      jsonl.push_back('\n');
    }
    write_s = std::min(write_s, seconds_since(start));
  }

  std::vector<std::string_view> lines;
  for (std::size_t pos = 0; pos < jsonl.size();) {
    const std::size_t end = jsonl.find('\n', pos);
    lines.emplace_back(jsonl.data() + pos, end - pos);
    pos = end + 1;
  }
  double read_s = 1e9;
  std::size_t checksum = 0;
  for (int round = 0; round < kRounds; ++round) {
    const auto start = Clock::now();
    for (std::string_view line : lines) {
      auto r = ev::read_receipt(line);
      if (!r) {
        std::fprintf(stderr, "read failed: %s\n", r.error().render().c_str());
        return 1;
      }
      checksum += r->claim.value.size();
    }
    read_s = std::min(read_s, seconds_since(start));
  }

  double id_s = 1e9;
  ev::Sha256 sha;
  std::string body;
  for (int round = 0; round < kRounds; ++round) {
    const auto start = Clock::now();
    for (const ev::Receipt& r : receipts) {
      body.clear();
      ev::append_canonical_body(r.claim, r.evidence, r.derivation, body);
      checksum += ev::receipt_id_of_body(body, sha).size();
    }
    id_s = std::min(id_s, seconds_since(start));
  }

  double sha_s = 1e9;
  for (int round = 0; round < kRounds; ++round) {
    const auto start = Clock::now();
    checksum += sha.digest(jsonl)[0];
    sha_s = std::min(sha_s, seconds_since(start));
  }

  const double mb = static_cast<double>(jsonl.size()) / 1e6;
  std::printf("receipts: %zu, JSONL bytes: %zu (checksum %zu)\n", kCount, jsonl.size(), checksum);
  std::printf("sha256 over JSONL : %8.1f MB/s\n", mb / sha_s);
  std::printf("write_receipt     : %8.1f MB/s  %6.0f ns/receipt  %.2fx sha256 time\n", mb / write_s,
              write_s / kCount * 1e9, write_s / sha_s);
  std::printf("read_receipt      : %8.1f MB/s  %6.0f ns/receipt  %.2fx sha256 time\n", mb / read_s,
              read_s / kCount * 1e9, read_s / sha_s);
  std::printf("receipt id        : %8.0f ns/receipt (canonical body + SHA-256, reused context)\n",
              id_s / kCount * 1e9);
  return 0;
}
