// Tests of the allocator inside a shared block, run over plain buffers: the
// raw bytes of the header, tags and links; first fit and the split rule;
// merging on free; small blocks freed in every order; a random workload
// against a record of what is allocated; and the checker's own eye for
// corruption.
#include "tqrtl/ipc/internal/shared_free_list.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <utility>
#include <vector>

namespace {

using L = SharedFreeList;

uint32_t U32(const std::vector<unsigned char>& bytes, uint32_t offset) {
  uint32_t value;
  std::memcpy(&value, bytes.data() + offset, 4);
  return value;
}

void Put32(std::vector<unsigned char>& bytes, uint32_t offset, uint32_t value) {
  std::memcpy(bytes.data() + offset, &value, 4);
}

// A block of `total` bytes with a fresh header and one free block.
struct Block {
  explicit Block(uint32_t total, uint32_t minRemainder = 16) : bytes(total, 0xCD) {
    L::WriteHeader(bytes.data(), total, minRemainder, 4242);
    list = std::make_unique<L>(bytes.data());
    list->Initialise();
  }
  uint32_t Offset(const void* p) const { return list->OffsetOf(p); }
  void* At(uint32_t offset) { return bytes.data() + offset; }
  std::string Fault() const {
    TQString fault;
    return list->Check(&fault) ? std::string() : std::string(fault);
  }
  std::vector<unsigned char> bytes;
  std::unique_ptr<L> list;
};

// The tags of the block at `offset` as the raw bytes hold them.
void ExpectFreeBlock(const Block& b, uint32_t offset, uint32_t size) {
  SCOPED_TRACE(testing::Message() << "free block at " << offset);
  EXPECT_EQ(U32(b.bytes, offset), 1u);
  EXPECT_EQ(U32(b.bytes, offset + 4), size);
  EXPECT_EQ(U32(b.bytes, offset + size - 8), offset);
  EXPECT_EQ(U32(b.bytes, offset + size - 4), 1u);
}

void ExpectAllocatedBlock(const Block& b, uint32_t offset, uint32_t size) {
  SCOPED_TRACE(testing::Message() << "allocated block at " << offset);
  EXPECT_EQ(U32(b.bytes, offset), 0u);
  EXPECT_EQ(U32(b.bytes, offset + 4), size);
  EXPECT_EQ(U32(b.bytes, offset + size - 4), 0u);
}

TEST(SharedFreeListTest, FreshBlockHasTheHeaderAndOneSelfLinkedFreeBlock) {
  Block b(4096, 64);
  const std::vector<unsigned char> header(b.bytes.begin(), b.bytes.begin() + 8);
  EXPECT_EQ(header, (std::vector<unsigned char>{0x00, 0x01, 1, 0, 0x92, 0x10, 0, 0}));
  EXPECT_EQ(U32(b.bytes, 8), 4096u);
  EXPECT_EQ(U32(b.bytes, 12), 64u);
  EXPECT_EQ(U32(b.bytes, 16), 20u);  // head
  ExpectFreeBlock(b, 20, 4076);
  EXPECT_EQ(U32(b.bytes, 28), 20u);  // next
  EXPECT_EQ(U32(b.bytes, 32), 20u);  // prev
  EXPECT_EQ(b.Fault(), "");
}

// Each case: a free area of `area` bytes (the whole block after the
// header), one request, where the piece lands and what stays free.
TEST(SharedFreeListTest, FitAndSplitRule) {
  struct Case {
    uint32_t area, minRemainder, n;
    bool fits;
    uint32_t takenSize;  // the allocated block's size; area when taken whole
  } cases[] = {
      {40, 16, 28, true, 40},  // size - 12 == n: fits exactly, taken whole
      {40, 16, 29, false, 0},  // one byte more does not fit
      {40, 16, 12, true, 40},  // remainder 16 could hold no free block's tags
      {40, 16, 13, true, 40},         {48, 16, 12, true, 24},  // remainder 24: split
      {47, 16, 12, true, 47},                                  // remainder 23: taken whole
      {48, 24, 12, true, 24},         {48, 25, 12, true, 48},  // minRemainder above 24 is honoured
      {148, 100, 36, true, 48},  // remainder exactly minRemainder: split
      {148, 101, 36, true, 148},      {48, 0, 0, true, 12},  // a minRemainder below 16 is harmless
      {48, 0, 0xFFFFFFFFu, false, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message()
                 << "area " << c.area << " minRemainder " << c.minRemainder << " n " << c.n);
    Block b(20 + c.area, c.minRemainder);
    void* p = b.list->Alloc(c.n);
    ASSERT_EQ(p != nullptr, c.fits);
    if (!c.fits) {
      ExpectFreeBlock(b, 20, c.area);
      continue;
    }
    const uint32_t block = 20 + c.area - c.takenSize;
    EXPECT_EQ(b.Offset(p), block + 8);
    ExpectAllocatedBlock(b, block, c.takenSize);
    if (c.takenSize == c.area) {
      EXPECT_EQ(U32(b.bytes, 16), 0u) << "head of an empty list";
      EXPECT_EQ(b.list->Alloc(0), nullptr);
    } else {
      ExpectFreeBlock(b, 20, c.area - c.takenSize);
    }
    EXPECT_EQ(b.Fault(), "");
  }
}

TEST(SharedFreeListTest, FirstFitWalksFromHeadAlongNext) {
  // Freeing puts each block at the head of the list, so the walk order is
  // the reverse of the frees.
  Block b(20 + 600);
  std::vector<void*> p;
  for (int i = 0; i < 5; ++i) p.push_back(b.list->Alloc(88));  // 100-byte blocks
  // p[4] is lowest (offset 120), p[0] highest; 100 bytes stay free at 20.
  ASSERT_EQ(b.Offset(p[4]), 128u);
  ASSERT_TRUE(b.list->Free(p[0]));  // 520
  ASSERT_TRUE(b.list->Free(p[2]));  // 320
  EXPECT_EQ(U32(b.bytes, 16), 320u);
  // The list is 320 -> 520 -> 20 -> 320.
  EXPECT_EQ(U32(b.bytes, 320 + 8), 520u);
  EXPECT_EQ(U32(b.bytes, 520 + 8), 20u);
  EXPECT_EQ(U32(b.bytes, 20 + 8), 320u);
  EXPECT_EQ(U32(b.bytes, 320 + 12), 20u);
  // The head's block fits first.
  void* q = b.list->Alloc(20);
  EXPECT_EQ(b.Offset(q), 320u + 100 - 32 + 8);
  // The head (68 bytes now) is too small for 80: the walk goes on to 520,
  // which is taken whole (8 bytes would be left).
  void* r = b.list->Alloc(80);
  EXPECT_EQ(b.Offset(r), 528u);
  EXPECT_EQ(U32(b.bytes, 16), 320u);
  EXPECT_EQ(U32(b.bytes, 320 + 8), 20u);
  EXPECT_EQ(U32(b.bytes, 20 + 12), 320u);
  EXPECT_EQ(b.Fault(), "");
  // Nothing left holds 89 bytes.
  EXPECT_EQ(b.list->Alloc(89), nullptr);
}

TEST(SharedFreeListTest, FreeMergesWithEachNeighbourThroughTheTags) {
  // Layout after five 100-byte pieces from the top of 20 + 600:
  // free 20..120, A 120, B 220, C 320, D 420, E 520.
  Block b(20 + 600);
  void* e = b.list->Alloc(88);
  void* d = b.list->Alloc(88);
  void* c = b.list->Alloc(88);
  void* bb = b.list->Alloc(88);
  void* a = b.list->Alloc(88);
  ASSERT_EQ(b.Offset(a), 128u);

  // Neither neighbour free: C joins the list before head and becomes head.
  ASSERT_TRUE(b.list->Free(c));
  ExpectFreeBlock(b, 320, 100);
  EXPECT_EQ(U32(b.bytes, 16), 320u);
  EXPECT_EQ(U32(b.bytes, 320 + 8), 20u);
  EXPECT_EQ(U32(b.bytes, 320 + 12), 20u);

  // Only the left neighbour (C) free: C grows, the list is unchanged.
  ASSERT_TRUE(b.list->Free(d));
  ExpectFreeBlock(b, 320, 200);
  EXPECT_EQ(U32(b.bytes, 16), 320u);

  // Only the right neighbour (C) free: B takes C's place and becomes head.
  ASSERT_TRUE(b.list->Free(bb));
  ExpectFreeBlock(b, 220, 300);
  EXPECT_EQ(U32(b.bytes, 16), 220u);
  EXPECT_EQ(U32(b.bytes, 220 + 8), 20u);
  EXPECT_EQ(U32(b.bytes, 20 + 12), 220u);

  // Both free: the block at 20 takes everything up to E; 220 leaves the list.
  ASSERT_TRUE(b.list->Free(a));
  ExpectFreeBlock(b, 20, 500);
  EXPECT_EQ(U32(b.bytes, 16), 20u);
  EXPECT_EQ(U32(b.bytes, 28), 20u);
  EXPECT_EQ(U32(b.bytes, 32), 20u);
  EXPECT_EQ(b.Fault(), "");

  ASSERT_TRUE(b.list->Free(e));
  ExpectFreeBlock(b, 20, 600);
  EXPECT_EQ(b.Fault(), "");
}

TEST(SharedFreeListTest, FreeRefusesWhatIsNotAnAllocatedBlock) {
  Block b(20 + 600);
  void* p = b.list->Alloc(50);
  void* q = b.list->Alloc(50);
  ASSERT_TRUE(b.list->Free(p));
  const std::vector<unsigned char> before = b.bytes;
  EXPECT_TRUE(b.list->Free(nullptr));
  EXPECT_FALSE(b.list->Free(p)) << "second free";
  EXPECT_FALSE(b.list->Free(static_cast<char*>(q) + 1)) << "inside a piece";
  EXPECT_FALSE(b.list->Free(b.At(20 + 8))) << "the free block";
  EXPECT_FALSE(b.list->Free(b.At(4))) << "the header";
  EXPECT_FALSE(b.list->Free(b.bytes.data() + b.bytes.size())) << "past the end";
  int elsewhere = 0;
  EXPECT_FALSE(b.list->Free(&elsewhere));
  EXPECT_EQ(b.bytes, before);
  // Freed into both neighbours, q's own header is inside the merged block.
  ASSERT_TRUE(b.list->Free(q));
  const std::vector<unsigned char> merged = b.bytes;
  EXPECT_FALSE(b.list->Free(q)) << "second free after merging";
  EXPECT_EQ(b.bytes, merged);
}

// Blocks of 12 to 23 bytes cannot carry free-list links: freed alone they
// wait as fragments until a neighbour frees. Every order of freeing six
// neighbouring blocks, small ones among them, must keep the block sound
// and end in one free block. The bottom block either takes part or stays
// free throughout.
TEST(SharedFreeListTest, SmallBlocksFreedInEveryOrder) {
  const std::vector<uint32_t> requests = {0, 1, 0, 18, 11, 0};  // blocks 12 13 12 30 23 12
  for (bool bottomFree : {false, true}) {
    std::vector<int> order = {0, 1, 2, 3, 4, 5};
    const uint32_t bottom = 24;
    uint32_t area = bottom;
    for (uint32_t n : requests) area += n + 12;
    int permutations = 0;
    do {
      SCOPED_TRACE(testing::Message() << "bottom free " << bottomFree << " order " << order[0]
                                      << order[1] << order[2] << order[3] << order[4] << order[5]);
      Block b(20 + area);
      std::vector<void*> pieces;
      for (uint32_t n : requests) pieces.push_back(b.list->Alloc(n));
      void* bottomPiece = nullptr;
      if (!bottomFree) {
        bottomPiece = b.list->Alloc(bottom - 12);
        ASSERT_EQ(b.Offset(bottomPiece), 28u);
        ASSERT_EQ(U32(b.bytes, 16), 0u);
      }
      for (size_t i = 0; i < pieces.size(); ++i) {
        ASSERT_NE(pieces[i], nullptr);
        std::memset(pieces[i], 0x5A, requests[i]);
      }
      for (int index : order) {
        ASSERT_TRUE(b.list->Free(pieces[index])) << "piece " << index;
        ASSERT_EQ(b.Fault(), "") << "after freeing piece " << index;
        // The pieces still held are untouched.
        for (size_t i = 0; i < pieces.size(); ++i) {
          if (pieces[i] == nullptr || static_cast<int>(i) == index) continue;
          const auto* bytes = static_cast<const unsigned char*>(pieces[i]);
          for (uint32_t k = 0; k < requests[i]; ++k) ASSERT_EQ(bytes[k], 0x5A) << "piece " << i;
        }
        pieces[index] = nullptr;
      }
      if (bottomPiece != nullptr) {
        ASSERT_TRUE(b.list->Free(bottomPiece));
      }
      ExpectFreeBlock(b, 20, area);
      EXPECT_EQ(U32(b.bytes, 16), 20u);
      ++permutations;
    } while (std::next_permutation(order.begin(), order.end()) && !HasFailure());
    if (!HasFailure()) {
      EXPECT_EQ(permutations, 720);
    }
  }
}

TEST(SharedFreeListTest, RandomWorkKeepsEveryPieceAndTheBlockSound) {
  std::mt19937 random(20261205);
  for (uint32_t minRemainder : {0u, 16u, 24u, 40u}) {
    SCOPED_TRACE(testing::Message() << "minRemainder " << minRemainder);
    Block b(4096, minRemainder);
    std::map<unsigned char*, std::pair<uint32_t, unsigned char>> held;  // size, pattern
    for (int step = 0; step < 6000 && !HasFailure(); ++step) {
      if (held.empty() || random() % 100 < 55) {
        // Mostly small requests, some large, so that both fragments and
        // failed requests happen.
        const uint32_t n = random() % 8 == 0 ? random() % 600 : random() % 24;
        auto* p = static_cast<unsigned char*>(b.list->Alloc(n));
        if (p == nullptr) continue;
        const auto pattern = static_cast<unsigned char>(random());
        std::memset(p, pattern, n);
        ASSERT_TRUE(held.emplace(p, std::make_pair(n, pattern)).second);
      } else {
        auto it = held.begin();
        std::advance(it, random() % held.size());
        for (uint32_t k = 0; k < it->second.first; ++k) {
          ASSERT_EQ(it->first[k], it->second.second) << "step " << step;
        }
        ASSERT_TRUE(b.list->Free(it->first));
        held.erase(it);
      }
      ASSERT_EQ(b.Fault(), "") << "step " << step;
    }
    for (auto& [p, content] : held) ASSERT_TRUE(b.list->Free(p));
    ExpectFreeBlock(b, 20, 4076);
    EXPECT_EQ(b.Fault(), "");
  }
}

// The checker is what the multi-process tests rely on: each kind of damage
// must be seen.
TEST(SharedFreeListTest, CheckerSeesEveryKindOfDamage) {
  // Layout: free 20..120 (head), A 120..220, free 220..320, B 320..420,
  // fragment 420..432, C 432..620.
  auto make = [] {
    auto b = std::make_unique<Block>(20 + 600);
    void* c = b->list->Alloc(176);
    void* f = b->list->Alloc(0);
    void* bb = b->list->Alloc(88);
    void* mid = b->list->Alloc(88);
    void* a = b->list->Alloc(88);
    EXPECT_EQ(b->Offset(a), 128u);
    EXPECT_TRUE(b->list->Free(mid));
    EXPECT_TRUE(b->list->Free(f));
    (void)c;
    (void)bb;
    EXPECT_EQ(b->Fault(), "");
    return b;
  };
  struct Damage {
    const char* what;
    std::vector<std::pair<uint32_t, uint32_t>> writes;  // offset, value
    const char* expected;                               // a part of the fault text
  } damages[] = {
      {"version", {{0, 0x0101}}, "version"},
      {"allocated tail", {{220 - 4, 1}}, "tailState"},
      {"free tail", {{320 - 4, 0}}, "tailState"},
      {"self word", {{320 - 8, 20}}, "self word"},
      {"size too large", {{120 + 4, 100000}}, "size"},
      {"size too small", {{120 + 4, 8}}, "size"},
      {"unknown state", {{120, 7}}, "state"},
      {"fragment size", {{420, 2 | 13 << 8}}, "tailState"},
      {"next", {{20 + 8, 120}}, "point back"},
      {"prev", {{220 + 12, 220}}, "point back"},
      {"head on an allocated block", {{16, 120}}, "not a free block"},
      {"head empty", {{16, 0}}, "head is 0"},
      {"a free block left out", {{20 + 8, 20}}, "point back"},
      {"two free blocks side by side, each sound on its own",
       {{120, 1}, {124, 100}, {220 - 8, 120}, {220 - 4, 1}},
       "neither"},
      {"two circular lists of one, head reaching only one",
       {{28, 20}, {32, 20}, {228, 220}, {232, 220}},
       "not in the list"},
  };
  for (const Damage& d : damages) {
    auto b = make();
    for (const auto& [offset, value] : d.writes) Put32(b->bytes, offset, value);
    const std::string fault = b->Fault();
    EXPECT_NE(fault.find(d.expected), std::string::npos) << d.what << ": " << fault;
  }
}

}  // namespace
