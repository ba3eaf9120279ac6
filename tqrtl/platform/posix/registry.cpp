// The Win32 registry calls on a store of our own: one SQLite database per
// hive, in WAL mode, with every write committed (synchronous=FULL) before
// the call returns. registry.h says where the files are.
//
// Layout of a hive's database:
//   keys(id, parent, name, folded, mtime): one row per key; the hive's root
//     is id 1. `folded` is the name in upper case (see Fold), unique among a
//     parent's children, so names are case-insensitive and keep their first
//     spelling. Ids are never reused (AUTOINCREMENT), so a handle, which
//     holds a key's id, never comes back to life when a key of the same name
//     is created after a delete.
//   vals(key, folded, name, ord, type, data): one row per value, the data as
//     raw bytes with its type number, whatever the type. `ord` is the
//     creation order: overwriting keeps it, deleting leaves a gap.
// Subkeys enumerate in folded order, values in creation order, as Windows
// does in practice.
//
// Reads come from memory while nothing has changed: each process keeps the
// keys it has looked at (children, values) and a copy of the hive's change
// counter, which lives in a shared mapped file ("changes" in the registry
// directory) and which every writing process bumps after it commits. (A
// file shortened under the mapping would kill the process with SIGBUS at
// the next touch; the guard at MapCounters turns that into "changed".) A call
// that finds the counter moved drops the process's copy first. The read
// path therefore runs no SQLite statement and writes nothing once warm. The
// counter is read before the database, so a copy can only be older than the
// counter that tags it, never newer. A value the process writes itself is
// put into its copy, which stays, when that write's bump is the only one
// since the copy was read. One window remains: a writer killed
// between its commit and the bump (a call that never returned) leaves
// other processes' copies stale until the next write by anyone.
//
// Failures: a store that cannot be opened or read gives ERROR_ACCESS_DENIED
// (no permission, read-only hive on write), ERROR_BADDB (not a database, a
// damaged one, or not ours), ERROR_BUSY (locked longer than the busy
// time-out), ERROR_DISK_FULL, ERROR_NOT_ENOUGH_MEMORY,
// ERROR_TOO_MANY_OPEN_FILES (out of descriptors); a folder or file that
// another user owns or may write to is ERROR_ACCESS_DENIED; a broken connection
// is closed and opened afresh by the next call. Nothing here crashes or
// throws on bad input.
//
// One mutex serialises the calls of a process.
#include "tqrtl/platform/posix/registry.h"

#include <errno.h>
#include <fcntl.h>
// The session extension (undo across hives) is in the system's SQLite; its
// header declares it only when asked.
#define SQLITE_ENABLE_SESSION 1
#define SQLITE_ENABLE_PREUPDATE_HOOK 1
#include <sqlite3.h>
#include <stdlib.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "tqrtl/platform/posix/fork.h"
#include "tqrtl/platform/posix/internal.h"

namespace tqrtl::posix {
namespace {

constexpr int kHiveCount = 2;  // 0: HKEY_CURRENT_USER, 1: HKEY_LOCAL_MACHINE
constexpr const char* kHiveFiles[kHiveCount] = {"HKEY_CURRENT_USER.sqlite",
                                                "HKEY_LOCAL_MACHINE.sqlite"};
constexpr const char* kCounterFile = "changes";
constexpr size_t kCounterBytes = 4096;
constexpr std::int64_t kRootId = 1;
constexpr int kBusyTimeoutMs = 10000;
constexpr std::int32_t kApplicationId = 0x54515247;  // "TQRG"
constexpr size_t kMaxKeyName = 255;                  // characters per key name
constexpr size_t kMaxValueName = 16383;              // characters per value name
constexpr size_t kMaxDepth = 512;
constexpr size_t kMaxCachedKeys = 4096;
constexpr ULONG_PTR kHandleBase = 0x10000;

// ---------------------------------------------------------------------------
// Names.

// UpperOf: the upper-case form of one code point for the scripts whose case
// pairs are simple: ASCII, Latin-1, Latin Extended-A, Greek and Cyrillic.
// Everything else compares exactly.
char32_t UpperOf(char32_t c) {
  if (c >= 'a' && c <= 'z') return c - 32;
  if (c < 0x80) return c;
  if ((c >= 0xE0 && c <= 0xFE && c != 0xF7)) return c - 32;
  if (c == 0xFF) return 0x178;
  if (c >= 0x100 && c <= 0x17F) {
    const bool oddPairs = (c <= 0x137) || (c >= 0x14A && c <= 0x177);
    const bool evenPairs = (c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E);
    if (oddPairs && (c & 1)) return c - 1;
    if (evenPairs && !(c & 1)) return c - 1;
    return c;
  }
  if (c >= 0x3B1 && c <= 0x3C9) return c == 0x3C2 ? 0x3A3 : c - 32;
  if (c >= 0x430 && c <= 0x44F) return c - 32;
  if (c >= 0x450 && c <= 0x45F) return c - 80;
  return c;
}

void AppendUtf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

}  // namespace

// Fold (internal.h): the name as it is compared and sorted.
std::string Fold(std::string_view name) {
  std::string out;
  out.reserve(name.size());
  for (size_t i = 0; i < name.size();) {
    const unsigned char b = static_cast<unsigned char>(name[i]);
    if (b < 0x80) {
      out += static_cast<char>(b >= 'a' && b <= 'z' ? b - 32 : b);
      ++i;
      continue;
    }
    if ((b & 0xE0) == 0xC0 && i + 1 < name.size() &&
        (static_cast<unsigned char>(name[i + 1]) & 0xC0) == 0x80) {
      const char32_t c =
          (static_cast<char32_t>(b & 0x1F) << 6) | (static_cast<unsigned char>(name[i + 1]) & 0x3F);
      if (c >= 0x80) {
        AppendUtf8(out, UpperOf(c));
        i += 2;
        continue;
      }
    }
    out += static_cast<char>(b);
    ++i;
  }
  return out;
}

namespace {

// Utf16Length: the name's length as Windows counts it (UTF-16 units), for
// the documented limits.
size_t Utf16Length(std::string_view text) {
  size_t n = 0;
  for (unsigned char b : text) {
    if ((b & 0xC0) != 0x80) ++n;
    if ((b & 0xF8) == 0xF0) ++n;  // outside the BMP: a surrogate pair
  }
  return n;
}

// SplitPath: the components of a subkey path. One trailing backslash is
// ignored and empty components merge; a leading backslash is
// ERROR_BAD_PATHNAME. `create` also checks the name limits.
LONG SplitPath(const char* path, bool create, std::vector<std::string_view>* parts) {
  parts->clear();
  if (path == nullptr || *path == '\0') return ERROR_SUCCESS;
  std::string_view rest(path);
  if (rest.front() == '\\') return ERROR_BAD_PATHNAME;
  while (!rest.empty()) {
    const size_t cut = rest.find('\\');
    const std::string_view part = rest.substr(0, cut);
    if (!part.empty()) {
      if (create && Utf16Length(part) > kMaxKeyName) return ERROR_INVALID_PARAMETER;
      parts->push_back(part);
    }
    if (cut == std::string_view::npos) break;
    rest.remove_prefix(cut + 1);
  }
  if (parts->size() > kMaxDepth) return ERROR_INVALID_PARAMETER;
  return ERROR_SUCCESS;
}

bool IsStringType(DWORD type) {
  return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
}

std::int64_t NowAsFileTime() {
  struct timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  return (static_cast<std::int64_t>(now.tv_sec) + 11644473600LL) * 10000000LL + now.tv_nsec / 100;
}

FILETIME ToFileTime(std::int64_t t) {
  FILETIME ft;
  ft.dwLowDateTime = static_cast<DWORD>(static_cast<std::uint64_t>(t) & 0xFFFFFFFFu);
  ft.dwHighDateTime = static_cast<DWORD>(static_cast<std::uint64_t>(t) >> 32);
  return ft;
}

// ---------------------------------------------------------------------------
// The database of one hive and the process's copy of what it has read.

enum Sql {
  kKeyRow,
  kChildren,
  kValues,
  kChildByName,
  kInsertKey,
  kTouchKey,
  kUpsertValue,
  kDeleteValue,
  kDeleteAllValues,
  kDeleteKey,
  kHasChildren,
  kSqlCount
};

constexpr const char* kSqlText[kSqlCount] = {
    "SELECT mtime FROM keys WHERE id=?1",
    "SELECT id, name, folded, mtime FROM keys WHERE parent=?1 ORDER BY folded",
    "SELECT name, folded, type, data FROM vals WHERE key=?1 ORDER BY ord",
    "SELECT id FROM keys WHERE parent=?1 AND folded=?2",
    "INSERT INTO keys(parent, name, folded, mtime) VALUES(?1, ?2, ?3, ?4)",
    "UPDATE keys SET mtime=?2 WHERE id=?1",
    "INSERT INTO vals(key, folded, name, ord, type, data) VALUES(?1, ?2, ?3, "
    "(SELECT coalesce(max(ord), 0) + 1 FROM vals WHERE key=?1), ?4, ?5) "
    "ON CONFLICT(key, folded) DO UPDATE SET type=excluded.type, data=excluded.data",
    "DELETE FROM vals WHERE key=?1 AND folded=?2",
    "DELETE FROM vals WHERE key=?1",
    "DELETE FROM keys WHERE id=?1",
    "SELECT 1 FROM keys WHERE parent=?1 LIMIT 1",
};

constexpr const char* kSchema =
    "CREATE TABLE IF NOT EXISTS keys("
    " id INTEGER PRIMARY KEY AUTOINCREMENT,"
    " parent INTEGER NOT NULL,"
    " name TEXT NOT NULL,"
    " folded TEXT NOT NULL,"
    " mtime INTEGER NOT NULL DEFAULT 0);"
    "CREATE UNIQUE INDEX IF NOT EXISTS keys_by_parent ON keys(parent, folded);"
    "CREATE TABLE IF NOT EXISTS vals("
    " key INTEGER NOT NULL,"
    " folded TEXT NOT NULL,"
    " name TEXT NOT NULL,"
    " ord INTEGER NOT NULL,"
    " type INTEGER NOT NULL,"
    " data BLOB NOT NULL,"
    " PRIMARY KEY(key, folded)) WITHOUT ROWID;"
    "CREATE INDEX IF NOT EXISTS vals_by_order ON vals(key, ord);"
    "INSERT OR IGNORE INTO keys(id, parent, name, folded) VALUES(1, 0, '', '');"
    "PRAGMA application_id=1414615623;";

struct Child {
  std::string name;
  std::string folded;
  std::int64_t id;
  std::int64_t mtime;
};

struct Value {
  std::string name;
  std::string folded;
  DWORD type;
  std::string data;
};

// A key as the process last read it.
struct KeyNode {
  bool exists = false;
  std::int64_t mtime = 0;
  std::vector<Child> children;  // in folded order
  std::vector<Value> values;    // in creation order
  std::unordered_map<std::string, size_t> childIndex;
  std::unordered_map<std::string, size_t> valueIndex;

