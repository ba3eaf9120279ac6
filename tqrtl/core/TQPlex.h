// TQPlex.h: a chain of raw memory blocks from which fixed-size list nodes
// are carved.
//
// A block is one pointer-sized header word (`next`) followed by its data. The
// owner keeps a pointer to the newest block (the head) and threads the nodes
// of each block onto its own free list; the chain exists so that
// FreeDataChain can release every block at once. Not locked: the owning list
// provides whatever locking it needs.
#ifndef TQRTL_CORE_TQPLEX_H_
#define TQRTL_CORE_TQPLEX_H_

#include "tqrtl/platform/win32.h"

struct TQRTL_API TQPlex {
  TQPlex* next;

  // data: the first data byte, just behind the header.
  void* data() { return this + 1; }

  // Create: allocates one block of count * elementSize data bytes plus the
  // header, links it in front of `head` and makes it the new head. Returns
  // the new block. Throws TQMemoryException when memory runs out (`head` is
  // then unchanged).
  static TQPlex* Create(TQPlex*& head, unsigned int count, unsigned int elementSize);

  // FreeDataChain: frees this block and every block behind it.
  void FreeDataChain();

  TQPlex& operator=(const TQPlex& other) {
    next = other.next;
    return *this;
  }
};

#endif  // TQRTL_CORE_TQPLEX_H_
