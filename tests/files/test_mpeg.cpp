#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "codecs/Mp3TestUtil.h"
#include "drivers/MMTrigg.h"
#include "files/MMMPEG.h"
#include "platform/Messages.h"

using namespace strataeq;
using namespace mp3test;

namespace {

constexpr std::int32_t kBuffer = 8192;

// Pulls buffers from a source as a driver does.
class Puller {
 public:
  explicit Puller(std::int32_t size = kBuffer) : size_(size), header_(AllocWaveHeader(static_cast<std::size_t>(size))) {}
  std::int32_t Pull(TMMDSPComponent& source, bool& more) {
    header_->dwBufferLength = static_cast<std::uint32_t>(size_);
    header_->dwBytesRecorded = 0;
    more = false;
    source.BufferLoad(header_.get(), more);
    return header_->dwBytesRecorded;
  }
  TMMWaveHdr& Header() { return *header_; }
  const std::int16_t* Samples() const { return reinterpret_cast<const std::int16_t*>(header_->lpData); }

 private:
  std::int32_t size_;
  TWaveHdrBlock header_;
};

// Everything a started source delivers until it reports the end (bounded).
std::vector<std::int16_t> PullAll(TMMDSPComponent& source, Puller& puller, int maxBuffers = 100000) {
  std::vector<std::int16_t> pcm;
  bool more = true;
  for (int i = 0; i < maxBuffers && more; ++i) {
    const std::int32_t n = puller.Pull(source, more);
    pcm.insert(pcm.end(), puller.Samples(), puller.Samples() + n / 2);
  }
  EXPECT_FALSE(more) << "the source did not end";
  return pcm;
}

std::vector<std::int16_t> DecodeWhole(const std::string& file, TChannelMode mode = TChannelMode::cmBoth) {
  TMMMPEGFile source;
  source.SetChannelMode(mode);
  source.SetFileName(file);
  source.Open();
  source.Start();
  Puller puller;
  auto pcm = PullAll(source, puller);
  source.Close();
  return pcm;
}

class MpegTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    UseCodecLibraries();
    if (!HaveTool("lame")) return;
    dir_ = new TempDir;
    // 3 s: a 1 kHz tone on the left, silence on the right.
    stereo_ = MakeMp3(*dir_, "stereo", 44100, 2, 3.0, "-b 128", 1000, 0);
    mono_ = MakeMp3(*dir_, "mono", 44100, 1, 2.0, "-b 64", 440, 0);
  }
  static void TearDownTestSuite() {
    delete dir_;
    dir_ = nullptr;
  }
  void SetUp() override {
    if (!dir_ || stereo_.empty() || mono_.empty()) GTEST_SKIP() << "the lame tool is needed to make MP3 files";
  }

  static TempDir* dir_;
  static std::string stereo_, mono_;
};
TempDir* MpegTest::dir_ = nullptr;
std::string MpegTest::stereo_;
std::string MpegTest::mono_;

// --- file info against mpg123 ------------------------------------------------------

struct InfoCase {
  const char* name;
  int rate;
  int channels;
  const char* lame;
};

class MpegInfoTest : public MpegTest, public ::testing::WithParamInterface<InfoCase> {};

