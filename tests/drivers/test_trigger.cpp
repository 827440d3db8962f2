#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <numeric>
#include <string>
#include <thread>
#include <vector>

#include "drivers/MMTrigg.h"
#include "platform/Messages.h"

namespace strataeq {
namespace {

using namespace std::chrono_literals;

// A passive source serving a byte sequence; a load can be held until the test lets it go,
// and a load can be made to fail or to come back empty.
class Source : public TMMDSPComponent {
 public:
  explicit Source(std::size_t bytes) : data_(bytes) {
    for (std::size_t i = 0; i < bytes; ++i) data_[i] = static_cast<std::uint8_t>(i * 7 + i / 256);
    const TWaveFormatEx f = BuildPcmFormat(16, 2, 44100);
    SetPWaveFormat(&f);
  }
  void BufferLoad(PMMWaveHdr h, bool& more) override {
    const int n = ++loads_;
    if (n == holdAt) {
      std::unique_lock lock(m_);
      held_ = true;
      cv_.notify_all();
      cv_.wait(lock, [this] { return released_; });
    }
    if (n == throwAt) throw EMMError("source failed");
    if (n == emptyAt) {
      h->dwBytesRecorded = 0;
      more = true;
      return;
    }
    const std::size_t count = std::min<std::size_t>(h->dwBufferLength, data_.size() - pos_);
    std::copy_n(data_.begin() + static_cast<std::ptrdiff_t>(pos_), count, h->lpData);
    pos_ += count;
    h->dwBytesRecorded = static_cast<std::int32_t>(count);
    more = pos_ < data_.size();
    returned_ = n;
  }
  void WaitUntilHeld() {
    std::unique_lock lock(m_);
    cv_.wait(lock, [this] { return held_; });
  }
  void Release() {
    std::lock_guard lock(m_);
    released_ = true;
    cv_.notify_all();
  }
  const std::vector<std::uint8_t>& Data() const { return data_; }
  int holdAt = 0, throwAt = 0, emptyAt = 0;
  std::atomic<int> returned_{0};

 private:
  std::vector<std::uint8_t> data_;
  std::size_t pos_ = 0;
  std::atomic<int> loads_{0};
  std::mutex m_;
  std::condition_variable cv_;
  bool held_ = false, released_ = false;
};

class Sink : public TMMDSPComponent {
 public:
  void BufferReady(PMMWaveHdr h) override {
    lengths.push_back(h->dwBufferLength);
    bytes.insert(bytes.end(), h->lpData, h->lpData + h->dwBufferLength);
    if (IsMainThread()) pushedOnMain = true;
    ++pushes;
  }
  std::vector<std::uint32_t> lengths;
  std::atomic<std::size_t> pushes{0};  // read while a cycle may still push
  std::vector<std::uint8_t> bytes;
  bool pushedOnMain = false;
};

class TriggerChain : public ::testing::Test {
 protected:
  void Wire(std::size_t bytes, int bufferSize) {
    source = std::make_unique<Source>(bytes);
    trigger.SetBufferSize(bufferSize);
    source->SetOutput(&trigger);
    trigger.SetOutput(&sink);
    trigger.OnStop = [this](TObject*) {
      events.push_back("Stop");
      stopOnMain = IsMainThread();
    };
    trigger.OnClose = [this](TObject*) { events.push_back("Close"); };
    trigger.OnError = [this](TObject*) { ++errors; };
  }
  int Count(const std::string& e) const { return static_cast<int>(std::count(events.begin(), events.end(), e)); }

