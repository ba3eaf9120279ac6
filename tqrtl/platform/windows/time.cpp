// Calendar time on Windows: msvcrt's own functions. _mktime32 and _time32
// are missing from the 64-bit import library, so their 64-bit forms do the
// work and a result past 2038-01-19 03:14:07 UTC becomes -1, as in the
// 32-bit functions.
#include <stdint.h>
#include <time.h>

#include "tqrtl/platform/win32.h"

__time32_t TQMktime32(struct tm* time) {
  const __time64_t result = _mktime64(time);
  return result >= 0 && result <= INT32_MAX ? static_cast<__time32_t>(result) : -1;
}

__time32_t TQTime32(__time32_t* time) {
  const __time64_t now = _time64(nullptr);
  const __time32_t result = now >= 0 && now <= INT32_MAX ? static_cast<__time32_t>(now) : -1;
  if (time != nullptr) *time = result;
  return result;
}

size_t TQStrftime(char* buffer, size_t size, const char* format, const struct tm* time) {
  return strftime(buffer, size, format, time);
}
