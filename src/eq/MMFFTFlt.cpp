#include "eq/MMFFTFlt.h"

#include <immintrin.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <map>
#include <mutex>
#include <new>
#include <type_traits>
#include <utility>
#include <vector>

namespace strataeq {
namespace {

constexpr int kMinBlock = 8;
constexpr float kMaxGainDb = 400.0f;
// Queues of 2Q bytes must stay addressable with 32-bit counts.
constexpr std::int64_t kMaxCapacity = std::int64_t{1} << 29;

// The window's values are extended-precision cosines, most of the making of a filter
// and of each redesign's spare: each window and length is computed once.
void BuildTaper(TFFTFilter& f) {
  static std::mutex mutex;
  static std::map<std::pair<TMMFFTWindow, int>, std::vector<float>> made;
  std::lock_guard lock(mutex);
  auto it = made.find({f.Window, f.HalfBlock});
  if (it == made.end()) {
    std::vector<float> taper(static_cast<std::size_t>(f.HalfBlock) + 1);
    for (int j = 0; j <= f.HalfBlock; ++j) taper[static_cast<std::size_t>(j)] = WindowValue(f.Window, j, f.HalfBlock);
    it = made.emplace(std::make_pair(f.Window, f.HalfBlock), std::move(taper)).first;
  }
  std::copy(it->second.begin(), it->second.end(), f.Taper.get());
}

// From the gains G[0 .. N/2] and the window: a linear-phase FIR filter of N/2 + 1 taps
// centred on tap N/4, its response H[0 .. N-1] in Response and H / N in Kernel.
void Design(TFFTFilter& f) {
  const int n = f.BlockLength, h = f.HalfBlock;
  float a[kFilterTable];
  for (int m = 0; m <= h; ++m) a[m] = f.Gains[m];
  a[0] *= 0.5f;
  a[h] *= 0.5f;  // the one-sided design halves the amplitude; both ends count once
  float* w = f.Work.get();
  ClearComplex(w, kFilterTable);
  // Bin m gets the phase e^(i m pi/2), which centres the impulse response on N/4.
  for (int m = 0; m <= h; ++m) {
    switch (m & 3) {
      case 0:
        w[2 * m] = a[m];
        break;
      case 1:
        w[2 * m + 1] = a[m];
        break;
      case 2:
        w[2 * m] = -a[m];
        break;
      default:
        w[2 * m + 1] = -a[m];
        break;
    }
  }
  ComplexFFT(f.FFT.get(), w, 1);
  for (int j = 0; j <= h; ++j) a[j] = f.Taper[j] * w[2 * j];
  ClearComplex(w, kFilterTable);
  for (int j = 0; j <= h; ++j) w[2 * j] = a[j];
  ComplexFFT(f.FFT.get(), w, -2);
  std::memcpy(f.Response.get(), w, sizeof(float) * 2 * static_cast<std::size_t>(n));
  const float scale = 1.0f / static_cast<float>(n);
  float* p = f.Kernel.get();
  float* q = p + 2 * n;
  float* splitRe = p + kSplitKernel;
  float* splitIm = splitRe + kMaxFilterBlock;
  for (int m = 0; m < n; ++m) {
    const float kr = w[2 * m] * scale, ki = w[2 * m + 1] * scale;
    p[2 * m] = kr;
    p[2 * m + 1] = -kr;
    q[2 * m] = -ki;
    q[2 * m + 1] = -ki;
    splitRe[m] = kr;
    splitIm[m] = -ki;
  }
}

// Truncated toward zero and held in the 16-bit range; NaN counts as a clip.
inline std::int16_t Clip(float v, bool& overflow) {
  const bool inside = v < 32768.0f && v > -32769.0f;
  overflow |= !inside;
  v = v >= -32768.0f ? v : -32768.0f;
  v = v <= 32767.0f ? v : 32767.0f;
  return static_cast<std::int16_t>(static_cast<std::int32_t>(v));
}

// The three passes around the transforms, portable and AVX2. Block input: work[m] =
// x[m] + i x[m + N/2], zero above N/2. Kernel: work = conj(work * H / N). Output:
// first half-block from the real parts plus the carried overlap, second half-block
// from the real parts of the upper half minus the imaginary parts of the lower
// (the inverse transform is taken as conj(FFT(conj(.)))), truncated and saturated.
void LoadPortable(const std::int16_t* src, int stride, int h, float* w) {
  for (int m = 0; m < h; ++m) {
    w[2 * m] = src[m * stride];
    w[2 * m + 1] = src[(m + h) * stride];
  }
}

void KernelPortable(float* w, const float* p, const float* q, int n) {
  for (int m = 0; m < n; ++m) {
    const float xr = w[2 * m], xi = w[2 * m + 1];
    w[2 * m] = xr * p[2 * m] + xi * q[2 * m];
    w[2 * m + 1] = xi * p[2 * m + 1] + xr * q[2 * m + 1];
  }
}

bool OutputPortable(const float* w, float* overlap, std::int16_t* out, int h) {
  bool overflow = false;
  for (int m = 0; m < h; ++m) {
    const float v0 = w[2 * m] + overlap[m];
    const float v1 = w[2 * (m + h)] - w[2 * m + 1];
    overlap[m] = -w[2 * (m + h) + 1];
    out[m] = Clip(v0, overflow);
    out[m + h] = Clip(v1, overflow);
  }
  return overflow;
}

void LoadPortable(const float* src, int stride, int h, float* w) {
  for (int m = 0; m < h; ++m) {
    w[2 * m] = src[m * stride];
    w[2 * m + 1] = src[(m + h) * stride];
  }
}

// Float samples carry values beyond full scale through unchanged.
bool OutputPortable(const float* w, float* overlap, float* out, int h) {
  for (int m = 0; m < h; ++m) {
    out[m] = w[2 * m] + overlap[m];
    out[m + h] = w[2 * (m + h)] - w[2 * m + 1];
    overlap[m] = -w[2 * (m + h) + 1];
  }
  return false;
}

#pragma GCC push_options
#pragma GCC target("avx2,fma")

// h >= 8 (N >= 16); stride 1 (mono) or 2 (channel c of stereo, c in the low or high
// half of each 32-bit frame).
void LoadAvx2(const std::int16_t* src, int stride, int c, int h, float* w) {
  for (int m = 0; m < h; m += 8) {
    __m256 a, b;
    if (stride == 1) {
      a = _mm256_cvtepi32_ps(_mm256_cvtepi16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(src + m))));
      b = _mm256_cvtepi32_ps(_mm256_cvtepi16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(src + m + h))));
    } else {
      __m256i fa = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src + 2 * m));
      __m256i fb = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src + 2 * (m + h)));
      if (c == 0) {
        fa = _mm256_slli_epi32(fa, 16);
        fb = _mm256_slli_epi32(fb, 16);
      }
      a = _mm256_cvtepi32_ps(_mm256_srai_epi32(fa, 16));
      b = _mm256_cvtepi32_ps(_mm256_srai_epi32(fb, 16));
    }
    const __m256 lo = _mm256_unpacklo_ps(a, b), hi = _mm256_unpackhi_ps(a, b);
    _mm256_store_ps(w + 2 * m, _mm256_permute2f128_ps(lo, hi, 0x20));
    _mm256_store_ps(w + 2 * m + 8, _mm256_permute2f128_ps(lo, hi, 0x31));
  }
}

