// The aligned filter of the file routes (output as long as the input, without the
// delay) and the float path beside the 16-bit one.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <limits>
#include <thread>
#include <vector>

#include "eq/EqTestUtil.h"
#include "eq/MMFFTFlt.h"

using namespace strataeq;
using namespace strataeq::eqtest;

namespace {

struct PathGuard {
  explicit PathGuard(bool vector) { AllowVectorFFT(vector); }
  ~PathGuard() { AllowVectorFFT(true); }
};

std::vector<bool> Paths() {
  if (VectorFFTAvailable()) return {false, true};
  return {false};
}

TWaveFormatEx Float32(int channels, int rate) {
  return BuildWaveFormat(TPcmSampleType::stFloat32, channels, static_cast<std::uint32_t>(rate)).Format;
}

// Runs samples through an aligned filter in calls of the given sizes (cycled), then
// drains it in calls of drainCall bytes; returns everything it delivered.
template <class T>
std::vector<T> RunAligned(TFFTFilter* f, TMMChannel mode, std::vector<T> in, const std::vector<int>& calls,
                          int drainCall = 8192) {
  std::vector<T> out;
  auto* p = reinterpret_cast<std::uint8_t*>(in.data());
  const int total = static_cast<int>(in.size() * sizeof(T));
  auto take = [&](const std::uint8_t* from, int bytes) {
    if (bytes <= 0) return;
    const std::size_t at = out.size();
    out.resize(at + static_cast<std::size_t>(bytes) / sizeof(T));
    std::memcpy(out.data() + at, from, static_cast<std::size_t>(bytes));
  };
  for (std::size_t i = 0, pos = 0; static_cast<int>(pos) < total; ++i) {
    const int n = std::min(calls[i % calls.size()], total - static_cast<int>(pos));
    int delivered = -1;
    ProcessFilterAligned(f, mode, p + pos, n, delivered);
    EXPECT_LE(delivered, n);
    take(p + pos, delivered);
    pos += static_cast<std::size_t>(n);
  }
  std::vector<std::uint8_t> buf(static_cast<std::size_t>(drainCall));
  for (int guard = 0; guard < 100000; ++guard) {
    int delivered = -1;
    DrainFilter(f, mode, buf.data(), drainCall, delivered);
    if (delivered == 0) break;
    take(buf.data(), delivered);
  }
  EXPECT_EQ(FilterPending(f), 0);
  return out;
}

std::size_t LoudestFrame(const std::vector<std::int16_t>& s, int channels, int channel) {
  std::size_t best = 0;
  for (std::size_t i = 0; i * channels < s.size(); ++i)
    if (std::abs(s[i * channels + channel]) > std::abs(s[best * channels + channel])) best = i;
  return best;
}

}  // namespace

// The chain's buffers cut the stream anywhere: a file's length need not be whole
// blocks, nor whole calls, and the impulse must land on its own frame at every N.
TEST(AlignedFilter, AnImpulseComesOutOnItsOwnFrameAndTheLengthIsKept) {
  for (bool vector : Paths()) {
    PathGuard guard(vector);
    for (int fft = 16; fft <= 4096; fft *= 2) {
      const int n = std::min(fft, 1024);
      for (int frames : {1, 2, n / 4, n - 1, n + 3, 3 * n + 5, 9001}) {
        for (int channels : {1, 2}) {
          const auto fmt = Pcm16(channels, 44100);
          auto f = CreateFFTFilter(&fmt, fft, 65536);
          SetFilterAligned(f.get(), true);
          SetFilterBand(f.get(), 2000, 4000, -12);  // a real filter, not a wire
          const int k = frames / 2;
          std::vector<std::int16_t> in(static_cast<std::size_t>(frames * channels), 0);
          in[static_cast<std::size_t>(k * channels)] = 20000;
          if (channels == 2) in[static_cast<std::size_t>(k * channels + 1)] = -20000;
          const auto out = RunAligned(f.get(), TMMChannel::chBoth, in, {4 * 1000 + channels * 2, 12, 8192});
          ASSERT_EQ(out.size(), in.size()) << "N " << fft << ", " << frames << " frames, " << channels << " ch";
          for (int c = 0; c < channels; ++c) {
            EXPECT_EQ(LoudestFrame(out, channels, c), static_cast<std::size_t>(k))
                << "N " << fft << ", " << frames << " frames, vector " << vector;
            EXPECT_GT(std::abs(out[static_cast<std::size_t>(k * channels + c)]), 10000);
          }
        }
      }
    }
  }
}

