// The spectrum analyser's analysis: PCM frames to bars, with no screen needed.
#pragma once

#include <array>
#include <cmath>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "eq/MMFFT.h"
#include "foundation/MMUtils.h"

namespace strataeq {

enum class TMMSpectrumKind { skDots, skLines, skVLines, skBars, skPeaks, skScroll };
enum class TMMSpectrumGain { sgNone, sg3db, sg6db, sg9db, sg12db };

struct TMMSpectrumBar {
  std::int32_t Start = -1;  // first column; -1 ends the list
  std::int32_t End = 0;     // exclusive
  std::int32_t Level = 0;   // pixels
  std::int32_t Peak = 0;    // spots (pixels for skLines)
  std::int32_t Countdown = 0;
};

// Frame intake, bins, decay, column mapping, amplitude tables, bars, peaks and spot
// layout. All of it on the thread that feeds frames (the GUI thread).
class TMMSpectrumAnalysis {
 public:
  static constexpr std::int32_t kMaxFFT = 4096;
  static constexpr std::int32_t kMaxHistory = 32;

  TMMSpectrumAnalysis();

  std::int32_t FFTLength() const { return fftLength_; }
  void SetFFTLength(std::int32_t value);  // 8..4096, rounded down to a power of two
  TMMFFTWindow Window() const { return window_; }
  void SetWindow(TMMFFTWindow value);
  std::int32_t SampleRate() const { return sampleRate_; }
  void SetSampleRate(std::int32_t value);  // 8000..100000
  TMMBits BitLength() const { return bits_; }
  void SetBitLength(TMMBits value) { bits_ = value; }
  TMMMode Mode() const { return mode_; }
  void SetMode(TMMMode value) { mode_ = value == TMMMode::mStereo ? value : TMMMode::mMono; }
  TMMChannel Channel() const { return channel_; }
  void SetChannel(TMMChannel value) { channel_ = value; }
  bool LogAmp() const { return logAmp_; }
  void SetLogAmp(bool value);
  TMMSpectrumGain Gain() const { return gain_; }
  void SetGain(TMMSpectrumGain value);
  std::int32_t RefFreq() const { return refFreq_; }
  void SetRefFreq(std::int32_t value);  // 1..44100
  std::int32_t VerticalScale() const { return verticalScale_; }
  void SetVerticalScale(std::int32_t value);  // 1..500
  std::int32_t FrequencyScale() const { return frequencyScale_; }
  void SetFrequencyScale(std::int32_t value);  // 1..16, power of two
  bool LogFreq() const { return logFreq_; }
  void SetLogFreq(bool value);
  TMMDecayMode DecayMode() const { return decayMode_; }
  void SetDecayMode(TMMDecayMode value);
  std::int32_t Decay() const { return decay_; }
  void SetDecay(std::int32_t value);  // 1..16
  float DecayFactor() const { return decayFactor_; }
  std::int32_t UniformLength() const { return uniformLength_; }
  std::int32_t NumPeaks() const { return numPeaks_; }
  void SetNumPeaks(std::int32_t value);
  std::int32_t PeakDelay() const { return peakDelay_; }
  void SetPeakDelay(std::int32_t value);
  std::int32_t PeakSpeed() const { return peakSpeed_; }
  void SetPeakSpeed(std::int32_t value);
  TMMSpectrumKind Kind() const { return kind_; }
  void SetKind(TMMSpectrumKind value);
  std::int32_t SpotHeight() const { return spotHeight_; }
  void SetSpotHeight(std::int32_t value);
  std::int32_t SpotSpace() const { return spotSpace_; }
  void SetSpotSpace(std::int32_t value);
  std::int32_t Point1() const { return point1_; }
  void SetPoint1(std::int32_t value);
  std::int32_t Point2() const { return point2_; }
  void SetPoint2(std::int32_t value);

  // Columns and height of the drawing area (each at least 4).
  void SetArea(std::int32_t width, std::int32_t height);
  std::int32_t Columns() const { return width_; }
  std::int32_t AreaHeight() const { return height_; }

  std::int32_t FrameSize() const;
  // Analyses FFTLength sample frames and builds the bars.
  void ProcessFrame(const void* data);
  // Bin values, transform result, bars and decay state cleared.
  void ResetData();
  // Bars from the current bin values (every frame and every repaint).
  void BuildBars();
  // One 25 ms step of the peak fall-off; true while any peak is still up.
  bool PeakTick();

