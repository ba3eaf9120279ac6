// Conformance tests of the registry calls: the same calls run against
// Windows' registry (under Wine) and against the POSIX store. Each test works
// under a key of its own below HKEY_CURRENT_USER\Software\TQRTLTest and
// removes it afterwards; on Linux the whole store is a scratch directory.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "process_support.h"
#include "registry_test_support.h"  // on Linux, a scratch store for the process
#include "test_support.h"
#include "tqrtl/platform/win32.h"

namespace {

// DeleteTree: removes `path` below `root` and everything under it.
void DeleteTree(HKEY root, const std::string& path) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(root, path.c_str(), 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS) return;
  char name[300];
  for (;;) {
    DWORD length = sizeof name;
    if (RegEnumKeyExA(key, 0, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) {
      break;
    }
    DeleteTree(key, name);
  }
  RegCloseKey(key);
  RegDeleteKeyA(root, path.c_str());
}

// The names of a key's subkeys, or with `values` of its values, in the
// order the enumeration gives them; each reported length must be the name's.
std::vector<std::string> Names(HKEY key, bool values = false) {
  std::vector<std::string> names;
  char name[400];
  for (DWORD i = 0;; ++i) {
    DWORD length = values ? sizeof name : 300;
    const LONG r = values
                       ? RegEnumValueA(key, i, name, &length, nullptr, nullptr, nullptr, nullptr)
                       : RegEnumKeyExA(key, i, name, &length, nullptr, nullptr, nullptr, nullptr);
    if (r != ERROR_SUCCESS) {
      EXPECT_EQ(r, ERROR_NO_MORE_ITEMS);
      break;
    }
    EXPECT_EQ(length, std::strlen(name));
    names.push_back(name);
  }
  return names;
}

LONG SetString(HKEY key, const char* name, const char* text) {
  return RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text),
                        static_cast<DWORD>(std::strlen(text) + 1));
}

LONG SetDword(HKEY key, const char* name, DWORD value) {
  return RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                        sizeof value);
}

class RegistryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = std::string("Software\\TQRTLTest\\") +
            ::testing::UnitTest::GetInstance()->current_test_info()->name() + "-" +
            std::to_string(GetCurrentProcessId());
    DeleteTree(HKEY_CURRENT_USER, path_);
    DWORD disposition = 0;
    ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, path_.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, &base_, &disposition),
              ERROR_SUCCESS);
    EXPECT_EQ(disposition, static_cast<DWORD>(REG_CREATED_NEW_KEY));
  }
  void TearDown() override {
    RegCloseKey(base_);
    DeleteTree(HKEY_CURRENT_USER, path_);
  }

  HKEY Create(HKEY parent, const char* sub, DWORD* disposition = nullptr) {
    HKEY key = nullptr;
    EXPECT_EQ(
        RegCreateKeyExA(parent, sub, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, disposition),
        ERROR_SUCCESS)
        << sub;
    return key;
  }

  std::string path_;
  HKEY base_ = nullptr;
};

