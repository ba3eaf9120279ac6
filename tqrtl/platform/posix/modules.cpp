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
#include <limits.h>
#include <link.h>
#include <pthread.h>
#include <strings.h>
#include <unistd.h>

#include <cstring>
#include <string>

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

}  // namespace

void tqrtl::posix::ModulesForkPrepare() { pthread_mutex_lock(&g_tables_lock); }
void tqrtl::posix::ModulesForkRelease() { pthread_mutex_unlock(&g_tables_lock); }

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
