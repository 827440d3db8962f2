#include "eq/MMEQFit.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <filesystem>
#include <numbers>

#include "eq/MMFFTFlt.h"
#include "foundation/MMPCMSup.h"

namespace strataeq {
namespace {

// The fit also looks below the 20 Hz where the error is measured, so that the lowest
// bins follow the curve's bass instead of drifting where the error grid cannot see.
constexpr double kFitLowest = 5, kLowest = 20, kHighest = 20000;
constexpr int kGridPerOctave = 48;
constexpr double kFollowDb = 1.0;
constexpr std::int32_t kMinRate = 4000, kMaxRate = 100000;  // the equalizer's
// Pulls a band that the response hardly sees towards the target at its centre instead
// of letting it run to an extreme; small enough not to bias a band the response sees.
constexpr double kRegularization = 1e-4;
// Beyond kFreeDb from that target a band is pulled back hard: a band owning one or two
// bins of a short filter went to -40 or -72 dB for a tenth of a dB of fit, and would
// cut that much at any longer FFT length. Each dB over weighs as one grid point's dB of
// error (the grid has about 580 points).
constexpr double kFreeDb = 3, kPull = 1.0;

// The pull's cost of a band kept d dB from its start, and its first and second
// derivatives halved, as the fit's normal equations take them.
struct TPull {
  double cost, slope, curvature;
};
TPull PullOf(double d) {
  const double over = std::max(std::abs(d) - kFreeDb, 0.0);
  return {kRegularization * d * d + kPull * over * over, kRegularization * d + kPull * std::copysign(over, d),
          kRegularization + (over > 0 ? kPull : 0.0)};
}

std::string Fixed(double v, int decimals) {
  char buf[64];
  const auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed, decimals);
  std::string s(buf, r.ptr);
  return s == "-0.0" || s == "-0.00" || s == "-0" ? s.substr(1) : s;
}

// 1/48 octave from kFitLowest to top, rounded to 0.01 Hz as the export writes them.
std::vector<double> FitGrid(double top = kHighest) {
  std::vector<double> f;
  const int n = static_cast<int>(std::ceil(std::log2(top / kFitLowest) * kGridPerOctave));
  for (int i = 0; i <= n; ++i)
    f.push_back(std::round(std::min(top, kFitLowest * std::exp2(double(i) / kGridPerOctave)) * 100) / 100);
  return f;
}

std::string Hz(double f) { return f >= 1000 ? Fixed(f / 1000, f >= 10000 ? 0 : 1) + " kHz" : Fixed(f, 0) + " Hz"; }

double Db(double amplitude) { return 20 * std::log10(std::max(std::abs(amplitude), 1e-12)); }

// The filter's response at chosen frequencies, from the response it designs: the taps
// are the inverse transform of the designed response, evaluated at each frequency
// about their centre tap N/4 (the response is linear-phase, so it is real there).
class TResponseModel {
 public:
  TResponseModel(std::int32_t sampleRate, std::int32_t fftLength, TMMFFTWindow window,
                 const std::vector<double>& frequencies)
      : window_(window), count_(frequencies.size()) {
    const TWaveFormatEx format = BuildPcmFormat(16, 1, static_cast<std::uint32_t>(sampleRate));
    filter_ = CreateFFTFilter(&format, fftLength, 0);
    if (!filter_) throw std::bad_alloc();
    SetFilterWindow(filter_.get(), window);
    const int n = filter_->BlockLength, taps = n / 2 + 1;
    work_ = detail::AllocFloats(2 * static_cast<std::size_t>(n));
    cos_.resize(count_ * static_cast<std::size_t>(taps));
    for (std::size_t k = 0; k < count_; ++k)
      for (int j = 0; j < taps; ++j)
        cos_[k * static_cast<std::size_t>(taps) + static_cast<std::size_t>(j)] =
            std::cos(2 * std::numbers::pi * frequencies[k] * (j - n / 4) / sampleRate);
  }

  int BlockLength() const { return filter_->BlockLength; }
  std::int32_t SampleRate() const { return filter_->SampleRate; }

