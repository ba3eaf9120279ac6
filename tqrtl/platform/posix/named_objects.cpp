// The per-user namespace of named kernel objects (see named_objects.h).
#include "tqrtl/platform/posix/named_objects.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>

// <fcntl.h> names a flock mode LOCK_WRITE; win32.h gives the name its IStream
// meaning, which is the one the layer uses.
#undef LOCK_WRITE
#include "tqrtl/platform/posix/fork.h"
#include "tqrtl/platform/posix/internal.h"

namespace tqrtl::posix {
namespace {

constexpr std::uint32_t kNamedMagic = 0x4F4B5154;  // "TQKO"

size_t PageSize() { return static_cast<size_t>(sysconf(_SC_PAGESIZE)); }

// Fails with the Win32 code of errno, keeping errno for the caller's log.
void FailFromErrno() { SetLastErrorFromErrno(); }

// EnsureDirectory: creates the namespace directory, or checks that the one
// found is a real directory of this user that nobody else may enter.
bool EnsureDirectory(const std::string& dir) {
  if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
    FailFromErrno();
    return false;
  }
  struct stat st;
  if (Sys().lstat(dir.c_str(), &st) != 0) {
    FailFromErrno();
    return false;
  }
  std::string reason = S_ISDIR(st.st_mode) ? UntrustedReason(st, TrustedOwners::kUserOnly, 077)
                                           : std::string("not a directory");
  if (!reason.empty()) {
    // Someone else made it first (anyone may create folders in /dev/shm):
    // say how to get out, as the name is fixed for all the user's processes.
    if (getenv("TQRTL_OBJECT_DIR") == nullptr)
      reason += "; remove it, or set TQRTL_OBJECT_DIR to a private folder on a memory file system";
    ReportRefusal(dir, reason);
    SetLastError(ERROR_ACCESS_DENIED);
    return false;
  }
  return true;
}

// Held by the thread that holds the namespace's lock file, and across
// fork(): a child must not inherit the locked descriptor, whose open file
// (and with it the lock) its copy would keep alive after the parent closed
// its own. Threads of one process queue here rather than on the file.
std::mutex g_namespace_mutex;

// NamespaceLock: holds the namespace's lock file exclusively while it lives.
class NamespaceLock {
 public:
  explicit NamespaceLock(const std::string& dir) : in_process_(g_namespace_mutex) {
    fd_ = Sys().open((dir + "/.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd_ < 0) {
      FailFromErrno();
      return;
    }
    while (flock(fd_, LOCK_EX) != 0) {
      if (errno != EINTR) {
        FailFromErrno();
        close(fd_);
        fd_ = -1;
        return;
      }
    }
  }
  ~NamespaceLock() {
    if (fd_ >= 0) close(fd_);  // closing drops the lock
  }
  NamespaceLock(const NamespaceLock&) = delete;
  NamespaceLock& operator=(const NamespaceLock&) = delete;
  bool held() const { return fd_ >= 0; }

 private:
  std::lock_guard<std::mutex> in_process_;  // released after the descriptor is closed
  int fd_ = -1;
};

// Unheld: true when no descriptor anywhere holds a lock on `fd`'s file.
// REQUIRES: the namespace lock is held, so no new holder can come.
bool Unheld(int fd) {
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) return false;
  flock(fd, LOCK_UN);
  return true;
}

// SweepStale: removes every object file that nobody holds, left by
// processes that died. Names are checked anyway when they are used again;
// this keeps names that never come back from piling up. Each process sweeps
// once, on its first use of the namespace. REQUIRES: the namespace lock.
void SweepStale(const std::string& dir) {
  static std::atomic<bool> swept{false};
  if (swept.exchange(true)) return;
  DIR* listing = opendir(dir.c_str());
  if (listing == nullptr) return;
  while (const dirent* entry = readdir(listing)) {
    if (entry->d_name[0] == '.') continue;  // ".", ".." and the lock file
    const int fd = openat(dirfd(listing), entry->d_name, O_RDWR | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) continue;
    if (Unheld(fd)) unlinkat(dirfd(listing), entry->d_name, 0);
    close(fd);
  }
  closedir(listing);
}

// Reopen: a new open file of the file behind `fd` (see NamedHold::fd).
int Reopen(int fd) {
  const std::string self = "/proc/self/fd/" + std::to_string(fd);
  return Sys().open(self.c_str(), O_RDWR | O_CLOEXEC, 0);
}

bool SafeNameByte(unsigned char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
         c == '-' || c == '.';
}

}  // namespace

