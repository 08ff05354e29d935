// fuzz-dict: json.dict
// verify_jsonl on arbitrary receipt text against one fixed small document:
// the answer is a clean error with a message or a summary whose "fail" and
// "pass" add up to the number of non-blank lines.

#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_support.hpp"
#include "quorrel/evidence/jsonl.hpp"
#include "quorrel/evidence/verify.hpp"

namespace {

constexpr std::string_view kDocument =
    R"(<?xml version="1.0" encoding="UTF-8"?>
<xbrli:xbrl xmlns:xbrli="http://www.xbrl.org/2003/instance" xmlns:iso4217="http://www.xbrl.org/2003/iso4217" xmlns:ex="http://example.com/ex">
<xbrli:context id="c1"><xbrli:entity><xbrli:identifier scheme="http://example.com">X</xbrli:identifier></xbrli:entity><xbrli:period><xbrli:instant>2024-12-31</xbrli:instant></xbrli:period></xbrli:context>
<xbrli:unit id="u1"><xbrli:measure>iso4217:EUR</xbrli:measure></xbrli:unit>
<ex:Revenue contextRef="c1" unitRef="u1" decimals="0">1200</ex:Revenue>
<ex:Cost contextRef="c1" unitRef="u1" decimals="0">-300.50</ex:Cost>
</xbrli:xbrl>
)";

// A count of the summary: decimal digits without leading zeros.
bool read_count(std::string_view text, std::size_t& value) {
  if (text.empty()) return false;
  value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<std::size_t>(c - '0');
  }
  return text.size() == 1 || text[0] != '0';
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view jsonl(reinterpret_cast<const char*>(data), size);
  const auto summary = quorrel::evidence::verify_jsonl(jsonl, kDocument);
  if (!summary) {
    FUZZ_CHECK(!quorrel::evidence::render(summary.error()).empty(), "empty error message");
    return 0;
  }
  const std::string& s = *summary;
  constexpr std::string_view kHead = "{\"fail\":";
  constexpr std::string_view kMiddle = ",\"failures\":[";
  constexpr std::string_view kTail = "],\"pass\":";
  FUZZ_CHECK(s.starts_with(kHead) && s.ends_with('}'), s);
  const std::size_t middle = s.find(kMiddle);
  const std::size_t tail = s.rfind(kTail);
  FUZZ_CHECK(middle != std::string::npos && tail != std::string::npos && middle < tail, s);
  std::size_t fail = 0, pass = 0;
  FUZZ_CHECK(read_count(std::string_view(s).substr(kHead.size(), middle - kHead.size()), fail), s);
  const std::size_t pass_at = tail + kTail.size();
  FUZZ_CHECK(read_count(std::string_view(s).substr(pass_at, s.size() - 1 - pass_at), pass), s);
  FUZZ_CHECK(fail + pass == quorrel::evidence::jsonl_records(jsonl).size(), s);
  FUZZ_CHECK((fail == 0) == (middle + kMiddle.size() == tail), s);
  return 0;
}
