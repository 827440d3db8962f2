// The wave API over the PulseAudio client library with its threaded main loop.
// Recording devices are the server's sources (monitors included), playback devices
// its sinks, in the server's index order; the mapper is the server's default.
//
// Every piece of state below is guarded by the main loop's lock: the loop thread holds
// it while it runs our callbacks, API calls take it. Device reports are therefore
// serialised: they come from the loop thread, or from the calling thread of a reset.
#include <pulse/pulseaudio.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <functional>
#include <set>

#include "platform/WaveFormat.h"
#include "platform/Threads.h"
#include "platform/WaveApi.h"

namespace strataeq {
namespace {

constexpr auto kServerWait = std::chrono::milliseconds(3000);
constexpr pa_usec_t kTimingPeriod = 20 * PA_USEC_PER_MSEC;  // playback completion checks
constexpr pa_usec_t kRecordFragment = 20 * PA_USEC_PER_MSEC;
constexpr pa_usec_t kMinPlayback = 40 * PA_USEC_PER_MSEC;   // server-side playback latency bounds
constexpr pa_usec_t kMaxPlayback = 500 * PA_USEC_PER_MSEC;

struct PulseDevice {
  std::uint32_t index = 0;
  std::string name;
  std::string description;
  std::uint8_t channels = 2;
  std::uint32_t monitorOf = PA_INVALID_INDEX;  // sources: the sink a monitor listens to
  bool nullSink = false;
};

bool FormatSupported(const TWaveFormatEx& f, pa_sample_spec& spec) {
  if (f.wFormatTag != WAVE_FORMAT_PCM) return false;
  if (f.wBitsPerSample == 8)
    spec.format = PA_SAMPLE_U8;
  else if (f.wBitsPerSample == 16)
    spec.format = PA_SAMPLE_S16LE;
  else
    return false;
  if (f.nChannels < 1 || f.nChannels > 2) return false;
  if (f.nBlockAlign != f.nChannels * f.wBitsPerSample / 8) return false;
  spec.channels = static_cast<std::uint8_t>(f.nChannels);
  spec.rate = f.nSamplesPerSec;
  return pa_sample_spec_valid(&spec) != 0;
}

MMRESULT FromPulseError(int error) {
  switch (error) {
    case PA_ERR_NOENTITY: return MMSYSERR_NODRIVER;
    case PA_ERR_NOTSUPPORTED:
    case PA_ERR_INVALID: return WAVERR_BADFORMAT;
    case PA_ERR_ACCESS:
    case PA_ERR_BUSY: return MMSYSERR_ALLOCATED;
    case PA_ERR_CONNECTIONREFUSED:
    case PA_ERR_CONNECTIONTERMINATED: return WAVERR_SERVERLOST;
    case PA_ERR_TIMEOUT: return WAVERR_TIMEOUT;
    default: return MMSYSERR_ERROR;
  }
}

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
  MMRESULT Underflows(std::uint64_t* count) override {
    *count = underflows_.load();
    return MMSYSERR_NOERROR;
  }

  // The lock is held for these.
  void Fail(MMRESULT code);
  void Report(std::uint32_t msg, std::uintptr_t param) {
    if (callback_) callback_(handle_, msg, instance_, param, 0);
  }

 private:
  static void StateCallback(pa_stream* s, void* self);
  static void WriteCallback(pa_stream* s, std::size_t bytes, void* self);
  static void ReadCallback(pa_stream* s, std::size_t bytes, void* self);
  static void TimingCallback(pa_stream* s, void* self);
  static void UnderflowCallback(pa_stream* s, void* self);
  static void TimingDone(pa_stream* s, int success, void* self);
  static void DrainDone(pa_stream* s, int success, void* self);
  static void TimerCallback(pa_mainloop_api* api, pa_time_event* e, const struct timeval* tv, void* self);

  void Feed();                 // output: hands queued bytes to the server
  void CheckPlayed();          // output: reports buffers the server has played
  void RequestTiming();
  void RequestDrain();
  void CancelDrain();
  void CompleteUpTo(std::uint64_t written);  // output: buffers that end at or before written
  void Consume(const void* data, std::size_t bytes);  // input
  void Complete(TMMWaveHdr* h);
  void Detach();
  void Cork(bool cork);
  void Resync();
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
  std::atomic<std::uint64_t> underflows_{0};  // output: counted on the server's thread
};

class TPulseBackend : public TWaveBackend {
 public:
  TPulseBackend() {
    loop_ = pa_threaded_mainloop_new();
    if (loop_ && pa_threaded_mainloop_start(loop_) < 0) {
      pa_threaded_mainloop_free(loop_);
      loop_ = nullptr;
    }
    if (loop_) {
      // Every recorded and played byte passes this thread on its way to the drivers'
      // workers: it runs just below the playback worker.
      pa_threaded_mainloop_lock(loop_);
      pa_mainloop_api* api = pa_threaded_mainloop_get_api(loop_);
      pa_mainloop_api_once(
          api, [](pa_mainloop_api*, void*) { SetCurrentThreadPriority(TThreadPriority::tpHighest); }, nullptr);
      pa_threaded_mainloop_unlock(loop_);
    }
  }

