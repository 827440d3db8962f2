#include "foundation/MMPCMSup.h"

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

void SamplesToFloat(TPcmSampleType type, const void* src, float* dst, std::size_t count) {
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
      std::memcpy(dst, src, 4 * count);
      break;
    case TPcmSampleType::stNone:
      break;
  }
}

void FloatToSamples(TPcmSampleType type, const float* src, void* dst, std::size_t count, TDither* dither) {
  auto* b = static_cast<std::uint8_t*>(dst);
  auto noise = [dither] { return dither ? dither->Next() : 0.0f; };
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