  // Linear gains of bins 0 .. N/2.
  std::vector<double> Amplitude(const std::vector<float>& gains) {
    for (int m = 0; m <= filter_->HalfBlock; ++m) filter_->Gains[m] = gains[static_cast<std::size_t>(m)];
    SetFilterWindow(filter_.get(), window_);
    return FromResponse();
  }

  std::vector<double> Bands(const std::vector<TEQBand>& bands) {
    Design(bands);
    return FromResponse();
  }

  // The largest gain of the bands' response from 0 Hz to half the rate, from a
  // transform of the taps 16 times longer than the block (peaks between bins count).
  double PeakDb(const std::vector<TEQBand>& bands) {
    Design(bands);
    const int n = filter_->BlockLength;
    int k = 0;
    while ((1 << k) < 16 * n) ++k;
    const PComplexFFT fft = CreateComplexFFT(k);
    detail::AlignedFloats buf = detail::AllocFloats(2 * (std::size_t{1} << k));
    std::copy(filter_->Response.get(), filter_->Response.get() + 2 * n, work_.get());
    ComplexFFT(filter_->FFT.get(), work_.get(), -1);
    for (int j = 0; j <= n / 2; ++j) buf[2 * static_cast<std::size_t>(j)] = work_[2 * static_cast<std::size_t>(j)];
    ComplexFFT(fft.get(), buf.get(), 1);
    double peak = 0;
    for (std::size_t m = 0; m <= (std::size_t{1} << k) / 2; ++m) peak = std::max<double>(peak, std::hypot(buf[2 * m], buf[2 * m + 1]));
    return Db(peak);
  }

 private:
  std::vector<double> FromResponse() {
    const int n = filter_->BlockLength, taps = n / 2 + 1;
    std::copy(filter_->Response.get(), filter_->Response.get() + 2 * n, work_.get());
    ComplexFFT(filter_->FFT.get(), work_.get(), -1);
    std::vector<double> a(count_);
    for (std::size_t k = 0; k < count_; ++k) {
      const double* c = &cos_[k * static_cast<std::size_t>(taps)];
      double sum = 0;
      for (int j = 0; j < taps; ++j) sum += work_[2 * static_cast<std::size_t>(j)] * c[j];
      a[k] = sum;
    }
    return a;
  }

  void Design(const std::vector<TEQBand>& bands) {
    SetFilterBand(filter_.get(), 0, static_cast<float>(filter_->SampleRate / 2), 0);
    for (const TEQBand& b : bands) SetFilterBand(filter_.get(), b.F1, b.F2, b.Gain);
  }

