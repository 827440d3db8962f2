#include "controls/MMSlider.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QTimer>
#include <cmath>
#include <cstring>

namespace strataeq {

namespace SliderMath {

int RoundHalfEven(double v) { return static_cast<int>(std::nearbyint(v)); }

int MulDiv(int a, int b, int c) {
  if (c == 0) return -1;
  return static_cast<int>(std::llround(double(std::int64_t(a) * b) / c));
}

int ClampSensitivity(int sensitivity) { return std::clamp(sensitivity, -96, -20); }

int LogPositionToRaw(int position, int minValue, int maxValue, int sensitivity) {
  if (position == 0) return 0;
  const double range = double(maxValue) - minValue;
  const double s = ClampSensitivity(sensitivity);
  const double ratio = position / range;
  if (!(ratio > 0)) return minValue;  // no logarithm: the bottom of the range
  const double raw = range * (20.0 * std::log10(ratio) - s) / -s;
  return int(std::clamp<double>(std::nearbyint(raw), minValue, maxValue));
}

int RawToLogPosition(int raw, int minValue, int maxValue, int sensitivity) {
  const int v = std::clamp(raw, minValue, maxValue);
  if (v == 0) return 0;
  const double range = double(maxValue) - minValue;
  const double s = ClampSensitivity(sensitivity);
  const double p = std::pow(10.0, (v * -s / range + s) / 20.0) * range;
  return int(std::clamp<double>(std::nearbyint(p), minValue, maxValue));
}

}  // namespace SliderMath

using SliderMath::RoundHalfEven;

// ---- layout

QRect TMMSliderLayout::Inner() const {
  QRect r = client.adjusted(bevelWidth, bevelWidth, -bevelWidth, -bevelWidth);
  if (Vertical()) r.adjust(0, std::max(0, picLeft.height()), 0, -std::max(0, picRight.height()));
  else r.adjust(std::max(0, picLeft.width()), 0, -std::max(0, picRight.width()), 0);
  return r;
}

int TMMSliderLayout::Travel() const {
  const QRect in = Inner();
  return Vertical() ? in.height() - thumbHeight : in.width() - thumbWidth;
}

namespace {

// Where a thing `size` thick lies across an inner run [start, start + extent) for the
// scales present: at the start when the scale is only below-or-right, at the end when
// only above-or-left, else centred.
int AcrossThumb(const TMMSliderLayout& l, int start, int extent, int size) {
  if (l.scaleVisible && l.scalePos == TMMScalePos::spBelowOrRight) return start;
  if (l.scaleVisible && l.scalePos == TMMScalePos::spAboveOrLeft) return start + extent - size;
  return start + extent / 2 - size / 2;
}

int AcrossGroove(const TMMSliderLayout& l, int start, int extent, int thumbSize, int groove) {
  if (l.scaleVisible && l.scalePos == TMMScalePos::spBelowOrRight) return start + thumbSize / 2 - groove / 2;
  if (l.scaleVisible && l.scalePos == TMMScalePos::spAboveOrLeft)
    return start + extent - thumbSize / 2 - 1 - groove / 2;
  return start + extent / 2 - groove / 2;
}

}  // namespace

QRect TMMSliderLayout::ThumbRect(int raw) const {
  const QRect in = Inner();
  const int range = maxValue - minValue;
  const int travel = Travel();
  const int offset = range > 0 ? RoundHalfEven(double(travel) / range * (double(Clamp(raw)) - minValue)) : 0;
  if (Vertical()) {
    const int top = in.top() + std::max(0, std::min(travel, travel - offset));
    return QRect(AcrossThumb(*this, in.left(), in.width(), thumbWidth), top, thumbWidth, thumbHeight);
  }
  const int left = in.left() + std::max(0, std::min(travel, offset));
  return QRect(left, AcrossThumb(*this, in.top(), in.height(), thumbHeight), thumbWidth, thumbHeight);
}

QRect TMMSliderLayout::GrooveRect() const {
  const QRect in = Inner();
  if (Vertical())
    return QRect(AcrossGroove(*this, in.left(), in.width(), thumbWidth, grooveThickness), in.top(),
                 grooveThickness, in.height());
  return QRect(in.left(), AcrossGroove(*this, in.top(), in.height(), thumbHeight, grooveThickness), in.width(),
               grooveThickness);
}

QRect TMMSliderLayout::ScaleRect(TMMScaleSide side) const {
  const QRect in = Inner();
  const QRect g = GrooveRect();
  const int run = std::max(0, Travel()) + 1;
  const bool before = side == TMMScaleSide::ssAboveOrLeft;
  if (Vertical()) {
    const int x = before ? g.left() - scaleDistance - scaleThickness : g.right() + 1 + scaleDistance;
    return QRect(x, in.top() + thumbHeight / 2, scaleThickness, run);
  }
  const int y = before ? g.top() - scaleDistance - 1 - scaleThickness : g.bottom() + 2 + scaleDistance;
  return QRect(in.left() + thumbWidth / 2, y, run, scaleThickness);
}

int TMMSliderLayout::ValueFromPoint(QPoint p) const {
  const QRect in = Inner();
  const int travel = Travel();
  if (travel <= 0) return minValue;
  const double along = Vertical() ? double(in.top() + in.height() + thumbHeight / 2 - thumbHeight - p.y())
                                  : double(p.x() - in.left() - thumbWidth / 2);
  return Clamp(RoundHalfEven(along / travel * (maxValue - minValue) + minValue));
}

int TMMSliderLayout::DragValue(int startRaw, int moved) const {
  const int travel = Travel();
  if (travel <= 0) return Clamp(startRaw);
  return Clamp(startRaw + SliderMath::MulDiv(moved, maxValue - minValue, travel));
}

// ---- accessibility: the value as Qt's own range controls expose it

namespace {

class SliderAccessible : public QAccessibleWidget, public QAccessibleValueInterface {
 public:
  explicit SliderAccessible(QWidget* w) : QAccessibleWidget(w, QAccessible::Slider) {}
  TMMCustomSlider* slider() const { return static_cast<TMMCustomSlider*>(widget()); }

