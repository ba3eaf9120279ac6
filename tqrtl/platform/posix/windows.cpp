// Windows and messages (see tqrtl/platform/README.md, "Windows and
// messages").
//
// A window is a message endpoint owned by the thread that created it. It
// has a listening Unix-domain socket and an info file in the user's window
// directory (<namespace>/.windows, see named_objects.h):
//
//   <handle>.w  the info file: pid, thread id, class name and title. Its
//               owner holds an exclusive flock on it for the window's life,
//               so "is the window alive" is a lock test, with no connect to
//               a thread that may be busy; the kernel drops the lock when
//               the process dies.
//   <handle>.s  the socket other threads and processes connect to.
//
// Handles are random numbers in [0x10000, 0x7FFFFFFF], claimed under the
// directory's lock file (.lock) by creating the info file exclusively; the
// claim first removes what dead windows left behind (an unlocked info file,
// a socket without an info file), so a handle number can be used again.
//
// A thread that sends or posts to a window of another thread connects to
// its socket once and keeps the connection (per thread, per target). The
// window's thread accepts connections, checks the peer's user and reads
// frames (window_frame.h) whenever it waits: in GetMessageA and while it
// waits in its own SendMessageTimeoutA, so two threads sending to each
// other both complete. Sent messages run the window procedure and are
// answered on the same connection; posted ones join the thread's queue.
// A send that times out drops its connection, so a late answer can never
// be taken for a later message's. Before a wait sleeps, it looks for what
// it waits for during a few tens of microseconds (PollBriefly), so that an
// exchange of messages does not pay for waking an idle CPU each time.
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <unordered_map>
#include <vector>

// <fcntl.h> names a flock mode LOCK_WRITE; win32.h gives the name its IStream
// meaning, which is the one the layer uses.
#undef LOCK_WRITE
#include "tqrtl/platform/posix/fork.h"
#include "tqrtl/platform/posix/internal.h"
#include "tqrtl/platform/posix/named_objects.h"
#include "tqrtl/platform/posix/window_frame.h"
#include "tqrtl/platform/posix/windows_internal.h"

namespace tqrtl::posix {
namespace {

constexpr std::uint32_t kMinHandle = 0x10000;
constexpr std::uint32_t kMaxHandle = 0x7FFFFFFF;
constexpr std::uint32_t kInfoMagic = 0x4E575154;  // "TQWN"
constexpr size_t kMaxClassName = 255;
constexpr size_t kMaxTitle = 4095;
// How long PostMessageA waits for room in a busy window's socket, and a
// reply for room in its sender's, before giving up on the connection.
constexpr int kPostWaitMs = 5000;
constexpr size_t kReadChunk = 16384;
constexpr int kNcCreate = 0x0081;  // WM_NCCREATE: DefWindowProcA answers TRUE
// How long a thread looks for what it waits for before it sleeps (see
// PollBriefly).
constexpr std::int64_t kSpinNs = 50000;

std::uint32_t HandleValue(HWND window) {
  const auto value = reinterpret_cast<std::uintptr_t>(window);
  return value < kMinHandle || value > kMaxHandle ? 0 : static_cast<std::uint32_t>(value);
}
HWND ToHwnd(std::uint32_t value) {
  return reinterpret_cast<HWND>(static_cast<std::uintptr_t>(value));
}

template <typename T>
T Fail(DWORD error, T result) {
  SetLastError(error);
  return result;
}

struct ThreadState;

struct Window {
  std::uint32_t handle = 0;
  std::atomic<WNDPROC> proc{nullptr};
  std::string class_name;
  std::string title;
  DWORD thread_id = 0;
  ThreadState* owner = nullptr;
  int listen_fd = -1;
  int info_fd = -1;  // holds the flock that says the window is alive
  std::string dir;
  std::atomic<LONG_PTR> user_data{0};
  std::atomic<bool> visible{false};
  bool destroying = false;
};

// One connection: outgoing (this thread to a window of another thread) or
// accepted (another thread to one of this thread's windows).
struct Conn {
  int fd = -1;
  std::uint32_t window = 0;  // the window at the far end, or at this end
  std::vector<std::uint8_t> buf;
  size_t begin = 0;
  size_t end = 0;
  std::uint32_t next_seq = 1;
  bool writing = false;  // a frame is half written: nested calls use another connection
};

struct ThreadState {
  DWORD thread_id = 0;
  std::vector<std::shared_ptr<Window>> windows;
  std::vector<std::shared_ptr<Conn>> accepted;
  std::unordered_map<std::uint32_t, std::shared_ptr<Conn>> outgoing;
  std::deque<MSG> posted;
  bool quit = false;
  int quit_code = 0;
};

struct ClassEntry {
  ATOM atom;
  std::string name;
  WNDPROC proc;
};

// What the process shares between threads. Never destroyed: threads may
// still use it while the process exits.
struct Globals {
  std::mutex mutex;  // windows, threads, classes, next_atom
  std::unordered_map<std::uint32_t, std::shared_ptr<Window>> windows;
  std::vector<ThreadState*> threads;
  std::map<std::string, ClassEntry> classes;  // by lower-case name
  ATOM next_atom = 0xC000;
  std::mutex claim_mutex;  // handle claims; guards random
  std::mt19937 random{std::random_device{}() ^ static_cast<unsigned>(getpid())};
};

Globals& G() {
  static Globals* globals = new Globals;
  return *globals;
}

thread_local ThreadState* t_state = nullptr;
std::atomic<std::uint32_t> g_next_handle{0};  // SetNextWindowHandle

pthread_key_t g_exit_key;
std::once_flag g_exit_key_once;
std::atomic<bool> g_exit_key_made{false};

void CloseFd(int* fd) {
  if (*fd >= 0) close(*fd);
  *fd = -1;
}

void CloseConn(Conn* conn) {
  CloseFd(&conn->fd);
  conn->begin = conn->end = 0;
  std::vector<std::uint8_t>().swap(conn->buf);
}

std::string Lower(const char* text) {
  std::string out(text);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}

std::string EntryName(std::uint32_t handle, char kind) {
  char name[16];
  std::snprintf(name, sizeof name, "%08x.%c", handle, kind);
  return name;
}

bool ParseEntryName(const char* name, std::uint32_t* handle, char* kind) {
  if (std::strlen(name) != 10 || name[8] != '.') return false;
  std::uint32_t value = 0;
  for (int i = 0; i < 8; ++i) {
    const char c = name[i];
    int digit;
    if (c >= '0' && c <= '9')
      digit = c - '0';
    else if (c >= 'a' && c <= 'f')
      digit = c - 'a' + 10;
    else
      return false;
    value = value << 4 | static_cast<std::uint32_t>(digit);
  }
  if (value < kMinHandle || value > kMaxHandle) return false;
  *handle = value;
  *kind = name[9];
  return true;
}

// ---------------------------------------------------------------------------
// The window directory and the info files.

std::string DirectoryPath() { return NamespaceDirectory() + "/.windows"; }

// EnsureDirectory: makes `dir` (mode 0700) when missing and checks that it
// is a directory of the user's own that nobody else may enter.
bool EnsureDirectory(const std::string& dir) {
  if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
    SetLastErrorFromErrno();
    return false;
  }
  struct stat st;
  if (Sys().lstat(dir.c_str(), &st) != 0) {
    SetLastErrorFromErrno();
    return false;
  }
  const std::string reason = S_ISDIR(st.st_mode)
                                 ? UntrustedReason(st, TrustedOwners::kUserOnly, 077)
                                 : std::string("not a directory");
  if (!reason.empty()) {
    ReportRefusal(dir, reason);
    SetLastError(ERROR_ACCESS_DENIED);
    return false;
  }
  return true;
}

struct InfoHeader {
  std::uint32_t magic;
  std::uint32_t pid;
  std::uint32_t thread_id;
  std::uint16_t class_length;
  std::uint16_t title_length;
};

bool WriteInfo(int fd, const Window& w) {
  InfoHeader header{kInfoMagic, static_cast<std::uint32_t>(getpid()), w.thread_id,
                    static_cast<std::uint16_t>(w.class_name.size()),
                    static_cast<std::uint16_t>(w.title.size())};
  std::string data(reinterpret_cast<const char*>(&header), sizeof header);
  data += w.class_name;
  data += w.title;
  return pwrite(fd, data.data(), data.size(), 0) == static_cast<ssize_t>(data.size());
}

enum class Liveness { kGone, kAlive };

// ProbeInfo: whether the window `handle` of any process is alive (its info
// file is locked by its owner), and what its info file says.
Liveness ProbeInfo(const std::string& dir, std::uint32_t handle, WindowInfo* info) {
  const std::string path = dir + "/" + EntryName(handle, 'w');
  const int fd = Sys().open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW, 0);
  if (fd < 0) return Liveness::kGone;
  // The owner holds an exclusive lock: a shared one cannot be had while it
  // lives. When it can, the owner died (or has not locked yet: a window in
  // the making, whose handle nobody knows).
  if (flock(fd, LOCK_SH | LOCK_NB) == 0) {
    close(fd);
    return Liveness::kGone;
  }
  if (info != nullptr) {
    std::uint8_t data[sizeof(InfoHeader) + kMaxClassName + kMaxTitle];
    const ssize_t n = pread(fd, data, sizeof data, 0);
    InfoHeader header;
    if (n < static_cast<ssize_t>(sizeof header)) {
      close(fd);
      return Liveness::kGone;
    }
    std::memcpy(&header, data, sizeof header);
    if (header.magic != kInfoMagic || header.class_length > kMaxClassName ||
        header.title_length > kMaxTitle ||
        sizeof header + header.class_length + header.title_length > static_cast<size_t>(n)) {
      close(fd);
      return Liveness::kGone;
    }
    const char* text = reinterpret_cast<const char*>(data + sizeof header);
    info->pid = header.pid;
    info->thread_id = header.thread_id;
    info->class_name.assign(text, header.class_length);
    info->title.assign(text + header.class_length, header.title_length);
  }
  close(fd);
  return Liveness::kAlive;
}

