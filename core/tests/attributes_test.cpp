#include "quorrel/core/attributes.hpp"

#include <gtest/gtest.h>

#include <string>

using quorrel::core::Accuracy;
using quorrel::core::parse_decimals;
using quorrel::core::parse_ix_scale;
using quorrel::core::parse_precision;

TEST(ParseDecimals, AcceptsInfAndSignedThirtyTwoBitIntegers) {
  EXPECT_EQ(*parse_decimals("INF"), Accuracy::infinite());
  EXPECT_EQ(*parse_decimals("+2"), Accuracy::of(2));
  EXPECT_EQ(*parse_decimals("-0"), Accuracy::of(0));
  EXPECT_EQ(*parse_decimals("-6"), Accuracy::of(-6));
  EXPECT_EQ(*parse_decimals("007"), Accuracy::of(7));
  EXPECT_EQ(*parse_decimals("2147483647"), Accuracy::of(2147483647));
  EXPECT_EQ(*parse_decimals("-2147483648"), Accuracy::of(-2147483648LL));
}

TEST(ParseDecimals, RejectsEverythingElseWithTheText) {
  for (const std::string text : {"inf", "", "+", "-", " 2", "2 ", "2147483648", "-2147483649", "1.0", "+-1",
                                 "99999999999999999999999999"}) {
    const auto r = parse_decimals(text);
    ASSERT_FALSE(r.has_value()) << text;
    EXPECT_EQ(r.error().render(), "XML parse error at byte None: invalid decimals value: " + text);
  }
}

TEST(ParsePrecision, AcceptsInfAndUnsignedThirtyTwoBitIntegers) {
  EXPECT_EQ(*parse_precision("INF"), Accuracy::infinite());
  EXPECT_EQ(*parse_precision("4294967295"), Accuracy::of(4294967295LL));
  EXPECT_EQ(*parse_precision("+3"), Accuracy::of(3));
  EXPECT_EQ(*parse_precision("0"), Accuracy::of(0));
}

TEST(ParsePrecision, RejectsMinusSignsAndOverflow) {
  for (const std::string text : {"-1", "-0", "4294967296", "", "+", "INF ", "Inf"}) {
    const auto r = parse_precision(text);
    ASSERT_FALSE(r.has_value()) << text;
    EXPECT_EQ(r.error().render(), "XML parse error at byte None: invalid precision value: " + text);
  }
}

TEST(ParseIxScale, AcceptsSignedValuesWithinTwentyEight) {
  EXPECT_EQ(*parse_ix_scale("+6"), 6);
  EXPECT_EQ(*parse_ix_scale("-28"), -28);
  EXPECT_EQ(*parse_ix_scale("28"), 28);
  EXPECT_EQ(*parse_ix_scale("-0"), 0);
}

TEST(ParseIxScale, MessagesForBadAndOutOfRangeValues) {
  EXPECT_EQ(parse_ix_scale("29").error().render(),
            "XML parse error at byte None: scale value 29 out of supported range [-28, 28]");
  EXPECT_EQ(parse_ix_scale("+30").error().render(),
            "XML parse error at byte None: scale value 30 out of supported range [-28, 28]");
  EXPECT_EQ(parse_ix_scale("-2147483648").error().render(),
            "XML parse error at byte None: scale value -2147483648 out of supported range [-28, 28]");
  EXPECT_EQ(parse_ix_scale("3.0").error().render(), "XML parse error at byte None: invalid scale value: 3.0");
  EXPECT_EQ(parse_ix_scale("INF").error().render(), "XML parse error at byte None: invalid scale value: INF");
  EXPECT_EQ(parse_ix_scale("2147483648").error().render(),
            "XML parse error at byte None: invalid scale value: 2147483648");
  EXPECT_EQ(parse_ix_scale("").error().render(), "XML parse error at byte None: invalid scale value: ");
}