  void* interface_cast(QAccessible::InterfaceType t) override {
    if (t == QAccessible::ValueInterface) return static_cast<QAccessibleValueInterface*>(this);
    return QAccessibleWidget::interface_cast(t);
  }
  QString text(QAccessible::Text t) const override {
    if (t == QAccessible::Value) return QString::fromStdString(slider()->ValueText());
    if (t == QAccessible::Name && widget()->accessibleName().isEmpty())
      return QString::fromStdString(slider()->Hint());
    // The value in words first: the bridge carries no value text, only the description.
    if (t == QAccessible::Description) {
      std::string text = slider()->ValueText();
      if (!slider()->Hint().empty()) text += ", " + slider()->Hint();
      return QString::fromStdString(text);
    }
    return QAccessibleWidget::text(t);
  }
  QStringList actionNames() const override {
    QStringList names = QAccessibleWidget::actionNames();
    if (widget()->isEnabled()) names << increaseAction() << decreaseAction();
    return names;
  }
  void doAction(const QString& name) override {
    if (!widget()->isEnabled()) return;
    if (name == increaseAction()) slider()->GesturePosition(slider()->Position() + slider()->LineSize());
    else if (name == decreaseAction()) slider()->GesturePosition(slider()->Position() - slider()->LineSize());
    else QAccessibleWidget::doAction(name);
  }
  QVariant currentValue() const override { return slider()->Position(); }
  void setCurrentValue(const QVariant& value) override {
    if (widget()->isEnabled()) slider()->GesturePosition(static_cast<int>(std::lround(value.toDouble())));
  }
  QVariant maximumValue() const override { return slider()->MaxValue(); }
  QVariant minimumValue() const override { return slider()->MinValue(); }
  QVariant minimumStepSize() const override { return slider()->LineSize(); }
};

// The dotted focus frame, inverted over what is below, as the system draws it.
void InvertDotted(QImage& image, const QRect& r) {
  const QRect clip = r & image.rect();
  if (clip.isEmpty()) return;
  auto flip = [&](int x, int y) {
    if (!clip.contains(x, y) || ((x + y) & 1)) return;
    auto* row = reinterpret_cast<QRgb*>(image.scanLine(y));
    row[x] ^= 0x00FFFFFFu;
  };
  for (int x = r.left(); x <= r.right(); ++x) {
    flip(x, r.top());
    if (r.bottom() != r.top()) flip(x, r.bottom());
  }
  for (int y = r.top() + 1; y < r.bottom(); ++y) {
    flip(r.left(), y);
    if (r.right() != r.left()) flip(r.right(), y);
  }
}

}  // namespace

// ---- slider

QTimer* TMMCustomSlider::blinkTimer_ = nullptr;
TMMCustomSlider* TMMCustomSlider::blinkOwner_ = nullptr;

TMMCustomSlider::TMMCustomSlider(QWidget* parent) : TMMCustomControl(parent) {
  SetColor(clWindow);
  Bevel().SetBorderWidth(5);
  scale_.SetVisible(false);
  scale_.SetOrigin(TMMScaleOrigin::soOuter);
  scale_.SetConnect(true);
  scale_.OnChange = [this](TObject*) { PropertyChanged(); };
  groove_.OnChange = [this](TObject*) { PropertyChanged(); };
  setFocusPolicy(Qt::StrongFocus);
  setMouseTracking(true);
  resize(200, 40);
}

TMMCustomSlider::~TMMCustomSlider() {
  StopBlink();
  TBitmapCache::Release(bitmap_);
}

TMMSliderLayout TMMCustomSlider::Layout() const {
  TMMSliderLayout l;
  l.client = rect();
  l.bevelWidth = TotalBevelWidth();
  l.picLeft = picLeft_.size();
  l.picRight = picRight_.size();
  l.orientation = orientation_;
  l.thumbWidth = thumbWidth_;
  l.thumbHeight = thumbHeight_;
  l.grooveThickness = grooveSize_ + 2 * groove_.TotalWidth();
  l.scaleVisible = scale_.Visible();
  l.scalePos = scalePos_;
  l.scaleDistance = scaleDistance_;
  l.scaleThickness = scale_.Thickness();
  l.minValue = min_;
  l.maxValue = max_;
  return l;
}

void TMMCustomSlider::PropertyChanged() {
  staticValid_ = false;
  update();
}

void TMMCustomSlider::SetRange(int minValue, int maxValue) {
  min_ = minValue;
  max_ = std::max(maxValue, minValue + 1);
  SetPosition(std::clamp(Position(), min_, max_));
  PropertyChanged();
}

int TMMCustomSlider::Position() const {
  return logarithmic_ ? SliderMath::RawToLogPosition(raw_, min_, max_, sensitivity_) : raw_;
}

void TMMCustomSlider::SetPosition(int position) {
  SetRawValue(logarithmic_ ? SliderMath::LogPositionToRaw(position, min_, max_, sensitivity_) : position);
}

void TMMCustomSlider::SetRawValue(int raw) {
  // Clamped before the comparison, so that asking for a value beyond the end the thumb
  // already sits at reports no change.
  raw = std::clamp(raw, min_, max_);
  if (raw == raw_) return;
  const QRect before = ThumbRect();
  raw_ = raw;
  const QRect after = ThumbRect();
  if (after != before) update(before.united(after));
  if (QAccessible::isActive()) {
    QAccessibleValueChangeEvent event(this, Position());
    QAccessible::updateAccessibility(&event);
    QAccessibleEvent words(this, QAccessible::DescriptionChanged);
    QAccessible::updateAccessibility(&words);
  }
  if (OnChange) OnChange(this);
}

void TMMCustomSlider::GesturePosition(int position) {
  const int before = raw_;
  SetPosition(std::clamp(position, min_, max_));
  if (raw_ == before) return;
  if (OnTrack) OnTrack(this);
  if (OnTrackEnd) OnTrackEnd(this);
}

QAccessibleInterface* TMMCustomSlider::NewAccessible(QWidget* self) { return new SliderAccessible(self); }

std::string TMMCustomSlider::ValueText() const {
  if (OnValueText) return OnValueText(const_cast<TMMCustomSlider*>(this), Position());
  return std::to_string(Position());
}

void TMMCustomSlider::SetOrientation(TMMOrientation v) { Store(orientation_, v); }

void TMMCustomSlider::SetLogarithmic(bool v) {
  if (v == logarithmic_) return;
  const int p = Position();
  logarithmic_ = v;
  SetPosition(p);
}

void TMMCustomSlider::SetSensitivity(int v) {
  v = SliderMath::ClampSensitivity(v);
  if (v == sensitivity_) return;
  const int p = Position();
  sensitivity_ = v;
  SetPosition(p);
}

void TMMCustomSlider::SetThumbWidth(int v) { Store(thumbWidth_, std::clamp(v, 0, 255)); }
void TMMCustomSlider::SetThumbHeight(int v) { Store(thumbHeight_, std::clamp(v, 0, 255)); }

void TMMCustomSlider::SetPicLeft(const QImage& pic) {
  picLeft_ = pic.convertToFormat(QImage::Format_RGB32);
  PropertyChanged();
}

void TMMCustomSlider::SetPicRight(const QImage& pic) {
  picRight_ = pic.convertToFormat(QImage::Format_RGB32);
  PropertyChanged();
}

void TMMCustomSlider::SetFocusAction(TMMFocusAction v) {
  if (v == focusAction_) return;
  focusAction_ = v;
  if (hasFocus() && isEnabled()) StartBlink();
  else StopBlink();
  PropertyChanged();
}

void TMMCustomSlider::StartBlink() {
  const bool blinks = focusAction_ == TMMFocusAction::faFocusThumb || focusAction_ == TMMFocusAction::faAll;
  if (!blinks || !isEnabled()) {
    StopBlink();
    return;
  }
  if (blinkOwner_ == this) return;
  if (blinkOwner_) blinkOwner_->StopBlink();
  blinkTimer_ = new QTimer(this);
  blinkTimer_->setInterval(500);
  connect(blinkTimer_, &QTimer::timeout, this, [this] { Blink(); });
  blinkOwner_ = this;
  blinkTimer_->start();
  // The focus shows at once, not half a second later.
  blinkPhase_ = true;
  update(ThumbRect());
}

void TMMCustomSlider::StopBlink() {
  if (blinkOwner_ == this) {
    delete blinkTimer_;
    blinkTimer_ = nullptr;
    blinkOwner_ = nullptr;
  }
  if (blinkPhase_) {
    blinkPhase_ = false;
    update(ThumbRect());
  }
}

void TMMCustomSlider::Blink() {
  blinkPhase_ = dragging_ ? true : !blinkPhase_;
  update(ThumbRect());
}

void TMMCustomSlider::AcquireBitmap() {
  TBitmapCache::Release(bitmap_);
  bitmap_ = TBitmapCache::Acquire(width(), height());
}

void TMMCustomSlider::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  orientation_ = width() >= height() ? TMMOrientation::orHorizontal : TMMOrientation::orVertical;
  AcquireBitmap();
  PropertyChanged();
}

