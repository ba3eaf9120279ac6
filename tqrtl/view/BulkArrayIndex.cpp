#include "tqrtl/view/BulkArrayIndex.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <new>

#include "tqrtl/errors/TQException.h"

namespace {

const BulkArrayIndex::BitField kDefaultLayout[] = {8, 8, 8, 8};

constexpr ULONGLONG kFullRange = 0x100000000ull;  // 2^32 elements

// The stored capacity: the running count, stopped at the 32-bit maximum
// (2^32 elements would read as 0).
ULONG StoredCapacity(ULONGLONG capacity) {
  return static_cast<ULONG>(std::min<ULONGLONG>(capacity, 0xFFFFFFFFu));
}

}  // namespace

BulkArrayIndex::BulkArrayIndex(int fill)
    : m_fill(fill),
      m_root(nullptr),
      m_rootLevel(-1),
      m_size(0),
      m_capacity(0),
      m_layout(nullptr),
      m_levelCount(0) {
  InitLayout(kDefaultLayout, static_cast<int>(std::size(kDefaultLayout)));
}

BulkArrayIndex::BulkArrayIndex(int fill, const BitField* const layout, int levelCount)
    : m_fill(fill),
      m_root(nullptr),
      m_rootLevel(-1),
      m_size(0),
      m_capacity(0),
      m_layout(nullptr),
      m_levelCount(0) {
  InitLayout(layout, levelCount);
}

BulkArrayIndex::~BulkArrayIndex() { delete[] m_layout; }

void BulkArrayIndex::InitLayout(const BitField* layout, int levelCount) {
  // Checked before anything is allocated: a level of 32 bits or more, or
  // more than 32 bits in all, would shift element numbers by their width.
  if (layout == nullptr || levelCount < 1) throw static_cast<int>(kErrorBadLayout);
  int totalBits = 0;
  for (int k = 0; k < levelCount; ++k) {
    if (layout[k].bits < 1 || layout[k].bits > 31) throw static_cast<int>(kErrorBadLayout);
    totalBits += layout[k].bits;
    if (totalBits > 32) throw static_cast<int>(kErrorBadLayout);
  }
  m_layout = new (std::nothrow) BitField[levelCount];
  if (m_layout == nullptr) throw static_cast<int>(kErrorNoMemory);
  m_levelCount = levelCount;
  ULONG shift = 0;
  for (int k = levelCount - 1; k >= 0; --k) {
    m_layout[k] = BitField(layout[k].bits);
    m_layout[k].shift = shift;
    shift += static_cast<ULONG>(layout[k].bits);
  }
}

ULONGLONG BulkArrayIndex::Slots(int level) const {
  return static_cast<ULONGLONG>(m_layout[level].mask) + 1;
}

ULONGLONG BulkArrayIndex::MaxCapacity() const {
  // The top level's field sits highest: its shift plus its bits is the
  // width of the element numbers the layout reaches (at most 32).
  return (static_cast<ULONGLONG>(1) << m_layout[0].shift) * Slots(0);
}

ULONG BulkArrayIndex::SetSize(ULONG newSize, int useCapacity) {
  if (newSize <= m_size) {
    m_size = newSize;
    return m_size;
  }
  if (newSize > m_capacity) {
    if (newSize > MaxCapacity()) throw static_cast<int>(kErrorOutOfRange);
    // Below newSize the stored capacity is exact (it stops only at 2^32).
    ULONGLONG capacity = m_capacity;
    try {
      if (m_root == nullptr) {
        m_root = NewLeaf(capacity);
        m_rootLevel = m_levelCount - 1;
      }
      Grow(&m_root, m_rootLevel, newSize, capacity);
    } catch (...) {
      m_capacity = StoredCapacity(capacity);
      throw;
    }
    m_capacity = StoredCapacity(capacity);
  }
  m_size = useCapacity != 0 ? m_capacity : newSize;
  return m_size;
}

void* BulkArrayIndex::NewLeaf(ULONGLONG& capacity) {
  const ULONGLONG count = Slots(m_levelCount - 1);
  const ULONGLONG bytes = count * ElementSize();  // < 2^31 * 2^32: no overflow
  if (bytes > SIZE_MAX) throw TQMemoryException();
  // Never malloc(0), which may return null for a zero-sized element.
  void* leaf = std::malloc(std::max(static_cast<size_t>(bytes), sizeof(void*)));
  if (leaf == nullptr) throw TQMemoryException();
  if (m_fill == kFillConstruct) {
    try {
      ConstructLeafElements(leaf, static_cast<ULONG>(count));
    } catch (...) {
      std::free(leaf);
      throw;
    }
  } else if (m_fill != kFillNone) {
    std::memset(leaf, m_fill & 0xFF, static_cast<size_t>(bytes));
  }
  capacity += count;
  return leaf;
}

// ChildrenFor: how many children a new node at `level` needs for the
// running capacity to reach `wanted`, at most a full node. Every child but
// the last is full, and a full child of a node at `level` holds
// 2^shift(level) elements.
ULONGLONG BulkArrayIndex::ChildrenFor(int level, ULONGLONG wanted, ULONGLONG capacity) const {
  if (capacity >= wanted) return 0;
  const ULONGLONG perChild = static_cast<ULONGLONG>(1) << m_layout[level].shift;
  return std::min(Slots(level), (wanted - capacity + perChild - 1) / perChild);
}

