#include "tqrtl/time/TQTime.h"

#include <string.h>
#include <time.h>

#include <cstdint>

namespace {

std::int32_t FromCalendar(int year, int month, int day, int hour, int minute, int second, int dst) {
  struct tm fields;
  memset(&fields, 0, sizeof fields);
  fields.tm_year = year - 1900;
  fields.tm_mon = month - 1;
  fields.tm_mday = day;
  fields.tm_hour = hour;
  fields.tm_min = minute;
  fields.tm_sec = second;
  fields.tm_isdst = dst;
  return static_cast<std::int32_t>(TQMktime32(&fields));
}

std::int32_t FromSystemTime(const SYSTEMTIME& time, int dst) {
  if (time.wYear < 1900) return 0;
  return FromCalendar(time.wYear, time.wMonth, time.wDay, time.wHour, time.wMinute, time.wSecond,
                      dst);
}

// Copies the nine standard fields: the system's struct tm may have more,
// and those of `out` are the caller's.
struct tm* CopyTm(const struct tm* source, struct tm* out) {
  if (source == nullptr) return nullptr;
  if (out == nullptr) return const_cast<struct tm*>(source);
  out->tm_sec = source->tm_sec;
  out->tm_min = source->tm_min;
  out->tm_hour = source->tm_hour;
  out->tm_mday = source->tm_mday;
  out->tm_mon = source->tm_mon;
  out->tm_year = source->tm_year;
  out->tm_wday = source->tm_wday;
  out->tm_yday = source->tm_yday;
  out->tm_isdst = source->tm_isdst;
  return out;
}

// The text is formatted into a 128-byte area; longer texts give nothing.
TQString FormatFields(const struct tm* fields, const char* format) {
  if (fields == nullptr || format == nullptr) return TQString();
  char text[128];
  const size_t length = TQStrftime(text, sizeof text, format, fields);
  if (length == 0) return TQString();
  return TQString(text, static_cast<int>(length));
}

TQString LoadFormat(unsigned int id, HINSTANCE module) {
  TQString format;
  format.LoadStringA(id, module);
  return format;
}

// 32-bit arithmetic that wraps instead of overflowing.
std::int32_t Add(std::int32_t a, std::int32_t b) {
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(a) + static_cast<std::uint32_t>(b));
}
std::int32_t Subtract(std::int32_t a, std::int32_t b) {
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(a) - static_cast<std::uint32_t>(b));
}

}  // namespace

TQTime::TQTime(int year, int month, int day, int hour, int minute, int second, int dst)
    : m_time(FromCalendar(year, month, day, hour, minute, second, dst)) {}

TQTime::TQTime(unsigned short dosDate, unsigned short dosTime, int dst)
    : m_time(FromCalendar(((dosDate >> 9) & 0x7F) + 1980, (dosDate >> 5) & 0x0F, dosDate & 0x1F,
                          (dosTime >> 11) & 0x1F, (dosTime >> 5) & 0x3F, 2 * (dosTime & 0x1F),
                          dst)) {}

TQTime::TQTime(const SYSTEMTIME& time, int dst) : m_time(FromSystemTime(time, dst)) {}

TQTime::TQTime(const FILETIME& time, int dst) : m_time(0) {
  FILETIME local;
  SYSTEMTIME fields;
  if (FileTimeToLocalFileTime(&time, &local) && FileTimeToSystemTime(&local, &fields))
    m_time = FromSystemTime(fields, dst);
}

TQTime TQTime::GetTickCount() { return TQTime(static_cast<long>(TQTime32(nullptr))); }

struct tm* TQTime::GetGmtTm(struct tm* out) const {
  const __time32_t value = m_time;
  return CopyTm(_gmtime32(&value), out);
}

struct tm* TQTime::GetLocalTm(struct tm* out) const {
  const __time32_t value = m_time;
  return CopyTm(_localtime32(&value), out);
}

int TQTime::GetYear() const { return GetLocalTm()->tm_year + 1900; }
int TQTime::GetMonth() const { return GetLocalTm()->tm_mon + 1; }
int TQTime::GetDay() const { return GetLocalTm()->tm_mday; }
int TQTime::GetHour() const { return GetLocalTm()->tm_hour; }
int TQTime::GetMinute() const { return GetLocalTm()->tm_min; }
int TQTime::GetSecond() const { return GetLocalTm()->tm_sec; }
int TQTime::GetDayOfWeek() const { return GetLocalTm()->tm_wday + 1; }

TQTimeSpan TQTime::operator-(TQTime other) const {
  return TQTimeSpan(static_cast<long>(Subtract(m_time, other.m_time)));
}

TQTime TQTime::operator+(TQTimeSpan span) const {
  return TQTime(static_cast<long>(Add(m_time, static_cast<std::int32_t>(span.GetTotalSeconds()))));
}

TQTime TQTime::operator-(TQTimeSpan span) const {
  return TQTime(
      static_cast<long>(Subtract(m_time, static_cast<std::int32_t>(span.GetTotalSeconds()))));
}

const TQTime& TQTime::operator+=(TQTimeSpan span) {
  *this = *this + span;
  return *this;
}

const TQTime& TQTime::operator-=(TQTimeSpan span) {
  *this = *this - span;
  return *this;
}

TQString TQTime::Format(const char* format) const { return FormatFields(GetLocalTm(), format); }

TQString TQTime::FormatGmt(const char* format) const { return FormatFields(GetGmtTm(), format); }

TQString TQTime::Format(unsigned int id, HINSTANCE module) const {
  const TQString format = LoadFormat(id, module);
  return Format(static_cast<const char*>(format));
}

TQString TQTime::FormatGmt(unsigned int id, HINSTANCE module) const {
  const TQString format = LoadFormat(id, module);
  return FormatGmt(static_cast<const char*>(format));
}
