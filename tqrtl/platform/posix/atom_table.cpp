// The per-user shared tables of global atoms and window messages (see
// atom_table.h).
#include "tqrtl/platform/posix/atom_table.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <string_view>

// <fcntl.h> names a flock mode LOCK_WRITE; win32.h gives the name its IStream
// meaning, which is the one the layer uses.
#undef LOCK_WRITE
#include "tqrtl/platform/posix/internal.h"
#include "tqrtl/platform/posix/named_objects.h"

namespace tqrtl::posix {
namespace {

static_assert(sizeof(pthread_mutex_t) <= sizeof(AtomTableHeader::lock));
static_assert(alignof(pthread_mutex_t) <= alignof(AtomTableHeader));

// The shared fields are read once each, into locals that the checks and the
// uses share, whatever another process writes meanwhile.
template <typename T>
T Load(const T& field) {
  return __atomic_load_n(&field, __ATOMIC_ACQUIRE);
}
template <typename T>
void Store(T& field, T value) {
  __atomic_store_n(&field, value, __ATOMIC_RELEASE);
}

pthread_mutex_t* LockOf(void* base) {
  return reinterpret_cast<pthread_mutex_t*>(static_cast<AtomTableHeader*>(base)->lock);
}

// A lock held this long is not held by a working process (the table's
// operations never wait inside it): its bytes have been overwritten.
constexpr int kLockSeconds = 10;

std::string_view Text(const char* text, size_t length) { return std::string_view(text, length); }

}  // namespace

// ---------------------------------------------------------------------------
// The image.

void AtomTableImage::Init(std::uint32_t slots) {
  auto* h = reinterpret_cast<AtomTableHeader*>(base_);
  h->version = kAtomTableVersion;
  h->slots = slots;
  h->slot_size = sizeof(AtomSlot);
  h->high = 0;
  Store(h->magic, kAtomTableMagic);
}

AtomTableHeader* AtomTableImage::Geometry(std::uint32_t* slots) const {
  if (base_ == nullptr || size_ < sizeof(AtomTableHeader)) return nullptr;
  auto* h = reinterpret_cast<AtomTableHeader*>(base_);
  if (Load(h->magic) != kAtomTableMagic || Load(h->version) != kAtomTableVersion ||
      Load(h->slot_size) != sizeof(AtomSlot))
    return nullptr;
  const std::uint32_t n = Load(h->slots);
  if (n == 0 || n > kMaxAtomSlots || AtomTableBytes(n) != size_) return nullptr;
  *slots = n;
  return h;
}

AtomTableHeader* AtomTableImage::Header(std::uint32_t* slots, std::uint32_t* high) const {
  AtomTableHeader* h = Geometry(slots);
  if (h == nullptr) return nullptr;
  const std::uint32_t top = Load(h->high);
  if (top > *slots) return nullptr;
  *high = top;
  return h;
}

bool AtomTableImage::Valid() const {
  std::uint32_t slots = 0, high = 0;
  return Header(&slots, &high) != nullptr;
}

AtomSlot* AtomTableImage::Slot(std::uint32_t index) const {
  return reinterpret_cast<AtomSlot*>(base_ + sizeof(AtomTableHeader)) + index;
}

DWORD AtomTableImage::Lookup(const char* name, size_t length, std::uint32_t* index) const {
  std::uint32_t slots = 0, high = 0;
  if (Header(&slots, &high) == nullptr) return ERROR_FILE_INVALID;
  const std::string wanted = Fold(Text(name, length));
  char text[kMaxAtomLength];
  for (std::uint32_t i = 0; i < high; ++i) {
    const AtomSlot* slot = Slot(i);
    if (Load(slot->refs) == 0) continue;
    const size_t n = Load(slot->length);
    if (n == 0) return ERROR_FILE_INVALID;
    if (n != length) continue;  // folding keeps the length
    std::memcpy(text, slot->text, n);
    if (std::memchr(text, '\0', n) != nullptr) return ERROR_FILE_INVALID;
    if (Fold(Text(text, n)) == wanted) {
      *index = i;
      return ERROR_SUCCESS;
    }
  }
  return ERROR_FILE_NOT_FOUND;
}

DWORD AtomTableImage::Add(const char* name, size_t length, ATOM* atom) {
  std::uint32_t index = 0;
  const DWORD found = Lookup(name, length, &index);
  if (found == ERROR_SUCCESS) {
    AtomSlot* slot = Slot(index);
    const std::uint32_t refs = Load(slot->refs);
    if (refs != UINT32_MAX) Store(slot->refs, refs + 1);
    *atom = static_cast<ATOM>(kFirstStringAtom + index);
    return ERROR_SUCCESS;
  }
  if (found != ERROR_FILE_NOT_FOUND) return found;
  std::uint32_t slots = 0, high = 0;
  AtomTableHeader* h = Header(&slots, &high);
  if (h == nullptr) return ERROR_FILE_INVALID;  // changed since Lookup
  while (index < slots && Load(Slot(index)->refs) != 0) ++index;
  if (index == slots) return ERROR_NOT_ENOUGH_MEMORY;
  // Invisible until its count is set, and `high` covers it before then: a
  // process killed between two of these stores leaves a table that reads.
  AtomSlot* slot = Slot(index);
  std::memcpy(slot->text, name, length);
  Store(slot->length, static_cast<std::uint8_t>(length));
  if (index >= high) Store(h->high, index + 1);
  Store(slot->refs, std::uint32_t{1});
  *atom = static_cast<ATOM>(kFirstStringAtom + index);
  return ERROR_SUCCESS;
}

DWORD AtomTableImage::Find(const char* name, size_t length, ATOM* atom) const {
  std::uint32_t index = 0;
  const DWORD result = Lookup(name, length, &index);
  if (result == ERROR_SUCCESS) *atom = static_cast<ATOM>(kFirstStringAtom + index);
  return result;
}

DWORD AtomTableImage::Name(ATOM atom, char* text, size_t* length) const {
  std::uint32_t slots = 0, high = 0;
  if (Header(&slots, &high) == nullptr) return ERROR_FILE_INVALID;
  if (atom < kFirstStringAtom || static_cast<std::uint32_t>(atom - kFirstStringAtom) >= high)
    return ERROR_INVALID_HANDLE;
  const AtomSlot* slot = Slot(atom - kFirstStringAtom);
  if (Load(slot->refs) == 0) return ERROR_INVALID_HANDLE;
  const size_t n = Load(slot->length);
  if (n == 0) return ERROR_FILE_INVALID;
  std::memcpy(text, slot->text, n);
  if (std::memchr(text, '\0', n) != nullptr) return ERROR_FILE_INVALID;
  *length = n;
  return ERROR_SUCCESS;
}

DWORD AtomTableImage::Delete(ATOM atom) {
  std::uint32_t slots = 0, high = 0;
  AtomTableHeader* h = Header(&slots, &high);
  if (h == nullptr) return ERROR_FILE_INVALID;
  if (atom < kFirstStringAtom || static_cast<std::uint32_t>(atom - kFirstStringAtom) >= high)
    return ERROR_INVALID_HANDLE;
  const std::uint32_t index = atom - kFirstStringAtom;
  AtomSlot* slot = Slot(index);
  const std::uint32_t refs = Load(slot->refs);
  if (refs == 0) return ERROR_INVALID_HANDLE;
  Store(slot->refs, refs - 1);
  if (refs == 1 && index + 1 == high) {
    std::uint32_t top = index;
    while (top > 0 && Load(Slot(top - 1)->refs) == 0) --top;
    Store(h->high, top);
  }
  return ERROR_SUCCESS;
}

void AtomTableImage::Repair() {
  std::uint32_t slots = 0;
  AtomTableHeader* h = Geometry(&slots);
  if (h == nullptr) return;
  std::uint32_t top = slots;
  while (top > 0 && Load(Slot(top - 1)->refs) == 0) --top;
  Store(h->high, top);
}

// ---------------------------------------------------------------------------
// The file.

namespace {

void FailWith(DWORD error) { SetLastError(error); }

// CreateTable: makes the table file at `path` whole before it has that
// name, so that no process ever opens a half-made table. False with the
// last error set on failure; true also when another process was first (the
// caller opens the file that won).
bool CreateTable(const std::string& dir, const std::string& path, size_t size) {
  std::string temporary;  // "" while the file has no name at all
  int fd = Sys().open(dir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  if (fd < 0 && (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL)) {
    // A file system without unnamed files: a dot name of this process.
    static std::atomic<unsigned> counter{0};
    temporary = path + "." + std::to_string(getpid()) + "." + std::to_string(++counter);
    fd = Sys().open(temporary.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
  }
  if (fd < 0) {
    SetLastErrorFromErrno();
    return false;
  }
  auto fail = [&](DWORD error) {
    if (!temporary.empty()) unlink(temporary.c_str());
    close(fd);
    FailWith(error);
    return false;
  };
  if (Sys().ftruncate(fd, static_cast<off_t>(size)) != 0) return fail(Win32ErrorFromErrno(errno));
  // The whole table now, not page by page: a memory file system that is
  // full would otherwise kill a later writer with SIGBUS.
  const int reserve = Sys().posix_fallocate(fd, 0, static_cast<off_t>(size));
  if (reserve != 0) {
    return fail(reserve == ENOSPC || reserve == ENOMEM || reserve == EFBIG
                    ? static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY)
                    : Win32ErrorFromErrno(reserve));
  }
  void* base = Sys().mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (base == MAP_FAILED) return fail(Win32ErrorFromErrno(errno));
  pthread_mutexattr_t attributes;
  pthread_mutexattr_init(&attributes);
  pthread_mutexattr_setpshared(&attributes, PTHREAD_PROCESS_SHARED);
  pthread_mutexattr_setrobust(&attributes, PTHREAD_MUTEX_ROBUST);
  const int made = pthread_mutex_init(LockOf(base), &attributes);
  pthread_mutexattr_destroy(&attributes);
  if (made == 0) AtomTableImage(base, size).Init(kMaxAtomSlots);
  munmap(base, size);
  if (made != 0) return fail(Win32ErrorFromErrno(made));

  int linked;
  if (temporary.empty()) {
    const std::string self = "/proc/self/fd/" + std::to_string(fd);
    linked = linkat(AT_FDCWD, self.c_str(), AT_FDCWD, path.c_str(), AT_SYMLINK_FOLLOW);
  } else {
    linked = link(temporary.c_str(), path.c_str());
  }
  const int link_error = errno;
  if (!temporary.empty()) unlink(temporary.c_str());
  close(fd);
  if (linked != 0 && link_error != EEXIST) {
    FailWith(Win32ErrorFromErrno(link_error));
    return false;
  }
  return true;
}

std::atomic<SharedAtomTable*> g_tables[2];

}  // namespace

std::unique_ptr<SharedAtomTable> SharedAtomTable::Open(const std::string& dir, const char* file) {
  if (!EnsureNamespaceDirectory(dir)) return nullptr;
  const std::string path = dir + "/" + file;
  const size_t size = AtomTableBytes(kMaxAtomSlots);
  int fd = -1;
  // Made by another process between the open and the create: open again.
  for (int attempt = 0; attempt < 4 && fd < 0; ++attempt) {
    fd = Sys().open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW, 0);
    if (fd >= 0) break;
    if (errno != ENOENT) {
      SetLastErrorFromErrno();
      return nullptr;
    }
    if (!CreateTable(dir, path, size)) return nullptr;
  }
  if (fd < 0) {
    SetLastErrorFromErrno();
    return nullptr;
  }
  // Checked before it is mapped: a table is a regular file of the user,
  // nobody else's to read, of the one size.
  struct stat st;
  if (Sys().fstat(fd, &st) != 0) {
    SetLastErrorFromErrno();
    close(fd);
    return nullptr;
  }
  const std::string reason = UntrustedReason(st, TrustedOwners::kUserOnly, 077);
  if (!reason.empty()) {
    ReportRefusal(path, reason);
    close(fd);
    FailWith(ERROR_ACCESS_DENIED);
    return nullptr;
  }
  if (!S_ISREG(st.st_mode) || static_cast<unsigned long long>(st.st_size) != size) {
    close(fd);
    FailWith(ERROR_FILE_INVALID);
    return nullptr;
  }
  void* base = Sys().mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  const int map_error = errno;
  close(fd);
  if (base == MAP_FAILED) {
    FailWith(Win32ErrorFromErrno(map_error));
    return nullptr;
  }
  if (!AtomTableImage(base, size).Valid()) {
    munmap(base, size);
    FailWith(ERROR_FILE_INVALID);
    return nullptr;
  }
  return std::unique_ptr<SharedAtomTable>(new SharedAtomTable(base, size));
}

SharedAtomTable* SharedAtomTable::ForProcess(Kind kind) {
  std::atomic<SharedAtomTable*>& slot = g_tables[kind == kGlobalAtoms ? 0 : 1];
  SharedAtomTable* table = slot.load(std::memory_order_acquire);
  if (table != nullptr) return table;
  // No process-local lock: two threads may both open the table, and the
  // one that loses the race unmaps its copy. (Nothing here can be left held
  // by a thread of the parent in a child made by fork().)
  std::unique_ptr<SharedAtomTable> opened =
      Open(NamespaceDirectory(), kind == kGlobalAtoms ? ".atoms" : ".messages");
  if (opened == nullptr) return nullptr;
  if (slot.compare_exchange_strong(table, opened.get(), std::memory_order_acq_rel))
    return opened.release();  // kept for the life of the process
  return table;
}

SharedAtomTable::~SharedAtomTable() { munmap(base_, size_); }

DWORD SharedAtomTable::Lock() {
  pthread_mutex_t* lock = LockOf(base_);
  struct timespec deadline;
  clock_gettime(CLOCK_REALTIME, &deadline);
  deadline.tv_sec += kLockSeconds;
  const int rc = pthread_mutex_timedlock(lock, &deadline);
  if (rc == 0) return ERROR_SUCCESS;
  if (rc == EOWNERDEAD) {
    // Its holder died, perhaps between two stores of an update: every such
    // state reads correctly once `high` is recomputed.
    image().Repair();
    pthread_mutex_consistent(lock);
    return ERROR_SUCCESS;
  }
  return rc == ETIMEDOUT ? static_cast<DWORD>(ERROR_TIMEOUT) : static_cast<DWORD>(ERROR_FILE_INVALID);
}

void SharedAtomTable::Unlock() { pthread_mutex_unlock(LockOf(base_)); }

ATOM SharedAtomTable::Add(const char* name, size_t length) {
  DWORD error = Lock();
  ATOM atom = 0;
  if (error == ERROR_SUCCESS) {
    error = image().Add(name, length, &atom);
    Unlock();
  }
  if (error != ERROR_SUCCESS) FailWith(error);
  return error == ERROR_SUCCESS ? atom : 0;
}

ATOM SharedAtomTable::Find(const char* name, size_t length) {
  DWORD error = Lock();
  ATOM atom = 0;
  if (error == ERROR_SUCCESS) {
    error = image().Find(name, length, &atom);
    Unlock();
  }
  if (error != ERROR_SUCCESS) FailWith(error);
  return error == ERROR_SUCCESS ? atom : 0;
}

bool SharedAtomTable::Name(ATOM atom, char* text, size_t* length) {
  DWORD error = Lock();
  if (error == ERROR_SUCCESS) {
    error = image().Name(atom, text, length);
    Unlock();
  }
  if (error != ERROR_SUCCESS) FailWith(error);
  return error == ERROR_SUCCESS;
}

bool SharedAtomTable::Delete(ATOM atom) {
  DWORD error = Lock();
  if (error == ERROR_SUCCESS) {
    error = image().Delete(atom);
    Unlock();
  }
  if (error != ERROR_SUCCESS) FailWith(error);
  return error == ERROR_SUCCESS;
}

}  // namespace tqrtl::posix
