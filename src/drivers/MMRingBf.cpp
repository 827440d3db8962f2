#include "drivers/MMRingBf.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <system_error>
#include <thread>

#include <speex/speex_resampler.h>

#include "platform/Messages.h"

namespace strataeq {
namespace {

constexpr auto kThreadWait = std::chrono::milliseconds(5000);
constexpr std::int32_t kChunkLimit = 65536;
// Holding the level: the rate moves by at most kMaxAdjust, by the level's distance
// from its plan over kSettleSeconds, in steps of 1/kRateDen, once per kSteerSeconds.
// The resampler rescales its phase by the old and new denominators in 32 bits: their
// product must stay below 2^32, or it refuses the change halfway and reads outside
// its tables.
constexpr double kMaxAdjust = 0.005;
constexpr double kSettleSeconds = 2.0;
constexpr double kSteerSeconds = 0.25;
constexpr spx_uint32_t kRateDen = 10000;

void Nap() { std::this_thread::sleep_for(std::chrono::milliseconds(1)); }

}  // namespace

class TMMRingBuffer::TMMQueueThread : public TMMDSPThread {
 public:
  explicit TMMQueueThread(TMMRingBuffer* owner) : TMMDSPThread(owner), rb_(owner) {}

 protected:
  void Execute() override {
    SetPriority(TThreadPriority::tpTimeCritical);
    rb_->readyEvent_->Set();
    while (!Terminated()) {
      const int which = TEvent::WaitForAny({rb_->terminateEvent_.get(), rb_->requestEvent_.get()});
      if (which == 0) break;
      if (which == 1) rb_->RunRequested();
    }
    rb_->readyEvent_->Set();
  }

