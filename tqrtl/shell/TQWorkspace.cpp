#include "tqrtl/shell/TQWorkspace.h"

#include <cstdio>

TQWorkspace::SettingsChanged::~SettingsChanged() = default;

TQWorkspace::TQWorkspace(bool readOnly) : m_readOnly(readOnly) {
  m_storage.emplace();
  InitDefaults();
}

TQWorkspace::TQWorkspace(char const* name, bool readOnly) : m_readOnly(readOnly), m_name(name) {
  m_storage.emplace();
}

TQWorkspace::TQWorkspace(TQWorkspace& other)
    : EventSender(),
      m_readOnly(other.m_readOnly),
      m_name(other.m_name),
      m_pathname(other.m_pathname),
      m_workingDir(other.m_workingDir),
      m_srcPaths(other.m_srcPaths),
      m_symbolPaths(other.m_symbolPaths) {
  m_storage.emplace();
  bool found = false;
  if (other.m_loaded && !Bind(&found)) Release();
}

TQWorkspace::~TQWorkspace() = default;

void TQWorkspace::InitDefaults() {
  m_workingDir.Empty();
  m_srcPaths.Empty();
  m_symbolPaths.Empty();
}

void TQWorkspace::ShowSettings() {}

void TQWorkspace::Release() {
  // The stream first: it points into a section file that the storage owns.
  m_stream = TQStream();
  m_storage.emplace();
  m_loaded = false;
}

void TQWorkspace::Close() { Release(); }

int TQWorkspace::Bind(bool* found) {
  TQStorage& storage = *m_storage;
  if (!storage.Open(m_pathname)) return 0;
  *found = storage.FindSection(kSectionName, &m_stream) != 0;
  if (!*found && !storage.AddSection(kSectionName, &m_stream)) return 0;
  m_loaded = true;
  return 1;
}

int TQWorkspace::Load(char const* pathname, char const* name) {
  Release();
  m_pathname = pathname;
  if (name != nullptr) m_name = name;
  InitDefaults();
  if (m_pathname.IsEmpty()) return 0;

  bool found = false;
  if (Bind(&found)) {
    if (!found || Transfer(true)) return 1;
    // The section is damaged: the file is left alone, and nothing of it is
    // kept that a later Save could write back over it.
    Release();
    InitDefaults();
    return 0;
  }
  Release();
  if (m_readOnly) return 0;
  // Create without overwriting: a file that exists but did not load is
  // someone's data, not ours to replace.
  if (!m_storage->Create(m_pathname, false)) return 0;
  if (!m_storage->AddSection(kSectionName, &m_stream)) {
    Release();
    std::remove(m_pathname);
    return 0;
  }
  m_loaded = true;
  m_saveFailed = false;
  Save();
  if (m_saveFailed) {
    // An empty file left behind would not load, and would stop the next
    // Load from creating a sound one.
    Release();
    std::remove(m_pathname);
    InitDefaults();
    return 0;
  }
  return 1;
}

int TQWorkspace::Transfer(bool load) {
  if (!m_stream.Rewind()) return 0;
  if (load) {
    TQString workingDir, srcPaths, symbolPaths;
    if (!m_stream.Read(&workingDir) || !m_stream.Read(&srcPaths) || !m_stream.Read(&symbolPaths))
      return 0;
    m_workingDir = workingDir;
    m_srcPaths = srcPaths;
    m_symbolPaths = symbolPaths;
    return 1;
  }
  if (!m_stream.Write(m_workingDir) || !m_stream.Write(m_srcPaths) ||
      !m_stream.Write(m_symbolPaths))
    return 0;
  // Flushes the section's file (the interface then answers E_NOTIMPL).
  m_stream.Data()->Commit(STGC_DEFAULT);
  return 1;
}

void TQWorkspace::Save() {
  if (m_readOnly) return;
  m_saveFailed = !m_loaded || !Transfer(false) || !m_storage->Save();
  if (!m_saveFailed) EventNotify(SettingsChanged(), ScopeAll);
}
