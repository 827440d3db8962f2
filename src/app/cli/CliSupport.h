// Small pieces of the command line: file identity, extensions, the progress line.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <utility>

#include "foundation/MMUtils.h"

namespace strataeq::cli {

// While one lives, SIGINT, SIGTERM, SIGHUP (the terminal closed), SIGQUIT and SIGPIPE
// (the reader of the output went away) set a flag instead of ending the process, so a
// run stops cleanly: devices put back, an unfinished output removed. Nests.
struct TInterruptGuard {
  TInterruptGuard();
  ~TInterruptGuard();
  TInterruptGuard(const TInterruptGuard&) = delete;
  TInterruptGuard& operator=(const TInterruptGuard&) = delete;
};
bool Interrupted();
// What a run stopped by a signal raises.
class EInterrupted : public EMMError {
 public:
  using EMMError::EMMError;
};
// A command ended by a signal ends with 128 + the signal's number, as a shell reports
// it (130 for SIGINT, 129 for SIGHUP); 130 when none arrived.
int InterruptedStatus();

// True when both paths name the same existing file (links and hard links included).
bool SameFile(const std::string& a, const std::string& b);

// Raises EMMError naming path and the reason when it cannot be opened for reading or is
// a folder, so that an input's failure says more than the component's own message.
void CheckReadableInput(const std::string& path);

enum class TFileKind { Wav, Mp3 };
// By the name's extension, case-insensitively; anything but .mp3 counts as WAV.
TFileKind KindOf(const std::string& path);
// What an output is written as: by its extension, .wav or .mp3 in any letter case, or
// by to ("wav" or "mp3") for "-", a device, a FIFO or a name without extension. Raises
// EMMError for anything else, and for a to that contradicts the extension.
TFileKind OutputKind(const std::string& path, const std::string& to);
// "-", or a name (links followed) of a character device or a FIFO: written as a stream.
bool IsStreamOutput(const std::string& path);

// A progress line on a terminal: percent, elapsed time and speed as a multiple of real time.
class TProgress {
 public:
  TProgress(std::FILE* out, bool enabled);
  // done and total in any unit; audioSeconds is how much audio has been processed.
  void Update(std::int64_t done, std::int64_t total, double audioSeconds);
  void Finish();  // ends the line
  // Shown after the figures, such as "3/20 files".
  void SetNote(std::string note) { note_ = std::move(note); }

 private:
  std::FILE* out_;
  bool enabled_;
  bool drawn_ = false;
  std::string note_;
  std::chrono::steady_clock::time_point start_;
};

}  // namespace strataeq::cli
