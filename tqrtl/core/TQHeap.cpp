#include "tqrtl/core/TQHeap.h"

TQHeap::TQHeap() : m_heap(nullptr), m_attached(0) {}

TQHeap::TQHeap(void* heap) : m_heap(nullptr), m_attached(0) { Attach(heap); }

TQHeap::TQHeap(unsigned long initialSize, unsigned long maximumSize, unsigned long options)
    : m_heap(nullptr), m_attached(0) {
  Create(initialSize, maximumSize, options);
}

TQHeap::~TQHeap() {
  if (IsValid()) Destroy();
}

TQHeap::TQHeap(TQHeap&& other) noexcept : m_heap(other.m_heap), m_attached(other.m_attached) {
  other.m_heap = nullptr;
  other.m_attached = 0;
}

TQHeap& TQHeap::operator=(TQHeap&& other) noexcept {
  if (this != &other) {
    if (IsValid()) Destroy();
    m_heap = other.m_heap;
    m_attached = other.m_attached;
    other.m_heap = nullptr;
    other.m_attached = 0;
  }
  return *this;
}

bool TQHeap::Create(unsigned long initialSize, unsigned long maximumSize, unsigned long options) {
  if (IsValid()) Destroy();
  m_attached = 0;
  m_heap = HeapCreate(static_cast<DWORD>(options), static_cast<SIZE_T>(initialSize),
                      static_cast<SIZE_T>(maximumSize));
  return m_heap != nullptr;
}

void TQHeap::Destroy() {
  if (m_heap != nullptr && m_heap != GetProcessHeap()) HeapDestroy(m_heap);
  m_heap = nullptr;
}

bool TQHeap::Attach(void* heap) {
  if (heap == nullptr) heap = GetProcessHeap();
  if (heap == nullptr) return false;
  m_heap = heap;
  m_attached = 1;
  return true;
}

void TQHeap::Detach() {
  m_heap = nullptr;
  m_attached = 0;
}

void* TQHeap::Alloc(unsigned int size, unsigned long flags) const {
  if (m_heap == nullptr) return nullptr;
  return HeapAlloc(m_heap, static_cast<DWORD>(flags), size);
}

bool TQHeap::Free(void* p, unsigned long flags) const {
  if (m_heap == nullptr) return false;
  return HeapFree(m_heap, static_cast<DWORD>(flags), p) != FALSE;
}

void* TQHeap::Realloc(void* p, unsigned int size, unsigned long flags) const {
  if (m_heap == nullptr) return nullptr;
  return HeapReAlloc(m_heap, static_cast<DWORD>(flags), p, size);
}
