#include "foundation/MMPCMSup.h"

#include <immintrin.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>

namespace strataeq {

void FormatDeleter::operator()(TWaveFormatEx* f) const { std::free(f); }
void WaveHdrBlockDeleter::operator()(TMMWaveHdr* h) const { std::free(h); }

TWaveHdrBlock AllocWaveHeader(std::size_t bufferSize) {
  void* block = std::calloc(1, sizeof(TMMWaveHdr) + bufferSize);
  if (!block) throw std::bad_alloc();
  auto* h = static_cast<TMMWaveHdr*>(block);
  h->lpData = reinterpret_cast<char*>(h + 1);
  h->dwBufferLength = static_cast<std::uint32_t>(bufferSize);
  return TWaveHdrBlock(h);
}

std::size_t FormatSize(const TWaveFormatEx* f) {
  if (!f) return 0;
  if (f->wFormatTag == WAVE_FORMAT_PCM) return sizeof(TWaveFormatEx);
  return sizeof(TWaveFormatEx) + f->cbSize;
}

PWaveFormatEx CopyFormat(const TWaveFormatEx* f) {
  const std::size_t size = FormatSize(f);
  if (size == 0) return nullptr;
  void* block = std::calloc(1, size);
  if (!block) throw std::bad_alloc();
  std::memcpy(block, f, size);
  auto* copy = static_cast<TWaveFormatEx*>(block);
  if (copy->wFormatTag == WAVE_FORMAT_PCM) copy->cbSize = 0;
  return PWaveFormatEx(copy);
}

TWaveFormatEx BuildPcmFormat(int bits, int channels, std::uint32_t rate) {
  TWaveFormatEx f{};
  f.wFormatTag = WAVE_FORMAT_PCM;
  f.nChannels = static_cast<std::uint16_t>(channels);
  f.nSamplesPerSec = rate;
  f.wBitsPerSample = static_cast<std::uint16_t>(bits);
  f.nBlockAlign = static_cast<std::uint16_t>(bits * channels / 8);
  f.nAvgBytesPerSec = f.nBlockAlign * rate;
  f.cbSize = 0;
  return f;
}

TWaveFormatEx BuildPcmFormat(TMMBits bits, TMMMode mode, std::uint32_t rate) {
  const int channels = mode == TMMMode::mMono ? 1 : mode == TMMMode::mStereo ? 2 : 4;
  return BuildPcmFormat(bits == TMMBits::b8Bit ? 8 : 16, channels, rate);
}

bool IsValidPcmFormat(const TWaveFormatEx* f) {
  return f && f->wFormatTag == WAVE_FORMAT_PCM && (f->wBitsPerSample == 8 || f->wBitsPerSample == 16) &&
         (f->nChannels == 1 || f->nChannels == 2) && f->nSamplesPerSec >= 4000 &&
         f->nSamplesPerSec <= 100000;
}

std::uint16_t EffectiveFormatTag(const TWaveFormatEx* f) {
  if (!f) return 0;
  if (f->wFormatTag != WAVE_FORMAT_EXTENSIBLE) return f->wFormatTag;
  if (f->cbSize < 22) return 0;
  const auto* x = reinterpret_cast<const TWaveFormatExtensible*>(f);
  static constexpr std::uint8_t kGuidTail[14] = {0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80,
                                                0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};
  if (std::memcmp(x->SubFormat + 2, kGuidTail, sizeof kGuidTail) != 0) return 0;
  return static_cast<std::uint16_t>(x->SubFormat[0] | (x->SubFormat[1] << 8));
}

TPcmSampleType SampleTypeOf(const TWaveFormatEx* f) {
  if (!f || f->nChannels == 0 || f->nBlockAlign != f->nChannels * (f->wBitsPerSample / 8)) return TPcmSampleType::stNone;
  const std::uint16_t tag = EffectiveFormatTag(f);
  if (tag == WAVE_FORMAT_IEEE_FLOAT) return f->wBitsPerSample == 32 ? TPcmSampleType::stFloat32 : TPcmSampleType::stNone;
  if (tag != WAVE_FORMAT_PCM) return TPcmSampleType::stNone;
  switch (f->wBitsPerSample) {
    case 8: return TPcmSampleType::stInt8;
    case 16: return TPcmSampleType::stInt16;
    case 24: return TPcmSampleType::stInt24;
    case 32: return TPcmSampleType::stInt32;
    default: return TPcmSampleType::stNone;
  }
}

bool IsFloatFormat(const TWaveFormatEx* f) { return SampleTypeOf(f) == TPcmSampleType::stFloat32; }

bool IsLinearWaveFormat(const TWaveFormatEx* f) {
  return SampleTypeOf(f) != TPcmSampleType::stNone && (f->nChannels == 1 || f->nChannels == 2) &&
         f->nSamplesPerSec >= 8000 && f->nSamplesPerSec <= 192000;
}

int SampleBytes(TPcmSampleType type) {
  switch (type) {
    case TPcmSampleType::stInt8: return 1;
    case TPcmSampleType::stInt16: return 2;
    case TPcmSampleType::stInt24: return 3;
    case TPcmSampleType::stInt32:
    case TPcmSampleType::stFloat32: return 4;
    case TPcmSampleType::stNone: break;
  }
  return 0;
}

TWaveFormatExtensible BuildWaveFormat(TPcmSampleType type, int channels, std::uint32_t rate) {
  TWaveFormatExtensible x{};
  const int bytes = SampleBytes(type);
  x.Format = BuildPcmFormat(8 * bytes, channels, rate);
  if (type == TPcmSampleType::stFloat32) {
    x.Format.wFormatTag = WAVE_FORMAT_IEEE_FLOAT;
  } else if (bytes > 2) {
    static constexpr std::uint8_t kPcmGuid[16] = {0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00,
                                                 0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};
    x.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
    x.Format.cbSize = 22;
    x.wValidBitsPerSample = static_cast<std::uint16_t>(8 * bytes);
    x.dwChannelMask = channels == 1 ? 0x4u : 0x3u;
    std::memcpy(x.SubFormat, kPcmGuid, sizeof kPcmGuid);
  }
  return x;
}

namespace {

// Rounded to the nearest step (halves away from zero) and held in lo..hi; NaN ends at
// lo. Plain arithmetic: the library's rounding calls cost more than the filtering.
inline std::int32_t Quantize(float v, std::int32_t lo, std::int32_t hi) {
  v = v >= static_cast<float>(lo) ? v : static_cast<float>(lo);
  v = v <= static_cast<float>(hi) ? v : static_cast<float>(hi);
  const auto r = static_cast<std::int32_t>(v + (v >= 0 ? 0.5f : -0.5f));
  return r > hi ? hi : r;
}

}  // namespace

namespace {

void ScalarToFloat(TPcmSampleType type, const void* src, float* dst, std::size_t count) {
  const auto* b = static_cast<const std::uint8_t*>(src);
  switch (type) {
    case TPcmSampleType::stInt8:
      for (std::size_t i = 0; i < count; ++i) dst[i] = (static_cast<int>(b[i]) - 128) * (1.0f / 128);
      break;
    case TPcmSampleType::stInt16:
      for (std::size_t i = 0; i < count; ++i) {
        std::int16_t v;
        std::memcpy(&v, b + 2 * i, 2);
        dst[i] = v * (1.0f / 32768);
      }
      break;
    case TPcmSampleType::stInt24:
      for (std::size_t i = 0; i < count; ++i) {
        const std::int32_t v = static_cast<std::int32_t>((b[3 * i] << 8) | (b[3 * i + 1] << 16) |
                                                         (static_cast<std::uint32_t>(b[3 * i + 2]) << 24)) >> 8;
        dst[i] = static_cast<float>(v) * (1.0f / 8388608);
      }
      break;
    case TPcmSampleType::stInt32:
      for (std::size_t i = 0; i < count; ++i) {
        std::int32_t v;
        std::memcpy(&v, b + 4 * i, 4);
        dst[i] = static_cast<float>(static_cast<double>(v) * (1.0 / 2147483648.0));
      }
      break;
    case TPcmSampleType::stFloat32:
      std::memmove(dst, src, 4 * count);  // in place too
      break;
    case TPcmSampleType::stNone:
      break;
  }
}

// noise() gives the dither of each sample in turn (0 without dither).
template <class Noise>
void ScalarFromFloat(TPcmSampleType type, const float* src, void* dst, std::size_t count, Noise noise) {
  auto* b = static_cast<std::uint8_t*>(dst);
  switch (type) {
    case TPcmSampleType::stInt8:
      for (std::size_t i = 0; i < count; ++i)
        b[i] = static_cast<std::uint8_t>(Quantize(src[i] * 128 + noise(), -128, 127) + 128);
      break;
    case TPcmSampleType::stInt16:
      for (std::size_t i = 0; i < count; ++i) {
        const auto v = static_cast<std::int16_t>(Quantize(src[i] * 32768 + noise(), -32768, 32767));
        std::memcpy(b + 2 * i, &v, 2);
      }
      break;
    case TPcmSampleType::stInt24:
      for (std::size_t i = 0; i < count; ++i) {
        const std::int32_t v = Quantize(src[i] * 8388608 + noise(), -8388608, 8388607);
        b[3 * i] = static_cast<std::uint8_t>(v);
        b[3 * i + 1] = static_cast<std::uint8_t>(v >> 8);
        b[3 * i + 2] = static_cast<std::uint8_t>(v >> 16);
      }
      break;
    case TPcmSampleType::stInt32:
      for (std::size_t i = 0; i < count; ++i) {
        double x = static_cast<double>(src[i]) * 2147483648.0 + noise();
        x = x >= -2147483648.0 ? x : -2147483648.0;
        x = x <= 2147483647.0 ? x : 2147483647.0;
        const auto v = static_cast<std::int32_t>(x + (x >= 0 ? 0.5 : -0.5) - (x >= 2147483647.0 ? 0.5 : 0.0));
        std::memcpy(b + 4 * i, &v, 4);
      }
      break;
    case TPcmSampleType::stFloat32:
      std::memcpy(dst, src, 4 * count);
      break;
    case TPcmSampleType::stNone:
      break;
  }
}

// The vector conversions give the scalar ones' results bit for bit: the same float
// (or, for 32 bits, double) operations in the same order, max/min that keep the
// scalar code's choice for NaN (the lower limit), truncation after adding +-0.5.
// No FMA: a fused multiply-add would round differently. Each kernel returns how many
// samples it converted; the scalar code does the rest.

std::atomic<int> gPcmSimdLimit{static_cast<int>(TPcmSimd::Avx2)};

TPcmSimd PcmSimdLevel() {
  const int limit = gPcmSimdLimit.load(std::memory_order_relaxed);
  return static_cast<TPcmSimd>(std::min(limit, static_cast<int>(PcmSimdAvailable())));
}

constexpr float kScale16 = 32768.0f, kScale24 = 8388608.0f;
constexpr float kInv32 = 1.0f / 2147483648.0f;  // a power of two: float(v) * it equals float(v / 2^31)

// --- SSE2 ---

inline __m128i QuantizeSse2(__m128 v, float lo, float hi) {
  v = _mm_min_ps(_mm_max_ps(v, _mm_set1_ps(lo)), _mm_set1_ps(hi));
  const __m128 pos = _mm_cmpge_ps(v, _mm_setzero_ps());
  const __m128 half = _mm_or_ps(_mm_and_ps(pos, _mm_set1_ps(0.5f)), _mm_andnot_ps(pos, _mm_set1_ps(-0.5f)));
  const __m128i r = _mm_cvttps_epi32(_mm_add_ps(v, half));
  const __m128i top = _mm_set1_epi32(static_cast<std::int32_t>(hi));
  const __m128i over = _mm_cmpgt_epi32(r, top);
  return _mm_or_si128(_mm_andnot_si128(over, r), _mm_and_si128(over, top));
}

// Four scaled samples plus their dither.
inline __m128 ScaledSse2(const float* src, const float* noise, std::size_t i, float scale) {
  const __m128 v = _mm_mul_ps(_mm_loadu_ps(src + i), _mm_set1_ps(scale));
  return noise ? _mm_add_ps(v, _mm_loadu_ps(noise + i)) : v;
}

// x in doubles: clamp, +-0.5, less 0.5 at the top, truncate.
inline __m128i Quantize32Sse2(__m128d x) {
  x = _mm_min_pd(_mm_max_pd(x, _mm_set1_pd(-2147483648.0)), _mm_set1_pd(2147483647.0));
  const __m128d pos = _mm_cmpge_pd(x, _mm_setzero_pd());
  const __m128d half = _mm_or_pd(_mm_and_pd(pos, _mm_set1_pd(0.5)), _mm_andnot_pd(pos, _mm_set1_pd(-0.5)));
  const __m128d top = _mm_and_pd(_mm_cmpge_pd(x, _mm_set1_pd(2147483647.0)), _mm_set1_pd(0.5));
  return _mm_cvttpd_epi32(_mm_sub_pd(_mm_add_pd(x, half), top));
}

inline __m128d Scaled32Sse2(__m128 f, const float* noise, std::size_t i, bool high) {
  const __m128 part = high ? _mm_movehl_ps(f, f) : f;
  __m128d x = _mm_mul_pd(_mm_cvtps_pd(part), _mm_set1_pd(2147483648.0));
  if (noise) {
    const __m128 n = _mm_loadu_ps(noise + i);
    x = _mm_add_pd(x, _mm_cvtps_pd(high ? _mm_movehl_ps(n, n) : n));
  }
  return x;
}

// The low three bytes of each of four 32-bit lanes, packed into 12 bytes at out.
inline void Store24Sse2(std::uint8_t* out, __m128i v) {
  const __m128i m = _mm_and_si128(v, _mm_set1_epi32(0x00FFFFFF));
  const __m128i lowHalf = _mm_set1_epi64x(0xFFFFFFFF);
  const __m128i pairs = _mm_or_si128(_mm_and_si128(m, lowHalf), _mm_srli_epi64(_mm_andnot_si128(lowHalf, m), 8));
  // each 64-bit lane now holds 6 bytes; close the gap between them
  const __m128i low = _mm_set_epi64x(0, -1);
  const __m128i packed = _mm_or_si128(_mm_and_si128(pairs, low), _mm_srli_si128(_mm_andnot_si128(low, pairs), 2));
  _mm_storel_epi64(reinterpret_cast<__m128i*>(out), packed);
  const std::int32_t last = _mm_cvtsi128_si32(_mm_srli_si128(packed, 8));
  std::memcpy(out + 8, &last, 4);
}

// Four 24-bit samples at p as sign-extended 32-bit lanes; reads 16 bytes.
inline __m128i Load24Sse2(const std::uint8_t* p) {
  const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  const __m128i a = _mm_unpacklo_epi32(x, _mm_srli_si128(x, 3));
  const __m128i b = _mm_unpacklo_epi32(_mm_srli_si128(x, 6), _mm_srli_si128(x, 9));
  return _mm_srai_epi32(_mm_slli_epi32(_mm_unpacklo_epi64(a, b), 8), 8);
}

std::size_t ToFloatSse2(TPcmSampleType type, const std::uint8_t* b, float* dst, std::size_t count) {
  std::size_t i = 0;
  switch (type) {
    case TPcmSampleType::stInt16:
      for (; i + 8 <= count; i += 8) {
        const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + 2 * i));
        const __m128 scale = _mm_set1_ps(1.0f / kScale16);
        _mm_storeu_ps(dst + i, _mm_mul_ps(_mm_cvtepi32_ps(_mm_srai_epi32(_mm_unpacklo_epi16(x, x), 16)), scale));
        _mm_storeu_ps(dst + i + 4, _mm_mul_ps(_mm_cvtepi32_ps(_mm_srai_epi32(_mm_unpackhi_epi16(x, x), 16)), scale));
      }
      break;
    case TPcmSampleType::stInt24:
      for (; 3 * i + 16 <= 3 * count; i += 4)
        _mm_storeu_ps(dst + i, _mm_mul_ps(_mm_cvtepi32_ps(Load24Sse2(b + 3 * i)), _mm_set1_ps(1.0f / kScale24)));
      break;
    case TPcmSampleType::stInt32:
      for (; i + 4 <= count; i += 4) {
        const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + 4 * i));
        _mm_storeu_ps(dst + i, _mm_mul_ps(_mm_cvtepi32_ps(x), _mm_set1_ps(kInv32)));
      }
      break;
    default:
      break;
  }
  return i;
}

