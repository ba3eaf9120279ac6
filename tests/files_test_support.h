// files_test_support.h: helpers of the stream and storage tests.
//
// ScratchDir: a fresh directory of its own for one test, made the process's
// temporary directory while it lives (so the temporary files that storages
// make land in it and can be counted), removed with everything in it at the
// end. Bytes / WriteBytes / ReadBytes: whole files as byte strings.
#ifndef TQRTL_TESTS_FILES_TEST_SUPPORT_H_
#define TQRTL_TESTS_FILES_TEST_SUPPORT_H_

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <system_error>
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

class ScratchDir {
 public:
  ScratchDir() : path_(ScratchPath("files")) {
    std::filesystem::create_directories(path_);
    for (const char* name : kTempVariables) {
      const char* value = std::getenv(name);
      saved_.push_back(value != nullptr ? std::optional<std::string>(value) : std::nullopt);
      SetEnv(name, path_);
    }
  }
  ~ScratchDir() {
    // Variables that were not set before are removed again.
    for (size_t i = 0; i < saved_.size(); ++i) {
      if (saved_[i]) {
        SetEnv(kTempVariables[i], *saved_[i]);
      } else {
        UnsetEnv(kTempVariables[i]);
      }
    }
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
  static constexpr const char* kTempVariables[] = {"TMPDIR", "TMP", "TEMP"};
  std::string path_;
  std::vector<std::optional<std::string>> saved_;
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