// SocketAddress: the address of `name` in `dir`. A directory too long for
// sun_path is reached through a descriptor of it (*dir_fd, to be closed by
// the caller).
bool SocketAddress(const std::string& dir, const std::string& name, sockaddr_un* address,
                   int* dir_fd) {
  *dir_fd = -1;
  std::memset(address, 0, sizeof *address);
  address->sun_family = AF_UNIX;
  std::string path = dir + "/" + name;
  if (path.size() >= sizeof address->sun_path) {
    *dir_fd = Sys().open(dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC, 0);
    if (*dir_fd < 0) return false;
    path = "/proc/self/fd/" + std::to_string(*dir_fd) + "/" + name;
    if (path.size() >= sizeof address->sun_path) {
      errno = ENAMETOOLONG;
      return false;
    }
  }
  std::memcpy(address->sun_path, path.c_str(), path.size() + 1);
  return true;
}

// SweepDead: removes what dead windows left in `dir`. REQUIRES: the
// directory's lock, so no window is being made meanwhile.
void SweepDead(const std::string& dir) {
  DIR* listing = opendir(dir.c_str());
  if (listing == nullptr) return;
  std::vector<std::string> sockets;
  std::vector<std::uint32_t> live;
  while (const dirent* entry = readdir(listing)) {
    std::uint32_t handle;
    char kind;
    if (!ParseEntryName(entry->d_name, &handle, &kind)) continue;
    if (kind == 's') {
      sockets.push_back(entry->d_name);
      continue;
    }
    if (kind != 'w') continue;
    const int fd = openat(dirfd(listing), entry->d_name, O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) continue;
    if (flock(fd, LOCK_EX | LOCK_NB) == 0) {
      unlinkat(dirfd(listing), EntryName(handle, 's').c_str(), 0);
      unlinkat(dirfd(listing), entry->d_name, 0);
    } else {
      live.push_back(handle);
    }
    close(fd);
  }
  for (const std::string& name : sockets) {
    std::uint32_t handle;
    char kind;
    ParseEntryName(name.c_str(), &handle, &kind);
    if (std::find(live.begin(), live.end(), handle) == live.end())
      unlinkat(dirfd(listing), name.c_str(), 0);
  }
  closedir(listing);
}