  PFFTFilter filter_;
  TMMFFTWindow window_;
  std::size_t count_;
  detail::AlignedFloats work_;
  std::vector<double> cos_;
};

std::vector<TEQBand> WindowBands() {
  TMMEQFilterList list;
  LoadDefaultBandList(list);
  return EnabledBands(list);
}

// The first bin a band starting at f gets.
int FirstBin(std::int32_t rate, int n, float f) {
  int first = 0, last = 0;
  FilterBandBins(rate, n, f, static_cast<float>(rate / 2), first, last);
  return first;
}

// Bands from 0 Hz to half the rate with edges between the given centres, each owning at
// least one bin of its own (a later band wins the bin it shares with the one before).
std::vector<TEQBand> ExactBands(const std::vector<double>& centres, std::int32_t rate, int n) {
  const float top = static_cast<float>(rate / 2);
  std::vector<float> edges{0};
  for (std::size_t i = 1; i < centres.size(); ++i) {
    const float e = static_cast<float>(std::sqrt(centres[i - 1] * centres[i]));
    if (e < top && FirstBin(rate, n, e) > FirstBin(rate, n, edges.back())) edges.push_back(e);
  }
  std::vector<TEQBand> bands;
  for (std::size_t i = 0; i < edges.size(); ++i)
    bands.push_back({edges[i], i + 1 < edges.size() ? edges[i + 1] : top, 0});
  return bands;
}

// Solves a x = b for a symmetric positive definite a (n x n, row-major) in place.
bool Cholesky(std::vector<double>& a, std::vector<double>& b, std::size_t n) {
  for (std::size_t j = 0; j < n; ++j) {
    double d = a[j * n + j];
    for (std::size_t k = 0; k < j; ++k) d -= a[j * n + k] * a[j * n + k];
    if (!(d > 0)) return false;
    d = std::sqrt(d);
    a[j * n + j] = d;
    for (std::size_t i = j + 1; i < n; ++i) {
      double s = a[i * n + j];
      for (std::size_t k = 0; k < j; ++k) s -= a[i * n + k] * a[j * n + k];
      a[i * n + j] = s / d;
    }
  }
  for (std::size_t i = 0; i < n; ++i) {
    double s = b[i];
    for (std::size_t k = 0; k < i; ++k) s -= a[i * n + k] * b[k];
    b[i] = s / a[i * n + i];
  }
  for (std::size_t i = n; i-- > 0;) {
    double s = b[i];
    for (std::size_t k = i + 1; k < n; ++k) s -= a[k * n + i] * b[k];
    b[i] = s / a[i * n + i];
  }
  return true;
}

double GainOf(double db) { return std::pow(10.0, (db + 6) / 20); }

// Levenberg-Marquardt on the band gains in dB, bounded to -99 .. 16 dB: the response
// is linear in the bins' linear gains, so each band contributes its own basis
// response times its gain, and the residual is the response in dB minus the target.
void FitGains(std::vector<double>& x, const std::vector<double>& start, const std::vector<std::vector<double>>& basis,
              const std::vector<double>& rest, const std::vector<double>& target) {
  const std::size_t p = x.size(), k = target.size();
  if (p == 0) return;
  auto cost = [&](const std::vector<double>& v, std::vector<double>* amp) {
    std::vector<double> a = rest;
    for (std::size_t b = 0; b < p; ++b) {
      const double g = GainOf(v[b]);
      for (std::size_t i = 0; i < k; ++i) a[i] += g * basis[b][i];
    }
    double c = 0;
    for (std::size_t i = 0; i < k; ++i) c += (Db(a[i]) - target[i]) * (Db(a[i]) - target[i]);
    for (std::size_t b = 0; b < p; ++b) c += PullOf(v[b] - start[b]).cost;
    if (amp) *amp = std::move(a);
    return c;
  };
  std::vector<double> amp;
  double current = cost(x, &amp);
  double mu = 1e-3;
  std::vector<double> jac(k * p), h(p * p), g(p), step(p), trial(p);
  for (int iteration = 0; iteration < 200; ++iteration) {
    for (std::size_t b = 0; b < p; ++b) {
      const double gain = GainOf(x[b]);
      for (std::size_t i = 0; i < k; ++i) {
        const double a = std::abs(amp[i]) > 1e-12 ? amp[i] : 1e-12;
        jac[i * p + b] = gain * basis[b][i] / a;  // d(dB) / d(gain dB)
      }
    }
    std::fill(h.begin(), h.end(), 0.0);
    std::fill(g.begin(), g.end(), 0.0);
    for (std::size_t i = 0; i < k; ++i) {
      const double r = Db(amp[i]) - target[i];
      const double* row = &jac[i * p];
      for (std::size_t b = 0; b < p; ++b) {
        if (row[b] == 0) continue;
        g[b] += row[b] * r;
        for (std::size_t c = b; c < p; ++c) h[b * p + c] += row[b] * row[c];
      }
    }
    for (std::size_t b = 0; b < p; ++b) {
      const TPull pull = PullOf(x[b] - start[b]);
      g[b] += pull.slope;
      h[b * p + b] += pull.curvature;
      for (std::size_t c = 0; c < b; ++c) h[b * p + c] = h[c * p + b];
    }
    bool accepted = false;
    double previous = current;
    while (mu < 1e10) {
      std::vector<double> m = h;
      for (std::size_t b = 0; b < p; ++b) {
        m[b * p + b] += mu * h[b * p + b];
        step[b] = -g[b];
      }
      if (Cholesky(m, step, p)) {
        for (std::size_t b = 0; b < p; ++b) trial[b] = std::clamp(x[b] + step[b], kEQTextMinGain, kEQTextMaxGain);
        std::vector<double> trialAmp;
        const double c = cost(trial, &trialAmp);
        if (c < current) {
          x = trial;
          amp = std::move(trialAmp);
          current = c;
          mu = std::max(mu / 3, 1e-9);
          accepted = true;
          break;
        }
      }
      mu *= 4;
    }
    if (!accepted || previous - current < 1e-10 * (1 + previous)) break;
  }
}

std::string BaseName(const std::string& path) { return std::filesystem::path(path).filename().string(); }

bool IsSqp(const std::string& fileName) {
  std::string ext = std::filesystem::path(fileName).extension().string();
  for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return ext == ".sqp";
}

}  // namespace

