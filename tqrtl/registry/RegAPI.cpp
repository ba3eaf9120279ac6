// RegAPI: the Win32 registry calls with one failure convention.
#include "tqrtl/registry/RegAPI.h"

#include <cstring>

namespace RegAPI {
namespace {

// Names are enumerated into stack buffers of this many characters, the NUL
// included: one more than the longest name the settings code uses.
constexpr DWORD kNameBuffer = 261;

[[noreturn]] void Fail() { throw ErrFailed; }

void Check(LSTATUS status) {
  if (status != ERROR_SUCCESS) Fail();
}

// EnumName: the name an enumeration call puts into a stack buffer of
// kNameBuffer characters, NUL-terminated at the length it reports.
template <typename Enumerate>
TQString EnumName(Enumerate enumerate) {
  char buffer[kNameBuffer];
  DWORD length = kNameBuffer;
  Check(enumerate(buffer, &length));
  buffer[length < kNameBuffer ? length : kNameBuffer - 1] = '\0';
  return TQString(buffer);
}

}  // namespace

HKEY OpenKey(HKEY parent, const char* subkey) {
  HKEY result = nullptr;
  DWORD disposition = 0;
  Check(RegCreateKeyExA(parent, subkey, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_READ | KEY_WRITE,
                        nullptr, &result, &disposition));
  return result;
}

void CloseKey(HKEY& key) {
  Check(RegCloseKey(key));
  key = nullptr;
}

void CreateKey(HKEY parent, const char* subkey) {
  HKEY key = OpenKey(parent, subkey);
  CloseKey(key);
}

void DeleteKey(HKEY parent, const char* subkey) {
  HKEY key = OpenKey(parent, subkey);
  try {
    KeyInfo info;
    GetKeyInfo(key, &info);
    // Always the first subkey: deleting one renumbers the rest.
    while (info.subkeyCount > 0) {
      DeleteKey(key, KeyName(key, 0));
      GetKeyInfo(key, &info);
    }
  } catch (...) {
    RegCloseKey(key);
    throw;
  }
  CloseKey(key);
  Check(RegDeleteKeyA(parent, subkey));
}

void DeleteValue(HKEY key, const char* name) { Check(RegDeleteValueA(key, name)); }

TQString KeyName(HKEY key, unsigned long index) {
  return EnumName([&](char* buffer, DWORD* length) {
    return RegEnumKeyExA(key, static_cast<DWORD>(index), buffer, length, nullptr, nullptr, nullptr,
                         nullptr);
  });
}

TQString ValueName(HKEY key, unsigned long index) {
  return EnumName([&](char* buffer, DWORD* length) {
    return RegEnumValueA(key, static_cast<DWORD>(index), buffer, length, nullptr, nullptr, nullptr,
                         nullptr);
  });
}

void GetKeyInfo(HKEY key, KeyInfo* info) {
  Check(RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, &info->subkeyCount,
                         &info->maxSubkeyNameLength, nullptr, &info->valueCount,
                         &info->maxValueNameLength, &info->maxValueDataLength, nullptr, nullptr));
}

void WriteBytes(HKEY key, const char* name, unsigned char* data, unsigned long size,
                unsigned long type) {
  Check(RegSetValueExA(key, name, 0, static_cast<DWORD>(type), data, static_cast<DWORD>(size)));
}

void WriteDword(HKEY key, const char* name, unsigned long value) {
  // Four little-endian bytes whatever the width of `unsigned long` here.
  const DWORD low = static_cast<DWORD>(value);
  unsigned char bytes[4] = {static_cast<unsigned char>(low), static_cast<unsigned char>(low >> 8),
                            static_cast<unsigned char>(low >> 16),
                            static_cast<unsigned char>(low >> 24)};
  WriteBytes(key, name, bytes, sizeof bytes, REG_DWORD);
}

void WriteString(HKEY key, const char* name, const char* text) {
  WriteBytes(key, name, reinterpret_cast<unsigned char*>(const_cast<char*>(text)),
             static_cast<unsigned long>(std::strlen(text) + 1), REG_SZ);
}

void WriteBinary(HKEY key, const char* name, unsigned char* data, unsigned long size) {
  WriteBytes(key, name, data, size, REG_BINARY);
}

int ReadBytes(HKEY key, const char* name, unsigned char* data, unsigned long* size,
              unsigned long* type) {
  DWORD stored_size = static_cast<DWORD>(*size);
  DWORD stored_type = REG_NONE;
  const LSTATUS status = RegQueryValueExA(key, name, nullptr, &stored_type, data, &stored_size);
  switch (status) {
    case ERROR_SUCCESS:
      *size = stored_size;
      *type = stored_type;
      return 1;
    case ERROR_FILE_NOT_FOUND:
      return 0;
    case ERROR_MORE_DATA:
      *size = stored_size;
      *type = stored_type;
      throw ErrUnsupported;
    default:
      Fail();
  }
}

int ReadDword(HKEY key, const char* name, unsigned long* value) {
  unsigned char bytes[4];
  unsigned long size = sizeof bytes;
  unsigned long type = REG_NONE;
  if (!ReadBytes(key, name, bytes, &size, &type)) return 0;
  // A REG_DWORD of fewer than 4 bytes is a broken layout, like a wrong type.
  if (type != REG_DWORD || size != sizeof bytes) throw ErrWrongType;
  *value = static_cast<DWORD>(bytes[0]) | static_cast<DWORD>(bytes[1]) << 8 |
           static_cast<DWORD>(bytes[2]) << 16 | static_cast<DWORD>(bytes[3]) << 24;
  return 1;
}

int ReadString(HKEY key, const char* name, char* buffer, unsigned long* size) {
  unsigned long type = REG_NONE;
  if (!ReadBytes(key, name, reinterpret_cast<unsigned char*>(buffer), size, &type)) return 0;
  if (type != REG_SZ) throw ErrWrongType;
  return 1;
}

int ReadBinary(HKEY key, const char* name, unsigned char* data, unsigned long* size) {
  unsigned long type = REG_NONE;
  if (!ReadBytes(key, name, data, size, &type)) return 0;
  if (type != REG_BINARY) throw ErrWrongType;
  return 1;
}

}  // namespace RegAPI
