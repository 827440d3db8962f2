#include "display/MMDIB.h"

#include <QPainter>
#include <algorithm>

namespace strataeq {

TMMDIBGraphicControl::TMMDIBGraphicControl(QWidget* parent) : TMMGraphicControl(parent) {
  setAttribute(Qt::WA_OpaquePaintEvent);
  SetColor(clBlack);
}

void TMMDIBGraphicControl::SetArea(const QRect& area) {
  area_ = area;
  surface_.SetSize(area.width(), area.height());
}

void TMMDIBGraphicControl::ResizeArea() {
  const QRect inner = BevelClientRect();
  SetArea(QRect(inner.left(), inner.top(), std::max(inner.width(), 4), std::max(inner.height(), 4)));
}

void TMMDIBGraphicControl::BevelLayout() {
  ResizeArea();
  Compose();
}

void TMMDIBGraphicControl::resizeEvent(QResizeEvent*) {
  ResizeArea();
  Compose();
}

void TMMDIBGraphicControl::DrawBackground() {
  surface_.SetPixelValue(Pixel(Color()));
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

void TMMDIBGraphicControl::Paint(QPainter& painter) {
  Bevel().PaintBevel(painter, rect(), true);
  painter.drawImage(area_.topLeft(), surface_.Image());
}

}  // namespace strataeq
