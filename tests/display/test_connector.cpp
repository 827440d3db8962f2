#include "display/MMConect.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

namespace strataeq {
namespace {

constexpr int kSpectra = 4;

// A display that records what it is handed and when (on the connector's clock).
class TFakeDisplay : public TMMConnectorDisplay {
 public:
  explicit TFakeDisplay(std::int32_t frameSize = 512) : frameSize_(frameSize) {}
  ~TFakeDisplay() override { DetachFromConnectors(); }
  std::int32_t FrameSize() const override { return frameSize_; }
  void SetDataFormat(const TWaveFormatEx* f) override { rate = f->nSamplesPerSec; }
  void ProcessFrame(const void* data) override {
    frames.push_back(static_cast<const std::uint8_t*>(data)[0] | static_cast<const std::uint8_t*>(data)[1] << 8);
    times.push_back(*now);
  }
  void ResetDisplay() override { ++resets; }

  std::int32_t frameSize_;
  const std::int64_t* now = &zero;
  std::int64_t zero = 0;
  std::uint32_t rate = 0;
  std::vector<int> frames;  // first 16-bit word of each frame: its byte offset
  std::vector<std::int64_t> times;
  int resets = 0;
};

class TSource : public TMMDSPComponent {};

class ConnectorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    TMMConnector::SetClock([this] { return now_; });
    format_ = BuildPcmFormat(TMMBits::b16Bit, TMMMode::mStereo, 44100);  // 176400 bytes per second
    source_.SetPWaveFormat(&format_);
    source_.SetOutput(&connector_);
    connector_.SetBufferSize(8192);
    // Each 16-bit word holds its own byte offset, so a frame tells where it started.
    buffer_ = AllocWaveHeader(8192);
    auto* words = reinterpret_cast<std::uint16_t*>(buffer_->lpData);
    for (int i = 0; i < 4096; ++i) words[i] = static_cast<std::uint16_t>(2 * i);
    buffer_->dwBufferLength = 8192;
    buffer_->dwBytesRecorded = 8192;
  }
  void TearDown() override {
    connector_.Stop();
    ProcessPendingMessages();
    TMMConnector::SetClock(nullptr);
  }
  void StartConnector() {
    connector_.Open();
    connector_.Start();
    ProcessPendingMessages();  // the start message marks it running
  }

  std::int64_t now_ = 1'000'000;
  TWaveFormatEx format_{};
  TSource source_;
  TMMConnector connector_;
  TWaveHdrBlock buffer_;
};

TEST_F(ConnectorTest, FramesOfABufferArePacedToTheirPlayingTimeThenThePendingFlagClears) {
  TFakeDisplay left, right;
  left.now = right.now = &now_;
  connector_.SetSpectrum1(&left);
  connector_.SetSpectrum2(&right);
  connector_.SetAutoTrigger(false);
  StartConnector();
  ASSERT_TRUE(connector_.IsRunning());
  EXPECT_EQ(left.rate, 44100u) << "the display format is handed over";

  const std::int64_t captured = now_;
  connector_.BufferReady(buffer_.get());
  ASSERT_TRUE(connector_.Pending(kSpectra));
  // Cycles every 100 µs for 60 ms.
  for (int step = 0; step <= 600; ++step) {
    connector_.Trigger();
    now_ += 100;
  }
  std::vector<int> expected;
  for (int p = 0; p <= 7680; p += 512) expected.push_back(p);
  EXPECT_EQ(left.frames, expected);
  EXPECT_EQ(right.frames, expected);
  ASSERT_EQ(left.times.size(), expected.size());
  for (std::size_t i = 0; i < expected.size(); ++i) {
    const std::int64_t due = captured + static_cast<std::int64_t>(expected[i]) * 1000000 / 176400;
    EXPECT_GE(left.times[i], due) << "frame at " << expected[i] << " too early";
    EXPECT_LT(left.times[i], due + 100) << "frame at " << expected[i] << " late";
  }
  EXPECT_EQ(left.times[1] - captured, 2902 - 2902 % 100 + 100) << "offset 512 is due 2902 µs after capture";
  EXPECT_FALSE(connector_.Pending(kSpectra));
}

TEST_F(ConnectorTest, WithoutSynchronizeEachCycleServesTheNextFrame) {
  TFakeDisplay d;
  connector_.SetSpectrum1(&d);
  connector_.SetAutoTrigger(false);
  connector_.SetSynchronize(false);
  StartConnector();
  connector_.BufferReady(buffer_.get());
  for (int i = 0; i < 16; ++i) connector_.Trigger();
  EXPECT_EQ(d.frames.size(), 16u);
  EXPECT_TRUE(connector_.Pending(kSpectra));
  connector_.Trigger();
  EXPECT_FALSE(connector_.Pending(kSpectra)) << "8192 / 512 cycles exhaust the buffer";
  EXPECT_EQ(d.frames.size(), 16u);
}

