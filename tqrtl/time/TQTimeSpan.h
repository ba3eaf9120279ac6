// TQTimeSpan.h: TQTimeSpan, a signed difference between two times in whole
// seconds.
//
// The count is 32 bits wide on every system; arithmetic on it wraps as
// 32-bit arithmetic does. Components (days, hours, minutes, seconds) are
// taken by division that truncates toward zero, so every component of a
// negative span is 0 or negative: -90 seconds is -1 minute and -30 seconds.
//
// Thread-safety: a value type; distinct objects may be used from distinct
// threads, and one object may be read from several threads at once.
#ifndef TQRTL_TIME_TQTIMESPAN_H_
#define TQRTL_TIME_TQTIMESPAN_H_

#include <cstdint>

#include "tqrtl/platform/win32.h"
#include "tqrtl/strings/TQString.h"

class TQRTL_API TQTimeSpan {
 public:
  // TQTimeSpan: leaves the count unset, as a plain integer would be.
  TQTimeSpan() {}
  // TQTimeSpan: `seconds`, kept to 32 bits.
  TQTimeSpan(long seconds) : m_span(static_cast<std::int32_t>(seconds)) {}
  // TQTimeSpan: seconds + 60 * (minutes + 60 * (hours + 24 * days)), computed
  // in 32-bit arithmetic.
  TQTimeSpan(long days, int hours, int minutes, int seconds);
  TQTimeSpan(const TQTimeSpan& other) = default;
  TQTimeSpan& operator=(const TQTimeSpan& other) = default;

  // The whole span in days, hours, minutes or seconds, and the component
  // within the next larger unit (GetHours is 0..23 for a positive span).
  long GetDays() const { return m_span / 86400; }
  long GetTotalHours() const { return m_span / 3600; }
  int GetHours() const { return static_cast<int>(GetTotalHours() - 24 * GetDays()); }
  long GetTotalMinutes() const { return m_span / 60; }
  int GetMinutes() const { return static_cast<int>(GetTotalMinutes() - 60 * GetTotalHours()); }
  long GetTotalSeconds() const { return m_span; }
  int GetSeconds() const { return static_cast<int>(GetTotalSeconds() - 60 * GetTotalMinutes()); }

  TQTimeSpan operator+(TQTimeSpan other) const;
  TQTimeSpan operator-(TQTimeSpan other) const;
  const TQTimeSpan& operator+=(TQTimeSpan other);
  const TQTimeSpan& operator-=(TQTimeSpan other);

  // Comparisons of the signed counts: 1 or 0.
  int operator==(TQTimeSpan other) const { return m_span == other.m_span ? 1 : 0; }
  int operator!=(TQTimeSpan other) const { return m_span != other.m_span ? 1 : 0; }
  int operator<(TQTimeSpan other) const { return m_span < other.m_span ? 1 : 0; }
  int operator>(TQTimeSpan other) const { return m_span > other.m_span ? 1 : 0; }
  int operator<=(TQTimeSpan other) const { return m_span <= other.m_span ? 1 : 0; }
  int operator>=(TQTimeSpan other) const { return m_span >= other.m_span ? 1 : 0; }

  // Format: `format` with its codes replaced: %D the days ("%ld"), %H the
  // hours, %M the minutes and %S the seconds (each "%02d", so -30 seconds
  // is "-30"); % and any other character gives that character (%% is one
  // %, %d is "d"). A lone trailing % ends the text. The result is cut at
  // 127 characters. A null or empty format gives the empty string.
  TQString Format(const char* format) const;
  // Format: the same with string resource `id` of `module` as the format;
  // the empty string when the resource is missing or empty.
  TQString Format(unsigned int id, HINSTANCE module) const;

 private:
  std::int32_t m_span;
};

#endif  // TQRTL_TIME_TQTIMESPAN_H_
