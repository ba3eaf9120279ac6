// LibraryStrings.h: ids of the library's own string resources.
#ifndef TQRTL_RES_LIBRARYSTRINGS_H_
#define TQRTL_RES_LIBRARYSTRINGS_H_

namespace TQRes {
constexpr unsigned int kCantFind = 501;
constexpr unsigned int kSystemError = 502;
constexpr unsigned int kUnableToOpenFile = 503;
constexpr unsigned int kExceptionOccurred = 504;
constexpr unsigned int kOutOfMemory = 505;
constexpr unsigned int kTargetTerminated = 506;
constexpr unsigned int kApplicationErrorCaption = 507;
constexpr unsigned int kErrorCaption = 508;
}  // namespace TQRes

#endif  // TQRTL_RES_LIBRARYSTRINGS_H_