bool EnsureNamespaceDirectory(const std::string& dir) { return EnsureDirectory(dir); }

void NamespaceForkPrepare() { g_namespace_mutex.lock(); }
void NamespaceForkRelease() { g_namespace_mutex.unlock(); }

std::string NamespaceDirectory() {
  const char* configured = getenv("TQRTL_OBJECT_DIR");
  if (configured != nullptr && configured[0] != '\0') return configured;
  // Every process of the user must arrive at the same folder, so the choice
  // depends on nothing a process can have differently (XDG_RUNTIME_DIR is
  // unset in some): the user's runtime folder when the system made one for
  // it, which nobody else can create, else /dev/shm, where EnsureDirectory
  // refuses a folder someone else made.
  const std::string uid = std::to_string(geteuid());
  const std::string runtime = "/run/user/" + uid;
  struct stat st;
  if (Sys().lstat(runtime.c_str(), &st) == 0 && S_ISDIR(st.st_mode) &&
      UntrustedReason(st, TrustedOwners::kUserOnly, 077).empty())
    return runtime + "/tqrtl";
  return "/dev/shm/tqrtl-" + uid;
}

std::string NamedObjectPath(const char* name) {
  // "Local\" names the session's namespace, which is the only one here.
  if (std::strncmp(name, "Local\\", 6) == 0) name += 6;
  // Names are case-sensitive and may hold any byte: bytes other than
  // letters, digits, '_' and '-' (and '.' after the first) are written %XX.
  std::string file;
  for (const char* p = name; *p != '\0'; ++p) {
    const auto c = static_cast<unsigned char>(*p);
    if (SafeNameByte(c) && !(c == '.' && p == name)) {
      file += static_cast<char>(c);
    } else {
      static const char kHex[] = "0123456789ABCDEF";
      file += '%';
      file += kHex[c >> 4];
      file += kHex[c & 15];
    }
  }
  if (file.size() > 250 || std::strlen(name) > MAX_PATH) return "";
  return NamespaceDirectory() + "/" + file;
}

NamedHold::~NamedHold() {
  if (header_ != nullptr) munmap(header_, header_size_);
  if (map_fd_ >= 0) close(map_fd_);
  if (fd_ < 0) return;
  // Give the hold back under the namespace lock, and remove the name when
  // nobody else holds it: then a create or open cannot slip in between.
  const std::string dir = NamespaceDirectory();
  NamespaceLock lock(dir);
  struct stat mine;
  const bool have_inode = fstat(fd_, &mine) == 0;
  close(fd_);
  if (!lock.held() || !have_inode) return;  // a later create finds the file stale
  const int probe = open(path_.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW);
  if (probe < 0) return;
  struct stat now;
  if (fstat(probe, &now) == 0 && now.st_ino == mine.st_ino && now.st_dev == mine.st_dev &&
      Unheld(probe))
    unlink(path_.c_str());
  close(probe);
}

