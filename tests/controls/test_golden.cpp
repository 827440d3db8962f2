// The controls as the window draws them, compared pixel for pixel with stored pictures,
// and a gallery of every control in each state for a reviewer.
#include <QDir>
#include <QEnterEvent>
#include <QPainter>
#include <QTest>
#include <gtest/gtest.h>
#include <functional>
#include <vector>

#include "GoldenImage.h"
#include "app/WindowControls.h"
#include "controls/MMGauge.h"
#include "controls/MMLabel.h"
#include "controls/MMPanel.h"
#include "controls/MemBmp.h"
#include "controls/TransBtn.h"

namespace strataeq {
namespace {

using namespace window;

// A window to put controls on, shown and active so that they can take focus.
struct Stage {
  QWidget window;
  Stage() {
    window.resize(700, 200);
    window.setAutoFillBackground(true);
    QPalette palette = window.palette();
    palette.setColor(QPalette::Window, ToQColor(clBtnFace));
    window.setPalette(palette);
    window.show();
    window.activateWindow();
    EXPECT_TRUE(QTest::qWaitForWindowActive(&window));
  }
};

TEST(Golden, BandSliderWithTheWindowsThumbFocusedAndNot) {
  Stage stage;
  auto* slider = new TMMSlider(&stage.window);
  BandSliderValues(*slider);
  auto* other = new TMMSlider(&stage.window);
  other->move(40, 0);
  slider->show();
  other->show();
  other->setFocus();
  slider->SetPosition(-350);
  const QImage unfocused = slider->grab().toImage().convertToFormat(QImage::Format_RGB32);
  EXPECT_TRUE(MatchesGolden(unfocused, QStringLiteral("controls/golden/band_slider.png")));
  slider->setFocus();
  ASSERT_TRUE(slider->BlinkPhase());
  // The focus shows outside the thumb too, so in either blink phase: the thumb's focused
  // silver is the button face of this scheme.
  const QImage focused = slider->grab().toImage().convertToFormat(QImage::Format_RGB32);
  const QRect thumb = slider->ThumbRect();
  int marked = 0;
  for (int y = 0; y < focused.height(); ++y)
    for (int x = 0; x < focused.width(); ++x) marked += !thumb.contains(x, y) && focused.pixel(x, y) != unfocused.pixel(x, y);
  EXPECT_GT(marked, 20);
  slider->SetPosition(700);
  EXPECT_TRUE(MatchesGolden(slider->grab().toImage(), QStringLiteral("controls/golden/band_slider_focused.png")));
}

TEST(Golden, FftSliderWithScalesOnTheOuterSides) {
  Stage stage;
  auto* slider = new TMMSlider(&stage.window);
  FftSliderValues(*slider);
  slider->SetTabStop(false);
  slider->show();
  EXPECT_TRUE(MatchesGolden(slider->grab().toImage(), QStringLiteral("controls/golden/fft_slider.png")));
}

TEST(Golden, RaisedPanelOfTheWindow) {
  TMMPanel panel;
  panel.resize(663, 168);
  panel.Bevel().SetBevelOuter(TPanelBevel::bvRaised);
  panel.Bevel().SetBevelOuterWidth(2);
  EXPECT_EQ(panel.TotalBevelWidth(), 2);
  EXPECT_TRUE(MatchesGolden(panel.grab().toImage(), QStringLiteral("controls/golden/raised_panel.png")));
}

TEST(Golden, GaugeBarAtZeroFortyTwoAndOneHundredPercent) {
  TMMGauge gauge;
  gauge.SetShowText(false);
  for (int p : {0, 42, 100}) {
    gauge.SetProgress(p);
    EXPECT_TRUE(MatchesGolden(gauge.grab().toImage(), QStringLiteral("controls/golden/gauge_%1.png").arg(p)));
  }
}

TEST(Golden, GaugeTextIsInvertedOverTheBarWithItsRegionMasked) {
  TMMGauge gauge;
  gauge.setFont(MMFont("MS Sans Serif", -11));  // an installed font: the same region everywhere
  gauge.SetCaption("Processing ...");
  gauge.SetProgress(42);
  QImage image = gauge.grab().toImage().convertToFormat(QImage::Format_RGB32);
  const QRect inner = gauge.BevelClientRect();
  const QRect text =
      QFontMetrics(gauge.font()).boundingRect(QRect(0, 0, inner.width(), inner.height()), Qt::AlignCenter,
                                              QStringLiteral("Processing ... 42%"));
  const QRect region = text.translated(inner.topLeft()).adjusted(-1, -1, 1, 1) & inner;
  // The text changed pixels in its region, and only there.
  gauge.SetShowText(false);
  const QImage bare = gauge.grab().toImage().convertToFormat(QImage::Format_RGB32);
  int changed = 0;
  for (int y = 0; y < image.height(); ++y)
    for (int x = 0; x < image.width(); ++x)
      if (image.pixel(x, y) != bare.pixel(x, y)) {
        ++changed;
        EXPECT_TRUE(region.contains(x, y)) << x << "," << y;
      }
  EXPECT_GT(changed, 20);
  QPainter mask(&image);
  mask.fillRect(region, QColor(255, 0, 255));
  mask.end();
  EXPECT_TRUE(MatchesGolden(image, QStringLiteral("controls/golden/gauge_text_masked.png")));
}

// ---- gallery

struct Cell {
  QString title;
  QImage image;
};

QImage Compose(const std::vector<Cell>& cells, int columns) {
  const int cellW = 200, pad = 8, titleH = 16;
  int rowH = 0;
  for (const Cell& c : cells) rowH = std::max(rowH, c.image.height());
  rowH += titleH + pad;
  const int rows = (int(cells.size()) + columns - 1) / columns;
  QImage sheet(columns * cellW, rows * rowH + pad, QImage::Format_RGB32);
  sheet.fill(QColor(230, 230, 230));
  QPainter p(&sheet);
  p.setFont(MMFont("Arial", -11));
  for (std::size_t i = 0; i < cells.size(); ++i) {
    const int x = int(i % std::size_t(columns)) * cellW + pad, y = int(i / std::size_t(columns)) * rowH + pad;
    p.setPen(Qt::black);
    p.drawText(QRect(x, y, cellW - pad, titleH), Qt::AlignLeft | Qt::AlignTop, cells[i].title);
    p.drawImage(x, y + titleH, cells[i].image.width() > cellW - pad ? cells[i].image.scaledToWidth(cellW - pad)
                                                                    : cells[i].image);
  }
  return sheet;
}

void Hover(QWidget* w, bool in) {
  if (in) {
    QEnterEvent enter(QPointF(3, 3), QPointF(3, 3), w->mapToGlobal(QPointF(3, 3)));
    QApplication::sendEvent(w, &enter);
  } else {
    QEvent leave(QEvent::Leave);
    QApplication::sendEvent(w, &leave);
  }
}

// What lies under a windowless control shows: grab it together with its patch of parent.
QImage Grab(QWidget* w) { return w->parentWidget()->grab(w->geometry().adjusted(-2, -2, 2, 2)).toImage(); }

TEST(Gallery, EveryControlInEachStateInOnePicture) {
  Stage stage;
  stage.window.resize(900, 300);
  std::vector<Cell> cells;
  auto add = [&](const QString& title, const QImage& image) {
    ASSERT_FALSE(image.isNull()) << title.toStdString();
    cells.push_back({title, image});
  };

  auto* band = new TMMSlider(&stage.window);
  BandSliderValues(*band);
  auto* fft = new TMMSlider(&stage.window);
  FftSliderValues(*fft);
  fft->move(40, 0);
  auto* plain = new TMMSlider(&stage.window);
  plain->setGeometry(80, 0, 180, 44);
  plain->Scale().SetVisible(true);
  plain->SetPosition(3);
  for (QWidget* w : {static_cast<QWidget*>(band), static_cast<QWidget*>(fft), static_cast<QWidget*>(plain)}) w->show();
  plain->setFocus();
  add("band slider", band->grab().toImage());
  add("fft slider, position 4", fft->grab().toImage());
  add("default slider, focused", plain->grab().toImage());
  band->setFocus();
  band->SetPosition(990);
  add("band slider, focused, 990", band->grab().toImage());
  band->setEnabled(false);
  plain->setEnabled(false);
  add("band slider, disabled", band->grab().toImage());
  add("default slider, disabled", plain->grab().toImage());

  auto* button = new TTransparentButton(&stage.window);
  button->setGeometry(300, 10, 74, 19);
  button->SetFrameStyle(TFrameStyle::fsLight);
  button->SetCaption("Start");
  button->setFont(MMFont("MS Sans Serif", -11));
  button->show();
  add("button, light frame", Grab(button));
  button->SetDown(true);
  add("button, down", Grab(button));
  button->SetDown(false);
  button->setEnabled(false);
  add("button, disabled", Grab(button));
  button->setEnabled(true);
  button->SetFrameStyle(TFrameStyle::fsExplorer);
  QImage strip(32, 16, QImage::Format_RGB32);
  strip.fill(QColor(255, 0, 255));
  QPainter(&strip).fillRect(4, 4, 8, 8, QColor(0, 128, 0));
  QPainter(&strip).fillRect(20, 4, 8, 8, QColor(128, 128, 128));
  button->SetGlyph(strip);
  button->SetTextAlign(TTextAlign::ttaRight);
  button->resize(90, 22);
  add("explorer, not hovered (grey glyph)", Grab(button));
  Hover(button, true);
  add("explorer, hovered", Grab(button));
  button->SetDown(true);
  add("explorer, hovered, down", Grab(button));
  Hover(button, false);
  for (TFrameStyle style : {TFrameStyle::fsRegular, TFrameStyle::fsIndent, TFrameStyle::fsDark, TFrameStyle::fsMono}) {
    button->SetDown(false);
    button->SetFrameStyle(style);
    add(QStringLiteral("frame style %1").arg(int(style)), Grab(button));
  }

  auto* label = new TMMLabel(&stage.window);
  label->setGeometry(400, 10, 150, 30);
  label->SetCaption("Strata EQ 1.0");
  label->setFont(MMFont("Times New Roman", -19));
  label->Bevel().SetBevelOuter(TPanelBevel::bvNone);
  label->show();
  for (TMMLabelStyle style : {TMMLabelStyle::lsNone, TMMLabelStyle::lsRaised, TMMLabelStyle::lsSunken,
                              TMMLabelStyle::lsShadow, TMMLabelStyle::lsFlying}) {
    label->SetEffectStyle(style);
    add(QStringLiteral("label style %1").arg(int(style)), Grab(label));
  }
  label->SetEffectStyle(TMMLabelStyle::lsRaised);
  label->SetAngle(20);
  label->SetTransparent(false);
  label->SetColor(clWhite);
  add("label, 20 degrees, opaque", Grab(label));

  auto* gauge = new TMMGauge(&stage.window);
  gauge->setGeometry(600, 10, 129, 19);
  gauge->SetCaption("Processing ...");
  gauge->setFont(MMFont("MS Sans Serif", -11));
  gauge->show();
  for (int p : {0, 42, 100}) {
    gauge->SetProgress(p);
    add(QStringLiteral("gauge %1 %").arg(p), Grab(gauge));
  }
  gauge->SetBWText(true);
  gauge->SetProgress(42);
  add("gauge, two-colour text", Grab(gauge));
  gauge->SetBWText(false);
  gauge->resize(80, 50);
  for (TMMGaugeKind kind : {TMMGaugeKind::gkText, TMMGaugeKind::gkVerticalBar, TMMGaugeKind::gkPie, TMMGaugeKind::gkNeedle}) {
    gauge->SetKind(kind);
    gauge->SetShowText(kind != TMMGaugeKind::gkPie);
    add(QStringLiteral("gauge kind %1").arg(int(kind)), Grab(gauge));
  }

  auto* panel = new TMMPanel(&stage.window);
  panel->setGeometry(10, 150, 180, 40);
  panel->Bevel().SetBevelOuter(TPanelBevel::bvRaised);
  panel->Bevel().SetBevelOuterWidth(2);
  panel->show();
  add("raised panel", panel->grab().toImage());
  panel->Bevel().SetBevelOuter(TPanelBevel::bvLowered);
  panel->Bevel().SetBevelOuterWidth(1);
  panel->SetCaption("60-120 Hz : -3.5 dB");
  add("lowered panel, readout", panel->grab().toImage());

  TMemBmp hint;
  QImage under = panel->grab().toImage();
  hint.LoadFromImage(under);
  for (int i = 0; i < 30; ++i) {
    hint.Shade(-5);
    hint.OverlayText(2, 1, "Recording Device", MMFont("MS Sans Serif", -11));
  }
  add("hint over the panel, after 30 shades", hint.ToImage());

  const QImage sheet = Compose(cells, 4);
  const QString path = QStringLiteral(STRATAEQ_BUILD_DIR "/controls_gallery.png");
  ASSERT_TRUE(sheet.save(path)) << path.toStdString();
  // States that must look different do.
  EXPECT_NE(cells[0].image, cells[3].image);   // band slider: focus and position
  EXPECT_NE(cells[6].image, cells[7].image);   // button: up and down
  EXPECT_NE(cells[9].image, cells[10].image);  // explorer: grey and hovered
}

}  // namespace
}  // namespace strataeq
