// End to end: the strataeq-cli binary on generated files.
#include <gtest/gtest.h>

#include <random>

#include "app/CliTestUtil.h"

namespace {

class CliProcess : public CliTest {};

TEST_F(CliProcess, FlatGainsScaleByAboutOneAndComeOutTimeAligned) {
  std::mt19937 rng(42);
  std::normal_distribution<double> noise(0, 3000);
  const int frames = 44100;
  std::vector<std::int16_t> in(frames * 2);
  for (auto& v : in) v = static_cast<std::int16_t>(std::clamp(noise(rng), -32000.0, 32000.0));
  WriteWav(dir / "in.wav", in, 2);
  for (int fft : {256, 1024}) {
    const fs::path out = dir / ("out" + std::to_string(fft) + ".wav");
    ASSERT_EQ(Cli("process " + Quote(dir / "in.wav") + " " + Quote(out) + " -q --fft " + std::to_string(fft)).code, 0);
    const auto o = ReadWavSamples(out);
    ASSERT_EQ(o.size(), in.size());
    // The filter's delay is taken out and its tail flushed: every frame lines up.
    const std::size_t delay = 0;
    const std::size_t compared = in.size();
    double num = 0, den = 0;
    for (std::size_t i = 0; i < compared; ++i) {
      num += double(o[i + delay * 2]) * in[i];
      den += double(in[i]) * in[i];
    }
    const double scale = num / den;
    EXPECT_NEAR(scale, 0.998, 0.001) << fft;
    double worst = 0;
    for (std::size_t i = 0; i < compared; ++i)
      worst = std::max(worst, std::abs(o[i + delay * 2] - scale * in[i]));
    EXPECT_LT(worst, 40.0) << fft;  // a flat response passes the signal, not an approximation of it
  }
}

TEST_F(CliProcess, ABandAtMinus20dBTakesItsToneDown20dB) {
  WriteWav(dir / "in.wav", StereoSines(500, 3000, 44100 * 2), 2);
  ASSERT_EQ(Cli("process " + Quote(dir / "in.wav") + " " + Quote(dir / "out.wav") + " -q --fft 1024 --band 8=-20").code, 0);
  const auto in = ReadWavSamples(dir / "in.wav");
  const auto out = ReadWavSamples(dir / "out.wav");
  const double dbLeft = 20 * std::log10(Rms(out, 0, 4096) / Rms(in, 0, 4096));
  const double dbRight = 20 * std::log10(Rms(out, 1, 4096) / Rms(in, 1, 4096));
  EXPECT_NEAR(dbLeft, 0, 0.5);     // 500 Hz lies in band 4
  EXPECT_NEAR(dbRight, -20, 0.5);  // 3 kHz lies in band 8 (2-4 kHz)
}

TEST_F(CliProcess, LeftChannelOnlyLeavesTheRightChannelBitExact) {
  const auto in = StereoSines(3000, 3000, 20000);
  WriteWav(dir / "in.wav", in, 2);
  ASSERT_EQ(Cli("process " + Quote(dir / "in.wav") + " " + Quote(dir / "out.wav") + " -q --channel left --band 8=-20").code, 0);
  const auto out = ReadWavSamples(dir / "out.wav");
  ASSERT_EQ(out.size(), in.size());
  for (std::size_t i = 1; i < in.size(); i += 2) ASSERT_EQ(out[i], in[i]) << i;
  EXPECT_LT(Rms(out, 0, 2048), Rms(in, 0, 2048) / 5);
}

TEST_F(CliProcess, PresetsRoundTripAndDriveProcessing) {
  const fs::path preset = dir / "p.sqp";
  ASSERT_EQ(Cli("preset write " + Quote(dir / "flat.sqp")).code, 0);
  EXPECT_EQ(fs::file_size(dir / "flat.sqp"), 398u);
  ASSERT_EQ(Cli("preset write " + Quote(preset) + " --band 8=-20 --fft 1024 --description 'No 3k'").code, 0);
  const std::string show = std::string(STRATAEQ_CLI) + " preset show " + Quote(preset);
  FILE* p = popen(show.c_str(), "r");
  std::string text;
  char buf[256];
  while (fgets(buf, sizeof buf, p)) text += buf;
  EXPECT_EQ(pclose(p), 0);
  EXPECT_NE(text.find("No 3k"), std::string::npos) << text;
  EXPECT_NE(text.find("1024"), std::string::npos) << text;
  EXPECT_NE(text.find("-20.0 dB"), std::string::npos) << text;

  WriteWav(dir / "in.wav", StereoSines(500, 3000, 44100), 2);
  ASSERT_EQ(Cli("process " + Quote(dir / "in.wav") + " " + Quote(dir / "out.wav") + " -q --preset " + Quote(preset)).code, 0);
  const auto in = ReadWavSamples(dir / "in.wav");
  const auto out = ReadWavSamples(dir / "out.wav");
  EXPECT_NEAR(20 * std::log10(Rms(out, 1, 4096) / Rms(in, 1, 4096)), -20, 0.5);
  // A later --band overrides the preset's gain.
  ASSERT_EQ(Cli("process " + Quote(dir / "in.wav") + " " + Quote(dir / "out2.wav") + " -q --preset " + Quote(preset) + " --band 8=0").code, 0);
  EXPECT_NEAR(20 * std::log10(Rms(ReadWavSamples(dir / "out2.wav"), 1, 4096) / Rms(in, 1, 4096)), 0, 0.5);
}

TEST_F(CliProcess, FailuresExitWithOneAndNeverTouchTheUsersFiles) {
  WriteWav(dir / "in.wav", StereoSines(500, 3000, 10000), 2);
  const std::string original = FileBytes(dir / "in.wav");

  Result r = Cli("process " + Quote(dir / "in.wav") + " " + Quote(dir / "in.wav"));
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("is the input file"), std::string::npos) << r.err;
  fs::create_symlink(dir / "in.wav", dir / "link.wav");
  r = Cli("process " + Quote(dir / "in.wav") + " " + Quote(dir / "link.wav"));
  EXPECT_EQ(r.code, 1);
  fs::create_hard_link(dir / "in.wav", dir / "hard.wav");
  EXPECT_EQ(Cli("process " + Quote(dir / "hard.wav") + " " + Quote(dir / "in.wav")).code, 1);
  EXPECT_EQ(FileBytes(dir / "in.wav"), original);

