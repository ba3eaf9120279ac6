// FileSearchPaths.h: the search paths that the application's file finders
// use, kept where the user keeps them.
//
// GlobalSearchPath is the user's source search path setting (the "Paths"
// value of the application's "SrcPath" key, TQApplSettings::
// SrcSearchPathSetting), reached through the current application shell.
// WorkspaceSearchPath is a workspace's source paths with the global setting
// behind them, so a workspace's own directories are searched first.
//
// Both read their store afresh on every Value, so a finder sees changes made
// by other objects or processes at its next search, and both write through
// in Add: the global path stores the setting at once (only when it
// changes), the workspace path changes the workspace's source paths and
// leaves saving the workspace to its owner. Add does not touch the list that
// Value returned; the next Value shows the directory.
//
// Like every search path of the library, they are created with count 0 and
// delete themselves when the last finder releases them (FileFinder.h).
//
// Choices these classes make:
// - When the setting cannot be read (no current shell, or the registry
//   fails), the global part of a list is empty, so a finder still searches
//   the current directory and a workspace's own paths; when it cannot be
//   written, GlobalSearchPath::Add leaves it as it was. A search never
//   fails for want of a setting. Running out of memory still throws
//   TQMemoryException.
// - A WorkspaceSearchPath made with a null workspace has only the global
//   part, and its Add does nothing.
//
// Thread-safety: the reference count only (see RefCntObject). Add reads,
// changes and writes the setting without a lock: two processes adding at
// the same moment can lose one directory.
#ifndef TQRTL_SHELL_FILESEARCHPATHS_H_
#define TQRTL_SHELL_FILESEARCHPATHS_H_

#include "tqrtl/files/FileFinder.h"
#include "tqrtl/platform/win32.h"
#include "tqrtl/shell/TQWorkspace.h"
#include "tqrtl/strings/SegmentedString.h"

class TQRTL_API GlobalSearchPath : public FileFinder::SearchPathA {
 public:
  // Count 0, deleted when unreferenced, an empty list until Value.
  GlobalSearchPath();
  ~GlobalSearchPath() override;

  // Value: the setting's directories (read now).
  DirectoryPathString const& Value() override;
  // Add: appends `directory` to the setting unless it holds it already
  // (ignoring letter case) and stores it.
  void Add(char const* directory) override;
};

class TQRTL_API WorkspaceSearchPath : public FileFinder::SearchPathA {
 public:
  // As GlobalSearchPath, over `workspace`, which must outlive this object
  // (it is not owned).
  explicit WorkspaceSearchPath(TQWorkspace* workspace);
  ~WorkspaceSearchPath() override;

  // Value: the workspace's source paths, then those of the global setting
  // that are not among them.
  DirectoryPathString const& Value() override;
  // Add: appends `directory` to the workspace's source paths unless they
  // hold it already (ignoring letter case).
  void Add(char const* directory) override;

 private:
  TQWorkspace* m_workspace;
};

#endif  // TQRTL_SHELL_FILESEARCHPATHS_H_
