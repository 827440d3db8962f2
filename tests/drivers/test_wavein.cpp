#include "drivers/MMWavIn.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>

#include "platform/WaveApiVirtual.h"
#include "wave_test_util.h"

namespace strataeq {
namespace {

using namespace std::chrono_literals;
using test::ErrorOf;
using test::Pattern;

constexpr auto kWait = std::chrono::seconds(20);

class WaveInTest : public ::testing::Test {
 protected:
  void SetUp() override { audio_ = TVirtualAudio::Install(2, 2); }
  void TearDown() override {
    ProcessPendingMessages();
    SetWaveBackend(nullptr);
  }
  // A recorder of 44.1 kHz 16-bit stereo feeding sink_.
  std::unique_ptr<TMMWaveIn> MakeRecorder(TMMCBMode mode, std::int32_t bufferSize = 8192, std::int32_t buffers = 4) {
    auto w = std::make_unique<TMMWaveIn>();
    w->SetBufferSize(bufferSize);
    w->SetNumBuffers(buffers);
    w->SetMode(TMMMode::mStereo);
    w->SetBitLength(TMMBits::b16Bit);
    w->SetSampleRate(44100);
    w->SetCallBackMode(mode);
    w->SetOutput(&sink_);
    w->OnError = log_.Note("error");
    w->OnOpen = log_.Note("open");
    w->OnStart = log_.Note("start");
    w->OnStop = log_.Note("stop");
    w->OnClose = log_.Note("close");
    w->OnPause = log_.Note("pause");
    w->OnRestart = log_.Note("restart");
    return w;
  }
  void Feed(std::size_t bytes) {
    const auto p = Pattern(0, bytes);
    audio_->FeedInput(0, p.data(), p.size());
  }