void TMMCustomSlider::changeEvent(QEvent* event) {
  QWidget::changeEvent(event);
  if (event->type() == QEvent::EnabledChange) {
    if (!isEnabled()) StopBlink();
    else if (hasFocus()) StartBlink();
    PropertyChanged();
  }
}

// ---- painting

void TMMCustomSlider::BuildStaticArt() {
  if (staticArt_.size() != size()) staticArt_ = QImage(size(), QImage::Format_RGB32);
  if (staticArt_.isNull()) return;
  const TMMSliderLayout l = Layout();
  const bool focused = hasFocus();
  QPainter p(&staticArt_);
  const QRect inside = Bevel().PaintBevel(p, rect(), true);
  FillRect(p, inside, Color());

  const QRect g = l.GrooveRect();
  const QRect in = l.Inner();
  if (l.Vertical()) {
    const int centre = g.left() + g.width() / 2;
    if (!picLeft_.isNull()) p.drawImage(centre - picLeft_.width() / 2, inside.top(), picLeft_);
    if (!picRight_.isNull()) p.drawImage(centre - picRight_.width() / 2, in.bottom() + 1, picRight_);
  } else {
    const int centre = g.top() + g.height() / 2;
    if (!picLeft_.isNull()) p.drawImage(inside.left(), centre - picLeft_.height() / 2, picLeft_);
    if (!picRight_.isNull()) p.drawImage(in.right() + 1, centre - picRight_.height() / 2, picRight_);
  }

  if (scale_.Visible()) {
    if (scalePos_ != TMMScalePos::spBelowOrRight)
      scale_.Draw(&p, l.ScaleRect(TMMScaleSide::ssAboveOrLeft), TMMScaleSide::ssAboveOrLeft);
    if (scalePos_ != TMMScalePos::spAboveOrLeft)
      scale_.Draw(&p, l.ScaleRect(TMMScaleSide::ssBelowOrRight), TMMScaleSide::ssBelowOrRight);
  }

  if (grooveStyle_ == TMMGrooveStyle::gsOwnerDraw) {
    const int bw = groove_.TotalWidth();
    if (OnDrawGroove) OnDrawGroove(this, p, l.Vertical() ? g.adjusted(0, bw, 0, -bw) : g.adjusted(bw, 0, -bw, 0));
  } else {
    const QRect gi = groove_.PaintBevel(p, g, true);
    const bool colour =
        focused && (focusAction_ == TMMFocusAction::faFocusColor || focusAction_ == TMMFocusAction::faAll);
    FillRect(p, gi, colour ? focusColor_ : grooveColor_);
  }
  p.end();
  if (focused && (focusAction_ == TMMFocusAction::faFocusRect || focusAction_ == TMMFocusAction::faAll)) {
    const TMMBevel& b = Bevel();
    const bool grow = (b.BorderWidth() > 0 && b.BevelInner() == TPanelBevel::bvNone) || b.BorderSpace() > 0;
    InvertDotted(staticArt_, grow ? in.adjusted(-1, -1, 1, 1) : in);
  }
  staticValid_ = true;
}

