#include "drivers/MMTrigg.h"

#include <algorithm>
#include <thread>

namespace strataeq {
namespace {

// Posted by a worker that died of an exception: the main thread closes the trigger.
constexpr std::uint32_t kWorkerFailed = MM_WOM_STOP + 1;
constexpr auto kThreadWait = std::chrono::milliseconds(5000);
constexpr auto kStopWait = std::chrono::milliseconds(1500);

std::uint8_t Bit(TMMTriggerState s) { return static_cast<std::uint8_t>(s); }

}  // namespace

class TMMTrigger::TMMTriggerThread : public TMMDSPThread {
 public:
  explicit TMMTriggerThread(TMMTrigger* trigger) : TMMDSPThread(trigger), trigger_(trigger) {}

 protected:
  void Execute() override {
    TMMTrigger& t = *trigger_;
    SetPriority(TThreadPriority::tpNormal);
    t.readyEvent_->Set();
    try {
      while (!Terminated()) {
        const int which = TEvent::WaitForAny({t.terminateEvent_.get(), t.goEvent_.get()});
        if (which == 0) break;
        if (which != 1) continue;
        CheckSuspended();
        if (Terminated()) break;
        if (!t.stopping_) t.RunCycle();
        if (!t.stopping_) {
          const std::int32_t ms = t.interval_;
          if (ms > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(ms));
          else
            std::this_thread::yield();
        }
        if (!t.stopping_) t.goEvent_->Set();
      }
    } catch (...) {
      t.threadFailed_ = true;
      Application().HandleException(std::current_exception());
      PostMessage(t.window_->Handle(), kWorkerFailed);
      return;
    }
    if (!t.threadFailed_) t.readyEvent_->Set();
  }

