#include "display/MMSpectr.h"

#include <QDateTime>
#include <QMouseEvent>
#include <QPainter>
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

// --- analysis -----------------------------------------------------------------

TMMSpectrumAnalysis::TMMSpectrumAnalysis()
    : input_(kMaxFFT),
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
}

int TMMSpectrumAnalysis::ZoneOf(std::int32_t unit) const {
  if (kind_ == TMMSpectrumKind::skDots) return unit < zone2_ ? 2 : unit < zone1_ ? 1 : 0;  // rows from the top
  return unit > zone2_ ? 2 : unit > zone1_ ? 1 : 0;
}

std::int32_t TMMSpectrumAnalysis::LevelToSpots(std::int32_t level) const {
  if (PixelPeaks) return Clamp(level, 0, height_);
  const double perSpot = static_cast<double>(height_) / spots_;
  return Clamp(RoundEven(level / perSpot + 0.5), 0, spots_);
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
  // The mean of two channels clips only when both do.
  const int clip = eight ? 255 : 32767;
  const int pick = channel_ == TMMChannel::chRight ? 1 : 0;
  int x1 = 0, x2 = 0;  // x(n-1), x(n-2)
  for (std::int32_t n = 0; n < N; ++n) {
    int x;
    if (!stereo) {
      x = eight ? b8[n] : b16[n];
    } else if (both) {
      const int l = eight ? b8[2 * n] : b16[2 * n];
      const int r = eight ? b8[2 * n + 1] : b16[2 * n + 1];
      x = (l + r) / 2;
    } else {
      x = eight ? b8[2 * n + pick] : b16[2 * n + pick];
    }
    if (x >= clip && OnPcmOverflow) OnPcmOverflow();
    if (n == 0) x1 = x2 = x;
    int y;
    if (d == 0) {
      y = eight ? x - 128 : x;
    } else if (d == 1) {
      y = x - x1;
    } else {
      y = x - 2 * x1 + x2;
    }
    x2 = x1;
    x1 = x;
    const std::int64_t t = static_cast<std::int64_t>(y) * windowTable_[n] / (eight ? 128 : 32768);
    input_[n] = static_cast<float>(t);
  }
  RealFFT(fft_.get(), input_.data(), 1);
  const double half = N / 2;
  // Saturated: a full-scale square wave must not wrap round to a quiet bin.
  for (std::int32_t i = 0; i < N; ++i) transform_[i] = Saturate16(input_[i] / half);

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

void TMMSpectrumAnalysis::UpdatePeak(TMMSpectrumBar& bar) {
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
  highest_ = highestBin_ = highestColumn_ = 0;
  const bool logLevels = logAmp_ && decayMode_ != TMMDecayMode::dmNone;
  std::size_t r = 0;
  bool open = false;
  auto close = [&](std::int32_t column) {
    if (!open) return;
    bars_[r].End = column;
    UpdatePeak(bars_[r]);
    ++r;
    open = false;
  };
  for (std::int32_t i = 0; i < width_; ++i) {
    const std::int32_t first = first_[i];
    if (first == -1) continue;
    close(i);
    const std::int32_t last = end_[i] == 0 ? first : end_[i] - 1;
    std::int32_t b = bins_[first], kmax = first;
    for (std::int32_t k = first + 1; k <= last; ++k)
      if (bins_[k] > b) b = bins_[k], kmax = k;
    std::int32_t level = 0;
    if (b > 0) {
      if (logLevels) {
        level = static_cast<std::int32_t>(
            std::trunc((std::log(b * 0.0625) * 2 * static_cast<double>(kLogUnit) - offset_[kmax]) * f0_));
      } else {
        level = static_cast<std::int32_t>((static_cast<std::int64_t>(b) * factor_[i]) >> shift_);
      }
    }
    level = std::max(level, 0);
    if (level > highest_) highest_ = level, highestBin_ = first, highestColumn_ = i;
    if (level >= height_ && OnGainOverflow) OnGainOverflow();
    bars_[r].Start = i;
    bars_[r].Level = level;
    open = true;
  }
  close(width_);
  bars_[r] = TMMSpectrumBar{};  // the terminating record
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

// --- animation service ----------------------------------------------------------

struct TMMAnimationTimer::Entry {
  int id = 0;
  TCallback callback;
  bool active = false;
  int suspended = 0;
  qint64 last = 0;  // ms of the last whole step
};

TMMAnimationTimer& TMMAnimationTimer::Instance() {
  static TMMAnimationTimer timer;
  return timer;
}

TMMAnimationTimer::TMMAnimationTimer() {
  timer_.setInterval(25);
  timer_.setTimerType(Qt::PreciseTimer);
  QObject::connect(&timer_, &QTimer::timeout, [this] { Tick(); });
}

int TMMAnimationTimer::Register(TCallback callback) {
  auto e = std::make_unique<Entry>();
  e->id = nextId_++;
  e->callback = std::move(callback);
  entries_.push_back(std::move(e));
  return entries_.back()->id;
}

void TMMAnimationTimer::Unregister(int id) {
  std::erase_if(entries_, [id](const auto& e) { return e->id == id; });
  if (entries_.empty()) timer_.stop();
}

void TMMAnimationTimer::Activate(int id) {
  for (auto& e : entries_)
    if (e->id == id && !e->active) {
      e->active = true;
      e->last = QDateTime::currentMSecsSinceEpoch();
    }
  if (!timer_.isActive()) timer_.start();
}

void TMMAnimationTimer::Suspend(int id, bool suspended) {
  for (auto& e : entries_)
    if (e->id == id) e->suspended = std::max(0, e->suspended + (suspended ? 1 : -1));
}

void TMMAnimationTimer::Tick() {
  const qint64 now = QDateTime::currentMSecsSinceEpoch();
  bool any = false;
  for (std::size_t i = 0; i < entries_.size(); ++i) {
    Entry& e = *entries_[i];
    if (!e.active) continue;
    const int steps = static_cast<int>((now - e.last) / 25);
    if (steps <= 0) {
      any = true;
      continue;
    }
    e.last += 25LL * steps;
    if (e.suspended > 0) {
      any = true;
      continue;
    }
    e.active = e.callback(steps);
    any = any || e.active;
  }
  if (!any) timer_.stop();
}

// --- the control -------------------------------------------------------------------

TMMSpectrum::TMMSpectrum(QWidget* parent) : TMMDIBGraphicControl(parent) {
  analysis_.OnPcmOverflow = [this] {
    if (OnPcmOverflow) OnPcmOverflow(this);
  };
  analysis_.OnGainOverflow = [this] {
    if (OnGainOverflow) OnGainOverflow(this);
  };
  analysis_.OnGetXScale = [this](std::int32_t* first, std::int32_t* end, std::int32_t) {
    if (!OnGetXScale) return false;
    OnGetXScale(this, first, end);
    return true;
  };
  animation_ = TMMAnimationTimer::Instance().Register([this](int steps) {
    bool up = false;
    for (int i = 0; i < steps; ++i) up = analysis_.PeakTick();
    PaintNow();
    return up;
  });
  resize(194, 89);
  ResizeArea();  // a hidden control hears of its size only when shown
}

TMMSpectrum::~TMMSpectrum() {
  DetachFromConnectors();
  TMMAnimationTimer::Instance().Unregister(animation_);
}

void TMMSpectrum::Changed() {
  inactiveDirty_ = true;
  Redraw();
}

void TMMSpectrum::SetEnabled(bool value) {
  if (value == enabled_) return;
  enabled_ = value;
  TMMAnimationTimer::Instance().Suspend(animation_, !value);
  ResetDisplay();
}

void TMMSpectrum::SetKind(TMMSpectrumKind value) {
  analysis_.SetKind(value);
  Changed();
}

void TMMSpectrum::SetFFTLength(std::int32_t value) {
  analysis_.SetFFTLength(value);
  ResetDisplay();
}

void TMMSpectrum::SetZoneColor(TColor& field, TColor color) {
  if (field == color) return;
  field = color;
  Changed();
}

void TMMSpectrum::SetSpace(std::int32_t value) {
  if (!InRange(value, 0, 5)) return;
  space_ = value;
  Changed();
}

void TMMSpectrum::SetDrawInactive(bool value) {
  drawInactive_ = value;
  Changed();
}

void TMMSpectrum::SetActiveDoted(bool value) {
  activeDoted_ = value;
  Changed();
}

void TMMSpectrum::SetInactiveDoted(bool value) {
  inactiveDoted_ = value;
  Changed();
}

void TMMSpectrum::SetDataFormat(const TWaveFormatEx* format) {
  if (!IsValidPcmFormat(format)) throw EMMSpectrumError(LoadResString(msg::InvalidWaveFormat));
  analysis_.SetSampleRate(static_cast<std::int32_t>(format->nSamplesPerSec));
  analysis_.SetBitLength(format->wBitsPerSample == 16 ? TMMBits::b16Bit : TMMBits::b8Bit);
  analysis_.SetMode(format->nChannels == 2 ? TMMMode::mStereo : TMMMode::mMono);
}

void TMMSpectrum::ProcessFrame(const void* data) {
  if (!enabled_ || !isVisible() || analysis_.InfoMode) return;
  analysis_.PixelPeaks = static_cast<bool>(OnDrawBar);
  analysis_.ProcessFrame(data);
  for (const auto& bar : analysis_.Bars()) {
    if (bar.Start < 0) break;
    if (bar.Peak > 0) {
      TMMAnimationTimer::Instance().Activate(animation_);
      break;
    }
  }
  fresh_ = true;
  if (analysis_.Kind() == TMMSpectrumKind::skScroll) {  // every frame moves the picture
    Compose();
    ShowSurface();
    return;
  }
  PaintNow();
}

void TMMSpectrum::SetDrawGrid(bool value) {
  drawGrid_ = value;
  Redraw();
}

void TMMSpectrum::SetGridColor(TColor value) {
  gridColor_ = value;
  Redraw();
}

int TMMSpectrum::AmpIntervals() const {
  int n = analysis_.LogAmp() ? 6 : 10;
  while (analysis_.AreaHeight() / n < 10 && n > 1) --n;
  return n;
}

int TMMSpectrum::FreqIntervals() const { return ScaleIntervals(analysis_.Columns()); }

QMargins TMMSpectrum::Strips() const { return ScaleStrips(drawAmpScale_, drawFreqScale_); }

void TMMSpectrum::ApplyMinimumSize() {
  SetScaleMinimumSize(5, drawAmpScale_, drawFreqScale_);
  ResizeArea();
  Redraw();
}

void TMMSpectrum::SetDrawAmpScale(bool value) {
  drawAmpScale_ = value;
  ApplyMinimumSize();
}

void TMMSpectrum::SetDrawFreqScale(bool value) {
  drawFreqScale_ = value;
  ApplyMinimumSize();
}

void TMMSpectrum::SetScaleTextColor(TColor value) {
  scaleTextColor_ = value;
  update();
}

void TMMSpectrum::SetScaleLineColor(TColor value) {
  scaleLineColor_ = value;
  update();
}

void TMMSpectrum::PaintScales(QPainter& painter) {
  const auto& a = analysis_;
  const QRect area = Area();
  const int b = TotalBevelWidth();
  const int W = a.Columns(), H = a.AreaHeight();
  painter.save();
  painter.setFont(MMFont("ARIAL", -10));
  const QFontMetrics m = painter.fontMetrics();
  const QColor line = ToQColor(scaleLineColor_), text = ToQColor(scaleTextColor_);
  char label[32];
  if (drawAmpScale_) {
    const int n = AmpIntervals();
    const double v = a.VerticalScale() / 100.0;
    for (int k = 0; k <= n; ++k) {
      const int y = area.top() + (a.LogAmp() ? k * (H - 1) / n : H - 1 - static_cast<int>(k * v * 32760 / n / (v * 32768 / H)));
      painter.setPen(line);
      painter.drawLine(area.left() - b - 4, y, area.left() - b - 1, y);
      painter.drawLine(area.right() + b + 1, y, area.right() + b + 4, y);
      painter.setPen(text);
      for (int side = 0; side < 2; ++side) {
        if (a.LogAmp())
          std::snprintf(label, sizeof label, side == 0 ? "%d" : "%2.d", static_cast<int>(std::nearbyint((6.0 * k / n) * -10)));
        else
          std::snprintf(label, sizeof label, a.VerticalScale() <= 9 ? "%5.3f" : "%4.2f", v * k / n);
        const QString s = QString::fromLatin1(label).trimmed();
        const int w = m.horizontalAdvance(s);
        const int x = side == 0 ? area.left() - b - 6 - w : area.right() + b + 6;
        painter.drawText(QPoint(x, std::clamp(y + m.ascent() / 2, m.ascent(), height() - m.descent() - 1)), s);
      }
    }
  }
  if (drawFreqScale_) {
    const int intervals = FreqIntervals();
    const int bottom = area.bottom() + b + 1;
    const double fmin = a.MinFrequency(), half = a.SampleRate() / 2.0;
    for (int k = 0; k <= intervals; ++k) {
      const int x = area.left() + static_cast<int>(std::nearbyint(static_cast<double>(k) * (W - 1) / intervals));
      painter.setPen(line);
      painter.drawLine(x, bottom, x, bottom + 2);
      const double f = a.LogFreq() ? fmin * std::exp(k * std::log(a.FFTLength() / 2.0) / (intervals * a.FrequencyScale()))
                                   : fmin + k * (half - fmin) / intervals / a.FrequencyScale();
      std::snprintf(label, sizeof label, "%.0f", f);
      painter.setPen(text);
      painter.save();
      painter.translate(x + m.ascent() / 2, bottom + 4);
      painter.rotate(90);  // upright text below the tick
      painter.drawText(QPoint(0, 0), QString::fromLatin1(label));
      painter.restore();
    }
  }
  if (drawAmpScale_ && drawFreqScale_) {
    painter.setPen(text);
    const int y = rect().bottom() - m.descent();
    painter.drawText(QPoint(2, y), a.LogAmp() ? QStringLiteral("db") : QStringLiteral("V"));
    painter.drawText(QPoint(rect().right() - m.horizontalAdvance(QStringLiteral("Hz")) - 1, y), QStringLiteral("Hz"));
  }
  painter.restore();
}

// Dotted lines at the amplitude and frequency ticks the scales carry.
void TMMSpectrum::DrawGridLines(TMMDIBCanvas& c) {
  const auto& a = analysis_;
  const int W = a.Columns(), H = a.AreaHeight();
  c.SetPixelValue(Pixel(gridColor_));
  const int n = AmpIntervals();
  for (int k = 0; k <= n; ++k) {
    int y;
    if (a.LogAmp()) {
      y = k * (H - 1) / n;
    } else {
      const double v = a.VerticalScale() / 100.0;
      y = H - 1 - static_cast<int>(k * v * 32760 / n / (v * 32768 / H));
    }
    c.DottedHLine(0, W - 1, y, 1);
  }
  const int intervals = FreqIntervals();
  for (int k = 0; k <= intervals; ++k)
    c.DottedVLine(static_cast<int>(std::nearbyint(static_cast<double>(k) * (W - 1) / intervals)), 0, H - 1, 1);
}

void TMMSpectrum::SetDisplayPeak(bool value) {
  displayPeak_ = value;
  update();
}

void TMMSpectrum::ResetDisplay() {
  if (analysis_.InfoMode) LeaveInfoMode();
  analysis_.ResetData();
  if (enabled_ && OnNeedData) OnNeedData(this);
  Redraw();
}

void TMMSpectrum::ResizeArea() {
  TMMDIBGraphicControl::ResizeArea();
  TMMAnimationTimer::Instance().Suspend(animation_, true);
  analysis_.SetArea(Area().width(), Area().height());
  TMMAnimationTimer::Instance().Suspend(animation_, false);
  inactive_.SetSize(analysis_.Columns(), analysis_.AreaHeight());
  inactiveDirty_ = true;
  if (enabled_ && OnNeedData) OnNeedData(this);
}

void TMMSpectrum::DrawInactiveCanvas() {
  inactive_.BeginDraw();
  inactive_.SetColor(ToQColor(Color()).rgb());
  inactive_.Clear();
  const auto& a = analysis_;
  const std::int32_t H = a.AreaHeight();
  std::int32_t pixel[3];
  for (int z = 0; z < 3; ++z) pixel[z] = static_cast<std::int32_t>(inactive_.MapColor(ToQColor(inactiveColor_[z]).rgb()));
  for (const auto& bar : a.Bars()) {
    if (bar.Start < 0) break;
    int x1 = bar.Start, x2 = bar.End - 1;
    if (space_ < bar.End - bar.Start) x1 += space_ / 2, x2 -= space_ - space_ / 2;
    for (std::int32_t j = 1; j <= a.Spots(); ++j) {
      const int bottom = H - 1 - (a.BottomMargin() + (j - 1) * (a.SpotHeight() + a.SpotSpace()));
      inactive_.SetPixelValue(static_cast<std::uint32_t>(pixel[a.ZoneOf(j)]));
      if (inactiveDoted_)
        inactive_.DottedFillRect(x1, bottom - a.SpotHeight() + 1, x2 + 1, bottom + 1);
      else
        inactive_.FillRect(x1, bottom - a.SpotHeight() + 1, x2 + 1, bottom + 1);
    }
  }
  inactive_.EndDraw();
  inactiveDirty_ = false;
}

void TMMSpectrum::DrawBarsKind(TMMDIBCanvas& c) {
  const auto& a = analysis_;
  const std::int32_t H = a.AreaHeight();
  std::uint32_t lit[3], unlit[3];
  for (int z = 0; z < 3; ++z) {
    lit[z] = Pixel(barColor_[z]);
    unlit[z] = Pixel(inactiveColor_[z]);
  }
  const bool peaksOnly = a.Kind() == TMMSpectrumKind::skPeaks;
  auto spot = [&](int x1, int x2, std::int32_t j, bool doted) {
    const int bottom = H - 1 - (a.BottomMargin() + (j - 1) * (a.SpotHeight() + a.SpotSpace()));
    const int top = bottom - a.SpotHeight() + 1;
    if (doted)
      c.DottedFillRect(x1, top, x2 + 1, bottom + 1);
    else
      c.FillRect(x1, top, x2 + 1, bottom + 1);
  };
  for (const auto& bar : a.Bars()) {
    if (bar.Start < 0) break;
    int x1 = bar.Start, x2 = bar.End - 1;
    if (space_ < bar.End - bar.Start) x1 += space_ / 2, x2 -= space_ - space_ / 2;
    const std::int32_t s = a.LevelToSpots(bar.Level);
    for (std::int32_t j = peaksOnly ? s : 1; j >= 1 && j <= s; ++j) {
      c.SetPixelValue(enabled_ ? lit[a.ZoneOf(j)] : unlit[0]);
      spot(x1, x2, j, activeDoted_);
    }
    if (a.NumPeaks() > 0 && s < bar.Peak) {
      const std::int32_t count = std::min(a.NumPeaks(), bar.Peak);
      for (std::int32_t j = bar.Peak; j > bar.Peak - count; --j) {
        c.SetPixelValue(lit[a.ZoneOf(j)]);
        spot(x1, x2, j, false);
      }
    }
  }
}

void TMMSpectrum::DrawFrame() {
  TMMDIBCanvas& c = Surface();
  const bool frame = fresh_;
  if (!fresh_) analysis_.BuildBars();  // a repaint: the bars of the current bins
  fresh_ = false;
  const auto& a = analysis_;
  const bool barsKind = a.Kind() == TMMSpectrumKind::skBars || a.Kind() == TMMSpectrumKind::skPeaks;
  const QRect whole(0, 0, a.Columns(), a.AreaHeight());
  if (OnDrawBar || (a.Kind() == TMMSpectrumKind::skScroll && !frame)) {
    if (OnClearBackground)
      OnClearBackground(this, &c, whole);
    else
      DrawBackground();
  } else if (a.Kind() == TMMSpectrumKind::skScroll && frame) {
    c.CopyRect(0, 2, c, 0, 0, a.Columns(), a.AreaHeight() - 2);  // the picture moves down
    c.SetPixelValue(Pixel(Color()));
    c.FillRect(0, 0, a.Columns(), 2);
  } else if (barsKind && drawInactive_) {
    if (inactiveDirty_) {
      c.EndDraw();
      DrawInactiveCanvas();
      c.BeginDraw();
    }
    c.CopyRect(0, 0, inactive_, 0, 0, a.Columns(), a.AreaHeight());
  } else {
    DrawBackground();
  }
  if (drawGrid_ && a.Kind() != TMMSpectrumKind::skScroll) DrawGridLines(c);
  const std::int32_t H = a.AreaHeight();
  auto zoneColor = [&](int zone) { return Pixel(enabled_ ? barColor_[zone] : inactiveColor_[0]); };
  switch (a.Kind()) {
    case TMMSpectrumKind::skBars:
    case TMMSpectrumKind::skPeaks:
      if (OnDrawBar) {
        for (const auto& bar : a.Bars()) {
          if (bar.Start < 0) break;
          OnDrawBar(this, &c, QRect(bar.Start, 0, bar.End - bar.Start, H), bar.Level, bar.Peak);
        }
      } else {
        DrawBarsKind(c);
      }
      break;
    case TMMSpectrumKind::skDots:
      for (const auto& bar : a.Bars()) {
        if (bar.Start < 0) break;
        const int row = Clamp(H - bar.Level - 1, 0, H - 1);
        c.SetPixelValue(zoneColor(a.ZoneOf(row)));
        c.HLine(bar.Start, bar.End - 1, row);
      }
      break;
    case TMMSpectrumKind::skLines:
    case TMMSpectrumKind::skScroll: {
      const bool scroll = a.Kind() == TMMSpectrumKind::skScroll;
      for (int pass = 0; pass < (scroll || a.NumPeaks() == 0 ? 1 : 2); ++pass) {
        int px = -1, py = 0;
        for (const auto& bar : a.Bars()) {
          if (bar.Start < 0) break;
          const int x = bar.Start + (bar.End - bar.Start) / 2;
          const int v = pass == 0 ? bar.Level : bar.Peak;
          const int row = scroll ? Clamp(H / 3 - v, 0, H - 1) : Clamp(H - v - 1, 0, H - 1);
          if (px < 0) px = x, py = row;
          // every pixel in the zone colour of its own height
          const int steps = std::max(std::abs(x - px), std::abs(row - py));
          for (int t = 0; t <= steps; ++t) {
            const int xx = steps ? px + (x - px) * t / steps : x;
            const int yy = steps ? py + (row - py) * t / steps : row;
            c.SetPixelValue(zoneColor(a.ZoneOf(H - 1 - yy)));
            c.SetPixel(xx, yy);
          }
          px = x, py = row;
        }
      }
      break;
    }
    case TMMSpectrumKind::skVLines:
      for (const auto& bar : a.Bars()) {
        if (bar.Start < 0) break;
        int x1 = bar.Start, x2 = bar.End - 1;
        if (space_ < bar.End - bar.Start) x1 += space_ / 2, x2 -= space_ - space_ / 2;
        const int level = Clamp(bar.Level, 0, H - 1);
        for (int p = 0; p < level; ++p) {  // p pixels above the bottom
          c.SetPixelValue(zoneColor(a.ZoneOf(p)));
          c.HLine(x1, x2, H - 1 - p);
        }
      }
      break;
  }
}

// The readouts are painted over the copied surface, so that the surface itself stays
// the bars alone.
void TMMSpectrum::Paint(QPainter& painter) {
  TMMDIBGraphicControl::Paint(painter);
  if (!PaintingAreaOnly() && (drawAmpScale_ || drawFreqScale_)) PaintScales(painter);
  const QRect area = Area();
  painter.save();
  painter.setClipRect(area);
  if (displayPeak_ && !analysis_.InfoMode) {
    const std::string text = analysis_.PeakText();
    if (!text.empty()) {
      painter.setFont(MMFont("MS Sans Serif", -11, TFontStyles(TFontStyle::fsBold)));
      const QFontMetrics m = painter.fontMetrics();
      const int w = m.horizontalAdvance(QString::fromStdString(text));
      const int x = std::min(area.left() + analysis_.HighestColumn(), area.right() + 1 - w);
      const int y = area.bottom() - std::min(analysis_.HighestLevel(), area.height() - m.height());
      painter.setPen(ToQColor(clWhite));
      painter.drawText(QPoint(std::max(x, area.left()), y - m.descent()), QString::fromStdString(text));
    }
  }
  if (analysis_.InfoMode) {
    painter.setFont(MMFont("MS Sans Serif", -11));
    const QString text = QString::fromStdString(analysis_.InfoText(info_.x(), info_.y()));
    const QFontMetrics m = painter.fontMetrics();
    QRect box(0, 0, m.horizontalAdvance(text) + 4, m.height() + 2);
    int top = info_.y() + 15;
    if (top + box.height() > area.height()) top -= 40;
    const int left = std::min(info_.x(), area.width() - box.width());
    box.moveTo(area.left() + std::max(left, 0), area.top() + std::max(top, 0));
    painter.fillRect(box, ToQColor(clWhite));
    painter.setPen(ToQColor(clBlack));
    painter.drawRect(box.adjusted(0, 0, -1, -1));
    painter.drawText(box, Qt::AlignCenter, text);
  }
  painter.restore();
}

void TMMSpectrum::mousePressEvent(QMouseEvent* event) {
  TMMDIBGraphicControl::mousePressEvent(event);
  if (event->button() != Qt::LeftButton || !showInfo_ || !enabled_) return;
  analysis_.InfoMode = true;  // frames and peak fall-off wait
  mouseMoveEvent(event);
}

void TMMSpectrum::mouseMoveEvent(QMouseEvent* event) {
  if (event->type() == QEvent::MouseMove) TMMDIBGraphicControl::mouseMoveEvent(event);
  if (!analysis_.InfoMode) return;
  const QPoint p = event->position().toPoint() - Area().topLeft();
  info_ = QPoint(Clamp(p.x(), 0, analysis_.Columns() - 1), Clamp(p.y(), 0, analysis_.AreaHeight() - 1));
  update();
}

void TMMSpectrum::mouseReleaseEvent(QMouseEvent* event) {
  TMMDIBGraphicControl::mouseReleaseEvent(event);
  if (event->button() == Qt::LeftButton && analysis_.InfoMode) LeaveInfoMode();
}

void TMMSpectrum::LeaveInfoMode() {
  analysis_.InfoMode = false;
  update();
}

}  // namespace strataeq