void TMMCustomSlider::PaintThumb(QPainter& p, const QRect& r) {
  if (thumbStyle_ == TMMThumbStyle::tsOwnerDraw) {
    if (OnDrawThumb) OnDrawThumb(this, p, r, dragging_, blinkPhase_);
    return;
  }
  if (r.isEmpty()) return;
  QRect face = r;
  if (thumbBorder_) {
    face = Frame3D(p, face, clWindowFrame, clWindowFrame, 1);
  } else {
    FillRect(p, QRect(r.left(), r.bottom(), r.width(), 1), clWindowFrame);
    FillRect(p, QRect(r.right(), r.top(), 1, r.height()), clWindowFrame);
    face.adjust(0, 0, -1, -1);
  }
  const QRect frame = face;
  face = Frame3D(p, face, clBtnHighlight, clBtnShadow, 1);
  FillRect(p, QRect(frame.right(), frame.top(), 1, 1), clBtnHighlight);
  FillRect(p, QRect(frame.left(), frame.bottom(), 1, 1), clBtnHighlight);
  FillRect(p, face, thumbColor_);
  const bool disabled = !isEnabled();
  if (disabled || blinkPhase_) {
    const QColor dot = ToQColor(disabled ? disabledColor_ : clBlack);
    p.setPen(dot);
    for (int y = face.top(); y <= face.bottom(); ++y)
      for (int x = face.left() + ((face.left() ^ y) & 1); x <= face.right(); x += 2) p.drawPoint(x, y);
  }
}

