// search_string_testing.h: a seam for the tests of SearchString.
//
// SearchString asks an installed hook before each allocation of an encoded
// copy, so the tests can make that allocation fail and check that the
// failure surfaces as TQMemoryException on both builds. The memory itself
// always comes from malloc. Not for use outside the tests: install a hook
// only while no other thread creates or copies search strings.
#ifndef TQRTL_STRINGS_INTERNAL_SEARCH_STRING_TESTING_H_
#define TQRTL_STRINGS_INTERNAL_SEARCH_STRING_TESTING_H_

#include <cstddef>

#include "tqrtl/platform/win32.h"

namespace StrUtil::internal {

// A hook gets the size about to be allocated and returns true to make that
// allocation fail as if malloc had returned null.
using SearchStringAllocationHook = bool (*)(size_t size);

// SetSearchStringAllocationHook: installs `hook` (null removes it) and
// returns the one it replaces.
TQRTL_API SearchStringAllocationHook SetSearchStringAllocationHook(SearchStringAllocationHook hook);

}  // namespace StrUtil::internal

#endif  // TQRTL_STRINGS_INTERNAL_SEARCH_STRING_TESTING_H_
