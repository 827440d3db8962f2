// Focusable slider with an integer range, groove, drawable thumb, bitmaps at both ends,
// tick scales and an optional logarithmic mapping of its value onto the travel.
#pragma once

#include <QImage>
#include <QRect>
#include <QSize>
#include <functional>
#include <string>

#include "controls/MMObj.h"
#include "controls/MMScale.h"

class QTimer;

namespace strataeq {

enum class TMMOrientation { orHorizontal, orVertical };
enum class TMMThumbStyle { tsRect, tsOwnerDraw };
enum class TMMGrooveStyle { gsRect, gsOwnerDraw };
enum class TMMFocusAction { faNone, faFocusThumb, faFocusRect, faFocusColor, faAll };
enum class TMMScalePos { spAboveOrLeft, spBelowOrRight, spBoth };

using TCursor = Qt::CursorShape;
inline constexpr TCursor crDefault = Qt::ArrowCursor;

// The value arithmetic of the slider, apart from any widget.
namespace SliderMath {

int RoundHalfEven(double v);
// a * b / c rounded to the nearest, -1 when c is 0.
int MulDiv(int a, int b, int c);
int ClampSensitivity(int sensitivity);  // -96 .. -20
// Position p of a logarithmic slider to the raw value on the travel, and back. Position
// 0 stays 0; positions of the other sign than the range have no logarithm and go to the
// bottom of the range.
int LogPositionToRaw(int position, int minValue, int maxValue, int sensitivity);
int RawToLogPosition(int raw, int minValue, int maxValue, int sensitivity);

}  // namespace SliderMath

// Where the parts of a slider lie for a client size and a set of properties.
struct TMMSliderLayout {
  QRect client;
  int bevelWidth = 0;
  QSize picLeft{0, 0}, picRight{0, 0};
  TMMOrientation orientation = TMMOrientation::orHorizontal;
  int thumbWidth = 11, thumbHeight = 23;
  int grooveThickness = 5;  // GrooveSize + twice the groove bevel
  bool scaleVisible = false;
  TMMScalePos scalePos = TMMScalePos::spBelowOrRight;
  int scaleDistance = 10;
  int scaleThickness = 7;
  int minValue = 0, maxValue = 10;

  bool Vertical() const { return orientation == TMMOrientation::orVertical; }
  // Inside the bevel, less the end bitmaps.
  QRect Inner() const;
  // Pixels the thumb travels: H - th or W - tw.
  int Travel() const;
  QRect ThumbRect(int raw) const;
  QRect GrooveRect() const;
  QRect ScaleRect(TMMScaleSide side) const;
  // The raw value that puts the thumb centre on the point, clamped.
  int ValueFromPoint(QPoint p) const;
  // The raw value after dragging `moved` pixels (up or right) from startRaw, clamped.
  int DragValue(int startRaw, int moved) const;
  int Clamp(int raw) const { return std::clamp(raw, minValue, std::max(minValue, maxValue)); }
};

using TMMThumbDrawEvent =
    std::function<void(TObject* Sender, QPainter& aCanvas, QRect aRect, bool Dragged, bool Focused)>;
using TMMGrooveDrawEvent = std::function<void(TObject* Sender, QPainter& aCanvas, QRect aRect)>;

class TMMCustomSlider : public TMMCustomControl {
  Q_OBJECT
 public:
  explicit TMMCustomSlider(QWidget* parent = nullptr);
  ~TMMCustomSlider() override;

  int MinValue() const { return min_; }
  void SetMinValue(int v) { SetRange(v, max_); }
  int MaxValue() const { return max_; }
  void SetMaxValue(int v) { SetRange(min_, v); }
  void SetRange(int minValue, int maxValue);
  int Position() const;
  void SetPosition(int position);
  int RawValue() const { return raw_; }
  int LineSize() const { return lineSize_; }
  void SetLineSize(int v) { lineSize_ = v; }
  int PageSize() const { return pageSize_; }
  void SetPageSize(int v) { pageSize_ = v; }
  TMMOrientation Orientation() const { return orientation_; }
  void SetOrientation(TMMOrientation v);
  bool Logarithmic() const { return logarithmic_; }
  void SetLogarithmic(bool v);
  int Sensitivity() const { return sensitivity_; }
  void SetSensitivity(int v);
  int ThumbWidth() const { return thumbWidth_; }
  void SetThumbWidth(int v);
  int ThumbHeight() const { return thumbHeight_; }
  void SetThumbHeight(int v);
  TMMThumbStyle ThumbStyle() const { return thumbStyle_; }
  void SetThumbStyle(TMMThumbStyle v) { Store(thumbStyle_, v); }
  TColor ThumbColor() const { return thumbColor_; }
  void SetThumbColor(TColor v) { Store(thumbColor_, v); }
  bool ThumbBorder() const { return thumbBorder_; }
  void SetThumbBorder(bool v) { Store(thumbBorder_, v); }
  int GrooveSize() const { return grooveSize_; }
  void SetGrooveSize(int v) { Store(grooveSize_, std::clamp(v, 0, 255)); }
  TMMGrooveStyle GrooveStyle() const { return grooveStyle_; }
  void SetGrooveStyle(TMMGrooveStyle v) { Store(grooveStyle_, v); }
  TColor GrooveColor() const { return grooveColor_; }
  void SetGrooveColor(TColor v) { Store(grooveColor_, v); }
  TMMBevel& Groove() { return groove_; }
  void SetGroove(const TMMBevel& b) { groove_.Assign(b); }
  TMMFocusAction FocusAction() const { return focusAction_; }
  void SetFocusAction(TMMFocusAction v);
  TColor FocusColor() const { return focusColor_; }
  void SetFocusColor(TColor v) { Store(focusColor_, v); }
  TColor DisabledColor() const { return disabledColor_; }
  void SetDisabledColor(TColor v) { Store(disabledColor_, v); }
  bool HandCursor() const { return handCursor_; }
  void SetHandCursor(bool v) { handCursor_ = v; }
  TCursor ThumbCursor() const { return thumbCursor_; }
  void SetThumbCursor(TCursor v) { thumbCursor_ = v; }
  TMMScale& Scale() { return scale_; }
  TMMScalePos ScalePosition() const { return scalePos_; }
  void SetScalePosition(TMMScalePos v) { Store(scalePos_, v); }
  int ScaleDistance() const { return scaleDistance_; }
  void SetScaleDistance(int v) { Store(scaleDistance_, v); }
  const QImage& PicLeft() const { return picLeft_; }
  void SetPicLeft(const QImage& pic);
  const QImage& PicRight() const { return picRight_; }
  void SetPicRight(const QImage& pic);

