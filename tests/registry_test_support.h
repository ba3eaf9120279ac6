// What the registry settings tests share: a private store on Linux, raw
// access to what is stored (through the Win32 calls, not the classes under
// test), and keys of their own below the shared roots.
#ifndef TQRTL_TESTS_REGISTRY_TEST_SUPPORT_H_
#define TQRTL_TESTS_REGISTRY_TEST_SUPPORT_H_

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "process_support.h"
#include "tqrtl/platform/win32.h"
#include "tqrtl/registry/RegAPI.h"

namespace registry_test {

#if !defined(_WIN32)
// Before any registry call of the process: never the user's real store.
// (Under Wine the tests work in the build's private Wine prefix.)
struct ScratchStore {
  ScratchStore() : dir(ScratchPath("registry-settings")) {
    std::filesystem::create_directories(dir);
    setenv("TQRTL_REGISTRY_DIR", dir.c_str(), 1);
  }
  ~ScratchStore() {
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
  }
  std::string dir;
};
inline ScratchStore g_scratch_store;
#endif

// What is stored under one name, read with the plain Win32 calls.
struct Stored {
  bool exists = false;
  DWORD type = REG_NONE;
  std::vector<unsigned char> data;

  DWORD Dword() const {
    return data.size() == 4
               ? static_cast<DWORD>(data[0]) | static_cast<DWORD>(data[1]) << 8 |
                     static_cast<DWORD>(data[2]) << 16 | static_cast<DWORD>(data[3]) << 24
               : 0xDEADBEEFu;
  }
  std::string Text() const {
    std::string text(data.begin(), data.end());
    return text.substr(0, text.find('\0'));
  }
};

inline bool KeyExists(HKEY root, const std::string& path) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
  RegCloseKey(key);
  return true;
}

inline Stored ReadStored(HKEY root, const std::string& path, const char* name) {
  Stored stored;
  HKEY key = nullptr;
  if (RegOpenKeyExA(root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return stored;
  DWORD size = 0;
  if (RegQueryValueExA(key, name, nullptr, &stored.type, nullptr, &size) == ERROR_SUCCESS) {
    stored.data.resize(size);
    if (RegQueryValueExA(key, name, nullptr, &stored.type, stored.data.data(), &size) ==
        ERROR_SUCCESS) {
      stored.exists = true;
      stored.data.resize(size);
    }
  }
  RegCloseKey(key);
  return stored;
}

inline void WriteStored(HKEY root, const std::string& path, const char* name, DWORD type,
                        const std::vector<unsigned char>& data) {
  HKEY key = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(root, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                                           nullptr, &key, nullptr));
  EXPECT_EQ(ERROR_SUCCESS,
            RegSetValueExA(key, name, 0, type, data.data(), static_cast<DWORD>(data.size())));
  RegCloseKey(key);
}

inline std::vector<unsigned char> Bytes(const std::string& text) {
  return std::vector<unsigned char>(text.begin(), text.end());
}

inline std::vector<unsigned char> Le32(std::initializer_list<DWORD> words) {
  std::vector<unsigned char> bytes;
  for (DWORD word : words) {
    for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<unsigned char>(word >> (8 * i)));
  }
  return bytes;
}

inline void DeleteTree(HKEY root, const std::string& path) {
  try {
    RegAPI::DeleteKey(root, path.c_str());
  } catch (unsigned int) {
  }
}

// A test's own key name, unique in this run, so tests never see each
// other's leftovers; the test removes it when it ends.
inline std::string UniqueName(const char* stem) {
  static int counter = 0;
  return std::string(stem) + std::to_string(GetCurrentProcessId()) + "_" +
         std::to_string(++counter);
}

}  // namespace registry_test

#endif  // TQRTL_TESTS_REGISTRY_TEST_SUPPORT_H_
