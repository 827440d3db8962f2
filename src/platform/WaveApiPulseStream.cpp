// The PulseAudio backend's streams: playback fed from the queued buffers and timed by
// the server's clock, recording filled from what the server delivers.
#include <algorithm>
#include <cstring>
#include <utility>

#include "platform/Threads.h"
#include "platform/WaveApiPulse.h"

namespace strataeq::pulse {
namespace {

// Hands each readable fragment to take (data may be null: a hole) and drops it.
template <class F>
void TakeReadable(pa_stream* s, F&& take) {
  while (pa_stream_readable_size(s) > 0) {
    const void* data = nullptr;
    std::size_t bytes = 0;
    if (pa_stream_peek(s, &data, &bytes) < 0 || bytes == 0) break;
    take(data, bytes);
    pa_stream_drop(s);
  }
}

}  // namespace

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
  CloseProbe();
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
    pa_stream_set_overflow_callback(stream_, nullptr, nullptr);
    pa_stream_set_suspended_callback(stream_, nullptr, nullptr);
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
    pa_stream_set_suspended_callback(stream_, &TPulseStream::SuspendedCallback, this);
    pa_stream_set_overflow_callback(stream_, &TPulseStream::OverflowCallback, this);
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
  TakeReadable(s, [t](const void* data, std::size_t bytes) { t->Consume(data, bytes); });
}

void TPulseStream::TimingCallback(pa_stream*, void* self) { static_cast<TPulseStream*>(self)->CheckPlayed(); }

// The server played out everything we had queued and goes on with silence.
void TPulseStream::UnderflowCallback(pa_stream*, void* self) { static_cast<TPulseStream*>(self)->underflows_.Add(); }

// We read too late and the server dropped recorded sound.
void TPulseStream::OverflowCallback(pa_stream*, void* self) {
  auto* t = static_cast<TPulseStream*>(self);
  if (t->running_) t->overruns_.Add();
}

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

void TPulseStream::SourceChanged(std::uint32_t index) {
  if (dir_ == TWaveDir::Input && running_ && stream_ && pa_rtclock_now() >= watchFrom_ &&
      pa_stream_get_state(stream_) == PA_STREAM_READY && pa_stream_get_device_index(stream_) == index) {
    sourceChanged_ = true;
    zeroBytes_ = 0;
    judgeFrom_ = pa_rtclock_now() + kJudgeDelay;
  }
}

void TPulseStream::SuspendedCallback(pa_stream* s, void* self) {
  auto* t = static_cast<TPulseStream*>(self);
  if (pa_stream_is_suspended(s) == 1) t->SourceChanged(pa_stream_get_device_index(s));
}

namespace {
bool Silent(const void* data, std::size_t bytes, const TWaveFormatEx& format) {
  const auto* p = static_cast<const unsigned char*>(data);
  const unsigned char zero = format.wBitsPerSample == 8 ? 128 : 0;
  return !p || std::all_of(p, p + bytes, [zero](unsigned char b) { return b == zero; });
}
}  // namespace

bool TPulseStream::Deaf(const void* data, std::size_t bytes) {
  if (deaf_ || !sourceChanged_ || pa_rtclock_now() < judgeFrom_) return deaf_;
  if (!Silent(data, bytes, format_)) {
    sourceChanged_ = false;  // sound again: the link lives
    zeroBytes_ = 0;
    CloseProbe();
    return false;
  }
  zeroBytes_ += bytes;
  if (probeHeard_) {
    // The probe's sound reaches this stream within its own fragment, if the link lives.
    deaf_ = zeroBytes_ >= format_.nAvgBytesPerSec / 4;
    if (deaf_) CloseProbe();
  } else if (zeroBytes_ >= format_.nAvgBytesPerSec) {
    OpenProbe();
  }
  return deaf_;
}