// ClaimHandle: gives `w` a handle, its info file (locked) and its
// listening socket. False with the last error set.
bool ClaimHandle(Window* w) {
  const std::string dir = DirectoryPath();
  if (!EnsureDirectory(NamespaceDirectory()) || !EnsureDirectory(dir)) return false;
  std::lock_guard<std::mutex> claim(G().claim_mutex);
  int lock = Sys().open((dir + "/.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (lock < 0) {
    SetLastErrorFromErrno();
    return false;
  }
  while (flock(lock, LOCK_EX) != 0) {
    if (errno != EINTR) {
      SetLastErrorFromErrno();
      close(lock);
      return false;
    }
  }
  SweepDead(dir);
  std::uniform_int_distribution<std::uint32_t> pick(kMinHandle, kMaxHandle);
  bool done = false;
  DWORD error = ERROR_NO_SYSTEM_RESOURCES;
  for (int attempt = 0; attempt < 64 && !done; ++attempt) {
    std::uint32_t handle = g_next_handle.exchange(0);
    if (handle < kMinHandle || handle > kMaxHandle) handle = pick(G().random);
    const std::string info_path = dir + "/" + EntryName(handle, 'w');
    int info = Sys().open(info_path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW,
                          0600);
    if (info < 0) {
      if (errno == EEXIST) continue;  // a live window's (the sweep removed dead ones)
      error = Win32ErrorFromErrno(errno);
      break;
    }
    w->handle = handle;
    int listener = -1;
    sockaddr_un address;
    int dir_fd = -1;
    const std::string socket_name = EntryName(handle, 's');
    bool ok = flock(info, LOCK_EX) == 0 && WriteInfo(info, *w);
    if (ok) {
      unlinkat(AT_FDCWD, (dir + "/" + socket_name).c_str(), 0);  // a dead window's leftover
      listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
      ok = listener >= 0 && SocketAddress(dir, socket_name, &address, &dir_fd) &&
           bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
           listen(listener, SOMAXCONN) == 0;
    }
    if (!ok) {
      error = Win32ErrorFromErrno(errno);
      CloseFd(&dir_fd);
      CloseFd(&listener);
      unlinkat(AT_FDCWD, (dir + "/" + socket_name).c_str(), 0);
      unlinkat(AT_FDCWD, info_path.c_str(), 0);
      close(info);
      break;
    }
    CloseFd(&dir_fd);
    w->info_fd = info;
    w->listen_fd = listener;
    w->dir = dir;
    done = true;
  }
  close(lock);
  if (!done) SetLastError(error);
  return done;
}

// ---------------------------------------------------------------------------
// Threads.

void ThreadExit(void* raw);

void MakeExitKey() {
  if (pthread_key_create(&g_exit_key, ThreadExit) == 0) g_exit_key_made = true;
}

// When the library is unloaded, threads that outlive it must not call
// ThreadExit, which goes with it.
[[gnu::destructor]] void DeleteExitKey() {
  if (g_exit_key_made.exchange(false)) pthread_key_delete(g_exit_key);
}

ThreadState* State() {
  if (t_state != nullptr) return t_state;
  auto* state = new ThreadState;
  state->thread_id = GetCurrentThreadId();
  {
    std::lock_guard<std::mutex> lock(G().mutex);
    G().threads.push_back(state);
  }
  std::call_once(g_exit_key_once, MakeExitKey);
  if (g_exit_key_made) pthread_setspecific(g_exit_key, state);
  t_state = state;
  return state;
}

std::shared_ptr<Window> FindWindow(std::uint32_t handle) {
  std::lock_guard<std::mutex> lock(G().mutex);
  auto it = G().windows.find(handle);
  return it == G().windows.end() ? nullptr : it->second;
}

// The window `handle` when the calling thread owns it.
std::shared_ptr<Window> FindOwned(ThreadState* ts, std::uint32_t handle) {
  for (const auto& w : ts->windows)
    if (w->handle == handle) return w;
  return nullptr;
}

void DropAccepted(ThreadState* ts, std::shared_ptr<Conn> conn) {
  CloseConn(conn.get());
  auto& list = ts->accepted;
  list.erase(std::remove(list.begin(), list.end(), conn), list.end());
}

void DropOutgoing(ThreadState* ts, const std::shared_ptr<Conn>& conn) {
  CloseConn(conn.get());
  auto it = ts->outgoing.find(conn->window);
  if (it != ts->outgoing.end() && it->second == conn) ts->outgoing.erase(it);
}

// RemoveWindow: the window is gone for every thread and process: its files
// are removed, its socket and its connections closed.
// (`w` by value: callers may pass an element of the lists it edits.)
void RemoveWindow(ThreadState* ts, std::shared_ptr<Window> w) {
  {
    std::lock_guard<std::mutex> lock(G().mutex);
    G().windows.erase(w->handle);
  }
  auto& owned = ts->windows;
  owned.erase(std::remove(owned.begin(), owned.end(), w), owned.end());
  std::vector<std::shared_ptr<Conn>> conns;
  for (const auto& c : ts->accepted)
    if (c->window == w->handle) conns.push_back(c);
  for (const auto& c : conns) DropAccepted(ts, c);
  // The socket first: a sweep takes a socket without an info file for a
  // dead window's, and the names are ours while the info file is locked.
  unlinkat(AT_FDCWD, (w->dir + "/" + EntryName(w->handle, 's')).c_str(), 0);
  unlinkat(AT_FDCWD, (w->dir + "/" + EntryName(w->handle, 'w')).c_str(), 0);
  CloseFd(&w->listen_fd);
  CloseFd(&w->info_fd);
}

void ThreadExit(void* raw) {
  auto* ts = static_cast<ThreadState*>(raw);
  // The thread's windows go with it, as on Windows (without WM_DESTROY:
  // their procedures' thread is ending).
  while (!ts->windows.empty()) RemoveWindow(ts, ts->windows.back());
  for (auto& entry : ts->outgoing) CloseConn(entry.second.get());
  {
    std::lock_guard<std::mutex> lock(G().mutex);
    auto& list = G().threads;
    list.erase(std::remove(list.begin(), list.end(), ts), list.end());
  }
  if (t_state == ts) t_state = nullptr;
  delete ts;
}

LRESULT CallProc(const std::shared_ptr<Window>& w, UINT message, WPARAM wParam, LPARAM lParam) {
  WNDPROC proc = w->proc.load();
  return proc(ToHwnd(w->handle), message, wParam, lParam);
}

// ---------------------------------------------------------------------------
// Time.

std::int64_t NowNs() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

std::int64_t NowMs() { return NowNs() / 1000000; }

class Deadline {
 public:
  static Deadline Never() { return Deadline(-1); }
  static Deadline After(std::int64_t ms) { return Deadline(NowMs() + ms); }
  // For poll: -1 without limit, else the milliseconds left (0 when passed).
  int RemainingMs() const {
    if (at_ < 0) return -1;
    const std::int64_t left = at_ - NowMs();
    return left <= 0 ? 0 : static_cast<int>(std::min<std::int64_t>(left, 1 << 30));
  }

 private:
  explicit Deadline(std::int64_t at) : at_(at) {}
  std::int64_t at_;
};

// ---------------------------------------------------------------------------
// Frames on connections.

enum class ReadResult { kData, kNothing, kClosed };

// ReadSome: one read of what the connection has, into its buffer. The
// buffer grows to hold a whole frame once the frame's header (already
// checked by DecodeFrame) says how long it is.
ReadResult ReadSome(Conn* c, FrameDirection direction) {
  if (c->fd < 0) return ReadResult::kClosed;
  if (c->begin == c->end) c->begin = c->end = 0;
  size_t want = kReadChunk;
  FrameHeader header;
  size_t consumed;
  if (DecodeFrame(c->buf.data() + c->begin, c->end - c->begin, direction, &header, &consumed) ==
          DecodeStatus::kIncomplete &&
      c->end - c->begin >= sizeof header)
    want = std::max(want, sizeof header + header.length);
  if (c->buf.size() - c->begin < want) {
    if (c->begin > 0) {
      std::memmove(c->buf.data(), c->buf.data() + c->begin, c->end - c->begin);
      c->end -= c->begin;
      c->begin = 0;
    }
    if (c->buf.size() < want) c->buf.resize(want);
  } else if (c->buf.size() == c->end) {
    std::memmove(c->buf.data(), c->buf.data() + c->begin, c->end - c->begin);
    c->end -= c->begin;
    c->begin = 0;
  }
  // Never a read of 0 bytes, which would look like the peer's close.
  if (c->end == c->buf.size()) c->buf.resize(c->buf.size() + kReadChunk);
  for (;;) {
    const ssize_t n = read(c->fd, c->buf.data() + c->end, c->buf.size() - c->end);
    if (n > 0) {
      c->end += static_cast<size_t>(n);
      return ReadResult::kData;
    }
    if (n == 0) return ReadResult::kClosed;
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return ReadResult::kNothing;
    return ReadResult::kClosed;
  }
}

// NextFrame: takes the next whole frame out of the connection's buffer.
DecodeStatus NextFrame(Conn* c, FrameDirection direction, FrameHeader* header,
                       std::vector<std::uint8_t>* payload) {
  size_t consumed = 0;
  const DecodeStatus status =
      DecodeFrame(c->buf.data() + c->begin, c->end - c->begin, direction, header, &consumed);
  if (status != DecodeStatus::kComplete) return status;
  const std::uint8_t* start = c->buf.data() + c->begin + sizeof(FrameHeader);
  payload->assign(start, start + header->length);
  c->begin += consumed;
  if (c->begin == c->end && c->buf.size() > 4 * kReadChunk) {
    // A large block has been taken out: give its memory back.
    std::vector<std::uint8_t>().swap(c->buf);
    c->begin = c->end = 0;
  }
  return status;
}

FrameHeader MakeHeader(FrameKind kind, std::uint32_t seq, UINT message, WPARAM wParam,
                       LPARAM lParam) {
  FrameHeader h{};
  h.magic = kFrameMagic;
  h.kind = static_cast<std::uint16_t>(kind);
  h.seq = seq;
  h.message = message;
  h.wparam = wParam;
  h.lparam = lParam;
  return h;
}

enum class WaitOutcome { kReady, kTimedOut, kPosted, kFailed };

// PollBriefly: poll() that looks for up to kSpinNs, giving the CPU to
// anything else that wants it in between, before it sleeps until the
// deadline. Messages come in exchanges (a request, its answer, the next
// request), and on many machines a CPU that went idle takes tens of
// microseconds to wake, more than the whole exchange costs when both
// threads stay awake. Giving the CPU away between looks lets the other
// side run even when both are on the same CPU. On a machine with a single
// CPU the thread sleeps at once: there, nothing can arrive while it looks.
int PollBriefly(pollfd* fds, nfds_t count, const Deadline& deadline) {
  static const bool several_cpus = sysconf(_SC_NPROCESSORS_ONLN) > 1;
  const int timeout = deadline.RemainingMs();
  if (!several_cpus || timeout == 0) return poll(fds, count, timeout);
  const std::int64_t stop = NowNs() + kSpinNs;
  for (;;) {
    const int n = poll(fds, count, 0);
    if (n != 0) return n;
    if (NowNs() >= stop) break;
    sched_yield();
  }
  return poll(fds, count, deadline.RemainingMs());
}

WaitOutcome WaitServing(ThreadState* ts, int fd, short events, const Deadline& deadline,
                        bool until_posted);

// SendAll: writes a frame to an outgoing connection, serving sent
// messages while the peer's socket is full. False with *error (and, when
// nothing was written, *untouched).
bool SendAll(ThreadState* ts, Conn* c, const std::uint8_t* data, size_t size,
             const Deadline& deadline, DWORD* error, bool* untouched) {
  size_t done = 0;
  *untouched = true;
  c->writing = true;
  while (done < size) {
    if (c->fd < 0) {
      *error = ERROR_INVALID_WINDOW_HANDLE;
      c->writing = false;
      return false;
    }
    const ssize_t n = send(c->fd, data + done, size - done, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      done += static_cast<size_t>(n);
      *untouched = false;
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      const WaitOutcome outcome = WaitServing(ts, c->fd, POLLOUT, deadline, false);
      if (outcome == WaitOutcome::kTimedOut) {
        *error = ERROR_TIMEOUT;
        c->writing = false;
        return false;
      }
      if (outcome == WaitOutcome::kFailed) {
        *error = Win32ErrorFromErrno(errno);
        c->writing = false;
        return false;
      }
      continue;
    }
    *error = ERROR_INVALID_WINDOW_HANDLE;  // the window's end is closed
    c->writing = false;
    return false;
  }
  c->writing = false;
  return true;
}

// Reply: answers a sent message on an accepted connection. A sender that
// cannot take the few bytes within kPostWaitMs loses the connection.
void Reply(ThreadState* ts, const std::shared_ptr<Conn>& c, std::uint32_t seq, LRESULT result) {
  if (c->fd < 0) return;  // the window went, or the sender: nobody to answer
  FrameHeader h = MakeHeader(FrameKind::kReply, seq, 0, 0, result);
  const auto* data = reinterpret_cast<const std::uint8_t*>(&h);
  size_t done = 0;
  const Deadline deadline = Deadline::After(kPostWaitMs);
  while (done < sizeof h) {
    const ssize_t n = send(c->fd, data + done, sizeof h - done, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      done += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      pollfd p{c->fd, POLLOUT, 0};
      const int ready = poll(&p, 1, deadline.RemainingMs());
      if (ready > 0 || (ready < 0 && errno == EINTR)) continue;
    }
    DropAccepted(ts, c);
    return;
  }
}

// ServeFrames: handles the whole frames buffered on an accepted connection,
// in order. Each frame is taken out before its handler runs, so a nested
// wait in the handler may go on with the connection's later frames.
void ServeFrames(ThreadState* ts, const std::shared_ptr<Conn>& c) {
  FrameHeader h;
  std::vector<std::uint8_t> payload;
  while (c->fd >= 0) {
    const DecodeStatus status = NextFrame(c.get(), FrameDirection::kToWindow, &h, &payload);
    if (status == DecodeStatus::kIncomplete) return;
    std::shared_ptr<Window> w = FindOwned(ts, c->window);
    if (status == DecodeStatus::kMalformed || w == nullptr) {
      DropAccepted(ts, c);
      return;
    }
    if (static_cast<FrameKind>(h.kind) == FrameKind::kPost) {
      MSG msg{};
      msg.hwnd = ToHwnd(w->handle);
      msg.message = h.message;
      msg.wParam = static_cast<WPARAM>(h.wparam);
      msg.lParam = static_cast<LPARAM>(h.lparam);
      msg.time = GetTickCount();
      ts->posted.push_back(msg);
      continue;
    }
    LRESULT result;
    if (h.message == WM_COPYDATA) {
      // The receiver's own copy, for the length of the call.
      COPYDATASTRUCT block{static_cast<ULONG_PTR>(h.data_tag), h.length,
                           h.length == 0 ? nullptr : payload.data()};
      result = CallProc(w, WM_COPYDATA, static_cast<WPARAM>(h.wparam),
                        reinterpret_cast<LPARAM>(&block));
    } else {
      result = CallProc(w, h.message, static_cast<WPARAM>(h.wparam), static_cast<LPARAM>(h.lparam));
    }
    Reply(ts, c, h.seq, result);
  }
}

bool PeerIsUser(int fd) {
  ucred credentials{};
  socklen_t length = sizeof credentials;
  if (Sys().getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0 ||
      length != sizeof credentials)
    return false;
  return credentials.uid == geteuid();
}

// AcceptAll: takes the connections waiting on a window's socket. A peer of
// another user is closed before anything of it is read.
void AcceptAll(ThreadState* ts, const std::shared_ptr<Window>& w) {
  while (w->listen_fd >= 0) {
    const int fd = accept4(w->listen_fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EINTR || errno == ECONNABORTED) continue;
      return;
    }
    if (!PeerIsUser(fd)) {
      close(fd);
      continue;
    }
    auto conn = std::make_shared<Conn>();
    conn->fd = fd;
    conn->window = w->handle;
    ts->accepted.push_back(std::move(conn));
  }
}

