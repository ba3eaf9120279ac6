// Tests of WorkerThread: the life of a worker driven by start, stop and
// exit requests, work that ends the thread, waits on extra handles, and
// the order in which pending requests win.
#include "tqrtl/core/WorkerThread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <vector>

namespace {

// Counts its calls and stores calls * 10 as the exit code; keeps the thread
// alive while `keepAlive` is set.
class CountingWorker : public WorkerThread {
 public:
  std::atomic<int> calls{0};
  std::atomic<bool> keepAlive{true};

 protected:
  int DoWork(unsigned long* exitCode) override {
    *exitCode = static_cast<unsigned long>(++calls) * 10;
    return keepAlive.load() ? 1 : 0;
  }
};

TEST(WorkerThreadTest, StartsIdleWorksOncePerStartAndExitsWithItsCode) {
  CountingWorker worker;
  EXPECT_EQ(worker.IsStopped(), 1);
  EXPECT_EQ(worker.IsActive(), 0);
  ASSERT_EQ(worker.Create(THREAD_PRIORITY_NORMAL), 1);
  EXPECT_EQ(worker.Create(THREAD_PRIORITY_NORMAL), 0);  // one thread at a time
  EXPECT_EQ(worker.IsActive(), 1);
  EXPECT_EQ(worker.IsStopped(), 1);  // idle

  for (int round = 1; round <= 3; ++round) {
    worker.RequestStart();
    worker.WaitForStop();
    EXPECT_EQ(worker.calls.load(), round);
    EXPECT_EQ(worker.IsStopped(), 1);
    EXPECT_EQ(worker.IsWorking(), 0);
  }
  EXPECT_EQ(worker.Exit(), 30u);  // what the last DoWork stored
  EXPECT_EQ(worker.IsActive(), 0);
  EXPECT_EQ(worker.IsStopped(), 1);
  EXPECT_EQ(worker.WaitForExit(), 0xFFFFFFFFu);  // no thread any more
  worker.WaitForStop();                          // an ended worker never makes this hang
  worker.Stop();

  // The object can run a new thread, which forgets the old exit request.
  ASSERT_EQ(worker.Create(THREAD_PRIORITY_BELOW_NORMAL), 1);
  worker.RequestStart();
  worker.WaitForStop();
  EXPECT_EQ(worker.calls.load(), 4);
  EXPECT_EQ(worker.Exit(), 40u);
}

TEST(WorkerThreadTest, WorkThatReturnsZeroEndsTheThread) {
  CountingWorker worker;
  worker.keepAlive = false;
  ASSERT_EQ(worker.Create(THREAD_PRIORITY_NORMAL), 1);
  worker.RequestStart();
  EXPECT_EQ(worker.WaitForExit(), 10u);  // no exit request needed
  EXPECT_EQ(worker.IsActive(), 0);
  EXPECT_EQ(worker.calls.load(), 1);
}

TEST(WorkerThreadTest, ExitWinsOverAPendingStart) {
  CountingWorker worker;
  // Both requests are pending when the thread first waits.
  worker.RequestStart();
  worker.RequestExit();
  ASSERT_EQ(worker.Create(THREAD_PRIORITY_NORMAL), 1);
  EXPECT_EQ(worker.WaitForExit(), 0u);
  EXPECT_EQ(worker.calls.load(), 0);
}

// Work that runs until it is told to stop, waiting on two handles of its
// own meanwhile and recording what each wait returned.
class PollingWorker : public WorkerThread {
 public:
  PollingWorker() {
    for (auto& h : handles) h = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    entered = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    sawBoth = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  }
  ~PollingWorker() override {
    for (auto h : handles) CloseHandle(h);
    CloseHandle(entered);
    CloseHandle(sawBoth);
  }
  HANDLE handles[2];
  HANDLE entered;  // set once DoWork runs
  HANDLE sawBoth;  // set once DoWork saw both of its handles
  std::vector<WorkRequest> seen;
  std::atomic<bool> returned{false};

 protected:
  int DoWork(unsigned long* exitCode) override {
    returned = false;
    SetEvent(entered);
    for (;;) {
      const WorkRequest r = WaitForWork(handles, 2, 5);
      if (r == RequestedStop || r == RequestedExit) break;
      if (seen.empty() || seen.back() != r) seen.push_back(r);
      if (r == SignalledHandle + 1) SetEvent(handles[0]);  // next: the first handle
      if (r == SignalledHandle) SetEvent(sawBoth);
    }
    *exitCode = 7;
    returned = true;
    return 1;
  }
};

TEST(WorkerThreadTest, WorkWaitsOnItsOwnHandlesUntilStopped) {
  PollingWorker worker;
  ASSERT_EQ(worker.Create(THREAD_PRIORITY_NORMAL), 1);
  worker.RequestStart();
  ASSERT_EQ(WaitForSingleObject(worker.entered, INFINITE), WAIT_OBJECT_0);
  EXPECT_EQ(worker.IsWorking(), 1);
  SetEvent(worker.handles[1]);
  ASSERT_EQ(WaitForSingleObject(worker.sawBoth, INFINITE), WAIT_OBJECT_0);
  worker.Stop();  // returns once DoWork returned and the worker is idle
  EXPECT_TRUE(worker.returned.load());
  EXPECT_EQ(worker.IsStopped(), 1);
  // The first time-out may or may not come before the handle is set.
  std::vector<WorkerThread::WorkRequest> seen = worker.seen;
  if (!seen.empty() && seen.front() == WorkerThread::TimedOut) seen.erase(seen.begin());
  ASSERT_GE(seen.size(), 2u);
  EXPECT_EQ(seen[0], 4);  // SignalledHandle + 1: the second handle
  EXPECT_EQ(seen[1], 3);  // then the first, which DoWork set itself
  for (size_t i = 2; i < seen.size(); ++i) EXPECT_EQ(seen[i], WorkerThread::TimedOut);
  EXPECT_EQ(worker.Exit(), 7u);
}

}  // namespace
