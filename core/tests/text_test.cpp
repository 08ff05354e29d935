// White space, UTF-8 validation, accuracy attributes and the rendered error messages.

#include <gtest/gtest.h>

#include <string>

#include "quorrel/core/attributes.hpp"
#include "quorrel/core/error.hpp"
#include "quorrel/core/text.hpp"
#include "quorrel/core/types.hpp"
#include "quorrel/core/utf8.hpp"

using namespace quorrel::core;

TEST(TrimUnicodeWhiteSpace, EveryWhiteSpaceKindButNoOtherCharacter) {
  EXPECT_EQ(trim_unicode_white_space(" \t\r\n x y \x0b\x0c"), "x y");
  EXPECT_EQ(trim_unicode_white_space("\xC2\xA0" "12" "\xE3\x80\x80"), "12");             // U+00A0, U+3000
  EXPECT_EQ(trim_unicode_white_space("\xC2\x85" "a" "\xE2\x80\xA9"), "a");               // U+0085, U+2029
  EXPECT_EQ(trim_unicode_white_space("\xE2\x80\x8A" "a" "\xE2\x81\x9F"), "a");           // U+200A, U+205F
  EXPECT_EQ(trim_unicode_white_space("\xE2\x80\x8B" "a\xE3\x80\x81"), "\xE2\x80\x8B" "a\xE3\x80\x81");  // U+200B, U+3001
  EXPECT_EQ(trim_unicode_white_space(" \xA0 "), "\xA0");  // a stray byte is kept, never read as a character
  EXPECT_TRUE(is_blank(" \t\xE3\x80\x80"));
  EXPECT_FALSE(is_blank("\xEF\xBB\xBF"));  // a byte-order mark is not white space
  EXPECT_EQ(decode_utf8_at("\xF0\x9F\x98\x80", 0).code_point, 0x1F600);
  EXPECT_EQ(decode_utf8_at("\xED\xA0\x80", 0).length, 1u);  // surrogate
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
  EXPECT_EQ((Utf8Error{57, 2}).description(), "invalid utf-8 sequence of 2 bytes from index 57");
  EXPECT_EQ((Utf8Error{9, std::nullopt}).description(), "incomplete utf-8 byte sequence from index 9");
}

TEST(AccuracyAttributes, AcceptedValues) {
  EXPECT_EQ(*parse_decimals("INF"), Accuracy::infinite());
  EXPECT_EQ(*parse_decimals("-0"), Accuracy::of(0));
  EXPECT_EQ(*parse_decimals("007"), Accuracy::of(7));
  EXPECT_EQ(*parse_decimals("2147483647"), Accuracy::of(2147483647));
  EXPECT_EQ(*parse_decimals("-2147483648"), Accuracy::of(-2147483648LL));
  EXPECT_EQ(*parse_precision("4294967295"), Accuracy::of(4294967295LL));
  EXPECT_EQ(*parse_precision("+3"), Accuracy::of(3));
  EXPECT_EQ(*parse_ix_scale("-28"), -28);
  EXPECT_EQ(*parse_ix_scale("+28"), 28);
}

TEST(AccuracyAttributes, RejectedValuesWithTheirMessages) {
  const std::string kPrefix = "XML parse error at byte None: ";
  for (const std::string text : {"inf", "", "+", " 2", "2147483648", "-2147483649", "1.0", "+-1"}) {
    EXPECT_EQ(parse_decimals(text).error().render(), kPrefix + "invalid decimals value: " + text);
  }
  for (const std::string text : {"-1", "-0", "4294967296", "Inf"}) {
    EXPECT_EQ(parse_precision(text).error().render(), kPrefix + "invalid precision value: " + text);
  }
  EXPECT_EQ(parse_ix_scale("29").error().render(), kPrefix + "scale value 29 out of supported range [-28, 28]");
  EXPECT_EQ(parse_ix_scale("-2147483648").error().render(),
            kPrefix + "scale value -2147483648 out of supported range [-28, 28]");
  EXPECT_EQ(parse_ix_scale("2147483648").error().render(), kPrefix + "invalid scale value: 2147483648");
  EXPECT_EQ(parse_ix_scale("3.0").error().render(), kPrefix + "invalid scale value: 3.0");
}

TEST(Rendering, ErrorMessagesAndQualifiedNames) {
  EXPECT_EQ(XbrlError::xml_parse(std::nullopt, "x").render(), "XML parse error at byte None: x");
  EXPECT_EQ(XbrlError::xml_parse(57, "x").render(), "XML parse error at byte Some(57): x");
  EXPECT_EQ(XbrlError::missing_context("c1").render(), "missing context: c1");
  EXPECT_EQ(XbrlError::missing_unit("u1").render(), "missing unit: u1");
  EXPECT_EQ(XbrlError::invalid_decimal("   ").render(), "invalid decimal value:    ");
  EXPECT_EQ(XbrlError::unsupported_transform("ixt:x").render(), "unsupported inline transform: ixt:x");
  EXPECT_EQ(XbrlError::ixds_conflict("target", "t1").render(), "conflicting target 't1' across IXDS members");
  EXPECT_EQ(XbrlError::not_implemented("x").render(), "not implemented: x");
  EXPECT_EQ(XbrlError::io("No such file").render(), "I/O error: No such file");
  EXPECT_EQ(XbrlError::xml("bad").render(), "XML error: bad");
  EXPECT_EQ(XbrlError::xml_attribute("bad").render(), "XML attribute error: bad");
  EXPECT_EQ((QName{"a", "urn:x", "p"}).to_string(), "p:a");
  EXPECT_EQ((QName{"a", "urn:x", std::nullopt}).to_string(), "{urn:x}a");
  EXPECT_EQ((QName{"a", std::nullopt, ""}).to_string(), ":a");
}
