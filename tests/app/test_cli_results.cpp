// What comes out is what was asked for, or the command line says why not: odd inputs
// and settings the filter cannot follow.
#include <gtest/gtest.h>

#include <csignal>

#include <limits>

#include "app/CliTestUtil.h"
#include "eq/MMEQ.h"

using namespace strataeq;

namespace {

class CliResults : public CliTest {};

void Put(std::string& s, std::size_t at, std::uint32_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) s[at + static_cast<std::size_t>(i)] = static_cast<char>(v >> (8 * i));
}

// A mono WAV file of 16-bit or 32-bit float samples.
std::string Wav(const std::vector<float>& v, bool isFloat, std::uint32_t rate = 44100) {
  std::string s(44, '\0'), d;
  for (float x : v) {
    const auto i = static_cast<std::int16_t>(std::lround(x * 32767));
    d.append(isFloat ? reinterpret_cast<const char*>(&x) : reinterpret_cast<const char*>(&i), isFloat ? 4 : 2);
  }
  const std::uint32_t b = isFloat ? 4 : 2;
  s.replace(0, 4, "RIFF"), s.replace(8, 8, "WAVEfmt "), s.replace(36, 4, "data");
  for (auto [at, v, n] : {std::tuple{4, 36 + d.size(), 4}, {16, 16, 4}, {20, isFloat ? 3 : 1, 2}, {22, 1, 2}, {24, rate, 4},
                          {28, rate * b, 4}, {32, b, 2}, {34, 8 * b, 2}, {40, d.size(), 4}})
    Put(s, static_cast<std::size_t>(at), static_cast<std::uint32_t>(v), n);
  return s + d;
}

std::vector<float> Floats(const fs::path& p) {
  const std::string b = FileBytes(p);
  std::uint32_t size = 0;
  std::memcpy(&size, b.data() + b.find("data") + 4, 4);
  std::vector<float> v(size / 4);
  std::memcpy(v.data(), b.data() + b.find("data") + 8, v.size() * 4);
  return v;
}

// stdout and stderr of a run.
std::string Out(const std::string& args) {
  FILE* p = popen((std::string(STRATAEQ_CLI) + " " + args + " 2>&1").c_str(), "r");
  std::string text;
  for (char buf[512]; fgets(buf, sizeof buf, p);) text += buf;
  pclose(p);
  return text;
}

std::vector<float> Sine(double hz, std::size_t n, float amp = 0.25f, double rate = 44100) {
  std::vector<float> v(n);
  for (std::size_t i = 0; i < n; ++i) v[i] = amp * static_cast<float>(std::sin(2 * M_PI * hz * double(i) / rate));
  return v;
}

}  // namespace

// One NaN filled a filter block with NaN, and 16-bit output made that full scale.
TEST_F(CliResults, NonFiniteSamplesAreSilenceAndCounted) {
  auto in = Sine(440, 44100);
  in[10000] = std::numeric_limits<float>::quiet_NaN();
  in[20000] = std::numeric_limits<float>::infinity();
  in[30000] = -std::numeric_limits<float>::infinity();
  std::ofstream(dir / "in.wav", std::ios::binary) << Wav(in, true);
  const Result r = Cli("process " + Quote(dir / "in.wav") + " " + Quote(dir / "f.wav") + " -q");
  EXPECT_NE(r.err.find("in.wav: 3 samples were NaN or infinite: taken as silence"), std::string::npos) << r.err;
  for (float v : Floats(dir / "f.wav")) ASSERT_TRUE(std::abs(v) < 0.3f) << v;
  ASSERT_EQ(Cli("process " + Quote(dir / "in.wav") + " " + Quote(dir / "i.wav") + " -q --bits 16").code, 0);
  for (std::int16_t v : ReadWavSamples(dir / "i.wav")) ASSERT_LT(std::abs(v), 10000);
}

