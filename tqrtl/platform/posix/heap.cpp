// Heaps: HeapCreate, HeapDestroy, HeapAlloc, HeapReAlloc, HeapFree,
// HeapSize and GetProcessHeap.
//
// A heap is a lock and a list of blocks taken from the C library's
// allocator; each block starts with a 32-byte header (list links, size,
// owner), so blocks stay 16-byte aligned as on 64-bit Windows. HeapDestroy
// frees every block still in the list. A heap made with a maximum size is
// bounded: the sizes of its live blocks, each rounded up to 16 bytes plus
// 16 bytes of bookkeeping, never exceed the maximum rounded up to a page. A
// maximum of 0 makes a growable heap, limited only by memory.
//
// Heap objects are never given back to the system: a destroyed heap is
// marked dead and kept for reuse, so a call on a destroyed heap's handle
// fails cleanly with ERROR_INVALID_HANDLE instead of touching freed memory.
//
// Every heap serialises its own calls (HEAP_NO_SERIALIZE is accepted and
// ignored). HEAP_GENERATE_EXCEPTIONS is ignored: failures return null.
#include <malloc.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <new>

#include "tqrtl/platform/posix/fork.h"
#include "tqrtl/platform/posix/internal.h"

namespace tqrtl::posix {
namespace {

constexpr std::uint32_t kLiveHeap = 0x48656170;  // "Heap"
constexpr std::uint32_t kDeadHeap = 0x44656164;  // "Dead"
constexpr size_t kBookkeeping = 16;
// Larger requests fail at once: the size would overflow the accounting.
constexpr size_t kLargestBlock = SIZE_MAX / 4;

struct Heap;

struct alignas(16) Block {
  Block* prev;
  Block* next;
  size_t size;  // the size asked for
  Heap* heap;
};
static_assert(sizeof(Block) == 32);

struct Heap {
  std::atomic<std::uint32_t> magic{kLiveHeap};
  std::mutex lock;
  size_t maximum = 0;  // 0: growable
  size_t used = 0;     // accounted bytes of the live blocks
  Block list{};        // circular list head
  Heap* next_free = nullptr;

  void Init(size_t max) {
    maximum = max;
    used = 0;
    list.prev = list.next = &list;
    magic.store(kLiveHeap, std::memory_order_release);
  }
};

size_t Accounted(size_t size) { return ((size + 15) & ~size_t{15}) + kBookkeeping; }

std::mutex g_heaps_lock;
Heap* g_free_heaps = nullptr;

Heap* ProcessHeap() {
  static Heap* heap = [] {
    Heap* h = new Heap;
    h->Init(0);
    return h;
  }();
  return heap;
}

// Live: the heap behind `handle`, or null with ERROR_INVALID_HANDLE.
Heap* Live(HANDLE handle) {
  Heap* heap = static_cast<Heap*>(handle);
  if (heap == nullptr || heap->magic.load(std::memory_order_acquire) != kLiveHeap) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  return heap;
}

Block* BlockOf(void* memory) { return static_cast<Block*>(memory) - 1; }

// Reserve: accounts `size` more bytes in a bounded heap. Lock held.
bool Reserve(Heap* heap, size_t old_size, size_t new_size) {
  if (heap->maximum == 0) return true;
  const size_t used = heap->used - (old_size == SIZE_MAX ? 0 : Accounted(old_size));
  if (Accounted(new_size) > heap->maximum || used > heap->maximum - Accounted(new_size))
    return false;
  heap->used = used + Accounted(new_size);
  return true;
}

void Link(Heap* heap, Block* block) {
  block->heap = heap;
  block->prev = &heap->list;
  block->next = heap->list.next;
  heap->list.next->prev = block;
  heap->list.next = block;
}

void Unlink(Block* block) {
  block->prev->next = block->next;
  block->next->prev = block->prev;
}

size_t Capacity(Block* block) { return malloc_usable_size(block) - sizeof(Block); }

}  // namespace

// The process heap is the one the library and the C run-time names use; a
// heap of HeapCreate is its creator's to keep quiet across a fork.
void HeapsForkPrepare() {
  g_heaps_lock.lock();
  ProcessHeap()->lock.lock();
}

void HeapsForkRelease() {
  ProcessHeap()->lock.unlock();
  g_heaps_lock.unlock();
}

}  // namespace tqrtl::posix

using tqrtl::posix::Block;
using tqrtl::posix::Heap;

