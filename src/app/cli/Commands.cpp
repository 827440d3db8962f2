#include "app/cli/Commands.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "app/cli/Batch.h"
#include "app/cli/CliSupport.h"
#include "app/cli/FileEnds.h"
#include "drivers/MMBlockQ.h"
#include "drivers/MMTrigg.h"
#include "eq/MMEQ.h"
#include "eq/MMEQFit.h"
#include "eq/MMObjLst.h"
#include "files/MMMPEG.h"
#include "files/MMWave.h"
#include "platform/Messages.h"

namespace strataeq::cli {
namespace {

constexpr std::int32_t kTriggerBufferSize = 8192;
constexpr std::int32_t kDesignSampleRate = 44100;

TPcmSampleType SampleTypeOfBits(const std::string& bits) {
  if (bits == "16") return TPcmSampleType::stInt16;
  if (bits == "24") return TPcmSampleType::stInt24;
  if (bits == "32") return TPcmSampleType::stInt32;
  return TPcmSampleType::stFloat32;
}

std::string ModeText(TMMMode mode) {
  return mode == TMMMode::mMono ? "mono" : mode == TMMMode::mStereo ? "stereo" : "quadro";
}

TEQFitOptions FitOptions(const TEqSettings& s, std::int32_t sampleRate = 0) {
  TEQFitOptions fit;
  fit.Bands = s.ExactBands ? TEQFitBands::fbExact : TEQFitBands::fbWindow;
  fit.SampleRate = sampleRate > 0 ? sampleRate : kDesignSampleRate;
  if (s.FFTLength) fit.FFTLength = *s.FFTLength;
  return fit;
}

void PrintWarnings(const std::vector<std::string>& warnings) {
  for (const std::string& w : warnings) std::fprintf(stderr, "strataeq-cli: warning: %s\n", w.c_str());
}

// What the filter will not do of what was asked, said once per process (a batch's
// children inherit the parent's having said it).
bool gLimitsSaid = false;

void NoteFilterLimits(const TMMEqualizer& eq, std::int32_t rate) {
  if (gLimitsSaid) return;
  gLimitsSaid = true;
  const TMMEQFilterList& bands = *eq.Filters();
  const std::int32_t n = eq.FFTLength();
  std::vector<std::string> notes;
  if (n > kMaxFilterBlock)
    notes.push_back("FFT length " + std::to_string(n) + " filters as " + std::to_string(kMaxFilterBlock) +
                    ", the longest the filter uses (a preset keeps " + std::to_string(n) + ")");
  for (const TBandReach& r : UnreachedBands(bands, rate, n)) notes.push_back(BandReachText(bands, r, n));
  float top = 0;
  bool any = false;
  for (std::int32_t i = 0; i < bands.Count(); ++i) {
    if (!bands.Band(i)->Enabled()) continue;
    top = std::max(top, bands.Band(i)->F2());
    any = any || bands.Band(i)->Gain() != 0;
  }
  if (any && rate > 48000 && top < rate / 2.0f)
    notes.push_back("the bands end at " + std::to_string(static_cast<int>(top / 1000)) + " kHz: above that, up to " +
                    std::to_string(rate / 2000) + " kHz at " + std::to_string(rate) + " Hz, the sound passes unchanged");
  for (const std::string& s : notes) std::fprintf(stderr, "strataeq-cli: note: %s\n", s.c_str());
}

}  // namespace

int FileThreads(const TCliOptions& o) {
  if (o.Threads > 0) return o.Threads;
  const int cores = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
  // A batch's jobs share the cores: one thread per file once there are as many jobs
  // (never more jobs than files).
  const int files = std::max(1, static_cast<int>(o.Positional.size()));
  const int jobs = o.OutDir ? std::min(o.Jobs > 0 ? o.Jobs : cores, files) : 1;
  return std::max(1, cores / jobs);
}

void ApplyEqSettings(TMMEqualizer& eq, const TEqSettings& s, std::int32_t sampleRate) {
  eq.SetSampleRate(kDesignSampleRate);
  LoadDefaultBandList(*eq.Filters());
  if (s.Preset) PrintWarnings(LoadPresetFile(*s.Preset, *eq.Filters(), FitOptions(s, sampleRate)));
  TMMEQFilterList& bands = *eq.Filters();
  auto setGain = [&](int band, float gain) {
    if (band >= bands.Count())
      throw EMMError("the preset has " + std::to_string(bands.Count()) + " bands: band " +
                      std::to_string(band + 1) + " does not exist");
    bands.Band(band)->SetBandValue(2, gain);
  };
  if (s.Gains)
    for (int b = 0; b < kBands; ++b) setGain(b, (*s.Gains)[static_cast<std::size_t>(b)]);
  for (const auto& [band, gain] : s.Bands) setGain(band, gain);
  if (s.FFTLength) eq.SetFFTLength(*s.FFTLength);
  if (s.Channel) eq.SetChannel(*s.Channel);
  if (s.Description) eq.SetDescription(*s.Description);
  NoteFilterLimits(eq, sampleRate > 0 ? sampleRate : kDesignSampleRate);
}

void ProcessFile(const std::string& input, const std::string& output, const TCliOptions& o,
                 const TProcessProgress& progress) {
  const TFileKind kind = OutputKind(output, o.To);
  if (output != "-" && SameFile(input, output))
    throw EMMError("the output " + output + " is the input file: refusing to overwrite it");

  TMMEqualizer eq;
  TFileSource source(input);
  source.CheckEqualizable(input);
  ApplyEqSettings(eq, o.Eq, static_cast<std::int32_t>(source.Format()->nSamplesPerSec));
  eq.SetAligned(true);
  const bool mp3Out = kind == TFileKind::Mp3;
  if (mp3Out && o.Bits) throw EMMError("--bits applies to WAV output; " + output + " is MP3");
  const TWaveFormatEx* in = source.FileFormat();
  const TPcmSampleType inType = SampleTypeOf(in);
  const TPcmSampleType outType = mp3Out ? TPcmSampleType::stInt16 : o.Bits ? SampleTypeOfBits(*o.Bits) : inType;
  // 16-bit files written as 16 bits keep today's exact path; everything else is
  // equalized in float. The encoder takes 16 bits.
  TPcmSampleType chainType = TPcmSampleType::stFloat32;
  if (!source.IsWav() || mp3Out || (inType == TPcmSampleType::stInt16 && outType == inType && IsValidPcmFormat(in)))
    chainType = TPcmSampleType::stInt16;
  source.SetChainSampleType(chainType == inType ? TPcmSampleType::stNone : chainType);
  TOutputFile out(output);
  TFileSink sink(out, kind, o);
  sink.CheckInput(source.Format(), input);
  const TWaveFormatExtensible built = BuildWaveFormat(outType, in->nChannels, in->nSamplesPerSec);
  const TWaveFormatEx* written = source.Format();
  if (!mp3Out && outType != chainType) {
    // Without --bits the output keeps the input's own format record (its layout too).
    written = o.Bits || !source.IsWav() ? &built.Format : in;
    sink.SetWavFormat(written);
  }
  // A stream cannot go back to the header: it gets the sizes up front when they are known.
  if (const std::int64_t frames = source.ExactFrames(); frames >= 0 && out.IsStream())
    sink.SetStreamLength(frames * written->nBlockAlign);
  if (!mp3Out && source.TotalBytes() == 0) {
    // Nothing to pull: the chain would not start. The output is as empty as the input.
    TMMWave empty;
    empty.CreateFile(written, out.Target());
    if (!empty.CloseFile())
      throw EMMError("Unable to write " + output + ": " + WriteErrorText(empty.WriteError()) + "; " + out.LeftBehind());
    out.Commit();
    return;
  }

  // With cores to spare, reading and writing run on threads of their own, beside the
  // filter on the trigger's. The MP3 encoder stays with the filter: it is nearly all of
  // the work, so a thread of its own gained no time and cost some 5 % more CPU.
  std::unique_ptr<TMMBlockQueue> readAhead, writeBehind;
  if (FileThreads(o) > 1) {
    readAhead = std::make_unique<TMMBlockQueue>(TMMBlockQueueMode::bqReadAhead);
    if (!mp3Out) writeBehind = std::make_unique<TMMBlockQueue>(TMMBlockQueueMode::bqWriteBehind);
  }
  TMMTrigger trigger;
  // The same frames per buffer whatever the sample size: float buffers are larger.
  const int sampleBytes = std::max(1, SampleBytes(chainType));
  trigger.SetBufferSize(kTriggerBufferSize / 2 * sampleBytes);
  trigger.SetInterval(0);
  TMMDSPComponent* last = source.Component();
  for (TMMDSPComponent* next : {static_cast<TMMDSPComponent*>(readAhead.get()), static_cast<TMMDSPComponent*>(&eq),
                                static_cast<TMMDSPComponent*>(&trigger), static_cast<TMMDSPComponent*>(writeBehind.get()),
                                sink.Component()})
    if (next) {
      last->SetOutput(next);
      last = next;
    }

  bool stopped = false;
  std::string failure;
  trigger.OnStop = [&](TObject*) { stopped = true; };
  Application().OnException = [&](std::exception_ptr e) {
    if (failure.empty()) failure = ExceptionMessage(e);
    stopped = true;
  };
  struct Restore {
    ~Restore() { Application().OnException = nullptr; }
  } restore;

  const double bytesPerSecond = source.BytesPerSecond();
  const std::int64_t total = source.TotalBytes();
  auto report = [&] {
    const std::int64_t done = trigger.BytesPushed();
    if (progress) progress(done, total, static_cast<double>(done) / bytesPerSecond);
  };
  trigger.Start();
  // A sink that cannot write ends the run (the rest would be thrown away), through the
  // trigger's own stop: its worker may be waiting on this thread meanwhile.
  bool stopAsked = false;
  for (;;) {
    if (!RunUntil([&] { return stopped || Interrupted() || (!stopAsked && sink.Failed()); },
                  std::chrono::milliseconds(100))) {
      report();
      continue;
    }
    if (stopped || Interrupted()) break;
    stopAsked = true;
    trigger.Stop();
  }
  report();
  // A signal counts unless the run was complete by then (a reader that left a stream
  // shows as both a signal and a failed write). Closing the trigger stops it too.
  const bool interrupted = Interrupted() && (!stopped || sink.Failed());
  trigger.Close();
  ProcessPendingMessages();  // a failure report still queued
  // Only a complete output is kept: whatever stopped the run, the new file goes.
  if (interrupted) throw EInterrupted("interrupted: " + out.LeftBehind());
  if (const std::string why = sink.Failure(); !why.empty())
    throw EMMError("Unable to write " + output + ": " + why + "; " + out.LeftBehind());
  if (!failure.empty()) throw EMMError(failure);
  if (const std::int64_t bad = eq.NonFiniteSamples())
    PrintWarnings({input + ": " + std::to_string(bad) + (bad == 1 ? " sample was" : " samples were") +
                   " NaN or infinite: taken as silence"});
  out.Commit();
}

int RunProcess(const TCliOptions& o) {
  TInterruptGuard signals;
  if (o.OutDir) return RunBatch(o);
  TProgress progress(stderr, !o.Quiet);
  try {
    ProcessFile(o.Positional[0], o.Positional[1], o,
                [&](std::int64_t done, std::int64_t total, double seconds) { progress.Update(done, total, seconds); });
  } catch (...) {
    progress.Finish();
    throw;
  }
  progress.Finish();
  return 0;
}

int RunInfo(const TCliOptions& o, std::FILE* out) {
  const std::string& file = o.Positional[0];
  CheckReadableInput(file);
  std::fprintf(out, "file:      %s\n", file.c_str());
  if (KindOf(file) == TFileKind::Mp3) {
    TMMMPEGFile mpeg;
    try {
      mpeg.SetFileName(file);
    } catch (const EMMError& e) {
      throw EMMError(file + ": " + kNotMpeg + " (" + e.what() + ")");
    }
    // Decoded whole, as process decodes it: a stream that process refuses is refused
    // here, and the length shown is what decoding gives, not what a tag or a frame
    // count of a cut or damaged file claims.
    std::int64_t decoded = 0;
    {
      TMMMpeg& m = mpeg.Mpeg();
      std::vector<std::uint8_t> pcm(65536);
      m.OpenFile();
      try {
        for (std::int32_t n; (n = m.ReadDataBytes(pcm.data(), static_cast<std::int32_t>(pcm.size()))) > 0;) decoded += n;
      } catch (const EMMError& e) {
        m.CloseFile();
        throw EMMError(file + ": " + e.what());
      }
      m.CloseFile();
      decoded /= std::max<int>(1, mpeg.PWaveFormat() ? mpeg.PWaveFormat()->nBlockAlign : 4);
    }
    static const char* const modes[] = {"stereo", "joint stereo", "dual channel", "single channel"};
    std::fprintf(out, "format:    MPEG %s layer %d\n", mpeg.Version() == TMpegVersion::v1 ? "1" : "2", mpeg.Layer());
    std::fprintf(out, "rate:      %d Hz\n", mpeg.SampleRate());
    std::fprintf(out, "mode:      %s\n", modes[static_cast<int>(mpeg.Mode()) & 3]);
    std::fprintf(out, "bit rate:  %d kbit/s\n", mpeg.BitRate());
    std::fprintf(out, "frames:    %d\n", mpeg.Frames());
    if (decoded == mpeg.Samples())
      std::fprintf(out, "length:    %" PRId64 " samples\n", decoded);
    else
      std::fprintf(out, "length:    %" PRId64 " samples (decoded; its headers promise %" PRId64
                        ": the file is cut short or damaged)\n", decoded, mpeg.Samples());
    if (mpeg.EncoderDelay() >= 0)
      std::fprintf(out, "gapless:   Info tag, encoder delay %d, padding %d\n", mpeg.EncoderDelay(),
                   mpeg.EncoderPadding());
    else
      std::fprintf(out, "gapless:   no Info tag: every decoded sample counts\n");
    const std::int64_t rate = std::max(1, mpeg.PWaveFormat() ? static_cast<int>(mpeg.PWaveFormat()->nSamplesPerSec) : 0);
    std::fprintf(out, "play time: %s\n", FormatTimeString(static_cast<std::int32_t>(decoded * 1000 / rate), true).c_str());
    return 0;
  }
  TMMWave wave;
  wave.SetTimeFormat(TMMTimeFormats::tfByte);
  try {
    wave.SetFileName(file);
  } catch (const EMMError& e) {
    throw EMMError(file + ": " + e.what());
  }
  const TWaveFormatEx* f = wave.PWaveFormat();
  const std::int64_t bytes = wave.LengthInBytes();
  // By whole frames at the sample rate: the header's byte rate may be computed from the
  // valid bits (12 bits in 16-bit samples) and is not what the data holds.
  const std::int64_t ms =
      f && f->nBlockAlign && f->nSamplesPerSec ? bytes / f->nBlockAlign * 1000 / f->nSamplesPerSec : 0;
  std::string format = wave.FormatString();
  const std::uint16_t tag = EffectiveFormatTag(f);
  if (tag == WAVE_FORMAT_PCM || tag == WAVE_FORMAT_IEEE_FLOAT) {
    format = tag == WAVE_FORMAT_PCM ? "PCM" : "IEEE float";
    if (f->wFormatTag == WAVE_FORMAT_EXTENSIBLE) format += " (extensible layout)";
  }
  std::fprintf(out, "format:    %s\n", format.c_str());
  std::fprintf(out, "rate:      %u Hz\n", wave.SampleRate());
  std::fprintf(out, "bits:      %u\n", wave.BitLength());
  const unsigned channels = f ? f->nChannels : 0u;
  if (channels == 1 || channels == 2)
    std::fprintf(out, "channels:  %u (%s)\n", channels, ModeText(wave.Mode()).c_str());
  else
    std::fprintf(out, "channels:  %u\n", channels);
  std::fprintf(out, "data:      %" PRId64 " bytes\n", bytes);
  std::fprintf(out, "play time: %s\n", FormatTimeString(static_cast<std::int32_t>(ms), true).c_str());
  if (wave.Unfinished())
    std::fprintf(out, "warning:   the file was not closed properly (its header holds no sizes); "
                      "the audio is taken up to the end of the file\n");
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
  PrintWarnings(ClampPresetGains(*eq.Filters(), o.Positional[0]));
  const TMMEQFilterList& bands = *eq.Filters();
  std::fprintf(out, "description: %s\n", eq.Description().c_str());
  if (eq.FFTLength() > kMaxFilterBlock)
    std::fprintf(out, "FFT length:  %d (filters as %d)\n", eq.FFTLength(), kMaxFilterBlock);
  else
    std::fprintf(out, "FFT length:  %d\n", eq.FFTLength());
  std::fprintf(out, "bands:       %d\n", bands.Count());
  for (int i = 0; i < bands.Count(); ++i) {
    const TMMEQFilter* b = bands.Band(i);
    std::fprintf(out, "  %2d  %8.1f - %8.1f Hz  %+6.1f dB%s\n", i + 1, static_cast<double>(b->F1()),
                 static_cast<double>(b->F2()), static_cast<double>(b->Gain()), b->Enabled() ? "" : "  (off)");
  }
  return 0;
}

int RunPresetImport(const TCliOptions& o, std::FILE* out) {
  const std::string& input = o.Positional[0];
  if (SameFile(input, o.Positional[1]))
    throw EMMError("the output " + o.Positional[1] + " is the input file: refusing to overwrite it");
  TMMEqualizer eq;
  eq.SetSampleRate(kDesignSampleRate);
  TEQFit fit;
  const auto warnings = LoadPresetFile(input, *eq.Filters(), FitOptions(o.Eq), &fit);
  if (fit.Bands.empty())
    throw EMMError(input + " is a preset already: import reads GraphicEQ and ParametricEQ texts");
  PrintWarnings(warnings);
  eq.Filters()->SaveToFile(o.Positional[1]);
  std::fprintf(out, "%s\n", fit.Description.c_str());
  std::fprintf(out, "bands: %zu, FFT length %d\n", fit.Bands.size(), fit.FFTLength);
  std::fprintf(out, "fit error 20 Hz-%.0f kHz: RMS %.2f dB, max %.2f dB at %.0f Hz\n", fit.ErrorTo / 1000, fit.RmsError,
               fit.MaxError, fit.MaxErrorFrequency);
  std::fprintf(out, "within 1 dB of the target from %.0f Hz up\n", fit.FollowsFrom);
  return 0;
}

int RunPresetExport(const TCliOptions& o) {
  const std::string& output = o.Positional[1];
  if (SameFile(o.Positional[0], output))
    throw EMMError("the output " + output + " is the input file: refusing to overwrite it");
  TMMEqualizer eq;
  eq.SetSampleRate(kDesignSampleRate);
  PrintWarnings(LoadPresetFile(o.Positional[0], *eq.Filters()));
  const std::string text = ExportGraphicEQ(*eq.Filters(), kDesignSampleRate);
  TOutputFile file(output);
  if (const int r = file.Target().Write(text.data(), text.size()))
    throw EMMError("Unable to write " + output + ": " + WriteErrorText(r) + "; " + file.LeftBehind());
  file.Commit();
  return 0;
}

int RunCommand(const TCliOptions& o) {
  try {
    if (o.Command == "process") return RunProcess(o);
    if (o.Command == "info") return RunInfo(o, stdout);
    if (o.Command == "preset") {
      if (o.SubCommand == "write") return RunPresetWrite(o);
      if (o.SubCommand == "import") return RunPresetImport(o, stdout);
      if (o.SubCommand == "export") return RunPresetExport(o);
      return RunPresetShow(o, stdout);
    }
    if (o.Command == "devices") return RunDevices(stdout);
    if (o.Command == "live") return RunLive(o);
    if (o.Command == "play") return RunPlay(o);
    return RunRecord(o);
  } catch (const EUsageError&) {
    throw;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "strataeq-cli: %s\n", e.what());
    return dynamic_cast<const EInterrupted*>(&e) ? InterruptedStatus() : 1;
  }
}

}  // namespace strataeq::cli