 private:
  TMMRingBuffer* rb_;
};

struct TMMRingBuffer::TRateHold {
  SpeexResamplerState* state = nullptr;
  spx_uint32_t rate = 0;
  spx_uint32_t num = kRateDen;
  std::int32_t frameBytes = 4;
  std::int32_t lowest = 0;  // fewest frames a read left behind since the last steer
  std::int32_t reads = 0;
  ~TRateHold() {
    if (state) speex_resampler_destroy(state);
  }
  void SetNum(spx_uint32_t value) {
    num = value;
    speex_resampler_set_rate_frac(state, num, kRateDen, rate, rate);
  }
};

TMMRingBuffer::TMMRingBuffer() {}

TMMRingBuffer::~TMMRingBuffer() {
  try {
    CloseQueue();
  } catch (...) {
  }
}

void TMMRingBuffer::SetBufferSize(std::int32_t value) {
  value = std::max<std::int32_t>(value, 32);
  if (value == TMMDSPComponent::BufferSize()) return;
  if (queueOpen_) throw EMMBufferError(LoadResString(msg::PropertyWhileOpen));
  TMMDSPComponent::SetBufferSize(value);
}

void TMMRingBuffer::SetNumBuffers(std::int32_t value) {
  if (value <= 1 || value == numBuffers_) return;
  if (queueOpen_) throw EMMBufferError(LoadResString(msg::PropertyWhileOpen));
  numBuffers_ = value;
}

void TMMRingBuffer::SetQueueMode(TMMQueueMode value) {
  if (value == mode_) return;
  if (queueOpen_) throw EMMBufferError(LoadResString(msg::PropertyWhileOpen));
  mode_ = value;
}

bool TMMRingBuffer::IsEmpty() const {
  std::lock_guard lock(cs_);
  return slotsFilled_ == 0;
}

bool TMMRingBuffer::IsFull() const {
  std::lock_guard lock(cs_);
  return slotsFilled_ == numBuffers_;
}

std::int32_t TMMRingBuffer::BuffersUsed() const {
  std::lock_guard lock(cs_);
  return slotsFilled_;
}

std::int32_t TMMRingBuffer::BytesQueued() const {
  std::lock_guard lock(cs_);
  return bytesQueued_;
}

std::int32_t TMMRingBuffer::BytesFree() const {
  std::lock_guard lock(cs_);
  const std::int32_t size = queueOpen_ ? slotSize_ : TMMDSPComponent::BufferSize();
  return size * (numBuffers_ - slotsFilled_);
}

void TMMRingBuffer::DoOverflow() { Fire(OnOverlow); }
void TMMRingBuffer::DoEmpty() { Fire(OnEmpty); }
void TMMRingBuffer::DoFillQueue() { Fire(OnFillQueue); }
void TMMRingBuffer::DoFillQueueEnd() { Fire(OnFillQueueEnd); }
void TMMRingBuffer::DoFlushQueue() { Fire(OnFlushQueue); }
void TMMRingBuffer::DoFlushQueueEnd() { Fire(OnFlushQueueEnd); }

void TMMRingBuffer::ClearCounters() {
  slotsFilled_ = bytesQueued_ = writeIndex_ = readIndex_ = 0;
  lastRead_ = -1;
  windowReads_ = 0;
  lowestLevel_ = numBuffers_;
  endPending_ = false;
  emptyReads_ = 0;
  dropsInARow_ = 0;
  if (hold_) {
    hold_->lowest = slotSize_ * numBuffers_;
    hold_->reads = 0;
  }
}

void TMMRingBuffer::DropOldest() {
  bytesQueued_ -= slots_[static_cast<std::size_t>(readIndex_)].length;
  readIndex_ = (readIndex_ + 1) % numBuffers_;
  --slotsFilled_;
}

// A stall that held playback back while recording went on (the device played silence
// meanwhile) leaves slots behind that would add to the delay for good. Reads leave one
// slot fewer than the asked-for level behind once primed; when none did for half a
// second, the oldest slot goes.
bool TMMRingBuffer::TrimExcess() {
  const TWaveFormatEx* f = PWaveFormat();
  if (!f || slotSize_ <= 0) return false;
  lowestLevel_ = std::min(lowestLevel_, slotsFilled_);
  if (++windowReads_ < std::max<std::int64_t>(f->nAvgBytesPerSec / 2 / slotSize_, 1)) return false;
  const bool drop = lowestLevel_ >= primeSlots_ && slotsFilled_ > 0;
  if (drop) DropOldest();
  windowReads_ = 0;
  lowestLevel_ = numBuffers_;
  return drop;
}

void TMMRingBuffer::FillSilence(void* dest, std::int32_t bytes) const {
  const TWaveFormatEx* f = PWaveFormat();
  std::memset(dest, f && f->wFormatTag == WAVE_FORMAT_PCM && f->wBitsPerSample == 8 ? 128 : 0,
              static_cast<std::size_t>(bytes));
}

// Recording and playback run on their own threads. After a stall of the machine both
// come back at once, and a read that wins the race finds the ring empty while the
// recorded buffer is a moment away: wait for it up to one slot's time, which the
// playback buffers still queued at the device cover.
void TMMRingBuffer::AwaitRecording(std::unique_lock<TCriticalSection>& lock, std::int32_t bytes) {
  const TWaveFormatEx* f = PWaveFormat();
  if (!f || f->nAvgBytesPerSec == 0) return;
  const auto slotTime = std::chrono::microseconds(1000000LL * slotSize_ / f->nAvgBytesPerSec);
  written_.wait_for(lock, slotTime, [&] { return bytesQueued_ >= bytes || !queueOpen_ || stop_; });
}

void TMMRingBuffer::StartWorker() {
  workerFailed_ = false;
  readyEvent_ = std::make_unique<TEvent>(false);
  requestEvent_ = std::make_unique<TEvent>(true);
  // Manual reset: the reader priming the ring and a stop's drain may both wait for
  // the same run; each request resets it first.
  doneEvent_ = std::make_unique<TEvent>(true);
  terminateEvent_ = std::make_unique<TEvent>(false);
  try {
    worker_ = std::make_unique<TMMQueueThread>(this);
    worker_->Resume();
  } catch (const std::system_error&) {
    worker_.reset();
    throw EMMBufferError("RingBuffer:\n\r" + LoadResString(msg::CouldNotCreateThread));
  }
  if (readyEvent_->WaitFor(kThreadWait) != TWaitResult::Signaled)
    throw EMMBufferError("RingBuffer:\n\r" + LoadResString(msg::CouldNotCreateThread));
}

void TMMRingBuffer::EndWorker() {
  if (!worker_) return;
  doneEvent_->Reset();
  worker_->Terminate();
  terminateEvent_->Set();
  readyEvent_->WaitFor(kThreadWait);
  worker_->WaitFor();
  worker_.reset();
  readyEvent_.reset();
  requestEvent_.reset();
  doneEvent_.reset();
  terminateEvent_.reset();
}

void TMMRingBuffer::OpenQueue() {
  if (queueOpen_) return;
  const std::int32_t size = TMMDSPComponent::BufferSize();
  if (mode_ == TMMQueueMode::qmRead || mode_ == TMMQueueMode::qmWrite) StartWorker();
  fillChunk_ = flushChunk_ = std::max(kChunkLimit / size * size, size);
  std::lock_guard lock(cs_);
  slotSize_ = size;
  storage_.assign(static_cast<std::size_t>(size) * static_cast<std::size_t>(numBuffers_), 0);
  slots_.assign(static_cast<std::size_t>(numBuffers_), Slot{});
  for (std::size_t i = 0; i < slots_.size(); ++i) slots_[i].data = storage_.data() + i * static_cast<std::size_t>(size);
  if (mode_ != TMMQueueMode::qmNone) {
    scratchSize_ = static_cast<std::size_t>(std::max(size, kChunkLimit));
    scratch_ = AllocWaveHeader(scratchSize_);
  }
  hold_.reset();
  rateRatio_ = 1.0;
  const TWaveFormatEx* f = PWaveFormat();
  if (mode_ == TMMQueueMode::qmDuplex && primeSlots_ > 0 && f && f->wFormatTag == WAVE_FORMAT_PCM &&
      f->wBitsPerSample == 16 && f->nChannels >= 1 && f->nSamplesPerSec > 0) {
    int error = 0;
    SpeexResamplerState* st = speex_resampler_init(f->nChannels, f->nSamplesPerSec, f->nSamplesPerSec,
                                                   SPEEX_RESAMPLER_QUALITY_DEFAULT, &error);
    if (st) {
      hold_ = std::make_unique<TRateHold>();
      hold_->state = st;
      hold_->rate = f->nSamplesPerSec;
      hold_->frameBytes = 2 * f->nChannels;
      // The fastest rate first, so that the tables are as large as any later rate
      // needs: no allocation on the reader's thread.
      hold_->SetNum(static_cast<spx_uint32_t>(kRateDen * (1 + kMaxAdjust)) | 1);
      hold_->SetNum(kRateDen);
    }
  }
  ClearCounters();
  slotsLost_ = 0;
  primed_ = false;
  loopFlag_ = false;
  loopMark_ = 0;
  queueOpen_ = true;
  stop_ = false;
}

void TMMRingBuffer::CloseQueue() {
  if (!queueOpen_) return;
  stop_ = true;
  written_.notify_all();
  Drain();
  {
    std::lock_guard lock(cs_);
    queueOpen_ = false;
  }
  EndWorker();
  std::lock_guard lock(cs_);
  slots_.clear();
  slots_.shrink_to_fit();
  storage_.clear();
  storage_.shrink_to_fit();
  scratch_.reset();
  hold_.reset();
  ClearCounters();
}

void TMMRingBuffer::WaitForRun() {
  if (!worker_ || !requestEvent_->IsSet() || worker_->ThreadID() == std::this_thread::get_id()) return;
  doneEvent_->WaitFor(kThreadWait);
}

void TMMRingBuffer::Drain() {
  if (mode_ == TMMQueueMode::qmRead || mode_ == TMMQueueMode::qmWrite) {
    WaitForRun();
    if (doneEvent_) doneEvent_->Reset();
  }
  if (mode_ == TMMQueueMode::qmWrite && queueOpen_) {
    FlushRun();
    if (doneEvent_) doneEvent_->Reset();
  }
  std::lock_guard lock(cs_);
  ClearCounters();
  primed_ = false;
  if (hold_) {
    hold_->SetNum(kRateDen);
    rateRatio_ = 1.0;
    speex_resampler_reset_mem(hold_->state);
  }
}

void TMMRingBuffer::Open() {
  TMMDSPComponent::Open();
  OpenQueue();
}

void TMMRingBuffer::Close() {
  CloseQueue();
  TMMDSPComponent::Close();
}

void TMMRingBuffer::Start() {
  stop_ = false;
  TMMDSPComponent::Start();
}

void TMMRingBuffer::Stop() {
  primed_ = false;
  stop_ = true;
  written_.notify_all();
  {
    std::lock_guard lock(cs_);
    loopFlag_ = false;
  }
  Drain();
  TMMDSPComponent::Stop();
}

void TMMRingBuffer::Reset() {
  Stop();
  {
    std::lock_guard lock(cs_);
    ClearCounters();
  }
  stop_ = false;
  TMMDSPComponent::Reset();
}

void TMMRingBuffer::WriteSlot(const void* data, std::int32_t length, std::uint32_t flags, std::uintptr_t user) {
  if (!queueOpen_ || !enabled_) return;
  // Only qmWrite has a reader that makes room while we wait; elsewhere a full queue
  // always drops, as writing on would overrun unread slots.
  const bool wait = waitIfFull_ && mode_ == TMMQueueMode::qmWrite;
  if (primed_ && SkipToLevel()) {
    ++dropsInARow_;
    Fire(OnSlotDropped);
  }
  if (IsFull() && !wait) {
    DoOverflow();
    return;
  }
  if (!data || length <= 0) return;
  {
    std::lock_guard lock(cs_);
    if (!queueOpen_) return;
    length = std::min(length, slotSize_);
    if (mode_ == TMMQueueMode::qmWrite && slotsFilled_ + 1 >= numBuffers_ / 2 && !requestEvent_->IsSet()) {
      doneEvent_->Reset();
      requestEvent_->Set();
    }
  }
  if (wait)
    while (IsFull() && queueOpen_ && !stop_) Nap();
  bool overflow = false;
  {
    std::lock_guard lock(cs_);
    if (!queueOpen_) return;
    if (slotsFilled_ == numBuffers_) {
      overflow = true;
    } else {
      Slot& s = slots_[static_cast<std::size_t>(writeIndex_)];
      std::memcpy(s.data, data, static_cast<std::size_t>(length));
      s.length = length;
      s.user = user;
      s.flags = flags;
      writeIndex_ = (writeIndex_ + 1) % numBuffers_;
      ++slotsFilled_;
      bytesQueued_ += length;
      endPending_ = false;
    }
  }
  written_.notify_all();
  if (overflow) DoOverflow();
}

std::int32_t TMMRingBuffer::ReadSlot(void* dest, std::int32_t wanted, std::uint32_t& flags, std::uintptr_t& user) {
  flags = 0;
  user = 0;
  if (!queueOpen_ || !dest || wanted <= 0) return 0;
  if (mode_ == TMMQueueMode::qmRead && enabled_) {
    bool requested = false;
    {
      std::lock_guard lock(cs_);
      if (!queueOpen_) return 0;
      if (slotsFilled_ < numBuffers_ / 2 && !requestEvent_->IsSet()) {
        doneEvent_->Reset();
        requestEvent_->Set();
        requested = true;
      }
    }
    if (requested && !primed_) {
      // The fill run ends by itself on a stop, so its done event is all to wait for.
      const auto timeout = std::chrono::milliseconds(std::max(timeOut_.load(), 0));
      const bool done = doneEvent_->WaitFor(timeout) == TWaitResult::Signaled;
      if (!done || IsEmpty()) return 0;
      primed_ = true;
    }
  }
  if (mode_ == TMMQueueMode::qmDuplex && !primed_) {
    {
      std::lock_guard lock(cs_);
      const std::int32_t asked = primeSlots_.load();
      const std::int32_t prime = asked > 0 ? std::min(asked, numBuffers_) : numBuffers_ / 2 + 1;
      if (slotsFilled_ >= prime) {
        primed_ = true;
        // An asked-for level is the delay wanted: what came in while the reader started
        // up beyond it is dropped, oldest first.
        while (asked > 0 && slotsFilled_ > prime) DropOldest();
      }
    }
    if (!primed_) {  // silence until enough slots are filled
      FillSilence(dest, wanted);
      return wanted;
    }
  }
  bool ended = false;
  bool dropped = false;
  std::int32_t n = 0;
  {
    std::unique_lock lock(cs_);
    if (hold_ && primed_ && mode_ == TMMQueueMode::qmDuplex) {
      n = ReadHeld(static_cast<char*>(dest), wanted, lock, flags, user);
      if (!queueOpen_) return 0;
      lock.unlock();
      if (n > 0) {
        emptyReads_ = dropsInARow_ = 0;
        return n;
      }
      // The recording came short: a buffer of silence; the sound goes on where it stopped.
      ++emptyReads_;
      DoEmpty();
      FillSilence(dest, wanted);
      return wanted;
    }
    if (slotsFilled_ == 0 && mode_ == TMMQueueMode::qmDuplex && !stop_) AwaitRecording(lock);
    if (!queueOpen_) return 0;
    if (slotsFilled_ == 0) {
      ended = endPending_;
      endPending_ = false;
    } else {
      Slot& s = slots_[static_cast<std::size_t>(readIndex_)];
      n = std::min(s.length, wanted);
      std::memcpy(dest, s.data, static_cast<std::size_t>(n));
      user = s.user;
      if (s.length > n) {
        // The end mark belongs to the slot's last bytes; the loop mark is told once.
        flags = s.flags & ~RB_END_OF_DATA;
        s.flags &= ~RB_LOOP_MARK;
        std::memmove(s.data, s.data + n, static_cast<std::size_t>(s.length - n));
        s.length -= n;
      } else {
        flags = s.flags;
        lastRead_ = readIndex_;
        readIndex_ = (readIndex_ + 1) % numBuffers_;
        --slotsFilled_;
      }
      bytesQueued_ -= n;
      if (mode_ == TMMQueueMode::qmDuplex && primeSlots_ > 0) dropped = TrimExcess();
    }
  }
  if (n > 0) {
    emptyReads_ = dropsInARow_ = 0;
    if (dropped) {
      ++slotsLost_;
      dropsInARow_ = 1;
      Fire(OnSlotDropped);
    }
    return n;
  }
  if (ended) {  // the input ran out while nothing was queued: a silent last buffer
    FillSilence(dest, wanted);
    flags = RB_END_OF_DATA;
    return wanted;
  }
  ++emptyReads_;
  DoEmpty();
  const TWaveFormatEx* f = PWaveFormat();
  if (loopIfEmpty_ || (f && f->wFormatTag != WAVE_FORMAT_PCM)) {
    std::lock_guard lock(cs_);
    if (queueOpen_ && lastRead_ >= 0) {
      const Slot& s = slots_[static_cast<std::size_t>(lastRead_)];
      const std::int32_t n = std::min(s.length, wanted);
      if (n > 0) {
        std::memcpy(dest, s.data, static_cast<std::size_t>(n));
        flags = s.flags;
        user = s.user;
        return n;
      }
    }
  }
  FillSilence(dest, wanted);
  return wanted;
}

// A recording that fills a held ring is so far ahead of the plan that resampling
// would take too long to bring it back, and what it delivers next would be lost:
// one skip of the oldest slots back to the level instead.
bool TMMRingBuffer::SkipToLevel() {
  std::lock_guard lock(cs_);
  if (!hold_ || slotsFilled_ < numBuffers_) return false;
  while (slotsFilled_ >= std::max(primeSlots_.load(), 1)) {
    DropOldest();
    ++slotsLost_;
  }
  return true;
}

std::int32_t TMMRingBuffer::ReadHeld(char* dest, std::int32_t wanted, std::unique_lock<TCriticalSection>& lock,
                                     std::uint32_t& flags, std::uintptr_t& user) {
  TRateHold& h = *hold_;
  const std::int32_t fb = h.frameBytes;
  auto* out = reinterpret_cast<spx_int16_t*>(dest);
  spx_uint32_t left = static_cast<spx_uint32_t>(wanted / fb);
  // What a buffer takes at the present rate (a frame more for the resampler's phase
  // off the plain rate): all of it is there, or the read waits for the recording once
  // and then takes nothing.
  const std::uint64_t frames = (static_cast<std::uint64_t>(left) * h.num + kRateDen - 1) / kRateDen;
  const auto need = static_cast<std::int32_t>(frames + (h.num != kRateDen)) * fb;
  if (bytesQueued_ < need && !stop_) AwaitRecording(lock, need);
  if (!queueOpen_) return 0;
  if (bytesQueued_ < need) {
    SteerRate();
    return 0;
  }
  while (left > 0 && slotsFilled_ > 0) {
    Slot& s = slots_[static_cast<std::size_t>(readIndex_)];
    spx_uint32_t in = static_cast<spx_uint32_t>(s.length / fb);
    spx_uint32_t made = left;
    if (in > 0)
      speex_resampler_process_interleaved_int(h.state, reinterpret_cast<const spx_int16_t*>(s.data), &in, out, &made);
    else
      made = 0;
    const std::int32_t used = static_cast<std::int32_t>(in) * fb;
    user = s.user;
    flags |= s.flags & RB_LOOP_MARK;
    if (in == 0 || s.length - used < fb) {  // the slot is used up (a stray partial frame with it)
      bytesQueued_ -= s.length;
      lastRead_ = readIndex_;
      readIndex_ = (readIndex_ + 1) % numBuffers_;
      --slotsFilled_;
    } else {
      std::memmove(s.data, s.data + used, static_cast<std::size_t>(s.length - used));
      s.length -= used;
      s.flags &= ~RB_LOOP_MARK;
      bytesQueued_ -= used;
    }
    out += made * static_cast<spx_uint32_t>(fb / 2);
    left -= made;
  }
  SteerRate();
  if (left > 0) FillSilence(out, static_cast<std::int32_t>(left) * fb);  // not met: the need is an upper bound
  return wanted;
}

// Once per steering period, the rate follows how far the fewest frames that reads
// left behind are from the plan (one slot fewer than the primed level, as right
// after priming): a proportional pull that settles within seconds, inaudibly.
void TMMRingBuffer::SteerRate() {
  TRateHold& h = *hold_;
  h.lowest = std::min(h.lowest, bytesQueued_ / h.frameBytes);
  const double perSecond = static_cast<double>(h.rate) * h.frameBytes / std::max(slotSize_, 1);
  if (++h.reads < std::max(1, static_cast<int>(perSecond * kSteerSeconds))) return;
  const double target = static_cast<double>(slotSize_ / h.frameBytes) * (primeSlots_ - 1);
  const double adjust = std::clamp((h.lowest - target) / (kSettleSeconds * h.rate), -kMaxAdjust, kMaxAdjust);
  const auto num = static_cast<spx_uint32_t>(std::lround(kRateDen * (1 + adjust)));
  if (num != h.num) {
    h.SetNum(num);
    rateRatio_ = static_cast<double>(num) / kRateDen;
  }
  h.reads = 0;
  h.lowest = slotSize_ * numBuffers_;
}

std::int32_t TMMRingBuffer::WriteBlock(const void* data, std::int32_t length, std::uint32_t flags) {
  if (!queueOpen_ || !data || length <= 0) return 0;
  const auto* p = static_cast<const char*>(data);
  std::int32_t written = 0;
  while (written < length && !IsFull()) {
    const std::int32_t piece = std::min(slotSize_, length - written);
    const bool last = written + piece >= length;
    const std::int32_t before = BytesQueued();
    WriteSlot(p + written, piece, last ? flags : 0, 0);
    if (BytesQueued() == before) break;  // dropped (disabled or closed)
    written += piece;
  }
  return written;
}

std::int32_t TMMRingBuffer::ReadBlock(void* dest, std::int32_t length) {
  if (!queueOpen_ || !dest || length <= 0) return 0;
  auto* p = static_cast<char*>(dest);
  std::int32_t got = 0;
  while (got < length && !IsEmpty()) {
    std::uint32_t flags;
    std::uintptr_t user;
    const std::int32_t n = ReadSlot(p + got, length - got, flags, user);
    if (n <= 0) break;
    got += n;
  }
  return got;
}

void TMMRingBuffer::BufferReady(PMMWaveHdr lpwh) {
  if (mode_ == TMMQueueMode::qmWrite || mode_ == TMMQueueMode::qmDuplex) {
    WriteSlot(lpwh->lpData, lpwh->dwBytesRecorded, 0, lpwh->dwUser);
    return;
  }
  TMMDSPComponent::BufferReady(lpwh);
}

void TMMRingBuffer::BufferLoad(PMMWaveHdr lpwh, bool& MoreBuffers) {
  if (mode_ == TMMQueueMode::qmRead || mode_ == TMMQueueMode::qmDuplex) {
    if (!queueOpen_) {
      lpwh->dwBytesRecorded = 0;
      return;
    }
    if (enabled_ || BytesQueued() > 0 || mode_ == TMMQueueMode::qmDuplex) {
      {
        std::lock_guard lock(cs_);
        const bool loop = lpwh->LoopRec != 0;
        if (loop != loopFlag_) {
          loopFlag_ = loop;
          if (loop) {
            loopCount_ = lpwh->LoopCount;
            loopCounter_ = lpwh->LoopTempCount;
            loopMark_ = 0;
          }
        }
      }
      lpwh->dwBytesRecorded = static_cast<std::int32_t>(lpwh->dwBufferLength);
      std::uint32_t flags = 0;
      std::uintptr_t user = 0;
      lpwh->dwBytesRecorded = ReadSlot(lpwh->lpData, lpwh->dwBytesRecorded, flags, user);
      lpwh->dwUser = user;
      lpwh->LoopMark = flags & RB_LOOP_MARK ? -1 : 0;
      MoreBuffers = mode_ == TMMQueueMode::qmDuplex || !(flags & RB_END_OF_DATA);
      return;
    }
  }
  TMMDSPComponent::BufferLoad(lpwh, MoreBuffers);
}

void TMMRingBuffer::RunRequested() {
  try {
    if (mode_ == TMMQueueMode::qmRead)
      FillRun();
    else
      FlushRun();
  } catch (...) {
    Application().HandleException(std::current_exception());
  }
  EndRun();
}

void TMMRingBuffer::EndRun() {
  requestEvent_->Reset();
  doneEvent_->Set();
}

void TMMRingBuffer::FillRun() {
  if (!queueOpen_ || BytesFree() <= 0) return;
  DoFillQueue();
  TMMWaveHdr* s = scratch_.get();
  while (BytesFree() >= 1 && !stop_) {
    const std::int32_t len = std::min(BytesFree(), fillChunk_);
    s->dwBufferLength = static_cast<std::uint32_t>(len);
    s->dwBytesRecorded = 0;
    {
      std::lock_guard lock(cs_);
      s->LoopRec = loopFlag_ ? -1 : 0;
      s->LoopCount = loopCount_;
      s->LoopTempCount = loopCounter_;
      s->LoopMark = loopMark_;
    }
    bool more = false;
    TMMDSPComponent::BufferLoad(s, more);
    Nap();
    const std::int32_t got = std::min(s->dwBytesRecorded, len);
    if (got <= 0) {
      // Mark the end on the newest queued slot so the reader still meets it.
      std::lock_guard lock(cs_);
      if (slotsFilled_ > 0)
        slots_[static_cast<std::size_t>((writeIndex_ + numBuffers_ - 1) % numBuffers_)].flags |= RB_END_OF_DATA;
      else
        endPending_ = true;
      break;
    }
    std::uint32_t flags = more ? 0 : RB_END_OF_DATA;
    {
      std::lock_guard lock(cs_);
      loopFlag_ = s->LoopRec != 0;
      loopCount_ = s->LoopCount;
      loopCounter_ = s->LoopTempCount;
      if (s->LoopMark) flags |= RB_LOOP_MARK;
    }
    WriteBlock(s->lpData, got, flags);
    {
      std::lock_guard lock(cs_);
      loopMark_ = 0;
    }
    if (!more || stop_) break;
    Nap();
  }
  DoFillQueueEnd();
}

void TMMRingBuffer::FlushRun() {
  if (!queueOpen_ || BytesQueued() <= 0) return;
  DoFlushQueue();
  TMMWaveHdr* s = scratch_.get();
  while (BytesQueued() > 0) {
    const std::int32_t got = ReadBlock(s->lpData, std::min(BytesQueued(), flushChunk_));
    if (got <= 0) break;
    s->dwBytesRecorded = got;
    s->dwBufferLength = static_cast<std::uint32_t>(flushChunk_);
    TMMDSPComponent::BufferReady(s);
    Nap();
  }
  DoFlushQueueEnd();
}

}  // namespace strataeq
