// SharedMemoryMgr.h: one block of named shared memory with a heap inside it,
// shared by several processes.
//
// A process creates the block under a name and a size; others attach to it
// by the name; all of them allocate and free pieces of it. Every process maps
// the block at its own address, so pieces travel between processes as
// offsets from the block's start (OffsetOf, GetPtr), never as pointers.
//
// The allocator is first fit over boundary-tagged blocks; its header, tags
// and circular free list all live inside the block, so any attached process
// can allocate or free (see ipc/internal/shared_free_list.h for the byte
// layout). The block's header:
//
//   0  version, 16-bit: 0x0100 (byte 0 MINOR_VERSION, byte 1 MAJOR_VERSION)
//   2  attachCount, 16-bit      4  creatorProcessId      8  totalSize
//   12 minRemainder             16 head of the free list
//   20 the blocks
//
// A request of n bytes takes a block of n + 12 bytes (8 of header, 4 of
// trailer), neither rounded nor aligned, carved from the upper end of the
// first free block that holds it, so a large free block keeps its place in
// the list while it shrinks. Freeing merges with both neighbours in constant
// time.
//
// Small blocks. A block in the free list needs 24 bytes (state, size, two
// links, self word, tail state), yet a piece of n < 12 bytes makes a block
// under 24. Two rules keep the list sound whatever the sizes:
//   - a free block is split only when the part left free has at least 24
//     bytes: the split threshold is max(minRemainder, 24). The header keeps
//     the caller's minRemainder; any value, even one below 16, is safe.
//   - a block under 24 bytes freed between two allocated neighbours stays
//     out of the list as a "fragment" (state 2 | size << 8 in both tags)
//     until either neighbour is freed and absorbs it.
//
// Named objects for a block named N: the mapping N, and the TQLiteMutex
// N + "_mem_mutex" (its event under that name, its state block under
// N + "_mem_mutex_mmf"). The block lives while any process holds its
// mapping open.
//
// Attaching does not move the list's head: head always names a free block
// (or is 0), whichever blocks are in use when another process attaches.
//
// Recovery. A process that dies while holding the lock leaves it held. The
// survivors (see TQLiteMutex::OwnerIsGone) call Abandon, so that every
// waiter leaves and Alloc and Free do nothing; then, once no other process
// works on the block, Reset (every piece is gone: the whole block is free
// again) and Recover, after which Alloc and Free work again for everybody.
//
// Copies. A manager owns its lock, mapping and view and releases them once,
// so it cannot be copied; another manager attached by the name shares the
// same block.
//
// Failures: nothing throws. Create and Attach report false and leave the
// manager detached; Alloc reports null; Free of a pointer that is not a
// piece of this block (or a second free of the same piece) is ignored, as
// far as the tags can tell.
//
// Thread-safety: Alloc, Free, Create, Attach and Detach hold the block's
// lock, which excludes threads of every attached process. SafeAlloc,
// SafeFree and Reset take no lock: use them only while everybody else is
// excluded (for instance while recovering after Abandon). One manager
// object may be used by several threads only for Alloc, Free and the
// queries; Create, Attach, Detach and Reset need it to themselves.
#ifndef TQRTL_IPC_SHAREDMEMORYMGR_H_
#define TQRTL_IPC_SHAREDMEMORYMGR_H_

#include "tqrtl/core/TQLiteMutex.h"
#include "tqrtl/platform/win32.h"
#include "tqrtl/strings/TQString.h"

class SharedFreeList;

class TQRTL_API SharedMemoryMgr {
 public:
  // The block layout's version: byte 1 and byte 0 of the version field.
  static const unsigned char MAJOR_VERSION;  // 1
  static const unsigned char MINOR_VERSION;  // 0
  // A size offered to callers for their pieces; nothing here reads it.
  static const unsigned int MINIMUM_ALLOCATION;  // 128

  // Not attached: empty name, no lock, mapping or view.
  SharedMemoryMgr();
  // Attach(name) when size is 0xFFFFFFFF, else Create(name, size,
  // minRemainder); check IsValid() for the result.
  SharedMemoryMgr(TQString const& name, unsigned int size, unsigned int minRemainder);
  // Detach() if attached.
  ~SharedMemoryMgr();
  SharedMemoryMgr(const SharedMemoryMgr&) = delete;
  SharedMemoryMgr& operator=(const SharedMemoryMgr&) = delete;

  // Create: makes a new block named `name` of `size` bytes rounded up to a
  // multiple of the memory page size (header included), with one free block
  // of totalSize - 20 bytes at offset 20, and attaches to it. Never joins an
  // existing block. Returns false, detached, when the name already has a
  // mapping, when size is 0 or rounds beyond 32 bits, when the mapping or
  // its view cannot be made, or when the block's lock cannot be taken (not
  // made, or abandoned). A manager that was attached detaches first.
  bool Create(TQString const& name, unsigned int size, unsigned int minRemainder);
  // Attach: joins the existing block `name` and raises its attachCount.
  // Returns false, detached, when no mapping of that name exists, when the
  // view cannot be made, when its version is not 0x0100, when its totalSize
  // is not a multiple of the page size large enough for the header and one
  // free block, or when the lock cannot be taken. A manager that was
  // attached detaches first. The header's totalSize is trusted: the block
  // is shared only with processes of the same user.
  bool Attach(TQString const& name);
  // Detach: lowers attachCount (unless the lock is abandoned: Reset sets
  // it anew), unmaps the view, closes the mapping and the lock. Pointers
  // into the block are dead afterwards. Does nothing when not attached.
  void Detach();

  // Alloc: a piece of n bytes under the lock; null when no free block holds
  // it, when the lock is abandoned, or when not attached.
  void* Alloc(unsigned int n) const;
  // Free: gives a piece back under the lock. Null, pieces of no block of
  // this one, a second free, an abandoned lock: nothing happens.
  void Free(void* p) const;
  // SafeAlloc, SafeFree: the same without taking the lock.
  // REQUIRES: every other user of the block is excluded.
  void* SafeAlloc(unsigned int n) const;
  void SafeFree(void* p) const;
  // Reset: the whole block becomes one free block again and attachCount 1.
  // Takes no lock. REQUIRES: every other user of the block is excluded.
  void Reset();
  // Abandon, Recover: those of the block's lock (see TQLiteMutex).
  void Abandon() const;
  void Recover() const;

  // OffsetOf: p minus the block's start in this process.
  unsigned int OffsetOf(void* p) const;
  // GetPtr: the block's start in this process plus offset; null when not
  // attached.
  void* GetPtr(unsigned int offset) const;
  // Name: the block's name; empty when not attached.
  TQString Name();
  // IsValid: a mapping is held and its view is mapped.
  bool IsValid() const;

 private:
  TQLiteMutex::WaitStatus Acquire() const;
  void Release() const;
  void Init(unsigned int size, unsigned int minRemainder);
  void Init();
  void CreateFreeList(bool layOut);
  bool MMFCreate(unsigned int size);
  bool MMFOpen();
  bool MMFMap();
  void MMFDestroy();
  // Makes and enters the lock of `name`; false (no lock left) when it
  // cannot be entered.
  bool LockNew(TQString const& name);
  // Leaves and destroys the lock.
  void LockDrop();

  TQString m_name;
  TQLiteMutex* m_mutex;
  HANDLE m_mapping;
  void* m_header;
  SharedFreeList* m_free_list;
};

#endif  // TQRTL_IPC_SHAREDMEMORYMGR_H_
