// The drawing surface, the oscilloscope, and the frame surfaces of both displays with
// the window's settings as golden pictures.
#include <QBackingStore>
#include <QTest>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <map>
#include <vector>

#include "GoldenImage.h"
#include "display/MMDIBCv.h"
#include "display/MMOscope.h"
#include "display/MMSpectr.h"

namespace strataeq {
namespace {

constexpr double kPi = 3.14159265358979323846;

QRgb Rgb(TColor c) { return ToQColor(c).rgb(); }

TEST(DIBCanvas, DepthSizeAndStaticColours) {
  TMMDIBCanvas c;
  EXPECT_THROW(c.SetBitsPerPixel(16), EMMDIBError);
  EXPECT_EQ(c.BitsPerPixel(), 8);
  c.SetSize(0, 0);
  EXPECT_EQ(c.Image().size(), QSize(1, 1));
  EXPECT_EQ(c.Image().format(), QImage::Format_Indexed8);

  // Without a custom palette every colour lands on the nearest static colour.
  for (TColor colour : {clLime, clYellow, clGreen, clSilver, clRed, clBlack, clWhite})
    EXPECT_EQ(c.Palette()[c.MapColor(Rgb(colour))], Rgb(colour)) << ColorName(colour);
  EXPECT_EQ(c.Palette()[c.MapColor(qRgb(250, 5, 3))], Rgb(clRed));
  EXPECT_EQ(c.Palette()[c.MapColor(qRgb(100, 100, 100))], Rgb(clGray));

  c.SetSize(8, 4);
  c.BeginDraw();
  c.SetSize(16, 4);  // waits for the next BeginDraw
  EXPECT_EQ(c.Image().width(), 8);
  EXPECT_THROW(c.Rebuild(), EMMDIBError);
  c.SetColor(Rgb(clLime));
  c.HLine(-5, 100, 1);  // clipped
  c.EndDraw();
  c.BeginDraw();
  EXPECT_EQ(c.Image().width(), 16);
  c.SetColor(Rgb(clRed));
  c.Line(0, 0, 15, 3);
  EXPECT_EQ(c.GetPixel(0, 0), static_cast<int>(c.MapColor(Rgb(clRed))));
  EXPECT_EQ(c.GetPixel(15, 3), static_cast<int>(c.MapColor(Rgb(clRed))));
  EXPECT_EQ(c.GetPixel(16, 0), -1);
  c.EndDraw();

  TMMDIBCanvas rgb;
  rgb.SetBitsPerPixel(24);
  rgb.SetSize(2, 2);
  rgb.BeginDraw();
  rgb.SetColor(qRgb(1, 2, 3));
  rgb.SetPixel(1, 1);
  rgb.EndDraw();
  EXPECT_EQ(rgb.Image().pixel(1, 1), qRgb(1, 2, 3));

  // The screen's format: colours as asked, alpha kept opaque through every primitive.
  TMMDIBCanvas screen;
  screen.SetBitsPerPixel(32);
  screen.SetSize(6, 3);
  screen.BeginDraw();
  screen.SetPixelValue(0x00102030u);  // a colour value without alpha
  screen.Clear();
  screen.SetColor(qRgb(250, 5, 3));
  screen.HLine(1, 4, 1);
  screen.InvertVLine(5, 0, 2);
  EXPECT_EQ(screen.GetPixel(2, 1), 0xFA0503);
  screen.EndDraw();
  ASSERT_EQ(screen.Image().format(), QImage::Format_RGB32);
  EXPECT_EQ(screen.Image().pixel(0, 0), qRgb(0x10, 0x20, 0x30));
  EXPECT_EQ(screen.Image().pixel(4, 1), qRgb(250, 5, 3));
  EXPECT_EQ(screen.Image().pixel(5, 2), qRgb(0x10 ^ 5, 0x20 ^ 250, 0x30 ^ 252)) << "xor with the inverse";
}

// Clear, FillRect and Spots take a straight path on the 32-bit surface inside the clip
// and the general one elsewhere: at every depth they must put the pixels SetPixel puts.
TEST(DIBCanvas, FillsMatchPixelByPixel) {
  struct Spots {
    int x1, x2, bottom, height, pitch, count;
  };
  const Spots cases[] = {
      {2, 5, 10, 1, 2, 4},    // inside, four wide
      {1, 1, 10, 2, 3, 3},    // one wide at the clip's edge
      {3, 12, 6, 2, 2, 2},    // wider than four
      {-2, 2, 3, 1, 2, 3},    // clipped left and at the top
      {13, 17, 12, 3, 4, 2},  // clipped right and at the bottom
      {9, 7, 9, 1, 1, 1},     // columns in either order, as HLine
      {4, 6, 11, 3, 2, 2},    // spots that overlap
  };
  for (int bits : {8, 24, 32}) {
    TMMDIBCanvas spots, rects, pixels;
    for (TMMDIBCanvas* c : {&spots, &rects, &pixels}) {
      c->SetBitsPerPixel(bits);
      c->SetSize(16, 12);
      c->BeginDraw();
      c->SetColor(qRgb(0, 0, 128));
    }
    spots.Clear();
    rects.Clear();
    for (int y = 0; y < 12; ++y)
      for (int x = 0; x < 16; ++x) pixels.SetPixel(x, y);
    for (TMMDIBCanvas* c : {&spots, &rects, &pixels}) c->SetClipRect(1, 1, 15, 11);
    int i = 0;
    for (const Spots& s : cases) {
      for (TMMDIBCanvas* c : {&spots, &rects, &pixels}) c->SetColor(qRgb(30 * i, 255 - 30 * i, 7));
      ++i;
      spots.Spots(s.x1, s.x2, s.bottom, s.height, s.pitch, s.count);
      for (int k = 0; k < s.count; ++k) {
        const int bottom = s.bottom - k * s.pitch;
        rects.FillRect(s.x1, bottom - s.height + 1, s.x2 + 1, bottom + 1);
        for (int y = bottom - s.height + 1; y <= bottom; ++y)
          for (int x = std::min(s.x1, s.x2); x <= std::max(s.x1, s.x2); ++x) pixels.SetPixel(x, y);
      }
    }
    for (TMMDIBCanvas* c : {&spots, &rects, &pixels}) c->EndDraw();
    EXPECT_TRUE(rects.Image() == pixels.Image()) << bits << "-bit FillRect";
    EXPECT_TRUE(spots.Image() == pixels.Image()) << bits << "-bit Spots";
  }
}

// The window's oscilloscope: 130 x 47 with a one-pixel bevel, 128 columns, 45 rows.
class OscopeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    scope_.resize(130, 47);
    scope_.SetForegroundColor(clLime);
    const TWaveFormatEx f = BuildPcmFormat(TMMBits::b16Bit, TMMMode::mStereo, 44100);
    scope_.SetDataFormat(&f);
    scope_.show();
  }
  // Columns of the frame surface that hold a foreground pixel.
  std::vector<int> LitColumns() {
    const QImage& img = scope_.FrameImage();
    std::vector<int> cols;
    for (int x = 0; x < img.width(); ++x)
      for (int y = 0; y < img.height(); ++y)
        if (img.pixel(x, y) == Rgb(clLime)) {
          cols.push_back(x);
          break;
        }
    return cols;
  }
  int LitRow(int x) {
    const QImage& img = scope_.FrameImage();
    for (int y = 0; y < img.height(); ++y)
      if (img.pixel(x, y) == Rgb(clLime)) return y;
    return -1;
  }
  TMMOscope scope_;
};

