#include "tqrtl/core/EventSender.h"

#include "tqrtl/core/TQInterlocked.h"

EventNotification::~EventNotification() = default;

EventReceiver::EventReceiver() : m_registrations(0) {}

EventReceiver::~EventReceiver() = default;

LONG EventReceiver::EventRegistrations() const {
  return InterlockedCompareExchange(const_cast<LONG*>(&m_registrations), 0, 0);
}

EventSender::EventSender()
    : m_head(nullptr),
      m_tail(nullptr),
      m_count(0),
      m_free(nullptr),
      m_blocks(nullptr),
      m_block_size(10),
      m_enable_count(1),
      m_walk_depth(0),
      m_has_removed(false) {}

EventSender::~EventSender() {
  for (Node* node = m_head; node != nullptr; node = node->next) {
    if (node->receiver != nullptr) TQInterlockedDecrement(&node->receiver->m_registrations);
  }
  if (m_blocks != nullptr) m_blocks->FreeDataChain();
}

EventSender::Node* EventSender::Find(EventReceiver* r) const {
  if (r == nullptr) return nullptr;
  for (Node* node = m_head; node != nullptr; node = node->next) {
    if (node->receiver == r) return node;
  }
  return nullptr;
}

void EventSender::EventRegister(EventReceiver* r) const {
  const_cast<EventSender*>(this)->EventRegister(r);
}

void EventSender::EventRegister(EventReceiver* r) {
  if (r == nullptr) return;
  if (Find(r) == nullptr) {
    if (m_free == nullptr) {
      // Throws TQMemoryException before anything changed.
      TQPlex* block = TQPlex::Create(m_blocks, static_cast<unsigned>(m_block_size), sizeof(Node));
      Node* nodes = static_cast<Node*>(block->data());
      for (int i = m_block_size - 1; i >= 0; --i) {
        nodes[i].next = m_free;
        m_free = &nodes[i];
      }
    }
    Node* node = m_free;
    m_free = node->next;
    node->receiver = r;
    node->next = nullptr;
    node->prev = m_tail;
    if (m_tail != nullptr) {
      m_tail->next = node;
    } else {
      m_head = node;
    }
    m_tail = node;
    ++m_count;
  }
  TQInterlockedIncrement(&r->m_registrations);
}

int EventSender::EventIsRegistered(EventReceiver* r) const { return Find(r) != nullptr ? 1 : 0; }

void EventSender::EventUnregister(EventReceiver* r) const {
  const_cast<EventSender*>(this)->EventUnregister(r);
}

void EventSender::EventUnregister(EventReceiver* r) {
  Node* node = Find(r);
  if (node == nullptr) return;
  --m_count;
  TQInterlockedDecrement(&r->m_registrations);
  if (m_walk_depth > 0) {
    // A notification may stand on this node or hold it as its last one:
    // leave it linked, empty, until the outermost notification ends.
    node->receiver = nullptr;
    m_has_removed = true;
    return;
  }
  Unlink(node);
  if (m_count == 0 && m_head == nullptr) {
    m_blocks->FreeDataChain();
    m_blocks = nullptr;
    m_free = nullptr;
  }
}

void EventSender::Unlink(Node* node) {
  if (node->prev != nullptr) {
    node->prev->next = node->next;
  } else {
    m_head = node->next;
  }
  if (node->next != nullptr) {
    node->next->prev = node->prev;
  } else {
    m_tail = node->prev;
  }
  node->next = m_free;
  m_free = node;
}

void EventSender::PurgeRemoved() {
  m_has_removed = false;
  Node* node = m_head;
  while (node != nullptr) {
    Node* following = node->next;
    if (node->receiver == nullptr) Unlink(node);
    node = following;
  }
  if (m_head == nullptr && m_blocks != nullptr) {
    m_blocks->FreeDataChain();
    m_blocks = nullptr;
    m_free = nullptr;
  }
}

int EventSender::EventNotify(EventNotification const& n, EventScope scope) const {
  return const_cast<EventSender*>(this)->Walk(n, scope);
}

int EventSender::Walk(EventNotification const& n, EventScope scope) {
  if (!EventNotificationIsEnabled()) return 0;
  // Receivers added during this notification are appended behind `last`
  // and wait for the next one.
  Node* const last = m_tail;
  if (last == nullptr) return 0;

  struct DepthGuard {
    EventSender* sender;
    explicit DepthGuard(EventSender* s) : sender(s) { ++sender->m_walk_depth; }
    ~DepthGuard() {
      if (--sender->m_walk_depth == 0 && sender->m_has_removed) sender->PurgeRemoved();
    }
  } guard(this);

  int handled = 0;
  for (Node* node = m_head;; node = node->next) {
    if (handled > 0 && scope != ScopeAll) break;
    if (node->receiver != nullptr && node->receiver->UponEventNotification(&n, this) != 0) {
      ++handled;
    }
    if (node == last) break;
  }
  return handled;
}

void EventSender::EventNotificationEnable(int enable) {
  if (enable != 0) {
    TQInterlockedIncrement(&m_enable_count);
  } else {
    TQInterlockedDecrement(&m_enable_count);
  }
}

int EventSender::EventNotificationIsEnabled() const {
  return InterlockedCompareExchange(const_cast<LONG*>(&m_enable_count), 0, 0) > 0 ? 1 : 0;
}

// ---------------------------------------------------------------------------

namespace {

class Locked {
 public:
  explicit Locked(CRITICAL_SECTION* lock) : lock_(lock) { EnterCriticalSection(lock_); }
  ~Locked() { LeaveCriticalSection(lock_); }
  Locked(const Locked&) = delete;
  Locked& operator=(const Locked&) = delete;

 private:
  CRITICAL_SECTION* lock_;
};

}  // namespace

ThreadSafeEventSender::ThreadSafeEventSender() { InitializeCriticalSection(&m_lock); }

ThreadSafeEventSender::~ThreadSafeEventSender() { DeleteCriticalSection(&m_lock); }

void ThreadSafeEventSender::EventRegister(EventReceiver* r) const {
  const_cast<ThreadSafeEventSender*>(this)->EventRegister(r);
}

void ThreadSafeEventSender::EventRegister(EventReceiver* r) {
  Locked locked(&m_lock);
  EventSender::EventRegister(r);
}

int ThreadSafeEventSender::EventIsRegistered(EventReceiver* r) const {
  Locked locked(&m_lock);
  return EventSender::EventIsRegistered(r);
}

void ThreadSafeEventSender::EventUnregister(EventReceiver* r) const {
  const_cast<ThreadSafeEventSender*>(this)->EventUnregister(r);
}

void ThreadSafeEventSender::EventUnregister(EventReceiver* r) {
  Locked locked(&m_lock);
  EventSender::EventUnregister(r);
}

int ThreadSafeEventSender::EventNotify(EventNotification const& n, EventScope scope) const {
  Locked locked(&m_lock);
  return EventSender::EventNotify(n, scope);
}