std::vector<TEQBand> EnabledBands(const TMMEQFilterList& list) {
  std::vector<TEQBand> bands;
  for (std::int32_t i = 0; i < list.Count(); ++i) {
    const TMMEQFilter* b = list.Band(i);
    if (b->Enabled()) bands.push_back({b->F1(), b->F2(), b->Gain()});
  }
  return bands;
}

std::vector<double> DesignedResponseDb(const std::vector<TEQBand>& bands, std::int32_t sampleRate,
                                       std::int32_t fftLength, TMMFFTWindow window,
                                       const std::vector<double>& frequencies) {
  TResponseModel model(sampleRate, fftLength, window, frequencies);
  std::vector<double> db = model.Bands(bands);
  for (double& v : db) v = Db(v);
  return db;
}

TEQFit FitEQText(const TEQText& text, const TEQFitOptions& given, const std::string& sourceName) {
  TEQFitOptions options = given;
  if (options.FFTLength <= 0) options.FFTLength = text.FFTLength > 0 ? text.FFTLength : 1024;
  TEQFit fit;
  fit.FFTLength = options.FFTLength;
  const std::int32_t rate = std::clamp(options.SampleRate, kMinRate, kMaxRate);
  fit.ErrorTo = std::min(kHighest, std::floor(rate / 2.0));
  const std::vector<double> grid = FitGrid(fit.ErrorTo);
  TResponseModel model(rate, options.FFTLength, options.Window, grid);
  const int n = model.BlockLength(), bins = n / 2 + 1;

  // Headroom: the target's peak over everything the filter passes.
  double peak = -HUGE_VAL;
  for (double f = 1; f <= rate / 2.0; f *= std::exp2(1.0 / 96)) peak = std::max(peak, text.TargetDb(f));
  peak = std::max(peak, text.TargetDb(rate / 2.0));
  // A text with its own preamp has chosen its headroom: it is kept as it is.
  const bool autoHeadroom = !text.HasPreamp;
  fit.CurveHeadroomDb = peak > 0 && autoHeadroom ? -peak : 0;
  std::vector<double> target(grid.size());
  for (std::size_t i = 0; i < grid.size(); ++i) target[i] = text.TargetDb(grid[i]) + fit.CurveHeadroomDb;
  auto targetAt = [&](double f) { return std::clamp(text.TargetDb(f) + fit.CurveHeadroomDb, kEQTextMinGain, kEQTextMaxGain); };

  if (options.Bands == TEQFitBands::fbWindow) {
    fit.Bands = WindowBands();
  } else {
    std::vector<double> centres;
    if (text.IsGraphic() && text.Filters.empty()) {
      for (const TEQTextPoint& p : text.Points) centres.push_back(p.Frequency);
    } else {
      for (double f = kLowest; f <= kHighest * 1.001; f *= std::exp2(1.0 / kGridPerOctave)) centres.push_back(f);
    }
    fit.Bands = ExactBands(centres, rate, n);
  }

  // Which band owns each bin (-1: the flat 0 dB underneath), later bands winning.
  std::vector<int> owner(static_cast<std::size_t>(bins), -1);
  for (std::size_t b = 0; b < fit.Bands.size(); ++b) {
    int first = 0, last = -1;
    FilterBandBins(rate, n, fit.Bands[b].F1, fit.Bands[b].F2, first, last);
    for (int m = first; m <= last; ++m) owner[static_cast<std::size_t>(m)] = static_cast<int>(b);
  }
  std::vector<int> active;  // bands that own a bin
  std::vector<std::string> idle;
  for (std::size_t b = 0; b < fit.Bands.size(); ++b) {
    if (std::find(owner.begin(), owner.end(), static_cast<int>(b)) != owner.end()) {
      active.push_back(static_cast<int>(b));
    } else {
      idle.push_back(std::to_string(b + 1));
    }
    const TEQBand& band = fit.Bands[b];
    const double centre = band.F1 > 0 ? std::sqrt(double(band.F1) * band.F2) : band.F2 / 2.0;
    fit.Bands[b].Gain = static_cast<float>(targetAt(centre));
  }
  if (!idle.empty()) {
    std::string list;
    for (const auto& s : idle) list += (list.empty() ? "" : ", ") + s;
    fit.Warnings.push_back("band(s) " + list + " own no bin of the filter at FFT length " +
                           std::to_string(options.FFTLength) + " (bins of " + Fixed(double(rate) / n, 1) +
                           " Hz): their gains follow the target but do not act");
  }

  std::vector<std::vector<double>> basis;
  std::vector<float> gains(static_cast<std::size_t>(bins));
  for (int b : active) {
    for (int m = 0; m < bins; ++m) gains[static_cast<std::size_t>(m)] = owner[static_cast<std::size_t>(m)] == b ? 1.0f : 0.0f;
    basis.push_back(model.Amplitude(gains));
  }
  bool anyRest = false;
  for (int m = 0; m < bins; ++m) {
    const bool rest = owner[static_cast<std::size_t>(m)] < 0;
    anyRest |= rest;
    gains[static_cast<std::size_t>(m)] = rest ? static_cast<float>(GainOf(0)) : 0.0f;
  }
  const std::vector<double> restAmp = anyRest ? model.Amplitude(gains) : std::vector<double>(grid.size(), 0.0);
  std::vector<double> x, start;
  for (int b : active) x.push_back(fit.Bands[static_cast<std::size_t>(b)].Gain);
  start = x;
  FitGains(x, start, basis, restAmp, target);
  for (std::size_t i = 0; i < active.size(); ++i) fit.Bands[static_cast<std::size_t>(active[i])].Gain = static_cast<float>(x[i]);

  // No gain of the designed response above 0 dB anywhere, so a full-scale sine does not clip.
  for (int pass = 0; pass < 3; ++pass) {
    fit.ResponsePeakDb = model.PeakDb(fit.Bands);
    if (fit.ResponsePeakDb <= 0 || !autoHeadroom) break;
    const double lower = fit.ResponsePeakDb + 1e-4;
    fit.RippleHeadroomDb -= lower;
    for (TEQBand& b : fit.Bands) b.Gain = static_cast<float>(std::max(kEQTextMinGain, b.Gain - lower));
  }

  const auto response = DesignedResponseDb(fit.Bands, rate, options.FFTLength, options.Window, grid);
  double sum = 0;
  std::size_t counted = 0;
  fit.FollowsFrom = kLowest;
  for (std::size_t i = 0; i < grid.size(); ++i) {
    if (grid[i] < kLowest - 1e-6) continue;
    ++counted;
    const double e = response[i] - target[i];
    sum += e * e;
    if (std::abs(e) > fit.MaxError) {
      fit.MaxError = std::abs(e);
      fit.MaxErrorFrequency = grid[i];
    }
    if (std::abs(e) > kFollowDb) fit.FollowsFrom = i + 1 < grid.size() ? grid[i + 1] : grid[i];
  }
  fit.RmsError = std::sqrt(sum / static_cast<double>(counted));
  if (fit.FollowsFrom > kLowest) {
    const std::string below = "below " + Fixed(fit.FollowsFrom, 0) + " Hz the response misses the target by more than " +
                              Fixed(kFollowDb, 0) + " dB";
    if (options.Bands == TEQFitBands::fbExact)
      fit.Warnings.push_back(below + ": the filter (FFT length " + std::to_string(options.FFTLength) + ", " +
                             std::to_string(n / 2 + 1) + " taps at " + std::to_string(rate) +
                             " Hz) cannot follow finer detail there");
    else
      fit.Warnings.push_back(below + ": fifteen bands cannot follow the curve's detail (--bands exact follows it as "
                             "closely as the filter allows)");
  }

  std::string d = sourceName + " (" + text.Summary() + "): " + std::to_string(fit.Bands.size()) +
                  " bands fitted to the equalizer's response at " + std::to_string(rate) + " Hz, FFT length " +
                  std::to_string(options.FFTLength) + ". Headroom so that a full-scale input does not clip: ";
  std::string parts;
  if (text.HasPreamp) parts += "the preamp of " + Fixed(text.Preamp, 1) + " dB";
  if (peak > 0 && autoHeadroom)
    parts += std::string(parts.empty() ? "" : ", then ") + "the curve lowered by " + Fixed(peak, 1) +
             " dB to put its peak at 0 dB";
  if (fit.RippleHeadroomDb < 0)
    parts += std::string(parts.empty() ? "" : ", and ") + "every band lowered by " + Fixed(-fit.RippleHeadroomDb, 2) +
             " dB for the response's ripple";
  d += (parts.empty() ? std::string("none needed, the curve stays at or below 0 dB") : parts) + ". Fit error 20 Hz-" + Hz(fit.ErrorTo) + ": RMS " +
       Fixed(fit.RmsError, 2) + " dB, max " + Fixed(fit.MaxError, 2) + " dB at " + Fixed(fit.MaxErrorFrequency, 0) + " Hz.";
  fit.Description = d;
  return fit;
}

