// The route object on the virtual devices: every kind runs and delivers its sound, a
// start that fails leaves nothing open or written, a failure mid-run ends it with its
// text, and a stop from another thread ends a run once, keeping what was done.
#include <gtest/gtest.h>

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <atomic>
#include <fstream>
#include <thread>

#define STRATAEQ_CLI "strataeq-cli"  // CliTestUtil's runner is not used here
#include "../app/CliTestUtil.h"
#include "../PulseShell.h"
#include "../drivers/wave_test_util.h"
#include "drivers/MMRingBf.h"
#include "drivers/MMWavIn.h"
#include "drivers/MMWavOut.h"
#include "eq/MMEQ.h"
#include "platform/Messages.h"
#include "platform/WaveApiVirtual.h"
#include "routes/Route.h"

extern char** environ;

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

  // The server runs dry: the queue grows by a buffer, and a restart of the route, or a
  // new route of this run to the same device at the same target, starts with it.
  int grown = 0;
  fast.OnQueueGrown = [&](int buffers) { grown = buffers; };
  const int before = fast.Dropouts();
  ASSERT_EQ(test::ErrorOf([&] {
              fast.Start();
              audio->InjectUnderflow(1);
              fast.Serve([] { return false; }, 1.5);
              fast.Finish();
            }),
            "");
  EXPECT_EQ(grown, plan.OutputBuffers + 1);
  EXPECT_GE(fast.Dropouts() - before, 1);
  ASSERT_EQ(test::ErrorOf([&] {
              fast.Start();
              fast.Finish();
            }),
            "");
  EXPECT_EQ(fast.Player()->NumBuffers(), plan.OutputBuffers + 1);
  TRoute next(quick);
  ASSERT_EQ(Run(next, 0.3), "");
  EXPECT_EQ(next.Player()->NumBuffers(), plan.OutputBuffers + 1);
  EXPECT_EQ(next.Latency().Plan.OutputBuffers, plan.OutputBuffers + 1);

  // Recorded sound the server dropped is a jump in what is heard; reports within a
  // moment of each other are one jump.
  TRouteSpec take = Spec(TRouteKind::DeviceToFile);
  take.Output = dir / "take.wav";
  TRoute recording(take);
  ASSERT_EQ(test::ErrorOf([&] {
              recording.Open();
              recording.Start();
              recording.Serve([] { return false; }, 0.3);
              audio->InjectOverrun(1);
              audio->InjectOverrun(1);
              std::this_thread::sleep_for(300ms);
              audio->InjectOverrun(1);
              recording.Serve([] { return false; }, 1.5);
              recording.Stop();
              recording.Finish();
            }),
            "");
  EXPECT_EQ(recording.Dropouts(), 2);
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

