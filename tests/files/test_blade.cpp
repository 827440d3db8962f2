#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "codecs/Mp3TestUtil.h"
#include "files/MMBlade.h"
#include "files/MMMPEG.h"

using namespace strataeq;
using namespace mp3test;

namespace {

struct FrameHeader {
  int mode;
  bool crc;
  bool privateBit;
  bool copyright;
  bool original;
  int kbps;
};

// Walks the MPEG-1 Layer III frames of a raw stream.
std::vector<FrameHeader> Frames(const std::vector<std::uint8_t>& b) {
  static const int kbps[] = {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 0};
  static const int rates[] = {44100, 48000, 32000, 0};
  std::vector<FrameHeader> frames;
  std::size_t pos = 0;
  while (pos + 4 <= b.size()) {
    if (b[pos] != 0xFF || (b[pos + 1] & 0xFE) != 0xFA) break;  // MPEG-1, Layer III
    const int rate = rates[(b[pos + 2] >> 2) & 3];
    const int k = kbps[b[pos + 2] >> 4];
    if (!rate || !k) break;
    frames.push_back({b[pos + 3] >> 6, (b[pos + 1] & 1) == 0, (b[pos + 2] & 1) != 0, (b[pos + 3] & 8) != 0,
                      (b[pos + 3] & 4) != 0, k});
    pos += static_cast<std::size_t>(144000 * k / rate + ((b[pos + 2] >> 1) & 1));
  }
  return frames;
}

class BladeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    UseCodecLibraries();
    input_.SetOutput(&encoder_);
  }
  void TearDown() override { SetDiskSpaceQuery(nullptr); }

  void SetInputFormat(int bits, int channels, int rate) {
    const TWaveFormatEx f = BuildPcmFormat(bits, channels, static_cast<std::uint32_t>(rate));
    input_.SetPWaveFormat(&f);
  }
  // Pushes the samples in buffers of the given sizes (bytes, repeated) while started.
  void Push(const std::vector<std::int16_t>& pcm, const std::vector<std::size_t>& cuts) {
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(pcm.data());
    const std::size_t total = pcm.size() * 2;
    TWaveHdrBlock h = AllocWaveHeader(65536);
    std::size_t pos = 0;
    for (std::size_t i = 0; pos < total; ++i) {
      const std::size_t n = std::min(cuts[i % cuts.size()], total - pos);
      std::memcpy(h->lpData, bytes + pos, n);
      h->dwBufferLength = static_cast<std::uint32_t>(n);
      h->dwBytesRecorded = static_cast<std::int32_t>(n);
      encoder_.BufferReady(h.get());
      pos += n;
    }
  }
  std::vector<std::uint8_t> EncodeToBytes(const std::vector<std::int16_t>& pcm, const std::vector<std::size_t>& cuts) {
    encoder_.Open();
    encoder_.Start();
    Push(pcm, cuts);
    encoder_.Close();
    return ReadBytes(file_);
  }
  std::vector<std::int16_t> Decode(const std::string& file) {
    TMMMPEGFile source;
    source.SetFileName(file);
    source.Open();
    source.Start();
    std::vector<std::int16_t> pcm;
    TWaveHdrBlock h = AllocWaveHeader(8192);
    bool more = true;
    for (int i = 0; more && i < 10000; ++i) {
      h->dwBufferLength = 8192;
      h->dwBytesRecorded = 0;
      source.BufferLoad(h.get(), more);
      const auto* s = reinterpret_cast<const std::int16_t*>(h->lpData);
      pcm.insert(pcm.end(), s, s + h->dwBytesRecorded / 2);
    }
    return pcm;
  }

  TempDir dir_;
  std::string file_ = dir_.File("out.mp3");
  TMMDSPComponent input_;
  TMMMP3Encoder encoder_;
};