void KernelAvx2(float* w, const float* p, const float* q, int n) {
  for (int i = 0; i < 2 * n; i += 8) {
    const __m256 x = _mm256_load_ps(w + i);
    const __m256 swapped = _mm256_permute_ps(x, 0xB1);
    _mm256_store_ps(w + i, _mm256_fmadd_ps(x, _mm256_load_ps(p + i), _mm256_mul_ps(swapped, _mm256_load_ps(q + i))));
  }
}

// Real and imaginary parts of 8 complex values at w, in natural order.
static inline __attribute__((always_inline)) void Split8(const float* w, __m256& re, __m256& im) {
  const __m256i order = _mm256_setr_epi32(0, 2, 4, 6, 1, 3, 5, 7);
  const __m256 a = _mm256_permutevar8x32_ps(_mm256_load_ps(w), order);
  const __m256 b = _mm256_permutevar8x32_ps(_mm256_load_ps(w + 8), order);
  re = _mm256_permute2f128_ps(a, b, 0x20);
  im = _mm256_permute2f128_ps(a, b, 0x31);
}

// h >= 16 (N >= 32).
bool OutputAvx2(const float* w, float* overlap, std::int16_t* out, int h) {
  const __m256 lo = _mm256_set1_ps(-40000.0f), hi = _mm256_set1_ps(40000.0f);
  const __m256i top = _mm256_set1_epi32(32767), bottom = _mm256_set1_epi32(-32768);
  __m256i clipped = _mm256_setzero_si256();
  auto convert = [&](__m256 v) {  // NaN ends at -40000 and counts as clipped
    const __m256i x = _mm256_cvttps_epi32(_mm256_min_ps(_mm256_max_ps(v, lo), hi));
    clipped = _mm256_or_si256(clipped, _mm256_or_si256(_mm256_cmpgt_epi32(x, top), _mm256_cmpgt_epi32(bottom, x)));
    return x;
  };
  for (int m = 0; m < h; m += 16) {
    __m256 r0, i0, r1, i1, r2, i2, r3, i3;
    Split8(w + 2 * m, r0, i0);
    Split8(w + 2 * m + 16, r1, i1);
    Split8(w + 2 * (m + h), r2, i2);
    Split8(w + 2 * (m + h) + 16, r3, i3);
    const __m256 a0 = _mm256_add_ps(r0, _mm256_loadu_ps(overlap + m));
    const __m256 a1 = _mm256_add_ps(r1, _mm256_loadu_ps(overlap + m + 8));
    const __m256 b0 = _mm256_sub_ps(r2, i0), b1 = _mm256_sub_ps(r3, i1);
    const __m256 zero = _mm256_setzero_ps();
    _mm256_storeu_ps(overlap + m, _mm256_sub_ps(zero, i2));
    _mm256_storeu_ps(overlap + m + 8, _mm256_sub_ps(zero, i3));
    // packs saturates to the 16-bit range; the qword permute undoes its lane split.
    const __m256i first = _mm256_permute4x64_epi64(_mm256_packs_epi32(convert(a0), convert(a1)), 0xD8);
    const __m256i second = _mm256_permute4x64_epi64(_mm256_packs_epi32(convert(b0), convert(b1)), 0xD8);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + m), first);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + m + h), second);
  }
  return !_mm256_testz_si256(clipped, clipped);
}

