// The test programs' own string table (see test_strings.h).
#include "test_strings.h"

#include "tqrtl/platform/win32.h"

TQRTL_STRING_TABLE(TQRTL_TEST_STRINGS);
