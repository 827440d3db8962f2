// The route object on the virtual devices: every kind runs and delivers its sound, a
// start that fails leaves nothing open or written, a failure mid-run ends it with its
// text, and a stop from another thread ends a run once, keeping what was done.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#define STRATAEQ_CLI "strataeq-cli"  // CliTestUtil's runner is not used here
#include "../app/CliTestUtil.h"
#include "../drivers/wave_test_util.h"
#include "drivers/MMRingBf.h"
#include "drivers/MMWavIn.h"
#include "drivers/MMWavOut.h"
#include "eq/MMEQ.h"
#include "platform/Messages.h"
#include "platform/WaveApiVirtual.h"
#include "routes/Route.h"

namespace strataeq::routes {
namespace {

using namespace std::chrono_literals;

class Route : public ::testing::Test {
 protected:
  void SetUp() override {
    audio = TVirtualAudio::Install(2, 2);
    audio->SetInputTone(1000);
    audio->SetPaced(true);
    dir = fs::temp_directory_path() / ("strataeq-route-" + std::to_string(getpid()));
    fs::create_directories(dir);
  }
  void TearDown() override {
    ProcessPendingMessages();
    audio->SetPaced(false);
    SetWaveBackend(nullptr);
    fs::remove_all(dir);
  }
  // Runs a whole route the way the command line does; returns what it raised.
  std::string Run(TRoute& route, std::optional<double> seconds = std::nullopt) {
    return test::ErrorOf([&] {
      route.Open();
      route.Start();
      route.Serve([] { return false; }, seconds);
      route.Finish();
    });
  }
  static TRouteSpec Spec(TRouteKind kind) {
    TRouteSpec s;
    s.Kind = kind;
    s.InDevice = s.OutDevice = 1;
    return s;
  }
  std::shared_ptr<TVirtualAudio> audio;
  fs::path dir;
};

bool Sounds(const std::vector<std::uint8_t>& bytes) {
  return std::any_of(bytes.begin(), bytes.end(), [](std::uint8_t b) { return b != 0; });
}

TEST_F(Route, EveryKindRunsAndDeliversItsSound) {
  const std::vector<std::int16_t> tone = StereoSines(440, 880, 22050);
  WriteWav(dir / "in.wav", tone, 2);

  // File to file, flat: every frame comes out, at the level it went in.
  TRouteSpec f2f = Spec(TRouteKind::FileToFile);
  f2f.Input = dir / "in.wav";
  f2f.Output = dir / "out.wav";
  std::int64_t lastDone = 0, total = 0;
  {
    TRoute route(f2f);
    route.OnProgress = [&](std::int64_t done, std::int64_t all, double) { lastDone = done, total = all; };
    ASSERT_EQ(Run(route), "");
  }
  const std::vector<std::int16_t> out = ReadWavSamples(dir / "out.wav");
  ASSERT_EQ(out.size(), tone.size());
  EXPECT_NEAR(Rms(out, 0, 4410) / Rms(tone, 0, 4410), 1.0, 0.01);
  EXPECT_EQ(lastDone, total);
  EXPECT_EQ(total, static_cast<std::int64_t>(tone.size() * 2));

  // An empty file makes an empty file, and its run ends as any other.
  WriteWav(dir / "empty.wav", {}, 2);
  TRouteSpec none = f2f;
  none.Input = dir / "empty.wav";
  none.Output = dir / "none.wav";
  {
    TRoute route(none);
    int ended = 0;
    route.OnEnded = [&] { ++ended; };
    ASSERT_EQ(Run(route), "");
    EXPECT_EQ(ended, 1);
  }
  EXPECT_TRUE(ReadWavSamples(dir / "none.wav").empty());
  EXPECT_TRUE(fs::exists(dir / "none.wav"));

  // File to device: the player gets all of the file.
  TRouteSpec toDevice = Spec(TRouteKind::FileToDevice);
  toDevice.Input = f2f.Input;
  TRoute play(toDevice);
  ASSERT_EQ(Run(play), "");
  EXPECT_GE(audio->Played(1).size(), tone.size() * 2);
  EXPECT_TRUE(Sounds(audio->Played(1)));

  // Device to file, the recorder stopping itself: half a second of its tone.
  TRouteSpec rec = Spec(TRouteKind::DeviceToFile);
  rec.Output = dir / "rec.wav";
  rec.RecordSeconds = 0.5;
  {
    TRoute route(rec);
    ASSERT_EQ(Run(route), "");
  }
  const std::vector<std::int16_t> recorded = ReadWavSamples(dir / "rec.wav");
  EXPECT_NEAR(static_cast<double>(recorded.size()) / 2 / 44100, 0.5, 0.1);
  EXPECT_GT(Rms(recorded, 0, 4410), 100);

  // Device to device for a second and a half: a readout a second, its delay measured.
  audio->ClearPlayed(1);
  TRoute live(Spec(TRouteKind::DeviceToDevice));
  std::vector<TRouteReadout> readouts;
  live.OnReadout = [&](const TRouteReadout& r) { readouts.push_back(r); };
  ASSERT_EQ(Run(live, 1.5), "");
  EXPECT_TRUE(Sounds(audio->Played(1)));
  ASSERT_EQ(readouts.size(), 1u);
  EXPECT_GT(readouts[0].LatencyMs, 0);
  EXPECT_FALSE(live.Running());
  // Without a latency target it runs on the design values; a target sizes every part.
  EXPECT_EQ(live.Player()->BufferSize(), 8192);
  EXPECT_EQ(live.Player()->NumBuffers(), 20);
  TRouteSpec quick = Spec(TRouteKind::DeviceToDevice);
  quick.LatencyMs = 40;
  TRoute fast(quick);
  int told = 0;
  fast.OnLatency = [&](const TLatencyChoice&) { ++told; };
  ASSERT_EQ(Run(fast, 0.3), "");
  const TLiveLatencyPlan plan = PlanLiveLatency(40, 44100, fast.Equalizer().FFTLength());
  EXPECT_LT(plan.BufferSize, 8192);
  EXPECT_EQ(told, 1);
  EXPECT_EQ(fast.Recorder()->BufferSize(), plan.BufferSize);
  EXPECT_EQ(fast.Player()->BufferSize(), plan.BufferSize);
  EXPECT_EQ(fast.Player()->NumBuffers(), plan.OutputBuffers);
  EXPECT_EQ(fast.Ring()->NumBuffers(), plan.RingSlots);
}

TEST_F(Route, AFileOfMoreThan16BitsIsWrittenAsItIsAndPlayedAs16Bits) {
  WriteWav(dir / "in.wav", StereoSines(440, 880, 22050), 2);
  TRouteSpec widen = Spec(TRouteKind::FileToFile);
  widen.Input = dir / "in.wav";
  widen.Output = dir / "in24.wav";
  widen.Bits = TPcmSampleType::stInt24;
  TRoute to24(widen);
  ASSERT_EQ(Run(to24), "");
  EXPECT_GT(fs::file_size(dir / "in24.wav"), 22050u * 6);
  EXPECT_LT(fs::file_size(dir / "in24.wav"), 22050u * 6 + 100);

  // The device routes' buffers hold whole 16-bit stereo frames.
  TRouteSpec s = Spec(TRouteKind::FileToDevice);
  s.Input = dir / "in24.wav";
  TRoute play(s);
  ASSERT_EQ(Run(play), "");
  EXPECT_GE(audio->Played(1).size(), 22050u * 4);
  EXPECT_LT(audio->Played(1).size(), 22050u * 5);
}

TEST_F(Route, AFailedStartLeavesNothingOpenOrWritten) {
  WriteWav(dir / "in.wav", StereoSines(440, 880, 4410), 2);
  // A busy device, and a recorder that is the monitor of the player, are refused
  // before anything opens.
  audio->SetBusy(TWaveDir::Output, 1, true);
  TRoute busy(Spec(TRouteKind::DeviceToDevice));
  EXPECT_EQ(Run(busy), kPlayerBusy);
  audio->SetBusy(TWaveDir::Output, 1, false);
  audio->SetDeviceName(TWaveDir::Output, 1, "Speakers");
  audio->SetDeviceName(TWaveDir::Input, 1, "Monitor of Speakers");
  TRoute feedback(Spec(TRouteKind::DeviceToDevice));
  EXPECT_EQ(Run(feedback), kFeedback);
  audio->SetDeviceName(TWaveDir::Input, 1, "Line In");

  // A format the player refuses fails the start: nothing stays open, and the next
  // route on the same devices runs.
  audio->SetRefuseFormats(TWaveDir::Output, 1, true);
  TRoute refused(Spec(TRouteKind::DeviceToDevice));
  EXPECT_NE(Run(refused), "");
  EXPECT_FALSE(refused.Running());
  EXPECT_FALSE(audio->IsOpen(TWaveDir::Input, 1));
  EXPECT_FALSE(audio->IsOpen(TWaveDir::Output, 1));
  audio->SetRefuseFormats(TWaveDir::Output, 1, false);
  TRoute next(Spec(TRouteKind::DeviceToDevice));
  EXPECT_EQ(Run(next, 0.3), "");

  // An output that cannot be written: the start says so, and no file is left.
  for (TRouteKind kind : {TRouteKind::FileToFile, TRouteKind::DeviceToFile}) {
    TRouteSpec s = Spec(kind);
    s.Input = dir / "in.wav";
    s.Output = dir / "no-such-folder" / "out.wav";
    s.RecordSeconds = 0.2;
    TRoute route(s);
    EXPECT_NE(Run(route).find("Unable to write " + s.Output), std::string::npos);
    EXPECT_FALSE(route.Running());
    EXPECT_FALSE(fs::exists(dir / "no-such-folder"));
  }
  EXPECT_FALSE(audio->IsOpen(TWaveDir::Input, 1));
}

TEST_F(Route, AFailureMidRunEndsItWithItsText) {
  audio->LoseDeviceAfter(TWaveDir::Output, 1, 8);
  TRoute live(Spec(TRouteKind::DeviceToDevice));
  const std::string error = Run(live);  // no time limit: only the failure ends it
  EXPECT_NE(error.find("The device was removed or stopped working"), std::string::npos) << error;
  EXPECT_FALSE(live.Running());
  EXPECT_FALSE(audio->IsOpen(TWaveDir::Input, 1));
  EXPECT_FALSE(audio->IsOpen(TWaveDir::Output, 1));
}

TEST_F(Route, AStopFromAnotherThreadEndsTheRunOnceAndKeepsWhatWasDone) {
  // Device routes with no end of their own, stopped at once, early and later: each run
  // ends in one OnEnded, its devices closed, and a recording is a whole file.
  WriteWav(dir / "ten.wav", StereoSines(440, 880, 441000), 2);
  for (TRouteKind kind : {TRouteKind::DeviceToDevice, TRouteKind::FileToDevice, TRouteKind::DeviceToFile}) {
    for (const auto delay : {0ms, 20ms, 150ms}) {
      TRouteSpec s = Spec(kind);
      s.Input = dir / "ten.wav";
      s.Output = dir / "take.wav";
      fs::remove(s.Output);
      TRoute route(s);
      int ended = 0;
      route.OnEnded = [&] { ++ended; };
      route.Open();
      route.Start();
      std::thread stopper([&] {
        std::this_thread::sleep_for(delay);
        route.Stop();
        route.Stop();  // a second stop changes nothing
      });
      route.Serve([] { return false; });
      stopper.join();
      EXPECT_EQ(test::ErrorOf([&] { route.Finish(); }), "") << static_cast<int>(kind) << " " << delay.count();
      EXPECT_EQ(ended, 1) << static_cast<int>(kind) << " " << delay.count();
      EXPECT_FALSE(audio->IsOpen(TWaveDir::Input, 1));
      EXPECT_FALSE(audio->IsOpen(TWaveDir::Output, 1));
      if (kind == TRouteKind::DeviceToFile) {
        EXPECT_TRUE(fs::exists(s.Output)) << delay.count();
      }
    }
  }
  // A long file route stopped once it began: the output is a whole file of what was done.
  WriteWav(dir / "long.wav", StereoSines(440, 880, 44100 * 60), 2);
  TRouteSpec s = Spec(TRouteKind::FileToFile);
  s.Input = dir / "long.wav";
  s.Output = dir / "part.wav";
  TRoute route(s);
  route.Open();
  route.Start();
  std::thread stopper([&] {
    while (route.BytesDone() == 0) std::this_thread::sleep_for(1ms);
    route.Stop();
  });
  route.Serve([] { return false; });
  stopper.join();
  ASSERT_EQ(test::ErrorOf([&] { route.Finish(); }), "");
  const std::size_t kept = ReadWavSamples(dir / "part.wav").size();
  EXPECT_GT(kept, 0u);
  EXPECT_LT(kept, 44100u * 60 * 2);
}

}  // namespace
}  // namespace strataeq::routes