TEST_P(MpegInfoTest, FileInfoEqualsWhatMpg123Reports) {
  if (!HaveTool("mpg123")) GTEST_SKIP() << "the mpg123 tool is needed";
  const InfoCase& c = GetParam();
  const std::string file = MakeMp3(*dir_, c.name, c.rate, c.channels, 2.5, c.lame, 700, 1300);
  ASSERT_FALSE(file.empty());

  // "MPEG 1.0 L III cbr128 44100 j-s", and a progress line "> 116+000  00:03.00+...".
  std::string report = Capture("mpg123 -t -v " + file);
  std::replace(report.begin(), report.end(), '\r', '\n');
  std::smatch m;
  ASSERT_TRUE(std::regex_search(report, m, std::regex(R"(MPEG (\d\.\d+) L (I+) (cbr|vbr|abr)(\d+) (\d+) (\S+))")))
      << report;
  const std::string version = m[1], layer = m[2], mode = m[6];
  const int kbps = std::stoi(m[4]), rate = std::stoi(m[5]);
  std::istringstream lines(report);
  std::string line, last;
  while (std::getline(lines, line))
    if (line.rfind("> ", 0) == 0) last = line;
  ASSERT_TRUE(std::regex_search(last, m, std::regex(R"(^> *(\d+)\+(\d+) +(\d+):(\d+)\.(\d+)\+)"))) << report;
  const int frames = std::stoi(m[1]) + std::stoi(m[2]);
  const int ms = (std::stoi(m[3]) * 60 + std::stoi(m[4])) * 1000 + std::stoi(m[5]) * 10;

  TMMMpeg mpeg;
  mpeg.SetFileName(file);
  EXPECT_EQ(mpeg.Version(), version == "1.0" ? TMpegVersion::v1 : TMpegVersion::v2LSF);
  EXPECT_EQ(mpeg.Layer(), static_cast<int>(layer.size()));
  EXPECT_EQ(mpeg.SampleRate(), rate);
  EXPECT_EQ(mpeg.PlayBackRate(), rate);
  EXPECT_EQ(mpeg.BitRate(), kbps);
  const TSampleMode expected = mode == "stereo" ? TSampleMode::smStereo
                               : mode == "j-s"  ? TSampleMode::smJointStereo
                               : mode == "dual" ? TSampleMode::smDualChannel
                                                : TSampleMode::smSingleChannel;
  EXPECT_EQ(mpeg.Mode(), expected) << mode;
  EXPECT_EQ(mpeg.Frames(), frames);
  EXPECT_NEAR(mpeg.Time(), ms, 10);
  EXPECT_NEAR(mpeg.MsPerFrame(), (version == "1.0" ? 1152.0 : 576.0) * 1000.0 / rate, 1e-9);
  EXPECT_EQ(mpeg.FileName(), file);
}

INSTANTIATE_TEST_SUITE_P(LameFiles, MpegInfoTest,
                         ::testing::Values(InfoCase{"js44", 44100, 2, "-b 128"},
                                           InfoCase{"mono44", 44100, 1, "-b 64"},
                                           InfoCase{"dual48", 48000, 2, "-m d -b 192"},
                                           InfoCase{"stereo32", 32000, 2, "-m s -b 96"},
                                           InfoCase{"lsf22", 22050, 1, "-b 32"},
                                           InfoCase{"lsf11", 11025, 1, "-b 16"}),
                         [](const auto& info) { return std::string(info.param.name); });

// --- formats and channel modes -------------------------------------------------------

TEST_F(MpegTest, WithoutAFileThePropertiesReadV1AndZeros) {
  TMMMPEGFile source;
  EXPECT_EQ(source.Version(), TMpegVersion::v1);
  EXPECT_EQ(source.Layer(), 0);
  EXPECT_EQ(source.SampleRate(), 0);
  EXPECT_EQ(source.Frames(), 0);
  EXPECT_EQ(source.Time(), 0);
  EXPECT_EQ(source.PWaveFormat(), nullptr);
  EXPECT_EQ(source.FileName(), "");
  // No file: the stream ends at once.
  source.Open();
  source.Start();
  Puller puller;
  bool more = true;
  EXPECT_EQ(puller.Pull(source, more), 0);
  EXPECT_FALSE(more);
}

TEST_F(MpegTest, SettingAFileGivesItsFormatDownstreamAndClearingRemovesIt) {
  TMMMPEGFile source;
  TMMDSPComponent sink;
  source.SetOutput(&sink);
  int changes = 0;
  source.OnChange = [&](TObject* sender) {
    EXPECT_EQ(sender, &source);
    ++changes;
  };
  source.SetFileName(stereo_);
  EXPECT_EQ(changes, 1);
  ASSERT_NE(sink.PWaveFormat(), nullptr);
  const TWaveFormatEx& f = *sink.PWaveFormat();
  EXPECT_EQ(+f.wFormatTag, WAVE_FORMAT_PCM);
  EXPECT_EQ(+f.nChannels, 2);
  EXPECT_EQ(+f.wBitsPerSample, 16);
  EXPECT_EQ(+f.nSamplesPerSec, 44100u);
  EXPECT_EQ(+f.nBlockAlign, 4);

  source.SetFileName("");
  EXPECT_EQ(changes, 2);
  EXPECT_EQ(source.PWaveFormat(), nullptr);
  EXPECT_EQ(sink.PWaveFormat(), nullptr);
}