std::shared_ptr<NamedHold> HoldNamed(const char* name, NamedType type, bool create,
                                     std::uint64_t size, bool manual, bool initial, bool* existed) {
  *existed = false;
  const std::string path = NamedObjectPath(name);
  if (path.empty()) {
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return nullptr;
  }
  const std::string dir = NamespaceDirectory();
  if (!EnsureDirectory(dir)) return nullptr;
  NamespaceLock lock(dir);
  if (!lock.held()) return nullptr;
  SweepStale(dir);

  std::shared_ptr<NamedHold> hold(new NamedHold);
  hold->path_ = path;
  const size_t page = PageSize();
  hold->header_size_ = page;
  // Failing: let go of what was taken here, without the hold's destructor
  // (which would wait for the namespace lock this call holds).
  auto fail = [&hold](bool remove) -> std::shared_ptr<NamedHold> {
    if (hold->header_ != nullptr) munmap(hold->header_, hold->header_size_);
    hold->header_ = nullptr;
    if (hold->map_fd_ >= 0) close(hold->map_fd_);
    hold->map_fd_ = -1;
    if (remove) unlink(hold->path_.c_str());
    if (hold->fd_ >= 0) close(hold->fd_);
    hold->fd_ = -1;
    return nullptr;
  };

  int fd = Sys().open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW, 0);
  if (fd >= 0 && Unheld(fd)) {
    // Stale: every holder has gone without removing it.
    unlink(path.c_str());
    close(fd);
    fd = -1;
  } else if (fd < 0 && errno != ENOENT) {
    FailFromErrno();
    return nullptr;
  }

  if (fd >= 0) {
    // Live: join the holders and check what it is.
    flock(fd, LOCK_SH);
    hold->fd_ = fd;
    hold->map_fd_ = Reopen(fd);
    if (hold->map_fd_ < 0) {
      FailFromErrno();
      return fail(false);
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || static_cast<size_t>(st.st_size) < page) {
      SetLastError(ERROR_INVALID_HANDLE);
      return fail(false);
    }
    void* header = Sys().mmap(nullptr, page, PROT_READ | PROT_WRITE, MAP_SHARED, hold->map_fd_, 0);
    if (header == MAP_FAILED) {
      FailFromErrno();
      return fail(false);
    }
    hold->header_ = static_cast<NamedHeader*>(header);
    if (hold->header_->magic.load(std::memory_order_acquire) != kNamedMagic ||
        hold->header_->type != static_cast<std::uint32_t>(type)) {
      SetLastError(ERROR_INVALID_HANDLE);  // Windows: a name of another type of object
      return fail(false);
    }
    *existed = true;
    return hold;
  }

  if (!create) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return nullptr;
  }
  fd = Sys().open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) {
    FailFromErrno();
    return nullptr;
  }
  flock(fd, LOCK_SH);
  hold->fd_ = fd;
  hold->map_fd_ = Reopen(fd);
  const std::uint64_t data = (size + page - 1) / page * page;
  if (hold->map_fd_ < 0 || Sys().ftruncate(fd, static_cast<off_t>(page + data)) != 0) {
    FailFromErrno();
    return fail(true);
  }
  // The memory file system is smaller than memory (/dev/shm often 64 MiB in
  // a container): take the whole size now, or a first write past the free
  // space would kill the process with SIGBUS. Windows, too, charges a
  // section's memory when it is created.
  const int reserve = Sys().posix_fallocate(fd, 0, static_cast<off_t>(page + data));
  if (reserve != 0) {
    SetLastError(reserve == ENOSPC || reserve == ENOMEM || reserve == EFBIG
                     ? ERROR_NOT_ENOUGH_MEMORY
                     : Win32ErrorFromErrno(reserve));
    return fail(true);
  }
  void* header = Sys().mmap(nullptr, page, PROT_READ | PROT_WRITE, MAP_SHARED, hold->map_fd_, 0);
  if (header == MAP_FAILED) {
    FailFromErrno();
    return fail(true);
  }
  hold->header_ = static_cast<NamedHeader*>(header);
  NamedHeader* h = hold->header_;
  h->type = static_cast<std::uint32_t>(type);
  h->size = data;
  h->event.manual.store(manual ? 1 : 0, std::memory_order_relaxed);
  h->event.signaled.store(initial ? 1 : 0, std::memory_order_relaxed);
  h->magic.store(kNamedMagic, std::memory_order_release);
  return hold;
}

}  // namespace tqrtl::posix
