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
      Grow(m_root, m_rootLevel, newSize, capacity);
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
  // At least a pointer's worth of bytes: a lookup reads that much from the
  // root whatever it is (see Route).
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
// `children` slots (at least one), allocated together so that a node and
// its block sit side by side in memory, ahead of the subtrees below them.
BulkArrayIndex::Node* BulkArrayIndex::NewNode(ULONGLONG children) {
  children = std::max<ULONGLONG>(children, 1);
  Node* node = new (std::nothrow) Node{nullptr, 0, 0, 0};
  if (node == nullptr) throw TQMemoryException();
  const ULONGLONG bytes = children * sizeof(void*);  // children <= 2^31
  void** block =
      bytes <= SIZE_MAX ? static_cast<void**>(std::calloc(children, sizeof(void*))) : nullptr;
  if (block == nullptr) {
    delete node;
    throw TQMemoryException();
  }
  node->children = block;
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

// Grow: completes the rightmost part below `node`, then appends new
// subtrees to it until `capacity` reaches `wanted`. A full non-root node
// leaves the rest to its parent; a full root gets a new root above it.
void BulkArrayIndex::Grow(void* node, int level, ULONGLONG wanted, ULONGLONG& capacity) {
  ULONGLONG children;
  if (level == m_levelCount - 1) {
    children = Slots(level);  // a leaf is always full
  } else {
    Node* interior = static_cast<Node*>(node);
    children = interior->count;
    if (children > 0) Grow(interior->children[children - 1], level + 1, wanted, capacity);
  }
  if (capacity >= wanted) return;
  for (;;) {
    if (children >= Slots(level)) {
      if (node != m_root) return;
      // SetSize checked that the layout reaches `wanted`, so a full top
      // level means the wanted capacity was reached.
      if (level == 0) throw static_cast<int>(kErrorOutOfRange);
      // The new root's first block holds the old root and the subtrees
      // still needed beside it.
      Node* top = NewNode(std::min(Slots(level - 1), 1 + ChildrenFor(level - 1, wanted, capacity)));
      AppendChild(top, node);  // has room: cannot fail
      m_root = top;
      m_rootLevel = --level;
      node = top;
      children = 1;
    }
    void* child = CreateSubtree(level + 1, wanted, capacity);
    try {
      AppendChild(static_cast<Node*>(node), child);
    } catch (...) {
      FreeSubtree(child, level + 1, capacity);
      throw;
    }
    ++children;
    if (capacity >= wanted) return;
  }
}

// AppendChild: a node without a block gets one for exactly this child; a
// full block is replaced by one with max(4, min(1024, count / 8)) more
// slots.
void BulkArrayIndex::AppendChild(Node* node, void* child) {
  if (node->count == node->allocated) {
    const ULONGLONG needed = static_cast<ULONGLONG>(node->count) + 1;
    ULONGLONG room = needed;
    if (node->children != nullptr) {
      const ULONGLONG step = std::max<ULONGLONG>(4, std::min<ULONGLONG>(1024, node->count / 8));
      room = std::max(node->allocated + step, needed);
    }
    const ULONGLONG bytes = room * sizeof(void*);
    if (room > 0xFFFFFFFFu || bytes > SIZE_MAX) throw TQMemoryException();
    void** block = static_cast<void**>(std::malloc(static_cast<size_t>(bytes)));
    if (block == nullptr) throw TQMemoryException();
    if (node->count != 0) std::memcpy(block, node->children, node->count * sizeof(void*));
    std::memset(block + node->count, 0, static_cast<size_t>(room - node->count) * sizeof(void*));
    std::free(node->children);
    node->children = block;
    node->allocated = static_cast<ULONG>(room);
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
  std::free(interior->children);
  delete interior;
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
