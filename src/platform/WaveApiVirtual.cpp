#include "platform/WaveApiVirtual.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "platform/WaveFormat.h"

namespace strataeq {
namespace {

using Clock = std::chrono::steady_clock;

// Loop-back bytes waiting for an input that does not record them are kept up to this.
constexpr std::size_t kMaxFifo = std::size_t(4) << 20;

bool FormatPlayable(const TWaveFormatEx& f) {
  return f.wFormatTag == WAVE_FORMAT_PCM && (f.wBitsPerSample == 8 || f.wBitsPerSample == 16) &&
         (f.nChannels == 1 || f.nChannels == 2) && f.nSamplesPerSec >= 1000 && f.nSamplesPerSec <= 384000 &&
         f.nBlockAlign == f.nChannels * f.wBitsPerSample / 8 &&
         f.nAvgBytesPerSec == std::uint32_t(f.nBlockAlign) * f.nSamplesPerSec;
}

// A stream's queue of buffers: a ring with room for more buffers than a driver queues,
// so that queueing one allocates nothing, as with a real device.
class THeaderQueue {
 public:
  THeaderQueue() : items_(512) {}
  bool empty() const { return count_ == 0; }
  std::size_t size() const { return count_; }
  TMMWaveHdr* front() const { return items_[head_]; }
  void push_back(TMMWaveHdr* h) {
    if (count_ == items_.size()) {
      std::vector<TMMWaveHdr*> bigger(items_.size() * 2);
      for (std::size_t i = 0; i < count_; ++i) bigger[i] = items_[(head_ + i) % items_.size()];
      items_.swap(bigger);
      head_ = 0;
    }
    items_[(head_ + count_) % items_.size()] = h;
    ++count_;
  }
  void pop_front() {
    head_ = (head_ + 1) % items_.size();
    --count_;
  }

 private:
  std::vector<TMMWaveHdr*> items_;
  std::size_t head_ = 0;
  std::size_t count_ = 0;
};

}  // namespace

class TVirtualAudio::Stream : public TWaveStream {
 public:
  Stream(TVirtualAudio& owner, TWaveDir dir, int device, const TWaveFormatEx& format, TWaveCallback callback,
         std::uintptr_t instance, std::uintptr_t handle)
      : owner_(owner), dir_(dir), device_(device), format_(format), callback_(callback), instance_(instance),
        handle_(handle), running_(dir == TWaveDir::Output) {}

  MMRESULT Prepare(TMMWaveHdr* hdr) override {
    std::lock_guard lock(owner_.mutex_);
    if (const MMRESULT f = Fault(TWaveOp::Prepare)) return f;
    SetWaveHdrFlags(hdr, WHDR_PREPARED, 0);
    return MMSYSERR_NOERROR;
  }

  MMRESULT Unprepare(TMMWaveHdr* hdr) override {
    std::lock_guard lock(owner_.mutex_);
    if (const MMRESULT f = Fault(TWaveOp::Unprepare)) return f;
    if (WaveHdrFlags(hdr) & WHDR_INQUEUE) return WAVERR_STILLPLAYING;
    SetWaveHdrFlags(hdr, 0, WHDR_PREPARED);
    return MMSYSERR_NOERROR;
  }

  MMRESULT Queue(TMMWaveHdr* hdr) override {
    {
      std::lock_guard lock(owner_.mutex_);
      if (const MMRESULT f = Fault(TWaveOp::Queue)) return f;
      if (failed_) return failCode_;
      const std::uint32_t flags = WaveHdrFlags(hdr);
      if (!(flags & WHDR_PREPARED)) return WAVERR_UNPREPARED;
      if (flags & WHDR_INQUEUE) return WAVERR_STILLPLAYING;
      if (dir_ == TWaveDir::Input) hdr->dwBytesRecorded = 0;
      SetWaveHdrFlags(hdr, WHDR_INQUEUE, WHDR_DONE);
      if (queue_.empty()) Rebase();
      queue_.push_back(hdr);
    }
    owner_.pacedWake_.notify_all();
    return MMSYSERR_NOERROR;
  }

