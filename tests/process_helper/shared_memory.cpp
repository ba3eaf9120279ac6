// Sub-commands for the shared memory manager's tests: processes that work in
// one block at once, one that dies holding the block's lock, and one that
// waits through the recovery.
//
//   shm-stress <name> <milliseconds> <seed>
//   shm-hold-lock <name> <readyFile>
//   shm-survive <name> <readyFile> <goFile> <abandonedFile> <seed>
//   shm-fork-stress <name> <milliseconds> <seed>   (POSIX) makes the block,
//       forks two children, and all three work in it at once, the children
//       through the copies of the block and lock they inherited
//
// Exit codes: 0 success; 2 usage; 3 could not attach or create; 4 a piece's pattern
// was overwritten; 5 the checker found a fault (printed on stderr); 6 an
// allocation that must succeed failed; 7 Alloc did not report the
// abandoned lock; 8 the recovered block never served an allocation.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include "process_helper.h"
#include "tqrtl/core/TQLiteMutex.h"
#include "tqrtl/ipc/SharedMemoryMgr.h"
#include "tqrtl/ipc/internal/shared_free_list.h"

#if !defined(_WIN32)
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace {

struct Piece {
  unsigned char* p;
  unsigned int size;
  unsigned char seed;
};

// The pattern of a piece: its bytes depend on the writer's seed and on
// where the piece lies, so another process's piece laid over it shows.
unsigned char PatternByte(const Piece& piece, unsigned int k) {
  return static_cast<unsigned char>(piece.seed + k * 7 +
                                    (reinterpret_cast<uintptr_t>(piece.p) >> 3));
}

void Fill(const Piece& piece) {
  for (unsigned int k = 0; k < piece.size; ++k) piece.p[k] = PatternByte(piece, k);
}

bool Intact(const Piece& piece) {
  for (unsigned int k = 0; k < piece.size; ++k) {
    if (piece.p[k] != PatternByte(piece, k)) return false;
  }
  return true;
}

// Runs the checker; the caller holds the block's lock.
bool CheckBlock(const SharedMemoryMgr& mgr, const char* when) {
  SharedFreeList view(mgr.GetPtr(0));
  TQString fault;
  if (view.Check(&fault)) return true;
  std::fprintf(stderr, "checker (%s): %s\n", when, static_cast<const char*>(fault));
  return false;
}

bool FileExists(const char* path) {
  if (FILE* f = std::fopen(path, "rb")) {
    std::fclose(f);
    return true;
  }
  return false;
}

void Touch(const char* path) {
  if (FILE* f = std::fopen(path, "wb")) std::fclose(f);
}

// One step of random work: allocate (Alloc, or SafeAlloc under the lock
// taken from outside) or free a held piece after checking its pattern.
// Returns 0 or an exit code.
int RandomStep(SharedMemoryMgr& mgr, TQLiteMutex& lock, std::vector<Piece>& held,
               std::mt19937& random, unsigned char seed) {
  const unsigned int choice = random() % 100;
  if (held.empty() || choice < 50) {
    const unsigned int n = random() % 4 == 0 ? random() % 400 : random() % 30;
    const bool underLock = random() % 4 == 0;
    void* p;
    if (underLock) {
      if (lock.Enter(true) != TQLiteMutex::Acquired) return 7;
      p = mgr.SafeAlloc(n);
      lock.Leave();
    } else {
      p = mgr.Alloc(n);
    }
    if (p == nullptr) return 0;  // full for now
    Piece piece{static_cast<unsigned char*>(p), n, static_cast<unsigned char>(seed + held.size())};
    Fill(piece);
    held.push_back(piece);
    return 0;
  }
  const size_t index = random() % held.size();
  const Piece piece = held[index];
  if (!Intact(piece)) {
    std::fprintf(stderr, "piece at offset %u (%u bytes) was overwritten\n", mgr.OffsetOf(piece.p),
                 piece.size);
    return 4;
  }
  held[index] = held.back();
  held.pop_back();
  mgr.Free(piece.p);
  return 0;
}

int FreeAllAndCheck(SharedMemoryMgr& mgr, TQLiteMutex& lock, std::vector<Piece>& held) {
  for (const Piece& piece : held) {
    if (!Intact(piece)) return 4;
    mgr.Free(piece.p);
  }
  held.clear();
  if (lock.Enter(true) != TQLiteMutex::Acquired) return 7;
  const bool sound = CheckBlock(mgr, "at the end");
  lock.Leave();
  return sound ? 0 : 5;
}

int StressFor(SharedMemoryMgr& mgr, TQLiteMutex& lock, std::chrono::milliseconds duration,
              unsigned char seed) {
  std::mt19937 random(seed);
  std::vector<Piece> held;
  const auto end = std::chrono::steady_clock::now() + duration;
  for (unsigned int step = 0; std::chrono::steady_clock::now() < end; ++step) {
    if (const int code = RandomStep(mgr, lock, held, random, seed); code != 0) return code;
    if (step % 16 == 0) {
      if (lock.Enter(true) != TQLiteMutex::Acquired) return 7;
      const bool sound = CheckBlock(mgr, "during the run");
      lock.Leave();
      if (!sound) return 5;
    }
  }
  return FreeAllAndCheck(mgr, lock, held);
}

int Stress(int argc, char** argv) {
  if (argc != 4) return 2;
  const TQString name = argv[1];
  SharedMemoryMgr mgr;
  if (!mgr.Attach(name)) return 3;
  TQLiteMutex lock(name + "_mem_mutex");
  return StressFor(mgr, lock, std::chrono::milliseconds(std::atoi(argv[2])),
                   static_cast<unsigned char>(std::atoi(argv[3])));
}

#if !defined(_WIN32)
int ForkStress(int argc, char** argv) {
  if (argc != 4) return 2;
  const TQString name = argv[1];
  const auto duration = std::chrono::milliseconds(std::atoi(argv[2]));
  const auto seed = static_cast<unsigned char>(std::atoi(argv[3]));
  SharedMemoryMgr mgr(name, 64 * 1024, 16);
  if (!mgr.IsValid()) return 3;
  TQLiteMutex lock(name + "_mem_mutex");
  // The block's lock is taken once before the forks, so the children's copy
  // of this thread holds its cached id.
  if (lock.Enter(true) != TQLiteMutex::Acquired) return 7;
  const bool laidOut = CheckBlock(mgr, "before the fork");
  lock.Leave();
  if (!laidOut) return 5;
  pid_t children[2];
  for (int i = 0; i < 2; ++i) {
    children[i] = fork();
    if (children[i] < 0) return 9;
    if (children[i] == 0) {
      // The child leaves without destructors: the block and the lock are
      // the parent's, which detaches them once.
      const int code =
          StressFor(mgr, lock, duration, static_cast<unsigned char>(seed + 40 * (i + 1)));
      std::fflush(stderr);
      _exit(code);
    }
  }
  int result = StressFor(mgr, lock, duration, seed);
  for (pid_t child : children) {
    int status = 0;
    if (waitpid(child, &status, 0) != child || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      std::fprintf(stderr, "forked child: status %d\n", status);
      if (result == 0) result = 9;
    }
  }
  if (result == 0) {
    if (lock.Enter(true) != TQLiteMutex::Acquired) return 7;
    const bool sound = CheckBlock(mgr, "after the children");
    lock.Leave();
    if (!sound) return 5;
  }
  return result;
}
#endif

// Attaches, takes the block's lock, leaves the block half-changed (a piece
// whose tags say free but which is in no list) and waits to be killed.
int HoldLock(int argc, char** argv) {
  if (argc != 3) return 2;
  const TQString name = argv[1];
  SharedMemoryMgr mgr;
  if (!mgr.Attach(name)) return 3;
  TQLiteMutex lock(name + "_mem_mutex");
  if (lock.Enter(true) != TQLiteMutex::Acquired) return 7;
  auto* piece = static_cast<unsigned char*>(mgr.SafeAlloc(100));
  if (piece == nullptr) return 6;
  const uint32_t freeState = SharedFreeList::kStateFree;
  std::memcpy(piece - 8, &freeState, 4);  // a free interrupted half-way
  Touch(argv[2]);
  for (;;) Sleep(1000);
}

// Attaches and holds a piece; at the go file, asks for another piece while
// another process holds the lock; after the lock is abandoned, forgets its
// pieces (the block will be reset) and waits for the block to serve again,
// then works in it for a while.
int Survive(int argc, char** argv) {
  if (argc != 6) return 2;
  const TQString name = argv[1];
  const auto seed = static_cast<unsigned char>(std::atoi(argv[5]));
  SharedMemoryMgr mgr;
  if (!mgr.Attach(name)) return 3;
  TQLiteMutex lock(name + "_mem_mutex");
  std::vector<Piece> held;
  void* p = mgr.Alloc(64);
  if (p == nullptr) return 6;
  held.push_back(Piece{static_cast<unsigned char*>(p), 64, seed});
  Fill(held.back());
  Touch(argv[2]);
  while (!FileExists(argv[3])) Sleep(5);

  // Blocks on the dead process's lock until the lock is abandoned.
  if (mgr.Alloc(32) != nullptr) return 7;
  held.clear();
  Touch(argv[4]);

  // Abandoned until the survivors reset the block and recover the lock.
  void* first = nullptr;
  for (int tries = 0; first == nullptr && tries < 6000; ++tries) {
    first = mgr.Alloc(32);
    if (first == nullptr) Sleep(5);
  }
  if (first == nullptr) return 8;
  held.push_back(Piece{static_cast<unsigned char*>(first), 32, seed});
  Fill(held.back());
  std::mt19937 random(seed);
  for (int step = 0; step < 2000; ++step) {
    if (const int code = RandomStep(mgr, lock, held, random, seed); code != 0) return code;
  }
  return FreeAllAndCheck(mgr, lock, held);
}

const ProcessCommand kStress("shm-stress", Stress);
const ProcessCommand kHoldLock("shm-hold-lock", HoldLock);
const ProcessCommand kSurvive("shm-survive", Survive);
#if !defined(_WIN32)
const ProcessCommand kForkStress("shm-fork-stress", ForkStress);
#endif

}  // namespace
