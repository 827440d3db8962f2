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

#include "drivers/MMDriver.h"

namespace strataeq {

STRATAEQ_DECLARE_ERROR(EMMWaveInError);

enum class TMMWaveInState : std::uint8_t { wisClosed = 1, wisOpened = 2, wisStarted = 4, wisPaused = 8 };

class TMMCustomWaveIn : public TMMWaveDevice {
 public:
  TMMCustomWaveIn();
  ~TMMCustomWaveIn() override;

  TMMMode Mode() const { return mode_; }
  void SetMode(TMMMode value);
  TMMBits BitLength() const { return bits_; }
  void SetBitLength(TMMBits value);
  std::int32_t SampleRate() const { return rate_; }
  void SetSampleRate(std::int32_t value);
  TMMTimeFormats TimeFormat() const { return timeFormat_; }
  void SetTimeFormat(TMMTimeFormats value);
  std::int32_t MaxRecordTime() const { return maxRecordTime_; }
  void SetMaxRecordTime(std::int32_t value);

  bool HasState(TMMWaveInState s) const { return HasBits(static_cast<std::uint8_t>(s)); }
  HWAVEIN Handle() const { return handle_.load(); }
  // Bytes handed downstream since Start.
  std::int64_t BytesRecorded() const { return bytesRecorded_.load(); }
  // Times recorded sound was lost before it reached us since the open (see waveInGetOverruns).
  TWaveLosses Overruns() const;

  // Setting a format closes the device; a valid PCM format sets Mode, BitLength and
  // SampleRate from it.
  void SetPWaveFormat(const TWaveFormatEx* format) override;
  void Open() override;
  void Close() override;
  void Start() override;
  // The component's own push of a recorded buffer: counts it against MaxRecordTime.
  void BufferReady(PMMWaveHdr lpwh) override;

 protected:
  [[noreturn]] void Throw(const std::string& message) const override;
  TThreadPriority WorkerPriority() const override { return TThreadPriority::tpHigher; }
  void StopDevice() override;
  void PauseDevice() override;
  bool RestartDevice() override;
  void ProcessReport(std::uint32_t msg, std::uintptr_t param) override;

 private:
  static void DeviceCallback(std::uintptr_t hwave, std::uint32_t msg, std::uintptr_t instance, std::uintptr_t param1,
                             std::uintptr_t param2);
  void UpdateOwnFormat();
  void ComputeLimit();
  void AllocateBuffers();
  void ProcessBuffer(TMMWaveHdr* hdr, bool fromReset);
  void WaitQueueEmpty();

  TMMMode mode_ = TMMMode::mMono;
  TMMBits bits_ = TMMBits::b8Bit;
  std::int32_t rate_ = 11025;
  TMMTimeFormats timeFormat_ = TMMTimeFormats::tfByte;
  std::int32_t maxRecordTime_ = -1;

  std::vector<TWaveHdrBlock> buffers_;
  std::int32_t nextIndex_ = 0;  // buffer path
  std::atomic<std::int64_t> bytesRecorded_{0};
  std::atomic<std::int64_t> recordLimit_{0};  // bytes; set on the main thread, read by the buffer path
  bool limitReached_ = false;   // buffer path
  std::int32_t queued_ = 0;     // guarded by cs_
  std::atomic<bool> resetting_{false};
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
