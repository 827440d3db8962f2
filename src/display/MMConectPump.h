// The connector's class-wide pump: the list of connectors, the message window whose
// pump cycle feeds the displays on the main thread, and the waker thread that posts
// the cycle when a capture or a due frame asks for it. Only the connector's sources
// include this.
#pragma once

#include <atomic>
#include <climits>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "display/MMConect.h"

namespace strataeq {

// Class-wide state. The list, the window, the counts and the Speed are the main
// thread's; the waker's fields are shared with the audio threads under wakeMutex.
struct TMMConnector::Shared {
  // The pump wakes for due frames at most this often, a screen refresh of the displays,
  // and then serves every frame that has come due: the screen shows them no faster
  // anyway (the displays copy to it at most once per refresh), and each wake-up of the
  // GUI thread costs more than a frame.
  static constexpr std::int64_t kMinCycleUs = 25000;
  static std::int64_t SteadyMicroseconds();

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
  // Set by the first capture after a post: later captures before the post need not
  // wake the waker again (a buffer every few milliseconds would wake it each time).
  std::atomic<bool> wakeArmed{false};
  bool quit = false;
  std::int64_t dueAt = -1;  // steady-clock microseconds, -1 none
  // When the sleeping waker wakes by itself (steady-clock microseconds): a due time or a
  // capture's wake no earlier needs no notification, which would only wake it to sleep
  // again. kAwake while it runs (it reads everything before it sleeps).
  static constexpr std::int64_t kAwake = INT64_MIN, kForever = INT64_MAX;
  std::int64_t sleepUntil = kAwake;
  std::atomic<std::int64_t> wakerWakes{0};
  std::atomic<bool> pumpQueued{false};
  std::int64_t lastCycle = 0;  // steady-clock microseconds, main thread

  void Notify();
  void SetDue(std::int64_t at);
  // A capture wakes the main thread no sooner than a refresh after the last wake: at
  // short live latencies buffers come every few milliseconds, and a wake per buffer cost
  // more in task switches than the drawing. The one pump cycle serves every frame due.
  std::atomic<std::int64_t> lastPost{-kMinCycleUs};

  void Post();
  void WakerBody();
};

}  // namespace strataeq
