#include "eq/MMFFT.h"

#include <immintrin.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cmath>
#include <cstring>
#include <numbers>
#include <type_traits>
#include <utility>

#include "eq/MMFFTSmall.h"

namespace strataeq {

namespace detail {
AlignedFloats AllocFloats(std::size_t n) {
  auto* p = static_cast<float*>(::operator new[](n * sizeof(float), std::align_val_t(64)));
  std::memset(p, 0, n * sizeof(float));
  return AlignedFloats(p);
}
}  // namespace detail

namespace {

// Tables beyond this would take gigabytes; treat them as an allocation failure.
constexpr int kMaxLog2 = 26;
// The vectorised transform runs 8 sub-transforms side by side; from N = 32 on each
// has at least 4 outputs (N = 32 fills half of every final block).
constexpr int kVectorMinLog2 = 5;

std::atomic<bool> gAllowVector{true};

bool CpuHasAvx2() {
  static const bool has = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
  }();
  return has;
}

std::int32_t ReverseBits(std::int32_t i, int bits) {
  std::int32_t r = 0;
  for (int b = 0; b < bits; ++b) r |= ((i >> b) & 1) << (bits - 1 - b);
  return r;
}

constexpr long double kTwoPi = 2.0L * std::numbers::pi_v<long double>;

// Portable transform: split-radix decimation in frequency over the natural-order
// input, output in bit-reversed order, then the reorder.

template <bool Inverse>
void Point4(float* x) {
  const float ar = x[0], ai = x[1], br = x[2], bi = x[3], cr = x[4], ci = x[5], dr = x[6], di = x[7];
  const float t0r = ar + cr, t0i = ai + ci, t1r = ar - cr, t1i = ai - ci;
  const float t2r = br + dr, t2i = bi + di, t3r = br - dr, t3i = bi - di;
  x[0] = t0r + t2r;
  x[1] = t0i + t2i;
  x[2] = t0r - t2r;
  x[3] = t0i - t2i;
  if constexpr (!Inverse) {  // X1 = t1 - i t3, X3 = t1 + i t3
    x[4] = t1r + t3i;
    x[5] = t1i - t3r;
    x[6] = t1r - t3i;
    x[7] = t1i + t3r;
  } else {
    x[4] = t1r - t3i;
    x[5] = t1i + t3r;
    x[6] = t1r + t3i;
    x[7] = t1i - t3r;
  }
}

// n points at x; twiddle entry e of the context holds W^(e+1) and W^3(e+1) of its
// size, so W_n^j is entry j*stride - 1 with stride = N/n.
template <bool Inverse>
void SplitRadix(float* x, int n, const float* tw, int stride) {
  if (n <= 1) return;
  if (n == 2) {
    const float ar = x[0], ai = x[1], br = x[2], bi = x[3];
    x[0] = ar + br;
    x[1] = ai + bi;
    x[2] = ar - br;
    x[3] = ai - bi;
    return;
  }
  if (n == 4) {
    Point4<Inverse>(x);
    return;
  }
  const int n2 = n / 2, n4 = n / 4;
  float* a = x;
  float* b = x + 2 * n4;
  float* c = x + 2 * n2;
  float* d = x + 2 * (n2 + n4);
  for (int j = 0; j < n4; ++j) {
    const int o = 2 * j;
    const float t1r = a[o] - c[o], t1i = a[o + 1] - c[o + 1];
    const float t2r = b[o] - d[o], t2i = b[o + 1] - d[o + 1];
    a[o] += c[o];
    a[o + 1] += c[o + 1];
    b[o] += d[o];
    b[o + 1] += d[o + 1];
    float ur, ui, vr, vi;
    if constexpr (!Inverse) {  // u = t1 - i t2, v = t1 + i t2
      ur = t1r + t2i;
      ui = t1i - t2r;
      vr = t1r - t2i;
      vi = t1i + t2r;
    } else {
      ur = t1r - t2i;
      ui = t1i + t2r;
      vr = t1r + t2i;
      vi = t1i - t2r;
    }
    if (j == 0) {
      c[o] = ur;
      c[o + 1] = ui;
      d[o] = vr;
      d[o + 1] = vi;
    } else {
      const float* e = tw + 4 * (j * stride - 1);
      const float w1r = e[0], w3r = e[2];
      const float w1i = Inverse ? -e[1] : e[1];
      const float w3i = Inverse ? -e[3] : e[3];
      c[o] = ur * w1r - ui * w1i;
      c[o + 1] = ur * w1i + ui * w1r;
      d[o] = vr * w3r - vi * w3i;
      d[o + 1] = vr * w3i + vi * w3r;
    }
  }
  SplitRadix<Inverse>(a, n2, tw, stride * 2);
  SplitRadix<Inverse>(c, n4, tw, stride * 4);
  SplitRadix<Inverse>(d, n4, tw, stride * 4);
}

void PortableFFT(const TComplexFFTContext& ctx, float* data, bool inverse) {
  const int n = ctx.Size;
  if (inverse)
    SplitRadix<true>(data, n, ctx.Twiddles.get(), 1);
  else
    SplitRadix<false>(data, n, ctx.Twiddles.get(), 1);
  const std::int32_t* rev = ctx.BitReverse.get();
  for (int i = 0; i < n; ++i) {
    if (i < rev[i]) {
      std::swap(data[2 * i], data[2 * rev[i]]);
      std::swap(data[2 * i + 1], data[2 * rev[i] + 1]);
    }
  }
}

// Vectorised transform (AVX2 + FMA). N = 8M: the 8 sequences x[8j + r] are transformed
// side by side, one per lane, as an M-point radix-4 decimation in frequency on blocks
// of 8 real and 8 imaginary parts in the scratch area (bit-reversed block order);
// a final pass takes 8 blocks at a time, transposes them, applies W_N^(r k) and the
// 8-point transform across r and stores X[k + M t] in natural order. The inverse runs
// the forward transform on data with real and imaginary parts exchanged.
//
// Deinterleaving puts sequence r = kLaneSeq[l] into lane l.
constexpr int kLaneSeq[8] = {0, 1, 4, 5, 2, 3, 6, 7};

#pragma GCC push_options
#pragma GCC target("avx2,fma")

#define AVX_INLINE static inline __attribute__((always_inline))
#define AVX_LAMBDA __attribute__((always_inline))

AVX_INLINE void CMulB(__m256& xr, __m256& xi, const float* w) {
  const __m256 wr = _mm256_broadcast_ss(w), wi = _mm256_broadcast_ss(w + 1);
  const __m256 r = _mm256_fmsub_ps(xr, wr, _mm256_mul_ps(xi, wi));
  xi = _mm256_fmadd_ps(xr, wi, _mm256_mul_ps(xi, wr));
  xr = r;
}

AVX_INLINE void CMulV(__m256& xr, __m256& xi, const float* w) {  // w: 8 re, 8 im
  const __m256 wr = _mm256_load_ps(w), wi = _mm256_load_ps(w + 8);
  const __m256 r = _mm256_fmsub_ps(xr, wr, _mm256_mul_ps(xi, wi));
  xi = _mm256_fmadd_ps(xr, wi, _mm256_mul_ps(xi, wr));
  xr = r;
}

template <bool FromData, bool Swap>
AVX_INLINE void LoadBlock(const float* src, int j, __m256& re, __m256& im) {
  if constexpr (FromData) {
    const __m256 a = _mm256_loadu_ps(src + 16 * j), b = _mm256_loadu_ps(src + 16 * j + 8);
    const __m256 r = _mm256_shuffle_ps(a, b, 0x88), i = _mm256_shuffle_ps(a, b, 0xDD);
    re = Swap ? i : r;
    im = Swap ? r : i;
  } else {
    re = _mm256_load_ps(src + 16 * j);
    im = _mm256_load_ps(src + 16 * j + 8);
  }
}

AVX_INLINE void StoreBlock(float* s, int j, __m256 re, __m256 im) {
  _mm256_store_ps(s + 16 * j, re);
  _mm256_store_ps(s + 16 * j + 8, im);
}

// One radix-2 stage over all M blocks (span M/2), twiddles W_M^j.
template <bool FromData, bool Swap>
void Radix2Stage(const float* src, float* s, int m, const float* tw) {
  const int h = m / 2;
  for (int j = 0; j < h; ++j) {
    __m256 ar, ai, br, bi;
    LoadBlock<FromData, Swap>(src, j, ar, ai);
    LoadBlock<FromData, Swap>(src, j + h, br, bi);
    __m256 dr = _mm256_sub_ps(ar, br), di = _mm256_sub_ps(ai, bi);
    StoreBlock(s, j, _mm256_add_ps(ar, br), _mm256_add_ps(ai, bi));
    CMulB(dr, di, tw + 2 * j);
    StoreBlock(s, j + h, dr, di);
  }
}

// Radix-4 stage of span L (groups of 4L blocks); two radix-2 decimation-in-frequency
// stages in one, so the output order stays bit-reversed. tw: W^j, W^2j, W^3j of 4L points.
template <bool FromData, bool Swap, bool Twiddle>
void Radix4Stage(const float* src, float* s, int m, int l, const float* tw) {
  for (int g = 0; g < m; g += 4 * l) {
    for (int j = 0; j < l; ++j) {
      const int i0 = g + j;
      __m256 ar, ai, br, bi, cr, ci, dr, di;
      LoadBlock<FromData, Swap>(src, i0, ar, ai);
      LoadBlock<FromData, Swap>(src, i0 + l, br, bi);
      LoadBlock<FromData, Swap>(src, i0 + 2 * l, cr, ci);
      LoadBlock<FromData, Swap>(src, i0 + 3 * l, dr, di);
      const __m256 apcr = _mm256_add_ps(ar, cr), apci = _mm256_add_ps(ai, ci);
      const __m256 amcr = _mm256_sub_ps(ar, cr), amci = _mm256_sub_ps(ai, ci);
      const __m256 bpdr = _mm256_add_ps(br, dr), bpdi = _mm256_add_ps(bi, di);
      const __m256 bmdr = _mm256_sub_ps(br, dr), bmdi = _mm256_sub_ps(bi, di);
      __m256 y0r = _mm256_add_ps(apcr, bpdr), y0i = _mm256_add_ps(apci, bpdi);
      __m256 y2r = _mm256_sub_ps(apcr, bpdr), y2i = _mm256_sub_ps(apci, bpdi);
      __m256 y1r = _mm256_add_ps(amcr, bmdi), y1i = _mm256_sub_ps(amci, bmdr);  // amc - i bmd
      __m256 y3r = _mm256_sub_ps(amcr, bmdi), y3i = _mm256_add_ps(amci, bmdr);  // amc + i bmd
      if constexpr (Twiddle) {
        const float* w = tw + 6 * j;
        CMulB(y1r, y1i, w);
        CMulB(y2r, y2i, w + 2);
        CMulB(y3r, y3i, w + 4);
      }
      StoreBlock(s, i0, y0r, y0i);
      StoreBlock(s, i0 + l, y2r, y2i);
      StoreBlock(s, i0 + 2 * l, y1r, y1i);
      StoreBlock(s, i0 + 3 * l, y3r, y3i);
    }
  }
}

// 4x4 transposes inside each 128-bit half.
AVX_INLINE void Transpose4(__m256& x0, __m256& x1, __m256& x2, __m256& x3) {
  const __m256 t0 = _mm256_unpacklo_ps(x0, x1), t1 = _mm256_unpackhi_ps(x0, x1);
  const __m256 t2 = _mm256_unpacklo_ps(x2, x3), t3 = _mm256_unpackhi_ps(x2, x3);
  x0 = _mm256_shuffle_ps(t0, t2, 0x44);
  x1 = _mm256_shuffle_ps(t0, t2, 0xEE);
  x2 = _mm256_shuffle_ps(t1, t3, 0x44);
  x3 = _mm256_shuffle_ps(t1, t3, 0xEE);
}

AVX_INLINE __m256 LoadHalves(const float* lo, const float* hi) {
  return _mm256_insertf128_ps(_mm256_castps128_ps256(_mm_load_ps(lo)), _mm_load_ps(hi), 1);
}

AVX_INLINE __m256 LoadLow(const float* lo) { return _mm256_zextps128_ps256(_mm_load_ps(lo)); }

// Half: only lanes 0..3 (outputs k .. k+3) are meaningful.
template <bool Swap, bool Scaled, bool Half>
AVX_INLINE void StoreOut(float* out, __m256 xr, __m256 xi, __m256 scale) {
  if constexpr (Scaled) {
    xr = _mm256_mul_ps(xr, scale);
    xi = _mm256_mul_ps(xi, scale);
  }
  const __m256 re = Swap ? xi : xr, im = Swap ? xr : xi;
  const __m256 lo = _mm256_unpacklo_ps(re, im), hi = _mm256_unpackhi_ps(re, im);
  _mm_storeu_ps(out, _mm256_castps256_ps128(lo));
  _mm_storeu_ps(out + 4, _mm256_castps256_ps128(hi));
  if constexpr (!Half) {
    _mm_storeu_ps(out + 8, _mm256_extractf128_ps(lo, 1));
    _mm_storeu_ps(out + 12, _mm256_extractf128_ps(hi, 1));
  }
}

// Lanes 0..3 hold sequences 0, 1, 4, 5 and lanes 4..7 sequences 2, 3, 6, 7
// (kLaneSeq), so each half of the lanes makes two radix-2 pairs (r, r+4) on its own;
// finishing one half before loading the other keeps the AVX2 registers from spilling.
template <bool Half>
AVX_INLINE void TransposeGroup(const float* s, const std::int32_t* pos, int half, __m256* re, __m256* im) {
  for (int i = 0; i < 4; ++i) {
    const float* lo = s + 16 * pos[i] + 4 * half;
    if constexpr (Half) {
      re[i] = LoadLow(lo);
      im[i] = LoadLow(lo + 8);
    } else {
      const float* hi = s + 16 * pos[i + 4] + 4 * half;
      re[i] = LoadHalves(lo, hi);
      im[i] = LoadHalves(lo + 8, hi + 8);
    }
  }
  Transpose4(re[0], re[1], re[2], re[3]);
  Transpose4(im[0], im[1], im[2], im[3]);
}

// The last pass, which hands each block b its outputs X[8b + M t .. 8b + M t + 7] as
// real and imaginary parts, t and t + 4 together: emit(b, t, re_t, im_t, re_t+4, im_t+4)
// for t = 0, 2, 1, 3.
template <bool Half, class Emit>
AVX_INLINE void FinalPassCore(const float* s, int m, const std::int32_t* order, const float* ftw, Emit&& emit) {
  const __m256 h = _mm256_set1_ps(static_cast<float>(std::numbers::sqrt2 / 2));
  const int blocks = Half ? 1 : m / 8;
  for (int b = 0; b < blocks; ++b) {
    const std::int32_t* pos = order + 8 * b;
    const float* w = ftw + 7 * 16 * b;  // W_N^(r k) for r = 1 .. 7, lanes k = 8b .. 8b+7
    __m256 xr[4], xi[4], yr[4], yi[4];
    // Sequences 0, 1, 4, 5 -> a0 = Z0+Z4, a1 = Z0-Z4, a4 = Z1+Z5, a5 = Z1-Z5.
    TransposeGroup<Half>(s, pos, 0, xr, xi);
    CMulV(xr[1], xi[1], w);
    CMulV(xr[2], xi[2], w + 16 * 3);
    CMulV(xr[3], xi[3], w + 16 * 4);
    const __m256 a0r = _mm256_add_ps(xr[0], xr[2]), a0i = _mm256_add_ps(xi[0], xi[2]);
    const __m256 a1r = _mm256_sub_ps(xr[0], xr[2]), a1i = _mm256_sub_ps(xi[0], xi[2]);
    const __m256 a4r = _mm256_add_ps(xr[1], xr[3]), a4i = _mm256_add_ps(xi[1], xi[3]);
    const __m256 a5r = _mm256_sub_ps(xr[1], xr[3]), a5i = _mm256_sub_ps(xi[1], xi[3]);
    // Sequences 2, 3, 6, 7 -> a2 = Z2+Z6, a3 = Z2-Z6, a6 = Z3+Z7, a7 = Z3-Z7.
    TransposeGroup<Half>(s, pos, 1, yr, yi);
    CMulV(yr[0], yi[0], w + 16 * 1);
    CMulV(yr[1], yi[1], w + 16 * 2);
    CMulV(yr[2], yi[2], w + 16 * 5);
    CMulV(yr[3], yi[3], w + 16 * 6);
    const __m256 a2r = _mm256_add_ps(yr[0], yr[2]), a2i = _mm256_add_ps(yi[0], yi[2]);
    const __m256 a3r = _mm256_sub_ps(yr[0], yr[2]), a3i = _mm256_sub_ps(yi[0], yi[2]);
    const __m256 a6r = _mm256_add_ps(yr[1], yr[3]), a6i = _mm256_add_ps(yi[1], yi[3]);
    const __m256 a7r = _mm256_sub_ps(yr[1], yr[3]), a7i = _mm256_sub_ps(yi[1], yi[3]);
    {  // X0, X4 = E0 +- O0; X2, X6 = E2 -+ i O2
      const __m256 e0r = _mm256_add_ps(a0r, a2r), e0i = _mm256_add_ps(a0i, a2i);
      const __m256 o0r = _mm256_add_ps(a4r, a6r), o0i = _mm256_add_ps(a4i, a6i);
      emit(b, 0, _mm256_add_ps(e0r, o0r), _mm256_add_ps(e0i, o0i), _mm256_sub_ps(e0r, o0r), _mm256_sub_ps(e0i, o0i));
      const __m256 e2r = _mm256_sub_ps(a0r, a2r), e2i = _mm256_sub_ps(a0i, a2i);
      const __m256 o2r = _mm256_sub_ps(a4r, a6r), o2i = _mm256_sub_ps(a4i, a6i);
      emit(b, 2, _mm256_add_ps(e2r, o2i), _mm256_sub_ps(e2i, o2r), _mm256_sub_ps(e2r, o2i), _mm256_add_ps(e2i, o2r));
    }
    {  // X1, X5 = E1 +- W8 O1; X3, X7 = E3 +- W8^3 O3
      const __m256 e1r = _mm256_add_ps(a1r, a3i), e1i = _mm256_sub_ps(a1i, a3r);  // a1 - i a3
      const __m256 p1r = _mm256_add_ps(a5r, a7i), p1i = _mm256_sub_ps(a5i, a7r);  // a5 - i a7
      const __m256 q1r = _mm256_mul_ps(_mm256_add_ps(p1r, p1i), h);
      const __m256 q1i = _mm256_mul_ps(_mm256_sub_ps(p1i, p1r), h);
      emit(b, 1, _mm256_add_ps(e1r, q1r), _mm256_add_ps(e1i, q1i), _mm256_sub_ps(e1r, q1r), _mm256_sub_ps(e1i, q1i));
      const __m256 e3r = _mm256_sub_ps(a1r, a3i), e3i = _mm256_add_ps(a1i, a3r);  // a1 + i a3
      const __m256 p3r = _mm256_sub_ps(a5r, a7i), p3i = _mm256_add_ps(a5i, a7r);  // a5 + i a7
      const __m256 q3r = _mm256_mul_ps(_mm256_sub_ps(p3i, p3r), h);
      const __m256 q3i = _mm256_mul_ps(_mm256_add_ps(p3r, p3i), h);  // negated
      emit(b, 3, _mm256_add_ps(e3r, q3r), _mm256_sub_ps(e3i, q3i), _mm256_sub_ps(e3r, q3r), _mm256_add_ps(e3i, q3i));
    }
  }
}

template <bool Swap, bool Scaled, bool Half>
void FinalPass(const float* s, float* d, int m, const std::int32_t* order, const float* ftw, float scaleValue) {
  const __m256 scale = _mm256_set1_ps(scaleValue);
  const std::ptrdiff_t step = 2 * static_cast<std::ptrdiff_t>(m);
  FinalPassCore<Half>(s, m, order, ftw, [&](int b, int t, __m256 r0, __m256 i0, __m256 r4, __m256 i4) AVX_LAMBDA {
    float* out = d + 16 * b;
    StoreOut<Swap, Scaled, Half>(out + t * step, r0, i0, scale);
    StoreOut<Swap, Scaled, Half>(out + (t + 4) * step, r4, i4, scale);
  });
}

template <bool Swap, bool Scaled>
void VectorFFT(TComplexFFTContext& ctx, float* data) {
  const int m = ctx.Size / 8;
  const int bits = ctx.Log2Size - 3;
  float* s = ctx.Scratch.get();
  const float* tw = ctx.StageTw.get();
  bool first = true;
  int l;
  if (bits % 2) {
    Radix2Stage<true, Swap>(data, s, m, tw);
    tw += m;  // m/2 entries of 2 floats
    first = false;
    l = m / 8;
  } else {
    l = m / 4;
  }
  for (; l >= 1; l /= 4) {
    if (l == 1) {
      if (first)
        Radix4Stage<true, Swap, false>(data, s, m, 1, tw);
      else
        Radix4Stage<false, Swap, false>(s, s, m, 1, tw);
    } else {
      if (first)
        Radix4Stage<true, Swap, true>(data, s, m, l, tw);
      else
        Radix4Stage<false, Swap, true>(s, s, m, l, tw);
      tw += 6 * l;
    }
    first = false;
  }
  if (m < 8)
    FinalPass<Swap, Scaled, true>(s, data, m, ctx.BlockOrder.get(), ctx.FinalTw.get(), ctx.Scale);
  else
    FinalPass<Swap, Scaled, false>(s, data, m, ctx.BlockOrder.get(), ctx.FinalTw.get(), ctx.Scale);
}

// The radix-4 stages after the first, in place on the scratch blocks (span l down to 1).
AVX_INLINE void LaterStages(float* s, int m, int l, const float* tw) {
  for (; l >= 1; l /= 4) {
    if (l == 1) {
      Radix4Stage<false, false, false>(s, s, m, 1, tw);
    } else {
      Radix4Stage<false, false, true>(s, s, m, l, tw);
      tw += 6 * l;
    }
  }
}

// The first stage of the forward transform from split blocks at src (FromData false).
// Returns the span the later stages start with and moves tw past its twiddles.
AVX_INLINE int FirstStage(const float* src, float* s, int m, const float*& tw) {
  if ((std::countr_zero(static_cast<unsigned>(m)) % 2) != 0) {
    Radix2Stage<false, false>(src, s, m, tw);
    tw += m;
    return m / 8;
  }
  Radix4Stage<false, false, true>(src, s, m, m / 4, tw);
  tw += 6 * (m / 4);
  return m / 16;
}

// Natural order to the lanes' order (kLaneSeq) and back: pairs 0, 2, 1, 3.
AVX_INLINE __m256 ToLanes(__m256 v) { return _mm256_castpd_ps(_mm256_permute4x64_pd(_mm256_castps_pd(v), 0xD8)); }

// Eight samples of one channel from interleaved (Stride 2) or plain (Stride 1) 16-bit
// samples, as the filter's load converts them, in the lanes' order.
template <int Stride>
AVX_INLINE __m256 LoadSamples(const std::int16_t* src, int c) {
  __m256i x;
  if constexpr (Stride == 1) {
    x = _mm256_cvtepi16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(src)));
  } else {
    x = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src));
    if (c == 0) x = _mm256_slli_epi32(x, 16);
    x = _mm256_srai_epi32(x, 16);
  }
  return _mm256_cvtepi32_ps(_mm256_permute4x64_epi64(x, 0xD8));
}

