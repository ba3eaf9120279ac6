#include "tqrtl/time/TQTimeSpan.h"

#include <cstdint>

namespace {

// 32-bit arithmetic that wraps instead of overflowing.
std::int32_t Wrap(std::uint32_t value) { return static_cast<std::int32_t>(value); }

// The span text is built in a 128-byte area, as the tools have always had it.
constexpr int kMaxSpanText = 127;

}  // namespace

TQTimeSpan::TQTimeSpan(long days, int hours, int minutes, int seconds) {
  const std::uint32_t total_hours =
      static_cast<std::uint32_t>(hours) + 24u * static_cast<std::uint32_t>(days);
  const std::uint32_t total_minutes = static_cast<std::uint32_t>(minutes) + 60u * total_hours;
  m_span = Wrap(static_cast<std::uint32_t>(seconds) + 60u * total_minutes);
}

TQTimeSpan TQTimeSpan::operator+(TQTimeSpan other) const {
  return TQTimeSpan(static_cast<long>(
      Wrap(static_cast<std::uint32_t>(m_span) + static_cast<std::uint32_t>(other.m_span))));
}

TQTimeSpan TQTimeSpan::operator-(TQTimeSpan other) const {
  return TQTimeSpan(static_cast<long>(
      Wrap(static_cast<std::uint32_t>(m_span) - static_cast<std::uint32_t>(other.m_span))));
}

const TQTimeSpan& TQTimeSpan::operator+=(TQTimeSpan other) {
  *this = *this + other;
  return *this;
}

const TQTimeSpan& TQTimeSpan::operator-=(TQTimeSpan other) {
  *this = *this - other;
  return *this;
}

TQString TQTimeSpan::Format(const char* format) const {
  char text[kMaxSpanText + 1];
  int length = 0;
  const auto append = [&](const char* piece) {
    while (*piece != '\0' && length < kMaxSpanText) text[length++] = *piece++;
  };
  if (format != nullptr) {
    for (const char* p = format; *p != '\0' && length < kMaxSpanText; ++p) {
      if (*p != '%') {
        text[length++] = *p;
        continue;
      }
      char number[32];
      switch (*++p) {
        case '\0':
          --p;  // the loop ends at the NUL
          continue;
        case 'D':
          // LONG: %ld reads a 32-bit value on every system.
          wsprintfA(number, "%ld", static_cast<LONG>(GetDays()));
          break;
        case 'H':
          wsprintfA(number, "%02d", GetHours());
          break;
        case 'M':
          wsprintfA(number, "%02d", GetMinutes());
          break;
        case 'S':
          wsprintfA(number, "%02d", GetSeconds());
          break;
        default:
          number[0] = *p;
          number[1] = '\0';
          break;
      }
      append(number);
    }
  }
  return TQString(text, length);
}

TQString TQTimeSpan::Format(unsigned int id, HINSTANCE module) const {
  TQString format;
  if (!format.LoadStringA(id, module)) return TQString();
  return Format(static_cast<const char*>(format));
}
