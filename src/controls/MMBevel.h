// The persistent object with an update counter, and the bevel that frames every control.
#pragma once

#include <QRect>
#include <algorithm>

#include "controls/MMColors.h"
#include "platform/Component.h"

class QPainter;

namespace strataeq {

// A persistent object with an update counter: changes inside BeginUpdate/EndUpdate reach
// the owner once, when the counter returns to 0.
class TMMObject : public TObject {
 public:
  TMMObject() = default;
  TMMObject(const TMMObject&) = delete;
  TMMObject& operator=(const TMMObject&) = delete;

  void BeginUpdate();
  void EndUpdate();
  int UpdateCount() const { return updateCount_; }

  // The owner's change handler (Sender = this object); called only while not updating.
  TNotifyEvent OnChange;

 protected:
  virtual void Changed();

 private:
  int updateCount_ = 0;
};

enum class TPanelBevel { bvNone, bvLowered, bvRaised };
enum class TBorderStyle { bsNone, bsSingle };

class TMMBevel : public TMMObject {
 public:
  TMMBevel() = default;
  // Copies every property inside one update: the owner hears of it once.
  void Assign(const TMMBevel& source);

  TPanelBevel BevelInner() const { return bevelInner_; }
  void SetBevelInner(TPanelBevel v) { Set(bevelInner_, v); }
  TPanelBevel BevelOuter() const { return bevelOuter_; }
  void SetBevelOuter(TPanelBevel v) { Set(bevelOuter_, v); }
  int BevelInnerWidth() const { return bevelInnerWidth_; }
  void SetBevelInnerWidth(int v) { Set(bevelInnerWidth_, std::max(1, v)); }
  int BevelOuterWidth() const { return bevelOuterWidth_; }
  void SetBevelOuterWidth(int v) { Set(bevelOuterWidth_, std::max(1, v)); }
  TBorderStyle BorderStyle() const { return borderStyle_; }
  void SetBorderStyle(TBorderStyle v) { Set(borderStyle_, v); }
  int BorderWidth() const { return borderWidth_; }
  void SetBorderWidth(int v) { Set(borderWidth_, std::max(0, v)); }
  int BorderSpace() const { return borderSpace_; }
  void SetBorderSpace(int v) { Set(borderSpace_, std::max(0, v)); }
  TColor BorderColor() const { return borderColor_; }
  void SetBorderColor(TColor v) { Set(borderColor_, v); }
  TColor BorderSpaceColor() const { return borderSpaceColor_; }
  void SetBorderSpaceColor(TColor v) { Set(borderSpaceColor_, v); }
  TColor InnerLightColor() const { return innerLightColor_; }
  void SetInnerLightColor(TColor v) { Set(innerLightColor_, v); }
  TColor OuterLightColor() const { return outerLightColor_; }
  void SetOuterLightColor(TColor v) { Set(outerLightColor_, v); }
  TColor InnerShadowColor() const { return innerShadowColor_; }
  void SetInnerShadowColor(TColor v) { Set(innerShadowColor_, v); }
  TColor OuterShadowColor() const { return outerShadowColor_; }
  void SetOuterShadowColor(TColor v) { Set(outerShadowColor_, v); }

  // Border + space + the outer and inner bevels that are drawn + 1 for a single border.
  int TotalWidth() const;

  // Draws the rings from the outside in within rect and returns the rectangle inside
  // them. The border ring is painted only with fillBorder; otherwise it is just skipped.
  QRect PaintBevel(QPainter& painter, QRect rect, bool fillBorder) const;

 private:
  template <typename T>
  void Set(T& field, T value) {
    if (field == value) return;
    field = value;
    Changed();
  }

  TPanelBevel bevelInner_ = TPanelBevel::bvNone;
  TPanelBevel bevelOuter_ = TPanelBevel::bvLowered;
  int bevelInnerWidth_ = 1, bevelOuterWidth_ = 1;
  TBorderStyle borderStyle_ = TBorderStyle::bsNone;
  int borderWidth_ = 0, borderSpace_ = 0;
  TColor borderColor_ = clBtnFace, borderSpaceColor_ = clBlack;
  TColor innerLightColor_ = clBtnHighlight, outerLightColor_ = clBtnHighlight;
  TColor innerShadowColor_ = clBtnShadow, outerShadowColor_ = clBtnShadow;
};

// A 3-D frame of `width` rings: top and left in topLeft, bottom and right in bottomRight
// (the top-right and bottom-left corner pixels go to bottomRight and topLeft). Returns
// the rectangle inside it.
QRect Frame3D(QPainter& painter, QRect rect, TColor topLeft, TColor bottomRight, int width);
// Fills one rectangle in a plain colour, without antialiasing.
void FillRect(QPainter& painter, const QRect& rect, TColor color);

}  // namespace strataeq