// h >= 8; stride 1 or 2 as LoadAvx2.
void LoadAvx2(const float* src, int stride, int c, int h, float* w) {
  const __m256i order = _mm256_setr_epi32(0, 2, 4, 6, 1, 3, 5, 7);
  for (int m = 0; m < h; m += 8) {
    __m256 a, b;
    if (stride == 1) {
      a = _mm256_loadu_ps(src + m);
      b = _mm256_loadu_ps(src + m + h);
    } else {
      auto pick = [&](const float* p) {
        const __m256 x0 = _mm256_permutevar8x32_ps(_mm256_loadu_ps(p), order);
        const __m256 x1 = _mm256_permutevar8x32_ps(_mm256_loadu_ps(p + 8), order);
        return c == 0 ? _mm256_permute2f128_ps(x0, x1, 0x20) : _mm256_permute2f128_ps(x0, x1, 0x31);
      };
      a = pick(src + 2 * m);
      b = pick(src + 2 * (m + h));
    }
    const __m256 lo = _mm256_unpacklo_ps(a, b), hi = _mm256_unpackhi_ps(a, b);
    _mm256_store_ps(w + 2 * m, _mm256_permute2f128_ps(lo, hi, 0x20));
    _mm256_store_ps(w + 2 * m + 8, _mm256_permute2f128_ps(lo, hi, 0x31));
  }
}

// h >= 16.
bool OutputAvx2(const float* w, float* overlap, float* out, int h) {
  for (int m = 0; m < h; m += 16) {
    __m256 r0, i0, r1, i1, r2, i2, r3, i3;
    Split8(w + 2 * m, r0, i0);
    Split8(w + 2 * m + 16, r1, i1);
    Split8(w + 2 * (m + h), r2, i2);
    Split8(w + 2 * (m + h) + 16, r3, i3);
    _mm256_storeu_ps(out + m, _mm256_add_ps(r0, _mm256_loadu_ps(overlap + m)));
    _mm256_storeu_ps(out + m + 8, _mm256_add_ps(r1, _mm256_loadu_ps(overlap + m + 8)));
    _mm256_storeu_ps(out + m + h, _mm256_sub_ps(r2, i0));
    _mm256_storeu_ps(out + m + h + 8, _mm256_sub_ps(r3, i1));
    const __m256 zero = _mm256_setzero_ps();
    _mm256_storeu_ps(overlap + m, _mm256_sub_ps(zero, i2));
    _mm256_storeu_ps(overlap + m + 8, _mm256_sub_ps(zero, i3));
  }
  return false;
}

// n >= 16 frames.
void InterleaveAvx2(const std::int16_t* l, const std::int16_t* r, std::int16_t* dst, int n) {
  for (int m = 0; m < n; m += 16) {
    const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(l + m));
    const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(r + m));
    const __m256i lo = _mm256_unpacklo_epi16(a, b), hi = _mm256_unpackhi_epi16(a, b);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + 2 * m), _mm256_permute2x128_si256(lo, hi, 0x20));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + 2 * m + 16), _mm256_permute2x128_si256(lo, hi, 0x31));
  }
}

// n % 8 == 0 frames.
void InterleaveAvx2(const float* l, const float* r, float* dst, int n) {
  for (int m = 0; m < n; m += 8) {
    const __m256 a = _mm256_loadu_ps(l + m), b = _mm256_loadu_ps(r + m);
    const __m256 lo = _mm256_unpacklo_ps(a, b), hi = _mm256_unpackhi_ps(a, b);
    _mm256_storeu_ps(dst + 2 * m, _mm256_permute2f128_ps(lo, hi, 0x20));
    _mm256_storeu_ps(dst + 2 * m + 8, _mm256_permute2f128_ps(lo, hi, 0x31));
  }
}

// Copies whole steps of 16 float samples from buf to dst while they are all finite;
// returns the bytes copied (the caller goes on from the first step with a NaN or an
// infinity).
int CopyFiniteAvx2(const std::uint8_t* buf, std::uint8_t* dst, int bytes) {
  const __m256i exponent = _mm256_set1_epi32(0x7F800000);
  int i = 0;
  for (; i + 64 <= bytes; i += 64) {
    const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(buf + i));
    const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(buf + i + 32));
    const __m256i bad = _mm256_or_si256(_mm256_cmpeq_epi32(_mm256_and_si256(a, exponent), exponent),
                                        _mm256_cmpeq_epi32(_mm256_and_si256(b, exponent), exponent));
    if (!_mm256_testz_si256(bad, bad)) break;
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + i), a);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + i + 32), b);
  }
  return i;
}

#pragma GCC pop_options

// One block of N samples of one channel (every stride-th sample from src) into out,
// through the transform context fft and its scratch w.
template <class T>
bool FilterBlock(TFFTFilter& f, bool vector, const T* src, int stride, int c, T* out, float* overlap,
                 TComplexFFTContext* fft, float* w) {
  const int n = f.BlockLength, h = f.HalfBlock;
  const bool wide = vector && n >= 32;
  if (wide && n >= 64 && fft->Vector) {
    const float* kr = f.Kernel.get() + kSplitKernel;
    return detail::FilterBlockFused<T>(*fft, src, stride, c, kr, kr + kMaxFilterBlock, w, overlap, out);
  }
  if (wide)
    LoadAvx2(src, stride, c, h, w);
  else
    LoadPortable(src + c, stride, h, w);
  std::memset(w + n, 0, sizeof(float) * static_cast<std::size_t>(n));
  ComplexFFT(fft, w, 1);
  if (wide)
    KernelAvx2(w, f.Kernel.get(), f.Kernel.get() + 2 * n, n);
  else
    KernelPortable(w, f.Kernel.get(), f.Kernel.get() + 2 * n, n);
  ComplexFFT(fft, w, 1);
  return wide ? OutputAvx2(w, overlap, out, h) : OutputPortable(w, overlap, out, h);
}

