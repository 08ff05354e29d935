#include "quorrel/evidence/ed25519.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

using quorrel::evidence::attestation_signature_valid;
using quorrel::evidence::ed25519_verify;
using quorrel::evidence::hex_decode;

namespace {

using Bytes = std::vector<std::uint8_t>;

// A message signed with the secret key of the first published RFC 8032 test
// (9d61b19d...7f60), whose public key is kKey.
constexpr std::string_view kMessage =
    R"({"claim":{"value":"1250000","unit_ref":"USD"},"evidence":{"sha256":"e3b0"}})";
constexpr std::string_view kKey = "d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a";
constexpr std::string_view kSig =
    "0f8d6eeb3a50182e45f9000ca34c9a66b5a041ae4c2a1da8acd4a26bfec164bb"
    "70ec7a90fc12fa27aa632603cb2ca29b6c6bc7b11cb2c2d82769e7e4d7452f03";

std::string upper(std::string_view s) {
  std::string out(s);
  for (char& c : out) {
    if (c >= 'a' && c <= 'f') c = static_cast<char>(c - 'a' + 'A');
  }
  return out;
}

// One entry of the vector file: a flat array of objects whose members are
// strings (without escapes) or booleans. The reader accepts nothing else.
struct Vector {
  std::string public_key, sig, msg, source, note;
  std::optional<bool> valid;
};

class VectorReader {
 public:
  explicit VectorReader(std::string_view text) : s_(text) {}

  std::optional<std::vector<Vector>> read() {
    std::vector<Vector> out;
    if (!eat('[')) return std::nullopt;
    if (!eat(']')) {
      do {
        Vector v;
        if (!object(v)) return std::nullopt;
        out.push_back(std::move(v));
      } while (eat(','));
      if (!eat(']')) return std::nullopt;
    }
    skip_ws();
    if (i_ != s_.size()) return std::nullopt;
    return out;
  }

 private:
  bool object(Vector& v) {
    if (!eat('{')) return false;
    unsigned seen = 0;  // one bit per member, so a repeated or missing one is caught
    do {
      std::string key;
      if (!string(key) || !eat(':')) return false;
      if (key == "valid") {
        if ((seen & 1u) != 0 || !boolean(v.valid)) return false;
        seen |= 1u;
        continue;
      }
      std::string* const fields[] = {&v.public_key, &v.sig, &v.msg, &v.source, &v.note};
      constexpr std::string_view names[] = {"public_key", "sig", "msg", "source", "note"};
      std::size_t k = 0;
      while (k < 5 && names[k] != key) ++k;
      if (k == 5 || (seen & (2u << k)) != 0 || !string(*fields[k])) return false;
      seen |= 2u << k;
    } while (eat(','));
    return eat('}') && seen == 0x3fu;
  }

  bool string(std::string& out) {
    if (!eat('"')) return false;
    const std::size_t end = s_.find('"', i_);
    if (end == std::string_view::npos) return false;
    for (std::size_t k = i_; k < end; ++k) {
      const auto c = static_cast<unsigned char>(s_[k]);
      if (c == '\\' || c < 0x20) return false;
    }
    out.assign(s_.substr(i_, end - i_));
    i_ = end + 1;
    return true;
  }

  bool boolean(std::optional<bool>& out) {
    skip_ws();
    for (const bool b : {true, false}) {
      const std::string_view word = b ? "true" : "false";
      if (s_.substr(i_, word.size()) == word) {
        i_ += word.size();
        out = b;
        return true;
      }
    }
    return false;
  }

  void skip_ws() {
    while (i_ < s_.size() && (s_[i_] == ' ' || s_[i_] == '\n' || s_[i_] == '\t' || s_[i_] == '\r')) ++i_;
  }

  bool eat(char c) {
    skip_ws();
    if (i_ < s_.size() && s_[i_] == c) {
      ++i_;
      return true;
    }
    return false;
  }

  std::string_view s_;
  std::size_t i_ = 0;
};

std::optional<std::string> read_file(const std::string& path) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return std::nullopt;
  std::string out;
  char buf[65536];
  std::size_t n = 0;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
  std::fclose(f);
  return out;
}

}  // namespace

TEST(HexDecode, AcceptsBothCasesHighNibbleFirst) {
  EXPECT_EQ(hex_decode("00ff7a"), (Bytes{0x00, 0xff, 0x7a}));
  EXPECT_EQ(hex_decode("00FF7A"), (Bytes{0x00, 0xff, 0x7a}));
  EXPECT_EQ(hex_decode("aBcD"), (Bytes{0xab, 0xcd}));
  EXPECT_EQ(hex_decode("0123456789"), (Bytes{0x01, 0x23, 0x45, 0x67, 0x89}));
  EXPECT_EQ(hex_decode(""), Bytes{});
}

TEST(HexDecode, RejectsOddLengthAndForeignCharacters) {
  EXPECT_EQ(hex_decode("abc"), std::nullopt);
  EXPECT_EQ(hex_decode("a"), std::nullopt);
  // Neighbours of the accepted ranges, a full-width digit pair and a NUL byte.
  const std::string_view bads[] = {"0g", "g0", "0x12", " 1", "1 ", "+1", "\xef\xbc\x91\xef\xbc\x92",
                                   std::string_view("0\0", 2), "@0", "`0", "/0", ":0", "G0"};
  for (const std::string_view bad : bads) {
    EXPECT_EQ(hex_decode(bad), std::nullopt) << bad;
  }
}

