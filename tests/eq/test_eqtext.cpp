// GraphicEQ and ParametricEQ texts: what they mean, how wrong ones are refused, and
// how closely the equalizer's real filter follows them once fitted.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <complex>
#include <filesystem>
#include <fstream>
#include <numbers>
#include <string>
#include <vector>

#include "eq/EqTestUtil.h"
#include "eq/MMEQFit.h"
#include "eq/MMFFTFlt.h"

namespace strataeq {
namespace {

using namespace eqtest;
namespace fs = std::filesystem;

// A headphone correction as the public databases publish them, shelves without and
// with Q, units left out on one line, a filter switched off.
constexpr const char* kParametric =
    "\xEF\xBB\xBFPreamp: -6.2 dB\r\n"
    "# bass shelf, presence, de-essing, air\r\n"
    "Filter 1: ON LSC Fc 105 Hz Gain 5.5 dB Q 0.70\r\n"
    "Filter 2: ON PK Fc 220 Hz Gain -2.8 dB Q 0.9\r\n"
    "Filter 3: ON PK Fc 2900 Hz Gain 4.1 dB Q 2.0\r\n"
    "Filter 4: ON PK Fc 6300 Hz Gain -4.5 dB Q 3.5\r\n"
    "Filter 5: OFF PK Fc 9000 Hz Gain 9 dB Q 1\r\n"
    "Filter 6: ON HSC Fc 10000 Gain -2.5\r\n";

// A smooth correction curve as a 127-point GraphicEQ (20 Hz .. 20 kHz), peaking
// above 0 dB so the import has to make headroom.
std::string GraphicCurve() {
  std::string s = "GraphicEQ: ";
  for (int i = 0; i < 127; ++i) {
    const double f = 20 * std::pow(1000.0, i / 126.0);
    const double oct = std::log2(f / 20);
    const double g = 3 * std::exp(-oct * oct / 8) - 4 * std::exp(-(oct - 7.2) * (oct - 7.2) / 0.8) +
                     2.5 * std::exp(-(oct - 9.2) * (oct - 9.2) / 0.3);
    char pair[64];
    std::snprintf(pair, sizeof pair, "%s%.1f %.2f", i ? "; " : "", f, g);
    s += pair;
  }
  return s + "\n";
}

std::vector<double> LogGrid(double from, double to, int perOctave) {
  std::vector<double> f;
  for (double x = from; x <= to * 1.0001; x *= std::exp2(1.0 / perOctave)) f.push_back(x);
  return f;
}

// The equalizer's response as its filter produces it: bands applied as the equalizer
// applies them, an impulse run through, and the output's spectrum taken at each
// frequency (the delay changes only the phase).
std::vector<double> MeasuredResponseDb(const std::vector<TEQBand>& bands, int fftLength,
                                       const std::vector<double>& freqs) {
  constexpr int kRate = 44100;
  constexpr double kImpulse = 32000;
  const TWaveFormatEx format = Pcm16(1, kRate);
  PFFTFilter filter = CreateFFTFilter(&format, fftLength, 65536);
  SetFilterBand(filter.get(), 0, kRate / 2, 0);
  for (const TEQBand& b : bands) SetFilterBand(filter.get(), b.F1, b.F2, b.Gain);
  std::vector<std::int16_t> x(8 * 1024, 0);
  x[0] = static_cast<std::int16_t>(kImpulse);
  ProcessFilter(filter.get(), TMMChannel::chBoth, x.data(), static_cast<int>(x.size() * 2));
  std::size_t first = 0, last = x.size();
  while (first < x.size() && x[first] == 0) ++first;
  while (last > first && x[last - 1] == 0) --last;
  std::vector<double> db;
  for (double f : freqs) {
    std::complex<double> sum = 0;
    for (std::size_t n = first; n < last; ++n) sum += double(x[n]) * std::polar(1.0, -2 * std::numbers::pi * f * n / kRate);
    db.push_back(20 * std::log10(std::abs(sum) / kImpulse));
  }
  return db;
}

struct Error {
  double rms = 0, max = 0;
};

Error Compare(const std::vector<double>& a, const std::vector<double>& b) {
  Error e;
  for (std::size_t i = 0; i < a.size(); ++i) {
    e.rms += (a[i] - b[i]) * (a[i] - b[i]);
    e.max = std::max(e.max, std::abs(a[i] - b[i]));
  }
  e.rms = std::sqrt(e.rms / static_cast<double>(a.size()));
  return e;
}

std::string Message(const std::string& text) {
  try {
    ParseEQText(text, "src.txt");
  } catch (const EEQTextError& e) {
    return e.what();
  }
  return "(accepted)";
}

TEST(EQText, FiltersAndPointsGiveTheirKnownResponses) {
  const TEQText p = ParseEQText(kParametric, "p.txt");
  ASSERT_EQ(p.Filters.size(), 5u);  // the OFF filter is left out
  EXPECT_DOUBLE_EQ(p.Preamp, -6.2);
  EXPECT_TRUE(p.Warnings.empty());
  EXPECT_EQ(p.Filters[4].Type, TEQTextFilterType::ftHighShelf);
  EXPECT_NEAR(p.Filters[4].Q, std::sqrt(0.5), 1e-12);  // a shelf without Q
  EXPECT_EQ(p.Filters[4].Line, 8);
  EXPECT_EQ(p.Summary(), "ParametricEQ, 5 filters, preamp -6.2 dB");

  // Cookbook biquads: a peak has its gain at Fc, a shelf half its gain at Fc and all
  // of it far from Fc.
  auto one = [](const std::string& line) { return ParseEQText(line, "one.txt"); };
  const TEQText pk = one("Filter: ON PK Fc 1000 Hz Gain 6 dB Q 1");
  EXPECT_NEAR(pk.TargetDb(1000), 6, 1e-9);
  EXPECT_NEAR(pk.TargetDb(30), 0, 0.01);
  const TEQText ls = one("Filter 1: ON LSC Fc 100 Hz Gain -8 dB");
  EXPECT_NEAR(ls.TargetDb(100), -4, 0.01);
  EXPECT_NEAR(ls.TargetDb(5), -8, 0.02);
  EXPECT_NEAR(ls.TargetDb(15000), 0, 0.02);
  const TEQText hs = one("Filter 1: ON HSC Fc 5000 Hz Gain 4 dB Q 0.7");
  EXPECT_NEAR(hs.TargetDb(5000), 2, 0.05);
  EXPECT_NEAR(hs.TargetDb(50), 0, 0.01);
  EXPECT_NEAR(hs.TargetDb(20000), 4, 0.1);
  // Responses add, and so do preamps.
  const TEQText both = one("Preamp: -1\nPreamp: -2 dB\nFilter 1: ON PK Fc 1000 Hz Gain 6 dB Q 1\nGraphicEQ: 100 0; 400 -6\n");
  EXPECT_NEAR(both.TargetDb(1000), -3 + 6 - 6, 1e-9);

  // Points: linear in log frequency between them, held beyond the ends.
  const TEQText g = one("GraphicEQ: 100 0; 400 -6; 1000 2;");
  ASSERT_EQ(g.Points.size(), 3u);
  EXPECT_NEAR(g.TargetDb(200), -3, 1e-12);
  EXPECT_NEAR(g.TargetDb(10), 0, 1e-12);
  EXPECT_NEAR(g.TargetDb(20000), 2, 1e-12);
  EXPECT_EQ(ParseEQText(FormatGraphicEQ(g.Points), "again.txt").Points.size(), 3u);
}

TEST(EQText, RefusesWhatItCannotReadWithTheLineAndWhatWasExpected) {
  std::string many = "GraphicEQ: ";
  for (int i = 0; i < 10000; ++i) many += std::to_string(20 + i) + " 0; ";
  const struct {
    std::string text, expected;
  } cases[] = {
      {"", "src.txt: empty: expected a 'GraphicEQ:' line"},
      {"# nothing but a comment\n\n", "src.txt: empty"},
      {"GraphicEQ: 20 -1,2; 30 -1", "src.txt: line 1: point 1: the gain '-1,2' has a comma as the decimal mark: expected a point, as in '-1.2'"},
      {"Preamp: -6,4 dB", "line 1: the preamp in dB '-6,4' has a comma as the decimal mark"},
      {"# c\nGraphicEQ: 20 -1 30 -2; 40 0", "line 2: point 1: expected ';' after '20 -1', found '30'"},
      {"GraphicEQ: 20", "line 1: point 1: expected a frequency and a gain separated by a space, found '20'"},
      {"GraphicEQ: 20,-1.5; 30 0", "line 1: point 1: expected a frequency and a gain separated by a space, found '20,-1.5'"},
      {"GraphicEQ: 20 -1; 30,5 0", "line 1: point 2: the frequency '30,5' has a comma as the decimal mark"},
      {"GraphicEQ: 20 0;; 40 1", "line 1: point 2: empty"},
      {"\n\nFilter 1: ON LP Fc 100 Hz Gain 3 dB Q 1", "line 3: filter type 'LP' is not supported: expected PK, LSC or HSC"},
      {"Filter 1: ON PK Fc 100 Hz Gain nan dB Q 1", "line 1: the gain 'nan' is not a finite number"},
      {"Filter 1: ON PK Fc 100 Hz Gain 1e999 dB Q 1", "line 1: the gain '1e999' is not a finite number"},
      {"Filter 1: ON PK Fc abc Hz Gain 1 dB Q 1", "line 1: expected the frequency (a number), found 'abc'"},
      {"Filter 1: ON PK Fc 100 Hz Gain 3 dB", "line 1: expected 'Q' and the width of the PK filter"},
      {"Filter 1: ON PK Fc 100 Hz Gain 3 dB Q 0", "line 1: Q 0 is not above 0"},
      {"Filter 1: PK Fc 100 Hz Gain 3 dB Q 1", "line 1: expected ON or OFF after 'Filter 1:', found 'PK'"},
      {"Filter 1: ON PK Fc 100 Hz Gain 3 dB Q 1 BW 2", "line 1: expected Fc, Gain or Q, found 'BW'"},
      {"GraphicEQ: 100 0; 50 1", "line 1: point 2: 50 Hz does not rise above the previous point's 100 Hz"},
      {many, "line 1: 10000 points: expected at most 4096"},
      {"Channel: all\nPreamp: -3 dB", "line 1: expected 'Preamp:', 'Filter n:', 'GraphicEQ:' or a '#' comment, found 'Channel: all'"},
      {"GraphicEQ: 20 0\nGraphicEQ: 30 0", "line 2: a second GraphicEQ line: expected one (the first is line 1)"},
      {std::string("Preamp: -3 dB\nGraph\0icEQ: 20 0", 30), "line 2: expected text, found a zero byte"},
  };
  for (const auto& c : cases) {
    const std::string m = Message(c.text);
    EXPECT_NE(m.find(c.expected), std::string::npos) << "got: " << m << "\nwanted: " << c.expected;
    EXPECT_EQ(m.rfind("src.txt: ", 0), 0u) << m;
  }
  EXPECT_NE(Message(std::string(kEQTextMaxBytes + 1, '#')).find("at most 1 MiB"), std::string::npos);
}

TEST(EQText, ClampsOrLeavesOutNumbersOutOfRangeAndSaysSo) {
  const TEQText g = ParseEQText("GraphicEQ: 0.5 3; 20 20; 1000 -120; 22000 -3; 30000 0; 40000 0", "g.txt");
  ASSERT_EQ(g.Points.size(), 3u);
  EXPECT_EQ(g.Points[0].Gain, 16);
  EXPECT_EQ(g.Points[1].Gain, -99);
  EXPECT_EQ(g.Points[2].Frequency, 22000);
  ASSERT_EQ(g.Warnings.size(), 2u);
  EXPECT_EQ(g.Warnings[0], "line 1: 3 point(s) outside 1 .. 22050 Hz (half the sample rate) left out, the first at 0.5 Hz");
  EXPECT_EQ(g.Warnings[1], "line 1: 2 gain(s) outside -99 .. 16 dB clamped, the first 20 dB at 20 Hz");

  const TEQText p = ParseEQText(
      "Preamp: -150 dB\nFilter 1: ON PK Fc 30000 Hz Gain 3 dB Q 1\nFilter 2: ON PK Fc 1000 Hz Gain 30 dB Q 1\n", "p.txt",
      48000);
  ASSERT_EQ(p.Filters.size(), 1u);
  EXPECT_EQ(p.Filters[0].Gain, 16);
  EXPECT_EQ(p.Preamp, -99);
  ASSERT_EQ(p.Warnings.size(), 3u);
  EXPECT_EQ(p.Warnings[0], "line 2: Fc 30000 Hz is outside 1 .. 24000 Hz (half the sample rate): filter left out");
  EXPECT_EQ(p.Warnings[1], "line 3: gain 30 dB clamped to -99 .. 16 dB");
  EXPECT_EQ(p.Warnings[2], "the preamps add up to -150 dB: clamped to -99 .. 16 dB");
  EXPECT_NE(Message("GraphicEQ: 30000 0; 40000 1").find("line 1: no point within 1 .. 22050 Hz"), std::string::npos);

  // A Q of 1e111 made the target 0/0 at the filter's frequency.
  const TEQText q = ParseEQText("Filter 1: ON PK Fc 1000 Hz Gain 6 dB Q 1e111\nFilter 2: ON PK Fc 90 Hz Gain 3 dB Q 0.001\n",
                                "q.txt");
  ASSERT_EQ(q.Filters.size(), 2u);
  EXPECT_EQ(q.Filters[0].Q, 100);
  EXPECT_EQ(q.Filters[1].Q, 0.01);
  ASSERT_EQ(q.Warnings.size(), 2u);
  EXPECT_EQ(q.Warnings[0], "line 1: Q 1e+111 clamped to 0.01 .. 100");
  for (double f : {90.0, 999.0, 1000.0, 1001.0}) EXPECT_TRUE(std::isfinite(q.TargetDb(f))) << f;
  EXPECT_NEAR(q.TargetDb(1000), 6 + 3, 0.1) << "the peak, on the very wide filter's 3 dB";
}

// The stated errors: what the fit promises for the two curves, measured on the filter
// the equalizer runs, not on the fit's own model.
TEST(EQFit, EqualizerResponseFollowsTheTargetWithinTheStatedError) {
  const struct {
    const char* name;
    std::string text;
    TEQFitBands bands;
    double rms, max;
  } cases[] = {
      {"parametric, 15 bands", kParametric, TEQFitBands::fbWindow, 1.0, 3.5},
      {"parametric, exact", kParametric, TEQFitBands::fbExact, 0.15, 0.5},
      {"graphic, 15 bands", GraphicCurve(), TEQFitBands::fbWindow, 1.0, 2.5},
      {"graphic, exact", GraphicCurve(), TEQFitBands::fbExact, 0.3, 1.5},
  };
  const std::vector<double> grid = LogGrid(20, 20000, 12);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const TEQText text = ParseEQText(c.text, "t.txt");
    TEQFitOptions options;
    options.Bands = c.bands;
    const TEQFit fit = FitEQText(text, options, "t.txt");
    EXPECT_EQ(fit.Bands.size() == 15, c.bands == TEQFitBands::fbWindow) << fit.Bands.size();

    const auto measured = MeasuredResponseDb(fit.Bands, fit.FFTLength, grid);
    std::vector<double> target;
    for (double f : grid) target.push_back(text.TargetDb(f) + fit.CurveHeadroomDb);
    const Error e = Compare(measured, target);
    EXPECT_LT(e.rms, c.rms);
    EXPECT_LT(e.max, c.max);
    // What the import reports is what the filter does.
    EXPECT_NEAR(e.rms, fit.RmsError, 0.1);
    EXPECT_LE(e.max, fit.MaxError + 0.05);
    // The window's sliders stay near the curve, also where the filter hardly sees a
    // band (here the lowest): an extreme gain would cut at a longer FFT length.
    if (c.bands == TEQFitBands::fbWindow)
      for (const TEQBand& b : fit.Bands) {
        const double centre = b.F1 > 0 ? std::sqrt(double(b.F1) * b.F2) : b.F2 / 2.0;
        EXPECT_NEAR(b.Gain, text.TargetDb(centre) + fit.CurveHeadroomDb, 6) << b.F1 << " .. " << b.F2 << " Hz";
      }
    // Headroom: the preamp stands in for it in the parametric set; the graphic curve
    // peaks at +3 dB and comes down by that much. Nothing passes above 0 dB.
    const auto dense = MeasuredResponseDb(fit.Bands, fit.FFTLength, LogGrid(5, 22000, 96));
    EXPECT_LE(*std::max_element(dense.begin(), dense.end()), 0.02);
    if (text.IsGraphic()) {
      EXPECT_NEAR(fit.CurveHeadroomDb, -3, 0.05);
      EXPECT_NE(fit.Description.find("the curve lowered by 3.0 dB to put its peak at 0 dB"), std::string::npos)
          << fit.Description;
    } else {
      EXPECT_EQ(fit.CurveHeadroomDb, 0);
      EXPECT_NE(fit.Description.find("the preamp of -6.2 dB"), std::string::npos) << fit.Description;
    }
  }
}

TEST(EQFit, AShortFilterCannotFollowTheLowEndAndSaysWhere) {
  const TEQText text = ParseEQText(kParametric, "t.txt");
  TEQFitOptions options;
  options.Bands = TEQFitBands::fbExact;
  const TEQFit full = FitEQText(text, options, "t.txt");
  options.FFTLength = 256;
  const TEQFit shortFilter = FitEQText(text, options, "t.txt");
  EXPECT_EQ(full.FollowsFrom, 20);
  EXPECT_GT(shortFilter.FollowsFrom, 300);
  EXPECT_GT(shortFilter.RmsError, 3 * full.RmsError);
  ASSERT_FALSE(shortFilter.Warnings.empty());
  EXPECT_NE(shortFilter.Warnings.back().find("the filter (FFT length 256, 129 taps at 44100 Hz) cannot follow"),
            std::string::npos)
      << shortFilter.Warnings.back();
  // At 256 the window's two lowest bands fall inside the third's bins.
  options.Bands = TEQFitBands::fbWindow;
  const TEQFit window = FitEQText(text, options, "t.txt");
  ASSERT_FALSE(window.Warnings.empty());
  EXPECT_EQ(window.Warnings.front().rfind("band(s) 1, 2 own no bin of the filter at FFT length 256", 0), 0u)
      << window.Warnings.front();
}

class EQFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = fs::temp_directory_path() / ("eqtext_" + std::to_string(getpid()) + "_" +
                                       ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::create_directories(dir);
  }
  void TearDown() override { fs::remove_all(dir); }
  void Write(const fs::path& p, const std::string& s) { std::ofstream(p, std::ios::binary) << s; }
  fs::path dir;
};

