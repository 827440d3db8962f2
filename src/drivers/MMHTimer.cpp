#include "drivers/MMHTimer.h"

#include <pthread.h>
#include <sched.h>

#include <charconv>
#include <chrono>
#include <condition_variable>
#include <fstream>
#include <functional>
#include <sstream>
#include <system_error>
#include <thread>

namespace strataeq {
namespace {

constexpr auto kThreadWait = std::chrono::milliseconds(5000);
constexpr int kMaxPendingTicks = 10;

std::atomic<std::uint32_t> gNextTimerId{0};

// Real-time scheduling only where the system grants it, as for the drivers' workers.
void ApplyPriority(pthread_t thread, TThreadPriority p) {
  sched_param param{};
  if (p >= TThreadPriority::tpHighest) {
    param.sched_priority = p == TThreadPriority::tpTimeCritical ? 20 : 10;
    pthread_setschedparam(thread, SCHED_FIFO, &param);
  } else {
    pthread_setschedparam(thread, SCHED_OTHER, &param);
  }
}

}  // namespace

// The platform's periodic timer: one thread per timer with absolute deadlines.
class TMMHiTimer::TPlatformTimer {
 public:
  TPlatformTimer(std::int32_t intervalMs, std::function<void()> callback)
      : period_(std::chrono::milliseconds(intervalMs)), callback_(std::move(callback)) {
    thread_ = std::thread([this] { Run(); });
  }
  ~TPlatformTimer() {
    {
      std::lock_guard lock(mutex_);
      stop_ = true;
    }
    wake_.notify_all();
    if (thread_.get_id() == std::this_thread::get_id())
      thread_.detach();
    else
      thread_.join();
  }

 private:
  void Run() {
    auto next = std::chrono::steady_clock::now() + period_;
    std::unique_lock lock(mutex_);
    for (;;) {
      if (wake_.wait_until(lock, next, [this] { return stop_; })) return;
      lock.unlock();
      try {
        callback_();
      } catch (...) {
        Application().HandleException(std::current_exception());
      }
      lock.lock();
      next += period_;
      const auto now = std::chrono::steady_clock::now();
      if (next < now) next = now + period_;  // ticks missed while busy are not made up
    }
  }

