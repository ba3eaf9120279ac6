// Modules loaded as data: LoadLibraryExA with LOAD_LIBRARY_AS_DATAFILE, and
// FreeLibrary of what it returns.
//
// Windows maps such a file without running any of its code when its loader
// accepts the image. Here the file is mapped read-only and private, and
// accepted when IsLoadableElf finds an ELF image the dynamic loader of this
// machine could map: a shared object or executable of the machine's class,
// byte order and architecture, whose program headers and loadable segments
// lie inside the file. Nothing of it is run. As on Windows, the handle is
// the mapping's address with bit 0 set, which marks it as data (no module
// of code is ever at an odd address).
//
// Thread-safety: every function may be called from any thread.
#include <elf.h>
#include <errno.h>
#include <fcntl.h>
#include <link.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <mutex>

#undef LOCK_WRITE  // <fcntl.h>'s flock constant; IStream's replaces it
#include "tqrtl/platform/posix/fork.h"
#include "tqrtl/platform/posix/internal.h"

namespace tqrtl::posix {
namespace {

#if defined(__x86_64__)
constexpr int kMachine = EM_X86_64;
#elif defined(__aarch64__)
constexpr int kMachine = EM_AARCH64;
#elif defined(__i386__)
constexpr int kMachine = EM_386;
#elif defined(__riscv)
constexpr int kMachine = EM_RISCV;
#else
#error "the ELF machine of this architecture is not known here"
#endif
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
constexpr unsigned char kByteOrder = ELFDATA2LSB;
#else
constexpr unsigned char kByteOrder = ELFDATA2MSB;
#endif
constexpr unsigned char kClass = sizeof(void*) == 8 ? ELFCLASS64 : ELFCLASS32;

// Whether [offset, offset + length) lies inside `size` bytes, without
// overflow.
bool Inside(uint64_t offset, uint64_t length, uint64_t size) {
  return offset <= size && length <= size - offset;
}

// The data-file mappings handed out: handle -> (address, length).
std::mutex g_lock;
std::map<HMODULE, std::pair<void*, size_t>> g_mappings;

}  // namespace

void DataFilesForkPrepare() { g_lock.lock(); }
void DataFilesForkRelease() { g_lock.unlock(); }

bool IsLoadableElf(const void* image, size_t size) {
  const unsigned char* bytes = static_cast<const unsigned char*>(image);
  if (bytes == nullptr || size < sizeof(ElfW(Ehdr))) return false;
  ElfW(Ehdr) header;
  memcpy(&header, bytes, sizeof header);
  if (memcmp(header.e_ident, ELFMAG, SELFMAG) != 0 || header.e_ident[EI_CLASS] != kClass ||
      header.e_ident[EI_DATA] != kByteOrder || header.e_ident[EI_VERSION] != EV_CURRENT ||
      header.e_version != EV_CURRENT || header.e_machine != kMachine ||
      (header.e_type != ET_DYN && header.e_type != ET_EXEC)) {
    return false;
  }
  if (header.e_phentsize != sizeof(ElfW(Phdr)) || header.e_phnum == 0 ||
      header.e_phnum == PN_XNUM ||
      !Inside(header.e_phoff, static_cast<uint64_t>(header.e_phnum) * sizeof(ElfW(Phdr)), size)) {
    return false;
  }
  int loads = 0;
  for (int i = 0; i < header.e_phnum; ++i) {
    ElfW(Phdr) segment;
    memcpy(&segment, bytes + header.e_phoff + static_cast<size_t>(i) * sizeof segment,
           sizeof segment);
    if (segment.p_type != PT_LOAD) continue;
    if (!Inside(segment.p_offset, segment.p_filesz, size) || segment.p_filesz > segment.p_memsz) {
      return false;
    }
    ++loads;
  }
  return loads > 0;
}

}  // namespace tqrtl::posix

using namespace tqrtl::posix;

extern "C" {

HMODULE WINAPI LoadLibraryExA(LPCSTR fileName, HANDLE file, DWORD flags) {
  if (fileName == nullptr || *fileName == '\0' || file != nullptr ||
      flags != LOAD_LIBRARY_AS_DATAFILE) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  const int fd = open(fileName, O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    SetLastError(errno == ENOENT || errno == ENOTDIR ? ERROR_MOD_NOT_FOUND
                                                     : Win32ErrorFromErrno(errno));
    return nullptr;
  }
  struct stat facts;
  void* image = MAP_FAILED;
  size_t length = 0;
  if (fstat(fd, &facts) == 0 && S_ISREG(facts.st_mode) && facts.st_size > 0) {
    length = static_cast<size_t>(facts.st_size);
    image = mmap(nullptr, length, PROT_READ, MAP_PRIVATE, fd, 0);
  }
  close(fd);
  if (image == MAP_FAILED || !IsLoadableElf(image, length)) {
    if (image != MAP_FAILED) munmap(image, length);
    SetLastError(ERROR_BAD_EXE_FORMAT);
    return nullptr;
  }
  const HMODULE handle =
      reinterpret_cast<HMODULE>(reinterpret_cast<uintptr_t>(image) | static_cast<uintptr_t>(1));
  std::lock_guard<std::mutex> hold(g_lock);
  g_mappings[handle] = {image, length};
  return handle;
}

BOOL WINAPI FreeLibrary(HMODULE module) {
  // Data files have bit 0 set; modules of code are LoadLibraryA's.
  if ((reinterpret_cast<uintptr_t>(module) & 1) == 0) return FreeCodeModule(module);
  std::pair<void*, size_t> mapping;
  {
    std::lock_guard<std::mutex> hold(g_lock);
    const auto found = g_mappings.find(module);
    if (found == g_mappings.end()) {
      SetLastError(ERROR_INVALID_HANDLE);
      return FALSE;
    }
    mapping = found->second;
    g_mappings.erase(found);
  }
  munmap(mapping.first, mapping.second);
  return TRUE;
}

}  // extern "C"
