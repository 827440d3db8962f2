// One route of sound through the equalizer: it builds the chain, checks the devices,
// plans the buffering, starts, serves, stops and reports. The window and the command
// line both drive their runs through it; neither builds a driver itself.
//
//   file   -> equalizer -> trigger -> file sink         (file to file: the trigger pulls)
//   file   -> ring -> equalizer -> player               (play: the player pulls)
//   device -> ring -> equalizer -> file sink            (record: the recorder pushes)
//   device -> ring -> equalizer -> player               (live, desktop: both, the ring between)
//
// Every member is called on the main thread but Stop. Events fire on the main thread,
// from Serve or Poll; the route never prints.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "drivers/LiveLatency.h"
#include "foundation/MMPCMSup.h"
#include "routes/FileEnds.h"

namespace strataeq {
struct TWaveLosses;
class TMMEqualizer;
class TMMDSPComponent;
class TMMWaveIn;
class TMMWaveOut;
class TMMRingBuffer;
}  // namespace strataeq

namespace strataeq::routes {

inline constexpr std::int32_t kDesignRate = 44100;

// The device checks' texts.
inline constexpr const char* kRecorderBusy =
    "The Recording Device is already in use by another application!\rPlease make sure no other "
    "applications that may use the recording device are opened !";
inline constexpr const char* kPlayerBusy =
    "The Playback Device is already in use by another application!\rPlease make sure no other "
    "applications that may use the playback device are opened !";
inline constexpr const char* kNoRecorder = "There is no recording device on this system.";
inline constexpr const char* kNoPlayer = "There is no playback device on this system.";
inline constexpr const char* kFeedback =
    "The recording device is the monitor of the playback device: the output would be played back "
    "into itself.\rPlease choose another recording or playback device.";
inline constexpr const char* kNoDesktopDevices = "Desktop Sound: the sound server does not list its devices";

// A run ended by a signal or by its owner's interruption: its output is not kept.
class EInterrupted : public EMMError {
 public:
  using EMMError::EMMError;
};

enum class TRouteKind { FileToFile, FileToDevice, DeviceToFile, DeviceToDevice, Desktop };

struct TRouteSpec {
  TRouteKind Kind = TRouteKind::FileToFile;
  std::string Input;   // the source file
  std::string Output;  // the sink file
  TFileKind OutputKind = TFileKind::Wav;
  TSinkOptions Sink;
  // A WAV output's sample type; none: the input's own.
  std::optional<TPcmSampleType> Bits;
  // A recording writes its file itself, and what it recorded stays when it fails; other
  // outputs replace their name only when complete.
  bool KeepPartialOutput = false;
  int InDevice = -1, OutDevice = -1;  // -1: the default device
  // The recorder records the desktop's sound (every application's, moved to the
  // equalizer's own device); a desktop route always does.
  bool FromDesktop = false;
  // The desktop route plays on OutDevice and stays there when it goes; otherwise it
  // follows the desktop's own output.
  bool OutDeviceChosen = false;
  std::optional<double> LatencyMs;      // end-to-end delay to buffer for; none: the design values
  std::optional<double> RecordSeconds;  // the recorder stops itself after this long
  // A file-to-file route: 1 reads, filters and writes on the trigger's thread; 2 or more
  // read and write on threads of their own; 0: 2 or more when there are the cores.
  int Threads = 0;
};

// What a live route's buffering became.
struct TLatencyChoice {
  TLiveLatencyPlan Plan;
  bool Fitted = false;      // grown to what the sound server runs
  double ExpectedMs = 0;    // the fitted plan's delay
};

// Once a second while a live route runs.
struct TRouteReadout {
  int Dropouts = 0;
  double LatencyMs = 0;
  std::int64_t Clipped = 0;  // buffers the equalizer clipped, routes before a device move included
};

// The sample types of a route: what flows through the chain, and what a WAV sink writes.
struct TSampleTypes {
  TPcmSampleType Chain = TPcmSampleType::stInt16;
  TPcmSampleType Written = TPcmSampleType::stInt16;
};
// Devices and the encoder take 16 bits. A file written from a file is equalized in
// float, except 16-bit PCM written as 16 bits, which keeps the exact 16-bit path; an
// MP3 source delivers 16 bits.
TSampleTypes ChooseSampleTypes(TRouteKind kind, const TWaveFormatEx* input, bool wavInput, bool mp3Output,
                               std::optional<TPcmSampleType> bits);

class TRoute {
 public:
  // Runs through equalizer (one of its own when none), which outlives the route.
  explicit TRoute(TRouteSpec spec, TMMEqualizer* equalizer = nullptr);
  ~TRoute();
  TRoute(const TRoute&) = delete;
  TRoute& operator=(const TRoute&) = delete;