extern "C" {

HANDLE WINAPI HeapCreate(DWORD options, SIZE_T initialSize, SIZE_T maximumSize) {
  (void)options;
  size_t maximum = 0;
  if (maximumSize != 0) {
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    maximum = maximumSize < initialSize ? initialSize : maximumSize;
    if (maximum > tqrtl::posix::kLargestBlock) {
      SetLastError(ERROR_NOT_ENOUGH_MEMORY);
      return nullptr;
    }
    maximum = (maximum + page - 1) / page * page;
  }
  Heap* heap;
  {
    std::lock_guard<std::mutex> lock(tqrtl::posix::g_heaps_lock);
    heap = tqrtl::posix::g_free_heaps;
    if (heap != nullptr) tqrtl::posix::g_free_heaps = heap->next_free;
  }
  if (heap == nullptr) heap = new (std::nothrow) Heap;
  if (heap == nullptr) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  heap->Init(maximum);
  return heap;
}

BOOL WINAPI HeapDestroy(HANDLE handle) {
  Heap* heap = tqrtl::posix::Live(handle);
  if (heap == nullptr) return FALSE;
  if (heap == tqrtl::posix::ProcessHeap()) {
    SetLastError(ERROR_INVALID_HANDLE);  // the process heap lives as long as the process
    return FALSE;
  }
  {
    std::lock_guard<std::mutex> lock(heap->lock);
    std::uint32_t live = tqrtl::posix::kLiveHeap;
    if (!heap->magic.compare_exchange_strong(live, tqrtl::posix::kDeadHeap)) {
      SetLastError(ERROR_INVALID_HANDLE);
      return FALSE;
    }
    for (Block* block = heap->list.next; block != &heap->list;) {
      Block* next = block->next;
      tqrtl::posix::Sys().free(block);
      block = next;
    }
    heap->list.prev = heap->list.next = &heap->list;
    heap->used = 0;
  }
  std::lock_guard<std::mutex> lock(tqrtl::posix::g_heaps_lock);
  heap->next_free = tqrtl::posix::g_free_heaps;
  tqrtl::posix::g_free_heaps = heap;
  return TRUE;
}

HANDLE WINAPI GetProcessHeap(void) { return tqrtl::posix::ProcessHeap(); }

LPVOID WINAPI HeapAlloc(HANDLE handle, DWORD flags, SIZE_T bytes) {
  Heap* heap = tqrtl::posix::Live(handle);
  if (heap == nullptr) return nullptr;
  if (bytes > tqrtl::posix::kLargestBlock) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  std::lock_guard<std::mutex> lock(heap->lock);
  if (!tqrtl::posix::Reserve(heap, SIZE_MAX, bytes)) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  auto* block = static_cast<Block*>(tqrtl::posix::Sys().malloc(sizeof(Block) + bytes));
  if (block == nullptr) {
    if (heap->maximum != 0) heap->used -= tqrtl::posix::Accounted(bytes);
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  block->size = bytes;
  tqrtl::posix::Link(heap, block);
  if ((flags & HEAP_ZERO_MEMORY) != 0) std::memset(block + 1, 0, bytes);
  return block + 1;
}

LPVOID WINAPI HeapReAlloc(HANDLE handle, DWORD flags, LPVOID memory, SIZE_T bytes) {
  Heap* heap = tqrtl::posix::Live(handle);
  if (heap == nullptr) return nullptr;
  if (memory == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  if (bytes > tqrtl::posix::kLargestBlock) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  std::lock_guard<std::mutex> lock(heap->lock);
  Block* block = tqrtl::posix::BlockOf(memory);
  if (block->heap != heap) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  const size_t old_size = block->size;
  if (!tqrtl::posix::Reserve(heap, old_size, bytes)) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  Block* result = block;
  if (bytes > tqrtl::posix::Capacity(block)) {
    Block* moved = nullptr;
    if ((flags & HEAP_REALLOC_IN_PLACE_ONLY) == 0) {
      tqrtl::posix::Unlink(block);
      moved = static_cast<Block*>(tqrtl::posix::Sys().realloc(block, sizeof(Block) + bytes));
      // realloc keeps the old block when it fails.
      tqrtl::posix::Link(heap, moved != nullptr ? moved : block);
    }
    if (moved == nullptr) {
      tqrtl::posix::Reserve(heap, bytes, old_size);  // give the reservation back
      SetLastError(ERROR_NOT_ENOUGH_MEMORY);
      return nullptr;
    }
    result = moved;
  }
  result->size = bytes;
  if ((flags & HEAP_ZERO_MEMORY) != 0 && bytes > old_size)
    std::memset(reinterpret_cast<char*>(result + 1) + old_size, 0, bytes - old_size);
  return result + 1;
}

BOOL WINAPI HeapFree(HANDLE handle, DWORD flags, LPVOID memory) {
  (void)flags;
  Heap* heap = tqrtl::posix::Live(handle);
  if (heap == nullptr) return FALSE;
  if (memory == nullptr) return TRUE;
  std::lock_guard<std::mutex> lock(heap->lock);
  Block* block = tqrtl::posix::BlockOf(memory);
  if (block->heap != heap) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (heap->maximum != 0) heap->used -= tqrtl::posix::Accounted(block->size);
  tqrtl::posix::Unlink(block);
  block->heap = nullptr;
  tqrtl::posix::Sys().free(block);
  return TRUE;
}

SIZE_T WINAPI HeapSize(HANDLE handle, DWORD flags, LPCVOID memory) {
  (void)flags;
  Heap* heap = tqrtl::posix::Live(handle);
  if (heap == nullptr) return static_cast<SIZE_T>(-1);
  std::lock_guard<std::mutex> lock(heap->lock);
  const Block* block = static_cast<const Block*>(memory) - 1;
  if (memory == nullptr || block->heap != heap) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return static_cast<SIZE_T>(-1);
  }
  return block->size;
}

}  // extern "C"