  const Child* FindChild(const std::string& folded) const {
    const auto it = childIndex.find(folded);
    return it == childIndex.end() ? nullptr : &children[it->second];
  }
  const Value* FindValue(const std::string& folded) const {
    const auto it = valueIndex.find(folded);
    return it == valueIndex.end() ? nullptr : &values[it->second];
  }
};

struct HiveStore {
  sqlite3* db = nullptr;
  bool readOnly = false;
  bool broken = false;  // close the connection when the call ends
  bool inTransaction = false;
  bool lostInFork = false;  // see RegistryForkChild
  sqlite3_session* undo = nullptr;  // records a transaction over several hives
  sqlite3_stmt* statements[kSqlCount] = {};
  std::unordered_map<std::int64_t, KeyNode> cache;
  std::uint64_t cacheTag = 0;
};

struct HandleEntry {
  bool used = false;
  int hive = 0;
  std::int64_t key = 0;
  REGSAM access = 0;
};

struct Registry {
  std::mutex mutex;
  bool dirKnown = false;
  std::string dir;
  std::uint64_t* counters = nullptr;  // mapped change counters, one per hive
  bool countersWritable = false;
  HiveStore hives[kHiveCount];
  std::vector<HandleEntry> handles;
  std::vector<size_t> freeHandles;
  std::uint64_t statements = 0;
};

// Never destroyed, so registry calls from other static destructors stay safe.
Registry& R() {
  static Registry* registry = new Registry;
  return *registry;
}

// ---------------------------------------------------------------------------
// SQLite helpers.

LONG FromSqlite(int rc, HiveStore& h) {
  // Out of descriptors, SQLite cannot open the log or the shared index and
  // says "cannot open" or "I/O error": that is no damage to the store, and
  // a tool must not be told the database is corrupt.
  if ((rc & 0xFF) == SQLITE_CANTOPEN || (rc & 0xFF) == SQLITE_IOERR) {
    const int e = h.db != nullptr ? sqlite3_system_errno(h.db) : 0;
    if (e == EMFILE || e == ENFILE) {
      h.broken = true;
      return ERROR_TOO_MANY_OPEN_FILES;
    }
  }
  switch (rc & 0xFF) {
    case SQLITE_OK:
    case SQLITE_ROW:
    case SQLITE_DONE:
      return ERROR_SUCCESS;
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
      return ERROR_BUSY;
    case SQLITE_READONLY:
    case SQLITE_PERM:
    case SQLITE_AUTH:
      return ERROR_ACCESS_DENIED;
    case SQLITE_NOMEM:
      return ERROR_NOT_ENOUGH_MEMORY;
    case SQLITE_FULL:
      h.broken = true;
      return ERROR_DISK_FULL;
    case SQLITE_CANTOPEN: {
      h.broken = true;
      const int e = h.db != nullptr ? sqlite3_system_errno(h.db) : 0;
      return (e == EACCES || e == EPERM) ? ERROR_ACCESS_DENIED : ERROR_BADDB;
    }
    case SQLITE_TOOBIG:
      return ERROR_INVALID_PARAMETER;
    case SQLITE_IOERR: {
      // A write refused for the file's size limit or the user's quota is a
      // full disk too, not damage.
      h.broken = true;
      const int e = h.db != nullptr ? sqlite3_system_errno(h.db) : 0;
      return (e == ENOSPC || e == EFBIG || e == EDQUOT) ? ERROR_DISK_FULL : ERROR_BADDB;
    }
    default:
      h.broken = true;
      return ERROR_BADDB;
  }
}

// A statement in use: bound by the caller, reset when the scope ends.
class Query {
 public:
  Query(HiveStore& h, Sql which) : h_(h), s_(nullptr) {
    if (h.statements[which] == nullptr) {
      rc_ = sqlite3_prepare_v3(h.db, kSqlText[which], -1, SQLITE_PREPARE_PERSISTENT,
                               &h.statements[which], nullptr);
      if (rc_ != SQLITE_OK) return;
    }
    s_ = h.statements[which];
  }
  ~Query() {
    if (s_ != nullptr) {
      sqlite3_reset(s_);
      sqlite3_clear_bindings(s_);
    }
  }
  Query(const Query&) = delete;
  Query& operator=(const Query&) = delete;

  bool ok() const { return s_ != nullptr; }
  LONG error() { return FromSqlite(rc_, h_); }
  void Bind(int i, std::int64_t v) { sqlite3_bind_int64(s_, i, v); }
  void Bind(int i, std::string_view v) {
    sqlite3_bind_text(s_, i, v.data(), static_cast<int>(v.size()), SQLITE_STATIC);
  }
  void BindBlob(int i, const void* data, size_t size) {
    // A zero-length blob must still be a blob, not NULL.
    sqlite3_bind_blob(s_, i, size ? data : "", static_cast<int>(size), SQLITE_STATIC);
  }
  // Step: true for a row; false at the end or on an error (see error()).
  bool Step() {
    if (s_ == nullptr) return false;
    ++R().statements;
    rc_ = sqlite3_step(s_);
    return rc_ == SQLITE_ROW;
  }
  std::int64_t Int(int col) { return sqlite3_column_int64(s_, col); }
  std::string Text(int col) {
    const auto* p = sqlite3_column_text(s_, col);
    return p ? std::string(reinterpret_cast<const char*>(p),
                           static_cast<size_t>(sqlite3_column_bytes(s_, col)))
             : std::string();
  }
  std::string Blob(int col) {
    const void* p = sqlite3_column_blob(s_, col);
    return p ? std::string(static_cast<const char*>(p),
                           static_cast<size_t>(sqlite3_column_bytes(s_, col)))
             : std::string();
  }

