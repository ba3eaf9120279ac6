// FileUtil: path names, temporary files and searching along a path.
#include "tqrtl/files/FileUtil.h"

#include <cstring>

namespace {

// The size SearchPathA and the temporary-file calls get at first.
constexpr DWORD kPathLength = MAX_PATH;

}  // namespace

namespace FileUtil {

void SplitPath(TQString const& path, TQString* directory, TQString* file) {
  int last = -1;
  for (int i = path.GetLength() - 1; i >= 0; --i) {
    if (TQIsPathSeparator(path[i])) {
      last = i;
      break;
    }
  }
  // Both parts are taken before either output is written: an output may be
  // `path` itself.
  const TQString head = last < 0 ? TQString() : path.Left(last);
  const TQString tail = last < 0 ? path : path.Mid(last + 1);
  if (directory != nullptr) *directory = head;
  if (file != nullptr) *file = tail;
}

TQString MakePath(char const* directory, char const* name) {
  const TQString leaf(name != nullptr ? name : "");
  if (directory == nullptr || *directory == '\0') return leaf;
  return TQString(directory) + TQPathSeparatorText + leaf;
}

TQString BaseName(char const* const path) {
  if (path == nullptr) return TQString();
  const char* start = nullptr;
  for (const char* p = path; *p != '\0'; ++p) {
    if (*p == '\\' || *p == '/') start = p + 1;
  }
  if (start == nullptr) start = path[0] == '"' ? path + 1 : path;
  TQString base(start);
  const int length = base.GetLength();
  if (length > 0 && base[length - 1] == '"') return base.Left(length - 1);
  return base;
}

int IsParent(char const* const parent, char const* const child) {
  if (parent == nullptr || child == nullptr) return 0;
  const size_t length = std::strlen(parent);
  if (std::strncmp(parent, child, length) != 0) return 0;
  return TQIsPathSeparator(child[length]) ? 1 : 0;  // child[length] is NUL when equal
}

int GetTempFile(TQString* path, char const* prefix) {
  char directory[kPathLength];
  const DWORD n = GetTempPathA(kPathLength, directory);
  if (n == 0 || n >= kPathLength) return 0;
  char name[kPathLength];
  if (GetTempFileNameA(directory, prefix, 0, name) == 0) return 0;
  if (path != nullptr) *path = name;
  return 1;
}

int FindFile(char const* name, char const* searchPath, TQString* path) {
  TQString list;
  if (searchPath == nullptr) {
    const DWORD needed = GetEnvironmentVariableA("PATH", nullptr, 0);
    if (needed == 0) return 0;
    char* buffer = list.GetBuffer(static_cast<int>(needed));
    const DWORD got = GetEnvironmentVariableA("PATH", buffer, needed);
    list.ReleaseBuffer(got < needed ? static_cast<int>(got) : 0);
    if (got == 0 || got >= needed) return 0;
    searchPath = list;
  }
  TQString found;
  char* part = nullptr;
  char* buffer = found.GetBuffer(kPathLength + 1);
  DWORD n = SearchPathA(searchPath, name, nullptr, kPathLength, buffer, &part);
  if (n > kPathLength) {
    // Too long for the first buffer: n is the size needed, NUL included.
    found.ReleaseBuffer(0);
    const DWORD needed = n;
    buffer = found.GetBuffer(static_cast<int>(needed + 1));
    n = SearchPathA(searchPath, name, nullptr, needed, buffer, &part);
    if (n >= needed) n = 0;  // the file changed between the calls
  }
  found.ReleaseBuffer(static_cast<int>(n));
  if (path != nullptr) *path = found;
  return n != 0 ? 1 : 0;
}

}  // namespace FileUtil
