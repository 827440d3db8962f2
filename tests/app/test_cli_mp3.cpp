// End to end: MP3 in and out through the command line.
#include <gtest/gtest.h>

#include <fstream>
#include <random>

#include "app/CliTestUtil.h"

namespace {

class CliMp3 : public CliTest {};

// One tone inside each of the fifteen bands.
const double kTones[] = {40, 90, 160, 400, 700, 900, 1500, 3000, 5000, 7000, 9000, 11000, 13000, 15000, 17000};

std::vector<std::int16_t> BandTones(int frames) {
  std::vector<std::int16_t> s(static_cast<std::size_t>(frames) * 2);
  for (int i = 0; i < frames; ++i) {
    double v = 0;
    for (double hz : kTones) v += 0.04 * std::sin(2 * M_PI * hz * i / 44100);
    s[2 * i] = s[2 * i + 1] = static_cast<std::int16_t>(std::lround(v * 32767));
  }
  return s;
}

// Tone levels in dB of b against a, measured over the same stretch in the middle.
std::vector<double> LevelChange(const std::vector<std::int16_t>& a, const std::vector<std::int16_t>& b) {
  const std::size_t from = 22050, count = 44100;
  std::vector<double> db;
  for (double hz : kTones)
    db.push_back(20 * std::log10(ToneAmplitude(b, 2, 0, hz, from, count) / ToneAmplitude(a, 2, 0, hz, from, count)));
  return db;
}

TEST_F(CliMp3, RoundTripKeepsEveryBandAndTheEqualizersEffect) {
  WriteWav(dir / "in.wav", BandTones(44100 * 3), 2);
  const auto in = ReadWavSamples(dir / "in.wav");

  ASSERT_EQ(Cli("process " + Quote(dir / "in.wav") + " " + Quote(dir / "flat.mp3") + " -q --bitrate 192").code, 0);
  ASSERT_EQ(Cli("process " + Quote(dir / "flat.mp3") + " " + Quote(dir / "flat.wav") + " -q").code, 0);
  const auto flat = LevelChange(in, ReadWavSamples(dir / "flat.wav"));
  for (std::size_t b = 0; b < flat.size(); ++b) EXPECT_NEAR(flat[b], 0, 1.0) << "band " << b + 1;
  // A sample size asked for is written from an MP3 too: 24 bits, the same frames.
  ASSERT_EQ(Cli("process " + Quote(dir / "flat.mp3") + " " + Quote(dir / "flat24.wav") + " -q --bits 24").code, 0);
  std::ifstream wide(dir / "flat24.wav", std::ios::binary);
  std::uint16_t bits = 0;
  wide.seekg(34).read(reinterpret_cast<char*>(&bits), 2);
  EXPECT_EQ(bits, 24);
  const double samples = static_cast<double>(ReadWavSamples(dir / "flat.wav").size());
  EXPECT_NEAR(static_cast<double>(fs::file_size(dir / "flat24.wav")), 3 * samples, 100);

  // The same cut through WAV alone and through MP3: the codec keeps what the
  // equalizer did, band by band.
  const std::string cut = " -q --band 8=-20 --fft 1024";
  ASSERT_EQ(Cli("process " + Quote(dir / "in.wav") + " " + Quote(dir / "direct.wav") + cut).code, 0);
  ASSERT_EQ(Cli("process " + Quote(dir / "in.wav") + " " + Quote(dir / "cut.mp3") + cut + " --bitrate 192").code, 0);
  ASSERT_EQ(Cli("process " + Quote(dir / "cut.mp3") + " " + Quote(dir / "cut.wav") + " -q").code, 0);
  const auto direct = LevelChange(in, ReadWavSamples(dir / "direct.wav"));
  const auto viaMp3 = LevelChange(in, ReadWavSamples(dir / "cut.wav"));
  EXPECT_NEAR(direct[7], -20, 0.5);
  for (std::size_t b = 0; b < viaMp3.size(); ++b) EXPECT_NEAR(viaMp3[b], direct[b], 1.0) << "band " << b + 1;
}

// The decoded length is a whole number of the trigger's buffers (92160 samples, the
// encoder's delay and padding trimmed, are 45 buffers of 8192 bytes): the read that
// takes the last samples must end the stream, or the next load finds nothing.
TEST_F(CliMp3, AStreamEndingOnABufferBoundaryDecodesCompletely) {
  WriteWav(dir / "in.wav", BandTones(92160), 2);
  ASSERT_EQ(Cli("process " + Quote(dir / "in.wav") + " " + Quote(dir / "a.mp3") + " -q").code, 0);
  FILE* p = popen((std::string(STRATAEQ_CLI) + " info " + Quote(dir / "a.mp3")).c_str(), "r");
  std::string info;
  char buf[256];
  while (fgets(buf, sizeof buf, p)) info += buf;
  pclose(p);
  ASSERT_NE(info.find("length:    92160 samples\n"), std::string::npos) << info;
  const Result r = Cli("process " + Quote(dir / "a.mp3") + " " + Quote(dir / "a.wav") + " -q");
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(ReadWavSamples(dir / "a.wav").size(), 92160u * 2);
}

// WAV -> MP3 -> WAV gives back the input's length through every decoder that reads the
// Info tag: ours, mpg123 and ffmpeg; at 32..56 kbit/s too, whose frames cannot hold it.
TEST_F(CliMp3, AnMp3WrittenHereDecodesToExactlyTheInputsLength) {
  const bool tools = std::system("command -v mpg123 >/dev/null && command -v ffmpeg >/dev/null") == 0;
  struct Case {
    int rate, channels, frames, kbps = 128;
  };
  for (const Case k : {Case{44100, 2, 88064}, Case{48000, 1, 12345}, Case{32000, 2, 1151}, Case{44100, 2, 1},
                       Case{44100, 2, 44100, 32}, Case{44100, 1, 44100, 48}, Case{32000, 2, 32000, 40}}) {
    const std::string what = std::to_string(k.rate) + " Hz, " + std::to_string(k.channels) + " ch, " +
                             std::to_string(k.frames) + " frames, " + std::to_string(k.kbps) + " kbit/s";
    std::vector<std::int16_t> s(static_cast<std::size_t>(k.frames * k.channels));
    for (std::size_t i = 0; i < s.size(); ++i) s[i] = static_cast<std::int16_t>(8000 * std::sin(0.05 * static_cast<double>(i)));
    WriteWav(dir / "in.wav", s, k.channels, k.rate);
    ASSERT_EQ(Cli("process " + Quote(dir / "in.wav") + " " + Quote(dir / "a.mp3") + " -q --bitrate " + std::to_string(k.kbps)).code, 0);
    ASSERT_EQ(Cli("process " + Quote(dir / "a.mp3") + " " + Quote(dir / "ours.wav") + " -q").code, 0) << what;
    EXPECT_EQ(ReadWavSamples(dir / "ours.wav").size(), s.size()) << what;

    FILE* p = popen((std::string(STRATAEQ_CLI) + " info " + Quote(dir / "a.mp3")).c_str(), "r");
    std::string info;
    char buf[256];
    while (fgets(buf, sizeof buf, p)) info += buf;
    pclose(p);
    EXPECT_NE(info.find("length:    " + std::to_string(k.frames) + " samples\n"), std::string::npos) << info;

    if (!tools) continue;
    ASSERT_EQ(std::system(("mpg123 -q -w " + Quote(dir / "mpg123.wav") + " " + Quote(dir / "a.mp3")).c_str()), 0);
    EXPECT_EQ(ReadWavSamples(dir / "mpg123.wav").size(), s.size()) << what << " through mpg123";
    ASSERT_EQ(std::system(("ffmpeg -v error -y -i " + Quote(dir / "a.mp3") + " " + Quote(dir / "ffmpeg.wav")).c_str()), 0);
    EXPECT_EQ(ReadWavSamples(dir / "ffmpeg.wav").size(), s.size()) << what << " through ffmpeg";
  }
  if (!tools) GTEST_SKIP() << "mpg123 or ffmpeg is not installed (scripts/setup.sh installs them): only our decoder was checked";
}

TEST_F(CliMp3, Mp3ToMp3AndTheWaveContainer) {
  WriteWav(dir / "in.wav", BandTones(44100), 2);
  ASSERT_EQ(Cli("process " + Quote(dir / "in.wav") + " " + Quote(dir / "a.mp3") + " -q").code, 0);
  ASSERT_EQ(Cli("process " + Quote(dir / "a.mp3") + " " + Quote(dir / "b.mp3") + " -q --mp3-container wav --bitrate 128").code, 0);
  const std::string b = FileBytes(dir / "b.mp3");
  ASSERT_GT(b.size(), 60u);
  EXPECT_EQ(b.substr(0, 4), "RIFF");
  std::uint16_t tag = 0;
  std::memcpy(&tag, b.data() + 20, 2);
  EXPECT_EQ(tag, 0x55);
}

TEST_F(CliMp3, BrokenMp3sFailCleanlyOrEndCleanly) {
  WriteWav(dir / "in.wav", BandTones(44100 * 2), 2);
  ASSERT_EQ(Cli("process " + Quote(dir / "in.wav") + " " + Quote(dir / "good.mp3") + " -q").code, 0);
  const std::string good = FileBytes(dir / "good.mp3");
  std::mt19937 rng(7);
  std::string noise(20000, '\0');
  for (char& c : noise) c = static_cast<char>(rng());
  std::string id3 = "ID3\x03";
  id3 += std::string("\0\0\0\0\x10\0", 6);
  id3 += std::string(2048, '\0');
  const std::vector<std::pair<std::string, std::string>> refused{
      {"noise.mp3", noise}, {"tag-only.mp3", id3}, {"wave.mp3", FileBytes(dir / "in.wav")}, {"empty.mp3", ""}};
  for (const auto& [name, bytes] : refused) {
    std::ofstream(dir / name, std::ios::binary) << bytes;
    const Result r = Cli("process " + Quote(dir / name) + " " + Quote(dir / "out.wav") + " -q");
    EXPECT_EQ(r.code, 1) << name;
    EXPECT_NE(r.err.find("This is not a valid MPEG Layer 3 file !"), std::string::npos) << name << ": " << r.err;
    EXPECT_FALSE(fs::exists(dir / "out.wav")) << name;
  }
  // A rate the encoder cannot take is refused before the run, saying why.
  WriteWav(dir / "slow.wav", BandTones(22050), 2, 22050);
  const Result slow = Cli("process " + Quote(dir / "slow.wav") + " " + Quote(dir / "slow.mp3") + " -q");
  EXPECT_EQ(slow.code, 1);
  EXPECT_NE(slow.err.find("Unsupported Input Format: MP3 output takes 32000, 44100 or 48000 Hz"), std::string::npos)
      << slow.err;
  EXPECT_FALSE(fs::exists(dir / "slow.mp3"));

  // Cut in the middle of a frame: the frames before the cut come out.
  std::ofstream(dir / "cut.mp3", std::ios::binary) << good.substr(0, good.size() / 2 + 211);
  const Result r = Cli("process " + Quote(dir / "cut.mp3") + " " + Quote(dir / "cut.wav") + " -q");
  EXPECT_EQ(r.code, 0) << r.err;
  const auto cut = ReadWavSamples(dir / "cut.wav");
  EXPECT_GT(cut.size(), 44100u * 2 * 8 / 10);
  EXPECT_LT(cut.size(), 44100u * 2 * 12 / 10);
}

TEST_F(CliMp3, InfoDescribesTheStream) {
  WriteWav(dir / "in.wav", BandTones(44100), 2);
  ASSERT_EQ(Cli("process " + Quote(dir / "in.wav") + " " + Quote(dir / "a.mp3") + " -q --bitrate 160").code, 0);
  const std::string cmd = std::string(STRATAEQ_CLI) + " info " + Quote(dir / "a.mp3");
  FILE* p = popen(cmd.c_str(), "r");
  std::string text;
  char buf[256];
  while (fgets(buf, sizeof buf, p)) text += buf;
  EXPECT_EQ(pclose(p), 0);
  for (const char* want : {"MPEG 1 layer 3", "44100 Hz", "160 kbit/s", "frames:", "play time: 0:01."})
    EXPECT_NE(text.find(want), std::string::npos) << want << "\n" << text;
}

}  // namespace
