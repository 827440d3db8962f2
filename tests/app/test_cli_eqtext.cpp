// Headphone and room corrections in the text forms through strataeq-cli: import,
// export, and --preset with a text, judged by what happens to audio.
#include <gtest/gtest.h>

#include <sstream>

#include "app/CliTestUtil.h"
#include "eq/MMEQText.h"

namespace {

constexpr const char* kCorrection =
    "Preamp: -6.2 dB\n"
    "Filter 1: ON LSC Fc 105 Hz Gain 5.5 dB Q 0.70\n"
    "Filter 2: ON PK Fc 220 Hz Gain -2.8 dB Q 0.9\n"
    "Filter 3: ON PK Fc 2900 Hz Gain 4.1 dB Q 2.0\n"
    "Filter 4: ON PK Fc 6300 Hz Gain -4.5 dB Q 3.5\n"
    "Filter 5: ON HSC Fc 10000 Hz Gain -2.5 dB\n";

constexpr double kTones[] = {60, 300, 1000, 2900, 6300, 12000};

struct Output {
  int code = -1;
  std::string out, err;
};

// The command line with stdout and stderr captured.
Output CliRun(const fs::path& dir, const std::string& args) {
  const fs::path out = dir / "stdout.txt", err = dir / "stderr.txt";
  const std::string cmd = std::string(STRATAEQ_CLI) + " " + args + " >" + Quote(out) + " 2>" + Quote(err);
  const int status = std::system(cmd.c_str());
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, FileBytes(out), FileBytes(err)};
}

std::vector<std::int16_t> Tones(int frames, double rate = 44100) {
  std::vector<std::int16_t> s(static_cast<std::size_t>(frames));
  for (int i = 0; i < frames; ++i) {
    double v = 0;
    for (double f : kTones) v += 0.1 * std::sin(2 * M_PI * f * i / rate);
    s[static_cast<std::size_t>(i)] = static_cast<std::int16_t>(std::lround(v * 32767));
  }
  return s;
}

// Gain in dB of each tone from in.wav to out (mono), past the filter's start.
std::vector<double> ToneGains(const fs::path& in, const fs::path& out, double rate = 44100) {
  const auto a = ReadWavSamples(in), b = ReadWavSamples(out);
  std::vector<double> g;
  for (double f : kTones)
    g.push_back(20 * std::log10(ToneAmplitude(b, 1, 0, f, 8192, 44100, rate) / ToneAmplitude(a, 1, 0, f, 8192, 44100, rate)));
  return g;
}

class CliEqText : public CliTest {};

TEST_F(CliEqText, AnImportedCorrectionShapesAudioAsItsTarget) {
  std::ofstream(dir / "correction.txt") << kCorrection;
  WriteWav(dir / "in.wav", Tones(44100 + 16384), 1);
  const strataeq::TEQText text = strataeq::ParseEQText(kCorrection, "correction.txt");
  const struct {
    const char* how;
    double within;  // dB at every tone
  } modes[] = {{"15", 2.5}, {"exact", 0.5}};
  for (const auto& m : modes) {
    SCOPED_TRACE(m.how);
    const fs::path sqp = dir / (std::string(m.how) + ".sqp"), out = dir / (std::string(m.how) + ".wav");
    const Output r = CliRun(dir, "preset import " + Quote(dir / "correction.txt") + " " + Quote(sqp) + " --bands " + m.how);
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.out.find("fit error 20 Hz-20 kHz: RMS "), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("the preamp of -6.2 dB"), std::string::npos) << r.out;
    ASSERT_EQ(CliRun(dir, "process " + Quote(dir / "in.wav") + " " + Quote(out) + " -q --preset " + Quote(sqp)).code, 0);
    const auto gains = ToneGains(dir / "in.wav", out);
    for (std::size_t i = 0; i < gains.size(); ++i)
      EXPECT_NEAR(gains[i], text.TargetDb(kTones[i]), m.within) << kTones[i] << " Hz";

    // --preset takes the text itself, fitted the same way.
    const fs::path direct = dir / (std::string(m.how) + "_direct.wav");
    ASSERT_EQ(CliRun(dir, "process " + Quote(dir / "in.wav") + " " + Quote(direct) + " -q --bands " + m.how +
                           " --preset " + Quote(dir / "correction.txt"))
                  .code,
              0);
    EXPECT_EQ(FileBytes(direct), FileBytes(out));
  }

  // At another rate the bins move: a text given to --preset is fitted at the file's rate.
  WriteWav(dir / "in48.wav", Tones(48000 + 16384, 48000), 1, 48000);
  ASSERT_EQ(CliRun(dir, "process " + Quote(dir / "in48.wav") + " " + Quote(dir / "out48.wav") +
                            " -q --bands exact --preset " + Quote(dir / "correction.txt"))
                .code,
            0);
  const strataeq::TEQText text48 = strataeq::ParseEQText(kCorrection, "correction.txt", 48000);
  const auto gains = ToneGains(dir / "in48.wav", dir / "out48.wav", 48000);
  for (std::size_t i = 0; i < gains.size(); ++i) EXPECT_NEAR(gains[i], text48.TargetDb(kTones[i]), 0.5) << kTones[i] << " Hz";
}