TEST_F(MpegTest, DownMixGivesOneChannelOf16BitsAtThePlayBackRate) {
  TMMMPEGFile source;
  source.SetFileName(stereo_);
  int changes = 0;
  source.OnChange = [&](TObject*) { ++changes; };
  source.SetChannelMode(TChannelMode::cmDownMix);
  EXPECT_EQ(changes, 1) << "a new channel count must reach whoever took the format";
  ASSERT_NE(source.PWaveFormat(), nullptr);
  const TWaveFormatEx& f = *source.PWaveFormat();
  EXPECT_EQ(+f.nChannels, 1);
  EXPECT_EQ(+f.wBitsPerSample, 16);
  EXPECT_EQ(+f.nSamplesPerSec, static_cast<std::uint32_t>(source.PlayBackRate()));
  EXPECT_EQ(+f.nBlockAlign, 2);
  EXPECT_EQ(+f.nAvgBytesPerSec, 2u * 44100u);
  EXPECT_EQ(source.Mpeg().PWaveFormat()->nChannels, 1);
}

TEST_F(MpegTest, ChannelModesDeliverTheChannelsTheyName) {
  // The file holds a tone on the left and silence on the right.
  const auto both = DecodeWhole(stereo_, TChannelMode::cmBoth);
  const auto left = DecodeWhole(stereo_, TChannelMode::cmLeft);
  const auto right = DecodeWhole(stereo_, TChannelMode::cmRight);
  const auto mix = DecodeWhole(stereo_, TChannelMode::cmDownMix);
  ASSERT_EQ(both.size(), 2 * left.size());
  ASSERT_EQ(left.size(), right.size());
  ASSERT_EQ(left.size(), mix.size());
  const std::size_t frames = left.size();
  const double leftOfBoth = Rms(both.data(), frames, 2, 0);
  EXPECT_GT(leftOfBoth, 5000);
  EXPECT_LT(Rms(both.data(), frames, 2, 1), 0.02 * leftOfBoth);
  EXPECT_NEAR(Rms(left.data(), frames, 1, 0), leftOfBoth, 0.02 * leftOfBoth);
  EXPECT_LT(Rms(right.data(), frames, 1, 0), 0.02 * leftOfBoth);
  EXPECT_NEAR(Rms(mix.data(), frames, 1, 0), 0.5 * leftOfBoth, 0.03 * leftOfBoth);
}

TEST_F(MpegTest, AMonoFileDeliversOneChannelWhateverTheChannelMode) {
  TMMMPEGFile source;
  source.SetFileName(mono_);
  EXPECT_EQ(source.Mode(), TSampleMode::smSingleChannel);
  ASSERT_NE(source.PWaveFormat(), nullptr);
  EXPECT_EQ(source.PWaveFormat()->nChannels, 1);
  const auto pcm = DecodeWhole(mono_);
  EXPECT_EQ(pcm.size(), 2u * 44100u);  // the encoder's delay and padding are removed
}

TEST_F(MpegTest, ChannelModeCannotChangeWhileOpen) {
  TMMMPEGFile source;
  source.SetFileName(stereo_);
  source.Open();
  try {
    source.SetChannelMode(TChannelMode::cmLeft);
    FAIL() << "no error";
  } catch (const EMMMpegError& e) {
    EXPECT_STREQ(e.what(), "Change to property while device was open");
  }
  EXPECT_EQ(source.ChannelMode(), TChannelMode::cmBoth);
  source.Close();
  source.SetChannelMode(TChannelMode::cmLeft);
  EXPECT_EQ(source.ChannelMode(), TChannelMode::cmLeft);
}

// --- buffers, positions, end --------------------------------------------------------

TEST_F(MpegTest, AFileSetButNotStartedDeliversSilence) {
  TMMMPEGFile source;
  source.SetFileName(stereo_);
  source.Open();
  Puller puller;
  for (int i = 0; i < 5; ++i) {
    std::memset(puller.Header().lpData, 0x55, kBuffer);
    bool more = false;
    ASSERT_EQ(puller.Pull(source, more), kBuffer);
    EXPECT_TRUE(more);
    EXPECT_TRUE(std::all_of(puller.Header().lpData, puller.Header().lpData + kBuffer, [](char c) { return c == 0; }));
  }
  // Silence did not use up the file.
  EXPECT_EQ(source.Position(), 0);
  source.Start();
  source.SetEnabled(false);
  bool more = false;
  std::memset(puller.Header().lpData, 0x55, kBuffer);
  ASSERT_EQ(puller.Pull(source, more), kBuffer);
  EXPECT_TRUE(more);
  EXPECT_EQ(puller.Samples()[100], 0);
  source.SetEnabled(true);
  EXPECT_EQ(puller.Pull(source, more), kBuffer);
  EXPECT_NE(Rms(puller.Samples(), kBuffer / 4, 2, 0), 0.0);
}