  const std::chrono::milliseconds period_;
  const std::function<void()> callback_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stop_ = false;
  std::thread thread_;
};

// What the timer thread shares with its timer; it outlives either side.
struct TMMHiTimer::TThreadState {
  std::mutex mutex;
  TMMHiTimer* timer = nullptr;  // cleared when the thread is detached from its timer
  bool stop = false;
  bool syncing = false;  // a synchronised tick is under way
  bool alive = true;
  pthread_t native{};
  std::thread::id id;
  TThreadPriority priority = TThreadPriority::tpNormal;
  TEvent ready;  // auto-reset
  TEvent tick;   // auto-reset: ticks arriving during one collapse into one
};

TMMHiTimer::TTimerEvent& TMMHiTimer::TTimerEvent::operator=(TNotifyEvent handler) {
  owner_->SetHandler(std::move(handler));
  return *this;
}

TMMHiTimer::TTimerEvent::operator bool() const {
  std::lock_guard lock(owner_->handlerMutex_);
  return static_cast<bool>(owner_->handler_);
}

void TMMHiTimer::TTimerEvent::operator()(TObject* sender) const {
  TNotifyEvent h;
  {
    std::lock_guard lock(owner_->handlerMutex_);
    h = owner_->handler_;
  }
  if (h) h(sender);
}

TMMHiTimer::TMMHiTimer() = default;

TMMHiTimer::~TMMHiTimer() {
  {
    std::lock_guard lock(handlerMutex_);
    handler_ = nullptr;
  }
  enabled_ = false;
  waitForTerminate_ = true;  // a tick running on the timer thread must not outlive us
  try {
    TearDown();
  } catch (...) {
  }
}

void TMMHiTimer::SetHandler(TNotifyEvent handler) {
  TearDown();
  {
    std::lock_guard lock(handlerMutex_);
    handler_ = std::move(handler);
  }
  if (!InState(TComponentStateFlag::csLoading)) Build();
}

void TMMHiTimer::SetEnabled(bool value) {
  if (value == enabled_) return;
  enabled_ = value;
  Rebuild();
}

void TMMHiTimer::SetInterval(std::int32_t value) {
  if (value == interval_) return;
  interval_ = value;
  Rebuild();
}

void TMMHiTimer::SetCallBackMode(TMMCBMode value) {
  if (value == mode_) return;
  if (value == TMMCBMode::cmCallback && !IsWin95()) {
    Application().ShowMessageBox(
        "TMMHiTimer", "\"CallBacks\" are called at interrupt time !\n\rThis is currently only supported under Windows 95");
    return;
  }
  mode_ = value;
  Rebuild();
}

void TMMHiTimer::SetPriority(TThreadPriority value) {
  priority_ = value;
  if (thread_) {
    std::lock_guard lock(thread_->mutex);
    thread_->priority = value;
    if (thread_->alive) ApplyPriority(thread_->native, value);
  }
}

void TMMHiTimer::Loaded() {
  TMMNonVisualComponent::Loaded();
  Rebuild();
}

void TMMHiTimer::Rebuild() {
  TearDown();
  if (!InState(TComponentStateFlag::csLoading)) Build();
}

void TMMHiTimer::DoTimer() {
  if (enabled_) OnTimer(this);
}

void TMMHiTimer::TearDown() {
  if (thread_) {
    std::shared_ptr<TThreadState> st = std::move(thread_);
    bool wait;
    {
      std::lock_guard lock(st->mutex);
      st->stop = true;
      // Inside a synchronised tick, or on the timer thread itself, the thread cannot
      // end before we return: waiting would only run into the time-out.
      wait = waitForTerminate_ && !st->syncing && st->id != std::this_thread::get_id();
    }
    st->tick.Set();
    if (wait) st->ready.WaitFor(kThreadWait);
    std::lock_guard lock(st->mutex);
    st->timer = nullptr;
  }
  if (platformTimer_) {
    platformTimer_.reset();
    timerId_ = 0;
    if (window_) {
      RemoveMessages(window_->Handle(), MM_TIMERTICK, MM_TIMERTICK);
      window_.reset();
    }
    pendingTicks_ = 0;
  }
  timerId_ = 0;
}

void TMMHiTimer::WindowProc(TMessage& m) {
  if (m.Msg != MM_TIMERTICK) {
    DefWindowProc(m);
    return;
  }
  const std::uint32_t id = static_cast<std::uint32_t>(m.WParam);
  if (id == 0 || id != timerId_) return;
  try {
    DoTimer();
  } catch (...) {
    if (id == timerId_) --pendingTicks_;
    throw;
  }
  if (id == timerId_) --pendingTicks_;
}

void TMMHiTimer::TimerThreadBody(std::shared_ptr<TThreadState> st) {
  {
    std::lock_guard lock(st->mutex);
    ApplyPriority(pthread_self(), st->priority);
  }
  st->ready.Set();
  for (;;) {
    st->tick.WaitFor();
    TMMHiTimer* timer;
    bool sync;
    {
      std::lock_guard lock(st->mutex);
      if (st->stop || !st->timer) break;
      timer = st->timer;
      sync = timer->synchronize_;
      st->syncing = sync;
    }
    try {
      if (sync) {
        RunOnMainThread([&st] {
          TMMHiTimer* t;
          {
            std::lock_guard lock(st->mutex);
            t = st->stop ? nullptr : st->timer;
          }
          if (t) t->DoTimer();
        });
      } else {
        timer->DoTimer();
      }
    } catch (...) {
      Application().HandleException(std::current_exception());
    }
    std::lock_guard lock(st->mutex);
    st->syncing = false;
  }
  std::lock_guard lock(st->mutex);
  st->alive = false;
  if (st->timer) {
    st->timer = nullptr;
    st->ready.Set();
  }
}

void TMMHiTimer::Build() {
  if (interval_ <= 0 || !enabled_ || !OnTimer) return;
  const std::uint32_t id = ++gNextTimerId;
  std::function<void()> callback;
  switch (mode_) {
    case TMMCBMode::cmWindow: {
      window_ = std::make_unique<TNotifyWindow>([this](TMessage& m) { WindowProc(m); });
      const THandle window = window_->Handle();
      callback = [this, window, id] {
        // A blocked main thread gets at most kMaxPendingTicks ticks afterwards.
        int pending = pendingTicks_.load();
        while (pending < kMaxPendingTicks && !pendingTicks_.compare_exchange_weak(pending, pending + 1)) {
        }
        if (pending < kMaxPendingTicks && !PostMessage(window, MM_TIMERTICK, id)) --pendingTicks_;
      };
      break;
    }
    case TMMCBMode::cmThread: {
      auto st = std::make_shared<TThreadState>();
      st->timer = this;
      st->priority = priority_;
      try {
        std::thread t(&TMMHiTimer::TimerThreadBody, st);
        {
          std::lock_guard lock(st->mutex);
          st->native = t.native_handle();
          st->id = t.get_id();
        }
        t.detach();  // it frees itself: a synchronised tick may outlast a rebuild
      } catch (const std::system_error&) {
        throw EMMHiTimerError("HiTimer:\n\r" + LoadResString(msg::CouldNotCreateThread));
      }
      if (st->ready.WaitFor(kThreadWait) != TWaitResult::Signaled) {
        std::lock_guard lock(st->mutex);
        st->stop = true;
        st->timer = nullptr;
        st->tick.Set();
        throw EMMHiTimerError("HiTimer:\n\r" + LoadResString(msg::CouldNotCreateThread));
      }
      thread_ = st;
      callback = [st] { st->tick.Set(); };
      break;
    }
    case TMMCBMode::cmCallback:
      callback = [this] { DoTimer(); };
      break;
  }
  try {
    timerId_ = id;
    platformTimer_ = std::make_unique<TPlatformTimer>(interval_, std::move(callback));
  } catch (const std::system_error&) {
    timerId_ = 0;
    TearDown();
    throw EOutOfResources("Not enough timers available");
  }
}

TCpuTimes ParseCpuTimes(std::string_view text) {
  TCpuTimes t;
  const auto line = text.find("cpu ");
  if (line != 0 && (line == std::string_view::npos || text[line - 1] != '\n')) return t;
  std::string_view rest = text.substr(line + 4);
  rest = rest.substr(0, rest.find('\n'));
  std::uint64_t v[8] = {};
  int n = 0;
  while (n < 8) {
    while (!rest.empty() && rest.front() == ' ') rest.remove_prefix(1);
    if (rest.empty()) break;
    const auto [end, ec] = std::from_chars(rest.data(), rest.data() + rest.size(), v[n]);
    if (ec != std::errc()) return t;
    rest.remove_prefix(static_cast<std::size_t>(end - rest.data()));
    ++n;
  }
  if (n < 4) return t;
  // user nice system idle iowait irq softirq steal; idle and iowait are not busy.
  for (int i = 0; i < n; ++i) t.Total += v[i];
  t.Busy = t.Total - v[3] - (n > 4 ? v[4] : 0);
  t.Valid = true;
  return t;
}

std::int32_t CpuUsageBetween(const TCpuTimes& a, const TCpuTimes& b) {
  if (!a.Valid || !b.Valid || b.Total <= a.Total || b.Busy < a.Busy) return 0;
  const std::uint64_t total = b.Total - a.Total;
  const std::uint64_t busy = std::min(b.Busy - a.Busy, total);
  return static_cast<std::int32_t>((busy * 100 + total / 2) / total);
}

namespace {
std::string ReadProcFile(const char* path) {
  std::ifstream in(path);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}
}  // namespace

std::int64_t ParseProcessCpuTicks(std::string_view text) {
  // The command name in parentheses may hold spaces; the fields count from its end.
  const auto close = text.rfind(')');
  if (close == std::string_view::npos) return -1;
  std::string_view rest = text.substr(close + 1);
  std::int64_t ticks = 0;
  for (int field = 3; field <= 15; ++field) {  // utime and stime are fields 14 and 15
    while (!rest.empty() && rest.front() == ' ') rest.remove_prefix(1);
    const auto end = std::min(rest.find(' '), rest.size());
    if (end == 0) return -1;
    if (field >= 14) {
      std::int64_t v = 0;
      const auto [p, ec] = std::from_chars(rest.data(), rest.data() + end, v);
      if (ec != std::errc() || p != rest.data() + end || v < 0) return -1;
      ticks += v;
    }
    rest.remove_prefix(end);
  }
  return ticks;
}

std::int32_t ProcessCpuShareBetween(const TCpuTimes& a, std::int64_t aTicks, const TCpuTimes& b,
                                    std::int64_t bTicks) {
  if (!a.Valid || !b.Valid || b.Total <= a.Total || aTicks < 0 || bTicks < aTicks) return 0;
  const std::uint64_t total = b.Total - a.Total;
  const std::uint64_t used = std::min(static_cast<std::uint64_t>(bTicks - aTicks), total);
  return static_cast<std::int32_t>((used * 100 + total / 2) / total);
}

TCpuUsage GetCpuUsageWithProcess() {
  static std::mutex mutex;
  static TCpuTimes previous;
  static std::int64_t previousTicks = -1;
  const std::int64_t ticks = ParseProcessCpuTicks(ReadProcFile("/proc/self/stat"));
  const TCpuTimes now = ParseCpuTimes(ReadProcFile("/proc/stat"));
  std::lock_guard lock(mutex);
  const TCpuUsage usage{CpuUsageBetween(previous, now), ProcessCpuShareBetween(previous, previousTicks, now, ticks)};
  if (now.Valid) {
    previous = now;
    previousTicks = ticks;
  }
  return usage;
}

std::int32_t GetCpuUsage() {
  static std::mutex mutex;
  static TCpuTimes previous;
  const TCpuTimes now = ParseCpuTimes(ReadProcFile("/proc/stat"));
  std::lock_guard lock(mutex);
  const std::int32_t usage = CpuUsageBetween(previous, now);
  if (now.Valid) previous = now;
  return usage;
}

double GetMicroseconds() {
  using namespace std::chrono;
  return static_cast<double>(duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count());
}

}  // namespace strataeq
