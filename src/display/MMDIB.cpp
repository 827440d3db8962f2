#include "display/MMDIB.h"

#include <QPainter>
#include <algorithm>

namespace strataeq {

TMMDIBGraphicControl::TMMDIBGraphicControl(QWidget* parent) : QWidget(parent) {
  setAttribute(Qt::WA_OpaquePaintEvent);
}

void TMMDIBGraphicControl::SetColor(QColor value) {
  if (value == color_) return;
  color_ = value;
  Redraw();
}

void TMMDIBGraphicControl::SetBevelWidth(std::int32_t value) {
  value = std::max(value, 0);
  if (value == bevelWidth_) return;
  bevelWidth_ = value;
  ResizeArea();
  Redraw();
}

void TMMDIBGraphicControl::SetArea(const QRect& area) {
  area_ = area;
  surface_.SetSize(area.width(), area.height());
}

void TMMDIBGraphicControl::ResizeArea() {
  const int b = bevelWidth_;
  SetArea(QRect(b, b, std::max(width() - 2 * b, 4), std::max(height() - 2 * b, 4)));
}

void TMMDIBGraphicControl::resizeEvent(QResizeEvent*) {
  ResizeArea();
  Compose();
}

void TMMDIBGraphicControl::DrawBackground() {
  surface_.SetColor(color_.rgb());
  surface_.Clear();
}

void TMMDIBGraphicControl::Compose() {
  surface_.BeginDraw();
  try {
    DrawFrame();
  } catch (...) {
    surface_.EndDraw();
    throw;
  }
  surface_.EndDraw();
}

void TMMDIBGraphicControl::PaintNow() {
  if (!isVisible()) return;
  Compose();
  repaint(area_);
}

void TMMDIBGraphicControl::Redraw() {
  Compose();
  update();
}

void TMMDIBGraphicControl::paintEvent(QPaintEvent*) {
  QPainter p(this);
  const int b = bevelWidth_;
  if (b > 0) {
    // Lowered: shadow on the top and left, highlight on the bottom and right.
    const QColor shadow(128, 128, 128), light(255, 255, 255);
    for (int i = 0; i < b; ++i) {
      p.setPen(shadow);
      p.drawLine(i, i, width() - 1 - i, i);
      p.drawLine(i, i, i, height() - 1 - i);
      p.setPen(light);
      p.drawLine(i, height() - 1 - i, width() - 1 - i, height() - 1 - i);
      p.drawLine(width() - 1 - i, i, width() - 1 - i, height() - 1 - i);
    }
  }
  p.drawImage(area_.topLeft(), surface_.Image());
}

}  // namespace strataeq