TEST(Ed25519Verify, WrongSizesAreInvalidWithoutCallingIntoTheLibrary) {
  const Bytes key = *hex_decode(kKey);
  const Bytes sig = *hex_decode(kSig);
  ASSERT_TRUE(ed25519_verify(key, sig, kMessage));
  EXPECT_FALSE(ed25519_verify(std::span(key).first(31), sig, kMessage));
  EXPECT_FALSE(ed25519_verify(key, std::span(sig).first(63), kMessage));
  Bytes longer = sig;
  longer.push_back(0);
  EXPECT_FALSE(ed25519_verify(key, longer, kMessage));
  EXPECT_FALSE(ed25519_verify({}, {}, ""));
}

TEST(Ed25519Verify, UnusableKeysAreRejectedNotThrown) {
  const Bytes sig = *hex_decode(kSig);
  // y = 2 is not on the curve; all-ones has y >= p; 0x00..0x80 is x = 0 with the sign bit.
  for (const char* key : {"0200000000000000000000000000000000000000000000000000000000000000",
                          "ffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff",
                          "0000000000000000000000000000000000000000000000000000000000000080"}) {
    EXPECT_FALSE(ed25519_verify(*hex_decode(key), sig, kMessage)) << key;
  }
}

TEST(AttestationSignatureValid, AcceptsOnlyTheExactAlgorithmAndSizes) {
  EXPECT_TRUE(attestation_signature_valid("ed25519", kKey, kSig, kMessage));
  for (const std::string_view alg : {"Ed25519", "ED25519", "ed25519 ", "", "ed448"}) {
    EXPECT_FALSE(attestation_signature_valid(alg, kKey, kSig, kMessage)) << alg;
  }
  const std::string key66 = std::string(kKey) + "00";
  const std::string sig126(kSig.substr(0, 126));
  const std::string sig130 = std::string(kSig) + "00";
  EXPECT_FALSE(attestation_signature_valid("ed25519", key66, kSig, kMessage));
  EXPECT_FALSE(attestation_signature_valid("ed25519", kKey.substr(0, 62), kSig, kMessage));
  EXPECT_FALSE(attestation_signature_valid("ed25519", kKey, sig126, kMessage));
  EXPECT_FALSE(attestation_signature_valid("ed25519", kKey, sig130, kMessage));
  EXPECT_FALSE(attestation_signature_valid("ed25519", kKey.substr(0, 63), kSig, kMessage));
  EXPECT_FALSE(attestation_signature_valid("ed25519", "", "", kMessage));
  std::string bad_digit(kKey);
  bad_digit[10] = 'g';
  EXPECT_FALSE(attestation_signature_valid("ed25519", bad_digit, kSig, kMessage));
}

TEST(AttestationSignatureValid, UpperCaseHexVerifiesLikeLowerCase) {
  EXPECT_TRUE(attestation_signature_valid("ed25519", upper(kKey), upper(kSig), kMessage));
  EXPECT_TRUE(attestation_signature_valid("ed25519", upper(kKey), kSig, kMessage));
}

TEST(AttestationSignatureValid, AnyChangedMessageByteOrSignatureBitFails) {
  for (std::size_t i = 0; i < kMessage.size(); ++i) {
    std::string msg(kMessage);
    msg[i] = static_cast<char>(msg[i] ^ 0x01);
    EXPECT_FALSE(attestation_signature_valid("ed25519", kKey, kSig, msg)) << i;
  }
  EXPECT_FALSE(attestation_signature_valid("ed25519", kKey, kSig, kMessage.substr(1)));
  EXPECT_FALSE(attestation_signature_valid("ed25519", kKey, kSig, std::string(kMessage) + " "));
  std::string sig(kSig);
  sig[0] = '1';  // R changes
  EXPECT_FALSE(attestation_signature_valid("ed25519", kKey, sig, kMessage));
  sig = kSig;
  sig[127] = '2';  // S changes
  EXPECT_FALSE(attestation_signature_valid("ed25519", kKey, sig, kMessage));
}

// Every vector of the committed file (RFC 8032, Wycheproof, ed25519-speccheck
// and crafted cases, each with its source) must reach its recorded verdict.
TEST(Ed25519Vectors, EveryVectorReachesItsVerdict) {
  const std::string path = std::string(QUORREL_SOURCE_DIR) + "/evidence/tests/data/ed25519_vectors.json";
  const auto text = read_file(path);
  ASSERT_TRUE(text) << "cannot read " << path;
  const auto vectors = VectorReader(*text).read();
  ASSERT_TRUE(vectors) << "malformed vector file " << path;
  ASSERT_EQ(vectors->size(), 186u);
  std::size_t valid = 0;
  for (const Vector& v : *vectors) {
    const auto msg = hex_decode(v.msg);
    ASSERT_TRUE(msg) << v.source;
    const std::string message(msg->begin(), msg->end());
    const bool got = attestation_signature_valid("ed25519", v.public_key, v.sig, message);
    EXPECT_EQ(got, *v.valid) << v.source << ": " << v.note;
    valid += *v.valid ? 1 : 0;
  }
  // Both verdicts are represented, so a verifier that always agrees one way fails.
  EXPECT_GT(valid, 0u);
  EXPECT_LT(valid, vectors->size());
}
