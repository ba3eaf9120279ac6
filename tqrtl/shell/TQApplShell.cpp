#include "tqrtl/shell/TQApplShell.h"

#include <new>

#include "tqrtl/errors/TQException.h"

TQApplShell* TQApplShell::m_instance = nullptr;

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

}  // namespace

TQApplShell::TQApplShell(TQIPC::RoleType role)
    : TQCommandTable(role, "TQShell", role == TQIPC::Master ? "TQMasterShell" : "TQSlaveShell",
                     0),
      m_machine_key(nullptr),
      m_user_key(nullptr) {
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
