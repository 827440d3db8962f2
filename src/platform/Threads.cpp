#include "platform/Threads.h"

#include <pthread.h>
#include <sched.h>

#include <vector>

namespace strataeq {
namespace {

// One mutex and condition for all events keeps WaitForAny simple and race-free;
// events change rarely enough that the contention does not matter.
std::mutex& EventMutex() {
  static std::mutex m;
  return m;
}
std::condition_variable& EventChanged() {
  static std::condition_variable cv;
  return cv;
}

}  // namespace

TEvent::TEvent(bool manualReset, bool initialState) : manualReset_(manualReset), signaled_(initialState) {}

void TEvent::Set() {
  {
    std::lock_guard lock(EventMutex());
    signaled_ = true;
  }
  EventChanged().notify_all();
}

void TEvent::Reset() {
  std::lock_guard lock(EventMutex());
  signaled_ = false;
}

bool TEvent::IsSet() const {
  std::lock_guard lock(EventMutex());
  return signaled_;
}

bool TEvent::TryConsume() {
  if (!signaled_) return false;
  if (!manualReset_) signaled_ = false;
  return true;
}

TWaitResult TEvent::WaitFor(std::chrono::milliseconds timeout) {
  return WaitForAny({this}, timeout) == 0 ? TWaitResult::Signaled : TWaitResult::Timeout;
}

int TEvent::WaitForAny(std::initializer_list<TEvent*> events, std::chrono::milliseconds timeout) {
  std::unique_lock lock(EventMutex());
  int index = -1;
  auto ready = [&] {
    int i = 0;
    for (TEvent* e : events) {
      if (e->TryConsume()) {
        index = i;
        return true;
      }
      ++i;
    }
    return false;
  };
  if (timeout == INFINITE_WAIT) {
    EventChanged().wait(lock, ready);
  } else {
    EventChanged().wait_for(lock, timeout, ready);
  }
  return index;
}

TThread::TThread() = default;

TThread::~TThread() {
  if (thread_.joinable()) {
    Terminate();
    Resume();
    if (thread_.get_id() == std::this_thread::get_id())
      thread_.detach();
    else
      thread_.join();
  }
}

void TThread::Resume() {
  {
    std::lock_guard lock(gateMutex_);
    suspended_ = false;
  }
  gate_.notify_all();
  if (!started_.exchange(true)) thread_ = std::thread([this] { Run(); });
}

void TThread::Suspend() {
  std::lock_guard lock(gateMutex_);
  suspended_ = true;
}

void TThread::Terminate() {
  terminated_ = true;
  gate_.notify_all();
}

void TThread::CheckSuspended() {
  std::unique_lock lock(gateMutex_);
  gate_.wait(lock, [this] { return !suspended_ || terminated_; });
}

bool TThread::WaitFor(std::chrono::milliseconds timeout) {
  if (!started_) return true;
  if (thread_.get_id() == std::this_thread::get_id()) return false;
  {
    std::unique_lock lock(gateMutex_);
    auto done = [this] { return finished_.load(); };
    if (timeout == INFINITE_WAIT)
      gate_.wait(lock, done);
    else if (!gate_.wait_for(lock, timeout, done))
      return false;
  }
  if (thread_.joinable()) thread_.join();
  return true;
}

void TThread::SetPriority(TThreadPriority priority) {
  priority_ = priority;
  if (ThreadID() == std::this_thread::get_id()) ApplyPriority();
}

void TThread::ApplyPriority() {
  // Real-time scheduling only where the system grants it; otherwise stay as we are.
  const TThreadPriority p = priority_;
  if (p >= TThreadPriority::tpHighest) {
    sched_param param{};
    param.sched_priority = p == TThreadPriority::tpTimeCritical ? 20 : 10;
    pthread_setschedparam(pthread_self(), SCHED_FIFO, &param);
  }
}

void TThread::Run() {
  id_ = std::this_thread::get_id();
  ApplyPriority();
  Execute();
  std::lock_guard lock(gateMutex_);
  finished_ = true;
  gate_.notify_all();
}

}  // namespace strataeq
