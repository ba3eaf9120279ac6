// The Microsoft C run-time's file functions: _fullpath, _fsopen with share
// modes, _flushall, _commit, _dup, _fileno, _fdopen and _stat.
//
// Share modes. POSIX has no share modes, so _fsopen keeps them itself with
// open-file-description locks (fcntl F_OFD_*), which hold across processes
// and between two opens in one process, and go away when the last
// descriptor of an open file closes (a _dup keeps them). Far beyond any
// real file data, four ranges stand for the rights that opens use and deny:
// "has read access", "has write access", "denies reading", "denies
// writing". Each open locks one byte of its own (a random slot) in each
// range that applies to it, with a read lock when it may read and a write
// lock when it may only write (the kinds its descriptor allows); then it
// looks for another open's lock in the ranges it conflicts with. Marking
// before looking means two racing opens can never both pass; they may both
// fail, so a refused open retries twice after a short pause before it
// reports EACCES. The locks are advisory: plain fopen and open ignore them.
//
// Thread-safety: every function may be called from any thread.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <string>

// <fcntl.h> has flock's LOCK_WRITE, which IStream's LOCK_WRITE replaces.
#undef LOCK_WRITE
#include "tqrtl/platform/posix/internal.h"

// struct _stat has fields named like these macros of <sys/stat.h>.
#undef st_atime
#undef st_mtime
#undef st_ctime

namespace tqrtl::posix {
namespace {

// The ranges: 2^40 bytes each, from 2^62 on.
constexpr off_t kRangeBase = static_cast<off_t>(1) << 62;
constexpr off_t kRangeSize = static_cast<off_t>(1) << 40;
enum Right { kHasRead = 0, kHasWrite = 1, kDeniesRead = 2, kDeniesWrite = 3 };

// A C run-time mode string: "r", "w" or "a", an optional "+", and letters
// that change nothing here ("b", "t", and the Microsoft hints "c", "n", "N",
// "S", "R", "T", "D").
struct Mode {
  int flags = 0;  // open(2) flags, without O_TRUNC
  bool truncate = false;
  bool read = false;
  bool write = false;
  const char* stdio = nullptr;  // the same mode for fdopen
};

bool ParseMode(const char* text, Mode* mode) {
  if (text == nullptr) return false;
  bool plus = false;
  for (const char* p = text + 1; *p != '\0'; ++p) {
    if (*p == '+') {
      plus = true;
    } else if (strchr("btcnNSRTD", *p) == nullptr) {
      return false;
    }
  }
  switch (text[0]) {
    case 'r':
      mode->flags = plus ? O_RDWR : O_RDONLY;
      mode->read = true;
      mode->write = plus;
      mode->stdio = plus ? "r+" : "r";
      return true;
    case 'w':
      mode->flags = (plus ? O_RDWR : O_WRONLY) | O_CREAT;
      mode->truncate = true;
      mode->read = plus;
      mode->write = true;
      mode->stdio = plus ? "w+" : "w";  // fdopen never truncates
      return true;
    case 'a':
      mode->flags = (plus ? O_RDWR : O_WRONLY) | O_CREAT | O_APPEND;
      mode->read = plus;
      mode->write = true;
      mode->stdio = plus ? "a+" : "a";
      return true;
    default:
      return false;
  }
}

int LockRange(int fd, short type, Right right, off_t slot, off_t length) {
  struct flock lock;
  memset(&lock, 0, sizeof lock);
  lock.l_type = type;
  lock.l_whence = SEEK_SET;
  lock.l_start = kRangeBase + right * kRangeSize + slot;
  lock.l_len = length;
  return fcntl(fd, F_OFD_SETLK, &lock) == 0 ? 0 : errno;
}

// Whether another open description holds a lock in the range of `right`.
bool Held(int fd, Right right) {
  struct flock lock;
  memset(&lock, 0, sizeof lock);
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_SET;
  lock.l_start = kRangeBase + right * kRangeSize;
  lock.l_len = kRangeSize;
  if (fcntl(fd, F_OFD_GETLK, &lock) != 0) return false;
  return lock.l_type != F_UNLCK;
}

off_t NewSlot() {
  static std::atomic<unsigned long long> counter{0};
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  unsigned long long mix = static_cast<unsigned long long>(getpid()) * 0x9E3779B97F4A7C15ull;
  mix ^= (counter.fetch_add(1) + 1) * 0xBF58476D1CE4E5B9ull;
  mix ^= static_cast<unsigned long long>(now.tv_nsec) * 0x94D049BB133111EBull;
  return static_cast<off_t>(mix % static_cast<unsigned long long>(kRangeSize));
}

}  // namespace

bool JoinShareModes(int fd, bool read, bool write, bool deny_read, bool deny_write) {
  const bool marks[4] = {read, write, deny_read, deny_write};
  // The kind of lock the descriptor allows: write locks need write access,
  // read locks read access.
  const int access = fcntl(fd, F_GETFL);
  const short type = access >= 0 && (access & O_ACCMODE) == O_WRONLY ? F_WRLCK : F_RDLCK;
  for (int attempt = 0; attempt < 3; ++attempt) {
    const off_t slot = NewSlot();
    bool placed = true;
    for (int right = 0; right < 4 && placed; ++right) {
      if (!marks[right]) continue;
      const int error = LockRange(fd, type, static_cast<Right>(right), slot, 1);
      if (error == EINVAL || error == ENOLCK || error == EOPNOTSUPP || error == ENOSYS) {
        return true;  // no locks on this file system: every open is allowed
      }
      placed = error == 0;
    }
    const bool conflict = !placed || (read && Held(fd, kDeniesRead)) ||
                          (write && Held(fd, kDeniesWrite)) ||
                          (deny_read && Held(fd, kHasRead)) || (deny_write && Held(fd, kHasWrite));
    if (!conflict) return true;
    for (int right = 0; right < 4; ++right) {
      LockRange(fd, F_UNLCK, static_cast<Right>(right), 0, kRangeSize);
    }
    if (attempt < 2) {
      const struct timespec pause = {0, 1000000L * (attempt + 1)};
      nanosleep(&pause, nullptr);
    }
  }
  errno = EACCES;
  return false;
}

}  // namespace tqrtl::posix

