// The window's design values for its sliders, and its owner-drawn thumb, which the golden
// pictures, the gallery and the benchmarks share with the window.
#pragma once

#include <QPainter>

#include "controls/MMSlider.h"

namespace strataeq::window {

// A line from (x0, y0) towards (x1, y1), the end point left out, horizontal or vertical.
inline void PenLine(QPainter& c, int x0, int y0, int x1, int y1, TColor color) {
  if (y0 == y1) FillRect(c, QRect(std::min(x0, x1 + 1), y0, std::abs(x1 - x0), 1), color);
  else FillRect(c, QRect(x0, std::min(y0, y1 + 1), 1, std::abs(y1 - y0)), color);
}

// The outline a pen draws for Rectangle(l, t, r, b): the right and bottom edges inside.
inline void PenRectangle(QPainter& c, int l, int t, int r, int b, TColor pen) {
  FillRect(c, QRect(l, t, r - l, 1), pen);
  FillRect(c, QRect(l, b - 1, r - l, 1), pen);
  FillRect(c, QRect(l, t, 1, b - t), pen);
  FillRect(c, QRect(r - 1, t, 1, b - t), pen);
}

// The window's thumb: a silver face while focused, else button face, three grip grooves.
inline void WindowThumb(TObject*, QPainter& c, QRect rect, bool, bool focused) {
  const int L = rect.left(), T = rect.top(), R = rect.left() + rect.width(), B = rect.top() + rect.height();
  FillRect(c, QRect(L, T, R - L, B - T), focused ? RGBColor(0xC0, 0xC0, 0xC0) : clBtnFace);
  PenRectangle(c, L, T, R, B, clBlack);
  PenRectangle(c, L + 1, T + 1, R - 1, B - 1, clBtnHighlight);
  PenLine(c, R - 2, T + 2, R - 2, B - 2, clBtnShadow);
  PenLine(c, R - 2, B - 2, L + 1, B - 2, clBtnShadow);
  for (int y : {T + 5, T + 13}) {
    PenLine(c, L + 4, y, L + 11, y, clBtnShadow);
    PenLine(c, L + 4, y + 1, L + 11, y + 1, clBtnHighlight);
  }
  PenLine(c, L + 5, T + 9, L + 10, T + 9, clBtnShadow);
  PenLine(c, L + 5, T + 10, L + 10, T + 10, clBtnHighlight);
}

inline void CommonSliderValues(TMMSlider& s) {
  s.SetThumbStyle(TMMThumbStyle::tsOwnerDraw);
  s.SetThumbWidth(15);
  s.SetThumbHeight(20);
  s.OnDrawThumb = WindowThumb;
  s.Scale().SetVisible(true);
  s.Scale().SetTickCount(9);
  s.Scale().SetEnlargeEvery(4);
  s.Scale().SetSize(3);
  s.SetScalePosition(TMMScalePos::spBoth);
  s.SetScaleDistance(2);
}

// MMSlider1 ... MMSlider15.
inline void BandSliderValues(TMMSlider& s) {
  s.resize(21, 99);
  s.SetRange(-990, 990);
  s.SetPageSize(50);
  CommonSliderValues(s);
  s.SetGrooveSize(5);
  s.SetGrooveColor(clWhite);
  s.Scale().SetOrigin(TMMScaleOrigin::soInner);
  // The focused thumb's silver is the button face of this scheme: the dotted frame of the
  // other controls marks the focus, the groove keeps its white, and the thumb blinks.
  s.SetFocusAction(TMMFocusAction::faAll);
  s.SetFocusColor(clWhite);
}

// FftLen.
inline void FftSliderValues(TMMSlider& s) {
  s.resize(27, 111);
  s.SetRange(0, 8);
  s.SetPosition(4);
  CommonSliderValues(s);
  s.Scale().SetOrigin(TMMScaleOrigin::soOuter);
}

}  // namespace strataeq::window
