#include <QEnterEvent>
#include <QMenu>
#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>

#include "controls/TransBtn.h"

namespace strataeq {
namespace {

// Counts each of the button's mouse events.
struct Counts {
  int down = 0, move = 0, up = 0, click = 0, enter = 0, exit = 0;
  void Attach(TTransparentButton& b) {
    b.OnMouseDown = [this](TObject*, TMouseButton, TShiftState, int, int) { ++down; };
    b.OnMouseMove = [this](TObject*, TShiftState, int, int) { ++move; };
    b.OnMouseUp = [this](TObject*, TMouseButton, TShiftState, int, int) { ++up; };
    b.OnClick = [this](TObject*) { ++click; };
    b.OnMouseEnter = [this](TObject*) { ++enter; };
    b.OnMouseExit = [this](TObject*) { ++exit; };
  }
};

// A button of the window on a coloured background, so that what it leaves unpainted shows.
struct OnPanel {
  QWidget panel;
  TTransparentButton* button;
  Counts counts;
  explicit OnPanel(TFrameStyle style = TFrameStyle::fsLight) {
    panel.resize(120, 40);
    panel.setStyleSheet(QStringLiteral("background: rgb(0, 0, 255)"));
    button = new TTransparentButton(&panel);
    button->setGeometry(10, 10, 74, 19);
    button->SetFrameStyle(style);
    counts.Attach(*button);
    panel.show();
    panel.activateWindow();
    EXPECT_TRUE(QTest::qWaitForWindowExposed(&panel));
  }
  QColor At(int x, int y) { return QColor(button->grab().toImage().pixel(x, y)); }
};

void Enter(QWidget* w) {
  QEnterEvent enter(QPointF(5, 5), QPointF(5, 5), w->mapToGlobal(QPointF(5, 5)));
  QApplication::sendEvent(w, &enter);
}

void Leave(QWidget* w) {
  QEvent leave(QEvent::Leave);
  QApplication::sendEvent(w, &leave);
}

const QColor kHighlight(255, 255, 255), kShadow(128, 128, 128), kBehind(0, 0, 255);

TEST(TransparentButton, PopupMenuOpensOnPressAndTheButtonComesUpWhenItCloses) {
  OnPanel p;
  QMenu menu;
  menu.addAction(QStringLiteral("Both Channels"));
  p.button->SetPopUpMenu(&menu);
  bool menuShown = false, pressedWhileOpen = false;
  QPoint menuAt;
  QTimer::singleShot(0, [&] {
    menuShown = menu.isVisible();
    menuAt = menu.pos();
    pressedWhileOpen = p.button->PressedLook();
    menu.close();
  });
  QTest::mousePress(p.button, Qt::LeftButton, {}, QPoint(10, 10));
  EXPECT_TRUE(menuShown);
  EXPECT_TRUE(pressedWhileOpen);
  EXPECT_EQ(menuAt, p.button->mapToGlobal(QPoint(0, p.button->height())));  // below the bottom-left corner
  EXPECT_FALSE(p.button->PressedLook());
  EXPECT_EQ(p.At(0, 0), kHighlight);  // raised again, no second click needed
  EXPECT_EQ(p.counts.down, 1);
  EXPECT_EQ(p.counts.up, 1);
  // The physical release that follows belongs to the menu's gesture.
  QTest::mouseRelease(p.button, Qt::LeftButton, {}, QPoint(10, 10));
  EXPECT_EQ(p.counts.up, 1);
  EXPECT_EQ(p.counts.click, 0);
  EXPECT_EQ(QAccessible::queryAccessibleInterface(p.button)->role(), QAccessible::ButtonMenu);

  p.button->SetPopUpMenu(nullptr);
  {
    QMenu gone;
    p.button->SetPopUpMenu(&gone);
  }
  EXPECT_EQ(p.button->PopUpMenu(), nullptr);  // the removed menu is forgotten
}

TEST(TransparentButton, EachMouseEventFiresOnceAndAClickNeedsTheReleaseInside) {
  OnPanel p;
  QTest::mousePress(p.button, Qt::LeftButton, {}, QPoint(10, 10));
  EXPECT_TRUE(p.button->PressedLook());
  EXPECT_EQ(p.At(0, 0), kShadow);  // sunken
  QTest::mousePress(p.button, Qt::LeftButton, {}, QPoint(11, 10));  // second press before the release
  QTest::mouseMove(p.button, QPoint(200, 10));  // outside: normal look while held
  EXPECT_FALSE(p.button->PressedLook());
  QTest::mouseMove(p.button, QPoint(12, 10));
  EXPECT_TRUE(p.button->PressedLook());
  QTest::mouseRelease(p.button, Qt::LeftButton, {}, QPoint(12, 10));
  EXPECT_EQ(p.counts.down, 1);
  EXPECT_EQ(p.counts.move, 2);
  EXPECT_EQ(p.counts.up, 1);
  EXPECT_EQ(p.counts.click, 1);
  QTest::mousePress(p.button, Qt::LeftButton, {}, QPoint(10, 10));
  QTest::mouseRelease(p.button, Qt::LeftButton, {}, QPoint(300, 10));
  EXPECT_EQ(p.counts.click, 1);
  EXPECT_EQ(p.counts.up, 2);
}

TEST(TransparentButton, DownLatchKeepsThePressedLookAndStillClicks) {
  OnPanel p;
  p.button->OnClick = [&](TObject*) { ++p.counts.click; };
  p.button->SetDown(true);
  EXPECT_EQ(p.At(0, 0), kShadow);
  QTest::mouseClick(p.button, Qt::LeftButton, {}, QPoint(10, 10));
  EXPECT_EQ(p.counts.click, 1);
  EXPECT_EQ(p.counts.up, 0);  // the latched button stays down
  EXPECT_EQ(p.At(0, 0), kShadow);
  // The window toggles the latch in OnClick, as "Vis Enable" does.
  p.button->OnClick = [&](TObject* sender) {
    auto* b = dynamic_cast<TTransparentButton*>(sender);
    b->SetDown(!b->Down());
  };
  QTest::mouseClick(p.button, Qt::LeftButton, {}, QPoint(10, 10));
  EXPECT_FALSE(p.button->Down());
  EXPECT_FALSE(p.button->PressedLook());
  EXPECT_EQ(p.At(0, 0), kHighlight);
}

QImage Strip(int width, int height) {
  QImage strip(width, height, QImage::Format_RGB32);
  strip.fill(QColor(255, 0, 255));  // the key colour in the top-left corner
  for (int x = 3; x < width; x += 16) {
    for (int y = 4; y < 12; ++y)
      for (int dx = 0; dx < 8 && x + dx < width; ++dx) strip.setPixel(x + dx, y, qRgb(200, 0, 0));
  }
  return strip;
}

TEST(TransparentButton, GlyphStripSetsTheImageCountAndBuildsGreyAndEtchedCopies) {
  TTransparentButton b;
  b.SetGlyph(Strip(64, 16));
  EXPECT_EQ(b.NumGlyphs(), 4);
  EXPECT_EQ(b.Glyphs().images.size(), 4u);
  b.SetGlyph(Strip(80, 16));
  EXPECT_EQ(b.NumGlyphs(), 1);
  b.SetNumGlyphs(2);
  b.SetGlyph(Strip(40, 16));
  EXPECT_EQ(b.NumGlyphs(), 2);
  b.SetGlyph(Strip(16, 16));
  const TGlyphList& g = b.Glyphs();
  EXPECT_EQ(qAlpha(g.images[0].pixel(0, 0)), 0);  // key colour masked
  EXPECT_EQ(QColor(g.images[0].pixel(5, 5)), QColor(200, 0, 0));
  const int grey = (11 * 200) / 100;
  EXPECT_EQ(QColor(g.grey.pixel(5, 5)), QColor(grey, grey, grey));
  EXPECT_EQ(QColor(g.etched.pixel(3, 4)), kShadow);                       // the shape in shadow
  EXPECT_EQ(QColor(g.etched.pixel(11, 12)), kHighlight);                   // its copy one pixel down-right
  EXPECT_EQ(qAlpha(g.etched.pixel(0, 0)), 0);
}

TEST(TransparentButton, ExplorerStyleIsFlatUntilHoveredAndGreyWhileNot) {
  OnPanel p(TFrameStyle::fsExplorer);
  p.button->SetGlyph(Strip(16, 16));
  p.button->setGeometry(10, 10, 30, 20);
  EXPECT_EQ(p.At(0, 0), kBehind);  // flat: the panel shows through
  const QPoint glyphPixel(7 + 5, 2 + 5);
  EXPECT_EQ(p.At(glyphPixel.x(), glyphPixel.y()).red(), p.At(glyphPixel.x(), glyphPixel.y()).green());  // grey
  Enter(p.button);
  EXPECT_TRUE(p.button->Hot());
  EXPECT_EQ(p.counts.enter, 1);
  EXPECT_EQ(p.At(0, 0), kHighlight);  // raised while hovered
  EXPECT_EQ(p.At(glyphPixel.x(), glyphPixel.y()), QColor(200, 0, 0));
  Leave(p.button);
  EXPECT_EQ(p.counts.exit, 1);
  EXPECT_EQ(p.At(0, 0), kBehind);
}

TEST(TransparentButton, DisabledButtonShowsTheEtchedGlyphAndIgnoresTheMouse) {
  OnPanel p(TFrameStyle::fsLight);
  p.button->SetAutoGray(false);
  p.button->SetGlyph(Strip(16, 16));
  p.button->setGeometry(10, 10, 30, 20);
  QTest::mousePress(p.button, Qt::LeftButton, {}, QPoint(5, 5));
  p.button->setEnabled(false);
  EXPECT_FALSE(p.button->PressedLook());
  const int left = (30 - 16) / 2, top = (20 - 16) / 2;
  EXPECT_EQ(p.At(left + 3, top + 4), kShadow);
  EXPECT_EQ(p.At(left + 11, top + 12), kHighlight);
  QTest::mouseClick(p.button, Qt::LeftButton, {}, QPoint(5, 5));
  EXPECT_EQ(p.counts.click, 0);
  EXPECT_EQ(p.counts.down, 1);
}

TEST(TransparentButton, KeyboardAndScreenReadersPressIt) {
  OnPanel p;
  p.button->SetCaption("&Load");
  p.button->SetHint("Load a preset");
  QAccessibleInterface* iface = QAccessible::queryAccessibleInterface(p.button);
  ASSERT_NE(iface, nullptr);
  EXPECT_EQ(iface->role(), QAccessible::Button);
  EXPECT_EQ(iface->text(QAccessible::Name), QStringLiteral("Load"));
  EXPECT_EQ(iface->text(QAccessible::Description), QStringLiteral("Load a preset"));
  // The press comes after the action has answered: a screen reader is not held up by
  // what the click opens.
  iface->actionInterface()->doAction(QAccessibleActionInterface::pressAction());
  EXPECT_EQ(p.counts.click, 0);
  QCoreApplication::processEvents();
  EXPECT_EQ(p.counts.click, 1);
  p.button->setFocus();
  QTest::keyClick(p.button, Qt::Key_Space);
  EXPECT_EQ(p.counts.click, 2);
  QTest::keyClick(&p.panel, Qt::Key_L, Qt::AltModifier);  // the caption's accelerator
  EXPECT_EQ(p.counts.click, 3);
}

TEST(TransparentButton, MovableButtonFollowsThePointer) {
  OnPanel p;
  p.button->SetMovable(true);
  QTest::mousePress(p.button, Qt::LeftButton, {}, QPoint(5, 5));
  QTest::mouseMove(p.button, QPoint(15, 8));
  EXPECT_EQ(p.button->pos(), QPoint(20, 13));
  QTest::mouseRelease(p.button, Qt::LeftButton, {}, QPoint(5, 5));
}

}  // namespace
}  // namespace strataeq