TEST_F(ConnectorTest, SlotRulesSpeedAndTrigger) {
  TFakeDisplay scope, spectrum;
  connector_.SetOscope1(&scope);
  connector_.SetOscope2(&scope);
  EXPECT_EQ(connector_.Oscope2(), nullptr) << "one oscilloscope cannot sit in both slots";
  connector_.SetSpectrum1(&spectrum);
  connector_.SetSpectrum2(&spectrum);
  EXPECT_EQ(connector_.Spectrum2(), &spectrum) << "spectrum slots make no cross check";

  {
    TFakeDisplay gone;
    connector_.SetSpectrum3(&gone);
    connector_.SetSpectrum4(&gone);
  }
  EXPECT_EQ(connector_.Spectrum3(), nullptr) << "a destroyed display leaves its slots";
  EXPECT_EQ(connector_.Spectrum4(), nullptr);

  connector_.SetSpeed(0);
  EXPECT_EQ(connector_.Speed(), 1);
  connector_.SetSpeed(9000);
  EXPECT_EQ(connector_.Speed(), 5000);

  connector_.Open();
  EXPECT_THROW(connector_.SetRealTime(false), EMMConnectorError);
  EXPECT_TRUE(connector_.RealTime());

  connector_.Start();
  ProcessPendingMessages();
  connector_.BufferReady(buffer_.get());
  connector_.Trigger();
  EXPECT_TRUE(spectrum.frames.empty()) << "Trigger does nothing while AutoTrigger is on";
}

TEST_F(ConnectorTest, RefreshOnStopAndEnabledResetTheDisplays) {
  TFakeDisplay d;
  connector_.SetSpectrum1(&d);
  connector_.SetRefreshOnStop(false);
  StartConnector();
  connector_.Stop();
  EXPECT_EQ(d.resets, 0) << "the last picture stays";

  connector_.SetRefreshOnStop(true);
  connector_.Start();
  ProcessPendingMessages();
  connector_.Stop();
  EXPECT_EQ(d.resets, 1);

  connector_.Start();
  ProcessPendingMessages();
  EXPECT_EQ(TMMConnector::RunningCount(), 1);
  connector_.SetEnabled(false);
  EXPECT_EQ(d.resets, 2) << "switching Enabled off always clears";
  EXPECT_EQ(TMMConnector::RunningCount(), 0);
  connector_.BufferReady(buffer_.get());
  EXPECT_FALSE(connector_.Pending(kSpectra)) << "a disabled connector captures nothing";
}

TEST_F(ConnectorTest, PausingFeedsSilenceAtTheBufferRate) {
  TFakeDisplay d;
  connector_.SetSpectrum1(&d);
  connector_.SetAutoTrigger(false);
  connector_.SetSynchronize(false);
  StartConnector();
  connector_.BufferReady(buffer_.get());
  connector_.Pause();
  EXPECT_FALSE(connector_.Pending(kSpectra)) << "starting the pause timer clears the pending flags";
  ASSERT_TRUE(RunUntil([&] { return connector_.Pending(kSpectra); }, std::chrono::seconds(10)));
  connector_.Trigger();
  ASSERT_EQ(d.frames.size(), 1u);
  EXPECT_EQ(d.frames[0], 0) << "the silent buffer";
  connector_.Restart();
  EXPECT_FALSE(connector_.IsPaused());
}

// With the real clock: the pump is woken by the capture and by due times only, so a
// buffer costs about one cycle per frame and an idle connector posts nothing.
TEST_F(ConnectorTest, ThePumpSleepsBetweenFramesAndStopsWhenTheBufferIsDone) {
  TMMConnector::SetClock(nullptr);
  TFakeDisplay d;
  connector_.SetSpectrum1(&d);
  StartConnector();
  ASSERT_EQ(TMMConnector::RunningCount(), 1);
  ProcessPendingMessages();
  const std::int64_t before = TMMConnector::PumpCycles();
  connector_.BufferReady(buffer_.get());
  ASSERT_TRUE(RunUntil([&] { return !connector_.Pending(kSpectra); }, std::chrono::seconds(10)));
  EXPECT_EQ(d.frames.size(), 16u);
  const std::int64_t cycles = TMMConnector::PumpCycles() - before;
  EXPECT_LE(cycles, 40) << "a spinning pump cycles thousands of times in 46 ms";
  EXPECT_FALSE(WaitForMessage(std::chrono::milliseconds(100))) << "nothing is posted while nothing is due";
  EXPECT_EQ(TMMConnector::PumpCycles() - before, cycles);
}

// Captures every 2 ms, as at a short live latency, from an audio thread: the GUI thread
// is woken at most once a screen refresh (25 ms), the waker about as rarely, and the
// frames still reach the display.
TEST_F(ConnectorTest, RapidCapturesWakeTheGuiThreadAtMostOnceARefresh) {
  TMMConnector::SetClock(nullptr);
  TFakeDisplay d;
  connector_.SetSpectrum1(&d);
  connector_.SetSynchronize(false);
  StartConnector();
  ProcessPendingMessages();
  const std::int64_t before = TMMConnector::PumpCycles();
  const std::int64_t wakerBefore = TMMConnector::WakerWakes();
  std::atomic<bool> stop{false};
  const auto start = std::chrono::steady_clock::now();
  std::thread audio([&] {
    while (!stop) {
      connector_.BufferReady(buffer_.get());
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  });
  RunUntil([] { return false; }, std::chrono::milliseconds(300));
  stop = true;
  audio.join();
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
  const std::int64_t cycles = TMMConnector::PumpCycles() - before;
  EXPECT_LE(cycles, ms / 25 + 2) << "in " << ms << " ms";
  EXPECT_LE(TMMConnector::WakerWakes() - wakerBefore, 2 * (ms / 25 + 2)) << "nor is the waker woken per capture";
  EXPECT_GE(d.frames.size(), 3u);
}

}  // namespace
}  // namespace strataeq
