#include "display/MMDIB.h"

#include <QPaintEvent>
#include <QBackingStore>
#include <QPaintEngine>
#include <QPainter>
#include <algorithm>

namespace strataeq {

TMMDIBGraphicControl::TMMDIBGraphicControl(QWidget* parent) : TMMGraphicControl(parent) {
  setAttribute(Qt::WA_OpaquePaintEvent);
  SetColor(clBlack);
  // The screen's own format: the picture goes to the window as it is drawn.
  surface_.SetBitsPerPixel(32);
  screenTimer_.setSingleShot(true);
  connect(&screenTimer_, &QTimer::timeout, this, [this] {
    if (isVisible()) CopyToScreen();
  });
}

void TMMDIBGraphicControl::SetArea(const QRect& area) {
  area_ = area;
  screenHolds_ = false;
  surface_.SetSize(area.width(), area.height());
}

QColor TMMDIBGraphicControl::ParentColor() const {
  return parentWidget() ? parentWidget()->palette().color(QPalette::Window) : ToQColor(clBtnFace);
}

void TMMDIBGraphicControl::ResizeArea() {
  const int b = TotalBevelWidth();
  const QRect inner = rect().marginsRemoved(Strips()).adjusted(b, b, -b, -b);
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
  if (surface_.BackgroundImage().isNull()) {
    surface_.SetPixelValue(Pixel(Color()));
    surface_.Clear();
  } else {
    surface_.CopyBackground(0, 0, surface_, 0, 0, surface_.Width(), surface_.Height());
  }
}

void TMMDIBGraphicControl::SetBackGroundDIB(const QImage& picture) {
  backDIB_ = picture.isNull() || picture.width() == 0 || picture.height() == 0 ? QImage() : picture.copy();
  if (backDIB_.isNull()) {
    SetUseBackGroundDIB(false);
  } else if (useBackDIB_) {
    surface_.SetBackGroundBitmap(backDIB_);
    Redraw();
  }
}

void TMMDIBGraphicControl::SetUseBackGroundDIB(bool value) {
  value = value && !backDIB_.isNull();
  if (value == useBackDIB_) return;
  useBackDIB_ = value;
  // A picture brings its colours through the palette, as an 8-bit surface shows them.
  surface_.SetBitsPerPixel(value ? 8 : 32);
  surface_.SetPaletteRealize(value);
  surface_.SetBackGroundBitmap(value ? backDIB_ : QImage());
  Redraw();
}

void TMMDIBGraphicControl::Compose() {
  composePending_ = false;
  composed_ = QRect(0, 0, area_.width(), area_.height());
  surface_.BeginDraw();
  try {
    DrawFrame();
  } catch (...) {
    surface_.EndDraw();
    changed_ = QRect(0, 0, area_.width(), area_.height());
    throw;
  }
  surface_.EndDraw();
  changed_ |= composed_;
}

void TMMDIBGraphicControl::PaintNow() {
  if (!isVisible()) return;
  composePending_ = true;
  ShowSurface();
}

void TMMDIBGraphicControl::ShowSurface() {
  if (!isVisible()) return;
  if (screenPending_) return;  // the posted paint composes what is current by then
  const qint64 since = sinceScreen_.isValid() ? sinceScreen_.elapsed() : kScreenInterval;
  // Frames come at the refresh pace give or take the timers' jitter: one a little early
  // goes now rather than waking the thread again a millisecond later.
  if (since >= kScreenInterval - kScreenSlack) {
    screenTimer_.stop();
    CopyToScreen();
  } else if (!screenTimer_.isActive()) {
    screenTimer_.start(static_cast<int>(kScreenInterval - since));
  }
}

void TMMDIBGraphicControl::CopyToScreen() {
  // The posted paint composes: frames that come before it are drawn once, not twice.
  sinceScreen_.start();
  screenPending_ = true;
  // Posted, not synchronous: the displays served in one pass go to the screen in one
  // paint and one flush of the window.
  update(area_);
}

const QImage& TMMDIBGraphicControl::SurfaceImage() {
  if (composePending_) Compose();
  return surface_.Image();
}

void TMMDIBGraphicControl::Redraw() {
  Compose();
  update();
}

void TMMDIBGraphicControl::Paint(QPainter& painter) {
  const QMargins strips = Strips();
  if (!strips.isNull() && !PaintingAreaOnly()) {
    const QRect r = rect();
    const QColor parent = ParentColor();
    painter.fillRect(QRect(r.left(), r.top(), strips.left(), r.height()), parent);
    painter.fillRect(QRect(r.right() + 1 - strips.right(), r.top(), strips.right(), r.height()), parent);
    painter.fillRect(QRect(r.left(), r.bottom() + 1 - strips.bottom(), r.width(), strips.bottom()), parent);
  }
  if (!PaintingAreaOnly()) Bevel().PaintBevel(painter, rect().marginsRemoved(strips), true);
  if (composePending_) Compose();
  const QImage& image = ScreenImage();
  const bool onScreen = window()->backingStore() && painter.paintEngine() &&
                        painter.paintEngine()->paintDevice() == window()->backingStore()->paintDevice();
  if (onScreen && ScreenHoldsSurface()) {
    // A frame moves a part of the picture (the bars that changed): copying only that
    // part into the window spares most of the copy, the largest cost of showing a frame.
    if (!changed_.isEmpty()) painter.drawImage(area_.topLeft() + changed_.topLeft(), image, changed_);
  } else {
    painter.drawImage(area_.topLeft(), image);
  }
  if (onScreen) {
    changed_ = QRect();
    screenHolds_ = !PaintsOverSurface();
  }
}

bool TMMDIBGraphicControl::ScreenHoldsSurface() const {
  if (!screenHolds_ || paintRect_ != area_ || !paintOneRect_) return false;
  if (window()->testAttribute(Qt::WA_TranslucentBackground)) return false;
  for (const QObject* o : children())
    if (o->isWidgetType()) return false;
  if (const QWidget* parent = parentWidget()) {
    const QRect mine = geometry();
    for (const QObject* o : parent->children()) {
      if (o == this || !o->isWidgetType()) continue;
      const auto* w = static_cast<const QWidget*>(o);
      if (w->isVisible() && w->geometry().intersects(mine)) return false;
    }
  }
  return true;
}

void TMMDIBGraphicControl::paintEvent(QPaintEvent* event) {
  screenPending_ = false;
  paintRect_ = event->rect();
  paintOneRect_ = event->region().rectCount() == 1;
  TMMGraphicControl::paintEvent(event);
  paintRect_ = QRect();
}

const QImage& TMMDIBGraphicControl::ScreenImage() {
  const QImage& src = surface_.Image();
  if (src.format() == QImage::Format_RGB32) {
    if (!screen_.isNull()) screen_ = QImage();
    return src;
  }
  if (src.cacheKey() == screenKey_ && screen_.size() == src.size()) return screen_;
  const int w = src.width(), h = src.height();
  if (screen_.size() != src.size() || screen_.format() != QImage::Format_RGB32)
    screen_ = QImage(w, h, QImage::Format_RGB32);
  if (src.format() == QImage::Format_Indexed8) {
    QRgb lut[256];
    const QList<QRgb> table = src.colorTable();
    for (int i = 0; i < 256; ++i) lut[i] = (i < table.size() ? table[i] : 0) | 0xFF000000u;
    for (int y = 0; y < h; ++y) {
      const uchar* s = src.constScanLine(y);
      auto* d = reinterpret_cast<QRgb*>(screen_.scanLine(y));
      for (int x = 0; x < w; ++x) d[x] = lut[s[x]];
    }
  } else if (src.format() == QImage::Format_RGB888) {
    for (int y = 0; y < h; ++y) {
      const uchar* s = src.constScanLine(y);
      auto* d = reinterpret_cast<QRgb*>(screen_.scanLine(y));
      for (int x = 0; x < w; ++x, s += 3) d[x] = qRgb(s[0], s[1], s[2]);
    }
  } else {
    screen_ = src.convertToFormat(QImage::Format_RGB32);
  }
  screenKey_ = src.cacheKey();
  return screen_;
}

}  // namespace strataeq