 private:
  HiveStore& h_;
  sqlite3_stmt* s_;
  int rc_ = SQLITE_OK;
};

LONG Exec(HiveStore& h, const char* sql) {
  ++R().statements;
  return FromSqlite(sqlite3_exec(h.db, sql, nullptr, nullptr, nullptr), h);
}

void DropUndo(HiveStore& h) {
  if (h.undo != nullptr) sqlite3session_delete(h.undo);
  h.undo = nullptr;
}

void CloseHive(HiveStore& h) {
  DropUndo(h);
  for (auto& s : h.statements) {
    sqlite3_finalize(s);
    s = nullptr;
  }
  if (h.db != nullptr) sqlite3_close_v2(h.db);
  h.db = nullptr;
  h.readOnly = false;
  h.broken = false;
  h.inTransaction = false;
  h.cache.clear();
}

// ---------------------------------------------------------------------------
// Files.

bool ResolveDirectory(Registry& r) {
  if (r.dirKnown) return true;
  std::string dir;
  const char* explicitDir = getenv("TQRTL_REGISTRY_DIR");
  const char* config = getenv("XDG_CONFIG_HOME");
  const char* home = getenv("HOME");
  if (explicitDir != nullptr && *explicitDir != '\0') {
    dir = explicitDir;
  } else if (config != nullptr && config[0] == '/') {
    dir = std::string(config) + "/tqrtl/registry";
  } else if (home != nullptr && *home != '\0') {
    dir = std::string(home) + "/.config/tqrtl/registry";
  } else {
    return false;
  }
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  r.dir = dir;
  r.dirKnown = true;
  return true;
}

// MakeDirectories: creates the missing folders of `dir`, each 0700.
LONG MakeDirectories(const std::string& dir) {
  struct stat st;
  if (stat(dir.c_str(), &st) == 0) return S_ISDIR(st.st_mode) ? ERROR_SUCCESS : ERROR_DIRECTORY;
  for (size_t i = 1; i <= dir.size(); ++i) {
    if (i != dir.size() && dir[i] != '/') continue;
    const std::string part = dir.substr(0, i);
    if (mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) return Win32ErrorFromErrno(errno);
  }
  return ERROR_SUCCESS;
}

// The guard of the counters' mapping. Every call reads a counter, so it
// must cost next to nothing: a mapping, not a system call. But touching a
// mapped page past the end of a file that someone shortened raises SIGBUS.
// The guard's handler takes the faults inside the counters' pages only: it
// puts zeroed private memory in their place, so the access completes, and
// notes the loss; the call then drops its copy and maps the file anew,
// extending it. Any other SIGBUS goes on to the handler that was there
// before, or kills the process as it would have without the guard.
std::atomic<std::uintptr_t> g_guarded{0};  // the counters' address, or 0
volatile sig_atomic_t g_countersLost = 0;
struct sigaction g_previousBus;

void OnBus(int signal, siginfo_t* info, void* context) {
  const std::uintptr_t start = g_guarded.load(std::memory_order_relaxed);
  const auto at = reinterpret_cast<std::uintptr_t>(info->si_addr);
  if (start != 0 && at >= start && at - start < kCounterBytes &&
      mmap(reinterpret_cast<void*>(start), kCounterBytes, PROT_READ | PROT_WRITE,
           MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0) != MAP_FAILED) {
    g_countersLost = 1;
    return;
  }
  if ((g_previousBus.sa_flags & SA_SIGINFO) != 0 && g_previousBus.sa_sigaction != nullptr) {
    g_previousBus.sa_sigaction(signal, info, context);
  } else if (g_previousBus.sa_handler != SIG_DFL && g_previousBus.sa_handler != SIG_IGN) {
    g_previousBus.sa_handler(signal);
  } else {
    // Not ours: the access faults again on return, now with the default action.
    struct sigaction fallback = {};
    fallback.sa_handler = SIG_DFL;
    sigaction(SIGBUS, &fallback, nullptr);
  }
}

void InstallBusGuard() {
  static std::once_flag once;
  std::call_once(once, [] {
    struct sigaction action = {};
    action.sa_sigaction = OnBus;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_RESTART;
    sigemptyset(&action.sa_mask);
    sigaction(SIGBUS, &action, &g_previousBus);
  });
}

// MapCounters: maps the shared change counters, which must be the user's
// (as the hives). Without them the process simply never answers from
// memory.
LONG MapCounters(Registry& r) {
  if (r.counters != nullptr) return ERROR_SUCCESS;
  const std::string path = r.dir + "/" + kCounterFile;
  bool writable = true;
  int fd = Sys().open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) {
    writable = false;
    fd = Sys().open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW, 0);
  }
  if (fd < 0) return ERROR_SUCCESS;
  struct stat st;
  if (Sys().fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    return ERROR_SUCCESS;
  }
  const std::string untrusted = UntrustedReason(st, TrustedOwners::kUserOrRoot, 022);
  if (!untrusted.empty()) {
    close(fd);
    ReportRefusal(path, untrusted);
    return ERROR_ACCESS_DENIED;
  }
  const bool extend = static_cast<size_t>(st.st_size) < kCounterBytes;
  if (extend && (!writable || Sys().ftruncate(fd, kCounterBytes) != 0)) {
    close(fd);
    return ERROR_SUCCESS;
  }
  InstallBusGuard();
  void* p = Sys().mmap(nullptr, kCounterBytes, writable ? PROT_READ | PROT_WRITE : PROT_READ,
                       MAP_SHARED, fd, 0);
  close(fd);
  if (p == MAP_FAILED) return ERROR_SUCCESS;
  r.counters = static_cast<std::uint64_t*>(p);
  r.countersWritable = writable;
  g_guarded.store(reinterpret_cast<std::uintptr_t>(p), std::memory_order_relaxed);
  if (extend) {
    // A new file, or one that was cut short: the counters start from the
    // clock rather than 0, so no process's copy of before matches them.
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    for (int hive = 0; hive < kHiveCount; ++hive) {
      std::uint64_t zero = 0;
      __atomic_compare_exchange_n(r.counters + hive * 8, &zero,
                                  static_cast<std::uint64_t>(now.tv_sec) * 1000000000u +
                                      static_cast<std::uint64_t>(now.tv_nsec),
                                  false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
    }
  }
  return ERROR_SUCCESS;
}

void UnmapCounters(Registry& r) {
  g_guarded.store(0, std::memory_order_relaxed);
  if (r.counters != nullptr) munmap(r.counters, kCounterBytes);
  r.counters = nullptr;
  r.countersWritable = false;
}

// CountersLost: true when the guard found the file shortened under the
// mapping since the last look; the file is then mapped again (and extended).
bool CountersLost(Registry& r) {
  if (g_countersLost == 0) return false;
  g_countersLost = 0;
  UnmapCounters(r);
  MapCounters(r);
  return true;
}

// Counter slots sit a cache line apart.
std::uint64_t* CounterOf(Registry& r, int hive) {
  return r.counters == nullptr ? nullptr : r.counters + hive * 8;
}

// ReadCounter: the hive's counter; false when there is none, or it was lost.
bool ReadCounter(Registry& r, int hive, std::uint64_t* value) {
  const std::uint64_t* c = CounterOf(r, hive);
  if (c == nullptr) return false;
  *value = __atomic_load_n(c, __ATOMIC_SEQ_CST);
  return !CountersLost(r);
}

// BumpCounter: the counter's new value, or 0 when there is no counter to
// bump (or it was lost: the new mapping's counters differ from any copy's).
std::uint64_t BumpCounter(Registry& r, int hive) {
  std::uint64_t* c = CounterOf(r, hive);
  if (c == nullptr || !r.countersWritable) return 0;
  const std::uint64_t value = __atomic_add_fetch(c, 1, __ATOMIC_SEQ_CST);
  return CountersLost(r) ? 0 : value;
}

// Ours: the database holds the store's tables and mark.
LONG CheckOrCreateSchema(HiveStore& h) {
  std::int64_t tables = -1;
  {
    sqlite3_stmt* s = nullptr;
    int rc = sqlite3_prepare_v2(h.db,
                                "SELECT (SELECT count(*) FROM sqlite_master WHERE type='table' AND "
                                "name IN ('keys','vals')), (SELECT count(*) FROM sqlite_master)",
                                -1, &s, nullptr);
    std::int64_t objects = 0;
    if (rc == SQLITE_OK) {
      ++R().statements;
      rc = sqlite3_step(s);
      if (rc == SQLITE_ROW) {
        tables = sqlite3_column_int64(s, 0);
        objects = sqlite3_column_int64(s, 1);
        rc = SQLITE_OK;
      }
    }
    sqlite3_finalize(s);
    if (rc != SQLITE_OK) return FromSqlite(rc, h);
    if (tables == 0 && objects != 0) return ERROR_BADDB;  // someone else's database
  }
  if (tables == 2) {
    sqlite3_stmt* s = nullptr;
    std::int64_t id = 0;
    if (sqlite3_prepare_v2(h.db, "PRAGMA application_id", -1, &s, nullptr) == SQLITE_OK &&
        sqlite3_step(s) == SQLITE_ROW) {
      id = sqlite3_column_int64(s, 0);
    }
    sqlite3_finalize(s);
    return id == kApplicationId ? ERROR_SUCCESS : ERROR_BADDB;
  }
  if (tables != 0) return ERROR_BADDB;
  if (h.readOnly) return ERROR_FILE_NOT_FOUND;       // an empty store nobody may fill
  LONG result = Exec(h, "PRAGMA journal_mode=WAL");  // stays set in the file
  if (result != ERROR_SUCCESS) return result;
  result = Exec(h, "BEGIN IMMEDIATE");
  if (result != ERROR_SUCCESS) return result;
  result = Exec(h, kSchema);
  if (result == ERROR_SUCCESS) result = Exec(h, "COMMIT");
  if (result != ERROR_SUCCESS) sqlite3_exec(h.db, "ROLLBACK", nullptr, nullptr, nullptr);
  return result;
}

LONG OpenHive(Registry& r, int hive) {
  HiveStore& h = r.hives[hive];
  if (h.db != nullptr) return ERROR_SUCCESS;
  if (h.lostInFork) return ERROR_BUSY;
  if (!ResolveDirectory(r)) return ERROR_PATH_NOT_FOUND;
  LONG result = MakeDirectories(r.dir);
  if (result != ERROR_SUCCESS) return result;
  // The folder and every file in it must be the user's (or root's) and
  // writable by nobody else: otherwise another user could read what is
  // stored (passwords) or plant what is read (plug-in paths).
  if (!CheckTrusted(r.dir, true, TrustedOwners::kUserOrRoot, 022, false)) return GetLastError();
  result = MapCounters(r);
  if (result != ERROR_SUCCESS) return result;

  // The file is made here, 0600, so SQLite's -wal and -shm files, which
  // copy its permissions, are private too.
  const std::string path = r.dir + "/" + kHiveFiles[hive];
  bool readOnly = false;
  int fd = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd >= 0) {
    fchmod(fd, 0600);
  } else if (errno == EEXIST) {
    fd = open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW);
  }
  if (fd < 0 && (errno == EACCES || errno == EPERM || errno == EROFS)) {
    fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    readOnly = true;
  }
  if (fd < 0) return Win32ErrorFromErrno(errno);
  struct stat st;
  const bool regular = Sys().fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
  close(fd);
  if (!regular) return ERROR_BADDB;
  std::string untrusted = UntrustedReason(st, TrustedOwners::kUserOrRoot, 022);
  if (!untrusted.empty()) {
    ReportRefusal(path, untrusted);
    return ERROR_ACCESS_DENIED;
  }
  // SQLite's log and shared index, when there, are as much the store.
  for (const char* suffix : {"-wal", "-shm"}) {
    if (!CheckTrusted(path + suffix, false, TrustedOwners::kUserOrRoot, 022, true))
      return GetLastError();
  }

  const int flags = (readOnly ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE) |
                    SQLITE_OPEN_NOMUTEX | SQLITE_OPEN_PRIVATECACHE;
  int rc = sqlite3_open_v2(path.c_str(), &h.db, flags, nullptr);
  if (rc == SQLITE_OK) {
    h.readOnly = readOnly;
    sqlite3_extended_result_codes(h.db, 1);
    sqlite3_busy_timeout(h.db, kBusyTimeoutMs);
    result = ERROR_SUCCESS;
  } else {
    result = FromSqlite(rc, h);
  }
  // The schema is checked before anything is changed, so a file that is not
  // ours is left exactly as it was.
  if (result == ERROR_SUCCESS) result = Exec(h, "PRAGMA synchronous=FULL");
  if (result == ERROR_SUCCESS) result = CheckOrCreateSchema(h);
  if (result != ERROR_SUCCESS) {
    CloseHive(h);
    return result;
  }
  h.cacheTag = ~std::uint64_t{0};
  return ERROR_SUCCESS;
}

