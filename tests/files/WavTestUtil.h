// Building WAV files byte by byte, temporary folders and file helpers for the file
// tests.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

namespace wavtest {

using Bytes = std::vector<std::uint8_t>;

inline void Append(Bytes& b, const Bytes& more) { b.insert(b.end(), more.begin(), more.end()); }
inline Bytes operator+(Bytes a, const Bytes& b) {
  Append(a, b);
  return a;
}

inline void PutLE16(Bytes& b, std::uint16_t v) {
  b.push_back(static_cast<std::uint8_t>(v));
  b.push_back(static_cast<std::uint8_t>(v >> 8));
}
inline void PutLE32(Bytes& b, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) b.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}
inline void PutId(Bytes& b, std::string_view id) {
  for (std::size_t i = 0; i < 4; ++i) b.push_back(static_cast<std::uint8_t>(i < id.size() ? id[i] : ' '));
}
inline std::uint32_t LE32At(const Bytes& b, std::size_t at) {
  return static_cast<std::uint32_t>(b.at(at)) | (static_cast<std::uint32_t>(b.at(at + 1)) << 8) |
         (static_cast<std::uint32_t>(b.at(at + 2)) << 16) | (static_cast<std::uint32_t>(b.at(at + 3)) << 24);
}
inline std::uint16_t LE16At(const Bytes& b, std::size_t at) {
  return static_cast<std::uint16_t>(b.at(at) | (b.at(at + 1) << 8));
}
inline std::string IdAt(const Bytes& b, std::size_t at) {
  return std::string(reinterpret_cast<const char*>(b.data() + at), 4);
}

// A chunk: id, size (the body's unless given), body, and a pad byte for an odd body
// unless pad is false.
inline Bytes Chunk(std::string_view id, const Bytes& body, std::optional<std::uint32_t> size = {}, bool pad = true) {
  Bytes b;
  PutId(b, id);
  PutLE32(b, size ? *size : static_cast<std::uint32_t>(body.size()));
  Append(b, body);
  if (pad && (body.size() & 1)) b.push_back(0);
  return b;
}

struct Fmt {
  std::uint16_t tag = 1;
  std::uint16_t channels = 2;
  std::uint32_t rate = 44100;
  std::uint32_t avg = 176400;
  std::uint16_t align = 4;
  std::uint16_t bits = 16;
  std::optional<std::uint16_t> cbSize;  // written only when set
  Bytes extra;
};

inline Fmt Pcm(std::uint16_t bits, std::uint16_t channels, std::uint32_t rate) {
  Fmt f;
  f.channels = channels;
  f.rate = rate;
  f.bits = bits;
  f.align = static_cast<std::uint16_t>(channels * bits / 8);
  f.avg = f.align * rate;
  return f;
}

inline Bytes FmtChunk(const Fmt& f, std::optional<std::uint32_t> size = {}) {
  Bytes body;
  PutLE16(body, f.tag);
  PutLE16(body, f.channels);
  PutLE32(body, f.rate);
  PutLE32(body, f.avg);
  PutLE16(body, f.align);
  PutLE16(body, f.bits);
  if (f.cbSize) PutLE16(body, *f.cbSize);
  Append(body, f.extra);
  return Chunk("fmt ", body, size);
}

// "RIFF", size (computed unless given), "WAVE", then the chunks.
inline Bytes Riff(const Bytes& chunks, std::optional<std::uint32_t> size = {}) {
  Bytes b;
  PutId(b, "RIFF");
  PutLE32(b, size ? *size : static_cast<std::uint32_t>(chunks.size() + 4));
  PutId(b, "WAVE");
  Append(b, chunks);
  return b;
}

// Deterministic sample bytes.
inline Bytes Noise(std::size_t n, std::uint32_t seed) {
  std::mt19937 rng(seed);
  Bytes b(n);
  for (auto& x : b) x = static_cast<std::uint8_t>(rng());
  return b;
}

// A plain PCM file: fmt (16 bytes, no extra size field) and data.
inline Bytes SimpleWav(const Fmt& f, const Bytes& data) { return Riff(FmtChunk(f) + Chunk("data", data)); }

inline Bytes ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

inline void WriteFile(const std::string& path, const Bytes& b) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
}

// A fresh folder for one test, removed afterwards.
class TempDir {
 public:
  TempDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "strataeq-wav-XXXXXX").string();
    if (!::mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
    path_ = tmpl;
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  std::string File(std::string_view name) const { return (std::filesystem::path(path_) / name).string(); }
  const std::string& Path() const { return path_; }

 private:
  std::string path_;
};

}  // namespace wavtest
