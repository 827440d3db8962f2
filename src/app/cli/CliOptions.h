// Command-line parsing of strataeq-cli.
#pragma once

#include <array>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "foundation/MMUtils.h"

namespace strataeq::cli {

inline constexpr int kBands = 15;
inline constexpr float kMinGain = -99.0f;
inline constexpr float kMaxGain = 16.0f;

// A mistake in the command line: exit code 2 with the usage text.
class EUsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Equalizer settings, applied in this order: preset, all gains, single bands, FFT length
// and channel.
struct TEqSettings {
  std::optional<std::string> Preset;
  std::optional<std::array<float, kBands>> Gains;
  std::vector<std::pair<int, float>> Bands;  // band index 0..14, gain in dB
  std::optional<int> FFTLength;
  std::optional<TMMChannel> Channel;
  std::optional<std::string> Description;
  // How a GraphicEQ or ParametricEQ text becomes bands: the window's fifteen or "exact".
  bool ExactBands = false;
};

struct TCliOptions {
  std::string Command;                  // process, info, preset, devices, live, play, record
  std::string SubCommand;               // write, show, import or export, for preset
  std::vector<std::string> Positional;  // files
  TEqSettings Eq;
  bool Help = false;                    // --help: the command's usage, nothing run
  bool Quiet = false;
  int Bitrate = 128;                    // kbit/s, MP3 output
  bool Mp3InWave = false;               // --mp3-container wav
  std::optional<std::string> Bits;      // --bits 16, 24, 32 or 32f: WAV output samples
  std::optional<std::string> InDevice, OutDevice;
  std::optional<double> Seconds;
  // A batch (process IN... --out-dir DIR): the outputs' folder, their extension (wav or
  // mp3; empty keeps each input's name whole) and the jobs at once (0: one per core).
  // Without --out-dir, To is the output's type for "-", a device, a FIFO or a name
  // without extension.
  std::optional<std::string> OutDir;
  std::string To;
  int Jobs = 0;
  // process: 1 reads, filters and writes on one thread; 2 or more on threads of their
  // own joined by queues; 4 or more filter a stereo file's two channels on two.
  // 0: cores / jobs (one file at a time: the cores).
  int Threads = 0;
  bool Desktop = false;                 // live: the whole desktop's sound, through a virtual device
  std::optional<int> LatencyMs;         // live, play, record: target end-to-end delay
};

// Throws EUsageError with a one-line reason.
TCliOptions ParseCommandLine(const std::vector<std::string>& args);

const char* UsageText();
// The usage lines of one command (and preset subcommand) and the options it takes.
std::string CommandUsage(const std::string& command, const std::string& subCommand);

}  // namespace strataeq::cli
