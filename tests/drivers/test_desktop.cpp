#include "drivers/DesktopSound.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <sstream>
#include <string>
#include <thread>

#include "PulseShell.h"
#include "drivers/MMWavIn.h"
#include "platform/WaveApi.h"

extern char** environ;

namespace strataeq {
namespace {

using test::DefaultSink;
using test::Shell;
using test::SinkIndex;
using test::StreamSink;

// Against the private server of scripts/pulse-test-server.sh only (sinks strataeq_a,
// the default, and strataeq_b): these tests move every application's sound.
class PulseDesktop : public ::testing::Test {
 protected:
  void SetUp() override {
    SetWaveBackend(CreatePulseBackend());
    if (waveOutGetNumDevs() == 0) GTEST_SKIP() << "no PulseAudio server reachable";
    if (SinkIndex("strataeq_a").empty() || SinkIndex("strataeq_b").empty() || DefaultSink() != "strataeq_a")
      GTEST_SKIP() << "not the private test server (scripts/pulse-test-server.sh)";
    // Another process's stream, as an application's: pacat playing silence.
    char arg0[] = "pacat", arg1[] = "--playback", arg2[] = "/dev/zero";
    char* argv[] = {arg0, arg1, arg2, nullptr};
    if (posix_spawnp(&player_, "pacat", nullptr, nullptr, argv, environ) != 0) GTEST_SKIP() << "pacat not available";
    for (int i = 0; i < 100 && stream_.empty(); ++i) {
      stream_ = Shell("pactl list sink-inputs | awk '/^Sink Input #/ { id = substr($3, 2) } "
                      "/application.process.id = \"" + std::to_string(player_) + "\"/ { print id }'");
      if (stream_.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ASSERT_FALSE(stream_.empty()) << "the player's stream did not appear";
    ASSERT_EQ(StreamSink(stream_), SinkIndex("strataeq_a"));
  }
  void TearDown() override {
    if (player_ > 0) {
      kill(player_, SIGTERM);
      waitpid(player_, nullptr, 0);
    }
    Shell("pactl set-default-sink strataeq_a");
    SetWaveBackend(nullptr);
  }

  pid_t player_ = 0;
  std::string stream_;
};

TEST_F(PulseDesktop, TakesTheStreamsAndTheDefaultAndPutsThemBack) {
  TDesktopSound desktop;
  desktop.Start();
  EXPECT_TRUE(desktop.Active());
  EXPECT_EQ(desktop.OutputName(), "strataeq_a") << "the default from before plays the result";
  const std::string ours = SinkIndex(TDesktopSound::kSinkName);
  ASSERT_FALSE(ours.empty());
  EXPECT_EQ(DefaultSink(), TDesktopSound::kSinkName);
  EXPECT_EQ(StreamSink(stream_), ours);
  EXPECT_EQ(desktop.MovedStreams(), 1);
  // The live route finds both ends among the wave devices.
  const int in = WaveDeviceByServerName(TWaveDir::Input, desktop.MonitorName());
  ASSERT_GE(in, 0);
  EXPECT_EQ(WaveInDeviceName(in), "Monitor of StrataEq Equalizer");
  EXPECT_GE(WaveDeviceByServerName(TWaveDir::Output, desktop.OutputName()), 0);

  desktop.Stop();
  EXPECT_FALSE(desktop.Active());
  EXPECT_EQ(DefaultSink(), "strataeq_a");
  EXPECT_EQ(StreamSink(stream_), SinkIndex("strataeq_a"));
  EXPECT_EQ(SinkIndex(TDesktopSound::kSinkName), "");
  desktop.Stop();  // twice is harmless
}

TEST_F(PulseDesktop, PlaysToTheChosenDeviceAndNeverIntoItsOwn) {
  {
    TDesktopSound desktop;
    desktop.Start("strataeq_b");
    EXPECT_EQ(desktop.OutputName(), "strataeq_b");
    EXPECT_EQ(StreamSink(stream_), SinkIndex(TDesktopSound::kSinkName));
  }  // the destructor puts everything back
  EXPECT_EQ(StreamSink(stream_), SinkIndex("strataeq_a"));
  EXPECT_EQ(DefaultSink(), "strataeq_a");

  TDesktopSound desktop;
  EXPECT_THROW(desktop.Start(TDesktopSound::kSinkName), EMMDesktopError);
  EXPECT_THROW(desktop.Start("no_such_sink"), EMMDesktopError);
  EXPECT_FALSE(desktop.Active());
  EXPECT_EQ(SinkIndex(TDesktopSound::kSinkName), "");
  EXPECT_EQ(StreamSink(stream_), SinkIndex("strataeq_a"));
}

// A run killed while active leaves its device, the default and the moved streams;
// the device's properties say where each belongs (here: the default was B, the
// stream played on A). The next start puts them back
// first, so its own stop restores the state from before the killed run.
TEST_F(PulseDesktop, ClearsUpWhatAKilledRunLeftBehind) {
  const std::string module =
      Shell(R"(pactl load-module module-null-sink sink_name=strataeq_equalizer "sink_properties=')"
            R"(device.description=\"StrataEq Equalizer\" strataeq.previous_default=\"strataeq_b\" )"
            R"(strataeq.origins=\")" + stream_ + R"(=strataeq_a\"'")");
  ASSERT_FALSE(module.empty()) << "pactl could not load a null sink";
  Shell("pactl set-default-sink strataeq_equalizer");
  Shell("pactl move-sink-input " + stream_ + " strataeq_equalizer");
  ASSERT_EQ(StreamSink(stream_), SinkIndex(TDesktopSound::kSinkName));

  TDesktopSound desktop;
  desktop.Start();
  EXPECT_EQ(desktop.OutputName(), "strataeq_b") << "the default before the killed run";
  EXPECT_EQ(Shell("pactl list short modules | grep -c strataeq_equalizer"), "1") << "one device, not two";
  EXPECT_EQ(StreamSink(stream_), SinkIndex(TDesktopSound::kSinkName));
  desktop.Stop();
  EXPECT_EQ(DefaultSink(), "strataeq_b");
  EXPECT_EQ(StreamSink(stream_), SinkIndex("strataeq_a")) << "back where the killed run found it";
  EXPECT_EQ(SinkIndex(TDesktopSound::kSinkName), "");
}

}  // namespace
}  // namespace strataeq