// WaitServing: waits until `fd` (when not -1) has one of `events`, the
// deadline passes, or (with `until_posted`) the thread's queue holds a
// message; meanwhile accepts connections to the thread's windows and
// serves what arrives on them.
WaitOutcome WaitServing(ThreadState* ts, int fd, short events, const Deadline& deadline,
                        bool until_posted) {
  std::vector<pollfd> fds;
  std::vector<std::shared_ptr<Window>> windows;
  std::vector<std::shared_ptr<Conn>> conns;
  for (;;) {
    // Frames already read (by a nested wait) come first.
    conns = ts->accepted;
    for (const auto& c : conns)
      if (c->fd >= 0 && c->begin != c->end) ServeFrames(ts, c);
    if (until_posted && (!ts->posted.empty() || ts->quit)) return WaitOutcome::kPosted;

    windows = ts->windows;
    conns = ts->accepted;
    fds.clear();
    if (fd >= 0) fds.push_back(pollfd{fd, events, 0});
    for (const auto& w : windows) fds.push_back(pollfd{w->listen_fd, POLLIN, 0});
    for (const auto& c : conns) fds.push_back(pollfd{c->fd, POLLIN, 0});
    const int n = PollBriefly(fds.data(), fds.size(), deadline);
    if (n < 0) {
      if (errno == EINTR) continue;
      SetLastErrorFromErrno();
      return WaitOutcome::kFailed;
    }
    if (n == 0) return WaitOutcome::kTimedOut;
    size_t i = 0;
    if (fd >= 0) {
      if (fds[0].revents != 0) return WaitOutcome::kReady;
      i = 1;
    }
    for (size_t k = 0; k < windows.size(); ++k, ++i)
      if (fds[i].revents != 0) AcceptAll(ts, windows[k]);
    for (size_t k = 0; k < conns.size(); ++k, ++i) {
      const std::shared_ptr<Conn>& c = conns[k];
      if (fds[i].revents == 0 || c->fd < 0) continue;
      const ReadResult r = ReadSome(c.get(), FrameDirection::kToWindow);
      if (r == ReadResult::kNothing) continue;
      // What arrived before a close still counts (a post, say).
      ServeFrames(ts, c);
      if (r == ReadResult::kClosed) DropAccepted(ts, c);
    }
  }
}

