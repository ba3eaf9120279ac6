// The replaceable table of system calls (see internal.h).
#include <stdlib.h>
#include <unistd.h>

#include <atomic>

#include "tqrtl/platform/posix/internal.h"

namespace tqrtl::posix {
namespace {

constexpr SystemCalls kDefaults = {
    ::malloc, ::free, ::read, ::write, ::isatty,
};

SystemCalls g_calls = kDefaults;

}  // namespace

const SystemCalls& Sys() { return g_calls; }
void SetSystemCalls(const SystemCalls& calls) { g_calls = calls; }
void ResetSystemCalls() { g_calls = kDefaults; }

}  // namespace tqrtl::posix
