// What comes out is what was asked for, or the command line says why not: odd inputs
// (non-finite samples, wild preset gains, wrong RIFF sizes) and settings the filter
// cannot follow.
#include <gtest/gtest.h>

#include <signal.h>
#include <spawn.h>

#include <limits>

#include "app/CliTestUtil.h"
#include "eq/MMEQ.h"
#include "eq/MMObjLst.h"

using namespace strataeq;

namespace {

class CliResults : public CliTest {};

void PutLe(std::string& s, std::uint32_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) s.push_back(static_cast<char>(v >> (8 * i)));
}

// A plain WAV file: tag 1 (PCM) or 3 (float), the data as given.
std::string WavBytes(int tag, int channels, int rate, int bits, const std::string& data) {
  std::string s = "RIFF";
  PutLe(s, static_cast<std::uint32_t>(36 + data.size()), 4);
  s += "WAVEfmt ";
  PutLe(s, 16, 4);
  PutLe(s, static_cast<std::uint32_t>(tag), 2);
  PutLe(s, static_cast<std::uint32_t>(channels), 2);
  PutLe(s, static_cast<std::uint32_t>(rate), 4);
  PutLe(s, static_cast<std::uint32_t>(rate * channels * bits / 8), 4);
  PutLe(s, static_cast<std::uint32_t>(channels * bits / 8), 2);
  PutLe(s, static_cast<std::uint32_t>(bits), 2);
  s += "data";
  PutLe(s, static_cast<std::uint32_t>(data.size()), 4);
  return s + data;
}

std::string FloatData(const std::vector<float>& v) {
  return std::string(reinterpret_cast<const char*>(v.data()), v.size() * sizeof(float));
}

// The "data" chunk of a WAV file as floats (float files) or as 16-bit samples scaled to 1.0.
std::vector<double> DataSamples(const fs::path& p, bool isFloat) {
  const std::string b = FileBytes(p);
  const std::size_t at = b.find("data");
  std::vector<double> out;
  if (at == std::string::npos) return out;
  std::uint32_t size;
  std::memcpy(&size, b.data() + at + 4, 4);
  const std::size_t end = std::min<std::size_t>(b.size(), at + 8 + size);
  for (std::size_t i = at + 8; i + (isFloat ? 4 : 2) <= end; i += isFloat ? 4 : 2) {
    if (isFloat) {
      float v;
      std::memcpy(&v, b.data() + i, 4);
      out.push_back(v);
    } else {
      std::int16_t v;
      std::memcpy(&v, b.data() + i, 2);
      out.push_back(v / 32768.0);
    }
  }
  return out;
}

std::string CliText(const std::string& args) {
  FILE* p = popen((std::string(STRATAEQ_CLI) + " " + args + " 2>&1").c_str(), "r");
  std::string text;
  char buf[512];
  while (fgets(buf, sizeof buf, p)) text += buf;
  pclose(p);
  return text;
}

}  // namespace

// One NaN or infinity used to fill a whole filter block (384 frames at FFT 256) with
// NaN, and integer output turned those into full-scale -1.0: they are silence now,
// counted once.
TEST_F(CliResults, NonFiniteSamplesAreFilteredAsSilenceAndCounted) {
  std::vector<float> in(44100);
  for (std::size_t i = 0; i < in.size(); ++i) in[i] = 0.25f * static_cast<float>(std::sin(2 * M_PI * 440 * double(i) / 44100));
  in[10000] = std::numeric_limits<float>::quiet_NaN();
  in[20000] = std::numeric_limits<float>::infinity();
  in[30000] = -std::numeric_limits<float>::infinity();
  std::ofstream(dir / "in.wav", std::ios::binary) << WavBytes(3, 1, 44100, 32, FloatData(in));
  for (const std::string bits : {"32f", "16", "24"}) {
    const fs::path out = dir / ("out" + bits + ".wav");
    const Result r = Cli("process " + Quote(dir / "in.wav") + " " + Quote(out) + " -q --bits " + bits);
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.err.find("in.wav: 3 samples were NaN or infinite: taken as silence"), std::string::npos) << r.err;
    if (bits == "24") continue;  // only its exit and message: 24-bit data is not read back here
    const auto s = DataSamples(out, bits == "32f");
    ASSERT_EQ(s.size(), in.size()) << bits;
    double peak = 0;
    for (double v : s) {
      ASSERT_TRUE(std::isfinite(v)) << bits;
      peak = std::max(peak, std::abs(v));
    }
    EXPECT_LT(peak, 0.3) << bits;
  }
}

