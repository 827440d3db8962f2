#include "platform/HandOff.h"

#include <chrono>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

namespace strataeq {
namespace {

// About the time one half of a buffer takes: long enough that a worker between two
// buffers, or a caller waiting for the other half, seldom sleeps (a futex wake-up
// costs tens of microseconds in a virtual machine), short enough to cost little when
// the other side really is idle.
constexpr auto kSpin = std::chrono::microseconds(50);

inline void Relax() {
#if defined(__x86_64__) || defined(__i386__)
  _mm_pause();
#else
  std::this_thread::yield();
#endif
}

// Returns the value once it differs from old.
std::uint32_t AwaitChange(const std::atomic<std::uint32_t>& value, std::uint32_t old) {
  std::uint32_t now = value.load(std::memory_order_acquire);
  if (now != old) return now;
  const auto until = std::chrono::steady_clock::now() + kSpin;
  for (int i = 1;; ++i) {
    Relax();
    now = value.load(std::memory_order_acquire);
    if (now != old) return now;
    if (i % 32 == 0 && std::chrono::steady_clock::now() >= until) break;
  }
  for (;;) {
    value.wait(old, std::memory_order_acquire);
    now = value.load(std::memory_order_acquire);
    if (now != old) return now;
  }
}

}  // namespace

THandOffWorker::THandOffWorker() : thread_([this] { Loop(); }) {}

THandOffWorker::~THandOffWorker() {
  quit_.store(true, std::memory_order_relaxed);
  posted_.fetch_add(1, std::memory_order_release);
  posted_.notify_one();
  thread_.join();
}

bool THandOffWorker::Begin(TJob job, void* context) {
  if (owned_.exchange(true, std::memory_order_acquire)) return false;
  job_ = job;
  context_ = context;
  posted_.fetch_add(1, std::memory_order_release);
  posted_.notify_one();
  return true;
}

void THandOffWorker::Finish() {
  const std::uint32_t target = posted_.load(std::memory_order_relaxed);
  std::uint32_t done = done_.load(std::memory_order_acquire);
  while (done != target) done = AwaitChange(done_, done);
  owned_.store(false, std::memory_order_release);
}

void THandOffWorker::Loop() {
  std::uint32_t seen = 0;
  for (;;) {
    seen = AwaitChange(posted_, seen);
    if (quit_.load(std::memory_order_relaxed)) return;
    job_(context_);
    done_.store(seen, std::memory_order_release);
    done_.notify_one();
  }
}

}  // namespace strataeq
