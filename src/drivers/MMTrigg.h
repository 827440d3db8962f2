// The driver of a chain without an audio device: pulls a buffer from its input,
// pushes it to its output, as fast as the chain allows.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "drivers/MMDriver.h"

namespace strataeq {

STRATAEQ_DECLARE_ERROR(EMMTriggerError);

enum class TMMTriggerState : std::uint8_t { trClosed = 1, trOpened = 2, trStarted = 4, trPaused = 8 };

class TMMTrigger : public TMMDriver {
 public:
  TMMTrigger();
  ~TMMTrigger() override;  // closes; lets a deferred stop complete first

  std::int32_t Interval() const { return interval_.load(); }
  void SetInterval(std::int32_t value);
  TMMTimeFormats TimeFormat() const { return timeFormat_; }
  void SetTimeFormat(TMMTimeFormats value) { timeFormat_ = value; }

  bool HasState(TMMTriggerState s) const { return HasBits(static_cast<std::uint8_t>(s)); }
  // Bytes pushed downstream since Start.
  std::int64_t BytesPushed() const { return bytesPushed_.load(); }

  void SetPWaveFormat(const TWaveFormatEx* format) override;
  void Open() override;
  void Close() override;
  void Start() override;
  // The trigger is the pump: pushes from upstream are ignored.
  void BufferReady(PMMWaveHdr lpwh) override;
  void BufferLoad(PMMWaveHdr lpwh, bool& MoreBuffers) override;

  TMMBufferEvent OnBufferFilled;

 protected:
  [[noreturn]] void Throw(const std::string& message) const override;
  TThreadPriority WorkerPriority() const override { return TThreadPriority::tpNormal; }
  void WorkerLoop() override;
  void StopDevice() override;
  void PauseDevice() override;
  bool RestartDevice() override;
  void LeakWorkerResources() override;

 private:
  void LoadBuffer();   // loads the next buffer into the record
  void PushBuffer();   // OnBufferReady and the output's BufferReady
  void RunCycle();     // worker thread

  std::atomic<std::int32_t> interval_{0};
  TMMTimeFormats timeFormat_ = TMMTimeFormats::tfByte;
  TWaveHdrBlock header_;
  std::atomic<std::int64_t> bytesPushed_{0};
  std::atomic<bool> moreData_{false};
  std::unique_ptr<TEvent> goEvent_;
};

}  // namespace strataeq
