// The equalizer component: property rules, formats, push and pull processing,
// channel modes, overflow events, band and list notifications, preset loading,
// the response display, and configuration changes while a worker pushes buffers.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <complex>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <numbers>
#include <random>
#include <string>
#include <vector>

#include "eq/EqTestUtil.h"
#include "eq/MMEQ.h"
#include "platform/Messages.h"

// Counts allocations made by a thread while its flag is up: the audio path must make none.
namespace {
thread_local bool tWatchAllocations = false;
std::atomic<int> gWatchedAllocations{0};
}  // namespace

void* operator new(std::size_t n) {
  if (tWatchAllocations) gWatchedAllocations.fetch_add(1);
  if (void* p = std::malloc(n ? n : 1)) return p;
  throw std::bad_alloc();
}
// The matching deletes: a sanitizer's own delete must not see our blocks. GCC cannot
// tell that these pair with the new above.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
#pragma GCC diagnostic pop

namespace strataeq {
namespace {

using namespace eqtest;

std::vector<std::int16_t> Sine(int frames, int channels, double hz, double amplitude, int rate = 44100) {
  std::vector<std::int16_t> v(static_cast<std::size_t>(frames * channels));
  for (int t = 0; t < frames; ++t)
    for (int c = 0; c < channels; ++c)
      v[t * channels + c] =
          static_cast<std::int16_t>(std::lround(amplitude * std::sin(2 * std::numbers::pi * hz * t / rate)));
  return v;
}

TMMWaveHdr Header(std::int16_t* data, std::size_t bytes) {
  TMMWaveHdr h{};
  h.lpData = reinterpret_cast<char*>(data);
  h.dwBufferLength = static_cast<std::uint32_t>(bytes);
  h.dwBytesRecorded = static_cast<std::int32_t>(bytes);
  return h;
}

// Keeps what is pushed into it.
class Sink : public TMMDSPComponent {
 public:
  void BufferReady(PMMWaveHdr h) override {
    const auto* p = reinterpret_cast<const std::int16_t*>(h->lpData);
    received.insert(received.end(), p, p + h->dwBytesRecorded / 2);
  }
  std::vector<std::int16_t> received;
};

// Fills pulled buffers from a signal.
class Source : public TMMDSPComponent {
 public:
  void BufferLoad(PMMWaveHdr h, bool& more) override {
    const std::size_t n = std::min<std::size_t>(h->dwBufferLength / 2, signal.size() - pos);
    std::memcpy(h->lpData, signal.data() + pos, n * 2);
    pos += n;
    h->dwBytesRecorded = static_cast<std::int32_t>(n * 2);
    more = pos < signal.size();
  }
  std::vector<std::int16_t> signal;
  std::size_t pos = 0;
};

// Pushes a signal through eq in buffers of the given byte size; returns what came out.
std::vector<std::int16_t> Push(TMMEqualizer& eq, std::vector<std::int16_t> signal, std::size_t bufferBytes) {
  for (std::size_t pos = 0; pos < signal.size(); pos += bufferBytes / 2) {
    const std::size_t n = std::min(bufferBytes / 2, signal.size() - pos);
    TMMWaveHdr h = Header(signal.data() + pos, n * 2);
    eq.BufferReady(&h);
  }
  return signal;
}

double Rms(const std::vector<std::int16_t>& v, std::size_t from, std::size_t to, int stride = 1, int offset = 0) {
  double s = 0;
  for (std::size_t i = from; i < to; ++i) s += static_cast<double>(v[i * stride + offset]) * v[i * stride + offset];
  return std::sqrt(s / static_cast<double>(to - from));
}

void ExpectFlatAndDelayed(const std::vector<std::int16_t>& out, const std::vector<std::int16_t>& in, int channels,
                          int delay, int channel) {
  const int frames = static_cast<int>(in.size()) / channels;
  for (int t = 0; t < frames; ++t) {
    const int want = t < delay ? 0 : static_cast<int>(std::trunc(kFlat * in[(t - delay) * channels + channel]));
    ASSERT_NEAR(out[t * channels + channel], want, 1) << "frame " << t << " channel " << channel;
  }
}

class CountingEqualizer : public TMMEqualizer {
 public:
  void RebuildResponse() override {
    ++rebuilds;
    TMMEqualizer::RebuildResponse();
  }
  int rebuilds = 0;
};

// A stream in the "EQU" layout: description, FFT length, then the band records.
struct BandRecord {
  bool enabled;
  float f1, f2, gain;
};
std::vector<std::uint8_t> EquStream(const std::string& description, std::int32_t fftLength, std::int16_t count,
                                    const std::vector<BandRecord>& bands) {
  std::vector<std::uint8_t> s{'E', 'Q', 'U', 0, 1};
  auto put = [&](const void* p, std::size_t n) {
    const auto* b = static_cast<const std::uint8_t*>(p);
    s.insert(s.end(), b, b + n);
  };
  const std::int32_t len = static_cast<std::int32_t>(description.size());
  put(&len, 4);
  put(description.data(), description.size());
  put(&fftLength, 4);
  put(&count, 2);
  for (const auto& b : bands) {
    s.push_back(11);
    put("TMMEQFilter", 11);
    s.push_back(b.enabled ? 1 : 0);
    put(&b.f1, 4);
    put(&b.f2, 4);
    put(&b.gain, 4);
  }
  return s;
}

// Everything a preset holds: description, FFT length and every field of every band.
std::vector<std::uint8_t> Settings(const TMMEqualizer& eq) {
  TMemoryStream stream;
  eq.Filters()->WriteData(stream);
  return stream.Bytes();
}

TEST(Equalizer, NewEqualizerHasTheDocumentedDefaults) {
  TMMEqualizer eq;
  EXPECT_EQ(eq.Filters()->Count(), 0);
  EXPECT_EQ(eq.FFTLength(), 256);
  EXPECT_EQ(eq.SampleRate(), 4000);
  EXPECT_EQ(eq.Window(), TMMFFTWindow::fwHamming);
  EXPECT_EQ(eq.Description(), "Untitled");
  EXPECT_EQ(eq.Channel(), TMMChannel::chBoth);
  EXPECT_TRUE(eq.Enabled());
  EXPECT_FALSE(eq.Prepared());
  EXPECT_EQ(eq.Spectrum(), nullptr);
  EXPECT_TRUE(eq.ExposesInput());
  EXPECT_TRUE(eq.ExposesOutput());
}

TEST(Equalizer, FFTLengthAndSampleRateAreClampedAndRounded) {
  TMMEqualizer eq;
  const std::pair<int, int> lengths[] = {{1000, 512}, {5000, 4096}, {3, 8}, {4096, 4096}, {-7, 8}, {300, 256}};
  for (auto [set, want] : lengths) {
    eq.SetFFTLength(set);
    EXPECT_EQ(eq.FFTLength(), want) << set;
  }
  eq.SetSampleRate(200000);
  EXPECT_EQ(eq.SampleRate(), 100000);
  eq.SetSampleRate(1000);
  EXPECT_EQ(eq.SampleRate(), 4000);
  eq.SetSampleRate(22050);
  EXPECT_EQ(eq.SampleRate(), 22050);
}

TEST(Equalizer, AcceptsOnly16BitPcmOutsideDesignMode) {
  TMMEqualizer eq;
  const auto good = Pcm16(2, 44100);
  eq.SetPWaveFormat(&good);
  EXPECT_EQ(eq.SampleRate(), 44100);
  const auto eight = BuildPcmFormat(8, 2, 22050);
  try {
    eq.SetPWaveFormat(&eight);
    FAIL() << "an 8-bit format was accepted";
  } catch (const EMMEqualizerError& e) {
    EXPECT_STREQ(e.what(), "Invalid WaveFormat");
  }
  ASSERT_NE(eq.PWaveFormat(), nullptr);
  EXPECT_EQ(eq.PWaveFormat()->wBitsPerSample, 16);  // the old format stays
  EXPECT_EQ(eq.SampleRate(), 44100);
  auto bad = good;
  bad.nSamplesPerSec = 3999;
  EXPECT_THROW(eq.SetPWaveFormat(&bad), EMMEqualizerError);

  // Connecting an 8-bit source raises at run time.
  TMMDSPComponent source;
  source.SetPWaveFormat(&eight);
  TMMEqualizer other;
  EXPECT_THROW(source.SetOutput(&other), EMMEqualizerError);

  // In design mode any format is taken and sets the sample rate.
  TMMEqualizer designed;
  designed.SetState(TComponentStateFlag::csDesigning, true);
  designed.SetPWaveFormat(&eight);
  EXPECT_EQ(designed.SampleRate(), 22050);
  designed.Open();
  EXPECT_FALSE(designed.Prepared());  // never filters 8-bit data as if it were 16-bit
  const auto in = Noise(2048, 90, 1u);
  EXPECT_EQ(Push(designed, in, 1024), in);
}

TEST(Equalizer, PushedBuffersAreFilteredBeforeTheyGoOn) {
  const auto fmt = Pcm16(2, 44100);
  TMMEqualizer eq;
  Sink sink;
  eq.SetPWaveFormat(&fmt);
  eq.SetOutput(&sink);
  eq.Open();
  ASSERT_TRUE(eq.Prepared());
  eq.Start();
  const auto in = Noise(2 * 8192, 15000, 2u);
  Push(eq, in, 2048);
  ASSERT_EQ(sink.received.size(), in.size());
  // All gains 0 dB: the input scaled by about 0.998 and late by N/4 = 64 frames; the
  // first buffer after Open starts with silence.
  ExpectFlatAndDelayed(sink.received, in, 2, 64, 0);
  ExpectFlatAndDelayed(sink.received, in, 2, 64, 1);
  eq.Close();
  EXPECT_FALSE(eq.Prepared());
}

TEST(Equalizer, PulledBuffersAreFilteredAfterUpstreamFilledThem) {
  const auto fmt = Pcm16(1, 22050);
  Source source;
  TMMEqualizer eq;
  source.SetPWaveFormat(&fmt);
  source.SetOutput(&eq);
  EXPECT_EQ(eq.SampleRate(), 22050);
  eq.SetFFTLength(128);
  eq.Open();
  source.signal = Noise(4096, 12000, 3u);
  std::vector<std::int16_t> out;
  std::vector<std::int16_t> buffer(512);
  bool more = true;
  while (more) {
    TMMWaveHdr h = Header(buffer.data(), buffer.size() * 2);
    h.dwBytesRecorded = 0;
    eq.BufferLoad(&h, more);
    out.insert(out.end(), buffer.begin(), buffer.begin() + h.dwBytesRecorded / 2);
  }
  ASSERT_EQ(out.size(), source.signal.size());
  ExpectFlatAndDelayed(out, source.signal, 1, 32, 0);
}

TEST(Equalizer, FormatChangeWhileOpenGetsAFilterForTheNewLayout) {
  TMMEqualizer eq;
  const auto mono = Pcm16(1, 22050), stereo = Pcm16(2, 44100);
  eq.SetPWaveFormat(&mono);
  eq.Open();
  eq.SetPWaveFormat(&stereo);  // a mono filter would mix the two channels up
  const auto in = Noise(2 * 4096, 12000, 13u);
  const auto out = Push(eq, in, 4096);
  ExpectFlatAndDelayed(out, in, 2, 64, 0);
  ExpectFlatAndDelayed(out, in, 2, 64, 1);
}

TEST(Equalizer, DisabledPassesBuffersUntouchedAndUndelayed) {
  const auto fmt = Pcm16(2, 44100);
  TMMEqualizer eq;
  eq.SetPWaveFormat(&fmt);
  eq.Open();
  eq.SetEnabled(false);
  const auto in = Noise(4096, 10000, 4u);
  EXPECT_EQ(Push(eq, in, 1024), in);
  // Enabling again starts from an empty filter: silence first, then the delayed input.
  eq.SetEnabled(true);
  const auto out = Push(eq, in, 2048);
  ExpectFlatAndDelayed(out, in, 2, 64, 0);
}

TEST(Equalizer, ClippingIsCountedAndReportedOnceOnTheMainThread) {
  const auto fmt = Pcm16(2, 44100);
  TMMEqualizer eq;
  eq.SetPWaveFormat(&fmt);
  eq.Filters()->Add(new TMMEQFilter(0, 22050, 12));
  int events = 0;
  TObject* sender = nullptr;
  eq.OnPcmOverflow = [&](TObject* s) {
    ++events;
    sender = s;
  };
  eq.Open();
  eq.Start();
  std::vector<std::int16_t> square(2 * 8192);
  for (std::size_t t = 0; t < 8192; ++t) square[2 * t] = square[2 * t + 1] = (t / 100) % 2 ? -32768 : 32767;
  const auto out = Push(eq, square, 4096);  // 8 buffers
  // Counted at once; the event waits for the queue and stands for all eight.
  EXPECT_EQ(eq.ClippedBuffers(), 8);
  EXPECT_EQ(events, 0);
  ProcessPendingMessages();
  EXPECT_EQ(events, 1);
  EXPECT_EQ(sender, &eq);
  for (std::size_t i = 4096; i < out.size(); ++i) {
    const std::size_t t = i / 2 - 64;  // the input frame this output comes from
    if (t % 100 < 20 || t % 100 > 80) continue;
    ASSERT_EQ(out[i], square[2 * t]) << i;  // held at the rail, never wrapped
  }
  // The first quiet buffer still brings the boosted tail of the square wave; the next
  // one does not clip.
  events = 0;
  Push(eq, Noise(4096, 2000, 6u), 4096);
  ProcessPendingMessages();
  EXPECT_EQ(events, 1);
  EXPECT_EQ(eq.ClippedBuffers(), 9);
  Push(eq, Noise(4096, 2000, 7u), 4096);
  ProcessPendingMessages();
  EXPECT_EQ(events, 1);
  EXPECT_EQ(eq.ClippedBuffers(), 9);
  eq.Stop();
  eq.Start();  // a new run counts from 0
  EXPECT_EQ(eq.ClippedBuffers(), 0);
}

TEST(Equalizer, BandChangesReachTheFilterAndNotify) {
  const auto fmt = Pcm16(1, 44100);
  TMMEqualizer eq;
  eq.SetPWaveFormat(&fmt);
  eq.SetFFTLength(1024);
  int changes = 0;
  eq.OnChange = [&](TObject*) { ++changes; };
  auto* band = new TMMEQFilter(2000, 4000, 0);
  eq.Filters()->Add(band);
  EXPECT_EQ(changes, 1);  // the list's change notification
  eq.Open();
  const auto sine = Sine(16384, 1, 3000, 10000);
  auto level = [&] {
    eq.SetEnabled(false);  // start each measurement from an empty filter
    eq.SetEnabled(true);
    const auto out = Push(eq, sine, 8192);
    return 20 * std::log10(Rms(out, 4096, 16384) / Rms(sine, 4096, 16384));
  };
  EXPECT_NEAR(level(), 0.0, 0.1);
  band->SetBand(2000, 4000, -20);
  EXPECT_EQ(changes, 2);
  EXPECT_NEAR(level(), -20.0, 0.5);
  // Disabling a band that overlaps no other sets its range to 0 dB; enabling re-applies.
  band->SetBandEnabled(false);
  EXPECT_EQ(changes, 3);
  EXPECT_NEAR(level(), 0.0, 0.1);
  band->SetBandEnabled(true);
  EXPECT_NEAR(level(), -20.0, 0.5);
  band->SetBand(2000, 4000, -20);  // same values: no notification
  EXPECT_EQ(changes, 4);
  // A rebuild skips disabled bands.
  band->SetBandEnabled(false);
  eq.RebuildResponse();
  EXPECT_NEAR(level(), 0.0, 0.1);
}

TEST(Equalizer, FFTLengthChangeWhilePreparedReplacesTheFilter) {
  const auto fmt = Pcm16(1, 44100);
  TMMEqualizer flat;
  flat.SetPWaveFormat(&fmt);
  flat.Open();
  const auto noise = Noise(16384, 9000, 7u);
  ExpectFlatAndDelayed(Push(flat, noise, 2048), noise, 1, 64, 0);
  flat.SetFFTLength(2048);  // the filter works with N = 1024: a quarter block is 256 frames
  EXPECT_EQ(flat.FFTLength(), 2048);
  ExpectFlatAndDelayed(Push(flat, noise, 2048), noise, 1, 256, 0);

  // The bands come along to the new filter: 3 kHz stays 20 dB down.
  TMMEqualizer eq;
  eq.SetPWaveFormat(&fmt);
  eq.Filters()->Add(new TMMEQFilter(2000, 4000, -20));
  eq.Open();
  eq.SetFFTLength(1024);
  const auto tone = Sine(16384, 1, 3000, 10000);
  const auto out = Push(eq, tone, 2048);
  EXPECT_NEAR(20 * std::log10(Rms(out, 4096, 16384) / Rms(tone, 4096, 16384)), -20.0, 0.5);
}

TEST(Equalizer, LoadingTheDefaultBandListRebuildsOnce) {
  const auto fmt = Pcm16(2, 44100);
  CountingEqualizer eq;
  eq.SetPWaveFormat(&fmt);
  eq.Open();
  eq.rebuilds = 0;
  int changes = 0;
  eq.OnChange = [&](TObject*) { ++changes; };
  LoadDefaultBandList(*eq.Filters());
  EXPECT_EQ(eq.Filters()->Count(), 15);
  EXPECT_EQ(eq.Description(), "Untitled");
  EXPECT_EQ(eq.FFTLength(), 256);
  EXPECT_EQ(eq.rebuilds, 1);
  EXPECT_EQ(changes, 1);
  EXPECT_EQ(eq.Filters()->Band(14)->F2(), 22050.0f);
  // Each band now notifies the equalizer.
  eq.Filters()->Band(3)->SetBand(200, 600, -10);
  EXPECT_EQ(changes, 2);
  EXPECT_EQ(eq.rebuilds, 1);  // a single band updates incrementally
  // Assigning the list to another equalizer copies the bands with one notification.
  CountingEqualizer other;
  int otherChanges = 0;
  other.OnChange = [&](TObject*) { ++otherChanges; };
  other.SetFilters(eq.Filters());
  EXPECT_EQ(other.Filters()->Count(), 15);
  EXPECT_EQ(other.Filters()->Band(3)->Gain(), -10.0f);
  EXPECT_EQ(otherChanges, 1);
  EXPECT_EQ(other.rebuilds, 1);
  other.SetFilters(nullptr);
  EXPECT_EQ(other.Filters()->Count(), 0);
  EXPECT_EQ(otherChanges, 2);
}

// A stream that fails part-way, with an absurd length or count, or with a non-finite
// number leaves the equalizer exactly as it was and rebuilds nothing.
TEST(Equalizer, FailedLoadsLeaveTheSettingsAlone) {
  const auto fmt = Pcm16(2, 44100);
  CountingEqualizer eq;
  eq.SetPWaveFormat(&fmt);
  eq.Open();
  eq.SetDescription("Mine");
  eq.SetFFTLength(1024);
  eq.Filters()->Add(new TMMEQFilter(0, 100, 3));
  eq.Filters()->Add(new TMMEQFilter(100, 5000, -4));
  const auto before = Settings(eq);
  eq.rebuilds = 0;
  int changes = 0;
  eq.OnChange = [&](TObject*) { ++changes; };

  const std::vector<BandRecord> two{{true, 0, 60, 1}, {true, 60, 120, 2}};
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  std::vector<std::vector<std::uint8_t>> streams{
      EquStream("Other", 512, 15, two),     // ends after two of 15 bands
      EquStream("Other", 512, -1, two),     // negative count
      EquStream("Other", 512, 32767, two),  // count far beyond the data
      EquStream("Other", 512, 2, {{true, 0, 60, nan}, {true, 60, 120, 0}}),
      EquStream("Other", 512, 1, {{true, 0, inf, 0}}),
  };
  auto huge = EquStream("x", 512, 0, {});
  const std::int32_t big = std::numeric_limits<std::int32_t>::max();
  std::memcpy(huge.data() + 5, &big, 4);  // a description length of 2^31 - 1
  streams.push_back(huge);

  const std::string path = testing::TempDir() + "eqa_failed_load.sqp";
  for (std::size_t i = 0; i < streams.size(); ++i) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    ASSERT_NE(file, nullptr);
    std::fwrite(streams[i].data(), 1, streams[i].size(), file);
    std::fclose(file);
    try {
      eq.Filters()->LoadFromFile(path);
      ADD_FAILURE() << "stream " << i << " was accepted";
    } catch (const EStreamError& e) {
      EXPECT_STREQ(e.what(), "Unable to load Object stream") << "stream " << i;
    }
    EXPECT_EQ(Settings(eq), before) << "stream " << i;
  }
  std::remove(path.c_str());
  EXPECT_EQ(eq.rebuilds, 0);
  EXPECT_EQ(changes, 0);

