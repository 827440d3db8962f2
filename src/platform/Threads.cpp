#include "platform/Threads.h"

#include <dlfcn.h>
#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdint>
#include <stdexcept>
#include <type_traits>

#include <vector>

namespace strataeq {
namespace {

// One mutex guards every event's state (so WaitForAny over several stays race-free),
// but each waiter sleeps on its own condition and a Set wakes only the waiters
// registered on that event.
std::mutex& EventMutex() {
  static std::mutex m;
  return m;
}

}  // namespace

struct TEvent::Waiter {
  std::condition_variable cv;
};

// A waiter's entry in one event's list; lives on the waiting thread's stack.
struct TEvent::Link {
  Waiter* waiter = nullptr;
  TEvent* event = nullptr;
  Link* prev = nullptr;
  Link* next = nullptr;
};

TEvent::TEvent(bool manualReset, bool initialState) : manualReset_(manualReset), signaled_(initialState) {}

void TEvent::Set() {
  std::lock_guard lock(EventMutex());
  signaled_ = true;
  for (Link* l = waiters_; l; l = l->next) l->waiter->cv.notify_one();
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
  constexpr std::size_t kMaxEvents = 8;
  if (events.size() > kMaxEvents) throw std::invalid_argument("WaitForAny: too many events");
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
  if (ready()) return index;
  if (timeout == std::chrono::milliseconds::zero()) return -1;
  Waiter waiter;
  Link links[kMaxEvents];
  std::size_t n = 0;
  for (TEvent* e : events) {
    Link& l = links[n++];
    l.waiter = &waiter;
    l.event = e;
    l.next = e->waiters_;
    if (e->waiters_) e->waiters_->prev = &l;
    e->waiters_ = &l;
  }
  if (timeout == INFINITE_WAIT)
    waiter.cv.wait(lock, ready);
  else
    waiter.cv.wait_for(lock, timeout, ready);
  for (std::size_t i = 0; i < n; ++i) {
    Link& l = links[i];
    (l.prev ? l.prev->next : l.event->waiters_) = l.next;
    if (l.next) l.next->prev = l.prev;
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

void TThread::ApplyPriority() { SetCurrentThreadPriority(priority_); }

namespace {

// RealtimeKit over the system bus, through the D-Bus library loaded at run time: the
// sound server's client library already brings it, and a machine without it simply
// has no RealtimeKit. Only the calls below are used; the error record is the library's
// public layout.
class TRealtimeKit {
 public:
  static TRealtimeKit& Instance() {
    static TRealtimeKit kit;
    return kit;
  }

  bool MakeRealtime(pid_t tid, std::uint32_t priority) {
    // RealtimeKit serves only processes that cap their real-time CPU time.
    rlimit limit{};
    if (getrlimit(RLIMIT_RTTIME, &limit) == 0 && (limit.rlim_max == RLIM_INFINITY || limit.rlim_max > kRtTimeUsec)) {
      limit.rlim_cur = limit.rlim_max = kRtTimeUsec;
      if (setrlimit(RLIMIT_RTTIME, &limit) != 0) return false;
    }
    const std::uint64_t thread = static_cast<std::uint64_t>(tid);
    return Call("MakeThreadRealtime", [&](void* m) {
      return append_(m, kTypeUInt64, &thread, kTypeUInt32, &priority, kTypeInvalid) != 0;
    });
  }

  bool MakeHighPriority(pid_t tid, std::int32_t nice) {
    const std::uint64_t thread = static_cast<std::uint64_t>(tid);
    return Call("MakeThreadHighPriority", [&](void* m) {
      return append_(m, kTypeUInt64, &thread, kTypeInt32, &nice, kTypeInvalid) != 0;
    });
  }

 private:
  struct Error {  // DBusError
    const char* name;
    const char* message;
    unsigned int dummy;
    void* padding;
  };
  static constexpr int kSystemBus = 1;
  static constexpr int kTypeInvalid = 0, kTypeInt32 = 'i', kTypeUInt32 = 'u', kTypeUInt64 = 't';
  static constexpr rlim_t kRtTimeUsec = 200000;

  TRealtimeKit() {
    lib_ = dlopen("libdbus-1.so.3", RTLD_NOW | RTLD_LOCAL);
    if (!lib_) return;
    auto get = [this](auto& f, const char* name) {
      f = reinterpret_cast<std::remove_reference_t<decltype(f)>>(dlsym(lib_, name));
      return f != nullptr;
    };
    ok_ = get(errorInit_, "dbus_error_init") && get(errorFree_, "dbus_error_free") &&
          get(busGet_, "dbus_bus_get_private") && get(exitOnDisconnect_, "dbus_connection_set_exit_on_disconnect") &&
          get(close_, "dbus_connection_close") && get(unrefConnection_, "dbus_connection_unref") &&
          get(newCall_, "dbus_message_new_method_call") && get(append_, "dbus_message_append_args") &&
          get(send_, "dbus_connection_send_with_reply_and_block") && get(unrefMessage_, "dbus_message_unref");
  }

  template <typename Append>
  bool Call(const char* method, Append&& append) {
    std::lock_guard lock(mutex_);
    if (!ok_) return false;
    Error error{};
    errorInit_(&error);
    void* bus = busGet_(kSystemBus, &error);
    errorFree_(&error);
    if (!bus) {
      ok_ = false;  // no system bus: no use asking again
      return false;
    }
    exitOnDisconnect_(bus, 0);
    bool granted = false;
    if (void* m = newCall_("org.freedesktop.RealtimeKit1", "/org/freedesktop/RealtimeKit1",
                           "org.freedesktop.RealtimeKit1", method)) {
      if (append(m)) {
        errorInit_(&error);
        void* reply = send_(bus, m, 1000, &error);
        granted = reply != nullptr;
        if (reply) unrefMessage_(reply);
        errorFree_(&error);
      }
      unrefMessage_(m);
    }
    close_(bus);
    unrefConnection_(bus);
    return granted;
  }

  std::mutex mutex_;
  void* lib_ = nullptr;
  bool ok_ = false;
  void (*errorInit_)(Error*) = nullptr;
  void (*errorFree_)(Error*) = nullptr;
  void* (*busGet_)(int, Error*) = nullptr;
  void (*exitOnDisconnect_)(void*, unsigned) = nullptr;
  void (*close_)(void*) = nullptr;
  void (*unrefConnection_)(void*) = nullptr;
  void* (*newCall_)(const char*, const char*, const char*, const char*) = nullptr;
  unsigned (*append_)(void*, int, ...) = nullptr;
  void* (*send_)(void*, void*, int, Error*) = nullptr;
  void (*unrefMessage_)(void*) = nullptr;
};

}  // namespace

TPriorityGrant SetCurrentThreadPriority(TThreadPriority priority) {
  const pid_t tid = static_cast<pid_t>(syscall(SYS_gettid));
  if (priority >= TThreadPriority::tpHighest) {
    sched_param param{};
    param.sched_priority = priority == TThreadPriority::tpTimeCritical ? 20 : 10;
    if (pthread_setschedparam(pthread_self(), SCHED_FIFO, &param) == 0) return TPriorityGrant::System;
    // RealtimeKit caps the priority it grants (20 by default, less where configured).
    for (int p = param.sched_priority; p >= 1; p /= 2)
      if (TRealtimeKit::Instance().MakeRealtime(tid, static_cast<std::uint32_t>(p))) return TPriorityGrant::RealtimeKit;
    return TPriorityGrant::None;
  }
  if (priority == TThreadPriority::tpHigher) {
    constexpr int kNice = -5;
    if (setpriority(PRIO_PROCESS, static_cast<id_t>(tid), kNice) == 0) return TPriorityGrant::System;
    if (TRealtimeKit::Instance().MakeHighPriority(tid, kNice)) return TPriorityGrant::RealtimeKit;
  }
  return TPriorityGrant::None;
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
