// File mappings: CreateFileMappingA, OpenFileMappingA, MapViewOfFile and
// UnmapViewOfFile.
//
// A mapping is a descriptor and a size. One on the paging file
// (INVALID_HANDLE_VALUE) is a memfd when unnamed, or a named object of the
// per-user namespace (named_objects.h) whose memory follows the object's
// header page. One on a file maps the descriptor of the file's handle (any
// handle whose object has a FileDescriptor()).
//
// Views are mmap()s of the descriptor; a table of views gives
// UnmapViewOfFile the length of each. A view outlives the handle it was made
// from, as on Windows.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <map>
#include <memory>
#include <mutex>

// <fcntl.h> names a flock mode LOCK_WRITE; win32.h gives the name its IStream
// meaning, which is the one the layer uses.
#undef LOCK_WRITE
#include "tqrtl/platform/posix/fork.h"
#include "tqrtl/platform/posix/handles.h"
#include "tqrtl/platform/posix/internal.h"
#include "tqrtl/platform/posix/named_objects.h"

namespace tqrtl::posix {
namespace {

class MappingObject : public HandleObject {
 public:
  MappingObject(int fd, bool owns_fd, std::uint64_t offset, std::uint64_t size, bool writable,
                std::shared_ptr<NamedHold> hold)
      : HandleObject(HandleKind::kMapping),
        fd_(fd),
        owns_fd_(owns_fd),
        offset_(offset),
        size_(size),
        writable_(writable),
        hold_(std::move(hold)) {}
  ~MappingObject() override {
    if (owns_fd_) close(fd_);
  }

  int fd() const { return fd_; }
  std::uint64_t offset() const { return offset_; }
  std::uint64_t size() const { return size_; }
  bool writable() const { return writable_; }

 private:
  const int fd_;
  const bool owns_fd_;
  const std::uint64_t offset_;  // where the mapping's bytes start in the descriptor
  const std::uint64_t size_;
  const bool writable_;
  const std::shared_ptr<NamedHold> hold_;  // keeps the name alive
};

std::mutex g_views_lock;
std::map<std::uintptr_t, size_t>& Views() {
  static auto* views = new std::map<std::uintptr_t, size_t>;
  return *views;
}

}  // namespace

void ViewsForkPrepare() { g_views_lock.lock(); }
void ViewsForkRelease() { g_views_lock.unlock(); }

namespace {

std::uint64_t RoundToPage(std::uint64_t size) {
  const std::uint64_t page = static_cast<std::uint64_t>(sysconf(_SC_PAGESIZE));
  return (size + page - 1) / page * page;
}

HANDLE Register(std::shared_ptr<MappingObject> object, DWORD error) {
  HANDLE handle = RegisterHandle(std::move(object));
  if (handle != nullptr) SetLastError(error);
  return handle;
}

}  // namespace
}  // namespace tqrtl::posix

using tqrtl::posix::MappingObject;

extern "C" {

HANDLE WINAPI CreateFileMappingA(HANDLE file, LPSECURITY_ATTRIBUTES security, DWORD protect,
                                 DWORD maximumSizeHigh, DWORD maximumSizeLow, LPCSTR name) {
  (void)security;
  const DWORD access = protect & 0xFF;  // the SEC_* bits above say how, not what
  if (access != PAGE_READONLY && access != PAGE_READWRITE && access != PAGE_WRITECOPY) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  const bool writable = access == PAGE_READWRITE;
  const std::uint64_t size = (static_cast<std::uint64_t>(maximumSizeHigh) << 32) | maximumSizeLow;
  const bool named = name != nullptr && name[0] != '\0';

  if (file == INVALID_HANDLE_VALUE) {
    if (size == 0) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return nullptr;
    }
    if (named) {
      bool existed = false;
      auto hold = tqrtl::posix::HoldNamed(name, tqrtl::posix::NamedType::kMapping, true, size,
                                          false, false, &existed);
      if (!hold) return nullptr;
      const int fd = hold->fd();
      const std::uint64_t offset = hold->data_offset();
      const std::uint64_t stored = hold->header()->size;
      return tqrtl::posix::Register(
          std::make_shared<MappingObject>(fd, false, offset, stored, writable, std::move(hold)),
          existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    }
    const int fd = memfd_create("tqrtl-mapping", MFD_CLOEXEC);
    const std::uint64_t rounded = tqrtl::posix::RoundToPage(size);
    if (fd < 0 || tqrtl::posix::Sys().ftruncate(fd, static_cast<off_t>(rounded)) != 0) {
      tqrtl::posix::SetLastErrorFromErrno();
      if (fd >= 0) close(fd);
      return nullptr;
    }
    return tqrtl::posix::Register(
        std::make_shared<MappingObject>(fd, true, 0, rounded, writable, nullptr), ERROR_SUCCESS);
  }

  // A mapping of a file. Names are for mappings of the paging file only.
  auto object = tqrtl::posix::LookupHandle(file);
  if (!object) return nullptr;
  if (object->FileDescriptor() < 0) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  if (named) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return nullptr;
  }
  const int fd = fcntl(object->FileDescriptor(), F_DUPFD_CLOEXEC, 0);
  struct stat st;
  if (fd < 0 || fstat(fd, &st) != 0) {
    tqrtl::posix::SetLastErrorFromErrno();
    if (fd >= 0) close(fd);
    return nullptr;
  }
  std::uint64_t mapped = size;
  const auto file_size = static_cast<std::uint64_t>(st.st_size);
  if (mapped == 0) {
    if (file_size == 0) {  // nothing to map
      close(fd);
      SetLastError(ERROR_FILE_INVALID);
      return nullptr;
    }
    mapped = file_size;
  } else if (mapped > file_size) {
    // Windows grows the file to the mapping's size, when it may write.
    if (!writable || tqrtl::posix::Sys().ftruncate(fd, static_cast<off_t>(mapped)) != 0) {
      if (!writable) errno = EACCES;
      tqrtl::posix::SetLastErrorFromErrno();
      close(fd);
      return nullptr;
    }
  }
  return tqrtl::posix::Register(
      std::make_shared<MappingObject>(fd, true, 0, mapped, writable, nullptr), ERROR_SUCCESS);
}

