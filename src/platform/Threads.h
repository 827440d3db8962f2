// Threads, kernel-style events and the critical section.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <thread>

namespace strataeq {

using TCriticalSection = std::recursive_mutex;

enum class TWaitResult { Signaled, Timeout, Failed };

inline constexpr std::chrono::milliseconds INFINITE_WAIT = std::chrono::milliseconds::max();

// A kernel-style event: manual reset stays signalled until Reset; auto reset releases
// one waiter and clears itself.
class TEvent {
 public:
  explicit TEvent(bool manualReset = false, bool initialState = false);
  TEvent(const TEvent&) = delete;
  TEvent& operator=(const TEvent&) = delete;

  void Set();
  void Reset();
  TWaitResult WaitFor(std::chrono::milliseconds timeout = INFINITE_WAIT);
  bool IsSet() const;

  // Waits until one of the events is signalled; returns its index, -1 on time-out.
  // Auto-reset events are consumed only when they are the one returned.
  static int WaitForAny(std::initializer_list<TEvent*> events,
                        std::chrono::milliseconds timeout = INFINITE_WAIT);

 private:
  struct Waiter;
  struct Link;
  bool TryConsume();  // caller holds the shared wait mutex

  const bool manualReset_;
  bool signaled_;
  Link* waiters_ = nullptr;  // those waiting on this event; guarded by the shared mutex
};

enum class TThreadPriority { tpIdle, tpLowest, tpLower, tpNormal, tpHigher, tpHighest, tpTimeCritical };

// How a priority above normal was granted: not at all, by the system's scheduler, or
// by RealtimeKit (asked over the system bus, as desktop audio programs do, where the
// scheduler refuses a normal user).
enum class TPriorityGrant { None, System, RealtimeKit };

// Best effort for the calling thread: tpHighest and tpTimeCritical ask for real-time
// scheduling (priorities 10 and 20), tpHigher for a raised nice level (-5); lower
// priorities change nothing. Never fails: without a grant the thread stays as it is.
TPriorityGrant SetCurrentThreadPriority(TThreadPriority priority);

// A worker thread in the manner of the GUI framework's thread class: created suspended,
// started by the first Resume. Suspend after that closes a gate that the worker passes
// in CheckSuspended between cycles, so a suspended worker never holds a lock.
class TThread {
 public:
  TThread();
  virtual ~TThread();  // joins a thread that is still running
  TThread(const TThread&) = delete;
  TThread& operator=(const TThread&) = delete;

  void Resume();
  void Suspend();
  bool Suspended() const { return suspended_.load(); }
  void Terminate();
  bool Terminated() const { return terminated_.load(); }
  bool Finished() const { return finished_.load(); }
  // Waits for Execute to return; false on time-out (the thread is then left running).
  bool WaitFor(std::chrono::milliseconds timeout = INFINITE_WAIT);
  std::thread::id ThreadID() const { return id_.load(); }
  void SetPriority(TThreadPriority priority);  // best effort

 protected:
  virtual void Execute() = 0;
  // Blocks while the thread is suspended. Workers call it between cycles.
  void CheckSuspended();

 private:
  void Run();
  void ApplyPriority();

  std::thread thread_;
  std::atomic<std::thread::id> id_{};
  std::atomic<bool> started_{false};
  std::atomic<bool> suspended_{true};
  std::atomic<bool> terminated_{false};
  std::atomic<bool> finished_{false};
  std::atomic<TThreadPriority> priority_{TThreadPriority::tpNormal};
  std::mutex gateMutex_;
  std::condition_variable gate_;
};

}  // namespace strataeq