  ~TPulseBackend() override {
    if (!loop_) return;
    pa_threaded_mainloop_lock(loop_);
    DropContext();
    pa_threaded_mainloop_unlock(loop_);
    pa_threaded_mainloop_stop(loop_);
    pa_threaded_mainloop_free(loop_);
  }

  std::string Name() const override { return "pulse"; }

  std::uint32_t NumDevs(TWaveDir dir) override {
    if (!loop_) return 0;
    Lock lock(*this);
    if (!Connect() || !Enumerate()) return 0;
    return static_cast<std::uint32_t>(Devices(dir).size());
  }

  MMRESULT GetDevCaps(TWaveDir dir, int deviceId, TWaveOutCaps* caps) override {
    if (!loop_) return MMSYSERR_NODRIVER;
    Lock lock(*this);
    if (!Connect()) return MMSYSERR_NODRIVER;
    if (!enumerated_ && !Enumerate()) return WAVERR_TIMEOUT;
    const auto& list = Devices(dir);
    const PulseDevice* d = nullptr;
    if (deviceId == WAVE_MAPPER) {
      const std::string& def = dir == TWaveDir::Input ? defaultSource_ : defaultSink_;
      for (const PulseDevice& x : list)
        if (x.name == def) d = &x;
    } else if (deviceId >= 0 && static_cast<std::size_t>(deviceId) < list.size()) {
      d = &list[static_cast<std::size_t>(deviceId)];
    } else {
      return MMSYSERR_BADDEVICEID;
    }
    *caps = TWaveOutCaps{};
    caps->wMid = 1;
    caps->wPid = dir == TWaveDir::Input ? 1 : 2;
    caps->vDriverVersion = pa_context_get_server_protocol_version(context_);
    caps->szPname = d ? d->description : std::string("Default device");
    caps->dwFormats = WAVE_FORMAT_ALL_STANDARD;
    caps->wChannels = d ? std::min<std::uint16_t>(d->channels, 2) : 2;
    return MMSYSERR_NOERROR;
  }

  std::string DeviceServerName(TWaveDir dir, int deviceId) override {
    if (!loop_) return {};
    Lock lock(*this);
    if (!Connect() || (!enumerated_ && !Enumerate())) return {};
    if (deviceId == WAVE_MAPPER) return dir == TWaveDir::Input ? defaultSource_ : defaultSink_;
    const auto& list = Devices(dir);
    if (deviceId < 0 || static_cast<std::size_t>(deviceId) >= list.size()) return {};
    return list[static_cast<std::size_t>(deviceId)].name;
  }

  MMRESULT Open(TWaveDir dir, int deviceId, const TWaveFormatEx& format, bool query, TWaveCallback callback,
                std::uintptr_t instance, std::uintptr_t handle, std::unique_ptr<TWaveStream>& stream) override {
    if (!loop_) return MMSYSERR_NODRIVER;
    pa_sample_spec spec{};
    const bool formatOk = FormatSupported(format, spec);
    Lock lock(*this);
    if (!Connect()) return MMSYSERR_NODRIVER;
    if (!enumerated_ && !Enumerate()) return WAVERR_TIMEOUT;
    const auto& list = Devices(dir);
    std::string device;
    const PulseDevice* entry = nullptr;
    if (deviceId != WAVE_MAPPER) {
      if (deviceId < 0 || static_cast<std::size_t>(deviceId) >= list.size()) return MMSYSERR_BADDEVICEID;
      entry = &list[static_cast<std::size_t>(deviceId)];
      device = entry->name;
    } else if (list.empty()) {
      return MMSYSERR_BADDEVICEID;
    } else {
      for (const PulseDevice& x : list)
        if (x.name == (dir == TWaveDir::Input ? defaultSource_ : defaultSink_)) entry = &x;
    }
    if (!formatOk) return WAVERR_BADFORMAT;
    if (query) return MMSYSERR_NOERROR;
    std::string monitored;
    if (entry && entry->monitorOf != PA_INVALID_INDEX)
      for (const PulseDevice& x : sinks_)
        if (x.index == entry->monitorOf && x.nullSink) monitored = x.name;
    auto s = std::make_unique<TPulseStream>(*this, dir, format, callback, instance, handle);
    const MMRESULT result = s->Connect(device.empty() ? nullptr : device.c_str(), spec, monitored);
    if (result != MMSYSERR_NOERROR) return result;
    s->Report(dir == TWaveDir::Input ? MM_WIM_OPEN : MM_WOM_OPEN, 0);
    stream = std::move(s);
    return MMSYSERR_NOERROR;
  }

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
  void Signal() {
    {
      std::lock_guard lock(waitMutex_);
      ++generation_;
    }
    waitChanged_.notify_all();
  }