HANDLE WINAPI OpenFileMappingA(DWORD access, BOOL inheritHandle, LPCSTR name) {
  (void)inheritHandle;
  if (name == nullptr || name[0] == '\0') {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  bool existed = false;
  auto hold = tqrtl::posix::HoldNamed(name, tqrtl::posix::NamedType::kMapping, false, 0, false,
                                      false, &existed);
  if (!hold) return nullptr;
  const bool writable = (access & FILE_MAP_WRITE) != 0;
  const int fd = hold->fd();
  const std::uint64_t offset = hold->data_offset();
  const std::uint64_t stored = hold->header()->size;
  return tqrtl::posix::Register(
      std::make_shared<MappingObject>(fd, false, offset, stored, writable, std::move(hold)),
      ERROR_SUCCESS);
}

LPVOID WINAPI MapViewOfFile(HANDLE mapping, DWORD access, DWORD offsetHigh, DWORD offsetLow,
                            SIZE_T bytes) {
  auto object =
      tqrtl::posix::LookupHandle<MappingObject>(mapping, tqrtl::posix::HandleKind::kMapping);
  if (!object) return nullptr;
  const std::uint64_t offset = (static_cast<std::uint64_t>(offsetHigh) << 32) | offsetLow;
  if (offset % 65536 != 0) {  // the allocation granularity
    SetLastError(ERROR_MAPPED_ALIGNMENT);
    return nullptr;
  }
  if (offset > object->size() || bytes > object->size() - offset) {
    SetLastError(ERROR_ACCESS_DENIED);
    return nullptr;
  }
  const size_t length = bytes != 0 ? bytes : static_cast<size_t>(object->size() - offset);
  if (length == 0) {
    SetLastError(ERROR_ACCESS_DENIED);
    return nullptr;
  }
  int protection = PROT_READ;
  int flags = MAP_SHARED;
  if ((access & FILE_MAP_COPY) != 0 && (access & FILE_MAP_ALL_ACCESS) != FILE_MAP_ALL_ACCESS) {
    protection |= PROT_WRITE;
    flags = MAP_PRIVATE;  // copy on write: changes stay in this view
  } else if ((access & FILE_MAP_WRITE) != 0) {
    if (!object->writable()) {
      SetLastError(ERROR_ACCESS_DENIED);
      return nullptr;
    }
    protection |= PROT_WRITE;
  } else if ((access & FILE_MAP_READ) == 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  void* view = tqrtl::posix::Sys().mmap(nullptr, length, protection, flags, object->fd(),
                                        static_cast<off_t>(object->offset() + offset));
  if (view == MAP_FAILED) {
    tqrtl::posix::SetLastErrorFromErrno();
    return nullptr;
  }
  std::lock_guard<std::mutex> lock(tqrtl::posix::g_views_lock);
  tqrtl::posix::Views()[reinterpret_cast<std::uintptr_t>(view)] = length;
  return view;
}

BOOL WINAPI UnmapViewOfFile(LPCVOID address) {
  size_t length;
  std::uintptr_t start;
  {
    std::lock_guard<std::mutex> lock(tqrtl::posix::g_views_lock);
    auto& views = tqrtl::posix::Views();
    // The view that holds the address: the last one starting at or before it.
    const auto at = reinterpret_cast<std::uintptr_t>(address);
    auto it = views.upper_bound(at);
    if (it != views.begin()) --it;
    if (it == views.end() || at < it->first || at - it->first >= it->second) {
      SetLastError(ERROR_INVALID_ADDRESS);
      return FALSE;
    }
    start = it->first;
    length = it->second;
    views.erase(it);
  }
  munmap(reinterpret_cast<void*>(start), length);
  return TRUE;
}

}  // extern "C"
