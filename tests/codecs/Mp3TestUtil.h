// Helpers of the MP3 tests: scratch folders, WAV files, the lame and mpg123 tools, and
// the codec libraries of this build.
#pragma once

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

namespace mp3test {

inline const char* CodecDir() {
#ifdef STRATAEQ_CODEC_DIR
  return STRATAEQ_CODEC_DIR;
#else
  return "";
#endif
}

// Points the run-time loader at this build's codec libraries.
inline void UseCodecLibraries() { setenv("STRATAEQ_LIBRARY_PATH", CodecDir(), 1); }
inline void UseLibraryFolder(const std::string& folder) { setenv("STRATAEQ_LIBRARY_PATH", folder.c_str(), 1); }

class TempDir {
 public:
  TempDir() {
    char pattern[] = "/tmp/strataeq-mp3-XXXXXX";
    const char* p = mkdtemp(pattern);
    path_ = p ? p : "";
  }
  ~TempDir() {
    std::error_code ec;
    if (!path_.empty()) std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& Path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

inline std::vector<std::uint8_t> ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline void WriteBytes(const std::string& path, const std::vector<std::uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

inline std::int64_t FileSize(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 ? static_cast<std::int64_t>(st.st_size) : -1;
}

// Interleaved 16-bit tones; a frequency of 0 gives a silent channel.
inline std::vector<std::int16_t> Tones(int rate, int channels, double seconds, double left, double right,
                                       double amplitude = 12000.0) {
  const auto frames = static_cast<std::size_t>(rate * seconds);
  std::vector<std::int16_t> pcm(frames * static_cast<std::size_t>(channels));
  const double pi = std::acos(-1.0);
  for (std::size_t i = 0; i < frames; ++i) {
    const double t = static_cast<double>(i) / rate;
    pcm[i * channels] = static_cast<std::int16_t>(left > 0 ? amplitude * std::sin(2 * pi * left * t) : 0);
    if (channels == 2)
      pcm[i * 2 + 1] = static_cast<std::int16_t>(right > 0 ? amplitude * std::sin(2 * pi * right * t) : 0);
  }
  return pcm;
}

inline void PutLE(std::vector<std::uint8_t>& b, std::uint32_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) b.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

// A canonical 44-byte-header PCM WAV file.
inline void WriteWav(const std::string& path, int rate, int channels, const std::vector<std::int16_t>& pcm) {
  const std::uint32_t data = static_cast<std::uint32_t>(pcm.size() * 2);
  std::vector<std::uint8_t> b;
  b.insert(b.end(), {'R', 'I', 'F', 'F'});
  PutLE(b, 36 + data, 4);
  b.insert(b.end(), {'W', 'A', 'V', 'E', 'f', 'm', 't', ' '});
  PutLE(b, 16, 4);
  PutLE(b, 1, 2);
  PutLE(b, static_cast<std::uint32_t>(channels), 2);
  PutLE(b, static_cast<std::uint32_t>(rate), 4);
  PutLE(b, static_cast<std::uint32_t>(rate * channels * 2), 4);
  PutLE(b, static_cast<std::uint32_t>(channels * 2), 2);
  PutLE(b, 16, 2);
  b.insert(b.end(), {'d', 'a', 't', 'a'});
  PutLE(b, data, 4);
  for (std::int16_t s : pcm) PutLE(b, static_cast<std::uint16_t>(s), 2);
  WriteBytes(path, b);
}

inline bool HaveTool(const std::string& name) {
  return std::system(("command -v " + name + " >/dev/null 2>&1").c_str()) == 0;
}

// Runs a shell command; its standard output and error, merged.
inline std::string Capture(const std::string& command, int* status = nullptr) {
  std::string out;
  FILE* p = popen((command + " 2>&1").c_str(), "r");
  if (!p) return out;
  char buf[4096];
  std::size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  const int rc = pclose(p);
  if (status) *status = rc;
  return out;
}

// Encodes tones with the lame tool; empty when it fails.
inline std::string MakeMp3(const TempDir& dir, const std::string& name, int rate, int channels, double seconds,
                           const std::string& lameOptions, double left = 1000, double right = 0) {
  const std::string wav = dir.File(name + ".wav");
  const std::string mp3 = dir.File(name + ".mp3");
  WriteWav(wav, rate, channels, Tones(rate, channels, seconds, left, right));
  int status = -1;
  Capture("lame --quiet " + lameOptions + " " + wav + " " + mp3, &status);
  return status == 0 ? mp3 : std::string();
}

// Bytes of noise from a fixed seed.
inline std::vector<std::uint8_t> Noise(std::size_t n, unsigned seed) {
  std::mt19937 gen(seed);
  std::vector<std::uint8_t> b(n);
  for (auto& x : b) x = static_cast<std::uint8_t>(gen());
  return b;
}

// Power of one frequency in a channel of interleaved 16-bit PCM (Goertzel), per sample.
inline double TonePower(const std::int16_t* pcm, std::size_t frames, int channels, int channel, double freq,
                        int rate) {
  const double w = 2 * std::acos(-1.0) * freq / rate;
  const double c = 2 * std::cos(w);
  double s1 = 0, s2 = 0;
  for (std::size_t i = 0; i < frames; ++i) {
    const double s0 = pcm[i * channels + channel] + c * s1 - s2;
    s2 = s1;
    s1 = s0;
  }
  const double power = s1 * s1 + s2 * s2 - c * s1 * s2;
  return power / (static_cast<double>(frames) * frames);
}

inline double Rms(const std::int16_t* pcm, std::size_t frames, int channels, int channel) {
  double sum = 0;
  for (std::size_t i = 0; i < frames; ++i) sum += double(pcm[i * channels + channel]) * pcm[i * channels + channel];
  return frames ? std::sqrt(sum / frames) : 0.0;
}

}  // namespace mp3test
