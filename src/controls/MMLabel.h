// Label with raised, sunken, shadowed or extruded text, optionally textured, rotated or
// acting as a push button.
#pragma once

#include <QImage>
#include <string>

#include "controls/MMObj.h"
#include "controls/MMPanel.h"

namespace strataeq {

enum class TMMLabelDirection { ldNone, ldUp, ldUpRight, ldRight, ldDownRight, ldDown, ldDownLeft, ldLeft, ldUpLeft };
enum class TMMLabelOption { loNormal, loExtrude };
enum class TMMLabelStyle { lsNone, lsCustom, lsRaised, lsSunken, lsShadow, lsFlying };

// The offset of one pixel of depth in a direction.
QPoint DirectionOffset(TMMLabelDirection direction);

class TMMLabel : public TMMGraphicControl {
  Q_OBJECT
 public:
  explicit TMMLabel(QWidget* parent = nullptr);

  const std::string& Caption() const { return caption_; }
  void SetCaption(std::string caption);
  TAlignment Alignment() const { return alignment_; }
  void SetAlignment(TAlignment v) { Store(alignment_, v); }
  bool Transparent() const { return transparent_; }
  void SetTransparent(bool v) { Store(transparent_, v); }
  const QImage& Bitmap() const { return bitmap_; }
  void SetBitmap(const QImage& bitmap);
  int DepthHighlight() const { return depthHighlight_; }
  void SetDepthHighlight(int v) { Custom(depthHighlight_, std::clamp(v, 0, 20)); }
  int DepthShadow() const { return depthShadow_; }
  void SetDepthShadow(int v) { Custom(depthShadow_, std::clamp(v, 0, 20)); }
  TMMLabelDirection DirectionHighlight() const { return directionHighlight_; }
  void SetDirectionHighlight(TMMLabelDirection v) { Custom(directionHighlight_, v); }
  TMMLabelDirection DirectionShadow() const { return directionShadow_; }
  void SetDirectionShadow(TMMLabelDirection v) { Custom(directionShadow_, v); }
  TColor ColourHighlight() const { return colourHighlight_; }
  void SetColourHighlight(TColor v) { Store(colourHighlight_, v); }
  TColor ColourShadow() const { return colourShadow_; }
  void SetColourShadow(TColor v) { Store(colourShadow_, v); }
  TMMLabelOption StyleHighlight() const { return styleHighlight_; }
  void SetStyleHighlight(TMMLabelOption v) { Store(styleHighlight_, v); }
  TMMLabelOption StyleShadow() const { return styleShadow_; }
  void SetStyleShadow(TMMLabelOption v) { Store(styleShadow_, v); }
  TMMLabelStyle EffectStyle() const { return effectStyle_; }
  void SetEffectStyle(TMMLabelStyle style);
  bool AsButton() const { return asButton_; }
  void SetAsButton(bool on);
  int Angle() const { return angle_; }
  void SetAngle(int v) { Store(angle_, std::clamp(v, 0, 360)); }

  TNotifyEvent OnClick;

  QAccessible::Role AccessibleRole() const override {
    return asButton_ ? QAccessible::Button : QAccessible::StaticText;
  }
  std::string AccessibleCaption() const override { return caption_; }
  bool AccessiblePress() override;

 protected:
  void Paint(QPainter& painter) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;

 private:
  template <typename T>
  void Store(T& field, T value) {
    if (field == value) return;
    field = value;
    update();
  }
  // A depth or direction changed by itself: the preset no longer holds.
  template <typename T>
  void Custom(T& field, T value) {
    if (field == value) return;
    field = value;
    effectStyle_ = TMMLabelStyle::lsCustom;
    update();
  }

  std::string caption_;
  TAlignment alignment_ = TAlignment::taLeftJustify;
  bool transparent_ = true;
  QImage bitmap_;
  int depthHighlight_ = 1, depthShadow_ = 1;
  TMMLabelDirection directionHighlight_ = TMMLabelDirection::ldUpLeft;
  TMMLabelDirection directionShadow_ = TMMLabelDirection::ldDownRight;
  TColor colourHighlight_ = clWhite, colourShadow_ = clGray;
  TMMLabelOption styleHighlight_ = TMMLabelOption::loNormal, styleShadow_ = TMMLabelOption::loNormal;
  TMMLabelStyle effectStyle_ = TMMLabelStyle::lsRaised;
  bool asButton_ = false;
  int angle_ = 0;
  bool pressed_ = false;
};

}  // namespace strataeq
