// EventSender.h: the library's observer mechanism.
//
// An EventSender keeps a list of EventReceiver pointers in registration
// order and hands each receiver an EventNotification when something happens.
// Notifications are classes derived from EventNotification that carry their
// data as public fields; a receiver recognises the ones it handles by a
// dynamic_cast to their class. EventNotify returns how many receivers
// reported the notification handled.
//
// The sender keeps raw pointers: a receiver must be unregistered from every
// sender before it is destroyed (its destructor does not do it).
//
// Changes to the list during a notification. A receiver may register or
// unregister itself or any other receiver from inside
// UponEventNotification, and may start a nested notification on the same
// sender. A notification reaches exactly the receivers that were registered
// when it began and are still registered when their turn comes: a receiver
// removed during the walk is skipped, one added during the walk waits for
// the next notification. Removed nodes stay linked (marked empty) until the
// outermost notification ends, so the walk never follows a freed node.
//
// Thread-safety: EventSender takes no lock; one thread at a time.
// ThreadSafeEventSender holds one re-entrant critical section over each
// operation, across the receivers' calls of a whole notification: the
// notifying thread may change the list from inside a receiver, another
// thread waits until the notification is over. A receiver's registration
// count changes atomically, so one receiver may be registered with senders
// on different threads.
//
// Failures: registering throws TQMemoryException when no node can be
// allocated (the list is then unchanged). Unregistering a receiver that is
// not in the list changes nothing. An exception thrown by a receiver leaves
// EventNotify; the sender stays consistent.
#ifndef TQRTL_CORE_EVENTSENDER_H_
#define TQRTL_CORE_EVENTSENDER_H_

#include "tqrtl/core/TQPlex.h"
#include "tqrtl/platform/win32.h"

class EventSender;

// EventNotification: the base of every notification; no data of its own.
struct TQRTL_API EventNotification {
  virtual ~EventNotification();
};

// EventReceiver: the interface of whatever wants notifications.
class TQRTL_API EventReceiver {
 public:
  // UponEventNotification: called by `sender` for each notification, on the
  // thread that notifies. Returns nonzero when the receiver handled it.
  virtual int UponEventNotification(EventNotification const* notification, EventSender* sender) = 0;

  // EventRegistrations: raised by 1 by every EventRegister of this receiver
  // with any sender (repeated ones included), lowered by 1 by every removal
  // from a sender's list. 0 for a receiver that no sender holds.
  LONG EventRegistrations() const;

 protected:
  EventReceiver();
  virtual ~EventReceiver();
  EventReceiver(const EventReceiver&) = delete;
  EventReceiver& operator=(const EventReceiver&) = delete;

 private:
  friend class EventSender;
  LONG m_registrations;
};

class TQRTL_API EventSender {
 public:
  enum EventScope {
    ScopeAll = 0,    // every receiver is called
    ScopeFirst = 1,  // calling stops at the first receiver that handled it
  };

  // An empty list with notification enabled.
  EventSender();
  // Removes every receiver, lowering each one's registrations; receivers are
  // not called. REQUIRES: no notification of this sender is running.
  virtual ~EventSender();
  EventSender(const EventSender&) = delete;
  EventSender& operator=(const EventSender&) = delete;

  // EventRegister: appends `r` at the tail and raises its registrations; a
  // receiver already in the list only has its registrations raised. The
  // const form calls the non-const one through the virtual table.
  virtual void EventRegister(EventReceiver* r) const;
  virtual void EventRegister(EventReceiver* r);
  // EventIsRegistered: 1 when `r` is in the list, else 0.
  virtual int EventIsRegistered(EventReceiver* r) const;
  // EventUnregister: removes `r` and lowers its registrations by 1 (once,
  // however often it was registered); nothing when `r` is not in the list.
  // The const form calls the non-const one through the virtual table.
  virtual void EventUnregister(EventReceiver* r) const;
  virtual void EventUnregister(EventReceiver* r);
  // EventNotify: calls the receivers' UponEventNotification in registration
  // order (all of them, or up to the first that handled `n` with
  // ScopeFirst). Returns how many handled it; 0, calling nobody, while
  // notification is disabled.
  virtual int EventNotify(EventNotification const& n, EventScope scope = ScopeAll) const;

  // EventNotificationEnable: nonzero raises the enable count, zero lowers
  // it. The count is 1 after construction and notification is on while it
  // is above 0, so disabling nests: two disables need two enables (an
  // enable without a disable before it raises the count to 2, and then takes
  // two disables to turn notification off). Atomic: any thread may call it.
  void EventNotificationEnable(int enable);
  int EventNotificationIsEnabled() const;

  // EventReceiverCount: how many receivers are in the list.
  int EventReceiverCount() const { return m_count; }

 private:
  struct Node {
    Node* next;
    Node* prev;
    EventReceiver* receiver;  // null: removed during a notification
  };

  Node* Find(EventReceiver* r) const;
  void Unlink(Node* node);
  void PurgeRemoved();
  int Walk(EventNotification const& n, EventScope scope);

  Node* m_head;
  Node* m_tail;
  int m_count;
  Node* m_free;
  TQPlex* m_blocks;
  int m_block_size;
  LONG m_enable_count;
  int m_walk_depth;  // notifications of this sender running now
  bool m_has_removed;
};

// ThreadSafeEventSender: an EventSender whose every operation runs under
// one re-entrant critical section (see the top of this file).
class TQRTL_API ThreadSafeEventSender : public EventSender {
 public:
  ThreadSafeEventSender();
  ~ThreadSafeEventSender() override;

  void EventRegister(EventReceiver* r) const override;
  void EventRegister(EventReceiver* r) override;
  int EventIsRegistered(EventReceiver* r) const override;
  void EventUnregister(EventReceiver* r) const override;
  void EventUnregister(EventReceiver* r) override;
  int EventNotify(EventNotification const& n, EventScope scope = ScopeAll) const override;

 private:
  mutable CRITICAL_SECTION m_lock;
};

#endif  // TQRTL_CORE_EVENTSENDER_H_
