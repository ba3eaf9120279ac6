// TQInterlocked.h: atomic arithmetic on 32-bit words.
//
// Every reference count of the library goes through these functions. Each
// is a full barrier and is safe on any thread, and across processes when the
// word lies in shared memory.
#ifndef TQRTL_CORE_TQINTERLOCKED_H_
#define TQRTL_CORE_TQINTERLOCKED_H_

#include "tqrtl/platform/win32.h"

// TQInterlockedIncrement: adds 1 to *p; returns the new value (as the
// unsigned bits of the 32-bit result).
TQRTL_API DWORD TQInterlockedIncrement(LONG* p);

// TQInterlockedDecrement: subtracts 1 from *p; returns the new value.
TQRTL_API DWORD TQInterlockedDecrement(LONG* p);

// TQInterlockedCompareExchange: if *dest equals `comparand`, stores
// `exchange`. Returns the value *dest held before, whether or not it stored.
TQRTL_API void* TQInterlockedCompareExchange(void** dest, void* exchange, void* comparand);

#endif  // TQRTL_CORE_TQINTERLOCKED_H_
