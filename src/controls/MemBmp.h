// A 24-bit image in memory with bottom-up rows padded to 4 bytes, as the hint window
// darkens and writes it.
#pragma once

#include <QFont>
#include <QImage>
#include <cstdint>
#include <string>
#include <vector>

class QPainter;

namespace strataeq {

class TMemBmp {
 public:
  TMemBmp() = default;

  int Width() const { return width_; }
  int Height() const { return height_; }
  int Stride() const { return stride_; }      // ((width * 24 + 31) div 32) * 4
  int FillBytes() const { return width_ % 4; }  // padding at the end of each row
  // The first byte of row y (0 = top); rows are stored bottom-up.
  std::uint8_t* Row(int y) { return rows_[std::size_t(y)]; }
  const std::uint8_t* Row(int y) const { return rows_[std::size_t(y)]; }

  void SetSize(int width, int height);
  void LoadFromImage(const QImage& image);
  QImage ToImage() const;
  void Draw(QPainter& painter, int x, int y) const;

  // The 256-entry table of a shade: negative darkens, positive brightens.
  static std::vector<std::uint8_t> ShadeTable(int amount);
  // Green and red bytes of every pixel through the table; blue stays.
  void Shade(int amount);
  // The text in bold white, laid over the image where it is not black.
  void OverlayText(int x, int y, const std::string& text, QFont font);

 private:
  int width_ = 0, height_ = 0, stride_ = 0;
  std::vector<std::uint8_t> bits_;
  std::vector<std::uint8_t*> rows_;
};

}  // namespace strataeq
