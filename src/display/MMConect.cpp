#include "display/MMConect.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <thread>

#include "display/MMConectPump.h"

namespace strataeq {

namespace {

constexpr int kSlotKind[TMMConnector::kSlots] = {0, 0, 1, 1, 2, 2, 3, 3, 4, 4, 4, 4, 5, 5};

}  // namespace

// --- displays -------------------------------------------------------------------

TMMConnectorDisplay::~TMMConnectorDisplay() { DetachFromConnectors(); }

void TMMConnectorDisplay::DetachFromConnectors() {
  for (TMMConnector* c : TMMConnector::Class().list) c->DisplayDestroyed(this);
}

void TMMConnector::DisplayDestroyed(TMMConnectorDisplay* display) {
  std::lock_guard lock(lock_);
  for (auto& s : slots_)
    if (s == display) s = nullptr;
}

// --- lifecycle ------------------------------------------------------------------

TMMConnector::TMMConnector() {
  Shared& s = Class();
  if (s.list.empty()) {
    s.window = std::make_unique<TNotifyWindow>(&TMMConnector::WindowProc);
    s.quit = false;
    s.waker = std::thread([&s] { s.WakerBody(); });
  }
  s.list.push_back(this);
  RecomputeSpeed();
}

TMMConnector::~TMMConnector() {
  Stop();
  Shared& s = Class();
  std::erase(s.list, this);
  RecomputeSpeed();
  if (s.list.empty()) {
    {
      std::lock_guard lock(s.wakeMutex);
      s.quit = true;
    }
    s.wakeCv.notify_one();
    if (s.waker.joinable()) s.waker.join();
    s.dueAt = -1;
    s.wake = false;
    s.wakeArmed = false;
    s.window.reset();  // drops the queued messages
    s.pumpQueued = false;
  }
}

void TMMConnector::RecomputeSpeed() {
  Shared& s = Class();
  std::int32_t highest = 1;
  for (TMMConnector* c : s.list) highest = std::max(highest, c->speed_);
  s.highestSpeed = highest;
}

void TMMConnector::SetSpeed(std::int32_t value) {
  speed_ = Clamp(value, 1, 5000);
  RecomputeSpeed();
}

void TMMConnector::SetRealTime(bool value) {
  if (Opened()) throw EMMConnectorError(LoadResString(msg::PropertyWhileOpen));
  realTime_ = value;
}

void TMMConnector::PostStart() {
  PostMessage(Class().window->Handle(), MM_CONNECTOR_START, reinterpret_cast<WPARAM>(this));
}

void TMMConnector::Unrun() {
  if (!running_.exchange(false)) return;
  Shared& s = Class();
  if (s.running > 0) --s.running;
  if (s.running == 0) s.SetDue(-1);
}

void TMMConnector::SetEnabled(bool value) {
  if (enabled_ == value) return;
  enabled_ = value;
  if (!value) {
    Unrun();
    ResetDisplays();
  } else if (started_ && realTime_) {
    PostStart();
  }
}

void TMMConnector::SetAutoTrigger(bool value) {
  if (autoTrigger_ == value) return;
  autoTrigger_ = value;
  if (!value) {
    Unrun();
  } else if (started_ && enabled_ && realTime_) {
    PostStart();
  }
}

TMMConnectorDisplay* TMMConnector::Slot(TMMConnectorSlot slot) const {
  std::lock_guard lock(lock_);
  return slots_[static_cast<int>(slot)];
}

void TMMConnector::SetSlot(TMMConnectorSlot slot, TMMConnectorDisplay* display) {
  const int i = static_cast<int>(slot);
  const int kind = kSlotKind[i];
  {
    std::lock_guard lock(lock_);
    if (slots_[i] == display) return;
    if (display && kind != kSpectra) {
      const int other = (i % 2 == 0) ? i + 1 : i - 1;
      if (slots_[other] == display) return;
    }
    slots_[i] = display;
    pending_[kind] = false;
  }
  if (display) {
    ResolveFormat();
    HandFormatToDisplays();
  }
}

void TMMConnector::ResolveFormat() {
  const TWaveFormatEx* f = PWaveFormat();
  if (!f || started_) return;
  std::lock_guard lock(lock_);  // the capture reads them
  direct_ = f->wFormatTag == WAVE_FORMAT_PCM && IsValidPcmFormat(f);
  if (direct_) displayFormat_ = *f;
  silence_ = displayFormat_.wBitsPerSample == 8 ? 128 : 0;
}

void TMMConnector::HandFormatToDisplays() {
  if (!PWaveFormat() || !direct_) return;
  std::array<TMMConnectorDisplay*, kSlots> slots;
  {
    std::lock_guard lock(lock_);
    slots = slots_;
  }
  for (TMMConnectorDisplay* d : slots)
    if (d) d->SetDataFormat(&displayFormat_);
}

void TMMConnector::SetPWaveFormat(const TWaveFormatEx* format) {
  TMMDSPComponent::SetPWaveFormat(format);
  ResolveFormat();
  HandFormatToDisplays();
}

void TMMConnector::ResetDisplays() {
  std::array<TMMConnectorDisplay*, kSlots> slots;
  {
    std::lock_guard lock(lock_);
    slots = slots_;
  }
  for (TMMConnectorDisplay* d : slots)
    if (d) d->ResetDisplay();
}

void TMMConnector::ClearPending() {
  std::lock_guard lock(lock_);
  for (auto& p : pending_) p = false;
}

void TMMConnector::Start() {
  TMMDSPComponent::Start();
  if (!Input() || !PWaveFormat() || started_) return;
  ResolveFormat();
  {
    std::lock_guard lock(lock_);
    for (auto& p : pending_) p = false;
    position_.fill(0);
    spectrogramPos2_ = 0;
    valid_ = 0;
    if (direct_) {
      capture_.assign(static_cast<std::size_t>(std::max<std::int32_t>(BufferSize(), 1)), silence_);
      ++captureSeq_;
    }
  }
  if (!direct_) return;
  RecomputeSpeed();
  started_ = true;
  HandFormatToDisplays();
  if (enabled_ && realTime_) PostStart();
}

// A periodic tick that re-delivers the silent buffer while paused.
struct TMMConnector::TPauseTimer {
  std::thread thread;
  std::mutex m;
  std::condition_variable cv;
  bool quit = false;

