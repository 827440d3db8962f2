#include "display/MMConectPump.h"

#include <algorithm>
#include <chrono>

namespace strataeq {

std::int64_t TMMConnector::Shared::SteadyMicroseconds() {
  using namespace std::chrono;
  return duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count();
}

void TMMConnector::Shared::Notify() {
  if (wakeArmed.exchange(true)) return;
  bool needed = false;
  {
    std::lock_guard lock(wakeMutex);
    wake = true;
    needed = std::max(SteadyMicroseconds(), lastPost.load() + kMinCycleUs) < sleepUntil;
  }
  if (needed) wakeCv.notify_one();
}

void TMMConnector::Shared::SetDue(std::int64_t at) {
  bool needed = false;
  {
    std::lock_guard lock(wakeMutex);
    dueAt = at;
    needed = at >= 0 && at < sleepUntil;
  }
  if (needed) wakeCv.notify_one();
}

void TMMConnector::Shared::Post() {
  lastPost = SteadyMicroseconds();
  if (pumpQueued.exchange(true)) return;
  THandle h = window ? window->Handle() : 0;
  if (!PostMessage(h, MM_CONNECTOR_PUMP)) pumpQueued = false;
}

void TMMConnector::Shared::WakerBody() {
  std::unique_lock lock(wakeMutex);
  std::int64_t wakeAt = -1;  // a capture's wake, held back to the frame pace
  while (!quit) {
    if (wake) {
      wake = false;
      if (wakeAt < 0) wakeAt = std::max(SteadyMicroseconds(), lastPost.load() + kMinCycleUs);
    }
    std::int64_t due = dueAt;
    if (wakeAt >= 0 && (due < 0 || wakeAt < due)) due = wakeAt;
    const std::int64_t now = SteadyMicroseconds();
    if (due < 0) {
      // Nothing waits: sleep to the earliest next post, where the captures meanwhile
      // find their wake taken care of, and then until told.
      const std::int64_t pace = lastPost.load() + kMinCycleUs;
      sleepUntil = pace > now ? pace : kForever;
      if (pace > now)
        wakeCv.wait_for(lock, std::chrono::microseconds(pace - now));
      else
        wakeCv.wait(lock);
      sleepUntil = kAwake;
      ++wakerWakes;
      continue;
    }
    if (due > now) {
      sleepUntil = due;
      wakeCv.wait_for(lock, std::chrono::microseconds(due - now));
      sleepUntil = kAwake;
      ++wakerWakes;
      continue;
    }
    if (dueAt >= 0 && dueAt <= now) dueAt = -1;
    wakeAt = -1;
    wakeArmed = false;
    lock.unlock();
    Post();
    lock.lock();
  }
}

TMMConnector::Shared& TMMConnector::Class() {
  static Shared shared;
  return shared;
}

std::int64_t TMMConnector::Now() {
  Shared& s = Class();
  std::lock_guard lock(s.clockMutex);
  return s.clock ? s.clock() : Shared::SteadyMicroseconds();
}

void TMMConnector::SetClock(TClock clock) {
  Shared& s = Class();
  std::lock_guard lock(s.clockMutex);
  s.clock = std::move(clock);
}

int TMMConnector::RunningCount() { return Class().running; }
std::int64_t TMMConnector::PumpCycles() { return Class().cycles.load(); }
std::int64_t TMMConnector::WakerWakes() { return Class().wakerWakes.load(); }
bool TMMConnector::EnterIdle() { return Class().enterIdle; }
void TMMConnector::SetEnterIdle(bool value) { Class().enterIdle = value; }

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
  s.SetDue(best < 0 ? -1 : std::max(Shared::SteadyMicroseconds() + best, s.lastCycle + Shared::kMinCycleUs));
}

void TMMConnector::PumpCycle() {
  Shared& s = Class();
  s.pumpQueued = false;
  if (s.inPump) return;  // reached through our own message rounds below
  s.inPump = true;
  ++s.cycles;
  s.lastCycle = Shared::SteadyMicroseconds();
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
