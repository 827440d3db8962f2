#include "drivers/MMWavOut.h"

#include <algorithm>
#include <thread>

#include "drivers/MMWavIn.h"

namespace strataeq {

TMMWaveOut::TMMWaveOut() : TMMWaveDevice(TWaveDir::Output, TConnectionProps{}) {}

TMMWaveOut::~TMMWaveOut() { Shutdown(); }

void TMMWaveOut::Throw(const std::string& message) const { throw EMMWaveOutError(message); }

void TMMWaveOut::SetLooping(bool value) {
  if (value == looping_) return;
  looping_ = value;
  loopsRemaining_ = loopCount_.load();
}

void TMMWaveOut::SetLoopCount(std::uint16_t value) {
  if (value == loopCount_) return;
  loopCount_ = value;
  loopsRemaining_ = value;
}

void TMMWaveOut::SetPWaveFormat(const TWaveFormatEx* format) {
  if (format != PWaveFormat()) Close();
  TMMCustomSoundComponent::SetPWaveFormat(format);
}

void TMMWaveOut::Open() {
  CheckOpenable("WaveOutOpen:\n\r" + LoadResString(msg::InvalidWaveFormatLower));
  if (!BeginOpen()) return;
  resetting_ = false;
  try {
    if (!FormatSupported()) Error("WaveOutOpen:\n\rThe actual device can''t play this format");
    handle_ = 0;
    TMMCustomSoundComponent::Open();
    PrepareReports();
    HWAVEOUT h = 0;
    const MMRESULT r = waveOutOpen(&h, DeviceID(), PWaveFormat(), &TMMWaveOut::DeviceCallback,
                                   reinterpret_cast<std::uintptr_t>(this), CALLBACK_FUNCTION);
    if (r != MMSYSERR_NOERROR) PlatformError("WaveOutOpen", r);
    handle_ = h;
    if (!AwaitBits(kOpened, 500)) Error("WaveOutOpen:\n\rUnable to open device");
    Fire(OnOpen);
  } catch (...) {
    AbandonOpen(kOpened);
    throw;
  }
}

void TMMWaveOut::BufferLoad(PMMWaveHdr lpwh, bool& MoreBuffers) {
  const std::int32_t size = BufferSize();
  const bool looping = looping_;
  lpwh->dwBufferLength = static_cast<std::uint32_t>(size);
  lpwh->dwBytesRecorded = 0;
  lpwh->LoopRec = looping ? -1 : 0;
  if (looping) {
    lpwh->LoopCount = loopCount_;
    lpwh->LoopTempCount = loopsRemaining_;
    lpwh->LoopMark = 0;
  }
  TMMCustomSoundComponent::BufferLoad(lpwh, MoreBuffers);
  lpwh->dwBytesRecorded = std::clamp(lpwh->dwBytesRecorded, 0, size);
  lpwh->dwBufferLength = static_cast<std::uint32_t>(lpwh->dwBytesRecorded);
  if (looping) loopsRemaining_ = lpwh->LoopTempCount;
}

void TMMWaveOut::BufferReady(PMMWaveHdr) {}

void TMMWaveOut::LoadBuffer(TMMWaveHdr* h) {
  bool more = false;
  moreData_ = false;
  BufferLoad(h, more);
  moreData_ = more && h->dwBytesRecorded > 0;
}

void TMMWaveOut::WriteBuffer(TMMWaveHdr* h) {
  if (OnBufferFilled) OnBufferFilled(this, h);
  SetWaveHdrFlags(h, WHDR_PREPARED, WHDR_DONE);  // buffers stay prepared between writes
  h->dwBytesRecorded = static_cast<std::int32_t>(h->dwBufferLength);
  {
    // Decided under the lock: a stop that has begun takes no further buffer. The
    // device's reset comes only once no buffer path is in flight, so whatever is
    // written here is returned by it.
    std::lock_guard lock(cs_);
    if (Stopping()) return;
    ++queued_;
    ++unprocessed_;
  }
  const MMRESULT r = waveOutWrite(handle_, h);
  if (r != MMSYSERR_NOERROR) {
    std::lock_guard lock(cs_);
    --queued_;
    --unprocessed_;
  }
  if (r != MMSYSERR_NOERROR && !(DeviceGone(r) && HasState(TMMWaveOutState::wosStarted))) PlatformError("WaveOutWrite", r);
}

std::int32_t TMMWaveOut::FillBuffers() {
  const auto size = static_cast<std::size_t>(BufferSize());
  // A queue that grew keeps its size through a restart or a flush.
  buffers_.resize(std::max(buffers_.size(), static_cast<std::size_t>(numBuffers_)));
  const auto total = static_cast<std::int32_t>(buffers_.size());
  std::int32_t count = 0;
  for (std::int32_t i = 0; i < total && moreData_; ++i) {
    TWaveHdrBlock& b = buffers_[static_cast<std::size_t>(i)];
    if (!b) b = AllocWaveHeader(size);
    b->dwBufferLength = static_cast<std::uint32_t>(size);
    const MMRESULT r = waveOutPrepareHeader(handle_, b.get());
    if (r != MMSYSERR_NOERROR) PlatformError("WaveOutPrepareHeader", r);
    LoadBuffer(b.get());
    if (b->dwBytesRecorded <= 0) {
      moreData_ = false;
      break;
    }
    WriteBuffer(b.get());
    ++count;
  }
  return count;
}

void TMMWaveOut::UnprepareBuffers() {
  const HWAVEOUT h = handle_;
  for (TWaveHdrBlock& b : buffers_) {
    if (!b) continue;
    AwaitDone(b.get());
    if (h) {
      const MMRESULT r = waveOutUnprepareHeader(h, b.get());
      if (r != MMSYSERR_NOERROR) PlatformError("WaveOutUnprepareHeader", r);
    }
  }
  buffers_.clear();
  spares_.clear();
  growable_ = growRequests_ = 0;
}

bool TMMWaveOut::GrowQueue() {
  if (!HasState(TMMWaveOutState::wosStarted)) return false;
  for (std::int32_t left = growable_.load(); left > 0;)
    if (growable_.compare_exchange_weak(left, left - 1)) {
      ++growRequests_;
      return true;
    }
  return false;
}

// The new buffer is written right after the one just written (at index after), so it
// plays after it and the ring's order stays the order of writing.
void TMMWaveOut::AddBuffer(std::size_t after) {
  --growRequests_;
  if (spares_.empty()) return;
  TWaveHdrBlock b = std::move(spares_.back());
  spares_.pop_back();
  b->dwBufferLength = static_cast<std::uint32_t>(BufferSize());
  const MMRESULT r = waveOutPrepareHeader(handle_, b.get());
  if (r != MMSYSERR_NOERROR) PlatformError("WaveOutPrepareHeader", r);
  LoadBuffer(b.get());
  if (b->dwBytesRecorded <= 0) return;
  TMMWaveHdr* added = b.get();
  {
    std::lock_guard lock(cs_);
    const std::size_t at = after + 1;
    buffers_.insert(buffers_.begin() + static_cast<std::ptrdiff_t>(at), std::move(b));  // capacity reserved at Start
    if (static_cast<std::size_t>(nextIndex_) >= at) ++nextIndex_;
    ++buffersInUse_;
    buffers_[after]->wh_link = added;
    added->wh_link = buffers_[static_cast<std::size_t>(nextIndex_)].get();
  }
  WriteBuffer(added);
}

void TMMWaveOut::Start() {
  if (!HasState(TMMWaveOutState::wosOpened)) Open();
  if (!HasState(TMMWaveOutState::wosOpened) || HasState(TMMWaveOutState::wosStarted)) return;
  bool busy = false;
  try {
    {
      std::lock_guard lock(cs_);
      bytesHandedBack_ = 0;
      lastPosition_ = wrapCount_ = wrapSize_ = accumulated_ = loopOffset_ = 0;
      resetting_ = false;
      nextIndex_ = 0;
      queued_ = 0;
      unprocessed_ = 0;
      emptiedByPause_ = false;
    }
    BeginRun(static_cast<std::size_t>(numBuffers_) + 16);
    loopsRemaining_ = loopCount_.load();
    if (showHourGlass_ && static_cast<std::int64_t>(BufferSize()) * numBuffers_ > 100000) {
      Application().SetBusyCursor(true);
      busy = true;
    }
    MMRESULT r = waveOutPause(handle_);  // nothing plays while the buffers are written
    if (r != MMSYSERR_NOERROR) PlatformError("WaveOutPause", r);
    TMMCustomSoundComponent::Start();
    moreData_ = true;
    spares_.resize(static_cast<std::size_t>(numBuffers_));
    for (TWaveHdrBlock& b : spares_)
      if (!b) b = AllocWaveHeader(static_cast<std::size_t>(BufferSize()));
    buffers_.reserve(2 * static_cast<std::size_t>(numBuffers_));
    growable_ = numBuffers_;
    growRequests_ = 0;
    buffersInUse_ = FillBuffers();
    AddBits(kStarted);
    if (busy) {
      busy = false;
      Application().SetBusyCursor(false);
    }
    if (buffersInUse_ == 0) {
      TMMCustomSoundComponent::Stop();
      Error("WaveOutStart:\n\r" + LoadResString(msg::UnableToStartDevice));
    }
    if (!HasState(TMMWaveOutState::wosPaused)) {
      r = waveOutRestart(handle_);
      if (r != MMSYSERR_NOERROR) PlatformError("WaveOutRestart", r);
    }
    Fire(OnStart);
  } catch (...) {
    if (busy) Application().SetBusyCursor(false);
    AbandonOpen(kStarted);
    throw;
  }
}

std::int64_t TMMWaveOut::DevicePosition() {
  TMMTime t;
  t.wType = TIME_SAMPLES;
  MMRESULT r = waveOutGetPosition(handle_, &t);
  if (r == MMSYSERR_NOERROR && t.wType == TIME_SAMPLES) return t.value;
  if (r == MMSYSERR_NOERROR || r == MMSYSERR_NOTSUPPORTED) {  // the driver answers in bytes only
    t.wType = TIME_BYTES;
    r = waveOutGetPosition(handle_, &t);
    if (r == MMSYSERR_NOERROR && t.wType == TIME_BYTES) {
      const TWaveFormatEx* f = PWaveFormat();
      return f && f->nBlockAlign ? static_cast<std::int64_t>(t.value) / f->nBlockAlign : 0;
    }
  }
  if (r == MMSYSERR_NOERROR) r = MMSYSERR_NOTSUPPORTED;
  if (DeviceGone(r)) {
    std::lock_guard lock(cs_);
    return lastPosition_;
  }
  PlatformError("WaveOutGetPosition", r);
}

std::int64_t TMMWaveOut::DevicePositionOr0() noexcept {
  TMMTime t;
  t.wType = TIME_SAMPLES;
  if (waveOutGetPosition(handle_, &t) == MMSYSERR_NOERROR && t.wType == TIME_SAMPLES) return t.value;
  return 0;
}

std::int64_t TMMWaveOut::ToTimeFormat(std::int64_t samples) const {
  const TWaveFormatEx* f = PWaveFormat();
  if (!f || f->nSamplesPerSec == 0) return 0;
  switch (timeFormat_) {
    case TMMTimeFormats::tfMillisecond: {
      const std::int64_t p = samples * 1000;
      return p / f->nSamplesPerSec + 2 * (p % f->nSamplesPerSec) / f->nSamplesPerSec;
    }
    case TMMTimeFormats::tfByte: return SamplesToBytes64(f, samples);
    default: return samples;
  }
}

TWaveLosses TMMWaveOut::Underflows() const {
  TWaveLosses losses;
  const HWAVEOUT h = Handle();
  if (!h || waveOutGetUnderflows(h, &losses) != MMSYSERR_NOERROR) losses = {};
  return losses;
}

std::int64_t TMMWaveOut::Position() {
  if (!HasState(TMMWaveOutState::wosOpened) || !PWaveFormat() || Closing() || !handle_) return 0;
  const std::int64_t device = DevicePosition();
  std::lock_guard lock(cs_);
  return ToTimeFormat(wrapCount_ * wrapSize_ + accumulated_ + device - loopOffset_);
}

void TMMWaveOut::ProcessDone() {
  TMMWaveHdr* h;
  std::size_t index;
  {
    std::lock_guard lock(cs_);
    if (resetting_ || buffersInUse_ == 0 || !EnterBuffer()) return;
    --unprocessed_;
    // Buffers come back in the order written: the one at the next index has played.
    index = static_cast<std::size_t>(nextIndex_);
    h = buffers_[index].get();
    bytesHandedBack_ += h->dwBufferLength;
  }
  try {
    nextIndex_ = (nextIndex_ + 1) % buffersInUse_;
    h->wh_link = buffers_[static_cast<std::size_t>(nextIndex_)].get();
    TMMCustomSoundComponent::BufferReady(h);
    const std::int64_t pos = DevicePosition();
    {
      std::lock_guard lock(cs_);
      if (pos < lastPosition_) {
        // The device counter wrapped: it counts modulo a power of two of at least 2^20.
        wrapSize_ = (lastPosition_ | 0xFFFFF) + 1;
        ++wrapCount_;
      }
      lastPosition_ = pos;
    }
    if (moreData_ && !StopPending()) {
      if (looping_ && h->LoopMark) {
        {
          std::lock_guard lock(cs_);
          loopOffset_ = wrapCount_ * wrapSize_ + accumulated_ + pos;
          h->LoopMark = 0;
        }
        Fire(OnLooping);
      }
      AwaitDone(h);
      LoadBuffer(h);
      if (h->dwBytesRecorded <= 0 && !StopPending()) Error(LoadResString(msg::ErrorFillingBuffer));
      if (!StopPending()) WriteBuffer(h);
      if (growRequests_ > 0 && !StopPending()) AddBuffer(index);
    }
  } catch (...) {
    ReportFailure();
    FinishDone();
    throw;
  }
  FinishDone();
}

void TMMWaveOut::FinishDone() {
  bool ranDry;
  {
    std::lock_guard lock(cs_);
    ranDry = unprocessed_ <= 0;
  }
  // Input ran dry and everything has played: the device waits paused for the stop.
  if (ranDry && !StopPending()) waveOutPause(handle_);
  LeaveBuffer(ranDry);
}

void TMMWaveOut::PauseDevice() {
  if (!HasState(TMMWaveOutState::wosStarted)) return;
  MMRESULT r = waveOutPause(handle_);
  if (r != MMSYSERR_NOERROR) PlatformError("WaveOutPause", r);
  AddBits(kPaused);
  if (!UpstreamDriver()) return;
  // Fed by another driver: what is queued would be stale after the pause.
  const std::int64_t played = DevicePositionOr0();
  resetting_ = true;
  r = waveOutReset(handle_);
  {
    std::lock_guard lock(cs_);
    accumulated_ += played;
    nextIndex_ = 0;
    queued_ = 0;
    unprocessed_ = 0;
    lastPosition_ = 0;  // the reset starts the device counter again
    emptiedByPause_ = true;
  }
  if (r != MMSYSERR_NOERROR) PlatformError("WaveOutReset", r);
}

bool TMMWaveOut::RestartDevice() {
  resetting_ = false;
  bool refilled = false;
  if (emptiedByPause_) {
    // The pause returned every buffer: without new ones the device would stay silent.
    emptiedByPause_ = false;
    moreData_ = true;
    buffersInUse_ = FillBuffers();
    refilled = true;
  }
  const MMRESULT r = waveOutRestart(handle_);
  if (r != MMSYSERR_NOERROR) PlatformError("WaveOutRestart", r);
  return refilled && buffersInUse_ == 0;  // nothing left to play: stop at once
}

// Main thread, nothing in flight: whatever was written comes back with the reset.
void TMMWaveOut::StopDevice() {
  resetting_ = true;
  {
    const std::int64_t device = DevicePositionOr0();
    std::lock_guard lock(cs_);
    savedPosition_ = ToTimeFormat(wrapCount_ * wrapSize_ + accumulated_ + device - loopOffset_);
    wrapCount_ = wrapSize_ = 0;
  }
  const MMRESULT r = waveOutReset(handle_);
  for (int i = 0; i < 100 && queued_ > 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  {
    std::lock_guard lock(cs_);
    buffersInUse_ = 0;
    queued_ = 0;
    unprocessed_ = 0;
    nextIndex_ = 0;
  }
  if (r != MMSYSERR_NOERROR) PlatformError("WaveOutReset", r);
  UnprepareBuffers();  // on failure the close tries again
}

void TMMWaveOut::Flush() {
  if (!HasState(TMMWaveOutState::wosStarted) && !HasState(TMMWaveOutState::wosPaused)) return;
  if (resetting_) return;  // one flush at a time
  try {
    MMRESULT r = waveOutPause(handle_);
    if (r != MMSYSERR_NOERROR) PlatformError("WaveOutPause", r);
    if (callbackMode_ == TMMCBMode::cmThread && HasWorker() && !WorkerFailed()) {
      purge_->Set();
      for (int i = 0; i < 5000 && purge_->IsSet(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    } else {
      RemoveMessages(Window(), MM_WOM_DONE, MM_WOM_DONE);
    }
    // A buffer being refilled would be written behind the reset; let it finish first.
    AwaitIdle(std::chrono::milliseconds(5000));
    resetting_ = true;
    r = waveOutReset(handle_);
    if (r != MMSYSERR_NOERROR) PlatformError("WaveOutReset", r);
    for (int i = 0; i < 100 && queued_ > 0; ++i) Delay(10, false);
    resetting_ = false;
    r = waveOutRestart(handle_);
    if (r == MMSYSERR_NOERROR) r = waveOutPause(handle_);
    if (r != MMSYSERR_NOERROR) PlatformError("WaveOutReset", r);
    {
      std::lock_guard lock(cs_);
      nextIndex_ = 0;
      queued_ = 0;
      unprocessed_ = 0;
      lastPosition_ = wrapCount_ = wrapSize_ = accumulated_ = loopOffset_ = 0;
    }
    TMMCustomSoundComponent::Reset();
    moreData_ = true;
    buffersInUse_ = FillBuffers();
    if (!HasState(TMMWaveOutState::wosPaused)) {
      r = waveOutRestart(handle_);
      if (r != MMSYSERR_NOERROR) PlatformError("WaveOutRestart", r);
    }
    if (buffersInUse_ == 0) Stop();
  } catch (...) {
    AbandonRun();
    throw;
  }
}

void TMMWaveOut::Close() {
  if (!BeginClose()) return;
  try {
    bool confirmed = true;
    if (const HWAVEOUT h = handle_) {
      if (!buffers_.empty()) {  // a start or a stop that failed half-way
        waveOutReset(h);
        UnprepareBuffers();
      }
      const MMRESULT r = waveOutClose(h);
      if (r != MMSYSERR_NOERROR) PlatformError("WaveOutClose", r);
      confirmed = AwaitBits(kClosed, 500);
      std::lock_guard lock(cs_);
      savedPosition_ = 0;
      lastPosition_ = wrapCount_ = wrapSize_ = 0;
    } else {
      SetBits(kClosed);
    }
    FinishClose("WaveOutClose", confirmed);
  } catch (...) {
    EndClose();
  }
}

void TMMWaveOut::DeviceCallback(std::uintptr_t hwave, std::uint32_t msg, std::uintptr_t instance,
                                std::uintptr_t param1, std::uintptr_t) {
  auto* self = reinterpret_cast<TMMWaveOut*>(instance);
  if (self->DeviceStateReport(hwave, msg) || hwave != self->handle_) return;
  if (msg == MM_WOM_DONE) {
    const std::int32_t left = --self->queued_;
    if (self->resetting_) {
      if (left <= 0) self->resetting_ = false;
      return;
    }
    if (!self->Stopping()) self->Route(msg, param1);
  } else if (msg == MM_WOM_ERROR) {
    self->Route(msg, param1);
  }
}

void TMMWaveOut::ProcessReport(std::uint32_t msg, std::uintptr_t param) {
  if (msg == MM_WOM_DONE) {
    if (!Stopping()) ProcessDone();
  } else if (msg == MM_WOM_ERROR) {
    lastError_ = static_cast<MMRESULT>(param);
    Error("WaveOut:\n\r" + PlatformText(lastError_));
  }
}

std::string WaveOutDeviceName(TMMDeviceId device) { return WaveDeviceName(TWaveDir::Output, device); }
bool WaveOutCanOpen(TMMDeviceId device) { return WaveDeviceCanOpen(TWaveDir::Output, device); }

}  // namespace strataeq