  // Results.
  const std::int32_t* Bins() const { return bins_.data(); }
  const std::int16_t* Transform() const { return transform_.data(); }
  const std::vector<TMMSpectrumBar>& Bars() const { return bars_; }  // ends with Start -1
  std::int32_t FirstBin(std::int32_t column) const { return first_[column]; }
  std::int32_t EndBin(std::int32_t column) const { return end_[column]; }
  std::int32_t Offset(std::int32_t bin) const { return offset_[bin]; }
  std::int32_t Factor(std::int32_t column) const { return factor_[column]; }
  std::int32_t Shift() const { return shift_; }
  double MinFrequency() const { return fmin_; }
  std::int32_t HighestLevel() const { return highest_; }
  std::int32_t HighestBin() const { return highestBin_; }
  std::int32_t HighestColumn() const { return highestColumn_; }
  std::int32_t Spots() const { return spots_; }
  std::int32_t BottomMargin() const { return margin_; }
  std::int32_t Zone1() const { return zone1_; }
  std::int32_t Zone2() const { return zone2_; }
  // A pixel level as spots, clamped to 0..Spots.
  // Inline: the analysers ask for every bar and spot of every frame.
  std::int32_t LevelToSpots(std::int32_t level) const {
    if (PixelPeaks) return Clamp(level, 0, height_);
    if (level >= 0 && level <= height_) return levelSpots_[static_cast<std::size_t>(level)];
    return SpotsOfLevel(level);
  }
  // The zone (0, 1, 2) of a spot, pixel or row in the unit of the current Kind.
  int ZoneOf(std::int32_t unit) const {
    if (kind_ == TMMSpectrumKind::skDots) return unit < zone2_ ? 2 : unit < zone1_ ? 1 : 0;  // rows from the top
    return unit > zone2_ ? 2 : unit > zone1_ ? 1 : 0;
  }
  // The pointer readout: the frequency under column x and the level under row y.
  double FrequencyAt(std::int32_t x) const;
  std::string InfoText(std::int32_t x, std::int32_t y) const;
  // The frequency of the highest bar; empty while it is 5 pixels or lower.
  std::string PeakText() const;

  std::function<void()> OnPcmOverflow;
  std::function<void()> OnGainOverflow;
  // Column mapping by the owner: first bin and end bin per column; false leaves it to
  // the linear mapping.
  std::function<bool(std::int32_t* first, std::int32_t* end, std::int32_t columns)> OnGetXScale;
  // The bars are drawn by the owner: peaks count in pixels then.
  bool PixelPeaks = false;
  bool InfoMode = false;

 private:
  void RebuildWindow();
  void ComputeColumns();
  void ComputeTables();
  void ComputeLayout();
  void ClearDecay();
  void ClearBars();
  void UpdatePeak(TMMSpectrumBar& bar);
  std::int32_t SpotsOfLevel(std::int32_t level) const {
    const double perSpot = static_cast<double>(height_) / spots_;
    return Clamp(static_cast<std::int32_t>(std::nearbyint(level / perSpot + 0.5)), 0, spots_);
  }

  std::int32_t fftLength_ = 0;
  TMMFFTWindow window_ = TMMFFTWindow::fwHamming;
  std::int32_t sampleRate_ = 11025;
  TMMBits bits_ = TMMBits::b8Bit;
  TMMMode mode_ = TMMMode::mMono;
  TMMChannel channel_ = TMMChannel::chBoth;
  bool logAmp_ = false;
  TMMSpectrumGain gain_ = TMMSpectrumGain::sgNone;
  std::int32_t refFreq_ = 1000;
  std::int32_t verticalScale_ = 100;
  std::int32_t frequencyScale_ = 1;
  bool logFreq_ = false;
  TMMDecayMode decayMode_ = TMMDecayMode::dmNone;
  std::int32_t decay_ = 1;
  float decayFactor_ = 0.0001f;
  std::int32_t uniformLength_ = 1;
  std::int32_t numPeaks_ = 1, peakDelay_ = 20, peakSpeed_ = 0;
  TMMSpectrumKind kind_ = TMMSpectrumKind::skBars;
  std::int32_t spotHeight_ = 1, spotSpace_ = 1, point1_ = 50, point2_ = 85;
  std::int32_t width_ = 4, height_ = 4;

  PRealFFT fft_;
  std::vector<float> input_;
  std::vector<std::int32_t> samples_;  // the frame's samples of the channel shown
  std::vector<std::int32_t> windowTable_;
  std::vector<std::int16_t> transform_;
  std::vector<std::int32_t> bins_, offset_, sums_;
  std::vector<float> decayState_;
  std::vector<std::int32_t> history_;  // kMaxHistory frames of kMaxFFT/2
  std::int32_t historyIndex_ = 0, historyFill_ = 0;
  std::vector<std::int32_t> first_, end_, factor_;
  std::vector<TMMSpectrumBar> bars_;
  std::int32_t shift_ = 0;
  float f0_ = 0;  // pixels per log unit (dB mode)
  double fmin_ = 0;
  std::int32_t highest_ = 0, highestBin_ = 0, highestColumn_ = 0;
  std::int32_t spots_ = 1, margin_ = 0, zone1_ = 0, zone2_ = 0;
  // SpotsOfLevel of the levels 0..height: a division and a rounding call per bar twice a
  // frame came to a tenth of the analysis.
  std::vector<std::int32_t> levelSpots_;
};

}  // namespace strataeq