template <int Stride>
AVX_INLINE __m256 LoadSamples(const float* src, int c) {
  if constexpr (Stride == 1) {
    return ToLanes(_mm256_loadu_ps(src));
  } else {
    const __m256i order = _mm256_setr_epi32(0, 2, 4, 6, 1, 3, 5, 7);
    const __m256 x0 = _mm256_permutevar8x32_ps(_mm256_loadu_ps(src), order);
    const __m256 x1 = _mm256_permutevar8x32_ps(_mm256_loadu_ps(src + 8), order);
    return ToLanes(c == 0 ? _mm256_permute2f128_ps(x0, x1, 0x20) : _mm256_permute2f128_ps(x0, x1, 0x31));
  }
}

// x + 0 as the general stage's sum with the zero half makes it: -0 becomes +0, which no
// 16-bit sample can be.
template <class T>
AVX_INLINE __m256 PlusZero(__m256 x) {
  if constexpr (std::is_same_v<T, float>)
    return _mm256_add_ps(x, _mm256_setzero_ps());
  else
    return x;
}

// The first stage of the forward transform of z[p] = x[p] + i x[p + N/2] (p < N/2; zero
// above), read straight from the samples. The zero half makes the stage's differences
// with it the other operand unchanged and its sums that operand plus 0, so only the
// butterflies' other halves are computed, with the same results as the general stage.
template <class T, int Stride>
AVX_INLINE int FirstStageFromSamples(const T* src, int c, int n, float* s, int m, const float*& tw) {
  const int h = n / 2;
  auto load = [&](int j, __m256& re, __m256& im) AVX_LAMBDA {
    re = LoadSamples<Stride>(src + Stride * 8 * j, c);
    im = LoadSamples<Stride>(src + Stride * (h + 8 * j), c);
  };
  if ((std::countr_zero(static_cast<unsigned>(m)) % 2) != 0) {
    const int half = m / 2;  // blocks half .. m - 1 are zero
    for (int j = 0; j < half; ++j) {
      __m256 ar, ai;
      load(j, ar, ai);
      StoreBlock(s, j, PlusZero<T>(ar), PlusZero<T>(ai));
      CMulB(ar, ai, tw + 2 * j);
      StoreBlock(s, j + half, ar, ai);
    }
    tw += m;
    return m / 8;
  }
  const int l = m / 4;  // in each butterfly c and d (blocks j + 2l, j + 3l) are zero
  for (int j = 0; j < l; ++j) {
    __m256 ar, ai, br, bi;
    load(j, ar, ai);
    load(j + l, br, bi);
    const __m256 apcr = PlusZero<T>(ar), apci = PlusZero<T>(ai), bpdr = PlusZero<T>(br), bpdi = PlusZero<T>(bi);
    __m256 y0r = _mm256_add_ps(apcr, bpdr), y0i = _mm256_add_ps(apci, bpdi);
    __m256 y2r = _mm256_sub_ps(apcr, bpdr), y2i = _mm256_sub_ps(apci, bpdi);
    __m256 y1r = _mm256_add_ps(ar, bi), y1i = _mm256_sub_ps(ai, br);
    __m256 y3r = _mm256_sub_ps(ar, bi), y3i = _mm256_add_ps(ai, br);
    const float* w = tw + 6 * j;
    CMulB(y1r, y1i, w);
    CMulB(y2r, y2i, w + 2);
    CMulB(y3r, y3i, w + 4);
    StoreBlock(s, j, y0r, y0i);
    StoreBlock(s, j + l, y2r, y2i);
    StoreBlock(s, j + 2 * l, y1r, y1i);
    StoreBlock(s, j + 3 * l, y3r, y3i);
  }
  tw += 6 * l;
  return l / 4;
}

