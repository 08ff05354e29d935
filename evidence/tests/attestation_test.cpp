#include "quorrel/evidence/attestation.hpp"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "quorrel/evidence/canonical.hpp"
#include "quorrel/evidence/crypto.hpp"

namespace ev = quorrel::evidence;

namespace {

constexpr std::string_view kBad = "signature invalid over canonical body";

struct PkeyFree {
  void operator()(EVP_PKEY* p) const noexcept { EVP_PKEY_free(p); }
};
struct MdCtxFree {
  void operator()(EVP_MD_CTX* p) const noexcept { EVP_MD_CTX_free(p); }
};

std::string hex(const unsigned char* data, std::size_t size) {
  static constexpr char digits[] = "0123456789abcdef";
  std::string out;
  for (std::size_t i = 0; i < size; ++i) {
    out.push_back(digits[data[i] >> 4]);
    out.push_back(digits[data[i] & 15]);
  }
  return out;
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
    std::unique_ptr<EVP_MD_CTX, MdCtxFree> ctx(EVP_MD_CTX_new());
    EXPECT_EQ(EVP_DigestSignInit(ctx.get(), nullptr, nullptr, nullptr, key_.get()), 1);
    std::array<unsigned char, 64> sig{};
    std::size_t size = sig.size();
    EXPECT_EQ(EVP_DigestSign(ctx.get(), sig.data(), &size, reinterpret_cast<const unsigned char*>(message.data()),
                             message.size()),
              1);
    return hex(sig.data(), size);
  }

 private:
  std::unique_ptr<EVP_PKEY, PkeyFree> key_;
};

std::string body_of(const ev::Receipt& r) {
  auto body = ev::canonical_body(r.claim, r.evidence, r.derivation);
  EXPECT_TRUE(body.has_value());
  return body.value_or("");
}

ev::Receipt receipt() {
  ev::Receipt r;
  r.schema = "er/0.2";
  r.claim = {"1500000", "usd", ev::ClaimKind::Stated, "doc-1"};
  r.evidence.push_back({{"https://example.com/a.htm", std::string(64, 'c'), std::nullopt, "sec"},
                        {"us-gaap:Revenues", "c-1", "usd", ev::ByteRange{120, 245}},
                        {std::string(ev::kEngine)}});
  r.receipt_id = ev::receipt_id_for(r.claim, r.evidence, r.derivation).value();
  return r;
}

ev::Receipt signed_receipt(const Signer& signer, ev::Receipt r = receipt()) {
  r.attestation = ev::Attestation{"ed25519", signer.public_key_hex(), signer.sign_hex(body_of(r))};
  return r;
}

std::string outcome(const ev::Receipt& r) {
  const std::optional<ev::Check> check = ev::attestation_check(r);
  if (!check) return "absent";
  EXPECT_EQ(check->name, ev::CheckName::Attestation);
  // The overload that takes the caller's body agrees.
  EXPECT_EQ(ev::attestation_check(r, body_of(r)), check);
  return check->pass ? "pass" : check->detail.value_or("<failed without detail>");
}

std::string upper(std::string s) {
  for (char& c : s) {
    if (c >= 'a' && c <= 'f') c = static_cast<char>(c - 'a' + 'A');
  }
  return s;
}

}  // namespace

TEST(AttestationCheck, AbsentWithoutAnAttestation) {
  EXPECT_EQ(outcome(receipt()), "absent");
}

TEST(AttestationCheck, SignatureOverTheCanonicalBodyPassesInAnyHexCase) {
  const Signer signer(7);
  ev::Receipt r = signed_receipt(signer);
  EXPECT_EQ(outcome(r), "pass");
  r.attestation->public_key = upper(r.attestation->public_key);
  r.attestation->sig = upper(r.attestation->sig);
  EXPECT_EQ(outcome(r), "pass");
  // Mixed case, digit by digit.
  for (std::size_t i = 0; i < r.attestation->sig.size(); i += 2) {
    r.attestation->sig[i] = static_cast<char>(std::tolower(static_cast<unsigned char>(r.attestation->sig[i])));
  }
  EXPECT_EQ(outcome(r), "pass");
}

