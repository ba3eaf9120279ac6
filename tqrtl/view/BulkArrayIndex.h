// BulkArrayIndex.h: the index of arrays of up to 2^32 elements that never
// need one contiguous block, and an iterator base that walks them.
//
// Elements live in fixed-size leaf blocks. Above the leaves a radix tree of
// pointer arrays maps an element number to its leaf: the number is cut into
// bit fields, one per tree level, the most significant field at the top.
// The default layout has four levels of 8 bits: leaves of 256 elements,
// interior nodes of up to 256 children, 2^32 elements in all. The tree
// grows upward (a new root above a full one) and to the right, and never
// moves an element: an element's address stays valid until FreeMem.
//
// The element type belongs to a derived class, which supplies the element
// size and, when asked to, constructs and destroys the elements of each
// leaf (BulkArray.h is a ready-made typed array). The derived class's
// destructor must call FreeMem; the base cannot, because by then the
// derived class's DestructLeafElements is gone.
//
// Failures: an invalid layout, a size beyond the layout's reach and an
// element at or beyond the capacity throw a plain int (the kError codes
// below); running out of memory for the tree throws TQMemoryException, and
// the array keeps what it had (its capacity counts only leaves that were
// attached). Shrinking frees nothing; memory goes back only through
// FreeMem.
//
// Not locked: an index and its iterators are used by one thread at a time.
#ifndef TQRTL_VIEW_BULKARRAYINDEX_H_
#define TQRTL_VIEW_BULKARRAYINDEX_H_

#include <cstdint>
#include <cstddef>

#include "tqrtl/platform/win32.h"

class TQRTL_API BulkArrayIndex {
 public:
  // The plain ints thrown by the index.
  enum : int {
    kErrorNoMemory = 1,    // the layout copy could not be allocated
    kErrorBadLayout = 2,   // no levels, a level of fewer than 1 or more
                           // than 31 bits, or more than 32 bits in all
    kErrorOutOfRange = 3,  // a size beyond the layout's reach, or an
                           // element at or beyond the capacity
  };
  // Fill values with a meaning of their own; any other fill sets every byte
  // of a new leaf to the fill's low byte (0 gives zeroed leaves).
  enum : int {
    kFillConstruct = -1001,  // ConstructLeafElements on each new leaf and
                             // DestructLeafElements before it is freed
    kFillNone = -1000,       // new leaves are left uninitialised
  };

  // BitField: one level of the tree, taking `bits` bits of the element
  // number; the level has mask + 1 = 2^bits slots. `shift` (how far the
  // element number is shifted right before masking) is filled in by the
  // index when it copies a layout, and is 0 in a new BitField.
  class BitField {
   public:
    // Implicit, so that a layout is written as a list of bits: {8, 8, 8, 8}.
    constexpr BitField(int levelBits = 0)
        : bits(levelBits), mask((1u << (static_cast<unsigned>(levelBits) & 31u)) - 1u), shift(0) {}
    constexpr BitField(const BitField& other) = default;
    constexpr BitField& operator=(const BitField& other) = default;

    int bits;
    ULONG mask;
    ULONG shift;
  };

  BulkArrayIndex(const BulkArrayIndex& other) = delete;
  BulkArrayIndex& operator=(const BulkArrayIndex& other) = delete;

  // SetSize: makes `newSize` elements usable and returns the new size.
  // Shrinking only lowers the size. Growing beyond the capacity allocates
  // leaves (initialised by the fill) until the capacity reaches newSize;
  // with `useCapacity` non-zero the size then becomes the whole capacity.
  // Throws kErrorOutOfRange, changing nothing, when newSize is beyond the
  // layout's reach; TQMemoryException, or what ConstructLeafElements threw,
  // when a node or leaf cannot be made (the size is then unchanged).
  ULONG SetSize(ULONG newSize, int useCapacity);

  // Size of the array, and how many elements have leaves. The capacity is a
  // multiple of the leaf size, except that it stops at 0xFFFFFFFF when the
  // whole 2^32 range is allocated.
  ULONG GetSize() const { return m_size; }
  ULONG GetCapacity() const { return m_capacity; }
  // LeafMask: elements per leaf - 1; element e sits at offset e & LeafMask()
  // in its leaf.
  ULONG LeafMask() const { return m_layout[m_levelCount - 1].mask; }