std::size_t FromFloatSse2(TPcmSampleType type, const float* src, std::uint8_t* out, std::size_t count,
                          const float* noise) {
  std::size_t i = 0;
  switch (type) {
    case TPcmSampleType::stInt16:
      for (; i + 8 <= count; i += 8) {
        const __m128i a = QuantizeSse2(ScaledSse2(src, noise, i, kScale16), -32768.0f, 32767.0f);
        const __m128i c = QuantizeSse2(ScaledSse2(src, noise, i + 4, kScale16), -32768.0f, 32767.0f);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 2 * i), _mm_packs_epi32(a, c));
      }
      break;
    case TPcmSampleType::stInt24:
      for (; i + 4 <= count; i += 4)
        Store24Sse2(out + 3 * i, QuantizeSse2(ScaledSse2(src, noise, i, kScale24), -8388608.0f, 8388607.0f));
      break;
    case TPcmSampleType::stInt32:
      for (; i + 4 <= count; i += 4) {
        const __m128 f = _mm_loadu_ps(src + i);
        const __m128i lo = Quantize32Sse2(Scaled32Sse2(f, noise, i, false));
        const __m128i hi = Quantize32Sse2(Scaled32Sse2(f, noise, i, true));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 4 * i), _mm_unpacklo_epi64(lo, hi));
      }
      break;
    default:
      break;
  }
  return i;
}