TEST_F(MpegTest, TheStreamEndsWithTheLastBufferCarryingItsBytes) {
  TMMMPEGFile source;
  source.SetFileName(stereo_);
  source.Open();
  source.Start();
  Puller puller;
  std::int64_t total = 0;
  bool more = true;
  std::int32_t last = 0;
  int buffers = 0;
  while (more && buffers < 1000) {
    last = puller.Pull(source, more);
    total += last;
    ++buffers;
  }
  EXPECT_FALSE(more);
  EXPECT_GT(last, 0);
  EXPECT_EQ(total, 3 * 44100 * 4);
  EXPECT_GE(source.Position(), source.Frames() - 2);
  // After the end nothing more comes.
  EXPECT_EQ(puller.Pull(source, more), 0);
  EXPECT_FALSE(more);
}

TEST_F(MpegTest, StartAfterCloseAndOpenResumesAtTheRememberedFrame) {
  const auto reference = DecodeWhole(stereo_);
  const std::size_t frameSamples = 1152 * 2;

  TMMMPEGFile source;
  source.SetFileName(stereo_);
  source.Open();
  source.Start();
  Puller puller;
  bool more = false;
  for (int i = 0; i < 12; ++i) puller.Pull(source, more);
  const std::int32_t stopped = source.Position();
  ASSERT_GT(stopped, 10);
  source.Close();

  source.Open();
  EXPECT_EQ(source.Position(), stopped);
  source.Start();
  EXPECT_EQ(source.Position(), stopped);
  ASSERT_EQ(puller.Pull(source, more), kBuffer);
  const std::int16_t* expected = reference.data() + stopped * frameSamples;
  int worst = 0;
  for (int i = 0; i < kBuffer / 2; ++i) worst = std::max(worst, std::abs(puller.Samples()[i] - expected[i]));
  EXPECT_LE(worst, 1) << "resumed audio differs from the continuous decode";

  // A position set while closed is where the next run starts.
  source.Close();
  source.Mpeg().SetPosition(40);
  source.Open();
  EXPECT_EQ(source.Position(), 40);
  source.Start();
  ASSERT_EQ(puller.Pull(source, more), kBuffer);
  expected = reference.data() + 40 * frameSamples;
  worst = 0;
  for (int i = 0; i < kBuffer / 2; ++i) worst = std::max(worst, std::abs(puller.Samples()[i] - expected[i]));
  EXPECT_LE(worst, 1);
}

// The real library's entry points, with the position requests and reads recorded.
struct Recorder {
  static TMpegDecoderApi real;
  static std::vector<std::int32_t> positions, reads;
  static std::int32_t SetPosition(MPEG_HANDLE h, std::int32_t frame) {
    positions.push_back(frame);
    return real.SetPosition(h, frame);
  }
  static std::int32_t Read(MPEG_HANDLE h, void* buffer, std::int32_t bytes) {
    reads.push_back(bytes);
    return real.ReadDataBytes(h, buffer, bytes);
  }
};
TMpegDecoderApi Recorder::real;
std::vector<std::int32_t> Recorder::positions, Recorder::reads;

TEST_F(MpegTest, StartSeeksTwoFramesEarlyAndDecodesForwardFrameByFrame) {
  ASSERT_NE(MpegDecoderApi(), nullptr);
  Recorder::real = *MpegDecoderApi();
  TMpegDecoderApi watched = Recorder::real;
  watched.SetPosition = &Recorder::SetPosition;
  watched.ReadDataBytes = &Recorder::Read;
  ASSERT_TRUE(SetMpegDecoderApi(watched));
  {
    TMMMPEGFile source;
    source.SetFileName(stereo_);
    source.Mpeg().SetPosition(30);  // closed: asked as it is
    EXPECT_EQ(Recorder::positions, std::vector<std::int32_t>{30});
    source.Open();
    Recorder::positions.clear();
    Recorder::reads.clear();
    source.Start();
    EXPECT_EQ(Recorder::positions, std::vector<std::int32_t>{28});
    // One frame's PCM per read: 176400 bytes/s x 26.12 ms = 4608 bytes.
    EXPECT_EQ(Recorder::reads, (std::vector<std::int32_t>{4608, 4608}));
    EXPECT_EQ(source.Position(), 30);
    source.Close();
    source.Mpeg().SetPosition(1);
    source.Open();
    Recorder::positions.clear();
    source.Start();
    EXPECT_EQ(Recorder::positions, std::vector<std::int32_t>{0}) << "never below frame 0";
  }
  ASSERT_TRUE(SetMpegDecoderApi(Recorder::real));
}