TEST_F(CliEqText, AMalformedTextIsRefusedWithItsLineAndNothingIsWritten) {
  std::ofstream(dir / "bad.txt") << "# from a forum post\nGraphicEQ: 20 -1.5; 40 -1 60 -0.5; 80 0\n";
  WriteWav(dir / "in.wav", Tones(8192), 1);
  const std::string expected =
      "strataeq-cli: " + (dir / "bad.txt").string() + ": line 2: point 2: expected ';' after '40 -1', found '60'\n";
  Output r = CliRun(dir, "preset import " + Quote(dir / "bad.txt") + " " + Quote(dir / "out.sqp"));
  EXPECT_EQ(r.code, 1);
  EXPECT_EQ(r.err, expected);
  EXPECT_FALSE(fs::exists(dir / "out.sqp"));
  r = CliRun(dir, "process " + Quote(dir / "in.wav") + " " + Quote(dir / "out.wav") + " -q --preset " + Quote(dir / "bad.txt"));
  EXPECT_EQ(r.code, 1);
  EXPECT_EQ(r.err, expected);
  EXPECT_FALSE(fs::exists(dir / "out.wav"));

  EXPECT_EQ(CliRun(dir, "preset import " + Quote(dir / "bad.txt") + " " + Quote(dir / "out.sqp") + " --bands 7").code, 2);

  // Out of range: imported, and said.
  std::ofstream(dir / "loud.txt") << "GraphicEQ: 20 0; 1000 24; 30000 0\n";
  r = CliRun(dir, "preset import " + Quote(dir / "loud.txt") + " " + Quote(dir / "loud.sqp"));
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.err.find("warning: " + (dir / "loud.txt").string() +
                       ": line 1: 1 point(s) outside 1 .. 22050 Hz (half the sample rate) left out, the first at 30000 Hz"),
            std::string::npos)
      << r.err;
  EXPECT_NE(r.err.find("1 gain(s) outside -99 .. 16 dB clamped, the first 24 dB at 1000 Hz"), std::string::npos) << r.err;
  EXPECT_NE(r.out.find("the curve lowered by 16.0 dB to put its peak at 0 dB"), std::string::npos) << r.out;
}

TEST_F(CliEqText, AnExportedPresetPlaysAsTheOriginalAndImportsBack) {
  ASSERT_EQ(CliRun(dir, "preset write " + Quote(dir / "cut.sqp") + " --band 8=-12 --fft 1024").code, 0);
  Output r = CliRun(dir, "preset export " + Quote(dir / "cut.sqp") + " " + Quote(dir / "cut.txt"));
  ASSERT_EQ(r.code, 0) << r.err;
  const std::string text = FileBytes(dir / "cut.txt");
  ASSERT_EQ(text.rfind("# StrataEq FFT length: 1024\nPreamp: 0 dB\nGraphicEQ: 5 ", 0), 0u) << text.substr(0, 60);

  WriteWav(dir / "in.wav", Tones(44100 + 16384), 1);
  ASSERT_EQ(CliRun(dir, "process " + Quote(dir / "in.wav") + " " + Quote(dir / "a.wav") + " -q --preset " + Quote(dir / "cut.sqp")).code, 0);
  ASSERT_EQ(CliRun(dir, "process " + Quote(dir / "in.wav") + " " + Quote(dir / "b.wav") + " -q --preset " + Quote(dir / "cut.txt")).code, 0);
  const auto a = ToneGains(dir / "in.wav", dir / "a.wav"), b = ToneGains(dir / "in.wav", dir / "b.wav");
  EXPECT_NEAR(a[3], -12, 0.2);  // 2.9 kHz lies in band 8
  for (std::size_t i = 0; i < a.size(); ++i) EXPECT_NEAR(b[i], a[i], 0.1) << kTones[i] << " Hz";

  r = CliRun(dir, "preset import " + Quote(dir / "cut.txt") + " " + Quote(dir / "back.sqp"));
  ASSERT_EQ(r.code, 0) << r.err;
  r = CliRun(dir, "preset show " + Quote(dir / "back.sqp"));
  ASSERT_EQ(r.code, 0);
  EXPECT_NE(r.out.find("FFT length:  1024\nbands:       15\n"), std::string::npos) << r.out;
  std::istringstream lines(r.out);
  int bands = 0;
  for (std::string line; std::getline(lines, line);) {
    int n = 0;
    double f1 = 0, f2 = 0, gain = 0;
    if (std::sscanf(line.c_str(), " %d %lf - %lf Hz %lf dB", &n, &f1, &f2, &gain) != 4) continue;
    ++bands;
    EXPECT_NEAR(gain, n == 8 ? -12 : 0, 0.15) << line;
  }
  EXPECT_EQ(bands, 15);

  EXPECT_EQ(CliRun(dir, "preset export " + Quote(dir / "cut.sqp") + " " + Quote(dir / "cut.sqp")).code, 1);
}

}  // namespace