  // DumpStats: a diagnostics hook; does nothing.
  void DumpStats(const char* title, ULONG flags) const;

 protected:
  // Default layout: four levels of 8 bits. Nothing is allocated.
  explicit BulkArrayIndex(int fill);
  // `levelCount` levels from `layout`, the top level first and the leaf
  // level last. Throws kErrorBadLayout for an invalid layout and
  // kErrorNoMemory when its copy cannot be allocated.
  BulkArrayIndex(int fill, const BitField* const layout, int levelCount);
  // Frees the layout copy only. REQUIRES: FreeMem has run.
  ~BulkArrayIndex();

  // FreeMem: frees every leaf (after DestructLeafElements with
  // kFillConstruct) and node, depth first and in order; afterwards size and
  // capacity are 0 and nothing is allocated. Iterators must then be sent
  // somewhere with GoTo before they are used again.
  void FreeMem();

  // Node: an interior node, a growable array of child pointers. Child i
  // covers the element numbers whose bit field at the node's level is i.
  //
  // A node and its child block are one allocation, the block right after
  // the node (at BlockOf(node)), so that a lookup finds a child without
  // reading the node first. When the block has to grow, the node moves with
  // it to a new allocation and its parent's slot (or the root pointer) is
  // updated: a pointer to an interior node is valid only until the tree
  // next grows. Leaves never move.
  struct Node {
    void** children;  // `allocated` slots, the first `count` in use
    ULONG count;
    ULONG allocated;
    ULONG growBy;  // always 0: the block grows by the automatic rule
  };
  // Bytes from a node to its child block: the node's size, rounded up for
  // the pointers that follow it.
  static constexpr std::size_t kNodeBytes =
      (sizeof(Node) + alignof(void*) - 1) / alignof(void*) * alignof(void*);
  // BlockOf: the child block of interior `node`, found from its address
  // alone; the same as the node's `children`.
  static void* const* BlockOf(const void* node) {
    return reinterpret_cast<void* const*>(static_cast<const char*>(node) + kNodeBytes);
  }

  // FindLeafArrayContaining: the leaf that holds element `e`; the element
  // is at offset e & LeafMask() in it. Throws kErrorOutOfRange when e is at
  // or beyond the capacity. Inline: it is the whole cost of a random read.
  void* FindLeafArrayContaining(ULONG e) {
    const Route route(*this);
    if (e >= route.Limit(m_capacity)) [[unlikely]] {
      if (e >= m_capacity) throw static_cast<int>(kErrorOutOfRange);
      return DeepLeaf(*this, e);
    }
    return route.Leaf(e);
  }

  // Route: what a lookup needs from the index, read in one go and before
  // any check on the element number, so that in a loop of lookups a
  // compiler keeps it in registers and each lookup reads only the child
  // blocks below the root and the leaf. Valid until the tree grows or is
  // freed.
  //
  // The root level and the next are ready in registers, which covers every
  // array of the default layout up to 2^24 elements. Deeper trees take
  // DeepLeaf instead: Limit() is 0 for them, so the one compare that checks
  // the element number also sends them there, and a lookup of a shallow
  // tree pays nothing for the deep ones. A root that is itself the
  // leaf is found as the only child of a one-slot block, the index's own
  // root pointer, so that every lookup starts with the same step.
  //
  // Everything here is computed without branches: a compiler then lifts
  // the whole route out of a loop of lookups, where a branch on the kind of
  // root would have it split the loop instead and read the fields again on
  // every lookup.
  class Route {
   public:
    explicit Route(const BulkArrayIndex& index)
        : m_steps(index.m_levelCount - 1 - index.m_rootLevel) {
      // The root's child block, computed whatever the root is and only
      // used when the root is an interior node (nothing is read here).
      const std::uintptr_t children =
          reinterpret_cast<std::uintptr_t>(index.m_root) + kNodeBytes;
      // All ones when the root is the leaf, else 0.
      const std::uintptr_t leafRoot = 0u - static_cast<std::uintptr_t>(m_steps <= 0);
      const std::uintptr_t rootSlot = reinterpret_cast<std::uintptr_t>(&index.m_root);
      m_rootChildren =
          reinterpret_cast<void* const*>(children ^ ((children ^ rootSlot) & leafRoot));
      // The fields of the root level and the next, the latter clamped to
      // the leaf level so that the read stays inside the layout. A leaf
      // root holds at most 2^31 elements, so below the capacity e >> 31 is
      // 0, the one slot; the leaf level's own shift is 0.
      const int last = index.m_levelCount - 1;
      const int level = index.m_rootLevel < 0 ? 0 : index.m_rootLevel;
      const BitField& next = index.m_layout[level < last ? level + 1 : last];
      m_rootShift = index.m_layout[level].shift | (static_cast<ULONG>(leafRoot) & 31u);
      m_nextShift = next.shift;
      m_nextMask = next.mask;
      m_shallow = 0u - static_cast<ULONG>(m_steps <= 2);
    }

