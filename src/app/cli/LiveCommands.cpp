// The device routes of strataeq-cli: devices, live, play, record.
#include <csignal>
#include <cstdio>
#include <memory>
#include <string>

#include "app/cli/CliSupport.h"
#include "app/cli/FileEnds.h"
#include "app/cli/Commands.h"
#include "drivers/MMHTimer.h"
#include "drivers/MMRingBf.h"
#include "drivers/MMWavIn.h"
#include "drivers/MMWavOut.h"
#include "eq/MMEQ.h"
#include "platform/Messages.h"
#include "platform/WaveApi.h"

namespace strataeq::cli {
namespace {

constexpr std::int32_t kDeviceBufferSize = 8192;
constexpr std::int32_t kOutputBuffers = 20;
constexpr std::int32_t kDesignRate = 44100;

const char* const kRecorderBusy =
    "The Recording Device is already in use by another application!\rPlease make sure no other "
    "applications that may use the recording device are opened !";
const char* const kPlayerBusy =
    "The Playback Device is already in use by another application!\rPlease make sure no other "
    "applications that may use the playback device are opened !";

volatile std::sig_atomic_t gInterrupted = 0;
extern "C" void OnSignal(int) { gInterrupted = 1; }

struct TSignalGuard {
  TSignalGuard() {
    gInterrupted = 0;
    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);
  }
  ~TSignalGuard() {
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGTERM, SIG_DFL);
  }
};

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

void ConfigureWaveIn(TMMWaveIn& in, TMMDeviceId device) {
  in.SetDeviceID(device);
  in.SetBufferSize(kDeviceBufferSize);
  in.SetCallBackMode(TMMCBMode::cmThread);
  in.SetMode(TMMMode::mStereo);
  in.SetBitLength(TMMBits::b16Bit);
  in.SetSampleRate(kDesignRate);
}

void ConfigureWaveOut(TMMWaveOut& out, TMMDeviceId device) {
  out.SetDeviceID(device);
  out.SetBufferSize(kDeviceBufferSize);
  out.SetNumBuffers(kOutputBuffers);
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

// Serves the main thread until done, a signal or the deadline; prints the window's
// status texts once a second unless quiet.
void RunRoute(const std::function<bool()>& done, std::optional<double> seconds, bool quiet,
              const std::atomic<int>* dropouts) {
  const auto start = std::chrono::steady_clock::now();
  auto due = [&] {
    return seconds && std::chrono::steady_clock::now() - start >= std::chrono::duration<double>(*seconds);
  };
  GetCpuUsage();  // the first reading only sets the reference
  auto nextReport = start + std::chrono::seconds(1);
  while (!done() && !gInterrupted && !due()) {
    RunUntil([&] { return done() || gInterrupted || due() || std::chrono::steady_clock::now() >= nextReport; },
             std::chrono::milliseconds(1000));
    if (std::chrono::steady_clock::now() >= nextReport) {
      nextReport += std::chrono::seconds(1);
      if (!quiet) {
        std::printf("Cpu Usage : %d %%", GetCpuUsage());
        if (dropouts) std::printf("   Dropouts : %d", dropouts->load());
        std::printf("\n");
        std::fflush(stdout);
      }
    }
  }
}

void ConfigureRing(TMMRingBuffer& ring, TMMQueueMode mode) {
  ring.SetBufferSize(kDeviceBufferSize);
  ring.SetQueueMode(mode);
}

// Starts the route at its driver and serves it until it stops by itself, a signal
// arrives or the time is up; then stops and closes it and raises what a worker
// reported.
void Drive(TMMDSPComponent& driver, TNotifyEvent& driverStop, TMMRingBuffer& ring, std::optional<double> seconds,
           bool quiet, const std::atomic<int>* dropouts) {
  bool stopped = false;
  driverStop = [&](TObject*) { stopped = true; };
  TFailureCatcher failures;
  TSignalGuard signals;
  try {
    driver.Start();
    RunRoute([&] { return stopped || !failures.failure.empty(); }, seconds, quiet, dropouts);
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
  const TMMDeviceId inDev = ResolveDevice(o.InDevice, true);
  const TMMDeviceId outDev = ResolveDevice(o.OutDevice, false);
  if (!WaveInCanOpen(inDev)) throw EMMError(kRecorderBusy);
  if (!WaveOutCanOpen(outDev)) throw EMMError(kPlayerBusy);

  TMMEqualizer eq;
  ApplyEqSettings(eq, o.Eq);
  TMMWaveIn waveIn;
  ConfigureWaveIn(waveIn, inDev);
  TMMRingBuffer ring;
  ConfigureRing(ring, TMMQueueMode::qmDuplex);
  TMMWaveOut waveOut;
  ConfigureWaveOut(waveOut, outDev);
  waveIn.SetOutput(&ring);
  ring.SetOutput(&eq);
  eq.SetOutput(&waveOut);

  std::atomic<int> dropouts{0};
  ring.OnEmpty = [&](TObject*) { ++dropouts; };
  Drive(waveIn, waveIn.OnStop, ring, o.Seconds, o.Quiet, &dropouts);
  if (!o.Quiet) std::printf("Dropouts : %d\n", dropouts.load());
  return 0;
}

int RunPlay(const TCliOptions& o) {
  TFileSource source(o.Positional[0]);
  source.CheckEqualizable(o.Positional[0]);
  const TMMDeviceId outDev = ResolveDevice(o.OutDevice, false);
  if (!WaveOutCanOpen(outDev)) throw EMMError(kPlayerBusy);

  TMMEqualizer eq;
  ApplyEqSettings(eq, o.Eq, static_cast<std::int32_t>(source.Format()->nSamplesPerSec));
  TMMRingBuffer ring;
  ConfigureRing(ring, TMMQueueMode::qmRead);
  TMMWaveOut waveOut;
  ConfigureWaveOut(waveOut, outDev);
  source.Component()->SetOutput(&ring);
  ring.SetOutput(&eq);
  eq.SetOutput(&waveOut);

  Drive(waveOut, waveOut.OnStop, ring, std::nullopt, true, nullptr);
  return 0;
}

int RunRecord(const TCliOptions& o) {
  const std::string& file = o.Positional[0];
  const TMMDeviceId inDev = ResolveDevice(o.InDevice, true);
  if (!WaveInCanOpen(inDev)) throw EMMError(kRecorderBusy);

  TMMEqualizer eq;
  ApplyEqSettings(eq, o.Eq);
  TMMWaveIn waveIn;
  ConfigureWaveIn(waveIn, inDev);
  if (o.Seconds) {
    waveIn.SetTimeFormat(TMMTimeFormats::tfMillisecond);
    waveIn.SetMaxRecordTime(static_cast<std::int32_t>(*o.Seconds * 1000 + 0.5));
  }
  TMMRingBuffer ring;
  ConfigureRing(ring, TMMQueueMode::qmRead);
  TFileSink sink(file, o);
  waveIn.SetOutput(&ring);
  ring.SetOutput(&eq);
  eq.SetOutput(sink.Component());

  Drive(waveIn, waveIn.OnStop, ring, std::nullopt, true, nullptr);
  return 0;
}

}  // namespace strataeq::cli