  MMRESULT Start() override {
    std::lock_guard lock(owner_.mutex_);
    if (const MMRESULT f = Fault(TWaveOp::Start)) return f;
    if (failed_) return failCode_;
    running_ = true;
    Rebase();
    return MMSYSERR_NOERROR;
  }

  MMRESULT Stop() override {
    std::lock_guard delivery(owner_.delivery_);
    TMMWaveHdr* partial = nullptr;
    {
      std::lock_guard lock(owner_.mutex_);
      if (const MMRESULT f = Fault(TWaveOp::Stop)) return f;
      // A stopped input returns its partly filled buffer; empty ones stay queued.
      if (dir_ == TWaveDir::Input && running_ && headFill_ > 0 && !queue_.empty()) {
        partial = queue_.front();
        queue_.pop_front();
        partial->dwBytesRecorded = static_cast<std::int32_t>(headFill_);
        headFill_ = 0;
        SetWaveHdrFlags(partial, WHDR_DONE, WHDR_INQUEUE);
      }
      running_ = false;
    }
    if (partial) Report(DataReport(), reinterpret_cast<std::uintptr_t>(partial));
    return MMSYSERR_NOERROR;
  }

  MMRESULT Reset() override {
    std::lock_guard delivery(owner_.delivery_);
    std::vector<TMMWaveHdr*> returned;
    {
      std::lock_guard lock(owner_.mutex_);
      if (const MMRESULT f = Fault(TWaveOp::Reset)) return f;
      returned.reserve(queue_.size());
      for (; !queue_.empty(); queue_.pop_front()) returned.push_back(queue_.front());
      if (dir_ == TWaveDir::Input) running_ = false;
      positionBytes_ = 0;
      for (TMMWaveHdr* h : returned) {
        if (dir_ == TWaveDir::Input) h->dwBytesRecorded = h == returned.front() ? static_cast<std::int32_t>(headFill_) : 0;
        SetWaveHdrFlags(h, WHDR_DONE, WHDR_INQUEUE);
      }
      headFill_ = 0;
    }
    for (TMMWaveHdr* h : returned) Report(DataReport(), reinterpret_cast<std::uintptr_t>(h));
    return MMSYSERR_NOERROR;
  }

  MMRESULT Position(TMMTime* time) override {
    std::lock_guard lock(owner_.mutex_);
    if (const MMRESULT f = Fault(TWaveOp::Position)) return f;
    if (failed_) return failCode_;
    if (time->wType == TIME_BYTES) {
      time->value = static_cast<std::uint32_t>(positionBytes_ % (owner_.wrap_ * format_.nBlockAlign));
    } else {
      time->wType = TIME_SAMPLES;
      time->value = static_cast<std::uint32_t>((positionBytes_ / format_.nBlockAlign) % owner_.wrap_);
    }
    return MMSYSERR_NOERROR;
  }

  MMRESULT Underflows(TWaveLosses* losses) override { return Losses(losses); }
  MMRESULT Overruns(TWaveLosses* losses) override { return Losses(losses); }
  MMRESULT Losses(TWaveLosses* losses) {
    std::lock_guard lock(owner_.mutex_);
    const Device* d = owner_.DeviceAt(dir_, device_);
    *losses = d && d->stream == this ? d->losses : TWaveLosses{};
    return MMSYSERR_NOERROR;
  }

  MMRESULT Close() override {
    std::lock_guard delivery(owner_.delivery_);
    {
      std::lock_guard lock(owner_.mutex_);
      if (const MMRESULT f = Fault(TWaveOp::Close)) return f;
      if (!queue_.empty()) return WAVERR_STILLPLAYING;
      Device* d = owner_.DeviceAt(dir_, device_);
      if (d && d->stream == this) d->stream = nullptr;
      closed_ = true;
    }
    Report(dir_ == TWaveDir::Input ? MM_WIM_CLOSE : MM_WOM_CLOSE, 0);
    return MMSYSERR_NOERROR;
  }

  void Report(std::uint32_t msg, std::uintptr_t param) {
    if (callback_) callback_(handle_, msg, instance_, param, 0);
  }
  std::uint32_t DataReport() const { return dir_ == TWaveDir::Input ? MM_WIM_DATA : MM_WOM_DONE; }

