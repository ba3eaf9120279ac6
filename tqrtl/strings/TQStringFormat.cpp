// TQStringFormat.cpp: TQString's printf-style formatting (Format, FormatX,
// FormatV, FormatMessageA) and the length estimate shared with
// StrUtil::FormattedSize.
//
// The C run-time does the formatting; the work here is sizing. The
// estimate fixes the buffer before anything is formatted, and it is what
// callers see in GetAllocLength(), so it follows its rules exactly even
// where they are generous (32 characters for any integer) or short (a huge
// %f). Formatting itself is always size-limited: _vsnprintf writes at most
// the reserved room, and when that was not enough _vscprintf measures the
// text and it is formatted again into a buffer of exactly that size.
#include "tqrtl/strings/TQString.h"

#include <climits>
#include <cstring>

#include "tqrtl/errors/TQException.h"
#include "tqrtl/strings/internal/format_estimate.h"

namespace StrUtil::internal {
namespace {

// The decimal number at `*cursor`, its digits passed over; 0 when there is
// none. Saturates at INT_MAX rather than overflowing.
long long ReadNumber(const char** cursor) {
  long long value = 0;
  const char* p = *cursor;
  while (*p >= '0' && *p <= '9') {
    if (value < INT_MAX) value = value * 10 + (*p - '0');
    ++p;
  }
  *cursor = p;
  return value < INT_MAX ? value : INT_MAX;
}

// The length of 16-bit wide text. Not wcslen: wchar_t is 32 bits on Linux.
long long WideLength(const WCHAR* text) {
  long long length = 0;
  while (text[length] != 0) ++length;
  return length;
}

long long Max(long long a, long long b) { return a > b ? a : b; }
long long Min(long long a, long long b) { return a < b ? a : b; }

}  // namespace

long long EstimateFormatLength(const char* format, va_list arguments) {
  va_list args;
  va_copy(args, arguments);
  long long total = 0;
  const char* p = format;
  while (*p != '\0') {
    if (*p != '%') {
      ++total;
      ++p;
      continue;
    }
    ++p;
    if (*p == '%') {
      ++total;
      ++p;
      continue;
    }

    // Flags; '*' among them takes the width from the arguments.
    long long width = 0;
    for (;; ++p) {
      if (*p == '#') {
        total += 2;  // room for a radix prefix such as 0x
      } else if (*p == '*') {
        width = va_arg(args, int);
      } else if (*p != '-' && *p != '+' && *p != '0' && *p != ' ') {
        break;
      }
    }
    if (width == 0) width = ReadNumber(&p);

    long long precision = 0;
    if (*p == '.') {
      ++p;
      if (*p == '*') {
        precision = va_arg(args, int);
        ++p;
      } else {
        precision = ReadNumber(&p);
      }
    }

    // One size modifier; only h and l matter, and only for text.
    bool narrow = false;
    bool wide = false;
    bool long_double = false;
    if (*p == 'h') {
      narrow = true;
      ++p;
    } else if (*p == 'l') {
      wide = true;
      ++p;
    } else if (*p == 'L') {
      long_double = true;
      ++p;
    } else if (*p == 'F' || *p == 'N') {
      ++p;
    }

    long long item = 0;
    bool text_like = false;
    switch (*p) {
      case 'c':
      case 'C':
        (void)va_arg(args, int);
        item = 2;
        text_like = true;
        break;
      case 's':
      case 'S': {
        const bool is_wide = wide || (*p == 'S' && !narrow);
        const void* text = va_arg(args, const void*);
        if (text == nullptr) {
          item = 6;  // "(null)"
        } else if (is_wide) {
          item = Max(1, WideLength(static_cast<const WCHAR*>(text)));
        } else {
          item = Max(1, static_cast<long long>(std::strlen(static_cast<const char*>(text))));
        }
        text_like = true;
        break;
      }
      case 'd':
      case 'i':
      case 'o':
      case 'u':
      case 'x':
      case 'X':
        (void)va_arg(args, int);
        item = Max(32, width + precision);
        break;
      case 'e':
      case 'f':
      case 'g':
      case 'G':
        // %Lf takes a long double, wider than a double on Linux; the Windows
        // run-time knows only the double.
#ifdef _WIN32
        (void)long_double;
        (void)va_arg(args, double);
#else
        if (long_double)
          (void)va_arg(args, long double);
        else
          (void)va_arg(args, double);
#endif
        item = Max(128, width + precision);
        break;
      case 'p':
        (void)va_arg(args, void*);
        item = Max(32, width + precision);
        break;
      case 'n':
        (void)va_arg(args, void*);
        break;
      default:
        break;  // outside the language: no argument, no room
    }
    if (text_like) {
      if (precision != 0) item = Min(item, precision);
      item = Max(item, width);
    }
    total += item;
    if (*p == '\0') break;  // the format ended inside the conversion
    ++p;
  }
  va_end(args);
  return total;
}

}  // namespace StrUtil::internal

