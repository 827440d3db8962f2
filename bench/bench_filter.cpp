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
