// Files, the environment and temporary files: GetEnvironmentVariableA,
// SetEnvironmentVariableA, GetTempPathA, GetTempFileNameA, MoveFileExA,
// ReplaceFileA, SearchPathA, and
// the lexical path folding that _fullpath and the others share.
//
// Paths are POSIX paths: '/' separates directories and a backslash is an
// ordinary character. Win32 path rules that have a POSIX counterpart keep
// their results (a missing directory, a short buffer); drive letters and UNC
// names have none.
//
// Thread-safety: every function may be called from any thread, except that
// the environment functions read and change the process's environ, which no
// other thread may change at the same time (as with getenv and setenv).
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <string>
#include <vector>

// <fcntl.h> has flock's LOCK_WRITE, which IStream's LOCK_WRITE replaces.
#undef LOCK_WRITE
#include "tqrtl/platform/posix/internal.h"

extern char** environ;

namespace tqrtl::posix {

std::string CurrentDirectory() {
  std::vector<char> buffer(256);
  for (;;) {
    if (getcwd(buffer.data(), buffer.size()) != nullptr) return std::string(buffer.data());
    if (errno != ERANGE) return std::string();
    buffer.resize(buffer.size() * 2);
  }
}

std::string FoldPath(const char* path) {
  std::string input = path != nullptr ? path : "";
  if (input.empty() || input[0] != '/') {
    const std::string cwd = CurrentDirectory();
    if (cwd.empty()) return std::string();
    input = input.empty() ? cwd : cwd + "/" + input;
  }
  std::vector<std::string> parts;
  size_t start = 0;
  while (start <= input.size()) {
    size_t end = input.find('/', start);
    if (end == std::string::npos) end = input.size();
    const std::string part = input.substr(start, end - start);
    if (part == "..") {
      if (!parts.empty()) parts.pop_back();
    } else if (!part.empty() && part != ".") {
      parts.push_back(part);
    }
    start = end + 1;
  }
  std::string result;
  for (const std::string& part : parts) result += "/" + part;
  return result.empty() ? std::string("/") : result;
}

namespace {

// The environment entry whose name is `name`: spelled exactly, else the
// first that matches ignoring case. Null when there is none.
const char* FindVariable(const char* name, std::string* spelling) {
  const size_t length = strlen(name);
  const char* folded = nullptr;
  for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
    const char* equals = strchr(*entry, '=');
    if (equals == nullptr || static_cast<size_t>(equals - *entry) != length) continue;
    if (strncmp(*entry, name, length) == 0) {
      if (spelling != nullptr) *spelling = name;
      return equals + 1;
    }
    if (folded == nullptr && strncasecmp(*entry, name, length) == 0) {
      folded = *entry;
    }
  }
  if (folded == nullptr) return nullptr;
  if (spelling != nullptr) spelling->assign(folded, length);
  return folded + length + 1;
}

bool ValidVariableName(const char* name) {
  return name != nullptr && *name != '\0' && strchr(name, '=') == nullptr;
}

}  // namespace
}  // namespace tqrtl::posix

using namespace tqrtl::posix;

