// The displays' off-screen surface: an 8-bit indexed pixel buffer with its 256-entry
// palette, or a 24-bit or 32-bit (the screen's own format) one, with fast row primitives,
// shown on screen as a QImage over the same bytes (no copy).
#pragma once

#include <QImage>
#include <QRgb>
#include <algorithm>
#include <array>
#include <cstdint>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "foundation/MMUtils.h"

namespace strataeq {

STRATAEQ_DECLARE_ERROR(EMMDIBError);

class TMMDIBCanvas {
 public:
  TMMDIBCanvas();

  std::int32_t BitsPerPixel() const { return bits_; }
  void SetBitsPerPixel(std::int32_t value);  // 8, 24 or 32, else EMMDIBError
  std::int32_t Width() const { return width_; }
  std::int32_t Height() const { return height_; }
  void SetWidth(std::int32_t value) { SetSize(value, height_); }
  void SetHeight(std::int32_t value) { SetSize(width_, value); }
  // Takes effect at the next rebuild (the next BeginDraw or Image request).
  void SetSize(std::int32_t width, std::int32_t height);

  // Surface palette as of the last rebuild: 0..9 and 246..255 the static colours;
  // 10..244 from the background picture, else 10..246 from the custom palette, else
  // black; the animated entries at the top of the free range.
  const std::array<QRgb, 256>& Palette() const { return palette_; }

  // The copy path always shows the colour table; the flags are kept for the controls.
  bool PaletteRealize() const { return paletteRealize_; }
  void SetPaletteRealize(bool value);
  bool PaletteMapped() const { return paletteMapped_; }
  void SetPaletteMapped(bool value) { paletteMapped_ = value; }

  // A copy of the picture; a null or empty image removes it.
  const QImage& BackGroundBitmap() const { return backPicture_; }
  void SetBackGroundBitmap(const QImage& picture);
  // True: stretched to the surface; false: tiled from the top left.
  bool StretchBackGround() const { return stretchBack_; }
  void SetStretchBackGround(bool value);
  // The picture at surface size in the surface's format; null without a picture.
  const QImage& BackgroundImage() const { return backImage_; }

  // At most 256 entries, copied; an empty or longer list clears it.
  const std::vector<QRgb>& CustomPalette() const { return customPalette_; }
  void SetCustomPalette(const std::vector<QRgb>& palette);

  // Palette entries reserved for colour animation: 0..236.
  std::int32_t AnimatedColors() const { return animatedCount_; }
  void SetAnimatedColors(std::int32_t count);
  // The palette index of animated entry 0; 256 without animated entries.
  std::int32_t FirstAnimatedIndex() const { return firstAnimated_; }
  QRgb AnimatedColor(std::int32_t index) const;
  // Rewrites the entry in the colour table, so the next copy to the screen shows it;
  // inside a batch the write waits for the outermost EndAnimate.
  void SetAnimatedColor(std::int32_t index, QRgb color);
  void BeginAnimate() { ++animateDepth_; }
  void EndAnimate();
  // A colour as the surface writes it: RGB in 24-bit and 32-bit mode (0xFFRRGGBB), else the
  // nearest entry.
  std::uint32_t MapColor(QRgb color) const;

  // Takes the drawing lock shared by every surface and makes this one current;
  // rebuilds when marked. Every primitive lies between BeginDraw and EndDraw.
  void BeginDraw();
  void EndDraw();
  bool Drawing() const { return drawing_; }
  // Rebuilds now; refused while drawing.
  void Rebuild();
  // Counts the rebuilds: a rebuild loses the picture (and may change the palette).
  std::uint64_t Generation() const { return generation_; }

  // The picture: an image over the surface's own bytes.
  const QImage& Image();

  void SetColor(QRgb color) { SetPixelValue(MapColor(color)); }
  void SetPixelValue(std::uint32_t value) { value_ = value; }
  std::uint32_t PixelValue() const { return value_; }
  void SetClipRect(int left, int top, int right, int bottom);  // right and bottom exclusive

