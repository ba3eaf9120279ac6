// TQWorkspace.h: the per-project settings that the tools of the family
// share (a working directory, the source search paths and the symbol
// search paths), kept in a section of a storage file.
//
// The section is named "TQWorkspace" and holds, from its start, three
// strings in TQStream's stored form: workingDir, srcPaths, symbolPaths.
// Derived classes may keep more data behind them, or in sections of their
// own (GetStorage).
//
// Load binds the workspace to a storage file and reads the settings; a
// file that does not exist is created with the defaults (unless the
// workspace is read-only). Save writes the settings back and then tells the
// receivers with a TQWorkspace::SettingsChanged notification. Close lets go
// of the file.
//
// Choices this class makes:
// - A copy has a receiver list of its own, empty: copying a workspace does
//   not copy who listens to it. It takes the source's settings as they are
//   (saved or not), its name, path and read-only flag; when the source is
//   loaded, the copy opens the same file with a storage of its own (a
//   storage cannot be shared), so each saves on its own.
// - A file that exists but cannot be loaded (truncated, damaged, not a
//   storage file, unreadable, or a "TQWorkspace" section too short for its
//   three strings) is never replaced: Load returns 0 and the file stays as
//   it was. Only a missing file is created.
// - Save writes and notifies only while the workspace is loaded, and sends
//   SettingsChanged only when the storage file was written: receivers are
//   told about settings that are on the disk. A failed save leaves the file
//   as it was (TQStorage saves all or nothing); LastSaveFailed tells.
// - Load on a loaded workspace lets go of the old file first (as Close).
//
// Failures are results (Load's 0, LastSaveFailed); the only exception that
// leaves this class is TQMemoryException. Not locked: one thread uses a
// workspace at a time; the receiver list is a plain EventSender's.
#ifndef TQRTL_SHELL_TQWORKSPACE_H_
#define TQRTL_SHELL_TQWORKSPACE_H_

#include <optional>

#include "tqrtl/core/EventSender.h"
#include "tqrtl/files/TQStorage.h"
#include "tqrtl/files/TQStream.h"
#include "tqrtl/platform/win32.h"
#include "tqrtl/strings/TQString.h"

class TQRTL_API TQWorkspace : public EventSender {
 public:
  // Sent to the receivers (ScopeAll) after each successful Save.
  struct TQRTL_API SettingsChanged : EventNotification {
    ~SettingsChanged() override;
  };

  // The name of the storage section that holds the settings.
  static constexpr char const kSectionName[] = "TQWorkspace";

  // Empty strings, nothing loaded, then InitDefaults().
  explicit TQWorkspace(bool readOnly = false);
  // Name set, the settings strings empty, nothing loaded. (InitDefaults is
  // not called.)
  TQWorkspace(char const* name, bool readOnly);
  // See the top of this file.
  TQWorkspace(TQWorkspace& other);
  TQWorkspace& operator=(TQWorkspace const&) = delete;
  // Closes the storage (deleting its temporary files), then the receiver
  // list goes; receivers are not told.
  ~TQWorkspace() override;

  // Load: pathname = `pathname`, name = `name` unless null, InitDefaults(),
  // then the file (see the top of this file). 1 when the workspace is
  // loaded; 0 when the file cannot be loaded, is missing for a read-only
  // workspace, or cannot be created (the fields then hold the defaults).
  virtual int Load(char const* pathname, char const* name);
  // Close: lets go of the storage file (unsaved settings stay in the
  // object, but no longer reach the file).
  virtual void Close();
  // Save: nothing for a read-only workspace; otherwise see the top of this
  // file.
  virtual void Save();
  // ShowSettings: nothing here; for derived classes.
  virtual void ShowSettings();

  char const* Name() const { return m_name; }
  TQString& Name() { return m_name; }
  char const* Pathname() const { return m_pathname; }
  char const* WorkingDir() const { return m_workingDir; }
  TQString& WorkingDir() { return m_workingDir; }
  char const* SrcPaths() const { return m_srcPaths; }
  TQString& SrcPaths() { return m_srcPaths; }
  char const* SymbolPaths() const { return m_symbolPaths; }
  TQString& SymbolPaths() { return m_symbolPaths; }
  bool IsReadOnly() const { return m_readOnly; }
  // IsLoaded: bound to a storage file whose section the settings go to.
  bool IsLoaded() const { return m_loaded; }
  // LastSaveFailed: the last Save of a writable workspace wrote nothing
  // (not loaded, or the stream or the storage file failed).
  bool LastSaveFailed() const { return m_saveFailed; }
  // GetStorage: the storage file the workspace is bound to (unbound while
  // not loaded). The object changes at Load and Close.
  TQStorage* GetStorage() { return &*m_storage; }

 protected:
  // InitDefaults: empties workingDir, srcPaths and symbolPaths.
  virtual void InitDefaults();

 private:
  // Binds m_stream to the section in a storage opened on m_pathname,
  // adding the section when the file lacks it (*found false then). 0 when
  // the file cannot be opened or the section cannot be made (nothing bound).
  int Bind(bool* found);
  // Lets go of the stream and the storage, leaving a fresh unbound one.
  void Release();
  // The settings to (store) or from (load) the start of the section. A load
  // changes the fields only when all three strings were read.
  int Transfer(bool load);

  bool m_readOnly;
  TQString m_name;
  TQString m_pathname;
  TQString m_workingDir;
  TQString m_srcPaths;
  TQString m_symbolPaths;
  TQStream m_stream;
  // Always engaged; rebuilt on Close, since a storage stays bound to its file
  // name after its own Close.
  std::optional<TQStorage> m_storage;
  bool m_loaded = false;
  bool m_saveFailed = false;
};

#endif  // TQRTL_SHELL_TQWORKSPACE_H_