template <class T>
T* InQueue(TFFTFilter& f) {
  if constexpr (std::is_same_v<T, float>)
    return f.InQueueF.get();
  else
    return f.InQueue.get();
}

template <class T>
T* OutQueue(TFFTFilter& f) {
  if constexpr (std::is_same_v<T, float>)
    return f.OutQueueF.get();
  else
    return f.OutQueue.get();
}

template <class T>
T* History(TFFTFilter& f) {
  if constexpr (std::is_same_v<T, float>)
    return f.HistoryF;
  else
    return f.History;
}

struct TChannels {
  int First, Last;
  bool OneOfTwo;  // one channel of a stereo stream is filtered, the other passes
};

TChannels Selected(const TFFTFilter& f, TMMChannel mode) {
  int first = 0, last = f.Channels - 1;
  if (mode == TMMChannel::chLeft)
    last = 0;
  else if (mode == TMMChannel::chRight && f.Channels == 2)
    first = 1;
  return {first, last, f.Channels == 2 && first == last};
}

// The right channel of count stereo blocks from Src, filtered into the helper's half of
// Apart: the helper's job (or the caller's, when the helper is taken).
template <class T>
struct TRightJob {
  TFFTFilter* Filter;
  bool Vector;
  const T* Src;
  int Count;
  bool Overflow;

  static void Run(void* context) noexcept {
    auto& j = *static_cast<TRightJob*>(context);
    TFFTFilter& f = *j.Filter;
    const int n = f.BlockLength;
    T* out = reinterpret_cast<T*>(f.Apart[1].get());
    for (int b = 0; b < j.Count; ++b)
      j.Overflow |= FilterBlock<T>(f, j.Vector, j.Src + static_cast<std::ptrdiff_t>(b) * 2 * n, 2, 1, out + b * n,
                                   f.Overlap[1].get(), f.HelperFFT.get(), f.HelperWork.get());
  }
};

// Both channels of stereo blocks, the right one on the helper, in groups of at most
// kHelperFrames frames: one hand-off a group.
template <class T>
bool RunBlocksApart(TFFTFilter& f, bool vector, const T* in, int blocks) {
  const int n = f.BlockLength;
  const int group = std::max(1, kHelperFrames / n);
  T* left = reinterpret_cast<T*>(f.Apart[0].get());
  const T* right = reinterpret_cast<const T*>(f.Apart[1].get());
  bool overflow = false;
  for (int first = 0; first < blocks; first += group) {
    const int count = std::min(group, blocks - first);
    const T* src = in + static_cast<std::ptrdiff_t>(first) * 2 * n;
    TRightJob<T> job{&f, vector, src, count, false};
    const bool handed = f.Helper->Begin(&TRightJob<T>::Run, &job);
    for (int b = 0; b < count; ++b)
      overflow |= FilterBlock<T>(f, vector, src + static_cast<std::ptrdiff_t>(b) * 2 * n, 2, 0, left + b * n,
                                 f.Overlap[0].get(), f.FFT.get(), f.Work.get());
    if (handed)
      f.Helper->Finish();
    else
      TRightJob<T>::Run(&job);
    overflow |= job.Overflow;
    const int frames = count * n;
    std::uint8_t* dst = reinterpret_cast<std::uint8_t*>(OutQueue<T>(f)) + f.OutCount +
                        static_cast<std::ptrdiff_t>(first) * 2 * n * static_cast<int>(sizeof(T));
    if constexpr (std::is_same_v<T, std::int16_t>) {
      if (vector && frames % 16 == 0) {
        InterleaveAvx2(left, right, reinterpret_cast<std::int16_t*>(dst), frames);
        continue;
      }
    } else {
      if (vector && frames % 8 == 0) {
        InterleaveAvx2(left, right, reinterpret_cast<float*>(dst), frames);
        continue;
      }
    }
    for (int m = 0; m < frames; ++m) {
      const T pair[2] = {left[m], right[m]};
      std::memcpy(dst + sizeof(pair) * static_cast<std::size_t>(m), pair, sizeof(pair));
    }
  }
  return overflow;
}

