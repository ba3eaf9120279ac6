#include "tqrtl/errors/TQTrace.h"

void TQTrace(const char*, ...) {}

int TQIsValidString(const char*, int) { return 1; }

int TQIsValidString(const unsigned short*, int) { return 1; }

int TQIsValidAddress(const void*, unsigned int, int) { return 1; }
