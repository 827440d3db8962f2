#include "display/MMSpectr.h"

#include <QTest>
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <vector>

#include "eq/MMObjLst.h"

namespace strataeq {
namespace {

constexpr double kPi = 3.14159265358979323846;

// 16-bit mono samples of a sine with `amplitude` at `frequency`.
std::vector<std::int16_t> Sine(int n, double amplitude, double frequency, double rate) {
  std::vector<std::int16_t> s(n);
  for (int i = 0; i < n; ++i) s[i] = static_cast<std::int16_t>(std::lround(amplitude * std::sin(2 * kPi * frequency * i / rate)));
  return s;
}

// An analyser of 16-bit mono data, dB scale, rectangular window.
void DbSetup(TMMSpectrumAnalysis& a, int rate, int n, int columns, int height) {
  a.SetBitLength(TMMBits::b16Bit);
  a.SetSampleRate(rate);
  a.SetWindow(TMMFFTWindow::fwRectangular);
  a.SetLogAmp(true);
  a.SetFFTLength(n);
  a.SetArea(columns, height);
}

std::int32_t BarLevelAtBin(const TMMSpectrumAnalysis& a, int bin) {
  for (const auto& bar : a.Bars()) {
    if (bar.Start < 0) break;
    const int first = a.FirstBin(bar.Start);
    const int end = a.EndBin(bar.Start) == 0 ? first + 1 : a.EndBin(bar.Start);
    if (bin >= first && bin < end) return bar.Level;
  }
  return -1;
}

TEST(SpectrumAnalysis, PropertyRanges) {
  TMMSpectrumAnalysis a;
  a.SetFFTLength(1000);
  EXPECT_EQ(a.FFTLength(), 512);
  a.SetFFTLength(5);
  EXPECT_EQ(a.FFTLength(), 8);
  a.SetFFTLength(10000);
  EXPECT_EQ(a.FFTLength(), 4096);
  a.SetDecay(7);
  EXPECT_NEAR(a.DecayFactor(), std::pow(0.0001, 1.0 / 128), 1e-6);
  EXPECT_NEAR(a.DecayFactor(), 0.93057, 1e-5);
  EXPECT_EQ(a.UniformLength(), 12);
  a.SetDecay(1);
  EXPECT_NEAR(a.DecayFactor(), 0.01, 1e-7);
  EXPECT_EQ(a.UniformLength(), 1);
}

// The 60 dB range against an independent DFT: a full-scale sine on a bin reaches the
// top, one 60 dB lower sits on the bottom line.
TEST(SpectrumAnalysis, FullScaleSineReachesTheTopAndSixtyDbLowerTheBottom) {
  const int n = 128, rate = 32000, bin = 8;
  const double f = bin * static_cast<double>(rate) / n;
  TMMSpectrumAnalysis a;
  DbSetup(a, rate, n, 64, 100);
  auto loud = Sine(n, 32767, f, rate);

  // Independent: the bin's magnitude from a direct DFT, and its log units.
  std::complex<double> x = 0;
  for (int i = 0; i < n; ++i) x += static_cast<double>(loud[i]) * std::polar(1.0, -2 * kPi * bin * i / n);
  const double magnitude = std::abs(x) / (n / 2);
  EXPECT_NEAR(magnitude, 32767, 2);
  const double units = 8192 * std::log2(magnitude * magnitude);
  EXPECT_NEAR(units, 245760, 10);

  a.ProcessFrame(loud.data());
  const double offset = std::floor((20 * std::log10(32768.0) - 60) * 819.2 * std::log(10.0) / std::log(2.0) + 0.5);
  EXPECT_NEAR(a.Bins()[bin], units - offset, 3);
  EXPECT_GE(BarLevelAtBin(a, bin), 99) << "top of a 100-pixel area";
  EXPECT_LE(BarLevelAtBin(a, bin), 100);
  EXPECT_EQ(a.HighestBin(), bin);

  auto quiet = Sine(n, 32767 / 1000.0, f, rate);  // -60 dB
  a.ProcessFrame(quiet.data());
  EXPECT_LE(BarLevelAtBin(a, bin), 1) << "on the bottom line";
  EXPECT_LE(a.Bins()[bin], 2721 / 2) << "within half a dB of the bottom";
}

TEST(SpectrumAnalysis, SixDbPerOctaveKeepsTheLevelAtTheReferenceFrequency) {
  const int n = 128, rate = 32000, bin = 4;  // 1000 Hz
  auto s = Sine(n, 8000, 1000, rate);
  TMMSpectrumAnalysis flat, tilted;
  DbSetup(flat, rate, n, 64, 200);
  DbSetup(tilted, rate, n, 64, 200);
  tilted.SetGain(TMMSpectrumGain::sg6db);
  tilted.SetRefFreq(1000);
  flat.ProcessFrame(s.data());
  tilted.ProcessFrame(s.data());
  EXPECT_GT(BarLevelAtBin(flat, bin), 100);
  EXPECT_NEAR(BarLevelAtBin(tilted, bin), BarLevelAtBin(flat, bin), 1);

  auto high = Sine(n, 8000, 4000, rate);  // two octaves up: +12 dB with the tilt
  flat.ProcessFrame(high.data());
  tilted.ProcessFrame(high.data());
  const double pixelsPerDb = 200.0 / 60;
  EXPECT_NEAR(BarLevelAtBin(tilted, 16) - BarLevelAtBin(flat, 16), 12 * pixelsPerDb, 3);
}

// Saturation: a full-scale square wave's fundamental (4/pi of full scale) must not
// wrap round to a quiet bin.
TEST(SpectrumAnalysis, FullScaleSquareWaveShowsAtTheTop) {
  const int n = 128, rate = 32000, bin = 8;
  std::vector<std::int16_t> square(n);
  for (int i = 0; i < n; ++i) square[i] = (i / 8) % 2 == 0 ? 32767 : -32767;
  TMMSpectrumAnalysis a;
  DbSetup(a, rate, n, 64, 100);
  a.ProcessFrame(square.data());
  EXPECT_GE(BarLevelAtBin(a, bin), 99);
  EXPECT_EQ(a.HighestBin(), bin);
  // The same through the magnitude path (step-up decay) where the power once overflowed.
  a.SetDecayMode(TMMDecayMode::dmStepUp);
  a.ProcessFrame(square.data());
  EXPECT_GE(BarLevelAtBin(a, bin), 99);
}

TEST(SpectrumAnalysis, StepUpRisesAtOnceAndFallsByTheDecayFactor) {
  const int n = 128, rate = 32000, bin = 8;
  TMMSpectrumAnalysis a;
  DbSetup(a, rate, n, 64, 100);
  a.SetLogAmp(false);
  a.SetDecayMode(TMMDecayMode::dmStepUp);
  a.SetDecay(7);
  auto s = Sine(n, 16384, bin * 250.0, rate);
  std::vector<std::int16_t> silence(n, 0);
  a.ProcessFrame(s.data());
  const std::int32_t peak = a.Bins()[bin];
  EXPECT_NEAR(peak, 16384 * 16, 16 * 4);
  a.ProcessFrame(silence.data());
  EXPECT_EQ(a.Bins()[bin], static_cast<std::int32_t>(static_cast<float>(peak) * a.DecayFactor()));
  a.ProcessFrame(silence.data());
  EXPECT_NEAR(a.Bins()[bin], peak * 0.93057 * 0.93057, 2);

  a.SetDecayMode(TMMDecayMode::dmUniform);  // the mean of the last 12 frames
  a.ProcessFrame(s.data());
  for (int i = 0; i < 5; ++i) a.ProcessFrame(silence.data());
  EXPECT_NEAR(a.Bins()[bin], peak / 6, 1);
  for (int i = 0; i < 6; ++i) a.ProcessFrame(silence.data());
  EXPECT_NEAR(a.Bins()[bin], peak / 12, 1);
  a.ProcessFrame(silence.data());
  EXPECT_EQ(a.Bins()[bin], 0) << "the loud frame has left the window of 12";
}

TEST(SpectrumAnalysis, ColumnsMergeIntoWiderBarsOrBarsSpanSeveralBins) {
  TMMSpectrumAnalysis few;  // 64 bins on 320 columns: five columns a bar
  DbSetup(few, 44100, 128, 320, 98);
  few.BuildBars();
  int bars = 0;
  for (const auto& bar : few.Bars()) {
    if (bar.Start < 0) break;
    EXPECT_GE(bar.End - bar.Start, 5);
    ++bars;
  }
  EXPECT_EQ(bars, 64);

  TMMSpectrumAnalysis many;  // 2048 bins on 320 columns: each bar the largest of its bins
  DbSetup(many, 44100, 4096, 320, 98);
  many.BuildBars();
  bars = 0;
  for (const auto& bar : many.Bars()) {
    if (bar.Start < 0) break;
    EXPECT_EQ(bar.End - bar.Start, 1);
    ++bars;
  }
  EXPECT_EQ(bars, 320);
  const int column = 100, bin = many.FirstBin(column) + 3;
  ASSERT_LT(bin, many.EndBin(column));
  auto s = Sine(4096, 20000, bin * 44100.0 / 4096, 44100);
  many.ProcessFrame(s.data());
  EXPECT_EQ(many.HighestColumn(), column);
  EXPECT_EQ(many.HighestBin(), many.FirstBin(column));
  EXPECT_GT(many.HighestLevel(), 80);
}

TEST(SpectrumAnalysis, PcmOverflowOfTheMeanOfBothChannels) {
  TMMSpectrumAnalysis a;
  a.SetBitLength(TMMBits::b16Bit);
  a.SetMode(TMMMode::mStereo);
  a.SetChannel(TMMChannel::chBoth);
  a.SetFFTLength(128);
  int overflows = 0;
  a.OnPcmOverflow = [&] { ++overflows; };
  std::vector<std::int16_t> both(256, 32767);
  a.ProcessFrame(both.data());
  EXPECT_EQ(overflows, 128);
  std::vector<std::int16_t> one(256);
  for (int i = 0; i < 128; ++i) one[2 * i] = 32767, one[2 * i + 1] = 32765;
  overflows = 0;
  a.ProcessFrame(one.data());
  EXPECT_EQ(overflows, 0);
  a.SetChannel(TMMChannel::chLeft);
  a.ProcessFrame(one.data());
  EXPECT_EQ(overflows, 128);
}

TEST(SpectrumAnalysis, SpotLayoutAndPeakHold) {
  TMMSpectrumAnalysis a;
  DbSetup(a, 44100, 128, 320, 98);
  EXPECT_EQ(a.Spots(), 49);
  EXPECT_EQ(a.BottomMargin(), 0);
  EXPECT_EQ(a.Zone1(), 24) << "24.5 rounds to even";
  EXPECT_EQ(a.Zone2(), 42);

  const int bin = 10;
  auto s = Sine(128, 20000, bin * 44100.0 / 128, 44100);
  std::vector<std::int16_t> silence(128, 0);
  auto peakAt = [&] {
    for (const auto& bar : a.Bars())
      if (bar.Start >= 0 && a.FirstBin(bar.Start) == bin) return bar.Peak;
    return -1;
  };
  a.ProcessFrame(s.data());
  const int peak = peakAt();
  ASSERT_GT(peak, 10);
  a.ProcessFrame(silence.data());
  EXPECT_EQ(peakAt(), peak) << "the marker stays while the bar falls";
  for (int i = 0; i < 40; ++i) a.PeakTick();
  EXPECT_EQ(peakAt(), peak) << "held 40 ticks";
  EXPECT_FALSE(a.PeakTick());
  EXPECT_EQ(peakAt(), 0) << "gone at once after the 41st";

  a.SetPeakSpeed(2);
  a.ProcessFrame(s.data());
  for (int i = 0; i < 41; ++i) a.PeakTick();
  EXPECT_EQ(peakAt(), peak - 1);
  a.PeakTick();
  EXPECT_EQ(peakAt(), peak - 1);
  a.PeakTick();
  EXPECT_EQ(peakAt(), peak - 2) << "one spot per 50 ms";
}

}  // namespace
}  // namespace strataeq

