#include "quorrel/evidence/crypto.hpp"

#include <gtest/gtest.h>

#include <string>

using quorrel::evidence::Sha256;
using quorrel::evidence::sha256_hex;

TEST(Sha256, KnownDigests) {
  EXPECT_EQ(sha256_hex(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(sha256_hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

TEST(Sha256, ReusedContextGivesIndependentDigests) {
  Sha256 sha;
  const std::string a = sha.hex("abc");
  const std::string b = sha.hex(std::string(1000000, 'a'));
  EXPECT_EQ(a, sha.hex("abc"));
  EXPECT_EQ(b, "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}