namespace {

// Ends a started argument list when the scope ends, also when FormatV
// throws. (va_start itself must stay in the variadic function.)
class ArgumentsEnd {
 public:
  explicit ArgumentsEnd(va_list& arguments) : arguments_(arguments) {}
  ~ArgumentsEnd() { va_end(arguments_); }
  ArgumentsEnd(const ArgumentsEnd&) = delete;
  ArgumentsEnd& operator=(const ArgumentsEnd&) = delete;

 private:
  va_list& arguments_;
};

}  // namespace

void TQString::Format(const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  const ArgumentsEnd end(arguments);
  FormatV(format, arguments);
}

void TQString::FormatX(unsigned int id, HINSTANCE module, ...) {
  TQString format;
  format.LoadStringA(id, module);
  va_list arguments;
  va_start(arguments, module);
  const ArgumentsEnd end(arguments);
  FormatV(format, arguments);
}

void TQString::FormatV(const char* format, va_list arguments) {
  const long long estimate = StrUtil::internal::EstimateFormatLength(format, arguments);
  if (estimate > INT_MAX) throw TQMemoryException();
  char* buffer = GetBuffer(estimate > 0 ? static_cast<int>(estimate) : 0);

  // GetBuffer may have kept a larger private buffer; all of it is usable.
  // A room of 0 is the shared empty buffer, which must never be written.
  const int room = GetAllocLength();
  int written = -1;
  if (room > 0) {
    va_list args;
    va_copy(args, arguments);
    written = _vsnprintf(buffer, static_cast<size_t>(room) + 1, format, args);
    va_end(args);
    // The run-time returns -1 when the text was cut, and room + 1 (with no
    // NUL) when it filled the buffer exactly; both mean it did not fit.
    if (written >= 0 && written <= room) {
      ReleaseBuffer();
      return;
    }
  }

  va_list args;
  va_copy(args, arguments);
  const int needed = _vscprintf(format, args);
  va_end(args);
  if (needed <= room) {
    // Nothing more to gain: either the text is empty (room 0), or the
    // run-time reported an error, and then the string keeps what it wrote
    // before the error.
    if (room > 0) {
      buffer[room] = '\0';
      ReleaseBuffer();
    }
    return;
  }

  // The estimate fell short. Give up the partial text first, so that a
  // failing allocation leaves a valid (empty) string.
  if (room > 0) ReleaseBuffer(0);
  buffer = GetBuffer(needed);
  va_copy(args, arguments);
  _vsnprintf(buffer, static_cast<size_t>(needed) + 1, format, args);
  va_end(args);
  buffer[needed] = '\0';
  ReleaseBuffer();
}

void TQString::FormatMessageA(const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  char* text = nullptr;
  const DWORD length =
      ::FormatMessageA(FORMAT_MESSAGE_FROM_STRING | FORMAT_MESSAGE_ALLOCATE_BUFFER, format, 0, 0,
                       reinterpret_cast<LPSTR>(&text), 0, &arguments);
  const DWORD error = GetLastError();
  va_end(arguments);
  if (length == 0 || text == nullptr) {
    if (text != nullptr) ::LocalFree(text);
    throw TQSystemException(error);
  }
  try {
    AssignCopy(static_cast<int>(length), text);
  } catch (...) {
    ::LocalFree(text);
    throw;
  }
  ::LocalFree(text);
}
