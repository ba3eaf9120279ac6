// export.h: TQRTL_API, the one macro that marks what the library exports.
//
// The library is built with symbols hidden by default; everything a tool may
// call carries TQRTL_API. Thread-safety: not applicable (macros only).
#ifndef TQRTL_PLATFORM_EXPORT_H_
#define TQRTL_PLATFORM_EXPORT_H_

#if defined(_WIN32)
#if defined(TQRTL_BUILDING_LIBRARY)
#define TQRTL_API __declspec(dllexport)
#else
#define TQRTL_API __declspec(dllimport)
#endif
#else
#define TQRTL_API __attribute__((visibility("default")))
#endif

#endif  // TQRTL_PLATFORM_EXPORT_H_