TEST_F(MpegTest, AFilePlayedToTheEndStartsAgainFromTheBeginning) {
  TMMMPEGFile source;
  source.SetFileName(mono_);
  source.Open();
  source.Start();
  Puller puller;
  const auto first = PullAll(source, puller);
  source.Close();
  source.Open();
  EXPECT_EQ(source.Position(), 0);
  source.Start();
  EXPECT_EQ(PullAll(source, puller), first);
}

TEST_F(MpegTest, LoopingRestartsTheFileAndCountsTheLoops) {
  TMMMPEGFile source;
  source.SetFileName(mono_);
  source.Open();
  source.Start();
  Puller puller;
  TMMWaveHdr& h = puller.Header();
  h.LoopRec = -1;
  h.LoopCount = 1;
  h.LoopTempCount = 1;
  std::int64_t total = 0;
  int wraps = 0;
  bool more = true;
  for (int i = 0; i < 1000 && more; ++i) {
    h.LoopMark = 0;
    total += puller.Pull(source, more);
    if (h.LoopMark == -1) ++wraps;
  }
  EXPECT_FALSE(more);
  EXPECT_EQ(wraps, 1);
  EXPECT_EQ(total, 2 * 2 * 44100 * 2);  // played twice
}

TEST_F(MpegTest, TheTriggerPumpsTheWholeFileAndStopsItself) {
  TMMMPEGFile source;
  source.SetFileName(stereo_);
  TMMTrigger trigger;
  TMMDSPComponent sink;
  std::atomic<std::int64_t> received{0};
  sink.OnBufferReady = [&](TObject*, PMMWaveHdr h) { received += h->dwBytesRecorded; };
  source.SetOutput(&trigger);
  trigger.SetOutput(&sink);
  bool stopped = false;
  trigger.OnStop = [&](TObject*) { stopped = true; };
  trigger.Open();
  trigger.Start();
  // The progress display reads the frame position while the worker decodes.
  std::int32_t progress = 0;
  bool backwards = false;
  ASSERT_TRUE(RunUntil(
      [&] {
        const std::int32_t now = source.Position();
        backwards |= now < progress;
        progress = now;
        return stopped;
      },
      std::chrono::seconds(60)));
  EXPECT_FALSE(backwards);
  EXPECT_GE(source.Position(), source.Frames() - 2);
  trigger.Close();
  EXPECT_EQ(received.load(), 3 * 44100 * 4);
}

TEST_F(MpegTest, TrailingHeaderBytesAreNotDecoded) {
  TMMMpeg mpeg;
  mpeg.SetFileName(stereo_);
  const std::int32_t frames = mpeg.Frames();
  mpeg.SetTrailingHeader(static_cast<std::int32_t>(FileSize(stereo_) / 2));
  EXPECT_EQ(mpeg.TrailingHeader(), FileSize(stereo_) / 2);
  mpeg.SetFileName(stereo_);
  EXPECT_NEAR(mpeg.Frames(), frames / 2, 2);
}

// --- damaged input -------------------------------------------------------------------

TEST_F(MpegTest, FilesWithoutMpegAudioAreRefused) {
  const std::string noise = dir_->File("noise.mp3");
  WriteBytes(noise, Noise(20000, 7));
  const std::string id3 = dir_->File("id3only.mp3");
  std::vector<std::uint8_t> tag = {'I', 'D', '3', 3, 0, 0, 0, 0, 0, 100};
  tag.resize(110, 0);
  WriteBytes(id3, tag);
  const std::string wav = dir_->File("renamed.mp3");
  WriteWav(wav, 44100, 2, Tones(44100, 2, 1.0, 440, 660));
  const std::string empty = dir_->File("empty.mp3");
  WriteBytes(empty, {});
  const std::string headerOnly = dir_->File("header.mp3");
  auto bytes = ReadBytes(stereo_);
  bytes.resize(4);
  WriteBytes(headerOnly, bytes);

  for (const std::string& file :
       {noise, id3, wav, empty, headerOnly, dir_->File("missing.mp3"), dir_->Path()}) {
    TMMMPEGFile source;
    int changes = 0;
    source.OnChange = [&](TObject*) { ++changes; };
    source.SetFileName(stereo_);
    EXPECT_THROW(source.SetFileName(file), EMMMpegError) << file;
    EXPECT_EQ(source.PWaveFormat(), nullptr) << file;
    EXPECT_EQ(source.FileName(), "") << file;
    EXPECT_EQ(changes, 2) << "the old file's format must not stay behind";
  }
}

