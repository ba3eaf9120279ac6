// Tests of the observer mechanism: registration counts, scopes, nesting of
// disable calls, list changes made by receivers during a notification, and
// the thread-safe sender under several threads.
#include "tqrtl/core/EventSender.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

struct Ping : EventNotification {
  int value = 0;
};
struct OtherNotification : EventNotification {};

// A receiver that records its calls, answers with a fixed result and may run
// an action (changing the sender) when it is called.
class Recorder : public EventReceiver {
 public:
  Recorder(std::string name, std::vector<std::string>* log, int result = 0)
      : name_(std::move(name)), log_(log), result_(result) {}

  int UponEventNotification(EventNotification const* n, EventSender* sender) override {
    if (dynamic_cast<const Ping*>(n) == nullptr) return 0;  // not ours
    log_->push_back(name_);
    if (action) action(sender);
    return result_;
  }

  std::function<void(EventSender*)> action;

 private:
  std::string name_;
  std::vector<std::string>* log_;
  int result_;
};

std::string Joined(const std::vector<std::string>& log) {
  std::string text;
  for (const auto& s : log) text += (text.empty() ? "" : ",") + s;
  return text;
}

template <typename Sender>
class EventSenderTest : public ::testing::Test {};
using SenderTypes = ::testing::Types<EventSender, ThreadSafeEventSender>;
TYPED_TEST_SUITE(EventSenderTest, SenderTypes);

TYPED_TEST(EventSenderTest, RegistrationsCountEveryRegisterAndEveryRemoval) {
  std::vector<std::string> log;
  Recorder a("a", &log), b("b", &log);
  {
    TypeParam sender, other;
    const EventSender& as_const = sender;
    sender.EventRegister(&a);
    as_const.EventRegister(&a);  // the const form registers too
    other.EventRegister(&a);
    sender.EventRegister(&b);
    EXPECT_EQ(a.EventRegistrations(), 3);
    EXPECT_EQ(sender.EventReceiverCount(), 2);  // a is in the list once

    sender.EventUnregister(&a);
    EXPECT_EQ(a.EventRegistrations(), 2);
    EXPECT_EQ(sender.EventIsRegistered(&a), 0);
    EXPECT_EQ(other.EventIsRegistered(&a), 1);
    as_const.EventUnregister(&a);  // not in the list: nothing changes
    EXPECT_EQ(a.EventRegistrations(), 2);
    EXPECT_EQ(sender.EventNotify(Ping()), 0);
    EXPECT_EQ(Joined(log), "b");
  }
  // Destroying the senders lowered the counts of what they still held,
  // without calling anybody.
  EXPECT_EQ(a.EventRegistrations(), 1);
  EXPECT_EQ(b.EventRegistrations(), 0);
  EXPECT_EQ(Joined(log), "b");
}

TYPED_TEST(EventSenderTest, ScopesCountHandlersInRegistrationOrder) {
  struct Case {
    EventSender::EventScope scope;
    int results[4];
    int handled;
    const char* called;
  };
  const Case cases[] = {
      {EventSender::ScopeAll, {0, 1, 1, 0}, 2, "r0,r1,r2,r3"},
      {EventSender::ScopeFirst, {0, 1, 1, 0}, 1, "r0,r1"},
      {EventSender::ScopeFirst, {0, 0, 0, 0}, 0, "r0,r1,r2,r3"},
      {EventSender::ScopeFirst, {7, 0, 0, 0}, 1, "r0"},  // any nonzero counts
  };
  for (const Case& c : cases) {
    std::vector<std::string> log;
    std::vector<std::unique_ptr<Recorder>> receivers;
    TypeParam sender;
    EXPECT_EQ(sender.EventNotify(Ping(), c.scope), 0);  // empty sender
    for (int i = 0; i < 4; ++i) {
      receivers.push_back(std::make_unique<Recorder>("r" + std::to_string(i), &log, c.results[i]));
      sender.EventRegister(receivers.back().get());
    }
    SCOPED_TRACE(c.called);
    EXPECT_EQ(sender.EventNotify(Ping(), c.scope), c.handled);
    EXPECT_EQ(Joined(log), c.called);
    // A notification nobody recognises is handled by nobody.
    EXPECT_EQ(sender.EventNotify(OtherNotification(), c.scope), 0);
  }
}

