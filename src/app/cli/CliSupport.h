// Small pieces of the command line: file identity, extensions, the progress line.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <utility>

#include "foundation/MMUtils.h"
#include "routes/FileEnds.h"
#include "routes/Route.h"

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
using routes::EInterrupted;
// A command ended by a signal ends with 128 + the signal's number, as a shell reports
// it (130 for SIGINT, 129 for SIGHUP); 130 when none arrived.
int InterruptedStatus();

// The file ends' names and kinds live with the routes.
using routes::CheckReadableInput;
using routes::IsStreamOutput;
using routes::KindOf;
using routes::OutputKind;
using routes::SameFile;
using routes::TFileKind;
using routes::kNotMpeg;
using routes::TFileSink;
using routes::TFileSource;
using routes::TOutputFile;
using routes::WriteErrorText;

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