  // With the lock held, outside the loop thread: waits until done() or the time-out.
  bool Wait(const std::function<bool()>& done, std::chrono::milliseconds timeout = kServerWait) {
    if (pa_threaded_mainloop_in_thread(loop_)) return done();
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
      std::uint64_t seen;
      {
        std::lock_guard lock(waitMutex_);
        seen = generation_;
      }
      pa_threaded_mainloop_unlock(loop_);
      bool woke;
      {
        std::unique_lock lock(waitMutex_);
        woke = waitChanged_.wait_until(lock, deadline, [&] { return generation_ != seen; });
      }
      pa_threaded_mainloop_lock(loop_);
      if (!woke && !done()) return false;
    }
    return true;
  }

  bool WaitOperation(pa_operation* op) {
    if (!op) return false;
    const bool done = Wait([op] { return pa_operation_get_state(op) != PA_OPERATION_RUNNING; });
    if (!done) pa_operation_cancel(op);
    pa_operation_unref(op);
    return done;
  }

  void Attach(TPulseStream* s) { streams_.insert(s); }
  void Detach(TPulseStream* s) { streams_.erase(s); }

 private:
  const std::vector<PulseDevice>& Devices(TWaveDir dir) const {
    return dir == TWaveDir::Input ? sources_ : sinks_;
  }

  void DropContext() {
    if (!context_) return;
    pa_context_set_state_callback(context_, nullptr, nullptr);
    pa_context_disconnect(context_);
    pa_context_unref(context_);
    context_ = nullptr;
    enumerated_ = false;
  }