TEST_F(OscopeTest, ZoomStepsAndGain) {
  ASSERT_EQ(scope_.Columns(), 128);
  ASSERT_EQ(scope_.AreaHeight(), 45);
  EXPECT_EQ(scope_.FrameSize(), 512);
  std::vector<std::int16_t> ramp(2 * 1024);
  for (int i = 0; i < 1024; ++i) ramp[2 * i] = ramp[2 * i + 1] = static_cast<std::int16_t>(i);

  scope_.SetZoom(2);
  EXPECT_EQ(scope_.FrameSize(), 1024);
  scope_.ProcessFrame(ramp.data());
  EXPECT_EQ(scope_.Trace()[5], 10) << "column i shows sample frame 2i";
  scope_.SetZoom(-1);
  EXPECT_EQ(scope_.FrameSize(), 256);
  scope_.ProcessFrame(ramp.data());
  EXPECT_EQ(scope_.Trace()[5], 2) << "column i shows sample frame i div 2";
  scope_.SetZoom(0);
  EXPECT_EQ(scope_.Zoom(), -1);
  scope_.SetZoom(20);
  EXPECT_EQ(scope_.Zoom(), 9);
  scope_.SetSampleRate(96000);
  EXPECT_EQ(scope_.SampleRate(), 88200);

  scope_.SetZoom(1);
  scope_.SetSteps(3);
  scope_.ProcessFrame(ramp.data());
  const std::vector<int> cols = LitColumns();
  ASSERT_EQ(cols.size(), 43u);
  for (std::size_t i = 0; i < cols.size(); ++i) EXPECT_EQ(cols[i], static_cast<int>(3 * i));

  // Gain 8 doubles the deflection; full scale then leaves the area.
  scope_.SetSteps(1);
  std::vector<std::int16_t> level(2 * 128, 8000);
  scope_.ProcessFrame(level.data());
  const int plain = 22 - LitRow(0);
  int overflows = 0;
  scope_.OnGainOverflow = [&](TObject*) { ++overflows; };
  scope_.SetGain(8);
  scope_.ProcessFrame(level.data());
  EXPECT_NEAR(22 - LitRow(0), 2 * plain, 1);
  EXPECT_EQ(overflows, 0);
  std::vector<std::int16_t> full(2 * 128, 32767);
  scope_.ProcessFrame(full.data());
  EXPECT_EQ(overflows, 128);
  scope_.SetGain(40);
  EXPECT_EQ(scope_.Gain(), 8) << "out of range: ignored";
}