  // Edges below 0 Hz are taken as 0 Hz.
  const auto low = EquStream("Low", 256, 1, {{true, -300, 200, -6}});
  TReadOnlyMemoryStream below(low.data(), low.size());
  eq.Filters()->ReadData(below);
  ASSERT_EQ(eq.Filters()->Count(), 1);
  EXPECT_EQ(eq.Filters()->Band(0)->F1(), 0.0f);
  EXPECT_EQ(eq.Description(), "Low");
  EXPECT_EQ(eq.FFTLength(), 256);
  EXPECT_EQ(eq.rebuilds, 1);
}

class FakeSpectrum : public TComponent, public TMMResponseDisplay {
 public:
  ~FakeSpectrum() override { BeginDestruction(); }
  void SetWindow(TMMFFTWindow w) override { window = w; }
  void SetResponseHook(TNotifyEvent h) override { hook = std::move(h); }
  void ResetDisplay() override {
    ++resets;
    if (hook) hook(this);
  }
  void SetDataFormat(const TWaveFormatEx* f) override { format = *f; }
  std::int32_t FrameSize() const override { return frameSize; }
  void ProcessFrame(const void* data) override {
    const auto* p = static_cast<const std::int16_t*>(data);
    frame.assign(p, p + 8193);
    ++frames;
  }
  TMMFFTWindow window = TMMFFTWindow::fwHamming;
  TNotifyEvent hook;
  TWaveFormatEx format{};
  std::int32_t frameSize = 512;
  std::vector<std::int16_t> frame;
  int resets = 0, frames = 0;
};

double BinMagnitude(const std::vector<std::int16_t>& x, int n, double hz, int rate) {
  std::complex<double> s = 0;
  for (int t = 0; t < n; ++t) s += static_cast<double>(x[t]) * std::polar(1.0, -2 * std::numbers::pi * hz * t / rate);
  return std::abs(s);
}

TEST(Equalizer, SpectrumShowsTheImpulseResponseOfTheBands) {
  TMMEqualizer eq;
  eq.SetSampleRate(44100);
  FakeSpectrum spectrum;
  eq.SetSpectrum(&spectrum);
  EXPECT_EQ(eq.Spectrum(), &spectrum);
  EXPECT_EQ(spectrum.window, TMMFFTWindow::fwRectangular);
  ASSERT_TRUE(spectrum.hook);
  EXPECT_EQ(spectrum.format.nChannels, 1);
  EXPECT_EQ(spectrum.format.wBitsPerSample, 16);
  EXPECT_EQ(spectrum.format.nSamplesPerSec, 44100u);
  ASSERT_GT(spectrum.frames, 0);
  // Flat: the impulse of 21500, scaled and late by N/4 = 64 samples.
  EXPECT_NEAR(spectrum.frame[64], std::trunc(21500 * kFlat), 1);
  EXPECT_EQ(spectrum.frame[0], 0);

  // A band change redraws; the frame shows the band 20 dB down.
  const int before = spectrum.frames;
  eq.Filters()->Add(new TMMEQFilter(4000, 8000, -20));
  EXPECT_GT(spectrum.frames, before);
  const double inBand = BinMagnitude(spectrum.frame, 256, 6029.3, 44100);
  const double outside = BinMagnitude(spectrum.frame, 256, 1033.6, 44100);
  EXPECT_NEAR(20 * std::log10(inBand / outside), -20.0, 1.0);
  // Redrawing twice gives the same picture.
  const auto first = spectrum.frame;
  spectrum.ResetDisplay();
  EXPECT_EQ(spectrum.frame, first);
  // A frame larger than the display filter's capacity (8192 bytes) is filtered in
  // slices, with the same result as far as the smaller one reaches.
  eq.SetFFTLength(4096);
  const auto within = spectrum.frame;  // 2 x 4096 bytes processed
  spectrum.frameSize = 16384;
  spectrum.ResetDisplay();
  EXPECT_TRUE(std::equal(within.begin(), within.begin() + 4096, spectrum.frame.begin()));
  EXPECT_GT(std::abs(spectrum.frame[256]), 10000);

  eq.SetSpectrum(nullptr);
  EXPECT_FALSE(spectrum.hook);
  EXPECT_EQ(eq.Spectrum(), nullptr);

  // A spectrum that goes away is forgotten.
  {
    FakeSpectrum shortLived;
    eq.SetSpectrum(&shortLived);
  }
  EXPECT_EQ(eq.Spectrum(), nullptr);
  eq.Filters()->Add(new TMMEQFilter(100, 200, 3));  // would reach a dangling display
}

TEST(Equalizer, AudioPathAllocatesNothing) {
  const auto fmt = Pcm16(2, 44100);
  TMMEqualizer eq;
  Sink sink;
  eq.SetPWaveFormat(&fmt);
  eq.SetFFTLength(1024);
  eq.Open();
  LoadDefaultBandList(*eq.Filters());
  sink.received.reserve(1 << 16);
  eq.SetOutput(&sink);
  auto in = Noise(2 * 8192, 8000, 9u);
  const int before = gWatchedAllocations.load();
  tWatchAllocations = true;
  for (std::size_t pos = 0; pos < in.size(); pos += 2048) {
    TMMWaveHdr h = Header(in.data() + pos, 4096);
    bool more = false;
    eq.BufferReady(&h);
    eq.BufferLoad(&h, more);
  }
  tWatchAllocations = false;
  EXPECT_EQ(gWatchedAllocations.load(), before);
}

// A driver-like worker pushes buffers through the equalizer while the main thread moves
// bands, changes the window, the FFT length, the channel and the enable switch. Overflow
// events arrive on the main thread. Run under ThreadSanitizer as well.
class PushWorker : public TMMDSPThread {
 public:
  explicit PushWorker(TMMEqualizer* eq) : TMMDSPThread(eq), eq_(eq) {}
  std::atomic<int> buffers{0};
  std::atomic<bool> done{false};

