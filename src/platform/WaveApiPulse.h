// The PulseAudio backend of the wave API, in two parts: the server connection with its
// device lists (WaveApiPulse.cpp) and the streams (WaveApiPulseStream.cpp). Only
// those two include this.
//
// Every piece of state below is guarded by the main loop's lock: the loop thread holds
// it while it runs our callbacks, API calls take it. Device reports are therefore
// serialised: they come from the loop thread, or from the calling thread of a reset.
#pragma once

#include <pulse/pulseaudio.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "platform/WaveFormat.h"
#include "platform/WaveApi.h"

namespace strataeq::pulse {

inline constexpr auto kServerWait = std::chrono::milliseconds(3000);
inline constexpr pa_usec_t kTimingPeriod = 20 * PA_USEC_PER_MSEC;  // playback completion checks
inline constexpr pa_usec_t kRecordFragment = 20 * PA_USEC_PER_MSEC;
inline constexpr pa_usec_t kMinPlayback = 40 * PA_USEC_PER_MSEC;   // server-side playback latency bounds
inline constexpr pa_usec_t kMaxPlayback = 500 * PA_USEC_PER_MSEC;
inline constexpr pa_usec_t kJudgeDelay = 500 * PA_USEC_PER_MSEC;   // recording: see TPulseStream::Deaf

struct PulseDevice {
  std::uint32_t index = 0;
  std::string name;
  std::string description;
  std::uint8_t channels = 2;
  std::uint32_t monitorOf = PA_INVALID_INDEX;  // sources: the sink a monitor listens to
  bool nullSink = false;
};

bool FormatSupported(const TWaveFormatEx& f, pa_sample_spec& spec);
MMRESULT FromPulseError(int error);

class TPulseBackend;

class TPulseStream : public TWaveStream {
 public:
  TPulseStream(TPulseBackend& owner, TWaveDir dir, const TWaveFormatEx& format, TWaveCallback callback,
               std::uintptr_t instance, std::uintptr_t handle)
      : owner_(owner), dir_(dir), format_(format), callback_(callback), instance_(instance), handle_(handle),
        running_(dir == TWaveDir::Output) {}
  ~TPulseStream() override;

  // Connects to the device (nullptr: the default one); the caller holds the lock.
  // monitored: for the monitor of a null sink, that sink's name.
  MMRESULT Connect(const char* device, const pa_sample_spec& spec, const std::string& monitored);

  MMRESULT Prepare(TMMWaveHdr* hdr) override;
  MMRESULT Unprepare(TMMWaveHdr* hdr) override;
  MMRESULT Queue(TMMWaveHdr* hdr) override;
  MMRESULT Start() override;
  MMRESULT Stop() override;
  MMRESULT Reset() override;
  MMRESULT Position(TMMTime* time) override;
  MMRESULT Close() override;
  MMRESULT Latency(std::uint64_t* usec) override;
  MMRESULT ServerBuffer(TWaveServerBuffer* sizes) override;
  MMRESULT Underflows(TWaveLosses* losses) override {
    underflows_.Read(losses);
    return MMSYSERR_NOERROR;
  }
  MMRESULT Overruns(TWaveLosses* losses) override {
    overruns_.Read(losses);
    return MMSYSERR_NOERROR;
  }

  // The lock is held for these.
  void Fail(MMRESULT code);
  void SourceChanged(std::uint32_t index);  // the server changed this source
  void Report(std::uint32_t msg, std::uintptr_t param) {
    if (callback_) callback_(handle_, msg, instance_, param, 0);
  }

 private:
  static void StateCallback(pa_stream* s, void* self);
  static void WriteCallback(pa_stream* s, std::size_t bytes, void* self);
  static void ReadCallback(pa_stream* s, std::size_t bytes, void* self);
  static void TimingCallback(pa_stream* s, void* self);
  static void UnderflowCallback(pa_stream* s, void* self);
  static void OverflowCallback(pa_stream* s, void* self);
  static void TimingDone(pa_stream* s, int success, void* self);
  static void DrainDone(pa_stream* s, int success, void* self);
  static void TimerCallback(pa_mainloop_api* api, pa_time_event* e, const struct timeval* tv, void* self);
  static void SuspendedCallback(pa_stream* s, void* self);

  void Feed();                 // output: hands queued bytes to the server
  void CheckPlayed();          // output: reports buffers the server has played
  void RequestTiming();
  void RequestDrain();
  void CancelDrain();
  void CompleteUpTo(std::uint64_t written);  // output: buffers that end at or before written
  void Consume(const void* data, std::size_t bytes);  // input
  bool Deaf(const void* data, std::size_t bytes);  // input: what a dead link hands over
  void Complete(TMMWaveHdr* h);
  void Detach();
  void Cork(bool cork);
  void Resync();
  void OpenProbe();
  void CloseProbe();
  static void ProbeReadCallback(pa_stream* s, std::size_t bytes, void* self);
  std::uint64_t PlayedSamples();

