// Global atoms and registered window messages over the per-user shared
// tables (atom_table.h), with Win32's results.
#include <cstdio>
#include <cstring>

#include "tqrtl/platform/posix/atom_table.h"
#include "tqrtl/platform/win32.h"

using tqrtl::posix::kFirstStringAtom;
using tqrtl::posix::kMaxAtomLength;
using tqrtl::posix::SharedAtomTable;

namespace {

enum class Parsed { kString, kInteger, kInvalid };

// ParseName: what an atom name stands for. MAKEINTATOM(n) and "#" followed
// by decimal digits only are the integer atom n, which must be 1..0xBFFF;
// any other text is a string atom of 1..255 bytes.
Parsed ParseName(LPCSTR name, ATOM* integer, size_t* length) {
  const auto value = reinterpret_cast<ULONG_PTR>(name);
  if (value <= 0xFFFF) {
    if (value == 0 || value >= kFirstStringAtom) return Parsed::kInvalid;
    *integer = static_cast<ATOM>(value);
    return Parsed::kInteger;
  }
  if (name[0] == '#' && name[1] != '\0') {
    unsigned long number = 0;
    const char* p = name + 1;
    for (; *p >= '0' && *p <= '9'; ++p) {
      if (number < kFirstStringAtom) number = number * 10 + static_cast<unsigned long>(*p - '0');
    }
    if (*p == '\0') {
      if (number == 0 || number >= kFirstStringAtom) return Parsed::kInvalid;
      *integer = static_cast<ATOM>(number);
      return Parsed::kInteger;
    }
  }
  const size_t n = strnlen(name, kMaxAtomLength + 1);
  if (n == 0 || n > kMaxAtomLength) return Parsed::kInvalid;
  *length = n;
  return Parsed::kString;
}

// Table: the process's table of `kind`, the last error set when it cannot
// be opened.
SharedAtomTable* Table(SharedAtomTable::Kind kind) { return SharedAtomTable::ForProcess(kind); }

// ByName: what GlobalAddAtomA and GlobalFindAtomA share: an integer atom
// stands for itself (never counted), a bad name fails, and a string name
// goes to `use` with the process's table and the name's length.
template <typename Use>
ATOM ByName(LPCSTR name, Use use) {
  ATOM integer = 0;
  size_t length = 0;
  switch (ParseName(name, &integer, &length)) {
    case Parsed::kInteger:
      return integer;
    case Parsed::kInvalid:
      SetLastError(ERROR_INVALID_PARAMETER);
      return 0;
    case Parsed::kString:
      break;
  }
  SharedAtomTable* table = Table(SharedAtomTable::kGlobalAtoms);
  return table != nullptr ? use(table, length) : 0;
}

}  // namespace

ATOM WINAPI GlobalAddAtomA(LPCSTR name) {
  return ByName(name,
                [&](SharedAtomTable* table, size_t length) { return table->Add(name, length); });
}

ATOM WINAPI GlobalFindAtomA(LPCSTR name) {
  return ByName(name,
                [&](SharedAtomTable* table, size_t length) { return table->Find(name, length); });
}

UINT WINAPI GlobalGetAtomNameA(ATOM atom, LPSTR buffer, int size) {
  if (atom == 0 || (buffer == nullptr && size > 0)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  char text[kMaxAtomLength + 1];
  size_t length = 0;
  if (atom < kFirstStringAtom) {
    length = static_cast<size_t>(std::snprintf(text, sizeof text, "#%u", atom));
  } else {
    SharedAtomTable* table = Table(SharedAtomTable::kGlobalAtoms);
    if (table == nullptr || !table->Name(atom, text, &length)) return 0;
  }
  // The name and its NUL must fit; what does fit is still written.
  if (size <= 0 || length + 1 > static_cast<size_t>(size)) {
    if (size > 0) {
      std::memcpy(buffer, text, static_cast<size_t>(size) - 1);
      buffer[size - 1] = '\0';
    }
    SetLastError(ERROR_MORE_DATA);
    return 0;
  }
  std::memcpy(buffer, text, length);
  buffer[length] = '\0';
  return static_cast<UINT>(length);
}

ATOM WINAPI GlobalDeleteAtom(ATOM atom) {
  if (atom < kFirstStringAtom) return 0;  // integer atoms never go away
  SharedAtomTable* table = Table(SharedAtomTable::kGlobalAtoms);
  return table != nullptr && table->Delete(atom) ? 0 : atom;
}

UINT WINAPI RegisterWindowMessageA(LPCSTR name) {
  // Every name is a text here, "#12" too: the numbers are 0xC000..0xFFFF.
  const size_t length =
      reinterpret_cast<ULONG_PTR>(name) <= 0xFFFF ? 0 : strnlen(name, kMaxAtomLength + 1);
  if (length == 0 || length > kMaxAtomLength) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  SharedAtomTable* table = Table(SharedAtomTable::kWindowMessages);
  return table != nullptr ? table->Add(name, length) : 0;
}