// Connect: a new connection to the socket of window `handle` (of another
// thread), checked to be the user's own. Null with *error.
std::shared_ptr<Conn> Connect(std::uint32_t handle, DWORD* error) {
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    *error = Win32ErrorFromErrno(errno);
    return nullptr;
  }
  sockaddr_un address;
  int dir_fd = -1;
  const bool named = SocketAddress(DirectoryPath(), EntryName(handle, 's'), &address, &dir_fd);
  int result = -1;
  if (named) {
    do {
      result = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    } while (result != 0 && errno == EINTR);
  }
  const int connect_errno = errno;
  if (dir_fd >= 0) close(dir_fd);
  if (result != 0) {
    close(fd);
    // No socket, or nobody listening on it (its process died): no window.
    *error = connect_errno == EACCES || connect_errno == EPERM ? ERROR_ACCESS_DENIED
                                                               : ERROR_INVALID_WINDOW_HANDLE;
    return nullptr;
  }
  if (!PeerIsUser(fd)) {
    close(fd);
    *error = ERROR_ACCESS_DENIED;
    return nullptr;
  }
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
  auto conn = std::make_shared<Conn>();
  conn->fd = fd;
  conn->window = handle;
  return conn;
}

// Outgoing: the calling thread's connection to `handle`: the cached one
// (*cached), or a new one, which is cached unless the cached one is half
// way through a frame (*temporary: the caller closes it).
std::shared_ptr<Conn> Outgoing(ThreadState* ts, std::uint32_t handle, bool* cached,
                               bool* temporary, DWORD* error) {
  *cached = *temporary = false;
  auto it = ts->outgoing.find(handle);
  if (it != ts->outgoing.end() && !it->second->writing) {
    *cached = true;
    return it->second;
  }
  std::shared_ptr<Conn> conn = Connect(handle, error);
  if (conn == nullptr) return nullptr;
  if (it != ts->outgoing.end())
    *temporary = true;
  else
    ts->outgoing[handle] = conn;
  return conn;
}

// Transmit: writes one frame to window `handle` of another thread,
// connecting when needed; a cached connection found closed before anything
// was written is replaced once (the window may have been made anew with the
// same handle). Null with *error.
std::shared_ptr<Conn> Transmit(ThreadState* ts, std::uint32_t handle, FrameHeader* header,
                               const void* payload, const Deadline& deadline, bool* temporary,
                               DWORD* error) {
  std::vector<std::uint8_t> frame;
  for (int attempt = 0; attempt < 2; ++attempt) {
    bool cached;
    std::shared_ptr<Conn> conn = Outgoing(ts, handle, &cached, temporary, error);
    if (conn == nullptr) return nullptr;
    header->seq = conn->next_seq++;
    frame.resize(sizeof *header + header->length);
    std::memcpy(frame.data(), header, sizeof *header);
    if (header->length != 0) std::memcpy(frame.data() + sizeof *header, payload, header->length);
    bool untouched;
    if (SendAll(ts, conn.get(), frame.data(), frame.size(), deadline, error, &untouched))
      return conn;
    if (*temporary)
      CloseConn(conn.get());
    else
      DropOutgoing(ts, conn);
    if (!(cached && untouched && *error == ERROR_INVALID_WINDOW_HANDLE)) return nullptr;
  }
  return nullptr;
}

}  // namespace

// ---------------------------------------------------------------------------
// Layer-internal entry points (windows_internal.h).

bool ReadWindowInfo(HWND window, WindowInfo* info) {
  const std::uint32_t handle = HandleValue(window);
  if (handle == 0) return false;
  if (std::shared_ptr<Window> w = FindWindow(handle)) {
    info->pid = static_cast<DWORD>(getpid());
    info->thread_id = w->thread_id;
    info->class_name = w->class_name;
    info->title = w->title;
    return true;
  }
  return ProbeInfo(DirectoryPath(), handle, info) == Liveness::kAlive;
}