extern "C" {

DWORD WINAPI GetEnvironmentVariableA(LPCSTR name, LPSTR buffer, DWORD size) {
  if (!ValidVariableName(name)) {
    SetLastError(ERROR_ENVVAR_NOT_FOUND);
    return 0;
  }
  const char* value = FindVariable(name, nullptr);
  if (value == nullptr) {
    SetLastError(ERROR_ENVVAR_NOT_FOUND);
    return 0;
  }
  const size_t length = strlen(value);
  if (buffer == nullptr || length + 1 > size) return static_cast<DWORD>(length + 1);
  memcpy(buffer, value, length + 1);
  return static_cast<DWORD>(length);
}

BOOL WINAPI SetEnvironmentVariableA(LPCSTR name, LPCSTR value) {
  if (!ValidVariableName(name)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  // Drop every other spelling first, so that the name stays unique
  // ignoring case.
  std::string spelling;
  while (FindVariable(name, &spelling) != nullptr) {
    if (unsetenv(spelling.c_str()) != 0) {
      SetLastErrorFromErrno();
      return FALSE;
    }
  }
  if (value != nullptr && setenv(name, value, 1) != 0) {
    SetLastErrorFromErrno();
    return FALSE;
  }
  return TRUE;
}

DWORD WINAPI GetTempPathA(DWORD size, LPSTR buffer) {
  const char* variable = getenv("TMPDIR");
  std::string directory =
      variable != nullptr && *variable != '\0' ? FoldPath(variable) : std::string("/tmp");
  if (directory.empty()) {
    SetLastErrorFromErrno();
    return 0;
  }
  if (directory.back() != '/') directory += '/';
  if (buffer == nullptr || directory.size() + 1 > size) {
    return static_cast<DWORD>(directory.size() + 1);
  }
  memcpy(buffer, directory.c_str(), directory.size() + 1);
  return static_cast<DWORD>(directory.size());
}

UINT WINAPI GetTempFileNameA(LPCSTR path, LPCSTR prefix, UINT unique, LPSTR tempFileName) {
  if (path == nullptr || tempFileName == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  // The directory, the prefix, four hex digits and ".tmp" must fit MAX_PATH.
  const size_t path_length = strlen(path);
  if (path_length > MAX_PATH - 14) {
    SetLastError(ERROR_BUFFER_OVERFLOW);
    return 0;
  }
  std::string stem(path, path_length);
  if (stem.empty() || stem.back() != '/') stem += '/';
  if (prefix != nullptr) stem.append(prefix, strnlen(prefix, 3));

  auto build = [&](unsigned number) {
    char digits[16];
    snprintf(digits, sizeof digits, "%X.tmp", number);
    const std::string name = stem + digits;
    memcpy(tempFileName, name.c_str(), name.size() + 1);
  };

  unique &= 0xFFFF;
  if (unique != 0) {
    build(unique);
    return unique;
  }

  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  unsigned number = static_cast<unsigned>(now.tv_sec * 1000 + now.tv_nsec / 1000000) & 0xFFFF;
  if (number == 0) number = 1;
  const unsigned first = number;
  do {
    build(number);
    const int fd = open(tempFileName, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd >= 0) {
      close(fd);
      return number;
    }
    if (errno != EEXIST) {
      const int error = errno;
      struct stat directory;
      const bool missing = stat(stem.substr(0, stem.rfind('/') + 1).c_str(), &directory) != 0 ||
                           !S_ISDIR(directory.st_mode);
      SetLastError(missing || error == ENOENT || error == ENOTDIR ? ERROR_DIRECTORY
                                                                  : Win32ErrorFromErrno(error));
      return 0;
    }
    number = (number + 1) & 0xFFFF;
    if (number == 0) number = 1;
  } while (number != first);
  SetLastError(ERROR_FILE_EXISTS);
  return 0;
}

}  // extern "C"

// ---------------------------------------------------------------------------
// MoveFileExA and ReplaceFileA.

namespace {

// Flushes the directory that holds `path`, so that a rename into it
// survives a crash. Returns false with errno set.
bool FlushDirectoryOf(const char* path) {
  const char* slash = strrchr(path, '/');
  const std::string directory =
      slash == nullptr ? std::string(".") : slash == path ? std::string("/")
                                                          : std::string(path, slash - path);
  const int fd = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool ok = fsync(fd) == 0 || errno == EINVAL;  // some file systems cannot
  const int error = errno;
  close(fd);
  errno = error;
  return ok;
}

// rename(2) that fails with EEXIST when `to` exists: atomic through
// renameat2 where the file system has it, else a check before the rename.
int RenameNoReplace(const char* from, const char* to) {
#ifdef RENAME_NOREPLACE
  if (renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0) return 0;
  if (errno != EINVAL && errno != ENOSYS) return -1;
#endif
  struct stat facts;
  if (lstat(to, &facts) == 0) {
    errno = EEXIST;
    return -1;
  }
  return rename(from, to);
}

}  // namespace

extern "C" {

BOOL WINAPI MoveFileExA(LPCSTR existing, LPCSTR newName, DWORD flags) {
  constexpr DWORD kKnown = MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED |
                           MOVEFILE_WRITE_THROUGH;
  if (existing == nullptr || newName == nullptr || (flags & ~kKnown) != 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  struct stat source;
  if (lstat(existing, &source) != 0) {
    SetLastErrorFromErrno();
    return FALSE;
  }
  const int result = (flags & MOVEFILE_REPLACE_EXISTING) != 0 ? rename(existing, newName)
                                                              : RenameNoReplace(existing, newName);
  if (result != 0) {
    // Win32 reports a directory in the way as a denied access.
    SetLastError(errno == ENOTEMPTY || errno == EEXIST
                     ? ((flags & MOVEFILE_REPLACE_EXISTING) != 0 ? ERROR_ACCESS_DENIED
                                                                 : ERROR_ALREADY_EXISTS)
                     : Win32ErrorFromErrno(errno));
    return FALSE;
  }
  if ((flags & MOVEFILE_WRITE_THROUGH) != 0 && !FlushDirectoryOf(newName)) {
    SetLastErrorFromErrno();
    return FALSE;
  }
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

BOOL WINAPI ReplaceFileA(LPCSTR replaced, LPCSTR replacement, LPCSTR backup, DWORD flags,
                         LPVOID exclude, LPVOID reserved) {
  if (replaced == nullptr || replacement == nullptr || backup != nullptr || exclude != nullptr ||
      reserved != nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  struct stat old_facts, new_facts;
  if (stat(replaced, &old_facts) != 0 || lstat(replacement, &new_facts) != 0) {
    SetLastError(errno == ENOENT ? ERROR_FILE_NOT_FOUND : Win32ErrorFromErrno(errno));
    return FALSE;
  }
  if (S_ISDIR(old_facts.st_mode) || !S_ISREG(new_facts.st_mode)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  // The owner first: chown may clear the set-id bits that chmod then sets.
  if ((old_facts.st_uid != new_facts.st_uid || old_facts.st_gid != new_facts.st_gid) &&
      chown(replacement, old_facts.st_uid, old_facts.st_gid) != 0 &&
      (flags & REPLACEFILE_IGNORE_ACL_ERRORS) == 0) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  if (chmod(replacement, old_facts.st_mode & 07777) != 0 &&
      (flags & REPLACEFILE_IGNORE_ACL_ERRORS) == 0) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  if (rename(replacement, replaced) != 0) {
    SetLastError(ERROR_UNABLE_TO_MOVE_REPLACEMENT);
    return FALSE;
  }
  if (!FlushDirectoryOf(replaced)) {
    SetLastErrorFromErrno();
    return FALSE;
  }
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

}  // extern "C"

// ---------------------------------------------------------------------------
// SearchPathA.

namespace tqrtl::posix {
namespace {

// The entry of directory `directory` whose name is `name`: exactly, else
// the first that matches ignoring letter case (Win32 file names ignore case;
// the result keeps the spelling on disk so that it can be opened).
bool FindEntry(const std::string& directory, const std::string& name, std::string* found) {
  const std::string exact = directory == "/" ? "/" + name : directory + "/" + name;
  struct stat facts;
  if (stat(exact.c_str(), &facts) == 0) {
    *found = exact;
    return true;
  }
  DIR* listing = opendir(directory.c_str());
  if (listing == nullptr) return false;
  bool matched = false;
  while (struct dirent* entry = readdir(listing)) {
    if (strcasecmp(entry->d_name, name.c_str()) != 0) continue;
    const std::string candidate =
        directory == "/" ? "/" + std::string(entry->d_name) : directory + "/" + entry->d_name;
    if (stat(candidate.c_str(), &facts) == 0) {
      *found = candidate;
      matched = true;
      break;
    }
  }
  closedir(listing);
  return matched;
}

// `name` (relative, '/'-separated) looked up below the absolute directory
// `base`, component by component; "." and ".." fold lexically.
bool Lookup(const std::string& base, const std::string& name, std::string* found) {
  std::string current = FoldPath(base.c_str());
  if (current.empty()) return false;
  size_t start = 0;
  while (start <= name.size()) {
    size_t end = name.find('/', start);
    if (end == std::string::npos) end = name.size();
    const std::string part = name.substr(start, end - start);
    start = end + 1;
    if (part.empty() || part == ".") continue;
    if (part == "..") {
      current = FoldPath((current + "/..").c_str());
      continue;
    }
    std::string next;
    if (!FindEntry(current, part, &next)) return false;
    current = next;
  }
  *found = current;
  return true;
}

bool HasExtension(const std::string& name) {
  const size_t slash = name.rfind('/');
  const size_t dot = name.rfind('.');
  return dot != std::string::npos && (slash == std::string::npos || dot > slash);
}

}  // namespace
}  // namespace tqrtl::posix

extern "C" DWORD WINAPI SearchPathA(LPCSTR path, LPCSTR fileName, LPCSTR extension,
                                    DWORD bufferLength, LPSTR buffer, LPSTR* filePart) {
  if (fileName == nullptr || *fileName == '\0') {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  std::string name = fileName;
  if (extension != nullptr && *extension != '\0' && !HasExtension(name)) name += extension;

  std::string found;
  bool hit = false;
  if (name[0] == '/') {
    hit = Lookup("/", name, &found);
  } else if (name.rfind("./", 0) == 0 || name.rfind("../", 0) == 0) {
    hit = Lookup(CurrentDirectory(), name, &found);  // the list is not used
  } else {
    std::string list;
    if (path != nullptr) {
      list = path;
    } else {
      // The default order: the program's directory, the current directory,
      // then PATH.
      char program[4096];
      const ssize_t n = readlink("/proc/self/exe", program, sizeof program - 1);
      if (n > 0) {
        program[n] = '\0';
        list = std::string(program, strrchr(program, '/') - program);
      }
      list += ";.";
      if (const char* system_path = getenv("PATH")) list += std::string(";") + system_path;
    }
    // ';' separates entries; ':' too, so that a POSIX PATH works as it is.
    size_t start = 0;
    while (!hit && start <= list.size()) {
      size_t end = list.find_first_of(";:", start);
      if (end == std::string::npos) end = list.size();
      const std::string entry = list.substr(start, end - start);
      start = end + 1;
      if (entry.empty()) continue;
      hit = Lookup(entry, name, &found);
    }
  }
  if (!hit) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return 0;
  }
  if (buffer == nullptr || found.size() + 1 > bufferLength) {
    return static_cast<DWORD>(found.size() + 1);
  }
  memcpy(buffer, found.c_str(), found.size() + 1);
  if (filePart != nullptr) {
    char* slash = strrchr(buffer, '/');
    *filePart = slash != nullptr && slash[1] != '\0' ? slash + 1 : buffer + found.size();
  }
  return static_cast<DWORD>(found.size());
}
