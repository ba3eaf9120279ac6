#include "tqrtl/core/StringHandle.h"

#include <cstdio>
#include <new>

#include "tqrtl/core/internal/string_pool.h"

namespace StrUtil {
namespace {

constexpr int kSlots = 3;

// The pool's lock lives as long as the library.
class PoolLock {
 public:
  PoolLock() { InitializeCriticalSection(&m_section); }
  ~PoolLock() { DeleteCriticalSection(&m_section); }
  void Enter() { EnterCriticalSection(&m_section); }
  void Leave() { LeaveCriticalSection(&m_section); }

 private:
  CRITICAL_SECTION m_section;
};
PoolLock g_lock;

// The slots live in static storage, built on the first request and
// destroyed when the library unloads.
alignas(StringBuffer) unsigned char g_storage[kSlots][sizeof(StringBuffer)];
StringBuffer* g_slots[kSlots] = {nullptr, nullptr, nullptr};
int g_next = 0;

}  // namespace

StringHandle::StringHandle(HINSTANCE module, unsigned int id) : m_buffer(nullptr) {
  g_lock.Enter();
  if (g_slots[0] == nullptr) {
    for (int i = 0; i < kSlots; ++i) g_slots[i] = new (g_storage[i]) StringBuffer();
  }
  StringBuffer* slot = nullptr;
  const int start = g_next;
  int index = start;
  do {
    StringBuffer* candidate = g_slots[index];
    index = (index + 1) % kSlots;
    g_next = index;
    if (candidate->GetRefCount() == 0) {
      slot = candidate;
      break;
    }
  } while (index != start);
  if (slot != nullptr) {
    if (::LoadStringA(module, id, slot->Text(), StringBuffer::kTextSize) == 0)
      std::snprintf(slot->Text(), StringBuffer::kTextSize, "*** Can't load string %u", id);
    slot->AddRef();
    m_buffer = slot;
  }
  g_lock.Leave();
}

StringHandle::StringHandle(const StringHandle& other) : m_buffer(other.m_buffer) {
  if (m_buffer != nullptr) m_buffer->AddRef();
}

StringHandle& StringHandle::operator=(const StringHandle& other) {
  if (m_buffer == other.m_buffer) return *this;
  if (m_buffer != nullptr) m_buffer->Release();
  m_buffer = other.m_buffer;
  if (m_buffer != nullptr) m_buffer->AddRef();
  return *this;
}

StringHandle::~StringHandle() {
  if (m_buffer != nullptr) m_buffer->Release();
}

namespace internal {

void DestroyStringPool() {
  g_lock.Enter();
  if (g_slots[0] != nullptr) {
    for (int i = 0; i < kSlots; ++i) {
      g_slots[i]->~StringBuffer();
      g_slots[i] = nullptr;
    }
  }
  g_next = 0;
  g_lock.Leave();
}

}  // namespace internal
}  // namespace StrUtil