void ApplyFit(const TEQFit& fit, TMMEQFilterList& list) {
  TMMEQFilterList staged;
  staged.SetDescription(fit.Description);
  staged.SetFFTLength(fit.FFTLength);
  for (const TEQBand& b : fit.Bands) staged.Add(new TMMEQFilter(b.F1, b.F2, b.Gain));
  TMemoryStream stream;
  staged.WriteData(stream);
  stream.SetPosition(0);
  list.ReadData(stream);
}

namespace {

double BandCentre(const TMMEQFilter& b) { return (double(b.F1()) + b.F2()) / 2; }

// Within 1 dB or a quarter of the gain; a cut asked and given beyond 40 dB silences the
// band whatever its depth.
bool Reaches(double reached, double gain) {
  return std::abs(reached - gain) <= std::max(1.0, std::abs(gain) / 4) || (gain <= -40 && reached <= -40);
}

std::string SignedDb(double v) {
  std::string s = v >= 0 ? "+" : "";
  s += Fixed(v, std::abs(v) < 0.1 ? 2 : 1);
  s += " dB";
  return s;
}

}  // namespace

std::vector<TBandReach> UnreachedBands(const TMMEQFilterList& list, std::int32_t sampleRate, std::int32_t fftLength) {
  // The whole list's response at each asked band's centre: a band that owns no bin is
  // what its neighbours make of it there.
  std::vector<int> asked;
  std::vector<double> centres;
  for (std::int32_t i = 0; i < list.Count(); ++i) {
    const TMMEQFilter* b = list.Band(i);
    if (!b->Enabled() || std::abs(b->Gain()) < 0.05f || BandCentre(*b) >= sampleRate / 2.0) continue;
    asked.push_back(i);
    centres.push_back(BandCentre(*b));
  }
  std::vector<TBandReach> out;
  if (asked.empty()) return out;
  const std::vector<TEQBand> bands = EnabledBands(list);
  const std::int32_t used = std::min(fftLength, kMaxFilterBlock);
  auto response = [&](std::int32_t n) {
    return DesignedResponseDb(bands, sampleRate, n, TMMFFTWindow::fwHamming, centres);
  };
  const std::vector<double> now = response(used);
  for (std::size_t k = 0; k < asked.size(); ++k) {
    const double gain = list.Band(asked[k])->Gain();
    if (!Reaches(now[k], gain)) out.push_back({asked[k], gain, now[k], 0, used == kMaxFilterBlock ? now[k] : 0});
  }
  for (std::int32_t n = used * 2; n <= kMaxFilterBlock && !out.empty(); n *= 2) {
    const std::vector<double> longer = response(n);
    for (TBandReach& r : out) {
      const std::size_t k = static_cast<std::size_t>(std::find(asked.begin(), asked.end(), r.Band) - asked.begin());
      if (r.ReachingLength == 0 && Reaches(longer[k], r.Gain)) r.ReachingLength = n;
      if (n == kMaxFilterBlock) r.AtLongest = longer[k];
    }
  }
  return out;
}

