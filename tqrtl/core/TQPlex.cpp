#include "tqrtl/core/TQPlex.h"

#include <cstdint>
#include <new>

#include "tqrtl/errors/TQException.h"

TQPlex* TQPlex::Create(TQPlex*& head, unsigned int count, unsigned int elementSize) {
  const std::uint64_t bytes =
      static_cast<std::uint64_t>(count) * elementSize + sizeof(TQPlex);
  if (bytes > SIZE_MAX) throw TQMemoryException();
  void* memory = ::operator new(static_cast<size_t>(bytes), std::nothrow);
  if (memory == nullptr) throw TQMemoryException();
  TQPlex* block = static_cast<TQPlex*>(memory);
  block->next = head;
  head = block;
  return block;
}

void TQPlex::FreeDataChain() {
  TQPlex* block = this;
  while (block != nullptr) {
    TQPlex* following = block->next;
    ::operator delete(static_cast<void*>(block));
    block = following;
  }
}
