#include "tqrtl/shell/TQApplShell.h"

#include <new>

#include "tqrtl/errors/TQException.h"
#include "tqrtl/res/LibraryStrings.h"
#include "tqrtl/shell/TQUtil.h"
#include "tqrtl/shell/TQWorkspace.h"

TQApplShell* TQApplShell::m_instance = nullptr;

// Registered while the library is loaded, before any shell exists, so that
// a slave and its master (separate processes) agree on the number without
// asking each other.
UINT TQApplShell::m_get_workspace_msg_id = RegisterWindowMessageA("TQ_Get_Workspace_Name");

TQSession::Initialized::~Initialized() = default;
TQSession::Changed::~Changed() = default;
TQSession::StateChanged::~StateChanged() = default;
TQSession::SettingsChanged::~SettingsChanged() = default;

namespace {

// A key named by the shell, or null when memory ran out while making it
// (the key's own members allocate too).
template <typename Key>
Key* MakeKey(char const* name) {
  try {
    return new Key(name);
  } catch (const std::bad_alloc&) {
    return nullptr;
  } catch (const TQMemoryException&) {
    return nullptr;
  }
}

// Holds a critical section for one scope.
class Locked {
 public:
  explicit Locked(CRITICAL_SECTION* section) : section_(section) {
    EnterCriticalSection(section_);
  }
  ~Locked() { LeaveCriticalSection(section_); }
  Locked(const Locked&) = delete;
  Locked& operator=(const Locked&) = delete;

 private:
  CRITICAL_SECTION* section_;
};

// The longest caption ReportException makes up.
constexpr int kMaxCaptionLength = 260;

}  // namespace

TQApplShell::TQApplShell(TQIPC::RoleType role)
    : TQCommandTable(role, "TQShell", role == TQIPC::Master ? "TQMasterShell" : "TQSlaveShell",
                     0),
      m_machine_key(nullptr),
      m_user_key(nullptr),
      m_shells_head(nullptr),
      m_shells_tail(nullptr),
      m_free_nodes(nullptr),
      m_node_blocks(nullptr),
      m_shell_count(0),
      m_session_state(0) {
  InitializeCriticalSection(&m_lock);
  m_instance = this;
}

TQApplShell::TQApplShell() : TQApplShell(TQIPC::Slave) {}

TQApplShell::~TQApplShell() {
  // No arrival from the partner may find the shell half destroyed.
  TQIPC_Stop();
  delete m_machine_key;
  m_machine_key = nullptr;
  delete m_user_key;
  m_user_key = nullptr;
  // One shell per process is the rule; should an application break it, the
  // end of an older shell must not take away the newer current one.
  if (m_instance == this) m_instance = nullptr;
  DeleteCriticalSection(&m_lock);
  if (m_node_blocks != nullptr) m_node_blocks->FreeDataChain();
}

TQApplSettings::UserKey* TQApplShell::GetUserKey() const {
  if (m_user_key == nullptr) m_user_key = MakeKey<TQApplSettings::UserKey>(GetSettingsKeyName());
  return m_user_key;
}

TQApplSettings::MachineKey* TQApplShell::GetMachineKey() const {
  if (m_machine_key == nullptr) {
    m_machine_key = MakeKey<TQApplSettings::MachineKey>(GetSettingsKeyName());
  }
  return m_machine_key;
}

HWND TQApplShell::GetMainWnd() const { return nullptr; }

void TQApplShell::DisplayStatusMessage(char const*) {}

void TQApplShell::DisplayStatusMessage(unsigned int) {}

void TQApplShell::ReportSearchResult(SearchString const&, SearchResult) {}

// ---------------------------------------------------------------- Session

void TQApplShell::SetSessionState(TQSession::SessionState state) {
  m_session_state = state;
  EventNotify(TQSession::StateChanged(GetWorkspace(), state), ScopeAll);
}