// The 16-bit path is today's: the same numbers, only earlier by N/4 frames, and the
// end that today's route lost is there too.
TEST(AlignedFilter, SixteenBitSamplesAreTheUnalignedOnesShiftedByTheDelay) {
  const auto fmt = Pcm16(2, 44100);
  const int frames = 20000;
  const auto in = Noise(static_cast<std::size_t>(2 * frames), 9000, 3u);
  for (int fft : {64, 1024}) {
    auto plain = CreateFFTFilter(&fmt, fft, 65536);
    auto aligned = CreateFFTFilter(&fmt, fft, 65536);
    SetFilterAligned(aligned.get(), true);
    for (auto* f : {plain.get(), aligned.get()}) {
      SetFilterBand(f, 100, 900, 6);
      SetFilterBand(f, 5000, 9000, -20);
    }
    // Today's output carries the delay; padding it with silence lets its last
    // frames be filtered too.
    std::vector<std::int16_t> longer = in;
    longer.resize(in.size() + 2 * 2048, 0);
    auto* p = reinterpret_cast<std::uint8_t*>(longer.data());
    for (std::size_t pos = 0; pos < longer.size() * 2; pos += 8192)
      ProcessFilter(plain.get(), TMMChannel::chBoth, p + pos, static_cast<int>(std::min<std::size_t>(8192, longer.size() * 2 - pos)));
    const auto out = RunAligned(aligned.get(), TMMChannel::chBoth, in, {8192, 700, 36});
    ASSERT_EQ(out.size(), in.size());
    const std::size_t delay = 2 * static_cast<std::size_t>(fft / 4);
    for (std::size_t i = 0; i < out.size(); ++i) ASSERT_EQ(out[i], longer[i + delay]) << "N " << fft << " at " << i;
  }
}

// The 16-bit path makes the numbers the float path makes from the same samples, then
// truncates and holds them in range: at every N, on both code paths, for mono and for
// stereo in each channel mode, with a boost that clips.
TEST(AlignedFilter, SixteenBitSamplesAreTheFloatPathsTruncatedAndHeld) {
  for (bool vector : Paths()) {
    PathGuard guard(vector);
    for (int channels : {1, 2}) {
      for (int n = 8; n <= 1024; n *= 2) {
        for (TMMChannel mode : {TMMChannel::chBoth, TMMChannel::chLeft, TMMChannel::chRight}) {
          if (channels == 1 && mode != TMMChannel::chBoth) continue;
          SCOPED_TRACE("N " + std::to_string(n) + ", " + std::to_string(channels) + " channels, mode " +
                       std::to_string(static_cast<int>(mode)) + (vector ? ", vector" : ", portable"));
          const auto in16 = Noise(static_cast<std::size_t>(channels) * 9001, 24000, static_cast<unsigned>(n + channels));
          const std::vector<float> inF(in16.begin(), in16.end());
          auto run = [&](const TWaveFormatEx& fmt, auto in) {
            auto f = CreateFFTFilter(&fmt, n, 65536);
            SetFilterAligned(f.get(), true);
            SetFilterBand(f.get(), 0, 3000, 9);
            SetFilterBand(f.get(), 3000, 8000, -25);
            SetFilterBand(f.get(), 8000, 16000, 14);
            return RunAligned(f.get(), mode, in, {8192, 1000, 36});
          };
          const auto got = run(Pcm16(channels, 44100), in16);
          const auto wantF = run(Float32(channels, 44100), inF);
          ASSERT_EQ(got.size(), wantF.size());
          int clipped = 0;
          for (std::size_t i = 0; i < got.size(); ++i) {
            const float v = std::clamp(wantF[i], -32768.0f, 32767.0f);
            clipped += v != wantF[i];
            ASSERT_EQ(got[i], static_cast<std::int16_t>(v)) << "sample " << i << ", float " << wantF[i];
          }
          EXPECT_GT(clipped, 0);
        }
      }
    }
  }
}

