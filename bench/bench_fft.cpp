// Complex and real transforms beside FFTW single precision in the same binary.
// Each benchmark reports ns per transform; the FFTW_* runs carry the plan made with
// FFTW_MEASURE before the timed loop. "ratio" is our time over FFTW's for the same
// size and kind, measured in the same run (a short FFTW loop before ours).
#include <benchmark/benchmark.h>
#include <fftw3.h>

#include <chrono>
#include <random>
#include <vector>

#include "eq/MMFFT.h"

namespace {

using namespace strataeq;

std::vector<float> Noise(std::size_t n) {
  std::mt19937 gen(7);
  std::uniform_real_distribution<float> d(-1.0f, 1.0f);
  std::vector<float> v(n);
  for (auto& x : v) x = d(gen);
  return v;
}

// FFTW plans are made once per size and kind and kept (planning is slow).
struct FftwComplex {
  explicit FftwComplex(int n) : n(n) {
    buf = fftwf_alloc_complex(static_cast<std::size_t>(n));
    plan = fftwf_plan_dft_1d(n, buf, buf, FFTW_FORWARD, FFTW_MEASURE);
    auto src = Noise(2 * static_cast<std::size_t>(n));
    std::copy(src.begin(), src.end(), reinterpret_cast<float*>(buf));
  }
  ~FftwComplex() {
    fftwf_destroy_plan(plan);
    fftwf_free(buf);
  }
  void Run() { fftwf_execute(plan); }
  int n;
  fftwf_complex* buf;
  fftwf_plan plan;
};

struct FftwReal {
  explicit FftwReal(int n) : n(n) {
    in = fftwf_alloc_real(static_cast<std::size_t>(n));
    out = fftwf_alloc_complex(static_cast<std::size_t>(n / 2 + 1));
    plan = fftwf_plan_dft_r2c_1d(n, in, out, FFTW_MEASURE);
    auto src = Noise(static_cast<std::size_t>(n));
    std::copy(src.begin(), src.end(), in);
  }
  ~FftwReal() {
    fftwf_destroy_plan(plan);
    fftwf_free(in);
    fftwf_free(out);
  }
  void Run() { fftwf_execute(plan); }
  int n;
  float* in;
  fftwf_complex* out;
  fftwf_plan plan;
};

template <class F>
double NsPerCall(F&& f, int calls) {
  const auto t0 = std::chrono::steady_clock::now();
  for (int i = 0; i < calls; ++i) f();
  const auto t1 = std::chrono::steady_clock::now();
  return std::chrono::duration<double, std::nano>(t1 - t0).count() / calls;
}

// Best of several short runs: robust against the other processes on the machine.
template <class F>
double BestNs(F&& f, int n) {
  const int calls = std::max(50, 2'000'000 / (n * 4));
  double best = 1e300;
  for (int r = 0; r < 15; ++r) best = std::min(best, NsPerCall(f, calls));
  return best;
}

void SetCounters(benchmark::State& state, double ours, double fftw) {
  state.counters["ours_ns"] = ours;
  state.counters["fftw_ns"] = fftw;
  state.counters["ratio"] = ours / fftw;
}

void BM_ComplexFFT(benchmark::State& state) {
  const int k = static_cast<int>(state.range(0));
  const int n = 1 << k;
  auto ctx = CreateComplexFFT(k);
  auto data = Noise(2 * static_cast<std::size_t>(n));
  FftwComplex fftw(n);
  for (auto _ : state) {
    ComplexFFT(ctx.get(), data.data(), 1);
    benchmark::DoNotOptimize(data.data());
  }
  const double fftwNs = BestNs([&] { fftw.Run(); }, n);
  const double ours = BestNs([&] { ComplexFFT(ctx.get(), data.data(), 1); }, n);
  SetCounters(state, ours, fftwNs);
}

void BM_ComplexFFT_Portable(benchmark::State& state) {
  const int k = static_cast<int>(state.range(0));
  auto ctx = CreateComplexFFT(k);
  auto data = Noise(2 * (std::size_t{1} << k));
  AllowVectorFFT(false);
  for (auto _ : state) {
    ComplexFFT(ctx.get(), data.data(), 1);
    benchmark::DoNotOptimize(data.data());
  }
  AllowVectorFFT(true);
}

void BM_RealFFT(benchmark::State& state) {
  const int k = static_cast<int>(state.range(0));
  const int n = 1 << k;
  auto ctx = CreateRealFFT(k);
  auto data = Noise(static_cast<std::size_t>(n));
  FftwReal fftw(n);
  for (auto _ : state) {
    RealFFT(ctx.get(), data.data(), 1);
    benchmark::DoNotOptimize(data.data());
  }
  const double fftwNs = BestNs([&] { fftw.Run(); }, n);
  const double ours = BestNs([&] { RealFFT(ctx.get(), data.data(), 1); }, n);
  SetCounters(state, ours, fftwNs);
}

void BM_FFTW_Complex(benchmark::State& state) {
  FftwComplex fftw(1 << state.range(0));
  for (auto _ : state) {
    fftw.Run();
    benchmark::DoNotOptimize(fftw.buf);
  }
}

void BM_FFTW_Real(benchmark::State& state) {
  FftwReal fftw(1 << state.range(0));
  for (auto _ : state) {
    fftw.Run();
    benchmark::DoNotOptimize(fftw.out);
  }
}

BENCHMARK(BM_ComplexFFT)->DenseRange(3, 12);
BENCHMARK(BM_FFTW_Complex)->DenseRange(3, 12);
BENCHMARK(BM_ComplexFFT_Portable)->DenseRange(3, 12);
BENCHMARK(BM_RealFFT)->DenseRange(3, 12);
BENCHMARK(BM_FFTW_Real)->DenseRange(3, 12);

}  // namespace