bool TQApplShell::TQCT_PreExecute(int command) {
  if (!TQCommandTable::TQCT_PreExecute(command)) return false;
  switch (command) {
    case 0: SetSessionState(3); break;
    case 1: SetSessionState(9); break;
    case 2: SetSessionState(1); break;
    case 4:
      // The workspace is about to go: its notifications must no longer
      // reach the shell.
      if (TQWorkspace* workspace = GetWorkspace()) workspace->EventUnregister(AsReceiver());
      SetSessionState(11);
      break;
    default: break;
  }
  return true;
}

void TQApplShell::TQCT_PostExecute(int command, bool flag) {
  TQCommandTable::TQCT_PostExecute(command, flag);
  switch (command) {
    case 2:
      SetSessionState(2);
      if (TQWorkspace* workspace = GetWorkspace()) workspace->EventRegister(AsReceiver());
      break;
    case 4:
      SetSessionState(12);
      SetSessionState(0);
      break;
    default: break;
  }
}

int TQApplShell::UponEventNotification(EventNotification const* n, EventSender* sender) {
  if (TQIPC_MessageHandler::UponEventNotification(n, sender) != 0) return 1;
  if (dynamic_cast<TQWorkspace::SettingsChanged const*>(n) != nullptr) {
    EventNotify(TQSession::SettingsChanged(GetWorkspace()), ScopeAll);
    return 1;
  }
  if (auto const* connect = dynamic_cast<TQIPC::ConnectMsgArrived const*>(n)) {
    // Unhandled on purpose: the shell has no say in who connects.
    EventNotify(TQSession::Initialized(connect->Message().processId), ScopeAll);
    return 0;
  }
  return 0;
}

// ---------------------------------------------------------------- Start-up

int TQApplShell::OnStartUp() {
  if (!LoadFrameworkShells()) return 0;
  bool started = StartUpFrameworkShells() != 0;
  if (started && TQIPC_Role() != TQIPC::None) started = TQIPC_Start(TQIPC::None, nullptr, nullptr, 0);
  if (started) return 1;
  ShutDownFrameworkShells();
  UnloadFrameworkShells();
  return 0;
}

int TQApplShell::OnShutDown() {
  const bool down = ShutDownFrameworkShells() != 0;
  const bool unloaded = UnloadFrameworkShells() != 0;
  if (TQIPC_Role() != TQIPC::None) TQIPC_Stop();
  return down && unloaded ? 1 : 0;
}

int TQApplShell::LoadFrameworkShells() {
  int result = 0;
  try {
    result = LoadShellList();
  } catch (unsigned int) {
    // The registry failed part-way: as a shell that failed to load.
  } catch (const TQMemoryException&) {
  } catch (const std::bad_alloc&) {
  }
  if (result == 0) UnloadFrameworkShells();
  return result;
}

int TQApplShell::LoadShellList() {
  TQApplSettings::MachineKey* machine = GetMachineKey();
  if (machine == nullptr) return 0;
  Registry::Subkey& list = TQIPC_Role() == TQIPC::Slave ? machine->m_framework_shells.m_slave
                                                        : machine->m_framework_shells.m_master;
  const TQString installDir(machine->m_install_dir.Get());
  Registry::SubkeyIterator entries(list);
  while (entries.More()) {
    const TQReg::DynamicObjectKey entry(entries.Next());
    TQFrameworkShell* shell = nullptr;
    switch (TQFrameworkShell::TQFS_Load(entry, &shell, installDir)) {
      case SysUtil::LoadSucceeded:
        try {
          AppendShell(shell);
        } catch (...) {
          // Not in the list, so nobody else would free its module.
          shell->TQDO_Unload();
          throw;
        }
        break;
      case SysUtil::LoadFailed: return 0;
      default: break;  // switched off
    }
  }
  return 1;
}

