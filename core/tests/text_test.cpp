#include "quorrel/core/text.hpp"

#include <gtest/gtest.h>

using quorrel::core::decode_utf8_at;
using quorrel::core::is_blank;
using quorrel::core::trim_unicode_white_space;

TEST(TrimUnicodeWhiteSpace, TrimsEveryWhiteSpaceKindAtBothEnds) {
  EXPECT_EQ(trim_unicode_white_space(" \t\r\n x y \x0b\x0c"), "x y");
  EXPECT_EQ(trim_unicode_white_space("\xC2\xA0" "12" "\xC2\xA0"), "12");          // U+00A0
  EXPECT_EQ(trim_unicode_white_space("\xE3\x80\x80" "2024" "\xE2\x80\xA9"), "2024");  // U+3000, U+2029
  EXPECT_EQ(trim_unicode_white_space("\xC2\x85" "a" "\xE1\x9A\x80"), "a");        // U+0085, U+1680
  EXPECT_EQ(trim_unicode_white_space("\xE2\x80\x8A" "a" "\xE2\x81\x9F"), "a");    // U+200A, U+205F
}

TEST(TrimUnicodeWhiteSpace, KeepsNonSpaceCharactersWhole) {
  // U+200B ZERO WIDTH SPACE is not white space; U+3001 shares a lead byte with U+3000.
  EXPECT_EQ(trim_unicode_white_space("\xE2\x80\x8B" "a"), "\xE2\x80\x8B" "a");
  EXPECT_EQ(trim_unicode_white_space("a\xE3\x80\x81"), "a\xE3\x80\x81");
  EXPECT_EQ(trim_unicode_white_space("\xE5\xB9\xB4"), "\xE5\xB9\xB4");
  // A stray byte is kept, never skipped as if it were a character.
  EXPECT_EQ(trim_unicode_white_space(" \xA0 "), "\xA0");
}

TEST(IsBlank, EmptyAndWhiteSpaceOnly) {
  EXPECT_TRUE(is_blank(""));
  EXPECT_TRUE(is_blank(" \t\xE3\x80\x80"));
  EXPECT_FALSE(is_blank("\xEF\xBB\xBF"));  // a byte-order mark is not white space
}

TEST(DecodeUtf8, RejectsMalformedSequencesByteByByte) {
  EXPECT_EQ(decode_utf8_at("\xE2\x82\xAC", 0).code_point, 0x20AC);
  EXPECT_EQ(decode_utf8_at("\xE2\x82", 0).length, 1u);          // truncated
  EXPECT_EQ(decode_utf8_at("\xC0\x80", 0).length, 1u);          // overlong
  EXPECT_EQ(decode_utf8_at("\xED\xA0\x80", 0).length, 1u);      // surrogate
  EXPECT_EQ(decode_utf8_at("\xF0\x9F\x98\x80", 0).code_point, 0x1F600);
}
