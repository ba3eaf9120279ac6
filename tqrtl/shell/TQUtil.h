// TQUtil.h: the library module itself: its handle, its string resources and
// the shutdown callbacks of the modules that use it.
//
// Modules of the tool family (the application and its framework shells)
// register one callback each under their own module handle. The callbacks
// run when the application calls KickShutDown or, at the latest, once when
// the library is unloaded.
//
// Thread-safety: none. Modules register and unregister from the thread that
// loads and unloads them; the system loader runs attach and detach one at a
// time.
#ifndef TQRTL_SHELL_TQUTIL_H_
#define TQRTL_SHELL_TQUTIL_H_

#include "tqrtl/core/StringHandle.h"
#include "tqrtl/platform/win32.h"
#include "tqrtl/strings/TQString.h"

namespace TQUtil {

typedef void (*ShutDownCallback)();

// ModuleHandle: the library's own module handle; null before the library
// has attached to the process and after it has detached.
TQRTL_API HINSTANCE ModuleHandle();

// LoadStringA: string resource `id` of the library into *text; true when a
// non-empty text was loaded.
TQRTL_API bool LoadStringA(unsigned int id, TQString* text);

// LoadStringA: string resource `id` of the library as a string handle (null
// when all handle slots are in use).
TQRTL_API StrUtil::StringHandle LoadStringA(unsigned int id);

// RegisterOnShutDownCallback: registers `callback` for `module`. False when
// the module already has one (the old one stays). Throws TQMemoryException
// when the map cannot grow.
TQRTL_API bool RegisterOnShutDownCallback(HINSTANCE module, ShutDownCallback callback);

// UnregisterOnShutDownCallback: removes the module's callback; false when it
// has none. Removing the last one frees the map.
TQRTL_API bool UnregisterOnShutDownCallback(HINSTANCE module);

// KickShutDown: calls every registered callback once, in map order (bucket
// by bucket, each chain newest first). The callbacks stay registered; a
// later call runs them again, but the library's unload does not.
TQRTL_API void KickShutDown();

}  // namespace TQUtil

#endif  // TQRTL_SHELL_TQUTIL_H_