// --- AVX2 (no FMA) ---

// A function attribute rather than a target pragma: clang (the fuzz builds) honours only this.
#define STRATAEQ_AVX2 __attribute__((target("avx2")))

STRATAEQ_AVX2 inline __m256i QuantizeAvx2(__m256 v, float lo, float hi) {
  v = _mm256_min_ps(_mm256_max_ps(v, _mm256_set1_ps(lo)), _mm256_set1_ps(hi));
  const __m256 pos = _mm256_cmp_ps(v, _mm256_setzero_ps(), _CMP_GE_OQ);
  const __m256 half = _mm256_blendv_ps(_mm256_set1_ps(-0.5f), _mm256_set1_ps(0.5f), pos);
  const __m256i r = _mm256_cvttps_epi32(_mm256_add_ps(v, half));
  const __m256i top = _mm256_set1_epi32(static_cast<std::int32_t>(hi));
  return _mm256_blendv_epi8(r, top, _mm256_cmpgt_epi32(r, top));
}

STRATAEQ_AVX2 inline __m256 ScaledAvx2(const float* src, const float* noise, std::size_t i, float scale) {
  const __m256 v = _mm256_mul_ps(_mm256_loadu_ps(src + i), _mm256_set1_ps(scale));
  return noise ? _mm256_add_ps(v, _mm256_loadu_ps(noise + i)) : v;
}

