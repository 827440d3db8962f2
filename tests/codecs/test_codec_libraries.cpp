// The run-time loader and the two codec libraries through their C interfaces.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "codecs/Mp3TestUtil.h"
#include "codecs/bladeenc/bladeenc.h"
#include "codecs/mpegint/mpegint.h"
#include "platform/DynLib.h"

using namespace strataeq;
using namespace mp3test;

namespace {

TEST(DynLib, DllNamesBecomeSharedObjectNamesInLowerCase) {
  EXPECT_EQ(SharedLibraryFileName("BLADEENC.DLL"), "libbladeenc.so");
  EXPECT_EQ(SharedLibraryFileName("mpegint.dll"), "libmpegint.so");
  EXPECT_EQ(SharedLibraryFileName("Codec"), "libcodec.so");
  EXPECT_EQ(SharedLibraryFileName("libkept.so"), "libkept.so");
}

TEST(DynLib, TheOverrideFolderIsTheWholeSearch) {
  TempDir empty;
  UseLibraryFolder(empty.Path());
  EXPECT_EQ(SharedLibraryFolders(), std::vector<std::string>{empty.Path()});
  TDynLib lib;
  // Present on the system, but not where the override says.
  EXPECT_FALSE(lib.Load("mpg123.dll"));
  EXPECT_FALSE(lib.LastError().empty());

  unsetenv("STRATAEQ_LIBRARY_PATH");
  const auto folders = SharedLibraryFolders();
  // The program's folder, the library folder beside it (an installation moved to another
  // prefix), then the library folder of the configured prefix.
  ASSERT_EQ(folders.size(), 3u);
  char exe[4096] = {};
  ASSERT_GT(readlink("/proc/self/exe", exe, sizeof exe - 1), 0);
  EXPECT_EQ(folders[0], std::filesystem::path(exe).parent_path().string());
  EXPECT_EQ(folders[1].rfind(folders[0] + "/../", 0), 0u) << folders[1];
  EXPECT_EQ(std::filesystem::path(folders[1]).filename(), "strataeq");
  EXPECT_TRUE(lib.Load("mpg123.dll")) << "the system loader is asked last: " << lib.LastError();
  UseCodecLibraries();
}

class CodecLibraryTest : public ::testing::Test {
 public:
  void SetUp() override {
    UseCodecLibraries();
    ASSERT_TRUE(mpegint_.Load("mpegint.dll")) << mpegint_.LastError();
    ASSERT_TRUE(bladeenc_.Load("BLADEENC.DLL")) << bladeenc_.LastError();
  }
  template <typename F>
  F M(const char* name) {
    auto f = mpegint_.Function<F>(name);
    EXPECT_NE(f, nullptr) << name;
    return f;
  }
  template <typename F>
  F B(const char* name) {
    auto f = bladeenc_.Function<F>(name);
    EXPECT_NE(f, nullptr) << name;
    return f;
  }
  TDynLib mpegint_, bladeenc_;
  TempDir dir_;
};

TEST_F(CodecLibraryTest, TheDecoderExportsEveryEntryPointAndAVersionAbove16) {
  for (const char* name :
       {"mpeg_Version", "mpeg_Init", "mpeg_Done", "mpeg_SetDecodeCallback", "mpeg_SetDecodeMode",
        "mpeg_SetFileOffset", "mpeg_ScanFile", "mpeg_EncryptFile", "mpeg_ReadID3Tag", "mpeg_Clear",
        "mpeg_SetTrailingHeader", "mpeg_SetExactPosition", "mpeg_SetFileName", "mpeg_GetFileName",
        "mpeg_GetEmpty", "mpeg_GetFileInfo", "mpeg_SetChannelMode", "mpeg_GetChannelMode", "mpeg_SetPosition",
        "mpeg_GetPosition", "mpeg_OpenFile", "mpeg_CloseFile", "mpeg_ResetFile", "mpeg_ReadDataBytes",
        "mpeg_GetDone", "mpeg_GetErrorText"})
    EXPECT_NE(mpegint_.Symbol(name), nullptr) << name;
  EXPECT_GT(M<MPEG_VERSION_FN>("mpeg_Version")(), 16);
  for (const char* name : {"beInitStream", "beEncodeChunk", "beDeinitStream", "beCloseStream", "beVersion"})
    EXPECT_NE(bladeenc_.Symbol(name), nullptr) << name;
}

TEST_F(CodecLibraryTest, EveryDecoderErrorHasAText) {
  auto text = M<MPEG_ERRORTEXT_FN>("mpeg_GetErrorText");
  char buf[256];
  for (int code = 0; code <= MPEG_ERR_LAST; ++code) {
    ASSERT_EQ(text(code, buf, sizeof buf), 0) << code;
    EXPECT_GT(std::strlen(buf), 3u) << code;
  }
  EXPECT_NE(text(MPEG_ERR_LAST + 1, buf, sizeof buf), 0);
  EXPECT_EQ(buf[0], '\0');
  char small[5];
  ASSERT_EQ(text(MPEG_ERR_NOT_MPEG, small, sizeof small), 0);
  EXPECT_STREQ(small, "Not ");
}

TEST_F(CodecLibraryTest, TheDecoderGuardsItsCallers) {
  auto init = M<MPEG_INIT_FN>("mpeg_Init");
  auto done = M<MPEG_DONE_FN>("mpeg_Done");
  auto setName = M<MPEG_SETFILENAME_FN>("mpeg_SetFileName");
  auto getName = M<MPEG_GETFILENAME_FN>("mpeg_GetFileName");
  auto open = M<MPEG_HANDLE_FN>("mpeg_OpenFile");
  auto close = M<MPEG_HANDLE_FN>("mpeg_CloseFile");
  auto read = M<MPEG_READDATA_FN>("mpeg_ReadDataBytes");
  auto setMode = M<MPEG_HANDLE_INT_FN>("mpeg_SetChannelMode");
  auto getInfo = M<MPEG_GETFILEINFO_FN>("mpeg_GetFileInfo");
  auto id3 = mpegint_.Function<int32_t (*)(MPEG_HANDLE, uint8_t*)>("mpeg_ReadID3Tag");

  EXPECT_EQ(open(nullptr), MPEG_ERR_HANDLE);
  char buf[4096];
  EXPECT_EQ(read(nullptr, buf, sizeof buf), -MPEG_ERR_HANDLE);

  int32_t error = -1;
  MPEG_HANDLE h = init(&error, nullptr, nullptr);
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(error, 0);
  MPEG_FILE_INFO info;
  EXPECT_EQ(getInfo(h, &info), MPEG_ERR_NO_FILE);
  EXPECT_EQ(open(h), MPEG_ERR_NO_FILE);
  EXPECT_EQ(read(h, buf, sizeof buf), -MPEG_ERR_NOT_OPEN);

  if (HaveTool("lame")) {
    const std::string file = MakeMp3(dir_, "tagged", 44100, 2, 1.0, "-b 128 --id3v1-only --tt Tagged", 440, 880);
    ASSERT_EQ(setName(h, file.c_str()), 0);
    char shortName[8];
    EXPECT_EQ(getName(h, shortName, sizeof shortName), MPEG_ERR_NAME_TOO_LONG);
    uint8_t tag[128];
    ASSERT_EQ(id3(h, tag), 0);
    EXPECT_EQ(std::memcmp(tag, "TAGTagged", 9), 0);
    ASSERT_EQ(open(h), 0);
    EXPECT_EQ(setMode(h, MPEG_CHANNELS_LEFT), MPEG_ERR_IS_OPEN);
    EXPECT_EQ(read(h, buf, 3), -MPEG_ERR_PARAMETER) << "less than one sample frame";
    EXPECT_EQ(read(h, buf, 4099), 4096) << "whole sample frames";
    EXPECT_EQ(close(h), 0);
    EXPECT_EQ(setMode(h, MPEG_CHANNELS_LEFT), 0);
    EXPECT_EQ(setMode(h, 4), MPEG_ERR_PARAMETER);
  }
  EXPECT_EQ(done(&h), 0);
  EXPECT_EQ(h, nullptr);
  EXPECT_EQ(done(&h), MPEG_ERR_HANDLE);
}

TEST_F(CodecLibraryTest, TheEncoderRefusesWhatMpeg1Layer3CannotCarry) {
  auto initStream = B<BE_INIT_STREAM_FN>("beInitStream");
  auto closeStream = B<BE_CLOSE_STREAM_FN>("beCloseStream");
  BE_CONFIG c{};
  c.sample_rate = 44100;
  c.mode = BE_MP3_MODE_STEREO;
  c.bitrate = 128;
  uint32_t samples = 0, size = 0;
  HBE_STREAM s = nullptr;
  for (auto [rate, kbps, mode] : {std::tuple{22050u, 128, 0}, std::tuple{44100u, 144, 0}, std::tuple{44100u, 128, 4}}) {
    BE_CONFIG bad = c;
    bad.sample_rate = rate;
    bad.bitrate = static_cast<uint16_t>(kbps);
    bad.mode = static_cast<uint8_t>(mode);
    EXPECT_EQ(initStream(&bad, &samples, &size, &s), BE_ERR_INVALID_FORMAT_PARAMETERS);
  }
  BE_CONFIG other = c;
  other.config_kind = 1;
  EXPECT_EQ(initStream(&other, &samples, &size, &s), BE_ERR_INVALID_FORMAT);

  ASSERT_EQ(initStream(&c, &samples, &size, &s), BE_ERR_SUCCESSFUL);
  EXPECT_EQ(samples, 2304u);
  EXPECT_GE(size, 7200u + 1440u);
  EXPECT_EQ(closeStream(s), BE_ERR_SUCCESSFUL);
  c.mode = BE_MP3_MODE_MONO;
  ASSERT_EQ(initStream(&c, &samples, &size, &s), BE_ERR_SUCCESSFUL);
  EXPECT_EQ(samples, 1152u);
  EXPECT_EQ(closeStream(s), BE_ERR_SUCCESSFUL);
}

TEST_F(CodecLibraryTest, TheEncoderTakesAtMostOneChunkAndRunsAgainAfterAFlush) {
  auto initStream = B<BE_INIT_STREAM_FN>("beInitStream");
  auto encode = B<BE_ENCODE_CHUNK_FN>("beEncodeChunk");
  auto deinit = B<BE_DEINIT_STREAM_FN>("beDeinitStream");
  auto closeStream = B<BE_CLOSE_STREAM_FN>("beCloseStream");
  BE_CONFIG c{};
  c.sample_rate = 48000;
  c.mode = BE_MP3_MODE_JSTEREO;
  c.bitrate = 320;
  uint32_t samples = 0, size = 0;
  HBE_STREAM s = nullptr;
  ASSERT_EQ(initStream(&c, &samples, &size, &s), BE_ERR_SUCCESSFUL);
  const auto pcm = Tones(48000, 2, 1.0, 440, 880);
  std::vector<uint8_t> out(size);
  uint32_t bytes = 0;
  EXPECT_EQ(encode(s, samples + 2, pcm.data(), out.data(), &bytes), BE_ERR_INVALID_FORMAT_PARAMETERS);
  for (int run = 0; run < 2; ++run) {
    std::size_t total = 0;
    for (std::size_t at = 0; at + samples <= pcm.size(); at += samples) {
      ASSERT_EQ(encode(s, samples, pcm.data() + at, out.data(), &bytes), BE_ERR_SUCCESSFUL);
      ASSERT_LE(bytes, size);
      total += bytes;
    }
    ASSERT_EQ(deinit(s, out.data(), &bytes), BE_ERR_SUCCESSFUL);
    total += bytes;
    // 1 s at 320 kbit/s, give or take the frames in flight.
    EXPECT_NEAR(static_cast<double>(total), 40000.0, 4000.0) << "run " << run;
  }
  EXPECT_EQ(closeStream(s), BE_ERR_SUCCESSFUL);
  EXPECT_EQ(encode(nullptr, samples, pcm.data(), out.data(), &bytes), BE_ERR_INVALID_HANDLE);
}

// Encodes pcm into a raw stream with the library, with the Info frame written over the
// placeholder when withTag is set.
std::vector<uint8_t> EncodeRaw(CodecLibraryTest& t, BE_CONFIG c, const std::vector<int16_t>& pcm, bool withTag) {
  auto initStream = t.B<BE_INIT_STREAM_FN>("beInitStream");
  auto encode = t.B<BE_ENCODE_CHUNK_FN>("beEncodeChunk");
  auto deinit = t.B<BE_DEINIT_STREAM_FN>("beDeinitStream");
  auto closeStream = t.B<BE_CLOSE_STREAM_FN>("beCloseStream");
  auto infoTag = t.B<BE_INFO_TAG_FN>("beInfoTag");
  uint32_t samples = 0, size = 0, bytes = 0;
  HBE_STREAM s = nullptr;
  std::vector<uint8_t> stream, out;
  if (initStream(&c, &samples, &size, &s) != BE_ERR_SUCCESSFUL) return stream;
  out.resize(size);
  if (withTag) {
    EXPECT_EQ(infoTag(s, nullptr, &bytes), BE_ERR_SUCCESSFUL);
    EXPECT_EQ(bytes, 0u);
  }
  for (std::size_t at = 0; at < pcm.size(); at += samples) {
    const auto n = static_cast<uint32_t>(std::min<std::size_t>(samples, pcm.size() - at));
    EXPECT_EQ(encode(s, n, pcm.data() + at, out.data(), &bytes), BE_ERR_SUCCESSFUL);
    stream.insert(stream.end(), out.begin(), out.begin() + bytes);
  }
  EXPECT_EQ(infoTag(s, out.data(), &bytes), BE_ERR_SUCCESSFUL);
  EXPECT_EQ(bytes, 0u) << "a tag before the flush";
  EXPECT_EQ(deinit(s, out.data(), &bytes), BE_ERR_SUCCESSFUL);
  stream.insert(stream.end(), out.begin(), out.begin() + bytes);
  EXPECT_EQ(infoTag(s, out.data(), &bytes), BE_ERR_SUCCESSFUL);
  if (withTag) {
    EXPECT_GT(bytes, 100u);
    EXPECT_LE(bytes, stream.size());
    std::copy(out.begin(), out.begin() + std::min<std::size_t>(bytes, stream.size()), stream.begin());
  } else {
    EXPECT_EQ(bytes, 0u);
  }
  closeStream(s);
  return stream;
}

// Decodes a file with the library: its file info and every sample.
std::vector<int16_t> DecodeFile(CodecLibraryTest& t, const std::string& path, MPEG_FILE_INFO& info) {
  auto init = t.M<MPEG_INIT_FN>("mpeg_Init");
  auto done = t.M<MPEG_DONE_FN>("mpeg_Done");
  auto setName = t.M<MPEG_SETFILENAME_FN>("mpeg_SetFileName");
  auto getInfo = t.M<MPEG_GETFILEINFO_FN>("mpeg_GetFileInfo");
  auto open = t.M<MPEG_HANDLE_FN>("mpeg_OpenFile");
  auto read = t.M<MPEG_READDATA_FN>("mpeg_ReadDataBytes");
  int32_t error = 0;
  MPEG_HANDLE h = init(&error, nullptr, nullptr);
  std::vector<int16_t> pcm;
  EXPECT_EQ(setName(h, path.c_str()), MPEG_OK);
  EXPECT_EQ(getInfo(h, &info), MPEG_OK);
  EXPECT_EQ(open(h), MPEG_OK);
  std::vector<int16_t> buffer(4096);
  for (int32_t n; (n = read(h, buffer.data(), 8192)) > 0;) pcm.insert(pcm.end(), buffer.begin(), buffer.begin() + n / 2);
  done(&h);
  return pcm;
}

// The lag (in frames) at which b matches a best, within +-range, on the first channel.
int BestLag(const std::vector<int16_t>& a, const std::vector<int16_t>& b, int channels, int range) {
  const auto frames = static_cast<int>(std::min(a.size(), b.size()) / static_cast<std::size_t>(channels));
  int best = 0;
  double bestSum = -1e300;
  for (int lag = -range; lag <= range; ++lag) {
    double sum = 0;
    for (int i = std::max(0, -lag); i < frames && i + lag < frames; ++i)
      sum += double(a[static_cast<std::size_t>(i * channels)]) * b[static_cast<std::size_t>((i + lag) * channels)];
    if (sum > bestSum) {
      bestSum = sum;
      best = lag;
    }
  }
  return best;
}

TEST_F(CodecLibraryTest, AnInfoTagMakesTheDecoderReturnExactlyWhatWasEncodedInPlace) {
  struct Case {
    uint32_t rate;
    uint8_t mode;
    uint16_t kbps;
    std::size_t frames;
  };
  for (const Case k : {Case{44100, BE_MP3_MODE_STEREO, 128, 88064}, Case{48000, BE_MP3_MODE_MONO, 64, 12345},
                       Case{32000, BE_MP3_MODE_DUALCHANNEL, 320, 1152}, Case{44100, BE_MP3_MODE_MONO, 128, 1}}) {
    const int channels = k.mode == BE_MP3_MODE_MONO ? 1 : 2;
    const std::string what = std::to_string(k.rate) + " Hz, " + std::to_string(channels) + " channels, " +
                             std::to_string(k.frames) + " frames";
    std::vector<int16_t> pcm(k.frames * static_cast<std::size_t>(channels));
    std::mt19937 gen(11);
    std::uniform_int_distribution<int> noise(-8000, 8000);
    for (auto& v : pcm) v = static_cast<int16_t>(noise(gen));
    BE_CONFIG c{};
    c.sample_rate = k.rate;
    c.mode = k.mode;
    c.bitrate = k.kbps;
    const std::string path = dir_.File("tagged.mp3");
    WriteBytes(path, EncodeRaw(*this, c, pcm, true));
    MPEG_FILE_INFO info{};
    const auto decoded = DecodeFile(*this, path, info);
    EXPECT_EQ(decoded.size(), pcm.size()) << what;
    // Copies: the record is packed, its fields unaligned.
    const int64_t samples = info.samples;
    const int32_t delay = info.encoder_delay, padding = info.encoder_padding;
    EXPECT_EQ(samples, static_cast<int64_t>(k.frames)) << what;
    EXPECT_GE(delay, 0) << what;
    EXPECT_GE(padding, 0) << what;
    // Without the trim the decoded signal lies over a thousand frames late.
    if (k.frames > 10000) {
      EXPECT_EQ(BestLag(pcm, decoded, channels, 1200), 0) << what;
    }
  }
}

TEST_F(CodecLibraryTest, WithoutAnInfoTagEveryDecodedSampleCountsAsInMpg123) {
  if (!HaveTool("mpg123")) GTEST_SKIP() << "mpg123 is not installed (scripts/setup.sh installs it)";
  BE_CONFIG c{};
  c.sample_rate = 44100;
  c.mode = BE_MP3_MODE_STEREO;
  c.bitrate = 128;
  const auto pcm = Tones(44100, 2, 0.5, 440, 660);
  const std::string path = dir_.File("plain.mp3");
  WriteBytes(path, EncodeRaw(*this, c, pcm, false));
  MPEG_FILE_INFO info{};
  const auto decoded = DecodeFile(*this, path, info);
  const int32_t delay = info.encoder_delay;
  const int64_t samples = info.samples;
  EXPECT_EQ(delay, -1);
  EXPECT_EQ(decoded.size() % (1152 * 2), 0u);
  EXPECT_GT(decoded.size(), pcm.size());
  int status = -1;
  Capture("mpg123 -q -w " + dir_.File("plain.wav") + " " + path, &status);
  ASSERT_EQ(status, 0);
  EXPECT_EQ(FileSize(dir_.File("plain.wav")) - 44, static_cast<std::int64_t>(decoded.size() * 2));
  EXPECT_EQ(samples * 2, static_cast<std::int64_t>(decoded.size()));
}

TEST_F(CodecLibraryTest, AStreamOfTwoRunsHasNoInfoTagToCutItShort) {
  auto initStream = B<BE_INIT_STREAM_FN>("beInitStream");
  auto encode = B<BE_ENCODE_CHUNK_FN>("beEncodeChunk");
  auto deinit = B<BE_DEINIT_STREAM_FN>("beDeinitStream");
  auto closeStream = B<BE_CLOSE_STREAM_FN>("beCloseStream");
  auto infoTag = B<BE_INFO_TAG_FN>("beInfoTag");
  BE_CONFIG c{};
  c.sample_rate = 44100;
  c.mode = BE_MP3_MODE_STEREO;
  c.bitrate = 128;
  uint32_t samples = 0, size = 0, bytes = 0;
  HBE_STREAM s = nullptr;
  ASSERT_EQ(initStream(&c, &samples, &size, &s), BE_ERR_SUCCESSFUL);
  std::vector<uint8_t> out(size);
  ASSERT_EQ(infoTag(s, nullptr, &bytes), BE_ERR_SUCCESSFUL);
  const auto pcm = Tones(44100, 2, 0.2, 440, 660);
  for (int run = 0; run < 2; ++run) {
    ASSERT_EQ(encode(s, samples, pcm.data(), out.data(), &bytes), BE_ERR_SUCCESSFUL);
    ASSERT_EQ(deinit(s, out.data(), &bytes), BE_ERR_SUCCESSFUL);
    ASSERT_EQ(infoTag(s, out.data(), &bytes), BE_ERR_SUCCESSFUL);
    EXPECT_EQ(bytes > 0, run == 0) << "run " << run;
  }
  EXPECT_EQ(closeStream(s), BE_ERR_SUCCESSFUL);
}

}  // namespace