// Filters blocks whole blocks of samples at in onto the end of the output queue.
template <class T>
bool RunBlocksFrom(TFFTFilter& f, TChannels sel, const T* in, int blocks) {
  const int ch = f.Channels, n = f.BlockLength;
  const int frameBytes = static_cast<int>(sizeof(T)) * ch, blockBytes = n * frameBytes;
  auto* outq = reinterpret_cast<std::uint8_t*>(OutQueue<T>(f));
  bool overflow = false;
  const bool vector = VectorFFTEnabled();
  const bool apart = f.Helper && ch == 2 && !sel.OneOfTwo && blocks > 0;
  if (apart) overflow = RunBlocksApart<T>(f, vector, in, blocks);
  alignas(32) T result[kMaxFilterChannels][kMaxFilterBlock];
  for (int b = 0; b < (apart ? 0 : blocks); ++b) {
    const T* src = in + static_cast<std::ptrdiff_t>(b) * n * ch;
    for (int c = sel.First; c <= sel.Last; ++c)
      overflow |= FilterBlock<T>(f, vector, src, ch, c, result[c], f.Overlap[c].get(), f.FFT.get(), f.Work.get());
    std::uint8_t* dst = outq + f.OutCount + static_cast<std::ptrdiff_t>(b) * blockBytes;
    if (ch == 1) {
      std::memcpy(dst, result[0], static_cast<std::size_t>(blockBytes));
    } else if (!sel.OneOfTwo) {
      alignas(32) T frames[2 * kMaxFilterBlock];
      if constexpr (std::is_same_v<T, std::int16_t>) {
        if (vector && n >= 16) {  // unaligned stores: straight into the queue
          InterleaveAvx2(result[0], result[1], reinterpret_cast<std::int16_t*>(dst), n);
          continue;
        }
      } else {
        if (vector && n % 8 == 0) {
          InterleaveAvx2(result[0], result[1], reinterpret_cast<float*>(dst), n);
          continue;
        }
      }
      for (int m = 0; m < n; ++m) {
        frames[2 * m] = result[0][m];
        frames[2 * m + 1] = result[1][m];
      }
      std::memcpy(dst, frames, static_cast<std::size_t>(blockBytes));
    } else {
      const int c = sel.First, other = 1 - c;
      for (int m = 0; m < n; ++m) std::memcpy(dst + frameBytes * m + sizeof(T) * c, &result[c][m], sizeof(T));
      if (f.Aligned) {
        // The passing channel, written N/4 frames late: the delay dropped from the
        // front brings it back in step.
        const int d = n / 4;
        T* hist = History<T>(f);
        T sample;
        for (int m = 0; m < n; ++m) {
          sample = m < d ? hist[m] : src[2 * (m - d) + other];
          std::memcpy(dst + frameBytes * m + sizeof(T) * other, &sample, sizeof(T));
        }
        for (int m = 0; m < d; ++m) hist[m] = src[2 * (n - d + m) + other];
      }
      // Otherwise the other channel's positions are never written and never copied out.
    }
  }
  f.OutCount += blocks * blockBytes;
  return overflow;
}

// Filters every whole block in the input queue onto the end of the output queue.
template <class T>
bool RunBlocks(TFFTFilter& f, TChannels sel) {
  const int blockBytes = f.BlockLength * static_cast<int>(sizeof(T)) * f.Channels;
  const int blocks = f.InCount / blockBytes;
  auto* inq = reinterpret_cast<std::uint8_t*>(InQueue<T>(f));
  const bool overflow = RunBlocksFrom<T>(f, sel, InQueue<T>(f), blocks);
  const int consumed = blocks * blockBytes;
  if (consumed > 0) {
    f.InCount -= consumed;
    std::memmove(inq, inq + consumed, static_cast<std::size_t>(f.InCount));
  }
  return overflow;
}

// A NaN or an infinity would fill the whole overlap-add block it lands in (and every
// block after it through the overlap), and integer output makes that full scale: such
// float samples enter the filter as silence (in buf too). Copies bytes of buf to dst.
template <class T>
void TakeInput(TFFTFilter& f, std::uint8_t* dst, std::uint8_t* buf, int bytes) {
  if constexpr (std::is_same_v<T, float>) {
    std::int64_t found = 0;
    // Sixteen samples a step with AVX2 up to the first step with a NaN or an infinity,
    // then four a step, checked as they are copied (SSE2 is part of every x86-64); a
    // step with a NaN or an infinity goes through the scalar loop.
    int i = VectorFFTEnabled() ? CopyFiniteAvx2(buf, dst, bytes) : 0;
    const __m128i exponent = _mm_set1_epi32(0x7F800000);
    for (; i + 16 <= bytes; i += 16) {
      const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(buf + i));
      if (_mm_movemask_epi8(_mm_cmpeq_epi32(_mm_and_si128(v, exponent), exponent)) == 0) {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + i), v);
        continue;
      }
      for (int j = i; j < i + 16; j += 4) {
        std::uint32_t bits;
        std::memcpy(&bits, buf + j, 4);
        if ((bits & 0x7F800000u) == 0x7F800000u) {  // exponent all ones: NaN or infinity
          std::memset(buf + j, 0, 4);
          ++found;
        }
      }
      std::memcpy(dst + i, buf + i, 16);
    }
    for (int j = i; j + 4 <= bytes; j += 4) {
      std::uint32_t bits;
      std::memcpy(&bits, buf + j, 4);
      if ((bits & 0x7F800000u) == 0x7F800000u) {
        std::memset(buf + j, 0, 4);
        ++found;
      }
    }
    std::memcpy(dst + i, buf + i, static_cast<std::size_t>(bytes - i));
    if (found && f.NonFiniteCount) f.NonFiniteCount->fetch_add(found, std::memory_order_relaxed);
  } else {
    std::memcpy(dst, buf, static_cast<std::size_t>(bytes));
  }
}

