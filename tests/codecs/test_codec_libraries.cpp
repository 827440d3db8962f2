// The run-time loader and the two codec libraries through their C interfaces.
#include <gtest/gtest.h>

#include <cstring>
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
  ASSERT_EQ(folders.size(), 2u);
  char exe[4096] = {};
  ASSERT_GT(readlink("/proc/self/exe", exe, sizeof exe - 1), 0);
  EXPECT_EQ(folders[0], std::filesystem::path(exe).parent_path().string());
  EXPECT_TRUE(lib.Load("mpg123.dll")) << "the system loader is asked last: " << lib.LastError();
  UseCodecLibraries();
}

class CodecLibraryTest : public ::testing::Test {
 protected:
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

}  // namespace