TEST_F(OscopeTest, EightBitSilenceSitsOnTheMiddleRowOrTheBottomForSpikes) {
  const TWaveFormatEx f = BuildPcmFormat(TMMBits::b8Bit, TMMMode::mMono, 11025);
  scope_.SetDataFormat(&f);
  std::vector<std::uint8_t> silence(128, 128);
  for (TMMOscopeKind kind : {TMMOscopeKind::okDots, TMMOscopeKind::okConLines, TMMOscopeKind::okVertLines,
                             TMMOscopeKind::okMirLines, TMMOscopeKind::okSpikes}) {
    scope_.SetKind(kind);
    scope_.ProcessFrame(silence.data());
    EXPECT_EQ(scope_.Trace()[7], 0);
    const int expected = kind == TMMOscopeKind::okSpikes ? 44 : 22;
    for (int x : {0, 64, 127}) EXPECT_EQ(LitRow(x), expected) << "kind " << static_cast<int>(kind) << " x " << x;
    const QImage& img = scope_.FrameImage();
    int lit = 0;
    for (int y = 0; y < img.height(); ++y) lit += img.pixel(64, y) == Rgb(clLime);
    EXPECT_EQ(lit, 1) << "one pixel per column, kind " << static_cast<int>(kind);
  }
}

TEST_F(OscopeTest, HoldingTheLeftButtonFreezesAndReadsOut) {
  std::vector<std::int16_t> up(2 * 128, 8000), down(2 * 128, -8000);
  scope_.ProcessFrame(up.data());
  QTest::mousePress(&scope_, Qt::LeftButton, Qt::NoModifier, QPoint(1 + 127, 1 + 0));
  ASSERT_TRUE(scope_.InInfoMode());
  EXPECT_EQ(scope_.InfoText(127, 0), " 3.0 ms 1.00 V") << "a 512-byte frame spans 3 ms";
  EXPECT_EQ(scope_.InfoText(63, 44), " 1.5 ms -1.00 V");
  scope_.ProcessFrame(down.data());
  EXPECT_EQ(scope_.Trace()[0], 8000) << "the picture is held";
  QTest::mouseRelease(&scope_, Qt::LeftButton, Qt::NoModifier, QPoint(5, 5));
  scope_.ProcessFrame(down.data());
  EXPECT_EQ(scope_.Trace()[0], -8000);
}

