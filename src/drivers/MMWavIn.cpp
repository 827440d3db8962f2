#include "drivers/MMWavIn.h"

#include <algorithm>
#include <limits>
#include <system_error>

namespace strataeq {
namespace {

// Posted by a worker that died of an exception: the main thread closes the device.
constexpr std::uint32_t kWorkerFailed = MM_WOM_STOP + 1;
// A data report the device sent while it was being reset: such buffers are dropped.
constexpr std::uint32_t kResetData = MM_WIM_DATA + 1;
constexpr auto kThreadWait = std::chrono::milliseconds(5000);
constexpr std::int64_t kNoLimit = std::numeric_limits<std::int64_t>::max();

const char* const kNoDevice = "No wave audio recording device found";
const char* const kCallbacksRefused =
    "\"CallBacks\" are called at interrupt time !\n\rThis is currently only supported under Windows 95";

std::uint8_t Bit(TMMWaveInState s) { return static_cast<std::uint8_t>(s); }

std::string PlatformText(MMRESULT result) {
  char text[255];
  if (waveInGetErrorText(result, text, sizeof text) != MMSYSERR_NOERROR)
    return "Specified error number is out of range (unknown error)";
  return text;
}

// Waits for the done flag the device sets on a returned buffer (buffers it does not
// hold need no wait), giving up after a bounded number of looks and setting it then.
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

class TMMCustomWaveIn::TMMWaveInThread : public TMMDSPThread {
 public:
  explicit TMMWaveInThread(TMMCustomWaveIn* owner) : TMMDSPThread(owner), w_(owner) {}