  const TRouteSpec& Spec() const { return spec_; }
  bool Live() const { return spec_.Kind == TRouteKind::DeviceToDevice || spec_.Kind == TRouteKind::Desktop; }
  // Set up by the owner between Open and Start.
  TMMEqualizer& Equalizer();
  // A component that gets what the sink got (the window's displays); set before Start.
  void SetTap(TMMDSPComponent* tap) { tap_ = tap; }

  // Opens the source file, moves the desktop's sound to the equalizer, and checks the
  // devices. Raises what stands in the way.
  void Open();
  // The rate the source delivers: a file's own, the devices' design rate.
  std::int32_t SourceRate() const;
  // Plans the buffering, prepares the output, links the chain and starts it. Raises with
  // everything closed again.
  void Start();
  // Any thread: the run ends as complete; what a file route wrote is kept. On the main
  // thread the driver is stopped at once (raising what its stop raised); from another,
  // by the next Serve or Poll.
  void Stop();
  // Main thread, once the run ended (Finished) or to end it: stops and closes the chain,
  // commits the output, and raises the run's failure.
  void Finish();
  // Main thread: serves the run until it ends, interrupted() says so, or seconds pass.
  void Serve(const std::function<bool()>& interrupted, std::optional<double> seconds = std::nullopt);
  // Main thread, about once a second: readouts, a live route's stall watch, a stop
  // asked for on another thread.
  void Poll();
  // Main thread, once the run ended: a desktop route whose own output went away goes on
  // where the desktop's sound now goes (true); any other ending stays (false).
  bool FollowDesktop();
  bool Running() const { return running_; }
  bool Finished() const;

  const TLatencyChoice& Latency() const { return latency_; }
  int Dropouts() const { return dropouts_.load(); }
  std::int64_t Clipped() const;
  // The measured delay of a running live route, 0 otherwise.
  double MeasuredLatencyMs() const;
  // PCM bytes the file route delivered, and of how many.
  std::int64_t BytesDone() const;
  std::int64_t BytesTotal() const;
  // The running chain's devices, none where the route has none (for readouts).
  TMMWaveIn* Recorder() const;
  TMMWaveOut* Player() const;
  TMMRingBuffer* Ring() const;
  // Where a file source is, of how long, in its own units (a WAV file's bytes, an MP3
  // file's frames).
  std::int64_t SourcePosition() const;
  std::int64_t SourceLength() const;
  // The failure that ended the run; empty while none did.
  const std::string& Failure() const { return failure_; }

  // The run ended (its driver reported its stop after its end, a Stop or a failure; an
  // empty file had nothing to run), once per start. The owner then calls FollowDesktop or
  // Finish, outside this event.
  std::function<void()> OnEnded;
  std::function<void(const TLatencyChoice& choice)> OnLatency;
  std::function<void(int movedStreams, const std::string& output)> OnDesktopStarted;
  std::function<void(const std::string& from, const std::string& to)> OnDesktopFollowed;
  std::function<void(const TRouteReadout& readout)> OnReadout;
  // The live route's playback stopped moving this many seconds ago.
  std::function<void(int seconds)> OnStall;
  // With a latency asked for, the server ran out of sound and the playback queue grew
  // by a buffer: the buffers played from now.
  std::function<void(int buffers)> OnQueueGrown;
  // Serve reconnected a recording that had delivered nothing for a while, or a playback
  // that had stood still.
  std::function<void()> OnRecordingReconnected;
  std::function<void()> OnPlaybackReconnected;
  std::function<void(std::int64_t done, std::int64_t total, double audioSeconds)> OnProgress;
  std::function<void(const std::string& text)> OnWarning;

 private:
  struct TParts;
  void CheckDevices();
  void PlanLatency();
  void PrepareFileChain();
  void LinkFileChain();
  void LinkDeviceChain();
  void StartDriver();
  int CountLosses(const TWaveLosses& losses, std::uint64_t first);
  void CloseChain();
  bool Reconnect();
  void Fail(const std::string& text);
  void StopAsked();
  void CommitOutput();
  void ServeFile(const std::function<bool()>& interrupted);
  void ServeLive(const std::function<bool()>& interrupted, std::optional<double> seconds);

  TRouteSpec spec_;
  std::unique_ptr<TParts> p_;
  TMMDSPComponent* tap_ = nullptr;
  TLatencyChoice latency_;
  std::atomic<int> dropouts_{0};
  std::atomic<bool> stopAsked_{false};
  bool stopped_ = false;  // the driver reported its stop
  bool endTold_ = false;  // OnEnded fired for this start
  bool closing_ = false;
  bool stopSent_ = false;
  std::uint64_t underflowsSeen_ = 0;
  std::uint64_t overrunsSeen_ = 0;
  bool running_ = false;
  bool interrupted_ = false;
  bool empty_ = false;    // a file route with nothing to pull: its output was written whole
  std::string failure_;
  std::int64_t clippedBefore_ = 0;
  std::function<void(std::exception_ptr)> previousOnException_;
};

}  // namespace strataeq::routes