  void SetPixel(int x, int y);
  std::int32_t GetPixel(int x, int y) const;  // -1 outside the clip rectangle
  void HLine(int x1, int x2, int y);          // x1..x2 inclusive, either order
  void VLine(int x, int y1, int y2);
  void DashedHLine(int x1, int x2, int y);              // four on, four off
  void DottedHLine(int x1, int x2, int y, int skip);    // one on, skip off
  void DottedVLine(int x, int y1, int y2, int skip);
  void Line(int x1, int y1, int x2, int y2);
  // Each pixel exclusive-or'ed with the inverse of the current value.
  void InvertLine(int x1, int y1, int x2, int y2);
  // Exclusive-or with the inverse of the current value, or with the value itself.
  void InvertVLine(int x, int y1, int y2, bool inverse = true);
  // Rows y, y + 1, ... of column x from values (8-bit only; other depths ignore it).
  void ByteColumn(int x, int y, const std::uint8_t* values, int count);
  // Outlines on the ellipse of radii rx, ry around (cx, cy) in one-degree steps. Angles
  // in degrees, counter-clockwise from three o'clock; equal angles draw the whole round.
  void Arc(int cx, int cy, int rx, int ry, int startAngle, int endAngle);
  void Pie(int cx, int cy, int rx, int ry, int startAngle, int endAngle);  // arc and both radii
  void Ellipse(int cx, int cy, int rx, int ry);
  void MoveTo(int x, int y) { penX_ = x, penY_ = y; }
  void LineTo(int x, int y);
  void Rectangle(int left, int top, int right, int bottom);  // outline, right/bottom exclusive
  // Inline for a rectangle inside the clip on a 32-bit surface: the analysers fill over
  // a thousand spots a frame, most a pixel or two wide, where the calls and a clipped
  // line per row cost more than the pixels.
  void FillRect(int left, int top, int right, int bottom) {
    if (bits_ == 32 && left < right && top < bottom && left >= clipL_ && right <= clipR_ && top >= clipT_ &&
        bottom <= clipB_) {
      const std::uint32_t v = value_ | 0xFF000000u;
      const int n = right - left;
      // Narrow ones pixel by pixel: a vectorised fill costs more to set up than it saves.
      if (n <= 4) {
        for (int y = top; y < bottom; ++y) {
          auto* p = reinterpret_cast<std::uint32_t*>(Row(y)) + left;
          p[0] = v;
          if (n > 1) p[1] = v;
          if (n > 2) p[2] = v;
          if (n > 3) p[3] = v;
        }
      } else {
        for (int y = top; y < bottom; ++y) std::fill_n(reinterpret_cast<std::uint32_t*>(Row(y)) + left, n, v);
      }
    } else {
      FillRectClipped(left, top, right, bottom);
    }
  }
  // A column of count spots: columns x1..x2, each spot height rows whose bottom rows are
  // bottom, bottom - pitch, ... going up; as FillRect of each.
  void Spots(int x1, int x2, int bottom, int height, int pitch, int count);
  void DottedFillRect(int left, int top, int right, int bottom);
  void Clear();
  // Rows of another surface of the same depth (or this one; overlap allowed).
  void CopyRect(int dx, int dy, const TMMDIBCanvas& src, int sx, int sy, int w, int h);
  // The same from the background image of src (which may be this one); nothing
  // without a picture.
  void CopyBackground(int dx, int dy, const TMMDIBCanvas& src, int sx, int sy, int w, int h);

 private:
  std::uint8_t* Row(int y) { return rows_ + static_cast<std::ptrdiff_t>(y) * stride_; }
  void Put(int x, int y);
  void FillRectClipped(int left, int top, int right, int bottom);
  void Invert(int x, int y, std::uint32_t mask);
  bool Clip(int& a, int& b, int lo, int hi) const {
    if (a > b) std::swap(a, b);
    a = std::max(a, lo);
    b = std::min(b, hi - 1);
    return a <= b;
  }
  void CopyRows(int dx, int dy, const QImage& src, bool self, int sx, int sy, int w, int h);
  void BuildPalette();
  void BuildBackground(int w, int h);
  void WriteAnimated();
  void EnsureBuilt();

  std::int32_t bits_ = 8;
  std::int32_t width_ = 1, height_ = 1;
  bool rebuild_ = true;
  bool drawing_ = false;
  std::uint64_t generation_ = 0;
  QImage image_;
  std::array<QRgb, 256> palette_{};
  mutable std::unordered_map<QRgb, std::uint32_t> mapped_;  // colours already looked up
  std::uint32_t value_ = 0;
  int clipL_ = 0, clipT_ = 0, clipR_ = 1, clipB_ = 1;
  int penX_ = 0, penY_ = 0;
  // The pixel rows while drawing: taken once, so the primitives do not ask the image.
  std::uint8_t* rows_ = nullptr;
  std::ptrdiff_t stride_ = 0;
  bool paletteRealize_ = false, paletteMapped_ = false;
  QImage backPicture_, backImage_;
  bool stretchBack_ = true;
  std::vector<QRgb> customPalette_;
  std::int32_t animatedCount_ = 0, firstAnimated_ = 256;
  std::vector<QRgb> animated_;
  int animateDepth_ = 0;
  bool animatePending_ = false;
};

}  // namespace strataeq
