// What comes out is what was asked for, or the command line says why not: odd inputs
// (non-finite samples, wild preset gains, wrong RIFF sizes) and settings the filter
// cannot follow.
#include <gtest/gtest.h>

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
