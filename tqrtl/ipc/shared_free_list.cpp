// shared_free_list.cpp: the allocator inside a shared memory block (see
// ipc/internal/shared_free_list.h for the layout and its rules).
//
// Blocks start at any byte offset, so every word is read and written with
// memcpy. Free and Alloc read and check everything they need before they
// write anything, so a refused call leaves the block as it was.
#include "tqrtl/ipc/internal/shared_free_list.h"

#include <algorithm>
#include <bit>
#include <cstdio>
#include <cstring>
#include <vector>

static_assert(std::endian::native == std::endian::little,
              "the shared block is little-endian and read with plain copies");

namespace {

constexpr uint32_t kFragmentMin = SharedFreeList::kMinBlock;
constexpr uint32_t kFragmentMax = SharedFreeList::kMinFreeBlock - 1;

// The state word of a fragment of `size` bytes.
constexpr uint32_t FragmentState(uint32_t size) {
  return SharedFreeList::kFragmentMark | size << 8;
}

// The size of the fragment whose state word is `state`, or 0 when `state`
// is not a fragment's.
constexpr uint32_t FragmentSize(uint32_t state) {
  if ((state & 0xFF) != SharedFreeList::kFragmentMark) return 0;
  const uint32_t size = state >> 8;
  return size >= kFragmentMin && size <= kFragmentMax ? size : 0;
}

}  // namespace

void SharedFreeList::WriteHeader(void* base, uint32_t totalSize, uint32_t minRemainder,
                                 uint32_t creatorProcessId) {
  auto* bytes = static_cast<unsigned char*>(base);
  const uint16_t version = kVersion;
  const uint16_t attachCount = 1;
  const uint32_t head = 0;
  std::memcpy(bytes + kVersionOffset, &version, 2);
  std::memcpy(bytes + kAttachCountOffset, &attachCount, 2);
  std::memcpy(bytes + kCreatorOffset, &creatorProcessId, 4);
  std::memcpy(bytes + kTotalSizeOffset, &totalSize, 4);
  std::memcpy(bytes + kMinRemainderOffset, &minRemainder, 4);
  std::memcpy(bytes + kHeadOffset, &head, 4);
}

SharedFreeList::SharedFreeList(void* base)
    : base_(static_cast<unsigned char*>(base)),
      first_(base_ + kHeaderSize),
      end_(base_ + Word(kTotalSizeOffset)),
      minRemainder_(Word(kMinRemainderOffset)),
      head_(base_ + kHeadOffset) {}

uint32_t SharedFreeList::Word(uint32_t offset) const {
  uint32_t value;
  std::memcpy(&value, base_ + offset, 4);
  return value;
}

void SharedFreeList::SetWord(uint32_t offset, uint32_t value) {
  std::memcpy(base_ + offset, &value, 4);
}

uint32_t SharedFreeList::Head() const {
  uint32_t value;
  std::memcpy(&value, head_, 4);
  return value;
}

void SharedFreeList::SetHead(uint32_t offset) { std::memcpy(head_, &offset, 4); }

uint32_t SharedFreeList::OffsetOf(const void* p) const {
  return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(p) - reinterpret_cast<uintptr_t>(base_));
}

void SharedFreeList::Initialise() {
  const uint32_t first = kHeaderSize;
  const uint32_t size = TotalSize() - first;
  SetWord(first, kStateFree);
  SetWord(first + 4, size);
  SetWord(first + 8, first);
  SetWord(first + 12, first);
  SetWord(first + size - 8, first);
  SetWord(first + size - 4, kStateFree);
  SetHead(first);
}

void SharedFreeList::Unlink(uint32_t block) {
  const uint32_t prev = Word(block + 12);
  if (prev == block) {
    SetHead(0);
    return;
  }
  const uint32_t next = Word(block + 8);
  SetWord(prev + 8, next);
  SetWord(next + 12, prev);
  SetHead(prev);
}

bool SharedFreeList::LinksInRange(uint32_t block) const {
  const uint32_t total = TotalSize();
  const uint32_t next = Word(block + 8);
  const uint32_t prev = Word(block + 12);
  return next >= kHeaderSize && next <= total - kMinFreeBlock && prev >= kHeaderSize &&
         prev <= total - kMinFreeBlock;
}

