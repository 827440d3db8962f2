#include "controls/MMLabel.h"

#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <vector>

namespace strataeq {

QPoint DirectionOffset(TMMLabelDirection d) {
  switch (d) {
    case TMMLabelDirection::ldNone: return {0, 0};
    case TMMLabelDirection::ldUp: return {0, -1};
    case TMMLabelDirection::ldUpRight: return {1, -1};
    case TMMLabelDirection::ldRight: return {1, 0};
    case TMMLabelDirection::ldDownRight: return {1, 1};
    case TMMLabelDirection::ldDown: return {0, 1};
    case TMMLabelDirection::ldDownLeft: return {-1, 1};
    case TMMLabelDirection::ldLeft: return {-1, 0};
    case TMMLabelDirection::ldUpLeft: return {-1, -1};
  }
  return {0, 0};
}

TMMLabel::TMMLabel(QWidget* parent) : TMMGraphicControl(parent) { resize(142, 33); }

void TMMLabel::SetCaption(std::string caption) {
  if (caption == caption_) return;
  caption_ = std::move(caption);
  if (QAccessible::isActive()) {
    QAccessibleEvent event(this, QAccessible::NameChanged);
    QAccessible::updateAccessibility(&event);
  }
  update();
}

void TMMLabel::SetBitmap(const QImage& bitmap) {
  bitmap_ = bitmap;
  update();
}

void TMMLabel::SetEffectStyle(TMMLabelStyle style) {
  colourHighlight_ = clWhite;
  auto preset = [&](TMMLabelDirection dh, TMMLabelDirection ds, int depthH, int depthS) {
    directionHighlight_ = dh;
    directionShadow_ = ds;
    depthHighlight_ = depthH;
    depthShadow_ = depthS;
  };
  using D = TMMLabelDirection;
  switch (style) {
    case TMMLabelStyle::lsNone:
      preset(D::ldNone, D::ldNone, 0, 0);
      asButton_ = false;
      break;
    case TMMLabelStyle::lsCustom: asButton_ = false; break;
    case TMMLabelStyle::lsRaised: preset(D::ldUpLeft, D::ldDownRight, 1, 1); break;
    case TMMLabelStyle::lsSunken: preset(D::ldDownRight, D::ldUpLeft, 1, 1); break;
    case TMMLabelStyle::lsShadow:
      preset(D::ldNone, D::ldDownRight, 0, 2);
      asButton_ = false;
      break;
    case TMMLabelStyle::lsFlying:
      preset(D::ldDownRight, D::ldDownRight, 1, 5);
      colourHighlight_ = clGray;
      asButton_ = false;
      break;
  }
  effectStyle_ = style;
  setFocusPolicy(asButton_ ? Qt::StrongFocus : Qt::NoFocus);
  update();
}

void TMMLabel::SetAsButton(bool on) {
  if (on == asButton_) return;
  asButton_ = on;
  setFocusPolicy(on ? Qt::StrongFocus : Qt::NoFocus);
  if (on) SetEffectStyle(TMMLabelStyle::lsRaised);
  update();
}

bool TMMLabel::AccessiblePress() {
  if (!asButton_ || !isEnabled()) return false;
  if (OnClick) OnClick(this);
  return true;
}

void TMMLabel::Paint(QPainter& painter) {
  const QRect inner = Bevel().PaintBevel(painter, rect(), true);
  const QString text = QString::fromStdString(caption_);

  std::vector<QPoint> shadows, highlights;
  auto copies = [](std::vector<QPoint>& out, TMMLabelDirection d, int depth, TMMLabelOption option) {
    const QPoint unit = DirectionOffset(d);
    if (unit.isNull() || depth == 0) return;
    if (option == TMMLabelOption::loExtrude)
      for (int k = depth; k >= 1; --k) out.push_back(unit * k);
    else
      out.push_back(unit * depth);
  };
  copies(shadows, directionShadow_, depthShadow_, styleShadow_);
  copies(highlights, directionHighlight_, depthHighlight_, styleHighlight_);
  int minX = 0, minY = 0, maxX = 0, maxY = 0;
  for (const auto* list : {&shadows, &highlights})
    for (const QPoint& o : *list) {
      minX = std::min(minX, o.x()), minY = std::min(minY, o.y());
      maxX = std::max(maxX, o.x()), maxY = std::max(maxY, o.y());
    }
  // Every copy fits: the block moves by the largest negative offset and shrinks by the spread.
  const QRect block = inner.adjusted(-minX, -minY, -maxX, -maxY);

  painter.save();
  painter.setClipRect(inner);
  painter.setFont(font());
  const QFontMetrics metrics(font());
  const QPointF centre = QRectF(inner).center();
  const int textWidth = metrics.horizontalAdvance(text);
  int flags = Qt::TextWordWrap | Qt::AlignTop;
  if (alignment_ == TAlignment::taRightJustify) flags |= Qt::AlignRight;
  else if (alignment_ == TAlignment::taCenter) flags |= Qt::AlignHCenter;
  else flags |= Qt::AlignLeft;

  if (!transparent_) {
    if (angle_ == 0) {
      FillRect(painter, inner, Color());
    } else {
      painter.save();
      painter.translate(centre);
      painter.rotate(-angle_);
      painter.fillRect(QRectF(-textWidth / 2.0, -metrics.height() / 2.0, textWidth, metrics.height()), ToQColor(Color()));
      painter.restore();
    }
  }
  auto draw = [&](QPoint offset, const QPen& pen) {
    painter.setPen(pen);
    if (angle_ == 0) {
      painter.drawText(block.translated(offset), flags, text);
      return;
    }
    painter.save();
    painter.translate(centre + offset);
    painter.rotate(-angle_);
    painter.drawText(QPointF(-textWidth / 2.0, metrics.ascent() - metrics.height() / 2.0), text);
    painter.restore();
  };
  for (const QPoint& o : shadows) draw(o, QPen(ToQColor(colourShadow_)));
  for (const QPoint& o : highlights) draw(o, QPen(ToQColor(colourHighlight_)));
  if (!bitmap_.isNull()) draw(QPoint(), QPen(QBrush(bitmap_), 1));
  else draw(QPoint(), QPen(ToQColor(FontColor())));
  painter.restore();
}

void TMMLabel::mousePressEvent(QMouseEvent* event) {
  if (asButton_ && isEnabled() && event->button() == Qt::LeftButton) {
    pressed_ = true;
    SetEffectStyle(TMMLabelStyle::lsSunken);
  }
  TMMGraphicControl::mousePressEvent(event);
}

void TMMLabel::mouseMoveEvent(QMouseEvent* event) {
  if (asButton_ && pressed_ && (event->buttons() & Qt::LeftButton)) {
    const auto want = rect().contains(event->position().toPoint()) ? TMMLabelStyle::lsSunken : TMMLabelStyle::lsRaised;
    if (want != effectStyle_) SetEffectStyle(want);
  }
  TMMGraphicControl::mouseMoveEvent(event);
}

void TMMLabel::mouseReleaseEvent(QMouseEvent* event) {
  const bool wasPressed = pressed_ && event->button() == Qt::LeftButton;
  if (wasPressed) pressed_ = false;
  const bool inside = rect().contains(event->position().toPoint());
  if (asButton_ && wasPressed && inside) SetEffectStyle(TMMLabelStyle::lsRaised);
  TMMGraphicControl::mouseReleaseEvent(event);
  if (wasPressed && inside && OnClick) OnClick(this);
}

void TMMLabel::keyPressEvent(QKeyEvent* event) {
  if (asButton_ && (event->key() == Qt::Key_Space || event->key() == Qt::Key_Return) && AccessiblePress()) return;
  TMMGraphicControl::keyPressEvent(event);
}

}  // namespace strataeq