 protected:
  void Execute() override {
    SetPriority(TThreadPriority::tpHigher);
    w_->readyEvent_->Set();
    try {
      while (!Terminated()) {
        TWaveReportQueue::Report r;
        if (!w_->reports_->Take(r)) {
          if (TEvent::WaitForAny({w_->terminateEvent_.get(), &w_->reports_->Arrived()}) == 0) break;
          continue;
        }
        if (r.Handle == w_->handle_) w_->ProcessReport(r.Msg, r.Param);
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
  TMMCustomWaveIn* w_;
};

TMMCustomWaveIn::TMMCustomWaveIn() : TMMCustomSoundComponent(TConnectionProps{false, true}) {
  window_ = std::make_unique<TNotifyWindow>([this](TMessage& m) { WindowProc(m); });
  numDevs_ = static_cast<std::int32_t>(waveInGetNumDevs());
  SetDeviceID(0);
  UpdateOwnFormat();
}

TMMCustomWaveIn::~TMMCustomWaveIn() {
  SetState(TComponentStateFlag::csDestroying, true);
  try {
    if (handle_ || HasState(TMMWaveInState::wisOpened)) Close();
    if (closePending_) {
      // A buffer is still being processed: let it end, then complete stop and close.
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

void TMMCustomWaveIn::Error(const std::string& message) {
  Fire(OnError);
  throw EMMWaveInError(message);
}

void TMMCustomWaveIn::ReportFailure() noexcept {
  try {
    throw;
  } catch (const EMMWaveInError&) {
  } catch (...) {
    try {
      Fire(OnError);
    } catch (...) {
    }
  }
}

void TMMCustomWaveIn::PlatformError(const char* operation, MMRESULT result) {
  lastError_ = result;
  const std::string message = std::string(operation) + ":\n\r" + PlatformText(result);
  Error(message);
  throw EMMWaveInError(message);  // for an override of Error that returns
}

void TMMCustomWaveIn::SetBufferSize(std::int32_t value) {
  value = std::max<std::int32_t>(value, 32);
  if (value == TMMDSPComponent::BufferSize()) return;
  if (HasState(TMMWaveInState::wisOpened)) throw EMMWaveInError(LoadResString(msg::PropertyWhileOpen));
  TMMCustomSoundComponent::SetBufferSize(value);
}

void TMMCustomWaveIn::SetNumBuffers(std::int32_t value) {
  if (value <= 1) return;
  value = std::min(value, MaxWaveBuffers);
  if (value == numBuffers_) return;
  if (HasState(TMMWaveInState::wisOpened)) throw EMMWaveInError(LoadResString(msg::PropertyWhileOpen));
  numBuffers_ = value;
}

void TMMCustomWaveIn::SetDeviceID(TMMDeviceId value) {
  if (HasState(TMMWaveInState::wisOpened)) throw EMMWaveInError(LoadResString(msg::PropertyWhileOpen));
  // Devices come and go (Desktop Sound's own device is made after the window opens):
  // the id is checked against the devices there are now.
  numDevs_ = static_cast<std::int32_t>(waveInGetNumDevs());
  productName_ = kNoDevice;
  driverVersion_ = 0;
  if (numDevs_ > 0 && value >= MapperId && value < numDevs_) {
    TWaveInCaps caps;
    if (waveInGetDevCaps(value, &caps) == MMSYSERR_NOERROR) {
      productName_ = caps.szPname;
      driverVersion_ = caps.vDriverVersion;
    }
  }
  deviceId_ = value < MapperId || value >= numDevs_ ? InvalidId : value;
}

void TMMCustomWaveIn::SetMode(TMMMode value) {
  if (value != TMMMode::mMono && value != TMMMode::mStereo) return;
  if (value == mode_) return;
  if (HasState(TMMWaveInState::wisOpened)) throw EMMWaveInError(LoadResString(msg::PropertyWhileOpen));
  mode_ = value;
  UpdateOwnFormat();
}

void TMMCustomWaveIn::SetBitLength(TMMBits value) {
  if (value == bits_) return;
  if (HasState(TMMWaveInState::wisOpened)) throw EMMWaveInError(LoadResString(msg::PropertyWhileOpen));
  bits_ = value;
  UpdateOwnFormat();
}

void TMMCustomWaveIn::SetSampleRate(std::int32_t value) {
  value = Clamp<std::int32_t>(value, 8000, 100000);
  if (value == rate_) return;
  if (HasState(TMMWaveInState::wisOpened)) throw EMMWaveInError(LoadResString(msg::PropertyWhileOpen));
  rate_ = value;
  UpdateOwnFormat();
}

void TMMCustomWaveIn::SetCallBackMode(TMMCBMode value) {
  if (HasState(TMMWaveInState::wisOpened)) throw EMMWaveInError(LoadResString(msg::PropertyWhileOpen));
  if (value == TMMCBMode::cmCallback && !IsWin95()) {
    Application().ShowMessageBox("TMMWaveIn", kCallbacksRefused);
    return;
  }
  callbackMode_ = value;
}

void TMMCustomWaveIn::SetTimeFormat(TMMTimeFormats value) {
  if (value == timeFormat_) return;
  const TWaveFormatEx* f = PWaveFormat();
  if (maxRecordTime_ >= 0 && f && recordLimit_ != kNoLimit) {
    const auto bytes = static_cast<std::int32_t>(std::min<std::int64_t>(recordLimit_.load(), INT32_MAX));
    switch (value) {
      case TMMTimeFormats::tfMillisecond: maxRecordTime_ = BytesToMs(f, bytes); break;
      case TMMTimeFormats::tfSample: maxRecordTime_ = BytesToSamples(f, bytes); break;
      case TMMTimeFormats::tfByte: maxRecordTime_ = bytes; break;
    }
  }
  timeFormat_ = value;
  ComputeLimit();
}

void TMMCustomWaveIn::SetMaxRecordTime(std::int32_t value) {
  maxRecordTime_ = value;
  ComputeLimit();
}

void TMMCustomWaveIn::ComputeLimit() {
  const TWaveFormatEx* f = PWaveFormat();
  // Without a limit recording goes on; a 32-bit byte cap would end a live session
  // after 3 h 22 min at 44.1 kHz 16-bit stereo.
  if (maxRecordTime_ < 0 || !f || f->nAvgBytesPerSec == 0 || f->nBlockAlign == 0) {
    recordLimit_ = kNoLimit;
    return;
  }
  std::int64_t bytes;
  switch (timeFormat_) {
    case TMMTimeFormats::tfMillisecond: bytes = MsToBytes64(f, maxRecordTime_); break;
    case TMMTimeFormats::tfSample: bytes = SamplesToBytes64(f, maxRecordTime_); break;
    default: bytes = maxRecordTime_; break;
  }
  if (bytes < 0) {
    recordLimit_ = kNoLimit;
    return;
  }
  recordLimit_ = bytes - bytes % f->nBlockAlign;
}

void TMMCustomWaveIn::UpdateOwnFormat() {
  const TWaveFormatEx f = BuildPcmFormat(bits_, mode_, static_cast<std::uint32_t>(rate_));
  TMMCustomSoundComponent::SetPWaveFormat(&f);
  ComputeLimit();
}

void TMMCustomWaveIn::SetPWaveFormat(const TWaveFormatEx* format) {
  if (format == PWaveFormat()) return;
  Close();
  if (IsValidPcmFormat(format)) {
    rate_ = static_cast<std::int32_t>(format->nSamplesPerSec);
    bits_ = format->wBitsPerSample == 16 ? TMMBits::b16Bit : TMMBits::b8Bit;
    mode_ = format->nChannels == 2 ? TMMMode::mStereo : TMMMode::mMono;
  }
  TMMCustomSoundComponent::SetPWaveFormat(format);
  ComputeLimit();
}

bool TMMCustomWaveIn::FormatSupported() {
  const TWaveFormatEx* f = PWaveFormat();
  if (waveInOpen(nullptr, deviceId_, f, nullptr, 0, WAVE_FORMAT_QUERY) != MMSYSERR_NOERROR) return false;
  if (f->wFormatTag != WAVE_FORMAT_PCM) return true;
  TWaveInCaps caps;
  if (waveInGetDevCaps(deviceId_, &caps) != MMSYSERR_NOERROR) return false;
  // The standard-format bits by rate class; other rates pass on the query alone.
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

void TMMCustomWaveIn::StartWorker() {
  std::lock_guard lock(cs_);
  threadFailed_ = false;
  readyEvent_ = std::make_unique<TEvent>();
  terminateEvent_ = std::make_unique<TEvent>();
  try {
    worker_ = std::make_unique<TMMWaveInThread>(this);
    worker_->Resume();
  } catch (const std::system_error&) {
    worker_.reset();
    Error("WaveIn:\n\r" + LoadResString(msg::CouldNotCreateThread));
  }
  if (readyEvent_->WaitFor(kThreadWait) != TWaitResult::Signaled)
    Error("WaveIn:\n\r" + LoadResString(msg::CouldNotCreateThread));
}

void TMMCustomWaveIn::EndWorker() {
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
}

void TMMCustomWaveIn::AllocateBuffers() {
  const auto size = static_cast<std::size_t>(BufferSize());
  buffers_.resize(static_cast<std::size_t>(numBuffers_));
  for (TWaveHdrBlock& b : buffers_) {
    if (b) continue;
    b = AllocWaveHeader(size);
    b->dwBufferLength = static_cast<std::uint32_t>(size);
    const MMRESULT r = waveInPrepareHeader(handle_, b.get());
    if (r != MMSYSERR_NOERROR) PlatformError("WaveInPrepareHeader", r);
  }
}

void TMMCustomWaveIn::FreeBuffers() { buffers_.clear(); }

void TMMCustomWaveIn::Open() {
  if (numDevs_ == 0) Error(kNoDevice);
  if (deviceId_ == InvalidId) Error("Invalid DeviceID");
  if (!PWaveFormat()) Error(LoadResString(msg::InvalidWaveFormatLower));
  if (HasState(TMMWaveInState::wisOpened)) Close();
  if (HasState(TMMWaveInState::wisOpened) || closing_) return;
  closing_ = false;
  resetting_ = false;
  stopping_ = false;
  try {
    if (!FormatSupported()) Error("WaveInOpen:\n\rThe actual device can''t record this format");
    if (!window_) window_ = std::make_unique<TNotifyWindow>([this](TMessage& m) { WindowProc(m); });
    handle_ = 0;
    closePending_ = false;
    reports_ = std::make_unique<TWaveReportQueue>(static_cast<std::size_t>(numBuffers_) + 16);
    if (callbackMode_ == TMMCBMode::cmThread) StartWorker();
    HWAVEIN h = 0;
    const MMRESULT r = waveInOpen(&h, deviceId_, PWaveFormat(), &TMMCustomWaveIn::DeviceCallback,
                                  reinterpret_cast<std::uintptr_t>(this), CALLBACK_FUNCTION);
    if (r != MMSYSERR_NOERROR) PlatformError("WaveInOpen", r);
    handle_ = h;
    const std::uint8_t saved = state_.load();
    SetWaveInState(Bit(TMMWaveInState::wisClosed));
    TMMCustomSoundComponent::Open();
    SetWaveInState(saved);
    for (int i = 0; i < 100 && !HasState(TMMWaveInState::wisOpened); ++i) Delay(10, false);
    if (!HasState(TMMWaveInState::wisOpened)) Error("WaveInOpen:\n\rUnable to open device");
    AllocateBuffers();
    Fire(OnOpen);
  } catch (...) {
    ReportFailure();
    SetWaveInState(Bit(TMMWaveInState::wisOpened));
    Close();
    SetWaveInState(Bit(TMMWaveInState::wisClosed));
    throw;
  }
}

void TMMCustomWaveIn::Start() {
  if (!HasState(TMMWaveInState::wisOpened)) Open();
  if (!HasState(TMMWaveInState::wisOpened) || HasState(TMMWaveInState::wisStarted)) return;
  try {
    {
      std::lock_guard lock(cs_);
      bytesRecorded_ = 0;
      nextIndex_ = 0;
      inFlight_ = 0;
      stopPending_ = false;
      stopping_ = false;
      resetting_ = false;
      queued_ = 0;
      limitReached_ = false;
    }
    RemoveMessages(window_->Handle(), MM_WOM_STOP, MM_WOM_STOP);
    ComputeLimit();
    for (TWaveHdrBlock& b : buffers_) {
      SetWaveHdrFlags(b.get(), WHDR_PREPARED, WHDR_DONE);
      {
        std::lock_guard lock(cs_);
        ++queued_;
      }
      const MMRESULT r = waveInAddBuffer(handle_, b.get());
      if (r != MMSYSERR_NOERROR) {
        {
          std::lock_guard lock(cs_);
          --queued_;
        }
        PlatformError("WaveInAddBuffer", r);
      }
    }
    AddState(TMMWaveInState::wisStarted);
    if (!HasState(TMMWaveInState::wisPaused)) {
      const MMRESULT r = waveInStart(handle_);
      if (r != MMSYSERR_NOERROR) PlatformError("WaveInStart", r);
    }
    TMMCustomSoundComponent::Start();
    Fire(OnStart);
  } catch (...) {
    ReportFailure();
    AddState(TMMWaveInState::wisStarted);
    Close();
    SetWaveInState(Bit(TMMWaveInState::wisClosed));
    throw;
  }
}

void TMMCustomWaveIn::Pause() {
  if (!HasState(TMMWaveInState::wisOpened)) Open();
  if (!HasState(TMMWaveInState::wisOpened) || HasState(TMMWaveInState::wisPaused)) return;
  try {
    if (HasState(TMMWaveInState::wisStarted)) {
      const MMRESULT r = waveInStop(handle_);  // keeps the queued buffers
      if (r != MMSYSERR_NOERROR) PlatformError("WaveInPause", r);
    }
    AddState(TMMWaveInState::wisPaused);
    TMMCustomSoundComponent::Pause();
    Fire(OnPause);
  } catch (...) {
    ReportFailure();
    Close();
    throw;
  }
}

void TMMCustomWaveIn::Restart() {
  if (!HasState(TMMWaveInState::wisStarted) || !HasState(TMMWaveInState::wisPaused)) return;
  try {
    const MMRESULT r = waveInStart(handle_);
    if (r != MMSYSERR_NOERROR) PlatformError("WaveInRestart", r);
    RemoveState(TMMWaveInState::wisPaused);
    TMMCustomSoundComponent::Restart();
    Fire(OnRestart);
  } catch (...) {
    ReportFailure();
    Close();
    throw;
  }
}

void TMMCustomWaveIn::WaitQueueEmpty() {
  // A worker that died counts nothing off any more; the reset returned everything.
  const bool processMessages = callbackMode_ == TMMCBMode::cmWindow;
  for (int i = 0; i < 100 && !threadFailed_; ++i) {
    {
      std::lock_guard lock(cs_);
      if (queued_ <= 0) return;
    }
    Delay(10, processMessages);
  }
}

void TMMCustomWaveIn::Stop() {
  if (!HasState(TMMWaveInState::wisStarted) && !HasState(TMMWaveInState::wisPaused)) return;
  try {
    const char* failed = nullptr;
    MMRESULT r = MMSYSERR_NOERROR;
    bool inFlight;
    {
      std::lock_guard lock(cs_);
      stopping_ = true;
      r = waveInStop(handle_);
      if (r != MMSYSERR_NOERROR) {
        failed = "WaveInStop";
      } else {
        resetting_ = true;
        r = waveInReset(handle_);  // every queued buffer comes back
        if (r != MMSYSERR_NOERROR) failed = "WaveInReset";
      }
      inFlight = inFlight_ > 0;
    }
    if (failed) PlatformError(failed, r);
    if (!inFlight) WaitQueueEmpty();
    {
      std::lock_guard lock(cs_);
      if (inFlight_ > 0) {
        stopPending_ = true;  // the buffer path posts the stop message when it is done
        return;
      }
      nextIndex_ = 0;
      queued_ = 0;
      stopPending_ = false;
    }
    RemoveState(TMMWaveInState::wisStarted);
    RemoveState(TMMWaveInState::wisPaused);
    RemoveMessages(window_->Handle(), MM_WOM_STOP, MM_WOM_STOP);
    TMMCustomSoundComponent::Stop();
    if (!Destroying()) Fire(OnStop);
    if (closePending_) Close();
  } catch (...) {
    ReportFailure();
    Close();
    throw;
  }
}

void TMMCustomWaveIn::Close() {
  if (!HasState(TMMWaveInState::wisOpened)) return;
  if (closing_ && !closePending_) return;
  closing_ = true;
  try {
    if (HasState(TMMWaveInState::wisStarted) || HasState(TMMWaveInState::wisPaused)) Stop();
    if (stopPending_) {
      closePending_ = true;
      return;
    }
    closePending_ = false;
    bool confirmed = true;
    if (const HWAVEIN h = handle_) {
      waveInStop(h);
      waveInReset(h);
      for (TWaveHdrBlock& b : buffers_) {
        AwaitDone(b.get());
        const MMRESULT r = waveInUnprepareHeader(h, b.get());
        if (r != MMSYSERR_NOERROR) PlatformError("WaveInUnprepareHeader", r);
      }
      const MMRESULT r = waveInClose(h);
      if (r != MMSYSERR_NOERROR) PlatformError("WaveInClose", r);
      for (int i = 0; i < 100 && !HasState(TMMWaveInState::wisClosed); ++i) Delay(10, false);
      confirmed = HasState(TMMWaveInState::wisClosed);
    } else {
      SetWaveInState(Bit(TMMWaveInState::wisClosed));
    }
    TMMCustomSoundComponent::Close();
    if (callbackMode_ == TMMCBMode::cmThread || worker_) EndWorker();
    handle_ = 0;
    FreeBuffers();
    if (window_) {
      RemoveMessages(window_->Handle(), MM_WIM_DATA, MM_WIM_ERROR);
      RemoveMessages(window_->Handle(), MM_WOM_STOP, kWorkerFailed);
    }
    closing_ = false;
    if (!Destroying()) Fire(OnClose);
    if (!confirmed) Error("WaveInClose:\n\rUnable to close device");
  } catch (...) {
    closing_ = false;
  }
}

void TMMCustomWaveIn::BufferReady(PMMWaveHdr lpwh) {
  if (limitReached_) return;  // nothing passes the recording limit
  bool stop = false;
  const std::int64_t limit = recordLimit_;
  std::int64_t total = bytesRecorded_ + std::max(lpwh->dwBytesRecorded, 0);
  if (total >= limit) {
    lpwh->dwBytesRecorded -= static_cast<std::int32_t>(total - limit);
    total = limit;
    limitReached_ = true;
    stop = true;
  }
  bytesRecorded_ = total;
  nextIndex_ = (nextIndex_ + 1) % numBuffers_;
  TMMCustomSoundComponent::BufferReady(lpwh);
  if (stop && !stopping_) Stop();
}

void TMMCustomWaveIn::DeviceCallback(std::uintptr_t hwave, std::uint32_t msg, std::uintptr_t instance,
                                     std::uintptr_t param1, std::uintptr_t) {
  auto* self = reinterpret_cast<TMMCustomWaveIn*>(instance);
  switch (msg) {
    case MM_WIM_OPEN:
      // The handle is stored once the open call has returned.
      if (self->handle_ == 0 || hwave == self->handle_) self->SetWaveInState(Bit(TMMWaveInState::wisOpened));
      break;
    case MM_WIM_CLOSE:
      if (hwave == self->handle_) self->SetWaveInState(Bit(TMMWaveInState::wisClosed));
      break;
    case MM_WIM_DATA:
      if (hwave == self->handle_) self->Route(self->resetting_ ? kResetData : MM_WIM_DATA, hwave, param1);
      break;
    case MM_WIM_ERROR:
      if (hwave == self->handle_) self->Route(msg, hwave, param1);
      break;
    default: break;
  }
}

void TMMCustomWaveIn::Route(std::uint32_t msg, std::uintptr_t hwave, std::uintptr_t param) {
  if (callbackMode_ == TMMCBMode::cmThread) {
    if (reports_) reports_->Post({msg, hwave, param});
  } else {
    PostMessage(window_->Handle(), msg, hwave, static_cast<LPARAM>(param));
  }
}

void TMMCustomWaveIn::ProcessReport(std::uint32_t msg, std::uintptr_t param) {
  if (msg == MM_WIM_DATA || msg == kResetData) {
    ProcessBuffer(reinterpret_cast<TMMWaveHdr*>(param), msg == kResetData);
  } else if (msg == MM_WIM_ERROR) {
    lastError_ = static_cast<MMRESULT>(param);
    Error("WaveIn:\n\r" + PlatformText(lastError_));
  }
}

void TMMCustomWaveIn::ProcessBuffer(TMMWaveHdr* hdr, bool fromReset) {
  bool normal = false;
  bool passOn = false;
  {
    std::lock_guard lock(cs_);
    if (!HasState(TMMWaveInState::wisStarted)) return;
    if (stopping_ || resetting_ || fromReset) {
      // Data the device returned before the reset still goes on; buffers the reset
      // returned do not. Which one it was is known when the device reports it.
      passOn = !fromReset && hdr->dwBytesRecorded > 0;
    } else {
      ++inFlight_;
      --queued_;
      normal = true;
    }
  }
  if (!normal) {
    if (passOn) BufferReady(hdr);
    std::lock_guard lock(cs_);
    if (--queued_ <= 0) {
      queued_ = 0;
      resetting_ = false;
    }
    return;
  }
  try {
    BufferReady(hdr);
    MMRESULT r = MMSYSERR_NOERROR;
    {
      std::lock_guard lock(cs_);
      if (!stopPending_ && !stopping_ && HasState(TMMWaveInState::wisStarted)) {
        SetWaveHdrFlags(hdr, WHDR_PREPARED, WHDR_DONE);
        ++queued_;
        r = waveInAddBuffer(handle_, hdr);
        if (r != MMSYSERR_NOERROR) --queued_;
      }
    }
    if (r != MMSYSERR_NOERROR && !DeviceGone(r)) PlatformError("WaveInAddBuffer", r);
  } catch (...) {
    ReportFailure();
    FinishBuffer();
    throw;
  }
  FinishBuffer();
}

void TMMCustomWaveIn::FinishBuffer() {
  bool post = false;
  {
    std::lock_guard lock(cs_);
    if (--inFlight_ == 0 && stopPending_) {
      stopping_ = true;
      post = true;
    }
  }
  if (post) PostMessage(window_->Handle(), MM_WOM_STOP, handle_);
}

void TMMCustomWaveIn::WindowProc(TMessage& m) {
  switch (m.Msg) {
    case MM_WIM_DATA:
    case kResetData:
    case MM_WIM_ERROR:
    case MM_WOM_STOP:
      if (m.WParam != handle_ || handle_ == 0) return;
      try {
        if (m.Msg == MM_WOM_STOP)
          Stop();
        else
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

std::string WaveInDeviceName(TMMDeviceId device) {
  const auto count = static_cast<TMMDeviceId>(waveInGetNumDevs());
  if (device < MapperId || device >= count) return {};
  TWaveInCaps caps;
  if (waveInGetDevCaps(device, &caps) != MMSYSERR_NOERROR) return {};
  return caps.szPname;
}

bool WaveInCanOpen(TMMDeviceId device) {
  const auto count = static_cast<TMMDeviceId>(waveInGetNumDevs());
  if (device < MapperId || device >= count) return false;
  const TWaveFormatEx f = BuildPcmFormat(TMMBits::b8Bit, TMMMode::mMono, 22050);
  HWAVEIN h = 0;
  if (waveInOpen(&h, device, &f, nullptr, 0, CALLBACK_NULL) != MMSYSERR_NOERROR) return false;
  waveInClose(h);
  return true;
}

}  // namespace strataeq