template <class T, int Stride>
bool FilterBlockVector(TComplexFFTContext& ctx, const T* src, int c, const float* kr, const float* nki, float* work,
                       float* overlap, T* out) {
  const int n = ctx.Size, m = n / 8, h = n / 2;
  float* s = ctx.Scratch.get();
  // Forward transform of the block; its last pass (outputs in natural order) applies
  // the kernel and leaves the products as the second transform's blocks in work.
  const float* tw = ctx.StageTw.get();
  int l = FirstStageFromSamples<T, Stride>(src, c, n, s, m, tw);
  LaterStages(s, m, l, tw);
  const __m256 sign = _mm256_set1_ps(-0.0f);
  FinalPassCore<false>(s, m, ctx.BlockOrder.get(), ctx.FinalTw.get(),
                       [&](int b, int t, __m256 r0, __m256 i0, __m256 r4, __m256 i4) AVX_LAMBDA {
                         // conj(X H / N) lane by lane: re = xr kr + xi (-ki), im = xi (-kr) + xr (-ki).
                         auto product = [&](int tt, __m256 xr, __m256 xi) AVX_LAMBDA {
                           const int bin = 8 * b + m * tt;
                           const __m256 k = _mm256_load_ps(kr + bin), q = _mm256_load_ps(nki + bin);
                           const __m256 pr = _mm256_fmadd_ps(xr, k, _mm256_mul_ps(xi, q));
                           const __m256 pi = _mm256_fmadd_ps(xi, _mm256_xor_ps(k, sign), _mm256_mul_ps(xr, q));
                           StoreBlock(work, b + (m / 8) * tt, ToLanes(pr), ToLanes(pi));
                         };
                         product(t, r0, i0);
                         product(t + 4, r4, i4);
                       });
  // The second forward transform; its last pass makes the output samples: the first
  // half-block from the real parts plus the overlap, the second from the real parts of
  // the upper half less the imaginary parts of the lower; 16-bit ones truncated and
  // saturated, float ones as they are.
  tw = ctx.StageTw.get();
  l = FirstStage(work, s, m, tw);
  LaterStages(s, m, l, tw);
  const __m256 lo = _mm256_set1_ps(-40000.0f), hi = _mm256_set1_ps(40000.0f);
  const __m256i top = _mm256_set1_epi32(32767), bottom = _mm256_set1_epi32(-32768);
  const __m256 zero = _mm256_setzero_ps();
  __m256i clipped = _mm256_setzero_si256();
  auto convert = [&](__m256 v) AVX_LAMBDA {  // NaN ends at -40000 and counts as clipped
    const __m256i x = _mm256_cvttps_epi32(_mm256_min_ps(_mm256_max_ps(v, lo), hi));
    clipped = _mm256_or_si256(clipped, _mm256_or_si256(_mm256_cmpgt_epi32(x, top), _mm256_cmpgt_epi32(bottom, x)));
    return _mm_packs_epi32(_mm256_castsi256_si128(x), _mm256_extracti128_si256(x, 1));
  };
  FinalPassCore<false>(s, m, ctx.BlockOrder.get(), ctx.FinalTw.get(),
                       [&](int b, int t, __m256 r0, __m256 i0, __m256 r4, __m256 i4) AVX_LAMBDA {
                         const int p = 8 * b + m * t;  // X[p] and X[p + N/2]
                         const __m256 first = _mm256_add_ps(r0, _mm256_loadu_ps(overlap + p));
                         const __m256 second = _mm256_sub_ps(r4, i0);
                         _mm256_storeu_ps(overlap + p, _mm256_sub_ps(zero, i4));
                         if constexpr (std::is_same_v<T, float>) {
                           _mm256_storeu_ps(out + p, first);
                           _mm256_storeu_ps(out + p + h, second);
                         } else {
                           _mm_storeu_si128(reinterpret_cast<__m128i*>(out + p), convert(first));
                           _mm_storeu_si128(reinterpret_cast<__m128i*>(out + p + h), convert(second));
                         }
                       });
  return !_mm256_testz_si256(clipped, clipped);
}