// The trace is built when it is asked for: a setter that changes how frames read comes
// after the frame, which still reads as it was delivered.
TEST_F(OscopeTest, AFrameReadsAsDeliveredWhateverIsSetAfterIt) {
  std::vector<std::int16_t> ramp(2 * 1024);
  for (int i = 0; i < 1024; ++i) ramp[2 * i] = static_cast<std::int16_t>(30 * i), ramp[2 * i + 1] = static_cast<std::int16_t>(-10 * i);
  scope_.SetZoom(2);
  scope_.ProcessFrame(ramp.data());
  scope_.SetZoom(-1);
  scope_.SetChannel(TMMChannel::chRight);
  scope_.SetLowPass(true);
  EXPECT_EQ(scope_.Trace()[5], (300 - 100) / 2) << "the mean of both channels of sample frame 10";
  scope_.ProcessFrame(ramp.data());
  EXPECT_EQ(scope_.Trace()[6], (-20 + 3 * -30) / 4) << "right channel, frame i div 2, low pass";
  scope_.ProcessFrame(ramp.data());
  scope_.ResetDisplay();
  EXPECT_EQ(scope_.Trace()[6], 0) << "a reset drops the frame that waits";
}

std::vector<std::int16_t> StereoTones(int frames, int offset, std::initializer_list<std::pair<double, double>> tones) {
  std::vector<std::int16_t> s(2 * frames);
  for (int i = 0; i < frames; ++i) {
    double v = 0;
    for (auto [freq, amp] : tones) v += amp * std::sin(2 * kPi * freq * (i + offset) / 44100);
    s[2 * i] = s[2 * i + 1] = static_cast<std::int16_t>(std::lround(v));
  }
  return s;
}

// What reaches the screen: the drawing area of a whole paint, and of a paint of the
// area alone, holds the frame exactly as Qt's own conversion of the surface gives it.
// The surface is drawn in 32-bit RGB, which Qt copies row for row onto the window's
// backing store (RGB32 here, premultiplied ARGB32 on X11): showing it converts nothing.
void ExpectScreenShowsFrame(TMMDIBGraphicControl& w) {
  ASSERT_TRUE(QTest::qWaitForWindowExposed(w.window()));
  w.repaint();
  ASSERT_NE(w.window()->backingStore(), nullptr);
  QPaintDevice* device = w.window()->backingStore()->paintDevice();
  ASSERT_EQ(device->devType(), QInternal::Image);
  EXPECT_EQ(static_cast<QImage*>(device)->format(), QImage::Format_RGB32);
  EXPECT_EQ(w.SurfaceImage().format(), QImage::Format_RGB32);
  const QImage want = w.SurfaceImage().convertToFormat(QImage::Format_RGB32);
  EXPECT_EQ(w.grab().toImage().convertToFormat(QImage::Format_RGB32).copy(w.Area()), want);
  QImage part(w.size(), QImage::Format_RGB32);
  part.fill(qRgb(1, 2, 3));
  w.render(&part, w.Area().topLeft(), QRegion(w.Area()));  // the region lands at the offset
  EXPECT_EQ(part.copy(w.Area()), want);
}