// Refresh: drops the process's copy of the hive if another write happened
// since it was read. Called at the start of every call, before any read.
void Refresh(Registry& r, int hive) {
  HiveStore& h = r.hives[hive];
  if (h.inTransaction) {
    h.cache.clear();
    return;
  }
  std::uint64_t now = 0;
  if (!ReadCounter(r, hive, &now)) {
    h.cache.clear();
    h.cacheTag = ~std::uint64_t{0};
    return;
  }
  if (now != h.cacheTag || h.cache.size() > kMaxCachedKeys) {
    h.cache.clear();
    h.cacheTag = now;
  }
}

// Node: the key `id` as the process knows it, read from the database when it
// is not known yet. The pointer lives until the next Refresh.
LONG Node(HiveStore& h, std::int64_t id, const KeyNode** out) {
  const auto known = h.cache.find(id);
  if (known != h.cache.end()) {
    *out = &known->second;
    return ERROR_SUCCESS;
  }
  KeyNode node;
  {
    Query q(h, kKeyRow);
    if (!q.ok()) return q.error();
    q.Bind(1, id);
    node.exists = q.Step();
    if (node.exists) node.mtime = q.Int(0);
    const LONG error = q.error();
    if (error != ERROR_SUCCESS) return error;
  }
  if (node.exists) {
    Query c(h, kChildren);
    if (!c.ok()) return c.error();
    c.Bind(1, id);
    while (c.Step()) {
      node.childIndex.emplace(c.Text(2), node.children.size());
      node.children.push_back(Child{c.Text(1), c.Text(2), c.Int(0), c.Int(3)});
    }
    LONG error = c.error();
    if (error != ERROR_SUCCESS) return error;
    Query v(h, kValues);
    if (!v.ok()) return v.error();
    v.Bind(1, id);
    while (v.Step()) {
      node.valueIndex.emplace(v.Text(1), node.values.size());
      node.values.push_back(Value{v.Text(0), v.Text(1), static_cast<DWORD>(v.Int(2)), v.Blob(3)});
    }
    error = v.error();
    if (error != ERROR_SUCCESS) return error;
  }
  *out = &h.cache.emplace(id, std::move(node)).first->second;
  return ERROR_SUCCESS;
}

// ---------------------------------------------------------------------------
// Handles.

struct Target {
  int hive;
  std::int64_t key;
  REGSAM access;
};

LONG Resolve(Registry& r, HKEY key, Target* t) {
  const ULONG_PTR v = reinterpret_cast<ULONG_PTR>(key);
  if (key == HKEY_CURRENT_USER || key == HKEY_LOCAL_MACHINE) {
    *t = Target{key == HKEY_CURRENT_USER ? 0 : 1, kRootId, KEY_ALL_ACCESS};
    return ERROR_SUCCESS;
  }
  if (v < kHandleBase || (v - kHandleBase) % 4 != 0) return ERROR_INVALID_HANDLE;
  const size_t slot = (v - kHandleBase) / 4;
  if (slot >= r.handles.size() || !r.handles[slot].used) return ERROR_INVALID_HANDLE;
  const HandleEntry& e = r.handles[slot];
  *t = Target{e.hive, e.key, e.access};
  return ERROR_SUCCESS;
}

HKEY NewHandle(Registry& r, int hive, std::int64_t key, REGSAM access) {
  size_t slot;
  if (!r.freeHandles.empty()) {
    slot = r.freeHandles.back();
    r.freeHandles.pop_back();
  } else {
    slot = r.handles.size();
    r.handles.emplace_back();
  }
  r.handles[slot] = HandleEntry{true, hive, key, access == 0 ? KEY_READ : access};
  return reinterpret_cast<HKEY>(kHandleBase + slot * 4);
}

// Begin: opens the hive and brings the process's copy up to date.
LONG Begin(Registry& r, HKEY key, Target* t) {
  LONG result = Resolve(r, key, t);
  if (result != ERROR_SUCCESS) return result;
  result = OpenHive(r, t->hive);
  if (result != ERROR_SUCCESS) return result;
  Refresh(r, t->hive);
  return ERROR_SUCCESS;
}

// ExistingNode: the handle's key, ERROR_KEY_DELETED when it is gone.
LONG ExistingNode(Registry& r, const Target& t, const KeyNode** node) {
  const LONG result = Node(r.hives[t.hive], t.key, node);
  if (result != ERROR_SUCCESS) return result;
  return (*node)->exists ? ERROR_SUCCESS : ERROR_KEY_DELETED;
}

// Walk: follows `parts` from `from` through the process's copy. Sets *found
// to the key's id, or 0 when a level is missing.
LONG Walk(HiveStore& h, std::int64_t from, const std::vector<std::string_view>& parts,
          std::int64_t* found) {
  std::int64_t id = from;
  for (const std::string_view part : parts) {
    const KeyNode* node = nullptr;
    const LONG result = Node(h, id, &node);
    if (result != ERROR_SUCCESS) return result;
    const Child* child = node->exists ? node->FindChild(Fold(part)) : nullptr;
    if (child == nullptr) {
      *found = 0;
      return ERROR_SUCCESS;
    }
    id = child->id;
  }
  *found = id;
  return ERROR_SUCCESS;
}

// ---------------------------------------------------------------------------
// Writes: each in its own transaction, or a savepoint inside the process's
// open transaction (RegistryBeginTransaction).

LONG BeginWrite(HiveStore& h) {
  if (h.readOnly) return ERROR_ACCESS_DENIED;
  return Exec(h, h.inTransaction ? "SAVEPOINT op" : "BEGIN IMMEDIATE");
}