// Forward recombination of the real transform for k = 1 .. kEnd - 1 in blocks of 8:
// the front block k .. k+7 meets the back block M-k-7 .. M-k read in reverse.
int VectorRealSplit(float* data, int m, const float* lc, const float* ls) {
  const __m256 half = _mm256_set1_ps(0.5f);
  const __m256i reverse = _mm256_setr_epi32(7, 6, 5, 4, 3, 2, 1, 0);
  int k = 1;
  for (; 2 * k + 14 < m; k += 8, lc += 8, ls += 8) {
    float* front = data + 2 * k;
    float* back = data + 2 * (m - k - 7);
    __m256 ar, ai, br, bi;
    LoadBlock<true, false>(front, 0, ar, ai);
    LoadBlock<true, false>(back, 0, br, bi);
    br = _mm256_permutevar8x32_ps(br, reverse);
    bi = _mm256_permutevar8x32_ps(bi, reverse);
    const __m256 er = _mm256_mul_ps(half, _mm256_add_ps(ar, br)), ei = _mm256_mul_ps(half, _mm256_sub_ps(ai, bi));
    const __m256 orr = _mm256_mul_ps(half, _mm256_add_ps(ai, bi)), oi = _mm256_mul_ps(half, _mm256_sub_ps(br, ar));
    const __m256 c = _mm256_load_ps(lc), sn = _mm256_load_ps(ls);
    const __m256 tr = _mm256_fmadd_ps(orr, c, _mm256_mul_ps(oi, sn));
    const __m256 ti = _mm256_fmsub_ps(oi, c, _mm256_mul_ps(orr, sn));
    const __m256 xr = _mm256_add_ps(er, tr), xi = _mm256_add_ps(ei, ti);
    const __m256 yr = _mm256_permutevar8x32_ps(_mm256_sub_ps(er, tr), reverse);
    const __m256 yi = _mm256_permutevar8x32_ps(_mm256_sub_ps(ti, ei), reverse);
    _mm256_storeu_ps(front, _mm256_unpacklo_ps(xr, xi));
    _mm256_storeu_ps(front + 8, _mm256_unpackhi_ps(xr, xi));
    _mm256_storeu_ps(back, _mm256_unpacklo_ps(yr, yi));
    _mm256_storeu_ps(back + 8, _mm256_unpackhi_ps(yr, yi));
  }
  return k;
}