TEST(AttestationCheck, TheMessageIsTheBodyItself) {
  const Signer signer(9);
  ev::Receipt r = receipt();
  const std::string body = body_of(r);
  for (const std::string& message :
       {r.receipt_id, ev::sha256_hex(body), body + "\n", std::string(" ") + body, body.substr(0, body.size() - 1)}) {
    r.attestation = ev::Attestation{"ed25519", signer.public_key_hex(), signer.sign_hex(message)};
    EXPECT_EQ(outcome(r), kBad) << message;
  }
}

TEST(AttestationCheck, OnlyTheBodyIsSigned) {
  const Signer signer(3);
  const ev::Receipt r = signed_receipt(signer);
  ev::Receipt other = r;
  other.schema = "er/9";
  other.receipt_id = "er_not-an-id";
  EXPECT_EQ(outcome(other), "pass");

  ev::Receipt value = r;
  value.claim.value = "1500001";
  EXPECT_EQ(outcome(value), kBad);
  ev::Receipt range = r;
  range.evidence.front().locator.byte_range = ev::ByteRange{120, 246};
  EXPECT_EQ(outcome(range), kBad);
  ev::Receipt extra = r;
  extra.evidence.front().source_artifact.retrieved_at = "2025-01-01";
  EXPECT_EQ(outcome(extra), kBad);

  // A derivation is part of what is signed.
  ev::Receipt d;
  d.schema = "er/0.2";
  d.claim = {"0.25", std::nullopt, ev::ClaimKind::Derived, "doc"};
  d.derivation = ev::Derivation{{ev::OperationKind::Ratio, 2}, {{"er_a", "1", "n"}, {"er_b", "4", "d"}}};
  d = signed_receipt(signer, d);
  EXPECT_EQ(outcome(d), "pass");
  d.derivation->operation.round_dp = 3;
  EXPECT_EQ(outcome(d), kBad);
  d.derivation->operation.round_dp = 2;
  d.derivation->inputs[1].role = "D";
  EXPECT_EQ(outcome(d), kBad);
}

TEST(AttestationCheck, EveryCauseHasTheSameDetail) {
  const Signer signer(5);
  const ev::Receipt r = signed_receipt(signer);
  const ev::Attestation good = *r.attestation;
  const Signer other(6);
  auto with = [&r](ev::Attestation a) {
    ev::Receipt copy = r;
    copy.attestation = std::move(a);
    return outcome(copy);
  };
  for (std::string alg : {"Ed25519", "ED25519", "ed25519 ", "eddsa", ""}) {
    EXPECT_EQ(with({alg, good.public_key, good.sig}), kBad) << alg;
  }
  for (std::string key : {good.public_key + "00", good.public_key.substr(2), good.public_key + "0",
                          std::string(64, 'g'), "0x" + good.public_key.substr(2), std::string(),
                          other.public_key_hex()}) {
    EXPECT_EQ(with({"ed25519", key, good.sig}), kBad) << key;
  }
  std::string flipped = good.sig;
  flipped[10] = flipped[10] == '0' ? '1' : '0';
  for (std::string sig : {good.sig.substr(2), good.sig + "00", good.sig + "0", std::string(128, 'z'),
                          std::string(128, '0'), flipped, other.sign_hex(body_of(r))}) {
    EXPECT_EQ(with({"ed25519", good.public_key, sig}), kBad) << sig;
  }
  // S at or above the group order is refused even though the rest is intact.
  std::string big_s = good.sig;
  big_s.replace(64, 64, std::string(64, 'f'));
  EXPECT_EQ(with({"ed25519", good.public_key, big_s}), kBad);
}
