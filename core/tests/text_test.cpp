// White space, UTF-8 validation, accepted accuracy attributes and qualified
// names. Every error message is pinned in parser_test.

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "quorrel/core/attributes.hpp"
#include "quorrel/core/text.hpp"
#include "quorrel/core/types.hpp"
#include "quorrel/core/utf8.hpp"

using namespace quorrel::core;

// UTF-8 bytes of a code point (no surrogates).
static std::string encode_utf8(char32_t c) {
  if (c < 0x80) return std::string(1, static_cast<char>(c));
  const int tail = c < 0x800 ? 1 : c < 0x10000 ? 2 : 3;
  std::string out(1, static_cast<char>(((0xFF00 >> (tail + 1)) & 0xFF) | (c >> (6 * tail))));
  for (int k = tail - 1; k >= 0; --k) out += static_cast<char>(0x80 | ((c >> (6 * k)) & 0x3F));
  return out;
}

TEST(TrimUnicodeWhiteSpace, EveryCharacterAtEitherEndBesideMultiByteText) {
  // Every character, one byte or several, twice at the start and once at the
  // end of a text whose own ends are multi-byte characters: it goes exactly
  // when it is white space, and the text inside is never cut.
  const std::string inner = "\xC3\xA9 x \xF0\x9F\x98\x80";  // U+00E9 ... U+1F600
  int white = 0;
  for (char32_t c = 0; c <= 0x10FFFF; ++c) {
    if (c >= 0xD800 && c <= 0xDFFF) continue;
    const std::string e = encode_utf8(c);
    const std::string text = e + e + inner + e;
    const std::string_view trimmed = trim_unicode_white_space(text);
    if (is_unicode_white_space(c)) {
      ++white;
      ASSERT_EQ(trimmed, inner) << std::hex << static_cast<std::uint32_t>(c);
      ASSERT_TRUE(is_blank(e + e)) << std::hex << static_cast<std::uint32_t>(c);
    } else {
      ASSERT_EQ(trimmed, text) << std::hex << static_cast<std::uint32_t>(c);
    }
  }
  EXPECT_EQ(white, 25);
  EXPECT_FALSE(is_blank("\xEF\xBB\xBF"));  // a byte-order mark is not white space
  // A byte that starts or continues no character where it stands stays, at
  // either end, even when the bytes beside it would decode as white space.
  for (int b = 0x80; b <= 0xFF; ++b) {
    const std::string stray(1, static_cast<char>(b));
    EXPECT_EQ(trim_unicode_white_space(" " + stray + "a" + stray + "\t"), stray + "a" + stray) << b;
  }
  EXPECT_EQ(trim_unicode_white_space("\x80\xE3\x80\x80"), "\x80");      // U+3000 after a stray byte
  EXPECT_EQ(trim_unicode_white_space("\xE3\x80\x80\x80"), "\x80");      // a continuation past U+3000
  EXPECT_EQ(trim_unicode_white_space("\xE3\x80"), "\xE3\x80");          // U+3000 cut short
  EXPECT_EQ(trim_unicode_white_space("\xE2\x80\xA8\xE2\x80\xA9"), "");  // U+2028, U+2029 alone
  EXPECT_EQ(trim_unicode_white_space(""), "");
}

TEST(ValidateUtf8, FirstInvalidSequenceAndItsLength) {
  EXPECT_FALSE(validate_utf8("plain ascii that is longer than sixteen bytes, twice over"));
  EXPECT_FALSE(validate_utf8("\xC2\xA0\xE2\x82\xAC\xF0\x9F\x98\x80\xED\x9F\xBF\xEE\x80\x80\xF4\x8F\xBF\xBF"));
  struct Case {
    std::string text;
    std::size_t index;
    std::optional<std::size_t> length;
  };
  const Case cases[] = {
      {"ab\x80", 2, 1},           {"\xC0\x80", 0, 1},          {"\xE0\x80\x80", 0, 1},  // overlong
      {"\xED\xA0\x80", 0, 1},     {"\xE2\x82(", 0, 2},         {"\xF4\x90\x80\x80", 0, 1},
      {"\xF0\x9F\x98(", 0, 3},    {"\xF5\x80", 0, 1},          {"0123456789abcdefgh\xFF", 18, 1},
      {"x\xE2\x82", 1, std::nullopt},  // the text ends inside a sequence
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    const auto err = validate_utf8(c.text);
    ASSERT_TRUE(err.has_value());
    EXPECT_EQ(*err, (Utf8Error{c.index, c.length}));
  }
  // Every position of texts around the widths read at once: a fault is found
  // where it is, a valid character there never is one, and a sequence cut by
  // the end of the text is incomplete.
  for (const std::size_t size : {15, 16, 17, 63, 64, 65, 127, 128, 129, 200}) {
    for (std::size_t at = 0; at < size; ++at) {
      SCOPED_TRACE(std::to_string(size) + "/" + std::to_string(at));
      std::string text(size, 'a');
      text[at] = '\xFF';
      ASSERT_EQ(validate_utf8(text), (Utf8Error{at, 1}));
      text[at] = '\x80';
      ASSERT_EQ(validate_utf8(text), (Utf8Error{at, 1}));
      text.replace(at, 1, "\xE2\x82\xAC");
      ASSERT_FALSE(validate_utf8(text));
      text.resize(at + 2);
      ASSERT_EQ(validate_utf8(text), (Utf8Error{at, std::nullopt}));
    }
  }
}

TEST(AccuracyAttributes, AcceptedValuesAndQualifiedNames) {
  EXPECT_EQ(*parse_decimals("INF"), Accuracy::infinite());
  EXPECT_EQ(*parse_decimals("-0"), Accuracy::of(0));
  EXPECT_EQ(*parse_decimals("-2147483648"), Accuracy::of(-2147483648LL));
  EXPECT_EQ(*parse_precision("+4294967295"), Accuracy::of(4294967295LL));
  EXPECT_EQ(*parse_ix_scale("-28"), -28);
  EXPECT_EQ(*parse_ix_scale("+28"), 28);
  EXPECT_EQ((QName{"a", "urn:x", "p"}).to_string(), "p:a");
  EXPECT_EQ((QName{"a", "urn:x", std::nullopt}).to_string(), "{urn:x}a");
  EXPECT_EQ((QName{"a", std::nullopt, ""}).to_string(), ":a");
}
