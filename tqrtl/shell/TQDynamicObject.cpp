#include "tqrtl/shell/TQDynamicObject.h"

#include "tqrtl/files/FileUtil.h"

namespace SysUtil {

void* LoadObject(char const* module, char const* factoryName, HINSTANCE* moduleHandle,
                 char const* searchPath) {
  if (module == nullptr || factoryName == nullptr || moduleHandle == nullptr) return nullptr;
  const HMODULE loaded = LoadLibraryA(module);
  if (loaded == nullptr) {
    if (searchPath == nullptr) return nullptr;
    TQString found;
    if (!FileUtil::FindFile(module, searchPath, &found)) return nullptr;
    // One retry by the full path; no search beyond it.
    return LoadObject(found, factoryName, moduleHandle, nullptr);
  }
  // Through void (*)(), the one function type a cast to any other is
  // expected from.
  const ObjectFactory factory = reinterpret_cast<ObjectFactory>(
      reinterpret_cast<void (*)()>(GetProcAddress(loaded, factoryName)));
  if (factory == nullptr) {
    FreeLibrary(loaded);
    return nullptr;
  }
  void* const object = factory();
  if (object == nullptr) {
    FreeLibrary(loaded);
    return nullptr;
  }
  *moduleHandle = loaded;
  return object;
}

LoadResult LoadObject(TQReg::DynamicObjectKey const& key, char const* factoryName, void** object,
                      HINSTANCE* moduleHandle, char const* searchPath) {
  TQString module;
  int load = 0;
  try {
    // A copy bound to the same registry key: reading a value is not const.
    TQReg::DynamicObjectKey entry(key);
    module = entry.m_module.Get();
    if (module.IsEmpty()) return LoadFailed;
    load = entry.m_load.Get();
  } catch (unsigned int) {
    return LoadFailed;
  }
  if (load == 0) return LoadDisabled;
  *object = LoadObject(module, factoryName, moduleHandle, searchPath);
  return *object != nullptr ? LoadSucceeded : LoadFailed;
}

}  // namespace SysUtil

TQDynamicObject::TQDynamicObject() : m_module(nullptr), m_state(TQDO_StateNone) {}

TQDynamicObject::TQDynamicObject(TQDynamicObject const& other) = default;

TQDynamicObject& TQDynamicObject::operator=(TQDynamicObject const& other) = default;

TQDynamicObject::~TQDynamicObject() = default;

void TQDynamicObject::TQDO_Init(HINSTANCE module, char const* name, TQDOState state) {
  m_module = module;
  m_name = name;
  m_state = state;
}

bool TQDynamicObject::TQDO_Unload() {
  m_state = TQDO_StateUnloaded;
  return FreeLibrary(m_module) != FALSE;
}

bool TQDynamicObject::TQDO_StartUp() {
  m_state = TQDO_StateStarted;
  return true;
}

bool TQDynamicObject::TQDO_ShutDown() {
  m_state = TQDO_StateShutDown;
  return true;
}

template <class T>
SysUtil::LoadResult TQDynamicObject::LoadAs(TQReg::DynamicObjectKey const& key,
                                            char const* factoryName, T** object,
                                            char const* searchPath) {
  // The sentinel tells whether LoadObject wrote the object pointer, which
  // it does not when the entry names no module or is switched off.
  static char unwritten;
  void* raw = &unwritten;
  HINSTANCE module = nullptr;
  const SysUtil::LoadResult result =
      SysUtil::LoadObject(key, factoryName, &raw, &module, searchPath);
  if (raw == &unwritten) return result;
  *object = static_cast<T*>(raw);
  if (result == SysUtil::LoadSucceeded) (*object)->TQDO_Init(module, key.Name(), TQDO_StateLoaded);
  return result;
}

SysUtil::LoadResult TQDynamicObject::TQDO_Load(TQReg::DynamicObjectKey const& key,
                                               char const* factoryName, TQDynamicObject** object,
                                               char const* searchPath) {
  return LoadAs(key, factoryName, object, searchPath);
}

TQFrameworkShell::TQFrameworkShell() = default;

TQFrameworkShell::TQFrameworkShell(TQFrameworkShell const& other) = default;

TQFrameworkShell& TQFrameworkShell::operator=(TQFrameworkShell const& other) = default;

TQFrameworkShell::~TQFrameworkShell() = default;

SysUtil::LoadResult TQFrameworkShell::TQFS_Load(TQReg::DynamicObjectKey const& key,
                                                TQFrameworkShell** shell,
                                                char const* searchPath) {
  return LoadAs(key, "GetTQFrameworkShellInstance", shell, searchPath);
}