TEST(BladeFormat, TheMpegLayer3RecordAt128KbpsAnd44100HzHas16000BytesPerSecondAndBlockSize417) {
  const TMpegLayer3WaveFormat f = BuildMpegLayer3Format(2, 44100, 128);
  EXPECT_EQ(+f.wfx.wFormatTag, 0x55);
  EXPECT_EQ(+f.wfx.nChannels, 2);
  EXPECT_EQ(+f.wfx.nSamplesPerSec, 44100u);
  EXPECT_EQ(+f.wfx.nAvgBytesPerSec, 16000u);
  EXPECT_EQ(+f.wfx.nBlockAlign, 1);
  EXPECT_EQ(+f.wfx.wBitsPerSample, 0);
  EXPECT_EQ(+f.wfx.cbSize, 12);
  EXPECT_EQ(+f.wID, 1);
  EXPECT_EQ(+f.fdwFlags, 2u);
  EXPECT_EQ(+f.nBlockSize, 417);
  EXPECT_EQ(+f.nFramesPerBlock, 1);
  EXPECT_EQ(+f.nCodecDelay, 1393);
  EXPECT_EQ(+BuildMpegLayer3Format(1, 48000, 320).nBlockSize, 960);
  EXPECT_EQ(+BuildMpegLayer3Format(1, 32000, 32).wfx.nAvgBytesPerSec, 4000u);
}

TEST(BladeFormat, BitratesMapToTheirKilobitsAndBack) {
  TMMBitrates b = TMMBitrates::br32;
  for (int kbps : {32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320}) {
    ASSERT_TRUE(BitrateFromKbps(kbps, b)) << kbps;
    EXPECT_EQ(BitrateKbps(b), kbps);
  }
  EXPECT_EQ(BitrateKbps(TMMBitrates::br128), 128);
  EXPECT_EQ(static_cast<int>(TMMBitrates::br128), 8);
  EXPECT_FALSE(BitrateFromKbps(144, b));
  EXPECT_FALSE(BitrateFromKbps(0, b));
}

TEST(BladeFormat, TheConfigurationRecordCarriesModeBitrateAndFlags) {
  const TWaveFormatEx mono = BuildPcmFormat(16, 1, 44100);
  const TWaveFormatEx stereo = BuildPcmFormat(16, 2, 48000);
  TMP3EncoderFlags flags;
  flags.CRC = true;
  flags.Original = true;
  const BE_CONFIG c = BuildEncoderConfig(stereo, TMMChannelMode::cmDualChannel, TMMBitrates::br192, flags);
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(&c);
  EXPECT_EQ(+c.config_kind, 0u);
  EXPECT_EQ(+c.sample_rate, 48000u);
  EXPECT_EQ(bytes[8], 2);
  EXPECT_EQ(bytes[9] | bytes[10] << 8, 192);
  EXPECT_EQ(+c.private_bit, 0u);
  EXPECT_EQ(+c.crc, 0xFFFFFFFFu);
  EXPECT_EQ(+c.copyright, 0u);
  EXPECT_EQ(+c.original, 0xFFFFFFFFu);
  // Mono input is mode 3 whatever the channel mode; stereo input with cmMono is stereo.
  for (auto m : {TMMChannelMode::cmStereo, TMMChannelMode::cmDualChannel, TMMChannelMode::cmMono})
    EXPECT_EQ(+BuildEncoderConfig(mono, m, TMMBitrates::br128, {}).mode, 3);
  EXPECT_EQ(+BuildEncoderConfig(stereo, TMMChannelMode::cmMono, TMMBitrates::br128, {}).mode, 0);
  EXPECT_EQ(+BuildEncoderConfig(stereo, TMMChannelMode::cmStereo, TMMBitrates::br32, {}).bitrate, 32);
}

TEST_F(BladeTest, InputOf22050HzOr8BitsIsRefused) {
  encoder_.SetFileName(file_);
  for (auto [bits, rate] : {std::pair{16, 22050}, std::pair{8, 44100}, std::pair{16, 11025}}) {
    SetInputFormat(bits, 2, rate);
    try {
      encoder_.Open();
      FAIL() << bits << " bits " << rate << " Hz accepted";
    } catch (const EMMError& e) {
      EXPECT_STREQ(e.what(), "Unsupported Input Format");
    }
    encoder_.Close();
  }
}