STRATAEQ_AVX2 inline __m128i Quantize32Avx2(__m128 f, const float* noise) {
  __m256d x = _mm256_mul_pd(_mm256_cvtps_pd(f), _mm256_set1_pd(2147483648.0));
  if (noise) x = _mm256_add_pd(x, _mm256_cvtps_pd(_mm_loadu_ps(noise)));
  x = _mm256_min_pd(_mm256_max_pd(x, _mm256_set1_pd(-2147483648.0)), _mm256_set1_pd(2147483647.0));
  const __m256d half = _mm256_blendv_pd(_mm256_set1_pd(-0.5), _mm256_set1_pd(0.5),
                                        _mm256_cmp_pd(x, _mm256_setzero_pd(), _CMP_GE_OQ));
  const __m256d top = _mm256_and_pd(_mm256_cmp_pd(x, _mm256_set1_pd(2147483647.0), _CMP_GE_OQ), _mm256_set1_pd(0.5));
  return _mm256_cvttpd_epi32(_mm256_sub_pd(_mm256_add_pd(x, half), top));
}

STRATAEQ_AVX2 __attribute__((noinline)) std::size_t ToFloatAvx2(TPcmSampleType type, const std::uint8_t* b, float* dst,
                                                  std::size_t count) {
  std::size_t i = 0;
  switch (type) {
    case TPcmSampleType::stInt16:
      for (; i + 8 <= count; i += 8) {
        const __m256i x = _mm256_cvtepi16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(b + 2 * i)));
        _mm256_storeu_ps(dst + i, _mm256_mul_ps(_mm256_cvtepi32_ps(x), _mm256_set1_ps(1.0f / kScale16)));
      }
      break;
    case TPcmSampleType::stInt24: {
      // Each 128-bit half takes four samples: bytes 1..3 of every lane, then >> 8.
      const __m256i spread = _mm256_setr_epi8(-1, 0, 1, 2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11,  //
                                              -1, 0, 1, 2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11);
      for (; 3 * i + 28 <= 3 * count; i += 8) {
        const std::uint8_t* p = b + 3 * i;
        const __m256i x = _mm256_inserti128_si256(
            _mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p))),
            _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 12)), 1);
        const __m256i v = _mm256_srai_epi32(_mm256_shuffle_epi8(x, spread), 8);
        _mm256_storeu_ps(dst + i, _mm256_mul_ps(_mm256_cvtepi32_ps(v), _mm256_set1_ps(1.0f / kScale24)));
      }
      break;
    }
    case TPcmSampleType::stInt32:
      for (; i + 8 <= count; i += 8) {
        const __m256i x = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(b + 4 * i));
        _mm256_storeu_ps(dst + i, _mm256_mul_ps(_mm256_cvtepi32_ps(x), _mm256_set1_ps(kInv32)));
      }
      break;
    default:
      break;
  }
  return i;
}