    // Limit: `bound` (the size or the capacity) when Leaf can find the
    // leaves of this tree, else 0, so that every element number fails the
    // check and the caller takes DeepLeaf.
    ULONG Limit(ULONG bound) const { return bound & m_shallow; }

    // Leaf: the leaf that holds element e. REQUIRES: e is below
    // Limit(capacity) of the index when the route was taken.
    void* Leaf(ULONG e) const {
      // No mask at the root: below the capacity, e >> shift is already
      // below the root's child count.
      void* node = m_rootChildren[e >> m_rootShift];
      if (m_steps >= 2) node = Child(node, m_nextShift, m_nextMask, e);
      return node;
    }

   private:
    int m_steps;  // interior levels between the root and the leaves
    void* const* m_rootChildren;
    ULONG m_rootShift;
    ULONG m_nextShift;
    ULONG m_nextMask;
    ULONG m_shallow;  // all ones when m_steps <= 2, else 0
  };

  // DeepLeaf: the leaf that holds element e, from the root down, for trees
  // deeper than a Route reaches. REQUIRES: e is below the capacity. Out of
  // line, and pure (it changes nothing), so that a compiler keeps a loop's
  // Route in registers across the call.
  [[gnu::pure, gnu::noinline]] static void* DeepLeaf(const BulkArrayIndex& index, ULONG e) {
    void* node = index.m_root;
    for (int k = index.m_rootLevel; k < index.m_levelCount - 1; ++k) {
      node = Child(node, index.m_layout[k].shift, index.m_layout[k].mask, e);
    }
    return node;
  }

  // ConstructLeafElements: with kFillConstruct, constructs the `count`
  // elements of a new leaf. If it throws, it must leave no element
  // constructed: the leaf is freed and the exception leaves SetSize.
  virtual void ConstructLeafElements(void* leaf, ULONG count) = 0;
  // DestructLeafElements: with kFillConstruct, destroys the `count`
  // elements of a leaf about to be freed. Must not throw.
  virtual void DestructLeafElements(void* leaf, ULONG count) = 0;
  // ElementSize: bytes per element.
  virtual ULONG ElementSize() = 0;

  // Child: the child of interior `node` on the way to element e, the
  // node's level taking the bits of e selected by `shift` and `mask`.
  static void* Child(void* node, ULONG shift, ULONG mask, ULONG e) {
    return BlockOf(node)[(e >> shift) & mask];
  }

  int m_fill;
  void* m_root;     // a leaf when m_rootLevel is the leaf level, else a node
  int m_rootLevel;  // -1 when nothing is allocated
  ULONG m_size;
  ULONG m_capacity;
  BitField* m_layout;  // owned copy, shifts filled in
  int m_levelCount;

