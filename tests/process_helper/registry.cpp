// Registry sub-commands of the test helper: other processes that write to
// and read from the store the test uses (TQRTL_REGISTRY_DIR is inherited).
//
//   registry-writer ID COUNT PROGRESS  sets HKCU\Shared\pID-i = i for i < COUNT,
//       reading each back, and appends i to the file PROGRESS after the call
//       returned; exits 0, or 3 when a read-back differs, 4 on a failed call.
//   registry-set-dword PATH NAME VALUE sets one DWORD under HKCU\PATH; exits
//       with the call's error code (0 on success).
//   registry-as-user UID HIVE OP PATH NAME (POSIX) drops to user UID, then
//       reads (OP "read") or writes (OP "write", 12345) the DWORD NAME under
//       HIVE\PATH (HIVE is HKCU or HKLM); exits with the call's error code,
//       or 100 when it cannot change user.
//   registry-few-descriptors FREE PATH NAME (POSIX) lowers its descriptor
//       limit, uses up every descriptor but FREE, then reads the DWORD NAME
//       under HKCU\PATH; exits with the call's error code (99 for codes
//       of 100 and over, such as ERROR_BADDB), or 100 when it cannot set up.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "process_helper.h"
#include "tqrtl/platform/win32.h"

#if !defined(_WIN32)
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <vector>
#endif

namespace {

int ExitCode(LONG error) {
  return error > 0 && error < 100 ? static_cast<int>(error) : (error ? 99 : 0);
}

int Writer(int argc, char** argv) {
  if (argc != 4) return 64;
  const std::string id = argv[1];
  const long count = std::atol(argv[2]);
  std::FILE* progress = std::fopen(argv[3], "ab");
  if (progress == nullptr) return 64;
  HKEY key = nullptr;
  if (RegCreateKeyExA(HKEY_CURRENT_USER, "Shared", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                      nullptr) != ERROR_SUCCESS) {
    return 4;
  }
  for (long i = 0; i < count; ++i) {
    const std::string name = "p" + id + "-" + std::to_string(i);
    const DWORD value = static_cast<DWORD>(i);
    if (RegSetValueExA(key, name.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                       sizeof value) != ERROR_SUCCESS) {
      return 4;
    }
    // Visible to the other processes from now on: record it.
    std::fprintf(progress, "%ld\n", i);
    std::fflush(progress);
    DWORD back = 0, size = sizeof back;
    if (RegQueryValueExA(key, name.c_str(), nullptr, nullptr, reinterpret_cast<BYTE*>(&back),
                         &size) != ERROR_SUCCESS ||
        back != value) {
      return 3;
    }
  }
  RegCloseKey(key);
  std::fclose(progress);
  return 0;
}

int SetDword(int argc, char** argv) {
  if (argc != 4) return 64;
  HKEY key = nullptr;
  LONG r = RegCreateKeyExA(HKEY_CURRENT_USER, argv[1], 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                           nullptr);
  if (r != ERROR_SUCCESS) return ExitCode(r);
  const DWORD value = static_cast<DWORD>(std::strtoul(argv[3], nullptr, 10));
  r = RegSetValueExA(key, argv[2], 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                     sizeof value);
  RegCloseKey(key);
  return ExitCode(r);
}

#if !defined(_WIN32)
int AsUser(int argc, char** argv) {
  if (argc != 6) return 64;
  const uid_t uid = static_cast<uid_t>(std::atol(argv[1]));
  if (setgid(uid) != 0 || setuid(uid) != 0) return 100;
  const HKEY root = std::strcmp(argv[2], "HKLM") == 0 ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER;
  const bool write = std::strcmp(argv[3], "write") == 0;
  HKEY key = nullptr;
  LONG r =
      write ? RegCreateKeyExA(root, argv[4], 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr)
            : RegOpenKeyExA(root, argv[4], 0, KEY_READ, &key);
  if (r != ERROR_SUCCESS) return ExitCode(r);
  DWORD value = 12345, size = sizeof value;
  r = write ? RegSetValueExA(key, argv[5], 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                             sizeof value)
            : RegQueryValueExA(key, argv[5], nullptr, nullptr, reinterpret_cast<BYTE*>(&value),
                               &size);
  RegCloseKey(key);
  return ExitCode(r);
}
const ProcessCommand kAsUser("registry-as-user", AsUser);

int FewDescriptors(int argc, char** argv) {
  if (argc != 4) return 64;
  const long free_count = std::atol(argv[1]);
  const rlimit limit = {64, 64};
  if (setrlimit(RLIMIT_NOFILE, &limit) != 0) return 100;
  std::vector<int> taken;
  for (int fd; (fd = open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;) taken.push_back(fd);
  if (static_cast<long>(taken.size()) < free_count) return 100;
  for (long i = 0; i < free_count; ++i) {
    close(taken.back());
    taken.pop_back();
  }
  HKEY key = nullptr;
  LONG r = RegOpenKeyExA(HKEY_CURRENT_USER, argv[2], 0, KEY_READ, &key);
  if (r == ERROR_SUCCESS) {
    DWORD value = 0, size = sizeof value;
    r = RegQueryValueExA(key, argv[3], nullptr, nullptr, reinterpret_cast<BYTE*>(&value), &size);
    RegCloseKey(key);
  }
  for (int fd : taken) close(fd);  // what runs at exit may need some (a leak checker does)
  return ExitCode(r);
}
const ProcessCommand kFewDescriptors("registry-few-descriptors", FewDescriptors);
#endif

const ProcessCommand kWriter("registry-writer", Writer);
const ProcessCommand kSetDword("registry-set-dword", SetDword);

}  // namespace