// A .sqp band at +200 dB was shown and applied (float samples reached 7.6e8).
TEST_F(CliResults, PresetGainsBeyondTheRangeAreClampedNamingTheBand) {
  TMMEqualizer eq;
  LoadDefaultBandList(*eq.Filters());
  eq.Filters()->Band(1)->SetBandValue(2, 200.0f);
  eq.Filters()->SaveToFile((dir / "wild.sqp").string());
  const std::string show = Out("preset show " + Quote(dir / "wild.sqp"));
  EXPECT_NE(show.find("band 2 (60 Hz - 120 Hz) is 200.0 dB, outside -99 .. 16 dB: clamped to 16 dB"), std::string::npos) << show;
  EXPECT_EQ(show.find("+200.0 dB"), std::string::npos) << show;
  std::ofstream(dir / "in.wav", std::ios::binary) << Wav(Sine(90, 44100, 0.1f), true);
  ASSERT_EQ(Cli("process " + Quote(dir / "in.wav") + " " + Quote(dir / "o.wav") + " -q --fft 1024 --preset " + Quote(dir / "wild.sqp")).code, 0);
  for (float v : Floats(dir / "o.wav")) ASSERT_LT(std::abs(v), 0.7f);  // 0.1 raised by 16 dB at most
}

// An undercounting RIFF size dropped the frames past it; a size of 0 refused the file.
TEST_F(CliResults, ARiffSizeThatUndercountsCutsNothing) {
  const std::string good = Wav(Sine(300, 44100), false);
  for (const std::uint32_t riff : {static_cast<std::uint32_t>(good.size() - 8 - 1000), 100u, 0u}) {
    std::string bytes = good;
    Put(bytes, 4, riff, 4);
    std::ofstream(dir / "in.wav", std::ios::binary) << bytes;
    EXPECT_NE(Out("info " + Quote(dir / "in.wav")).find("data:      88200 bytes"), std::string::npos) << riff;
    ASSERT_EQ(Cli("process " + Quote(dir / "in.wav") + " " + Quote(dir / "o.wav") + " -q").code, 0) << riff;
    EXPECT_EQ(ReadWavSamples(dir / "o.wav").size(), 44100u) << riff;
  }
}

// --help per command, "--", play stopped by a signal, an option that would be ignored, and
// an unreadable input named with the reason.
TEST_F(CliResults, CommandLineConventions) {
  EXPECT_EQ(Cli("process --help").code, 0);
  const std::string usage = Out("process --help");
  EXPECT_NE(usage.find("strataeq-cli process INPUT OUTPUT"), std::string::npos) << usage;
  EXPECT_EQ(usage.find("strataeq-cli info"), std::string::npos) << usage;
  EXPECT_EQ(Cli("preset import -h").code, 0);

  WriteWav(dir / "-in.wav", StereoSines(500, 700, 4410), 2);
  const std::string here = "cd " + Quote(dir) + " && " + STRATAEQ_CLI;
  EXPECT_EQ(WEXITSTATUS(std::system((here + " process -q -- -in.wav -out.wav").c_str())), 0);
  EXPECT_EQ(ReadWavSamples(dir / "-out.wav").size(), 4410u * 2);
  EXPECT_EQ(Cli("process " + Quote(dir / "-in.wav") + " " + Quote(dir / "o.wav") + " --mp3-container wav").code, 2);

  const Result missing = Cli("info " + Quote(dir / "gone.wav"));
  EXPECT_NE(missing.err.find((dir / "gone.wav").string() + ": No such file or directory"), std::string::npos) << missing.err;

  WriteWav(dir / "long.wav", StereoSines(500, 700, 44100 * 30), 2);
  const std::string play = "STRATAEQ_AUDIO=virtual " + std::string(STRATAEQ_CLI) + " play long.wav --out 1 2>/dev/null & ";
  const int status = std::system(("cd " + Quote(dir) + " && " + play + "sleep 2; kill -TERM $!; wait $!").c_str());
  EXPECT_EQ(WEXITSTATUS(status), 128 + SIGTERM);  // stopped by a signal: 128 + its number
}

