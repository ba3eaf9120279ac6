// Tests of the POSIX layer's time services that only Linux can run: other
// time zones (set in this process), and the zone names Windows would give.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <cstdint>
#include <string>

#include "files_test_support.h"
#include "test_support.h"
#include "tqrtl/platform/win32.h"

namespace {

// Puts the process in time zone `zone` for the life of the object.
class ScopedTimeZone {
 public:
  explicit ScopedTimeZone(const char* zone) : env_({{"TZ", zone}}) { tzset(); }

 private:
  struct Reread {
    ~Reread() { tzset(); }
  } reread_;  // destroyed last: once TZ is back
  files_test::ScopedEnv env_;
};

TEST(TimePosixTest, ZoneNamesAreWindowsNamesWhereKnown) {
  struct Case {
    const char* zone;
    int isdst;
    const char* expected;
  };
  const Case cases[] = {
      {"UTC", 0, "Coordinated Universal Time"},
      {"UTC0", 1, "Coordinated Universal Time"},
      {"GMT0", 0, "Greenwich Standard Time"},
      {"GMT0BST,M3.5.0/1,M10.5.0", 0, "GMT Standard Time"},
      {"GMT0BST,M3.5.0/1,M10.5.0", 1, "GMT Daylight Time"},
      {"EST5EDT", 0, "Eastern Standard Time"},
      {"EST5EDT", 1, "Eastern Daylight Time"},
      {"PST8PDT", 1, "Pacific Daylight Time"},
      // Unknown zones keep the system's abbreviations.
      {"CET-1CEST,M3.5.0,M10.5.0/3", 0, "CET"},
      {"CET-1CEST,M3.5.0,M10.5.0/3", 1, "CEST"},
      {"<+03>-3", 0, "+03"},
  };
  for (const Case& c : cases) {
    ScopedTimeZone zone(c.zone);
    const struct tm time = MakeTm(2024, 3, 5, 14, 0, 0, c.isdst);
    char buffer[64];
    ASSERT_NE(TQStrftime(buffer, sizeof buffer, "%Z|%z", &time), 0u) << c.zone;
    EXPECT_EQ(std::string(buffer), std::string(c.expected) + "|" + c.expected) << c.zone;
  }
}

TEST(TimePosixTest, LocalFileTimeShiftsByTheZoneOffset) {
  ScopedTimeZone zone("<+03>-3");
  const std::uint64_t utc_ticks = 133541212290000000ull;
  const std::uint64_t shift = 3ull * 3600 * 10000000;
  FILETIME utc = {static_cast<DWORD>(utc_ticks), static_cast<DWORD>(utc_ticks >> 32)};
  FILETIME local;
  FILETIME back;
  ASSERT_TRUE(FileTimeToLocalFileTime(&utc, &local));
  EXPECT_EQ((static_cast<std::uint64_t>(local.dwHighDateTime) << 32) | local.dwLowDateTime,
            utc_ticks + shift);
  ASSERT_TRUE(LocalFileTimeToFileTime(&local, &back));
  EXPECT_EQ(back.dwLowDateTime, utc.dwLowDateTime);
  EXPECT_EQ(back.dwHighDateTime, utc.dwHighDateTime);

  const __time32_t epoch = 0;
  const struct tm* at_epoch = _localtime32(&epoch);
  ASSERT_NE(at_epoch, nullptr);
  EXPECT_EQ(at_epoch->tm_hour, 3);
}

TEST(TimePosixTest, Mktime32InAZoneWithDaylightTime) {
  ScopedTimeZone zone("EST5EDT,M4.1.0,M10.5.0");
  struct Case {
    struct tm input;
    __time32_t expected;
    int hour_after;
    int isdst_after;
  };
  const Case cases[] = {
      // Winter: standard time decided, asked for, or daylight time asked for.
      {MakeTm(2000, 1, 1, 12, 0, 0, -1), 946746000, 12, 0},
      {MakeTm(2000, 1, 1, 12, 0, 0, 0), 946746000, 12, 0},
      {MakeTm(2000, 1, 1, 12, 0, 0, 1), 946742400, 11, 0},
      // Summer: 12:00 EDT; taken as standard time it is 13:00 EDT.
      {MakeTm(2000, 7, 1, 12, 0, 0, -1), 962467200, 12, 1},
      {MakeTm(2000, 7, 1, 12, 0, 0, 1), 962467200, 12, 1},
      {MakeTm(2000, 7, 1, 12, 0, 0, 0), 962470800, 13, 1},
  };
  for (const Case& c : cases) {
    struct tm t = c.input;
    EXPECT_EQ(TQMktime32(&t), c.expected) << c.input.tm_mon << " " << c.input.tm_isdst;
    EXPECT_EQ(t.tm_hour, c.hour_after) << c.input.tm_mon << " " << c.input.tm_isdst;
    EXPECT_EQ(t.tm_isdst, c.isdst_after) << c.input.tm_mon << " " << c.input.tm_isdst;
  }
}

TEST(TimePosixTest, SystemTimeToFileTimeRefusesDaysPastTheMonthsEnd) {
  // Windows checks the day against the month's length (Wine does not).
  struct Case {
    WORD year, month, day;
    bool valid;
  };
  const Case cases[] = {{2023, 2, 29, false}, {2024, 2, 29, true},  {1900, 2, 29, false},
                        {2000, 2, 29, true},  {2024, 4, 31, false}, {30827, 12, 31, true},
                        {30829, 1, 1, false}};
  for (const Case& c : cases) {
    SYSTEMTIME st = {c.year, c.month, 0, c.day, 0, 0, 0, 0};
    FILETIME ft;
    SetLastError(0);
    EXPECT_EQ(SystemTimeToFileTime(&st, &ft) != FALSE, c.valid)
        << c.year << "-" << c.month << "-" << c.day;
    if (!c.valid) {
      EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    }
  }
}

}  // namespace
