#include "display/MMConect.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <thread>

namespace strataeq {

namespace {

std::int64_t SteadyMicroseconds() {
  using namespace std::chrono;
  return duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count();
}

constexpr int kSlotKind[TMMConnector::kSlots] = {0, 0, 1, 1, 2, 2, 3, 3, 4, 4, 4, 4, 5, 5};

// The pump wakes for due frames at most this often, a screen refresh of the displays,
// and then serves every frame that has come due: the screen shows them no faster anyway
// (the displays copy to it at most once per refresh), and each wake-up of the GUI thread
// costs more than a frame.
constexpr std::int64_t kMinCycleUs = 25000;

}  // namespace

// Class-wide state. The list, the window, the counts and the Speed are the main
// thread's; the waker's fields are shared with the audio threads under wakeMutex.
struct TMMConnector::Shared {
  std::vector<TMMConnector*> list;
  std::unique_ptr<TNotifyWindow> window;
  int running = 0;
  std::int32_t highestSpeed = 5000;
  bool enterIdle = false;
  bool inPump = false;
  std::atomic<std::int64_t> cycles{0};
  std::mutex clockMutex;
  TClock clock;

  // The waker posts the pump message when a buffer was captured or the next frame is
  // due, so the main thread sleeps in between instead of reposting itself.
  std::thread waker;
  std::mutex wakeMutex;
  std::condition_variable wakeCv;
  bool wake = false;
  bool quit = false;
  std::int64_t dueAt = -1;  // steady-clock microseconds, -1 none
  std::atomic<bool> pumpQueued{false};
  std::int64_t lastCycle = 0;  // steady-clock microseconds, main thread

  void Notify() {
    {
      std::lock_guard lock(wakeMutex);
      wake = true;
    }
    wakeCv.notify_one();
  }
  void SetDue(std::int64_t at) {
    {
      std::lock_guard lock(wakeMutex);
      dueAt = at;
    }
    wakeCv.notify_one();
  }
  // A capture wakes the main thread no sooner than a refresh after the last wake: at
  // short live latencies buffers come every few milliseconds, and a wake per buffer cost
  // more in task switches than the drawing. The one pump cycle serves every frame due.
  std::atomic<std::int64_t> lastPost{-kMinCycleUs};

