#include "display/MMDIBCv.h"

#include <algorithm>
#include <cstdlib>
#include <cmath>
#include <cstring>
#include <unordered_set>

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

constexpr int kPictureEntries = 235;  // 10..244
constexpr int kCustomEntries = 237;   // 10..246
constexpr int kMaxAnimated = 236;

// The colours a picture brings to the palette: its own table when it has one, else its
// distinct colours in reading order, else (too many) a 6 x 6 x 6 colour cube.
std::vector<QRgb> PictureColours(const QImage& picture) {
  if (picture.colorCount() > 0) {
    std::vector<QRgb> table;
    for (QRgb c : picture.colorTable()) table.push_back(c | 0xFF000000u);
    return table;
  }
  const QImage rgb = picture.convertToFormat(QImage::Format_RGB32);
  std::vector<QRgb> colours;
  std::unordered_set<QRgb> seen;
  for (int y = 0; y < rgb.height(); ++y) {
    const auto* row = reinterpret_cast<const QRgb*>(rgb.constScanLine(y));
    for (int x = 0; x < rgb.width(); ++x) {
      const QRgb c = row[x] | 0xFF000000u;
      if (!seen.insert(c).second) continue;
      if (colours.size() == kPictureEntries) {
        colours.clear();
        for (int r = 0; r < 6; ++r)
          for (int g = 0; g < 6; ++g)
            for (int b = 0; b < 6; ++b) colours.push_back(qRgb(r * 51, g * 51, b * 51));
        return colours;
      }
      colours.push_back(c);
    }
  }
  return colours;
}

// sin of whole degrees, scaled by 2^14.
const std::array<int, 360>& SineTable() {
  static const std::array<int, 360> table = [] {
    std::array<int, 360> t{};
    for (int i = 0; i < 360; ++i) t[i] = static_cast<int>(std::lround(std::sin(i * 3.14159265358979323846 / 180) * 16384));
    return t;
  }();
  return table;
}

int ScaleBySine(int radius, int degrees) {
  const long long v = static_cast<long long>(radius) * SineTable()[((degrees % 360) + 360) % 360];
  return static_cast<int>(v >= 0 ? (v + 8192) >> 14 : -((-v + 8192) >> 14));
}

// The points of a line, stepping along the longer axis and rounding the shorter one.
template <class Plot>
void Walk(int x1, int y1, int x2, int y2, Plot plot) {
  const int dx = x2 - x1, dy = y2 - y1;
  const int steps = std::max(std::abs(dx), std::abs(dy));
  if (steps == 0) {
    plot(x1, y1);
    return;
  }
  for (int i = 0; i <= steps; ++i) {
    const int x = x1 + (2 * dx * i + (dx >= 0 ? steps : -steps)) / (2 * steps);
    const int y = y1 + (2 * dy * i + (dy >= 0 ? steps : -steps)) / (2 * steps);
    plot(x, y);
  }
}

}  // namespace

TMMDIBCanvas::TMMDIBCanvas() {
  palette_.fill(qRgb(0, 0, 0));
  for (int i = 0; i < 10; ++i) palette_[i] = kStatic[i];
  for (int i = 0; i < 10; ++i) palette_[246 + i] = kStatic[10 + i];
}

