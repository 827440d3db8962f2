#include "display/MMDIBCv.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace strataeq {

namespace {

// Serialises every surface between BeginDraw and EndDraw, whatever thread draws.
std::recursive_mutex& DrawLock() {
  static std::recursive_mutex lock;
  return lock;
}

constexpr QRgb kStatic[20] = {
    qRgb(0, 0, 0),       qRgb(128, 0, 0),     qRgb(0, 128, 0),     qRgb(128, 128, 0),
    qRgb(0, 0, 128),     qRgb(128, 0, 128),   qRgb(0, 128, 128),   qRgb(192, 192, 192),
    qRgb(192, 220, 192), qRgb(166, 202, 240), qRgb(255, 251, 240), qRgb(160, 160, 164),
    qRgb(128, 128, 128), qRgb(255, 0, 0),     qRgb(0, 255, 0),     qRgb(255, 255, 0),
    qRgb(0, 0, 255),     qRgb(255, 0, 255),   qRgb(0, 255, 255),   qRgb(255, 255, 255)};

}  // namespace

TMMDIBCanvas::TMMDIBCanvas() {
  palette_.fill(qRgb(0, 0, 0));
  for (int i = 0; i < 10; ++i) palette_[i] = kStatic[i];
  for (int i = 0; i < 10; ++i) palette_[246 + i] = kStatic[10 + i];
}

void TMMDIBCanvas::SetBitsPerPixel(std::int32_t value) {
  if (value != 8 && value != 24) throw EMMDIBError("Bitlength not supported yet");
  if (value == bits_) return;
  bits_ = value;
  rebuild_ = true;
}

void TMMDIBCanvas::SetSize(std::int32_t width, std::int32_t height) {
  if (width == width_ && height == height_) return;
  width_ = width;
  height_ = height;
  rebuild_ = true;
}

std::uint32_t TMMDIBCanvas::MapColor(QRgb color) const {
  if (bits_ == 24) return color & 0xFFFFFFu;
  if (auto it = mapped_.find(color); it != mapped_.end()) return it->second;
  int best = 0;
  long bestDistance = -1;
  for (int i = 0; i < 256; ++i) {
    const long dr = qRed(palette_[i]) - qRed(color), dg = qGreen(palette_[i]) - qGreen(color),
               db = qBlue(palette_[i]) - qBlue(color);
    const long d = dr * dr + dg * dg + db * db;
    if (bestDistance < 0 || d < bestDistance) bestDistance = d, best = i;
  }
  mapped_.emplace(color, static_cast<std::uint32_t>(best));
  return static_cast<std::uint32_t>(best);
}

void TMMDIBCanvas::Rebuild() {
  if (drawing_) throw EMMDIBError("Attempt to create new DIB while initialized for drawing");
  const int w = std::max(width_, 1), h = std::max(height_, 1);
  if (bits_ == 8) {
    image_ = QImage(w, h, QImage::Format_Indexed8);
    image_.setColorTable(QList<QRgb>(palette_.begin(), palette_.end()));
  } else {
    image_ = QImage(w, h, QImage::Format_RGB888);
  }
  image_.fill(0);
  clipL_ = 0, clipT_ = 0, clipR_ = w, clipB_ = h;
  rebuild_ = false;
}

void TMMDIBCanvas::BeginDraw() {
  DrawLock().lock();
  try {
    if (rebuild_) Rebuild();
  } catch (...) {
    DrawLock().unlock();
    throw;
  }
  clipL_ = 0, clipT_ = 0, clipR_ = image_.width(), clipB_ = image_.height();
  penX_ = penY_ = 0;
  rows_ = image_.bits();
  stride_ = image_.bytesPerLine();
  drawing_ = true;
}

void TMMDIBCanvas::EndDraw() {
  if (!drawing_) return;
  drawing_ = false;
  rows_ = nullptr;
  DrawLock().unlock();
}

const QImage& TMMDIBCanvas::Image() {
  if (rebuild_ && !drawing_) Rebuild();
  return image_;
}

void TMMDIBCanvas::SetClipRect(int left, int top, int right, int bottom) {
  clipL_ = std::clamp(left, 0, image_.width());
  clipT_ = std::clamp(top, 0, image_.height());
  clipR_ = std::clamp(right, clipL_, image_.width());
  clipB_ = std::clamp(bottom, clipT_, image_.height());
}

void TMMDIBCanvas::Put(int x, int y) {
  std::uint8_t* p = Row(y);
  if (bits_ == 8) {
    p[x] = static_cast<std::uint8_t>(value_);
  } else {
    p += 3 * x;
    p[0] = static_cast<std::uint8_t>(value_ >> 16);  // RGB888 stores red first
    p[1] = static_cast<std::uint8_t>(value_ >> 8);
    p[2] = static_cast<std::uint8_t>(value_);
  }
}

void TMMDIBCanvas::SetPixel(int x, int y) {
  if (x >= clipL_ && x < clipR_ && y >= clipT_ && y < clipB_) Put(x, y);
}

