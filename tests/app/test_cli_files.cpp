// Files come out whole: the file route's output lines up with its input frame for
// frame, high-resolution WAV keeps its precision, and a killed recording is readable.
#include <gtest/gtest.h>

#include <fcntl.h>

#include <csignal>
#include <cstdint>

#include "app/CliTestUtil.h"

namespace {

class CliFiles : public CliTest {};

struct WavFormat {
  std::uint16_t tag = 1;  // 1 PCM, 3 float, 0xFFFE extensible
  int channels = 1;
  int rate = 44100;
  int bits = 16;
  std::uint16_t subTag = 1;  // extensible: PCM or float
};

std::string Le(std::uint32_t v, int bytes) {
  std::string s;
  for (int i = 0; i < bytes; ++i) s.push_back(static_cast<char>(v >> (8 * i)));
  return s;
}

std::string FmtChunk(const WavFormat& f) {
  const int align = f.channels * f.bits / 8;
  std::string body = Le(f.tag, 2) + Le(static_cast<std::uint32_t>(f.channels), 2) +
                     Le(static_cast<std::uint32_t>(f.rate), 4) + Le(static_cast<std::uint32_t>(f.rate * align), 4) +
                     Le(static_cast<std::uint32_t>(align), 2) + Le(static_cast<std::uint32_t>(f.bits), 2);
  if (f.tag == 0xFFFE) {
    body += Le(22, 2) + Le(static_cast<std::uint32_t>(f.bits), 2) + Le(f.channels == 1 ? 4 : 3, 4) + Le(f.subTag, 2);
    body += std::string("\x00\x00\x00\x00\x10\x00\x80\x00\x00\xAA\x00\x38\x9B\x71", 14);
  }
  return "fmt " + Le(static_cast<std::uint32_t>(body.size()), 4) + body;
}

// Samples at full scale 1.0, stored in the format's coding.
std::string Encode(const WavFormat& f, const std::vector<double>& samples) {
  std::string d;
  const bool isFloat = f.tag == 3 || (f.tag == 0xFFFE && f.subTag == 3);
  for (double x : samples) {
    if (isFloat) {
      const float v = static_cast<float>(x);
      d.append(reinterpret_cast<const char*>(&v), 4);
    } else if (f.bits == 8) {
      d.push_back(static_cast<char>(std::clamp<long>(std::lround(x * 128), -128, 127) + 128));
    } else {
      const double full = std::ldexp(1.0, f.bits - 1);
      const auto v = static_cast<std::int64_t>(std::clamp<double>(std::round(x * full), -full, full - 1));
      d += Le(static_cast<std::uint32_t>(v), f.bits / 8);
    }
  }
  return d;
}

void WriteFile(const fs::path& p, const std::string& bytes) { std::ofstream(p, std::ios::binary) << bytes; }

void WriteWavFile(const fs::path& p, const WavFormat& f, const std::vector<double>& samples) {
  const std::string data = Encode(f, samples);
  const std::string body = "WAVE" + FmtChunk(f) + "data" + Le(static_cast<std::uint32_t>(data.size()), 4) + data;
  WriteFile(p, "RIFF" + Le(static_cast<std::uint32_t>(body.size()), 4) + body);
}

struct Decoded {
  WavFormat format;
  std::string fmtBody;
  std::vector<double> samples;  // full scale 1.0
};

Decoded ReadWavFile(const fs::path& p) {
  const std::string b = FileBytes(p);
  Decoded out;
  auto u32 = [&](std::size_t at) {
    std::uint32_t v;
    std::memcpy(&v, b.data() + at, 4);
    return v;
  };
  auto u16 = [&](std::size_t at) {
    std::uint16_t v;
    std::memcpy(&v, b.data() + at, 2);
    return v;
  };
  for (std::size_t pos = 12; pos + 8 <= b.size();) {
    const std::uint32_t size = u32(pos + 4);
    if (b.compare(pos, 4, "fmt ") == 0) {
      out.fmtBody = b.substr(pos + 8, size);
      out.format.tag = u16(pos + 8);
      out.format.channels = u16(pos + 10);
      out.format.rate = static_cast<int>(u32(pos + 12));
      out.format.bits = u16(pos + 22);
      if (out.format.tag == 0xFFFE) out.format.subTag = u16(pos + 32);
    } else if (b.compare(pos, 4, "data") == 0) {
      const WavFormat& f = out.format;
      const bool isFloat = f.tag == 3 || (f.tag == 0xFFFE && f.subTag == 3);
      const int bytes = f.bits / 8;
      for (std::size_t i = pos + 8; i + static_cast<std::size_t>(bytes) <= pos + 8 + size; i += static_cast<std::size_t>(bytes)) {
        if (isFloat) {
          float v;
          std::memcpy(&v, b.data() + i, 4);
          out.samples.push_back(v);
        } else if (bytes == 1) {
          out.samples.push_back((static_cast<std::uint8_t>(b[i]) - 128) / 128.0);
        } else {
          std::uint32_t raw = 0;
          for (int k = 0; k < bytes; ++k) raw |= static_cast<std::uint32_t>(static_cast<std::uint8_t>(b[i + k])) << (8 * k);
          raw <<= 32 - 8 * bytes;
          out.samples.push_back(static_cast<std::int32_t>(raw) / 2147483648.0);
        }
      }
    }
    pos += 8 + size + (size & 1);
  }
  return out;
}

std::string Info(const fs::path& file) {
  const std::string cmd = std::string(STRATAEQ_CLI) + " info " + Quote(file) + " 2>&1";
  FILE* p = popen(cmd.c_str(), "r");
  std::string text;
  char buf[256];
  while (fgets(buf, sizeof buf, p)) text += buf;
  pclose(p);
  return text;
}

std::size_t Loudest(const std::vector<double>& s) {
  std::size_t best = 0;
  for (std::size_t i = 0; i < s.size(); ++i)
    if (std::abs(s[i]) > std::abs(s[best])) best = i;
  return best;
}

const std::string kFlatGains = " --gains 0,0,0,0,0,0,0,0,0,0,0,0,0,0,0";

}  // namespace

