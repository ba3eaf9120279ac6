// TQTime.h: TQTime, an absolute calendar time in whole seconds.
//
// The value is a signed 32-bit count of seconds since 1970-01-01 00:00:00
// UTC on every system, so the times it holds run from 1970 to 2038-01-19
// 03:14:07 UTC; conversions give -1 (from the calendar fields) or 0 (from
// a SYSTEMTIME before 1900 or a file time that does not convert) instead of
// reporting failure. Calendar fields and text are those of the process's
// time zone (TZ), or of UTC for the *Gmt members, by the C run-time's
// 32-bit time functions with the Microsoft run-time's results (see
// TQMktime32 and TQStrftime in tqrtl/platform/tqplatform.h).
//
// Thread-safety: a value type; distinct objects may be used from distinct
// threads, and one object may be read from several threads at once.
// GetGmtTm and GetLocalTm without an output return a buffer of the calling
// thread, which the next conversion on that thread overwrites.
#ifndef TQRTL_TIME_TQTIME_H_
#define TQRTL_TIME_TQTIME_H_

#include <cstdint>

#include "tqrtl/platform/win32.h"
#include "tqrtl/strings/TQString.h"
#include "tqrtl/time/TQTimeSpan.h"

class TQRTL_API TQTime {
 public:
  // TQTime: leaves the value unset, as a plain integer would be.
  TQTime() {}
  // TQTime, operator=: the given count of seconds, kept to 32 bits.
  TQTime(long time) : m_time(static_cast<std::int32_t>(time)) {}
  const TQTime& operator=(long time) {
    m_time = static_cast<std::int32_t>(time);
    return *this;
  }
  TQTime(const TQTime& other) = default;
  TQTime& operator=(const TQTime& other) = default;

  // TQTime: the local time year-month-day hour:minute:second (month 1-12).
  // `dst` > 0 takes it as daylight time, 0 as standard time, < 0 lets the
  // time zone decide. Fields out of range carry over (January 32 is
  // February 1). -1 when the time lies outside the range.
  TQTime(int year, int month, int day, int hour, int minute, int second, int dst);
  // TQTime: an MS-DOS packed date (bits 9-15 years since 1980, 5-8 month,
  // 0-4 day) and time (bits 11-15 hour, 5-10 minute, 0-4 seconds / 2), as
  // local time, then as the calendar constructor.
  TQTime(unsigned short dosDate, unsigned short dosTime, int dst);
  // TQTime: the calendar constructor with the date and time of `time`
  // (wDayOfWeek and wMilliseconds are ignored); 0 when wYear < 1900.
  TQTime(const SYSTEMTIME& time, int dst);
  // TQTime: a UTC file time, converted to local time by the system, then
  // as the SYSTEMTIME constructor; 0 when a conversion fails.
  TQTime(const FILETIME& time, int dst);

  // GetTickCount: the current time (seconds, not milliseconds).
  static TQTime GetTickCount();

  long GetTime() const { return m_time; }

  // GetGmtTm / GetLocalTm: the calendar fields of the value in UTC or local
  // time. With `out` null returns the C run-time's shared buffer, otherwise
  // copies the nine standard fields into `out` and returns `out`. Null when
  // the value does not convert (a negative value).
  struct tm* GetGmtTm(struct tm* out = nullptr) const;
  struct tm* GetLocalTm(struct tm* out = nullptr) const;

  // Local calendar fields: year (e.g. 2024), month 1-12, day 1-31, hour,
  // minute, second, day of week 1 (Sunday) to 7 (Saturday).
  // REQUIRES: a value GetLocalTm converts (not negative).
  int GetYear() const;
  int GetMonth() const;
  int GetDay() const;
  int GetHour() const;
  int GetMinute() const;
  int GetSecond() const;
  int GetDayOfWeek() const;

  // Arithmetic on the seconds count, wrapping as 32-bit arithmetic does.
  TQTimeSpan operator-(TQTime other) const;
  TQTime operator+(TQTimeSpan span) const;
  TQTime operator-(TQTimeSpan span) const;
  const TQTime& operator+=(TQTimeSpan span);
  const TQTime& operator-=(TQTimeSpan span);

  // Comparisons of the signed counts: 1 or 0.
  int operator==(TQTime other) const { return m_time == other.m_time ? 1 : 0; }
  int operator!=(TQTime other) const { return m_time != other.m_time ? 1 : 0; }
  int operator<(TQTime other) const { return m_time < other.m_time ? 1 : 0; }
  int operator>(TQTime other) const { return m_time > other.m_time ? 1 : 0; }
  int operator<=(TQTime other) const { return m_time <= other.m_time ? 1 : 0; }
  int operator>=(TQTime other) const { return m_time >= other.m_time ? 1 : 0; }

  // Format / FormatGmt: the local time or UTC as text by the strftime codes
  // (TQStrftime). The empty string when the value does not convert, when
  // the text is empty or 128 characters or longer, or when the format has
  // an unknown code.
  TQString Format(const char* format) const;
  TQString FormatGmt(const char* format) const;
  // The same with string resource `id` of `module` as the format.
  TQString Format(unsigned int id, HINSTANCE module) const;
  TQString FormatGmt(unsigned int id, HINSTANCE module) const;

 private:
  std::int32_t m_time;
};

#endif  // TQRTL_TIME_TQTIME_H_
