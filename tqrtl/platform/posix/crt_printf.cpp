// The printf engine (crt_format.h) and the functions built on it: the C
// run-time's _vsnprintf, _snprintf and _vscprintf and user32's wsprintfA and
// wvsprintfA.
//
// The engine parses each conversion into a ConvSpec, fetches its value and hands
// it to one emitter per kind (integer, pointer, text, floating point). Every
// emitter first computes the length of what it will print, then writes the
// padding and the pieces; runs of padding or of zeros go to the sink as
// counts, so a huge width or precision costs nothing.
//
// Floating point digits come from glibc's exact conversion (printf with
// enough digits is exact in glibc), and are then rounded here, half away
// from zero as the Microsoft run-time does, and laid out in its style.
#include <stdio.h>
#include <string.h>

#include <climits>
#include <cmath>
#include <cstdint>

#include "tqrtl/platform/posix/crt_format.h"
#include "tqrtl/platform/posix/internal.h"
#include "tqrtl/platform/posix/unicode.h"

namespace tqrtl::posix {

// Most pieces are a few characters (a number, a sign, the text between two
// conversions), which a loop stores sooner than a call to memcpy would.
constexpr size_t kShortPiece = 16;

void FormatSink::Write(const char* text, size_t count) {
  if (length_ < capacity_) {
    const size_t room = capacity_ - length_;
    const size_t stored = count < room ? count : room;
    char* target = buffer_ + length_;
    if (stored <= kShortPiece) {
      for (size_t i = 0; i < stored; ++i) target[i] = text[i];
    } else {
      memcpy(target, text, stored);
    }
  }
  Count(count);
}

void FormatSink::Fill(char c, size_t count) {
  if (count == 0) return;
  if (length_ < capacity_) {
    const size_t room = capacity_ - length_;
    memset(buffer_ + length_, c, count < room ? count : room);
  }
  Count(count);
}

namespace {

constexpr int kPointerDigits = static_cast<int>(2 * sizeof(void*));

// One conversion specification.
struct ConvSpec {
  bool left = false;
  bool plus = false;
  bool space = false;
  bool alt = false;
  bool zero = false;
  bool anything = false;  // a flag, width, precision or prefix was given
  int width = 0;
  int precision = -1;  // -1: none given
  enum IntSize { kIntDefault, kIntShort, kInt64 } int_size = kIntDefault;
  enum TextWidth { kTextNatural, kTextNarrow, kTextWide } text_width = kTextNatural;
  bool long_double = false;  // L: a floating point argument is a long double
  char conversion = 0;
};

size_t Pad(const ConvSpec& conv, size_t length) {
  const size_t width = static_cast<size_t>(conv.width);
  return width > length ? width - length : 0;
}

// Adds decimal digit `c` to a width or precision, saturating at INT_MAX.
int AddDigit(int value, char c) {
  const int digit = c - '0';
  return value > (INT_MAX - digit) / 10 ? INT_MAX : value * 10 + digit;
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// ---------------------------------------------------------------------------
// Exact decimal digits of a double.

// A double's exact decimal expansion has at most 767 significant digits, so
// glibc printing this many is exact, with zeros after the expansion ends.
constexpr int kExactDigits = 780;
// Extra digits asked of glibc beyond the rounding position. Unless they read
// 5000... or 4999..., they decide the rounding on their own; otherwise the
// value's exact digits do.
constexpr int kGuardDigits = 3;
// 10^-22 ... 10^22, to estimate decimal exponents.
constexpr int kPowerRange = 22;
constexpr double kPowersOfTen[2 * kPowerRange + 1] = {
    1e-22, 1e-21, 1e-20, 1e-19, 1e-18, 1e-17, 1e-16, 1e-15, 1e-14, 1e-13, 1e-12, 1e-11,
    1e-10, 1e-9,  1e-8,  1e-7,  1e-6,  1e-5,  1e-4,  1e-3,  1e-2,  1e-1,  1e0,   1e1,
    1e2,   1e3,   1e4,   1e5,   1e6,   1e7,   1e8,   1e9,   1e10,  1e11,  1e12,  1e13,
    1e14,  1e15,  1e16,  1e17,  1e18,  1e19,  1e20,  1e21,  1e22};
// Digits that fix the decimal exponent a fixed-point rounding starts from.
constexpr int kExponentDigits = 20;

struct Digits {
  char d[kExactDigits];  // the digits; those at count and beyond are zeros
  int count = 0;
  int exponent = 0;  // value = d[0].d[1]d[2]... x 10^exponent
  bool zero = false;

  char At(long long index) const { return index >= 0 && index < count ? d[index] : '0'; }
};

// Prints |value| (finite, non-zero) with `digits` significant digits through
// glibc, as "d.ddd...e+X", and extracts the digits and the exponent.
void PrintDigits(double value, int digits, Digits* out) {
  char text[kExactDigits + 32];
  snprintf(text, sizeof(text), "%.*e", digits - 1, std::fabs(value));
  int count = 0;
  const char* p = text;
  // The decimal point is the process locale's, so skip whatever is not a digit.
  for (; *p != '\0' && *p != 'e'; ++p)
    if (IsDigit(*p) && count < kExactDigits) out->d[count++] = *p;
  out->count = count;
  out->exponent = *p == 'e' ? atoi(p + 1) : 0;
}

bool NearTie(const char* tail, int count) {
  if (count < 2) return true;
  const char first = tail[0];
  if (first != '5' && first != '4') return false;
  const char rest = first == '5' ? '0' : '9';
  for (int i = 1; i < count; ++i)
    if (tail[i] != rest) return false;
  return true;
}

// Whether the `count` characters at `text` are all `c`.
bool Repeats(const char* text, int count, char c) {
  for (int i = 0; i < count; ++i)
    if (text[i] != c) return false;
  return true;
}

// How many significant digits printing |value| (finite, non-zero) takes to be
// exact, at most: `exponent` is the decimal exponent glibc printed for it,
// one too high when its digits were rounded up into the next power of ten.
// A value m x 2^-k with m odd has exactly k digits after the point.
int ExactDigits(double value, int exponent) {
  uint64_t bits;
  memcpy(&bits, &value, sizeof(bits));
  const int biased = static_cast<int>((bits >> 52) & 0x7FF);
  uint64_t mantissa = bits & ((uint64_t{1} << 52) - 1);
  int binary = biased == 0 ? -1074 : biased - 1075;
  if (biased != 0) mantissa |= uint64_t{1} << 52;
  while ((mantissa & 1) == 0) {
    mantissa >>= 1;
    ++binary;
  }
  const long long digits = static_cast<long long>(exponent) + 1 + (binary < 0 ? -binary : 0);
  return digits < 1 ? 1 : digits > kExactDigits ? kExactDigits : static_cast<int>(digits);
}

// Rounds the digits of |value| in `out`, printed by glibc with `asked`
// significant digits, to `significant` (>= 1) of them. REQUIRES: `asked` is
// at least significant + 2, or kExactDigits.
void RoundPrinted(double value, long long significant, int asked, Digits* out) {
  if (significant >= out->count) return;  // exact already
  const int sig = static_cast<int>(significant);
  if (NearTie(out->d + sig, out->count - sig)) {
    const int exact = ExactDigits(value, out->exponent);
    if (exact > asked) PrintDigits(value, exact, out);
  }
  const bool up = out->d[sig] >= '5';
  out->count = sig;
  if (!up) return;
  int i = sig - 1;
  while (i >= 0 && out->d[i] == '9') out->d[i--] = '0';
  if (i >= 0) {
    ++out->d[i];
  } else {
    out->d[0] = '1';
    ++out->exponent;
  }
}

void ZeroDigits(Digits* out) {
  out->d[0] = '0';
  out->count = 1;
  out->exponent = 0;
  out->zero = true;
}

// Rounds |value| to `significant` (>= 1) significant digits.
void RoundToSignificant(double value, long long significant, Digits* out) {
  if (value == 0) return ZeroDigits(out);
  const int asked = significant + kGuardDigits < kExactDigits
                        ? static_cast<int>(significant + kGuardDigits)
                        : kExactDigits;
  PrintDigits(value, asked, out);
  RoundPrinted(value, significant, asked, out);
}

// Stores the decimal digits of `value` (> 0) in `out`, for a number whose
// last digit is `decimals` places after the point.
void StoreDigits(uint64_t value, int decimals, Digits* out) {
  char reversed[20];
  int count = 0;
  for (; value != 0; value /= 10) reversed[count++] = static_cast<char>('0' + value % 10);
  for (int i = 0; i < count; ++i) out->d[i] = reversed[count - 1 - i];
  out->count = count;
  out->exponent = count - 1 - decimals;
  out->zero = false;
}

// The largest number of places that RoundToDecimalsExactly takes: 10^19 is
// the largest power of ten below 2^64.
constexpr int kExactPlaces = 19;
constexpr uint64_t kPowersOfTenInt[kExactPlaces + 1] = {1,
                                                        10,
                                                        100,
                                                        1000,
                                                        10000,
                                                        100000,
                                                        1000000,
                                                        10000000,
                                                        100000000,
                                                        1000000000,
                                                        10000000000,
                                                        100000000000,
                                                        1000000000000,
                                                        10000000000000,
                                                        100000000000000,
                                                        1000000000000000,
                                                        10000000000000000,
                                                        100000000000000000,
                                                        1000000000000000000,
                                                        10000000000000000000u};

// Rounds |value| (finite, non-zero) to `decimals` places in integer
// arithmetic, for the common case of a few places and a value whose rounded
// digits fit 64 bits: |value| = m x 2^b with m < 2^53, so |value| x 10^decimals
// = m x 10^decimals / 2^-b is a 117-bit quotient whose remainder decides the
// rounding, half away from zero, exactly. Returns false, with `out`
// untouched, when the value or the places are beyond that.
bool RoundToDecimalsExactly(double value, int decimals, Digits* out) {
  if (decimals > kExactPlaces) return false;
  uint64_t bits;
  memcpy(&bits, &value, sizeof(bits));
  const int biased = static_cast<int>((bits >> 52) & 0x7FF);
  uint64_t mantissa = bits & ((uint64_t{1} << 52) - 1);
  const int binary = biased == 0 ? -1074 : biased - 1075;
  if (biased != 0) mantissa |= uint64_t{1} << 52;
  if (binary >= 0) {
    // A whole number: its digits, then zeros for the places.
    if (binary > 11) return false;  // beyond 64 bits
    StoreDigits(mantissa << binary, 0, out);
    return true;
  }
  const int shift = -binary;
  if (shift >= 128) {
    // Below 2^53 x 2^-128, which even 10^19 leaves far below one half.
    ZeroDigits(out);
    return true;
  }
  using Wide = unsigned __int128;
  const Wide scaled = static_cast<Wide>(mantissa) * kPowersOfTenInt[decimals];
  Wide units = scaled >> shift;
  const Wide remainder = scaled - (units << shift);
  if (remainder >= (static_cast<Wide>(1) << (shift - 1))) ++units;
  if (units > UINT64_MAX) return false;
  if (units == 0) {
    ZeroDigits(out);
  } else {
    StoreDigits(static_cast<uint64_t>(units), decimals, out);
  }
  return true;
}

// Rounds |value| to `decimals` (>= 0) places after the point. The number of
// significant digits that makes follows from the exponent of |value| rounded
// to kExponentDigits digits.
void RoundToDecimals(double value, int decimals, Digits* out) {
  if (value == 0) return ZeroDigits(out);
  if (RoundToDecimalsExactly(value, decimals, out)) return;
  // |value| >= 2^(binary - 1), so its decimal exponent is `low` or low + 1;
  // a power of ten tells which, near enough (an estimate one too low still
  // leaves two guard digits). One print then serves both to find the
  // exponent and to round.
  int binary;
  std::frexp(value, &binary);
  long long exponent = static_cast<long long>(std::floor((binary - 1) * 0.30102999566398120));
  if (exponent + 1 < -kPowerRange || exponent + 1 > kPowerRange ||
      std::fabs(value) >= kPowersOfTen[exponent + 1 + kPowerRange])
    ++exponent;
  const long long most = exponent + 1 + decimals + kGuardDigits;
  int asked = most < 2 ? 2 : most < kExactDigits ? static_cast<int>(most) : kExactDigits;
  PrintDigits(value, asked, out);
  if (asked <= kExponentDigits) {
    // A shorter print has the exponent of kExponentDigits digits unless it
    // may have been rounded up into the next power of ten: all nines, or a
    // one and zeros. Then ask for more.
    const bool nines = Repeats(out->d, asked, '9');
    if (nines || (out->d[0] == '1' && Repeats(out->d + 1, asked - 1, '0'))) {
      asked = kExponentDigits + 1;
      PrintDigits(value, asked, out);
    }
  }
  // A longer print has the exponent of kExponentDigits digits unless those
  // are all nines, which the shorter rounding may carry into the next power
  // of ten.
  if (asked > kExponentDigits && Repeats(out->d, kExponentDigits, '9')) {
    asked = kExponentDigits;
    PrintDigits(value, asked, out);
  }
  const long long significant = static_cast<long long>(out->exponent) + 1 + decimals;
  if (significant > 0) {
    if (asked >= significant + 2 || asked == kExactDigits)
      return RoundPrinted(value, significant, asked, out);
    return RoundToSignificant(value, significant, out);
  }
  bool up = false;
  if (significant == 0) {
    // The value lies below one unit of the last place: it rounds to that unit
    // or to zero, depending on its first digit.
    if (NearTie(out->d, out->count)) {
      const int exact = ExactDigits(value, out->exponent);
      if (exact > asked) PrintDigits(value, exact, out);
    }
    up = out->d[0] >= '5';
  }
  if (up) {
    out->d[0] = '1';
    out->count = 1;
    out->exponent = -decimals;
  } else {
    ZeroDigits(out);
  }
}

// Writes digits [from, to) of `digits` (zeros outside the stored ones).
void WriteDigits(const Digits& digits, long long from, long long to, FormatSink& sink) {
  if (from >= to) return;
  if (from < 0) {
    const long long zeros = (to < 0 ? to : 0) - from;
    sink.Fill('0', static_cast<size_t>(zeros));
    from += zeros;
  }
  const long long stored_end = to < digits.count ? to : digits.count;
  if (from < stored_end) {
    sink.Write(digits.d + from, static_cast<size_t>(stored_end - from));
    from = stored_end;
  }
  if (from < to) sink.Fill('0', static_cast<size_t>(to - from));
}

// ---------------------------------------------------------------------------
// The formatter.

class Formatter {
 public:
  Formatter(PrintfDialect dialect, PrintfArguments& arguments, FormatSink& sink)
      : dialect_(dialect), args_(arguments), sink_(sink) {}

  // Formats `format`; when `in_spec` is true, the format starts right after
  // a '%'. Returns false when the output failed (see FormatPrintf).
  bool Run(std::string_view format, bool in_spec) {
    const char* p = format.data();
    const char* end = p + format.size();
    if (in_spec) p = Conversion(p, end);
    while (p < end && *p != '\0' && ok_) {
      if (*p != '%') {
        const char* run = p;
        while (p < end && *p != '\0' && *p != '%') ++p;
        sink_.Write(run, static_cast<size_t>(p - run));
        continue;
      }
      p = Conversion(p + 1, end);
    }
    return ok_;
  }

 private:
  bool Crt() const { return dialect_ != PrintfDialect::kUser32; }
  bool More(const char* p, const char* end) const { return p < end && *p != '\0'; }

  // Parses and prints one conversion starting after its '%'; returns where
  // the text after it starts.
  const char* Conversion(const char* p, const char* end) {
    ConvSpec conv;
    p = Crt() ? ParseCrt(p, end, &conv) : ParseUser32(p, end, &conv);
    if (!More(p, end)) return p;  // cut off by the end: prints nothing
    conv.conversion = *p;
    if (!Print(conv)) {
      // user32 copies an unknown conversion as text, from its character on.
      if (!conv.left) sink_.Fill(' ', static_cast<size_t>(conv.width));
      return p;
    }
    return p + 1;
  }

  const char* ParseCrt(const char* p, const char* end, ConvSpec* conv) {
    for (; More(p, end); ++p) {
      if (*p == '-')
        conv->left = true;
      else if (*p == '+')
        conv->plus = true;
      else if (*p == ' ')
        conv->space = true;
      else if (*p == '#')
        conv->alt = true;
      else if (*p == '0')
        conv->zero = true;
      else
        break;
      conv->anything = true;
    }
    if (More(p, end) && *p == '*') {
      const int width = args_.NextInt();
      if (width < 0) {
        conv->left = true;
        conv->width = width == INT_MIN ? INT_MAX : -width;
      } else {
        conv->width = width;
      }
      conv->anything = true;
      ++p;
    } else {
      for (; More(p, end) && IsDigit(*p); ++p) {
        conv->width = AddDigit(conv->width, *p);
        conv->anything = true;
      }
    }
    if (More(p, end) && *p == '.') {
      conv->anything = true;
      ++p;
      if (More(p, end) && *p == '*') {
        const int precision = args_.NextInt();
        conv->precision = precision < 0 ? -1 : precision;
        ++p;
      } else {
        conv->precision = 0;
        for (; More(p, end) && IsDigit(*p); ++p) conv->precision = AddDigit(conv->precision, *p);
      }
    }
    for (; More(p, end); ++p) {
      const char c = *p;
      if (c == 'h') {
        conv->int_size = ConvSpec::kIntShort;
        conv->text_width = ConvSpec::kTextNarrow;
      } else if (c == 'l') {
        if (p + 1 < end && p[1] == 'l') {
          conv->int_size = ConvSpec::kInt64;
          ++p;
        } else if (conv->int_size == ConvSpec::kIntShort) {
          conv->int_size = ConvSpec::kIntDefault;
        }
        conv->text_width = ConvSpec::kTextWide;
      } else if (c == 'w') {
        conv->text_width = ConvSpec::kTextWide;
      } else if (c == 'j' || c == 'z' || c == 't') {
        conv->int_size = ConvSpec::kInt64;
      } else if (c == 'L') {
        conv->long_double = true;
      } else if (c == 'F' || c == 'N') {
        // The old far and near: nothing here.
      } else if (c == 'I') {
        const char next = p + 1 < end ? p[1] : '\0';
        const char after = p + 2 < end ? p[2] : '\0';
        if (next == '6' && after == '4') {
          conv->int_size = ConvSpec::kInt64;
          p += 2;
        } else if (next == '3' && after == '2') {
          conv->int_size = ConvSpec::kIntDefault;
          p += 2;
        } else if (next != '\0' && strchr("diouxX", next) != nullptr) {
          conv->int_size = sizeof(void*) == 8 ? ConvSpec::kInt64 : ConvSpec::kIntDefault;
        } else if (next == '\0' || IsDigit(next)) {
          break;  // 'I' is then the conversion character itself
        }
        // Otherwise the I is ignored.
      } else {
        break;
      }
      conv->anything = true;
    }
    return p;
  }

  const char* ParseUser32(const char* p, const char* end, ConvSpec* conv) {
    for (; More(p, end); ++p) {
      if (*p == '-')
        conv->left = true;
      else if (*p == '#')
        conv->alt = true;
      else if (*p == '0')
        conv->zero = true;
      else
        break;
    }
    for (; More(p, end) && IsDigit(*p); ++p) conv->width = AddDigit(conv->width, *p);
    if (More(p, end) && *p == '.') {
      ++p;
      int precision = 0;
      for (; More(p, end) && IsDigit(*p); ++p) precision = AddDigit(precision, *p);
      // A precision of 0 means none.
      conv->precision = precision > 0 ? precision : -1;
    }
    if (More(p, end) && *p == 'l') {
      conv->text_width = ConvSpec::kTextWide;
      ++p;
    } else if (More(p, end) && *p == 'h') {
      conv->text_width = ConvSpec::kTextNarrow;
      ++p;
    } else if (p + 2 < end && p[0] == 'I' && p[1] == '6' && p[2] == '4') {
      conv->int_size = ConvSpec::kInt64;
      p += 3;
    }
    return p;
  }

  // Prints one conversion. Returns false for a character the dialect does
  // not know.
  bool Print(const ConvSpec& conv) {
    const char c = conv.conversion;
    const bool user32 = dialect_ == PrintfDialect::kUser32;
    switch (c) {
      case 'd':
      case 'i':
        SignedInteger(conv);
        return true;
      case 'u':
      case 'x':
      case 'X':
        UnsignedInteger(conv, c == 'u' ? 10 : 16);
        return true;
      case 'o':
        if (user32) return false;
        UnsignedInteger(conv, 8);
        return true;
      case 'p':
        Pointer(conv);
        return true;
      case 'c':
      case 'C':
        Character(conv, WideText(conv, c == 'C'));
        return true;
      case 's':
      case 'S':
        String(conv, WideText(conv, c == 'S'));
        return true;
      case 'n':
        if (user32) return false;
        args_.NextPointer();  // never written through
        return true;
      case '%':
        if (user32) {
          if (conv.anything || conv.width != 0 || conv.left || conv.alt || conv.zero) return false;
        } else if (conv.anything) {
          return true;  // the run-time prints nothing for "%5%"
        }
        sink_.Put('%');
        return true;
      case 'e':
      case 'E':
      case 'f':
      case 'g':
      case 'G':
      case 'a':
      case 'A':
        if (dialect_ == PrintfDialect::kCrt) {
          Floating(conv, conv.long_double ? args_.NextLongDouble() : args_.NextDouble());
          return true;
        }
        break;
      default:
        break;
    }
    if (user32) return false;
    sink_.Put(c);  // the run-time prints an unknown character as itself
    return true;
  }

  bool WideText(const ConvSpec& conv, bool upper_case) const {
    if (conv.text_width == ConvSpec::kTextNatural) return upper_case;
    return conv.text_width == ConvSpec::kTextWide;
  }

  // Writes prefix, body and padding: the padding is spaces before, zeros
  // between prefix and body (`zero_pad`), or spaces after ('-' flag). The
  // last `uncounted` characters of the prefix do not count towards the
  // width (user32's 0x).
  template <class Body>
  void Field(const ConvSpec& conv, bool zero_pad, std::string_view prefix, size_t body_length,
             Body body, size_t uncounted = 0) {
    const size_t pad = Pad(conv, prefix.size() - uncounted + body_length);
    if (conv.left) {
      sink_.Write(prefix.data(), prefix.size());
      body();
      sink_.Fill(' ', pad);
    } else if (zero_pad) {
      sink_.Write(prefix.data(), prefix.size());
      sink_.Fill('0', pad);
      body();
    } else {
      sink_.Fill(' ', pad);
      sink_.Write(prefix.data(), prefix.size());
      body();
    }
  }

  void SignedInteger(const ConvSpec& conv) {
    int64_t value;
    if (conv.int_size == ConvSpec::kInt64)
      value = args_.NextInt64();
    else if (conv.int_size == ConvSpec::kIntShort && Crt())
      value = static_cast<int16_t>(args_.NextInt());
    else
      value = args_.NextInt();
    const bool negative = value < 0;
    const uint64_t magnitude =
        negative ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
    char sign = negative ? '-' : 0;
    if (!negative && Crt()) sign = conv.plus ? '+' : conv.space ? ' ' : 0;
    Integer(conv, magnitude, sign, 10);
  }

  void UnsignedInteger(const ConvSpec& conv, int base) {
    uint64_t value;
    if (conv.int_size == ConvSpec::kInt64)
      value = static_cast<uint64_t>(args_.NextInt64());
    else if (conv.int_size == ConvSpec::kIntShort && Crt())
      value = static_cast<uint16_t>(args_.NextInt());
    else
      value = static_cast<uint32_t>(args_.NextInt());
    Integer(conv, value, 0, base);
  }

  void Integer(const ConvSpec& conv, uint64_t value, char sign, int base) {
    const bool upper = conv.conversion == 'X';
    const char* alphabet = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    char digits[24];
    int count = 0;
    // The run-time prints no digit for a zero with precision 0; user32
    // treats precision 0 as none.
    if (value != 0 || conv.precision != 0 || !Crt()) {
      // Each base has its own loop, so that the divisions are by constants.
      char* last = digits + sizeof(digits) - 1;
      if (base == 10) {
        do {
          last[-count++] = static_cast<char>('0' + value % 10);
          value /= 10;
        } while (value != 0);
      } else {
        const int bits = base == 16 ? 4 : 3;
        do {
          last[-count++] = alphabet[value & static_cast<unsigned>(base - 1)];
          value >>= bits;
        } while (value != 0);
      }
    }
    const char* first = digits + sizeof(digits) - count;
    const bool nonzero = count > 1 || (count == 1 && *first != '0');
    size_t zeros = conv.precision > count ? static_cast<size_t>(conv.precision - count) : 0;
    char prefix[3];
    size_t prefix_length = 0;
    if (sign != 0) prefix[prefix_length++] = sign;
    size_t uncounted = 0;
    if (conv.alt && base == 16 && (nonzero || !Crt())) {
      prefix[prefix_length++] = '0';
      prefix[prefix_length++] = upper ? 'X' : 'x';
      if (!Crt()) uncounted = 2;
    } else if (conv.alt && base == 8 && nonzero && zeros == 0) {
      zeros = 1;
    }
    Field(
        conv, conv.zero && !conv.left, std::string_view(prefix, prefix_length), zeros + count,
        [&] {
          sink_.Fill('0', zeros);
          sink_.Write(first, static_cast<size_t>(count));
        },
        uncounted);
  }

  void Pointer(const ConvSpec& conv) {
    uintptr_t value = reinterpret_cast<uintptr_t>(args_.NextPointer());
    char digits[kPointerDigits];
    for (int i = kPointerDigits - 1; i >= 0; --i, value >>= 4)
      digits[i] = "0123456789ABCDEF"[value & 15];
    const std::string_view prefix = conv.alt && Crt() ? "0X" : "";
    Field(conv, false, prefix, kPointerDigits, [&] { sink_.Write(digits, kPointerDigits); });
  }

  // Text is padded with zeros under the '0' flag in the run-time, with
  // spaces in user32.
  bool TextZeroPad(const ConvSpec& conv) const { return conv.zero && !conv.left && Crt(); }

  void Character(const ConvSpec& conv, bool wide) {
    char bytes[4];
    size_t length = 1;
    const int32_t value = args_.NextInt();
    if (!wide) {
      bytes[0] = static_cast<char>(value);
    } else {
      const WCHAR unit = static_cast<WCHAR>(value);
      char32_t c;
      DecodeUtf16(&unit, 1, &c);
      if (c == kInvalidChar) {
        if (dialect_ == PrintfDialect::kCrt) {
          ok_ = false;
          return;
        }
        c = kReplacementChar;
      }
      length = EncodeUtf8(c, bytes);
    }
    Field(conv, TextZeroPad(conv), "", length, [&] { sink_.Write(bytes, length); });
  }

  void String(const ConvSpec& conv, bool wide) {
    const void* pointer = args_.NextPointer();
    const size_t limit = conv.precision >= 0 ? static_cast<size_t>(conv.precision) : SIZE_MAX;
    if (pointer == nullptr || !wide) {
      const char* text = pointer != nullptr ? static_cast<const char*>(pointer) : "(null)";
      const size_t length = strnlen(text, limit);
      Field(conv, TextZeroPad(conv), "", length, [&] { sink_.Write(text, length); });
      return;
    }
    const WCHAR* text = static_cast<const WCHAR*>(pointer);
    // First pass: the UTF-8 length within the precision, and whether every
    // character converts.
    size_t length = 0;
    bool valid = true;
    WideText(text, limit, [&](const char*, size_t n, bool replaced) {
      length += n;
      valid = valid && !replaced;
    });
    if (!valid && dialect_ == PrintfDialect::kCrt) {
      ok_ = false;
      return;
    }
    Field(conv, TextZeroPad(conv), "", length, [&] {
      WideText(text, limit, [&](const char* bytes, size_t n, bool) { sink_.Write(bytes, n); });
    });
  }

  // Calls emit(bytes, count, replaced) for each character of the UTF-16
  // text, converted to UTF-8, while the total stays within `limit` bytes.
  // An unpaired surrogate becomes U+FFFD (replaced = true).
  template <class Emit>
  static void WideText(const WCHAR* text, size_t limit, Emit emit) {
    size_t total = 0;
    for (const WCHAR* p = text; *p != 0;) {
      const bool high = *p >= 0xD800 && *p <= 0xDBFF;
      char32_t c;
      p += DecodeUtf16(p, high ? 2 : 1, &c);
      const bool replaced = c == kInvalidChar;
      if (replaced) c = kReplacementChar;
      char bytes[4];
      const size_t n = EncodeUtf8(c, bytes);
      if (n > limit - total) break;
      total += n;
      emit(bytes, n, replaced);
    }
  }

  void Floating(const ConvSpec& conv, double value) {
    const char conversion = conv.conversion;
    const bool upper = conversion == 'E' || conversion == 'G' || conversion == 'A';
    const char lower = static_cast<char>(conversion | 0x20);
    char sign = std::signbit(value) ? '-' : conv.plus ? '+' : conv.space ? ' ' : 0;
    const std::string_view sign_text(&sign, sign != 0 ? 1 : 0);
    if (!std::isfinite(value)) return NotFinite(conv, value, sign_text);
    if (lower == 'a') return Hexadecimal(conv, value, sign);

    const int precision = conv.precision >= 0 ? conv.precision : 6;
    Digits digits;
    bool exponent_form = lower == 'e';
    long long decimals = precision;  // digits after the point
    if (lower == 'f') {
      RoundToDecimals(value, precision, &digits);
    } else if (lower == 'e') {
      RoundToSignificant(value, static_cast<long long>(precision) + 1, &digits);
    } else {
      const long long significant = precision == 0 ? 1 : precision;
      RoundToSignificant(value, significant, &digits);
      const int x = digits.exponent;
      exponent_form = x < -4 || x >= significant;
      long long shown = significant;
      if (!conv.alt) {
        // Trailing zeros go, and with them perhaps the point.
        shown = digits.count < shown ? digits.count : shown;
        while (shown > 1 && digits.d[shown - 1] == '0') --shown;
      }
      decimals = exponent_form ? shown - 1 : shown - 1 - x;
      if (decimals < 0) decimals = 0;
    }
    const bool point = decimals > 0 || conv.alt;
    char exponent[8];
    size_t exponent_length = 0;
    if (exponent_form) {
      const int x = digits.zero ? 0 : digits.exponent;
      exponent_length =
          static_cast<size_t>(snprintf(exponent, sizeof(exponent), "%c%c%03d", upper ? 'E' : 'e',
                                       x < 0 ? '-' : '+', x < 0 ? -x : x));
    }
    // Integer part: digits [0, integer_end), or a single 0.
    const long long integer_end = exponent_form ? 1 : digits.exponent + 1;
    const size_t integer_length = integer_end > 0 ? static_cast<size_t>(integer_end) : 1;
    const size_t length =
        integer_length + (point ? 1 : 0) + static_cast<size_t>(decimals) + exponent_length;
    Field(conv, conv.zero && !conv.left, sign_text, length, [&] {
      if (integer_end > 0)
        WriteDigits(digits, 0, integer_end, sink_);
      else
        sink_.Put('0');
      if (point) sink_.Put('.');
      const long long first = exponent_form ? 1 : digits.exponent + 1;
      WriteDigits(digits, first, first + decimals, sink_);
      sink_.Write(exponent, exponent_length);
    });
  }

  // Infinities and NaNs, as the old run-time prints them: "1.#INF",
  // "1.#QNAN" or (negative NaN) "-1.#IND", whose characters after the point
  // stand in for the digits: the precision cuts them, rounding the last
  // character up when the next is '5' or above, and pads them with zeros
  // (spaces when left-aligned); %g never pads.
  void NotFinite(const ConvSpec& conv, double value, std::string_view sign) {
    const char lower = static_cast<char>(conv.conversion | 0x20);
    const char* mark = std::isinf(value) ? "#INF" : std::signbit(value) ? "#IND" : "#QNAN";
    const size_t mark_length = strlen(mark);
    size_t places;
    if (lower == 'g') {
      const int significant = conv.precision < 0 ? 6 : conv.precision == 0 ? 1 : conv.precision;
      places = static_cast<size_t>(significant - 1);
    } else {
      places = conv.precision >= 0 ? static_cast<size_t>(conv.precision) : lower == 'a' ? 13 : 6;
    }
    char shown[8];
    const size_t shown_length = places < mark_length ? places : mark_length;
    memcpy(shown, mark, shown_length);
    if (shown_length > 0 && shown_length < mark_length && mark[shown_length] >= '5')
      ++shown[shown_length - 1];
    const size_t fill = lower == 'g' ? 0 : places - shown_length;
    const bool point = places > 0 || (conv.alt && lower != 'g');
    const bool upper = conv.conversion == 'E' || conv.conversion == 'A';
    const std::string_view suffix = lower == 'e'   ? (upper ? "E+000" : "e+000")
                                    : lower == 'a' ? (upper ? "P+0" : "p+0")
                                                   : "";
    char prefix[4];
    size_t prefix_length = sign.size();
    memcpy(prefix, sign.data(), sign.size());
    if (lower == 'a') {
      prefix[prefix_length++] = '0';
      prefix[prefix_length++] = upper ? 'X' : 'x';
    }
    const size_t length = 1 + (point ? 1 : 0) + shown_length + fill + suffix.size();
    Field(conv, conv.zero && !conv.left, std::string_view(prefix, prefix_length), length, [&] {
      sink_.Put('1');
      if (point) sink_.Put('.');
      sink_.Write(shown, shown_length);
      sink_.Fill(conv.left ? ' ' : '0', fill);
      sink_.Write(suffix.data(), suffix.size());
    });
  }

  // %a: 0x1.hhhhhhhhhhhhhp+e for normal numbers, 0x0.hhh...p-1022 for
  // subnormal ones. A precision below 13 rounds half up, and a carry into
  // the leading digit is kept there (0x2.0p+0), not renormalised.
  void Hexadecimal(const ConvSpec& conv, double value, char sign) {
    const bool upper = conv.conversion == 'A';
    uint64_t bits;
    memcpy(&bits, &value, sizeof(bits));
    const int biased = static_cast<int>((bits >> 52) & 0x7FF);
    uint64_t mantissa = bits & ((uint64_t{1} << 52) - 1);
    uint64_t lead = biased == 0 ? 0 : 1;
    const int exponent = biased == 0 ? (mantissa == 0 ? 0 : -1022) : biased - 1023;
    const int places = conv.precision >= 0 ? conv.precision : 13;
    if (places < 13) {
      const int dropped = 4 * (13 - places);
      const uint64_t rest = mantissa & ((uint64_t{1} << dropped) - 1);
      mantissa >>= dropped;
      if (rest >= (uint64_t{1} << (dropped - 1))) {
        ++mantissa;
        if (places == 0 || (mantissa >> (4 * places)) != 0) {
          ++lead;
          mantissa = places == 0 ? 0 : mantissa & ((uint64_t{1} << (4 * places)) - 1);
        }
      }
    }
    const char* alphabet = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    char hex[13];
    const int stored = places < 13 ? places : 13;
    for (int i = stored - 1; i >= 0; --i, mantissa >>= 4) hex[i] = alphabet[mantissa & 15];
    char tail[16];
    const size_t tail_length =
        static_cast<size_t>(snprintf(tail, sizeof(tail), "%c%+d", upper ? 'P' : 'p', exponent));
    const bool point = places > 0 || conv.alt;
    char prefix[3];
    size_t prefix_length = 0;
    if (sign != 0) prefix[prefix_length++] = sign;
    prefix[prefix_length++] = '0';
    prefix[prefix_length++] = upper ? 'X' : 'x';
    const size_t length = 1 + (point ? 1 : 0) + static_cast<size_t>(places) + tail_length;
    Field(conv, conv.zero && !conv.left, std::string_view(prefix, prefix_length), length, [&] {
      sink_.Put(alphabet[lead]);
      if (point) sink_.Put('.');
      sink_.Write(hex, static_cast<size_t>(stored));
      sink_.Fill('0', static_cast<size_t>(places - stored));
      sink_.Write(tail, tail_length);
    });
  }

  PrintfDialect dialect_;
  PrintfArguments& args_;
  FormatSink& sink_;
  bool ok_ = true;
};

// user32's wsprintfA writes at most this many bytes, NUL included.
constexpr size_t kWsprintfLimit = 1024;

int CrtResult(const FormatSink& sink, bool ok, char* buffer, size_t count) {
  if (!ok || sink.length() > INT_MAX) return -1;
  const size_t length = sink.length();
  if (length < count) {
    buffer[length] = '\0';
    return static_cast<int>(length);
  }
  // An exact fit returns the length without a NUL; a cut text returns -1.
  return length == count ? static_cast<int>(length) : -1;
}

}  // namespace

bool FormatPrintf(PrintfDialect dialect, std::string_view format, PrintfArguments& arguments,
                  FormatSink& sink) {
  return Formatter(dialect, arguments, sink).Run(format, false);
}

void FormatInsertSpec(std::string_view conv, PrintfArguments& arguments, FormatSink& sink) {
  Formatter(PrintfDialect::kMessageInsert, arguments, sink).Run(conv, true);
}

}  // namespace tqrtl::posix

using tqrtl::posix::FormatPrintf;
using tqrtl::posix::FormatSink;
using tqrtl::posix::PrintfDialect;
using tqrtl::posix::VaListArguments;

extern "C" int _vsnprintf(char* buffer, size_t count, const char* format, va_list arguments) {
  if (format == nullptr || (buffer == nullptr && count != 0)) return -1;
  va_list copy;
  va_copy(copy, arguments);
  VaListArguments args(&copy);
  FormatSink sink(buffer, count);
  const bool ok = FormatPrintf(PrintfDialect::kCrt, format, args, sink);
  va_end(copy);
  if (buffer == nullptr) {
    // (NULL, 0) asks for the length.
    return ok && sink.length() <= INT_MAX ? static_cast<int>(sink.length()) : -1;
  }
  return tqrtl::posix::CrtResult(sink, ok, buffer, count);
}

extern "C" int _snprintf(char* buffer, size_t count, const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  const int result = _vsnprintf(buffer, count, format, arguments);
  va_end(arguments);
  return result;
}

extern "C" int _vscprintf(const char* format, va_list arguments) {
  if (format == nullptr) return -1;
  return _vsnprintf(nullptr, 0, format, arguments);
}

extern "C" int WINAPI wvsprintfA(LPSTR buffer, LPCSTR format, va_list arguments) {
  if (buffer == nullptr) return 0;
  if (format == nullptr) format = "";
  va_list copy;
  va_copy(copy, arguments);
  VaListArguments args(&copy);
  FormatSink sink(buffer, tqrtl::posix::kWsprintfLimit - 1);
  FormatPrintf(PrintfDialect::kUser32, format, args, sink);
  va_end(copy);
  const size_t stored = sink.stored();
  buffer[stored] = '\0';
  return static_cast<int>(stored);
}

extern "C" int WINAPIV wsprintfA(LPSTR buffer, LPCSTR format, ...) {
  va_list arguments;
  va_start(arguments, format);
  const int result = wvsprintfA(buffer, format, arguments);
  va_end(arguments);
  return result;
}
