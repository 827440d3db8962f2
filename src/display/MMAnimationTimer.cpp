#include "display/MMAnimationTimer.h"

#include <QDateTime>
#include <algorithm>

namespace strataeq {

struct TMMAnimationTimer::Entry {
  int id = 0;
  TCallback callback;
  bool active = false;
  int suspended = 0;
  qint64 last = 0;  // ms of the last whole step
};

TMMAnimationTimer& TMMAnimationTimer::Instance() {
  static TMMAnimationTimer timer;
  return timer;
}

TMMAnimationTimer::TMMAnimationTimer() {
  timer_.setInterval(kInterval);
  timer_.setTimerType(Qt::PreciseTimer);
  QObject::connect(&timer_, &QTimer::timeout, [this] {
    if (timer_.interval() != kInterval) timer_.start(kInterval);
    Tick();
  });
}

int TMMAnimationTimer::Register(TCallback callback) {
  auto e = std::make_unique<Entry>();
  e->id = nextId_++;
  e->callback = std::move(callback);
  entries_.push_back(std::move(e));
  return entries_.back()->id;
}

void TMMAnimationTimer::Unregister(int id) {
  std::erase_if(entries_, [id](const auto& e) { return e->id == id; });
  if (entries_.empty()) timer_.stop();
}

void TMMAnimationTimer::Activate(int id) {
  for (auto& e : entries_)
    if (e->id == id && !e->active) {
      e->active = true;
      e->last = QDateTime::currentMSecsSinceEpoch();
    }
  if (!timer_.isActive()) timer_.start();
}

void TMMAnimationTimer::Suspend(int id, bool suspended) {
  for (auto& e : entries_)
    if (e->id == id) e->suspended = std::max(0, e->suspended + (suspended ? 1 : -1));
}

void TMMAnimationTimer::Step() {
  if (!timer_.isActive()) return;
  Tick();
  if (!timer_.isActive()) return;
  // The frames of one pass come within a millisecond or two: restarting the timer for
  // each of them would only re-register it again and again.
  const qint64 now = QDateTime::currentMSecsSinceEpoch();
  if (now - restarted_ < kRestartGap) return;
  restarted_ = now;
  timer_.start(2 * kInterval);
}

void TMMAnimationTimer::Tick() {
  const qint64 now = QDateTime::currentMSecsSinceEpoch();
  bool any = false;
  for (std::size_t i = 0; i < entries_.size(); ++i) {
    Entry& e = *entries_[i];
    if (!e.active) continue;
    const int steps = static_cast<int>((now - e.last) / 25);
    if (steps <= 0) {
      any = true;
      continue;
    }
    e.last += 25LL * steps;
    if (e.suspended > 0) {
      any = true;
      continue;
    }
    e.active = e.callback(steps);
    any = any || e.active;
  }
  if (!any) timer_.stop();
}

}  // namespace strataeq