  // A source that is no wave file: the existing output stays as it was.
  {
    std::ofstream(dir / "junk.wav") << "this is not a RIFF file at all, not even close";
    std::ofstream(dir / "keep.wav") << "precious";
  }
  r = Cli("process " + Quote(dir / "junk.wav") + " " + Quote(dir / "keep.wav"));
  EXPECT_EQ(r.code, 1);
  EXPECT_FALSE(r.err.empty());
  EXPECT_EQ(FileBytes(dir / "keep.wav"), "precious");

  // Audio the equalizer cannot take is refused before anything is written, saying why.
  WriteWav(dir / "three.wav", std::vector<std::int16_t>(3 * 4000, 100), 3, 22050);
  r = Cli("process " + Quote(dir / "three.wav") + " " + Quote(dir / "out.wav"));
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("Invalid WaveFormat: the equalizer takes 8-, 16-, 24-, 32-bit or 32-bit float samples"),
            std::string::npos)
      << r.err;
  EXPECT_NE(r.err.find("is 16-bit, 3 channels, 22050 Hz"), std::string::npos) << r.err;

  r = Cli("process " + Quote(dir / "missing.wav") + " " + Quote(dir / "out.wav"));
  EXPECT_EQ(r.code, 1);
  EXPECT_FALSE(fs::exists(dir / "out.wav"));
  r = Cli("process " + Quote(dir / "in.wav") + " " + Quote(dir / "no-such-folder" / "out.wav"));
  EXPECT_EQ(r.code, 1);
  r = Cli("preset show " + Quote(dir / "in.wav"));
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("Unable to load Object stream"), std::string::npos) << r.err;

  // Nothing but the named files is left behind in the folder.
  for (const auto& e : fs::directory_iterator(dir))
    EXPECT_EQ(e.path().filename().string().find(".strataeq-"), std::string::npos) << e.path();
}

