// Tick scale beside a slider's groove, and the off-screen bitmaps that sliders of one
// size share.
#pragma once

#include <QImage>
#include <QRect>
#include <memory>
#include <vector>

#include "controls/MMObj.h"
#include "foundation/MMUtils.h"

class QPainter;

namespace strataeq {

STRATAEQ_DECLARE_ERROR(EMMScaleError);

enum class TMMScaleStyle { stColor, stLowered, stRaised };
enum class TMMScaleOrigin { soInner, soOuter };
// Which side of the groove a scale lies on: above a horizontal groove or left of a
// vertical one, or below / right.
enum class TMMScaleSide { ssAboveOrLeft, ssBelowOrRight };

class TMMCustomScale : public TMMObject {
 public:
  bool Visible() const { return visible_; }
  void SetVisible(bool v) { Set(visible_, v); }
  TColor Color() const { return color_; }
  void SetColor(TColor v) { Set(color_, v); }
  TMMScaleStyle Style() const { return style_; }
  void SetStyle(TMMScaleStyle v) { Set(style_, v); }
  int TickCount() const { return tickCount_; }
  void SetTickCount(int v) { Set(tickCount_, std::max(2, v)); }
  int EnlargeEvery() const { return enlargeEvery_; }
  void SetEnlargeEvery(int v) { Set(enlargeEvery_, std::max(1, v)); }
  int Size() const { return size_; }
  void SetSize(int v) { Set(size_, std::max(1, v)); }
  TMMScaleOrigin Origin() const { return origin_; }
  void SetOrigin(TMMScaleOrigin v) { Set(origin_, v); }
  bool Connect() const { return connect_; }
  void SetConnect(bool v) { Set(connect_, v); }

  // Size, or with Connect one more for the line (and one more for its 3-D partner).
  int Thickness() const;

  // Ticks along the longer side of rect; the groove lies beyond the side named by `side`'s
  // opposite. A null painter raises EMMScaleError.
  void Draw(QPainter* painter, const QRect& rect, TMMScaleSide side) const;

  // Offsets of the ticks along a run of `length` pixels (for a vertical scale rounded,
  // for a horizontal one truncated).
  std::vector<int> TickOffsets(int length, bool vertical) const;

 private:
  template <typename T>
  void Set(T& field, T value) {
    if (field == value) return;
    field = value;
    Changed();
  }

  bool visible_ = true;
  TColor color_ = clBlack;
  TMMScaleStyle style_ = TMMScaleStyle::stColor;
  int tickCount_ = 11, enlargeEvery_ = 5, size_ = 7;
  TMMScaleOrigin origin_ = TMMScaleOrigin::soInner;
  bool connect_ = false;
};

class TMMScale : public TMMCustomScale {};

// One process-wide list of off-screen bitmaps with reference counts: sliders of equal
// size draw through the same one. GUI thread only.
class TBitmapCache {
 public:
  // A bitmap of exactly this size (negative sizes count as 0), its count raised.
  static QImage* Acquire(int width, int height);
  static void Release(QImage* bitmap);
  static int Count();                       // bitmaps held
  static int RefCount(const QImage* bitmap);  // 0 when not held

 private:
  struct Entry {
    std::unique_ptr<QImage> bitmap;
    int refs;
  };
  static std::unique_ptr<std::vector<Entry>>& List();
};

}  // namespace strataeq