// A .sqp stores gains as plain floats: +200 dB was shown and applied (float samples
// reached 7.6e8). Loading holds each band to -99..16 dB and names it.
TEST_F(CliResults, PresetGainsBeyondTheRangeAreClampedNamingTheBand) {
  {
    TMMEqualizer eq;
    LoadDefaultBandList(*eq.Filters());
    eq.Filters()->Band(1)->SetBandValue(2, 200.0f);
    eq.Filters()->Band(9)->SetBandValue(2, -500.0f);
    eq.Filters()->SaveToFile((dir / "wild.sqp").string());
  }
  const std::string show = CliText("preset show " + Quote(dir / "wild.sqp"));
  EXPECT_NE(show.find("band 2 (60 Hz - 120 Hz) is 200.0 dB, outside -99 .. 16 dB: clamped to 16 dB"), std::string::npos) << show;
  EXPECT_NE(show.find("band 10 "), std::string::npos) << show;
  EXPECT_EQ(show.find("+200.0 dB"), std::string::npos) << show;
  EXPECT_NE(show.find("+16.0 dB"), std::string::npos) << show;
  EXPECT_NE(show.find("-99.0 dB"), std::string::npos) << show;

  std::vector<float> in(44100);
  for (std::size_t i = 0; i < in.size(); ++i) in[i] = 0.1f * static_cast<float>(std::sin(2 * M_PI * 90 * double(i) / 44100));
  std::ofstream(dir / "in.wav", std::ios::binary) << WavBytes(3, 1, 44100, 32, FloatData(in));
  const Result r = Cli("process " + Quote(dir / "in.wav") + " " + Quote(dir / "out.wav") + " -q --fft 1024 --preset " +
                       Quote(dir / "wild.sqp"));
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.err.find("band 2 (60 Hz - 120 Hz) is 200.0 dB"), std::string::npos) << r.err;
  double peak = 0;
  for (double v : DataSamples(dir / "out.wav", true)) peak = std::max(peak, std::abs(v));
  EXPECT_GT(peak, 0.15);  // raised, but by 16 dB at most: 0.1 becomes 0.63 or less
  EXPECT_LT(peak, 0.7);
}

// A RIFF size that undercounts (or is 0) cut the data short or refused the file; the
// data chunk runs to its own end, as other readers take it.
TEST_F(CliResults, ARiffSizeThatUndercountsCutsNothing) {
  std::vector<std::int16_t> in(44100);
  for (std::size_t i = 0; i < in.size(); ++i) in[i] = static_cast<std::int16_t>(8000 * std::sin(0.03 * double(i)));
  const std::string good = WavBytes(1, 1, 44100, 16, std::string(reinterpret_cast<const char*>(in.data()), in.size() * 2));
  const std::uint32_t trueSize = static_cast<std::uint32_t>(good.size() - 8);
  for (const std::uint32_t riff : {trueSize - 1000, 100u, 0u}) {
    std::string bytes = good;
    std::memcpy(bytes.data() + 4, &riff, 4);
    std::ofstream(dir / "in.wav", std::ios::binary) << bytes;
    const std::string what = "RIFF size " + std::to_string(riff);
    EXPECT_NE(CliText("info " + Quote(dir / "in.wav")).find("data:      88200 bytes"), std::string::npos) << what;
    const Result r = Cli("process " + Quote(dir / "in.wav") + " " + Quote(dir / "out.wav") + " -q");
    ASSERT_EQ(r.code, 0) << what << ": " << r.err;
    EXPECT_EQ(ReadWavSamples(dir / "out.wav").size(), in.size()) << what;
  }
}