std::string BandReachText(const TMMEQFilterList& list, const TBandReach& r, std::int32_t fftLength) {
  const TMMEQFilter* b = list.Band(r.Band);
  std::string s = "band " + std::to_string(r.Band + 1) + " (" + Hz(b->F1()) + " - " + Hz(b->F2()) + ") at ";
  s += SignedDb(r.Gain);
  s += " gives ";
  s += SignedDb(r.Reached);
  s += " at its centre with FFT length " + std::to_string(fftLength) + ": ";
  if (r.ReachingLength) return s + "FFT length " + std::to_string(r.ReachingLength) + " reaches it";
  if (fftLength >= kMaxFilterBlock) return s + "the filter uses no longer length";
  s += "no FFT length reaches it (" + std::to_string(kMaxFilterBlock) + ", the longest the filter uses, gives ";
  s += SignedDb(r.AtLongest);
  return s + ")";
}

std::vector<std::string> ClampPresetGains(TMMEQFilterList& list, const std::string& fileName) {
  std::vector<std::string> warnings;
  for (std::int32_t i = 0; i < list.Count(); ++i) {
    TMMEQFilter* band = list.Band(i);
    const double gain = band->Gain();
    if (gain >= kEQTextMinGain && gain <= kEQTextMaxGain) continue;
    const double held = std::clamp(gain, kEQTextMinGain, kEQTextMaxGain);
    warnings.push_back(fileName + ": band " + std::to_string(i + 1) + " (" + Hz(band->F1()) + " - " + Hz(band->F2()) +
                       ") is " + Fixed(gain, 1) + " dB, outside -99 .. 16 dB: clamped to " + Fixed(held, 0) + " dB");
    band->SetBandValue(2, static_cast<float>(held));
  }
  return warnings;
}

