// The displays' shared animation clock.
#pragma once

#include <QTimer>
#include <functional>
#include <memory>
#include <vector>

namespace strataeq {

// The 25 ms animation service on the GUI thread: a registration's callback gets the
// number of whole 25 ms steps that have passed, so a late timer loses no time. The
// timer runs only while some registration is active.
class TMMAnimationTimer {
 public:
  using TCallback = std::function<bool(int steps)>;  // false: nothing left to animate
  static TMMAnimationTimer& Instance();
  int Register(TCallback callback);
  void Unregister(int id);
  // Starts the registration's steps (it is idle until then).
  void Activate(int id);
  void Suspend(int id, bool suspended);
  // Runs the steps due by now. The displays call it with each frame, so frames at the
  // animation pace carry the animation in the same wake-up of the GUI thread; the
  // timer then stands back to a fallback for when frames stop coming.
  void Step();

 private:
  static constexpr int kInterval = 25;  // ms
  static constexpr int kRestartGap = 5;  // ms between two restarts of the fallback by frames
  struct Entry;
  TMMAnimationTimer();
  void Tick();
  std::vector<std::unique_ptr<Entry>> entries_;
  int nextId_ = 1;
  QTimer timer_;
  qint64 restarted_ = 0;  // ms when frames last pushed the fallback back
};

}  // namespace strataeq
