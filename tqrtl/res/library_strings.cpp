// The library's own string table (texts in library_strings.h).
#include "tqrtl/res/library_strings.h"

#include "tqrtl/platform/win32.h"

TQRTL_STRING_TABLE(TQRTL_LIBRARY_STRINGS);