// Command-line conventions: a command's --help, "--" before file names, play stopped
// by a signal, an option that would be ignored, and inputs that cannot be read.
TEST_F(CliResults, CommandLineConventions) {
  const Result help = Cli("process --help");
  EXPECT_EQ(help.code, 0) << help.err;
  const std::string usage = CliText("process --help");
  EXPECT_NE(usage.find("strataeq-cli process INPUT OUTPUT"), std::string::npos) << usage;
  EXPECT_NE(usage.find("--bits"), std::string::npos) << usage;
  EXPECT_EQ(usage.find("strataeq-cli info"), std::string::npos) << usage;
  EXPECT_EQ(usage.find("--desktop"), std::string::npos) << usage;
  for (const char* command : {"info -h", "preset import --help", "live --help", "play --help", "record --help"})
    EXPECT_EQ(Cli(command).code, 0) << command;

  WriteWav(dir / "-in.wav", StereoSines(500, 700, 4410), 2);
  // Relative names beginning with '-', run inside the folder.
  const int rc = std::system(("cd " + Quote(dir) + " && " + STRATAEQ_CLI + " process -q -- -in.wav -out.wav 2>/dev/null").c_str());
  EXPECT_EQ(WEXITSTATUS(rc), 0);
  EXPECT_EQ(ReadWavSamples(dir / "-out.wav").size(), 4410u * 2);

  const Result container = Cli("process " + Quote(dir / "-in.wav") + " " + Quote(dir / "out.wav") + " --mp3-container wav");
  EXPECT_EQ(container.code, 2);
  EXPECT_NE(container.err.find("--mp3-container wav"), std::string::npos) << container.err;
  EXPECT_FALSE(fs::exists(dir / "out.wav"));

  const Result missing = Cli("process " + Quote(dir / "gone.wav") + " " + Quote(dir / "o.wav"));
  EXPECT_EQ(missing.code, 1);
  EXPECT_NE(missing.err.find((dir / "gone.wav").string() + ": No such file or directory"), std::string::npos) << missing.err;
  std::ofstream(dir / "empty.wav").close();
  for (const std::string& command : {"process " + Quote(dir / "empty.wav") + " " + Quote(dir / "o.wav"), "info " + Quote(dir / "empty.wav"),
                                    "info " + Quote(dir / "gone.wav")}) {
    const Result r = Cli(command);
    EXPECT_EQ(r.code, 1) << command;
    EXPECT_NE(r.err.find(dir.string()), std::string::npos) << command << ": " << r.err;
  }

  // play ends with 130 when a signal stops it, as process does.
  WriteWav(dir / "long.wav", StereoSines(500, 700, 44100 * 30), 2);
  const std::string cli = STRATAEQ_CLI, file = (dir / "long.wav").string();
  std::vector<char*> argv{const_cast<char*>(cli.c_str()), const_cast<char*>("play"), const_cast<char*>(file.c_str()),
                          const_cast<char*>("--out"), const_cast<char*>("1"), nullptr};
  std::vector<std::string> env{"STRATAEQ_AUDIO=virtual"};
  for (char** e = environ; *e; ++e) env.emplace_back(*e);
  std::vector<char*> envp;
  for (std::string& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  pid_t pid = -1;
  ASSERT_EQ(posix_spawn(&pid, cli.c_str(), nullptr, nullptr, argv.data(), envp.data()), 0);
  usleep(2000000);  // playing by now
  kill(pid, SIGTERM);
  int status = 0;
  waitpid(pid, &status, 0);
  ASSERT_TRUE(WIFEXITED(status)) << "ended by the signal itself";
  EXPECT_EQ(WEXITSTATUS(status), 130);
}

// info told wrong stories: "3 (mono)", a 12-bit file's play time from its byte rate, a
// cut MP3's length as exact, and an MP3 that process then refused.
TEST_F(CliResults, InfoTellsWhatTheFileHolds) {
  std::string three(44100 * 3 * 2, '\0');
  std::ofstream(dir / "three.wav", std::ios::binary) << WavBytes(1, 3, 44100, 16, three);
  const std::string t = CliText("info " + Quote(dir / "three.wav"));
  EXPECT_NE(t.find("channels:  3\n"), std::string::npos) << t;
  EXPECT_NE(t.find("play time: 0:01.000"), std::string::npos) << t;

  // 12 valid bits in 16-bit samples, one second of stereo; the header's byte rate counts 12 bits.
  std::string twelve = WavBytes(1, 2, 44100, 16, std::string(44100 * 4, '\0'));
  const std::uint16_t bits = 12;
  const std::uint32_t rate12 = 44100 * 2 * 12 / 8;
  std::memcpy(twelve.data() + 34, &bits, 2);
  std::memcpy(twelve.data() + 28, &rate12, 4);
  std::ofstream(dir / "twelve.wav", std::ios::binary) << twelve;
  const std::string w = CliText("info " + Quote(dir / "twelve.wav"));
  EXPECT_NE(w.find("play time: 0:01.000"), std::string::npos) << w;

  WriteWav(dir / "in.wav", StereoSines(500, 700, 44100), 2);
  ASSERT_EQ(Cli("process " + Quote(dir / "in.wav") + " " + Quote(dir / "a.mp3") + " -q").code, 0);
  const std::string whole = FileBytes(dir / "a.mp3");
  std::ofstream(dir / "cut.mp3", std::ios::binary) << whole.substr(0, whole.size() / 3);
  ASSERT_EQ(Cli("process " + Quote(dir / "cut.mp3") + " " + Quote(dir / "cut.wav") + " -q").code, 0);
  const std::size_t decoded = ReadWavSamples(dir / "cut.wav").size() / 2;
  const std::string c = CliText("info " + Quote(dir / "cut.mp3"));
  EXPECT_LT(decoded, 44100u / 3);
  EXPECT_NE(c.find("length:    " + std::to_string(decoded) + " samples (decoded; its headers promise "), std::string::npos) << c;
  EXPECT_NE(c.find("the file is cut short or damaged"), std::string::npos) << c;

  // A second stream at another rate appended: process refuses it, and so does info.
  WriteWav(dir / "other.wav", StereoSines(500, 700, 48000), 2, 48000);
  ASSERT_EQ(Cli("process " + Quote(dir / "other.wav") + " " + Quote(dir / "b.mp3") + " -q").code, 0);
  std::ofstream(dir / "joined.mp3", std::ios::binary) << whole + FileBytes(dir / "b.mp3");
  const Result p = Cli("process " + Quote(dir / "joined.mp3") + " " + Quote(dir / "j.wav") + " -q");
  const Result i = Cli("info " + Quote(dir / "joined.mp3"));
  EXPECT_EQ(p.code, 1);
  EXPECT_EQ(i.code, 1);
  EXPECT_NE(i.err.find("joined.mp3: Sample rate or channels change inside the stream"), std::string::npos) << i.err;
}

std::size_t Count(const std::string& text, const std::string& what) {
  std::size_t n = 0;
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// FFT 2048 and 4096 filter exactly as 1024: the command line says so where it is asked
// for, and where it shows the length.
TEST_F(CliResults, LengthsBeyondTheFilterAreSaidToFilterAs1024) {
  WriteWav(dir / "in.wav", StereoSines(500, 700, 4410), 2);
  const Result r = Cli("process " + Quote(dir / "in.wav") + " " + Quote(dir / "o.wav") + " -q --fft 4096");
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(Count(r.err, "note: FFT length 4096 filters as 1024"), 1u) << r.err;
  EXPECT_NE(CliText("--help").find("filters as 1024"), std::string::npos);
  ASSERT_EQ(Cli("preset write " + Quote(dir / "long.sqp") + " --fft 2048").code, 0);
  EXPECT_NE(CliText("preset show " + Quote(dir / "long.sqp")).find("FFT length:  2048 (filters as 1024)"), std::string::npos);
  EXPECT_EQ(Cli("process " + Quote(dir / "in.wav") + " " + Quote(dir / "o.wav") + " -q --fft 1024").err.find("note:"),
            std::string::npos);
}

// A band that owns no bin, or too few for its gain, did nothing without a word
// (--band 1=6 moved 30 Hz by -0.02 dB at FFT 256): the note names it and what reaches it.
TEST_F(CliResults, BandsTheFilterCannotReachAreNamed) {
  WriteWav(dir / "in.wav", StereoSines(500, 700, 4410), 2);
  const std::string run = "process " + Quote(dir / "in.wav") + " " + Quote(dir / "o.wav") + " -q";
  const Result low = Cli(run + " --band 1=6 --band 7=-20");
  ASSERT_EQ(low.code, 0) << low.err;
  EXPECT_EQ(Count(low.err, "note: band 1 (0 Hz - 60 Hz) at +6.0 dB gives "), 1u) << low.err;
  EXPECT_NE(low.err.find(" dB at its centre with FFT length 256: no FFT length reaches it (1024, the longest the filter "
                         "uses, gives +1.9 dB)"),
            std::string::npos)
      << low.err;
  EXPECT_NE(low.err.find("note: band 7 (1.0 kHz - 2.0 kHz) at -20.0 dB gives -14.5 dB at its centre with FFT length 256: "
                         "FFT length 512 reaches it"),
            std::string::npos)
      << low.err;
  EXPECT_EQ(Cli(run + " --band 8=-20").err, "");  // 2-4 kHz has bins enough at 256
  const Result longest = Cli(run + " --band 1=6 --fft 1024");
  EXPECT_NE(longest.err.find("band 1 (0 Hz - 60 Hz) at +6.0 dB gives +1.9 dB"), std::string::npos) << longest.err;
  EXPECT_EQ(Cli(run + " --band 4=6 --band 8=-20 --fft 1024").err, "");
}

// At 192 kHz everything above the last band (22 kHz) passes at 0 dB even with every band
// at -99 dB: said once, and only where the rate leaves room above the bands.
TEST_F(CliResults, HighRatesSayTheBandsEndAt22kHz) {
  const std::string gains = " --gains -99,-99,-99,-99,-99,-99,-99,-99,-99,-99,-99,-99,-99,-99,-99";
  std::ofstream(dir / "hi.wav", std::ios::binary) << WavBytes(3, 1, 192000, 32, FloatData(std::vector<float>(19200, 0.1f)));
  const Result hi = Cli("process " + Quote(dir / "hi.wav") + " " + Quote(dir / "o.wav") + " -q" + gains);
  ASSERT_EQ(hi.code, 0) << hi.err;
  EXPECT_EQ(Count(hi.err, "note: the bands end at 22 kHz: above that, up to 96 kHz at 192000 Hz, the sound passes unchanged"), 1u)
      << hi.err;
  WriteWav(dir / "cd.wav", StereoSines(500, 700, 4410), 2);
  const Result cd = Cli("process " + Quote(dir / "cd.wav") + " " + Quote(dir / "o.wav") + " -q" + gains);
  EXPECT_EQ(cd.err.find("the bands end"), std::string::npos) << cd.err;
  const Result flat = Cli("process " + Quote(dir / "hi.wav") + " " + Quote(dir / "o.wav") + " -q");
  EXPECT_EQ(flat.err.find("the bands end"), std::string::npos) << flat.err;
}