// One call's worth (at most Q bytes) through the queues.
template <class T>
bool ProcessChunk(TFFTFilter& f, TMMChannel mode, std::uint8_t* buf, int bytes) {
  constexpr int S = static_cast<int>(sizeof(T));
  const int frameBytes = S * f.Channels;
  auto* inq = reinterpret_cast<std::uint8_t*>(InQueue<T>(f));
  auto* outq = reinterpret_cast<std::uint8_t*>(OutQueue<T>(f));
  TakeInput<T>(f, inq + f.InCount, buf, bytes);
  f.InCount += bytes;
  const TChannels sel = Selected(f, mode);
  const bool overflow = RunBlocks<T>(f, sel);

  const int d = std::min(bytes, f.OutCount);
  const int missing = bytes - d;
  // Until output has begun the shortfall is leading silence before the data. Once the
  // stream flows, the data must follow what the last call returned without a gap, so a
  // shortfall (a call that ends inside a block, as the last buffer of a file does) is
  // padded after the data instead.
  const int lead = f.Flowing ? 0 : missing;
  const int tail = lead + d;
  if (sel.OneOfTwo) {
    // Only the filtered channel is written (and silenced while short); the other
    // keeps its input samples, undelayed.
    const int c = sel.First;
    for (int pos = S * c; pos + S <= lead; pos += frameBytes) std::memset(buf + pos, 0, S);
    for (int m = 0; frameBytes * m + frameBytes <= d; ++m)
      std::memcpy(buf + lead + frameBytes * m + S * c, outq + frameBytes * m + S * c, S);
    for (int pos = tail + S * c; pos + S <= bytes; pos += frameBytes) std::memset(buf + pos, 0, S);
  } else {
    std::memset(buf, 0, static_cast<std::size_t>(lead));
    std::memcpy(buf + lead, outq, static_cast<std::size_t>(d));
    std::memset(buf + tail, 0, static_cast<std::size_t>(bytes - tail));
  }
  if (d > 0) f.Flowing = true;
  f.OutCount -= d;
  std::memmove(outq, outq + d, static_cast<std::size_t>(f.OutCount));
  return overflow;
}

// Aligned: drops what is left of the delay, then moves up to room bytes of output
// (never more than came in) to dst.
template <class T>
int Deliver(TFFTFilter& f, std::uint8_t* dst, int room) {
  auto* outq = reinterpret_cast<std::uint8_t*>(OutQueue<T>(f));
  const int drop = std::min(f.SkipBytes, f.OutCount);
  f.SkipBytes -= drop;
  const std::int64_t owed = f.InBytes - f.OutBytes;
  const int d = static_cast<int>(std::min<std::int64_t>({room, f.OutCount - drop, owed}));
  std::memcpy(dst, outq + drop, static_cast<std::size_t>(std::max(d, 0)));
  f.OutCount -= drop + d;
  std::memmove(outq, outq + drop + d, static_cast<std::size_t>(f.OutCount));
  f.OutBytes += d;
  return d;
}

// Input from in, output to out (the same place, or apart for 16-bit samples).
template <class T>
bool ProcessAligned(TFFTFilter& f, TMMChannel mode, const std::uint8_t* in, std::uint8_t* out, int bytes,
                    int& delivered) {
  auto* inq = reinterpret_cast<std::uint8_t*>(InQueue<T>(f));
  const TChannels sel = Selected(f, mode);
  bool overflow = false;
  delivered = 0;
  const int blockBytes = f.BlockLength * static_cast<int>(sizeof(T)) * f.Channels;
  for (int pos = 0; pos < bytes;) {
    const int slice = std::min(bytes - pos, f.Capacity);
    if (std::is_same_v<T, std::int16_t> && f.InCount == 0 &&
        reinterpret_cast<std::uintptr_t>(in + pos) % alignof(T) == 0) {
      // Nothing waits in the input queue: the whole blocks are filtered where they are,
      // and only the rest is queued (before the output below can reach it).
      const int whole = slice / blockBytes;
      overflow |= RunBlocksFrom<T>(f, sel, reinterpret_cast<const T*>(in + pos), whole);
      f.InCount = slice - whole * blockBytes;
      std::memcpy(inq, in + pos + whole * blockBytes, static_cast<std::size_t>(f.InCount));
    } else {
      if constexpr (std::is_same_v<T, float>) {
        TakeInput<T>(f, inq + f.InCount, out + pos, slice);  // in == out: silences non-finite samples in it
      } else {
        std::memcpy(inq + f.InCount, in + pos, static_cast<std::size_t>(slice));
      }
      f.InCount += slice;
      overflow |= RunBlocks<T>(f, sel);
    }
    f.InBytes += slice;
    pos += slice;
    // Output lags input, so it never overtakes the bytes not yet read from in.
    delivered += Deliver<T>(f, out + delivered, pos - delivered);
  }
  return overflow;
}

template <class T>
bool Drain(TFFTFilter& f, TMMChannel mode, std::uint8_t* buf, int bytes, int& delivered) {
  bool overflow = false;
  if (!f.Drained) {
    f.Drained = true;
    // Silence after the input until the filter has produced its last input frame
    // plus the delay, in whole blocks.
    const std::int64_t frameBytes = static_cast<std::int64_t>(sizeof(T)) * f.Channels;
    const std::int64_t blockBytes = frameBytes * f.BlockLength;
    const std::int64_t needed = f.InBytes / frameBytes * frameBytes + frameBytes * (f.BlockLength / 4);
    std::int64_t zeros = (needed + blockBytes - 1) / blockBytes * blockBytes - f.InBytes;
    auto* inq = reinterpret_cast<std::uint8_t*>(InQueue<T>(f));
    const TChannels sel = Selected(f, mode);
    while (zeros > 0) {
      const int step = static_cast<int>(std::min(zeros, blockBytes));
      std::memset(inq + f.InCount, 0, static_cast<std::size_t>(step));
      f.InCount += step;
      zeros -= step;
      overflow |= RunBlocks<T>(f, sel);
    }
  }
  delivered = bytes > 0 ? Deliver<T>(f, buf, bytes) : 0;
  return overflow;
}

}  // namespace

