// A plug-in module for the tests of LoadLibraryA, GetProcAddress and
// FreeLibrary, built beside the test executables as libTQTestPlugin.so
// (TQTestPlugin.dll on Windows). It uses nothing of the library.
#if defined(_WIN32)
#define PLUGIN_EXPORT extern "C" __declspec(dllexport)
#else
#define PLUGIN_EXPORT extern "C" __attribute__((visibility("default")))
#endif

namespace {
int g_value = 0;  // 0 again each time the module is loaded anew
}  // namespace

// Stores `value` and returns the one before.
PLUGIN_EXPORT int TQPluginSetValue(int value) {
  const int old = g_value;
  g_value = value;
  return old;
}

PLUGIN_EXPORT int TQPluginValue() { return g_value; }