 private:
  TMMTrigger* trigger_;
};

TMMTrigger::TMMTrigger() { SetBufferSize(2048); }

TMMTrigger::~TMMTrigger() {
  try {
    Close();
  } catch (...) {
  }
  if (worker_) {  // a close still deferred behind a stop: the worker must not outlive us
    worker_->Terminate();
    worker_->Resume();
    if (terminateEvent_) terminateEvent_->Set();
    if (!worker_->WaitFor(kStopWait)) {
      // Stuck inside the chain: left behind with what it uses rather than holding the
      // program up.
      (void)worker_.release();
      (void)terminateEvent_.release();
      (void)goEvent_.release();
      (void)readyEvent_.release();
      (void)header_.release();
    }
  }
  window_.reset();
}

bool TMMTrigger::HasState(TMMTriggerState s) const { return state_.load() & Bit(s); }

void TMMTrigger::SetBufferSize(std::int32_t value) {
  value = std::max<std::int32_t>(value, 32);
  if (value == TMMDSPComponent::BufferSize()) return;
  if (HasState(TMMTriggerState::trOpened)) throw EMMTriggerError(LoadResString(msg::PropertyWhileOpen));
  TMMCustomSoundComponent::SetBufferSize(value);
}

void TMMTrigger::SetInterval(std::int32_t value) {
  if (value != interval_) interval_ = std::max<std::int32_t>(value, 1);
}

void TMMTrigger::SetPWaveFormat(const TWaveFormatEx* format) {
  if (format != PWaveFormat()) Close();
  TMMCustomSoundComponent::SetPWaveFormat(format);
}

void TMMTrigger::Error(const std::string& message) {
  errorReported_ = true;
  Fire(OnError);
  throw EMMTriggerError(message);
}

void TMMTrigger::FireError() {
  if (!errorReported_) Fire(OnError);
  errorReported_ = false;
}

void TMMTrigger::WindowProc(TMessage& m) {
  if (m.Msg == MM_WOM_STOP) {
    // A stop message of an earlier run never touches this one.
    if (static_cast<std::uint32_t>(m.LParam) != run_) return;
    try {
      Stop();
    } catch (...) {
      try {
        Close();
      } catch (...) {
      }
      Application().HandleException(std::current_exception());
    }
  } else if (m.Msg == kWorkerFailed) {
    if (HasState(TMMTriggerState::trOpened)) Close();
  } else {
    DefWindowProc(m);
  }
}

void TMMTrigger::Open() {
  if (!PWaveFormat()) Error("TriggerOpen:\n\r" + LoadResString(msg::InvalidWaveFormatLower));
  if (HasState(TMMTriggerState::trOpened)) Close();
  if (HasState(TMMTriggerState::trOpened) || closing_) return;
  try {
    stopping_ = false;
    closePending_ = false;
    closing_ = false;
    if (!window_) window_ = std::make_unique<TNotifyWindow>([this](TMessage& m) { WindowProc(m); });
    TMMCustomSoundComponent::Open();
    StartWorker();
    header_ = AllocWaveHeader(static_cast<std::size_t>(BufferSize()));
    SetTriggerState(Bit(TMMTriggerState::trOpened));
    Fire(OnOpen);
  } catch (...) {
    FireError();
    SetTriggerState(Bit(TMMTriggerState::trOpened));
    Close();
    SetTriggerState(Bit(TMMTriggerState::trClosed));
    throw;
  }
}

void TMMTrigger::StartWorker() {
  std::lock_guard lock(cs_);
  threadFailed_ = false;
  readyEvent_ = std::make_unique<TEvent>();
  goEvent_ = std::make_unique<TEvent>();
  terminateEvent_ = std::make_unique<TEvent>();
  try {
    worker_ = std::make_unique<TMMTriggerThread>(this);
    worker_->Resume();
  } catch (const std::system_error&) {
    worker_.reset();
    Error("Trigger:\n\r" + LoadResString(msg::CouldNotCreateThread));
  }
  if (readyEvent_->WaitFor(kThreadWait) != TWaitResult::Signaled)
    Error("Trigger:\n\r" + LoadResString(msg::CouldNotCreateThread));
}

void TMMTrigger::EndWorker() {
  if (!worker_) return;
  if (!threadFailed_) {
    worker_->Terminate();
    worker_->Resume();
    terminateEvent_->Set();
    readyEvent_->WaitFor(kThreadWait);
  }
  // Between cycles the worker answers at once; it can never be inside a cycle here.
  if (!worker_->WaitFor(kStopWait)) {
    (void)worker_.release();
    (void)terminateEvent_.release();
    (void)goEvent_.release();
    (void)readyEvent_.release();
    return;
  }
  worker_.reset();
  readyEvent_.reset();
  goEvent_.reset();
  terminateEvent_.reset();
}

void TMMTrigger::Close() {
  if (!HasState(TMMTriggerState::trOpened)) return;
  if (closing_ && !closePending_) return;
  closing_ = true;
  try {
    if (HasState(TMMTriggerState::trStarted) || HasState(TMMTriggerState::trPaused)) Stop();
    {
      std::lock_guard lock(cs_);
      if (stopPending_) {
        closePending_ = true;
        return;
      }
    }
    closePending_ = false;
    SetTriggerState(Bit(TMMTriggerState::trClosed));
    TMMCustomSoundComponent::Close();
    EndWorker();
    header_.reset();
    closing_ = false;
    Fire(OnClose);
  } catch (...) {
    closing_ = false;
  }
}

void TMMTrigger::LoadBuffer() {
  bool more = false;
  moreData_ = false;
  BufferLoad(header_.get(), more);
  if (header_->dwBytesRecorded <= 0) more = false;
  moreData_ = more;
}

void TMMTrigger::PushBuffer() {
  // Counted per push, so that the last buffer, pushed within the cycle that loaded it,
  // is counted too.
  bytesPushed_ += header_->dwBufferLength;
  TMMCustomSoundComponent::BufferReady(header_.get());
}

void TMMTrigger::Start() {
  if (!HasState(TMMTriggerState::trOpened)) Open();
  if (!HasState(TMMTriggerState::trOpened) || HasState(TMMTriggerState::trStarted)) return;
  try {
    {
      std::lock_guard lock(cs_);
      bytesPushed_ = 0;
      inFlight_ = 0;
      stopPending_ = false;
      stopping_ = false;
      ++run_;
    }
    RemoveMessages(window_->Handle(), MM_WOM_STOP, MM_WOM_STOP);
    ReserveMessages(4);
    TMMCustomSoundComponent::Start();
    moreData_ = true;
    AddState(TMMTriggerState::trStarted);
    LoadBuffer();
    if (header_->dwBytesRecorded > 0 && OnBufferFilled) OnBufferFilled(this, header_.get());
    if (header_->dwBytesRecorded > 0) {
      if (!HasState(TMMTriggerState::trPaused)) goEvent_->Set();
      Fire(OnStart);
    } else {
      TMMCustomSoundComponent::Stop();
      RemoveState(TMMTriggerState::trStarted);
      Error("TriggerStart:\n\r" + LoadResString(msg::UnableToStartDevice));
    }
  } catch (...) {
    FireError();
    Close();
    SetTriggerState(Bit(TMMTriggerState::trClosed));
    throw;
  }
}

void TMMTrigger::Pause() {
  if (!HasState(TMMTriggerState::trOpened)) Open();
  if (!HasState(TMMTriggerState::trOpened) || HasState(TMMTriggerState::trPaused)) return;
  try {
    if (HasState(TMMTriggerState::trStarted)) {
      std::lock_guard lock(cs_);
      worker_->Suspend();
    }
    AddState(TMMTriggerState::trPaused);
    TMMCustomSoundComponent::Pause();
    Fire(OnPause);
  } catch (...) {
    FireError();
    Close();
    throw;
  }
}

void TMMTrigger::Restart() {
  if (!HasState(TMMTriggerState::trStarted) || !HasState(TMMTriggerState::trPaused)) return;
  try {
    worker_->Resume();
    RemoveState(TMMTriggerState::trPaused);
    TMMCustomSoundComponent::Restart();
    Fire(OnRestart);
  } catch (...) {
    FireError();
    Close();
    throw;
  }
}

void TMMTrigger::Stop() {
  if (!HasState(TMMTriggerState::trStarted) && !HasState(TMMTriggerState::trPaused)) return;
  try {
    bool post = false;
    std::uint32_t run;
    {
      std::lock_guard lock(cs_);
      stopping_ = true;
      run = run_;
      // Completed on the main thread once no cycle runs: the worker posts the stop
      // message when its cycle ends, and a caller on another thread posts it here.
      if (inFlight_ > 0 || !IsMainThread()) {
        post = inFlight_ == 0 && !stopPending_;
        stopPending_ = true;
      }
    }
    if (post) PostMessage(window_->Handle(), MM_WOM_STOP, 0, static_cast<LPARAM>(run));
    {
      std::lock_guard lock(cs_);
      if (stopPending_ && (inFlight_ > 0 || !IsMainThread())) return;
    }
    CompleteStop();
  } catch (...) {
    FireError();
    Close();
    throw;
  }
}

void TMMTrigger::CompleteStop() {
  // A paused worker waits at its gate; let it see the stopping flag.
  if (HasState(TMMTriggerState::trPaused) && worker_) worker_->Resume();
  RemoveState(TMMTriggerState::trStarted);
  RemoveState(TMMTriggerState::trPaused);
  {
    std::lock_guard lock(cs_);
    stopPending_ = false;
  }
  RemoveMessages(window_->Handle(), MM_WOM_STOP, MM_WOM_STOP);
  // Exactly one OnStop, even when the chain's stop fails; the failure follows it.
  std::exception_ptr failure;
  try {
    TMMCustomSoundComponent::Stop();
  } catch (...) {
    failure = std::current_exception();
  }
  Fire(OnStop);
  if (closePending_) Close();
  if (failure) std::rethrow_exception(failure);
}

void TMMTrigger::BufferReady(PMMWaveHdr) {}

void TMMTrigger::BufferLoad(PMMWaveHdr lpwh, bool& MoreBuffers) {
  const std::int32_t size = BufferSize();
  lpwh->dwBufferLength = static_cast<std::uint32_t>(size);
  lpwh->dwBytesRecorded = 0;
  lpwh->LoopRec = 0;
  TMMCustomSoundComponent::BufferLoad(lpwh, MoreBuffers);
  // Downstream sees exactly the bytes delivered, never more than the buffer holds.
  lpwh->dwBytesRecorded = std::clamp(lpwh->dwBytesRecorded, 0, size);
  lpwh->dwBufferLength = static_cast<std::uint32_t>(lpwh->dwBytesRecorded);
}

void TMMTrigger::RunCycle() {
  {
    std::lock_guard lock(cs_);
    if (!HasState(TMMTriggerState::trStarted) || stopping_) return;
    ++inFlight_;
  }
  auto finish = [this] {
    std::lock_guard lock(cs_);
    if (--inFlight_ == 0 && (stopPending_ || !moreData_)) {
      stopping_ = true;
      stopPending_ = true;
      PostMessage(window_->Handle(), MM_WOM_STOP, 0, static_cast<LPARAM>(run_.load()));
    }
  };
  try {
    PushBuffer();
    bool pending;
    {
      std::lock_guard lock(cs_);
      pending = stopPending_;
    }
    if (moreData_ && !pending) {
      LoadBuffer();
      if (header_->dwBytesRecorded <= 0) throw EMMTriggerError(LoadResString(msg::ErrorFillingBuffer));
      {
        std::lock_guard lock(cs_);
        pending = stopPending_;
      }
      if (!pending) {
        if (OnBufferFilled) OnBufferFilled(this, header_.get());
        if (!moreData_) PushBuffer();
      }
    }
  } catch (...) {
    Fire(OnError);
    finish();
    throw;
  }
  finish();
}

}  // namespace strataeq
