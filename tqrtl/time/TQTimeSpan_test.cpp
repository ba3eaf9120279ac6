#include "tqrtl/time/TQTimeSpan.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace {

TEST(TQTimeSpanTest, ComponentsTruncateTowardZero) {
  struct Case {
    long seconds;
    long days, total_hours, total_minutes;
    int hours, minutes, secs;
  };
  const Case cases[] = {
      {0, 0, 0, 0, 0, 0, 0},
      {93784, 1, 26, 1563, 2, 3, 4},
      {86399, 0, 23, 1439, 23, 59, 59},
      {-90, 0, 0, -1, 0, -1, -30},
      {-93784, -1, -26, -1563, -2, -3, -4},
      {INT32_MAX, 24855, 596523, 35791394, 3, 14, 7},
      {INT32_MIN, -24855, -596523, -35791394, -3, -14, -8},
  };
  for (const Case& c : cases) {
    const TQTimeSpan span(c.seconds);
    SCOPED_TRACE(c.seconds);
    EXPECT_EQ(span.GetTotalSeconds(), c.seconds);
    EXPECT_EQ(span.GetDays(), c.days);
    EXPECT_EQ(span.GetTotalHours(), c.total_hours);
    EXPECT_EQ(span.GetTotalMinutes(), c.total_minutes);
    EXPECT_EQ(span.GetHours(), c.hours);
    EXPECT_EQ(span.GetMinutes(), c.minutes);
    EXPECT_EQ(span.GetSeconds(), c.secs);
  }
}

TEST(TQTimeSpanTest, FieldConstructorCombinesIn32Bits) {
  EXPECT_EQ(TQTimeSpan(1, 2, 3, 4).GetTotalSeconds(), 93784);
  EXPECT_EQ(TQTimeSpan(0, 0, 0, -1).GetTotalSeconds(), -1);
  EXPECT_EQ(TQTimeSpan(0, 25, -61, 0).GetTotalSeconds(), 86340);
  EXPECT_EQ(TQTimeSpan(-1, 24, 0, 5).GetTotalSeconds(), 5);
  // 24856 days is past the 32-bit range and wraps.
  EXPECT_EQ(TQTimeSpan(24856, 0, 0, 0).GetTotalSeconds(), -2147408896L);  // 2147558400 - 2^32
}

TEST(TQTimeSpanTest, ArithmeticAndComparison) {
  TQTimeSpan a(100);
  const TQTimeSpan b(-30);
  EXPECT_EQ((a + b).GetTotalSeconds(), 70);
  EXPECT_EQ((a - b).GetTotalSeconds(), 130);
  EXPECT_EQ((b - a).GetTotalSeconds(), -130);
  EXPECT_EQ((a += b).GetTotalSeconds(), 70);
  EXPECT_EQ((a -= TQTimeSpan(100)).GetTotalSeconds(), -30);
  EXPECT_EQ((TQTimeSpan(INT32_MAX) + TQTimeSpan(1)).GetTotalSeconds(), INT32_MIN);

  struct Case {
    long x, y;
  };
  for (const Case c : {Case{1, 2}, Case{2, 1}, Case{-5, -5}, Case{-1, 1}, Case{INT32_MIN, 0}}) {
    const TQTimeSpan x(c.x);
    const TQTimeSpan y(c.y);
    SCOPED_TRACE(std::to_string(c.x) + " vs " + std::to_string(c.y));
    EXPECT_EQ(x == y, c.x == c.y ? 1 : 0);
    EXPECT_EQ(x != y, c.x != c.y ? 1 : 0);
    EXPECT_EQ(x < y, c.x < c.y ? 1 : 0);
    EXPECT_EQ(x > y, c.x > c.y ? 1 : 0);
    EXPECT_EQ(x <= y, c.x <= c.y ? 1 : 0);
    EXPECT_EQ(x >= y, c.x >= c.y ? 1 : 0);
  }
}

TEST(TQTimeSpanTest, Format) {
  struct Case {
    long seconds;
    const char* format;
    const char* expected;
  };
  const Case cases[] = {
      {93784, "%D days %H:%M:%S", "1 days 02:03:04"},
      {3661, "%H%%", "01%"},
      {3661, "%X", "X"},
      {3661, "%d %h %m %s", "d h m s"},  // letter case matters
      {-90, "%M:%S", "-1:-30"},
      {-93784, "%D %H", "-1 -2"},
      {0, "%D/%H/%M/%S", "0/00/00/00"},
      {INT32_MAX, "%D", "24855"},
      {5, "", ""},
      {5, "no codes", "no codes"},
      {5, "%S%", "05"},  // a lone trailing % ends the text
      {5, "%", ""},
  };
  for (const Case& c : cases) {
    EXPECT_STREQ(TQTimeSpan(c.seconds).Format(c.format), c.expected)
        << c.seconds << " \"" << c.format << '"';
  }
  EXPECT_STREQ(TQTimeSpan(5).Format(static_cast<const char*>(nullptr)), "");
}

TEST(TQTimeSpanTest, FormatStopsAt127Characters) {
  const std::string fits(127, 'x');
  EXPECT_EQ(std::string(TQTimeSpan(0).Format(fits.c_str())), fits);
  EXPECT_EQ(std::string(TQTimeSpan(0).Format((fits + "yz").c_str())), fits);
  // A number that would cross the limit is cut too.
  const std::string almost(125, 'x');
  EXPECT_EQ(std::string(TQTimeSpan(0, 0, 0, 7).Format((almost + "%D%S").c_str())), almost + "00");
  EXPECT_EQ(std::string(TQTimeSpan(0, 0, 0, 7).Format((almost + "%S%S").c_str())), almost + "07");
}

TEST(TQTimeSpanTest, FormatFromAStringResource) {
  const HINSTANCE module = GetModuleHandleA(nullptr);
  EXPECT_STREQ(TQTimeSpan(5).Format(2, module), "1 and 2");  // "%1 and %2"
  EXPECT_STREQ(TQTimeSpan(5).Format(1, module), "Short");
  EXPECT_STREQ(TQTimeSpan(5).Format(4, module), "");    // empty resource
  EXPECT_STREQ(TQTimeSpan(5).Format(999, module), "");  // missing resource
}

}  // namespace
