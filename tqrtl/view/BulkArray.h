// BulkArray.h: BulkArray<T>, a typed array of up to 2^32 elements over
// BulkArrayIndex, and its iterator.
//
// Elements are value-initialised when their leaf is made: trivial types by
// zeroing the leaf, others by constructing each element (and destroying it
// when the array frees its memory). Elements never move, so references stay
// valid until FreeMem or the array's destruction. Errors are those of
// BulkArrayIndex; reading an element at or beyond the size throws
// BulkArrayIndex::kErrorOutOfRange.
//
//   BulkArray<Record> records;
//   records.SetSize(1000000, 0);
//   records[42].key = 7;
//   for (BulkArray<Record>::Iterator it(records); it.IsValid(); it.MoveNext())
//     Use(*it);
//
// Not locked: one thread at a time.
#ifndef TQRTL_VIEW_BULKARRAY_H_
#define TQRTL_VIEW_BULKARRAY_H_

#include <cstddef>
#include <new>
#include <type_traits>

#include "tqrtl/view/BulkArrayIndex.h"

template <typename T>
class BulkArray final : public BulkArrayIndex {
  // Leaves come from malloc, so they are aligned for any fundamental type.
  static_assert(alignof(T) <= alignof(std::max_align_t), "over-aligned element type");

 public:
  // The default layout: leaves of 256 elements.
  BulkArray() : BulkArrayIndex(kFill), m_mask(LeafMask()) {}
  // A layout of `levelCount` levels, top level first.
  BulkArray(const BitField* layout, int levelCount)
      : BulkArrayIndex(kFill, layout, levelCount), m_mask(LeafMask()) {}
  ~BulkArray() { FreeMem(); }

  // operator[]: element `e`. Throws kErrorOutOfRange when e >= GetSize().
  T& operator[](ULONG e) {
    // The size is never above the capacity, so its check covers the
    // lookup's too. Everything is read before it, so that a compiler can
    // keep it in registers across a loop of reads.
    const Route route(*this);
    const ULONG mask = m_mask;
    if (e >= route.Limit(m_size)) [[unlikely]] {
      if (e >= m_size) throw static_cast<int>(kErrorOutOfRange);
      return static_cast<T*>(DeepLeaf(*this, e))[e & mask];
    }
    return static_cast<T*>(route.Leaf(e))[e & mask];
  }

  // Releases every element and leaf; the array is empty afterwards.
  using BulkArrayIndex::FreeMem;

  class Iterator : public BulkArrayIteratorBase {
   public:
    explicit Iterator(BulkArray& array) : BulkArrayIteratorBase(array) {}
    // REQUIRES: IsValid().
    T& operator*() const { return static_cast<T*>(m_leaf)[m_offset]; }
    T* operator->() const { return static_cast<T*>(m_leaf) + m_offset; }
  };

 private:
  static constexpr int kFill =
      std::is_trivially_default_constructible_v<T> && std::is_trivially_destructible_v<T>
          ? 0
          : kFillConstruct;

  void ConstructLeafElements(void* leaf, ULONG count) override {
    T* elements = static_cast<T*>(leaf);
    ULONG made = 0;
    try {
      for (; made < count; ++made) ::new (static_cast<void*>(elements + made)) T();
    } catch (...) {
      while (made > 0) elements[--made].~T();
      throw;
    }
  }
  void DestructLeafElements(void* leaf, ULONG count) override {
    T* elements = static_cast<T*>(leaf);
    for (ULONG i = 0; i < count; ++i) elements[i].~T();
  }
  ULONG ElementSize() override { return static_cast<ULONG>(sizeof(T)); }

  ULONG m_mask;
};

#endif  // TQRTL_VIEW_BULKARRAY_H_
