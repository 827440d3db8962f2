#include "drivers/MMWavOut.h"

#include <algorithm>
#include <system_error>

#include "drivers/MMWavIn.h"

namespace strataeq {
namespace {

constexpr std::uint32_t kWorkerFailed = MM_WOM_STOP + 1;
constexpr auto kThreadWait = std::chrono::milliseconds(5000);

const char* const kNoDevice = "No wave audio playing device found";
const char* const kCallbacksRefused =
    "\"CallBacks\" are called at interrupt time !\n\rThis is currently only supported under Windows 95";

std::uint8_t Bit(TMMWaveOutState s) { return static_cast<std::uint8_t>(s); }

std::string PlatformText(MMRESULT result) {
  char text[255];
  if (waveOutGetErrorText(result, text, sizeof text) != MMSYSERR_NOERROR)
    return "Specified error number is out of range (unknown error)";
  return text;
}

void AwaitDone(TMMWaveHdr* h) {
  for (int count = 65000; count > 0; --count) {
    const std::uint32_t flags = WaveHdrFlags(h);
    if ((flags & WHDR_DONE) || !(flags & WHDR_INQUEUE)) break;
    std::this_thread::yield();
  }
  SetWaveHdrFlags(h, WHDR_DONE, 0);
}

// A device that failed mid-stream refuses further calls with these; its error report
// is what the component reports.
bool DeviceGone(MMRESULT r) { return r == WAVERR_DEVICELOST || r == WAVERR_SERVERLOST; }

}  // namespace

class TMMWaveOut::TMMWaveOutThread : public TMMDSPThread {
 public:
  explicit TMMWaveOutThread(TMMWaveOut* owner) : TMMDSPThread(owner), w_(owner) {}

 protected:
  void Execute() override {
    SetPriority(TThreadPriority::tpTimeCritical);
    w_->readyEvent_->Set();
    try {
      while (!Terminated()) {
        if (w_->purgeEvent_->IsSet()) {
          w_->reports_->Remove(MM_WOM_DONE);
          w_->purgeEvent_->Reset();
          continue;
        }
        TWaveReportQueue::Report r;
        if (!w_->reports_->Take(r)) {
          const int which =
              TEvent::WaitForAny({w_->terminateEvent_.get(), w_->purgeEvent_.get(), &w_->reports_->Arrived()});
          if (which == 0) break;
          continue;
        }
        if (r.Handle == w_->handle_ && !(r.Msg == MM_WOM_DONE && w_->stopping_)) w_->ProcessReport(r.Msg, r.Param);
      }
    } catch (...) {
      w_->threadFailed_ = true;
      Application().HandleException(std::current_exception());
      PostMessage(w_->window_->Handle(), kWorkerFailed, w_->handle_);
      return;
    }
    w_->readyEvent_->Set();
  }