 private:
  void InitLayout(const BitField* layout, int levelCount);
  ULONGLONG Slots(int level) const;
  ULONGLONG MaxCapacity() const;
  void* NewLeaf(ULONGLONG& capacity);
  ULONGLONG ChildrenFor(int level, ULONGLONG wanted, ULONGLONG capacity) const;
  static Node* NewNode(ULONGLONG children);
  void* CreateSubtree(int level, ULONGLONG wanted, ULONGLONG& capacity);
  void Grow(void** slot, int level, ULONGLONG wanted, ULONGLONG& capacity);
  void FreeSubtree(void* node, int level, ULONGLONG& capacity);
  static void AppendChild(Node*& node, void* child);
};

// BulkArrayIteratorBase: walks the elements of an array in either direction,
// descending the tree only when it changes leaf. A derived iterator reads
// the current element at m_leaf + m_offset * element size.
//
// The moves are inline and never pass the iterator's address on, so that a
// loop over an iterator keeps its fields in registers: a step within a leaf
// is two increments and two compares.
class TQRTL_API BulkArrayIteratorBase {
 public:
  // GoTo: stands on element `e` when e is below the size; otherwise only
  // marks the iterator invalid and leaves it where it was.
  void GoTo(ULONG e) {
    m_valid = e < m_index.GetSize() ? 1 : 0;
    if (m_valid == 0) return;
    m_current = e;
    Seat();
  }

  // MoveNext: the next element; past the last element in use the iterator
  // becomes invalid and stays on the last one.
  void MoveNext() {
    const ULONG next = m_current + 1;
    // The offset is always the element number's leaf field (the leaf level
    // takes the lowest bits), so it is taken from the number rather than
    // counted: a step then changes one counter, not two.
    const ULONG offset = next & m_leafMask;
    if (offset != 0 && m_valid != 0 && next < m_index.GetSize()) [[likely]] {
      m_current = next;
      m_offset = offset;
      return;
    }
    // Also ends the walk when the array shrank below the iterator. (No
    // wrap: m_current < 0xFFFFFFFF, having been below some size.)
    if (next >= m_index.GetSize()) {
      m_valid = 0;
      return;
    }
    // A new leaf, or an iterator that was invalid: its leaf may be unset,
    // or stale after FreeMem.
    m_current = next;
    Seat();
    m_valid = 1;
  }

  // MovePrevious: the previous element; from element 0 the iterator
  // becomes invalid and stays on element 0. It also stays where it is,
  // invalid, when the array shrank below it.
  void MovePrevious() {
    if (m_current == 0 || m_current - 1 >= m_index.GetSize()) {
      m_valid = 0;
      return;
    }
    const ULONG previous = m_current - 1;
    m_current = previous;
    const ULONG offset = previous & m_leafMask;
    if (offset != m_leafMask && m_valid != 0) [[likely]] {
      m_offset = offset;
    } else {
      Seat();
      m_valid = 1;
    }
  }

  ULONG CurrentIndex() const { return m_current; }
  // IsValid: 1 while the iterator stands on an element in use, else 0.
  int IsValid() const { return m_valid; }

 protected:
  // Stands on element 0, or is invalid with no leaf over an empty array.
  explicit BulkArrayIteratorBase(BulkArrayIndex& index)
      : m_index(index),
        m_current(0),
        m_valid(0),
        m_leafMask(index.LeafMask()),
        m_leaf(nullptr),
        m_offset(0) {
    GoTo(0);
  }

  BulkArrayIndex& m_index;
  ULONG m_current;
  int m_valid;
  ULONG m_leafMask;
  void* m_leaf;
  ULONG m_offset;

 private:
  // Seat: the leaf and offset of m_current, looked up from the root.
  void Seat() {
    m_leaf = LeafLookup::Find(m_index, m_current);
    m_offset = m_current & m_leafMask;  // the leaf level's shift is always 0
  }

  // LeafLookup: the iterator's way to the protected lookup, inline. (A
  // friend iterator would make GCC ask every derived array for a virtual
  // destructor.) Never instantiated.
  class LeafLookup : public BulkArrayIndex {
   public:
    static void* Find(BulkArrayIndex& index, ULONG e) {
      return (index.*&LeafLookup::FindLeafArrayContaining)(e);
    }

   protected:
    ~LeafLookup() = default;
  };
};

#endif  // TQRTL_VIEW_BULKARRAYINDEX_H_