namespace strataeq {
namespace {

// The equalizer draws its response on a real analyser through OnNeedData.
TEST(SpectrumDisplay, ShowsTheEqualizersResponse) {
  TMMSpectrum spectrum;
  spectrum.resize(322, 100);
  spectrum.Analysis().SetLogAmp(true);
  spectrum.show();
  TMMEqualizer eq;
  eq.SetSampleRate(44100);
  eq.SetSpectrum(&spectrum);
  EXPECT_EQ(spectrum.Analysis().Window(), TMMFFTWindow::fwRectangular);
  EXPECT_EQ(spectrum.Analysis().Mode(), TMMMode::mMono);
  auto level = [&](double hz) {
    const int bin = static_cast<int>(hz * 128 / 44100);
    for (const auto& bar : spectrum.Analysis().Bars()) {
      if (bar.Start < 0) break;
      if (spectrum.Analysis().FirstBin(bar.Start) == bin) return bar.Level;
    }
    return -1;
  };
  const int flat = level(1033.6);
  EXPECT_GT(flat, 20) << "a flat response stands well above the bottom";
  EXPECT_NEAR(level(6029.3), flat, 2);
  eq.Filters()->Add(new TMMEQFilter(4000, 8000, -20));
  const double pixelsPerDb = 98 / 60.0;
  EXPECT_NEAR(level(1033.6), flat, 2);
  EXPECT_NEAR(flat - level(6029.3), 20 * pixelsPerDb, 4) << "the band 20 dB down";
  eq.SetSpectrum(nullptr);
}

}  // namespace
}  // namespace strataeq

