// WorkerThread.h: the base of a thread that sleeps until it is asked to
// work, runs one piece of work, goes back to sleep, and ends when asked to.
//
// The owner drives the worker from its own thread with start, stop and exit
// requests; a derived class supplies the work as DoWork and, inside it,
// polls StopRequested/ExitRequested or waits for them together with
// handles of its own (WaitForWork). Four manual-reset events carry the
// requests:
//   start    set by RequestStart; taken (reset) by the worker
//   stop     set by RequestStop, and by the worker when DoWork returns
//   exit     set by RequestExit; never reset, so every later wait sees it
//   stopped  signalled while the worker is idle or has ended
// Each request clears `stopped` before it signals (start too, so that
// RequestStart followed by WaitForStop waits for that piece of work), but
// only while a worker thread runs that will set it again: a request to a
// worker not yet created or already ended never makes WaitForStop hang.
// When several
// requests are pending, exit wins over stop and stop over start (a stop
// also discards a pending start).
//
// States: created (no thread) -> Create -> idle -> RequestStart -> working
// -> DoWork returns nonzero -> idle ...; DoWork returning 0, or an exit
// request, ends the thread; WaitForExit then closes its handle, and Create
// may start a new thread (the old requests are forgotten).
//
// Failures: nothing is thrown. Create returns 0 when an event is missing or
// the thread cannot be started; WaitForExit returns 0xFFFFFFFF when the
// wait or the exit-code query fails; a failed wait inside the worker counts
// as an exit request, so the worker ends rather than spins.
//
// Thread-safety: the request, wait and query operations are for the owner
// (one thread at a time); DoWork and the protected helpers run on the
// worker. The lock is held only around pairs of event operations, never
// across a wait or DoWork. REQUIRES: the owner ends the thread (Exit, or
// WaitForExit after DoWork returned 0) before destroying the object.
#ifndef TQRTL_CORE_WORKERTHREAD_H_
#define TQRTL_CORE_WORKERTHREAD_H_

#include "tqrtl/core/TQEvent.h"
#include "tqrtl/platform/win32.h"

class TQRTL_API WorkerThread {
 public:
  enum WorkRequest {
    RequestedExit = 0,    // exit signalled, or the wait failed
    RequestedStop = 1,    // stop signalled
    RequestedStart = 2,   // start signalled
    SignalledHandle = 3,  // + i: the i-th extra handle was signalled
    TimedOut = 8,         // nothing was signalled in time
  };
  // How many extra handles WaitForWork accepts.
  static constexpr int kMaxExtraHandles = 5;

  // Creates the four events (start, exit and stop not signalled, stopped
  // signalled) and the lock; no thread yet.
  WorkerThread();
  // Deletes the lock and closes the events (and the handle of a thread that
  // ended but was never waited for). It neither stops nor waits for a thread.
  virtual ~WorkerThread();
  WorkerThread(const WorkerThread&) = delete;
  WorkerThread& operator=(const WorkerThread&) = delete;

  // Create: starts the worker thread at `priority` (a THREAD_PRIORITY_*
  // value), idle. Returns 1; 0 when an event is missing, a thread was
  // already created and not waited for, or the thread could not start.
  int Create(int priority);

  // RequestStart: asks for one DoWork; a start that arrives while the
  // worker works starts the next piece of work when this one ends.
  void RequestStart();
  // RequestStop: asks DoWork to return (it sees StopRequested()).
  void RequestStop();
  // WaitForStop: waits without time-out until the worker is idle or ended.
  void WaitForStop();
  // Stop: RequestStop, then WaitForStop.
  void Stop();
  // RequestExit: asks the worker to end (after DoWork, if it runs, returns).
  void RequestExit();
  // WaitForExit: waits without time-out for the thread to end, closes its
  // handle and returns its exit code (what DoWork stored; 0 when it stored
  // nothing). 0xFFFFFFFF, the handle kept, when the wait or the query fails
  // or there is no thread.
  unsigned long WaitForExit();
  // Exit: RequestExit, then WaitForExit.
  unsigned long Exit();

  // IsActive: 1 while the thread exists and has not ended.
  int IsActive() const;
  // IsStopped: 1 while the worker is idle (or ended, or not created).
  int IsStopped();
  // IsWorking: not IsStopped().
  int IsWorking();

 protected:
  // DoWork: the work, on the worker thread. May store the thread's exit
  // code in *exitCode (0 until something is stored). Returns nonzero to
  // stay alive for further start requests, 0 to end the thread.
  virtual int DoWork(unsigned long* exitCode) = 0;

  // StopRequested, ExitRequested: 1 while that request is pending.
  int StopRequested();
  int ExitRequested();
  // Acquire, Release: enter and leave the lock shared with the owner.
  void Acquire();
  void Release();
  // WaitForWork: waits until exit, stop or start is requested, one of the
  // `count` extra `handles` is signalled, or `timeout` ms pass (INFINITE:
  // never). Returns the WorkRequest (SignalledHandle + i for handles[i]);
  // exit resets stop and start, stop and start reset start, a handle resets
  // nothing. A `count` outside 0..kMaxExtraHandles is a failed wait
  // (RequestedExit).
  WorkRequest WaitForWork(void* const* handles, int count, unsigned long timeout);

 private:
  static unsigned WINAPI ThreadProcedure(void* argument);
  unsigned Run();
  bool WorkerWillConfirm() const;

  TQEvent m_start;
  TQEvent m_exit;
  TQEvent m_stop;
  TQEvent m_stopped;
  CRITICAL_SECTION m_lock;
  HANDLE m_thread;
  unsigned m_thread_id;
  bool m_ended;  // the thread has left its loop (under the lock)
};

#endif  // TQRTL_CORE_WORKERTHREAD_H_
