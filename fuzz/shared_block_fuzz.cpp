// Fuzzes the allocator inside a shared block, which reads offsets and sizes
// that other processes wrote.
//
// Input: byte 0 the mode, byte 1 the number of operations (at most 64),
// then 3 bytes per operation (kind, 16-bit size or index), then the rest.
//   mode even: a fresh 2 KiB block (minRemainder from the rest's first
//     byte). The operations allocate, fill and free pieces; after each, the
//     checker must find the block sound, every piece must keep its bytes,
//     and a second free of a piece must be refused.
//   mode odd: the rest is the block image (a header with the right version
//     and size is put over it). Check, Alloc and Free on it may fail but
//     must stay inside it.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "tqrtl/ipc/internal/shared_free_list.h"

namespace {

struct Piece {
  unsigned char* p;
  uint32_t size;
  unsigned char fill;
};

void Require(bool condition) {
  if (!condition) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const bool hostile = (data[0] & 1) != 0;
  const size_t count = data[1] % 65;
  if (size < 2 + 3 * count) return 0;
  const uint8_t* ops = data + 2;
  const uint8_t* rest = ops + 3 * count;
  const size_t restSize = size - 2 - 3 * count;

  const uint32_t total = hostile ? static_cast<uint32_t>(restSize < 64 ? 64 : restSize) : 2048;
  if (total > 1 << 16) return 0;
  std::vector<unsigned char> block(total, 0);
  if (hostile) {
    std::memcpy(block.data(), rest, restSize);
    const uint16_t version = SharedFreeList::kVersion;
    std::memcpy(block.data() + SharedFreeList::kVersionOffset, &version, 2);
    std::memcpy(block.data() + SharedFreeList::kTotalSizeOffset, &total, 4);
  } else {
    SharedFreeList::WriteHeader(block.data(), total, restSize > 0 ? rest[0] : 16, 1);
  }
  SharedFreeList list(block.data());
  if (!hostile) list.Initialise();
  list.Check(nullptr);

  std::vector<Piece> held;
  for (size_t i = 0; i < count; ++i) {
    const uint8_t kind = ops[3 * i];
    const uint32_t value = ops[3 * i + 1] | ops[3 * i + 2] << 8;
    if (kind % 2 == 0) {
      const uint32_t n = value % 700;
      auto* p = static_cast<unsigned char*>(list.Alloc(n));
      if (p != nullptr) {
        Require(p >= block.data() + 28 && p + n <= block.data() + total);
        const auto fill = static_cast<unsigned char>(kind);
        std::memset(p, fill, n);
        held.push_back(Piece{p, n, fill});
      }
    } else if (!held.empty() && (!hostile || (kind & 2) != 0)) {
      const size_t index = value % held.size();
      const Piece piece = held[index];
      held.erase(held.begin() + static_cast<std::ptrdiff_t>(index));
      const bool freed = list.Free(piece.p);
      if (!hostile) {
        Require(freed);
        Require(!list.Free(piece.p));
      }
    } else if (hostile) {
      list.Free(block.data() + value % (total + 16));
    }
    if (!hostile) {
      Require(list.Check(nullptr));
      for (const Piece& piece : held) {
        for (uint32_t k = 0; k < piece.size; ++k) Require(piece.p[k] == piece.fill);
      }
    } else {
      list.Check(nullptr);
    }
  }
  if (!hostile) {
    for (const Piece& piece : held) Require(list.Free(piece.p));
    Require(list.Check(nullptr));
    uint32_t head;
    std::memcpy(&head, block.data() + SharedFreeList::kHeadOffset, 4);
    Require(head == SharedFreeList::kHeaderSize);
  }
  return 0;
}
