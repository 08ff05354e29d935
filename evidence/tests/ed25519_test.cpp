// Ed25519 verification against the committed vector file, hex decoding, and
// the attestation check over the canonical body.

#include "quorrel/evidence/ed25519.hpp"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <algorithm>
#include <array>
#include <initializer_list>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "quorrel/evidence/attestation.hpp"
#include "quorrel/evidence/canonical.hpp"
#include "quorrel/evidence/crypto.hpp"

namespace ev = quorrel::evidence;

namespace {

struct Vector {
  std::string public_key, sig, msg, source, note;
  std::optional<bool> valid;
};

// The vector file holds one member per line ("key": "text" or "key": true)
// and closes each object on a line of its own; every object has all six members.
std::optional<std::vector<Vector>> read_vectors(std::string_view text) {
  std::vector<Vector> out;
  Vector v;
  int members = 0;
  while (!text.empty()) {
    const std::size_t eol = text.find('\n');
    std::string_view line = text.substr(0, eol);
    text.remove_prefix(eol == std::string_view::npos ? text.size() : eol + 1);
    line.remove_prefix(std::min(line.size(), line.find_first_not_of(' ')));
    if (line.starts_with("}")) {
      if (members != 6) return std::nullopt;
      out.push_back(std::exchange(v, Vector{}));
      members = 0;
      continue;
    }
    if (!line.starts_with("\"")) continue;
    const std::size_t colon = line.find("\": ");
    if (colon == std::string_view::npos) return std::nullopt;
    const std::string_view key = line.substr(1, colon - 1);
    std::string_view value = line.substr(colon + 3);
    if (value.ends_with(",")) value.remove_suffix(1);
    ++members;
    if (key == "valid") {
      if (value != "true" && value != "false") return std::nullopt;
      v.valid = value == "true";
      continue;
    }
    if (value.size() < 2 || !value.starts_with("\"") || !value.ends_with("\"")) return std::nullopt;
    value = value.substr(1, value.size() - 2);
    std::string* field = key == "public_key" ? &v.public_key : key == "sig" ? &v.sig : key == "msg" ? &v.msg
                       : key == "source" ? &v.source : key == "note" ? &v.note : nullptr;
    if (field == nullptr) return std::nullopt;
    field->assign(value);
  }
  return out;
}

std::string upper(std::string s) {
  for (char& c : s) c = (c >= 'a' && c <= 'f') ? static_cast<char>(c - 'a' + 'A') : c;
  return s;
}

// An Ed25519 signer built from a fixed seed.
class Signer {
 public:
  explicit Signer(unsigned char fill) {
    std::array<unsigned char, 32> seed{};
    seed.fill(fill);
    key_.reset(EVP_PKEY_new_raw_private_key(EVP_PKEY_ED25519, nullptr, seed.data(), seed.size()));
  }
  std::string public_key_hex() const {
    std::array<unsigned char, 32> pub{};
    std::size_t size = pub.size();
    EXPECT_EQ(EVP_PKEY_get_raw_public_key(key_.get(), pub.data(), &size), 1);
    return hex(pub.data(), size);
  }
  std::string sign_hex(std::string_view message) const {
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    std::array<unsigned char, 64> sig{};
    std::size_t size = sig.size();
    EXPECT_EQ(EVP_DigestSignInit(ctx.get(), nullptr, nullptr, nullptr, key_.get()), 1);
    EXPECT_EQ(EVP_DigestSign(ctx.get(), sig.data(), &size, reinterpret_cast<const unsigned char*>(message.data()),
                             message.size()), 1);
    return hex(sig.data(), size);
  }

 private:
  static std::string hex(const unsigned char* data, std::size_t size) {
    std::string out;
    ev::append_hex(data, size, out);
    return out;
  }
  std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key_{nullptr, EVP_PKEY_free};
};

ev::Receipt receipt() {
  ev::Receipt r;
  r.schema = "er/0.2";
  r.claim = {"1500000", "usd", ev::ClaimKind::Stated, "doc-1"};
  r.evidence.push_back({{"https://example.com/a.htm", std::string(64, 'c'), std::nullopt, "sec"},
                        {"us-gaap:Revenues", "c-1", "usd", ev::ByteRange{120, 245}},
                        {std::string(ev::kEngine)}});
  r.receipt_id = ev::receipt_id_for(r.claim, r.evidence, r.derivation);
  return r;
}

std::string body_of(const ev::Receipt& r) { return ev::canonical_body(r.claim, r.evidence, r.derivation); }

constexpr std::string_view kBad = "signature invalid over canonical body";

std::string outcome(const ev::Receipt& r) {
  const std::optional<ev::Check> check = ev::attestation_check(r);
  if (!check) return "absent";
  EXPECT_EQ(check->name, ev::CheckName::Attestation);
  return check->pass ? "pass" : check->detail.value_or("<failed without detail>");
}

}  // namespace

