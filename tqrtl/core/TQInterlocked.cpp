#include "tqrtl/core/TQInterlocked.h"

DWORD TQInterlockedIncrement(LONG* p) {
  return static_cast<DWORD>(InterlockedIncrement(p));
}

DWORD TQInterlockedDecrement(LONG* p) {
  return static_cast<DWORD>(InterlockedDecrement(p));
}

void* TQInterlockedCompareExchange(void** dest, void* exchange, void* comparand) {
  return InterlockedCompareExchangePointer(dest, exchange, comparand);
}
