// shared_free_list.h: the allocator inside a shared memory block, over the
// block's raw bytes.
//
// SharedMemoryMgr keeps one SharedFreeList per attached process: a view of
// the block at this process's address. Everything the allocator needs lives
// in the block itself (header, boundary tags, the circular free list), so any
// process attached to it can allocate and free. Offsets, never addresses,
// are stored in the block. Not installed; not for use outside the library
// and its tests.
//
// The block (all words 32-bit little-endian, offsets from the block start):
//
//   0  version (16-bit, 0x0100)   2  attachCount (16-bit)
//   4  creatorProcessId           8  totalSize       12  minRemainder
//   16 head: offset of some listed free block, 0 when none is listed
//   20 the blocks, back to back up to totalSize
//
// A block: state at 0, size (the whole block) at 4, tailState at size - 4,
// always equal to state. Three kinds:
//
//   allocated (state 0): the caller's bytes from 8 to size - 4; size >= 12.
//   free (state 1): next at 8, prev at 12 (offsets in the circular free
//     list; a list of one points to itself), self (its own offset) at
//     size - 8; size >= 24, because those five words must not overlap.
//   fragment (state kFragmentMark | size << 8): a freed block of 12 to 23
//     bytes. It is too small to carry links and a self word, so it stays
//     out of the free list; its state words carry its size so that either
//     neighbour can absorb it when that neighbour is freed. The space comes
//     back the moment a neighbour is freed.
//
// Two rules keep the free list sound whatever the sizes asked for and
// whatever minRemainder says:
//   - A free block is split only when the part left free has at least
//     kMinFreeBlock (24) bytes, i.e. the split threshold is
//     max(minRemainder, 24). The header keeps the minRemainder the creator
//     gave; a smaller one (the 16 of a bare header-plus-links) never makes
//     a remainder that could not hold its own tags.
//   - Freeing merges with both neighbours (free or fragment), so no two
//     non-allocated blocks are ever adjacent, and a fragment's neighbours are
//     always allocated (or the ends of the block).
//
// Thread-safety: none. Callers exclude every other user of the block (the
// block's TQLiteMutex) around each call.
#ifndef TQRTL_IPC_INTERNAL_SHARED_FREE_LIST_H_
#define TQRTL_IPC_INTERNAL_SHARED_FREE_LIST_H_

#include <cstdint>

#include "tqrtl/platform/win32.h"
#include "tqrtl/strings/TQString.h"

class TQRTL_API SharedFreeList {
 public:
  // Offsets of the header fields.
  static constexpr uint32_t kVersionOffset = 0;
  static constexpr uint32_t kAttachCountOffset = 2;
  static constexpr uint32_t kCreatorOffset = 4;
  static constexpr uint32_t kTotalSizeOffset = 8;
  static constexpr uint32_t kMinRemainderOffset = 12;
  static constexpr uint32_t kHeadOffset = 16;
  static constexpr uint32_t kHeaderSize = 20;

  static constexpr uint16_t kVersion = 0x0100;
  static constexpr uint32_t kStateAllocated = 0;
  static constexpr uint32_t kStateFree = 1;
  static constexpr uint32_t kFragmentMark = 2;
  // Header (8) and trailer (4) of every block.
  static constexpr uint32_t kOverhead = 12;
  // The smallest block that can be in the free list.
  static constexpr uint32_t kMinFreeBlock = 24;
  // The smallest block that can exist.
  static constexpr uint32_t kMinBlock = kOverhead;

  // WriteHeader: writes a fresh header at `base` (version, attachCount 1,
  // the creator, totalSize, minRemainder, head 0). Lays out no block: call
  // Initialise on a view afterwards.
  // REQUIRES: totalSize >= kHeaderSize + kMinFreeBlock.
  static void WriteHeader(void* base, uint32_t totalSize, uint32_t minRemainder,
                          uint32_t creatorProcessId);

  // A view of the block at `base`; reads totalSize and minRemainder from its
  // header and touches no block. REQUIRES: the header is written.
  explicit SharedFreeList(void* base);

  // Initialise: the whole block becomes one free block at offset 20 of
  // totalSize - 20 bytes, alone in the list, and head = 20.
  void Initialise();

  // Alloc: first fit from head along next for a block of n + 12 bytes,
  // carved from the upper end of the free block that fits (the free block
  // keeps its place and links) or, when the rest would be under the split
  // threshold, the whole free block (the caller then gets its spare bytes).
  // Returns the caller's first byte, or null when nothing fits (or the list
  // is visibly corrupt: the walk is bounded, and no offset read from the
  // block sends a read or write outside it).
  void* Alloc(uint32_t n);

  // Free: releases the allocated block whose first caller byte is `p` and
  // merges it with free neighbours (constant time through the tags). A null
  // `p` is ignored (true). A `p` that is not the start of an allocated block
  // of this block (a pointer elsewhere, a second free of the same piece) is
  // refused with false and nothing is written, as far as the tags can tell;
  // so is a free whose neighbours or links lie outside the block.
  bool Free(void* p);

  // Check: walks every block and the free list and returns true when the
  // block is consistent: the header's version and size; every block's size
  // (>= 12, >= 24 when free, 12..23 for a fragment) and tags (state ==
  // tailState, a known state, a free block's self word); the blocks tile
  // the area exactly; no two non-allocated blocks touch; head is 0 exactly
  // when no block is free, else a free block; the list is circular with
  // next and prev agreeing, and holds every free block exactly once. On
  // false, `fault` (when not null) describes the first fault found. Reads
  // only; safe on a corrupt block.
  bool Check(TQString* fault) const;

  uint32_t TotalSize() const { return static_cast<uint32_t>(end_ - base_); }
  uint32_t MinRemainder() const { return minRemainder_; }
  uint32_t OffsetOf(const void* p) const;

 private:
  uint32_t Head() const;
  void SetHead(uint32_t offset);
  uint32_t Word(uint32_t offset) const;
  void SetWord(uint32_t offset, uint32_t value);
  // LinksInRange: the free block's next and prev lie where a listed block
  // can start.
  bool LinksInRange(uint32_t block) const;
  void Unlink(uint32_t block);

  unsigned char* base_;
  unsigned char* first_;
  unsigned char* end_;
  uint32_t minRemainder_;
  unsigned char* head_;
};

#endif  // TQRTL_IPC_INTERNAL_SHARED_FREE_LIST_H_