// The filter's delay is gone and its tail is flushed, through the whole chain: the
// impulse stays on its frame and no frame is lost or added, at any FFT length and
// for lengths that are no whole number of blocks or buffers.
TEST_F(CliFiles, AnImpulseComesOutOnItsOwnFrameAndEveryFrameComesOut) {
  const WavFormat mono16;
  for (int fft : {16, 256, 4096}) {
    for (int frames : {1, 5000, 12347}) {
      std::vector<double> in(static_cast<std::size_t>(frames), 0.0);
      const std::size_t k = static_cast<std::size_t>(frames) * 2 / 3;
      in[k] = 0.6;
      WriteWavFile(dir / "in.wav", mono16, in);
      ASSERT_EQ(Cli("process " + Quote(dir / "in.wav") + " " + Quote(dir / "out.wav") + " -q --band 8=-10 --fft " +
                    std::to_string(fft))
                    .code,
                0);
      const auto out = ReadWavFile(dir / "out.wav").samples;
      ASSERT_EQ(out.size(), in.size()) << "FFT " << fft << ", " << frames << " frames";
      EXPECT_EQ(Loudest(out), k) << "FFT " << fft << ", " << frames << " frames";
      EXPECT_NEAR(out[k], 0.6, 0.05);
    }
  }
  // An empty data chunk gives an empty one.
  WriteWavFile(dir / "empty.wav", mono16, {});
  const Result r = Cli("process " + Quote(dir / "empty.wav") + " " + Quote(dir / "out.wav") + " -q");
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_TRUE(ReadWavFile(dir / "out.wav").samples.empty());
  EXPECT_EQ(ReadWavFile(dir / "out.wav").format.bits, 16);
}