TEST(DisplayGolden, OscilloscopeFrameSurface) {
  TMMOscope scope;
  scope.resize(130, 47);
  scope.SetForegroundColor(clLime);
  const TWaveFormatEx f = BuildPcmFormat(TMMBits::b16Bit, TMMMode::mStereo, 44100);
  scope.SetDataFormat(&f);
  scope.show();
  const auto s = StereoTones(128, 0, {{689.0625, 20000}, {2756.25, 6000}});
  scope.ProcessFrame(s.data());
  EXPECT_EQ(scope.FrameImage().size(), QSize(128, 45));
  EXPECT_TRUE(MatchesGolden(scope.FrameImage(), "display/golden/oscope_130x47_lime.png"));
  ExpectScreenShowsFrame(scope);
}

// The window's left analyser fed four frames of a chord, then two of silence: bars
// fall by the step-up decay and the peak markers stay above them.
TEST(DisplayGolden, AnalyserFrameSurface) {
  TMMSpectrum spectrum;
  spectrum.resize(322, 100);
  spectrum.Analysis().SetChannel(TMMChannel::chLeft);
  const TWaveFormatEx f = BuildPcmFormat(TMMBits::b16Bit, TMMMode::mStereo, 44100);
  spectrum.SetDataFormat(&f);
  spectrum.Analysis().SetGain(TMMSpectrumGain::sg9db);
  spectrum.Analysis().SetLogAmp(true);
  spectrum.SetWindow(TMMFFTWindow::fwRectangular);
  spectrum.Analysis().SetDecayMode(TMMDecayMode::dmStepUp);
  spectrum.Analysis().SetDecay(7);
  spectrum.SetDrawInactive(false);
  spectrum.SetBar1Color(clLime);
  spectrum.SetBar2Color(clYellow);
  spectrum.SetInactive1Color(clGreen);
  spectrum.SetInactive2Color(clSilver);
  spectrum.show();
  ASSERT_EQ(spectrum.FrameSize(), 512);
  ASSERT_EQ(spectrum.Analysis().Spots(), 49);
  for (int frame = 0; frame < 4; ++frame) {
    const auto s = StereoTones(128, frame * 128, {{344.53125, 24000}, {2067.1875, 6000}, {8268.75, 1500}, {15503.9, 900}});
    spectrum.ProcessFrame(s.data());
  }
  const std::vector<std::int16_t> silence(256, 0);
  for (int frame = 0; frame < 6; ++frame) spectrum.ProcessFrame(silence.data());
  EXPECT_EQ(spectrum.FrameImage().size(), QSize(320, 98));
  EXPECT_TRUE(MatchesGolden(spectrum.FrameImage(), "display/golden/analyser_322x100_bars.png"));
  ExpectScreenShowsFrame(spectrum);
}

