// StrUtil.cpp: the string and number utilities, and the locale number
// format NumUtil reads once at load time.
#include "tqrtl/strings/StrUtil.h"

#include <cctype>
#include <charconv>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "tqrtl/errors/TQException.h"
#include "tqrtl/strings/internal/format_estimate.h"

namespace StrUtil {
namespace {

bool IsBlank(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }

// The start of the last occurrence of `separator` (of `length` bytes) in
// `text`, or -1; an empty separator is found at the end. Searching
// backwards from the end finds the same place as searching the reversed
// text for the reversed separator.
int FindLast(const TQString& text, const char* separator, int length) {
  const char* chars = text;
  for (int i = text.GetLength() - length; i >= 0; --i) {
    if (std::memcmp(chars + i, separator, static_cast<size_t>(length)) == 0) return i;
  }
  return -1;
}

// Sets the outputs of a split. The pieces are made before either output
// is written, since an output may be the text being split.
bool SetSplit(const TQString& text, int at, int separator_length, bool found, bool whole_left,
              TQString* left, TQString* right) {
  TQString left_piece;
  TQString right_piece;
  if (found) {
    left_piece = text.Left(at);
    right_piece = text.Mid(at + separator_length);
  } else if (whole_left) {
    left_piece = text;
  } else {
    right_piece = text;
  }
  if (left != nullptr) *left = left_piece;
  if (right != nullptr) *right = right_piece;
  return found;
}

}  // namespace

char* StripLeadingBlanks(char* text) {
  while (*text != '\0' && IsBlank(*text)) ++text;
  return text;
}

char* StripTrailingBlanks(char* text) {
  char* end = text + std::strlen(text);
  while (end > text && IsBlank(end[-1])) --end;
  *end = '\0';
  return end;
}

char* StripLeadingTrailingBlanks(char* text) {
  StripTrailingBlanks(text);
  return StripLeadingBlanks(text);
}

unsigned int Extend(char* target, const char* source, unsigned int room) {
  if (room == 0) return 0;
  const size_t length = std::strlen(target);
  const size_t appended = strnlen(source, room - 1);
  std::memcpy(target + length, source, appended);
  target[length + appended] = '\0';
  target[length + room - 1] = '\0';  // the buffer's last byte
  return static_cast<unsigned int>(appended);
}

bool IsPrefix(const char* prefix, const char* text) {
  return std::strncmp(prefix, text, std::strlen(prefix)) == 0;
}

int CharsBetween(const char* from, const char* to) { return static_cast<int>(to - from); }

int SntprintfAddNUL(char* buffer, unsigned int size, const char* format, ...) {
  if (size == 0) return 0;
  va_list arguments;
  va_start(arguments, format);
  const int length = _vsnprintf(buffer, size, format, arguments);
  va_end(arguments);
  // Cut texts come back negative; a text that fills the buffer exactly
  // comes back as `size` with no room left for the NUL.
  if (length < 0 || static_cast<unsigned int>(length) >= size) {
    buffer[size - 1] = '\0';
    return static_cast<int>(size - 1);
  }
  return length;
}

unsigned int FormattedSize(const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  const unsigned int size = FormattedSize(format, arguments);
  va_end(arguments);
  return size;
}

unsigned int FormattedSize(const char* format, va_list arguments) {
  const long long estimate = internal::EstimateFormatLength(format, arguments);
  if (estimate <= 0) return 1;
  if (estimate >= static_cast<long long>(UINT_MAX)) return UINT_MAX;
  return static_cast<unsigned int>(estimate) + 1;
}

bool SplitLeft(const TQString& text, const char* separator, TQString* left, TQString* right) {
  const int at = text.Find(separator);
  const int length = separator != nullptr ? static_cast<int>(std::strlen(separator)) : 0;
  return SetSplit(text, at, length, at >= 0, true, left, right);
}

bool SplitRight(const TQString& text, const char* separator, TQString* left, TQString* right) {
  if (separator == nullptr) separator = "";
  const int length = static_cast<int>(std::strlen(separator));
  const int at = FindLast(text, separator, length);
  return SetSplit(text, at, length, at >= 0, false, left, right);
}

// One scan over the text gives the pieces SplitLeft would give one at a
// time, without copying the rest of the text for every piece.
void SplitIntoArray(const char* text, TQArray<TQString, const TQString&>* segments,
                    const char* separator) {
  const TQString whole(text);  // also turns a null or resource-id pointer into ""
  const char* rest = whole;
  const size_t length = separator != nullptr ? std::strlen(separator) : 0;
  if (length > 0) {
    for (const char* found; (found = std::strstr(rest, separator)) != nullptr;
         rest = found + length) {
      segments->Add(TQString(rest, static_cast<int>(found - rest)));
    }
  }
  if (*rest != '\0') segments->Add(TQString(rest));
}

void MergeIntoString(TQArray<TQString, const TQString&>& segments, TQString* result,
                     const char* separator) {
  const int count = segments.GetSize();
  if (count == 0) {
    result->Empty();
    return;
  }
  const size_t separator_length = separator != nullptr ? std::strlen(separator) : 0;
  long long total = static_cast<long long>(separator_length) * (count - 1);
  for (int i = 0; i < count; ++i) total += segments.ElementAt(i).GetLength();
  if (total > INT_MAX) throw TQMemoryException();

  // Built aside: `result` may be one of the elements.
  TQString joined;
  char* out = joined.GetBuffer(static_cast<int>(total));
  for (int i = 0; i < count; ++i) {
    if (i > 0 && separator_length > 0) {
      std::memcpy(out, separator, separator_length);
      out += separator_length;
    }
    const TQString& element = segments.ElementAt(i);
    std::memcpy(out, static_cast<const char*>(element), static_cast<size_t>(element.GetLength()));
    out += element.GetLength();
  }
  joined.ReleaseBuffer(static_cast<int>(total));
  *result = joined;
}

}  // namespace StrUtil