#undef AVX_INLINE
#undef AVX_LAMBDA
#pragma GCC pop_options

void BuildVectorTables(TComplexFFTContext& ctx) {
  const int n = ctx.Size;
  const int m = n / 8;
  const int bits = ctx.Log2Size - 3;
  ctx.Scratch = detail::AllocFloats(2 * static_cast<std::size_t>(n));
  auto w = [](long double turns, float& re, float& im) {  // e^(-2 pi i turns)
    re = static_cast<float>(std::cos(kTwoPi * turns));
    im = static_cast<float>(-std::sin(kTwoPi * turns));
  };
  // Stage twiddles, in the order the stages run.
  std::size_t count = 0;
  if (bits % 2) count += static_cast<std::size_t>(m);
  for (int l = (bits % 2) ? m / 8 : m / 4; l > 1; l /= 4) count += 6 * static_cast<std::size_t>(l);
  ctx.StageTw = detail::AllocFloats(count + 8);
  float* t = ctx.StageTw.get();
  if (bits % 2) {
    for (int j = 0; j < m / 2; ++j, t += 2) w(static_cast<long double>(j) / m, t[0], t[1]);
  }
  for (int l = (bits % 2) ? m / 8 : m / 4; l > 1; l /= 4) {
    for (int j = 0; j < l; ++j, t += 6) {
      const long double base = static_cast<long double>(j) / (4 * l);
      w(base, t[0], t[1]);
      w(2 * base, t[2], t[3]);
      w(3 * base, t[4], t[5]);
    }
  }
  ctx.BlockOrder = std::make_unique<std::int32_t[]>(static_cast<std::size_t>(std::max(m, 8)));
  for (int k = 0; k < m; ++k) ctx.BlockOrder[k] = ReverseBits(k, bits);
  const int blocks = std::max(m / 8, 1);
  ctx.FinalTw = detail::AllocFloats(7 * 16 * static_cast<std::size_t>(blocks));
  float* f = ctx.FinalTw.get();
  for (int b = 0; b < blocks; ++b) {
    for (int r = 1; r < 8; ++r, f += 16) {
      for (int i = 0; i < 8; ++i) {
        const long double turns = static_cast<long double>(r) * (8 * b + i) / n;
        w(turns, f[i], f[8 + i]);
      }
    }
  }
  ctx.Vector = true;
}

