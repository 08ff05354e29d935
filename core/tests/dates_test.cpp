#include "quorrel/core/dates.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>

using quorrel::core::to_ascii_digits;
using quorrel::core::transform_date_era_ymd_jp;
using quorrel::core::transform_date_md_cjk;
using quorrel::core::transform_date_ym_cjk;
using quorrel::core::transform_date_ymd_cjk;

namespace {
const std::optional<std::string> kNoDate;
}

TEST(ToAsciiDigits, FoldsEveryDigitForm) {
  EXPECT_EQ(to_ascii_digits(""), std::optional<std::string>(""));
  EXPECT_EQ(to_ascii_digits("0123456789"), "0123456789");
  EXPECT_EQ(to_ascii_digits("０１２３４５６７８９"), "0123456789");
  EXPECT_EQ(to_ascii_digits("〇一二三四五六七八九"), "0123456789");
  EXPECT_EQ(to_ascii_digits("零壱弐参"), "0123");
  EXPECT_EQ(to_ascii_digits("2０二"), "202");
}

TEST(ToAsciiDigits, AnyOtherCharacterFails) {
  EXPECT_EQ(to_ascii_digits("二十"), kNoDate);  // no positional numerals
  EXPECT_EQ(to_ascii_digits("百"), kNoDate);
  EXPECT_EQ(to_ascii_digits("元"), kNoDate);
  EXPECT_EQ(to_ascii_digits("1 2"), kNoDate);
  EXPECT_EQ(to_ascii_digits("-1"), kNoDate);
  EXPECT_EQ(to_ascii_digits("\xEF\xBC\x9A"), kNoDate);  // U+FF1A, just past full-width 9
  EXPECT_EQ(to_ascii_digits("/"), kNoDate);            // just before '0'
}

TEST(ToAsciiDigits, MalformedBytesFailWithoutReadingPastTheText) {
  EXPECT_EQ(to_ascii_digits("\xEF\xBC"), kNoDate);      // full-width digit cut short
  EXPECT_EQ(to_ascii_digits("1\xEF"), kNoDate);
  EXPECT_EQ(to_ascii_digits("\x91"), kNoDate);          // lone continuation byte
  EXPECT_EQ(to_ascii_digits("\xC0\xB0"), kNoDate);      // overlong '0'
  EXPECT_EQ(to_ascii_digits(std::string("1\0", 2)), kNoDate);
}

TEST(DateYmdCjk, ReadsYearMonthDay) {
  EXPECT_EQ(transform_date_ymd_cjk("2024年3月5日"), "2024-03-05");
  EXPECT_EQ(transform_date_ymd_cjk("２０２４年１２月２５日"), "2024-12-25");
  EXPECT_EQ(transform_date_ymd_cjk("二〇二四年三月五日"), "2024-03-05");
  EXPECT_EQ(transform_date_ymd_cjk("2024年13月45日"), "2024-13-45");  // no range check
  EXPECT_EQ(transform_date_ymd_cjk("24年003月5日"), "0024-003-05");   // pad never cuts
  EXPECT_EQ(transform_date_ymd_cjk("12345年1月1日"), "12345-01-01");
  EXPECT_EQ(transform_date_ymd_cjk("年月日"), "0000-00-00");
}

TEST(DateYmdCjk, TrimsTheTextAndEachPart) {
  EXPECT_EQ(transform_date_ymd_cjk("\xE3\x80\x80" "2024年3月5日"), "2024-03-05");  // U+3000
  EXPECT_EQ(transform_date_ymd_cjk(" \t2024年3月5日\n"), "2024-03-05");
  EXPECT_EQ(transform_date_ymd_cjk("2024 年\xE3\x80\x80" "3 月 5\xC2\xA0日"), "2024-03-05");
}

TEST(DateYmdCjk, ShapeFailures) {
  EXPECT_EQ(transform_date_ymd_cjk("2024年3月5日 x"), kNoDate);  // text after the final 日
  EXPECT_EQ(transform_date_ymd_cjk("2024-03-05"), kNoDate);
  EXPECT_EQ(transform_date_ymd_cjk("2024年3月"), kNoDate);   // nothing follows 月
  EXPECT_EQ(transform_date_ymd_cjk("3月2024年5日"), kNoDate);  // 月 must follow 年
  EXPECT_EQ(transform_date_ymd_cjk("2024年5日"), kNoDate);
  EXPECT_EQ(transform_date_ymd_cjk("二十年三月五日"), kNoDate);
  EXPECT_EQ(transform_date_ymd_cjk("2024年3月5日6日"), kNoDate);  // day "5日6" is not digits
  EXPECT_EQ(transform_date_ymd_cjk(""), kNoDate);
}

TEST(DateYmdCjk, FirstMonthAfterTheYear) {
  // The 月 before 年 is part of the year text (and fails it); the one after is used.
  EXPECT_EQ(transform_date_ymd_cjk("1月2年3月4日"), kNoDate);
  // The month is cut at the first 月 after 年; the second one lands in the day.
  EXPECT_EQ(transform_date_ymd_cjk("2024年3月月5日"), kNoDate);
  // The final 日 also serves when it is the only thing after 月.
  EXPECT_EQ(transform_date_ymd_cjk("2024年3月日"), "2024-03-00");
}