  // Declared before the chain: the trigger's destruction still fires events into them.
  std::vector<std::string> events;
  std::atomic<int> errors{0};
  bool stopOnMain = false;
  std::unique_ptr<Source> source;
  Sink sink;
  TMMTrigger trigger;
};

TEST_F(TriggerChain, MovesEveryByteInOrderThenStopsOnceOnTheMainThread) {
  Wire(10000, 4096);
  trigger.Start();
  ASSERT_TRUE(RunUntil([&] { return Count("Stop") > 0; }, 10s));
  RunUntil([] { return false; }, 50ms);  // a second stop would arrive meanwhile
  EXPECT_EQ(Count("Stop"), 1);
  EXPECT_TRUE(stopOnMain);
  EXPECT_FALSE(sink.pushedOnMain);
  EXPECT_EQ(sink.lengths, (std::vector<std::uint32_t>{4096, 4096, 1808}));
  EXPECT_EQ(sink.bytes, source->Data());
  EXPECT_EQ(trigger.BytesPushed(), 10000);
  EXPECT_TRUE(trigger.HasState(TMMTriggerState::trOpened));
  EXPECT_FALSE(trigger.HasState(TMMTriggerState::trStarted));
  EXPECT_FALSE(sink.Started());
  EXPECT_EQ(errors, 0);
}

TEST_F(TriggerChain, DataEndingOnABufferBoundaryEndsCleanly) {
  Wire(3 * 4096, 4096);
  trigger.Start();
  ASSERT_TRUE(RunUntil([&] { return Count("Stop") > 0; }, 10s));
  EXPECT_EQ(sink.lengths, (std::vector<std::uint32_t>{4096, 4096, 4096}));
  EXPECT_EQ(errors, 0);
}

TEST_F(TriggerChain, RestartsForASecondRun) {
  Wire(5000, 2048);
  trigger.Start();
  ASSERT_TRUE(RunUntil([&] { return Count("Stop") == 1; }, 10s));
  source = std::make_unique<Source>(3000);
  source->SetOutput(&trigger);
  sink.bytes.clear();
  trigger.Start();
  ASSERT_TRUE(RunUntil([&] { return Count("Stop") == 2; }, 10s));
  EXPECT_EQ(sink.bytes, source->Data());
}

TEST_F(TriggerChain, StopDuringACycleWaitsForTheCycleToEnd) {
  Wire(20000, 2048);
  source->holdAt = 2;  // the first load is Start's; the second runs in a worker cycle
  trigger.Start();
  source->WaitUntilHeld();
  trigger.Stop();
  EXPECT_EQ(Count("Stop"), 0);
  EXPECT_TRUE(trigger.HasState(TMMTriggerState::trStarted));
  source->Release();
  ASSERT_TRUE(RunUntil([&] { return Count("Stop") > 0; }, 10s));
  EXPECT_EQ(source->returned_, 2);  // the held cycle finished before OnStop
  EXPECT_FALSE(trigger.HasState(TMMTriggerState::trStarted));
  RunUntil([] { return false; }, 30ms);
  EXPECT_EQ(Count("Stop"), 1);
  EXPECT_LT(sink.bytes.size(), source->Data().size());
}

TEST_F(TriggerChain, CloseDuringACycleCompletesAfterTheDeferredStop) {
  Wire(20000, 2048);
  source->holdAt = 2;
  trigger.Start();
  source->WaitUntilHeld();
  trigger.Close();
  EXPECT_TRUE(events.empty());
  EXPECT_TRUE(trigger.HasState(TMMTriggerState::trOpened));
  source->Release();
  ASSERT_TRUE(RunUntil([&] { return Count("Close") > 0; }, 10s));
  EXPECT_EQ(events, (std::vector<std::string>{"Stop", "Close"}));
  EXPECT_TRUE(trigger.HasState(TMMTriggerState::trClosed));
  EXPECT_FALSE(source->Opened());
  EXPECT_FALSE(sink.Opened());
}

TEST_F(TriggerChain, AnEmptyFirstLoadFailsStartAndLeavesTheTriggerClosed) {
  Wire(0, 2048);
  try {
    trigger.Start();
    FAIL() << "Start succeeded without data";
  } catch (const EMMTriggerError& e) {
    EXPECT_STREQ(e.what(), "TriggerStart:\n\rUnable to start device");
  }
  EXPECT_EQ(errors, 1);
  EXPECT_TRUE(trigger.HasState(TMMTriggerState::trClosed));
  EXPECT_FALSE(trigger.HasState(TMMTriggerState::trOpened));
  EXPECT_FALSE(source->Opened());
  EXPECT_FALSE(sink.Opened());
}

class WorkerFailure : public TriggerChain, public ::testing::WithParamInterface<bool> {};

// A failing or empty load inside a cycle reaches the application's exception handler
// on the main thread, and the trigger closes.
TEST_P(WorkerFailure, ReachesTheApplicationHandlerAndClosesTheTrigger) {
  const bool throws = GetParam();
  Wire(20000, 2048);
  (throws ? source->throwAt : source->emptyAt) = 3;
  std::string reported;
  bool reportedOnMain = false;
  Application().OnException = [&](std::exception_ptr e) {
    reported = ExceptionMessage(e);
    reportedOnMain = IsMainThread();
  };
  trigger.Start();
  ASSERT_TRUE(RunUntil([&] { return Count("Close") > 0 && !reported.empty(); }, 10s));
  Application().OnException = nullptr;
  EXPECT_EQ(reported, throws ? "source failed" : "Error filling wave buffer");
  EXPECT_TRUE(reportedOnMain);
  EXPECT_GE(errors, 1);
  EXPECT_TRUE(trigger.HasState(TMMTriggerState::trClosed));
  EXPECT_FALSE(sink.Opened());
  EXPECT_EQ(sink.lengths.size(), 2u);  // the buffers loaded before the failure got through
}
INSTANTIATE_TEST_SUITE_P(ThrowOrEmpty, WorkerFailure, ::testing::Bool());

TEST_F(TriggerChain, PauseHoldsTheWorkerAndRestartResumesIt) {
  Wire(60000, 256);
  trigger.SetInterval(1);
  trigger.Start();
  trigger.Pause();
  const std::size_t atPause = sink.pushes;
  RunUntil([] { return false; }, 30ms);
  EXPECT_LE(sink.pushes, atPause + 1);  // at most the cycle under way finishes
  trigger.Restart();
  trigger.SetInterval(0);
  ASSERT_TRUE(RunUntil([&] { return Count("Stop") > 0; }, 20s));
  EXPECT_EQ(sink.bytes, source->Data());
}

TEST(TriggerProperties, BufferSizeIntervalAndFormatRules) {
  TMMTrigger t;
  EXPECT_EQ(t.BufferSize(), 2048);
  t.SetBufferSize(10);
  EXPECT_EQ(t.BufferSize(), 32);
  EXPECT_EQ(t.Interval(), 0);
  t.SetInterval(0);
  EXPECT_EQ(t.Interval(), 0);
  t.SetInterval(5);
  t.SetInterval(0);
  EXPECT_EQ(t.Interval(), 1);

  int errors = 0;
  t.OnError = [&](TObject*) { ++errors; };
  try {
    t.Open();
    FAIL();
  } catch (const EMMTriggerError& e) {
    EXPECT_STREQ(e.what(), "TriggerOpen:\n\rInvalid wave format");
  }
  EXPECT_EQ(errors, 1);

  const TWaveFormatEx f = BuildPcmFormat(16, 2, 44100);
  t.SetPWaveFormat(&f);
  t.SetBufferSize(1002);
  t.Open();
  EXPECT_EQ(t.BufferSize(), 1000);
  try {
    t.SetBufferSize(4096);
    FAIL();
  } catch (const EMMTriggerError& e) {
    EXPECT_STREQ(e.what(), "Change to property while device was open");
  }
  t.Close();
  t.SetBufferSize(4096);
  EXPECT_EQ(t.BufferSize(), 4096);
}

}  // namespace
}  // namespace strataeq