  std::shared_ptr<TVirtualAudio> audio_;
  test::TAppCapture app_;
  test::TRecordingSink sink_;
  test::TEventLog log_;
};

class WaveInModes : public WaveInTest, public ::testing::WithParamInterface<TMMCBMode> {};

TEST_P(WaveInModes, MaxRecordTimeDeliversExactlyTheLimitWithTheLastBufferShortenedThenStops) {
  auto w = MakeRecorder(GetParam());
  w->SetTimeFormat(TMMTimeFormats::tfMillisecond);
  w->SetMaxRecordTime(1000);
  Feed(300000);
  w->Start();
  ASSERT_TRUE(w->HasState(TMMWaveInState::wisStarted));
  ASSERT_TRUE(RunUntil(
      [&] {
        audio_->Step(TWaveDir::Input, 0, 1);
        return log_.Count("stop") > 0;
      },
      kWait));
  const auto sizes = sink_.Sizes();
  ASSERT_EQ(sizes.size(), 22u);
  for (std::size_t i = 0; i < 21; ++i) EXPECT_EQ(sizes[i], 8192) << i;
  EXPECT_EQ(sizes.back(), 176400 - 21 * 8192);
  EXPECT_EQ(sink_.Data(), Pattern(0, 176400));
  EXPECT_EQ(w->BytesRecorded(), 176400);
  EXPECT_FALSE(w->HasState(TMMWaveInState::wisStarted));
  EXPECT_TRUE(w->HasState(TMMWaveInState::wisOpened));
  EXPECT_EQ(audio_->Step(TWaveDir::Input, 0, 1), 0) << "nothing is recorded after the stop";
  ProcessPendingMessages();
  EXPECT_EQ(log_.Count("stop"), 1);
  EXPECT_EQ(sink_.Count(), 22);
  w->Close();
  EXPECT_EQ(log_.All(), (std::vector<std::string>{"open", "start", "stop", "close"}));
  EXPECT_FALSE(audio_->IsOpen(TWaveDir::Input, 0));
}

TEST_P(WaveInModes, LostDeviceEndsInOnErrorAndAClosedComponent) {
  auto w = MakeRecorder(GetParam());
  w->Start();
  ASSERT_TRUE(RunUntil(
      [&] {
        audio_->Step(TWaveDir::Input, 0, 1);
        return sink_.Count() >= 3;
      },
      kWait));
  audio_->LoseDevice(TWaveDir::Input, 0);
  ASSERT_TRUE(RunUntil([&] { return w->HasState(TMMWaveInState::wisClosed) && !app_.Exceptions().empty(); }, kWait));
  EXPECT_EQ(log_.Count("error"), 1);
  EXPECT_EQ(log_.Count("stop"), 1);
  EXPECT_EQ(log_.Count("close"), 1);
  ASSERT_EQ(app_.Exceptions().size(), 1u);
  EXPECT_EQ(app_.Exceptions()[0], "WaveIn:\n\rThe device was removed or stopped working");
  EXPECT_FALSE(audio_->IsOpen(TWaveDir::Input, 0));
  EXPECT_EQ(w->Handle(), 0u);
  // Restored, the device records again.
  audio_->RestoreDevice(TWaveDir::Input, 0);
  w->Start();
  EXPECT_TRUE(w->HasState(TMMWaveInState::wisStarted));
  w->Close();
}

TEST_P(WaveInModes, PauseKeepsTheBuffersAndRestartRecordsOn) {
  auto w = MakeRecorder(GetParam());
  Feed(8192 * 6);
  w->Start();
  ASSERT_EQ(audio_->Step(TWaveDir::Input, 0, 1), 1);
  ASSERT_TRUE(RunUntil([&] { return sink_.Count() == 1; }, kWait));
  w->Pause();
  EXPECT_TRUE(w->HasState(TMMWaveInState::wisPaused));
  EXPECT_EQ(audio_->Step(TWaveDir::Input, 0, 1), 0);
  w->Restart();
  EXPECT_FALSE(w->HasState(TMMWaveInState::wisPaused));
  for (int k = 2; k <= 3; ++k) {
    ASSERT_EQ(audio_->Step(TWaveDir::Input, 0, 1), 1);
    ASSERT_TRUE(RunUntil([&] { return sink_.Count() == k; }, kWait));
  }
  EXPECT_EQ(sink_.Data(), Pattern(0, 3 * 8192));
  w->Close();
  EXPECT_EQ(log_.All(), (std::vector<std::string>{"open", "start", "pause", "restart", "stop", "close"}));
}

INSTANTIATE_TEST_SUITE_P(CallBackModes, WaveInModes, ::testing::Values(TMMCBMode::cmWindow, TMMCBMode::cmThread),
                         [](const auto& info) { return info.param == TMMCBMode::cmWindow ? "cmWindow" : "cmThread"; });

TEST_F(WaveInTest, StopWhileABufferIsInFlightCompletesWhenThatBufferIsDone) {
  auto w = MakeRecorder(TMMCBMode::cmThread);
  TEvent entered, release;
  std::thread::id pushThread;
  sink_.OnPush = [&](PMMWaveHdr) {
    pushThread = std::this_thread::get_id();
    entered.Set();
    release.WaitFor(kWait);
  };
  Feed(8192 * 3);
  w->Start();
  ASSERT_EQ(audio_->Step(TWaveDir::Input, 0, 1), 1);
  ASSERT_EQ(entered.WaitFor(kWait), TWaitResult::Signaled);
  w->Stop();
  EXPECT_TRUE(w->HasState(TMMWaveInState::wisStarted)) << "the stop waits for the buffer in flight";
  ProcessPendingMessages();
  EXPECT_EQ(log_.Count("stop"), 0);
  release.Set();
  ASSERT_TRUE(RunUntil([&] { return log_.Count("stop") == 1; }, kWait));
  EXPECT_NE(pushThread, std::this_thread::get_id());
  EXPECT_EQ(sink_.Count(), 1) << "buffers the reset returned are not passed on";
  EXPECT_FALSE(w->HasState(TMMWaveInState::wisStarted));
  // Closing right after works as usual.
  w->Close();
  EXPECT_TRUE(w->HasState(TMMWaveInState::wisClosed));
}

TEST_F(WaveInTest, CloseWhileABufferIsInFlightIsDeferredUntilTheStopCompletes) {
  auto w = MakeRecorder(TMMCBMode::cmThread);
  TEvent entered, release;
  sink_.OnPush = [&](PMMWaveHdr) {
    entered.Set();
    release.WaitFor(kWait);
  };
  w->Start();
  ASSERT_EQ(audio_->Step(TWaveDir::Input, 0, 1), 1);
  ASSERT_EQ(entered.WaitFor(kWait), TWaitResult::Signaled);
  w->Close();
  EXPECT_FALSE(w->HasState(TMMWaveInState::wisClosed));
  release.Set();
  ASSERT_TRUE(RunUntil([&] { return w->HasState(TMMWaveInState::wisClosed); }, kWait));
  const auto events = log_.All();
  ASSERT_GE(events.size(), 2u);
  EXPECT_EQ(events[events.size() - 2], "stop");
  EXPECT_EQ(events.back(), "close");
}

TEST_F(WaveInTest, DataReturnedByAStopBeforeTheResetIsStillPassedOn) {
  auto w = MakeRecorder(TMMCBMode::cmThread);
  Feed(8192 * 2);
  w->Start();
  ASSERT_EQ(audio_->Step(TWaveDir::Input, 0, 1), 1);
  ASSERT_EQ(audio_->StepBytes(0, 1000), 1000);  // the next buffer is partly recorded
  ASSERT_TRUE(RunUntil([&] { return sink_.Count() == 1; }, kWait));
  w->Stop();
  ASSERT_TRUE(RunUntil([&] { return log_.Count("stop") == 1; }, kWait));
  EXPECT_EQ(sink_.Sizes(), (std::vector<std::int32_t>{8192, 1000}));
  EXPECT_EQ(sink_.Data(), Pattern(0, 9192));
  w->Close();
}

TEST_F(WaveInTest, PropertyRules) {
  TMMWaveIn w;
  w.SetNumBuffers(1);
  EXPECT_EQ(w.NumBuffers(), 10);
  w.SetNumBuffers(1000);
  EXPECT_EQ(w.NumBuffers(), 500);
  w.SetSampleRate(5000);
  EXPECT_EQ(w.SampleRate(), 8000);
  w.SetSampleRate(200000);
  EXPECT_EQ(w.SampleRate(), 100000);
  w.SetMode(TMMMode::mQuadro);
  EXPECT_EQ(w.Mode(), TMMMode::mMono);
  w.SetBufferSize(10);
  EXPECT_EQ(w.BufferSize(), 32);

  w.SetMode(TMMMode::mStereo);
  w.SetBitLength(TMMBits::b16Bit);
  w.SetSampleRate(44100);
  ASSERT_NE(w.PWaveFormat(), nullptr);
  EXPECT_EQ(w.PWaveFormat()->nBlockAlign, 4);
  EXPECT_EQ(w.PWaveFormat()->nAvgBytesPerSec, 176400u);
  const TWaveFormatEx other = BuildPcmFormat(TMMBits::b8Bit, TMMMode::mMono, 22050);
  w.SetPWaveFormat(&other);
  EXPECT_EQ(w.SampleRate(), 22050);
  EXPECT_EQ(w.BitLength(), TMMBits::b8Bit);
  EXPECT_EQ(w.Mode(), TMMMode::mMono);

  // The limit keeps its length when the unit changes.
  w.SetPWaveFormat(nullptr);
  w.SetSampleRate(44100);
  w.SetMode(TMMMode::mStereo);
  w.SetBitLength(TMMBits::b16Bit);
  w.SetTimeFormat(TMMTimeFormats::tfMillisecond);
  w.SetMaxRecordTime(1000);
  w.SetTimeFormat(TMMTimeFormats::tfByte);
  EXPECT_EQ(w.MaxRecordTime(), 176400);
  w.SetTimeFormat(TMMTimeFormats::tfSample);
  EXPECT_EQ(w.MaxRecordTime(), 44100);

  EXPECT_EQ(w.ProductName(), "Virtual input 0");
  w.SetDeviceID(MapperId);
  EXPECT_EQ(w.DeviceID(), MapperId);
  w.SetDeviceID(1);
  EXPECT_EQ(w.ProductName(), "Virtual input 1");
  w.SetDeviceID(99);
  EXPECT_EQ(w.DeviceID(), InvalidId);
  EXPECT_EQ(w.ProductName(), "No wave audio recording device found");
  EXPECT_EQ(ErrorOf([&] { w.Open(); }), "Invalid DeviceID");

  w.SetDeviceID(0);
  w.SetCallBackMode(TMMCBMode::cmCallback);
  EXPECT_EQ(w.CallBackMode(), TMMCBMode::cmWindow);
  ASSERT_EQ(app_.Boxes().size(), 1u);
  EXPECT_EQ(app_.Boxes()[0],
            "TMMWaveIn|\"CallBacks\" are called at interrupt time !\n\rThis is currently only supported under Windows 95");

  w.Open();
  const std::string open = "Change to property while device was open";
  EXPECT_EQ(ErrorOf([&] { w.SetBufferSize(4096); }), open);
  EXPECT_EQ(ErrorOf([&] { w.SetNumBuffers(4); }), open);
  EXPECT_EQ(ErrorOf([&] { w.SetSampleRate(22050); }), open);
  EXPECT_EQ(ErrorOf([&] { w.SetMode(TMMMode::mMono); }), open);
  EXPECT_EQ(ErrorOf([&] { w.SetDeviceID(0); }), open) << "even the current value";
  EXPECT_EQ(ErrorOf([&] { w.SetCallBackMode(TMMCBMode::cmWindow); }), open);
  EXPECT_EQ(ErrorOf([&] { w.SetSampleRate(44100); }), "") << "the current value is no change";
  w.Close();
}

TEST_F(WaveInTest, OpenFailuresReportCloseAndCarryTheirMessages) {
  auto w = MakeRecorder(TMMCBMode::cmThread);
  audio_->SetRefuseFormats(TWaveDir::Input, 0, true);
  EXPECT_EQ(ErrorOf([&] { w->Start(); }), "WaveInOpen:\n\rThe actual device can''t record this format");
  EXPECT_TRUE(w->HasState(TMMWaveInState::wisClosed));
  audio_->SetRefuseFormats(TWaveDir::Input, 0, false);

  audio_->SetStandardFormats(TWaveDir::Input, 0, WAVE_FORMAT_ALL_STANDARD & ~WAVE_FORMAT_4S16);
  EXPECT_EQ(ErrorOf([&] { w->Open(); }), "WaveInOpen:\n\rThe actual device can''t record this format");
  audio_->SetStandardFormats(TWaveDir::Input, 0, WAVE_FORMAT_ALL_STANDARD);

  audio_->SetBusy(TWaveDir::Input, 0, true);
  EXPECT_FALSE(WaveInCanOpen(0));
  EXPECT_EQ(ErrorOf([&] { w->Open(); }), "WaveInOpen:\n\rThe actual device can''t record this format");
  audio_->SetBusy(TWaveDir::Input, 0, false);

  audio_->FailNext(TWaveDir::Input, 0, TWaveOp::Open, MMSYSERR_NOMEM);
  EXPECT_EQ(ErrorOf([&] { w->Open(); }), "WaveInOpen:\n\rNot enough memory for the device");
  audio_->FailNext(TWaveDir::Input, 0, TWaveOp::Queue, MMSYSERR_INVALPARAM);
  EXPECT_EQ(ErrorOf([&] { w->Start(); }), "WaveInAddBuffer:\n\rAn invalid parameter was passed to the device");
  EXPECT_TRUE(w->HasState(TMMWaveInState::wisClosed));
  EXPECT_FALSE(audio_->IsOpen(TWaveDir::Input, 0)) << "a failed start leaves the device closed";
  audio_->FailNext(TWaveDir::Input, 0, TWaveOp::Start, MMSYSERR_ERROR);
  EXPECT_EQ(ErrorOf([&] { w->Start(); }), "WaveInStart:\n\rUnspecified device error");
  EXPECT_EQ(log_.Count("error"), 6);
  EXPECT_EQ(log_.Count("start"), 0);

  w->Start();
  EXPECT_TRUE(w->HasState(TMMWaveInState::wisStarted));
  w->Close();
}

TEST_F(WaveInTest, WithoutDevicesOpenSaysSoAndTheMenuHelpersAnswerEmpty) {
  TVirtualAudio::Install(0, 0);
  TMMWaveIn w;
  EXPECT_EQ(w.NumDevs(), 0);
  EXPECT_EQ(w.DeviceID(), InvalidId);
  EXPECT_EQ(ErrorOf([&] { w.Open(); }), "No wave audio recording device found");
  EXPECT_EQ(WaveInDeviceName(0), "");
  EXPECT_FALSE(WaveInCanOpen(MapperId));
}

TEST_F(WaveInTest, MenuHelpersNameAndProbeDevices) {
  EXPECT_EQ(WaveInDeviceName(1), "Virtual input 1");
  EXPECT_EQ(WaveInDeviceName(MapperId), "Virtual input 0");
  EXPECT_EQ(WaveInDeviceName(2), "");
  EXPECT_EQ(WaveInDeviceName(-2), "");
  EXPECT_TRUE(WaveInCanOpen(1));
  EXPECT_FALSE(WaveInCanOpen(2));
  EXPECT_FALSE(audio_->IsOpen(TWaveDir::Input, 1)) << "the probe closes again";
}

}  // namespace
}  // namespace strataeq
