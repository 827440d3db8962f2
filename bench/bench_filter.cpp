// ProcessFilter on 44.1 kHz 16-bit stereo in 8192-byte calls, as the equalizer sees it
// behind a device: "x_realtime" is seconds of audio filtered per second of CPU on one
// core. Also the cost of one redesign (SetFilterBand).
#include <benchmark/benchmark.h>

#include <random>
#include <vector>

#include "eq/MMFFTFlt.h"

namespace {

using namespace strataeq;

void BM_ProcessFilter(benchmark::State& state) {
  const auto fmt = BuildPcmFormat(16, 2, 44100);
  auto f = CreateFFTFilter(&fmt, static_cast<int>(state.range(0)), 65536);
  SetFilterBand(f.get(), 2000, 4000, -20);
  std::mt19937 gen(3);
  std::uniform_int_distribution<int> d(-12000, 12000);
  std::vector<std::int16_t> source(4096);
  for (auto& s : source) s = static_cast<std::int16_t>(d(gen));
  std::vector<std::int16_t> buf(4096);
  for (auto _ : state) {
    buf = source;
    benchmark::DoNotOptimize(ProcessFilter(f.get(), TMMChannel::chBoth, buf.data(), 8192));
  }
  const double audioSeconds = 2048.0 / 44100.0;  // per call
  state.counters["x_realtime"] =
      benchmark::Counter(audioSeconds * static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_ProcessFilter)->Arg(256)->Arg(1024)->Unit(benchmark::kMicrosecond);

// The file route's aligned 16-bit path (ProcessFilterAligned) and the float path, on
// the same 2048 stereo frames per call as BM_ProcessFilter.
void BM_ProcessFilterAligned(benchmark::State& state) {
  const auto fmt = BuildPcmFormat(16, 2, 44100);
  auto f = CreateFFTFilter(&fmt, static_cast<int>(state.range(0)), 65536);
  SetFilterAligned(f.get(), true);
  SetFilterBand(f.get(), 2000, 4000, -20);
  std::mt19937 gen(3);
  std::uniform_int_distribution<int> d(-12000, 12000);
  std::vector<std::int16_t> source(4096);
  for (auto& s : source) s = static_cast<std::int16_t>(d(gen));
  std::vector<std::int16_t> buf(4096);
  int delivered = 0;
  for (auto _ : state) {
    buf = source;
    benchmark::DoNotOptimize(ProcessFilterAligned(f.get(), TMMChannel::chBoth, buf.data(), 8192, delivered));
  }
  const double audioSeconds = 2048.0 / 44100.0;
  state.counters["x_realtime"] =
      benchmark::Counter(audioSeconds * static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_ProcessFilterAligned)->Arg(256)->Arg(1024)->Unit(benchmark::kMicrosecond);

void BM_ProcessFilterFloat(benchmark::State& state) {
  const auto fmt = BuildWaveFormat(TPcmSampleType::stFloat32, 2, 44100).Format;
  auto f = CreateFFTFilter(&fmt, static_cast<int>(state.range(0)), 65536);
  SetFilterAligned(f.get(), true);
  SetFilterBand(f.get(), 2000, 4000, -20);
  std::mt19937 gen(3);
  std::uniform_real_distribution<float> d(-0.4f, 0.4f);
  std::vector<float> source(4096);
  for (auto& s : source) s = d(gen);
  std::vector<float> buf(4096);
  int delivered = 0;
  for (auto _ : state) {
    buf = source;
    benchmark::DoNotOptimize(ProcessFilterAligned(f.get(), TMMChannel::chBoth, buf.data(), 16384, delivered));
  }
  const double audioSeconds = 2048.0 / 44100.0;
  state.counters["x_realtime"] =
      benchmark::Counter(audioSeconds * static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_ProcessFilterFloat)->Arg(256)->Arg(1024)->Unit(benchmark::kMicrosecond);

// The WAV ends' conversions per 2048 stereo frames: 24-bit to float, float to 24-bit,
// float to 16-bit with dither.
void BM_SampleConversions(benchmark::State& state) {
  const auto type = static_cast<TPcmSampleType>(state.range(0));
  std::vector<std::uint8_t> raw(4096 * 4);
  std::vector<float> floats(4096, 0.25f);
  TDither dither;
  for (auto _ : state) {
    SamplesToFloat(TPcmSampleType::stInt24, raw.data(), floats.data(), 4096);
    FloatToSamples(type, floats.data(), raw.data(), 4096, type == TPcmSampleType::stInt16 ? &dither : nullptr);
    benchmark::ClobberMemory();
  }
  const double audioSeconds = 2048.0 / 44100.0;
  state.counters["x_realtime"] =
      benchmark::Counter(audioSeconds * static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_SampleConversions)
    ->Arg(static_cast<int>(TPcmSampleType::stInt16))
    ->Arg(static_cast<int>(TPcmSampleType::stInt24))
    ->Unit(benchmark::kMicrosecond);

void BM_SetFilterBand(benchmark::State& state) {
  const auto fmt = BuildPcmFormat(16, 2, 44100);
  auto f = CreateFFTFilter(&fmt, static_cast<int>(state.range(0)), 65536);
  float g = 0;
  for (auto _ : state) {
    SetFilterBand(f.get(), 2000, 4000, g);
    g = g > 10 ? -10 : g + 1;
  }
}
BENCHMARK(BM_SetFilterBand)->Arg(256)->Arg(1024)->Unit(benchmark::kMicrosecond);

}  // namespace
