// format_estimate.h: the length estimate of the string formatting engine.
//
// TQString::FormatV sizes its buffer with it and StrUtil::FormattedSize
// reports it, so both must agree to the character; this is their one
// implementation. Not installed; not for use outside the library.
//
// Thread-safety: reentrant.
#ifndef TQRTL_STRINGS_INTERNAL_FORMAT_ESTIMATE_H_
#define TQRTL_STRINGS_INTERNAL_FORMAT_ESTIMATE_H_

#include "tqrtl/platform/win32.h"

namespace StrUtil::internal {

// EstimateFormatLength: the number of characters (without the NUL) the
// engine reserves for `format` with `arguments`. Literal characters count
// 1 each ("%%" counts 1); a conversion counts by its kind:
//   c C                     2, then min with a non-zero precision, max with the width
//   s (narrow) / S, ls (wide)  the text's length in characters (at least 1,
//                           6 for a null pointer), then the same min and max
//   d i o u x X p           max(32, width + precision)
//   e f g G                 max(128, width + precision)
//   n and anything else     0
// and each '#' flag adds 2. A '*' width or precision reads an int argument.
// The walk reads the arguments from its own copy of `arguments`, which the
// caller can still use afterwards, and stops at the format's NUL, also
// after a lone '%'.
//
// The result is 64-bit because widths and precisions up to INT_MAX can add
// up beyond int; it is negative only for negative '*' precisions on text.
// It is an estimate, not a measure: it falls short for wide text that
// converts to more than one byte per character, negative '*' widths,
// floating-point values longer than 128 characters and conversions outside
// the list above.
long long EstimateFormatLength(const char* format, va_list arguments);

}  // namespace StrUtil::internal

#endif  // TQRTL_STRINGS_INTERNAL_FORMAT_ESTIMATE_H_