// A tone 120 dB below full scale in a 24-bit file survives flat gains (16 bits could
// not hold it), and the output keeps the input's format record.
TEST_F(CliFiles, A24BitFileKeepsAQuietToneAndItsFormat) {
  const WavFormat f{0xFFFE, 2, 48000, 24, 1};
  std::vector<double> in(2 * 48000);
  for (std::size_t i = 0; i < in.size(); ++i) in[i] = 1e-6 * std::sin(2 * M_PI * 1000 * static_cast<double>(i / 2) / 48000);
  WriteWavFile(dir / "in.wav", f, in);
  ASSERT_EQ(Cli("process " + Quote(dir / "in.wav") + " " + Quote(dir / "out.wav") + " -q" + kFlatGains).code, 0);
  const Decoded out = ReadWavFile(dir / "out.wav");
  EXPECT_EQ(out.fmtBody, ReadWavFile(dir / "in.wav").fmtBody);
  ASSERT_EQ(out.samples.size(), in.size());
  const auto read = ReadWavFile(dir / "in.wav").samples;
  double worst = 0;
  for (std::size_t i = 0; i < in.size(); ++i) worst = std::max(worst, std::abs(out.samples[i] - read[i]));
  EXPECT_LT(20 * std::log10(worst), -130.0);
}

TEST_F(CliFiles, AFloatFileKeepsSamplesBeyondFullScale) {
  const WavFormat f{3, 1, 96000, 32, 3};
  std::vector<double> in(40000);
  for (std::size_t i = 0; i < in.size(); ++i) in[i] = 1.7 * std::sin(2 * M_PI * 500 * static_cast<double>(i) / 96000);
  WriteWavFile(dir / "in.wav", f, in);
  ASSERT_EQ(Cli("process " + Quote(dir / "in.wav") + " " + Quote(dir / "out.wav") + " -q" + kFlatGains).code, 0);
  const Decoded out = ReadWavFile(dir / "out.wav");
  EXPECT_EQ(out.format.tag, 3);
  ASSERT_EQ(out.samples.size(), in.size());
  EXPECT_NEAR(std::abs(out.samples[Loudest(out.samples)]), 1.7, 0.01);
}

// --bits picks the written samples. Going down to 16 bits is dithered: a tone below
// half a 16-bit step is kept as a tone in the noise instead of vanishing.
TEST_F(CliFiles, BitsChoosesTheOutputAndSixteenBitsAreDithered) {
  const WavFormat f{1, 1, 44100, 24, 1};
  const double amp = 0.3 / 32768;  // about -101 dBFS
  std::vector<double> in(88200);
  for (std::size_t i = 0; i < in.size(); ++i) in[i] = amp * std::sin(2 * M_PI * 1000 * static_cast<double>(i) / 44100);
  WriteWavFile(dir / "in.wav", f, in);
  ASSERT_EQ(Cli("process " + Quote(dir / "in.wav") + " " + Quote(dir / "o16.wav") + " -q --bits 16" + kFlatGains).code, 0);
  const Decoded o16 = ReadWavFile(dir / "o16.wav");
  EXPECT_EQ(o16.format.tag, 1);
  EXPECT_EQ(o16.format.bits, 16);
  ASSERT_EQ(o16.samples.size(), in.size());
  std::vector<std::int16_t> ints(o16.samples.size());
  for (std::size_t i = 0; i < ints.size(); ++i) ints[i] = static_cast<std::int16_t>(std::lround(o16.samples[i] * 32768));
  const double tone = ToneAmplitude(ints, 1, 0, 1000, 0, ints.size()) / 32768;
  EXPECT_NEAR(20 * std::log10(tone / amp), 0, 1.5);
  EXPECT_LT(ToneAmplitude(ints, 1, 0, 3100, 0, ints.size()) / 32768, amp / 5);  // noise, no tone elsewhere

  ASSERT_EQ(Cli("process " + Quote(dir / "in.wav") + " " + Quote(dir / "o32.wav") + " -q --bits 32").code, 0);
  const Decoded o32 = ReadWavFile(dir / "o32.wav");
  EXPECT_EQ(o32.format.tag, 0xFFFE);
  EXPECT_EQ(o32.format.bits, 32);
  EXPECT_EQ(o32.samples.size(), in.size());
  ASSERT_EQ(Cli("process " + Quote(dir / "in.wav") + " " + Quote(dir / "of.wav") + " -q --bits 32f").code, 0);
  EXPECT_EQ(ReadWavFile(dir / "of.wav").format.tag, 3);

  // 8-bit files are equalized too, and compressed ones still refused.
  WriteWavFile(dir / "eight.wav", WavFormat{1, 2, 22050, 8, 1}, std::vector<double>(4000, 0.25));
  ASSERT_EQ(Cli("process " + Quote(dir / "eight.wav") + " " + Quote(dir / "o8.wav") + " -q").code, 0);
  EXPECT_EQ(ReadWavFile(dir / "o8.wav").format.bits, 8);
  EXPECT_EQ(ReadWavFile(dir / "o8.wav").samples.size(), 4000u);
  WriteWavFile(dir / "adpcm.wav", WavFormat{0xFFFE, 1, 44100, 16, 2}, std::vector<double>(100, 0.0));
  const Result r = Cli("process " + Quote(dir / "adpcm.wav") + " " + Quote(dir / "o.wav"));
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("Sorry, using compressed wave file (ACM) is not supported !"), std::string::npos) << r.err;
  EXPECT_EQ(Cli("process " + Quote(dir / "in.wav") + " " + Quote(dir / "o.wav") + " --bits 20").code, 2);
}

