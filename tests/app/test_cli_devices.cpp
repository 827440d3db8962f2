// The device routes of the command line on the in-process virtual devices.
#include <gtest/gtest.h>

#include <csignal>
#include <regex>

#include "app/CliTestUtil.h"

namespace {

class CliDevices : public CliTest {};

std::string Output(const std::string& args) {
  const std::string cmd = "STRATAEQ_AUDIO=virtual " + std::string(STRATAEQ_CLI) + " " + args + " 2>&1";
  FILE* p = popen(cmd.c_str(), "r");
  std::string text;
  char buf[256];
  while (fgets(buf, sizeof buf, p)) text += buf;
  pclose(p);
  return text;
}

int RunVirtual(const std::string& args) {
  const int status = std::system(("STRATAEQ_AUDIO=virtual " + std::string(STRATAEQ_CLI) + " " + args + " >/dev/null 2>&1").c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST_F(CliDevices, ListsRecordingAndPlaybackDevicesByNumber) {
  const std::string text = Output("devices");
  EXPECT_NE(text.find("recording devices"), std::string::npos) << text;
  EXPECT_NE(text.find("    0  Virtual input 0"), std::string::npos) << text;
  EXPECT_NE(text.find("    1  Virtual output 1"), std::string::npos) << text;
}

TEST_F(CliDevices, RecordsExactlyTheAskedTimeIntoAValidFile) {
  ASSERT_EQ(RunVirtual("record " + Quote(dir / "r.wav") + " --in 1 --seconds 1"), 0);
  EXPECT_EQ(ReadWavSamples(dir / "r.wav").size(), 44100u * 2);
}

TEST_F(CliDevices, AnInterruptedRecordingIsAValidFile) {
  const std::string cmd = "STRATAEQ_AUDIO=virtual exec " + std::string(STRATAEQ_CLI) + " record " + Quote(dir / "r.wav");
  FILE* p = popen(cmd.c_str(), "r");
  ASSERT_NE(p, nullptr);
  // Wait until the file has grown past its header, then interrupt as Ctrl-C does.
  for (int i = 0; i < 500 && (!fs::exists(dir / "r.wav") || fs::file_size(dir / "r.wav") < 60000); ++i) usleep(10000);
  std::system(("pkill -INT -f " + Quote(dir / "r.wav")).c_str());
  EXPECT_EQ(pclose(p), 0);
  const auto samples = ReadWavSamples(dir / "r.wav");
  EXPECT_GT(samples.size(), 10000u);
  // The header's sizes agree with the file.
  const std::string bytes = FileBytes(dir / "r.wav");
  std::uint32_t riff = 0;
  std::memcpy(&riff, bytes.data() + 4, 4);
  EXPECT_EQ(riff + 8, bytes.size());
}

TEST_F(CliDevices, LiveRunsForItsTimeAndReportsCpuAndDropouts) {
  const std::string text = Output("live --seconds 2.2 --band 8=-20");
  EXPECT_TRUE(std::regex_search(text, std::regex(R"(Cpu Usage : \d+ % \(strataeq \d+ %\)   Dropouts : \d+)")))
      << text;
}

TEST_F(CliDevices, PlayEndsWithTheFile) {
  WriteWav(dir / "in.wav", StereoSines(500, 3000, 44100 / 2), 2);
  EXPECT_EQ(RunVirtual("play " + Quote(dir / "in.wav") + " --out 1 --band 1=-3"), 0);
}

TEST_F(CliDevices, UnknownDevicesAreRefusedByNameAndNumber) {
  EXPECT_NE(Output("live --in nosuchdevice").find("no recording device is named like 'nosuchdevice'"), std::string::npos);
  EXPECT_EQ(RunVirtual("live --out 9"), 1);
  EXPECT_EQ(RunVirtual("live --in Virtual"), 1);  // names more than one device
}

}  // namespace