STRATAEQ_AVX2 __attribute__((noinline)) std::size_t FromFloatAvx2(TPcmSampleType type, const float* src, std::uint8_t* out,
                                                    std::size_t count, const float* noise) {
  std::size_t i = 0;
  switch (type) {
    case TPcmSampleType::stInt16:
      for (; i + 16 <= count; i += 16) {
        const __m256i a = QuantizeAvx2(ScaledAvx2(src, noise, i, kScale16), -32768.0f, 32767.0f);
        const __m256i c = QuantizeAvx2(ScaledAvx2(src, noise, i + 8, kScale16), -32768.0f, 32767.0f);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 2 * i),
                            _mm256_permute4x64_epi64(_mm256_packs_epi32(a, c), 0xD8));
      }
      break;
    case TPcmSampleType::stInt24: {
      const __m256i squeeze = _mm256_setr_epi8(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1,  //
                                               0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1);
      for (; i + 8 <= count; i += 8) {
        const __m256i v = _mm256_shuffle_epi8(QuantizeAvx2(ScaledAvx2(src, noise, i, kScale24), -8388608.0f, 8388607.0f),
                                              squeeze);
        std::uint8_t* o = out + 3 * i;
        const __m128i lo = _mm256_castsi256_si128(v), hi = _mm256_extracti128_si256(v, 1);
        _mm_storel_epi64(reinterpret_cast<__m128i*>(o), lo);
        const std::int32_t lo2 = _mm_cvtsi128_si32(_mm_srli_si128(lo, 8));
        std::memcpy(o + 8, &lo2, 4);
        _mm_storel_epi64(reinterpret_cast<__m128i*>(o + 12), hi);
        const std::int32_t hi2 = _mm_cvtsi128_si32(_mm_srli_si128(hi, 8));
        std::memcpy(o + 20, &hi2, 4);
      }
      break;
    }
    case TPcmSampleType::stInt32:
      for (; i + 8 <= count; i += 8) {
        const __m128i lo = Quantize32Avx2(_mm_loadu_ps(src + i), noise ? noise + i : nullptr);
        const __m128i hi = Quantize32Avx2(_mm_loadu_ps(src + i + 4), noise ? noise + i + 4 : nullptr);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 4 * i),
                            _mm256_inserti128_si256(_mm256_castsi128_si256(lo), hi, 1));
      }
      break;
    default:
      break;
  }
  return i;
}

