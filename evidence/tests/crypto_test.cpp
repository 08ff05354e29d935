// SHA-256 against OpenSSL, alone and in batches; hexadecimal both ways; Ed25519
// against the committed vector file; the attestation check.

#include "quorrel/evidence/crypto.hpp"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <array>
#include <cstdio>
#include <fstream>
#include <initializer_list>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "quorrel/evidence/attestation.hpp"
#include "quorrel/evidence/ed25519.hpp"
#include "support.hpp"

namespace ev = quorrel::evidence;
using namespace quorrel::evidence::test;

namespace {

std::string hex(std::span<const unsigned char> bytes) {
  std::string out;
  ev::append_hex(bytes.data(), bytes.size(), out);
  return out;
}

std::string reference_hex(std::string_view bytes) {
  ev::Digest out{};
  EXPECT_EQ(EVP_Digest(bytes.data(), bytes.size(), out.data(), nullptr, EVP_sha256(), nullptr), 1);
  return hex(out);
}

// One member per line ("key": "text" or "key": true), each object starting with its public key.
std::vector<std::map<std::string, std::string>> read_vectors() {
  std::ifstream in(std::string(QUORREL_SOURCE_DIR) + "/evidence/tests/data/ed25519_vectors.json");
  std::vector<std::map<std::string, std::string>> out;
  for (std::string line; std::getline(in, line);) {
    const std::size_t open = line.find('"'), colon = line.find("\": ");
    if (colon == std::string::npos) continue;
    std::string value = line.substr(colon + 3);
    if (value.ends_with(',')) value.pop_back();
    if (value.starts_with('"') && value.size() >= 2) value = value.substr(1, value.size() - 2);
    const std::string key = line.substr(open + 1, colon - open - 1);
    if (key == "public_key") out.emplace_back();
    if (!out.empty()) out.back()[key] = value;
  }
  return out;
}

// An Ed25519 signer built from a fixed seed.
struct Signer {
  explicit Signer(unsigned char fill) {
    std::array<unsigned char, 32> seed{};
    seed.fill(fill);
    key.reset(EVP_PKEY_new_raw_private_key(EVP_PKEY_ED25519, nullptr, seed.data(), seed.size()));
  }
  std::string public_key_hex() const {
    std::array<unsigned char, 32> pub{};
    std::size_t size = pub.size();
    EXPECT_EQ(EVP_PKEY_get_raw_public_key(key.get(), pub.data(), &size), 1);
    return hex(pub);
  }
  std::string sign_hex(std::string_view message) const {
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    std::array<unsigned char, 64> sig{};
    std::size_t size = sig.size();
    EXPECT_EQ(EVP_DigestSignInit(ctx.get(), nullptr, nullptr, nullptr, key.get()), 1);
    EXPECT_EQ(EVP_DigestSign(ctx.get(), sig.data(), &size, reinterpret_cast<const unsigned char*>(message.data()),
                             message.size()), 1);
    return hex(sig);
  }
  std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key{nullptr, EVP_PKEY_free};
};

}  // namespace