using namespace tqrtl::posix;

extern "C" {

char* _fullpath(char* buffer, const char* path, size_t size) {
  const std::string full = FoldPath(path);
  if (full.empty()) return nullptr;
  if (buffer == nullptr) {
    const size_t bytes = full.size() + 1 > _MAX_PATH ? full.size() + 1 : _MAX_PATH;
    buffer = static_cast<char*>(malloc(bytes));
    if (buffer == nullptr) {
      errno = ENOMEM;
      return nullptr;
    }
  } else if (full.size() + 1 > size) {
    errno = ERANGE;
    return nullptr;
  }
  memcpy(buffer, full.c_str(), full.size() + 1);
  return buffer;
}

static FILE* OpenShared(const char* path, const char* mode, int shareFlag) {
  Mode parsed;
  if (path == nullptr || !ParseMode(mode, &parsed) ||
      (shareFlag != _SH_DENYRW && shareFlag != _SH_DENYWR && shareFlag != _SH_DENYRD &&
       shareFlag != _SH_DENYNO)) {
    errno = EINVAL;
    return nullptr;
  }
  const int fd = open(path, parsed.flags | O_CLOEXEC, 0666);
  if (fd < 0) return nullptr;
  struct stat facts;
  if (fstat(fd, &facts) == 0 && S_ISDIR(facts.st_mode)) {
    close(fd);
    errno = EACCES;
    return nullptr;
  }
  const bool deny_read = shareFlag == _SH_DENYRD || shareFlag == _SH_DENYRW;
  const bool deny_write = shareFlag == _SH_DENYWR || shareFlag == _SH_DENYRW;
  if (!JoinShareModes(fd, parsed.read, parsed.write, deny_read, deny_write) || (parsed.truncate && ftruncate(fd, 0) != 0)) {
    const int error = errno;
    close(fd);
    errno = error;
    return nullptr;
  }
  FILE* stream = fdopen(fd, parsed.stdio);
  if (stream == nullptr) {
    const int error = errno;
    close(fd);
    errno = error;
  }
  return stream;
}

// The Microsoft run-time leaves the system's reason for a failed open as the
// thread's last error (its CreateFile sets it); callers such as the file
// stream's exception read it from there.
FILE* _fsopen(const char* path, const char* mode, int shareFlag) {
  FILE* stream = OpenShared(path, mode, shareFlag);
  if (stream == nullptr) SetLastErrorFromErrno();
  return stream;
}

int _flushall(void) { return fflush(nullptr) == 0 ? 0 : -1; }

int _commit(int fd) { return fsync(fd) == 0 || errno == EINVAL ? 0 : -1; }

int _dup(int fd) { return dup(fd); }

int _fileno(FILE* stream) {
  if (stream == nullptr) {
    errno = EINVAL;
    return -1;
  }
  return fileno(stream);
}

FILE* _fdopen(int fd, const char* mode) {
  Mode parsed;
  if (!ParseMode(mode, &parsed)) {
    errno = EINVAL;
    return nullptr;
  }
  return fdopen(fd, parsed.stdio);
}

int _stat(const char* path, struct _stat* buffer) {
  if (path == nullptr || buffer == nullptr) {
    errno = EINVAL;
    return -1;
  }
  struct stat facts;
  if (stat(path, &facts) != 0) return -1;
  buffer->st_dev = static_cast<unsigned int>(facts.st_dev);
  buffer->st_ino = facts.st_ino;
  buffer->st_mode = facts.st_mode;
  buffer->st_nlink = static_cast<unsigned int>(facts.st_nlink);
  buffer->st_uid = facts.st_uid;
  buffer->st_gid = facts.st_gid;
  buffer->st_rdev = static_cast<unsigned int>(facts.st_rdev);
  buffer->st_size = facts.st_size;
  buffer->st_atime = facts.st_atim.tv_sec;
  buffer->st_mtime = facts.st_mtim.tv_sec;
  buffer->st_ctime = facts.st_ctim.tv_sec;
  return 0;
}

}  // extern "C"
