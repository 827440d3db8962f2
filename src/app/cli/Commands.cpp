#include "app/cli/Commands.h"

#include <unistd.h>

#include <cinttypes>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>

#include "app/cli/CliSupport.h"
#include "drivers/MMTrigg.h"
#include "eq/MMEQ.h"
#include "eq/MMObjLst.h"
#include "files/MMWave.h"
#include "platform/Messages.h"

namespace strataeq::cli {
namespace {

constexpr std::int32_t kTriggerBufferSize = 8192;
constexpr std::int32_t kIOBufferSize = 8192;
constexpr std::int32_t kDesignSampleRate = 44100;

class ECliError : public EMMError {
 public:
  using EMMError::EMMError;
};

std::string ModeText(TMMMode mode) {
  return mode == TMMMode::mMono ? "mono" : mode == TMMMode::mStereo ? "stereo" : "quadro";
}

std::string WriteStopText(TMMWriteStop reason) {
  switch (reason) {
    case TMMWriteStop::wsDiskFull: return "the disk is full";
    case TMMWriteStop::wsWriteError: return "writing the file failed";
    case TMMWriteStop::wsSizeLimit: return "the file reached the 4 GB limit of a WAV file";
    case TMMWriteStop::wsNone: break;
  }
  return "";
}

// The output is written beside its final name and moved there only when complete, so
// a failed run never destroys an existing file of the user's.
class TOutputFile {
 public:
  explicit TOutputFile(std::string finalName) : final_(std::move(finalName)) {
    const std::filesystem::path p(final_);
    temp_ = (p.parent_path() / ("." + p.filename().string() + ".strataeq-" + std::to_string(getpid()))).string();
  }
  ~TOutputFile() {
    if (!committed_) std::remove(temp_.c_str());
  }
  const std::string& Temp() const { return temp_; }
  void Commit() {
    std::error_code ec;
    std::filesystem::rename(temp_, final_, ec);
    if (ec) throw ECliError("Unable to write " + final_ + ": " + ec.message());
    committed_ = true;
  }

