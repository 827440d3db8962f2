// Complex and real FFTs of power-of-two sizes on 32-bit floats, their precomputed
// contexts, the analysis windows and small vector helpers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>

#include "foundation/MMUtils.h"

namespace strataeq {

namespace detail {
// Zero-initialised, 64-byte aligned float storage owned by a context.
struct AlignedFree {
  void operator()(float* p) const { ::operator delete[](p, std::align_val_t(64)); }
};
using AlignedFloats = std::unique_ptr<float[], AlignedFree>;
AlignedFloats AllocFloats(std::size_t n);  // std::bad_alloc when memory runs out
}  // namespace detail

// A complex transform of N = 2^k points. The tables are built once; a transform
// allocates nothing. One context serves one transform at a time (it keeps scratch
// space of its own), so a context shared between threads needs its owner's lock.
struct TComplexFFTContext {
  std::int32_t Log2Size = 0;
  std::int32_t Size = 0;
  float Scale = 0;                             // 1 / N
  std::unique_ptr<std::int32_t[]> BitReverse;  // N entries
  // N/4 entries of cos((j+1)t), -sin((j+1)t), cos(3(j+1)t), -sin(3(j+1)t), t = 2pi/N;
  // absent below N = 4.
  std::unique_ptr<float[]> Twiddles;

  // Tables of the vectorised transform (N >= 64 on processors with AVX2 and FMA).
  bool Vector = false;
  detail::AlignedFloats Scratch;               // 2N floats: N/8 blocks of 8 real and 8 imaginary parts
  detail::AlignedFloats StageTw;               // per butterfly stage, 6 floats per butterfly
  detail::AlignedFloats FinalTw;               // per block of 8 outputs, 7 x 16 floats
  std::unique_ptr<std::int32_t[]> BlockOrder;  // N/8 entries: where the sub-transforms leave output j
};

// A forward real transform of N = 2^k samples on a complex transform of N/2 points.
struct TRealFFTContext {
  std::int32_t Log2Size = 0;
  std::int32_t Size = 0;
  float Scale = 0;                           // 1 / N
  std::unique_ptr<TComplexFFTContext> Half;  // N/2 points
  // N/4 entries of 0.5cos((j+1)f), 0.5 - 0.5sin((j+1)f), f = 2pi/N.
  std::unique_ptr<float[]> Split;
  // cos and sin of 2pi m/N for m = 0 .. N/4, as the recombination reads them, and
  // the same in blocks of 8 in the lane order of the vectorised recombination.
  detail::AlignedFloats SplitCos, SplitSin;
  detail::AlignedFloats LaneCos, LaneSin;
};

using PComplexFFT = std::unique_ptr<TComplexFFTContext>;
using PRealFFT = std::unique_ptr<TRealFFTContext>;

// No context when k <= 0 or k >= 32. Sizes whose tables cannot be held (k above 26)
// raise std::bad_alloc like any other allocation failure.
PComplexFFT CreateComplexFFT(int k);
PRealFFT CreateRealFFT(int k);
void ReleaseFFT(PComplexFFT& context);
void ReleaseFFT(PRealFFT& context);

// In place on N interleaved complex values (2N floats).
// direction 1 (and 0 or any other positive code): forward, unscaled;
// -1: inverse, scaled by 1/N; -2 (and any other negative code): forward, scaled by 1/N.
// Nothing happens without a context or data.
void ComplexFFT(TComplexFFTContext* context, float* data, int direction);

// In place on N real samples; direction is clamped to -1..1.
// Forward (0 or 1): element 0 = X[0], element 1 = 0, elements 2m and 2m+1 = X[m] for
// m = 1 .. N/2 - 1, unscaled. Inverse (-1): the layout above (element 1 read as the
// Nyquist term X[N/2]) back to N samples, scaled by 1/N.
void RealFFT(TRealFFTContext* context, float* data, int direction);

// n <= 0 gives 1 for every window.
float WindowValue(TMMFFTWindow window, int i, int n);
// N = 2^k entries of Floor(WindowValue(window, i, N) * 32767 + 0.5).
void BuildWindowTable(std::int32_t* table, TMMFFTWindow window, int k);

void MultiplyFloats(float* data, int n, float factor);
// a[j] *= b[j] for n complex values.
void MultiplyComplex(float* a, const float* b, int n);
void ClearFloats(float* data, int n);
void ClearComplex(float* data, int n);

namespace detail {
// The FFT filter's block on a vectorised context (Vector set, N >= 64): N samples of
// channel `channel` of 16-bit or float samples (T) with stride 1 or 2, taken as
// z[p] = x[p] + i x[p + N/2] (zero from N/2 on), transformed, multiplied by H / N
// (kr[k] = Re, nki[k] = -Im, N entries each, 32-byte aligned) and conjugated, transformed
// again; then out[p] = the real part plus overlap[p] and out[p + N/2] = Re z[p + N/2] -
// Im z[p] (16-bit: truncated and held in range), and overlap[p] = -Im z[p + N/2], for
// p < N/2. Works in the context's scratch and work (2N floats, 32-byte aligned). The
// same numbers as the general transforms give, without their passes over the data in
// between. Returns whether any 16-bit sample was clipped.
template <class T>
bool FilterBlockFused(TComplexFFTContext& context, const T* src, int stride, int channel, const float* kr,
                      const float* nki, float* work, float* overlap, T* out);
}  // namespace detail

// Tests and benchmarks: false keeps every transform on the portable code even where
// the vectorised one could run.
void AllowVectorFFT(bool allow);
bool VectorFFTAvailable();
// Available and allowed: whether vectorised code runs now.
bool VectorFFTEnabled();

}  // namespace strataeq