TEST(Sha256, KnownDigestsAndEveryLengthAgainstOpenSsl) {
  ev::Sha256 sha;
  EXPECT_EQ(sha.hex(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(ev::sha256_hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  // 56 bytes: the length no longer fits in the last block, so padding takes a second.
  EXPECT_EQ(sha.hex("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
            "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
  std::string out = "er_";
  sha.append_hex("abc", out);
  EXPECT_EQ(out, "er_ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  // Bytes that differ at every offset, so a wrong place or length gives another digest.
  std::string bytes((std::size_t{3} << 20) + 1, '\0');
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 167 + (i >> 8) * 31 + 5);
  std::vector<std::size_t> sizes;
  for (std::size_t n = 0; n <= 300; ++n) sizes.push_back(n);
  for (std::size_t n : {447, 448, 511, 512, 513, 4103, 65536, (1 << 20) + 13, 3 << 20}) sizes.push_back(n);
  for (const std::size_t n : sizes) {
    for (const std::string_view m : {std::string_view(bytes).substr(0, n), std::string_view(bytes).substr(1, n)}) {
      EXPECT_EQ(hex(sha.digest(m)), reference_hex(m)) << "length " << n << " at " << (m.data() - bytes.data());
    }
  }
  // In parts: a part that fills the held bytes to a block, whole blocks where they lie, a rest held over.
  for (const std::size_t part : {1, 7, 63, 64, 65, 200, 4096}) {
    const std::string_view m = std::string_view(bytes).substr(3, 70001);
    sha.start();
    for (std::size_t at = 0; at < m.size(); at += part) sha.update(m.substr(at, part));
    EXPECT_EQ(hex(sha.finish()), reference_hex(m)) << "parts of " << part;
  }
  // A batch hashes in pairs: each length meets shorter and longer partners, and an odd batch leaves one alone.
  for (const std::size_t shift : {0, 1}) {
    std::vector<std::string_view> batch;
    for (std::size_t i = shift; i < sizes.size(); ++i) {
      const std::size_t n = i % 2 == 0 ? sizes[i / 2] : sizes[sizes.size() - 1 - i / 2];
      batch.push_back(std::string_view(bytes).substr(i % 7, n));
    }
    std::vector<ev::Digest> digests(batch.size());
    sha.digest_batch(batch, digests.data());
    for (std::size_t i = 0; i < batch.size(); ++i) EXPECT_EQ(hex(digests[i]), reference_hex(batch[i])) << shift << " " << i;
  }
}

TEST(Hex, EveryByteValueBothWays) {
  // Every byte value after existing text, in runs around the 16-byte blocks, against printf.
  std::vector<std::uint8_t> bytes(256 + 40);
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(i * 7 + 3);
  for (std::size_t size : {0, 15, 17, 32, 64, 296}) {
    std::string expected = "x:", out = "x:";
    char pair[3];
    for (std::size_t i = 0; i < size; ++i) expected.append(pair, std::snprintf(pair, sizeof pair, "%02x", bytes[i]));
    ev::append_hex(bytes.data(), size, out);
    EXPECT_EQ(out, expected) << size;
  }
  using Bytes = std::vector<std::uint8_t>;
  EXPECT_EQ(ev::hex_decode("00ff7A"), (Bytes{0x00, 0xff, 0x7a}));
  EXPECT_EQ(ev::hex_decode(""), Bytes{});
  for (const std::string_view bad : std::initializer_list<std::string_view>{
           "abc", "0g", "G0", "0x12", " 1", "+1", "\xef\xbc\x91\xef\xbc\x92", "@0", "`0", "/0", ":0", {"0\0", 2}}) {
    EXPECT_EQ(ev::hex_decode(bad), std::nullopt) << bad;
  }
}

// Every vector of the committed file (RFC 8032, Wycheproof, ed25519-speccheck, crafted) reaches its verdict.
TEST(Ed25519, EveryVectorReachesItsVerdict) {
  const auto vectors = read_vectors();
  ASSERT_EQ(vectors.size(), 186u);
  std::size_t valid = 0;
  for (const auto& v : vectors) {
    ASSERT_EQ(v.size(), 6u) << v.begin()->second;
    const auto msg = ev::hex_decode(v.at("msg"));
    ASSERT_TRUE(msg) << v.at("source");
    const std::string message(msg->begin(), msg->end());
    const bool verdict = v.at("valid") == "true";
    EXPECT_EQ(ev::attestation_signature_valid("ed25519", v.at("public_key"), v.at("sig"), message), verdict)
        << v.at("source") << ": " << v.at("note");
    EXPECT_EQ(ev::attestation_signature_valid("ed25519", upper(v.at("public_key")), upper(v.at("sig")), message), verdict);  // any case
    valid += verdict ? 1 : 0;
  }
  // Both verdicts are represented, so a verifier that always agrees one way fails.
  EXPECT_GT(valid, 0u);
  EXPECT_LT(valid, vectors.size());
  const std::vector<std::uint8_t> key(32, 1), sig(64, 2);
  EXPECT_FALSE(ev::ed25519_verify(std::span(key).first(31), sig, "m"));
  EXPECT_FALSE(ev::ed25519_verify(key, std::span(sig).first(63), "m"));
  EXPECT_FALSE(ev::ed25519_verify({}, {}, ""));
}

// That the signed message is exactly the canonical body is the module tests', signing
// with a signer of their own; here, every cause of a bad signature.
TEST(AttestationCheck, EveryCauseHasTheSameDetail) {
  const Signer signer(5), other(6);
  ev::Receipt r = stated("1500000", "us-gaap:Revenues");
  const auto outcome = [&r] {
    const std::optional<ev::Check> check = ev::attestation_check(r);
    if (!check) return std::string("absent");
    EXPECT_EQ(check->name, ev::CheckName::Attestation);
    return check->pass ? "pass" : check->detail.value_or("<failed without detail>");
  };
  EXPECT_EQ(outcome(), "absent");
  const std::string body = ev::canonical_body(r.claim, r.evidence, r.derivation);
  const ev::Attestation good{"ed25519", signer.public_key_hex(), signer.sign_hex(body)};
  std::string flipped = good.sig, big_s = good.sig;
  flipped[10] = flipped[10] == '0' ? '1' : '0';
  big_s.replace(64, 64, std::string(64, 'f'));  // S at or above the group order
  const std::string& key = good.public_key;
  const ev::Attestation bad[] = {
      {"Ed25519", key, good.sig}, {"ed25519 ", key, good.sig}, {"", key, good.sig},
      {"ed25519", key + "00", good.sig}, {"ed25519", key.substr(2), good.sig}, {"ed25519", key + "0", good.sig},
      {"ed25519", std::string(64, 'g'), good.sig}, {"ed25519", other.public_key_hex(), good.sig}, {"ed25519", "", good.sig},
      {"ed25519", std::string(64, 'f'), good.sig},  // y >= p
      {"ed25519", key, good.sig.substr(2)}, {"ed25519", key, good.sig + "0"}, {"ed25519", key, std::string(128, '0')},
      {"ed25519", key, flipped}, {"ed25519", key, big_s}, {"ed25519", key, other.sign_hex(body)},
      {"ed25519", key, signer.sign_hex(body + "\n")}, {"ed25519", key, signer.sign_hex(r.receipt_id)},
  };
  for (const ev::Attestation& a : bad) {
    r.attestation = a;
    EXPECT_EQ(outcome(), "signature invalid over canonical body") << a.alg << " " << a.public_key << " " << a.sig;
  }
  r.attestation = ev::Attestation{"ed25519", upper(key), upper(good.sig)};
  EXPECT_EQ(outcome(), "pass");
}