TEST_F(BladeTest, NothingOpensWithoutAFileNameAnInputOrAFormat) {
  SetInputFormat(16, 2, 44100);
  encoder_.Open();  // no file name
  encoder_.Start();
  Push(Tones(44100, 2, 0.5, 440, 440), {4096});
  encoder_.Close();
  EXPECT_EQ(encoder_.BytesWritten(), 0);
  // An encoder is never anybody's input.
  TMMDSPComponent other;
  other.SetInput(&encoder_);
  EXPECT_EQ(other.Input(), nullptr);
}

TEST_F(BladeTest, MonoInputIsEncodedInMode3AndStereoFollowsTheChannelMode) {
  encoder_.SetFileName(file_);
  SetInputFormat(16, 1, 44100);
  encoder_.SetChannelMode(TMMChannelMode::cmStereo);
  auto frames = Frames(EncodeToBytes(Tones(44100, 1, 1.0, 440, 0), {4096}));
  ASSERT_GT(frames.size(), 30u);
  for (const auto& f : frames) EXPECT_EQ(+f.mode, 3);

  SetInputFormat(16, 2, 44100);
  encoder_.SetChannelMode(TMMChannelMode::cmMono);
  frames = Frames(EncodeToBytes(Tones(44100, 2, 1.0, 440, 880), {4096}));
  ASSERT_GT(frames.size(), 30u);
  for (const auto& f : frames) EXPECT_EQ(+f.mode, 0);

  encoder_.SetChannelMode(TMMChannelMode::cmDualChannel);
  frames = Frames(EncodeToBytes(Tones(44100, 2, 1.0, 440, 880), {4096}));
  ASSERT_GT(frames.size(), 30u);
  for (const auto& f : frames) EXPECT_EQ(+f.mode, 2);
}

TEST_F(BladeTest, HeaderFlagsAndBitrateReachEveryFrame) {
  encoder_.SetFileName(file_);
  SetInputFormat(16, 2, 48000);
  encoder_.SetBitrate(TMMBitrates::br256);
  encoder_.SetPrivat(true);
  encoder_.SetCRC(true);
  encoder_.SetCopyright(true);
  encoder_.SetOriginal(true);
  auto frames = Frames(EncodeToBytes(Tones(48000, 2, 1.0, 440, 880), {8192}));
  ASSERT_GT(frames.size(), 30u);
  for (const auto& f : frames) {
    EXPECT_EQ(+f.kbps, 256);
    EXPECT_TRUE(f.crc && f.privateBit && f.copyright && f.original);
  }
  encoder_.SetPrivat(false);
  encoder_.SetCRC(false);
  encoder_.SetCopyright(false);
  encoder_.SetOriginal(false);
  frames = Frames(EncodeToBytes(Tones(48000, 2, 1.0, 440, 880), {8192}));
  ASSERT_GT(frames.size(), 30u);
  for (const auto& f : frames) EXPECT_FALSE(f.crc || f.privateBit || f.copyright || f.original);
}

TEST_F(BladeTest, TheOutputDoesNotDependOnHowTheInputIsCut) {
  encoder_.SetFileName(file_);
  SetInputFormat(16, 2, 44100);
  const auto pcm = Tones(44100, 2, 2.0, 1000, 3000);
  const auto whole = EncodeToBytes(pcm, {65536});
  EXPECT_EQ(EncodeToBytes(pcm, {4}), whole);
  EXPECT_EQ(EncodeToBytes(pcm, {1000, 4608, 12, 9216, 5000}), whole);
  EXPECT_EQ(EncodeToBytes(pcm, {4606, 4610}), whole);
  EXPECT_EQ(encoder_.BytesWritten(), static_cast<std::int64_t>(whole.size()));
}