int TQApplShell::StartUpFrameworkShells() {
  for (ShellNode* node = m_shells_head; node != nullptr; node = node->next) {
    TQFrameworkShell* shell = node->shell;
    if (shell->TQDO_State() != TQDynamicObject::TQDO_StateLoaded) continue;
    if (!shell->TQDO_StartUp()) {
      ShutDownFrameworkShells();
      return 0;
    }
  }
  return 1;
}

int TQApplShell::ShutDownFrameworkShells() {
  for (ShellNode* node = m_shells_head; node != nullptr; node = node->next) {
    TQFrameworkShell* shell = node->shell;
    if (shell->TQDO_State() != TQDynamicObject::TQDO_StateStarted) continue;
    if (!shell->TQDO_ShutDown()) return 0;
  }
  return 1;
}

int TQApplShell::UnloadFrameworkShells() {
  while (m_shells_head != nullptr) {
    TQFrameworkShell* shell = TakeFirstShell();
    const TQDynamicObject::TQDOState state = shell->TQDO_State();
    if (state == TQDynamicObject::TQDO_StateLoaded ||
        state == TQDynamicObject::TQDO_StateShutDown) {
      if (!shell->TQDO_Unload()) return 0;
    }
  }
  return 1;
}

void TQApplShell::AppendShell(TQFrameworkShell* shell) {
  if (m_free_nodes == nullptr) {
    TQPlex* block = TQPlex::Create(m_node_blocks, kShellsPerBlock, sizeof(ShellNode));
    ShellNode* nodes = static_cast<ShellNode*>(block->data());
    for (unsigned i = 0; i < kShellsPerBlock; ++i) {
      nodes[i].next = m_free_nodes;
      m_free_nodes = &nodes[i];
    }
  }
  ShellNode* node = m_free_nodes;
  m_free_nodes = node->next;
  node->next = nullptr;
  node->shell = shell;
  if (m_shells_tail != nullptr) m_shells_tail->next = node;
  else m_shells_head = node;
  m_shells_tail = node;
  ++m_shell_count;
}

TQFrameworkShell* TQApplShell::TakeFirstShell() {
  ShellNode* node = m_shells_head;
  m_shells_head = node->next;
  if (m_shells_head == nullptr) m_shells_tail = nullptr;
  --m_shell_count;
  node->next = m_free_nodes;
  m_free_nodes = node;
  return node->shell;
}

// ---------------------------------------------------------------- Reports

int TQApplShell::DisplayMessageBox(char const* text, unsigned int style, char const* caption,
                                   HWND owner) const {
  if (caption == nullptr) caption = GetApplName();
  if (owner == nullptr) owner = GetMainWnd();
  UINT flags = MB_TOPMOST | (style != 0 ? style : MB_ICONINFORMATION);
  if (owner == nullptr) flags |= MB_TASKMODAL;
  Locked hold(&m_lock);
  return MessageBoxA(owner, text, caption, flags);
}

int TQApplShell::ReportException(TQException const& e, unsigned int style, char const* caption,
                                 HWND owner) const {
  TQString made;
  if (caption == nullptr) {
    made.FormatX(TQRes::kApplicationErrorCaption, TQUtil::ModuleHandle(), GetApplName());
    if (made.GetLength() > kMaxCaptionLength) made = made.Left(kMaxCaptionLength);
    caption = made;
  }
  if (owner == nullptr) owner = GetMainWnd();
  Locked hold(&m_lock);
  return e.DisplayErrorMessage(style, caption, owner);
}

FileFinder* TQApplShell::MakeFileFinder(FileFinder::SearchPathA* path, char const* name) {
  FileFinder::UserPrompter* prompter = new FileFinder::UserPrompter(TQString(name));
  // Held until the finder has its own reference, so that a failed finder
  // takes the prompter with it.
  prompter->AddRef();
  FileFinder* finder = nullptr;
  try {
    finder = new FileFinder(path, prompter);
  } catch (...) {
    prompter->Release();
    throw;
  }
  prompter->Release();
  return finder;
}
