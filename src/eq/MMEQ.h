// The equalizer: a passive chain component that filters 16-bit PCM (or float
// samples) in place with an FFT block filter designed from its band list, and draws
// its own response on an attached spectrum display.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "eq/MMFFTFlt.h"
#include "eq/MMObjLst.h"
#include "foundation/MMDSPObj.h"
#include "platform/Messages.h"

namespace strataeq {

STRATAEQ_DECLARE_ERROR(EMMEqualizerError);

// What the equalizer needs of a spectrum display to show its response there. The
// spectrum analyser implements it; if it is also a TComponent, the equalizer learns
// of its destruction and forgets it.
class TMMResponseDisplay {
 public:
  virtual void SetWindow(TMMFFTWindow window) = 0;
  // The display's data request (its OnNeedData); empty to detach.
  virtual void SetResponseHook(TNotifyEvent hook) = 0;
  // Redraw: the display resets its data and asks for new data through the hook.
  virtual void ResetDisplay() = 0;
  virtual void SetDataFormat(const TWaveFormatEx* format) = 0;
  // Bytes of one analysed frame in the display's format.
  virtual std::int32_t FrameSize() const = 0;
  virtual void ProcessFrame(const void* data) = 0;

 protected:
  ~TMMResponseDisplay() = default;
};

class TMMEqualizer : public TMMDSPComponent, public TMMEQFilterListOwner {
 public:
  static constexpr std::int32_t kMinFFTLength = 8;
  static constexpr std::int32_t kMaxFFTLength = 4096;
  static constexpr std::int32_t kMinSampleRate = 4000;
  static constexpr std::int32_t kMaxSampleRate = 100000;

  TMMEqualizer();
  ~TMMEqualizer() override;

  bool Enabled() const { return enabled_.load(); }
  void SetEnabled(bool value);
  std::int32_t SampleRate() const { return sampleRate_; }
  void SetSampleRate(std::int32_t value);  // clamped to 4000 .. 100000
  // 8 .. 4096, rounded down to a power of two; the filter itself uses at most 1024.
  std::int32_t FFTLength() const override { return fftLength_; }
  void SetFFTLength(std::int32_t value) override;
  std::string Description() const override { return description_; }
  void SetDescription(const std::string& value) override;
  TMMEQFilterList* Filters() const { return filters_.get(); }
  // Copies the bands of the given list (none empties the list): one notification.
  void SetFilters(const TMMEQFilterList* value);
  TMMFFTWindow Window() const { return window_; }
  void SetWindow(TMMFFTWindow value);
  TMMChannel Channel() const { return channel_.load(); }
  void SetChannel(TMMChannel value);  // the next buffer uses it
  // Pulled buffers come out time-aligned with the input and as long as it: the
  // filter's delay is dropped from the start and its tail flushed when the source
  // ends (file to file). Off for device routes. Set before Open.
  bool Aligned() const { return aligned_.load(); }
  void SetAligned(bool value);
  // Threads the filter may use: 2 or more filter the two channels of a stereo stream
  // on two threads at once (the output stays the same to the bit). For file routes,
  // whose filter runs on a thread that may wait; set before Open.
  std::int32_t Threads() const { return threads_; }
  void SetThreads(std::int32_t value);
  TMMResponseDisplay* Spectrum() const { return spectrum_; }
  void SetSpectrum(TMMResponseDisplay* value);

  // Only valid 16-bit PCM (or 32-bit float, 1 or 2 channels, 4000..192000 Hz) outside
  // design mode, else EMMEqualizerError
  // "Invalid WaveFormat" and the old format stays.
  void SetPWaveFormat(const TWaveFormatEx* format) override;
  // From another equalizer: Channel, Enabled, Description, FFTLength, Window, Filters,
  // SampleRate. Anything else is ignored.
  void Assign(const TObject* source);
  void Loaded() override;

  void Open() override;
  void Close() override;
  void Start() override;
  // Audio thread: filtered before it goes on.
  void BufferReady(PMMWaveHdr lpwh) override;
  // Audio thread: filtered after upstream has filled it.
  void BufferLoad(PMMWaveHdr lpwh, bool& MoreBuffers) override;

