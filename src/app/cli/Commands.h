// The commands of strataeq-cli. Each returns the process exit code: 0 success,
// 1 failure (message on stderr); usage errors are raised as EUsageError.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>

#include "app/cli/CliOptions.h"
#include "routes/FileEnds.h"

namespace strataeq {
class TMMEqualizer;
}

namespace strataeq::cli {

// The window's equalizer design values, then the settings in their order. A text
// preset is fitted at sampleRate (0: the design rate, 44100), the rate the audio will
// have, since its bands' bins move with the rate; its warnings go to stderr.
void ApplyEqSettings(TMMEqualizer& eq, const TEqSettings& settings, std::int32_t sampleRate = 0);

// How the options say an MP3 output is encoded.
inline routes::TSinkOptions SinkOptionsOf(const TCliOptions& o) { return {o.Bitrate, o.Mp3InWave}; }

// PCM bytes done, the bytes expected, and the audio seconds done.
using TProcessProgress = std::function<void(std::int64_t done, std::int64_t total, double audioSeconds)>;
// Equalizes input into output, written beside it and moved into place when complete
// (streamed to "-", a device or a FIFO). progress is called about ten times a second.
// Raises on failure, a write that failed included; an existing output is then left
// as it was.
void ProcessFile(const std::string& input, const std::string& output, const TCliOptions& o,
                 const TProcessProgress& progress);

// One file, or with --out-dir a batch (RunBatch).
int RunProcess(const TCliOptions& o);
int RunInfo(const TCliOptions& o, std::FILE* out);
int RunPresetWrite(const TCliOptions& o);
int RunPresetShow(const TCliOptions& o, std::FILE* out);
int RunPresetImport(const TCliOptions& o, std::FILE* out);
int RunPresetExport(const TCliOptions& o);
int RunDevices(std::FILE* out);
int RunLive(const TCliOptions& o);
int RunPlay(const TCliOptions& o);
int RunRecord(const TCliOptions& o);

// Runs the command; catches failures and prints them.
int RunCommand(const TCliOptions& o);

}  // namespace strataeq::cli
