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

#include "drivers/MMDriver.h"

namespace strataeq {

STRATAEQ_DECLARE_ERROR(EMMWaveOutError);

enum class TMMWaveOutState : std::uint8_t { wosClosed = 1, wosOpened = 2, wosStarted = 4, wosPaused = 8 };

class TMMWaveOut : public TMMWaveDevice {
 public:
  TMMWaveOut();
  ~TMMWaveOut() override;

  TMMTimeFormats TimeFormat() const { return timeFormat_; }
  void SetTimeFormat(TMMTimeFormats value) { timeFormat_ = value; }
  bool Looping() const { return looping_.load(); }
  void SetLooping(bool value);
  std::uint16_t LoopCount() const { return loopCount_.load(); }
  void SetLoopCount(std::uint16_t value);
  bool ShowHourGlass() const { return showHourGlass_; }
  void SetShowHourGlass(bool value) { showHourGlass_ = value; }

  bool HasState(TMMWaveOutState s) const { return HasBits(static_cast<std::uint8_t>(s)); }
  HWAVEOUT Handle() const { return handle_.load(); }
  // Buffers the device plays from: those pre-filled at the last start and any the
  // queue grew by since.
  std::int32_t BuffersInUse() const { return buffersInUse_.load(); }
  // While started: asks for one playback buffer more, added by the worker after the
  // next buffer played (for a server that ran dry). The spares are made at Start, as
  // many as NumBuffers, so nothing is allocated there; false once they are all asked for.
  bool GrowQueue();
  // Bytes of played buffers since Start.
  std::int64_t BytesHandedBack() const { return bytesHandedBack_.load(); }
  // Played position in TimeFormat units; 0 unless opened with a format.
  std::int64_t Position();
  // Times the server ran out of our sound since the device opened; 0 while closed.
  TWaveLosses Underflows() const;

  void SetPWaveFormat(const TWaveFormatEx* format) override;  // closes first
  void Open() override;
  void Close() override;
  void Start() override;
  // Restarts playback from fresh input data while started or paused.
  virtual void Flush();
  // Pushes from upstream are ignored: this component pulls.
  void BufferReady(PMMWaveHdr lpwh) override;
  void BufferLoad(PMMWaveHdr lpwh, bool& MoreBuffers) override;

  TNotifyEvent OnLooping;
  TMMBufferEvent OnBufferFilled;

 protected:
  [[noreturn]] void Throw(const std::string& message) const override;
  TThreadPriority WorkerPriority() const override { return TThreadPriority::tpTimeCritical; }
  void StopDevice() override;
  void PauseDevice() override;
  bool RestartDevice() override;
  void ProcessReport(std::uint32_t msg, std::uintptr_t param) override;

 private:
  static void DeviceCallback(std::uintptr_t hwave, std::uint32_t msg, std::uintptr_t instance, std::uintptr_t param1,
                             std::uintptr_t param2);
  std::int32_t FillBuffers();  // pre-fill from index 0; returns the buffers written
  void LoadBuffer(TMMWaveHdr* h);
  void AddBuffer(std::size_t after);  // worker: a spare into the cycle after that index
  void WriteBuffer(TMMWaveHdr* h);
  void UnprepareBuffers();
  std::int64_t DevicePosition();         // samples; raises on failure
  std::int64_t DevicePositionOr0() noexcept;
  std::int64_t ToTimeFormat(std::int64_t samples) const;
  void ProcessDone();
  void FinishDone();

  TMMTimeFormats timeFormat_ = TMMTimeFormats::tfByte;
  std::atomic<bool> looping_{false};
  std::atomic<std::uint16_t> loopCount_{0};
  std::atomic<std::int32_t> loopsRemaining_{0};
  bool showHourGlass_ = true;

  std::vector<TWaveHdrBlock> buffers_;
  std::atomic<std::int32_t> buffersInUse_{0};
  std::vector<TWaveHdrBlock> spares_;      // taken by the worker only while started
  std::atomic<std::int32_t> growable_{0};  // spares not yet asked for
  std::atomic<std::int32_t> growRequests_{0};
  std::int32_t nextIndex_ = 0;
  std::atomic<std::int32_t> queued_{0};  // the device callback counts reports off
  // Written and not yet processed; the device's queued count drops before its report
  // is processed, so only this tells that the last buffer has gone downstream.
  std::int32_t unprocessed_ = 0;         // guarded by cs_
  std::atomic<bool> moreData_{false};
  // Position bookkeeping in samples, guarded by cs_.
  std::int64_t lastPosition_ = 0;
  std::int64_t wrapCount_ = 0;
  std::int64_t wrapSize_ = 0;
  std::int64_t accumulated_ = 0;
  std::int64_t loopOffset_ = 0;
  std::int64_t savedPosition_ = 0;
  std::atomic<std::int64_t> bytesHandedBack_{0};
  std::atomic<bool> resetting_{false};
  bool emptiedByPause_ = false;  // a pause behind another driver returned every buffer
};

// The product name of a playback device; empty when the number is not in -1..count-1
// or the query fails.
std::string WaveOutDeviceName(TMMDeviceId device);
// True when the device opens (and is closed again at once) for 8-bit mono 22050 Hz.
bool WaveOutCanOpen(TMMDeviceId device);

}  // namespace strataeq