// Every vector of the committed file (RFC 8032, Wycheproof, ed25519-speccheck
// and crafted cases, each with its source) must reach its recorded verdict.
TEST(Ed25519, EveryVectorReachesItsVerdict) {
  std::ifstream in(std::string(QUORREL_SOURCE_DIR) + "/evidence/tests/data/ed25519_vectors.json", std::ios::binary);
  const auto vectors = read_vectors(std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()));
  ASSERT_TRUE(vectors) << "malformed vector file";
  ASSERT_EQ(vectors->size(), 186u);
  std::size_t valid = 0;
  for (const Vector& v : *vectors) {
    const auto msg = ev::hex_decode(v.msg);
    ASSERT_TRUE(msg) << v.source;
    const std::string message(msg->begin(), msg->end());
    EXPECT_EQ(ev::attestation_signature_valid("ed25519", v.public_key, v.sig, message), *v.valid)
        << v.source << ": " << v.note;
    // Upper-case hex reaches the same verdict.
    EXPECT_EQ(ev::attestation_signature_valid("ed25519", upper(v.public_key), upper(v.sig), message), *v.valid);
    valid += *v.valid ? 1 : 0;
  }
  // Both verdicts are represented, so a verifier that always agrees one way fails.
  EXPECT_GT(valid, 0u);
  EXPECT_LT(valid, vectors->size());
}

TEST(Ed25519, HexDecodingAndSizes) {
  using Bytes = std::vector<std::uint8_t>;
  EXPECT_EQ(ev::hex_decode("00ff7A"), (Bytes{0x00, 0xff, 0x7a}));
  EXPECT_EQ(ev::hex_decode(""), Bytes{});
  for (const std::string_view bad : std::initializer_list<std::string_view>{"abc", "0g", "G0", "0x12", " 1", "+1", "\xef\xbc\x91\xef\xbc\x92", "@0", "`0",
                                     "/0", ":0", std::string_view("0\0", 2)}) {
    EXPECT_EQ(ev::hex_decode(bad), std::nullopt) << bad;
  }
  const Bytes key(32, 1), sig(64, 2);
  EXPECT_FALSE(ev::ed25519_verify(std::span(key).first(31), sig, "m"));
  EXPECT_FALSE(ev::ed25519_verify(key, std::span(sig).first(63), "m"));
  EXPECT_FALSE(ev::ed25519_verify({}, {}, ""));
}

TEST(AttestationCheck, SignatureOverTheCanonicalBodyOnly) {
  const Signer signer(7);
  ev::Receipt r = receipt();
  EXPECT_EQ(outcome(r), "absent");
  r.attestation = ev::Attestation{"ed25519", upper(signer.public_key_hex()), signer.sign_hex(body_of(r))};
  EXPECT_EQ(outcome(r), "pass");
  // Schema and id are not signed; every member of the body is.
  ev::Receipt other = r;
  other.schema = "er/9";
  other.receipt_id = "er_not-an-id";
  EXPECT_EQ(outcome(other), "pass");
  for (auto change : std::vector<void (*)(ev::Receipt&)>{
           [](ev::Receipt& x) { x.claim.value = "1500001"; },
           [](ev::Receipt& x) { x.evidence.front().locator.byte_range = ev::ByteRange{120, 246}; },
           [](ev::Receipt& x) { x.evidence.front().source_artifact.retrieved_at = "2025-01-01"; },
           [](ev::Receipt& x) { x.derivation = ev::Derivation{{ev::OperationKind::Ratio, 2}, {}}; },
       }) {
    ev::Receipt changed = r;
    change(changed);
    EXPECT_EQ(outcome(changed), kBad);
  }
  // The message is the body itself, nothing derived from it or around it.
  const std::string body = body_of(r);
  for (const std::string& message : {r.receipt_id, ev::sha256_hex(body), body + "\n", body.substr(1)}) {
    r.attestation->sig = signer.sign_hex(message);
    EXPECT_EQ(outcome(r), kBad) << message;
  }
}

TEST(AttestationCheck, EveryCauseHasTheSameDetail) {
  const Signer signer(5), other(6);
  ev::Receipt r = receipt();
  const ev::Attestation good{"ed25519", signer.public_key_hex(), signer.sign_hex(body_of(r))};
  std::string flipped = good.sig;
  flipped[10] = flipped[10] == '0' ? '1' : '0';
  std::string big_s = good.sig;
  big_s.replace(64, 64, std::string(64, 'f'));  // S at or above the group order
  const ev::Attestation bad[] = {
      {"Ed25519", good.public_key, good.sig}, {"ed25519 ", good.public_key, good.sig}, {"", good.public_key, good.sig},
      {"ed25519", good.public_key + "00", good.sig}, {"ed25519", good.public_key.substr(2), good.sig},
      {"ed25519", good.public_key + "0", good.sig}, {"ed25519", std::string(64, 'g'), good.sig},
      {"ed25519", other.public_key_hex(), good.sig}, {"ed25519", "", good.sig},
      {"ed25519", "ffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff", good.sig},  // y >= p
      {"ed25519", good.public_key, good.sig.substr(2)}, {"ed25519", good.public_key, good.sig + "0"},
      {"ed25519", good.public_key, std::string(128, '0')}, {"ed25519", good.public_key, flipped},
      {"ed25519", good.public_key, big_s}, {"ed25519", good.public_key, other.sign_hex(body_of(r))},
  };
  for (const ev::Attestation& a : bad) {
    r.attestation = a;
    EXPECT_EQ(outcome(r), kBad) << a.alg << " " << a.public_key << " " << a.sig;
  }
  r.attestation = good;
  EXPECT_EQ(outcome(r), "pass");
}