TYPED_TEST(EventSenderTest, DisablingNests) {
  std::vector<std::string> log;
  Recorder a("a", &log, 1);
  TypeParam sender;
  sender.EventRegister(&a);
  sender.EventNotificationEnable(0);
  sender.EventNotificationEnable(0);
  EXPECT_EQ(sender.EventNotificationIsEnabled(), 0);
  EXPECT_EQ(sender.EventNotify(Ping()), 0);
  sender.EventNotificationEnable(1);
  EXPECT_EQ(sender.EventNotify(Ping()), 0);
  sender.EventNotificationEnable(1);
  EXPECT_EQ(sender.EventNotificationIsEnabled(), 1);
  EXPECT_EQ(sender.EventNotify(Ping()), 1);
  EXPECT_EQ(Joined(log), "a");
  sender.EventUnregister(&a);
}

// Receivers change the list while a notification walks it. Each case runs
// on a fresh sender with r0..r4 registered in order (r5 is not); r1 acts
// during the first notification only.
TYPED_TEST(EventSenderTest, ChangesDuringANotificationReachOnlyTheReceiversStillThere) {
  using Receivers = std::vector<std::unique_ptr<Recorder>>;
  struct Case {
    const char* what;
    std::function<void(EventSender*, Receivers&)> act;
    const char* during;  // who the acting notification reaches
    const char* after;   // who the next one reaches
  };
  const Case cases[] = {
      {"unregisters itself", [](EventSender* s, Receivers& r) { s->EventUnregister(r[1].get()); },
       "r0,r1,r2,r3,r4", "r0,r2,r3,r4"},
      {"unregisters the next receiver",
       [](EventSender* s, Receivers& r) { s->EventUnregister(r[2].get()); }, "r0,r1,r3,r4",
       "r0,r1,r3,r4"},
      {"unregisters an earlier and the last receiver",
       [](EventSender* s, Receivers& r) {
         s->EventUnregister(r[0].get());
         s->EventUnregister(r[4].get());
       },
       "r0,r1,r2,r3", "r1,r2,r3"},
      {"unregisters everybody",
       [](EventSender* s, Receivers& r) {
         for (auto& x : r) s->EventUnregister(x.get());
       },
       "r0,r1", ""},
      {"unregisters the next and registers it again",
       [](EventSender* s, Receivers& r) {
         s->EventUnregister(r[2].get());
         s->EventRegister(r[2].get());
       },
       "r0,r1,r3,r4", "r0,r1,r3,r4,r2"},
      {"registers a new receiver",
       [](EventSender* s, Receivers& r) { s->EventRegister(r[5].get()); }, "r0,r1,r2,r3,r4",
       "r0,r1,r2,r3,r4,r5"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<std::string> log;
    Receivers r;
    TypeParam sender;
    for (int i = 0; i < 6; ++i) {
      r.push_back(std::make_unique<Recorder>("r" + std::to_string(i), &log, 1));
      if (i < 5) sender.EventRegister(r.back().get());
    }
    bool acted = false;
    r[1]->action = [&](EventSender* s) {
      if (!acted) c.act(s, r);
      acted = true;
    };
    const int handled = sender.EventNotify(Ping());
    EXPECT_EQ(Joined(log), c.during);
    EXPECT_EQ(handled, static_cast<int>(log.size()));
    log.clear();
    sender.EventNotify(Ping());
    EXPECT_EQ(Joined(log), c.after);
    for (auto& x : r) {
      sender.EventUnregister(x.get());
      EXPECT_EQ(x->EventRegistrations(), 0);
    }
  }
}

TYPED_TEST(EventSenderTest, NestedNotificationsAndThrowingReceiversLeaveTheListSound) {
  std::vector<std::string> log;
  Recorder a("a", &log, 1), b("b", &log, 1), c("c", &log, 1);
  TypeParam sender;
  sender.EventRegister(&a);
  sender.EventRegister(&b);
  sender.EventRegister(&c);
  int depth = 0;
  a.action = [&](EventSender* s) {
    // The inner notification removes c; the outer one must skip it too.
    if (++depth == 1) {
      s->EventUnregister(&c);
      EXPECT_EQ(s->EventNotify(Ping()), 2);  // a (depth 2), b
    }
  };
  EXPECT_EQ(sender.EventNotify(Ping()), 2);
  EXPECT_EQ(Joined(log), "a,a,b,b");

  log.clear();
  a.action = [&](EventSender* s) {
    s->EventUnregister(&b);
    throw std::runtime_error("receiver failed");
  };
  EXPECT_THROW(sender.EventNotify(Ping()), std::runtime_error);
  a.action = nullptr;
  EXPECT_EQ(sender.EventReceiverCount(), 1);
  EXPECT_EQ(sender.EventNotify(Ping()), 1);
  EXPECT_EQ(Joined(log), "a,a");
  sender.EventUnregister(&a);
  EXPECT_EQ(sender.EventNotify(Ping()), 0);
  // The sender is reusable after the list emptied and its blocks were freed.
  sender.EventRegister(&c);
  EXPECT_EQ(sender.EventNotify(Ping()), 1);
  sender.EventUnregister(&c);
}

TYPED_TEST(EventSenderTest, ManyReceiversKeepTheirOrderAcrossNodeBlocks) {
  std::vector<std::string> log;
  std::vector<std::unique_ptr<Recorder>> r;
  TypeParam sender;
  for (int i = 0; i < 35; ++i) {
    r.push_back(std::make_unique<Recorder>(std::to_string(i), &log));
    sender.EventRegister(r.back().get());
  }
  // Remove every third, then add them back: they go to the tail in the
  // order they come back, reusing freed nodes.
  for (int i = 0; i < 35; i += 3) sender.EventUnregister(r[i].get());
  for (int i = 33; i >= 0; i -= 3) sender.EventRegister(r[i].get());
  std::string expected;
  for (int i = 0; i < 35; ++i) {
    if (i % 3 != 0) expected += (expected.empty() ? "" : ",") + std::to_string(i);
  }
  for (int i = 33; i >= 0; i -= 3) expected += "," + std::to_string(i);
  sender.EventNotify(Ping());
  EXPECT_EQ(Joined(log), expected);
  for (auto& x : r) sender.EventUnregister(x.get());
  EXPECT_EQ(sender.EventReceiverCount(), 0);
}

// Several threads register, unregister and notify on one sender at once.
// Every receiver's count must come out exact, and a receiver must never be
// called after its unregistration returned.
TEST(ThreadSafeEventSenderTest, ThreadsShareOneSender) {
  class Counter : public EventReceiver {
   public:
    int UponEventNotification(EventNotification const*, EventSender*) override {
      if (!registered.load()) misdelivered.store(true);
      calls.fetch_add(1);
      return 1;
    }
    std::atomic<bool> registered{false};
    std::atomic<bool> misdelivered{false};
    std::atomic<int> calls{0};
  };
  ThreadSafeEventSender sender;
  constexpr int kThreads = 4, kRounds = 2000;
  Counter receivers[kThreads];
  Counter steady;
  steady.registered = true;
  sender.EventRegister(&steady);
  std::atomic<int> handledTotal{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      Counter& mine = receivers[t];
      for (int i = 0; i < kRounds; ++i) {
        mine.registered = true;
        sender.EventRegister(&mine);
        handledTotal += sender.EventNotify(Ping());
        sender.EventUnregister(&mine);
        mine.registered = false;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(steady.calls.load(), kThreads * kRounds);
  int calls = steady.calls.load();
  for (Counter& c : receivers) {
    EXPECT_FALSE(c.misdelivered.load());
    EXPECT_EQ(c.EventRegistrations(), 0);
    EXPECT_GE(c.calls.load(), kRounds);  // at least its own notifications
    calls += c.calls.load();
  }
  EXPECT_EQ(handledTotal.load(), calls);
  EXPECT_EQ(sender.EventReceiverCount(), 1);
  sender.EventUnregister(&steady);
}

// Another thread that registers during a notification waits for its end.
TEST(ThreadSafeEventSenderTest, OtherThreadsWaitForTheNotificationToEnd) {
  std::vector<std::string> log;
  Recorder late("late", &log, 1);
  Recorder first("first", &log, 1);
  ThreadSafeEventSender sender;
  sender.EventRegister(&first);
  std::thread other;
  std::atomic<bool> started{false};
  first.action = [&](EventSender* s) {
    other = std::thread([&] {
      started = true;
      sender.EventRegister(&late);
    });
    while (!started.load()) std::this_thread::yield();
    for (int i = 0; i < 1000; ++i) std::this_thread::yield();
    // Still inside the notification: the other thread cannot have got in.
    EXPECT_EQ(s->EventIsRegistered(&late), 0);
  };
  EXPECT_EQ(sender.EventNotify(Ping()), 1);
  other.join();
  first.action = nullptr;
  EXPECT_EQ(sender.EventIsRegistered(&late), 1);
  sender.EventUnregister(&first);
  sender.EventUnregister(&late);
}

}  // namespace