void TMMDIBCanvas::SetBitsPerPixel(std::int32_t value) {
  if (value != 8 && value != 24 && value != 32) throw EMMDIBError("Bitlength not supported yet");
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
  if (bits_ == 32) return color | 0xFF000000u;
  if (auto it = mapped_.find(color); it != mapped_.end()) return it->second;
  int best = 0;
  long bestDistance = -1;
  for (int i = 0; i < 256; ++i) {
    // An animated entry changes colour under whatever was drawn with it.
    if (i >= firstAnimated_ && i < 247) continue;
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
  BuildPalette();
  if (bits_ == 8) {
    image_ = QImage(w, h, QImage::Format_Indexed8);
    image_.setColorTable(QList<QRgb>(palette_.begin(), palette_.end()));
    image_.fill(0);
  } else if (bits_ == 32) {
    image_ = QImage(w, h, QImage::Format_RGB32);
    image_.fill(0xFF000000u);
  } else {
    image_ = QImage(w, h, QImage::Format_RGB888);
    image_.fill(0);
  }
  BuildBackground(w, h);
  clipL_ = 0, clipT_ = 0, clipR_ = w, clipB_ = h;
  rebuild_ = false;
  ++generation_;
}

void TMMDIBCanvas::BuildPalette() {
  palette_.fill(qRgb(0, 0, 0));
  for (int i = 0; i < 10; ++i) palette_[i] = kStatic[i];
  for (int i = 0; i < 10; ++i) palette_[246 + i] = kStatic[10 + i];
  if (!backPicture_.isNull()) {
    const std::vector<QRgb> colours = PictureColours(backPicture_);
    for (std::size_t i = 0; i < colours.size() && i < kPictureEntries; ++i) palette_[10 + i] = colours[i];
  } else {
    for (std::size_t i = 0; i < customPalette_.size() && i < kCustomEntries; ++i)
      palette_[10 + i] = customPalette_[i] | 0xFF000000u;
  }
  firstAnimated_ = animatedCount_ > 0 ? 247 - animatedCount_ : 256;
  animated_.assign(static_cast<std::size_t>(animatedCount_), 0);
  std::unordered_set<QRgb> used(palette_.begin(), palette_.begin() + std::min(firstAnimated_, 247));
  used.insert(palette_.begin() + 247, palette_.end());
  QRgb candidate = qRgb(0, 0, 0);
  for (int i = 0; i < animatedCount_; ++i) {
    while (used.count(candidate)) candidate = 0xFF000000u | ((candidate + 0x010101u) & 0xFFFFFFu);
    used.insert(candidate);
    animated_[i] = palette_[firstAnimated_ + i] = candidate;
  }
  mapped_.clear();
}

void TMMDIBCanvas::BuildBackground(int w, int h) {
  backImage_ = QImage();
  if (backPicture_.isNull()) return;
  const QImage pic = backPicture_.convertToFormat(QImage::Format_RGB32);
  const int pw = pic.width(), ph = pic.height();
  // Nearest source pixel when stretched (no blending, as colour-on-colour), else tiles.
  std::vector<int> columns(static_cast<std::size_t>(w));
  for (int x = 0; x < w; ++x)
    columns[x] = stretchBack_ ? static_cast<int>(static_cast<long long>(x) * pw / w) : x % pw;
  if (bits_ == 8) {
    backImage_ = QImage(w, h, QImage::Format_Indexed8);
    backImage_.setColorTable(QList<QRgb>(palette_.begin(), palette_.end()));
  } else if (bits_ == 32) {
    backImage_ = QImage(w, h, QImage::Format_RGB32);
  } else {
    backImage_ = QImage(w, h, QImage::Format_RGB888);
  }
  for (int y = 0; y < h; ++y) {
    const int sy = stretchBack_ ? static_cast<int>(static_cast<long long>(y) * ph / h) : y % ph;
    const auto* src = reinterpret_cast<const QRgb*>(pic.constScanLine(sy));
    std::uint8_t* dst = backImage_.scanLine(y);
    for (int x = 0; x < w; ++x) {
      const QRgb c = src[columns[x]];
      if (bits_ == 8) {
        dst[x] = static_cast<std::uint8_t>(MapColor(c | 0xFF000000u));
      } else if (bits_ == 32) {
        reinterpret_cast<QRgb*>(dst)[x] = c | 0xFF000000u;
      } else {
        dst[3 * x] = static_cast<std::uint8_t>(qRed(c));
        dst[3 * x + 1] = static_cast<std::uint8_t>(qGreen(c));
        dst[3 * x + 2] = static_cast<std::uint8_t>(qBlue(c));
      }
    }
  }
}

void TMMDIBCanvas::EnsureBuilt() {
  if (rebuild_ && !drawing_) Rebuild();
}

void TMMDIBCanvas::SetPaletteRealize(bool value) {
  if (value == paletteRealize_) return;
  paletteRealize_ = value;
  rebuild_ = true;
}

void TMMDIBCanvas::SetBackGroundBitmap(const QImage& picture) {
  const bool had = !backPicture_.isNull();
  backPicture_ = picture.isNull() || picture.width() == 0 || picture.height() == 0 ? QImage() : picture.copy();
  if (had || !backPicture_.isNull()) rebuild_ = true;
}

void TMMDIBCanvas::SetStretchBackGround(bool value) {
  if (value == stretchBack_) return;
  stretchBack_ = value;
  if (!backPicture_.isNull()) rebuild_ = true;
}

void TMMDIBCanvas::SetCustomPalette(const std::vector<QRgb>& palette) {
  if (palette.empty() || palette.size() > 256) {
    if (customPalette_.empty()) return;
    customPalette_.clear();
  } else {
    customPalette_ = palette;
  }
  rebuild_ = true;
}

void TMMDIBCanvas::SetAnimatedColors(std::int32_t count) {
  if (count < 0 || count > kMaxAnimated) throw EMMDIBError("Invalid count of animated colors");
  if (count == animatedCount_) return;
  animatedCount_ = count;
  rebuild_ = true;
}

QRgb TMMDIBCanvas::AnimatedColor(std::int32_t index) const {
  if (index < 0 || index >= animatedCount_) throw EMMDIBError("Invalidate animated color index");
  return static_cast<std::size_t>(index) < animated_.size() ? animated_[index] : qRgb(0, 0, 0);
}

void TMMDIBCanvas::SetAnimatedColor(std::int32_t index, QRgb color) {
  if (index < 0 || index >= animatedCount_) throw EMMDIBError("Invalidate animated color index");
  EnsureBuilt();
  // The count changed while drawing: the rebuild at the next BeginDraw refills them all.
  if (static_cast<std::size_t>(index) >= animated_.size()) return;
  animated_[index] = color | 0xFF000000u;
  if (animateDepth_ > 0) {
    animatePending_ = true;
    return;
  }
  WriteAnimated();
}

void TMMDIBCanvas::EndAnimate() {
  if (animateDepth_ == 0) return;
  if (--animateDepth_ == 0 && animatePending_) {
    animatePending_ = false;
    WriteAnimated();
  }
}

void TMMDIBCanvas::WriteAnimated() {
  for (std::size_t i = 0; i < animated_.size() && firstAnimated_ + static_cast<int>(i) < 247; ++i) {
    const int entry = firstAnimated_ + static_cast<int>(i);
    palette_[entry] = animated_[i];
    if (image_.format() == QImage::Format_Indexed8) image_.setColor(entry, animated_[i]);
    if (backImage_.format() == QImage::Format_Indexed8) backImage_.setColor(entry, animated_[i]);
  }
  // A shared image detaches on the colour change: the rows may have moved.
  if (drawing_) {
    rows_ = image_.bits();
    stride_ = image_.bytesPerLine();
  }
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
  } else if (bits_ == 32) {
    reinterpret_cast<std::uint32_t*>(p)[x] = value_ | 0xFF000000u;  // RGB32 keeps alpha opaque
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
  if (bits_ == 32) return static_cast<std::int32_t>(reinterpret_cast<const std::uint32_t*>(p)[x] & 0xFFFFFFu);
  p += 3 * x;
  return (p[0] << 16) | (p[1] << 8) | p[2];
}

void TMMDIBCanvas::HLine(int x1, int x2, int y) {
  if (y < clipT_ || y >= clipB_ || !Clip(x1, x2, clipL_, clipR_)) return;
  if (bits_ == 8) {
    std::memset(Row(y) + x1, static_cast<int>(value_ & 0xFF), static_cast<std::size_t>(x2 - x1 + 1));
  } else if (bits_ == 32) {
    std::fill_n(reinterpret_cast<std::uint32_t*>(Row(y)) + x1, x2 - x1 + 1, value_ | 0xFF000000u);
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
  Walk(x1, y1, x2, y2, [this](int x, int y) { SetPixel(x, y); });
}

void TMMDIBCanvas::Invert(int x, int y, std::uint32_t mask) {
  std::uint8_t* p = Row(y);
  if (bits_ == 8) {
    p[x] ^= static_cast<std::uint8_t>(mask);
  } else if (bits_ == 32) {
    reinterpret_cast<std::uint32_t*>(p)[x] ^= mask & 0xFFFFFFu;
  } else {
    p += 3 * x;
    p[0] ^= static_cast<std::uint8_t>(mask >> 16);
    p[1] ^= static_cast<std::uint8_t>(mask >> 8);
    p[2] ^= static_cast<std::uint8_t>(mask);
  }
}

void TMMDIBCanvas::InvertLine(int x1, int y1, int x2, int y2) {
  const std::uint32_t mask = ~value_;
  Walk(x1, y1, x2, y2, [this, mask](int x, int y) {
    if (x >= clipL_ && x < clipR_ && y >= clipT_ && y < clipB_) Invert(x, y, mask);
  });
}

void TMMDIBCanvas::InvertVLine(int x, int y1, int y2, bool inverse) {
  if (x < clipL_ || x >= clipR_ || !Clip(y1, y2, clipT_, clipB_)) return;
  const std::uint32_t mask = inverse ? ~value_ : value_;
  for (int y = y1; y <= y2; ++y) Invert(x, y, mask);
}

void TMMDIBCanvas::ByteColumn(int x, int y, const std::uint8_t* values, int count) {
  if (bits_ != 8 || x < clipL_ || x >= clipR_) return;
  for (int i = std::max(0, clipT_ - y); i < count && y + i < clipB_; ++i) Row(y + i)[x] = values[i];
}

void TMMDIBCanvas::Arc(int cx, int cy, int rx, int ry, int startAngle, int endAngle) {
  const int start = ((startAngle % 360) + 360) % 360;
  int sweep = (((endAngle - startAngle) % 360) + 360) % 360;
  if (sweep == 0) sweep = 360;
  int px = cx + ScaleBySine(rx, start + 90), py = cy - ScaleBySine(ry, start);
  for (int a = start + 1; a <= start + sweep; ++a) {
    const int x = cx + ScaleBySine(rx, a + 90), y = cy - ScaleBySine(ry, a);
    Line(px, py, x, y);
    px = x, py = y;
  }
}

void TMMDIBCanvas::Pie(int cx, int cy, int rx, int ry, int startAngle, int endAngle) {
  Arc(cx, cy, rx, ry, startAngle, endAngle);
  Line(cx, cy, cx + ScaleBySine(rx, startAngle + 90), cy - ScaleBySine(ry, startAngle));
  Line(cx, cy, cx + ScaleBySine(rx, endAngle + 90), cy - ScaleBySine(ry, endAngle));
}

void TMMDIBCanvas::Ellipse(int cx, int cy, int rx, int ry) { Arc(cx, cy, rx, ry, 0, 0); }

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

void TMMDIBCanvas::FillRectClipped(int left, int top, int right, int bottom) {
  int x1 = left, x2 = right - 1;  // as the rows' HLine: either order
  const int y1 = std::max(top, clipT_), y2 = std::min(bottom, clipB_);
  if (y1 >= y2 || !Clip(x1, x2, clipL_, clipR_)) return;
  for (int y = y1; y < y2; ++y) HLine(x1, x2, y);
}

void TMMDIBCanvas::Spots(int x1, int x2, int bottom, int height, int pitch, int count) {
  if (count <= 0) return;
  const int top = bottom - (count - 1) * pitch - height + 1;  // of the highest spot
  if (bits_ != 32 || x1 > x2 || height <= 0 || pitch < height || x1 < clipL_ || x2 >= clipR_ || top < clipT_ ||
      bottom >= clipB_) {
    for (int k = 0; k < count; ++k, bottom -= pitch) FillRect(x1, bottom - height + 1, x2 + 1, bottom + 1);
    return;
  }
  // Inside the clip: the rows straight, with no check per spot.
  const std::uint32_t v = value_ | 0xFF000000u;
  const int n = x2 - x1 + 1;
  std::uint8_t* const first = rows_ + static_cast<std::ptrdiff_t>(x1) * 4;
  const std::ptrdiff_t stride = stride_;
  for (int k = 0; k < count; ++k, bottom -= pitch) {
    for (int y = bottom - height + 1; y <= bottom; ++y) {
      auto* p = reinterpret_cast<std::uint32_t*>(first + y * stride);
      switch (n) {  // a bar is a few pixels wide: no vectorised fill to set up
        case 4: p[3] = v; [[fallthrough]];
        case 3: p[2] = v; [[fallthrough]];
        case 2: p[1] = v; [[fallthrough]];
        case 1: p[0] = v; break;
        default: std::fill_n(p, n, v);
      }
    }
  }
}

void TMMDIBCanvas::DottedFillRect(int left, int top, int right, int bottom) {
  for (int y = top; y < bottom; y += 2) DottedHLine(left, right - 1, y, 1);
}

void TMMDIBCanvas::Clear() {
  if (bits_ == 8) {
    std::memset(rows_, static_cast<int>(value_ & 0xFF), static_cast<std::size_t>(stride_ * image_.height()));
  } else if (bits_ == 32) {
    for (int y = 0; y < image_.height(); ++y)
      std::fill_n(reinterpret_cast<std::uint32_t*>(Row(y)), image_.width(), value_ | 0xFF000000u);
  } else {
    for (int y = 0; y < image_.height(); ++y)
      for (int x = 0; x < image_.width(); ++x) Put(x, y);
  }
}

void TMMDIBCanvas::CopyRect(int dx, int dy, const TMMDIBCanvas& src, int sx, int sy, int w, int h) {
  if (src.bits_ != bits_) return;
  CopyRows(dx, dy, src.image_, &src == this, sx, sy, w, h);
}

void TMMDIBCanvas::CopyBackground(int dx, int dy, const TMMDIBCanvas& src, int sx, int sy, int w, int h) {
  if (src.bits_ != bits_ || src.backImage_.isNull()) return;
  CopyRows(dx, dy, src.backImage_, false, sx, sy, w, h);
}

void TMMDIBCanvas::CopyRows(int dx, int dy, const QImage& src, bool self, int sx, int sy, int w, int h) {
  const int bpp = bits_ / 8;
  // Clip against both surfaces.
  if (sx < 0) w += sx, dx -= sx, sx = 0;
  if (sy < 0) h += sy, dy -= sy, sy = 0;
  if (dx < clipL_) w -= clipL_ - dx, sx += clipL_ - dx, dx = clipL_;
  if (dy < clipT_) h -= clipT_ - dy, sy += clipT_ - dy, dy = clipT_;
  w = std::min({w, src.width() - sx, clipR_ - dx});
  h = std::min({h, src.height() - sy, clipB_ - dy});
  if (w <= 0 || h <= 0) return;
  const bool upward = self && dy > sy;
  for (int j = 0; j < h; ++j) {
    const int r = upward ? h - 1 - j : j;
    std::memmove(Row(dy + r) + dx * bpp, src.constScanLine(sy + r) + sx * bpp,
                 static_cast<std::size_t>(w * bpp));
  }
}

}  // namespace strataeq
