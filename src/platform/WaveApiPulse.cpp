// The wave API over the PulseAudio client library with its threaded main loop.
// Recording devices are the server's sources (monitors included), playback devices
// its sinks, in the server's index order; the mapper is the server's default.
#include "platform/WaveApiPulse.h"

#include <algorithm>
#include <cstring>

#include "platform/Threads.h"

namespace strataeq {
namespace pulse {

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

TPulseBackend::TPulseBackend() {
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

TPulseBackend::~TPulseBackend() {
  if (!loop_) return;
  pa_threaded_mainloop_lock(loop_);
  DropContext();
  pa_threaded_mainloop_unlock(loop_);
  pa_threaded_mainloop_stop(loop_);
  pa_threaded_mainloop_free(loop_);
}

std::uint32_t TPulseBackend::NumDevs(TWaveDir dir) {
  if (!loop_) return 0;
  Lock lock(*this);
  if (!Connect() || !Enumerate()) return 0;
  return static_cast<std::uint32_t>(Devices(dir).size());
}

MMRESULT TPulseBackend::GetDevCaps(TWaveDir dir, int deviceId, TWaveOutCaps* caps) {
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

std::string TPulseBackend::DeviceServerName(TWaveDir dir, int deviceId) {
  if (!loop_) return {};
  Lock lock(*this);
  if (!Connect() || (!enumerated_ && !Enumerate())) return {};
  if (deviceId == WAVE_MAPPER) return dir == TWaveDir::Input ? defaultSource_ : defaultSink_;
  const auto& list = Devices(dir);
  if (deviceId < 0 || static_cast<std::size_t>(deviceId) >= list.size()) return {};
  return list[static_cast<std::size_t>(deviceId)].name;
}

MMRESULT TPulseBackend::Open(TWaveDir dir, int deviceId, const TWaveFormatEx& format, bool query,
                             TWaveCallback callback, std::uintptr_t instance, std::uintptr_t handle,
                             std::unique_ptr<TWaveStream>& stream) {
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

void TPulseBackend::Signal() {
  {
    std::lock_guard lock(waitMutex_);
    ++generation_;
  }
  waitChanged_.notify_all();
}

bool TPulseBackend::Wait(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
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

bool TPulseBackend::WaitOperation(pa_operation* op) {
  if (!op) return false;
  const bool done = Wait([op] { return pa_operation_get_state(op) != PA_OPERATION_RUNNING; });
  if (!done) pa_operation_cancel(op);
  pa_operation_unref(op);
  return done;
}

void TPulseBackend::DropContext() {
  if (!context_) return;
  pa_context_set_state_callback(context_, nullptr, nullptr);
  pa_context_set_subscribe_callback(context_, nullptr, nullptr);
  pa_context_disconnect(context_);
  pa_context_unref(context_);
  context_ = nullptr;
  enumerated_ = false;
}

bool TPulseBackend::Connect() {
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
  if (pa_context_get_state(context_) == PA_CONTEXT_READY) {
    // A recording's source changing under it may have left it deaf (TPulseStream::Deaf).
    pa_context_set_subscribe_callback(context_, &TPulseBackend::Subscribed, this);
    if (pa_operation* op = pa_context_subscribe(context_, PA_SUBSCRIPTION_MASK_SOURCE, nullptr, nullptr))
      pa_operation_unref(op);
    return true;
  }
  DropContext();
  return false;
}

bool TPulseBackend::Enumerate() {
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

void TPulseBackend::Subscribed(pa_context*, pa_subscription_event_type_t type, std::uint32_t index, void* self) {
  if ((type & PA_SUBSCRIPTION_EVENT_FACILITY_MASK) != PA_SUBSCRIPTION_EVENT_SOURCE ||
      (type & PA_SUBSCRIPTION_EVENT_TYPE_MASK) != PA_SUBSCRIPTION_EVENT_CHANGE)
    return;
  for (TPulseStream* s : static_cast<TPulseBackend*>(self)->streams_) s->SourceChanged(index);
}

void TPulseBackend::ContextState(pa_context* c, void* self) {
  auto* b = static_cast<TPulseBackend*>(self);
  if (!PA_CONTEXT_IS_GOOD(pa_context_get_state(c))) {
    const std::set<TPulseStream*> streams = b->streams_;
    for (TPulseStream* s : streams) s->Fail(WAVERR_SERVERLOST);
  }
  b->Signal();
}

void TPulseBackend::SourceInfo(pa_context*, const pa_source_info* info, int eol, void* self) {
  auto* b = static_cast<TPulseBackend*>(self);
  if (!eol && info)
    b->sources_.push_back({info->index, info->name ? info->name : "",
                           info->description ? info->description : "", info->sample_spec.channels,
                           info->monitor_of_sink});
  b->Signal();
}

void TPulseBackend::SinkInfo(pa_context*, const pa_sink_info* info, int eol, void* self) {
  auto* b = static_cast<TPulseBackend*>(self);
  if (!eol && info)
    b->sinks_.push_back({info->index, info->name ? info->name : "", info->description ? info->description : "",
                         info->sample_spec.channels, PA_INVALID_INDEX,
                         info->driver && std::strstr(info->driver, "module-null-sink") != nullptr});
  b->Signal();
}

void TPulseBackend::ServerInfo(pa_context*, const pa_server_info* info, void* self) {
  auto* b = static_cast<TPulseBackend*>(self);
  if (info) {
    b->defaultSource_ = info->default_source_name ? info->default_source_name : "";
    b->defaultSink_ = info->default_sink_name ? info->default_sink_name : "";
  }
  b->Signal();
}

}  // namespace pulse

std::shared_ptr<TWaveBackend> CreatePulseBackend() { return std::make_shared<pulse::TPulseBackend>(); }

}  // namespace strataeq