TEST_F(EQFiles, ExportThenImportGivesBackTheSameBands) {
  const float gains[15] = {-3, -1, 0, -2, -4, -6, -2, 0, -1, -3, -5, -2, 0, -1, -4};
  TMMEQFilterList original;
  LoadDefaultBandList(original);
  original.SetFFTLength(1024);
  for (int i = 0; i < 15; ++i) original.Band(i)->SetBandValue(2, gains[i]);
  const std::string text = ExportGraphicEQ(original);
  ASSERT_EQ(text.rfind("# StrataEq FFT length: 1024\nPreamp: 0 dB\nGraphicEQ: 5 ", 0), 0u) << text.substr(0, 60);
  Write(dir / "exported.txt", text);

  TMMEQFilterList imported;
  TEQFit fit;
  const auto warnings = LoadPresetFile((dir / "exported.txt").string(), imported, {}, &fit);
  EXPECT_TRUE(warnings.empty()) << warnings.front();
  ASSERT_EQ(imported.Count(), 15);
  EXPECT_EQ(imported.FFTLength(), 1024);
  for (int i = 0; i < 15; ++i) {
    EXPECT_EQ(imported.Band(i)->F1(), original.Band(i)->F1());
    EXPECT_EQ(imported.Band(i)->F2(), original.Band(i)->F2());
    EXPECT_NEAR(imported.Band(i)->Gain(), gains[i], 0.1) << "band " << i + 1;
  }
  EXPECT_LT(fit.MaxError, 0.05);
  EXPECT_EQ(imported.Description(), fit.Description);
}