// EndWrite: commits or rolls back, and drops the process's copy of the
// hive. Given `update`, a committed write keeps the copy instead and
// applies itself to it, as long as the counter shows no other writer's
// change since the copy was read: the bump of this commit must be the only
// one. (A writer that committed earlier but bumps later still makes the
// next call drop the copy, as with any copy.) So a program that writes a
// setting and reads its settings again does not reload every key.
template <typename Update>
LONG EndWrite(Registry& r, int hive, LONG status, Update update) {
  HiveStore& h = r.hives[hive];
  if (h.inTransaction || status != ERROR_SUCCESS) h.cache.clear();
  if (h.inTransaction) {
    if (status != ERROR_SUCCESS) Exec(h, "ROLLBACK TO op");
    const LONG released = Exec(h, "RELEASE op");
    return status != ERROR_SUCCESS ? status : released;
  }
  if (status == ERROR_SUCCESS) {
    status = Exec(h, "COMMIT");
    if (status == ERROR_SUCCESS) {
      const std::uint64_t counter = BumpCounter(r, hive);
      if (counter != 0 && counter == h.cacheTag + 1) {
        update(h);
        h.cacheTag = counter;
      } else {
        h.cache.clear();
      }
      return ERROR_SUCCESS;
    }
  }
  h.cache.clear();
  if (h.db != nullptr && !sqlite3_get_autocommit(h.db)) {
    sqlite3_exec(h.db, "ROLLBACK", nullptr, nullptr, nullptr);
  }
  return status;
}

LONG EndWrite(Registry& r, int hive, LONG status) {
  return EndWrite(r, hive, status, [](HiveStore& h) { h.cache.clear(); });
}

// StoredValue: the process's copy after a value was written as RegSetValueExA
// writes it: an existing value keeps its first spelling and its place, a new
// one comes last; the key and its entry in its parent's list of children
// carry the write's time.
void StoredValue(HiveStore& h, std::int64_t key, std::string_view name, const std::string& folded,
                 DWORD type, const BYTE* data, DWORD size, std::int64_t now) {
  for (auto& [id, node] : h.cache) {
    for (Child& child : node.children) {
      if (child.id == key) child.mtime = now;
    }
  }
  const auto known = h.cache.find(key);
  if (known == h.cache.end()) return;
  KeyNode& node = known->second;
  node.mtime = now;
  const std::string bytes =
      size != 0 ? std::string(reinterpret_cast<const char*>(data), size) : std::string();
  const auto at = node.valueIndex.find(folded);
  if (at != node.valueIndex.end()) {
    node.values[at->second].type = type;
    node.values[at->second].data = bytes;
    return;
  }
  node.valueIndex.emplace(folded, node.values.size());
  node.values.push_back(Value{std::string(name), folded, type, bytes});
}

// KeyAlive: inside a write, whether key `id` is still there.
LONG KeyAlive(HiveStore& h, std::int64_t id) {
  Query q(h, kKeyRow);
  if (!q.ok()) return q.error();
  q.Bind(1, id);
  if (q.Step()) return ERROR_SUCCESS;
  const LONG error = q.error();
  return error != ERROR_SUCCESS ? error : ERROR_KEY_DELETED;
}

LONG TouchKey(HiveStore& h, std::int64_t id, std::int64_t now = NowAsFileTime()) {
  Query q(h, kTouchKey);
  if (!q.ok()) return q.error();
  q.Bind(1, id);
  q.Bind(2, now);
  q.Step();
  return q.error();
}

// FindChildInDb: inside a write, the id of `parent`'s child, 0 if none.
LONG FindChildInDb(HiveStore& h, std::int64_t parent, std::string_view name, std::int64_t* id) {
  Query q(h, kChildByName);
  if (!q.ok()) return q.error();
  const std::string folded = Fold(name);
  q.Bind(1, parent);
  q.Bind(2, folded);
  *id = q.Step() ? q.Int(0) : 0;
  return q.error();
}

LONG CreatePath(HiveStore& h, std::int64_t from, const std::vector<std::string_view>& parts,
                std::int64_t* id, bool* created) {
  LONG result = KeyAlive(h, from);
  if (result != ERROR_SUCCESS) return result;
  *id = from;
  *created = false;
  const std::int64_t now = NowAsFileTime();
  for (const std::string_view part : parts) {
    std::int64_t child = 0;
    result = FindChildInDb(h, *id, part, &child);
    if (result != ERROR_SUCCESS) return result;
    if (child == 0) {
      Query q(h, kInsertKey);
      if (!q.ok()) return q.error();
      const std::string folded = Fold(part);
      q.Bind(1, *id);
      q.Bind(2, part);
      q.Bind(3, folded);
      q.Bind(4, now);
      q.Step();
      result = q.error();
      if (result != ERROR_SUCCESS) return result;
      child = sqlite3_last_insert_rowid(h.db);
      result = TouchKey(h, *id);
      if (result != ERROR_SUCCESS) return result;
      *created = true;
    } else {
      *created = false;
    }
    *id = child;
  }
  return ERROR_SUCCESS;
}

LONG DeleteKeyRow(HiveStore& h, std::int64_t from, const std::vector<std::string_view>& parts) {
  LONG result = KeyAlive(h, from);
  if (result != ERROR_SUCCESS) return result;
  std::int64_t id = from, parent = 0;
  for (const std::string_view part : parts) {
    std::int64_t child = 0;
    result = FindChildInDb(h, id, part, &child);
    if (result != ERROR_SUCCESS) return result;
    if (child == 0) return ERROR_FILE_NOT_FOUND;
    parent = id;
    id = child;
  }
  if (id == kRootId) return ERROR_ACCESS_DENIED;
  {
    Query q(h, kHasChildren);
    if (!q.ok()) return q.error();
    q.Bind(1, id);
    if (q.Step()) return ERROR_ACCESS_DENIED;
    if ((result = q.error()) != ERROR_SUCCESS) return result;
  }
  if (parent == 0) {  // the handle's own key: find its parent for the time stamp
    sqlite3_stmt* s = nullptr;
    if (sqlite3_prepare_v2(h.db, "SELECT parent FROM keys WHERE id=?1", -1, &s, nullptr) ==
        SQLITE_OK) {
      sqlite3_bind_int64(s, 1, id);
      if (sqlite3_step(s) == SQLITE_ROW) parent = sqlite3_column_int64(s, 0);
    }
    sqlite3_finalize(s);
  }
  for (Sql which : {kDeleteAllValues, kDeleteKey}) {
    Query q(h, which);
    if (!q.ok()) return q.error();
    q.Bind(1, id);
    q.Step();
    if ((result = q.error()) != ERROR_SUCCESS) return result;
  }
  return parent != 0 ? TouchKey(h, parent) : ERROR_SUCCESS;
}

// ---------------------------------------------------------------------------
// Copies out, with Win32's buffer rules.

// CopyData: `data` into the caller's buffer. A short buffer gives
// ERROR_MORE_DATA with the size needed; a string stored without its NUL
// gets one, uncounted, when the buffer has room.
LONG CopyData(const Value& v, LPBYTE data, LPDWORD size) {
  const DWORD n = static_cast<DWORD>(v.data.size());
  if (data == nullptr) {
    if (size != nullptr) *size = n;
    return ERROR_SUCCESS;
  }
  if (*size < n) {
    *size = n;
    return ERROR_MORE_DATA;
  }
  if (n != 0) std::memcpy(data, v.data.data(), n);
  if (IsStringType(v.type) && *size > n && (n == 0 || v.data.back() != '\0')) data[n] = 0;
  *size = n;
  return ERROR_SUCCESS;
}

// CopyName: a name into a buffer of *length bytes (the NUL included); too
// short gives ERROR_MORE_DATA and leaves both alone.
LONG CopyName(const std::string& name, LPSTR buffer, LPDWORD length) {
  if (*length <= name.size()) return ERROR_MORE_DATA;
  std::memcpy(buffer, name.c_str(), name.size() + 1);
  *length = static_cast<DWORD>(name.size());
  return ERROR_SUCCESS;
}

void EmptyClass(LPSTR cls, LPDWORD clsLength) {
  if (cls != nullptr && clsLength != nullptr && *clsLength > 0) cls[0] = '\0';
  if (clsLength != nullptr) *clsLength = 0;
}

// ---------------------------------------------------------------------------
// The calls, each under the process's lock. AfterCall closes a connection
// that broke so the next call opens it afresh.

template <typename Fn>
LONG Locked(Fn fn) {
  Registry& r = R();
  std::lock_guard<std::mutex> lock(r.mutex);
  const LONG result = fn(r);
  for (HiveStore& h : r.hives) {
    if (h.broken && !h.inTransaction) CloseHive(h);
  }
  return result;
}

