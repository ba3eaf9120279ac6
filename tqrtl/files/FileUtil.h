// FileUtil.h: path names, temporary files and searching along a list of
// directories.
//
// Paths use this system's separator, TQPathSeparator ('\\' on Windows, '/'
// elsewhere); SplitPath and IsParent also split at a backslash everywhere,
// so names in Windows' notation (registry key paths) work the same on every
// system, and BaseName accepts both '\\' and '/'.
//
// No function keeps state, and none throws except TQMemoryException when
// memory runs out. Thread-safety: any thread (FindFile reads the
// environment, which no other thread may change at the time).
#ifndef TQRTL_FILES_FILEUTIL_H_
#define TQRTL_FILES_FILEUTIL_H_

#include "tqrtl/platform/win32.h"
#include "tqrtl/strings/TQString.h"

namespace FileUtil {

// SplitPath: *directory = everything before the last separator of `path`,
// *file = everything after it; without a separator, directory is empty and
// file is the whole path. Either output may be null, or `path` itself.
TQRTL_API void SplitPath(TQString const& path, TQString* directory, TQString* file);

// MakePath: `directory`, the separator and `name` when `directory` is not
// empty (a separator already at its end is not looked for), else `name`.
// A null pointer counts as "".
TQRTL_API TQString MakePath(char const* directory, char const* name);

// BaseName: the part of `path` after its last '\\' or '/'; without one, a
// leading double quote is skipped; a trailing double quote is dropped. So a
// quoted full path gives the bare file name, and a path ending in a
// separator gives "". Null gives "".
TQRTL_API TQString BaseName(char const* const path);

// IsParent: 1 when `child` begins with `parent` (letter case significant),
// is longer, and has a separator right after it; else 0. A directory is not
// its own parent, and "d/a" is no parent of "d/ab".
TQRTL_API int IsParent(char const* const parent, char const* const child);

// GetTempFile: creates a new empty file with a unique name, starting with
// up to 3 characters of `prefix`, in the system's temporary directory, and
// stores its full name in *path; 1. 0 when the temporary directory cannot
// be had or the file cannot be created (*path unchanged).
TQRTL_API int GetTempFile(TQString* path, char const* prefix);

// FindFile: looks for `name` along `searchPath` (a ';'-separated list; null
// means the environment variable PATH, and 0 when it is not set) with the
// system's search rules (SearchPathA), and stores the full path found in
// *path; 1. Not found: 0, *path emptied.
TQRTL_API int FindFile(char const* name, char const* searchPath, TQString* path);

}  // namespace FileUtil

#endif  // TQRTL_FILES_FILEUTIL_H_