TEST_F(BladeTest, EncodedAudioDecodesToTheSameTones) {
  encoder_.SetFileName(file_);
  encoder_.SetBitrate(TMMBitrates::br192);
  SetInputFormat(16, 2, 44100);
  const auto pcm = Tones(44100, 2, 2.0, 1000, 3000);
  EncodeToBytes(pcm, {4096});
  const auto decoded = Decode(file_);
  // No Info frame: the decoder keeps the encoder's delay and the padding of the last frame.
  ASSERT_GE(decoded.size(), pcm.size());
  const std::size_t frames = 44100;
  const std::int16_t* middle = decoded.data() + 2 * 22050;
  const double l1000 = TonePower(middle, frames, 2, 0, 1000, 44100);
  const double r3000 = TonePower(middle, frames, 2, 1, 3000, 44100);
  const double expected = TonePower(pcm.data() + 2 * 22050, frames, 2, 0, 1000, 44100);
  EXPECT_NEAR(l1000 / expected, 1.0, 0.1);
  EXPECT_NEAR(r3000 / expected, 1.0, 0.1);
  EXPECT_LT(TonePower(middle, frames, 2, 0, 3000, 44100), 1e-3 * expected);
  EXPECT_LT(TonePower(middle, frames, 2, 1, 1000, 44100), 1e-3 * expected);
}

TEST_F(BladeTest, AStreamShorterThanOneChunkIsWrittenAtStop) {
  encoder_.SetFileName(file_);
  SetInputFormat(16, 2, 44100);
  encoder_.Open();
  encoder_.Start();
  Push(Tones(44100, 2, 0.02, 1000, 1000), {4096});  // 882 frames, less than 1152
  EXPECT_EQ(encoder_.BytesWritten(), 0);
  EXPECT_EQ(FileSize(file_), 0);
  encoder_.Stop();
  EXPECT_GT(encoder_.BytesWritten(), 0);
  EXPECT_EQ(FileSize(file_), encoder_.BytesWritten());
  encoder_.Close();
  const auto frames = Frames(ReadBytes(file_));
  EXPECT_GE(frames.size(), 2u);
  EXPECT_GE(Decode(file_).size(), 882u * 2);
}

TEST_F(BladeTest, StartAfterStopContinuesTheSameFile) {
  encoder_.SetFileName(file_);
  SetInputFormat(16, 2, 44100);
  encoder_.Open();
  encoder_.Start();
  Push(Tones(44100, 2, 1.0, 1000, 1000), {4096});
  encoder_.Stop();
  const std::int64_t first = encoder_.BytesWritten();
  encoder_.Start();
  Push(Tones(44100, 2, 1.0, 1000, 1000), {4096});
  encoder_.Stop();
  EXPECT_GT(encoder_.BytesWritten(), first + first / 2);
  encoder_.Close();
  EXPECT_GE(Decode(file_).size(), 2u * 2 * 44100);
}

TEST_F(BladeTest, TheWavContainerCarriesTheMpegLayer3FormatAndTheFrames) {
  encoder_.SetFileName(file_);
  encoder_.SetFileType(TMMFileType::ftWAV);
  SetInputFormat(16, 2, 44100);
  const auto bytes = EncodeToBytes(Tones(44100, 2, 1.0, 1000, 1000), {4096});
  ASSERT_GT(bytes.size(), 100u);
  auto u32 = [&](std::size_t at) { return bytes[at] | bytes[at + 1] << 8 | bytes[at + 2] << 16 | uint32_t(bytes[at + 3]) << 24; };
  auto u16 = [&](std::size_t at) { return bytes[at] | bytes[at + 1] << 8; };
  EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + 4), "RIFF");
  EXPECT_EQ(u32(4), bytes.size() - 8);
  EXPECT_EQ(std::string(bytes.begin() + 8, bytes.begin() + 16), "WAVEfmt ");
  EXPECT_EQ(u32(16), 30u);
  EXPECT_EQ(u16(20), 0x55);
  EXPECT_EQ(u16(22), 2);
  EXPECT_EQ(u32(24), 44100u);
  EXPECT_EQ(u32(28), 16000u);
  EXPECT_EQ(u16(32), 1);
  EXPECT_EQ(u16(34), 0);
  EXPECT_EQ(u16(36), 12);
  EXPECT_EQ(u16(38), 1);
  EXPECT_EQ(u32(40), 2u);
  EXPECT_EQ(u16(44), 417);
  EXPECT_EQ(u16(46), 1);
  EXPECT_EQ(u16(48), 1393);
  ASSERT_EQ(std::string(bytes.begin() + 50, bytes.begin() + 54), "data");
  const std::uint32_t data = u32(54);
  EXPECT_EQ(static_cast<std::int64_t>(data), encoder_.BytesWritten());
  const std::vector<std::uint8_t> mp3(bytes.begin() + 58, bytes.begin() + 58 + data);
  EXPECT_GE(Frames(mp3).size(), 38u);
}

