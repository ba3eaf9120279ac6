// Tests of BulkArrayIndex, its iterator base and BulkArray<T>: the shape of
// the tree as it grows, leaf initialisation, failures in the middle of a
// growth, iteration across leaves, and the ends of the 32-bit range.
#include "tqrtl/view/BulkArrayIndex.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "tqrtl/view/BulkArray.h"

namespace {

using BitField = BulkArrayIndex::BitField;

// An array of `elementSize`-byte elements that records the leaves it is
// asked to construct and destroy, and can make the n-th construction throw.
class RecordingArray final : public BulkArrayIndex {
 public:
  explicit RecordingArray(int fill, ULONG elementSize = 4)
      : BulkArrayIndex(fill), elementSize_(elementSize) {}
  RecordingArray(int fill, const BitField* layout, int levelCount, ULONG elementSize = 4)
      : BulkArrayIndex(fill, layout, levelCount), elementSize_(elementSize) {}
  ~RecordingArray() { FreeMem(); }

  using BulkArrayIndex::FindLeafArrayContaining;
  using BulkArrayIndex::FreeMem;
  using BulkArrayIndex::Node;
  int RootLevel() const { return m_rootLevel; }
  const Node* Root() const { return static_cast<const Node*>(m_root); }
  // PlainLeaf: the leaf of element e by the obvious walk, one level at a
  // time from the root, to hold the inline lookup against.
  void* PlainLeaf(ULONG e) const {
    void* node = m_root;
    for (int k = m_rootLevel; k < m_levelCount - 1; ++k) {
      node = static_cast<Node*>(node)->children[(e >> m_layout[k].shift) & m_layout[k].mask];
    }
    return node;
  }
  const BitField& Level(int k) const { return m_layout[k]; }
  unsigned char* Element(ULONG e) {
    return static_cast<unsigned char*>(FindLeafArrayContaining(e)) +
           (e & LeafMask()) * elementSize_;
  }

  std::vector<void*> constructed;
  std::vector<void*> destructed;
  std::vector<ULONG> counts;  // of every construction and destruction
  int failConstruction = 0;   // 1-based number of the construction that throws

 protected:
  void ConstructLeafElements(void* leaf, ULONG count) override {
    counts.push_back(count);
    if (failConstruction != 0 && --failConstruction == 0) throw std::runtime_error("refused");
    constructed.push_back(leaf);
  }
  void DestructLeafElements(void* leaf, ULONG count) override {
    counts.push_back(count);
    destructed.push_back(leaf);
  }
  ULONG ElementSize() override { return elementSize_; }

