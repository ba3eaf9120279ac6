// crt_format.h: the printf engine of the POSIX layer. Not installed.
//
// One engine formats for three families of Win32 functions, each with its own
// rules (PrintfDialect): the Microsoft C run-time's printf family
// (_vsnprintf and friends), the printf conversions inside FormatMessageA's
// "%1!...!" inserts, and user32's wsprintfA. It writes into a FormatSink,
// which stores what fits in a fixed buffer and counts the rest, so a caller
// learns the full length of any text without allocating for it; widths and
// precisions are never materialised, so "%2147483647d" costs no more than
// "%d".
//
// Where the three differ from glibc's printf (all of them checked against
// the Microsoft run-time as Wine implements it):
// - %p is upper-case hex zero-padded to the pointer width, without 0x.
// - Exponents have at least three digits: 1.234568e+004.
// - A null %s or %ls prints "(null)", which then takes width and precision
//   like any other text ("%.3s" gives "(nu").
// - Wide text is UTF-16 (WCHAR): %ls, %lc, %ws, %wc, and %S / %C unless
//   an h asks for narrow text. It is converted to UTF-8, the narrow code
//   page; width and precision count bytes of the converted text, and a
//   character is never cut in two.
// - Size prefixes: h (hh is the same), l (32-bit for integers, wide for
//   text), ll, I64, j, z, t and I before d/i/o/u/x/X (64-bit), I32, L (no
//   effect on integers or text), F and N (ignored).
// - %n consumes its pointer and prints nothing; it never writes.
// - An unknown conversion character prints itself; a conversion cut off by
//   the end of the format prints nothing.
// - Floating point is rounded half away from zero on the exact binary value
//   (%.0f of 0.5 is 1, of 2.5 is 3), infinities and NaNs print in the old
//   run-time's style (1.#INF00, -1.#IND00, 1.#QNAN0), and %a always shows
//   13 hex digits unless a precision is given.
//
// Thread-safety: every function here is reentrant.
#ifndef TQRTL_PLATFORM_POSIX_CRT_FORMAT_H_
#define TQRTL_PLATFORM_POSIX_CRT_FORMAT_H_

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "tqrtl/platform/win32.h"

namespace tqrtl::posix {

// FormatSink: where formatted text goes. The first `capacity` bytes are
// stored in `buffer` (which may be null when capacity is 0); the rest is
// only counted. No NUL is ever added.
class FormatSink {
 public:
  FormatSink(char* buffer, size_t capacity)
      : buffer_(buffer), capacity_(buffer != nullptr ? capacity : 0) {}

  void Put(char c) {
    if (length_ < capacity_) buffer_[length_] = c;
    Count(1);
  }
  void Write(const char* text, size_t count);
  void Fill(char c, size_t count);

  // length: the full length of everything written so far, stored or not;
  // it saturates at SIZE_MAX instead of wrapping.
  size_t length() const { return length_; }
  // stored: how many bytes are in the buffer.
  size_t stored() const { return length_ < capacity_ ? length_ : capacity_; }

 private:
  void Count(size_t count) { length_ = count > SIZE_MAX - length_ ? SIZE_MAX : length_ + count; }

  char* buffer_;
  size_t capacity_;
  size_t length_ = 0;
};

// PrintfArguments: where the engine takes the values of conversions from,
// in order. A 32-bit integer conversion calls NextInt, a 64-bit one
// NextInt64, %s, %p and %n call NextPointer, and floating point NextDouble
// (with the L prefix NextLongDouble: the caller passed a long double, which
// is wider than a double on Linux; the run-time prints it as a double, the
// only long double it knows).
class PrintfArguments {
 public:
  virtual int32_t NextInt() = 0;
  virtual int64_t NextInt64() = 0;
  virtual double NextDouble() = 0;
  virtual double NextLongDouble() { return NextDouble(); }
  virtual const void* NextPointer() = 0;

 protected:
  ~PrintfArguments() = default;
};

// VaListArguments: the arguments of a va_list, read with va_arg. The
// va_list is advanced in place.
class VaListArguments final : public PrintfArguments {
 public:
  explicit VaListArguments(va_list* list) : list_(list) {}
  int32_t NextInt() override { return va_arg(*list_, int32_t); }
  int64_t NextInt64() override { return va_arg(*list_, int64_t); }
  double NextDouble() override { return va_arg(*list_, double); }
  double NextLongDouble() override { return static_cast<double>(va_arg(*list_, long double)); }
  const void* NextPointer() override { return va_arg(*list_, const void*); }

 private:
  va_list* list_;
};

enum class PrintfDialect {
  // The Microsoft C run-time (msvcrt): the whole language above.
  kCrt,
  // The printf format of a FormatMessageA insert: as kCrt, but floating
  // point conversions are unknown characters (they print themselves and take
  // no argument), as in the system's message formatter.
  kMessageInsert,
  // user32's wsprintfA: flags '-', '#' and '0'; a width and a precision, but
  // no '*'; prefixes l, h and I64; conversions c C d i u x X s S p and %%.
  // '#' gives 0x even for zero, and the 0x does not count towards the width.
  // A precision of 0 does not hide a zero nor limit a string. An unknown
  // conversion pads to the width (unless left-aligned) and is then copied
  // as text from its character on, so "%f" prints "f".
  kUser32,
};

// FormatPrintf: formats `format` with the rules of `dialect`, taking
// conversion values from `arguments`, into `sink`. The format ends at the
// end of the view or at a NUL, whichever comes first; nothing beyond is read.
// Returns false only in kCrt when a wide text holds an unpaired surrogate,
// which UTF-8 cannot hold: the run-time's functions then return -1.
// REQUIRES: `arguments` supplies a value of the right kind for every
// conversion, as for any printf.
TQRTL_API bool FormatPrintf(PrintfDialect dialect, std::string_view format,
                            PrintfArguments& arguments, FormatSink& sink);

// FormatInsertSpec: formats the printf conversion of a FormatMessageA
// insert, `conv` being the text between the exclamation marks ("08x" of
// "%1!08x!"), as if it were preceded by '%'. kMessageInsert rules.
void FormatInsertSpec(std::string_view conv, PrintfArguments& arguments, FormatSink& sink);

}  // namespace tqrtl::posix

#endif  // TQRTL_PLATFORM_POSIX_CRT_FORMAT_H_
