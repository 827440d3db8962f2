// The display connector: a pass-through chain component that copies the buffer it
// sees for the displays and feeds them frames on the main thread, paced to what is
// being heard. No GUI dependency: displays are reached through TMMConnectorDisplay.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

#include "foundation/MMDSPObj.h"
#include "platform/Messages.h"

namespace strataeq {

STRATAEQ_DECLARE_ERROR(EMMConnectorError);

// Connector window messages.
inline constexpr std::uint32_t MM_CONNECTOR_START = 45557;
inline constexpr std::uint32_t MM_CONNECTOR_TRIGGER = 45558;
inline constexpr std::uint32_t MM_CONNECTOR_PUMP = 45559;

enum class TMMTriggerMode { tmNone, tmUpFlank, tmDownFlank };

// What a display offers the connector. Called on the thread that distributes (the main
// thread in real-time operation).
class TMMConnectorDisplay {
 public:
  virtual std::int32_t FrameSize() const = 0;
  virtual void SetDataFormat(const TWaveFormatEx* format) = 0;
  virtual void ProcessFrame(const void* data) = 0;
  virtual void ResetDisplay() = 0;
  // Frame stepping of an oscilloscope or spectrogram; other displays keep the defaults.
  virtual bool Scroll() const { return false; }
  virtual bool Accelerate() const { return false; }
  virtual std::int32_t FFTLength() const { return 0; }
  virtual TMMBits BitLength() const { return TMMBits::b8Bit; }
  virtual TMMMode Mode() const { return TMMMode::mMono; }

 protected:
  virtual ~TMMConnectorDisplay();
  // Clears every connector slot that holds this display. A derived destructor calls
  // it first, while the display is still whole; the base destructor calls it again.
  void DetachFromConnectors();
};

enum class TMMConnectorSlot {
  Level1, Level2, Meter1, Meter2, Oscope1, Oscope2, Light1, Light2,
  Spectrum1, Spectrum2, Spectrum3, Spectrum4, Spectrogram1, Spectrogram2
};

class TMMConnector : public TMMDSPComponent {
 public:
  static constexpr int kSlots = 14;
  using TClock = std::function<std::int64_t()>;  // microseconds

  TMMConnector();
  ~TMMConnector() override;

  bool Enabled() const { return enabled_.load(); }
  void SetEnabled(bool value);
  // Non-PCM streams have no conversion here: they feed no display either way.
  bool AutoConvert() const { return autoConvert_; }
  void SetAutoConvert(bool value) { autoConvert_ = value; }
  bool AutoTrigger() const { return autoTrigger_.load(); }
  void SetAutoTrigger(bool value);
  bool Synchronize() const { return synchronize_.load(); }
  void SetSynchronize(bool value) { synchronize_ = value; }
  std::int32_t Speed() const { return speed_; }
  void SetSpeed(std::int32_t value);  // clamped to 1..5000
  TMMTriggerMode TriggerMode() const { return triggerMode_.load(); }
  void SetTriggerMode(TMMTriggerMode value) { triggerMode_ = value; }
  std::int32_t TriggerLevel() const { return triggerLevel_.load(); }
  void SetTriggerLevel(std::int32_t value) { triggerLevel_ = Clamp(value, -100, 100); }
  bool RefreshOnStop() const { return refreshOnStop_; }
  void SetRefreshOnStop(bool value) { refreshOnStop_ = value; }
  bool RealTime() const { return realTime_.load(); }
  void SetRealTime(bool value);  // EMMConnectorError while open
  // Class-wide: each pump cycle serves one further round of queued messages.
  static bool EnterIdle();
  static void SetEnterIdle(bool value);

  TMMConnectorDisplay* Slot(TMMConnectorSlot slot) const;
  void SetSlot(TMMConnectorSlot slot, TMMConnectorDisplay* display);
  TMMConnectorDisplay* Oscope1() const { return Slot(TMMConnectorSlot::Oscope1); }
  void SetOscope1(TMMConnectorDisplay* d) { SetSlot(TMMConnectorSlot::Oscope1, d); }
  TMMConnectorDisplay* Oscope2() const { return Slot(TMMConnectorSlot::Oscope2); }
  void SetOscope2(TMMConnectorDisplay* d) { SetSlot(TMMConnectorSlot::Oscope2, d); }
  TMMConnectorDisplay* Spectrum1() const { return Slot(TMMConnectorSlot::Spectrum1); }
  void SetSpectrum1(TMMConnectorDisplay* d) { SetSlot(TMMConnectorSlot::Spectrum1, d); }
  TMMConnectorDisplay* Spectrum2() const { return Slot(TMMConnectorSlot::Spectrum2); }
  void SetSpectrum2(TMMConnectorDisplay* d) { SetSlot(TMMConnectorSlot::Spectrum2, d); }
  TMMConnectorDisplay* Spectrum3() const { return Slot(TMMConnectorSlot::Spectrum3); }
  void SetSpectrum3(TMMConnectorDisplay* d) { SetSlot(TMMConnectorSlot::Spectrum3, d); }
  TMMConnectorDisplay* Spectrum4() const { return Slot(TMMConnectorSlot::Spectrum4); }
  void SetSpectrum4(TMMConnectorDisplay* d) { SetSlot(TMMConnectorSlot::Spectrum4, d); }