 protected:
  void Execute() override {
    auto loud = Sine(2048, 2, 1000, 30000);
    auto quiet = Noise(2 * 2048, 3000, 12u);
    std::vector<std::int16_t> buf(loud.size());
    while (!Terminated()) {
      const int i = buffers.load();
      buf = (i % 3 == 0) ? loud : quiet;
      TMMWaveHdr h = Header(buf.data(), buf.size() * 2);
      eq_->BufferReady(&h);
      buffers.fetch_add(1);
    }
    done = true;
  }

 private:
  TMMEqualizer* eq_;
};

class CountingSink : public TMMDSPComponent {
 public:
  void BufferReady(PMMWaveHdr h) override {
    if (h->dwBytesRecorded == 8192) buffers.fetch_add(1);
  }
  std::atomic<int> buffers{0};
};

TEST(Equalizer, ConfigurationChangesWhileAWorkerPushesBuffers) {
  ASSERT_TRUE(IsMainThread());
  const auto fmt = Pcm16(2, 44100);
  TMMEqualizer eq;
  CountingSink sink;
  eq.SetPWaveFormat(&fmt);
  eq.SetOutput(&sink);
  LoadDefaultBandList(*eq.Filters());
  eq.Open();
  eq.Start();
  std::atomic<int> overflows{0};
  std::atomic<bool> overflowOffMain{false};
  eq.OnPcmOverflow = [&](TObject*) {
    if (!IsMainThread()) overflowOffMain = true;
    overflows.fetch_add(1);
  };
  PushWorker worker(&eq);
  worker.Resume();
  const TMMFFTWindow windows[] = {TMMFFTWindow::fwHanning, TMMFFTWindow::fwBlackman, TMMFFTWindow::fwRectangular,
                                  TMMFFTWindow::fwHamming};
  const int lengths[] = {1024, 64, 4096, 256, 8, 512};
  for (int i = 0; i < 60; ++i) {
    TMMEQFilter* band = eq.Filters()->Band(i % 15);
    band->SetBand(band->F1(), band->F2(), static_cast<float>((i * 7) % 28 - 12));
    if (i % 4 == 0) eq.SetWindow(windows[(i / 4) % 4]);
    if (i % 5 == 0) eq.SetFFTLength(lengths[(i / 5) % 6]);
    if (i % 9 == 0) eq.SetChannel(static_cast<TMMChannel>((i / 9) % 3));
    if (i % 13 == 0) eq.SetEnabled(!eq.Enabled());
    if (i == 30) LoadDefaultBandList(*eq.Filters());
    const int target = worker.buffers.load() + 3;
    ASSERT_TRUE(RunUntil([&] { return worker.buffers.load() >= target; }, std::chrono::seconds(30)));
  }
  eq.SetEnabled(true);
  for (int b = 0; b < 15; ++b) {  // the loud tone clips
    TMMEQFilter* band = eq.Filters()->Band(b);
    band->SetBand(band->F1(), band->F2(), 12);
  }
  const int target = overflows.load() + 2;
  EXPECT_TRUE(RunUntil([&] { return overflows.load() >= target; }, std::chrono::seconds(30)));
  worker.Terminate();
  ASSERT_TRUE(RunUntil([&] { return worker.done.load(); }, std::chrono::seconds(30)));
  worker.WaitFor();
  EXPECT_FALSE(overflowOffMain.load());
  EXPECT_GE(sink.buffers.load(), 180);
  eq.Close();
}

}  // namespace
}  // namespace strataeq