PComplexFFT MakeComplex(int k) {
  if (k > kMaxLog2) throw std::bad_alloc();
  auto ctx = std::make_unique<TComplexFFTContext>();
  const std::int32_t n = std::int32_t{1} << k;
  ctx->Log2Size = k;
  ctx->Size = n;
  ctx->Scale = 1.0f / static_cast<float>(n);
  ctx->BitReverse = std::make_unique<std::int32_t[]>(static_cast<std::size_t>(n));
  for (std::int32_t i = 0; i < n; ++i) ctx->BitReverse[i] = ReverseBits(i, k);
  if (n >= 4) {
    // Rotation in extended precision: W^(j+1) = W^j * W, W^3(j+1) = W^3j * W^3.
    const std::size_t q = static_cast<std::size_t>(n / 4);
    ctx->Twiddles = std::make_unique<float[]>(4 * q);
    const long double t = kTwoPi / n;
    const long double c1 = std::cos(t), s1 = std::sin(t), c3 = std::cos(3 * t), s3 = std::sin(3 * t);
    long double a = 1, b = 0, e = 1, f = 0;  // cos, sin of j t and 3 j t
    for (std::size_t j = 0; j < q; ++j) {
      const long double a2 = a * c1 - b * s1, b2 = b * c1 + a * s1;
      const long double e2 = e * c3 - f * s3, f2 = f * c3 + e * s3;
      a = a2, b = b2, e = e2, f = f2;
      ctx->Twiddles[4 * j] = static_cast<float>(a);
      ctx->Twiddles[4 * j + 1] = static_cast<float>(-b);
      ctx->Twiddles[4 * j + 2] = static_cast<float>(e);
      ctx->Twiddles[4 * j + 3] = static_cast<float>(-f);
    }
  }
  if (k >= kVectorMinLog2 && CpuHasAvx2()) BuildVectorTables(*ctx);
  return ctx;
}

