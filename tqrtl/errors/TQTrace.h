// TQTrace.h: the library's diagnostics entry points.
//
// They are hooks: TQTrace accepts a printf-style trace line and drops it, and
// the validity checks accept everything. Their callers keep the trace
// vocabulary in place for a build that wants to record it. Safe on any
// thread.
#ifndef TQRTL_ERRORS_TQTRACE_H_
#define TQRTL_ERRORS_TQTRACE_H_

#include "tqrtl/platform/win32.h"

// TQTrace: does nothing.
TQRTL_API void TQTrace(const char* format, ...);

// TQIsValidString: returns 1.
TQRTL_API int TQIsValidString(const char* text, int length = -1);
TQRTL_API int TQIsValidString(const unsigned short* text, int length = -1);

// TQIsValidAddress: returns 1.
TQRTL_API int TQIsValidAddress(const void* address, unsigned int size, int writable = 1);

#endif  // TQRTL_ERRORS_TQTRACE_H_