std::string WindowDirectory() { return DirectoryPath(); }

void SetNextWindowHandle(DWORD handle) { g_next_handle = handle; }

void WindowsForkPrepare() {
  G().claim_mutex.lock();
  G().mutex.lock();
}

void WindowsForkParent() {
  G().mutex.unlock();
  G().claim_mutex.unlock();
}

void WindowsForkChild() {
  Globals& g = G();
  // The parent's windows stay the parent's: close the copies of their
  // descriptors (which never drops the parent's locks: a flock belongs to
  // the open file, which the parent still holds) and forget them.
  for (ThreadState* ts : g.threads) {
    for (auto& w : ts->windows) {
      CloseFd(&w->listen_fd);
      CloseFd(&w->info_fd);
    }
    ts->windows.clear();
    for (auto& c : ts->accepted) CloseConn(c.get());
    ts->accepted.clear();
    for (auto& entry : ts->outgoing) CloseConn(entry.second.get());
    ts->outgoing.clear();
    ts->posted.clear();
    ts->quit = false;
  }
  // Only the forking thread lives on in the child.
  std::vector<ThreadState*> others;
  for (ThreadState* ts : g.threads)
    if (ts != t_state) others.push_back(ts);
  for (ThreadState* ts : others) delete ts;
  g.threads.clear();
  if (t_state != nullptr) {
    t_state->thread_id = 0;  // set anew below, once the child's id is known
    g.threads.push_back(t_state);
  }
  g.windows.clear();
  g.random.seed(std::random_device{}() ^ static_cast<unsigned>(getpid()));
  g.mutex.unlock();
  g.claim_mutex.unlock();
  if (t_state != nullptr) t_state->thread_id = GetCurrentThreadId();
}

}  // namespace tqrtl::posix

using namespace tqrtl::posix;

