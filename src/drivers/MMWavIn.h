// The recording device: the head of a device chain. Records through the wave API and
// hands each buffer the device returns filled to its output, then gives it back.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "foundation/MMDSPObj.h"
#include "platform/Messages.h"
#include "platform/Threads.h"
#include "platform/WaveApi.h"

namespace strataeq {

STRATAEQ_DECLARE_ERROR(EMMWaveInError);

enum class TMMWaveInState : std::uint8_t { wisClosed = 1, wisOpened = 2, wisStarted = 4, wisPaused = 8 };

inline constexpr std::int32_t MaxWaveBuffers = 500;

class TMMCustomWaveIn : public TMMCustomSoundComponent {
 public:
  TMMCustomWaveIn();
  ~TMMCustomWaveIn() override;

  void SetBufferSize(std::int32_t value) override;  // at least 32; not while opened
  std::int32_t NumBuffers() const { return numBuffers_; }
  void SetNumBuffers(std::int32_t value);
  TMMDeviceId DeviceID() const { return deviceId_; }
  void SetDeviceID(TMMDeviceId value);
  const std::string& ProductName() const { return productName_; }
  void SetProductName(const std::string&) {}  // follows DeviceID
  std::uint32_t DriverVersion() const { return driverVersion_; }
  TMMMode Mode() const { return mode_; }
  void SetMode(TMMMode value);
  TMMBits BitLength() const { return bits_; }
  void SetBitLength(TMMBits value);
  std::int32_t SampleRate() const { return rate_; }
  void SetSampleRate(std::int32_t value);
  TMMCBMode CallBackMode() const { return callbackMode_; }
  void SetCallBackMode(TMMCBMode value);
  TMMTimeFormats TimeFormat() const { return timeFormat_; }
  void SetTimeFormat(TMMTimeFormats value);
  std::int32_t MaxRecordTime() const { return maxRecordTime_; }
  void SetMaxRecordTime(std::int32_t value);

  // Wave input devices the system had when this component was created.
  std::int32_t NumDevs() const { return numDevs_; }
  bool HasState(TMMWaveInState s) const { return state_.load() & static_cast<std::uint8_t>(s); }
  HWAVEIN Handle() const { return handle_.load(); }
  // Bytes handed downstream since Start.
  std::int64_t BytesRecorded() const { return bytesRecorded_.load(); }

  // Setting a format closes the device; a valid PCM format sets Mode, BitLength and
  // SampleRate from it.
  void SetPWaveFormat(const TWaveFormatEx* format) override;
  void Open() override;
  void Close() override;
  void Start() override;
  void Pause() override;
  void Restart() override;
  void Stop() override;
  // The component's own push of a recorded buffer: counts it against MaxRecordTime.
  void BufferReady(PMMWaveHdr lpwh) override;

  // Fires OnError, then raises EMMWaveInError with the text.
  [[noreturn]] virtual void Error(const std::string& message);

  TNotifyEvent OnError, OnOpen, OnStart, OnPause, OnRestart, OnStop, OnClose;

 private:
  class TMMWaveInThread;
  friend class TMMWaveInThread;

  static void DeviceCallback(std::uintptr_t hwave, std::uint32_t msg, std::uintptr_t instance, std::uintptr_t param1,
                             std::uintptr_t param2);
  void SetWaveInState(std::uint8_t s) { state_.store(s); }
  void AddState(TMMWaveInState s) { state_.fetch_or(static_cast<std::uint8_t>(s)); }
  void RemoveState(TMMWaveInState s) { state_.fetch_and(static_cast<std::uint8_t>(~static_cast<std::uint8_t>(s))); }
  void Fire(const TNotifyEvent& e) {
    if (e) e(this);
  }
  bool Destroying() const { return InState(TComponentStateFlag::csDestroying); }
  void ReportFailure() noexcept;  // in a catch block: OnError unless Error raised it
  [[noreturn]] void PlatformError(const char* operation, MMRESULT result);
  void UpdateOwnFormat();
  bool FormatSupported();
  void ComputeLimit();
  void StartWorker();
  void EndWorker();
  void AllocateBuffers();
  void FreeBuffers();
  void Route(std::uint32_t msg, std::uintptr_t hwave, std::uintptr_t param);
  void ProcessReport(std::uint32_t msg, std::uintptr_t param);
  void ProcessBuffer(TMMWaveHdr* hdr, bool fromReset);
  void FinishBuffer();
  void CompleteStop();
  bool AwaitIdle(std::chrono::milliseconds timeout);  // true once no buffer is in flight
  void WaitQueueEmpty();
  void WindowProc(TMessage& msg);

  std::int32_t numBuffers_ = 10;
  TMMDeviceId deviceId_ = 0;
  std::string productName_;
  std::uint32_t driverVersion_ = 0;
  TMMMode mode_ = TMMMode::mMono;
  TMMBits bits_ = TMMBits::b8Bit;
  std::int32_t rate_ = 11025;
  TMMCBMode callbackMode_ = TMMCBMode::cmWindow;
  TMMTimeFormats timeFormat_ = TMMTimeFormats::tfByte;
  std::int32_t maxRecordTime_ = -1;
  std::int32_t numDevs_ = 0;

  std::atomic<HWAVEIN> handle_{0};
  std::atomic<std::uint8_t> state_{static_cast<std::uint8_t>(TMMWaveInState::wisClosed)};
  std::vector<TWaveHdrBlock> buffers_;
  std::int32_t nextIndex_ = 0;  // buffer path
  std::atomic<std::int64_t> bytesRecorded_{0};
  std::atomic<std::int64_t> recordLimit_{0};  // bytes; set on the main thread, read by the buffer path
  bool limitReached_ = false;   // buffer path
  MMRESULT lastError_ = MMSYSERR_NOERROR;
  // Guarded by cs_.
  std::int32_t queued_ = 0;
  std::int32_t inFlight_ = 0;
  std::atomic<bool> stopping_{false};
  std::atomic<bool> resetting_{false};
  std::atomic<bool> stopPending_{false};
  bool closePending_ = false;
  bool closing_ = false;
  std::atomic<bool> threadFailed_{false};
  std::atomic<std::uint32_t> run_{0};  // counts starts; a stop message carries its run

  TCriticalSection cs_;
  std::condition_variable_any idle_;  // inFlight_ came back to 0
  std::unique_ptr<TEvent> readyEvent_, terminateEvent_;
  std::unique_ptr<TWaveReportQueue> reports_;
  std::unique_ptr<TMMWaveInThread> worker_;
  std::unique_ptr<TNotifyWindow> window_;
};

class TMMWaveIn : public TMMCustomWaveIn {
 public:
  using TMMCustomWaveIn::TMMCustomWaveIn;
};

// The product name of a recording device; empty when the number is not in
// -1..count-1 or the query fails.
std::string WaveInDeviceName(TMMDeviceId device);
// True when the device opens (and is closed again at once) for 8-bit mono 22050 Hz.
bool WaveInCanOpen(TMMDeviceId device);

}  // namespace strataeq