// A header whose sizes were never written: the audio runs to the end of the file.
TEST_F(CliFiles, AHeaderThatWasNeverFinishedIsReadToTheEndOfTheFile) {
  const WavFormat f{1, 2, 44100, 16, 1};
  std::vector<double> in(2 * 3000, 0.1);
  const std::string data = Encode(f, in);
  WriteFile(dir / "cut.wav", "RIFF" + Le(0, 4) + "WAVE" + FmtChunk(f) + "data" + Le(0, 4) + data);
  const std::string text = Info(dir / "cut.wav");
  EXPECT_NE(text.find("data:      12000 bytes"), std::string::npos) << text;
  EXPECT_NE(text.find("not closed properly"), std::string::npos) << text;
  ASSERT_EQ(Cli("process " + Quote(dir / "cut.wav") + " " + Quote(dir / "out.wav") + " -q").code, 0);
  EXPECT_EQ(ReadWavFile(dir / "out.wav").samples.size(), in.size());
  EXPECT_EQ(Info(dir / "out.wav").find("not closed properly"), std::string::npos);
}

// kill -9 six seconds into a recording with sound playing: the header written while
// recording makes the file readable, and it can be equalized.
TEST_F(CliFiles, ARecordingKilledMidwayKeepsWhatWasRecorded) {
  const fs::path take = dir / "take.wav";
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    setenv("STRATAEQ_AUDIO", "virtual", 1);
    setenv("STRATAEQ_VIRTUAL_TONE", "1000", 1);
    const int null = open("/dev/null", O_WRONLY);
    dup2(null, 1);
    dup2(null, 2);
    execl(STRATAEQ_CLI, STRATAEQ_CLI, "record", take.c_str(), "--in", "0", static_cast<char*>(nullptr));
    _exit(127);
  }
  sleep(6);
  kill(pid, SIGKILL);
  int status = 0;
  waitpid(pid, &status, 0);
  ASSERT_TRUE(WIFSIGNALED(status));

  const std::string text = Info(take);
  const std::size_t at = text.find("data:      ");
  ASSERT_NE(at, std::string::npos) << text;
  const double seconds = std::stod(text.substr(at + 11)) / (44100.0 * 4);
  EXPECT_GE(seconds, 3.0) << text;
  const Result r = Cli("process " + Quote(take) + " " + Quote(dir / "eq.wav") + " -q --band 4=-20");
  ASSERT_EQ(r.code, 0) << r.err;
  // A reader that trusts the header's sizes sees the recording too.
  const auto recorded = ReadWavSamples(take);
  const auto equalized = ReadWavSamples(dir / "eq.wav");
  EXPECT_EQ(equalized.size(), recorded.size());
  // The recorded tone is there, and band 4 (200-600 Hz) leaves 1 kHz alone.
  const std::size_t frames = recorded.size() / 2;
  EXPECT_GT(ToneAmplitude(recorded, 2, 0, 1000, 0, frames), 4000);
  EXPECT_GT(ToneAmplitude(equalized, 2, 0, 1000, 0, frames), 4000);
}
