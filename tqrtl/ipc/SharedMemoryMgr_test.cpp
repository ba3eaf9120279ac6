// Tests of SharedMemoryMgr: the block as its raw bytes show it after create
// and attach, the failures of both, pieces passed between views as offsets,
// recovery in one process, and real processes: four working in one block at
// once, and one killed while it holds the block's lock.
#include "tqrtl/ipc/SharedMemoryMgr.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "process_support.h"
#include "tqrtl/ipc/internal/shared_free_list.h"

namespace {

unsigned PageSize() {
  SYSTEM_INFO info;
  GetSystemInfo(&info);
  return info.dwPageSize;
}

uint32_t Word(const SharedMemoryMgr& mgr, uint32_t offset) {
  uint32_t value;
  std::memcpy(&value, mgr.GetPtr(offset), 4);
  return value;
}

uint16_t AttachCount(const SharedMemoryMgr& mgr) {
  uint16_t value;
  std::memcpy(&value, mgr.GetPtr(2), 2);
  return value;
}

std::string Fault(const SharedMemoryMgr& mgr) {
  SharedFreeList view(mgr.GetPtr(0));
  TQString fault;
  return view.Check(&fault) ? std::string() : std::string(fault);
}

// The whole block is one free block again, at offset 20.
void ExpectAllFree(const SharedMemoryMgr& mgr) {
  const uint32_t total = Word(mgr, 8);
  EXPECT_EQ(Word(mgr, 16), 20u) << "head";
  EXPECT_EQ(Word(mgr, 20), 1u);
  EXPECT_EQ(Word(mgr, 24), total - 20);
  EXPECT_EQ(Word(mgr, total - 8), 20u);
  EXPECT_EQ(Word(mgr, total - 4), 1u);
  EXPECT_EQ(Fault(mgr), "");
}

TEST(SharedMemoryMgrTest, ADetachedManagerRefusesEverything) {
  SharedMemoryMgr mgr;
  EXPECT_FALSE(mgr.IsValid());
  EXPECT_TRUE(mgr.Name().IsEmpty());
  EXPECT_EQ(mgr.GetPtr(0), nullptr);
  EXPECT_EQ(mgr.Alloc(1), nullptr);
  EXPECT_EQ(mgr.SafeAlloc(1), nullptr);
  int local = 0;
  mgr.Free(&local);
  mgr.SafeFree(&local);
  mgr.Reset();
  mgr.Detach();
  EXPECT_EQ(local, 0);
}

TEST(SharedMemoryMgrTest, CreateRoundsToPagesAndWritesTheHeader) {
  const unsigned page = PageSize();
  struct Case {
    unsigned size, total;
  } cases[] = {
      {1, page}, {page - 1, page}, {page, page}, {page + 1, 2 * page}, {5 * page, 5 * page}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "size " << c.size);
    const std::string name = UniqueName("create");
    SharedMemoryMgr mgr(name.c_str(), c.size, 16);
    ASSERT_TRUE(mgr.IsValid());
    EXPECT_EQ(std::string(mgr.Name()), name);
    // The header's layout is the free list's (its own tests check it to the
    // byte); here: what the manager puts in it.
    EXPECT_EQ(AttachCount(mgr), 1);
    EXPECT_EQ(Word(mgr, 4), GetCurrentProcessId());
    EXPECT_EQ(Word(mgr, 8), c.total);
    EXPECT_EQ(Word(mgr, 12), 16u);
    ExpectAllFree(mgr);
  }
}

TEST(SharedMemoryMgrTest, CreateNeverJoinsAndAttachJoins) {
  const std::string name = UniqueName("join");
  SharedMemoryMgr first(name.c_str(), 1, 16);
  ASSERT_TRUE(first.IsValid());

  SharedMemoryMgr second;
  EXPECT_FALSE(second.Create(name.c_str(), 1, 16));
  EXPECT_FALSE(second.IsValid());
  EXPECT_TRUE(second.Name().IsEmpty());
  EXPECT_EQ(AttachCount(first), 1);

  SharedMemoryMgr third(name.c_str(), 0xFFFFFFFFu, 0);
  ASSERT_TRUE(third.IsValid());
  EXPECT_EQ(AttachCount(first), 2);
  EXPECT_NE(third.GetPtr(0), first.GetPtr(0)) << "each manager has its own view";
  EXPECT_TRUE(second.Attach(name.c_str()));
  EXPECT_EQ(AttachCount(first), 3);
  second.Detach();
  EXPECT_FALSE(second.IsValid());
  EXPECT_EQ(AttachCount(first), 2);
  third.Detach();
  EXPECT_EQ(AttachCount(first), 1);
}