#undef STRATAEQ_AVX2

bool Vectorised(TPcmSampleType type) {
  return type == TPcmSampleType::stInt16 || type == TPcmSampleType::stInt24 || type == TPcmSampleType::stInt32;
}

}  // namespace

TPcmSimd PcmSimdAvailable() {
  static const TPcmSimd level = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") ? TPcmSimd::Avx2 : TPcmSimd::Sse2;
  }();
  return level;
}

void LimitPcmSimd(TPcmSimd level) { gPcmSimdLimit.store(static_cast<int>(level)); }

void SamplesToFloat(TPcmSampleType type, const void* src, float* dst, std::size_t count) {
  const auto* b = static_cast<const std::uint8_t*>(src);
  std::size_t done = 0;
  if (Vectorised(type)) {
    const TPcmSimd level = PcmSimdLevel();
    if (level == TPcmSimd::Avx2)
      done = ToFloatAvx2(type, b, dst, count);
    else if (level == TPcmSimd::Sse2)
      done = ToFloatSse2(type, b, dst, count);
  }
  ScalarToFloat(type, b + done * static_cast<std::size_t>(SampleBytes(type)), dst + done, count - done);
}

void FloatToSamples(TPcmSampleType type, const float* src, void* dst, std::size_t count, TDither* dither) {
  const TPcmSimd level = PcmSimdLevel();
  if (!Vectorised(type) || level == TPcmSimd::Scalar) {
    ScalarFromFloat(type, src, dst, count, [dither] { return dither ? dither->Next() : 0.0f; });
    return;
  }
  // The dither is drawn ahead, in the order the samples take it.
  constexpr std::size_t kChunk = 512;
  float noise[kChunk];
  auto* out = static_cast<std::uint8_t*>(dst);
  const auto bytes = static_cast<std::size_t>(SampleBytes(type));
  for (std::size_t at = 0; at < count;) {
    const std::size_t n = std::min(kChunk, count - at);
    if (dither) {
      for (std::size_t j = 0; j < n; ++j) noise[j] = dither->Next();
    }
    const float* nz = dither ? noise : nullptr;
    const std::size_t done = level == TPcmSimd::Avx2 ? FromFloatAvx2(type, src + at, out + at * bytes, n, nz)
                                                     : FromFloatSse2(type, src + at, out + at * bytes, n, nz);
    std::size_t k = done;
    ScalarFromFloat(type, src + at + done, out + (at + done) * bytes, n - done,
                    [nz, &k] { return nz ? nz[k++] : 0.0f; });
    at += n;
  }
}

