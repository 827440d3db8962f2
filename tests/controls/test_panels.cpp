#include <QHelpEvent>
#include <QTest>
#include <QVBoxLayout>
#include <gtest/gtest.h>
#include <limits>

#include "controls/MMDesign.h"
#include "controls/MMGauge.h"
#include "controls/MMLabel.h"
#include "controls/MMPanel.h"
#include "controls/MemBmp.h"
#include "controls/TranspHint.h"

namespace strataeq {
namespace {

TEST(Gauge, ShowsCaptionAndPercentAndClampsItsRange) {
  TMMGauge gauge;
  gauge.SetCaption("Processing ...");
  gauge.SetProgress(42);
  EXPECT_EQ(gauge.Text(), "Processing ... 42%");
  EXPECT_EQ(QAccessible::queryAccessibleInterface(&gauge)->text(QAccessible::Value),
            QStringLiteral("Processing ... 42%"));
  EXPECT_EQ(QAccessible::queryAccessibleInterface(&gauge)->role(), QAccessible::ProgressBar);
  gauge.SetProgress(250);
  EXPECT_EQ(gauge.Progress(), 100);
  EXPECT_EQ(gauge.PercentDone(), 100);
  gauge.SetCaption("");
  EXPECT_EQ(gauge.Text(), "100%");
  gauge.SetMaxValue(-5);  // not below the minimum
  EXPECT_EQ(gauge.MaxValue(), 0);
  EXPECT_EQ(gauge.PercentDone(), 0);  // MinValue = MaxValue
  EXPECT_EQ(gauge.Progress(), 0);
  gauge.SetMinValue(std::numeric_limits<int>::min());
  EXPECT_EQ(gauge.MinValue(), -std::numeric_limits<int>::max());
  // Ranges near the ends of the integers must not overflow the percentage.
  EXPECT_EQ(GaugePercent(std::numeric_limits<int>::max() / 2, 0, std::numeric_limits<int>::max()), 49);
  EXPECT_EQ(GaugePercent(0, -std::numeric_limits<int>::max(), std::numeric_limits<int>::max()), 50);
  EXPECT_EQ(GaugePercent(7, 3, 3), 0);
}

TEST(Label, EffectStylesAreTemplatesThatAPerPropertyChangeLeaves) {
  TMMLabel label;
  EXPECT_EQ(label.EffectStyle(), TMMLabelStyle::lsRaised);
  label.SetDepthShadow(3);
  EXPECT_EQ(label.EffectStyle(), TMMLabelStyle::lsCustom);
  label.SetEffectStyle(TMMLabelStyle::lsFlying);
  EXPECT_EQ(label.DepthShadow(), 5);
  EXPECT_EQ(label.DepthHighlight(), 1);
  EXPECT_EQ(label.ColourHighlight(), clGray);
  EXPECT_EQ(label.DirectionShadow(), TMMLabelDirection::ldDownRight);
  label.SetEffectStyle(TMMLabelStyle::lsSunken);
  EXPECT_EQ(label.ColourHighlight(), clWhite);
  EXPECT_EQ(label.DirectionHighlight(), TMMLabelDirection::ldDownRight);
  EXPECT_EQ(label.DirectionShadow(), TMMLabelDirection::ldUpLeft);
  label.SetDirectionHighlight(TMMLabelDirection::ldUp);
  EXPECT_EQ(label.EffectStyle(), TMMLabelStyle::lsCustom);
  label.SetEffectStyle(TMMLabelStyle::lsShadow);
  EXPECT_EQ(label.DepthHighlight(), 0);
  EXPECT_EQ(label.DepthShadow(), 2);
  label.SetDepthShadow(99);
  EXPECT_EQ(label.DepthShadow(), 20);
  EXPECT_EQ(DirectionOffset(TMMLabelDirection::ldDownLeft), QPoint(-1, 1));
}

TEST(Label, AsButtonSinksWhilePressedInsideAndClicksOnReleaseInside) {
  QWidget window;
  window.resize(200, 60);
  auto* label = new TMMLabel(&window);
  label->SetCaption("Strata EQ 1.0");
  int clicks = 0;
  label->OnClick = [&](TObject*) { ++clicks; };
  label->SetAsButton(true);
  EXPECT_EQ(label->EffectStyle(), TMMLabelStyle::lsRaised);
  window.show();
  QTest::mousePress(label, Qt::LeftButton, {}, QPoint(5, 5));
  EXPECT_EQ(label->EffectStyle(), TMMLabelStyle::lsSunken);
  QMouseEvent out(QEvent::MouseMove, QPointF(300, 5), label->mapToGlobal(QPointF(300, 5)), Qt::NoButton,
                  Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(label, &out);
  EXPECT_EQ(label->EffectStyle(), TMMLabelStyle::lsRaised);
  QMouseEvent back(QEvent::MouseMove, QPointF(6, 5), label->mapToGlobal(QPointF(6, 5)), Qt::NoButton,
                   Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(label, &back);
  EXPECT_EQ(label->EffectStyle(), TMMLabelStyle::lsSunken);
  QTest::mouseRelease(label, Qt::LeftButton, {}, QPoint(6, 5));
  EXPECT_EQ(label->EffectStyle(), TMMLabelStyle::lsRaised);
  EXPECT_EQ(clicks, 1);
  QAccessibleInterface* iface = QAccessible::queryAccessibleInterface(label);
  EXPECT_EQ(iface->role(), QAccessible::Button);
  EXPECT_EQ(iface->text(QAccessible::Name), QStringLiteral("Strata EQ 1.0"));
  label->SetEffectStyle(TMMLabelStyle::lsNone);  // a preset without the button
  EXPECT_FALSE(label->AsButton());
  EXPECT_EQ(iface->role(), QAccessible::StaticText);
}

TEST(Panel, ChildrenLieInsideTheBevelAndTheCaptionNamesIt) {
  TMMPanel panel;
  panel.resize(100, 60);
  auto* layout = new QVBoxLayout(&panel);
  layout->setSpacing(0);
  layout->setContentsMargins(0, 0, 0, 0);
  auto* child = new QWidget;
  layout->addWidget(child);
  TMMBevel raised;
  raised.SetBevelOuter(TPanelBevel::bvRaised);
  raised.SetBevelOuterWidth(2);
  raised.SetBorderWidth(3);
  panel.SetBevel(raised);
  panel.show();
  layout->activate();
  EXPECT_EQ(panel.TotalBevelWidth(), 5);
  EXPECT_EQ(child->geometry(), QRect(5, 5, 90, 50));
  EXPECT_FALSE(panel.TabStop());
  panel.SetCaption("60-120 Hz : -3.5 dB");
  EXPECT_EQ(QAccessible::queryAccessibleInterface(&panel)->text(QAccessible::Name),
            QStringLiteral("60-120 Hz : -3.5 dB"));
  int downs = 0;
  panel.OnMouseDown = [&](TObject* sender, TMouseButton button, TShiftState, int x, int y) {
    EXPECT_EQ(sender, static_cast<TObject*>(&panel));
    EXPECT_EQ(button, TMouseButton::mbLeft);
    EXPECT_EQ(QPoint(x, y), QPoint(2, 3));
    ++downs;
  };
  QTest::mousePress(&panel, Qt::LeftButton, {}, QPoint(2, 3));
  EXPECT_EQ(downs, 1);
}

TEST(Designer, RuntimeHeightBecomesTheFormsClientHeight) {
  QWidget form;
  form.resize(663, 400);
  TMMDesigner designer(&form);
  designer.SetRuntimeHeight(278);
  designer.SetShowButton(true);
  designer.SetUpdate(true);
  EXPECT_FALSE(designer.Update());
  designer.Loaded();
  EXPECT_EQ(form.size(), QSize(663, 278));

  for (int none : {0, -1}) {
    QWidget other;
    other.resize(300, 200);
    TMMDesigner d(&other);
    d.SetRuntimeHeight(none);
    d.Loaded();
    EXPECT_EQ(other.height(), 200);
  }
  QWidget owner;
  owner.resize(300, 200);
  QObject dataModule(&owner);
  TMMDesigner onModule(&dataModule);
  onModule.SetRuntimeHeight(150);
  onModule.Loaded();
  EXPECT_EQ(owner.height(), 150);

  QWidget child(&form);
  try {
    TMMDesigner bad(&child);
    ADD_FAILURE() << "a control is not a form";
  } catch (const EMMDesignerError& e) {
    EXPECT_STREQ(e.what(), "Owner must be a Form");
  }
}

TEST(MemBmp, RowsArePaddedBottomUpAndShadingLeavesBlue) {
  TMemBmp bmp;
  bmp.SetSize(5, 3);
  EXPECT_EQ(bmp.Stride(), 16);
  EXPECT_EQ(bmp.FillBytes(), 1);
  EXPECT_EQ(bmp.Row(0) - bmp.Row(2), 2 * 16);  // the top row is stored last
  QImage image(5, 3, QImage::Format_RGB32);
  image.fill(QColor(200, 100, 50));
  image.setPixel(4, 2, qRgb(255, 255, 255));
  bmp.LoadFromImage(image);
  EXPECT_EQ(bmp.Row(2)[12], 255);
  const auto darker = TMemBmp::ShadeTable(-5);
  EXPECT_EQ(darker[255], 251);
  EXPECT_EQ(darker[0], 0);
  const auto brighter = TMemBmp::ShadeTable(10);
  EXPECT_EQ(brighter[0], 9);
  EXPECT_EQ(brighter[255], 255);
  EXPECT_EQ(TMemBmp::ShadeTable(-300)[100], 0);  // clamped at 0
  bmp.Shade(-5);
  const QImage shaded = bmp.ToImage();
  EXPECT_EQ(QColor(shaded.pixel(0, 0)), QColor(darker[200], darker[100], 50));
  // Overlaid text copies only its lit pixels.
  TMemBmp text;
  QImage grey(60, 20, QImage::Format_RGB32);
  grey.fill(QColor(0, 0, 0));
  text.LoadFromImage(grey);
  text.OverlayText(2, 1, "Hint", MMFont("MS Sans Serif", -11));
  const QImage written = text.ToImage();
  int white = 0, other = 0;
  for (int y = 0; y < written.height(); ++y)
    for (int x = 0; x < written.width(); ++x) {
      const QRgb c = written.pixel(x, y);
      if (c == qRgb(255, 255, 255)) ++white;
      else if (qGray(c) != 0) ++other;
    }
  EXPECT_GT(white, 10);
  EXPECT_EQ(written.pixel(59, 19), qRgb(0, 0, 0));
}

TEST(HintWindow, DarkensACopyOfTheBackgroundBehindBoldWhiteText) {
  TTranspHintWindow hint;
  QImage behind(200, 20, QImage::Format_RGB32);
  behind.fill(QColor(192, 192, 192));
  hint.ActivateHintOver(QRect(10, 10, 1, 20), "Recording Device", behind);
  QFont bold = MMFont("MS Sans Serif", -11);
  bold.setBold(true);
  EXPECT_EQ(hint.width(), QFontMetrics(bold).horizontalAdvance(QStringLiteral("Recording Device")) + 10);
  EXPECT_TRUE(hint.HasBackground());
  EXPECT_EQ(hint.StepsLeft(), 30);
  while (hint.StepsLeft() > 0) hint.DarkenStep();
  const QImage shown = hint.Background().ToImage();
  const QRgb corner = shown.pixel(shown.width() - 1, shown.height() - 1);
  int expected = 192;
  for (int i = 0; i < 30; ++i) expected = TMemBmp::ShadeTable(-5)[std::size_t(expected)];
  EXPECT_EQ(qRed(corner), expected);
  EXPECT_EQ(qGreen(corner), expected);
  EXPECT_EQ(qBlue(corner), 192);
  int white = 0;
  for (int y = 0; y < shown.height(); ++y)
    for (int x = 0; x < shown.width(); ++x) white += shown.pixel(x, y) == qRgb(255, 255, 255);
  EXPECT_GT(white, 20);  // the bold white text, written again after every shade
  hint.ActivateHintOver(QRect(10, 10, 1, 20), "Output Device", QImage());
  EXPECT_FALSE(hint.HasBackground());  // no copy: the translucent fill
  EXPECT_EQ(hint.StepsLeft(), 0);
  hint.hide();
}

TEST(HintWindow, InstalledItShowsEveryTooltipOverACopyOfTheWindow) {
  TTranspHintWindow::Install(*qApp);
  QWidget window;
  window.resize(300, 100);
  window.setStyleSheet(QStringLiteral("background: rgb(192, 192, 192)"));
  auto* child = new QWidget(&window);
  child->setGeometry(10, 10, 50, 20);
  child->setToolTip(QStringLiteral("Output Device"));
  window.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
  QHelpEvent help(QEvent::ToolTip, QPoint(5, 5), child->mapToGlobal(QPoint(5, 5)));
  QApplication::sendEvent(child, &help);
  TTranspHintWindow* shown = nullptr;
  for (QWidget* w : QApplication::topLevelWidgets())
    if (auto* h = qobject_cast<TTranspHintWindow*>(w); h && h->isVisible()) shown = h;
  ASSERT_NE(shown, nullptr);
  EXPECT_EQ(shown->HintText(), "Output Device");
  EXPECT_TRUE(shown->HasBackground());  // our own window under it, copied without the screen
  EXPECT_EQ(QColor(shown->Background().ToImage().pixel(shown->width() - 1, 0)), QColor(192, 192, 192));
  QTest::mousePress(child, Qt::LeftButton);
  EXPECT_FALSE(shown->isVisible());
}

}  // namespace
}  // namespace strataeq