extern "C" {

ATOM WINAPI RegisterClassExA(const WNDCLASSEXA* windowClass) {
  if (windowClass == nullptr || windowClass->cbSize != sizeof(WNDCLASSEXA) ||
      windowClass->lpfnWndProc == nullptr || windowClass->lpszClassName == nullptr ||
      IS_INTRESOURCE(windowClass->lpszClassName) || windowClass->lpszClassName[0] == '\0' ||
      std::strlen(windowClass->lpszClassName) > kMaxClassName)
    return Fail<ATOM>(ERROR_INVALID_PARAMETER, 0);
  const std::string key = Lower(windowClass->lpszClassName);
  std::lock_guard<std::mutex> lock(G().mutex);
  if (G().classes.count(key) != 0) return Fail<ATOM>(ERROR_CLASS_ALREADY_EXISTS, 0);
  if (G().next_atom == 0) return Fail<ATOM>(ERROR_NOT_ENOUGH_MEMORY, 0);  // all used
  const ATOM atom = G().next_atom++;
  G().classes[key] = ClassEntry{atom, windowClass->lpszClassName, windowClass->lpfnWndProc};
  return atom;
}

HWND WINAPI CreateWindowExA(DWORD exStyle, LPCSTR className, LPCSTR windowName, DWORD style,
                            int x, int y, int width, int height, HWND parent, HMENU menu,
                            HINSTANCE instance, LPVOID param) {
  if (className == nullptr) return Fail<HWND>(ERROR_CANNOT_FIND_WND_CLASS, nullptr);
  auto w = std::make_shared<Window>();
  {
    std::lock_guard<std::mutex> lock(G().mutex);
    const ClassEntry* entry = nullptr;
    if (IS_INTRESOURCE(className)) {
      const auto atom = static_cast<ATOM>(reinterpret_cast<std::uintptr_t>(className));
      for (const auto& item : G().classes)
        if (item.second.atom == atom) entry = &item.second;
    } else {
      auto it = G().classes.find(Lower(className));
      if (it != G().classes.end()) entry = &it->second;
    }
    if (entry == nullptr) return Fail<HWND>(ERROR_CANNOT_FIND_WND_CLASS, nullptr);
    w->proc = entry->proc;
    w->class_name = entry->name;
  }
  if (windowName != nullptr) w->title.assign(windowName, strnlen(windowName, kMaxTitle));
  ThreadState* ts = State();
  w->thread_id = ts->thread_id;
  w->owner = ts;
  w->visible = (style & WS_VISIBLE) != 0;
  if (!ClaimHandle(w.get())) return nullptr;
  {
    std::lock_guard<std::mutex> lock(G().mutex);
    G().windows[w->handle] = w;
  }
  ts->windows.push_back(w);

  CREATESTRUCTA create{};
  create.lpCreateParams = param;
  create.hInstance = instance;
  create.hMenu = menu;
  create.hwndParent = parent;
  create.cy = height;
  create.cx = width;
  create.y = y;
  create.x = x;
  create.style = static_cast<LONG>(style);
  create.lpszName = windowName;
  create.lpszClass = className;
  create.dwExStyle = exStyle;
  const LRESULT created = CallProc(w, WM_CREATE, 0, reinterpret_cast<LPARAM>(&create));
  if (FindOwned(ts, w->handle) == nullptr)  // destroyed by its WM_CREATE
    return Fail<HWND>(ERROR_INVALID_WINDOW_HANDLE, nullptr);
  if (created == -1) {
    RemoveWindow(ts, w);
    return Fail<HWND>(ERROR_INVALID_WINDOW_HANDLE, nullptr);
  }
  return ToHwnd(w->handle);
}

BOOL WINAPI DestroyWindow(HWND window) {
  std::shared_ptr<Window> w = FindWindow(HandleValue(window));
  if (w == nullptr) return Fail<BOOL>(ERROR_INVALID_WINDOW_HANDLE, FALSE);
  ThreadState* ts = State();
  if (w->owner != ts) return Fail<BOOL>(ERROR_ACCESS_DENIED, FALSE);
  if (w->destroying) return TRUE;
  w->destroying = true;
  CallProc(w, WM_DESTROY, 0, 0);
  if (FindOwned(ts, w->handle) != nullptr) RemoveWindow(ts, w);
  return TRUE;
}

BOOL WINAPI IsWindow(HWND window) {
  const std::uint32_t handle = HandleValue(window);
  if (handle == 0) return FALSE;
  if (FindWindow(handle) != nullptr) return TRUE;
  if (ThreadState* ts = t_state) {
    // A connection we hold answers without touching the directory: it
    // hangs up when the window or its process goes.
    auto it = ts->outgoing.find(handle);
    if (it != ts->outgoing.end() && it->second->fd >= 0) {
      pollfd p{it->second->fd, POLLRDHUP, 0};
      if (poll(&p, 1, 0) == 0) return TRUE;
      if (!it->second->writing) DropOutgoing(ts, it->second);
    }
  }
  return ProbeInfo(DirectoryPath(), handle, nullptr) == Liveness::kAlive;
}

BOOL WINAPI ShowWindow(HWND window, int command) {
  if (std::shared_ptr<Window> w = FindWindow(HandleValue(window)))
    return w->visible.exchange(command != SW_HIDE) ? TRUE : FALSE;
  if (!IsWindow(window)) return Fail<BOOL>(ERROR_INVALID_WINDOW_HANDLE, FALSE);
  return FALSE;  // another process's: nothing is shown anywhere
}

BOOL WINAPI UpdateWindow(HWND window) {
  return IsWindow(window) ? TRUE : Fail<BOOL>(ERROR_INVALID_WINDOW_HANDLE, FALSE);
}

LRESULT WINAPI DefWindowProcA(HWND window, UINT message, WPARAM, LPARAM) {
  if (message == WM_CLOSE) {
    DestroyWindow(window);
    return 0;
  }
  if (message == kNcCreate) return TRUE;
  return 0;
}

LONG_PTR WINAPI GetWindowLongPtrA(HWND window, int index) {
  std::shared_ptr<Window> w = FindWindow(HandleValue(window));
  if (w == nullptr)
    return Fail<LONG_PTR>(IsWindow(window) ? ERROR_ACCESS_DENIED : ERROR_INVALID_WINDOW_HANDLE, 0);
  if (index == GWLP_USERDATA) return w->user_data.load();
  if (index == GWLP_WNDPROC) return reinterpret_cast<LONG_PTR>(w->proc.load());
  return Fail<LONG_PTR>(ERROR_INVALID_INDEX, 0);
}

LONG_PTR WINAPI SetWindowLongPtrA(HWND window, int index, LONG_PTR value) {
  std::shared_ptr<Window> w = FindWindow(HandleValue(window));
  if (w == nullptr)
    return Fail<LONG_PTR>(IsWindow(window) ? ERROR_ACCESS_DENIED : ERROR_INVALID_WINDOW_HANDLE, 0);
  if (index == GWLP_USERDATA) {
    SetLastError(ERROR_SUCCESS);  // so that a previous value of 0 reads as success
    return w->user_data.exchange(value);
  }
  if (index == GWLP_WNDPROC && value != 0) {
    SetLastError(ERROR_SUCCESS);
    return reinterpret_cast<LONG_PTR>(w->proc.exchange(reinterpret_cast<WNDPROC>(value)));
  }
  return Fail<LONG_PTR>(ERROR_INVALID_INDEX, 0);
}

BOOL WINAPI GetMessageA(LPMSG msg, HWND window, UINT filterMin, UINT filterMax) {
  if (msg == nullptr) return Fail<BOOL>(ERROR_INVALID_PARAMETER, -1);
  ThreadState* ts = State();
  const std::uint32_t only = HandleValue(window);
  if (window != nullptr && (only == 0 || FindOwned(ts, only) == nullptr))
    return Fail<BOOL>(ERROR_INVALID_WINDOW_HANDLE, -1);
  const bool any_message = filterMin == 0 && filterMax == 0;
  for (;;) {
    auto it = std::find_if(ts->posted.begin(), ts->posted.end(), [&](const MSG& m) {
      return (window == nullptr || m.hwnd == window) &&
             (any_message || (m.message >= filterMin && m.message <= filterMax));
    });
    if (it != ts->posted.end()) {
      *msg = *it;
      ts->posted.erase(it);
      return msg->message == WM_QUIT ? FALSE : TRUE;
    }
    if (ts->quit) {
      // The quit request is seen once no other message waits, as on Windows.
      ts->quit = false;
      *msg = MSG{};
      msg->message = WM_QUIT;
      msg->wParam = static_cast<WPARAM>(ts->quit_code);
      msg->time = GetTickCount();
      return FALSE;
    }
    if (window != nullptr && FindOwned(ts, only) == nullptr)
      return Fail<BOOL>(ERROR_INVALID_WINDOW_HANDLE, -1);
    if (WaitServing(ts, -1, 0, Deadline::Never(), true) == WaitOutcome::kFailed) return -1;
  }
}

BOOL WINAPI TranslateMessage(const MSG*) { return FALSE; }  // no keyboard messages here

LRESULT WINAPI DispatchMessageA(const MSG* msg) {
  if (msg == nullptr || msg->hwnd == nullptr) return 0;
  ThreadState* ts = State();
  std::shared_ptr<Window> w = FindOwned(ts, HandleValue(msg->hwnd));
  if (w == nullptr) return Fail<LRESULT>(ERROR_INVALID_WINDOW_HANDLE, 0);
  return CallProc(w, msg->message, msg->wParam, msg->lParam);
}

void WINAPI PostQuitMessage(int exitCode) {
  ThreadState* ts = State();
  ts->quit = true;
  ts->quit_code = exitCode;
}

BOOL WINAPI PostMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  ThreadState* ts = State();
  MSG msg{};
  msg.hwnd = window;
  msg.message = message;
  msg.wParam = wParam;
  msg.lParam = lParam;
  msg.time = GetTickCount();
  if (window == nullptr) {  // to the calling thread's queue, as Windows does
    ts->posted.push_back(msg);
    return TRUE;
  }
  const std::uint32_t handle = HandleValue(window);
  if (handle == 0) return Fail<BOOL>(ERROR_INVALID_WINDOW_HANDLE, FALSE);
  if (FindOwned(ts, handle) != nullptr) {
    ts->posted.push_back(msg);
    return TRUE;
  }
  if (!MessageCrossesThreads(message, FrameKind::kPost)) {
    if (!IsWindow(window)) return Fail<BOOL>(ERROR_INVALID_WINDOW_HANDLE, FALSE);
    return Fail<BOOL>(ERROR_INVALID_PARAMETER, FALSE);
  }
  FrameHeader header = MakeHeader(FrameKind::kPost, 0, message, wParam, lParam);
  bool temporary;
  DWORD error = 0;
  std::shared_ptr<Conn> conn = Transmit(ts, handle, &header, nullptr,
                                        Deadline::After(kPostWaitMs), &temporary, &error);
  if (conn == nullptr) return Fail<BOOL>(error, FALSE);
  if (temporary) CloseConn(conn.get());
  return TRUE;
}