// One channel filtered, the other passing: both stay in step once the delay is gone,
// and the passing one is bit-exact.
TEST(AlignedFilter, TheUnfilteredChannelStaysInStepAndUntouched) {
  const auto fmt = Pcm16(2, 44100);
  const int frames = 5003;
  auto in = Noise(static_cast<std::size_t>(2 * frames), 5000, 8u);
  in[2 * 1234] = 30000;
  for (TMMChannel mode : {TMMChannel::chLeft, TMMChannel::chRight}) {
    auto f = CreateFFTFilter(&fmt, 512, 65536);
    SetFilterAligned(f.get(), true);
    const auto out = RunAligned(f.get(), mode, in, {4000, 4, 100});
    ASSERT_EQ(out.size(), in.size());
    const int passing = mode == TMMChannel::chLeft ? 1 : 0;
    for (std::size_t i = static_cast<std::size_t>(passing); i < in.size(); i += 2) ASSERT_EQ(out[i], in[i]) << i;
    if (mode == TMMChannel::chLeft) {
      EXPECT_EQ(LoudestFrame(out, 2, 0), 1234u);
    }
  }
}

TEST(AlignedFilter, AnEmptyInputGivesNothingAndAResetStartsAnew) {
  const auto fmt = Pcm16(1, 8000);
  auto f = CreateFFTFilter(&fmt, 256, 65536);
  SetFilterAligned(f.get(), true);
  EXPECT_TRUE(RunAligned<std::int16_t>(f.get(), TMMChannel::chBoth, {}, {100}).empty());
  ResetFilter(f.get());
  std::vector<std::int16_t> one{12345};
  const auto out = RunAligned(f.get(), TMMChannel::chBoth, one, {2});
  ASSERT_EQ(out.size(), 1u);
  EXPECT_NEAR(out[0], 12345 * kFlat, 2);
}

// Float samples keep their precision: a tone 120 dB below full scale comes back with
// an error far below it, and values beyond full scale are not clipped.
TEST(FloatFilter, KeepsQuietTonesAndValuesBeyondFullScale) {
  for (bool vector : Paths()) {
    PathGuard guard(vector);
    const auto fmt = Float32(2, 96000);
    auto f = CreateFFTFilter(&fmt, 1024, 65536);
    ASSERT_NE(f, nullptr);
    SetFilterAligned(f.get(), true);
    const int frames = 30011;
    std::vector<float> in(static_cast<std::size_t>(2 * frames));
    for (int i = 0; i < frames; ++i) {
      in[2 * i] = static_cast<float>(1e-6 * std::sin(2 * M_PI * 1000 * i / 96000.0));  // -120 dBFS
      in[2 * i + 1] = static_cast<float>(1.9 * std::sin(2 * M_PI * 440 * i / 96000.0));
    }
    const auto out = RunAligned(f.get(), TMMChannel::chBoth, in, {8192, 1000});
    ASSERT_EQ(out.size(), in.size());
    double worstQuiet = 0, loudest = 0;
    for (int i = 0; i < frames; ++i) {
      worstQuiet = std::max(worstQuiet, std::abs(out[2 * i] - kFlat * in[2 * i]));
      loudest = std::max(loudest, static_cast<double>(std::abs(out[2 * i + 1])));
    }
    EXPECT_LT(20 * std::log10(worstQuiet), -140.0) << "vector " << vector;
    EXPECT_NEAR(loudest, 1.9 * kFlat, 0.01);
  }
}

