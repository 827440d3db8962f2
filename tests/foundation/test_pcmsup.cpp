#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "foundation/MMPCMSup.h"

namespace strataeq {
namespace {

TEST(PcmFormat, BuildsBlockAlignAndByteRateFromBitsChannelsRate) {
  const TWaveFormatEx f = BuildPcmFormat(16, 2, 44100);
  EXPECT_EQ(f.wFormatTag, 1);
  EXPECT_EQ(f.nBlockAlign, 4);
  EXPECT_EQ(f.nAvgBytesPerSec, 176400u);
  EXPECT_EQ(f.cbSize, 0);
  const TWaveFormatEx g = BuildPcmFormat(TMMBits::b8Bit, TMMMode::mMono, 11025);
  EXPECT_EQ(g.nBlockAlign, 1);
  EXPECT_EQ(g.nAvgBytesPerSec, 11025u);
}

TEST(PcmFormat, ValidityCoversRateBitsChannelsAndTag) {
  TWaveFormatEx f = BuildPcmFormat(16, 2, 4000);
  EXPECT_TRUE(IsValidPcmFormat(&f));
  f = BuildPcmFormat(8, 1, 100000);
  EXPECT_TRUE(IsValidPcmFormat(&f));
  f = BuildPcmFormat(16, 2, 3999);
  EXPECT_FALSE(IsValidPcmFormat(&f));
  f = BuildPcmFormat(16, 2, 100001);
  EXPECT_FALSE(IsValidPcmFormat(&f));
  f = BuildPcmFormat(24, 2, 44100);
  EXPECT_FALSE(IsValidPcmFormat(&f));
  f = BuildPcmFormat(16, 3, 44100);
  EXPECT_FALSE(IsValidPcmFormat(&f));
  f = BuildPcmFormat(16, 2, 44100);
  f.wFormatTag = 0x55;
  EXPECT_FALSE(IsValidPcmFormat(&f));
  EXPECT_FALSE(IsValidPcmFormat(nullptr));
}

TEST(PcmFormat, CopiesArePrivateAndPcmCopiesDropExtraBytes) {
  EXPECT_EQ(FormatSize(nullptr), 0u);
  EXPECT_EQ(CopyFormat(nullptr), nullptr);
  TWaveFormatEx pcm = BuildPcmFormat(16, 2, 44100);
  pcm.cbSize = 22;
  EXPECT_EQ(FormatSize(&pcm), 18u);
  PWaveFormatEx copy = CopyFormat(&pcm);
  ASSERT_NE(copy, nullptr);
  EXPECT_NE(copy.get(), &pcm);
  EXPECT_EQ(copy->cbSize, 0);
  EXPECT_EQ(copy->nAvgBytesPerSec, 176400u);

  // A compressed format keeps its extra bytes.
  struct {
    TWaveFormatEx f;
    std::uint8_t extra[12];
  } mp3{};
  mp3.f = BuildPcmFormat(16, 2, 44100);
  mp3.f.wFormatTag = 0x55;
  mp3.f.cbSize = 12;
  for (int i = 0; i < 12; ++i) mp3.extra[i] = static_cast<std::uint8_t>(i + 1);
  EXPECT_EQ(FormatSize(&mp3.f), 30u);
  PWaveFormatEx c2 = CopyFormat(&mp3.f);
  EXPECT_EQ(c2->cbSize, 12);
  EXPECT_EQ(std::memcmp(c2.get(), &mp3, 30), 0);
}

TEST(WaveHeader, BlockHoldsRecordThenZeroedData) {
  TWaveHdrBlock h = AllocWaveHeader(100);
  EXPECT_EQ(h->lpData, reinterpret_cast<char*>(h.get()) + sizeof(TMMWaveHdr));
  EXPECT_EQ(h->dwBufferLength, 100u);
  EXPECT_EQ(h->dwBytesRecorded, 0);
  EXPECT_EQ(h->wh_link, nullptr);
  for (int i = 0; i < 100; ++i) ASSERT_EQ(h->lpData[i], 0);
}

TEST(Conversions, RoundAndStayOnWholeFrames) {
  const TWaveFormatEx f = BuildPcmFormat(16, 2, 44100);
  EXPECT_EQ(MsToBytes(&f, 1), 176);
  EXPECT_EQ(MsToBytes(&f, 1000), 176400);
  EXPECT_EQ(BytesToMs(&f, 176400), 1000);
  EXPECT_EQ(BytesToMs(&f, 88), 0);    // 0.4988 ms
  EXPECT_EQ(BytesToMs(&f, 89), 1);    // 0.5045 ms rounds up
  EXPECT_EQ(BytesToSamples(&f, 176400), 44100);
  EXPECT_EQ(SamplesToMs(&f, 22050), 500);
  EXPECT_EQ(MsToSamples(&f, 10), 441);
  for (int n = 0; n < 5000; n += 7) ASSERT_EQ(SamplesToBytes(&f, n) % 4, 0) << n;
  for (int ms = 0; ms < 500; ++ms) ASSERT_EQ(MsToBytes(&f, ms) % 4, 0) << ms;
  // Beyond 32 bits: 10 hours of audio.
  EXPECT_EQ(SamplesToBytes64(&f, 44100LL * 36000), 176400LL * 36000);
  EXPECT_EQ(MsToBytes64(&f, 36000000LL * 10) % 4, 0);
  const TWaveFormatEx odd = BuildPcmFormat(16, 2, 11025);
  EXPECT_EQ(MsToBytes(&odd, 1), 44);  // 44.1 rounds to 44
  EXPECT_EQ(MsToBytes(&odd, 3), 132);  // 132.3
  EXPECT_EQ(MsToBytes(&odd, 7), 312);   // 308.7 rounds to 309, then up to a whole frame
}

std::vector<std::int16_t> Stereo16(std::initializer_list<std::pair<int, int>> frames) {
  std::vector<std::int16_t> v;
  for (auto [l, r] : frames) {
    v.push_back(static_cast<std::int16_t>(l));
    v.push_back(static_cast<std::int16_t>(r));
  }
  return v;
}

TEST(FindPeaks, ReturnsExtremesInTimeOrderPerChannel) {
  const TWaveFormatEx f = BuildPcmFormat(16, 2, 44100);
  // Left: maximum (900) before minimum (-700). Right: minimum (-50) before maximum (60).
  const auto data = Stereo16({{0, 0}, {900, -50}, {100, 10}, {-700, 60}, {5, 5}});
  const TPeaks p = FindPeaks(&f, data.data(), static_cast<int>(data.size() * 2));
  EXPECT_EQ(p.Left1, 900);
  EXPECT_EQ(p.Left2, -700);
  EXPECT_EQ(p.Right1, -50);
  EXPECT_EQ(p.Right2, 60);

  const TPeaks empty = FindPeaks(&f, data.data(), 0);
  EXPECT_EQ(empty.Left1, 0);
  EXPECT_EQ(empty.Right2, 0);
}

TEST(FindPeaks, EightBitMonoMirrorsLeftIntoRight) {
  const TWaveFormatEx f = BuildPcmFormat(8, 1, 8000);
  const std::uint8_t data[] = {128, 20, 200, 128};
  const TPeaks p = FindPeaks(&f, data, 4);
  EXPECT_EQ(p.Left1, 20);
  EXPECT_EQ(p.Left2, 200);
  EXPECT_EQ(p.Right1, 20);
  EXPECT_EQ(p.Right2, 200);
}

TEST(FindTriggerPoint, FindsRisingAndFallingCrossingsPerChannel) {
  const TWaveFormatEx f = BuildPcmFormat(16, 2, 44100);
  // Level 10 % = 3270. Left rises through it between frames 1 and 2, right between 3 and 4.
  const auto data = Stereo16({{0, 0}, {100, 0}, {5000, 0}, {5000, 0}, {5000, 6000}, {0, 0}, {0, 0}});
  const int bytes = static_cast<int>(data.size() * 2);
  EXPECT_EQ(FindTriggerPoint(&f, data.data(), bytes, 10, 1, 0), 2 * 4);
  EXPECT_EQ(FindTriggerPoint(&f, data.data(), bytes, 10, 1, 1), 2 * 4);
  EXPECT_EQ(FindTriggerPoint(&f, data.data(), bytes, 10, 1, 2), 4 * 4 + 2);
  // Falling through -10 % (negated level): left falls from 5000 to 0 between frames 4 and 5.
  EXPECT_EQ(FindTriggerPoint(&f, data.data(), bytes, -10, 2, 1), 5 * 4);
  EXPECT_EQ(FindTriggerPoint(&f, data.data(), bytes, 10, 0, 0), -1);
  EXPECT_EQ(FindTriggerPoint(&f, data.data(), 0, 10, 1, 0), -1);
  EXPECT_EQ(FindTriggerPoint(&f, data.data(), bytes, 50, 1, 0), -1);
}

TEST(FindTriggerPoint, EightBitMonoReturnsTheLaterSample) {
  const TWaveFormatEx f = BuildPcmFormat(8, 1, 8000);
  const std::uint8_t data[] = {128, 128, 130, 200, 128};
  // Level 10 %: T = Trunc(12.7) + 128 = 140; 130 < 140 <= 200.
  EXPECT_EQ(FindTriggerPoint(&f, data, 5, 10, 1, 0), 3);
}


// The vector conversions against the scalar code, byte for byte, on random data with
// the awkward values mixed in (NaN, infinities, exact half steps, the limits), at
// every length 0..40 and an odd offset so every tail and alignment is met; with the
// dither drawn from equal seeds, whose generators must also end in step.
class PcmSimd : public testing::TestWithParam<TPcmSimd> {
 protected:
  void SetUp() override {
    if (static_cast<int>(GetParam()) > static_cast<int>(PcmSimdAvailable()))
      GTEST_SKIP() << "this processor lacks the instructions";
  }
  void TearDown() override { LimitPcmSimd(TPcmSimd::Avx2); }
};

std::vector<float> AwkwardFloats(std::size_t n, std::mt19937& gen) {
  std::uniform_real_distribution<float> wide(-1.2f, 1.2f);
  std::uniform_int_distribution<int> pick(0, 9), step(-8388608, 8388607);
  const float special[] = {std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity(),
                           -std::numeric_limits<float>::infinity(), 1.0f, -1.0f, -0.0f, 0.0f,
                           32767.5f / 32768, -32768.5f / 32768, 1e30f, -1e30f};
  std::vector<float> v(n);
  for (auto& x : v) {
    const int k = pick(gen);
    if (k == 0)
      x = special[static_cast<std::size_t>(step(gen) & 0xFFFF) % std::size(special)];
    else if (k == 1)  // half a step of 16 or of 24 bits
      x = (static_cast<float>(step(gen) >> (gen() & 1 ? 8 : 0)) + 0.5f) / ((gen() & 1) ? 32768.0f : 8388608.0f);
    else
      x = wide(gen);
  }
  return v;
}

TEST_P(PcmSimd, MatchesTheScalarConversionsBitForBit) {
  const TPcmSampleType types[] = {TPcmSampleType::stInt16, TPcmSampleType::stInt24, TPcmSampleType::stInt32};
  std::mt19937 gen(11);
  for (const TPcmSampleType type : types) {
    const auto bytes = static_cast<std::size_t>(SampleBytes(type));
    for (std::size_t n = 0; n <= 40; ++n) {
      for (const bool dithered : {false, true}) {
        const std::vector<float> src = AwkwardFloats(n + 1, gen);
        std::vector<std::uint8_t> want(n * bytes + 1), got(n * bytes + 1);
        TDither d1(n + 5), d2(n + 5);
        LimitPcmSimd(TPcmSimd::Scalar);
        FloatToSamples(type, src.data() + 1, want.data() + 1, n, dithered ? &d1 : nullptr);
        LimitPcmSimd(GetParam());
        FloatToSamples(type, src.data() + 1, got.data() + 1, n, dithered ? &d2 : nullptr);
        ASSERT_EQ(want, got) << "pack, " << bytes << " bytes, " << n << " samples, dither " << dithered;
        ASSERT_EQ(d1.Next(), d2.Next());

        std::vector<std::uint8_t> raw(n * bytes + 1);
        for (auto& b : raw) b = static_cast<std::uint8_t>(gen());
        std::vector<float> fa(n), fb(n);
        LimitPcmSimd(TPcmSimd::Scalar);
        SamplesToFloat(type, raw.data() + 1, fa.data(), n);
        LimitPcmSimd(GetParam());
        SamplesToFloat(type, raw.data() + 1, fb.data(), n);
        ASSERT_TRUE(n == 0 || std::memcmp(fa.data(), fb.data(), n * sizeof(float)) == 0)
            << "unpack, " << bytes << " bytes, " << n;
      }
    }
  }
  // A long dithered run crosses the blocks in which the dither is drawn ahead.
  const std::vector<float> src = AwkwardFloats(5000, gen);
  std::vector<std::uint8_t> want(10000), got(10000);
  TDither d1(3), d2(3);
  LimitPcmSimd(TPcmSimd::Scalar);
  FloatToSamples(TPcmSampleType::stInt16, src.data(), want.data(), 5000, &d1);
  LimitPcmSimd(GetParam());
  FloatToSamples(TPcmSampleType::stInt16, src.data(), got.data(), 5000, &d2);
  EXPECT_EQ(want, got);
  EXPECT_EQ(d1.Next(), d2.Next());
}

// Widening in place, the samples read into the end of the floats' room (a file
// reader's way), gives what a separate buffer gives: every type and length 0..40 (each
// vector step and tail), the extreme values first.
TEST(PcmInPlace, WideningInsideTheFloatsRoomEqualsWideningApart) {
  const TPcmSampleType types[] = {TPcmSampleType::stInt8, TPcmSampleType::stInt16, TPcmSampleType::stInt24,
                                  TPcmSampleType::stInt32};
  std::mt19937 gen(5);
  for (const TPcmSimd level : {TPcmSimd::Scalar, TPcmSimd::Sse2, TPcmSimd::Avx2}) {
    if (static_cast<int>(level) > static_cast<int>(PcmSimdAvailable())) continue;
    LimitPcmSimd(level);
    for (const TPcmSampleType type : types) {
      const auto bytes = static_cast<std::size_t>(SampleBytes(type));
      for (std::size_t n = 0; n <= 40; ++n) {
        std::vector<std::uint8_t> raw(n * bytes);
        for (auto& b : raw) b = static_cast<std::uint8_t>(gen());
        // The most negative and the largest sample: 0x80.. and 0x7F.. in the top byte.
        for (std::size_t k = 0; k < std::min<std::size_t>(n, 2) * bytes; ++k)
          raw[k] = k % bytes == bytes - 1 ? (k < bytes ? 0x80 : 0x7F) : (k < bytes ? 0x00 : 0xFF);
        std::vector<float> apart(n);
        SamplesToFloat(type, raw.data(), apart.data(), n);
        std::vector<float> room(n + 1);
        auto* floats = reinterpret_cast<std::uint8_t*>(room.data());
        if (n > 0) std::memcpy(floats + 4 * n - n * bytes, raw.data(), raw.size());  // an empty vector's data may be null
        SamplesToFloat(type, floats + 4 * n - n * bytes, room.data(), n);
        ASSERT_TRUE(n == 0 || std::memcmp(room.data(), apart.data(), 4 * n) == 0)
            << bytes << " bytes, " << n << " samples, level " << static_cast<int>(level);
      }
    }
  }
  LimitPcmSimd(TPcmSimd::Avx2);
}

INSTANTIATE_TEST_SUITE_P(Levels, PcmSimd, testing::Values(TPcmSimd::Sse2, TPcmSimd::Avx2),
                         [](const testing::TestParamInfo<TPcmSimd>& info) {
                           return std::string(info.param == TPcmSimd::Sse2 ? "Sse2" : "Avx2");
                         });

}  // namespace
}  // namespace strataeq