void* SharedFreeList::Alloc(uint32_t n) {
  const uint32_t total = TotalSize();
  const uint32_t head = Head();
  if (head == 0) return nullptr;
  // A sound list holds at most one entry per kMinFreeBlock bytes; a walk
  // longer than that is going round a corrupt list.
  const uint32_t maxSteps = total / kMinFreeBlock + 1;
  uint32_t block = head;
  uint32_t size = 0;
  for (uint32_t steps = 0;; ++steps) {
    if (block < kHeaderSize || block > total - kMinFreeBlock || steps > maxSteps) return nullptr;
    size = Word(block + 4);
    if (size < kMinFreeBlock || size > total - block) return nullptr;
    if (size - kOverhead >= n) break;
    block = Word(block + 8);
    if (block == head) return nullptr;
  }

  const uint32_t remainder = size - kOverhead - n;
  const uint32_t threshold = std::max(minRemainder_, kMinFreeBlock);
  uint32_t taken;
  if (remainder >= threshold) {
    // The free block keeps its offset and links and shrinks to `remainder`;
    // the piece is its upper end.
    SetWord(block + 4, remainder);
    SetWord(block + remainder - 8, block);
    SetWord(block + remainder - 4, kStateFree);
    taken = block + remainder;
    size = n + kOverhead;
    SetWord(taken + 4, size);
  } else {
    if (!LinksInRange(block)) return nullptr;
    Unlink(block);
    taken = block;
  }
  SetWord(taken, kStateAllocated);
  SetWord(taken + size - 4, kStateAllocated);
  return base_ + taken + 8;
}

bool SharedFreeList::Free(void* p) {
  if (p == nullptr) return true;
  const uint32_t total = TotalSize();
  const uintptr_t address = reinterpret_cast<uintptr_t>(p);
  const uintptr_t lowest = reinterpret_cast<uintptr_t>(first_) + 8;
  if (address < lowest || address - lowest > total - kHeaderSize - kMinBlock) return false;
  const uint32_t block = OffsetOf(p) - 8;
  const uint32_t size = Word(block + 4);
  if (Word(block) != kStateAllocated || size < kMinBlock || size > total - block ||
      Word(block + size - 4) != kStateAllocated) {
    return false;
  }

  // The merged block is [start, stop). A listed neighbour is remembered so
  // that its place in the list can be reused or given up.
  uint32_t start = block;
  uint32_t stop = block + size;
  uint32_t listedLeft = 0;
  uint32_t listedRight = 0;
  if (block > kHeaderSize) {
    const uint32_t leftTail = Word(block - 4);
    if (leftTail == kStateFree) {
      listedLeft = Word(block - 8);
      if (block < kHeaderSize + kMinFreeBlock || listedLeft < kHeaderSize ||
          listedLeft > block - kMinFreeBlock || Word(listedLeft) != kStateFree ||
          Word(listedLeft + 4) != block - listedLeft) {
        return false;
      }
      start = listedLeft;
    } else if (const uint32_t fragment = FragmentSize(leftTail); fragment != 0) {
      if (block - kHeaderSize < fragment || Word(block - fragment) != leftTail) return false;
      start = block - fragment;
    }
  }
  if (stop < total) {
    if (total - stop < kMinBlock) return false;
    const uint32_t rightState = Word(stop);
    if (rightState == kStateFree) {
      const uint32_t rightSize = Word(stop + 4);
      if (rightSize < kMinFreeBlock || rightSize > total - stop) return false;
      listedRight = stop;
      stop += rightSize;
    } else if (const uint32_t fragment = FragmentSize(rightState); fragment != 0) {
      if (fragment > total - stop) return false;
      stop += fragment;
    }
  }

  // The list links about to be followed must stay inside the block, or a
  // corrupt block would send the writes below elsewhere.
  const uint32_t head = Head();
  if (listedRight != 0 && !LinksInRange(listedRight)) return false;
  if (listedLeft == 0 && listedRight == 0 && head != 0 &&
      (head < kHeaderSize || head > total - kMinFreeBlock || !LinksInRange(head))) {
    return false;
  }

  const uint32_t merged = stop - start;
  if (merged < kMinFreeBlock) {
    // Alone and too small for the list: a fragment until a neighbour frees.
    SetWord(start, FragmentState(merged));
    SetWord(stop - 4, FragmentState(merged));
    return true;
  }

  // The freed block's header may now lie inside a larger free block; it
  // must not read as allocated any more, or a second free of the same
  // piece would be taken for a first. Every byte of the mark is nonzero,
  // so the word stays nonzero even where the merged block's links (written
  // below) cover part of it.
  if (start != block) SetWord(block, 0xFFFFFFFFu);

  if (listedLeft != 0) {
    // The left block keeps its place and links and grows; a listed right
    // block leaves the list.
    if (listedRight != 0) Unlink(listedRight);
  } else if (listedRight != 0) {
    // The merged block takes the right block's place in the list. Its links
    // are read before the merged header can overwrite them.
    const uint32_t next = Word(listedRight + 8);
    const uint32_t prev = Word(listedRight + 12);
    if (prev == listedRight) {
      SetWord(start + 8, start);
      SetWord(start + 12, start);
    } else {
      SetWord(prev + 8, start);
      SetWord(next + 12, start);
      SetWord(start + 8, next);
      SetWord(start + 12, prev);
    }
    if (head == listedRight) SetHead(start);
  } else {
    // Inserted just before head, and becomes head.
    if (head == 0) {
      SetWord(start + 8, start);
      SetWord(start + 12, start);
    } else {
      const uint32_t prev = Word(head + 12);
      SetWord(prev + 8, start);
      SetWord(head + 12, start);
      SetWord(start + 8, head);
      SetWord(start + 12, prev);
    }
    SetHead(start);
  }
  SetWord(start, kStateFree);
  SetWord(start + 4, merged);
  SetWord(stop - 8, start);
  SetWord(stop - 4, kStateFree);
  return true;
}

