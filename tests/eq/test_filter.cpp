// The FFT block filter: its response, delay, band arithmetic, channel modes,
// clipping, queueing, and redesigns from another thread.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <complex>
#include <numbers>
#include <random>
#include <thread>
#include <vector>

#include "eq/EqTestUtil.h"
#include "eq/MMFFTFlt.h"

namespace strataeq {
namespace {

using namespace eqtest;

// Runs samples through the filter in calls of the given byte sizes (cycled).
std::vector<std::int16_t> Filter(TFFTFilter* f, TMMChannel mode, std::vector<std::int16_t> samples,
                                 const std::vector<int>& calls, bool* overflow = nullptr) {
  auto* p = reinterpret_cast<std::uint8_t*>(samples.data());
  const int total = static_cast<int>(samples.size() * 2);
  int pos = 0;
  bool any = false;
  for (std::size_t i = 0; pos < total; ++i) {
    const int n = std::min(calls[i % calls.size()], total - pos);
    any |= ProcessFilter(f, mode, p + pos, n);
    pos += n;
  }
  if (overflow) *overflow = any;
  return samples;
}

// Both code paths of the per-block work: portable, and vectorised where it can run.
std::vector<bool> Paths() {
  if (VectorFFTAvailable()) return {false, true};
  return {false};
}

struct PathGuard {
  explicit PathGuard(bool vector) { AllowVectorFFT(vector); }
  ~PathGuard() { AllowVectorFFT(true); }
};

double Rms(const std::vector<std::int16_t>& v, std::size_t from, std::size_t to, int stride = 1, int offset = 0) {
  double s = 0;
  std::size_t count = 0;
  for (std::size_t i = from; i < to; ++i, ++count) {
    const double x = v[i * stride + offset];
    s += x * x;
  }
  return std::sqrt(s / static_cast<double>(count));
}

TEST(FFTFilter, BlockLengthIsThePowerOfTwoAtMost1024) {
  const auto fmt = Pcm16(2, 44100);
  const std::pair<int, int> cases[] = {{5000, 1024}, {1024, 1024}, {1000, 512}, {256, 256}, {8, 8}, {3, 8}};
  for (auto [length, block] : cases) {
    auto f = CreateFFTFilter(&fmt, length, 65536);
    ASSERT_TRUE(f);
    EXPECT_EQ(f->BlockLength, block) << length;
    EXPECT_EQ(f->HalfBlock, block / 2);
    EXPECT_EQ(f->Window, TMMFFTWindow::fwHamming);
  }
  const auto eight = BuildPcmFormat(8, 1, 44100);
  EXPECT_EQ(CreateFFTFilter(&eight, 256, 65536), nullptr);  // 16-bit only
  EXPECT_EQ(CreateFFTFilter(nullptr, 256, 65536), nullptr);
  auto f = CreateFFTFilter(&fmt, 256, 65536);
  FreeFFTFilter(f);
  EXPECT_EQ(f, nullptr);
}

TEST(FFTFilter, NewFilterReturnsInputScaledAndDelayedByAQuarterBlock) {
  for (bool vector : Paths()) {
    PathGuard path(vector);
    for (int channels : {1, 2}) {
      for (int length : {8, 256, 1024}) {
        const auto fmt = Pcm16(channels, 44100);
        auto f = CreateFFTFilter(&fmt, length, 65536);
        const int n = f->BlockLength;
        const int frames = 8 * n;
        const auto in = Noise(static_cast<std::size_t>(frames * channels), 20000, 11u);
        // Calls of whole blocks: no queueing delay, only the filter's own N/4.
        const auto out = Filter(f.get(), TMMChannel::chBoth, in, {2 * channels * n});
        const int delay = n / 4;
        for (int t = 0; t < frames; ++t) {
          for (int c = 0; c < channels; ++c) {
            const int got = out[t * channels + c];
            const int want = t < delay ? 0 : static_cast<int>(std::trunc(kFlat * in[(t - delay) * channels + c]));
            ASSERT_NEAR(got, want, 1) << "channels " << channels << " N " << n << " frame " << t;
          }
        }
      }
    }
  }
}

TEST(FFTFilter, FirstCallShorterThanABlockReturnsSilenceOfTheSameLength) {
  const auto fmt = Pcm16(2, 44100);
  auto f = CreateFFTFilter(&fmt, 256, 65536);
  std::vector<std::int16_t> buf(2 * 100, 1234);
  EXPECT_FALSE(ProcessFilter(f.get(), TMMChannel::chBoth, buf.data(), 400));
  for (auto v : buf) ASSERT_EQ(v, 0);
  EXPECT_EQ(f->InCount, 400);
  EXPECT_EQ(f->OutCount, 0);
}

TEST(FFTFilter, BandEdgesFollowTheBinArithmetic) {
  const auto fmt = Pcm16(2, 44100);
  auto f = CreateFFTFilter(&fmt, 256, 65536);  // bin width 172.27 Hz
  const float flat = std::pow(10.0f, 0.3f);
  for (int b = 0; b <= 128; ++b) ASSERT_NEAR(f->Gains[b], flat, 1e-5) << b;
  const float minus20 = std::pow(10.0f, -0.7f);

  SetFilterBand(f.get(), 100, 200, -20);  // bins 0 and 1
  EXPECT_NEAR(f->Gains[0], minus20, 1e-6);
  EXPECT_NEAR(f->Gains[1], minus20, 1e-6);
  EXPECT_NEAR(f->Gains[2], flat, 1e-5);

  SetFilterBand(f.get(), 1000, 1000, -20);  // f1 = f2 still reaches one bin (5)
  EXPECT_NEAR(f->Gains[5], minus20, 1e-6);
  EXPECT_NEAR(f->Gains[4], flat, 1e-5);
  EXPECT_NEAR(f->Gains[6], flat, 1e-5);

  SetFilterBand(f.get(), 21000, 30000, -20);  // above S/2: stops at the Nyquist bin 128
  for (int b = 121; b <= 128; ++b) EXPECT_NEAR(f->Gains[b], minus20, 1e-6) << b;
  EXPECT_NEAR(f->Gains[120], flat, 1e-5);

  SetFilterBand(f.get(), 3000, 2000, -20);  // swapped: bins 11 .. 17
  for (int b = 11; b <= 17; ++b) EXPECT_NEAR(f->Gains[b], minus20, 1e-6) << b;
  EXPECT_NEAR(f->Gains[10], flat, 1e-5);
  EXPECT_NEAR(f->Gains[18], flat, 1e-5);

  SetFilterBand(f.get(), 0, 22050, 0);
  // Below 0 Hz counts as 0 Hz; NaN and infinities change nothing.
  SetFilterBand(f.get(), -500, 300, 6);
  EXPECT_NEAR(f->Gains[0], std::pow(10.0f, 0.6f), 1e-5);
  EXPECT_NEAR(f->Gains[1], std::pow(10.0f, 0.6f), 1e-5);
  EXPECT_NEAR(f->Gains[2], flat, 1e-5);
  std::vector<float> before(f->Gains.get(), f->Gains.get() + 129);
  std::vector<float> response(f->Response.get(), f->Response.get() + 512);
  SetFilterBand(f.get(), 0, 22050, std::numeric_limits<float>::quiet_NaN());
  SetFilterBand(f.get(), std::numeric_limits<float>::infinity(), 100, 3);
  SetFilterBand(f.get(), 0, -std::numeric_limits<float>::infinity(), 3);
  EXPECT_EQ(std::vector<float>(f->Gains.get(), f->Gains.get() + 129), before);
  EXPECT_EQ(std::vector<float>(f->Response.get(), f->Response.get() + 512), response);
  // Gains beyond +-400 dB are held there, so the response stays finite.
  SetFilterBand(f.get(), 0, 22050, 1e9f);
  EXPECT_NEAR(f->Gains[7], std::pow(10.0f, 20.3f), 1e15);
  for (int i = 0; i < 512; ++i) ASSERT_TRUE(std::isfinite(f->Response[i]));
}

TEST(FFTFilter, SineInsideALoweredBandComesOut20DbDown) {
  const auto fmt = Pcm16(1, 44100);
  const int frames = 44100;
  std::vector<std::int16_t> sine(frames);
  for (int t = 0; t < frames; ++t)
    sine[t] = static_cast<std::int16_t>(std::lround(10000 * std::sin(2 * std::numbers::pi * 3000.0 * t / 44100)));
  auto flat = CreateFFTFilter(&fmt, 1024, 65536);
  auto cut = CreateFFTFilter(&fmt, 1024, 65536);
  SetFilterBand(cut.get(), 2000, 4000, -20);
  const auto a = Filter(flat.get(), TMMChannel::chBoth, sine, {8192});
  const auto b = Filter(cut.get(), TMMChannel::chBoth, sine, {8192});
  const double db = 20 * std::log10(Rms(b, 4096, frames) / Rms(a, 4096, frames));
  EXPECT_NEAR(db, -20.0, 0.5);
  // A tone far outside the band is left alone.
  std::vector<std::int16_t> low(frames);
  for (int t = 0; t < frames; ++t)
    low[t] = static_cast<std::int16_t>(std::lround(10000 * std::sin(2 * std::numbers::pi * 500.0 * t / 44100)));
  ResetFilter(flat.get());
  ResetFilter(cut.get());
  const double lowDb = 20 * std::log10(Rms(Filter(cut.get(), TMMChannel::chBoth, low, {8192}), 4096, frames) /
                                       Rms(Filter(flat.get(), TMMChannel::chBoth, low, {8192}), 4096, frames));
  EXPECT_NEAR(lowDb, 0.0, 0.1);
}

// The output equals a direct FIR convolution with the taps of the designed response.
TEST(FFTFilter, OutputEqualsDirectConvolutionWithTheDesignedTaps) {
  for (bool vector : Paths()) {
    PathGuard path(vector);
    const auto fmt = Pcm16(1, 22050);
    auto f = CreateFFTFilter(&fmt, 128, 65536);
    SetFilterWindow(f.get(), TMMFFTWindow::fwBlackman);
    SetFilterBand(f.get(), 0, 1500, 6);
    SetFilterBand(f.get(), 3000, 5000, -30);
    SetFilterBand(f.get(), 8000, 9000, 12);
    const int n = f->BlockLength;
    std::vector<double> taps(static_cast<std::size_t>(n));
    for (int j = 0; j < n; ++j) {
      std::complex<double> s = 0;
      for (int m = 0; m < n; ++m)
        s += std::complex<double>(f->Response[2 * m], f->Response[2 * m + 1]) *
             std::polar(1.0, 2 * std::numbers::pi * m * j / n);
      taps[j] = s.real() / n;
    }
    for (int j = n / 2 + 1; j < n; ++j) EXPECT_NEAR(taps[j], 0.0, 1e-5) << "tap " << j;  // N/2 + 1 taps
    const auto in = Noise(20 * static_cast<std::size_t>(n), 8000, 5u);
    const auto out = Filter(f.get(), TMMChannel::chBoth, in, {2 * n * 3});
    int worst = 0;
    for (std::size_t t = 0; t < in.size(); ++t) {
      double y = 0;
      for (int j = 0; j <= n / 2 && j <= static_cast<int>(t); ++j) y += taps[j] * in[t - j];
      const int want = static_cast<int>(std::trunc(std::clamp(y, -32768.0, 32767.0)));
      worst = std::max(worst, std::abs(out[t] - want));
    }
    EXPECT_LE(worst, 1) << (vector ? "vector" : "portable");
  }
}

TEST(FFTFilter, OneChannelModesLeaveTheOtherChannelUntouchedAndUndelayed) {
  const auto fmt = Pcm16(2, 44100);
  for (TMMChannel mode : {TMMChannel::chLeft, TMMChannel::chRight}) {
    auto f = CreateFFTFilter(&fmt, 256, 65536);
    SetFilterBand(f.get(), 0, 22050, -6);
    const int kept = mode == TMMChannel::chLeft ? 1 : 0, filtered = 1 - kept;
    const auto in = Noise(2 * 4096, 15000, 3u);
    // The first call is shorter than a block: the filtered channel is silent, the
    // other one must still be there.
    const auto out = Filter(f.get(), mode, in, {300, 2048, 1000});
    for (std::size_t t = 0; t < 4096; ++t) ASSERT_EQ(out[2 * t + kept], in[2 * t + kept]) << t;
    EXPECT_EQ(out[filtered], 0);
    EXPECT_GT(Rms(out, 1024, 4096, 2, filtered), 0.3 * Rms(in, 1024, 4096, 2, filtered));
    EXPECT_LT(Rms(out, 1024, 4096, 2, filtered), 0.7 * Rms(in, 1024, 4096, 2, filtered));
  }
  // chRight on mono filters the only channel.
  const auto mono = Pcm16(1, 44100);
  auto f = CreateFFTFilter(&mono, 64, 65536);
  const auto in = Noise(1024, 10000, 8u);
  const auto out = Filter(f.get(), TMMChannel::chRight, in, {128});
  EXPECT_EQ(out[20], static_cast<std::int16_t>(std::trunc(kFlat * in[4])));
}

TEST(FFTFilter, BoostedFullScaleSquareWaveClipsWithoutWrapping) {
  for (bool vector : Paths()) {
    PathGuard path(vector);
    const auto fmt = Pcm16(2, 44100);
    auto f = CreateFFTFilter(&fmt, 512, 65536);
    SetFilterBand(f.get(), 0, 22050, 12);
    const int frames = 8192, period = 400;
    std::vector<std::int16_t> in(2 * frames);
    for (int t = 0; t < frames; ++t) in[2 * t] = in[2 * t + 1] = (t / (period / 2)) % 2 ? -32768 : 32767;
    bool overflow = false;
    const auto out = Filter(f.get(), TMMChannel::chBoth, in, {4096}, &overflow);
    EXPECT_TRUE(overflow);
    const int delay = f->BlockLength / 4;
    int checked = 0;
    for (int t = 1024; t < frames; ++t) {
      const int phase = (t - delay) % period;
      if (phase < 40 || (phase > 160 && phase < 240) || phase > 360) continue;  // away from the edges
      const int want = in[2 * (t - delay)] > 0 ? 32767 : -32768;
      ASSERT_EQ(out[2 * t], want) << t;
      ASSERT_EQ(out[2 * t + 1], want) << t;
      ++checked;
    }
    EXPECT_GT(checked, 3000);
    // The same signal at 0 dB does not clip.
    auto quiet = CreateFFTFilter(&fmt, 512, 65536);
    SetFilterBand(quiet.get(), 0, 22050, -6);
    Filter(quiet.get(), TMMChannel::chBoth, in, {4096}, &overflow);
    EXPECT_FALSE(overflow);
  }
}

// Once the first call has put the filter one frame short of a block behind, no cut of
// whole frames ever needs more silence: every cut gives the same bytes. A small
// capacity makes the larger calls go through in slices.
TEST(FFTFilter, OutputDoesNotDependOnHowTheInputIsCut) {
  const auto fmt = Pcm16(2, 44100);
  const auto in = Noise(2 * 20000, 12000, 21u);
  std::mt19937 gen(77);
  std::vector<int> random;
  for (int i = 0; i < 200; ++i) random.push_back(4 * std::uniform_int_distribution<int>(1, 3000)(gen));
  std::vector<std::vector<std::int16_t>> outputs;
  for (const auto& calls : std::vector<std::vector<int>>{{8192}, {4}, {1020, 4, 8}, random, {80000}}) {
    auto f = CreateFFTFilter(&fmt, 256, 4096);
    SetFilterBand(f.get(), 1000, 3000, 9);
    SetFilterBand(f.get(), 6000, 12000, -12);
    const int block = 4 * f->BlockLength;
    auto data = in;
    auto* p = reinterpret_cast<std::uint8_t*>(data.data());
    ProcessFilter(f.get(), TMMChannel::chBoth, p, block - 4);
    int pos = block - 4;
    const int total = static_cast<int>(data.size() * 2);
    for (std::size_t i = 0; pos < total; ++i) {
      const int n = std::min(calls[i % calls.size()], total - pos);
      ProcessFilter(f.get(), TMMChannel::chBoth, p + pos, n);
      pos += n;
    }
    outputs.push_back(data);
  }
  for (std::size_t i = 1; i < outputs.size(); ++i) EXPECT_EQ(outputs[i], outputs[0]) << "pattern " << i;
  // And the stream is the filtered input, late by one block less a frame.
  const int lead = 2 * 256 - 2;
  for (int i = 0; i < lead; ++i) ASSERT_EQ(outputs[0][i], 0);
  EXPECT_GT(Rms(outputs[0], lead + 1000, outputs[0].size()), 1000);
}

// The last buffer of a file ends inside a block: what the filter has goes out first,
// continuing the stream, and only the shortfall at the end is silence.
TEST(FFTFilter, AShortCallAfterTheStreamBeganIsPaddedAfterItsData) {
  const auto fmt = Pcm16(2, 44100);
  const auto in = Noise(2 * (2048 + 700), 8000, 5u);
  auto f = CreateFFTFilter(&fmt, 256, 65536);
  const auto whole = Filter(f.get(), TMMChannel::chBoth, in, {8192, 2800});
  auto reference = CreateFFTFilter(&fmt, 256, 65536);
  std::vector<std::int16_t> longer = in;
  longer.resize(in.size() + 2 * 1024, 0);
  const auto expected = Filter(reference.get(), TMMChannel::chBoth, longer, {8192, 8192});
  // 700 frames in the last call: two blocks of 256 come out, 188 frames are padding.
  const std::size_t good = 2 * (2048 + 512);
  for (std::size_t i = 0; i < good; ++i) ASSERT_EQ(whole[i], expected[i]) << i;
  for (std::size_t i = good; i < whole.size(); ++i) ASSERT_EQ(whole[i], 0) << i;
}

TEST(FFTFilter, ResetMakesItBehaveLikeANewFilter) {
  const auto fmt = Pcm16(2, 48000);
  auto used = CreateFFTFilter(&fmt, 512, 65536);
  SetFilterBand(used.get(), 100, 900, 5);
  Filter(used.get(), TMMChannel::chBoth, Noise(2 * 3000, 9000, 1u), {1000});
  EXPECT_GT(used->InCount + used->OutCount, 0);
  ResetFilter(used.get());
  EXPECT_EQ(used->InCount, 0);
  EXPECT_EQ(used->OutCount, 0);
  auto fresh = CreateFFTFilter(&fmt, 512, 65536);
  SetFilterBand(fresh.get(), 100, 900, 5);
  const auto in = Noise(2 * 5000, 9000, 2u);
  EXPECT_EQ(Filter(used.get(), TMMChannel::chBoth, in, {1000}), Filter(fresh.get(), TMMChannel::chBoth, in, {1000}));
}

// A worker filters while the main thread redesigns and resets: every buffer comes back
// whole, nothing races (run under ThreadSanitizer).
TEST(FFTFilter, RedesignsAndResetsFromAnotherThreadAreSerialisedWithProcessing) {
  const auto fmt = Pcm16(2, 44100);
  auto f = CreateFFTFilter(&fmt, 1024, 65536);
  std::atomic<bool> stop{false};
  std::atomic<int> buffers{0};
  std::thread worker([&] {
    auto in = Noise(2 * 2048, 10000, 4u);
    while (!stop.load()) {
      auto buf = in;
      ProcessFilter(f.get(), TMMChannel::chBoth, buf.data(), static_cast<int>(buf.size() * 2));
      buffers.fetch_add(1);
    }
  });
  for (int i = 0; i < 200 || buffers.load() < 50; ++i) {
    SetFilterBand(f.get(), static_cast<float>(100 * (i % 50)), static_cast<float>(100 * (i % 50) + 500),
                  static_cast<float>(i % 30 - 15));
    if (i % 7 == 0) SetFilterWindow(f.get(), static_cast<TMMFFTWindow>(i % 7));
    if (i % 11 == 0) ResetFilter(f.get());
    if (i > 100000) break;
  }
  stop = true;
  worker.join();
  EXPECT_GE(buffers.load(), 50);
  EXPECT_LT(f->InCount, 4 * f->BlockLength);
}

}  // namespace
}  // namespace strataeq