  void Post() {
    lastPost = SteadyMicroseconds();
    if (pumpQueued.exchange(true)) return;
    THandle h = window ? window->Handle() : 0;
    if (!PostMessage(h, MM_CONNECTOR_PUMP)) pumpQueued = false;
  }
  void WakerBody() {
    std::unique_lock lock(wakeMutex);
    std::int64_t wakeAt = -1;  // a capture's wake, held back to the frame pace
    while (!quit) {
      if (wake) {
        wake = false;
        if (wakeAt < 0) wakeAt = std::max(SteadyMicroseconds(), lastPost.load() + kMinCycleUs);
      }
      std::int64_t due = dueAt;
      if (wakeAt >= 0 && (due < 0 || wakeAt < due)) due = wakeAt;
      if (due < 0) {
        wakeCv.wait(lock);
        continue;
      }
      const std::int64_t now = SteadyMicroseconds();
      if (due > now) {
        wakeCv.wait_for(lock, std::chrono::microseconds(due - now));
        continue;
      }
      if (dueAt >= 0 && dueAt <= now) dueAt = -1;
      wakeAt = -1;
      lock.unlock();
      Post();
      lock.lock();
    }
  }
};

TMMConnector::Shared& TMMConnector::Class() {
  static Shared shared;
  return shared;
}

std::int64_t TMMConnector::Now() {
  Shared& s = Class();
  std::lock_guard lock(s.clockMutex);
  return s.clock ? s.clock() : SteadyMicroseconds();
}

void TMMConnector::SetClock(TClock clock) {
  Shared& s = Class();
  std::lock_guard lock(s.clockMutex);
  s.clock = std::move(clock);
}

int TMMConnector::RunningCount() { return Class().running; }
std::int64_t TMMConnector::PumpCycles() { return Class().cycles.load(); }
bool TMMConnector::EnterIdle() { return Class().enterIdle; }
void TMMConnector::SetEnterIdle(bool value) { Class().enterIdle = value; }

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

// The displays draw from a snapshot taken under the lock, so a capture never waits
// for drawing; positions go back only when no capture reset them meanwhile.
void TMMConnector::Distribute() {
  if (!DistributionAllowed()) return;
  std::lock_guard serial(distributeMutex_);
  std::array<TMMConnectorDisplay*, kSlots> slots;
  std::array<bool, kKinds> pending;
  std::array<std::int32_t, kKinds> position;
  std::int32_t pos2 = 0, valid = 0;
  std::uint64_t seq = 0;
  std::int64_t captured = 0;
  TWaveFormatEx format{};
  {
    std::lock_guard lock(lock_);
    if (capture_.empty() || !direct_) return;
    seq = captureSeq_;
    if (snapshotSeq_ != seq || snapshot_.size() != capture_.size()) {
      snapshot_ = capture_;  // same size from the second time on: no allocation
      snapshotSeq_ = seq;
    }
    valid = valid_;
    slots = slots_;
    for (int k = 0; k < kKinds; ++k) pending[k] = pending_[k];
    position = position_;
    pos2 = spectrogramPos2_;
    captured = captureTime_;
    format = displayFormat_;
  }
  const std::int64_t now = Now();
  const std::uint8_t* data = snapshot_.data();
  const int bitIndex = format.wBitsPerSample == 16 ? 1 : 0;
  const int modeIndex = format.nChannels == 2 ? 1 : 0;
  auto due = [&](std::int32_t p) { return Due(p, format.nAvgBytesPerSec, captured, now); };
  auto frameSize = [&](int kind) {
    std::int32_t f = 0;
    for (int i = 0; i < kSlots; ++i)
      if (kSlotKind[i] == kind && slots[i]) f = std::max(f, slots[i]->FrameSize());
    return f;
  };
  for (int k = 0; k < kKinds; ++k) {
    if (!pending[k]) continue;
    const std::int32_t F = frameSize(k);
    if (F <= 0) {  // nothing could ever be delivered: do not keep the pump busy
      pending[k] = false;
      continue;
    }
    std::int32_t& pos = position[k];
    if (k == kOscopes) {
      TMMConnectorDisplay* gov = slots[4] ? slots[4] : slots[5];
      std::int32_t start = pos;
      std::int32_t offset = -1;
      const TMMTriggerMode mode = triggerMode_;
      if (mode != TMMTriggerMode::tmNone && !paused_ && pos < valid)
        offset = FindTriggerPoint(&format, data + pos, valid - pos, triggerLevel_,
                                  mode == TMMTriggerMode::tmUpFlank ? 1 : 2, 0);
      if (!due(pos)) continue;
      if (offset > 0) {
        pos += offset;
        start = pos;
      }
      const bool quarter = gov && gov->Scroll() && gov->Accelerate();
      const std::int32_t step = quarter ? (gov->FFTLength() / 4) * (bitIndex + 1) * (modeIndex + 1) : F;
      pos += step > 0 ? step : F;  // a zero step would never end the buffer
      if (start + F > valid) {
        pending[k] = false;
      } else {
        for (int i = 4; i <= 5; ++i)
          if (slots[i]) slots[i]->ProcessFrame(data + start);
      }
    } else if (k == kSpectrograms) {
      bool any = false;
      std::int32_t* positions[2] = {&position[k], &pos2};
      for (int j = 0; j < 2; ++j) {
        TMMConnectorDisplay* d = slots[12 + j];
        if (!d) continue;
        const std::int32_t f = d->FrameSize();
        std::int32_t& p = *positions[j];
        if (f <= 0 || p + f > valid) continue;
        any = true;
        if (!due(p)) continue;
        const std::int32_t start = p;
        p += d->Accelerate() ? std::max(f / 4, 1) : f;
        d->ProcessFrame(data + start);
      }
      if (!any) pending[k] = false;
    } else {
      if (!due(pos)) continue;
      const std::int32_t p0 = pos;
      pos += F;
      if (p0 + F > valid) {
        pending[k] = false;
      } else {
        for (int i = 0; i < kSlots; ++i)
          if (kSlotKind[i] == k && slots[i]) slots[i]->ProcessFrame(data + p0);
      }
    }
  }
  {
    std::lock_guard lock(lock_);
    if (captureSeq_ == seq) {
      for (int k = 0; k < kKinds; ++k)
        if (!pending[k]) pending_[k] = false;  // a slot change may have cleared it already
      position_ = position;
      spectrogramPos2_ = pos2;
    }
  }
  if (OnTrigger) OnTrigger(this);
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

// --- the pump (main thread) -------------------------------------------------------

void TMMConnector::ScheduleNextWake() {
  Shared& s = Class();
  if (s.running == 0) {
    s.SetDue(-1);
    return;
  }
  const std::int64_t now = Now();
  std::int64_t best = -1;
  for (TMMConnector* c : s.list) {
    if (!c->autoTrigger_ || !c->enabled_ || !c->running_) continue;
    const std::int64_t in = c->NextDueIn(now);
    if (in >= 0 && (best < 0 || in < best)) best = in;
  }
  s.SetDue(best < 0 ? -1 : std::max(SteadyMicroseconds() + best, s.lastCycle + kMinCycleUs));
}

void TMMConnector::PumpCycle() {
  Shared& s = Class();
  s.pumpQueued = false;
  if (s.inPump) return;  // reached through our own message rounds below
  s.inPump = true;
  ++s.cycles;
  s.lastCycle = SteadyMicroseconds();
  const THandle window = s.window ? s.window->Handle() : 0;
  // Lower Speed lets more of the other queued work run before the displays.
  const int rounds = 5001 - s.highestSpeed;
  for (int r = 0; r < rounds && PendingMessageCount(0) > PendingMessageCount(window); ++r)
    ProcessPendingMessages();
  if (s.running > 0 && !Application().Terminated()) {
    const std::vector<TMMConnector*> list = s.list;
    auto serve = [&s](TMMConnector* c) {
      return std::find(s.list.begin(), s.list.end(), c) != s.list.end() && c->autoTrigger_ && c->enabled_ &&
             c->running_;
    };
    for (TMMConnector* c : list) {
      // With Synchronize, each frame that is due by now, in order; without, one.
      for (int step = 0; step < 64 && serve(c); ++step) {
        c->Distribute();
        if (!c->synchronize_ || c->NextDueIn(Now()) != 0) break;
      }
    }
  }
  if (s.running > 0 && !Application().Terminated() && !s.list.empty()) {
    if (s.enterIdle && PendingMessageCount(0) > PendingMessageCount(window)) ProcessPendingMessages();
    ScheduleNextWake();
  } else {
    s.SetDue(-1);
  }
  s.inPump = false;
}

void TMMConnector::WindowProc(TMessage& msg) {
  Shared& s = Class();
  auto* c = reinterpret_cast<TMMConnector*>(msg.WParam);
  const bool known = std::find(s.list.begin(), s.list.end(), c) != s.list.end();
  switch (msg.Msg) {
    case MM_CONNECTOR_START:
      if (!known || !c->Input() || !c->started_) return;
      c->pendingTriggers_ = 0;
      if (!c->enabled_ || !c->realTime_) return;
      if (c->autoTrigger_) {
        if (!c->running_.exchange(true)) ++s.running;
        s.Post();
      } else {
        c->running_ = true;
      }
      return;
    case MM_CONNECTOR_PUMP:
      PumpCycle();
      return;
    case MM_CONNECTOR_TRIGGER:
      if (!known) return;
      try {
        if (c->Input()) c->Distribute();
      } catch (...) {
        --c->pendingTriggers_;
        throw;
      }
      --c->pendingTriggers_;
      return;
    default:
      DefWindowProc(msg);
  }
}

}  // namespace strataeq
