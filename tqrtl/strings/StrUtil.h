// StrUtil.h: string and number utilities.
//
// StrUtil: C-string helpers (trimming, bounded appending, prefix tests,
// bounded formatting, the formatting engine's size estimate) and TQString
// splitting and joining. The string-resource handles of the same namespace
// are in tqrtl/core/StringHandle.h.
// NumUtil: integers printed with the user's locale digit grouping.
// FontUtil: font style bits as rich-text character effects.
//
// Bounded C-string functions take the room left in the buffer, the NUL
// included, and always leave the text NUL-terminated.
//
// Thread-safety: every function may be called from any thread on data no
// other thread changes. The locale number format is read once, when the
// library is loaded, and only read afterwards.
#ifndef TQRTL_STRINGS_STRUTIL_H_
#define TQRTL_STRINGS_STRUTIL_H_

#include "tqrtl/core/StringHandle.h"
#include "tqrtl/platform/win32.h"
#include "tqrtl/strings/TQString.h"

namespace StrUtil {

// StripLeadingBlanks: a pointer to the first character of `text` that is
// not white space (isspace), or to its NUL. `text` is not changed.
TQRTL_API char* StripLeadingBlanks(char* text);

// StripTrailingBlanks: cuts `text` after its last character that is not
// white space and returns a pointer to the new NUL (`text` itself when the
// text is empty or all blank).
TQRTL_API char* StripTrailingBlanks(char* text);

// StripLeadingTrailingBlanks: strips the trailing blanks in place and
// returns a pointer into `text` at its first non-blank character.
TQRTL_API char* StripLeadingTrailingBlanks(char* text);

// Extend: appends `source` to `target`, where `room` is the number of bytes
// still free in target's buffer after its text, the NUL included. Appends at
// most room - 1 characters, always ends the buffer with a NUL, and returns
// the number of characters appended (0 when `room` is 0, writing nothing).
TQRTL_API unsigned int Extend(char* target, const char* source, unsigned int room);

// IsPrefix: whether `text` begins with all of `prefix` (letter case counts;
// the empty prefix begins everything).
TQRTL_API bool IsPrefix(const char* prefix, const char* text);

// CharsBetween: to - from. REQUIRES: both point into one text.
TQRTL_API int CharsBetween(const char* from, const char* to);

// SntprintfAddNUL: formats into `buffer` of `size` bytes with the C
// run-time's _vsnprintf and returns the length of the text. A text that
// does not fit with its NUL is cut to size - 1 characters and NUL-
// terminated, and size - 1 is returned. A `size` of 0 writes nothing and
// returns 0.
TQRTL_API int SntprintfAddNUL(char* buffer, unsigned int size, const char* format, ...);

// FormattedSize: the bytes TQString::Format reserves for `format` with the
// arguments, plus 1 for the NUL (an empty format gives 1). It is the
// formatting engine's estimate, not a measure: wide text that converts to
// several bytes per character, negative '*' widths, floating-point values
// of more than 128 characters and conversions outside the engine's
// language can need more; _vscprintf measures exactly.
// On Windows va_list is char*, so a single char* argument would pick the
// second overload: pass text to the first as const char*.
TQRTL_API unsigned int FormattedSize(const char* format, ...);
TQRTL_API unsigned int FormattedSize(const char* format, va_list arguments);

// SplitLeft: splits `text` at the first occurrence of `separator`:
// *left = the text before it, *right = the text after it; true. Without
// one: *left = text, *right empty; false. A null output is skipped; an
// output may be `text` itself. A null separator counts as "".
TQRTL_API bool SplitLeft(const TQString& text, const char* separator, TQString* left,
                         TQString* right);

// SplitRight: the same at the last occurrence. Without one: *left empty,
// *right = text; false.
TQRTL_API bool SplitRight(const TQString& text, const char* separator, TQString* left,
                          TQString* right);

// SplitIntoArray: appends to `segments` the pieces of `text` between
// occurrences of `separator`, empty pieces included, except that a text
// ending in the separator adds no empty last piece. With ";": "a;;b" gives
// a, "", b; ";a" gives "", a; "a;" gives a; "" gives nothing. Existing
// elements are kept. An empty or null separator gives the whole text as one
// piece (none for an empty text).
TQRTL_API void SplitIntoArray(const char* text, TQArray<TQString, const TQString&>* segments,
                              const char* separator);

// MergeIntoString: *result = the elements joined with `separator` between
// them (empty for no elements).
TQRTL_API void MergeIntoString(TQArray<TQString, const TQString&>& segments, TQString* result,
                               const char* separator);

}  // namespace StrUtil

namespace NumUtil {

// Format: `value` in decimal, grouped by the user's locale number format
// (separators and group size read when the library was loaded, no
// fraction digits) through GetNumberFormatA, into `out`, which holds 260
// bytes. Returns true on success; on failure `out` holds the plain decimal
// text and the result is false. The unsigned int overload is there so that
// DWORD values (unsigned int on Linux) find an unsigned form.
TQRTL_API bool Format(char* out, int value);
TQRTL_API bool Format(char* out, unsigned int value);
TQRTL_API bool Format(char* out, unsigned long value);

// Format: the same as a string (the plain decimal text on failure).
TQRTL_API TQString Format(int value);
TQRTL_API TQString Format(unsigned int value);
TQRTL_API TQString Format(unsigned long value);

// LocaleNumberFormat: the format Format passes to GetNumberFormatA, as read
// at load time: NumDigits holds the locale's digit count (Format uses 0),
// and the separator pointers point into the library's own storage.
TQRTL_API const NUMBERFMTA& LocaleNumberFormat();

}  // namespace NumUtil

namespace FontUtil {

// ToCharFormatEffects: bit 0 of `style` (bold) gives CFE_BOLD, bit 1
// (italic) gives CFE_ITALIC; all other bits are dropped.
TQRTL_API unsigned long ToCharFormatEffects(unsigned long style);

}  // namespace FontUtil

#endif  // TQRTL_STRINGS_STRUTIL_H_