bool SharedFreeList::Check(TQString* fault) const {
  char text[160];
  auto fail = [&](const char* format, auto... values) {
    if (fault != nullptr) {
      std::snprintf(text, sizeof text, format, values...);
      *fault = text;
    }
    return false;
  };

  uint16_t version;
  std::memcpy(&version, base_ + kVersionOffset, 2);
  if (version != kVersion) return fail("version is 0x%04X", unsigned{version});
  const uint32_t total = TotalSize();
  if (total < kHeaderSize + kMinFreeBlock) return fail("totalSize %u is too small", total);

  // Every block, in address order.
  std::vector<uint32_t> freeBlocks;
  uint32_t previousState = kStateAllocated;
  uint32_t block = kHeaderSize;
  while (block < total) {
    if (total - block < kMinBlock) return fail("%u bytes left over at %u", total - block, block);
    const uint32_t state = Word(block);
    const uint32_t size = Word(block + 4);
    if (size < kMinBlock || size > total - block) {
      return fail("block at %u has size %u (%u bytes left)", block, size, total - block);
    }
    const uint32_t tail = Word(block + size - 4);
    if (tail != state) return fail("block at %u: state %u, tailState %u", block, state, tail);
    if (state == kStateFree) {
      if (size < kMinFreeBlock) return fail("free block at %u has size %u", block, size);
      const uint32_t self = Word(block + size - 8);
      if (self != block) return fail("free block at %u has self word %u", block, self);
      freeBlocks.push_back(block);
    } else if (state != kStateAllocated) {
      const uint32_t fragment = FragmentSize(state);
      if (fragment == 0) return fail("block at %u has state 0x%X", block, state);
      if (fragment != size) {
        return fail("fragment at %u has size %u, its state says %u", block, size, fragment);
      }
    }
    if (state != kStateAllocated && previousState != kStateAllocated) {
      return fail("block at %u is not allocated and neither is the block before it", block);
    }
    previousState = state;
    block += size;
  }

  // The free list.
  const uint32_t head = Head();
  if (freeBlocks.empty()) {
    if (head != 0) return fail("no block is free but head is %u", head);
    return true;
  }
  if (head == 0) return fail("head is 0 but %zu blocks are free", freeBlocks.size());
  std::vector<bool> seen(freeBlocks.size(), false);
  uint32_t current = head;
  for (size_t count = 0;; ++count) {
    const auto found = std::lower_bound(freeBlocks.begin(), freeBlocks.end(), current);
    if (found == freeBlocks.end() || *found != current) {
      return fail("free list entry %zu (%u) is not a free block", count, current);
    }
    const size_t index = static_cast<size_t>(found - freeBlocks.begin());
    if (seen[index]) return fail("free block at %u is in the list twice", current);
    seen[index] = true;
    const uint32_t next = Word(current + 8);
    if (next < kHeaderSize || next > total - kMinFreeBlock || Word(next + 12) != current) {
      return fail("free block at %u: next %u does not point back", current, next);
    }
    current = next;
    if (current == head) break;
  }
  for (size_t i = 0; i < freeBlocks.size(); ++i) {
    if (!seen[i]) return fail("free block at %u is not in the list", freeBlocks[i]);
  }
  return true;
}
