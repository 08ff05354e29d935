#pragma once
// What several evidence tests make and show: sealed receipts, written lines, reports as one line.

#include <cctype>
#include <string>

#include "quorrel/evidence/canonical.hpp"
#include "quorrel/evidence/json_writer.hpp"
#include "quorrel/evidence/report.hpp"

namespace quorrel::evidence::test {

inline void seal(Receipt& r) { r.receipt_id = receipt_id_for(r.claim, r.evidence, r.derivation); }

inline std::string written(const Receipt& r) {
  std::string out;
  write_receipt(r, out);
  return out;
}

inline std::string upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

// A sealed stated receipt with one evidence item.
inline Receipt stated(std::string value, std::string concept_name) {
  Receipt r;
  r.schema = "er/0.2";
  r.claim = {std::move(value), "u", ClaimKind::Stated, "doc"};
  r.evidence.push_back({{"urn:x", std::string(64, '0'), std::nullopt, std::nullopt},
                        {std::move(concept_name), "c", "u", ByteRange{1, 2}},
                        {std::string(kEngine)}});
  seal(r);
  return r;
}

// Every check that ran, in order, a failing one with its detail.
inline std::string line(const VerificationReport& report) {
  std::string out;
  for (const Check& c : report.checks) {
    if (!out.empty()) out += ' ';
    out += check_name_text(c.name);
    if (!c.pass) out += "=" + c.detail.value_or("<no detail>");
  }
  return out;
}

}  // namespace quorrel::evidence::test
