#include "platform/WaveApi.h"

#include <cstdlib>
#include <cstring>
#include <map>
#include <string_view>

#include "platform/WaveFormat.h"
#include "platform/Threads.h"

namespace strataeq {

std::shared_ptr<TWaveBackend> CreateVirtualBackendFromEnvironment();

namespace {

struct OpenDevice {
  TWaveDir dir;
  std::shared_ptr<TWaveBackend> backend;  // keeps the backend alive while the device is open
  std::shared_ptr<TWaveStream> stream;
};

struct Registry {
  std::mutex mutex;
  std::shared_ptr<TWaveBackend> backend;
  std::map<std::uintptr_t, OpenDevice> devices;
  std::uintptr_t nextHandle = 0x1000;
};

Registry& TheRegistry() {
  static Registry* r = new Registry;  // outlives every static driver
  return *r;
}

std::shared_ptr<TWaveBackend> Backend() {
  Registry& r = TheRegistry();
  std::lock_guard lock(r.mutex);
  if (!r.backend) {
    const char* env = std::getenv("STRATAEQ_AUDIO");
    if (env && std::string_view(env) == "virtual")
      r.backend = CreateVirtualBackendFromEnvironment();
    else
      r.backend = CreatePulseBackend();
  }
  return r.backend;
}

std::shared_ptr<TWaveStream> Find(std::uintptr_t handle, TWaveDir dir) {
  Registry& r = TheRegistry();
  std::lock_guard lock(r.mutex);
  auto it = r.devices.find(handle);
  if (it == r.devices.end() || it->second.dir != dir) return nullptr;
  return it->second.stream;
}

const std::map<MMRESULT, const char*>& ErrorTexts() {
  static const std::map<MMRESULT, const char*> texts{
      {MMSYSERR_NOERROR, "The command completed without error"},
      {MMSYSERR_ERROR, "Unspecified device error"},
      {MMSYSERR_BADDEVICEID, "The device number is out of range"},
      {MMSYSERR_NOTENABLED, "The device could not be enabled"},
      {MMSYSERR_ALLOCATED, "The device is already in use by another application"},
      {MMSYSERR_INVALHANDLE, "The device handle is invalid"},
      {MMSYSERR_NODRIVER, "No sound server or device driver is available"},
      {MMSYSERR_NOMEM, "Not enough memory for the device"},
      {MMSYSERR_NOTSUPPORTED, "The device does not support this operation"},
      {MMSYSERR_BADERRNUM, "The error number is out of range"},
      {MMSYSERR_INVALFLAG, "An invalid flag was passed to the device"},
      {MMSYSERR_INVALPARAM, "An invalid parameter was passed to the device"},
      {MMSYSERR_HANDLEBUSY, "The device is busy with a call from another thread"},
      {WAVERR_BADFORMAT, "The device cannot handle this wave format"},
      {WAVERR_STILLPLAYING, "Buffers are still queued at the device"},
      {WAVERR_UNPREPARED, "The buffer was not prepared for the device"},
      {WAVERR_SYNC, "The device is synchronous and cannot be opened this way"},
      {WAVERR_DEVICELOST, "The device was removed or stopped working"},
      {WAVERR_SERVERLOST, "The connection to the sound server was lost"},
      {WAVERR_TIMEOUT, "The sound server did not answer in time"},
  };
  return texts;
}

MMRESULT CopyErrorText(MMRESULT error, char* text, std::uint32_t size) {
  const auto& texts = ErrorTexts();
  const auto it = texts.find(error);
  if (it == texts.end() || !text || size == 0) return MMSYSERR_BADERRNUM;
  std::strncpy(text, it->second, size - 1);
  text[size - 1] = '\0';
  return MMSYSERR_NOERROR;
}

std::uint32_t NumDevs(TWaveDir dir) { return Backend()->NumDevs(dir); }

MMRESULT OpenDev(TWaveDir dir, std::uintptr_t* handleOut, int deviceId, const TWaveFormatEx* format,
                 TWaveCallback callback, std::uintptr_t instance, std::uint32_t flags) {
  if (!format) return MMSYSERR_INVALPARAM;
  const bool query = flags & WAVE_FORMAT_QUERY;
  if (!query && !handleOut) return MMSYSERR_INVALPARAM;
  if ((flags & CALLBACK_FUNCTION) == CALLBACK_FUNCTION && !callback) return MMSYSERR_INVALPARAM;
  if ((flags & CALLBACK_FUNCTION) != CALLBACK_FUNCTION) callback = nullptr;
  std::shared_ptr<TWaveBackend> backend = Backend();
  std::uintptr_t handle = 0;
  if (!query) {
    Registry& r = TheRegistry();
    std::lock_guard lock(r.mutex);
    handle = r.nextHandle++;
  }
  // The handle is known before the open report, so the report can be matched to it.
  if (handleOut && !query) *handleOut = handle;
  std::unique_ptr<TWaveStream> stream;
  const MMRESULT result = backend->Open(dir, deviceId, *format, query, callback, instance, handle, stream);
  if (query) return result;
  if (result != MMSYSERR_NOERROR || !stream) {
    *handleOut = 0;
    return result != MMSYSERR_NOERROR ? result : MMSYSERR_ERROR;
  }
  Registry& r = TheRegistry();
  std::lock_guard lock(r.mutex);
  r.devices.emplace(handle, OpenDevice{dir, std::move(backend), std::shared_ptr<TWaveStream>(std::move(stream))});
  return MMSYSERR_NOERROR;
}

MMRESULT CloseDev(std::uintptr_t handle, TWaveDir dir) {
  std::shared_ptr<TWaveStream> stream = Find(handle, dir);
  if (!stream) return MMSYSERR_INVALHANDLE;
  const MMRESULT result = stream->Close();
  if (result != MMSYSERR_NOERROR) return result;
  Registry& r = TheRegistry();
  std::lock_guard lock(r.mutex);
  r.devices.erase(handle);
  return MMSYSERR_NOERROR;
}

template <typename F>
MMRESULT WithStream(std::uintptr_t handle, TWaveDir dir, F&& f) {
  std::shared_ptr<TWaveStream> stream = Find(handle, dir);
  if (!stream) return MMSYSERR_INVALHANDLE;
  return f(*stream);
}

}  // namespace

std::uint32_t WaveHdrFlags(const TMMWaveHdr* hdr) {
  return std::atomic_ref<std::uint32_t>(const_cast<TMMWaveHdr*>(hdr)->dwFlags).load(std::memory_order_acquire);
}

void SetWaveHdrFlags(TMMWaveHdr* hdr, std::uint32_t set, std::uint32_t clear) {
  std::atomic_ref<std::uint32_t> flags(hdr->dwFlags);
  std::uint32_t old = flags.load(std::memory_order_relaxed);
  while (!flags.compare_exchange_weak(old, (old & ~clear) | set, std::memory_order_acq_rel)) {
  }
}

TWaveBackend& ActiveWaveBackend() { return *Backend(); }

void SetWaveBackend(std::shared_ptr<TWaveBackend> backend) {
  Registry& r = TheRegistry();
  std::lock_guard lock(r.mutex);
  r.backend = std::move(backend);
}

std::string WaveErrorText(MMRESULT error) {
  const auto& texts = ErrorTexts();
  const auto it = texts.find(error);
  return it == texts.end() ? std::string() : std::string(it->second);
}

std::uint32_t waveInGetNumDevs() { return NumDevs(TWaveDir::Input); }

MMRESULT waveInGetDevCaps(int deviceId, TWaveInCaps* caps) {
  if (!caps) return MMSYSERR_INVALPARAM;
  TWaveOutCaps c;
  const MMRESULT result = Backend()->GetDevCaps(TWaveDir::Input, deviceId, &c);
  if (result == MMSYSERR_NOERROR) {
    caps->wMid = c.wMid;
    caps->wPid = c.wPid;
    caps->vDriverVersion = c.vDriverVersion;
    caps->szPname = c.szPname;
    caps->dwFormats = c.dwFormats;
    caps->wChannels = c.wChannels;
  }
  return result;
}

MMRESULT waveInGetErrorText(MMRESULT error, char* text, std::uint32_t size) {
  return CopyErrorText(error, text, size);
}

MMRESULT waveInOpen(HWAVEIN* hwi, int deviceId, const TWaveFormatEx* format, TWaveCallback callback,
                    std::uintptr_t instance, std::uint32_t flags) {
  return OpenDev(TWaveDir::Input, hwi, deviceId, format, callback, instance, flags);
}

MMRESULT waveInClose(HWAVEIN hwi) { return CloseDev(hwi, TWaveDir::Input); }

MMRESULT waveInPrepareHeader(HWAVEIN hwi, TMMWaveHdr* hdr) {
  if (!hdr) return MMSYSERR_INVALPARAM;
  return WithStream(hwi, TWaveDir::Input, [&](TWaveStream& s) { return s.Prepare(hdr); });
}

MMRESULT waveInUnprepareHeader(HWAVEIN hwi, TMMWaveHdr* hdr) {
  if (!hdr) return MMSYSERR_INVALPARAM;
  return WithStream(hwi, TWaveDir::Input, [&](TWaveStream& s) { return s.Unprepare(hdr); });
}

MMRESULT waveInAddBuffer(HWAVEIN hwi, TMMWaveHdr* hdr) {
  if (!hdr) return MMSYSERR_INVALPARAM;
  return WithStream(hwi, TWaveDir::Input, [&](TWaveStream& s) { return s.Queue(hdr); });
}

MMRESULT waveInStart(HWAVEIN hwi) {
  return WithStream(hwi, TWaveDir::Input, [](TWaveStream& s) { return s.Start(); });
}

MMRESULT waveInStop(HWAVEIN hwi) {
  return WithStream(hwi, TWaveDir::Input, [](TWaveStream& s) { return s.Stop(); });
}

MMRESULT waveInReset(HWAVEIN hwi) {
  return WithStream(hwi, TWaveDir::Input, [](TWaveStream& s) { return s.Reset(); });
}

MMRESULT waveInGetPosition(HWAVEIN hwi, TMMTime* time) {
  if (!time) return MMSYSERR_INVALPARAM;
  return WithStream(hwi, TWaveDir::Input, [&](TWaveStream& s) { return s.Position(time); });
}

std::uint32_t waveOutGetNumDevs() { return NumDevs(TWaveDir::Output); }

MMRESULT waveOutGetDevCaps(int deviceId, TWaveOutCaps* caps) {
  if (!caps) return MMSYSERR_INVALPARAM;
  return Backend()->GetDevCaps(TWaveDir::Output, deviceId, caps);
}

MMRESULT waveOutGetErrorText(MMRESULT error, char* text, std::uint32_t size) {
  return CopyErrorText(error, text, size);
}

MMRESULT waveOutOpen(HWAVEOUT* hwo, int deviceId, const TWaveFormatEx* format, TWaveCallback callback,
                     std::uintptr_t instance, std::uint32_t flags) {
  return OpenDev(TWaveDir::Output, hwo, deviceId, format, callback, instance, flags);
}

MMRESULT waveOutClose(HWAVEOUT hwo) { return CloseDev(hwo, TWaveDir::Output); }

MMRESULT waveOutPrepareHeader(HWAVEOUT hwo, TMMWaveHdr* hdr) {
  if (!hdr) return MMSYSERR_INVALPARAM;
  return WithStream(hwo, TWaveDir::Output, [&](TWaveStream& s) { return s.Prepare(hdr); });
}

MMRESULT waveOutUnprepareHeader(HWAVEOUT hwo, TMMWaveHdr* hdr) {
  if (!hdr) return MMSYSERR_INVALPARAM;
  return WithStream(hwo, TWaveDir::Output, [&](TWaveStream& s) { return s.Unprepare(hdr); });
}

MMRESULT waveOutWrite(HWAVEOUT hwo, TMMWaveHdr* hdr) {
  if (!hdr) return MMSYSERR_INVALPARAM;
  return WithStream(hwo, TWaveDir::Output, [&](TWaveStream& s) { return s.Queue(hdr); });
}

MMRESULT waveOutPause(HWAVEOUT hwo) {
  return WithStream(hwo, TWaveDir::Output, [](TWaveStream& s) { return s.Stop(); });
}

MMRESULT waveOutRestart(HWAVEOUT hwo) {
  return WithStream(hwo, TWaveDir::Output, [](TWaveStream& s) { return s.Start(); });
}

MMRESULT waveOutReset(HWAVEOUT hwo) {
  return WithStream(hwo, TWaveDir::Output, [](TWaveStream& s) { return s.Reset(); });
}

MMRESULT waveOutGetPosition(HWAVEOUT hwo, TMMTime* time) {
  if (!time) return MMSYSERR_INVALPARAM;
  return WithStream(hwo, TWaveDir::Output, [&](TWaveStream& s) { return s.Position(time); });
}

MMRESULT waveInGetLatency(HWAVEIN hwi, std::uint64_t* usec) {
  if (!usec) return MMSYSERR_INVALPARAM;
  return WithStream(hwi, TWaveDir::Input, [&](TWaveStream& s) { return s.Latency(usec); });
}

MMRESULT waveOutGetLatency(HWAVEOUT hwo, std::uint64_t* usec) {
  if (!usec) return MMSYSERR_INVALPARAM;
  return WithStream(hwo, TWaveDir::Output, [&](TWaveStream& s) { return s.Latency(usec); });
}

MMRESULT waveInGetServerBuffer(HWAVEIN hwi, TWaveServerBuffer* sizes) {
  if (!sizes) return MMSYSERR_INVALPARAM;
  return WithStream(hwi, TWaveDir::Input, [&](TWaveStream& s) { return s.ServerBuffer(sizes); });
}

MMRESULT waveOutGetServerBuffer(HWAVEOUT hwo, TWaveServerBuffer* sizes) {
  if (!sizes) return MMSYSERR_INVALPARAM;
  return WithStream(hwo, TWaveDir::Output, [&](TWaveStream& s) { return s.ServerBuffer(sizes); });
}

MMRESULT waveOutGetUnderflows(HWAVEOUT hwo, TWaveLosses* losses) {
  if (!losses) return MMSYSERR_INVALPARAM;
  return WithStream(hwo, TWaveDir::Output, [&](TWaveStream& s) { return s.Underflows(losses); });
}

MMRESULT waveInGetOverruns(HWAVEIN hwi, TWaveLosses* losses) {
  if (!losses) return MMSYSERR_INVALPARAM;
  return WithStream(hwi, TWaveDir::Input, [&](TWaveStream& s) { return s.Overruns(losses); });
}

std::string WaveDeviceServerName(TWaveDir dir, int deviceId) { return Backend()->DeviceServerName(dir, deviceId); }

int WaveDeviceByServerName(TWaveDir dir, const std::string& name) {
  std::shared_ptr<TWaveBackend> backend = Backend();
  const int count = static_cast<int>(backend->NumDevs(dir));
  for (int i = 0; i < count && !name.empty(); ++i)
    if (backend->DeviceServerName(dir, i) == name) return i;
  return -2;
}

namespace {
std::atomic<std::uint64_t> gStreamTiming{0};  // playback in the high half, recording in the low
}  // namespace

void SetWaveStreamTiming(const TWaveStreamTiming& timing) {
  gStreamTiming = (static_cast<std::uint64_t>(timing.PlaybackUsec) << 32) | timing.RecordUsec;
}

TWaveStreamTiming WaveStreamTiming() {
  const std::uint64_t v = gStreamTiming.load();
  return {static_cast<std::uint32_t>(v >> 32), static_cast<std::uint32_t>(v)};
}

TWaveReportQueue::TWaveReportQueue(std::size_t capacity)
    : ring_(new Report[capacity]), capacity_(capacity), arrived_(std::make_unique<TEvent>()) {}

TWaveReportQueue::~TWaveReportQueue() = default;

bool TWaveReportQueue::Post(const Report& r) {
  {
    std::lock_guard lock(mutex_);
    if (count_ == capacity_) return false;
    ring_[(head_ + count_) % capacity_] = r;
    ++count_;
  }
  arrived_->Set();
  return true;
}

bool TWaveReportQueue::Take(Report& r) {
  std::lock_guard lock(mutex_);
  if (count_ == 0) return false;
  r = ring_[head_];
  head_ = (head_ + 1) % capacity_;
  --count_;
  return true;
}

void TWaveReportQueue::Remove(std::uint32_t msg) {
  std::lock_guard lock(mutex_);
  std::size_t kept = 0;
  for (std::size_t i = 0; i < count_; ++i) {
    const Report r = ring_[(head_ + i) % capacity_];
    if (r.Msg != msg) ring_[(head_ + kept++) % capacity_] = r;
  }
  count_ = kept;
}

}  // namespace strataeq
