// The control bases: the shared mix-in and the windowless and windowed controls.
#pragma once

#include <QRect>
#include <QWidget>
#include <string>

#include "controls/MMAccess.h"
#include "controls/MMBevel.h"
#include "controls/MMColors.h"
#include "controls/MMInput.h"
#include "platform/Component.h"

class QPainter;

namespace strataeq {

// What the windowless and the windowed base share: the bevel, the colour, the font
// colour, the hint and the mouse events. Mixed into a QWidget.
class TMMControlBase : public TMMAccessibleControl {
 public:

  TMMBevel& Bevel() { return bevel_; }
  const TMMBevel& Bevel() const { return bevel_; }
  void SetBevel(const TMMBevel& bevel) { bevel_.Assign(bevel); }
  int TotalBevelWidth() const { return bevel_.TotalWidth(); }
  // The client rectangle less the total bevel width on every side.
  QRect BevelClientRect() const;

  TColor Color() const { return color_; }
  void SetColor(TColor color);
  TColor FontColor() const { return fontColor_; }
  void SetFontColor(TColor color);

  const std::string& Hint() const { return hint_; }
  void SetHint(std::string hint);
  bool ShowHint() const { return showHint_; }
  void SetShowHint(bool show);

  int Tag() const { return tag_; }
  void SetTag(int tag) { tag_ = tag; }

  TMouseEvent OnMouseDown, OnMouseUp;
  TMouseMoveEvent OnMouseMove;

  std::string AccessibleHint() const override { return hint_; }

 protected:
  explicit TMMControlBase(QWidget* self, TColor color);
  void DeliverMouse(QEvent* event);  // fires the mouse events for a press, move or release
  // Default look: the bevel, and the inside filled with Color.
  virtual void Paint(QPainter& painter);
  virtual void PropertyChanged() { self_->update(); }
  virtual void BevelChanged() { self_->update(); }

 private:
  void ApplyToolTip();

  QWidget* self_;
  TMMBevel bevel_;
  TColor color_;
  TColor fontColor_ = clWindowText;
  std::string hint_;
  bool showHint_ = false;
  int tag_ = 0;
};

// Windowless control: no focus, not opaque; what it leaves unpainted shows its parent.
class TMMGraphicControl : public QWidget, public TObject, public TMMControlBase {
  Q_OBJECT
 public:
  explicit TMMGraphicControl(QWidget* parent = nullptr);

 protected:
  // A bevel change: re-layout (displays recompute their drawing areas here) and repaint.
  void BevelChanged() override;
  virtual void BevelLayout() {}

  void paintEvent(QPaintEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
};

// Windowed control: takes focus by Tab and click; opaque.
class TMMCustomControl : public QWidget, public TObject, public TMMControlBase {
  Q_OBJECT
 public:
  explicit TMMCustomControl(QWidget* parent = nullptr);

  bool TabStop() const { return focusPolicy() != Qt::NoFocus; }
  void SetTabStop(bool on) { setFocusPolicy(on ? Qt::StrongFocus : Qt::NoFocus); }

  TNotifyEvent OnEnter, OnExit;
  TKeyEvent OnKeyDown, OnKeyUp;
  TKeyPressEvent OnKeyPress;

 protected:
  void paintEvent(QPaintEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void keyReleaseEvent(QKeyEvent* event) override;
  void focusInEvent(QFocusEvent* event) override;
  void focusOutEvent(QFocusEvent* event) override;
};

}  // namespace strataeq