 private:
  std::string final_, temp_;
  bool committed_ = false;
};

}  // namespace

void ApplyEqSettings(TMMEqualizer& eq, const TEqSettings& s) {
  eq.SetSampleRate(kDesignSampleRate);
  LoadDefaultBandList(*eq.Filters());
  if (s.Preset) eq.Filters()->LoadFromFile(*s.Preset);
  TMMEQFilterList& bands = *eq.Filters();
  auto setGain = [&](int band, float gain) {
    if (band >= bands.Count())
      throw ECliError("the preset has " + std::to_string(bands.Count()) + " bands: band " +
                      std::to_string(band + 1) + " does not exist");
    bands.Band(band)->SetBandValue(2, gain);
  };
  if (s.Gains)
    for (int b = 0; b < kBands; ++b) setGain(b, (*s.Gains)[static_cast<std::size_t>(b)]);
  for (const auto& [band, gain] : s.Bands) setGain(band, gain);
  if (s.FFTLength) eq.SetFFTLength(*s.FFTLength);
  if (s.Channel) eq.SetChannel(*s.Channel);
  if (s.Description) eq.SetDescription(*s.Description);
}

int RunProcess(const TCliOptions& o) {
  const std::string& input = o.Positional[0];
  const std::string& output = o.Positional[1];
  if (SameFile(input, output))
    throw ECliError("the output " + output + " is the input file: refusing to overwrite it");
  if (KindOf(input) == TFileKind::Mp3 || KindOf(output) == TFileKind::Mp3)
    throw ECliError("MP3 files are not supported by this build");

  TMMEqualizer eq;
  ApplyEqSettings(eq, o.Eq);

  TMMWaveFile source;
  source.Wave().SetTimeFormat(TMMTimeFormats::tfByte);
  source.Wave().SetIOBufferSize(kIOBufferSize);
  source.Wave().SetFileName(input);
  if (source.Wave().FormatTag() != WAVE_FORMAT_PCM)
    throw ECliError("Sorry, using compressed wave file (ACM) is not supported !");

  TOutputFile out(output);
  TMMWaveFile sink;
  sink.Wave().SetTimeFormat(TMMTimeFormats::tfByte);
  sink.Wave().SetIOBufferSize(kIOBufferSize);
  sink.Wave().SetFileMustExist(false);
  sink.Wave().SetFileName(out.Temp());

  TMMTrigger trigger;
  trigger.SetBufferSize(kTriggerBufferSize);
  trigger.SetInterval(0);
  source.SetOutput(&eq);
  eq.SetOutput(&trigger);
  trigger.SetOutput(&sink);

  bool stopped = false;
  std::string failure;
  trigger.OnStop = [&](TObject*) { stopped = true; };
  Application().OnException = [&](std::exception_ptr e) {
    if (failure.empty()) failure = ExceptionMessage(e);
    stopped = true;
  };

  const TWaveFormatEx* format = source.PWaveFormat();
  const double bytesPerSecond = format && format->nAvgBytesPerSec ? format->nAvgBytesPerSec : 1.0;
  const std::int64_t total = source.Wave().LengthInBytes();
  TProgress progress(stderr, !o.Quiet);
  trigger.Start();
  while (!RunUntil([&] { return stopped; }, std::chrono::milliseconds(100)))
    progress.Update(trigger.BytesPushed(), total, static_cast<double>(trigger.BytesPushed()) / bytesPerSecond);
  progress.Update(trigger.BytesPushed(), total, static_cast<double>(trigger.BytesPushed()) / bytesPerSecond);
  progress.Finish();
  trigger.Close();
  ProcessPendingMessages();  // a failure report still queued
  Application().OnException = nullptr;
  if (!failure.empty()) throw ECliError(failure);

  const TMMWriteStop early = sink.WriteStop();
  out.Commit();
  if (early != TMMWriteStop::wsNone) {
    std::fprintf(stderr, "strataeq-cli: stopped early: %s; %s holds the first %s of the result\n",
                 WriteStopText(early).c_str(), output.c_str(),
                 FormatTimeString(static_cast<std::int32_t>(sink.Wave().LengthInBytes() / bytesPerSecond * 1000), true).c_str());
    return 1;
  }
  return 0;
}

int RunInfo(const TCliOptions& o, std::FILE* out) {
  const std::string& file = o.Positional[0];
  if (KindOf(file) == TFileKind::Mp3) throw ECliError("MP3 files are not supported by this build");
  TMMWave wave;
  wave.SetTimeFormat(TMMTimeFormats::tfByte);
  wave.SetFileName(file);
  const TWaveFormatEx* f = wave.PWaveFormat();
  const std::int64_t bytes = wave.LengthInBytes();
  const std::int64_t ms = f && f->nAvgBytesPerSec ? bytes * 1000 / f->nAvgBytesPerSec : 0;
  std::fprintf(out, "file:      %s\n", file.c_str());
  std::fprintf(out, "format:    %s\n", wave.FormatString().c_str());
  std::fprintf(out, "rate:      %u Hz\n", wave.SampleRate());
  std::fprintf(out, "bits:      %u\n", wave.BitLength());
  std::fprintf(out, "channels:  %u (%s)\n", f ? f->nChannels : 0u, ModeText(wave.Mode()).c_str());
  std::fprintf(out, "data:      %" PRId64 " bytes\n", bytes);
  std::fprintf(out, "play time: %s\n", FormatTimeString(static_cast<std::int32_t>(ms), true).c_str());
  return 0;
}

int RunPresetWrite(const TCliOptions& o) {
  TMMEqualizer eq;
  ApplyEqSettings(eq, o.Eq);
  eq.Filters()->SaveToFile(o.Positional[0]);
  return 0;
}

int RunPresetShow(const TCliOptions& o, std::FILE* out) {
  TMMEqualizer eq;
  eq.Filters()->LoadFromFile(o.Positional[0]);
  const TMMEQFilterList& bands = *eq.Filters();
  std::fprintf(out, "description: %s\n", eq.Description().c_str());
  std::fprintf(out, "FFT length:  %d\n", eq.FFTLength());
  std::fprintf(out, "bands:       %d\n", bands.Count());
  for (int i = 0; i < bands.Count(); ++i) {
    const TMMEQFilter* b = bands.Band(i);
    std::fprintf(out, "  %2d  %8.1f - %8.1f Hz  %+6.1f dB%s\n", i + 1, static_cast<double>(b->F1()),
                 static_cast<double>(b->F2()), static_cast<double>(b->Gain()), b->Enabled() ? "" : "  (off)");
  }
  return 0;
}

int RunCommand(const TCliOptions& o) {
  try {
    if (o.Command == "process") return RunProcess(o);
    if (o.Command == "info") return RunInfo(o, stdout);
    if (o.Command == "preset") return o.SubCommand == "write" ? RunPresetWrite(o) : RunPresetShow(o, stdout);
    if (o.Command == "devices") return RunDevices(stdout);
    if (o.Command == "live") return RunLive(o);
    if (o.Command == "play") return RunPlay(o);
    return RunRecord(o);
  } catch (const EUsageError&) {
    throw;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "strataeq-cli: %s\n", e.what());
    return 1;
  }
}

}  // namespace strataeq::cli
