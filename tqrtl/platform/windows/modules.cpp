// Module queries on Windows; string tables live in the .rc resources.
#include "tqrtl/platform/win32.h"

HMODULE TQModuleOfAddress(const void* address) {
  HMODULE module = nullptr;
  if (!GetModuleHandleExA(
          GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
          static_cast<LPCSTR>(address), &module))
    return nullptr;
  return module;
}

// The resource compiler already put the table into the module.
TQStringTableRegistration::TQStringTableRegistration(const TQStringResource* table, int)
    : table_(table) {}
TQStringTableRegistration::~TQStringTableRegistration() = default;
