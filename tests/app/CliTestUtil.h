// Helpers of the command-line tests: run the program, write and read WAV files.
#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

namespace fs = std::filesystem;

struct Result {
  int code = -1;
  std::string err;
};

// Runs the command line with its stderr captured.
inline Result Cli(const std::string& args) {
  const std::string errFile = fs::temp_directory_path() / ("strataeq-cli-err-" + std::to_string(getpid()));
  const std::string cmd = std::string(STRATAEQ_CLI) + " " + args + " 2>" + errFile + " >/dev/null";
  const int status = std::system(cmd.c_str());
  Result r;
  r.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  std::ifstream in(errFile);
  r.err.assign(std::istreambuf_iterator<char>(in), {});
  fs::remove(errFile);
  return r;
}

inline std::string Quote(const fs::path& p) {
  std::string q = "'";  // appended: g++ 12 warns falsely on "'" + string
  q += p.string();
  q += "'";
  return q;
}

// 16-bit samples; with bits 8 they are stored as unsigned bytes (value / 256 + 128).
inline void WriteWav(const fs::path& path, const std::vector<std::int16_t>& samples, int channels, int rate = 44100,
                     int bits = 16) {
  std::ofstream f(path, std::ios::binary);
  auto u32 = [&](std::uint32_t v) { f.write(reinterpret_cast<const char*>(&v), 4); };
  auto u16 = [&](std::uint16_t v) { f.write(reinterpret_cast<const char*>(&v), 2); };
  const int bytesPerSample = bits / 8;
  const std::uint32_t data = static_cast<std::uint32_t>(samples.size() * static_cast<std::size_t>(bytesPerSample));
  f.write("RIFF", 4);
  u32(36 + data);
  f.write("WAVEfmt ", 8);
  u32(16);
  u16(1);
  u16(static_cast<std::uint16_t>(channels));
  u32(static_cast<std::uint32_t>(rate));
  u32(static_cast<std::uint32_t>(rate * channels * bytesPerSample));
  u16(static_cast<std::uint16_t>(channels * bytesPerSample));
  u16(static_cast<std::uint16_t>(bits));
  f.write("data", 4);
  u32(data);
  if (bits == 16) {
    f.write(reinterpret_cast<const char*>(samples.data()), data);
  } else {
    for (std::int16_t v : samples) f.put(static_cast<char>((v >> 8) + 128));
  }
}

// The samples of a 16-bit file's "data" chunk, found by walking the chunks.
inline std::vector<std::int16_t> ReadWavSamples(const fs::path& path) {
  std::ifstream f(path, std::ios::binary);
  std::vector<char> bytes((std::istreambuf_iterator<char>(f)), {});
  std::size_t pos = 12;
  while (pos + 8 <= bytes.size()) {
    std::uint32_t size;
    std::memcpy(&size, &bytes[pos + 4], 4);
    if (std::memcmp(&bytes[pos], "data", 4) == 0) {
      size = std::min<std::uint32_t>(size, static_cast<std::uint32_t>(bytes.size() - pos - 8));
      std::vector<std::int16_t> s(size / 2);
      if (!s.empty()) std::memcpy(s.data(), &bytes[pos + 8], s.size() * 2);
      return s;
    }
    pos += 8 + size + (size & 1);
  }
  return {};
}

inline std::vector<std::int16_t> StereoSines(double leftHz, double rightHz, int frames, double amp = 0.5) {
  std::vector<std::int16_t> s(static_cast<std::size_t>(frames) * 2);
  for (int i = 0; i < frames; ++i) {
    s[2 * i] = static_cast<std::int16_t>(std::lround(amp * 32767 * std::sin(2 * M_PI * leftHz * i / 44100)));
    s[2 * i + 1] = static_cast<std::int16_t>(std::lround(amp * 32767 * std::sin(2 * M_PI * rightHz * i / 44100)));
  }
  return s;
}

inline double Rms(const std::vector<std::int16_t>& s, int channel, std::size_t fromFrame) {
  double sum = 0;
  std::size_t n = 0;
  for (std::size_t i = fromFrame * 2 + static_cast<std::size_t>(channel); i < s.size(); i += 2, ++n) sum += double(s[i]) * s[i];
  return std::sqrt(sum / static_cast<double>(n));
}

inline std::string FileBytes(const fs::path& p) {
  std::ifstream f(p, std::ios::binary);
  return {std::istreambuf_iterator<char>(f), {}};
}

// Each test gets a folder of its own, removed afterwards.
class CliTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = fs::temp_directory_path() / ("strataeq-cli-test-" + std::to_string(getpid()) + "-" +
                                       ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::create_directories(dir);
  }
  void TearDown() override { fs::remove_all(dir); }
  fs::path dir;
};

// Amplitude of one frequency in a channel, by the Goertzel recurrence over frames
// [from, from + count).
inline double ToneAmplitude(const std::vector<std::int16_t>& s, int channels, int channel, double hz,
                            std::size_t from, std::size_t count, double rate = 44100) {
  const double w = 2 * M_PI * hz / rate, c = 2 * std::cos(w);
  double s1 = 0, s2 = 0;
  for (std::size_t i = 0; i < count; ++i) {
    const double x = s[(from + i) * static_cast<std::size_t>(channels) + static_cast<std::size_t>(channel)];
    const double s0 = x + c * s1 - s2;
    s2 = s1;
    s1 = s0;
  }
  return 2 * std::sqrt(std::max(0.0, s1 * s1 + s2 * s2 - c * s1 * s2)) / static_cast<double>(count);
}

}  // namespace
