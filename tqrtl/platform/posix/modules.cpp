// Modules and string resources.
//
// A module handle is the address at which the module's first segment is
// mapped, as on Windows: dladdr's dli_fbase. The main program's handle is
// found the same way through dl_iterate_phdr, which lists it first.
//
// String tables: each module's TQRTL_STRING_TABLE registers itself (a
// list of small nodes, one per table) under the module that holds the
// table; LoadStringA looks the
// id up in the table of the module asked for.
#include <dlfcn.h>
#include <elf.h>
#include <fcntl.h>
#include <limits.h>
#include <link.h>
#include <pthread.h>
#include <strings.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#undef LOCK_WRITE  // <fcntl.h>'s flock constant; IStream's replaces it
#include "tqrtl/platform/posix/fork.h"
#include "tqrtl/platform/posix/internal.h"

namespace {

struct ModuleInfo {
  HMODULE handle = nullptr;
  std::string path;  // as the loader knows it; empty for the main program
};

// Calls `visit` for each loaded object until it returns true.
template <class Visit>
void ForEachModule(Visit visit) {
  struct Context {
    Visit* visit;
    bool first;
  } context{&visit, true};
  dl_iterate_phdr(
      [](dl_phdr_info* info, size_t, void* data) -> int {
        Context* ctx = static_cast<Context*>(data);
        const bool main_program = ctx->first;
        ctx->first = false;
        const ElfW(Phdr)* load = nullptr;
        for (int i = 0; i < info->dlpi_phnum; ++i) {
          if (info->dlpi_phdr[i].p_type == PT_LOAD) {
            load = &info->dlpi_phdr[i];
            break;
          }
        }
        if (load == nullptr) return 0;
        Dl_info where{};
        const void* address = reinterpret_cast<const void*>(info->dlpi_addr + load->p_vaddr);
        if (dladdr(address, &where) == 0) return 0;
        ModuleInfo module;
        module.handle = static_cast<HMODULE>(where.dli_fbase);
        if (!main_program && info->dlpi_name != nullptr) module.path = info->dlpi_name;
        return (*ctx->visit)(module, main_program) ? 1 : 0;
      },
      &context);
}

std::string MainProgramPath() {
  char path[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", path, sizeof(path) - 1);
  if (n <= 0) return std::string();
  return std::string(path, static_cast<size_t>(n));
}

std::string BaseName(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Whether `file` (a file name on disk) answers to the Win32-style module
// name `name`: the same name ignoring case, or the name with ".so" added, a
// "lib" prefix, or ".dll" standing for ".so". A version suffix after ".so"
// is ignored.
bool NameMatches(const std::string& file, std::string name) {
  std::string stem = file;
  const size_t so = stem.find(".so");
  if (so != std::string::npos) stem = stem.substr(0, so);
  if (name.size() > 4 && strcasecmp(name.c_str() + name.size() - 4, ".dll") == 0)
    name = name.substr(0, name.size() - 4);
  else if (name.size() > 3 && strcasecmp(name.c_str() + name.size() - 3, ".so") == 0)
    name = name.substr(0, name.size() - 3);
  if (strcasecmp(file.c_str(), name.c_str()) == 0) return true;
  if (strcasecmp(stem.c_str(), name.c_str()) == 0) return true;
  return strcasecmp(stem.c_str(), ("lib" + name).c_str()) == 0;
}

// The registered string tables.
pthread_mutex_t g_tables_lock = PTHREAD_MUTEX_INITIALIZER;

struct TableNode {
  const TQStringResource* table;
  int count;
  HMODULE module;
  TableNode* next;
};
TableNode* g_tables = nullptr;

// The modules LoadLibraryA loaded as code: each one's loader handle and the
// loads that FreeLibrary has not yet given back (one dlclose each). Never
// destroyed, so FreeLibrary works in code that runs at exit.
pthread_mutex_t g_loaded_lock = PTHREAD_MUTEX_INITIALIZER;
struct Loaded {
  void* handle;
  int loads;
};
std::map<HMODULE, Loaded>* const g_loaded = new std::map<HMODULE, Loaded>;

// The file names a Win32 module name may stand for here, in the order they
// are tried: the name itself; then, for "Name.dll" or a name without an
// extension (to which Windows adds ".dll"), "Name.so" and "libName.so".
std::vector<std::string> FileNamesFor(const std::string& file) {
  std::vector<std::string> names{file};
  const size_t dot = file.find_last_of('.');
  std::string stem;
  if (dot == std::string::npos)
    stem = file;
  else if (strcasecmp(file.c_str() + dot, ".dll") == 0)
    stem = file.substr(0, dot);
  if (!stem.empty()) {
    names.push_back(stem + ".so");
    names.push_back("lib" + stem + ".so");
  }
  return names;
}

enum class Probe { kMissing, kNotALibrary, kLibrary };

// ProbeFile: whether `path` is missing (or not a regular file), a file the
// loader cannot map, or one it can.
Probe ProbeFile(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno == ENOENT || errno == ENOTDIR ? Probe::kMissing : Probe::kNotALibrary;
  struct stat facts;
  Probe result = Probe::kMissing;
  if (fstat(fd, &facts) == 0 && S_ISREG(facts.st_mode)) {
    result = Probe::kNotALibrary;
    const size_t length = static_cast<size_t>(facts.st_size);
    void* image = length > 0 ? mmap(nullptr, length, PROT_READ, MAP_PRIVATE, fd, 0) : MAP_FAILED;
    if (image != MAP_FAILED) {
      if (tqrtl::posix::IsLoadableElf(image, length)) result = Probe::kLibrary;
      munmap(image, length);
    }
  }
  close(fd);
  return result;
}

// Register: the module handle of what dlopen returned, counted as one
// more load. Null with ERROR_MOD_NOT_FOUND when it cannot be placed.
HMODULE Register(void* handle) {
  link_map* map = nullptr;
  Dl_info where{};
  if (dlinfo(handle, RTLD_DI_LINKMAP, &map) != 0 || map == nullptr ||
      dladdr(map->l_ld, &where) == 0 || where.dli_fbase == nullptr) {
    dlclose(handle);
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  const auto module = static_cast<HMODULE>(where.dli_fbase);
  pthread_mutex_lock(&g_loaded_lock);
  Loaded& loaded = (*g_loaded)[module];
  loaded.handle = handle;
  ++loaded.loads;
  pthread_mutex_unlock(&g_loaded_lock);
  return module;
}

// Open: dlopen of a file that is a library. A failure is a dependency that
// is missing (ERROR_MOD_NOT_FOUND) or a symbol no module defines
// (ERROR_PROC_NOT_FOUND), as Windows reports a failed import.
HMODULE Open(const std::string& path) {
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    const char* why = dlerror();
    SetLastError(why != nullptr && std::strstr(why, "undefined symbol") != nullptr
                     ? ERROR_PROC_NOT_FOUND
                     : ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  return Register(handle);
}

}  // namespace

void tqrtl::posix::ModulesForkPrepare() {
  pthread_mutex_lock(&g_tables_lock);
  pthread_mutex_lock(&g_loaded_lock);
}
void tqrtl::posix::ModulesForkRelease() {
  pthread_mutex_unlock(&g_loaded_lock);
  pthread_mutex_unlock(&g_tables_lock);
}

BOOL tqrtl::posix::FreeCodeModule(HMODULE module) {
  pthread_mutex_lock(&g_loaded_lock);
  const auto found = g_loaded->find(module);
  if (found == g_loaded->end()) {
    pthread_mutex_unlock(&g_loaded_lock);
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  void* handle = found->second.handle;
  if (--found->second.loads == 0) g_loaded->erase(found);
  pthread_mutex_unlock(&g_loaded_lock);
  // Outside the lock: the module's destructors may call into the layer.
  dlclose(handle);
  return TRUE;
}

extern "C" {

HMODULE WINAPI GetModuleHandleA(LPCSTR moduleName) {
  HMODULE found = nullptr;
  if (moduleName == nullptr) {
    ForEachModule([&](const ModuleInfo& module, bool main_program) {
      if (main_program) found = module.handle;
      return true;
    });
  } else {
    const std::string wanted = BaseName(moduleName);
    const std::string main_name = BaseName(MainProgramPath());
    ForEachModule([&](const ModuleInfo& module, bool main_program) {
      const std::string file = main_program ? main_name : BaseName(module.path);
      if (!file.empty() && NameMatches(file, wanted)) {
        found = module.handle;
        return true;
      }
      return false;
    });
  }
  if (found == nullptr) SetLastError(ERROR_MOD_NOT_FOUND);
  return found;
}

HMODULE WINAPI LoadLibraryA(LPCSTR fileName) {
  if (fileName == nullptr || *fileName == '\0') {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  const std::string name = fileName;
  const size_t slash = name.find_last_of('/');
  // A name with a folder is looked for there only; a bare name first in the
  // executable's folder, as Windows does.
  std::string folder;
  if (slash != std::string::npos) {
    folder = name.substr(0, slash + 1);
  } else {
    const std::string program = MainProgramPath();
    folder = program.substr(0, program.find_last_of('/') + 1);
  }
  const std::vector<std::string> files =
      FileNamesFor(slash == std::string::npos ? name : name.substr(slash + 1));
  bool not_a_library = false;
  if (!folder.empty()) {
    for (const std::string& file : files) {
      switch (ProbeFile(folder + file)) {
        case Probe::kMissing:
          break;
        case Probe::kNotALibrary:
          not_a_library = true;
          break;
        case Probe::kLibrary:
          return Open(folder + file);
      }
    }
  }
  if (slash == std::string::npos) {
    // Then the loader's own search: modules already loaded, LD_LIBRARY_PATH,
    // the library's run path, the system's folders.
    for (const std::string& file : files) {
      if (void* handle = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL)) return Register(handle);
    }
  }
  SetLastError(not_a_library ? ERROR_BAD_EXE_FORMAT : ERROR_MOD_NOT_FOUND);
  return nullptr;
}

FARPROC WINAPI GetProcAddress(HMODULE module, LPCSTR procName) {
  if (module == nullptr) module = GetModuleHandleA(nullptr);
  // No ordinals here: every export has a name.
  if (reinterpret_cast<ULONG_PTR>(procName) <= 0xFFFF) {
    SetLastError(ERROR_PROC_NOT_FOUND);
    return nullptr;
  }
  std::string path;
  bool known = false, is_program = false;
  ForEachModule([&](const ModuleInfo& info, bool main_program) {
    if (info.handle != module) return false;
    known = true;
    is_program = main_program;
    path = info.path;
    return true;
  });
  void* handle = !known        ? nullptr
                 : is_program ? dlopen(nullptr, RTLD_LAZY)
                              : dlopen(path.c_str(), RTLD_LAZY | RTLD_NOLOAD);
  if (handle == nullptr) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  // Only the module's own exports, as on Windows: dlsym also searches the
  // modules it depends on.
  void* symbol = dlsym(handle, procName);
  Dl_info where{};
  const bool own = symbol != nullptr && dladdr(symbol, &where) != 0 && where.dli_fbase == module;
  dlclose(handle);
  if (!own) {
    SetLastError(ERROR_PROC_NOT_FOUND);
    return nullptr;
  }
  return reinterpret_cast<FARPROC>(symbol);
}

DWORD WINAPI GetModuleFileNameA(HMODULE module, LPSTR fileName, DWORD size) {
  std::string path;
  bool known = false;
  ForEachModule([&](const ModuleInfo& info, bool main_program) {
    if (module == nullptr ? main_program : info.handle == module) {
      path = main_program ? MainProgramPath() : info.path;
      known = true;
      return true;
    }
    return false;
  });
  if (!known) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return 0;
  }
  char resolved[PATH_MAX];
  if (!path.empty() && path[0] != '/' && realpath(path.c_str(), resolved) != nullptr)
    path = resolved;
  if (size == 0) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  if (path.size() >= size) {
    // As Windows: the name is cut to fit, NUL-terminated, and the whole
    // buffer size is returned with ERROR_INSUFFICIENT_BUFFER.
    std::memcpy(fileName, path.data(), size - 1);
    fileName[size - 1] = '\0';
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return size;
  }
  std::memcpy(fileName, path.c_str(), path.size() + 1);
  return static_cast<DWORD>(path.size());
}

int WINAPI LoadStringA(HINSTANCE instance, UINT id, LPSTR buffer, int bufferMax) {
  if (buffer == nullptr || bufferMax <= 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  buffer[0] = '\0';
  const HMODULE module = instance != nullptr ? instance : GetModuleHandleA(nullptr);
  const char* text = nullptr;
  bool has_table = false;
  pthread_mutex_lock(&g_tables_lock);
  for (TableNode* node = g_tables; node != nullptr && text == nullptr; node = node->next) {
    if (node->module != module) continue;
    has_table = true;
    for (int i = 0; i < node->count; ++i) {
      if (node->table[i].id == id) {
        text = node->table[i].text;
        break;
      }
    }
  }
  pthread_mutex_unlock(&g_tables_lock);
  if (text == nullptr) {
    SetLastError(has_table ? ERROR_RESOURCE_NAME_NOT_FOUND : ERROR_RESOURCE_TYPE_NOT_FOUND);
    return 0;
  }
  size_t length = std::strlen(text);
  if (length > static_cast<size_t>(bufferMax - 1)) length = static_cast<size_t>(bufferMax - 1);
  std::memcpy(buffer, text, length);
  buffer[length] = '\0';
  return static_cast<int>(length);
}

}  // extern "C"

HMODULE TQModuleOfAddress(const void* address) {
  Dl_info where{};
  if (address == nullptr || dladdr(address, &where) == 0 || where.dli_fbase == nullptr) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  return static_cast<HMODULE>(where.dli_fbase);
}

// The registration object is the list node's owner; the node itself is
// allocated so that the public class keeps a one-pointer layout.
TQStringTableRegistration::TQStringTableRegistration(const TQStringResource* table, int count)
    : table_(table) {
  TableNode* node = new TableNode{table, count, TQModuleOfAddress(table), nullptr};
  pthread_mutex_lock(&g_tables_lock);
  node->next = g_tables;
  g_tables = node;
  pthread_mutex_unlock(&g_tables_lock);
}

TQStringTableRegistration::~TQStringTableRegistration() {
  // The main program stays mapped until the process ends, so its table stays
  // usable by code that runs after its static objects are gone (the
  // library's shutdown callbacks); a shared object's table leaves with it.
  pthread_mutex_lock(&g_tables_lock);
  for (TableNode** link = &g_tables; *link != nullptr; link = &(*link)->next) {
    TableNode* node = *link;
    if (node->table != table_) continue;
    if (node->module == GetModuleHandleA(nullptr)) break;
    *link = node->next;
    delete node;
    break;
  }
  pthread_mutex_unlock(&g_tables_lock);
}