namespace strataeq {
namespace {

TEST(SpectrumDisplay, HoldingTheLeftButtonFreezesAndReadsOut) {
  TMMSpectrum spectrum;
  spectrum.resize(322, 100);
  const TWaveFormatEx f = BuildPcmFormat(TMMBits::b16Bit, TMMMode::mMono, 44100);
  spectrum.SetDataFormat(&f);
  spectrum.Analysis().SetLogAmp(true);
  spectrum.SetWindow(TMMFFTWindow::fwRectangular);
  spectrum.SetDisplayPeak(true);
  spectrum.show();
  const auto loud = Sine(128, 20000, 20 * 44100.0 / 128, 44100);
  const auto other = Sine(128, 20000, 40 * 44100.0 / 128, 44100);
  spectrum.ProcessFrame(loud.data());
  EXPECT_EQ(spectrum.Analysis().PeakText(), "7062.9 Hz") << "(b + 0.5) x rate / N of the highest bar";

  QTest::mousePress(&spectrum, Qt::LeftButton, Qt::NoModifier, QPoint(1 + 319, 1 + 0));
  ASSERT_TRUE(spectrum.InInfoMode());
  EXPECT_EQ(spectrum.Analysis().InfoText(319, 0), "22.050 KHz 0.0 dB");
  EXPECT_EQ(spectrum.Analysis().InfoText(0, 97), "0.000 KHz -60.0 dB");
  spectrum.ProcessFrame(other.data());
  EXPECT_EQ(spectrum.Analysis().HighestBin(), 20) << "frames are ignored while the button is held";
  QTest::mouseRelease(&spectrum, Qt::LeftButton, Qt::NoModifier, QPoint(10, 10));
  EXPECT_FALSE(spectrum.InInfoMode());
  spectrum.ProcessFrame(other.data());
  EXPECT_EQ(spectrum.Analysis().HighestBin(), 40) << "drawing resumes at the next frame";

  std::vector<std::int16_t> silence(128, 0);
  spectrum.Analysis().SetDecayMode(TMMDecayMode::dmNone);
  spectrum.ProcessFrame(silence.data());
  EXPECT_EQ(spectrum.Analysis().PeakText(), "") << "nothing above 5 pixels";
}

}  // namespace
}  // namespace strataeq

