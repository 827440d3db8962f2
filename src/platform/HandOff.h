// A thread kept for one job at a time, handed over and waited for without a lock or an
// allocation: a caller splits its work in two, gives one half to the worker, does the
// other itself and waits for the worker's. The halves are short and follow each other
// closely, so both sides spin a little before they sleep.
#pragma once

#include <atomic>
#include <cstdint>
#include <thread>

namespace strataeq {

class THandOffWorker {
 public:
  // Runs on the worker; must not throw.
  using TJob = void (*)(void* context) noexcept;

  THandOffWorker();   // starts the thread
  ~THandOffWorker();  // ends and joins it; no job may be handed over any more
  THandOffWorker(const THandOffWorker&) = delete;
  THandOffWorker& operator=(const THandOffWorker&) = delete;

  // Gives job to the worker and returns at once; false (nothing handed over) while
  // another caller's job is between its Begin and its Finish.
  bool Begin(TJob job, void* context);
  // After a Begin that returned true: waits until that job has returned.
  void Finish();
  // Jobs handed over since creation.
  std::uint32_t Handed() const { return posted_.load(std::memory_order_relaxed) - (quit_.load() ? 1 : 0); }

 private:
  void Loop();

  std::atomic<bool> owned_{false};
  TJob job_ = nullptr;  // published by posted_
  void* context_ = nullptr;
  std::atomic<std::uint32_t> posted_{0};  // jobs handed over
  std::atomic<std::uint32_t> done_{0};    // jobs returned
  std::atomic<bool> quit_{false};
  std::thread thread_;
};

}  // namespace strataeq