void Transform(TComplexFFTContext& ctx, float* data, bool inverse, bool scaled) {
  if (ctx.Size <= 1) return;
  if (ctx.Vector && gAllowVector.load(std::memory_order_relaxed)) {
    if (inverse)
      VectorFFT<true, true>(ctx, data);
    else if (scaled)
      VectorFFT<false, true>(ctx, data);
    else
      VectorFFT<false, false>(ctx, data);
    return;
  }
  if (!detail::SmallTransform(ctx.Size, data, inverse)) PortableFFT(ctx, data, inverse);
  if (scaled) MultiplyFloats(data, 2 * ctx.Size, ctx.Scale);
}

}  // namespace

bool VectorFFTAvailable() { return CpuHasAvx2(); }
void AllowVectorFFT(bool allow) { gAllowVector.store(allow); }
bool VectorFFTEnabled() { return CpuHasAvx2() && gAllowVector.load(std::memory_order_relaxed); }

PComplexFFT CreateComplexFFT(int k) {
  if (k <= 0 || k >= 32) return nullptr;
  return MakeComplex(k);
}

void ReleaseFFT(PComplexFFT& context) { context.reset(); }
void ReleaseFFT(PRealFFT& context) { context.reset(); }

void ComplexFFT(TComplexFFTContext* context, float* data, int direction) {
  if (!context || !data) return;
  if (direction == -1)
    Transform(*context, data, true, true);
  else if (direction < 0)
    Transform(*context, data, false, true);
  else
    Transform(*context, data, false, false);
}

namespace detail {
template <class T>
bool FilterBlockFused(TComplexFFTContext& context, const T* src, int stride, int channel, const float* kr,
                      const float* nki, float* work, float* overlap, T* out) {
  return stride == 1 ? FilterBlockVector<T, 1>(context, src, 0, kr, nki, work, overlap, out)
                     : FilterBlockVector<T, 2>(context, src, channel, kr, nki, work, overlap, out);
}
template bool FilterBlockFused(TComplexFFTContext&, const std::int16_t*, int, int, const float*, const float*,
                               float*, float*, std::int16_t*);
template bool FilterBlockFused(TComplexFFTContext&, const float*, int, int, const float*, const float*, float*,
                               float*, float*);
}  // namespace detail

PRealFFT CreateRealFFT(int k) {
  if (k <= 0 || k >= 32) return nullptr;
  if (k > kMaxLog2) throw std::bad_alloc();
  auto ctx = std::make_unique<TRealFFTContext>();
  const std::int32_t n = std::int32_t{1} << k;
  ctx->Log2Size = k;
  ctx->Size = n;
  ctx->Scale = 1.0f / static_cast<float>(n);
  ctx->Half = MakeComplex(k - 1);
  const std::size_t q = static_cast<std::size_t>(n / 4);
  ctx->Split = std::make_unique<float[]>(q > 0 ? 2 * q : 1);
  ctx->SplitCos = detail::AllocFloats(q + 8);
  ctx->SplitSin = detail::AllocFloats(q + 8);
  const long double f = kTwoPi / n;
  const long double c1 = std::cos(f), s1 = std::sin(f);
  long double a = 1, b = 0;
  for (std::size_t j = 0; j < q; ++j) {
    const long double a2 = a * c1 - b * s1, b2 = b * c1 + a * s1;
    a = a2, b = b2;
    ctx->Split[2 * j] = static_cast<float>(0.5L * a);
    ctx->Split[2 * j + 1] = static_cast<float>(0.5L - 0.5L * b);
  }
  for (std::size_t j = 0; j <= q; ++j) {
    ctx->SplitCos[j] = static_cast<float>(std::cos(f * static_cast<long double>(j)));
    ctx->SplitSin[j] = static_cast<float>(std::sin(f * static_cast<long double>(j)));
  }
  if (CpuHasAvx2()) {
    // Block c covers k = 1 + 8c .. 8 + 8c with k = 1 + 8c + kLaneSeq[lane].
    const std::size_t lanes = 8 * (q / 8 + 1);
    ctx->LaneCos = detail::AllocFloats(lanes);
    ctx->LaneSin = detail::AllocFloats(lanes);
    for (std::size_t c = 0; c + 8 <= lanes; c += 8) {
      for (int l = 0; l < 8; ++l) {
        const long double k = static_cast<long double>(1 + c + static_cast<std::size_t>(kLaneSeq[l]));
        ctx->LaneCos[c + static_cast<std::size_t>(l)] = static_cast<float>(std::cos(f * k));
        ctx->LaneSin[c + static_cast<std::size_t>(l)] = static_cast<float>(std::sin(f * k));
      }
    }
  }
  return ctx;
}

