#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

#include "app/cli/CliOptions.h"
#include "app/cli/Commands.h"

namespace strataeq::cli {
namespace {

TCliOptions Parse(std::initializer_list<std::string> args) { return ParseCommandLine(args); }

TEST(CliOptions, ProcessCollectsFilesAndEqualizerSettings) {
  const TCliOptions o = Parse({"process", "in.wav", "out.wav", "--preset", "p.sqp", "--band", "8=-20",
                               "--band", "1=3.5", "--fft", "1024", "--channel", "left", "-q"});
  EXPECT_EQ(o.Positional, (std::vector<std::string>{"in.wav", "out.wav"}));
  EXPECT_EQ(o.Eq.Preset, "p.sqp");
  ASSERT_EQ(o.Eq.Bands.size(), 2u);
  EXPECT_EQ(o.Eq.Bands[0], (std::pair<int, float>{7, -20.0f}));
  EXPECT_EQ(o.Eq.Bands[1], (std::pair<int, float>{0, 3.5f}));
  EXPECT_EQ(o.Eq.FFTLength, 1024);
  EXPECT_EQ(o.Eq.Channel, TMMChannel::chLeft);
  EXPECT_TRUE(o.Quiet);
  EXPECT_EQ(o.Bitrate, 128);
}

TEST(CliOptions, GainsTakeExactlyFifteenValuesInRange) {
  const TCliOptions o = Parse({"preset", "write", "x.sqp", "--gains", "-99,0,0,0,0,0,0,0,0,0,0,0,0,0,16",
                               "--description", "Loud"});
  ASSERT_TRUE(o.Eq.Gains.has_value());
  EXPECT_EQ((*o.Eq.Gains)[0], -99.0f);
  EXPECT_EQ((*o.Eq.Gains)[14], 16.0f);
  EXPECT_EQ(o.Eq.Description, "Loud");
  EXPECT_THROW(Parse({"process", "a", "b", "--gains", "0,0,0"}), EUsageError);
  EXPECT_THROW(Parse({"process", "a", "b", "--gains", "0,0,0,0,0,0,0,0,0,0,0,0,0,0,16.5"}), EUsageError);
}

TEST(CliOptions, MistakesAreUsageErrors) {
  for (auto args : std::vector<std::vector<std::string>>{
           {},
           {"frobnicate"},
           {"process", "only-one.wav"},
           {"process", "a", "b", "c"},
           {"process", "a", "b", "--band", "0=1"},
           {"process", "a", "b", "--band", "16=1"},
           {"process", "a", "b", "--band", "3=-99.5"},
           {"process", "a", "b", "--band", "3=nan"},
           {"process", "a", "b", "--band", "3"},
           {"process", "a", "b", "--fft", "8"},
           {"process", "a", "b", "--fft", "1000"},
           {"process", "a", "b", "--fft", "8192"},
           {"process", "a", "b", "--channel", "middle"},
           {"process", "a", "b", "--bitrate", "31"},
           {"process", "a", "b", "--mp3-container", "ogg"},
           {"process", "a", "b", "--preset"},
           {"process", "a", "b", "--description", "x"},
           {"info", "a", "--band", "1=0"},
           {"preset", "show", "a", "--fft", "256"},
           {"preset", "delete", "a"},
           {"live", "--seconds", "-1"},
           {"process", "a", "b", "--unknown", "1"},
       }) {
    EXPECT_THROW(ParseCommandLine(args), EUsageError) << ::testing::PrintToString(args);
  }
}

TEST(CliOptions, BatchesTakeInputsAFolderAnExtensionAndJobs) {
  const TCliOptions o = Parse({"process", "a.wav", "b.mp3", "c.wav", "--out-dir", "out", "--to", "mp3", "-j", "3"});
  EXPECT_EQ(o.Positional, (std::vector<std::string>{"a.wav", "b.mp3", "c.wav"}));
  EXPECT_EQ(o.OutDir, "out");
  EXPECT_EQ(o.To, "mp3");
  EXPECT_EQ(o.Jobs, 3);
  const TCliOptions one = Parse({"process", "a.wav", "--out-dir", "out"});
  EXPECT_EQ(one.Positional.size(), 1u);
  EXPECT_EQ(one.To, "");
  EXPECT_EQ(one.Jobs, 0);
  for (auto args : std::vector<std::vector<std::string>>{
           {"process", "--out-dir", "out"},
           {"info", "a", "--to", "mp3"},
           {"process", "a", "b", "-j", "2"},
           {"process", "a", "--out-dir", "out", "--to", "ogg"},
           {"process", "a", "--out-dir", "out", "-j", "0"},
           {"process", "a", "--out-dir", "out", "--jobs", "x"},
           {"info", "a", "--out-dir", "out"},
       }) {
    EXPECT_THROW(ParseCommandLine(args), EUsageError) << ::testing::PrintToString(args);
  }
}

// A batch's jobs and one file's threads share the cores: -j cores runs each file on one.
TEST(CliOptions, ThreadsPerFileShareTheCoresWithABatchsJobs) {
  EXPECT_THROW(Parse({"process", "a", "b", "--threads", "0"}), EUsageError);
  EXPECT_THROW(Parse({"info", "a", "--threads", "2"}), EUsageError);
  const int cores = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
  EXPECT_EQ(FileThreads(Parse({"process", "a", "b"})), cores);
  EXPECT_EQ(FileThreads(Parse({"process", "a", "b", "--threads", "1"})), 1);
  EXPECT_EQ(FileThreads(Parse({"process", "a", "c", "--out-dir", "o", "-j", "1"})), cores);
  EXPECT_EQ(FileThreads(Parse({"process", "a", "c", "d", "--out-dir", "o", "-j", "3"})), std::max(1, cores / 3));
  EXPECT_EQ(FileThreads(Parse({"process", "a", "--out-dir", "o", "-j", "4"})), cores);  // one file: all cores
  EXPECT_EQ(FileThreads(Parse({"process", "a", "c", "--out-dir", "o", "-j", "9", "--threads", "2"})), 2);
}

TEST(CliOptions, DeviceRoutesTakeDevicesAndDuration) {
  const TCliOptions o = Parse({"live", "--in", "Monitor", "--out", "2", "--seconds", "20", "--band", "8=-20"});
  EXPECT_EQ(o.InDevice, "Monitor");
  EXPECT_EQ(o.OutDevice, "2");
  EXPECT_EQ(o.Seconds, 20.0);
  EXPECT_THROW(Parse({"play", "f.wav", "--in", "1"}), EUsageError);
  EXPECT_NO_THROW(Parse({"record", "f.wav", "--in", "1", "--seconds", "1.5", "--bitrate", "192"}));
}

TEST(CliOptions, DesktopIsALiveFlagWithoutAnInputAndLatencyATargetForEveryDeviceRoute) {
  const TCliOptions o = Parse({"live", "--desktop", "--out", "B", "--latency", "40"});
  EXPECT_TRUE(o.Desktop);
  EXPECT_EQ(o.OutDevice, "B");
  EXPECT_EQ(o.LatencyMs, 40);
  EXPECT_FALSE(Parse({"live"}).Desktop);
  EXPECT_FALSE(Parse({"live"}).LatencyMs.has_value()) << "the design values stay the default";
  EXPECT_THROW(Parse({"live", "--desktop", "--in", "0"}), EUsageError) << "the desktop is the input";
  EXPECT_THROW(Parse({"record", "f.wav", "--desktop"}), EUsageError);
  EXPECT_EQ(Parse({"play", "f.wav", "--latency", "80"}).LatencyMs, 80);
  EXPECT_EQ(Parse({"record", "f.wav", "--latency", "2000"}).LatencyMs, 2000);
  EXPECT_THROW(Parse({"process", "a.wav", "b.wav", "--latency", "40"}), EUsageError);
  EXPECT_THROW(Parse({"live", "--latency", "4"}), EUsageError);
  EXPECT_THROW(Parse({"live", "--latency", "fast"}), EUsageError);
}

}  // namespace
}  // namespace strataeq::cli