void TMMCustomSlider::paintEvent(QPaintEvent* event) {
  if (!bitmap_ || bitmap_->size() != size()) AcquireBitmap();
  if (bitmap_->isNull()) return;
  if (!staticValid_) BuildStaticArt();
  std::memcpy(bitmap_->bits(), staticArt_.constBits(), std::size_t(staticArt_.sizeInBytes()));
  {
    QPainter p(bitmap_);
    PaintThumb(p, ThumbRect());
  }
  QPainter screen(this);
  screen.drawImage(event->rect(), *bitmap_, event->rect());
}

// ---- keyboard and mouse

void TMMCustomSlider::keyPressEvent(QKeyEvent* event) {
  const int pos = Position();
  const bool vertical = orientation_ == TMMOrientation::orVertical;
  int target = pos;
  bool handled = true;
  switch (event->key()) {
    case Qt::Key_PageUp: target = std::min(pos + pageSize_, max_); break;
    case Qt::Key_PageDown: target = std::max(pos - pageSize_, min_); break;
    case Qt::Key_End: target = vertical ? min_ : max_; break;
    case Qt::Key_Home: target = vertical ? max_ : min_; break;
    case Qt::Key_Up:
    case Qt::Key_Right:
      if (pos < max_) target = pos + lineSize_;
      break;
    case Qt::Key_Left:
    case Qt::Key_Down:
      if (pos > min_) target = pos - lineSize_;
      break;
    default: handled = false; break;
  }
  if (handled) {
    const int before = raw_;
    SetPosition(target);
    if (raw_ != before) {
      tracking_ = true;
      if (OnTrack) OnTrack(this);
    }
  }
  TMMCustomControl::keyPressEvent(event);
  if (handled) event->accept();
}