void RealFFT(TRealFFTContext* context, float* data, int direction) {
  if (!context || !data) return;
  const int n = context->Size;
  const int m = n / 2;
  const float* wc = context->SplitCos.get();
  const float* ws = context->SplitSin.get();
  if (direction >= 0) {
    if (n == 8 || n == 16) {
      n == 8 ? detail::RealSmall8(data) : detail::RealSmall16(data);
      return;
    }
    Transform(*context->Half, data, false, false);
    const float z0r = data[0], z0i = data[1];
    data[0] = z0r + z0i;
    data[1] = 0;
    // With z[m] = Ze[m] + i Zo[m] (the transforms of the even and the odd samples):
    // X[m] = Ze + W^m Zo and X[M-m] = conj(Ze - W^m Zo), W = e^(-2 pi i / N).
    int k = 1;
    if (context->LaneCos && gAllowVector.load(std::memory_order_relaxed))
      k = VectorRealSplit(data, m, context->LaneCos.get(), context->LaneSin.get());
    for (; k < m - k; ++k) {
      float* p = data + 2 * k;
      float* q = data + 2 * (m - k);
      const float ar = p[0], ai = p[1], br = q[0], bi = q[1];
      const float er = 0.5f * (ar + br), ei = 0.5f * (ai - bi);
      const float or_ = 0.5f * (ai + bi), oi = 0.5f * (br - ar);
      const float c = wc[k], s = ws[k];  // W^k = c - i s
      const float tr = or_ * c + oi * s, ti = oi * c - or_ * s;
      p[0] = er + tr;
      p[1] = ei + ti;
      q[0] = er - tr;
      q[1] = ti - ei;
    }
    if (m >= 2) data[m + 1] = -data[m + 1];  // the middle element X[M/2] = conj z[M/2]
    return;
  }
  // Inverse: Ze = (X[m] + conj X[M-m]) / 2, Zo = (X[m] - conj X[M-m]) W^-m / 2,
  // z[m] = Ze + i Zo; then the inverse half-size transform (scaled 1/M) gives
  // z[n] = x[2n] + i x[2n+1] of the samples scaled 1/N as a whole.
  const float x0 = data[0], xm = data[1];
  data[0] = 0.5f * (x0 + xm);
  data[1] = 0.5f * (x0 - xm);
  for (int k = 1; k < m - k; ++k) {
    float* p = data + 2 * k;
    float* q = data + 2 * (m - k);
    const float ar = p[0], ai = p[1], br = q[0], bi = q[1];
    const float er = 0.5f * (ar + br), ei = 0.5f * (ai - bi);
    const float dr = 0.5f * (ar - br), di = 0.5f * (ai + bi);
    const float c = wc[k], s = ws[k];  // W^-k = c + i s
    const float or_ = dr * c - di * s, oi = dr * s + di * c;
    // z[k] = Ze + i Zo; z[M-k] = conj(Ze) + i conj(Zo)
    p[0] = er - oi;
    p[1] = ei + or_;
    q[0] = er + oi;
    q[1] = or_ - ei;
  }
  if (m >= 2) data[m + 1] = -data[m + 1];
  Transform(*context->Half, data, true, true);
}

float WindowValue(TMMFFTWindow window, int i, int n) {
  if (n <= 0) return 1.0f;
  const long double x = i, len = n;
  long double v = 1;
  switch (window) {
    case TMMFFTWindow::fwHamming:
      v = 0.54L - 0.46L * std::cos(kTwoPi * x / len);
      break;
    case TMMFFTWindow::fwHanning:
      v = 0.5L - 0.5L * std::cos(kTwoPi * x / len);
      break;
    case TMMFFTWindow::fwBlackman:
      v = 0.42L - 0.5L * std::cos(kTwoPi * x / len) + 0.08L * std::cos(2 * kTwoPi * x / len);
      break;
    case TMMFFTWindow::fwGaussian: {
      const long double d = 2 * x - len;
      v = std::exp(-5 * d * d / (len * len));
      break;
    }
    case TMMFFTWindow::fwWelch: {
      const long double d = (2 * x - len) / (len + 1);
      v = 1 - d * d;
      break;
    }
    case TMMFFTWindow::fwParzen:
      v = 1 - std::fabs((2 * x - len) / (len + 1));
      break;
    default:
      v = 1;
      break;
  }
  return static_cast<float>(v);
}

void BuildWindowTable(std::int32_t* table, TMMFFTWindow window, int k) {
  if (!table || k < 0 || k > kMaxLog2) return;
  const int n = 1 << k;
  for (int i = 0; i < n; ++i)
    table[i] = static_cast<std::int32_t>(std::floor(static_cast<double>(WindowValue(window, i, n)) * 32767.0 + 0.5));
}

void MultiplyFloats(float* data, int n, float factor) {
  for (int i = 0; i < n; ++i) data[i] *= factor;
}

void MultiplyComplex(float* a, const float* b, int n) {
  for (int j = 0; j < n; ++j) {
    const float ar = a[2 * j], ai = a[2 * j + 1], br = b[2 * j], bi = b[2 * j + 1];
    a[2 * j] = ar * br - ai * bi;
    a[2 * j + 1] = ar * bi + ai * br;
  }
}

void ClearFloats(float* data, int n) {
  if (data && n > 0) std::memset(data, 0, static_cast<std::size_t>(n) * sizeof(float));
}

void ClearComplex(float* data, int n) { ClearFloats(data, 2 * n); }

}  // namespace strataeq