  // What the thumb shows: dragging, and the blink phase.
  bool Dragging() const { return dragging_; }
  bool BlinkPhase() const { return blinkPhase_; }
  QRect ThumbRect() const { return Layout().ThumbRect(raw_); }
  TMMSliderLayout Layout() const;
  // The shared off-screen bitmap this slider paints through.
  const QImage* OffscreenBitmap() const { return bitmap_; }
  // The text screen readers get for the value; the position in decimal when unset. It
  // is also the start of the accessible description, which screen readers announce.
  std::function<std::string(TObject* Sender, int Position)> OnValueText;
  std::string ValueText() const;
  // A value set from outside the keyboard and mouse (a screen reader's set value,
  // Increase or Decrease): one whole user gesture, OnTrack then OnTrackEnd when the
  // value changed, as a key press and its release.
  void GesturePosition(int position);
  std::string AccessibleValue() const override { return ValueText(); }
  QAccessible::Role AccessibleRole() const override { return QAccessible::Slider; }
  QAccessibleInterface* NewAccessible(QWidget* self) override;

  TNotifyEvent OnChange, OnTrack, OnTrackEnd;
  TMMThumbDrawEvent OnDrawThumb;
  TMMGrooveDrawEvent OnDrawGroove;
  TNotifyEvent OnGetFocus, OnLostFocus, OnMouseEnter, OnMouseLeave;

 protected:
  void PropertyChanged() override;
  void BevelChanged() override { PropertyChanged(); }
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void keyReleaseEvent(QKeyEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void enterEvent(QEnterEvent* event) override;
  void leaveEvent(QEvent* event) override;
  void focusInEvent(QFocusEvent* event) override;
  void focusOutEvent(QFocusEvent* event) override;
  void changeEvent(QEvent* event) override;

 private:
  template <typename T>
  void Store(T& field, T value) {
    if (field == value) return;
    field = value;
    PropertyChanged();
  }
  void SetRawValue(int raw);
  void StartBlink();
  void StopBlink();
  void Blink();
  void BuildStaticArt();
  void PaintThumb(QPainter& painter, const QRect& rect);
  bool FocusShown() const { return hasFocus(); }
  void AcquireBitmap();

  int min_ = 0, max_ = 10, raw_ = 0;
  int lineSize_ = 1, pageSize_ = 5;
  TMMOrientation orientation_ = TMMOrientation::orHorizontal;
  bool logarithmic_ = false;
  int sensitivity_ = -24;
  int thumbWidth_ = 11, thumbHeight_ = 23;
  TMMThumbStyle thumbStyle_ = TMMThumbStyle::tsRect;
  TColor thumbColor_ = clBtnFace;
  bool thumbBorder_ = true;
  int grooveSize_ = 3;
  TMMGrooveStyle grooveStyle_ = TMMGrooveStyle::gsRect;
  TColor grooveColor_ = clBtnFace;
  TMMBevel groove_;
  TMMFocusAction focusAction_ = TMMFocusAction::faFocusRect;
  TColor focusColor_ = clActiveCaption;
  TColor disabledColor_ = clWhite;
  bool handCursor_ = false;
  TCursor thumbCursor_ = crDefault;
  TMMScale scale_;
  TMMScalePos scalePos_ = TMMScalePos::spBelowOrRight;
  int scaleDistance_ = 10;
  QImage picLeft_, picRight_;

  bool dragging_ = false;
  int dragStart_ = 0, dragStartRaw_ = 0;
  bool tracking_ = false;
  bool blinkPhase_ = false;
  QImage* bitmap_ = nullptr;
  QImage staticArt_;  // everything but the thumb; dropped when a property changes
  bool staticValid_ = false;

  static QTimer* blinkTimer_;
  static TMMCustomSlider* blinkOwner_;
};

class TMMSlider : public TMMCustomSlider {
  Q_OBJECT
 public:
  using TMMCustomSlider::TMMCustomSlider;
};

}  // namespace strataeq
