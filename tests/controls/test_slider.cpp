#include <QAccessible>
#include <QPainter>
#include <QTest>
#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "controls/MMScale.h"
#include "controls/MMSlider.h"

namespace strataeq {
namespace {

using namespace SliderMath;

TEST(SliderMath, LogarithmicMappingRoundsAndReadsBack) {
  EXPECT_EQ(LogPositionToRaw(100, 0, 100, -24), 100);
  EXPECT_EQ(LogPositionToRaw(10, 0, 100, -24), 17);  // 100 * (-20 + 24) / 24 = 16.67
  EXPECT_EQ(RawToLogPosition(17, 0, 100, -24), 10);
  EXPECT_EQ(LogPositionToRaw(0, 0, 100, -24), 0);
  EXPECT_EQ(RawToLogPosition(0, 0, 100, -24), 0);
  EXPECT_EQ(LogPositionToRaw(1, 0, 100, -24), 0);      // below the sensitivity: clamped
  EXPECT_EQ(LogPositionToRaw(500, 0, 100, -24), 100);  // above the range: clamped
  EXPECT_EQ(RawToLogPosition(250, 0, 100, -24), 100);
  // A position of the other sign has no logarithm: the bottom, never a NaN cast to int.
  EXPECT_EQ(LogPositionToRaw(-5, 0, 100, -24), 0);
  EXPECT_EQ(LogPositionToRaw(-5, -10, 100, -24), -10);
  EXPECT_EQ(ClampSensitivity(-10), -20);
  EXPECT_EQ(ClampSensitivity(-200), -96);
  EXPECT_EQ(ClampSensitivity(-50), -50);
  EXPECT_EQ(MulDiv(3, 5, 2), 8);  // 7.5 rounds away from zero
  EXPECT_EQ(MulDiv(-3, 5, 2), -8);
  EXPECT_EQ(MulDiv(1, 1, 0), -1);
  EXPECT_EQ(RoundHalfEven(2.5), 2);
  EXPECT_EQ(RoundHalfEven(3.5), 4);
}

TMMSliderLayout BandSliderLayout() {
  TMMSliderLayout l;
  l.client = QRect(0, 0, 21, 99);
  l.bevelWidth = 6;  // lowered ring and the slider's border of 5
  l.orientation = TMMOrientation::orVertical;
  l.thumbWidth = 15;
  l.thumbHeight = 20;
  l.grooveThickness = 7;
  l.scaleVisible = true;
  l.scalePos = TMMScalePos::spBoth;
  l.scaleDistance = 2;
  l.scaleThickness = 3;
  l.minValue = -990;
  l.maxValue = 990;
  return l;
}

TEST(SliderLayout, VerticalBandSliderPutsTheMinimumAtTheBottomAndScalesBesideTheGroove) {
  const TMMSliderLayout l = BandSliderLayout();
  EXPECT_EQ(l.Inner(), QRect(6, 6, 9, 87));
  EXPECT_EQ(l.Travel(), 67);
  EXPECT_EQ(l.ThumbRect(990), QRect(3, 6, 15, 20));
  EXPECT_EQ(l.ThumbRect(-990), QRect(3, 6 + 67, 15, 20));
  EXPECT_EQ(l.ThumbRect(0).top(), 6 + 67 - RoundHalfEven(67.0 / 1980 * 990));
  EXPECT_EQ(l.GrooveRect(), QRect(7, 6, 7, 87));
  EXPECT_EQ(l.ScaleRect(TMMScaleSide::ssAboveOrLeft), QRect(2, 16, 3, 68));
  EXPECT_EQ(l.ScaleRect(TMMScaleSide::ssBelowOrRight), QRect(16, 16, 3, 68));

  TMMSliderLayout one = l;
  one.scalePos = TMMScalePos::spBelowOrRight;  // thumb and groove move to the left edge
  EXPECT_EQ(one.ThumbRect(0).left(), 6);
  EXPECT_EQ(one.GrooveRect().left(), 6 + 7 - 3);
  one.scalePos = TMMScalePos::spAboveOrLeft;
  EXPECT_EQ(one.ThumbRect(0).left(), 6 + 9 - 15);
  EXPECT_EQ(one.GrooveRect().left(), 6 + 9 - 7 - 1 - 3);
}

TEST(SliderLayout, ClickingAThumbCentreGivesAValueThatDrawsTheThumbThere) {
  for (TMMOrientation o : {TMMOrientation::orVertical, TMMOrientation::orHorizontal}) {
    TMMSliderLayout l = BandSliderLayout();
    l.orientation = o;
    if (o == TMMOrientation::orHorizontal) {
      l.client = QRect(0, 0, 140, 30);
      l.thumbWidth = 11;
      l.thumbHeight = 23;
      l.minValue = -7;
      l.maxValue = 50;
    }
    for (int raw = l.minValue; raw <= l.maxValue; ++raw) {
      const QRect thumb = l.ThumbRect(raw);
      const QPoint centre(thumb.left() + l.thumbWidth / 2, thumb.top() + l.thumbHeight / 2);
      ASSERT_EQ(l.ThumbRect(l.ValueFromPoint(centre)), thumb) << "raw " << raw;
    }
    // Far outside the travel the value is clamped.
    EXPECT_EQ(l.ValueFromPoint(QPoint(-1000, 5000)), o == TMMOrientation::orVertical ? l.minValue : l.minValue);
    EXPECT_EQ(l.ValueFromPoint(QPoint(5000, -1000)), l.maxValue);
    EXPECT_EQ(l.DragValue(0, l.Travel()), std::min(l.maxValue, l.maxValue - l.minValue));
    EXPECT_EQ(l.DragValue(0, -100000), l.minValue);
  }
}

// Records the slider's events in order.
struct EventLog {
  std::vector<std::string> events;
  void Attach(TMMSlider& s) {
    s.OnChange = [this](TObject*) { events.push_back("Change"); };
    s.OnTrack = [this](TObject*) { events.push_back("Track"); };
    s.OnTrackEnd = [this](TObject*) { events.push_back("TrackEnd"); };
  }
  std::vector<std::string> Take() { return std::exchange(events, {}); }
};

using Events = std::vector<std::string>;

// A band slider of the window, shown so that it can take focus.
struct BandSlider {
  QWidget window;
  TMMSlider* slider;
  EventLog log;
  BandSlider() {
    window.resize(60, 120);
    slider = new TMMSlider(&window);
    slider->setGeometry(10, 10, 21, 99);
    slider->SetRange(-990, 990);
    slider->SetPageSize(50);
    slider->SetThumbWidth(15);
    slider->SetThumbHeight(20);
    log.Attach(*slider);
    window.show();
    window.activateWindow();
    EXPECT_TRUE(QTest::qWaitForWindowActive(&window));
  }
};

TEST(Slider, RangeSettersKeepMaxAboveMinAndClampThePosition) {
  TMMSlider s;
  EventLog log;
  log.Attach(s);
  s.SetMaxValue(0);
  EXPECT_EQ(s.MaxValue(), 1);
  s.SetRange(-990, 990);
  s.SetPosition(500);
  EXPECT_EQ(log.Take(), Events{"Change"});
  s.SetPosition(500);
  EXPECT_EQ(log.Take(), Events{});  // same position: nothing fires
  s.SetMaxValue(100);
  EXPECT_EQ(s.Position(), 100);
  EXPECT_EQ(log.Take(), Events{"Change"});
  s.SetPosition(5000);  // beyond the end the value already sits at: no change reported
  EXPECT_EQ(log.Take(), Events{});
  s.SetMinValue(200);
  EXPECT_EQ(s.MaxValue(), 201);
  EXPECT_EQ(s.Position(), 200);
}

TEST(Slider, LogarithmicPropertiesKeepTheLogicalPosition) {
  TMMSlider s;
  s.SetRange(0, 100);
  s.SetPosition(10);
  s.SetLogarithmic(true);
  EXPECT_EQ(s.RawValue(), 17);
  EXPECT_EQ(s.Position(), 10);
  s.SetSensitivity(-40);
  EXPECT_EQ(s.RawValue(), 50);
  EXPECT_EQ(s.Position(), 10);
  s.SetSensitivity(-10);
  EXPECT_EQ(s.Sensitivity(), -20);
  EXPECT_EQ(s.RawValue(), 0);  // 20 dB below the top is the bottom at -20
  s.SetSensitivity(-200);
  EXPECT_EQ(s.Sensitivity(), -96);
  s.SetLogarithmic(false);
  EXPECT_EQ(s.RawValue(), s.Position());
}

TEST(Slider, KeysStepThroughTheRangeAndEndTheTrackOnRelease) {
  BandSlider b;
  TMMSlider& s = *b.slider;
  s.SetPosition(980);
  b.log.Take();
  int keyDowns = 0, lastKey = 0;
  s.OnKeyDown = [&](TObject*, int& key, TShiftState) {
    ++keyDowns;
    lastKey = key;
  };
  QTest::keyClick(&s, Qt::Key_PageUp);
  EXPECT_EQ(s.Position(), 990);
  EXPECT_EQ(b.log.Take(), (Events{"Change", "Track", "TrackEnd"}));
  QTest::keyClick(&s, Qt::Key_PageUp);  // already at the top
  EXPECT_EQ(b.log.Take(), Events{});
  QTest::keyClick(&s, Qt::Key_End);  // a vertical slider's end is its minimum
  EXPECT_EQ(s.Position(), -990);
  QTest::keyClick(&s, Qt::Key_Down);
  EXPECT_EQ(s.Position(), -990);
  QTest::keyClick(&s, Qt::Key_Home);
  EXPECT_EQ(s.Position(), 990);
  QTest::keyClick(&s, Qt::Key_PageDown);
  EXPECT_EQ(s.Position(), 940);
  QTest::keyClick(&s, Qt::Key_Down);
  QTest::keyClick(&s, Qt::Key_Left);
  EXPECT_EQ(s.Position(), 938);
  QTest::keyClick(&s, Qt::Key_Up);
  EXPECT_EQ(s.Position(), 939);
  b.log.Take();
  QTest::keyClick(&s, Qt::Key_Delete);  // not a slider key: only the window hears it
  EXPECT_EQ(b.log.Take(), Events{});
  EXPECT_EQ(lastKey, VK_DELETE);
  EXPECT_EQ(keyDowns, 10);
}

TEST(Slider, GrooveClickMovesTheThumbCentreThereAndThumbClickOnlyTracks) {
  BandSlider b;
  TMMSlider& s = *b.slider;
  s.SetPosition(0);
  b.log.Take();
  const TMMSliderLayout l = s.Layout();
  const int x = s.ThumbRect().center().x();
  const QPoint nearTop(x, l.Inner().top() + 15);
  QTest::mousePress(&s, Qt::LeftButton, {}, nearTop);
  EXPECT_EQ(b.log.Take(), (Events{"Change", "Track"}));
  EXPECT_TRUE(s.hasFocus());
  EXPECT_EQ(s.Position(), l.ValueFromPoint(nearTop));
  EXPECT_EQ(s.ThumbRect().top() + s.ThumbHeight() / 2, nearTop.y());
  QTest::mouseRelease(&s, Qt::LeftButton, {}, nearTop);
  EXPECT_EQ(b.log.Take(), Events{"TrackEnd"});

  const QPoint onThumb = s.ThumbRect().center();
  QTest::mousePress(&s, Qt::LeftButton, {}, onThumb);
  EXPECT_TRUE(s.Dragging());
  EXPECT_EQ(b.log.Take(), Events{"Track"});
  // Drag up by a third of the travel.
  QTest::mouseMove(&s, onThumb - QPoint(0, l.Travel() / 3));
  const int expected = std::min(990, l.ValueFromPoint(nearTop) + MulDiv(l.Travel() / 3, 1980, l.Travel()));
  EXPECT_EQ(s.RawValue(), expected);
  EXPECT_EQ(b.log.Take(), (Events{"Change", "Track"}));
  QTest::mouseRelease(&s, Qt::LeftButton, {}, onThumb - QPoint(0, l.Travel() / 3));
  EXPECT_FALSE(s.Dragging());
  EXPECT_EQ(b.log.Take(), Events{"TrackEnd"});
}

TEST(Slider, FocusEventsAndTheBlinkPhase) {
  BandSlider b;
  TMMSlider& s = *b.slider;
  int got = 0, lost = 0;
  s.OnGetFocus = [&](TObject*) { ++got; };
  s.OnLostFocus = [&](TObject*) { ++lost; };
  s.SetFocusAction(TMMFocusAction::faFocusThumb);
  auto* other = new TMMSlider(&b.window);
  other->setGeometry(35, 10, 21, 99);
  other->show();
  other->setFocus();
  got = lost = 0;
  s.setFocus();
  EXPECT_EQ(got, 1);
  EXPECT_TRUE(s.BlinkPhase());  // shows focus at once
  QTest::keyClick(&s, Qt::Key_Tab);  // tab order follows creation
  EXPECT_TRUE(other->hasFocus());
  EXPECT_EQ(lost, 1);
  EXPECT_FALSE(s.BlinkPhase());
}

TEST(Slider, ScreenReadersGetTheValueAsTextAndCanSetIt) {
  BandSlider b;
  TMMSlider& s = *b.slider;
  s.setAccessibleName(QStringLiteral("0-60 Hz"));
  s.SetPosition(-35);
  QAccessibleInterface* iface = QAccessible::queryAccessibleInterface(&s);
  ASSERT_NE(iface, nullptr);
  EXPECT_EQ(iface->role(), QAccessible::Slider);
  EXPECT_EQ(iface->text(QAccessible::Name), QStringLiteral("0-60 Hz"));
  EXPECT_EQ(iface->text(QAccessible::Value), QStringLiteral("-35"));
  s.OnValueText = [](TObject*, int p) { return std::to_string(p / 10) + "." + std::to_string(std::abs(p % 10)) + " dB"; };
  EXPECT_EQ(iface->text(QAccessible::Value), QStringLiteral("-3.5 dB"));
  QAccessibleValueInterface* value = iface->valueInterface();
  ASSERT_NE(value, nullptr);
  EXPECT_EQ(value->minimumValue().toInt(), -990);
  EXPECT_EQ(value->maximumValue().toInt(), 990);
  b.log.Take();
  // A value set from outside is a whole gesture, as a key press and its release; the
  // description carries the value in words (the bridge has no value text).
  value->setCurrentValue(120);
  EXPECT_EQ(s.Position(), 120);
  EXPECT_EQ(b.log.Take(), (Events{"Change", "Track", "TrackEnd"}));
  EXPECT_EQ(iface->text(QAccessible::Description), QStringLiteral("12.0 dB"));
  iface->actionInterface()->doAction(QAccessibleActionInterface::decreaseAction());
  EXPECT_EQ(s.Position(), 119);
  EXPECT_EQ(b.log.Take(), (Events{"Change", "Track", "TrackEnd"}));
  value->setCurrentValue(5000);  // clamped to the top
  value->setCurrentValue(990);   // no change: no gesture
  EXPECT_EQ(b.log.Take(), (Events{"Change", "Track", "TrackEnd"}));
}

TEST(Slider, EndPicturesShortenTheTravelAndTheBuiltInThumbDotsWhenDisabled) {
  QWidget window;
  auto* s = new TMMSlider(&window);
  s->setGeometry(0, 0, 200, 40);
  s->SetTabStop(false);
  QImage pic(12, 10, QImage::Format_RGB32);
  pic.fill(QColor(255, 0, 0));
  s->SetPicLeft(pic);
  s->SetPicRight(pic);
  s->SetHandCursor(true);
  window.show();
  const TMMSliderLayout l = s->Layout();
  EXPECT_EQ(l.Inner(), QRect(6 + 12, 6, 200 - 12 - 24, 28));
  s->SetPosition(0);
  EXPECT_EQ(s->ThumbRect().left(), 18);
  s->SetPosition(10);
  EXPECT_EQ(s->ThumbRect().right(), 200 - 6 - 12 - 1);
  QImage image = s->grab().toImage();
  EXPECT_EQ(QColor(image.pixel(6, 20)), QColor(255, 0, 0));    // left picture, centred across
  EXPECT_EQ(QColor(image.pixel(193, 20)), QColor(255, 0, 0));  // right picture
  const QRect face = s->ThumbRect().adjusted(2, 2, -2, -2);
  EXPECT_EQ(QColor(image.pixel(face.center())), QColor(192, 192, 192));
  QTest::mouseMove(s, s->ThumbRect().center());
  EXPECT_EQ(s->cursor().shape(), Qt::PointingHandCursor);
  QTest::mouseMove(s, QPoint(30, 5));
  EXPECT_EQ(s->cursor().shape(), Qt::ArrowCursor);
  s->setEnabled(false);
  image = s->grab().toImage();
  const QPoint c = face.center();
  // Dots in the disabled colour where column and row parities agree.
  EXPECT_EQ(QColor(image.pixel(c.x() - (c.x() + c.y()) % 2, c.y())), QColor(255, 255, 255));
  EXPECT_EQ(QColor(image.pixel(c.x() + 1 - (c.x() + c.y()) % 2, c.y())), QColor(192, 192, 192));
}

TEST(BitmapCache, SlidersOfOneSizeShareOneBitmapUntilTheLastLetsGo) {
  ASSERT_EQ(TBitmapCache::Count(), 0);
  {
    TMMSlider a, b, c;
    a.resize(21, 99);
    b.resize(21, 99);
    c.resize(27, 111);
    for (TMMSlider* s : {&a, &b, &c}) s->show();
    ASSERT_NE(a.OffscreenBitmap(), nullptr);
    EXPECT_EQ(a.OffscreenBitmap(), b.OffscreenBitmap());
    EXPECT_NE(a.OffscreenBitmap(), c.OffscreenBitmap());
    EXPECT_EQ(TBitmapCache::RefCount(a.OffscreenBitmap()), 2);
    EXPECT_EQ(TBitmapCache::Count(), 2);
    b.resize(27, 111);
    EXPECT_EQ(TBitmapCache::RefCount(a.OffscreenBitmap()), 1);
    EXPECT_EQ(TBitmapCache::RefCount(c.OffscreenBitmap()), 2);
    EXPECT_EQ(a.OffscreenBitmap()->size(), QSize(21, 99));
    QImage* negative = TBitmapCache::Acquire(-5, 3);
    EXPECT_EQ(negative->width(), 0);
    TBitmapCache::Release(negative);
  }
  EXPECT_EQ(TBitmapCache::Count(), 0);
}

TEST(Scale, PropertyClampsAndDrawingNeedsACanvas) {
  TMMScale scale;
  int changes = 0;
  scale.OnChange = [&](TObject*) { ++changes; };
  scale.SetTickCount(1);
  EXPECT_EQ(scale.TickCount(), 2);
  scale.SetEnlargeEvery(0);
  EXPECT_EQ(scale.EnlargeEvery(), 1);
  scale.SetSize(0);
  EXPECT_EQ(scale.Size(), 1);
  EXPECT_EQ(changes, 3);
  scale.SetSize(3);
  EXPECT_EQ(scale.Thickness(), 3);
  scale.SetConnect(true);
  EXPECT_EQ(scale.Thickness(), 4);
  scale.SetStyle(TMMScaleStyle::stLowered);
  EXPECT_EQ(scale.Thickness(), 5);
  try {
    scale.Draw(nullptr, QRect(0, 0, 3, 50), TMMScaleSide::ssAboveOrLeft);
    ADD_FAILURE() << "no exception";
  } catch (const EMMScaleError& e) {
    EXPECT_STREQ(e.what(), "Canvas needed for this operation");
  }
  scale.SetTickCount(9);
  EXPECT_EQ(scale.TickOffsets(67, true), (std::vector<int>{0, 8, 17, 25, 34, 42, 50, 59, 67}));
  EXPECT_EQ(scale.TickOffsets(67, false), (std::vector<int>{0, 8, 16, 25, 33, 41, 50, 58, 67}));
}

}  // namespace
}  // namespace strataeq