 private:
  ULONG elementSize_;
};

// An iterator over a RecordingArray that shows its leaf.
class RecordingIterator : public BulkArrayIteratorBase {
 public:
  explicit RecordingIterator(RecordingArray& array) : BulkArrayIteratorBase(array) {}
  void* Leaf() const { return m_leaf; }
  ULONG Offset() const { return m_offset; }
};

int ThrownCode(RecordingArray& array, ULONG newSize) {
  try {
    array.SetSize(newSize, 0);
  } catch (int code) {
    return code;
  }
  return 0;
}

TEST(BulkArrayIndexTest, GrowsUpwardAndToTheRight) {
  RecordingArray array(0);
  EXPECT_EQ(array.RootLevel(), -1);
  EXPECT_EQ(array.SetSize(1, 0), 1u);
  EXPECT_EQ(array.GetCapacity(), 256u);
  EXPECT_EQ(array.RootLevel(), 3);  // one leaf is the root

  EXPECT_EQ(array.SetSize(257, 0), 257u);
  EXPECT_EQ(array.GetCapacity(), 512u);
  EXPECT_EQ(array.RootLevel(), 2);

  RecordingArray wide(0);
  EXPECT_EQ(wide.SetSize(65537, 0), 65537u);
  EXPECT_EQ(wide.GetCapacity(), 65792u);  // 256 leaves, then one more
  EXPECT_EQ(wide.RootLevel(), 1);
  // Every group of 256 elements has a leaf of its own, and they are all
  // different blocks.
  std::vector<void*> leaves;
  for (ULONG e = 0; e < 65792; e += 256) {
    leaves.push_back(wide.FindLeafArrayContaining(e));
    ASSERT_EQ(wide.FindLeafArrayContaining(e + 255), leaves.back()) << e;
  }
  std::sort(leaves.begin(), leaves.end());
  EXPECT_EQ(std::unique(leaves.begin(), leaves.end()), leaves.end());
}

TEST(BulkArrayIndexTest, ElementsKeepTheirPlaceAsTheTreeGrows) {
  RecordingArray array(0);
  array.SetSize(100, 0);
  unsigned char* first = array.Element(5);
  std::memcpy(first, "abcd", 4);
  // Growth in steps that raise the root twice and complete partial nodes.
  for (ULONG size : {300u, 5000u, 65536u, 65537u, 200000u}) {
    array.SetSize(size, 0);
    ASSERT_EQ(array.Element(5), first) << size;
  }
  EXPECT_EQ(std::memcmp(first, "abcd", 4), 0);
}

TEST(BulkArrayIndexTest, SizeUsesCapacityOnRequestAndShrinkingKeepsMemory) {
  RecordingArray array(0);
  EXPECT_EQ(array.SetSize(10, 1), 256u);
  EXPECT_EQ(array.SetSize(300, 1), 512u);
  EXPECT_EQ(array.SetSize(0, 0), 0u);
  EXPECT_EQ(array.GetCapacity(), 512u);
  EXPECT_EQ(array.RootLevel(), 2);
  EXPECT_EQ(array.SetSize(400, 0), 400u);  // within the capacity: no new leaves
  EXPECT_EQ(array.GetCapacity(), 512u);
  array.FreeMem();
  EXPECT_EQ(array.RootLevel(), -1);
  EXPECT_EQ(array.GetSize(), 0u);
  EXPECT_EQ(array.GetCapacity(), 0u);
  array.FreeMem();  // nothing left to free
  EXPECT_EQ(array.SetSize(3, 0), 3u);
  EXPECT_EQ(array.RootLevel(), 3);
}

TEST(BulkArrayIndexTest, NewLeavesAreFilledAsAsked) {
  RecordingArray zeroed(0, 3);
  zeroed.SetSize(600, 0);
  for (ULONG e = 0; e < zeroed.GetCapacity(); ++e) {
    const unsigned char* bytes = zeroed.Element(e);
    ASSERT_TRUE(bytes[0] == 0 && bytes[1] == 0 && bytes[2] == 0) << e;
  }
  RecordingArray patterned(0x1AB, 1);  // the fill's low byte
  patterned.SetSize(1, 0);
  for (ULONG e = 0; e < 256; ++e) ASSERT_EQ(*patterned.Element(e), 0xAB) << e;

  RecordingArray raw(BulkArrayIndex::kFillNone);
  raw.SetSize(1000, 0);
  EXPECT_TRUE(raw.counts.empty());
}

TEST(BulkArrayIndexTest, ConstructedLeavesAreDestroyedInOrderWhenFreed) {
  RecordingArray array(BulkArrayIndex::kFillConstruct);
  array.SetSize(1000, 0);
  ASSERT_EQ(array.constructed.size(), 4u);  // once per leaf
  EXPECT_EQ(array.counts, (std::vector<ULONG>{256, 256, 256, 256}));
  for (ULONG i = 0; i < 4; ++i)
    EXPECT_EQ(array.constructed[i], array.FindLeafArrayContaining(i * 256));
  array.SetSize(0, 0);
  EXPECT_TRUE(array.destructed.empty());  // shrinking frees nothing
  array.FreeMem();
  EXPECT_EQ(array.destructed, array.constructed);  // depth first, in element order
  EXPECT_EQ(array.counts.size(), 8u);
}

TEST(BulkArrayIndexTest, FailedGrowthKeepsTheTreeUsable) {
  RecordingArray array(BulkArrayIndex::kFillConstruct);
  array.failConstruction = 3;  // the third leaf, after the root was raised
  EXPECT_THROW(array.SetSize(1000, 0), std::runtime_error);
  EXPECT_EQ(array.GetSize(), 0u);
  EXPECT_EQ(array.GetCapacity(), 512u);  // the two leaves that were attached
  EXPECT_EQ(array.RootLevel(), 2);
  EXPECT_EQ(array.SetSize(1000, 0), 1000u);
  EXPECT_EQ(array.GetCapacity(), 1024u);

  // Fail inside a new subtree: the 258th leaf is the second one under a
  // second level-2 node, which is dropped with the leaf it already had.
  array.SetSize(65536, 0);
  const size_t before = array.constructed.size();
  array.failConstruction = 2;
  EXPECT_THROW(array.SetSize(66000, 0), std::runtime_error);
  EXPECT_EQ(array.GetSize(), 65536u);
  EXPECT_EQ(array.GetCapacity(), 65536u);
  EXPECT_EQ(array.RootLevel(), 1);  // raised before the subtree failed
  ASSERT_EQ(array.constructed.size(), before + 1);
  ASSERT_EQ(array.destructed.size(), 1u);
  EXPECT_EQ(array.destructed[0], array.constructed.back());
  EXPECT_EQ(array.SetSize(66000, 0), 66000u);
  EXPECT_EQ(array.GetCapacity(), 66048u);
  array.FreeMem();
  EXPECT_EQ(array.destructed.size(), array.constructed.size());
}

TEST(BulkArrayIndexTest, CustomLayoutsSetShiftsAndLimits) {
  const BitField layout[] = {12, 12, 8};
  RecordingArray array(0, layout, 3);
  EXPECT_EQ(array.Level(0).shift, 20u);
  EXPECT_EQ(array.Level(1).shift, 8u);
  EXPECT_EQ(array.Level(2).shift, 0u);
  EXPECT_EQ(array.Level(0).mask, 0xFFFu);
  array.SetSize(257, 0);
  EXPECT_EQ(array.GetCapacity(), 512u);  // leaves of 256
  EXPECT_EQ(array.RootLevel(), 1);

  // Two levels of 2 bits reach 16 elements, in leaves of 4.
  const BitField tiny[] = {2, 2};
  RecordingArray small(0, tiny, 2);
  EXPECT_EQ(ThrownCode(small, 17), BulkArrayIndex::kErrorOutOfRange);
  EXPECT_EQ(small.GetCapacity(), 0u);
  EXPECT_EQ(small.SetSize(16, 0), 16u);
  EXPECT_EQ(small.GetCapacity(), 16u);
  EXPECT_EQ(small.RootLevel(), 0);
  EXPECT_EQ(ThrownCode(small, 17), BulkArrayIndex::kErrorOutOfRange);
  EXPECT_EQ(small.GetSize(), 16u);

  // One level: the root leaf is the whole array.
  const BitField single[] = {5};
  RecordingArray flat(0, single, 1);
  EXPECT_EQ(flat.SetSize(32, 0), 32u);
  EXPECT_EQ(flat.RootLevel(), 0);
  EXPECT_EQ(ThrownCode(flat, 33), BulkArrayIndex::kErrorOutOfRange);
}

// Layouts of one to nine levels, grown through every height they allow:
// the lookup and the iterators find each sampled element's leaf where the
// plain walk does, including layouts deeper than the lookup keeps in
// registers and roots that are still a leaf.
TEST(BulkArrayIndexTest, LookupsAgreeWithAPlainWalkAtEveryHeight) {
  const BitField deep[] = {2, 2, 2, 2, 2, 2, 2, 2, 1};  // 9 levels, leaves of 2
  const BitField standard[] = {8, 8, 8, 8};
  const BitField mixed[] = {12, 12, 8};
  const BitField uneven[] = {3, 1, 4, 2, 3};
  const BitField single[] = {6};
  struct Case {
    const BitField* layout;
    int levels;
    std::vector<ULONG> sizes;  // grown to in turn
  };
  const Case cases[] = {
      {deep, 9, {1, 2, 3, 9, 200, 6000, 65536, 131072}},
      {standard, 4, {1, 256, 257, 65536, 65537, 70000}},
      {mixed, 3, {5, 300, 1 << 20, (1 << 20) + 1}},
      {uneven, 5, {1, 8, 9, 100, 2000, 8192}},
      {single, 1, {1, 64}},
  };
  for (const Case& c : cases) {
    RecordingArray array(0, c.layout, c.levels, 1);
    for (ULONG size : c.sizes) {
      array.SetSize(size, 0);
      SCOPED_TRACE(testing::Message() << c.levels << " levels, size " << size);
      // Every element of small arrays; the ends of each leaf and a stride
      // through the middle of large ones.
      const ULONG leafMask = array.LeafMask();
      const ULONG step = size <= 4096 ? 1 : 97;
      for (ULONG e = 0; e < size; e += step) {
        ASSERT_EQ(array.FindLeafArrayContaining(e), array.PlainLeaf(e)) << e;
        const ULONG first = e & ~leafMask;
        ASSERT_EQ(array.FindLeafArrayContaining(first), array.PlainLeaf(first)) << first;
      }
      ASSERT_EQ(array.FindLeafArrayContaining(size - 1), array.PlainLeaf(size - 1));

      RecordingIterator forward(array);
      ULONG expected = 0;
      for (; forward.IsValid(); forward.MoveNext(), ++expected) {
        ASSERT_EQ(forward.CurrentIndex(), expected);
        ASSERT_EQ(forward.Leaf(), array.PlainLeaf(expected)) << expected;
        ASSERT_EQ(forward.Offset(), expected & leafMask) << expected;
      }
      ASSERT_EQ(expected, size);
      RecordingIterator backward(array);
      backward.GoTo(size - 1);
      for (expected = size - 1; backward.IsValid(); backward.MovePrevious(), --expected) {
        ASSERT_EQ(backward.CurrentIndex(), expected);
        ASSERT_EQ(backward.Leaf(), array.PlainLeaf(expected)) << expected;
        ASSERT_EQ(backward.Offset(), expected & leafMask) << expected;
      }
      ASSERT_EQ(expected, 0xFFFFFFFFu);
    }
  }
}

// A new node's first child block holds exactly the children the growth
// needs; later growth of that node follows the growable-array rule.
TEST(BulkArrayIndexTest, ChildBlocksHoldWhatTheGrowthNeeds) {
  RecordingArray raised(0);
  raised.SetSize(1, 0);
  raised.SetSize(257, 0);  // the root leaf gets a parent for itself and one more leaf
  EXPECT_EQ(raised.Root()->count, 2u);
  EXPECT_EQ(raised.Root()->allocated, 2u);
  raised.SetSize(600, 0);  // a full block grows by max(4, count / 8)
  EXPECT_EQ(raised.Root()->count, 3u);
  EXPECT_EQ(raised.Root()->allocated, 6u);
  EXPECT_EQ(raised.Root()->growBy, 0u);

  RecordingArray wide(0);
  wide.SetSize(65537, 0);  // from empty: one full level-2 node and one more leaf
  ASSERT_EQ(wide.RootLevel(), 1);
  const RecordingArray::Node* root = wide.Root();
  EXPECT_EQ(root->count, 2u);
  EXPECT_EQ(root->allocated, 2u);
  const auto* full = static_cast<const RecordingArray::Node*>(root->children[0]);
  const auto* partial = static_cast<const RecordingArray::Node*>(root->children[1]);
  EXPECT_EQ(full->count, 256u);
  EXPECT_EQ(full->allocated, 256u);
  EXPECT_EQ(partial->count, 1u);
  EXPECT_EQ(partial->allocated, 1u);
  wide.SetSize(65537 + 256, 0);  // the partial node moves with its grown block
  const auto* moved = static_cast<const RecordingArray::Node*>(root->children[1]);
  EXPECT_EQ(moved->count, 2u);
  EXPECT_EQ(moved->allocated, 5u);
  EXPECT_EQ(moved->children[2], nullptr);  // new slots are zeroed

  RecordingArray grown(0);
  grown.SetSize(3 * 65536 + 10, 0);  // a new level-2 subtree sized for what is left
  const auto* last = static_cast<const RecordingArray::Node*>(grown.Root()->children[3]);
  EXPECT_EQ(grown.Root()->allocated, 4u);
  EXPECT_EQ(last->count, 1u);
  EXPECT_EQ(last->allocated, 1u);
}

TEST(BulkArrayIndexTest, InvalidLayoutsAreRefused) {
  const BitField zero[] = {8, 0};
  const BitField wide[] = {32};
  const BitField tooMany[] = {8, 8, 8, 9};
  const BitField fine[] = {8};
  struct Case {
    const BitField* layout;
    int levels;
  };
  for (const Case& c :
       {Case{zero, 2}, Case{wide, 1}, Case{tooMany, 4}, Case{fine, 0}, Case{nullptr, 1}}) {
    int code = 0;
    try {
      RecordingArray array(0, c.layout, c.levels);
    } catch (int thrown) {
      code = thrown;
    }
    EXPECT_EQ(code, BulkArrayIndex::kErrorBadLayout) << c.levels;
  }
}

TEST(BulkArrayIndexTest, LookupsBeyondTheCapacityThrow) {
  RecordingArray array(0);
  EXPECT_THROW(array.FindLeafArrayContaining(0), int);  // nothing allocated
  array.SetSize(10, 0);
  EXPECT_NO_THROW(array.FindLeafArrayContaining(255));
  EXPECT_THROW(array.FindLeafArrayContaining(256), int);
  EXPECT_THROW(array.FindLeafArrayContaining(0xFFFFFFFFu), int);
}

TEST(BulkArrayIndexTest, TheWholeRangeStopsTheCapacityAt32Bits) {
  // Two levels with leaves of 2^28 elements: 16 leaves make 2^32 elements.
  // The elements have no bytes, so the whole range costs no memory.
  const BitField layout[] = {4, 28};
  RecordingArray array(0, layout, 2, 0);
  EXPECT_EQ(array.SetSize(0xFFFFFFFFu, 0), 0xFFFFFFFFu);
  EXPECT_EQ(array.GetCapacity(), 0xFFFFFFFFu);  // 2^32 would read as 0
  EXPECT_EQ(array.RootLevel(), 0);
  EXPECT_EQ(array.SetSize(1, 1), 1u);           // shrinking only lowers the size
  EXPECT_EQ(array.SetSize(2, 1), 0xFFFFFFFFu);  // the whole (stopped) capacity
  EXPECT_NE(array.FindLeafArrayContaining(0xF0000000u), array.FindLeafArrayContaining(0xEFFFFFFFu));
  RecordingIterator it(array);
  it.GoTo(0xFFFFFFFEu);
  EXPECT_EQ(it.IsValid(), 1);
  EXPECT_EQ(it.Leaf(), array.FindLeafArrayContaining(0xF0000000u));
  EXPECT_EQ(it.Offset(), 0x0FFFFFFEu);
  it.MoveNext();
  EXPECT_EQ(it.IsValid(), 0);
  EXPECT_EQ(it.CurrentIndex(), 0xFFFFFFFEu);
  it.GoTo(0x0FFFFFFFu);
  it.MoveNext();  // across a leaf border
  EXPECT_EQ(it.Leaf(), array.FindLeafArrayContaining(0x10000000u));
  EXPECT_EQ(it.Offset(), 0u);

  // The largest leaf there can be is the root: its last element is still
  // found in it.
  const BitField single[] = {31};
  RecordingArray flat(0, single, 1, 0);
  EXPECT_EQ(flat.SetSize(0x80000000u, 0), 0x80000000u);
  EXPECT_EQ(flat.RootLevel(), 0);
  EXPECT_EQ(flat.FindLeafArrayContaining(0x7FFFFFFFu), flat.PlainLeaf(0));
  EXPECT_THROW(flat.FindLeafArrayContaining(0x80000000u), int);
}

TEST(BulkArrayIteratorBaseTest, WalksBothWaysChangingLeafOnlyAtTheBorder) {
  RecordingArray array(0);
  array.SetSize(300, 0);
  RecordingIterator it(array);
  ASSERT_EQ(it.IsValid(), 1);
  void* leaf = it.Leaf();
  int leafChanges = 0;
  ULONG expected = 0;
  for (; it.IsValid(); it.MoveNext(), ++expected) {
    ASSERT_EQ(it.CurrentIndex(), expected);
    ASSERT_EQ(static_cast<unsigned char*>(it.Leaf()) + it.Offset() * 4, array.Element(expected));
    if (it.Leaf() != leaf) {
      ++leafChanges;
      EXPECT_EQ(expected, 256u);
      leaf = it.Leaf();
    }
  }
  EXPECT_EQ(expected, 300u);
  EXPECT_EQ(leafChanges, 1);
  EXPECT_EQ(it.CurrentIndex(), 299u);  // stays on the last element

  it.GoTo(299);
  for (expected = 299; it.IsValid(); it.MovePrevious(), --expected) {
    ASSERT_EQ(it.CurrentIndex(), expected);
    ASSERT_EQ(static_cast<unsigned char*>(it.Leaf()) + it.Offset() * 4, array.Element(expected));
  }
  EXPECT_EQ(it.CurrentIndex(), 0u);
  EXPECT_EQ(expected, 0xFFFFFFFFu);  // element 0 was visited
}

TEST(BulkArrayIteratorBaseTest, GoingPastTheSizeLeavesTheIteratorInPlace) {
  RecordingArray array(0);
  array.SetSize(300, 0);
  RecordingIterator it(array);
  it.GoTo(100);
  it.GoTo(300);
  EXPECT_EQ(it.IsValid(), 0);
  EXPECT_EQ(it.CurrentIndex(), 100u);
  it.GoTo(0xFFFFFFFFu);
  EXPECT_EQ(it.CurrentIndex(), 100u);
  // After a failed GoTo a move restarts from where the iterator stood.
  it.MoveNext();
  EXPECT_EQ(it.IsValid(), 1);
  EXPECT_EQ(it.CurrentIndex(), 101u);
  EXPECT_EQ(static_cast<unsigned char*>(it.Leaf()) + it.Offset() * 4, array.Element(101));

  // The array shrinks under the iterator: it cannot step onto elements that
  // are no longer in use.
  it.GoTo(299);
  array.SetSize(100, 0);
  it.MoveNext();
  EXPECT_EQ(it.IsValid(), 0);
  it.GoTo(299);
  EXPECT_EQ(it.CurrentIndex(), 299u);
  it.MovePrevious();
  EXPECT_EQ(it.IsValid(), 0);
  EXPECT_EQ(it.CurrentIndex(), 299u);
  it.GoTo(99);
  EXPECT_EQ(it.IsValid(), 1);
  it.MovePrevious();
  EXPECT_EQ(it.CurrentIndex(), 98u);
}

TEST(BulkArrayIteratorBaseTest, AnEmptyArrayGivesAnInvalidIterator) {
  RecordingArray array(0);
  RecordingIterator it(array);
  EXPECT_EQ(it.IsValid(), 0);
  EXPECT_EQ(it.Leaf(), nullptr);
  it.MoveNext();
  it.MovePrevious();
  EXPECT_EQ(it.IsValid(), 0);
  EXPECT_EQ(it.CurrentIndex(), 0u);
  // The array grows: a move goes on from where the iterator stood, and
  // must look its leaf up rather than trust the unset one.
  array.SetSize(5, 0);
  it.MoveNext();
  EXPECT_EQ(it.IsValid(), 1);
  EXPECT_EQ(it.CurrentIndex(), 1u);
  EXPECT_EQ(it.Leaf(), array.FindLeafArrayContaining(1));
  EXPECT_EQ(it.Offset(), 1u);
}

// Counts live instances, so that leaks and double destruction show.
struct Tracked {
  Tracked() : text("fresh") { ++live; }
  ~Tracked() { --live; }
  Tracked(const Tracked&) = delete;
  Tracked& operator=(const Tracked&) = delete;
  std::string text;
  static int live;
};
int Tracked::live = 0;

TEST(BulkArrayTest, ConstructsAndDestroysEveryElementOfNonTrivialTypes) {
  {
    BulkArray<Tracked> array;
    array.SetSize(700, 0);
    EXPECT_EQ(Tracked::live, 768);  // three whole leaves
    EXPECT_EQ(array[699].text, "fresh");
    array[3].text = std::string(100, 'x');  // heap memory the leaf must release
    array.FreeMem();
    EXPECT_EQ(Tracked::live, 0);
    array.SetSize(1, 0);
    EXPECT_EQ(array[0].text, "fresh");
  }
  EXPECT_EQ(Tracked::live, 0);
}

TEST(BulkArrayTest, ValuesReadBackThroughIndexAndIterator) {
  // The default layout (two interior levels at this size) and a tree deeper
  // than the inline lookup reaches, which reads through the out-of-line walk.
  const BitField deep[] = {4, 4, 4, 4, 4, 4, 8};
  BulkArray<std::uint64_t> standard;
  BulkArray<std::uint64_t> deeper(deep, 7);
  for (BulkArray<std::uint64_t>* array : {&standard, &deeper}) {
    array->SetSize(70000, 0);
    for (ULONG e = 0; e < 70000; ++e) {
      ASSERT_EQ((*array)[e], 0u) << e;  // value-initialised
      (*array)[e] = e * 3ull;
    }
    ULONG visited = 0;
    for (BulkArray<std::uint64_t>::Iterator it(*array); it.IsValid(); it.MoveNext()) {
      ASSERT_EQ(*it, it.CurrentIndex() * 3ull);
      ASSERT_EQ(&*it, &(*array)[it.CurrentIndex()]);
      ++visited;
    }
    EXPECT_EQ(visited, 70000u);
    EXPECT_THROW((*array)[70000], int);  // allocated, but not in use
    EXPECT_THROW((*array)[0xFFFFFFFFu], int);
  }
  const BitField layout[] = {16, 4};
  BulkArray<char> small(layout, 2);
  small.SetSize(17, 0);
  EXPECT_EQ(small.GetCapacity(), 32u);
}

}  // namespace
