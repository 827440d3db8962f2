#include "display/MMSpectrumAnalysis.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>

namespace strataeq {

namespace {

const float kLogUnit = static_cast<float>(8192.0 / std::log(2.0));             // 8192 per octave of power
const float kUnitsPerDb = static_cast<float>(819.2 * std::log(10.0) / std::log(2.0));  // 2721.32
const double kFullScaleDb = 20.0 * std::log10(32768.0);                          // 90.309
constexpr double kPi = 3.14159265358979323846;

std::int32_t RoundEven(double x) { return static_cast<std::int32_t>(std::nearbyint(x)); }

std::int16_t Saturate16(double v) {
  const double t = std::trunc(v);
  if (t > 32767) return 32767;
  if (t < -32768) return -32768;
  return static_cast<std::int16_t>(t);
}

}  // namespace

TMMSpectrumAnalysis::TMMSpectrumAnalysis()
    : input_(kMaxFFT),
      samples_(kMaxFFT),
      windowTable_(kMaxFFT),
      transform_(kMaxFFT),
      bins_(kMaxFFT / 2),
      offset_(kMaxFFT / 2),
      sums_(kMaxFFT / 2),
      decayState_(kMaxFFT / 2),
      history_(static_cast<std::size_t>(kMaxHistory) * (kMaxFFT / 2)) {
  SetFFTLength(128);
  SetArea(4, 4);
}

void TMMSpectrumAnalysis::SetFFTLength(std::int32_t value) {
  value = Clamp(value, 8, kMaxFFT);
  int k = 0;
  while ((2 << k) <= value) ++k;
  value = 1 << k;
  if (value == fftLength_) return;
  fftLength_ = value;
  fft_ = CreateRealFFT(k);
  RebuildWindow();
  ComputeColumns();
  ResetData();
}

void TMMSpectrumAnalysis::RebuildWindow() {
  int k = 0;
  while ((1 << k) < fftLength_) ++k;
  BuildWindowTable(windowTable_.data(), window_, k);
}

void TMMSpectrumAnalysis::SetWindow(TMMFFTWindow value) {
  window_ = value;
  RebuildWindow();
}

void TMMSpectrumAnalysis::SetSampleRate(std::int32_t value) {
  value = Clamp(value, 8000, 100000);
  if (value == sampleRate_) return;
  sampleRate_ = value;
  ComputeColumns();
}

void TMMSpectrumAnalysis::SetLogAmp(bool value) {
  logAmp_ = value;
  ComputeTables();
  ClearBars();
}

void TMMSpectrumAnalysis::SetGain(TMMSpectrumGain value) {
  gain_ = value;
  ComputeTables();
  ClearBars();
}

void TMMSpectrumAnalysis::SetRefFreq(std::int32_t value) {
  refFreq_ = Clamp(value, 1, 44100);
  ComputeTables();
  ClearBars();
}

void TMMSpectrumAnalysis::SetVerticalScale(std::int32_t value) {
  verticalScale_ = Clamp(value, 1, 500);
  ComputeTables();
  ClearBars();
}

void TMMSpectrumAnalysis::SetFrequencyScale(std::int32_t value) {
  value = Clamp(value, 1, 16);
  int p = 1;
  while (p * 2 <= value) p *= 2;
  frequencyScale_ = p;
  ComputeColumns();
}

void TMMSpectrumAnalysis::SetLogFreq(bool value) {
  logFreq_ = value;
  ComputeColumns();
}

void TMMSpectrumAnalysis::SetDecayMode(TMMDecayMode value) {
  decayMode_ = value;
  ClearDecay();
}

void TMMSpectrumAnalysis::SetDecay(std::int32_t value) {
  decay_ = Clamp(value, 1, 16);
  double f = 0.0001;
  for (int i = 0; i < decay_; ++i) f = std::sqrt(f);
  decayFactor_ = static_cast<float>(f);
  uniformLength_ = Clamp(2 * decay_ - 2, 1, kMaxHistory);
  if (decayMode_ == TMMDecayMode::dmUniform) ClearDecay();
}

void TMMSpectrumAnalysis::SetNumPeaks(std::int32_t value) {
  if (!InRange(value, 0, 5)) return;
  numPeaks_ = value;
  ClearBars();
}

void TMMSpectrumAnalysis::SetPeakDelay(std::int32_t value) {
  if (!InRange(value, 0, 50)) return;
  peakDelay_ = value;
  ClearBars();
}

void TMMSpectrumAnalysis::SetPeakSpeed(std::int32_t value) {
  if (!InRange(value, 0, 50)) return;
  peakSpeed_ = value;
  ClearBars();
}

void TMMSpectrumAnalysis::SetKind(TMMSpectrumKind value) {
  kind_ = value;
  ComputeLayout();
  ClearBars();
}

void TMMSpectrumAnalysis::SetSpotHeight(std::int32_t value) {
  spotHeight_ = Clamp(value, 1, std::max(height_ / 3, 1));
  ComputeLayout();
}

void TMMSpectrumAnalysis::SetSpotSpace(std::int32_t value) {
  if (!InRange(value, 0, 10)) return;
  spotSpace_ = value;
  ComputeLayout();
}

void TMMSpectrumAnalysis::SetPoint1(std::int32_t value) {
  if (!InRange(value, 1, 100)) return;
  point1_ = value;
  ComputeLayout();
}

void TMMSpectrumAnalysis::SetPoint2(std::int32_t value) {
  if (!InRange(value, 1, 100)) return;
  point2_ = value;
  ComputeLayout();
}

void TMMSpectrumAnalysis::SetArea(std::int32_t width, std::int32_t height) {
  width_ = std::max(width, 4);
  height_ = std::max(height, 4);
  first_.assign(static_cast<std::size_t>(width_), 0);
  end_.assign(static_cast<std::size_t>(width_), 0);
  factor_.assign(static_cast<std::size_t>(width_), 0);
  bars_.assign(static_cast<std::size_t>(width_) + 1, TMMSpectrumBar{});
  spotHeight_ = Clamp(spotHeight_, 1, std::max(height_ / 3, 1));
  ComputeLayout();
  ComputeColumns();
  ResetData();
}

std::int32_t TMMSpectrumAnalysis::FrameSize() const {
  return (bits_ == TMMBits::b16Bit ? 2 : 1) * (mode_ == TMMMode::mStereo ? 2 : 1) * fftLength_;
}

void TMMSpectrumAnalysis::ComputeLayout() {
  spots_ = std::max((height_ + spotSpace_) / (spotHeight_ + spotSpace_), 1);
  margin_ = (spotSpace_ + height_ - (spotHeight_ + spotSpace_) * spots_) / 2;
  auto border = [&](std::int32_t p) -> std::int32_t {
    switch (kind_) {
      case TMMSpectrumKind::skBars:
      case TMMSpectrumKind::skPeaks: return RoundEven(p * spots_ / 100.0);
      case TMMSpectrumKind::skLines:
      case TMMSpectrumKind::skVLines: return RoundEven(p * height_ / 100.0);
      case TMMSpectrumKind::skDots: return height_ - RoundEven(p * height_ / 100.0);
      case TMMSpectrumKind::skScroll: return RoundEven(p * height_ / 3.0 / 100.0);
    }
    return 0;
  };
  zone1_ = border(point1_);
  zone2_ = border(point2_);
  levelSpots_.resize(static_cast<std::size_t>(height_) + 1);
  for (std::int32_t level = 0; level <= height_; ++level) levelSpots_[static_cast<std::size_t>(level)] = SpotsOfLevel(level);
}

double TMMSpectrumAnalysis::FrequencyAt(std::int32_t x) const {
  const double w = std::max(width_ - 1, 1);
  double f;
  if (logFreq_)
    f = fmin_ * std::exp(x * std::log(fftLength_ / 2.0) / (w * frequencyScale_));
  else
    f = fmin_ + x * (sampleRate_ / 2.0 - fmin_) / w / frequencyScale_;
  return std::max(f, 0.0);
}

std::string TMMSpectrumAnalysis::InfoText(std::int32_t x, std::int32_t y) const {
  char text[64];
  int n = std::snprintf(text, sizeof text, "%2.3f KHz", FrequencyAt(x) / 1000);
  const double h = std::max(height_ - 1, 1);
  if (kind_ != TMMSpectrumKind::skScroll) {
    if (logAmp_)
      std::snprintf(text + n, sizeof text - n, " %2.1f dB", 0.0 - 10.0 * 6 * y / h);
    else
      std::snprintf(text + n, sizeof text - n, verticalScale_ < 10 ? " %5.3f V" : " %4.2f V",
                    (height_ - y - 1) / h * verticalScale_ / 100.0);
  }
  return text;
}

std::string TMMSpectrumAnalysis::PeakText() const {
  if (highest_ <= 5) return {};
  const double b = highestBin_;
  const double f = logFreq_ && b > 1 ? b * sampleRate_ / fftLength_
                   : logFreq_         ? (b + 0.25) * sampleRate_ / fftLength_
                                      : (b + 0.5) * sampleRate_ / fftLength_;
  char text[32];
  std::snprintf(text, sizeof text, "%7.1f Hz", f);
  std::string t = text;
  return t.substr(t.find_first_not_of(' '));
}

void TMMSpectrumAnalysis::ComputeColumns() {
  if (fftLength_ == 0 || first_.empty()) return;  // still being built
  const double half = sampleRate_ / 2.0;
  const double n = fftLength_;
  if (!logFreq_) {
    fmin_ = 1.0;
    fmin_ = std::max(0.0, std::min(fmin_, half - sampleRate_ / (2.0 * frequencyScale_)));
  } else {
    fmin_ = std::clamp(fmin_, sampleRate_ / n, half / std::exp(std::log(n / 2) / frequencyScale_));
  }
  const std::int32_t W = width_;
  const std::int32_t bins = fftLength_ / 2;
  if (!OnGetXScale || !OnGetXScale(first_.data(), end_.data(), W)) {
    auto firstOf = [&](std::int32_t i) {
      return static_cast<std::int32_t>(
          std::floor(static_cast<double>(i) / W * bins / frequencyScale_ + fmin_ / sampleRate_ * n + 0.01));
    };
    for (std::int32_t i = 0; i < W; ++i) first_[i] = Clamp(firstOf(i), 0, bins - 1);
    for (std::int32_t i = 1; i < W; ++i) end_[i - 1] = first_[i];
    end_[W - 1] = Clamp(firstOf(W), 0, bins);
    for (std::int32_t i = 0; i < W; ++i)
      if (first_[i] + 1 >= end_[i]) end_[i] = 0;
  }
  for (std::int32_t i = W - 1; i >= 1; --i)
    if (first_[i] != -1 && first_[i] == first_[i - 1]) {
      first_[i] = -1;
      end_[i] = 0;
    }
  ComputeTables();
}

void TMMSpectrumAnalysis::ComputeTables() {
  const int d = static_cast<int>(gain_) / 2;
  const int h = static_cast<int>(gain_) % 2;
  const double H = height_;
  const double ratio = sampleRate_ / (2 * kPi * refFreq_);
  const std::int32_t bins = fftLength_ / 2;
  if (logAmp_) {
    f0_ = static_cast<float>(H / (60.0 * kUnitsPerDb));
    const double q = d == 0 ? 0.0 : (d == 1 ? 20.0 : 40.0) * std::log10(ratio);
    const double g = (kFullScaleDb - q - 60.0) * kUnitsPerDb;
    for (std::int32_t k = 0; k < bins; ++k)
      offset_[k] = static_cast<std::int32_t>(
          h ? std::floor(g + 0.5 - 10.0 * kUnitsPerDb *
                                       std::log10((k + 1.0) * sampleRate_ / fftLength_ / refFreq_))
            : std::floor(g + 0.5));
    shift_ = 0;
    double f = f0_;
    while (f < 4096) f *= 2, ++shift_;
    for (std::int32_t i = 0; i < width_; ++i) factor_[i] = first_[i] == -1 ? 0 : static_cast<std::int32_t>(std::floor(f + 0.5));
  } else {
    double e = H / (std::sqrt(static_cast<double>(refFreq_)) * verticalScale_ / 100.0 * 32768.0);
    if (d == 1) e *= ratio;
    if (d == 2) e *= ratio * ratio;
    shift_ = 4;
    if (h) {
      while (std::sqrt(sampleRate_ * 0.5) * e < 4096) e *= 2, ++shift_;
      for (std::int32_t i = 0; i < width_; ++i)
        factor_[i] = first_[i] == -1 ? 0
                                     : RoundEven(std::sqrt((first_[i] + 1.0) * sampleRate_ / fftLength_) * e + 0.5);
    } else {
      e = std::sqrt(static_cast<double>(refFreq_)) * e;
      while (e < 4096) e *= 2, ++shift_;
      for (std::int32_t i = 0; i < width_; ++i) factor_[i] = first_[i] == -1 ? 0 : static_cast<std::int32_t>(std::floor(e + 0.5));
    }
  }
}

void TMMSpectrumAnalysis::ClearDecay() {
  std::fill(decayState_.begin(), decayState_.end(), 0.0f);
  std::fill(sums_.begin(), sums_.end(), 0);
  std::fill(history_.begin(), history_.end(), 0);
  historyIndex_ = 0;
  historyFill_ = 0;
}

void TMMSpectrumAnalysis::ClearBars() {
  for (auto& b : bars_) b = TMMSpectrumBar{};
  highest_ = highestBin_ = highestColumn_ = 0;
}

void TMMSpectrumAnalysis::ResetData() {
  std::fill(bins_.begin(), bins_.end(), 0);
  std::fill(transform_.begin(), transform_.end(), 0);
  ClearBars();
  ClearDecay();
}

void TMMSpectrumAnalysis::ProcessFrame(const void* data) {
  const std::int32_t N = fftLength_;
  const int d = static_cast<int>(gain_) / 2;
  const bool eight = bits_ == TMMBits::b8Bit;
  const bool stereo = mode_ == TMMMode::mStereo;
  const auto* b8 = static_cast<const std::uint8_t*>(data);
  const auto* b16 = static_cast<const std::int16_t*>(data);
  const bool both = stereo && channel_ == TMMChannel::chBoth;
  const int pick = channel_ == TMMChannel::chRight ? 1 : 0;
  // The samples as ints first, a loop for each format, so that the loop that filters
  // and windows them has no format to ask about per sample.
  std::int32_t* const xs = samples_.data();
  if (!stereo) {
    if (eight)
      for (std::int32_t n = 0; n < N; ++n) xs[n] = b8[n];
    else
      for (std::int32_t n = 0; n < N; ++n) xs[n] = b16[n];
  } else if (both) {
    // The mean of two channels clips only when both do.
    if (eight)
      for (std::int32_t n = 0; n < N; ++n) xs[n] = (b8[2 * n] + b8[2 * n + 1]) / 2;
    else
      for (std::int32_t n = 0; n < N; ++n) xs[n] = (b16[2 * n] + b16[2 * n + 1]) / 2;
  } else {
    if (eight)
      for (std::int32_t n = 0; n < N; ++n) xs[n] = b8[2 * n + pick];
    else
      for (std::int32_t n = 0; n < N; ++n) xs[n] = b16[2 * n + pick];
  }
  const int clip = eight ? 255 : 32767;
  if (OnPcmOverflow)
    for (std::int32_t n = 0; n < N; ++n)
      if (xs[n] >= clip) OnPcmOverflow();
  // The window's scale is a power of two: a shift, rounding toward zero as the division did.
  const int shift = eight ? 7 : 15;
  const int bias = d == 0 && eight ? 128 : 0;
  const std::int32_t* const window = windowTable_.data();
  float* const in = input_.data();
  int x1 = xs[0], x2 = xs[0];  // x(n-1), x(n-2)
  for (std::int32_t n = 0; n < N; ++n) {
    const int x = xs[n];
    const int y = d == 0 ? x - bias : d == 1 ? x - x1 : x - 2 * x1 + x2;
    x2 = x1;
    x1 = x;
    const std::int64_t p = static_cast<std::int64_t>(y) * window[n];
    const std::int64_t t = p >= 0 ? p >> shift : -((-p) >> shift);
    in[n] = static_cast<float>(t);
  }
  RealFFT(fft_.get(), input_.data(), 1);
  // Saturated: a full-scale square wave must not wrap round to a quiet bin. N / 2 is a
  // power of two, so its reciprocal is exact and the product equals the quotient.
  const double inverseHalf = 1.0 / (N / 2);
  std::int16_t* const transform = transform_.data();
  for (std::int32_t i = 0; i < N; ++i) transform[i] = Saturate16(in[i] * inverseHalf);

  const std::int32_t bins = N / 2;
  if (decayMode_ == TMMDecayMode::dmUniform) {
    const std::int32_t L = uniformLength_;
    historyIndex_ = historyIndex_ + 1 >= L ? 0 : historyIndex_ + 1;
    historyFill_ = std::min(historyFill_ + 1, L);
  }
  std::int32_t* hist = history_.data() + static_cast<std::size_t>(historyIndex_) * (kMaxFFT / 2);
  const float F = decayFactor_;
  for (std::int32_t k = 0; k < bins; ++k) {
    const std::int64_t re = transform_[2 * k], im = transform_[2 * k + 1];
    const std::int64_t P = re * re + im * im;  // up to 2^31: needs 64 bits
    if (decayMode_ == TMMDecayMode::dmNone && logAmp_) {
      std::int32_t v = 0;
      if (P > 0) v = static_cast<std::int32_t>(std::trunc(std::log(static_cast<double>(P)) * kLogUnit - offset_[k]));
      bins_[k] = std::max(v, 0);
      continue;
    }
    const auto m = static_cast<std::int32_t>(std::sqrt(static_cast<double>(P)) * 16);
    switch (decayMode_) {
      case TMMDecayMode::dmNone: bins_[k] = m; break;
      case TMMDecayMode::dmStepUp:
        decayState_[k] *= F;
        if (static_cast<float>(m) >= decayState_[k]) {
          decayState_[k] = static_cast<float>(m);
          bins_[k] = m;
        } else {
          bins_[k] = static_cast<std::int32_t>(decayState_[k]);
        }
        break;
      case TMMDecayMode::dmExponential:
        decayState_[k] = decayState_[k] * F + (1 - F) * static_cast<float>(m);
        bins_[k] = static_cast<std::int32_t>(std::floor(decayState_[k]));
        break;
      case TMMDecayMode::dmUniform:
        sums_[k] += m - hist[k];
        hist[k] = m;
        bins_[k] = sums_[k] / std::max(historyFill_, 1);
        break;
    }
  }
  BuildBars();
}

inline void TMMSpectrumAnalysis::UpdatePeak(TMMSpectrumBar& bar) {
  if (numPeaks_ == 0) return;
  std::int32_t s;
  if (kind_ == TMMSpectrumKind::skBars || kind_ == TMMSpectrumKind::skPeaks) {
    s = LevelToSpots(bar.Level);
  } else if (kind_ == TMMSpectrumKind::skLines) {
    s = Clamp(bar.Level, 0, height_);
  } else {
    return;
  }
  if (s >= bar.Peak && s > 0) {
    bar.Peak = s;
    bar.Countdown = 2 * peakDelay_ + 1;
  }
}

void TMMSpectrumAnalysis::BuildBars() {
  // The tables in locals: the stores into the bars may alias any member, which the loop
  // would otherwise read again for each of the columns of every frame.
  const std::int32_t width = width_, height = height_, shift = shift_;
  const std::int32_t* const first = first_.data();
  const std::int32_t* const end = end_.data();
  const std::int32_t* const bins = bins_.data();
  const std::int32_t* const factor = factor_.data();
  const std::int32_t* const offset = offset_.data();
  const double f0 = f0_;
  TMMSpectrumBar* const bars = bars_.data();
  const bool logLevels = logAmp_ && decayMode_ != TMMDecayMode::dmNone;
  std::int32_t highest = 0, highestBin = 0, highestColumn = 0, overflows = 0;
  std::size_t r = 0;
  bool open = false;
  auto close = [&](std::int32_t column) {
    if (!open) return;
    bars[r].End = column;
    UpdatePeak(bars[r]);
    ++r;
    open = false;
  };
  for (std::int32_t i = 0; i < width; ++i) {
    const std::int32_t f = first[i];
    if (f == -1) continue;
    close(i);
    const std::int32_t last = end[i] == 0 ? f : end[i] - 1;
    std::int32_t b = bins[f], kmax = f;
    for (std::int32_t k = f + 1; k <= last; ++k)
      if (bins[k] > b) b = bins[k], kmax = k;
    std::int32_t level = 0;
    if (b > 0) {
      if (logLevels) {
        level = static_cast<std::int32_t>(
            std::trunc((std::log(b * 0.0625) * 2 * static_cast<double>(kLogUnit) - offset[kmax]) * f0));
      } else {
        level = static_cast<std::int32_t>((static_cast<std::int64_t>(b) * factor[i]) >> shift);
      }
    }
    level = std::max(level, 0);
    if (level > highest) highest = level, highestBin = f, highestColumn = i;
    overflows += level >= height;
    bars[r].Start = i;
    bars[r].Level = level;
    open = true;
  }
  close(width);
  bars[r] = TMMSpectrumBar{};  // the terminating record
  highest_ = highest, highestBin_ = highestBin, highestColumn_ = highestColumn;
  // Told once the bars are built: the handler may change the tables read above.
  if (OnGainOverflow)
    for (std::int32_t k = 0; k < overflows; ++k) OnGainOverflow();
}

bool TMMSpectrumAnalysis::PeakTick() {
  if (numPeaks_ == 0 || InfoMode) return false;
  bool any = false;
  for (auto& bar : bars_) {
    if (bar.Start < 0) break;
    if (bar.Peak <= 0) continue;
    if (--bar.Countdown <= 0) {
      if (peakSpeed_ > 0) {
        --bar.Peak;
        bar.Countdown = peakSpeed_;
      } else {
        bar.Peak = 0;
        bar.Countdown = 0;
      }
    }
    any = any || bar.Peak > 0;
  }
  return any;
}

}  // namespace strataeq