// Left open while the source stays silent, so sound is caught when it starts.
void TPulseStream::OpenProbe() {
  if (probe_ || !stream_) return;
  const char* source = pa_stream_get_device_name(stream_);
  if (!source) return;
  const pa_sample_spec* spec = pa_stream_get_sample_spec(stream_);
  probe_ = pa_stream_new(owner_.Context(), "StrataEq recording check", spec, nullptr);
  if (!probe_) return;
  pa_buffer_attr attr{};
  attr.maxlength = attr.tlength = attr.prebuf = attr.minreq = static_cast<std::uint32_t>(-1);
  // No smaller fragments than this stream's: a lower latency would make the server
  // change its graph's period, which our playback hears as an underflow.
  const pa_buffer_attr* own = pa_stream_get_buffer_attr(stream_);
  attr.fragsize = own ? own->fragsize : static_cast<std::uint32_t>(pa_usec_to_bytes(kRecordFragment, spec));
  pa_stream_set_read_callback(probe_, &TPulseStream::ProbeReadCallback, this);
  if (pa_stream_connect_record(probe_, source, &attr,
                               static_cast<pa_stream_flags_t>(PA_STREAM_DONT_MOVE | PA_STREAM_ADJUST_LATENCY)) < 0)
    CloseProbe();
}

void TPulseStream::CloseProbe() {
  probeHeard_ = false;
  if (!probe_) return;
  pa_stream_set_read_callback(probe_, nullptr, nullptr);
  if (PA_STREAM_IS_GOOD(pa_stream_get_state(probe_))) pa_stream_disconnect(probe_);
  pa_stream_unref(probe_);
  probe_ = nullptr;
}

void TPulseStream::ProbeReadCallback(pa_stream* s, std::size_t, void* self) {
  auto* t = static_cast<TPulseStream*>(self);
  TakeReadable(s, [t](const void* data, std::size_t bytes) {
    if (!t->probeHeard_ && !Silent(data, bytes, t->format_)) {
      t->probeHeard_ = true;
      t->zeroBytes_ = 0;
    }
  });
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
  if (!running_ || failed_ || Deaf(data, bytes)) return;
  const auto* p = static_cast<const char*>(data);
  // A hole, or sound with no buffer to take it, is lost: one jump however long.
  const auto lose = [this] {
    if (!std::exchange(losing_, true)) overruns_.Add();
  };
  if (!p) lose();
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
  if (bytes > 0)
    lose();
  else if (p)
    losing_ = false;
}

void TPulseStream::Cork(bool cork) {
  if (failed_ || !stream_ || pa_stream_get_state(stream_) != PA_STREAM_READY) return;
  if (pa_operation* op = pa_stream_cork(stream_, cork ? 1 : 0, nullptr, nullptr)) pa_operation_unref(op);
}

MMRESULT TPulseStream::Prepare(TMMWaveHdr* hdr) {
  TPulseBackend::Lock lock(owner_);
  if (dir_ == TWaveDir::Output && !(WaveHdrFlags(hdr) & WHDR_PREPARED)) preparedBytes_ += hdr->dwBufferLength;
  SetWaveHdrFlags(hdr, WHDR_PREPARED, 0);
  // A planned playback buffer holds what was prepared for it; a buffer prepared on
  // top (a queue that grows after the server ran dry) grows it by its length.
  if (dir_ == TWaveDir::Output && playbackUsec_ && !failed_ && stream_ &&
      pa_stream_get_state(stream_) == PA_STREAM_READY) {
    const pa_buffer_attr* now = pa_stream_get_buffer_attr(stream_);
    if (now && preparedBytes_ >= now->tlength + hdr->dwBufferLength) {
      pa_buffer_attr attr = *now;
      attr.tlength = static_cast<std::uint32_t>(preparedBytes_);
      attr.minreq = attr.tlength / 4;
      attr.prebuf = static_cast<std::uint32_t>(-1);
      if (pa_operation* op = pa_stream_set_buffer_attr(stream_, &attr, nullptr, nullptr)) pa_operation_unref(op);
    }
  }
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
  if (dir_ == TWaveDir::Output && (WaveHdrFlags(hdr) & WHDR_PREPARED))
    preparedBytes_ -= std::min<std::uint64_t>(preparedBytes_, hdr->dwBufferLength);
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
    TakeReadable(stream_, [](const void*, std::size_t) {});
  }
  running_ = true;
  triggered_ = false;
  sourceChanged_ = deaf_ = losing_ = false;
  zeroBytes_ = 0;
  CloseProbe();
  // The server tells of Resync's suspend a moment later.
  watchFrom_ = pa_rtclock_now() + PA_USEC_PER_SEC;
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

}  // namespace strataeq::pulse
