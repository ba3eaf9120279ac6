// The replaceable table of system calls (see internal.h).
#include <fcntl.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>

// <fcntl.h> names a flock mode LOCK_WRITE; win32.h gives the name its IStream
// meaning, which is the one the layer uses.
#undef LOCK_WRITE
#include "tqrtl/platform/posix/internal.h"

namespace tqrtl::posix {
namespace {

constexpr SystemCalls kDefaults = {
    ::malloc,
    ::free,
    ::realloc,
    ::read,
    ::write,
    ::isatty,
    [](const char* path, int flags, mode_t mode) { return ::open(path, flags, mode); },
    ::ftruncate,
    ::mmap,
    [](const char* path, struct stat* st) { return ::stat(path, st); },
    [](const char* path, struct stat* st) { return ::lstat(path, st); },
    [](int fd, struct stat* st) { return ::fstat(fd, st); },
    ::posix_fallocate,
    ::getsockopt,
};

SystemCalls g_calls = kDefaults;

}  // namespace

const SystemCalls& Sys() { return g_calls; }
void SetSystemCalls(const SystemCalls& calls) { g_calls = calls; }
void ResetSystemCalls() { g_calls = kDefaults; }

}  // namespace tqrtl::posix