TEST(DateYmdCjk, MalformedBytesNeverMatchOrCrash) {
  EXPECT_EQ(transform_date_ymd_cjk("2024\xE5\xB9" "3\xE6\x9C\x88" "5\xE6\x97\xA5"), kNoDate);
  EXPECT_EQ(transform_date_ymd_cjk("2024年3月5\xE6\x97"), kNoDate);
  EXPECT_EQ(transform_date_ymd_cjk("\xE5" "2024年3月5日"), kNoDate);  // stray lead byte in year
  EXPECT_EQ(transform_date_ymd_cjk("\xE6\x97\xA5"), kNoDate);
}

TEST(DateYmCjk, ReadsYearMonth) {
  EXPECT_EQ(transform_date_ym_cjk("2024年3月"), "2024-03");
  EXPECT_EQ(transform_date_ym_cjk("24年3月"), "0024-03");
  EXPECT_EQ(transform_date_ym_cjk("令和5年3月"), kNoDate);  // era names are not digits
  EXPECT_EQ(transform_date_ym_cjk("２０２４年　１２月　"), "2024-12");
  EXPECT_EQ(transform_date_ym_cjk("2024年月"), "2024-00");
  EXPECT_EQ(transform_date_ym_cjk("2024年"), kNoDate);      // nothing follows 年
  EXPECT_EQ(transform_date_ym_cjk("2024年3月5日"), kNoDate);  // must end with 月
  EXPECT_EQ(transform_date_ym_cjk("2024 3月"), kNoDate);
  EXPECT_EQ(transform_date_ym_cjk("2024年3\xE6\x9C"), kNoDate);
}

TEST(DateMdCjk, ReadsMonthDay) {
  EXPECT_EQ(transform_date_md_cjk("12月25日"), "--12-25");
  EXPECT_EQ(transform_date_md_cjk("3月日"), "--03-00");  // empty day pads to 00
  EXPECT_EQ(transform_date_md_cjk("月1日"), "--00-01");
  EXPECT_EQ(transform_date_md_cjk(" 三月 五日 "), "--03-05");
  EXPECT_EQ(transform_date_md_cjk("12月"), kNoDate);
  EXPECT_EQ(transform_date_md_cjk("12月25日。"), kNoDate);
  EXPECT_EQ(transform_date_md_cjk("2024年12月25日"), kNoDate);  // the year lands in the month
}

TEST(DateEraJp, ReadsEveryEra) {
  EXPECT_EQ(transform_date_era_ymd_jp("令和5年3月31日"), "2023-03-31");
  EXPECT_EQ(transform_date_era_ymd_jp("平成31年4月30日"), "2019-04-30");
  EXPECT_EQ(transform_date_era_ymd_jp("昭和64年1月7日"), "1989-01-07");
  EXPECT_EQ(transform_date_era_ymd_jp("大正15年12月25日"), "1926-12-25");
  EXPECT_EQ(transform_date_era_ymd_jp("明治45年7月30日"), "1912-07-30");
}

TEST(DateEraJp, NumbersCollapseThenFill) {
  EXPECT_EQ(transform_date_era_ymd_jp("令和0005年003月0007日"), "2023-03-07");
  EXPECT_EQ(transform_date_era_ymd_jp("令和０年一月二日"), "2018-01-02");  // era year 0 is allowed
  EXPECT_EQ(transform_date_era_ymd_jp("令和5年123月45日"), "2023-123-45");
  EXPECT_EQ(transform_date_era_ymd_jp("\xE3\x80\x80令和 5 年 3 月 31 日 "), "2023-03-31");
  EXPECT_EQ(transform_date_era_ymd_jp("令和5年3月4294967295日"), "2023-03-4294967295");
}

TEST(DateEraJp, Failures) {
  EXPECT_EQ(transform_date_era_ymd_jp("令和元年5月1日"), kNoDate);  // 元 is not a digit
  EXPECT_EQ(transform_date_era_ymd_jp("令和年5月1日"), kNoDate);    // empty era year
  EXPECT_EQ(transform_date_era_ymd_jp("令和5年月1日"), kNoDate);    // empty month
  EXPECT_EQ(transform_date_era_ymd_jp("令和5年5月日"), kNoDate);    // empty day
  EXPECT_EQ(transform_date_era_ymd_jp("2023年3月31日"), kNoDate);
  EXPECT_EQ(transform_date_era_ymd_jp("寛政5年3月31日"), kNoDate);
  EXPECT_EQ(transform_date_era_ymd_jp("令和"), kNoDate);
  EXPECT_EQ(transform_date_era_ymd_jp("令"), kNoDate);  // fewer than six bytes
  EXPECT_EQ(transform_date_era_ymd_jp("令和5年3月31日x"), kNoDate);
  EXPECT_EQ(transform_date_era_ymd_jp("令和5年3月"), kNoDate);
  EXPECT_EQ(transform_date_era_ymd_jp("令和5月3年31日"), kNoDate);
  EXPECT_EQ(transform_date_era_ymd_jp("令和5年3月4294967296日"), kNoDate);  // above u32
  EXPECT_EQ(transform_date_era_ymd_jp("\xE4\xBB\xA4\xE5\x92" "5年3月31日"), kNoDate);  // cut era
}

TEST(DateEraJp, YearPastTheUnsigned32BitRangeIsNoDate) {
  // 2018 + 4294965277 = 4294967295 still fits; one more would wrap to a small year.
  EXPECT_EQ(transform_date_era_ymd_jp("令和4294965277年1月1日"), "4294967295-01-01");
  EXPECT_EQ(transform_date_era_ymd_jp("令和4294965278年1月1日"), kNoDate);
  EXPECT_EQ(transform_date_era_ymd_jp("明治4294967295年1月1日"), kNoDate);
}
