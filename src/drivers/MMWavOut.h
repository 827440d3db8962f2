// The playback device: the tail driver of a device chain. Pulls each buffer from its
// input, writes it to the device, and when the device has played it pushes it to its
// output and refills it. Playback ends by itself when the input runs dry.
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

STRATAEQ_DECLARE_ERROR(EMMWaveOutError);

enum class TMMWaveOutState : std::uint8_t { wosClosed = 1, wosOpened = 2, wosStarted = 4, wosPaused = 8 };

class TMMWaveOut : public TMMCustomSoundComponent {
 public:
  TMMWaveOut();
  ~TMMWaveOut() override;

  void SetBufferSize(std::int32_t value) override;  // at least 32; not while opened
  std::int32_t NumBuffers() const { return numBuffers_; }
  void SetNumBuffers(std::int32_t value);
  TMMDeviceId DeviceID() const { return deviceId_; }
  void SetDeviceID(TMMDeviceId value);
  const std::string& ProductName() const { return productName_; }
  void SetProductName(const std::string&) {}  // follows DeviceID
  std::uint32_t DriverVersion() const { return driverVersion_; }
  TMMTimeFormats TimeFormat() const { return timeFormat_; }
  void SetTimeFormat(TMMTimeFormats value) { timeFormat_ = value; }
  TMMCBMode CallBackMode() const { return callbackMode_; }
  void SetCallBackMode(TMMCBMode value);
  bool Looping() const { return looping_.load(); }
  void SetLooping(bool value);
  std::uint16_t LoopCount() const { return loopCount_.load(); }
  void SetLoopCount(std::uint16_t value);
  bool ShowHourGlass() const { return showHourGlass_; }
  void SetShowHourGlass(bool value) { showHourGlass_ = value; }

  std::int32_t NumDevs() const { return numDevs_; }
  bool HasState(TMMWaveOutState s) const { return state_.load() & static_cast<std::uint8_t>(s); }
  HWAVEOUT Handle() const { return handle_.load(); }
  // Buffers pre-filled at the last start (the ring the device plays from).
  std::int32_t BuffersInUse() const { return buffersInUse_; }
  // Bytes of played buffers since Start.
  std::int64_t BytesHandedBack() const { return bytesHandedBack_.load(); }
  // Played position in TimeFormat units; 0 unless opened with a format.
  std::int64_t Position();

  void SetPWaveFormat(const TWaveFormatEx* format) override;  // closes first
  void Open() override;
  void Close() override;
  void Start() override;
  void Pause() override;
  void Restart() override;
  void Stop() override;
  // Restarts playback from fresh input data while started or paused.
  virtual void Flush();
  // Pushes from upstream are ignored: this component pulls.
  void BufferReady(PMMWaveHdr lpwh) override;
  void BufferLoad(PMMWaveHdr lpwh, bool& MoreBuffers) override;

  // Fires OnError, then raises EMMWaveOutError with the text.
  [[noreturn]] virtual void Error(const std::string& message);

  TNotifyEvent OnError, OnOpen, OnStart, OnPause, OnRestart, OnStop, OnClose, OnLooping;
  TMMBufferEvent OnBufferFilled;

 private:
  class TMMWaveOutThread;
  friend class TMMWaveOutThread;