  TPulseBackend& owner_;
  const TWaveDir dir_;
  const TWaveFormatEx format_;
  const TWaveCallback callback_;
  const std::uintptr_t instance_;
  const std::uintptr_t handle_;
  pa_stream* stream_ = nullptr;
  pa_time_event* timer_ = nullptr;
  std::deque<TMMWaveHdr*> queue_;  // not yet (completely) handed to or filled by the server
  std::size_t headOffset_ = 0;     // bytes of queue_.front() already handed over or filled
  std::deque<TMMWaveHdr*> inServer_;  // output: handed over, not yet played
  bool running_;
  bool connected_ = false;  // failures before this are the open's result, not a report
  bool failed_ = false;
  bool closed_ = false;
  bool triggered_ = false;
  pa_operation* timingOp_ = nullptr;  // a timing request in flight: its callback needs this stream
  pa_operation* drainOp_ = nullptr;   // a drain in flight, and what was written when it was asked
  std::uint64_t drainMark_ = 0;
  std::uint64_t written_ = 0;         // output bytes handed to the server since the open
  pa_usec_t lastWrite_ = 0;
  MMRESULT failCode_ = WAVERR_DEVICELOST;
  std::uint32_t bufferBytes_ = 0;  // largest prepared buffer, for the latency request
  std::uint32_t playbackUsec_ = 0; // asked-for server-side playback buffering; 0: about two buffers
  pa_usec_t timingPeriod_ = kTimingPeriod;
  std::string monitored_;          // input: the null sink whose monitor this records
  std::uint64_t recorded_ = 0;     // input bytes since the last reset
  std::uint64_t positionBase_ = 0; // output samples played before the last reset
  std::uint64_t lastPosition_ = 0;
  TWaveLossLog underflows_;  // output: kept on the server's thread
  TWaveLossLog overruns_;    // input: the same
  bool losing_ = false;      // input: the sound lost now is counted already
  // Input: PipeWire's server goes on delivering digital silence to a recording whose
  // source was suspended and resumed, while a new recording of it has sound, and tells
  // of the suspend only by a change of the source. A change also comes with a volume
  // step, and a paused player gives zeros too, so zeros alone prove nothing: from such
  // a change (or a suspend the classic server reports) on, a second of nothing but
  // zeros opens a second recording of the source, the probe. Only when the probe hears
  // sound while this stream still gets zeros is the link dead: the stream delivers
  // nothing more, as a suspended source on the classic server does, so the owner
  // reconnects. Sound on this stream clears it all.
  pa_usec_t watchFrom_ = 0;          // changes before this are our own start's suspend
  bool sourceChanged_ = false;       // since the last sound
  pa_usec_t judgeFrom_ = 0;          // sound recorded before the change may still come until then
  std::uint64_t zeroBytes_ = 0;      // zeros in a row since then, or since the probe heard sound
  pa_stream* probe_ = nullptr;
  bool probeHeard_ = false;
  bool deaf_ = false;
  std::uint64_t preparedBytes_ = 0;           // output: of the buffers prepared now
};

class TPulseBackend : public TWaveBackend {
 public:
  TPulseBackend();
  ~TPulseBackend() override;

  std::string Name() const override { return "pulse"; }
  std::uint32_t NumDevs(TWaveDir dir) override;
  MMRESULT GetDevCaps(TWaveDir dir, int deviceId, TWaveOutCaps* caps) override;
  std::string DeviceServerName(TWaveDir dir, int deviceId) override;
  MMRESULT Open(TWaveDir dir, int deviceId, const TWaveFormatEx& format, bool query, TWaveCallback callback,
                std::uintptr_t instance, std::uintptr_t handle, std::unique_ptr<TWaveStream>& stream) override;

  // Takes the main loop's lock unless the caller is the loop thread itself.
  class Lock {
   public:
    explicit Lock(TPulseBackend& b) : loop_(b.loop_), held_(!pa_threaded_mainloop_in_thread(b.loop_)) {
      if (held_) pa_threaded_mainloop_lock(loop_);
    }
    ~Lock() {
      if (held_) pa_threaded_mainloop_unlock(loop_);
    }
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;

   private:
    pa_threaded_mainloop* loop_;
    bool held_;
  };

  pa_threaded_mainloop* Loop() const { return loop_; }
  pa_context* Context() const { return context_; }

  // Wakes every Wait; called from the loop thread's callbacks.
  void Signal();

  // With the lock held, outside the loop thread: waits until done() or the time-out.
  bool Wait(const std::function<bool()>& done, std::chrono::milliseconds timeout = kServerWait);
  bool WaitOperation(pa_operation* op);

  void Attach(TPulseStream* s) { streams_.insert(s); }
  void Detach(TPulseStream* s) { streams_.erase(s); }

 private:
  const std::vector<PulseDevice>& Devices(TWaveDir dir) const {
    return dir == TWaveDir::Input ? sources_ : sinks_;
  }
  void DropContext();
  bool Connect();
  bool Enumerate();
  static void ContextState(pa_context* c, void* self);
  static void SourceInfo(pa_context*, const pa_source_info* info, int eol, void* self);
  static void SinkInfo(pa_context*, const pa_sink_info* info, int eol, void* self);
  static void ServerInfo(pa_context*, const pa_server_info* info, void* self);
  static void Subscribed(pa_context*, pa_subscription_event_type_t type, std::uint32_t index, void* self);
  pa_threaded_mainloop* loop_ = nullptr;
  pa_context* context_ = nullptr;
  bool enumerated_ = false;
  std::vector<PulseDevice> sources_, sinks_;
  std::string defaultSource_, defaultSink_;
  std::set<TPulseStream*> streams_;
  std::mutex waitMutex_;
  std::condition_variable waitChanged_;
  std::uint64_t generation_ = 0;
};

}  // namespace strataeq::pulse
