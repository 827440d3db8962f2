// The driver of a chain without an audio device: pulls a buffer from its input,
// pushes it to its output, as fast as the chain allows.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "foundation/MMDSPObj.h"
#include "platform/Messages.h"
#include "platform/Threads.h"

namespace strataeq {

STRATAEQ_DECLARE_ERROR(EMMTriggerError);

enum class TMMTriggerState : std::uint8_t { trClosed = 1, trOpened = 2, trStarted = 4, trPaused = 8 };

class TMMTrigger : public TMMCustomSoundComponent {
 public:
  TMMTrigger();
  ~TMMTrigger() override;  // closes; let a deferred stop complete first

  void SetBufferSize(std::int32_t value) override;  // at least 32; not while opened
  std::int32_t Interval() const { return interval_.load(); }
  void SetInterval(std::int32_t value);
  TMMTimeFormats TimeFormat() const { return timeFormat_; }
  void SetTimeFormat(TMMTimeFormats value) { timeFormat_ = value; }

  bool HasState(TMMTriggerState s) const;
  // Bytes pushed downstream since Start.
  std::int64_t BytesPushed() const { return bytesPushed_.load(); }

  void SetPWaveFormat(const TWaveFormatEx* format) override;
  void Open() override;
  void Close() override;
  void Start() override;
  void Pause() override;
  void Restart() override;
  void Stop() override;
  // The trigger is the pump: pushes from upstream are ignored.
  void BufferReady(PMMWaveHdr lpwh) override;
  void BufferLoad(PMMWaveHdr lpwh, bool& MoreBuffers) override;

  // Fires OnError, then raises EMMTriggerError with the text.
  [[noreturn]] virtual void Error(const std::string& message);

  TNotifyEvent OnError, OnOpen, OnStart, OnPause, OnRestart, OnStop, OnClose;
  TMMBufferEvent OnBufferFilled;

 private:
  class TMMTriggerThread;
  friend class TMMTriggerThread;

  void SetTriggerState(std::uint8_t s) { state_.store(s); }
  void AddState(TMMTriggerState s) { state_.fetch_or(static_cast<std::uint8_t>(s)); }
  void RemoveState(TMMTriggerState s) { state_.fetch_and(static_cast<std::uint8_t>(~static_cast<std::uint8_t>(s))); }
  void Fire(const TNotifyEvent& e) {
    if (e) e(this);
  }
  void FireError();  // OnError, unless Error already reported this failure
  void StartWorker();
  void EndWorker();
  void CompleteStop();
  void LoadBuffer();   // loads the next buffer into the record
  void PushBuffer();   // OnBufferReady and the output's BufferReady
  void RunCycle();     // worker thread
  void WindowProc(TMessage& msg);

  std::atomic<std::uint8_t> state_{static_cast<std::uint8_t>(TMMTriggerState::trClosed)};
  std::atomic<std::int32_t> interval_{0};
  TMMTimeFormats timeFormat_ = TMMTimeFormats::tfByte;
  TWaveHdrBlock header_;
  std::atomic<std::int64_t> bytesPushed_{0};
  std::int32_t inFlight_ = 0;  // guarded by cs_
  std::atomic<bool> moreData_{false};
  std::atomic<bool> stopping_{false};
  bool stopPending_ = false;  // guarded by cs_
  bool closePending_ = false;
  bool closing_ = false;
  std::atomic<bool> threadFailed_{false};
  bool errorReported_ = false;
  std::atomic<std::uint32_t> run_{0};  // counts starts; a stop message carries its run
  TCriticalSection cs_;
  std::unique_ptr<TEvent> readyEvent_, goEvent_, terminateEvent_;
  std::unique_ptr<TMMTriggerThread> worker_;
  std::unique_ptr<TNotifyWindow> window_;
};

}  // namespace strataeq