TEST_F(CliProcess, UsageErrorsExitWithTwoAndTheUsageText) {
  for (const char* args : {"", "process onlyone.wav", "process a.wav b.wav --band 3=20", "process a.wav b.wav --fft 100"}) {
    const Result r = Cli(args);
    EXPECT_EQ(r.code, 2) << args;
    EXPECT_NE(r.err.find("usage:"), std::string::npos) << args;
  }
}

TEST_F(CliProcess, InfoPrintsFormatLengthAndPlayTime) {
  WriteWav(dir / "in.wav", StereoSines(500, 3000, 44100 * 61 / 2), 2);  // 30.5 s
  const std::string cmd = std::string(STRATAEQ_CLI) + " info " + Quote(dir / "in.wav");
  FILE* p = popen(cmd.c_str(), "r");
  std::string text;
  char buf[256];
  while (fgets(buf, sizeof buf, p)) text += buf;
  EXPECT_EQ(pclose(p), 0);
  for (const char* want : {"PCM", "44100 Hz", "bits:      16", "channels:  2", "5380200 bytes", "0:30.500"})
    EXPECT_NE(text.find(want), std::string::npos) << want << "\n" << text;
}

}  // namespace

namespace {

// The saved odd and malformed WAV files: each is either refused with exit 1 and a
// message or equalized into a valid file; nothing else (no crash, no hang).
TEST_F(CliProcess, OddAndMalformedWavFilesAreRefusedOrProcessedIntoValidFiles) {
  int processed = 0, refused = 0;
  for (const auto& entry : fs::directory_iterator(fs::path(STRATAEQ_SOURCE_DIR) / "fuzz" / "corpus" / "wav")) {
    const std::string name = entry.path().filename().string();
    const fs::path out = dir / ("out-" + name);
    const Result r = Cli("process " + Quote(entry.path()) + " " + Quote(out) + " -q");
    ASSERT_TRUE(r.code == 0 || r.code == 1) << name << " exit " << r.code << ": " << r.err;
    if (r.code == 1) {
      ++refused;
      EXPECT_FALSE(r.err.empty()) << name;
      EXPECT_FALSE(fs::exists(out)) << name;
      continue;
    }
    ++processed;
    const std::string bytes = FileBytes(out);
    ASSERT_GE(bytes.size(), 44u) << name;
    std::uint32_t riff = 0;
    std::memcpy(&riff, bytes.data() + 4, 4);
    EXPECT_EQ(riff + 8, bytes.size()) << name;
    if (std::system("command -v sox >/dev/null") == 0) {
      EXPECT_EQ(std::system(("sox -q " + Quote(out) + " -n stat 2>/dev/null").c_str()), 0) << name << " unreadable by sox";
    }
  }
  EXPECT_GT(processed, 0);
  EXPECT_GT(refused, 0);
}

}  // namespace

namespace {

// A disk that fills up during the run: nothing is committed, the file of that name stays
// byte for byte and the command line says why. Needs a small file system of its own
// (mounting needs root).
TEST_F(CliProcess, AFullDiskFailsTheRunAndLeavesTheOldFile) {
  const fs::path small = dir / "small";
  fs::create_directories(small);
  if (std::system(("mount -t tmpfs -o size=600k tmpfs " + Quote(small) + " 2>/dev/null").c_str()) != 0)
    GTEST_SKIP() << "cannot mount a small file system here (needs root)";
  WriteWav(dir / "in.wav", StereoSines(500, 3000, 44100 * 10), 2);
  { std::ofstream(small / "out.wav", std::ios::binary) << "the old take"; }
  // On one thread, and with the writing on a thread of its own.
  for (const std::string threads : {"1", "3"}) {
    const Result r = Cli("process " + Quote(dir / "in.wav") + " " + Quote(small / "out.wav") + " -q --threads " + threads);
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find("Unable to write " + (small / "out.wav").string() + ": the disk is full"), std::string::npos)
        << r.err;
    EXPECT_EQ(FileBytes(small / "out.wav"), "the old take");
    std::vector<std::string> entries;
    for (const auto& e : fs::directory_iterator(small)) entries.push_back(e.path().filename().string());
    EXPECT_EQ(entries, std::vector<std::string>{"out.wav"});
  }
  std::system(("umount " + Quote(small)).c_str());
}

}  // namespace