// A frame redraws only the spots that changed. Fed frame for frame a chord that swells,
// moves and dies away, the analyser's picture equals at every frame that of one fed the
// same frames and drawn whole, for each way the bars kinds draw spots, and across a
// change of the look between two frames.
TEST(AnalyserSpots, EachFramesPictureEqualsOneDrawnWhole) {
  struct Case {
    TMMSpectrumKind kind;
    int peaks;
    bool doted, inactive;
    std::function<void(TMMSpectrum&)> change;  // before frame 15
  };
  const Case cases[] = {
      {TMMSpectrumKind::skBars, 1, false, false, [](TMMSpectrum& s) { s.SetBar2Color(clFuchsia); }},
      {TMMSpectrumKind::skBars, 3, true, true, [](TMMSpectrum& s) { s.Analysis().SetSpotHeight(3); }},
      {TMMSpectrumKind::skPeaks, 1, false, true, [](TMMSpectrum& s) { s.SetActiveDoted(true); }},
      {TMMSpectrumKind::skBars, 0, false, false, [](TMMSpectrum& s) { s.SetSpace(3); }},
  };
  const TWaveFormatEx f = BuildPcmFormat(TMMBits::b16Bit, TMMMode::mStereo, 44100);
  int compared = 0, changedSpots = 0;
  for (const Case& k : cases) {
    TMMSpectrum step, whole;
    for (TMMSpectrum* s : {&step, &whole}) {
      s->resize(322, 100);
      s->SetDataFormat(&f);
      s->Analysis().SetChannel(TMMChannel::chLeft);
      s->Analysis().SetGain(TMMSpectrumGain::sg9db);
      s->Analysis().SetLogAmp(true);
      s->Analysis().SetDecayMode(TMMDecayMode::dmStepUp);
      s->Analysis().SetDecay(7);
      s->Analysis().SetPeakDelay(50);  // the hold outlasts the test: no peak falls by the clock
      s->Analysis().SetNumPeaks(k.peaks);
      s->SetKind(k.kind);
      s->SetActiveDoted(k.doted);
      s->SetDrawInactive(k.inactive);
      s->SetBar2Color(clYellow);
      s->show();
    }
    QImage previous = step.FrameImage();
    for (int frame = 0; frame < 30; ++frame) {
      if (frame == 15)
        for (TMMSpectrum* s : {&step, &whole}) k.change(*s);
      const double swell = frame < 20 ? 1500.0 * (frame + 1) : 0;
      const auto tones = StereoTones(128, frame * 128, {{344.53125 + 430.6640625 * frame, swell}, {9000, 20000 - swell / 2}});
      step.ProcessFrame(tones.data());
      whole.ProcessFrame(tones.data());
      const QImage got = step.FrameImage();
      whole.SetDrawGrid(true);  // a property change draws the whole picture anew
      whole.SetDrawGrid(false);
      ASSERT_EQ(got, whole.FrameImage()) << "kind " << static_cast<int>(k.kind) << " peaks " << k.peaks << " frame " << frame;
      ++compared;
      for (int y = 0; y < got.height(); ++y)
        for (int x = 0; x < got.width(); ++x) changedSpots += got.pixel(x, y) != previous.pixel(x, y);
      previous = got;
    }
  }
  EXPECT_EQ(compared, 4 * 30);
  EXPECT_GT(changedSpots, 4 * 30 * 100) << "the frames move the bars";
}

}  // namespace
}  // namespace strataeq

namespace strataeq {
namespace {

TEST(SpectrumGrid, DottedLinesAtTheAmplitudeAndFrequencyTicks) {
  TMMSpectrum spectrum;
  spectrum.resize(322, 100);
  spectrum.Analysis().SetLogAmp(true);
  spectrum.SetDrawInactive(false);
  spectrum.SetDrawGrid(true);
  spectrum.show();
  const QImage& img = spectrum.FrameImage();
  const QRgb grid = Rgb(clGray), black = Rgb(clBlack);
  for (int y : {0, 16, 32, 48, 64, 80, 97}) {  // six 10 dB steps over 98 rows
    EXPECT_EQ(img.pixel(4, y), grid) << y;
    EXPECT_EQ(img.pixel(5, y), black) << y;
  }
  EXPECT_EQ(img.pixel(4, 20), black);
  for (int x : {0, 10, 20, 160, 319}) EXPECT_EQ(img.pixel(x, 50), grid) << x;  // 32 intervals over 320
  EXPECT_EQ(img.pixel(12, 50), black);
}

}  // namespace
}  // namespace strataeq