// At the default length, with bands above 0 dB: the import took 1024 and lowered the
// curve by its peak (band 2 went from -2.0 to -6.9 dB). The response comes back.
TEST_F(EQFiles, ExportThenImportKeepsTheLengthAndTheLevel) {
  TMMEQFilterList original, imported;
  LoadDefaultBandList(original);
  for (int i = 0; i < 15; ++i) original.Band(i)->SetBandValue(2, static_cast<float>(i % 4 * 3 - 2));
  Write(dir / "exported.txt", ExportGraphicEQ(original));
  LoadPresetFile((dir / "exported.txt").string(), imported);
  EXPECT_EQ(imported.FFTLength(), 256);
  std::vector<double> f;
  for (double hz = 20; hz <= 20000; hz *= 1.05) f.push_back(hz);
  const auto was = DesignedResponseDb(EnabledBands(original), 44100, 256, TMMFFTWindow::fwHamming, f);
  const auto now = DesignedResponseDb(EnabledBands(imported), 44100, 256, TMMFFTWindow::fwHamming, f);
  for (std::size_t i = 0; i < f.size(); ++i) ASSERT_NEAR(now[i], was[i], 0.25) << f[i] << " Hz";
}

TEST_F(EQFiles, LoadPresetFileTakesEveryFormAndKeepsTheListWhenATextIsRefused) {
  TMMEQFilterList saved;
  LoadDefaultBandList(saved);
  saved.Band(7)->SetBandValue(2, -20);
  saved.SaveToFile((dir / "mine.sqp").string());
  fs::copy_file(dir / "mine.sqp", dir / "mine.preset");  // the signature decides, not the name
  Write(dir / "para.txt", kParametric);
  Write(dir / "bad.txt", "Preamp: -3 dB\nFilter 1: ON PK Fc 1000 Hz Gain 2,5 dB Q 1\n");
  Write(dir / "bad.sqp", "GraphicEQ: 20 0");

  for (const char* name : {"mine.sqp", "mine.preset"}) {
    TMMEQFilterList list;
    EXPECT_TRUE(LoadPresetFile((dir / name).string(), list).empty());
    ASSERT_EQ(list.Count(), 15) << name;
    EXPECT_EQ(list.Band(7)->Gain(), -20);
  }

  TMMEQFilterList list;
  TEQFit fit;
  int changes = 0;
  list.OnChange = [&](TObject*) { ++changes; };
  const auto warnings = LoadPresetFile((dir / "para.txt").string(), list, {}, &fit);
  EXPECT_EQ(changes, 1);
  ASSERT_EQ(list.Count(), 15);
  EXPECT_EQ(list.FFTLength(), 1024);
  EXPECT_EQ(list.Description().rfind("para.txt (ParametricEQ, 5 filters, preamp -6.2 dB): 15 bands", 0), 0u)
      << list.Description();
  for (const auto& w : warnings) EXPECT_EQ(w.rfind((dir / "para.txt").string() + ": ", 0), 0u) << w;

  const float kept = list.Band(0)->Gain();
  try {
    LoadPresetFile((dir / "bad.txt").string(), list);
    FAIL() << "a comma was read as a decimal mark";
  } catch (const EStreamError& e) {
    EXPECT_EQ(std::string(e.what()), (dir / "bad.txt").string() +
                                         ": line 2: the gain '2,5' has a comma as the decimal mark: expected a "
                                         "point, as in '2.5'");
  }
  EXPECT_THROW(LoadPresetFile((dir / "bad.sqp").string(), list), EStreamError);  // an .sqp is read as one
  EXPECT_THROW(LoadPresetFile((dir / "missing.txt").string(), list), EFOpenError);
  EXPECT_EQ(list.Count(), 15);
  EXPECT_EQ(list.Band(0)->Gain(), kept);
  EXPECT_EQ(changes, 1);
}

}  // namespace
}  // namespace strataeq