PFFTFilter CreateFFTFilter(const TWaveFormatEx* format, int fftLength, int capacity) {
  const bool isFloat = format && IsFloatFormat(format) && format->wBitsPerSample == 32;
  if (!format || (format->wBitsPerSample != 16 && !isFloat) || format->nChannels < 1 ||
      format->nChannels > kMaxFilterChannels ||
      format->nSamplesPerSec < 1 || format->nSamplesPerSec > 0x7FFFFFFF)
    return nullptr;
  try {
    auto f = std::make_unique<TFFTFilter>();
    f->SampleRate = static_cast<std::int32_t>(format->nSamplesPerSec);
    f->Channels = format->nChannels;
    f->Float = isFloat;
    int n = kMinBlock;
    while (n * 2 <= std::min(fftLength, kMaxFilterBlock)) n *= 2;
    f->BlockLength = n;
    f->HalfBlock = n / 2;
    int k = 0;
    while ((1 << k) < n) ++k;
    f->FFT = CreateComplexFFT(k);
    const std::int64_t blockBytes = static_cast<std::int64_t>(n) * (isFloat ? 4 : 2) * f->Channels;
    // Four blocks leave room for what an aligned filter owes when its input ends.
    const std::int64_t q = std::max<std::int64_t>(capacity, 4 * blockBytes);
    if (q > kMaxCapacity) return nullptr;
    f->Capacity = static_cast<std::int32_t>(q);
    if (isFloat) {
      f->InQueueF = std::make_unique<float[]>(static_cast<std::size_t>(q) / 2 + 4);
      f->OutQueueF = std::make_unique<float[]>(static_cast<std::size_t>(q) / 2 + 4);
    } else {
      f->InQueue = std::make_unique<std::int16_t[]>(static_cast<std::size_t>(q) + 4);
      f->OutQueue = std::make_unique<std::int16_t[]>(static_cast<std::size_t>(q) + 4);
    }
    for (auto& o : f->Overlap) o = detail::AllocFloats(kFilterTable);
    f->Gains = detail::AllocFloats(kFilterTable);
    f->Response = detail::AllocFloats(2 * kFilterTable);
    f->Kernel = detail::AllocFloats(kSplitKernel + 2 * kMaxFilterBlock);
    f->Work = detail::AllocFloats(2 * kFilterTable);
    f->Taper = detail::AllocFloats(kFilterTable);
    f->Window = TMMFFTWindow::fwHamming;
    BuildTaper(*f);
    ResetFilter(f.get());
    SetFilterBand(f.get(), 0.0f, static_cast<float>(f->SampleRate) / 2, 0.0f);
    return f;
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

void FreeFFTFilter(PFFTFilter& filter) { filter.reset(); }

void SetFilterHelper(TFFTFilter* filter, THandOffWorker* helper) {
  if (!filter) return;
  std::lock_guard lock(filter->Lock);
  if (helper && !filter->HelperFFT) {
    filter->HelperFFT = CreateComplexFFT(filter->FFT->Log2Size);
    filter->HelperWork = detail::AllocFloats(2 * kFilterTable);
    for (auto& a : filter->Apart) a = detail::AllocFloats(kHelperFrames);  // a float or a 16-bit sample each
  }
  filter->Helper = helper;
}

void SetFilterWindow(TFFTFilter* filter, TMMFFTWindow window) {
  if (!filter) return;
  std::lock_guard lock(filter->Lock);
  filter->Window = window;
  BuildTaper(*filter);
  Design(*filter);
}

bool FilterBandBins(std::int32_t sampleRate, std::int32_t blockLength, float f1, float f2, int& firstBin,
                    int& lastBin) {
  if (!std::isfinite(f1) || !std::isfinite(f2) || sampleRate < 1 || blockLength < 2) return false;
  const float s = static_cast<float>(sampleRate);
  const float h = static_cast<float>(sampleRate / 2);
  f1 = std::max(f1, 0.0f);
  f2 = std::max(f2, 0.0f);
  if (f1 >= h) f1 = h - 1;
  if (f2 > h) f2 = h;
  if (f1 > f2) std::swap(f1, f2);
  if (f2 == f1) f2 = f2 + 1;
  const float w = s / static_cast<float>(blockLength);
  firstBin = std::clamp(static_cast<int>(std::trunc(f1 / w)), 0, blockLength / 2);
  lastBin = std::clamp(static_cast<int>(std::trunc(f2 / w)), 0, blockLength / 2);
  return true;
}

namespace {
// The bins and linear gain of a band; false when it changes nothing.
bool BandGain(const TFFTFilter* filter, float f1, float f2, float gainDb, int& firstBin, int& lastBin, float& gain) {
  if (!filter || !std::isfinite(gainDb) ||
      !FilterBandBins(filter->SampleRate, filter->BlockLength, f1, f2, firstBin, lastBin))
    return false;
  gainDb = std::clamp(gainDb, -kMaxGainDb, kMaxGainDb);
  gain = static_cast<float>(std::pow(10.0, (static_cast<double>(gainDb) + 6.0) * 0.05));
  return true;
}
}  // namespace

void SetFilterBand(TFFTFilter* filter, float f1, float f2, float gainDb) {
  int firstBin = 0, lastBin = 0;
  float gain = 0;
  if (!BandGain(filter, f1, f2, gainDb, firstBin, lastBin, gain)) return;
  std::lock_guard lock(filter->Lock);
  for (int bin = firstBin; bin <= lastBin; ++bin) filter->Gains[bin] = gain;
  Design(*filter);
}

void SetFilterBandGain(TFFTFilter* filter, float f1, float f2, float gainDb) {
  int firstBin = 0, lastBin = 0;
  float gain = 0;
  if (!BandGain(filter, f1, f2, gainDb, firstBin, lastBin, gain)) return;
  std::lock_guard lock(filter->Lock);
  for (int bin = firstBin; bin <= lastBin; ++bin) filter->Gains[bin] = gain;
}

void InstallFilterDesign(TFFTFilter* filter, TFFTFilter* spare) {
  if (!filter || !spare || spare->BlockLength != filter->BlockLength) return;
  {
    std::lock_guard lock(spare->Lock);
    spare->SampleRate = filter->SampleRate;
    spare->Window = filter->Window;  // only the main thread changes it
    BuildTaper(*spare);
    Design(*spare);
  }
  // The audio thread waits for three pointer swaps, never for a design.
  std::scoped_lock lock(filter->Lock, spare->Lock);
  std::swap(filter->Gains, spare->Gains);
  std::swap(filter->Response, spare->Response);
  std::swap(filter->Kernel, spare->Kernel);
}

void ResetFilter(TFFTFilter* filter) {
  if (!filter) return;
  std::lock_guard lock(filter->Lock);
  filter->InCount = 0;
  filter->OutCount = 0;
  filter->Flowing = false;
  filter->SkipBytes = filter->Aligned ? filter->BlockLength / 4 * filter->Channels * (filter->Float ? 4 : 2) : 0;
  filter->InBytes = 0;
  filter->OutBytes = 0;
  filter->Drained = false;
  std::fill(std::begin(filter->History), std::end(filter->History), std::int16_t{0});
  std::fill(std::begin(filter->HistoryF), std::end(filter->HistoryF), 0.0f);
  for (auto& o : filter->Overlap) ClearFloats(o.get(), kFilterTable);
}

void SetFilterAligned(TFFTFilter* filter, bool aligned) {
  if (!filter) return;
  std::lock_guard lock(filter->Lock);
  filter->Aligned = aligned;
  ResetFilter(filter);
}

bool ProcessFilter(TFFTFilter* filter, TMMChannel mode, void* buffer, int bytes) {
  if (!filter || !buffer || bytes <= 0) return false;
  std::lock_guard lock(filter->Lock);
  auto* p = static_cast<std::uint8_t*>(buffer);
  bool overflow = false;
  while (bytes > 0) {
    const int slice = std::min(bytes, filter->Capacity);
    overflow |= filter->Float ? ProcessChunk<float>(*filter, mode, p, slice)
                              : ProcessChunk<std::int16_t>(*filter, mode, p, slice);
    p += slice;
    bytes -= slice;
  }
  return overflow;
}

bool ProcessFilterAligned(TFFTFilter* filter, TMMChannel mode, void* buffer, int bytes, int& delivered) {
  delivered = 0;
  if (!filter || !buffer || bytes <= 0) return false;
  std::lock_guard lock(filter->Lock);
  auto* p = static_cast<std::uint8_t*>(buffer);
  return filter->Float ? ProcessAligned<float>(*filter, mode, p, p, bytes, delivered)
                       : ProcessAligned<std::int16_t>(*filter, mode, p, p, bytes, delivered);
}

bool ProcessFilterAlignedFrom(TFFTFilter* filter, TMMChannel mode, const void* in, void* out, int bytes,
                              int& delivered) {
  delivered = 0;
  if (!filter || !in || !out || bytes <= 0) return false;
  std::lock_guard lock(filter->Lock);
  const auto* from = static_cast<const std::uint8_t*>(in);
  auto* to = static_cast<std::uint8_t*>(out);
  if (filter->Float) {
    std::memmove(to, from, static_cast<std::size_t>(bytes));
    return ProcessAligned<float>(*filter, mode, to, to, bytes, delivered);
  }
  return ProcessAligned<std::int16_t>(*filter, mode, from, to, bytes, delivered);
}

bool DrainFilter(TFFTFilter* filter, TMMChannel mode, void* buffer, int bytes, int& delivered) {
  delivered = 0;
  if (!filter || !buffer) return false;
  std::lock_guard lock(filter->Lock);
  auto* p = static_cast<std::uint8_t*>(buffer);
  return filter->Float ? Drain<float>(*filter, mode, p, bytes, delivered)
                       : Drain<std::int16_t>(*filter, mode, p, bytes, delivered);
}

std::int64_t FilterPending(TFFTFilter* filter) {
  if (!filter) return 0;
  std::lock_guard lock(filter->Lock);
  return filter->InBytes - filter->OutBytes;
}

}  // namespace strataeq
