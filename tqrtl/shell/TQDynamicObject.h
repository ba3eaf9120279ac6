// TQDynamicObject.h: objects that live in modules named in the registry,
// and the framework shells that the application shell loads that way.
//
// A dynamic object's registry entry is a TQReg::DynamicObjectKey: its
// unnamed value is the module's file name, its "Load" value switches the
// entry on (nonzero) or off (0). Loading maps the module, calls a factory
// function that the module exports under a name the caller gives, and keeps
// the object it returns together with the module handle, so that the module
// can be freed later.
//
// The factory takes no arguments and returns the object, or null for
// failure. Framework shells export it as "GetTQFrameworkShellInstance":
//
//   extern "C" TQ_MODULE_EXPORT void* GetTQFrameworkShellInstance() {
//     static MyShell shell;
//     return static_cast<TQFrameworkShell*>(&shell);
//   }
//
// The pointer returned must be the object converted to the class the
// caller loads (TQFrameworkShell* for TQFS_Load, TQDynamicObject* for
// TQDO_Load), so that a shell with further base classes is still found at
// the right address.
//
// Lifecycle: none (0) -> loaded (1) by TQDO_Load -> started (2) by
// TQDO_StartUp -> shut down (3) by TQDO_ShutDown -> unloaded (4) by
// TQDO_Unload. Unloading frees the module, which holds the object's code:
// the object must not be used afterwards, and the library never deletes it
// (a module normally hands out an object of static storage, which the
// module's unload destroys).
//
// Module names: LoadLibraryA's rules apply. When that fails and a search
// path is given, the name is looked for along it (FileUtil::FindFile) and
// loaded once more by the full path found; there is no further search.
//
// Failures are reported through SysUtil::LoadResult (or null); nothing is
// thrown, registry failures included (they count as LoadFailed). Not
// locked: a dynamic object belongs to the thread that loads it.
#ifndef TQRTL_SHELL_TQDYNAMICOBJECT_H_
#define TQRTL_SHELL_TQDYNAMICOBJECT_H_

#include "tqrtl/platform/win32.h"
#include "tqrtl/registry/TQReg.h"
#include "tqrtl/strings/TQString.h"

// TQ_MODULE_EXPORT: what a module writes before a factory function so that
// the library can find it by name.
#if defined(_WIN32)
#define TQ_MODULE_EXPORT __declspec(dllexport)
#else
#define TQ_MODULE_EXPORT __attribute__((visibility("default")))
#endif

namespace SysUtil {

enum LoadResult {
  LoadSucceeded = 0,
  // The entry names no module, the module cannot be loaded, it lacks the
  // factory, or the factory returned null.
  LoadFailed = 1,
  // The entry's "Load" value is 0; the module was not touched.
  LoadDisabled = 2,
};

// The type of a factory function.
typedef void* (*ObjectFactory)();

// LoadObject: loads `module`, calls its export `factoryName` and returns the
// object it made; *moduleHandle = the module, which stays loaded and
// belongs to the caller. Null on any failure, the module then freed again
// and *moduleHandle unchanged. `searchPath` (';'-separated, may be null):
// where to look for the module when loading it by its name fails.
TQRTL_API void* LoadObject(char const* module, char const* factoryName, HINSTANCE* moduleHandle,
                           char const* searchPath);

// LoadObject: the same for the module named by a registry entry.
// LoadFailed, *object and *moduleHandle untouched, when the entry's module
// name is empty (or the registry cannot be read); LoadDisabled, nothing
// else touched, when its "Load" is 0. Otherwise *object = the object (null
// on failure) and the result is LoadSucceeded exactly when it is not null.
TQRTL_API LoadResult LoadObject(TQReg::DynamicObjectKey const& key, char const* factoryName,
                                void** object, HINSTANCE* moduleHandle, char const* searchPath);

}  // namespace SysUtil

class TQRTL_API TQDynamicObject {
 public:
  enum TQDOState {
    TQDO_StateNone = 0,
    TQDO_StateLoaded = 1,
    TQDO_StateStarted = 2,
    TQDO_StateShutDown = 3,
    TQDO_StateUnloaded = 4,
  };

  // Destroys the name; the module is not freed (TQDO_Unload does that).
  virtual ~TQDynamicObject();

  // TQDO_Unload: state = unloaded, then FreeLibrary(module); whether that
  // succeeded. The state is unloaded either way.
  virtual bool TQDO_Unload();
  // TQDO_StartUp, TQDO_ShutDown: set the state to started / shut down and
  // return true. Derived classes do their work here and set the state
  // through TQDO_SetState.
  virtual bool TQDO_StartUp();
  virtual bool TQDO_ShutDown();

  void TQDO_Init(HINSTANCE module, char const* name, TQDOState state);

  HINSTANCE TQDO_Module() const { return m_module; }
  char const* TQDO_Name() const { return m_name; }
  TQDOState TQDO_State() const { return m_state; }

 protected:
  // Module null, empty name, state none.
  TQDynamicObject();
  TQDynamicObject(TQDynamicObject const& other);
  TQDynamicObject& operator=(TQDynamicObject const& other);

  void TQDO_SetState(TQDOState state) { m_state = state; }

  // TQDO_Load: SysUtil::LoadObject on the entry; on success the object is
  // initialised with the module, the entry's key name and state loaded.
  // *object is written when SysUtil::LoadObject writes it (see there).
  static SysUtil::LoadResult TQDO_Load(TQReg::DynamicObjectKey const& key,
                                       char const* factoryName, TQDynamicObject** object,
                                       char const* searchPath);

 protected:
  // What TQDO_Load and TQFS_Load share: the factory's result is taken as a
  // T*, a class derived from TQDynamicObject.
  template <class T>
  static SysUtil::LoadResult LoadAs(TQReg::DynamicObjectKey const& key, char const* factoryName,
                                    T** object, char const* searchPath);

 private:
  HINSTANCE m_module;
  TQString m_name;
  TQDOState m_state;
};

// TQFrameworkShell: a plug-in of the application shell, loaded from its
// registry list at start-up, started after loading and shut down before
// unloading. Adds nothing to TQDynamicObject; copies take module, name and
// state.
class TQRTL_API TQFrameworkShell : public TQDynamicObject {
 public:
  ~TQFrameworkShell() override;

  // TQFS_Load: TQDO_Load with the factory "GetTQFrameworkShellInstance",
  // whose result is taken as a TQFrameworkShell*.
  static SysUtil::LoadResult TQFS_Load(TQReg::DynamicObjectKey const& key, TQFrameworkShell** shell,
                                       char const* searchPath);

 protected:
  TQFrameworkShell();
  TQFrameworkShell(TQFrameworkShell const& other);
  TQFrameworkShell& operator=(TQFrameworkShell const& other);
};

#endif  // TQRTL_SHELL_TQDYNAMICOBJECT_H_
