// FileSearchPaths: search paths in the user's setting and in a workspace.
#include "tqrtl/shell/FileSearchPaths.h"

#include "tqrtl/errors/TQException.h"
#include "tqrtl/registry/TQApplSettings.h"
#include "tqrtl/shell/TQApplShell.h"

namespace {

// The text of the user's source search path setting; "" when there is no
// current shell or the registry fails (it throws its status code).
TQString ReadGlobalPaths() {
  if (TQApplShell::Instance() == nullptr) return TQString();
  try {
    TQApplSettings::SrcSearchPathSetting setting;
    return TQString(setting.m_paths.Get());
  } catch (unsigned int) {
    return TQString();
  }
}

}  // namespace

// ---------------------------------------------------------------------------
// GlobalSearchPath

GlobalSearchPath::GlobalSearchPath() = default;

GlobalSearchPath::~GlobalSearchPath() = default;

DirectoryPathString const& GlobalSearchPath::Value() {
  m_paths = static_cast<char const*>(ReadGlobalPaths());
  return m_paths;
}

void GlobalSearchPath::Add(char const* directory) {
  if (TQApplShell::Instance() == nullptr) return;
  try {
    TQApplSettings::SrcSearchPathSetting setting;
    DirectoryPathString list(setting.m_paths.Get());
    list += directory;
    // Stores only when the text differs from what is stored.
    setting.m_paths = static_cast<char const*>(list);
  } catch (unsigned int) {
    // The registry failed: the directory is not remembered.
  }
}

// ---------------------------------------------------------------------------
// WorkspaceSearchPath

WorkspaceSearchPath::WorkspaceSearchPath(TQWorkspace* workspace) : m_workspace(workspace) {}

WorkspaceSearchPath::~WorkspaceSearchPath() = default;

DirectoryPathString const& WorkspaceSearchPath::Value() {
  m_paths = m_workspace != nullptr ? static_cast<char const*>(m_workspace->SrcPaths()) : "";
  m_paths += static_cast<char const*>(ReadGlobalPaths());
  return m_paths;
}

void WorkspaceSearchPath::Add(char const* directory) {
  if (m_workspace == nullptr) return;
  DirectoryPathString list(m_workspace->SrcPaths());
  list += directory;
  m_workspace->SrcPaths() = static_cast<char const*>(list);
}
