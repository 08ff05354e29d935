#include "quorrel/core/error.hpp"
#include "quorrel/core/types.hpp"

#include <gtest/gtest.h>

using quorrel::core::QName;
using quorrel::core::XbrlError;

TEST(XbrlErrorRender, EveryVariantMessage) {
  EXPECT_EQ(XbrlError::xml_parse(std::nullopt, "unexpected closing tag xbrl").render(),
            "XML parse error at byte None: unexpected closing tag xbrl");
  EXPECT_EQ(XbrlError::xml_parse(57, "invalid UTF-8 in CDATA: x").render(),
            "XML parse error at byte Some(57): invalid UTF-8 in CDATA: x");
  EXPECT_EQ(XbrlError::missing_context("c1").render(), "missing context: c1");
  EXPECT_EQ(XbrlError::missing_unit("u1").render(), "missing unit: u1");
  EXPECT_EQ(XbrlError::invalid_decimal("   ").render(), "invalid decimal value:    ");
  EXPECT_EQ(XbrlError::unsupported_transform("ixt:x").render(), "unsupported inline transform: ixt:x");
  EXPECT_EQ(XbrlError::ixds_conflict("target", "t1").render(),
            "conflicting target 't1' across IXDS members");
  EXPECT_EQ(XbrlError::not_implemented("x").render(), "not implemented: x");
  EXPECT_EQ(XbrlError::io("No such file").render(), "I/O error: No such file");
  EXPECT_EQ(XbrlError::xml("bad").render(), "XML error: bad");
  EXPECT_EQ(XbrlError::xml_attribute("bad").render(), "XML attribute error: bad");
}

TEST(QNameRender, PrefixWinsThenClarkThenLocal) {
  EXPECT_EQ((QName{"a", "urn:x", "p"}).to_string(), "p:a");
  EXPECT_EQ((QName{"a", "urn:x", std::nullopt}).to_string(), "{urn:x}a");
  EXPECT_EQ((QName{"a", std::nullopt, std::nullopt}).to_string(), "a");
  EXPECT_EQ((QName{"a", std::nullopt, ""}).to_string(), ":a");
}