LONG OpenOrCreate(HKEY key, LPCSTR subKey, REGSAM access, bool create, PHKEY result,
                  LPDWORD disposition) {
  if (result == nullptr) return ERROR_INVALID_PARAMETER;
  *result = nullptr;
  return Locked([&](Registry& r) -> LONG {
    Target t;
    LONG status = Begin(r, key, &t);
    if (status != ERROR_SUCCESS) return status;
    std::vector<std::string_view> parts;
    status = SplitPath(subKey, create, &parts);
    if (status != ERROR_SUCCESS) return status;
    HiveStore& h = r.hives[t.hive];
    const KeyNode* start = nullptr;
    status = ExistingNode(r, t, &start);
    if (status != ERROR_SUCCESS) return status;
    std::int64_t id = 0;
    status = Walk(h, t.key, parts, &id);
    if (status != ERROR_SUCCESS) return status;
    if (id != 0) {
      const KeyNode* node = nullptr;
      status = Node(h, id, &node);
      if (status != ERROR_SUCCESS) return status;
      if (node->exists) {
        *result = NewHandle(r, t.hive, id, access);
        if (disposition != nullptr) *disposition = REG_OPENED_EXISTING_KEY;
        return ERROR_SUCCESS;
      }
    }
    if (!create) return ERROR_FILE_NOT_FOUND;
    if (!(t.access & KEY_CREATE_SUB_KEY)) return ERROR_ACCESS_DENIED;
    status = BeginWrite(h);
    if (status != ERROR_SUCCESS) return status;
    bool created = false;
    status = EndWrite(r, t.hive, CreatePath(h, t.key, parts, &id, &created));
    if (status != ERROR_SUCCESS) return status;
    *result = NewHandle(r, t.hive, id, access);
    if (disposition != nullptr) {
      *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    }
    return ERROR_SUCCESS;
  });
}

// Test seam (RegistrySetCommitFault): a failure the next commit of a
// transaction over several hives meets on that hive, before SQLite is asked.
LONG commitFaults[kHiveCount] = {};

LONG CommitFault(int hive) {
  const LONG fault = commitFaults[hive];
  commitFaults[hive] = ERROR_SUCCESS;
  return fault;
}

LONG HiveOf(HKEY root, int* hive) {
  if (root == HKEY_CURRENT_USER) {
    *hive = 0;
  } else if (root == HKEY_LOCAL_MACHINE) {
    *hive = 1;
  } else {
    return ERROR_INVALID_HANDLE;
  }
  return ERROR_SUCCESS;
}

}  // namespace

// ---------------------------------------------------------------------------
// registry.h

std::string RegistryDirectory() {
  Registry& r = R();
  std::lock_guard<std::mutex> lock(r.mutex);
  return ResolveDirectory(r) ? r.dir : std::string();
}

std::string RegistryHivePath(HKEY root) {
  int hive = 0;
  if (HiveOf(root, &hive) != ERROR_SUCCESS) return std::string();
  Registry& r = R();
  std::lock_guard<std::mutex> lock(r.mutex);
  return ResolveDirectory(r) ? r.dir + "/" + kHiveFiles[hive] : std::string();
}

LONG RegistryBeginTransaction(HKEY root) {
  int hive = 0;
  const LONG status = HiveOf(root, &hive);
  if (status != ERROR_SUCCESS) return status;
  return Locked([&](Registry& r) -> LONG {
    LONG result = OpenHive(r, hive);
    if (result != ERROR_SUCCESS) return result;
    HiveStore& h = r.hives[hive];
    if (h.inTransaction) return ERROR_BUSY;
    if (h.readOnly) return ERROR_ACCESS_DENIED;
    result = Exec(h, "BEGIN IMMEDIATE");
    if (result != ERROR_SUCCESS) return result;
    h.inTransaction = true;
    h.cache.clear();
    return ERROR_SUCCESS;
  });
}

LONG RegistryCommitTransaction(HKEY root) {
  int hive = 0;
  const LONG status = HiveOf(root, &hive);
  if (status != ERROR_SUCCESS) return status;
  return Locked([&](Registry& r) -> LONG {
    HiveStore& h = r.hives[hive];
    if (!h.inTransaction) return ERROR_INVALID_PARAMETER;
    h.inTransaction = false;
    h.cache.clear();
    const LONG result = Exec(h, "COMMIT");
    if (result != ERROR_SUCCESS) {
      if (h.db != nullptr && !sqlite3_get_autocommit(h.db)) {
        sqlite3_exec(h.db, "ROLLBACK", nullptr, nullptr, nullptr);
      }
      return result;
    }
    BumpCounter(r, hive);
    return ERROR_SUCCESS;
  });
}

LONG RegistryRollbackTransaction(HKEY root) {
  int hive = 0;
  const LONG status = HiveOf(root, &hive);
  if (status != ERROR_SUCCESS) return status;
  return Locked([&](Registry& r) -> LONG {
    HiveStore& h = r.hives[hive];
    if (!h.inTransaction) return ERROR_INVALID_PARAMETER;
    h.inTransaction = false;
    h.cache.clear();
    DropUndo(h);
    return Exec(h, "ROLLBACK");
  });
}

LONG RegistryBeginTransactions(const std::vector<HKEY>& roots) {
  bool wanted[kHiveCount] = {};
  for (HKEY root : roots) {
    int hive = 0;
    const LONG status = HiveOf(root, &hive);
    if (status != ERROR_SUCCESS) return status;
    wanted[hive] = true;
  }
  const bool several = wanted[0] && wanted[1];
  return Locked([&](Registry& r) -> LONG {
    // Always in hive order: two processes that each want both then never
    // hold one lock each while waiting for the other's.
    int begun = 0;
    LONG result = ERROR_SUCCESS;
    for (; begun < kHiveCount && result == ERROR_SUCCESS; ++begun) {
      if (!wanted[begun]) continue;
      result = OpenHive(r, begun);
      HiveStore& h = r.hives[begun];
      if (result == ERROR_SUCCESS && h.inTransaction) result = ERROR_BUSY;
      if (result == ERROR_SUCCESS && h.readOnly) result = ERROR_ACCESS_DENIED;
      if (result == ERROR_SUCCESS) result = Exec(h, "BEGIN IMMEDIATE");
      if (result != ERROR_SUCCESS) break;
      h.inTransaction = true;
      h.cache.clear();
      // Each hive records its changes, so that it can undo them after its
      // commit if a later hive's commit fails.
      if (several && (sqlite3session_create(h.db, "main", &h.undo) != SQLITE_OK ||
                      sqlite3session_attach(h.undo, nullptr) != SQLITE_OK)) {
        result = ERROR_NOT_ENOUGH_MEMORY;
      }
    }
    if (result != ERROR_SUCCESS) {
      for (int i = 0; i < kHiveCount; ++i) {
        HiveStore& h = r.hives[i];
        if (!wanted[i] || !h.inTransaction) continue;
        h.inTransaction = false;
        h.cache.clear();
        DropUndo(h);
        sqlite3_exec(h.db, "ROLLBACK", nullptr, nullptr, nullptr);
      }
    }
    return result;
  });
}

void RegistrySetCommitFault(HKEY root, LONG error) {
  int hive = 0;
  if (HiveOf(root, &hive) != ERROR_SUCCESS) return;
  Registry& r = R();
  std::lock_guard<std::mutex> lock(r.mutex);
  commitFaults[hive] = error;
}

LONG RegistryCommitTransactions() {
  return Locked([&](Registry& r) -> LONG {
    std::vector<int> open;
    for (int i = 0; i < kHiveCount; ++i) {
      if (r.hives[i].inTransaction) open.push_back(i);
    }
    if (open.empty()) return ERROR_INVALID_PARAMETER;
    // Hives begun one by one record nothing to undo: left open as they are.
    for (size_t k = 0; k + 1 < open.size(); ++k) {
      if (r.hives[open[k]].undo == nullptr) return ERROR_INVALID_PARAMETER;
    }
    auto rollBackFrom = [&](size_t first) {
      for (size_t k = first; k < open.size(); ++k) {
        HiveStore& h = r.hives[open[k]];
        h.inTransaction = false;
        h.cache.clear();
        DropUndo(h);
        if (h.db != nullptr && !sqlite3_get_autocommit(h.db)) {
          sqlite3_exec(h.db, "ROLLBACK", nullptr, nullptr, nullptr);
        }
      }
    };
    // The later hives' changes go to their logs first: a full disk shows up
    // here, while every hive can still roll back. Their commits then only
    // add the page that marks the commit.
    LONG result = ERROR_SUCCESS;
    for (size_t k = 1; k < open.size() && result == ERROR_SUCCESS; ++k) {
      HiveStore& h = r.hives[open[k]];
      result = FromSqlite(sqlite3_db_cacheflush(h.db), h);
    }
    // What undoes each hive but the last.
    std::vector<std::unique_ptr<void, void (*)(void*)>> inverse;
    std::vector<int> inverseSize;
    for (size_t k = 0; k + 1 < open.size() && result == ERROR_SUCCESS; ++k) {
      HiveStore& h = r.hives[open[k]];
      int size = 0, invertedSize = 0;
      void* changes = nullptr;
      void* inverted = nullptr;
      int rc = sqlite3session_changeset(h.undo, &size, &changes);
      if (rc == SQLITE_OK) rc = sqlite3changeset_invert(size, changes, &invertedSize, &inverted);
      sqlite3_free(changes);
      inverse.emplace_back(inverted, sqlite3_free);
      inverseSize.push_back(invertedSize);
      if (rc != SQLITE_OK) result = rc == SQLITE_NOMEM ? ERROR_NOT_ENOUGH_MEMORY : ERROR_BADDB;
    }
    if (result != ERROR_SUCCESS) {
      rollBackFrom(0);
      return result;
    }
    for (size_t k = 0; k < open.size(); ++k) {
      HiveStore& h = r.hives[open[k]];
      DropUndo(h);
      h.inTransaction = false;
      h.cache.clear();
      result = CommitFault(open[k]);
      if (result == ERROR_SUCCESS) result = Exec(h, "COMMIT");
      if (result == ERROR_SUCCESS) {
        BumpCounter(r, open[k]);
        continue;
      }
      rollBackFrom(k);
      // Undo the hives already committed, newest first. Another process may
      // have changed the same keys in between: then that change stays and
      // the undo stops, reported as a failure of its own.
      for (size_t u = k; u-- > 0;) {
        HiveStore& done = r.hives[open[u]];
        const int rc =
            done.db == nullptr
                ? SQLITE_CANTOPEN
                : sqlite3changeset_apply(
                      done.db, inverseSize[u], inverse[u].get(), nullptr,
                      [](void*, int, sqlite3_changeset_iter*) { return SQLITE_CHANGESET_ABORT; },
                      nullptr);
        done.cache.clear();
        BumpCounter(r, open[u]);
        if (rc != SQLITE_OK) return kErrorUndoFailed;
      }
      return result;
    }
    return ERROR_SUCCESS;
  });
}