TEST(SharedMemoryMgrTest, CreateAndAttachFailures) {
  SharedMemoryMgr mgr;
  EXPECT_FALSE(mgr.Attach(UniqueName("missing").c_str()));
  EXPECT_FALSE(mgr.Create(UniqueName("empty").c_str(), 0, 16));
  EXPECT_FALSE(mgr.Create(UniqueName("huge").c_str(), 0xFFFFFFFEu, 16));
  EXPECT_FALSE(mgr.IsValid());

  // A block whose header is not one this library wrote is refused, and its
  // attachCount is left alone.
  const unsigned page = PageSize();
  struct Damage {
    const char* what;
    uint32_t offset, value, width;
  } damages[] = {
      {"major version", 1, 2, 1},
      {"minor version", 0, 1, 1},
      {"total size not a page multiple", 8, page + 20, 4},
      {"total size 0", 8, 0, 4},
  };
  for (const Damage& d : damages) {
    const std::string name = UniqueName("damaged");
    SharedMemoryMgr owner(name.c_str(), page, 16);
    ASSERT_TRUE(owner.IsValid());
    std::memcpy(owner.GetPtr(d.offset), &d.value, d.width);
    EXPECT_FALSE(mgr.Attach(name.c_str())) << d.what;
    EXPECT_FALSE(mgr.IsValid()) << d.what;
    EXPECT_EQ(AttachCount(owner), 1) << d.what;
  }
}

TEST(SharedMemoryMgrTest, PiecesTravelAsOffsetsBetweenViews) {
  const std::string name = UniqueName("offsets");
  SharedMemoryMgr a(name.c_str(), 1, 16);
  SharedMemoryMgr b(name.c_str(), 0xFFFFFFFFu, 0);
  ASSERT_TRUE(a.IsValid() && b.IsValid());
  const uint32_t total = Word(a, 8);

  const std::vector<unsigned> sizes = {0, 1, 13, 100, 127};
  std::vector<unsigned> offsets;
  for (unsigned n : sizes) {
    auto* p = static_cast<unsigned char*>(a.Alloc(n));
    ASSERT_NE(p, nullptr);
    std::memset(p, static_cast<int>(n), n);
    offsets.push_back(a.OffsetOf(p));
  }
  EXPECT_EQ(offsets[0], total - 12 + 8) << "carved from the upper end";
  EXPECT_EQ(a.OffsetOf(a.GetPtr(1234)), 1234u);
  EXPECT_EQ(b.OffsetOf(b.GetPtr(1234)), 1234u);
  for (size_t i = 0; i < offsets.size(); ++i) {
    const auto* q = static_cast<const unsigned char*>(b.GetPtr(offsets[i]));
    const unsigned n = sizes[i];
    for (unsigned k = 0; k < n; ++k) ASSERT_EQ(q[k], n);
    b.Free(b.GetPtr(offsets[i]));  // freed by the other view
    EXPECT_EQ(Fault(a), "");
  }
  ExpectAllFree(a);
}

TEST(SharedMemoryMgrTest, AttachKeepsTheHeadOnAFreeBlock) {
  const std::string name = UniqueName("head");
  SharedMemoryMgr a(name.c_str(), 1, 16);
  const uint32_t total = Word(a, 8);
  // Block 20 allocated, the free block above it is head.
  void* high = a.Alloc(total - 20 - 12 - 100);
  void* low = a.Alloc(88);  // takes block 20 whole
  ASSERT_EQ(a.OffsetOf(low), 28u);
  std::memset(low, 0x77, 88);
  a.Free(high);
  ASSERT_EQ(Word(a, 16), 120u);
  SharedMemoryMgr c(name.c_str(), 0xFFFFFFFFu, 0);
  ASSERT_TRUE(c.IsValid());
  EXPECT_EQ(Word(a, 16), 120u);
  EXPECT_EQ(Fault(a), "");
  void* p = c.Alloc(10);
  EXPECT_EQ(c.OffsetOf(p), total - 22 + 8);
  EXPECT_EQ(static_cast<unsigned char*>(low)[87], 0x77);
  c.Free(p);
  a.Free(low);
  ExpectAllFree(a);
}

TEST(SharedMemoryMgrTest, AbandonResetRecoverInOneProcess) {
  const std::string name = UniqueName("recover");
  SharedMemoryMgr a(name.c_str(), 1, 16);
  SharedMemoryMgr b(name.c_str(), 0xFFFFFFFFu, 0);
  void* p = a.Alloc(50);
  ASSERT_NE(p, nullptr);
  b.Abandon();
  EXPECT_EQ(a.Alloc(10), nullptr);
  a.Free(p);  // does nothing while abandoned
  EXPECT_EQ(Word(a, a.OffsetOf(p) - 8), 0u);
  // SafeAlloc needs no lock; Reset makes everything free and one attacher.
  EXPECT_NE(b.SafeAlloc(10), nullptr);
  b.Reset();
  ExpectAllFree(a);
  EXPECT_EQ(AttachCount(a), 1);
  b.Recover();
  void* q = a.Alloc(10);
  EXPECT_NE(q, nullptr);
  b.Free(b.GetPtr(a.OffsetOf(q)));
  ExpectAllFree(a);
}

