#include "app/cli/Commands.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "app/cli/Batch.h"
#include "app/cli/CliSupport.h"
#include "eq/MMEQ.h"
#include "eq/MMEQFit.h"
#include "eq/MMObjLst.h"
#include "files/MMMPEG.h"
#include "files/MMWave.h"
#include "platform/Messages.h"
#include "routes/Route.h"

namespace strataeq::cli {
namespace {

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
  routes::TRouteSpec spec;
  spec.Kind = routes::TRouteKind::FileToFile;
  spec.Input = input;
  spec.Output = output;
  spec.OutputKind = OutputKind(output, o.To);
  spec.Sink = SinkOptionsOf(o);
  if (o.Bits) spec.Bits = SampleTypeOfBits(*o.Bits);
  routes::TRoute route(spec);
  route.Open();
  ApplyEqSettings(route.Equalizer(), o.Eq, route.SourceRate());
  route.OnProgress = progress;
  route.OnWarning = [](const std::string& text) { PrintWarnings({text}); };
  route.Start();
  route.Serve([] { return Interrupted(); });
  route.Finish();
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
  } catch (const routes::EBadBitrate& e) {
    throw EUsageError(e.what());
  } catch (const std::exception& e) {
    std::fprintf(stderr, "strataeq-cli: %s\n", e.what());
    return dynamic_cast<const EInterrupted*>(&e) ? InterruptedStatus() : 1;
  }
}

}  // namespace strataeq::cli