namespace strataeq {
namespace {

TEST(SpectrumDisplay, OnDrawBarDrawsEachBarWithLevelsInPixels) {
  TMMSpectrum spectrum;
  spectrum.resize(322, 100);
  const TWaveFormatEx f = BuildPcmFormat(TMMBits::b16Bit, TMMMode::mMono, 44100);
  spectrum.SetDataFormat(&f);
  spectrum.Analysis().SetLogAmp(true);
  spectrum.SetWindow(TMMFFTWindow::fwRectangular);
  int bars = 0, loudest = 0, loudestPeak = 0;
  QRect loudestRect;
  spectrum.OnDrawBar = [&](TObject*, TMMDIBCanvas* dib, QRect rect, std::int32_t level, std::int32_t peak) {
    EXPECT_TRUE(dib->Drawing());
    ++bars;
    if (level > loudest) loudest = level, loudestPeak = peak, loudestRect = rect;
  };
  spectrum.show();
  const auto s = Sine(128, 20000, 20 * 44100.0 / 128, 44100);
  bars = 0;
  spectrum.ProcessFrame(s.data());
  (void)spectrum.FrameImage();  // drawn once, now or at the screen refresh
  EXPECT_EQ(bars, 64);
  EXPECT_GT(loudest, 49) << "pixels, not spots";
  EXPECT_EQ(loudestPeak, loudest);
  EXPECT_EQ(loudestRect.left(), spectrum.Analysis().HighestColumn());
  EXPECT_EQ(loudestRect.height(), 98);
}

}  // namespace
}  // namespace strataeq
