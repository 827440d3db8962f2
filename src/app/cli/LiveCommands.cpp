// The device routes of strataeq-cli: devices, live, play, record.
#include <cstdio>
#include <functional>
#include <memory>
#include <string>

#include "app/cli/CliSupport.h"
#include "app/cli/Commands.h"
#include "drivers/DesktopSound.h"
#include "drivers/MMHTimer.h"
#include "drivers/MMWavIn.h"
#include "drivers/MMWavOut.h"
#include "platform/Messages.h"
#include "platform/WaveApi.h"
#include "routes/Route.h"

namespace strataeq::cli {
namespace {

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

// Tells the buffering the route chose, as asked for. record may stream its WAV to
// standard output, so it tells its plan on stderr.
std::function<void(const routes::TLatencyChoice&)> LatencyTeller(const TCliOptions& o) {
  return [&o](const routes::TLatencyChoice& choice) {
    if (o.Quiet || !o.LatencyMs) return;
    std::FILE* out = o.Command == "record" ? stderr : stdout;
    const TLiveLatencyPlan& plan = choice.Plan;
    if (choice.Fitted && choice.ExpectedMs > *o.LatencyMs + 0.5)
      std::fprintf(out, "Latency : the sound server cannot run the buffers a %d ms target needs; using %.1f ms\n",
                   *o.LatencyMs, choice.ExpectedMs);
    else if (choice.Fitted)
      std::fprintf(out, "Latency : sized to what the sound server runs\n");
    std::fprintf(out, "Latency : target %d ms; %d-byte buffers", *o.LatencyMs, plan.BufferSize);
    if (o.Command != "record") std::fprintf(out, ", %d playback buffers", plan.OutputBuffers);
    if (o.Command == "live")
      std::fprintf(out, ", ring primed at %d of %d slots; expected %.1f ms", plan.PrimeSlots(), plan.RingSlots,
                   choice.ExpectedMs);
    std::fprintf(out, "\n");
  };
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
  routes::TRouteSpec spec;
  spec.Kind = o.Desktop ? routes::TRouteKind::Desktop : routes::TRouteKind::DeviceToDevice;
  if (!o.Desktop) spec.InDevice = ResolveDevice(o.InDevice, true);
  spec.OutDevice = ResolveDevice(o.OutDevice, false);
  spec.OutDeviceChosen = o.OutDevice.has_value();
  if (o.LatencyMs) spec.LatencyMs = *o.LatencyMs;
  routes::TRoute route(spec);
  route.OnDesktopStarted = [&](int moved, const std::string& output) {
    if (!o.Quiet)
      std::printf("Desktop Sound : %d stream(s) moved to \"%s\", playing on %s\n", moved, TDesktopSound::kDescription,
                  output.c_str());
  };
  route.OnDesktopFollowed = [&](const std::string& from, const std::string& to) {
    if (!o.Quiet) std::printf("Desktop Sound : %s went away; playing on %s\n", from.c_str(), to.c_str());
    std::fflush(stdout);
  };
  route.OnQueueGrown = [&](int buffers) {
    if (!o.Quiet) std::printf("Latency : the sound server ran out of sound; %d playback buffers from now on\n", buffers);
  };
  route.OnRecordingReconnected = [&] {
    if (!o.Quiet) std::printf("Recording : the sound server stopped delivering; reconnected\n");
    std::fflush(stdout);
  };
  route.OnPlaybackReconnected = [&] {
    if (!o.Quiet) std::printf("Playback : the sound server stopped playing the route; reconnected\n");
    std::fflush(stdout);
  };
  route.OnStall = [](int seconds) {
    std::fprintf(stderr, "strataeq-cli: the sound server has played nothing of the route for %d s\n", seconds);
  };
  // The window's status texts, once a second.
  route.OnReadout = [&](const routes::TRouteReadout& r) {
    if (o.Quiet) return;
    const TCpuUsage cpu = GetCpuUsageWithProcess();
    std::printf("Cpu Usage : %d %% (strataeq %d %%)   Dropouts : %d   Latency : %.0f ms", cpu.Machine, cpu.Process,
                r.Dropouts, r.LatencyMs);
    if (r.Clipped > 0) std::printf("   Clipped : %lld", static_cast<long long>(r.Clipped));
    std::printf("\n");
    std::fflush(stdout);
  };
  route.OnLatency = LatencyTeller(o);
  route.Open();
  ApplyEqSettings(route.Equalizer(), o.Eq);
  route.Start();
  GetCpuUsageWithProcess();  // the first reading only sets the reference
  route.Serve([] { return Interrupted(); }, o.Seconds);
  route.Finish();
  if (!o.Quiet) {
    std::printf("Dropouts : %d", route.Dropouts());
    if (route.Clipped() > 0) std::printf("   Clipped : %lld", static_cast<long long>(route.Clipped()));
    std::printf("\n");
  }
  return 0;
}

int RunPlay(const TCliOptions& o) {
  routes::TRouteSpec spec;
  spec.Kind = routes::TRouteKind::FileToDevice;
  spec.Input = o.Positional[0];
  spec.OutDevice = ResolveDevice(o.OutDevice, false);
  if (o.LatencyMs) spec.LatencyMs = *o.LatencyMs;
  routes::TRoute route(spec);
  route.OnLatency = LatencyTeller(o);
  route.Open();
  ApplyEqSettings(route.Equalizer(), o.Eq, route.SourceRate());
  TInterruptGuard signals;
  route.Start();
  route.Serve([] { return Interrupted(); });
  route.Finish();
  return 0;
}

int RunRecord(const TCliOptions& o) {
  routes::TRouteSpec spec;
  spec.Kind = routes::TRouteKind::DeviceToFile;
  spec.Output = o.Positional[0];
  spec.OutputKind = OutputKind(spec.Output, o.To);
  spec.Sink = SinkOptionsOf(o);
  // What was recorded stays a finished file when a write fails.
  spec.KeepPartialOutput = true;
  spec.InDevice = ResolveDevice(o.InDevice, true);
  spec.RecordSeconds = o.Seconds;
  if (o.LatencyMs) spec.LatencyMs = *o.LatencyMs;
  routes::TRoute route(spec);
  route.OnLatency = LatencyTeller(o);
  route.Open();
  ApplyEqSettings(route.Equalizer(), o.Eq);
  TInterruptGuard signals;
  route.Start();
  route.Serve([] { return Interrupted(); });
  route.Finish();
  return 0;
}

}  // namespace strataeq::cli
