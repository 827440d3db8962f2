#include "drivers/MMWavIn.h"

#include <algorithm>
#include <limits>

namespace strataeq {
namespace {

// A data report the device sent while it was being reset: such buffers are dropped.
constexpr std::uint32_t kResetData = MM_WIM_DATA + 1;
constexpr std::int64_t kNoLimit = std::numeric_limits<std::int64_t>::max();

}  // namespace

TMMCustomWaveIn::TMMCustomWaveIn() : TMMWaveDevice(TWaveDir::Input, TConnectionProps{false, true}) {
  UpdateOwnFormat();
}

TMMCustomWaveIn::~TMMCustomWaveIn() { Shutdown(); }

void TMMCustomWaveIn::Throw(const std::string& message) const { throw EMMWaveInError(message); }

void TMMCustomWaveIn::SetMode(TMMMode value) {
  if (value != TMMMode::mMono && value != TMMMode::mStereo) return;
  if (value == mode_) return;
  RefuseWhileOpen();
  mode_ = value;
  UpdateOwnFormat();
}

void TMMCustomWaveIn::SetBitLength(TMMBits value) {
  if (value == bits_) return;
  RefuseWhileOpen();
  bits_ = value;
  UpdateOwnFormat();
}

void TMMCustomWaveIn::SetSampleRate(std::int32_t value) {
  value = Clamp<std::int32_t>(value, 8000, 100000);
  if (value == rate_) return;
  RefuseWhileOpen();
  rate_ = value;
  UpdateOwnFormat();
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

void TMMCustomWaveIn::Open() {
  CheckOpenable(LoadResString(msg::InvalidWaveFormatLower));
  if (!BeginOpen()) return;
  resetting_ = false;
  try {
    if (!FormatSupported()) Error("WaveInOpen:\n\rThe actual device can''t record this format");
    handle_ = 0;
    PrepareReports();
    HWAVEIN h = 0;
    const MMRESULT r = waveInOpen(&h, DeviceID(), PWaveFormat(), &TMMCustomWaveIn::DeviceCallback,
                                  reinterpret_cast<std::uintptr_t>(this), CALLBACK_FUNCTION);
    if (r != MMSYSERR_NOERROR) PlatformError("WaveInOpen", r);
    handle_ = h;
    const bool opened = HasBits(kOpened);
    SetBits(kClosed);
    TMMCustomSoundComponent::Open();
    if (opened) AddBits(kOpened);
    if (!AwaitBits(kOpened, 100)) Error("WaveInOpen:\n\rUnable to open device");
    SetBits(kOpened);
    AllocateBuffers();
    Fire(OnOpen);
  } catch (...) {
    AbandonOpen(kOpened);
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
      resetting_ = false;
      queued_ = 0;
      limitReached_ = false;
    }
    BeginRun(static_cast<std::size_t>(numBuffers_) + 16);
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
    AddBits(kStarted);
    if (!HasState(TMMWaveInState::wisPaused)) {
      const MMRESULT r = waveInStart(handle_);
      if (r != MMSYSERR_NOERROR) PlatformError("WaveInStart", r);
    }
    TMMCustomSoundComponent::Start();
    Fire(OnStart);
  } catch (...) {
    AbandonOpen(kStarted);
    throw;
  }
}


void TMMCustomWaveIn::PauseDevice() {
  if (!HasState(TMMWaveInState::wisStarted)) return;
  const MMRESULT r = waveInStop(handle_);  // keeps the queued buffers
  if (r != MMSYSERR_NOERROR) PlatformError("WaveInPause", r);
}

bool TMMCustomWaveIn::RestartDevice() {
  const MMRESULT r = waveInStart(handle_);
  if (r != MMSYSERR_NOERROR) PlatformError("WaveInRestart", r);
  return false;
}

void TMMCustomWaveIn::WaitQueueEmpty() {
  // A worker that died counts nothing off any more; the reset returned everything.
  const bool processMessages = callbackMode_ == TMMCBMode::cmWindow;
  for (int i = 0; i < 100 && !WorkerFailed(); ++i) {
    {
      std::lock_guard lock(cs_);
      if (queued_ <= 0) return;
    }
    Delay(10, processMessages);
  }
}

void TMMCustomWaveIn::StopDevice() {
  MMRESULT r = waveInStop(handle_);
  if (r != MMSYSERR_NOERROR) PlatformError("WaveInStop", r);
  resetting_ = true;
  r = waveInReset(handle_);  // every queued buffer comes back
  if (r != MMSYSERR_NOERROR) PlatformError("WaveInReset", r);
  WaitQueueEmpty();
  std::lock_guard lock(cs_);
  nextIndex_ = 0;
  queued_ = 0;
}

void TMMCustomWaveIn::Close() {
  if (!BeginClose()) return;
  try {
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
      confirmed = AwaitBits(kClosed, 100);
    } else {
      SetBits(kClosed);
    }
    buffers_.clear();
    FinishClose("WaveInClose", confirmed);
  } catch (...) {
    EndClose();
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
  if (stop && !Stopping()) Stop();
}

void TMMCustomWaveIn::DeviceCallback(std::uintptr_t hwave, std::uint32_t msg, std::uintptr_t instance,
                                     std::uintptr_t param1, std::uintptr_t) {
  auto* self = reinterpret_cast<TMMCustomWaveIn*>(instance);
  if (self->DeviceStateReport(hwave, msg) || hwave != self->handle_) return;
  if (msg == MM_WIM_DATA) self->Route(self->resetting_ ? kResetData : MM_WIM_DATA, param1);
  if (msg == MM_WIM_ERROR) self->Route(msg, param1);
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
    if (!resetting_ && !fromReset && EnterBuffer()) {
      --queued_;
      normal = true;
    } else {
      // Data the device returned before the reset still goes on; buffers the reset
      // returned do not. Which one it was is known when the device reports it.
      passOn = !fromReset && hdr->dwBytesRecorded > 0;
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
    bool requeue;
    {
      std::lock_guard lock(cs_);
      requeue = !StopPending() && !Stopping() && HasState(TMMWaveInState::wisStarted);
      if (requeue) ++queued_;
    }
    if (requeue) {
      // No stop can reset the device before this buffer path has left.
      SetWaveHdrFlags(hdr, WHDR_PREPARED, WHDR_DONE);
      const MMRESULT r = waveInAddBuffer(handle_, hdr);
      if (r != MMSYSERR_NOERROR) {
        {
          std::lock_guard lock(cs_);
          --queued_;
        }
        if (!DeviceGone(r)) PlatformError("WaveInAddBuffer", r);
      }
    }
  } catch (...) {
    ReportFailure();
    LeaveBuffer();
    throw;
  }
  LeaveBuffer();
}

std::string WaveInDeviceName(TMMDeviceId device) { return WaveDeviceName(TWaveDir::Input, device); }
bool WaveInCanOpen(TMMDeviceId device) { return WaveDeviceCanOpen(TWaveDir::Input, device); }

TWaveLosses TMMCustomWaveIn::Overruns() const {
  TWaveLosses losses;
  const HWAVEIN h = Handle();
  if (!h || waveInGetOverruns(h, &losses) != MMSYSERR_NOERROR) losses = {};
  return losses;
}

}  // namespace strataeq
