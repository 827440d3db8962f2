// The base of the drivers (recorder, player, trigger): state bits, the worker thread,
// the notification window and the stop protocol. A buffer path counts itself in
// flight; a stop that meets one is left pending and completed on the main thread once
// the last buffer is out, so nothing reaches the device behind its reset; a close
// behind a pending stop waits for it. Each stop carries the run it belongs to and
// ends in exactly one OnStop, with its error raised after it when it failed.
// TMMWaveDevice adds what the recorder and the player share: device number and
// capabilities, buffer count, callback mode and the report queue.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <string>

#include "foundation/MMDSPObj.h"
#include "platform/Messages.h"
#include "platform/Threads.h"
#include "platform/WaveApi.h"

namespace strataeq {

class TMMDriver : public TMMCustomSoundComponent {
 public:
  ~TMMDriver() override;

  void Pause() override;
  void Restart() override;
  // From any thread at any moment. Completes at once on the main thread when no buffer
  // is in flight; otherwise the stop message completes it there.
  void Stop() override;

  void SetBufferSize(std::int32_t value) override;  // at least 32; not while opened

  // Fires OnError, then raises the driver's error with the text.
  [[noreturn]] virtual void Error(const std::string& message);

  TNotifyEvent OnError, OnOpen, OnStart, OnPause, OnRestart, OnStop, OnClose;

 protected:
  static constexpr std::uint8_t kClosed = 1, kOpened = 2, kStarted = 4, kPaused = 8;
  // Posted by a worker that died of an exception: the main thread closes the driver.
  static constexpr std::uint32_t kWorkerFailed = MM_WOM_STOP + 1;
  // How long a close or a new open waits for a buffer still on its way.
  static constexpr auto kStopWait = std::chrono::milliseconds(1500);
  static constexpr auto kThreadWait = std::chrono::milliseconds(5000);

  TMMDriver(const char* name, TConnectionProps props);

  // The driver's own exception type.
  [[noreturn]] virtual void Throw(const std::string& message) const = 0;
  // In a catch block: OnError unless Error raised the failure.
  void ReportFailure() noexcept;
  // In a catch block, before the rethrow: reports the failure and closes.
  void AbandonRun() noexcept;
  // The same for a failed open or start, which leaves the driver closed: pretend is the
  // state the close proceeds from.
  void AbandonOpen(std::uint8_t pretend) noexcept;

  bool HasBits(std::uint8_t s) const { return state_.load() & s; }
  void SetBits(std::uint8_t s) { state_.store(s); }
  void AddBits(std::uint8_t s) { state_.fetch_or(s); }
  void RemoveBits(std::uint8_t s) { state_.fetch_and(static_cast<std::uint8_t>(~s)); }
  bool Running() const { return HasBits(kStarted) || HasBits(kPaused); }
  void Fire(const TNotifyEvent& e) {
    if (e) e(this);
  }
  bool Destroying() const { return InState(TComponentStateFlag::csDestroying); }
  THandle Window() const { return window_->Handle(); }

  // The worker: WorkerLoop runs on it until Terminated.
  void StartWorker();
  void EndWorker();
  virtual void WorkerLoop() = 0;
  virtual TThreadPriority WorkerPriority() const = 0;
  bool HasWorker() const { return worker_ != nullptr; }
  bool Terminated() const;
  TEvent& TerminateEvent() { return *terminate_; }
  void SuspendWorker();
  void ResumeWorker();
  void CheckSuspended();  // worker, between cycles
  bool WorkerFailed() const { return threadFailed_.load(); }
  // A worker left running by EndWorker keeps what it uses.
  virtual void LeakWorkerResources() {}

  // Messages other than the stop and worker-failure messages.
  virtual void HandleMessage(TMessage& m) { DefWindowProc(m); }
  // The device's handle a stop message names (0 without a device).
  virtual std::uintptr_t DeviceHandle() const { return 0; }

  // Start: a new run; clears the stop protocol's flags and its stop messages.
  void BeginRun(std::size_t posts);  // posts: the stop and report messages a run may need
  // Buffer path: false when no buffer may begin (not started, or a stop has begun).
  bool EnterBuffer();
  // Buffer path: the last buffer out of a pending stop posts the stop message, as
  // does, with dataEnded, the end of the data.
  void LeaveBuffer(bool dataEnded = false);
  bool Stopping() const { return stopping_.load(); }
  bool StopPending() const { return stopPending_.load(); }
  // Main thread, nothing in flight: stops the device and takes its buffers back.
  virtual void StopDevice() = 0;
  virtual void PauseDevice() = 0;    // only while started
  virtual bool RestartDevice() = 0;  // true: nothing is left to play, stop at once
  // Completes a stop: StopDevice, the state, the chain, one OnStop, then a pending close.
  void CompleteStop();
  // Open's first step: closes, lets a stop and close still pending complete (a new run
  // begins after the last one's stop); false when the driver stays as it is.
  bool BeginOpen();
  // Close's first step: stops; false when the close is deferred behind a stop or
  // already under way.
  bool BeginClose();
  void EndClose() { closing_ = false; }
  bool Closing() const { return closing_.load(); }
  // A close deferred behind a stop: waits a bounded time for the buffer in flight,
  // then completes stop and close (Open, and destructors).
  void FinishPendingClose();
  bool AwaitIdle(std::chrono::milliseconds timeout);  // true once no buffer is in flight
  // Derived destructors call it first: closes and ends the worker.
  void Shutdown();