namespace {

std::int32_t Rate(const TWaveFormatEx* f) { return static_cast<std::int32_t>(f->nSamplesPerSec); }
std::int32_t Avg(const TWaveFormatEx* f) { return static_cast<std::int32_t>(f->nAvgBytesPerSec); }

template <typename T>
T RoundUpToBlock(const TWaveFormatEx* f, T bytes) {
  const T align = f->nBlockAlign ? f->nBlockAlign : 1;
  const T rest = bytes % align;
  return rest ? bytes + (align - rest) : bytes;
}

std::int64_t MulDivRound64(std::int64_t x, std::int64_t y, std::int64_t z) {
  const __int128 p = static_cast<__int128>(x) * y;
  return static_cast<std::int64_t>(p / z + (2 * (p % z)) / z);
}

}  // namespace

std::int32_t BytesToSamples(const TWaveFormatEx* f, std::int32_t n) { return MulDivRound(n, Rate(f), Avg(f)); }
std::int32_t BytesToMs(const TWaveFormatEx* f, std::int32_t n) { return MulDivRound(n, 1000, Avg(f)); }
std::int32_t SamplesToBytes(const TWaveFormatEx* f, std::int32_t n) {
  return RoundUpToBlock(f, MulDivRound(n, Avg(f), Rate(f)));
}
std::int32_t SamplesToMs(const TWaveFormatEx* f, std::int32_t n) { return MulDivRound(n, 1000, Rate(f)); }
std::int32_t MsToSamples(const TWaveFormatEx* f, std::int32_t n) { return MulDivRound(n, Rate(f), 1000); }
std::int32_t MsToBytes(const TWaveFormatEx* f, std::int32_t n) {
  return RoundUpToBlock(f, MulDivRound(n, Avg(f), 1000));
}
std::int64_t SamplesToBytes64(const TWaveFormatEx* f, std::int64_t n) {
  return RoundUpToBlock(f, MulDivRound64(n, Avg(f), Rate(f)));
}
std::int64_t MsToBytes64(const TWaveFormatEx* f, std::int64_t n) {
  return RoundUpToBlock(f, MulDivRound64(n, Avg(f), 1000));
}

