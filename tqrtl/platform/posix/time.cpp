// File times, system times and the C run-time's 32-bit calendar time.
//
// A FILETIME counts 100-nanosecond intervals since 1601-01-01 00:00:00 UTC;
// values with the high bit set are not times. Calendar arithmetic is done
// here on day numbers (proleptic Gregorian, 64-bit), so it neither depends
// on the width of the system's time_t nor on its range. Only the local time
// zone comes from the system: localtime_r and mktime for zones with rules,
// tzname and timezone for names and the standard offset.
//
// Win32 converts between UTC and local file times with the bias in force
// now, not the one in force at the converted time; so do we.
//
// Thread-safety: every function may be called from any thread.
// _gmtime32 and _localtime32 return a buffer of the calling thread.
#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

#include <cstdint>
#include <string>

#include "tqrtl/platform/posix/internal.h"

namespace {

using std::int64_t;
using std::uint64_t;

constexpr int64_t kTicksPerSecond = 10000000;
constexpr int64_t kTicksPerMillisecond = 10000;
constexpr int64_t kSecondsPerDay = 86400;
// Seconds from 1601-01-01 to 1970-01-01.
constexpr int64_t kUnixEpochSeconds = 11644473600;
constexpr uint64_t kFileTimeLimit = 0x8000000000000000ull;

uint64_t FromFileTime(const FILETIME& time) {
  return (static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

FILETIME ToFileTime(uint64_t ticks) {
  FILETIME time;
  time.dwLowDateTime = static_cast<DWORD>(ticks);
  time.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
  return time;
}

// Days from 1970-01-01 to year-month-day, month 1-12 (any day number).
int64_t DaysFromCivil(int64_t year, int64_t month, int64_t day) {
  year -= month <= 2;
  const int64_t era = (year >= 0 ? year : year - 399) / 400;
  const int64_t year_of_era = year - era * 400;
  const int64_t day_of_year = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  const int64_t day_of_era = year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
  return era * 146097 + day_of_era - 719468;
}

struct CivilDate {
  int64_t year;
  int month;  // 1-12
  int day;    // 1-31
};

CivilDate CivilFromDays(int64_t days) {
  days += 719468;
  const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const int64_t day_of_era = days - era * 146097;
  const int64_t year_of_era =
      (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
  const int64_t day_of_year =
      day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
  const int64_t mp = (5 * day_of_year + 2) / 153;
  const int month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  return {year_of_era + era * 400 + (month <= 2), month,
          static_cast<int>(day_of_year - (153 * mp + 2) / 5 + 1)};
}

bool IsLeapYear(int64_t year) { return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0); }

int DaysInMonth(int64_t year, int month) {
  static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && IsLeapYear(year) ? 29 : kDays[month - 1];
}

// The offset of local time from UTC now, in seconds east.
int64_t CurrentLocalOffset() {
  const time_t now = time(nullptr);
  struct tm local;
  if (localtime_r(&now, &local) == nullptr) return 0;
  return local.tm_gmtoff;
}

// The calendar fields of `tm` as seconds since 1970 on a clock without a
// zone, every field allowed out of its range.
int64_t FieldsAsSeconds(const struct tm& tm) {
  int64_t year = static_cast<int64_t>(tm.tm_year) + 1900;
  int64_t month = tm.tm_mon;
  year += (month >= 0 ? month : month - 11) / 12;
  month -= ((month >= 0 ? month : month - 11) / 12) * 12;
  const int64_t days = DaysFromCivil(year, month + 1, 1) + tm.tm_mday - 1;
  return days * kSecondsPerDay + static_cast<int64_t>(tm.tm_hour) * 3600 +
         static_cast<int64_t>(tm.tm_min) * 60 + tm.tm_sec;
}

// The buffer that _gmtime32 and _localtime32 share, one per thread.
thread_local struct tm t_time_buffer;

// ---------------------------------------------------------------------------
// Time zone names. Windows names zones in full ("Eastern Standard Time");
// the system gives abbreviations. The zones whose abbreviations say which
// Windows zone they are get its names; any other keeps its abbreviation.

struct ZoneNames {
  const char* standard_abbreviation;
  const char* daylight_abbreviation;  // null: any (or none)
  const char* standard_name;
  const char* daylight_name;
};

constexpr ZoneNames kZoneNames[] = {
    {"UTC", nullptr, "Coordinated Universal Time", "Coordinated Universal Time"},
    {"UCT", nullptr, "Coordinated Universal Time", "Coordinated Universal Time"},
    {"GMT", "BST", "GMT Standard Time", "GMT Daylight Time"},
    {"GMT", "IST", "GMT Standard Time", "GMT Daylight Time"},
    {"GMT", nullptr, "Greenwich Standard Time", "Greenwich Daylight Time"},
    {"EST", nullptr, "Eastern Standard Time", "Eastern Daylight Time"},
    {"CST", "CDT", "Central Standard Time", "Central Daylight Time"},
    {"MST", nullptr, "Mountain Standard Time", "Mountain Daylight Time"},
    {"PST", nullptr, "Pacific Standard Time", "Pacific Daylight Time"},
    {"AKST", nullptr, "Alaskan Standard Time", "Alaskan Daylight Time"},
    {"HST", nullptr, "Hawaiian Standard Time", "Hawaiian Daylight Time"},
};

std::string ZoneName(bool daylight) {
  tzset();
  const char* standard = tzname[0] != nullptr ? tzname[0] : "";
  const char* summer = tzname[1] != nullptr ? tzname[1] : "";
  for (const ZoneNames& zone : kZoneNames) {
    if (strcmp(zone.standard_abbreviation, standard) != 0) continue;
    if (zone.daylight_abbreviation != nullptr && strcmp(zone.daylight_abbreviation, summer) != 0)
      continue;
    return daylight ? zone.daylight_name : zone.standard_name;
  }
  return daylight ? summer : standard;
}

// ---------------------------------------------------------------------------
// strftime in the "C" locale of the Microsoft run-time.

constexpr const char* kDayNames[] = {"Sunday",   "Monday", "Tuesday", "Wednesday",
                                     "Thursday", "Friday", "Saturday"};
constexpr const char* kMonthNames[] = {"January",   "February", "March",    "April",
                                       "May",       "June",     "July",     "August",
                                       "September", "October",  "November", "December"};

class TimeFormatter {
 public:
  explicit TimeFormatter(const struct tm& time) : tm_(time) {}

  // Appends the expansion of `format` to `out`; false for an unknown code,
  // a lone trailing % or a field out of range.
  bool Format(const char* format, std::string& out) {
    for (const char* p = format; *p != '\0'; ++p) {
      if (*p != '%') {
        out += *p;
        continue;
      }
      ++p;
      bool alternate = false;
      if (*p == '#') {
        alternate = true;
        ++p;
      }
      if (*p == '\0' || !Code(*p, alternate, out)) return false;
    }
    return true;
  }

 private:
  static bool InRange(int value, int low, int high) { return value >= low && value <= high; }

  // A number of at least `width` digits, or without leading zeros when
  // `alternate`.
  // (snprintf, not std::to_string: the latter's digit table is a unique
  // symbol, which would keep the library loaded after dlclose.)
  static void Number(int value, int width, bool alternate, std::string& out) {
    char digits[16];
    snprintf(digits, sizeof digits, "%0*d", alternate ? 1 : width, value);
    out += digits;
  }

  bool Code(char code, bool alternate, std::string& out) {
    switch (code) {
      case 'a':
      case 'A':
        if (!InRange(tm_.tm_wday, 0, 6)) return false;
        out += code == 'A' ? kDayNames[tm_.tm_wday] : std::string(kDayNames[tm_.tm_wday], 3);
        return true;
      case 'b':
      case 'B':
        if (!InRange(tm_.tm_mon, 0, 11)) return false;
        out += code == 'B' ? kMonthNames[tm_.tm_mon] : std::string(kMonthNames[tm_.tm_mon], 3);
        return true;
      case 'c':
        return alternate ? Format("%A, %B %d, %Y %H:%M:%S", out) : Format("%m/%d/%y %H:%M:%S", out);
      case 'x':
        return alternate ? Format("%A, %B %d, %Y", out) : Format("%m/%d/%y", out);
      case 'X':
        return Format("%H:%M:%S", out);
      case 'd':
        if (!InRange(tm_.tm_mday, 1, 31)) return false;
        Number(tm_.tm_mday, 2, alternate, out);
        return true;
      case 'H':
        if (!InRange(tm_.tm_hour, 0, 23)) return false;
        Number(tm_.tm_hour, 2, alternate, out);
        return true;
      case 'I':
        if (!InRange(tm_.tm_hour, 0, 23)) return false;
        Number(tm_.tm_hour % 12 == 0 ? 12 : tm_.tm_hour % 12, 2, alternate, out);
        return true;
      case 'p':
        if (!InRange(tm_.tm_hour, 0, 23)) return false;
        out += tm_.tm_hour < 12 ? "AM" : "PM";
        return true;
      case 'j':
        if (!InRange(tm_.tm_yday, 0, 365)) return false;
        Number(tm_.tm_yday + 1, 3, alternate, out);
        return true;
      case 'm':
        if (!InRange(tm_.tm_mon, 0, 11)) return false;
        Number(tm_.tm_mon + 1, 2, alternate, out);
        return true;
      case 'M':
        if (!InRange(tm_.tm_min, 0, 59)) return false;
        Number(tm_.tm_min, 2, alternate, out);
        return true;
      case 'S':
        if (!InRange(tm_.tm_sec, 0, 60)) return false;
        Number(tm_.tm_sec, 2, alternate, out);
        return true;
      case 'U':
      case 'W': {
        if (!InRange(tm_.tm_wday, 0, 6) || !InRange(tm_.tm_yday, 0, 365)) return false;
        // Week 1 starts on the year's first Sunday (%U) or Monday (%W).
        const int weekday = code == 'U' ? tm_.tm_wday : (tm_.tm_wday + 6) % 7;
        Number((tm_.tm_yday + 7 - weekday) / 7, 2, alternate, out);
        return true;
      }
      case 'w':
        if (!InRange(tm_.tm_wday, 0, 6)) return false;
        Number(tm_.tm_wday, 1, alternate, out);
        return true;
      case 'y':
        if (tm_.tm_year < -1900) return false;
        Number((tm_.tm_year + 1900) % 100, 2, alternate, out);
        return true;
      case 'Y':
        if (tm_.tm_year < -1900) return false;
        Number(tm_.tm_year + 1900, 4, alternate, out);
        return true;
      case 'z':
      case 'Z':
        out += ZoneName(tm_.tm_isdst > 0);
        return true;
      case '%':
        out += '%';
        return true;
      default:
        return false;
    }
  }

  const struct tm& tm_;
};

}  // namespace

extern "C" {

BOOL WINAPI FileTimeToSystemTime(const FILETIME* fileTime, LPSYSTEMTIME systemTime) {
  if (fileTime == nullptr || systemTime == nullptr || FromFileTime(*fileTime) >= kFileTimeLimit) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const int64_t ticks = static_cast<int64_t>(FromFileTime(*fileTime));
  const int64_t milliseconds = ticks / kTicksPerMillisecond;
  const int64_t days = milliseconds / (kSecondsPerDay * 1000);
  int64_t rest = milliseconds % (kSecondsPerDay * 1000);
  const int64_t unix_days = days - kUnixEpochSeconds / kSecondsPerDay;
  const CivilDate date = CivilFromDays(unix_days);
  systemTime->wYear = static_cast<WORD>(date.year);
  systemTime->wMonth = static_cast<WORD>(date.month);
  systemTime->wDay = static_cast<WORD>(date.day);
  // 1601-01-01 was a Monday.
  systemTime->wDayOfWeek = static_cast<WORD>((days + 1) % 7);
  systemTime->wHour = static_cast<WORD>(rest / 3600000);
  rest %= 3600000;
  systemTime->wMinute = static_cast<WORD>(rest / 60000);
  rest %= 60000;
  systemTime->wSecond = static_cast<WORD>(rest / 1000);
  systemTime->wMilliseconds = static_cast<WORD>(rest % 1000);
  return TRUE;
}

BOOL WINAPI SystemTimeToFileTime(const SYSTEMTIME* systemTime, LPFILETIME fileTime) {
  if (systemTime == nullptr || fileTime == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const SYSTEMTIME& st = *systemTime;
  // wDayOfWeek is ignored, as on Windows.
  if (st.wYear < 1601 || st.wMonth < 1 || st.wMonth > 12 || st.wDay < 1 ||
      st.wDay > DaysInMonth(st.wYear, st.wMonth) || st.wHour > 23 || st.wMinute > 59 ||
      st.wSecond > 59 || st.wMilliseconds > 999) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const int64_t days =
      DaysFromCivil(st.wYear, st.wMonth, st.wDay) + kUnixEpochSeconds / kSecondsPerDay;
  const int64_t seconds = days * kSecondsPerDay + st.wHour * 3600 + st.wMinute * 60 + st.wSecond;
  // Past 30828-09-14 the count would need the high bit.
  const uint64_t ticks = static_cast<uint64_t>(seconds) * kTicksPerSecond +
                         static_cast<uint64_t>(st.wMilliseconds) * kTicksPerMillisecond;
  if (seconds > static_cast<int64_t>(kFileTimeLimit / kTicksPerSecond) || ticks >= kFileTimeLimit) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  *fileTime = ToFileTime(ticks);
  return TRUE;
}

BOOL WINAPI FileTimeToLocalFileTime(const FILETIME* fileTime, LPFILETIME localFileTime) {
  if (fileTime == nullptr || localFileTime == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  // Unsigned arithmetic: Windows does not check the range here either.
  const uint64_t offset = static_cast<uint64_t>(CurrentLocalOffset() * kTicksPerSecond);
  *localFileTime = ToFileTime(FromFileTime(*fileTime) + offset);
  return TRUE;
}

BOOL WINAPI LocalFileTimeToFileTime(const FILETIME* localFileTime, LPFILETIME fileTime) {
  if (fileTime == nullptr || localFileTime == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const uint64_t offset = static_cast<uint64_t>(CurrentLocalOffset() * kTicksPerSecond);
  *fileTime = ToFileTime(FromFileTime(*localFileTime) - offset);
  return TRUE;
}

void WINAPI GetSystemTimeAsFileTime(LPFILETIME fileTime) {
  struct timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  *fileTime = ToFileTime(static_cast<uint64_t>((now.tv_sec + kUnixEpochSeconds) * kTicksPerSecond +
                                               now.tv_nsec / 100));
}

void WINAPI GetSystemTime(LPSYSTEMTIME systemTime) {
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  FileTimeToSystemTime(&now, systemTime);
}

void WINAPI GetLocalTime(LPSYSTEMTIME systemTime) {
  FILETIME now;
  FILETIME local;
  GetSystemTimeAsFileTime(&now);
  FileTimeToLocalFileTime(&now, &local);
  FileTimeToSystemTime(&local, systemTime);
}

struct tm* _gmtime32(const __time32_t* time) {
  if (time == nullptr || *time < 0) {
    errno = EINVAL;
    return nullptr;
  }
  const time_t value = *time;
  return gmtime_r(&value, &t_time_buffer);
}

struct tm* _localtime32(const __time32_t* time) {
  if (time == nullptr || *time < 0) {
    errno = EINVAL;
    return nullptr;
  }
  const time_t value = *time;
  return localtime_r(&value, &t_time_buffer);
}

}  // extern "C"

__time32_t TQMktime32(struct tm* time) {
  if (time == nullptr) {
    errno = EINVAL;
    return -1;
  }
  int64_t result;
  if (time->tm_isdst < 0) {
    // Whether daylight time applies is the zone's rules' to decide.
    struct tm copy = *time;
    const time_t value = mktime(&copy);
    result = value;
  } else {
    // Standard time, and daylight time as one hour ahead of it whether or
    // not the zone has any: what the Microsoft run-time does.
    tzset();
    result = FieldsAsSeconds(*time) + timezone - (time->tm_isdst > 0 ? 3600 : 0);
  }
  if (result < 0 || result > INT32_MAX) {
    errno = EINVAL;
    return -1;
  }
  const time_t value = result;
  struct tm local;
  if (localtime_r(&value, &local) == nullptr) return -1;
  *time = local;
  return static_cast<__time32_t>(result);
}

__time32_t TQTime32(__time32_t* time) {
  const time_t now = ::time(nullptr);
  const __time32_t result = now >= 0 && now <= INT32_MAX ? static_cast<__time32_t>(now) : -1;
  if (time != nullptr) *time = result;
  return result;
}

size_t TQStrftime(char* buffer, size_t size, const char* format, const struct tm* time) {
  if (buffer == nullptr || format == nullptr || time == nullptr || size == 0) {
    errno = EINVAL;
    return 0;
  }
  std::string text;
  TimeFormatter formatter(*time);
  if (!formatter.Format(format, text) || text.size() + 1 > size) {
    buffer[0] = '\0';
    if (!text.empty()) errno = ERANGE;
    return 0;
  }
  memcpy(buffer, text.c_str(), text.size() + 1);
  return text.size();
}
