// TQHeap.h: a thin owner of a system heap handle.
//
// A TQHeap either creates a private heap (Create) or borrows an existing one
// (Attach, the process heap when given null). Destruction destroys the heap
// it holds; a borrowed heap must be given up with Detach first. The process
// heap is never destroyed: Destroy only forgets it, since destroying it would
// take every allocation of the process with it.
//
// A heap handle cannot be duplicated, so a TQHeap cannot be copied (two
// copies would destroy one heap twice); it can be moved, which leaves the
// source empty.
//
// Failures: reported only through results (false, null); nothing is thrown.
// Thread-safety: TQHeap adds no locking; the heap's own locking, as chosen
// by the options given to Create, applies to Alloc, Free and Realloc.
#ifndef TQRTL_CORE_TQHEAP_H_
#define TQRTL_CORE_TQHEAP_H_

#include "tqrtl/platform/win32.h"

class TQRTL_API TQHeap {
 public:
  // No heap.
  TQHeap();
  // As Attach(heap).
  explicit TQHeap(void* heap);
  // As Create(initialSize, maximumSize, options).
  TQHeap(unsigned long initialSize, unsigned long maximumSize, unsigned long options);
  // Destroys the held heap, if any.
  ~TQHeap();

  TQHeap(const TQHeap&) = delete;
  TQHeap& operator=(const TQHeap&) = delete;
  TQHeap(TQHeap&& other) noexcept;
  // Destroys the heap this object held, then takes over `other`'s.
  TQHeap& operator=(TQHeap&& other) noexcept;

  // Create: a new private heap (HeapCreate(options, initialSize,
  // maximumSize); a maximum of 0 makes it growable). Returns true when it was
  // made; on failure the object holds no heap. A heap held before is let go
  // first as destruction would (Detach a borrowed one before).
  bool Create(unsigned long initialSize, unsigned long maximumSize, unsigned long options);
  // Destroy: destroys the held heap (HeapDestroy) and holds none after.
  void Destroy();
  // Attach: borrows `heap`, or the process heap when `heap` is null. Returns
  // false, changing nothing, when there is no heap to borrow.
  bool Attach(void* heap);
  // Detach: forgets the held heap without destroying it.
  void Detach();

  bool IsValid() const { return m_heap != nullptr; }
  // IsAttached: true while holding a heap borrowed with Attach.
  bool IsAttached() const { return m_attached != 0; }
  HANDLE GetHandle() const { return m_heap; }

  // Alloc: `size` bytes from the heap (HeapAlloc flags, e.g.
  // HEAP_ZERO_MEMORY); null on failure or without a heap.
  void* Alloc(unsigned int size, unsigned long flags = 0) const;
  // Free: returns `p` to the heap; true on success.
  bool Free(void* p, unsigned long flags = 0) const;
  // Realloc: resizes `p` (HeapReAlloc); null on failure, `p` then intact.
  void* Realloc(void* p, unsigned int size, unsigned long flags = 0) const;

 private:
  HANDLE m_heap;
  LONG m_attached;
};

#endif  // TQRTL_CORE_TQHEAP_H_