LONG RegistryCheckHive(HKEY root, std::string* report) {
  int hive = 0;
  const LONG status = HiveOf(root, &hive);
  if (status != ERROR_SUCCESS) return status;
  // IntegrityCheck: SQLite's findings on `db`, or its error message when the
  // check itself cannot run; the SQLite result code in *rc.
  auto integrityCheck = [](sqlite3* db, int* rc) {
    sqlite3_stmt* s = nullptr;
    *rc = sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &s, nullptr);
    std::string text;
    while (*rc == SQLITE_OK && (*rc = sqlite3_step(s)) == SQLITE_ROW) {
      const auto* line = sqlite3_column_text(s, 0);
      if (!text.empty()) text += '\n';
      text += line ? reinterpret_cast<const char*>(line) : "";
      *rc = SQLITE_OK;
    }
    sqlite3_finalize(s);
    if (*rc != SQLITE_DONE && text.empty()) text = sqlite3_errmsg(db);
    return text;
  };
  return Locked([&](Registry& r) -> LONG {
    LONG result = OpenHive(r, hive);
    std::string text;
    if (result == ERROR_SUCCESS) {
      HiveStore& h = r.hives[hive];
      int rc = SQLITE_OK;
      text = integrityCheck(h.db, &rc);
      if (rc == SQLITE_DONE) {
        if (report != nullptr) *report = text;
        return text == "ok" ? ERROR_SUCCESS : ERROR_BADDB;
      }
      result = FromSqlite(rc, h);
    }
    // The store would not open the file or the check stopped: damage often
    // shows as something else (SQLite runs out of memory on a length read
    // from a broken page). Check the file on its own, read-only, so the
    // report says what is wrong rather than a misleading error.
    if (result == ERROR_ACCESS_DENIED || result == ERROR_BUSY || result == ERROR_FILE_NOT_FOUND ||
        result == ERROR_PATH_NOT_FOUND || !r.dirKnown) {
      if (report != nullptr) *report = text;
      return result;
    }
    sqlite3* db = nullptr;
    const std::string path = r.dir + "/" + kHiveFiles[hive];
    int rc =
        sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX, nullptr);
    std::string own = rc == SQLITE_OK ? integrityCheck(db, &rc) : std::string();
    if (db != nullptr && own.empty()) own = sqlite3_errmsg(db);
    sqlite3_close_v2(db);
    if (rc == SQLITE_DONE && own == "ok") {
      if (report != nullptr) *report = text;
      return result;
    }
    if (report != nullptr) *report = own;
    return ERROR_BADDB;
  });
}

std::uint64_t RegistryStatementCount() {
  Registry& r = R();
  std::lock_guard<std::mutex> lock(r.mutex);
  return r.statements;
}

LONG RegistryCloseAll() {
  Registry& r = R();
  std::lock_guard<std::mutex> lock(r.mutex);
  for (HiveStore& h : r.hives) {
    if (h.inTransaction) return ERROR_BUSY;
  }
  for (HiveStore& h : r.hives) CloseHive(h);
  UnmapCounters(r);
  r.handles.clear();
  r.freeHandles.clear();
  r.dirKnown = false;
  r.dir.clear();
  return ERROR_SUCCESS;
}

// ---------------------------------------------------------------------------
// fork(). SQLite forbids using a connection in a child that inherited it:
// its lock bookkeeping is per process and fcntl locks are not inherited, so
// the child's copy believes it holds locks that only the parent holds, and a
// second connection the child opened to the same file would share that
// belief. The child must therefore get rid of the copy before it opens its
// own, without disturbing the parent:
// - An idle copy (the normal case: the fork waited for any call in progress,
//   and no statement stays open between calls) is closed with checkpoint on
//   close turned off. Closing then only releases fcntl locks the child does
//   not have (they are per process, so the parent's stay), unmaps the
//   child's view of the WAL index and closes the child's descriptors: the
//   database, the WAL and the index are not touched. That also clears
//   SQLite's per-file bookkeeping, so the child's next call opens a
//   connection of its own with real locks.
// - A copy inside a transaction (RegistryBeginTransaction, which belongs to
//   the parent) is abandoned, never closed: closing would roll back, and a
//   rollback rewrites the shared WAL index under the parent's live
//   transaction. Its memory and descriptors are left as they are, and the
//   hive answers ERROR_BUSY in the child for good, since any new connection
//   there would share the abandoned one's bookkeeping.
// The cache starts empty either way; the open HKEYs stay valid (they name
// keys, not connections), and so does the mapped change counter.

void RegistryForkPrepare() { R().mutex.lock(); }

void RegistryForkParent() { R().mutex.unlock(); }

void RegistryForkChild() {
  Registry& r = R();
  for (HiveStore& h : r.hives) {
    if (h.db != nullptr && h.inTransaction) {
      for (auto& statement : h.statements) statement = nullptr;
      h.db = nullptr;
      h.inTransaction = false;
      h.lostInFork = true;
      h.undo = nullptr;  // belongs to the abandoned connection, like it
      h.cache.clear();
      continue;
    }
    if (h.db != nullptr) sqlite3_db_config(h.db, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
    CloseHive(h);
  }
  r.mutex.unlock();
}

}  // namespace tqrtl::posix

// ---------------------------------------------------------------------------
// The Win32 calls.

using namespace tqrtl::posix;  // NOLINT: the file's own namespace