  // Float samples that were NaN or infinite and were filtered as silence, since creation.
  std::int64_t NonFiniteSamples() const { return nonFinite_.load(); }

  // Whether the processing filter exists (between Open and Close).
  bool Prepared() const { return prepared_; }
  // A flat response, then every enabled band in list order; nothing unless prepared.
  virtual void RebuildResponse();
  // Asks the spectrum to redraw and fires OnChange.
  virtual void Changed();
  // The spectrum's response hook: filters an impulse through the display filter and
  // hands the result to the spectrum.
  void DrawResponse(TObject* sender);

  // Band list notifications (main thread).
  void SetUpdating(bool value) override { updating_ = value; }
  void BandChanged(TMMEQFilter* band) override;
  void BandListChanged(TObject* sender);

  // Buffers that clipped since Start (any thread); with a helper thread, pulls of
  // several buffers filtered at once.
  std::int64_t ClippedBuffers() const { return clipped_.load(std::memory_order_relaxed); }

  TNotifyEvent OnChange;
  // On the main thread, after buffers clipped: one event for all the clips since the
  // last one was handled (ClippedBuffers counts them).
  TNotifyEvent OnPcmOverflow;

 protected:
  void Notification(TComponent* component, TOperation operation) override;
  // Fires OnPcmOverflow.
  virtual void PcmOverflow();

 private:
  void NoteOverflow() noexcept;  // audio thread
  void Prepare();
  void Unprepare();
  void Process(char* data, std::int32_t bytes);
  void LoadAligned(PMMWaveHdr lpwh, bool& MoreBuffers);
  // With a helper: hands on the output of a larger pull, filtered in one go, so that
  // the two threads meet once for many buffers (clips count once per such pull).
  void LoadStaged(PMMWaveHdr lpwh, bool& MoreBuffers);
  // Publishes next as the processing filter and frees the old one once no buffer is
  // inside it any more.
  void ReplaceFilter(PFFTFilter next);
  void ApplyBands(TFFTFilter* filter) const;
  void RebuildDisplayFilter(bool build);
  PFFTFilter NewFilter(const TWaveFormatEx* format, std::int32_t capacity) const;

  std::atomic<bool> enabled_{true};
  std::atomic<bool> aligned_{false};
  bool draining_ = false;  // audio thread: the source has ended
  bool prepared_ = false;
  PFFTFilter filter_;                       // main thread's ownership
  std::atomic<TFFTFilter*> live_{nullptr};  // what the audio thread uses
  std::atomic<int> inFilter_{0};            // audio calls between fetching live_ and leaving it
  mutable std::atomic<std::int64_t> nonFinite_{0};  // the processing filters count into it
  PFFTFilter display_;
  std::string description_ = "Untitled";
  std::int32_t fftLength_ = 8;
  std::unique_ptr<TMMEQFilterList> filters_;
  TMMFFTWindow window_ = TMMFFTWindow::fwHamming;
  std::int32_t sampleRate_ = kMinSampleRate;
  std::atomic<TMMChannel> channel_{TMMChannel::chBoth};
  bool updating_ = false;
  std::int32_t workCapacity_ = 0;
  std::int32_t threads_ = 1;
  std::unique_ptr<THandOffWorker> helper_;  // between Prepare and Unprepare, with 2 threads
  // Audio thread, aligned with a helper: the staged output and how much of it is handed on.
  TWaveHdrBlock stage_;
  std::int32_t staged_ = 0;
  bool stageMore_ = true;
  TMMResponseDisplay* spectrum_ = nullptr;
  TComponent* spectrumComponent_ = nullptr;
  std::atomic<std::int64_t> clipped_{0};
  std::atomic<bool> overflowPosted_{false};
  std::unique_ptr<TNotifyWindow> notify_;
  THandle notifyHandle_ = 0;  // posts after the window is gone are refused
};

}  // namespace strataeq