TEST_F(MpegTest, ATruncatedFileEndsCleanly) {
  const auto bytes = ReadBytes(stereo_);
  for (std::size_t cut : {bytes.size() / 2 + 37, bytes.size() - 1, std::size_t{1000}}) {
    const std::string file = dir_->File("cut" + std::to_string(cut) + ".mp3");
    WriteBytes(file, std::vector<std::uint8_t>(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(cut)));
    TMMMPEGFile source;
    source.SetFileName(file);
    source.Open();
    source.Start();
    Puller puller;
    const auto pcm = PullAll(source, puller, 1000);
    EXPECT_LE(pcm.size(), 3u * 44100u * 2u);
    EXPECT_GT(pcm.size(), 0u);
  }
}

TEST_F(MpegTest, AChangeOfFormatInsideTheStreamIsAnErrorNotMixedSamples) {
  // The stereo file followed by a 48 kHz stream without Info frame.
  const std::string other = MakeMp3(*dir_, "other48", 48000, 2, 1.0, "-t -b 128", 440, 440);
  ASSERT_FALSE(other.empty());
  auto bytes = ReadBytes(stereo_);
  const auto tail = ReadBytes(other);
  bytes.insert(bytes.end(), tail.begin(), tail.end());
  const std::string joined = dir_->File("joined.mp3");
  WriteBytes(joined, bytes);

  TMMMPEGFile source;
  source.SetFileName(joined);
  source.Open();
  source.Start();
  Puller puller;
  std::int64_t total = 0;
  bool more = true;
  try {
    for (int i = 0; i < 1000 && more; ++i) total += puller.Pull(source, more);
    FAIL() << "no error after " << total << " bytes";
  } catch (const EMMMpegError& e) {
    EXPECT_STREQ(e.what(), "Sample rate or channels change inside the stream");
  }
  EXPECT_EQ(total, 3 * 44100 * 4) << "only the first stream's samples";
  // The error stays until the file is started again.
  EXPECT_THROW(puller.Pull(source, more), EMMMpegError);
}

// --- the library binding -------------------------------------------------------------

class MpegBindingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetMpegMessageHandler([this](const std::string& text) { messages_.push_back(text); });
    UnloadMpegDecoder();
  }
  void TearDown() override {
    SetMpegMessageHandler(nullptr);
    UseCodecLibraries();
    UnloadMpegDecoder();
  }
  void ExpectRefused(const std::vector<std::string>& shown) {
    for (int attempt = 0; attempt < 2; ++attempt) {
      try {
        TMMMPEGFile source;
        FAIL() << "created without a usable library";
      } catch (const EMMMpegError& e) {
        EXPECT_STREQ(e.what(), "Unable to load mpegint.dll");
      }
    }
    EXPECT_EQ(messages_, shown) << "the message is shown once per process";
  }
  std::vector<std::string> messages_;
};

TEST_F(MpegBindingTest, AMissingLibraryIsReportedAndNoDecoderCanBeCreated) {
  TempDir empty;
  UseLibraryFolder(empty.Path());
  ExpectRefused({"Unable to load mpegint.dll"});
}

TEST_F(MpegBindingTest, ALibraryOfVersion16IsRefused) {
#ifndef STRATAEQ_STUB_V16_DIR
  GTEST_SKIP() << "the stub library is not built";
#else
  UseLibraryFolder(STRATAEQ_STUB_V16_DIR);
  ExpectRefused({"Invalid Mpeg Decoder DLL version"});
#endif
}

TEST_F(MpegBindingTest, ALibraryWithoutTheEntryPointsWeCallIsRefused) {
#ifndef STRATAEQ_STUB_INCOMPLETE_DIR
  GTEST_SKIP() << "the stub library is not built";
#else
  UseLibraryFolder(STRATAEQ_STUB_INCOMPLETE_DIR);
  ExpectRefused({"Invalid Mpeg Decoder DLL version"});
#endif
}

TEST_F(MpegBindingTest, TheRealLibraryIsAcceptedSilently) {
  UseCodecLibraries();
  const TMpegDecoderApi* api = MpegDecoderApi();
  ASSERT_NE(api, nullptr);
  EXPECT_GT(api->Version(), 16);
  EXPECT_NO_THROW(TMMMpeg());
  EXPECT_TRUE(messages_.empty());
}

}  // namespace
