// End to end: batches of strataeq-cli process.
#include <gtest/gtest.h>

#include <signal.h>
#include <spawn.h>

#include <chrono>
#include <fstream>
#include <set>
#include <thread>

#include "app/CliTestUtil.h"

namespace {

class CliBatch : public CliTest {
 protected:
  std::set<std::string> Names(const fs::path& folder) {
    std::set<std::string> names;
    for (const auto& e : fs::directory_iterator(folder)) names.insert(e.path().filename().string());
    return names;
  }
  // Whether pid or one of its jobs holds an unnamed output file of folder open.
  static bool WritingInto(pid_t pid, const fs::path& folder) {
    std::vector<pid_t> pids{pid};
    std::ifstream children("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/children");
    for (pid_t c; children >> c;) pids.push_back(c);
    const std::string prefix = fs::canonical(folder).string() + "/";
    for (pid_t p : pids) {
      std::error_code ec;
      for (const auto& e : fs::directory_iterator("/proc/" + std::to_string(p) + "/fd", ec)) {
        const std::string target = fs::read_symlink(e.path(), ec).string();
        if (!ec && target.rfind(prefix, 0) == 0 && target.find("(deleted)") != std::string::npos) return true;
      }
    }
    return false;
  }
  // Starts the program, sends it sig once it writes an output in folder (the chain is
  // running), and returns its exit status.
  int Interrupt(std::vector<std::string> args, const fs::path& folder, int sig) {
    args.insert(args.begin(), STRATAEQ_CLI);
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawn(&pid, STRATAEQ_CLI, nullptr, nullptr, argv.data(), environ) != 0) return -1;
    for (int i = 0; i < 3000 && !WritingInto(pid, folder); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    kill(pid, sig);
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
};

// Ctrl-C or SIGTERM stops a run cleanly: no temporary file is left, a file the
// output would have replaced stays as it was, and the exit status says which signal.
TEST_F(CliBatch, ASignalLeavesNoPartialOutputAndEndsWith128PlusItsNumber) {
  WriteWav(dir / "long.wav", StereoSines(440, 660, 44100 * 240), 2);
  std::ofstream(dir / "out.mp3") << "kept";
  for (const char* threads : {"1", "3"}) {
    EXPECT_EQ(Interrupt({"process", (dir / "long.wav").string(), (dir / "out.mp3").string(), "-q", "--threads", threads},
                        dir, SIGINT),
              130);
    EXPECT_EQ(Names(dir), (std::set<std::string>{"long.wav", "out.mp3"}));
    std::ifstream kept(dir / "out.mp3");
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(kept), {}), "kept");
  }

  fs::create_directories(dir / "out");
  fs::copy_file(dir / "long.wav", dir / "long2.wav");
  fs::copy_file(dir / "long.wav", dir / "long3.wav");
  EXPECT_EQ(Interrupt({"process", (dir / "long.wav").string(), (dir / "long2.wav").string(),
                       (dir / "long3.wav").string(), "--out-dir", (dir / "out").string(), "--to", "mp3", "-j", "2", "-q"},
                      dir / "out", SIGTERM),
            143);
  EXPECT_EQ(Names(dir / "out"), std::set<std::string>{});
}

TEST_F(CliBatch, OneBrokenInputOfFiveLeavesFourOutputsAndOneNamedFailure) {
  fs::create_directories(dir / "in");
  const int frames[] = {44100, 1, 30001, 88064};
  std::string inputs;
  for (int i = 0; i < 4; ++i) {
    const fs::path p = dir / "in" / ("song " + std::to_string(i + 1) + ".wav");
    WriteWav(p, StereoSines(440, 660 + 100 * i, frames[i]), 2);
    inputs += Quote(p) + " ";
    if (i == 1) {
      std::ofstream(dir / "in" / "broken.wav", std::ios::binary) << "RIFF\x10\0\0\0WAVEjunkjunkjunk";
      inputs += Quote(dir / "in" / "broken.wav") + " ";
    }
  }
  const Result r = Cli("process " + inputs + "--out-dir " + Quote(dir / "out") + " --to mp3 -j 2 --band 8=-10");
  EXPECT_EQ(r.code, 1) << r.err;
  EXPECT_EQ(Names(dir / "out"), (std::set<std::string>{"song 1.mp3", "song 2.mp3", "song 3.mp3", "song 4.mp3"}));
  EXPECT_NE(r.err.find("4 of 5 files written"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find((dir / "in" / "broken.wav").string() + ": "), std::string::npos) << r.err;
  for (const char* good : {"song 1.wav:", "song 2.wav:", "song 3.wav:", "song 4.wav:"})
    EXPECT_EQ(r.err.find(good), std::string::npos) << good << " named as failed\n" << r.err;
  // Each output is the whole of its input.
  for (int i = 0; i < 4; ++i) {
    const std::string n = "song " + std::to_string(i + 1);
    ASSERT_EQ(Cli("process " + Quote(dir / "out" / (n + ".mp3")) + " " + Quote(dir / (n + ".wav")) + " -q").code, 0);
    EXPECT_EQ(ReadWavSamples(dir / (n + ".wav")).size(), static_cast<std::size_t>(frames[i]) * 2) << n;
  }
}

// The batch runs the single-file code: its outputs are byte for byte what process
// writes file by file, whatever the number of jobs.
TEST_F(CliBatch, OutputsAreWhatProcessWritesFileByFile) {
  std::string inputs;
  for (int i = 0; i < 3; ++i) {
    const fs::path p = dir / ("t" + std::to_string(i) + ".wav");
    WriteWav(p, StereoSines(300 + 200 * i, 5000, 20000 + 7777 * i), 2);
    inputs += Quote(p) + " ";
    ASSERT_EQ(Cli("process " + Quote(p) + " " + Quote(dir / ("single" + std::to_string(i) + ".wav")) +
                  " -q --band 2=-12 --fft 512")
                  .code,
              0);
  }
  for (const char* jobs : {"1", "3"}) {
    const fs::path out = dir / (std::string("out-j") + jobs);
    const Result r = Cli("process " + inputs + "--out-dir " + Quote(out) + " -j " + jobs + " -q --band 2=-12 --fft 512");
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(Names(out), (std::set<std::string>{"t0.wav", "t1.wav", "t2.wav"})) << "-j " << jobs;
    for (int i = 0; i < 3; ++i)
      EXPECT_EQ(FileBytes(out / ("t" + std::to_string(i) + ".wav")),
                FileBytes(dir / ("single" + std::to_string(i) + ".wav")))
          << "t" << i << ", -j " << jobs;
  }
}

TEST_F(CliBatch, InputsOfOneNameDoNotOverwriteEachOther) {
  fs::create_directories(dir / "a");
  fs::create_directories(dir / "b");
  WriteWav(dir / "a" / "x.wav", StereoSines(440, 440, 4410), 2);
  WriteWav(dir / "b" / "x.wav", StereoSines(880, 880, 8820), 2);
  const Result r = Cli("process " + Quote(dir / "a" / "x.wav") + " " + Quote(dir / "b" / "x.wav") + " --out-dir " +
                       Quote(dir / "out") + " -q");
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find((dir / "b" / "x.wav").string() + ": its output"), std::string::npos) << r.err;
  EXPECT_EQ(ReadWavSamples(dir / "out" / "x.wav").size(), 4410u * 2);
  EXPECT_EQ(Names(dir / "out"), std::set<std::string>{"x.wav"});
}

}  // namespace