  bool Connect() {
    if (context_) {
      const pa_context_state_t st = pa_context_get_state(context_);
      if (st == PA_CONTEXT_READY) return true;
      if (!PA_CONTEXT_IS_GOOD(st)) DropContext();
    }
    if (!context_) {
      context_ = pa_context_new(pa_threaded_mainloop_get_api(loop_), "StrataEq");
      if (!context_) return false;
      pa_context_set_state_callback(context_, &TPulseBackend::ContextState, this);
      if (pa_context_connect(context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
        DropContext();
        return false;
      }
    }
    pa_context* c = context_;
    Wait([c] { return !PA_CONTEXT_IS_GOOD(pa_context_get_state(c)) || pa_context_get_state(c) == PA_CONTEXT_READY; });
    if (pa_context_get_state(context_) == PA_CONTEXT_READY) return true;
    DropContext();
    return false;
  }

  bool Enumerate() {
    sources_.clear();
    sinks_.clear();
    defaultSource_.clear();
    defaultSink_.clear();
    const bool ok = WaitOperation(pa_context_get_source_info_list(context_, &TPulseBackend::SourceInfo, this)) &&
                    WaitOperation(pa_context_get_sink_info_list(context_, &TPulseBackend::SinkInfo, this)) &&
                    WaitOperation(pa_context_get_server_info(context_, &TPulseBackend::ServerInfo, this));
    auto byIndex = [](const PulseDevice& a, const PulseDevice& b) { return a.index < b.index; };
    std::sort(sources_.begin(), sources_.end(), byIndex);
    std::sort(sinks_.begin(), sinks_.end(), byIndex);
    enumerated_ = ok;
    return ok;
  }

  static void ContextState(pa_context* c, void* self) {
    auto* b = static_cast<TPulseBackend*>(self);
    if (!PA_CONTEXT_IS_GOOD(pa_context_get_state(c))) {
      const std::set<TPulseStream*> streams = b->streams_;
      for (TPulseStream* s : streams) s->Fail(WAVERR_SERVERLOST);
    }
    b->Signal();
  }

  static void SourceInfo(pa_context*, const pa_source_info* info, int eol, void* self) {
    auto* b = static_cast<TPulseBackend*>(self);
    if (!eol && info)
      b->sources_.push_back({info->index, info->name ? info->name : "",
                             info->description ? info->description : "", info->sample_spec.channels,
                             info->monitor_of_sink});
    b->Signal();
  }

  static void SinkInfo(pa_context*, const pa_sink_info* info, int eol, void* self) {
    auto* b = static_cast<TPulseBackend*>(self);
    if (!eol && info)
      b->sinks_.push_back({info->index, info->name ? info->name : "", info->description ? info->description : "",
                           info->sample_spec.channels, PA_INVALID_INDEX,
                           info->driver && std::strstr(info->driver, "module-null-sink") != nullptr});
    b->Signal();
  }

  static void ServerInfo(pa_context*, const pa_server_info* info, void* self) {
    auto* b = static_cast<TPulseBackend*>(self);
    if (info) {
      b->defaultSource_ = info->default_source_name ? info->default_source_name : "";
      b->defaultSink_ = info->default_sink_name ? info->default_sink_name : "";
    }
    b->Signal();
  }

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

TPulseStream::~TPulseStream() {
  if (!stream_ && !timer_) return;  // closed, or its open failed: nothing left at the server
  TPulseBackend::Lock lock(owner_);
  Detach();
}

void TPulseStream::Detach() {
  if (timingOp_) {  // its answer would come to a stream that is gone
    pa_operation_cancel(timingOp_);
    pa_operation_unref(timingOp_);
    timingOp_ = nullptr;
  }
  CancelDrain();
  if (timer_) {
    pa_threaded_mainloop_get_api(owner_.Loop())->time_free(timer_);
    timer_ = nullptr;
  }
  if (stream_) {
    pa_stream_set_state_callback(stream_, nullptr, nullptr);
    pa_stream_set_write_callback(stream_, nullptr, nullptr);
    pa_stream_set_read_callback(stream_, nullptr, nullptr);
    pa_stream_set_latency_update_callback(stream_, nullptr, nullptr);
    pa_stream_set_underflow_callback(stream_, nullptr, nullptr);
    if (PA_STREAM_IS_GOOD(pa_stream_get_state(stream_))) pa_stream_disconnect(stream_);
    pa_stream_unref(stream_);
    stream_ = nullptr;
  }
  owner_.Detach(this);
}

MMRESULT TPulseStream::Connect(const char* device, const pa_sample_spec& spec, const std::string& monitored) {
  monitored_ = monitored;
  const TWaveStreamTiming timing = WaveStreamTiming();
  playbackUsec_ = timing.PlaybackUsec;
  // Played buffers are found by these checks: a short server buffer needs them sooner.
  if (playbackUsec_) timingPeriod_ = std::clamp<pa_usec_t>(playbackUsec_ / 4, PA_USEC_PER_MSEC, kTimingPeriod);
  stream_ = pa_stream_new(owner_.Context(), dir_ == TWaveDir::Input ? "StrataEq recording" : "StrataEq playback",
                          &spec, nullptr);
  if (!stream_) return FromPulseError(pa_context_errno(owner_.Context()));
  owner_.Attach(this);
  pa_stream_set_state_callback(stream_, &TPulseStream::StateCallback, this);
  pa_stream_set_latency_update_callback(stream_, &TPulseStream::TimingCallback, this);
  auto flags = static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY | PA_STREAM_AUTO_TIMING_UPDATE |
                                              PA_STREAM_INTERPOLATE_TIMING);
  // A chosen device stays chosen: if it goes away the stream fails instead of moving.
  if (device) flags = static_cast<pa_stream_flags_t>(flags | PA_STREAM_DONT_MOVE);
  pa_buffer_attr attr{};
  attr.maxlength = static_cast<std::uint32_t>(-1);
  attr.prebuf = static_cast<std::uint32_t>(-1);
  int rc;
  if (dir_ == TWaveDir::Input) {
    const pa_usec_t fragment = timing.RecordUsec ? timing.RecordUsec : kRecordFragment;
    attr.fragsize = static_cast<std::uint32_t>(pa_usec_to_bytes(fragment, &spec));
    attr.tlength = attr.minreq = static_cast<std::uint32_t>(-1);
    pa_stream_set_read_callback(stream_, &TPulseStream::ReadCallback, this);
    rc = pa_stream_connect_record(stream_, device, &attr,
                                  static_cast<pa_stream_flags_t>(flags | PA_STREAM_START_CORKED));
  } else {
    const pa_usec_t target = playbackUsec_ ? playbackUsec_ : kMinPlayback * 2;
    attr.tlength = static_cast<std::uint32_t>(pa_usec_to_bytes(target, &spec));
    attr.minreq = attr.tlength / 4;
    attr.fragsize = static_cast<std::uint32_t>(-1);
    pa_stream_set_write_callback(stream_, &TPulseStream::WriteCallback, this);
    pa_stream_set_underflow_callback(stream_, &TPulseStream::UnderflowCallback, this);
    rc = pa_stream_connect_playback(stream_, device, &attr, flags, nullptr, nullptr);
  }
  if (rc < 0) {
    const MMRESULT code = FromPulseError(pa_context_errno(owner_.Context()));
    Detach();
    return code;
  }
  pa_stream* s = stream_;
  const bool settled = owner_.Wait([s] {
    const pa_stream_state_t st = pa_stream_get_state(s);
    return st == PA_STREAM_READY || !PA_STREAM_IS_GOOD(st);
  });
  if (!settled || pa_stream_get_state(stream_) != PA_STREAM_READY) {
    const MMRESULT code = settled ? FromPulseError(pa_context_errno(owner_.Context())) : WAVERR_TIMEOUT;
    Detach();
    return code;
  }
  connected_ = true;
  if (dir_ == TWaveDir::Output) {
    pa_mainloop_api* api = pa_threaded_mainloop_get_api(owner_.Loop());
    timeval tv{};
    pa_timeval_add(pa_gettimeofday(&tv), timingPeriod_);
    timer_ = api->time_new(api, &tv, &TPulseStream::TimerCallback, this);
  }
  return MMSYSERR_NOERROR;
}

void TPulseStream::Fail(MMRESULT code) {
  if (failed_ || closed_) return;
  failed_ = true;
  failCode_ = code;
  Report(dir_ == TWaveDir::Input ? MM_WIM_ERROR : MM_WOM_ERROR, code);
}

void TPulseStream::StateCallback(pa_stream* s, void* self) {
  auto* t = static_cast<TPulseStream*>(self);
  const pa_stream_state_t st = pa_stream_get_state(s);
  if (t->connected_ && (st == PA_STREAM_FAILED || st == PA_STREAM_TERMINATED)) {
    pa_context* c = t->owner_.Context();
    const bool serverGone = !c || !PA_CONTEXT_IS_GOOD(pa_context_get_state(c));
    t->Fail(serverGone ? WAVERR_SERVERLOST : WAVERR_DEVICELOST);
  }
  t->owner_.Signal();
}

void TPulseStream::WriteCallback(pa_stream*, std::size_t, void* self) {
  auto* t = static_cast<TPulseStream*>(self);
  t->Feed();
  t->RequestTiming();
}

void TPulseStream::ReadCallback(pa_stream* s, std::size_t, void* self) {
  auto* t = static_cast<TPulseStream*>(self);
  while (pa_stream_readable_size(s) > 0) {
    const void* data = nullptr;
    std::size_t bytes = 0;
    if (pa_stream_peek(s, &data, &bytes) < 0 || bytes == 0) break;
    t->Consume(data, bytes);
    pa_stream_drop(s);
  }
}

void TPulseStream::TimingCallback(pa_stream*, void* self) { static_cast<TPulseStream*>(self)->CheckPlayed(); }

// The server played out everything we had queued and goes on with silence.
void TPulseStream::UnderflowCallback(pa_stream*, void* self) { ++static_cast<TPulseStream*>(self)->underflows_; }

void TPulseStream::TimingDone(pa_stream*, int, void* self) {
  auto* t = static_cast<TPulseStream*>(self);
  if (t->timingOp_) {
    pa_operation_unref(t->timingOp_);
    t->timingOp_ = nullptr;
  }
  t->CheckPlayed();
}

// The server answers a drain once everything written before it has been played: the
// end of a stream is known from that, not from its indices, which PipeWire's server
// can leave a little apart for good once a stream runs dry.
void TPulseStream::DrainDone(pa_stream*, int success, void* self) {
  auto* t = static_cast<TPulseStream*>(self);
  if (t->drainOp_) {
    pa_operation_unref(t->drainOp_);
    t->drainOp_ = nullptr;
  }
  if (success) t->CompleteUpTo(t->drainMark_);
}

// Asked for once nothing has been written for longer than what the server holds takes
// to play: a stream fed steadily never waits on it.
void TPulseStream::RequestDrain() {
  if (drainOp_ || failed_ || closed_ || !running_ || !queue_.empty() || inServer_.empty() || !stream_ ||
      pa_stream_get_state(stream_) != PA_STREAM_READY)
    return;
  std::size_t held = headOffset_;
  for (const TMMWaveHdr* h : inServer_) held += h->dwBufferLength;
  const pa_usec_t idle = pa_bytes_to_usec(held, pa_stream_get_sample_spec(stream_)) + timingPeriod_;
  if (pa_rtclock_now() - lastWrite_ < idle) return;
  drainMark_ = written_;
  drainOp_ = pa_stream_drain(stream_, &TPulseStream::DrainDone, this);
}

void TPulseStream::CancelDrain() {
  if (!drainOp_) return;
  pa_operation_cancel(drainOp_);
  pa_operation_unref(drainOp_);
  drainOp_ = nullptr;
}

void TPulseStream::CompleteUpTo(std::uint64_t written) {
  std::uint64_t end = written_ - headOffset_;  // the end of the newest buffer handed over whole
  for (const TMMWaveHdr* h : inServer_) end -= h->dwBufferLength;
  while (!inServer_.empty() && end + inServer_.front()->dwBufferLength <= written) {
    TMMWaveHdr* h = inServer_.front();
    end += h->dwBufferLength;
    inServer_.pop_front();
    Complete(h);
    if (closed_) return;
  }
}

void TPulseStream::TimerCallback(pa_mainloop_api* api, pa_time_event* e, const struct timeval*, void* self) {
  auto* t = static_cast<TPulseStream*>(self);
  if (!t->inServer_.empty()) {
    t->RequestTiming();
    t->RequestDrain();
  }
  timeval tv{};
  pa_timeval_add(pa_gettimeofday(&tv), t->timingPeriod_);
  api->time_restart(e, &tv);
}

void TPulseStream::RequestTiming() {
  if (timingOp_ || failed_ || !stream_ || pa_stream_get_state(stream_) != PA_STREAM_READY) return;
  timingOp_ = pa_stream_update_timing_info(stream_, &TPulseStream::TimingDone, this);
}

void TPulseStream::Complete(TMMWaveHdr* h) {
  SetWaveHdrFlags(h, WHDR_DONE, WHDR_INQUEUE);
  Report(dir_ == TWaveDir::Input ? MM_WIM_DATA : MM_WOM_DONE, reinterpret_cast<std::uintptr_t>(h));
}

void TPulseStream::Feed() {
  if (failed_ || closed_ || !stream_ || pa_stream_get_state(stream_) != PA_STREAM_READY) return;
  std::size_t writable = pa_stream_writable_size(stream_);
  if (writable == static_cast<std::size_t>(-1)) return;
  bool wrote = false;
  while (!queue_.empty()) {
    TMMWaveHdr* h = queue_.front();
    const std::size_t left = h->dwBufferLength - headOffset_;
    if (left > 0) {
      if (writable == 0) break;
      const std::size_t chunk = std::min(left, writable);
      if (pa_stream_write(stream_, h->lpData + headOffset_, chunk, nullptr, 0, PA_SEEK_RELATIVE) < 0) break;
      headOffset_ += chunk;
      written_ += chunk;
      writable -= chunk;
      wrote = true;
    }
    if (headOffset_ < h->dwBufferLength) break;
    inServer_.push_back(h);
    queue_.pop_front();
    headOffset_ = 0;
  }
  if (wrote) {
    triggered_ = false;
    lastWrite_ = pa_rtclock_now();
    CancelDrain();  // its answer would say nothing about what was just written
  }
  // Nothing more to come for now: play what the server holds even below its start level.
  if (queue_.empty() && !inServer_.empty() && !triggered_ && running_) {
    if (pa_operation* op = pa_stream_trigger(stream_, nullptr, nullptr)) pa_operation_unref(op);
    triggered_ = true;
  }
}

void TPulseStream::CheckPlayed() {
  if (failed_ || closed_ || dir_ != TWaveDir::Output || !stream_ || inServer_.empty()) return;
  const pa_timing_info* ti = pa_stream_get_timing_info(stream_);
  if (!ti || ti->write_index_corrupt || ti->read_index_corrupt) return;
  // Bytes of ours the server still holds are the newest ones; everything older is played.
  const std::int64_t pending = std::max<std::int64_t>(ti->write_index - ti->read_index, 0);
  std::int64_t held = static_cast<std::int64_t>(headOffset_);
  for (const TMMWaveHdr* h : inServer_) held += h->dwBufferLength;
  std::int64_t played = held - pending;
  while (!inServer_.empty() && static_cast<std::int64_t>(inServer_.front()->dwBufferLength) <= played) {
    TMMWaveHdr* h = inServer_.front();
    played -= h->dwBufferLength;
    inServer_.pop_front();
    Complete(h);
    if (closed_) return;
  }
}

void TPulseStream::Consume(const void* data, std::size_t bytes) {
  if (!running_ || failed_) return;
  const auto* p = static_cast<const char*>(data);
  while (bytes > 0 && !queue_.empty()) {
    TMMWaveHdr* h = queue_.front();
    const std::size_t take = std::min<std::size_t>(h->dwBufferLength - headOffset_, bytes);
    if (p)
      std::memcpy(h->lpData + headOffset_, p, take);
    else  // a hole in the stream
      std::memset(h->lpData + headOffset_, format_.wBitsPerSample == 8 ? 128 : 0, take);
    if (p) p += take;
    bytes -= take;
    headOffset_ += take;
    recorded_ += take;
    if (headOffset_ == h->dwBufferLength) {
      h->dwBytesRecorded = static_cast<std::int32_t>(headOffset_);
      queue_.pop_front();
      headOffset_ = 0;
      Complete(h);
    }
  }
  // With no buffer queued the rest is lost, as on any device that overruns.
}

void TPulseStream::Cork(bool cork) {
  if (failed_ || !stream_ || pa_stream_get_state(stream_) != PA_STREAM_READY) return;
  if (pa_operation* op = pa_stream_cork(stream_, cork ? 1 : 0, nullptr, nullptr)) pa_operation_unref(op);
}

MMRESULT TPulseStream::Prepare(TMMWaveHdr* hdr) {
  TPulseBackend::Lock lock(owner_);
  SetWaveHdrFlags(hdr, WHDR_PREPARED, 0);
  if (dir_ == TWaveDir::Output && !playbackUsec_ && hdr->dwBufferLength > bufferBytes_ && !failed_ && stream_) {
    // Keep about two buffers at the server: small, bounded latency, and room to
    // hand over a whole buffer while the previous one plays.
    bufferBytes_ = hdr->dwBufferLength;
    const pa_sample_spec* spec = pa_stream_get_sample_spec(stream_);
    const auto lo = static_cast<std::uint32_t>(pa_usec_to_bytes(kMinPlayback, spec));
    const auto hi = static_cast<std::uint32_t>(pa_usec_to_bytes(kMaxPlayback, spec));
    pa_buffer_attr attr{};
    attr.maxlength = static_cast<std::uint32_t>(-1);
    attr.tlength = std::clamp(2 * bufferBytes_, lo, hi);
    attr.prebuf = static_cast<std::uint32_t>(-1);
    attr.minreq = attr.tlength / 4;
    attr.fragsize = static_cast<std::uint32_t>(-1);
    if (pa_operation* op = pa_stream_set_buffer_attr(stream_, &attr, nullptr, nullptr)) pa_operation_unref(op);
  }
  return MMSYSERR_NOERROR;
}

MMRESULT TPulseStream::Unprepare(TMMWaveHdr* hdr) {
  TPulseBackend::Lock lock(owner_);
  if (WaveHdrFlags(hdr) & WHDR_INQUEUE) return WAVERR_STILLPLAYING;
  SetWaveHdrFlags(hdr, 0, WHDR_PREPARED);
  return MMSYSERR_NOERROR;
}

MMRESULT TPulseStream::Queue(TMMWaveHdr* hdr) {
  TPulseBackend::Lock lock(owner_);
  if (failed_) return failCode_;
  const std::uint32_t flags = WaveHdrFlags(hdr);
  if (!(flags & WHDR_PREPARED)) return WAVERR_UNPREPARED;
  if (flags & WHDR_INQUEUE) return WAVERR_STILLPLAYING;
  if (dir_ == TWaveDir::Input) hdr->dwBytesRecorded = 0;
  SetWaveHdrFlags(hdr, WHDR_INQUEUE, WHDR_DONE);
  queue_.push_back(hdr);
  if (dir_ == TWaveDir::Output) Feed();
  return MMSYSERR_NOERROR;
}

MMRESULT TPulseStream::Start() {
  TPulseBackend::Lock lock(owner_);
  if (failed_) return failCode_;
  if (running_) return MMSYSERR_NOERROR;
  if (dir_ == TWaveDir::Input) {
    // Whatever arrived before the start belongs to an earlier take.
    while (pa_stream_readable_size(stream_) > 0) {
      const void* data = nullptr;
      std::size_t bytes = 0;
      if (pa_stream_peek(stream_, &data, &bytes) < 0 || bytes == 0) break;
      pa_stream_drop(stream_);
    }
  }
  running_ = true;
  triggered_ = false;
  if (dir_ == TWaveDir::Input && !monitored_.empty()) {
    // The uncork must have reached the server before the sink restarts, or what it
    // renders again is dropped at a corked stream.
    if (!failed_ && stream_ && pa_stream_get_state(stream_) == PA_STREAM_READY)
      owner_.WaitOperation(pa_stream_cork(
          stream_, 0, [](pa_stream*, int, void* b) { static_cast<TPulseBackend*>(b)->Signal(); }, &owner_));
    Resync();
  } else {
    Cork(false);
  }
  if (dir_ == TWaveDir::Output) Feed();
  return MMSYSERR_NOERROR;
}

// A null sink renders ahead by its largest latency (2 s) whenever it starts or
// players with large buffers use it, and its monitor hands a new recording only what
// is rendered after that: the first buffer came 0.4 to 2 s late. A rewind cannot
// reach back that far once our recording has lowered the sink's latency, but a
// suspend and resume restarts its clock at now. Nothing audible is lost at a null sink;
// hardware sinks rewind by themselves and are left alone.
void TPulseStream::Resync() {
  if (failed_ || !stream_) return;
  auto done = [](pa_context*, int, void* b) { static_cast<TPulseBackend*>(b)->Signal(); };
  pa_context* c = owner_.Context();
  if (owner_.WaitOperation(pa_context_suspend_sink_by_name(c, monitored_.c_str(), 1, done, &owner_)))
    owner_.WaitOperation(pa_context_suspend_sink_by_name(c, monitored_.c_str(), 0, done, &owner_));
}

MMRESULT TPulseStream::Latency(std::uint64_t* usec) {
  TPulseBackend::Lock lock(owner_);
  *usec = 0;
  if (failed_) return failCode_;
  if (!stream_) return MMSYSERR_NOERROR;
  pa_usec_t value = 0;
  int negative = 0;
  if (pa_stream_get_latency(stream_, &value, &negative) < 0 || negative) return MMSYSERR_NOERROR;
  if (dir_ == TWaveDir::Output) {  // the bytes the server holds of ours count as our buffers
    const pa_timing_info* ti = pa_stream_get_timing_info(stream_);
    if (!ti || ti->write_index_corrupt || ti->read_index_corrupt) return MMSYSERR_NOERROR;
    const auto held = static_cast<std::size_t>(std::max<std::int64_t>(ti->write_index - ti->read_index, 0));
    const pa_usec_t ours = pa_bytes_to_usec(held, pa_stream_get_sample_spec(stream_));
    value = value > ours ? value - ours : 0;
  }
  *usec = value;
  return MMSYSERR_NOERROR;
}

MMRESULT TPulseStream::ServerBuffer(TWaveServerBuffer* sizes) {
  TPulseBackend::Lock lock(owner_);
  *sizes = {};
  if (failed_) return failCode_;
  if (!stream_) return MMSYSERR_NOERROR;
  const pa_buffer_attr* a = pa_stream_get_buffer_attr(stream_);
  const pa_sample_spec* spec = pa_stream_get_sample_spec(stream_);
  if (!a || !spec) return MMSYSERR_NOERROR;
  const auto usec = [&](std::uint32_t bytes) {
    return bytes == static_cast<std::uint32_t>(-1) ? 0u : static_cast<std::uint32_t>(pa_bytes_to_usec(bytes, spec));
  };
  if (dir_ == TWaveDir::Output) {
    sizes->BufferUsec = usec(a->tlength);
    sizes->BlockUsec = usec(a->minreq);
  } else {
    sizes->BufferUsec = sizes->BlockUsec = usec(a->fragsize);
  }
  return MMSYSERR_NOERROR;
}

MMRESULT TPulseStream::Stop() {
  TPulseBackend::Lock lock(owner_);
  if (!running_) return MMSYSERR_NOERROR;
  running_ = false;
  Cork(true);
  if (dir_ == TWaveDir::Input) {
    if (!failed_ && stream_)
      if (pa_operation* op = pa_stream_flush(stream_, nullptr, nullptr)) pa_operation_unref(op);
    if (headOffset_ > 0 && !queue_.empty()) {  // the partly filled buffer comes back
      TMMWaveHdr* h = queue_.front();
      h->dwBytesRecorded = static_cast<std::int32_t>(headOffset_);
      queue_.pop_front();
      headOffset_ = 0;
      Complete(h);
    }
  }
  return MMSYSERR_NOERROR;
}

MMRESULT TPulseStream::Reset() {
  TPulseBackend::Lock lock(owner_);
  if (dir_ == TWaveDir::Input) {
    running_ = false;
    Cork(true);
  } else {
    positionBase_ = PlayedSamples();  // the position starts again from 0
    lastPosition_ = 0;
  }
  if (!failed_ && stream_ && pa_stream_get_state(stream_) == PA_STREAM_READY)
    if (pa_operation* op = pa_stream_flush(stream_, nullptr, nullptr)) pa_operation_unref(op);
  std::deque<TMMWaveHdr*> returned;
  returned.swap(inServer_);
  if (dir_ == TWaveDir::Input)  // the partly filled buffer keeps what it holds
    for (std::size_t i = 0; i < queue_.size(); ++i)
      queue_[i]->dwBytesRecorded = i == 0 ? static_cast<std::int32_t>(headOffset_) : 0;
  returned.insert(returned.end(), queue_.begin(), queue_.end());
  queue_.clear();
  headOffset_ = 0;
  recorded_ = 0;
  for (TMMWaveHdr* h : returned) Complete(h);
  return MMSYSERR_NOERROR;
}

std::uint64_t TPulseStream::PlayedSamples() {
  pa_usec_t usec = 0;
  if (failed_ || !stream_ || pa_stream_get_time(stream_, &usec) < 0) return positionBase_;
  return usec * format_.nSamplesPerSec / PA_USEC_PER_SEC;
}

MMRESULT TPulseStream::Position(TMMTime* time) {
  TPulseBackend::Lock lock(owner_);
  if (failed_) return failCode_;
  std::uint64_t samples;
  if (dir_ == TWaveDir::Input) {
    samples = recorded_ / format_.nBlockAlign;
  } else {
    const std::uint64_t played = PlayedSamples();
    samples = played > positionBase_ ? played - positionBase_ : 0;
    samples = std::max(samples, lastPosition_);  // never backwards between resets
    lastPosition_ = samples;
  }
  if (time->wType == TIME_BYTES) {
    time->value = static_cast<std::uint32_t>(samples * format_.nBlockAlign);
  } else {
    time->wType = TIME_SAMPLES;
    time->value = static_cast<std::uint32_t>(samples);
  }
  return MMSYSERR_NOERROR;
}

MMRESULT TPulseStream::Close() {
  TPulseBackend::Lock lock(owner_);
  if (!queue_.empty() || !inServer_.empty()) return WAVERR_STILLPLAYING;
  Detach();
  closed_ = true;
  Report(dir_ == TWaveDir::Input ? MM_WIM_CLOSE : MM_WOM_CLOSE, 0);
  return MMSYSERR_NOERROR;
}

}  // namespace

std::shared_ptr<TWaveBackend> CreatePulseBackend() { return std::make_shared<TPulseBackend>(); }

}  // namespace strataeq