void TMMCustomSlider::keyReleaseEvent(QKeyEvent* event) {
  if (!event->isAutoRepeat() && tracking_) {
    tracking_ = false;
    if (OnTrackEnd) OnTrackEnd(this);
  }
  TMMCustomControl::keyReleaseEvent(event);
}

void TMMCustomSlider::mousePressEvent(QMouseEvent* event) {
  setFocus(Qt::MouseFocusReason);
  if (event->button() == Qt::LeftButton) {
    const QPoint p = event->position().toPoint();
    const bool onThumb = ThumbRect().contains(p);
    dragStart_ = orientation_ == TMMOrientation::orVertical ? p.y() : p.x();
    dragStartRaw_ = raw_;
    if (onThumb) {
      dragging_ = true;
      setCursor(handCursor_ ? Qt::PointingHandCursor : thumbCursor_);
      update(ThumbRect());
    } else {
      SetRawValue(Layout().ValueFromPoint(p));
    }
    tracking_ = true;
    if (OnTrack) OnTrack(this);
  }
  DeliverMouse(event);
}

void TMMCustomSlider::mouseMoveEvent(QMouseEvent* event) {
  const QPoint p = event->position().toPoint();
  if (!dragging_) {
    if (ThumbRect().contains(p)) setCursor(handCursor_ ? Qt::PointingHandCursor : thumbCursor_);
    else unsetCursor();
  } else if (event->buttons() & Qt::LeftButton) {
    const int moved = orientation_ == TMMOrientation::orVertical ? dragStart_ - p.y() : p.x() - dragStart_;
    const int target = Layout().DragValue(dragStartRaw_, moved);
    if (target != raw_) {
      SetRawValue(target);
      tracking_ = true;
      if (OnTrack) OnTrack(this);
    }
  }
  DeliverMouse(event);
}

void TMMCustomSlider::mouseReleaseEvent(QMouseEvent* event) {
  if (event->button() == Qt::LeftButton) {
    dragging_ = false;
    update();
    if (tracking_) {
      tracking_ = false;
      if (OnTrackEnd) OnTrackEnd(this);
    }
  }
  DeliverMouse(event);
}

void TMMCustomSlider::enterEvent(QEnterEvent* event) {
  QWidget::enterEvent(event);
  if (OnMouseEnter) OnMouseEnter(this);
}

void TMMCustomSlider::leaveEvent(QEvent* event) {
  QWidget::leaveEvent(event);
  if (OnMouseLeave) OnMouseLeave(this);
}

void TMMCustomSlider::focusInEvent(QFocusEvent* event) {
  TMMCustomControl::focusInEvent(event);
  if (OnGetFocus) OnGetFocus(this);
  if (focusAction_ != TMMFocusAction::faNone) {
    StartBlink();
    PropertyChanged();
  }
}

void TMMCustomSlider::focusOutEvent(QFocusEvent* event) {
  TMMCustomControl::focusOutEvent(event);
  if (OnLostFocus) OnLostFocus(this);
  if (focusAction_ != TMMFocusAction::faNone) {
    StopBlink();
    PropertyChanged();
  }
}

}  // namespace strataeq