// A server that holds the playback still without a word (PipeWire's can): the route
// counts the silence once, however many skips the full ring makes meanwhile, and plays
// again on a new stream; a server that holds every new stream too ends the run.
TEST_F(Route, APlaybackHeldStillIsReconnectedAndCountedOnce) {
  TRouteSpec spec = Spec(TRouteKind::DeviceToDevice);
  spec.LatencyMs = 40;
  TRoute live(spec);
  int reconnects = 0;
  live.OnPlaybackReconnected = [&] { ++reconnects; };
  live.Open();
  live.Start();
  live.Serve([] { return false; }, 1.0);
  const int before = live.Dropouts();  // a loaded machine may drop one as the route starts
  audio->HoldStream(1);
  live.Serve([&] { return reconnects > 0; }, 6.0);
  EXPECT_EQ(reconnects, 1);
  EXPECT_EQ(live.Dropouts() - before, 1) << "one silence, whatever the ring dropped in it";
  audio->ClearPlayed(1);
  live.Serve([] { return false; }, 1.0);
  EXPECT_TRUE(Sounds(audio->Played(1))) << "the new stream plays";
  EXPECT_EQ(live.Failure(), "");
  live.Stop();
  live.Finish();

  TRoute held(spec);
  held.OnPlaybackReconnected = [&] { audio->HoldStream(1); };
  const std::string error = test::ErrorOf([&] {
    held.Open();
    held.Start();
    audio->HoldStream(1);
    held.Serve([] { return false; }, 30.0);
    held.Finish();
  });
  EXPECT_NE(error.find("plays nothing of the route, even after reconnecting"), std::string::npos) << error;
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

// Against the private servers of scripts/pulse-test-server.sh and
// pipewire-test-server.sh only (sinks strataeq_a and strataeq_b): a tone plays into B,
// and a live route equalizes B's monitor into A while B is suspended for a second.
class PulseDesktopRoute : public ::testing::Test {
 protected:
  void SetUp() override {
    SetWaveBackend(CreatePulseBackend());
    if (waveOutGetNumDevs() == 0) GTEST_SKIP() << "no PulseAudio server reachable";
    if (test::SinkIndex("strataeq_a").empty() || test::SinkIndex("strataeq_b").empty())
      GTEST_SKIP() << "not a private test server (scripts/pulse-test-server.sh)";
    tone_ = fs::temp_directory_path() / ("strataeq-suspend-" + std::to_string(getpid()) + ".raw");
    const std::vector<std::int16_t> tone = StereoSines(1000, 1000, 44100 * 60);
    std::ofstream(tone_, std::ios::binary)
        .write(reinterpret_cast<const char*>(tone.data()), static_cast<std::streamsize>(tone.size() * 2));
    std::string file = tone_.string();
    char a0[] = "pacat", a1[] = "--playback", a2[] = "--raw", a3[] = "--format=s16le", a4[] = "--rate=44100",
         a5[] = "--channels=2", a6[] = "--device=strataeq_b";
    char* argv[] = {a0, a1, a2, a3, a4, a5, a6, file.data(), nullptr};
    if (posix_spawnp(&player_, "pacat", nullptr, nullptr, argv, environ) != 0) GTEST_SKIP() << "pacat not available";
  }
  void TearDown() override {
    if (player_ > 0) {
      kill(player_, SIGTERM);
      waitpid(player_, nullptr, 0);
    }
    test::Shell("pactl suspend-sink strataeq_b 0");
    if (!tone_.empty()) fs::remove(tone_);
    ProcessPendingMessages();
    SetWaveBackend(nullptr);
  }
  pid_t player_ = 0;
  fs::path tone_;
};

// The peak of the last quarter second the player played.
double RecentPeak(const std::vector<std::uint8_t>& played) {
  const std::size_t frames = played.size() / 4, from = frames > 11025 ? frames - 11025 : 0;
  const auto* p = reinterpret_cast<const std::int16_t*>(played.data());
  double peak = 0;
  for (std::size_t i = 2 * from; i < 2 * frames; ++i) peak = std::max(peak, std::abs(static_cast<double>(p[i])));
  return peak;
}

// A suspended and resumed sink: the classic server gives its monitor's recording sound
// again by itself; PipeWire's goes on delivering digital silence to it without a word,
// so the route must notice and reconnect. Either way the sound comes back and the
// silence is counted.
TEST_F(PulseDesktopRoute, ASuspendedMonitorComesBackAndItsSilenceIsCounted) {
  TRouteSpec spec;
  spec.Kind = TRouteKind::DeviceToDevice;
  spec.InDevice = WaveDeviceByServerName(TWaveDir::Input, "strataeq_b.monitor");
  spec.OutDevice = WaveDeviceByServerName(TWaveDir::Output, "strataeq_a");
  spec.LatencyMs = 80;
  ASSERT_GE(spec.InDevice, 0);
  ASSERT_GE(spec.OutDevice, 0);
  test::TRecordingSink tap;  // outlives the route, whose chain it ends
  TRoute route(spec);
  route.SetTap(&tap);
  int reconnects = 0;
  route.OnRecordingReconnected = [&] { ++reconnects; };
  const auto never = [] { return false; };
  route.Open();
  route.Start();
  route.Serve(never, 3.0);
  ASSERT_GT(RecentPeak(tap.Data()), 5000) << "the tone comes through";
  ASSERT_EQ(reconnects, 0) << "a healthy route (its own start suspends the sink a moment)";
  const int before = route.Dropouts();
  test::Shell("pactl suspend-sink strataeq_b 1");
  route.Serve(never, 1.0);
  test::Shell("pactl suspend-sink strataeq_b 0");
  int waited = 0;
  for (; waited < 10 && (route.Serve(never, 1.0), RecentPeak(tap.Data()) < 5000); ++waited) {
  }
  const int counted = route.Dropouts() - before;
  std::printf("sound back %d s after the resume; %d reconnect(s); %d drop-out(s) counted\n", waited + 1, reconnects,
              counted);
  EXPECT_LT(waited, 10) << "the tone never came back";
  EXPECT_GE(counted, 1) << "the silence was not counted";
  // The classic server's recording sounds again by itself: nothing to reconnect.
  EXPECT_EQ(reconnects, test::Shell("pactl info | grep -c 'on PipeWire'") == "1" ? 1 : 0);
  EXPECT_EQ(route.Failure(), "");
  route.Stop();
  route.Finish();
}

// A paused player's monitor gives zeros, and a volume step sends the same change of the
// source as a suspend: the route must not take that silence for a dead link.
TEST_F(PulseDesktopRoute, ASilentInputWhoseVolumeChangesIsLeftAlone) {
  kill(player_, SIGTERM);
  waitpid(player_, nullptr, 0);
  player_ = 0;
  TRouteSpec spec;
  spec.Kind = TRouteKind::DeviceToDevice;
  spec.InDevice = WaveDeviceByServerName(TWaveDir::Input, "strataeq_b.monitor");
  spec.OutDevice = WaveDeviceByServerName(TWaveDir::Output, "strataeq_a");
  spec.LatencyMs = 80;
  TRoute route(spec);
  int reconnects = 0;
  route.OnRecordingReconnected = [&] { ++reconnects; };
  const auto never = [] { return false; };
  route.Open();
  route.Start();
  route.Serve(never, 2.0);
  const int before = route.Dropouts();
  for (const char* volume : {"90%", "100%", "80%"}) {
    test::Shell(std::string("pactl set-source-volume strataeq_b.monitor ") + volume);
    route.Serve(never, 3.0);
  }
  EXPECT_EQ(reconnects, 0);
  // PipeWire can run our playback dry for a moment while the check's recording joins;
  // that underflow is counted, as any is.
  EXPECT_LE(route.Dropouts() - before, 3);
  EXPECT_EQ(route.Failure(), "");
  route.Stop();
  route.Finish();
  test::Shell("pactl set-source-volume strataeq_b.monitor 100%");
}

}  // namespace
}  // namespace strataeq::routes