std::vector<std::string> LoadPresetFile(const std::string& fileName, TMMEQFilterList& list,
                                        const TEQFitOptions& options, TEQFit* fitOut) {
  std::string text;
  {
    TFileStream in(fileName, TFileMode::fmOpenRead);
    char signature[4] = {};
    const std::size_t got = in.Read(signature, 4);
    if ((got == 4 && std::equal(signature, signature + 4, "EQU\0")) || IsSqp(fileName)) {
      in.Close();
      list.LoadFromFile(fileName);
      return ClampPresetGains(list, fileName);
    }
    if (in.Size() > static_cast<std::int64_t>(kEQTextMaxBytes))
      throw EEQTextError(fileName + ": " + std::to_string(in.Size()) +
                         " bytes is more than an equalizer text holds (at most 1 MiB)");
    text.assign(signature, got);
    text.resize(static_cast<std::size_t>(in.Size()));
    if (in.Size() > 4) in.ReadBuffer(text.data() + 4, text.size() - 4);
  }
  const TEQText parsed = ParseEQText(text, fileName, options.SampleRate);
  TEQFit fit = FitEQText(parsed, options, BaseName(fileName));
  std::vector<std::string> warnings;
  for (const std::string& w : parsed.Warnings) warnings.push_back(fileName + ": " + w);
  for (const std::string& w : fit.Warnings) warnings.push_back(fileName + ": " + w);
  ApplyFit(fit, list);
  if (fitOut) *fitOut = std::move(fit);
  return warnings;
}

std::string ExportGraphicEQ(const TMMEQFilterList& list, std::int32_t sampleRate) {
  const std::vector<double> freqs = FitGrid();
  const auto db = DesignedResponseDb(EnabledBands(list), sampleRate, list.FFTLength(), TMMFFTWindow::fwHamming, freqs);
  std::vector<TEQTextPoint> points;
  for (std::size_t i = 0; i < freqs.size(); ++i)
    points.push_back({freqs[i], std::clamp(db[i], kEQTextMinGain, kEQTextMaxGain)});
  return "# StrataEq FFT length: " + std::to_string(list.FFTLength()) + "\nPreamp: 0 dB\n" + FormatGraphicEQ(points);
}

}  // namespace strataeq
