// SHA-256 on either backend (the SHA-instruction code where the processor has
// it, OpenSSL everywhere): known digests, every short length and the padding
// boundaries against OpenSSL's own one-shot digest, and two messages at once.

#include "quorrel/evidence/crypto.hpp"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

namespace ev = quorrel::evidence;

namespace {

// OpenSSL's digest, computed without the library's Sha256.
ev::Digest reference(std::string_view bytes) {
  ev::Digest out{};
  unsigned int len = 0;
  EXPECT_EQ(EVP_Digest(bytes.data(), bytes.size(), out.data(), &len, EVP_sha256(), nullptr), 1);
  EXPECT_EQ(len, out.size());
  return out;
}

std::string hex(const ev::Digest& d) {
  std::string out;
  ev::append_hex(d.data(), d.size(), out);
  return out;
}

// Bytes that differ at every offset, so that a message taken at the wrong
// place or with the wrong length has another digest.
std::string pattern(std::size_t size) {
  std::string s(size, '\0');
  for (std::size_t i = 0; i < size; ++i) s[i] = static_cast<char>(i * 167 + (i >> 8) * 31 + 5);
  return s;
}

std::vector<ev::Sha256Backend> backends() {
  std::vector<ev::Sha256Backend> all{ev::Sha256Backend::OpenSsl};
  if (ev::sha256_instructions_available()) all.push_back(ev::Sha256Backend::ShaInstructions);
  return all;
}

const char* name(ev::Sha256Backend b) { return b == ev::Sha256Backend::OpenSsl ? "openssl" : "sha instructions"; }

// Each test runs under a backend it picks and leaves the default in place.
class Sha256Test : public ::testing::Test {
 protected:
  void TearDown() override {
    (void)ev::set_sha256_backend(ev::sha256_instructions_available() ? ev::Sha256Backend::ShaInstructions
                                                                    : ev::Sha256Backend::OpenSsl);
  }
};

TEST_F(Sha256Test, BackendChoice) {
  // The default is the SHA-instruction code wherever it can run.
  EXPECT_EQ(ev::sha256_backend(), ev::sha256_instructions_available() ? ev::Sha256Backend::ShaInstructions
                                                                       : ev::Sha256Backend::OpenSsl);
  EXPECT_TRUE(ev::set_sha256_backend(ev::Sha256Backend::OpenSsl));
  EXPECT_EQ(ev::sha256_backend(), ev::Sha256Backend::OpenSsl);
  // Where the instructions are missing, asking for them keeps OpenSSL.
  EXPECT_EQ(ev::set_sha256_backend(ev::Sha256Backend::ShaInstructions), ev::sha256_instructions_available());
  EXPECT_EQ(ev::sha256_backend(), ev::sha256_instructions_available() ? ev::Sha256Backend::ShaInstructions
                                                                       : ev::Sha256Backend::OpenSsl);
}

TEST_F(Sha256Test, KnownDigests) {
  for (const ev::Sha256Backend backend : backends()) {
    ASSERT_TRUE(ev::set_sha256_backend(backend));
    SCOPED_TRACE(name(backend));
    ev::Sha256 sha;
    EXPECT_EQ(sha.hex(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(sha.hex(std::string_view()), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(sha.hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    // 56 bytes: the length no longer fits in the last block, so padding takes a second.
    EXPECT_EQ(sha.hex("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
              "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
    EXPECT_EQ(sha.hex(std::string(1000000, 'a')), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
    EXPECT_EQ(ev::sha256_hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    std::string out = "er_";
    sha.append_hex("abc", out);
    EXPECT_EQ(out, "er_ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  }
}

TEST_F(Sha256Test, EveryShortLengthAndSomeLongOnes) {
  const std::string bytes = pattern(std::size_t{3} << 20);
  const std::string_view all(bytes);
  std::vector<std::size_t> sizes;
  for (std::size_t n = 0; n <= 320; ++n) sizes.push_back(n);
  for (std::size_t n : {447, 448, 460, 511, 512, 513, 1000, 4103, 65536, (1 << 20) + 13, 3 << 20}) sizes.push_back(n);
  for (const ev::Sha256Backend backend : backends()) {
    ASSERT_TRUE(ev::set_sha256_backend(backend));
    ev::Sha256 sha;
    for (const std::size_t n : sizes) {
      // From an odd offset too: nothing may rely on the message's alignment.
      for (const std::size_t at : {std::size_t{0}, std::size_t{1}}) {
        const std::string_view m = all.substr(at, n);
        EXPECT_EQ(hex(sha.digest(m)), hex(reference(m))) << name(backend) << " length " << n << " at " << at;
      }
    }
  }
}

TEST(Hex, EveryByteValueAtEveryLengthAfterExistingText) {
  // Every byte value, in runs of every length around the 16-byte blocks, after
  // text already in the string (short, or filling its room so that it must
  // grow), against printf's spelling.
  std::vector<std::uint8_t> bytes(256 + 40);
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(i * 7 + 3);
  for (const std::string& prefix : {std::string("x:"), std::string(100, 'p')}) {
    for (std::size_t size : {0, 1, 15, 16, 17, 31, 32, 33, 47, 48, 64, 255, 256, 296}) {
      std::string expected = prefix;
      char pair[3];
      for (std::size_t i = 0; i < size; ++i) {
        std::snprintf(pair, sizeof pair, "%02x", bytes[i]);
        expected += pair;
      }
      std::string out = prefix;
      out.shrink_to_fit();
      ev::append_hex(bytes.data(), size, out);
      EXPECT_EQ(out, expected) << size;
    }
  }
}

TEST_F(Sha256Test, TwoMessagesAtOnceOfAnyLengthsInEitherOrder) {
  const std::string bytes = pattern(8192);
  const std::string_view all(bytes);
  // Lengths around each padding boundary (55/56 bytes into a block, whole
  // blocks) and some that span many blocks, against every short length.
  const std::size_t firsts[] = {0, 1, 54, 55, 56, 57, 63, 64, 65, 119, 120, 127, 128, 191, 192, 460, 1000, 5000};
  for (const ev::Sha256Backend backend : backends()) {
    ASSERT_TRUE(ev::set_sha256_backend(backend));
    ev::Sha256 sha;
    for (const std::size_t la : firsts) {
      for (std::size_t lb = 0; lb <= 300; ++lb) {
        // Different bytes in the two messages, so that swapped results show.
        const std::string_view a = all.substr(3, la);
        const std::string_view b = all.substr(2000 + lb % 7, lb);
        ev::Digest da{}, db{};
        sha.digest_pair(a, b, da, db);
        EXPECT_EQ(hex(da), hex(reference(a))) << name(backend) << " " << la << "+" << lb;
        EXPECT_EQ(hex(db), hex(reference(b))) << name(backend) << " " << la << "+" << lb;
        sha.digest_pair(b, a, db, da);
        EXPECT_EQ(hex(da), hex(reference(a))) << name(backend) << " " << lb << "+" << la;
        EXPECT_EQ(hex(db), hex(reference(b))) << name(backend) << " " << lb << "+" << la;
      }
    }
    // The same message twice, and two empty ones.
    ev::Digest x{}, y{};
    sha.digest_pair("abc", "abc", x, y);
    EXPECT_EQ(hex(x), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(y, x);
    sha.digest_pair(std::string_view(), "", x, y);
    EXPECT_EQ(hex(x), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(y, x);
    // A pair leaves nothing behind for the next digest.
    EXPECT_EQ(hex(sha.digest("abc")), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  }
}

}  // namespace