  // Holds the owner's mutex.
  MMRESULT Fault(TWaveOp op) {
    Device* d = owner_.DeviceAt(dir_, device_);
    return d ? owner_.TakeFault(*d, op) : MMSYSERR_NOERROR;
  }
  void Rebase() {
    base_ = Clock::now();
    bytesAtBase_ = positionBytes_;
  }
  bool Movable() const { return !closed_ && !failed_ && !held_ && running_ && !queue_.empty(); }

  TVirtualAudio& owner_;
  const TWaveDir dir_;
  const int device_;
  const TWaveFormatEx format_;
  const TWaveCallback callback_;
  const std::uintptr_t instance_;
  const std::uintptr_t handle_;
  // Guarded by the owner's mutex.
  THeaderQueue queue_;
  bool running_;
  bool failed_ = false;
  bool closed_ = false;
  bool held_ = false;
  MMRESULT failCode_ = WAVERR_DEVICELOST;
  std::uint64_t positionBytes_ = 0;
  std::size_t headFill_ = 0;  // input: bytes already recorded into queue_.front()
  Clock::time_point base_ = Clock::now();
  std::uint64_t bytesAtBase_ = 0;
};

TVirtualAudio::TVirtualAudio(int inputs, int outputs) {
  inputs_.resize(static_cast<std::size_t>(std::max(inputs, 0)));
  outputs_.resize(static_cast<std::size_t>(std::max(outputs, 0)));
  for (std::size_t i = 0; i < inputs_.size(); ++i) inputs_[i].name = "Virtual input " + std::to_string(i);
  for (std::size_t i = 0; i < outputs_.size(); ++i) outputs_[i].name = "Virtual output " + std::to_string(i);
}

TVirtualAudio::~TVirtualAudio() { SetPaced(false); }

std::shared_ptr<TVirtualAudio> TVirtualAudio::Install(int inputs, int outputs) {
  auto backend = std::make_shared<TVirtualAudio>(inputs, outputs);
  SetWaveBackend(backend);
  return backend;
}

std::shared_ptr<TWaveBackend> CreateVirtualBackendFromEnvironment() {
  auto backend = std::make_shared<TVirtualAudio>(2, 2);
  backend->SetPaced(true);
  if (const char* tone = std::getenv("STRATAEQ_VIRTUAL_TONE")) backend->SetInputTone(std::atof(tone));
  return backend;
}

TVirtualAudio::Device* TVirtualAudio::DeviceAt(TWaveDir dir, int device) {
  auto& list = dir == TWaveDir::Input ? inputs_ : outputs_;
  if (device == WAVE_MAPPER) device = 0;
  if (device < 0 || static_cast<std::size_t>(device) >= list.size()) return nullptr;
  return &list[static_cast<std::size_t>(device)];
}

const TVirtualAudio::Device* TVirtualAudio::DeviceAt(TWaveDir dir, int device) const {
  return const_cast<TVirtualAudio*>(this)->DeviceAt(dir, device);
}

MMRESULT TVirtualAudio::TakeFault(Device& d, TWaveOp op) {
  if (d.failCode == MMSYSERR_NOERROR || d.failOp != op) return MMSYSERR_NOERROR;
  const MMRESULT code = d.failCode;
  d.failCode = MMSYSERR_NOERROR;
  return code;
}

std::uint32_t TVirtualAudio::NumDevs(TWaveDir dir) {
  std::lock_guard lock(mutex_);
  return static_cast<std::uint32_t>(dir == TWaveDir::Input ? inputs_.size() : outputs_.size());
}

MMRESULT TVirtualAudio::GetDevCaps(TWaveDir dir, int deviceId, TWaveOutCaps* caps) {
  std::lock_guard lock(mutex_);
  const Device* d = DeviceAt(dir, deviceId);
  if (!d) return MMSYSERR_BADDEVICEID;
  *caps = TWaveOutCaps{};
  caps->wMid = 1;
  caps->wPid = dir == TWaveDir::Input ? 1 : 2;
  caps->vDriverVersion = 0x0100;
  caps->szPname = d->name;
  caps->dwFormats = d->formats;
  caps->wChannels = 2;
  return MMSYSERR_NOERROR;
}

MMRESULT TVirtualAudio::Open(TWaveDir dir, int deviceId, const TWaveFormatEx& format, bool query,
                             TWaveCallback callback, std::uintptr_t instance, std::uintptr_t handle,
                             std::unique_ptr<TWaveStream>& stream) {
  std::lock_guard delivery(delivery_);
  Stream* created = nullptr;
  {
    std::lock_guard lock(mutex_);
    Device* d = DeviceAt(dir, deviceId);
    if (!d) return MMSYSERR_BADDEVICEID;
    if (!query)
      if (const MMRESULT f = TakeFault(*d, TWaveOp::Open)) return f;
    if (d->lost) return MMSYSERR_NODRIVER;
    if (d->refuse || !FormatPlayable(format)) return WAVERR_BADFORMAT;
    if (d->busy || d->stream) return MMSYSERR_ALLOCATED;
    if (query) return MMSYSERR_NOERROR;
    const int index = deviceId == WAVE_MAPPER ? 0 : deviceId;
    auto s = std::make_unique<Stream>(*this, dir, index, format, callback, instance, handle);
    created = s.get();
    d->stream = created;
    d->losses = {};
    stream = std::move(s);
  }
  created->Report(dir == TWaveDir::Input ? MM_WIM_OPEN : MM_WOM_OPEN, 0);
  return MMSYSERR_NOERROR;
}

bool TVirtualAudio::CompleteOne(Stream& s) {
  TMMWaveHdr* h = nullptr;
  bool lose = false;
  MMRESULT loseCode = WAVERR_DEVICELOST;
  {
    std::lock_guard lock(mutex_);
    if (!s.Movable()) return false;
    h = s.queue_.front();
    s.queue_.pop_front();
    const std::size_t len = h->dwBufferLength;
    Device& d = *DeviceAt(s.dir_, s.device_);
    if (s.dir_ == TWaveDir::Input) {
      FillInput(s, d, h, len);
      s.headFill_ = 0;
      h->dwBytesRecorded = static_cast<std::int32_t>(len);
    } else {
      s.positionBytes_ += len;
      d.played.insert(d.played.end(), h->lpData, h->lpData + len);
      Device* in = DeviceAt(TWaveDir::Input, s.device_);
      if (in && in->stream && in->stream->running_) {
        in->fifo.insert(in->fifo.end(), h->lpData, h->lpData + len);
        if (in->fifo.size() > kMaxFifo)
          in->fifo.erase(in->fifo.begin(), in->fifo.begin() + static_cast<std::ptrdiff_t>(in->fifo.size() - kMaxFifo));
      }
    }
    SetWaveHdrFlags(h, WHDR_DONE, WHDR_INQUEUE);
    if (d.loseAfter > 0 && --d.loseAfter == 0) {
      lose = true;
      loseCode = d.loseCode;
    }
  }
  s.Report(s.DataReport(), reinterpret_cast<std::uintptr_t>(h));
  if (lose) Fail(s, loseCode);
  return true;
}

void TVirtualAudio::FillInput(Stream& s, Device& d, TMMWaveHdr* h, std::size_t upTo) {
  upTo = std::min<std::size_t>(upTo, h->dwBufferLength);
  if (upTo <= s.headFill_) return;
  const std::size_t want = upTo - s.headFill_;
  const std::size_t fed = std::min(want, d.fifo.size());
  std::copy_n(d.fifo.begin(), fed, h->lpData + s.headFill_);
  d.fifo.erase(d.fifo.begin(), d.fifo.begin() + static_cast<std::ptrdiff_t>(fed));
  std::memset(h->lpData + s.headFill_ + fed, s.format_.wBitsPerSample == 8 ? 128 : 0, want - fed);
  if (toneHz_ > 0 && s.format_.wBitsPerSample == 16 && s.format_.nChannels > 0 && s.format_.nSamplesPerSec > 0) {
    const double step = 2 * M_PI * toneHz_ / s.format_.nSamplesPerSec;
    for (std::size_t b = fed & ~std::size_t{1}; b + 2 <= want; b += 2) {
      const std::size_t frame = (s.positionBytes_ + b) / 2 / s.format_.nChannels;
      const auto v = static_cast<std::int16_t>(8192 * std::sin(step * static_cast<double>(frame)));
      std::memcpy(h->lpData + s.headFill_ + b, &v, 2);
    }
  }
  s.headFill_ = upTo;
  s.positionBytes_ += want;
}

int TVirtualAudio::StepBytes(int device, int bytes) {
  std::lock_guard delivery(delivery_);
  Stream* s = nullptr;
  std::size_t before = 0, after = 0;
  bool full = false;
  {
    std::lock_guard lock(mutex_);
    Device* d = DeviceAt(TWaveDir::Input, device);
    if (!d || !d->stream || !d->stream->Movable() || bytes <= 0) return 0;
    s = d->stream;
    before = s->headFill_;
    FillInput(*s, *d, s->queue_.front(), before + static_cast<std::size_t>(bytes));
    after = s->headFill_;
    full = after == s->queue_.front()->dwBufferLength;
  }
  if (full) CompleteOne(*s);
  return static_cast<int>(after - before);
}

void TVirtualAudio::Fail(Stream& s, MMRESULT code) {
  {
    std::lock_guard lock(mutex_);
    if (s.failed_ || s.closed_) return;
    s.failed_ = true;
    s.failCode_ = code;
    if (Device* d = DeviceAt(s.dir_, s.device_)) d->lost = true;
  }
  s.Report(s.dir_ == TWaveDir::Input ? MM_WIM_ERROR : MM_WOM_ERROR, code);
}

int TVirtualAudio::Step(TWaveDir dir, int device, int buffers) {
  std::lock_guard delivery(delivery_);
  Stream* s = nullptr;
  {
    std::lock_guard lock(mutex_);
    if (Device* d = DeviceAt(dir, device)) s = d->stream;
  }
  int done = 0;
  while (s && done < buffers && CompleteOne(*s)) ++done;
  return done;
}

int TVirtualAudio::QueuedBuffers(TWaveDir dir, int device) const {
  std::lock_guard lock(mutex_);
  const Device* d = DeviceAt(dir, device);
  return d && d->stream ? static_cast<int>(d->stream->queue_.size()) : 0;
}

bool TVirtualAudio::IsOpen(TWaveDir dir, int device) const {
  std::lock_guard lock(mutex_);
  const Device* d = DeviceAt(dir, device);
  return d && d->stream;
}

bool TVirtualAudio::IsRunning(TWaveDir dir, int device) const {
  std::lock_guard lock(mutex_);
  const Device* d = DeviceAt(dir, device);
  return d && d->stream && d->stream->running_;
}

void TVirtualAudio::FeedInput(int device, const void* data, std::size_t bytes) {
  std::lock_guard lock(mutex_);
  if (Device* d = DeviceAt(TWaveDir::Input, device)) {
    const auto* p = static_cast<const std::uint8_t*>(data);
    d->fifo.insert(d->fifo.end(), p, p + bytes);
  }
}

std::vector<std::uint8_t> TVirtualAudio::Played(int device) const {
  std::lock_guard lock(mutex_);
  const Device* d = DeviceAt(TWaveDir::Output, device);
  return d ? d->played : std::vector<std::uint8_t>{};
}

void TVirtualAudio::ClearPlayed(int device) {
  std::lock_guard lock(mutex_);
  if (Device* d = DeviceAt(TWaveDir::Output, device)) d->played.clear();
}

void TVirtualAudio::SetDeviceName(TWaveDir dir, int device, std::string name) {
  std::lock_guard lock(mutex_);
  if (Device* d = DeviceAt(dir, device)) d->name = std::move(name);
}

void TVirtualAudio::SetBusy(TWaveDir dir, int device, bool busy) {
  std::lock_guard lock(mutex_);
  if (Device* d = DeviceAt(dir, device)) d->busy = busy;
}

void TVirtualAudio::SetRefuseFormats(TWaveDir dir, int device, bool refuse) {
  std::lock_guard lock(mutex_);
  if (Device* d = DeviceAt(dir, device)) d->refuse = refuse;
}

void TVirtualAudio::SetStandardFormats(TWaveDir dir, int device, std::uint32_t formats) {
  std::lock_guard lock(mutex_);
  if (Device* d = DeviceAt(dir, device)) d->formats = formats;
}

void TVirtualAudio::FailNext(TWaveDir dir, int device, TWaveOp op, MMRESULT code) {
  std::lock_guard lock(mutex_);
  if (Device* d = DeviceAt(dir, device)) {
    d->failOp = op;
    d->failCode = code;
  }
}

namespace {
void AddLoss(TWaveLosses& losses) { losses.Times[++losses.Count % TWaveLosses::kTimes] = WaveClockNs(); }
}  // namespace

void TVirtualAudio::InjectUnderflow(int device) {
  std::lock_guard lock(mutex_);
  if (Device* d = DeviceAt(TWaveDir::Output, device); d && d->stream) AddLoss(d->losses);
}

void TVirtualAudio::HoldStream(int device) {
  std::lock_guard lock(mutex_);
  if (Device* d = DeviceAt(TWaveDir::Output, device); d && d->stream) d->stream->held_ = true;
}

void TVirtualAudio::InjectOverrun(int device) {
  std::lock_guard lock(mutex_);
  if (Device* d = DeviceAt(TWaveDir::Input, device); d && d->stream) AddLoss(d->losses);
}

void TVirtualAudio::LoseDevice(TWaveDir dir, int device, MMRESULT code) {
  std::lock_guard delivery(delivery_);
  Stream* s = nullptr;
  {
    std::lock_guard lock(mutex_);
    Device* d = DeviceAt(dir, device);
    if (!d) return;
    d->lost = true;
    s = d->stream;
  }
  if (s) Fail(*s, code);
}

void TVirtualAudio::LoseDeviceAfter(TWaveDir dir, int device, int buffers, MMRESULT code) {
  if (buffers <= 0) {
    LoseDevice(dir, device, code);
    return;
  }
  std::lock_guard lock(mutex_);
  if (Device* d = DeviceAt(dir, device)) {
    d->loseAfter = buffers;
    d->loseCode = code;
  }
}

void TVirtualAudio::RestoreDevice(TWaveDir dir, int device) {
  std::lock_guard lock(mutex_);
  if (Device* d = DeviceAt(dir, device)) {
    d->lost = false;
    d->loseAfter = 0;
  }
}

void TVirtualAudio::SetPositionWrap(std::uint64_t samples) {
  std::lock_guard lock(mutex_);
  std::uint64_t wrap = std::uint64_t(1) << 20;
  while (wrap < samples && wrap < (std::uint64_t(1) << 32)) wrap <<= 1;
  wrap_ = wrap;
}

void TVirtualAudio::SetPaced(bool paced) {
  if (paced == paced_.joinable()) return;
  if (paced) {
    {
      std::lock_guard lock(pacedMutex_);
      pacedQuit_ = false;
    }
    paced_ = std::thread([this] { PacedLoop(); });
    return;
  }
  {
    std::lock_guard lock(pacedMutex_);
    pacedQuit_ = true;
  }
  pacedWake_.notify_all();
  paced_.join();
}

void TVirtualAudio::PacedLoop() {
  std::vector<Stream*> movable;
  for (;;) {
    {
      std::unique_lock lock(pacedMutex_);
      pacedWake_.wait_for(lock, std::chrono::milliseconds(1), [this] { return pacedQuit_; });
      if (pacedQuit_) return;
    }
    std::lock_guard delivery(delivery_);  // streams cannot close while we hold it
    movable.clear();
    {
      std::lock_guard lock(mutex_);
      for (auto* list : {&inputs_, &outputs_})
        for (Device& d : *list)
          if (d.stream && d.stream->Movable()) movable.push_back(d.stream);
    }
    const auto now = Clock::now();
    for (Stream* s : movable) {
      for (;;) {
        bool due = false;
        {
          std::lock_guard lock(mutex_);
          if (!s->Movable()) {
            if (s->queue_.empty()) s->Rebase();  // an underrun does not make time owed
            break;
          }
          const auto us = std::chrono::duration_cast<std::chrono::microseconds>(now - s->base_).count();
          const std::uint64_t dueBytes =
              s->bytesAtBase_ + static_cast<std::uint64_t>(us) * s->format_.nAvgBytesPerSec / 1000000;
          due = s->positionBytes_ - s->headFill_ + s->queue_.front()->dwBufferLength <= dueBytes;
        }
        if (!due || !CompleteOne(*s)) break;
      }
    }
  }
}

}  // namespace strataeq