  void SetPWaveFormat(const TWaveFormatEx* format) override;
  void Start() override;
  void Pause() override;
  void Restart() override;
  void Stop() override;
  void Reset() override;
  // Audio thread: captures, then passes the buffer on.
  void BufferReady(PMMWaveHdr lpwh) override;
  // Audio thread: lets upstream fill the buffer, then captures it.
  void BufferLoad(PMMWaveHdr lpwh, bool& MoreBuffers) override;

  // Feeds the displays now when AutoTrigger is off; from another thread it asks the
  // main thread to.
  virtual void Trigger();

  bool IsStarted() const { return started_.load(); }
  bool IsRunning() const { return running_.load(); }
  bool IsPaused() const { return paused_.load(); }
  // Whether frames of a kind wait to be delivered (0 levels .. 5 spectrograms).
  bool Pending(int kind) const { return pending_[kind].load(); }
  const TWaveFormatEx& DisplayFormat() const { return displayFormat_; }

  TNotifyEvent OnTrigger;

  // Tests: the clock of capture times and due times; empty restores the real one.
  static void SetClock(TClock clock);
  // Connectors that the pump serves; the pump's wake-ups since the process started,
  // and the waker thread's.
  static int RunningCount();
  static std::int64_t PumpCycles();
  static std::int64_t WakerWakes();

 private:
  enum Kind { kLevels, kMeters, kOscopes, kLights, kSpectra, kSpectrograms, kKinds };
  struct Shared;
  static Shared& Class();
  static std::int64_t Now();
  static void WindowProc(TMessage& msg);
  static void PumpCycle();
  static void RecomputeSpeed();
  static void ScheduleNextWake();

  void Capture(PMMWaveHdr h);
  void Distribute();
  // Distribute by kind; each returns whether frames of the kind still wait.
  struct TRound;
  bool RoundDue(const TRound& r, std::int32_t position) const;
  bool DistributeOscopes(TRound& r, std::int32_t frame);
  bool DistributeSpectrograms(TRound& r);
  bool DistributeFrames(TRound& r, int kind, std::int32_t frame);
  bool DistributionAllowed() const;
  // Microseconds until the next frame is due; -1 when nothing waits.
  std::int64_t NextDueIn(std::int64_t now) const;
  void ResolveFormat();
  void HandFormatToDisplays();
  void ResetDisplays();
  void ClearPending();
  void Unrun();
  void PostStart();
  bool KindAssigned(int kind) const;
  bool Due(std::int32_t position, std::int64_t avg, std::int64_t captured, std::int64_t now) const;
  void StartPauseTimer();
  void StopPauseTimer();
  void DisplayDestroyed(TMMConnectorDisplay* display);
  friend class TMMConnectorDisplay;

  std::atomic<bool> enabled_{true};
  bool autoConvert_ = true;
  std::atomic<bool> autoTrigger_{true};
  std::atomic<bool> synchronize_{true};
  std::int32_t speed_ = 5000;
  std::atomic<TMMTriggerMode> triggerMode_{TMMTriggerMode::tmNone};
  std::atomic<std::int32_t> triggerLevel_{0};
  bool refreshOnStop_ = true;
  std::atomic<bool> realTime_{true};

  mutable TCriticalSection lock_;
  std::array<TMMConnectorDisplay*, kSlots> slots_{};
  TWaveFormatEx displayFormat_{};
  bool direct_ = false;  // a PCM path exists
  std::uint8_t silence_ = 0;
  std::vector<std::uint8_t> capture_;  // BufferSize bytes from Start to Stop
  std::int32_t valid_ = 0;
  std::atomic<std::int64_t> captureTime_{0};
  std::array<std::atomic<bool>, kKinds> pending_{};
  std::array<std::int32_t, kKinds> position_{};
  std::int32_t spectrogramPos2_ = 0;
  std::uint64_t captureSeq_ = 0;
  // The distributing thread's copy of the capture buffer.
  std::mutex distributeMutex_;
  std::vector<std::uint8_t> snapshot_;
  std::uint64_t snapshotSeq_ = ~std::uint64_t{0};

  std::atomic<bool> started_{false};
  std::atomic<bool> running_{false};
  std::atomic<bool> paused_{false};
  std::atomic<std::int32_t> pendingTriggers_{0};
  struct TPauseTimer;
  std::unique_ptr<TPauseTimer> pauseTimer_;
};

}  // namespace strataeq