  TCriticalSection cs_;

 private:
  class TWorker;
  void WindowProc(TMessage& m);

  const char* name_;
  std::atomic<std::uint8_t> state_{kClosed};
  std::unique_ptr<TNotifyWindow> window_;
  std::unique_ptr<TWorker> worker_;
  std::unique_ptr<TEvent> ready_, terminate_;
  std::atomic<bool> threadFailed_{false};
  bool errorReported_ = false;
  // Stop protocol, guarded by cs_.
  std::int32_t inFlight_ = 0;
  std::atomic<bool> stopping_{false};
  std::atomic<bool> stopPending_{false};
  std::atomic<std::uint32_t> run_{0};
  std::condition_variable_any idle_;
  bool closePending_ = false;
  std::atomic<bool> closing_{false};
};

inline constexpr std::int32_t MaxWaveBuffers = 500;

class TMMWaveDevice : public TMMDriver {
 public:
  std::int32_t NumBuffers() const { return numBuffers_; }
  void SetNumBuffers(std::int32_t value);
  TMMDeviceId DeviceID() const { return deviceId_; }
  void SetDeviceID(TMMDeviceId value);
  const std::string& ProductName() const { return productName_; }
  void SetProductName(const std::string&) {}  // follows DeviceID
  std::uint32_t DriverVersion() const { return driverVersion_; }
  TMMCBMode CallBackMode() const { return callbackMode_; }
  void SetCallBackMode(TMMCBMode value);
  // Devices the system had when this component was created.
  std::int32_t NumDevs() const { return numDevs_; }
 protected:
  TMMWaveDevice(TWaveDir dir, TConnectionProps props);

  [[noreturn]] void PlatformError(const char* operation, MMRESULT result);
  std::string PlatformText(MMRESULT result) const;
  bool FormatSupported();
  void CheckOpenable(const std::string& noFormat);  // the device, its number and a format are there
  void RefuseWhileOpen() const;
  // Open's common part: the report queue and, in thread mode, the worker.
  void PrepareReports();
  // Reports of the open device: to the worker's queue or the window.
  void Route(std::uint32_t msg, std::uintptr_t param);
  // Open and close reports; true when msg was one.
  bool DeviceStateReport(std::uintptr_t hwave, std::uint32_t msg);
  // Waits up to timeout for the open (or close) report.
  bool AwaitBits(std::uint8_t bits, int tries);
  virtual void ProcessReport(std::uint32_t msg, std::uintptr_t param) = 0;
  void WorkerLoop() override;
  void HandleMessage(TMessage& m) override;
  void LeakWorkerResources() override;
  std::uintptr_t DeviceHandle() const override { return handle_.load(); }
  // Close's common end: the chain, the worker, the queued reports, OnClose; raises
  // "<operation>:\n\rUnable to close device" when the device did not confirm.
  void FinishClose(const char* operation, bool confirmed);

  const TWaveDir dir_;
  std::atomic<std::uintptr_t> handle_{0};
  std::int32_t numBuffers_ = 10;
  TMMCBMode callbackMode_ = TMMCBMode::cmWindow;
  MMRESULT lastError_ = MMSYSERR_NOERROR;
  std::unique_ptr<TWaveReportQueue> reports_;
  std::unique_ptr<TEvent> purge_;  // drops the queued done reports (playback flush)

 private:
  // The device number a requested one stands for: InvalidId outside -1 .. count-1.
  TMMDeviceId ResolveDeviceId(TMMDeviceId value) const;

  TMMDeviceId deviceId_ = 0;
  std::string productName_;
  std::uint32_t driverVersion_ = 0;
  std::int32_t numDevs_ = 0;
};

// The product name of a device; empty when the number is not in -1..count-1 or the
// query fails.
std::string WaveDeviceName(TWaveDir dir, TMMDeviceId device);
// True when the device opens (and is closed again at once) for 8-bit mono 22050 Hz.
bool WaveDeviceCanOpen(TWaveDir dir, TMMDeviceId device);

// Waits for the done flag the device sets on a returned buffer (buffers it does not
// hold need no wait), giving up after a bounded number of looks and setting it then.
void AwaitDone(TMMWaveHdr* h);
// A device that failed mid-stream refuses further calls with these; its error report
// is what the component reports.
inline bool DeviceGone(MMRESULT r) { return r == WAVERR_DEVICELOST || r == WAVERR_SERVERLOST; }

}  // namespace strataeq