namespace NumUtil {
namespace {

constexpr int kOutSize = 260;

// The user's number format, read from the locale when the library loads.
// Each item that cannot be read keeps its fallback.
class LocaleFormat {
 public:
  LocaleFormat() {
    format_.NumDigits = ReadNumber(LOCALE_IDIGITS, 2);
    format_.LeadingZero = ReadNumber(LOCALE_ILZERO, 1);
    format_.Grouping = ReadNumber(LOCALE_SGROUPING, 3);  // "3;0" counts as 3
    format_.lpDecimalSep = ReadText(LOCALE_SDECIMAL, ".", decimal_);
    format_.lpThousandSep = ReadText(LOCALE_STHOUSAND, " ", thousand_);
    format_.NegativeOrder = ReadNumber(LOCALE_INEGNUMBER, 1);
  }
  LocaleFormat(const LocaleFormat&) = delete;
  LocaleFormat& operator=(const LocaleFormat&) = delete;

  const NUMBERFMTA& Get() const { return format_; }

 private:
  static UINT ReadNumber(LCTYPE item, UINT fallback) {
    char text[kOutSize];
    if (GetLocaleInfoA(LOCALE_USER_DEFAULT, item, text, kOutSize) == 0) return fallback;
    return static_cast<UINT>(std::atoi(text));
  }
  static char* ReadText(LCTYPE item, const char* fallback, char* area) {
    if (GetLocaleInfoA(LOCALE_USER_DEFAULT, item, area, kOutSize) == 0) {
      std::strcpy(area, fallback);
    }
    return area;
  }

  NUMBERFMTA format_{};
  char decimal_[kOutSize] = {};
  char thousand_[kOutSize] = {};
};

const LocaleFormat g_locale_format;

// Groups the decimal text `plain` into `out`; on failure copies `plain`.
bool Group(char* out, const char* plain) {
  NUMBERFMTA format = g_locale_format.Get();  // a copy: callers may be on any thread
  format.NumDigits = 0;
  if (GetNumberFormatA(LOCALE_USER_DEFAULT, 0, plain, &format, out, kOutSize) != 0) return true;
  std::strcpy(out, plain);
  return false;
}

template <typename Integer>
bool FormatInteger(char* out, Integer value) {
  char plain[32];
  const std::to_chars_result end = std::to_chars(plain, plain + sizeof(plain) - 1, value);
  *end.ptr = '\0';
  return Group(out, plain);
}

}  // namespace

bool Format(char* out, int value) { return FormatInteger(out, value); }
bool Format(char* out, unsigned int value) { return FormatInteger(out, value); }
bool Format(char* out, unsigned long value) { return FormatInteger(out, value); }

TQString Format(int value) {
  char out[kOutSize];
  Format(out, value);
  return TQString(out);
}
TQString Format(unsigned int value) {
  char out[kOutSize];
  Format(out, value);
  return TQString(out);
}
TQString Format(unsigned long value) {
  char out[kOutSize];
  Format(out, value);
  return TQString(out);
}

const NUMBERFMTA& LocaleNumberFormat() { return g_locale_format.Get(); }

}  // namespace NumUtil

namespace FontUtil {

unsigned long ToCharFormatEffects(unsigned long style) {
  unsigned long effects = 0;
  if ((style & 1) != 0) effects |= CFE_BOLD;
  if ((style & 2) != 0) effects |= CFE_ITALIC;
  return effects;
}

}  // namespace FontUtil
