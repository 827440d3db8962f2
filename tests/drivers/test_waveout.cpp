#include "drivers/MMWavOut.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>

#include "drivers/MMRingBf.h"
#include "drivers/MMWavIn.h"
#include "platform/WaveApiVirtual.h"
#include "wave_test_util.h"

namespace strataeq {
namespace {

using test::ErrorOf;
using test::Pattern;

constexpr auto kWait = std::chrono::seconds(20);

// A clip of Length bytes that starts again at its end while the puller asks for loops,
// marking the buffer in which it wrapped.
class TLoopingSource : public TMMDSPComponent {
 public:
  explicit TLoopingSource(std::int32_t length) : length_(length) {}
  void BufferLoad(PMMWaveHdr h, bool& more) override {
    std::int32_t n = 0;
    const auto want = static_cast<std::int32_t>(h->dwBufferLength);
    while (n < want) {
      if (pos_ == length_) {
        if (!h->LoopRec) break;
        pos_ = 0;
        h->LoopMark = -1;
        if (h->LoopCount > 0) --h->LoopTempCount;
      }
      const std::int32_t take = std::min(want - n, length_ - pos_);
      for (std::int32_t i = 0; i < take; ++i) h->lpData[n + i] = static_cast<char>(test::PatternByte(pos_ + i));
      n += take;
      pos_ += take;
    }
    h->dwBytesRecorded = n;
    more = n == want;
  }

 private:
  const std::int32_t length_;
  std::int32_t pos_ = 0;
};

class WaveOutTest : public ::testing::Test {
 protected:
  void SetUp() override { audio_ = TVirtualAudio::Install(2, 2); }
  void TearDown() override {
    ProcessPendingMessages();
    SetWaveBackend(nullptr);
  }
  // A player of 44.1 kHz 16-bit stereo from input to sink_.
  std::unique_ptr<TMMWaveOut> MakePlayer(TMMDSPComponent* input, TMMCBMode mode, std::int32_t bufferSize = 4096,
                                         std::int32_t buffers = 4) {
    const TWaveFormatEx f = BuildPcmFormat(TMMBits::b16Bit, TMMMode::mStereo, 44100);
    input->SetPWaveFormat(&f);
    auto w = std::make_unique<TMMWaveOut>();
    w->SetBufferSize(bufferSize);
    w->SetNumBuffers(buffers);
    w->SetCallBackMode(mode);
    w->SetInput(input);
    w->SetOutput(&sink_);
    w->OnError = log_.Note("error");
    w->OnOpen = log_.Note("open");
    w->OnStart = log_.Note("start");
    w->OnStop = log_.Note("stop");
    w->OnClose = log_.Note("close");
    w->OnLooping = log_.Note("looping");
    return w;
  }
  // Waits until the player has handled its k-th played buffer completely: counted,
  // pushed, refilled and written back, so that the device holds `queued` again.
  bool Handled(const TMMWaveOut& w, std::int64_t k, std::int32_t size, int queued, int device = 0) {
    return RunUntil(
        [&] { return w.BytesHandedBack() == k * size && audio_->QueuedBuffers(TWaveDir::Output, device) == queued; },
        kWait);
  }
  // Plays buffer by buffer until the player stops.
  bool PlayToTheEnd() {
    return RunUntil(
        [&] {
          audio_->Step(TWaveDir::Output, 0, 1);
          return log_.Count("stop") > 0;
        },
        kWait);
  }

