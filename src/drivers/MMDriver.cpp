#include "drivers/MMDriver.h"

#include <algorithm>
#include <system_error>
#include <thread>

namespace strataeq {

class TMMDriver::TWorker : public TMMDSPThread {
 public:
  explicit TWorker(TMMDriver* owner) : TMMDSPThread(owner), d_(owner) {}
  void Gate() { CheckSuspended(); }

 protected:
  void Execute() override {
    SetPriority(d_->WorkerPriority());
    d_->ready_->Set();
    try {
      d_->WorkerLoop();
    } catch (...) {
      d_->threadFailed_ = true;
      Application().HandleException(std::current_exception());
      PostMessage(d_->Window(), kWorkerFailed, d_->DeviceHandle());
    }
  }

 private:
  TMMDriver* d_;
};

TMMDriver::TMMDriver(const char* name, TConnectionProps props) : TMMCustomSoundComponent(props), name_(name) {
  window_ = std::make_unique<TNotifyWindow>([this](TMessage& m) { WindowProc(m); });
}

TMMDriver::~TMMDriver() {
  EndWorker();
  window_.reset();
}

void TMMDriver::Shutdown() {
  SetState(TComponentStateFlag::csDestroying, true);
  try {
    Close();
    FinishPendingClose();
  } catch (...) {
  }
  EndWorker();
}

void TMMDriver::Error(const std::string& message) {
  errorReported_ = true;
  Fire(OnError);
  Throw(message);
  throw EMMError(message);  // for an override of Throw that returns
}

void TMMDriver::ReportFailure() noexcept {
  if (!errorReported_) {
    try {
      Fire(OnError);
    } catch (...) {
    }
  }
  errorReported_ = false;
}

void TMMDriver::AbandonRun() noexcept {
  ReportFailure();
  try {
    Close();
  } catch (...) {
  }
}

void TMMDriver::AbandonOpen(std::uint8_t pretend) noexcept {
  if (pretend == kOpened)
    SetBits(kOpened);
  else
    AddBits(pretend);
  AbandonRun();
  SetBits(kClosed);
}

void TMMDriver::SetBufferSize(std::int32_t value) {
  value = std::max<std::int32_t>(value, 32);
  if (value == TMMDSPComponent::BufferSize()) return;
  if (HasBits(kOpened)) Throw(LoadResString(msg::PropertyWhileOpen));
  TMMCustomSoundComponent::SetBufferSize(value);
}

// ---- worker

void TMMDriver::StartWorker() {
  threadFailed_ = false;
  ready_ = std::make_unique<TEvent>();
  terminate_ = std::make_unique<TEvent>();
  const std::string failed = std::string(name_) + ":\n\r" + LoadResString(msg::CouldNotCreateThread);
  try {
    worker_ = std::make_unique<TWorker>(this);
    worker_->Resume();
  } catch (const std::system_error&) {
    worker_.reset();
    Error(failed);
  }
  if (ready_->WaitFor(kThreadWait) != TWaitResult::Signaled) Error(failed);
}

void TMMDriver::EndWorker() {
  if (!worker_) return;
  worker_->Terminate();
  worker_->Resume();  // a suspended worker must see the flag
  terminate_->Set();
  if (!worker_->WaitFor(kStopWait)) {
    // Stuck inside a device call or the chain: left behind with what it uses rather
    // than holding the program up.
    (void)worker_.release();
    (void)ready_.release();
    (void)terminate_.release();
    LeakWorkerResources();
    return;
  }
  worker_.reset();
  ready_.reset();
  terminate_.reset();
}

bool TMMDriver::Terminated() const { return worker_->Terminated(); }
void TMMDriver::SuspendWorker() { worker_->Suspend(); }
void TMMDriver::ResumeWorker() {
  if (worker_) worker_->Resume();
}
void TMMDriver::CheckSuspended() { worker_->Gate(); }

// ---- messages

void TMMDriver::WindowProc(TMessage& m) {
  switch (m.Msg) {
    case MM_WOM_STOP:
      // A stop message of an earlier run, or of a closed device, never touches this one.
      if (m.WParam != DeviceHandle() || static_cast<std::uint32_t>(m.LParam) != run_) return;
      try {
        Stop();
      } catch (...) {
        try {
          Close();
        } catch (...) {
        }
        Application().HandleException(std::current_exception());
      }
      break;
    case kWorkerFailed:
      if (m.WParam == DeviceHandle()) Close();
      break;
    default: HandleMessage(m); break;
  }
}

// ---- the stop protocol

void TMMDriver::BeginRun(std::size_t posts) {
  {
    std::lock_guard lock(cs_);
    inFlight_ = 0;
    stopPending_ = false;
    stopping_ = false;
    ++run_;
  }
  RemoveMessages(Window(), MM_WOM_STOP, MM_WOM_STOP);
  ReserveMessages(posts);
}

bool TMMDriver::EnterBuffer() {
  std::lock_guard lock(cs_);
  if (!HasBits(kStarted) || stopping_) return false;
  ++inFlight_;
  return true;
}

void TMMDriver::LeaveBuffer(bool dataEnded) {
  bool post = false;
  std::uint32_t run;
  {
    std::lock_guard lock(cs_);
    run = run_;
    if (--inFlight_ == 0) {
      if (stopPending_ || dataEnded) {
        stopping_ = true;
        stopPending_ = true;
        post = true;
      }
      idle_.notify_all();
    }
  }
  if (post) PostMessage(Window(), MM_WOM_STOP, DeviceHandle(), static_cast<LPARAM>(run));
}

bool TMMDriver::AwaitIdle(std::chrono::milliseconds timeout) {
  std::unique_lock lock(cs_);
  return idle_.wait_for(lock, timeout, [this] { return inFlight_ <= 0; });
}

void TMMDriver::Pause() {
  if (!HasBits(kOpened)) Open();
  if (!HasBits(kOpened) || HasBits(kPaused)) return;
  try {
    PauseDevice();
    AddBits(kPaused);
    TMMCustomSoundComponent::Pause();
    Fire(OnPause);
  } catch (...) {
    AbandonRun();
    throw;
  }
}

void TMMDriver::Restart() {
  if (!HasBits(kStarted) || !HasBits(kPaused)) return;
  try {
    const bool stop = RestartDevice();
    RemoveBits(kPaused);
    TMMCustomSoundComponent::Restart();
    Fire(OnRestart);
    if (stop) Stop();
  } catch (...) {
    AbandonRun();
    throw;
  }
}

void TMMDriver::Stop() {
  if (!Running()) return;
  bool post = false, complete = false;
  std::uint32_t run;
  {
    std::lock_guard lock(cs_);
    stopping_ = true;
    run = run_;
    // The device is stopped only once no buffer is on its way to it, and only on the
    // main thread: a buffer in flight (LeaveBuffer posts then), or a caller on another
    // thread, leaves the completion to the stop message.
    if (inFlight_ == 0 && IsMainThread()) {
      complete = true;
    } else {
      post = inFlight_ == 0 && !stopPending_;
      stopPending_ = true;
    }
  }
  if (post) PostMessage(Window(), MM_WOM_STOP, DeviceHandle(), static_cast<LPARAM>(run));
  if (complete) CompleteStop();
}

void TMMDriver::CompleteStop() {
  if (!Running()) return;
  {
    std::lock_guard lock(cs_);
    stopping_ = true;
  }
  std::exception_ptr failure;
  try {
    StopDevice();
  } catch (...) {
    failure = std::current_exception();
  }
  RemoveBits(kStarted | kPaused);
  {
    std::lock_guard lock(cs_);
    stopPending_ = false;
  }
  RemoveMessages(Window(), MM_WOM_STOP, MM_WOM_STOP);
  try {
    TMMCustomSoundComponent::Stop();
  } catch (...) {
    if (!failure) failure = std::current_exception();
  }
  if (failure) {
    try {
      std::rethrow_exception(failure);
    } catch (...) {
      ReportFailure();
    }
  }
  // Exactly one OnStop, even for a stop that failed; its error follows.
  if (!Destroying()) Fire(OnStop);
  if (closePending_) Close();
  if (failure) std::rethrow_exception(failure);
}

bool TMMDriver::BeginOpen() {
  if (HasBits(kOpened)) Close();
  FinishPendingClose();
  return !HasBits(kOpened) && !Closing();
}

bool TMMDriver::BeginClose() {
  if (!HasBits(kOpened)) return false;
  if (closing_ && !closePending_) return false;
  closing_ = true;
  if (Running()) {
    try {
      Stop();  // a stop that fails has reported itself; the close goes on
    } catch (...) {
    }
  }
  if (stopPending_) {
    closePending_ = true;
    return false;
  }
  closePending_ = false;
  return true;
}

void TMMDriver::FinishPendingClose() {
  if (!closePending_) return;
  // The buffer path never waits for the main thread, so the buffer in flight comes
  // back in bounded time.
  AwaitIdle(kStopWait);
  CompleteStop();
  if (closePending_) Close();
}

// ---- wave devices

namespace {

const char* NoDevice(TWaveDir dir) {
  return dir == TWaveDir::Input ? "No wave audio recording device found" : "No wave audio playing device found";
}

MMRESULT DevCaps(TWaveDir dir, TMMDeviceId id, TWaveOutCaps& caps) {
  if (dir == TWaveDir::Output) return waveOutGetDevCaps(id, &caps);
  TWaveInCaps in;
  const MMRESULT r = waveInGetDevCaps(id, &in);
  caps.szPname = in.szPname;
  caps.vDriverVersion = in.vDriverVersion;
  caps.dwFormats = in.dwFormats;
  return r;
}

// Devices come and go (Desktop Sound's own device is made after the window opens), so
// every check counts the devices there are now.
TMMDeviceId NumDevices(TWaveDir dir) {
  return static_cast<TMMDeviceId>(dir == TWaveDir::Input ? waveInGetNumDevs() : waveOutGetNumDevs());
}

}  // namespace

std::string WaveDeviceName(TWaveDir dir, TMMDeviceId device) {
  const TMMDeviceId count = NumDevices(dir);
  TWaveOutCaps caps;
  if (device < MapperId || device >= count || DevCaps(dir, device, caps) != MMSYSERR_NOERROR) return {};
  return caps.szPname;
}

bool WaveDeviceCanOpen(TWaveDir dir, TMMDeviceId device) {
  const TMMDeviceId count = NumDevices(dir);
  if (device < MapperId || device >= count) return false;
  const TWaveFormatEx f = BuildPcmFormat(TMMBits::b8Bit, TMMMode::mMono, 22050);
  std::uintptr_t h = 0;
  if (dir == TWaveDir::Input) {
    if (waveInOpen(&h, device, &f, nullptr, 0, CALLBACK_NULL) != MMSYSERR_NOERROR) return false;
    waveInClose(h);
  } else {
    if (waveOutOpen(&h, device, &f, nullptr, 0, CALLBACK_NULL) != MMSYSERR_NOERROR) return false;
    waveOutClose(h);
  }
  return true;
}

void AwaitDone(TMMWaveHdr* h) {
  for (int count = 65000; count > 0; --count) {
    const std::uint32_t flags = WaveHdrFlags(h);
    if ((flags & WHDR_DONE) || !(flags & WHDR_INQUEUE)) break;
    std::this_thread::yield();
  }
  SetWaveHdrFlags(h, WHDR_DONE, 0);
}

TMMWaveDevice::TMMWaveDevice(TWaveDir dir, TConnectionProps props)
    : TMMDriver(dir == TWaveDir::Input ? "WaveIn" : "WaveOut", props), dir_(dir) {
  SetDeviceID(0);
}

void TMMWaveDevice::RefuseWhileOpen() const {
  if (HasBits(kOpened)) Throw(LoadResString(msg::PropertyWhileOpen));
}

void TMMWaveDevice::SetNumBuffers(std::int32_t value) {
  if (value <= 1) return;
  value = std::min(value, MaxWaveBuffers);
  if (value == numBuffers_) return;
  RefuseWhileOpen();
  numBuffers_ = value;
}

TMMDeviceId TMMWaveDevice::ResolveDeviceId(TMMDeviceId value) const {
  return value < MapperId || value >= numDevs_ ? InvalidId : value;
}

void TMMWaveDevice::SetDeviceID(TMMDeviceId value) {
  RefuseWhileOpen();
  numDevs_ = NumDevices(dir_);
  productName_ = NoDevice(dir_);
  driverVersion_ = 0;
  if (numDevs_ > 0 && value >= MapperId && value < numDevs_) {
    TWaveOutCaps caps;
    if (DevCaps(dir_, value, caps) == MMSYSERR_NOERROR) {
      productName_ = caps.szPname;
      driverVersion_ = caps.vDriverVersion;
    }
  }
  deviceId_ = ResolveDeviceId(value);
}

void TMMWaveDevice::SetCallBackMode(TMMCBMode value) {
  RefuseWhileOpen();
  if (value == TMMCBMode::cmCallback && !IsWin95()) {
    Application().ShowMessageBox(dir_ == TWaveDir::Input ? "TMMWaveIn" : "Warning",
                                 "\"CallBacks\" are called at interrupt time !\n\rThis is currently only "
                                 "supported under Windows 95");
    return;
  }
  callbackMode_ = value;
}

std::string TMMWaveDevice::PlatformText(MMRESULT result) const {
  char text[255];
  const MMRESULT r = dir_ == TWaveDir::Input ? waveInGetErrorText(result, text, sizeof text)
                                             : waveOutGetErrorText(result, text, sizeof text);
  if (r != MMSYSERR_NOERROR) return "Specified error number is out of range (unknown error)";
  return text;
}

void TMMWaveDevice::PlatformError(const char* operation, MMRESULT result) {
  lastError_ = result;
  const std::string message = std::string(operation) + ":\n\r" + PlatformText(result);
  Error(message);
  throw EMMError(message);  // for an override of Error that returns
}

void TMMWaveDevice::CheckOpenable(const std::string& noFormat) {
  if (numDevs_ == 0) Error(NoDevice(dir_));
  if (deviceId_ == InvalidId) Error("Invalid DeviceID");
  if (!PWaveFormat()) Error(noFormat);
}

bool TMMWaveDevice::FormatSupported() {
  const TWaveFormatEx* f = PWaveFormat();
  const MMRESULT query = dir_ == TWaveDir::Input ? waveInOpen(nullptr, deviceId_, f, nullptr, 0, WAVE_FORMAT_QUERY)
                                                 : waveOutOpen(nullptr, deviceId_, f, nullptr, 0, WAVE_FORMAT_QUERY);
  if (query != MMSYSERR_NOERROR) return false;
  if (f->wFormatTag != WAVE_FORMAT_PCM) return true;
  TWaveOutCaps caps;
  if (DevCaps(dir_, deviceId_, caps) != MMSYSERR_NOERROR) return false;
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

void TMMWaveDevice::PrepareReports() {
  reports_ = std::make_unique<TWaveReportQueue>(static_cast<std::size_t>(numBuffers_) + 16);
  purge_ = std::make_unique<TEvent>(true);
  if (callbackMode_ == TMMCBMode::cmThread) StartWorker();
}

void TMMWaveDevice::LeakWorkerResources() {
  (void)reports_.release();
  (void)purge_.release();
}

void TMMWaveDevice::Route(std::uint32_t msg, std::uintptr_t param) {
  if (callbackMode_ == TMMCBMode::cmThread) {
    if (reports_) reports_->Post({msg, handle_.load(), param});
  } else {
    PostMessage(Window(), msg, handle_.load(), static_cast<LPARAM>(param));
  }
}

bool TMMWaveDevice::DeviceStateReport(std::uintptr_t hwave, std::uint32_t msg) {
  if (msg == MM_WIM_OPEN || msg == MM_WOM_OPEN) {
    // The handle is stored once the open call has returned.
    if (handle_ == 0 || hwave == handle_) SetBits(kOpened);
    return true;
  }
  if (msg == MM_WIM_CLOSE || msg == MM_WOM_CLOSE) {
    if (hwave == handle_) SetBits(kClosed);
    return true;
  }
  return false;
}

bool TMMWaveDevice::AwaitBits(std::uint8_t bits, int tries) {
  for (int i = 0; i < tries && !HasBits(bits); ++i) Delay(10, false);
  return HasBits(bits);
}

void TMMWaveDevice::WorkerLoop() {
  while (!Terminated()) {
    if (purge_->IsSet()) {
      reports_->Remove(MM_WOM_DONE);
      purge_->Reset();
      continue;
    }
    TWaveReportQueue::Report r;
    if (!reports_->Take(r)) {
      if (TEvent::WaitForAny({&TerminateEvent(), purge_.get(), &reports_->Arrived()}) == 0) break;
      continue;
    }
    if (r.Handle == handle_) ProcessReport(r.Msg, r.Param);
  }
}

void TMMWaveDevice::HandleMessage(TMessage& m) {
  if (m.WParam != handle_ || handle_ == 0) return;
  try {
    ProcessReport(m.Msg, static_cast<std::uintptr_t>(m.LParam));
  } catch (...) {
    Close();
    Application().HandleException(std::current_exception());
  }
}

void TMMWaveDevice::FinishClose(const char* operation, bool confirmed) {
  TMMCustomSoundComponent::Close();
  if (callbackMode_ == TMMCBMode::cmThread || HasWorker()) EndWorker();
  handle_ = 0;
  RemoveMessages(Window(), MM_WOM_DONE, MM_WIM_ERROR);
  RemoveMessages(Window(), MM_WOM_STOP, kWorkerFailed);
  EndClose();
  if (!Destroying()) Fire(OnClose);
  if (!confirmed) Error(std::string(operation) + ":\n\rUnable to close device");
}

}  // namespace strataeq
