#include "quorrel/core/utf8.hpp"

#include <gtest/gtest.h>

#include <string>

using quorrel::core::Utf8Error;
using quorrel::core::validate_utf8;

TEST(ValidateUtf8, AcceptsWellFormedText) {
  EXPECT_FALSE(validate_utf8(""));
  EXPECT_FALSE(validate_utf8("plain ascii that is longer than sixteen bytes, twice over"));
  EXPECT_FALSE(validate_utf8("\xC2\xA0\xE2\x82\xAC\xF0\x9F\x98\x80\xEF\xBB\xBF"));
  EXPECT_FALSE(validate_utf8("\xED\x9F\xBF\xEE\x80\x80\xF4\x8F\xBF\xBF"));  // U+D7FF, U+E000, U+10FFFF
}

TEST(ValidateUtf8, InvalidSequencesCountTheBytesThatStillLookedValid) {
  struct Case {
    std::string text;
    std::size_t index;
    std::size_t length;
  };
  const Case cases[] = {
      {"ab\x80", 2, 1},                        // stray continuation byte
      {"\xC0\x80", 0, 1},                      // overlong lead byte
      {"\xC3(", 0, 1},                         // two-byte lead without continuation
      {"\xE0\x80\x80", 0, 1},                  // overlong three-byte form
      {"\xED\xA0\x80", 0, 1},                  // surrogate
      {"\xE2\x82(", 0, 2},                     // third byte missing
      {"\xF0\x8F\xBF\xBF", 0, 1},              // overlong four-byte form
      {"\xF4\x90\x80\x80", 0, 1},              // past U+10FFFF
      {"\xF0\x9F\x98(", 0, 3},                 // fourth byte missing
      {"\xF5\x80", 0, 1},                      // impossible lead byte
      {"0123456789abcdefgh\xFF", 18, 1},       // found after the ASCII fast path
      {"\xEF\xBB\xBF" "a\xFE", 4, 1},          // a byte-order mark counts like any character
  };
  for (const Case& c : cases) {
    const auto err = validate_utf8(c.text);
    ASSERT_TRUE(err.has_value()) << c.text;
    EXPECT_EQ(*err, (Utf8Error{c.index, c.length})) << c.text;
  }
}

TEST(ValidateUtf8, TextEndingInsideASequenceIsIncomplete) {
  for (const std::string text : {"x\xC3", "x\xE2\x82", "x\xF0\x9F\x98"}) {
    const auto err = validate_utf8(text);
    ASSERT_TRUE(err.has_value());
    EXPECT_EQ(*err, (Utf8Error{1, std::nullopt}));
  }
}

TEST(ValidateUtf8, DescriptionsUseTheDecoderWording) {
  EXPECT_EQ((Utf8Error{57, 2}).description(), "invalid utf-8 sequence of 2 bytes from index 57");
  EXPECT_EQ((Utf8Error{0, 1}).description(), "invalid utf-8 sequence of 1 bytes from index 0");
  EXPECT_EQ((Utf8Error{9, std::nullopt}).description(), "incomplete utf-8 byte sequence from index 9");
}