  static void DeviceCallback(std::uintptr_t hwave, std::uint32_t msg, std::uintptr_t instance, std::uintptr_t param1,
                             std::uintptr_t param2);
  void SetWaveOutState(std::uint8_t s) { state_.store(s); }
  void AddState(TMMWaveOutState s) { state_.fetch_or(static_cast<std::uint8_t>(s)); }
  void RemoveState(TMMWaveOutState s) { state_.fetch_and(static_cast<std::uint8_t>(~static_cast<std::uint8_t>(s))); }
  void Fire(const TNotifyEvent& e) {
    if (e) e(this);
  }
  bool Destroying() const { return InState(TComponentStateFlag::csDestroying); }
  void ReportFailure() noexcept;
  [[noreturn]] void PlatformError(const char* operation, MMRESULT result);
  bool FormatSupported();
  void StartWorker();
  void EndWorker();
  std::int32_t FillBuffers();  // pre-fill from index 0; returns the buffers written
  void LoadBuffer(TMMWaveHdr* h);
  void WriteBuffer(TMMWaveHdr* h);
  void UnprepareBuffers();
  std::int64_t DevicePosition();         // samples; raises on failure
  std::int64_t DevicePositionOr0() noexcept;
  std::int64_t ToTimeFormat(std::int64_t samples) const;
  void Route(std::uint32_t msg, std::uintptr_t hwave, std::uintptr_t param);
  void ProcessReport(std::uint32_t msg, std::uintptr_t param);
  void ProcessDone();
  void FinishDone();
  void CompleteStop();
  bool AwaitIdle(std::chrono::milliseconds timeout);  // true once no buffer is in flight
  void WindowProc(TMessage& msg);

  std::int32_t numBuffers_ = 10;
  TMMDeviceId deviceId_ = 0;
  std::string productName_;
  std::uint32_t driverVersion_ = 0;
  TMMTimeFormats timeFormat_ = TMMTimeFormats::tfByte;
  TMMCBMode callbackMode_ = TMMCBMode::cmWindow;
  std::atomic<bool> looping_{false};
  std::atomic<std::uint16_t> loopCount_{0};
  std::atomic<std::int32_t> loopsRemaining_{0};
  bool showHourGlass_ = true;
  std::int32_t numDevs_ = 0;

  std::atomic<HWAVEOUT> handle_{0};
  std::atomic<std::uint8_t> state_{static_cast<std::uint8_t>(TMMWaveOutState::wosClosed)};
  std::vector<TWaveHdrBlock> buffers_;
  std::int32_t buffersInUse_ = 0;
  std::int32_t nextIndex_ = 0;
  std::atomic<std::int32_t> queued_{0};  // the device callback counts reports off
  std::int32_t inFlight_ = 0;            // guarded by cs_
  // Written and not yet processed; the device's queued count drops before its report
  // is processed, so only this tells that the last buffer has gone downstream.
  std::int32_t unprocessed_ = 0;         // guarded by cs_
  std::atomic<bool> moreData_{false};
  MMRESULT lastError_ = MMSYSERR_NOERROR;
  // Position bookkeeping in samples, guarded by cs_.
  std::int64_t lastPosition_ = 0;
  std::int64_t wrapCount_ = 0;
  std::int64_t wrapSize_ = 0;
  std::int64_t accumulated_ = 0;
  std::int64_t loopOffset_ = 0;
  std::int64_t savedPosition_ = 0;
  std::atomic<std::int64_t> bytesHandedBack_{0};
  std::atomic<bool> stopping_{false};
  std::atomic<bool> resetting_{false};
  std::atomic<bool> stopPending_{false};
  bool closePending_ = false;
  std::atomic<bool> closing_{false};
  bool emptiedByPause_ = false;  // a pause behind another driver returned every buffer
  std::atomic<bool> threadFailed_{false};
  std::atomic<std::uint32_t> run_{0};  // counts starts; a stop message carries its run

  TCriticalSection cs_;
  std::condition_variable_any idle_;  // inFlight_ came back to 0
  std::unique_ptr<TEvent> readyEvent_, terminateEvent_, purgeEvent_;
  std::unique_ptr<TWaveReportQueue> reports_;
  std::unique_ptr<TMMWaveOutThread> worker_;
  std::unique_ptr<TNotifyWindow> window_;
};

// The product name of a playback device; empty when the number is not in -1..count-1
// or the query fails.
std::string WaveOutDeviceName(TMMDeviceId device);
// True when the device opens (and is closed again at once) for 8-bit mono 22050 Hz.
bool WaveOutCanOpen(TMMDeviceId device);

}  // namespace strataeq