  std::shared_ptr<TVirtualAudio> audio_;
  test::TAppCapture app_;
  test::TRecordingSink sink_;
  test::TEventLog log_;
};

class WaveOutModes : public WaveOutTest, public ::testing::WithParamInterface<TMMCBMode> {};

TEST_P(WaveOutModes, APartialLastBufferPlaysThenOnStop) {
  test::TPatternSource source(10000);
  auto w = MakePlayer(&source, GetParam());
  w->Start();
  EXPECT_EQ(w->BuffersInUse(), 3);
  EXPECT_EQ(audio_->QueuedBuffers(TWaveDir::Output, 0), 3);
  ASSERT_TRUE(PlayToTheEnd());
  EXPECT_EQ(audio_->Played(0), Pattern(0, 10000));
  EXPECT_EQ(sink_.Sizes(), (std::vector<std::int32_t>{4096, 4096, 1808})) << "played buffers go downstream in order";
  EXPECT_EQ(sink_.Data(), Pattern(0, 10000));
  EXPECT_EQ(w->BytesHandedBack(), 10000);
  EXPECT_FALSE(w->HasState(TMMWaveOutState::wosStarted));
  ProcessPendingMessages();
  EXPECT_EQ(log_.Count("stop"), 1);
  w->Close();
  EXPECT_EQ(log_.All(), (std::vector<std::string>{"open", "start", "stop", "close"}));
  EXPECT_FALSE(audio_->IsOpen(TWaveDir::Output, 0));
}

TEST_P(WaveOutModes, BuffersThatAllPlayBeforeTheirReportsAreHandledStillAllGoDownstream) {
  test::TPatternSource source(10000);
  auto w = MakePlayer(&source, GetParam());
  w->Start();
  ASSERT_EQ(audio_->Step(TWaveDir::Output, 0, 3), 3);  // the device runs ahead of the reports
  ASSERT_TRUE(RunUntil([&] { return log_.Count("stop") == 1; }, kWait));
  EXPECT_EQ(sink_.Sizes(), (std::vector<std::int32_t>{4096, 4096, 1808}));
  EXPECT_EQ(w->BytesHandedBack(), 10000);
  w->Close();
}

TEST_P(WaveOutModes, LongInputIsRefilledInPlaceAndPlaysInOrder) {
  test::TPatternSource source(4096 * 11 + 100);
  auto w = MakePlayer(&source, GetParam());
  w->Start();
  ASSERT_TRUE(PlayToTheEnd());
  EXPECT_EQ(audio_->Played(0), Pattern(0, 4096 * 11 + 100));
  EXPECT_EQ(sink_.Count(), 12);
  w->Close();
}

TEST_P(WaveOutModes, LostDeviceEndsInOnErrorAndAClosedComponent) {
  test::TPatternSource source;
  auto w = MakePlayer(&source, GetParam());
  w->Start();
  audio_->LoseDeviceAfter(TWaveDir::Output, 0, 2);
  ASSERT_TRUE(RunUntil(
      [&] {
        audio_->Step(TWaveDir::Output, 0, 1);
        return w->HasState(TMMWaveOutState::wosClosed) && !app_.Exceptions().empty();
      },
      kWait));
  EXPECT_EQ(log_.Count("error"), 1);
  EXPECT_EQ(log_.Count("stop"), 1);
  EXPECT_EQ(log_.Count("close"), 1);
  ASSERT_EQ(app_.Exceptions().size(), 1u);
  EXPECT_EQ(app_.Exceptions()[0], "WaveOut:\n\rThe device was removed or stopped working");
  EXPECT_FALSE(audio_->IsOpen(TWaveDir::Output, 0));
}

INSTANTIATE_TEST_SUITE_P(CallBackModes, WaveOutModes, ::testing::Values(TMMCBMode::cmWindow, TMMCBMode::cmThread),
                         [](const auto& info) { return info.param == TMMCBMode::cmWindow ? "cmWindow" : "cmThread"; });

TEST_F(WaveOutTest, NothingAtStartFailsWithUnableToStartDeviceAndEndsClosed) {
  test::TPatternSource source(0);
  auto w = MakePlayer(&source, TMMCBMode::cmThread);
  EXPECT_EQ(ErrorOf([&] { w->Start(); }), "WaveOutStart:\n\rUnable to start device");
  EXPECT_EQ(log_.Count("error"), 1);
  EXPECT_EQ(log_.Count("start"), 0);
  EXPECT_TRUE(w->HasState(TMMWaveOutState::wosClosed));
  EXPECT_FALSE(audio_->IsOpen(TWaveDir::Output, 0));
}

TEST_F(WaveOutTest, PositionKeepsIncreasingAcrossACounterWrap) {
  audio_->SetPositionWrap(1u << 20);
  test::TPatternSource source;
  const TWaveFormatEx f = BuildPcmFormat(TMMBits::b8Bit, TMMMode::mMono, 8000);
  source.SetPWaveFormat(&f);
  TMMWaveOut w;
  w.SetBufferSize(65536);
  w.SetNumBuffers(4);
  w.SetCallBackMode(TMMCBMode::cmThread);
  w.SetTimeFormat(TMMTimeFormats::tfSample);
  w.SetInput(&source);
  w.Start();
  for (std::int64_t k = 1; k <= 40; ++k) {  // 2.6 million samples: the counter wraps twice
    ASSERT_EQ(audio_->Step(TWaveDir::Output, 0, 1), 1);
    ASSERT_TRUE(Handled(w, k, 65536, 4));
    ASSERT_EQ(w.Position(), k * 65536) << "after buffer " << k;
  }
  w.SetTimeFormat(TMMTimeFormats::tfMillisecond);
  EXPECT_EQ(w.Position(), std::int64_t{40} * 65536 * 1000 / 8000);
  w.Close();
}

TEST_F(WaveOutTest, LoopingFiresOnLoopingWhenTheWrapHasPlayedAndRestartsThePosition) {
  TLoopingSource clip(10000);
  auto w = MakePlayer(&clip, TMMCBMode::cmThread);
  w->SetLooping(true);
  w->SetTimeFormat(TMMTimeFormats::tfByte);
  std::vector<std::int64_t> positions;
  w->OnLooping = [&](TObject*) {
    log_.Add("looping");
    positions.push_back(w->Position());
  };
  w->Start();
  // Buffer 3 (bytes 8192..12287) holds the first wrap, buffer 5 (16384..20479) the second.
  for (int k = 1; k <= 5; ++k) {
    ASSERT_EQ(audio_->Step(TWaveDir::Output, 0, 1), 1);
    ASSERT_TRUE(Handled(*w, k, 4096, 4));
    EXPECT_EQ(log_.Count("looping"), k < 3 ? 0 : k < 5 ? 1 : 2) << "after buffer " << k;
  }
  EXPECT_EQ(positions, (std::vector<std::int64_t>{0, 0}));
  ASSERT_EQ(audio_->Step(TWaveDir::Output, 0, 1), 1);
  ASSERT_TRUE(Handled(*w, 6, 4096, 4));
  EXPECT_EQ(w->Position(), 4096);
  std::vector<std::uint8_t> expected;
  for (int i = 0; i < 6 * 4096; ++i) expected.push_back(test::PatternByte(i % 10000));
  EXPECT_EQ(audio_->Played(0), expected);
  w->Close();
}

TEST_F(WaveOutTest, PropertyRulesAndFailuresCarryTheirMessages) {
  test::TPatternSource source;
  TMMWaveOut w;
  w.SetNumBuffers(0);
  EXPECT_EQ(w.NumBuffers(), 10);
  w.SetNumBuffers(600);
  EXPECT_EQ(w.NumBuffers(), 500);
  w.SetBufferSize(16);
  EXPECT_EQ(w.BufferSize(), 32);
  EXPECT_EQ(w.ProductName(), "Virtual output 0");
  EXPECT_EQ(ErrorOf([&] { w.Open(); }), "WaveOutOpen:\n\rInvalid wave format");
  w.SetDeviceID(5);
  EXPECT_EQ(w.DeviceID(), InvalidId);
  EXPECT_EQ(w.ProductName(), "No wave audio playing device found");
  EXPECT_EQ(ErrorOf([&] { w.Open(); }), "Invalid DeviceID");
  w.SetDeviceID(1);
  w.SetCallBackMode(TMMCBMode::cmCallback);
  EXPECT_EQ(w.CallBackMode(), TMMCBMode::cmWindow);
  ASSERT_EQ(app_.Boxes().size(), 1u);
  EXPECT_EQ(app_.Boxes()[0],
            "Warning|\"CallBacks\" are called at interrupt time !\n\rThis is currently only supported under Windows 95");

  const TWaveFormatEx f = BuildPcmFormat(TMMBits::b16Bit, TMMMode::mStereo, 44100);
  source.SetPWaveFormat(&f);
  w.SetInput(&source);
  w.SetBufferSize(2048);
  w.SetNumBuffers(10);
  audio_->SetRefuseFormats(TWaveDir::Output, 1, true);
  EXPECT_EQ(ErrorOf([&] { w.Start(); }), "WaveOutOpen:\n\rThe actual device can''t play this format");
  audio_->SetRefuseFormats(TWaveDir::Output, 1, false);
  audio_->FailNext(TWaveDir::Output, 1, TWaveOp::Queue, MMSYSERR_NOMEM);
  EXPECT_EQ(ErrorOf([&] { w.Start(); }), "WaveOutWrite:\n\rNot enough memory for the device");
  EXPECT_TRUE(w.HasState(TMMWaveOutState::wosClosed));
  EXPECT_FALSE(audio_->IsOpen(TWaveDir::Output, 1));
  EXPECT_TRUE(app_.Cursor().empty()) << "2048 x 10 bytes are filled without the busy cursor";

  w.Start();
  const std::string open = "Change to property while device was open";
  EXPECT_EQ(ErrorOf([&] { w.SetBufferSize(4096); }), open);
  EXPECT_EQ(ErrorOf([&] { w.SetNumBuffers(20); }), open);
  EXPECT_EQ(ErrorOf([&] { w.SetDeviceID(1); }), open);
  EXPECT_EQ(ErrorOf([&] { w.SetCallBackMode(TMMCBMode::cmWindow); }), open);
  w.Close();

  w.SetBufferSize(8192);
  w.SetNumBuffers(20);
  w.Start();
  EXPECT_EQ(app_.Cursor(), (std::vector<bool>{true, false})) << "8192 x 20 bytes show the busy cursor";
  w.Close();

  EXPECT_EQ(WaveOutDeviceName(1), "Virtual output 1");
  EXPECT_EQ(WaveOutDeviceName(2), "");
  audio_->SetBusy(TWaveDir::Output, 0, true);
  EXPECT_FALSE(WaveOutCanOpen(0));
  EXPECT_TRUE(WaveOutCanOpen(MapperId) == false) << "the mapper is device 0 here";
  EXPECT_TRUE(WaveOutCanOpen(1));
}

TEST_F(WaveOutTest, FlushPlaysFreshDataOverTheSameBuffers) {
  test::TPatternSource source;
  auto w = MakePlayer(&source, TMMCBMode::cmThread);
  w->Start();
  ASSERT_EQ(audio_->Step(TWaveDir::Output, 0, 1), 1);
  ASSERT_TRUE(Handled(*w, 1, 4096, 4));
  EXPECT_EQ(source.Loads(), 5);
  w->Flush();
  EXPECT_EQ(source.Resets(), 1) << "the chain is reset";
  EXPECT_EQ(audio_->QueuedBuffers(TWaveDir::Output, 0), 4);
  EXPECT_TRUE(audio_->IsRunning(TWaveDir::Output, 0));
  audio_->ClearPlayed(0);
  ASSERT_EQ(audio_->Step(TWaveDir::Output, 0, 1), 1);
  EXPECT_EQ(audio_->Played(0), Pattern(5 * 4096, 4096)) << "the queued data was dropped, fresh data plays";
  w->Close();
}

// The device route of the main window: recording device -> ring buffer -> playback.
TEST_F(WaveOutTest, DeviceRouteThroughTheRingBufferPlaysSilenceUntilPrimedThenTheRecording) {
  TMMWaveIn in;
  TMMRingBuffer ring;
  TMMWaveOut out;
  in.SetBufferSize(4096);
  in.SetNumBuffers(4);
  in.SetMode(TMMMode::mStereo);
  in.SetBitLength(TMMBits::b16Bit);
  in.SetSampleRate(44100);
  in.SetCallBackMode(TMMCBMode::cmThread);
  ring.SetQueueMode(TMMQueueMode::qmDuplex);
  ring.SetNumBuffers(20);
  out.SetNumBuffers(6);
  out.SetCallBackMode(TMMCBMode::cmThread);
  out.SetDeviceID(1);
  in.SetOutput(&ring);
  ring.SetOutput(&out);
  std::atomic<int> empties{0};
  ring.OnEmpty = [&](TObject*) { ++empties; };
  in.OnStop = log_.Note("in-stop");
  out.OnStop = log_.Note("out-stop");
  const auto recorded = Pattern(0, 4096 * 40);
  audio_->FeedInput(0, recorded.data(), recorded.size());

  in.Start();
  EXPECT_TRUE(out.HasState(TMMWaveOutState::wosStarted)) << "starting the head starts the chain";
  EXPECT_EQ(out.BufferSize(), 4096);
  for (int k = 1; k <= 11; ++k) {
    ASSERT_EQ(audio_->Step(TWaveDir::Input, 0, 1), 1);
    ASSERT_TRUE(RunUntil([&] { return ring.BuffersUsed() == k; }, kWait));
  }
  // Each played buffer is refilled from the ring, now primed: eleven refills take the
  // eleven recorded buffers, the twelfth finds the ring empty.
  for (int k = 1; k <= 12; ++k) {
    ASSERT_EQ(audio_->Step(TWaveDir::Output, 1, 1), 1);
    ASSERT_TRUE(Handled(out, k, 4096, 6, 1));
    EXPECT_EQ(empties, k < 12 ? 0 : 1) << "after buffer " << k;
  }
  const auto played = audio_->Played(1);
  ASSERT_EQ(played.size(), 12u * 4096);
  // The six buffers filled at start are silence, then come the recorded ones in order.
  EXPECT_EQ(std::vector<std::uint8_t>(played.begin(), played.begin() + 6 * 4096), std::vector<std::uint8_t>(6 * 4096, 0));
  EXPECT_EQ(std::vector<std::uint8_t>(played.begin() + 6 * 4096, played.end()), Pattern(0, 6 * 4096));

  in.Stop();
  ASSERT_TRUE(RunUntil([&] { return log_.Count("in-stop") == 1 && log_.Count("out-stop") == 1; }, kWait));
  in.Close();
  EXPECT_TRUE(out.HasState(TMMWaveOutState::wosClosed)) << "closing the head closes the chain";
  EXPECT_FALSE(audio_->IsOpen(TWaveDir::Output, 1));
  EXPECT_FALSE(audio_->IsOpen(TWaveDir::Input, 0));
}

TEST_F(WaveOutTest, PauseBehindARecorderRefillsOnRestart) {
  TMMWaveIn in;
  TMMRingBuffer ring;
  TMMWaveOut out;
  in.SetBufferSize(4096);
  in.SetMode(TMMMode::mStereo);
  in.SetBitLength(TMMBits::b16Bit);
  in.SetSampleRate(44100);
  in.SetCallBackMode(TMMCBMode::cmThread);
  ring.SetQueueMode(TMMQueueMode::qmDuplex);
  out.SetNumBuffers(4);
  out.SetCallBackMode(TMMCBMode::cmThread);
  in.SetOutput(&ring);
  ring.SetOutput(&out);
  in.Start();
  ASSERT_EQ(audio_->QueuedBuffers(TWaveDir::Output, 0), 4);
  in.Pause();
  EXPECT_TRUE(out.HasState(TMMWaveOutState::wosPaused));
  EXPECT_EQ(audio_->QueuedBuffers(TWaveDir::Output, 0), 0) << "what was queued is stale after the pause";
  in.Restart();
  EXPECT_EQ(audio_->QueuedBuffers(TWaveDir::Output, 0), 4) << "without a refill the device would stay silent";
  EXPECT_TRUE(audio_->IsRunning(TWaveDir::Output, 0));
  ASSERT_EQ(audio_->Step(TWaveDir::Output, 0, 1), 1);
  ASSERT_TRUE(Handled(out, 1, 4096, 4));
  in.Close();
}

}  // namespace
}  // namespace strataeq
