// A periodic timer on a thread of its own with absolute deadlines, delivering its
// ticks to the main thread (through the message queue or a synchronised call) or to
// a timer thread; and the processor-load probe and microsecond clock beside it.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string_view>

#include "foundation/MMDSPObj.h"
#include "platform/Messages.h"
#include "platform/Threads.h"

namespace strataeq {

STRATAEQ_DECLARE_ERROR(EMMHiTimerError);
// No timer could be had from the system.
STRATAEQ_DECLARE_ERROR(EOutOfResources);

// Posted to the timer's notification window for each tick (cmWindow).
inline constexpr std::uint32_t MM_TIMERTICK = 32778;

class TMMHiTimer : public TMMNonVisualComponent {
 public:
  // The tick handler. Assigning it rebuilds the timer, as changing Enabled does; the
  // timer runs only while one is assigned.
  class TTimerEvent {
   public:
    explicit TTimerEvent(TMMHiTimer* owner) : owner_(owner) {}
    TTimerEvent& operator=(TNotifyEvent handler);
    explicit operator bool() const;
    void operator()(TObject* sender) const;

   private:
    TMMHiTimer* owner_;
  };

  TMMHiTimer();
  ~TMMHiTimer() override;

  bool Enabled() const { return enabled_.load(); }
  void SetEnabled(bool value);
  std::int32_t Interval() const { return interval_; }
  void SetInterval(std::int32_t value);
  TMMCBMode CallBackMode() const { return mode_; }
  void SetCallBackMode(TMMCBMode value);
  TThreadPriority Priority() const { return priority_; }
  void SetPriority(TThreadPriority value);
  bool Synchronize() const { return synchronize_.load(); }
  void SetSynchronize(bool value) { synchronize_ = value; }
  bool WaitForTerminate() const { return waitForTerminate_; }
  void SetWaitForTerminate(bool value) { waitForTerminate_ = value; }

  // The running platform timer's number; 0 when no timer exists.
  std::uint32_t TimerID() const { return timerId_.load(); }

  void Loaded() override;

  TTimerEvent OnTimer{this};

 protected:
  // Runs a tick: fires OnTimer when one is assigned and the timer is enabled.
  virtual void DoTimer();

 private:
  class TPlatformTimer;
  struct TThreadState;
  friend class TTimerEvent;

  void SetHandler(TNotifyEvent handler);
  void Rebuild();
  void TearDown();
  void Build();
  void WindowProc(TMessage& msg);
  static void TimerThreadBody(std::shared_ptr<TThreadState> state);

  std::atomic<bool> enabled_{true};
  std::int32_t interval_ = 1000;
  TMMCBMode mode_ = TMMCBMode::cmWindow;
  TThreadPriority priority_ = TThreadPriority::tpNormal;
  std::atomic<bool> synchronize_{true};
  bool waitForTerminate_ = false;
  mutable std::mutex handlerMutex_;
  TNotifyEvent handler_;

  std::atomic<std::uint32_t> timerId_{0};
  std::unique_ptr<TPlatformTimer> platformTimer_;
  std::unique_ptr<TNotifyWindow> window_;
  std::atomic<int> pendingTicks_{0};
  std::shared_ptr<TThreadState> thread_;
};

// Processor load of the whole system in per cent, from /proc/stat between this call
// and the previous one (0 on the first call or when the statistic cannot be read).
std::int32_t GetCpuUsage();

// The busy and total jiffies of the "cpu" line of a /proc/stat text.
struct TCpuTimes {
  std::uint64_t Busy = 0;
  std::uint64_t Total = 0;
  bool Valid = false;
};
TCpuTimes ParseCpuTimes(std::string_view procStat);
// Busy share between two readings, rounded to whole per cent, 0..100.
std::int32_t CpuUsageBetween(const TCpuTimes& earlier, const TCpuTimes& later);

// The machine's load (as GetCpuUsage) and this program's own share of all the
// machine's processors, in per cent, between this call and the previous one of it.
struct TCpuUsage {
  std::int32_t Machine = 0;
  std::int32_t Process = 0;
};
TCpuUsage GetCpuUsageWithProcess();
// The user and system jiffies of a /proc/self/stat text; -1 when it cannot be read.
std::int64_t ParseProcessCpuTicks(std::string_view procSelfStat);
// The ticks the process used of the machine's total between two readings, rounded to
// whole per cent, 0..100.
std::int32_t ProcessCpuShareBetween(const TCpuTimes& earlier, std::int64_t earlierTicks, const TCpuTimes& later,
                                    std::int64_t laterTicks);

// Microseconds on the steady clock, as a whole number.
double GetMicroseconds();

}  // namespace strataeq