// Four processes allocate and free at random in one block, each checking
// its pieces' patterns and, under the block's lock, the whole block.
TEST(SharedMemoryMgrTest, FourProcessesShareOneBlock) {
  const std::string name = UniqueName("stress");
  SharedMemoryMgr mgr(name.c_str(), 64 * 1024, 16);
  ASSERT_TRUE(mgr.IsValid());
  std::vector<ChildProcess> children;
  for (int i = 0; i < 4; ++i) {
    children.push_back(StartHelper({"shm-stress", name, "2000", std::to_string(11 + i * 40)}));
    ASSERT_TRUE(children.back().Started());
  }
  for (ChildProcess& child : children) EXPECT_EQ(child.Wait(120000), 0);
  ExpectAllFree(mgr);
  EXPECT_EQ(Word(mgr, 24), 64u * 1024 - 20);
  EXPECT_EQ(AttachCount(mgr), 1);
}

// Reads the lock's entry count from its shared state block.
class LockWatcher {
 public:
  explicit LockWatcher(const std::string& name) {
    mapping_ = OpenFileMappingA(FILE_MAP_WRITE, FALSE, (name + "_mem_mutex_mmf").c_str());
    if (mapping_ != nullptr) view_ = MapViewOfFile(mapping_, FILE_MAP_WRITE, 0, 0, 0);
  }
  ~LockWatcher() {
    if (view_ != nullptr) UnmapViewOfFile(view_);
    if (mapping_ != nullptr) CloseHandle(mapping_);
  }
  bool Valid() const { return view_ != nullptr; }
  long Count() const { return std::atomic_ref<LONG>(static_cast<LONG*>(view_)[2]).load(); }

 private:
  HANDLE mapping_ = nullptr;
  void* view_ = nullptr;
};

// Whether an open of a named object found it: `h` is what the open gave.
bool Found(HANDLE h) {
  if (h == nullptr) return GetLastError() != ERROR_FILE_NOT_FOUND;
  CloseHandle(h);
  return true;
}

// A process dies holding the lock, half-way through changing the block.
// A process waiting for the lock leaves with nothing when the lock is
// abandoned; the survivors reset the block and recover the lock and work
// on; and once everybody has gone, no name is left.
TEST(SharedMemoryMgrTest, SurvivorsRecoverFromAProcessKilledHoldingTheLock) {
  const std::string name = UniqueName("killed");
  const std::string ready = ScratchPath("shm-ready");
  const std::string go = ScratchPath("shm-go");
  const std::string abandoned = ScratchPath("shm-abandoned");
  const std::string holderReady = ScratchPath("shm-holder");
  {
    SharedMemoryMgr mgr(name.c_str(), 1, 16);
    ASSERT_TRUE(mgr.IsValid());
    void* mine = mgr.Alloc(20);
    ASSERT_NE(mine, nullptr);

    ChildProcess survivor = StartHelper({"shm-survive", name, ready, go, abandoned, "7"});
    ASSERT_TRUE(WaitForFile(ready, 30000));
    ChildProcess holder = StartHelper({"shm-hold-lock", name, holderReady});
    ASSERT_TRUE(WaitForFile(holderReady, 30000));
    LockWatcher watcher(name);
    ASSERT_TRUE(watcher.Valid());
    std::FILE* f = std::fopen(go.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fclose(f);
    // The survivor now waits inside Alloc: two entries on the lock.
    for (int i = 0; i < 3000 && watcher.Count() < 2; ++i) Sleep(10);
    ASSERT_EQ(watcher.Count(), 2);

    TQLiteMutex supervisor((name + "_mem_mutex").c_str());
    EXPECT_FALSE(supervisor.OwnerIsGone());
    holder.Kill();
    EXPECT_EQ(holder.Wait(30000), ChildProcess::kKilled);
    EXPECT_TRUE(supervisor.OwnerIsGone());

    mgr.Abandon();
    ASSERT_TRUE(WaitForFile(abandoned, 30000)) << "the waiter left Alloc";
    EXPECT_NE(Fault(mgr), "") << "the dead process left the block half-changed";
    mgr.Reset();
    ExpectAllFree(mgr);
    mgr.Recover();

    // Everybody works again; the survivor frees all it takes.
    std::vector<void*> pieces;
    for (unsigned n = 0; n < 200; n += 7) pieces.push_back(mgr.Alloc(n));
    for (void* p : pieces) EXPECT_NE(p, nullptr);
    for (void* p : pieces) mgr.Free(p);
    EXPECT_EQ(survivor.Wait(60000), 0);
    ExpectAllFree(mgr);
  }
  EXPECT_FALSE(Found(OpenFileMappingA(FILE_MAP_WRITE, FALSE, name.c_str())));
  EXPECT_FALSE(Found(OpenFileMappingA(FILE_MAP_WRITE, FALSE, (name + "_mem_mutex_mmf").c_str())));
  EXPECT_FALSE(Found(OpenEventA(EVENT_ALL_ACCESS, FALSE, (name + "_mem_mutex").c_str())));
  for (const std::string& path : {ready, go, abandoned, holderReady}) std::remove(path.c_str());
}

}  // namespace