// NaN and infinities enter the filter as silence and are counted, whichever step of
// the vector copy they fall in: the output is bit for bit that of the input with zeros
// in their place, on both paths, in calls of odd lengths (each step's tail).
TEST(FloatFilter, NonFiniteSamplesAreSilencedWhereverTheyFall) {
  const float bad[] = {std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity(),
                       -std::numeric_limits<float>::infinity(), -std::numeric_limits<float>::quiet_NaN()};
  const auto fmt = Float32(2, 44100);
  auto run = [&](const std::vector<float>& in, std::atomic<std::int64_t>& count) {
    auto f = CreateFFTFilter(&fmt, 256, 65536);
    SetFilterAligned(f.get(), true);
    SetFilterBand(f.get(), 2000, 5000, 12);
    f->NonFiniteCount = &count;
    return RunAligned(f.get(), TMMChannel::chBoth, in, {4100, 36, 1000, 12});
  };
  for (bool vector : Paths()) {
    PathGuard guard(vector);
    const auto noise = Noise(2 * 3001, 20000, 7);
    std::vector<float> clean(noise.size());
    for (std::size_t i = 0; i < clean.size(); ++i) clean[i] = noise[i] / 32768.0f;
    std::vector<float> dirty = clean;
    // Every position of a 16-sample step once, then a run of them, then one alone.
    std::int64_t planted = 0;
    for (std::size_t k = 0; k < 16; ++k, ++planted) dirty[100 + 17 * k] = bad[k % 4];
    for (std::size_t k = 0; k < 40; ++k, ++planted) dirty[3000 + k] = bad[k % 4];
    dirty[dirty.size() - 1] = bad[0];
    ++planted;
    for (std::size_t i = 0; i < dirty.size(); ++i)
      if (!std::isfinite(dirty[i])) clean[i] = 0.0f;
    std::atomic<std::int64_t> countClean{0}, countDirty{0};
    const auto want = run(clean, countClean);
    const auto got = run(dirty, countDirty);
    ASSERT_EQ(got.size(), want.size());
    EXPECT_EQ(std::memcmp(got.data(), want.data(), got.size() * sizeof(float)), 0) << "vector " << vector;
    EXPECT_EQ(countClean.load(), 0);
    EXPECT_EQ(countDirty.load(), planted) << "vector " << vector;
  }
}

// The right channel filtered on a helper thread gives the same bytes as on the calling
// thread, at every block length, in 16 bits and in float, in calls that cross the
// helper's groups; two filters sharing one helper from two threads at once, so that
// one of them often finds it taken and does both channels itself.
TEST(AlignedFilter, AHelperThreadForTheRightChannelChangesNoBit) {
  THandOffWorker helper;
  auto run = [&](const TWaveFormatEx& fmt, int n, bool withHelper, auto in, unsigned seed) {
    auto f = CreateFFTFilter(&fmt, n, 65536);
    SetFilterAligned(f.get(), true);
    SetFilterBand(f.get(), 2000, 5000, 15);  // the 16-bit noise clips
    SetFilterBand(f.get(), 9000, 14000, -30);
    if (withHelper) SetFilterHelper(f.get(), &helper);
    std::vector<int> calls = {8192, 40, 40000, 4000 + 8 * static_cast<int>(seed)};
    return RunAligned(f.get(), TMMChannel::chBoth, in, calls);
  };
  for (bool vector : Paths()) {
    PathGuard guard(vector);
    for (int n = 8; n <= 1024; n *= 2) {
      SCOPED_TRACE("N " + std::to_string(n) + (vector ? ", vector" : ", portable"));
      const auto in16 = Noise(2 * 20011, 20000, static_cast<unsigned>(n));
      std::vector<float> inF(in16.size());
      for (std::size_t i = 0; i < inF.size(); ++i) inF[i] = in16[i] / 32768.0f;
      const auto want16 = run(Pcm16(2, 44100), n, false, in16, 1);
      const auto wantF = run(Float32(2, 44100), n, false, inF, 1);
      std::vector<std::int16_t> other16;
      std::thread second([&] { other16 = run(Pcm16(2, 44100), n, true, in16, 2); });
      const auto got16 = run(Pcm16(2, 44100), n, true, in16, 1);
      const auto gotF = run(Float32(2, 44100), n, true, inF, 3);
      second.join();
      EXPECT_EQ(want16.size(), in16.size());
      EXPECT_TRUE(got16 == want16);
      EXPECT_TRUE(other16 == want16);
      EXPECT_TRUE(gotF == wantF);
    }
  }
  EXPECT_GT(helper.Handed(), 100u);
}