  TPauseTimer(TMMConnector* owner, std::int32_t periodMs) {
    thread = std::thread([this, owner, periodMs] {
      auto next = std::chrono::steady_clock::now();
      std::unique_lock lock(m);
      while (!quit) {
        next += std::chrono::milliseconds(std::max(periodMs, 1));
        if (cv.wait_until(lock, next, [this] { return quit; })) break;
        {
          std::lock_guard l(owner->lock_);
          owner->captureTime_ = Now();
          ++owner->captureSeq_;
          for (int k = 0; k < kKinds; ++k)
            if (owner->KindAssigned(k)) {
              owner->pending_[k] = true;
              owner->position_[k] = 0;
              if (k == kSpectrograms) owner->spectrogramPos2_ = 0;
            }
        }
        if (owner->running_) Class().Notify();
      }
    });
  }
  ~TPauseTimer() {
    {
      std::lock_guard lock(m);
      quit = true;
    }
    cv.notify_one();
    thread.join();
  }
};

void TMMConnector::StartPauseTimer() {
  ClearPending();
  const TWaveFormatEx* f = PWaveFormat();
  const std::int32_t avg = f && f->nAvgBytesPerSec ? static_cast<std::int32_t>(f->nAvgBytesPerSec) : 1;
  pauseTimer_ = std::make_unique<TPauseTimer>(this, MulDivRound(BufferSize(), 1000, avg));
}

void TMMConnector::StopPauseTimer() {
  ClearPending();
  pauseTimer_.reset();
}

void TMMConnector::Pause() {
  if (started_ && !paused_) {
    paused_ = true;
    {
      std::lock_guard lock(lock_);
      std::fill(capture_.begin(), capture_.end(), silence_);
      ++captureSeq_;
    }
    if (realTime_) StartPauseTimer();
  }
  TMMDSPComponent::Pause();
}

void TMMConnector::Restart() {
  if (paused_) {
    paused_ = false;
    if (realTime_) StopPauseTimer();
  }
  TMMDSPComponent::Restart();
}

void TMMConnector::Stop() {
  if (started_) {
    started_ = false;
    Unrun();
    paused_ = false;
    StopPauseTimer();
    {
      std::lock_guard lock(lock_);
      std::vector<std::uint8_t>().swap(capture_);
      valid_ = 0;
    }
    if (refreshOnStop_) ResetDisplays();
  }
  TMMDSPComponent::Stop();
}

void TMMConnector::Reset() {
  if (started_) {
    std::lock_guard lock(lock_);
    std::fill(capture_.begin(), capture_.end(), silence_);
    ++captureSeq_;
  }
  TMMDSPComponent::Reset();
}

// --- capture (audio thread) -----------------------------------------------------

bool TMMConnector::KindAssigned(int kind) const {
  for (int i = 0; i < kSlots; ++i)
    if (kSlotKind[i] == kind && slots_[i]) return true;
  return false;
}

void TMMConnector::Capture(PMMWaveHdr h) {
  if (!Input() || !enabled_ || paused_ || !h) return;
  bool marked = false;
  {
    std::lock_guard lock(lock_);
    if (!direct_ || capture_.empty()) return;
    captureTime_ = Now();
    const auto size = static_cast<std::int32_t>(capture_.size());
    valid_ = std::clamp<std::int32_t>(h->dwBytesRecorded, 0, size);
    if (valid_ > 0) std::memcpy(capture_.data(), h->lpData, static_cast<std::size_t>(valid_));
    ++captureSeq_;
    for (int k = 0; k < kKinds; ++k)
      if (KindAssigned(k)) {
        pending_[k] = true;
        position_[k] = 0;
        if (k == kSpectrograms) spectrogramPos2_ = 0;
        marked = true;
      }
  }
  if (!marked) return;
  if (!realTime_) {
    if (autoTrigger_) Distribute();
  } else if (running_ && autoTrigger_) {
    Class().Notify();
  }
}

void TMMConnector::BufferReady(PMMWaveHdr lpwh) {
  PMMWaveHdr shown = lpwh;
  if (synchronize_ && lpwh && lpwh->wh_link && lpwh->dwBytesRecorded > 0) shown = lpwh->wh_link;
  Capture(shown);
  TMMDSPComponent::BufferReady(lpwh);
}

void TMMConnector::BufferLoad(PMMWaveHdr lpwh, bool& MoreBuffers) {
  TMMDSPComponent::BufferLoad(lpwh, MoreBuffers);
  Capture(lpwh);
}

// --- distribution -----------------------------------------------------------------

bool TMMConnector::DistributionAllowed() const {
  return (enabled_ && running_) || (!realTime_ && started_);
}

bool TMMConnector::Due(std::int32_t position, std::int64_t avg, std::int64_t captured, std::int64_t now) const {
  if (!synchronize_) return true;
  if (avg <= 0) return true;
  return now - captured >= static_cast<std::int64_t>(position) * 1000000 / avg;
}

// One distribution round's view of the capture: a snapshot of the shared state taken
// under the lock, with the positions and pending marks the round moves on.
struct TMMConnector::TRound {
  std::array<TMMConnectorDisplay*, kSlots> slots;
  std::array<bool, kKinds> pending;
  std::array<std::int32_t, kKinds> position;
  std::int32_t pos2 = 0, valid = 0;
  std::uint64_t seq = 0;
  std::int64_t captured = 0, now = 0;
  TWaveFormatEx format{};
  const std::uint8_t* data = nullptr;
};

// The displays draw from a snapshot taken under the lock, so a capture never waits
// for drawing; positions go back only when no capture reset them meanwhile.
void TMMConnector::Distribute() {
  if (!DistributionAllowed()) return;
  std::lock_guard serial(distributeMutex_);
  TRound r;
  {
    std::lock_guard lock(lock_);
    if (capture_.empty() || !direct_) return;
    r.seq = captureSeq_;
    if (snapshotSeq_ != r.seq || snapshot_.size() != capture_.size()) {
      snapshot_ = capture_;  // same size from the second time on: no allocation
      snapshotSeq_ = r.seq;
    }
    r.valid = valid_;
    r.slots = slots_;
    for (int k = 0; k < kKinds; ++k) r.pending[k] = pending_[k];
    r.position = position_;
    r.pos2 = spectrogramPos2_;
    r.captured = captureTime_;
    r.format = displayFormat_;
  }
  r.now = Now();
  r.data = snapshot_.data();
  for (int k = 0; k < kKinds; ++k) {
    if (!r.pending[k]) continue;
    std::int32_t frame = 0;
    for (int i = 0; i < kSlots; ++i)
      if (kSlotKind[i] == k && r.slots[i]) frame = std::max(frame, r.slots[i]->FrameSize());
    if (frame <= 0) {  // nothing could ever be delivered: do not keep the pump busy
      r.pending[k] = false;
      continue;
    }
    if (k == kOscopes) {
      r.pending[k] = DistributeOscopes(r, frame);
    } else if (k == kSpectrograms) {
      r.pending[k] = DistributeSpectrograms(r);
    } else {
      r.pending[k] = DistributeFrames(r, k, frame);
    }
  }
  {
    std::lock_guard lock(lock_);
    if (captureSeq_ == r.seq) {
      for (int k = 0; k < kKinds; ++k)
        if (!r.pending[k]) pending_[k] = false;  // a slot change may have cleared it already
      position_ = r.position;
      spectrogramPos2_ = r.pos2;
    }
  }
  if (OnTrigger) OnTrigger(this);
}

bool TMMConnector::RoundDue(const TRound& r, std::int32_t position) const {
  return Due(position, r.format.nAvgBytesPerSec, r.captured, r.now);
}

// Oscilloscopes share one position: a trigger point moves the frame's start, and a
// scrolling, accelerated governing scope steps a quarter of its length.
bool TMMConnector::DistributeOscopes(TRound& r, std::int32_t frame) {
  std::int32_t& pos = r.position[kOscopes];
  TMMConnectorDisplay* gov = r.slots[4] ? r.slots[4] : r.slots[5];
  std::int32_t start = pos;
  std::int32_t offset = -1;
  const TMMTriggerMode mode = triggerMode_;
  if (mode != TMMTriggerMode::tmNone && !paused_ && pos < r.valid)
    offset = FindTriggerPoint(&r.format, r.data + pos, r.valid - pos, triggerLevel_,
                              mode == TMMTriggerMode::tmUpFlank ? 1 : 2, 0);
  if (!RoundDue(r, pos)) return true;
  if (offset > 0) {
    pos += offset;
    start = pos;
  }
  const int bitIndex = r.format.wBitsPerSample == 16 ? 1 : 0;
  const int modeIndex = r.format.nChannels == 2 ? 1 : 0;
  const bool quarter = gov && gov->Scroll() && gov->Accelerate();
  const std::int32_t step = quarter ? (gov->FFTLength() / 4) * (bitIndex + 1) * (modeIndex + 1) : frame;
  pos += step > 0 ? step : frame;  // a zero step would never end the buffer
  if (start + frame > r.valid) return false;
  for (int i = 4; i <= 5; ++i)
    if (r.slots[i]) r.slots[i]->ProcessFrame(r.data + start);
  return true;
}

// Each spectrogram keeps its own position and frame length.
bool TMMConnector::DistributeSpectrograms(TRound& r) {
  bool any = false;
  std::int32_t* positions[2] = {&r.position[kSpectrograms], &r.pos2};
  for (int j = 0; j < 2; ++j) {
    TMMConnectorDisplay* d = r.slots[12 + j];
    if (!d) continue;
    const std::int32_t f = d->FrameSize();
    std::int32_t& p = *positions[j];
    if (f <= 0 || p + f > r.valid) continue;
    any = true;
    if (!RoundDue(r, p)) continue;
    const std::int32_t start = p;
    p += d->Accelerate() ? std::max(f / 4, 1) : f;
    d->ProcessFrame(r.data + start);
  }
  return any;
}

// Levels, meters, lights and spectra: every display of the kind gets the same frame.
bool TMMConnector::DistributeFrames(TRound& r, int kind, std::int32_t frame) {
  std::int32_t& pos = r.position[kind];
  if (!RoundDue(r, pos)) return true;
  const std::int32_t p0 = pos;
  pos += frame;
  if (p0 + frame > r.valid) return false;
  for (int i = 0; i < kSlots; ++i)
    if (kSlotKind[i] == kind && r.slots[i]) r.slots[i]->ProcessFrame(r.data + p0);
  return true;
}

std::int64_t TMMConnector::NextDueIn(std::int64_t now) const {
  std::lock_guard lock(lock_);
  if (capture_.empty()) return -1;
  std::int64_t best = -1;
  const std::int64_t avg = displayFormat_.nAvgBytesPerSec;
  for (int k = 0; k < kKinds; ++k) {
    if (!pending_[k]) continue;
    std::int64_t in = 0;
    if (synchronize_ && avg > 0) {
      const std::int32_t p = k == kSpectrograms ? std::min(position_[k], spectrogramPos2_) : position_[k];
      in = std::max<std::int64_t>(0, captureTime_.load() + static_cast<std::int64_t>(p) * 1000000 / avg - now);
    }
    if (best < 0 || in < best) best = in;
  }
  return best;
}

void TMMConnector::Trigger() {
  if (!enabled_ || !(running_ || (!realTime_ && started_)) || autoTrigger_ || pendingTriggers_ > 0) return;
  if (IsMainThread()) {
    Distribute();
  } else {
    ++pendingTriggers_;
    if (!PostMessage(Class().window->Handle(), MM_CONNECTOR_TRIGGER, reinterpret_cast<WPARAM>(this)))
      --pendingTriggers_;
  }
}

}  // namespace strataeq
