// End to end: one file on three threads (--threads 3), and on four with the filter split
// by channel (--threads 4), against the single-thread path.
#include <gtest/gtest.h>

#include <random>

#include "app/CliTestUtil.h"

namespace {

class CliThreads : public CliTest {
 protected:
  // Loud noise over a tone, so that the filter has everything to do and some samples clip.
  std::vector<std::int16_t> Noise(int frames, int channels) {
    std::vector<std::int16_t> s(static_cast<std::size_t>(frames) * static_cast<std::size_t>(channels));
    std::normal_distribution<double> d(0, 9000);
    for (std::size_t i = 0; i < s.size(); ++i)
      s[i] = static_cast<std::int16_t>(std::clamp(d(random) + 12000 * std::sin(0.05 * double(i)), -32768.0, 32767.0));
    return s;
  }
  // Processes in into out1, out3 and out4 with 1, 3 and 4 threads; all must succeed.
  void Both(const fs::path& in, const std::string& out, const std::string& options) {
    for (const char* threads : {"1", "3", "4"}) {
      const Result r = Cli("process " + Quote(in) + " " + Quote(dir / (threads + out)) + " -q --threads " + threads +
                           " --gains 3,-2,4,-6,1,2,-3,-20,5,-4,2,-1,3,16,2 " + options);
      ASSERT_EQ(r.code, 0) << r.err;
    }
  }
  std::mt19937 random{7};
};

TEST_F(CliThreads, EveryFftLengthAndLengthComeOutByteForByteAsOnOneThread) {
  for (int n = 16; n <= 4096; n *= 2) {
    for (const int frames : {1, n / 4, 3 * n + 5}) {
      SCOPED_TRACE("FFT " + std::to_string(n) + ", " + std::to_string(frames) + " frames");
      WriteWav(dir / "in.wav", Noise(frames, 2), 2);
      Both(dir / "in.wav", "out.wav", "--fft " + std::to_string(n));
      EXPECT_EQ(ReadWavSamples(dir / "1out.wav").size(), static_cast<std::size_t>(frames) * 2);
      EXPECT_TRUE(FileBytes(dir / "1out.wav") == FileBytes(dir / "3out.wav"));
      EXPECT_TRUE(FileBytes(dir / "1out.wav") == FileBytes(dir / "4out.wav"));
    }
  }
  // Many times the queues' length, ending inside a block: WAV and MP3 output, mono too.
  WriteWav(dir / "long.wav", Noise(700001, 2), 2);
  Both(dir / "long.wav", "out.wav", "");
  EXPECT_EQ(ReadWavSamples(dir / "1out.wav").size(), 700001u * 2);
  EXPECT_TRUE(FileBytes(dir / "1out.wav") == FileBytes(dir / "3out.wav"));
  EXPECT_TRUE(FileBytes(dir / "1out.wav") == FileBytes(dir / "4out.wav"));
  // The same in float, as a 24-bit file is filtered.
  ASSERT_EQ(Cli("process " + Quote(dir / "long.wav") + " " + Quote(dir / "long24.wav") + " -q --bits 24").code, 0);
  Both(dir / "long24.wav", "out.wav", "--fft 512");
  EXPECT_EQ(FileBytes(dir / "1out.wav").size(), FileBytes(dir / "long24.wav").size());
  EXPECT_TRUE(FileBytes(dir / "1out.wav") == FileBytes(dir / "3out.wav"));
  EXPECT_TRUE(FileBytes(dir / "1out.wav") == FileBytes(dir / "4out.wav"));
  Both(dir / "long.wav", "out.mp3", "");
  EXPECT_GT(FileBytes(dir / "1out.mp3").size(), 100000u);
  EXPECT_TRUE(FileBytes(dir / "1out.mp3") == FileBytes(dir / "3out.mp3"));
  EXPECT_TRUE(FileBytes(dir / "1out.mp3") == FileBytes(dir / "4out.mp3"));
  WriteWav(dir / "mono.wav", Noise(300007, 1), 1);
  Both(dir / "mono.wav", "out.wav", "--fft 64");
  EXPECT_TRUE(FileBytes(dir / "1out.wav") == FileBytes(dir / "3out.wav"));
  EXPECT_TRUE(FileBytes(dir / "1out.wav") == FileBytes(dir / "4out.wav"));
}

}  // namespace