TEST_F(RegistryTest, CreateMakesEveryLevelAndOpensWhatExists) {
  DWORD disposition = 0;
  HKEY abc = Create(base_, "A\\B\\C", &disposition);
  EXPECT_EQ(disposition, static_cast<DWORD>(REG_CREATED_NEW_KEY));
  HKEY ab = Create(base_, "a\\b", &disposition);  // other case, same key
  EXPECT_EQ(disposition, static_cast<DWORD>(REG_OPENED_EXISTING_KEY));
  EXPECT_EQ(Names(ab), std::vector<std::string>{"C"});
  HKEY self = Create(ab, "", &disposition);
  if (!RunningUnderWine()) {
    EXPECT_EQ(disposition, static_cast<DWORD>(REG_OPENED_EXISTING_KEY));
  }
  EXPECT_EQ(SetDword(self, "v", 7), ERROR_SUCCESS);
  DWORD value = 0, size = sizeof value;
  EXPECT_EQ(RegQueryValueExA(ab, "V", nullptr, nullptr, reinterpret_cast<BYTE*>(&value), &size),
            ERROR_SUCCESS);
  EXPECT_EQ(value, 7u);

  HKEY x = Create(base_, "X\\");  // one trailing backslash is ignored
  HKEY opened = nullptr;
  EXPECT_EQ(RegOpenKeyExA(base_, "x", 0, KEY_READ, &opened), ERROR_SUCCESS);
  RegCloseKey(opened);

  HKEY bad = reinterpret_cast<HKEY>(1);
  EXPECT_EQ(RegCreateKeyExA(base_, "\\Lead", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &bad, nullptr),
            ERROR_BAD_PATHNAME);
  HKEY missing = reinterpret_cast<HKEY>(1);
  EXPECT_EQ(RegOpenKeyExA(base_, "A\\Nope", 0, KEY_READ, &missing), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(missing, nullptr);

  // RegCreateKeyA with an empty name: another handle to the same key.
  HKEY same = nullptr;
  EXPECT_EQ(RegCreateKeyA(abc, "", &same), ERROR_SUCCESS);
  HKEY deeper = nullptr;
  EXPECT_EQ(RegCreateKeyA(same, "D", &deeper), ERROR_SUCCESS);
  EXPECT_EQ(RegFlushKey(deeper), ERROR_SUCCESS);
  EXPECT_EQ(Names(abc), std::vector<std::string>{"D"});
  for (HKEY k : {abc, ab, self, x, deeper, same}) EXPECT_EQ(RegCloseKey(k), ERROR_SUCCESS);
}

TEST_F(RegistryTest, NamesIgnoreCaseAndKeepTheFirstSpelling) {
  DWORD disposition = 0;
  RegCloseKey(Create(base_, "c", &disposition));
  RegCloseKey(Create(base_, "C", &disposition));
  EXPECT_EQ(disposition, static_cast<DWORD>(REG_OPENED_EXISTING_KEY));
  EXPECT_EQ(Names(base_), std::vector<std::string>{"c"});

  EXPECT_EQ(SetDword(base_, "Alpha", 1), ERROR_SUCCESS);
  EXPECT_EQ(SetDword(base_, "ALPHA", 2), ERROR_SUCCESS);
  EXPECT_EQ(Names(base_, true), std::vector<std::string>{"Alpha"});
  DWORD value = 0, size = sizeof value, type = 0;
  EXPECT_EQ(
      RegQueryValueExA(base_, "alpha", nullptr, &type, reinterpret_cast<BYTE*>(&value), &size),
      ERROR_SUCCESS);
  EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
  EXPECT_EQ(value, 2u);

  // Value names may hold backslashes; key names are limited to 255.
  EXPECT_EQ(SetDword(base_, "a\\b", 3), ERROR_SUCCESS);
  EXPECT_EQ(RegQueryValueExA(base_, "A\\B", nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
  const std::string longest(255, 'k');
  HKEY key = Create(base_, longest.c_str());
  RegCloseKey(key);
  if (!RunningUnderWine()) {
    const std::string tooLong(256, 'k');
    key = nullptr;
    EXPECT_EQ(RegCreateKeyExA(base_, tooLong.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                              nullptr),
              ERROR_INVALID_PARAMETER);
  }
}

TEST_F(RegistryTest, EnumerationOrderAndEnd) {
  for (const char* name : {"b", "A", "c", "B2", "a1"}) RegCloseKey(Create(base_, name));
  EXPECT_EQ(Names(base_), (std::vector<std::string>{"A", "a1", "b", "B2", "c"}));

  for (const char* name : {"zeta", "Alpha", "mid", "omega"}) EXPECT_EQ(SetDword(base_, name, 1), 0);
  EXPECT_EQ(SetDword(base_, "ZETA", 2), ERROR_SUCCESS);     // overwriting keeps the place
  EXPECT_EQ(RegDeleteValueA(base_, "mid"), ERROR_SUCCESS);  // deleting closes the gap
  // Windows lists values in creation order; Wine sorts them.
  if (!RunningUnderWine()) {
    EXPECT_EQ(Names(base_, true), (std::vector<std::string>{"zeta", "Alpha", "omega"}));
  } else {
    EXPECT_EQ(Names(base_, true).size(), 3u);
  }

  DWORD subKeys = 0, maxSubKey = 0, values = 0, maxValueName = 0, maxData = 0;
  ASSERT_EQ(RegQueryInfoKeyA(base_, nullptr, nullptr, nullptr, &subKeys, &maxSubKey, nullptr,
                             &values, &maxValueName, &maxData, nullptr, nullptr),
            ERROR_SUCCESS);
  EXPECT_EQ(subKeys, 5u);
  EXPECT_EQ(maxSubKey, 2u);
  EXPECT_EQ(values, 3u);
  EXPECT_EQ(maxValueName, 5u);
  EXPECT_EQ(maxData, 4u);
  EXPECT_EQ(SetString(base_, "text", "hello"), ERROR_SUCCESS);
  ASSERT_EQ(RegQueryInfoKeyA(base_, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                             nullptr, &maxData, nullptr, nullptr),
            ERROR_SUCCESS);
  EXPECT_EQ(maxData, 12u);  // text counts as UTF-16
}

TEST_F(RegistryTest, ShortBuffersReportTheSizeNeeded) {
  RegCloseKey(Create(base_, "a1"));
  char name[8] = "~~~~~~~";
  for (DWORD capacity : {1u, 2u}) {
    DWORD length = capacity;
    EXPECT_EQ(RegEnumKeyExA(base_, 0, name, &length, nullptr, nullptr, nullptr, nullptr),
              ERROR_MORE_DATA);
    EXPECT_EQ(length, capacity);
    EXPECT_EQ(name[0], '~');
  }
  DWORD length = 3;
  EXPECT_EQ(RegEnumKeyExA(base_, 0, name, &length, nullptr, nullptr, nullptr, nullptr), 0);
  EXPECT_EQ(length, 2u);
  EXPECT_STREQ(name, "a1");

  ASSERT_EQ(SetString(base_, "zeta", "hello"), ERROR_SUCCESS);
  struct Case {
    DWORD capacity;
    LONG result;
  };
  for (const Case& c :
       {Case{64, 0}, Case{6, 0}, Case{5, ERROR_MORE_DATA}, Case{0, ERROR_MORE_DATA}}) {
    char data[64];
    std::memset(data, '#', sizeof data);
    DWORD size = c.capacity, type = 0;
    EXPECT_EQ(RegQueryValueExA(base_, "zeta", nullptr, &type, reinterpret_cast<BYTE*>(data), &size),
              c.result)
        << c.capacity;
    EXPECT_EQ(size, 6u) << c.capacity;
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(data[0], c.result == 0 ? 'h' : '#') << c.capacity;
  }
  DWORD size = 0;
  EXPECT_EQ(RegQueryValueExA(base_, "zeta", nullptr, nullptr, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(size, 6u);

  // A missing value: the size is cleared only for a size query.
  size = 99;
  EXPECT_EQ(RegQueryValueExA(base_, "none", nullptr, nullptr, nullptr, &size),
            ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(size, 0u);
  char data[4];
  size = 4;
  EXPECT_EQ(RegQueryValueExA(base_, "none", nullptr, nullptr, reinterpret_cast<BYTE*>(data), &size),
            ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(size, 4u);
  EXPECT_EQ(RegQueryValueExA(base_, nullptr, nullptr, nullptr, nullptr, &size),
            ERROR_FILE_NOT_FOUND);

  // A value name too long for the caller's buffer: 234, its data size still told.
  const std::string longName(300, 'n');
  const BYTE eight[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  HKEY holder = Create(base_, "long");
  ASSERT_EQ(RegSetValueExA(holder, longName.c_str(), 0, REG_BINARY, eight, 8), ERROR_SUCCESS);
  char shortName[261];
  DWORD nameLength = sizeof shortName, type = 0;
  size = 0;
  EXPECT_EQ(RegEnumValueA(holder, 0, shortName, &nameLength, nullptr, &type, nullptr, &size),
            ERROR_MORE_DATA);
  EXPECT_EQ(size, 8u);
  EXPECT_EQ(type, static_cast<DWORD>(REG_BINARY));
  BYTE four[4];
  char bigName[400];
  nameLength = sizeof bigName;
  size = 4;
  EXPECT_EQ(RegEnumValueA(holder, 0, bigName, &nameLength, nullptr, &type, four, &size),
            ERROR_MORE_DATA);
  EXPECT_EQ(size, 8u);
  RegCloseKey(holder);
}

TEST_F(RegistryTest, EveryTypeKeepsItsBytes) {
  const std::string binary("\x00\x01\xfe\xff zz\x00", 8);
  const std::string multi("one\0two\0", 9);
  const DWORD types[] = {REG_NONE, REG_BINARY,           REG_DWORD, REG_QWORD,
                         REG_LINK, REG_DWORD_BIG_ENDIAN, 0x12345u,  REG_MULTI_SZ};
  for (DWORD type : types) {
    const std::string name = "t" + std::to_string(type);
    const std::string data = type == REG_DWORD      ? binary.substr(0, 4)
                             : type == REG_MULTI_SZ ? multi
                                                    : binary;
    ASSERT_EQ(
        RegSetValueExA(base_, name.c_str(), 0, type, reinterpret_cast<const BYTE*>(data.data()),
                       static_cast<DWORD>(data.size())),
        ERROR_SUCCESS)
        << type;
    char out[16];
    DWORD size = sizeof out, got = 0;
    ASSERT_EQ(
        RegQueryValueExA(base_, name.c_str(), nullptr, &got, reinterpret_cast<BYTE*>(out), &size),
        ERROR_SUCCESS);
    EXPECT_EQ(got, type);
    EXPECT_EQ(std::string(out, size), data) << type;
  }
  EXPECT_EQ(RegSetValueExA(base_, "bad", 0, REG_BINARY, nullptr, 4), ERROR_NOACCESS);

  // Empty data and a string stored without its NUL come back as they were
  // stored; the NUL is added, uncounted, only where there is room.
  ASSERT_EQ(RegSetValueExA(base_, "empty", 0, REG_SZ, nullptr, 0), ERROR_SUCCESS);
  char out[16];
  DWORD size = sizeof out;
  EXPECT_EQ(RegQueryValueExA(base_, "empty", nullptr, nullptr, reinterpret_cast<BYTE*>(out), &size),
            ERROR_SUCCESS);
  EXPECT_EQ(size, 0u);
  ASSERT_EQ(RegSetValueExA(base_, "nonul", 0, REG_SZ, reinterpret_cast<const BYTE*>("abc"), 3),
            ERROR_SUCCESS);
  // Wine counts a NUL of its own here; Windows does not.
  if (RunningUnderWine()) return;
  std::memset(out, '#', sizeof out);
  size = 3;
  EXPECT_EQ(RegQueryValueExA(base_, "nonul", nullptr, nullptr, reinterpret_cast<BYTE*>(out), &size),
            ERROR_SUCCESS);
  EXPECT_EQ(size, 3u);
  EXPECT_EQ(std::string(out, 4), "abc#");
  size = 4;
  EXPECT_EQ(RegQueryValueExA(base_, "nonul", nullptr, nullptr, reinterpret_cast<BYTE*>(out), &size),
            ERROR_SUCCESS);
  EXPECT_EQ(size, 3u);
  EXPECT_EQ(out[3], '\0');
}

TEST_F(RegistryTest, DeletingKeysAndValues) {
  RegCloseKey(Create(base_, "a\\b\\c"));
  EXPECT_EQ(RegDeleteKeyA(base_, "a"), ERROR_ACCESS_DENIED);  // has subkeys
  EXPECT_EQ(RegDeleteKeyA(base_, "A\\B\\C"), ERROR_SUCCESS);  // a path, any case
  EXPECT_EQ(Names(base_), std::vector<std::string>{"a"});
  EXPECT_EQ(RegDeleteKeyA(base_, "a\\b\\c"), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegDeleteKeyA(base_, "nope"), ERROR_FILE_NOT_FOUND);

  HKEY b = nullptr;
  ASSERT_EQ(RegOpenKeyExA(base_, "a\\b", 0, KEY_ALL_ACCESS, &b), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteKeyA(b, ""), ERROR_SUCCESS);  // the key itself
  RegCloseKey(b);
  EXPECT_EQ(RegOpenKeyExA(base_, "a\\b", 0, KEY_READ, &b), ERROR_FILE_NOT_FOUND);

  EXPECT_EQ(SetDword(base_, "v", 1), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteValueA(base_, "V"), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteValueA(base_, "v"), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegQueryValueExA(base_, "v", nullptr, nullptr, nullptr, nullptr), ERROR_FILE_NOT_FOUND);
}

TEST_F(RegistryTest, HandlesOfADeletedKeyFailUntilClosed) {
  HKEY doomed = Create(base_, "doomed");
  EXPECT_EQ(SetDword(doomed, "v", 1), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteKeyA(base_, "doomed"), ERROR_SUCCESS);

  auto expectDeleted = [&](HKEY key) {
    EXPECT_EQ(SetDword(key, "v", 2), ERROR_KEY_DELETED);
    EXPECT_EQ(RegQueryValueExA(key, "v", nullptr, nullptr, nullptr, nullptr), ERROR_KEY_DELETED);
    EXPECT_EQ(RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                               nullptr, nullptr, nullptr, nullptr),
              ERROR_KEY_DELETED);
    char name[16];
    DWORD length = sizeof name;
    EXPECT_EQ(RegEnumKeyExA(key, 0, name, &length, nullptr, nullptr, nullptr, nullptr),
              ERROR_KEY_DELETED);
    length = sizeof name;
    EXPECT_EQ(RegEnumValueA(key, 0, name, &length, nullptr, nullptr, nullptr, nullptr),
              ERROR_KEY_DELETED);
    HKEY child = nullptr;
    EXPECT_EQ(
        RegCreateKeyExA(key, "child", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &child, nullptr),
        ERROR_KEY_DELETED);
  };
  expectDeleted(doomed);
  // A new key of the same name does not bring the old handle back.
  HKEY reborn = Create(base_, "doomed");
  expectDeleted(doomed);
  EXPECT_EQ(RegQueryValueExA(reborn, "v", nullptr, nullptr, nullptr, nullptr),
            ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegCloseKey(doomed), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(reborn), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(HKEY_CURRENT_USER), ERROR_SUCCESS);
}

TEST_F(RegistryTest, ReadOnlyHandlesRefuseWrites) {
  EXPECT_EQ(SetDword(base_, "v", 1), ERROR_SUCCESS);
  HKEY reader = nullptr;
  ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, path_.c_str(), 0, KEY_READ, &reader), ERROR_SUCCESS);
  EXPECT_EQ(SetDword(reader, "v", 2), ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegDeleteValueA(reader, "v"), ERROR_ACCESS_DENIED);
  DWORD value = 0, size = sizeof value;
  EXPECT_EQ(RegQueryValueExA(reader, "v", nullptr, nullptr, reinterpret_cast<BYTE*>(&value), &size),
            ERROR_SUCCESS);
  EXPECT_EQ(value, 1u);
  RegCloseKey(reader);
}

TEST_F(RegistryTest, BothHivesAndTheirRoots) {
  const std::string path = path_ + "-machine";
  HKEY machine = nullptr;
  ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                            nullptr, &machine, nullptr),
            ERROR_SUCCESS);
  EXPECT_EQ(SetDword(machine, "m", 5), ERROR_SUCCESS);
  // The hives are separate stores.
  HKEY other = nullptr;
  EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, KEY_READ, &other),
            ERROR_FILE_NOT_FOUND);
  RegCloseKey(machine);
  DeleteTree(HKEY_LOCAL_MACHINE, path);
  EXPECT_EQ(RegCloseKey(reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(0x1234))),
            ERROR_INVALID_HANDLE);
}

}  // namespace
