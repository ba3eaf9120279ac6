// RegAPI.h: the one door of the settings classes to the registry.
//
// Free functions over the Win32 registry calls with fixed access rights and
// buffer sizes. Every failure leaves as a thrown `unsigned int`, never as a
// TQException, and only these three codes are thrown:
//   ErrWrongType (0)   the value exists with the wrong type or layout;
//   ErrFailed (3)      a registry call returned an error;
//   ErrUnsupported (4) the value is larger than the buffer offered.
// The typed values above catch 0 and 4 and repair what is stored; 3 reaches
// the caller.
//
// Opening always creates: a missing key is made, never reported. The caller
// owns every handle OpenKey returns and gives it back with CloseKey.
// Stateless; any thread, with the registry's own guarantees for concurrent
// access. No heap use except the names KeyName and ValueName return.
#ifndef TQRTL_REGISTRY_REGAPI_H_
#define TQRTL_REGISTRY_REGAPI_H_

#include "tqrtl/platform/win32.h"
#include "tqrtl/strings/TQString.h"

namespace RegAPI {

constexpr unsigned int ErrWrongType = 0;
constexpr unsigned int ErrFailed = 3;
constexpr unsigned int ErrUnsupported = 4;

// The five counts GetKeyInfo asks for.
struct KeyInfo {
  DWORD subkeyCount;
  DWORD maxSubkeyNameLength;  // characters
  DWORD valueCount;
  DWORD maxValueNameLength;  // characters
  DWORD maxValueDataLength;  // bytes
};

// OpenKey: opens `subkey` (several levels allowed) below `parent` for reading
// and writing, creating whatever is missing. Throws 3.
TQRTL_API HKEY OpenKey(HKEY parent, const char* subkey);
// CloseKey: closes `key` and sets it to NULL; on failure throws 3 and leaves
// `key` as it was.
TQRTL_API void CloseKey(HKEY& key);
// CreateKey: makes sure `subkey` exists. Throws 3.
TQRTL_API void CreateKey(HKEY parent, const char* subkey);
// DeleteKey: removes `subkey` with its whole subtree, deepest first. A key
// that does not exist is created and removed, so that succeeds too. Throws 3
// and may then leave part of the tree; every handle it opened is closed.
TQRTL_API void DeleteKey(HKEY parent, const char* subkey);
// DeleteValue: throws 3, also when the value does not exist.
TQRTL_API void DeleteValue(HKEY key, const char* name);

// KeyName, ValueName: the name of subkey or value number `index`. Throws 3
// past the end and for names longer than 260 characters.
TQRTL_API TQString KeyName(HKEY key, unsigned long index);
TQRTL_API TQString ValueName(HKEY key, unsigned long index);
// GetKeyInfo: the five counts of `key`. Throws 3.
TQRTL_API void GetKeyInfo(HKEY key, KeyInfo* info);

// Writers: `size` bytes of `type`; strings are stored with their NUL, numbers
// as 4 little-endian bytes (the low 32 bits of `value`). Throw 3.
TQRTL_API void WriteBytes(HKEY key, const char* name, unsigned char* data, unsigned long size,
                          unsigned long type);
TQRTL_API void WriteDword(HKEY key, const char* name, unsigned long value);
TQRTL_API void WriteString(HKEY key, const char* name, const char* text);
TQRTL_API void WriteBinary(HKEY key, const char* name, unsigned char* data, unsigned long size);

// ReadBytes: on entry *size is the capacity of `data`; on return *size and
// *type are the stored size and type. 1 when read, 0 when the value does not
// exist; throws 4 when it does not fit, 3 on any other failure.
TQRTL_API int ReadBytes(HKEY key, const char* name, unsigned char* data, unsigned long* size,
                        unsigned long* type);
// Typed readers: ReadBytes, then 0 is thrown for a stored type other than
// theirs. A value too large for the buffer is 4 before its type is looked at.
// ReadDword leaves *value alone when the value is missing, and throws 0 for
// a REG_DWORD shorter than 4 bytes as well.
TQRTL_API int ReadDword(HKEY key, const char* name, unsigned long* value);
TQRTL_API int ReadString(HKEY key, const char* name, char* buffer, unsigned long* size);
TQRTL_API int ReadBinary(HKEY key, const char* name, unsigned char* data, unsigned long* size);

}  // namespace RegAPI

#endif  // TQRTL_REGISTRY_REGAPI_H_
