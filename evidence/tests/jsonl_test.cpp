#include "quorrel/evidence/jsonl.hpp"

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

using quorrel::evidence::jsonl_records;

namespace {
using Lines = std::vector<std::string_view>;
}  // namespace

TEST(JsonlRecords, EmptyAndBlankTextsHaveNoRecords) {
  EXPECT_EQ(jsonl_records(""), Lines{});
  EXPECT_EQ(jsonl_records("\n"), Lines{});
  EXPECT_EQ(jsonl_records("\r\n\r\n"), Lines{});
  EXPECT_EQ(jsonl_records("\r"), Lines{});
  // Tabs, U+3000, U+0085, U+00A0, U+2028, vertical tab and form feed are all white space.
  EXPECT_EQ(jsonl_records("\t\t\n\xE3\x80\x80\n\xC2\x85\r\n \xC2\xA0\xE2\x80\xA8\x0b\x0c\n"), Lines{});
}

TEST(JsonlRecords, CrlfReadsLikeLf) {
  const Lines expected{"{\"a\":1}", "{\"b\":2}"};
  EXPECT_EQ(jsonl_records("{\"a\":1}\n{\"b\":2}\n"), expected);
  EXPECT_EQ(jsonl_records("{\"a\":1}\r\n{\"b\":2}\r\n"), expected);
  EXPECT_EQ(jsonl_records("{\"a\":1}\r\n\r\n  \n{\"b\":2}"), expected);
}

TEST(JsonlRecords, OnlyTheCarriageReturnBeforeALineFeedIsRemoved) {
  EXPECT_EQ(jsonl_records("a\rb\nc"), (Lines{"a\rb", "c"}));
  EXPECT_EQ(jsonl_records("a\r\r\nb"), (Lines{"a\r", "b"}));
  // An unterminated last line keeps its final carriage return.
  EXPECT_EQ(jsonl_records("a\nb\r"), (Lines{"a", "b\r"}));
  EXPECT_EQ(jsonl_records("\ra"), (Lines{"\ra"}));
}

TEST(JsonlRecords, LinesAreKeptUntrimmedAsViewsIntoTheText) {
  const std::string text = "  {\"a\":1} \t\n\xEF\xBB\xBF{}\nx";
  const Lines lines = jsonl_records(text);
  ASSERT_EQ(lines, (Lines{"  {\"a\":1} \t", "\xEF\xBB\xBF{}", "x"}));
  EXPECT_EQ(lines[0].data(), text.data());
  EXPECT_EQ(lines[1].data(), text.data() + 12);
  EXPECT_EQ(lines[2].data(), text.data() + text.size() - 1);
}

TEST(JsonlRecords, ByteOrderMarkAndZeroWidthSpaceAreNotBlank) {
  EXPECT_EQ(jsonl_records("\xEF\xBB\xBF\n"), (Lines{"\xEF\xBB\xBF"}));
  EXPECT_EQ(jsonl_records(" \xE2\x80\x8B "), (Lines{" \xE2\x80\x8B "}));  // U+200B
  EXPECT_EQ(jsonl_records(std::string_view("\0", 1)), (Lines{std::string_view("\0", 1)}));
}

TEST(JsonlRecords, MillionsOfLinesStayLinear) {
  std::string text;
  text.reserve(3000010);
  for (int i = 0; i < 1000000; ++i) text += " \r\n";
  text += "{}";
  EXPECT_EQ(jsonl_records(text), Lines{"{}"});

  std::string many;
  many.reserve(3000000);
  for (int i = 0; i < 1000000; ++i) many += "1\n\n";
  const Lines lines = jsonl_records(many);
  ASSERT_EQ(lines.size(), 1000000u);
  EXPECT_EQ(lines.back().data(), many.data() + many.size() - 3);
}