 private:
  TMMWaveOut* w_;
};

TMMWaveOut::TMMWaveOut() {
  numDevs_ = static_cast<std::int32_t>(waveOutGetNumDevs());
  SetDeviceID(0);
}

TMMWaveOut::~TMMWaveOut() {
  SetState(TComponentStateFlag::csDestroying, true);
  try {
    if (handle_ || HasState(TMMWaveOutState::wosOpened)) Close();
    if (closePending_) {
      for (int i = 0; i < 5000; ++i) {
        {
          std::lock_guard lock(cs_);
          if (inFlight_ <= 0) break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
      Stop();
    }
  } catch (...) {
  }
  EndWorker();
  window_.reset();
}

void TMMWaveOut::Error(const std::string& message) {
  Fire(OnError);
  throw EMMWaveOutError(message);
}

void TMMWaveOut::ReportFailure() noexcept {
  try {
    throw;
  } catch (const EMMWaveOutError&) {
  } catch (...) {
    try {
      Fire(OnError);
    } catch (...) {
    }
  }
}

void TMMWaveOut::PlatformError(const char* operation, MMRESULT result) {
  lastError_ = result;
  const std::string message = std::string(operation) + ":\n\r" + PlatformText(result);
  Error(message);
  throw EMMWaveOutError(message);
}

void TMMWaveOut::SetBufferSize(std::int32_t value) {
  value = std::max<std::int32_t>(value, 32);
  if (value == TMMDSPComponent::BufferSize()) return;
  if (HasState(TMMWaveOutState::wosOpened)) throw EMMWaveOutError(LoadResString(msg::PropertyWhileOpen));
  TMMCustomSoundComponent::SetBufferSize(value);
}

void TMMWaveOut::SetNumBuffers(std::int32_t value) {
  if (value <= 1) return;
  value = std::min(value, MaxWaveBuffers);
  if (value == numBuffers_) return;
  if (HasState(TMMWaveOutState::wosOpened)) throw EMMWaveOutError(LoadResString(msg::PropertyWhileOpen));
  numBuffers_ = value;
}

void TMMWaveOut::SetDeviceID(TMMDeviceId value) {
  if (HasState(TMMWaveOutState::wosOpened)) throw EMMWaveOutError(LoadResString(msg::PropertyWhileOpen));
  // Devices come and go (Desktop Sound's own device is made after the window opens):
  // the id is checked against the devices there are now.
  numDevs_ = static_cast<std::int32_t>(waveOutGetNumDevs());
  productName_ = kNoDevice;
  driverVersion_ = 0;
  if (numDevs_ > 0 && value >= MapperId && value < numDevs_) {
    TWaveOutCaps caps;
    if (waveOutGetDevCaps(value, &caps) == MMSYSERR_NOERROR) {
      productName_ = caps.szPname;
      driverVersion_ = caps.vDriverVersion;
    }
  }
  deviceId_ = value < MapperId || value >= numDevs_ ? InvalidId : value;
}

void TMMWaveOut::SetCallBackMode(TMMCBMode value) {
  if (HasState(TMMWaveOutState::wosOpened)) throw EMMWaveOutError(LoadResString(msg::PropertyWhileOpen));
  if (value == TMMCBMode::cmCallback && !IsWin95()) {
    Application().ShowMessageBox("Warning", kCallbacksRefused);
    return;
  }
  callbackMode_ = value;
}

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

bool TMMWaveOut::FormatSupported() {
  const TWaveFormatEx* f = PWaveFormat();
  if (waveOutOpen(nullptr, deviceId_, f, nullptr, 0, WAVE_FORMAT_QUERY) != MMSYSERR_NOERROR) return false;
  if (f->wFormatTag != WAVE_FORMAT_PCM) return true;
  TWaveOutCaps caps;
  if (waveOutGetDevCaps(deviceId_, &caps) != MMSYSERR_NOERROR) return false;
  const std::uint32_t rate = f->nSamplesPerSec;
  int base = -1;
  if (rate >= 8000 && rate <= 11025)
    base = 0;
  else if (rate >= 11026 && rate <= 22050)
    base = 4;
  else if (rate >= 22051 && rate <= 48000)
    base = 8;
  const bool standard = (f->wBitsPerSample == 8 || f->wBitsPerSample == 16) && (f->nChannels == 1 || f->nChannels == 2);
  if (base < 0 || !standard) return true;
  const int bit = base + (f->wBitsPerSample == 16 ? 2 : 0) + (f->nChannels == 2 ? 1 : 0);
  return caps.dwFormats & (1u << bit);
}

void TMMWaveOut::StartWorker() {
  std::lock_guard lock(cs_);
  threadFailed_ = false;
  readyEvent_ = std::make_unique<TEvent>(false);
  terminateEvent_ = std::make_unique<TEvent>(false);
  purgeEvent_ = std::make_unique<TEvent>(true);
  try {
    worker_ = std::make_unique<TMMWaveOutThread>(this);
    worker_->Resume();
  } catch (const std::system_error&) {
    worker_.reset();
    Error("WaveOut:\n\r" + LoadResString(msg::CouldNotCreateThread));
  }
  if (readyEvent_->WaitFor(kThreadWait) != TWaitResult::Signaled)
    Error("WaveOut:\n\r" + LoadResString(msg::CouldNotCreateThread));
}

void TMMWaveOut::EndWorker() {
  if (!worker_) return;
  worker_->Terminate();
  if (!threadFailed_) {
    terminateEvent_->Set();
    readyEvent_->WaitFor(kThreadWait);
  }
  worker_->WaitFor();
  worker_.reset();
  readyEvent_.reset();
  terminateEvent_.reset();
  purgeEvent_.reset();
}

void TMMWaveOut::Open() {
  if (numDevs_ == 0) Error(kNoDevice);
  if (deviceId_ == InvalidId) Error("Invalid DeviceID");
  if (!PWaveFormat()) Error("WaveOutOpen:\n\r" + LoadResString(msg::InvalidWaveFormatLower));
  if (HasState(TMMWaveOutState::wosOpened)) Close();
  if (HasState(TMMWaveOutState::wosOpened) || closing_) return;
  closing_ = false;
  resetting_ = false;
  stopping_ = false;
  try {
    if (!FormatSupported()) Error("WaveOutOpen:\n\rThe actual device can''t play this format");
    if (!window_) window_ = std::make_unique<TNotifyWindow>([this](TMessage& m) { WindowProc(m); });
    handle_ = 0;
    closePending_ = false;
    TMMCustomSoundComponent::Open();
    reports_ = std::make_unique<TWaveReportQueue>(static_cast<std::size_t>(numBuffers_) + 16);
    if (callbackMode_ == TMMCBMode::cmThread) StartWorker();
    HWAVEOUT h = 0;
    const MMRESULT r = waveOutOpen(&h, deviceId_, PWaveFormat(), &TMMWaveOut::DeviceCallback,
                                   reinterpret_cast<std::uintptr_t>(this), CALLBACK_FUNCTION);
    if (r != MMSYSERR_NOERROR) PlatformError("WaveOutOpen", r);
    handle_ = h;
    for (int i = 0; i < 500 && !HasState(TMMWaveOutState::wosOpened); ++i) Delay(10, false);
    if (!HasState(TMMWaveOutState::wosOpened)) Error("WaveOutOpen:\n\rUnable to open device");
    Fire(OnOpen);
  } catch (...) {
    ReportFailure();
    SetWaveOutState(Bit(TMMWaveOutState::wosOpened));
    Close();
    SetWaveOutState(Bit(TMMWaveOutState::wosClosed));
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
  if (stopping_) return;
  SetWaveHdrFlags(h, WHDR_PREPARED, WHDR_DONE);  // buffers stay prepared between writes
  h->dwBytesRecorded = static_cast<std::int32_t>(h->dwBufferLength);
  MMRESULT r;
  {
    std::lock_guard lock(cs_);
    ++queued_;
    ++unprocessed_;
    r = waveOutWrite(handle_, h);
    if (r != MMSYSERR_NOERROR) {
      --queued_;
      --unprocessed_;
    }
  }
  if (r != MMSYSERR_NOERROR && !(DeviceGone(r) && HasState(TMMWaveOutState::wosStarted))) PlatformError("WaveOutWrite", r);
}

std::int32_t TMMWaveOut::FillBuffers() {
  const auto size = static_cast<std::size_t>(BufferSize());
  buffers_.resize(static_cast<std::size_t>(numBuffers_));
  std::int32_t count = 0;
  for (std::int32_t i = 0; i < numBuffers_ && moreData_; ++i) {
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
      inFlight_ = 0;
      stopPending_ = false;
      resetting_ = false;
      stopping_ = false;
      nextIndex_ = 0;
      queued_ = 0;
      unprocessed_ = 0;
      emptiedByPause_ = false;
    }
    RemoveMessages(window_->Handle(), MM_WOM_STOP, MM_WOM_STOP);
    loopsRemaining_ = loopCount_.load();
    if (showHourGlass_ && static_cast<std::int64_t>(BufferSize()) * numBuffers_ > 100000) {
      Application().SetBusyCursor(true);
      busy = true;
    }
    MMRESULT r = waveOutPause(handle_);  // nothing plays while the buffers are written
    if (r != MMSYSERR_NOERROR) PlatformError("WaveOutPause", r);
    TMMCustomSoundComponent::Start();
    moreData_ = true;
    buffersInUse_ = FillBuffers();
    AddState(TMMWaveOutState::wosStarted);
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
    ReportFailure();
    AddState(TMMWaveOutState::wosStarted);
    Close();
    SetWaveOutState(Bit(TMMWaveOutState::wosClosed));
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

std::int64_t TMMWaveOut::Position() {
  if (!HasState(TMMWaveOutState::wosOpened) || !PWaveFormat() || closing_ || !handle_) return 0;
  const std::int64_t device = DevicePosition();
  std::lock_guard lock(cs_);
  return ToTimeFormat(wrapCount_ * wrapSize_ + accumulated_ + device - loopOffset_);
}

void TMMWaveOut::ProcessDone() {
  TMMWaveHdr* h;
  {
    std::lock_guard lock(cs_);
    if (!HasState(TMMWaveOutState::wosStarted) || resetting_ || stopping_ || buffersInUse_ == 0) return;
    ++inFlight_;
    --unprocessed_;
    // Buffers come back in the order written: the one at the next index has played.
    h = buffers_[static_cast<std::size_t>(nextIndex_)].get();
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
    if (moreData_ && !stopPending_) {
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
      if (h->dwBytesRecorded <= 0 && !stopPending_) Error(LoadResString(msg::ErrorFillingBuffer));
      if (!stopPending_) WriteBuffer(h);
    }
  } catch (...) {
    ReportFailure();
    FinishDone();
    throw;
  }
  FinishDone();
}

void TMMWaveOut::FinishDone() {
  bool post = false;
  {
    std::lock_guard lock(cs_);
    if (--inFlight_ == 0 && (stopPending_ || unprocessed_ <= 0)) {
      // Input ran dry and everything has played, or a stop waits for us.
      stopping_ = true;
      waveOutPause(handle_);
      post = true;
    }
  }
  if (post) PostMessage(window_->Handle(), MM_WOM_STOP, handle_);
}

void TMMWaveOut::Pause() {
  if (!HasState(TMMWaveOutState::wosOpened)) Open();
  if (!HasState(TMMWaveOutState::wosOpened) || HasState(TMMWaveOutState::wosPaused)) return;
  try {
    if (HasState(TMMWaveOutState::wosStarted)) {
      const char* failed = nullptr;
      MMRESULT r;
      {
        std::lock_guard lock(cs_);
        r = waveOutPause(handle_);
        if (r != MMSYSERR_NOERROR) {
          failed = "WaveOutPause";
        } else {
          AddState(TMMWaveOutState::wosPaused);
          if (UpstreamDriver()) {
            // Fed by another driver: what is queued would be stale after the pause.
            accumulated_ += DevicePositionOr0();
            resetting_ = true;
            r = waveOutReset(handle_);
            if (r != MMSYSERR_NOERROR) failed = "WaveOutReset";
            nextIndex_ = 0;
            queued_ = 0;
            unprocessed_ = 0;
            lastPosition_ = 0;  // the reset starts the device counter again
            emptiedByPause_ = true;
          }
        }
      }
      if (failed) PlatformError(failed, r);
    }
    AddState(TMMWaveOutState::wosPaused);
    TMMCustomSoundComponent::Pause();
    Fire(OnPause);
  } catch (...) {
    ReportFailure();
    Close();
    throw;
  }
}

void TMMWaveOut::Restart() {
  if (!HasState(TMMWaveOutState::wosStarted) || !HasState(TMMWaveOutState::wosPaused)) return;
  try {
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
    RemoveState(TMMWaveOutState::wosPaused);
    TMMCustomSoundComponent::Restart();
    Fire(OnRestart);
    if (refilled && buffersInUse_ == 0) Stop();
  } catch (...) {
    ReportFailure();
    Close();
    throw;
  }
}

void TMMWaveOut::Stop() {
  if (!HasState(TMMWaveOutState::wosStarted) && !HasState(TMMWaveOutState::wosPaused)) return;
  try {
    {
      std::lock_guard lock(cs_);
      stopping_ = true;
      resetting_ = true;
    }
    {
      std::lock_guard lock(cs_);
      savedPosition_ = ToTimeFormat(wrapCount_ * wrapSize_ + accumulated_ + DevicePositionOr0() - loopOffset_);
      wrapCount_ = wrapSize_ = 0;
    }
    const MMRESULT r = waveOutReset(handle_);
    if (r != MMSYSERR_NOERROR) PlatformError("WaveOutReset", r);
    {
      std::lock_guard lock(cs_);
      if (inFlight_ > 0) {
        stopPending_ = true;  // the buffer path posts the stop message when it is done
        return;
      }
    }
    RemoveState(TMMWaveOutState::wosStarted);
    RemoveState(TMMWaveOutState::wosPaused);
    for (int i = 0; i < 500 && queued_ > 0; ++i) Delay(10, false);
    TMMCustomSoundComponent::Stop();
    UnprepareBuffers();
    {
      std::lock_guard lock(cs_);
      buffersInUse_ = 0;
      queued_ = 0;
      unprocessed_ = 0;
      nextIndex_ = 0;
      stopPending_ = false;
    }
    RemoveMessages(window_->Handle(), MM_WOM_STOP, MM_WOM_STOP);
    if (!Destroying()) Fire(OnStop);
    if (closePending_) Close();
  } catch (...) {
    ReportFailure();
    Close();
    throw;
  }
}

void TMMWaveOut::Flush() {
  if (!HasState(TMMWaveOutState::wosStarted) && !HasState(TMMWaveOutState::wosPaused)) return;
  if (resetting_) return;  // one flush at a time
  try {
    MMRESULT r = waveOutPause(handle_);
    if (r != MMSYSERR_NOERROR) PlatformError("WaveOutPause", r);
    if (callbackMode_ == TMMCBMode::cmThread && worker_ && !threadFailed_) {
      purgeEvent_->Set();
      for (int i = 0; i < 5000 && purgeEvent_->IsSet(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    } else {
      RemoveMessages(window_->Handle(), MM_WOM_DONE, MM_WOM_DONE);
    }
    // A buffer being refilled would be written behind the reset; let it finish first.
    for (int i = 0; i < 5000; ++i) {
      {
        std::lock_guard lock(cs_);
        if (inFlight_ <= 0) break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
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
    ReportFailure();
    Close();
    throw;
  }
}

void TMMWaveOut::Close() {
  if (!HasState(TMMWaveOutState::wosOpened)) return;
  if (closing_ && !closePending_) return;
  closing_ = true;
  try {
    if (HasState(TMMWaveOutState::wosStarted) || HasState(TMMWaveOutState::wosPaused)) Stop();
    if (stopPending_) {
      closePending_ = true;
      return;
    }
    closePending_ = false;
    bool confirmed = true;
    if (const HWAVEOUT h = handle_) {
      if (!buffers_.empty()) {  // a start that failed half-way
        waveOutReset(h);
        UnprepareBuffers();
      }
      const MMRESULT r = waveOutClose(h);
      if (r != MMSYSERR_NOERROR) PlatformError("WaveOutClose", r);
      for (int i = 0; i < 500 && !HasState(TMMWaveOutState::wosClosed); ++i) Delay(10, false);
      confirmed = HasState(TMMWaveOutState::wosClosed);
      std::lock_guard lock(cs_);
      savedPosition_ = 0;
      lastPosition_ = wrapCount_ = wrapSize_ = 0;
    } else {
      SetWaveOutState(Bit(TMMWaveOutState::wosClosed));
    }
    TMMCustomSoundComponent::Close();
    if (callbackMode_ == TMMCBMode::cmThread || worker_) EndWorker();
    handle_ = 0;
    if (window_) {
      RemoveMessages(window_->Handle(), MM_WOM_DONE, MM_WOM_ERROR);
      RemoveMessages(window_->Handle(), MM_WOM_STOP, kWorkerFailed);
    }
    closing_ = false;
    if (!Destroying()) Fire(OnClose);
    if (!confirmed) Error("WaveOutClose:\n\rUnable to close device");
  } catch (...) {
    closing_ = false;
  }
}

void TMMWaveOut::DeviceCallback(std::uintptr_t hwave, std::uint32_t msg, std::uintptr_t instance,
                                std::uintptr_t param1, std::uintptr_t) {
  auto* self = reinterpret_cast<TMMWaveOut*>(instance);
  switch (msg) {
    case MM_WOM_OPEN:
      if (self->handle_ == 0 || hwave == self->handle_) self->SetWaveOutState(Bit(TMMWaveOutState::wosOpened));
      break;
    case MM_WOM_CLOSE:
      if (hwave == self->handle_) self->SetWaveOutState(Bit(TMMWaveOutState::wosClosed));
      break;
    case MM_WOM_DONE: {
      if (hwave != self->handle_) break;
      const std::int32_t left = --self->queued_;
      if (self->resetting_) {
        if (left <= 0) self->resetting_ = false;
        break;
      }
      if (!self->stopping_) self->Route(msg, hwave, param1);
      break;
    }
    case MM_WOM_ERROR:
      if (hwave == self->handle_) self->Route(msg, hwave, param1);
      break;
    default: break;
  }
}

void TMMWaveOut::Route(std::uint32_t msg, std::uintptr_t hwave, std::uintptr_t param) {
  if (callbackMode_ == TMMCBMode::cmThread) {
    if (reports_) reports_->Post({msg, hwave, param});
  } else {
    PostMessage(window_->Handle(), msg, hwave, static_cast<LPARAM>(param));
  }
}

void TMMWaveOut::ProcessReport(std::uint32_t msg, std::uintptr_t param) {
  if (msg == MM_WOM_DONE) {
    ProcessDone();
  } else if (msg == MM_WOM_ERROR) {
    lastError_ = static_cast<MMRESULT>(param);
    Error("WaveOut:\n\r" + PlatformText(lastError_));
  }
}

void TMMWaveOut::WindowProc(TMessage& m) {
  switch (m.Msg) {
    case MM_WOM_DONE:
    case MM_WOM_ERROR:
    case MM_WOM_STOP:
      if (m.WParam != handle_ || handle_ == 0) return;
      try {
        if (m.Msg == MM_WOM_STOP)
          Stop();
        else if (m.Msg == MM_WOM_ERROR || !stopping_)
          ProcessReport(m.Msg, static_cast<std::uintptr_t>(m.LParam));
      } catch (...) {
        Close();
        Application().HandleException(std::current_exception());
      }
      break;
    case kWorkerFailed:
      if (m.WParam == handle_) Close();
      break;
    default: DefWindowProc(m); break;
  }
}

std::string WaveOutDeviceName(TMMDeviceId device) {
  const auto count = static_cast<TMMDeviceId>(waveOutGetNumDevs());
  if (device < MapperId || device >= count) return {};
  TWaveOutCaps caps;
  if (waveOutGetDevCaps(device, &caps) != MMSYSERR_NOERROR) return {};
  return caps.szPname;
}

bool WaveOutCanOpen(TMMDeviceId device) {
  const auto count = static_cast<TMMDeviceId>(waveOutGetNumDevs());
  if (device < MapperId || device >= count) return false;
  const TWaveFormatEx f = BuildPcmFormat(TMMBits::b8Bit, TMMMode::mMono, 22050);
  HWAVEOUT h = 0;
  if (waveOutOpen(&h, device, &f, nullptr, 0, CALLBACK_NULL) != MMSYSERR_NOERROR) return false;
  waveOutClose(h);
  return true;
}

}  // namespace strataeq
