#include "eq/MMFFTSmall.h"

#include <immintrin.h>

#include <cstring>
#include <utility>

namespace strataeq::detail {

namespace {

// Straight-line transforms for N <= 16: radix-2 decimation in time, fully unrolled by
// the templates into loads, the butterflies and stores in natural order, with no
// tables, no loops and no reorder pass. Twiddles are compile-time constants; the
// trivial ones (1, -i, (1 - i)/sqrt 2) cost no general complex multiply.
struct Cx {
  float r, i;
};

#define SMALL_INLINE static inline __attribute__((always_inline))

// cos(2 pi k / 16) for k = 0 .. 4
constexpr float kCos16[5] = {1.0f, 0.923879532511286756f, 0.707106781186547524f, 0.382683432365089772f, 0.0f};

// W_N^k = e^(-+2 pi i k / N) times b, forward (-) or inverse (+).
template <int N, int K, bool Inverse>
SMALL_INLINE Cx Twiddle(Cx b) {
  if constexpr (K == 0) {
    return b;
  } else if constexpr (4 * K == N) {  // -i b forward, +i b inverse
    return Inverse ? Cx{-b.i, b.r} : Cx{b.i, -b.r};
  } else if constexpr (8 * K == N) {  // (1 -+ i) / sqrt 2
    constexpr float h = kCos16[2];
    return Inverse ? Cx{(b.r - b.i) * h, (b.r + b.i) * h} : Cx{(b.r + b.i) * h, (b.i - b.r) * h};
  } else if constexpr (8 * K == 3 * N) {  // (-1 -+ i) / sqrt 2
    constexpr float h = kCos16[2];
    return Inverse ? Cx{-(b.r + b.i) * h, (b.r - b.i) * h} : Cx{(b.i - b.r) * h, -(b.r + b.i) * h};
  } else {
    // Only N = 16 reaches here: K = 1, 3, 5, 7.
    constexpr int q = 16 / N * K;  // angle in sixteenths of a turn, 1 .. 7
    constexpr float c = q <= 4 ? kCos16[q] : -kCos16[8 - q];
    constexpr float s = q <= 4 ? kCos16[4 - q] : kCos16[q - 4];  // sin
    constexpr float wi = Inverse ? s : -s;
    return Cx{b.r * c - b.i * wi, b.r * wi + b.i * c};
  }
}

template <int N, int Stride, bool Inverse>
SMALL_INLINE void SmallDit(const Cx* in, Cx* out) {
  if constexpr (N == 1) {
    out[0] = in[0];
  } else {
    constexpr int h = N / 2;
    SmallDit<h, 2 * Stride, Inverse>(in, out);
    SmallDit<h, 2 * Stride, Inverse>(in + Stride, out + h);
    [&]<int... K>(std::integer_sequence<int, K...>) {
      ((
           [&] {
             const Cx a = out[K];
             const Cx t = Twiddle<N, K, Inverse>(out[K + h]);
             out[K] = Cx{a.r + t.r, a.i + t.i};
             out[K + h] = Cx{a.r - t.r, a.i - t.i};
           }()),
       ...);
    }(std::make_integer_sequence<int, h>{});
  }
}

template <int N, bool Inverse>
void SmallFFT(float* data) {
  Cx in[N], out[N];
  std::memcpy(in, data, sizeof in);
  SmallDit<N, 1, Inverse>(in, out);
  std::memcpy(data, out, sizeof out);
}

// N = 8 and 16 in SSE registers. The inverse is the forward transform with real and
// imaginary parts exchanged on the way in and out.
SMALL_INLINE void Deinterleave(const float* p, __m128& re, __m128& im) {
  const __m128 a = _mm_loadu_ps(p), b = _mm_loadu_ps(p + 4);
  re = _mm_shuffle_ps(a, b, _MM_SHUFFLE(2, 0, 2, 0));
  im = _mm_shuffle_ps(a, b, _MM_SHUFFLE(3, 1, 3, 1));
}

SMALL_INLINE void CMulConst(__m128& re, __m128& im, __m128 wr, __m128 wi) {
  const __m128 r = _mm_sub_ps(_mm_mul_ps(re, wr), _mm_mul_ps(im, wi));
  im = _mm_add_ps(_mm_mul_ps(re, wi), _mm_mul_ps(im, wr));
  re = r;
}

// N = 8 as 2 x 4: n = 4 n1 + n2. The radix-2 step across n1 runs on whole vectors
// (lanes n2), the twiddle W8^n2 per lane; a 4x4 transpose then puts each complex
// pair (k1 = 0, 1) of column n2 into one vector, and the 4-point steps across n2 on
// those vectors leave X[2 k2 + k1] interleaved in natural order.
template <bool Inverse>
void Sse8(float* data) {
  __m128 r0, i0, r1, i1;
  Deinterleave(data, r0, i0);
  Deinterleave(data + 8, r1, i1);
  if constexpr (Inverse) {
    std::swap(r0, i0);
    std::swap(r1, i1);
  }
  const float h = kCos16[2];
  __m128 ar = _mm_add_ps(r0, r1), ai = _mm_add_ps(i0, i1);
  __m128 br = _mm_sub_ps(r0, r1), bi = _mm_sub_ps(i0, i1);
  CMulConst(br, bi, _mm_setr_ps(1, h, 0, -h), _mm_setr_ps(0, -h, -1, -h));
  _MM_TRANSPOSE4_PS(ar, ai, br, bi);  // now t_n2 = {A re, A im, B re, B im}
  const __m128 t0 = _mm_add_ps(ar, br), t1 = _mm_sub_ps(ar, br);
  const __m128 t2 = _mm_add_ps(ai, bi), t3 = _mm_sub_ps(ai, bi);
  // -i t3: (re, im) -> (im, -re)
  const __m128 sign = _mm_castsi128_ps(_mm_setr_epi32(0, static_cast<int>(0x80000000u), 0,
                                                      static_cast<int>(0x80000000u)));
  const __m128 mt3 = _mm_xor_ps(_mm_shuffle_ps(t3, t3, _MM_SHUFFLE(2, 3, 0, 1)), sign);
  __m128 x0 = _mm_add_ps(t0, t2), x2 = _mm_sub_ps(t0, t2);
  __m128 x1 = _mm_add_ps(t1, mt3), x3 = _mm_sub_ps(t1, mt3);
  if constexpr (Inverse) {
    x0 = _mm_shuffle_ps(x0, x0, _MM_SHUFFLE(2, 3, 0, 1));
    x1 = _mm_shuffle_ps(x1, x1, _MM_SHUFFLE(2, 3, 0, 1));
    x2 = _mm_shuffle_ps(x2, x2, _MM_SHUFFLE(2, 3, 0, 1));
    x3 = _mm_shuffle_ps(x3, x3, _MM_SHUFFLE(2, 3, 0, 1));
  }
  _mm_storeu_ps(data, x0);
  _mm_storeu_ps(data + 4, x1);
  _mm_storeu_ps(data + 8, x2);
  _mm_storeu_ps(data + 12, x3);
}

// 4-point forward transforms across four vectors of complex values in split form.
SMALL_INLINE void Sse4Point(__m128* re, __m128* im) {
  const __m128 t0r = _mm_add_ps(re[0], re[2]), t0i = _mm_add_ps(im[0], im[2]);
  const __m128 t1r = _mm_sub_ps(re[0], re[2]), t1i = _mm_sub_ps(im[0], im[2]);
  const __m128 t2r = _mm_add_ps(re[1], re[3]), t2i = _mm_add_ps(im[1], im[3]);
  const __m128 t3r = _mm_sub_ps(re[1], re[3]), t3i = _mm_sub_ps(im[1], im[3]);
  re[0] = _mm_add_ps(t0r, t2r);
  im[0] = _mm_add_ps(t0i, t2i);
  re[2] = _mm_sub_ps(t0r, t2r);
  im[2] = _mm_sub_ps(t0i, t2i);
  re[1] = _mm_add_ps(t1r, t3i);  // t1 - i t3
  im[1] = _mm_sub_ps(t1i, t3r);
  re[3] = _mm_sub_ps(t1r, t3i);  // t1 + i t3
  im[3] = _mm_add_ps(t1i, t3r);
}

// N = 16 as 4 x 4: n = 4 n1 + n2, vectors n1 with lanes n2. 4-point steps across n1,
// twiddles W16^(n2 k1), a transpose, 4-point steps across n2: vector k2 then holds
// X[4 k2 + k1] in lane k1.
template <bool Inverse>
void Sse16(float* data) {
  __m128 re[4], im[4];
  for (int j = 0; j < 4; ++j) {
    if constexpr (Inverse)
      Deinterleave(data + 8 * j, im[j], re[j]);
    else
      Deinterleave(data + 8 * j, re[j], im[j]);
  }
  Sse4Point(re, im);
  const float c1 = kCos16[1], c2 = kCos16[2], c3 = kCos16[3];
  // Row k1 (vector index after the step) times W16^(n2 k1).
  CMulConst(re[1], im[1], _mm_setr_ps(1, c1, c2, c3), _mm_setr_ps(0, -c3, -c2, -c1));
  CMulConst(re[2], im[2], _mm_setr_ps(1, c2, 0, -c2), _mm_setr_ps(0, -c2, -1, -c2));
  CMulConst(re[3], im[3], _mm_setr_ps(1, c3, -c2, -c1), _mm_setr_ps(0, -c1, -c2, c3));
  _MM_TRANSPOSE4_PS(re[0], re[1], re[2], re[3]);
  _MM_TRANSPOSE4_PS(im[0], im[1], im[2], im[3]);
  Sse4Point(re, im);
  for (int j = 0; j < 4; ++j) {
    const __m128 r = Inverse ? im[j] : re[j], i = Inverse ? re[j] : im[j];
    _mm_storeu_ps(data + 8 * j, _mm_unpacklo_ps(r, i));
    _mm_storeu_ps(data + 8 * j + 4, _mm_unpackhi_ps(r, i));
  }
}

// Forward real transforms of 8 and 16 samples, straight-line: X[0] .. X[N/2].
struct Real8Out {
  float x0, x4;                 // the real terms X[0] and X[4]
  Cx x1, x2, x3;
};

SMALL_INLINE Real8Out Real8(float x0, float x1, float x2, float x3, float x4, float x5, float x6, float x7) {
  const float h = kCos16[2];
  const float a0 = x0 + x4, a1 = x0 - x4, a2 = x2 + x6, a3 = x2 - x6;
  const float b0 = x1 + x5, b1 = x1 - x5, b2 = x3 + x7, b3 = x3 - x7;
  const float e0 = a0 + a2, o0 = b0 + b2;
  const float hd = h * (b1 - b3), hs = h * (b1 + b3);
  Real8Out r;
  r.x0 = e0 + o0;
  r.x4 = e0 - o0;
  r.x1 = Cx{a1 + hd, -a3 - hs};
  r.x2 = Cx{a0 - a2, b2 - b0};
  r.x3 = Cx{a1 - hd, a3 - hs};
  return r;
}

}  // namespace

void RealSmall8(float* d) {
  const Real8Out r = Real8(d[0], d[1], d[2], d[3], d[4], d[5], d[6], d[7]);
  d[0] = r.x0;
  d[1] = 0;
  d[2] = r.x1.r, d[3] = r.x1.i;
  d[4] = r.x2.r, d[5] = r.x2.i;
  d[6] = r.x3.r, d[7] = r.x3.i;
}

// X[k] = E[k] + W16^k O[k] and X[8-k] = conj(E[k] - W16^k O[k]) from the transforms
// of the even and the odd samples.
void RealSmall16(float* d) {
  const Real8Out e = Real8(d[0], d[2], d[4], d[6], d[8], d[10], d[12], d[14]);
  const Real8Out o = Real8(d[1], d[3], d[5], d[7], d[9], d[11], d[13], d[15]);
  const Cx t1 = Twiddle<16, 1, false>(o.x1), t2 = Twiddle<16, 2, false>(o.x2), t3 = Twiddle<16, 3, false>(o.x3);
  d[0] = e.x0 + o.x0;
  d[1] = 0;
  d[2] = e.x1.r + t1.r, d[3] = e.x1.i + t1.i;
  d[14] = e.x1.r - t1.r, d[15] = t1.i - e.x1.i;
  d[4] = e.x2.r + t2.r, d[5] = e.x2.i + t2.i;
  d[12] = e.x2.r - t2.r, d[13] = t2.i - e.x2.i;
  d[6] = e.x3.r + t3.r, d[7] = e.x3.i + t3.i;
  d[10] = e.x3.r - t3.r, d[11] = t3.i - e.x3.i;
  d[8] = e.x4, d[9] = -o.x4;
}

#undef SMALL_INLINE

// Whether the straight-line code took the transform (N <= 16).
bool SmallTransform(int n, float* data, bool inverse) {
  switch (n) {
    case 2: inverse ? SmallFFT<2, true>(data) : SmallFFT<2, false>(data); return true;
    case 4: inverse ? SmallFFT<4, true>(data) : SmallFFT<4, false>(data); return true;
    case 8: inverse ? Sse8<true>(data) : Sse8<false>(data); return true;
    case 16: inverse ? Sse16<true>(data) : Sse16<false>(data); return true;
    default: return false;
  }
}

}  // namespace strataeq::detail
