// SHA-256 against OpenSSL's own one-shot digest, one message at a time and
// in batches (where the processor has the SHA instructions, batches run the
// library's own code), and the hexadecimal spelling of digests.

#include "quorrel/evidence/crypto.hpp"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

namespace ev = quorrel::evidence;

namespace {

std::string hex(const ev::Digest& d) {
  std::string out;
  ev::append_hex(d.data(), d.size(), out);
  return out;
}

std::string reference_hex(std::string_view bytes) {
  ev::Digest out{};
  EXPECT_EQ(EVP_Digest(bytes.data(), bytes.size(), out.data(), nullptr, EVP_sha256(), nullptr), 1);
  return hex(out);
}

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

  // Bytes that differ at every offset, so that a message taken at the wrong
  // place or with the wrong length has another digest; from an odd offset
  // too, since nothing may rely on alignment.
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

  // A batch hashes its messages in pairs: each length meets partners shorter
  // and longer than itself (the order below pairs n with 301 - n and, shifted
  // by one, with others), and an odd batch leaves one alone.
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
      for (std::size_t i = 0; i < size; ++i) expected.append(pair, std::snprintf(pair, sizeof pair, "%02x", bytes[i]));
      std::string out = prefix;
      out.shrink_to_fit();
      ev::append_hex(bytes.data(), size, out);
      EXPECT_EQ(out, expected) << size;
    }
  }
}