namespace {

std::int16_t Sample16(const std::uint8_t* p, std::int32_t offset) {
  std::int16_t v;
  std::memcpy(&v, p + offset, 2);
  return v;
}

template <typename T>
bool Crosses(T a, T b, int threshold, bool rising) {
  return rising ? (a < threshold && threshold <= b) : (a > threshold && threshold >= b);
}

}  // namespace

std::int32_t FindTriggerPoint(const TWaveFormatEx* f, const void* data, std::int32_t bytes, int level,
                              int slope, int channel) {
  if (slope == 0 || bytes <= 0 || !f || !data) return -1;
  const bool rising = slope == 1;
  if (!rising) level = -level;
  const auto* p = static_cast<const std::uint8_t*>(data);
  const bool stereo = f->nChannels == 2;
  const bool testLeft = channel != 2, testRight = channel != 1;

  if (f->wBitsPerSample == 8) {
    const int t = static_cast<int>(level * 127 * 0.01) + 128;
    if (!stereo) {
      for (std::int32_t i = 0; bytes - i > 2; ++i)
        if (Crosses<int>(p[i], p[i + 1], t, rising)) return i + 1;
      return -1;
    }
    const std::int32_t n = bytes & ~1;
    for (std::int32_t i = 0; n - i > 4; i += 2) {
      if (testLeft && Crosses<int>(p[i], p[i + 2], t, rising)) return i + 2;
      if (testRight && Crosses<int>(p[i + 1], p[i + 3], t, rising)) return i + 3;
    }
    return -1;
  }

  const int t = level * 327;
  if (!stereo) {
    const std::int32_t n = bytes & ~1;
    for (std::int32_t i = 0; n - i > 4; i += 2)
      if (Crosses<int>(Sample16(p, i), Sample16(p, i + 2), t, rising)) return i + 2;
    return -1;
  }
  const std::int32_t n = bytes & ~3;
  for (std::int32_t i = 0; n - i > 8; i += 4) {
    if (testLeft && Crosses<int>(Sample16(p, i), Sample16(p, i + 4), t, rising)) return i + 4;
    if (testRight && Crosses<int>(Sample16(p, i + 2), Sample16(p, i + 6), t, rising)) return i + 6;
  }
  return -1;
}

TPeaks FindPeaks(const TWaveFormatEx* f, const void* data, std::int32_t bytes) {
  TPeaks r;
  if (!f || !data || bytes <= 0 || f->nBlockAlign == 0) return r;
  const auto* p = static_cast<const std::uint8_t*>(data);
  const int channels = f->nChannels == 2 ? 2 : 1;
  const bool eightBit = f->wBitsPerSample == 8;
  const std::int32_t frames = bytes / f->nBlockAlign;
  if (frames == 0) return r;
  const int limit = eightBit ? 127 : 32767;
  int minV[2] = {limit, limit}, maxV[2] = {-limit, -limit};
  std::int32_t minAt[2] = {0, 0}, maxAt[2] = {0, 0};
  for (std::int32_t i = 0; i < frames; ++i) {
    for (int c = 0; c < channels; ++c) {
      const int v = eightBit ? p[i * f->nBlockAlign + c] - 128 : Sample16(p, i * f->nBlockAlign + 2 * c);
      if (v < minV[c]) {
        minV[c] = v;
        minAt[c] = i;
      }
      if (v > maxV[c]) {
        maxV[c] = v;
        maxAt[c] = i;
      }
    }
  }
  std::int16_t out[4];
  for (int c = 0; c < 2; ++c) {
    const int src = channels == 2 ? c : 0;
    int first = minV[src], second = maxV[src];
    if (maxAt[src] < minAt[src]) std::swap(first, second);
    if (eightBit) {
      first += 128;
      second += 128;
    }
    out[2 * c] = static_cast<std::int16_t>(first);
    out[2 * c + 1] = static_cast<std::int16_t>(second);
  }
  r.Left1 = out[0];
  r.Left2 = out[1];
  r.Right1 = out[2];
  r.Right2 = out[3];
  return r;
}

}  // namespace strataeq
