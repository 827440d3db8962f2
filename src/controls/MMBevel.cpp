#include "controls/MMBevel.h"

#include <QPainter>

namespace strataeq {

void TMMObject::BeginUpdate() { ++updateCount_; }

void TMMObject::EndUpdate() {
  if (updateCount_ == 0) return;
  if (--updateCount_ == 0) Changed();
}

void TMMObject::Changed() {
  if (updateCount_ == 0 && OnChange) OnChange(this);
}

// ---- TMMBevel

void TMMBevel::Assign(const TMMBevel& s) {
  if (&s == this) return;
  BeginUpdate();
  SetBevelInner(s.bevelInner_);
  SetBevelOuter(s.bevelOuter_);
  SetBevelInnerWidth(s.bevelInnerWidth_);
  SetBevelOuterWidth(s.bevelOuterWidth_);
  SetBorderStyle(s.borderStyle_);
  SetBorderWidth(s.borderWidth_);
  SetBorderSpace(s.borderSpace_);
  SetBorderColor(s.borderColor_);
  SetBorderSpaceColor(s.borderSpaceColor_);
  SetInnerLightColor(s.innerLightColor_);
  SetOuterLightColor(s.outerLightColor_);
  SetInnerShadowColor(s.innerShadowColor_);
  SetOuterShadowColor(s.outerShadowColor_);
  EndUpdate();
}

int TMMBevel::TotalWidth() const {
  int w = borderWidth_ + borderSpace_;
  if (bevelOuter_ != TPanelBevel::bvNone) w += bevelOuterWidth_;
  if (bevelInner_ != TPanelBevel::bvNone) w += bevelInnerWidth_;
  if (borderStyle_ == TBorderStyle::bsSingle) w += 1;
  return w;
}

void FillRect(QPainter& painter, const QRect& rect, TColor color) {
  if (rect.width() > 0 && rect.height() > 0) painter.fillRect(rect, ToQColor(color));
}

QRect Frame3D(QPainter& painter, QRect r, TColor topLeft, TColor bottomRight, int width) {
  for (; width > 0 && r.width() > 0 && r.height() > 0; --width) {
    const int l = r.left(), t = r.top(), rt = r.right(), b = r.bottom();
    FillRect(painter, QRect(l, t, 1, r.height()), topLeft);             // left, with the bottom-left corner
    FillRect(painter, QRect(l + 1, t, r.width() - 2, 1), topLeft);      // top
    FillRect(painter, QRect(rt, t, 1, r.height() - 1), bottomRight);    // right, with the top-right corner
    FillRect(painter, QRect(l + 1, b, r.width() - 1, 1), bottomRight);  // bottom
    r.adjust(1, 1, -1, -1);
  }
  return r;
}

QRect TMMBevel::PaintBevel(QPainter& painter, QRect r, bool fillBorder) const {
  auto ring = [&](TPanelBevel kind, TColor light, TColor shadow, int width) {
    if (kind == TPanelBevel::bvLowered) r = Frame3D(painter, r, shadow, light, width);
    else if (kind == TPanelBevel::bvRaised) r = Frame3D(painter, r, light, shadow, width);
  };
  if (borderStyle_ == TBorderStyle::bsSingle) r = Frame3D(painter, r, clWindowFrame, clWindowFrame, 1);
  ring(bevelOuter_, outerLightColor_, outerShadowColor_, bevelOuterWidth_);
  if (borderWidth_ > 0) {
    if (fillBorder) r = Frame3D(painter, r, borderColor_, borderColor_, borderWidth_);
    else r.adjust(borderWidth_, borderWidth_, -borderWidth_, -borderWidth_);
  }
  ring(bevelInner_, innerLightColor_, innerShadowColor_, bevelInnerWidth_);
  if (borderSpace_ > 0) r = Frame3D(painter, r, borderSpaceColor_, borderSpaceColor_, borderSpace_);
  return r;
}

}  // namespace strataeq
