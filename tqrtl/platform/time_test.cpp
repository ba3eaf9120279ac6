// Conformance tests of file times, system times and the C run-time's 32-bit
// calendar time: run against the POSIX layer on Linux and against the
// system under Wine, and must pass on both. The tests run with TZ=UTC, so
// local time is UTC.
#include <gtest/gtest.h>
#include <string.h>
#include <time.h>

#include <cstdint>
#include <string>

#include "test_support.h"
#include "tqrtl/platform/win32.h"

namespace {

FILETIME MakeFileTime(std::uint64_t ticks) {
  FILETIME time;
  time.dwLowDateTime = static_cast<DWORD>(ticks);
  time.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
  return time;
}

std::uint64_t Ticks(const FILETIME& time) {
  return (static_cast<std::uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

std::string Describe(const SYSTEMTIME& t) {
  char text[64];
  snprintf(text, sizeof text, "%d-%02d-%02d %02d:%02d:%02d.%03d dow %d", t.wYear, t.wMonth, t.wDay,
           t.wHour, t.wMinute, t.wSecond, t.wMilliseconds, t.wDayOfWeek);
  return text;
}

std::string Describe(const struct tm& t) {
  char text[80];
  snprintf(text, sizeof text, "%d-%02d-%02d %02d:%02d:%02d wday %d yday %d isdst %d",
           t.tm_year + 1900, t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec, t.tm_wday,
           t.tm_yday, t.tm_isdst);
  return text;
}

// ---------------------------------------------------------------------------
// File times and system times.

TEST(TimeTest, FileTimeToSystemTimeAndBack) {
  struct Case {
    std::uint64_t ticks;
    const char* expected;  // null: no time (the high bit is set)
  };
  const Case cases[] = {
      {0, "1601-01-01 00:00:00.000 dow 1"},
      {116444736000000000ull, "1970-01-01 00:00:00.000 dow 4"},
      {125911584000000000ull, "2000-01-01 00:00:00.000 dow 6"},
      {125962560000000000ull + 452967890000ull, "2000-02-29 12:34:56.789 dow 2"},
      {133541212290000000ull, "2024-03-05 14:07:09.000 dow 2"},
      // The last time: sub-millisecond ticks are dropped.
      {0x7FFFFFFFFFFFFFFFull, "30828-09-14 02:48:05.477 dow 4"},
      {0x8000000000000000ull, nullptr},
      {0xFFFFFFFFFFFFFFFFull, nullptr},
  };
  for (const Case& c : cases) {
    const FILETIME file_time = MakeFileTime(c.ticks);
    SYSTEMTIME system_time;
    SetLastError(0xDEAD);
    if (c.expected == nullptr) {
      EXPECT_FALSE(FileTimeToSystemTime(&file_time, &system_time)) << std::hex << c.ticks;
      EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
      continue;
    }
    ASSERT_TRUE(FileTimeToSystemTime(&file_time, &system_time)) << c.expected;
    EXPECT_EQ(Describe(system_time), c.expected);
    FILETIME back;
    ASSERT_TRUE(SystemTimeToFileTime(&system_time, &back)) << c.expected;
    EXPECT_EQ(Ticks(back), c.ticks - c.ticks % 10000) << c.expected;
  }
}

TEST(TimeTest, SystemTimeToFileTimeChecksEveryField) {
  struct Case {
    SYSTEMTIME time;
    bool valid;
  };
  const Case cases[] = {
      {MakeSystemTime(2024, 2, 29, 0, 0, 0, 0), true},
      {MakeSystemTime(2024, 12, 31, 23, 59, 59, 999), true},
      {MakeSystemTime(1601, 1, 1, 0, 0, 0, 0), true},
      {MakeSystemTime(2024, 1, 1, 0, 0, 0, 0, 6), true},  // wrong day of week: ignored
      {MakeSystemTime(1600, 12, 31, 23, 59, 59, 999), false},
      {MakeSystemTime(2024, 0, 1, 0, 0, 0, 0), false},
      {MakeSystemTime(2024, 13, 1, 0, 0, 0, 0), false},
      {MakeSystemTime(2024, 1, 0, 0, 0, 0, 0), false},
      {MakeSystemTime(2024, 1, 32, 0, 0, 0, 0), false},
      {MakeSystemTime(2024, 1, 1, 24, 0, 0, 0), false},
      {MakeSystemTime(2024, 1, 1, 0, 60, 0, 0), false},
      {MakeSystemTime(2024, 1, 1, 0, 0, 60, 0), false},
      {MakeSystemTime(2024, 1, 1, 0, 0, 0, 1000), false},
  };
  for (const Case& c : cases) {
    FILETIME file_time = MakeFileTime(0x1234);
    SetLastError(0xDEAD);
    const BOOL result = SystemTimeToFileTime(&c.time, &file_time);
    EXPECT_EQ(result != FALSE, c.valid) << Describe(c.time);
    if (!c.valid) {
      EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    }
  }
}

TEST(TimeTest, LocalFileTimeIsUtcInTheUtcZone) {
  const FILETIME utc = MakeFileTime(133541212290000000ull);
  FILETIME local;
  FILETIME back;
  ASSERT_TRUE(FileTimeToLocalFileTime(&utc, &local));
  EXPECT_EQ(Ticks(local), Ticks(utc));
  ASSERT_TRUE(LocalFileTimeToFileTime(&local, &back));
  EXPECT_EQ(Ticks(back), Ticks(utc));
}

// Each clock is read between two readings of another, so that a stall
// between the calls on a loaded machine cannot fail the test; the second of
// slack on either side is for the clocks' rounding to whole seconds.
TEST(TimeTest, ClocksAgree) {
  constexpr std::uint64_t kSecond = 10000000;  // FILETIME ticks
  const __time32_t crt_before = TQTime32(nullptr);
  FILETIME file_before;
  GetSystemTimeAsFileTime(&file_before);
  SYSTEMTIME system_now;
  SYSTEMTIME local_now;
  GetSystemTime(&system_now);
  GetLocalTime(&local_now);  // the same as the system time with TZ=UTC
  FILETIME file_after;
  GetSystemTimeAsFileTime(&file_after);
  const __time32_t crt_after = TQTime32(nullptr);

  const auto unix_seconds = [](const FILETIME& time) {
    return static_cast<std::int64_t>(Ticks(time) / kSecond) - 11644473600;
  };
  EXPECT_GE(unix_seconds(file_before), crt_before - 1);
  EXPECT_LE(unix_seconds(file_after), crt_after + 1);
  FILETIME from_system;
  FILETIME from_local;
  ASSERT_TRUE(SystemTimeToFileTime(&system_now, &from_system));
  ASSERT_TRUE(SystemTimeToFileTime(&local_now, &from_local));
  for (const FILETIME& read : {from_system, from_local}) {
    EXPECT_GE(Ticks(read) + kSecond, Ticks(file_before));
    EXPECT_LE(Ticks(read), Ticks(file_after) + kSecond);
  }

  __time32_t stored = 0;
  EXPECT_EQ(TQTime32(&stored), stored);
}

// ---------------------------------------------------------------------------
// _gmtime32, _localtime32, TQMktime32.

TEST(TimeTest, Gmtime32AndLocaltime32) {
  struct Case {
    __time32_t time;
    const char* expected;  // null: no conversion
  };
  const Case cases[] = {
      {0, "1970-01-01 00:00:00 wday 4 yday 0 isdst 0"},
      {951827696, "2000-02-29 12:34:56 wday 2 yday 59 isdst 0"},
      {1709647629, "2024-03-05 14:07:09 wday 2 yday 64 isdst 0"},
      {0x7FFFFFFF, "2038-01-19 03:14:07 wday 2 yday 18 isdst 0"},
      {-1, nullptr},
      {INT32_MIN, nullptr},
  };
  for (const Case& c : cases) {
    for (auto convert : {_gmtime32, _localtime32}) {
      struct tm* result = convert(&c.time);
      if (c.expected == nullptr) {
        EXPECT_EQ(result, nullptr) << c.time;
      } else {
        ASSERT_NE(result, nullptr) << c.time;
        EXPECT_EQ(Describe(*result), c.expected);
      }
    }
  }
}

TEST(TimeTest, Mktime32NormalisesWithinTheRange) {
  struct Case {
    struct tm input;
    __time32_t expected;
    const char* normalised;  // null: out of range
  };
  const Case cases[] = {
      {MakeTm(1970, 1, 1, 0, 0, 0, 0), 0, "1970-01-01 00:00:00 wday 4 yday 0 isdst 0"},
      {MakeTm(1970, 1, 1, 0, 0, 0, -1), 0, "1970-01-01 00:00:00 wday 4 yday 0 isdst 0"},
      {MakeTm(2038, 1, 19, 3, 14, 7, -1), 0x7FFFFFFF, "2038-01-19 03:14:07 wday 2 yday 18 isdst 0"},
      {MakeTm(2024, 1, 32, 0, 0, 0, -1), 1706745600, "2024-02-01 00:00:00 wday 4 yday 31 isdst 0"},
      {MakeTm(2024, 14, 1, 0, 0, 0, 0), 1738368000, "2025-02-01 00:00:00 wday 6 yday 31 isdst 0"},
      // Negative fields borrow from the next larger one.
      {MakeTm(2000, 0, 0, -1, 61, -5, 0), 943920055, "1999-11-30 00:00:55 wday 2 yday 333 isdst 0"},
      // Daylight time asked for: one hour ahead of standard time, and the
      // fields come back as standard time.
      {MakeTm(2000, 1, 1, 12, 0, 0, 1), 946724400, "2000-01-01 11:00:00 wday 6 yday 0 isdst 0"},
      {MakeTm(1969, 12, 31, 23, 59, 59, -1), -1, nullptr},
      {MakeTm(2038, 1, 19, 3, 14, 8, -1), -1, nullptr},
      {MakeTm(2100, 1, 1, 0, 0, 0, 0), -1, nullptr},
      {MakeTm(1000, 1, 1, 0, 0, 0, 0), -1, nullptr},
  };
  for (const Case& c : cases) {
    struct tm t = c.input;
    t.tm_wday = 5;  // ignored on input
    t.tm_yday = 300;
    EXPECT_EQ(TQMktime32(&t), c.expected) << Describe(c.input);
    if (c.normalised != nullptr) {
      EXPECT_EQ(Describe(t), c.normalised);
    }
  }
}

// ---------------------------------------------------------------------------
// TQStrftime.

std::string Strftime(const char* format, const struct tm& time, size_t size = 200) {
  char buffer[256];
  memset(buffer, '#', sizeof buffer);
  const size_t length = TQStrftime(buffer, size, format, &time);
  if (length == 0) return buffer[0] == '\0' ? "<0>" : "<0, buffer not emptied>";
  if (strlen(buffer) != length) return "<length differs from text>";
  return buffer;
}

TEST(TimeTest, StrftimeCodes) {
  // Tuesday 2024-03-05 14:07:09, day 65 of the year.
  const struct tm time = [] {
    struct tm t = MakeTm(2024, 3, 5, 14, 7, 9, 0);
    t.tm_wday = 2;
    t.tm_yday = 64;
    return t;
  }();
  struct Case {
    const char* format;
    const char* expected;
  };
  const Case cases[] = {
      {"%Y-%m-%d %H:%M:%S", "2024-03-05 14:07:09"},
      {"%c", "03/05/24 14:07:09"},
      {"%x", "03/05/24"},
      {"%X", "14:07:09"},
      {"%#c", "Tuesday, March 05, 2024 14:07:09"},
      {"%#x", "Tuesday, March 05, 2024"},
      {"%#X", "14:07:09"},
      {"%a %A %b %B", "Tue Tuesday Mar March"},
      {"%#a %#p", "Tue PM"},
      {"%I %p %j %U %W %w %y", "02 PM 065 09 10 2 24"},
      {"%#d %#m %#M %#I %#j %#U %#H %#Y", "5 3 7 2 65 9 14 2024"},
      {"100%% at %H", "100% at 14"},
      {"%#%", "%"},
      {"plain text", "plain text"},
      // Nothing written: an empty text, unknown codes (the C99 ones
      // included), a lone trailing %.
      {"", "<0>"},
      {"%Q", "<0>"},
      {"ab%Q", "<0>"},
      {"%e", "<0>"},
      {"%T", "<0>"},
      {"%Ec", "<0>"},
      {"%", "<0>"},
      {"ab%", "<0>"},
  };
  for (const Case& c : cases) EXPECT_EQ(Strftime(c.format, time), c.expected) << c.format;
}

TEST(TimeTest, StrftimeHoursBufferAndMonthLimits) {
  const struct {
    int hour;
    const char* expected;
  } hours[] = {{0, "12 AM 00"}, {11, "11 AM 11"}, {12, "12 PM 12"}, {13, "01 PM 13"}};
  for (const auto& h : hours) {
    EXPECT_EQ(Strftime("%I %p %H", MakeTm(2024, 3, 5, h.hour, 0, 0, 0)), h.expected) << h.hour;
  }
  // The text needs room for its NUL; a month out of range writes nothing.
  struct tm time = MakeTm(2024, 3, 5, 14, 7, 9, 0);
  EXPECT_EQ(Strftime("%H:%M:%S", time, 9), "14:07:09");
  EXPECT_EQ(Strftime("%H:%M:%S", time, 8), "<0>");
  time.tm_mon = 12;
  EXPECT_EQ(Strftime("%m", time), "<0>");
  EXPECT_EQ(Strftime("%b", time), "<0>");
}

TEST(TimeTest, StrftimeZoneNameIsTheSameForZAndLowerZ) {
  const struct tm time = MakeTm(2024, 3, 5, 14, 7, 9, 0);
  const std::string name = Strftime("%Z", time);
  EXPECT_EQ(Strftime("%z", time), name);
  // The full name of a zone of offset 0 from the system's zone data; when
  // TZ is set, msvcrt names the zone after it instead (three letters on
  // Windows, two under Wine).
  EXPECT_TRUE(name == "Coordinated Universal Time" || name == "Greenwich Standard Time" ||
              name == "UTC" || name == "UT")
      << name;
}

}  // namespace