// info said "3 (mono)", read 12 bits in 16 as 12-bit frames, gave a cut MP3's length as
// exact, and accepted an MP3 that process refused.
TEST_F(CliResults, InfoTellsWhatTheFileHolds) {
  std::string three = Wav(std::vector<float>(44100 * 3), false);
  for (auto [at, v] : {std::pair{22, 3}, {28, 44100 * 6}, {32, 6}}) Put(three, at, v, at == 28 ? 4 : 2);
  std::ofstream(dir / "three.wav", std::ios::binary) << three;
  EXPECT_NE(Out("info " + Quote(dir / "three.wav")).find("channels:  3\n"), std::string::npos);
  std::string twelve = Wav(std::vector<float>(44100 * 2), false);
  for (auto [at, v] : {std::pair{22, 2}, {28, 44100 * 3}, {32, 4}, {34, 12}}) Put(twelve, at, v, at == 28 ? 4 : 2);
  std::ofstream(dir / "twelve.wav", std::ios::binary) << twelve;
  EXPECT_NE(Out("info " + Quote(dir / "twelve.wav")).find("play time: 0:01.000"), std::string::npos);

  WriteWav(dir / "in.wav", StereoSines(500, 700, 44100), 2);
  WriteWav(dir / "other.wav", StereoSines(500, 700, 48000), 2, 48000);
  ASSERT_EQ(Cli("process " + Quote(dir / "in.wav") + " " + Quote(dir / "a.mp3") + " -q").code, 0);
  ASSERT_EQ(Cli("process " + Quote(dir / "other.wav") + " " + Quote(dir / "b.mp3") + " -q").code, 0);
  const std::string whole = FileBytes(dir / "a.mp3");
  std::ofstream(dir / "cut.mp3", std::ios::binary) << whole.substr(0, whole.size() / 3);
  ASSERT_EQ(Cli("process " + Quote(dir / "cut.mp3") + " " + Quote(dir / "cut.wav") + " -q").code, 0);
  const std::string c = Out("info " + Quote(dir / "cut.mp3"));
  EXPECT_NE(c.find("length:    " + std::to_string(ReadWavSamples(dir / "cut.wav").size() / 2) + " samples (decoded;"),
            std::string::npos) << c;
  EXPECT_NE(c.find("the file is cut short or damaged"), std::string::npos) << c;
  std::ofstream(dir / "joined.mp3", std::ios::binary) << whole + FileBytes(dir / "b.mp3");
  EXPECT_EQ(Cli("process " + Quote(dir / "joined.mp3") + " " + Quote(dir / "j.wav") + " -q").code, 1);
  EXPECT_NE(Cli("info " + Quote(dir / "joined.mp3")).err.find("Sample rate or channels change"), std::string::npos);
}

// Settings the filter cannot follow were silent: FFT 4096 filtered exactly as 1024, band 1
// at +6 dB moved 30 Hz by -0.02 dB at FFT 256 (+1.9 dB at 1024), and at 192 kHz all
// above 22 kHz passed at 0 dB with every band at -99. Each is said once.
TEST_F(CliResults, NotesSayWhatTheFilterCannotDo) {
  WriteWav(dir / "in.wav", StereoSines(500, 700, 4410), 2);
  const std::string run = "process " + Quote(dir / "in.wav") + " " + Quote(dir / "o.wav") + " -q";
  EXPECT_NE(Cli(run + " --fft 4096").err.find("note: FFT length 4096 filters as 1024"), std::string::npos);
  EXPECT_NE(Out("--help").find("filters as 1024"), std::string::npos);

  const std::string low = Cli(run + " --band 1=6 --band 7=-20").err;
  EXPECT_NE(low.find("note: band 1 (0 Hz - 60 Hz) at +6.0 dB gives "), std::string::npos) << low;
  EXPECT_NE(low.find("with FFT length 256: no FFT length reaches it (1024, the longest the filter uses, gives +1.9 dB)"),
            std::string::npos) << low;
  EXPECT_NE(low.find("note: band 7 (1.0 kHz - 2.0 kHz) at -20.0 dB gives -14.5 dB at its centre with FFT length 256: "
                     "FFT length 512 reaches it"), std::string::npos) << low;
  EXPECT_EQ(low.find("note: band 1", low.find("note: band 1") + 1), std::string::npos) << low;
  EXPECT_EQ(Cli(run + " --band 4=6 --band 8=-20 --fft 1024").err, "");

  std::ofstream(dir / "hi.wav", std::ios::binary) << Wav(Sine(440, 19200, 0.1f, 192000), true, 192000);
  const std::string gains = " --gains -99,-99,-99,-99,-99,-99,-99,-99,-99,-99,-99,-99,-99,-99,-99";
  EXPECT_NE(Cli("process " + Quote(dir / "hi.wav") + " " + Quote(dir / "o.wav") + " -q" + gains).err.find(
                "note: the bands end at 22 kHz: above that, up to 96 kHz at 192000 Hz, the sound passes unchanged"),
            std::string::npos);
  EXPECT_EQ(Cli(run + gains).err.find("the bands end"), std::string::npos);
}
