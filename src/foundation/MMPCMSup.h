// PCM format rules over the platform's wave records (platform/WaveFormat.h),
// conversions between bytes, samples and milliseconds, and the block-analysis helpers
// of the displays.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "foundation/MMUtils.h"
#include "platform/WaveFormat.h"

namespace strataeq {

// A heap copy of a format record, with its extra bytes. Freed with free().
struct FormatDeleter {
  void operator()(TWaveFormatEx* f) const;
};
using PWaveFormatEx = std::unique_ptr<TWaveFormatEx, FormatDeleter>;


// A record and its data area in one zero-filled block; data follows the record.
struct WaveHdrBlockDeleter {
  void operator()(TMMWaveHdr* h) const;
};
using TWaveHdrBlock = std::unique_ptr<TMMWaveHdr, WaveHdrBlockDeleter>;
// Throws std::bad_alloc when memory runs out.
TWaveHdrBlock AllocWaveHeader(std::size_t bufferSize);

// Bytes of a record: 0 when absent, 18 for PCM, otherwise 18 + extra size.
std::size_t FormatSize(const TWaveFormatEx* f);
// A private copy; PCM copies always have extra size 0. Absent for absent input.
PWaveFormatEx CopyFormat(const TWaveFormatEx* f);
TWaveFormatEx BuildPcmFormat(TMMBits bits, TMMMode mode, std::uint32_t rate);
TWaveFormatEx BuildPcmFormat(int bits, int channels, std::uint32_t rate);
// PCM, 8 or 16 bits, 1 or 2 channels, 4000..100000 samples per second.
bool IsValidPcmFormat(const TWaveFormatEx* f);

// Uncompressed sample codings of WAV files, in the plain or the extensible layout.
enum class TPcmSampleType { stNone, stInt8, stInt16, stInt24, stInt32, stFloat32 };

#pragma pack(push, 1)
// The extensible layout: the record, then valid bits, channel mask and sub-format.
struct TWaveFormatExtensible {
  TWaveFormatEx Format;
  std::uint16_t wValidBitsPerSample;
  std::uint32_t dwChannelMask;
  std::uint8_t SubFormat[16];  // its first two bytes are the plain format tag
};
#pragma pack(pop)
static_assert(sizeof(TWaveFormatExtensible) == 40);
static_assert(offsetof(TWaveFormatExtensible, dwChannelMask) == 20);
static_assert(offsetof(TWaveFormatExtensible, SubFormat) == 24);

// The format tag, or for the extensible layout the tag its sub-format stands for.
std::uint16_t EffectiveFormatTag(const TWaveFormatEx* f);
// stNone for compressed codings and sizes this program does not read.
TPcmSampleType SampleTypeOf(const TWaveFormatEx* f);
bool IsFloatFormat(const TWaveFormatEx* f);
// What a WAV file may hold to be equalized: 8-, 16-, 24-, 32-bit integer or 32-bit
// float, 1 or 2 channels, 8000..192000 samples per second.
bool IsLinearWaveFormat(const TWaveFormatEx* f);
int SampleBytes(TPcmSampleType type);
// Integers up to 16 bits in the plain layout, wider ones in the extensible layout,
// float with tag 3.
TWaveFormatExtensible BuildWaveFormat(TPcmSampleType type, int channels, std::uint32_t rate);

// Triangular (TPDF) dither of one step of the target's last bit.
class TDither {
 public:
  explicit TDither(std::uint32_t seed = 0x9E3779B9u) : state_(seed ? seed : 1) {}
  // Two uniform values of -0.5..0.5 summed: -1..1 steps. One step of the generator
  // gives both (its halves), which keeps the dither cheap beside the conversion.
  float Next() {
    state_ ^= state_ << 13;
    state_ ^= state_ >> 17;
    state_ ^= state_ << 5;
    const auto sum = static_cast<std::int32_t>((state_ & 0xFFFFu) + (state_ >> 16));
    return static_cast<float>(sum) * (1.0f / 65536.0f) - 1.0f;
  }

 private:
  std::uint32_t state_;
};

// Samples to floats with full scale at 1.0, and back: rounded, with dither when
// given, held in the target's range (float targets keep everything). SamplesToFloat
// also widens in place: src may lie inside dst when it starts count * (4 - the sample's
// bytes) bytes or more after dst, as samples read into the end of dst's room do.
void SamplesToFloat(TPcmSampleType type, const void* src, float* dst, std::size_t count);
void FloatToSamples(TPcmSampleType type, const float* src, void* dst, std::size_t count, TDither* dither);
// 16-, 24- and 32-bit integers run in SSE2, or AVX2 where the processor has it, with
// results identical to the scalar code. Tests and benchmarks may hold the conversions
// to a lower level; the level used is the lower of that limit and what is available.
enum class TPcmSimd { Scalar, Sse2, Avx2 };
TPcmSimd PcmSimdAvailable();
void LimitPcmSimd(TPcmSimd level);

std::int32_t BytesToSamples(const TWaveFormatEx* f, std::int32_t bytes);
std::int32_t BytesToMs(const TWaveFormatEx* f, std::int32_t bytes);
std::int32_t SamplesToBytes(const TWaveFormatEx* f, std::int32_t samples);
std::int32_t SamplesToMs(const TWaveFormatEx* f, std::int32_t samples);
std::int32_t MsToSamples(const TWaveFormatEx* f, std::int32_t ms);
std::int32_t MsToBytes(const TWaveFormatEx* f, std::int32_t ms);
// 64-bit variants for positions beyond the 32-bit range; whole frames.
std::int64_t SamplesToBytes64(const TWaveFormatEx* f, std::int64_t samples);
std::int64_t MsToBytes64(const TWaveFormatEx* f, std::int64_t ms);

// Byte offset of the first crossing of level percent (-100..100); slope 1 rising,
// 2 falling, 0 none; channel 0 either, 1 left, 2 right. -1 when there is none.
std::int32_t FindTriggerPoint(const TWaveFormatEx* f, const void* data, std::int32_t bytes,
                              int level, int slope, int channel);

// Per channel the first and the second extreme of the block in time order:
// {left first, left second, right first, right second}.
struct TPeaks {
  std::int16_t Left1 = 0, Left2 = 0, Right1 = 0, Right2 = 0;
};
TPeaks FindPeaks(const TWaveFormatEx* f, const void* data, std::int32_t bytes);

}  // namespace strataeq
