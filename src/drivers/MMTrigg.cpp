#include "drivers/MMTrigg.h"

#include <algorithm>
#include <thread>

namespace strataeq {

TMMTrigger::TMMTrigger() : TMMDriver("Trigger", TConnectionProps{}) { SetBufferSize(2048); }

TMMTrigger::~TMMTrigger() { Shutdown(); }

void TMMTrigger::Throw(const std::string& message) const { throw EMMTriggerError(message); }

void TMMTrigger::LeakWorkerResources() {
  (void)goEvent_.release();
  (void)header_.release();
}

void TMMTrigger::SetInterval(std::int32_t value) {
  if (value != interval_) interval_ = std::max<std::int32_t>(value, 1);
}

void TMMTrigger::SetPWaveFormat(const TWaveFormatEx* format) {
  if (format != PWaveFormat()) Close();
  TMMCustomSoundComponent::SetPWaveFormat(format);
}

void TMMTrigger::WorkerLoop() {
  while (!Terminated()) {
    const int which = TEvent::WaitForAny({&TerminateEvent(), goEvent_.get()});
    if (which == 0) break;
    if (which != 1) continue;
    CheckSuspended();
    if (Terminated()) break;
    if (!Stopping()) RunCycle();
    if (!Stopping()) {
      const std::int32_t ms = interval_;
      if (ms > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
      else
        std::this_thread::yield();
    }
    if (!Stopping()) goEvent_->Set();
  }
}

void TMMTrigger::Open() {
  if (!PWaveFormat()) Error("TriggerOpen:\n\r" + LoadResString(msg::InvalidWaveFormatLower));
  if (!BeginOpen()) return;
  try {
    TMMCustomSoundComponent::Open();
    goEvent_ = std::make_unique<TEvent>();
    StartWorker();
    header_ = AllocWaveHeader(static_cast<std::size_t>(BufferSize()));
    SetBits(kOpened);
    Fire(OnOpen);
  } catch (...) {
    AbandonOpen(kOpened);
    throw;
  }
}

void TMMTrigger::Close() {
  if (!BeginClose()) return;
  SetBits(kClosed);
  TMMCustomSoundComponent::Close();
  EndWorker();
  goEvent_.reset();
  header_.reset();
  EndClose();
  if (!Destroying()) Fire(OnClose);
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
    bytesPushed_ = 0;
    BeginRun(4);
    TMMCustomSoundComponent::Start();
    moreData_ = true;
    AddBits(kStarted);
    LoadBuffer();
    if (header_->dwBytesRecorded > 0 && OnBufferFilled) OnBufferFilled(this, header_.get());
    if (header_->dwBytesRecorded > 0) {
      if (!HasState(TMMTriggerState::trPaused)) goEvent_->Set();
      Fire(OnStart);
    } else {
      TMMCustomSoundComponent::Stop();
      RemoveBits(kStarted);
      Error("TriggerStart:\n\r" + LoadResString(msg::UnableToStartDevice));
    }
  } catch (...) {
    AbandonOpen(0);
    throw;
  }
}


void TMMTrigger::PauseDevice() {
  if (!HasState(TMMTriggerState::trStarted)) return;
  std::lock_guard lock(cs_);
  SuspendWorker();
}

bool TMMTrigger::RestartDevice() {
  ResumeWorker();
  return false;
}

// Main thread, no cycle running: a paused worker waits at its gate; let it see the
// stopping flag.
void TMMTrigger::StopDevice() {
  if (HasState(TMMTriggerState::trPaused)) ResumeWorker();
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
  if (!EnterBuffer()) return;
  try {
    PushBuffer();
    if (moreData_ && !StopPending()) {
      LoadBuffer();
      if (header_->dwBytesRecorded <= 0) throw EMMTriggerError(LoadResString(msg::ErrorFillingBuffer));
      if (!StopPending()) {
        if (OnBufferFilled) OnBufferFilled(this, header_.get());
        if (!moreData_) PushBuffer();
      }
    }
  } catch (...) {
    Fire(OnError);
    LeaveBuffer(!moreData_);
    throw;
  }
  LeaveBuffer(!moreData_);
}

}  // namespace strataeq
