// The displays' off-screen surface: an 8-bit indexed (or 24-bit) pixel buffer with its
// 256-entry palette and fast row primitives, shown on screen as a QImage over the same
// bytes (no copy).
#pragma once

#include <QImage>
#include <QRgb>
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
  void SetBitsPerPixel(std::int32_t value);  // 8 or 24, else EMMDIBError
  std::int32_t Width() const { return width_; }
  std::int32_t Height() const { return height_; }
  void SetWidth(std::int32_t value) { SetSize(value, height_); }
  void SetHeight(std::int32_t value) { SetSize(width_, value); }
  // Takes effect at the next rebuild (the next BeginDraw or Image request).
  void SetSize(std::int32_t width, std::int32_t height);

  // Surface palette: 0..9 and 246..255 the static colours, the rest black.
  const std::array<QRgb, 256>& Palette() const { return palette_; }
  // A colour as the surface writes it: RGB in 24-bit mode, else the nearest entry.
  std::uint32_t MapColor(QRgb color) const;

  // Takes the drawing lock shared by every surface and makes this one current;
  // rebuilds when marked. Every primitive lies between BeginDraw and EndDraw.
  void BeginDraw();
  void EndDraw();
  bool Drawing() const { return drawing_; }
  // Rebuilds now; refused while drawing.
  void Rebuild();

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
  void MoveTo(int x, int y) { penX_ = x, penY_ = y; }
  void LineTo(int x, int y);
  void Rectangle(int left, int top, int right, int bottom);  // outline, right/bottom exclusive
  void FillRect(int left, int top, int right, int bottom);
  void DottedFillRect(int left, int top, int right, int bottom);
  void Clear();
  // Rows of another surface of the same depth (or this one; overlap allowed).
  void CopyRect(int dx, int dy, const TMMDIBCanvas& src, int sx, int sy, int w, int h);

 private:
  std::uint8_t* Row(int y) { return rows_ + static_cast<std::ptrdiff_t>(y) * stride_; }
  void Put(int x, int y);
  bool Clip(int& x1, int& x2, int lo, int hi) const;

  std::int32_t bits_ = 8;
  std::int32_t width_ = 1, height_ = 1;
  bool rebuild_ = true;
  bool drawing_ = false;
  QImage image_;
  std::array<QRgb, 256> palette_{};
  mutable std::unordered_map<QRgb, std::uint32_t> mapped_;  // colours already looked up
  std::uint32_t value_ = 0;
  int clipL_ = 0, clipT_ = 0, clipR_ = 1, clipB_ = 1;
  int penX_ = 0, penY_ = 0;
  // The pixel rows while drawing: taken once, so the primitives do not ask the image.
  std::uint8_t* rows_ = nullptr;
  std::ptrdiff_t stride_ = 0;
};

}  // namespace strataeq
