// The device routes of strataeq-cli: devices, live, play, record.
#include <cstdio>
#include <memory>
#include <string>

#include "app/cli/CliSupport.h"
#include "app/cli/FileEnds.h"
#include "app/cli/Commands.h"
#include "drivers/DesktopSound.h"
#include "drivers/LiveLatency.h"
#include "drivers/MMHTimer.h"
#include "drivers/MMRingBf.h"
#include "drivers/MMWavIn.h"
#include "drivers/MMWavOut.h"
#include "eq/MMEQ.h"
#include "platform/Messages.h"
#include "platform/WaveApi.h"

namespace strataeq::cli {
namespace {

constexpr std::int32_t kDesignRate = 44100;

const char* const kRecorderBusy =
    "The Recording Device is already in use by another application!\rPlease make sure no other "
    "applications that may use the recording device are opened !";
const char* const kPlayerBusy =
    "The Playback Device is already in use by another application!\rPlease make sure no other "
    "applications that may use the playback device are opened !";

bool ContainsNoCase(const std::string& haystack, const std::string& needle) {
  auto lower = [](std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
  };
  return lower(haystack).find(lower(needle)) != std::string::npos;
}

// A device number, or a part of a device's name; none means the default device.
TMMDeviceId ResolveDevice(const std::optional<std::string>& spec, bool recording) {
  if (!spec) return MapperId;
  const int count = static_cast<int>(recording ? waveInGetNumDevs() : waveOutGetNumDevs());
  const char* kind = recording ? "recording" : "playback";
  try {
    const TMMDeviceId id = StringToDeviceId(*spec);
    if (id < MapperId || id >= count)
      throw EMMError("there is no " + std::string(kind) + " device " + *spec + " (see strataeq-cli devices)");
    return id;
  } catch (const EMMError&) {
    if (!spec->empty() && std::isdigit(static_cast<unsigned char>((*spec)[0]))) throw;
  }
  TMMDeviceId found = InvalidId;
  for (int i = 0; i < count; ++i) {
    const std::string name = recording ? WaveInDeviceName(i) : WaveOutDeviceName(i);
    if (!ContainsNoCase(name, *spec)) continue;
    if (found != InvalidId)
      throw EMMError("'" + *spec + "' names more than one " + kind + " device (see strataeq-cli devices)");
    found = i;
  }
  if (found == InvalidId) throw EMMError("no " + std::string(kind) + " device is named like '" + *spec + "'");
  return found;
}

// The design values, or buffering for the asked-for delay at the equalizer's FFT length;
// installs the server-side part for the devices opened next. Between two devices the
// sizes grow to what the server really runs, and the program says so.
TLiveLatencyPlan ChooseLatency(const TCliOptions& o, const TMMEqualizer& eq, TMMDeviceId inDev = InvalidId,
                               TMMDeviceId outDev = InvalidId) {
  // record may stream its WAV to standard output, so it tells its plan on stderr.
  std::FILE* out = o.Command == "record" ? stderr : stdout;
  TLiveLatencyPlan plan =
      o.LatencyMs ? PlanLiveLatency(*o.LatencyMs, kDesignRate, eq.FFTLength()) : DesignLatencyPlan();
  if (o.LatencyMs && inDev != InvalidId && outDev != InvalidId) {
    const TLiveLatencyPlan fitted = FitLiveLatencyToServer(plan, inDev, outDev, kDesignRate);
    if (fitted.BufferSize != plan.BufferSize || fitted.OutputBuffers != plan.OutputBuffers) {
      const double expected = fitted.ExpectedMs(kDesignRate, eq.FFTLength());
      if (!o.Quiet && expected > *o.LatencyMs + 0.5)
        std::fprintf(out, "Latency : the sound server cannot run the buffers a %d ms target needs; using %.1f ms\n",
                     *o.LatencyMs, expected);
      else if (!o.Quiet)
        std::fprintf(out, "Latency : sized to what the sound server runs\n");
      plan = fitted;
    }
  }
  ApplyStreamTiming(plan);
  if (o.LatencyMs && !o.Quiet) {
    std::fprintf(out, "Latency : target %d ms; %d-byte buffers", *o.LatencyMs, plan.BufferSize);
    if (o.Command != "record") std::fprintf(out, ", %d playback buffers", plan.OutputBuffers);
    if (o.Command == "live")
      std::fprintf(out, ", ring primed at %d of %d slots; expected %.1f ms", plan.PrimeSlots(), plan.RingSlots,
                   plan.ExpectedMs(kDesignRate, eq.FFTLength()));
    std::fprintf(out, "\n");
  }
  return plan;
}

void ConfigureWaveIn(TMMWaveIn& in, TMMDeviceId device, const TLiveLatencyPlan& plan) {
  in.SetDeviceID(device);
  in.SetBufferSize(plan.BufferSize);
  in.SetCallBackMode(TMMCBMode::cmThread);
  in.SetMode(TMMMode::mStereo);
  in.SetBitLength(TMMBits::b16Bit);
  in.SetSampleRate(kDesignRate);
}

void ConfigureWaveOut(TMMWaveOut& out, TMMDeviceId device, const TLiveLatencyPlan& plan) {
  out.SetDeviceID(device);
  out.SetBufferSize(plan.BufferSize);
  out.SetNumBuffers(plan.OutputBuffers);
  out.SetCallBackMode(TMMCBMode::cmThread);
}

// Reports what a driver raised on its worker and keeps the first failure.
struct TFailureCatcher {
  std::string failure;
  TFailureCatcher() {
    Application().OnException = [this](std::exception_ptr e) {
      if (failure.empty()) failure = ExceptionMessage(e);
    };
  }
  ~TFailureCatcher() { Application().OnException = nullptr; }
};

// A running route whose playback has not moved for longer than kStallGrace counts the
// silence as drop-outs and says so; after kStallSeconds it is stopped.
constexpr int kStallGrace = 2;
constexpr int kStallSeconds = 10;

// What a live route reports once a second: drop-outs, the measured delay, and the
// playback position that shows whether sound still moves.
struct TRouteReadout {
  std::atomic<int>* Dropouts = nullptr;
  std::function<double()> Latency;
  std::function<std::int64_t()> Position;
  std::int32_t BufferFrames = 0;
  std::function<std::int64_t()> Clipped;  // buffers the equalizer clipped
  std::function<std::int64_t()> Underflows;  // the playback device's count
  TRecordingWatch* Recording = nullptr;       // with the frames recorded
  std::function<std::int64_t()> Recorded;
  // Adds a playback buffer after the server ran dry (false at its limit), and the
  // buffers played from now.
  std::function<bool()> GrowQueue;
  std::function<int()> PlaybackBuffers;
};

// What RunRoute returns for a recording that must be reconnected.
const char* const kRecordingStalled = "the recording delivers no sound";

// Serves the main thread until done, a signal or the deadline; prints the window's
// status texts once a second unless quiet. A route that stalls counts the silence as
// drop-outs and, after kStallSeconds, ends with the reason (empty otherwise).
std::string RunRoute(const std::function<bool()>& done, std::optional<double> seconds, bool quiet,
                     const TRouteReadout& readout) {
  const std::atomic<int>* dropouts = readout.Dropouts;
  const std::function<double()>& latency = readout.Latency;
  TRouteStallWatch watch(readout.BufferFrames, kStallGrace * kDesignRate);
  bool stallTold = false;
  const auto start = std::chrono::steady_clock::now();
  auto due = [&] {
    return seconds && std::chrono::steady_clock::now() - start >= std::chrono::duration<double>(*seconds);
  };
  GetCpuUsageWithProcess();  // the first reading only sets the reference
  auto nextReport = start + std::chrono::seconds(1);
  while (!done() && !Interrupted() && !due()) {
    RunUntil([&] { return done() || Interrupted() || due() || std::chrono::steady_clock::now() >= nextReport; },
             std::chrono::milliseconds(1000));
    if (std::chrono::steady_clock::now() >= nextReport) {
      nextReport += std::chrono::seconds(1);
      if (readout.Position && readout.Dropouts) {
        const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
        const int gap = watch.Update(readout.Position(), static_cast<std::int64_t>(elapsed.count() * kDesignRate));
        if (gap > 0 && !stallTold)
          std::fprintf(stderr, "strataeq-cli: the sound server has played nothing of the route for %d s\n",
                       static_cast<int>(watch.Stalled() / kDesignRate));
        stallTold = watch.Stalled() > 0 && (stallTold || gap > 0);
        *readout.Dropouts += gap;
        const int underflows = readout.Underflows ? watch.AddUnderflows(readout.Underflows()) : 0;
        *readout.Dropouts += underflows;
        if (underflows > 0 && readout.GrowQueue && readout.GrowQueue() && !quiet)
          std::printf("Latency : the sound server ran out of sound; %d playback buffers from now on\n",
                      readout.PlaybackBuffers() + 1);
        if (watch.Stalled() >= kStallSeconds * kDesignRate)
          return "the sound server has played nothing of the route for " + std::to_string(kStallSeconds) +
                 " s (Dropouts : " + std::to_string(readout.Dropouts->load()) + "); stopped";
        if (readout.Recording) {
          const auto verdict =
              readout.Recording->Update(readout.Recorded(), static_cast<std::int64_t>(elapsed.count() * kDesignRate));
          if (verdict == TRecordingWatch::TVerdict::Reconnect) return kRecordingStalled;
          if (verdict == TRecordingWatch::TVerdict::GiveUp)
            return "the sound server delivers no sound from the recording device, even after reconnecting "
                   "(Dropouts : " + std::to_string(readout.Dropouts->load()) + "); stopped";
        }
      }
      if (!quiet) {
        const TCpuUsage cpu = GetCpuUsageWithProcess();
        std::printf("Cpu Usage : %d %% (strataeq %d %%)", cpu.Machine, cpu.Process);
        if (dropouts) std::printf("   Dropouts : %d", dropouts->load());
        if (latency) std::printf("   Latency : %.0f ms", latency());
        if (readout.Clipped && readout.Clipped() > 0)
          std::printf("   Clipped : %lld", static_cast<long long>(readout.Clipped()));
        std::printf("\n");
        std::fflush(stdout);
      }
    }
  }
  return {};
}

void ConfigureRing(TMMRingBuffer& ring, TMMQueueMode mode, const TLiveLatencyPlan& plan) {
  ring.SetBufferSize(plan.BufferSize);
  // Only between two devices do its primed slots add to the delay.
  if (mode == TMMQueueMode::qmDuplex) {
    ring.SetNumBuffers(plan.RingSlots);
    ring.SetPrimeSlots(plan.RingPrime);
  }
  ring.SetQueueMode(mode);
}

// Starts the route at its driver and serves it until it stops by itself, a signal
// arrives or the time is up; then stops and closes it and raises what a worker
// reported.
void Drive(TMMDSPComponent& driver, TNotifyEvent& driverStop, TMMRingBuffer& ring, std::optional<double> seconds,
           bool quiet, const TRouteReadout& readout = {}) {
  bool stopped = false;
  driverStop = [&](TObject*) { stopped = true; };
  TFailureCatcher failures;
  TInterruptGuard signals;
  try {
    driver.Start();
    const std::string stall = RunRoute([&] { return stopped || !failures.failure.empty(); }, seconds, quiet, readout);
    if (!stall.empty() && failures.failure.empty()) failures.failure = stall;
    driver.Stop();
    RunUntil([&] { return stopped || !driver.Started(); }, std::chrono::seconds(10));
    driver.Close();
    ring.CloseQueue();
    ProcessPendingMessages();
  } catch (...) {
    driverStop = nullptr;
    throw;
  }
  driverStop = nullptr;
  if (!failures.failure.empty()) throw EMMError(failures.failure);
}

}  // namespace

int RunDevices(std::FILE* out) {
  const int inputs = static_cast<int>(waveInGetNumDevs());
  const int outputs = static_cast<int>(waveOutGetNumDevs());
  std::fprintf(out, "recording devices (--in):\n");
  if (inputs == 0) std::fprintf(out, "  none\n");
  else std::fprintf(out, "  %3d  %s (default)\n", MapperId, WaveInDeviceName(MapperId).c_str());
  for (int i = 0; i < inputs; ++i) std::fprintf(out, "  %3d  %s\n", i, WaveInDeviceName(i).c_str());
  std::fprintf(out, "playback devices (--out):\n");
  if (outputs == 0) std::fprintf(out, "  none\n");
  else std::fprintf(out, "  %3d  %s (default)\n", MapperId, WaveOutDeviceName(MapperId).c_str());
  for (int i = 0; i < outputs; ++i) std::fprintf(out, "  %3d  %s\n", i, WaveOutDeviceName(i).c_str());
  return 0;
}

int RunLive(const TCliOptions& o) {
  TInterruptGuard signals;
  // Declared first, so the route is closed before the devices are put back.
  TDesktopSound desktop;
  TMMDeviceId inDev, outDev;
  if (o.Desktop) {
    std::string output;
    if (o.OutDevice) output = WaveDeviceServerName(TWaveDir::Output, ResolveDevice(o.OutDevice, false));
    desktop.Start(output, kDesignRate);
    inDev = WaveDeviceByServerName(TWaveDir::Input, desktop.MonitorName());
    outDev = WaveDeviceByServerName(TWaveDir::Output, desktop.OutputName());
    if (inDev < 0 || outDev < 0) throw EMMError("Desktop Sound: the sound server does not list its devices");
    if (!o.Quiet)
      std::printf("Desktop Sound : %d stream(s) moved to \"%s\", playing on %s\n", desktop.MovedStreams(),
                  TDesktopSound::kDescription, WaveOutDeviceName(outDev).c_str());
  } else {
    inDev = ResolveDevice(o.InDevice, true);
    outDev = ResolveDevice(o.OutDevice, false);
  }
  if (!WaveInCanOpen(inDev)) throw EMMError(kRecorderBusy);
  if (!WaveOutCanOpen(outDev)) throw EMMError(kPlayerBusy);

  std::atomic<int> dropouts{0};
  std::int64_t clipped = 0;  // of the routes before a device move
  const auto start = std::chrono::steady_clock::now();
  bool planned = false;
  TLiveLatencyPlan plan;
  TRecordingWatch recording(kStallGrace * kDesignRate, 3);
  for (;;) {
    TMMEqualizer eq;
    ApplyEqSettings(eq, o.Eq);
    if (!planned) plan = ChooseLatency(o, eq, inDev, outDev);
    planned = true;
    const std::string outName = WaveOutDeviceName(outDev);
    TMMWaveIn waveIn;
    ConfigureWaveIn(waveIn, inDev, plan);
    TMMRingBuffer ring;
    ConfigureRing(ring, TMMQueueMode::qmDuplex, plan);
    TMMWaveOut waveOut;
    ConfigureWaveOut(waveOut, outDev, plan);
    waveIn.SetOutput(&ring);
    ring.SetOutput(&eq);
    eq.SetOutput(&waveOut);

    // Silence for want of a recorded slot or a skip to hold the delay:
    // each is a gap the listener hears.
    ring.OnEmpty = ring.OnSlotDropped = [&](TObject*) { ++dropouts; };
    TRouteReadout readout;
    readout.Dropouts = &dropouts;
    readout.Latency = [&] { return MeasuredLiveLatencyMs(waveIn, ring, waveOut, eq.FFTLength()); };
    readout.Position = [&] { return waveOut.Started() ? waveOut.Position() : -1; };
    readout.BufferFrames = plan.BufferSize / 4;
    readout.Underflows = [&] { return waveOut.Underflows(); };
    readout.Clipped = [&] { return clipped + eq.ClippedBuffers(); };
    readout.Recording = &recording;
    readout.Recorded = [&] { return waveIn.BytesRecorded() / 4; };
    if (o.LatencyMs) {  // the design values keep their own ample queue
      readout.GrowQueue = [&] { return waveOut.GrowQueue(); };
      readout.PlaybackBuffers = [&] { return waveOut.BuffersInUse(); };
    }
    std::optional<double> left = o.Seconds;
    if (left) left = *left - std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    try {
      Drive(waveIn, waveIn.OnStop, ring, left, o.Quiet, readout);
      clipped += eq.ClippedBuffers();
      break;
    } catch (const EMMError& e) {
      clipped += eq.ClippedBuffers();
      if (std::string(e.what()) == kRecordingStalled) {
        ++dropouts;  // the silence until the recording is back
        recording.Reconnected();
        if (!o.Quiet) std::printf("Recording : the sound server stopped delivering; reconnected\n");
        std::fflush(stdout);
        continue;
      }
      // The desktop's own output went away: the route goes on where the desktop's sound
      // now goes. A device the user named stays an error.
      if (!o.Desktop || o.OutDevice || desktop.OutputPresent()) throw;
    }
    outDev = WaveDeviceByServerName(TWaveDir::Output, desktop.FollowDesktop());
    if (outDev < 0) throw EMMError("Desktop Sound: the sound server does not list its devices");
    inDev = WaveDeviceByServerName(TWaveDir::Input, desktop.MonitorName());
    if (inDev < 0) throw EMMError("Desktop Sound: the sound server does not list its devices");
    if (!o.Quiet)
      std::printf("Desktop Sound : %s went away; playing on %s\n", outName.c_str(),
                  WaveOutDeviceName(outDev).c_str());
    std::fflush(stdout);
  }
  if (!o.Quiet) {
    std::printf("Dropouts : %d", dropouts.load());
    if (clipped > 0) std::printf("   Clipped : %lld", static_cast<long long>(clipped));
    std::printf("\n");
  }
  return 0;
}

int RunPlay(const TCliOptions& o) {
  TFileSource source(o.Positional[0]);
  source.CheckEqualizable(o.Positional[0]);
  const TMMDeviceId outDev = ResolveDevice(o.OutDevice, false);
  if (!WaveOutCanOpen(outDev)) throw EMMError(kPlayerBusy);

  TMMEqualizer eq;
  ApplyEqSettings(eq, o.Eq, static_cast<std::int32_t>(source.Format()->nSamplesPerSec));
  const TLiveLatencyPlan plan = ChooseLatency(o, eq);
  TMMRingBuffer ring;
  ConfigureRing(ring, TMMQueueMode::qmRead, plan);
  TMMWaveOut waveOut;
  ConfigureWaveOut(waveOut, outDev, plan);
  source.Component()->SetOutput(&ring);
  ring.SetOutput(&eq);
  eq.SetOutput(&waveOut);

  Drive(waveOut, waveOut.OnStop, ring, std::nullopt, true);
  if (Interrupted()) throw EInterrupted("interrupted: playback stopped");
  return 0;
}

int RunRecord(const TCliOptions& o) {
  const std::string& file = o.Positional[0];
  const TMMDeviceId inDev = ResolveDevice(o.InDevice, true);
  if (!WaveInCanOpen(inDev)) throw EMMError(kRecorderBusy);

  TMMEqualizer eq;
  ApplyEqSettings(eq, o.Eq);
  const TLiveLatencyPlan plan = ChooseLatency(o, eq);
  TMMWaveIn waveIn;
  ConfigureWaveIn(waveIn, inDev, plan);
  if (o.Seconds) {
    waveIn.SetTimeFormat(TMMTimeFormats::tfMillisecond);
    waveIn.SetMaxRecordTime(static_cast<std::int32_t>(*o.Seconds * 1000 + 0.5));
  }
  TMMRingBuffer ring;
  ConfigureRing(ring, TMMQueueMode::qmRead, plan);
  TFileSink sink(file, OutputKind(file, o.To), o);
  // A write that fails ends the recording; what was recorded stays a finished file.
  sink.SetOnWriteStop([&sink, file] {
    std::string text = "recording stopped: Unable to write " + file + ": " + sink.Failure();
    if (const double s = sink.SecondsWritten(); s > 0)
      text += "; " + file + " holds the first " + FormatTimeString(static_cast<std::int32_t>(s * 1000), true);
    Application().HandleException(std::make_exception_ptr(EMMError(text)));
  });
  waveIn.SetOutput(&ring);
  ring.SetOutput(&eq);
  eq.SetOutput(sink.Component());

  Drive(waveIn, waveIn.OnStop, ring, std::nullopt, true);
  return 0;
}

}  // namespace strataeq::cli
