#include "controls/MMScale.h"

#include <QPainter>
#include <algorithm>
#include <cmath>

namespace strataeq {

int TMMCustomScale::Thickness() const {
  if (!connect_) return size_;
  return size_ + 1 + (style_ != TMMScaleStyle::stColor ? 1 : 0);
}

std::vector<int> TMMCustomScale::TickOffsets(int length, bool vertical) const {
  std::vector<int> offsets(static_cast<std::size_t>(tickCount_));
  const double step = double(length) / double(tickCount_ - 1);
  for (int i = 0; i < tickCount_; ++i)
    offsets[std::size_t(i)] = vertical ? int(std::nearbyint(step * i)) : int(step * i);
  return offsets;
}

void TMMCustomScale::Draw(QPainter* painter, const QRect& rect, TMMScaleSide side) const {
  if (!painter) throw EMMScaleError("Canvas needed for this operation");
  if (rect.isEmpty()) return;
  const bool vertical = rect.height() > rect.width();  // ticks across a vertical run
  const bool plain = style_ == TMMScaleStyle::stColor;
  const TColor first = plain ? color_ : (style_ == TMMScaleStyle::stLowered ? clBlack : clWhite);
  const TColor second = style_ == TMMScaleStyle::stLowered ? clWhite : clBlack;

  // The groove lies right of (below) an above-or-left scale: the inner origin is that edge.
  const bool anchorHigh = (side == TMMScaleSide::ssAboveOrLeft) == (origin_ == TMMScaleOrigin::soInner);
  const int across0 = vertical ? rect.left() : rect.top();
  const int across1 = vertical ? rect.right() : rect.bottom();
  const int along0 = vertical ? rect.top() : rect.left();
  const int length = (vertical ? rect.height() : rect.width()) - 1;
  const int dir = anchorHigh ? -1 : 1;
  int edge = anchorHigh ? across1 : across0;

  // A span of `len` pixels across, from `from` away from the anchor, at `at` along.
  auto span = [&](int at, int from, int len, TColor color) {
    const int a = dir > 0 ? from : from - len + 1;
    const QRect r = vertical ? QRect(a, at, len, 1) : QRect(at, a, 1, len);
    FillRect(*painter, r, color);
  };
  auto run = [&](int acrossAt, TColor color) {
    const QRect r = vertical ? QRect(acrossAt, along0, 1, length + 1) : QRect(along0, acrossAt, length + 1, 1);
    FillRect(*painter, r, color);
  };

  if (connect_) {
    run(edge, first);
    edge += dir;
    if (!plain) {
      run(edge, second);
      edge += dir;
    }
  }
  const std::vector<int> offsets = TickOffsets(length, vertical);
  for (int i = 0; i < tickCount_; ++i) {
    const int len = (i % enlargeEvery_ == 0) ? size_ : size_ / 2;
    if (len <= 0) continue;
    const int at = along0 + offsets[std::size_t(i)];
    span(at, edge, len, first);
    if (!plain) span(at + 1, edge, len, second);
  }
}

std::unique_ptr<std::vector<TBitmapCache::Entry>>& TBitmapCache::List() {
  static std::unique_ptr<std::vector<Entry>> list;
  return list;
}

QImage* TBitmapCache::Acquire(int width, int height) {
  width = std::max(0, width);
  height = std::max(0, height);
  auto& list = List();
  if (!list) list = std::make_unique<std::vector<Entry>>();
  for (Entry& e : *list)
    if (e.bitmap->width() == width && e.bitmap->height() == height) {
      ++e.refs;
      return e.bitmap.get();
    }
  list->push_back({std::make_unique<QImage>(width, height, QImage::Format_RGB32), 1});
  return list->back().bitmap.get();
}

void TBitmapCache::Release(QImage* bitmap) {
  auto& list = List();
  if (!list || !bitmap) return;
  for (auto it = list->begin(); it != list->end(); ++it) {
    if (it->bitmap.get() != bitmap) continue;
    if (--it->refs == 0) list->erase(it);
    break;
  }
  if (list->empty()) list.reset();
}

int TBitmapCache::Count() { return List() ? int(List()->size()) : 0; }

int TBitmapCache::RefCount(const QImage* bitmap) {
  if (!List()) return 0;
  for (const Entry& e : *List())
    if (e.bitmap.get() == bitmap) return e.refs;
  return 0;
}

}  // namespace strataeq