namespace strataeq {
namespace {

TEST(SpectrumScales, StripsTakeTheirPlaceFromTheDrawingArea) {
  QWidget parent;
  parent.resize(400, 200);
  auto* spectrum = new TMMSpectrum(&parent);
  spectrum->resize(322, 140);
  spectrum->Analysis().SetLogAmp(true);
  spectrum->Analysis().SetSampleRate(44100);
  spectrum->SetDrawAmpScale(true);
  spectrum->SetDrawFreqScale(true);
  parent.show();
  EXPECT_EQ(spectrum->Analysis().Columns(), 322 - 64 - 2);
  EXPECT_EQ(spectrum->Analysis().AreaHeight(), 140 - 40 - 2);
  EXPECT_EQ(spectrum->FrameImage().size(), QSize(256, 98));
  const QImage shot = spectrum->grab().toImage();
  // Tick marks of the left scale at the six 10 dB steps, in the scale line colour.
  for (int k = 0; k <= 6; ++k) EXPECT_EQ(shot.pixel(32 - 2, 1 + k * 97 / 6), Rgb(clBlack)) << k;
  spectrum->SetDrawAmpScale(false);
  spectrum->SetDrawFreqScale(false);
  EXPECT_EQ(spectrum->Analysis().Columns(), 320);
}

}  // namespace
}  // namespace strataeq

namespace strataeq {
namespace {

TEST(OscopeScales, StripsTakeTheirPlaceAndOnDrawLineReplacesTheTrace) {
  QWidget parent;
  parent.resize(300, 200);
  auto* scope = new TMMOscope(&parent);
  scope->resize(194, 130);
  const TWaveFormatEx f = BuildPcmFormat(TMMBits::b16Bit, TMMMode::mStereo, 44100);
  scope->SetDataFormat(&f);
  scope->SetDrawAmpScale(true);
  scope->SetDrawTimeScale(true);
  parent.show();
  EXPECT_EQ(scope->Columns(), 194 - 64 - 2);
  EXPECT_EQ(scope->AreaHeight(), 130 - 40 - 2);
  const QImage shot = scope->grab().toImage();
  EXPECT_EQ(shot.pixel(32 - 2, 1 + 87), Rgb(clBlack)) << "the bottom tick of the left scale";

  int calls = 0;
  scope->OnDrawLine = [&](TObject*, TMMDIBCanvas* dib, QRect area, const std::int16_t* data) {
    ++calls;
    EXPECT_EQ(area, QRect(0, 0, 128, 88));
    EXPECT_EQ(data[3], 1000);
    dib->SetColor(Rgb(clRed));
    dib->Clear();
  };
  std::vector<std::int16_t> level(2 * 128, 1000);
  scope->ProcessFrame(level.data());
  EXPECT_EQ(scope->FrameImage().pixel(64, 44), Rgb(clRed));
  EXPECT_EQ(calls, 1);
}

// Counts the paint events of the widgets it watches.
class TPaintCounter : public QObject {
 public:
  std::map<QObject*, int> paints;
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() == QEvent::Paint) ++paints[watched];
    return false;
  }
};

class TCountingOscope : public TMMOscope {
 public:
  using TMMOscope::TMMOscope;
  int composed = 0;

 protected:
  void DrawFrame() override {
    ++composed;
    TMMOscope::DrawFrame();
  }
};