LRESULT WINAPI SendMessageTimeoutA(HWND window, UINT message, WPARAM wParam, LPARAM lParam,
                                   UINT flags, UINT timeoutMs, PDWORD_PTR result) {
  (void)flags;  // SMTO_NORMAL: the thread serves sent messages while it waits
  if (result != nullptr) *result = 0;
  const std::uint32_t handle = HandleValue(window);
  if (handle == 0) return Fail<LRESULT>(ERROR_INVALID_WINDOW_HANDLE, 0);
  ThreadState* ts = State();
  if (std::shared_ptr<Window> w = FindOwned(ts, handle)) {
    // The calling thread's own window: a direct call, with no time-out.
    const LRESULT answer = CallProc(w, message, wParam, lParam);
    if (result != nullptr) *result = static_cast<DWORD_PTR>(answer);
    return TRUE;
  }
  const void* payload = nullptr;
  FrameHeader header = MakeHeader(FrameKind::kSend, 0, message, wParam, lParam);
  if (message == WM_COPYDATA) {
    const auto* block = reinterpret_cast<const COPYDATASTRUCT*>(lParam);
    if (block == nullptr || block->cbData > kMaxCopyData ||
        (block->cbData != 0 && block->lpData == nullptr))
      return Fail<LRESULT>(ERROR_INVALID_PARAMETER, 0);
    header.flags = kFrameCopyData;
    header.lparam = 0;  // the sender's pointer means nothing to the receiver
    header.data_tag = block->dwData;
    header.length = block->cbData;
    payload = block->lpData;
  } else if (!MessageCrossesThreads(message, FrameKind::kSend)) {
    if (!IsWindow(window)) return Fail<LRESULT>(ERROR_INVALID_WINDOW_HANDLE, 0);
    return Fail<LRESULT>(ERROR_INVALID_PARAMETER, 0);
  }
  const Deadline deadline = timeoutMs == 0 ? Deadline::Never() : Deadline::After(timeoutMs);
  bool temporary;
  DWORD error = 0;
  std::shared_ptr<Conn> conn =
      Transmit(ts, handle, &header, payload, deadline, &temporary, &error);
  if (conn == nullptr) return Fail<LRESULT>(error, 0);
  const std::uint32_t seq = header.seq;
  // Leaves the connection behind when it can no longer be trusted to carry
  // only this call's answer next.
  auto fail = [&](DWORD code) -> LRESULT {
    if (temporary)
      CloseConn(conn.get());
    else
      DropOutgoing(ts, conn);
    return Fail<LRESULT>(code, 0);
  };
  FrameHeader reply;
  std::vector<std::uint8_t> none;
  bool closed = false;
  for (;;) {
    // An answer may already be here: read by a nested call on this thread.
    const DecodeStatus status = NextFrame(conn.get(), FrameDirection::kToSender, &reply, &none);
    if (status == DecodeStatus::kComplete) {
      if (reply.seq != seq) return fail(ERROR_INVALID_WINDOW_HANDLE);
      if (temporary) CloseConn(conn.get());
      if (result != nullptr) *result = static_cast<DWORD_PTR>(reply.lparam);
      return TRUE;
    }
    // The window, its thread or its process went before answering (or a
    // nested call's time-out dropped the connection).
    if (status == DecodeStatus::kMalformed || closed || conn->fd < 0)
      return fail(ERROR_INVALID_WINDOW_HANDLE);
    const WaitOutcome outcome = WaitServing(ts, conn->fd, POLLIN, deadline, false);
    if (outcome == WaitOutcome::kTimedOut) return fail(ERROR_TIMEOUT);
    if (outcome == WaitOutcome::kFailed) return fail(GetLastError());
    if (ReadSome(conn.get(), FrameDirection::kToSender) == ReadResult::kClosed) closed = true;
  }
}

LRESULT WINAPI SendMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  DWORD_PTR result = 0;
  return SendMessageTimeoutA(window, message, wParam, lParam, SMTO_NORMAL, 0, &result)
             ? static_cast<LRESULT>(result)
             : 0;
}

BOOL WINAPI EnumWindows(WNDENUMPROC callback, LPARAM lParam) {
  if (callback == nullptr) return Fail<BOOL>(ERROR_INVALID_PARAMETER, FALSE);
  const std::string dir = DirectoryPath();
  std::vector<std::uint32_t> handles;
  if (DIR* listing = opendir(dir.c_str())) {
    while (const dirent* entry = readdir(listing)) {
      std::uint32_t handle;
      char kind;
      if (ParseEntryName(entry->d_name, &handle, &kind) && kind == 'w') handles.push_back(handle);
    }
    closedir(listing);
  }
  std::sort(handles.begin(), handles.end());
  // Each is checked as it comes: the callback may take its time.
  for (std::uint32_t handle : handles) {
    if (FindWindow(handle) == nullptr && ProbeInfo(dir, handle, nullptr) != Liveness::kAlive)
      continue;
    if (!callback(ToHwnd(handle), lParam)) break;
  }
  return TRUE;
}

namespace {
int CopyText(const std::string& text, LPSTR buffer, int maxCount) {
  if (buffer == nullptr || maxCount <= 0) return Fail<int>(ERROR_INVALID_PARAMETER, 0);
  const size_t n = std::min(text.size(), static_cast<size_t>(maxCount - 1));
  std::memcpy(buffer, text.data(), n);
  buffer[n] = '\0';
  return static_cast<int>(n);
}
}  // namespace

int WINAPI GetClassNameA(HWND window, LPSTR className, int maxCount) {
  WindowInfo info;
  if (!ReadWindowInfo(window, &info)) return Fail<int>(ERROR_INVALID_WINDOW_HANDLE, 0);
  return CopyText(info.class_name, className, maxCount);
}

int WINAPI GetWindowTextA(HWND window, LPSTR text, int maxCount) {
  WindowInfo info;
  if (!ReadWindowInfo(window, &info)) {
    if (text != nullptr && maxCount > 0) text[0] = '\0';
    return Fail<int>(ERROR_INVALID_WINDOW_HANDLE, 0);
  }
  return CopyText(info.title, text, maxCount);
}

DWORD WINAPI GetWindowThreadProcessId(HWND window, LPDWORD processId) {
  WindowInfo info;
  if (!ReadWindowInfo(window, &info)) return Fail<DWORD>(ERROR_INVALID_WINDOW_HANDLE, 0);
  if (processId != nullptr) *processId = info.pid;
  return info.thread_id;
}

namespace {
// Stand-ins for the stock icon, cursor and brushes: distinct addresses that
// nothing reads.
char g_stock_icon;
char g_stock_cursor;
char g_stock_objects[20];
}  // namespace

HICON WINAPI LoadIconA(HINSTANCE instance, LPCSTR name) {
  if (instance != nullptr || !IS_INTRESOURCE(name))
    return Fail<HICON>(ERROR_RESOURCE_NAME_NOT_FOUND, nullptr);
  return reinterpret_cast<HICON>(&g_stock_icon);
}

HCURSOR WINAPI LoadCursorA(HINSTANCE instance, LPCSTR name) {
  if (instance != nullptr || !IS_INTRESOURCE(name))
    return Fail<HCURSOR>(ERROR_RESOURCE_NAME_NOT_FOUND, nullptr);
  return reinterpret_cast<HCURSOR>(&g_stock_cursor);
}

HGDIOBJ WINAPI GetStockObject(int object) {
  if (object < 0 || object >= static_cast<int>(sizeof g_stock_objects)) return nullptr;
  return &g_stock_objects[object];
}

}  // extern "C"
