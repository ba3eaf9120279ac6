// The tests run with TZ=UTC, so local time is UTC.
#include "tqrtl/time/TQTime.h"

#include <gtest/gtest.h>
#include <string.h>
#include <time.h>

#include <cstdint>
#include <string>
#include <vector>

#include "test_support.h"

namespace {

// Tuesday 2024-03-05 14:07:09 UTC.
constexpr long kMarch5 = 1709647629;

FILETIME MakeFileTime(std::uint64_t ticks) {
  FILETIME time;
  time.dwLowDateTime = static_cast<DWORD>(ticks);
  time.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
  return time;
}

std::uint64_t FileTicks(long unix_seconds) {
  return (static_cast<std::uint64_t>(unix_seconds) + 11644473600ull) * 10000000ull;
}

TEST(TQTimeTest, CalendarConstructor) {
  struct Case {
    int year, month, day, hour, minute, second, dst;
    long expected;
  };
  const Case cases[] = {
      {2024, 3, 5, 14, 7, 9, -1, kMarch5},  {2024, 3, 5, 14, 7, 9, 0, kMarch5},
      {2024, 3, 5, 15, 7, 9, 1, kMarch5},  // daylight time: one hour ahead
      {1970, 1, 1, 0, 0, 0, -1, 0},         {2038, 1, 19, 3, 14, 7, -1, INT32_MAX},
      {2024, 2, 34, 14, 7, 9, -1, kMarch5},  // fields carry over
      {2024, 3, 4, 38, 7, 9, -1, kMarch5},  {2024, 3, 5, 14, 0, 429, -1, kMarch5},
      {1969, 12, 31, 23, 59, 59, -1, -1},  // out of range
      {2038, 1, 19, 3, 14, 8, -1, -1},      {1899, 1, 1, 0, 0, 0, -1, -1},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(TQTime(c.year, c.month, c.day, c.hour, c.minute, c.second, c.dst).GetTime(),
              c.expected)
        << c.year << "-" << c.month << "-" << c.day << " " << c.hour << ":" << c.minute << ":"
        << c.second << " dst " << c.dst;
  }
}

TEST(TQTimeTest, DosDateAndTime) {
  struct Case {
    unsigned short date, time;
    long expected;
  };
  const Case cases[] = {
      {0x2821, 0x6000, TQTime(2000, 1, 1, 12, 0, 0, -1).GetTime()},
      // 2024-03-05 14:07:08: seconds are stored halved.
      {static_cast<unsigned short>((44 << 9) | (3 << 5) | 5),
       static_cast<unsigned short>((14 << 11) | (7 << 5) | 4), kMarch5 - 1},
      // 31 two-second units are 62 seconds and carry into the minute.
      {0x2821, 0x001F, TQTime(2000, 1, 1, 0, 1, 2, -1).GetTime()},
      // 1980 is in range; month 0 is December of the year before.
      {0x0021, 0x0000, 315532800},
      {0x0001, 0x0000, TQTime(1979, 12, 1, 0, 0, 0, -1).GetTime()},
      // Year 1980 + 127 is past 2038.
      {0xFE21, 0x0000, -1},
  };
  for (const Case& c : cases)
    EXPECT_EQ(TQTime(c.date, c.time, -1).GetTime(), c.expected)
        << std::hex << c.date << " " << c.time;
}

TEST(TQTimeTest, SystemTimeAndFileTimeConstructors) {
  SYSTEMTIME st = MakeSystemTime(2024, 3, 5, 14, 7, 9);
  st.wDayOfWeek = 5;  // wrong, and ignored with the milliseconds
  st.wMilliseconds = 999;
  EXPECT_EQ(TQTime(st, -1).GetTime(), kMarch5);
  EXPECT_EQ(TQTime(MakeSystemTime(1899, 12, 31, 23, 59, 59), -1).GetTime(), 0);
  EXPECT_EQ(TQTime(MakeSystemTime(1900, 1, 1, 0, 0, 0), -1).GetTime(), -1);

  struct Case {
    std::uint64_t ticks;
    long expected;
  };
  const Case cases[] = {
      {FileTicks(kMarch5), kMarch5},
      {FileTicks(kMarch5) + 9999999, kMarch5},  // the fraction is dropped
      {FileTicks(0), 0},
      {FileTicks(INT32_MAX), INT32_MAX},
      {0, 0},                         // 1601: before 1900
      {FileTicks(0) - 10000000, -1},  // 1969: not representable
      {0x8000000000000000ull, 0},     // not a time
  };
  for (const Case& c : cases)
    EXPECT_EQ(TQTime(MakeFileTime(c.ticks), -1).GetTime(), c.expected) << std::hex << c.ticks;
}

TEST(TQTimeTest, CalendarAccessors) {
  struct Case {
    long time;
    int year, month, day, hour, minute, second, day_of_week;
  };
  const Case cases[] = {
      {kMarch5, 2024, 3, 5, 14, 7, 9, 3},
      {1709424000, 2024, 3, 3, 0, 0, 0, 1},  // a Sunday
      {1709942399, 2024, 3, 8, 23, 59, 59, 6},
      {1710028799, 2024, 3, 9, 23, 59, 59, 7},  // a Saturday
      {0, 1970, 1, 1, 0, 0, 0, 5},
      {INT32_MAX, 2038, 1, 19, 3, 14, 7, 3},
  };
  for (const Case& c : cases) {
    const TQTime t(c.time);
    SCOPED_TRACE(c.time);
    EXPECT_EQ(t.GetYear(), c.year);
    EXPECT_EQ(t.GetMonth(), c.month);
    EXPECT_EQ(t.GetDay(), c.day);
    EXPECT_EQ(t.GetHour(), c.hour);
    EXPECT_EQ(t.GetMinute(), c.minute);
    EXPECT_EQ(t.GetSecond(), c.second);
    EXPECT_EQ(t.GetDayOfWeek(), c.day_of_week);
  }
}

TEST(TQTimeTest, TmAccessors) {
  const TQTime t(kMarch5);
  for (auto get : {&TQTime::GetGmtTm, &TQTime::GetLocalTm}) {
    struct tm* shared = (t.*get)(nullptr);
    ASSERT_NE(shared, nullptr);
    EXPECT_EQ(shared->tm_yday, 64);
    struct tm own;
    memset(&own, 0x55, sizeof own);
    EXPECT_EQ((t.*get)(&own), &own);
    EXPECT_EQ((std::vector<int>{own.tm_year, own.tm_mon, own.tm_mday, own.tm_hour, own.tm_min,
                                own.tm_sec, own.tm_wday, own.tm_yday, own.tm_isdst}),
              (std::vector<int>{124, 2, 5, 14, 7, 9, 2, 64, 0}));
    // A negative value does not convert, and `out` is left alone.
    const TQTime before(-1L);
    EXPECT_EQ((before.*get)(nullptr), nullptr);
    EXPECT_EQ((before.*get)(&own), nullptr);
    EXPECT_EQ(own.tm_sec, 9);
  }
}

TEST(TQTimeTest, ArithmeticAndComparison) {
  const TQTime start(kMarch5);
  const TQTime end(kMarch5 + 93784);
  EXPECT_EQ((end - start).GetTotalSeconds(), 93784);
  EXPECT_EQ((start - end).GetTotalSeconds(), -93784);
  EXPECT_EQ((start + TQTimeSpan(1, 2, 3, 4)).GetTime(), end.GetTime());
  EXPECT_EQ((end - TQTimeSpan(93784)).GetTime(), kMarch5);
  TQTime moving = start;
  EXPECT_EQ((moving += TQTimeSpan(60)).GetTime(), kMarch5 + 60);
  EXPECT_EQ((moving -= TQTimeSpan(-60)).GetTime(), kMarch5 + 120);
  // The count wraps as a 32-bit number.
  EXPECT_EQ((TQTime(INT32_MAX) + TQTimeSpan(1)).GetTime(), INT32_MIN);
  EXPECT_EQ((TQTime(INT32_MIN) - TQTime(1)).GetTotalSeconds(), INT32_MAX);

  EXPECT_EQ(start == TQTime(kMarch5), 1);
  EXPECT_EQ(start != end, 1);
  EXPECT_EQ(start < end, 1);
  EXPECT_EQ(start > end, 0);
  EXPECT_EQ(start <= start, 1);
  EXPECT_EQ(start >= end, 0);
  EXPECT_EQ(TQTime(-1L) < TQTime(0L), 1);  // signed
}

// The run-time's clock itself is checked against the system's in the
// platform tests.
TEST(TQTimeTest, GetTickCountIsTheCurrentTimeInSeconds) {
  const long before = static_cast<long>(TQTime32(nullptr));
  const long now = TQTime::GetTickCount().GetTime();
  const long after = static_cast<long>(TQTime32(nullptr));
  EXPECT_GE(now, before);
  EXPECT_LE(now, after);
}

TEST(TQTimeTest, Format) {
  struct Case {
    long time;
    const char* format;
    const char* expected;
  };
  const Case cases[] = {
      {kMarch5, "%Y-%m-%d %H:%M:%S %A", "2024-03-05 14:07:09 Tuesday"},
      {0, "%x %X", "01/01/70 00:00:00"},
      {INT32_MAX, "%Y %j", "2038 019"},
      {kMarch5, "", ""},
      {kMarch5, "%Q", ""},
      {-1, "%Y", ""},  // does not convert
  };
  for (const Case& c : cases) {
    EXPECT_STREQ(TQTime(c.time).Format(c.format), c.expected) << c.time << " " << c.format;
    EXPECT_STREQ(TQTime(c.time).FormatGmt(c.format), c.expected) << c.time << " " << c.format;
  }
}

TEST(TQTimeTest, FormatNeedsTheTextToFitIn127Characters) {
  const TQTime t(kMarch5);
  // "%Y" is 4 characters: 123 + 4 fit, 124 + 4 do not.
  const std::string fits = std::string(123, 'x') + "%Y";
  const std::string too_long = std::string(124, 'x') + "%Y";
  EXPECT_EQ(std::string(t.Format(fits.c_str())), std::string(123, 'x') + "2024");
  EXPECT_STREQ(t.Format(too_long.c_str()), "");
  EXPECT_STREQ(t.FormatGmt(too_long.c_str()), "");
}

TEST(TQTimeTest, FormatFromAStringResource) {
  const HINSTANCE module = GetModuleHandleA(nullptr);
  const TQTime t(kMarch5);
  EXPECT_STREQ(t.Format(1, module), "Short");
  EXPECT_STREQ(t.FormatGmt(6, module), "No inserts here");
  EXPECT_STREQ(t.Format(2, module), "");  // "%1 and %2": %1 is no time code
  EXPECT_STREQ(t.Format(999, module), "");
  EXPECT_STREQ(t.FormatGmt(999, module), "");
}

}  // namespace
