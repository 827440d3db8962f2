#include "controls/MemBmp.h"

#include <QPainter>
#include <algorithm>
#include <cstring>

namespace strataeq {

void TMemBmp::SetSize(int width, int height) {
  width = std::max(0, width);
  height = std::max(0, height);
  const int stride = ((width * 24 + 31) / 32) * 4;
  if (width == width_ && height == height_) return;
  width_ = width;
  height_ = height;
  stride_ = stride;
  bits_.assign(std::size_t(stride_) * std::size_t(height_), 0);
  rows_.resize(std::size_t(height_));
  for (int y = 0; y < height_; ++y) rows_[std::size_t(y)] = bits_.data() + std::size_t(height_ - 1 - y) * stride_;
}

void TMemBmp::LoadFromImage(const QImage& image) {
  SetSize(image.width(), image.height());
  const QImage source = image.convertToFormat(QImage::Format_BGR888);
  for (int y = 0; y < height_; ++y) std::memcpy(Row(y), source.constScanLine(y), std::size_t(width_) * 3);
}

QImage TMemBmp::ToImage() const {
  QImage image(width_, height_, QImage::Format_BGR888);
  for (int y = 0; y < height_; ++y) std::memcpy(image.scanLine(y), Row(y), std::size_t(width_) * 3);
  return image;
}

void TMemBmp::Draw(QPainter& painter, int x, int y) const { painter.drawImage(x, y, ToImage()); }

std::vector<std::uint8_t> TMemBmp::ShadeTable(int amount) {
  std::vector<std::uint8_t> table(256);
  for (int i = 0; i < 256; ++i) {
    const int v = amount < 0 ? i - (i * -amount) / 256 : i + (amount * (255 - i)) / 256;
    table[std::size_t(i)] = std::uint8_t(std::clamp(v, 0, 255));
  }
  return table;
}

void TMemBmp::Shade(int amount) {
  const std::vector<std::uint8_t> t = ShadeTable(amount);
  for (int y = 0; y < height_; ++y) {
    std::uint8_t* p = Row(y);
    for (int x = 0; x < width_; ++x, p += 3) {
      p[1] = t[p[1]];
      p[2] = t[p[2]];
    }
  }
}

void TMemBmp::OverlayText(int x, int y, const std::string& text, QFont font) {
  if (width_ == 0 || height_ == 0) return;
  QImage layer(width_, height_, QImage::Format_BGR888);
  layer.fill(Qt::black);
  {
    QPainter p(&layer);
    font.setBold(true);
    p.setFont(font);
    p.setPen(Qt::white);
    p.drawText(QRect(x, y, width_ - x, height_ - y), Qt::AlignLeft | Qt::AlignTop, QString::fromStdString(text));
  }
  for (int row = 0; row < height_; ++row) {
    const std::uint8_t* s = layer.constScanLine(row);
    std::uint8_t* d = Row(row);
    for (int i = 0; i < width_ * 3; i += 3)
      if (s[i] | s[i + 1] | s[i + 2]) std::memcpy(d + i, s + i, 3);
  }
}

}  // namespace strataeq
