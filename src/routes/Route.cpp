#include "routes/Route.h"

#include <algorithm>
#include <chrono>
#include <thread>
#include <utility>
#include <vector>

#include "drivers/DesktopSound.h"
#include "drivers/MMBlockQ.h"
#include "drivers/MMRingBf.h"
#include "drivers/MMTrigg.h"
#include "drivers/MMWavIn.h"
#include "drivers/MMWavOut.h"
#include "eq/MMEQ.h"
#include "files/MMWave.h"
#include "platform/Messages.h"
#include "platform/WaveApi.h"

namespace strataeq::routes {
namespace {

// A file route's buffer, of 16-bit samples: a queue block each, so that the trigger's
// cycle (an event and a yield each) comes once per block; 128 KB took some 4 % less
// CPU than 64 KB once the filter read the blocks in place (256 KB no less again). With
// MP3 at either end 8 KB: the encoder on the filter's thread, or the filter behind the
// decoder, with 64 KB outgrew the cache (WAV -> MP3 took some 4 % longer, MP3 -> WAV
// some 6 % more CPU).
constexpr std::int32_t kTriggerBufferSize = 131072;
constexpr std::int32_t kMp3TriggerBufferSize = 8192;
// A running route whose playback has not moved for longer than kStallGrace counts the
// silence as drop-outs; after kStallSeconds it is stopped.
constexpr int kStallGrace = 2;
constexpr int kStallSeconds = 10;
// A recording that delivers nothing for kStallGrace is reconnected (by Serve; the
// window's route stops with this text), up to three times in a row.
const char* const kRecordingStalled = "the sound server delivers nothing from the recording device; stopped";
// A playback that moves less than half as fast as time for kStallGrace + 1 s (PipeWire's
// server can hold a stream still while it says it plays it) is reconnected the same way.
const char* const kPlaybackStalled = "the sound server plays nothing of the route; stopped";

using TClock = std::chrono::steady_clock;

// Playback a server ran dry with, by output device and latency target: a later route
// of this run to the same device starts with the queue that held (main thread only).
struct TGrownQueue {
  std::string device;
  double targetMs = 0;
  std::int64_t frames = 0;
};
std::vector<TGrownQueue>& GrownQueues() {
  static std::vector<TGrownQueue> grown;
  return grown;
}
TGrownQueue* FindGrownQueue(const std::string& device, double targetMs) {
  for (TGrownQueue& g : GrownQueues())
    if (g.device == device && g.targetMs == targetMs) return &g;
  return nullptr;
}

void ConfigureWaveIn(TMMWaveIn& in, int device, const TLiveLatencyPlan& plan) {
  in.SetDeviceID(device);
  in.SetBufferSize(plan.BufferSize);
  in.SetCallBackMode(TMMCBMode::cmThread);
  in.SetMode(TMMMode::mStereo);
  in.SetBitLength(TMMBits::b16Bit);
  in.SetSampleRate(kDesignRate);
}

void ConfigureWaveOut(TMMWaveOut& out, int device, const TLiveLatencyPlan& plan) {
  out.SetDeviceID(device);
  out.SetBufferSize(plan.BufferSize);
  out.SetNumBuffers(plan.OutputBuffers);
  out.SetCallBackMode(TMMCBMode::cmThread);
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

}  // namespace

TSampleTypes ChooseSampleTypes(TRouteKind kind, const TWaveFormatEx* input, bool wavInput, bool mp3Output,
                               std::optional<TPcmSampleType> bits) {
  TSampleTypes t;
  if (kind != TRouteKind::FileToFile || !input) return t;
  const TPcmSampleType inType = SampleTypeOf(input);
  t.Written = mp3Output ? TPcmSampleType::stInt16 : bits ? *bits : inType;
  const bool exact16 = inType == TPcmSampleType::stInt16 && t.Written == inType && IsValidPcmFormat(input);
  t.Chain = !wavInput || mp3Output || exact16 ? TPcmSampleType::stInt16 : TPcmSampleType::stFloat32;
  return t;
}

struct TRoute::TParts {
  // First, so that it is destroyed last: the route closes before the devices are put back.
  std::unique_ptr<TDesktopSound> desktop;
  std::unique_ptr<TMMEqualizer> ownEq;
  TMMEqualizer* eq = nullptr;
  std::unique_ptr<TFileSource> source;
  std::unique_ptr<TOutputFile> out;
  std::unique_ptr<TFileSink> sink;
  TWaveFormatExtensible written{};
  std::unique_ptr<TMMBlockQueue> readAhead, writeBehind;  // before the trigger: closed by it
  std::unique_ptr<TMMTrigger> trigger;
  std::unique_ptr<TMMWaveIn> waveIn;
  std::unique_ptr<TMMRingBuffer> ring;
  std::unique_ptr<TMMWaveOut> waveOut;
  TMMDSPComponent* driver = nullptr;
  TNotifyEvent* driverStop = nullptr;
  int inDev = -1, outDev = -1;
  std::string outName;  // the player's device as the route started
  // The live route's watch, restarted with each start.
  std::optional<TRouteStallWatch> watch;
  bool stallTold = false;
  TRecordingWatch recording{static_cast<std::int64_t>(kStallGrace) * kDesignRate, 3};
  TRecordingWatch playing{static_cast<std::int64_t>(kStallGrace + 1) * kDesignRate, 3};
  bool reconnectAsked = false;  // the failure is kRecordingStalled or kPlaybackStalled
  TClock::time_point started;
  TGapMerge gaps;
};

// Counts the gaps of losses first..last (1-based) of a device's report.
int TRoute::CountLosses(const TWaveLosses& losses, std::uint64_t first) {
  int counted = 0;
  for (std::uint64_t n = first; n <= losses.Count; ++n) counted += p_->gaps.Add(losses.TimeOf(n));
  dropouts_ += counted;
  return counted;
}

TRoute::TRoute(TRouteSpec spec, TMMEqualizer* equalizer) : spec_(std::move(spec)), p_(std::make_unique<TParts>()) {
  if (!equalizer) {
    p_->ownEq = std::make_unique<TMMEqualizer>();
    equalizer = p_->ownEq.get();
  }
  p_->eq = equalizer;
  p_->inDev = spec_.InDevice;
  p_->outDev = spec_.OutDevice;
}

TRoute::~TRoute() {
  try {
    CloseChain();
  } catch (...) {
  }
  if (running_) Application().OnException = std::move(previousOnException_);
}

TMMEqualizer& TRoute::Equalizer() { return *p_->eq; }

std::int32_t TRoute::SourceRate() const {
  return p_->source ? static_cast<std::int32_t>(p_->source->Format()->nSamplesPerSec) : kDesignRate;
}

void TRoute::Open() {
  const bool fromFile = spec_.Kind == TRouteKind::FileToFile || spec_.Kind == TRouteKind::FileToDevice;
  if (spec_.Kind == TRouteKind::FileToFile && spec_.Output != "-" && SameFile(spec_.Input, spec_.Output))
    throw EMMError("the output " + spec_.Output + " is the input file: refusing to overwrite it");
  if (fromFile) {
    p_->source = std::make_unique<TFileSource>(spec_.Input);
    p_->source->CheckEqualizable(spec_.Input);
  }
  if (spec_.Kind == TRouteKind::Desktop || spec_.FromDesktop) {
    // The desktop's device becomes the default one; the route records its monitor.
    p_->desktop = std::make_unique<TDesktopSound>();
    p_->desktop->Start(spec_.OutDeviceChosen ? WaveDeviceServerName(TWaveDir::Output, spec_.OutDevice) : std::string(),
                       kDesignRate);
    p_->inDev = WaveDeviceByServerName(TWaveDir::Input, p_->desktop->MonitorName());
    if (Live()) p_->outDev = WaveDeviceByServerName(TWaveDir::Output, p_->desktop->OutputName());
    if (p_->inDev < 0 || (Live() && p_->outDev < 0)) throw EMMError(kNoDesktopDevices);
    if (OnDesktopStarted) OnDesktopStarted(p_->desktop->MovedStreams(), WaveOutDeviceName(p_->outDev));
  }
  CheckDevices();
}

void TRoute::CheckDevices() {
  const bool recording = spec_.Kind == TRouteKind::DeviceToFile || Live();
  const bool playback = spec_.Kind == TRouteKind::FileToDevice || Live();
  if (recording && waveInGetNumDevs() == 0) throw EMMError(kNoRecorder);
  if (playback && waveOutGetNumDevs() == 0) throw EMMError(kNoPlayer);
  if (recording && playback && WaveInDeviceName(p_->inDev) == "Monitor of " + WaveOutDeviceName(p_->outDev))
    throw EMMError(kFeedback);
  if (recording && !WaveInCanOpen(p_->inDev)) throw EMMError(kRecorderBusy);
  if (playback && !WaveOutCanOpen(p_->outDev)) throw EMMError(kPlayerBusy);
}

// The design values, or buffering for the asked-for delay at the equalizer's FFT length;
// installs the server-side part for the devices opened next. Between two devices the
// sizes grow to what the server really runs.
void TRoute::PlanLatency() {
  const std::int32_t fft = p_->eq->FFTLength();
  TLiveLatencyPlan plan = spec_.LatencyMs ? PlanLiveLatency(*spec_.LatencyMs, kDesignRate, fft) : DesignLatencyPlan();
  latency_.Fitted = false;
  if (spec_.LatencyMs && Live()) {
    const TLiveLatencyPlan fitted = FitLiveLatencyToServer(plan, p_->inDev, p_->outDev, kDesignRate);
    latency_.Fitted = fitted.BufferSize != plan.BufferSize || fitted.OutputBuffers != plan.OutputBuffers;
    plan = fitted;
    if (const TGrownQueue* g = FindGrownQueue(WaveOutDeviceName(p_->outDev), *spec_.LatencyMs)) {
      const std::int32_t frames = plan.BufferSize / 4;
      const auto buffers = static_cast<std::int32_t>((g->frames + frames - 1) / frames);
      if (buffers > plan.OutputBuffers) {
        plan.OutputBuffers = buffers;
        if (plan.PlaybackUsec) plan.PlaybackUsec = static_cast<std::uint32_t>(1e6 * frames * buffers / kDesignRate);
        latency_.Fitted = true;
      }
    }
  }
  ApplyStreamTiming(plan);
  latency_.Plan = plan;
  latency_.ExpectedMs = plan.ExpectedMs(kDesignRate, fft);
  if (OnLatency) OnLatency(latency_);
}

// The sample types, the output file and its sink, for a route from a file to a file.
void TRoute::PrepareFileChain() {
  TFileSource& source = *p_->source;
  const bool mp3Out = spec_.OutputKind == TFileKind::Mp3;
  if (mp3Out && spec_.Bits) throw EMMError("--bits applies to WAV output; " + spec_.Output + " is MP3");
  const TWaveFormatEx* in = source.FileFormat();
  const TSampleTypes types = ChooseSampleTypes(spec_.Kind, in, source.IsWav(), mp3Out, spec_.Bits);
  const TPcmSampleType inType = SampleTypeOf(in);
  source.SetChainSampleType(types.Chain == inType ? TPcmSampleType::stNone : types.Chain);
  p_->out = std::make_unique<TOutputFile>(spec_.Output);
  // Written on a thread of the run's own: the disk may be waited for.
  p_->out->Target().SetEarlyWriteback(true);
  p_->sink = std::make_unique<TFileSink>(*p_->out, spec_.OutputKind, spec_.Sink);
  p_->sink->CheckInput(source.Format(), spec_.Input);
  p_->written = BuildWaveFormat(types.Written, in->nChannels, in->nSamplesPerSec);
  const TWaveFormatEx* written = source.Format();
  if (!mp3Out && types.Written != types.Chain) {
    // Without a sample type asked for, the output keeps the input's own format record
    // (its layout too).
    written = spec_.Bits || !source.IsWav() ? &p_->written.Format : in;
    p_->sink->SetWavFormat(written);
  }
  // A stream cannot go back to the header: it gets the sizes up front when they are known.
  if (const std::int64_t frames = source.ExactFrames(); frames >= 0 && p_->out->IsStream())
    p_->sink->SetStreamLength(frames * written->nBlockAlign);
  // A sink that cannot write ends the run: the rest would be thrown away. Stopped into a
  // stream, the stream holds what was done, as asked.
  p_->sink->SetOnWriteStop([this] {
    if (stopAsked_ && p_->sink->StreamCut()) return;
    Application().HandleException(std::make_exception_ptr(
        EMMError("Unable to write " + spec_.Output + ": " + p_->sink->Failure() + "; " + p_->out->LeftBehind())));
  });
  if (!mp3Out && source.TotalBytes() == 0) {
    // Nothing to pull: the chain would not start. The output is as empty as the input.
    TMMWave empty;
    empty.CreateFile(written, p_->out->Target());
    if (!empty.CloseFile())
      throw EMMError("Unable to write " + spec_.Output + ": " + WriteErrorText(empty.WriteError()) + "; " +
                     p_->out->LeftBehind());
    empty_ = true;
    return;
  }
  p_->eq->SetAligned(true);
  p_->trigger = std::make_unique<TMMTrigger>();
  // The same frames per buffer whatever the sample size: float buffers are larger.
  const int sampleBytes = std::max(1, SampleBytes(types.Chain));
  const bool mp3 = mp3Out || !source.IsWav();
  p_->trigger->SetBufferSize((mp3 ? kMp3TriggerBufferSize : kTriggerBufferSize) / 2 * sampleBytes);
  p_->trigger->SetInterval(0);
  // With cores to spare, reading and writing run on threads of their own, beside the
  // filter on the trigger's. The MP3 encoder stays with the filter: it is nearly all of
  // the work, so a thread of its own gained no time and cost some 5 % more CPU.
  const int threads = spec_.Threads > 0 ? spec_.Threads : static_cast<int>(std::thread::hardware_concurrency());
  p_->readAhead.reset();
  p_->writeBehind.reset();
  if (threads > 1) {
    p_->readAhead = std::make_unique<TMMBlockQueue>(TMMBlockQueueMode::bqReadAhead);
    if (!mp3Out) p_->writeBehind = std::make_unique<TMMBlockQueue>(TMMBlockQueueMode::bqWriteBehind);
  }
  // A fourth thread filters the right channel beside the left. Only with a core for it:
  // on two cores its hand-offs cost more than it saved.
  p_->eq->SetThreads(threads > 3 ? 2 : 1);
  LinkFileChain();
}

// The one place a file-to-file chain is linked: source -> [read-ahead queue ->]
// equalizer -> trigger -> [write-behind queue ->] sink.
void TRoute::LinkFileChain() {
  TMMDSPComponent* last = p_->source->Component();
  const auto link = [&last](TMMDSPComponent* next) {
    if (!next) return;
    last->SetOutput(next);
    last = next;
  };
  link(p_->readAhead.get());
  link(p_->eq);
  link(p_->trigger.get());
  if (tap_ && spec_.OutputKind == TFileKind::Mp3) {
    link(tap_);
    link(p_->sink->Component());
  } else {
    link(p_->writeBehind.get());
    link(p_->sink->Component());
    if (tap_) p_->sink->Component()->SetOutput(tap_);
  }
  p_->driver = p_->trigger.get();
  p_->driverStop = &p_->trigger->OnStop;
}

// A chain with a device at one end or both: [file | recorder] -> ring -> equalizer ->
// [player | file sink].
void TRoute::LinkDeviceChain() {
  const TLiveLatencyPlan& plan = latency_.Plan;
  p_->ring = std::make_unique<TMMRingBuffer>();
  ConfigureRing(*p_->ring, Live() ? TMMQueueMode::qmDuplex : TMMQueueMode::qmRead, plan);
  // Silence for want of a slot or a skip to hold the delay: each is a gap the listener
  // hears, and reads that find nothing one after another are one silence, as are skips
  // with nothing played between them.
  TMMRingBuffer* ring = p_->ring.get();
  p_->ring->OnEmpty = [this, ring](TObject*) {
    if (ring->EmptyReadsInARow() == 1 && p_->gaps.Add(WaveClockNs())) ++dropouts_;
  };
  p_->ring->OnSlotDropped = [this, ring](TObject*) {
    if (ring->DropsInARow() <= 1 && p_->gaps.Add(WaveClockNs())) ++dropouts_;
  };
  TMMDSPComponent* last = nullptr;
  p_->eq->SetAligned(false);
  // The device's thread must never wait for another.
  p_->eq->SetThreads(1);
  if (spec_.Kind == TRouteKind::FileToDevice) {
    TFileSource& source = *p_->source;
    const TSampleTypes types = ChooseSampleTypes(spec_.Kind, source.FileFormat(), source.IsWav(), false, {});
    if (source.IsWav())
      source.SetChainSampleType(SampleTypeOf(source.FileFormat()) == types.Chain ? TPcmSampleType::stNone : types.Chain);
    source.Component()->SetOutput(p_->ring.get());
  } else {
    p_->waveIn = std::make_unique<TMMWaveIn>();
    ConfigureWaveIn(*p_->waveIn, p_->inDev, plan);
    if (spec_.RecordSeconds) {
      p_->waveIn->SetTimeFormat(TMMTimeFormats::tfMillisecond);
      p_->waveIn->SetMaxRecordTime(static_cast<std::int32_t>(*spec_.RecordSeconds * 1000 + 0.5));
    }
    p_->waveIn->SetOutput(p_->ring.get());
  }
  p_->ring->SetOutput(p_->eq);
  if (spec_.Kind == TRouteKind::DeviceToFile) {
    const std::string& file = spec_.Output;
    if (spec_.KeepPartialOutput) {
      p_->sink = std::make_unique<TFileSink>(file, spec_.OutputKind, spec_.Sink);
    } else {
      p_->out = std::make_unique<TOutputFile>(file);
      p_->sink = std::make_unique<TFileSink>(*p_->out, spec_.OutputKind, spec_.Sink);
    }
    // A write that fails ends the recording; a recording kept whole says how much it holds.
    p_->sink->SetOnWriteStop([this, file] {
      std::string text = "Unable to write " + file + ": " + p_->sink->Failure();
      if (!spec_.KeepPartialOutput) {
        text += "; " + p_->out->LeftBehind();
      } else {
        text = "recording stopped: " + text;
        if (const double s = p_->sink->SecondsWritten(); s > 0)
          text += "; " + file + " holds the first " + FormatTimeString(static_cast<std::int32_t>(s * 1000), true);
      }
      Application().HandleException(std::make_exception_ptr(EMMError(text)));
    });
    last = p_->sink->Component();
  } else {
    p_->waveOut = std::make_unique<TMMWaveOut>();
    ConfigureWaveOut(*p_->waveOut, p_->outDev, plan);
    last = p_->waveOut.get();
  }
  if (tap_ && spec_.OutputKind == TFileKind::Mp3 && p_->sink) {
    p_->eq->SetOutput(tap_);
    tap_->SetOutput(last);
  } else {
    p_->eq->SetOutput(last);
    if (tap_) last->SetOutput(tap_);
  }
  const bool playerDrives = spec_.Kind == TRouteKind::FileToDevice;
  p_->driver = playerDrives ? static_cast<TMMDSPComponent*>(p_->waveOut.get()) : p_->waveIn.get();
  p_->driverStop = playerDrives ? &p_->waveOut->OnStop : &p_->waveIn->OnStop;
}

void TRoute::Start() {
  if (running_) throw EMMError("the route runs already");
  failure_.clear();
  stopped_ = interrupted_ = empty_ = false;
  stopAsked_ = false;
  p_->gaps.Reset();
  // Failures a worker reports end the run with their text.
  previousOnException_ = std::move(Application().OnException);
  Application().OnException = [this](std::exception_ptr e) { Fail(ExceptionMessage(e)); };
  running_ = true;
  try {
    if (spec_.Kind == TRouteKind::FileToFile) {
      PrepareFileChain();
      if (empty_) {
        // Nothing to run: the run has ended already.
        if (OnEnded) OnEnded();
        return;
      }
    } else {
      PlanLatency();
      LinkDeviceChain();
    }
    StartDriver();
  } catch (...) {
    // A driver that failed to start reports no stop: the route closes itself.
    try {
      CloseChain();
    } catch (...) {
    }
    p_->sink.reset();
    p_->out.reset();
    if (p_->desktop) p_->desktop->Stop();
    Application().OnException = std::move(previousOnException_);
    running_ = false;
    throw;
  }
}

void TRoute::StartDriver() {
  stopped_ = endTold_ = stopSent_ = false;
  underflowsSeen_ = overrunsSeen_ = 0;
  if (p_->waveOut) p_->outName = WaveOutDeviceName(p_->outDev);
  *p_->driverStop = [this](TObject*) {
    stopped_ = true;
    if (!closing_ && !std::exchange(endTold_, true) && OnEnded) OnEnded();
  };
  p_->watch.emplace(static_cast<std::int64_t>(kStallGrace) * kDesignRate);
  p_->stallTold = false;
  p_->started = TClock::now();
  p_->driver->Start();
}

// A failure ends the run: its driver is stopped, and its stop ends the run.
void TRoute::Fail(const std::string& text) {
  if (failure_.empty()) failure_ = text;
  if (!running_ || closing_ || stopSent_ || !p_->driver || !p_->driver->Started()) return;
  stopSent_ = true;
  try {
    p_->driver->Stop();
  } catch (...) {
  }
}

void TRoute::Stop() {
  stopAsked_ = true;
  if (IsMainThread()) return StopAsked();
  // Wakes the main thread's wait; the driver is stopped there.
  PostToMainThread([] {});
}

void TRoute::StopAsked() {
  if (!stopAsked_ || stopSent_ || !running_ || !p_->driver || !p_->driver->Started()) return;
  stopSent_ = true;
  p_->driver->Stop();
}

bool TRoute::Finished() const { return !running_ || empty_ || stopped_ || !failure_.empty(); }

TMMWaveIn* TRoute::Recorder() const { return p_->waveIn.get(); }
TMMWaveOut* TRoute::Player() const { return p_->waveOut.get(); }
TMMRingBuffer* TRoute::Ring() const { return p_->ring.get(); }
std::int64_t TRoute::SourcePosition() const { return p_->source ? p_->source->Position() : 0; }
std::int64_t TRoute::SourceLength() const { return p_->source ? p_->source->Length() : 0; }

std::int64_t TRoute::Clipped() const { return clippedBefore_ + p_->eq->ClippedBuffers(); }

double TRoute::MeasuredLatencyMs() const {
  if (!Live() || !p_->waveIn || !p_->waveOut || !p_->waveIn->Started() || !p_->waveOut->Started()) return 0;
  return MeasuredLiveLatencyMs(*p_->waveIn, *p_->ring, *p_->waveOut, p_->eq->FFTLength());
}

std::int64_t TRoute::BytesDone() const { return p_->trigger ? p_->trigger->BytesPushed() : 0; }

std::int64_t TRoute::BytesTotal() const { return p_->source ? p_->source->TotalBytes() : 0; }

// The one place a live route's readouts and stall watch run.
void TRoute::Poll() {
  if (!running_) return;
  try {
    StopAsked();
  } catch (...) {
    Fail(ExceptionMessage(std::current_exception()));
  }
  if (p_->waveIn) {  // recorded sound lost before it reached us: a jump the listener hears
    const TWaveLosses o = p_->waveIn->Overruns();
    if (o.Count > overrunsSeen_) CountLosses(o, overrunsSeen_ + 1);
    overrunsSeen_ = o.Count;
  }
  if (!p_->waveOut || !p_->driver) return;
  const TWaveLosses u = p_->waveOut->Underflows();
  if (!Live()) {
    // The server's underflows are silences heard as well; the count restarts per open.
    if (u.Count > underflowsSeen_) CountLosses(u, underflowsSeen_ + 1);
    underflowsSeen_ = u.Count;
    return;
  }
  const std::chrono::duration<double> elapsed = TClock::now() - p_->started;
  const auto elapsedFrames = static_cast<std::int64_t>(elapsed.count() * kDesignRate);
  TRouteStallWatch& watch = *p_->watch;
  // In frames (the player counts bytes), as the watch compares it with the time.
  const TWaveFormatEx* played = p_->waveOut->PWaveFormat();
  const std::int64_t position =
      p_->waveOut->Started() && played && played->nBlockAlign ? p_->waveOut->Position() / played->nBlockAlign : -1;
  const int gap = watch.Update(position, elapsedFrames);
  if (gap > 0 && !p_->stallTold && OnStall) OnStall(static_cast<int>(watch.Stalled() / kDesignRate));
  p_->stallTold = watch.Stalled() > 0 && (p_->stallTold || gap > 0);
  if (gap > 0 && p_->gaps.Add(WaveClockNs() - watch.Stalled() * 1'000'000'000 / kDesignRate)) ++dropouts_;
  // The watch says how many of the newest underflows are gaps of their own.
  const int underflows = watch.AddUnderflows(static_cast<std::int64_t>(u.Count));
  if (underflows > 0) CountLosses(u, u.Count - static_cast<std::uint64_t>(underflows) + 1);
  if (underflows > 0 && spec_.LatencyMs && p_->waveOut->GrowQueue()) {
    const std::int32_t buffers = p_->waveOut->BuffersInUse() + 1;
    const std::int64_t frames = static_cast<std::int64_t>(buffers) * (p_->waveOut->BufferSize() / 4);
    const std::string device = WaveOutDeviceName(p_->outDev);
    if (TGrownQueue* g = FindGrownQueue(device, *spec_.LatencyMs))
      g->frames = std::max(g->frames, frames);
    else
      GrownQueues().push_back({device, *spec_.LatencyMs, frames});
    // A reconnect rebuilds the chain with the queue that holds.
    latency_.Plan.OutputBuffers = std::max(latency_.Plan.OutputBuffers, buffers);
    latency_.ExpectedMs = latency_.Plan.ExpectedMs(kDesignRate, p_->eq->FFTLength());
    if (OnQueueGrown) OnQueueGrown(buffers);
  }
  // A watch's verdict: true when the run ends, to be reconnected (stalled) or for good.
  const auto ends = [&](TRecordingWatch::TVerdict verdict, const char* stalled, const char* nothing) {
    if (verdict == TRecordingWatch::TVerdict::Reconnect) {
      p_->reconnectAsked = true;
      Fail(stalled);
    } else if (verdict == TRecordingWatch::TVerdict::GiveUp) {
      Fail(std::string(nothing) + ", even after reconnecting (Dropouts : " + std::to_string(dropouts_.load()) +
           "); stopped");
    }
    return verdict != TRecordingWatch::TVerdict::Fine;
  };
  if (ends(p_->playing.Update(watch.Moves(), elapsedFrames), kPlaybackStalled,
           "the sound server plays nothing of the route"))
    return;
  if (watch.Stalled() >= kStallSeconds * kDesignRate)
    return Fail("the sound server has played nothing of the route for " + std::to_string(kStallSeconds) +
         " s (Dropouts : " + std::to_string(dropouts_.load()) + "); stopped");
  if (p_->waveIn && ends(p_->recording.Update(p_->waveIn->BytesRecorded() / 4, elapsedFrames), kRecordingStalled,
                         "the sound server delivers nothing from the recording device"))
    return;
  if (OnReadout) OnReadout({dropouts_.load(), MeasuredLatencyMs(), Clipped()});
}

void TRoute::Serve(const std::function<bool()>& interrupted, std::optional<double> seconds) {
  if (!running_ || empty_) return;
  if (spec_.Kind == TRouteKind::FileToFile) return ServeFile(interrupted);
  ServeLive(interrupted, seconds);
}

void TRoute::ServeFile(const std::function<bool()>& interrupted) {
  const double bytesPerSecond = p_->source->BytesPerSecond();
  auto report = [&] {
    const std::int64_t done = BytesDone();
    if (OnProgress) OnProgress(done, BytesTotal(), static_cast<double>(done) / bytesPerSecond);
  };
  // A stop goes through the trigger's own stop: its worker may be waiting on this
  // thread meanwhile.
  for (;;) {
    if (!RunUntil([&] { return Finished() || interrupted() || (!stopSent_ && stopAsked_); },
                  std::chrono::milliseconds(100))) {
      report();
      continue;
    }
    if (Finished() || interrupted()) break;
    StopAsked();
  }
  report();
  // A signal counts unless the run was complete by then (a reader that left a stream
  // shows as both a signal and a failed write).
  interrupted_ = interrupted() && (!stopped_ || p_->sink->Failed());
}

void TRoute::ServeLive(const std::function<bool()>& interrupted, std::optional<double> seconds) {
  const auto start = TClock::now();
  auto due = [&] { return seconds && TClock::now() - start >= std::chrono::duration<double>(*seconds); };
  for (;;) {
    auto nextReport = TClock::now() + std::chrono::seconds(1);
    while (!Finished() && !interrupted() && !due()) {
      RunUntil([&] { return Finished() || interrupted() || due() || (!stopSent_ && stopAsked_) || TClock::now() >= nextReport; },
               std::chrono::milliseconds(1000));
      StopAsked();
      if (TClock::now() >= nextReport) {
        nextReport += std::chrono::seconds(1);
        Poll();
      }
    }
    interrupted_ = interrupted();
    if (Reconnect()) continue;
    if (!FollowDesktop()) return;
  }
}

// On the stopped route whose recording delivered nothing, or whose playback stood still:
// the chain is opened and started again, and the silence counts as a drop-out.
bool TRoute::Reconnect() {
  const bool playback = failure_ == kPlaybackStalled;
  if (!std::exchange(p_->reconnectAsked, false) || (failure_ != kRecordingStalled && !playback) || !running_ ||
      stopAsked_ || interrupted_)
    return false;
  // The silence goes on until the new chain sounds: one gap, counted here unless the
  // ring or the stall watch counted it already.
  if (!playback && (!p_->ring || p_->ring->EmptyReadsInARow() == 0) && p_->gaps.Add(WaveClockNs())) ++dropouts_;
  CloseChain();
  clippedBefore_ += p_->eq->ClippedBuffers();  // the count restarts with the next start
  failure_.clear();
  p_->waveIn.reset();
  p_->waveOut.reset();
  p_->ring.reset();
  LinkDeviceChain();
  // A new chain: both watches count from its start.
  p_->recording.Reconnected();
  p_->playing.Reconnected();
  StartDriver();
  if (const auto& told = playback ? OnPlaybackReconnected : OnRecordingReconnected) told();
  return true;
}

// On the stopped route of a failed player. A desktop route left on the default output
// follows the desktop: when that device went away (headphones unplugged, a USB or
// Bluetooth device gone), the route goes on where the desktop's sound now goes, the
// desktop's streams staying on the equalizer. A device the user chose stays an error.
bool TRoute::FollowDesktop() {
  if (spec_.Kind != TRouteKind::Desktop || failure_.empty() || !running_ || stopAsked_ || interrupted_ ||
      spec_.OutDeviceChosen || !p_->desktop || p_->desktop->OutputPresent())
    return false;
  CloseChain();
  clippedBefore_ += p_->eq->ClippedBuffers();  // the count restarts with the next start
  // By the name it had: the gone device's number may now be another's.
  const std::string from = p_->outName;
  p_->outDev = WaveDeviceByServerName(TWaveDir::Output, p_->desktop->FollowDesktop());
  if (p_->outDev < 0) throw EMMError(kNoDesktopDevices);
  p_->inDev = WaveDeviceByServerName(TWaveDir::Input, p_->desktop->MonitorName());
  if (p_->inDev < 0) throw EMMError(kNoDesktopDevices);
  if (OnDesktopFollowed) OnDesktopFollowed(from, WaveOutDeviceName(p_->outDev));
  failure_.clear();
  p_->waveIn.reset();
  p_->waveOut.reset();
  p_->ring.reset();
  LinkDeviceChain();
  StartDriver();
  return true;
}

// Stops the driver, waits for its stop and closes the chain.
void TRoute::CloseChain() {
  if (!p_->driver) return;
  closing_ = true;
  struct TClosed {
    bool& closing;
    ~TClosed() { closing = false; }
  } closed{closing_};
  TMMDSPComponent& driver = *p_->driver;
  // Stopped through its own stop first: a trigger closed while it runs closes the chain
  // under its worker (the encoder then fails mid-frame).
  const bool trigger = p_->trigger && &driver == p_->trigger.get();
  if (!trigger || driver.Started()) {
    driver.Stop();
    RunUntil([&] { return stopped_ || !driver.Started(); }, std::chrono::seconds(10));
  }
  driver.Close();
  if (p_->ring) p_->ring->CloseQueue();
  ProcessPendingMessages();  // a failure report still queued
  *p_->driverStop = nullptr;
  p_->driver = nullptr;
}

void TRoute::Finish() {
  if (!running_) return;
  struct TEnd {
    TRoute& r;
    ~TEnd() {
      if (r.p_->desktop) r.p_->desktop->Stop();
      r.p_->sink.reset();
      r.p_->out.reset();
      Application().OnException = std::move(r.previousOnException_);
      r.running_ = false;
    }
  } end{*this};
  CloseChain();
  if (spec_.Kind == TRouteKind::FileToFile && !empty_) {
    // Only a complete output is kept: whatever stopped the run, the new file goes.
    if (interrupted_) throw EInterrupted("interrupted: " + p_->out->LeftBehind());
    if (const std::string why = p_->sink->Failure(); !why.empty() && !(stopAsked_ && p_->sink->StreamCut()))
      throw EMMError("Unable to write " + spec_.Output + ": " + why + "; " + p_->out->LeftBehind());
  }
  if (!failure_.empty()) throw EMMError(failure_);
  if (interrupted_ && spec_.Kind == TRouteKind::FileToDevice) throw EInterrupted("interrupted: playback stopped");
  if (const std::int64_t bad = p_->eq->NonFiniteSamples(); bad && OnWarning)
    OnWarning(spec_.Input + ": " + std::to_string(bad) + (bad == 1 ? " sample was" : " samples were") +
              " NaN or infinite: taken as silence");
  CommitOutput();
}

void TRoute::CommitOutput() {
  if (p_->out) p_->out->Commit();
}

}  // namespace strataeq::routes
