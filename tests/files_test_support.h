// files_test_support.h: helpers of the stream and storage tests.
//
// ScopedEnv: environment variables set, removed or only saved for its
// lifetime, each put back as it was at the end.
// ScratchDir: a fresh directory of its own for one test, made the process's
// temporary directory while it lives (so the temporary files that storages
// make land in it and can be counted), removed with everything in it at the
// end. Bytes / WriteBytes / ReadBytes: whole files as byte strings.
#ifndef TQRTL_TESTS_FILES_TEST_SUPPORT_H_
#define TQRTL_TESTS_FILES_TEST_SUPPORT_H_

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <iterator>
#include <optional>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "process_support.h"

namespace files_test {

inline void SetEnv(const char* name, const std::string& value) {
#if defined(_WIN32)
  _putenv_s(name, value.c_str());
#else
  setenv(name, value.c_str(), 1);
#endif
}

// Removes the variable (an empty value would still count as set).
inline void UnsetEnv(const char* name) {
#if defined(_WIN32)
  _putenv_s(name, "");
#else
  unsetenv(name);
#endif
}

inline std::string GetEnv(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

class ScopedEnv {
 public:
  // Sets each variable to its value; a null value removes the variable.
  explicit ScopedEnv(std::initializer_list<std::pair<const char*, const char*>> values = {}) {
    for (const auto& [name, value] : values) Set(name, value);
  }
  // Variables that were not set before are removed again.
  ~ScopedEnv() {
    for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) {
      if (it->second) {
        SetEnv(it->first.c_str(), *it->second);
      } else {
        UnsetEnv(it->first.c_str());
      }
    }
  }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

  void Save(const char* name) {
    const char* value = std::getenv(name);
    saved_.emplace_back(name, value != nullptr ? std::optional<std::string>(value) : std::nullopt);
  }
  void Set(const char* name, const char* value) {
    Save(name);
    if (value != nullptr) {
      SetEnv(name, value);
    } else {
      UnsetEnv(name);
    }
  }

 private:
  std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

class ScratchDir {
 public:
  ScratchDir() : path_(ScratchPath("files")) {
    std::filesystem::create_directories(path_);
    for (const char* name : {"TMPDIR", "TMP", "TEMP"}) env_.Set(name, path_.c_str());
  }
  ~ScratchDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  const std::string& path() const { return path_; }
  std::string File(const std::string& name) const {
    return (std::filesystem::path(path_) / name).string();
  }
  // Names of the files in the directory other than `except`.
  std::vector<std::string> Files(const std::vector<std::string>& except = {}) const {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(path_)) {
      const std::string name = entry.path().filename().string();
      bool skip = false;
      for (const std::string& e : except) skip = skip || e == name;
      if (!skip) names.push_back(name);
    }
    return names;
  }

 private:
  std::string path_;
  ScopedEnv env_;
};

inline std::string ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void WriteBytes(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// Little-endian 32-bit value as 4 bytes.
inline std::string U32(unsigned long v) {
  std::string bytes(4, '\0');
  for (int i = 0; i < 4; ++i) bytes[i] = static_cast<char>((v >> (8 * i)) & 0xFF);
  return bytes;
}

// A directory entry: the name, NUL-filled to 260 bytes, then the size.
inline std::string DirEntry(const std::string& name, unsigned long size) {
  std::string field = name.substr(0, 260);
  field.resize(260, '\0');
  return field + U32(size);
}

// Hex text of bytes, for readable failure messages.
inline std::string Hex(const std::string& bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string text;
  for (unsigned char c : bytes) {
    text += digits[c >> 4];
    text += digits[c & 15];
  }
  return text;
}

}  // namespace files_test

#endif  // TQRTL_TESTS_FILES_TEST_SUPPORT_H_