// NewNode: an empty interior node whose first child block holds exactly
// `children` slots (at least one), zeroed, in the node's own allocation.
BulkArrayIndex::Node* BulkArrayIndex::NewNode(ULONGLONG children) {
  children = std::max<ULONGLONG>(children, 1);
  // children <= 2^31: no overflow in 64 bits; too much for a 32-bit size_t
  // is refused before anything is allocated.
  const ULONGLONG bytes = kNodeBytes + children * sizeof(void*);
  void* memory = bytes <= SIZE_MAX ? std::calloc(1, static_cast<size_t>(bytes)) : nullptr;
  if (memory == nullptr) throw TQMemoryException();
  Node* node = static_cast<Node*>(memory);
  node->children = const_cast<void**>(BlockOf(node));
  node->allocated = static_cast<ULONG>(children);
  return node;
}

// CreateSubtree: a new subtree at `level`, only as full as `wanted` needs
// (its last child may itself be partly filled). On failure everything it
// made is freed again and `capacity` is back where it was.
void* BulkArrayIndex::CreateSubtree(int level, ULONGLONG wanted, ULONGLONG& capacity) {
  if (level == m_levelCount - 1) return NewLeaf(capacity);
  Node* node = NewNode(ChildrenFor(level, wanted, capacity));
  try {
    while (node->count < Slots(level) && capacity < wanted) {
      void* child = CreateSubtree(level + 1, wanted, capacity);
      try {
        AppendChild(node, child);
      } catch (...) {
        FreeSubtree(child, level + 1, capacity);
        throw;
      }
    }
  } catch (...) {
    FreeSubtree(node, level, capacity);
    throw;
  }
  return node;
}

// Grow: completes the rightmost part below the node in `slot` (the root
// pointer, or the slot of a parent's block), then appends new subtrees to
// it until `capacity` reaches `wanted`. A node that moves as its block
// grows is put back into its slot. A full non-root node leaves the rest to
// its parent; a full root gets a new root above it.
void BulkArrayIndex::Grow(void** slot, int level, ULONGLONG wanted, ULONGLONG& capacity) {
  ULONGLONG children;
  if (level == m_levelCount - 1) {
    children = Slots(level);  // a leaf is always full
  } else {
    Node* interior = static_cast<Node*>(*slot);
    children = interior->count;
    if (children > 0) Grow(&interior->children[children - 1], level + 1, wanted, capacity);
  }
  if (capacity >= wanted) return;
  for (;;) {
    if (children >= Slots(level)) {
      if (slot != &m_root) return;
      // SetSize checked that the layout reaches `wanted`, so a full top
      // level means the wanted capacity was reached.
      if (level == 0) throw static_cast<int>(kErrorOutOfRange);
      // The new root's first block holds the old root and the subtrees
      // still needed beside it.
      Node* top = NewNode(std::min(Slots(level - 1), 1 + ChildrenFor(level - 1, wanted, capacity)));
      AppendChild(top, m_root);  // has room: cannot fail, nor move
      m_root = top;
      m_rootLevel = --level;
      children = 1;
    }
    void* child = CreateSubtree(level + 1, wanted, capacity);
    try {
      // May move the node: its slot follows.
      Node* node = static_cast<Node*>(*slot);
      AppendChild(node, child);
      *slot = node;
    } catch (...) {
      FreeSubtree(child, level + 1, capacity);
      throw;
    }
    ++children;
    if (capacity >= wanted) return;
  }
}

// AppendChild: a full block is replaced by one with max(4, min(1024,
// count / 8)) more slots, and the node moves with it: `node` is set to its
// new place. On failure nothing changes.
void BulkArrayIndex::AppendChild(Node*& node, void* child) {
  if (node->count == node->allocated) {
    const ULONGLONG step = std::max<ULONGLONG>(4, std::min<ULONGLONG>(1024, node->count / 8));
    const ULONGLONG room = static_cast<ULONGLONG>(node->allocated) + step;
    const ULONGLONG bytes = kNodeBytes + room * sizeof(void*);
    if (room > 0xFFFFFFFFu || bytes > SIZE_MAX) throw TQMemoryException();
    Node* moved = static_cast<Node*>(std::malloc(static_cast<size_t>(bytes)));
    if (moved == nullptr) throw TQMemoryException();
    *moved = *node;
    moved->children = const_cast<void**>(BlockOf(moved));
    moved->allocated = static_cast<ULONG>(room);
    std::memcpy(moved->children, node->children, node->count * sizeof(void*));
    std::memset(moved->children + node->count, 0,
                static_cast<size_t>(room - node->count) * sizeof(void*));
    std::free(node);
    node = moved;
  }
  node->children[node->count++] = child;
}

void BulkArrayIndex::FreeSubtree(void* node, int level, ULONGLONG& capacity) {
  if (level == m_levelCount - 1) {
    const ULONGLONG count = Slots(level);
    if (m_fill == kFillConstruct) DestructLeafElements(node, static_cast<ULONG>(count));
    std::free(node);
    capacity -= count;
    return;
  }
  Node* interior = static_cast<Node*>(node);
  for (ULONG i = 0; i < interior->count; ++i) {
    FreeSubtree(interior->children[i], level + 1, capacity);
  }
  std::free(interior);  // the child block with it
}

void BulkArrayIndex::FreeMem() {
  if (m_capacity == 0) return;
  ULONGLONG capacity = kFullRange;  // only counted down; nobody reads it
  FreeSubtree(m_root, m_rootLevel, capacity);
  m_size = 0;
  m_capacity = 0;
  m_root = nullptr;
  m_rootLevel = -1;
}

void BulkArrayIndex::DumpStats(const char* title, ULONG flags) const {}