std::int32_t TMMDIBCanvas::GetPixel(int x, int y) const {
  if (x < clipL_ || x >= clipR_ || y < clipT_ || y >= clipB_) return -1;
  const std::uint8_t* p = image_.constScanLine(y);
  if (bits_ == 8) return p[x];
  p += 3 * x;
  return (p[0] << 16) | (p[1] << 8) | p[2];
}

bool TMMDIBCanvas::Clip(int& a, int& b, int lo, int hi) const {
  if (a > b) std::swap(a, b);
  a = std::max(a, lo);
  b = std::min(b, hi - 1);
  return a <= b;
}

void TMMDIBCanvas::HLine(int x1, int x2, int y) {
  if (y < clipT_ || y >= clipB_ || !Clip(x1, x2, clipL_, clipR_)) return;
  if (bits_ == 8) {
    std::memset(Row(y) + x1, static_cast<int>(value_ & 0xFF), static_cast<std::size_t>(x2 - x1 + 1));
  } else {
    for (int x = x1; x <= x2; ++x) Put(x, y);
  }
}

void TMMDIBCanvas::VLine(int x, int y1, int y2) {
  if (x < clipL_ || x >= clipR_ || !Clip(y1, y2, clipT_, clipB_)) return;
  for (int y = y1; y <= y2; ++y) Put(x, y);
}

void TMMDIBCanvas::DashedHLine(int x1, int x2, int y) {
  if (x1 > x2) std::swap(x1, x2);
  for (int x = x1; x <= x2; ++x)
    if (((x - x1) & 7) < 4) SetPixel(x, y);
}

void TMMDIBCanvas::DottedHLine(int x1, int x2, int y, int skip) {
  if (x1 > x2) std::swap(x1, x2);
  for (int x = x1; x <= x2; x += std::max(skip, 1) + 1) SetPixel(x, y);
}

void TMMDIBCanvas::DottedVLine(int x, int y1, int y2, int skip) {
  if (y1 > y2) std::swap(y1, y2);
  for (int y = y1; y <= y2; y += std::max(skip, 1) + 1) SetPixel(x, y);
}

void TMMDIBCanvas::Line(int x1, int y1, int x2, int y2) {
  const int dx = x2 - x1, dy = y2 - y1;
  const int steps = std::max(std::abs(dx), std::abs(dy));
  if (steps == 0) {
    SetPixel(x1, y1);
    return;
  }
  // Integer stepping along the longer axis, rounding the shorter one.
  for (int i = 0; i <= steps; ++i) {
    const int x = x1 + (2 * dx * i + (dx >= 0 ? steps : -steps)) / (2 * steps);
    const int y = y1 + (2 * dy * i + (dy >= 0 ? steps : -steps)) / (2 * steps);
    SetPixel(x, y);
  }
}

void TMMDIBCanvas::LineTo(int x, int y) {
  Line(penX_, penY_, x, y);
  penX_ = x, penY_ = y;
}

void TMMDIBCanvas::Rectangle(int left, int top, int right, int bottom) {
  if (right <= left || bottom <= top) return;
  HLine(left, right - 1, top);
  HLine(left, right - 1, bottom - 1);
  VLine(left, top, bottom - 1);
  VLine(right - 1, top, bottom - 1);
}

void TMMDIBCanvas::FillRect(int left, int top, int right, int bottom) {
  for (int y = std::max(top, clipT_); y < std::min(bottom, clipB_); ++y) HLine(left, right - 1, y);
}

void TMMDIBCanvas::DottedFillRect(int left, int top, int right, int bottom) {
  for (int y = top; y < bottom; y += 2) DottedHLine(left, right - 1, y, 1);
}

void TMMDIBCanvas::Clear() {
  if (bits_ == 8) {
    std::memset(rows_, static_cast<int>(value_ & 0xFF), static_cast<std::size_t>(stride_ * image_.height()));
  } else {
    for (int y = 0; y < image_.height(); ++y)
      for (int x = 0; x < image_.width(); ++x) Put(x, y);
  }
}

void TMMDIBCanvas::CopyRect(int dx, int dy, const TMMDIBCanvas& src, int sx, int sy, int w, int h) {
  if (src.bits_ != bits_) return;
  const int bpp = bits_ / 8;
  // Clip against both surfaces.
  if (sx < 0) w += sx, dx -= sx, sx = 0;
  if (sy < 0) h += sy, dy -= sy, sy = 0;
  if (dx < clipL_) w -= clipL_ - dx, sx += clipL_ - dx, dx = clipL_;
  if (dy < clipT_) h -= clipT_ - dy, sy += clipT_ - dy, dy = clipT_;
  w = std::min({w, src.image_.width() - sx, clipR_ - dx});
  h = std::min({h, src.image_.height() - sy, clipB_ - dy});
  if (w <= 0 || h <= 0) return;
  const bool upward = &src == this && dy > sy;
  for (int j = 0; j < h; ++j) {
    const int r = upward ? h - 1 - j : j;
    std::memmove(Row(dy + r) + dx * bpp, src.image_.constScanLine(sy + r) + sx * bpp,
                 static_cast<std::size_t>(w * bpp));
  }
}

}  // namespace strataeq