extern "C" {

LSTATUS WINAPI RegOpenKeyExA(HKEY key, LPCSTR subKey, DWORD options, REGSAM access, PHKEY result) {
  return OpenOrCreate(key, subKey, access, false, result, nullptr);
}

LSTATUS WINAPI RegCreateKeyExA(HKEY key, LPCSTR subKey, DWORD reserved, LPSTR cls, DWORD options,
                               REGSAM access, const SECURITY_ATTRIBUTES* security, PHKEY result,
                               LPDWORD disposition) {
  return OpenOrCreate(key, subKey, access, true, result, disposition);
}

LSTATUS WINAPI RegCreateKeyA(HKEY key, LPCSTR subKey, PHKEY result) {
  // An empty name gives another handle to the same key, as on Wine.
  return OpenOrCreate(key, subKey, KEY_ALL_ACCESS, true, result, nullptr);
}

LSTATUS WINAPI RegCloseKey(HKEY key) {
  if (reinterpret_cast<ULONG_PTR>(key) >= 0x80000000u &&
      reinterpret_cast<ULONG_PTR>(key) <= 0x80000006u) {
    return ERROR_SUCCESS;  // predefined keys are never closed
  }
  return Locked([&](Registry& r) -> LONG {
    Target t;
    const LONG status = Resolve(r, key, &t);
    if (status != ERROR_SUCCESS) return status;
    const size_t slot = (reinterpret_cast<ULONG_PTR>(key) - kHandleBase) / 4;
    r.handles[slot].used = false;
    r.freeHandles.push_back(slot);
    return ERROR_SUCCESS;
  });
}

LSTATUS WINAPI RegFlushKey(HKEY key) {
  // Every write is already on disk when its call returns.
  return Locked([&](Registry& r) -> LONG {
    Target t;
    return Resolve(r, key, &t);
  });
}

LSTATUS WINAPI RegDeleteKeyA(HKEY key, LPCSTR subKey) {
  if (subKey == nullptr) return ERROR_INVALID_PARAMETER;
  return Locked([&](Registry& r) -> LONG {
    Target t;
    LONG status = Begin(r, key, &t);
    if (status != ERROR_SUCCESS) return status;
    std::vector<std::string_view> parts;
    status = SplitPath(subKey, false, &parts);
    if (status != ERROR_SUCCESS) return status;
    HiveStore& h = r.hives[t.hive];
    status = BeginWrite(h);
    if (status != ERROR_SUCCESS) return status;
    return EndWrite(r, t.hive, DeleteKeyRow(h, t.key, parts));
  });
}

LSTATUS WINAPI RegDeleteValueA(HKEY key, LPCSTR valueName) {
  const std::string folded = Fold(valueName != nullptr ? valueName : "");
  return Locked([&](Registry& r) -> LONG {
    Target t;
    LONG status = Begin(r, key, &t);
    if (status != ERROR_SUCCESS) return status;
    const KeyNode* node = nullptr;
    status = ExistingNode(r, t, &node);
    if (status != ERROR_SUCCESS) return status;
    if (!(t.access & KEY_SET_VALUE)) return ERROR_ACCESS_DENIED;
    if (node->FindValue(folded) == nullptr) return ERROR_FILE_NOT_FOUND;
    HiveStore& h = r.hives[t.hive];
    status = BeginWrite(h);
    if (status != ERROR_SUCCESS) return status;
    status = KeyAlive(h, t.key);
    if (status == ERROR_SUCCESS) {
      Query q(h, kDeleteValue);
      if (!q.ok()) {
        status = q.error();
      } else {
        q.Bind(1, t.key);
        q.Bind(2, folded);
        q.Step();
        status = q.error();
        if (status == ERROR_SUCCESS && sqlite3_changes(h.db) == 0) status = ERROR_FILE_NOT_FOUND;
      }
    }
    if (status == ERROR_SUCCESS) status = TouchKey(h, t.key);
    return EndWrite(r, t.hive, status);
  });
}

LSTATUS WINAPI RegSetValueExA(HKEY key, LPCSTR valueName, DWORD reserved, DWORD type,
                              const BYTE* data, DWORD size) {
  if (data == nullptr && size != 0) return ERROR_NOACCESS;
  const std::string_view name(valueName != nullptr ? valueName : "");
  if (Utf16Length(name) > kMaxValueName) return ERROR_INVALID_PARAMETER;
  const std::string folded = Fold(name);
  return Locked([&](Registry& r) -> LONG {
    Target t;
    LONG status = Begin(r, key, &t);
    if (status != ERROR_SUCCESS) return status;
    const KeyNode* node = nullptr;
    status = ExistingNode(r, t, &node);
    if (status != ERROR_SUCCESS) return status;
    if (!(t.access & KEY_SET_VALUE)) return ERROR_ACCESS_DENIED;
    // Writing what is already there changes nothing: no transaction.
    const Value* old = node->FindValue(folded);
    if (old != nullptr && old->type == type && old->data.size() == size &&
        (size == 0 || std::memcmp(old->data.data(), data, size) == 0)) {
      return ERROR_SUCCESS;
    }
    HiveStore& h = r.hives[t.hive];
    status = BeginWrite(h);
    if (status != ERROR_SUCCESS) return status;
    status = KeyAlive(h, t.key);
    if (status == ERROR_SUCCESS) {
      Query q(h, kUpsertValue);
      if (!q.ok()) {
        status = q.error();
      } else {
        q.Bind(1, t.key);
        q.Bind(2, folded);
        q.Bind(3, name);
        q.Bind(4, static_cast<std::int64_t>(type));
        q.BindBlob(5, data, size);
        q.Step();
        status = q.error();
      }
    }
    const std::int64_t now = NowAsFileTime();
    if (status == ERROR_SUCCESS) status = TouchKey(h, t.key, now);
    return EndWrite(r, t.hive, status, [&](HiveStore& hive) {
      StoredValue(hive, t.key, name, folded, type, data, size, now);
    });
  });
}

LSTATUS WINAPI RegQueryValueExA(HKEY key, LPCSTR valueName, LPDWORD reserved, LPDWORD type,
                                LPBYTE data, LPDWORD size) {
  if (data != nullptr && size == nullptr) return ERROR_INVALID_PARAMETER;
  return Locked([&](Registry& r) -> LONG {
    Target t;
    LONG status = Begin(r, key, &t);
    if (status != ERROR_SUCCESS) return status;
    const KeyNode* node = nullptr;
    status = ExistingNode(r, t, &node);
    if (status != ERROR_SUCCESS) return status;
    const Value* v = node->FindValue(Fold(valueName != nullptr ? valueName : ""));
    if (v == nullptr) {
      if (data == nullptr && size != nullptr) *size = 0;
      return ERROR_FILE_NOT_FOUND;
    }
    if (type != nullptr) *type = v->type;
    return CopyData(*v, data, size);
  });
}

LSTATUS WINAPI RegEnumKeyExA(HKEY key, DWORD index, LPSTR name, LPDWORD nameLength,
                             LPDWORD reserved, LPSTR cls, LPDWORD clsLength,
                             PFILETIME lastWriteTime) {
  if (name == nullptr || nameLength == nullptr) return ERROR_INVALID_PARAMETER;
  return Locked([&](Registry& r) -> LONG {
    Target t;
    LONG status = Begin(r, key, &t);
    if (status != ERROR_SUCCESS) return status;
    const KeyNode* node = nullptr;
    status = ExistingNode(r, t, &node);
    if (status != ERROR_SUCCESS) return status;
    if (index >= node->children.size()) return ERROR_NO_MORE_ITEMS;
    const Child& child = node->children[index];
    status = CopyName(child.name, name, nameLength);
    if (status != ERROR_SUCCESS) return status;
    EmptyClass(cls, clsLength);
    if (lastWriteTime != nullptr) *lastWriteTime = ToFileTime(child.mtime);
    return ERROR_SUCCESS;
  });
}

LSTATUS WINAPI RegEnumValueA(HKEY key, DWORD index, LPSTR name, LPDWORD nameLength,
                             LPDWORD reserved, LPDWORD type, LPBYTE data, LPDWORD size) {
  if (name == nullptr || nameLength == nullptr) return ERROR_INVALID_PARAMETER;
  if (data != nullptr && size == nullptr) return ERROR_INVALID_PARAMETER;
  return Locked([&](Registry& r) -> LONG {
    Target t;
    LONG status = Begin(r, key, &t);
    if (status != ERROR_SUCCESS) return status;
    const KeyNode* node = nullptr;
    status = ExistingNode(r, t, &node);
    if (status != ERROR_SUCCESS) return status;
    if (index >= node->values.size()) return ERROR_NO_MORE_ITEMS;
    const Value& v = node->values[index];
    if (type != nullptr) *type = v.type;
    status = CopyName(v.name, name, nameLength);
    if (status != ERROR_SUCCESS) {
      if (size != nullptr) *size = static_cast<DWORD>(v.data.size());
      return status;
    }
    return CopyData(v, data, size);
  });
}

LSTATUS WINAPI RegQueryInfoKeyA(HKEY key, LPSTR cls, LPDWORD clsLength, LPDWORD reserved,
                                LPDWORD subKeys, LPDWORD maxSubKeyLength, LPDWORD maxClassLength,
                                LPDWORD values, LPDWORD maxValueNameLength, LPDWORD maxValueLength,
                                LPDWORD securityDescriptor, PFILETIME lastWriteTime) {
  return Locked([&](Registry& r) -> LONG {
    Target t;
    LONG status = Begin(r, key, &t);
    if (status != ERROR_SUCCESS) return status;
    const KeyNode* node = nullptr;
    status = ExistingNode(r, t, &node);
    if (status != ERROR_SUCCESS) return status;
    size_t maxSub = 0, maxName = 0, maxData = 0;
    for (const Child& c : node->children) maxSub = std::max(maxSub, c.name.size());
    for (const Value& v : node->values) {
      maxName = std::max(maxName, v.name.size());
      // Windows keeps text as UTF-16 and reports that size.
      maxData = std::max(maxData, v.data.size() * (IsStringType(v.type) ? 2 : 1));
    }
    EmptyClass(cls, clsLength);
    if (subKeys != nullptr) *subKeys = static_cast<DWORD>(node->children.size());
    if (maxSubKeyLength != nullptr) *maxSubKeyLength = static_cast<DWORD>(maxSub);
    if (maxClassLength != nullptr) *maxClassLength = 0;
    if (values != nullptr) *values = static_cast<DWORD>(node->values.size());
    if (maxValueNameLength != nullptr) *maxValueNameLength = static_cast<DWORD>(maxName);
    if (maxValueLength != nullptr) *maxValueLength = static_cast<DWORD>(maxData);
    if (securityDescriptor != nullptr) *securityDescriptor = 0;
    if (lastWriteTime != nullptr) *lastWriteTime = ToFileTime(node->mtime);
    return ERROR_SUCCESS;
  });
}

}  // extern "C"