// Frames fed to several displays in one pass of the GUI thread (as the connector's pump
// does) reach the screen in one paint and one drawing each, showing the last frame; a
// frame that comes within the refresh after it waits for the next refresh instead of
// painting again.
TEST(DisplayScreen, FramesOfOnePassReachTheScreenInOnePaintEach) {
  QWidget parent;
  parent.resize(300, 120);
  TCountingOscope* scopes[2] = {new TCountingOscope(&parent), new TCountingOscope(&parent)};
  const TWaveFormatEx f = BuildPcmFormat(TMMBits::b16Bit, TMMMode::mStereo, 44100);
  for (int i = 0; i < 2; ++i) {
    scopes[i]->setGeometry(5 + 140 * i, 5, 130, 47);
    scopes[i]->SetDataFormat(&f);
  }
  parent.show();
  QTest::qWait(2 * TMMDIBGraphicControl::kScreenInterval);
  TPaintCounter counter;
  for (TMMOscope* s : scopes) s->installEventFilter(&counter);
  for (TCountingOscope* s : scopes) s->composed = 0;

  const auto first = StereoTones(128, 0, {{689.0625, 20000}});
  const auto last = StereoTones(128, 0, {{2756.25, 9000}});
  for (int frame = 0; frame < 4; ++frame)
    for (TMMOscope* s : scopes) s->ProcessFrame(frame < 3 ? first.data() : last.data());
  QTest::qWait(3 * TMMDIBGraphicControl::kScreenInterval);
  for (TCountingOscope* s : scopes) {
    EXPECT_EQ(counter.paints[s], 1);
    EXPECT_EQ(s->composed, 1) << "the frames of one pass are drawn once, for the paint";
    EXPECT_EQ(s->Trace()[5], last[2 * 5]) << "the last frame is the one shown";
    ExpectScreenShowsFrame(*s);
  }

  std::map<QObject*, int> before = counter.paints;  // the checks above painted too
  for (TCountingOscope* s : scopes) s->ProcessFrame(first.data());
  QCoreApplication::processEvents();
  for (TMMOscope* s : scopes) s->ProcessFrame(last.data());
  QTest::qWait(3 * TMMDIBGraphicControl::kScreenInterval);
  for (TMMOscope* s : scopes) {
    EXPECT_EQ(counter.paints[s] - before[s], 2) << "the first frame at once, the second a refresh later";
    EXPECT_EQ(s->Trace()[5], last[2 * 5]);
  }
}

// The window's paints of frames copy only what changed into the window. What the window
// shows stays at every frame what a whole paint of the analyser gives, with the peak
// readout painted over the bars and after it is switched off again.
TEST(DisplayScreen, TheWindowShowsEachFrameThoughOnlyWhatChangedIsCopied) {
  QWidget parent;
  parent.resize(340, 120);
  auto* spectrum = new TMMSpectrum(&parent);
  spectrum->setGeometry(6, 5, 322, 100);
  const TWaveFormatEx f = BuildPcmFormat(TMMBits::b16Bit, TMMMode::mStereo, 44100);
  spectrum->SetDataFormat(&f);
  spectrum->Analysis().SetLogAmp(true);
  spectrum->Analysis().SetDecayMode(TMMDecayMode::dmStepUp);
  spectrum->Analysis().SetDecay(7);
  spectrum->SetDrawInactive(false);
  parent.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&parent));
  const QRect area = spectrum->Area().translated(spectrum->pos());
  auto shown = [&] { return static_cast<QImage*>(parent.backingStore()->paintDevice())->copy(area); };
  TPaintCounter counter;
  spectrum->installEventFilter(&counter);
  QImage previous = shown();
  int moved = 0;
  for (int pass = 0; pass < 24; ++pass) {
    if (pass == 8) spectrum->SetDisplayPeak(true);
    if (pass == 16) spectrum->SetDisplayPeak(false);
    for (int frame = 0; frame < 4; ++frame) {
      const double swell = pass < 12 ? 2000.0 * (pass + 1) : 500;
      const auto s = StereoTones(128, (4 * pass + frame) * 128, {{344.53125 + 689.0625 * (pass % 9), swell}, {12000, 3000}});
      spectrum->ProcessFrame(s.data());
    }
    QTest::qWait(TMMDIBGraphicControl::kScreenInterval + 5);
    const QImage now = shown();
    ASSERT_EQ(now, spectrum->grab().toImage().convertToFormat(QImage::Format_RGB32).copy(spectrum->Area())) << "pass " << pass;
    moved += now != previous;
    previous = now;
  }
  EXPECT_GE(counter.paints[spectrum], 24);
  EXPECT_GE(moved, 20);
}

}  // namespace
}  // namespace strataeq