TEST_F(BladeTest, FileNameAndTypeCannotChangeWhileOpen) {
  encoder_.SetFileName(file_);
  SetInputFormat(16, 2, 44100);
  encoder_.Open();
  EXPECT_NO_THROW(encoder_.SetFileName(file_));
  EXPECT_NO_THROW(encoder_.SetFileType(TMMFileType::ftRAW));
  try {
    encoder_.SetFileName(dir_.File("other.mp3"));
    FAIL() << "no error";
  } catch (const EMMError& e) {
    EXPECT_STREQ(e.what(), "Change to property while device was open");
  }
  EXPECT_THROW(encoder_.SetFileType(TMMFileType::ftWAV), EMMError);
  encoder_.Close();
  encoder_.SetFileType(TMMFileType::ftWAV);
  EXPECT_EQ(encoder_.FileType(), TMMFileType::ftWAV);
}

TEST_F(BladeTest, AFullDiskClosesTheEncoderAndKeepsWhatWasWritten) {
  encoder_.SetFileName(file_);
  SetInputFormat(16, 2, 44100);
  encoder_.Open();
  encoder_.Start();
  // Frames go out in blocks of about a second; more than one block has been written.
  Push(Tones(44100, 2, 1.5, 1000, 1000), {4608});
  const std::int64_t written = encoder_.BytesWritten();
  ASSERT_GT(written, 0);
  EXPECT_EQ(FileSize(file_), written);
  SetDiskSpaceQuery([](const std::string&) {
    TDiskSpace d;
    d.Free = 10240;  // not even the reserve
    d.Total = 1 << 30;
    d.Success = true;
    return d;
  });
  EXPECT_NO_THROW(Push(Tones(44100, 2, 1.5, 1000, 1000), {4608}));
  EXPECT_FALSE(encoder_.Opened());
  EXPECT_EQ(FileSize(file_), written);
  EXPECT_FALSE(Frames(ReadBytes(file_)).empty());
  // Further buffers pass without being encoded.
  EXPECT_NO_THROW(Push(Tones(44100, 2, 0.1, 1000, 1000), {4608}));
  EXPECT_EQ(FileSize(file_), written);
}

TEST_F(BladeTest, AnExistingFileIsReplaced) {
  WriteBytes(file_, Noise(100000, 3));
  encoder_.SetFileName(file_);
  SetInputFormat(16, 2, 44100);
  const auto bytes = EncodeToBytes(Tones(44100, 2, 0.5, 1000, 1000), {4096});
  EXPECT_LT(bytes.size(), 100000u);
  ASSERT_GE(bytes.size(), 2u);
  EXPECT_EQ(bytes[0], 0xFF);  // frames from the first byte on, nothing of the old file
  EXPECT_GE(Frames(bytes).size(), 19u);
}

TEST_F(BladeTest, AMissingLibraryIsReportedWithWhereToGetIt) {
  TempDir empty;
  UnloadBladeEncoder();
  UseLibraryFolder(empty.Path());
  encoder_.SetFileName(file_);
  SetInputFormat(16, 2, 44100);
  try {
    encoder_.Open();
    FAIL() << "opened without the library";
  } catch (const EMMError& e) {
    EXPECT_EQ(std::string(e.what()),
              "Unable to load Blade Encoder DLL\n\rYou can download the BladeEncoder at:\n\rhttps://lame.sourceforge.io/");
  }
  encoder_.Close();
  // Installing the library later is enough: the next Open loads it.
  UseCodecLibraries();
  EXPECT_NO_THROW(encoder_.Open());
  encoder_.Close();
}

}  // namespace
